"""Properties over arbitrary inputs, meant to run long under the "slow"
Hypothesis profile (HYPOTHESIS_PROFILE=slow) and briefly in CI:

- every function is total: any bytes, any text and any exclusion list give a
  value or one of the documented errors, never anything else;
- verification agrees with model_verdict (the coverage check of
  verify_data_hash and the list checks of exclusions_valid in
  src/hardbinding/data_hash.cpp) on random exclusion lists that reach the top
  of the 64-bit range;
- converting exclusions agrees with model_conversion (to_exclusions in
  src/module/convert.cpp) on random Python values, ints beyond 64 bits and
  negative ones included."""

from __future__ import annotations

import hashlib
from collections import namedtuple
from typing import Any, List, Optional, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brevane

untyped: Any = brevane
TOP = 2**64 - 1

FRAGMENTS = [
    b"<html>",
    b"<HEAD>",
    b"<head >",
    b"</head>",
    b"</HEAD >",
    b"<body>",
    b"</html>",
    b'<script type="application/c2pa">',
    b"<script type= APPLICATION/C2PA >",
    b"<script>",
    b"</script>",
    b"</SCRIPT/>",
    b'<link rel="c2pa-manifest" href="m">',
    b"<link rel='icon c2pa-manifest'>",
    b"<link href=",
    b"<title>",
    b"</title>",
    b"<!--",
    b"-->",
    b"<!DOCTYPE html>",
    b"<?x?>",
    b"QUJD",
    b"QQ==",
    b"=",
    b'"',
    b"'",
    b" ",
    b"\x0b",
    b"\xff\xfe",
    b"\xed\xa0\x80",
    b"<",
    b">",
]
documents = st.one_of(
    st.binary(max_size=300),
    st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.binary(max_size=6)), max_size=24).map(
        b"".join
    ),
)
algs = st.one_of(
    st.sampled_from(["sha256", "sha384", "sha512"]), st.text(max_size=8), st.just("SHA256")
)

NO_MANIFEST = "no C2PA manifest element found in the document head"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"
BAD_BASE64 = "the C2PA manifest element is malformed: script content is not valid Base64"
NO_HREF = "the C2PA manifest element is malformed: link has no href to resolve"
NO_HEAD = "the document has no head element to embed into"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"
ASSOCIATION_ERRORS = {NO_MANIFEST, MULTIPLE, BAD_BASE64, NO_HREF}


def unsupported(name: str) -> str:
    return f"unsupported hash algorithm: {name} [algorithm.unsupported]"


def outcome(call: Any) -> object:
    try:
        return call()
    except ValueError as error:
        return str(error)


def known(alg: str) -> bool:
    return alg in ("sha256", "sha384", "sha512")


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(html=documents, store=st.binary(max_size=64), href=st.text(max_size=12), alg=algs)
def test_every_function_is_total(html: bytes, store: bytes, href: str, alg: str) -> None:
    ranges = untyped.locate_all(html)
    assert ranges == sorted(ranges)
    end = 0
    for start, length in ranges:
        assert start >= end and length > 0 and start + length <= len(html)
        end = start + length

    removed = untyped.remove(html)
    kept = b"".join(
        html[s:e]
        for s, e in zip([0] + [s + n for s, n in ranges], [s for s, _ in ranges] + [len(html)])
    )
    assert removed == kept

    association = outcome(lambda: untyped.extract(html))
    if isinstance(association, str):
        assert association in ASSOCIATION_ERRORS - {NO_MANIFEST}
    elif association is None:
        assert ranges == []
    else:
        assert isinstance(association, dict)
        assert len(ranges) == 1 and (association["start"], association["length"]) == ranges[0]

    for embedded in (
        outcome(lambda: untyped.embed(html, store)),
        outcome(lambda: untyped.embed_reference(html, href)),
    ):
        assert embedded == NO_HEAD or isinstance(embedded, bytes)

    binding = outcome(lambda: untyped.compute_data_hash(html, alg))
    if not known(alg):
        assert binding == unsupported(alg)
        assert outcome(lambda: untyped.inline_hash_before_embed(html, alg)) == binding
        assert outcome(lambda: untyped.verify_data_hash(html, b"", [], alg)) == binding
        return
    assert untyped.inline_hash_before_embed(html, alg) == hashlib.new(alg, html).digest()
    if isinstance(association, dict):
        assert isinstance(binding, dict)
        assert untyped.verify_data_hash(html, binding["hash"], binding["exclusions"], alg) is None
    else:
        assert binding == (association if isinstance(association, str) else NO_MANIFEST)


