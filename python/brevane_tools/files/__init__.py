"""Files on disk: finding pages (`finding`), reading them safely (`reading`), writing edits (`writing`)."""

from brevane_tools.files.finding import DEFAULT_MAX_PAGE_SIZE, HTML_SUFFIXES, Found, InputError, InputFile, find_pages
from brevane_tools.files.reading import read_page
from brevane_tools.files.writing import BatchWriter, atomic_write

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "HTML_SUFFIXES",
    "BatchWriter",
    "Found",
    "InputError",
    "InputFile",
    "atomic_write",
    "find_pages",
    "read_page",
]
