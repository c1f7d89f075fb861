"""The one door to the C2PA SDK (`c2pa-python`): imported on first use, never before.

Commands that neither sign nor check (locate, hash, --help...) never import
the SDK, so they start as fast as the interpreter. Without the SDK installed,
every caller gets the same one-line message on how to install it.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Mapping
from typing import Any

from brevane_tools.errors import SdkUnavailableError

__all__ = ["INSTALL_MESSAGE", "active_manifest", "load"]

INSTALL_MESSAGE = (
    "signing and checking need the C2PA SDK's Python binding (CPython 3.10 or later): "
    "pip install 'c2pa-python>=0.38' requests, or install brevane with its c2pa extra "
    "(from a checkout: pip install '.[c2pa]')"
)


_loaded: Any = None  # the module, once it and requests were found


def load() -> Any:
    """The `c2pa` module; SdkUnavailableError with the install message when it is missing."""
    global _loaded
    if _loaded is not None:
        return _loaded
    try:
        import c2pa
    except ImportError as exc:
        raise SdkUnavailableError(INSTALL_MESSAGE) from exc
    # Checking fetches with requests, which comes with the same extra: looked for, not imported (a
    # signing run would pay 55 ms of start-up for it), and imported by what fetches.
    if importlib.util.find_spec("requests") is None:
        raise SdkUnavailableError(INSTALL_MESSAGE)
    _loaded = c2pa
    return c2pa


def active_manifest(report: Mapping[str, Any]) -> dict[str, Any]:
    """The active manifest of one of the SDK's reports (`Reader.json` or `detailed_json`); {} if none."""
    manifests = report.get("manifests")
    if not isinstance(manifests, Mapping):
        return {}
    found = manifests.get(report.get("active_manifest"))
    return dict(found) if isinstance(found, Mapping) else {}
