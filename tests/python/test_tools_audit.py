"""`brevane audit`: signed sites served by Debian's nginx on loopback, rightly and in the ways deployments
break them; sitemaps and robots.txt as hostile input; how a served page differs from the signed one."""

from __future__ import annotations

import codecs
import datetime
import gzip
import json
import re
import shutil
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import needs_sdk  # noqa: F401  (first: skips the module where the SDK cannot run)
import pytest
from needs_sdk import ROOT

from brevane_tools import cli
from brevane_tools.auditing import crawling
from brevane_tools.auditing.diffing import difference
from brevane_tools.auditing.findings import CODES
from brevane_tools.auditing.links import page_links
from brevane_tools.auditing.sitemaps import MAX_ENTRIES, Robots, SitemapError, parse_sitemap
from web_servers import free_port, nginx, nginx_conf

PAGE = ("<!doctype html>\n<html>\n  <head>\n    <title>{title}</title>\n    <!-- built by the test -->\n"
        "  </head>\n  <body>\n    <p>A page   called {title}.</p>\n{links}  </body>\n</html>\n")
NO_TRANSFORM = 'add_header Cache-Control "no-transform";'
INSERTED = b"<script>track()</script>"


def page(title: str, *links: str) -> bytes:
    anchors = "".join(f'    <a href="{link}">{link}</a>\n' for link in links)
    return PAGE.format(title=title, links=anchors).encode()


def chain(directory: Path, days: int) -> Path:
    from make_test_certs import write_test_chain

    write_test_chain(directory, days)
    return directory


def sign(certs: Path, out: Path, pages: dict[str, bytes], *flags: str) -> None:
    source = out.parent / (out.name + ".src")
    for name, data in pages.items():
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        (source / name).write_bytes(data)
    argv = ["sign", "--quiet", "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert",
            str(certs / "chain.pem"), "--key", str(certs / "signer.key"), *flags, "-o", str(out), str(source)]
    assert cli.main(argv) == 0


