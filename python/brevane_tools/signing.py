"""Sign, publish and check HTML pages with real C2PA manifests.

The brevane module does the byte work (where the manifest element goes, what
the hard binding covers); the C2PA SDK (`c2pa-python`, CPython 3.10 or later)
builds, signs and validates the Manifest Store. Nothing here parses or
re-serialises HTML: every page leaves as the module spliced it.

The SDK knows no HTML container, so it signs the store "beside" the page (its
no-embed, sidecar mode) with the `c2pa.hash.data` assertion that we compute,
and it validates a page against a store handed to it. Where an HTML page keeps
its manifest is brevane's knowledge, so `check_page` lets brevane answer the
one question the SDK cannot: whether the binding's exclusion is exactly the
manifest element of the page.
"""

from __future__ import annotations

import base64
import copy
import io
import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

import brevane

if TYPE_CHECKING:
    import c2pa

__all__ = [
    "CheckResult",
    "SdkUnavailableError",
    "SigningError",
    "SigningKey",
    "check_page",
    "inline_element_length",
    "sign_page",
    "sign_page_with_reference",
]

#: The bytes that `embed` writes around the Base64 text of a store:
#: `<script type="application/c2pa">` (32) and `</script>` (9).
ELEMENT_OVERHEAD = 41

#: How often `sign_page` re-signs before it gives up on a stable element length.
#: The length settles in two or three rounds (a CBOR integer grows by at most a
#: few bytes when the length it encodes grows), so six is a generous bound.
MAX_SIGNING_ROUNDS = 6

DATA_HASH_LABEL = "c2pa.hash.data"
HTML_FORMAT = "text/html"

Manifest = Union[Mapping[str, Any], str]


class SigningError(ValueError):
    """The signing workflow could not produce a page whose binding holds."""


class SdkUnavailableError(ImportError):
    """The C2PA SDK binding (`c2pa-python`) is not installed here."""


def _sdk() -> Any:
    try:
        import c2pa as sdk
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise SdkUnavailableError(
            "signing and checking need the C2PA SDK: pip install 'brevane[c2pa]' "
            "(c2pa-python, CPython 3.10 or later)"
        ) from exc
    return sdk


