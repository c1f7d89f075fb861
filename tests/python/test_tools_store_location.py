"""Where a page's Manifest Store lies, one rule for every reader: each row of the
table is run through `brevane check`, `brevane sign` (is the old store kept as
the parent?) and the pre-commit hook, on real signed pages on disk."""

from __future__ import annotations

import io
import json
import os
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import brevane
import pytest

import needs_sdk  # noqa: F401  (first: skips the module where the SDK cannot run)
from needs_sdk import ROOT

import c2pa  # noqa: E402

from brevane_tools import cli  # noqa: E402
from brevane_tools.head import HeadFacts, head_facts  # noqa: E402
from brevane_tools.integrations import precommit  # noqa: E402
from brevane_tools.limits import DEFAULT_MAX_STORE_SIZE as LIMIT  # noqa: E402
from brevane_tools.signing import SigningKey, sign_page_with_reference  # noqa: E402

from make_test_certs import make_test_chain  # noqa: E402

MANIFEST: dict[str, Any] = json.loads((ROOT / "examples" / "manifest.json").read_text())
TITLE = "Harbour"
OUT_OF_SITE = "the page's store reference leads out of the site root site, not read"


def missing(path: str) -> str:
    return f"cannot read the Manifest Store {path}: No such file or directory"


def page_with(head: str) -> bytes:
    return f"<html><head>{head}<title>{TITLE}</title></head><body>a page</body></html>".encode()


