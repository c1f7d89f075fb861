"""Pages signed as they are served: the WSGI and ASGI middleware behind real servers on loopback."""

from __future__ import annotations

import contextlib
import importlib
import json
import logging
import os
import random
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.error
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
from brevane_tools.signing import SigningCallback  # noqa: E402

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
    # The inline form's bytes differ each time a page is signed again: its validator is weak.
    assert got["etag"].startswith("W/") == (form == "inline")


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


APPS: dict[str, Any] = {
    "site": lambda sites, kind: sites[kind],
    "gzip": lambda sites, kind: GZipMiddleware(sites[kind], minimum_size=0),
    "chunks": lambda sites, kind: chunks_wsgi if kind == "wsgi" else chunks_asgi,
}
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
                                  "/news/2: not signed: it is already compressed (Content-Encoding: gzip); the "
                                  "signing middleware must see pages before any compression or minifying "
                                  "middleware does"),
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
