"""Hostile arguments at the module boundary: subclasses that lie about
themselves, sequences and iterators that raise or misbehave, keyword
dictionaries that only a native caller can build, the 64-bit boundaries of
exclusions, a million exclusions, empty and very large documents, ill-formed
UTF-8 and lone surrogates. Each one must give a value or the documented error,
never a crash, a wrong result or a read outside the argument."""

from __future__ import annotations

import ctypes
import hashlib
import os
import subprocess
import sys
import time
from typing import Any, Callable, Iterator, List, Optional, Tuple

import pytest

import brevane

untyped: Any = brevane
Call = Callable[[], object]

PLAIN = b"<html><head></head><body></body></html>"
EMBEDDED = b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
ELEMENT = (12, 45)
LINKED = b'<html><head><link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>'
HASH = hashlib.sha256(PLAIN).digest()
TOP = 2**64 - 1

NO_MANIFEST = "no C2PA manifest element found in the document head"
NO_HEAD = "the document has no head element to embed into"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"


def outcome(call: Call) -> object:
    """The value of a call, or the type and text of what it raised."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


def verify(exclusions: object, html: bytes = EMBEDDED, digest: bytes = HASH) -> object:
    return outcome(lambda: untyped.verify_data_hash(html, digest, exclusions))


def native_call(function: object, args: Tuple[object, ...], kwargs: dict[Any, Any]) -> object:
    """A call as C code makes it: the keyword dictionary goes in as it is."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, kwargs)


# --- subclasses that lie --------------------------------------------------------------


class LyingBytes(bytes):
    """Everything Python code would ask is false; only the buffer is true."""

    def __len__(self) -> int:
        return 0

    def __iter__(self) -> Iterator[int]:
        raise RuntimeError("iterated")

    def __getitem__(self, index: object) -> Any:
        raise RuntimeError("indexed")

    def __bytes__(self) -> bytes:
        return b""

    def __eq__(self, other: object) -> bool:
        return False

    def __hash__(self) -> int:
        return 0


class LyingStr(str):
    def __str__(self) -> str:
        return "sha512"

    def __len__(self) -> int:
        return 0

    def encode(self, *args: Any, **kwargs: Any) -> bytes:
        raise RuntimeError("encoded")


SUBCLASS_CALLS: List[
    Tuple[str, Callable[[Callable[[bytes], bytes], Callable[[str], str]], object]]
] = [
    ("embed", lambda b, s: untyped.embed(b(PLAIN), b(b"ABC"))),
    ("embed_reference", lambda b, s: untyped.embed_reference(b(PLAIN), s("a&b"))),
    ("extract", lambda b, s: untyped.extract(b(EMBEDDED))),
    ("extract_link", lambda b, s: untyped.extract(b(LINKED))),
    ("remove", lambda b, s: untyped.remove(b(EMBEDDED))),
    ("locate_all", lambda b, s: untyped.locate_all(b(EMBEDDED))),
    ("compute", lambda b, s: untyped.compute_data_hash(b(EMBEDDED), s("sha384"))),
    ("verify", lambda b, s: untyped.verify_data_hash(b(EMBEDDED), b(HASH), [ELEMENT], s("sha256"))),
    ("verify_bad", lambda b, s: untyped.verify_data_hash(b(EMBEDDED), b(HASH[:5]), [ELEMENT])),
    ("inline", lambda b, s: untyped.inline_hash_before_embed(b(PLAIN), s("sha512"))),
    ("unsupported", lambda b, s: untyped.inline_hash_before_embed(b(PLAIN), s("sha-1"))),
]


@pytest.mark.parametrize(("call"), [pytest.param(call, id=name) for name, call in SUBCLASS_CALLS])
def test_subclasses_are_read_by_their_contents_not_their_methods(
    call: Callable[[Callable[[bytes], bytes], Callable[[str], str]], object],
) -> None:
    plain = outcome(lambda: call(bytes, str))
    lying = outcome(lambda: call(LyingBytes, LyingStr))
    # LyingBytes compares unequal to everything, so compare what the module returned.
    assert repr(lying) == repr(plain)


# --- exclusions that misbehave ----------------------------------------------------------


