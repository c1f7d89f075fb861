"""The `brevane` command-line tool: the module's operations over many pages.

Exit codes: 0 when every file went well; 1 when some file failed (a check did
not pass, or the module refused the file: the reason is one line on standard
error with the file name and the module's message, status code included);
2 for a usage or input error (bad arguments, a path that does not exist, a
file that cannot be read). A file that fails is never changed.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import multiprocessing
import os
import sys
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Optional, TextIO

import brevane

from brevane_tools import signing
from brevane_tools.files import InputFile, atomic_write, find_pages

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

#: Batches at least this long get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD = 8

EDIT_COMMANDS = ("remove", "embed", "reference", "sign")


class UsageError(Exception):
    """Bad arguments or unreadable option files: exit status 2."""


@dataclass(frozen=True)
class Options:
    """Everything a worker needs for one command; picklable for the process pool."""

    command: str
    alg: str = "sha256"
    store: Optional[bytes] = None
    href: Optional[str] = None
    expected_hash: bytes = b""
    exclusions: tuple[tuple[int, int], ...] = ()
    manifest: Optional[str] = None
    key: Optional[signing.SigningKey] = None
    trust_anchors: Optional[bytes] = None


@dataclass(frozen=True)
class Job:
    source: Path
    options: Options
    destination: Optional[Path] = None  # where an edit or an extracted store goes
    to_stdout: bool = False


@dataclass
class Report:
    path: str
    ok: bool
    text: str = ""
    error: Optional[str] = None
    input_error: bool = False
    data: dict[str, Any] = field(default_factory=dict)
    stdout_bytes: Optional[bytes] = None


# One signer per process and key: making one parses the key and certificates.
_SIGNERS: dict[signing.SigningKey, Any] = {}


def _signer(key: signing.SigningKey) -> Any:
    if key not in _SIGNERS:
        _SIGNERS[key] = key.signer()
    return _SIGNERS[key]


def _ranges(ranges: Sequence[tuple[int, int]]) -> str:
    return ", ".join(f"{start}:{length}" for start, length in ranges) or "none"


# Each operation takes the page and returns (edited page or store to write,
# human text, JSON data); it raises ValueError for a file that fails.
Operation = Callable[[bytes, Options], "tuple[Optional[bytes], str, dict[str, Any]]"]


def _op_locate(html: bytes, _: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    ranges = brevane.locate_all(html)
    return None, _ranges(ranges), {"ranges": [list(r) for r in ranges]}


def _op_extract(html: bytes, _: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    association = brevane.extract(html)
    if association is None:
        # The module's message for a page without a manifest, raised its own way.
        brevane.compute_data_hash(html)
        raise AssertionError("unreachable")  # pragma: no cover
    data: dict[str, Any] = {
        "kind": association["kind"],
        "start": association["start"],
        "length": association["length"],
    }
    if association["kind"] == "embedded":
        store = association["store"]
        data["store_size"] = len(store)
        data["store_sha256"] = hashlib.sha256(store).hexdigest()
        text = (
            f"embedded at {association['start']}:{association['length']}, "
            f"store {len(store)} bytes, sha256 {data['store_sha256']}"
        )
        return store, text, data
    data["href"] = association["href"]
    text = f"referenced at {association['start']}:{association['length']}, href {association['href']}"
    return None, text, data


def _op_remove(html: bytes, _: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    count = len(brevane.locate_all(html))
    return brevane.remove(html), f"removed {count} element(s)", {"removed": count}


def _op_embed(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    assert options.store is not None
    page = brevane.embed(html, options.store)
    located = brevane.locate_all(page)
    text = f"embedded a {len(options.store)}-byte store at {_ranges(located)}"
    return page, text, {"ranges": [list(r) for r in located]}


def _op_reference(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    assert options.href is not None
    page = brevane.embed_reference(html, options.href)
    return page, f"referenced {options.href}", {"href": options.href}


def _op_hash(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    binding = brevane.compute_data_hash(html, options.alg)
    digest = binding["hash"].hex()
    text = f"{binding['alg']} {digest} exclusions {_ranges(binding['exclusions'])}"
    data = {
        "alg": binding["alg"],
        "hash": digest,
        "exclusions": [list(r) for r in binding["exclusions"]],
    }
    return None, text, data


def _op_predict(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    digest = brevane.inline_hash_before_embed(html, options.alg).hex()
    return None, f"{options.alg} {digest}", {"alg": options.alg, "hash": digest}


def _op_verify(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    brevane.verify_data_hash(html, options.expected_hash, list(options.exclusions), options.alg)
    return None, "match", {"verdict": "match"}


def _op_sign(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    assert options.key is not None and options.manifest is not None
    page = signing.sign_page(html, options.manifest, _signer(options.key), options.alg)
    (start, length), = brevane.locate_all(page)
    return page, f"signed, manifest element at {start}:{length}", {"start": start, "length": length}


def _op_check(html: bytes, options: Options) -> tuple[Optional[bytes], str, dict[str, Any]]:
    result = signing.check_page(html, options.store, trust_anchors=options.trust_anchors)
    text = f"{result.state} ({', '.join(result.codes) or 'no status codes'}; brevane: {result.verdict})"
    if not result.ok:
        raise CheckFailed(text, result.as_dict())
    return None, text, result.as_dict()


class CheckFailed(ValueError):
    def __init__(self, text: str, data: dict[str, Any]) -> None:
        super().__init__(text)
        self.data = data


OPERATIONS: dict[str, Operation] = {
    "locate": _op_locate,
    "extract": _op_extract,
    "remove": _op_remove,
    "embed": _op_embed,
    "reference": _op_reference,
    "hash": _op_hash,
    "predict": _op_predict,
    "verify": _op_verify,
    "sign": _op_sign,
    "check": _op_check,
}


def run_job(job: Job) -> Report:
    """Run one command on one file; never raises for a problem of that file."""
    name = str(job.source)
    try:
        html = job.source.read_bytes()
    except OSError as exc:
        return Report(name, False, error=exc.strerror or str(exc), input_error=True)
    try:
        output, text, data = OPERATIONS[job.options.command](html, job.options)
    except CheckFailed as exc:
        return Report(name, False, error=str(exc), data=exc.data)
    except signing.SdkUnavailableError as exc:
        return Report(name, False, error=str(exc), input_error=True)
    except ValueError as exc:
        return Report(name, False, error=str(exc))
    report = Report(name, True, text=text, data=data)
    if output is not None:
        if job.to_stdout:
            report.stdout_bytes = output
        elif job.destination is not None:
            try:
                job.destination.parent.mkdir(parents=True, exist_ok=True)
                atomic_write(job.destination, output, mode_from=job.source)
            except OSError as exc:
                return Report(name, False, error=f"cannot write {job.destination}: {exc}", input_error=True)
            report.data["output"] = str(job.destination)
            report.text += f" -> {job.destination}"
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


def _parse_exclusion(text: str) -> tuple[int, int]:
    start, sep, length = text.partition(":")
    try:
        if not sep:
            raise ValueError
        pair = (int(start), int(length))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected START:LENGTH, got {text!r}") from None
    if pair[0] < 0 or pair[1] < 0:
        raise argparse.ArgumentTypeError(f"START and LENGTH must not be negative: {text!r}")
    return pair


def _parse_hex(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hexadecimal hash: {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brevane",
        description="Find, embed, remove, hash, sign and check C2PA manifests in HTML pages, "
        "byte for byte.",
        epilog="exit status: 0 all good, 1 some file failed, 2 usage or input error",
    )
    parser.add_argument("--version", action="version", version=f"brevane {brevane.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str, *, alg: bool = False, edit: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("paths", nargs="+", metavar="PATH", help="pages, or directories to search for *.html and *.htm")
        sub.add_argument("--jobs", "-j", type=int, default=1, metavar="N", help="worker processes (0: one per CPU)")
        sub.add_argument("--json", action="store_true", help="one JSON document on standard output")
        sub.add_argument("--quiet", "-q", action="store_true", help="report failures only")
        if alg:
            sub.add_argument("--alg", default="sha256", help="sha256 (default), sha384 or sha512")
        if edit:
            out = sub.add_mutually_exclusive_group(required=True)
            out.add_argument("-o", "--output", metavar="PATH", help="output file ('-' for standard output), or directory for several pages")
            out.add_argument("--in-place", action="store_true", help="replace each page atomically")
        return sub

    command("locate", "print the byte range of every manifest element in the head")
    extract = command("extract", "print the manifest association; with -o, write the store")
    extract.add_argument("-o", "--output", metavar="PATH", help="file (or directory, for several pages) for the store")
    command("remove", "remove every manifest element", edit=True)
    embed = command("embed", "embed a Manifest Store inline", edit=True)
    embed.add_argument("--store", required=True, metavar="FILE", help="the Manifest Store to embed")
    reference = command("reference", "reference an external Manifest Store by a link element", edit=True)
    reference.add_argument("--href", required=True, metavar="URL")
    command("hash", "compute the c2pa.hash.data binding of a page that carries its manifest", alg=True)
    command("predict", "the hash that an inline binding will have once a store is embedded", alg=True)
    verify = command("verify", "verify a c2pa.hash.data binding", alg=True)
    verify.add_argument("--hash", required=True, type=_parse_hex, metavar="HEX", dest="expected_hash")
    verify.add_argument("--exclusion", action="append", default=[], type=_parse_exclusion, metavar="START:LENGTH")
    sign = command("sign", "sign pages with a C2PA manifest carried inline", alg=True, edit=True)
    sign.add_argument("--manifest", required=True, metavar="FILE", help="manifest definition (JSON)")
    sign.add_argument("--cert", required=True, metavar="FILE", help="PEM certificate chain, signer first")
    sign.add_argument("--key", required=True, metavar="FILE", help="PEM private key")
    sign.add_argument("--signing-alg", default="es256", help="signature algorithm (default es256)")
    sign.add_argument("--tsa-url", default=None, metavar="URL", help="RFC 3161 time-stamp authority")
    check = command("check", "validate signed pages with the C2PA SDK and with brevane")
    check.add_argument("--store", metavar="FILE", help="the store of pages that reference theirs")
    check.add_argument("--trust-anchors", metavar="FILE", help="PEM root certificates to trust")
    return parser


def _read_option_file(path: str, what: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise UsageError(f"cannot read the {what} {path}: {exc.strerror or exc}") from None


def _options(args: argparse.Namespace) -> Options:
    options = Options(command=args.command, alg=getattr(args, "alg", "sha256"))
    if args.command == "embed":
        options = replace(options, store=_read_option_file(args.store, "store"))
    elif args.command == "reference":
        options = replace(options, href=args.href)
    elif args.command == "verify":
        options = replace(options, expected_hash=args.expected_hash, exclusions=tuple(args.exclusion))
    elif args.command == "sign":
        manifest = _read_option_file(args.manifest, "manifest")
        try:
            text = manifest.decode("utf-8")
            json.loads(text)
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise UsageError(f"the manifest {args.manifest} is not JSON: {exc}") from None
        key = signing.SigningKey(
            _read_option_file(args.cert, "certificate chain"),
            _read_option_file(args.key, "private key"),
            args.signing_alg,
            args.tsa_url,
        )
        options = replace(options, manifest=text, key=key)
    elif args.command == "check":
        if args.store:
            options = replace(options, store=_read_option_file(args.store, "store"))
        if args.trust_anchors:
            options = replace(options, trust_anchors=_read_option_file(args.trust_anchors, "trust anchors"))
    return options


def _jobs(args: argparse.Namespace, options: Options, pages: list[InputFile]) -> list[Job]:
    output: Optional[str] = getattr(args, "output", None)
    in_place: bool = getattr(args, "in_place", False)
    if in_place:
        return [Job(p.path, options, destination=p.path) for p in pages]
    if output is None:
        return [Job(p.path, options) for p in pages]
    single_file = len(pages) == 1 and len(args.paths) == 1 and not Path(args.paths[0]).is_dir()
    if output == "-":
        if args.json:
            raise UsageError("-o - (standard output) cannot be combined with --json")
        if not single_file:
            raise UsageError("-o - (standard output) takes exactly one page")
        return [Job(pages[0].path, options, to_stdout=True)]
    if single_file and not Path(output).is_dir():
        return [Job(pages[0].path, options, destination=Path(output))]
    suffix = ".c2pa" if args.command == "extract" else ""
    jobs: list[Job] = []
    seen: dict[Path, Path] = {}
    for page in pages:
        destination = Path(output) / (str(page.relative) + suffix)
        if destination in seen:
            raise UsageError(f"{page.path} and {seen[destination]} would both be written to {destination}")
        seen[destination] = page.path
        jobs.append(Job(page.path, options, destination=destination))
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        options = _options(args)
        pages = list(find_pages(args.paths))
        jobs = _jobs(args, options, pages)
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
    progress.clear()

    if args.json:
        document = {
            "command": args.command,
            "files": [
                {"path": r.path, "ok": r.ok, **({"error": r.error} if r.error else {}), **r.data}
                for r in reports
            ],
            "failed": failed,
        }
        json.dump(document, sys.stdout, indent=2)
        sys.stdout.write("\n")
    if input_errors:
        return EXIT_USAGE
    return EXIT_FAILED if failed else EXIT_OK


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
