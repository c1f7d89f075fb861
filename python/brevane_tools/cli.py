"""The `brevane` command-line tool: the module's operations over many pages.

Exit codes: 0 when every file went well; 1 when some file failed (a check did
not pass, or the module refused the file: the reason is one line on standard
error with the file name and the module's message, status code included);
2 for a usage or input error (bad arguments, a path that does not exist, a
file or directory that cannot be read or written, a link or file the tool
refuses). A file that fails is never changed. How files are found, read and
written is described in `brevane_tools.files`.
"""

from __future__ import annotations

import argparse
import base64
import json
import multiprocessing
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Optional, TextIO

import brevane

# Each module registers its commands on import, in the order of the help text.
from brevane_tools import check_command, page_commands, sign_command  # noqa: F401
from brevane_tools.command import COMMANDS, Command, Page, PageFailed, Report, UsageError, parse_size
from brevane_tools.files import (
    DEFAULT_MAX_PAGE_SIZE,
    HTML_SUFFIXES,
    BatchWriter,
    Found,
    InputFile,
    display,
    find_pages,
    inside,
    temporaries_removed_on_signals,
    read_page,
)
from brevane_tools.signing import SdkUnavailableError

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

#: The version of the --json document's layout (docs/json.md); raised when a field changes meaning.
JSON_SCHEMA = 1

#: Batches at least this long get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD = 8

#: Edits are made durable and put in place this many pages (or bytes) at a time:
#: one sync per file system per round, instead of two per page, while a crash
#: or a kill never costs more than one round of work.
COMMIT_PAGES = 128
COMMIT_BYTES = 64 * 1024 * 1024

_ORDER = ("locate", "extract", "remove", "embed", "reference", "hash", "predict", "verify", "sign", "check")


@dataclass(frozen=True)
class Job:
    page: Page
    to_stdout: bool = False
    #: Where a destination's directory must lie (the resolved output tree); None for --in-place.
    out_tree: Optional[str] = None


@dataclass(frozen=True)
class Batch:
    """What every job of a run shares; sent to each worker process once."""

    command: str
    settings: Any
    max_page_size: int = DEFAULT_MAX_PAGE_SIZE


@dataclass
class Done:
    """A job's report, and the files to write for it (written by the parent process)."""

    report: Report
    files: tuple[tuple[Path, bytes], ...] = ()
    job: Optional[Job] = None


def run_job(batch: Batch, job: Job) -> Done:
    """Run one command on one page; never raises for a problem of that page."""
    done = _run(batch, job)
    done.report.data.update(_raw_name(job.page.path))
    return done


def _run(batch: Batch, job: Job) -> Done:
    page = job.page
    name = page.name
    try:
        if page.html is None and page.path is not None:
            try:
                page = replace(page, html=read_page(page.path, batch.max_page_size))
            except OSError as exc:
                return Done(Report(name, False, error=exc.strerror or str(exc), input_error=True))
        command = COMMANDS[batch.command]
        outcome = command.run(page, batch.settings)
    except PageFailed as exc:
        return Done(Report(name, False, error=str(exc), data=exc.data))
    except SdkUnavailableError as exc:
        return Done(Report(name, False, error=str(exc), input_error=True))
    except ValueError as exc:
        return Done(Report(name, False, error=str(exc)))
    except MemoryError:
        return Done(Report(name, False, error="out of memory on this page"))
    report = Report(name, True, text=outcome.text, data=outcome.data)
    output = outcome.page if command.output == "edit" else outcome.store
    if output is None:
        return Done(report)
    if job.to_stdout:
        report.stdout_bytes = output
        return Done(report)
    if page.destination is None:
        return Done(report)
    if page.destination == page.path and output == page.html and not outcome.files:
        report.text += " (unchanged, not written)"
        report.data["written"] = False
        return Done(report)
    return Done(report, ((page.destination, output), *outcome.files), job)


_WORKER_BATCH: Optional[Batch] = None


def _start_worker(batch: Batch) -> None:
    global _WORKER_BATCH
    _WORKER_BATCH = batch


def _run_in_worker(job: Job) -> Done:
    assert _WORKER_BATCH is not None
    return run_job(_WORKER_BATCH, job)


class Progress:
    """A one-line bar on a terminal; silent anywhere else."""

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total, self.done, self.stream, self.enabled = total, 0, stream, enabled

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def advance(self) -> None:
        self.done += 1
        if self.enabled:
            width = 30
            filled = width * self.done // max(self.total, 1)
            self.stream.write(f"\r[{'#' * filled}{' ' * (width - filled)}] {self.done}/{self.total}")
            self.stream.flush()


