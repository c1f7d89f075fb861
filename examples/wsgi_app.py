"""A Flask site whose pages are signed as they are served, by brevane's WSGI middleware.

FOR TRYING OUT, with a throwaway certificate chain. From the checkout's root:

    python examples/make_test_certs.py /tmp/c2pa
    export BREVANE_MANIFEST=examples/manifest.json BREVANE_CERT=/tmp/c2pa/chain.pem BREVANE_KEY=/tmp/c2pa/signer.key
    gunicorn examples.wsgi_app:app
    brevane check --trust-anchors /tmp/c2pa/root.pem http://127.0.0.1:8000/news/1

Pages leave unchanged with a Link header to their Manifest Store; BREVANE_FORM=link
or inline puts the manifest into the page instead. /account is private
(Cache-Control: private): it passes unsigned, and nothing of it is kept. With several worker processes
(gunicorn -w 4), BREVANE_CACHE_DIR names a directory they share, so that each
store is found by whichever worker is asked for it. See docs/dynamic.md.
"""

from __future__ import annotations

import html
from collections.abc import Iterator

from flask import Flask, Response, abort, request

from brevane_tools.wsgi import DynamicSigning, SigningMiddleware

STORIES = {n: (f"Harbour report {n}", f"Tide tables and ferry times, edition {n}.") for n in range(1, 51)}


def page(title: str, body: str) -> str:
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f"</head>\n<body><h1>{html.escape(title)}</h1>\n{body}\n</body></html>\n"
    )


site = Flask(__name__)


@site.get("/")
def index() -> str:
    items = "".join(f'<li><a href="/news/{n}">{html.escape(title)}</a></li>' for n, (title, _) in STORIES.items())
    return page("Harbour news", f"<ul>{items}</ul>")


@site.get("/news/<int:number>")
def story(number: int) -> str:
    if number not in STORIES:
        abort(404)
    title, text = STORIES[number]
    return page(title, f"<p>{html.escape(text)}</p>")


@site.get("/live")
def live() -> Response:
    """A page sent while it is made: marked, so that the middleware sends it on at once, unsigned."""

    def parts() -> Iterator[str]:
        start, end = page("Live departures", "<ol>{}</ol>").split("{}")
        yield start
        for gate in range(1, 4):
            yield f"<li>Gate {gate}: on time</li>"
        yield end

    return Response(parts(), mimetype="text/html", headers={"X-Brevane-Stream": "1"})


@site.get("/account")
def account() -> Response:
    """One visitor's page: private, so the middleware neither keeps nor publishes it (see docs/dynamic.md)."""
    return Response(page("Your account", "<p>Balance: 42 doubloons.</p>"), mimetype="text/html",
                    headers={"Cache-Control": "private, no-store"})


@site.get("/feed.json")
def feed() -> dict[str, list[str]]:
    return {"stories": [f"/news/{n}" for n in STORIES]}


@site.after_request
def conditional(response: Response) -> Response:
    # Validators and 304s: the middleware derives a changed page's ETag from the application's.
    if not response.is_streamed:
        response.add_etag()
        response.make_conditional(request)
    return response


app = SigningMiddleware(site, DynamicSigning.from_environment())
