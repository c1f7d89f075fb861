"""`brevane sign --form link|inline|header`, store directories apart from the pages, --skip-valid under a
real CA, the run's warnings, and the generators' one-line errors: real signing, real servers, a real browser."""

from __future__ import annotations

import contextlib
import functools
import http.server
import json
import sys
import threading
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Optional

import brevane
import pytest

if sys.version_info < (3, 10):
    pytest.skip("the C2PA SDK's Python binding needs CPython 3.10 or later", allow_module_level=True)
pytest.importorskip("c2pa")

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

from brevane_tools import check_page, cli  # noqa: E402
from test_tools_integrations import certs, credentials, env, mkdocs_project, run, sphinx_project  # noqa: E402,F401
from test_tools_report import browser  # noqa: E402,F401
from tsa_server import TimeStampAuthority  # noqa: E402
import web_servers  # noqa: E402
from web_servers import free_port, nginx_conf  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
PAGES = {
    "a.html": b"<!doctype html><html><head><title>A</title></head><body>a</body></html>",
    "guide/index.html": b"<!doctype html><html><head><title>Guide</title></head><body>g</body></html>",
    "caf\u00e9 menu.html": b"<!doctype html><html><head><title>Menu</title></head><body>m</body></html>",
}


def site(root: Path, pages: Optional[dict[str, bytes]] = None) -> Path:
    for name, data in (pages or PAGES).items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


def sign(certs: Path, *argv: str) -> int:
    return cli.main(["sign", "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert",
                     str(certs / "chain.pem"), "--key", str(certs / "signer.key"), *argv])


def check(certs: Path, url: str, capsys: pytest.CaptureFixture[str]) -> str:
    capsys.readouterr()
    cli.main(["check", url, "--trust-anchors", str(certs / "root.pem")])
    return capsys.readouterr().out


class Files(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".c2pa": "application/c2pa"}

    def log_message(self, *_: Any) -> None:
        pass


@contextlib.contextmanager
def static(root: Path) -> Iterator[str]:
    """A loopback server of a directory's files, stores as application/c2pa."""
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Files, directory=str(root)))
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()


@contextlib.contextmanager
def nginx(root: Path, work: Path) -> Iterator[str]:
    """Debian's nginx serving `root` with the rules the header form wrote there, on a free loopback port."""
    port = free_port()
    conf = nginx_conf(work, f"server {{ listen 127.0.0.1:{port}; root {root}; include {root}/c2pa.nginx.conf; }}",
                      f"include {root}/c2pa.nginx.http.conf;")
    with web_servers.nginx(conf, [port]):
        yield f"http://127.0.0.1:{port}"


# --- The three forms, and what is refused before any page ---

@pytest.mark.parametrize(("flags", "kind", "waived"), [
    ([], "referenced", ()),  # the default: the SDK validates it as it is
    (["--reference"], "referenced", ()),
    (["--form", "inline"], "embedded", ("assertion.dataHash.mismatch",)),
    (["--form", "header"], "detached", ()),
])
def test_each_form_signs_pages_that_validate(certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                              flags: list[str], kind: str, waived: tuple[str, ...]) -> None:
    source = site(tmp_path / "site")
    assert sign(certs, *flags, "--json", "-o", str(tmp_path / "out"), str(source)) == 0
    assert {f["kind"] for f in json.loads(capsys.readouterr().out)["files"]} == {kind}
    for name, data in PAGES.items():
        page = (tmp_path / "out" / name).read_bytes()
        assert (page == data) == (kind == "detached")
        store = None if kind == "embedded" else (tmp_path / "out" / (name + ".c2pa")).read_bytes()
        result = check_page(page, store, trust_anchors=(certs / "root.pem").read_bytes())
        assert (result.state, result.waived) == ("Trusted", waived)


