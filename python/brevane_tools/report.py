"""The site report: one self-contained HTML file over a `check` batch.

`brevane check SITE --report report.html` writes it: totals by state, then a row
per page (state, form, signer, time, title, status codes with their
explanations) that people can filter and sort in the browser. The file needs
nothing but itself: its style and its few lines of script are inline, nothing
is fetched, and it works offline from disk.

Everything in it that comes from a page (paths, URLs, titles, signer names,
store locations, codes, explanations, error messages) is escaped text, never
markup. As a second wall, a Content-Security-Policy lets only the report's own
style and script run, named by their hashes, so even a slip in escaping could
not run a hostile page's script or load anything from the network.
"""

from __future__ import annotations

import base64
import hashlib
import heapq
import html
import importlib.resources
import itertools
import os
import re
import tempfile
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Optional

import brevane

from brevane_tools.errors import UsageError
from brevane_tools.files.finding import HTML_SUFFIXES
from brevane_tools.files.writing import atomic_write_stream
from brevane_tools.results import Report, Spool

__all__ = ["STATES", "Row", "check_report_path", "render_report", "write_report"]

#: The states a row can have, worst first: the report's default order. "Error"
#: is a page that could not be checked at all (unreadable, no manifest, a URL
#: that did not answer); its row carries the message instead of codes.
STATES = ("Error", "Invalid", "Valid", "Trusted")

# What a colour-blind reader sees besides the colour: a symbol and the word.
_SYMBOLS = {"Trusted": "\u2714", "Valid": "\u2713", "Invalid": "\u2717", "Error": "!"}
_FORMS = {"embedded": "inline", "referenced": "referenced"}
# Where a referenced store was found, when not through the page's own link element.
_SOURCES = {"header": "Link header", "store-option": "--store"}

# A hostile page can have a title of any length; the report stays readable and small.
_TEXT_LIMIT = 300
_MESSAGE_LIMIT = 2000
# C0 controls other than tab and newline are not allowed as HTML text.
_CONTROLS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")
_FRACTION = re.compile(r"(?<=:\d\d)[.,]\d+")


@dataclass(frozen=True)
class Row:
    """One page as the report shows it; every field is plain text."""

    path: str
    state: str
    form: str = ""
    store_location: str = ""  # a path or URL, when the store was not inline
    store_source: str = ""  # how it was found, when not through the page's link element
    title: str = ""
    signer: str = ""
    issuer: str = ""
    signed_at: str = ""  # ISO 8601 in UTC, or the page's text if it could not be read as a time
    claim_generator: str = ""
    #: (code, explanation) pairs: the failures with theirs, else the codes that passed.
    codes: tuple[tuple[str, str], ...] = ()
    warnings: tuple[str, ...] = ()
    #: Why the page could not be checked, or brevane's verdict when it is not a match.
    message: str = ""
    #: SDK failures waived for an inline store, as (code, the SDK's explanation).
    waived: tuple[tuple[str, str], ...] = ()
    #: What an audit found of the page's deployment, as (severity, code, message, fix).
    findings: tuple[tuple[str, str, str, str], ...] = ()

    @classmethod
    def from_report(cls, report: Report) -> Row:
        data = report.data
        state = str(data["state"]) if data.get("state") in STATES else "Error"
        # Failures pair each code with its own explanation; the rest are codes alone.
        codes = _coded(data.get("failures"))
        codes += [(c, "") for c, _ in _coded(data.get("codes")) if c not in {f for f, _ in codes}]
        signer = data.get("signer")
        findings = _findings(data.get("findings"))
        if state == "Error":
            message = report.error or str(data.get("skipped") or "") or (findings[0][2] if findings else "") \
                or "the page could not be checked"
        elif data.get("verdict") not in (None, "match"):
            message = f"brevane: {data['verdict']}"
        else:
            message = ""
        return cls(
            path=report.path,
            state=state,
            form=_FORMS.get(str(data.get("kind", "")), str(data.get("kind", ""))),
            store_location=str(data.get("store_location") or ""),
            store_source=_SOURCES.get(str(data.get("source")), ""),
            title=str(data.get("title") or ""),
            signer=str(signer.get("subject") or "") if isinstance(signer, Mapping) else "",
            issuer=str(signer.get("issuer") or "") if isinstance(signer, Mapping) else "",
            signed_at=_utc(data.get("signed_at")),
            claim_generator=str(data.get("claim_generator") or ""),
            codes=tuple(dict.fromkeys(codes)),
            warnings=tuple(f"{c}: {e}" if e else c for c, e in _coded(data.get("warnings"))),
            message=message,
            waived=tuple(_coded(data.get("waived"))),
            findings=findings,
        )