def _extensions(text: str) -> tuple[str, ...]:
    found = tuple("." + e.strip().lstrip(".") for e in text.split(",") if e.strip().lstrip("."))
    if not found:
        raise argparse.ArgumentTypeError(f"expected extensions such as html,htm: {text!r}")
    return found


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brevane",
        description="Find, embed, remove, hash, sign and check C2PA manifests in HTML pages, "
        "byte for byte.",
        epilog="exit status: 0 all good, 1 some file failed, 2 usage or input error",
    )
    parser.add_argument("--version", action="version", version=f"brevane {brevane.__version__}")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    names = [n for n in _ORDER if n in COMMANDS] + [n for n in COMMANDS if n not in _ORDER]
    default_extensions = ",".join(s.lstrip(".") for s in HTML_SUFFIXES)
    for name in names:
        command = COMMANDS[name]
        sub = subparsers.add_parser(name, help=command.help, description=command.help)
        sub.add_argument(
            "paths", nargs="+", metavar="PATH",
            help="pages, or directories to search for pages" + (", or http/https URLs" if command.urls else ""),
        )
        sub.add_argument("--jobs", "-j", type=int, default=1, metavar="N", help="worker processes (0: one per CPU)")
        sub.add_argument("--json", action="store_true", help="one JSON document on standard output")
        sub.add_argument("--quiet", "-q", action="store_true", help="report failures only")
        sub.add_argument(
            "--extensions", type=_extensions, default=HTML_SUFFIXES, metavar="LIST",
            help=f"file name extensions of pages in directories (default {default_extensions})",
        )
        sub.add_argument(
            "--follow-outside", action="store_true",
            help="follow symbolic links that lead out of a directory argument (refused by default)",
        )
        sub.add_argument(
            "--max-page-size", type=parse_size, default=DEFAULT_MAX_PAGE_SIZE, metavar="SIZE",
            help="larger pages fail (default 256M)",
        )
        if command.hash_alg:
            sub.add_argument("--alg", default="sha256", help="sha256 (default), sha384 or sha512")
        if command.output == "edit":
            out = sub.add_mutually_exclusive_group(required=True)
            out.add_argument(
                "-o", "--output", metavar="PATH",
                help="output file ('-' for standard output), or directory: the whole tree is mirrored there, "
                "other files hard-linked (or copied across file systems)",
            )
            out.add_argument("--in-place", action="store_true", help="replace each page atomically")
        elif command.output == "store":
            sub.add_argument(
                "-o", "--output", metavar="PATH",
                help="file ('-' for standard output), or directory for several pages, for the store",
            )
        command.add_arguments(sub)
    return parser


def _check_overlap(args: argparse.Namespace, pages: Sequence[InputFile], output: Path) -> None:
    """Refuse a run whose output tree and input trees overlap, before anything is written."""
    real_out = os.path.realpath(output)
    for argument in args.paths:
        real_in = os.path.realpath(argument)
        if Path(argument).is_dir() and (inside(real_out, real_in) or inside(real_in, real_out)):
            raise UsageError(
                f"the output {display(output)} and the input {display(argument)} overlap: "
                "use a directory outside the input tree (or --in-place)"
            )
    for page in pages:
        if inside(os.path.realpath(page.path), real_out):
            raise UsageError(f"the input {display(page.path)} lies in the output {display(output)}")


def _jobs(args: argparse.Namespace, pages: list[InputFile]) -> list[Job]:
    output: Optional[str] = getattr(args, "output", None)
    in_place: bool = getattr(args, "in_place", False)

    def job(page: InputFile, destination: Optional[Path] = None, to_stdout: bool = False,
            out_tree: Optional[str] = None) -> Job:
        found = Page(display(page.path), None, path=page.path, relative=page.relative, destination=destination)
        return Job(found, to_stdout, out_tree)

    if in_place:
        # A page reached through a link (allowed by the link policy) is edited where it lives.
        return [job(p, Path(os.path.realpath(p.path))) for p in pages]
    if output is None:
        return [job(p) for p in pages]
    single_file = len(pages) == 1 and len(args.paths) == 1 and not Path(args.paths[0]).is_dir()
    if output == "-":
        if args.json:
            raise UsageError("-o - (standard output) cannot be combined with --json")
        if not single_file:
            raise UsageError("-o - (standard output) takes exactly one page")
        return [job(pages[0], to_stdout=True)]
    if single_file and not Path(output).is_dir():
        target = Path(output)
        if os.path.lexists(target) and os.path.samefile(target, pages[0].path):
            raise UsageError(f"the output {display(target)} is the input page (use --in-place)")
        return [job(pages[0], target, out_tree=os.path.realpath(target.parent))]
    _check_overlap(args, pages, Path(output))
    suffix = ".c2pa" if args.command == "extract" else ""
    jobs: list[Job] = []
    seen: dict[Path, Path] = {}
    tree = os.path.realpath(output)
    for page in pages:
        destination = Path(output) / (str(page.relative) + suffix)
        if destination in seen:
            raise UsageError(
                f"{display(page.path)} and {display(seen[destination])} would both be written to {display(destination)}"
            )
        seen[destination] = page.path
        jobs.append(job(page, destination, out_tree=tree))
    return jobs


