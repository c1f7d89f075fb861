"""HTTP Link headers and URLs as a fetch resolves them: where a response says a page's store is.

Pure text work, no network: `brevane_tools.remote` fetches, this reads what
came back. A Link header is a server's (or a page's) hostile text: it is read
link by link, never evaluated, and a malformed link is skipped.
"""

from __future__ import annotations

import re
from typing import Optional
from urllib.parse import urldefrag, urljoin

from brevane_tools.limits import MANIFEST_REL

__all__ = ["MANIFEST_REL", "manifest_links", "resolve"]


def resolve(reference: str, against: str) -> str:
    """`reference` resolved against the URL `against`, without its fragment."""
    return urldefrag(urljoin(against, reference.strip()))[0]


def manifest_links(link_header: str, base_url: str) -> list[str]:
    """The targets of `rel="c2pa-manifest"` links in a Link header, resolved against `base_url`.

    `rel` may hold several space-separated relation types, quoted or not, in any case.
    A target is everything between "<" and ">": ";" and "," are a URL's own
    characters there (Apache's `escape` leaves them as they are).
    """
    targets: list[str] = []
    for url, relation in _link_values(link_header):
        if MANIFEST_REL in relation.lower().split() and url.strip():
            target = resolve(url, base_url)
            if target not in targets:
                targets.append(target)
    return targets


_LINK_PARAM = re.compile(r'\s*;\s*([^\s=;,]+)\s*(?:=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s;,]*)))?')


def _link_values(header: str) -> list[tuple[str, str]]:
    """Each link of a Link header (RFC 8288) as (target, its first rel); a malformed one is skipped."""
    found: list[tuple[str, str]] = []
    position = 0
    while True:
        start = header.find("<", position)
        if start < 0:
            return found
        end = header.find(">", start)
        if end < 0:
            return found
        relation: Optional[str] = None
        position = end + 1
        while (param := _LINK_PARAM.match(header, position)) is not None:
            position = param.end()
            if param[1].lower() == "rel" and relation is None:
                relation = re.sub(r"\\(.)", r"\1", param[2]) if param[2] is not None else (param[3] or "")
        found.append((header[start + 1:end], relation or ""))
        comma = header.find(",", position)
        if comma < 0:
            return found
        position = comma + 1
