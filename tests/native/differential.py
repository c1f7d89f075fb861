"""The C ABI and the Python module give the same answers on the same inputs.

Run by ctest in the build that has both (tests/CMakeLists.txt):
    python3 differential.py PATH/libbrevane.so SOURCE_DIR
with the built module on PYTHONPATH. The documents are every file of the fuzz
corpora and every bytes literal of the Python tests' tables (each also placed
inside a head); each goes through all eight operations, with the stores and
hrefs its corpus entry carries, every algorithm name the tests use, and
exclusion lists that take each branch of verification. An answer is a value or
a ValueError's exact text; anything else, or any difference, fails.
"""

from __future__ import annotations

import ast
import ctypes
import itertools
import pathlib
import sys
from typing import Any, Callable

import brevane

U64 = 2**64


class Range(ctypes.Structure):
    _fields_ = [("start", ctypes.c_uint64), ("length", ctypes.c_uint64)]


class Str(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class OwnedStr(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class Error(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int), ("message", OwnedStr), ("status_code", Str)]


class Association(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("range", Range), ("payload", OwnedStr)]


class Digest(ctypes.Structure):
    _fields_ = [("length", ctypes.c_size_t), ("bytes", ctypes.c_ubyte * 64)]


class Binding(ctypes.Structure):
    _fields_ = [
        ("alg", Str),
        ("hash", Digest),
        ("exclusion_count", ctypes.c_size_t),
        ("exclusions", Range * 1),
    ]


OK, BUFFER_TOO_SMALL = 0, 11
DOCUMENT_ERRORS = range(1, 8)  # the kinds the module raises as ValueError
EMBEDDED, REFERENCED = 1, 2


class CAbi:
    """The eight operations through libbrevane.so, answering as the module does."""

    def __init__(self, path: str) -> None:
        self.lib = lib = ctypes.CDLL(path)
        p, n, cp = ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER
        err = cp(Error)
        lib.brevane_free.argtypes = [OwnedStr]
        lib.brevane_version.restype = ctypes.c_char_p
        signatures: dict[str, list[Any]] = {
            "brevane_locate_all": [p, n, cp(Range), n, cp(n), err],
            "brevane_extract": [p, n, cp(Association), err],
            "brevane_remove": [p, n, cp(OwnedStr), err],
            "brevane_embed": [p, n, p, n, cp(OwnedStr), err],
            "brevane_embed_reference": [p, n, p, n, cp(OwnedStr), err],
            "brevane_compute_data_hash": [p, n, p, n, cp(Binding), err],
            "brevane_verify_data_hash": [p, n, p, n, cp(Range), n, p, n, err],
            "brevane_inline_hash_before_embed": [p, n, p, n, cp(Digest), err],
        }
        for name, argtypes in signatures.items():
            function = getattr(lib, name)
            function.argtypes = argtypes
            function.restype = ctypes.c_int

    def owned(self, owned: OwnedStr) -> bytes:
        data = ctypes.string_at(owned.data, owned.length) if owned.data else b""
        self.lib.brevane_free(owned)
        return data

    def check(self, code: int, error: Error) -> None:
        if code == OK:
            return
        message = self.owned(error.message).decode("utf-8")
        if code in DOCUMENT_ERRORS:
            raise ValueError(message)
        raise AssertionError(f"C ABI code {code}: {message}")

    def locate_all(self, html: bytes) -> list[tuple[int, int]]:
        count = ctypes.c_size_t()
        error = Error()
        code = self.lib.brevane_locate_all(html, len(html), None, 0, ctypes.byref(count), None)
        ranges = (Range * max(count.value, 1))()
        if code == BUFFER_TOO_SMALL:
            code = self.lib.brevane_locate_all(
                html, len(html), ranges, count.value, ctypes.byref(count), ctypes.byref(error)
            )
        self.check(code, error)
        return [(r.start, r.length) for r in ranges[: count.value]]

    def extract(self, html: bytes) -> dict[str, Any] | None:
        found, error = Association(), Error()
        self.check(
            self.lib.brevane_extract(html, len(html), ctypes.byref(found), ctypes.byref(error)),
            error,
        )
        payload = self.owned(found.payload)
        if found.kind not in (EMBEDDED, REFERENCED):
            return None
        result: dict[str, Any] = {
            "start": found.range.start,
            "length": found.range.length,
            "kind": "embedded" if found.kind == EMBEDDED else "referenced",
        }
        if found.kind == EMBEDDED:
            result["store"] = payload
        else:
            result["href"] = payload.decode("utf-8")
        return result

    def edit(self, name: str, html: bytes, *extra: bytes) -> bytes:
        out, error = OwnedStr(), Error()
        args = [a for data in extra for a in (data, len(data))]
        code = getattr(self.lib, name)(
            html, len(html), *args, ctypes.byref(out), ctypes.byref(error)
        )
        self.check(code, error)
        return self.owned(out)

    def remove(self, html: bytes) -> bytes:
        return self.edit("brevane_remove", html)

    def embed(self, html: bytes, store: bytes) -> bytes:
        return self.edit("brevane_embed", html, store)

    def embed_reference(self, html: bytes, href: str) -> bytes:
        return self.edit("brevane_embed_reference", html, href.encode("utf-8"))

    def compute_data_hash(self, html: bytes, alg: str = "sha256") -> dict[str, Any]:
        binding, error = Binding(), Error()
        name = alg.encode("utf-8")
        code = self.lib.brevane_compute_data_hash(
            html, len(html), name, len(name), ctypes.byref(binding), ctypes.byref(error)
        )
        self.check(code, error)
        return {
            "alg": ctypes.string_at(binding.alg.data, binding.alg.length).decode("ascii"),
            "hash": bytes(binding.hash.bytes[: binding.hash.length]),
            "exclusions": [
                (r.start, r.length) for r in binding.exclusions[: binding.exclusion_count]
            ],
        }

    def verify_data_hash(
        self, html: bytes, hash: bytes, exclusions: list[tuple[int, int]], alg: str = "sha256"
    ) -> None:
        ranges = (Range * max(len(exclusions), 1))(*[Range(s, n) for s, n in exclusions])
        error, name = Error(), alg.encode("utf-8")
        code = self.lib.brevane_verify_data_hash(
            html, len(html), hash, len(hash), ranges, len(exclusions), name, len(name),
            ctypes.byref(error),
        )
        self.check(code, error)

    def inline_hash_before_embed(self, html: bytes, alg: str = "sha256") -> bytes:
        digest, error, name = Digest(), Error(), alg.encode("utf-8")
        code = self.lib.brevane_inline_hash_before_embed(
            html, len(html), name, len(name), ctypes.byref(digest), ctypes.byref(error)
        )
        self.check(code, error)
        return bytes(digest.bytes[: digest.length])


def answer(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return ("value", call())
    except ValueError as e:
        return ("ValueError", str(e))


def documents(source: pathlib.Path) -> list[tuple[bytes, bytes]]:
    """(document, payload): corpus files split as their fuzz target reads them,
    and the Python tests' bytes literals, bare and inside a head."""
    found: list[tuple[bytes, bytes]] = []
    for path in sorted((source / "fuzz" / "corpus").glob("*/*")):
        data = path.read_bytes()
        found.append((data, data[-8:]))
        if path.parent.name == "association" and data:
            # The first byte is the payload's length, the payload ends the input.
            body = data[1:]
            cut = len(body) - min(data[0], len(body))
            found.append((body[:cut], body[cut:]))
    literals: set[bytes] = set()
    for path in sorted((source / "tests" / "python").glob("test_*.py")):
        for node in ast.walk(ast.parse(path.read_bytes())):
            if isinstance(node, ast.Constant) and isinstance(node.value, bytes):
                literals.add(node.value)
    for literal in sorted(literals):
        found.append((literal, literal[:16]))
        found.append((b"<html><head>" + literal + b"</head><body>x</body>", b"ABC"))
    return found


ALGS = ["sha256", "sha384", "sha512", "md5", "", "SHA256", "sha256 "]


def exclusion_lists(html: bytes, located: list[tuple[int, int]]) -> list[list[tuple[int, int]]]:
    lists: list[list[tuple[int, int]]] = [[], located[:1], [(0, 1)], [(0, len(html))]]
    if located:
        start, length = located[0]
        lists += [
            [(start, length), (start + length, 1)],  # one beyond the element
            [(start, length + 1)],  # wider than the element
            [(start + length, 0), (start, length)],  # out of order
            [(start, length), (U64 - 1, 1)],  # an end past 2**64
        ]
    return lists


def main() -> int:
    c = CAbi(sys.argv[1])
    source = pathlib.Path(sys.argv[2])
    if c.lib.brevane_version().decode() != brevane.__version__:
        print("versions differ", file=sys.stderr)
        return 1
    differences = 0
    calls = 0

    def compare(what: str, python: Callable[[], Any], native: Callable[[], Any]) -> None:
        nonlocal differences, calls
        calls += 1
        expected, got = answer(python), answer(native)
        if expected != got:
            differences += 1
            if differences <= 20:
                print(f"{what}:\n  module: {expected!r}\n  C ABI:  {got!r}", file=sys.stderr)

    docs = documents(source)
    for html, payload in docs:
        href = payload.decode("utf-8", "replace")
        tag = repr(html[:60])
        compare(f"locate_all {tag}", lambda: brevane.locate_all(html), lambda: c.locate_all(html))
        compare(f"extract {tag}", lambda: brevane.extract(html), lambda: c.extract(html))
        compare(f"remove {tag}", lambda: brevane.remove(html), lambda: c.remove(html))
        compare(
            f"embed {tag}",
            lambda: brevane.embed(html, payload),
            lambda: c.embed(html, payload),
        )
        compare(
            f"embed_reference {tag}",
            lambda: brevane.embed_reference(html, href),
            lambda: c.embed_reference(html, href),
        )
        located = brevane.locate_all(html)
        for alg in ALGS:
            compare(
                f"compute_data_hash {alg!r} {tag}",
                lambda: brevane.compute_data_hash(html, alg),
                lambda: c.compute_data_hash(html, alg),
            )
            compare(
                f"inline_hash_before_embed {alg!r} {tag}",
                lambda: brevane.inline_hash_before_embed(html, alg),
                lambda: c.inline_hash_before_embed(html, alg),
            )
        right = answer(lambda: brevane.compute_data_hash(html))
        hashes = [b"", b"\0" * 32]
        if right[0] == "value":
            hashes.append(right[1]["hash"])
        for exclusions, digest, alg in itertools.product(
            exclusion_lists(html, located), hashes, ALGS[:4]
        ):
            if any(s >= U64 or n >= U64 for s, n in exclusions):
                continue
            compare(
                f"verify_data_hash {exclusions} {alg!r} {tag}",
                lambda: brevane.verify_data_hash(html, digest, exclusions, alg),
                lambda: c.verify_data_hash(html, digest, exclusions, alg),
            )
    print(f"{calls} calls on {len(docs)} documents, {differences} differences")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
