"""Making writes durable with as few calls as there can be: syncfs(2), one call per file system, where the
C library has it; else one fsync per file. `writing.BatchWriter` syncs a round of files, then the
directories its renames changed.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Sequence
from typing import Any, Optional

__all__ = ["sync_directories", "sync_files", "syncfs"]

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)

_syncfs: Optional[Any] = None  # the C library's syncfs, looked up when first needed
_looked_up = False


def syncfs(fd: int) -> bool:
    """syncfs(2) where the C library has it: one call makes a whole file system durable."""
    global _syncfs, _looked_up
    # Loaded by a run's first commit: every start of the tool that writes nothing spares its milliseconds.
    import ctypes

    if not _looked_up:
        # The process's own symbols, the C library's among them.
        _syncfs, _looked_up = getattr(ctypes.CDLL(None, use_errno=True), "syncfs", None), True
    if _syncfs is None:
        return False
    if _syncfs(fd) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))
    return True


def _sync_file_systems(directories: Sequence[int]) -> bool:
    """One syncfs per file system the open `directories` lie on; False (nothing done) without syncfs."""
    done: set[int] = set()
    for fd in dict.fromkeys(directories):
        device = os.fstat(fd).st_dev
        if device not in done:
            if not syncfs(fd):
                return False
            done.add(device)
    return True


def sync_files(files: Sequence[tuple[int, str, bool]]) -> None:
    """Make files durable (each: its open directory, its name there, whether it is a symbolic link):
    one syncfs per file system, through the directories they lie in; else one fsync per file."""
    if _sync_file_systems([directory for directory, _, _ in files]):
        return
    for directory, name, link in files:
        # A symbolic link cannot be opened: its directory stands for it.
        fd = directory if link else os.open(name, os.O_RDONLY | _CLOEXEC, dir_fd=directory)
        try:
            os.fsync(fd)
        finally:
            if fd != directory:
                os.close(fd)


def sync_directories(directories: Sequence[int]) -> None:
    """Make the renames in the open `directories` durable, as `sync_files` does files. Some file systems
    cannot sync a directory, and the data is already safe on them."""
    with contextlib.suppress(OSError):
        if _sync_file_systems(directories):
            return
    for fd in dict.fromkeys(directories):
        with contextlib.suppress(OSError):
            os.fsync(fd)
