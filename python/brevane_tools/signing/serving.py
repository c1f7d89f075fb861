"""What a web server needs to announce detached stores: `Link` headers, and the stores' media type.

A page signed detached (`brevane sign --form header`) keeps every byte; its
store is named by an HTTP `Link: <url>; rel="c2pa-manifest"` header. The rules
here are written at the site's root, one file per kind of server: an nginx
include, an Apache `.htaccess`, and a `_headers` file as Netlify and
Cloudflare Pages read it. Each page is matched by the paths it is served at:
its file, and the forms hosts serve it at too (`/guide/` for
`/guide/index.html`, `/guide/intro` for `/guide/intro.html`). The `.htaccess`
and `_headers` of a site may hold rules of its own: only the block between
the marker lines is rewritten.
"""

from __future__ import annotations

import errno
import posixpath
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import quote, unquote_to_bytes

from brevane_tools.files.reading import read_file
from brevane_tools.files.writing import atomic_write
from brevane_tools.text import display

__all__ = [
    "NGINX", "RULE_FILES", "STORE_TYPE", "Announced", "is_link_target", "merged", "rules", "url_path", "write_rules",
]

STORE_TYPE = "application/c2pa"
NGINX = "c2pa.nginx.conf"
#: The rule files, by file name, written at the site's root.
RULE_FILES = (NGINX, ".htaccess", "_headers")

_BEGIN = b"# BEGIN brevane C2PA links\n"
_END = b"# END brevane C2PA links\n"
_ABOUT = (
    "# C2PA Manifest Stores announced by HTTP Link headers: written by `brevane sign --form header`, "
    "rewritten by each run.\n"
)
#: Rule files larger than this are not read, nor rewritten.
MAX_RULE_FILE = 64 * 1024 * 1024
#: What a Link target may hold here: a URL's own characters, nothing a rule file would read as syntax.
_LINK_TARGET = re.compile(r"[A-Za-z0-9\-._~:/?#\[\]@!&'()*+,;=%]+")


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


def _served_at(page: str) -> list[str]:
    """The URL paths a page is served at: its file, then its directory or its name without the extension."""
    directory, name = posixpath.split(page)
    stem = name.rsplit(".", 1)[0]
    if stem == "index":
        return [page, directory.rstrip("/") + "/"]
    return [page, posixpath.join(directory, stem)] if stem and stem != name else [page]


def _link(store: str) -> str:
    return f'<{store}>; rel="c2pa-manifest"'


def _local(store: str) -> bool:
    return store.startswith("/") and not store.startswith("//")


def _nginx(pages: Sequence[Announced]) -> bytes:
    # nginx matches a directory's URL once its index has redirected to the file: the file's path is enough.
    lines = [
        _ABOUT.encode(),
        b"# Include it in the server block whose root is this directory: include /path/to/site/c2pa.nginx.conf;\n",
        b"location ~* \\.c2pa$ {\n    types { }\n    default_type " + STORE_TYPE.encode() + b";\n}\n",
    ]
    for entry in pages:
        path = unquote_to_bytes(entry.page).replace(b"\\", b"\\\\").replace(b'"', b'\\"')
        link = _link(entry.store).replace('"', '\\"')
        lines.append(b'location = "' + path + b'" {\n    add_header Link "' + link.encode() + b'";\n}\n')
    return b"".join(lines)


def _apache(pages: Sequence[Announced]) -> bytes:
    lines = [
        _ABOUT.encode(),
        b"# It needs mod_headers, and AllowOverride FileInfo for this directory.\n",
        b"AddType " + STORE_TYPE.encode() + b" .c2pa\n",
    ]
    for entry in pages:
        # REQUEST_URI is decoded; in a quoted argument only a quote is escaped.
        forms = b"|".join(re.escape(unquote_to_bytes(p)) for p in _served_at(entry.page)).replace(b'"', b'\\"')
        link = _link(entry.store).replace("%", "%%").replace('"', '\\"')  # mod_headers reads % as a format
        lines.append(
            b'<If "%{REQUEST_URI} =~ m#^(?:' + forms + b')$#">\n    Header set Link "' + link.encode() + b'"\n</If>\n'
        )
    return b"".join(lines)


def _headers(pages: Sequence[Announced]) -> bytes:
    lines = [_ABOUT]
    for entry in pages:
        for path in _served_at(entry.page):
            lines.append(f"{path}\n  Link: {_link(entry.store)}\n")
    for store in sorted({e.store for e in pages if _local(e.store)}):
        lines.append(f"{store}\n  Content-Type: {STORE_TYPE}\n")
    return "".join(lines).encode()


def rules(pages: Sequence[Announced]) -> dict[str, bytes]:
    """Each rule file's brevane part, by file name: the whole nginx include, the others' marked blocks."""
    return {
        NGINX: _nginx(pages),
        ".htaccess": _BEGIN + _apache(pages) + _END,
        "_headers": _BEGIN + _headers(pages) + _END,
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


def write_rules(root: Path, pages: Sequence[Announced]) -> None:
    """Write each rule file at `root`, never through a link; ValueError saying which file could not be written.

    Every file is read and merged before any is written: a damaged block stops them all.
    """
    texts: dict[Path, bytes] = {}
    target = root
    try:
        for name, block in rules(sorted(pages, key=lambda a: a.page)).items():
            target = root / name
            if name == NGINX:
                texts[target] = block
                continue
            try:
                old = read_file(target, MAX_RULE_FILE, what=f"the server rules {display(target)}", follow=False)
            except FileNotFoundError:
                old = b""
            texts[target] = merged(old, block)
        for target, text in texts.items():
            atomic_write(target, text, follow=False)
    except (OSError, ValueError) as exc:
        if isinstance(exc, OSError) and exc.errno == errno.ELOOP:
            reason = "it is a symbolic link, not written through"
        else:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise ValueError(f"cannot write the server rules {display(target)}: {reason}") from None
