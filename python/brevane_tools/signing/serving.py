"""What a web server needs to announce detached stores: `Link` headers, and the stores' media type.

A page signed detached (`brevane sign --form header`) keeps every byte; its
store is named by an HTTP `Link: <url>; rel="c2pa-manifest"` header. The rules
here are written at the site's root (or in a directory of their own, kept out
of the published tree), one set per kind of server, and they change nothing a
server serves but that header and the stores' media type: no access rule of
the site is overridden, no header of its own dropped, and no file name can
break their syntax.

- nginx: `c2pa.nginx.http.conf` for the `http` block (a `map` is allowed
  nowhere else) holds one hash lookup from the request's path to its store,
  and `c2pa.nginx.conf` for the `server` block one `add_header`. No `location`
  block: one would win over the site's own locations and their access rules.
- Apache: `c2pa.apache.conf` for the virtual host and a marked block in
  `.htaccess`: one constant rule set, whatever the number of pages. A page gets
  the header when it is the file at the request's path and its store lies
  beside it (or in the store directory), and its URL is that path,
  percent-encoded by Apache itself, so no name ever appears in a rule.
- `_headers` (Netlify, Cloudflare Pages): neither host can test for a file, so
  a wildcard would name stores of pages that have none: one rule per URL a page
  is served at, as a marked block.

Without a directory of their own the rules deny their own files (a request for
one answers 404), since they list every page and store of the site.
"""

from __future__ import annotations

import errno
import os
import posixpath
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union
from urllib.parse import quote, unquote_to_bytes

from brevane_tools import store_location
from brevane_tools.files import objects
from brevane_tools.files.reading import read_file
from brevane_tools.files.writing import atomic_write
from brevane_tools.limits import STORE_MEDIA_TYPE, STORE_SUFFIX, link_value
from brevane_tools.store_location import Site
from brevane_tools.text import display, escape

__all__ = [
    "APACHE", "HEADERS_RULE_LIMIT", "NGINX", "NGINX_HTTP", "RULE_FILES", "Announced",
    "is_link_target", "is_plain_path", "merged", "rules", "url_path", "write_rules",
]

NGINX_HTTP = "c2pa.nginx.http.conf"
NGINX = "c2pa.nginx.conf"
APACHE = "c2pa.apache.conf"
HTACCESS = ".htaccess"
HEADERS = "_headers"
#: The rule files, by file name.
RULE_FILES = (NGINX_HTTP, NGINX, APACHE, HTACCESS, HEADERS)
#: Cloudflare Pages reads this many rules of `_headers` (its documented limit); Netlify documents none.
HEADERS_RULE_LIMIT = 100

_BEGIN = b"# BEGIN brevane C2PA links\n"
_END = b"# END brevane C2PA links\n"
_ABOUT = (
    b"# C2PA Manifest Stores announced by HTTP Link headers: written by `brevane sign --form header`, "
    b"rewritten by each run.\n"
)
#: Rule files larger than this are not read, nor rewritten.
MAX_RULE_FILE = 64 * 1024 * 1024
#: What a Link target may hold here: a URL's own characters, nothing a rule file would read as syntax.
_LINK_TARGET = re.compile(r"[A-Za-z0-9\-._~:/?#\[\]@!&'()*+,;=%]+")
#: A path that Apache's expressions and nginx's strings take as it is.
_PLAIN_PATH = re.compile(r"[A-Za-z0-9\-._~/]+")
#: The longest quoted token written for nginx, which reads at most 4,095 bytes as one.
_NGINX_TOKEN = 4000
#: The site's own rule files, as request paths: what the rules written in the site deny.
_RULE_PATHS = "c2pa\\.nginx\\.http\\.conf|c2pa\\.nginx\\.conf|c2pa\\.apache\\.conf|_headers|\\.htaccess"


@dataclass(frozen=True)
class Announced:
    """A page and the store its Link header names."""

    page: str  # its URL path below the site root, percent-encoded: "/guide/intro.html"
    store: str  # the store's URL: a path below the site root, or an absolute URL


def url_path(relative: str) -> str:
    """The URL path of a file below the site root (a "/"-separated path, bytes as surrogate escapes)."""
    return "/" + quote(relative.encode("utf-8", "surrogateescape"), safe="/")


def is_link_target(url: str) -> bool:
    return _LINK_TARGET.fullmatch(url) is not None


