"""Argument binding and conversion: every message compared whole, the
argument-name prefix and its cause, the order of checks, and the shapes of the
results that the bodies hand back."""

from __future__ import annotations

import ctypes
import sys
from collections import namedtuple
from typing import Any, Callable, Iterator

import pytest

import brevane

# The calls below pass ill-typed arguments on purpose: the module must answer
# them at run time, so they bypass the static signatures.
untyped: Any = brevane

PAGE = b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
PLAIN = b"<html><head></head><body></body></html>"
LINKED = b'<html><head><link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>'
NO_MANIFEST = "no C2PA manifest element found in the document head"

Call = Callable[[], object]


class _Outer:
    class Inner:
        pass


class _BrokenQualnameMeta(type):
    def __getattribute__(cls, name: str) -> Any:
        if name == "__qualname__":
            raise RuntimeError("no name for you")
        return super().__getattribute__(name)


class _NumberQualnameMeta(type):
    def __getattribute__(cls, name: str) -> Any:
        if name == "__qualname__":
            return 5
        return super().__getattribute__(name)


class BrokenQualname(metaclass=_BrokenQualnameMeta):
    pass


class NumberQualname(metaclass=_NumberQualnameMeta):
    pass


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class RaisingIndex:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __index__(self) -> int:
        raise self.error


class IndexTypeError(TypeError):
    pass


class Items:
    """A sequence in the interpreter's sense, with a chosen __len__ and iteration."""

    def __init__(self, items: list[object], length: Callable[[], int]) -> None:
        self.items = items
        self.length = length

    def __len__(self) -> int:
        return self.length()

    def __getitem__(self, index: int) -> object:
        return self.items[index]


class FailingIteration:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> object:
        if index == 0:
            return (0, 0)
        raise self.error


def _raise(error: BaseException) -> int:
    raise error


def _pairs() -> Iterator[tuple[int, int]]:
    yield (0, 0)


Pair = namedtuple("Pair", ["start", "length"])


# --- binding -------------------------------------------------------------------

BINDING_FAILURES = [
    pytest.param(
        lambda: untyped.locate_all(),
        "locate_all() missing 1 required positional argument: 'html'",
        id="missing-one",
    ),
    pytest.param(
        lambda: untyped.embed(store=b""),
        "embed() missing 1 required positional argument: 'html'",
        id="missing-first-with-second-by-keyword",
    ),
    pytest.param(
        lambda: untyped.embed_reference(b""),
        "embed_reference() missing 1 required positional argument: 'href'",
        id="missing-second",
    ),
    pytest.param(
        lambda: untyped.embed(),
        "embed() missing 2 required positional arguments: 'html' and 'store'",
        id="missing-two",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(),
        "verify_data_hash() missing 3 required positional arguments: "
        "'html', 'hash', and 'exclusions'",
        id="missing-three",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b""),
        "verify_data_hash() missing 2 required positional arguments: 'hash' and 'exclusions'",
        id="missing-two-of-three",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(hash=b"", alg="md5"),
        "verify_data_hash() missing 2 required positional arguments: 'html' and 'exclusions'",
        id="missing-around-keywords",
    ),
    pytest.param(
        lambda: untyped.compute_data_hash(alg="sha256"),
        "compute_data_hash() missing 1 required positional argument: 'html'",
        id="missing-required-with-optional-given",
    ),
    pytest.param(
        lambda: untyped.locate_all(b"", b""),
        "locate_all() takes 1 positional arguments but 2 were given",
        id="too-many-all-required",
    ),
    pytest.param(
        lambda: untyped.embed(b"", b"", b"", b""),
        "embed() takes 2 positional arguments but 4 were given",
        id="too-many-two-required",
    ),
    pytest.param(
        lambda: untyped.compute_data_hash(b"", "sha256", 1),
        "compute_data_hash() takes from 1 to 2 positional arguments but 3 were given",
        id="too-many-with-optional",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [], "sha256", None),
        "verify_data_hash() takes from 3 to 4 positional arguments but 5 were given",
        id="too-many-verify",
    ),
    pytest.param(
        lambda: untyped.locate_all(b"", b"", bogus=1),
        "locate_all() takes 1 positional arguments but 2 were given",
        id="too-many-before-keywords",
    ),
    pytest.param(
        lambda: untyped.remove(html2=b""),
        "remove() got an unexpected keyword argument 'html2'",
        id="unexpected",
    ),
    pytest.param(
        lambda: untyped.remove(HTML=b""),
        "remove() got an unexpected keyword argument 'HTML'",
        id="unexpected-case-sensitive",
    ),
    pytest.param(
        lambda: untyped.embed(bogus=1),
        "embed() got an unexpected keyword argument 'bogus'",
        id="unexpected-before-missing",
    ),
    pytest.param(
        lambda: untyped.remove(**{"\udc80x": 1}),
        "remove() got an unexpected keyword argument '\udc80x'",
        id="unexpected-lone-surrogate",
    ),
    pytest.param(
        lambda: untyped.remove(b"", html=b""),
        "remove() got multiple values for argument 'html'",
        id="multiple-values",
    ),
    pytest.param(
        lambda: untyped.embed(b"", html=b"", bogus=1),
        "embed() got multiple values for argument 'html'",
        id="keywords-in-dict-order-multiple-first",
    ),
    pytest.param(
        lambda: untyped.embed(b"", bogus=1, html=b""),
        "embed() got an unexpected keyword argument 'bogus'",
        id="keywords-in-dict-order-unexpected-first",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [], alg="sha256", exclusions=[]),
        "verify_data_hash() got multiple values for argument 'exclusions'",
        id="multiple-values-after-good-keyword",
    ),
]


