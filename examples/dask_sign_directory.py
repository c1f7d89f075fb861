"""Sign every page of a directory on a Dask cluster.

Each page is one task. The task function and its arguments are plain,
picklable values (paths, the manifest definition as JSON text, and a
`SigningKey` of PEM bytes); each task makes its own SDK signer, since a signer
holds native state that cannot travel between processes.

    python examples/dask_sign_directory.py SRC_DIR OUT_DIR \
        --manifest examples/manifest.json --cert chain.pem --key signer.key \
        [--scheduler tcp://host:8786 | --workers 2]
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any, Optional

from brevane_tools import SigningKey, sign_page
from brevane_tools.files import atomic_write, find_pages


def sign_file(
    source: str, destination: str, manifest_json: str, signing_key: SigningKey, alg: str
) -> dict[str, Any]:
    """Sign one page into `destination`; a pure task apart from that one write."""
    signer = signing_key.signer()
    try:
        page = sign_page(Path(source).read_bytes(), manifest_json, signer, alg)
    finally:
        signer.close()
    target = Path(destination)
    target.parent.mkdir(parents=True, exist_ok=True)
    atomic_write(target, page, mode_from=Path(source))
    return {"source": source, "destination": destination, "size": len(page)}


def sign_directory(
    client: Any, source_dir: Path, out_dir: Path, manifest_json: str, key: SigningKey, alg: str = "sha256"
) -> list[dict[str, Any]]:
    """Sign every *.html / *.htm under source_dir into the same tree under out_dir."""
    pages = list(find_pages([str(source_dir)]))
    futures = client.map(
        sign_file,
        [str(p.path) for p in pages],
        [str(out_dir / p.relative) for p in pages],
        manifest_json=manifest_json,
        signing_key=key,  # not `key`: client.map takes that for the task names
        alg=alg,
        pure=False,  # each call writes a file: never skip one as a duplicate
    )
    results: list[dict[str, Any]] = client.gather(futures)
    return results


def main(argv: Optional[list[str]] = None) -> int:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("source_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--manifest", required=True, type=Path)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--alg", default="sha256")
    parser.add_argument("--scheduler", help="address of a running scheduler; else a local cluster")
    parser.add_argument("--workers", type=int, default=2, help="local cluster size (default 2)")
    args = parser.parse_args(argv)

    manifest_json = json.dumps(json.loads(args.manifest.read_text()))
    key = SigningKey.from_files(args.cert, args.key)
    if args.scheduler:
        # distributed ships no annotations for these constructors.
        with Client(args.scheduler) as client:  # type: ignore[no-untyped-call]
            results = sign_directory(client, args.source_dir, args.out_dir, manifest_json, key, args.alg)
    else:
        with (
            LocalCluster(n_workers=args.workers, threads_per_worker=1) as cluster,  # type: ignore[no-untyped-call]
            Client(cluster) as client,  # type: ignore[no-untyped-call]
        ):
            results = sign_directory(client, args.source_dir, args.out_dir, manifest_json, key, args.alg)
    for result in results:
        print(f"{result['source']} -> {result['destination']} ({result['size']} bytes)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
