"""The spine of a batch: what a run was asked (`Plan`), its jobs (`Planned`, a `Job` a page), what
every job shares (`Batch`), and jobs run in one process (`run_pages`, a worker's `run_chunk`): each
page read (pages in object storage a round at a time, with one round of requests), its command run,
and what it made written, a commit at a time; `Done` carries a page's report and its files until then.

The runner plans and runs batches (and prunes a mirror), `cluster` hands their chunks to workers:
each of them sits above this module, and this module knows none of them.
"""

from __future__ import annotations

import collections
import threading
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from itertools import chain
from pathlib import Path
from typing import Any, Generic, NamedTuple, Optional, TypeVar, Union

from brevane_tools import commands
from brevane_tools.commands.base import Command, Page, Report
from brevane_tools.errors import EXIT_USAGE, PageFailed, SigningError, exit_status, reason
from brevane_tools.files import objects
from brevane_tools.files.finding import HTML_SUFFIXES, Found, InputFile, Link
from brevane_tools.files.object_copies import Copy
from brevane_tools.files.objects import Storage
from brevane_tools.files.reading import read_page
from brevane_tools.files.writing import BatchWriter
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE
from brevane_tools.results import Spool, raw_name
from brevane_tools.text import display, escape

__all__ = [
    "COMMIT_BYTES", "COMMIT_PAGES", "Batch", "Done", "Job", "Plan", "Planned", "run_chunk", "run_job", "run_pages",
    "traceback_text",
]

#: Edits are made durable and put in place this many pages (or bytes) at a time:
#: one sync per file system per round, instead of two per page, while a crash
#: or a kill never costs more than one round of work.
COMMIT_PAGES = 128
COMMIT_BYTES = 64 * 1024 * 1024

#: Rounds of writes to object storage in flight at once, in each worker.
WRITING = 3
Fetched = Optional[Union[bytes, BaseException]]
T = TypeVar("T")


class Job(NamedTuple):
    page: Page
    to_stdout: bool = False
    #: Where a destination's directory must lie (the resolved output tree); None for --in-place.
    out_tree: Optional[str] = None
    #: The page is part of a mirror (-o DIR): should the command fail on it, it is copied there
    #: unchanged, so that the output still is the whole site.
    mirrored: bool = False


class Batch(NamedTuple):
    """What every job of a run shares; sent to each worker process once."""

    command: str
    settings: Any
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE
    debug: bool = False
    #: The fsspec options of pages in object storage (--storage-options).
    storage: Optional[Storage] = None


class Done:
    """A job's report, and the files to write for it (written by the process that ran it): the page's
    own first, and the tree they lie in when it is not the page's (see Outcome.files_tree); or what goes
    to object storage instead, (URL, bytes), the page last. A failed page of a mirror, copied unchanged,
    says how its report names that (`copied`: "unsigned", "unchanged")."""

    __slots__ = ("copied", "files", "files_tree", "job", "objects", "report")

    def __init__(self, report: Report, files: tuple[tuple[Path, bytes], ...] = (), job: Optional[Job] = None,
                 files_tree: Optional[str] = None, objects: tuple[tuple[str, bytes], ...] = (),
                 copied: Optional[str] = None) -> None:
        self.report, self.files, self.job, self.files_tree = report, files, job, files_tree
        self.objects, self.copied = objects, copied


class Plan(NamedTuple):
    """What a run was asked to do, as the command line (or an integration) said it."""

    command: Command[Any]
    settings: Any
    paths: Sequence[str]
    output: Optional[str] = None  # -o PATH; "-" for standard output
    in_place: bool = False
    json: bool = False
    extensions: tuple[str, ...] = HTML_SUFFIXES
    follow_outside: bool = False
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE
    site_root: Optional[Path] = None
    workers: int = 1
    debug: bool = False
    #: Globs of pages to leave alone: with a "/", matched against the path below the
    #: directory argument; without one, against the file name, at any depth.
    exclude: tuple[str, ...] = ()
    #: The fsspec options of object URLs (--storage-options).
    storage: Optional[Storage] = None
    #: A Dask cluster to run on (--dask: tcp://HOST:PORT, or local:N), and the pages of each of its
    #: tasks (None: `cluster.DEFAULT_TASK_PAGES`).
    dask: Optional[str] = None
    task_pages: Optional[int] = None
    #: Remove from the output (-o DIR, or a prefix) what is no longer in the source, as rsync's --delete.
    delete: bool = False


