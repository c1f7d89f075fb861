"""Signing one page: the brevane module does the byte work, the C2PA SDK the manifest.

The module decides where the manifest element goes and what the hard binding
covers; the SDK builds and signs the Manifest Store. Nothing here parses or
re-serialises HTML: every page leaves as the module spliced it. The SDK knows
no HTML container, so it signs the store "beside" the page (its no-embed,
sidecar mode) with the `c2pa.hash.data` assertion computed here.
"""

from __future__ import annotations

import functools
import hashlib
import io
import json
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional

import brevane

from brevane_tools import sdk
from brevane_tools.errors import SigningError
from brevane_tools.head import extract
from brevane_tools.limits import HASH_ALGS, STORE_MEDIA_TYPE
from brevane_tools.signing.credentials import callback_failure, read_back_context, tsa_url_of
from brevane_tools.signing.definition import (
    DATA_HASH_LABEL, HTML_FORMAT, Manifest, PageFacts, render_definition, same_but_title,
)
from brevane_tools.signing.sizes import cbor_size, element_overhead, inline_element_length, learn, predicted, size_key
from brevane_tools.store_reader import StoreError, signing_certificate

if TYPE_CHECKING:
    import c2pa

__all__ = [
    "Signed", "parent_lost", "sign", "sign_detached", "sign_page", "sign_page_with_reference", "signed_with",
]

MAX_SIGNING_ROUNDS = 6

PARENT_LABEL = "brevane.parent"


def _with_binding(
    definition: dict[str, Any], alg: str, digest: bytes, exclusions: list[tuple[int, int]]
) -> dict[str, Any]:
    binding = {"alg": alg, "hash": list(digest), "pad": [],
               "exclusions": [{"start": s, "length": n} for s, n in exclusions]}
    return dict(definition, assertions=[*definition["assertions"], {"label": DATA_HASH_LABEL, "data": binding}])


@dataclass(frozen=True)
class _Parent:
    """The manifest a re-signed page carried, kept as its parent ingredient."""

    page: bytes  # the page as it was, its manifest element included
    store: bytes
    ingredient: dict[str, Any]
    manifests: int  # how many its store holds: the page's whole kept history


def _sign_store(definition: dict[str, Any], signer: c2pa.Signer, parent: Optional[_Parent] = None,
                context: Any = None) -> bytes:
    """Sign the definition into a raw Manifest Store, leaving the page alone (in the SDK's `context`,
    else its default).

    The SDK is given no page: the binding is in the definition already, and in
    sidecar mode the SDK would only copy its source into an output that is
    thrown away (a third of a signature's cost at 200 KiB).
    """
    c2pa = sdk.load()
    try:
        builder = c2pa.Builder(definition) if context is None else c2pa.Builder(definition, context)
        if parent is not None:
            builder.add_resource(PARENT_LABEL, io.BytesIO(parent.store))
            builder.add_ingredient(parent.ingredient, "application/octet-stream", io.BytesIO(parent.page))
        # Sidecar mode: the SDK cannot embed into HTML, and must not try; the
        # store it returns is what brevane splices in.
        builder.set_no_embed()
        store = builder.sign(signer, HTML_FORMAT, io.BytesIO(), io.BytesIO())
    except c2pa.C2paError as exc:
        failure = callback_failure(signer)
        if failure is not None:
            raise SigningError(str(failure), detail=getattr(failure, "detail", None)) from failure
        message = str(exc)
        if "signature does not match" in message:
            raise SigningError(
                "the signature does not verify with the signing certificate's key: the signer signs "
                "with another key, or with another algorithm than the one given"
            ) from exc
        if "http" in message.lower():
            # Signing itself makes no request: the one HTTP exchange is the time-stamp's.
            url = tsa_url_of(signer)
            named = f" {url}" if url else ""
            raise SigningError(f"the time-stamp authority{named} gave no time-stamp: {message}") from exc
        raise SigningError(f"the C2PA SDK refused to sign: {message}") from exc
    if not isinstance(store, bytes) or not store:
        raise SigningError("the C2PA SDK returned no Manifest Store")
    return store