class Seq:
    """A sequence in the interpreter's sense, with hooks that can misbehave."""

    def __init__(
        self,
        items: List[object],
        length: Callable[[], int] = lambda: -2,
        fail_at: Optional[int] = None,
        error: Optional[BaseException] = None,
    ) -> None:
        self.items = items
        self.length = length
        self.fail_at = fail_at
        self.error = error

    def __len__(self) -> int:
        value = self.length()
        return len(self.items) if value == -2 else value

    def __getitem__(self, index: int) -> object:
        if index == self.fail_at and self.error is not None:
            raise self.error
        return self.items[index]


class Index:
    def __init__(self, result: Callable[[], object]) -> None:
        self.result = result

    def __index__(self) -> Any:
        return self.result()


def raising(error: BaseException) -> Callable[[], Any]:
    def hook() -> Any:
        raise error

    return hook


class BadIter(Seq):
    def __iter__(self) -> Any:
        return 42


class IterRaises(Seq):
    def __iter__(self) -> Iterator[object]:
        raise KeyError("no iterator")


class LongTuple(tuple):  # type: ignore[type-arg]
    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: Any) -> Any:
        return 0


def overflow() -> Tuple[type, None]:
    return (OverflowError, None)


EXCLUSION_OBJECTS = [
    # The length only sizes the list: a failing or lying __len__ changes nothing.
    pytest.param(Seq([ELEMENT], length=raising(RuntimeError("len"))), None, id="len-raises"),
    pytest.param(Seq([ELEMENT], length=lambda: sys.maxsize), None, id="len-claims-maxsize"),
    pytest.param(Seq([ELEMENT], length=lambda: 2**62), None, id="len-claims-2**62"),
    pytest.param(Seq([ELEMENT], length=lambda: 0), None, id="len-claims-zero"),
    pytest.param(Seq([ELEMENT], length=lambda: 5), None, id="len-claims-more"),
    pytest.param(Seq([ELEMENT], length=lambda: -1), None, id="len-negative"),
    pytest.param(Seq([ELEMENT], length=lambda: 2**64), None, id="len-beyond-ssize"),
    # Iteration failures pass through; only a plain TypeError gets the prefix.
    pytest.param(
        Seq([ELEMENT, (57, 0), (60, 0)], fail_at=1, error=RuntimeError("midway")),
        (RuntimeError, "midway"),
        id="iteration-raises-midway",
    ),
    pytest.param(
        Seq([ELEMENT, (57, 0)], fail_at=1, error=TypeError("midway")),
        (TypeError, "argument 'exclusions': midway"),
        id="iteration-type-error-midway",
    ),
    pytest.param(
        Seq([ELEMENT], fail_at=0, error=StopIteration()), (MALFORMED,), id="stops-before-first"
    ),
    pytest.param(
        BadIter([ELEMENT]),
        (TypeError, "argument 'exclusions': iter() returned non-iterator of type 'int'"),
        id="iter-returns-int",
    ),
    pytest.param(IterRaises([ELEMENT]), (KeyError, "'no iterator'"), id="iter-raises"),
    # Items converted through __index__.
    pytest.param([(Index(lambda: 12), Index(lambda: 45))], None, id="index-ok"),
    pytest.param([(True, False), ELEMENT], None, id="bools"),
    pytest.param([ELEMENT, (Index(lambda: 2**64), 0)], overflow(), id="index-2**64"),
    pytest.param([ELEMENT, (Index(lambda: 10**400), 0)], overflow(), id="index-huge"),
    pytest.param([ELEMENT, (Index(lambda: -1), 0)], overflow(), id="index-negative"),
    pytest.param([(Index(lambda: TOP), 0), ELEMENT], (MALFORMED,), id="index-top"),
    pytest.param(
        [ELEMENT, (Index(lambda: "57"), 0)],
        (TypeError, "argument 'exclusions': __index__ returned non-int (type str)"),
        id="index-returns-str",
    ),
    pytest.param(
        [ELEMENT, (Index(raising(ValueError("idx"))), 0)], (ValueError, "idx"), id="index-raises"
    ),
    pytest.param(
        [ELEMENT, (Index(raising(MemoryError())), 0)], (MemoryError, ""), id="index-memory-error"
    ),
    # A tuple subclass is read by its real items and real length.
    pytest.param(
        [LongTuple((12, 45, 0))],
        (ValueError, "expected tuple of length 2, but got tuple of length 3"),
        id="tuple-lies-about-length",
    ),
    pytest.param([LongTuple(ELEMENT)], None, id="tuple-lies-about-items"),
]