class Planned:
    """The jobs of a run, what it mirrors besides its pages, and what is said of it before its pages."""

    def __init__(self, found: Optional[Found] = None) -> None:
        self.jobs: Spool[Job] = Spool()
        #: What the walk found, and could not use.
        self.found = found if found is not None else Found()
        #: The other files of a mirror on disk, the symbolic links it makes again as links, and the
        #: directories it makes (empty ones too), each with its place in the output.
        self.others: Sequence[tuple[InputFile, Path]] = ()
        self.links: list[tuple[Link, Path]] = []
        self.directories: list[Path] = []
        #: The other files of a mirror from or to object storage.
        self.copies: Sequence[Copy] = ()
        #: Pages left alone by --exclude, links a mirror into object storage cannot make.
        self.notes: Spool[Report] = Spool()


def run_job(batch: Batch, job: Job, fetched: Fetched = None) -> Done:
    """Run one command on one page (`fetched`: its bytes from object storage, or why they could not
    be had); never raises for a problem of that page."""
    done = _run(batch, job, fetched)
    done.report.data.update(raw_name(job.page.path))
    return done


def _failure(name: str, exc: Exception, debug: bool) -> Report:
    """One page's failure, as the exit-status table classes it."""
    status = exit_status(exc)
    if status is None:
        return Report(name, False, error=f"internal error: {type(exc).__name__}: {exc}", internal=True,
                      detail=traceback_text() if debug else None)
    if isinstance(exc, MemoryError):
        return Report(name, False, error="out of memory on this page")
    detail = exc.detail if isinstance(exc, SigningError) and debug else None
    data = exc.data if isinstance(exc, PageFailed) else {}
    return Report(name, False, error=reason(exc), input_error=status == EXIT_USAGE, data=data, detail=detail)


def traceback_text() -> str:
    """The traceback of the exception being handled: --debug's only (traceback costs every start 2 ms)."""
    import traceback

    return traceback.format_exc()


def _run(batch: Batch, job: Job, fetched: Fetched) -> Done:
    page = job.page
    command = commands.named(batch.command)
    assert command is not None
    try:
        if isinstance(fetched, BaseException):
            raise fetched
        if page.objects is not None:
            # Its bytes were read with its round (see `_rounds`); the storage options travel once, with the batch.
            page = page._replace(html=page.html if page.html is not None else fetched,
                                 objects=page.objects._replace(storage=batch.storage or Storage()))
        if page.html is None and page.path is not None:
            html = read_page(page.path, batch.max_page_size, follow=page.follow, identity=page.identity)
            page = page._replace(html=html)
        outcome = command.run(page, batch.settings)
    except Exception as exc:  # noqa: BLE001 - one page never stops a batch
        return _copied_unchanged(batch, job, page, _failure(page.name, exc, batch.debug))
    report = Report(page.name, True, text=outcome.text, data=outcome.data, multiline=outcome.multiline)
    output = outcome.page if command.output == "edit" else outcome.store
    if output is None:
        return Done(report)
    if job.to_stdout:
        report.stdout_bytes = output
        return Done(report)
    target = page.objects.target if page.objects is not None else None
    source = page.objects.source if page.objects is not None else page.path
    if (target or page.destination) is None:
        return Done(report)
    if (target or page.destination) == source and output == page.html and not outcome.files:
        report.text += " (unchanged, not written)"
        report.data["written"] = False
        return Done(report)
    if target is not None and page.objects is not None:
        # A command's other files lie below the output prefix (a store beside its page); the page goes last.
        root = page.objects.target_root or ""
        files = tuple((f"{root.rstrip('/')}/{path.as_posix()}", data) for path, data in outcome.files)
        return Done(report, job=job, objects=(*files, (target, output)))
    assert page.destination is not None
    return Done(report, ((page.destination, output), *outcome.files), job, outcome.files_tree)


def _copied_unchanged(batch: Batch, job: Job, page: Page, report: Report) -> Done:
    """A failed page of a mirror goes there as it is (the failure stands: the run still fails)."""
    if not job.mirrored or report.internal:
        return Done(report)
    how = "unsigned" if batch.command == "sign" else "unchanged"
    target = page.objects.target if page.objects is not None else None
    if target is not None:
        if page.html is None:  # never read: nothing to copy
            return Done(report)
        return Done(report, job=job, objects=((target, page.html),), copied=how)
    if page.destination is None or page.path is None or job.out_tree is None:
        return Done(report)
    # Linked, or copied, from the very file the walk found, as the other files of a mirror are (read or not).
    return Done(report, job=job, copied=how)


