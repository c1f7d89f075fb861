"""Read the `c2pa.hash.data` binding out of a Manifest Store without the C2PA SDK.

A store is a tree of JUMBF boxes; the active manifest is its last manifest box,
and the binding is the CBOR content of that manifest's `c2pa.hash.data`
assertion. This reader walks only that path and decodes only those bytes, so a
check of many committed pages costs microseconds per page and needs nothing
beyond the standard library.

It never validates a signature, a claim or a certificate: that is the SDK's
job (`brevane_tools.checking`). It only answers "which bytes did the signer
bind, and how": enough to tell whether a page was edited after signing.

Every length and offset is checked against the bytes it claims to lie in, and
nesting is bounded, so a hostile store ends in `StoreError` (a ValueError with
one line saying what is wrong), never in another exception or a long loop.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, Optional

__all__ = ["DataHash", "StoreError", "read_data_hash"]

DATA_HASH_LABEL = "c2pa.hash.data"

#: Every C2PA box type is a four-letter code followed by this fixed part.
_UUID_SUFFIX = bytes.fromhex("00110010800000AA00389B71")
_STORE = b"c2pa"
_MANIFESTS = (b"c2ma", b"c2um")  # standard and update manifests
_ASSERTIONS = b"c2as"
_CLAIM = b"c2cl"

#: Deeper CBOR than this is no binding a signer wrote; it only costs stack.
MAX_CBOR_DEPTH = 32

#: The toggles of a description box: which optional fields follow the UUID.
_HAS_LABEL = 0x02
_HAS_ID = 0x04
_HAS_SIGNATURE = 0x08


class StoreError(ValueError):
    """The bytes are not a Manifest Store with a usable data hash binding."""


@dataclass(frozen=True)
class DataHash:
    """A `c2pa.hash.data` binding as the store carries it."""

    alg: str
    hash: bytes
    exclusions: tuple[tuple[int, int], ...]


@dataclass(frozen=True)
class _Box:
    kind: bytes  # the four-byte box type
    start: int  # the content's first byte
    end: int  # one past the content's last byte


@dataclass(frozen=True)
class _Superbox:
    uuid: bytes
    label: Optional[str]
    children: list[_Box]  # the boxes after the description box


def _boxes(data: bytes, start: int, end: int) -> list[_Box]:
    """The boxes laid end to end in data[start:end]."""
    boxes: list[_Box] = []
    offset = start
    while offset < end:
        if end - offset < 8:
            raise StoreError(f"a box header at byte {offset} is cut short")
        size, kind = struct.unpack_from(">I4s", data, offset)
        header = 8
        if size == 1:
            if end - offset < 16:
                raise StoreError(f"a box header at byte {offset} is cut short")
            (size,) = struct.unpack_from(">Q", data, offset + 8)
            header = 16
        elif size == 0:
            size = end - offset  # the box runs to the end of its container
        if size < header or size > end - offset:
            raise StoreError(f"the box at byte {offset} claims {size} bytes, where {end - offset} remain")
        boxes.append(_Box(kind, offset + header, offset + size))
        offset += size
    return boxes


def _superbox(data: bytes, box: _Box) -> _Superbox:
    """A JUMBF superbox: its description box (UUID, label) and its content boxes."""
    if box.kind != b"jumb":
        raise StoreError(f"expected a JUMBF superbox at byte {box.start}, found {box.kind!r}")
    children = _boxes(data, box.start, box.end)
    if not children or children[0].kind != b"jumd":
        raise StoreError(f"the superbox at byte {box.start} does not start with a description box")
    description = children[0]
    if description.end - description.start < 17:
        raise StoreError(f"the description box at byte {description.start} is cut short")
    uuid = data[description.start : description.start + 16]
    toggles = data[description.start + 16]
    label: Optional[str] = None
    if toggles & _HAS_LABEL:
        text_start = description.start + 17
        text_end = data.find(b"\0", text_start, description.end)
        if text_end < 0:
            raise StoreError(f"the label at byte {text_start} has no terminating NUL")
        try:
            label = data[text_start:text_end].decode("utf-8")
        except UnicodeDecodeError:
            raise StoreError(f"the label at byte {text_start} is not UTF-8") from None
    return _Superbox(uuid, label, children[1:])


def _is(box: _Superbox, code: bytes) -> bool:
    return box.uuid == code + _UUID_SUFFIX


def _children(data: bytes, box: _Superbox) -> list[_Superbox]:
    return [_superbox(data, child) for child in box.children if child.kind == b"jumb"]


def _cbor_content(data: bytes, box: _Superbox, what: str) -> Any:
    contents = [child for child in box.children if child.kind == b"cbor"]
    if len(contents) != 1:
        raise StoreError(f"the {what} has {len(contents)} CBOR boxes, expected one")
    return decode_cbor(data[contents[0].start : contents[0].end])


def read_data_hash(store: bytes) -> DataHash:
    """The active manifest's `c2pa.hash.data` binding; raises StoreError."""
    top = _boxes(store, 0, len(store))
    if len(top) != 1:
        raise StoreError(f"a Manifest Store is one JUMBF superbox, found {len(top)} boxes")
    root = _superbox(store, top[0])
    if not _is(root, _STORE):
        raise StoreError("the outer box is not a C2PA Manifest Store")
    manifests = [m for m in _children(store, root) if any(_is(m, code) for code in _MANIFESTS)]
    if not manifests:
        raise StoreError("the Manifest Store holds no manifest")
    active = manifests[-1]
    assertion_stores = [a for a in _children(store, active) if _is(a, _ASSERTIONS)]
    if len(assertion_stores) != 1:
        raise StoreError(f"the active manifest has {len(assertion_stores)} assertion stores, expected one")
    bindings = [
        a
        for a in _children(store, assertion_stores[0])
        if a.label == DATA_HASH_LABEL or (a.label or "").startswith(DATA_HASH_LABEL + "__")
    ]
    if len(bindings) != 1:
        raise StoreError(f"the active manifest has {len(bindings)} {DATA_HASH_LABEL} assertions, expected one")
    assertion = _cbor_content(store, bindings[0], f"{DATA_HASH_LABEL} assertion")
    if not isinstance(assertion, dict):
        raise StoreError(f"the {DATA_HASH_LABEL} assertion is not a CBOR map")

    alg = assertion.get("alg")
    if alg is None:
        # Without its own algorithm, a binding uses the claim's.
        claims = [c for c in _children(store, active) if _is(c, _CLAIM)]
        claim = _cbor_content(store, claims[0], "claim") if len(claims) == 1 else None
        alg = claim.get("alg") if isinstance(claim, dict) else None
    if not isinstance(alg, str):
        raise StoreError(f"the {DATA_HASH_LABEL} assertion names no hash algorithm")
    digest = assertion.get("hash")
    if not isinstance(digest, bytes):
        raise StoreError(f"the {DATA_HASH_LABEL} assertion has no hash byte string")
    exclusions = assertion.get("exclusions", [])
    if not isinstance(exclusions, list):
        raise StoreError(f"the {DATA_HASH_LABEL} assertion's exclusions are not a list")
    ranges: list[tuple[int, int]] = []
    for exclusion in exclusions:
        start = _natural(exclusion.get("start")) if isinstance(exclusion, dict) else None
        length = _natural(exclusion.get("length")) if isinstance(exclusion, dict) else None
        if start is None or length is None:
            raise StoreError(f"the {DATA_HASH_LABEL} assertion has an exclusion without start and length")
        ranges.append((start, length))
    return DataHash(alg, digest, tuple(ranges))


