"""How the brevane tool finds, reads and writes files, on real file systems.

Run as root, these tests also mount small tmpfs file systems (a full one, a
read-only one) and run the tool as the unprivileged user `nobody`; where that
is not possible they are skipped with the reason.
"""

from __future__ import annotations

import atexit
import base64
import fcntl
import json
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Optional

import brevane
import pytest

import brevane_tools
from brevane_tools import cli, files
from brevane_tools import commands
from brevane_tools.commands.base import Command, Outcome, Page
from brevane_tools.results import Spool

PAGE = b"<html><head><title>t</title></head><body>x</body></html>\n"
EMBEDDED = brevane.embed(PAGE, b"store")
# Cutting the link element joins "<" and "script ..." into a new element.
JOINED = b'<html><head><<link rel="c2pa-manifest" href="x">script type="application/c2pa">QUJD</script></head></html>'
SOURCE = str(Path(brevane_tools.__file__).resolve().parents[1])
NOBODY = 65534
IS_ROOT = os.geteuid() == 0


def _as_user(user: int) -> list[str]:
    return ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]


_reachable: dict[int, tuple[str, str]] = {}


def _runtime_for(user: int) -> tuple[str, str]:
    """An interpreter and a copy of the module and the tools that `user` can run.

    This interpreter may live where only root can read (pyenv under /root), and
    so may the tests' own venv; the module is abi3, so the system's Python 3
    serves as well, with a copy of the module and the tools in a shared place.
    """
    if user not in _reachable:
        copy = Path(tempfile.mkdtemp(prefix="brevane-runtime-"))
        atexit.register(shutil.rmtree, copy, True)
        shutil.copytree(Path(brevane_tools.__file__).parent, copy / "brevane_tools")
        shutil.copy2(str(brevane.__file__), copy)
        for libraries in Path(str(brevane.__file__)).parent.glob("brevane*.libs"):  # bundled by auditwheel
            shutil.copytree(libraries, copy / libraries.name)
        for path in [copy, *copy.rglob("*")]:
            os.chmod(path, 0o755)
        for python in (sys.executable, "/usr/bin/python3", "/usr/local/bin/python3"):
            probe = subprocess.run(
                [*_as_user(user), python, "-c", "import brevane, brevane_tools.cli"],
                capture_output=True, env={**os.environ, "PYTHONPATH": str(copy)}, cwd=copy,
            ) if os.path.exists(python) else None
            if probe is not None and probe.returncode == 0:
                _reachable[user] = (python, str(copy))
                break
        else:
            pytest.skip(f"no Python 3.9 or later that user {user} can run")
    return _reachable[user]


def spawn(*argv: str, user: Optional[int] = None, timeout: float = 60) -> subprocess.CompletedProcess[bytes]:
    """The tool in its own process, as root or (with setpriv) as another user."""
    python, path = (sys.executable, SOURCE) if user is None else _runtime_for(user)
    prefix = _as_user(user) if user is not None else []
    env = {**os.environ, "PYTHONPATH": path}
    return subprocess.run(
        [*prefix, python, "-m", "brevane_tools", *argv], capture_output=True, env=env, timeout=timeout
    )


Tool = Callable[..., "subprocess.CompletedProcess[bytes]"]


@pytest.fixture
def tool(capsysbinary: pytest.CaptureFixture[bytes]) -> Tool:
    """The tool: in this process, or in its own when it runs as another user or may hang."""

    def run(
        *argv: str, user: Optional[int] = None, timeout: Optional[float] = None
    ) -> subprocess.CompletedProcess[bytes]:
        if user is not None or timeout is not None:
            return spawn(*argv, user=user, timeout=timeout or 60)
        capsysbinary.readouterr()
        try:
            code = cli.main(list(argv))
        except SystemExit as exc:  # argparse's own usage errors
            code = int(exc.code or 0)
        out, err = capsysbinary.readouterr()
        return subprocess.CompletedProcess(list(argv), code, out, err)

    return run


def write(path: Path, data: bytes, mode: int = 0o644) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    os.chmod(path, mode)
    return path


def tree(root: Path) -> dict[str, bytes]:
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


needs_root = pytest.mark.skipif(not IS_ROOT or shutil.which("setpriv") is None, reason="needs root and setpriv")


@pytest.fixture
def shared(tmp_path: Path) -> Iterator[Path]:
    """A directory that `nobody` can reach (pytest's own is private to root)."""
    path = Path(tempfile.mkdtemp(prefix="brevane-files-"))
    os.chmod(path, 0o777)
    yield path
    shutil.rmtree(path, ignore_errors=True)