def _execute(batch: Batch, jobs: list[Job], workers: int) -> Iterator[Done]:
    if workers <= 1 or len(jobs) <= 1:
        yield from (run_job(batch, j) for j in jobs)
        return
    # Chunks of pages go to each worker at a time; the settings go once per worker.
    chunk = max(1, min(64, len(jobs) // (workers * 4)))
    # fork() from a process that runs threads (an embedding application, a test
    # runner, the C2PA SDK) can deadlock the child; a fork server starts workers
    # from a clean single-threaded process instead.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(
        max_workers=workers, mp_context=context, initializer=_start_worker, initargs=(batch,)
    ) as pool:
        yield from pool.map(_run_in_worker, jobs, chunksize=chunk)


def _is_url(argument: str) -> bool:
    return argument.lower().startswith(("http://", "https://"))


def summary(reports: Sequence[Report]) -> str:
    """One line for the batch: states when the command reports them, else ok and failed."""
    counts: dict[str, int] = {}
    stated = any("state" in r.data for r in reports)
    for report in reports:
        if stated and "state" in report.data:
            key = str(report.data["state"]).lower()
        else:
            key = "ok" if report.ok else "failed"
        counts[key] = counts.get(key, 0) + 1
    if not stated:
        counts = {"ok": counts.get("ok", 0), "failed": counts.get("failed", 0)}
    total = len(reports)
    parts = ", ".join(f"{n:,} {key}" for key, n in counts.items())
    return f"{total:,} page{'s' if total != 1 else ''}: {parts}"


def _mirrored(args: argparse.Namespace, command_output: str, others: Sequence[InputFile]) -> list[tuple[Path, Path]]:
    """The files that are not pages, and where `-o DIR` puts them so that the output is the whole site."""
    output: Optional[str] = getattr(args, "output", None)
    if command_output != "edit" or output is None or output == "-":
        return []  # only an edited tree is mirrored; `others` holds files found in directories only
    mirrored: dict[Path, Path] = {}
    for other in others:
        if other.root is None:
            continue
        target = Path(output) / other.relative
        if target in mirrored:
            raise UsageError(
                f"{display(other.path)} and {display(mirrored[target])} would both be written to {display(target)}"
            )
        mirrored[target] = other.path
    return [(source, target) for target, source in mirrored.items()]


def _raw_name(path: Optional[Path]) -> dict[str, str]:
    # A name that is not UTF-8 is shown with \xNN escapes; its exact bytes go in the JSON.
    if path is None:
        return {}
    raw = os.fsencode(path)
    try:
        raw.decode("utf-8")
        return {}
    except UnicodeDecodeError:
        return {"path_base64": base64.b64encode(raw).decode("ascii")}


def main(
    argv: Optional[Sequence[str]] = None, *, on_report: Optional[Callable[[Report], None]] = None
) -> int:
    """Run the tool; `on_report` is called in this process for each page as it finishes."""
    parser = build_parser()
    args = parser.parse_args(argv)
    command = COMMANDS[args.command]
    try:
        settings = command.prepare(args)
        urls = [a for a in args.paths if command.urls and _is_url(a)]
        paths = [a for a in args.paths if a not in urls]
        if urls and command.output != "none":
            raise UsageError(f"{urls[0]}: a URL cannot be written to")
        found = find_pages(paths, args.extensions, args.follow_outside)
        jobs = [Job(Page(url, None, url=url)) for url in urls]
        jobs += _jobs(args, found.pages)
        others = _mirrored(args, command.output, found.others)
    except (UsageError, FileNotFoundError) as exc:
        print(f"brevane: {exc}", file=sys.stderr)
        return EXIT_USAGE
    if args.jobs < 0:
        print("brevane: --jobs must not be negative", file=sys.stderr)
        return EXIT_USAGE
    workers = args.jobs or os.cpu_count() or 1
    batch = Batch(args.command, settings, args.max_page_size)
    try:
        with temporaries_removed_on_signals():
            return _run_batch(args, command, settings, batch, jobs, others, found, workers, on_report)
    except BrokenPipeError:
        # The reader went away (`brevane check site | head`): stop quietly, as
        # other filters do, and keep Python from complaining again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED


def _run_batch(
    args: argparse.Namespace, command: Command, settings: Any, batch: Batch, jobs: list[Job],
    others: list[tuple[Path, Path]], found: Found, workers: int, on_report: Optional[Callable[[Report], None]],
) -> int:
    """Run the jobs, write what they made, report; the exit status."""
    progress = Progress(
        len(jobs), sys.stderr, sys.stderr.isatty() and not args.json and len(jobs) >= PROGRESS_THRESHOLD
    )
    reports: list[Report] = []
    failed = input_errors = 0

    def emit(report: Report) -> None:
        nonlocal failed, input_errors
        reports.append(report)
        progress.clear()
        if not report.ok:
            failed += 1
            input_errors += report.input_error
            print(f"brevane: {report.path}: {report.error}", file=sys.stderr)
        elif report.stdout_bytes is not None:
            sys.stdout.flush()
            sys.stdout.buffer.write(report.stdout_bytes)
            sys.stdout.buffer.flush()
        elif not args.json and not args.quiet:
            print(f"{report.path}: {report.text}")
        progress.advance()
        if on_report is not None:
            on_report(report)

    for error in found.errors:
        emit(Report(error.path, False, error=error.message, input_error=True))
    walk_errors = len(found.errors)

    # Written pages are reported once they are durable and in place.
    writer = BatchWriter()
    pending: list[Done] = []

    def commit() -> None:
        failures = writer.commit()
        for done in pending:
            failure = failures.get(id(done))
            if failure is not None:
                destination = done.files[0][0]
                why = failure.strerror or str(failure)
                done.report = Report(
                    done.report.path, False, error=f"cannot write {display(destination)}: {why}", input_error=True
                )
            emit(done.report)
        pending.clear()

    mirrored = {"linked": 0, "copied": 0, "unchanged": 0}
    try:
        for done in _execute(batch, jobs, workers):
            if done.job is not None:
                _stage(writer, done)
            pending.append(done)
            if not writer.groups or len(writer.groups) >= COMMIT_PAGES or writer.size >= COMMIT_BYTES:
                commit()
        commit()
        staged: dict[object, tuple[Path, Path, str]] = {}
        for source, target in others:
            try:
                how = writer.stage_copy(target, source, target, os.path.realpath(args.output))
                mirrored[how] += 1
                staged[target] = (source, target, how)
            except OSError as exc:
                reason = exc.strerror if exc.filename is None else f"cannot copy to {display(target)}: {exc.strerror}"
                emit(Report(display(source), False, error=reason or str(exc), input_error=True))
        for key, failure in writer.commit().items():
            source, target, how = staged[key]
            mirrored[how] -= 1
            why = failure.strerror or str(failure)
            emit(Report(display(source), False, error=f"cannot copy to {display(target)}: {why}", input_error=True))
    except BaseException:
        writer.discard()
        raise
    progress.clear()

    if command.finish is not None:
        try:
            command.finish(settings, reports)
        except (UsageError, OSError) as exc:
            print(f"brevane: {exc}", file=sys.stderr)
            return EXIT_USAGE
    line = summary(reports[walk_errors:])
    if walk_errors:
        line += f"; {walk_errors:,} input error{'s' if walk_errors != 1 else ''}"
    if others:
        line += f"; other files: {mirrored['linked']:,} hard-linked, {mirrored['copied']:,} copied, " \
            f"{mirrored['unchanged']:,} unchanged"
    if args.json:
        document = {
            "schema": JSON_SCHEMA,
            "command": args.command,
            "files": [
                {"path": r.path, "ok": r.ok, **({"error": r.error} if r.error else {}), **r.data}
                for r in reports
            ],
            "failed": failed,
            "summary": line,
            **({"other_files": mirrored} if others else {}),
        }
        json.dump(document, sys.stdout, indent=2)
        sys.stdout.write("\n")
    elif (len(reports) > 1 or others) and not args.quiet:  # one page says it all already
        sys.stdout.flush()  # after the pages' lines, also when both streams go to one file
        print(line, file=sys.stderr)
    if input_errors:
        return EXIT_USAGE
    return EXIT_FAILED if failed else EXIT_OK


def _stage(writer: BatchWriter, done: Done) -> None:
    """Write a page's files to temporary files; its report says where, or why not."""
    assert done.job is not None
    page = done.job.page
    destination = done.files[0][0]
    try:
        written = writer.stage(
            id(done), done.files, mode_from=page.path, in_tree=done.job.out_tree, in_place=done.job.out_tree is None
        )
    except OSError as exc:
        why = exc.strerror or str(exc)
        error = why if exc.filename is None and why.startswith(display(destination)) else \
            f"cannot write {display(destination)}: {why}"
        done.report = Report(done.report.path, False, error=error, input_error=True)
        return
    done.report.data["output"] = display(destination)
    done.report.data["written"] = written
    done.report.text += f" -> {display(destination)}" if written else " (unchanged, not written)"


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