@pytest.mark.parametrize(("flags", "message"), [
    (["-o", "-"], "--form link writes each page's store to a file of its own: give -o DIR or --in-place, "
     "not -o -, or sign with --form inline"),
    (["--reference", "--form", "inline", "-o", "{out}"], "--reference is --form link: it cannot go with --form inline"),
    (["--form", "inline", "--href", "x", "-o", "{out}"], "--href and --store-dir go with --form link or --form header"),
    (["--href", "https://cdn.example/{{stem}}.c2pa", "-o", "{out}"],
     "--href: unknown placeholder {{stem}} in the template: use {{path}}, {{name}}, or {{{{ and }}}} for braces"),
    (["--form", "header", "--href", "https://cdn.example/a b/{{path}}", "-o", "{out}"],
     "--href: https://cdn.example/a b/a.html is not a URL a Link header can carry as it is (spaces, quotes, "
     "'$', '<', '>' and the like must be percent-encoded)"),
    (["--store-dir", "{tmp}/cdn", "-o", "{out}"], "the store directory {tmp}/cdn lies outside the output tree "
     "{tmp}/out, so no path in the site leads to it: give the URL its stores are served at with --href TEMPLATE "
     "(e.g. --href 'https://cdn.example/c2pa/{{path}}.c2pa')"),
    (["--store-dir", "{tmp}/site/c2pa", "--href", "/c2pa/{{path}}", "-o", "{out}"],
     "the store directory {tmp}/site/c2pa lies in the input {tmp}/site: give one outside the pages' source"),
    (["--store-dir", "{tmp}/site/a.html/c2pa", "--in-place"],
     "the store directory {tmp}/site/a.html/c2pa cannot be made: {tmp}/site/a.html is not a directory"),
    (["--rules-dir", "{tmp}/rules", "-o", "{out}"], "--rules-dir goes with --form header"),
    (["--form", "header", "--rules-dir", "{tmp}/site/rules", "-o", "{out}"],
     "the rules directory {tmp}/site/rules lies in the input {tmp}/site: give one outside the published tree"),
    (["--form", "header", "--rules-dir", "{tmp}/out/rules", "-o", "{out}"],
     "the rules directory {tmp}/out/rules lies in the output tree {tmp}/out: give one outside the published tree"),
    (["--form", "header", "--rules-dir", "{tmp}/site/a.html/rules", "--in-place"],
     "the rules directory {tmp}/site/a.html/rules lies in the input {tmp}/site: give one outside the published tree"),
    (["--form", "header", "--store-dir", "{tmp}/out/c 2", "-o", "{out}"],
     "the store directory's path in the site, c 2, holds characters the server rules would have to quote: "
     "name it with letters, digits and '-._~' only"),
])
def test_what_cannot_work_is_one_usage_error_before_any_page(
    certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], flags: list[str], message: str
) -> None:
    source = site(tmp_path / "site", {"a.html": PAGES["a.html"]})
    argv = [f.format(tmp=tmp_path, out=tmp_path / "out") for f in flags]
    assert sign(certs, *argv, str(source / "a.html" if "-" in argv else source)) == 2
    assert capsys.readouterr().err == f"brevane: {message.format(tmp=tmp_path)}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["site"]
    assert (source / "a.html").read_bytes() == PAGES["a.html"]


# --- The header form: server rules, served by nginx ---

@pytest.fixture(scope="module")
def header_site(certs: Path, tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Path, str]]:
    root = site(tmp_path_factory.mktemp("header") / "site")
    (root / "_headers").write_text("/*\n  X-Frame-Options: DENY\n")
    assert sign(certs, "--form", "header", "--in-place", str(root)) == 0
    # Signed again: the rules are rewritten, the site's own ones kept.
    assert sign(certs, "--form", "header", "--in-place", "--skip-valid", str(root)) == 0
    with nginx(root, tmp_path_factory.mktemp("nginx")) as base:
        yield root, base


