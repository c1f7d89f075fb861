"""ASGI middleware that signs the HTML pages an application serves (Starlette, FastAPI, Django, any ASGI 3 app).

    app = SigningMiddleware(app, DynamicSigning.from_environment())

Which responses are signed, and how, is `brevane_tools.integrations.dynamic`'s
rule. Here: body messages of a page are held until the last one (to
`max_bytes`); anything that passes goes on message by message as the
application sends it (trailers, `pathsend` and the like included). Signing,
and any cache but an in-process one, runs in the middleware's own thread
pool, so the event loop never waits on a signature or a cache server; an
in-process lookup of a small page is quicker done on the loop. A HEAD is
answered with the headers the GET gets: an application that leaves the body
out of a HEAD is asked again as for a GET. The key hook runs on the loop,
before the application (it must be quick); a request's `Authorization` or
`Cookie` header may make its response private (see `cache_control`). Needs an
asyncio event loop (uvicorn, hypercorn's asyncio worker, daphne, granian).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import urllib.parse
from collections.abc import Awaitable, MutableMapping
from typing import Any, Callable, Optional, TypeVar, Union

from brevane_tools.integrations import cache_control
from brevane_tools.integrations.dynamic import STREAM_HEADER, Answer, Headers, Page, PageSigner
from brevane_tools.integrations.settings import DynamicSigning

__all__ = ["SigningMiddleware"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
Application = Callable[[Scope, Receive, Send], Awaitable[None]]
T = TypeVar("T")

_VISITOR = frozenset(name.encode("ascii") for name in cache_control.VISITOR_HEADERS)
#: Pages up to this size are looked up in a MemoryCache on the event loop: hashing
#: them takes less than handing them to a thread and back.
LOOP_BYTES = 64 * 1024


def _decoded(raw: Any) -> Headers:
    return [(bytes(k).decode("latin-1"), bytes(v).decode("latin-1")) for k, v in raw]


def _encoded(headers: Headers) -> list[tuple[bytes, bytes]]:
    return [(k.lower().encode("latin-1"), v.encode("latin-1")) for k, v in headers]


async def _respond(send: Send, status: int, headers: Headers, body: bytes) -> None:
    await send({"type": "http.response.start", "status": status, "headers": _encoded(headers)})
    await send({"type": "http.response.body", "body": body})


class _Held:
    """One call of the application: its response held back while it may be a page to sign."""

    def __init__(
        self, signing: PageSigner, send: Send, path: str, head: bool, visitor: frozenset[str], signed_copy: bool
    ) -> None:
        self.signing, self._send, self.path, self.head, self.visitor = signing, send, path, head, visitor
        self.signed_copy = signed_copy  # the request's If-None-Match named a signed page's tag
        self.start: Optional[Message] = None
        self.chunks: list[bytes] = []
        self.size = 0
        self.passing = False
        self.complete = False

    @property
    def code(self) -> int:
        return int(self.start["status"]) if self.start is not None else 0

    @property
    def headers(self) -> Headers:
        return _decoded(self.start["headers"]) if self.start is not None else []

    async def send(self, message: Message) -> None:
        if self.passing:
            await self._forward(message)
            return
        kind = message["type"]
        if kind == "http.response.start":
            self.start = message
            if message.get("trailers") or not self.signing.signable(self.code, self.headers, self.path):
                await self.give_up()
        elif kind == "http.response.body":
            body = bytes(message.get("body", b""))
            self.chunks.append(body)
            self.size += len(body)
            more = bool(message.get("more_body", False))
            if self.size > self.signing.settings.max_bytes:
                self.signing.too_large(self.path)
                await self.give_up(more)
            elif not more:
                self.complete = True
        else:
            await self.give_up(more=True)
            await self._forward(message)

    async def give_up(self, more: bool = False) -> None:
        """Send on what was held, as it came, and from now on whatever follows."""
        self.passing = True
        if self.start is None:
            return
        start = self.start
        if self.code == 304 or any(bytes(k).lower() == STREAM_HEADER.encode() for k, _ in start["headers"]):
            start = dict(start, headers=_encoded(self.signing.passed_headers(self.code, self.headers, self.visitor,
                                                                                   self.signed_copy)))
        await self._send(start)
        if self.chunks:
            await self._forward({"type": "http.response.body", "body": b"".join(self.chunks), "more_body": more})

    async def _forward(self, message: Message) -> None:
        if self.head and message["type"] == "http.response.body" and message.get("body"):
            message = dict(message, body=b"")  # a HEAD asked as a GET gets no body
        await self._send(message)


class SigningMiddleware:
    """Signs the application's pages; serves their stores under the settings' prefix."""

    def __init__(self, app: Application, settings: DynamicSigning) -> None:
        self.app = app
        self.signing = PageSigner(settings)
        self._pool = concurrent.futures.ThreadPoolExecutor(settings.threads, thread_name_prefix="brevane-signing")

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["method"] not in ("GET", "HEAD"):
            await self.app(scope, receive, send)
            return
        signing = self.signing
        head = scope["method"] == "HEAD"
        base = scope.get("root_path", "")
        path = scope["path"][len(base):] if base and scope["path"].startswith(base) else scope["path"]
        name = signing.store_name(path)
        if name is not None:
            status, headers, body = (
                signing.store_response(name) if signing.in_memory else await self._thread(signing.store_response, name)
            )
            await _respond(send, status, headers, b"" if head else body)
            return
        key = signing.key_of(path, bytes(scope.get("query_string", b"")).decode("latin-1"))
        if key is None:
            await self.app(scope, receive, send)
            return
        signed_copy = False
        if any(k == b"if-none-match" for k, _ in scope["headers"]):
            headers = []
            for k, v in scope["headers"]:
                if k == b"if-none-match":
                    tags, named = signing.if_none_match(v.decode("latin-1"))
                    v, signed_copy = tags.encode("latin-1"), signed_copy or named
                headers.append((k, v))
            scope = dict(scope, headers=headers)
        visitor = frozenset(k.decode("latin-1") for k, v in scope["headers"] if v and k in _VISITOR)
        held = await self._run(scope, receive, _Held(signing, send, path, head, visitor, signed_copy))
        if held is not None and head and held.size == 0:
            held = await self._run(dict(scope, method="GET"), _without_body(receive),
                                   _Held(signing, send, path, head, visitor, signed_copy))
        if held is None or held.start is None:
            return
        body = b"".join(held.chunks)
        page = signing.page(body, path, urllib.parse.quote(base), key, held.headers, visitor)
        answer: Union[Answer, Exception, None]
        try:
            answer = None if signing.passes_private(page) else await self._answer(page)
        except Exception as exc:  # noqa: BLE001 - said, and answered, by `reply`
            answer = exc
        code, headers, out = signing.reply(page, held.code, held.headers, answer)
        await _respond(send, code or held.code, headers, b"" if head else out)

    async def _run(self, scope: Scope, receive: Receive, held: _Held) -> Optional[_Held]:
        """Call the application; the held response when it is a whole page to sign, else None (it went on)."""
        await self.app(scope, receive, held.send)
        if not held.passing and not held.complete:
            await held.give_up()  # the application returned before the end of its body
        return held if held.complete and not held.passing else None

    async def _answer(self, page: Page) -> Answer:
        if self.signing.in_memory and len(page.body) <= LOOP_BYTES:
            found = self.signing.cached(page)
            if found is not None:
                return found
        return await self._thread(self.signing.answer, page)

    async def _thread(self, function: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self._pool, function, *args)


def _without_body(receive: Receive) -> Receive:
    """The request as a GET: no body, then whatever the client does (a disconnect)."""
    given = False

    async def receive_once() -> Message:
        nonlocal given
        if given:
            return await receive()
        given = True
        return {"type": "http.request", "body": b"", "more_body": False}

    return receive_once
