"""Where a page's Manifest Store lies, and its bytes: one rule for `check`, `show`, `sign` and the hook.

A page's `href` is read as a browser reads it: character references decoded
as in an attribute, backslashes before any query taken as slashes, then
resolved against the page's own URL and its `<base href>`. A page on disk
has the URL it will have when its site is served: its path below the site root
(the directory argument, `--site-root`, or for the hook the repository). Where
that leads:

- back into the site: a file there, its path percent-decoded as bytes (so names
  that are not UTF-8 work), dot segments resolved and clamped at the root, as
  a web server would. It is read only if, symbolic links resolved, it still
  lies under the site root, and only if it is a regular file;
- to an http or https URL elsewhere: fetched by `check` (see
  `brevane_tools.remote`), never by the hook;
- anywhere else (`file:`, in an href or a `<base>`, or any other scheme): refused.

Refusals never quote the page: the href is the attacker's text. `href_to` is
the inverse: the relative href that this same rule maps back to a given store.

A page without a manifest element (signed in the header form, its store named
by the server's `Link` header) has its store where `brevane sign --form header`
wrote it: `PAGE.c2pa` beside it, or with a store directory, that directory's
`PATH.c2pa` for the page's path below the site root (`header_store`).

A site lies in a directory of this machine or under a prefix in object storage
(`Site`). A page in object storage has as its URL path its key below the
prefix: an href leads where it would once the prefix is served as a site, by
the same rule, and never out of the prefix. Those paths are worked out against
a root of their own ("/"), never a directory of this machine: nothing local is
read for them. `lookup` answers for a whole page (its inline store, the one its
href leads to, or the header form's), and `read_store` reads one store, capped.
"""

from __future__ import annotations

import os
import posixpath
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union
from urllib.parse import quote, unquote_to_bytes, urldefrag, urljoin, urlsplit

from brevane_tools.errors import PageTooLarge, StoreLocationError
from brevane_tools.files import objects
from brevane_tools.files.finding import inside
from brevane_tools.files.reading import read_file
from brevane_tools.head import decode_attribute, extract, head_facts
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.text import display, escape

__all__ = [
    "Found", "Site", "StoreAt", "header_store", "href_to", "locate", "locate_on_web", "lookup", "lookup_on_web",
    "page_site", "read_store", "shown", "store_if_any",
]

# The origin a site's pages have here; it never goes on the network. Made up
# afresh in each process, so that no page can name a file of the site by it.
_SITE_HOST = f"site-{os.urandom(8).hex()}.invalid"
_SITE = "https://" + _SITE_HOST
# A browser drops these from a URL before parsing it, and strips these from its ends.
_URL_NOISE = re.compile("[\t\n\r]")
_URL_ENDS = "".join(map(chr, range(0x21)))
#: The root a site in object storage has here: a page's place is its key below it.
_KEYS = Path("/")


@dataclass(frozen=True)
class Site:
    """Where a site's files lie: the directory `root`, or with `prefix`, that prefix in object storage.

    A file of the site is a place (a Path) below `root`; in object storage, its key below a root of
    its own ("/"), which `url` makes the object's URL.
    """

    root: Path = _KEYS
    prefix: Optional[str] = None
    storage: Optional[objects.Storage] = None

    def url(self, place: Path) -> str:
        assert self.prefix is not None
        return objects.join(self.prefix, place.relative_to(_KEYS).as_posix())

    def shown(self, place: Path) -> str:
        """A place as reports name it: a path as people read it, or the object's URL."""
        return self.url(place) if self.prefix is not None else shown(place)


def page_site(found: Optional[objects.ObjectPage], path: Optional[Path], root: Optional[Path], *,
              written: bool = False) -> Optional[tuple[Path, Site]]:
    """A page as a place of its site, and that site: the prefix in object storage it is read from (with
    `written`, written to), else the file `path` of the directory `root`; None without either."""
    if found is not None:
        url, prefix = (found.target, found.target_root) if written else (found.source, found.source_root)
        if url is not None and prefix is not None:
            return _KEYS / url[len(prefix.rstrip("/")) + 1:], Site(prefix=prefix, storage=found.storage)
    return (path, Site(root)) if path is not None and root is not None else None


