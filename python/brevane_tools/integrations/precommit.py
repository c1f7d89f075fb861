"""`brevane-precommit`: the pre-commit hook `brevane-check`.

Fails when a signed page no longer matches the binding it was signed with
(someone edited it after signing), naming the file. It is meant to run on every
commit, so by default it never calls the C2PA SDK: it reads the
`c2pa.hash.data` binding out of the Manifest Store itself
(`brevane_tools.store_reader`) and lets the module verify it. `--sdk` runs the
full check (signature, certificates, trust) instead.

Where the store is:
- inline: in the page's `script` element;
- referenced: where the `link` element's href leads, by the one rule of
  `brevane_tools.store_location`, the repository being the site (or
  --site-root): a store outside it is refused, never read. A store on another
  host (http:, https: or "//") is not fetched: the page is reported as
  skipped, and passes, since a commit hook must not depend on the network;
- no element (the header form): `PAGE.c2pa` beside the page, or with
  --store-dir, that directory's file for the page's path below the site root,
  by the same rule as `brevane check` (`store_location.lookup`).

A page without a manifest passes unless --require-signed is given. Exit
status: 0 all pages pass, 1 some page failed, 2 usage error. Nothing is ever
written.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path
from typing import Optional, Sequence

from brevane_tools import store_location
from brevane_tools.checking import binding_verdict, check_page, whole_page_verdict
from brevane_tools.errors import EXIT_FAILED, EXIT_OK, UsageError, run_error
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE, DEFAULT_MAX_STORE_SIZE
from brevane_tools.files.reading import read_option_file, read_page
from brevane_tools.sdk import load as load_sdk
from brevane_tools.store_reader import StoreError, read_data_hash
from brevane_tools.text import display, escape, one_line


class _Skip(Exception):
    """The page cannot be checked here, by design (its store is remote)."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brevane-precommit",
        description="Fail when a signed HTML page no longer matches its C2PA data hash binding.",
        epilog="exit status: 0 all pages pass, 1 some page failed, 2 usage error",
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="pages to check (pre-commit passes them)")
    parser.add_argument("--require-signed", action="store_true", help="a page without a manifest fails")
    parser.add_argument(
        "--sdk", action="store_true",
        help="validate with the C2PA SDK too (signature, certificates): slower, needs brevane[c2pa]",
    )
    parser.add_argument("--trust-anchors", metavar="FILE", help="with --sdk: PEM root certificates to trust")
    parser.add_argument(
        "--site-root", metavar="DIR",
        help="the site's root: where hrefs starting with '/' lead, and what a store must lie under "
        "(default: the repository's top directory, else the current one)",
    )
    parser.add_argument(
        "--store-dir", metavar="DIR",
        help="where the stores of pages without a manifest element lie (the header form), mirroring the "
        "pages' paths below the site root (default: PAGE.c2pa beside each page)",
    )
    return parser


def repository_root() -> Path:
    """The top directory of the git repository around the current directory, else the current directory."""
    try:
        done = subprocess.run(
            ["git", "rev-parse", "--show-toplevel"], capture_output=True, check=False, timeout=30
        )
    except (OSError, subprocess.TimeoutExpired):
        return Path.cwd()
    top = done.stdout.rstrip(b"\n")
    return Path(os.fsdecode(top)) if done.returncode == 0 and top else Path.cwd()


def check_file(
    path: Path, *, require_signed: bool, site_root: Path, sdk: bool, trust_anchors: Optional[bytes],
    store_dir: Optional[Path] = None,
) -> None:
    """Raises ValueError when the page fails, saying why, and _Skip when it cannot be checked here."""
    try:
        html = read_page(path, DEFAULT_MAX_PAGE_SIZE)  # the check command's limits
    except OSError as exc:
        raise ValueError(f"cannot read it: {exc.strerror or exc}") from None
    found = store_location.lookup(html, path, store_location.Site(site_root), DEFAULT_MAX_STORE_SIZE,
                                   store_dir=store_dir)
    if found is None:
        if require_signed:
            raise ValueError("not signed: no C2PA manifest element in the head")
        return
    if found.store is None:
        raise _Skip(f"its store is on another host ({escape(found.location or '')}) and is not fetched")
    if sdk:
        result = check_page(html, found.store, trust_anchors=trust_anchors)
        if not result.ok:
            raise ValueError(f"{result.state}: {', '.join(result.codes)} (brevane: {result.verdict})")
        return
    try:
        binding = read_data_hash(found.store)
    except StoreError as exc:
        raise ValueError(f"unreadable Manifest Store: {exc}") from None
    if found.source in ("beside", "store-dir"):  # the binding covers the whole page, as checking's verdict says
        verdict = whole_page_verdict(html, binding.alg, binding.hash, list(binding.exclusions))
    else:
        verdict = binding_verdict(html, binding.hash, list(binding.exclusions), binding.alg)
    if verdict != "match":
        raise ValueError(f"no longer matches its signed binding: {verdict}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.trust_anchors and not args.sdk:
            raise UsageError("--trust-anchors needs --sdk")
        anchors = read_option_file(args.trust_anchors, "trust anchors") if args.trust_anchors else None
        if args.sdk:
            load_sdk()
    except Exception as exc:  # noqa: BLE001 - what stops the hook, said as the command line says it
        status, line = run_error(exc)
        print(f"brevane-precommit: {line}", file=sys.stderr)
        return status
    site_root = Path(args.site_root) if args.site_root else repository_root()
    failed = 0
    for name in args.files:
        shown = display(name)
        try:
            check_file(
                Path(name), require_signed=args.require_signed, site_root=site_root, sdk=args.sdk,
                trust_anchors=anchors, store_dir=Path(args.store_dir) if args.store_dir else None,
            )
        except _Skip as exc:
            print(f"{shown}: skipped: {exc}")
        except Exception as exc:  # noqa: BLE001 - one page never stops the hook
            failed += 1
            print(f"{shown}: {one_line(str(exc))}")
    if failed:
        print(f"brevane-check: {failed} of {len(args.files)} page{'s' if len(args.files) != 1 else ''} failed")
    return EXIT_FAILED if failed else EXIT_OK


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