def _natural(value: object) -> Optional[int]:
    """The value if it is a whole number of bytes (an int, not a bool, not negative)."""
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    return None


def decode_cbor(data: bytes) -> Any:
    """One CBOR data item (RFC 8949) that fills `data` exactly; raises StoreError."""
    value, end = _item(data, 0, 0)
    if value is _BREAK:
        raise StoreError("a stray CBOR break at byte 0")
    if end != len(data):
        raise StoreError(f"{len(data) - end} bytes follow the CBOR data item")
    return value


_BREAK = object()  # the stop code of an indefinite-length item


def _head(data: bytes, offset: int) -> tuple[int, int, Optional[int], int]:
    """Major type, additional information, argument (None: indefinite), next offset."""
    if offset >= len(data):
        raise StoreError("the CBOR data ends inside an item")
    initial = data[offset]
    major, info = initial >> 5, initial & 0x1F
    offset += 1
    if info < 24:
        return major, info, info, offset
    if info == 31:
        return major, info, None, offset
    if info > 27:
        raise StoreError(f"reserved CBOR additional information {info} at byte {offset - 1}")
    width = 1 << (info - 24)
    if len(data) - offset < width:
        raise StoreError("the CBOR data ends inside an item")
    return major, info, int.from_bytes(data[offset : offset + width], "big"), offset + width


