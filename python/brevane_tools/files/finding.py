"""Finding pages on disk: which files a run works on, and which it refuses.

- A directory is walked through open directory descriptors, one name at a
  time, never through a symbolic link: whatever is renamed or swapped for a
  link meanwhile, what the walk lists lay in the tree when it was listed.
- Symbolic links met while walking are listed with the text they hold
  (`Found.links`) and not followed when they lead inside the tree: the walk
  reaches what they lead to at its own path, so a page is one page, at its
  real path. A link out of the tree is refused (an input error) unless the
  caller follows it (`--follow-outside`) or mirrors the tree (it is then kept
  as a link); a link that leads nowhere is listed as dangling. A link named on
  the command line is followed. A directory reached twice is walked once; a
  file reached twice (two arguments, a followed link) is one page.
- Only regular files are taken: a FIFO, device or socket is refused, never read.
- The tool's own temporary files (`.NAME.XXXXXXXX.tmp`, left behind only by a
  kill that gave no chance to clean up) are never walked, signed or copied.
"""

from __future__ import annotations

import errno
import fnmatch
import os
import posixpath
import stat
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Literal, NamedTuple, Optional, Union

from brevane_tools import limits
from brevane_tools.files.temporaries import is_temporary
from brevane_tools.results import Spool
from brevane_tools.text import display

__all__ = [
    "CLOEXEC", "DIRECTORY", "HTML_SUFFIXES", "NOFOLLOW", "Found", "InputError", "InputFile",
    "Link", "excluded_by", "find_pages", "inside", "real_path_of", "resolved",
]

HTML_SUFFIXES = limits.HTML_SUFFIXES
CLOEXEC = getattr(os, "O_CLOEXEC", 0)
NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
#: A directory opened to be listed, or worked in by name (with NOFOLLOW: never through a link).
DIRECTORY = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | CLOEXEC


def inside(path: str, root: str) -> bool:
    """Whether the resolved `path` is `root` or below it (both resolved already)."""
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def excluded_by(relative: str, patterns: Sequence[str]) -> Optional[str]:
    """The first of `--exclude`'s globs that matches a page (its POSIX path below its argument), or
    None: a glob with a "/" matches that path, one without matches the file name, at any depth."""
    for pattern in patterns:
        if fnmatch.fnmatchcase(relative if "/" in pattern else posixpath.basename(relative), pattern.strip("/")):
            return pattern
    return None


def resolved(path: Union[str, Path]) -> str:
    """`path` with every link on the way resolved, as os.path.realpath gives it; realpath raises when
    a link on the way is swapped while it reads it, and then the path is taken as written (absolute):
    whatever it leads to is judged again when it is opened."""
    try:
        return os.path.realpath(path)
    except OSError:
        return os.path.abspath(path)


def real_path_of(fd: int, fallback: Union[str, Path]) -> str:
    """Where an open file really lies: the kernel's own name for it where there is one."""
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return resolved(fallback)


class InputFile(NamedTuple):
    """A page to work on, and its path relative to the argument that named it."""

    path: Path
    relative: Path
    #: The directory argument it was found under; None for a file named on the command line.
    root: Optional[Path] = None
    #: (device, inode) as found: the file is read only while it still is this one.
    identity: Optional[tuple[int, int]] = None
    #: Reached through a symbolic link that the walk chose to follow; any other is opened without following one.
    via_link: bool = False


class Link(NamedTuple):
    """A symbolic link met in a walk and not followed."""

    path: Path
    relative: Path
    #: What it holds, as readlink gives it.
    target: str
    #: Where it leads: into the tree, out of it (a mirror keeps it), or to no file at all (or round a loop).
    leads: Literal["inside", "outside", "dangling"]


class InputError(NamedTuple):
    """A path that cannot be worked on: one line, exit status 2."""

    path: str
    message: str


class Found:
    def __init__(self) -> None:
        #: In the order of their paths (each tree's, then the next argument's); kept on disk, not in memory.
        self.pages: Spool[InputFile] = Spool()
        #: Regular files that are not pages, under directory arguments (mirrored by -o DIR).
        self.others: Spool[InputFile] = Spool()
        self.errors: list[InputError] = []
        #: Symbolic links under directory arguments, not followed (mirrored by -o DIR as links).
        self.links: list[Link] = []
        #: Every directory walked, by its path below its argument (mirrored by -o DIR, empty ones too).
        self.directories: list[Path] = []

    def __iter__(self) -> Iterator[InputFile]:  # the pages, as callers that only want pages expect
        return iter(self.pages)


