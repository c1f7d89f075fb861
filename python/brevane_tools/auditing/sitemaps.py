"""Reading what a site says about itself: robots.txt and sitemaps, as hostile bytes.

A sitemap is XML from the network. It is parsed by expat incrementally, as it
is decompressed, and refused at its first document type declaration, so no
entity of its own is ever defined, let alone expanded (no billion laughs, no
external entity read from disk or fetched). A gzip sitemap is decompressed a
bounded piece at a time: past `MAX_SITEMAP_BYTES` of XML it is refused however
small it was on the wire (a gzip bomb). Past `MAX_ENTRIES` entries it is
refused too, as the sitemaps protocol caps one file at 50,000 URLs and 50 MB.

robots.txt is read as RFC 9309 says: the group of the most specific user
agent that names this tool, else `*`; the longest matching rule wins, Allow
over Disallow on a tie; `*` and `$` in paths. Nothing here fetches.
"""

from __future__ import annotations

import re
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Optional
from urllib.parse import unquote, urlsplit
from xml.parsers import expat

__all__ = ["MAX_ENTRIES", "MAX_SITEMAP_BYTES", "Entry", "Robots", "SitemapError", "parse_sitemap"]

MAX_SITEMAP_BYTES = 50 * 1024 * 1024
MAX_ENTRIES = 50_000
MAX_ROBOTS_BYTES = 512 * 1024  # what RFC 9309 asks a crawler to read at least
_PIECE = 64 * 1024
_GZIP_MAGIC = b"\x1f\x8b"
_MAX_LOC = 4096  # a URL longer than this is no page's address
_MAX_DEPTH = 16  # <urlset><url><loc> is three; extensions (images, news) add a few
_MAX_RULES = 10_000  # robots.txt rules kept for one agent


class SitemapError(ValueError):
    """A sitemap that cannot be read: not XML, too large, too many entries, a declaration refused."""


@dataclass(frozen=True)
class Entry:
    """One <url> of a sitemap (or one <sitemap> of an index)."""

    loc: str
    lastmod: Optional[str] = None


@dataclass
class _Reading:
    index: Optional[bool] = None  # a <sitemapindex> (True) or a <urlset> (False), once the root is seen
    path: list[str] = field(default_factory=list)
    text: list[str] = field(default_factory=list)
    loc: Optional[str] = None
    lastmod: Optional[str] = None
    done: list[Entry] = field(default_factory=list)
    count: int = 0


def _local(name: str) -> str:
    return name.rsplit(" ", 1)[-1].rsplit(":", 1)[-1]


def _parser(where: str, reading: _Reading) -> expat.XMLParserType:
    parser = expat.ParserCreate(namespace_separator=" ")

    def refuse(*_: object) -> int:
        raise SitemapError(f"the sitemap {where} declares a document type (entities are refused)")

    def start(name: str, _attributes: dict[str, str]) -> None:
        if len(reading.path) >= _MAX_DEPTH:
            raise SitemapError(f"the sitemap {where} nests its elements more than {_MAX_DEPTH} deep")
        local = _local(name)
        if not reading.path:
            if local not in ("urlset", "sitemapindex"):
                raise SitemapError(f"the sitemap {where} is neither a <urlset> nor a <sitemapindex>: <{local}>")
            reading.index = local == "sitemapindex"
        reading.path.append(local)
        reading.text.clear()

    def end(_name: str) -> None:
        local = reading.path.pop()
        if len(reading.path) == 2 and local in ("loc", "lastmod"):
            value = "".join(reading.text).strip()
            if local == "loc":
                reading.loc = value[: _MAX_LOC + 1]
            else:
                reading.lastmod = value[:64]
        elif len(reading.path) == 1 and local in ("url", "sitemap"):
            if reading.loc:
                reading.count += 1
                if reading.count > MAX_ENTRIES:
                    raise SitemapError(f"the sitemap {where} has more than {MAX_ENTRIES:,} entries")
                if len(reading.loc) <= _MAX_LOC:
                    reading.done.append(Entry(reading.loc, reading.lastmod))
            reading.loc = reading.lastmod = None
        reading.text.clear()

    def characters(data: str) -> None:
        if len(reading.path) == 3 and sum(map(len, reading.text)) <= _MAX_LOC:
            reading.text.append(data)

    parser.StartDoctypeDeclHandler = parser.EntityDeclHandler = parser.ExternalEntityRefHandler = refuse
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = characters
    return parser


def _pieces(body: bytes, where: str) -> Iterator[bytes]:
    """The XML of a sitemap body, gzip undone a bounded piece at a time; capped in size."""
    if not body.startswith(_GZIP_MAGIC):
        if len(body) > MAX_SITEMAP_BYTES:
            raise SitemapError(f"the sitemap {where} is larger than {MAX_SITEMAP_BYTES:,} bytes")
        yield body
        return
    inflate = zlib.decompressobj(wbits=31)
    total = 0
    pending = body
    try:
        while pending and not inflate.eof:
            piece = inflate.decompress(pending, _PIECE)
            pending = inflate.unconsumed_tail
            total += len(piece)
            if total > MAX_SITEMAP_BYTES:
                raise SitemapError(
                    f"the sitemap {where} unpacks to more than {MAX_SITEMAP_BYTES:,} bytes (refused as a gzip bomb)"
                )
            yield piece
    except zlib.error as exc:
        raise SitemapError(f"the sitemap {where} is not valid gzip: {exc}") from None
    if not inflate.eof:
        raise SitemapError(f"the sitemap {where} is a truncated gzip file")


