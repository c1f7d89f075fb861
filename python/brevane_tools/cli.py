"""The `brevane` command-line tool: the module's operations over many pages.

Exit codes: 0 when every file went well; 1 when some file failed (a check did
not pass, or the module refused the file: the reason is one line on standard
error with the file name and the module's message, status code included);
2 for a usage or input error (bad arguments, a path that does not exist, a
file that cannot be read). A file that fails is never changed.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Optional, TextIO

import brevane

# Each module registers its commands on import, in the order of the help text.
from brevane_tools import check_command, page_commands, sign_command  # noqa: F401
from brevane_tools.command import COMMANDS, Page, PageFailed, Report, UsageError
from brevane_tools.files import InputFile, atomic_write, find_pages
from brevane_tools.signing import SdkUnavailableError

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

#: The version of the --json document's layout (docs/json.md); raised when a field changes meaning.
JSON_SCHEMA = 1

#: Batches at least this long get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD = 8

_ORDER = ("locate", "extract", "remove", "embed", "reference", "hash", "predict", "verify", "sign", "check")


@dataclass(frozen=True)
class Job:
    command: str
    settings: Any
    page: Page
    to_stdout: bool = False


def run_job(job: Job) -> Report:
    """Run one command on one page; never raises for a problem of that page."""
    page = job.page
    name = page.name
    if page.html is None and page.path is not None:
        try:
            page = replace(page, html=page.path.read_bytes())
        except OSError as exc:
            return Report(name, False, error=exc.strerror or str(exc), input_error=True)
    command = COMMANDS[job.command]
    try:
        outcome = command.run(page, job.settings)
    except PageFailed as exc:
        return Report(name, False, error=str(exc), data=exc.data)
    except SdkUnavailableError as exc:
        return Report(name, False, error=str(exc), input_error=True)
    except ValueError as exc:
        return Report(name, False, error=str(exc))
    report = Report(name, True, text=outcome.text, data=outcome.data)
    output = outcome.page if command.output == "edit" else outcome.store
    if output is not None:
        if job.to_stdout:
            report.stdout_bytes = output
        elif page.destination is not None:
            destination = page.destination
            try:
                destination.parent.mkdir(parents=True, exist_ok=True)
                atomic_write(destination, output, mode_from=page.path)
                for path, data in outcome.files:
                    path.parent.mkdir(parents=True, exist_ok=True)
                    atomic_write(path, data)
            except OSError as exc:
                return Report(name, False, error=f"cannot write {destination}: {exc}", input_error=True)
            report.data["output"] = str(destination)
            report.text += f" -> {destination}"
    return report


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
    for name in names:
        command = COMMANDS[name]
        sub = subparsers.add_parser(name, help=command.help, description=command.help)
        sub.add_argument(
            "paths", nargs="+", metavar="PATH", help="pages, or directories to search for *.html and *.htm"
        )
        sub.add_argument("--jobs", "-j", type=int, default=1, metavar="N", help="worker processes (0: one per CPU)")
        sub.add_argument("--json", action="store_true", help="one JSON document on standard output")
        sub.add_argument("--quiet", "-q", action="store_true", help="report failures only")
        if command.hash_alg:
            sub.add_argument("--alg", default="sha256", help="sha256 (default), sha384 or sha512")
        if command.output == "edit":
            out = sub.add_mutually_exclusive_group(required=True)
            out.add_argument(
                "-o", "--output", metavar="PATH",
                help="output file ('-' for standard output), or directory for several pages",
            )
            out.add_argument("--in-place", action="store_true", help="replace each page atomically")
        elif command.output == "store":
            sub.add_argument(
                "-o", "--output", metavar="PATH", help="file (or directory, for several pages) for the store"
            )
        command.add_arguments(sub)
    return parser


def _jobs(args: argparse.Namespace, settings: Any, pages: list[InputFile]) -> list[Job]:
    output: Optional[str] = getattr(args, "output", None)
    in_place: bool = getattr(args, "in_place", False)

    def job(page: InputFile, destination: Optional[Path] = None, to_stdout: bool = False) -> Job:
        found = Page(str(page.path), None, path=page.path, relative=page.relative, destination=destination)
        return Job(args.command, settings, found, to_stdout)

    if in_place:
        return [job(p, p.path) for p in pages]
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
        return [job(pages[0], Path(output))]
    suffix = ".c2pa" if args.command == "extract" else ""
    jobs: list[Job] = []
    seen: dict[Path, Path] = {}
    for page in pages:
        destination = Path(output) / (str(page.relative) + suffix)
        if destination in seen:
            raise UsageError(f"{page.path} and {seen[destination]} would both be written to {destination}")
        seen[destination] = page.path
        jobs.append(job(page, destination))
    return jobs


def _execute(jobs: list[Job], workers: int) -> Iterator[Report]:
    if workers <= 1 or len(jobs) <= 1:
        yield from map(run_job, jobs)
        return
    chunk = max(1, len(jobs) // (workers * 8))
    # fork() from a process that runs threads (an embedding application, a test
    # runner, the C2PA SDK) can deadlock the child; a fork server starts workers
    # from a clean single-threaded process instead.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        yield from pool.map(run_job, jobs, chunksize=chunk)


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
        pages = list(find_pages(paths))
        jobs = [Job(args.command, settings, Page(url, None, url=url)) for url in urls]
        jobs += _jobs(args, settings, pages)
    except (UsageError, FileNotFoundError) as exc:
        print(f"brevane: {exc}", file=sys.stderr)
        return EXIT_USAGE
    if args.jobs < 0:
        print("brevane: --jobs must not be negative", file=sys.stderr)
        return EXIT_USAGE
    workers = args.jobs or os.cpu_count() or 1

    progress = Progress(
        len(jobs), sys.stderr, sys.stderr.isatty() and not args.json and len(jobs) >= PROGRESS_THRESHOLD
    )
    reports: list[Report] = []
    failed = input_errors = 0
    for report in _execute(jobs, workers):
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
    progress.clear()

    if command.finish is not None:
        try:
            command.finish(settings, reports)
        except (UsageError, OSError) as exc:
            print(f"brevane: {exc}", file=sys.stderr)
            return EXIT_USAGE
    if args.json:
        document = {
            "schema": JSON_SCHEMA,
            "command": args.command,
            "files": [
                {"path": r.path, "ok": r.ok, **({"error": r.error} if r.error else {}), **r.data}
                for r in reports
            ],
            "failed": failed,
            "summary": summary(reports),
        }
        json.dump(document, sys.stdout, indent=2)
        sys.stdout.write("\n")
    elif len(reports) > 1 and not args.quiet:
        print(summary(reports), file=sys.stderr)
    if input_errors:
        return EXIT_USAGE
    return EXIT_FAILED if failed else EXIT_OK


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
