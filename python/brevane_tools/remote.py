"""Fetching pages and Manifest Stores over HTTP for checking, and nothing else.

Whatever a page or a server says, a fetch only ever goes to an http or https
URL: a remote page never makes the checker open a local file or another
scheme, redirects are followed by hand (so each target's scheme is checked)
up to a limit, every fetch has a time limit for the whole transfer (not only
per read), and bodies are capped in size while they stream in. Credentials
from ~/.netrc are never sent and no cookies are kept; proxies from the
environment are honoured. Each thread keeps one session, so the pages of a
batch and their stores share connections.
"""

from __future__ import annotations

import http.cookiejar
import os
import re
import threading
import time
from dataclasses import dataclass
from typing import Optional
from urllib.parse import urldefrag, urljoin, urlsplit

import requests
import urllib3

from brevane_tools.files import DEFAULT_MAX_PAGE_SIZE

__all__ = ["FetchError", "FetchLimits", "Fetched", "fetch", "is_web_url", "manifest_links", "resolve"]

STORE_MEDIA_TYPE = "application/c2pa"
MANIFEST_REL = "c2pa-manifest"
_REDIRECTS = (301, 302, 303, 307, 308)
_CONNECTION_PREFIX = re.compile(r"^\w*Connection\(host=[^)]*\): ")


class FetchError(ValueError):
    """A page or a store could not be fetched; the message names the URL."""


@dataclass(frozen=True)
class FetchLimits:
    """How far a fetch may go (the `check` command's flags set these)."""

    page_bytes: int = DEFAULT_MAX_PAGE_SIZE  # as for pages on disk
    store_bytes: int = 16 * 1024 * 1024
    timeout: float = 20.0  # seconds for a whole fetch: connection, redirects and body
    redirects: int = 5


@dataclass(frozen=True)
class Fetched:
    """A body as served, and what the server said about it."""

    url: str  # the final URL, after redirects: relative references resolve against it
    body: bytes
    content_type: str  # the media type alone, lower case; "" when the server gave none
    link_header: str  # the Link header fields, joined with ", "; "" when there were none


def is_web_url(url: str) -> bool:
    parts = urlsplit(url)
    return parts.scheme.lower() in ("http", "https") and bool(parts.netloc)


def resolve(reference: str, against: str) -> str:
    """`reference` resolved against the URL `against`, without its fragment."""
    return urldefrag(urljoin(against, reference.strip()))[0]


def manifest_links(link_header: str, base_url: str) -> list[str]:
    """The targets of `rel="c2pa-manifest"` links in a Link header, resolved against `base_url`.

    `rel` may hold several space-separated relation types, quoted or not, in any case.
    """
    if not link_header.strip():
        return []
    targets: list[str] = []
    for link in requests.utils.parse_header_links(link_header):
        relations = link.get("rel", "").lower().split()
        if MANIFEST_REL in relations and link.get("url"):
            target = resolve(link["url"], base_url)
            if target not in targets:
                targets.append(target)
    return targets


def _ca_bundle() -> str | bool:
    # The environment is not consulted wholesale (see the module note), so
    # the usual certificate bundle overrides are read here.
    return os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or True


def fetch(url: str, what: str, max_bytes: int, limits: FetchLimits) -> Fetched:
    """GET `url` (http or https only), following at most `limits.redirects` redirects.

    `what` names the resource in messages ("the page", "the Manifest Store").
    Raises FetchError with one line: the URL, what went wrong, the HTTP status.
    """
    deadline = time.monotonic() + limits.timeout
    session = _session()
    current = url
    for _ in range(limits.redirects + 1):
        if not is_web_url(current):
            raise FetchError(f"{what} at {current} is not an http or https URL; nothing was fetched")
        response = _get(session, current, what, deadline)
        with response:
            if response.status_code in _REDIRECTS and "location" in response.headers:
                current = resolve(response.headers["location"], current)
                continue
            if not 200 <= response.status_code < 300:
                raise FetchError(
                    f"{what} at {current} could not be fetched: HTTP {response.status_code} "
                    f"{response.reason or ''}".rstrip()
                )
            body = _read_capped(response, current, what, max_bytes, deadline)
            media_type = response.headers.get("content-type", "").split(";")[0].strip().lower()
            return Fetched(current, body, media_type, response.headers.get("link", ""))
    raise FetchError(f"{what} at {url} redirects more than {limits.redirects} times")


_sessions = threading.local()


def _session() -> requests.Session:
    """One session per thread: a page and its store, and the pages of a batch, share connections."""
    session: Optional[requests.Session] = getattr(_sessions, "session", None)
    if session is None:
        session = requests.Session()
        # No ~/.netrc credentials for whatever host a page points at, and no
        # cookies carried from one fetch to the next.
        session.trust_env = False
        session.cookies.set_policy(http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))
        _sessions.session = session
    return session


def _get(session: requests.Session, url: str, what: str, deadline: float) -> requests.Response:
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise FetchError(f"{what} at {url} did not arrive in time")
    try:
        return session.get(
            url,
            stream=True,
            allow_redirects=False,
            timeout=remaining,
            proxies=requests.utils.get_environ_proxies(url),
            verify=_ca_bundle(),
            headers={"Accept-Encoding": "gzip, deflate"},
        )
    except requests.Timeout:
        raise FetchError(f"{what} at {url} did not arrive in time") from None
    except requests.RequestException as exc:
        raise FetchError(f"{what} at {url} could not be fetched: {_reason(exc)}") from None


def _read_capped(response: requests.Response, url: str, what: str, max_bytes: int, deadline: float) -> bytes:
    flag = "--max-page-size" if what == "the page" else "--max-store-size"
    too_big = f"{what} at {url} is larger than {max_bytes:,} bytes (the limit; see {flag})"
    late = f"{what} at {url} did not arrive in time"
    declared = response.headers.get("content-length", "")
    # A compressed body's declared length says nothing about its decoded size,
    # which is what the cap is about; it is counted while it streams instead.
    if declared.isdigit() and int(declared) > max_bytes and "content-encoding" not in response.headers:
        raise FetchError(too_big)
    chunks: list[bytes] = []
    size = 0
    try:
        while True:
            # One read at a time, whatever arrived: requests' iter_content
            # waits for a whole chunk, so a server sending a byte now and
            # then would hold it far past the deadline.
            chunk = response.raw.read1(64 * 1024, decode_content=True)
            if not chunk:
                break
            size += len(chunk)
            if size > max_bytes:
                raise FetchError(too_big)
            if time.monotonic() > deadline:
                raise FetchError(late)
            chunks.append(chunk)
    except (urllib3.exceptions.HTTPError, OSError) as exc:
        if time.monotonic() > deadline or isinstance(exc, (urllib3.exceptions.TimeoutError, TimeoutError)):
            raise FetchError(late) from None
        raise FetchError(f"{what} at {url} could not be read: {_reason(exc)}") from None
    return b"".join(chunks)


def _reason(exc: BaseException) -> str:
    """What went wrong under a requests error, in one line."""
    # requests wraps urllib3's error, whose `reason` is the socket's or TLS's own.
    inner = exc.args[0] if exc.args else exc
    text = str(getattr(inner, "reason", None) or inner)
    # urllib3 names its connection object first; the URL is in the message already.
    return _CONNECTION_PREFIX.sub("", " ".join(text.split()))
