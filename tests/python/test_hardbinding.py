"""The c2pa.hash.data hard binding as the host sees it: compute_data_hash,
verify_data_hash and inline_hash_before_embed, their exact messages, and the
promise that a hash taken before embedding survives the embedding."""

from __future__ import annotations

import base64
import hashlib
from typing import Callable, List, Optional, Tuple

import brevane
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

ALGS = ["sha256", "sha384", "sha512"]
SIZES = {"sha256": 32, "sha384": 48, "sha512": 64}

MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
NO_MANIFEST = "no C2PA manifest element found in the document head"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"
BAD_BASE64 = "the C2PA manifest element is malformed: script content is not valid Base64"

# The page before and after embedding the store b"ABC" (Base64 "QUJD") at offset 12.
PLAIN = b"<html><head></head><body></body></html>"
EMBEDDED = b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
ELEMENT = (12, 45)
LINKED = b'<html><head><link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>'
TWO = (
    b'<html><head><script type="application/c2pa">QUJD</script>'
    b'<link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>'
)
BAD = b'<html><head><script type="application/c2pa">Q!JD</script></head><body></body></html>'

Ranges = List[Tuple[int, int]]


def unsupported(name: str) -> str:
    return f"unsupported hash algorithm: {name} [algorithm.unsupported]"


def h(alg: str, data: bytes) -> bytes:
    return hashlib.new(alg, data).digest()


def verify(html: bytes, hash: bytes, exclusions: Ranges, alg: str = "sha256") -> object:
    # Seen as returning object, so that "is None" checks what really comes back.
    function: Callable[..., object] = brevane.verify_data_hash
    return function(html, hash, exclusions, alg)


def script_element(store: bytes) -> bytes:
    return b'<script type="application/c2pa">' + base64.b64encode(store) + b"</script>"


@pytest.mark.parametrize("alg", ALGS)
def test_binding_of_the_embedded_page_excludes_the_element(alg: str) -> None:
    assert len(EMBEDDED) == 84
    binding = brevane.compute_data_hash(EMBEDDED, alg)
    assert list(binding) == ["alg", "hash", "exclusions"]
    assert binding == {"alg": alg, "hash": h(alg, PLAIN), "exclusions": [ELEMENT]}
    assert type(binding["hash"]) is bytes and len(binding["hash"]) == SIZES[alg]
    assert brevane.locate_all(EMBEDDED) == [ELEMENT]
    predicted = brevane.inline_hash_before_embed(PLAIN, alg)
    assert type(predicted) is bytes and predicted == binding["hash"]
    assert verify(EMBEDDED, binding["hash"], binding["exclusions"], alg) is None


def test_sha256_is_the_default() -> None:
    assert brevane.compute_data_hash(EMBEDDED)["alg"] == "sha256"
    assert brevane.inline_hash_before_embed(PLAIN) == h("sha256", PLAIN)
    function: Callable[..., object] = brevane.verify_data_hash
    assert function(EMBEDDED, h("sha256", PLAIN), [ELEMENT]) is None


@pytest.mark.parametrize(
    ("html", "exclusions", "hashed"),
    [
        pytest.param(LINKED, [], LINKED, id="link hashed whole"),
        pytest.param(
            b'<head><script type="application/c2pa">QUJD</script>',
            [(6, 45)],
            b"<head>",
            id="ends at the end",
        ),
        pytest.param(
            b'<head><script type="application/c2pa">QUJD', [(6, 36)], b"<head>", id="never closed"
        ),
    ],
)
@pytest.mark.parametrize("alg", ALGS)
def test_binding_follows_the_association(
    alg: str, html: bytes, exclusions: Ranges, hashed: bytes
) -> None:
    assert brevane.compute_data_hash(html, alg) == {
        "alg": alg,
        "hash": h(alg, hashed),
        "exclusions": exclusions,
    }


