"""A batch as a whole: no page can stop it, and what it prints cannot be forged by a page."""

from __future__ import annotations

import base64
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from brevane_tools import cli, commands
from brevane_tools.commands.base import Command, Outcome, Page, PageFailed
from brevane_tools.errors import SigningError
from test_tools_integrations import certs  # noqa: F401

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
        # Bidirectional controls reorder what follows them on screen; a line separator breaks the line.
        (b"photo\xe2\x80\xaegpj.html", "photo\\u202egpj.html"),  # shown raw: "photolmth.jpg"
        (b"a\xe2\x81\xa7b\xe2\x80\x8f\xd8\x9c.html", "a\\u2067b\\u200f\\u061c.html"),
        (b"bank.html: Trusted\xe2\x80\xa8evil\xc2\x85.html", "bank.html: Trusted\\u2028evil\\x85.html"),
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


# --- The process pool of --jobs: what a lost worker costs, and what is left when the client goes. ---

SOURCE = str(Path(cli.__file__).resolve().parents[1])
ROOT = Path(__file__).resolve().parents[2]

#: The signer command: OpenSSL signs; at the 30th signature, if it runs in a worker of the pool (its
#: parent was forked by the fork server), it first sends that worker $4, once.
KILLER = """
printf . >> "$2"
if [ "$(wc -c < "$2")" -ge 30 ] && tr '\\0' ' ' < /proc/$PPID/cmdline | grep -q multiprocessing \\
        && mkdir "$3" 2>/dev/null; then
    kill -"$4" $PPID
fi
exec openssl dgst -sha256 -sign "$1"
"""


def _tool(*argv: str, **popen: Any) -> subprocess.Popen[bytes]:
    return subprocess.Popen([sys.executable, "-m", "brevane_tools", *argv], env={**os.environ, "PYTHONPATH": SOURCE},
                            **popen)


def _site(root: Path, pages: int, body: bytes = b"") -> dict[str, bytes]:
    files = {f"d{i % 7}/p{i:04}.html": PAGE.replace(b"x", b"%d" % i + body) for i in range(pages)}
    for relative, data in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_bytes(data)
    return files


def _temporaries(root: Path) -> list[str]:
    return [name for _, _, names in os.walk(root) for name in names if name.endswith(".tmp")]


@pytest.mark.parametrize("signal_name", ["KILL", "TERM"])
def test_a_lost_worker_fails_its_own_chunk_and_the_run_ends_with_its_summary(
    tmp_path: Path, certs: Path, signal_name: str
) -> None:
    if shutil.which("openssl") is None:
        pytest.skip("the signer command here is OpenSSL's command-line tool")
    site, out = tmp_path / "site", tmp_path / "out"
    files = _site(site, 300)
    (tmp_path / "killer.sh").write_text(KILLER)
    signer = f"sh {tmp_path / 'killer.sh'} {certs / 'signer.key'} {tmp_path / 'count'} {tmp_path / 'killed'} " \
        f"{signal_name}"
    argv = ["sign", "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem"),
            "--jobs", "2", "--skip-valid", str(site), "-o", str(out)]
    first = _tool(*argv, "--signer-command", signer, "--json", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = first.communicate(timeout=300)
    assert (tmp_path / "killed").exists()
    assert first.returncode == 1, stderr
    entries = json.loads(stdout)["files"]
    lost = [e for e in entries if not e["ok"]]
    why = f"its worker process was lost (killed by SIG{signal_name}); run again with --skip-valid to finish what is left"
    # The chunk that worker had, and nothing else: a chunk is 16 to 128 consecutive pages.
    assert 16 <= len(lost) <= 128 and {e["error"] for e in lost} == {why}
    numbers = sorted(entries.index(e) for e in lost)
    assert numbers == list(range(numbers[0], numbers[0] + len(lost)))
    assert b"Traceback" not in stderr
    (summary,) = [line for line in stderr.decode().splitlines() if line.startswith("300 pages: ")]
    assert summary.endswith(f"{len(lost)} failed; {len(lost)} pages lost with their worker: run again with "
                            "--skip-valid to finish what is left")
    left = len(_temporaries(out))
    if signal_name == "TERM":  # its handler removed its temporary files before it ended
        assert left == 0

    second = _tool(*argv, "--key", str(certs / "signer.key"), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, stderr = second.communicate(timeout=300)
    assert second.returncode == 0, stderr
    removed = f"; {left} temporary file{'s' if left != 1 else ''} of killed runs removed"
    assert stderr.decode().splitlines()[-1].endswith(removed) == bool(left)
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.html")) == sorted(files)
    assert _temporaries(out) == []


def _group(leader: int) -> list[int]:
    """The live processes of a process group, found in /proc."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except (OSError, ValueError):
            continue
        state, _, group = stat[stat.rindex(")") + 2:].split()[:3]
        if int(group) == leader and state != "Z":
            members.append(int(entry))
    return members


def _await_ends(pids: list[int], seconds: float) -> list[int]:
    """The processes of `pids` still alive after `seconds` at most (each awaited by a pidfd, not polled)."""
    watched = {}
    for pid in pids:
        try:
            watched[os.pidfd_open(pid)] = pid
        except ProcessLookupError:
            continue
    deadline = time.monotonic() + seconds
    while watched and time.monotonic() < deadline:
        ended, _, _ = select.select(list(watched), [], [], deadline - time.monotonic())
        for fd in ended:
            os.close(fd)
            del watched[fd]
    for fd in watched:
        os.close(fd)
    return sorted(watched.values())


@pytest.mark.skipif(not hasattr(os, "pidfd_open"), reason="awaits processes by pidfd (Linux)")
@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
def test_the_workers_end_with_the_client_and_leave_nothing(tmp_path: Path, how: signal.Signals) -> None:
    site, out = tmp_path / "site", tmp_path / "out"
    _site(site, 1500, b"y" * 20000)
    run = _tool("remove", "--jobs", "2", str(site), "-o", str(out), stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL, start_new_session=True)
    assert run.stdout is not None
    assert run.stdout.readline()  # a chunk is done: the workers are at work
    members = [pid for pid in _group(run.pid) if pid != run.pid]
    assert len(members) >= 3  # the fork server and two workers (and the resource tracker)
    run.send_signal(how)
    # Ctrl-C unwinds the run, which ends with the status a shell gives a process SIGINT ended.
    assert run.wait() == (128 + how if how == signal.SIGINT else -how)
    assert _await_ends(members, 5) == []
    assert _group(run.pid) == []
    assert _temporaries(out) == []


def test_sign_on_a_tree_without_pages_is_a_usage_error(tmp_path: Path, certs: Path,
                                                       capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "site" / "sub").mkdir(parents=True)
    (tmp_path / "site" / "sub" / "style.css").write_bytes(b"css")
    argv = ["sign", "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem"),
            "--key", str(certs / "signer.key"), str(tmp_path / "site"), "-o", str(tmp_path / "out")]
    assert cli.main(argv) == 2
    assert capsys.readouterr().err == f"brevane: no pages found under {tmp_path / 'site'}\n"
    assert not (tmp_path / "out").exists()
