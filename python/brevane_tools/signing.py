"""Sign HTML pages with real C2PA manifests.

The brevane module does the byte work (where the manifest element goes, what
the hard binding covers); the C2PA SDK (`c2pa-python`, CPython 3.10 or later)
builds, signs and validates the Manifest Store. Nothing here parses or
re-serialises HTML: every page leaves as the module spliced it.

The SDK knows no HTML container, so it signs the store "beside" the page (its
no-embed, sidecar mode) with the `c2pa.hash.data` assertion that we compute.
Checking a signed page lives in `brevane_tools.checking`.
"""

from __future__ import annotations

import copy
import io
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Union

import brevane

if TYPE_CHECKING:
    import c2pa

__all__ = [
    "SdkUnavailableError",
    "SigningError",
    "SigningKey",
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
