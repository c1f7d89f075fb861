"""Imported first by the tests that sign or check with the C2PA SDK: it skips them where the SDK cannot run.

The SDK's Python binding needs CPython 3.10 or later. CI installs it from 3.10 on, so there a
missing SDK is a broken set-up, and fails; elsewhere those tests are skipped. It also puts
examples/ on the path, for the test certificates (`make_test_certs`).
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

if sys.version_info < (3, 10):
    pytest.skip("the C2PA SDK's Python binding needs CPython 3.10 or later", allow_module_level=True)
try:
    import c2pa  # noqa: F401
except ImportError:
    if os.environ.get("CI"):
        raise
    pytest.skip("c2pa-python is not installed (the c2pa extra: pip install '.[c2pa]')", allow_module_level=True)

sys.path.insert(0, str(ROOT / "examples"))
