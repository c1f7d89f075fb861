"""The facts the toolkit reads from a page's head: its `<base href>`, its `<title>`, and its manifest element.

One pass from the start of the page to the end of the head (`</head>`,
`</html>` or `<body>`), never going back: every step moves forward by at least
one byte, so a page of any shape costs time in proportion to its head, and
nothing here raises. What a browser does not read as a tag is skipped as it
skips it: comments (closed by `-->`, `--!>`, or at once by `<!-->`), other
`<!...>`, `<?...>` and `</ ...>` bogus comments, the content of raw-text
elements (script, style, textarea, title...) up to their real end tag, and
`<template>` content, which is not part of the document. So "<base" inside a
script string is never a tag. Attribute values have their character
references decoded as in an attribute (`decode_attribute`), the title as text.

One page's run asks for these facts in several places (the title for the
manifest, the base for the store's href, the element for the parent and the
read-back), so the last page's answers are kept: one page, compared by
identity, so nothing grows and no other page's bytes can answer.
"""

from __future__ import annotations

import html as html_text
import re
from dataclasses import dataclass
from html.entities import html5
from typing import Any, Optional

import brevane

__all__ = ["HeadFacts", "decode_attribute", "extract", "head_facts"]


@dataclass(frozen=True)
class HeadFacts:
    base_href: Optional[str] = None  # the first <base> with an href, decoded
    title: Optional[str] = None  # the first <title>'s text, decoded, whitespace collapsed


_SPACE = b" \t\n\f\r"
_RAW_TEXT = (b"script", b"style", b"textarea", b"title", b"xmp", b"iframe", b"noembed", b"noframes", b"noscript")
# An end tag only where its name ends: "</titles>" does not close a title.
_RAW_TEXT_END = {tag: re.compile(rb"</" + tag + rb"[\t\n\f\r />]") for tag in _RAW_TEXT}
# Nothing after these is read as the head; after <plaintext> nothing is a tag at all.
_HEAD_ENDS = (b"/head", b"/html", b"body", b"plaintext")
_COMMENT_END = re.compile(rb"--!?>")
# Where a tag ends, read exactly as `_attributes` reads it (for tags whose attributes are not
# wanted): one step at a time, each step taking all it can (the lookaheads forbid a shorter
# name, run of spaces or unquoted value), so the pattern never finds an end that `_attributes`
# would not; a quote after "=" must close, as there.
_TAG_REST = re.compile(
    rb"(?:[\t\n\f\r /]"  # whitespace, "/"
    rb"|[^\t\n\f\r />][^\t\n\f\r />=]*(?![^\t\n\f\r />=])[\t\n\f\r ]*(?![\t\n\f\r ])"  # a name
    rb"(?:=[\t\n\f\r ]*(?![\t\n\f\r ])(?:\"[^\"]*\"|'[^']*'|(?![\"'])[^\t\n\f\r >]*(?![^\t\n\f\r >]))|(?!=))"
    rb")*>"
)
# The next markup: a tag, its name (all of it: the lookahead forbids a shorter one) and, unless the
# page ends first, the rest of it up to its ">"; or "<!", "<?" and "</" not before a letter, a comment
# or bogus comment (see `_past_markup`). "<" before anything else is text. One search a tag.
_NEXT = re.compile(rb"<(/?[a-z][^\t\n\f\r />]*)(?![^\t\n\f\r />])(" + _TAG_REST.pattern + rb")?|<[!?/]")
_REFERENCE = re.compile(r"&(?:#[xX][0-9a-fA-F]+;?|#[0-9]+;?|([A-Za-z][A-Za-z0-9]*)(;?))")


