"""The Dask example signs a directory of pages on a local cluster."""

from __future__ import annotations

import json
import pickle
import sys
from pathlib import Path

import brevane
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

if sys.version_info < (3, 10):
    pytest.skip(
        "signing needs the C2PA SDK's Python binding (c2pa-python), CPython 3.10 or later",
        allow_module_level=True,
    )
pytest.importorskip("c2pa", reason="c2pa-python is not installed (the c2pa extra: pip install '.[c2pa]')")
distributed = pytest.importorskip("dask.distributed", reason="pip install 'brevane[dask]'")

from brevane_tools import SigningKey, check_page  # noqa: E402
from dask_sign_directory import sign_directory, sign_file  # noqa: E402
from make_test_certs import make_test_chain  # noqa: E402


def test_a_local_cluster_signs_a_directory(tmp_path: Path) -> None:
    sample = (ROOT / "examples" / "pages" / "sample.html").read_bytes()
    pages = {f"p{i}.html": sample.replace(b"Harbour lights", b"Page %d" % i) for i in range(4)}
    pages["deep/q.htm"] = sample
    for name, data in pages.items():
        (tmp_path / "src" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / name).write_bytes(data)
    chain = make_test_chain()
    key = SigningKey(chain.chain_pem, chain.key_pem)
    manifest_json = (ROOT / "examples" / "manifest.json").read_text()
    # What the scheduler ships to workers must survive pickling.
    assert pickle.loads(pickle.dumps((sign_file, key))) == (sign_file, key)

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        results = sign_directory(client, tmp_path / "src", tmp_path / "out", json.dumps(json.loads(manifest_json)), key)

    assert sorted(Path(r["destination"]).relative_to(tmp_path / "out").as_posix() for r in results) == sorted(pages)
    for name, original in pages.items():
        signed = (tmp_path / "out" / name).read_bytes()
        assert brevane.remove(signed) == original
        result = check_page(signed, trust_anchors=chain.root_pem)
        assert result.ok and "assertion.dataHash.match" in result.codes