@pytest.mark.parametrize(("exclusions", "expected"), EXCLUSION_OBJECTS)
def test_misbehaving_exclusions(exclusions: object, expected: Optional[Tuple[Any, ...]]) -> None:
    result = verify(exclusions)
    if expected is None:
        assert result is None
    elif len(expected) == 1:
        assert result == (ValueError, expected[0])
    elif expected[1] is None:
        # The interpreter's own OverflowError, whose text is its own, unprefixed.
        assert isinstance(result, tuple) and result[0] is expected[0]
        assert not result[1].startswith("argument")
    else:
        assert result == expected


def test_list_emptied_by_an_item_during_iteration() -> None:
    exclusions: List[object] = []

    def empty() -> int:
        exclusions.clear()
        return 12

    exclusions += [(Index(empty), 45), (60, 1), (70, 1)]
    # The item in hand stays alive; the iteration then finds the list empty.
    assert verify(exclusions) is None
    assert exclusions == []


def test_list_grown_by_an_item_during_iteration() -> None:
    exclusions: List[object] = []

    def grow() -> int:
        exclusions.append((80, 10))  # ends beyond the document
        return 12

    exclusions.append((Index(grow), 45))
    assert verify(exclusions) == (ValueError, MALFORMED)
    assert len(exclusions) == 2


def test_calls_made_from_inside_a_conversion_see_their_own_arguments() -> None:
    # Every function called again while verify_data_hash converts its
    # exclusions: nothing of the outer call may leak into the inner ones.
    inner: List[object] = []

    def reenter() -> int:
        inner.append(untyped.embed(PLAIN, b"ABC"))
        inner.append(untyped.extract(LINKED))
        inner.append(untyped.compute_data_hash(EMBEDDED, "sha512")["hash"])
        inner.append(verify([ELEMENT, (57, 0)]))
        inner.append(verify([(0, 1)]))
        return 12

    assert verify([(Index(reenter), 45)]) is None
    assert inner == [
        EMBEDDED,
        {"start": 12, "length": 40, "kind": "referenced", "href": "m.c2pa"},
        hashlib.sha512(PLAIN).digest(),
        None,
        (ValueError, MALFORMED),
    ]


# --- the 64-bit boundaries --------------------------------------------------------------

BOUNDARIES = [
    ([ELEMENT, (TOP, 0)], (ValueError, MALFORMED)),  # beyond the document
    ([ELEMENT, (57, TOP - 57)], (ValueError, MALFORMED)),  # ends exactly at 2**64 - 1
    ([ELEMENT, (58, TOP - 57)], (ValueError, MALFORMED)),  # end overflows by one
    ([ELEMENT, (TOP, TOP)], (ValueError, MALFORMED)),
    ([ELEMENT, (2**64, 0)], OverflowError),
    ([ELEMENT, (0, 2**64)], OverflowError),
    ([ELEMENT, (2**64 + 12, 45)], OverflowError),
    ([(TOP, 1)], (ValueError, MALFORMED)),
    ([(12, 45 + 2**64)], OverflowError),  # would wrap to the element's range
]


@pytest.mark.parametrize(("exclusions", "expected"), BOUNDARIES)
def test_exclusion_boundaries(exclusions: List[Tuple[int, int]], expected: object) -> None:
    result = verify(exclusions)
    if isinstance(expected, type):
        assert isinstance(result, tuple) and result[0] is expected
    else:
        assert result == expected


@pytest.mark.parametrize("exclusions", [[(TOP, 0)], [(0, TOP)], [(TOP, 1)], [(1, TOP)]])
def test_top_of_the_range_on_a_linked_document(exclusions: List[Tuple[int, int]]) -> None:
    digest = hashlib.sha256(LINKED).digest()
    assert verify(exclusions, LINKED, digest) == (ValueError, MALFORMED)


# --- a million exclusions -------------------------------------------------------------

MILLION = 1_000_000


