"""The `sign` command: sign pages with a C2PA manifest through the C2PA SDK.

Everything that can be wrong for every page (the credential, the algorithm,
the manifest definition, an unreachable time-stamp authority, a store
directory that cannot be used) is found once, in `prepare`, by checking and
then signing a trial page: one error, exit status 2, nothing written. What
`run` can still get wrong is that page's own. `finish` writes the server
rules of the header form and says, once, what the run leaves to watch.

Three forms: "link" (the store in a file of its own, named by a `link`
element: the binding covers the whole page, and the C2PA SDK validates it
as it is), "inline" (a `script` element holds it), and "header" (a file of
its own, the page untouched, named by an HTTP `Link` header).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path, PurePosixPath
from typing import Any, NamedTuple, Optional, Union
from urllib.parse import quote

import brevane

from brevane_tools import checking, store_location
from brevane_tools.commands.base import Command, Outcome, Page, Report, UsageError
from brevane_tools.commands import summary
from brevane_tools.commands.sign_options import (
    SignOptions, SignSettings, add_arguments, href_for, options_from, prepare, signer,
)
from brevane_tools.errors import StoreLocationError
from brevane_tools.files.reading import read_file
from brevane_tools.head import extract
from brevane_tools.files import objects
from brevane_tools.limits import DEFAULT_MAX_STORE_SIZE, FORM_OF_KIND, STORE_SUFFIX
from brevane_tools.signing import serving
from brevane_tools.signing.credentials import certificate_end
from brevane_tools.signing.definition import PageFacts, substitute
from brevane_tools.signing.pages import parent_lost, sign, signed_with
from brevane_tools.store_location import Site, page_site

__all__ = ["SIGN", "SignOptions", "SignSettings", "finish", "prepare"]

#: Old stores larger than this are not read (and not kept as the parent).
MAX_OLD_STORE = DEFAULT_MAX_STORE_SIZE
#: A store larger than this is worth a word: every reader fetches or parses all of it with the page.
LARGE_STORE = 64 * 1024


def _prepare(args: argparse.Namespace) -> SignSettings:
    return prepare(options_from(args))


class _Places(NamedTuple):
    """Where a page goes, worked out once per page: its output as a place of the tree it is written to,
    and that tree; its store's (link and header forms); and the store as the runner writes it (a path,
    or its key below the output prefix)."""

    page: Optional[tuple[Path, Site]]
    store: Optional[tuple[Path, Site]]
    store_path: Optional[Path]


def _places(page: Page, settings: SignSettings) -> _Places:
    written = page_site(page.objects, page.destination, page.destination and _output_root(page), written=True)
    if written is None or not settings.reference:
        return _Places(written, None, None)
    place, tree = written
    if tree.prefix is not None:  # below the output prefix: in --store-dir, or beside the page
        key = f"{settings.store_prefix}/{page.relative.as_posix()}" if settings.store_prefix else \
            place.relative_to("/").as_posix()
        return _Places(written, (Path("/", key + STORE_SUFFIX), tree), Path(key + STORE_SUFFIX))
    if settings.store_dir is not None:
        path = settings.store_dir / (page.relative.as_posix() + STORE_SUFFIX)
    else:
        path = place.parent / (place.name + STORE_SUFFIX)
    return _Places(written, (path, Site(Path(settings.store_tree) if settings.store_tree else tree.root)), path)


def _read_from(page: Page) -> Optional[tuple[Path, Site]]:
    """The page as a place of the site it is read from, and that site."""
    return page_site(page.objects, page.path, page.root)


def _output_root(page: Page) -> Path:
    """The root of the tree the page is written to (the output directory, or the site for --in-place)."""
    assert page.destination is not None
    depth = len(page.relative.parts)
    if 0 < depth < len(page.destination.parts) and page.destination.parts[-depth:] == page.relative.parts:
        return Path(*page.destination.parts[:-depth])
    return page.destination.parent


def _href(page: Page, settings: SignSettings, places: _Places) -> str:
    if settings.href is not None:
        return href_for(settings.href, PurePosixPath(page.relative.as_posix()))
    assert page.html is not None and places.page is not None and places.store is not None
    href = store_location.href_to(places.store[0], page.html, page=places.page[0], site_root=places.page[1].root)
    if href is None:
        raise ValueError(
            "no relative href leads from this page to its store (its <base href> leads elsewhere, "
            "or the store lies outside the site): give the store's URL with --href"
        )
    return href


def _old_store(page: Page, settings: SignSettings, html: bytes, places: _Places) -> Optional[bytes]:
    """The store a referenced page links to, where it lies in the site; None for a page that links to none.

    A store that is not there (or not one the tool reads) fails the page, saying
    why, unless --replace drops it: it was to be kept as the parent.
    """
    association = extract(html)
    source = _read_from(page) if association is not None and association["kind"] == "referenced" else None
    if source is None:
        return None
    candidates: list[tuple[Path, Site]] = []
    reason: Optional[str] = None  # why the store the page's own href names cannot be had
    try:
        # Found as `brevane check` finds it; a store elsewhere on the web is not fetched.
        found = store_location.locate(str(association["href"]), html, page=source[0], site_root=source[1].root)
        if found.path is not None:
            candidates.append((found.path, source[1]))
        else:
            reason = "it is on another host, which is not fetched"
    except StoreLocationError as exc:
        reason = str(exc)
    for place, tree in candidates + ([places.store] if places.store is not None else []):
        try:
            return store_location.read_store(place, tree, MAX_OLD_STORE)
        except ValueError as exc:
            reason = reason or str(exc)
    _parent_lost(settings, reason)
    return None


def _parent_lost(settings: SignSettings, reason: Optional[str]) -> None:
    """A referenced page's old store cannot be had: the page fails, unless --replace drops the parent anyway."""
    if settings.keep_parent:
        raise parent_lost(reason)


