"""What the signing middleware adds to a response, measured in-process on the WSGI middleware.

    python bench/middleware.py [--repeat 15] [--calls 2000]

A bare WSGI application that returns a page, called directly many times, with
and without `brevane_tools.wsgi.SigningMiddleware` (an in-process cache, a
throwaway test chain). Printed, never asserted:

- cached: the time a page already signed adds, against the SHA-256 of the page
  (aim: at most 1.2 x the hash, plus the fixed cost of one response, measured
  on a 64-byte page), in each form;
- uncached: the time a page never seen adds (a new page each call, header form),
  against one bare SDK signature of the same definition and binding
  (Builder, sign) (aim: at most 1.15 x);
- not HTML: the time a JSON response of 20 KiB adds (aim: next to nothing);
- a flood: the time a new page adds when a limit leaves it unsigned (over the
  signing budget, or a cache full of stores within their floor);
- DirectoryCache: the time to keep a new store (written and synced: wall
  clock) and to find one (a response that names it); and what a flood costs
  once the cache is full and its floors pass one by one (each sweep counts
  the whole directory, so sweeps wait for a batch of entries to go).

Times are the process's CPU time (other processes' work left out); each figure
is the mean per call of the best of `--repeat` runs, which is the run least
disturbed by other work on a shared machine. The figures go in
docs/dynamic.md ("Cost").
"""

from __future__ import annotations

import argparse
import hashlib
import io
import itertools
import json
import logging
import os
import sys
import tempfile
import time
from collections.abc import Iterable
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import c2pa  # noqa: E402

from brevane_tools.limits import FORMS  # noqa: E402
from brevane_tools.signing import PageFacts, SigningKey, render_definition  # noqa: E402
from brevane_tools.wsgi import DirectoryCache, DynamicSigning, MemoryCache, SigningMiddleware  # noqa: E402
from make_test_certs import make_test_chain  # noqa: E402

MANIFEST = (ROOT / "examples" / "manifest.json").read_text()
#: CPU time of the process: on a shared machine, the work of other processes is left out.
clock = time.process_time
ENVIRON = {"REQUEST_METHOD": "GET", "PATH_INFO": "/news/1", "SCRIPT_NAME": ""}
SIZES = {"64 B": 64, "20 KiB": 20 * 1024, "200 KiB": 200 * 1024, "2 MiB": 2 * 1024 * 1024}


