"""The manifest association seen from Python: extract, remove, embed and
embed_reference on exact bytes and exact messages, and properties that tie them
together on generated pages and stores."""

from __future__ import annotations

import base64
from typing import Callable, Dict, List, Optional, Tuple, Union

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import brevane

SCRIPT = b'<script type="application/c2pa">QUJD</script>'
LINK = b'<link rel="c2pa-manifest" href="m.c2pa">'
PAGE = b"<html><head></head><body></body></html>"

NO_HEAD = "the document has no head element to embed into"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"
NOT_BASE64 = "the C2PA manifest element is malformed: script content is not valid Base64"
NO_HREF = "the C2PA manifest element is malformed: link has no href to resolve"


def script(content: bytes) -> bytes:
    return b'<script type="application/c2pa">' + content + b"</script>"


def script_for(store: bytes) -> bytes:
    return script(base64.b64encode(store))


def link_for(href: str) -> bytes:
    escaped = href.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
    return b'<link rel="c2pa-manifest" href="' + escaped.encode() + b'" type="application/c2pa">'


def head(inner: bytes) -> bytes:
    return b"<head>" + inner + b"</head>"


Expected = Union[Dict[str, object], None, str]

EXTRACT_CASES: List[Tuple[str, bytes, Expected]] = [
    ("inline", head(SCRIPT), {"start": 6, "length": 45, "kind": "embedded", "store": b"ABC"}),
    (
        "whitespace around the text",
        head(script(b"\n  QUJD\r\n")),
        {"start": 6, "length": 50, "kind": "embedded", "store": b"ABC"},
    ),
    (
        "never closed",
        b'<head><script type="application/c2pa">QUJD',
        {"start": 6, "length": 36, "kind": "embedded", "store": b"ABC"},
    ),
    (
        "link",
        head(b'<link rel="c2pa-manifest" href="stores/page-1">'),
        {"start": 6, "length": 47, "kind": "referenced", "href": "stores/page-1"},
    ),
    (
        "href keeps character references",
        head(b'<link rel=c2pa-manifest href="a&amp;b">'),
        {"start": 6, "length": 39, "kind": "referenced", "href": "a&amp;b"},
    ),
    (
        "ill-formed href bytes replaced",
        head(b'<link rel=c2pa-manifest href="a\xff">'),
        {"start": 6, "length": 34, "kind": "referenced", "href": "a\ufffd"},
    ),
    ("no element", PAGE, None),
    (
        "unclosed script swallows the head end",
        b'<head><script type="application/c2pa">QUJD</head>',
        NOT_BASE64,
    ),
    ("leftover bits, two pads", head(script(b"QR==")), NOT_BASE64),
    ("empty href", head(b'<link rel=c2pa-manifest href="">'), NO_HREF),
    ("script and broken link", head(SCRIPT + b"<link rel=c2pa-manifest>"), MULTIPLE),
]


@pytest.mark.parametrize(
    "html,expected", [c[1:] for c in EXTRACT_CASES], ids=[c[0] for c in EXTRACT_CASES]
)
def test_extract(html: bytes, expected: Expected) -> None:
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            brevane.extract(html)
        assert type(info.value) is ValueError
        assert str(info.value) == expected
        assert info.value.args == (expected,)
    else:
        result = brevane.extract(html)
        assert result == expected
        if result is not None:
            assert list(result) == list(expected or {})


REMOVE_CASES: List[Tuple[str, bytes, bytes]] = [
    (
        "indented element leaves its line",
        b"<head>\n  " + SCRIPT + b"\n</head>",
        b"<head>\n  \n</head>",
    ),
    (
        "broken elements go too",
        head(b"<link rel=c2pa-manifest><script type=application/c2pa>!!</script>"),
        b"<head></head>",
    ),
    (
        "joined bytes are not searched again",
        b"<head><" + LINK + b"script type=a/c2pa>",
        b"<head><script type=a/c2pa>",
    ),
]


@pytest.mark.parametrize(
    "html,expected", [c[1:] for c in REMOVE_CASES], ids=[c[0] for c in REMOVE_CASES]
)
def test_remove(html: bytes, expected: bytes) -> None:
    assert brevane.remove(html) == expected


