"""What a response's caching headers allow the signing middleware to keep, and for how long.

A signed page's store is published at a URL of its own, served to anyone with
`Cache-Control: public` and kept by shared caches: so the middleware keeps and
publishes only what HTTP lets a shared cache keep. A response is private when

- its `Cache-Control` says `no-store` or `private` (with or without a list of
  fields: the application meant it to stay off shared caches);
- it sets a cookie (`Set-Cookie`), unless it says `public` or `s-maxage`: HTTP
  itself lets shared caches keep such responses, but the caches in front of
  most sites (nginx, Varnish, CDNs) do not, since they are a visitor's own;
- it answers a request that carried `Authorization`, unless it says `public`,
  `s-maxage` or `must-revalidate` (HTTP's rule for shared caches);
- it says `Vary: *`, or `Vary: Cookie` to a request that carried a cookie,
  unless it says `public` or `s-maxage`: the page is the one that visitor's
  cookie chose (Django says so of every page that read the session or the
  user), and the caches in front of most sites keep no such page.

A page's store must outlive every copy of the page: its floor is the longest
time the response lets a cache keep it (`s-maxage` or `max-age`, else
`Expires` less `Date`, plus `stale-while-revalidate` or `stale-if-error`), and
never below the middleware's own setting. Directive names are read without
regard to case, from every `Cache-Control` line, values quoted or not; a
malformed directive is skipped, as caches skip it.
"""

from __future__ import annotations

import email.utils
from collections.abc import Collection, Iterable
from typing import Optional

__all__ = ["MAX_FLOOR", "VISITOR_HEADERS", "directives", "judge"]

#: A store is served as `immutable` for a year: no floor is longer.
MAX_FLOOR = 31536000.0
_SPACE = " \t"
#: Request headers that name a visitor: a response to a request with one may be that visitor's alone.
VISITOR_HEADERS = ("authorization", "cookie")


def directives(lines: Iterable[str]) -> dict[str, Optional[str]]:
    """The directives of `Cache-Control` header lines: name (lower case) -> value (unquoted), or None.

    A directive given twice keeps its largest number (or its first value): for a floor, the longer is safe.
    """
    found: dict[str, Optional[str]] = {}
    for line in lines:
        i, end = 0, len(line)
        while i < end:
            while i < end and (line[i] in _SPACE or line[i] == ","):
                i += 1
            start = i
            while i < end and line[i] not in "=,":
                i += 1
            name = line[start:i].strip(_SPACE).lower()
            value: Optional[str] = None
            if i < end and line[i] == "=":
                i += 1
                while i < end and line[i] in _SPACE:
                    i += 1
                if i < end and line[i] == '"':
                    i += 1
                    chars = []
                    while i < end and line[i] != '"':
                        if line[i] == "\\" and i + 1 < end:
                            i += 1
                        chars.append(line[i])
                        i += 1
                    value = "".join(chars)
                    i += 1
                    while i < end and line[i] != ",":  # anything after the closing quote is not the value
                        i += 1
                else:
                    start = i
                    while i < end and line[i] != ",":
                        i += 1
                    value = line[start:i].strip(_SPACE)
            if not name or any(c in _SPACE or c == '"' for c in name):
                continue
            if name in found:
                known, new = _seconds(found[name]), _seconds(value)
                if new is not None and (known is None or new > known):
                    found[name] = value
                continue
            found[name] = value
    return found


def _seconds(value: Optional[str]) -> Optional[int]:
    """A delta-seconds value: digits only, else None."""
    if value is None or not value.isascii() or not value.isdigit():
        return None
    return int(value)


def judge(headers: Iterable[tuple[str, str]], sent: Collection[str], minimum: float, now: float) -> tuple[bool, float]:
    """Whether a response is private (see the module), and how long (seconds) the store it names must
    stay served after it, the response sent at `now` (seconds since the epoch); `sent`: which of
    VISITOR_HEADERS its request carried (lower case)."""
    lines: list[str] = []
    cookie = False
    varies: set[str] = set()
    dates: dict[str, list[str]] = {"expires": [], "date": []}
    for key, value in headers:
        low = key.lower()
        if low == "cache-control":
            lines.append(value)
        elif low == "set-cookie":
            cookie = True
        elif low == "vary":
            varies.update(field.strip(_SPACE).lower() for field in value.split(","))
        elif low in dates:
            dates[low].append(value)
    authorized = "authorization" in sent
    per_visitor = "*" in varies or ("cookie" in varies and "cookie" in sent)
    if not (lines or cookie or per_visitor or authorized or dates["expires"]):
        return False, min(float(minimum), MAX_FLOOR)  # most pages: nothing to read
    said = directives(lines)
    shared = "public" in said or "s-maxage" in said
    private = ("no-store" in said or "private" in said or ((cookie or per_visitor) and not shared)
               or (authorized and not (shared or "must-revalidate" in said)))
    ages = [_seconds(said.get(name)) for name in ("s-maxage", "max-age") if name in said]
    lifetime = max((age for age in ages if age is not None), default=None)
    if lifetime is None:
        lifetime = _expires(dates["expires"], dates["date"], now)
    stale = max(_seconds(said.get(name)) or 0 for name in ("stale-while-revalidate", "stale-if-error"))
    return private, min(max(float(minimum), float((lifetime or 0) + stale)), MAX_FLOOR)


def _expires(expires: list[str], date: list[str], now: float) -> Optional[int]:
    """`Expires` less `Date` (or now: a WSGI server adds `Date` after the middleware), in seconds."""
    if len(expires) != 1 or len(date) > 1:
        return None
    until = email.utils.parsedate_tz(expires[0])
    sent = email.utils.parsedate_tz(date[0]) if date else None
    if until is None or (date and sent is None):
        return None  # an invalid Expires means "already expired"
    try:
        return max(0, int(email.utils.mktime_tz(until) - (email.utils.mktime_tz(sent) if sent else now)))
    except (OverflowError, ValueError):
        return None
