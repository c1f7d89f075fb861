"""Eight threads calling every function on shared documents give the results of
serial calls. The module holds the interpreter lock for a whole call, but it
also runs the caller's code in the middle of one (an exclusion's __index__),
and there another thread may take the lock and enter the module: nothing
the first call holds may be disturbed by that."""

from __future__ import annotations

import hashlib
import sys
import threading
import time
from typing import Any, Callable, Iterator, List, Tuple

import pytest

import brevane

untyped: Any = brevane

THREADS = 8
SECONDS = 3.0

PLAIN = b"<html><head><title>t</title></head><body>" + b"<p>x</p>" * 20_000 + b"</body></html>"
EMBEDDED = brevane.embed(PLAIN, bytes(range(256)) * 40)
ELEMENT = brevane.locate_all(EMBEDDED)[0]
LINKED = brevane.embed_reference(PLAIN, "stores/\u00e9t\u00e9 & <co>")
TWO = EMBEDDED.replace(b"</head>", b'<link rel="c2pa-manifest" href="m"></head>', 1)
BAD = EMBEDDED[: ELEMENT[0] + 40] + b"!" + EMBEDDED[ELEMENT[0] + 41 :]
HEADLESS = b"<p>" * 10_000
HASH = {alg: brevane.compute_data_hash(EMBEDDED, alg)["hash"] for alg in ("sha256", "sha512")}


class YieldingIndex:
    """An offset whose conversion lets other threads run inside the call."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        time.sleep(0)
        return self.value


class YieldingSeq:
    def __init__(self, items: List[Tuple[object, object]]) -> None:
        self.items = items

    def __len__(self) -> int:
        time.sleep(0)
        return len(self.items)

    def __getitem__(self, index: int) -> Tuple[object, object]:
        time.sleep(0)
        return self.items[index]


def yielding(start: int, length: int) -> List[Tuple[object, object]]:
    return [(0, 0), (YieldingIndex(start), YieldingIndex(length))]


CASES: List[Tuple[str, Callable[[], object]]] = [
    ("embed", lambda: untyped.embed(EMBEDDED, b"store")),
    ("embed-nohead", lambda: untyped.embed(HEADLESS, b"store")),
    ("embed_reference", lambda: untyped.embed_reference(TWO, 'a"&<b')),
    ("embed_reference-surrogate", lambda: untyped.embed_reference(PLAIN, "\udc80")),
    ("extract-embedded", lambda: untyped.extract(EMBEDDED)),
    ("extract-linked", lambda: untyped.extract(LINKED)),
    ("extract-none", lambda: untyped.extract(PLAIN)),
    ("extract-two", lambda: untyped.extract(TWO)),
    ("extract-bad", lambda: untyped.extract(BAD)),
    ("remove", lambda: untyped.remove(TWO)),
    ("locate_all", lambda: untyped.locate_all(TWO)),
    ("compute", lambda: untyped.compute_data_hash(EMBEDDED, "sha512")),
    ("compute-linked", lambda: untyped.compute_data_hash(LINKED, "sha384")),
    ("compute-unsupported", lambda: untyped.compute_data_hash(EMBEDDED, "md5")),
    ("compute-none", lambda: untyped.compute_data_hash(PLAIN)),
    ("verify", lambda: untyped.verify_data_hash(EMBEDDED, HASH["sha256"], [ELEMENT])),
    (
        "verify-yielding",
        lambda: untyped.verify_data_hash(EMBEDDED, HASH["sha256"], yielding(*ELEMENT)),
    ),
    (
        "verify-yielding-seq",
        lambda: untyped.verify_data_hash(
            EMBEDDED, HASH["sha512"], YieldingSeq(yielding(*ELEMENT)), "sha512"
        ),
    ),
    ("verify-mismatch", lambda: untyped.verify_data_hash(EMBEDDED, HASH["sha512"], [ELEMENT])),
    ("verify-malformed", lambda: untyped.verify_data_hash(EMBEDDED, b"", yielding(0, 5))),
    ("verify-overflow", lambda: untyped.verify_data_hash(EMBEDDED, b"", [ELEMENT, (2**64, 0)])),
    ("inline", lambda: untyped.inline_hash_before_embed(PLAIN, "sha384")),
    ("inline-unsupported", lambda: untyped.inline_hash_before_embed(PLAIN, "SHA384")),
    ("binding-error", lambda: untyped.locate_all(PLAIN, PLAIN)),
]


def outcome(call: Callable[[], object]) -> object:
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


def rotated(offset: int) -> Iterator[Tuple[str, Callable[[], object]]]:
    for k in range(len(CASES)):
        yield CASES[(k + offset) % len(CASES)]


@pytest.fixture()
def fast_switching() -> Iterator[None]:
    # Switch threads as often as the interpreter allows, so that calls interleave.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_serial_outcomes_are_what_the_module_promises() -> None:
    # Guards the comparison below against a case that fails for a dull reason.
    serial = {name: outcome(call) for name, call in CASES}
    assert serial["verify"] is None and serial["verify-yielding"] is None
    assert serial["verify-yielding-seq"] is None
    assert serial["extract-none"] is None
    assert serial["compute"] == {"alg": "sha512", "hash": HASH["sha512"], "exclusions": [ELEMENT]}
    assert serial["inline"] == hashlib.sha384(PLAIN).digest()
    assert serial["locate_all"] == [ELEMENT, (ELEMENT[0] + ELEMENT[1], 35)]
    assert isinstance(serial["remove"], bytes) and serial["remove"] == PLAIN
    errors = {name: value for name, value in serial.items() if isinstance(value, tuple)}
    assert {name for name in errors} == {
        "embed-nohead",
        "embed_reference-surrogate",
        "extract-two",
        "extract-bad",
        "compute-unsupported",
        "compute-none",
        "verify-mismatch",
        "verify-malformed",
        "verify-overflow",
        "inline-unsupported",
        "binding-error",
    }


@pytest.mark.usefixtures("fast_switching")
def test_eight_threads_give_the_serial_results() -> None:
    expected = {name: outcome(call) for name, call in CASES}
    barrier = threading.Barrier(THREADS)
    rounds = [0] * THREADS
    wrong: List[Tuple[int, str, object]] = []
    crashed: List[BaseException] = []

    def work(thread: int) -> None:
        try:
            barrier.wait()
            deadline = time.monotonic() + SECONDS
            while time.monotonic() < deadline and rounds[thread] < 10_000:
                for name, call in rotated(thread * 3):
                    got = outcome(call)
                    if got != expected[name]:
                        wrong.append((thread, name, got))
                rounds[thread] += 1
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            crashed.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=SECONDS + 120)
    assert not any(thread.is_alive() for thread in threads)
    assert crashed == []
    assert wrong == []
    # Every thread went through every case at least once.
    print("rounds per thread:", rounds)
    assert min(rounds) >= 1
    # The shared documents are untouched.
    assert brevane.remove(EMBEDDED) == PLAIN
    assert hashlib.sha256(PLAIN).digest() == brevane.inline_hash_before_embed(PLAIN)
