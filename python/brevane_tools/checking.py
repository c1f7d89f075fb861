"""Check signed HTML pages with the C2PA SDK and with brevane, where they live.

The SDK validates a page against a Manifest Store handed to it, but it knows no
HTML container. Where an HTML page keeps its manifest is brevane's knowledge:
`check_page` lets brevane answer the one question the SDK cannot (whether the
binding's exclusion is exactly the manifest element of the page), `check_file`
finds the store of a local page through its own `href`, and `check_url` fetches
a page and its store over HTTP (see `brevane_tools.remote` for what a fetch
will and will not do). Nothing here writes a file.

What the SDK trusts is a `brevane_tools.trust.TrustPolicy`.
"""

from __future__ import annotations

import base64
import dataclasses
import hashlib
import io
import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Union

import brevane

from brevane_tools import sdk, store_location
from brevane_tools.files.reading import read_page
from brevane_tools.head import extract
from brevane_tools.limits import HASH_ALGS, STORE_MEDIA_TYPE
from brevane_tools.signing.definition import DATA_HASH_LABEL, HTML_FORMAT
from brevane_tools.store_location import Site
from brevane_tools.trust import TrustPolicy, sdk_context

if TYPE_CHECKING:  # remote needs requests, which comes with the SDK's extra
    from brevane_tools.remote import FetchLimits

__all__ = ["CheckResult", "check_file", "check_page", "check_url"]

#: The code the SDK gives an inline store's exclusion, which it cannot place in a page.
_PLACE_CODE = "assertion.dataHash.mismatch"
WAIVER_REASON = (
    "waived: the C2PA SDK knows no HTML container and flags every exclusion as not being the "
    "manifest's location; brevane confirmed the exclusion is exactly the page's manifest element "
    "and the SDK found the hash itself a match"
)

SOURCE_WORDS = {
    "inline": "inline store",
    "link": "store from the page's link element",
    "header": "store from the HTTP Link header",
    "store-option": "store given with --store",
    "beside": "header form, beside the page",
    "store-dir": "header form, in the store directory",
}


