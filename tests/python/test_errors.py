"""Document errors as the host sees them: always the plain ValueError, with the
message and, for four kinds, the C2PA status code in brackets behind it."""

from __future__ import annotations

from typing import Any, Callable

import pytest

import brevane

# verify_data_hash returns None by contract; checking that needs an untyped view.
untyped: Any = brevane

PAGE = b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
PLAIN = b"<html><head></head><body></body></html>"
TWO = (
    b'<head><link rel="c2pa-manifest" href="m.c2pa">'
    b'<script type="application/c2pa">QUJD</script></head>'
)

Call = Callable[[], object]

MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"
EXCLUSION = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"
NO_MANIFEST = "no C2PA manifest element found in the document head"
NO_HEAD = "the document has no head element to embed into"
BAD_BASE64 = "the C2PA manifest element is malformed: script content is not valid Base64"
NO_HREF = "the C2PA manifest element is malformed: link has no href to resolve"


def _hash(html: bytes = PAGE, alg: str = "sha256") -> bytes:
    value = brevane.compute_data_hash(html, alg)["hash"]
    assert isinstance(value, bytes)
    return value


DOCUMENT_ERRORS = [
    # UnsupportedAlgorithm: the name comes back verbatim, whatever it is.
    pytest.param(
        lambda: brevane.compute_data_hash(PAGE, "md5"),
        "unsupported hash algorithm: md5 [algorithm.unsupported]",
        id="md5",
    ),
    pytest.param(
        lambda: brevane.compute_data_hash(PAGE, ""),
        "unsupported hash algorithm:  [algorithm.unsupported]",
        id="empty-alg",
    ),
    pytest.param(
        lambda: brevane.inline_hash_before_embed(PLAIN, "SHA256"),
        "unsupported hash algorithm: SHA256 [algorithm.unsupported]",
        id="upper-case-alg",
    ),
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE, b"", [(12, 45)], "sh\u00e4256"),
        "unsupported hash algorithm: sh\u00e4256 [algorithm.unsupported]",
        id="non-ascii-alg",
    ),
    pytest.param(
        lambda: brevane.verify_data_hash(PLAIN, b"", [(99, 1)], "SHA256"),
        "unsupported hash algorithm: SHA256 [algorithm.unsupported]",
        id="alg-before-manifest-and-exclusions",
    ),
    # MultipleManifests, judged before any payload.
    pytest.param(lambda: brevane.extract(TWO), MULTIPLE, id="extract-two"),
    pytest.param(
        lambda: brevane.verify_data_hash(TWO, b"", [(46, 45)]), MULTIPLE, id="verify-two"
    ),
    # Malformed.
    pytest.param(
        lambda: brevane.extract(b'<head><script type="application/c2pa">QUJ</script></head>'),
        BAD_BASE64,
        id="base64-length",
    ),
    pytest.param(
        lambda: brevane.compute_data_hash(
            b'<head><script type="application/c2pa">QU JD</script></head>'
        ),
        BAD_BASE64,
        id="base64-inner-blank-through-compute",
    ),
    pytest.param(
        lambda: brevane.extract(b"<head><link rel=c2pa-manifest></head>"),
        NO_HREF,
        id="link-without-href",
    ),
    pytest.param(
        lambda: brevane.extract(b'<head><link rel=c2pa-manifest href=""></head>'),
        NO_HREF,
        id="link-with-empty-href",
    ),
    # NoManifest (an error everywhere but extract).
    pytest.param(lambda: brevane.compute_data_hash(PLAIN), NO_MANIFEST, id="compute-none"),
    pytest.param(
        lambda: brevane.verify_data_hash(PLAIN, b"", []), NO_MANIFEST, id="verify-none"
    ),
    # NoHead.
    pytest.param(
        lambda: brevane.embed(b"<html><body></body></html>", b"ABC"), NO_HEAD, id="embed"
    ),
    pytest.param(
        lambda: brevane.embed_reference(b"", "m.c2pa"), NO_HEAD, id="embed-reference-empty"
    ),
    # ExclusionMalformed.
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE, _hash(), []), EXCLUSION, id="range-missing"
    ),
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE, _hash(), [(12, 45), (80, 10)]),
        EXCLUSION,
        id="past-the-end",
    ),
    # HashMismatch.
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE, b"", [(12, 45)]), MISMATCH, id="empty-hash"
    ),
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE, _hash(), [(12, 45)], "sha512"),
        MISMATCH,
        id="hash-of-other-alg",
    ),
    pytest.param(
        lambda: brevane.verify_data_hash(PAGE.replace(b"<body>", b"<Body>"), _hash(), [(12, 45)]),
        MISMATCH,
        id="changed-byte",
    ),
]


@pytest.mark.parametrize(("call", "message"), DOCUMENT_ERRORS)
def test_document_error_message(call: Call, message: str) -> None:
    with pytest.raises(ValueError) as excinfo:
        call()
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message
    assert excinfo.value.args == (message,)
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize(
    "html",
    [
        PLAIN,
        b"",
        b"<html><body><script type=\"application/c2pa\">QUJD</script></body></html>",
        b'<head><script type="text/c2pa">QUJD</script></head>',
    ],
)
def test_extract_without_manifest_is_none(html: bytes) -> None:
    assert brevane.extract(html) is None


def test_malformed_and_no_head_carry_no_status_code() -> None:
    for call in (
        lambda: brevane.extract(b"<head><link rel=c2pa-manifest></head>"),
        lambda: brevane.embed(b"", b""),
        lambda: brevane.compute_data_hash(b""),
    ):
        with pytest.raises(ValueError) as excinfo:
            call()
        assert "[" not in str(excinfo.value)


@pytest.mark.parametrize("exclusions", [[(12, 45)], [(0, 0), (12, 45)]])
def test_verification_succeeds_with_none(exclusions: list[tuple[int, int]]) -> None:
    outcome: object = untyped.verify_data_hash(PAGE, _hash(), exclusions)
    assert outcome is None

