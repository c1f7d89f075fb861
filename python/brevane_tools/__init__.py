"""The publisher's toolkit around the brevane module.

`brevane` splices C2PA manifests into HTML pages byte for byte; this package
does the rest of a publisher's job with it: signing pages with a real C2PA
manifest (through the C2PA SDK, the optional extra `brevane[c2pa]`), checking
them later, and the `brevane` command-line tool for whole directories.
Importing it needs nothing beyond the module; the SDK is loaded on first use.
"""

from brevane_tools.checking import CheckResult, TrustPolicy, check_file, check_page, check_url
from brevane_tools.signing import (
    PageFacts,
    SdkUnavailableError,
    Signed,
    SigningCallback,
    SigningCommand,
    SigningError,
    SigningKey,
    inline_element_length,
    sign,
    sign_page,
    sign_page_with_reference,
)

__all__ = [
    "CheckResult",
    "PageFacts",
    "SdkUnavailableError",
    "Signed",
    "SigningCallback",
    "SigningCommand",
    "SigningError",
    "SigningKey",
    "TrustPolicy",
    "check_file",
    "check_page",
    "check_url",
    "inline_element_length",
    "sign",
    "sign_page",
    "sign_page_with_reference",
]