@dataclass(frozen=True)
class CheckResult:
    """One page's verdict, from the C2PA SDK and from brevane, and what its manifest says."""

    #: "Trusted", "Valid" or "Invalid": the SDK's state once brevane has answered the question of the
    #: manifest's place in the page (see `waived`).
    state: str
    #: The status codes that decide: the failure codes if any, else the success codes (with "assertion.dataHash.match").
    codes: tuple[str, ...]
    #: brevane's own verdict: "match", or the module's message with its status code.
    verdict: str
    kind: str  # "embedded" or "referenced"
    sdk_state: str  # the SDK's own validation state, unchanged
    success: tuple[str, ...] = ()
    informational: tuple[str, ...] = ()
    #: Each failure once, as (code, explanation): the SDK may give one code for two different reasons
    #: (brevane's own words for its own codes).
    failure_entries: tuple[tuple[str, str], ...] = ()
    #: Each waived failure once, as (code, the SDK's explanation): SDK failures that brevane's check
    #: answers instead. The SDK flags every exclusion of a page whose container it does not know as
    #: "not the manifest location", while brevane has just confirmed that it is exactly the manifest
    #: element (and the SDK reported the hash itself as a match).
    waived_entries: tuple[tuple[str, str], ...] = ()
    #: Where the store came from: "inline", "link", "header" or "store-option"; for a page on disk
    #: without element, "beside" (its PAGE.c2pa) or "store-dir" (its file in the store directory).
    source: str = "inline"
    store_location: Optional[str] = None  # the store's path or URL, when not inline
    warnings: tuple[str, ...] = ()
    title: Optional[str] = None
    claim_generator: Optional[str] = None
    signer: Optional[dict[str, Optional[str]]] = None  # {"subject", "issuer"}
    signed_at: Optional[str] = None  # ISO 8601, from a time-stamp; None when not time-stamped
    #: The SDK's manifest store report, in full (`Reader.detailed_json`).
    detailed: dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    #: The SDK's manifest report (`Reader.json`), when asked for with `report=True`.
    report: dict[str, Any] = field(default_factory=dict, repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return self.state in ("Valid", "Trusted") and self.verdict == "match"

    @property
    def failures(self) -> tuple[str, ...]:
        """The failure codes, each once."""
        return tuple(dict.fromkeys(code for code, _ in self.failure_entries))

    @property
    def waived(self) -> tuple[str, ...]:
        """The waived failure codes, each once."""
        return tuple(dict.fromkeys(code for code, _ in self.waived_entries))

    @property
    def explanations(self) -> dict[str, str]:
        """What each failure code means."""
        return dict(self.waived_entries + self.failure_entries)

    def as_dict(self) -> dict[str, Any]:
        return {
            "state": self.state,
            "ok": self.ok,
            "kind": self.kind,
            "source": self.source,
            "store_location": self.store_location,
            "title": self.title,
            "claim_generator": self.claim_generator,
            "signer": self.signer,
            "signed_at": self.signed_at,
            "codes": list(self.codes),
            "failures": _entries(self.failure_entries),
            "warnings": list(self.warnings),
            "verdict": self.verdict,
            "sdk_state": self.sdk_state,
            "success": list(self.success),
            "informational": list(self.informational),
            "waived": [dict(e, reason=WAIVER_REASON) for e in _entries(self.waived_entries)],
        }

    def describe(self) -> str:
        """One line for people: the state, where the store came from, who signed, each failure."""
        where = SOURCE_WORDS.get(self.source, self.source)
        if self.store_location:
            where += f" {self.store_location}"
        parts = [f"{self.state} ({where})"]
        if self.signer:
            parts.append(f"signed by {self.signer.get('subject') or '?'}")
        if self.signed_at:
            parts.append(f"at {self.signed_at}")
        parts += [f"{code}: {text or 'no explanation given'}" for code, text in self.failure_entries]
        if self.verdict != "match" and brevane_code(self.verdict) not in self.failures:
            parts.append(f"brevane: {self.verdict}")
        parts += [
            f"waived: {code}: {text or 'no explanation given'} (the C2PA SDK cannot place an "
            "inline store in HTML; brevane found the manifest element is exactly the exclusion)"
            for code, text in self.waived_entries
        ]
        parts += [f"warning: {w}" for w in self.warnings]
        return "; ".join(parts)


def _entries(entries: tuple[tuple[str, str], ...]) -> list[dict[str, str]]:
    return [{"code": code, "explanation": text} for code, text in entries]


def check_page(
    html: bytes,
    store: Optional[bytes] = None,
    *,
    trust_anchors: Optional[bytes] = None,
    policy: Optional[TrustPolicy] = None,
    report: bool = False,
) -> CheckResult:
    """Validate a signed page with the C2PA SDK and with brevane.

    `store` is needed for a page that references its store, or names it only
    in an HTTP Link header (nothing is fetched: see `check_file` and
    `check_url`); a page that carries its store inline uses that one, and a
    given store must then be the same.
    `trust_anchors` is PEM text of root certificates to trust (a shorthand for
    `policy=TrustPolicy(trust_anchors=...)`); without either the SDK's own
    default settings apply. `report=True` also keeps the SDK's manifest report
    (`CheckResult.report`, as `brevane show --json` prints it). Raises the
    module's ValueError when the page carries no usable association.
    """
    association: Any = extract(html) if store is not None else _association(html)
    policy = _policy(policy, trust_anchors)
    if association is not None and association["kind"] == "embedded":
        if store is not None and store != association["store"]:
            raise ValueError("the page carries a Manifest Store other than the one given")
        return _validate(html, association["store"], policy, "inline", None, report=report)
    if store is None:
        raise ValueError(
            f"the page references its Manifest Store at {association['href']!r}: give that store (nothing is fetched)"
        )
    return _validate(html, store, policy, "store-option", None, report=report)


def check_file(
    path: Path,
    html: Optional[bytes] = None,
    *,
    site_root: Union[Path, Site, None] = None,
    policy: Optional[TrustPolicy] = None,
    limits: Optional[FetchLimits] = None,
    report: bool = False,
    store_dir: Union[Path, Site, None] = None,
) -> CheckResult:
    """Validate a local page, finding a referenced store through the page's own `href`.

    The href leads where a browser would take it once the site is served from `site_root` (default:
    the page's directory; a `store_location.Site` for a page in object storage, `path` its place there):
    see `brevane_tools.store_location`. A store in the site is read only if it lies under the site root;
    one at an http or https URL is fetched (`limits`: `remote.FetchLimits`); nothing else is read. A page
    without a manifest element is checked with the store the header form keeps for it (beside it, or
    under `store_dir`), when there is one.
    """
    fetch_limits = _limits(limits)
    if html is None:
        html = read_page(path, fetch_limits.page_bytes)
    site = site_root if isinstance(site_root, Site) else Site(site_root if site_root is not None else path.parent)
    found = store_location.lookup(html, path, site, fetch_limits.store_bytes, store_dir=store_dir,
                                  flag="--max-store-size")
    if found is None:
        _association(html)  # the module's own error for a page without element
    assert found is not None
    return _checked(html, found, policy, fetch_limits, [], report)


def check_url(
    url: str,
    store: Optional[bytes] = None,
    *,
    policy: Optional[TrustPolicy] = None,
    limits: Optional[FetchLimits] = None,
    report: bool = False,
) -> CheckResult:
    """Fetch a page over http(s) and validate it with the store it names.

    Inline → that store; a link element → its `href` resolved against the
    page's URL (after redirects) and `<base href>`, fetched; no element → the
    first `rel="c2pa-manifest"` target of the HTTP `Link` header. An element
    in the page wins over the header. A given `store` replaces the page's
    (as `--store` does). `limits` is a `remote.FetchLimits`. Raises
    ValueError (a `remote.FetchError` for fetches) with one line naming the URL.
    """
    from brevane_tools import remote

    fetch_limits = _limits(limits)
    if not remote.is_web_url(url):
        raise ValueError(f"{url} is not an http or https URL")
    page = remote.fetch(url, "the page", fetch_limits.page_bytes, fetch_limits, trusted_host=url)
    html = page.body
    if store is not None:
        return check_page(html, store, policy=policy, report=report)
    linked = remote.manifest_links(page.link_header, page.url)
    found, warnings = store_location.lookup_on_web(html, page.url, linked)
    return _checked(html, found, policy, fetch_limits, warnings, report, page.url)


def _checked(html: bytes, found: store_location.Found, policy: Optional[TrustPolicy], limits: FetchLimits,
             warnings: list[str], report: bool, page_url: Optional[str] = None) -> CheckResult:
    """The verdict with the store found, fetched first when it lies on the web."""
    from brevane_tools import remote

    if found.store is not None:
        return _validate(html, found.store, policy, found.source, found.location, warnings, report)
    assert found.location is not None
    fetched = remote.fetch(found.location, "the Manifest Store", limits.store_bytes, limits, trusted_host=page_url)
    if fetched.content_type != STORE_MEDIA_TYPE:
        served = repr(fetched.content_type) if fetched.content_type else "no media type"
        warnings = [*warnings, f"the store at {fetched.url} is served as {served}, not {STORE_MEDIA_TYPE}"]
    return _validate(html, fetched.body, policy, found.source, fetched.url, warnings, report)


def _limits(limits: Optional[FetchLimits]) -> FetchLimits:
    from brevane_tools import remote

    return limits if limits is not None else remote.FetchLimits()


def _policy(policy: Optional[TrustPolicy], trust_anchors: Optional[bytes]) -> Optional[TrustPolicy]:
    if trust_anchors is None:
        return policy
    return dataclasses.replace(policy or TrustPolicy(), trust_anchors=trust_anchors.decode("ascii"))


def _association(html: bytes) -> Any:
    association = extract(html)
    if association is None:
        # The module's own message, raised the module's own way.
        brevane.compute_data_hash(html)
        raise AssertionError("unreachable")  # pragma: no cover
    return association


def _validate(
    html: bytes,
    store: bytes,
    policy: Optional[TrustPolicy],
    source: str,
    location: Optional[str],
    warnings: Optional[list[str]] = None,
    report: bool = False,
) -> CheckResult:
    # A page without element names its store elsewhere (an HTTP Link header,
    # --store): like a linked one, it is bound whole.
    association = extract(html)
    kind = association["kind"] if association is not None else "referenced"
    detailed, manifest_report = _sdk_reports(html, store, policy, location, report)
    manifest = sdk.active_manifest(detailed)
    active = detailed.get("validation_results", {}).get("activeManifest", {})
    success, failure, informational = (
        [e for e in active.get(key, []) if isinstance(e, dict)] for key in ("success", "failure", "informational")
    )
    verdict = _verdict(html, manifest, association)
    matched = {e.get("url") for e in success if e.get("code") == "assertion.dataHash.match"}
    waivable = verdict == "match" and kind == "embedded"
    waived = [e for e in failure if waivable and e.get("code") == _PLACE_CODE and e.get("url") in matched]
    kept = _distinct([e for e in failure if e not in waived])
    code = brevane_code(verdict) if verdict != "match" else None
    if code and code not in {c for c, _ in kept}:
        kept.append((code, f"brevane: {verdict}"))
    success_codes = tuple(str(e.get("code")) for e in success)
    sdk_state = str(detailed.get("validation_state"))
    if kept:
        state = "Invalid"
    elif waived:
        state = "Trusted" if "signingCredential.trusted" in success_codes else "Valid"
    else:
        state = sdk_state
    claim, signature = (part if isinstance(part := manifest.get(name), dict) else {} for name in ("claim", "signature"))
    return CheckResult(
        state=state,
        codes=tuple(dict.fromkeys(c for c, _ in kept)) or success_codes,
        verdict=verdict,
        kind=kind,
        sdk_state=sdk_state,
        success=success_codes,
        informational=tuple(str(e.get("code")) for e in informational),
        failure_entries=tuple(kept),
        waived_entries=tuple(_distinct(waived)),
        source=source,
        store_location=location,
        warnings=tuple(warnings or ()),
        title=_text(claim.get("dc:title")),
        claim_generator=_generator(claim),
        signer={"subject": _text(signature.get("common_name")), "issuer": _text(signature.get("issuer"))}
        if signature else None,
        signed_at=_text(signature.get("time")),
        detailed=detailed,
        report=manifest_report,
    )


def _sdk_reports(html: bytes, store: bytes, policy: Optional[TrustPolicy], location: Optional[str],
                 report: bool) -> tuple[dict[str, Any], dict[str, Any]]:
    """The SDK's manifest store report; and its manifest report, with `report`."""
    c2pa = sdk.load()
    context = sdk_context(policy)
    try:
        reader = c2pa.Reader(HTML_FORMAT, io.BytesIO(html), store, context=context)
    except c2pa.C2paError as exc:
        where = f" at {location}" if location else ""
        raise ValueError(f"the C2PA SDK could not read the Manifest Store{where}: {exc}") from exc
    with reader:
        # One report carries the state and the results too: asking for each
        # separately would have the SDK build and serialise them again.
        detailed = json.loads(reader.detailed_json())
        # The plain report costs as much again to make and parse: only `show` wants it.
        return detailed, json.loads(reader.json()) if report else {}


def _verdict(html: bytes, manifest: Mapping[str, Any], association: Any) -> str:
    """brevane's verdict on the binding the store carries."""
    data = manifest.get("assertion_store", {}).get(DATA_HASH_LABEL)
    if not isinstance(data, dict):
        return f"the Manifest Store has no {DATA_HASH_LABEL} assertion"
    alg, digest, exclusions = _binding_from(data)
    if association is None:
        return whole_page_verdict(html, alg, digest, exclusions)
    return binding_verdict(html, digest, exclusions, alg)


def _distinct(entries: list[dict[str, str]]) -> list[tuple[str, str]]:
    """Each (code, explanation) once, in the SDK's order."""
    return list(dict.fromkeys((str(e.get("code")), str(e.get("explanation", ""))) for e in entries))


def binding_verdict(html: bytes, digest: bytes, exclusions: list[tuple[int, int]], alg: str) -> str:
    """The module's verdict on a page's binding: "match", or what went wrong, status code last.

    An edit before the manifest element moves it off the excluded range, which
    the module can only call a malformed exclusion; said here as what happened.
    """
    try:
        brevane.verify_data_hash(html, digest, exclusions, alg)
    except ValueError as exc:
        message = str(exc)
    else:
        return "match"
    if brevane_code(message) == "assertion.dataHash.malformed" and len(exclusions) == 1:
        try:
            located = brevane.locate_all(html)
        except ValueError:
            return message
        (start, length), = exclusions
        if len(located) == 1 and located[0][1] == length and located[0][0] != start:
            return (
                f"the page changed before the manifest element (the element moved from byte {start} to "
                f"byte {located[0][0]}) [assertion.dataHash.malformed]"
            )
    return message


def whole_page_verdict(html: bytes, alg: str, digest: bytes, exclusions: list[tuple[int, int]]) -> str:
    """brevane's verdict on a page without element (its binding covers all of it): the module hashes only
    pages that carry one."""
    if exclusions:
        return "the binding excludes bytes, but the page has no manifest element [assertion.dataHash.mismatch]"
    if alg not in HASH_ALGS:
        return f"unsupported hash algorithm: {alg} [algorithm.unsupported]"
    if hashlib.new(alg, html).digest() != digest:
        return "data hash does not match the document content [assertion.dataHash.mismatch]"
    return "match"


def _text(value: Any) -> Optional[str]:
    return str(value) if value not in (None, "") else None


def _generator(claim: Mapping[str, Any]) -> Optional[str]:
    """The claim generator as "name version" (v2 claims), or the v1 claim's string."""
    info = claim.get("claim_generator_info")
    if isinstance(info, list):
        info = info[0] if info else None
    if isinstance(info, dict) and info.get("name"):
        return " ".join(str(v) for v in (info.get("name"), info.get("version")) if v)
    return _text(claim.get("claim_generator"))


def brevane_code(message: str) -> Optional[str]:
    """The status code that the module puts in brackets at the end of a message."""
    if message.endswith("]") and " [" in message:
        return message[message.rindex(" [") + 2 : -1]
    return None


def _binding_from(data: Mapping[str, Any]) -> tuple[str, bytes, list[tuple[int, int]]]:
    raw_hash = data.get("hash", b"")
    # The SDK writes byte strings as Base64 text in its JSON reports.
    digest = base64.b64decode(raw_hash) if isinstance(raw_hash, str) else bytes(raw_hash)
    exclusions = [(int(e["start"]), int(e["length"])) for e in data.get("exclusions") or []]
    return str(data.get("alg", "sha256")), digest, exclusions
