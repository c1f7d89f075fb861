"""Pages signed as they are served: the WSGI and ASGI middleware behind real servers on loopback."""

from __future__ import annotations

import contextlib
import gzip
import importlib
import json
import logging
import os
import random
import re
import shutil
import socket
import socketserver
import subprocess
import sys
import threading
import time
import unicodedata
import urllib.error
import urllib.parse
import urllib.request
import wsgiref.simple_server
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Optional

import pytest

import needs_sdk  # noqa: F401  (first: skips the module where the SDK cannot run)
from needs_sdk import ROOT

import uvicorn  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from starlette.middleware.gzip import GZipMiddleware  # noqa: E402

from brevane_tools import asgi, cli, wsgi  # noqa: E402
from brevane_tools.errors import UsageError  # noqa: E402
from brevane_tools.integrations.caches import CacheFull  # noqa: E402
from brevane_tools.signing import SigningCallback, SigningKey  # noqa: E402
from brevane_tools.text import escape  # noqa: E402

from make_test_certs import make_test_chain  # noqa: E402

FORMS = ("header", "link", "inline")
SERVERS = {
    "gunicorn": ["gunicorn", "--no-control-socket", "-w", "2", "--threads", "4", "-b", "127.0.0.1:{port}",
                 "examples.wsgi_app:app"],
    "uvicorn": ["uvicorn", "--host", "127.0.0.1", "--port", "{port}", "examples.asgi_app:app"],
}
Response = tuple[int, dict[str, str], bytes]


def fetch(url: str, method: str = "GET", **headers: str) -> Response:
    request = urllib.request.Request(url, method=method, headers={k.replace("_", "-"): v for k, v in headers.items()})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, {k.lower(): v for k, v in answer.headers.items()}, answer.read()
    except urllib.error.HTTPError as failed:
        return failed.code, {k.lower(): v for k, v in failed.headers.items()}, failed.read()


@pytest.fixture(scope="module")
def certs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    where = tmp_path_factory.mktemp("certs")
    chain = make_test_chain()
    for name, pem in (("root.pem", chain.root_pem), ("chain.pem", chain.chain_pem), ("signer.key", chain.key_pem)):
        (where / name).write_bytes(pem)
    return where


def settings_env(certs: Path) -> dict[str, str]:
    return {"BREVANE_MANIFEST": str(ROOT / "examples" / "manifest.json"), "BREVANE_CERT": str(certs / "chain.pem"),
            "BREVANE_KEY": str(certs / "signer.key")}