@dataclass(frozen=True)
class StoreAt:
    """Where a store lies: a file of the site, or an http(s) URL."""

    path: Optional[Path] = None
    url: Optional[str] = None


def _clean(reference: str) -> str:
    """A URL as a browser parses it: noise dropped, and backslashes before any query or fragment as slashes."""
    url = _URL_NOISE.sub("", reference).strip(_URL_ENDS)
    path_end = min((i for i in (url.find("?"), url.find("#")) if i >= 0), default=len(url))
    return url[:path_end].replace("\\", "/") + url[path_end:]


def _scheme(url: str) -> str:
    return urlsplit(url).scheme.lower()


def _against(page_url: str, html: bytes) -> str:
    """The URL a page's relative references resolve against: its own, or its `<base href>`'s."""
    base = head_facts(html).base_href
    if base is None:
        return page_url
    joined = urljoin(page_url, _clean(base))
    if _scheme(joined) == "file":
        raise StoreLocationError("the page's <base href> is a file: URL, which is not followed")
    return joined


def _resolved(href: str, against: str) -> str:
    target = urldefrag(urljoin(against, _clean(decode_attribute(href))))[0]
    scheme = _scheme(target)
    if scheme == "file":
        raise StoreLocationError("the page references its Manifest Store by a file: URL, which is not read")
    if scheme not in ("http", "https") or not urlsplit(target).netloc:
        raise StoreLocationError("the page references its Manifest Store by a URL that is neither http(s) nor a file of the site")
    return target


def _site_path(relative: str) -> str:
    """A path below the site root as the path of a URL on the site (names that are not UTF-8 as their bytes)."""
    return "/" + "/".join(quote(os.fsencode(part), safe="") for part in relative.split(os.sep) if part)


def _below(path: Path, root: Path) -> Optional[str]:
    """`path` relative to the directory `root`, when it lies below it (by name: no link is resolved)."""
    near, top = os.path.normpath(path), os.path.normpath(root)
    if os.path.isabs(near) != os.path.isabs(top) or any(n.startswith((os.pardir, "//")) for n in (near, top)):
        relative = os.path.relpath(path, root)  # against the working directory, which costs a system call
    elif near == top:
        return os.curdir
    elif top == os.curdir:
        relative = near
    else:
        start = top if top.endswith(os.sep) else top + os.sep
        relative = near[len(start):] if near.startswith(start) else os.pardir
    return None if relative == os.pardir or relative.startswith(os.pardir + os.sep) else relative


def _page_url(page: Path, site_root: Path) -> str:
    relative = _below(page, site_root)
    if relative is None:
        relative = _below(Path(os.path.realpath(page)), Path(os.path.realpath(site_root)))
        if relative is None:
            raise StoreLocationError(f"the page lies outside the site root {display(site_root)}")
    return _SITE + _site_path(relative)


def _file_of(url: str, site_root: Path) -> Path:
    """The file of the site that a URL on it names: percent-decoded, dot segments clamped at the root."""
    segments: list[bytes] = []
    for segment in unquote_to_bytes(urlsplit(url).path).split(b"/"):
        if segment in (b"", b"."):
            continue
        if segment == b"..":
            if segments:
                segments.pop()
            continue
        if b"\x00" in segment:
            raise StoreLocationError("the page's store reference names no file")
        segments.append(segment)
    if not segments:
        raise StoreLocationError("the page's store reference names no file")
    return site_root / os.fsdecode(b"/".join(segments))


def locate(href: str, html: bytes, *, page: Path, site_root: Path) -> StoreAt:
    """Where the `href` of the local page `page` (bytes `html`) leads; StoreLocationError when nowhere readable."""
    return _located(href, _against(_page_url(page, site_root), html), site_root)