def is_plain_path(path: str) -> bool:
    """Whether a path needs no quoting in any rule file (letters, digits, "-._~/")."""
    return _PLAIN_PATH.fullmatch(path) is not None


def _served_at(page: str) -> list[str]:
    """The URL paths a page is served at: its file, then its directory or its name without the extension."""
    directory, name = posixpath.split(page)
    stem = name.rsplit(".", 1)[0]
    if stem == "index":
        return [page, directory.rstrip("/") + "/"]
    return [page, posixpath.join(directory, stem)] if stem and stem != name else [page]


def _quoted_link(store: str) -> str:
    """The Link header value naming `store`, its quotes escaped for a quoted string of the server's rules."""
    return link_value(store).replace('"', '\\"')


def _local(store: str) -> bool:
    return store.startswith("/") and not store.startswith("//")


# --- nginx ---

def _nginx_string(value: bytes, dollar: bytes = b"$") -> bytes:
    """A quoted nginx string: a backslash and a quote escaped, "$" as `dollar` (a value names variables)."""
    quoted = value.replace(b"\\", b"\\\\").replace(b'"', b'\\"').replace(b"\n", b"\\n")
    return b'"' + quoted.replace(b"$", dollar) + b'"'


def _nginx_key_hash(key: bytes) -> int:
    """nginx's hash of a map key (`ngx_hash`, over the key with ASCII letters lowered), as a 64-bit word."""
    value = 0
    for byte in key:
        value = (value * 31 + byte) & 0xFFFFFFFFFFFFFFFF
    return value