@pytest.fixture(scope="module", params=[(s, f) for s in SERVERS for f in FORMS], ids="-".join)
def example(
    request: pytest.FixtureRequest, certs: Path, tmp_path_factory: pytest.TempPathFactory
) -> Iterator[tuple[str, str]]:
    """An example site run as its docstring says, by its server; gunicorn's two workers share a cache."""
    server, form = request.param
    where = tmp_path_factory.mktemp(server)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = {**os.environ, **settings_env(certs), "BREVANE_FORM": form}
    if server == "gunicorn":
        env["BREVANE_CACHE_DIR"] = str(where / "cache")
    argv = [sys.executable, "-m", *(a.format(port=port) for a in SERVERS[server])]
    with open(where / "log", "wb") as log:
        process = subprocess.Popen(argv, cwd=ROOT, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 60
        while True:
            assert process.poll() is None and time.monotonic() < deadline, (where / "log").read_text()
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
                break
            time.sleep(0.1)
        yield form, f"http://127.0.0.1:{port}"
    finally:
        process.terminate()
        process.wait(30)


def test_every_form_is_trusted_where_it_is_served(
    example: tuple[str, str], certs: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    form, base = example
    code = cli.main(["check", "--json", "--trust-anchors", str(certs / "root.pem"), base + "/news/7"])
    (result,) = json.loads(capsys.readouterr().out)["files"]
    assert (code, result["state"], result["source"], result["warnings"]) == (0, "Trusted", form, [])
    if form == "inline":  # the SDK cannot place an inline store in HTML: brevane answers that
        assert [w["code"] for w in result["waived"]] == ["assertion.dataHash.mismatch"]
    else:
        assert (result["sdk_state"], result["waived"]) == ("Trusted", [])
        status, headers, _ = fetch(result["store_location"])
        assert (status, headers["cache-control"]) == (200, "public, max-age=31536000, immutable")


def test_head_and_304_agree_with_the_signed_page(example: tuple[str, str]) -> None:
    form, base = example
    _, got, page = fetch(base + "/news/5")
    _, head, nothing = fetch(base + "/news/5", "HEAD")
    shown = ("content-length", "etag", "link", "content-type")
    assert nothing == b"" and {k: head.get(k) for k in shown} == {k: got.get(k) for k in shown}
    assert (int(got["content-length"]), "link" in got) == (len(page), form == "header")
    status, again, body = fetch(base + "/news/5", If_None_Match=got["etag"])
    assert (status, again["etag"], body) == (304, got["etag"], b"")
    # A copy sent unsigned (over a limit) bears the application's own tag: a 304 confirms it as it is.
    own = re.sub(r'^W/|-c2pa-[0-9a-f]{12}(?=")', "", got["etag"])
    status, again, _ = fetch(base + "/news/5", If_None_Match=own)
    assert (status, again["etag"]) == (304, own)
    # The inline form's bytes differ each time a page is signed again: its validator is weak.
    assert got["etag"].startswith("W/") == (form == "inline")


def test_the_examples_private_page_passes_unsigned(example: tuple[str, str]) -> None:
    status, headers, body = fetch(example[1] + "/account")
    assert (status, headers["cache-control"], "link" in headers, b"application/c2pa" in body) == (
        200, "private, no-store", False, False)


class _Threading(socketserver.ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True


class _Quiet(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, *_: Any) -> None:
        pass


@contextlib.contextmanager
def serving(kind: str, app: Any) -> Iterator[str]:
    """The middleware in this process, behind wsgiref's threaded server or uvicorn."""
    if kind == "wsgi":
        httpd = wsgiref.simple_server.make_server("127.0.0.1", 0, app, _Threading, _Quiet)
        threading.Thread(target=httpd.serve_forever, args=(0.05,), daemon=True).start()
        yield f"http://127.0.0.1:{httpd.server_port}"
        httpd.shutdown()
        httpd.server_close()
        return
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.01)
    yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    server.should_exit = True
    thread.join(10)


class Signer:
    """A key held by the test: each signature counted; failing while `down`."""

    def __init__(self, certs: Path) -> None:
        self.chain = (certs / "chain.pem").read_bytes()
        self.key: Any = serialization.load_pem_private_key((certs / "signer.key").read_bytes(), None)
        self.count = 0
        self.down = False
        self.lock = threading.Lock()

    def __call__(self, data: bytes) -> bytes:
        if self.down:
            raise RuntimeError("the signing service is down")
        with self.lock:
            self.count += 1
        return bytes(self.key.sign(data, ec.ECDSA(hashes.SHA256())))


@pytest.fixture(scope="module")
def sites(certs: Path) -> dict[str, Any]:
    """The example sites before signing (importing them reads the settings from the environment)."""
    with pytest.MonkeyPatch.context() as patch:
        for name, value in settings_env(certs).items():
            patch.setenv(name, value)
        return {"wsgi": importlib.import_module("wsgi_app").site, "asgi": importlib.import_module("asgi_app").site}


def logged(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [record.getMessage() for record in caplog.records if record.name == "brevane"]


def signing(kind: str, app: Any, signer: Signer, **settings: Any) -> Any:
    manifest = (ROOT / "examples" / "manifest.json").read_text()
    middleware = wsgi.SigningMiddleware if kind == "wsgi" else asgi.SigningMiddleware
    return middleware(app, wsgi.DynamicSigning(manifest, SigningCallback(signer.chain, signer), **settings))


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_concurrent_clients_cost_one_signing_per_page_across_processes(
    kind: str, sites: dict[str, Any], certs: Path, tmp_path: Path
) -> None:
    signer = Signer(certs)
    cache = wsgi.DirectoryCache(tmp_path)  # two middlewares over one directory, as two processes would share it
    with serving(kind, signing(kind, sites[kind], signer, cache=cache)) as one, \
            serving(kind, signing(kind, sites[kind], signer, cache=cache)) as two:
        def client(number: int) -> list[tuple[str, str]]:
            pages = random.Random(number).sample(range(1, 21), 20)
            return [(f"/news/{n}", fetch((one, two)[(number + n) % 2] + f"/news/{n}")[1]["link"]) for n in pages]

        with ThreadPoolExecutor(50) as pool:
            seen = {answer for answers in pool.map(client, range(50)) for answer in answers}
        assert signer.count == 20 and len(seen) == 20  # each page one Link, whoever served it
        stores = [fetch(two + link.split(">")[0][1:]) for _, link in seen]
    assert {(status, headers["content-type"]) for status, headers, _ in stores} == {(200, "application/c2pa")}


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
@pytest.mark.parametrize("closed", [False, True])
def test_a_failed_signing_serves_the_page_unsigned_or_refuses_it(
    kind: str, closed: bool, sites: dict[str, Any], certs: Path, caplog: pytest.LogCaptureFixture
) -> None:
    signer = Signer(certs)
    signer.down = True
    with serving(kind, signing(kind, sites[kind], signer, fail_closed=closed)) as base:
        status, headers, body = fetch(base + "/news/3")
    outcome = "answered 503 (fail_closed)" if closed else "served unsigned"
    assert logged(caplog) == [f"/news/3: signing failed, {outcome}: the signing service is down"]
    assert (status, "link" in headers, b"<title>Harbour report 3</title>" in body) == (
        (503, False, False) if closed else (200, False, True))


def chunks_wsgi(environ: dict[str, Any], start_response: Any) -> Iterator[bytes]:
    start_response("200 OK", [("Content-Type", "text/html")])
    yield from [b"<html><head></head><body>", *[b"<p>%d</p>" % n for n in range(300)], b"</body></html>"]


async def chunks_asgi(scope: dict[str, Any], receive: Any, send: Any) -> None:
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/html")]})
    for n in range(300):
        await send({"type": "http.response.body", "body": b"<p>%d</p>" % n, "more_body": True})
    await send({"type": "http.response.body", "body": b""})


FRAGMENT = b"<li>one more row</li>"  # a piece of a page, as htmx asks for: HTML without a head
LINKED = b'<html><head><link rel="c2pa-manifest" href="/a.c2pa"></head><body></body></html>'  # signed already


def fixed_wsgi(body: bytes) -> Any:
    def app(environ: dict[str, Any], start_response: Any) -> list[bytes]:
        start_response("200 OK", [("Content-Type", "text/html")])
        return [body]

    return app


def fixed_asgi(body: bytes) -> Any:
    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/html")]})
        await send({"type": "http.response.body", "body": body})

    return app


APPS: dict[str, Any] = {
    "site": lambda sites, kind: sites[kind],
    "gzip": lambda sites, kind: GZipMiddleware(sites[kind], minimum_size=0),
    "chunks": lambda sites, kind: chunks_wsgi if kind == "wsgi" else chunks_asgi,
    "fragment": lambda sites, kind: (fixed_wsgi if kind == "wsgi" else fixed_asgi)(FRAGMENT),
    "signed already": lambda sites, kind: (fixed_wsgi if kind == "wsgi" else fixed_asgi)(LINKED),
}
HEADLESS = "/rows: not signed, sent as it is: the document has no head element to embed into ({} form; the " \
    "header form signs such pages)"
STREAM = "/live: not signed: the application marked it as a stream (x-brevane-stream)"
# case: (kind, app, path, settings, request headers, method) -> the log line (None: not a page to sign anyway)
PASSING: dict[str, tuple[str, str, str, dict[str, Any], dict[str, str], str, Optional[str]]] = {
    "marked as a stream, WSGI": ("wsgi", "site", "/live", {}, {}, "GET", STREAM),
    "marked as a stream, ASGI": ("asgi", "site", "/live", {}, {}, "GET", STREAM),
    "long by its length": ("wsgi", "site", "/", {"max_bytes": 1000}, {}, "GET",
                           "/: not signed: the page is larger than max_bytes (1000 bytes)"),
    "long once read, WSGI": ("wsgi", "chunks", "/", {"max_bytes": 1000}, {}, "GET",
                             "/: not signed: the page is larger than max_bytes (1000 bytes)"),
    "long once read, ASGI": ("asgi", "chunks", "/", {"max_bytes": 1000}, {}, "GET",
                             "/: not signed: the page is larger than max_bytes (1000 bytes)"),
    "compressed before signing": ("asgi", "gzip", "/news/2", {}, {"Accept_Encoding": "gzip"}, "GET",
                                  "/news/2: not signed: it is already compressed (Content-Encoding: gzip): "
                                  "compression runs before signing; wrap the application in the signing "
                                  "middleware first, then in compression (docs/dynamic.md, \"Order\")"),
    # Not a fault of the signer: refusing it (fail_closed) or spending the budget on it would be.
    "no head, link form": ("wsgi", "fragment", "/rows", {"form": "link", "fail_closed": True}, {}, "GET",
                           HEADLESS.format("link")),
    "no head, inline form": ("asgi", "fragment", "/rows", {"form": "inline", "signatures_per_second": 1e-9}, {},
                             "GET", HEADLESS.format("inline")),
    "signed already, header form": ("wsgi", "signed already", "/a", {"fail_closed": True}, {}, "GET",
                                    "/a: not signed, sent as it is: the page carries a manifest element of its own "
                                    "(header form; the link and inline forms sign such pages anew)"),
    "not HTML": ("wsgi", "site", "/feed.json", {}, {}, "GET", None),
    "not found": ("asgi", "site", "/news/99", {}, {}, "GET", None),
    "not a GET": ("wsgi", "site", "/news/2", {}, {}, "POST", None),
}


@pytest.mark.parametrize("case", list(PASSING))
def test_what_is_not_signed_passes_as_the_application_sent_it(
    case: str, sites: dict[str, Any], certs: Path, caplog: pytest.LogCaptureFixture
) -> None:
    kind, made, path, settings, headers, method, line = PASSING[case]
    caplog.set_level(logging.INFO, "brevane")
    app = APPS[made](sites, kind)
    with serving(kind, app) as bare, serving(kind, signing(kind, app, Signer(certs), **settings)) as signed:
        expected, got = fetch(bare + path, method, **headers), fetch(signed + path, method, **headers)
    drop = ("date", "server", "x-brevane-stream")
    assert (got[0], {k: v for k, v in got[1].items() if k not in drop}, got[2]) == (
        expected[0], {k: v for k, v in expected[1].items() if k not in drop}, expected[2])
    assert "x-brevane-stream" not in got[1] and logged(caplog) == ([line] if line else [])


# -- HTTP's caching rules, limits, files and logs --------------------------------------------------

class Clock:
    """A clock the test moves: floors and budgets are tested without sleeping."""

    def __init__(self) -> None:
        self.now = 1_800_000_000.0

    def __call__(self) -> float:
        return self.now


def page_wsgi(environ: dict[str, Any], start_response: Any) -> list[bytes]:
    """A page per path and query: `cc` gives Cache-Control lines, `cookie` a Set-Cookie, `q` the text."""
    query = urllib.parse.parse_qs(environ.get("QUERY_STRING", ""))
    start_response("200 OK", page_headers(query))
    return [page_body(environ["PATH_INFO"], query)]


async def page_asgi(scope: dict[str, Any], receive: Any, send: Any) -> None:
    query = urllib.parse.parse_qs(scope["query_string"].decode("latin-1"))
    headers = [(k.lower().encode(), v.encode()) for k, v in page_headers(query)]
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    await send({"type": "http.response.body", "body": page_body(scope["path"], query)})


def page_headers(query: dict[str, list[str]]) -> list[tuple[str, str]]:
    headers = [("Content-Type", "text/html"), ("ETag", '"v1"')]
    headers += [("Cache-Control", line) for line in query.get("cc", [])]
    headers += [("Vary", line) for line in query.get("vary", [])]
    return headers + [("Set-Cookie", "session=1") for _ in query.get("cookie", [])]


def page_body(path: str, query: dict[str, list[str]]) -> bytes:
    return f"<html><head><title>{path}</title></head><body>{query.get('q', [''])[0]}</body></html>".encode()


PAGE_APPS = {"wsgi": page_wsgi, "asgi": page_asgi}


def outcome(response: Response) -> str:
    """How a page came back: with a Link header, signed inline, unsigned, or refused."""
    status, headers, body = response
    if status != 200:
        return f"{status} Retry-After {headers.get('retry-after')}"
    return "link" if "link" in headers else "inline" if b"application/c2pa" in body else "unsigned"


def store_of(base: str, response: Response) -> int:
    """The status of the store a response's Link header names."""
    return fetch(base + response[1]["link"].split(">")[0][1:])[0]


# Cache-Control lines, other response headers, the request's visitor headers -> (private, floor with store_floor 10 s)
COOKIE, AUTHORIZED = [("Set-Cookie", "a=1")], ("authorization",)
CACHE_CONTROL: dict[str, tuple[list[str], list[tuple[str, str]], tuple[str, ...], tuple[bool, float]]] = {
    "nothing": ([], [], (), (False, 10)),
    "private": (["private"], [], (), (True, 10)),
    "upper case": (["Max-Age=60, PRIVATE"], [], (), (True, 60)),
    "private with fields": (['private="Set-Cookie", max-age=60'], [], (), (True, 60)),
    "no-store on a second line": (["public, max-age=60", "no-store"], [], (), (True, 60)),
    "private inside a quoted value": (['ext="a, private", max-age=60'], [], (), (False, 60)),
    "no-cache is not private": (["no-cache"], [], (), (False, 10)),
    "a cookie": ([], COOKIE, (), (True, 10)),
    "a cookie on a public page": (["public, max-age=5"], COOKIE, (), (False, 10)),
    "authorized": (["max-age=600"], [], AUTHORIZED, (True, 600)),
    "authorized, s-maxage": (["s-maxage=600, max-age=60"], [], AUTHORIZED, (False, 600)),
    "authorized, must-revalidate": (["must-revalidate"], [], AUTHORIZED, (False, 10)),
    # Django's page for a signed-in visitor: Vary: Cookie and nothing else says it is theirs.
    "varies by the cookie sent": ([], [("Vary", "Accept-Encoding"), ("vary", "COOKIE")], ("cookie",), (True, 10)),
    "varies by a cookie not sent": ([], [("Vary", "Accept-Encoding, Cookie")], (), (False, 10)),
    "varies by the cookie, public": (["public"], [("Vary", "Cookie")], ("cookie",), (False, 10)),
    "varies by anything": ([], [("Vary", "*")], (), (True, 10)),
    "stale-if-error adds": (["max-age=60, stale-if-error=300"], [], (), (False, 360)),
    "twice: the longer": (["max-age=60, max-age=120"], [], (), (False, 120)),
    "not a number": (["max-age=1e9, max-age=-5"], [], (), (False, 10)),
    "a year at most": (["max-age=99999999999"], [], (), (False, 31536000)),
}


def test_what_caching_headers_allow() -> None:
    from brevane_tools.integrations import cache_control

    found = {}
    for case, (lines, others, visitor, _) in CACHE_CONTROL.items():
        found[case] = cache_control.judge([("Cache-Control", line) for line in lines] + others, visitor, 10, 0)
    assert found == {case: row[3] for case, row in CACHE_CONTROL.items()}
    expires = ("Expires", "Thu, 01 Jan 2026 01:00:00 GMT")
    assert [cache_control.judge(headers, (), 10, 1767225600 + 600)[1] for headers in (
        [expires, ("Date", "Thu, 01 Jan 2026 00:00:00 GMT")], [expires], [expires, ("Date", "soon")])] == [3600, 3000, 10]


# query, request headers -> what a private="unsigned" and a private="inline" middleware send
PRIVATE_PAGES: dict[str, tuple[str, dict[str, str], str, str]] = {
    "public": ("q=a", {}, "link", "link"),
    "private": ("q=b&cc=private", {}, "unsigned", "inline"),
    "no-store among others": ("q=c&cc=max-age%3D60&cc=NO-STORE", {}, "unsigned", "inline"),
    "a cookie": ("q=d&cookie=1", {}, "unsigned", "inline"),
    "authorized": ("q=e", {"Authorization": "Basic dTpw"}, "unsigned", "inline"),
    "authorized, public": ("q=f&cc=public", {"Authorization": "Basic dTpw"}, "link", "link"),
    "varies by the cookie sent": ("q=g&vary=Cookie", {"Cookie": "sessionid=1"}, "unsigned", "inline"),
}


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
@pytest.mark.parametrize("private", ["unsigned", "inline"])
def test_private_responses_are_kept_nowhere(kind: str, private: str, certs: Path, tmp_path: Path) -> None:
    # Bytes for the two public pages' stores (a callback's is some 12.6 KB): a small cache signs as a large one.
    cache = wsgi.DirectoryCache(tmp_path / "cache", max_bytes=30 * 1024)
    app = signing(kind, PAGE_APPS[kind], Signer(certs), cache=cache, private=private)
    with serving(kind, app) as base:
        got = {case: fetch(f"{base}/p?{query}", **headers) for case, (query, headers, _, _) in PRIVATE_PAGES.items()}
    column = 2 if private == "unsigned" else 3
    assert {case: outcome(r) for case, r in got.items()} == {c: row[column] for c, row in PRIVATE_PAGES.items()}
    # Two public pages: their stores are the only entries; a private page leaves nothing behind.
    assert sorted(p.name[:14] for p in (tmp_path / "cache").iterdir() if p.name[0] != ".") == ["brevane-store-"] * 2
    if private == "inline":  # signed anew each time: a weak validator, derived from the application's
        assert got["private"][1]["etag"].startswith('W/"v1-c2pa-')


def entries(cache: Any) -> int:
    if isinstance(cache, wsgi.MemoryCache):
        return len(cache)
    return sum(1 for p in cache.path.iterdir() if not p.name.startswith("."))


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
@pytest.mark.parametrize("cache_kind", ["memory", "directory"])
def test_churn_never_evicts_a_store_within_its_floor(
    kind: str, cache_kind: str, certs: Path, tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    clock = Clock()
    cache: Any = (wsgi.MemoryCache(max_entries=4, clock=clock) if cache_kind == "memory"
                  else wsgi.DirectoryCache(tmp_path, max_entries=4, clock=clock))
    app = signing(kind, PAGE_APPS[kind], Signer(certs), cache=cache, store_floor=100, clock=clock)
    with serving(kind, app) as base:
        live = fetch(base + "/live?cc=max-age%3D500")  # its floor: its own max-age, 500 s
        named = fetch(base + "/named")  # its floor: store_floor, 100 s
        churned = [fetch(f"{base}/search?q={n}") for n in range(6)]
        first = [outcome(r) for r in churned]  # full of stores within their floor: new pages pass unsigned
        clock.now += 101  # past the floor of the churned pages' stores, and of the named page's
        assert fetch(base + "/named")[1]["link"] == named[1]["link"]  # named again: a new floor
        second = [outcome(fetch(f"{base}/search?q=x{n}")) for n in range(6)]  # evicts the two churned
        stores = [store_of(base, r) for r in (live, named, churned[0], churned[1])]
        counted = entries(cache)
        clock.now += 500  # past every floor: the live page's store goes too, at last
        third = [outcome(fetch(f"{base}/search?q=y{n}")) for n in range(6)]
        gone = store_of(base, live)
    assert (first, second, third) == ([*["link"] * 2, *["unsigned"] * 4], [*["link"] * 2, *["unsigned"] * 4],
                                      [*["link"] * 4, *["unsigned"] * 2])
    assert (stores, counted, entries(cache), gone) == ([200, 200, 404, 404], 4, 4, 404)
    # One line per ten seconds at most, saying how many it stands for.
    full = [line for line in logged(caplog) if "the cache is full" in line]
    assert [line.startswith("/search: not signed, served unsigned: the cache is full of stores that pages still "
                            "name (max_entries 4, max_bytes ") for line in full] == [True] * 3
    assert [line.endswith("(3 more since the last such line)") for line in full] == [False, True, True]


class PlainCache(dict[str, bytes]):
    """A get/set cache with bounds and eviction of its own, as Django's cache or a Redis client."""

    def set(self, key: str, value: bytes) -> None:
        self[key] = value


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_a_plain_get_set_cache_keeps_stores_by_its_own_rules(kind: str, certs: Path) -> None:
    cache, signer = PlainCache(), Signer(certs)
    with serving(kind, signing(kind, PAGE_APPS[kind], signer, cache=cache)) as base:
        first, again = fetch(base + "/p"), fetch(base + "/p")  # the second from the cache: no signature
        kept = [key.rsplit(":", 1)[0] for key in cache]
        stores = [store_of(base, first)]
        cache.clear()  # its own eviction: the store is gone, and the page is signed again when asked for
        stores += [store_of(base, first), store_of(base, fetch(base + "/p"))]
    assert (outcome(first), again[1]["link"] == first[1]["link"], kept) == ("link", True, ["brevane:store"])
    assert (stores, signer.count) == ([200, 404, 200], 2)


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
@pytest.mark.parametrize("closed", [False, True])
def test_the_signing_budget_passes_or_refuses_what_is_over_it(
    kind: str, closed: bool, certs: Path, caplog: pytest.LogCaptureFixture
) -> None:
    clock, signer = Clock(), Signer(certs)
    app = signing(kind, PAGE_APPS[kind], signer, signatures_per_second=2, fail_closed=closed, clock=clock)
    with serving(kind, app) as base:
        first = [outcome(fetch(f"{base}/p?q={n}")) for n in range(4)]
        again = outcome(fetch(f"{base}/p?q=0"))  # signed already: costs no budget
        clock.now += 0.5
        later = outcome(fetch(f"{base}/p?q=9"))
    over = "503 Retry-After 1" if closed else "unsigned"
    assert (first, again, later, signer.count) == (["link", "link", over, over], "link", "link", 3)
    what = "answered 503 (fail_closed)" if closed else "served unsigned"
    assert logged(caplog) == [f"/p: not signed, {what}: over the signing budget of 2 new signatures per second "
                              "(signatures_per_second)"]


def without_index(path: str, query: str) -> Optional[str]:
    """One page at /a/ and /a/index.html; none at all for a search."""
    if path.startswith("/search"):
        return None
    return path.removesuffix("index.html")


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_the_key_hook_shares_a_signature_between_equal_pages_only(kind: str, certs: Path) -> None:
    signer = Signer(certs)

    async def same_asgi(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await page_asgi(dict(scope, path="/a/"), receive, send)

    def same_wsgi(environ: dict[str, Any], start_response: Any) -> list[bytes]:
        return page_wsgi(dict(environ, PATH_INFO="/a/"), start_response)

    app = signing(kind, same_wsgi if kind == "wsgi" else same_asgi, signer, key=without_index)
    with serving(kind, app) as base:
        links = [fetch(base + path)[1].get("link") for path in ("/a/", "/a/index.html", "/a/?q=2", "/b/", "/search")]
    # The definition names the page (it has no title of its own): without the hook, /a/ and
    # /a/index.html would be two stores. Another body never shares one; a search is not signed.
    assert (links[0] == links[1], len(set(links[:4])), links[4], signer.count) == (True, 3, None, 3)


def another_users(where: Path) -> Path:
    """A directory that belongs to someone else: made and given away by root, else the root directory."""
    if os.geteuid() != 0:
        return Path("/")
    where.mkdir(mode=0o777)
    os.chown(where, 65534, 65534)
    return where


# what lies at the cache's path before -> the umask it is made under
CACHE_DIRECTORIES: dict[str, tuple[str, int]] = {
    "nothing, umask 0000": ("", 0),
    "nothing, umask 0022": ("", 0o022),
    # What others left while they could write in it: a file, a link for the usage record, maybe a store.
    "a directory open to all, with what others left": ("open", 0o022),
    "a link to a directory": ("link", 0),
    "another user's directory": ("other", 0),
}


@pytest.mark.parametrize("case", list(CACHE_DIRECTORIES))
def test_cache_files_are_private_whatever_the_umask(case: str, tmp_path: Path) -> None:
    before, umask = CACHE_DIRECTORIES[case]
    where = real = tmp_path / "cache"
    store, victim = "brevane-store-" + "0" * 64, tmp_path / "victim"
    victim.write_bytes(b"victim")
    if before == "open":
        (where / ".locks").mkdir(mode=0o777, parents=True)
        where.chmod(0o777)
        (where / "notes").write_bytes(b"")  # not the cache's: neither counted nor evicted nor changed
        (where / ".locks" / "usage").symlink_to(victim)
        if os.geteuid() == 0:  # a store another user planted: never served
            (where / store).write_bytes(b"planted")
            os.chown(where / store, 65534, 65534)
    elif before == "link":
        real = tmp_path / "real"
        real.mkdir(mode=0o755)
        where.symlink_to(real)
    elif before == "other":
        where = real = another_users(where)
    mask = os.umask(umask)
    try:
        if before == "other":
            with pytest.raises(UsageError) as refused:
                wsgi.DirectoryCache(where)
            assert str(refused.value) == (
                f"the cache directory {where} belongs to user {where.stat().st_uid}, not to this process's user "
                f"{os.geteuid()}: give the cache a directory of its own")
            return
        cache = wsgi.DirectoryCache(where)
        planted = cache.get("brevane:store:" + "0" * 64)
        cache.set("brevane:store:" + "0" * 64, b"store", 10)
    finally:
        os.umask(mask)
    assert (planted, victim.read_bytes(), (real / store).read_bytes()) == (None, b"victim", b"store")
    modes = {p.relative_to(real).as_posix(): p.stat().st_mode & 0o777 for p in [real, *real.rglob("*")]}
    assert set(modes.items()) == {(".", 0o700), (".locks", 0o700), ("brevane-store-" + "0" * 64, 0o600),
                                  (".locks/usage", 0o600), *([("notes", 0o644)] if before == "open" else [])}


def test_a_directory_cache_counts_itself_again_when_its_record_is_lost(tmp_path: Path) -> None:
    clock = Clock()
    cache = wsgi.DirectoryCache(tmp_path, max_entries=3, max_bytes=100, clock=clock)
    for n in range(3):
        clock.now += 1
        cache.set(f"brevane:page:{n:064x}", b"page", 0)
    (tmp_path / ".locks" / "usage").unlink()  # as after a crash: the next writer counts the directory
    stale, fresh = tmp_path / ".brevane-page-a.0123abcd.tmp", tmp_path / ".brevane-page-b.4567cdef.tmp"
    for temporary, age in ((stale, 7200), (fresh, 60), (tmp_path / "notes.txt", 7200)):  # the last is not the cache's
        temporary.write_bytes(b"")
        os.utime(temporary, (time.time() - age, time.time() - age))  # the file system's time, not the cache's
    cache.set("brevane:page:" + "f" * 64, b"page", 0)  # over the bound: the oldest goes, and the stale temporary
    assert sorted(p.name[-2:] for p in tmp_path.iterdir() if p.name != ".locks") == ["01", "02", "ff", "mp", "xt"]
    assert (fresh.exists(), sum(1 for p in tmp_path.iterdir() if p.name.startswith("brevane-"))) == (True, 3)
    with pytest.raises(CacheFull):  # larger than the bound: nothing is evicted for what can never fit
        cache.set("brevane:page:" + "e" * 64, b"e" * 101, 0)
    assert sum(1 for p in tmp_path.iterdir() if p.name.startswith("brevane-")) == 3


HOSTILE = "/a\r\nCRITICAL forged\x1b[2J\u202e"


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_log_lines_escape_request_paths(kind: str, certs: Path, caplog: pytest.LogCaptureFixture) -> None:
    app = signing(kind, APPS["chunks"](None, kind), Signer(certs), max_bytes=100)
    with serving(kind, app) as base:
        fetch(base + urllib.parse.quote(HOSTILE))
    (line,) = logged(caplog)
    # The toolkit's one escaping rule: control, bidirectional and line-separating characters.
    assert line == escape(HOSTILE) + ": not signed: the page is larger than max_bytes (100 bytes)"
    assert line.startswith("/a\\r\\nCRITICAL forged\\x1b[2J\\u202e")
    assert not any(unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp") for c in line)


@pytest.mark.parametrize(("setting", "message"), [
    ({"private": "public"}, "unknown private 'public': use one of unsigned, inline"),
    ({"signatures_per_second": 0}, "store_floor must be zero or more, and signatures_per_second above zero (or None)"),
    ({"store_floor": -1}, "store_floor must be zero or more, and signatures_per_second above zero (or None)"),
])
def test_settings_out_of_range_are_refused(setting: dict[str, Any], message: str, certs: Path) -> None:
    with pytest.raises(UsageError) as refused:
        wsgi.SigningMiddleware(page_wsgi, wsgi.DynamicSigning("{}", SigningCallback(b"", bytes), **setting))
    assert str(refused.value) == message


def test_settings_never_show_the_key(certs: Path) -> None:
    key = wsgi.DynamicSigning("{}", SigningKey.from_files(str(certs / "chain.pem"), str(certs / "signer.key")))
    callback = wsgi.DynamicSigning("{}", SigningCallback(b"chain", lambda data: b"secret-closure"))
    shown = repr(key) + repr(callback)
    assert "PRIVATE KEY" not in shown and "lambda" not in shown and "SigningKey(alg='es256')" in shown


def test_compression_outside_the_signing_middleware_keeps_the_signature(certs: Path) -> None:
    """The right order: the page signed, then compressed (Starlette's GZipMiddleware outside)."""
    app = GZipMiddleware(signing("asgi", page_asgi, Signer(certs)), minimum_size=0)
    with serving("asgi", app) as base:
        request = urllib.request.Request(base + "/p?q=" + "x" * 100, headers={"Accept-Encoding": "gzip"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            headers, body = answer.headers, gzip.decompress(answer.read())
    assert (headers["content-encoding"], "c2pa-manifest" in headers["link"], body) == (
        "gzip", True, page_body("/p", {"q": ["x" * 100]}))


@pytest.fixture(scope="module", params=["sync", "gevent", "gevent, a signer command"])
def gunicorn_site(
    request: pytest.FixtureRequest, certs: Path, tmp_path_factory: pytest.TempPathFactory
) -> Iterator[tuple[str, Path]]:
    """tests/python/signed_site.py under gunicorn: two sync workers, or one gevent worker (its greenlets
    share one thread), over a DirectoryCache of 8 entries, with a signer that takes 0.2 s: a callback,
    or a command waited for through gevent's subprocess."""
    worker, _, signer = request.param.partition(", ")
    if worker == "gevent":
        pytest.importorskip("gevent")
    if signer and shutil.which("openssl") is None:
        pytest.skip("the signer command here is OpenSSL's command-line tool")
    where = tmp_path_factory.mktemp(worker)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = {**os.environ, **settings_env(certs), "BREVANE_CACHE_DIR": str(where / "cache"), "CACHE_ENTRIES": "8",
           "SIGNER_DELAY": "0.2", **({"SIGNER_COMMAND": "1"} if signer else {})}
    workers = ["-w", "2"] if worker == "sync" else ["-w", "1", "-k", "gevent"]
    argv = [sys.executable, "-m", "gunicorn", "--no-control-socket", *workers, "--timeout", "20",
            "--graceful-timeout", "5", "-b", f"127.0.0.1:{port}", "--pythonpath", str(ROOT / "tests" / "python"),
            "signed_site:make_app()"]
    with open(where / "log", "wb") as log:
        process = subprocess.Popen(argv, cwd=ROOT, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 60
        while True:  # until a worker answers: the application, and its cache, are made by then
            assert process.poll() is None and time.monotonic() < deadline, (where / "log").read_text()
            with contextlib.suppress(OSError):
                fetch(f"http://127.0.0.1:{port}/nothing", "POST")
                break
            time.sleep(0.1)
        yield f"http://127.0.0.1:{port}", where / "cache"
    finally:
        process.terminate()
        process.wait(30)


def test_two_pages_whose_lock_files_collide_both_answer(gunicorn_site: tuple[str, Path], certs: Path) -> None:
    """Under gevent, a greenlet that holds a page's lock yields while its signer sleeps: a second page
    that shares the lock file must wait for it cooperatively, not block the worker's only thread."""
    from brevane_tools.integrations.dynamic import Page, PageSigner
    from signed_site import body_of

    base, _ = gunicorn_site
    settings = wsgi.DynamicSigning((ROOT / "examples" / "manifest.json").read_text(),
                                   SigningCallback((certs / "chain.pem").read_bytes(), bytes))
    signer, seen = PageSigner(settings), dict[str, str]()
    for n in range(1000):
        path = f"/lock/{n}"
        name = signer.name_of(Page(body_of(path, ""), path, "", path))
        if name[:2] in seen:
            pair = (seen[name[:2]], path)
            break
        seen[name[:2]] = path
    with ThreadPoolExecutor(2) as pool:
        answers = list(pool.map(lambda path: fetch(base + path), pair))
    assert [(status, "c2pa-manifest" in headers.get("link", "")) for status, headers, _ in answers] == [(200, True)] * 2
    names = [headers["link"].split("/")[-1][:2] for _, headers, _ in answers]
    assert names[0] == names[1]


def test_private_pages_and_query_floods_under_gunicorn(gunicorn_site: tuple[str, Path]) -> None:
    base, cache = gunicorn_site

    def files() -> dict[str, bytes]:
        return {p.name: p.read_bytes() for p in cache.iterdir() if not p.name.startswith(".")}

    kept = files()
    account = fetch(base + "/account")
    assert (outcome(account), files()) == ("unsigned", kept)  # a private page is neither signed nor kept
    with ThreadPoolExecutor(10) as pool:
        flood = list(pool.map(lambda n: fetch(f"{base}/search?q={n}"), range(10)))
    signed = [r for r in flood if outcome(r) == "link"]
    # Eight entries at most; every store written stays within its floor, so the rest pass unsigned.
    assert (len(signed), len(files()), sorted({outcome(r) for r in flood})) == (8 - len(kept), 8, ["link", "unsigned"])
    assert {store_of(base, r) for r in signed} == {200}
    assert not any(b"Page /account" in data for data in files().values())
