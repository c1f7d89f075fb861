"""Checking pages where they live: local hrefs, and pages and stores fetched from a loopback HTTP server."""

from __future__ import annotations

import gzip
import hashlib
import http.server
import io
import json
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Optional

import pytest

import needs_sdk  # noqa: F401  (first: skips the module where the SDK cannot run)
from needs_sdk import ROOT

import c2pa  # noqa: E402

from brevane_tools import SigningKey, cli, sign_page, sign_page_with_reference  # noqa: E402
from brevane_tools.checking import check_file, check_page, check_url  # noqa: E402
from brevane_tools.trust import TrustPolicy  # noqa: E402
from brevane_tools.remote import FetchError, FetchLimits  # noqa: E402

from make_test_certs import CertChain, make_test_chain  # noqa: E402

MANIFEST: dict[str, Any] = json.loads((ROOT / "examples" / "manifest.json").read_text())
SAMPLE = (ROOT / "examples" / "pages" / "sample.html").read_bytes()
C2PA = {"Content-Type": "application/c2pa"}
Route = tuple[int, dict[str, str], bytes]


@pytest.fixture(scope="module")
def chain() -> CertChain:
    return make_test_chain()


@pytest.fixture(scope="module")
def signer(chain: CertChain) -> Any:
    return SigningKey(chain.chain_pem, chain.key_pem).signer()


@pytest.fixture(scope="module")
def policy(chain: CertChain) -> TrustPolicy:
    return TrustPolicy(trust_anchors=chain.root_pem.decode())


class Server:
    """A loopback HTTP server answering from a table of routes (path -> status, headers, body)."""

    def __init__(self) -> None:
        self.routes: dict[str, Route] = {}
        self.drip: set[str] = set()  # paths whose body goes out a byte every 50 ms
        routes, drip = self.routes, self.drip

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802
                status, headers, body = routes.get(self.path, (404, {}, b"not here"))
                self.send_response(status)
                for name, value in headers.items():
                    for one in value.split("\n"):  # several fields of one name
                        self.send_header(name, one)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                step = 1 if self.path in drip else max(len(body), 1)
                try:
                    for start in range(0, len(body), step):
                        self.wfile.write(body[start : start + step])
                        self.wfile.flush()
                        time.sleep(0.05 if step == 1 else 0)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client gave up, as it should

            def log_message(self, *_: Any) -> None:
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True).start()


@pytest.fixture
def server() -> Iterator[Server]:
    made = Server()
    yield made
    made.httpd.shutdown()


