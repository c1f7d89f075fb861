"""Signing HTML pages with real C2PA manifests, through the C2PA SDK (`c2pa-python`, CPython 3.10+).

Four parts, bottom up: the manifest definition as a template of the page
(`definition`), the credentials that sign (`credentials`), how large a store
will be (`sizes`), and the signing of one page (`pages`). Checking a signed page lives in `brevane_tools.checking`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevane_tools import lazy

if TYPE_CHECKING:
    from brevane_tools.errors import SdkUnavailableError, SigningError
    from brevane_tools.signing.credentials import (
        ALGORITHMS,
        Credential,
        SigningCallback,
        SigningCommand,
        SigningKey,
        certificate_end,
        check_credential,
    )
    from brevane_tools.signing.definition import (
        DATA_HASH_LABEL,
        HTML_FORMAT,
        PLACEHOLDERS,
        Manifest,
        PageFacts,
        load_definition,
        page_title,
        render_definition,
        substitute,
    )
    from brevane_tools.signing.pages import (
        MAX_SIGNING_ROUNDS,
        Signed,
        is_xml,
        sign,
        sign_detached,
        sign_page,
        sign_page_with_reference,
        signed_with,
    )
    from brevane_tools.signing.sizes import element_overhead, inline_element_length, seed_size_model, size_model

# Loaded on first use: importing the package costs next to nothing.
_WHERE = {
    "SdkUnavailableError": "brevane_tools.errors",
    "SigningError": "brevane_tools.errors",
    "ALGORITHMS": "brevane_tools.signing.credentials",
    "Credential": "brevane_tools.signing.credentials",
    "SigningCallback": "brevane_tools.signing.credentials",
    "SigningCommand": "brevane_tools.signing.credentials",
    "SigningKey": "brevane_tools.signing.credentials",
    "certificate_end": "brevane_tools.signing.credentials",
    "check_credential": "brevane_tools.signing.credentials",
    "DATA_HASH_LABEL": "brevane_tools.signing.definition",
    "HTML_FORMAT": "brevane_tools.signing.definition",
    "PLACEHOLDERS": "brevane_tools.signing.definition",
    "Manifest": "brevane_tools.signing.definition",
    "PageFacts": "brevane_tools.signing.definition",
    "load_definition": "brevane_tools.signing.definition",
    "page_title": "brevane_tools.signing.definition",
    "render_definition": "brevane_tools.signing.definition",
    "substitute": "brevane_tools.signing.definition",
    "MAX_SIGNING_ROUNDS": "brevane_tools.signing.pages",
    "Signed": "brevane_tools.signing.pages",
    "element_overhead": "brevane_tools.signing.sizes",
    "inline_element_length": "brevane_tools.signing.sizes",
    "is_xml": "brevane_tools.signing.pages",
    "seed_size_model": "brevane_tools.signing.sizes",
    "sign": "brevane_tools.signing.pages",
    "sign_detached": "brevane_tools.signing.pages",
    "sign_page": "brevane_tools.signing.pages",
    "sign_page_with_reference": "brevane_tools.signing.pages",
    "signed_with": "brevane_tools.signing.pages",
    "size_model": "brevane_tools.signing.sizes",
}

__all__ = [
    "ALGORITHMS",
    "DATA_HASH_LABEL",
    "HTML_FORMAT",
    "MAX_SIGNING_ROUNDS",
    "PLACEHOLDERS",
    "Credential",
    "Manifest",
    "PageFacts",
    "SdkUnavailableError",
    "Signed",
    "SigningCallback",
    "SigningCommand",
    "SigningError",
    "SigningKey",
    "certificate_end",
    "check_credential",
    "element_overhead",
    "inline_element_length",
    "is_xml",
    "load_definition",
    "page_title",
    "render_definition",
    "seed_size_model",
    "sign",
    "sign_detached",
    "sign_page",
    "sign_page_with_reference",
    "signed_with",
    "size_model",
    "substitute",
]


__getattr__ = lazy.attributes(__name__, _WHERE)