def decode_attribute(value: str) -> str:
    """An attribute value with its character references decoded as a browser decodes them there.

    Unlike in text, a named reference without its ";" stays as written when a
    letter, a digit or "=" follows: "?a=1&copy=2" keeps its "&copy".
    """

    def one(match: re.Match[str]) -> str:
        name, semicolon = match.group(1), match.group(2)
        if name is None:  # numeric: always a reference
            return html_text.unescape(match.group(0))
        if semicolon:
            known = name + ";" in html5
        else:
            known = name in html5 and value[match.end() : match.end() + 1] != "="
        return html5[name + semicolon] if known else match.group(0)

    return _REFERENCE.sub(one, value)


def _text(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp1252", "replace")  # older pages


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


def _past_markup(low: bytes, lt: int) -> Optional[int]:
    """Where the comment, or the bogus comment ("<!", "<?", "</" not before a letter), at `lt` ends;
    None: it runs to the end."""
    if low.startswith(b"<!--", lt):
        if low.startswith(b">", lt + 4) or low.startswith(b"->", lt + 4):  # "<!-->", "<!--->"
            return low.index(b">", lt + 4) + 1
        end = _COMMENT_END.search(low, lt + 4)
        return end.end() if end else None
    close = low.find(b">", lt + 2)
    return close + 1 if close >= 0 else None


#: Most heads end within the first of these many bytes, nearly all within the second: only
#: so many are lower-cased first.
_WINDOWS = (8 * 1024, 64 * 1024)


# The last page asked about, with its facts; a tuple is swapped whole, so a thread reads one page's.
_last_facts: tuple[Optional[bytes], HeadFacts] = (None, HeadFacts())
_last_extract: tuple[Optional[bytes], Any] = (None, None)


def head_facts(page: bytes) -> HeadFacts:
    """The page's `<base href>` and `<title>`, as a browser reads them from the head."""
    global _last_facts
    last = _last_facts
    if last[0] is page:
        return last[1]
    found = None
    for window in _WINDOWS:
        if found is None and len(page) > window:
            found = _scan(page, page[:window].lower())
    if found is None:
        found = _scan(page, page.lower())
        assert found is not None  # the whole page was read
    _last_facts = (page, found)
    return found


def extract(page: bytes) -> Any:
    """`brevane.extract(page)`, the page's manifest element (None: it has none), read once per page.

    The module's ValueError for a malformed element is raised again on each call.
    The dict is shared by the callers of one page: read it, never change it.
    """
    global _last_extract
    last = _last_extract
    if last[0] is page:
        return last[1]
    association = brevane.extract(page)
    _last_extract = (page, association)
    return association


def _scan(page: bytes, low: bytes) -> Optional[HeadFacts]:
    """The head facts, from `low`, the start of the page lower-cased; None when the head runs past it."""
    base: Optional[str] = None
    title: Optional[str] = None
    templates = 0  # open <template> elements: what lies in them is not the document's
    pos = 0
    cut = len(low) < len(page)
    while base is None or title is None:
        found = _NEXT.search(low, pos)
        if found is None:
            return None if cut else HeadFacts(base, title)
        tag = found.group(1)
        if tag is None:
            past = _past_markup(low, found.start())
            if past is None:
                return None if cut else HeadFacts(base, title)
            pos = past
            continue
        if tag in _HEAD_ENDS and found.end(1) < len(low):
            break
        if tag == b"base":
            after, attributes = _attributes(low, page, found.end(1))
            if after is not None and base is None and b"href" in attributes and not templates:
                base = decode_attribute(_text(attributes[b"href"]))
        else:
            after = found.end(2) if found.group(2) is not None else None
        if after is None:
            return None if cut else HeadFacts(base, title)
        pos = after
        if tag == b"template":
            templates += 1
        elif tag == b"/template":
            templates = max(templates - 1, 0)
        if tag in _RAW_TEXT:
            close = _RAW_TEXT_END[tag].search(low, pos)
            if close is None:
                return None if cut else HeadFacts(base, title)
            if tag == b"title" and title is None and not templates:
                title = " ".join(html_text.unescape(_text(page[pos : close.start()])).split()) or None
            pos = close.start()
    return HeadFacts(base, title)