Mount = Callable[..., Path]


@pytest.fixture
def mount(tmp_path: Path) -> Iterator[Mount]:
    mounted: list[Path] = []

    def make(size: str, read_only_after: dict[str, bytes] | None = None) -> Path:
        point = tmp_path / f"fs{len(mounted)}"
        point.mkdir()
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(point)], capture_output=True)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
        mounted.append(point)
        for name, data in (read_only_after or {}).items():
            write(point / name, data)
        if read_only_after is not None:
            subprocess.run(["mount", "-o", "remount,ro", str(point)], check=True)
        return point

    yield make
    for point in reversed(mounted):
        subprocess.run(["umount", "-l", str(point)], check=False)


def test_special_bits_are_dropped_and_owner_kept_and_unchanged_files_not_rewritten(tool: Tool, shared: Path) -> None:
    if not IS_ROOT:
        pytest.skip("needs root to give a page another owner")
    page = write(shared / "p.html", EMBEDDED, 0o4755)
    os.chown(page, NOBODY, NOBODY)
    plain = write(shared / "notes.txt", b"\x7fELF not html", 0o6755)
    before = os.stat(plain)
    done = tool("remove", "--in-place", str(page), str(plain))
    assert done.returncode == 0, done.stderr
    after = os.stat(page)
    assert (stat.S_IMODE(after.st_mode), after.st_uid, after.st_gid) == (0o755, NOBODY, NOBODY)
    assert page.read_bytes() == PAGE
    unchanged = os.stat(plain)
    assert (unchanged.st_ino, unchanged.st_mtime_ns, unchanged.st_mode) == (
        before.st_ino, before.st_mtime_ns, before.st_mode
    )
    assert b"notes.txt: removed 0 element(s) (unchanged, not written)" in done.stdout


@needs_root
def test_a_user_who_cannot_keep_the_owner_is_refused(tool: Tool, shared: Path) -> None:
    page = write(shared / "p.html", EMBEDDED, 0o666)  # root's page, writable by all, in a directory open to all
    done = tool("remove", "--in-place", str(page), user=NOBODY)
    assert done.returncode == 2
    assert done.stderr.decode() == (
        f"brevane: {page}: {page} belongs to 0:0; the new file could not keep that owner and group, "
        "so it is left alone\n"
    )
    assert page.read_bytes() == EMBEDDED and os.stat(page).st_uid == 0
    assert sorted(p.name for p in shared.iterdir()) == ["p.html"]


@pytest.mark.parametrize(
    ("inputs", "output", "message"),
    [
        (["nest/d"], "nest/d/sub", "the output {output} and the input {root}/nest/d overlap: "
         "use a directory outside the input tree (or --in-place)"),
        (["nest/d/sub"], "nest", "the output {output} and the input {root}/nest/d/sub overlap: "
         "use a directory outside the input tree (or --in-place)"),
        (["nest/d/sub/a.html", "nest/d/b.html"], "nest/d/sub",
         "the input {root}/nest/d/sub/a.html lies in the output {output}"),
        (["nest/d/b.html"], "nest/d/b.html", "the output {output} is the input page (use --in-place)"),
    ],
)
def test_output_overlapping_an_input_is_refused_before_anything_is_written(
    tool: Tool, tmp_path: Path, inputs: list[str], output: str, message: str
) -> None:
    write(tmp_path / "nest/d/sub/a.html", PAGE)
    write(tmp_path / "nest/d/b.html", PAGE)
    before = tree(tmp_path)
    done = tool("reference", "--href", "/m", "-o", str(tmp_path / output), *(str(tmp_path / i) for i in inputs))
    assert done.returncode == 2
    assert done.stderr.decode() == "brevane: " + message.format(output=tmp_path / output, root=tmp_path) + "\n"
    assert tree(tmp_path) == before


