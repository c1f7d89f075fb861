"""The tool's temporary files: how they are named, and their removal when a signal ends a run.

Whatever the tool writes goes first to a temporary file beside its target,
`.NAME.XXXXXXXX.tmp` (eight lowercase hex digits), renamed over the target
once durable; `.NAME.XXXXXXXX.tmp.old` keeps an old file while a group of
files is renamed together. Each is in a registry before it exists, so that
SIGTERM, SIGINT or SIGHUP removes every one there is; what a kill leaves
behind is swept by the next run that writes the tree (`leftovers`).
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
from collections.abc import Callable, Iterator
from pathlib import Path
from types import FrameType
from typing import Any, Optional, TypeVar

from brevane_tools.text import display

__all__ = ["HANDLED_SIGNALS", "create", "forget", "is_temporary", "temporaries_removed_on_signals", "temporary_name"]

T = TypeVar("T")

#: The signals that remove the temporary files before they end the run.
HANDLED_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
#: The longest file name most file systems take (NAME_MAX), in bytes.
_NAME_MAX = 255
#: What a temporary name adds to the target's: ".", ".XXXXXXXX.tmp", and ".old" for the kept old file.
_EXTRA = len(".") + len(".01234567.tmp") + len(".old")
_HEX = frozenset("0123456789abcdef")

# Temporary files that exist right now, by path, so that a signal handler can remove them.
_LIVE: set[str] = set()


def temporary_name(target: Path, token: str) -> str:
    """The temporary file that stands in for `target` until it is renamed over it.

    A target whose name is near the longest a file system takes keeps only the
    start of its name here, so that its temporary file can still be made.
    """
    directory, name = os.path.split(os.fspath(target))
    return os.path.join(directory, f".{os.fsdecode(os.fsencode(name)[: _NAME_MAX - _EXTRA])}.{token}.tmp")


def is_temporary(name: str) -> bool:
    """Whether a file name is one of the tool's temporary files (`find . -name '.*.tmp'` lists them)."""
    name = name[:-4] if name.endswith(".tmp.old") else name
    return (len(name) >= 15 and name[0] == "." and name.endswith(".tmp") and name[-13] == "."
            and _HEX.issuperset(name[-12:-4]))


def create(directory: int, target: Path, make: Callable[[str], T]) -> tuple[T, str]:
    """A new entry beside `target`, made by `make(name)` in the open `directory` (FileExistsError
    when that name is taken), and its path; in the registry before it exists, so that a signal at
    any moment finds every temporary file there is."""
    for _ in range(100):
        temp = temporary_name(target, os.urandom(4).hex())
        _LIVE.add(temp)
        try:
            return make(os.path.basename(temp)), temp
        except FileExistsError:
            _LIVE.discard(temp)
        except BaseException:
            _LIVE.discard(temp)
            raise
    raise FileExistsError(errno.EEXIST, f"no free temporary name beside {display(target)}")


def forget(temp: str) -> None:
    """A temporary file renamed or removed: a signal has nothing to remove there any more."""
    _LIVE.discard(temp)


@contextlib.contextmanager
def temporaries_removed_on_signals() -> Iterator[None]:
    """While the block runs, SIGTERM, SIGINT and SIGHUP first remove the temporary
    files, then do what they did before (a handler of the host application is
    called; the default ends the process). An ignored signal stays ignored; off
    the main thread, where handlers cannot be set, nothing changes."""
    previous: dict[int, Any] = {}

    def handler(signum: int, frame: Optional[FrameType]) -> None:
        for name in list(_LIVE):
            with contextlib.suppress(OSError):
                os.unlink(name)
        _LIVE.clear()
        before = previous.get(signum, signal.SIG_DFL)
        if callable(before):
            before(signum, frame)
            return
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)

    for signum in HANDLED_SIGNALS:
        before = signal.getsignal(signum)
        if before is signal.SIG_IGN:
            continue
        try:
            signal.signal(signum, handler)
        except ValueError:  # not the main thread: the first one fails, before anything changed
            break
        previous[signum] = before
    try:
        yield
    finally:
        for number, was in previous.items():
            signal.signal(number, was if was is not None else signal.SIG_DFL)