@pytest.mark.parametrize(
    ("html", "alg", "message"),
    [
        pytest.param(EMBEDDED, "SHA256", unsupported("SHA256"), id="upper case"),
        pytest.param(
            EMBEDDED, "", "unsupported hash algorithm:  [algorithm.unsupported]", id="empty name"
        ),
        pytest.param(EMBEDDED, "sha256 ", unsupported("sha256 "), id="trailing blank"),
        pytest.param(EMBEDDED, "sha-256", unsupported("sha-256"), id="dashed"),
        pytest.param(EMBEDDED, "sh\u00e4256", unsupported("sh\u00e4256"), id="non-ASCII kept"),
        pytest.param(PLAIN, "md5", unsupported("md5"), id="name before the missing manifest"),
        pytest.param(PLAIN, "sha256", NO_MANIFEST, id="no manifest"),
        pytest.param(b"", "sha512", NO_MANIFEST, id="empty document"),
        pytest.param(TWO, "sha256", MULTIPLE, id="script and link"),
        pytest.param(BAD, "sha384", BAD_BASE64, id="bad Base64"),
    ],
)
def test_compute_fails_in_order(html: bytes, alg: str, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        brevane.compute_data_hash(html, alg)
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


H = h("sha256", PLAIN)


@pytest.mark.parametrize(
    ("html", "hash", "exclusions", "alg", "message"),
    [
        pytest.param(EMBEDDED, H, [ELEMENT], "sha256", None, id="own binding"),
        pytest.param(EMBEDDED, H, [(0, 0), ELEMENT], "sha256", None, id="zero-length before"),
        pytest.param(EMBEDDED, H, [ELEMENT, (57, 0)], "sha256", None, id="zero-length after"),
        pytest.param(EMBEDDED, H, [ELEMENT, (70, 5)], "sha256", MISMATCH, id="more excluded"),
        pytest.param(EMBEDDED, H, [], "sha256", MALFORMED, id="nothing excluded"),
        pytest.param(EMBEDDED, H, [(12, 46)], "sha256", MALFORMED, id="longer range"),
        pytest.param(EMBEDDED, H, [(11, 46)], "sha256", MALFORMED, id="containing range"),
        pytest.param(EMBEDDED, b"", [(12, 44)], "sha256", MALFORMED, id="coverage before hash"),
        pytest.param(EMBEDDED, H, [(60, 2), ELEMENT], "sha256", MALFORMED, id="out of order"),
        pytest.param(EMBEDDED, H, [ELEMENT, ELEMENT], "sha256", MALFORMED, id="overlap"),
        pytest.param(EMBEDDED, H, [ELEMENT, (80, 10)], "sha256", MALFORMED, id="past the end"),
        pytest.param(
            EMBEDDED, H, [ELEMENT, (60, 2**64 - 60)], "sha256", MALFORMED, id="end overflows"
        ),
        pytest.param(
            EMBEDDED, H, [ELEMENT, (2**64 - 1, 0)], "sha256", MALFORMED, id="start at the top"
        ),
        pytest.param(EMBEDDED, b"", [ELEMENT], "sha256", MISMATCH, id="empty hash"),
        pytest.param(EMBEDDED, H, [ELEMENT], "sha512", MISMATCH, id="sha256 value under sha512"),
        pytest.param(EMBEDDED, H + b"\0", [ELEMENT], "sha256", MISMATCH, id="one byte too many"),
        pytest.param(EMBEDDED, H, [ELEMENT], "SHA256", unsupported("SHA256"), id="upper-case name"),
        pytest.param(PLAIN, H, [], "SHA256", unsupported("SHA256"), id="name before manifest"),
        pytest.param(
            EMBEDDED, H, [(8, 2), (5, 3)], "sha1", unsupported("sha1"), id="name before exclusions"
        ),
        pytest.param(PLAIN, H, [(12, 45)], "sha256", NO_MANIFEST, id="no manifest"),
        pytest.param(TWO, H, [ELEMENT], "sha256", MULTIPLE, id="two elements"),
        pytest.param(BAD, H, [ELEMENT], "sha256", BAD_BASE64, id="bad Base64"),
        pytest.param(
            EMBEDDED.replace(b"<body>", b"<Body>"),
            H,
            [ELEMENT],
            "sha256",
            MISMATCH,
            id="body as Body",
        ),
        pytest.param(
            EMBEDDED.replace(b"<head>", b"<head> "), H, [ELEMENT], "sha256", MALFORMED, id="shifted"
        ),
        pytest.param(
            EMBEDDED.replace(b"QUJD", b"QUJE"), H, [ELEMENT], "sha256", None, id="same-length store"
        ),
        pytest.param(
            EMBEDDED.replace(b"QUJD", b"QUJDRA=="),
            H,
            [ELEMENT],
            "sha256",
            MALFORMED,
            id="longer store",
        ),
        pytest.param(LINKED, h("sha256", LINKED), [], "sha256", None, id="link hashed whole"),
        pytest.param(LINKED, h("sha512", LINKED), [], "sha512", None, id="link under sha512"),
        pytest.param(
            LINKED, h("sha256", LINKED), [(0, 0)], "sha256", MALFORMED, id="link with an entry"
        ),
        pytest.param(LINKED, H, [], "sha256", MISMATCH, id="link with another hash"),
    ],
)
def test_verify_checks_in_order(
    html: bytes, hash: bytes, exclusions: Ranges, alg: str, message: Optional[str]
) -> None:
    if message is None:
        assert verify(html, hash, exclusions, alg) is None
        return
    with pytest.raises(ValueError) as caught:
        brevane.verify_data_hash(html, hash, exclusions, alg)
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "html",
    [
        pytest.param(b"", id="empty"),
        pytest.param(b"no markup, no head", id="no head"),
        pytest.param(EMBEDDED, id="manifest included"),
        pytest.param(TWO, id="two manifests"),
        pytest.param(BAD, id="bad Base64"),
        pytest.param(bytes(range(256)) * 5, id="binary"),
    ],
)
@pytest.mark.parametrize("alg", ALGS)
def test_prediction_digests_every_byte(alg: str, html: bytes) -> None:
    predicted = brevane.inline_hash_before_embed(html, alg)
    assert type(predicted) is bytes
    assert len(predicted) == SIZES[alg]
    assert predicted == h(alg, html)