def _item(data: bytes, offset: int, depth: int) -> tuple[Any, int]:
    if depth > MAX_CBOR_DEPTH:
        raise StoreError(f"CBOR nested deeper than {MAX_CBOR_DEPTH} levels")
    start = offset
    major, info, argument, offset = _head(data, offset)
    if major == 0 and argument is not None:
        return argument, offset
    if major == 1 and argument is not None:
        return -1 - argument, offset
    if major in (2, 3):
        if argument is None:
            chunks: list[bytes] = []
            while True:
                if offset < len(data) and data[offset] == 0xFF:
                    offset += 1
                    break
                chunk_start = offset
                chunk_major, _, size, offset = _head(data, offset)
                if chunk_major != major or size is None:
                    raise StoreError(f"a malformed CBOR string chunk at byte {chunk_start}")
                chunk, offset = _take(data, offset, size)
                chunks.append(chunk)
            raw = b"".join(chunks)
        else:
            raw, offset = _take(data, offset, argument)
        if major == 2:
            return raw, offset
        try:
            return raw.decode("utf-8"), offset
        except UnicodeDecodeError:
            raise StoreError(f"the CBOR text at byte {start} is not UTF-8") from None
    if major == 4:
        items: list[Any] = []
        while argument is None or len(items) < argument:
            item, offset = _item(data, offset, depth + 1)
            if item is _BREAK:
                if argument is not None:
                    raise StoreError(f"a stray CBOR break at byte {offset - 1}")
                break
            items.append(item)
        return items, offset
    if major == 5:
        mapping: dict[Any, Any] = {}
        count = 0
        while argument is None or count < argument:
            key, offset = _item(data, offset, depth + 1)
            if key is _BREAK:
                if argument is not None:
                    raise StoreError(f"a stray CBOR break at byte {offset - 1}")
                break
            if not isinstance(key, (str, int, bytes)):
                raise StoreError(f"a CBOR map key at byte {start} is not a string or an integer")
            value, offset = _item(data, offset, depth + 1)
            if value is _BREAK:
                raise StoreError(f"a CBOR map at byte {start} ends between a key and its value")
            mapping[key] = value
            count += 1
        return mapping, offset
    if major == 6 and argument is not None:
        tagged, offset = _item(data, offset, depth + 1)  # a tag only annotates its item
        if tagged is _BREAK:
            raise StoreError(f"a CBOR tag at byte {start} has no item")
        return tagged, offset
    if major == 7:
        if info == 31:
            return _BREAK, offset
        if info in (25, 26, 27):
            fmt = {25: ">e", 26: ">f", 27: ">d"}[info]
            width = struct.calcsize(fmt)
            return struct.unpack(fmt, data[offset - width : offset])[0], offset
        return {20: False, 21: True, 22: None}.get(info), offset  # undefined and simple values: None
    raise StoreError(f"a malformed CBOR item at byte {start}")


def _take(data: bytes, offset: int, size: int) -> tuple[bytes, int]:
    if len(data) - offset < size:
        raise StoreError(f"a CBOR string at byte {offset} claims {size} bytes, where {len(data) - offset} remain")
    return data[offset : offset + size], offset + size
