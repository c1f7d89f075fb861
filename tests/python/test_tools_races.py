"""Files swapped while a real batch runs: nothing private is read into an output, nothing
outside the site (or its output) is written, and the tool's own temporary files stay its own.

Each test runs the tool in its own process on a site of a few thousand pages and, for as
long as the process lives, keeps swapping entries of the site for symbolic links into a
private tree and back. Whatever the timing, the same things must hold afterwards.
"""

from __future__ import annotations

import os
import random
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import brevane
import pytest

import brevane_tools

SOURCE = str(Path(brevane_tools.__file__).resolve().parents[1])
ENV = {**os.environ, "PYTHONPATH": SOURCE}
SECRET = b"private-5c0e7d1a"
DIRECTORIES, PAGES, OTHERS = 20, 100, 20  # per directory
SWAPPED = 10  # the first directories; the others are never touched


def page(body: bytes) -> bytes:
    return brevane.embed(b"<html><head><title>t</title></head><body>" + body + b"</body></html>\n", b"store")


def build(root: Path, body: bytes) -> dict[str, bytes]:
    files = {}
    for d in range(DIRECTORIES):
        files.update({f"d{d:02}/p{i:03}.html": page(body + b"%d" % i) for i in range(PAGES)})
        files.update({f"d{d:02}/img{i:02}.png": body * 8 for i in range(OTHERS)})
    for relative, data in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_bytes(data)
    return files


def entries(root: Path) -> Iterator[Path]:
    """Everything under `root`, never through a link."""
    for directory, subdirectories, names in os.walk(root):
        for name in subdirectories + names:
            yield Path(directory, name)


def state(path: Path) -> tuple[int, int, bytes]:
    st = os.lstat(path)
    content = os.readlink(path).encode() if path.is_symlink() else path.read_bytes() if path.is_file() else b""
    return st.st_ino, st.st_mtime_ns, content


def snapshot(root: Path) -> dict[Path, tuple[int, int, bytes]]:
    return {path: state(path) for path in entries(root)}


def run_swapping(argv: list[str], site: Path, private: Path, hold: Path, swapped: str, log: Path) -> set[str]:
    """Run the tool while entries of the first directories keep being swapped for links into
    `private` and back; the entries that were swapped at least once."""
    rng = random.Random(" ".join(argv) + swapped)
    if swapped == "directory":
        candidates = [f"d{d:02}" for d in range(SWAPPED)]
    else:
        name = "p{:03}.html" if swapped == "page" else "img{:02}.png"
        count = PAGES if swapped == "page" else OTHERS
        candidates = [f"d{d:02}/" + name.format(i) for d in range(SWAPPED) for i in range(count)]
    touched: set[str] = set()
    with open(log, "wb") as output:
        process = subprocess.Popen(
            [sys.executable, "-m", "brevane_tools", *argv], env=ENV, stdout=output, stderr=output
        )
        deadline = time.monotonic() + 60
        while process.poll() is None and time.monotonic() < deadline:
            relative = rng.choice(candidates)
            entry, held = site / relative, hold / "held"
            os.rename(entry, held)
            # Touched either way: an edit in place that lands meanwhile is undone by the put-back below.
            touched.add(relative)
            try:
                os.symlink(private / relative, entry)
            except FileExistsError:  # an edit in place put the page back meanwhile
                pass
            else:
                time.sleep(rng.choice((0, 0.0002, 0.001)))
                if swapped == "directory":
                    os.unlink(entry)
            os.replace(held, entry)
        process.kill()
        assert process.wait() != -signal.SIGKILL, "the run did not end within a minute"
    return touched