def _findings(value: Any) -> tuple[tuple[str, str, str, str], ...]:
    return tuple(
        (str(f.get("severity", "")), str(f.get("code", "")), str(f.get("message", "")), str(f.get("fix", "")))
        for f in _list(value) if isinstance(f, Mapping)
    )


def _list(value: Any) -> list[Any]:
    return list(value) if isinstance(value, (list, tuple)) else []


def _coded(value: Any) -> list[tuple[str, str]]:
    """Entries given as codes, or as {"code", "explanation"} objects."""
    return [(str(entry.get("code", "")), str(entry.get("explanation") or "")) if isinstance(entry, Mapping)
            else (str(entry), "") for entry in _list(value)]


def _utc(value: Any) -> str:
    if not value:
        return ""
    text = str(value)
    # Python 3.9 and 3.10 read neither a trailing "Z" nor fractions of other than 3 or 6
    # digits (a time-stamp may have up to 9); the report shows whole seconds.
    plain = _FRACTION.sub("", text[:-1] + "+00:00" if text.endswith("Z") else text)
    try:
        moment = datetime.fromisoformat(plain)
    except ValueError:
        return text
    if moment.tzinfo is not None:
        moment = moment.astimezone(timezone.utc).replace(tzinfo=None)
    return moment.isoformat(timespec="seconds")


def _e(value: str, limit: int = _TEXT_LIMIT) -> str:
    """Text from a page, as HTML text or an attribute value (quotes escaped too)."""
    if len(value) > limit:
        value = value[: limit - 1] + "\u2026"
    return html.escape(_CONTROLS.sub("\ufffd", value), quote=True)


def _asset(name: str) -> str:
    return (importlib.resources.files("brevane_tools") / name).read_text("utf-8")


_STYLE = _asset("report.css")

# Reads only the report's own table: no data of any checked page ever becomes script.
_SCRIPT = _asset("report.js")


def _hash(source: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode()).digest()).decode() + "'"


# No network, no plug-ins, no forms, no base URL: only the two inline blocks above.
_POLICY = (
    f"default-src 'none'; style-src {_hash(_STYLE)}; script-src {_hash(_SCRIPT)}; "
    "base-uri 'none'; form-action 'none'"
)

_WAIVED_NOTE = (
    "The C2PA SDK knows no HTML container: for every inline store it reports the exclusion as not the "
    "manifest's location, and verifiers built on it call such pages Invalid. brevane confirmed the exclusion "
    "is exactly the page's manifest element; the form by reference has no such failure."
)

_COLUMNS = ("State", "Page", "Title", "Form", "Signer", "Signed (UTC)", "Codes")


def _cell(text: str, key: Optional[str] = None, css: str = "") -> str:
    attributes = (f' class="{css}"' if css else "") + (f' data-key="{_e(key)}"' if key is not None else "")
    return f"<td{attributes}>{text}</td>"


def _link(text: str) -> str:
    """A path as text; a web address as a link too, though never any other kind (no javascript:)."""
    if text.lower().startswith(("http://", "https://")) and len(text) <= _MESSAGE_LIMIT:
        return f'<a href="{_e(text, _MESSAGE_LIMIT)}" rel="noreferrer">{_e(text, _MESSAGE_LIMIT)}</a>'
    return _e(text, _MESSAGE_LIMIT)


_NONE = '<span class="none">\u2014</span>'


def _findings_list(row: Row) -> str:
    """The audit's findings of a page, worst first as found, each with its fix."""
    if not row.findings:
        return ""
    items = "".join(
        f'<li><code>{_e(severity)} {_e(code)}</code>: {_e(message, _MESSAGE_LIMIT)}'
        f'<span class="sub">fix: {_e(fix, _MESSAGE_LIMIT)}</span></li>'
        for severity, code, message, fix in row.findings
    )
    return f'<ul class="findings">{items}</ul>'