@pytest.mark.parametrize(
    ("exclusions", "expected"),
    [
        pytest.param([(0, 0)] * (MILLION - 1) + [ELEMENT], None, id="list-valid"),
        pytest.param(tuple([(12, 0)] * (MILLION - 1) + [ELEMENT]), None, id="tuple-valid"),
        pytest.param([ELEMENT] + [(57, 0)] * (MILLION - 1), None, id="after-element"),
        pytest.param([(i, 0) for i in range(MILLION)], (ValueError, MALFORMED), id="no-element"),
        pytest.param(
            [(0, 0)] * (MILLION - 2) + [ELEMENT, (80, 10)],
            (ValueError, MALFORMED),
            id="last-leaves-the-document",
        ),
        pytest.param(
            [ELEMENT] + [(57, 0)] * (MILLION - 2) + [(5, 0)],
            (ValueError, MALFORMED),
            id="last-out-of-order",
        ),
        pytest.param(
            [ELEMENT] + [(57, 0)] * (MILLION - 2) + [(70, 1)],
            (ValueError, MISMATCH),
            id="last-drops-a-byte",
        ),
        pytest.param(
            Seq([(0, 0)] * MILLION, fail_at=MILLION - 1, error=RuntimeError("late")),
            (RuntimeError, "late"),
            id="fails-at-the-last",
        ),
        pytest.param(
            [(0, 0)] * (MILLION - 1) + [[12, 45]],
            (TypeError, "argument 'exclusions': 'list' object cannot be converted to 'PyTuple'"),
            id="last-is-a-list",
        ),
    ],
)
def test_million_exclusions(exclusions: object, expected: object) -> None:
    assert verify(exclusions) == expected


# --- empty and huge documents ------------------------------------------------------------

EMPTY_DOCUMENT: List[Tuple[str, Call, object]] = [
    ("embed", lambda: untyped.embed(b"", b"x"), (ValueError, NO_HEAD)),
    ("embed_reference", lambda: untyped.embed_reference(b"", "x"), (ValueError, NO_HEAD)),
    ("extract", lambda: untyped.extract(b""), None),
    ("remove", lambda: untyped.remove(b""), b""),
    ("locate_all", lambda: untyped.locate_all(b""), []),
    ("compute", lambda: untyped.compute_data_hash(b""), (ValueError, NO_MANIFEST)),
    ("verify", lambda: untyped.verify_data_hash(b"", b"", []), (ValueError, NO_MANIFEST)),
    ("inline256", lambda: untyped.inline_hash_before_embed(b""), hashlib.sha256().digest()),
    (
        "inline384",
        lambda: untyped.inline_hash_before_embed(b"", "sha384"),
        hashlib.sha384().digest(),
    ),
    (
        "inline512",
        lambda: untyped.inline_hash_before_embed(b"", "sha512"),
        hashlib.sha512().digest(),
    ),
]


@pytest.mark.parametrize(
    ("call", "expected"), [pytest.param(c, e, id=n) for n, c, e in EMPTY_DOCUMENT]
)
def test_empty_document(call: Call, expected: object) -> None:
    assert outcome(call) == expected


@pytest.mark.slow
def test_one_gibibyte_document() -> None:
    filler = b"<p a=b>" + b"x" * 1017  # 1 KiB of markup and text
    body = filler * (2**20 - 1)
    page = b"<html><head><title>t</title></head><body>" + body
    page += b" " * (2**30 - len(page))
    assert len(page) == 2**30
    timings = {}

    started = time.perf_counter()
    predicted = untyped.inline_hash_before_embed(page)
    timings["inline_hash_before_embed"] = time.perf_counter() - started
    assert predicted == hashlib.sha256(page).digest()

    started = time.perf_counter()
    assert untyped.locate_all(page) == []
    timings["locate_all"] = time.perf_counter() - started

    started = time.perf_counter()
    embedded = untyped.embed(page, b"ABC")
    timings["embed"] = time.perf_counter() - started
    at = page.index(b"</head>")
    assert embedded[:at] == page[:at] and embedded[at + 45 :] == page[at:]

    started = time.perf_counter()
    binding = untyped.compute_data_hash(embedded)
    timings["compute_data_hash"] = time.perf_counter() - started
    assert binding == {"alg": "sha256", "hash": predicted, "exclusions": [(at, 45)]}

    started = time.perf_counter()
    assert untyped.verify_data_hash(embedded, predicted, [(at, 45)]) is None
    timings["verify_data_hash"] = time.perf_counter() - started

    started = time.perf_counter()
    assert untyped.remove(embedded) == page
    timings["remove"] = time.perf_counter() - started
    del embedded
    print("1 GiB document, seconds per call:", {k: round(v, 2) for k, v in timings.items()})


# --- ill-formed UTF-8 and lone surrogates ------------------------------------------------

