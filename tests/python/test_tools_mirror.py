"""`-o DIR` makes the whole site again: every entry, of the same kind, symbolic links as links."""

from __future__ import annotations

import io
import os
import re
import sys
from pathlib import Path
from typing import Union

import brevane
import pytest

from brevane_tools import cli, commands
from brevane_tools.commands.base import Command, Outcome, Page, PageFailed

PAGE = b"<html><head><title>t</title></head><body>x</body></html>\n"
EMBEDDED = brevane.embed(PAGE, b"store")
#: Python's documentation as Debian 12 (python3.11-doc) or 13 (python3.13-doc) installs it.
DEBIAN_DOCS = next((p for p in map(Path, ("/usr/share/doc/python3.11/html", "/usr/share/doc/python3.13/html"))
                    if p.is_dir()), None)


class HardLink(str):
    """A second name for the file named."""


#: An entry of a tree: a file's bytes, a symbolic link's text, a hard link, or a directory (None).
Shape = dict[str, Union[bytes, str, HardLink, None]]
Entry = tuple[str, Union[bytes, str, None]]


def build(root: Path, shape: Shape) -> None:
    for relative, what in shape.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if what is None:
            path.mkdir()
        elif isinstance(what, bytes):
            path.write_bytes(what)
        elif isinstance(what, HardLink):
            os.link(root / what, path)
        else:
            path.symlink_to(what)


def entries(root: Path) -> dict[str, Entry]:
    """Every entry under `root`, by kind, never through a link."""
    found: dict[str, Entry] = {}
    for directory, subdirectories, names in os.walk(root):
        for name in subdirectories + names:
            path = Path(directory, name)
            relative = str(path.relative_to(root))
            if path.is_symlink():
                found[relative] = ("link", os.readlink(path))
            elif path.is_dir():
                found[relative] = ("directory", None)
            else:
                found[relative] = ("file", path.read_bytes())
    return found


def removed(tree: dict[str, Entry]) -> dict[str, Entry]:
    """A tree as `remove` must make it again: pages without their manifest elements, the rest as it is."""
    return {
        relative: ("file", brevane.remove(data)) if kind == "file" and relative.endswith(".html") and
        isinstance(data, bytes) else (kind, data)
        for relative, (kind, data) in tree.items()
    }


def run(capsysbinary: pytest.CaptureFixture[bytes], *argv: str) -> tuple[int, str, str]:
    capsysbinary.readouterr()
    code = cli.main(list(argv))
    out, err = capsysbinary.readouterr()
    return code, out.decode(), err.decode()


SUMMARY = "1 page: 1 ok, 0 failed; other files: 0 hard-linked, 0 copied, 0 unchanged; "


