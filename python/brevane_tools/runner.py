"""Running one command over a batch of pages: finding them, running the command on each
(in worker processes when asked), writing what it made, and reporting each page once.

No page can stop a batch: whatever one page raises becomes that page's report,
by the exit-status table of `brevane_tools.errors`; anything the table does not
know is an internal error, counted apart. How files are found, read and written
is described in `brevane_tools.files`.
"""

from __future__ import annotations

import itertools
import os
import traceback
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Union

from brevane_tools import commands
from brevane_tools.commands.base import Command, Page, Report
from brevane_tools.errors import EXIT_USAGE, PageFailed, SigningError, UsageError, exit_status, reason
from brevane_tools.files.finding import (
    DEFAULT_MAX_PAGE_SIZE, HTML_SUFFIXES, Found, InputFile, Link, excluded_by, find_pages, inside, resolved,
)
from brevane_tools.files.mirroring import Mirrored, mirror
from brevane_tools.files.reading import read_page
from brevane_tools.files.writing import BatchWriter
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.results import Spool, exit_code, raw_name, summary
from brevane_tools.text import display, escape

if TYPE_CHECKING:  # object storage loads only for the runs that use it
    from brevane_tools.files.object_copies import Copy
    from brevane_tools.files.objects import Storage

__all__ = ["Batch", "Done", "Job", "Mirrored", "Plan", "Planned", "exit_code", "is_url", "plan", "raw_name", "run_batch", "run_job", "summary"]

#: Edits are made durable and put in place this many pages (or bytes) at a time:
#: one sync per file system per round, instead of two per page, while a crash
#: or a kill never costs more than one round of work.
COMMIT_PAGES = 128
COMMIT_BYTES = 64 * 1024 * 1024


@dataclass(frozen=True)
class Job:
    page: Page
    to_stdout: bool = False
    #: Where a destination's directory must lie (the resolved output tree); None for --in-place.
    out_tree: Optional[str] = None
    #: The page is part of a mirror (-o DIR): should the command fail on it, it is copied there
    #: unchanged, so that the output still is the whole site.
    mirrored: bool = False


@dataclass(frozen=True)
class Batch:
    """What every job of a run shares; sent to each worker process once."""

    command: str
    settings: Any
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE
    debug: bool = False
    #: The fsspec options of pages in object storage (--storage-options).
    storage: Optional[Storage] = None


@dataclass
class Done:
    """A job's report, and the files to write for it (written by the parent process)."""

    report: Report
    files: tuple[tuple[Path, bytes], ...] = ()
    job: Optional[Job] = None
    files_tree: Optional[str] = None  # see Outcome.files_tree
    #: What goes to object storage instead: (URL, bytes), the page last.
    objects: tuple[tuple[str, bytes], ...] = ()
    #: A failed page of a mirror, copied unchanged: how the report names that ("unsigned", "unchanged").
    copied: Optional[str] = None


def run_job(batch: Batch, job: Job, fetched: Optional[Union[bytes, BaseException]] = None) -> Done:
    """Run one command on one page (`fetched`: its bytes from object storage, or why they could not
    be had); never raises for a problem of that page."""
    done = _run(batch, job, fetched)
    done.report.data.update(raw_name(job.page.path))
    return done


def _failure(name: str, exc: Exception, debug: bool) -> Report:
    """One page's failure, as the exit-status table classes it."""
    status = exit_status(exc)
    if status is None:
        return Report(
            name, False, error=f"internal error: {type(exc).__name__}: {exc}", internal=True,
            detail=traceback.format_exc() if debug else None,
        )
    if isinstance(exc, MemoryError):
        return Report(name, False, error="out of memory on this page")
    detail = exc.detail if isinstance(exc, SigningError) and debug else None
    data = exc.data if isinstance(exc, PageFailed) else {}
    return Report(name, False, error=reason(exc), input_error=status == EXIT_USAGE, data=data, detail=detail)