def _codes_cell(row: Row) -> str:
    if row.state == "Error":
        return f'<p class="msg">{_e(row.message, _MESSAGE_LIMIT)}</p>' + _findings_list(row)
    if not row.codes and not row.warnings and not row.message:
        return _findings_list(row) or _NONE
    if row.state != "Invalid" and row.codes:
        # What passed is there on demand; the summary stays short.
        codes = f"{len(row.codes)} passed"
    elif len(row.codes) > 3:
        codes = ", ".join(_e(code) for code, _ in row.codes[:2]) + f" and {len(row.codes) - 2} more"
    else:
        codes = ", ".join(_e(code) for code, _ in row.codes) or "details"
    if row.warnings:
        codes += f" + {len(row.warnings)} warning{'s' if len(row.warnings) > 1 else ''}"
    # Codes without an explanation (what passed) share one line; the report stays small.
    plain = ", ".join(_e(code) for code, explanation in row.codes if not explanation)
    entries = f"<dt><code>{plain}</code></dt>" if plain else ""
    entries += "".join(
        f"<dt><code>{_e(code)}</code></dt><dd>{_e(explanation, _MESSAGE_LIMIT)}</dd>"
        for code, explanation in row.codes
        if explanation
    )
    if row.waived:
        codes += " + waived"
        entries += "".join(
            f"<dt><code>{_e(code)}</code> waived</dt><dd>{_e(explanation, _MESSAGE_LIMIT)}</dd>"
            for code, explanation in row.waived
        )
    extra = f'<p class="msg">{_e(row.message, _MESSAGE_LIMIT)}</p>' if row.message else ""
    if row.waived:
        extra += f'<p class="msg">{_e(_WAIVED_NOTE, _MESSAGE_LIMIT)}</p>'
    extra += "".join(f'<p class="msg">Warning: {_e(w, _MESSAGE_LIMIT)}</p>' for w in row.warnings)
    if row.claim_generator:
        extra += f'<p class="msg sub">made by {_e(row.claim_generator)}</p>'
    if row.findings:
        codes += f" + {len(row.findings)} finding{'s' if len(row.findings) > 1 else ''}"
    return f"<details><summary><code>{codes}</code></summary><dl>{entries}</dl>{extra}</details>" + \
        _findings_list(row)


def _row(row: Row) -> str:
    form = _e(row.form) if row.form else _NONE
    if row.store_location:
        source = f"{row.store_source}: " if row.store_source else ""
        form += f'<span class="sub">{source}{_link(row.store_location)}</span>'
    signer = _e(row.signer) if row.signer else _NONE
    if row.issuer:
        signer += f'<span class="sub">by {_e(row.issuer)}</span>'
    if row.signed_at:
        signed = _e(row.signed_at.replace("T", " "))
    else:
        signed = '<span class="none">not time-stamped</span>' if row.state != "Error" else _NONE
    # The mark says that a pass leans on the waiver; a page that failed anyway needs none.
    state = row.state + ("*" if row.waived and row.state in ("Trusted", "Valid") else "")
    # Sorting reads a cell's text unless it has a key: the state's rank; no time before any time.
    cells = (
        _cell(state, str(STATES.index(row.state)), css="state"),
        _cell(_link(row.path), css="path"),
        _cell(_e(row.title) if row.title else _NONE),
        _cell(form),
        _cell(signer),
        _cell(signed, None if row.signed_at else ""),
        _cell(_codes_cell(row)),
    )
    return f'<tr data-state="{row.state.lower()}">{"".join(cells)}</tr>\n'


#: Rows sorted in memory at most this many at a time; more are sorted in runs kept on disk, then merged.
SORT_RUN = 50_000


def _row_order(row: Row) -> tuple[int, str]:
    return STATES.index(row.state), row.path


def _sorted_rows(reports: Iterable[Report]) -> tuple[Iterable[Row], dict[str, int], int]:
    """The rows by state, then path; their counts by state; and how many had an SDK failure waived.
    Past SORT_RUN rows, sorted runs go to disk and are merged as the report is written."""
    counts = dict.fromkeys(STATES, 0)
    waived = 0
    runs: list[Spool[Row]] = []
    batch: list[Row] = []
    for report in reports:
        row = Row.from_report(report)
        counts[row.state] += 1
        waived += bool(row.waived and row.state in ("Trusted", "Valid"))
        batch.append(row)
        if len(batch) >= SORT_RUN:
            run: Spool[Row] = Spool()
            run.extend(sorted(batch, key=_row_order))
            runs.append(run)
            batch = []
    batch.sort(key=_row_order)
    return heapq.merge(*runs, batch, key=_row_order), counts, waived


def render_report(reports: Sequence[Report], *, generated: Optional[datetime] = None, title: str = "check") -> str:
    """The report over a batch's page reports, as one HTML document."""
    return "".join(_document(*_sorted_rows(reports), generated=generated, title=title))


