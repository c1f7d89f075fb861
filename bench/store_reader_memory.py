"""Time and peak memory of `brevane_tools.store_reader` on hostile and real stores.

    python bench/store_reader_memory.py [--reader path/to/store_reader.py]

Three stores, each read in a fresh interpreter:

- empty boxes: a Manifest Store superbox filled to 16 MiB with 8-byte empty boxes;
- CBOR array: a well-formed store whose `c2pa.hash.data` exclusions are one
  definite-length array of one-byte items filling it to 16 MiB;
- real: a page's store as `brevane_tools.sign_page` writes it (needs the C2PA SDK).

For each: the wall time of the first read, the rise of the process's peak resident
set (VmHWM) during it, tracemalloc's peak over a second read, and what the
reader answered. --reader imports another copy of the reader by its file's name
(an older one kept aside, to compare) instead of the toolkit's. Printed, never
asserted.
"""

from __future__ import annotations

import argparse
import importlib
import json
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20
SUFFIX = bytes.fromhex("00110010800000AA00389B71")


def box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def superbox(code: bytes, label: str, content: bytes) -> bytes:
    description = box(b"jumd", code + SUFFIX + b"\x03" + label.encode() + b"\0")
    return box(b"jumb", description + content)


def store_around(assertion_cbor: bytes) -> bytes:
    """A store whose only manifest holds one data hash assertion with this CBOR."""
    assertion = superbox(b"cbor", "c2pa.hash.data", box(b"cbor", assertion_cbor))
    manifest = superbox(b"c2ma", "urn:c2pa:bench", superbox(b"c2as", "c2pa.assertions", assertion))
    return superbox(b"c2pa", "c2pa", manifest)


def filled(wrap: Callable[[bytes], bytes], unit: bytes) -> bytes:
    """wrap(unit * n), n as large as keeps it within 16 MiB, the reader's default cap."""
    return wrap(unit * ((16 * MIB - len(wrap(b""))) // len(unit)))


def empty_boxes_store() -> bytes:
    return filled(lambda body: superbox(b"c2pa", "c2pa", body), b"\0\0\0\x08free")


def cbor_array_store() -> bytes:
    fields = b"\xa3\x63alg\x66sha256\x64hash\x58\x20" + bytes(32) + b"\x6aexclusions\x9b"
    return filled(lambda items: store_around(fields + struct.pack(">Q", len(items)) + items), b"\0")


def real_store(directory: Path) -> bytes:
    import brevane

    sys.path.insert(0, str(ROOT / "examples"))
    from make_test_certs import write_test_chain

    from brevane_tools import SigningKey, sign_page

    write_test_chain(directory)
    manifest = json.loads((ROOT / "examples" / "manifest.json").read_text())
    key = SigningKey.from_files(str(directory / "chain.pem"), str(directory / "signer.key"))
    page = b"<html><head><title>Lights</title></head><body>" + b"<p>The harbour lights.</p>" * 200 + b"</body></html>"
    association = brevane.extract(sign_page(page, manifest, key.signer()))
    assert association is not None and association["kind"] == "embedded"
    store: bytes = association["store"]
    return store


def load_reader(path: str) -> ModuleType:
    if not path:
        return importlib.import_module("brevane_tools.store_reader")
    sys.path.insert(0, str(Path(path).parent))  # imported by its file's name, beside the toolkit's
    return importlib.import_module(Path(path).stem)


def outcome(reader: ModuleType, store: bytes) -> str:
    try:
        binding = reader.read_data_hash(store)
    except reader.StoreError as exc:
        return f"StoreError: {exc}"
    return f"{binding.alg}, {len(binding.exclusions)} exclusion(s)"


def peak_rss_kib() -> int:
    # Not ru_maxrss: a child starts with its parent's, which holds every store built.
    status = Path("/proc/self/status").read_text()
    return int(status.split("VmHWM:")[1].split()[0])


def measure(store_path: str, reader_path: str, repeat: int) -> dict[str, Any]:
    """One store, read in this (fresh) interpreter."""
    reader = load_reader(reader_path)
    store = Path(store_path).read_bytes()
    rss_before = peak_rss_kib()
    start = time.perf_counter()
    answer = outcome(reader, store)
    first = time.perf_counter() - start
    rss_rise = peak_rss_kib() - rss_before
    start = time.perf_counter()
    for _ in range(repeat):
        outcome(reader, store)
    each = (time.perf_counter() - start) / repeat
    tracemalloc.start()
    outcome(reader, store)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return {"size": len(store), "first": first, "each": each, "rss_kib": rss_rise, "peak": peak, "answer": answer}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reader", default="", help="a store_reader.py to load instead of the toolkit's")
    ap.add_argument("--measure", help=argparse.SUPPRESS)  # a store file: the child's side
    ap.add_argument("--repeat", type=int, default=1, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        print(json.dumps(measure(args.measure, args.reader, args.repeat)))
        return 0

    with tempfile.TemporaryDirectory() as scratch:
        directory = Path(scratch)
        stores = {"empty boxes": empty_boxes_store(), "CBOR array": cbor_array_store()}
        try:
            stores["real"] = real_store(directory)
        except ImportError as exc:
            print(f"real store skipped: {exc}")
        print(f"reader: {args.reader or 'brevane_tools.store_reader'}")
        columns = ("bytes", 12), ("first read", 11), ("per read", 11), ("peak RSS rise", 14), ("tracemalloc", 13)
        print(f"{'store':<12} " + " ".join(f"{title:>{width}}" for title, width in columns) + "  answer")
        for name, store in stores.items():
            path = directory / "store.c2pa"
            path.write_bytes(store)
            # The real store is small: average many reads; a hostile one may take seconds per read.
            repeat = 2000 if name == "real" else 1
            child = [sys.executable, __file__, "--measure", str(path), "--reader", args.reader, "--repeat", str(repeat)]
            done = subprocess.run(child, capture_output=True, text=True, check=True)
            got = json.loads(done.stdout)
            print(
                f"{name:<12} {got['size']:>12,} {got['first'] * 1e3:>9.1f}ms {got['each'] * 1e3:>9.3f}ms"
                f" {got['rss_kib'] / 1024:>10.1f} MiB {got['peak'] / 1024:>9,.0f} KiB  {got['answer'][:90]}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
