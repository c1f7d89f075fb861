"""`brevane-precommit`: the pre-commit hook `brevane-check`.

Fails when a signed page no longer matches the binding it was signed with
(someone edited it after signing), naming the file. It is meant to run on every
commit, so by default it never calls the C2PA SDK: it reads the
`c2pa.hash.data` binding out of the Manifest Store itself
(`brevane_tools.store_reader`) and lets the module verify it. `--sdk` runs the
full check (signature, certificates, trust) instead.

Where the store is:
- inline: in the page's `script` element;
- referenced: the file that the `link` element's href names, relative to the
  page (an href starting with "/" needs --site-root). A store on another host
  (http:, https: or "//") is not fetched: the page is reported as skipped, and
  passes, since a commit hook must not depend on the network.

A page without a manifest passes unless --require-signed is given. Exit
status: 0 all pages pass, 1 some page failed, 2 usage error. Nothing is ever
written.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Optional, Sequence
from urllib.parse import unquote, urlsplit

import brevane

from brevane_tools.store_reader import StoreError, read_data_hash


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
        "--site-root", metavar="DIR", help="the directory that hrefs starting with '/' are relative to"
    )
    return parser


def store_path(page: Path, href: str, site_root: Optional[Path]) -> Path:
    """The local file that a page's href names; raises _Skip or ValueError."""
    parts = urlsplit(href)
    if parts.netloc or parts.scheme in ("http", "https"):
        raise _Skip(f"its store is on another host ({href}) and is not fetched")
    if parts.scheme:
        raise ValueError(f"cannot resolve the store's href {href!r} (scheme {parts.scheme}:)")
    if parts.fragment:
        raise ValueError(f"the store's href {href!r} points into another file, which is not supported")
    path = unquote(parts.path)
    if not path:
        raise ValueError(f"the store's href {href!r} names no file")
    if path.startswith("/"):
        if site_root is None:
            raise ValueError(f"the store's href {href} is relative to the site root: give --site-root")
        return site_root / path.lstrip("/")
    return page.parent / path


def check_file(
    path: Path, *, require_signed: bool, site_root: Optional[Path], sdk: bool, trust_anchors: Optional[bytes]
) -> str:
    """One page's verdict as text; raises ValueError (fails) or _Skip."""
    try:
        html = path.read_bytes()
    except OSError as exc:
        raise ValueError(f"cannot read it: {exc.strerror or exc}") from None
    association = brevane.extract(html)  # the module's ValueError for malformed or multiple elements
    if association is None:
        if require_signed:
            raise ValueError("not signed: no C2PA manifest element in the head")
        return "not signed"
    if association["kind"] == "embedded":
        store = association["store"]
    else:
        store_file = store_path(path, association["href"], site_root)
        try:
            store = store_file.read_bytes()
        except OSError as exc:
            raise ValueError(f"cannot read its store {store_file}: {exc.strerror or exc}") from None
    if sdk:
        from brevane_tools.checking import check_page

        result = check_page(html, store, trust_anchors=trust_anchors)
        if not result.ok:
            raise ValueError(f"{result.state}: {', '.join(result.codes)} (brevane: {result.verdict})")
        return f"{result.state}, binding matches"
    try:
        binding = read_data_hash(store)
    except StoreError as exc:
        raise ValueError(f"unreadable Manifest Store: {exc}") from None
    try:
        brevane.verify_data_hash(html, binding.hash, list(binding.exclusions), binding.alg)
    except ValueError as exc:
        raise ValueError(f"no longer matches its signed binding: {exc}") from None
    return "binding matches"


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    anchors: Optional[bytes] = None
    if args.trust_anchors:
        if not args.sdk:
            print("brevane-precommit: --trust-anchors needs --sdk", file=sys.stderr)
            return 2
        try:
            anchors = Path(args.trust_anchors).read_bytes()
        except OSError as exc:
            print(f"brevane-precommit: cannot read {args.trust_anchors}: {exc.strerror or exc}", file=sys.stderr)
            return 2
    if args.sdk:
        from brevane_tools.signing import SdkUnavailableError, _sdk

        try:
            _sdk()
        except SdkUnavailableError as exc:
            print(f"brevane-precommit: {exc}", file=sys.stderr)
            return 2
    site_root = Path(args.site_root) if args.site_root else None
    failed = 0
    for name in args.files:
        try:
            check_file(
                Path(name), require_signed=args.require_signed, site_root=site_root, sdk=args.sdk,
                trust_anchors=anchors,
            )
        except _Skip as exc:
            print(f"{name}: skipped: {exc}")
        except ValueError as exc:
            failed += 1
            print(f"{name}: {exc}")
    if failed:
        print(f"brevane-check: {failed} of {len(args.files)} page{'s' if len(args.files) != 1 else ''} failed")
    return 1 if failed else 0


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