def tls_certificate(directory: Path) -> tuple[Path, Path]:
    """A self-signed certificate for localhost (its own anchor) and its key, as PEM files."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName("localhost")]), False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), True)
            .sign(key, hashes.SHA256()))
    (directory / "tls.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    (directory / "tls.key").write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                          serialization.NoEncryption()))
    return directory / "tls.pem", directory / "tls.key"


def merge(into: Path, *trees: Path) -> None:
    for tree in trees:
        shutil.copytree(tree, into, dirs_exist_ok=True)


@dataclass(frozen=True)
class Deployment:
    clean: str  # a site served as it should be
    broken: str  # the same kind of site, served in every wrong way
    cdn: str  # a second origin, for stores, without CORS
    https: str  # https://localhost:PORT, its certificate in `tls`
    tls: Path
    signed: Path  # the signed tree of the broken site (--source)
    anchors: Path  # the roots the audit trusts


BROKEN = {
    # page: (what the served copy or the server does to it, the findings it must get)
    "inject.html": ["binding-mismatch"],  # sub_filter inserts a script
    "inline.html": ["binding-mismatch"],  # sub_filter inserts a script before an inline store
    "collapsed.html": ["binding-mismatch"],  # the served copy has its whitespace collapsed
    "octet.html": ["store-type"],  # its store served as application/octet-stream
    "gzipped.html": ["store-type", "store-encoding"],  # its store a gzip file, served as application/gzip
    "coded.html": ["store-encoding"],  # its store compressed in transit (gzip on)
    "moved.html": ["redirect"],  # 301, 301, then target.html
    "conflict.html": ["link-conflict"],  # a Link header names another store than the element
    "header.html": ["unsigned"],  # signed --form header, its Link header rule not deployed
    "cors.html": ["store-cors"],  # its store on the second origin, without CORS
    "nostore.html": ["store-missing"],  # its store not deployed
    "expiring.html": ["certificate-expiring"],  # a certificate that ends within 30 days, no time-stamp
    "stranger.html": ["untrusted"],  # signed by a chain the audit does not trust
}


@pytest.fixture(scope="module")
def deployment(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Deployment]:
    work = tmp_path_factory.mktemp("audit")
    lasting, short, stranger = (chain(work / name, days) for name, days in
                                (("lasting", 400), ("short", 30), ("stranger", 400)))
    anchors = work / "anchors.pem"
    anchors.write_bytes((lasting / "root.pem").read_bytes() + (short / "root.pem").read_bytes())
    clean_port, broken_port, cdn_port, https_port = free_port(), free_port(), free_port(), free_port()
    clean, broken, cdn = (f"http://127.0.0.1:{p}" for p in (clean_port, broken_port, cdn_port))
    tls, tls_key = tls_certificate(work)

    # The clean site: link and header forms, robots.txt, a sitemap index naming a gzip sitemap.
    sign(lasting, work / "clean-link", {"index.html": page("Home", "about.html", "h.html", "private/secret.html",
                                                             "http://elsewhere.invalid/"),
                                         "about.html": page("About", "index.html")})
    sign(lasting, work / "clean-header", {"h.html": page("Header")}, "--form", "header")
    merge(work / "clean", work / "clean-link", work / "clean-header")
    # An https page whose store, on the clean site's http origin (CORS allowed there), is named by an http URL.
    sign(lasting, work / "secure", {"mixed.html": page("Mixed")}, "--href", f"http://localhost:{clean_port}/{{path}}.c2pa",
         "--store-dir", str(work / "clean"))
    (work / "clean" / "robots.txt").write_text(
        f"User-agent: *\nDisallow: /\n\nUser-agent: brevane\nDisallow: /private/\n\nSitemap: {clean}/maps/index.xml\n")
    (work / "clean" / "maps").mkdir()
    (work / "clean" / "maps" / "index.xml").write_text(
        '<?xml version="1.0"?><sitemapindex xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">'
        f"<sitemap><loc>{clean}/maps/pages.xml.gz</loc></sitemap></sitemapindex>")
    urls = "".join(f"<url><loc>{clean}/{name}</loc><lastmod>2026-12-0{i}</lastmod></url>"
                   for i, name in enumerate(("", "about.html", "h.html", "private/secret.html"), 1))
    (work / "clean" / "maps" / "pages.xml.gz").write_bytes(gzip.compress(
        f'<urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">{urls}'
        "<url><loc>http://elsewhere.invalid/x.html</loc></url></urlset>".encode()))

    # The broken site: signed as it should be, then served wrongly.
    names = [n for n in BROKEN if n not in ("header.html", "cors.html", "expiring.html", "stranger.html",
                                            "inline.html", "moved.html")] + ["target.html"]
    sign(lasting, work / "s-link", {n: page(n) for n in names})
    sign(lasting, work / "s-inline", {"inline.html": page("inline")}, "--form", "inline")
    sign(lasting, work / "s-header", {"header.html": page("header")}, "--form", "header")
    sign(lasting, work / "s-cors", {"cors.html": page("cors")}, "--href", f"{cdn}/{{path}}.c2pa",
         "--store-dir", str(work / "cdn"))
    sign(short, work / "s-short", {"expiring.html": page("expiring")})
    sign(stranger, work / "s-stranger", {"stranger.html": page("stranger")})
    signed = work / "signed"
    merge(signed, *(work / f"s-{n}" for n in ("link", "inline", "header", "cors", "short", "stranger")))
    for rules in signed.glob("c2pa.*"):
        rules.unlink()  # the header page's rules are what this deployment lost
    served = work / "served"
    merge(served, signed)
    collapsed = served / "collapsed.html"
    collapsed.write_bytes(re.sub(rb"\s+", b" ", collapsed.read_bytes()))
    store = served / "gzipped.html.c2pa"
    store.write_bytes(gzip.compress(store.read_bytes()))
    (served / "nostore.html.c2pa").unlink()
    # robots.txt may name sitemaps elsewhere, but cannot send the audit to a private address.
    (served / "robots.txt").write_text("Sitemap: http://10.255.255.1/map.xml\n")
    entries = "".join(f"<url><loc>{broken}/{name}</loc></url>" for name in BROKEN)
    (served / "sitemap.xml").write_text(f'<urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">{entries}</urlset>')

    def exact(path: str, *rules: str) -> str:
        return f"location = {path} {{ {NO_TRANSFORM} {' '.join(rules)} }}\n"

    servers = (
        # The clean site answers brevane's User-Agent only; the CDN store requests that carry an Origin only.
        f"server {{ listen 127.0.0.1:{clean_port}; root {work}/clean; {NO_TRANSFORM} "
        f'if ($http_user_agent !~ "^brevane/[0-9.]+ ") {{ return 403; }} '
        f"include {work}/clean/c2pa.nginx.conf;\n"
        f'  location ~ \\.c2pa$ {{ {NO_TRANSFORM} add_header Access-Control-Allow-Origin "*"; }} }}\n'
        f"server {{ listen 127.0.0.1:{https_port} ssl; ssl_certificate {tls}; ssl_certificate_key {tls_key}; "
        f"root {work}/secure; {NO_TRANSFORM} }}\n"
        f'server {{ listen 127.0.0.1:{cdn_port}; root {work}/cdn; {NO_TRANSFORM} if ($http_origin != "{broken}") '
        "{ return 403; } }\n"
        f"server {{ listen 127.0.0.1:{broken_port}; root {served}; {NO_TRANSFORM}\n"
        + exact("/inject.html", "sub_filter '</head>' '<script>track()</script></head>';")
        + exact("/inline.html", "sub_filter '<title>' '<script>track()</script><title>';")
        + exact("/octet.html.c2pa", "types { } default_type application/octet-stream;")
        + exact("/gzipped.html.c2pa", "types { } default_type application/gzip;")
        + exact("/coded.html.c2pa", "gzip on; gzip_types application/c2pa; gzip_min_length 1;")
        + exact("/moved.html", "return 301 /moved2.html;")
        + exact("/moved2.html", "return 301 /target.html;")
        + exact("/conflict.html", "add_header Link '</other.html.c2pa>; rel=\"c2pa-manifest\"';")
        + "}\n"
    )
    conf = nginx_conf(work / "nginx", servers, f"include {work}/clean/c2pa.nginx.http.conf;")
    with nginx(conf, [clean_port, broken_port, cdn_port, https_port]):
        yield Deployment(clean, broken, cdn, f"https://localhost:{https_port}", tls, signed, anchors)


def audit(deployment: Deployment, capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, dict[str, Any]]:
    capsys.readouterr()
    status = cli.main(["audit", "--json", "--trust-anchors", str(deployment.anchors), *argv])
    return status, json.loads(capsys.readouterr().out)


def codes(document: dict[str, Any]) -> dict[str, list[str]]:
    return {entry["path"].rsplit("/", 1)[-1]: [f["code"] for f in entry["findings"]] for entry in document["files"]}


# --- A deployment, audited ---

def test_a_site_served_rightly_audits_clean_from_its_root(deployment: Deployment,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    status, document = audit(deployment, capsys, deployment.clean + "/")
    by_page = {entry["path"]: entry for entry in document["files"]}
    assert status == 0
    assert sorted(by_page) == [f"{deployment.clean}/{n}" for n in ("", "about.html", "h.html", "private/secret.html")]
    assert {p: (e["ok"], e.get("state"), e["findings"], e.get("lastmod")) for p, e in by_page.items()} == {
        f"{deployment.clean}/": (True, "Trusted", [], "2026-12-01"),
        f"{deployment.clean}/about.html": (True, "Trusted", [], "2026-12-02"),
        f"{deployment.clean}/h.html": (True, "Trusted", [], "2026-12-03"),
        f"{deployment.clean}/private/secret.html": (True, None, [], "2026-12-04"),
    }
    assert by_page[f"{deployment.clean}/h.html"]["source"] == "header"
    assert by_page[f"{deployment.clean}/private/secret.html"]["skipped"] == \
        f"disallowed by {deployment.clean}/robots.txt for brevane"
    assert document["summary"] == "3 pages audited: 3 trusted; 1 skipped; 1 on other hosts left out; no findings"


def test_every_way_a_deployment_breaks_is_found_once_on_its_page(deployment: Deployment,
                                                                  capsys: pytest.CaptureFixture[str]) -> None:
    status, document = audit(deployment, capsys, f"{deployment.broken}/sitemap.xml", "--source",
                             str(deployment.signed))
    assert status == 1
    assert codes(document) == BROKEN
    errors = {page for page, found in BROKEN.items() if {CODES[code][0] for code in found} & {"error"}}
    assert {e["path"].rsplit("/", 1)[-1] for e in document["files"] if not e["ok"]} == errors
    assert document["failed"] == len(errors) == 6
    messages = {entry["path"].rsplit("/", 1)[-1]: entry["findings"][0]["message"] for entry in document["files"]}
    signed = (deployment.signed / "inject.html").read_bytes()
    offset = signed.index(b"</head>")
    assert messages["inject.html"] == (
        f"the served page first differs from the signed one at byte {offset:,} ({len(signed) + len(INSERTED):,} bytes served, "
        f"{len(signed):,} signed): a script inserted: '<script>track()</script>'")
    assert messages["collapsed.html"].endswith(": whitespace collapsed")
    assert messages["moved.html"] == (f"the page is reached through 2 redirects: {deployment.broken}/moved.html (301) "
                                      f"-> {deployment.broken}/moved2.html (301) -> {deployment.broken}/target.html")
    assert messages["header.html"].endswith("the signed tree has a store for it (header.html.c2pa): "
                                            "its Link header is missing")
    assert messages["cors.html"] == (
        f"the store at {deployment.cdn}/cors.html.c2pa is on {deployment.cdn}, and answers the page's origin "
        f"{deployment.broken} with no Access-Control-Allow-Origin: verifiers in a browser cannot read it")
    assert messages["gzipped.html"] == (f"the store at {deployment.broken}/gzipped.html.c2pa is served as "
                                        "'application/gzip', not application/c2pa")
    assert document["findings"] == {code: sum(c.count(code) for c in BROKEN.values())
                                    for code in {c for cs in BROKEN.values() for c in cs}}


def test_without_the_signed_tree_a_binding_failure_says_where_the_element_went(
    deployment: Deployment, capsys: pytest.CaptureFixture[str]
) -> None:
    pages = [f"{deployment.broken}/{name}" for name in ("inline.html", "inject.html")]
    status, document = audit(deployment, capsys, *pages)
    found = {entry["path"]: entry["findings"][0]["message"] for entry in document["files"]}
    inline, injected = (found[url] for url in pages)
    element = (deployment.signed / "inline.html").read_bytes().index(b"<script")
    assert status == 1
    assert inline == (f"the page changed before the manifest element (the element moved from byte {element} to "
                      f"byte {element + len(INSERTED)}) [assertion.dataHash.malformed]")
    assert injected.startswith("data hash does not match the document content [assertion.dataHash.mismatch]; "
                               "the manifest element is now at bytes ")


def test_an_https_page_with_an_http_store_is_mixed_content(deployment: Deployment, capsys: pytest.CaptureFixture[str],
                                                          monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(deployment.tls))
    status, document = audit(deployment, capsys, f"{deployment.https}/mixed.html")
    (entry,) = document["files"]
    assert (status, entry["state"], entry["findings"]) == (0, "Trusted", [{
        "code": "mixed-content", "severity": "warning",
        "message": f"the https page names its store at {deployment.clean.replace('127.0.0.1', 'localhost')}"
                   "/mixed.html.c2pa, over http",
        "fix": "serve the stores of https pages over https"}])


@pytest.mark.parametrize(("page", "flags", "status"), [
    ("octet.html", [], 0),  # a warning passes by default
    ("octet.html", ["--fail-on", "warning"], 1),
    ("moved.html", ["--fail-on", "warning"], 0),  # an info passes --fail-on warning
    ("moved.html", ["--fail-on", "info"], 1),
    ("stranger.html", [], 1),
])
def test_the_exit_status_follows_fail_on(deployment: Deployment, capsys: pytest.CaptureFixture[str],
                                         page: str, flags: list[str], status: int) -> None:
    assert audit(deployment, capsys, f"{deployment.broken}/{page}", *flags)[0] == status


def test_the_text_output_shows_each_finding_with_its_fix_and_counts_per_code(
    deployment: Deployment, capsys: pytest.CaptureFixture[str]
) -> None:
    capsys.readouterr()
    assert cli.main(["audit", "--trust-anchors", str(deployment.anchors), f"{deployment.broken}/gzipped.html"]) == 0
    out, err = capsys.readouterr()
    store = f"{deployment.broken}/gzipped.html.c2pa"
    assert out == (
        f"{deployment.broken}/gzipped.html: Trusted, 2 findings\n"
        f"  warning store-type: the store at {store} is served as 'application/gzip', not application/c2pa\n"
        "    fix: serve .c2pa files as application/c2pa\n"
        f"  warning store-encoding: the store at {store} is a gzip file served without Content-Encoding: gzip: "
        "verifiers get the compressed bytes, not the store\n"
        "    fix: serve stores as they are: no compression (gzip off for application/c2pa), no precompressed files, "
        "no transforming proxy\n"
    )
    assert err == ("1 page audited: 1 trusted; findings:\n"
                   "  warning  store-type            1\n"
                   "  warning  store-encoding        1\n")


@pytest.mark.parametrize(("depth", "pages"), [
    (0, ["index.html"]),
    (1, ["index.html", "about.html", "h.html", "secret.html"]),  # elsewhere.invalid is another origin
])
def test_a_crawl_follows_same_origin_links_to_its_depth(deployment: Deployment, capsys: pytest.CaptureFixture[str],
                                                         depth: int, pages: list[str]) -> None:
    status, document = audit(deployment, capsys, f"{deployment.clean}/index.html", "--crawl", "--depth", str(depth))
    assert status == 0
    assert sorted(codes(document)) == sorted(pages)
    assert all(not found for found in codes(document).values())


def test_a_crawl_stops_at_max_pages(deployment: Deployment, capsys: pytest.CaptureFixture[str]) -> None:
    status, document = audit(deployment, capsys, f"{deployment.clean}/index.html", "--crawl", "--max-pages", "2")
    assert (status, sorted(codes(document))) == (0, ["about.html", "index.html"])
    assert document["summary"] == "2 pages audited: 2 trusted; the crawl stopped at --max-pages; no findings"


def test_max_pages_bounds_the_audit(deployment: Deployment, capsys: pytest.CaptureFixture[str]) -> None:
    status, document = audit(deployment, capsys, f"{deployment.broken}/sitemap.xml", "--max-pages", "2")
    assert (len(document["files"]), document["summary"].endswith(f"; {len(BROKEN) - 2} left by --max-pages; "
                                                                "findings:")) == (2, True)
    assert status == 1  # the first two, inject.html and inline.html, fail their bindings


def test_the_report_shows_the_findings_per_page(deployment: Deployment, tmp_path: Path,
                                                capsys: pytest.CaptureFixture[str]) -> None:
    report = tmp_path / "audit.html"
    audit(deployment, capsys, f"{deployment.broken}/octet.html", f"{deployment.broken}/header.html",
          "--report", str(report))
    html = report.read_text()
    assert html.count('<ul class="findings">') == 2
    assert "<code>warning store-type</code>: the store at " in html
    assert "<code>warning unsigned</code>: the page carries no manifest" in html
    assert "<title>brevane audit: 2 pages, 1 not valid</title>" in html


@pytest.mark.parametrize(("argv", "message"), [
    (["{broken}/none.xml"], "the sitemap at {broken}/none.xml could not be fetched: HTTP 404 Not Found"),
    (["{broken}/inject.xml"], None),  # not XML: said by the parser, with where
    (["{broken}/"], "the sitemap at http://10.255.255.1/map.xml is on a private address (10.255.255.1), not "
     "fetched: pass --allow-private-hosts to allow it"),
    (["ftp://example.com/"], "ftp://example.com/ is not an http or https URL"),
    (["{broken}/", "--source", "/nonexistent"], "--source /nonexistent is not a directory"),
])
def test_a_sitemap_that_cannot_be_read_and_bad_arguments_exit_2(
    deployment: Deployment, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    if "inject.xml" in argv[0]:
        (deployment.signed.parent / "served" / "inject.xml").write_bytes(b"<urlset><url>")
    capsys.readouterr()
    assert cli.main(["audit", *(a.format(broken=deployment.broken) for a in argv)]) == 2
    err = capsys.readouterr().err
    if message is None:
        assert err == f"brevane: the sitemap {deployment.broken}/inject.xml is not well-formed XML: no element " \
            "found (line 1, column 13)\n"
    else:
        assert err == f"brevane: {message.format(broken=deployment.broken)}\n"


def test_the_rate_spaces_the_requests_to_each_host() -> None:
    now = [100.0]
    waits: list[float] = []
    pace = crawling.HostPace(4.0, lambda: now[0], waits.append)
    for url in ("http://a.example/1", "http://a.example/2", "http://b.example/1", "http://A.example/3"):
        pace(url)
    now[0] += 10.0  # an idle host starts afresh
    pace("http://a.example/4")
    assert waits == [0.25, 0.5]
    crawling.HostPace(0.0)("http://a.example/5")  # no --rate: never a wait
    assert waits == [0.25, 0.5]


# --- Sitemaps and robots.txt, as hostile input ---

def urlset(count: int, tag: str = "urlset", entry: str = "url") -> bytes:
    rows = "".join(f"<{entry}><loc>https://site.example/{i}.html</loc></{entry}>" for i in range(count))
    return f'<?xml version="1.0"?><{tag} xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">{rows}</{tag}>'.encode()


def test_a_sitemap_of_50000_entries_is_read_and_one_more_is_refused() -> None:
    index, entries = parse_sitemap(gzip.compress(urlset(MAX_ENTRIES)), "s")
    assert (index, len(entries), entries[-1].loc) == (False, MAX_ENTRIES, f"https://site.example/{MAX_ENTRIES - 1}.html")
    with pytest.raises(SitemapError) as refused:
        parse_sitemap(urlset(MAX_ENTRIES + 1), "s")
    assert str(refused.value) == "the sitemap s has more than 50,000 entries"


@pytest.mark.parametrize(("body", "message"), [
    (gzip.compress(b"<urlset>" + b" " * (51 << 20) + b"</urlset>"),
     "the sitemap s unpacks to more than 52,428,800 bytes (refused as a gzip bomb)"),
    (b'<?xml version="1.0"?><!DOCTYPE u [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]>'
     b"<urlset><url><loc>&b;</loc></url></urlset>", "the sitemap s declares a document type (entities are refused)"),
    (b'<!DOCTYPE u SYSTEM "file:///etc/passwd"><urlset/>', "the sitemap s declares a document type (entities are refused)"),
    (codecs.BOM_UTF16_LE + '<!DOCTYPE u [<!ENTITY a "x">]><urlset/>'.encode("utf-16-le"),
     "the sitemap s declares a document type (entities are refused)"),
    (gzip.compress(urlset(1))[:-12], "the sitemap s is a truncated gzip file"),
    (b"<html><body>not found</body></html>", "the sitemap s is neither a <urlset> nor a <sitemapindex>: <html>"),
    (b"", "the sitemap s is not well-formed XML: no element found (line 1, column 0)"),
    (b"<urlset>" + b"<x>" * 20, "the sitemap s nests its elements more than 16 deep"),
])
def test_hostile_sitemaps_are_refused(body: bytes, message: str) -> None:
    with pytest.raises(SitemapError) as refused:
        parse_sitemap(body, "s")
    assert str(refused.value) == message


def test_an_index_names_sitemaps_with_their_lastmod() -> None:
    body = urlset(2, "sitemapindex", "sitemap").replace(b"</loc>", b"</loc><lastmod> 2026-01-02 </lastmod>", 1)
    index, entries = parse_sitemap(body, "s")
    assert (index, [(e.loc, e.lastmod) for e in entries]) == (
        True, [("https://site.example/0.html", "2026-01-02"), ("https://site.example/1.html", None)])


ROBOTS = """# comments and unknown fields are ignored
User-agent: *
Disallow: /

