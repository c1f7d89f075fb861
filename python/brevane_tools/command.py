"""What a command of the `brevane` tool is: one entry, registered once.

A command says which flags it takes, what it prepares once before any page is
touched (option files read, credentials checked: a problem there is a usage
error, exit 2, and nothing is written), and what it does to one page. The
runner in `brevane_tools.cli` finds the pages, hands them to `run` (in worker
processes when asked), writes what `run` returns and reports. Adding a command
is one `register(Command(...))` in the module that owns it.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Literal, Optional, Sequence

__all__ = ["COMMANDS", "Command", "Outcome", "Page", "PageFailed", "Report", "UsageError", "parse_size", "register"]


class UsageError(Exception):
    """Bad arguments or unusable option files: exit status 2, nothing written."""


class PageFailed(ValueError):
    """One page did not pass (a check failed): exit status 1, with the data to report."""

    def __init__(self, message: str, data: Optional[dict[str, Any]] = None) -> None:
        super().__init__(message)
        self.data = data or {}


@dataclass(frozen=True)
class Page:
    """One page handed to a command."""

    name: str  # as reported: the path as given, or the URL
    html: Optional[bytes]  # the page's bytes; None for a URL, which the command fetches
    path: Optional[Path] = None  # the file it was read from
    url: Optional[str] = None  # the URL it lives at
    relative: Path = Path()  # its path below the argument that named it (mirrored under -o DIR)
    destination: Optional[Path] = None  # where an edited page goes; None: nothing is written

    @property
    def root(self) -> Optional[Path]:
        """The directory argument that found the page (its own directory for a file argument)."""
        if self.path is None:
            return None
        depth = len(self.relative.parts)
        return Path(*self.path.parts[:-depth]) if 0 < depth < len(self.path.parts) else self.path.parent


@dataclass
class Outcome:
    """What a command made of one page."""

    text: str  # one line for people
    data: dict[str, Any] = field(default_factory=dict)  # the page's fields in --json output
    #: The edited page, written to `Page.destination`; None leaves the page as it is.
    page: Optional[bytes] = None
    #: Files written together with the page, all of them or none (a referenced store).
    files: tuple[tuple[Path, bytes], ...] = ()
    #: Bytes for `extract -o` (a Manifest Store).
    store: Optional[bytes] = None


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


Output = Literal["none", "edit", "store"]


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    #: Adds the command's own flags; the runner adds the common ones.
    add_arguments: Callable[[argparse.ArgumentParser], None]
    #: Runs once, before any page is touched; raises UsageError. Its result is
    #: handed to every `run` call and must be picklable (worker processes).
    prepare: Callable[[argparse.Namespace], Any]
    #: Runs once per page; raises ValueError (the page fails, exit status 1).
    run: Callable[[Page, Any], Outcome]
    #: "edit": writes pages (-o or --in-place required); "store": may write a
    #: store with -o; "none": reads only.
    output: Output = "none"
    #: Takes --alg (sha256, sha384, sha512).
    hash_alg: bool = False
    #: Takes http and https URLs as well as paths: a URL is handed to `run` as
    #: `Page(name=url, html=None, url=url)`, and the command fetches it.
    urls: bool = False
    #: Runs once in the parent process after the batch, with the settings and
    #: every page's report (e.g. to write a report file); raises UsageError or
    #: OSError (exit status 2).
    finish: Optional[Callable[[Any, Sequence[Report]], None]] = None


COMMANDS: dict[str, Command] = {}


def register(command: Command) -> Command:
    if command.name in COMMANDS:
        raise ValueError(f"the command {command.name!r} is registered twice")
    COMMANDS[command.name] = command
    return command


def parse_size(text: str) -> int:
    """A size flag's value: bytes, or with K, M or G (1048576, 512K, 16M); for argparse."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    scale = units.get(text[-1:].lower(), 1)
    try:
        value = int(text[:-1] if scale > 1 else text) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a size in bytes (or with K, M, G), got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"the size must be positive: {text!r}")
    return value
