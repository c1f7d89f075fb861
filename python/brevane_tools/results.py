"""What a command made of one page (`Outcome`), and what became of it in a batch (`Report`).

Plain records, below the engines and the commands alike: the site report
renders `Report`s, the commands make `Outcome`s, the runner turns one into the other.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

__all__ = ["Outcome", "Report"]


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
