"""Sites in object storage: an S3 server on loopback (moto's server mode), and fsspec's memory store."""

from __future__ import annotations

import json
import logging
import os
import re
import sys
import uuid
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import brevane
import pytest

from brevane_tools import cli, commands, object_runs
from brevane_tools.errors import UsageError
from brevane_tools.files import object_copies, objects
from brevane_tools.files.mirroring import Mirrored
from test_tools_integrations import certs  # noqa: F401
from test_tools_mirror import PROBE, SITE, STALE, build, mirrored_with_probe

ROOT = Path(__file__).resolve().parents[2]

try:
    import fsspec
    import s3fs  # noqa: F401
    from moto.server import ThreadedMotoServer
except ImportError:
    if os.environ.get("CI") and sys.version_info >= (3, 10):
        raise  # the test extra brings them, from CPython 3.10 on
    pytest.skip("needs fsspec, s3fs and moto[server] (the test extra, CPython 3.10+)", allow_module_level=True)


@dataclass
class S3:
    """An S3 server on loopback, and the options that reach it."""

    options: dict[str, Any]

    @property
    def storage(self) -> objects.Storage:
        return objects.Storage.parse(json.dumps(self.options))

    @property
    def argv(self) -> list[str]:
        return ["--storage-options", json.dumps(self.options)]

    @property
    def fs(self) -> Any:
        return fsspec.filesystem("s3", **self.options)

    def bucket(self) -> str:
        name = f"b-{uuid.uuid4().hex[:12]}"
        self.fs.mkdir(name)
        return name

    def tree(self, prefix: str) -> dict[str, bytes]:
        fs = self.fs
        fs.invalidate_cache()
        return {name[len(prefix) + 1:]: fs.cat_file(name) for name in fs.find(prefix)}


@pytest.fixture(scope="session")
def s3() -> Iterator[S3]:
    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # a line per request otherwise
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    port = server.get_host_and_port()[1]
    yield S3({"client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}"}, "key": "testing", "secret": "testing"})
    server.stop()


def test_a_prefix_holds_pages_by_name_and_everything_else_as_it_lies(s3: S3) -> None:
    bucket = s3.bucket()
    for name in ("site/a.html", "site/deep/B.HTM", "site/img.png", "site/deep/a.html.c2pa", "site-2/stray.html"):
        s3.fs.pipe_file(f"{bucket}/{name}", b"x")
    s3.fs.pipe_file(f"{bucket}/site/empty/", b"")  # a "directory" some tools make
    tree = objects.find(s3.storage, f"s3://{bucket}/site", (".html", ".htm"))
    assert [p.relative for p in tree.pages] == ["a.html", "deep/B.HTM"]
    assert [o.relative for o in tree.others] == ["deep/a.html.c2pa", "img.png"]
    assert tree.pages[0].url == f"s3://{bucket}/site/a.html"
    one = objects.find(s3.storage, f"s3://{bucket}/site/img.png", (".html",))
    assert [(p.url, p.relative) for p in one.pages] == [(f"s3://{bucket}/site/img.png", "img.png")]
    with pytest.raises(FileNotFoundError) as missing:
        objects.find(s3.storage, f"s3://{bucket}/nothing", (".html",))
    assert str(missing.value) == f"s3://{bucket}/nothing: no such object or prefix"


def test_a_prefix_is_listed_a_page_of_names_at_a_time_in_the_order_of_the_names(s3: S3) -> None:
    from moto.core.models import DEFAULT_ACCOUNT_ID
    from moto.s3.models import s3_backends

    bucket = s3.bucket()
    # S3 answers a thousand names a request: these take two, and sort by code point ("-" < "/" < "0" < "é").
    names = [f"site/d/{n:04}.html" for n in range(1000)] + ["site/d-x.html", "site/d0.css", "site/é.html", "site/d"]
    for name in names:  # straight into the server's store: a thousand PUTs would take seconds
        s3_backends[DEFAULT_ACCOUNT_ID]["aws"].put_object(bucket, name, b"x")
    listed = list(objects.listed(s3.storage, f"s3://{bucket}/site", (".html",)))
    assert [(page, found.relative) for page, found in listed] == \
        [(name.endswith(".html"), name[len("site/"):]) for name in sorted(names)]