@pytest.mark.parametrize("html", [PAGE, b"x", b"<head>" + b"\xff" * 100 + b"</head>"])
def test_remove_without_elements_returns_a_new_equal_object(html: bytes) -> None:
    result = brevane.remove(html)
    assert result == html
    assert result is not html
    assert type(result) is bytes


# "@" marks where the new element must stand; None means NoHead.
EMBED_CASES: List[Tuple[str, bytes, Optional[bytes]]] = [
    ("plain page", PAGE, b"<html><head>@</head><body></body></html>"),
    (
        "old script replaced after the title",
        head(SCRIPT + b"<title>t</title>"),
        b"<head><title>t</title>@</head>",
    ),
    (
        "upper-case tags",
        b"<HTML><HEAD><TITLE>t</TITLE></HEAD>",
        b"<HTML><HEAD><TITLE>t</TITLE>@</HEAD>",
    ),
    ("body before the end tag", b"<head><body></head>", b"<head><body>@</head>"),
    (
        "removal creates the end tag",
        b"<head><" + LINK + b"/head><body></body></head>",
        b"<head>@</head><body></body></head>",
    ),
    ("removal hides the end tag", b"<head>x<" + LINK + b"title>y</head>", None),
    ("unclosed head", b"<html><head><title>t</title><body>x</body></html>", None),
    ("empty document", b"", None),
]


@pytest.mark.parametrize(
    "html,marked", [c[1:] for c in EMBED_CASES], ids=[c[0] for c in EMBED_CASES]
)
def test_embed(html: bytes, marked: Optional[bytes]) -> None:
    if marked is None:
        with pytest.raises(ValueError) as info:
            brevane.embed(html, b"ABC")
        assert str(info.value) == NO_HEAD
        return
    assert brevane.embed(html, b"ABC") == marked.replace(b"@", SCRIPT)


@pytest.mark.parametrize(
    "html,marked", [c[1:] for c in EMBED_CASES], ids=[c[0] for c in EMBED_CASES]
)
def test_embed_reference(html: bytes, marked: Optional[bytes]) -> None:
    if marked is None:
        with pytest.raises(ValueError) as info:
            brevane.embed_reference(html, "m.c2pa")
        assert str(info.value) == NO_HEAD
        return
    assert brevane.embed_reference(html, "m.c2pa") == marked.replace(b"@", link_for("m.c2pa"))


def test_embed_exact_page_and_range() -> None:
    out = brevane.embed(PAGE, b"ABC")
    assert (
        out
        == b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
    )
    assert brevane.locate_all(out) == [(12, 45)]
    assert (
        brevane.embed(b"<head></head>", b"")
        == b'<head><script type="application/c2pa"></script></head>'
    )


def test_embed_reference_exact_page() -> None:
    assert brevane.embed_reference(PAGE, "stores/page-1") == (
        b'<html><head><link rel="c2pa-manifest" href="stores/page-1" '
        b'type="application/c2pa"></head><body></body></html>'
    )


@pytest.mark.parametrize(
    "href,written",
    [
        ("x&y<z>", b'href="x&amp;y&lt;z>"'),
        ('a"b', b'href="a&quot;b"'),
        ("", b'href=""'),
        ("caf\u00e9 \u20ac", 'href="caf\u00e9 \u20ac"'.encode()),
        ("'>\t\n", b'href="\'>\t\n"'),
    ],
)
def test_href_is_escaped_and_extracted_as_written(href: str, written: bytes) -> None:
    out = brevane.embed_reference(b"<head></head>", href)
    assert written in out
    if href:
        result = brevane.extract(out)
        assert result is not None and result["kind"] == "referenced"
        assert result["href"] == written[6:-1].decode()
    else:
        with pytest.raises(ValueError) as info:
            brevane.extract(out)
        assert str(info.value) == NO_HREF


