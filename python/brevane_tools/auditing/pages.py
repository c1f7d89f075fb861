"""One page of a deployed site, audited as a reader's browser and a verifier would get it.

The page is fetched as served (headers, redirects and all), its store is found
where a verifier finds it (inline, the link element, else the Link header) and
fetched with the page's Origin, as a verifier in a browser would ask for it.
Then the existing checking engine validates the pair, and what the deployment
did is said as findings (see `auditing.findings`). Nothing is written; the
only file read is the signed page under `--source`, inside that tree.
"""

from __future__ import annotations

import dataclasses
import os
import threading
import zlib
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Callable, Optional
from urllib.parse import unquote, urlsplit

import brevane

from brevane_tools import checking, remote, store_location
from brevane_tools.auditing import certificates
from brevane_tools.auditing.diffing import difference, element_moved
from brevane_tools.auditing.findings import Finding, finding
from brevane_tools.auditing.links import origin, page_links
from brevane_tools.files.reading import read_file
from brevane_tools.limits import FORM_OF_KIND, MANIFEST_REL, STORE_MEDIA_TYPE, STORE_SUFFIX
from brevane_tools.trust import TrustPolicy

__all__ = ["PageAudit", "PageSettings", "audit_page"]

_HTML_TYPES = ("text/html", "application/xhtml+xml", "")
_UNDONE_CODINGS = ("", "identity", "gzip", "x-gzip", "deflate")
_BINDING_CODES = ("assertion.dataHash.mismatch", "assertion.dataHash.malformed")
_EXPIRY_WINDOW = timedelta(days=30)
# One page is checked at a time. The SDK reads the page through Python callbacks, and each of its
# calls gives the GIL up: with several checks at once, every one of them handed the GIL to another
# thread (some 60 context switches and 0.8 ms of CPU per page at --concurrency 8, against 12 now).
# Fetches still overlap the check.
_CHECKING = threading.Lock()


@dataclass(frozen=True)
class PageSettings:
    """What auditing one page needs: how to trust, how far to fetch, where the signed pages are."""

    policy: Optional[TrustPolicy] = None
    limits: remote.FetchLimits = field(default_factory=remote.FetchLimits)
    source: Optional[Path] = None  # the signed output tree, its root at the URL path "/"
    #: Called with each URL before it is fetched: it waits for the host's turn (--rate).
    pace: Callable[[str], None] = lambda _url: None


@dataclass
class PageAudit:
    """What became of one page: its check, its findings, and the links a crawl follows."""

    url: str
    findings: list[Finding] = field(default_factory=list)
    result: dict[str, Any] = field(default_factory=dict)  # the checking engine's fields (CheckResult.as_dict)
    state: str = ""  # the check's state; "" when nothing could be checked
    error: Optional[str] = None  # the page itself could not be fetched
    skipped: Optional[str] = None  # why the page was not audited (not HTML)
    links: list[str] = field(default_factory=list)
    final_url: str = ""


def audit_page(url: str, settings: PageSettings, *, follow_links: bool = False) -> PageAudit:
    """Audit one page; a fetch or check failure is part of the result, never raised."""
    audit = PageAudit(url)
    limits = settings.limits
    try:
        settings.pace(url)
        page = remote.fetch(url, "the page", limits.page_bytes, limits, trusted_host=url)
    except ValueError as exc:
        audit.error = str(exc)
        return audit
    audit.final_url = page.url
    if page.content_type not in _HTML_TYPES:
        audit.skipped = f"not an HTML page ({page.content_type})"
        return audit
    if follow_links:
        audit.links = page_links(page.body, page.url)
    if page.redirects:
        audit.findings.append(finding("redirect", f"the page is reached through {_chain(page)}"))
    _audit_signed(audit, page, settings)
    return audit


def _chain(fetched: remote.Fetched) -> str:
    hops = " -> ".join(f"{where} ({status})" for status, where in fetched.redirects)
    count = len(fetched.redirects)
    return f"{count} redirect{'s' if count != 1 else ''}: {hops} -> {fetched.url}"


