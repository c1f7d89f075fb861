"""The header form's server rules, served by Debian's nginx and Apache: a site with access rules and
headers of its own, and names made to break rule files, served with the rules and without them."""

from __future__ import annotations

import contextlib
import hashlib
import http.client
import json
import os
import re
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Optional
from urllib.parse import quote, unquote_to_bytes

import pytest

if sys.version_info < (3, 10):
    pytest.skip("the C2PA SDK's Python binding needs CPython 3.10 or later", allow_module_level=True)
pytest.importorskip("c2pa")

from brevane_tools import cli  # noqa: E402
from brevane_tools.integrations import precommit  # noqa: E402
from brevane_tools.store_location import shown  # noqa: E402
from test_tools_forms import sign  # noqa: E402
from test_tools_integrations import certs  # noqa: E402,F401
from web_servers import apache, apache_conf, free_port, htpasswd, nginx, nginx_conf, readable_directory  # noqa: E402

PAGE = b"<!doctype html><html><head><title>t</title></head><body>%d</body></html>"
# Names made to break rule files: each syntax's quotes, escapes, comments, variables and regex
# delimiters, URL delimiters, bytes that are not UTF-8, and line breaks beyond ASCII's.
HOSTILE = [c.encode() + b".html" for c in "#\\\"';{}$%? <>&+=@!*()[]^`|~,:"] + [
    b"C#.html", b"x\\.html", b"a\"b.html", b"$uri.html", b"${uri}.html", b"%41.html", b"%%.html", b"%{REQUEST_URI}.html",
    b"a b.html", b" lead.html", b"trail .html", b"q?x=1.html", b"#frag.html", b"m#.*#.html", b"back\\\\slash.html",
    b"\\n.html", b"semi;colon.html", b"{}.html", b"default.html", b"include.html", b"~regex.html", b"-.html",
    "nel\u0085.html".encode(), "ls\u2028.html".encode(), "ps\u2029.html".encode(), "bom\ufeff.html".encode(),
    "rtl\u202e.html".encode(), "caf\u00e9.html".encode(), "\u65e5\u672c.html".encode(), "\U0001f600.html".encode(),
    b"\xff\xfe.html", b"\xc3(.html", b"x.c2pa.html", b"..html", b"<script>.html", b"a'b\"c.html", b"Case.html",
    b"UPPER.html", b"upper.html", b"tab\t.html", b"cr\r.html", b"lf\n.html", b"soh\x01.html", b"del\x7f.html",
    b"esc\x1b[31m.html", b"d#ir/index.html", b"d;ir/x$.html", b"sp ace/i\\n.htm", b"x" * 200 + b".html",
    b"$" * 150 + b"/" + b"$" * 150 + b".html",
]
SIGNED = HOSTILE + [b"lower.html", b"Solo.html", b"a.html", b"guide/index.html", b"private/payroll.html", b"secret/staff.html",
                    b"assets/page.html", b"media/page.html", b"old/page.html",
                    b"moved.html", b"hidden.html"]
# A URL that a rewrite of the server's own serves from another page's file: its Link, if any, is the file's.
REWRITTEN = (b"old/page.html", b"a.html")
# Names that differ from signed ones only in case (nginx's map ignores case: the rules must not).
UNSIGNED = {b"case.html": PAGE % 0, b"LOWER.html": PAGE % 1, b"static.txt": b"a small static file\n"}
RULE_PATHS = ["/c2pa.nginx.conf", "/c2pa.nginx.http.conf", "/c2pa.apache.conf", "/_headers", "/.htaccess",
              "//c2pa.nginx.conf"]
AUTH = "Basic " + __import__("base64").b64encode(b"staff:s3cret").decode()
URL_CHARACTERS = re.compile(r"[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=%]+")  # a URL's own: reserved, unreserved, escapes
SITE_HEADERS = ("x-frame-options", "strict-transport-security", "www-authenticate", "cache-control")


def url(relative: bytes) -> str:
    return "/" + quote(relative, safe="/")


@dataclass(frozen=True)
class Served:
    site: Path
    ports: dict[str, tuple[int, int]]  # server -> (without the rules, with them)
    warnings: str