@pytest.mark.parametrize(("call", "message"), BINDING_FAILURES)
def test_binding_failure_message(call: Call, message: str) -> None:
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    assert excinfo.value.args == (message,)
    assert excinfo.value.__cause__ is None


class _ShownAs(str):
    def __str__(self) -> str:
        return "shown"


def test_unexpected_keyword_is_rendered_by_str() -> None:
    with pytest.raises(TypeError) as excinfo:
        untyped.remove(**{_ShownAs("nope"): 1})
    assert str(excinfo.value) == "remove() got an unexpected keyword argument 'shown'"


def test_keyword_of_str_subclass_binds_by_its_text() -> None:
    assert untyped.locate_all(**{_ShownAs("html"): PAGE}) == [(12, 45)]


def test_non_str_keyword_from_native_caller_is_unexpected() -> None:
    # Python code cannot pass a non-str keyword; a native caller can.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as excinfo:
        call(untyped.remove, (), {1: b""})
    assert str(excinfo.value) == "remove() got an unexpected keyword argument '1'"


@pytest.mark.parametrize(
    ("positional", "keyword"),
    [
        (lambda: untyped.locate_all(PAGE), lambda: untyped.locate_all(html=PAGE)),
        (lambda: untyped.extract(PAGE), lambda: untyped.extract(html=PAGE)),
        (lambda: untyped.remove(PAGE), lambda: untyped.remove(html=PAGE)),
        (lambda: untyped.embed(PLAIN, b"ABC"), lambda: untyped.embed(store=b"ABC", html=PLAIN)),
        (
            lambda: untyped.embed_reference(PLAIN, "m"),
            lambda: untyped.embed_reference(href="m", html=PLAIN),
        ),
        (
            lambda: untyped.compute_data_hash(PAGE, "sha384"),
            lambda: untyped.compute_data_hash(alg="sha384", html=PAGE),
        ),
        (lambda: untyped.compute_data_hash(PAGE), lambda: untyped.compute_data_hash(PAGE, "sha256")),
        (
            lambda: untyped.inline_hash_before_embed(PLAIN),
            lambda: untyped.inline_hash_before_embed(html=PLAIN, alg="sha256"),
        ),
        (
            lambda: untyped.verify_data_hash(PLAIN, b"", b"", "sha256"),
            lambda: untyped.verify_data_hash(exclusions=[], hash=b"", html=PLAIN),
        ),
    ],
)
def test_keyword_and_positional_bind_alike(positional: Call, keyword: Call) -> None:
    def outcome(call: Call) -> object:
        try:
            return call()
        except ValueError as error:
            return (type(error), str(error))

    assert outcome(positional) == outcome(keyword)


# --- conversions -----------------------------------------------------------------

