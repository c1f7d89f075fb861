"""A Starlette site whose pages are signed as they are served, by brevane's ASGI middleware.

FOR TRYING OUT, with a throwaway certificate chain. From the checkout's root:

    python examples/make_test_certs.py /tmp/c2pa
    export BREVANE_MANIFEST=examples/manifest.json BREVANE_CERT=/tmp/c2pa/chain.pem BREVANE_KEY=/tmp/c2pa/signer.key
    uvicorn examples.asgi_app:app
    brevane check --trust-anchors /tmp/c2pa/root.pem http://127.0.0.1:8000/news/1

Pages leave unchanged with a Link header to their Manifest Store; BREVANE_FORM=link
or inline puts the manifest into the page instead. /account is private
(Cache-Control: private): it passes unsigned, and nothing of it is kept. With several worker processes
(uvicorn --workers 4), BREVANE_CACHE_DIR names a directory they share, so that
each store is found by whichever worker is asked for it. See docs/dynamic.md.
"""

from __future__ import annotations

import hashlib
import html
from collections.abc import AsyncIterator

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from brevane_tools.asgi import DynamicSigning, SigningMiddleware

STORIES = {n: (f"Harbour report {n}", f"Tide tables and ferry times, edition {n}.") for n in range(1, 51)}


def page(title: str, body: str) -> str:
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f"</head>\n<body><h1>{html.escape(title)}</h1>\n{body}\n</body></html>\n"
    )


def conditional(request: Request, text: str) -> Response:
    """The page with an ETag, or a 304 when the client has it: the middleware derives a changed page's ETag from it."""
    body = text.encode("utf-8")
    etag = f'"{hashlib.sha256(body).hexdigest()[:32]}"'
    known = [tag.strip().removeprefix("W/") for tag in request.headers.get("if-none-match", "").split(",")]
    if etag in known:
        return Response(status_code=304, headers={"ETag": etag})
    return HTMLResponse(body, headers={"ETag": etag})


async def index(request: Request) -> Response:
    items = "".join(f'<li><a href="/news/{n}">{html.escape(title)}</a></li>' for n, (title, _) in STORIES.items())
    return conditional(request, page("Harbour news", f"<ul>{items}</ul>"))


async def story(request: Request) -> Response:
    number = request.path_params["number"]
    if number not in STORIES:
        return HTMLResponse(page("Not found", "<p>No such story.</p>"), status_code=404)
    title, text = STORIES[number]
    return conditional(request, page(title, f"<p>{html.escape(text)}</p>"))


async def live(request: Request) -> Response:
    """A page sent while it is made: marked, so that the middleware sends it on at once, unsigned."""

    async def parts() -> AsyncIterator[str]:
        start, end = page("Live departures", "<ol>{}</ol>").split("{}")
        yield start
        for gate in range(1, 4):
            yield f"<li>Gate {gate}: on time</li>"
        yield end

    return StreamingResponse(parts(), media_type="text/html", headers={"X-Brevane-Stream": "1"})


async def account(request: Request) -> Response:
    """One visitor's page: private, so the middleware neither keeps nor publishes it (see docs/dynamic.md)."""
    return HTMLResponse(page("Your account", "<p>Balance: 42 doubloons.</p>"),
                        headers={"Cache-Control": "private, no-store"})


async def feed(request: Request) -> Response:
    return JSONResponse({"stories": [f"/news/{n}" for n in STORIES]})


site = Starlette(routes=[
    Route("/", index),
    Route("/news/{number:int}", story),
    Route("/live", live),
    Route("/account", account),
    Route("/feed.json", feed),
])

app = SigningMiddleware(site, DynamicSigning.from_environment())
