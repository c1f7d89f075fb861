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
The work is bounded too: a store over the size cap is refused unread, boxes are
walked one at a time and only the last manifest, its assertion store and its
binding are kept, and a store may cost at most MAX_BOXES boxes and
MAX_CBOR_ITEMS CBOR items. A 16 MiB hostile store so ends in a fraction of a
second, holding little beyond its own bytes.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, NamedTuple, Optional, TypeVar, Union

from brevane_tools.errors import StoreError
from brevane_tools.limits import DEFAULT_MAX_STORE_SIZE

__all__ = ["DEFAULT_MAX_STORE_SIZE", "DataHash", "StoreError", "read_data_hash", "signing_certificate"]

DATA_HASH_LABEL = "c2pa.hash.data"

#: Every C2PA box type is a four-letter code followed by this fixed part.
_UUID_SUFFIX = bytes.fromhex("00110010800000AA00389B71")
_STORE = b"c2pa"
_MANIFESTS = (b"c2ma", b"c2um")  # standard and update manifests
_ASSERTIONS = b"c2as"
_CLAIM = b"c2cl"
_SIGNATURE = b"c2cs"
#: The COSE header label of an X.509 certificate chain, signer first.
_X5CHAIN = 33

#: Deeper CBOR than this is no binding a signer wrote; it only costs stack.
MAX_CBOR_DEPTH = 32

#: The most boxes and CBOR items one store may make the reader walk (see _Budget).
MAX_BOXES = 100_000
MAX_CBOR_ITEMS = 100_000

#: The toggle of a description box that says a label follows the UUID.
_HAS_LABEL = 0x02

#: What the CBOR decoder reads: the store's bytes, or a view of a box in them, never a copy.
_Bytes = Union[bytes, memoryview]


@dataclass(frozen=True)
class DataHash:
    """A `c2pa.hash.data` binding as the store carries it."""

    alg: str
    hash: bytes
    exclusions: tuple[tuple[int, int], ...]


class _Budget:
    """What one store may cost: boxes walked and CBOR items read.

    Every box takes eight bytes and every CBOR item one, so a store's counts are
    already bounded by its size; the caps stop a store of millions of empty boxes
    or items from costing seconds and a list entry per box or item. No store a
    signer writes comes near them.
    """

    def __init__(self) -> None:
        self.boxes = MAX_BOXES
        self.items = MAX_CBOR_ITEMS

    def box(self) -> None:
        self.boxes -= 1
        if self.boxes < 0:
            raise StoreError(f"the Manifest Store has more than {MAX_BOXES:,} boxes")

    def item(self) -> None:
        self.items -= 1
        if self.items < 0:
            raise StoreError(f"the CBOR data holds more than {MAX_CBOR_ITEMS:,} items")


class _Box(NamedTuple):
    kind: bytes  # the four-byte box type
    start: int  # the content's first byte
    end: int  # one past the content's last byte


class _Superbox(NamedTuple):
    uuid: bytes
    label: Optional[str]
    start: int  # the first byte after the description box
    end: int


def _boxes(data: bytes, start: int, end: int, budget: _Budget) -> Iterator[_Box]:
    """The boxes laid end to end in data[start:end], one at a time."""
    offset = start
    while offset < end:
        budget.box()
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
        yield _Box(kind, offset + header, offset + size)
        offset += size


def _superbox(data: bytes, box: _Box, budget: _Budget) -> _Superbox:
    """A JUMBF superbox: its description box (UUID, label) and where its content boxes lie."""
    description = next(_boxes(data, box.start, box.end, budget), None)
    if description is None or description.kind != b"jumd":
        raise StoreError(f"the superbox at byte {box.start} does not start with a description box")
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
    return _Superbox(uuid, label, description.end, box.end)


def _is(box: _Superbox, code: bytes) -> bool:
    return box.uuid == code + _UUID_SUFFIX


def _children(data: bytes, box: _Superbox, budget: _Budget) -> Iterator[_Superbox]:
    for child in _boxes(data, box.start, box.end, budget):
        if child.kind == b"jumb":
            yield _superbox(data, child, budget)


_T = TypeVar("_T")