CONVERSION_TYPE_ERRORS = [
    pytest.param(
        lambda: untyped.embed(bytearray(b"<head></head>"), b""),
        "argument 'html': 'bytearray' object cannot be converted to 'PyBytes'",
        id="bytearray-html",
    ),
    pytest.param(
        lambda: untyped.embed("<head></head>", b""),
        "argument 'html': 'str' object cannot be converted to 'PyBytes'",
        id="str-html",
    ),
    pytest.param(
        lambda: untyped.locate_all(memoryview(b"")),
        "argument 'html': 'memoryview' object cannot be converted to 'PyBytes'",
        id="memoryview-html",
    ),
    pytest.param(
        lambda: untyped.remove(None),
        "argument 'html': 'NoneType' object cannot be converted to 'PyBytes'",
        id="none-html",
    ),
    pytest.param(
        lambda: untyped.embed(b"", 3),
        "argument 'store': 'int' object cannot be converted to 'PyBytes'",
        id="int-store",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", "ab", []),
        "argument 'hash': 'str' object cannot be converted to 'PyBytes'",
        id="str-hash",
    ),
    pytest.param(
        lambda: untyped.embed_reference(b"", b"m.c2pa"),
        "argument 'href': 'bytes' object cannot be converted to 'PyString'",
        id="bytes-href",
    ),
    pytest.param(
        lambda: untyped.compute_data_hash(b"", None),
        "argument 'alg': 'NoneType' object cannot be converted to 'PyString'",
        id="none-alg",
    ),
    pytest.param(
        lambda: untyped.inline_hash_before_embed(b"", alg=b"sha256"),
        "argument 'alg': 'bytes' object cannot be converted to 'PyString'",
        id="bytes-alg",
    ),
    pytest.param(
        lambda: untyped.extract(_Outer.Inner()),
        "argument 'html': '_Outer.Inner' object cannot be converted to 'PyBytes'",
        id="qualified-name",
    ),
    pytest.param(
        lambda: untyped.extract(BrokenQualname()),
        "argument 'html': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
        id="qualname-raises",
    ),
    pytest.param(
        lambda: untyped.extract(NumberQualname()),
        "argument 'html': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
        id="qualname-not-str",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", "(0, 1)"),
        "argument 'exclusions': Can't extract `str` to `Vec`",
        id="str-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", {(0, 1)}),
        "argument 'exclusions': 'set' object cannot be converted to 'Sequence'",
        id="set-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", {0: 1}),
        "argument 'exclusions': 'dict' object cannot be converted to 'Sequence'",
        id="dict-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", _pairs()),
        "argument 'exclusions': 'generator' object cannot be converted to 'Sequence'",
        id="generator-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", 5),
        "argument 'exclusions': 'int' object cannot be converted to 'Sequence'",
        id="int-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [[0, 5]]),
        "argument 'exclusions': 'list' object cannot be converted to 'PyTuple'",
        id="list-item",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, 0), None]),
        "argument 'exclusions': 'NoneType' object cannot be converted to 'PyTuple'",
        id="second-item-none",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", b"x"),
        "argument 'exclusions': 'int' object cannot be converted to 'PyTuple'",
        id="non-empty-bytes-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, 1.5)]),
        "argument 'exclusions': 'float' object cannot be interpreted as an integer",
        id="float-element",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [("0", 1)]),
        "argument 'exclusions': 'str' object cannot be interpreted as an integer",
        id="str-element",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(RaisingIndex(TypeError("from index")), 1)]),
        "argument 'exclusions': from index",
        id="index-raises-type-error",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", FailingIteration(TypeError("from iteration"))),
        "argument 'exclusions': from iteration",
        id="iteration-raises-type-error",
    ),
]


@pytest.mark.parametrize(("call", "message"), CONVERSION_TYPE_ERRORS)
def test_wrong_type_is_prefixed_with_the_argument(call: Call, message: str) -> None:
    with pytest.raises(TypeError) as excinfo:
        call()
    error = excinfo.value
    assert type(error) is TypeError
    assert str(error) == message
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True


def _lone_surrogate_message() -> str:
    try:
        "sha\udc80".encode("utf-8")
    except UnicodeEncodeError as error:
        return str(error)
    raise AssertionError("a lone surrogate encoded")


UNPREFIXED_FAILURES = [
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, 5, 1)]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
        id="tuple-of-three",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, 1), ()]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 0",
        id="empty-tuple",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, -1)]),
        OverflowError,
        "can't convert negative int to unsigned",
        id="negative",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(Index(-3), 1)]),
        OverflowError,
        "can't convert negative int to unsigned",
        id="negative-through-index",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(0, 2**64)]),
        OverflowError,
        "int too big to convert",
        id="two-to-the-64",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(RaisingIndex(ValueError("v")), 1)]),
        ValueError,
        "v",
        id="index-raises-value-error",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [(RaisingIndex(IndexTypeError("sub")), 1)]),
        IndexTypeError,
        "sub",
        id="type-error-subclass",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", FailingIteration(KeyError("k"))),
        KeyError,
        "'k'",
        id="iteration-raises",
    ),
    pytest.param(
        lambda: untyped.compute_data_hash(b"", "sha\udc80"),
        UnicodeEncodeError,
        _lone_surrogate_message(),
        id="alg-lone-surrogate",
    ),
    pytest.param(
        lambda: untyped.embed_reference(b"<head></head>", "\ud800"),
        UnicodeEncodeError,
        None,
        id="href-lone-surrogate",
    ),
]


