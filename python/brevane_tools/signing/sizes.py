"""How large a page's Manifest Store will be, so that an inline page is signed once.

An inline store's binding excludes the element that carries it, so the
element's length is part of the store that sets it. Stores of one definition
shape (everything but its texts), hash algorithm and signer differ in size by
exactly the CBOR sizes of those texts and of the exclusion's numbers: what one
signing teaches predicts the next page's element length, and one signing round
is enough. The model is per process; `size_model` and `seed_size_model` carry
it to workers.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable
from typing import Any, Optional

import brevane

__all__ = ["element_overhead", "inline_element_length", "learn", "predicted", "seed_size_model", "size_key",
           "size_model"]

#: Per process: for a definition shape, binding algorithm and signer reserve,
#: the store's size less the variable part (`cbor_size` of the definition and
#: of the exclusion's numbers). Learnt from each signing.
_STORE_BASE: dict[str, int] = {}


@functools.lru_cache(maxsize=None)
def element_overhead() -> int:
    """The bytes that `embed` writes around the Base64 text of a store, as measured."""
    page = b"<html><head></head></html>"
    return len(brevane.embed(page, b"")) - len(page)


def inline_element_length(store_size: int) -> int:
    """Length of the `script` element that `embed` writes for a store of this size."""
    return element_overhead() + 4 * ((store_size + 2) // 3)


def _head(n: int) -> int:
    """The size of a CBOR item's head for the number n."""
    return 1 if n < 24 else 2 if n < 0x100 else 3 if n < 0x10000 else 5 if n < 0x100000000 else 9


def cbor_size(value: Any, shape: Optional[list[str]] = None) -> int:
    """The size of a JSON value encoded as CBOR, as the SDK writes assertions and claims.

    With `shape`, also lists the value's shape: everything but the texts. Definitions
    of one shape sign to stores whose sizes differ by exactly the CBOR sizes of those texts.
    """
    if isinstance(value, str):
        size = len(value.encode("utf-8"))
        return _head(size) + size
    if isinstance(value, dict):
        if shape is not None:
            shape.append(f"{{{len(value)}")
        total = _head(len(value))
        for k in sorted(value) if shape is not None else value:
            if shape is not None:
                shape.append(k)
            total += cbor_size(k) + cbor_size(value[k], shape)
        return total
    if isinstance(value, list):
        if shape is not None:
            shape.append(f"[{len(value)}")
        return _head(len(value)) + sum(cbor_size(v, shape) for v in value)
    if shape is not None:
        shape.append(repr(value))
    if isinstance(value, bool) or value is None:
        return 1
    if isinstance(value, int):
        return _head(-1 - value if value < 0 else value)
    if isinstance(value, float):
        return 9
    return 0


def size_key(definition: dict[str, Any], alg: str, signer: Any, parent: Optional[tuple[bytes, dict[str, Any]]],
             ) -> tuple[str, int]:
    """The key of the store-size model for this definition (and `parent`, an old store kept with its
    ingredient), and the definition's variable size."""
    try:
        reserve = int(signer.reserve_size())
    except Exception:  # noqa: BLE001 - an unknown reserve only costs a prediction
        reserve = -1
    shape = [alg, str(reserve), "parent" if parent is not None else ""]
    variable = cbor_size(definition, shape)
    if parent is not None:
        variable += len(parent[0]) + cbor_size(parent[1])
    return "\x1f".join(shape), variable


def predicted(key: str, variable: int, start: int) -> int:
    """The length of the element at byte `start` that carries the store, as far as the model knows."""
    length = element_overhead()
    base = _STORE_BASE.get(key)
    if base is not None:
        # The element's length appears in the store it measures: find the fixed point.
        for _ in range(4):
            length = inline_element_length(base + variable + cbor_size(start) + cbor_size(length))
    return length


def learn(key: str, variable: int, start: int, length: int, store_size: int) -> None:
    """What a store signed with the element at (`start`, `length`) teaches the model."""
    _STORE_BASE[key] = store_size - variable - cbor_size(start) - cbor_size(length)


def size_model() -> tuple[tuple[str, int], ...]:
    """What this process has learnt of store sizes, to seed another process with."""
    return tuple(_STORE_BASE.items())


def seed_size_model(model: Iterable[tuple[str, int]]) -> None:
    """Take what another process learnt of store sizes (its own knowledge stays)."""
    for key, base in model:
        _STORE_BASE.setdefault(key, base)
