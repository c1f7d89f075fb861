"""`-o DIR` makes the whole site again: what becomes of everything in it that is not a page.

Every directory is made (empty ones too); every other file is hard-linked, or
copied across file systems, from the very file the walk found; every symbolic
link is made again as a link holding the same text, wherever it leads. A link
that leads nowhere, or out of the tree (not followed without
`--follow-outside`), is kept with a warning: a report that is no failure.
Everything is written as pages are (`writing.BatchWriter`): never through a
link, never out of the output tree. Each report the mirror makes says what it
was about in `data["mirrored"]`: "file", "symbolic link" or "directory".
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NamedTuple, Optional

from brevane_tools.files.directories import open_directory, walk_below
from brevane_tools.files.finding import DIRECTORY, NOFOLLOW, InputFile, Link
from brevane_tools.files.temporaries import is_temporary
from brevane_tools.files.writing import BatchWriter
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.results import Report
from brevane_tools.text import display

__all__ = ["MIRROR_DIRECTORIES", "Mirrored", "in_local_source", "mirror", "prune"]

#: A mirror puts its files in place in rounds: one round at the latest once this many directories are open.
MIRROR_DIRECTORIES = 256


class Mirrored:
    """What became of the files that are not pages, and of the symbolic links, in a mirror."""

    def __init__(self) -> None:
        self.linked = self.copied = self.unchanged = 0
        #: Symbolic links made again as links (or found there already), and how many of them
        #: lead to nothing, or out of the tree (not followed without --follow-outside).
        self.symlinks = self.dangling = self.outside = 0
        #: Files, links and directories that could not be made (each has its report).
        self.failed = 0
        #: Temporary files that killed runs left in the trees this run writes, removed (not in `as_dict`:
        #: not a file of the site).
        self.leftovers = 0
        #: Entries of the output no longer in the source, removed by --delete (a directory counts once),
        #: and whether the run was asked to (the count is shown then only).
        self.deleted = 0
        self.delete = False

    def as_dict(self) -> dict[str, int]:
        return {
            "linked": self.linked, "copied": self.copied, "unchanged": self.unchanged, "symlinks": self.symlinks,
            "dangling": self.dangling, "outside": self.outside, "failed": self.failed,
            **({"deleted": self.deleted} if self.delete else {}),
        }


class _Entry(NamedTuple):
    """A file, link or directory of a mirror, as it is reported."""

    name: str  # the source, as shown
    target: Path
    what: str  # "file", "symbolic link" or "directory"
    link: Optional[Link] = None


def _failed(entry: _Entry, exc: OSError, mirrored: Mirrored, emit: Callable[[Report], None],
            placing: bool = False) -> None:
    why = exc.strerror or str(exc)
    if placing or exc.filename is not None:  # else the message says what it is about
        why = f"{'cannot copy to' if entry.what == 'file' else 'cannot write'} {display(entry.target)}: {why}"
    mirrored.failed += 1
    emit(Report(entry.name, False, error=why, input_error=True, data={"mirrored": entry.what}))


def _made(entry: _Entry, how: str, mirrored: Mirrored, emit: Callable[[Report], None]) -> None:
    link = entry.link
    if link is None:
        setattr(mirrored, how, getattr(mirrored, how) + 1)
        return
    mirrored.symlinks += 1
    if link.leads == "dangling":
        mirrored.dangling += 1
        warning = f"a dangling symbolic link (to {display(link.target)}), kept as a link"
    elif link.leads == "outside":
        mirrored.outside += 1
        warning = (
            f"a symbolic link out of the tree (to {display(link.target)}), kept as a link; "
            "--follow-outside copies what it leads to"
        )
    else:
        return
    emit(Report(entry.name, True, text=warning, data={"mirrored": entry.what, "symlink": link.target, "warning": warning}))


def mirror(
    others: Sequence[tuple[InputFile, Path]], links: Sequence[tuple[Link, Path]], directories: Sequence[Path],
    tree: str, mirrored: Mirrored, emit: Callable[[Report], None],
) -> None:
    """Make the rest of the site in the output: every directory (empty ones too), the other files,
    and each symbolic link as a link holding the same text; a link that leads nowhere or out of
    the tree is kept, with a warning. What the output holds already is counted at once; the rest
    is put in place a round at a time."""
    staged: list[tuple[_Entry, str]] = []
    writer = BatchWriter()

    def commit() -> None:
        failures = writer.commit()
        for entry, how in staged:
            failure = failures.get(entry.target)
            if failure is None:
                _made(entry, how, mirrored, emit)
            else:
                _failed(entry, failure, mirrored, emit, placing=True)
        staged.clear()

    with writer:
        for directory in directories:
            try:
                os.close(open_directory(directory, tree, directory))  # made as a staged file's directory is
            except OSError as exc:
                _failed(_Entry(display(directory), directory, "directory"), exc, mirrored, emit)
        files = ((_Entry(display(source.path), target, "file"), source) for source, target in others)
        symlinks = ((_Entry(display(link.path), target, "symbolic link", link), None) for link, target in links)
        for entry, source in itertools.chain(files, symlinks):
            try:
                if source is not None:
                    how = writer.stage_copy(entry.target, source.path, entry.target, tree, identity=source.identity,
                                            follow=source.via_link)
                else:
                    assert entry.link is not None
                    made = writer.stage_link(entry.target, entry.link.target, entry.target, tree)
                    how = "made" if made else "unchanged"
            except OSError as exc:
                _failed(entry, exc, mirrored, emit)
                continue
            if how == "unchanged":
                _made(entry, how, mirrored, emit)
            else:
                staged.append((entry, how))
            if writer.open_directories >= MIRROR_DIRECTORIES:
                commit()
        commit()


def in_local_source(sources: Sequence[str]) -> Callable[[str], bool]:
    """Whether a path below the output is in one of the local `sources` (directories, or files by name).
    What cannot be told (an unreadable directory on the way) counts as there: it is kept."""

    def there(relative: str) -> bool:
        for source in sources:
            if not os.path.isdir(source):
                if relative == os.path.basename(source):
                    return True
                continue
            try:
                os.lstat(os.path.join(source, relative))
            except (FileNotFoundError, NotADirectoryError):
                continue
            except OSError:
                return True
            return True
        return False

    return there


def prune(
    tree: str, shown_as: Path, in_source: Callable[[str], bool], spared: Sequence[str], mirrored: Mirrored,
    emit: Callable[[Report], None],
) -> None:
    """`--delete`: remove from the output tree (resolved; named `shown_as` in reports) every entry whose
    path below it is no longer in the source (`in_source` says; a store beside a page stays with its
    page), as rsync's --delete.

    The tree is walked through directory descriptors, never through a link: a link is removed as the
    link it is, and nothing outside the tree is touched. `spared` (paths below the tree) are never
    entered, such as a store directory of the run; the tool's temporary files are left to
    `files.leftovers`."""
    top = os.open(tree, DIRECTORY | NOFOLLOW)
    try:
        for fd, here, entries, below in walk_below(top):
            for entry in entries:
                relative = f"{here}{entry.name}"
                if is_temporary(entry.name) or relative in spared:
                    continue
                is_dir = entry.is_dir(follow_symlinks=False)
                if in_source(relative) or (entry.name.endswith(STORE_SUFFIX) and not is_dir and
                                           in_source(relative[: -len(STORE_SUFFIX)])):
                    if is_dir:
                        below.append(entry.name)
                    continue
                shown = display(shown_as / relative)
                try:
                    _delete(fd, entry.name, is_dir)
                except OSError as exc:
                    mirrored.failed += 1
                    emit(Report(shown, False, error=f"cannot delete it: {exc.strerror or exc}", input_error=True,
                                data={"mirrored": "deleted"}))
                    continue
                mirrored.deleted += 1
                text = "deleted, with everything in it: no longer in the source" if is_dir else \
                    "deleted: no longer in the source"
                emit(Report(shown, True, text=text, data={"mirrored": "deleted"}))
    finally:
        os.close(top)


def _delete(parent: int, name: str, is_dir: bool) -> None:
    """Remove an entry of the open directory `parent`: a directory with everything in it, never through a link."""
    if not is_dir:
        os.unlink(name, dir_fd=parent)
        return
    fd = os.open(name, DIRECTORY | NOFOLLOW, dir_fd=parent)
    try:
        with os.scandir(fd) as scan:
            entries = [(e.name, e.is_dir(follow_symlinks=False)) for e in scan]
        for child, child_is_dir in entries:
            _delete(fd, child, child_is_dir)
    finally:
        os.close(fd)
    os.rmdir(name, dir_fd=parent)
