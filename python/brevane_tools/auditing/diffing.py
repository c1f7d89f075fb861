"""Where a page as served first differs from the page as signed, and what most likely did it.

The usual culprits between a build and a reader are few: a minifier collapses
whitespace and drops comments, a proxy or tag manager inserts a script or an
element, a server re-encodes the text. Each leaves a recognisable trace, so
the diagnosis tries them in turn on the two byte strings and says "other"
when none explains the whole difference. Nothing here reads or fetches.
"""

from __future__ import annotations

import codecs
import re
from dataclasses import dataclass
from typing import Optional

import brevane

__all__ = ["Difference", "difference", "element_moved"]

_SPACE = re.compile(rb"\s+")
_CHARSET = re.compile(r"charset\s*=\s*[\"']?([\w.:-]+)", re.IGNORECASE)
_SNIPPET = 60
_BOMS = (codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)


@dataclass(frozen=True)
class Difference:
    offset: int  # the first byte where the served page differs from the signed one
    diagnosis: str  # "whitespace collapsed", "script inserted", ... in words

    def describe(self, signed_length: int, served_length: int) -> str:
        return (f"the served page first differs from the signed one at byte {self.offset:,} "
                f"({served_length:,} bytes served, {signed_length:,} signed): {self.diagnosis}")


def difference(signed: bytes, served: bytes, content_type: str = "") -> Optional[Difference]:
    """None when the two are the same bytes; else the first difference and its likely cause."""
    offset = _common_prefix(signed, served)
    if offset == len(signed) == len(served):
        return None
    shorter, longer = (signed, served) if len(signed) < len(served) else (served, signed)
    offset = _aligned(shorter, longer, offset)
    return Difference(offset, _diagnosis(signed, served, offset, content_type))


def _aligned(shorter: bytes, longer: bytes, offset: int) -> int:
    """An insertion's start moved back onto its "<" where the bytes allow: "<script>x</script><" inserted
    after "<" of "</head>" is the same edit as "<script>x</script>" before it, and says so better."""
    if _insertion(shorter, longer, offset) is None:
        return offset
    extra, start = len(longer) - len(shorter), offset
    while start > 0 and longer[start - 1] == longer[start + extra - 1] and not longer[start:start + 1] == b"<" \
            and offset - start < 64:
        start -= 1
    return start if longer[start:start + 1] == b"<" else offset


def _common_prefix(a: bytes, b: bytes) -> int:
    low, high = 0, min(len(a), len(b))
    one, two = memoryview(a), memoryview(b)
    # Halving on views compares whole runs in C, copying nothing: a few dozen comparisons for any page.
    while low < high:
        middle = (low + high + 1) // 2
        if one[low:middle] == two[low:middle]:
            low = middle
        else:
            high = middle - 1
    return low


def _diagnosis(signed: bytes, served: bytes, offset: int, content_type: str) -> str:
    if served.startswith(_BOMS) and not signed.startswith(_BOMS) and _reencoded(signed, served, content_type):
        return "re-encoded (a byte order mark added)"
    inserted = _insertion(signed, served, offset)
    if inserted is not None:
        what = "a script" if b"<script" in inserted.lower() else (
            "an element" if inserted.lstrip().startswith(b"<") else "text")
        return f"{what} inserted: {_snippet(inserted)}"
    removed = _insertion(served, signed, offset)
    if removed is not None and _one_comment(removed.strip()):
        return f"a comment removed: {_snippet(removed)}"
    uncommented = _uncommented(signed)
    if uncommented == served:
        return "comments removed"
    if _SPACE.sub(b"", signed) == _SPACE.sub(b"", served):
        return "whitespace collapsed"
    if _SPACE.sub(b"", uncommented) == _SPACE.sub(b"", served):
        return "whitespace collapsed and comments removed"
    encoding = _reencoded(signed, served, content_type)
    if encoding:
        return f"re-encoded ({encoding})"
    return f"other: signed {_snippet(signed[offset:offset + _SNIPPET])}, served {_snippet(served[offset:offset + _SNIPPET])}"


def _one_comment(data: bytes) -> bool:
    return data.startswith(b"<!--") and data.find(b"-->", 4) == len(data) - 3


def _uncommented(page: bytes) -> bytes:
    """The page without its comments, found by position (one linear pass: a page of unclosed
    "<!--" cannot make a lazy regular expression rescan the rest for each)."""
    kept: list[bytes] = []
    position = 0
    while (start := page.find(b"<!--", position)) >= 0:
        end = page.find(b"-->", start + 4)
        if end < 0:
            break
        kept.append(page[position:start])
        position = end + 3
    kept.append(page[position:])
    return b"".join(kept)


def _insertion(shorter: bytes, longer: bytes, offset: int) -> Optional[bytes]:
    """The bytes `longer` has at `offset` where it equals `shorter` with them taken out, if it does."""
    extra = len(longer) - len(shorter)
    if extra <= 0 or longer[offset + extra:] != shorter[offset:]:
        return None
    return longer[offset:offset + extra]


def _reencoded(signed: bytes, served: bytes, content_type: str) -> str:
    """The encoding the served bytes are the signed text in, if they are that text."""
    try:
        text = signed.decode("utf-8-sig")
    except UnicodeDecodeError:
        return ""
    stated = _CHARSET.search(content_type)
    candidates = [stated.group(1)] if stated else []
    candidates += ["utf-8-sig", "utf-16", "cp1252", "latin-1"]
    for name in candidates:
        try:
            if served.decode(name) == text or served.decode(name).lstrip("\ufeff") == text:
                if served.startswith(_BOMS) and not signed.startswith(_BOMS):
                    return "a byte order mark added"
                return name
        except (UnicodeDecodeError, LookupError):
            continue
    return ""


def _snippet(data: bytes) -> str:
    shown = data[:_SNIPPET].decode("utf-8", "backslashreplace")
    return repr(shown) + ("..." if len(data) > _SNIPPET else "")


def element_moved(served: bytes) -> str:
    """Where the manifest element of a page lies now, in words, for a binding failure without the signed page."""
    try:
        located = brevane.locate_all(served)
    except ValueError:
        return ""
    if not located:
        return "the page no longer carries its manifest element"
    start, length = located[0]
    return f"the manifest element is now at bytes {start:,} to {start + length:,}"
