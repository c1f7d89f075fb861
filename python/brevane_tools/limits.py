"""The toolkit's limits and fixed lists, one copy each: every command, engine and integration takes them from here."""

from __future__ import annotations

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "DEFAULT_MAX_STORE_SIZE",
    "DEFAULT_REDIRECTS",
    "DEFAULT_TIMEOUT",
    "HASH_ALGS",
    "HTML_SUFFIXES",
    "SIGNING_ALGS",
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