@dataclass(frozen=True)
class Signed:
    """A signed page, and what it took."""

    page: bytes
    #: The Manifest Store: inside the page ("embedded") or to publish at `href` ("referenced").
    store: bytes
    kind: str
    rounds: int  # SDK signings it took; 1 when the element's length was predicted right
    href: Optional[str] = None
    parent: Optional[str] = None  # the title of the manifest kept as the parent ingredient
    exclusions: tuple[tuple[int, int], ...] = field(default=())
    #: Manifests in the store: this one and every earlier version kept through its parent.
    manifests: int = 1


def sign(
    html: bytes,
    manifest: Manifest,
    signer: c2pa.Signer,
    *,
    alg: str = "sha256",
    href: Optional[str] = None,
    detached: bool = False,
    facts: Optional[PageFacts] = None,
    keep_parent: bool = True,
    old_store: Optional[bytes] = None,
    digest: Optional[bytes] = None,
) -> Signed:
    """Sign a page: inline by default, referencing its store at `href`, or `detached` (`digest`: the
    page's hash, when the caller has it).

    The definition is a template (see `render_definition`). A manifest the page
    already carries becomes the new manifest's parent ingredient, unless
    `keep_parent` is False; a page that references its store, or is signed
    detached, needs that store as `old_store` for this. An XML page (see
    `is_xml`) gets a self-closed link element. Module errors (no head,
    unsupported algorithm) propagate as the module's ValueError; workflow
    failures raise SigningError.
    """
    if detached and href is not None:
        raise ValueError("a detached store is announced outside the page: it takes no href")
    facts = facts or PageFacts()
    definition = render_definition(manifest, facts, html)
    if detached:
        # Not a byte of the page changes: an element in it would claim another store.
        if brevane.locate_all(html):
            raise SigningError("the page carries a manifest element: remove it, or sign it inline or by reference")
        clean = html
    else:
        clean = brevane.remove(html)
        if brevane.locate_all(clean):
            raise SigningError("the bytes around a removed element form a new manifest element")
    parent = _parent_of(html, old_store) if keep_parent else None
    if parent is not None:
        definition = _opened_from_parent(definition)
    # What the signer's trial read back holds for this page too when only its title differs; a parent
    # brings a manifest from outside, which the SDK reads back.
    context = read_back_context(signer) if parent is None and same_but_title(manifest) else None
    if detached:
        return _sign_detached(clean, definition, signer, alg, parent, digest, context)
    if href is not None:
        return _sign_referenced(clean, definition, signer, alg, href, parent, is_xml(html, facts.name), context)
    return _sign_inline(clean, definition, signer, alg, parent, context)


_XHTML = b"http://www.w3.org/1999/xhtml"
_XHTML_ROOT = re.compile(rb"<html\s[^>]*\bxmlns\s*=\s*[\"']" + re.escape(_XHTML) + rb"[\"']")
#: Where the root element's start tag ends up at the latest in any page worth signing.
_ROOT_WITHIN = 64 * 1024


def is_xml(html: bytes, name: str = "") -> bool:
    """Whether a page is read as XML: an .xhtml name, an XML declaration, or the XHTML namespace on its root."""
    return (
        name.lower().endswith(".xhtml")
        or html.lstrip(b"\xef\xbb\xbf").startswith(b"<?xml")
        # Without the namespace's URL no root can name it, and a page without is read a third faster.
        or (html.find(_XHTML, 0, _ROOT_WITHIN) >= 0 and _XHTML_ROOT.search(html, 0, _ROOT_WITHIN) is not None)
    )


def _history(parent: Optional[_Parent]) -> dict[str, Any]:
    if parent is None:
        return {}
    return {"parent": parent.ingredient.get("title"), "manifests": parent.manifests + 1}