def _nginx_hash_sizes(keys: Sequence[bytes]) -> tuple[int, int]:
    """`map_hash_max_size` and `map_hash_bucket_size` with which nginx builds this map at the latest at max_size.

    nginx tries table sizes up to max_size and refuses to start when none fits
    every bucket: the bucket size is chosen to fit the fullest bucket at max_size.
    """
    max_size = max(2048, 2 * len(keys))
    buckets = [0] * max_size
    for key in keys:
        # An element: a pointer, then a two-byte length and the name, aligned to a pointer.
        buckets[_nginx_key_hash(key) % max_size] += 8 + ((len(key) + 2 + 7) // 8) * 8
    fullest = max(buckets, default=0) + 8  # and the pointer that ends a bucket
    return max_size, max(64, (fullest + 63) // 64 * 64)


def _case_twins(site: Optional[Path]) -> set[bytes]:
    """The paths (lowered) that two files or directories of the site share but for the case of ASCII letters."""
    if site is None:
        return set()
    seen: set[bytes] = set()
    twins: set[bytes] = set()
    root = os.fsencode(site)
    for directory, directories, files in os.walk(root):
        below = directory[len(root):].lower()
        for name in (*directories, *files):
            path = below + b"/" + name.lower()
            (twins if path in seen else seen).add(path)
    return twins


def _nginx_entries(pages: Sequence[Announced]) -> tuple[dict[bytes, list[Announced]], list[Announced], list[Announced]]:
    """The map's pages by key (the path, lowered); the pages left out for a line feed, and for length.

    nginx reads a quoted configuration token of at most 4,095 bytes and refuses the
    whole configuration otherwise: a page whose entry could exceed that (a path deep
    in long directories, a name of many "$", each a variable in a value) is left out
    with its case twins, taken at the largest form of an entry.
    """
    entries: dict[bytes, list[Announced]] = {}
    broken, long = [], []
    for entry in pages:
        path = unquote_to_bytes(entry.page)
        (broken.append(entry) if b"\n" in path else entries.setdefault(path.lower(), []).append(entry))
    for key in list(entries):
        value = b"\n".join(unquote_to_bytes(e.page) + b"\n" + e.store.encode() for e in entries[key])
        if max(len(_nginx_string(key)), len(_nginx_string(value, b"${c2pa_dollar}"))) > _NGINX_TOKEN:
            long += entries.pop(key)
    return entries, broken, long


def _nginx_http(pages: Sequence[Announced], store_prefix: str, site: Optional[Path]) -> bytes:
    """The http-level part: the stores' media type, and the path -> store lookup.

    nginx's map matches strings case-insensitively, so the first map finds, by
    the request's path, the entry of every page whose path differs from it at
    most in the case of ASCII letters; the second keeps the store of the one
    whose path is exactly the request's. An entry is, smallest first (a map's
    memory grows with its text):

    - "=": one page of a plain name whose store lies where the request's path
      says (beside it, or below the store directory), when no other file or
      directory of the site has its path but for case: a request in another
      case names no file then, and nginx adds no header to a 404;
    - the page's path: the same where another does, compared whole;
    - "path\\nstore" pairs, each line whole: every other page.

    A request path with a line feed matches no key (the pages whose names hold
    one are left out, as are those too long for nginx: a warning says so), and
    without a key the string ends in a line feed, which no pattern takes.
    """
    prefix = f"/{store_prefix}" if store_prefix else ""
    entries = _nginx_entries(pages)[0]
    max_size, bucket_size = _nginx_hash_sizes(list(entries))
    twins = _case_twins(site)
    lines = [
        _ABOUT,
        b"# In the http block, before any map of its own: include /path/to/c2pa.nginx.http.conf;\n",
        b"# The map hash sizes are set once per http block: if yours sets them too, keep the larger values.\n",
        b"map_hash_max_size %d;\nmap_hash_bucket_size %d;\n" % (max_size, bucket_size),
        b"types { " + STORE_MEDIA_TYPE.encode() + b" c2pa; }\n",
    ]
    values = []
    for key, group in entries.items():
        (first, *others) = group
        if not others and is_plain_path(first.page) and first.store == f"{prefix}{first.page}{STORE_SUFFIX}":
            # A twin anywhere on the way (a directory too) would answer in another case: compare whole.
            parts = key.split(b"/")
            alone = not any(b"/".join(parts[:n]) in twins for n in range(2, len(parts) + 1))
            value = b"=" if alone else first.page.encode()
        else:
            value = b"\n".join(unquote_to_bytes(e.page) + b"\n" + e.store.encode() for e in group)
        values.append((key, value))
    if any(b"$" in value for _, value in values):  # "$" names a variable: a literal one comes from a variable
        lines.append(b'geo $c2pa_dollar { default "$"; }\n')
    lines.append(b'map $uri $c2pa_entry {\n    default "";\n')
    lines += [b"    " + _nginx_string(key) + b" " + _nginx_string(value, b"${c2pa_dollar}") + b";\n"
              for key, value in values]
    link = b'"' + _quoted_link(prefix + "$c2pa_path" + STORE_SUFFIX).encode() + b'"'
    # Only a response that is the file: a redirect or an answer of a location's own (`return 301`) at a
    # page's path is not (nginx adds headers to 3xx too); 304 is the file's, as not_modified sets it first.
    lines.append(
        b"}\n"
        b'map "$status $uri\\n$c2pa_entry" $c2pa_link {\n    default "";\n'
        b'    "~\\A(?:200|206|304) (?<c2pa_path>[^\\n]*)\\n=\\z" ' + link + b";\n"
        b'    "~\\A(?:200|206|304) (?<c2pa_path>[^\\n]*)\\n\\k<c2pa_path>\\z" ' + link + b";\n"
        b'    "~\\A(?:200|206|304) ([^\\n]*)\\n(?:[^\\n]*\\n[^\\n]*\\n)*\\1\\n(?<c2pa_store>[^\\n]+)(?:\\n[^\\n]*\\n[^\\n]+)*\\z"'
        b' "' + _quoted_link("$c2pa_store").encode() + b'";\n}\n'
    )
    return b"".join(lines)


def _nginx_server(in_site: bool) -> bytes:
    lines = [
        _ABOUT,
        b"# In the server block whose root is the site: include /path/to/c2pa.nginx.conf;\n",
        b"# A location with an add_header of its own drops this one, as it drops every server-level\n",
        b"# add_header: repeat the line there.\n",
        b"add_header Link $c2pa_link;\n",
    ]
    if in_site:
        lines.append(b'if ($uri ~ "^/+(?:' + _RULE_PATHS.encode() + b')$") { return 404; }\n')
    return b"".join(lines)


# --- Apache ---

def _apache(store_prefix: str, href: bool, in_site: bool, guarded: bool) -> bytes:
    """The constant rule set: the media type, the Link of a page whose store is there, the rule files denied.

    `guarded`: each part only where its module is loaded (an `.htaccess` line that names a
    directive of a missing module makes every request below it answer 500).
    """
    def module(name: str, lines: list[bytes]) -> list[bytes]:
        if not guarded:
            return lines
        return [b"<IfModule " + name.encode() + b">\n", *(b"    " + line for line in lines), b"</IfModule>\n"]

    out = [_ABOUT]
    # ForceType, not AddType: an extension AddType names becomes a variant MultiViews negotiates, so "/intro"
    # (and "/private" for a page denied by name) could answer with intro.html.c2pa, when it is the smaller.
    out += module("mod_mime.c", [
        b'<FilesMatch "\\.c2pa$">\n', b"    ForceType " + STORE_MEDIA_TYPE.encode() + b"\n", b"</FilesMatch>\n",
    ])
    if href:
        out.append(
            b"# The stores lie at --href URLs: Apache cannot tell which pages have one, so it announces none\n"
            b"# (the nginx and _headers rules name each page).\n"
        )
    else:
        # REQUEST_URI is the decoded path (after DirectoryIndex and MultiViews, the file's); escape() encodes
        # every byte a URL path cannot hold as it is. The file served must be the one at that path below the
        # document root (its trailing slashes dropped, $1): a RewriteRule, Alias or userdir of the server's
        # own serves another file at the path, whose Link would name the store of a page not served.
        prefix = f"/{store_prefix}" if store_prefix else ""
        out += module("mod_headers.c", [
            ('Header merge Link "expr=' + _quoted_link(prefix + "%{escape:%{REQUEST_URI}}" + STORE_SUFFIX) + '" '
             f"\"expr=%{{DOCUMENT_ROOT}} =~ m#^(.*?)/*$# && %{{REQUEST_FILENAME}} == '$1%{{REQUEST_URI}}' "
             f"&& -f '$1{prefix}%{{REQUEST_URI}}{STORE_SUFFIX}'\"\n").encode()
        ])
    if in_site:
        out += module("mod_alias.c", [
            b'<FilesMatch "^(?:' + _RULE_PATHS.encode() + b')$">\n', b"    Redirect 404\n", b"</FilesMatch>\n",
        ])
    return b"".join(out)


# --- _headers ---

def _headers(pages: Sequence[Announced]) -> tuple[bytes, int]:
    """The marked block's rules, and how many there are."""
    lines = [_ABOUT.decode()]
    for entry in pages:
        for path in _served_at(entry.page):
            lines.append(f"{path}\n  Link: {link_value(entry.store)}\n")
    for store in sorted({e.store for e in pages if _local(e.store)}):
        lines.append(f"{store}\n  Content-Type: {STORE_MEDIA_TYPE}\n")
    return "".join(lines).encode(), len(lines) - 1


def rules(
    pages: Sequence[Announced], *, store_prefix: str = "", href: bool = False, in_site: bool = True,
    site: Optional[Path] = None,
) -> dict[str, bytes]:
    """Each rule file's brevane part, by file name: the nginx and Apache files whole, the others' marked blocks.

    `store_prefix`: the store directory's path below the site root ("" when stores lie beside
    their pages); `href`: the stores lie at --href URLs; `in_site`: written at the site's root;
    `site`: the site's directory, whose names decide how exactly nginx compares a path.
    """
    return {
        NGINX_HTTP: _nginx_http(pages, store_prefix, site),
        NGINX: _nginx_server(in_site),
        APACHE: _apache(store_prefix, href, in_site, guarded=False),
        HTACCESS: _BEGIN + _apache(store_prefix, href, in_site, guarded=True) + _END,
        HEADERS: _BEGIN + _headers(pages)[0] + _END,
    }


def merged(old: bytes, block: bytes) -> bytes:
    """A rule file with its marked block replaced by `block` (appended when it has none); ValueError when damaged."""
    begins = [m.start() for m in re.finditer(b"(?m)^" + re.escape(_BEGIN), old)]
    ends = [m.end() for m in re.finditer(b"(?m)^" + re.escape(_END), old)]
    if not begins and not ends:
        return old + (b"\n" if old and not old.endswith(b"\n") else b"") + block
    if len(begins) != 1 or len(ends) != 1 or ends[0] < begins[0]:
        raise ValueError("its brevane block has lost or gained a marker line: mend the block, or delete it")
    return old[: begins[0]] + block + old[ends[0] :]


def write_rules(
    directory: Union[Path, Site], pages: Sequence[Announced], *, store_prefix: str = "", href: bool = False,
    site: Optional[Path] = None, in_site: Optional[bool] = None,
) -> list[str]:
    """Write each rule file in `directory` (never through a link), or as objects at the root of a `Site`'s
    prefix; the warnings they call for.

    `site`: the site's root, when the rules are written elsewhere (--rules-dir); `in_site`: whether
    `directory` is published with the site (default: when no `site` is given).
    Every file is read and merged before any is written: a damaged block stops them all.
    Raises ValueError saying which file could not be written.
    """
    ordered = sorted(pages, key=lambda a: a.page)
    in_site = site is None if in_site is None else in_site
    local = directory if isinstance(directory, Path) else None
    texts: dict[str, bytes] = {}
    target = ""
    try:
        if local is not None:
            local.mkdir(parents=True, exist_ok=True)
        blocks = rules(ordered, store_prefix=store_prefix, href=href, in_site=in_site, site=site or local)
        for target, block in blocks.items():
            texts[target] = block if target in (NGINX_HTTP, NGINX, APACHE) else merged(_old(directory, target), block)
        if local is None:  # as objects, in one round of requests
            assert isinstance(directory, Site)
            items = [(directory.url(Path("/", name)), text) for name, text in texts.items()]
            for target, failure in zip(texts, objects.write_many(directory.storage or objects.Storage(), items)):
                if failure is not None:
                    raise failure
        else:
            for target, text in texts.items():
                atomic_write(local / target, text, follow=False)
    except (OSError, ValueError) as exc:
        if isinstance(exc, OSError) and exc.errno == errno.ELOOP:
            reason = "it is a symbolic link, not written through"
        else:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise ValueError(f"cannot write the server rules {_shown(directory, target)}: {reason}") from None
    return _warnings(_shown(directory, HEADERS), ordered, href, site)


def _shown(directory: Union[Path, Site], name: str) -> str:
    return display(directory / name) if isinstance(directory, Path) else escape(directory.url(Path("/", name)))


def _old(directory: Union[Path, Site], name: str) -> bytes:
    """What a rule file holds now (nothing when there is none)."""
    what = f"the server rules {_shown(directory, name)}"
    if isinstance(directory, Site):
        return store_location.store_if_any(Path("/", name), directory, MAX_RULE_FILE, what=what) or b""
    try:
        return read_file(directory / name, MAX_RULE_FILE, what=what, follow=False)
    except FileNotFoundError:
        return b""


def _warnings(headers: str, ordered: Sequence[Announced], href: bool, site: Optional[Path]) -> list[str]:
    warnings = []
    count = _headers(ordered)[1]
    if count > HEADERS_RULE_LIMIT:
        warnings.append(
            f"{headers} holds {count:,} rules (one per URL a page is served at, one per "
            f"store): Cloudflare Pages reads the first {HEADERS_RULE_LIMIT}; on such a host, serve the link "
            "form (--form link) instead"
        )
    stale = [name for name in (NGINX_HTTP, NGINX, APACHE) if site is not None and os.path.lexists(site / name)]
    if site is not None and _holds_block(site / HEADERS):  # it lists every page: nginx and Apache serve it
        stale.append(f"the brevane block in {HEADERS}")
    if site is not None and stale:
        warnings.append(
            f"the site {display(site)} still holds rules of an earlier run ({', '.join(stale)}), which are "
            "published with it and deny nothing now: delete them"
        )
    _, unnamed, long = _nginx_entries(ordered)
    if long:
        warnings.append(
            f"{len(long):,} page{'s' if len(long) != 1 else ''} get{'' if len(long) != 1 else 's'} no Link header "
            f"from the nginx rules: {'their entries are' if len(long) != 1 else 'its entry is'} longer than nginx "
            f"reads in one piece ({_NGINX_TOKEN:,} bytes), e.g. {_page_shown(long[0])}"
        )
    if unnamed:
        warnings.append(
            f"{len(unnamed):,} page{'s' if len(unnamed) != 1 else ''} with a line feed in "
            f"{'their names get' if len(unnamed) != 1 else 'its name gets'} no Link header from the nginx rules "
            f"(an nginx map cannot tell such a name from its entry's separator), e.g. {_page_shown(unnamed[0])}"
        )
    if href:
        warnings.append(
            "the Apache rules announce no store of pages signed with --href (Apache cannot tell which pages "
            "have one): use the nginx rules or _headers, or the link form"
        )
    return warnings


def _page_shown(entry: Announced) -> str:
    return display(unquote_to_bytes(entry.page).decode("utf-8", "surrogateescape"))


def _holds_block(path: Path) -> bool:
    try:
        return _BEGIN in read_file(path, MAX_RULE_FILE, what=f"the rules {display(path)}", follow=False)
    except (OSError, ValueError):
        return False
