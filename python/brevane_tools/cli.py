"""The `brevane` command-line tool: its arguments and its output; the running is `brevane_tools.runner`'s.

Exit codes: 0 when every file went well; 1 when some file failed (a check did
not pass, or the module refused the file: the reason is one line on standard
error with the file name and the module's message, status code included);
2 for a usage or input error, one line each (bad arguments, a path that does
not exist, a file or directory that cannot be read or written, a link or file
the tool refuses, object storage or a cluster that cannot be reached); 3 when
the tool itself failed (an internal error: on a page, the rest of the batch
still ran; --debug shows the traceback). A file that fails is never changed.
`main` is the one place where an error that stops a run becomes its exit
status, by the table of `brevane_tools.errors`.

Everything printed for people has its control characters escaped (see
`brevane_tools.text`); --json output carries the exact texts.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn, Optional, TextIO

import brevane

from brevane_tools import commands
from brevane_tools.commands.base import Command, Report, UsageError, count, parse_size
from brevane_tools.errors import EXIT_FAILED, EXIT_OK, EXIT_USAGE, run_error
from brevane_tools.files import objects
from brevane_tools.files.temporaries import temporaries_removed_on_signals
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE, HTML_SUFFIXES
from brevane_tools.results import JSON_SCHEMA, Document, Spool, Tally
from brevane_tools.text import display, escape, one_line

__all__ = ["EXIT_FAILED", "EXIT_OK", "EXIT_USAGE", "JSON_SCHEMA", "build_parser", "main"]

#: Batches at least this long get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD = 8


class Progress:
    """A one-line bar on a terminal, with the pages done, their rate and the time left; silent anywhere else.

    It counts pages only (not the links and other files of a mirror), and redraws at most ten times a second."""

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total, self.done, self.stream, self.enabled = total, 0, stream, enabled
        self.started = self.drawn = time.monotonic()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def advance(self) -> None:
        self.done += 1
        if self.enabled:
            self.draw()

    def draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (now - self.drawn < 0.1 and self.done < self.total and not force):
            return
        self.drawn = now
        width = 30
        filled = width * self.done // max(self.total, 1)
        line = f"\r[{'#' * filled}{' ' * (width - filled)}] {self.done:,}/{self.total:,} pages"
        elapsed = now - self.started
        if self.done and elapsed > 0:
            rate = self.done / elapsed
            left = round((self.total - self.done) / rate)
            line += f", {rate:,.0f}/s, ETA {left // 3600}:{left // 60 % 60:02}:{left % 60:02}"
        self.stream.write(line + "\033[K")
        self.stream.flush()


def _extensions(text: str) -> tuple[str, ...]:
    found = tuple("." + e.strip().lstrip(".") for e in text.split(",") if e.strip().lstrip("."))
    if not found:
        raise argparse.ArgumentTypeError(f"expected extensions such as html,htm: {text!r}")
    return found


def _hash_alg(text: str) -> str:
    """A binding's hash algorithm, checked once for the whole run, in the module's own words."""
    try:
        brevane.inline_hash_before_embed(b"<head></head>", text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


class _Parser(argparse.ArgumentParser):
    """argparse, with a usage error said in one line as every other input error is (--help shows the usage)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {one_line(message)}\n")


def build_parser(only: Optional[str] = None, *, flags: bool = True, alone: bool = False) -> argparse.ArgumentParser:
    """The tool's parser; with `only`, a command's own flags are made for that command alone
    (the others are listed with their help, unless `alone`: a run of that command needs no other);
    without `flags`, no command's (for the tool's own help, and a word that names no command)."""
    parser = _Parser(
        prog="brevane",
        description="Find, embed, remove, hash, sign and check C2PA manifests in HTML pages, "
        "byte for byte.",
        epilog="exit status: 0 all good, 1 some file failed, 2 usage or input error, 3 internal error",
    )
    parser.add_argument("--version", action="version", version=f"brevane {brevane.__version__}")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for entry in commands.COMMANDS:
        if alone and entry.name != only:
            continue
        text = commands.summary(entry.name)
        sub = subparsers.add_parser(entry.name, help=text, description=text)
        if not flags or (only is not None and entry.name != only):
            continue
        command = commands.named(entry.name)
        assert command is not None
        if command.drive is None:  # a command that runs itself takes its own flags only
            _batch_arguments(sub, command)
        command.add_arguments(sub)
    return parser


