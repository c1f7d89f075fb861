"""A site for the signing middleware's tests, run by gunicorn as `signed_site:make_app()`.

Its pages reflect their query (`/search?q=...`: a new page per query), `/account`
is private, and its signer takes SIGNER_DELAY seconds per signature, slept with
`time.sleep`, which gevent turns into a switch to another greenlet; with
SIGNER_COMMAND=1, a `SigningCommand` sleeps in `sh` and signs with OpenSSL's
tool, waited for through `subprocess`. The settings come from the environment
as `DynamicSigning.from_environment` reads them, plus CACHE_ENTRIES (the
DirectoryCache's max_entries).
"""

from __future__ import annotations

import html
import os
import time
import urllib.parse
from collections.abc import Iterable
from typing import Any, Callable

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from brevane_tools.signing import SigningCallback, SigningCommand
from brevane_tools.wsgi import DirectoryCache, DynamicSigning, SigningMiddleware


def body_of(path: str, query: str) -> bytes:
    """The page at `path`: its title names it, its body shows the search terms."""
    terms = urllib.parse.parse_qs(query).get("q", [""])[0]
    return (f"<!DOCTYPE html><html><head><title>Page {html.escape(path)}</title></head>"
            f"<body><p>{html.escape(terms)}</p></body></html>").encode()


def site(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
    path = environ["PATH_INFO"]
    headers = [("Content-Type", "text/html; charset=utf-8")]
    if path == "/account":
        headers.append(("Cache-Control", "private, no-store"))
    start_response("200 OK", headers)
    return [body_of(path, environ.get("QUERY_STRING", ""))]


def make_app() -> Any:
    key: Any = serialization.load_pem_private_key(open(os.environ["BREVANE_KEY"], "rb").read(), None)
    delay = float(os.environ.get("SIGNER_DELAY", "0"))

    def slow(data: bytes) -> bytes:
        time.sleep(delay)
        return bytes(key.sign(data, ec.ECDSA(hashes.SHA256())))

    chain = open(os.environ["BREVANE_CERT"], "rb").read()
    command = ("sh", "-c", f'sleep {delay}; exec openssl dgst -sha256 -sign "$0"', os.environ["BREVANE_KEY"])
    credential = SigningCommand(chain, command) if os.environ.get("SIGNER_COMMAND") else SigningCallback(chain, slow)
    cache = DirectoryCache(os.environ["BREVANE_CACHE_DIR"], max_entries=int(os.environ["CACHE_ENTRIES"]))
    settings = DynamicSigning.from_environment(credential=credential, cache=cache, signatures_per_second=None)
    return SigningMiddleware(site, settings)