def kind_of(mode: int) -> str:
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


#: Where a file lies: its directory's (device, inode) and its name there. One place, one page.
_Place = tuple[int, int, str]


def _place_of(path: str, st: os.stat_result) -> _Place:
    real = resolved(path)
    try:
        directory = os.stat(os.path.dirname(real))
    except OSError:  # moved meanwhile: the file itself stands for its place
        return st.st_dev, st.st_ino, ""
    return directory.st_dev, directory.st_ino, os.path.basename(real)


def find_pages(
    arguments: Iterable[str],
    suffixes: Sequence[str] = HTML_SUFFIXES,
    follow_outside: bool = False,
    mirror: bool = False,
) -> Found:
    """The pages (and other files) that the arguments name, in a stable order.

    A file is taken whatever its name; a directory is walked for files whose
    names end in one of `suffixes` (any case), sorted. `mirror` says the tree
    is copied whole: a link out of it that is not followed is then kept, not
    refused. A missing argument raises FileNotFoundError; anything else that
    cannot be used is an `InputError` in the result, and the rest is still found.
    """
    arguments = list(arguments)
    walk = _Walk(Found(), tuple(s.lower() for s in suffixes), follow_outside, mirror)
    # Within one tree walked without following links every file has a place of its own: only several
    # arguments, or links followed, can reach a file twice, and only then are places remembered.
    walk.remember = len(arguments) > 1 or follow_outside
    for argument in arguments:
        root = Path(argument)
        try:
            st = os.stat(root)
        except FileNotFoundError:
            raise FileNotFoundError(f"{display(argument)}: no such file or directory") from None
        except OSError as exc:
            walk.found.errors.append(InputError(display(argument), exc.strerror or str(exc)))
            continue
        if stat.S_ISDIR(st.st_mode):
            walk.tree(root)
        elif stat.S_ISREG(st.st_mode):
            entry = _Entry(root, Path(root.name), st, os.path.islink(root), _place_of(argument, st))
            walk.take(walk.found.pages, entry)
        else:
            walk.found.errors.append(InputError(display(argument), f"{kind_of(st.st_mode)}, not read"))
    return walk.found


class _Entry(NamedTuple):
    path: Path
    relative: Path
    st: os.stat_result
    via_link: bool
    place: _Place


class _Frame(NamedTuple):
    """A directory being walked: held open until every entry in it is done."""

    fd: int
    path: Path
    relative: Path
    device: tuple[int, int]  # its (device, inode): where its entries lie
    #: Entries still to visit, the last name first: files are taken, and directories walked, in name order.
    entries: list[os.DirEntry[str]]


class _Tree:
    """What one directory argument holds besides its files (taken as they are met), sorted once the walk is over."""

    def __init__(self, root: Path, real_root: str) -> None:
        self.root, self.real_root = root, real_root
        self.links: list[Link] = []
        self.directories: list[Path] = []
        self.walked: set[tuple[int, int]] = set()


