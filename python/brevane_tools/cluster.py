"""Where the chunks of a run are run: in this process, in worker processes here (`--jobs N`), or on a
Dask cluster (`--dask tcp://HOST:PORT` for a running scheduler, `--dask local:N` for N worker
processes here, for the life of the run).

- Workers run whole chunks with `runner.run_chunk`: each reads, runs and writes
  its own pages, and only the pages' small reports come back, for the summary,
  the JSON and the report. No page's bytes pass through this process.
- The batch (the command and its settings: the manifest definition, the
  credential, the storage options) goes to each worker once. On a cluster,
  each task is a few hundred pages (`--task-pages`).
- Each worker process makes its signer once (see `commands.sign`). A private
  key given with `--key` travels with the batch to every worker of a cluster,
  which is said once; `--signer-command` (run on each worker) and a callback
  signer keep it off the cluster.
- A task lost with its worker (a kill, a crash, a lost connection) fails its
  pages, each saying so; a run again with `--skip-valid` finishes what is left.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
from collections.abc import Iterator, Sequence
from typing import Any, Optional

from brevane_tools.files.writing import temporaries_removed_on_signals
from brevane_tools.results import Report
from brevane_tools.runner import COMMIT_PAGES, Batch, Job, run_chunk

__all__ = ["DEFAULT_TASK_PAGES", "address", "executing", "task_size"]

#: Pages per Dask task: large enough that the scheduler's cost per task and each
#: task's round of object requests are a small share, small enough that a lost
#: worker costs little and every worker gets several tasks. Chosen by
#: measurement (bench/scaling.py, docs/scaling.md).
DEFAULT_TASK_PAGES = 200
#: Each worker gets at least this many chunks, when there are pages enough: uneven pages even out.
CHUNKS_PER_WORKER = 4

_LOCAL = re.compile(r"^local:([0-9]+)$")
_REMOTE = re.compile(r"^[a-z][a-z0-9+.-]*://[^/]+$")

KEY_WARNING = (
    "--key with --dask: the private key travels with the batch to every worker of the cluster; "
    "keep it off the cluster with --signer-command CMD (run on each worker, e.g. a KMS client) "
    "or a callback signer (brevane_tools.SigningCallback)"
)

Chunks = Iterator[list[Report]]


def address(text: str) -> str:
    """A `--dask` value: `local:N` (N at least 1), or a scheduler's address such as tcp://host:8786; for argparse."""
    local = _LOCAL.match(text)
    if (local is not None and int(local.group(1)) >= 1) or (local is None and _REMOTE.match(text)):
        return text
    raise argparse.ArgumentTypeError(
        f"expected local:N (N worker processes here) or a scheduler's address such as tcp://host:8786, got {text!r}"
    )


