"""Where the signing middleware keeps signed pages and Manifest Stores: bounded, never losing a named store.

Both caches hold at most `max_entries` entries and `max_bytes` bytes. Each
entry has a floor, a time before which it is never evicted: a store stays
while pages that name it may still be held by browsers and shared caches
(`set(key, value, keep)` and `hold(key, keep)` push the floor to `keep`
seconds from now). Past their floor, entries go least recently used first
(`DirectoryCache`: oldest floor first). When every entry is within its floor
and a new one does not fit, nothing is evicted: `set` raises `CacheFull`, and
the middleware passes that page unsigned (or refuses it, fail-closed).

`DirectoryCache` is shared by the processes of a site through a directory of
their user's own (mode 0700, entries 0600, whatever the umask); it counts and
evicts its own entries only, never other files that lie there. Its waits are
never blocking locks: a lock that is held is tried again after a
`time.sleep`, which gevent and eventlet turn into a switch to another
greenlet, so a greenlet that holds a lock while its signer waits never stalls
the thread that must let it finish; and no lock is held while a disk syncs.
"""

from __future__ import annotations

import collections
import contextlib
import os
import re
import stat
import struct
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO, Callable, Optional, Union

if sys.platform != "win32":
    import fcntl

from brevane_tools.errors import UsageError
from brevane_tools.files.temporaries import is_temporary
from brevane_tools.files.writing import replacement
from brevane_tools.text import display

__all__ = ["CacheFull", "DirectoryCache", "MemoryCache"]

#: A sweep of a full directory frees this share of its bounds, so that it is not swept again at once.
_SWEEP_SHARE = 0.1
#: Once too few entries are past their floor, a sweep waits until this share of the bounds can go at once.
_SWEEP_BATCH = 0.01
#: A floor is pushed this much further than asked (at most), so that a busy page rewrites it rarely.
_SLACK = 60.0
#: Temporary files of a killed writer are removed once they are this old.
_STALE = 3600.0
_KEY = re.compile(r"brevane:[A-Za-z0-9:_-]{1,200}\Z")
_ENTRY = re.compile(r"brevane-[A-Za-z0-9_-]{1,200}\Z")  # an entry's file name: its key, ":" made "-"
_USAGE = struct.Struct("<QQ")  # entries, bytes
_OPEN = os.O_RDWR | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)  # a lock file or the usage record


class CacheFull(Exception):
    """No room for a new entry: every entry is within its floor."""


def _bounds(max_entries: int, max_bytes: int) -> None:
    if max_entries <= 0 or max_bytes <= 0:
        raise ValueError("max_entries and max_bytes must be above zero")