User-agent: Brevane/9.9
User-agent: other
Disallow: /private/
Allow: /private/open
Disallow: /*.pdf$
Disallow: /q?
Crawl-delay: 10
Sitemap: https://site.example/map.xml
"""


@pytest.mark.parametrize(("path", "allowed"), [
    ("/", True), ("/page.html", True), ("/private/x.html", False), ("/private/open.html", True),
    ("/a/b.pdf", False), ("/a/b.pdf?x", True), ("/q?x=1", False), ("/%70rivate/x", False), ("/robots.txt", True),
])
def test_robots_txt_applies_its_longest_rule_for_brevane(path: str, allowed: bool) -> None:
    robots = Robots.parse(ROBOTS, "brevane")
    assert robots.allows("https://site.example" + path) is allowed
    assert robots.sitemaps == ("https://site.example/map.xml",)
    assert Robots.parse(ROBOTS, "someone").allows("https://site.example/page.html") is False  # the * group


def test_a_hostile_robots_pattern_costs_no_more_than_its_length_times_the_path() -> None:
    # As a regular expression, 30 ".*a" before a miss would take exponential time.
    robots = Robots.parse("User-agent: brevane\nDisallow: /" + "*a" * 30 + "$\n", "brevane")
    assert robots.allows("https://site.example/" + "a" * 5000 + "b") is True
    assert robots.allows("https://site.example/" + "a" * 5000) is False


# --- The links a crawl follows ---

@pytest.mark.parametrize(("markup", "links"), [
    (b'<a href="x.html">x</a><A HREF=\'y.html#top\'>y</A><area shape=rect href=z/>',
     ["https://site.example/d/x.html", "https://site.example/d/y.html", "https://site.example/d/z/"]),
    (b'<a data-href="no" title=">">no</a><abbr href="no"><a\nhref = "&#x2F;abs&amp;q">', ["https://site.example/abs&q"]),
    (b'<a href="javascript:alert(1)"><a href="mailto:x@y"><a href="http://[::1">x</a><a href="x.html"><a href=x.html>',
     ["https://site.example/d/x.html"]),
    (b'<head><base href="https://cdn.example/b/"></head><a href="p.html">', ["https://cdn.example/b/p.html"]),
    (b"<a " * 200_000, []),  # no tag ever ends: one linear scan, no link
])
def test_a_crawl_reads_the_links_of_a_page(markup: bytes, links: list[str]) -> None:
    assert page_links(markup, "https://site.example/d/page.html") == links


# --- How a served page differs from the signed one ---

SIGNED = b"<html>\n<head>\n  <!-- note -->\n  <title>Caf\xc3\xa9</title>\n</head>\n<body>  <p>text</p>\n</body></html>\n"


@pytest.mark.parametrize(("served", "at", "diagnosis"), [
    (SIGNED.replace(b"</head>", b"<script src=t.js></script></head>"), b"</head>",
     "a script inserted: '<script src=t.js></script>'"),
    (SIGNED.replace(b"<body>", b"<body><div id=consent></div>"), b"  <p>", "an element inserted: '<div id=consent></div>'"),
    (SIGNED.replace(b"<!-- note -->", b""), b"<!--", "a comment removed: '<!-- note -->'"),
    (re.sub(rb"\s+", b" ", SIGNED), b"\n", "whitespace collapsed"),
    (re.sub(rb"\s+", b" ", SIGNED.replace(b"<!-- note -->", b"")), b"\n", "whitespace collapsed and comments removed"),
    (SIGNED.decode().encode("cp1252"), b"\xc3", "re-encoded (cp1252)"),
    (codecs.BOM_UTF8 + SIGNED, b"<html>", "re-encoded (a byte order mark added)"),
    (SIGNED.replace(b"text", b"TEXT"), b"text", "other: signed 'text</p>\\n</body></html>\\n', served 'TEXT</p>\\n</body></html>\\n'"),
])
def test_the_first_difference_is_found_and_diagnosed(served: bytes, at: bytes, diagnosis: str) -> None:
    found = difference(SIGNED, served)
    assert found is not None
    assert (found.offset, found.diagnosis) == (SIGNED.index(at), diagnosis)
    assert difference(SIGNED, SIGNED) is None


def test_a_site_whose_robots_txt_cannot_be_had_is_left_alone_and_nothing_audited(
    capsys: pytest.CaptureFixture[str]
) -> None:
    closed = f"http://127.0.0.1:{free_port()}"
    assert cli.main(["audit", f"{closed}/page.html", "--timeout", "5"]) == 2
    out, err = capsys.readouterr()
    assert out.startswith(f"{closed}/page.html: skipped: robots.txt at {closed}/robots.txt could not be fetched: ")
    assert out.endswith(f": nothing of {closed} is fetched until it can be read\n")
    assert err == "0 pages audited; 1 skipped; no findings\nbrevane: no page was audited\n"
