"""Sites signed and checked on a Dask cluster of worker processes, from one prefix of an S3 server on
loopback to another: real Debian documentation pages, one worker killed mid-run, a second run that
finishes the site."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

if sys.version_info < (3, 10):
    pytest.skip("signing needs the C2PA SDK's binding, which needs CPython 3.10 or later", allow_module_level=True)
try:
    import c2pa  # noqa: F401
    import distributed  # noqa: F401
except ImportError:
    if os.environ.get("CI"):
        raise  # CI installs the test and c2pa extras on 3.10 and later
    pytest.skip("needs c2pa-python and dask[distributed] (the c2pa and test extras)", allow_module_level=True)

from test_tools_integrations import certs  # noqa: E402,F401
from test_tools_objects import S3, s3  # noqa: E402,F401

ROOT = Path(__file__).resolve().parents[2]
DOCS = Path("/usr/share/doc/python3.11/html")
#: Enough pages for a dozen tasks, few enough for a quick run.
PAGES = 120
KILL_AT = 30

#: The signer command: OpenSSL signs (DER ECDSA, as the SDK takes it); at the KILL_AT-th signature, if
#: it runs in a Dask worker (the first is the trial, in the client), it first kills that worker, once.
KILLER = f"""
printf . >> "$2"
if [ "$(wc -c < "$2")" -ge {KILL_AT} ] && tr '\\0' ' ' < /proc/$PPID/cmdline | grep -q multiprocessing \\
        && mkdir "$3" 2>/dev/null; then
    kill -9 $PPID
fi
exec openssl dgst -sha256 -sign "$1"
"""


def brevane(*argv: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # A task whose worker dies fails at once rather than going to another worker: the run loses it.
    env["DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES"] = "0"
    return subprocess.run([sys.executable, "-m", "brevane_tools", *argv], env=env, capture_output=True, text=True,
                          timeout=600, check=False)


@pytest.fixture(scope="module")
def site(s3: S3) -> str:
    """A bucket whose site/ holds documentation pages (spread over the tree) and the files they use."""
    if not DOCS.is_dir():
        pytest.skip(f"{DOCS} is not here (apt-get install python3.11-doc)")
    pages = sorted(DOCS.rglob("*.html"))
    chosen = pages[:: max(1, len(pages) // PAGES)][:PAGES]
    others = sorted((DOCS / "_static").glob("*.css"))[:5]
    bucket = s3.bucket()
    s3.fs.pipe({f"{bucket}/site/{p.relative_to(DOCS).as_posix()}": p.read_bytes() for p in [*chosen, *others]})
    return bucket


def _states(result: subprocess.CompletedProcess[str]) -> Counter[str]:
    """What became of the pages (not the other files): a check's states, a signing's signed and unchanged."""
    entries = [e for e in json.loads(result.stdout)["files"] if "mirrored" not in e]
    return Counter(e.get("state") or ("unchanged" if e.get("skipped") else "signed" if e["ok"] else "failed")
                   for e in entries)


def test_a_worker_killed_mid_run_loses_nothing_and_a_second_run_finishes_the_site(
    s3: S3, site: str, certs: Path, tmp_path: Path
) -> None:
    if shutil.which("openssl") is None:
        pytest.skip("the signer command here is OpenSSL's command-line tool")
    (tmp_path / "killer.sh").write_text(KILLER)
    manifest = ["--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem")]
    signer = f"sh {tmp_path / 'killer.sh'} {certs / 'signer.key'} {tmp_path / 'count'} {tmp_path / 'killed'}"
    source, out = f"s3://{site}/site", f"s3://{site}/out"
    common = [source, "-o", out, *s3.argv, "--dask", "local:2", "--task-pages", "10", "--json", "--skip-valid"]

    first = brevane("sign", *manifest, "--signer-command", signer, *common)
    assert (tmp_path / "killed").exists(), first.stderr
    assert first.returncode == 1, first.stderr
    lost = [f for f in json.loads(first.stdout)["files"] if not f["ok"]]
    assert lost and {f["error"].split(" (")[0] for f in lost} == {"its Dask task was lost"}

    # Between the runs, what is there is whole: every page written is signed and its store in place.
    source_tree, between = s3.tree(f"{site}/site"), s3.tree(f"{site}/out")
    written = [name for name in between if name.endswith(".html")]
    assert 0 < len(written) < PAGES
    assert set(between) <= set(source_tree) | {f"{name}.c2pa" for name in source_tree}
    check_between = brevane("check", f"s3://{site}/out", *s3.argv, "--trust-anchors", str(certs / "root.pem"))
    assert check_between.returncode == 0, check_between.stderr

    second = brevane("sign", *manifest, "--key", str(certs / "signer.key"), *common)
    assert second.returncode == 0, second.stderr
    # The key travels to the workers this time, which is said once.
    assert second.stderr.count("--key with --dask") == 1
    assert _states(second) == {"unchanged": len(written), "signed": PAGES - len(written)}

    after = s3.tree(f"{site}/out")
    pages = [name for name in source_tree if name.endswith(".html")]
    assert set(after) == set(source_tree) | {f"{name}.c2pa" for name in pages}
    assert all(after[name] == data for name, data in source_tree.items() if not name.endswith(".html"))
    check = brevane("check", f"s3://{site}/out", *s3.argv, "--dask", "local:2", "--trust-anchors",
                    str(certs / "root.pem"), "--json")
    assert check.returncode == 0, check.stderr
    assert _states(check) == {"Trusted": PAGES}


@pytest.mark.parametrize("value", ["local:0", "local:two", "scheduler:8786", "tcp://"])
def test_a_dask_address_is_local_n_or_a_schedulers(value: str) -> None:
    result = brevane("check", "--dask", value, "site")
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (
        f"brevane check: error: argument --dask: expected local:N (N worker processes here) or a scheduler's "
        f"address such as tcp://host:8786, got {value!r}"
    )
