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

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from brevane_tools.files.finding import InputFile, Link
from brevane_tools.files.writing import BatchWriter
from brevane_tools.results import Report
from brevane_tools.text import display

__all__ = ["MIRROR_DIRECTORIES", "Mirrored", "mirror"]


@dataclass
class Mirrored:
    """What became of the files that are not pages, and of the symbolic links, in a mirror."""

    linked: int = 0
    copied: int = 0
    unchanged: int = 0
    #: Symbolic links made again as links (or found there already), and how many of them
    #: lead to nothing, or out of the tree (not followed without --follow-outside).
    symlinks: int = 0
    dangling: int = 0
    outside: int = 0
    #: Files, links and directories that could not be made (each has its report).
    failed: int = 0
    #: Temporary files that killed runs left in the trees this run writes, removed (not in `as_dict`:
    #: not a file of the site).
    leftovers: int = 0

    def as_dict(self) -> dict[str, int]:
        return {
            "linked": self.linked, "copied": self.copied, "unchanged": self.unchanged, "symlinks": self.symlinks,
            "dangling": self.dangling, "outside": self.outside, "failed": self.failed,
        }


#: A mirror puts its files in place in rounds: one round at the latest once this many directories are open.
MIRROR_DIRECTORIES = 256


@dataclass(frozen=True)
class _Entry:
    """A file, link or directory of a mirror, as it is reported."""

    name: str  # the source, as shown
    target: Path
    what: str  # "file", "symbolic link" or "directory"
    link: Optional[Link] = None


def mirror(
    writer: BatchWriter, others: Sequence[tuple[InputFile, Path]], links: Sequence[tuple[Link, Path]],
    directories: Sequence[Path], tree: str, mirrored: Mirrored, emit: Callable[[Report], None],
) -> None:
    """Make the rest of the site in the output: every directory (empty ones too), the other files,
    and each symbolic link as a link holding the same text; a link that leads nowhere or out of
    the tree is kept, with a warning."""
    staged: list[tuple[_Entry, str]] = []

    def fail(entry: _Entry, exc: OSError, placing: bool = False) -> None:
        why = exc.strerror or str(exc)
        if placing or exc.filename is not None:  # else the message says what it is about
            why = f"{'cannot copy to' if entry.what == 'file' else 'cannot write'} {display(entry.target)}: {why}"
        mirrored.failed += 1
        emit(Report(entry.name, False, error=why, input_error=True, data={"mirrored": entry.what}))

    def made(entry: _Entry, how: str) -> None:
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
        emit(Report(entry.name, True, text=warning, data={
            "mirrored": entry.what, "symlink": link.target, "warning": warning,
        }))

    def commit() -> None:
        failures = writer.commit()
        for entry, how in staged:
            failure = failures.get(entry.target)
            if failure is None:
                made(entry, how)
            else:
                fail(entry, failure, placing=True)
        staged.clear()

    def staged_as(entry: _Entry, how: str) -> None:
        """Count an entry the output holds already ("unchanged"), or keep it until its round is in place."""
        if how == "unchanged":
            made(entry, how)
        else:
            staged.append((entry, how))
        if writer.open_directories >= MIRROR_DIRECTORIES:
            commit()

    for directory in directories:
        try:
            writer.make_directory(directory, tree)
        except OSError as exc:
            fail(_Entry(display(directory), directory, "directory"), exc)
    for source, target in others:
        entry = _Entry(display(source.path), target, "file")
        try:
            how = writer.stage_copy(target, source.path, target, tree, identity=source.identity, follow=source.via_link)
        except OSError as exc:
            fail(entry, exc)
            continue
        staged_as(entry, how)
    for link, target in links:
        entry = _Entry(display(link.path), target, "symbolic link", link)
        try:
            how = "made" if writer.stage_link(target, link.target, target, tree) else "unchanged"
        except OSError as exc:
            fail(entry, exc)
            continue
        staged_as(entry, how)
    commit()