def _document(rows: Iterable[Row], counts: dict[str, int], waived: int, *, generated: Optional[datetime],
              title: str) -> Iterator[str]:
    """The report's HTML, a piece at a time: the head, a row per page, the end."""
    when = (generated or datetime.now(timezone.utc)).astimezone(timezone.utc)
    total = sum(counts.values())
    pages = f"{total:,} page{'' if total == 1 else 's'}"
    problems = counts["Invalid"] + counts["Error"]
    heading = f"brevane {title}: {pages}" + (f", {problems:,} not valid" if problems else ", all valid")
    totals = f'<button type="button" data-filter="" aria-pressed="true"><span class="n">{total:,}</span>All pages</button>'
    for state in reversed(STATES):
        totals += (
            f'<button type="button" class="{state.lower()}" data-filter="{state.lower()}" aria-pressed="false">'
            f'<span class="n">{counts[state]:,}</span><span aria-hidden="true">{_SYMBOLS[state]}</span> '
            f"{state}</button>"
        )
    headings = "".join(
        f'<th scope="col"{" aria-sort=ascending" if i == 0 else ""}><button type="button">{name}</button></th>'
        for i, name in enumerate(_COLUMNS)
    )
    yield (
        "<!DOCTYPE html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">\n'
        '<meta name="referrer" content="no-referrer">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{heading}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
        "<h1>Site report</h1>\n"
        f'<p class="meta">{pages} checked with the C2PA SDK and brevane {_e(brevane.__version__)}, '
        f'{when:%Y-%m-%d %H:%M} UTC. Codes and their explanations open on a click.</p>\n'
        + (f'<p class="meta">* {waived:,} page{"" if waived == 1 else "s"} inline: a failure of the C2PA SDK '
           f"waived. {_e(_WAIVED_NOTE)}</p>\n" if waived else "")
        + f'<div class="totals" role="group" aria-label="Totals by state; show only">{totals}'
        '<input type="search" id="search" hidden placeholder="Filter: path, title, signer, code" '
        'aria-label="Show only pages containing"></div>\n'
        f'<p id="shown" aria-live="polite">{total:,} of {total:,} pages shown</p>\n'
        f'<table id="pages">\n<thead><tr>{headings}</tr></thead>\n<tbody>\n'
    )
    for row in rows:
        yield _row(row)
    if not total:
        yield f'<tr><td colspan="{len(_COLUMNS)}" class="none">No pages were checked.</td></tr>\n'
    yield f"</tbody>\n</table>\n<script>{_SCRIPT}</script>\n</body>\n</html>\n"


def check_report_path(
    name: str, pages: Sequence[str] = (), suffixes: Sequence[str] = HTML_SUFFIXES
) -> Path:
    """The report's path, once it is known that a file can be written there.

    Called before any page is checked, so that a report that cannot be written
    is a usage error up front rather than a lost batch. `pages` are the
    command's path arguments and `suffixes` the page extensions it looks for in
    directories: the report may not be one of those pages, which it would
    replace (or, written into a checked directory, be checked as next time).
    Raises UsageError.
    """
    path = Path(name)
    if os.path.islink(path):
        raise UsageError(f"{name}: the report's path is a symbolic link, not written through")
    target = Path(os.path.realpath(path))
    if target.is_dir():
        raise UsageError(f"{name}: cannot write the report: it is a directory")
    for argument in pages:
        root = Path(os.path.realpath(argument))
        if target == root or (
            root.is_dir() and root in target.parents and target.suffix.lower() in suffixes
        ):
            raise UsageError(f"{name}: the report would be one of the pages checked ({argument})")
    try:
        # What atomic_write will do: a temporary file beside the target.
        with tempfile.NamedTemporaryFile(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent):
            pass
    except OSError as exc:
        raise UsageError(f"{name}: cannot write the report: {exc.strerror or exc}") from None
    return path


def write_report(
    path: Path, reports: Sequence[Report], *, generated: Optional[datetime] = None, title: str = "check"
) -> None:
    """Write the report atomically: the old file or the new one, never a torn mix, and
    never through a symbolic link found (or put) at its path."""
    pieces = (piece.encode("utf-8", "replace") for piece in
              _document(*_sorted_rows(reports), generated=generated, title=title))
    # The document some rows at a time (b"" at its end): a report of any size, written as it is made.
    atomic_write_stream(path, lambda _size: b"".join(itertools.islice(pieces, 256)))