@pytest.mark.parametrize(("call", "kind", "message"), UNPREFIXED_FAILURES)
def test_other_conversion_failures_pass_unprefixed(
    call: Call, kind: type[BaseException], message: str | None
) -> None:
    with pytest.raises(kind) as excinfo:
        call()
    assert type(excinfo.value) is kind
    assert not str(excinfo.value).startswith("argument ")
    if message is not None:
        assert str(excinfo.value) == message


def test_replaced_type_error_keeps_its_cause() -> None:
    cause = KeyError("underlying")

    def index() -> int:
        raise TypeError("inner") from cause

    class ChainedIndex:
        def __index__(self) -> int:
            return index()

    with pytest.raises(TypeError) as excinfo:
        untyped.verify_data_hash(b"", b"", [(ChainedIndex(), 0)])
    assert str(excinfo.value) == "argument 'exclusions': inner"
    assert excinfo.value.__cause__ is cause
    assert excinfo.value.__suppress_context__ is True


@pytest.mark.parametrize(
    "exclusions",
    [
        pytest.param(b"", id="empty-bytes"),
        pytest.param((), id="empty-tuple"),
        pytest.param([(0, 0)], id="list"),
        pytest.param(((0, 0),), id="tuple-of-tuples"),
        pytest.param([Pair(0, 0)], id="named-tuple"),
        pytest.param([(False, Index(0))], id="bool-and-index"),
        pytest.param([(0, 2**64 - 1)], id="largest"),
        pytest.param(range(0), id="range"),
        pytest.param(Items([(0, 0)], lambda: _raise(RuntimeError("no length"))), id="len-raises"),
        pytest.param(Items([(0, 0)], lambda: sys.maxsize), id="len-huge"),
    ],
)
def test_accepted_exclusions_reach_the_document(exclusions: object) -> None:
    # The page has no manifest, so reaching the document shows up as NoManifest.
    with pytest.raises(ValueError) as excinfo:
        untyped.verify_data_hash(PLAIN, b"", exclusions)
    assert str(excinfo.value) == NO_MANIFEST


def test_subclasses_of_bytes_and_str_are_accepted() -> None:
    class Page(bytes):
        pass

    class Name(str):
        pass

    assert untyped.locate_all(Page(PAGE)) == [(12, 45)]
    assert untyped.compute_data_hash(Page(PAGE), Name("sha512")) == untyped.compute_data_hash(
        PAGE, "sha512"
    )


def test_index_values_are_used_as_offsets() -> None:
    binding = untyped.compute_data_hash(PAGE)
    assert untyped.verify_data_hash(PAGE, binding["hash"], [(Index(12), Index(45))]) is None
    assert untyped.verify_data_hash(PAGE, binding["hash"], [Pair(12, 45)]) is None


# --- order of checks ------------------------------------------------------------

ORDER_OF_CHECKS = [
    pytest.param(
        lambda: untyped.verify_data_hash(bytearray(), b"", [], "md5"),
        TypeError,
        "argument 'html': 'bytearray' object cannot be converted to 'PyBytes'",
        id="html-type-before-alg",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(PAGE, None, "x", "md5"),
        TypeError,
        "argument 'hash': 'NoneType' object cannot be converted to 'PyBytes'",
        id="hash-before-exclusions",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(PAGE, b"", [[0, 1]], "md5"),
        TypeError,
        "argument 'exclusions': 'list' object cannot be converted to 'PyTuple'",
        id="exclusions-before-alg",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(PAGE, b"", [(1, 2, 3)], "md5"),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
        id="exclusion-length-before-alg",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"", b"", [], 5),
        TypeError,
        "argument 'alg': 'int' object cannot be converted to 'PyString'",
        id="alg-type",
    ),
    pytest.param(
        lambda: untyped.verify_data_hash(b"no head at all", b"", [(5, 1), (0, 1)], "md5"),
        ValueError,
        "unsupported hash algorithm: md5 [algorithm.unsupported]",
        id="alg-before-document-and-exclusions",
    ),
    pytest.param(
        lambda: untyped.compute_data_hash(b"", "sha1"),
        ValueError,
        "unsupported hash algorithm: sha1 [algorithm.unsupported]",
        id="alg-before-no-manifest",
    ),
    pytest.param(
        lambda: untyped.embed(1, 2),
        TypeError,
        "argument 'html': 'int' object cannot be converted to 'PyBytes'",
        id="first-parameter-first",
    ),
]