def test_prediction_rejects_an_unknown_name() -> None:
    with pytest.raises(ValueError) as caught:
        brevane.inline_hash_before_embed(PLAIN, "SHA256")
    assert str(caught.value) == unsupported("SHA256")


def test_link_is_not_predicted() -> None:
    linked = brevane.embed_reference(PLAIN, "m.c2pa")
    assert brevane.compute_data_hash(linked)["hash"] == h("sha256", linked)
    assert brevane.compute_data_hash(linked)["hash"] != brevane.inline_hash_before_embed(PLAIN)


# Text without "<" opens no tag, so the structure around it stays as written.
text = st.binary(max_size=200).map(lambda b: b.replace(b"<", b""))
algs = st.sampled_from(ALGS)
old_elements = st.sampled_from(
    [b"", script_element(b"old"), b'<link rel="c2pa-manifest" href="old">', script_element(b"")]
)
# The head ends at "</head>", or earlier at "<body>": then the new element lands
# outside the searched head and there is no binding to compute.
heads = st.sampled_from([b"</head>", b"<body></head>"])


@given(alg=algs, head=text, old=old_elements, tail=heads, body=text, store=st.binary(max_size=120))
def test_hash_predicted_before_embedding_survives_it(
    alg: str, head: bytes, old: bytes, tail: bytes, body: bytes, store: bytes
) -> None:
    page = b"<html><head>" + head + old + tail + body
    cleaned = brevane.remove(page)
    embedded = brevane.embed(page, store)
    element = script_element(store)
    at = embedded.find(element)
    assert at >= 0 and embedded[:at] + embedded[at + len(element) :] == cleaned
    inserted = (at, len(element))
    if brevane.locate_all(embedded) == [inserted]:
        binding = brevane.compute_data_hash(embedded, alg)
        assert binding["exclusions"] == [inserted]
        assert binding["hash"] == brevane.inline_hash_before_embed(cleaned, alg)
        assert verify(embedded, binding["hash"], binding["exclusions"], alg) is None
    else:
        assert tail == b"<body></head>"
        with pytest.raises(ValueError) as caught:
            brevane.compute_data_hash(embedded, alg)
        assert str(caught.value) == NO_MANIFEST