def test_reads_are_capped_by_the_listing_and_by_what_arrives(s3: S3) -> None:
    bucket = s3.bucket()
    s3.fs.pipe_file(f"{bucket}/page.html", b"0123456789")
    url, gone = f"s3://{bucket}/page.html", f"s3://{bucket}/gone.html"
    got = objects.read_many(s3.storage, [(url, None), (url, 1 << 20), (gone, None)], 10)
    assert got[0] == b"0123456789"
    # Listed over the limit: refused before a byte is fetched (the listing here overstates it).
    assert [str(e) for e in got[1:]] == [
        "the page is 1,048,576 bytes, over the limit of 10 (--max-page-size)",
        f"cannot read s3://{bucket}/gone.html: no such object",
    ]
    # Listed under the limit, grown past it since: refused as it arrives.
    (grown,) = objects.read_many(s3.storage, [(url, 5)], 9)
    assert str(grown) == "the page is over the limit of 9 bytes (--max-page-size)"


def test_each_object_is_one_request_with_its_media_type(s3: S3) -> None:
    bucket = s3.bucket()
    written = objects.write_many(s3.storage, [
        (f"s3://{bucket}/a.html", b"<p>"), (f"s3://{bucket}/a.html.c2pa", b"store"),
        (f"s3://no-such-{bucket}/b.html", b"<p>"), (f"s3://{bucket}/style.css", b"p{}"),
    ])
    assert [str(e) if e else None for e in written] == [
        None, None, f"cannot write s3://no-such-{bucket}/b.html: its bucket does not exist", None,
    ]
    fs = s3.fs
    types = {name: fs.info(f"{bucket}/{name}")["ContentType"] for name in ("a.html", "a.html.c2pa", "style.css")}
    assert types == {"a.html": "text/html", "a.html.c2pa": "application/c2pa", "style.css": "text/css"}


def test_a_mirror_copies_inside_the_store_and_leaves_what_is_there_already(s3: S3) -> None:
    bucket = s3.bucket()
    for name, data in (("img.png", b"png"), ("doc/a.pdf", b"pdf")):
        s3.fs.pipe_file(f"{bucket}/site/{name}", data)

    def mirror() -> Mirrored:
        tree = objects.find(s3.storage, f"s3://{bucket}/site", (".html",))
        mirrored = Mirrored()
        copies = [object_copies.Copy(o, objects.join(f"s3://{bucket}/out", o.relative)) for o in tree.others]
        object_copies.mirror(s3.storage, copies, None, mirrored, lambda report: pytest.fail(str(report.error)))
        return mirrored

    assert (mirror().copied, mirror().unchanged) == (2, 2)
    s3.fs.pipe_file(f"{bucket}/site/img.png", b"a new image")
    again = mirror()
    assert (again.copied, again.unchanged) == (1, 1)
    assert s3.tree(f"{bucket}/out") == {"img.png": b"a new image", "doc/a.pdf": b"pdf"}


@pytest.mark.parametrize(("argument", "is_object", "path"), [
    ("s3://bucket/site", True, "s3://bucket/site"),
    ("memory://site", True, "memory://site"),
    ("https://example.com/a.html", False, "https://example.com/a.html"),
    ("file:///srv/my%20site", False, "/srv/my site"),
    ("file://localhost/srv/caf%C3%A9", False, "/srv/caf\u00e9"),
    ("file:///srv/%FF", False, os.fsdecode(b"/srv/\xff")),
    ("site/a:b.html", False, "site/a:b.html"),
])
def test_which_arguments_are_objects(argument: str, is_object: bool, path: str) -> None:
    assert (objects.is_object_url(argument), objects.local_path(argument)) == (is_object, path)


def test_a_file_url_of_another_host_is_refused() -> None:
    with pytest.raises(UsageError) as refused:
        objects.local_path("file://server/share/site")
    assert str(refused.value) == "file://server/share/site: a file:// URL names a file of this machine, not of server"


@pytest.mark.parametrize(("text", "message"), [
    ("{endpoint", "--storage-options is not JSON: Expecting property name enclosed in double quotes: "
                  "line 1 column 2 (char 1)"),
    ('["anon"]', "--storage-options must be a JSON object of fsspec options"),
])
def test_storage_options_are_one_json_object(text: str, message: str) -> None:
    with pytest.raises(UsageError) as refused:
        objects.Storage.parse(text)
    assert str(refused.value) == message


def _brevane(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, Any, str]:
    """Run the tool here: its exit status, its --json document (when asked for), and what it said on stderr."""
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, json.loads(out) if "--json" in argv else out, err


