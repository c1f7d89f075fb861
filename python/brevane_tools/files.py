"""Finding pages on disk, reading them safely, and writing edits without ever losing one.

What the tool follows, refuses and keeps (the README's Reliability section says
the same for users):

- Symbolic links met while walking a directory are followed when they lead to
  a place inside that directory's tree, and refused (an input error) when they
  lead out of it, unless the caller allows it (`--follow-outside`). A link named
  on the command line is followed. A directory reached twice (a link loop, a
  second link to it) is walked once; a file reached twice is one page.
- Only regular files are opened: a FIFO, device or socket is refused, never
  read (a FIFO would block forever) and never replaced.
- A destination is never resolved through a link: a destination that is a
  symbolic link, or not a regular file, is refused, as is one whose directory
  leads out of the output tree.
- A replaced file keeps its owner and group (root can always do that; anyone
  else is refused when they cannot) and its permission bits, without setuid,
  setgid or sticky bits. A file with other hard links is refused rather than
  split from them. A file whose new content equals its old is not rewritten.
- Edits go to a temporary file in the target's directory; a batch of them is
  made durable with one sync per file system, then each is renamed over its
  target, then the renames are synced: after a crash each page is old or new,
  never torn, never missing. A page and the files written with it (a store
  beside it) are renamed together: if one rename fails, the others are undone.
- Temporary files are removed on failure and on SIGTERM, SIGINT or SIGHUP.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import signal
import stat
import threading
import secrets
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType
from typing import Any, Optional, Union

__all__ = [
    "DEFAULT_MAX_PAGE_SIZE",
    "HTML_SUFFIXES",
    "BatchWriter",
    "Found",
    "InputError",
    "InputFile",
    "WriteRefused",
    "atomic_write",
    "display",
    "find_pages",
    "inside",
    "read_page",
]

HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")

#: Pages larger than this fail (that page only); `--max-page-size` changes it.
DEFAULT_MAX_PAGE_SIZE = 256 * 1024 * 1024


def display(name: Union[str, Path]) -> str:
    """A file name as text: bytes that are not UTF-8 are shown as `\\xe9` escapes."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


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


def _kind(mode: int) -> str:
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

    def take(into: list[InputFile], path: Path, relative: Path, st: os.stat_result, root: Optional[Path]) -> None:
        if (st.st_dev, st.st_ino) not in seen:  # the same file twice, or two spellings of one
            seen.add((st.st_dev, st.st_ino))
            into.append(InputFile(path, relative, root))

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
            take(found.pages, root, Path(root.name), st, None)
        else:
            found.errors.append(InputError(display(argument), f"{_kind(st.st_mode)}, not read"))
    return found


#: How _walk hands a file to find_pages: into which list, path, relative path, its stat, its root.
_Take = Callable[[list[InputFile], Path, Path, os.stat_result, Optional[Path]], None]


def _walk(root: Path, suffixes: tuple[str, ...], follow_outside: bool, found: Found, take: _Take) -> None:
    real_root = os.path.realpath(root)
    walked: set[tuple[int, int]] = set()
    pending = [(root, Path())]
    pages: list[tuple[Path, Path, os.stat_result]] = []
    others: list[tuple[Path, Path, os.stat_result]] = []
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
                    pages.append((path, relative / entry.name, st))
                else:
                    found.errors.append(InputError(display(path), f"{_kind(st.st_mode)}, not read"))
            elif stat.S_ISREG(st.st_mode):
                others.append((path, relative / entry.name, st))
    for into, items in ((found.pages, pages), (found.others, others)):
        for path, rel, st in sorted(items, key=lambda item: item[1]):
            take(into, path, rel, st, root)


class PageTooLarge(ValueError):
    pass


