"""WSGI middleware that signs the HTML pages an application serves (Flask, Django, any WSGI app).

    app.wsgi_app = SigningMiddleware(app.wsgi_app, DynamicSigning.from_environment())

Which responses are signed, and how, is `brevane_tools.integrations.dynamic`'s
rule. Here: a response the application starts lazily (a generator) is stepped
until it starts; a page is read whole (to `max_bytes`), while anything that
passes is handed on as the application made it (a file wrapper stays one). A
HEAD is answered with the headers the GET gets: an application that leaves the
body out of a HEAD (Werkzeug does) is asked again as for a GET. What the rules
need of the request is read here: the path and query string (the key hook, which
may leave the request alone before the application runs) and whether it carries
`Authorization` or `Cookie` (a response to it may be private). Nothing here blocks a gevent
or eventlet worker's thread: the caches' locks are waited for by sleeping.
"""

from __future__ import annotations

import http
import urllib.parse
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Optional, Union

from brevane_tools.integrations import cache_control
from brevane_tools.integrations.dynamic import Answer, Headers, PageSigner
from brevane_tools.integrations.settings import DynamicSigning

__all__ = ["SigningMiddleware"]

Environ = dict[str, Any]
StartResponse = Callable[..., Callable[[bytes], object]]
Application = Callable[[Environ, StartResponse], Iterable[bytes]]


def _status(code: int) -> str:
    return f"{code} {http.HTTPStatus(code).phrase}"


class _Call:
    """One call of the application, its response held back until it is known what to do with it."""

    def __init__(self, app: Application, environ: Environ) -> None:
        self.status = ""
        self.headers: Headers = []
        self.exc_info: Any = None
        self.chunks: list[bytes] = []  # written or read, not sent yet
        self._iterator: Optional[Iterator[bytes]] = None
        self.iterable = app(environ, self._start_response)
        try:
            while not self.status:  # a generator starts its response on its first step
                chunk = next(self.iterator, None)
                if chunk is None:
                    break
                self.chunks.append(chunk)
        except BaseException:
            self.close()
            raise

    def _start_response(self, status: str, headers: Headers, exc_info: Any = None) -> Callable[[bytes], object]:
        self.status, self.headers, self.exc_info = status, list(headers), exc_info
        return self.chunks.append

    @property
    def iterator(self) -> Iterator[bytes]:
        if self._iterator is None:
            self._iterator = iter(self.iterable)
        return self._iterator

    @property
    def code(self) -> int:
        head = self.status.split(None, 1)
        return int(head[0]) if head and head[0].isdigit() else 0

    def read(self, limit: int) -> Optional[bytes]:
        """The whole body; None once it grows past `limit` (what was read then stays to be sent)."""
        size = sum(map(len, self.chunks))
        try:
            for chunk in self.iterator:
                self.chunks.append(chunk)
                size += len(chunk)
                if size > limit:
                    return None
        except BaseException:
            self.close()  # the server never sees this iterable: closing it (its clean-up) is ours
            raise
        self.close()
        return b"".join(self.chunks)

    def close(self) -> None:
        close = getattr(self.iterable, "close", None)
        if close is not None:
            close()

    def rest(self) -> Iterable[bytes]:
        """What is left to send: the application's own iterable when nothing of it was read."""
        return self.iterable if self._iterator is None and not self.chunks else _Rest(self)


class _Rest:
    """A body partly read already: what was read, then the rest, closed as the application's."""

    def __init__(self, call: _Call) -> None:
        self._call = call

    def __iter__(self) -> Iterator[bytes]:
        yield from self._call.chunks
        yield from self._call.iterator

    def close(self) -> None:
        self._call.close()


class SigningMiddleware:
    """Signs the application's pages; serves their stores under the settings' prefix."""

    def __init__(self, app: Application, settings: DynamicSigning) -> None:
        self.app = app
        self.signing = PageSigner(settings)

    def __call__(self, environ: Environ, start_response: StartResponse) -> Iterable[bytes]:
        signing = self.signing
        method = environ.get("REQUEST_METHOD", "GET")
        if method not in ("GET", "HEAD"):
            return self.app(environ, start_response)
        # WSGI gives the path's bytes as Latin-1 text; the definition's {path} wants the text.
        path = (environ.get("PATH_INFO") or "/").encode("latin-1").decode("utf-8", "replace")
        name = signing.store_name(path)
        if name is not None:
            code, headers, store = signing.store_response(name)
            start_response(_status(code), headers)
            return [] if method == "HEAD" else [store]
        key = signing.key_of(path, environ.get("QUERY_STRING", ""))
        if key is None:
            return self.app(environ, start_response)
        signed_copy = False
        if "HTTP_IF_NONE_MATCH" in environ:
            tags, signed_copy = signing.if_none_match(environ["HTTP_IF_NONE_MATCH"])
            environ = dict(environ, HTTP_IF_NONE_MATCH=tags)
        visitor = frozenset(name for name in cache_control.VISITOR_HEADERS if environ.get("HTTP_" + name.upper()))
        call = _Call(self.app, environ)
        body = self._page(call, path)
        if body == b"" and method == "HEAD":
            call = _Call(self.app, dict(environ, REQUEST_METHOD="GET"))
            body = self._page(call, path)
        if body is None:
            start_response(call.status, signing.passed_headers(call.code, call.headers, visitor, signed_copy),
                           call.exc_info)
            if method == "HEAD":
                call.close()
                return []
            return call.rest()
        base = urllib.parse.quote(environ.get("SCRIPT_NAME", "").encode("latin-1"))
        page = signing.page(body, path, base, key, call.headers, visitor)
        answer: Union[Answer, Exception, None]
        try:
            answer = None if signing.passes_private(page) else signing.answer(page)
        except Exception as exc:  # noqa: BLE001 - said, and answered, by `reply`
            answer = exc
        status, headers, out = signing.reply(page, call.code, call.headers, answer)
        start_response(call.status if status is None else _status(status), headers)
        return [] if method == "HEAD" else [out]

    def _page(self, call: _Call, path: str) -> Optional[bytes]:
        """The page to sign, read whole; None when the response passes as it is."""
        if call.exc_info is not None or not self.signing.signable(call.code, call.headers, path):
            return None
        page = call.read(self.signing.settings.max_bytes)
        if page is None:
            self.signing.too_large(path)
        return page