def test_remove_mirrors_a_local_site_into_the_store_and_back(
    s3: S3, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    site = tmp_path / "site"
    (site / "sub").mkdir(parents=True)
    page = b"<html><head><title>t</title></head><body>p</body></html>"
    (site / "a.html").write_bytes(brevane.embed_reference(page, "a.html.c2pa"))
    (site / "sub" / "b.htm").write_bytes(page)
    (site / "img.png").write_bytes(b"\x89PNG")
    (site / "latest").symlink_to("sub")
    bucket = s3.bucket()
    status, document, _ = _brevane(capsys, "remove", str(site), "-o", f"s3://{bucket}/out", *s3.argv, "--json")
    assert status == 0
    assert s3.tree(f"{bucket}/out") == {"a.html": page, "sub/b.htm": page, "img.png": b"\x89PNG"}
    # Object storage has no links: the one in the site is said, and left out.
    assert [(f["path"], f["warning"]) for f in document["files"] if "warning" in f] == [
        (str(site / "latest"), object_runs.LINK_WARNING)]
    back = tmp_path / "back"
    status, _, _ = _brevane(capsys, "remove", f"s3://{bucket}/out", "-o", str(back), *s3.argv, "-q")
    assert status == 0
    assert {p.relative_to(back).as_posix(): p.read_bytes() for p in back.rglob("*") if p.is_file()} == \
        s3.tree(f"{bucket}/out")


@pytest.mark.parametrize(("argv", "message"), [
    (["remove", "s3://{bucket}/site", "-o", "s3://{bucket}/site/out"],
     "the output s3://{bucket}/site/out and the input s3://{bucket}/site overlap: use a prefix outside the "
     "input (or --in-place)"),
    (["remove", "s3://{bucket}/site", "{tmp}", "-o", "s3://{bucket}/out"],
     "give object URLs or local paths, not both in one run"),
    (["remove", "memory://site", "-o", "memory://out", "--jobs", "2"],
     "memory:// objects live in this process only: run them without --jobs or --dask"),
    (["remove", "s3://{bucket}/site", "-o", "-"], "-o - (standard output) takes exactly one page"),
    (["remove", "s3://{bucket}/none", "-o", "s3://{bucket}/out"], "s3://{bucket}/none: no such object or prefix"),
])
def test_runs_that_cannot_be_are_refused_before_anything_is_written(
    s3: S3, tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    bucket = s3.bucket()
    s3.fs.pipe({f"{bucket}/site/a.html": b"<html><head></head></html>", f"{bucket}/site/b.html": b"<p>"})
    values = {"bucket": bucket, "tmp": str(tmp_path)}
    status, _, err = _brevane(capsys, *(a.format(**values) for a in argv), *s3.argv)
    assert (status, err) == (2, f"brevane: {message.format(**values)}\n")
    assert s3.tree(bucket) == {"site/a.html": b"<html><head></head></html>", "site/b.html": b"<p>"}


class Requests(logging.Handler):
    """The object keys the S3 server was asked to PUT, in order."""

    def __init__(self) -> None:
        super().__init__()
        self.puts: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        found = re.search(r'"(?:\x1b\[[0-9;]*m)*PUT /[^/ ]+/([^ ]+) ', record.getMessage())
        if found is not None:
            self.puts.append(found.group(1))


def test_each_store_is_in_place_before_the_page_that_names_it(
    s3: S3, certs: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    bucket = s3.bucket()
    pages = {f"site/p{i}.html": b"<html><head><title>%d</title></head><body></body></html>" % i for i in range(6)}
    s3.fs.pipe({f"{bucket}/{name}": data for name, data in pages.items()})
    requests = Requests()
    server_log = logging.getLogger("werkzeug")
    server_log.addHandler(requests)
    server_log.setLevel(logging.INFO)
    try:
        status, _, _ = _brevane(capsys, "sign", *_signing(certs), f"s3://{bucket}/site", "-o", f"s3://{bucket}/out",
                                *s3.argv, "-q")
    finally:
        server_log.removeHandler(requests)
        server_log.setLevel(logging.WARNING)
    assert status == 0
    written = [key for key in requests.puts if key.startswith("out/")]
    assert sorted(written) == sorted([f"out/p{i}.html" for i in range(6)] + [f"out/p{i}.html.c2pa" for i in range(6)])
    assert all(written.index(f"out/p{i}.html.c2pa") < written.index(f"out/p{i}.html") for i in range(6))


def _signing(certs: Path) -> list[str]:
    return ["--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem"),
            "--key", str(certs / "signer.key")]


@pytest.mark.parametrize("out", ["local", "memory"])
def test_a_second_run_signs_only_what_the_output_lacks_or_got_wrong(
    certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], out: str
) -> None:
    site = tmp_path / "site"
    site.mkdir()
    for i in range(4):
        (site / f"p{i}.html").write_bytes(b"<html><head><title>%d</title></head><body></body></html>" % i)
    output = str(tmp_path / "out") if out == "local" else f"memory://{uuid.uuid4().hex}"
    fs, root = objects.Storage().filesystem(output) if out == "memory" else (fsspec.filesystem("file"), output)
    assert _brevane(capsys, "sign", *_signing(certs), str(site), "-o", output, "-q")[0] == 0
    fs.rm(f"{root}/p1.html")  # lost before it was written
    fs.pipe_file(f"{root}/p2.html", fs.cat_file(f"{root}/p2.html").replace(b"<title>", b"<title>edited "))
    (site / "p3.html").write_bytes(b"<html><head><title>changed</title></head><body></body></html>")
    status, document, _ = _brevane(capsys, "sign", *_signing(certs), str(site), "-o", output, "--skip-valid", "--json")
    assert status == 0
    done = {Path(f["path"]).name: "unchanged" if f.get("skipped") else "signed" for f in document["files"]}
    # Lost, edited since, or made from other bytes: signed again; only the output still whole is left alone.
    assert done == {"p0.html": "unchanged", "p1.html": "signed", "p2.html": "signed", "p3.html": "signed"}


@pytest.mark.parametrize("source", ["objects", "local"])
def test_a_mirror_in_the_store_copies_failed_pages_and_delete_removes_what_left_the_source(
    s3: S3, tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, source: str
) -> None:
    monkeypatch.setattr(commands, "COMMANDS", (*commands.COMMANDS, PROBE))
    bucket = s3.bucket()
    s3.fs.pipe({f"{bucket}/out/{name}": data for name, data in STALE.items()})
    s3.fs.pipe_file(f"{bucket}/out-2/kept.html", b"beside the output, never touched")
    if source == "objects":
        s3.fs.pipe({f"{bucket}/site/{name}": data for name, data in SITE.items()})
        site = f"s3://{bucket}/site"
    else:
        build(tmp_path / "site", {**SITE, "index.html": "sub/c.html"})  # a second name of a page: a copy
        site = str(tmp_path / "site")
    status, document, err = _brevane(capsys, "probe", site, "-o", f"s3://{bucket}/out", "--delete", "--json",
                                     *s3.argv)
    assert status == 1
    assert [f"{f['path']}: {f['error']}" for f in document["files"] if not f["ok"]] == [
        f"{site}/b.html: cannot edit this one; copied unchanged to s3://{bucket}/out/b.html"]
    deleted = sorted(f["path"] for f in document["files"] if f.get("mirrored") == "deleted")
    assert deleted == [f"s3://{bucket}/out/{name}" for name in ("gone/deep/x.png", "old.html", "old.html.c2pa")]
    expected = mirrored_with_probe(SITE)
    if source == "local":
        expected["index.html"] = expected["sub/c.html"]
        (note,) = [f for f in document["files"] if f["path"] == f"{site}/index.html" and "mirrored" in f]
        assert note["note"] == object_runs.LINK_PAGE_NOTE
    assert s3.tree(f"{bucket}/out") == expected
    assert s3.tree(f"{bucket}/out-2") == {"kept.html": b"beside the output, never touched"}


def test_check_and_show_take_a_single_object(s3: S3, certs: Path, capsys: pytest.CaptureFixture[str]) -> None:
    bucket = s3.bucket()
    page = b"<html><head><title>t</title></head><body>p</body></html>"
    s3.fs.pipe_file(f"{bucket}/site/sub/page.html", page)
    status, _, err = _brevane(capsys, "sign", *_signing(certs), f"s3://{bucket}/site/sub/page.html", "--in-place", *s3.argv)
    assert status == 0, err
    assert sorted(s3.tree(f"{bucket}/site")) == ["sub/page.html", "sub/page.html.c2pa"]
    for command in ("check", "show"):
        status, document, err = _brevane(capsys, command, f"s3://{bucket}/site/sub/page.html", "--json",
                                         "--trust-anchors", str(certs / "root.pem"), *s3.argv)
        assert status == 0, err
        (entry,) = document["files"]
        assert entry["path"] == f"s3://{bucket}/site/sub/page.html" and entry["ok"]


def test_large_objects_are_streamed_into_a_local_mirror_and_across_stores_whole(
    s3: S3, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    bucket = s3.bucket()
    large = bytes(range(256)) * (40 << 10)  # 10 MiB: above what is read whole, two parts
    files = {"site/a.html": b"<html><head></head></html>", "site/big.bin": large, "site/small.css": b"css"}
    s3.fs.pipe({f"{bucket}/{name}": data for name, data in files.items()})
    status, _, err = _brevane(capsys, "remove", f"s3://{bucket}/site", "-o", str(tmp_path / "out"), *s3.argv)
    assert status == 0, err
    assert {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()} == {
        "a.html": files["site/a.html"], "big.bin": large, "small.css": b"css"}
    # Again, with the local copy in place: nothing is rewritten.
    before = (tmp_path / "out" / "big.bin").stat().st_ino
    status, _, err = _brevane(capsys, "remove", f"s3://{bucket}/site", "-o", str(tmp_path / "out"), *s3.argv)
    assert status == 0 and err.endswith("other files: 0 hard-linked, 0 copied, 2 unchanged\n"), err
    assert (tmp_path / "out" / "big.bin").stat().st_ino == before
    # From the S3 server to memory:// and back: another filesystem, a part at a time.
    status, _, err = _brevane(capsys, "remove", f"s3://{bucket}/site", "-o", "memory://mirror", *s3.argv)
    assert status == 0, err
    status, _, err = _brevane(capsys, "remove", "memory://mirror", "-o", f"s3://{bucket}/back", *s3.argv)
    assert status == 0, err
    assert s3.tree(f"{bucket}/back") == {name[len("site/"):]: data for name, data in files.items()}


@pytest.mark.parametrize("source", ["objects", "local", "rules-dir"])
def test_the_header_form_keeps_pages_whole_with_their_stores_and_rules_in_the_store(
    s3: S3, certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], source: str
) -> None:
    bucket = s3.bucket()
    pages = {"index.html": b"<html><head><title>i</title></head><body></body></html>",
             "sub/a b.htm": b"<html><head><title>a</title></head><body>\xff</body></html>"}
    if source == "local":
        build(tmp_path / "site", dict(pages))
        site = str(tmp_path / "site")
    else:
        s3.fs.pipe({f"{bucket}/site/{name}": data for name, data in pages.items()})
        site = f"s3://{bucket}/site"
    rules = ["--rules-dir", str(tmp_path / "rules")] if source == "rules-dir" else []
    status, _, err = _brevane(capsys, "sign", *_signing(certs), "--form", "header", site, "-o", f"s3://{bucket}/out",
                              *rules, *s3.argv, "-q")
    assert status == 0, err
    written = s3.tree(f"{bucket}/out")
    assert {name: written[name] for name in pages} == pages  # the pages as they were, byte for byte
    assert all(written[name + ".c2pa"] for name in pages)
    rule_files = {".htaccess", "_headers", "c2pa.apache.conf", "c2pa.nginx.conf", "c2pa.nginx.http.conf"}
    assert set(written) - set(pages) - {name + ".c2pa" for name in pages} == (set() if rules else rule_files)
    headers = (tmp_path / "rules" / "_headers").read_bytes() if rules else written["_headers"]
    assert b"/sub/a%20b.htm\n  Link: </sub/a%20b.htm.c2pa>" in headers and b"/\n  Link: </index.html.c2pa>" in headers
    status, document, err = _brevane(capsys, "check", f"s3://{bucket}/out", "--json",
                                     "--trust-anchors", str(certs / "root.pem"), *s3.argv)
    assert status == 0, err
    assert sorted((f["path"], f["state"], f["source"]) for f in document["files"]) == [
        (f"s3://{bucket}/out/{name}", "Trusted", "beside") for name in sorted(pages)]
    # Signing again keeps each old store as the parent, and a run over one page keeps the others announced.
    status, _, err = _brevane(capsys, "sign", *_signing(certs), "--form", "header", f"{site}/index.html", "-o",
                              f"s3://{bucket}/out/", *rules, *s3.argv, "-q")
    assert status == 0, err
    again = s3.tree(f"{bucket}/out")
    assert again["index.html.c2pa"] != written["index.html.c2pa"]
    headers = (tmp_path / "rules" / "_headers").read_bytes() if rules else again["_headers"]
    assert b"/sub/a%20b.htm\n  Link: </sub/a%20b.htm.c2pa>" in headers


@pytest.mark.parametrize("form", ["link", "header"])
def test_store_dir_in_object_storage_keeps_the_stores_below_the_output_prefix(
    s3: S3, certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], form: str
) -> None:
    bucket = s3.bucket()
    pages = {"index.html": b"<html><head><title>i</title></head><body></body></html>",
             "sub/a b.htm": b"<html><head><title>a</title></head><body></body></html>"}
    s3.fs.pipe({f"{bucket}/site/{name}": data for name, data in pages.items()})
    sign = ["sign", *_signing(certs), "--form", form, f"s3://{bucket}/site", "-o", f"s3://{bucket}/out", *s3.argv]
    # Outside the prefix the pages are written below, no store is written: one line says why.
    status, _, err = _brevane(capsys, *sign, "--store-dir", f"s3://{bucket}/c2pa")
    assert (status, err) == (2, f"brevane: --store-dir s3://{bucket}/c2pa: pages written to object storage keep "
                                f"their stores below the prefix they are written below, s3://{bucket}/out/: give "
                                "a prefix there\n")
    for _ in range(2):  # the second run keeps each store it finds there as its page's parent
        status, _, err = _brevane(capsys, *sign, "--store-dir", f"s3://{bucket}/out/c2pa", "-q")
        assert status == 0, err
    written = s3.tree(f"{bucket}/out")
    assert {name for name in written if name.endswith(".c2pa")} == {f"c2pa/{name}.c2pa" for name in pages}
    if form == "link":
        association = brevane.extract(written["sub/a b.htm"])
        assert association is not None and association["kind"] == "referenced"
        assert association["href"] == "../c2pa/sub/a%20b.htm.c2pa"
    else:
        assert b"/sub/a%20b.htm\n  Link: </c2pa/sub/a%20b.htm.c2pa>" in written["_headers"]
    store_dir = ["--store-dir", f"s3://{bucket}/out/c2pa"] if form == "header" else []
    status, document, err = _brevane(capsys, "check", f"s3://{bucket}/out/", "--json", *store_dir,
                                     "--trust-anchors", str(certs / "root.pem"), *s3.argv)
    assert status == 0, err
    assert sorted((f["path"], f["source"], f["store_location"]) for f in document["files"]) == [
        (f"s3://{bucket}/out/{name}", "link" if form == "link" else "store-dir", f"s3://{bucket}/out/c2pa/{name}.c2pa")
        for name in sorted(pages)]