ILL_FORMED = [
    b"\xff",
    b"\xfe\xff",
    b"\xc0\xaf",  # overlong "/"
    b"\xe0\x80\xaf",
    b"\xed\xa0\x80",  # an encoded surrogate
    b"\xf4\x90\x80\x80",  # beyond U+10FFFF
    b"\xf0\x9f\x98",  # truncated four-byte sequence
    b"a\x80b\xbf",
    b"\xe2\x82\xac\xe2\x82",  # one good euro sign, then half of one
    b"\x00\x01\x7f",
]


@pytest.mark.parametrize("raw", ILL_FORMED)
def test_ill_formed_href_is_replaced_like_the_interpreter_does(raw: bytes) -> None:
    page = b'<html><head><link rel="c2pa-manifest" href="' + raw + b'"></head></html>'
    association = untyped.extract(page)
    assert association["href"] == raw.decode("utf-8", "replace")
    assert untyped.compute_data_hash(page)["hash"] == hashlib.sha256(page).digest()


@pytest.mark.parametrize("raw", ILL_FORMED)
def test_ill_formed_bytes_in_markup_survive_every_edit(raw: bytes) -> None:
    page = (
        b"<html"
        + raw
        + b"><head "
        + raw
        + b"="
        + raw
        + b"><t"
        + raw
        + b">"
        + raw
        + b"</head><body>"
        + raw
    )
    embedded = untyped.embed(page, raw)
    found = untyped.locate_all(embedded)
    assert len(found) == 1
    start, length = found[0]
    assert embedded[:start] + embedded[start + length :] == page
    assert untyped.extract(embedded)["store"] == raw
    assert untyped.remove(embedded) == page
    binding = untyped.compute_data_hash(embedded)
    assert binding["hash"] == untyped.inline_hash_before_embed(page)
    linked = untyped.embed_reference(page, raw.decode("utf-8", "replace"))
    assert untyped.remove(linked) == page


def test_store_of_every_byte_value_round_trips() -> None:
    store = bytes(range(256)) * 3
    assert untyped.extract(untyped.embed(PLAIN, store))["store"] == store


LONE_SURROGATES = ["\udc80", "a\ud800b", "\udfff", "\ud83d\ude00", "x" * 1000 + "\udbff"]


@pytest.mark.parametrize("text", LONE_SURROGATES)
def test_lone_surrogate_in_href_is_the_interpreters_encode_error(text: str) -> None:
    with pytest.raises(UnicodeEncodeError) as excinfo:
        untyped.embed_reference(PLAIN, text)
    assert excinfo.type is UnicodeEncodeError
    assert excinfo.value.encoding == "utf-8"


@pytest.mark.parametrize("text", LONE_SURROGATES)
@pytest.mark.parametrize("html", [PLAIN, EMBEDDED, b""])
def test_lone_surrogate_in_alg_fails_before_the_document_is_read(text: str, html: bytes) -> None:
    with pytest.raises(UnicodeEncodeError):
        untyped.compute_data_hash(html, text)
    with pytest.raises(UnicodeEncodeError):
        untyped.inline_hash_before_embed(html, alg=text)
    with pytest.raises(UnicodeEncodeError):
        untyped.verify_data_hash(html, b"", [], text)


@pytest.mark.parametrize("href", ["\U0001f600", "\u00e9t\u00e9", "\ufffd", "\x00", "\u2028"])
def test_non_ascii_href_round_trips(href: str) -> None:
    assert untyped.extract(untyped.embed_reference(PLAIN, href))["href"] == href


@pytest.mark.parametrize("alg", ["sh\u00e4256", "\U0001f600", "\x00sha256", "sha256\x00"])
def test_non_ascii_algorithm_name_is_shown_as_given(alg: str) -> None:
    assert outcome(lambda: untyped.inline_hash_before_embed(PLAIN, alg)) == (
        ValueError,
        f"unsupported hash algorithm: {alg} [algorithm.unsupported]",
    )


# --- keyword dictionaries that only native code can build --------------------------------


class StrRaises:
    def __str__(self) -> str:
        raise LookupError("no text")


class StrNotStr:
    def __str__(self) -> Any:
        return 7


class WeirdKey(str):
    def __eq__(self, other: object) -> bool:
        return True

    def __hash__(self) -> int:
        return 1


