"""Writing edits without ever losing one.

- A destination is never resolved through a link. In an output tree, its
  directory is opened one name at a time from the tree's top, never following
  a link (and made where missing); every later step (the checks, the
  temporary file, the rename) happens in that open directory, so a directory
  swapped for a link meanwhile is never written through. A destination that
  is a symbolic link, or not a regular file, is refused. An edit in place
  replaces only the very file the page was read from.
- A replaced file keeps its owner and group (root can always do that; anyone
  else is refused when they cannot) and its permission bits, without setuid,
  setgid or sticky bits. A file with other hard links is refused rather than
  split from them. A file whose new content equals its old is not rewritten.
- Edits go to a temporary file in the target's directory; a batch of them is
  made durable with one sync per file system, then each is renamed over its
  target, then the renames are synced: after a crash each page is old or new,
  never torn, never missing. A page and the files written with it (a store
  beside it) are renamed together: if one rename fails, the others are undone.
- Temporary files are removed on failure and on SIGTERM, SIGINT or SIGHUP
  (`temporaries`).
- `replacement` writes a single file in a directory of the caller's own (a
  cache's) the same way: the file, then its directory, fsynced.
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import stat
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import NamedTuple, Optional

from brevane_tools.errors import WriteRefused
from brevane_tools.files import temporaries
from brevane_tools.files.directories import open_directory, status
from brevane_tools.files.finding import CLOEXEC, DIRECTORY, NOFOLLOW, kind_of
from brevane_tools.files.reading import FileIdentity, open_checked
from brevane_tools.files.syncing import sync_directories, sync_files
from brevane_tools.text import display

__all__ = ["BatchWriter", "atomic_write", "atomic_write_stream", "replacement"]

_NEW = os.O_WRONLY | os.O_CREAT | os.O_EXCL | CLOEXEC

#: A streamed copy is read and written this much at a time.
_PART = 8 << 20


class _Staged(NamedTuple):
    target: Path
    temp: str  # its path: for the signal handler
    #: The open directory both lie in, checked once: every later step happens there.
    directory: int
    link: bool = False  # a symbolic link, made durable through its directory

    @property
    def name(self) -> str:
        return self.target.name

    @property
    def temp_name(self) -> str:
        return os.path.basename(self.temp)


@contextlib.contextmanager
def _temporary(directory: int, target: Path) -> Iterator[tuple[int, _Staged]]:
    """A new file (0600) beside `target`, open for writing while the block runs; removed if the block fails."""
    fd, temp = temporaries.create(directory, target, lambda name: os.open(name, _NEW, 0o600, dir_fd=directory))
    item = _Staged(target, temp, directory)
    try:
        yield fd, item
    except BaseException:
        _discard([item])
        raise
    finally:
        os.close(fd)


def _discard(staged: Sequence[_Staged]) -> None:
    for item in staged:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(item.temp_name, dir_fd=item.directory)
        temporaries.forget(item.temp)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _default_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _refuse(target: Path, st: Optional[os.stat_result], link_too: bool = True) -> None:
    """Refuse to replace anything but a regular file: a link said as such, unless not `link_too`."""
    if st is not None and link_too and stat.S_ISLNK(st.st_mode):
        raise WriteRefused(errno.ELOOP, f"{display(target)} is a symbolic link, not written through")
    if st is not None and not stat.S_ISREG(st.st_mode):
        raise WriteRefused(errno.EINVAL, f"{display(target)} is {kind_of(st.st_mode)}, not replaced")


class BatchWriter:
    """Writes groups of files (a page and its store) durably, a batch at a time.

    `stage` writes each file of a group to a temporary file beside its target
    (checked, owner and mode set, not yet synced); `commit` syncs all of them
    with one call per file system, renames each group over its targets, and
    syncs the renames. `in_tree` (resolved) is the output tree a destination
    must lie in; without one (an edit in place), the target's directory is
    opened as named and `replaces` is the file the target must still be.
    The directories opened stay open until the batch is committed or discarded;
    as a context manager, what a failing block staged is discarded with it.
    """

    def __init__(self) -> None:
        self.groups: list[tuple[object, list[_Staged]]] = []  # each group's key, and its files
        self.size = 0
        self._directories: dict[tuple[Optional[str], str], int] = {}  # by tree and directory path

    def __enter__(self) -> BatchWriter:
        return self

    def __exit__(self, kind: Optional[type[BaseException]], *_: object) -> None:
        if kind is not None:
            self.discard()

    @property
    def open_directories(self) -> int:
        return len(self._directories)

    def _directory(self, target: Path, in_tree: Optional[str]) -> int:
        key = (in_tree, os.path.dirname(target))
        fd = self._directories.get(key)
        if fd is None:
            fd = self._directories[key] = open_directory(target.parent, in_tree, target)
        return fd

    def _close_directories(self) -> None:
        for fd in self._directories.values():
            os.close(fd)
        self._directories.clear()

    def stage(
        self,
        key: object,
        files: Sequence[tuple[Path, bytes]],
        mode_from: Optional[Path] = None,
        in_tree: Optional[str] = None,
        in_place: bool = False,
        replaces: Optional[FileIdentity] = None,
        files_tree: Optional[str] = None,
    ) -> bool:
        """Stage a group; False when every target already holds its new bytes (nothing to write).

        `replaces` is the (device, inode) the first target must still have;
        `files_tree` (resolved) is the tree the others lie in, when it is not `in_tree`."""
        staged: list[_Staged] = []
        try:
            for index, (target, data) in enumerate(files):
                tree = files_tree if index and files_tree is not None else in_tree
                item = self._stage_one(target, data, mode_from, tree, in_place, replaces if index == 0 else None)
                if item is not None:
                    staged.append(item)
        except BaseException:
            _discard(staged)
            raise
        if staged:
            self.groups.append((key, staged))
            self.size += sum(len(d) for _, d in files)
        return bool(staged)

    def _stage_one(
        self, target: Path, data: bytes, mode_from: Optional[Path], in_tree: Optional[str], in_place: bool,
        replaces: Optional[FileIdentity],
    ) -> Optional[_Staged]:
        directory = self._directory(target, in_tree)
        st = status(target.name, directory)
        if replaces is not None and (st is None or (st.st_dev, st.st_ino) != replaces):
            raise WriteRefused(errno.ESTALE, f"{display(target)} was replaced since it was found, not written")
        _refuse(target, st)
        if st is not None:
            if st.st_nlink > 1 and in_place:
                raise WriteRefused(
                    errno.EMLINK,
                    f"{display(target)} has {st.st_nlink} hard links; replacing it would split them, "
                    "so it is left alone",
                )
            if st.st_size == len(data) and _same_bytes(directory, target.name, data):
                return None
            mode = stat.S_IMODE(st.st_mode)
        else:
            try:
                mode = stat.S_IMODE(os.stat(mode_from).st_mode) if mode_from is not None else _default_mode()
            except OSError:
                mode = _default_mode()
        with _temporary(directory, target) as (fd, item):
            if st is not None and (st.st_uid != os.geteuid() or st.st_gid != os.fstat(fd).st_gid):
                try:
                    os.fchown(fd, st.st_uid, st.st_gid)
                except PermissionError:
                    raise WriteRefused(
                        errno.EPERM,
                        f"{display(target)} belongs to {st.st_uid}:{st.st_gid}; the new file could not keep that "
                        "owner and group, so it is left alone",
                    ) from None
            os.fchmod(fd, mode & 0o777)  # after fchown, which may clear bits; never setuid, setgid or sticky
            _write_all(fd, data)
        return item

    def stage_copy(
        self, key: object, source: Path, target: Path, in_tree: str,
        identity: Optional[FileIdentity] = None, follow: bool = True,
    ) -> str:
        """Stage a copy of a file that is not a page: "linked" (a hard link, on the same
        file system), "copied", or "unchanged" (the target already holds it).

        The source is opened and judged once (see `open_checked`): the link or the
        copy is made from that descriptor, never from its name again."""
        directory = self._directory(target, in_tree)
        source_fd, src = open_checked(source, follow=follow, identity=identity)
        try:
            st = status(target.name, directory)
            _refuse(target, st, link_too=False)
            if st is not None and (st.st_dev, st.st_ino) == (src.st_dev, src.st_ino):
                return "unchanged"
            if os.fstat(directory).st_dev == src.st_dev:
                with contextlib.suppress(OSError):  # another mount of the file system, a link count at its limit
                    # The open file itself, through the kernel's link to it (linkat(2) with
                    # AT_SYMLINK_FOLLOW, which os.link asks for when given a directory descriptor).
                    _, temp = temporaries.create(directory, target, lambda name: os.link(
                        f"/proc/self/fd/{source_fd}", name, dst_dir_fd=directory, follow_symlinks=True))
                    self.groups.append((key, [_Staged(target, temp, directory)]))
                    return "linked"
            return "copied" if self._stage_read(key, lambda n: os.read(source_fd, n), target, directory, st,
                                                stat.S_IMODE(src.st_mode)) else "unchanged"
        finally:
            os.close(source_fd)

    def stage_stream(self, key: object, read: Callable[[int], bytes], target: Path, in_tree: Optional[str]) -> bool:
        """Stage a copy of a stream (`read(n)` gives up to n bytes, b"" at its end) at `target`, a part at a
        time, so a large file never lies whole in memory; False when the target already holds those bytes.
        A link at `target` is refused, never written through."""
        directory = self._directory(target, in_tree)
        st = status(target.name, directory)
        _refuse(target, st)
        mode = stat.S_IMODE(st.st_mode) if st is not None else _default_mode()
        return self._stage_read(key, read, target, directory, st, mode)

    def _stage_read(
        self, key: object, read: Callable[[int], bytes], target: Path, directory: int,
        st: Optional[os.stat_result], mode: int,
    ) -> bool:
        """Stage what `read` gives, with the bits `mode`; False (nothing staged) when `st`, the target's
        status, says the target holds the same bytes already."""
        size = 0
        with _temporary(directory, target) as (fd, item):
            while part := read(_PART):
                size += len(part)
                _write_all(fd, part)
            os.fchmod(fd, mode & 0o777)
        if st is not None and st.st_size == size and _same_file_bytes(item):
            _discard([item])
            return False
        self.groups.append((key, [item]))
        self.size += size
        return True

    def stage_link(self, key: object, text: str, target: Path, in_tree: str) -> bool:
        """Stage a symbolic link holding `text` at `target`; False when one already holds it.

        It replaces a file or a link there, never a directory or a special file."""
        directory = self._directory(target, in_tree)
        st = status(target.name, directory)
        if st is not None and stat.S_ISLNK(st.st_mode):
            if os.readlink(target.name, dir_fd=directory) == text:
                return False
        else:
            _refuse(target, st, link_too=False)

        _, temp = temporaries.create(directory, target, lambda name: os.symlink(text, name, dir_fd=directory))
        self.groups.append((key, [_Staged(target, temp, directory, link=True)]))
        return True

    def discard(self) -> None:
        for _, staged in self.groups:
            _discard(staged)
        self.groups, self.size = [], 0
        self._close_directories()

    def commit(self) -> dict[object, OSError]:
        """Make the staged groups durable and put them in place; the groups that failed, by key."""
        failures: dict[object, OSError] = {}
        groups, self.groups, self.size = self.groups, [], 0
        try:
            if not groups:
                return failures
            try:
                sync_files([(item.directory, item.temp_name, item.link) for _, staged in groups for item in staged])
            except OSError as exc:
                for key, staged in groups:
                    _discard(staged)
                    failures[key] = exc
                return failures
            directories: list[int] = []
            # No group is cut in half by a signal (they wait for the renames, a few milliseconds).
            previous = signal.pthread_sigmask(signal.SIG_BLOCK, set(temporaries.HANDLED_SIGNALS))
            try:
                for key, staged in groups:
                    try:
                        _rename_group(staged)
                        directories.extend(item.directory for item in staged)
                    except OSError as exc:
                        failures[key] = exc
                    finally:
                        for item in staged:
                            temporaries.forget(item.temp)
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, previous)
            sync_directories(directories)
            return failures
        finally:
            self._close_directories()


def _same_bytes(directory: int, name: str, data: bytes) -> bool:
    try:
        fd = os.open(name, os.O_RDONLY | NOFOLLOW | CLOEXEC, dir_fd=directory)
    except OSError:
        return False
    with open(fd, "rb") as existing:
        return existing.read(len(data) + 1) == data


def _same_file_bytes(item: _Staged) -> bool:
    flags = os.O_RDONLY | NOFOLLOW | CLOEXEC
    with open(os.open(item.temp_name, flags, dir_fd=item.directory), "rb") as first, \
            open(os.open(item.name, flags, dir_fd=item.directory), "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def _rename_group(staged: Sequence[_Staged]) -> None:
    """Rename every temporary over its target, or none: a later failure undoes the earlier renames."""
    done: list[tuple[_Staged, Optional[str]]] = []  # renamed items, and the link to each one's old file
    backups: list[tuple[int, str]] = []
    try:
        for item in staged:
            here, backup = item.directory, None
            if len(staged) > 1:
                with contextlib.suppress(FileNotFoundError):  # no old file: undone by removing the new one
                    os.link(item.name, f"{item.temp_name}.old", src_dir_fd=here, dst_dir_fd=here, follow_symlinks=False)
                    backup = f"{item.temp_name}.old"
                    backups.append((here, backup))
            os.replace(item.temp_name, item.name, src_dir_fd=here, dst_dir_fd=here)
            done.append((item, backup))
    except OSError:
        for item, backup in reversed(done):
            if backup is not None:
                os.replace(backup, item.name, src_dir_fd=item.directory, dst_dir_fd=item.directory)
            else:
                os.unlink(item.name, dir_fd=item.directory)
        for item in staged:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(item.temp_name, dir_fd=item.directory)
        raise
    finally:
        for directory, backup in backups:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(backup, dir_fd=directory)


def atomic_write(target: Path, data: bytes, mode_from: Optional[Path] = None, *, follow: bool = True) -> None:
    """Replace (or create) `target` with `data` in one rename, durably.

    The new file keeps the owner, group and permission bits (never setuid,
    setgid or sticky) of the file it replaces, else takes the bits of
    `mode_from`, else the default for new files. A symbolic link is followed,
    so the link keeps pointing at the updated page, unless `follow` is False:
    then a link (or anything but a regular file) at `target` is refused, as
    for any output of the tool, and a link put there after that check is
    replaced, never written through. Raises OSError (WriteRefused for a target
    it will not replace); the target is then unchanged.
    """
    _write_one(lambda writer: writer.stage(
        None, [(Path(os.path.realpath(target)) if follow else Path(target), data)], mode_from))


def atomic_write_stream(target: Path, read: Callable[[int], bytes]) -> None:
    """As `atomic_write(target, ..., follow=False)`, the bytes read a part at a time (`read(n)`, b"" at
    the end): a file of any size is written without lying whole in memory."""
    _write_one(lambda writer: writer.stage_stream(None, read, Path(target), None))


def _write_one(stage: Callable[[BatchWriter], bool]) -> None:
    with BatchWriter() as writer:
        stage(writer)
        failure = writer.commit().get(None)
    if failure is not None:
        raise failure


@contextlib.contextmanager
def replacement(target: Path, data: bytes, mode: int = 0o600) -> Iterator[Callable[[], None]]:
    """The one atomic write of a single file: `data` in a new temporary file beside `target` with the
    bits `mode` (whatever the umask; never setuid, setgid or sticky), written and fsynced before the
    block runs. The function the block gets renames it over `target` (a link there is replaced, never
    followed); the directory is fsynced as the block ends, so the rename is durable too. What the block
    leaves unrenamed is removed.

    For a file in a directory of the caller's own (a cache's): none of `BatchWriter`'s checks of an
    output tree, one file synced (not its file system), and the rename alone where the caller holds a lock."""
    directory = os.open(target.parent, DIRECTORY)
    try:
        with _temporary(directory, target) as (fd, item):
            os.fchmod(fd, mode & 0o777)
            _write_all(fd, data)
            os.fsync(fd)
        renamed = False

        def rename() -> None:
            nonlocal renamed
            os.replace(item.temp_name, item.name, src_dir_fd=directory, dst_dir_fd=directory)
            renamed = True

        try:
            yield rename
        finally:
            _discard([] if renamed else [item])
            temporaries.forget(item.temp)
        with contextlib.suppress(OSError):  # some file systems cannot sync a directory; the data is safe there
            os.fsync(directory)
    finally:
        os.close(directory)