@pytest.fixture(scope="module")
def credentials(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    chain = make_test_chain()
    directory = tmp_path_factory.mktemp("credentials")
    files = {"chain": chain.chain_pem, "key": chain.key_pem, "root": chain.root_pem,
             "manifest": json.dumps(MANIFEST).encode()}
    for name, data in files.items():
        (directory / name).write_bytes(data)
    return {name: directory / name for name in files}


@pytest.fixture(scope="module")
def signer(credentials: dict[str, Path]) -> Iterator[Any]:
    made = SigningKey.from_files(str(credentials["chain"]), str(credentials["key"])).signer()
    yield made
    made.close()


@pytest.fixture(scope="module")
def signed(signer: Any) -> Callable[[str, str], tuple[bytes, bytes]]:
    """(page, store) of a page with this head and href; each signed once for the module."""
    made: dict[tuple[str, str], tuple[bytes, bytes]] = {}

    def get(head: str, href: str) -> tuple[bytes, bytes]:
        if (head, href) not in made:
            made[head, href] = sign_page_with_reference(page_with(head), MANIFEST, signer, href)
        return made[head, href]

    return get


def run_cli(argv: list[str]) -> list[Any]:
    """The reports of the pages of one `brevane` run (walk errors left out)."""
    reports: list[Any] = []
    cli.main([*argv, "-j", "1"], on_report=reports.append)
    return [r for r in reports if not r.input_error]


def signing_flags(credentials: dict[str, Path]) -> list[str]:
    return ["--manifest", str(credentials["manifest"]), "--cert", str(credentials["chain"]),
            "--key", str(credentials["key"])]


def check_outcome(reports: list[Any]) -> str:
    (report,) = reports
    if report.ok:
        return f"{report.data['state']} from {report.data['store_location']}"
    fetched = re.match(r"the Manifest Store at (\S+) could not be fetched", report.error or "")
    return f"fetched {fetched.group(1)}" if fetched else str(report.error)


def parents(page: bytes) -> list[str]:
    """The titles of the parent ingredients of a page's active manifest, as the SDK reads them."""
    association = brevane.extract(page)
    assert association is not None and association["kind"] == "embedded"
    with c2pa.Reader("text/html", io.BytesIO(page), association["store"]) as reader:
        report = json.loads(reader.json())
    active = report["manifests"][report["active_manifest"]]
    return [i["title"] for i in active.get("ingredients", []) if i.get("relationship") == "parentOf"]


def link(at: str, to: str) -> Callable[[Path], None]:
    def make(here: Path) -> None:
        (here / at).parent.mkdir(parents=True, exist_ok=True)
        os.symlink(to, here / at)

    return make


def fifo(here: Path) -> None:
    os.mkfifo(here / "site/docs/s.c2pa")


def directory(at: str) -> Callable[[Path], None]:
    return lambda here: (here / at).mkdir(parents=True)


def not_a_store(here: Path) -> None:
    (here / "site/docs/s.c2pa").write_bytes(b"<html>a page, not a store</html>")


def oversize(here: Path) -> None:
    os.truncate(here / "site/docs/s.c2pa", LIMIT + 1)


@dataclass(frozen=True)
class Row:
    href: str
    check: str  # "Trusted from PATH", "fetched URL", or the page's error
    hook: str  # "" (passes), "skipped: ...", or the page's error
    base: str = ""  # the page's <base href>
    page: bytes = b"site/docs/p.html"
    store: Optional[bytes] = b"site/docs/s.c2pa"  # where the page's own store is put
    arrange: Optional[Callable[[Path], None]] = None
    root: Optional[str] = None  # --site-root for check and the hook (sign's is the directory argument)
    sign: Optional[str] = None  # what `sign` makes of the page, where the hook does not tell

    def signed(self) -> str:
        """What `sign` makes of the page: the old store kept as the parent, or why not."""
        if self.sign is not None:
            return self.sign
        if not self.hook:
            return f"parent {TITLE}"
        return not_kept("it is on another host, which is not fetched" if self.hook.startswith("skipped") else self.hook)


def not_kept(why: str) -> str:
    return f"the page's old manifest cannot be kept as the parent ({why}): sign with --replace (keep_parent=False) to drop it"


def refused(message: str, **more: Any) -> Row:
    return Row(check=message, hook=message, **more)


URL = "https://cdn.invalid/s.c2pa"
ON_THE_WEB = f"skipped: its store is on another host ({URL}) and is not fetched"
FIFO = "cannot read the Manifest Store site/docs/s.c2pa: a FIFO, not read"
DEVICE = "cannot read the Manifest Store /dev/zero: a device, not read"
TOO_LARGE = f"the Manifest Store site/docs/s.c2pa is {LIMIT + 1:,} bytes, over the limit of {LIMIT:,}"
ROWS = {
    "relative": Row("s.c2pa", "Trusted from site/docs/s.c2pa", ""),
    "<base> relative": Row("s.c2pa", "Trusted from site/docs/sub/s.c2pa", "", base="sub/", store=b"site/docs/sub/s.c2pa"),
    "<base> root-relative": Row("s.c2pa", "Trusted from site/stores/s.c2pa", "", base="/stores/",
                                store=b"site/stores/s.c2pa"),
    "root-relative": Row("/stores/s.c2pa", "Trusted from site/stores/s.c2pa", "", store=b"site/stores/s.c2pa"),
    "%-escapes": Row("st%20o%23re/s%3F%25.c2pa", "Trusted from site/docs/st o#re/s?%.c2pa", "",
                     store=b"site/docs/st o#re/s?%.c2pa"),
    "character reference": Row("a&b.c2pa", "Trusted from site/docs/a&b.c2pa", "", store=b"site/docs/a&b.c2pa"),
    "query and fragment": Row("s.c2pa?v=2#part", "Trusted from site/docs/s.c2pa", ""),
    "backslashes, as a browser reads them": Row("sub\\s.c2pa", "Trusted from site/docs/sub/s.c2pa", "",
                                                store=b"site/docs/sub/s.c2pa"),
    "//host": Row("//cdn.invalid/s.c2pa", f"fetched {URL}", ON_THE_WEB),
    "https": Row(URL, f"fetched {URL}", ON_THE_WEB),
    "<base> on another host": Row("s.c2pa", f"fetched {URL}", ON_THE_WEB, base="https://cdn.invalid/"),
    "file: href": refused("the page references its Manifest Store by a file: URL, which is not read",
                          href="file:///etc/passwd"),
    "file: <base>": refused("the page's <base href> is a file: URL, which is not followed", href="passwd",
                            base="file:///etc/"),
    "data: href": refused("the page references its Manifest Store by a URL that is neither http(s) nor a file of "
                          "the site", href="data:application/c2pa;base64,AAAA"),
    "NUL": refused("the page's store reference names no file", href="s%00.c2pa"),
    "missing": refused(missing("site/docs/gone.c2pa"), href="gone.c2pa"),
    # Escapes: the store the href names outside the site is there, and never read.
    "../ clamped at the root": refused(missing("site/outside/s.c2pa"), href="../../../outside/s.c2pa",
                                       store=b"outside/s.c2pa"),
    "%2e%2e clamped at the root": refused(missing("site/outside/s.c2pa"), href="%2e%2e/%2E%2E/%2e%2e/outside/s.c2pa",
                                          store=b"outside/s.c2pa"),
    "..\\ clamped at the root": refused(missing("site/outside/s.c2pa"), href="..\\..\\..\\outside\\s.c2pa",
                                        store=b"outside/s.c2pa"),
    "/../ clamped at the root, the store there": Row("/../../outside/s.c2pa", "Trusted from site/outside/s.c2pa", "",
                                                     store=b"site/outside/s.c2pa"),
    "symbolic link out of the site": refused(OUT_OF_SITE, href="s.c2pa", store=b"outside/s.c2pa",
                                             arrange=link("site/docs/s.c2pa", "../../outside/s.c2pa")),
    "linked directory out of the site": refused(OUT_OF_SITE, href="sub/s.c2pa", store=b"outside/s.c2pa",
                                                arrange=link("site/docs/sub", "../../outside")),
    "symbolic link within the site": Row("s.c2pa", "Trusted from site/docs/s.c2pa", "", store=b"site/stores/s.c2pa",
                                         arrange=link("site/docs/s.c2pa", "../stores/s.c2pa")),
    "symbolic link to /dev/zero": refused(OUT_OF_SITE, href="s.c2pa", store=None,
                                          arrange=link("site/docs/s.c2pa", "/dev/zero")),
    "/dev/zero, the site root being /": refused(DEVICE, href="/dev/zero", store=None, root="/",
                                                sign=not_kept(missing("site/dev/zero"))),
    "page outside --site-root": refused("the page lies outside the site root elsewhere", href="s.c2pa", root="elsewhere",
                                       arrange=directory("elsewhere"), sign=f"parent {TITLE}"),
    "a directory": refused("cannot read the Manifest Store site/docs/sub: not a regular file, not read", href="sub/",
                           store=None, arrange=directory("site/docs/sub")),
    "FIFO": refused(FIFO, href="s.c2pa", store=None, arrange=fifo),
    "not a Manifest Store": Row(
        "s.c2pa", "the C2PA SDK could not read the Manifest Store at site/docs/s.c2pa: Verify: invalid JUMBF header",
        "unreadable Manifest Store: the bytes do not start with a JUMBF superbox", store=None, arrange=not_a_store,
        sign="the page's old Manifest Store cannot be read (Verify: invalid JUMBF header): sign with --replace "
        "(keep_parent=False) to drop it",
    ),
    "oversize": Row("s.c2pa", TOO_LARGE + " (--max-store-size)", TOO_LARGE, arrange=oversize),
    "non-UTF-8 directory": Row("s.c2pa", "Trusted from site/d\\xe9/s.c2pa", "", page=b"site/d\xe9/p.html",
                               store=b"site/d\xe9/s.c2pa"),
    "non-UTF-8 file": Row("s%E9.c2pa", "Trusted from site/docs/s\\xe9.c2pa", "", store=b"site/docs/s\xe9.c2pa"),
}


@pytest.mark.parametrize("row", list(ROWS.values()), ids=list(ROWS))
def test_where_the_store_lies_for_check_sign_and_the_hook(
    row: Row, signed: Callable[[str, str], tuple[bytes, bytes]], credentials: dict[str, Path],
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
) -> None:
    head = f'<base href="{row.base}">' if row.base else ""
    page, store = signed(head, row.href)
    monkeypatch.chdir(tmp_path)
    page_path = Path(os.fsdecode(row.page))
    page_path.parent.mkdir(parents=True)
    page_path.write_bytes(page)
    if row.store is not None:
        store_path = Path(os.fsdecode(row.store))
        store_path.parent.mkdir(parents=True, exist_ok=True)
        store_path.write_bytes(store)
    if row.arrange is not None:
        row.arrange(tmp_path)
    root = ["--site-root", row.root] if row.root else []

    checked = run_cli(["check", "site", "--trust-anchors", str(credentials["root"]), *root])
    assert check_outcome(checked) == row.check

    capsys.readouterr()
    status = precommit.main([str(page_path), "--site-root", row.root or "site"])
    lines = capsys.readouterr().out.splitlines()
    said = lines[0].split(": ", 1)[1] if lines else ""
    assert (said, status) == (row.hook, 1 if row.hook and not row.hook.startswith("skipped") else 0)

    (report,) = run_cli(["sign", "site", "--in-place", "--form", "inline", *signing_flags(credentials)])
    assert (f"parent {', '.join(parents(page_path.read_bytes()))}" if report.ok else report.error) == row.signed()


NO_HREF = (
    "no relative href leads from this page to its store (its <base href> leads elsewhere, or the store lies "
    "outside the site): give the store's URL with --href"
)
# case: (page below the site, its <base href>, more sign flags, the href written or the page's error,
# where check then finds the store)
HREFS: dict[str, tuple[bytes, str, list[str], str, Optional[str]]] = {
    "#": (b"a#b.html", "", [], "a%23b.html.c2pa", "site/a#b.html.c2pa"),
    "?": (b"q?.html", "", [], "q%3F.html.c2pa", "site/q?.html.c2pa"),
    "%": (b"100%.html", "", [], "100%25.html.c2pa", "site/100%.html.c2pa"),
    "quotes and a space": (b"it's \"x\".html", "", [], "it%27s%20%22x%22.html.c2pa", "site/it's \"x\".html.c2pa"),
    "& and :": (b"a&b:c.html", "", [], "a%26b%3Ac.html.c2pa", "site/a&b:c.html.c2pa"),
    "UTF-8": ("caf\u00e9.html".encode(), "", [], "caf%C3%A9.html.c2pa", "site/caf\u00e9.html.c2pa"),
    "non-UTF-8 file": (b"caf\xe9.html", "", [], "caf%E9.html.c2pa", "site/caf\\xe9.html.c2pa"),
    "non-UTF-8 directory": (b"d\xe9/p.html", "", [], "p.html.c2pa", "site/d\\xe9/p.html.c2pa"),
    "<base> root-relative": (b"docs/deep/p.html", "/docs/", [], "deep/p.html.c2pa", "site/docs/deep/p.html.c2pa"),
    "<base> relative": (b"docs/deep/p.html", "../", [], "deep/p.html.c2pa", "site/docs/deep/p.html.c2pa"),
    "<base> naming a page": (b"docs/deep/p.html", "/docs/index.html?x", [], "deep/p.html.c2pa",
                             "site/docs/deep/p.html.c2pa"),
    "<base>, written to -o": (b"docs/deep/p.html", "/docs/", ["-o", "out"], "deep/p.html.c2pa",
                              "out/docs/deep/p.html.c2pa"),
    "--store-dir in the site": (b"docs/deep/p.html", "", ["--store-dir", "site/stores"],
                                "../../stores/docs/deep/p.html.c2pa", "site/stores/docs/deep/p.html.c2pa"),
    "--store-dir and <base>": (b"docs/deep/p.html", "/docs/", ["--store-dir", "site/stores"],
                               "../stores/docs/deep/p.html.c2pa", "site/stores/docs/deep/p.html.c2pa"),
    "<base> on another host": (b"docs/p.html", "https://cdn.invalid/", [], NO_HREF, None),
    "file: <base>": (b"docs/p.html", "file:///srv/site/", [], NO_HREF, None),
}


@pytest.mark.parametrize(("page", "base", "flags", "written", "found"), list(HREFS.values()), ids=list(HREFS))
def test_sign_reference_writes_an_href_that_leads_back_to_the_store(
    credentials: dict[str, Path], tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
    page: bytes, base: str, flags: list[str], written: str, found: Optional[str],
) -> None:
    monkeypatch.chdir(tmp_path)
    path = Path(os.fsdecode(b"site/" + page))
    path.parent.mkdir(parents=True)
    path.write_bytes(page_with(f'<base href="{base}">' if base else ""))
    where = ["--in-place"] if "-o" not in flags else []
    (report,) = run_cli(["sign", "site", "--reference", *where, *flags, *signing_flags(credentials)])
    assert (report.data["href"] if report.ok else report.error) == written
    if found is not None:
        checked = run_cli(["check", found.split("/")[0], "--trust-anchors", str(credentials["root"])])
        assert check_outcome(checked) == f"Trusted from {found}"


# case: markup put first in the head of a page whose href is "s.c2pa" -> where a browser finds the store
HEADS = {
    "<![ bogus comments": ('<![<![x<base href="/">', "site/docs/s.c2pa"),
    "</ bogus comment": ('</ <base href="/stores/">', "site/docs/s.c2pa"),
    "comment": ('<!-- <base href="/stores/"> -->', "site/docs/s.c2pa"),
    # (brevane itself reads on to the next "-->": the page needs one to be signed)
    "<!--> is a whole comment": ('<!--><base href="/stores/"><!-- -->', "site/stores/s.c2pa"),
    "--!> ends a comment": ('<!-- a --!><base href="/stores/"><!-- -->', "site/stores/s.c2pa"),
    "script string": ("<script>\"<base href='/other/'>\"</script><base href=\"/stores/\">", "site/stores/s.c2pa"),
    "</styles> is no end tag": ('<style></styles><base href="/other/"></style>', "site/docs/s.c2pa"),
    "template content": ('<template><base href="/other/"></template>', "site/docs/s.c2pa"),
    "base without href first": ('<base target="_top"><base href="/stores/">', "site/stores/s.c2pa"),
    "repeated attribute": ('<base href="/stores/" href="/other/">', "site/stores/s.c2pa"),
    "character reference": ('<base href="/st&#111;res/">', "site/stores/s.c2pa"),
    "decoded once": ('<base href="/a&amp;amp;b/">', "site/a&amp;b/s.c2pa"),
    "&para= kept as written": ('<base href="/a&para=b/">', "site/a&para=b/s.c2pa"),
    "unclosed titles": ("<title><title><title>", "site/docs/s.c2pa"),
}


@pytest.mark.parametrize(("head", "found"), list(HEADS.values()), ids=list(HEADS))
def test_a_hostile_head_is_read_as_a_browser_reads_it_and_stops_no_batch(
    signed: Callable[[str, str], tuple[bytes, bytes]], credentials: dict[str, Path], tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], head: str, found: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    for page, (html, store), store_path in [
        ("site/docs/p.html", signed(head, "s.c2pa"), found),
        ("site/plain/p.html", signed("", "s.c2pa"), "site/plain/s.c2pa"),
    ]:
        for path, data in ((page, html), (store_path, store)):
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            Path(path).write_bytes(data)
    capsys.readouterr()
    assert cli.main(["check", "site", "--json", "--trust-anchors", str(credentials["root"])]) == 0
    checked = json.loads(capsys.readouterr().out)["files"]
    assert [(f["path"], f["state"], f["store_location"]) for f in checked] == [
        ("site/docs/p.html", "Trusted", found), ("site/plain/p.html", "Trusted", "site/plain/s.c2pa")
    ]
    assert cli.main(["sign", "site", "--in-place", "--form", "inline", "--json", *signing_flags(credentials)]) == 0
    assert [bool(f.get("parent")) for f in json.loads(capsys.readouterr().out)["files"]] == [True, True]


MIB = 1 << 20
# case: a megabyte of one shape -> what the head says (each step moves forward: no quadratic shape)
SHAPES = {
    "unclosed <title>": (b"<title>" * (MIB // 7), HeadFacts()),
    "closed <title>": (b"<title>a</title>" * (MIB // 16), HeadFacts(title="a")),
    "unclosed comments": (b"<!--" * (MIB // 4), HeadFacts()),
    "bogus comments": (b"<![" * (MIB // 3), HeadFacts()),
    "end tag bogus comments": (b"</ " * (MIB // 3), HeadFacts()),
    "<": (b"<" * MIB, HeadFacts()),
    "tag names": (b"<a" * (MIB // 2), HeadFacts()),
    "unclosed <base": (b"<base " * (MIB // 6), HeadFacts()),
    "unclosed quotes": (b"<a href='" * (MIB // 9), HeadFacts()),
    "</scripts>": (b"<script>" + b"</scripts>" * (MIB // 10), HeadFacts()),
    "nested templates": (b"<template>" * (MIB // 10) + b'<base href="/x/">', HeadFacts()),
    "references": (b'<base href="' + b"&amp;" * (MIB // 5) + b'">', HeadFacts(base_href="&" * (MIB // 5))),
}


@pytest.mark.parametrize(("page", "facts"), list(SHAPES.values()), ids=list(SHAPES))
def test_head_facts_reads_a_megabyte_of_any_shape(page: bytes, facts: HeadFacts) -> None:
    assert head_facts(page) == facts


def test_a_tag_ends_where_its_attributes_end() -> None:
    # The head is read tag by tag; only <base> has its attributes read, the others end by a pattern
    # that must agree with the attribute reader on every tag text made of these bytes (None: never).
    from itertools import product

    from brevane_tools import head

    differ = []
    for length in range(7):
        for combo in product([b" ", b"\t", b"/", b">", b'"', b"'", b"=", b"a"], repeat=length):
            text = b"".join(combo)
            end = head._TAG_REST.match(text)
            if (end.end() if end else None) != head._attributes(text, text, 0)[0]:
                differ.append(text)
    assert differ == []