def run_chunk(batch: Batch, jobs: Sequence[Job]) -> list[Report]:
    """Run a chunk of pages in this process (a worker's share of a run): their final reports, in order."""
    return [report for reports in run_pages(batch, jobs) for report in reports]


def run_pages(batch: Batch, jobs: Iterable[Job]) -> Generator[list[Report], None, None]:
    """Run pages and write what they made, all in this process; their final reports, in order, as they
    become final (a commit at a time).

    Each page is staged as it is made, and made durable and put in place with one sync per file system
    a commit of COMMIT_PAGES pages (or COMMIT_BYTES), so a crash or a kill never costs more than a commit
    of work, and each page is old or new. Run in a worker, no page's bytes pass through the parent: only
    the reports go back. Pages in object storage go in rounds of one request each, all at once
    (`objects.CONCURRENCY`): a round is read while the one before it runs, and written while the ones
    after it run, so that only the first round's reads and the last ones' writes are waited for.
    """
    each = iter(jobs)
    first = next(each, None)
    if first is None:
        return
    writer = BatchWriter()
    pending: list[Done] = []
    uploads = _Uploads(batch) if first.page.objects is not None else None
    rounds = _rounds(batch, chain([first], each)) if uploads is not None else \
        [((job, None) for job in chain([first], each))]

    def commit() -> list[Report]:
        failures = writer.commit()
        for done in pending:
            failure = failures.get(id(done))
            if failure is not None:
                destination = done.files[0][0] if done.files else done.job.page.destination if done.job else None
                assert destination is not None
                _failed(done, f"cannot write {display(destination)}: {failure.strerror or failure}")
        final = uploads.after(pending[:]) if uploads is not None else [done.report for done in pending]
        pending.clear()
        return final

    try:
        with writer:
            for round_ in rounds:
                for job, fetched in round_:
                    done = run_job(batch, job, fetched)
                    if done.job is not None and not done.objects:
                        _stage(writer, done)
                    pending.append(done)
                    if writer.size >= COMMIT_BYTES or len(pending) >= COMMIT_PAGES:
                        yield commit()
                if any(done.objects for done in pending):
                    yield commit()
            yield commit()
            if uploads is not None:
                yield uploads.settle()
    finally:
        if uploads is not None:
            uploads.settle()  # after a failure, what is in flight is still waited for


def _failed(done: Done, error: str) -> None:
    """What a page made could not be written: its report says so (a page copied unchanged, that it was not)."""
    if done.copied is not None:
        done.report.not_copied(error)
    else:
        done.report = Report(done.report.path, False, error=error, input_error=True)


def _stage(writer: BatchWriter, done: Done) -> None:
    """Write a page's files to temporary files; its report says where, or why not."""
    assert done.job is not None
    page = done.job.page
    destination = done.files[0][0] if done.files else page.destination
    assert destination is not None
    try:
        in_place = done.job.out_tree is None
        if done.copied is not None and not done.files:
            assert page.path is not None and done.job.out_tree is not None
            written = writer.stage_copy(id(done), page.path, destination, done.job.out_tree, identity=page.identity,
                                        follow=page.follow) != "unchanged"
        else:
            written = writer.stage(
                id(done), done.files, mode_from=page.path, in_tree=done.job.out_tree, in_place=in_place,
                replaces=page.identity if in_place else None,  # the very file that was read, and no other
                files_tree=done.files_tree,
            )
    except OSError as exc:
        why = exc.strerror or str(exc)
        _failed(done, why if exc.filename is None and why.startswith(display(destination)) else
                f"cannot write {display(destination)}: {why}")
        return
    if done.copied is not None:
        done.report.copied_to(done.copied, display(destination))
        return
    done.report.data["output"] = display(destination)
    done.report.data["written"] = written
    done.report.text += f" -> {display(destination)}" if written else " (unchanged, not written)"


def _rounds(batch: Batch, jobs: Iterable[Job]) -> Iterator[list[tuple[Job, Fetched]]]:
    """The jobs in rounds (`objects.CONCURRENCY` pages, COMMIT_BYTES of listed bytes at most), the pages of
    each round that lie in object storage fetched with one round of concurrent requests; the next
    round's requests go out while this one is run, so the store's latency hides behind the work."""
    command = commands.named(batch.command)
    suffixes = command.reads_back(batch.settings) if command is not None and command.reads_back else ()

    def spans() -> Iterator[list[Job]]:
        span: list[Job] = []
        size = 0
        for job in jobs:
            if span and (len(span) >= objects.CONCURRENCY or size >= COMMIT_BYTES):
                yield span
                span, size = [], 0
            span.append(job)
            size += (job.page.objects.size or 0) if job.page.objects is not None else 0
        if span:
            yield span

    each = spans()
    span = next(each, None)
    coming = _Thread("brevane-read", _fetched, batch, span, suffixes) if span is not None else None
    try:
        while coming is not None:
            ready = coming.result()
            span = next(each, None)
            coming = _Thread("brevane-read", _fetched, batch, span, suffixes) if span is not None else None
            yield ready
    finally:
        if coming is not None:  # a run cut short still waits for the reads in flight
            coming.thread.join()


