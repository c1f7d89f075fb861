"""What `check` says about a page: each of the SDK's reasons once, an inline waiver in plain sight,
and an edit before the manifest element named as such."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

import needs_sdk  # noqa: F401  (first: skips the module where the SDK cannot run)
from needs_sdk import ROOT

from brevane_tools import SigningKey, cli, sign_page  # noqa: E402

from make_test_certs import make_test_chain  # noqa: E402

MANIFEST: dict[str, Any] = json.loads((ROOT / "examples" / "manifest.json").read_text())
PAGE = b"<html><head><title>Caf\xc3\xa9 \xe2\x80\x94 menu</title></head><body>soup</body></html>"


@pytest.fixture(scope="module")
def signed(tmp_path_factory: pytest.TempPathFactory) -> tuple[bytes, Path]:
    chain = make_test_chain()
    root = tmp_path_factory.mktemp("certs") / "root.pem"
    root.write_bytes(chain.root_pem)
    signer = SigningKey(chain.chain_pem, chain.key_pem).signer()
    try:
        return sign_page(PAGE, MANIFEST, signer), root
    finally:
        signer.close()


@pytest.mark.parametrize(
    ("edit", "status", "failures", "waived"),
    [
        (None, 0, [], ["assertion.dataHash.mismatch"]),
        # An edit after the element: the SDK gives one code for two reasons, each said once.
        ((b"soup", b"stew"), 1, ["assertion.dataHash.mismatch", "assertion.dataHash.mismatch"], []),
        # An edit before the element moves it off the excluded range.
        ((b"menu</title>", b"menus</title>"), 1,
         ["assertion.dataHash.mismatch", "assertion.dataHash.mismatch", "assertion.dataHash.malformed"], []),
    ],
)
def test_check_says_each_reason_once_and_shows_a_waiver(
    signed: tuple[bytes, Path], tmp_path: Path, capsys: pytest.CaptureFixture[str],
    edit: tuple[bytes, bytes] | None, status: int, failures: list[str], waived: list[str],
) -> None:
    page, root = signed
    if edit is not None:
        page = page.replace(*edit)
    (tmp_path / "p.html").write_bytes(page)
    assert cli.main(["check", str(tmp_path), "--trust-anchors", str(root), "--json"]) == status
    document = json.loads(capsys.readouterr().out)
    (entry,) = document["files"]
    entries = [(f["code"], f["explanation"]) for f in entry["failures"]]
    assert [code for code, _ in entries] == failures
    assert len(set(entries)) == len(entries)
    assert [w["code"] for w in entry["waived"]] == waived
    if waived:
        assert document["summary"].endswith("(1 inline, with the C2PA SDK's failure for inline stores waived)")
    if edit is not None and edit[0].endswith(b"</title>"):
        start = page.index(b"<script")
        assert entry["verdict"] == (
            f"the page changed before the manifest element (the element moved from byte {start - 1} to byte "
            f"{start}) [assertion.dataHash.malformed]"
        )
    assert cli.main(["check", str(tmp_path / "p.html"), "--trust-anchors", str(root)]) == status
    out, err = capsys.readouterr()
    line = out + err
    # Every explanation once, the waived one marked as such, UTF-8 as it is.
    for code, explanation in entries:
        assert line.count(f"{code}: {explanation}") == 1
    for item in entry["waived"]:
        assert f"waived: {item['code']}: {item['explanation']}" in line


def test_show_names_the_format_and_a_title_cannot_reorder_its_line(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    chain = make_test_chain()
    signer = SigningKey(chain.chain_pem, chain.key_pem).signer()
    try:
        # U+202E would show the rest of the line right to left: "unem — éfaC".
        signed = sign_page(PAGE.replace(b"<title>", b"<title>\xe2\x80\xae"), MANIFEST, signer)
    finally:
        signer.close()
    (tmp_path / "p.html").write_bytes(signed)
    assert cli.main(["show", str(tmp_path / "p.html")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line for line in lines if line.startswith(("  title", "  format"))] == [
        "  title        \\u202eCaf\u00e9 \u2014 menu",
        "  format       text/html",
    ]
