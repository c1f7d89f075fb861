"""Shared fixtures for the module's pytest suite.

With BREVANE_BUILD_DIR set, the extension is imported from that CMake build
directory (the one holding brevane.abi3.so); otherwise the installed wheel is.
The fault probe, a test-only extension, is found through BREVANE_FAULT_PROBE_DIR;
with BREVANE_REQUIRE_FAULT_PROBE=1 a missing probe fails its tests instead of
skipping them, so CI cannot pass without exercising the fault paths.
"""

from __future__ import annotations

import importlib
import logging
import os
import sys
from collections.abc import Iterator
from types import ModuleType

import pytest
from hypothesis import HealthCheck, settings

_build_dir = os.environ.get("BREVANE_BUILD_DIR")
if _build_dir:
    sys.path.insert(0, os.path.abspath(_build_dir))

# "default" for CI, "slow" for the nightly-style run, "valgrind" for the run
# under memcheck (scripts/valgrind.sh), where every call is some 50 times slower.
settings.register_profile("default")
settings.register_profile("slow", max_examples=2000, deadline=None)
settings.register_profile("valgrind", max_examples=10, deadline=None, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

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


@pytest.fixture(scope="session")
def s3_endpoint() -> Iterator[str]:
    """The URL of an S3 server on loopback (moto's server mode); skips where moto and s3fs cannot be installed."""
    try:
        import s3fs  # noqa: F401
        from moto.server import ThreadedMotoServer
    except ImportError:
        if os.environ.get("CI") and sys.version_info >= (3, 10):
            raise  # the test extra brings them, from CPython 3.10 on
        pytest.skip("needs s3fs and moto[server] (the test extra, CPython 3.10+)")
    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # a line per request otherwise
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    yield f"http://127.0.0.1:{server.get_host_and_port()[1]}"
    server.stop()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--runslow", action="store_true", help="also run tests marked slow")


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if config.getoption("--runslow"):
        return
    skip = pytest.mark.skip(reason="slow: run with --runslow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