@pytest.mark.parametrize(
    ("shape", "flags", "changed", "stderr"),
    [
        pytest.param({"index.html": EMBEDDED, "alias.html": "index.html"}, [], {}, [SUMMARY + "1 symbolic link"],
                     id="alias of a page"),
        pytest.param({"a.html": EMBEDDED, "style.css": b"css", "sub/link.css": "../style.css"}, [], {},
                     ["1 page: 1 ok, 0 failed; other files: 1 hard-linked, 0 copied, 0 unchanged; 1 symbolic link"],
                     id="link to a css file"),
        pytest.param({"docs/index.html": EMBEDDED, "index.html": "docs/index.html"}, [], {},
                     [SUMMARY + "1 symbolic link"], id="root page a link into docs"),
        pytest.param({"v2/a.html": EMBEDDED, "latest": "v2"}, [], {}, [SUMMARY + "1 symbolic link"],
                     id="directory link"),
        pytest.param({"a.html": EMBEDDED, "gone.css": "missing.css"}, [], {}, [
            "brevane: {site}/gone.css: warning: a dangling symbolic link (to missing.css), kept as a link",
            SUMMARY + "1 symbolic link (1 dangling)",
        ], id="dangling link"),
        pytest.param({"a.html": EMBEDDED, "ext.js": "../outside/lib.js"}, [], {}, [
            "brevane: {site}/ext.js: warning: a symbolic link out of the tree (to ../outside/lib.js), kept as a link; "
            "--follow-outside copies what it leads to",
            SUMMARY + "1 symbolic link (1 out of the tree)",
        ], id="link out of the tree"),
        pytest.param({"a.html": EMBEDDED, "ext.js": "../outside/lib.js"}, ["--follow-outside"],
                     {"ext.js": ("file", b"lib")},
                     ["1 page: 1 ok, 0 failed; other files: 1 hard-linked, 0 copied, 0 unchanged"],
                     id="link out of the tree, followed"),
        pytest.param({"a.html": EMBEDDED, "empty": None, "deep/er": None}, [], {}, [], id="empty directories"),
        pytest.param({"a.html": EMBEDDED, "loop": ".", "x": "y", "y": "x"}, [], {}, [
            "brevane: {site}/x: warning: a dangling symbolic link (to y), kept as a link",
            "brevane: {site}/y: warning: a dangling symbolic link (to x), kept as a link",
            SUMMARY + "3 symbolic links (2 dangling)",
        ], id="link loops"),
        pytest.param({"a.html": EMBEDDED, "b.html": HardLink("a.html")}, [], {}, ["2 pages: 2 ok, 0 failed"],
                     id="hard-linked pages"),
    ],
)
def test_the_output_is_the_site_entry_for_entry(
    capsysbinary: pytest.CaptureFixture[bytes], tmp_path: Path, shape: Shape, flags: list[str],
    changed: dict[str, Entry], stderr: list[str],
) -> None:
    site, out = tmp_path / "site", tmp_path / "out"
    build(tmp_path, {"outside/lib.js": b"lib"})
    build(site, shape)
    code, stdout, err = run(capsysbinary, "remove", *flags, "-o", str(out), str(site))
    assert code == 0
    assert err.splitlines() == [line.format(site=site) for line in stderr]
    # Each page once, at its own path however many names lead to it.
    pages = sorted(r for r, (kind, _) in entries(site).items() if kind == "file" and r.endswith(".html"))
    assert sorted(line.split(":")[0] for line in stdout.splitlines()) == [str(site / p) for p in pages]
    assert entries(out) == {**removed(entries(site)), **changed}


def test_a_debian_documentation_tree_is_made_again_entry_for_entry(
    capsysbinary: pytest.CaptureFixture[bytes], tmp_path: Path
) -> None:
    if DEBIAN_DOCS is None:
        pytest.skip("needs Debian's python3.11-doc (or python3.13-doc) package")
    # Its pages carry no manifest elements; its links out of the tree (scripts, on Debian 12) are warned of.
    code, _, err = run(capsysbinary, "remove", "-q", "-o", str(tmp_path / "out"), str(DEBIAN_DOCS))
    assert code == 0, err
    source = entries(DEBIAN_DOCS)
    assert entries(tmp_path / "out") == source
    outside = sorted(r for r, (kind, text) in source.items() if kind == "link" and isinstance(text, str)
                     and not os.path.realpath(DEBIAN_DOCS / r).startswith(str(DEBIAN_DOCS) + "/"))
    warned = sorted(line.split(": ")[1] for line in err.splitlines() if ": warning: " in line)
    assert warned == [str(DEBIAN_DOCS / r) for r in outside]


def test_a_link_in_the_way_in_the_output_is_replaced_but_a_directory_link_is_never_written_through(
    capsysbinary: pytest.CaptureFixture[bytes], tmp_path: Path
) -> None:
    site, out, elsewhere = tmp_path / "site", tmp_path / "out", tmp_path / "elsewhere"
    build(site, {"a.html": EMBEDDED, "style.css": "a.html", "sub/b.html": EMBEDDED})
    build(tmp_path, {"out/style.css": "../elsewhere/old.css", "out/sub": "../elsewhere", "elsewhere/keep": b"keep"})
    code, _, err = run(capsysbinary, "remove", "-o", str(out), str(site))
    assert code == 2
    assert err.splitlines() == [
        f"brevane: {out}/sub: {out}/sub is a symbolic link, not written through",
        f"brevane: {site}/sub/b.html: cannot write {out}/sub/b.html: {out}/sub is a symbolic link, not written through",
        "2 pages: 1 ok, 1 failed; other files: 0 hard-linked, 0 copied, 0 unchanged, 1 failed; 1 symbolic link",
    ]
    assert os.readlink(out / "style.css") == "a.html"
    assert entries(elsewhere) == {"keep": ("file", b"keep")}