def _located(href: str, against: str, site_root: Path) -> StoreAt:
    target = _resolved(href, against)
    parts = urlsplit(target)
    if parts.scheme.lower() == "https" and parts.netloc == _SITE_HOST:
        return StoreAt(path=_file_of(target, site_root))
    return StoreAt(url=target)


def locate_on_web(href: str, html: bytes, page_url: str) -> str:
    """Where the `href` of a page fetched from `page_url` leads: an http(s) URL."""
    return _resolved(href, _against(page_url, html))


def shown(path: Path) -> str:
    """A path as people read it: relative to the working directory when below it."""
    relative = os.path.relpath(path)
    return display(path if relative.startswith("..") else relative)


def read_store(place: Path, site: Site, limit: int, *, flag: str = "") -> bytes:
    """The bytes of a store of the site; ValueError when it is not one the tool reads.

    `flag` is the option that sets `limit`, named when a store is over it.
    """
    stored = _read(place, site, limit, flag, missing_ok=False)
    assert stored is not None
    return stored


def store_if_any(place: Path, site: Site, limit: int, *, flag: str = "", what: str = "") -> Optional[bytes]:
    """`read_store`, or None when nothing is there; `what` names an object that is no store."""
    return _read(place, site, limit, flag, missing_ok=True, what=what)


def _read(place: Path, site: Site, limit: int, flag: str, missing_ok: bool, what: str = "") -> Optional[bytes]:
    if site.prefix is not None:
        url = site.url(place)
        storage = site.storage or objects.Storage()
        return _read_object(url, storage, limit, flag, missing_ok, what or f"the Manifest Store {escape(url)}")
    if missing_ok and not os.path.lexists(place):
        return None
    real_root = os.path.realpath(site.root)
    if not inside(os.path.realpath(place), real_root):
        # Nothing outside the site is opened, so nothing about it is told.
        raise StoreLocationError(f"the page's store reference leads out of the site root {display(site.root)}, not read")
    try:
        return read_file(place, limit, what=f"the Manifest Store {shown(place)}", flag=flag, within=real_root)
    except PageTooLarge as exc:
        raise ValueError(str(exc)) from None
    except OSError as exc:
        if exc.errno == getattr(os, "EXDEV", 18):
            raise StoreLocationError(
                f"the page's store reference leads out of the site root {display(site.root)}, not read"
            ) from None
        raise ValueError(f"cannot read the Manifest Store {shown(place)}: {exc.strerror or exc}") from None


def _read_object(url: str, storage: objects.Storage, limit: int, flag: str, missing_ok: bool, what: str,
                 ) -> Optional[bytes]:
    fs, path = storage.filesystem(url)
    try:
        # One byte past the limit is enough to tell a store over it.
        data = fs.cat_file(path, start=0, end=limit + 1)
    except FileNotFoundError:
        if missing_ok:
            return None
        raise StoreLocationError(f"cannot read {escape(url)}: no such object") from None
    except Exception as exc:  # noqa: BLE001 - the filesystem's own errors, as one line
        raise StoreLocationError(str(objects.os_error(exc, "read", url))) from None
    if len(data) > limit:
        hint = f" ({flag})" if flag else ""
        raise ValueError(f"{what} is over the limit of {limit:,} bytes{hint}")
    return bytes(data)


@dataclass(frozen=True)
class Found:
    """A page's store as found: its bytes (None: on the web, at `location`, to be fetched), whence, and where."""

    #: "inline", "link", or for a page without element, "beside" (its PAGE.c2pa) or "store-dir".
    source: str
    store: Optional[bytes]
    location: Optional[str] = None  # the store's path, object URL or web URL; None when inline


