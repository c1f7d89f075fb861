"""One call in a fresh interpreter, reporting the process's peak resident set size.

bench/compare.py runs this twice per case: once with --mode baseline, which loads
the module and the page and prepares the arguments but makes no call, and once with
--mode call. Each reports how far its resident set rose above where it stood just
before the (possible) call; the call's figure less the baseline's is what the call
itself added. The peak is the kernel's VmHWM of this process; tracemalloc stays
off, since it would add its own memory and only sees Python's allocator, not the
module's.

    python3 bench/memory_probe.py --page page.html --function remove --mode call \
        --offset 1234 --element-length 20041 --store-size 15000 --hash <hex>
"""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import resource
import sys
from pathlib import Path
from typing import Callable

import brevane


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--function", required=True)
    ap.add_argument("--mode", choices=("baseline", "call"), required=True)
    ap.add_argument("--offset", type=int, required=True)
    ap.add_argument("--element-length", type=int, required=True)
    ap.add_argument("--store-size", type=int, required=True)
    ap.add_argument("--hash", required=True, help="hex of the page's sha256 data hash")
    args = ap.parse_args()

    doc = Path(args.page).read_bytes()
    store = random.Random(1).randbytes(args.store_size)
    digest = bytes.fromhex(args.hash)
    exclusions = [(args.offset, args.element_length)]
    off, end = args.offset, args.offset + args.element_length

    calls: dict[str, Callable[[], object]] = {
        "inline_hash_before_embed": lambda: brevane.inline_hash_before_embed(doc),
        "compute_data_hash": lambda: brevane.compute_data_hash(doc),
        "verify_data_hash": lambda: brevane.verify_data_hash(doc, digest, exclusions),
        "embed": lambda: brevane.embed(doc, store),
        "embed_reference": lambda: brevane.embed_reference(doc, "/manifests/page.c2pa"),
        "remove": lambda: brevane.remove(doc),
        "locate_all": lambda: brevane.locate_all(doc),
        "extract": lambda: brevane.extract(doc),
        "hashlib": lambda: hashlib.sha256(doc).digest(),
        "slice+join": lambda: doc[:off] + doc[end:],
    }
    call = calls[args.function]
    output = 0
    # Loading the page may have peaked above its final size, which would hide what the
    # call adds; the high-water mark is reset so that only the call can raise it.
    reset_peak()
    before = status_kib("VmRSS")
    if args.mode == "call":
        result = call()
        output = len(result) if isinstance(result, bytes) and len(result) > 4096 else 0
        del result
    peak = status_kib("VmHWM")
    print(json.dumps({
        "added_kib": peak - before,
        "output_bytes": output,
        "rss_before_kib": before,
        "hwm_kib": peak,
        # Reported for reference only: on Linux, ru_maxrss of a child started with
        # vfork carries the parent's peak over exec, so it cannot tell a 100 MB call
        # from none when the parent itself holds the pages.
        "ru_maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
    }))
    return 0


def status_kib(field: str) -> int:
    """A line of /proc/self/status, in KiB: VmRSS now, VmHWM the peak of this process
    alone (since the last reset)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak() -> None:
    """Writing 5 to clear_refs sets VmHWM back to the current RSS (Linux 4.0 on)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


if __name__ == "__main__":
    sys.exit(main())