@pytest.mark.parametrize(("path", "store"), [
    ("/a.html", "/a.html.c2pa"),
    ("/guide/", "/guide/index.html.c2pa"),  # a directory's index
    ("/caf%C3%A9%20menu.html", "/caf%C3%A9%20menu.html.c2pa"),
])
def test_nginx_announces_each_store_by_its_rules(certs: Path, header_site: tuple[Path, str],
                                                 capsys: pytest.CaptureFixture[str], path: str, store: str) -> None:
    root, base = header_site
    assert check(certs, base + path, capsys) == (
        f"{base}{path}: Trusted (store from the HTTP Link header {base}{store}); signed by brevane TEST signer\n")
    headers = (root / "_headers").read_text()
    assert headers.startswith("/*\n  X-Frame-Options: DENY\n") and headers.count("# BEGIN brevane") == 1


@pytest.mark.parametrize(("rules", "message"), [
    ("# BEGIN brevane C2PA links\n/old\n", "cannot write the server rules {root}/_headers: its brevane block has "
     "lost or gained a marker line: mend the block, or delete it"),
    (None, "cannot write the server rules {root}/_headers: it is a symbolic link, not written through"),
])
def test_rule_files_are_never_written_blindly(certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                              rules: Optional[str], message: str) -> None:
    root = site(tmp_path / "site", {"a.html": PAGES["a.html"]})
    target = tmp_path / "elsewhere"
    target.write_text("/*\n  X-Frame-Options: DENY\n")
    if rules is None:
        (root / "_headers").symlink_to(target)
    else:
        (root / "_headers").write_text(rules)
    assert sign(certs, "--form", "header", "--in-place", str(root)) == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"brevane: {message.format(root=root)}"
    assert target.read_text() == "/*\n  X-Frame-Options: DENY\n"
    assert not (root / "c2pa.nginx.conf").exists()  # every rule file, or none


# --- XHTML: a self-closed link element ---

XML_PAGES = {
    "page.xhtml": (b'<html xmlns="http://www.w3.org/1999/xhtml"><head><title>x</title></head><body/></html>', True),
    "declared.html": (b'<?xml version="1.0"?>\n<html><head><title>d</title></head><body/></html>', True),
    "namespaced.html": (b'<!DOCTYPE html>\n<html lang="en" xmlns="http://www.w3.org/1999/xhtml"><head>'
                        b'<title>n</title></head><body/></html>', True),
    "plain.html": (b"<!DOCTYPE html><html><head><title>p</title></head><body></body></html>", False),
}


@pytest.mark.parametrize("name", list(XML_PAGES))
def test_xml_pages_stay_well_formed(certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], name: str) -> None:
    data, xml = XML_PAGES[name]
    site(tmp_path / "site", {name: data})
    assert sign(certs, "-o", str(tmp_path / "out"), str(tmp_path / "site")) == 0
    page = (tmp_path / "out" / name).read_bytes()
    ((start, length),) = brevane.locate_all(page)
    assert page[start : start + length].endswith(b" />") == xml
    if xml:
        ElementTree.fromstring(page)
    assert check(certs, str(tmp_path / "out" / name), capsys).split(": ")[1].startswith("Trusted")


@pytest.mark.parametrize(("close", "error"), [(True, False), (False, True)])
def test_chromium_reads_a_signed_xhtml_page_without_an_xml_error(
    browser: Any, certs: Path, tmp_path: Path, close: bool, error: bool  # noqa: F811
) -> None:
    from selenium.webdriver.common.by import By

    data = XML_PAGES["page.xhtml"][0]
    site(tmp_path / "site", {"page.xhtml": data})
    assert sign(certs, "--in-place", str(tmp_path / "site")) == 0
    if not close:  # as the module writes the element, for an HTML page
        page = tmp_path / "site" / "page.xhtml"
        page.write_bytes(page.read_bytes().replace(b" />", b">"))
    with static(tmp_path / "site") as base:
        browser.get(f"{base}/page.xhtml")
        assert bool(browser.find_elements(By.TAG_NAME, "parsererror")) == error
        assert error or browser.title == "x"


# --- Stores apart from the pages: the CDN layout ---