def _failing_on_b(page: Page, _: None) -> Outcome:
    """A command that edits every page but b.html, which it cannot."""
    if page.relative.name == "b.html":
        raise PageFailed("cannot edit this one")
    assert page.html is not None
    return Outcome("edited", page=page.html + b"<!--edited-->")


PROBE: Command[None] = Command("probe", "test", lambda _: None, lambda _: None, _failing_on_b, output="edit")
#: A site, and what an earlier mirror left in its output that the site no longer has (and one store it keeps).
SITE = {"a.html": PAGE, "b.html": PAGE + b"<!--b-->", "img.png": b"png", "sub/c.html": PAGE}
STALE = {"old.html": b"old", "old.html.c2pa": b"store", "gone/deep/x.png": b"x", "a.html.c2pa": b"kept with a.html"}


def mirrored_with_probe(site: dict[str, bytes]) -> dict[str, bytes]:
    """What the output holds after `probe -o OUT --delete` of SITE over STALE."""
    edited = {name: data + b"<!--edited-->" for name, data in site.items() if name.endswith(".html") and
              not name.endswith("b.html")}
    return {**site, **edited, "a.html.c2pa": STALE["a.html.c2pa"]}


def test_a_mirror_copies_failed_pages_unchanged_and_delete_removes_what_left_the_source(
    capsysbinary: pytest.CaptureFixture[bytes], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(commands, "COMMANDS", (*commands.COMMANDS, PROBE))
    site, out, elsewhere = tmp_path / "site", tmp_path / "out", tmp_path / "elsewhere"
    build(site, dict(SITE))
    build(out, {**STALE, "escape": "../elsewhere", "sub/old-link": "../a.html"})
    build(elsewhere, {"keep.html": b"keep"})
    code, _, err = run(capsysbinary, "probe", "-o", str(out), str(site), "--delete")
    assert code == 1  # the failed page still fails the run
    lines = err.splitlines()
    assert lines[0] == f"brevane: {site}/b.html: cannot edit this one; copied unchanged to {out}/b.html"
    assert lines[-1] == (
        "3 pages: 2 ok, 1 failed; 1 failed page copied unchanged to the output; other files: 1 hard-linked, "
        "0 copied, 0 unchanged, 5 deleted (no longer in the source)"
    )
    assert {r: data for r, (kind, data) in entries(out).items() if kind == "file"} == mirrored_with_probe(SITE)
    assert sorted(r for r, (kind, _) in entries(out).items() if kind != "file") == ["sub"]
    assert entries(elsewhere) == {"keep.html": ("file", b"keep")}  # the link out was removed, never followed


@pytest.mark.parametrize("argv", [["--in-place"], ["-o", "{out}/one.html", "{site}/a.html"]])
def test_delete_takes_a_mirror_of_whole_trees(
    capsysbinary: pytest.CaptureFixture[bytes], tmp_path: Path, argv: list[str]
) -> None:
    build(tmp_path / "site", {"a.html": PAGE})
    (tmp_path / "out").mkdir()
    values = {"site": tmp_path / "site", "out": tmp_path / "out"}
    argv = [a.format(**values) for a in argv] + ([str(tmp_path / "site")] if "-o" not in argv else [])
    code, _, err = run(capsysbinary, "remove", "--delete", *argv)
    assert (code, err) == (2, "brevane: --delete takes -o DIR (or a prefix) and directories (or prefixes) to "
                              "mirror there\n")


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("flags", [["--json"], []])
def test_progress_counts_pages_only_and_shows_on_a_terminal_whatever_the_output(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, flags: list[str]
) -> None:
    site = tmp_path / "site"
    build(site, {**{f"p{i}.html": EMBEDDED for i in range(10)}, "alias.html": "p0.html", "gone.html": "nothing.html",
                 "img.png": b"png", "empty": None})
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["remove", *flags, "-o", str(tmp_path / "out"), str(site)]) == 0
    bars = re.findall(r"\] ([0-9,]+)/([0-9,]+) pages(, [0-9,]+/s, ETA [0-9]+:[0-9]{2}:[0-9]{2})?", terminal.getvalue())
    assert {total for _, total, _ in bars} == {"10"}
    assert bars[-1][0] == "10" and bars[-1][2]  # the last page drawn, with its rate and what is left
