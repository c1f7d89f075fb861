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
from pathlib import Path, PurePosixPath
from typing import TYPE_CHECKING, Any, Optional

from brevane_tools.commands.base import Page, UsageError
from brevane_tools.errors import StoreLocationError
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.text import display, escape

if TYPE_CHECKING:  # object storage loads with the first run that uses it
    from brevane_tools.files.objects import ObjectPage, Storage
    from brevane_tools.signing.serving import Announced

__all__ = [
    "announced_at", "href_between", "old_store_object", "output_of", "read_store_object", "store_url",
    "stored_before", "target_relative", "where_rules_go", "where_stores_go",
]

_ROOT = Path("/")


def where_stores_go(args: argparse.Namespace, form: str) -> dict[str, Any]:
    """Where stores and server rules go, checked once: one usage error up front rather than one per page."""
    from brevane_tools.files import objects

    if any(objects.is_object_url(p) for p in [*args.paths, args.output or ""]):
        if form == "header" or args.store_dir:
            raise UsageError(
                "pages in object storage keep their stores beside them: sign them with --form link or inline, "
                "without --store-dir"
            )
        return {}
    paths = [Path(p) for p in args.paths]
    if args.in_place:
        roots = [p if p.is_dir() else p.parent for p in paths]
    else:
        output = Path(args.output)
        single = len(paths) == 1 and not paths[0].is_dir() and not output.is_dir()
        roots = [output.parent if single else output]
    real_roots = sorted({os.path.realpath(r) for r in roots})
    places: dict[str, Any] = {}
    store_below: Optional[str] = None
    if args.store_dir:
        from brevane_tools.files.finding import inside

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


def announced_at(relative: PurePosixPath, served: str, href: Optional[str], store_prefix: str) -> Announced:
    """The header form's page read at `relative` and served at `served` (below the site root), with the URL
    of its store: the --href template's, or its path in the store directory or beside the page."""
    from urllib.parse import quote

    from brevane_tools import signing
    from brevane_tools.signing import serving

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
    from brevane_tools.signing import serving

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


def where_rules_go(args: argparse.Namespace, form: str, where: dict[str, Any]) -> Optional[Path]:
    """--rules-dir, checked: outside every input and the site, which are published (and, for the header
    form, a store directory whose path the Apache rules can name)."""
    from brevane_tools.files.finding import inside
    from brevane_tools.signing import serving

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
    for source in [Path(p) for p in args.paths]:
        if inside(real, os.path.realpath(source if source.is_dir() else source.parent)):
            raise UsageError(
                f"the rules directory {display(directory)} lies in the input {display(source)}: "
                "give one outside the published tree"
            )
    if inside(real, str(where["site_root"])):
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


def _objects(page: Page) -> ObjectPage:
    assert page.objects is not None
    return page.objects


def _storage(found: ObjectPage) -> Storage:
    from brevane_tools.files.objects import Storage

    return found.storage if found.storage is not None else Storage()


def target_relative(page: Page) -> str:
    """The key of a page's output object below its output prefix."""
    found = _objects(page)
    assert found.target is not None and found.target_root is not None
    return found.target[len(found.target_root.rstrip("/")) + 1:]


def href_between(page: str, store: str, html: bytes) -> Optional[str]:
    """The relative href from the page at key `page` (bytes `html`) to the store at key `store`; None when none leads."""
    from brevane_tools import store_location

    return store_location.href_to(_ROOT / store, html, page=_ROOT / page, site_root=_ROOT)


def store_url(page: Page, href: str, html: bytes) -> str:
    """Where an href of a page read from object storage leads: an object below its prefix, or an
    http(s) URL elsewhere; StoreLocationError when it leads nowhere that is read."""
    from brevane_tools import store_location
    from brevane_tools.files import objects

    found = _objects(page)
    assert found.source_root is not None
    at = store_location.locate(href, html, page=_ROOT / page.relative.as_posix(), site_root=_ROOT)
    if at.url is not None:
        return at.url
    assert at.path is not None
    return objects.join(found.source_root, PurePosixPath(at.path).relative_to("/").as_posix())


def old_store_object(page: Page, href: str, html: bytes, beside: Optional[Path], limit: int,
                     ) -> tuple[Optional[bytes], Optional[str]]:
    """The store a page in object storage links to (where its href leads below its prefix, else the
    store `beside` its output, a key below the output prefix), or why it cannot be had."""
    from brevane_tools.files import objects

    found = _objects(page)
    reason: Optional[str] = None
    candidates: list[str] = []
    try:
        url = store_url(page, href, html)
        if objects.is_object_url(url):
            candidates.append(url)
        else:
            reason = "it is on another host, which is not fetched"
    except StoreLocationError as exc:
        reason = str(exc)
    if beside is not None and found.target_root is not None:
        candidates.append(objects.join(found.target_root, beside.as_posix()))
    for candidate in candidates:
        try:
            return read_store_object(page, candidate, limit), None
        except ValueError as exc:
            reason = reason or str(exc)
    return None, reason


def read_store_object(page: Page, url: str, limit: int, flag: str = "") -> bytes:
    """A store object's bytes; StoreLocationError or PageTooLarge (ValueError: the page fails) when not to be had."""
    from brevane_tools.files import objects

    try:
        return objects.read(_storage(_objects(page)), url, limit, what=f"the Manifest Store {escape(url)}", flag=flag)
    except OSError as exc:
        raise StoreLocationError(exc.strerror or str(exc)) from None


def output_of(page: Page, tree: Optional[Path], store: Optional[Path], store_tree: Optional[Path], limit: int,
              ) -> tuple[Optional[bytes], Optional[bytes]]:
    """What a page's output holds now, and the store at `store` (for an object, its key below the
    output prefix; else a file in `store_tree`); None for what is not there, or cannot be read.
    A local output is read only inside its tree (`tree`), never through a link."""
    from brevane_tools import store_location
    from brevane_tools.files import objects
    from brevane_tools.files.reading import read_file

    found = page.objects
    html = stored = None

    def read(url: str) -> Optional[bytes]:
        assert found is not None
        ahead = dict(found.ahead)
        return ahead[url] if url in ahead else objects.read(_storage(found), url, limit)

    try:
        if found is not None and found.target is not None and found.target_root is not None:
            html = read(found.target)
            if store is not None:
                stored = read(objects.join(found.target_root, store.as_posix()))
        elif page.destination is not None and tree is not None:
            html = read_file(page.destination, limit, follow=False, within=os.path.realpath(tree))
            if store is not None and store_tree is not None:
                stored = store_location.read_store(store, store_tree, limit)
    except (OSError, ValueError):
        pass
    return html, stored