def _run(batch: Batch, job: Job, fetched: Optional[Union[bytes, BaseException]]) -> Done:
    page = job.page
    command = commands.named(batch.command)
    assert command is not None
    try:
        if isinstance(fetched, BaseException):
            raise fetched
        if page.objects is not None:
            from brevane_tools.object_runs import readied

            page = readied(batch, page, fetched)
        if page.html is None and page.path is not None:
            html = read_page(page.path, batch.max_page_size, follow=page.follow, identity=page.identity)
            page = replace(page, html=html)
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
    if target is not None and page.objects is not None:
        if target == page.objects.source and output == page.html and not outcome.files:
            report.text += " (unchanged, not written)"
            report.data["written"] = False
            return Done(report)
        # A command's other files lie below the output prefix (a store beside its page); the page goes last.
        root = page.objects.target_root or ""
        files = tuple((f"{root.rstrip('/')}/{path.as_posix()}", data) for path, data in outcome.files)
        return Done(report, job=job, objects=(*files, (target, output)))
    if page.destination is None:
        return Done(report)
    if page.destination == page.path and output == page.html and not outcome.files:
        report.text += " (unchanged, not written)"
        report.data["written"] = False
        return Done(report)
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


@dataclass(frozen=True)
class Plan:
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


@dataclass
class Planned:
    """The jobs of a run, the other files it mirrors, and what the walk could not use."""

    jobs: Spool[Job] = field(default_factory=Spool)
    others: Sequence[tuple[InputFile, Path]] = field(default_factory=list)
    found: Found = field(default_factory=Found)
    #: Pages left alone by --exclude, with the glob that matched each.
    excluded: list[tuple[InputFile, str]] = field(default_factory=list)
    #: The symbolic links a mirror makes again as links, and the directories it makes (empty ones too).
    links: list[tuple[Link, Path]] = field(default_factory=list)
    directories: list[Path] = field(default_factory=list)
    #: The other files of a mirror from or to object storage, and what is said of the run before its pages.
    copies: list[Copy] = field(default_factory=list)
    notes: list[Report] = field(default_factory=list)


def is_url(argument: str) -> bool:
    return argument.lower().startswith(("http://", "https://"))


def plan(run: Plan) -> Planned:
    """The jobs of a run; UsageError or FileNotFoundError (exit status 2) before anything is touched."""
    from brevane_tools import cluster, object_runs

    if run.delete and (not _mirrors(run) or not _whole_trees(run)):
        raise UsageError("--delete takes -o DIR (or a prefix) and directories (or prefixes) to mirror there")
    cluster.start(run.workers, run.dask)
    if object_runs.involved(run):
        return object_runs.plan(run)
    command = run.command
    urls = [a for a in run.paths if command.urls and is_url(a)]
    paths = [a for a in run.paths if a not in urls]
    if urls and command.output != "none":
        raise UsageError(f"{escape(urls[0])}: a URL cannot be written to")
    found = find_pages(paths, run.extensions, run.follow_outside, mirror=_mirrors(run))
    if command.needs_pages:
        _require_pages(paths, found)
    excluded: list[tuple[InputFile, str]] = []
    if run.exclude:
        kept: Spool[InputFile] = Spool()
        for page in found.pages:
            pattern = excluded_by(page.relative.as_posix(), run.exclude)
            if pattern is None:
                kept.append(page)
            else:
                excluded.append((page, pattern))
        found.pages = kept
    jobs: Spool[Job] = Spool()
    jobs.extend(Job(Page(escape(url), None, url=url)) for url in urls)
    jobs.extend(_jobs(run, paths, found.pages))
    # Excluded pages are part of the site all the same: a mirror copies them as they are.
    others, links, directories = _mirrored(run, found, itertools.chain(found.others, (p for p, _ in excluded)))
    return Planned(jobs, others, found, excluded, links, directories)


def _require_pages(paths: Sequence[str], found: Found) -> None:
    """A directory without a single page is a mistake (a misnamed or empty build), never a pass."""
    roots = {os.path.realpath(root) for root in {p.root for p in found.pages if p.root is not None}}
    for argument in paths:
        if os.path.isdir(argument) and os.path.realpath(argument) not in roots:
            raise UsageError(f"no pages found under {display(argument)}")


def _check_overlap(run: Plan, pages: Sequence[InputFile], output: Path) -> None:
    """Refuse a run whose output tree and input trees overlap, before anything is written."""
    real_out = os.path.realpath(output)
    for argument in run.paths:
        real_in = os.path.realpath(argument)
        if Path(argument).is_dir() and (inside(real_out, real_in) or inside(real_in, real_out)):
            raise UsageError(
                f"the output {display(output)} and the input {display(argument)} overlap: "
                "use a directory outside the input tree (or --in-place)"
            )
    for page in pages:
        # A page the walk found without following a link lies in its directory argument, checked above;
        # resolving each one's path again would cost the client a handful of system calls per page.
        if (page.root is None or page.via_link) and inside(resolved(page.path), real_out):
            raise UsageError(f"the input {display(page.path)} lies in the output {display(output)}")


