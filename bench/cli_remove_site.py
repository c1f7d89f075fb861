"""`brevane remove --in-place` over a real site, on disk and on a tmpfs: wall time and sync calls.

    python bench/cli_remove_site.py SITE_DIR [--source PYTHONPATH ...] [--runs N]

Each run works on a fresh copy of the site's pages with a store embedded in
every one (so every page is rewritten). With `strace` on the path, a last run
counts the fsync, fdatasync and syncfs calls. Mounting the tmpfs needs root;
without it only the disk figures are printed. Figures are printed, never asserted.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import brevane

STORE = os.urandom(4000)


def prepare(site: Path, into: Path) -> int:
    count = 0
    for path in sorted(site.rglob("*.html")):
        if not path.is_file():
            continue
        target = into / path.relative_to(site)
        target.parent.mkdir(parents=True, exist_ok=True)
        try:
            target.write_bytes(brevane.embed(path.read_bytes(), STORE))
            count += 1
        except ValueError:  # no head: the page is left out
            continue
    return count


def run(source: str, where: Path, strace: bool = False) -> tuple[float, float, str]:
    """Wall time, CPU time (user and system) and standard error of one run."""
    argv = [sys.executable, "-m", "brevane_tools", "remove", "--in-place", "-q", str(where)]
    if strace:
        argv = ["strace", "-f", "-c", "-e", "trace=fsync,fdatasync,syncfs", *argv]
    env = {**os.environ, "PYTHONPATH": source}
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"the run failed: {done.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return elapsed, cpu, done.stderr


def sync_calls(report: str) -> str:
    counts = {m.group(2): int(m.group(1)) for m in re.finditer(r"^\s*\S+\s+\S+\s+\S+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", report, re.M)}
    return ", ".join(f"{name} {counts[name]}" for name in ("fsync", "fdatasync", "syncfs") if name in counts) or "none"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("site", type=Path)
    parser.add_argument("--source", action="append", required=True, help="PYTHONPATH of a brevane_tools to measure")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    places: dict[str, Path] = {"disk": Path(tempfile.mkdtemp(prefix="brevane-bench-", dir=Path.home()))}
    memory = Path(tempfile.mkdtemp(prefix="brevane-bench-tmpfs-"))
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1g", "tmpfs", str(memory)], capture_output=True).returncode == 0:
        places["tmpfs"] = memory
    try:
        for source in args.source:
            for name, place in places.items():
                times, cpu = [], []
                for _ in range(args.runs):
                    shutil.rmtree(place / "site", ignore_errors=True)
                    pages = prepare(args.site, place / "site")
                    wall, used, _ = run(source, place / "site")
                    times.append(wall)
                    cpu.append(used)
                calls = "strace not found"
                if shutil.which("strace"):
                    shutil.rmtree(place / "site", ignore_errors=True)
                    prepare(args.site, place / "site")
                    calls = sync_calls(run(source, place / "site", strace=True)[2])
                print(
                    f"{source}  {name:5}  {pages} pages  median {statistics.median(times):.3f} s "
                    f"({', '.join(f'{t:.3f}' for t in times)}), CPU {statistics.median(cpu):.3f} s  "
                    f"sync calls: {calls}"
                )
    finally:
        if "tmpfs" in places:
            subprocess.run(["umount", str(memory)], check=False)
        for place in (places["disk"], memory):
            shutil.rmtree(place, ignore_errors=True)


if __name__ == "__main__":
    main()
