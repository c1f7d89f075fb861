"""Fetching pages and Manifest Stores over HTTP for checking, and nothing else.

Whatever a page or a server says, a fetch only ever goes to an http or https
URL: a remote page never makes the checker open a local file or another
scheme, and redirects are followed by hand (so each target is checked) up to
a limit. One deadline covers a whole fetch: the name lookup, each connection,
the TLS handshake, and every read of the status line, the headers and the
body, so a server that trickles bytes cannot hold a check longer than its
timeout. Headers are capped in size and in number, bodies in size while they
stream in.

A page must not turn the checker against the network it runs in: a URL whose
host resolves to a loopback, private, link-local or otherwise non-public
address is refused (nothing is sent) unless private hosts are allowed or the
URL is on the host of the page that named it (a page the user named is
fetched from wherever it is). The connection goes to the very address that
was checked, so the name cannot resolve elsewhere in between; the Host header
and TLS (SNI and certificate) keep the name.

Credentials from ~/.netrc are never sent and no cookies are kept; proxies from
the environment are honoured. Each thread keeps its own connection pools, so
the pages of a batch and their stores share connections. The User-Agent names
brevane and its version. A fetch keeps the response's headers and redirects,
and can leave the body as it came, content coding and all (`decode=False`).
"""

from __future__ import annotations

import functools
import http.client
import io
import ipaddress
import os
import re
import socket
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Optional, Union
from urllib.parse import unquote, urlsplit

import certifi  # requests' own bundle, as before
import requests
import urllib3
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool
from urllib3.util import Timeout, make_headers, parse_url

import brevane

from brevane_tools.errors import FetchError
from brevane_tools.link_header import manifest_links, resolve
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE, DEFAULT_MAX_STORE_SIZE, DEFAULT_REDIRECTS, DEFAULT_TIMEOUT

__all__ = ["USER_AGENT", "FetchError", "FetchLimits", "Fetched", "StatusError", "fetch", "is_web_url", "manifest_links",
           "resolve"]

#: Every request's; robots.txt addresses the tool by its first word.
USER_AGENT = f"brevane/{brevane.__version__} (C2PA checker)"