@pytest.mark.parametrize(("call", "kind", "message"), ORDER_OF_CHECKS)
def test_order_of_checks(call: Call, kind: type[BaseException], message: str) -> None:
    with pytest.raises(kind) as excinfo:
        call()
    assert type(excinfo.value) is kind
    assert str(excinfo.value) == message


# --- results -----------------------------------------------------------------------

LOCATIONS = [
    (b'<head><script type="application/c2pa">QUJD</script></head>', [(6, 45)]),
    (b'<head><script type="application/c2pa">QUJD</script>\n</head>', [(6, 45)]),
    (b'<head><script type="application/c2pa"></script></head>', [(6, 41)]),
    (
        b'<!DOCTYPE html><HTML><Head><Link REL="icon C2PA-Manifest" href=/m.c2pa></HEAD><body>',
        [(27, 44)],
    ),
    (b'<head><link rel="c2pa-manifest" href="x"></link></head>', [(6, 35)]),
    (
        b'<head><link rel="c2pa-manifest" href="m.c2pa">'
        b'<script type="application/c2pa">QUJD</script></head>',
        [(6, 40), (46, 45)],
    ),
    (
        b'<html><script type=" Application/C2PA ">x</script><body>'
        b"<script type=application/c2pa>y</script>",
        [(6, 44)],
    ),
    (b'<head><script type="application/c2pa">abc', [(6, 35)]),
    (
        b'<head><script type="application/c2pa; charset=utf-8">a</script>'
        b"<link rel=c2pa-manifest></head>",
        [(63, 24)],
    ),
    (b'<head><link rel="c2pa-manifest" href=""></head>', [(6, 34)]),
    (b'<head><link rel="c2pa-manifest" href></head>', [(6, 31)]),
    (b"<head><!-- <script type=\"application/c2pa\">QUJD</script> --></head>", []),
    (b"<head><title><script type=\"application/c2pa\">QUJD</script></title></head>", []),
    (b"<html><body><script type=\"application/c2pa\">QUJD</script></body></html>", []),
    (b"no tags at all", []),
    (b"", []),
]


@pytest.mark.parametrize(("html", "ranges"), LOCATIONS)
def test_locate_all_ranges(html: bytes, ranges: list[tuple[int, int]]) -> None:
    located = untyped.locate_all(html)
    assert type(located) is list
    assert all(type(pair) is tuple and len(pair) == 2 for pair in located)
    assert located == ranges


def test_extract_dict_keys_in_order() -> None:
    embedded = untyped.extract(PAGE)
    assert embedded is not None
    assert list(embedded.items()) == [
        ("start", 12),
        ("length", 45),
        ("kind", "embedded"),
        ("store", b"ABC"),
    ]
    referenced = untyped.extract(LINKED)
    assert referenced is not None
    assert list(referenced.items()) == [
        ("start", 12),
        ("length", 40),
        ("kind", "referenced"),
        ("href", "m.c2pa"),
    ]
    assert untyped.extract(PLAIN) is None


def test_edits_return_new_bytes_objects() -> None:
    removed = untyped.remove(PLAIN)
    assert type(removed) is bytes
    assert removed == PLAIN and removed is not PLAIN
    assert untyped.remove(PAGE) == PLAIN
    assert untyped.embed(PLAIN, b"ABC") == PAGE
    assert untyped.embed_reference(PLAIN, "a&b") == (
        b'<html><head><link rel="c2pa-manifest" href="a&amp;b" type="application/c2pa">'
        b"</head><body></body></html>"
    )


def test_arguments_are_not_leaked_or_over_released() -> None:
    html = bytes(PAGE)
    store = bytes(b"store bytes")
    alg = "".join(["sha", "512"])
    exclusions = [(12, 45)]
    pair = exclusions[0]
    kwargs = {"html": html, "bogus": store}
    watched = [html, store, alg, exclusions, pair]
    failing_calls: list[Call] = [
        lambda: untyped.verify_data_hash(html, store, exclusions, alg),
        lambda: untyped.verify_data_hash(html, store, [pair, [0]]),
        lambda: untyped.embed(**kwargs),
        lambda: untyped.compute_data_hash(html, store),
    ]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        untyped.embed(html, store)
        untyped.extract(html)
        untyped.locate_all(html)
        untyped.compute_data_hash(html, alg)
        for failing in failing_calls:
            with pytest.raises((TypeError, ValueError)):
                failing()
    assert [sys.getrefcount(o) for o in watched] == before
