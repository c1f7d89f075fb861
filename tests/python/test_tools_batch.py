"""A batch as a whole: no page can stop it, and what it prints cannot be forged by a page."""

from __future__ import annotations

import base64
import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from brevane_tools import cli, commands
from brevane_tools.commands.base import Command, Outcome, Page, PageFailed
from brevane_tools.errors import SigningError

PAGE = b"<html><head><title>t</title></head><body>x</body></html>"


def _raising(error: BaseException) -> Callable[[Page, None], Outcome]:
    def run(page: Page, _: None) -> Outcome:
        if page.relative.name == "b.html":
            raise error
        return Outcome("fine")

    return run


@pytest.mark.parametrize(
    ("error", "status", "line", "debug_shows"),
    [
        (AssertionError("the parser lost its place"), 3,
         "internal error: AssertionError: the parser lost its place", "Traceback (most recent call last):"),
        (RecursionError("maximum recursion depth exceeded"), 3,
         "internal error: RecursionError: maximum recursion depth exceeded", "Traceback (most recent call last):"),
        (KeyError("href"), 3, "internal error: KeyError: 'href'", "Traceback (most recent call last):"),
        (PageFailed("Invalid"), 1, "Invalid", None),
        (SigningError("the signer command failed (exit status 1)", detail="token=s3cr3t\x1b[2J"), 1,
         "the signer command failed (exit status 1)", "token=s3cr3t\\x1b[2J"),
        (MemoryError(), 1, "out of memory on this page", None),
        (PermissionError(13, "Permission denied"), 2, "Permission denied", None),
    ],
)
@pytest.mark.parametrize("debug", [False, True])
def test_one_page_never_stops_a_batch(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch,
    error: BaseException, status: int, line: str, debug_shows: str | None, debug: bool,
) -> None:
    probe: Command[None] = Command("probe", "test", lambda _: None, lambda _: None, _raising(error))
    monkeypatch.setattr(commands, "COMMANDS", (*commands.COMMANDS, probe))
    for name in ("a.html", "b.html", "c.html"):
        (tmp_path / name).write_bytes(PAGE)
    argv = ["probe", str(tmp_path), "--json", *(["--debug"] if debug else [])]
    assert cli.main(argv) == status
    out, err = capsys.readouterr()
    files = json.loads(out)["files"]
    assert [(Path(f["path"]).name, f["ok"], f.get("error")) for f in files] == [
        ("a.html", True, None), ("b.html", False, line), ("c.html", True, None)
    ]
    assert err.splitlines()[0] == f"brevane: {tmp_path}/b.html: {line}"
    # What only --debug shows (a traceback, a signer command's own words) stays out of the normal output.
    assert (debug_shows is not None and debug_shows in err) == (debug and debug_shows is not None)


def _names() -> list[tuple[bytes, str]]:
    return [
        (b"bank.html: Trusted\nevil.html", "bank.html: Trusted\\nevil.html"),
        (b"\x1b[2Jwipe.html", "\\x1b[2Jwipe.html"),
        (b"caf\xe9.html", "caf\\xe9.html"),
        (b"tab\there.html", "tab\there.html"),
        (b"\xc3\xa9t\xc3\xa9.html", "\u00e9t\u00e9.html"),
    ]


@pytest.mark.parametrize(("raw", "shown"), _names())
def test_file_names_cannot_forge_output_lines_and_json_keeps_their_bytes(
    tmp_path: Path, capsysbinary: pytest.CaptureFixture[bytes], raw: bytes, shown: str
) -> None:
    directory = os.fsencode(tmp_path)
    with open(os.path.join(directory, raw), "wb") as page:
        page.write(PAGE)
    assert cli.main(["locate", str(tmp_path)]) == 0
    out = capsysbinary.readouterr().out.decode("utf-8")
    assert out == f"{tmp_path}/{shown}: none\n"
    assert cli.main(["locate", str(tmp_path), "--json"]) == 0
    (entry,) = json.loads(capsysbinary.readouterr().out)["files"]
    exact = base64.b64decode(entry["path_base64"]) if "path_base64" in entry else entry["path"].encode()
    assert exact == directory + b"/" + raw


def test_a_hostile_head_is_one_page_of_the_batch(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> Any:
    pytest.importorskip("c2pa", reason="check needs the C2PA SDK (CPython 3.10+)")
    # This head made the standard library's HTML parser assert inside the <base href> lookup.
    (tmp_path / "a.html").write_bytes(b"<html><head><![<![x<base href=\"/\"><title>t</title></head></html>")
    (tmp_path / "b.html").write_bytes(PAGE)
    assert cli.main(["check", str(tmp_path), "--json"]) == 1
    files = json.loads(capsys.readouterr().out)["files"]
    assert [(Path(f["path"]).name, f["error"]) for f in files] == [
        ("a.html", "no C2PA manifest element found in the document head"),
        ("b.html", "no C2PA manifest element found in the document head"),
    ]
