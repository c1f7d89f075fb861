"""Where a signed page's stores and server rules go, checked once before any page (`where_stores_go`),
and reading what lies at a page's places: its output as it is now, and stores in object storage.

A page in object storage has as its URL path its key below the prefix it was
found under (the site root): an href leads where it would once the prefix is
served as a site, by the same rule as on disk (`store_location`), and never
out of the prefix. Those paths are worked out against a root of their own
("/"), never a directory of this machine: nothing local is read for them.
"""

from __future__ import annotations

import argparse
import os
import tempfile
from collections.abc import Sequence
from pathlib import Path, PurePosixPath
from typing import Any, Optional
from urllib.parse import quote

from brevane_tools import signing
from brevane_tools.commands.base import Report, UsageError
from brevane_tools.errors import StoreLocationError
from brevane_tools.files import objects
from brevane_tools.files.finding import inside
from brevane_tools.files.objects import Storage
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.signing import serving
from brevane_tools.signing.serving import Announced
from brevane_tools.text import display, escape

__all__ = [
    "announced_at", "object_if_any", "object_site_rules", "stored_before", "stored_before_objects",
    "where_rules_go", "where_stores_go", "write_object_rules",
]


def where_stores_go(args: argparse.Namespace, form: str) -> dict[str, Any]:
    """Where stores and server rules go, checked once: one usage error up front rather than one per page."""

    sources = [p for p in args.paths if objects.is_object_url(p)]
    if objects.is_object_url(args.output or "") or (args.in_place and sources):
        if args.store_dir:
            raise UsageError(
                "--store-dir takes a local output: pages written to object storage keep their stores beside "
                "them (give the store's URL with --href where it is served from elsewhere)"
            )
        if form != "header":
            return {}
        if args.in_place and len(sources) != 1:
            raise UsageError(
                "--form header writes the server rules at the site's root: sign one prefix, "
                "or pages of one prefix, at a time"
            )
        # The site's prefix is the one its pages are written below, known once they are planned.

        options = getattr(args, "storage_options", None)
        return {"rules_in_objects": True, "storage": Storage.parse(options) if options is not None else None}
    if sources and args.store_dir:
        raise UsageError("--store-dir takes local pages: pages read from object storage keep their stores "
                         "beside their output")
    paths = [Path(p) for p in args.paths]
    if args.in_place:
        roots = [p if p.is_dir() else p.parent for p in paths]
    else:
        output = Path(args.output)
        single = len(paths) == 1 and not output.is_dir() and (
            _one_object(args) if sources else not paths[0].is_dir())
        roots = [output.parent if single else output]
    real_roots = sorted({os.path.realpath(r) for r in roots})
    places: dict[str, Any] = {}
    store_below: Optional[str] = None
    if args.store_dir:

        store_dir = Path(args.store_dir)
        real = os.path.realpath(store_dir)
        if not args.in_place:
            for source in paths:
                if source.is_dir() and inside(real, os.path.realpath(source)):
                    raise UsageError(
                        f"the store directory {display(store_dir)} lies in the input {display(source)}: "
                        "give one outside the pages' source"
                    )
        _check_writable(store_dir)
        if all(inside(real, root) for root in real_roots):
            store_below = real
        elif args.href is None:
            shown = ", ".join(display(Path(r)) for r in real_roots)
            raise UsageError(
                f"the store directory {display(store_dir)} lies outside the output tree {shown}, "
                "so no path in the site leads to it: give the URL its stores are served at with "
                "--href TEMPLATE (e.g. --href 'https://cdn.example/c2pa/{path}.c2pa')"
            )
        else:
            places["store_tree"] = real
    if form == "header":
        if len(real_roots) != 1:
            raise UsageError(
                "--form header writes the server rules at the site's root: sign one directory, "
                "or pages of one directory, at a time"
            )
        places["site_root"] = Path(real_roots[0])
        if store_below is not None:
            places["store_prefix"] = os.path.relpath(store_below, real_roots[0]).replace(os.sep, "/")
    return places


def _one_object(args: argparse.Namespace) -> bool:
    """Whether the one object URL given names an object (a page to one file), not a prefix."""

    options = getattr(args, "storage_options", None)
    fs, path = (objects.Storage.parse(options) if options is not None else objects.Storage()).filesystem(
        args.paths[0])
    try:
        return bool(fs.isfile(path.rstrip("/")))
    except Exception:  # noqa: BLE001 - the listing that follows says what is wrong, in its own words
        return False


def announced_at(relative: PurePosixPath, served: str, href: Optional[str], store_prefix: str) -> Announced:
    """The header form's page read at `relative` and served at `served` (below the site root), with the URL
    of its store: the --href template's, or its path in the store directory or beside the page."""


    if href is not None:
        path = relative.as_posix().encode("utf-8", "surrogateescape")
        values = {"path": quote(path, safe="/"), "name": quote(path.rsplit(b"/", 1)[-1], safe="")}
        return serving.Announced(serving.url_path(served), signing.substitute(href, values))
    below = f"{store_prefix}/{relative.as_posix()}" if store_prefix else served
    return serving.Announced(serving.url_path(served), serving.url_path(below + STORE_SUFFIX))


def stored_before(site_root: Path, stores: str, named: set[str], href: Optional[str],
                  store_prefix: str) -> list[Announced]:
    """The site's files not `named` whose store lies in `stores` (the tree the run writes stores to): the
    rules describe the site, not the run, so a run over some of its pages keeps the others announced."""

    root, tree, suffix = os.fsencode(site_root), os.fsencode(stores), STORE_SUFFIX.encode()
    found = []
    for directory, _, names in os.walk(root):
        below = directory[len(root) + 1:]
        for name in names:
            relative = os.path.join(below, name)
            page = os.fsdecode(relative).replace(os.sep, "/")
            if not name.endswith(suffix) and serving.url_path(page) not in named and \
                    os.path.isfile(os.path.join(tree, relative + suffix)):
                found.append(announced_at(PurePosixPath(page), page, href, store_prefix))
    return found


