"""The SDK-free reader of data hash bindings, on stores built box by box: which
binding it picks, and what hostile stores cost it."""

from __future__ import annotations

import struct
import tracemalloc
from typing import Any, Callable

import pytest

from brevane_tools.store_reader import DEFAULT_MAX_STORE_SIZE, DataHash, StoreError, decode_cbor, read_data_hash

SUFFIX = bytes.fromhex("00110010800000AA00389B71")
MIB = 1 << 20


def box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def superbox(code: bytes, label: str, *content: bytes) -> bytes:
    description = box(b"jumd", code + SUFFIX + b"\x03" + label.encode() + b"\0")
    return box(b"jumb", description + b"".join(content))


def cbor(value: Any) -> bytes:
    """Definite lengths, every argument on eight bytes: valid, if not the shortest form."""
    def head(major: int, argument: int) -> bytes:
        return bytes([major << 5 | 27]) + argument.to_bytes(8, "big")

    if isinstance(value, int):
        return head(0, value)
    if isinstance(value, bytes):
        return head(2, len(value)) + value
    if isinstance(value, str):
        return head(3, len(value.encode())) + value.encode()
    if isinstance(value, list):
        return head(4, len(value)) + b"".join(map(cbor, value))
    return head(5, len(value)) + b"".join(cbor(k) + cbor(v) for k, v in value.items())


def manifest(binding: bytes, label: str = "c2pa.hash.data", claim: Any = None, *others: bytes) -> bytes:
    assertion = superbox(b"cbor", label, box(b"cbor", binding))
    parts = [superbox(b"c2as", "c2pa.assertions", *others, assertion)]
    if claim is not None:
        parts.append(superbox(b"c2cl", "c2pa.claim", box(b"cbor", cbor(claim))))
    return superbox(b"c2ma", "urn:c2pa:test", *parts)


def store(*manifests: bytes) -> bytes:
    return superbox(b"c2pa", "c2pa", *manifests)


def filled(wrap: Callable[[bytes], bytes], unit: bytes) -> Callable[[], bytes]:
    """wrap(unit * n) with n as large as keeps it within the default cap, built when a test runs."""
    return lambda: wrap(unit * ((DEFAULT_MAX_STORE_SIZE - len(wrap(b""))) // len(unit)))


SHA256 = {"alg": "sha256", "hash": bytes(32)}
UPDATE = {"alg": "sha384", "hash": b"\1", "exclusions": [{"start": 9, "length": 4}]}
ACTIONS = superbox(b"cbor", "c2pa.actions", box(b"cbor", b"\xff"))  # not CBOR: the reader must not decode it
EMPTY_BOX = b"\0\0\0\x08free"


@pytest.mark.parametrize(
    ("data", "binding"),
    [
        # An update manifest after the first: the last manifest is the active one.
        (store(manifest(cbor(SHA256)), manifest(cbor(UPDATE))), DataHash("sha384", b"\1", ((9, 4),))),
        (store(manifest(cbor({"hash": b"\2"}), claim={"alg": "sha512"})), DataHash("sha512", b"\2", ())),
        (store(manifest(cbor(SHA256), "c2pa.hash.data__2", None, ACTIONS)), DataHash("sha256", bytes(32), ())),
    ],
)
def test_store_reader_picks_the_active_binding(data: bytes, binding: DataHash) -> None:
    assert read_data_hash(data) == binding


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda: bytes(DEFAULT_MAX_STORE_SIZE + 1),
         "the Manifest Store is 16,777,217 bytes, over the limit of 16,777,216"),
        (lambda: b"<!DOCTYPE html><title>Lights</title>", "the bytes do not start with a JUMBF superbox"),
        (filled(lambda body: store(body), EMPTY_BOX), "the Manifest Store has more than 100,000 boxes"),
        (filled(lambda body: store() + body, EMPTY_BOX), "the Manifest Store has more than 100,000 boxes"),
        (filled(lambda items: store(manifest(b"\x9b" + struct.pack(">Q", len(items)) + items)), b"\0"),
         "the CBOR data holds more than 100,000 items"),
        (filled(lambda arrays: store(manifest(arrays + b"\0")), b"\x81"), "CBOR nested deeper than 32 levels"),
        (lambda: store(manifest(cbor(SHA256)), b"\xff\xff\xff\xffjumb"),
         "the box at byte 280 claims 4294967295 bytes, where 8 remain"),
        (lambda: store(manifest(b"\x9b" + b"\xff" * 8)),
         "a CBOR array at byte 0 claims 18446744073709551615 items, where 0 bytes remain"),
        (lambda: store(manifest(b"\xba\xff\xff\xff\xff" + bytes(9))),
         "a CBOR map at byte 0 claims 4294967295 entries, where 9 bytes remain"),
    ],
)
def test_hostile_stores_end_in_one_message_and_little_memory(build: Callable[[], bytes], message: str) -> None:
    data = build()
    tracemalloc.start()
    try:
        with pytest.raises(StoreError) as raised:
            read_data_hash(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(raised.value) == message
    # A quarter of a 16 MiB store: reading must neither copy it nor keep an object per box or item.
    assert peak < max(len(data) // 4, MIB)


@pytest.mark.parametrize(
    ("read", "data", "message"),
    [
        (read_data_hash, b"", "a Manifest Store is one JUMBF superbox, found 0 boxes"),
        (read_data_hash, b"\x00\x00\x00\x10jumb\x00\x00\x00\x08jumd", "the description box at byte 16 is cut short"),
        (read_data_hash, b"\x00\x00\x00\x01jumb" + b"\xff" * 8, "the box at byte 0 claims 18446744073709551615 bytes, where 16 remain"),
        (decode_cbor, b"\x81" * 40 + b"\x00", "CBOR nested deeper than 32 levels"),
        (decode_cbor, b"\x5f\x61a\xff", "a malformed CBOR string chunk at byte 1"),
        (decode_cbor, b"\x5b" + b"\xff" * 8, "a CBOR string at byte 9 claims 18446744073709551615 bytes, where 0 remain"),
        (decode_cbor, b"\xa1\x80\x00", "a CBOR map key at byte 0 is not a string or an integer"),
        (decode_cbor, b"\x62\xc3\x28", "the CBOR text at byte 0 is not UTF-8"),
    ],
)
def test_store_reader_messages(read: Any, data: bytes, message: str) -> None:
    with pytest.raises(StoreError) as raised:
        read(data)
    assert str(raised.value) == message


def test_cbor_decoder_reads_indefinite_lengths_and_tags() -> None:
    # A binding written with indefinite lengths (real stores use definite ones), then RFC 8949's tagged bignum.
    assert decode_cbor(bytes.fromhex("bf63616c67667368613235366468617368425f5f6a6578636c7573696f6e739fa2657374617274181c666c656e677468191119ffff")) == {
        "alg": "sha256", "hash": b"__", "exclusions": [{"start": 28, "length": 4377}],
    }
    assert decode_cbor(bytes.fromhex("c249010000000000000000")) == b"\x01" + bytes(8)
