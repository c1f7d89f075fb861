"""What a deployment can get wrong about a signed page, each with a stable code, a severity and a fix.

The codes are a contract: CI jobs match on them in `brevane audit --json`, so a
code is never renamed or given another meaning. Each finding carries the words
for this page (its message) and the one-line fix for the code; nothing here
fetches or reads anything.
"""

from __future__ import annotations

from dataclasses import dataclass

from brevane_tools.limits import STORE_MEDIA_TYPE, STORE_SUFFIX

__all__ = ["CODES", "SEVERITIES", "Finding", "at_least", "finding"]

#: Worst first; `--fail-on` names one of them.
SEVERITIES = ("error", "warning", "info")

#: code: (severity, how to fix it, in one line). The order is the summary's.
CODES: dict[str, tuple[str, str]] = {
    "untrusted": ("error", "sign with a certificate the readers trust, and check the trust settings of the audit"),
    "binding-mismatch": ("error", "serve signed pages byte for byte: no minifier, injected script or re-encoding "
                                  "after signing (Cache-Control: no-transform), or sign after the last rewrite"),
    "store-missing": ("error", "deploy the stores with the pages, at the URLs the pages name"),
    "link-conflict": ("error", "name one store per page: drop the stale Link header rule, or sign again"),
    "unsigned": ("warning", "sign the page (brevane sign), and keep the Link header rules if it is signed "
                            "with --form header"),
    "store-type": ("warning", f"serve {STORE_SUFFIX} files as {STORE_MEDIA_TYPE}"),
    "store-cors": ("warning", "send Access-Control-Allow-Origin (the page's origin, or *) with the stores"),
    "store-encoding": ("warning", f"serve stores as they are: no compression (gzip off for {STORE_MEDIA_TYPE}), "
                                  "no precompressed files, no transforming proxy"),
    "mixed-content": ("warning", "serve the stores of https pages over https"),
    "certificate-expiring": ("warning", "sign again with a certificate that lasts, and time-stamp (--tsa-url) "
                                        "so that signatures outlive it"),
    "no-transform": ("info", "send Cache-Control: no-transform with signed pages, so caches and CDNs keep their bytes"),
    "redirect": ("info", "link to the final URL, so readers and verifiers reach it in one request"),
}


@dataclass(frozen=True)
class Finding:
    code: str
    severity: str
    message: str  # what was found on this page: exact text, escaped only when printed
    fix: str

    def as_dict(self) -> dict[str, str]:
        return {"code": self.code, "severity": self.severity, "message": self.message, "fix": self.fix}


def finding(code: str, message: str) -> Finding:
    severity, fix = CODES[code]
    return Finding(code, severity, message, fix)


def at_least(severity: str, threshold: str) -> bool:
    """Whether `severity` is as bad as `threshold`, or worse."""
    return SEVERITIES.index(severity) <= SEVERITIES.index(threshold)