def object_site_rules(reports: Sequence[Report], href: Optional[str], rules_dir: Optional[Path],
                      storage: Optional[Storage]) -> list[str]:
    """The header form's rules for pages written to object storage, once they are: in `rules_dir`, else
    as objects at the root of the prefix they are written below (where a static host reads `_headers`,
    and whatever serves a copy of the prefix finds the others); the warnings they call for."""

    signed = [r for r in reports if r.ok and "site" in r.data]
    if not signed:
        return []
    site = str(signed[0].data["site"])
    announced = [serving.Announced(str(r.data["page_url"]), str(r.data["href"])) for r in signed]
    try:
        announced += stored_before_objects(site, {a.page for a in announced}, href, storage)
        if rules_dir is not None:
            return serving.write_rules(rules_dir, announced, href=href is not None, in_site=False)
        return write_object_rules(site, announced, href=href is not None, storage=storage)
    except (OSError, ValueError) as exc:
        raise UsageError(str(exc)) from None


def stored_before_objects(site: str, named: set[str], href: Optional[str], storage: Optional[Storage],
                          ) -> list[Announced]:
    """`stored_before` for a site in object storage: its objects not `named` with a store beside them."""

    tree = objects.find(storage or objects.Storage(), site, (STORE_SUFFIX,))
    keys = {f.relative for f in (*tree.pages, *tree.others)}
    return [announced_at(PurePosixPath(page), page, href, "")
            for key in sorted(keys) if key.endswith(STORE_SUFFIX)
            for page in [key[:-len(STORE_SUFFIX)]]
            if page in keys and not page.endswith(STORE_SUFFIX) and serving.url_path(page) not in named]


def write_object_rules(site: str, pages: list[Announced], *, href: bool, storage: Optional[Storage]) -> list[str]:
    """The header form's rule files as objects at the root of the prefix `site`, their marked blocks
    merged into what `.htaccess` and `_headers` held there; the warnings they call for."""


    storage = storage or objects.Storage()
    with tempfile.TemporaryDirectory(prefix="brevane-rules-") as directory:
        local = Path(directory)
        for name in (serving.HTACCESS, serving.HEADERS):
            old = object_if_any(storage, objects.join(site, name), serving.MAX_RULE_FILE,
                                f"the server rules {escape(objects.join(site, name))}")
            if old is not None:
                (local / name).write_bytes(old)
        warnings = serving.write_rules(local, pages, href=href)
        items = [(objects.join(site, name), (local / name).read_bytes()) for name in serving.RULE_FILES]
    for (url, _), failure in zip(items, objects.write_many(storage, items)):
        if failure is not None:
            raise ValueError(f"cannot write the server rules {escape(url)}: {failure}")
    return [w.replace(display(local / serving.HEADERS), escape(objects.join(site, serving.HEADERS)))
            for w in warnings]


def object_if_any(storage: Optional[Storage], url: str, limit: int, what: str) -> Optional[bytes]:
    """An object's bytes, None when there is no such object; ValueError when it cannot be read."""

    fs, path = (storage or objects.Storage()).filesystem(url)
    try:
        data = fs.cat_file(path, start=0, end=limit + 1)
    except FileNotFoundError:
        return None
    except Exception as exc:  # noqa: BLE001 - the filesystem's own errors, as one line
        raise StoreLocationError(str(objects.os_error(exc, "read", url)).split(": ", 1)[-1]) from None
    if len(data) > limit:
        raise ValueError(f"{what} is over the limit of {limit:,} bytes")
    return bytes(data)


def where_rules_go(args: argparse.Namespace, form: str, where: dict[str, Any]) -> Optional[Path]:
    """--rules-dir, checked: outside every input and the site, which are published (and, for the header
    form, a store directory whose path the Apache rules can name)."""

    if form == "header" and args.href is None:
        problem = serving.store_prefix_error(where.get("store_prefix"))
        if problem is not None:
            raise UsageError(problem)
    if args.rules_dir is None:
        return None
    if form != "header":
        raise UsageError("--rules-dir goes with --form header")
    directory = Path(args.rules_dir)
    real = os.path.realpath(directory)

    for source in [Path(p) for p in args.paths if not objects.is_object_url(p)]:
        if inside(real, os.path.realpath(source if source.is_dir() else source.parent)):
            raise UsageError(
                f"the rules directory {display(directory)} lies in the input {display(source)}: "
                "give one outside the published tree"
            )
    if "site_root" in where and inside(real, str(where["site_root"])):
        raise UsageError(
            f"the rules directory {display(directory)} lies in the output tree {display(where['site_root'])}: "
            "give one outside the published tree"
        )
    existing = Path(os.path.abspath(directory))
    while not os.path.lexists(existing):
        existing = existing.parent
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"the rules directory {display(directory)} cannot be written: {display(existing)} "
                         f"is {'not writable' if existing.is_dir() else 'not a directory'}")
    return directory


def _check_writable(directory: Path) -> None:
    existing = Path(os.path.abspath(directory))
    while not os.path.lexists(existing):
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(
            f"the store directory {display(directory)} cannot be made: {display(existing)} is not a directory"
        )
    if not os.access(existing, os.W_OK | os.X_OK):
        where = "" if existing == Path(os.path.abspath(directory)) else f" (nor is {display(existing)}, to make it in)"
        raise UsageError(f"the store directory {display(directory)} is not writable{where}")

