"""Where a signed page's stores and server rules go, checked once before any page (`where_stores_go`),
and reading what lies at a page's places: its output as it is now, and stores in object storage.

A page in object storage has as its URL path its key below the prefix it was
found under (the site root): an href leads where it would once the prefix is
served as a site, by the same rule as on disk (`store_location`), and never
out of the prefix. Those paths are worked out against a root of their own
("/"), never a directory of this machine: nothing local is read for them.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Sequence
from pathlib import Path, PurePosixPath
from typing import Optional
from urllib.parse import quote

from brevane_tools import signing
from brevane_tools.commands.base import Report, UsageError
from brevane_tools.errors import StoreLocationError
from brevane_tools.files import objects
from brevane_tools.files.objects import Storage
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.signing import serving
from brevane_tools.signing.serving import Announced
from brevane_tools.text import display, escape

__all__ = [
    "announced_at", "object_if_any", "object_site_rules", "stored_before", "stored_before_objects",
    "write_object_rules",
]


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