def test_a_page_reached_by_links_is_edited_once_and_links_out_of_the_tree_refused(tool: Tool, tmp_path: Path) -> None:
    outside = write(tmp_path / "outside.html", EMBEDDED)
    site = tmp_path / "site"
    inner = write(site / "real/in.html", EMBEDDED)
    (site / "in-link.html").symlink_to(inner)
    (site / "out-link.html").symlink_to(outside)
    (site / "loop").symlink_to(site)  # a directory loop is walked once
    done = tool("remove", "--in-place", str(site), str(site / "real" / "." / "in.html"))
    assert done.returncode == 2
    assert done.stderr.decode().splitlines()[0] == (
        f"brevane: {site}/out-link.html: a symbolic link out of {site} (to {outside}), not followed; "
        "--follow-outside follows it"
    )
    assert outside.read_bytes() == EMBEDDED and inner.read_bytes() == PAGE
    assert (site / "in-link.html").is_symlink()
    # One page, reached by a link, a directory loop and a second spelling: edited once.
    assert done.stdout.decode().count("removed") == 1
    done = tool("remove", "--in-place", "--follow-outside", str(site))
    assert done.returncode == 0 and outside.read_bytes() == PAGE


@pytest.mark.parametrize("kind", ["symlink", "fifo", "device", "directory-link"])
def test_a_destination_is_never_written_through_or_replaced_unless_a_regular_file(
    tool: Tool, tmp_path: Path, kind: str
) -> None:
    page = write(tmp_path / "site/a.html", EMBEDDED)
    elsewhere = write(tmp_path / "elsewhere/a.html", b"keep")
    out = tmp_path / "out"
    out.mkdir()
    target = out / "a.html"
    if kind == "symlink":
        target.symlink_to(elsewhere)
    elif kind == "fifo":
        os.mkfifo(target)
    elif kind == "device":
        if not IS_ROOT:
            pytest.skip("needs root to make a device node")
        os.mknod(target, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    else:
        write(tmp_path / "site/sub/b.html", EMBEDDED)
        (out / "sub").symlink_to(tmp_path / "elsewhere")
        target = out / "sub"
    before = os.lstat(target)
    done = tool("remove", "-o", str(out), str(tmp_path / "site"), timeout=20)
    assert done.returncode == 2
    after = os.lstat(target)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert elsewhere.read_bytes() == b"keep" and page.read_bytes() == EMBEDDED
    assert sorted(p.name for p in (tmp_path / "elsewhere").iterdir()) == ["a.html"]


def test_a_page_with_other_hard_links_is_refused_not_split(tool: Tool, tmp_path: Path) -> None:
    page = write(tmp_path / "p.html", EMBEDDED)
    os.link(page, tmp_path / "q.html")
    done = tool("remove", "--in-place", str(page))
    assert done.returncode == 2
    assert done.stderr.decode() == (
        f"brevane: {page}: {page} has 2 hard links; replacing it would split them, so it is left alone\n"
    )
    assert (tmp_path / "q.html").read_bytes() == page.read_bytes() == EMBEDDED


def test_file_names_that_are_not_utf8_are_escaped_in_text_and_exact_in_json(tool: Tool, tmp_path: Path) -> None:
    raw = os.fsencode(tmp_path) + b"/site/caf\xe9.html"
    write(Path(os.fsdecode(raw)), EMBEDDED)
    write(tmp_path / "site/z.html", EMBEDDED)
    done = tool("remove", "--in-place", str(tmp_path / "site"))
    assert (done.returncode, done.stdout.count(b"removed 1")) == (0, 2)
    assert f"{tmp_path}/site/caf\\xe9.html: removed 1 element(s)".encode() in done.stdout
    done = tool("locate", "--json", str(tmp_path / "site"))
    first = json.loads(done.stdout)["files"][0]
    assert first["path"] == f"{tmp_path}/site/caf\\xe9.html"
    assert base64.b64decode(first["path_base64"]) == raw


@pytest.mark.parametrize("mode", [["--in-place"], ["-o", "{out}"]])
def test_a_page_whose_name_is_near_the_longest_is_written(tool: Tool, tmp_path: Path, mode: list[str]) -> None:
    # Its temporary file keeps only the start of the name; the name itself is 250 bytes, four of them é.
    name = "\u00e9" * 4 + "x" * 237 + ".html"
    write(tmp_path / "site" / name, EMBEDDED)
    done = tool("remove", *(m.format(out=tmp_path / "out") for m in mode), str(tmp_path / "site"))
    assert (done.returncode, done.stdout.count(b"removed 1")) == (0, 1)
    written = tmp_path / ("site" if mode == ["--in-place"] else "out") / name
    assert written.read_bytes() == PAGE
    assert sorted(p.name for p in written.parent.iterdir()) == [name]


@needs_root
def test_unreadable_directories_and_files_are_input_errors(tool: Tool, shared: Path) -> None:
    write(shared / "site/a.html", EMBEDDED)
    locked = shared / "site/locked"
    write(locked / "b.html", EMBEDDED)
    secret = write(shared / "site/secret.html", EMBEDDED, 0o600)
    os.chmod(locked, 0o700)
    done = tool("locate", str(shared / "site"), user=NOBODY)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines() == [
        f"brevane: {locked}: cannot read the directory: Permission denied",
        f"brevane: {secret}: Permission denied",
        "2 pages: 1 ok, 1 failed; 1 input error",
    ]
    assert done.stdout.decode().startswith(f"{shared}/site/a.html: ")


def test_fifos_devices_and_oversized_pages_fail_alone(tool: Tool, tmp_path: Path) -> None:
    site = tmp_path / "site"
    write(site / "a.html", EMBEDDED)
    write(site / "big.html", EMBEDDED + b" " * 200)
    os.mkfifo(site / "m.html")
    (site / "zero.html").symlink_to("/dev/zero")
    done = tool("locate", "--max-page-size", "150", "--follow-outside", str(site), timeout=20)
    assert done.returncode == 2
    size = len(EMBEDDED) + 200
    assert sorted(done.stderr.decode().splitlines()) == sorted([
        f"brevane: {site}/m.html: a FIFO, not read",
        f"brevane: {site}/zero.html: a device, not read",
        f"brevane: {site}/big.html: the page is {size} bytes, over the limit of 150 (--max-page-size)",
        "2 pages: 1 ok, 1 failed; 2 input errors",
    ])
    assert done.stdout.decode().startswith(f"{site}/a.html: ")


def test_extract_o_on_a_referencing_page_fails_and_o_dash_gives_store_bytes_only(tool: Tool, tmp_path: Path) -> None:
    linked = write(tmp_path / "l.html", brevane.embed_reference(PAGE, "https://cdn.test/s.c2pa"))
    done = tool("extract", "-o", str(tmp_path / "s.c2pa"), str(linked))
    assert done.returncode == 1 and not (tmp_path / "s.c2pa").exists()
    assert done.stderr.decode() == (
        f"brevane: {linked}: the store is not in the page: the page references it at https://cdn.test/s.c2pa\n"
    )
    embedded = write(tmp_path / "e.html", EMBEDDED)
    done = tool("extract", "-o", "-", str(embedded))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"store", b"")


