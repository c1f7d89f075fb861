"""Signing HTML pages with real C2PA manifests, through the C2PA SDK (`c2pa-python`, CPython 3.10+).

Four parts, bottom up: the manifest definition as a template of the page
(`definition`), the credentials that sign (`credentials`), how large a store
will be (`sizes`), and the signing of one page (`pages`). Checking a signed
page lives in `brevane_tools.checking`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevane_tools import lazy

if TYPE_CHECKING:
    from brevane_tools.errors import SdkUnavailableError, SigningError
    from brevane_tools.signing.credentials import (
        ALGORITHMS, Credential, SigningCallback, SigningCommand, SigningKey, certificate_end, check_credential,
        skip_read_back,
    )
    from brevane_tools.signing.definition import (
        DATA_HASH_LABEL, HTML_FORMAT, PLACEHOLDERS, Manifest, PageFacts, load_definition, page_title,
        render_definition, substitute,
    )
    from brevane_tools.signing.pages import (
        MAX_SIGNING_ROUNDS, Signed, is_xml, sign, sign_detached, sign_page, sign_page_with_reference, signed_with,
    )
    from brevane_tools.signing.sizes import element_overhead, inline_element_length, seed_size_model, size_model

__all__ = [
    "ALGORITHMS", "DATA_HASH_LABEL", "HTML_FORMAT", "MAX_SIGNING_ROUNDS", "PLACEHOLDERS", "Credential", "Manifest",
    "PageFacts", "SdkUnavailableError", "Signed", "SigningCallback", "SigningCommand", "SigningError", "SigningKey",
    "certificate_end", "check_credential", "element_overhead", "inline_element_length", "is_xml", "load_definition",
    "page_title", "render_definition", "seed_size_model", "sign", "sign_detached", "sign_page",
    "sign_page_with_reference", "signed_with", "size_model", "skip_read_back", "substitute",
]

# Loaded on first use, each name from its module: importing the package costs next to nothing.
_MODULES = {
    "errors": ("SdkUnavailableError", "SigningError"),
    "signing.credentials": ("ALGORITHMS", "Credential", "SigningCallback", "SigningCommand", "SigningKey",
                            "certificate_end", "check_credential", "skip_read_back"),
    "signing.definition": ("DATA_HASH_LABEL", "HTML_FORMAT", "PLACEHOLDERS", "Manifest", "PageFacts",
                           "load_definition", "page_title", "render_definition", "substitute"),
    "signing.pages": ("MAX_SIGNING_ROUNDS", "Signed", "is_xml", "sign", "sign_detached", "sign_page",
                      "sign_page_with_reference", "signed_with"),
    "signing.sizes": ("element_overhead", "inline_element_length", "seed_size_model", "size_model"),
}

__getattr__ = lazy.attributes(__name__, {name: f"brevane_tools.{module}" for module, names in _MODULES.items()
                                         for name in names})
