"""The links of a page that a crawl follows: `<a href>` and `<area href>`, read from hostile bytes.

Read with one linear regular expression over the bytes, never a tree parser:
a page cannot make this slow or make it fail. Character references in an href
are decoded as in an attribute, `<base href>` is honoured as a browser would,
and only http(s) URLs come out, fragments dropped, each once, at most
`MAX_LINKS` per page.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from urllib.parse import urldefrag, urljoin, urlsplit

from brevane_tools.head import decode_attribute, head_facts

__all__ = ["MAX_LINKS", "origin", "page_links"]

MAX_LINKS = 10_000
_TAG = re.compile(rb"<(?:a|area)[\s/]", re.IGNORECASE)
_HREF = re.compile(rb"""(?<![\w-])href\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>"']+))""", re.IGNORECASE)
_NOISE = re.compile("[\t\n\r]")


def page_links(html: bytes, page_url: str) -> list[str]:
    """The http(s) URLs a page links to, resolved against its URL (and its <base href>), in order."""
    base = page_url
    try:
        base_href = head_facts(html).base_href
    except ValueError:
        base_href = None
    if base_href is not None:
        base = urljoin(page_url, _NOISE.sub("", base_href).strip())
    found: dict[str, None] = {}
    for raw in _hrefs(html):
        href = _NOISE.sub("", decode_attribute(raw.decode("utf-8", "replace"))).strip()
        try:
            target = urldefrag(urljoin(base, href))[0]
            scheme = urlsplit(target).scheme.lower()
        except ValueError:  # an address that no browser would follow either
            continue
        if scheme in ("http", "https"):
            found[target] = None
            if len(found) >= MAX_LINKS:
                break
    return list(found)


def _hrefs(html: bytes) -> Iterator[bytes]:
    """The raw href of each <a> and <area> tag. Each tag is read up to its ">" and the search
    goes on after it, so no byte is read twice: hostile markup costs a linear scan."""
    position = 0
    while (tag := _TAG.search(html, position)) is not None:
        end = html.find(b">", tag.end())
        if end < 0:
            return  # no tag ends after this: nothing more to read
        href = _HREF.search(html, tag.end(), end)
        if href is not None:
            yield next(group for group in href.groups() if group is not None)
        position = end + 1


def origin(url: str) -> str:
    """A URL's origin as a browser sends it in an Origin header: scheme://host[:port], a default port left out."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    try:
        port = parts.port
    except ValueError:
        port = None
    host = (parts.hostname or "").rstrip(".")
    shown = f"[{host}]" if ":" in host else host
    return f"{scheme}://{shown}" + (f":{port}" if port and port != {"http": 80, "https": 443}.get(scheme) else "")
