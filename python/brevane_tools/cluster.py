"""Where the chunks of a run are run: in this process, in worker processes here (`--jobs N`), or on a
Dask cluster (`--dask tcp://HOST:PORT` for a running scheduler, `--dask local:N` for N worker
processes here, for the life of the run).

- Workers run whole chunks with `batch.run_chunk`: each reads, runs and writes
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
  Under `--jobs`, each worker has a pipe of its own, so a lost worker fails
  only the chunk it had; a new worker takes its place and the run goes on.
- Workers end with the client, however it ends (a SIGKILL included): each one
  watches the client's process and, once it is gone, ends as SIGTERM ends it,
  its temporary files removed first. The fork server and the resource tracker
  end once the last worker has (their pipes reach end of file).
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import itertools
import os
import re
import select
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Optional

from brevane_tools.batch import COMMIT_PAGES, Batch, Job, run_chunk, run_pages, traceback_text
from brevane_tools.errors import UsageError
from brevane_tools.files.temporaries import temporaries_removed_on_signals
from brevane_tools.results import Report

__all__ = ["DEFAULT_TASK_PAGES", "address", "executing", "task_size"]

#: Pages per Dask task: large enough that the scheduler's cost per task and each
#: task's round of object requests are a small share, small enough that a lost
#: worker costs little and every worker gets several tasks. Chosen by
#: measurement (bench/scaling.py, docs/scaling.md).
DEFAULT_TASK_PAGES = 200
#: Each worker gets at least this many chunks, when there are pages enough: uneven pages even out.
CHUNKS_PER_WORKER = 4

_LOCAL = re.compile(r"^local:([0-9]+)$")
#: A scheduler's address: scheme://host:port, the host a name, an IPv4 address or a bracketed IPv6 one.
_REMOTE = re.compile(r"^[a-z][a-z0-9+.-]*://(?:[A-Za-z0-9._-]+|\[[0-9A-Fa-f:.]+\]):([0-9]{1,5})$")
#: Entries of Dask's logs for its developers (recent messages, transitions, events) the client keeps.
LOG_LENGTH = 16
#: The most worker processes `local:N` starts on this machine.
MAX_LOCAL_WORKERS = 1024

KEY_WARNING = (
    "--key with --dask: the private key travels with the batch to every worker of the cluster; "
    "keep it off the cluster with --signer-command CMD (run on each worker, e.g. a KMS client) "
    "or a callback signer (brevane_tools.SigningCallback)"
)

Chunks = Iterator[list[Report]]


def address(text: str) -> str:
    """A `--dask` value: `local:N` (N at least 1), or a scheduler's address such as tcp://host:8786; for argparse."""
    local = _LOCAL.match(text)
    if local is not None and (len(local.group(1)) > 5 or int(local.group(1)) > MAX_LOCAL_WORKERS):
        raise argparse.ArgumentTypeError(f"local:N starts at most {MAX_LOCAL_WORKERS} worker processes, got {text!r}")
    remote = _REMOTE.match(text)
    if (local is not None and int(local.group(1)) >= 1) or (remote is not None and 1 <= int(remote.group(1)) <= 65535):
        return text
    raise argparse.ArgumentTypeError(
        f"expected local:N (N worker processes here) or a scheduler's address such as tcp://host:8786, got {text!r}"
    )