fragments = st.sampled_from(
    [
        b"<html>",
        b"<head>",
        b"</head>",
        b"<body>",
        b"<title>",
        b"</title>",
        b"<!-- ",
        b" -->",
        script_element(b"ABC"),
        script_element(b""),
        b'<script type="application/c2pa">',
        b"</script>",
        b'<link rel="c2pa-manifest" href="x">',
        b'<link rel="c2pa-manifest">',
        b"QUJD",
        b"!",
    ]
)
documents = st.lists(st.one_of(fragments, text), max_size=12).map(b"".join)


@given(alg=algs, html=documents)
def test_every_computed_binding_verifies(alg: str, html: bytes) -> None:
    try:
        binding = brevane.compute_data_hash(html, alg)
    except ValueError as error:
        assert str(error) in {
            NO_MANIFEST,
            MULTIPLE,
            BAD_BASE64,
            "the C2PA manifest element is malformed: link has no href to resolve",
        }
        return
    assert verify(html, binding["hash"], binding["exclusions"], alg) is None


def embedded_page(head: bytes, body: bytes, store: bytes) -> Tuple[bytes, Tuple[int, int]]:
    page = brevane.embed(b"<html><head>" + head + b"</head><body>" + body, store)
    (element,) = brevane.locate_all(page)
    return page, element


def verify_error(page: bytes, hash: bytes, exclusions: Ranges, alg: str) -> str:
    with pytest.raises(ValueError) as caught:
        brevane.verify_data_hash(page, hash, exclusions, alg)
    return str(caught.value)


@given(
    alg=algs,
    head=text,
    body=text,
    store=st.binary(max_size=60),
    where=st.integers(min_value=0),
    new=st.integers(0, 255),
)
def test_a_changed_text_byte_is_a_mismatch(
    alg: str, head: bytes, body: bytes, store: bytes, where: int, new: int
) -> None:
    page, (start, length) = embedded_page(head, body, store)
    binding = brevane.compute_data_hash(page, alg)
    # Offsets of the head and body text: changing one to another byte that opens
    # no tag keeps every piece of markup where it was.
    text_at = [12 + i for i in range(len(head))] + [
        len(page) - len(body) + i for i in range(len(body))
    ]
    assume(text_at and new != ord("<"))
    at = text_at[where % len(text_at)]
    assume(page[at] != new)
    assert not start <= at < start + length
    changed = page[:at] + bytes([new]) + page[at + 1 :]
    assert verify_error(changed, binding["hash"], binding["exclusions"], alg) == MISMATCH


@given(
    alg=algs,
    head=text,
    body=text,
    store=st.binary(max_size=60),
    where=st.integers(min_value=0),
    new=st.integers(0, 255),
)
def test_any_changed_byte_outside_the_element_fails(
    alg: str, head: bytes, body: bytes, store: bytes, where: int, new: int
) -> None:
    page, (start, length) = embedded_page(head, body, store)
    binding = brevane.compute_data_hash(page, alg)
    outside = [i for i in range(len(page)) if not start <= i < start + length]
    at = outside[where % len(outside)]
    assume(page[at] != new)
    changed = page[:at] + bytes([new]) + page[at + 1 :]
    # A changed byte of markup may move, hide or break the element instead.
    message = verify_error(changed, binding["hash"], binding["exclusions"], alg)
    assert message in {MISMATCH, MALFORMED, NO_MANIFEST, MULTIPLE, BAD_BASE64}


@given(
    alg=algs,
    head=text,
    body=text,
    store=st.binary(max_size=60),
    where=st.integers(min_value=0),
    new=st.integers(0, 255),
)
def test_a_shifted_element_is_malformed(
    alg: str, head: bytes, body: bytes, store: bytes, where: int, new: int
) -> None:
    page, (start, _) = embedded_page(head, body, store)
    binding = brevane.compute_data_hash(page, alg)
    assume(new != ord("<"))
    at = 12 + where % (len(head) + 1)  # anywhere in the head's text, before the element
    shifted = page[:at] + bytes([new]) + page[at:]
    assert brevane.locate_all(shifted) == [(start + 1, binding["exclusions"][0][1])]
    assert verify_error(shifted, binding["hash"], binding["exclusions"], alg) == MALFORMED
