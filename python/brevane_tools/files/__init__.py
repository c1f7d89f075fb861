"""Files on disk: finding pages (`finding`), reading them safely (`reading`), writing edits (`writing`)."""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevane_tools import lazy

if TYPE_CHECKING:
    from brevane_tools.files.finding import find_pages
    from brevane_tools.files.reading import read_page
    from brevane_tools.files.writing import atomic_write

# Loaded on first use: importing the package costs next to nothing.
_WHERE = {
    "find_pages": "brevane_tools.files.finding",
    "read_page": "brevane_tools.files.reading",
    "atomic_write": "brevane_tools.files.writing",
}

__all__ = ["atomic_write", "find_pages", "read_page"]


__getattr__ = lazy.attributes(__name__, _WHERE)