class MemoryCache:
    """One process's cache (the default): least recently used entries past their floor go first.

    Each process of a server signs the pages it serves, and serves only the stores it signed.
    """

    def __init__(
        self, max_bytes: int = 64 * 1024 * 1024, max_entries: int = 10_000,
        *, clock: Callable[[], float] = time.time,
    ) -> None:
        _bounds(max_entries, max_bytes)
        self.max_bytes, self.max_entries, self.clock = max_bytes, max_entries, clock
        # key -> (value, floor); least recently used first.
        self._entries: collections.OrderedDict[str, tuple[bytes, float]] = collections.OrderedDict()
        self._size = 0
        self._full_until = 0.0  # nothing can be evicted before then: every entry is within its floor
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._entries)

    @property
    def size(self) -> int:
        return self._size

    def get(self, key: str) -> Optional[bytes]:
        with self._lock:
            found = self._entries.get(key)
            if found is None:
                return None
            self._entries.move_to_end(key)
            return found[0]

    def hold(self, key: str, keep: float) -> bool:
        """Whether `key` is here; if so, it stays at least `keep` seconds from now."""
        with self._lock:
            found = self._entries.get(key)
            if found is None:
                return False
            until = self.clock() + keep
            if found[1] < until:
                self._entries[key] = (found[0], until)
            self._entries.move_to_end(key)
            return True

    def room(self, size: int) -> bool:
        """Whether an entry of `size` bytes fits now, entries past their floor evicted to make it fit."""
        with self._lock:
            return self._make_room(1, size)

    def set(self, key: str, value: bytes, keep: float = 0.0) -> None:
        """Keep `value` under `key`, for at least `keep` seconds; CacheFull when it does not fit."""
        with self._lock:
            old = self._entries.pop(key, None)
            if old is not None:
                self._size -= len(old[0])
            if not self._make_room(1, len(value)):
                if old is not None:
                    self._entries[key] = old
                    self._size += len(old[0])
                raise CacheFull(key)
            self._entries[key] = (value, self.clock() + keep if keep > 0 else 0.0)
            self._size += len(value)

    def _make_room(self, count: int, size: int) -> bool:
        if size > self.max_bytes:
            return False
        if len(self._entries) + count <= self.max_entries and self._size + size <= self.max_bytes:
            return True
        now = self.clock()
        if now < self._full_until:
            return False
        earliest = float("inf")
        # Entries within their floor are passed over to the recent end: the next sweep starts past them.
        for _ in range(len(self._entries)):
            key, (value, floor) = next(iter(self._entries.items()))
            if floor > now:
                earliest = min(earliest, floor)
                self._entries.move_to_end(key)
                continue
            del self._entries[key]
            self._size -= len(value)
            if len(self._entries) + count <= self.max_entries and self._size + size <= self.max_bytes:
                return True
        self._full_until = earliest
        return False


def _wait(try_once: Callable[[], bool], patience: float) -> bool:
    """Call `try_once` until it succeeds, sleeping between tries (a greenlet switch under gevent or
    eventlet); False when `patience` seconds pass first."""
    delay, deadline = 0.001, time.monotonic() + patience
    while not try_once():
        if time.monotonic() >= deadline:
            return False
        time.sleep(delay)
        delay = min(delay * 2, 0.05)
    return True


@contextlib.contextmanager
def _locked(path: Path, patience: float) -> Iterator[bool]:
    """An exclusive lock on `path` (made 0600 where missing); yields whether it was had in time.

    Each holder opens the file anew: flock belongs to an open file, so two threads or
    greenlets of one process exclude each other as two processes do.
    """
    if sys.platform == "win32":
        yield True
        return
    fd = os.open(path, _OPEN | os.O_CREAT, 0o600)
    try:
        def try_once() -> bool:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return False
            return True

        yield _wait(try_once, patience)
    finally:
        os.close(fd)  # releases the lock