def read_page(path: Path, limit: int = DEFAULT_MAX_PAGE_SIZE) -> bytes:
    """A page's bytes; only a regular file is read, and at most `limit` bytes of it.

    Opened without blocking, so a FIFO put in a page's place after the walk
    cannot hang the batch. OSError for a file that cannot be read, PageTooLarge
    (a ValueError: that page fails) for one over the limit.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(errno.EINVAL, f"{_kind(st.st_mode)}, not read")
        if st.st_size > limit:
            raise PageTooLarge(f"the page is {st.st_size:,} bytes, over the limit of {limit:,} (--max-page-size)")
        chunks = []
        size = 0
        while chunk := os.read(fd, 1 << 20):
            chunks.append(chunk)
            size += len(chunk)
            if size > limit:  # it grew while being read
                raise PageTooLarge(f"the page is over the limit of {limit:,} bytes (--max-page-size)")
        return b"".join(chunks)
    finally:
        os.close(fd)


class WriteRefused(OSError):
    """A destination the tool will not replace (a link, a device, a hard-linked file, an owner it cannot keep)."""


# Temporary files that exist right now, so that a signal handler can remove them.
_TEMPORARIES: set[str] = set()
_HANDLED = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def _remove_temporaries() -> None:
    for name in list(_TEMPORARIES):
        try:
            os.unlink(name)
        except OSError:
            pass
    _TEMPORARIES.clear()


@contextlib.contextmanager
def temporaries_removed_on_signals() -> Iterator[None]:
    """While the block runs, SIGTERM, SIGINT and SIGHUP first remove the temporary
    files, then do what they did before (a handler of the host application is
    called; the default ends the process). An ignored signal stays ignored; off
    the main thread, where handlers cannot be set, nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous: dict[int, Any] = {}

    def handler(signum: int, frame: Optional[FrameType]) -> None:
        _remove_temporaries()
        before = previous.get(signum, signal.SIG_DFL)
        if callable(before):
            before(signum, frame)
            return
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)

    for signum in _HANDLED:
        before = signal.getsignal(signum)
        if before is not signal.SIG_IGN:
            previous[signum] = before
            signal.signal(signum, handler)
    try:
        yield
    finally:
        for number, was in previous.items():
            signal.signal(number, was if was is not None else signal.SIG_DFL)


def _create_temporary(target: Path) -> tuple[int, str]:
    """A new file beside `target`, named in `_TEMPORARIES` before it exists, so that a
    signal at any moment finds every temporary file there is."""
    for _ in range(100):
        temp = str(target.parent / f".{target.name}.{secrets.token_hex(4)}.tmp")
        _TEMPORARIES.add(temp)
        try:
            return os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600), temp
        except FileExistsError:
            _TEMPORARIES.discard(temp)
        except BaseException:
            _TEMPORARIES.discard(temp)
            raise
    raise FileExistsError(errno.EEXIST, f"no free temporary name beside {display(target)}")


def _default_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@dataclass
class _Staged:
    target: Path
    temp: str


@dataclass
class _Group:
    key: object
    staged: list[_Staged]