_REDIRECTS = (301, 302, 303, 307, 308)
_CONNECTION_PREFIX = re.compile(r"^\w*Connection\(host=[^)]*\): ")
_MAX_HEADER_BYTES = 64 * 1024  # the status line and every header line, together
_MAX_HEADER_FIELDS = 100
# Private in the narrow sense (RFC 1918 and IPv6 unique local addresses): Python's
# is_private also takes in loopback, link-local and documentation ranges, named apart here.
_PRIVATE_NETWORKS = tuple(ipaddress.ip_network(n) for n in ("10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "fc00::/7"))
_NAT64 = ipaddress.ip_network("64:ff9b::/96")


class StatusError(FetchError):
    """The server answered, with a status that is no success (`status`: 404, 503, ...)."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


@dataclass(frozen=True)
class FetchLimits:
    """How far a fetch may go (the `check` command's flags set these)."""

    page_bytes: int = DEFAULT_MAX_PAGE_SIZE  # as for pages on disk
    store_bytes: int = DEFAULT_MAX_STORE_SIZE
    timeout: float = DEFAULT_TIMEOUT  # seconds for a whole fetch: lookup, connections, redirects, headers and body
    redirects: int = DEFAULT_REDIRECTS
    allow_private_hosts: bool = False  # fetch from loopback, private, link-local... addresses too


@dataclass(frozen=True)
class Fetched:
    """A body as served, and what the server said about it."""

    url: str  # the final URL, after redirects: relative references resolve against it
    body: bytes
    content_type: str  # the media type alone, lower case; "" when the server gave none
    link_header: str  # the Link header fields, joined with ", "; "" when there were none
    #: Every header field of the final response, names in lower case, repeated fields joined with ", ".
    headers: Mapping[str, str] = field(default_factory=dict)
    #: The redirects followed to get here, in order: (status, the URL that answered with it).
    redirects: tuple[tuple[int, str], ...] = ()


def is_web_url(url: str) -> bool:
    parts = urlsplit(url)
    return parts.scheme.lower() in ("http", "https") and bool(parts.netloc)


def fetch(
    url: str,
    what: str,
    max_bytes: int,
    limits: FetchLimits,
    *,
    trusted_host: Optional[str] = None,
    headers: Optional[Mapping[str, str]] = None,
    decode: bool = True,
) -> Fetched:
    """GET `url` (http or https only), following at most `limits.redirects` redirects.

    `what` names the resource in messages ("the page", "the Manifest Store"). `trusted_host` is the
    host (a URL's netloc, or the URL) of the page that named `url`, or `url`'s own when the user named
    it (see the module). `headers` are sent besides the usual ones (an Origin, say); `decode=False`
    keeps the body as it came (`max_bytes` then caps the coded bytes).
    Raises FetchError (StatusError for an HTTP status) with one line: the URL, what went wrong.
    """
    deadline = time.monotonic() + limits.timeout
    trusted = _host_key(trusted_host) if trusted_host else None
    current = url
    chain: list[tuple[int, str]] = []
    for _ in range(limits.redirects + 1):
        if not is_web_url(current):
            raise FetchError(f"{what} at {current} is not an http or https URL; nothing was fetched")
        try:
            response = _open(current, deadline, limits.allow_private_hosts, trusted, headers or {})
            complete = False
            try:
                if response.status in _REDIRECTS and "location" in response.headers:
                    chain.append((response.status, current))
                    current = resolve(response.headers["location"], current)
                    continue
                if not 200 <= response.status < 300:
                    raise StatusError(f"{what} at {current} could not be fetched: HTTP {response.status} "
                                      f"{response.reason or ''}".rstrip(), response.status)
                # Repeated fields joined with ", ", as the header mapping itself gives them.
                fields = {name.lower(): value for name, value in response.headers.itermerged()}
                body = _read_capped(response, fields, what, max_bytes, decode)
                complete = True
                media_type = fields.get("content-type", "").split(";")[0].strip().lower()
                return Fetched(current, body, media_type, fields.get("link", ""), fields, tuple(chain))
            finally:
                # A connection whose response was left unread cannot carry the next request.
                if not complete:
                    response.close()
                response.release_conn()
        except _Failed as exc:
            raise FetchError(f"{what} at {current} {exc}") from None
    raise FetchError(f"{what} at {url} redirects more than {limits.redirects} times")


class _Failed(Exception):
    """What went wrong, said after "<what> at <url> ": `fetch` makes it a FetchError."""


class _Late(_Failed):
    """The deadline passed while waiting for the server."""

    def __init__(self) -> None:
        super().__init__("did not arrive in time")


_local = threading.local()  # this thread's deadline and connection pools


def _open(
    url: str, deadline: float, allow_private: bool, trusted: Optional[str], extra: Mapping[str, str]
) -> urllib3.BaseHTTPResponse:
    try:
        parts = parse_url(url)
    except urllib3.exceptions.LocationParseError as exc:
        raise _Failed(f"could not be fetched: {exc}") from None
    scheme = (parts.scheme or "http").lower()
    name = (parts.host or "").strip("[]")
    default_port = 443 if scheme == "https" else 80
    port = parts.port or default_port
    checked = not allow_private and _host_key(url) != trusted
    proxy = _proxy(url)
    _local.deadline = deadline
    if proxy and not checked:
        targets = [name]  # the proxy looks the name up
    else:
        targets = _addresses(name, port, deadline)
        if checked:
            _refuse_non_public(targets)
    host = (parts.host or "") + (f":{port}" if port != default_port else "")
    headers = {"Host": host, "User-Agent": USER_AGENT, "Accept": "*/*", "Accept-Encoding": "gzip, deflate", **extra}
    if parts.auth:
        headers.update(make_headers(basic_auth=unquote(parts.auth)))
    pool_kwargs: dict[str, Any] = {}
    if scheme == "https":
        pool_kwargs = {"server_hostname": name, "cert_reqs": "CERT_REQUIRED", **_ca_bundle()}
    failure = f"could not be fetched: '{name}' has no address"
    for target in targets:
        remaining = _time_left()
        pool = _manager(proxy).connection_from_host(target, port, scheme, pool_kwargs=pool_kwargs)
        request_target = parts.request_uri
        if proxy and scheme == "http":  # a forwarding proxy takes the whole URL
            shown = f"[{target}]" if ":" in target else target
            request_target = f"http://{shown}:{port}{parts.request_uri}"
        try:
            return pool.urlopen("GET", request_target, headers=headers, retries=False, redirect=False,
                                assert_same_host=False, preload_content=False, release_conn=False,
                                timeout=Timeout(connect=remaining, read=remaining))
        except urllib3.exceptions.NewConnectionError as exc:
            # The next address of the name may answer, within the same deadline.
            failure = f"could not be fetched: {_reason(exc)}"
        except (urllib3.exceptions.HTTPError, http.client.HTTPException, OSError) as exc:
            if isinstance(exc, urllib3.exceptions.TimeoutError) or time.monotonic() >= deadline:
                raise _Late from None
            raise _Failed(f"could not be fetched: {_reason(exc)}") from None
    raise _Failed(failure)


# The variables that can send an http(s) request through a proxy, in either case.
_PROXY_VARIABLES = tuple(v for name in ("http_proxy", "https_proxy", "all_proxy") for v in (name, name.upper()))


def _proxy(url: str) -> Optional[str]:
    """The environment's proxy for `url`; without proxy variables, no reading of the whole environment."""
    if not any(os.environ.get(name) for name in _PROXY_VARIABLES):
        return None
    return requests.utils.select_proxy(url, requests.utils.get_environ_proxies(url))


def _addresses(name: str, port: int, deadline: float) -> list[str]:
    """The addresses of a host name, looked up within the deadline (an address is its own)."""
    try:
        ipaddress.ip_address(name)
        return [name]
    except ValueError:
        pass
    found: list[Union[list[str], OSError]] = []

    def look_up() -> None:
        try:
            infos = socket.getaddrinfo(name, port, type=socket.SOCK_STREAM)
            found.append(list(dict.fromkeys(str(info[4][0]) for info in infos)))
        except (OSError, UnicodeError) as exc:
            found.append(exc if isinstance(exc, OSError) else OSError(str(exc)))

    # The system resolver has its own, longer, timeouts: a lookup left behind
    # ends on its own in a daemon thread.
    lookup = threading.Thread(target=look_up, daemon=True)
    lookup.start()
    lookup.join(max(deadline - time.monotonic(), 0))
    if not found:
        raise _Late
    if isinstance(found[0], OSError):
        raise _Failed(f"could not be fetched: Failed to resolve '{name}' ({found[0]})")
    return found[0]


def _refuse_non_public(addresses: list[str]) -> None:
    """Refuse the first address that is not a public one, saying how it is not."""
    for address in addresses:
        ip = ipaddress.ip_address(address)
        if isinstance(ip, ipaddress.IPv6Address):
            # An IPv4 address inside an IPv6 one reaches that IPv4 host.
            ip = ip.ipv4_mapped or (ipaddress.IPv4Address(int(ip) & 0xFFFFFFFF) if ip in _NAT64 else ip)
        kind = ("a loopback address" if ip.is_loopback else "a link-local address" if ip.is_link_local
                else "a private address" if any(ip in network for network in _PRIVATE_NETWORKS)
                else "a non-public address" if ip.is_multicast or not ip.is_global else None)
        if kind:
            raise _Failed(f"is on {kind} ({address}), not fetched: pass --allow-private-hosts to allow it")


@functools.lru_cache(maxsize=4096)  # twice per fetch, for the same few hosts
def _host_key(where: str) -> str:
    """The host of a URL or a netloc as compared for trust: case, brackets, a final dot and port aside."""
    try:
        name = (parse_url(where if "//" in where else "//" + where).host or "").strip("[]").rstrip(".")
    except urllib3.exceptions.LocationParseError:
        name = where.lower()
    try:
        return str(ipaddress.ip_address(name))
    except ValueError:
        return name


def _manager(proxy: Optional[str]) -> urllib3.PoolManager:
    """This thread's pools, direct or through `proxy`; connections are not shared across threads."""
    managers: dict[Optional[str], urllib3.PoolManager] = _local.__dict__.setdefault("managers", {})
    manager = managers.get(proxy)
    if manager is None:
        if proxy:
            auth = parse_url(proxy).auth
            proxy_headers = make_headers(proxy_basic_auth=unquote(auth)) if auth else None
            manager = urllib3.ProxyManager(proxy, proxy_headers=proxy_headers)
        else:
            manager = urllib3.PoolManager()
        manager.pool_classes_by_scheme = {"http": _HTTPPool, "https": _HTTPSPool}
        managers[proxy] = manager
    return manager


def _ca_bundle() -> dict[str, str]:
    # The environment is not consulted wholesale (see the module note), so
    # the usual certificate bundle overrides are read here.
    bundle = os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or certifi.where()
    return {"ca_cert_dir": bundle} if os.path.isdir(bundle) else {"ca_certs": bundle}


def _time_left() -> float:
    remaining: float = _local.deadline - time.monotonic()
    if remaining <= 0:
        raise _Late
    return remaining


class _DeadlineIO(io.RawIOBase):
    """A response's socket reads, each bounded by the time left before the fetch's deadline.

    A socket timeout alone bounds one read: a server sending a byte now and
    then would hold the status line or the headers for ever.
    """

    def __init__(self, raw: io.RawIOBase, sock: socket.socket) -> None:
        super().__init__()
        self._raw = raw
        self._sock = sock

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> Optional[int]:
        self._sock.settimeout(_time_left())
        try:
            return self._raw.readinto(buffer)
        except socket.timeout:
            raise _Late from None

    def close(self) -> None:
        self._raw.close()
        super().close()


class _HeaderCappedReader(io.BufferedReader):
    """A response's buffered reader: the lines of the head count against the header caps."""

    def __init__(self, raw: io.RawIOBase) -> None:
        super().__init__(raw)
        self.head_left: Optional[int] = _MAX_HEADER_BYTES  # None once the head is in
        self.head_lines = 0

    def readline(self, size: Optional[int] = -1, /) -> bytes:
        left = self.head_left
        if left is None:
            return super().readline(size)
        line = super().readline(left + 1 if size is None or size < 0 else min(size, left + 1))
        self.head_left = left - len(line)
        self.head_lines += 1
        if self.head_left < 0:
            raise _Failed(f"could not be fetched: the response headers are larger than {_MAX_HEADER_BYTES:,} bytes")
        # The status line comes first; the blank line that ends the head is no field.
        if self.head_lines > _MAX_HEADER_FIELDS + 1 and line.strip():
            raise _Failed(f"could not be fetched: the response has more than {_MAX_HEADER_FIELDS} header fields")
        return line


class _Response(http.client.HTTPResponse):
    def __init__(self, sock: socket.socket, debuglevel: int = 0, method: Optional[str] = None,
                 url: Optional[str] = None) -> None:
        super().__init__(sock, debuglevel, method, url)
        # Detached, not closed: the socket stays open until the reader that replaces this one closes.
        self._reader = _HeaderCappedReader(_DeadlineIO(self.fp.detach(), sock))
        self.fp = self._reader

    def begin(self) -> None:
        super().begin()
        self._reader.head_left = None


class _HTTPConnection(HTTPConnection):
    response_class = _Response

    def _new_conn(self) -> socket.socket:
        # The connect timeout was the time left when the request began; what follows on the new
        # connection (a TLS handshake, a proxy's answer to CONNECT) only gets what is left now.
        sock = super()._new_conn()
        try:
            sock.settimeout(_time_left())
        except _Late:
            sock.close()
            raise
        return sock


class _HTTPSConnection(_HTTPConnection, HTTPSConnection):
    pass


class _HTTPPool(HTTPConnectionPool):
    ConnectionCls = _HTTPConnection


class _HTTPSPool(HTTPSConnectionPool):
    ConnectionCls = _HTTPSConnection


def _read_capped(response: urllib3.BaseHTTPResponse, fields: Mapping[str, str], what: str, max_bytes: int,
                 decode: bool) -> bytes:
    flag = {"the page": "; see --max-page-size", "the Manifest Store": "; see --max-store-size"}.get(what, "")
    too_big = f"is larger than {max_bytes:,} bytes (the limit{flag})"
    declared = fields.get("content-length", "")
    # A compressed body's declared length says nothing about its decoded size,
    # which is what the cap is about; it is counted while it streams instead.
    exact = declared.isdigit() and ("content-encoding" not in fields or not decode)
    if exact and int(declared) > max_bytes:
        raise _Failed(too_big)
    chunks: list[bytes] = []
    size = 0
    try:
        while True:
            # A body of a declared length within the cap is read whole, in one call (each socket
            # read still under the deadline); any other one read at a time, the cap counted as it streams.
            chunk = response.read(int(declared) + 1, decode_content=decode) if exact else \
                response.read1(64 * 1024, decode_content=decode)
            if not chunk:
                break
            size += len(chunk)
            if size > max_bytes:
                raise _Failed(too_big)
            chunks.append(chunk)
    except (urllib3.exceptions.HTTPError, http.client.HTTPException, OSError) as exc:
        raise _Failed(f"could not be read: {_reason(exc)}") from None
    return b"".join(chunks)


def _reason(exc: BaseException) -> str:
    """What went wrong under a urllib3 error, in one line."""
    # urllib3 wraps the socket's or http.client's own error, which says it better.
    if isinstance(exc, urllib3.exceptions.ProtocolError) and len(exc.args) > 1:
        exc = exc.args[1]
    text = " ".join(str(exc).split()) or type(exc).__name__
    # urllib3 names its connection object first; the URL is in the message already.
    return _CONNECTION_PREFIX.sub("", text)
