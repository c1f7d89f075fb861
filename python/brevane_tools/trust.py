"""What the C2PA SDK trusts, and how it validates: trust flags and a settings file made into the SDK's context.

Signing and checking use the same `sdk_context`.
"""

from __future__ import annotations

import functools
import json
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional

from brevane_tools import sdk
from brevane_tools.errors import TrustPolicyError, UsageError
from brevane_tools.files.reading import read_option_file
from brevane_tools.text import display

__all__ = ["SETTINGS_ENV", "TrustPolicy", "TrustPolicyError", "load_trust_policy", "sdk_context"]

#: The environment variable naming an SDK settings file, used when no
#: `--settings` flag (or `settings=` argument) is given.
SETTINGS_ENV = "BREVANE_C2PA_SETTINGS"


@dataclass(frozen=True)
class TrustPolicy:
    """What the SDK trusts and how it validates, as plain (picklable) texts.

    Each trust text overrides the same entry of `settings` (the SDK's settings
    JSON); with nothing set, the SDK's own defaults apply.
    """

    trust_anchors: Optional[str] = None  # PEM root certificates, replacing the SDK's anchors
    allowed_list: Optional[str] = None  # PEM certificates (or their hashes) trusted as they are
    trust_config: Optional[str] = None  # the EKU object identifiers accepted, one per line
    settings: Optional[str] = None  # the SDK's settings, JSON text

    def settings_dict(self) -> dict[str, Any]:
        merged: dict[str, Any] = json.loads(self.settings) if self.settings else {}
        texts = {key: getattr(self, key) for key in ("trust_anchors", "allowed_list", "trust_config")}
        trust = {key: value for key, value in texts.items() if value is not None}
        if trust:
            merged["trust"] = {**merged.get("trust", {}), **trust}
            merged["verify"] = {**merged.get("verify", {}), "verify_trust": True}
        return merged


def load_trust_policy(
    *,
    trust_anchors: Optional[str] = None,
    allowed_list: Optional[str] = None,
    trust_config: Optional[str] = None,
    settings: Optional[str] = None,
    environ: Mapping[str, str] = os.environ,
) -> TrustPolicy:
    """Read and check the trust files (paths); `settings` falls back to $BREVANE_C2PA_SETTINGS.

    Raises TrustPolicyError naming the file when one cannot be read, the trust
    anchors are not PEM certificates, the settings are not a JSON object, or
    the SDK refuses the result.
    """
    settings_name = "C2PA settings"
    if not settings and environ.get(SETTINGS_ENV):
        settings, settings_name = environ[SETTINGS_ENV], f"C2PA settings named by ${SETTINGS_ENV},"
    policy = TrustPolicy(
        trust_anchors=_read_text(trust_anchors, "trust anchors") if trust_anchors else None,
        allowed_list=_read_text(allowed_list, "allowed list") if allowed_list else None,
        trust_config=_read_text(trust_config, "trust configuration") if trust_config else None,
        settings=_read_text(settings, settings_name) if settings else None,
    )
    if trust_anchors and policy.trust_anchors is not None:
        _require_certificates(policy.trust_anchors, f"the trust anchors {trust_anchors}")
    if settings and policy.settings is not None:
        try:
            loaded = json.loads(policy.settings)
        except json.JSONDecodeError as exc:
            raise TrustPolicyError(f"the {settings_name} {settings} are not valid JSON: {exc}") from None
        if not isinstance(loaded, dict):
            raise TrustPolicyError(f"the {settings_name} {settings} must be a JSON object")
    sdk_context(policy)
    return policy


def _read_text(path: str, what: str) -> str:
    try:
        return read_option_file(path, what).decode("utf-8")
    except UsageError as exc:
        raise TrustPolicyError(str(exc)) from None
    except UnicodeDecodeError:
        raise TrustPolicyError(f"the {what} {display(path)} is not UTF-8 text") from None


def _require_certificates(text: str, what: str) -> None:
    from cryptography import x509  # with the SDK's extra, as the trust settings' use is

    try:
        x509.load_pem_x509_certificates(text.encode("utf-8"))
    except ValueError:
        raise TrustPolicyError(f"{what} are not PEM certificates") from None


@functools.lru_cache(maxsize=8)
def sdk_context(policy: Optional[TrustPolicy]) -> Any:
    """The SDK context for a trust policy (None: the SDK's defaults), made once per process."""
    if policy is None or policy == TrustPolicy():
        return None
    c2pa = sdk.load()
    if policy.trust_anchors is not None:
        _require_certificates(policy.trust_anchors, "the trust anchors")
    try:
        return c2pa.Context.from_dict(policy.settings_dict())
    except (c2pa.C2paError, ValueError) as exc:
        raise TrustPolicyError(f"the C2PA SDK refused the trust settings: {exc}") from None

