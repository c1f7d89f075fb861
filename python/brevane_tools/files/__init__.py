"""Files on disk: finding pages (`finding`), reading them safely (`reading`), writing edits (`writing`)."""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevane_tools import lazy

if TYPE_CHECKING:
    from brevane_tools.files.finding import DEFAULT_MAX_PAGE_SIZE, HTML_SUFFIXES, Found, InputError, InputFile, find_pages
    from brevane_tools.files.reading import read_page
    from brevane_tools.files.writing import BatchWriter, atomic_write

# Loaded on first use: importing the package costs next to nothing.
_WHERE = {
    "DEFAULT_MAX_PAGE_SIZE": "brevane_tools.files.finding",
    "HTML_SUFFIXES": "brevane_tools.files.finding",
    "Found": "brevane_tools.files.finding",
    "InputError": "brevane_tools.files.finding",
    "InputFile": "brevane_tools.files.finding",
    "find_pages": "brevane_tools.files.finding",
    "read_page": "brevane_tools.files.reading",
    "BatchWriter": "brevane_tools.files.writing",
    "atomic_write": "brevane_tools.files.writing",
}

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


__getattr__ = lazy.attributes(__name__, _WHERE)