def _first_and_count(found: Iterable[_T]) -> tuple[Optional[_T], int]:
    """The first of `found` and how many there are, holding no more than the first."""
    first: Optional[_T] = None
    count = 0
    for item in found:
        if count == 0:
            first = item
        count += 1
    return first, count


def _one(found: Iterable[_T], says: Callable[[int], str]) -> _T:
    """The only one of `found`; StoreError saying how many there are, otherwise."""
    first, count = _first_and_count(found)
    if first is None or count != 1:
        raise StoreError(says(count))
    return first


def _cbor_content(data: bytes, box: _Superbox, what: str, budget: _Budget) -> Any:
    content = _one((b for b in _boxes(data, box.start, box.end, budget) if b.kind == b"cbor"),
                   lambda count: f"the {what} has {count} CBOR boxes, expected one")
    return decode_cbor(memoryview(data)[content.start : content.end], budget)


def _active_manifest(store: bytes, max_size: int) -> tuple[_Superbox, _Budget]:
    budget = _Budget()
    if len(store) > max_size:
        raise StoreError(f"the Manifest Store is {len(store):,} bytes, over the limit of {max_size:,}")
    # Sizes and offsets in later messages come from the bytes: say them only of what is a store.
    if len(store) >= 8 and store[4:8] != b"jumb":
        raise StoreError("the bytes do not start with a JUMBF superbox")
    top = _one(_boxes(store, 0, len(store), budget), lambda count: f"a Manifest Store is one JUMBF superbox, found {count} boxes")
    root = _superbox(store, top, budget)
    if not _is(root, _STORE):
        raise StoreError("the outer box is not a C2PA Manifest Store")
    active: Optional[_Superbox] = None
    for child in _children(store, root, budget):
        if any(_is(child, code) for code in _MANIFESTS):
            active = child
    if active is None:
        raise StoreError("the Manifest Store holds no manifest")
    return active, budget


def signing_certificate(store: bytes, max_size: int = DEFAULT_MAX_STORE_SIZE) -> bytes:
    """The DER certificate the active manifest names as its signer (the first of its COSE x5chain); raises StoreError.

    Read, not verified: only a store the SDK has validated was signed with the
    key of this certificate.
    """
    active, budget = _active_manifest(store, max_size)
    box = _one((s for s in _children(store, active, budget) if _is(s, _SIGNATURE)),
               lambda count: f"the active manifest has {count} claim signatures, expected one")
    cose = _cbor_content(store, box, "claim signature", budget)
    if not isinstance(cose, list) or len(cose) != 4 or not isinstance(cose[0], bytes):
        raise StoreError("the claim signature is not a COSE_Sign1 structure")
    protected = decode_cbor(cose[0], budget) if cose[0] else {}
    # A chain in the protected header is signed with the claim; an older signer puts it in the other.
    for header in (protected, cose[1]):
        chain = header.get(_X5CHAIN) if isinstance(header, dict) else None
        first = chain[0] if isinstance(chain, list) and chain else chain
        if isinstance(first, bytes) and first:
            return first
    raise StoreError("the claim signature carries no certificate chain")


def read_data_hash(store: bytes, max_size: int = DEFAULT_MAX_STORE_SIZE) -> DataHash:
    """The active manifest's `c2pa.hash.data` binding; raises StoreError.

    A store over `max_size` bytes is refused before any of it is read.
    """
    active, budget = _active_manifest(store, max_size)
    assertions = _one((a for a in _children(store, active, budget) if _is(a, _ASSERTIONS)),
                      lambda count: f"the active manifest has {count} assertion stores, expected one")
    binding = _one((a for a in _children(store, assertions, budget)
                    if a.label == DATA_HASH_LABEL or (a.label or "").startswith(DATA_HASH_LABEL + "__")),
                   lambda count: f"the active manifest has {count} {DATA_HASH_LABEL} assertions, expected one")
    assertion = _cbor_content(store, binding, f"{DATA_HASH_LABEL} assertion", budget)
    if not isinstance(assertion, dict):
        raise StoreError(f"the {DATA_HASH_LABEL} assertion is not a CBOR map")

    alg = assertion.get("alg")
    if alg is None:
        # Without its own algorithm, a binding uses the claim's.
        claim_box, count = _first_and_count(c for c in _children(store, active, budget) if _is(c, _CLAIM))
        claim = _cbor_content(store, claim_box, "claim", budget) if claim_box is not None and count == 1 else None
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


