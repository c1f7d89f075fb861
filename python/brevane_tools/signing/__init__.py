"""Signing HTML pages with real C2PA manifests, through the C2PA SDK (`c2pa-python`, CPython 3.10+).

Three parts, bottom up: the manifest definition as a template of the page
(`definition`), the credentials that sign (`credentials`), and the signing of
one page (`pages`). Checking a signed page lives in `brevane_tools.checking`.
"""

from brevane_tools.errors import SdkUnavailableError, SigningError
from brevane_tools.signing.credentials import (
    ALGORITHMS,
    Credential,
    SigningCallback,
    SigningCommand,
    SigningKey,
    certificate_identity,
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
    element_overhead,
    inline_element_length,
    seed_size_model,
    sign,
    sign_page,
    sign_page_with_reference,
    signer_of,
    size_model,
)

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
    "certificate_identity",
    "check_credential",
    "element_overhead",
    "inline_element_length",
    "load_definition",
    "page_title",
    "render_definition",
    "seed_size_model",
    "sign",
    "sign_page",
    "sign_page_with_reference",
    "signer_of",
    "size_model",
    "substitute",
]