@pytest.mark.parametrize(
    "argv", [["remove"], ["embed", "--store", "{store}"], ["reference", "--href", "s.c2pa"]]
)
def test_an_edit_that_leaves_a_joined_element_fails_the_page(tool: Tool, tmp_path: Path, argv: list[str]) -> None:
    store = write(tmp_path / "s.c2pa", b"store")
    page = write(tmp_path / "p.html", JOINED)
    done = tool(*(a.replace("{store}", str(store)) for a in argv), "--in-place", str(page))
    assert done.returncode == 1
    assert done.stderr.decode() == f"brevane: {page}: the bytes around a removed element form a new manifest element\n"
    assert page.read_bytes() == JOINED


def test_a_full_disk_or_read_only_file_system_changes_nothing(tool: Tool, tmp_path: Path, mount: Mount) -> None:
    full = mount("64k")
    page = write(full / "p.html", PAGE)
    store = write(tmp_path / "s.c2pa", os.urandom(96 * 1024))
    done = tool("embed", "--store", str(store), "--in-place", str(page))
    assert done.returncode == 2 and b"No space left on device" in done.stderr
    assert [p.name for p in full.iterdir()] == ["p.html"] and page.read_bytes() == PAGE

    read_only = mount("1m", {"p.html": EMBEDDED})
    done = tool("remove", "--in-place", str(read_only / "p.html"))
    assert done.returncode == 2 and b"Read-only file system" in done.stderr
    assert tree(read_only) == {"p.html": EMBEDDED}


def test_mirrored_output_is_the_whole_site(tool: Tool, tmp_path: Path) -> None:
    site = tmp_path / "site"
    for name, data in [("a.html", EMBEDDED), ("b.xhtml", EMBEDDED), ("c.shtml", EMBEDDED), ("img/x.png", b"\x89PNG")]:
        write(site / name, data)
    done = tool("remove", "-o", str(tmp_path / "out"), str(site))
    assert done.returncode == 0
    assert tree(tmp_path / "out") == {"a.html": PAGE, "b.xhtml": PAGE, "c.shtml": PAGE, "img/x.png": b"\x89PNG"}
    assert done.stderr.decode() == "3 pages: 3 ok, 0 failed; other files: 1 hard-linked, 0 copied, 0 unchanged\n"
    done = tool("remove", "--extensions", "html", "-o", str(tmp_path / "out2"), str(site))
    assert sorted(tree(tmp_path / "out2").items()) == sorted(
        {"a.html": PAGE, "b.xhtml": EMBEDDED, "c.shtml": EMBEDDED, "img/x.png": b"\x89PNG"}.items()
    )