def decode_cbor(data: _Bytes, budget: Optional[_Budget] = None) -> Any:
    """One CBOR data item (RFC 8949) that fills `data` exactly; raises StoreError."""
    value, end = _item(data, 0, 0, budget or _Budget())
    if value is _BREAK:
        raise StoreError("a stray CBOR break at byte 0")
    if end != len(data):
        raise StoreError(f"{len(data) - end} bytes follow the CBOR data item")
    return value


_BREAK = object()  # the stop code of an indefinite-length item


def _head(data: _Bytes, offset: int) -> tuple[int, int, Optional[int], int]:
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


def _item(data: _Bytes, offset: int, depth: int, budget: _Budget) -> tuple[Any, int]:
    if depth > MAX_CBOR_DEPTH:
        raise StoreError(f"CBOR nested deeper than {MAX_CBOR_DEPTH} levels")
    budget.item()
    start = offset
    major, info, argument, offset = _head(data, offset)
    if major == 0 and argument is not None:
        return argument, offset
    if major == 1 and argument is not None:
        return -1 - argument, offset
    if major in (2, 3):
        return _string(data, offset, major, argument, start, budget)
    if major in (4, 5):
        return _container(data, offset, major, argument, start, depth, budget)
    if major == 6 and argument is not None:
        tagged, offset = _item(data, offset, depth + 1, budget)  # a tag only annotates its item
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


def _string(data: _Bytes, offset: int, major: int, argument: Optional[int], start: int,
            budget: _Budget) -> tuple[Any, int]:
    """A byte string (major type 2) or a text string (3), of definite length or in chunks."""
    if argument is None:
        chunks: list[bytes] = []
        while not (offset < len(data) and data[offset] == 0xFF):
            budget.item()
            chunk_start = offset
            chunk_major, _, size, offset = _head(data, offset)
            if chunk_major != major or size is None:
                raise StoreError(f"a malformed CBOR string chunk at byte {chunk_start}")
            chunk, offset = _take(data, offset, size)
            chunks.append(chunk)
        raw, offset = b"".join(chunks), offset + 1
    else:
        raw, offset = _take(data, offset, argument)
    if major == 2:
        return raw, offset
    try:
        return raw.decode("utf-8"), offset
    except UnicodeDecodeError:
        raise StoreError(f"the CBOR text at byte {start} is not UTF-8") from None


def _container(data: _Bytes, offset: int, major: int, argument: Optional[int], start: int, depth: int,
               budget: _Budget) -> tuple[Any, int]:
    """An array (major type 4) or a map (5), of definite length or up to a break."""
    # Every item takes a byte, every map entry two: a count beyond that is refused before any is read.
    kind, unit, width = ("array", "items", 1) if major == 4 else ("map", "entries", 2)
    if argument is not None and argument > (len(data) - offset) // width:
        raise StoreError(f"a CBOR {kind} at byte {start} claims {argument} {unit}, "
                         f"where {len(data) - offset} bytes remain")
    items: list[Any] = []
    mapping: dict[Any, Any] = {}
    count = 0
    while argument is None or count < argument:
        item, offset = _item(data, offset, depth + 1, budget)
        if item is _BREAK:
            if argument is not None:
                raise StoreError(f"a stray CBOR break at byte {offset - 1}")
            break
        count += 1
        if major == 4:
            items.append(item)
            continue
        if not isinstance(item, (str, int, bytes)):
            raise StoreError(f"a CBOR map key at byte {start} is not a string or an integer")
        value, offset = _item(data, offset, depth + 1, budget)
        if value is _BREAK:
            raise StoreError(f"a CBOR map at byte {start} ends between a key and its value")
        mapping[item] = value
    return (items if major == 4 else mapping), offset


def _take(data: _Bytes, offset: int, size: int) -> tuple[bytes, int]:
    if len(data) - offset < size:
        raise StoreError(f"a CBOR string at byte {offset} claims {size} bytes, where {len(data) - offset} remain")
    return bytes(data[offset : offset + size]), offset + size