#: What -o names, for a command that edits pages and for one that writes stores.
_OUTPUT_HELP = {
    "edit": "output file ('-' for standard output), or directory: the whole tree is mirrored there, "
    "other files hard-linked (or copied across file systems)",
    "store": "file ('-' for standard output), or directory for several pages, for the store",
}


def _batch_arguments(sub: argparse.ArgumentParser, command: Command[Any]) -> None:
    """The flags of a command the runner drives over a batch of pages."""
    sub.add_argument(
        "paths", nargs="+", metavar="PATH",
        help="pages, or directories to search for pages" + (", or http/https URLs" if command.urls else "")
        + "; or objects and prefixes in object storage (s3://BUCKET/SITE, gs://, az://, memory://, file://)",
    )
    sub.add_argument("--jobs", "-j", type=int, default=1, metavar="N", help="worker processes (0: one per CPU)")
    sub.add_argument(
        "--dask", type=_dask_address, metavar="ADDRESS",
        help="run on a Dask cluster: tcp://HOST:PORT (a running scheduler), or local:N (N worker processes here)",
    )
    sub.add_argument("--task-pages", type=count(1), default=None, metavar="N", help="pages per Dask task (default 200)")
    sub.add_argument(
        "--storage-options", metavar="JSON",
        help="fsspec options for object URLs, e.g. '{\"client_kwargs\": {\"endpoint_url\": \"http://host:9000\"}}'; "
        "credentials come from each store's own environment",
    )
    sub.add_argument("--json", action="store_true", help="one JSON document on standard output")
    sub.add_argument("--quiet", "-q", action="store_true", help="report failures only")
    sub.add_argument("--debug", action="store_true", help="show the traceback of an internal error, and "
                     "what a failing signer command said")
    sub.add_argument(
        "--extensions", type=_extensions, default=HTML_SUFFIXES, metavar="LIST",
        help=f"file name extensions of pages in directories (default {','.join(s.lstrip('.') for s in HTML_SUFFIXES)})",
    )
    sub.add_argument(
        "--exclude", action="append", default=[], metavar="GLOB",
        help="leave pages alone that match (repeatable): a glob with '/' matches the path below the "
        "directory argument, one without matches the file name at any depth",
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
        sub.add_argument("--alg", default="sha256", type=_hash_alg, help="sha256 (default), sha384 or sha512")
    if command.output not in _OUTPUT_HELP:
        return
    out = sub.add_mutually_exclusive_group(required=True) if command.output == "edit" else sub
    out.add_argument("-o", "--output", metavar="PATH", help=_OUTPUT_HELP[command.output])
    if command.output == "edit":
        out.add_argument("--in-place", action="store_true", help="replace each page atomically")
        sub.add_argument(
            "--delete", action="store_true",
            help="with -o DIR: remove from the output what is no longer in the source (as rsync's --delete), "
            "never outside the output",
        )


def main(
    argv: Optional[Sequence[str]] = None, *, on_report: Optional[Callable[[Report], None]] = None
) -> int:
    """Run the tool; `on_report` is called in this process for each page as it finishes."""
    words = sys.argv[1:] if argv is None else list(argv)
    try:
        return _main(words, on_report)
    except BrokenPipeError:
        # The reader went away (`brevane check site | head`): stop quietly, as
        # other filters do, and keep Python from complaining again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        # Ctrl-C: the run has unwound (temporary files removed, workers ended); say so in a line,
        # with the status a shell gives a process that SIGINT ended.
        print("brevane: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Exception as exc:  # noqa: BLE001 - the one place a run's error becomes its exit status
        status, line = run_error(exc)
        if status != EXIT_USAGE and "--debug" in words:
            sys.excepthook(type(exc), exc, exc.__traceback__)  # the interpreter's own report
        else:
            print(f"brevane: {line}", file=sys.stderr)
        return status


def _main(words: list[str], on_report: Optional[Callable[[Report], None]]) -> int:
    named = next((w for w in words if not w.startswith("-")), None)
    known = commands.known(named or "")
    # A command named first runs alone; a word before it (the tool's own help, say) may need them all.
    args = build_parser(named if known else None, flags=known, alone=known and words[0] == named).parse_args(words)
    # The runner loads once the arguments are good: `brevane --help` stays quick.
    from brevane_tools.runner import Plan, plan, run_batch

    command = commands.named(args.command)
    assert command is not None
    if command.drive is not None:
        return command.drive(command.prepare(args), on_report)
    if args.jobs < 0:
        raise UsageError("--jobs must not be negative")
    if args.dask and args.jobs != 1:
        raise UsageError("--dask runs the pages on the cluster's workers: give --jobs or --dask, not both")
    _objects(args)
    settings = command.prepare(args)
    run = Plan(
        command, settings, args.paths, output=getattr(args, "output", None),
        in_place=getattr(args, "in_place", False), json=args.json, extensions=args.extensions,
        follow_outside=args.follow_outside, max_page_size=args.max_page_size, debug=args.debug,
        site_root=Path(args.site_root) if getattr(args, "site_root", None) else None,
        workers=args.jobs or os.cpu_count() or 1, exclude=tuple(args.exclude), storage=args.storage, dask=args.dask,
        task_pages=args.task_pages, delete=getattr(args, "delete", False),
    )
    planned = plan(run)
    output = _Output(args, len(planned.jobs), on_report, len(planned.found.errors), command.done,
                     keep=command.finish is not None)
    with temporaries_removed_on_signals():
        mirrored = run_batch(run, planned, output.emit)
    output.progress.clear()
    if command.finish is not None:
        command.finish(settings, output.reports)
    mirror = planned.others or planned.links or planned.copies or run.delete
    output.close(mirrored.as_dict() if mirror else None, mirrored.leftovers)
    output.reports.close()
    return output.all.exit_code()


def _dask_address(text: str) -> str:
    from brevane_tools.cluster import address

    return address(text)


def _objects(args: argparse.Namespace) -> None:
    """file:// URLs as the local paths they are, and the storage options read once, as `args.storage` (for
    the command's `prepare` too); UsageError."""
    args.paths = [objects.local_path(p) for p in args.paths]
    if getattr(args, "output", None) not in (None, "-"):
        args.output = objects.local_path(args.output)
    args.storage = objects.Storage.parse(args.storage_options) if args.storage_options is not None else None


class _Output:
    """What people (or --json readers) see of a batch: a line per page, then a summary."""

    def __init__(self, args: argparse.Namespace, total: int, on_report: Optional[Callable[[Report], None]],
                 walk_errors: int = 0, done: str = "ok", keep: bool = False) -> None:
        self.args = args
        #: The pages' tally (the walk's errors and a mirror's other entries apart); the reports themselves
        #: go to disk, and only when the JSON document or the command's `finish` reads them back.
        self.tally, self.count = Tally(done), 0
        self.lost = self.copied = 0
        self.copied_how = ""
        self.reports: Spool[Report] = Spool()
        self.keep = args.json or keep
        self.all = Tally()  # every report, for the exit status
        self.on_report = on_report
        # On standard error, so also while --json (or --report) output goes elsewhere; -q silences it.
        enabled = sys.stderr.isatty() and not args.quiet and total >= PROGRESS_THRESHOLD
        self.progress = Progress(total, sys.stderr, enabled)
        #: The walk's errors come first; they, the excluded pages and a mirror's other entries are no pages run.
        self.walk_errors = walk_errors

    def emit(self, report: Report) -> None:
        if self.keep:
            self.reports.append(report)
        self.all.add(report)
        self.count += 1
        said = self._say(report)
        if self.count > self.walk_errors and "mirrored" not in report.data:
            self.tally.add(report)
            if not report.data.get("excluded"):
                self.progress.done += 1
        self.lost += bool(report.data.get("lost"))
        if not report.ok and "copied" in report.data:
            self.copied += 1
            self.copied_how = report.data["copied"]
        self.progress.draw(force=said)
        if self.on_report is not None:
            self.on_report(report)

    def _say(self, report: Report) -> bool:
        """Print what people see of a report (the bar cleared first); whether anything was printed."""
        quiet = self.args.json or (self.args.quiet and "warning" not in report.data)  # -q keeps warnings
        if report.ok and report.stdout_bytes is None and quiet:
            return False
        self.progress.clear()
        if not report.ok:
            print(f"brevane: {report.path}: {one_line(report.error or '')}", file=sys.stderr)
            if report.detail and self.args.debug:
                for line in report.detail.splitlines():  # a traceback quotes what the page said
                    print(escape(line), file=sys.stderr)
        elif report.stdout_bytes is not None:
            sys.stdout.flush()
            sys.stdout.buffer.write(report.stdout_bytes)
            sys.stdout.buffer.flush()
        elif "warning" in report.data:  # a link a mirror kept as it is: not a failure, still worth a line
            print(f"brevane: {report.path}: warning: {escape(report.text)}", file=sys.stderr)
        else:
            text = report.text if report.multiline else escape(report.text)
            print(f"{report.path}: {text}")
        return True

    def close(self, other_files: Optional[dict[str, int]], leftovers: int = 0) -> None:
        line = self.tally.line()
        if self.walk_errors:
            line += f"; {self.walk_errors:,} input error{'s' if self.walk_errors != 1 else ''}"
        if self.copied:
            line += f"; {self.copied:,} failed page{'s' if self.copied != 1 else ''} copied {self.copied_how} " \
                "to the output"
        if self.lost:
            again = "run again with --skip-valid" if self.args.command == "sign" else "run again"
            line += f"; {self.lost:,} page{'s' if self.lost != 1 else ''} lost with " \
                f"{'its' if self.lost == 1 else 'their'} worker: {again} to finish what is left"
        if other_files is not None:
            line += f"; other files: {other_files['linked']:,} hard-linked, {other_files['copied']:,} copied, " \
                f"{other_files['unchanged']:,} unchanged"
            if other_files["failed"]:
                line += f", {other_files['failed']:,} failed"
            if "deleted" in other_files:
                line += f", {other_files['deleted']:,} deleted (no longer in the source)"
            if other_files["symlinks"]:
                kinds = [f"{other_files[key]:,} {name}" for key, name in
                         (("dangling", "dangling"), ("outside", "out of the tree")) if other_files[key]]
                line += f"; {other_files['symlinks']:,} symbolic link{'s' if other_files['symlinks'] != 1 else ''}" + \
                    (f" ({', '.join(kinds)})" if kinds else "")
        if leftovers:
            line += f"; {leftovers:,} temporary file{'s' if leftovers != 1 else ''} of killed runs removed"
        if self.args.json:  # its entries read back one at a time
            document = Document(self.args.command, sys.stdout)
            for report in self.reports:
                document.add(report)
            document.close({
                "failed": self.all.failed, "summary": line,
                **({"other_files": other_files} if other_files is not None else {}),
                **({"leftovers_removed": leftovers} if leftovers else {}),
            })
        if (self.count > 1 or other_files is not None or leftovers) and not self.args.quiet:
            # (one page's line says it all already)
            sys.stdout.flush()  # after the pages' lines, also when both streams go to one file
            print(line, file=sys.stderr)


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
