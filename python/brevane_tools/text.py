"""Text that came from outside (pages, manifests, servers, file names), made safe for a terminal.

A title, a signer's name, an HTTP reason phrase or a file name may carry escape
sequences or line breaks; printed raw they could recolour a terminal or forge a
whole output line ("bank.html: Trusted"). Everything the tool prints for people
goes through `escape`; JSON output carries the exact text instead.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Union

__all__ = ["display", "escape"]

# C0 controls but tab, DEL, and C1 controls: what a terminal acts on.
_CONTROLS = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f]")
_NAMED = {"\n": "\\n", "\r": "\\r"}


def _escaped(match: re.Match[str]) -> str:
    char = match.group(0)
    return _NAMED.get(char) or f"\\x{ord(char):02x}"


def escape(text: str) -> str:
    """`text` with control characters (tab excepted) as backslash escapes; the rest unchanged."""
    return _CONTROLS.sub(_escaped, text)


def display(name: Union[str, Path, bytes]) -> str:
    """A file name as text: bytes that are not UTF-8 as `\\xe9`, control characters escaped."""
    return escape(os.fsencode(name).decode("utf-8", "backslashreplace"))