class BatchWriter:
    """Writes groups of files (a page and its store) durably, a batch at a time.

    `stage` writes each file of a group to a temporary file beside its target
    (checked, owner and mode set, not yet synced); `commit` syncs all of them
    with one call per file system, renames each group over its targets, and
    syncs the renames. `in_tree` (resolved) is where a destination's directory
    must lie.
    """

    def __init__(self) -> None:
        self.groups: list[_Group] = []
        self.size = 0

    def stage(
        self,
        key: object,
        files: Sequence[tuple[Path, bytes]],
        mode_from: Optional[Path] = None,
        in_tree: Optional[str] = None,
        in_place: bool = False,
    ) -> bool:
        """Stage a group; False when every target already holds its new bytes (nothing to write)."""
        staged: list[_Staged] = []
        try:
            for target, data in files:
                temp = self._stage_one(target, data, mode_from, in_tree, in_place)
                if temp is not None:
                    staged.append(_Staged(target, temp))
        except BaseException:
            self._discard(staged)
            raise
        if staged:
            self.groups.append(_Group(key, staged))
            self.size += sum(len(d) for _, d in files)
        return bool(staged)

    def _stage_one(
        self, target: Path, data: bytes, mode_from: Optional[Path], in_tree: Optional[str], in_place: bool
    ) -> Optional[str]:
        target.parent.mkdir(parents=True, exist_ok=True)
        if in_tree is not None:
            parent = os.path.realpath(target.parent)
            if not inside(parent, in_tree):
                raise WriteRefused(errno.EXDEV, f"{display(target)}: its directory leads out of the output tree")
        try:
            st: Optional[os.stat_result] = os.lstat(target)
        except FileNotFoundError:
            st = None
        if st is not None:
            if stat.S_ISLNK(st.st_mode):
                raise WriteRefused(errno.ELOOP, f"{display(target)} is a symbolic link, not written through")
            if not stat.S_ISREG(st.st_mode):
                raise WriteRefused(errno.EINVAL, f"{display(target)} is {_kind(st.st_mode)}, not replaced")
            if st.st_nlink > 1 and in_place:
                raise WriteRefused(
                    errno.EMLINK,
                    f"{display(target)} has {st.st_nlink} hard links; replacing it would split them, "
                    "so it is left alone",
                )
            if st.st_size == len(data) and _same_bytes(target, data):
                return None
            mode = stat.S_IMODE(st.st_mode)
        else:
            try:
                mode = stat.S_IMODE(os.stat(mode_from).st_mode) if mode_from is not None else _default_mode()
            except OSError:
                mode = _default_mode()
        mode &= 0o777  # never setuid, setgid or sticky

        fd, temp = _create_temporary(target)
        try:
            if st is not None and (st.st_uid != os.geteuid() or st.st_gid != os.fstat(fd).st_gid):
                try:
                    os.fchown(fd, st.st_uid, st.st_gid)
                except PermissionError:
                    raise WriteRefused(
                        errno.EPERM,
                        f"{display(target)} belongs to {st.st_uid}:{st.st_gid}; the new file could not keep that "
                        "owner and group, so it is left alone",
                    ) from None
            os.fchmod(fd, mode)  # after fchown, which may clear bits
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        except BaseException:
            os.close(fd)
            self._discard([_Staged(target, temp)])
            raise
        os.close(fd)
        return temp

    def stage_copy(self, key: object, source: Path, target: Path, in_tree: str) -> str:
        """Stage a copy of a file that is not a page: "linked" (a hard link, on the same
        file system), "copied", or "unchanged" (the target already holds it)."""
        target.parent.mkdir(parents=True, exist_ok=True)
        if not inside(os.path.realpath(target.parent), in_tree):
            raise WriteRefused(errno.EXDEV, f"{display(target)}: its directory leads out of the output tree")
        src = os.stat(source)
        try:
            st: Optional[os.stat_result] = os.lstat(target)
        except FileNotFoundError:
            st = None
        if st is not None:
            if not stat.S_ISREG(st.st_mode):
                raise WriteRefused(errno.EINVAL, f"{display(target)} is {_kind(st.st_mode)}, not replaced")
            if (st.st_dev, st.st_ino) == (src.st_dev, src.st_ino):
                return "unchanged"
        fd, temp = _create_temporary(target)
        item = _Staged(target, temp)
        try:
            how = "copied"
            if os.fstat(fd).st_dev == src.st_dev:
                os.close(fd)
                fd = -1
                os.unlink(temp)
                try:
                    os.link(source, temp)
                    how = "linked"
                except OSError:
                    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            if how == "copied":
                with open(source, "rb") as data:
                    while chunk := data.read(1 << 20):
                        view = memoryview(chunk)
                        while view:
                            view = view[os.write(fd, view):]
                os.fchmod(fd, stat.S_IMODE(src.st_mode) & 0o777)
        except BaseException:
            if fd >= 0:
                os.close(fd)
            self._discard([item])
            raise
        if fd >= 0:
            os.close(fd)
        if how == "copied" and st is not None and st.st_size == src.st_size and _same_file_bytes(temp, target):
            self._discard([item])
            return "unchanged"
        self.groups.append(_Group(key, [item]))
        return how

    def _discard(self, staged: Sequence[_Staged]) -> None:
        for item in staged:
            try:
                os.unlink(item.temp)
            except FileNotFoundError:
                pass
            _TEMPORARIES.discard(item.temp)

    def discard(self) -> None:
        for group in self.groups:
            self._discard(group.staged)
        self.groups, self.size = [], 0

    def commit(self) -> dict[object, OSError]:
        """Make the staged groups durable and put them in place; the groups that failed, by key."""
        failures: dict[object, OSError] = {}
        groups, self.groups, self.size = self.groups, [], 0
        if not groups:
            return failures
        try:
            _sync([item.temp for group in groups for item in group.staged])
        except OSError as exc:
            for group in groups:
                self._discard(group.staged)
                failures[group.key] = exc
            return failures
        directories: list[Path] = []
        for group in groups:
            try:
                _rename_group(group.staged)
                directories.extend(item.target.parent for item in group.staged)
            except OSError as exc:
                failures[group.key] = exc
            finally:
                for item in group.staged:
                    _TEMPORARIES.discard(item.temp)
        _sync_renames(directories)
        return failures


