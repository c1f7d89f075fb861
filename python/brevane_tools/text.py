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
_CONTROLS = [*range(0x00, 0x09), *range(0x0A, 0x20), *range(0x7F, 0xA0), 0x061C, 0x200E, 0x200F,
             *range(0x2028, 0x202F), *range(0x2066, 0x206A)]
_ESCAPES = {code: f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}" for code in _CONTROLS}
_ESCAPES.update({ord("\n"): "\\n", ord("\r"): "\\r"})
#: A line break and the space around it (compiled on first use, by `re`'s own cache).
_BREAKS = r"\s*[\n\r\x85\u2028\u2029]\s*"


def escape(text: str) -> str:
    """`text` with control characters (tab excepted) as backslash escapes; the rest unchanged."""
    return text.translate(_ESCAPES)


def one_line(message: str) -> str:
    """A message (ours, or a library's that spans lines) as one line: each line break and the
    space around it made one space, other controls escaped."""
    return escape(re.sub(_BREAKS, " ", message.strip()))


def display(name: Union[str, Path, bytes]) -> str:
    """A file name as text: bytes that are not UTF-8 as `\\xe9`, control characters escaped."""
    return escape(os.fsencode(name).decode("utf-8", "backslashreplace"))
