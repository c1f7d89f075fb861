"""How signing scales: worker processes on one machine (`--jobs`), Dask workers (`--dask`), and the task size.

    python bench/scaling.py [--pages 3000] [--repeat 2] [--json figures.json] [DOC_DIR...]

DOC_DIR defaults to Debian's HTML documentation of Python and PostgreSQL
(apt-get install python3.11-doc postgresql-doc-15); the pages found are laid
out (again, under new names, until there are --pages of them) on the memory
file system (/dev/shm) and signed with a throwaway test chain. Printed, never
asserted; each figure is the best of --repeat runs:

- the machine's own ceiling: two CPU-bound processes against one (a shared
  or throttled machine gives less than 2x, and no pool can do better);
- `remove` and `sign` pages per second with `--jobs 1` and `--jobs 2`;
- `sign --dask` pages per second on a running cluster of 1 and of 2 workers
  (started once, so its start-up is apart), and that start-up;
- the task-size sweep (`--task-pages`) on 2 workers, and the scheduler's cost per task;
- `sign s3:// -o s3:// --dask local:2` on real documentation sites (Debian's
  Python documentation whole, then PostgreSQL's pages: --s3-pages pages) in an
  S3 server on loopback (moto's server mode: its own cost per request
  dominates), with the requests per page and whether the output is a complete
  mirror; then `check s3:// --dask local:2` and how many pages are Trusted.

The figures go in docs/scaling.md.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import json
import logging
import os
import re
import shutil
import sys
import tempfile
import time
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from brevane_tools import cli  # noqa: E402
from make_test_certs import write_test_chain  # noqa: E402

DEFAULT_DOCS = ["/usr/share/doc/python3.11/html", "/usr/share/doc/postgresql-doc-15/html"]
TASK_SIZES = (25, 50, 100, 200, 400)


def find_pages(roots: list[str]) -> list[Path]:
    found: list[Path] = []
    for root in roots:
        for directory, subdirs, names in os.walk(root):
            subdirs.sort()
            found += [Path(directory, n) for n in sorted(names) if n.endswith(".html")]
    if not found:
        raise SystemExit(f"no pages under {', '.join(roots)}")
    return found


def lay_out(pages: list[Path], count: int, site: Path) -> None:
    for number in range(count):
        page = pages[number % len(pages)]
        target = site / f"{number // 100:03d}" / f"{number:05d}-{page.name}"
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(page, target)


def _spin(rounds: int) -> bytes:
    digest = b"x"
    for _ in range(rounds):
        digest = hashlib.sha256(digest * 64).digest()
    return digest


def ceiling(repeat: int) -> float:
    """Work done per second by two CPU-bound processes against one, on this machine now."""
    best = 0.0
    with ProcessPoolExecutor(2) as pool:
        list(pool.map(_spin, [1000, 1000]))
        for _ in range(repeat):
            start = time.perf_counter()
            pool.submit(_spin, 200_000).result()
            one = time.perf_counter() - start
            start = time.perf_counter()
            list(pool.map(_spin, [200_000, 200_000]))
            best = max(best, 2 * one / (time.perf_counter() - start))
    return best


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        yield


def pages_per_second(argv: list[str], pages: int, out: Path, repeat: int) -> tuple[float, float]:
    """The best rate of `repeat` runs, and the CPU seconds per page this process spent in that run."""
    best, parent = 0.0, 0.0
    for _ in range(repeat):
        shutil.rmtree(out, ignore_errors=True)
        before, start = os.times(), time.perf_counter()
        with quiet():
            status = cli.main([*argv, "-o", str(out)])
        elapsed, after = time.perf_counter() - start, os.times()
        if status != 0:
            raise SystemExit(f"brevane {' '.join(argv[:1])} failed with status {status}")
        if pages / elapsed > best:
            best, parent = pages / elapsed, (after[0] + after[1] - before[0] - before[1]) / pages
    return best, parent


def scheduler_cost(client: Any, tasks: int = 2000) -> float:
    """Seconds of the scheduler per task: tasks that do nothing, end to end."""
    futures = client.map(len, [[i] for i in range(50)], pure=False)
    client.gather(futures)
    start = time.perf_counter()
    client.gather(client.map(len, [[i] for i in range(tasks)], pure=False))
    return (time.perf_counter() - start) / tasks


class Requests(logging.Handler):
    """Counts the requests the loopback S3 server answers, by method."""

    def __init__(self) -> None:
        super().__init__()
        self.counts: dict[str, int] = {}

    def emit(self, record: logging.LogRecord) -> None:
        # '"GET /bucket/key HTTP/1.1" 200', the request line coloured by its status on a terminal
        method = re.search(r'"(?:\x1b\[[0-9;]*m)*([A-Z]+) ', record.getMessage())
        if method is not None:
            self.counts[method.group(1)] = self.counts.get(method.group(1), 0) + 1


def doc_tree(pages: int) -> dict[str, Path]:
    """Debian's Python documentation whole (pages and every other file), then PostgreSQL's pages up to
    `pages` pages, with its style sheet: real sites, as the objects they would be in a bucket."""
    python, postgresql = Path(DEFAULT_DOCS[0]), Path(DEFAULT_DOCS[1])
    files = {f"python/{p.relative_to(python).as_posix()}": p for p in sorted(python.rglob("*")) if p.is_file()}
    left = pages - sum(name.endswith(".html") for name in files)
    files.update({f"postgresql/{p.name}": p for p in sorted(postgresql.glob("*.html"))[:left]})
    files.update({f"postgresql/{p.name}": p for p in postgresql.glob("*.css")})
    return files


def object_store_run(common: list[str], anchors: Path, pages: int) -> dict[str, Any]:
    """`sign s3:// -o s3:// --dask local:2`, then `check s3:// --dask local:2`, against moto's server on loopback."""
    import fsspec
    from moto.server import ThreadedMotoServer

    counter = Requests()
    logging.getLogger("werkzeug").addHandler(counter)
    logging.getLogger("werkzeug").setLevel(logging.INFO)
    logging.getLogger("werkzeug").propagate = False
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        port = server.get_host_and_port()[1]
        options = {"client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}"}, "key": "bench", "secret": "bench"}
        fs = fsspec.filesystem("s3", **options)
        fs.mkdir("bench")
        files = doc_tree(pages)
        fs.pipe({f"bench/site/{name}": path.read_bytes() for name, path in files.items()})
        storage = ["--storage-options", json.dumps(options), "--dask", "local:2"]
        counter.counts.clear()
        start = time.perf_counter()
        with quiet():
            status = cli.main(["sign", *common, *storage, "s3://bench/site", "-o", "s3://bench/out"])
        elapsed = time.perf_counter() - start
        if status != 0:
            raise SystemExit(f"brevane sign s3:// failed with status {status}")
        requests = {k: v / pages for k, v in sorted(counter.counts.items())}
        fs.invalidate_cache()
        out = {name[len("bench/out/"):] for name in fs.find("bench/out")}
        signed = [name for name in files if name.endswith(".html")]
        complete = out == set(files) | {f"{name}.c2pa" for name in signed}
        reports: list[Any] = []
        with quiet():
            checked = cli.main(["check", *storage, "--trust-anchors", str(anchors), "s3://bench/out"],
                               on_report=reports.append)
        trusted = sum(r.data.get("state") == "Trusted" for r in reports)
        return {"s3_pages": len(signed), "s3_objects": len(files), "s3_pages_per_s": len(signed) / elapsed,
                "s3_wall_s": elapsed, "s3_requests_per_page": requests, "s3_mirror_complete": complete,
                "s3_check_status": checked, "s3_trusted": trusted}
    finally:
        server.stop()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("docs", nargs="*", default=DEFAULT_DOCS)
    parser.add_argument("--pages", type=int, default=3000)
    parser.add_argument("--s3-pages", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=2, help="runs of each measurement; the best counts")
    parser.add_argument("--json", type=Path, help="also write the figures here")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    found = find_pages(args.docs)
    figures: dict[str, Any] = {"pages": args.pages, "real_pages": min(len(found), args.pages), "cpus": os.cpu_count()}
    figures["ceiling"] = 0.0
    with tempfile.TemporaryDirectory(dir="/dev/shm") as memory:
        work = Path(memory)
        site = work / "site"
        lay_out(found, args.pages, site)
        write_test_chain(work / "certs")
        manifest = json.loads((ROOT / "examples" / "manifest.json").read_text())
        manifest.pop("title", None)  # each page's own <title>
        (work / "manifest.json").write_text(json.dumps(manifest))
        common = ["--manifest", str(work / "manifest.json"), "--cert", str(work / "certs" / "chain.pem"),
                  "--key", str(work / "certs" / "signer.key")]
        for command, extra in (("remove", []), ("sign", common)):
            # The machine's ceiling is measured between the runs, as close to them as can be: on a shared
            # machine it moves from minute to minute.
            figures["ceiling"] = max(figures["ceiling"], ceiling(1))
            for jobs in (1, 2):
                rate, parent = pages_per_second(
                    [command, *extra, "--jobs", str(jobs), str(site)], args.pages, work / "out", args.repeat)
                figures[f"{command}_jobs{jobs}"] = rate
                figures[f"{command}_jobs{jobs}_parent_cpu_ms"] = 1000 * parent
            figures["ceiling"] = max(figures["ceiling"], ceiling(1))
            figures[f"{command}_jobs_ratio"] = figures[f"{command}_jobs2"] / figures[f"{command}_jobs1"]

        for workers in (1, 2):
            start = time.perf_counter()
            with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None,  # type: ignore[no-untyped-call]
                              silence_logs=logging.ERROR) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
                figures[f"dask{workers}_startup_s"] = time.perf_counter() - start
                dask = ["--dask", cluster.scheduler_address]
                figures[f"dask{workers}"] = pages_per_second(
                    ["sign", *common, *dask, str(site)], args.pages, work / "out", args.repeat)[0]
                if workers == 2:
                    figures["scheduler_ms_per_task"] = 1000 * scheduler_cost(client)
                    figures["task_sweep"] = {
                        size: pages_per_second(["sign", *common, *dask, "--task-pages", str(size), str(site)],
                                               args.pages, work / "out", args.repeat)[0]
                        for size in TASK_SIZES
                    }
        figures["dask_ratio"] = figures["dask2"] / figures["dask1"]
        figures.update(object_store_run(common, work / "certs" / "root.pem", args.s3_pages))

    figures["load_average"] = [round(x, 1) for x in os.getloadavg()]
    print(f"{args.pages} pages ({figures['real_pages']} distinct), {figures['cpus']} CPUs, load average "
          f"{figures['load_average'][0]} at the end; best of {args.repeat} runs")
    print(f"this machine at best during the --jobs runs: 2 CPU-bound processes did {figures['ceiling']:.2f}x "
          "the work of 1")
    for command in ("remove", "sign"):
        print(f"{command} --jobs 1: {figures[f'{command}_jobs1']:.0f} pages/s, --jobs 2: "
              f"{figures[f'{command}_jobs2']:.0f} pages/s: {figures[f'{command}_jobs_ratio']:.2f}x; "
              f"the parent's CPU per page with --jobs 2: {figures[f'{command}_jobs2_parent_cpu_ms']:.3f} ms "
              f"(--jobs 1: {figures[f'{command}_jobs1_parent_cpu_ms']:.3f} ms, all of the work)")
    print(f"sign --dask, 1 worker: {figures['dask1']:.0f} pages/s, 2 workers: {figures['dask2']:.0f} pages/s: "
          f"{figures['dask_ratio']:.2f}x (cluster start-up {figures['dask1_startup_s']:.1f} s and "
          f"{figures['dask2_startup_s']:.1f} s, apart)")
    print(f"scheduler: {figures['scheduler_ms_per_task']:.2f} ms per task")
    print("task size on 2 workers: " + ", ".join(f"{size} pages {rate:.0f}/s" for size, rate in
                                                 figures["task_sweep"].items()))
    requests = ", ".join(f"{k} {v:.2f}" for k, v in figures["s3_requests_per_page"].items())
    print(f"sign s3:// -o s3:// --dask local:2 (moto on loopback): {figures['s3_pages']} pages of "
          f"{figures['s3_objects']} objects in {figures['s3_wall_s']:.1f} s, {figures['s3_pages_per_s']:.0f} pages/s; "
          f"requests per page: {requests}; mirror complete: {figures['s3_mirror_complete']}")
    print(f"check s3:// --dask local:2: exit status {figures['s3_check_status']}, "
          f"{figures['s3_trusted']} of {figures['s3_pages']} pages Trusted")
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