@pytest.mark.parametrize("form", ["link", "header"])
def test_stores_on_another_server_validate_by_url(certs: Path, tmp_path: Path,
                                                  capsys: pytest.CaptureFixture[str], form: str) -> None:
    source, out, cdn = site(tmp_path / "site"), tmp_path / "out", tmp_path / "cdn"
    with static(cdn) as stores:
        argv = ["--form", form, "--store-dir", str(cdn / "c2pa"), "--href", stores + "/c2pa/{path}.c2pa"]
        assert sign(certs, *argv, "-o", str(out), str(source)) == 0
        assert sorted(p.name for p in out.rglob("*.c2pa")) == []
        pages = nginx(out, tmp_path / "nginx") if form == "header" else static(out)
        with pages as base:
            for path in ("/a.html", "/guide/index.html", "/caf%C3%A9%20menu.html"):
                assert check(certs, base + path, capsys).split(": ")[1].startswith("Trusted")


# --- --skip-valid knows its signer by the certificate ---

def make_chain(directory: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The example chain, its root's organisation not its signer's; the same names and serial every time, new keys."""
    import make_test_certs

    def name(common: str) -> x509.Name:
        organisation = "Harbour Trust Services" if "root" in common else "Harbour Docs"
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common),
                          x509.NameAttribute(NameOID.ORGANIZATION_NAME, organisation)])

    monkeypatch.setattr(make_test_certs, "_name", name)
    monkeypatch.setattr(x509, "random_serial_number", lambda: 4242)
    make_test_certs.write_test_chain(directory)


@pytest.mark.parametrize("form", ["link", "inline", "header"])
@pytest.mark.parametrize(("again", "skipped"), [("the signer", True), ("another with its names and serial", False)])
def test_skip_valid_knows_the_signer_by_its_certificate(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                                       monkeypatch: pytest.MonkeyPatch,
                                                       form: str, again: str, skipped: bool) -> None:
    make_chain(tmp_path / "signer", monkeypatch)
    make_chain(tmp_path / "impostor", monkeypatch)
    source = site(tmp_path / "site")
    assert sign(tmp_path / "signer", "--form", form, "--in-place", str(source)) == 0
    signed = {name: (source / name).read_bytes() for name in PAGES}
    capsys.readouterr()
    who = tmp_path / ("signer" if skipped else "impostor")
    assert sign(who, "--form", form, "--skip-valid", "--json", "-o", str(tmp_path / "out"), str(source)) == 0
    assert [bool(f.get("skipped")) for f in json.loads(capsys.readouterr().out)["files"]] == [skipped] * len(PAGES)
    if skipped:  # copied unchanged
        assert {name: (tmp_path / "out" / name).read_bytes() for name in PAGES} == signed


@pytest.mark.parametrize("flags", [["--form", "link"], ["--form", "inline"], ["--form", "header"],
                                   ["--form", "link", "--skip-valid"], ["--form", "inline", "--skip-valid"]])
def test_each_page_is_read_once_per_run(certs: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                        flags: list[str]) -> None:
    # The head and the manifest element of one page's bytes are asked for in several places of a run
    # (title, href, parent, read-back): each is worked out once.
    from brevane_tools import head

    source = site(tmp_path / "site", {**PAGES, "b.html": b"<html><head><base href='/x/'><title>B</title></head></html>"})
    assert sign(certs, *flags, "-o", str(tmp_path / "out"), str(source)) == 0
    seen: dict[str, list[bytes]] = {"head": [], "extract": []}  # pages kept alive: no two share an id

    def counted(what: str, function: Any) -> Any:
        def wrapper(page: bytes, *rest: Any) -> Any:
            seen[what].append(page)
            return function(page, *rest)
        return wrapper

    monkeypatch.setattr(head, "_scan", counted("head", head._scan))
    monkeypatch.setattr(brevane, "extract", counted("extract", brevane.extract))
    assert sign(certs, *flags, "-o", str(tmp_path / "out"), str(source)) == 0
    for pages in seen.values():
        assert pages and max(sum(p is q for q in pages) for p in pages) == 1


# --- Warnings, once per run ---

@pytest.mark.parametrize(("runs", "flags", "stamped", "warned"), [
    (1, [], False, ["time-stamp"]),
    (1, [], True, []),
    (3, [], True, ["history"]),
    (3, ["--replace"], True, []),
])
def test_warnings_say_what_to_watch_once_per_run(certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                                 runs: int, flags: list[str], stamped: bool, warned: list[str]) -> None:
    source = site(tmp_path / "site")
    with TimeStampAuthority() as tsa:
        for _ in range(runs):
            capsys.readouterr()
            stamp = ["--tsa-url", tsa.url] if stamped else []
            assert sign(certs, *flags, *stamp, "--in-place", "-q", "--json", str(source)) == 0
    captured = capsys.readouterr()
    files = json.loads(captured.out)["files"]
    largest = max(files, key=lambda f: f["store_size"])
    ends = x509.load_pem_x509_certificates((certs / "chain.pem").read_bytes())[0].not_valid_after_utc
    lines = {
        "time-stamp": f"signed without a time-stamp authority: once the signing certificate expires "
        f"({ends:%Y-%m-%d %H:%M} UTC), readers no longer accept these signatures; time-stamp them with "
        "--tsa-url URL (or ta_url in the manifest definition)",
        "history": f"3 stores keep every earlier version of their pages (each parent ingredient holds the whole "
        f"history before it), so each re-signing makes them larger: {largest['path']}'s is "
        f"{largest['store_size']:,} bytes with 3 versions; sign once with --replace to keep only the newest",
    }
    assert captured.err.splitlines() == [f"brevane: warning: {lines[w]}" for w in warned]


# --- Sphinx and MkDocs: one line, and pages left out on purpose ---

@pytest.mark.parametrize(("generator", "changes", "status", "errors"), [
    ("sphinx", {"key": "other.key"}, 2,
     ["ERROR: brevane: the private key does not belong to the signing certificate 'brevane TEST signer'"]),
    ("sphinx", {"exclude": ["/fragment.html"]}, 0, []),
    ("mkdocs", {}, 1, ['brevane: cannot sign fragment.html: the document has no head element to embed into; '
                       'to publish it unsigned, add "/fragment.html" to the brevane plugin\'s exclude option']),
    ("mkdocs", {"exclude": ["fragment.html"]}, 0, []),
])
def test_generators_fail_in_one_line_and_publish_excluded_pages_unsigned(
    certs: Path, env: dict[str, str], tmp_path: Path,  # noqa: F811
    generator: str, changes: dict[str, Any], status: int, errors: list[str],
) -> None:
    other = tmp_path / "other.key"
    other.write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    settings = credentials(certs, **{k: str(other) if k == "key" else v for k, v in changes.items()})
    fragment = b"<p>a fragment, no head</p>"
    if generator == "sphinx":
        project = sphinx_project(tmp_path / "docs", **settings)
        (project / "extra").mkdir()
        (project / "extra" / "fragment.html").write_bytes(fragment)
        with open(project / "conf.py", "a") as conf:
            conf.write('html_extra_path = ["extra"]\n')
        built, out = run(["-m", "sphinx", "-b", "html", ".", "_build/html"], project, env), project / "_build" / "html"
    else:
        project = mkdocs_project(tmp_path / "docs", **settings)
        (project / "docs" / "fragment.html").write_bytes(fragment)
        built, out = run(["-m", "mkdocs", "build"], project, env), project / "site"
    assert built.returncode == status
    lines = [line for line in built.stderr.splitlines() if line.startswith("ERROR")]
    assert [line.split("-  ", 1)[-1] if generator == "mkdocs" else line for line in lines] == errors
    assert "Traceback" not in built.stderr
    if status == 0:
        assert (out / "fragment.html").read_bytes() == fragment
        assert brevane.extract((out / "index.html").read_bytes()) is not None