def _sign_inline(
    clean: bytes, definition: dict[str, Any], signer: Any, alg: str, parent: Optional[_Parent], context: Any,
) -> Signed:
    # An empty store shows where the element will land without committing to it.
    placeholder = brevane.embed(clean, b"")
    located = brevane.locate_all(placeholder)
    if len(located) != 1 or located[0][1] != element_overhead():
        raise SigningError(
            "the manifest element would land outside the document head "
            "(a <body> or </html> tag stands before </head>), where readers do not look"
        )
    start = located[0][0]
    digest = brevane.inline_hash_before_embed(clean, alg)

    key, variable = size_key(definition, alg, signer, (parent.store, parent.ingredient) if parent else None)
    length = predicted(key, variable, start)
    for rounds in range(1, MAX_SIGNING_ROUNDS + 1):
        store = _sign_store(_with_binding(definition, alg, digest, [(start, length)]), signer, parent, context)
        learn(key, variable, start, length, len(store))
        needed = inline_element_length(len(store))
        if needed == length:
            break
        # Re-signed with the length this store needs, the store changes by the width of that number.
        resized = len(store) - cbor_size(length) + cbor_size(needed)
        length = inline_element_length(resized)
    else:
        raise SigningError(
            f"the manifest element's length did not settle within {MAX_SIGNING_ROUNDS} signing rounds"
        )

    page = brevane.embed(clean, store)
    # The module hashes the page around the element exactly as it hashed the
    # clean page (its contract); what is left to confirm is the element's place.
    found = brevane.locate_all(page)
    if found != [(start, length)]:
        raise SigningError(
            f"the signed page does not carry the binding that was signed (expected exclusion "
            f"{(start, length)}, found {found})"
        )
    return Signed(page, store, "embedded", rounds, exclusions=((start, length),), **_history(parent))


def _sign_referenced(
    clean: bytes, definition: dict[str, Any], signer: Any, alg: str, href: str, parent: Optional[_Parent],
    xml: bool, context: Any,
) -> Signed:
    page = brevane.embed_reference(clean, href)
    located = brevane.locate_all(page) if xml else []
    if len(located) == 1:  # else the binding below fails, in the module's words
        # An XML parser rejects a start tag that is never closed; readers accept either form.
        end = sum(located[0])
        page = page[: end - 1] + b" />" + page[end:]
    # Reading the binding back proves that readers find the link (it is in the
    # head, and its href is not empty) before anything is signed.
    binding = brevane.compute_data_hash(page, alg)
    if binding["exclusions"]:
        raise SigningError("a referenced store must bind the whole page")  # pragma: no cover
    store = _sign_store(_with_binding(definition, alg, binding["hash"], []), signer, parent, context)
    return Signed(page, store, "referenced", 1, href=href, **_history(parent))


def _sign_detached(
    page: bytes, definition: dict[str, Any], signer: Any, alg: str, parent: Optional[_Parent],
    digest: Optional[bytes] = None, context: Any = None,
) -> Signed:
    if alg not in HASH_ALGS:
        brevane.inline_hash_before_embed(b"<head></head>", alg)  # the module's own message
    if digest is None:
        digest = hashlib.new(alg, page).digest()
    store = _sign_store(_with_binding(definition, alg, digest, []), signer, parent, context)
    return Signed(page, store, "detached", 1, **_history(parent))


def parent_lost(why: object) -> SigningError:
    """The error of a page whose old manifest cannot be kept as its parent, for `why`."""
    return SigningError(
        f"the page's old manifest cannot be kept as the parent ({why}): sign with --replace (keep_parent=False) "
        "to drop it"
    )


def _parent_of(html: bytes, old_store: Optional[bytes]) -> Optional[_Parent]:
    try:
        association = extract(html)
    except ValueError as exc:
        raise parent_lost(str(exc)) from None
    if association is None and old_store is None:
        return None
    if association is not None and association["kind"] == "embedded":
        store = association["store"]
    elif old_store is not None:
        store = old_store  # the page links to it, or it was signed detached
    else:
        assert association is not None
        raise SigningError(
            f"the page references its Manifest Store at {association['href']!r}, which was not found: "
            "give that store to keep it as the parent, or sign with --replace (keep_parent=False) "
            "to drop it"
        )
    c2pa = sdk.load()
    try:
        with c2pa.Reader(HTML_FORMAT, io.BytesIO(html), store) as reader:
            results = reader.get_validation_results() or {}
            report = json.loads(reader.json())
    except c2pa.C2paError as exc:
        raise SigningError(
            f"the page's old Manifest Store cannot be read ({exc}): sign with --replace "
            "(keep_parent=False) to drop it"
        ) from exc
    active = sdk.active_manifest(report)
    ingredient = {
        "title": str(active.get("title") or "previous version"),
        "label": PARENT_LABEL,
        "relationship": "parentOf",
        "format": HTML_FORMAT,
        "manifest_data": {"format": STORE_MEDIA_TYPE, "identifier": PARENT_LABEL},
        "validation_results": results,
    }
    return _Parent(html, store, ingredient, max(1, len(report.get("manifests") or {})))


