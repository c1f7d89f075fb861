"""What a command made of one page (`Outcome`), and what became of it in a batch (`Report`).

Plain records, below the engines and the commands alike: the site report
renders `Report`s, the commands make `Outcome`s, the runner turns one into the other.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

from brevane_tools.errors import EXIT_FAILED, EXIT_INTERNAL, EXIT_OK, EXIT_USAGE

__all__ = ["Outcome", "Report", "exit_code", "summary"]


@dataclass
class Outcome:
    """What a command made of one page."""

    text: str  # one line for people
    data: dict[str, Any] = field(default_factory=dict)  # the page's fields in --json output
    #: The edited page, written to `Page.destination`; None leaves the page as it is.
    page: Optional[bytes] = None
    #: Files written together with the page, all of them or none (a referenced store).
    files: tuple[tuple[Path, bytes], ...] = ()
    #: The tree (resolved) `files` lie in when it is not the page's: a store directory apart from the pages.
    files_tree: Optional[str] = None
    #: Bytes for `extract -o` (a Manifest Store).
    store: Optional[bytes] = None
    #: `text` is several lines, each escaped by the command; else it is one line, escaped when shown.
    multiline: bool = False


@dataclass
class Report:
    """What became of one page, as the runner reports it (and hands to `on_report` and `finish`)."""

    path: str
    ok: bool
    text: str = ""
    error: Optional[str] = None
    input_error: bool = False
    data: dict[str, Any] = field(default_factory=dict)
    stdout_bytes: Optional[bytes] = None
    internal: bool = False  # a fault of the tool, not of the page
    detail: Optional[str] = None  # shown under --debug only: a traceback, a signer command's own words
    multiline: bool = False  # see Outcome.multiline

    def copied_to(self, how: str, destination: str) -> None:
        """A failed page of a mirror went to the output as it was ("unsigned", "unchanged"): say where."""
        self.error = f"{self.error}; copied {how} to {destination}"
        self.data.update(output=destination, copied=how)

    def not_copied(self, why: str) -> None:
        """A failed page of a mirror could not even be copied there."""
        self.error = f"{(self.error or '').split('; copied ')[0]}; not copied either: {why}"
        self.data.pop("copied", None)
        self.data.pop("output", None)


def summary(reports: Sequence[Report], done: str = "ok") -> str:
    """One line for the batch: states when the command reports them, else what became of the pages.

    `done` names a page the command did its work on; a command that names it
    ("signed") always shows pages done, unchanged (still valid), excluded and
    failed; others show ok and failed, and excluded ones when there are any.
    """
    counts: dict[str, int] = {}
    stated = any("state" in r.data for r in reports)
    for report in reports:
        if stated and "state" in report.data:
            key = str(report.data["state"]).lower()
        elif report.internal:
            key = "internal errors"
        elif not report.ok:
            key = "failed"
        elif report.data.get("excluded"):
            key = "excluded"
        elif report.data.get("skipped"):
            key = "unchanged"
        else:
            key = done
        counts[key] = counts.get(key, 0) + 1
    if not stated:
        order = [done, "unchanged", "excluded", "failed"] if done != "ok" else [done, "failed"]
        counts = {**{key: counts.get(key, 0) for key in order}, **counts}
    total = len(reports)
    parts = ", ".join(f"{n:,} {key}" for key, n in counts.items())
    line = f"{total:,} page{'s' if total != 1 else ''}: {parts}"
    waived = sum(1 for r in reports if r.data.get("waived"))
    if waived:
        line += f" ({waived:,} inline, with the C2PA SDK's failure for inline stores waived)"
    return line


def exit_code(reports: Sequence[Report]) -> int:
    """The run's exit status: internal errors first, then input errors, then failed pages."""
    if any(r.internal for r in reports):
        return EXIT_INTERNAL
    if any(r.input_error for r in reports):
        return EXIT_USAGE
    return EXIT_FAILED if any(not r.ok for r in reports) else EXIT_OK
