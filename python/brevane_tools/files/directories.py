"""The directory a file is written in, opened so that no link swapped in on the way is ever followed.

In an output tree, the directory is reached from the tree's top one name at a
time, each opened without following a link, and made where missing; whatever
is renamed or swapped for a link meanwhile, the open directory is in the tree.
Every later step (a status, a temporary file, a rename) happens in it by name.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import Optional

from brevane_tools.errors import WriteRefused
from brevane_tools.files.finding import DIRECTORY, NOFOLLOW, inside, resolved
from brevane_tools.text import display

__all__ = ["open_directory", "status", "walk_below"]


def status(name: str, directory: int) -> Optional[os.stat_result]:
    """What `name` is in the open `directory` (a link as a link); None when there is nothing."""
    try:
        return os.stat(name, dir_fd=directory, follow_symlinks=False)
    except FileNotFoundError:
        return None


def _below(directory: Path, tree: str) -> Optional[tuple[Path, tuple[str, ...]]]:
    """The names that lead from `tree` down to `directory`, and the path they follow; None when it lies elsewhere.

    Read off the path as written, so that a link on the way is met (and refused)
    rather than resolved; only an output named through a link is resolved first.
    """
    absolute = os.path.abspath(directory)
    if inside(absolute, tree):
        names = Path(absolute).relative_to(tree).parts
        spelled = directory.parts
        return (Path(*spelled[: len(spelled) - len(names)]) if len(spelled) >= len(names) else Path(tree)), names
    real = resolved(directory)
    if not inside(real, tree):
        return None
    return Path(tree), Path(real).relative_to(tree).parts


def open_directory(directory: Path, tree: Optional[str], target: Path) -> int:
    """`directory`, open and made where missing, for writing `target` in it.

    In `tree` (resolved), it is reached one name at a time without following
    a link (WriteRefused names the link, or the file, in the way); without a
    tree (an edit in place), it is opened as named, and the caller judges
    what it finds there.
    """
    if tree is None:
        directory.mkdir(parents=True, exist_ok=True)
        return os.open(directory, DIRECTORY)
    below = _below(directory, tree)
    if below is None:
        raise WriteRefused(errno.EXDEV, f"{display(target)}: its directory leads out of the output tree")
    base, names = below
    os.makedirs(tree, exist_ok=True)
    fd = os.open(tree, DIRECTORY)
    for depth, name in enumerate(names):
        try:
            try:
                child = os.open(name, DIRECTORY | NOFOLLOW, dir_fd=fd)
            except FileNotFoundError:
                with contextlib.suppress(FileExistsError):
                    os.mkdir(name, dir_fd=fd)
                child = os.open(name, DIRECTORY | NOFOLLOW, dir_fd=fd)
        except OSError as exc:
            if exc.errno not in (errno.ELOOP, errno.ENOTDIR):
                raise
            where = display(base.joinpath(*names[: depth + 1]))
            found = status(name, fd)
            if found is not None and stat.S_ISLNK(found.st_mode):
                raise WriteRefused(errno.ELOOP, f"{where} is a symbolic link, not written through") from None
            raise WriteRefused(errno.ENOTDIR, f"{where} is not a directory") from None
        finally:
            os.close(fd)
        fd = child
    return fd


def walk_below(top: int) -> Iterator[tuple[int, str, list[os.DirEntry[str]], list[str]]]:
    """Every directory below the open directory `top`, `top` first, through descriptors and never through
    a link: its descriptor, its path below `top` ("" or "a/b/"), its entries by name, and a list the
    caller fills with the names of those to enter next (the last one first). A directory that cannot
    be listed has no entries; one gone, or swapped for a link, since it was listed is never entered.
    Each descriptor stays open until everything below it is done; `top` stays the caller's."""
    stack: list[tuple[int, str, list[str]]] = []
    fd, here = top, ""
    try:
        while fd >= 0:
            try:
                with os.scandir(fd) as scan:
                    entries = sorted(scan, key=lambda e: e.name)
            except OSError:
                entries = []
            below: list[str] = []
            stack.append((fd, here, below))
            yield fd, here, entries, below
            fd = -1
            while stack and fd < 0:
                parent, path, names = stack[-1]
                if not names:
                    stack.pop()
                    if parent != top:
                        os.close(parent)
                    continue
                name = names.pop()
                with contextlib.suppress(OSError):
                    fd, here = os.open(name, DIRECTORY | NOFOLLOW, dir_fd=parent), f"{path}{name}/"
    finally:
        for parent, _, _ in stack:
            if parent != top:
                os.close(parent)
