"""Text that came from outside (pages, manifests, servers, file names), made safe for a terminal.

A title, a signer's name, an HTTP reason phrase or a file name may carry escape
sequences or line breaks; printed raw they could recolour a terminal or forge a
whole output line ("bank.html: Trusted"). Bidirectional controls reorder what
follows them on the screen ("lmth.exe" shown for "exe.html"), and line and
paragraph separators break a line where some terminals and viewers show one.
Everything the tool prints for people goes through `escape`; JSON output
carries the exact text instead.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Union

__all__ = ["display", "escape", "one_line"]

# C0 controls but tab, DEL, and C1 controls (NEL among them): what a terminal acts on;
# the bidirectional marks, embeddings, overrides and isolates; the line and paragraph separators.
_CONTROLS = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")
_NAMED = {"\n": "\\n", "\r": "\\r"}
_BREAKS = re.compile(r"\s*[\n\r\x85\u2028\u2029]\s*")


def _escaped(match: re.Match[str]) -> str:
    char = match.group(0)
    code = ord(char)
    return _NAMED.get(char) or (f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}")


def escape(text: str) -> str:
    """`text` with control characters (tab excepted) as backslash escapes; the rest unchanged."""
    return _CONTROLS.sub(_escaped, text)


def one_line(message: str) -> str:
    """A message (ours, or a library's that spans lines) as one line: each line break and the
    space around it made one space, other controls escaped."""
    return escape(_BREAKS.sub(" ", message.strip()))


def display(name: Union[str, Path, bytes]) -> str:
    """A file name as text: bytes that are not UTF-8 as `\\xe9`, control characters escaped."""
    return escape(os.fsencode(name).decode("utf-8", "backslashreplace"))