def task_size(pages: int, workers: int, most: int) -> int:
    """Pages per chunk: `most`, or fewer when that would leave a worker without several chunks."""
    return max(1, min(most, -(-pages // (workers * CHUNKS_PER_WORKER))))


def chunked(jobs: Sequence[Job], size: int) -> list[Sequence[Job]]:
    return [jobs[i : i + size] for i in range(0, len(jobs), size)]


def shrinking(jobs: Sequence[Job], workers: int, most: int = COMMIT_PAGES, least: int = 16) -> list[Sequence[Job]]:
    """Chunks that shrink as the run nears its end (each a share of what is left), so that no worker
    sits idle long while another finishes a large last chunk."""
    chunks: list[Sequence[Job]] = []
    start = 0
    while start < len(jobs):
        size = max(least, min(most, (len(jobs) - start) // (workers * 2)))
        chunks.append(jobs[start : start + size])
        start += size
    return chunks


def start(workers: int, dask: Optional[str]) -> None:
    """Get the fork server of `--jobs` workers going at once: it loads the toolkit while this process walks."""
    if dask is None and workers > 1:
        _context()


@contextlib.contextmanager
def executing(
    batch: Batch, jobs: list[Job], workers: int, dask: Optional[str], task_pages: Optional[int] = None,
) -> Iterator[Chunks]:
    """The reports of every job, a chunk at a time, in the order of the jobs.

    Workers start on entry, so they come up while the caller does its own share (a mirror)."""
    if dask is not None:
        with _client(batch, dask) as client:
            yield _on_cluster(client, batch, jobs, task_pages or DEFAULT_TASK_PAGES)
    elif workers > 1 and len(jobs) > 1:
        with _pool(batch, workers) as pool:
            yield iter(pool.map(_run_chunk_in_worker, shrinking(jobs, workers)))
    else:
        yield (run_chunk(batch, chunk) for chunk in chunked(jobs, COMMIT_PAGES))


_WORKER_BATCH: Optional[Batch] = None


def _start_worker(batch: Batch) -> None:
    global _WORKER_BATCH
    _WORKER_BATCH = batch
    # A worker writes pages too: a signal removes its temporary files first, for as long as it lives.
    temporaries_removed_on_signals().__enter__()


def _run_chunk_in_worker(jobs: Sequence[Job]) -> list[Report]:
    assert _WORKER_BATCH is not None
    return run_chunk(_WORKER_BATCH, jobs)


def _context() -> Any:
    import multiprocessing

    # fork() from a process that runs threads (an embedding application, a test
    # runner, the C2PA SDK) can deadlock the child; a fork server starts workers
    # from a clean single-threaded process instead, with the toolkit loaded once, there.
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    forkserver.ensure_running()
    return context


@contextlib.contextmanager
def _pool(batch: Batch, workers: int) -> Iterator[Any]:
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(
        max_workers=workers, mp_context=_context(), initializer=_start_worker, initargs=(batch,)
    ) as pool:
        for _ in range(workers):
            pool.submit(os.getpid)  # every worker starts now, not at the first chunk
        yield pool


@contextlib.contextmanager
def _client(batch: Batch, where: str) -> Iterator[Any]:
    import logging

    from dask.distributed import Client, LocalCluster

    from brevane_tools.signing.credentials import SigningKey

    if isinstance(getattr(batch.settings, "credential", None), SigningKey):
        print(f"brevane: warning: {KEY_WARNING}", file=sys.stderr)
    local = _LOCAL.match(where)
    if local is None:
        with Client(where) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    # One thread per process: the module holds the interpreter lock for every call.
    with LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=int(local.group(1)), threads_per_worker=1, processes=True, dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        yield client


def _lost(jobs: Sequence[Job], exc: BaseException) -> list[Report]:
    why = f"{type(exc).__name__}: {exc}".rstrip(": ")
    error = f"its Dask task was lost ({why}); run again with --skip-valid to finish what is left"
    return [Report(job.page.name, False, error=error) for job in jobs]


def _on_cluster(client: Any, batch: Batch, jobs: list[Job], most: int) -> Chunks:
    """Every task submitted at once (they run while the caller mirrors); their reports, in order, as iterated."""
    workers = max(1, sum(client.nthreads().values()))
    tasks = chunked(jobs, task_size(len(jobs), workers, most))
    shared = client.scatter(batch, broadcast=True, hash=False)
    run = os.urandom(4).hex()
    futures = [
        client.submit(run_chunk, shared, list(task), key=f"brevane-{batch.command}-{run}-{number}", pure=False)
        for number, task in enumerate(tasks)
    ]
    if client.scheduler_info().get("services", {}).get("dashboard"):
        print(f"brevane: {len(tasks):,} Dask tasks; progress at {client.dashboard_link}", file=sys.stderr)
    return _gathered(tasks, futures)


def _gathered(tasks: Sequence[Sequence[Job]], futures: Sequence[Any]) -> Chunks:
    for task, future in zip(tasks, futures):
        try:
            reports: list[Report] = future.result()
        except Exception as exc:  # noqa: BLE001 - a lost task fails its pages, not the run
            reports = _lost(task, exc)
        future.release()
        yield reports