def test_the_header_form_from_the_store_to_local_files_and_check_with_a_store_dir(
    s3: S3, certs: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    bucket = s3.bucket()
    pages = {"p.html": b"<html><head><title>p</title></head><body></body></html>",
             "d/q.html": b"<html><head></head><body>q</body></html>"}
    s3.fs.pipe({f"{bucket}/site/{name}": data for name, data in pages.items()})
    out = tmp_path / "out"
    status, _, err = _brevane(capsys, "sign", *_signing(certs), "--form", "header", f"s3://{bucket}/site", "-o",
                              str(out), *s3.argv, "-q")
    assert status == 0, err
    assert {name: (out / name).read_bytes() for name in pages} == pages
    assert b"/d/q.html\n  Link: </d/q.html.c2pa>" in (out / "_headers").read_bytes()
    # The source holds no stores: with --store-dir, each page's is DIR's file at its path below the prefix.
    status, document, err = _brevane(capsys, "check", f"s3://{bucket}/site", "--store-dir", str(out), "--json",
                                     "--trust-anchors", str(certs / "root.pem"), *s3.argv)
    assert status == 0, err
    assert sorted((f["path"], f["state"], f["source"]) for f in document["files"]) == [
        (f"s3://{bucket}/site/{name}", "Trusted", "store-dir") for name in sorted(pages)]
    status, document, _ = _brevane(capsys, "check", f"s3://{bucket}/site", "--json", *s3.argv)
    assert status == 1 and not any(f["ok"] for f in document["files"])