def parse_sitemap(body: bytes, where: str) -> tuple[bool, list[Entry]]:
    """(whether it is an index, its entries) of a sitemap's bytes (gzip or not); SitemapError."""
    reading = _Reading()
    parser = _parser(where, reading)
    try:
        for piece in _pieces(body, where):
            parser.Parse(piece, False)
        parser.Parse(b"", True)
    except expat.ExpatError as exc:
        raise SitemapError(f"the sitemap {where} is not well-formed XML: {expat.ErrorString(exc.code)} "
                           f"(line {exc.lineno}, column {exc.offset})") from None
    if reading.index is None:
        raise SitemapError(f"the sitemap {where} is empty")
    return reading.index, reading.done


@dataclass(frozen=True)
class _Rule:
    allow: bool
    pattern: str  # as written, %-escapes decoded where they name unreserved characters

    def matches(self, path: str) -> bool:
        pattern = self.pattern
        if "*" not in pattern:  # the usual rule: a prefix, or with "$" the whole path
            return path == pattern[:-1] if pattern.endswith("$") else path.startswith(pattern)
        return _wildcard(pattern[:-1] if pattern.endswith("$") else pattern + "*", path)


def _wildcard(pattern: str, path: str) -> bool:
    """Whether `path` is all of `pattern`, "*" matching any run: the greedy match that goes back
    to the last "*" only, so a hostile pattern costs at most len(pattern) x len(path) steps
    (a regular expression of many ".*" can take exponential time)."""
    p = s = 0
    star, mark = -1, 0
    while s < len(path):
        if p < len(pattern) and pattern[p] == "*":
            star, mark = p, s
            p += 1
        elif p < len(pattern) and pattern[p] == path[s]:
            p += 1
            s += 1
        elif star >= 0:
            p, mark = star + 1, mark + 1
            s = mark
        else:
            return False
    return pattern[p:].strip("*") == ""


@dataclass(frozen=True)
class Robots:
    """A site's robots.txt as it applies to one user agent, and the sitemaps it names."""

    rules: tuple[_Rule, ...] = ()
    sitemaps: tuple[str, ...] = ()
    #: Why nothing may be fetched: robots.txt could not be had for a reason that means "stay away".
    refusal: str = ""

    @classmethod
    def parse(cls, text: str, agent: str) -> Robots:
        groups = _groups(text)
        token = agent.lower()
        named = [rules for agents, rules in groups if token in agents]
        chosen = named or [rules for agents, rules in groups if "*" in agents]
        sitemaps = tuple(dict.fromkeys(
            value for line in text.splitlines() for key, value in [_field(line)] if key == "sitemap" and value
        ))
        return cls(tuple(rule for rules in chosen for rule in rules), sitemaps)

    def allows(self, url: str) -> bool:
        if self.refusal:
            return False
        parts = urlsplit(url)
        path = _normal(parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        # The longest rule that matches wins; Allow wins a tie.
        matching = [rule for rule in self.rules if rule.pattern and rule.matches(path)]
        best = max(matching, key=lambda rule: (len(rule.pattern), rule.allow), default=None)
        return best is None or best.allow or path == "/robots.txt"


def _field(line: str) -> tuple[str, str]:
    line = line.split("#", 1)[0]
    key, _, value = line.partition(":")
    return key.strip().lower(), value.strip()


def _groups(text: str) -> list[tuple[set[str], list[_Rule]]]:
    groups: list[tuple[set[str], list[_Rule]]] = []
    agents: set[str] = set()
    rules: list[_Rule] = []
    for line in text.splitlines():
        key, value = _field(line)
        if key == "user-agent":
            if rules:  # a user-agent line after rules starts a new group
                groups.append((agents, rules))
                agents, rules = set(), []
            agents.add(value.split("/")[0].strip().lower())
        elif key in ("allow", "disallow") and agents and len(rules) < _MAX_RULES:
            rules.append(_Rule(key == "allow", _normal(value)))
    if agents:
        groups.append((agents, rules))
    return groups


def _normal(path: str) -> str:
    """A path or rule with its %-escapes decoded where that cannot change its meaning (not / ? or %)."""
    if "%" not in path:
        return path
    return re.sub(r"%([0-9A-Fa-f]{2})",
                  lambda m: m.group(0).upper() if chr(int(m.group(1), 16)) in "/?%#*$" or int(m.group(1), 16) > 0x7E
                  or int(m.group(1), 16) < 0x21 else unquote(m.group(0)), path)