class _Walk:
    def __init__(self, found: Found, suffixes: tuple[str, ...], follow_outside: bool, mirror: bool) -> None:
        self.found, self.suffixes, self.follow_outside, self.mirror = found, suffixes, follow_outside, mirror
        self.seen: set[_Place] = set()
        self.remember = True

    def take(self, into: Spool[InputFile], entry: _Entry, root: Optional[Path] = None) -> None:
        if entry.place in self.seen:  # the same file twice, or two spellings of one
            return
        if self.remember:
            self.seen.add(entry.place)
        into.append(InputFile(entry.path, entry.relative, root, (entry.st.st_dev, entry.st.st_ino), entry.via_link))

    def error(self, path: Path, message: str) -> None:
        self.found.errors.append(InputError(display(path), message))

    def tree(self, root: Path) -> None:
        tree = _Tree(root, os.path.realpath(root))
        stack: list[_Frame] = []
        try:
            self.enter(tree, root, Path(), stack)
            while stack:
                frame = stack[-1]
                if not frame.entries:
                    os.close(stack.pop().fd)
                    continue
                self.visit(tree, frame, frame.entries.pop(), stack)
        finally:
            for frame in stack:
                os.close(frame.fd)
        self.found.links += sorted(tree.links, key=lambda link: link.relative)
        self.found.directories += sorted(tree.directories)

    def enter(self, tree: _Tree, path: Path, relative: Path, stack: list[_Frame], parent: Optional[int] = None,
              follow: bool = True) -> None:
        """Open and list a directory: an argument, or by its name in its open `parent`, never through a
        link it was not meant to follow; it stays open (on `stack`) while its entries are visited."""
        fd = -1
        try:
            fd = os.open(path, DIRECTORY) if parent is None else \
                os.open(path.name, DIRECTORY | (0 if follow else NOFOLLOW), dir_fd=parent)
            st = os.fstat(fd)
            if (st.st_dev, st.st_ino) in tree.walked:
                os.close(fd)  # a loop of followed links, or a second link to a directory already walked
                return
            tree.walked.add((st.st_dev, st.st_ino))
            with os.scandir(fd) as scan:
                entries = sorted(scan, key=lambda e: e.name, reverse=True)
        except OSError as exc:
            if fd >= 0:
                os.close(fd)
            self.error(path, f"cannot read the directory: {exc.strerror or exc}")
            return
        tree.directories.append(relative)
        stack.append(_Frame(fd, path, relative, (st.st_dev, st.st_ino), entries))

    def visit(self, tree: _Tree, frame: _Frame, entry: os.DirEntry[str], stack: list[_Frame]) -> None:
        """An entry, in name order: a file is taken at once, a directory walked at once (so pages come in
        the order of their paths, and no list of them is ever made)."""
        name = entry.name
        if is_temporary(name):
            return  # left by a kill: never a page, never part of the site
        path, relative = frame.path / name, frame.relative / name
        try:
            found = entry.stat(follow_symlinks=False)
        except FileNotFoundError:
            return  # gone since the directory was listed
        except OSError as exc:
            self.error(path, exc.strerror or str(exc))
            return
        follow = stat.S_ISLNK(found.st_mode)
        if follow and not self.link(tree, frame.fd, path, relative):
            return
        if not follow and not stat.S_ISDIR(found.st_mode):
            self.file(tree, _Entry(path, relative, found, False, (*frame.device, name)))
            return
        self.enter(tree, path, relative, stack, frame.fd, follow)

    def file(self, tree: _Tree, entry: _Entry) -> None:
        if entry.path.name.lower().endswith(self.suffixes):
            if stat.S_ISREG(entry.st.st_mode):
                self.take(self.found.pages, entry, tree.root)
            else:
                self.error(entry.path, f"{kind_of(entry.st.st_mode)}, not read")
        elif stat.S_ISREG(entry.st.st_mode):
            self.take(self.found.others, entry, tree.root)

    def link(self, tree: _Tree, fd: int, path: Path, relative: Path) -> bool:
        """A symbolic link met in the walk: listed, refused, or followed to a file (taken); True when it
        leads to a directory the walk follows."""
        try:
            text = os.readlink(path.name, dir_fd=fd)
            try:
                target = os.stat(path.name, dir_fd=fd)
            except OSError as exc:
                if exc.errno not in (errno.ENOENT, errno.ELOOP, errno.ENOTDIR):
                    raise
                tree.links.append(Link(path, relative, text, "dangling"))
                return False
        except OSError as exc:
            self.error(path, exc.strerror or str(exc))
            return False
        try:
            # Where the text read leads from where the directory really is: not the name again, which may be
            # another link by now.
            real: Optional[str] = os.path.realpath(os.path.join(real_path_of(fd, path.parent), text))
        except OSError:  # a link on the way was swapped while it was resolved: it leads nowhere the walk can vouch for
            real = None
        if real is not None and inside(real, tree.real_root):
            tree.links.append(Link(path, relative, text, "inside"))
        elif not self.follow_outside:
            if self.mirror:
                tree.links.append(Link(path, relative, text, "outside"))
            else:
                self.error(
                    path,
                    f"a symbolic link out of {display(tree.root)} (to {display(real or text)}), not followed; "
                    "--follow-outside follows it",
                )
        elif stat.S_ISDIR(target.st_mode):
            return True
        else:
            # A page is one page wherever it is reached from; another file is copied once per name.
            own = os.fstat(fd)
            page = path.name.lower().endswith(self.suffixes)
            place = _place_of(str(path), target) if page else (own.st_dev, own.st_ino, path.name)
            self.file(tree, _Entry(path, relative, target, True, place))
        return False