NATIVE_KEYWORDS = [
    pytest.param(
        {1: b""}, (TypeError, "remove() got an unexpected keyword argument '1'"), id="int"
    ),
    pytest.param(
        {None: b""}, (TypeError, "remove() got an unexpected keyword argument 'None'"), id="none"
    ),
    pytest.param(
        {b"html": b""},
        (TypeError, "remove() got an unexpected keyword argument 'b'html''"),
        id="bytes",
    ),
    pytest.param(
        {(1, 2): b""},
        (TypeError, "remove() got an unexpected keyword argument '(1, 2)'"),
        id="tuple",
    ),
    pytest.param({StrRaises(): b""}, (LookupError, "no text"), id="str-raises"),
    pytest.param(
        {StrNotStr(): b""}, (TypeError, "__str__ returned non-string (type int)"), id="str-not-str"
    ),
    pytest.param(
        {"html": EMBEDDED, 1: b""},
        (TypeError, "remove() got an unexpected keyword argument '1'"),
        id="after-a-good-one",
    ),
    pytest.param(
        {WeirdKey("html"): EMBEDDED},
        b"<html><head></head><body></body></html>",
        id="str-subclass-binds-by-text",
    ),
    pytest.param(
        {WeirdKey("htm"): EMBEDDED},
        (TypeError, "remove() got an unexpected keyword argument 'htm'"),
        id="str-subclass-eq-ignored",
    ),
    pytest.param(
        {"\udcff": b""},
        (TypeError, "remove() got an unexpected keyword argument '\udcff'"),
        id="surrogate",
    ),
]


@pytest.mark.parametrize(("kwargs", "expected"), NATIVE_KEYWORDS)
def test_keyword_dictionary_from_a_native_caller(kwargs: dict[Any, Any], expected: object) -> None:
    assert outcome(lambda: native_call(untyped.remove, (), kwargs)) == expected


def test_a_million_positional_arguments() -> None:
    arguments = [b""] * MILLION
    assert outcome(lambda: untyped.locate_all(*arguments)) == (
        TypeError,
        "locate_all() takes 1 positional arguments but 1000000 were given",
    )


def test_a_thousand_unexpected_keywords_name_the_first() -> None:
    kwargs = {f"k{i}": i for i in range(1000)}
    assert outcome(lambda: untyped.extract(EMBEDDED, **kwargs)) == (
        TypeError,
        "extract() got an unexpected keyword argument 'k0'",
    )


# --- a native caller's keyword dictionary emptied mid-call --------------------------------

# The caller's own dictionary reaches the function when C code calls it with
# PyObject_Call; an exclusion's __index__ can then drop the only references to
# the document and the hash while the call still reads them. Run in a child
# interpreter: a read of freed memory must not take the test session with it.
DROPPED_MID_CALL = """
import ctypes, sys
import brevane
call = ctypes.pythonapi.PyObject_Call
call.restype = ctypes.py_object
call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
page = %r
digest = brevane.compute_data_hash(page)["hash"]
junk = []

class Dropping:
    def __init__(self, kwargs, value):
        self.kwargs, self.value = kwargs, value
    def __index__(self):
        self.kwargs.clear()
        # Fill the freed blocks with bytes of the same sizes.
        junk.extend(bytes([65]) * n for n in (len(page), len(digest)) for _ in range(100))
        return self.value

outcomes = []
for _ in range(5):
    kwargs = {"html": bytes(bytearray(page)), "hash": bytes(bytearray(digest))}
    kwargs["exclusions"] = [(Dropping(kwargs, 12), 45)]
    try:
        outcomes.append(repr(call(brevane.verify_data_hash, (), kwargs)))
    except ValueError as error:
        outcomes.append(str(error))

class DroppingSequence:
    # Its __len__ drops the caller's only reference to the sequence itself.
    def __init__(self, kwargs):
        self.kwargs = kwargs
    def __len__(self):
        self.kwargs.clear()
        del self.kwargs
        return 1
    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        return (12, 45)

for _ in range(5):
    kwargs = {"html": page, "hash": digest}
    kwargs["exclusions"] = DroppingSequence(kwargs)
    outcomes.append(repr(call(brevane.verify_data_hash, (), kwargs)))
print(outcomes)
"""


def test_keyword_values_dropped_by_the_caller_mid_call() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", DROPPED_MID_CALL % EMBEDDED],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr(["None"] * 10)