NGINX_SERVER = """server {{ listen 127.0.0.1:{port}; root {site}; {include}
    add_header X-Frame-Options DENY always; add_header Strict-Transport-Security "max-age=60" always;
    add_header Link "</style.css>; rel=preload";
    location /private/ {{ deny all; }}
    location /secret/ {{ auth_basic staff; auth_basic_user_file {htpasswd}; }}
    location ^~ /assets/ {{ add_header Cache-Control "max-age=60"; }}
    location ^~ /media/ {{ add_header Cache-Control "max-age=60"; {media} }}
    location ~ \\.txt$ {{ }}
    location = /old/page.html {{ rewrite ^ /a.html last; }}
    location = /moved.html {{ return 301 /a.html; }}
    location = /hidden.html {{ deny all; }}
}}"""
APACHE_HOST = """Listen 127.0.0.1:{port}
<VirtualHost 127.0.0.1:{port}>
    DocumentRoot {site}
    Header always set X-Frame-Options DENY
    Header always set Strict-Transport-Security "max-age=60"
    Header set Link "</style.css>; rel=preload"
    RewriteEngine On
    RewriteRule ^/old/page\\.html$ /a.html
    Redirect /moved.html /a.html
    <Files "hidden.html">
        Require all denied
    </Files>
    <Directory {site}>
        Options MultiViews
        Require all granted
        AllowOverride {override}
    </Directory>
    <Location /private/>
        Require all denied
    </Location>
    <Directory {site}/secret>
        AuthType Basic
        AuthName staff
        AuthUserFile {htpasswd}
        Require valid-user
    </Directory>
    {include}
</VirtualHost>
"""