def _jobs(run: Plan, paths: Sequence[str], pages: Sequence[InputFile]) -> Iterator[Job]:
    """The job of each page, one at a time (a run of any size lists none of them in memory)."""
    output = run.output

    def job(page: InputFile, destination: Optional[Path] = None, to_stdout: bool = False,
            out_tree: Optional[str] = None, mirrored: bool = False) -> Job:
        found = Page(
            display(page.path), None, path=page.path, relative=page.relative, destination=destination,
            site=run.site_root, identity=page.identity, follow=page.via_link,
        )
        return Job(found, to_stdout, out_tree, mirrored)

    if run.in_place:
        # A page reached through a link (allowed by the link policy) is edited where it lives.
        return (job(p, Path(resolved(p.path))) for p in pages)
    if output is None:
        return (job(p) for p in pages)
    single_file = len(pages) == 1 and len(paths) == 1 and not Path(paths[0]).is_dir()
    if output == "-":
        if run.json:
            raise UsageError("-o - (standard output) cannot be combined with --json")
        if not single_file:
            raise UsageError("-o - (standard output) takes exactly one page")
        return iter([job(pages[0], to_stdout=True)])
    if single_file and not Path(output).is_dir():
        target = Path(output)
        if os.path.lexists(target) and os.path.samefile(target, pages[0].path):
            raise UsageError(f"the output {display(target)} is the input page (use --in-place)")
        return iter([job(pages[0], target, out_tree=os.path.realpath(target.parent))])
    _check_overlap(run, pages, Path(output))
    suffix = STORE_SUFFIX if run.command.output == "store" else ""
    # Paths below one argument are its own: only several arguments can put two pages in one place.
    seen: Optional[dict[Path, Path]] = {} if len(paths) > 1 else None
    tree = os.path.realpath(output)

    def placed() -> Iterator[Job]:  # run through by `plan`, before anything is written
        for page in pages:
            destination = Path(output) / (str(page.relative) + suffix)
            if seen is not None:
                if destination in seen:
                    raise UsageError(f"{display(page.path)} and {display(seen[destination])} would both be written "
                                     f"to {display(destination)}")
                seen[destination] = page.path
            yield job(page, destination, out_tree=tree, mirrored=_mirrors(run))

    return placed()


def _whole_trees(run: Plan) -> bool:
    from brevane_tools.files.objects import is_object_url

    return all(is_object_url(p) or os.path.isdir(p) for p in run.paths)


def _mirrors(run: Plan) -> bool:
    """Whether the run makes whole trees again (`-o DIR` on a command that edits pages)."""
    return run.command.output == "edit" and run.output not in (None, "-")


def _mirrored(
    run: Plan, found: Found, others: Iterable[InputFile]
) -> tuple[Sequence[tuple[InputFile, Path]], list[tuple[Link, Path]], list[Path]]:
    """What `-o DIR` makes besides the pages, so that the output is the whole site: the other
    files (kept on disk), the symbolic links (as links), and every directory; each with its place in
    the output."""
    if not _mirrors(run):
        return [], [], []
    assert run.output is not None
    output = Path(run.output)
    # Paths below one argument are its own: only several arguments can put two entries in one place.
    taken: Optional[dict[Path, Path]] = {} if len(run.paths) > 1 else None

    def place(source: Path, relative: Path) -> Path:
        target = output / relative
        if taken is not None:
            if target in taken:
                raise UsageError(
                    f"{display(source)} and {display(taken[target])} would both be written to {display(target)}"
                )
            taken[target] = source
        return target

    files: Spool[tuple[InputFile, Path]] = Spool()
    files.extend((other, place(other.path, other.relative)) for other in others if other.root is not None)
    links = [(link, place(link.path, link.relative)) for link in found.links]
    return files, links, [output / directory for directory in found.directories]