def _audit_signed(audit: PageAudit, page: remote.Fetched, settings: PageSettings) -> None:
    html = page.body
    try:
        association = brevane.extract(html)
    except ValueError as exc:
        audit.findings.append(finding("untrusted", f"the page's manifest element cannot be used: {exc}"))
        return
    header_targets = remote.manifest_links(page.link_header, page.url)
    if association is None and not header_targets:
        audit.findings.append(finding("unsigned", _unsigned(page.url, settings.source)))
        return
    target, source = _store_target(audit, association, header_targets, page)
    store: Optional[bytes] = None
    if association is not None and association["kind"] == "embedded":
        store = association["store"]
    elif target is None:
        return  # the href leads nowhere a verifier reads: said as store-missing
    else:
        store = _fetch_store(audit, target, page, settings.limits, settings.pace)
        if store is None:
            return
    try:
        # An inline store is the page's own; any other is handed over.
        with _CHECKING:
            result = checking.check_page(html, None if target is None else store, policy=settings.policy)
    except ValueError as exc:
        audit.findings.append(finding("untrusted", str(exc)))
        return
    result = dataclasses.replace(result, source=source, store_location=target)
    audit.result = result.as_dict()
    audit.state = result.state
    _judge(audit, result, html, page, settings, store)


def _unsigned(url: str, source: Optional[Path]) -> str:
    message = f'the page carries no manifest: no element in its head, and no Link header with rel="{MANIFEST_REL}"'
    if source is None:
        return message
    found = source_page(source, url)
    if found is not None and os.path.isfile(str(found[0]) + STORE_SUFFIX):
        return message + f"; the signed tree has a store for it ({found[0].name}{STORE_SUFFIX}): its Link header is missing"
    if found is not None and brevane.locate_all(found[1]):
        return message + "; the signed page carries one: the element was removed on the way"
    return message


def _store_target(
    audit: PageAudit, association: Any, header_targets: list[str], page: remote.Fetched
) -> tuple[Optional[str], str]:
    """The store's URL (None: inline, or nowhere) and where it was named; a conflict is a finding."""
    element: Optional[str] = None
    if association is not None and association["kind"] == "referenced":
        try:
            element = store_location.locate_on_web(association["href"], page.body, page.url)
        except ValueError as exc:
            audit.findings.append(finding("store-missing", str(exc)))
    named_here = element is not None or (association is not None and association["kind"] == "embedded")
    if header_targets and named_here and header_targets[0] != element:
        named = f"its link element names {element}" if element else "it carries its store inline"
        audit.findings.append(finding(
            "link-conflict", f"the Link header names the store {header_targets[0]}, while {named}: "
            "verifiers that read the header get another store"))
    if association is not None:
        return element, FORM_OF_KIND.get(association["kind"], "inline")
    return header_targets[0], "header"


def _fetch_store(audit: PageAudit, target: str, page: remote.Fetched, limits: remote.FetchLimits,
                 pace: Callable[[str], None]) -> Optional[bytes]:
    """The store's bytes as a verifier would use them, or None (store-missing); its serving is judged."""
    page_origin = origin(page.url)
    if urlsplit(page.url).scheme.lower() == "https" and urlsplit(target).scheme.lower() == "http":
        audit.findings.append(finding("mixed-content", f"the https page names its store at {target}, over http"))
    try:
        pace(target)
        fetched = remote.fetch(target, "the Manifest Store", limits.store_bytes, limits, trusted_host=page.url,
                               headers={"Origin": page_origin}, decode=False)
    except ValueError as exc:
        audit.findings.append(finding("store-missing", str(exc)))
        return None
    if fetched.redirects:
        audit.findings.append(finding("redirect", f"the store is reached through {_chain(fetched)}"))
    if fetched.content_type != STORE_MEDIA_TYPE:
        served = repr(fetched.content_type) if fetched.content_type else "no media type"
        audit.findings.append(finding(
            "store-type", f"the store at {fetched.url} is served as {served}, not {STORE_MEDIA_TYPE}"))
    store_origin = origin(fetched.url)
    allowed = fetched.headers.get("access-control-allow-origin", "").strip()
    if store_origin != page_origin and allowed not in ("*", page_origin):
        said = f"Access-Control-Allow-Origin: {allowed}" if allowed else "no Access-Control-Allow-Origin"
        audit.findings.append(finding(
            "store-cors", f"the store at {fetched.url} is on {store_origin}, and answers the page's origin "
            f"{page_origin} with {said}: verifiers in a browser cannot read it"))
    store, problem = _undone(fetched, limits.store_bytes)
    if problem:
        audit.findings.append(finding("store-encoding", problem))
    return store


