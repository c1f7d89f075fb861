"""Pages signed as they are served: what the WSGI and the ASGI middleware share.

A response is signed when it is a `text/html` 200 to a GET or HEAD, not
compressed, not marked as a stream (`X-Brevane-Stream: 1`, taken out on the
way), and at most `max_bytes` long; anything else passes untouched, an HTML
page that could have been signed with one log line on the "brevane" logger
(outside text in it escaped). A private response (see `cache_control`) is
signed inline or passed unsigned (the `private` setting), and kept nowhere.

A page is signed once: its name, the hex SHA-256 of the signing configuration
(definition, form, algorithm, certificate), of the page's key (by default its
URL path) where the definition depends on it, and of the page's bytes, keys
the cache. An unchanged page costs that one hash. The name is also where its
Manifest Store is served, `<prefix><name>.c2pa`: it says what was signed, so a
store made again after an eviction replaces one that was just as valid.
Concurrent requests for an unsigned page wait for one signing; a cache with a
`signing_lock(name)` method (`DirectoryCache`) extends that across processes.

New signatures are limited per process (`signatures_per_second`), and a store
stays served for its floor after the last response that named it; a page
that a limit leaves unsigned is sent unsigned, or refused (`fail_closed`).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import hashlib
import json
import logging
import re
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional, Union

import brevane

from brevane_tools.errors import SigningError, UsageError
from brevane_tools.integrations import cache_control
from brevane_tools.integrations.budget import LogThrottle, SigningBudget
from brevane_tools.integrations.caches import CacheFull, MemoryCache
from brevane_tools.integrations.settings import BoundedCache, DynamicSigning, bounded
from brevane_tools.limits import STORE_MEDIA_TYPE, STORE_SUFFIX, link_value
from brevane_tools.signing.definition import PageFacts, load_definition, render_definition
from brevane_tools.signing.pages import sign, sign_detached
from brevane_tools.text import escape

__all__ = ["FAILED_STATUS", "STREAM_HEADER", "Answer", "Headers", "NotSigned", "Page", "PageSigner"]

logger = logging.getLogger("brevane")

#: A store's URL names what it signs, so it never changes.
STORE_CACHE_CONTROL = "public, max-age=31536000, immutable"
#: A response header by which the application asks for its HTML to be sent as it comes.
STREAM_HEADER = "x-brevane-stream"
#: With fail_closed, what a page that cannot be signed gets instead.
FAILED_STATUS = 503
FAILED_BODY = b"This page cannot be served: it could not be signed.\n"
NO_STORE_BODY = b"No such Manifest Store here.\n"

Headers = list[tuple[str, str]]

_STORE_NAME = re.compile(r"([0-9a-f]{64})" + re.escape(STORE_SUFFIX) + r"\Z")
_STORE_KEY = "brevane:store:"
_PAGE_KEY = "brevane:page:"


@dataclass(frozen=True)
class Page:
    """A response to sign, and what its request and headers say about it."""

    body: bytes
    path: str  # the URL path below the application's root
    base: str  # the application's root (SCRIPT_NAME, root_path), %-escaped
    key: str  # which page it is (the key hook's answer, by default the path)
    private: bool = False  # for its requester only: signed inline or not at all, kept nowhere
    keep: float = 0.0  # seconds its store stays served after this response


@dataclass(frozen=True)
class Answer:
    """What a signed page is sent as."""

    body: bytes
    link: Optional[str] = None  # the header form: the store's URL
    changed: bool = False  # the body is not the application's: its length and ETag change
    weak: bool = False  # signed inline: its bytes differ each time it is signed, so its ETag is weak


class NotSigned(Exception):
    """A page left unsigned by a limit rather than a fault (the budget, or a cache full of live stores),
    or by what it is: the form cannot take it (no head for the link and inline forms' element, or,
    in the header form, a manifest element of its own)."""

    def __init__(self, reason: str, retry_after: Optional[int]) -> None:
        super().__init__(reason)
        #: None: the page itself, which no later try changes: it is sent as it is, even with fail_closed.
        self.reason, self.retry_after = reason, retry_after


def _plain(status: int, body: bytes, *extra: tuple[str, str]) -> tuple[int, Headers, bytes]:
    headers = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body))),
               ("Cache-Control", "no-store"), *extra]
    return status, headers, body


class PageSigner:
    """Signs pages and keeps what it signed; one per middleware, shared by its threads."""

    def __init__(self, settings: DynamicSigning) -> None:
        try:
            definition = load_definition(settings.manifest)
        except SigningError as exc:
            raise UsageError(str(exc)) from None
        self.settings = settings
        self.form = settings.form
        self.clock = settings.clock
        self.cache: BoundedCache = MemoryCache(clock=self.clock) if settings.cache is None else bounded(settings.cache)
        self._signing_lock: Optional[Callable[[str], Any]] = getattr(settings.cache, "signing_lock", None)
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
        rate = settings.signatures_per_second
        self._budget = SigningBudget(rate, self.clock) if rate is not None else None
        self._throttle = LogThrottle(self.clock)
        self._store_size: Optional[int] = None  # the last store's size: what room a new one needs, about
        self._signer: Any = None
        self._lock = threading.Lock()
        self._flights: dict[str, concurrent.futures.Future[Answer]] = {}

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

    def key_of(self, path: str, query: str) -> Optional[str]:
        """Which page a request asks for; None: leave its response unsigned (the key hook said so)."""
        hook = self.settings.key
        return path if hook is None else hook(path, query)

    def store_name(self, path: str) -> Optional[str]:
        """The name of the store a request path asks for, or None when it is not one."""
        if not path.startswith(self.settings.prefix):
            return None
        found = _STORE_NAME.match(path, len(self.settings.prefix))
        return found.group(1) if found else None

    def store_response(self, name: str) -> tuple[int, Headers, bytes]:
        """The response to a request for a store: the store, or a 404."""
        store = self.cache.get(_STORE_KEY + name)
        if store is None:
            return _plain(404, NO_STORE_BODY)
        return 200, [
            ("Content-Type", STORE_MEDIA_TYPE),
            ("Content-Length", str(len(store))),
            ("Cache-Control", STORE_CACHE_CONTROL),
            ("Access-Control-Allow-Origin", "*"),  # public, and read by validators on other origins
        ], store

    def if_none_match(self, value: str) -> tuple[str, bool]:
        """A request's If-None-Match with the application's own ETags, for it to compare; and
        whether it named a signed page's tag."""
        return value.replace(self.tag + '"', '"'), self.tag + '"' in value

    def signable(self, status: int, headers: Headers, path: str) -> bool:
        """Whether a response is a page to sign; an HTML page that is not says why in the log."""
        if status != 200:
            return False
        named = {key.lower(): value for key, value in reversed(headers)}  # the first of each name
        media_type = named.get("content-type", "").split(";")[0].strip().lower()
        if media_type != "text/html":
            return False
        if named.get(STREAM_HEADER, "0") != "0":
            logger.info("%s: not signed: the application marked it as a stream (%s)", escape(path), STREAM_HEADER)
            return False
        encoding = named.get("content-encoding")
        if encoding and encoding.strip().lower() != "identity":
            logger.warning(
                "%s: not signed: it is already compressed (Content-Encoding: %s): compression runs before "
                "signing; wrap the application in the signing middleware first, then in compression "
                "(docs/dynamic.md, \"Order\")", escape(path), escape(encoding)
            )
            return False
        length = named.get("content-length")
        if length is not None and length.strip().isdigit() and int(length) > self.settings.max_bytes:
            self.too_large(path)
            return False
        return True

    def too_large(self, path: str) -> None:
        logger.warning("%s: not signed: the page is larger than max_bytes (%d bytes)", escape(path),
                       self.settings.max_bytes)

    def page(self, body: bytes, path: str, base: str, key: str, headers: Headers, visitor: frozenset[str]) -> Page:
        """The page to sign: whether it is private, and how long its store must stay; `visitor`: which
        of cache_control.VISITOR_HEADERS its request carried."""
        private, keep = cache_control.judge(headers, visitor, self.settings.store_floor, self.clock())
        return Page(body, path, base, key, private=True) if private else Page(body, path, base, key, keep=keep)

    def reply(
        self, page: Page, status: int, headers: Headers, answer: Union[Answer, Exception, None]
    ) -> tuple[Optional[int], Headers, bytes]:
        """How a page read whole goes out, as `answer` says (None: a private page that passes unsigned):
        signed, refused (with a status of its own), or as the application made it (None: its status)."""
        if isinstance(answer, Answer):
            out = self._headers(headers, answer.weak if answer.changed else None, signed=True)
            out.append(("Content-Length", str(len(answer.body))))
            if answer.link is not None:
                out.append(("Link", link_value(answer.link)))
            return None, out, answer.body
        if answer is not None and self.failed(page.path, answer):
            retry = (("Retry-After", str(answer.retry_after)),) if isinstance(answer, NotSigned) else ()
            return _plain(FAILED_STATUS, FAILED_BODY, *retry)
        return None, self.passed_headers(status, headers), page.body

    def passes_private(self, page: Page) -> bool:
        """Whether a page goes out unsigned because it is private (the `private` setting)."""
        if page.private and self.settings.private == "unsigned":
            if logger.isEnabledFor(logging.DEBUG):
                logger.debug("%s: not signed: a private response (private=\"unsigned\")", escape(page.path))
            return True
        return False

    def passed_headers(
        self, status: int, headers: Headers, visitor: frozenset[str] = frozenset(), signed_copy: bool = False
    ) -> Headers:
        """Headers of a response that passes unsigned; a 304 names the signed page it confirms when
        the request named one (`signed_copy`); else the copy it confirms is the application's own."""
        weak: Optional[bool] = None  # the ETag as the application gave it
        if status == 304 and signed_copy:
            # Signing changes the body of the page these headers are for: they confirm the signed copy.
            private = cache_control.judge(headers, visitor, 0, 0)[0]
            if (self.settings.private == "inline") if private else self.form != "header":
                weak = self.form == "inline" or private
        return self._headers(headers, weak, signed=False)

    def _headers(self, headers: Headers, weak: Optional[bool], signed: bool) -> Headers:
        """The application's headers as sent: the stream mark taken out, the ETag made the signed page's
        (weak or not; None: left as it is), and for a signed page its length taken out (it changes)
        and caches asked not to transform it."""
        out: Headers = []
        transform = False
        for key, value in headers:
            low = key.lower()
            if low == STREAM_HEADER or (signed and low == "content-length"):
                continue
            if low == "etag" and weak is not None:
                tagged = self._etag(value, weak)
                if tagged is None:
                    continue  # no entity tag: nothing to derive the signed page's from
                value = tagged
            elif signed and low == "cache-control":
                # Asks caches and proxies on the way not to minify or recode: the signature covers the bytes.
                value, transform = f"{value}, no-transform" if value.strip() else "no-transform", True
            out.append((key, value))
        if signed and not transform:
            out.append(("Cache-Control", "no-transform"))
        return out

    def _etag(self, value: str, weak: bool) -> Optional[str]:
        """The signed page's ETag, from the application's: weak for the inline form, whose
        signature (and so its bytes) differs each time the page is signed again."""
        was_weak = value.startswith("W/")
        opaque = value[2:] if was_weak else value
        if len(opaque) < 2 or opaque[0] != '"' or opaque[-1] != '"':
            return None
        return f'{"W/" if was_weak or weak else ""}{opaque[:-1]}{self.tag}"'

    def failed(self, path: str, exc: BaseException) -> bool:
        """Log a page that could not be signed; whether it is refused (fail_closed) rather than sent."""
        closed = self.settings.fail_closed
        what = f"answered {FAILED_STATUS} (fail_closed)" if closed else "served unsigned"
        if isinstance(exc, NotSigned):
            closed = closed and exc.retry_after is not None
            held = self._throttle.allow(exc.reason)
            if held is not None:
                more = f" ({held} more since the last such line)" if held else ""
                as_is = exc.retry_after is None  # the page itself: not a limit, and no fault
                logger.warning("%s: not signed, %s: %s%s", escape(path), "sent as it is" if as_is else what,
                               exc.reason, more)
            return closed
        expected = isinstance(exc, (SigningError, ValueError, OSError))
        logger.error("%s: signing failed, %s: %s", escape(path), what, escape(str(exc)),
                     exc_info=None if expected else exc)
        detail = getattr(exc, "detail", None)
        if detail:
            logger.debug("%s: %s", escape(path), escape(str(detail)))
        return closed

    # -- signing ----------------------------------------------------------------------------

    def name_of(self, page: Page, digest: Optional[bytes] = None) -> str:
        """The store's name: what was signed (the configuration, the page's key where the
        definition depends on its URL, the page's bytes). Two bodies never share a name."""
        named = hashlib.sha256(self._fingerprint)
        named.update(json.dumps([page.base, page.key if self._by_url else ""]).encode("ascii") + b"\n")
        named.update(digest or hashlib.sha256(page.body).digest())
        return named.hexdigest()

    def cached(self, page: Page) -> Optional[Answer]:
        return None if page.private else self._cached(page, self.name_of(page))

    def answer(self, page: Page) -> Answer:
        """The page as it is to be sent: from the cache, else signed (once, however many ask).

        Raises NotSigned when a limit leaves it unsigned, and the signer's errors."""
        if page.private:
            return self._sign_private(page)
        # The page is hashed once: its digest names it, and binds it when signed with SHA-256.
        digest = hashlib.sha256(page.body).digest()
        name = self.name_of(page, digest)
        found = self._cached(page, name)
        if found is not None:
            return found
        self._unfit(page, self.form)  # before any wait: no lock is taken for a page this form cannot sign
        with self._lock:
            flight = self._flights.get(name)
            leader = flight is None
            if flight is None:
                flight = self._flights[name] = concurrent.futures.Future()
        if not leader:
            return flight.result()
        try:
            lock = self._signing_lock
            with lock(name) if lock is not None else contextlib.nullcontext():
                found = self._cached(page, name) or self._sign(page, name, digest)
        except BaseException as exc:
            flight.set_exception(exc)
            raise
        finally:
            with self._lock:
                del self._flights[name]
        flight.set_result(found)
        return found

    def _href(self, base: str, name: str) -> str:
        return f"{base}{self.settings.prefix}{name}{STORE_SUFFIX}"

    def _cached(self, page: Page, name: str) -> Optional[Answer]:
        if self.form == "header":
            held = self.cache.hold(_STORE_KEY + name, page.keep)
            return Answer(page.body, self._href(page.base, name)) if held else None
        signed = self.cache.get(_PAGE_KEY + name)
        # A page that links to its store is only as good as the store it names.
        if signed is None or (self.form == "link" and not self.cache.hold(_STORE_KEY + name, page.keep)):
            return None
        return Answer(signed, changed=True, weak=self.form == "inline")

    def _keep(self, key: str, value: bytes, keep: float) -> None:
        try:
            self.cache.set(key, value, keep)
        except CacheFull:
            raise self._full() from None

    def _full(self) -> NotSigned:
        return NotSigned(
            f"the cache is full of stores that pages still name (max_entries {self.cache.max_entries}, "
            f"max_bytes {self.cache.max_bytes}); each stays store_floor ({self.settings.store_floor:g} s) or the "
            "page's own max-age after the last page that named it", retry_after=60)

    def _admit(self, room: int) -> None:
        """Raise NotSigned when there is no room for a new store, or no budget for a new signature."""
        if room and not self.cache.room(room):
            raise self._full()
        if self._budget is not None and not self._budget.take():
            raise NotSigned(f"over the signing budget of {self._budget.rate:g} new signatures per second "
                            "(signatures_per_second)", retry_after=1)

    def _room_for_store(self) -> int:
        """What a new store needs: the last one's size; before any, what the signer reserves for its
        signature and chain, and some claim. A guess far above it leaves a small cache never signing."""
        if self._store_size is None:
            try:
                self._store_size = int(self.signer().reserve_size()) + 2048
            except Exception:  # noqa: BLE001 - an unknown reserve only costs a guess
                self._store_size = len(self.settings.credential.cert_chain_pem) + 4096
        return self._store_size

    def _facts(self, page: Page) -> PageFacts:
        return PageFacts(path=page.path.lstrip("/"), name=page.path.rstrip("/").rsplit("/", 1)[-1])

    def _unfit(self, page: Page, form: str) -> None:
        """Raise NotSigned, before the budget is spent, when the page cannot take this form: no head
        for the element, or (the header form) an element of its own, which a Link would contradict."""
        if form == "header":
            if brevane.locate_all(page.body):
                raise NotSigned("the page carries a manifest element of its own (header form; the link and "
                                "inline forms sign such pages anew)", retry_after=None)
            return
        try:
            brevane.embed(page.body, b"")
        except ValueError as exc:
            raise NotSigned(f"{exc} ({form} form; the header form signs such pages)", retry_after=None) from None

    def _sign_private(self, page: Page) -> Answer:
        self._unfit(page, "inline")
        self._admit(0)
        signed = sign(page.body, self._template, self.signer(), alg=self.settings.alg, facts=self._facts(page),
                      keep_parent=False)
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug("%s: a private response, signed inline and kept nowhere", escape(page.path))
        return Answer(signed.page, changed=True, weak=True)

    def _sign(self, page: Page, name: str, digest: bytes) -> Answer:
        room = 0 if self.form == "inline" else self._room_for_store()  # an inline page carries its store
        self._admit(room + (len(page.body) if self.form == "link" else 0))
        started = time.perf_counter()
        alg = self.settings.alg
        if self.form == "header":
            store = sign_detached(page.body, self._template, self.signer(), alg=alg, facts=self._facts(page),
                                  digest=digest if alg == "sha256" else None)
            self._store_size = len(store)
            self._keep(_STORE_KEY + name, store, page.keep)
            answer = Answer(page.body, self._href(page.base, name))
        else:
            href = self._href(page.base, name) if self.form == "link" else None
            # The application's page is the source: an element it carries is replaced, not kept as a parent.
            signed = sign(page.body, self._template, self.signer(), alg=alg, href=href, facts=self._facts(page),
                          keep_parent=False)
            if href is not None:
                self._store_size = len(signed.store)
                self._keep(_STORE_KEY + name, signed.store, page.keep)  # first: a cached page's store is there
            with contextlib.suppress(NotSigned):  # the page is signed: a full cache only costs signing it again
                self._keep(_PAGE_KEY + name, signed.page, 0.0)
            answer = Answer(signed.page, changed=True, weak=self.form == "inline")
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug("%s: signed, %s form, %.1f ms", escape(page.path), self.form,
                         (time.perf_counter() - started) * 1000)
        return answer