def _site(root: Path, count: int) -> dict[Path, bytes]:
    pages = {root / f"d{i % 7}" / f"p{i:03}.html": brevane.embed(PAGE * (1 + i % 50), bytes([i % 256]) * 900)
             for i in range(count)}
    for path, data in pages.items():
        write(path, data)
    return pages


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_a_killed_batch_leaves_every_page_old_or_new(tmp_path: Path, how: signal.Signals) -> None:
    rng = random.Random(how)
    env = {**os.environ, "PYTHONPATH": SOURCE}
    for trial in range(6):
        site = tmp_path / f"site{trial}"
        pages = _site(site, 400)
        process = subprocess.Popen(
            [sys.executable, "-m", "brevane_tools", "remove", "--in-place", "-q", str(site)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        first, old = min(pages.items())  # the first page edited: the batch is under way once it changes
        deadline = time.monotonic() + 30
        while first.read_bytes() == old and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.002)
        time.sleep(rng.uniform(0, 0.3))
        process.send_signal(how)
        process.wait(timeout=30)
        for path, old in pages.items():
            assert path.read_bytes() in (old, brevane.remove(old)), path
        leftovers = [p for p in site.rglob("*") if p.is_file() and p not in pages]
        if how == signal.SIGTERM:
            assert leftovers == []


def test_running_out_of_memory_fails_that_page_only(tmp_path: Path) -> None:
    big = write(tmp_path / "site/big.html", b"<html><head></head><body>" + b"x" * (160 << 20) + b"</body></html>")
    write(tmp_path / "site/small.html", EMBEDDED)
    limit = 240 << 20  # room for the interpreter, not for the big page read and joined

    def cap() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    done = subprocess.run(
        [sys.executable, "-m", "brevane_tools", "locate", "--max-page-size", "1G", str(tmp_path / "site")],
        capture_output=True, env={**os.environ, "PYTHONPATH": SOURCE}, preexec_fn=cap, timeout=60,
    )
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == [
        f"brevane: {big}: out of memory on this page",
        "2 pages: 1 ok, 1 failed",
    ]
    assert done.stdout.decode() == f"{tmp_path}/site/small.html: 28:49\n"


def test_a_page_and_its_store_are_written_together_or_not_at_all(
    tmp_path: Path, mount: Mount, monkeypatch: pytest.MonkeyPatch
) -> None:
    stores = {"writable": tmp_path / "stores", "read-only": mount("1m", {})}

    def with_store(page: Page, where: Path) -> Outcome:
        assert page.html is not None and page.path is not None
        return Outcome("stored", page=page.html + b"<!-- new -->", files=((where / f"{page.path.name}.c2pa", b"S"),))

    for name, where in stores.items():
        def settings(_: object, where: Path = where) -> Path:
            return where

        monkeypatch.setattr(commands, "COMMANDS", (*commands.COMMANDS, Command(name, "test", lambda _: None, settings, with_store, output="edit")))
    page = write(tmp_path / "site/p.html", PAGE)
    assert cli.main(["read-only", "--in-place", str(page)]) == cli.EXIT_USAGE
    assert page.read_bytes() == PAGE and sorted(p.name for p in page.parent.iterdir()) == ["p.html"]
    assert cli.main(["writable", "--in-place", str(page)]) == cli.EXIT_OK
    assert page.read_bytes() == PAGE + b"<!-- new -->" and (stores["writable"] / "p.html.c2pa").read_bytes() == b"S"


#: Entries of a tree a run writes, and whether the run takes them for leftovers of a killed run.
LEFTOVERS: list[tuple[str, str, bool]] = [
    ("file", ".p.html.0123abcd.tmp", True),
    ("file", "d/.p.html.0123abcd.tmp.old", True),  # the old page kept while a page and its store were renamed
    ("link", "d/.l.html.89abcdef.tmp", True),  # a link being made again: the link goes, never what it leads to
    ("file", ".p.html.0123ABCD.tmp", False),
    ("file", ".p.html.0123abc.tmp", False),
    ("file", "p.html.0123abcd.tmp", False),
    ("file", ".p.html.0123abcd.tmp.bak", False),
    ("other user", ".q.html.0123abcd.tmp", False),
    ("directory", ".d.0123abcd.tmp", False),
    ("fifo", ".f.html.0123abcd.tmp", False),
    ("through a link", "out-link/.p.html.0123abcd.tmp", False),
]


def _plant(root: Path, elsewhere: Path) -> None:
    (root / "d").mkdir(parents=True, exist_ok=True)
    (elsewhere / "kept.txt").write_bytes(b"kept")
    os.symlink(elsewhere, root / "out-link")
    for kind, relative, _ in LEFTOVERS:
        path = root / relative
        if kind == "link":
            os.symlink(elsewhere / "kept.txt", path)
        elif kind == "directory":
            path.mkdir()
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind != "through a link":
            write(path, b"left")
            if kind == "other user":
                os.chown(path, 65534, 65534)
    (elsewhere / ".p.html.0123abcd.tmp").write_bytes(b"not ours to remove")


@pytest.mark.parametrize("mode", ["-o", "--in-place"])
@pytest.mark.parametrize("another_run", [False, True])
def test_a_run_removes_the_leftovers_of_killed_runs_in_the_trees_it_writes_and_nothing_else(
    tool: Tool, tmp_path: Path, mode: str, another_run: bool
) -> None:
    site, out, elsewhere = tmp_path / "site", tmp_path / "out", tmp_path / "elsewhere"
    elsewhere.mkdir()
    write(site / "d" / "p.html", brevane.embed(PAGE, b"store"))
    written = out if mode == "-o" else site
    _plant(written, elsewhere)
    hour_old = written / "d" / ".p.html.0123abcd.tmp.old"
    os.utime(hour_old, (time.time() - 3601, time.time() - 3601))
    holder = os.open(written, os.O_RDONLY | os.O_DIRECTORY)
    if another_run:  # writing the same tree: only what has been left untouched for an hour goes
        fcntl.flock(holder, fcntl.LOCK_SH)
    try:
        result = tool("remove", str(site), *(["-o", str(out)] if mode == "-o" else ["--in-place"]))
    finally:
        os.close(holder)
    # In place, the link out of the tree is also an input error of the walk (it is not followed).
    assert result.returncode == (0 if mode == "-o" else 2), result.stderr
    gone = {relative for kind, relative, removed in LEFTOVERS if removed and (not another_run or
                                                                            written / relative == hour_old)}
    for kind, relative, _ in LEFTOVERS:
        assert os.path.lexists(written / relative) == (relative not in gone), relative
    assert (elsewhere / "kept.txt").read_bytes() == b"kept"
    assert (elsewhere / ".p.html.0123abcd.tmp").read_bytes() == b"not ours to remove"
    plural = "s" if len(gone) != 1 else ""
    assert result.stderr.decode().splitlines()[-1].endswith(f"; {len(gone)} temporary file{plural} of killed runs removed")


def test_pages_come_in_the_order_of_their_paths_without_a_list_of_them(tmp_path: Path) -> None:
    # A directory's pages sit where its name sorts: "b/" before "b.html", before "b0/"; capitals first.
    names = ["b.html", "b/c.html", "B/x.html", "b-c.html", "b0/z.html", "a.html", "b/a/deep.html", "\u00e9.html"]
    for name in names:
        write(tmp_path / "site" / name, PAGE)
    found = files.find_pages([str(tmp_path / "site")])
    assert [p.relative for p in found] == sorted(Path(name) for name in names)
    assert len(found.pages) == len(names) and found.pages[-1].relative == Path("\u00e9.html")


@pytest.mark.parametrize("held", [0, 3, 100])
def test_a_spool_gives_back_its_records_in_order_held_or_spilled(monkeypatch: pytest.MonkeyPatch, held: int) -> None:
    monkeypatch.setattr(Spool, "HELD", held)
    spool: Spool[tuple[int, Path]] = Spool()
    records = [(n, Path(f"d/{n}.html")) for n in range(7)]
    spool.extend(records[:5])
    early = iter(spool)
    first = next(early)  # an iteration under way sees the five there were, while two more come
    spool.extend(records[5:])
    assert [first, *early] == records[:5] and list(spool) == records
    assert [spool[n] for n in (0, 2, 4, 6, -1)] == [records[n] for n in (0, 2, 4, 6, -1)] and spool[1:3] == records[1:3]
    spool.close()