def _same_bytes(path: Path, data: bytes) -> bool:
    try:
        with open(path, "rb") as existing:
            return existing.read(len(data) + 1) == data
    except OSError:
        return False


def _same_file_bytes(a: str, b: Path) -> bool:
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def _rename_group(staged: Sequence[_Staged]) -> None:
    """Rename every temporary over its target, or none: a later failure undoes the earlier renames."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, set(_HANDLED))  # a group is never cut in half
    done: list[tuple[Path, Optional[str]]] = []  # renamed targets, and the link to each one's old file
    backups: list[str] = []
    try:
        for item in staged:
            backup: Optional[str] = None
            if len(staged) > 1 and os.path.lexists(item.target):
                backup = f"{item.temp}.old"
                os.link(item.target, backup)
                backups.append(backup)
            os.replace(item.temp, item.target)
            done.append((item.target, backup))
    except OSError:
        for target, backup in reversed(done):
            if backup is not None:
                os.replace(backup, target)
            else:
                os.unlink(target)
        for item in staged:
            if os.path.lexists(item.temp):
                os.unlink(item.temp)
        raise
    finally:
        for backup in backups:
            if os.path.lexists(backup):
                os.unlink(backup)
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


_libc: Optional[ctypes.CDLL] = None


def _syncfs(fd: int) -> bool:
    """syncfs(2) where the C library has it: one call makes a whole file system durable."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)  # the process's own symbols, the C library's among them
    function = getattr(_libc, "syncfs", None)
    if function is None:
        return False
    if function(fd) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))
    return True


def _sync(paths: Sequence[str]) -> None:
    """Make the files durable: one syncfs per file system, else one fsync per file."""
    done: set[int] = set()
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            device = os.fstat(fd).st_dev
            if device in done:
                continue
            if _syncfs(fd):
                done.add(device)
            else:
                os.fsync(fd)
        finally:
            os.close(fd)


def _sync_renames(directories: Sequence[Path]) -> None:
    # Makes the renames durable; some file systems cannot open a directory for
    # this, and the data is already safe on them.
    done: set[int] = set()
    for directory in dict.fromkeys(directories):
        try:
            fd = os.open(directory, os.O_RDONLY)
        except OSError:
            continue
        try:
            device = os.fstat(fd).st_dev
            if device not in done and _syncfs(fd):
                done.add(device)
            elif device not in done:
                os.fsync(fd)
        except OSError:
            pass
        finally:
            os.close(fd)


def atomic_write(target: Path, data: bytes, mode_from: Optional[Path] = None) -> None:
    """Replace (or create) `target` with `data` in one rename, durably.

    The new file keeps the owner, group and permission bits (never setuid,
    setgid or sticky) of the file it replaces, else takes the bits of
    `mode_from`, else the default for new files. A symbolic link is followed,
    so the link keeps pointing at the updated page. Raises OSError (WriteRefused
    for a target it will not replace); the target is then unchanged.
    """
    writer = BatchWriter()
    writer.stage(None, [(Path(os.path.realpath(target)), data)], mode_from)
    failure = writer.commit().get(None)
    if failure is not None:
        raise failure