def lookup(html: bytes, page: Path, site: Site, limit: int, *, store_dir: Union[Path, Site, None] = None,
           flag: str = "") -> Optional[Found]:
    """The store of the page at `page` (bytes `html`) of `site`; None for a page without element whose
    header-form store is not there either. StoreLocationError (a ValueError) when its href leads nowhere
    readable, ValueError when the store there cannot be read, and the module's for a malformed element."""
    association = extract(html)
    if association is None:
        return header_store(page, site, store_dir, limit, flag=flag)
    if association["kind"] == "embedded":
        return Found("inline", association["store"])
    at = locate(association["href"], html, page=page, site_root=site.root)
    if at.url is not None:
        return Found("link", None, at.url)
    assert at.path is not None
    return Found("link", read_store(at.path, site, limit, flag=flag), site.shown(at.path))


def lookup_on_web(html: bytes, page_url: str, linked: list[str]) -> tuple[Found, list[str]]:
    """The store of a page fetched from `page_url` whose HTTP Link header names the stores `linked`: its
    own inline, where its href leads, else the header's first; and what is worth a warning. An element in
    the page wins over the header. ValueError for a page that names none."""
    association = extract(html)
    warnings: list[str] = []
    if association is not None:
        target = locate_on_web(association["href"], html, page_url) if association["kind"] == "referenced" else None
        if linked and linked[0] != target:
            warnings.append(f"the Link header names another store, {linked[0]}: the element wins")
        return (Found("inline", association["store"]) if target is None else Found("link", None, target)), warnings
    if not linked:
        raise ValueError(
            f'{page_url} carries no C2PA manifest element in its head and no Link header with rel="c2pa-manifest"'
        )
    if len(linked) > 1:
        warnings.append(f"the Link header names {len(linked)} stores; the first is used")
    return Found("header", None, linked[0]), warnings


def header_store(page: Path, site: Site, store_dir: Union[Path, Site, None], limit: int, *,
                 flag: str = "") -> Optional[Found]:
    """The store of a page without a manifest element, where the header form writes it; None when there is none.

    Beside the page (`PAGE.c2pa`, read only inside the site), or with `store_dir`, that
    directory's file for the page's path below the site root (read only inside `store_dir`; a `Site`
    for a prefix in object storage).
    Raises ValueError when a store is there but is not one the tool reads.
    """
    if store_dir is None:
        place, tree, source = page.parent / (page.name + STORE_SUFFIX), site, "beside"
    else:
        relative = _below(page, site.root)
        if relative is None:
            return None
        tree = store_dir if isinstance(store_dir, Site) else Site(store_dir)
        place, source = tree.root / (relative + STORE_SUFFIX), "store-dir"
    stored = store_if_any(place, tree, limit, flag=flag)
    return None if stored is None else Found(source, stored, tree.shown(place))


def href_to(store: Path, html: bytes, *, page: Path, site_root: Path) -> Optional[str]:
    """The relative href by which `page` (bytes `html`) reaches `store`; None when none can.

    Percent-encoded, so names with "#", "?", "%", quotes or spaces survive, and
    relative to the page's `<base href>` where it has one. None when the store
    lies outside the site root, or the base leads off the site.
    """
    if store.parent == page.parent and head_facts(html).base_href is None and \
            _below(page, site_root) not in (None, os.curdir):
        # Beside a page of the site that has no base: its name, every byte of it percent-encoded but
        # the unreserved ones, leads back to it by the rule below and nowhere else.
        return quote(os.fsencode(store.name), safe="")
    relative = _below(store, site_root)
    try:
        base = _against(_page_url(page, site_root), html)
    except StoreLocationError:
        return None
    against = urlsplit(base)
    if relative is None or against.scheme.lower() != "https" or against.netloc != _SITE_HOST:
        return None
    directory = against.path if against.path.endswith("/") else posixpath.dirname(against.path) + "/"
    # Every name is percent-encoded, ":" too: the href never reads as a scheme.
    href = posixpath.relpath(_site_path(relative), directory.rstrip("/") or "/")
    try:
        found = _located(href, base, site_root)  # the head once: `base` is what it said
    except StoreLocationError:
        return None
    if found.path is None or _below(found.path, store) != os.curdir:
        return None
    return href