def _detached_store(page: Page, settings: SignSettings, places: _Places) -> Optional[bytes]:
    """The store a page signed detached had, where the header form keeps it (where this run writes it,
    else beside the page read); None when there is none."""
    written, source = places.store, _read_from(page)
    try:
        stored = store_location.store_if_any(*written, MAX_OLD_STORE) if written is not None else None
        beside = settings.store_dir is None and not (settings.store_prefix and written and written[1].prefix)
        if stored is None and source is not None and not settings.in_place and beside:
            found = store_location.header_store(*source, None, MAX_OLD_STORE)
            stored = found.store if found is not None else None
        return stored
    except ValueError as exc:
        _parent_lost(settings, str(exc))
    return None


def _announced(page: Page, settings: SignSettings, places: _Places) -> serving.Announced:
    """The page's URL path and the URL of its store, as the server rules name them."""
    relative = PurePosixPath(page.relative.as_posix())
    if page.destination is None and places.page is not None:  # written to object storage: served at its key
        served = places.page[0].relative_to("/").as_posix()
    else:
        assert page.destination is not None
        served = (relative.parent / page.destination.name).as_posix()
    return _announced_at(relative, served, settings.href, settings.store_prefix)


def _announced_at(relative: PurePosixPath, served: str, href: Optional[str], store_prefix: str) -> serving.Announced:
    """The header form's page read at `relative` and served at `served` (below the site root), with the URL
    of its store: the --href template's, or its path in the store directory or beside the page."""
    if href is not None:
        path = relative.as_posix().encode("utf-8", "surrogateescape")
        values = {"path": quote(path, safe="/"), "name": quote(path.rsplit(b"/", 1)[-1], safe="")}
        return serving.Announced(serving.url_path(served), substitute(href, values))
    below = f"{store_prefix}/{relative.as_posix()}" if store_prefix else served
    return serving.Announced(serving.url_path(served), serving.url_path(below + STORE_SUFFIX))


def _stored_before(site: Union[Path, Site], stores: str, named: set[str], href: Optional[str],
                  store_prefix: str) -> list[serving.Announced]:
    """The site's files not `named` whose store lies in the store tree (`stores`, a directory; for a site in
    object storage, below `store_prefix` of its prefix): the rules describe the site, not the run, so a run
    over some of its pages keeps the others announced."""
    if isinstance(site, Site):
        assert site.prefix is not None
        listed = objects.find(site.storage or objects.Storage(), site.prefix, (STORE_SUFFIX,))
        keys = {f.relative for f in (*listed.pages, *listed.others)}
        below = f"{store_prefix}/" if store_prefix else ""
        files = [k for k in sorted(keys) if below + k + STORE_SUFFIX in keys]
    else:
        files = _stored_files(site, stores)
    return [_announced_at(PurePosixPath(page), page, href, store_prefix) for page in files
            if not page.endswith(STORE_SUFFIX) and serving.url_path(page) not in named]


def _stored_files(site_root: Path, stores: str) -> list[str]:
    root, tree, suffix = os.fsencode(site_root), os.fsencode(stores), STORE_SUFFIX.encode()
    found = []
    for directory, _, names in os.walk(root):
        below = directory[len(root) + 1:]
        for name in names:
            relative = os.path.join(below, name)
            if not name.endswith(suffix) and os.path.isfile(os.path.join(tree, relative + suffix)):
                found.append(os.fsdecode(relative).replace(os.sep, "/"))
    return found



