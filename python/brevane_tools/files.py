"""Finding pages on disk and writing edited pages without ever losing one.

An edit is written to a temporary file in the target's own directory, flushed
and synced, given the mode of the file it replaces, and only then renamed over
the target: a crash or a full disk at any moment leaves either the old page or
the new one, never a torn mix, and never a missing file.
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

__all__ = ["InputFile", "atomic_write", "find_pages", "HTML_SUFFIXES"]

HTML_SUFFIXES = (".html", ".htm")


@dataclass(frozen=True)
class InputFile:
    """A page to work on, and its path relative to the argument that named it."""

    path: Path
    relative: Path


def find_pages(arguments: Iterable[str]) -> Iterator[InputFile]:
    """Yield the pages that the arguments name, in a stable order.

    A file is taken whatever its name; a directory is walked for `*.html` and
    `*.htm` (any case), sorted, without following symbolic links to
    directories. A missing path raises FileNotFoundError.
    """
    for argument in arguments:
        root = Path(argument)
        if root.is_dir():
            found: list[Path] = []
            for directory, subdirs, names in os.walk(root):
                subdirs.sort()
                found.extend(
                    Path(directory, name)
                    for name in names
                    if name.lower().endswith(HTML_SUFFIXES)
                )
            for path in sorted(found):
                yield InputFile(path, path.relative_to(root))
        elif root.exists():
            yield InputFile(root, Path(root.name))
        else:
            raise FileNotFoundError(f"{argument}: no such file or directory")


def atomic_write(target: Path, data: bytes, mode_from: Optional[Path] = None) -> None:
    """Replace (or create) `target` with `data` in one rename.

    The new file takes the mode of the file it replaces, else of `mode_from`,
    else the default for new files. A symbolic link is followed, so the link
    keeps pointing at the updated page instead of being replaced by a copy.
    """
    target = Path(os.path.realpath(target))
    mode: Optional[int] = None
    for source in (target, mode_from):
        if source is not None:
            try:
                mode = stat.S_IMODE(os.stat(source).st_mode)
                break
            except FileNotFoundError:
                continue
    if mode is None:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask

    fd, temp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as temp:
            temp.write(data)
            temp.flush()
            os.fsync(temp.fileno())
        os.chmod(temp_name, mode)
        os.replace(temp_name, target)
    except BaseException:
        try:
            os.unlink(temp_name)
        except FileNotFoundError:
            pass
        raise
    _sync_directory(target.parent)


def _sync_directory(directory: Path) -> None:
    # Makes the rename itself durable; some file systems cannot open a
    # directory for this, and the data is already safe on them.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
