"""Pages signed as they are served: what the WSGI and the ASGI middleware share.

A response is signed when it is a `text/html` 200 to a GET or HEAD, not
compressed, not marked as a stream (`X-Brevane-Stream: 1`, taken out on the
way), and at most `max_bytes` long; anything else passes untouched, an HTML
page that could have been signed with one log line on the "brevane" logger.

A page is signed once: its name, the hex SHA-256 of the signing configuration
(definition, form, algorithm, certificate), of the URL path where the
definition depends on it, and of the page's bytes, keys the cache. An
unchanged page costs that one hash. The name is also where its Manifest Store
is served, `<prefix><name>.c2pa`: it says what was signed, so a store made
again after an eviction replaces one that was just as valid. Concurrent
requests for an unsigned page wait for one signing; a cache with a
`signing_lock(name)` method (`DirectoryCache`) extends that across processes.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import hashlib
import json
import logging
import os
import re
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional, Protocol, Union

from brevane_tools.errors import SigningError, UsageError
from brevane_tools.signing.credentials import Credential, SigningKey
from brevane_tools.signing.definition import Manifest, PageFacts, load_definition, render_definition
from brevane_tools.signing.pages import sign, sign_detached

__all__ = [
    "FAILED_STATUS",
    "FORMS",
    "STORE_PREFIX",
    "STREAM_HEADER",
    "Answer",
    "CacheBackend",
    "DirectoryCache",
    "DynamicSigning",
    "Headers",
    "MemoryCache",
    "PageSigner",
]

logger = logging.getLogger("brevane")

#: header: the page leaves unchanged, with a Link header to its store; link: the
#: page gets a `<link rel="c2pa-manifest">`; inline: the store goes into the page.
FORMS = ("header", "link", "inline")
STORE_PREFIX = "/.well-known/c2pa/"
STORE_MEDIA_TYPE = "application/c2pa"
#: A store's URL names what it signs, so it never changes.
STORE_CACHE_CONTROL = "public, max-age=31536000, immutable"
#: A response header by which the application asks for its HTML to be sent as it comes.
STREAM_HEADER = "x-brevane-stream"
DEFAULT_MAX_BYTES = 8 * 1024 * 1024
DEFAULT_CACHE_BYTES = 64 * 1024 * 1024
#: With fail_closed, what a page that cannot be signed gets instead.
FAILED_STATUS = 503
FAILED_BODY = b"This page cannot be served: it could not be signed.\n"
NO_STORE_BODY = b"No such Manifest Store here.\n"

Headers = list[tuple[str, str]]

_STORE_NAME = re.compile(r"([0-9a-f]{64})\.c2pa\Z")
_STORE_KEY = "brevane:store:"
_PAGE_KEY = "brevane:page:"


class CacheBackend(Protocol):
    """Where signed pages and stores are kept: Django's cache or a Redis client fit as they are."""

    def get(self, key: str) -> Optional[bytes]: ...

    def set(self, key: str, value: bytes) -> Any: ...


class MemoryCache:
    """The default: least recently used entries go first, past `max_bytes` in all.

    One per process: each process of a server signs the pages it serves, and
    serves only the stores it signed.
    """

    def __init__(self, max_bytes: int = DEFAULT_CACHE_BYTES) -> None:
        self.max_bytes = max_bytes
        self._entries: collections.OrderedDict[str, bytes] = collections.OrderedDict()
        self._size = 0
        self._lock = threading.Lock()

    def get(self, key: str) -> Optional[bytes]:
        with self._lock:
            value = self._entries.get(key)
            if value is not None:
                self._entries.move_to_end(key)
            return value

    def set(self, key: str, value: bytes) -> None:
        with self._lock:
            old = self._entries.pop(key, None)
            self._size += len(value) - (len(old) if old is not None else 0)
            self._entries[key] = value
            while self._size > self.max_bytes and len(self._entries) > 1:
                self._size -= len(self._entries.popitem(last=False)[1])


class DirectoryCache:
    """One file per entry in a directory that every process of the site shares.

    Nothing is ever removed: stores must outlive every copy of the pages that
    name them. Entries are written whole (a temporary file renamed), and on
    POSIX systems one process signs a page while the others wait for it.
    """

    def __init__(self, path: Union[str, os.PathLike[str]]) -> None:
        self.path = Path(path)
        (self.path / ".locks").mkdir(parents=True, exist_ok=True)

    def _file(self, key: str) -> Path:
        return self.path / key.replace(":", "-")

    def get(self, key: str) -> Optional[bytes]:
        try:
            return self._file(key).read_bytes()
        except FileNotFoundError:
            return None

    def set(self, key: str, value: bytes) -> None:
        handle, temporary = tempfile.mkstemp(dir=self.path, prefix=".new-")
        try:
            with os.fdopen(handle, "wb") as out:
                out.write(value)
            os.chmod(temporary, 0o644)  # readable by a server that runs as another user
            os.replace(temporary, self._file(key))
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise

    @contextlib.contextmanager
    def signing_lock(self, name: str) -> Iterator[None]:
        if sys.platform == "win32":
            yield
            return
        import fcntl

        # 256 lock files, never removed: a removed one could be locked by two processes at once.
        with open(self.path / ".locks" / name[:2], "a+b") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield


