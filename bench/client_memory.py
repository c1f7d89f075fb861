"""How the client's memory grows with the pages of a run: its peak resident set at two sizes of site.

    python bench/client_memory.py [--small 20000] [--large 200000] [--sign] [--keep DIR]

Lays out tiny pages (a thousand per directory) on the memory file system (/dev/shm, else the
temporary directory), once per size, and runs the tool on each in a process of its own; the peak
resident set of that process (its VmHWM, read until it ends; its worker processes apart) is the
figure. Runs:

- `locate DIR --json` (the walk, the plan, the reports and the JSON document, all in the client);
- `remove -o OUT DIR` (a mirror: pages written, the summary);
- `remove --jobs 2 -o OUT DIR` (the same through the process pool: the client only plans and reports);
- with --dask, `remove --dask local:2 -o OUT DIR` (tasks submitted a window at a time);
- with --sign, `sign --jobs 2 -o OUT DIR` with a throwaway test chain (needs the C2PA SDK);
- with --objects, `locate --json --exclude '*' s3://bench/site-N` against moto's S3 server on loopback,
  its objects put straight into moto's backend (this process): the prefix listed a page of names at a
  time, and every page excluded, so no page is read (moto answers some 100 requests a second here).

Printed for each: the peak at both sizes, and the growth per page between them (the target is at
most 100 bytes a page). Printed, never asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
PAGE = b"<html><head><title>t</title></head><body>%d</body></html>\n"


def lay_out(root: Path, pages: int) -> None:
    for number in range(pages):
        directory = root / f"d{number // 1000:05}"
        if number % 1000 == 0:
            directory.mkdir(parents=True)
        (directory / f"p{number % 1000:03}.html").write_bytes(PAGE % number)


def _high_water(pid: int) -> int:
    """A process's peak resident set so far (VmHWM), in bytes; 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/status", "rb") as status:
            for line in status:
                if line.startswith(b"VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def peak(argv: list[str]) -> tuple[int, float]:
    """The client's own peak resident set (bytes; its workers apart) and the wall time of one run."""
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
    started = time.monotonic()
    with tempfile.TemporaryFile() as err:
        process = subprocess.Popen([sys.executable, "-m", "brevane_tools", *argv], env=env,
                                   stdout=subprocess.DEVNULL, stderr=err)
        highest = 0
        while process.poll() is None:  # the peak only grows: the last reading is the run's
            highest = max(highest, _high_water(process.pid))
            time.sleep(0.05)
        if process.returncode not in (0, 1):
            err.seek(0)
            raise SystemExit(f"brevane {' '.join(argv)} failed ({process.returncode}): {err.read().decode()[-500:]}")
    return highest, time.monotonic() - started


def _moto(sizes: tuple[int, int], runs: dict[str, list[str]]) -> Any:
    """An S3 server on loopback holding a bucket with a site of each size; its run added to `runs`."""
    import logging

    from moto.core.models import DEFAULT_ACCOUNT_ID
    from moto.s3.models import s3_backends
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    backend = s3_backends[DEFAULT_ACCOUNT_ID]["aws"]
    backend.create_bucket("bench", "us-east-1")
    for size in sizes:
        for number in range(size):
            backend.put_object("bench", f"site-{size}/d{number // 1000:05}/p{number % 1000:03}.html", PAGE % number)
    options = json.dumps({"client_kwargs": {"endpoint_url": f"http://127.0.0.1:{server.get_host_and_port()[1]}"},
                          "key": "k", "secret": "s"})
    runs["locate s3:// (listed)"] = ["locate", "--json", "--exclude", "*", "--storage-options", options,
                                     "s3://bench/{prefix}"]
    return server


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", type=int, default=20_000)
    parser.add_argument("--large", type=int, default=200_000)
    parser.add_argument("--sign", action="store_true", help="also sign with --jobs 2 (needs the C2PA SDK)")
    parser.add_argument("--dask", action="store_true", help="also remove on a local Dask cluster (local:2)")
    parser.add_argument("--objects", action="store_true", help="also list a prefix in moto's S3 server")
    parser.add_argument("--keep", type=Path, help="lay the sites out here and keep them (default: a temporary one)")
    args = parser.parse_args()

    base = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())
    work = args.keep or Path(tempfile.mkdtemp(prefix="brevane-memory-", dir=base))
    sizes = (args.small, args.large)
    runs: dict[str, list[str]] = {
        "locate --json": ["locate", "--json", "{site}"],
        "remove -o": ["remove", "-q", "-o", "{out}", "{site}"],
        "remove --jobs 2 -o": ["remove", "-q", "--jobs", "2", "-o", "{out}", "{site}"],
    }
    if args.dask:
        runs["remove --dask local:2 -o"] = ["remove", "-q", "--dask", "local:2", "-o", "{out}", "{site}"]
    if args.sign:
        sys.path.insert(0, str(ROOT / "examples"))
        from make_test_certs import write_test_chain

        write_test_chain(work / "certs")
        runs["sign --jobs 2 -o"] = [
            "sign", "-q", "--jobs", "2", "--manifest", str(ROOT / "examples" / "manifest.json"),
            "--cert", str(work / "certs" / "chain.pem"), "--key", str(work / "certs" / "signer.key"),
            "-o", "{out}", "{site}",
        ]
    server = _moto(sizes, runs) if args.objects else None
    try:
        for size in sizes:
            if not (work / f"site-{size}").is_dir():
                lay_out(work / f"site-{size}", size)
        print(f"{'run':<22} {'pages':>9} {'peak RSS':>10} {'time':>8}   growth a page")
        for name, template in runs.items():
            figures = []
            for size in sizes:
                shutil.rmtree(work / "out", ignore_errors=True)
                argv = [a if a.startswith("{\"") else a.format(site=work / f"site-{size}", out=work / "out",
                                                                  prefix=f"site-{size}") for a in template]
                rss, seconds = peak(argv)
                figures.append(rss)
                print(f"{name:<22} {size:>9,} {rss / 2**20:>8.1f} MB {seconds:>7.1f}s", flush=True)
            growth = (figures[1] - figures[0]) / (sizes[1] - sizes[0])
            print(f"{'':<22} {'':>9} {'':>10} {'':>8}   {growth:,.1f} bytes", flush=True)
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(work / "out", ignore_errors=True)
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