def _still_valid(html: bytes, old_store: Optional[bytes], settings: SignSettings) -> bool:
    """Whether a page's binding holds, in this form, and its manifest was signed with this certificate."""
    association = extract(html)
    if (FORM_OF_KIND.get(association["kind"]) if association is not None else "header") != settings.form:
        return False
    store = association["store"] if association is not None and association["kind"] == "embedded" else old_store
    if store is None:
        return False
    try:
        result = checking.check_page(html, old_store if settings.reference else None)
    except ValueError:
        return False
    # Trust is a reader's setting; what matters here is that nothing else failed.
    if result.verdict != "match" or set(result.failures) - {"signingCredential.untrusted"}:
        return False
    return signed_with(store, settings.credential.cert_chain_pem)


def _output_now(page: Page, places: _Places) -> tuple[Optional[bytes], Optional[bytes]]:
    """What a page's output holds now, and its store (link form); None for what is not there, or cannot be
    read (and no store where there is no page). A local output is read only inside its tree, never through
    a link; objects read with the page's round are taken from it."""
    assert page.html is not None
    written, store = places.page, places.store
    ahead = dict(page.objects.ahead) if page.objects is not None else {}
    limit = len(page.html) + 2 * MAX_OLD_STORE
    found: list[Optional[bytes]] = []
    for at in (written, store):
        url = at[1].url(at[0]) if at is not None and at[1].prefix is not None else None
        try:
            if at is None or url in ahead:
                found.append(ahead.get(url or ""))
            elif at is written and url is None:
                found.append(read_file(at[0], limit, follow=False, within=os.path.realpath(at[1].root)))
            else:
                found.append(store_location.read_store(*at, limit))
        except (OSError, ValueError):
            found.append(None)
        if found[0] is None:  # a first run: nothing to compare the store with
            return None, None
    return found[0], found[1]


def _made_already(page: Page, settings: SignSettings, places: _Places) -> bool:
    """Whether the output (-o) holds this very page already, signed in this form by this signer:
    what a run again after a crash leaves alone. A page with a manifest of its own to keep as the
    parent is signed again, so that the output's parent is the page's own."""
    assert page.html is not None
    if settings.in_place or settings.form == "header" or places.page is None or \
            (settings.keep_parent and extract(page.html) is not None):
        return False
    output, stored = _output_now(page, places)
    try:
        if output is None or brevane.remove(output) != brevane.remove(page.html):
            return False
        association = extract(output)
        if settings.reference and (association is None or association.get("href") != _href(page, settings, places)):
            return False
    except ValueError:
        return False
    return _still_valid(output, stored, settings)


def _sign(page: Page, settings: SignSettings) -> Outcome:
    assert page.html is not None
    relative = PurePosixPath(page.relative.as_posix())
    places = _places(page, settings)
    if settings.skip_valid and _made_already(page, settings, places):
        return Outcome("unchanged: its output is this page, signed by this signer", {"skipped": True, "rounds": 0})
    old_store = _old_store(page, settings, page.html, places)
    announced = _announced(page, settings, places) if settings.form == "header" else None
    if announced is not None and old_store is None and extract(page.html) is None:
        old_store = _detached_store(page, settings, places)
    data: dict[str, Any] = {"page_url": announced.page, "href": announced.store} if announced else {}
    if announced is not None and settings.rules_in_objects and page.objects is not None:
        data["site"] = page.objects.target_root  # where the rules go: the prefix the pages are written below
    if settings.skip_valid and _still_valid(page.html, old_store, settings):
        # Copied as it is into an output tree; its store comes along with the other files, or stays where it is.
        unchanged = None if settings.in_place else page.html
        return Outcome("unchanged: still valid, signed by this signer", {"skipped": True, "rounds": 0, **data},
                       page=unchanged)
    facts = PageFacts(relative.as_posix(), relative.name or (page.path.name if page.path else ""))
    href = None
    if settings.reference:
        if places.store is None:  # pragma: no cover
            raise ValueError("--form link and header need -o DIR or --in-place")
        href = announced.store if announced else _href(page, settings, places)
    signed = sign(
        page.html, settings.template, signer(settings), alg=settings.alg, facts=facts,
        href=None if announced else href, detached=announced is not None,
        keep_parent=settings.keep_parent, old_store=old_store,
    )
    data.update(kind=signed.kind, rounds=signed.rounds, store_size=len(signed.store))
    if signed.parent is not None:
        data.update(parent=signed.parent, manifests=signed.manifests)
    files: tuple[tuple[Path, bytes], ...] = ()
    if places.store is not None and places.store_path is not None:
        place, tree = places.store
        data.update(href=href, store=tree.url(place) if tree.prefix is not None else str(place))
        text = f"signed detached, store at {href}" if announced else f"signed, linked to {href}"
        files = ((places.store_path, signed.store),)
    else:
        ((start, length),) = signed.exclusions
        data.update(start=start, length=length)
        text = f"signed, manifest element at {start}:{length}"
    if signed.parent is not None:
        text += f", parent {json.dumps(signed.parent, ensure_ascii=False)}"
    return Outcome(text, data, page=signed.page, files=files, files_tree=settings.store_tree)