@dataclass(frozen=True)
class DynamicSigning:
    """The middleware's settings."""

    manifest: Manifest  # the definition (a mapping, or JSON text), a template: see signing.definition
    credential: Credential
    form: str = "header"
    alg: str = "sha256"  # the hash of the binding
    max_bytes: int = DEFAULT_MAX_BYTES  # larger pages pass unsigned
    cache: Optional[CacheBackend] = None  # None: a MemoryCache
    fail_closed: bool = False  # a page that cannot be signed is a 503, not sent unsigned
    prefix: str = STORE_PREFIX  # where stores are served, below the application's root
    threads: int = 4  # ASGI: the signing threads, so that the event loop never waits on a signature

    @classmethod
    def from_environment(cls, environ: Optional[Mapping[str, str]] = None, **settings: Any) -> DynamicSigning:
        """Settings from BREVANE_MANIFEST, BREVANE_CERT and BREVANE_KEY (file paths), and optionally
        BREVANE_FORM and BREVANE_CACHE_DIR (a DirectoryCache); keyword arguments win."""
        env = os.environ if environ is None else environ
        needed = ["BREVANE_MANIFEST"] + ([] if "credential" in settings else ["BREVANE_CERT", "BREVANE_KEY"])
        missing = [name for name in needed if not env.get(name)]
        if missing:
            raise UsageError(
                f"{' and '.join(missing)} not set: the manifest definition (JSON), the certificate "
                "chain and the private key (PEM) are named by BREVANE_MANIFEST, BREVANE_CERT and BREVANE_KEY"
            )
        if "credential" not in settings:
            settings["credential"] = SigningKey.from_files(env["BREVANE_CERT"], env["BREVANE_KEY"])
        if env.get("BREVANE_FORM"):
            settings.setdefault("form", env["BREVANE_FORM"])
        if env.get("BREVANE_CACHE_DIR"):
            settings.setdefault("cache", DirectoryCache(env["BREVANE_CACHE_DIR"]))
        return cls(Path(env["BREVANE_MANIFEST"]).read_text("utf-8"), **settings)


@dataclass(frozen=True)
class Answer:
    """What a signed page is sent as."""

    body: bytes
    link: Optional[str] = None  # the header form: the store's URL
    changed: bool = False  # the body is not the application's: its length and ETag change


def _plain(status: int, body: bytes) -> tuple[int, Headers, bytes]:
    headers = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body))),
               ("Cache-Control", "no-store")]
    return status, headers, body


def _header(headers: Headers, name: str) -> Optional[str]:
    """The first value of a header (`name` in lower case)."""
    for key, value in headers:
        if key.lower() == name:
            return value
    return None