@pytest.fixture(scope="module")
def served(certs: Path) -> Iterator[Served]:  # noqa: F811
    """A hostile site signed in the header form, served by nginx and Apache, each with the rules and without."""
    with readable_directory() as top, contextlib.ExitStack() as stack:
        source = top / "source"
        for number, name in enumerate(SIGNED):
            path = source / os.fsdecode(name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(PAGE % number)
        for name, data in UNSIGNED.items():
            (source / os.fsdecode(name)).write_bytes(data)
        site = top / "site"
        errors = __import__("io").StringIO()
        with contextlib.redirect_stderr(errors):
            assert sign(certs, "--form", "header", "--exclude", "/case.html", "--exclude", "/LOWER.html", "-o", str(site), str(source)) == 0
        htpasswd(top / "htpasswd", "staff", "s3cret")
        ports = {kind: (free_port(), free_port()) for kind in ("nginx", "apache", "htaccess")}
        for ruled, port in enumerate(ports["nginx"]):
            servers = NGINX_SERVER.format(
                port=port, site=site, htpasswd=top / "htpasswd",
                include=f"include {site}/c2pa.nginx.conf;" if ruled else "",
                media="add_header Link $c2pa_link;" if ruled else "")
            conf = nginx_conf(top / f"nginx{ruled}", servers, f"include {site}/c2pa.nginx.http.conf;" if ruled else "")
            stack.enter_context(nginx(conf, [port]))
        hosts = [
            APACHE_HOST.format(port=ports["apache"][0], site=site, htpasswd=top / "htpasswd", override="None", include=""),
            APACHE_HOST.format(port=ports["apache"][1], site=site, htpasswd=top / "htpasswd", override="None",
                               include=f"Include {site}/c2pa.apache.conf"),
            APACHE_HOST.format(port=ports["htaccess"][1], site=site, htpasswd=top / "htpasswd", override="FileInfo",
                               include=""),
        ]
        ports["htaccess"] = (ports["apache"][0], ports["htaccess"][1])
        stack.enter_context(apache(apache_conf(top / "apache", "".join(hosts)), [ports["apache"][1]]))
        yield Served(site, ports, errors.getvalue())


@dataclass(frozen=True)
class Answer:
    status: int
    headers: dict[str, str]
    links: list[str]
    body: str  # a digest


def fetch(port: int, path: str, authorization: Optional[str] = None) -> Answer:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("GET", path, headers={"Authorization": authorization} if authorization else {})
        response = connection.getresponse()
        body = response.read()
        headers = {k.lower(): v for k, v in response.getheaders()}
        return Answer(response.status, headers, response.headers.get_all("Link") or [],
                      hashlib.sha256(body).hexdigest())
    finally:
        connection.close()


def requests() -> list[tuple[str, Optional[str], Optional[bytes]]]:
    """(path, authorization, the page whose store the Link names if any) for every request the table makes."""
    made: list[tuple[str, Optional[str], Optional[bytes]]] = []
    for name in SIGNED:
        made.append((url(name), AUTH if name.startswith(b"secret/") else None,
                     REWRITTEN[1] if name == REWRITTEN[0] else name))
        if name.endswith(b"/index.html"):
            made.append((url(name[: -len(b"index.html")]), None, name))
    made += [(url(b"secret/staff.html"), None, None), (url(b"case.html"), None, None), (url(b"LOWER.html"), None, None),
             (url(b"solo.html"), None, None), (url(b"hidden"), None, None),
             (url(b"static.txt"), None, None), (url(b"private/payroll.html.c2pa"), None, None),
             (url(b"secret/staff.html.c2pa"), None, None), (url(b"missing.html"), None, None),
             *((path, None, None) for path in RULE_PATHS)]
    return made


@pytest.mark.parametrize("server", ["nginx", "apache", "htaccess"])
def test_the_rules_add_each_page_its_link_and_change_nothing_else(served: Served, server: str) -> None:
    plain_port, ruled_port = served.ports[server]
    wrong: list[tuple[object, ...]] = []
    for path, authorization, page in requests():
        plain, ruled = fetch(plain_port, path, authorization), fetch(ruled_port, path, authorization)
        if path in RULE_PATHS:  # the rules deny their own files, whatever the server would do
            if ruled.status not in (403, 404):
                wrong.append((path, "a rule file served", ruled.status))
            continue
        kept = [(k, plain.headers.get(k)) for k in SITE_HEADERS]
        body = (plain.body, ruled.body) if plain.status // 100 != 3 else ("", "")  # a redirect's names its port
        if (ruled.status, body[1], [(k, ruled.headers.get(k)) for k in SITE_HEADERS]) != (plain.status, body[0], kept):
            wrong.append((path, "changed", plain, ruled))
        if ruled.status >= 500:
            wrong.append((path, "a server error", ruled))
        # The site's own Link header stays as it is; the rules' comes beside it (Apache: in the same field).
        links = [link for field in ruled.links for link in re.split(r",\s*(?=<)", field)]
        ours = [link for link in links if link.endswith('rel="c2pa-manifest"')]
        if [link for link in links if link not in ours] != [link for f in plain.links for link in re.split(r",\s*(?=<)", f)]:
            wrong.append((path, "the site's links", plain.links, ruled.links))
        # A line feed in a name cannot stand in nginx's map: that page is left out (and warned of).
        if page is None or ruled.status != 200 or (server == "nginx" and (
                path.startswith("/assets/") or b"\n" in page or page.startswith(b"$" * 150))):
            if ours:
                wrong.append((path, "a link without a store", ours))
            continue
        if path == url(REWRITTEN[0]) and server != "nginx" and not ours:
            continue  # Apache's rewrite keeps the request's path, which the file no longer matches: no Link then
        if len(ours) != 1:
            wrong.append((path, "links", ruled.links))
            continue
        target = re.fullmatch(r'<([^<>"]+)>; rel="c2pa-manifest"', ours[0])
        if target is None or not URL_CHARACTERS.fullmatch(target[1]) or \
                unquote_to_bytes(target[1]) != b"/" + page + b".c2pa":
            wrong.append((path, "link", ruled.links))
            continue
        store = fetch(ruled_port, target[1], authorization)
        stored = hashlib.sha256((served.site / (os.fsdecode(page) + ".c2pa")).read_bytes()).hexdigest()
        if (store.status, store.headers.get("content-type"), store.body) != (200, "application/c2pa", stored):
            wrong.append((path, "store", store))
    assert wrong == []


@pytest.mark.parametrize("server", ["nginx", "apache", "htaccess"])
@pytest.mark.parametrize("page", [b"C#.html", b"x\\.html", b"semi;colon.html", b",.html", "nel\u0085.html".encode(), b"\xff\xfe.html",
                                  b"guide/index.html"])
def test_check_by_url_and_on_disk_agree(served: Served, certs: Path, capsys: pytest.CaptureFixture[str],  # noqa: F811
                                        server: str, page: bytes) -> None:
    anchors = ["--trust-anchors", str(certs / "root.pem")]
    base = f"http://127.0.0.1:{served.ports[server][1]}"
    on_disk = served.site / os.fsdecode(page)
    assert cli.main(["check", "--json", base + url(page), str(on_disk), *anchors]) == 0
    by_url, by_file = json.loads(capsys.readouterr().out)["files"]
    assert (by_url["state"], by_url["source"]) == ("Trusted", "header")
    assert (by_file["state"], by_file["codes"], by_file["source"]) == ("Trusted", by_url["codes"], "beside")
    assert by_file["store_location"] == shown(Path(str(on_disk) + ".c2pa"))


def test_the_site_is_signed_whole_and_warned_of_its_headers_limit(served: Served) -> None:
    rules = (served.site / "_headers").read_text(errors="surrogateescape").count("\n  Link: ")
    assert f"holds {rules + len(SIGNED):,} rules" in served.warnings
    assert "Cloudflare Pages reads the first 100" in served.warnings
    assert "1 page with a line feed in its name gets no Link header from the nginx rules" in served.warnings
    assert "1 page gets no Link header from the nginx rules: its entry is longer than nginx reads" in served.warnings
    assert precommit.main(["--site-root", str(served.site), *(str(served.site / os.fsdecode(n)) for n in SIGNED)]) == 0


def test_rules_and_stores_apart_from_the_pages(certs: Path, capsys: pytest.CaptureFixture[str]) -> None:  # noqa: F811
    """--rules-dir keeps the rules out of the site; --store-dir's stores are announced by both servers, and
    found on disk by check, show and the hook given the same directory."""
    anchors = ["--trust-anchors", str(certs / "root.pem")]
    with readable_directory() as top, contextlib.ExitStack() as stack:
        source, out, rules = top / "source", top / "out", top / "rules"
        for number, name in enumerate(["a.html", "guide/index.html", "C#.html"]):
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            (source / name).write_bytes(PAGE % number)
        (source / "c2pa.nginx.conf").write_text("location = /a.html { }\n")  # an earlier run's, in the source
        (source / "_headers").write_text("/x\n  X-Site: 1\n# BEGIN brevane C2PA links\n/a.html\n  Link: </a.html.c2pa>\n"
                                         "# END brevane C2PA links\n")
        argv = ["--form", "header", "--store-dir", str(out / "c2pa"), "--rules-dir", str(rules), "-o", str(out)]
        assert sign(certs, *argv, str(source)) == 0
        assert "still holds rules of an earlier run (c2pa.nginx.conf, the brevane block in _headers)" \
            in capsys.readouterr().err
        (out / "c2pa.nginx.conf").unlink()
        (out / "_headers").unlink()
        assert sorted(os.listdir(rules)) == sorted(serving_files()) and not set(os.listdir(out)) & set(serving_files())
        # One page signed again: the rules keep naming the site's other pages.
        assert sign(certs, *argv[:-2], "--in-place", str(out / "a.html")) == 0
        nginx_port, apache_port = free_port(), free_port()
        conf = nginx_conf(top / "nginx", f"server {{ listen 127.0.0.1:{nginx_port}; root {out}; "
                          f"include {rules}/c2pa.nginx.conf; }}", f"include {rules}/c2pa.nginx.http.conf;")
        stack.enter_context(nginx(conf, [nginx_port]))
        host = APACHE_HOST.format(port=apache_port, site=out, htpasswd=top / "none", override="None",
                                  include=f"Include {rules}/c2pa.apache.conf")
        stack.enter_context(apache(apache_conf(top / "apache", host), [apache_port]))
        pages = [f"http://127.0.0.1:{port}{path}" for port in (nginx_port, apache_port)
                 for path in ("/a.html", "/guide/", "/C%23.html")]
        capsys.readouterr()
        assert cli.main(["check", "--json", *pages, *anchors]) == 0
        assert {(f["state"], f["store_location"].split("/", 3)[3]) for f in json.loads(capsys.readouterr().out)["files"]} \
            == {("Trusted", "c2pa/a.html.c2pa"), ("Trusted", "c2pa/guide/index.html.c2pa"), ("Trusted", "c2pa/C%23.html.c2pa")}
        assert cli.main(["check", str(out), *anchors]) == 1  # no store beside the pages
        capsys.readouterr()
        assert cli.main(["show", str(out / "guide" / "index.html"), "--site-root", str(out),
                         "--store-dir", str(out / "c2pa"), *anchors]) == 0
        assert f"  store        header form, in the store directory {shown(out / 'c2pa/guide/index.html.c2pa')}\n" \
            in capsys.readouterr().out
        hook = ["--site-root", str(out), "--store-dir", str(out / "c2pa"), str(out / "a.html"), str(out / "C#.html")]
        assert precommit.main(hook) == 0
        (out / "a.html").write_bytes(PAGE % 9)
        assert precommit.main(hook) == 1
        assert cli.main(["check", str(out), "--store-dir", str(out / "c2pa"), *anchors]) == 1
        assert "3 pages: 2 trusted, 1 invalid" in capsys.readouterr().err


def serving_files() -> tuple[str, ...]:
    from brevane_tools.signing.serving import RULE_FILES

    return RULE_FILES