def finish(settings: SignSettings, reports: Sequence[Report]) -> list[str]:
    """Once the pages are written: the header form's server rules written, and what the run leaves to
    watch, as the texts of its warnings (`brevane sign` prints each as "brevane: warning: TEXT").
    Raises UsageError when the rules cannot be written."""
    return _write_rules(settings, reports) + _store_warnings(settings, reports)


def _write_rules(settings: SignSettings, reports: Sequence[Report]) -> list[str]:
    """The header form's rules: at the site's root (or in --rules-dir), or for pages written to object
    storage, as objects at the root of the prefix they are written below (where a static host reads
    `_headers`, and whatever serves a copy of the prefix finds the others)."""
    site: Union[Path, Site, None] = settings.site_root
    if settings.rules_in_objects:
        written = [r for r in reports if r.ok and "site" in r.data]
        site = Site(prefix=str(written[0].data["site"]), storage=settings.storage) if written else None
    if site is None:
        return []
    announced = [serving.Announced(str(r.data["page_url"]), str(r.data["href"]))
                 for r in reports if r.ok and "page_url" in r.data]
    local = settings.site_root
    stores = settings.store_tree or (os.path.join(local, settings.store_prefix) if local is not None else "")
    try:
        announced += _stored_before(site, stores, {a.page for a in announced}, settings.href,
                                           settings.store_prefix)
        return serving.write_rules(
            settings.rules_dir or site, announced, store_prefix=settings.store_prefix, href=settings.href is not None,
            site=settings.site_root if settings.rules_dir else None, in_site=False if settings.rules_dir else None,
        )
    except (OSError, ValueError) as exc:
        raise UsageError(str(exc)) from None


def _finish(settings: SignSettings, reports: Sequence[Report]) -> None:
    for warning in finish(settings, reports):
        print(f"brevane: warning: {warning}", file=sys.stderr)


def _store_warnings(settings: SignSettings, reports: Sequence[Report]) -> list[str]:
    # One pass, keeping a count and the largest store of each kind: a run's reports may outnumber memory.
    signed = False
    kinds: dict[str, tuple[int, tuple[int, str, int]]] = {}  # "grown" or "large": count, (size, page, versions)
    for r in reports:
        if r.ok and "store_size" in r.data:
            signed, versions, size = True, r.data.get("manifests", 1), r.data["store_size"]
            kind = "grown" if versions > 2 or (versions > 1 and size > LARGE_STORE) else \
                "large" if versions == 1 and size > LARGE_STORE else None
            if kind is not None:
                count, top = kinds.get(kind, (0, (-1, "", 0)))
                kinds[kind] = (count + 1, top if top[0] >= size else (size, r.path, versions))
    warnings = []
    if signed and settings.credential.tsa_url is None:
        ends = certificate_end(settings.credential.cert_chain_pem)
        warnings.append(
            f"signed without a time-stamp authority: once the signing certificate expires "
            f"({ends:%Y-%m-%d %H:%M} UTC), readers no longer accept these signatures; time-stamp them "
            "with --tsa-url URL (or ta_url in the manifest definition)"
        )
    if "grown" in kinds:
        count, (size, page, versions) = kinds["grown"]
        warnings.append(
            f"{count:,} store{'s' if count != 1 else ''} keep{'s' if count == 1 else ''} every earlier version of "
            f"{'its page' if count == 1 else 'their pages'} (each parent ingredient holds the whole "
            f"history before it), so each re-signing makes them larger: {page}'s is "
            f"{size:,} bytes with {versions} versions; sign once with --replace to keep only the newest"
        )
    if "large" in kinds:
        count, (size, page, _) = kinds["large"]
        warnings.append(
            f"{count:,} store{'s' if count != 1 else ''} {'is' if count == 1 else 'are'} over "
            f"{LARGE_STORE // 1024} KB ({page}'s is {size:,} bytes): what the manifest definition holds makes "
            "them so, and readers fetch or parse all of it with each page"
        )
    return warnings


def _reads_back(settings: SignSettings) -> tuple[str, ...]:
    """What --skip-valid reads of an output (see `_made_already`): the page, and its store beside it."""
    if not settings.skip_valid or settings.in_place or settings.form == "header":
        return ()
    return ("", STORE_SUFFIX) if settings.reference else ("",)


SIGN: Command[SignSettings] = Command(
    "sign", summary("sign"),
    add_arguments, _prepare, _sign, output="edit", hash_alg=True, done="signed", finish=_finish,
    reads_back=_reads_back, needs_pages=True,
)