def inline_element_length(store_size: int) -> int:
    """Length of the `script` element that `embed` writes for a store of this size."""
    return ELEMENT_OVERHEAD + 4 * ((store_size + 2) // 3)


@dataclass(frozen=True)
class SigningKey:
    """A signing credential as plain PEM texts.

    Unlike an SDK signer, this is picklable, so worker processes and Dask tasks
    can carry it and make their own signer with `signer()`.
    """

    cert_chain_pem: bytes  # end-entity certificate first, then its issuers
    private_key_pem: bytes
    alg: str = "es256"
    tsa_url: Optional[str] = None

    @classmethod
    def from_files(
        cls, cert_path: str, key_path: str, alg: str = "es256", tsa_url: Optional[str] = None
    ) -> SigningKey:
        with open(cert_path, "rb") as cert_file, open(key_path, "rb") as key_file:
            return cls(cert_file.read(), key_file.read(), alg, tsa_url)

    def signer(self) -> c2pa.Signer:
        sdk = _sdk()
        info = sdk.C2paSignerInfo(
            self.alg.encode("ascii"),
            self.cert_chain_pem,
            self.private_key_pem,
            self.tsa_url.encode("utf-8") if self.tsa_url else None,
        )
        try:
            return sdk.Signer.from_info(info)
        except sdk.C2paError as exc:
            raise SigningError(f"the C2PA SDK refused the signing key: {exc}") from exc


def _definition(manifest: Manifest) -> dict[str, Any]:
    """The caller's manifest definition as a fresh dict we may change."""
    if isinstance(manifest, str):
        try:
            loaded = json.loads(manifest)
        except json.JSONDecodeError as exc:
            raise SigningError(f"the manifest definition is not valid JSON: {exc}") from exc
    else:
        loaded = copy.deepcopy(dict(manifest))
    if not isinstance(loaded, dict):
        raise SigningError("the manifest definition must be a JSON object")
    assertions = loaded.get("assertions", [])
    if not isinstance(assertions, list):
        raise SigningError("the manifest definition's assertions must be a list")
    # A binding left over from an earlier signing would contradict the new one.
    loaded["assertions"] = [
        a for a in assertions if not (isinstance(a, dict) and a.get("label") == DATA_HASH_LABEL)
    ]
    return loaded


def _with_binding(
    definition: dict[str, Any], alg: str, digest: bytes, exclusions: list[tuple[int, int]]
) -> dict[str, Any]:
    signed = dict(definition)
    signed["assertions"] = [
        *definition["assertions"],
        {
            "label": DATA_HASH_LABEL,
            "data": {
                "alg": alg,
                "hash": list(digest),
                "pad": [],
                "exclusions": [{"start": s, "length": n} for s, n in exclusions],
            },
        },
    ]
    return signed


def _sign_store(definition: dict[str, Any], signer: c2pa.Signer, page: bytes) -> bytes:
    """Sign the definition into a raw Manifest Store, leaving the page alone."""
    sdk = _sdk()
    try:
        builder = sdk.Builder(definition)
        # Sidecar mode: the SDK cannot embed into HTML, and must not try; the
        # store it returns is what brevane splices in.
        builder.set_no_embed()
        store = builder.sign(signer, HTML_FORMAT, io.BytesIO(page), io.BytesIO())
    except sdk.C2paError as exc:
        raise SigningError(f"the C2PA SDK refused to sign: {exc}") from exc
    if not isinstance(store, bytes) or not store:
        raise SigningError("the C2PA SDK returned no Manifest Store")
    return store


def sign_page(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, alg: str = "sha256"
) -> bytes:
    """Sign a page and carry its Manifest Store inline; return the signed page.

    Old manifest elements are removed first. The store's `c2pa.hash.data`
    assertion excludes exactly the new `script` element, whose length depends
    on the store that contains it, so the store is re-signed until that length
    is stable. Module errors (no head, unsupported algorithm) propagate as the
    module's ValueError; workflow failures raise SigningError.
    """
    definition = _definition(manifest)
    clean = brevane.remove(html)
    # An empty store shows where the element will land without committing to it.
    placeholder = brevane.embed(clean, b"")
    located = brevane.locate_all(placeholder)
    if len(located) != 1 or located[0][1] != ELEMENT_OVERHEAD:
        raise SigningError(
            "the manifest element would land outside the document head "
            "(a <body> or </html> tag stands before </head>), where readers do not look"
        )
    start = located[0][0]
    digest = brevane.inline_hash_before_embed(clean, alg)

    length = ELEMENT_OVERHEAD
    for _ in range(MAX_SIGNING_ROUNDS):
        store = _sign_store(_with_binding(definition, alg, digest, [(start, length)]), signer, clean)
        needed = inline_element_length(len(store))
        if needed == length:
            break
        length = needed
    else:
        raise SigningError(
            f"the manifest element's length did not settle within {MAX_SIGNING_ROUNDS} "
            "signing rounds"
        )

    page = brevane.embed(clean, store)
    binding = brevane.compute_data_hash(page, alg)
    if binding["hash"] != digest or binding["exclusions"] != [(start, length)]:
        raise SigningError(
            "the signed page does not carry the binding that was signed "
            f"(expected exclusion {(start, length)}, found {binding['exclusions']})"
        )
    return page


def sign_page_with_reference(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, href: str, alg: str = "sha256"
) -> tuple[bytes, bytes]:
    """Sign a page that references its store; return (page, store to publish at href).

    The `link` element is part of the hashed bytes: the binding covers the whole
    page as returned, and excludes nothing.
    """
    definition = _definition(manifest)
    page = brevane.embed_reference(html, href)
    # Reading the binding back proves that readers find the link (it is in the
    # head, and its href is not empty) before anything is signed.
    binding = brevane.compute_data_hash(page, alg)
    if binding["exclusions"]:
        raise SigningError("a referenced store must bind the whole page")  # pragma: no cover
    store = _sign_store(_with_binding(definition, alg, binding["hash"], []), signer, page)
    brevane.verify_data_hash(page, binding["hash"], [], alg)
    return page, store


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
    sdk = _sdk()
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