def _fetched(batch: Batch, jobs: Sequence[Job], suffixes: tuple[str, ...]) -> list[tuple[Job, Fetched]]:
    """A round's jobs, with what lies in object storage read by one round of concurrent requests
    (and the objects each command reads back of its output: what the output holds now)."""
    wanted: list[tuple[Job, str, Optional[int]]] = []
    for job in jobs:
        found = job.page.objects
        if job.page.html is None and found is not None and found.source is not None:
            wanted.append((job, found.source, found.size))
        if suffixes and found is not None and found.target is not None and found.target != found.source:
            wanted += [(job, found.target + suffix, None) for suffix in suffixes]
    got = objects.read_many(batch.storage or Storage(), [(url, size) for _, url, size in wanted],
                            batch.max_page_size) if wanted else []
    fetched: dict[int, dict[str, Fetched]] = {}
    for (job, url, _), data in zip(wanted, got):
        fetched.setdefault(id(job), {})[url] = data
    ready: list[tuple[Job, Fetched]] = []
    for job in jobs:
        found, mine = job.page.objects, fetched.get(id(job), {})
        if found is None:
            ready.append((job, None))
            continue
        ahead = tuple((found.target + suffix, data if isinstance(data, bytes) else None)
                      for suffix in suffixes if found.target is not None and found.target != found.source
                      for data in [mine.get(found.target + suffix)])
        page = job.page._replace(objects=found._replace(ahead=ahead)) if ahead else job.page
        ready.append((job._replace(page=page) if ahead else job, mine.get(found.source) if found.source else None))
    return ready


class _Thread(Generic[T]):
    """A call on a thread of its own (a round's reads, or its writes), and its result, or what it raised."""

    def __init__(self, name: str, call: Callable[..., T], *args: Any) -> None:
        self.value: Optional[T] = None
        self.error: Optional[BaseException] = None
        self.thread = threading.Thread(target=self._run, args=(call, *args), name=name)
        self.thread.start()

    def _run(self, call: Callable[..., T], *args: Any) -> None:
        try:
            self.value = call(*args)
        except BaseException as exc:  # noqa: BLE001 - raised again where the result is asked for
            self.error = exc

    def result(self) -> T:
        self.thread.join()
        if self.error is not None:
            raise self.error
        return self.value  # type: ignore[return-value]


class _Uploads:
    """Rounds' writes to object storage go on while the next rounds are run, WRITING rounds in flight at
    most: while one waits out the store's latency, the others keep its connections busy. The reports
    come back in the order of the rounds, each once its writes are done."""

    def __init__(self, batch: Batch) -> None:
        self.batch = batch
        self.flying: collections.deque[tuple[_Thread[None], list[Done]]] = collections.deque()

    def after(self, group: list[Done]) -> list[Report]:
        """Start writing a round; the reports that are final now."""
        if not any(done.objects for done in group):
            return [*self.settle(), *(done.report for done in group)]
        final = self.settle(keep=WRITING - 1)
        self.flying.append((_Thread("brevane-write", _upload, self.batch, group), group))
        return final

    def settle(self, keep: int = 0) -> list[Report]:
        """The reports of the rounds written, oldest first, waiting until at most `keep` are in flight."""
        final: list[Report] = []
        while self.flying and (len(self.flying) > keep or not self.flying[0][0].thread.is_alive()):
            writing, group = self.flying.popleft()
            writing.result()
            final += [done.report for done in group]
        return final


def _upload(batch: Batch, done: Sequence[Done]) -> None:
    """Write what a round made to object storage (each page's store first); each report says where, or why not."""
    writing = [d for d in done if d.objects]
    failures = objects.write_groups(batch.storage or Storage(), [d.objects for d in writing])
    for each, failure in zip(writing, failures):
        target = escape(each.objects[-1][0])
        if failure is not None:
            _failed(each, failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure))
        elif each.copied is not None:
            each.report.copied_to(each.copied, target)
        else:
            each.report.data.update(output=target, written=True)
            each.report.text += f" -> {target}"