class PageSigner:
    """Signs pages and keeps what it signed; one per middleware, shared by its threads."""

    def __init__(self, settings: DynamicSigning) -> None:
        if settings.form not in FORMS:
            raise UsageError(f"unknown form {settings.form!r}: use one of {', '.join(FORMS)}")
        if settings.alg not in ("sha256", "sha384", "sha512"):
            raise UsageError(f"unknown hash algorithm {settings.alg!r}: use sha256, sha384 or sha512")
        if not (settings.prefix.startswith("/") and settings.prefix.endswith("/")):
            raise UsageError(f"the store prefix {settings.prefix!r} must start and end with '/'")
        if settings.max_bytes <= 0 or settings.threads <= 0:
            raise UsageError("max_bytes and threads must be above zero")
        try:
            definition = load_definition(settings.manifest)
        except SigningError as exc:
            raise UsageError(str(exc)) from None
        self.settings = settings
        self.form = settings.form
        self.cache: CacheBackend = settings.cache if settings.cache is not None else MemoryCache()
        # As text, the template is parsed once per process rather than copied for each page.
        self._template = json.dumps(definition, sort_keys=True)
        credential = settings.credential
        identity = [self._template, settings.form, settings.alg, settings.prefix, credential.alg, credential.tsa_url]
        fingerprint = hashlib.sha256(json.dumps(identity).encode("utf-8") + b"\n" + credential.cert_chain_pem)
        self._fingerprint = fingerprint.digest()
        #: Appended inside the application's ETags of pages whose body signing changes.
        self.tag = "-c2pa-" + fingerprint.hexdigest()[:12]
        # A definition without {path}, {name} or {stem} and with a title of its own (else a page
        # without <title> takes its name) signs a page alike wherever it is served: the path
        # then stays out of the name, and one store serves every URL of the same bytes.
        self._by_url = render_definition(self._template, PageFacts("a/b", "b")) != render_definition(
            self._template, PageFacts("c/d", "d")
        )
        self._signer: Any = None
        self._lock = threading.Lock()
        self._flights: dict[str, concurrent.futures.Future[Answer]] = {}

    @property
    def changes_body(self) -> bool:
        return self.form != "header"

    @property
    def in_memory(self) -> bool:
        return isinstance(self.cache, MemoryCache)

    def signer(self) -> Any:
        """The SDK signer, made on first use in each process (after a server's fork)."""
        if self._signer is None:
            with self._lock:
                if self._signer is None:
                    self._signer = self.settings.credential.signer()
        return self._signer

    # -- requests and responses -------------------------------------------------------------

    def store_name(self, path: str) -> Optional[str]:
        """The name of the store a request path asks for, or None when it is not one."""
        if not path.startswith(self.settings.prefix):
            return None
        found = _STORE_NAME.match(path, len(self.settings.prefix))
        return found.group(1) if found else None

    def store(self, name: str) -> Optional[bytes]:
        return self.cache.get(_STORE_KEY + name)

    def store_response(self, name: str) -> tuple[int, Headers, bytes]:
        """The response to a request for a store: the store, or a 404."""
        store = self.store(name)
        if store is None:
            return _plain(404, NO_STORE_BODY)
        return 200, [
            ("Content-Type", STORE_MEDIA_TYPE),
            ("Content-Length", str(len(store))),
            ("Cache-Control", STORE_CACHE_CONTROL),
            ("Access-Control-Allow-Origin", "*"),  # public, and read by validators on other origins
        ], store

    @staticmethod
    def failed_response() -> tuple[int, Headers, bytes]:
        return _plain(FAILED_STATUS, FAILED_BODY)

    def if_none_match(self, value: str) -> str:
        """A request's If-None-Match with the application's own ETags, for it to compare."""
        return value.replace(self.tag + '"', '"') if self.changes_body else value

    def signable(self, status: int, headers: Headers, path: str) -> bool:
        """Whether a response is a page to sign; an HTML page that is not says why in the log."""
        media_type = (_header(headers, "content-type") or "").split(";")[0].strip().lower()
        if status != 200 or media_type != "text/html":
            return False
        if (_header(headers, STREAM_HEADER) or "0") != "0":
            logger.info("%s: not signed: the application marked it as a stream (%s)", path, STREAM_HEADER)
            return False
        encoding = _header(headers, "content-encoding")
        if encoding and encoding.strip().lower() != "identity":
            logger.warning(
                "%s: not signed: it is already compressed (Content-Encoding: %s); the signing middleware "
                "must see pages before any compression or minifying middleware does", path, encoding
            )
            return False
        length = _header(headers, "content-length")
        if length is not None and length.strip().isdigit() and int(length) > self.settings.max_bytes:
            self.too_large(path)
            return False
        return True

    def too_large(self, path: str) -> None:
        logger.warning("%s: not signed: the page is larger than max_bytes (%d bytes)", path, self.settings.max_bytes)

    def passed_headers(self, status: int, headers: Headers) -> Headers:
        """Headers of a response that passes unsigned; a 304 names the signed page it confirms."""
        revalidated = status == 304 and self.changes_body
        out: Headers = []
        for key, value in headers:
            low = key.lower()
            if low == STREAM_HEADER:
                continue
            if revalidated and low == "etag":
                tagged = self._etag(value)
                if tagged is None:
                    continue
                value = tagged
            out.append((key, value))
        return out

    def signed_headers(self, headers: Headers, answer: Answer) -> Headers:
        out: Headers = []
        transform = False
        for key, value in headers:
            low = key.lower()
            if low in ("content-length", STREAM_HEADER):
                continue
            if low == "etag" and answer.changed:
                tagged = self._etag(value)
                if tagged is None:
                    continue  # no entity tag: nothing to derive the signed page's from
                value = tagged
            elif low == "cache-control":
                # Asks caches and proxies on the way not to minify or recode: the signature covers the bytes.
                value, transform = f"{value}, no-transform" if value.strip() else "no-transform", True
            out.append((key, value))
        if not transform:
            out.append(("Cache-Control", "no-transform"))
        out.append(("Content-Length", str(len(answer.body))))
        if answer.link is not None:
            out.append(("Link", f'<{answer.link}>; rel="c2pa-manifest"'))
        return out

    def _etag(self, value: str) -> Optional[str]:
        """The signed page's ETag, from the application's: weak for the inline form, whose
        signature (and so its bytes) differs each time the page is signed again."""
        weak = value.startswith("W/")
        opaque = value[2:] if weak else value
        if len(opaque) < 2 or opaque[0] != '"' or opaque[-1] != '"':
            return None
        return f'{"W/" if weak or self.form == "inline" else ""}{opaque[:-1]}{self.tag}"'

    def failed(self, path: str, exc: BaseException) -> bool:
        """Log a page that could not be signed; whether it is refused (fail_closed) rather than sent."""
        closed = self.settings.fail_closed
        what = f"answered {FAILED_STATUS} (fail_closed)" if closed else "served unsigned"
        expected = isinstance(exc, (SigningError, ValueError, OSError))
        logger.error("%s: signing failed, %s: %s", path, what, exc, exc_info=None if expected else exc)
        detail = getattr(exc, "detail", None)
        if detail:
            logger.debug("%s: %s", path, detail)
        return closed

    # -- signing ----------------------------------------------------------------------------

    def name_of(self, page: bytes, path: str, base: str, digest: Optional[bytes] = None) -> str:
        """The store's name: what was signed (the configuration, the path where it matters, the page)."""
        named = hashlib.sha256(self._fingerprint)
        named.update(json.dumps([base, path if self._by_url else ""]).encode("ascii") + b"\n")
        named.update(digest or hashlib.sha256(page).digest())
        return named.hexdigest()

    def cached(self, page: bytes, path: str, base: str) -> Optional[Answer]:
        return self._cached(page, self.name_of(page, path, base), base)

    def answer(self, page: bytes, path: str, base: str) -> Answer:
        """The page as it is to be sent: from the cache, else signed (once, however many ask)."""
        # The page is hashed once: its digest names it, and binds it when signed with SHA-256.
        digest = hashlib.sha256(page).digest()
        name = self.name_of(page, path, base, digest)
        found = self._cached(page, name, base)
        if found is not None:
            return found
        with self._lock:
            flight = self._flights.get(name)
            leader = flight is None
            if flight is None:
                flight = self._flights[name] = concurrent.futures.Future()
        if not leader:
            return flight.result()
        try:
            lock: Optional[Callable[[str], Any]] = getattr(self.cache, "signing_lock", None)
            with lock(name) if lock is not None else contextlib.nullcontext():
                found = self._cached(page, name, base) or self._sign(page, name, path, base, digest)
        except BaseException as exc:
            flight.set_exception(exc)
            raise
        finally:
            with self._lock:
                del self._flights[name]
        flight.set_result(found)
        return found

    def _href(self, base: str, name: str) -> str:
        return f"{base}{self.settings.prefix}{name}.c2pa"

    def _cached(self, page: bytes, name: str, base: str) -> Optional[Answer]:
        if self.form == "header":
            return Answer(page, self._href(base, name)) if self.store(name) is not None else None
        signed = self.cache.get(_PAGE_KEY + name)
        # A page that links to its store is only as good as the store it names.
        if signed is None or (self.form == "link" and self.store(name) is None):
            return None
        return Answer(signed, changed=True)

    def _sign(self, page: bytes, name: str, path: str, base: str, digest: bytes) -> Answer:
        started = time.perf_counter()
        facts = PageFacts(path=path.lstrip("/"), name=path.rstrip("/").rsplit("/", 1)[-1])
        alg = self.settings.alg
        if self.form == "header":
            store = sign_detached(page, self._template, self.signer(), alg=alg, facts=facts,
                                  digest=digest if alg == "sha256" else None)
            self.cache.set(_STORE_KEY + name, store)
            answer = Answer(page, self._href(base, name))
        else:
            href = self._href(base, name) if self.form == "link" else None
            # The application's page is the source: an element it carries is replaced, not kept as a parent.
            signed = sign(page, self._template, self.signer(), alg=alg, href=href, facts=facts, keep_parent=False)
            if href is not None:
                self.cache.set(_STORE_KEY + name, signed.store)  # first: a cached page's store is always there
            self.cache.set(_PAGE_KEY + name, signed.page)
            answer = Answer(signed.page, changed=True)
        logger.debug("%s: signed, %s form, %.1f ms", path, self.form, (time.perf_counter() - started) * 1000)
        return answer
