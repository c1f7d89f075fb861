"""The temporary files that runs of this tool killed mid-write left in a tree, removed by the next run
that writes the tree.

What counts as one of them, and nothing else:
- its name is the tool's own pattern (`.NAME.XXXXXXXX.tmp`, eight lowercase hex digits, and
  `.NAME.XXXXXXXX.tmp.old` for the old file kept while a page and its store are renamed together);
- it is a regular file or a symbolic link (the tool's temporaries are one or the other), never a
  directory or anything special, and it belongs to this user;
- it lies in the tree, which is walked through directory descriptors, never through a link.

Runs that write the same tree at once: each run holds a shared lock (flock(2)) on the top of every
tree it writes, for as long as it runs. A run that gets the lock alone removes every leftover, however
new; a run that finds another run writing removes only leftovers untouched for an hour
(`UNTOUCHED`), since the other run's own temporary files live for seconds (a round of pages) and are
never that old. Runs on trees nested in one another take different locks: there too, the hour keeps
the other run's files safe as long as its round of writes takes less than an hour.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import stat
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Optional

from brevane_tools.files.directories import walk_below
from brevane_tools.files.finding import DIRECTORY, NOFOLLOW
from brevane_tools.files.temporaries import is_temporary
from brevane_tools.files.objects import is_object_url

__all__ = ["UNTOUCHED", "trees_written", "writing_trees"]

#: A leftover older than this is removed even while another run writes the tree.
UNTOUCHED = 3600.0


class Trees:
    """The trees a run writes, held for it; `removed` counts the leftovers it removed."""

    def __init__(self) -> None:
        self.removed = 0
        self._held: list[int] = []

    def hold(self, tree: str) -> None:
        """Hold a directory for writing, and remove the leftovers in it (see the module's text)."""
        try:
            fd = os.open(tree, DIRECTORY | NOFOLLOW)
        except OSError:
            return  # not there yet (made by the run), or not a directory: the writes say what is wrong
        self._held.append(fd)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            alone = True
        except OSError:
            alone = False
        try:
            self.removed += _remove(fd, None if alone else time.time() - UNTOUCHED)
        finally:
            # Another run that cleans meanwhile finds no file of ours: none is written yet.
            fcntl.flock(fd, fcntl.LOCK_SH)

    def hold_file(self, page: Path) -> None:
        """The leftovers of a single page written in place: only those named for it, beside it."""
        try:
            fd = os.open(page.parent, DIRECTORY)
        except OSError:
            return
        try:
            with os.scandir(fd) as scan:
                names = [e.name for e in scan if e.name.startswith(f".{page.name}.") and is_temporary(e.name)]
            self.removed += sum(_remove_one(fd, name, time.time() - UNTOUCHED) for name in names)
        finally:
            os.close(fd)

    def release(self) -> None:
        for fd in self._held:
            os.close(fd)  # the lock goes with it
        self._held.clear()


@contextlib.contextmanager
def writing_trees(trees: Sequence[str], files: Sequence[Path] = ()) -> Iterator[Trees]:
    """Hold the trees (and single pages) a run writes for as long as it runs, their leftovers removed first."""
    held = Trees()
    try:
        for tree in dict.fromkeys(trees):
            held.hold(tree)
        for page in files:
            held.hold_file(page)
        yield held
    finally:
        held.release()


def trees_written(paths: Sequence[str], output: Optional[str], in_place: bool) -> tuple[list[str], list[Path]]:
    """The local trees (and single pages) a run that writes writes: its arguments in place, or its output directory."""
    if in_place:
        local = [p for p in paths if not is_object_url(p) and not p.lower().startswith(("http://", "https://"))]
        return [os.path.realpath(p) for p in local if os.path.isdir(p)], [Path(p) for p in local if os.path.isfile(p)]
    if output not in (None, "-") and not is_object_url(output) and os.path.isdir(output):
        return [os.path.realpath(output)], []
    return [], []


def _remove(top: int, before: Optional[float]) -> int:
    """Remove the leftovers below the open directory `top` (untouched since `before`, if given), depth
    first, one open directory per level."""
    removed = 0
    for fd, _, entries, below in walk_below(top):
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                below.append(entry.name)
            elif is_temporary(entry.name):
                removed += _remove_one(fd, entry.name, before)
    return removed


def _remove_one(directory: int, name: str, before: Optional[float]) -> int:
    try:
        st = os.stat(name, dir_fd=directory, follow_symlinks=False)
        if not (stat.S_ISREG(st.st_mode) or stat.S_ISLNK(st.st_mode)) or st.st_uid != os.geteuid():
            return 0
        if before is not None and st.st_mtime > before:
            return 0
        os.unlink(name, dir_fd=directory)
    except OSError:
        return 0
    return 1