def _opened_from_parent(definition: dict[str, Any]) -> dict[str, Any]:
    """Make the first action `c2pa.opened` of the parent (a signed page is edited, not created)."""
    assertions = list(definition["assertions"])
    opened = {"action": "c2pa.opened", "parameters": {"ingredientIds": [PARENT_LABEL]}}
    for index, assertion in enumerate(assertions):
        if isinstance(assertion, dict) and assertion.get("label") in ("c2pa.actions", "c2pa.actions.v2"):
            data = dict(assertion.get("data") or {})
            actions = [a for a in data.get("actions", []) if isinstance(a, dict)]
            first = dict(actions[0]) if actions else {}
            if first.get("action") in ("c2pa.created", "c2pa.opened"):
                first["action"] = "c2pa.opened"
                first.pop("digitalSourceType", None)
                parameters = dict(first.get("parameters") or {})
                parameters["ingredientIds"] = [PARENT_LABEL]
                first["parameters"] = parameters
                actions[0] = first
            else:
                actions.insert(0, opened)
            data["actions"] = actions
            assertions[index] = dict(assertion, data=data)
            return dict(definition, assertions=assertions)
    assertions.insert(0, {"label": "c2pa.actions", "data": {"actions": [opened]}})
    return dict(definition, assertions=assertions)


def sign_detached(
    html: bytes,
    manifest: Manifest,
    signer: c2pa.Signer,
    *,
    alg: str = "sha256",
    facts: Optional[PageFacts] = None,
    digest: Optional[bytes] = None,
) -> bytes:
    """Sign a page without touching it: the Manifest Store, its binding over every byte of the page.

    `digest` is the page's hash by `alg`, when the caller has it already (a server
    that names pages by their hash): the page is then not hashed again.

    For a store announced outside the page (an HTTP `Link` header): the page
    carries no manifest element, so nothing is excluded. A page that carries
    one is refused, since its element would claim another store.
    """
    return sign(html, manifest, signer, alg=alg, detached=True, facts=facts, keep_parent=False, digest=digest).store


def sign_page(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, alg: str = "sha256", *, keep_parent: bool = True
) -> bytes:
    """Sign a page and carry its Manifest Store inline; return the signed page.

    Old manifest elements are removed first (an embedded one becomes the
    parent ingredient unless `keep_parent` is False). The store's
    `c2pa.hash.data` assertion excludes exactly the new `script` element. See
    `sign` for the per-page template and the signing rounds.
    """
    return sign(html, manifest, signer, alg=alg, keep_parent=keep_parent).page


def sign_page_with_reference(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, href: str, alg: str = "sha256",
    *, keep_parent: bool = True, old_store: Optional[bytes] = None,
) -> tuple[bytes, bytes]:
    """Sign a page that references its store; return (page, store to publish at href).

    The `link` element is part of the hashed bytes: the binding covers the whole
    page as returned, and excludes nothing.
    """
    signed = sign(html, manifest, signer, alg=alg, href=href, keep_parent=keep_parent, old_store=old_store)
    return signed.page, signed.store


def signed_with(store: bytes, chain_pem: bytes) -> bool:
    """Whether the store's active manifest names the chain's signing certificate as its signer.

    The certificate itself is compared, not its names: another certificate with
    the same subject, issuer and serial number is another signer. Only a store
    the SDK has validated was signed with that certificate's key.
    """
    try:
        named = signing_certificate(store)
    except StoreError:
        return False
    return named == _signer_der(chain_pem)


@functools.lru_cache(maxsize=4)
def _signer_der(chain_pem: bytes) -> bytes:
    """The chain's signing certificate (DER), parsed once per chain: --skip-valid asks for each page."""
    from cryptography import x509  # with the SDK's extra, as the signing is
    from cryptography.hazmat.primitives.serialization import Encoding

    return x509.load_pem_x509_certificates(chain_pem)[0].public_bytes(Encoding.DER)