def task_size(pages: int, workers: int, most: int) -> int:
    """Pages per chunk: `most`, or fewer when that would leave a worker without several chunks."""
    return max(1, min(most, -(-pages // (workers * CHUNKS_PER_WORKER))))


def chunked(jobs: Sequence[Job], workers: int, most: int = COMMIT_PAGES, least: int = 16) -> Iterator[list[Job]]:
    """The jobs in chunks, read as they are needed, that shrink from `most` to `least` pages as the run
    nears its end (each a share of what is left), so that no worker sits idle long while another
    finishes a large last chunk."""
    each, left = iter(jobs), len(jobs)
    while left > 0:
        chunk = list(itertools.islice(each, max(least, min(most, left // (workers * 2)))))
        if not chunk:
            return
        left -= len(chunk)
        yield chunk


def start(workers: int, dask: Optional[str]) -> None:
    """Get the fork server of `--jobs` workers going at once: it loads the toolkit while this process walks."""
    if dask is None and workers > 1:
        _context()


@contextlib.contextmanager
def executing(
    batch: Batch, jobs: Sequence[Job], workers: int, dask: Optional[str], task_pages: Optional[int] = None,
) -> Iterator[Chunks]:
    """The reports of every job, a chunk at a time, in the order of the jobs.

    Workers start on entry, so they come up while the caller does its own share (a mirror)."""
    if dask is not None:
        with _client(batch, dask) as client:
            yield _on_cluster(client, batch, jobs, task_pages or DEFAULT_TASK_PAGES)
    elif workers > 1 and len(jobs) > 1:
        with _Pool(batch, min(workers, len(jobs))) as pool:
            yield pool.run(chunked(jobs, workers))
    else:
        # One stream of pages here: object pages are read ahead and written behind across the whole run.
        with contextlib.closing(run_pages(batch, jobs)) as reports:
            yield reports


def lost(batch: Batch, jobs: Sequence[Job], why: str) -> list[Report]:
    """The reports of pages lost with their worker: failures (exit status 1), each saying how to finish."""
    advice = "run again with --skip-valid to finish what is left" if batch.command == "sign" else \
        "run again to finish what is left"
    return [Report(job.page.name, False, error=f"{why}; {advice}", data={"lost": True}) for job in jobs]


def _serve(connection: Any, batch: Batch, client: int) -> None:
    """A `--jobs` worker: chunks in, their reports out, until told to stop or the client is gone."""
    # Ctrl-C reaches the whole process group: the client decides, and ends its workers with SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    with temporaries_removed_on_signals():  # for as long as the worker lives
        _end_with(client)
        while True:
            try:
                chunk = connection.recv()
            except EOFError:  # the client closed its end: nothing more will come
                return
            if chunk is None:
                return
            try:
                reply = run_chunk(batch, chunk)
            except Exception as exc:  # noqa: BLE001 - a fault of the tool fails the chunk, not the worker
                detail = traceback_text() if batch.debug else None
                reply = [Report(job.page.name, False, error=f"internal error: {type(exc).__name__}: {exc}",
                                internal=True, detail=detail) for job in chunk]
            connection.send(reply)


def _end_with(client: int) -> None:
    """End this process as SIGTERM does (its temporary files removed) once the process `client` is gone."""
    try:
        watched: Optional[int] = os.pidfd_open(client)  # wakes the moment it ends, even by SIGKILL
    except (AttributeError, OSError):  # not Linux, or a kernel before 5.3: ask every half second
        watched = None

    def gone() -> bool:
        try:
            os.kill(client, 0)
        except ProcessLookupError:
            return True
        except OSError:
            return False
        return False

    def watch() -> None:
        if watched is not None:
            select.select([watched], [], [])
        else:
            while not gone():
                time.sleep(0.5)
        os.kill(os.getpid(), signal.SIGTERM)

    if gone():
        os.kill(os.getpid(), signal.SIGTERM)
    threading.Thread(target=watch, name="brevane-client-watch", daemon=True).start()


def _signal_name(code: Optional[int]) -> str:
    if code is not None and code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


class _Pool:
    """`--jobs N` worker processes, each with a pipe of its own: a chunk goes to an idle worker,
    and its reports come back from that worker alone. A worker lost mid-chunk (the out-of-memory
    killer, a SIGKILL) fails that chunk's pages only; a new worker takes its place."""

    #: Chunks done ahead of the first one not yet reported, at most, per worker: reports go out in
    #: order, and what waits for a slow chunk stays small.
    AHEAD = 4

    def __init__(self, batch: Batch, workers: int) -> None:
        self.batch, self.size = batch, workers
        self.context = _context()
        self.workers: dict[Any, tuple[Any, Optional[int]]] = {}  # connection: (process, chunk number or None)
        #: New workers made after losses, at most: a worker that cannot even start must not loop forever.
        self.spares = 4 * workers

    def __enter__(self) -> _Pool:
        try:
            for _ in range(self.size):
                self._start()
        except BaseException:
            self._end(at_once=True)
            raise
        return self

    def __exit__(self, kind: Optional[type[BaseException]], *_: object) -> None:
        self._end(at_once=kind is not None)

    def _start(self) -> None:
        ours, theirs = self.context.Pipe()
        process = self.context.Process(
            target=_serve, args=(theirs, self.batch, os.getpid()), name="brevane-worker", daemon=True,
        )
        process.start()
        theirs.close()
        self.workers[ours] = (process, None)

    def _end(self, at_once: bool) -> None:
        for connection, (process, _) in self.workers.items():
            with contextlib.suppress(OSError):
                if not at_once:
                    connection.send(None)
                connection.close()
            if at_once:
                process.terminate()  # SIGTERM: the worker removes its temporary files first
        for process, _ in self.workers.values():
            _reaped(process, 10)
        self.workers.clear()

    def _replace(self, connection: Any) -> Optional[int]:
        """Forget a lost worker and start another, while spares last; the lost one's exit code."""
        process, _ = self.workers.pop(connection)
        connection.close()
        code = _reaped(process, 5)  # a pipe that broke under a live worker: it goes too
        if self.spares > 0:
            self.spares -= 1
            self._start()
        return code

    def run(self, chunks: Iterable[Sequence[Job]]) -> Chunks:
        """The reports of each chunk, in order; chunks are read only as workers are ready for them."""
        from multiprocessing.connection import wait

        each = iter(chunks)
        carried: Optional[Sequence[Job]] = None  # taken from `chunks`, not yet sent
        out: dict[int, Sequence[Job]] = {}  # sent, their reports not back yet
        done: dict[int, list[Report]] = {}
        sent = reported = 0
        while True:
            for connection, (process, number) in list(self.workers.items()):
                if number is not None or sent >= reported + self.AHEAD * self.size:
                    continue
                chunk = carried if carried is not None else next(each, None)
                if chunk is None:
                    break
                try:
                    connection.send(chunk)
                except OSError:  # lost while idle: it had no pages, and another takes its place
                    carried = chunk
                    self._replace(connection)
                    continue
                carried = None
                out[sent] = chunk
                self.workers[connection] = (process, sent)
                sent += 1
            if not self.workers:  # every worker lost and no spare left: what is left fails
                for chunk in itertools.chain([carried] if carried is not None else [], each):
                    done[sent] = lost(self.batch, chunk, "no worker process is left")
                    sent += 1
                carried = None
            busy = {c: p for c, (p, n) in self.workers.items() if n is not None}
            ready = wait([*busy, *(p.sentinel for p in busy.values())]) if busy else []
            for connection in [c for c in busy if c in ready or busy[c].sentinel in ready]:
                self._collect(connection, out, done)
            while reported in done:
                yield done.pop(reported)
                reported += 1
            if not busy and reported == sent and carried is None:
                chunk = next(each, None)
                if chunk is None:
                    return
                carried = chunk

    def _collect(self, connection: Any, out: dict[int, Sequence[Job]], done: dict[int, list[Report]]) -> None:
        process, number = self.workers[connection]
        assert number is not None
        jobs = out.pop(number)
        try:
            reply = connection.recv()
        except (EOFError, OSError):
            why = f"its worker process was lost ({_signal_name(self._replace(connection))})"
            done[number] = lost(self.batch, jobs, why)
            return
        self.workers[connection] = (process, None)
        done[number] = reply


def _reaped(process: Any, patience: float) -> Optional[int]:
    """A worker's exit code once it has ended: killed if it has not within `patience` seconds."""
    process.join(patience)
    if process.exitcode is None:
        process.kill()
        process.join()
    return process.exitcode  # type: ignore[no-any-return]


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
def _client(batch: Batch, where: str) -> Iterator[Any]:
    import logging

    import dask
    from dask.distributed import Client, LocalCluster

    from brevane_tools.signing.credentials import SigningKey

    if isinstance(getattr(batch.settings, "credential", None), SigningKey):
        print(f"brevane: warning: {KEY_WARNING}", file=sys.stderr)
    local = _LOCAL.match(where)
    # Dask keeps the last thousand messages of each stream and transitions for its developers, each task's
    # pages with them: some 300 KB a task, in the client and in a scheduler of local:N (this process).
    with dask.config.set({"distributed.admin.low-level-log-length": LOG_LENGTH}), contextlib.ExitStack() as stack:
        if local is None:
            try:
                client = stack.enter_context(Client(where))  # type: ignore[no-untyped-call]
            except OSError as exc:
                raise UsageError(f"--dask {where}: cannot reach the scheduler: {exc}") from None
        else:
            # One thread per process: the module holds the interpreter lock for every call.
            cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=int(local.group(1)), threads_per_worker=1, processes=True, dashboard_address=None,
                # The scheduler serves HTTP even without its dashboard, by default on 8787 of every interface,
                # warning in its own words when that port is taken: any free port of loopback instead.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}, silence_logs=logging.ERROR,
            ))
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        yield client


def _on_cluster(client: Any, batch: Batch, jobs: Sequence[Job], most: int) -> Chunks:
    """Tasks submitted a window at a time (the first at once: they run while the caller mirrors), so
    the client holds a few tasks per worker, not the run's; their reports, in order, as iterated."""
    workers = max(1, sum(client.nthreads().values()))
    size = task_size(len(jobs), workers, most)
    shared = client.scatter(batch, broadcast=True, hash=False)
    run = os.urandom(4).hex()
    tasks = enumerate(chunked(jobs, workers, size, size))
    flying: collections.deque[tuple[list[Job], Any]] = collections.deque()

    def submit() -> bool:
        number, task = next(tasks, (-1, []))
        if not task:
            return False
        key = f"brevane-{batch.command}-{run}-{number}"
        flying.append((task, client.submit(run_chunk, shared, task, key=key, pure=False)))
        return True

    while len(flying) < workers * CHUNKS_PER_WORKER * 2 and submit():
        pass
    if client.scheduler_info().get("services", {}).get("dashboard"):
        count = -(-len(jobs) // size)
        print(f"brevane: {count:,} Dask tasks; progress at {client.dashboard_link}", file=sys.stderr)
    return _gathered(batch, flying, submit)


def _gathered(batch: Batch, flying: collections.deque[tuple[list[Job], Any]], submit: Callable[[], bool]) -> Chunks:
    while flying:
        task, future = flying.popleft()
        try:
            reports: list[Report] = future.result()
        except Exception as exc:  # noqa: BLE001 - a lost task fails its pages, not the run
            reports = lost(batch, task, f"its Dask task was lost ({type(exc).__name__}: {exc}".rstrip(": ") + ")")
        future.release()
        submit()  # one out, one in
        yield reports
