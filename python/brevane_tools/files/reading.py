"""Reading files safely: every byte the toolkit reads from disk comes through `read_file`.

A file is opened without blocking (a FIFO put in its place cannot hang the
run) and, where the walk decided so, without following a symbolic link; then
the open descriptor itself is judged, never the name again: it must be a
regular file, the very file the walk saw (device and inode), lying inside the
tree it must lie in, and within the size cap. The bytes come from that
descriptor, so a file swapped after the walk is refused, not read.

Files a user names in an option or a setting (a manifest, a key, trust
anchors, SDK settings) come through `read_option_file`: the same checks, a
cap of their own, and a usage error that names the option's file.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path
from typing import Optional, Union

from brevane_tools.errors import PageTooLarge, UsageError
from brevane_tools.files.finding import CLOEXEC, NOFOLLOW, inside, kind_of, real_path_of
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE
from brevane_tools.text import display

__all__ = [
    "MAX_OPTION_FILE", "FileIdentity", "open_checked", "read_file", "read_option_file", "read_page", "real_path_of",
]

#: Option files (a manifest, a key, trust anchors, a store to embed) larger than this are refused.
MAX_OPTION_FILE = 64 * 1024 * 1024

#: (device, inode): a file as the walk saw it.
FileIdentity = tuple[int, int]

_FLAGS = os.O_RDONLY | os.O_NONBLOCK | CLOEXEC


def open_checked(
    path: Union[str, Path],
    *,
    follow: bool = True,
    identity: Optional[FileIdentity] = None,
    within: Optional[str] = None,
) -> tuple[int, os.stat_result]:
    """Open a regular file for reading, judged by its descriptor; the descriptor and its status.

    `follow=False` refuses a symbolic link; `identity` is the (device, inode)
    it must have; `within` the resolved directory it must lie in. OSError
    says why not; the descriptor is then closed.
    """
    fd = os.open(path, _FLAGS | (0 if follow else NOFOLLOW))
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(errno.EINVAL, f"{kind_of(st.st_mode)}, not read")
        if identity is not None and (st.st_dev, st.st_ino) != identity:
            raise OSError(errno.ESTALE, "replaced since it was found, not read")
        if within is not None and not inside(real_path_of(fd, path), within):
            raise OSError(errno.EXDEV, "it leads out of its tree, not read")
        return fd, st
    except BaseException:
        os.close(fd)
        raise


def read_file(
    path: Union[str, Path],
    limit: int,
    *,
    what: str = "the file",
    flag: str = "",
    follow: bool = True,
    identity: Optional[FileIdentity] = None,
    within: Optional[str] = None,
) -> bytes:
    """A file's bytes, at most `limit` of them, read from one checked descriptor.

    OSError for a file that cannot be read (see `open_checked`); PageTooLarge
    (a ValueError) for one over the limit, named as `what`, with the flag that
    sets the limit.
    """
    fd, st = open_checked(path, follow=follow, identity=identity, within=within)
    hint = f" ({flag})" if flag else ""
    try:
        if st.st_size > limit:
            raise PageTooLarge(f"{what} is {st.st_size:,} bytes, over the limit of {limit:,}{hint}")
        chunks = []
        size = 0
        while chunk := os.read(fd, 1 << 20):
            chunks.append(chunk)
            size += len(chunk)
            if size > limit:  # it grew while being read
                raise PageTooLarge(f"{what} is over the limit of {limit:,} bytes{hint}")
        return b"".join(chunks)
    finally:
        os.close(fd)


def read_page(
    path: Path,
    limit: int = DEFAULT_MAX_PAGE_SIZE,
    *,
    follow: bool = True,
    identity: Optional[FileIdentity] = None,
) -> bytes:
    """A page's bytes (see `read_file`); over the limit, the page fails (--max-page-size)."""
    return read_file(path, limit, what="the page", flag="--max-page-size", follow=follow, identity=identity)


def read_option_file(path: Union[str, Path], what: str, limit: int = MAX_OPTION_FILE) -> bytes:
    """The bytes of a file named by an option or a setting, read as `read_file` reads (a link is followed
    to a regular file, nothing else); UsageError (exit status 2), naming it as `what`, when it cannot be."""
    try:
        return read_file(path, limit, what="it")
    except (OSError, ValueError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) else None
        raise UsageError(f"cannot read the {what} {display(path)}: {reason or exc}") from None
