"""The two facts the toolkit reads from a page's head: its `<base href>` and its `<title>`.

One pass from the start of the page to the end of the head (`</head>`,
`</html>` or `<body>`), never going back: every step moves forward by at least
one byte, so a page of any shape costs time in proportion to its head, and
nothing here raises. Comments, `<!...>` and `<?...>` declarations, and the
content of raw-text elements (script, style, textarea, title...) are skipped as
a browser skips them, so "<base" inside a script string is never a tag.
Attribute values and the title have their character references decoded.
"""

from __future__ import annotations

import html as html_text
import re
from dataclasses import dataclass
from typing import Optional

__all__ = ["HeadFacts", "head_facts"]


@dataclass(frozen=True)
class HeadFacts:
    base_href: Optional[str] = None  # the first <base> with an href, decoded
    title: Optional[str] = None  # the first <title>'s text, decoded, whitespace collapsed


_NAME = re.compile(rb"/?[a-z][^\t\n\f\r />]*")
_SPACE = b" \t\n\f\r"
_RAW_TEXT = (b"script", b"style", b"textarea", b"title", b"xmp", b"iframe", b"noembed", b"noframes", b"noscript")
_HEAD_ENDS = (b"/head", b"/html", b"body")


def _text(raw: bytes) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("cp1252", "replace")  # older pages
    return html_text.unescape(text)


def _attributes(low: bytes, page: bytes, pos: int) -> tuple[Optional[int], dict[bytes, bytes]]:
    """The attributes of a tag from `pos` on, and the offset past its `>` (None: the page ends first)."""
    found: dict[bytes, bytes] = {}
    end = len(low)
    while pos < end:
        byte = low[pos]
        if byte in _SPACE or byte == 0x2F:  # whitespace, "/"
            pos += 1
            continue
        if byte == 0x3E:  # ">"
            return pos + 1, found
        start = pos
        pos += 1
        while pos < end and low[pos] not in _SPACE and low[pos] not in b"/>=":
            pos += 1
        name = low[start:pos]
        while pos < end and low[pos] in _SPACE:
            pos += 1
        value = b""
        if pos < end and low[pos] == 0x3D:  # "="
            pos += 1
            while pos < end and low[pos] in _SPACE:
                pos += 1
            if pos < end and low[pos] in b"\"'":
                close = low.find(low[pos : pos + 1], pos + 1)
                if close < 0:
                    return None, found
                value, pos = page[pos + 1 : close], close + 1
            else:
                start = pos
                while pos < end and low[pos] not in _SPACE and low[pos] != 0x3E:
                    pos += 1
                value = page[start:pos]
        found.setdefault(name, value)  # the first of a repeated attribute counts
    return None, found


def head_facts(page: bytes) -> HeadFacts:
    """The page's `<base href>` and `<title>`, as a browser reads them from the head."""
    low = page.lower()
    base: Optional[str] = None
    title: Optional[str] = None
    pos = 0
    while base is None or title is None:
        lt = low.find(b"<", pos)
        if lt < 0:
            break
        if low.startswith(b"<!--", lt):
            close = low.find(b"-->", lt + 4)
            if close < 0:
                break
            pos = close + 3
            continue
        if low.startswith((b"<!", b"<?"), lt):
            close = low.find(b">", lt + 2)
            if close < 0:
                break
            pos = close + 1
            continue
        name = _NAME.match(low, lt + 1)
        if name is None:
            pos = lt + 1
            continue
        tag = name.group(0)
        if tag in _HEAD_ENDS:
            break
        after, attributes = _attributes(low, page, name.end())
        if after is None:
            break
        pos = after
        if tag == b"base" and base is None and b"href" in attributes:
            base = _text(attributes[b"href"])
        if tag in _RAW_TEXT:
            close = low.find(b"</" + tag, pos)
            if close < 0:
                break
            if tag == b"title" and title is None:
                title = " ".join(_text(page[pos:close]).split()) or None
            pos = close
    return HeadFacts(base, title)