# Generated pages: whole tags and "<"-free text, so a cut never joins bytes into
# new markup and every property below holds without exception.
FRAGMENTS = [
    b"<html>",
    b"</html>",
    b"<head>",
    b"</head>",
    b"<HEAD>",
    b"</Head>",
    b"<body>",
    b"</body>",
    b"<title>t</title>",
    b"<title>",
    b"</title>",
    b"<!-- c -->",
    b"<!--",
    b"-->",
    b"<meta charset=utf-8>",
    b"<script>var a = '</head>';</script>",
    b"<style>p{}</style>",
    SCRIPT,
    script(b"\n  QQ==\n"),
    script(b"!!"),
    b"<script type=application/c2pa>",
    b"</script>",
    LINK,
    b"<link rel=c2pa-manifest>",
    b"<link rel='icon C2PA-Manifest' href=/m>",
]
text = st.binary(max_size=12).map(lambda b: b.replace(b"<", b""))
documents = st.lists(st.one_of(st.sampled_from(FRAGMENTS), text), max_size=14).map(b"".join)
stores = st.binary(max_size=300)


def insertion(out: bytes, element: bytes, cleaned: bytes) -> int:
    """The offset at which `element` was spliced into `cleaned` to give `out`."""
    at = out.find(element)
    while at != -1:
        if out[:at] + out[at + len(element) :] == cleaned:
            return at
        at = out.find(element, at + 1)
    raise AssertionError("the output is not the cleaned document plus the element")


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(html=documents, store=stores)
def test_embed_is_a_single_splice_into_the_cleaned_document(html: bytes, store: bytes) -> None:
    try:
        out = brevane.embed(html, store)
    except ValueError as error:
        assert str(error) == NO_HEAD
        return
    element = script_for(store)
    cleaned = brevane.remove(html)
    at = insertion(out, element, cleaned)
    if (at, len(element)) in brevane.locate_all(out):
        assert brevane.locate_all(out) == [(at, len(element))]
        assert brevane.extract(out) == {
            "start": at,
            "length": len(element),
            "kind": "embedded",
            "store": store,
        }
        assert brevane.remove(out) == cleaned
    if not brevane.locate_all(html):
        assert cleaned == html


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(html=documents, href=st.text(max_size=30))
def test_embed_reference_is_a_single_splice_into_the_cleaned_document(
    html: bytes, href: str
) -> None:
    try:
        out = brevane.embed_reference(html, href)
    except ValueError as error:
        assert str(error) == NO_HEAD
        return
    element = link_for(href)
    cleaned = brevane.remove(html)
    at = insertion(out, element, cleaned)
    if (at, len(element)) in brevane.locate_all(out):
        assert brevane.remove(out) == cleaned
        escaped = element[
            len(b'<link rel="c2pa-manifest" href="') : -len(b'" type="application/c2pa">')
        ]
        if escaped:
            assert brevane.extract(out) == {
                "start": at,
                "length": len(element),
                "kind": "referenced",
                "href": escaped.decode(),
            }


@given(html=documents, store=stores)
def test_both_forms_fail_alike(html: bytes, store: bytes) -> None:
    outcomes: List[str] = []
    calls: List[Callable[[], object]] = [
        lambda: brevane.embed(html, store),
        lambda: brevane.embed_reference(html, "m"),
    ]
    for call in calls:
        try:
            call()
            outcomes.append("ok")
        except ValueError as error:
            outcomes.append(str(error))
    assert outcomes[0] == outcomes[1]


@given(html=documents)
def test_remove_without_elements_is_an_equal_new_object(html: bytes) -> None:
    assume(html and not brevane.locate_all(html))
    result = brevane.remove(html)
    assert result == html and result is not html


DOCUMENTED = {NO_HEAD, MULTIPLE, NOT_BASE64, NO_HREF}


@given(
    html=st.one_of(documents, st.binary(max_size=200)),
    store=st.binary(max_size=40),
    href=st.text(max_size=10),
)
def test_no_input_fails_other_than_documented(html: bytes, store: bytes, href: str) -> None:
    calls: List[Callable[[], object]] = [
        lambda: brevane.extract(html),
        lambda: brevane.remove(html),
        lambda: brevane.embed(html, store),
        lambda: brevane.embed_reference(html, href),
        lambda: brevane.locate_all(html),
    ]
    for call in calls:
        try:
            call()
        except ValueError as error:
            assert type(error) is ValueError and str(error) in DOCUMENTED
