"""Shared fixtures for the module's pytest suite.

With BREVANE_BUILD_DIR set, the extension is imported from that CMake build
directory (the one holding brevane.abi3.so); otherwise the installed wheel is.
The fault probe, a test-only extension, is found through BREVANE_FAULT_PROBE_DIR;
with BREVANE_REQUIRE_FAULT_PROBE=1 a missing probe fails its tests instead of
skipping them, so CI cannot pass without exercising the fault paths.
"""

from __future__ import annotations

import importlib
import os
import sys
from types import ModuleType

import pytest

_build_dir = os.environ.get("BREVANE_BUILD_DIR")
if _build_dir:
    sys.path.insert(0, os.path.abspath(_build_dir))

_probe_dir = os.environ.get("BREVANE_FAULT_PROBE_DIR")
if _probe_dir:
    sys.path.insert(0, os.path.abspath(_probe_dir))


@pytest.fixture(scope="session")
def fault_probe() -> ModuleType:
    try:
        return importlib.import_module("_brevane_fault_probe")
    except ImportError as error:
        if os.environ.get("BREVANE_REQUIRE_FAULT_PROBE") == "1":
            pytest.fail(f"the fault probe is required but cannot be imported: {error}")
        pytest.skip("the fault probe is not built (set BREVANE_FAULT_PROBE_DIR)")