@pytest.mark.parametrize(
    ("mode", "swapped"),
    [("-o", "page"), ("-o", "other"), ("-o", "directory"), ("--in-place", "page"), ("--in-place", "directory")],
)
def test_entries_swapped_for_links_during_a_batch_never_leak_or_write_private_files(
    tmp_path: Path, mode: str, swapped: str
) -> None:
    site, private, hold, out = tmp_path / "site", tmp_path / "private", tmp_path / "hold", tmp_path / "out"
    files = build(site, b"public")
    build(private, SECRET)
    hold.mkdir()
    before = snapshot(private)
    argv = ["remove", "-q", *(["-o", str(out)] if mode == "-o" else ["--in-place"]), str(site)]
    touched = run_swapping(argv, site, private, hold, swapped, tmp_path / "log")

    assert snapshot(private) == before
    made = ["hold", "log", "private", "site"] + (["out"] if mode == "-o" else [])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(made)
    written = out if mode == "-o" else site
    log = (tmp_path / "log").read_text()
    for path in entries(written):
        if path.is_symlink():  # only where the walk met a link, and said so
            source = site / path.relative_to(written)
            assert f"{source}: warning: a symbolic link out of the tree (to {os.readlink(path)})" in log
        elif path.is_file():
            assert SECRET not in path.read_bytes(), path
    # What was never swapped came through as it should, whatever happened around it.
    for relative, data in files.items():
        if relative in touched or relative.split("/")[0] in touched:
            continue
        expected = brevane.remove(data) if relative.endswith(".html") else data
        if mode == "--in-place" and not relative.endswith(".html"):
            continue
        assert (written / relative).read_bytes() == expected, relative


def test_a_link_put_at_the_report_path_during_a_check_is_never_written_through(tmp_path: Path) -> None:
    site, report, private = tmp_path / "site", tmp_path / "report.html", tmp_path / "private.txt"
    site.mkdir()
    for i in range(2000):
        (site / f"p{i:04}.html").write_bytes(b"<html><head><title>t</title></head><body>%d</body></html>" % i)
    private.write_bytes(SECRET)
    before = state(private)
    log = tmp_path / "log"
    with open(log, "wb") as output:
        process = subprocess.Popen(
            [sys.executable, "-m", "brevane_tools", "check", "--report", str(report), str(site)],
            env=ENV, stdout=subprocess.DEVNULL, stderr=output,
        )
        deadline = time.monotonic() + 60
        while log.stat().st_size == 0 and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)  # the first page is checked: the report's path was judged before it
        planted = 0
        while process.poll() is None and time.monotonic() < deadline:
            temp = tmp_path / "planting"
            os.symlink(private, temp)
            os.replace(temp, report)
            planted += 1
            if planted % 2:
                os.unlink(report)
        process.kill()
        assert process.wait() != -signal.SIGKILL, "the run did not end within a minute"
    assert planted > 0
    assert state(private) == before
    if report.is_file() and not report.is_symlink():
        assert report.read_bytes().startswith(b"<!DOCTYPE html>")


def test_temporary_files_left_by_a_kill_are_never_walked_or_copied(tmp_path: Path) -> None:
    site = tmp_path / "site"
    files = build(site, b"public")
    left: list[Path] = []
    for _ in range(5):  # until a kill lands while temporary files exist
        process = subprocess.Popen(
            [sys.executable, "-m", "brevane_tools", "remove", "--in-place", "-q", str(site)],
            env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        directories = [site / f"d{d:02}" for d in range(DIRECTORIES)]
        while process.poll() is None and not any(n.endswith(".tmp") for d in directories for n in os.listdir(d)):
            pass
        process.send_signal(signal.SIGKILL)
        process.wait()
        left = [p for p in entries(site) if p.name.endswith(".tmp")]
        if left:
            break
        for relative, data in files.items():
            (site / relative).write_bytes(data)
    assert left, "no kill caught a temporary file"

    done = subprocess.run(
        [sys.executable, "-m", "brevane_tools", "remove", "-o", str(tmp_path / "out"), str(site)],
        env=ENV, capture_output=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert b".tmp" not in done.stdout + done.stderr
    copied = [str(p.relative_to(tmp_path / "out")) for p in entries(tmp_path / "out") if p.is_file()]
    assert sorted(copied) == sorted(files)