def run_chunk(batch: Batch, jobs: Sequence[Job]) -> list[Report]:
    """Run a chunk of pages and write what they made, all in this process; their final reports, in order.

    Each page is staged as it is made; the chunk is made durable and put in place with one sync per
    file system (sooner past COMMIT_BYTES), so a crash or a kill never costs more than a chunk of work,
    and each page is old or new. Run in a worker, no page's bytes pass through the parent: only the
    reports come back. Pages in object storage are read a round ahead and written while the next
    round runs, each round with one round of requests (see `object_runs`).
    """
    writer = BatchWriter()
    pending: list[Done] = []
    reports: list[Report] = []
    uploads = None
    if any(job.page.objects is not None for job in jobs):
        from brevane_tools.object_runs import Uploads

        uploads = Uploads(batch)

    def commit() -> None:
        failures = writer.commit()
        for done in pending:
            failure = failures.get(id(done))
            if failure is not None:
                destination = done.files[0][0] if done.files else done.job.page.destination if done.job else None
                assert destination is not None
                why = failure.strerror or str(failure)
                if done.copied is not None:
                    done.report.not_copied(f"cannot write {display(destination)}: {why}")
                else:
                    done.report = Report(
                        done.report.path, False, error=f"cannot write {display(destination)}: {why}", input_error=True
                    )
        reports.extend(uploads.after(pending[:]) if uploads is not None else (done.report for done in pending))
        pending.clear()

    try:
        for round_ in _rounds(batch, jobs):
            for job, fetched in round_:
                done = run_job(batch, job, fetched)
                if done.job is not None and not done.objects:
                    _stage(writer, done)
                pending.append(done)
                if writer.size >= COMMIT_BYTES:
                    commit()
            commit()
    except BaseException:
        writer.discard()
        raise
    finally:
        if uploads is not None:
            reports.extend(uploads.close())  # after a failure, what is in flight is still waited for
    return reports


def _rounds(batch: Batch, jobs: Sequence[Job]) -> Iterator[list[tuple[Job, Optional[Union[bytes, BaseException]]]]]:
    if not any(job.page.objects is not None for job in jobs):
        yield [(job, None) for job in jobs]  # local pages: each is read as its turn comes
        return
    from brevane_tools.object_runs import rounds

    yield from rounds(batch, jobs)


def run_batch(
    run: Plan, planned: Planned, emit: Callable[[Report], None]
) -> Mirrored:
    """Run the jobs and write what they made; `emit` hears each page's report once, when it is final."""
    batch = Batch(run.command.name, run.settings, run.max_page_size, run.debug, run.storage)
    for error in planned.found.errors:
        emit(Report(error.path, False, error=error.message, input_error=True))
    for page, pattern in planned.excluded:
        kept = "copied unchanged" if run.command.output == "edit" and run.output not in (None, "-") else "left alone"
        emit(Report(display(page.path), True, text=f"excluded by --exclude {escape(pattern)}, {kept}",
                    data={"excluded": True, **raw_name(page.path)}))
    for note in planned.notes:
        emit(note)

    from brevane_tools import cluster
    from brevane_tools.files.leftovers import trees_written, writing_trees

    mirrored = Mirrored()
    # Workers (--jobs, --dask) start at once, and come up while this process mirrors.
    written = ([], []) if run.command.output == "none" else trees_written(run.paths, run.output, run.in_place)
    with writing_trees(*written) as trees, \
            cluster.executing(batch, planned.jobs, run.workers, run.dask, run.task_pages) as chunks:
        mirrored.leftovers = trees.removed
        # The other files first: a page's new store replaces the old one the mirror copies, never the reverse.
        _mirror(run, planned, mirrored, emit)
        # Pages are reported once they are durable and in place; whoever ran them wrote them.
        for reports in chunks:
            for report in reports:
                emit(report)
        if run.delete:  # once the output holds everything new: never a moment with less than before
            from brevane_tools.deleting import prune

            mirrored.delete = True
            prune(run, planned, mirrored, emit)
    return mirrored


def _mirror(run: Plan, planned: Planned, mirrored: Mirrored, emit: Callable[[Report], None]) -> None:
    if planned.copies:
        from brevane_tools.files import object_copies, objects

        assert run.output is not None
        tree = None if objects.is_object_url(run.output) else os.path.realpath(run.output)
        object_copies.mirror(run.storage or objects.Storage(), planned.copies, tree, mirrored, emit)
    if not (planned.others or planned.links or planned.directories):
        return
    assert run.output is not None
    writer = BatchWriter()
    try:
        mirror(writer, planned.others, planned.links, planned.directories, os.path.realpath(run.output),
               mirrored, emit)
    except BaseException:
        writer.discard()
        raise


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
        error = why if exc.filename is None and why.startswith(display(destination)) else \
            f"cannot write {display(destination)}: {why}"
        if done.copied is not None:
            done.report.not_copied(error)
            return
        done.report = Report(done.report.path, False, error=error, input_error=True)
        return
    if done.copied is not None:
        done.report.copied_to(done.copied, display(destination))
        return
    done.report.data["output"] = display(destination)
    done.report.data["written"] = written
    done.report.text += f" -> {display(destination)}" if written else " (unchanged, not written)"