def page_of(size: int, salt: str = "") -> bytes:
    head = f"<!DOCTYPE html><html><head><title>Harbour report{salt}</title></head><body>".encode()
    filler = b"<p>Tide tables and ferry times for the week ahead.</p>\n"
    body = (filler * (size // len(filler) + 1))[: max(size - len(head) - 14, 0)]
    return head + body + b"</body></html>"


def app_of(body: bytes, media_type: str = "text/html; charset=utf-8") -> Callable[..., Iterable[bytes]]:
    headers = [("Content-Type", media_type), ("Content-Length", str(len(body))), ("ETag", '"v1"')]

    def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        start_response("200 OK", headers)
        return [body]

    return app


def per_call(app: Callable[..., Iterable[bytes]], calls: int, environ: dict[str, Any] = ENVIRON) -> float:
    """Seconds per call: the application called and its body read, as a server would."""
    def start_response(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> Any:
        return None

    started = clock()
    for _ in range(calls):
        for _chunk in app(environ, start_response):
            pass
    return (clock() - started) / calls


def best(measure: Callable[[], float], repeat: int) -> float:
    return min(measure() for _ in range(repeat))


def hash_time(page: bytes, calls: int) -> float:
    started = clock()
    for _ in range(calls):
        hashlib.sha256(page).digest()
    return (clock() - started) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    chain = make_test_chain()
    key = SigningKey(chain.chain_pem, chain.key_pem)
    print(f"load average {os.getloadavg()[0]:.2f}; CPython {sys.version.split()[0]}; c2pa-python {c2pa.__version__}")

    print("\ncached page: time added per response (microseconds)")
    print(f"{'page':>8} {'sha256':>9} " + " ".join(f"{form:>9}" for form in FORMS)
          + "   header form vs 1.2 x hash + fixed")
    fixed = 0.0
    for label, size in SIZES.items():
        page = page_of(size)
        calls = max(20, args.calls * 20 * 1024 // max(size, 20 * 1024))
        bare = best(lambda: per_call(app_of(page), calls), args.repeat)
        hashed = best(lambda: hash_time(page, calls), args.repeat)
        added = {}
        for form in FORMS:
            wrapped = SigningMiddleware(app_of(page), DynamicSigning(MANIFEST, key, form=form))
            per_call(wrapped, 1)  # signs it once
            added[form] = best(lambda: per_call(wrapped, calls), args.repeat) - bare
        if size == 64:
            fixed = added["header"]
        budget = 1.2 * hashed + fixed
        print(f"{label:>8} {hashed * 1e6:9.1f} " + " ".join(f"{added[f] * 1e6:9.1f}" for f in added)
              + f"   {added['header'] * 1e6:.1f} <= {budget * 1e6:.1f}: {'yes' if added['header'] <= budget else 'NO'}")

    print("\nuncached page, header form: time added per response against one bare SDK signature (milliseconds)")
    signer = key.signer()
    for label, size in (("20 KiB", 20 * 1024), ("200 KiB", 200 * 1024)):
        calls = max(20, args.calls // 20)
        pages = (page_of(size, f" {n}") for n in itertools.count())
        holder: dict[str, bytes] = {}

        def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
            start_response("200 OK", [("Content-Type", "text/html"), ("Content-Length", str(len(holder["page"])))])
            return [holder["page"]]

        # Neither the budget nor floors: every page here is new, and none is asked for again.
        wrapped = SigningMiddleware(app, DynamicSigning(MANIFEST, key, signatures_per_second=None, store_floor=0))

        def one_new(target: Callable[..., Iterable[bytes]]) -> float:
            total = 0.0
            for _ in range(calls):
                holder["page"] = next(pages)
                total += per_call(target, 1)
            return total / calls

        def bare_sdk() -> float:
            total = 0.0
            for _ in range(calls):
                page = next(pages)
                definition = render_definition(MANIFEST, PageFacts("news/1", "1"), page)
                binding = {"alg": "sha256", "hash": list(hashlib.sha256(page).digest()), "pad": [], "exclusions": []}
                definition["assertions"] = [*definition["assertions"], {"label": "c2pa.hash.data", "data": binding}]
                started = clock()
                builder = c2pa.Builder(definition)
                builder.set_no_embed()
                builder.sign(signer, "text/html", io.BytesIO(page), io.BytesIO())
                total += clock() - started
            return total / calls

        # Taken in turns, so that a burst of other work on the machine disturbs both alike.
        runs = [(bare_sdk(), one_new(wrapped), one_new(app)) for _ in range(args.repeat)]
        sdk = min(r[0] for r in runs)
        added = min(r[1] for r in runs) - min(r[2] for r in runs)
        verdict = "yes" if added <= 1.15 * sdk else "NO"
        print(f"{label:>8}: adds {added * 1e3:.3f} ms; bare SDK signature {sdk * 1e3:.3f} ms; "
              f"ratio {added / sdk:.3f} (<= 1.15: {verdict})")

    print("\nnot HTML: time added per response (microseconds)")
    feed = json.dumps({"stories": [f"/news/{n}" for n in range(1000)]}).encode()[: 20 * 1024]
    bare = best(lambda: per_call(app_of(feed, "application/json"), args.calls), args.repeat)
    wrapped = SigningMiddleware(app_of(feed, "application/json"), DynamicSigning(MANIFEST, key))
    added_json = best(lambda: per_call(wrapped, args.calls), args.repeat) - bare
    print(f"  20 KiB JSON: bare application {bare * 1e6:.1f}, added {added_json * 1e6:.1f}")

    print("\na flood: time added per new 20 KiB page that a limit leaves unsigned (microseconds)")
    flood_pages = (page_of(20 * 1024, f" {n}") for n in itertools.count())
    flood: dict[str, bytes] = {}

    def flood_app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        start_response("200 OK", [("Content-Type", "text/html")])
        return [flood["page"]]

    logging.getLogger("brevane").disabled = True  # one line per ten seconds: not what is measured
    limited = {
        "over the budget": DynamicSigning(MANIFEST, key, signatures_per_second=1e-9),
        "cache full of live stores": DynamicSigning(MANIFEST, key, cache=MemoryCache(max_entries=1)),
    }
    for label, settings in limited.items():
        wrapped = SigningMiddleware(flood_app, settings)
        flood["page"] = next(flood_pages)
        per_call(wrapped, 1)  # spends the budget, or fills the cache

        def refused(target: Callable[..., Iterable[bytes]]) -> float:
            total = 0.0
            for _ in range(args.calls // 4):
                flood["page"] = next(flood_pages)
                total += per_call(target, 1)
            return total / (args.calls // 4)

        added = best(lambda: refused(wrapped), args.repeat) - best(lambda: refused(flood_app), args.repeat)
        print(f"  {label}: {added * 1e6:.1f}")

    print("\nDirectoryCache: time to keep a new 16 KiB store (synced), and to find one (microseconds)")
    with tempfile.TemporaryDirectory() as where:
        cache = DirectoryCache(where)
        store = os.urandom(16 * 1024)
        names = [f"brevane:store:{n:064x}" for n in range(20)]
        started = time.perf_counter()
        for name in names:
            cache.set(name, store, 3600)
        kept = (time.perf_counter() - started) / len(names)
        found = best(lambda: _held(cache, names, args.calls), args.repeat)
        print(f"  keep: {kept * 1e6:.0f} (wall clock); find: {found * 1e6:.1f}")

    print("\nDirectoryCache full of 20,000 stores whose floors pass one a second, a flood of 20 new pages a second:"
          "\n  CPU time per new page, kept or refused (microseconds)")
    with tempfile.TemporaryDirectory() as where:
        now = [1_800_000_000.0]
        for n in range(20_000):
            entry = Path(where) / f"brevane-store-{n:064x}"
            entry.write_bytes(b"s" * 100)
            os.utime(entry, (0, now[0] + n))
        full = DirectoryCache(where, max_entries=20_000, clock=lambda: now[0])
        now[0] += 200.5  # 200 floors passed
        started, kept_count = clock(), 0
        for n in range(400):
            now[0] += 0.05
            if full.room(100):
                full.set(f"brevane:store:{20_000 + n:064x}", b"n" * 100, 3600)
                kept_count += 1
        print(f"  {(clock() - started) / 400 * 1e6:.0f} ({kept_count} of 400 kept)")


def _held(cache: DirectoryCache, names: list[str], calls: int) -> float:
    started = clock()
    for n in range(calls):
        cache.hold(names[n % len(names)], 3600)
    return (clock() - started) / calls


if __name__ == "__main__":
    main()