class DirectoryCache:
    """One file per entry in a directory that every process of the site shares.

    Entries are written whole (a temporary file synced, then renamed under the
    usage lock: after a crash an entry is old, new or missing, never torn). A
    file's modification time is its floor. The count and size of all entries
    (files named `brevane-...`; other files are left alone) is kept in
    `.locks/usage`, changed under its lock; a writer that finds the bounds
    reached sweeps the directory (counting it again) and evicts the entries
    past their floor, oldest first, until a tenth of the bounds is free (when
    fewer are past it, it sweeps again only once a hundredth can go at once).
    One process signs a page while the others wait for it (`signing_lock`),
    each waiting at most `lock_wait` seconds.
    """

    def __init__(
        self, path: Union[str, os.PathLike[str]], max_bytes: int = 1024 * 1024 * 1024,
        max_entries: int = 100_000, *, clock: Callable[[], float] = time.time,
        lock_wait: float = 60.0,
    ) -> None:
        _bounds(max_entries, max_bytes)
        self.max_bytes, self.max_entries, self.clock, self.lock_wait = max_bytes, max_entries, clock, lock_wait
        Path(path).mkdir(mode=0o700, parents=True, exist_ok=True)
        # A link is followed once, here: one swapped later never moves the cache elsewhere.
        self.path = Path(os.path.realpath(path))
        owner, user = os.stat(self.path).st_uid, getattr(os, "geteuid", lambda: None)()
        if user is not None and owner != user:
            # Whoever owns it can read, plant or remove entries, whatever its mode says now.
            raise UsageError(f"the cache directory {display(self.path)} belongs to user {owner}, not to this "
                             f"process's user {user}: give the cache a directory of its own")
        self._user = user
        self._locks = self.path / ".locks"
        for directory in (self.path, self._locks):
            directory.mkdir(mode=0o700, exist_ok=True)
            found = os.lstat(directory)  # .locks is judged once the directory is 0700: nobody swaps it then
            if not stat.S_ISDIR(found.st_mode) or (user is not None and found.st_uid != user):
                raise UsageError(f"{display(directory)} is not a directory of this process's user: remove it, or "
                                 "give the cache a directory of its own")
            # Private whatever the umask, and also when it was made before: entries are
            # reached through it only, so its mode covers files of any mode left in it.
            if stat.S_IMODE(found.st_mode) != 0o700:
                os.chmod(directory, 0o700)
        # Made when others could write in it, it may hold their links and files: the locks are made anew.
        with os.scandir(self._locks) as listing:
            for item in listing:
                found = item.stat(follow_symlinks=False)
                if not stat.S_ISREG(found.st_mode) or (user is not None and found.st_uid != user):
                    os.unlink(item.path)
        self._usage_file = self._locks / "usage"
        self._batch = max(1, int(max_entries * _SWEEP_BATCH))
        self._sweep_after = 0.0  # no sweep before then: too few entries are past their floor
        self._full_until = 0.0  # nothing fits before then: the record said full, and no sweep may run

    def _file(self, key: str) -> Path:
        if not _KEY.match(key):
            raise ValueError(f"not a cache key: {key!r}")
        return self.path / key.replace(":", "-")

    def get(self, key: str) -> Optional[bytes]:
        # Never a link nor a FIFO: the directory may have been open to others before it was made 0700.
        flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
        try:
            fd = os.open(self._file(key), flags)
        except OSError:
            return None
        with open(fd, "rb") as entry:
            found = os.fstat(fd)
            # Another user's file was put here while the directory was open to others: never served.
            if not stat.S_ISREG(found.st_mode) or (self._user is not None and found.st_uid != self._user):
                return None
            return entry.read(self.max_bytes + 1)

    def hold(self, key: str, keep: float) -> bool:
        """Whether `key` is here; if so, it stays at least `keep` seconds from now."""
        path = self._file(key)
        try:
            found = os.lstat(path)
        except OSError:
            return False
        until = self.clock() + keep
        if found.st_mtime >= until:
            return True  # a sweep evicts only what its floor has passed: this one stays past `until`
        with _locked(self._usage_file, self.lock_wait) as had:
            if not had:
                return False
            try:
                os.utime(path, (found.st_atime, until + min(_SLACK, keep / 4)), follow_symlinks=False)
            except FileNotFoundError:
                return False  # evicted meanwhile: the page is signed again
        return True

    def room(self, size: int) -> bool:
        """Whether an entry of `size` bytes fits now, entries past their floor evicted to make it fit."""
        if self.clock() < self._full_until:
            return False
        with _locked(self._usage_file, self.lock_wait) as had:
            if not had:
                return False
            with open(os.open(self._usage_file, _OPEN), "r+b") as usage:
                return self._fits(usage, 1, size)

    def set(self, key: str, value: bytes, keep: float = 0.0) -> None:
        """Keep `value` under `key`, for at least `keep` seconds; CacheFull when it does not fit."""
        path = self._file(key)
        # Written and synced before the lock, which is held for the count and the rename alone.
        with replacement(path, value) as put_in_place, _locked(self._usage_file, self.lock_wait) as had:
            if not had:
                raise CacheFull(key)
            with open(os.open(self._usage_file, _OPEN), "r+b") as usage:
                try:
                    old: Optional[int] = os.lstat(path).st_size
                except FileNotFoundError:
                    old = None
                count, size = (0, len(value) - old) if old is not None else (1, len(value))
                if not self._fits(usage, count, size):
                    raise CacheFull(key)
                # Counted before it is written: a crash leaves the count high (swept sooner), never low.
                entries, total = self._read(usage)
                self._write(usage, entries + count, total + size)
                try:
                    put_in_place()
                    now = self.clock()
                    floor = now + keep if keep > 0 else now
                    os.utime(path, (now, floor), follow_symlinks=False)
                except BaseException:
                    entries, total = self._read(usage)
                    self._write(usage, max(entries - count, 0), max(total - size, 0))
                    raise

    @contextlib.contextmanager
    def signing_lock(self, name: str) -> Iterator[None]:
        """While one process signs page `name`, the others wait (at most `lock_wait` seconds, then sign too)."""
        # 256 lock files, never removed: a removed one could be locked by two processes at once.
        with _locked(self._locks / name[:2], self.lock_wait):
            yield

    # -- the usage record and the sweep ----------------------------------------------------

    @staticmethod
    def _read(usage: BinaryIO) -> tuple[int, int]:
        """The record's count and size; (-1, -1) when it is missing or torn (a sweep counts again)."""
        usage.seek(0)
        data = usage.read(_USAGE.size)
        return _USAGE.unpack(data) if len(data) == _USAGE.size else (-1, -1)

    @staticmethod
    def _write(usage: BinaryIO, entries: int, total: int) -> None:
        usage.seek(0)
        usage.write(_USAGE.pack(entries, total))
        usage.flush()

    def _fits(self, usage: BinaryIO, count: int, size: int) -> bool:
        """Whether `count` more entries of `size` more bytes fit, sweeping when the record says they do
        not and a sweep may free a batch (see `_sweep`)."""
        if size > self.max_bytes:
            return False  # never fits: evicting everything else for it would only cost their signatures
        entries, total = self._read(usage)
        fits = 0 <= entries and entries + count <= self.max_entries and total + size <= self.max_bytes
        if not fits and (entries < 0 or self.clock() >= self._sweep_after):
            entries, total = self._sweep(count, size)
            self._write(usage, entries, total)
            fits = entries + count <= self.max_entries and total + size <= self.max_bytes
        self._full_until = 0.0 if fits else self._sweep_after
        return fits

    def _sweep(self, count: int, size: int) -> tuple[int, int]:
        """Count the directory again and evict entries past their floor, oldest floor first."""
        now = self.clock()
        stale = time.time() - _STALE  # temporaries bear the file system's time, not the cache's clock
        found: list[tuple[float, str, int]] = []
        entries = total = 0
        with os.scandir(self.path) as listing:
            for item in listing:
                try:
                    st = item.stat(follow_symlinks=False)
                except FileNotFoundError:
                    continue
                if item.name.startswith("."):
                    if is_temporary(item.name) and st.st_mtime < stale:
                        with contextlib.suppress(OSError):
                            os.unlink(item.path)  # left by a writer that was killed
                    continue
                if stat.S_ISREG(st.st_mode) and _ENTRY.match(item.name):
                    entries, total = entries + 1, total + st.st_size
                    found.append((st.st_mtime, item.path, st.st_size))
        aim_entries = min(self.max_entries - count, int(self.max_entries * (1 - _SWEEP_SHARE)))
        aim_bytes = min(self.max_bytes - size, int(self.max_bytes * (1 - _SWEEP_SHARE)))
        found.sort()
        self._sweep_after = 0.0
        for index, (floor, path, length) in enumerate(found):
            if entries <= aim_entries and total <= aim_bytes:
                break
            if floor > now:
                # Not before a batch can go: sweeping as each floor passes would count the whole
                # directory for each entry a flood brings, at more cost than its signature.
                self._sweep_after = found[min(index + self._batch, len(found)) - 1][0]
                break
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
            entries, total = entries - 1, total - length
        return entries, total