def _undone(fetched: remote.Fetched, cap: int) -> tuple[bytes, str]:
    """The store a verifier would get, and what was wrong with its coding ("" when nothing was)."""
    coding = fetched.headers.get("content-encoding", "").strip().lower()
    where = f"the store at {fetched.url}"
    body = fetched.body
    if coding not in _UNDONE_CODINGS:
        return body, f"{where} is served with Content-Encoding: {coding}, which the request did not accept"
    if coding not in ("", "identity"):
        try:
            body = _inflate(body, coding, cap)
        except ValueError as exc:
            return fetched.body, f"{where} says Content-Encoding: {coding}, but {exc}"
        if _is_store(body):
            # Browsers undo it; other verifiers' HTTP clients may not, and a store's bytes barely shrink.
            return body, (f"{where} is served compressed (Content-Encoding: {coding}): a verifier that does not "
                          "undo the coding gets compressed bytes")
    if _is_store(body):
        return body, ""
    if body.startswith(b"\x1f\x8b"):
        try:
            inner = _inflate(body, "gzip", cap)
        except ValueError:
            inner = b""
        if _is_store(inner):
            return inner, (f"{where} is a gzip file served without Content-Encoding: gzip: "
                           "verifiers get the compressed bytes, not the store")
    return body, f"{where} is not a C2PA Manifest Store as served (no JUMBF box): it was transformed on the way"


def _is_store(data: bytes) -> bool:
    return data[4:8] == b"jumb"


def _inflate(data: bytes, coding: str, cap: int) -> bytes:
    """Undo gzip or deflate, a bounded piece at a time; past `cap` bytes it is refused."""
    inflate = zlib.decompressobj(wbits=47 if coding in ("gzip", "x-gzip") else 15)
    try:
        out = inflate.decompress(data, cap + 1)
    except zlib.error as exc:
        raise ValueError(f"it is not valid {coding}: {exc}") from None
    if len(out) > cap:
        raise ValueError(f"it unpacks to more than {cap:,} bytes")
    return out


def _judge(audit: PageAudit, result: checking.CheckResult, html: bytes, page: remote.Fetched,
           settings: PageSettings, store: bytes) -> None:
    """The findings of a checked page: its binding, its trust, its caching, its certificate."""
    if result.verdict != "match":
        audit.findings.append(finding("binding-mismatch", _binding(result, html, page, settings.source)))
    others = [code for code in result.failures if code not in _BINDING_CODES]
    if others:
        entries = "; ".join(f"{c}: {e}" for c, e in result.failure_entries if c in others) or ", ".join(others)
        audit.findings.append(finding("untrusted", f"the signature does not validate: {entries}"))
    elif result.state == "Valid":
        audit.findings.append(finding(
            "untrusted", "the signature is valid, but its certificate is not trusted by the audit's trust settings"))
    if "no-transform" not in page.headers.get("cache-control", "").lower():
        said = page.headers.get("cache-control", "")
        audit.findings.append(finding(
            "no-transform", "the signed page is served " + (f"with Cache-Control: {said}" if said else
                                                            "without Cache-Control") + ", without no-transform"))
    if result.signed_at is None:
        _expiry(audit, result, store)


def _binding(result: checking.CheckResult, html: bytes, page: remote.Fetched, source: Optional[Path]) -> str:
    found = source_page(source, page.url) if source is not None else None
    if found is not None:
        change = difference(found[1], html, page.headers.get("content-type", ""))
        if change is not None:
            return change.describe(len(found[1]), len(html))
        return f"the page as served equals the signed page {found[0]}, but its binding fails: {result.verdict}"
    moved = element_moved(html)
    return f"{result.verdict}" + (f"; {moved}" if moved and "moved from byte" not in result.verdict else "")


def _expiry(audit: PageAudit, result: checking.CheckResult, store: bytes) -> None:
    subject = (result.signer or {}).get("subject")
    ends = certificates.signer_not_after(store, subject)
    if ends is None:
        return
    now = datetime.now(timezone.utc)
    if ends - now <= _EXPIRY_WINDOW:
        when = "ended" if ends <= now else f"ends in {(ends - now).days} days"
        audit.findings.append(finding(
            "certificate-expiring", f"the signing certificate {when} ({ends:%Y-%m-%d %H:%M} UTC) and the "
            "signature carries no time-stamp: readers stop accepting it then"))


def source_page(source: Path, url: str) -> Optional[tuple[Path, bytes]]:
    """The signed page in `source` at the URL's path (a directory's index.html), and its bytes; None if there is none."""
    path = unquote(urlsplit(url).path)
    segments = [s for s in path.split("/") if s not in ("", ".")]
    if ".." in segments or any("\x00" in s for s in segments):
        return None
    base = source.joinpath(*segments) if segments else source
    candidates = [base / "index.html"] if path.endswith("/") or not segments else [
        base, base.with_name(base.name + ".html"), base / "index.html"]
    within = os.path.realpath(source)
    for candidate in candidates:
        try:
            return candidate, read_file(candidate, 256 * 1024 * 1024, what="the signed page", within=within)
        except (OSError, ValueError):
            continue
    return None
