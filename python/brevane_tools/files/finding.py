"""Finding pages on disk: which files a run works on, and which it refuses.

- Symbolic links met while walking a directory are followed when they lead to
  a place inside that directory's tree, and refused (an input error) when they
  lead out of it, unless the caller allows it (`--follow-outside`). A link named
  on the command line is followed. A directory reached twice (a link loop, a
  second link to it) is walked once; a file reached twice is one page.
- Only regular files are taken: a FIFO, device or socket is refused, never read.
- The tool's own temporary files (`.NAME.XXXXXXXX.tmp`, left behind only by a
  kill that gave no chance to clean up) are never walked, signed or copied.
"""

from __future__ import annotations

import errno
import os
import re
import stat
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

from brevane_tools import limits
from brevane_tools.text import display

__all__ = ["DEFAULT_MAX_PAGE_SIZE", "HTML_SUFFIXES", "Found", "InputError", "InputFile", "find_pages", "inside", "is_temporary"]

HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")

#: Pages larger than this fail (that page only); `--max-page-size` changes it.
DEFAULT_MAX_PAGE_SIZE = limits.DEFAULT_MAX_PAGE_SIZE


def inside(path: str, root: str) -> bool:
    """Whether the resolved `path` is `root` or below it (both resolved already)."""
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


@dataclass(frozen=True)
class InputFile:
    """A page to work on, and its path relative to the argument that named it."""

    path: Path
    relative: Path
    #: The directory argument it was found under; None for a file named on the command line.
    root: Optional[Path] = None
    #: (device, inode) as found: the file is read only while it still is this one.
    identity: Optional[tuple[int, int]] = None
    #: Reached through a symbolic link that the walk chose to follow; any other is opened without following one.
    via_link: bool = False


@dataclass(frozen=True)
class InputError:
    """A path that cannot be worked on: one line, exit status 2."""

    path: str
    message: str


@dataclass
class Found:
    pages: list[InputFile] = field(default_factory=list)
    #: Regular files that are not pages, under directory arguments (mirrored by -o DIR).
    others: list[InputFile] = field(default_factory=list)
    errors: list[InputError] = field(default_factory=list)

    def __iter__(self) -> Iterator[InputFile]:  # the pages, as callers that only want pages expect
        return iter(self.pages)


#: The name of a temporary file of the tool's, beside the file it will replace.
_TEMPORARY = re.compile(r"^\..+\.[0-9a-f]{8}\.tmp(\.old)?$")


def temporary_name(target: Path, token: str) -> str:
    """The temporary file that stands in for `target` until it is renamed over it."""
    return str(target.parent / f".{target.name}.{token}.tmp")


def is_temporary(name: str) -> bool:
    """Whether a file name is one of the tool's temporary files (`find . -name '.*.tmp'` lists them)."""
    return _TEMPORARY.match(name) is not None


def kind_of(mode: int) -> str:
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


def find_pages(
    arguments: Iterable[str],
    suffixes: Sequence[str] = HTML_SUFFIXES,
    follow_outside: bool = False,
) -> Found:
    """The pages (and other files) that the arguments name, in a stable order.

    A file is taken whatever its name; a directory is walked for files whose
    names end in one of `suffixes` (any case), sorted. A missing argument
    raises FileNotFoundError; anything else that cannot be used is an
    `InputError` in the result, and the rest is still found.
    """
    found = Found()
    seen: set[tuple[int, int]] = set()
    lowered = tuple(s.lower() for s in suffixes)

    def take(
        into: list[InputFile], path: Path, relative: Path, st: os.stat_result, root: Optional[Path], link: bool
    ) -> None:
        if (st.st_dev, st.st_ino) not in seen:  # the same file twice, or two spellings of one
            seen.add((st.st_dev, st.st_ino))
            into.append(InputFile(path, relative, root, (st.st_dev, st.st_ino), link))

    for argument in arguments:
        root = Path(argument)
        try:
            st = os.stat(root)
        except FileNotFoundError:
            raise FileNotFoundError(f"{display(argument)}: no such file or directory") from None
        except OSError as exc:
            found.errors.append(InputError(display(argument), exc.strerror or str(exc)))
            continue
        if stat.S_ISDIR(st.st_mode):
            _walk(root, lowered, follow_outside, found, take)
        elif stat.S_ISREG(st.st_mode):
            take(found.pages, root, Path(root.name), st, None, os.path.islink(root))
        else:
            found.errors.append(InputError(display(argument), f"{kind_of(st.st_mode)}, not read"))
    return found


#: How _walk hands a file to find_pages: into which list, path, relative path, its stat, its root.
_Take = Callable[[list[InputFile], Path, Path, os.stat_result, Optional[Path], bool], None]


def _walk(root: Path, suffixes: tuple[str, ...], follow_outside: bool, found: Found, take: _Take) -> None:
    real_root = os.path.realpath(root)
    walked: set[tuple[int, int]] = set()
    pending = [(root, Path())]
    pages: list[tuple[Path, Path, os.stat_result, bool]] = []
    others: list[tuple[Path, Path, os.stat_result, bool]] = []
    while pending:
        directory, relative = pending.pop()
        try:
            dst = os.stat(directory)
            if (dst.st_dev, dst.st_ino) in walked:
                continue  # a loop, or a second link to a directory already walked
            walked.add((dst.st_dev, dst.st_ino))
            with os.scandir(directory) as scan:
                entries = sorted(scan, key=lambda e: e.name, reverse=True)
        except OSError as exc:
            found.errors.append(InputError(display(directory), f"cannot read the directory: {exc.strerror or exc}"))
            continue
        for entry in entries:
            if is_temporary(entry.name):
                continue  # left by a kill: never a page, never part of the site
            path = Path(entry.path)
            try:
                st = entry.stat(follow_symlinks=True)
                if entry.is_symlink() and not follow_outside:
                    target = os.path.realpath(path)
                    if not inside(target, real_root):
                        found.errors.append(
                            InputError(
                                display(path),
                                f"a symbolic link out of {display(root)} (to {display(target)}), not followed; "
                                "--follow-outside follows it",
                            )
                        )
                        continue
            except OSError as exc:
                if entry.is_symlink() and exc.errno in (errno.ENOENT, errno.ELOOP):
                    continue  # a dangling link names no file
                found.errors.append(InputError(display(path), exc.strerror or str(exc)))
                continue
            if stat.S_ISDIR(st.st_mode):
                pending.append((path, relative / entry.name))
            elif entry.name.lower().endswith(suffixes):
                if stat.S_ISREG(st.st_mode):
                    pages.append((path, relative / entry.name, st, entry.is_symlink()))
                else:
                    found.errors.append(InputError(display(path), f"{kind_of(st.st_mode)}, not read"))
            elif stat.S_ISREG(st.st_mode):
                others.append((path, relative / entry.name, st, entry.is_symlink()))
    for into, items in ((found.pages, pages), (found.others, others)):
        for path, rel, st, link in sorted(items, key=lambda item: item[1]):
            take(into, path, rel, st, root, link)