def write(path: Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def headerless_store(page: bytes, signer: Any) -> bytes:
    """A store bound to the whole page, as published for a page that names it only in a Link header."""
    binding = {"alg": "sha256", "hash": list(hashlib.sha256(page).digest()), "pad": [], "exclusions": []}
    builder = c2pa.Builder(dict(MANIFEST, assertions=[*MANIFEST["assertions"], {"label": "c2pa.hash.data", "data": binding}]))
    builder.set_no_embed()
    store: bytes = builder.sign(signer, "text/html", io.BytesIO(page), io.BytesIO())
    return store


BASED = SAMPLE.replace(b"<title>", b'<base href="/cdn/x/"><title>', 1)
# case: (page, href to sign with (None: inline, or no element), Link header, where the store is served, source)
SOURCES: dict[str, tuple[bytes, Optional[str], str, str, str]] = {
    "inline": (SAMPLE, None, "", "", "inline"),
    "relative href": (SAMPLE, "../stores/p.c2pa", "", "/stores/p.c2pa", "link"),
    "absolute href, behind a redirect": (SAMPLE, "{base}/old.c2pa", "", "/new.c2pa", "link"),
    "<base href>": (BASED, "p.c2pa", "", "/cdn/x/p.c2pa", "link"),
    "Link headers, rel list, relative target": (
        SAMPLE, None, '</style.css>; rel=stylesheet\n<m/p.c2pa>; rel="alternate C2PA-Manifest"', "/m/p.c2pa", "header"),
    "element and header: the element wins": (SAMPLE, "/right.c2pa", "</wrong.c2pa>; rel=c2pa-manifest", "/right.c2pa", "link"),
}


@pytest.mark.parametrize("case", list(SOURCES))
def test_a_page_on_the_web_is_checked_with_the_store_it_names(
    server: Server, signer: Any, policy: TrustPolicy, case: str
) -> None:
    page, href, links, where, expected = SOURCES[case]
    if href is not None:
        page, store = sign_page_with_reference(page, MANIFEST, signer, href.format(base=server.base))
    elif links:
        store = headerless_store(page, signer)
        # Offline, the same store given by hand.
        assert check_page(page, store, policy=policy).source == "store-option"
    else:
        page = sign_page(page, MANIFEST, signer)
    server.routes.update({"/p.html": (200, {"Link": links} if links else {}, page),
                          "/old.c2pa": (301, {"Location": "/new.c2pa"}, b"")})
    if where:
        server.routes[where] = (200, C2PA, store)
    result = check_url(server.base + "/sub/../p.html", policy=policy)
    assert (result.ok, result.state, result.source) == (True, "Trusted", expected)
    assert result.store_location == (server.base + where if where else None)
    # The SDK's own state is clean for a referenced store; only inline needs brevane's waiver.
    assert result.waived == (("assertion.dataHash.mismatch",) if case == "inline" else ())
    assert len(result.warnings) == (case == "element and header: the element wins")


def test_a_store_served_with_another_media_type_is_a_warning(server: Server, signer: Any, policy: TrustPolicy) -> None:
    page, store = sign_page_with_reference(SAMPLE, MANIFEST, signer, "p.c2pa")
    server.routes.update({"/p.html": (200, {}, page), "/p.c2pa": (200, {"Content-Type": "text/plain"}, store)})
    result = check_url(server.base + "/p.html", policy=policy)
    assert result.ok and result.warnings == (
        f"the store at {server.base}/p.c2pa is served as 'text/plain', not application/c2pa",
    )


@pytest.fixture
def silent() -> Iterator[str]:
    """A server that accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/p.html"


@pytest.mark.parametrize(
    ("routes", "message"),
    [
        ({"/p.html": (200, {}, b"<html><head><link rel=c2pa-manifest href=gone.c2pa></head></html>")},
         "the Manifest Store at {base}/gone.c2pa could not be fetched: HTTP 404 Not Found"),
        ({"/p.html": (302, {"Location": "/p.html"}, b"")}, "the page at {base}/p.html redirects more than 2 times"),
        ({"/p.html": (302, {"Location": "file:///etc/passwd"}, b"")},
         "the page at file:///etc/passwd is not an http or https URL; nothing was fetched"),
        ({"/p.html": (200, {}, b'<html><head><base href="file:///etc/"><link rel="c2pa-manifest" href="passwd">')},
         "the page's <base href> is a file: URL, which is not followed"),
        ({"/p.html": (200, {}, b"<html><head>" + b" " * 5000 + b"</head></html>")},
         "the page at {base}/p.html is larger than 4,096 bytes (the limit; see --max-page-size)"),
        ({"/p.html": (200, {"Content-Encoding": "gzip"}, gzip.compress(b"<html><head>" + b" " * 100_000))},
         "the page at {base}/p.html is larger than 4,096 bytes (the limit; see --max-page-size)"),
        ({"/p.html": (200, {"Link": "</s.c2pa>; rel=stylesheet"}, SAMPLE)},
         '{base}/p.html carries no C2PA manifest element in its head and no Link header with rel="c2pa-manifest"'),
    ],
    ids=["404 store", "redirect loop", "redirect to a file", "base href to a file", "oversized page",
         "compressed page oversized once decoded", "nothing named"],
)
def test_what_cannot_be_fetched_is_one_line_naming_the_url(
    server: Server, routes: dict[str, Route], message: str
) -> None:
    server.routes.update(routes)
    with pytest.raises(ValueError) as caught:
        check_url(server.base + "/p.html", limits=FetchLimits(page_bytes=4096, redirects=2))
    assert str(caught.value) == message.format(base=server.base)


def test_a_server_that_never_answers_or_drips_times_out_and_a_closed_port_refuses(silent: str, server: Server) -> None:
    server.routes["/p.html"] = (200, {}, SAMPLE)
    server.drip.add("/p.html")
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        refused = f"http://127.0.0.1:{closed.getsockname()[1]}/p.html"
    for url, problem in [(silent, "did not arrive in time"), (server.base + "/p.html", "did not arrive in time"),
                         (refused, "could not be fetched: Failed to establish a new connection: [Errno 111] Connection refused")]:
        started = time.monotonic()
        with pytest.raises(FetchError) as caught:
            check_url(url, limits=FetchLimits(timeout=0.3))
        assert str(caught.value) == f"the page at {url} {problem}"
        assert time.monotonic() - started < 2  # the whole fetch is bounded, not each read


def test_local_pages_resolve_their_own_hrefs(
    tmp_path: Path, server: Server, signer: Any, policy: TrustPolicy, capsys: pytest.CaptureFixture[str]
) -> None:
    site = tmp_path / "site"
    (site / "stores").mkdir(parents=True)
    based = SAMPLE.replace(b"<title>", b'<base href="../stores/"><title>', 1)
    cases = [("rel", SAMPLE, "../stores/rel.c2pa"), ("root", SAMPLE, "/stores/root.c2pa"), ("based", based, "based.c2pa"),
             ("cdn", SAMPLE, f"{server.base}/cdn/cdn.c2pa")]  # a store on the web is fetched
    for name, page, href in cases:
        signed, store = sign_page_with_reference(page, MANIFEST, signer, href)
        write(site / "docs" / f"{name}.html", signed)
        write(site / "stores" / f"{name}.c2pa", store)
        server.routes[f"/cdn/{name}.c2pa"] = (200, C2PA, store)
    allowed = FetchLimits(allow_private_hosts=True)  # the "web" store is on loopback too
    results = [check_file(site / "docs" / f"{name}.html", site_root=site, policy=policy, limits=allowed)
               for name, _, _ in cases]
    assert [(r.state, r.source, r.store_location) for r in results] == [
        ("Trusted", "link", str(site / "stores" / f"{name}.c2pa")) for name in ["rel", "root", "based"]
    ] + [("Trusted", "link", f"{server.base}/cdn/cdn.c2pa")]
    # Every page of a directory resolves its own store; a tampered page names what failed, in words.
    write(site / "docs" / "rel.html", (site / "docs" / "rel.html").read_bytes().replace(b"quay", b"Quay"))
    write(tmp_path / "root.pem", (policy.trust_anchors or "").encode())
    assert cli.main(["check", "--allow-private-hosts", "--trust-anchors", str(tmp_path / "root.pem"), str(site)]) == cli.EXIT_FAILED
    assert capsys.readouterr().err.splitlines()[0] == (
        f"brevane: {site}/docs/rel.html: Invalid (store from the page's link element {site}/stores/rel.c2pa); "
        "signed by brevane TEST signer; assertion.dataHash.mismatch: "
        "asset hash error, name: unnamed, error: hash verification( Hashes do not match )"
    )


@pytest.mark.parametrize(
    ("files", "argv", "message"),
    [
        ({"a.html": b"x", "b.html": b"x", "s.c2pa": b"x"}, ["--store", "{d}/s.c2pa", "{d}"],
         "--store takes exactly one page (pages that reference their stores are checked with their own)"),
        ({"a.html": b"x", "r.pem": b"not a certificate"}, ["--trust-anchors", "{d}/r.pem", "{d}/a.html"],
         "the trust anchors {d}/r.pem are not PEM certificates"),
        ({"a.html": b"x", "s.json": b"[1]"}, ["--settings", "{d}/s.json", "{d}/a.html"],
         "the C2PA settings {d}/s.json must be a JSON object"),
    ],
    ids=["--store with a directory", "trust anchors not PEM", "settings not an object"],
)
def test_unusable_options_are_usage_errors(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], files: dict[str, bytes], argv: list[str], message: str
) -> None:
    for name, data in files.items():
        write(tmp_path / name, data)
    assert cli.main(["check", *(a.format(d=tmp_path) for a in argv)]) == cli.EXIT_USAGE
    assert capsys.readouterr().err == f"brevane: {message.format(d=tmp_path)}\n"


class StaticSite(http.server.SimpleHTTPRequestHandler):
    """A plain static file server, configured as docs/checking.md asks: stores as application/c2pa."""

    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".c2pa": "application/c2pa"}

    def log_message(self, *_: Any) -> None:
        pass


def test_a_site_signed_by_reference_checks_trusted_where_it_is_served(
    tmp_path: Path, chain: CertChain, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    write(tmp_path / "mkdocs.yml", b"site_name: Harbour\nnav: [index.md, guide/tides.md]\n")
    write(tmp_path / "docs" / "index.md", b"# Harbour\n\nLights on the quay.\n")
    write(tmp_path / "docs" / "guide" / "tides.md", b"# Tides\n\nTwice a day, [home](../index.md).\n")
    subprocess.run([sys.executable, "-m", "mkdocs", "build", "-q"], cwd=tmp_path, check=True)
    for name, data in [("chain.pem", chain.chain_pem), ("key.pem", chain.key_pem), ("root.pem", chain.root_pem)]:
        write(tmp_path / name, data)
    site = tmp_path / "site"
    assert cli.main(["sign", "--reference", "--in-place", "--manifest", str(ROOT / "examples" / "manifest.json"),
                     "--cert", str(tmp_path / "chain.pem"), "--key", str(tmp_path / "key.pem"), str(site)]) == 0
    pages = sorted(p.relative_to(site).as_posix() for p in site.rglob("*.html"))
    assert len(pages) >= 3  # index, the guide, mkdocs' own 404 page

    handler = lambda *a: StaticSite(*a, directory=str(site))  # noqa: E731
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=httpd.serve_forever, args=(0.05,), daemon=True).start()
    base = f"http://127.0.0.1:{httpd.server_address[1]}/"
    try:
        capsys.readouterr()
        assert cli.main(["check", "--json", "--trust-anchors", str(tmp_path / "root.pem"),
                         *(base + p for p in pages)]) == cli.EXIT_OK
        files = json.loads(capsys.readouterr().out)["files"]
        assert [(f["path"], f["state"], f["sdk_state"], f["source"], f["waived"], f["warnings"]) for f in files] == [
            (base + p, "Trusted", "Trusted", "link", [], []) for p in pages
        ]
        # The same trust from an SDK settings file named in the environment.
        (tmp_path / "settings.json").write_text(json.dumps({"trust": {"trust_anchors": chain.root_pem.decode()}}))
        monkeypatch.setenv("BREVANE_C2PA_SETTINGS", str(tmp_path / "settings.json"))
        assert cli.main(["show", "--json", "--detailed", base]) == cli.EXIT_OK
        report = json.loads(capsys.readouterr().out)["files"][0]
        assert cli.main(["show", base + "guide/tides/"]) == cli.EXIT_OK
    finally:
        httpd.shutdown()
    # --json: the SDK's manifest report and, with --detailed, the whole store, beside brevane's fields.
    active = report["manifest_report"]["active_manifest"]
    assert report["manifest_store"]["active_manifest"] == active and report["state"] == "Trusted"
    assert report["manifest_report"]["manifests"][active]["signature_info"]["common_name"] == "brevane TEST signer"
    shown = capsys.readouterr().out.splitlines()
    assert shown[0] == f"{base}guide/tides/: Trusted"
    facts = {line[:15].strip(): line[15:] for line in shown[1:10]}
    assert {k: facts.get(k) for k in ("title", "generator", "signer", "actions")} == {
        "title": "Tides - Harbour", "generator": "brevane example 0.2.0",
        "signer": "brevane TEST signer, issued by brevane test certificates", "actions": "c2pa.created",
    }
