"""Real documentation sites, signed in the default form: the output is the site, and every page verifies.

Debian's packaged documentation: Python's (Sphinx, with symbolic links into the system's
JavaScript) and PostgreSQL's (DocBook). Each is signed with `-o` into a new tree, which must
equal the source entry for entry (kinds, link targets, every byte outside the manifest
elements), with one store beside each page, and check Trusted with nothing waived.
"""

from __future__ import annotations

import glob
import json
import os
import sys
from pathlib import Path

import brevane
import pytest

if sys.version_info < (3, 10):
    pytest.skip("the C2PA SDK's Python binding needs CPython 3.10 or later", allow_module_level=True)
pytest.importorskip("c2pa")

from brevane_tools import cli  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
from make_test_certs import make_test_chain  # noqa: E402

SITES = {"python": "/usr/share/doc/python3.*/html", "postgresql": "/usr/share/doc/postgresql-doc-*/html"}


def _site(name: str) -> Path:
    found = sorted(glob.glob(SITES[name]))
    if not found:
        if os.environ.get("CI"):
            pytest.fail(f"{SITES[name]} is missing: scripts/setup.sh installs it")
        pytest.skip(f"{SITES[name]} is not installed")
    return Path(found[-1])


def _entries(root: Path) -> dict[str, tuple[str, bytes]]:
    """Every entry below `root`: its kind, and its link target or its bytes."""
    entries: dict[str, tuple[str, bytes]] = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(directory) / name
            relative = str(path.relative_to(root))
            if path.is_symlink():
                entries[relative] = ("link", os.fsencode(os.readlink(path)))
            elif path.is_dir():
                entries[relative] = ("directory", b"")
            else:
                entries[relative] = ("file", path.read_bytes())
    return entries


@pytest.mark.parametrize("name", sorted(SITES))
def test_a_real_site_signed_in_the_default_form_is_the_site_and_verifies_everywhere(
    name: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    site = _site(name)
    chain = make_test_chain()
    for file, data in (("chain.pem", chain.chain_pem), ("signer.key", chain.key_pem), ("root.pem", chain.root_pem)):
        (tmp_path / file).write_bytes(data)
    out = tmp_path / "out"
    argv = ["sign", str(site), "-o", str(out), "-q", "--jobs", "2", "--manifest",
            str(ROOT / "examples" / "manifest.json"), "--cert", str(tmp_path / "chain.pem"),
            "--key", str(tmp_path / "signer.key")]
    assert cli.main(argv) == 0, capsys.readouterr().err
    capsys.readouterr()

    source, signed = _entries(site), _entries(out)
    stores = {k for k in signed if k.endswith(".c2pa") and k not in source}
    pages = {k for k, (kind, _) in source.items() if kind == "file" and k.endswith(".html")}
    assert stores == {page + ".c2pa" for page in pages}
    assert set(signed) - stores == set(source)
    for key, (kind, data) in source.items():
        if key in pages:
            # The link element is the only change, and it is all the module finds to remove.
            assert (signed[key][0], brevane.remove(signed[key][1])) == (kind, data), key
        else:
            assert signed[key] == (kind, data), key

    assert cli.main(["check", str(out), "--trust-anchors", str(tmp_path / "root.pem"), "--json"]) == 0
    files = json.loads(capsys.readouterr().out)["files"]
    checked = [f for f in files if "state" in f]
    assert len(checked) == len(pages)
    assert {(f["state"], f["kind"], f["sdk_state"], len(f["waived"]), len(f["failures"])) for f in checked} == {
        ("Trusted", "referenced", "Trusted", 0, 0)
    }
