"""Check signed HTML pages with the C2PA SDK and with brevane.

The SDK validates a page against a Manifest Store handed to it, but it knows no
HTML container. Where an HTML page keeps its manifest is brevane's knowledge,
so `check_page` lets brevane answer the one question the SDK cannot: whether
the binding's exclusion is exactly the manifest element of the page.
"""

from __future__ import annotations

import base64
import io
import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Optional

import brevane

from brevane_tools import signing
from brevane_tools.signing import DATA_HASH_LABEL, HTML_FORMAT

__all__ = ["CheckResult", "check_page"]


@dataclass(frozen=True)
class CheckResult:
    """One page's verdict, from the C2PA SDK and from brevane."""

    #: "Trusted", "Valid" or "Invalid": the SDK's state once brevane has answered
    #: the question of the manifest's place in the page (see `waived`).
    state: str
    #: The status codes that decide: the failure codes if there are any, else
    #: the success codes (with "assertion.dataHash.match").
    codes: tuple[str, ...]
    #: brevane's own verdict: "match", or the module's message with its status code.
    verdict: str
    kind: str  # "embedded" or "referenced"
    sdk_state: str  # the SDK's own validation state, unchanged
    success: tuple[str, ...] = ()
    failures: tuple[str, ...] = ()
    informational: tuple[str, ...] = ()
    #: SDK failures that brevane's check answers instead: the SDK flags every
    #: exclusion of a page whose container it does not know as "not the
    #: manifest location", while brevane has just confirmed that it is exactly
    #: the manifest element (and the SDK reported the hash itself as a match).
    waived: tuple[str, ...] = ()
    explanations: dict[str, str] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return self.state in ("Valid", "Trusted") and self.verdict == "match"

    def as_dict(self) -> dict[str, Any]:
        return {
            "state": self.state,
            "ok": self.ok,
            "codes": list(self.codes),
            "verdict": self.verdict,
            "kind": self.kind,
            "sdk_state": self.sdk_state,
            "success": list(self.success),
            "failures": list(self.failures),
            "informational": list(self.informational),
            "waived": list(self.waived),
        }


def _reader_context(sdk: Any, trust_anchors: Optional[bytes]) -> Any:
    if trust_anchors is None:
        return None
    settings = sdk.Settings.from_dict(
        {"trust": {"trust_anchors": trust_anchors.decode("ascii")}, "verify": {"verify_trust": True}}
    )
    return sdk.Context(settings)


def check_page(
    html: bytes, store: Optional[bytes] = None, *, trust_anchors: Optional[bytes] = None
) -> CheckResult:
    """Validate a signed page with the C2PA SDK and with brevane.

    `store` is needed for a page that references its store (nothing is
    fetched); a page that carries its store inline uses that one, and a given
    store must then be the same. `trust_anchors` is PEM text of root
    certificates to trust; without it the SDK's own default settings apply.
    Raises the module's ValueError when the page carries no usable association.
    """
    association = brevane.extract(html)
    if association is None:
        # The module's own message, raised the module's own way.
        brevane.compute_data_hash(html)
        raise AssertionError("unreachable")  # pragma: no cover
    if association["kind"] == "embedded":
        if store is not None and store != association["store"]:
            raise ValueError("the page carries a Manifest Store other than the one given")
        store = association["store"]
    elif store is None:
        raise ValueError(
            f"the page references its Manifest Store at {association['href']!r}: "
            "give that store (nothing is fetched)"
        )

    verdict = "match"
    binding_alg = "sha256"
    sdk = signing._sdk()
    try:
        reader = sdk.Reader(HTML_FORMAT, io.BytesIO(html), store, context=_reader_context(sdk, trust_anchors))
    except sdk.C2paError as exc:
        raise ValueError(f"the C2PA SDK could not read the Manifest Store: {exc}") from exc
    with reader:
        sdk_state = str(reader.get_validation_state())
        results = reader.get_validation_results() or {}
        binding = _data_hash_of(reader)
    active = results.get("activeManifest", {})

    def entries(kind: str) -> list[dict[str, str]]:
        return [e for e in active.get(kind, []) if isinstance(e, dict)]

    success, failure, informational = entries("success"), entries("failure"), entries("informational")
    if binding is None:
        verdict = f"the Manifest Store has no {DATA_HASH_LABEL} assertion"
    else:
        binding_alg, digest, exclusions = binding
        try:
            brevane.verify_data_hash(html, digest, exclusions, binding_alg)
        except ValueError as exc:
            verdict = str(exc)

    matched_urls = {e.get("url") for e in success if e.get("code") == "assertion.dataHash.match"}
    waived: list[dict[str, str]] = []
    kept: list[dict[str, str]] = []
    for entry in failure:
        if (
            verdict == "match"
            and entry.get("code") == "assertion.dataHash.mismatch"
            and entry.get("url") in matched_urls
        ):
            waived.append(entry)
        else:
            kept.append(entry)

    failure_codes = [str(e.get("code")) for e in kept]
    if verdict != "match":
        code = _status_code(verdict)
        if code and code not in failure_codes:
            failure_codes.append(code)
    success_codes = tuple(str(e.get("code")) for e in success)
    if failure_codes:
        state = "Invalid"
    elif waived:
        state = "Trusted" if "signingCredential.trusted" in success_codes else "Valid"
    else:
        state = sdk_state
    explanations = {str(e.get("code")): str(e.get("explanation", "")) for e in kept + waived}
    return CheckResult(
        state=state,
        codes=tuple(failure_codes) if failure_codes else success_codes,
        verdict=verdict,
        kind=association["kind"],
        sdk_state=sdk_state,
        success=success_codes,
        failures=tuple(failure_codes),
        informational=tuple(str(e.get("code")) for e in informational),
        waived=tuple(str(e.get("code")) for e in waived),
        explanations=explanations,
    )


def _status_code(message: str) -> Optional[str]:
    """The status code that the module puts in brackets at the end of a message."""
    if message.endswith("]") and " [" in message:
        return message[message.rindex(" [") + 2 : -1]
    return None


def _data_hash_of(reader: Any) -> Optional[tuple[str, bytes, list[tuple[int, int]]]]:
    """The active manifest's data hash binding, as the SDK decoded it from the store."""
    # The plain report leaves hard bindings out; the detailed one keeps every
    # assertion of a manifest under its label.
    report = json.loads(reader.detailed_json())
    manifest = report.get("manifests", {}).get(report.get("active_manifest"), {})
    data = manifest.get("assertion_store", {}).get(DATA_HASH_LABEL)
    return _binding_from(data) if isinstance(data, dict) else None


def _binding_from(data: Mapping[str, Any]) -> tuple[str, bytes, list[tuple[int, int]]]:
    raw_hash = data.get("hash", b"")
    # The SDK writes byte strings as Base64 text in its JSON reports.
    digest = base64.b64decode(raw_hash) if isinstance(raw_hash, str) else bytes(raw_hash)
    exclusions = [(int(e["start"]), int(e["length"])) for e in data.get("exclusions") or []]
    return str(data.get("alg", "sha256")), digest, exclusions
