"""What a command of the `brevane` tool is.

A command says which flags it takes, what it prepares once before any page is
touched (option files read, credentials checked: a problem there is a usage
error, exit 2, and nothing is written), and what it does to one page. The
runner (`brevane_tools.runner`) finds the pages, hands them to `run` (in worker
processes when asked), writes what `run` returns and reports. Adding a command
is one `Command(...)` named NAME in upper case in the module of its family, and
one entry (its name, that module, what it does) in the ordered registry
`brevane_tools.commands.COMMANDS`, which imports only the command a run asks for.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Generic, Literal, NamedTuple, Optional, Sequence, TypeVar

from brevane_tools.errors import PageFailed, UsageError
from brevane_tools.results import Outcome, Report

if TYPE_CHECKING:
    from brevane_tools.files.objects import ObjectPage
    from brevane_tools.files.reading import FileIdentity

__all__ = [
    "Command",
    "Outcome",
    "Page",
    "PageFailed",
    "Report",
    "UsageError",
    "count",
    "parse_size",
]


Settings = TypeVar("Settings")


class Page(NamedTuple):
    """One page handed to a command."""

    name: str  # as reported: the path as given, or the URL
    html: Optional[bytes]  # the page's bytes; None for a URL, which the command fetches
    path: Optional[Path] = None  # the file it was read from
    url: Optional[str] = None  # the URL it lives at
    relative: Path = Path()  # its path below the argument that named it (mirrored under -o DIR)
    destination: Optional[Path] = None  # where an edited page goes; None: nothing is written
    #: The site root: where hrefs starting with "/" lead (the directory argument, or --site-root).
    site: Optional[Path] = None
    #: (device, inode) as the walk saw the file; it is read only if it still is that file.
    identity: Optional[FileIdentity] = None
    #: Whether a symbolic link at `path` may be followed (the walk chose to); else one is refused.
    follow: bool = True
    #: Where it is read from and written to in object storage, when it lies there or goes there.
    objects: Optional[ObjectPage] = None

    @property
    def root(self) -> Optional[Path]:
        """The site root: as given, else the directory argument that found the page, else its own directory."""
        if self.site is not None:
            return self.site
        if self.path is None:
            return None
        depth = len(self.relative.parts)
        return Path(*self.path.parts[:-depth]) if 0 < depth < len(self.path.parts) else self.path.parent


Output = Literal["none", "edit", "store"]


def _driven(page: Page, settings: object) -> Outcome:
    raise TypeError(f"{page.name}: a command that drives its own run takes no pages from the runner")


class Command(Generic[Settings]):
    """A command: its flags, what it prepares once, and what it does to one page.

    `add_arguments` adds the command's own flags (the runner adds the common
    ones). `prepare` runs once, before any page is touched, and raises
    UsageError; its result is handed to every `run` call and must be picklable
    (worker processes). `run` runs once per page and raises ValueError (the page
    fails, exit status 1). `output`: "edit" writes pages (-o or --in-place
    required), "store" may write a store with -o, "none" reads only. `hash_alg`:
    takes --alg (sha256, sha384, sha512). `needs_pages`: a directory argument
    without a single page is a usage error (a check of nothing never passes).
    `done`: how the summary names a page the command did its work on. `urls`:
    takes http and https URLs as well as paths, handed to `run` as
    `Page(name=url, html=None, url=url)` for the command to fetch. `finish` runs
    once in the parent process after the batch, with the settings and every
    page's report (e.g. to write a report file), and raises UsageError or
    OSError (exit status 2). `reads_back`: what `run` reads back of a page's
    output before writing it, as suffixes of the output's name ("" for the page
    itself), read with the page's round for pages in object storage. `drive`
    runs the whole command itself instead of the runner, with the settings and
    the caller's `on_report`, and returns the exit status: for a command whose
    pages are found as it runs (audit); its `add_arguments` then makes every
    flag it takes, the common ones are not added, and it has no `run`.
    """

    def __init__(
        self,
        name: str,
        help: str,  # noqa: A002 - argparse's word for it
        add_arguments: Callable[[argparse.ArgumentParser], None],
        prepare: Callable[[argparse.Namespace], Settings],
        run: Callable[[Page, Settings], Outcome] = _driven,
        output: Output = "none",
        hash_alg: bool = False,
        needs_pages: bool = False,
        done: str = "ok",
        urls: bool = False,
        finish: Optional[Callable[[Settings, Sequence[Report]], None]] = None,
        reads_back: Optional[Callable[[Settings], tuple[str, ...]]] = None,
        drive: Optional[Callable[[Settings, Optional[Callable[[Report], None]]], int]] = None,
    ) -> None:
        self.name, self.help, self.add_arguments, self.prepare, self.run = name, help, add_arguments, prepare, run
        self.output, self.hash_alg, self.needs_pages, self.done, self.urls = output, hash_alg, needs_pages, done, urls
        self.finish, self.reads_back, self.drive = finish, reads_back, drive


def parse_size(text: str) -> int:
    """A size flag's value: bytes, or with K, M or G (1048576, 512K, 16M); for argparse."""
    scale = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}.get(text[-1:].lower(), 1)
    try:
        value = int(text[:-1] if scale > 1 else text) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a size in bytes (or with K, M, G), got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"the size must be positive: {text!r}")
    return value


def count(least: int) -> Callable[[str], int]:
    """A count flag's parser, for argparse: a whole number, `least` or more."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}: {text}")
        return value

    return parse
