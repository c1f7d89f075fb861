"""The toolkit's limits, fixed lists and words, one copy each: every command, engine and integration takes them from here."""

from __future__ import annotations

from collections.abc import Mapping

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "DEFAULT_MAX_STORE_SIZE",
    "DEFAULT_REDIRECTS",
    "DEFAULT_TIMEOUT",
    "FORMS",
    "FORM_OF_KIND",
    "HASH_ALGS",
    "HTML_SUFFIXES",
    "MANIFEST_REL",
    "SIGNING_ALGS",
    "STORE_MEDIA_TYPE",
    "STORE_SUFFIX",
    "link_value",
]

#: Pages larger than this fail (that page only), on disk or on the web; `--max-page-size` changes it.
DEFAULT_MAX_PAGE_SIZE = 256 * 1024 * 1024
#: Manifest Stores larger than this are not read, on disk or on the web; `--max-store-size` changes it.
DEFAULT_MAX_STORE_SIZE = 16 * 1024 * 1024
#: Seconds for a whole fetch: lookup, connection, redirects, headers and body.
DEFAULT_TIMEOUT = 20.0
DEFAULT_REDIRECTS = 5
#: The file name extensions of pages in directories; `--extensions` changes them.
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
#: The signature algorithms the C2PA SDK signs with.
SIGNING_ALGS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")
#: The hash algorithms of a data hash binding.
HASH_ALGS = ("sha256", "sha384", "sha512")

#: How a signed page names its store: a `link` element, a `script` element that holds it, or an
#: HTTP Link header alone (the page untouched). "reference" is an older name of the link form.
FORMS = ("link", "inline", "header")
#: The form of each kind of manifest element the brevane module finds in a page ("referenced": a
#: `link` element, "embedded": a `script` element); a page with neither is in the header form.
FORM_OF_KIND: Mapping[str, str] = {"referenced": "link", "embedded": "inline"}
#: A Manifest Store's media type, and the suffix of its file beside its page (PAGE.c2pa).
STORE_MEDIA_TYPE = "application/c2pa"
STORE_SUFFIX = ".c2pa"
#: The link relation that names a page's store, in a `link` element or an HTTP Link header.
MANIFEST_REL = "c2pa-manifest"


def link_value(url: str) -> str:
    """The HTTP Link header value that names the store at `url` (a URL a Link header carries as it is)."""
    return f'<{url}>; rel="{MANIFEST_REL}"'