# --- verification against model_verdict ----------------------------------------------------


def kept_bytes(html: bytes, ranges: List[Tuple[int, int]]) -> Optional[bytes]:
    """The bytes outside the list, or None when exclusions_valid rejects it: an end
    past 2**64 - 1, a start before the previous end, or an end past the document."""
    kept = b""
    previous = 0
    for start, length in ranges:
        end = start + length
        if end > TOP or start < previous or end > len(html):
            return None
        kept += html[previous:start]
        previous = end
    return kept + html[previous:]


def model_verdict(
    html: bytes, element: Optional[Tuple[int, int]], digest: bytes, ranges: List[Tuple[int, int]]
) -> Optional[str]:
    if element is not None and element not in ranges:
        return MALFORMED
    if element is None and ranges:
        return MALFORMED
    kept = kept_bytes(html, ranges)
    if kept is None:
        return MALFORMED
    return None if hashlib.sha256(kept).digest() == digest else MISMATCH


def near(size: int) -> st.SearchStrategy[int]:
    return st.one_of(
        st.integers(0, size + 2), st.integers(TOP - 2, TOP), st.integers(TOP - size - 2, TOP)
    )


@st.composite
def exclusion_lists(draw: Any, size: int, element: Tuple[int, int]) -> List[Tuple[int, int]]:
    entries = draw(
        st.lists(st.one_of(st.just(element), st.tuples(near(size), near(size))), max_size=6)
    )
    return list(entries)


PAGE = b"<html><head><title>t</title></head><body><p>text</p></body></html>"


@given(data=st.data(), store=st.binary(max_size=30), link=st.booleans())
def test_verification_agrees_with_model_verdict(data: Any, store: bytes, link: bool) -> None:
    html = untyped.embed_reference(PAGE, "m") if link else untyped.embed(PAGE, store)
    [element] = untyped.locate_all(html)
    ranges = data.draw(exclusion_lists(len(html), element))
    kept = kept_bytes(html, ranges)
    if kept is not None and data.draw(st.booleans()):
        digest = hashlib.sha256(kept).digest()
    else:
        digest = data.draw(st.binary(max_size=33))
    expected = model_verdict(html, None if link else element, digest, ranges)
    assert outcome(lambda: untyped.verify_data_hash(html, digest, ranges)) == expected


# --- conversion of exclusions against a model --------------------------------------------

Pair = namedtuple("Pair", "start length")

offsets = st.one_of(
    st.integers(0, 100),
    st.integers(-3, -1),
    st.integers(TOP - 1, TOP + 2),
    st.integers(2**70, 2**80),
    st.booleans(),
)
items = st.one_of(
    st.tuples(offsets, offsets),
    st.tuples(offsets, offsets).map(lambda t: Pair(*t)),
    st.tuples(offsets, offsets).map(list),
    st.lists(offsets, max_size=3).map(tuple),
)


def model_conversion(values: List[Any]) -> Optional[type]:
    """The exception type that converting the list raises first, or None."""
    for item in values:
        if not isinstance(item, tuple):
            return TypeError
        if len(item) != 2:
            return ValueError
        for value in item:
            if not 0 <= int(value) <= TOP:
                return OverflowError
    return None


@given(values=st.lists(items, max_size=5), container=st.sampled_from([list, tuple]))
def test_exclusion_conversion_agrees_with_model_conversion(values: List[Any], container: Any) -> None:
    html = untyped.embed(PAGE, b"ABC")
    [element] = untyped.locate_all(html)
    exclusions = container(values)
    expected = model_conversion(values)
    try:
        untyped.verify_data_hash(html, b"", exclusions)
    except (TypeError, OverflowError) as error:
        assert type(error) is expected
    except ValueError as error:
        # The wrong-length error, or the document's verdict once it converted.
        if expected is ValueError:
            assert str(error).startswith("expected tuple of length 2, but got tuple of length ")
        else:
            assert expected is None and str(error) in (MALFORMED, MISMATCH)
    else:
        pytest.fail("an empty hash can never verify")
    assert element == (untyped.locate_all(html)[0])
