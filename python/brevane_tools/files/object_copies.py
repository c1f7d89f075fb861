"""A mirror's other files, from or to object storage: copied by the store itself within one
filesystem, a part at a time across two, uploaded from the very local file the walk found, and
downloaded into local files as pages are written (`writing.BatchWriter`): small objects a round at
a time with concurrent requests, large ones streamed, so memory holds a few parts whatever their
sizes. And `--delete` below an output prefix (`prune`).
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Callable, NamedTuple, Optional, Union

from brevane_tools.files.finding import InputFile
from brevane_tools.files.mirroring import Mirrored
from brevane_tools.files.objects import (
    ObjectFile, Storage, each_call, find, media_type_argument, os_error, read_many,
)
from brevane_tools.files.reading import open_checked
from brevane_tools.files.writing import BatchWriter
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.results import Report
from brevane_tools.text import display, escape

__all__ = ["Copy", "copy_many", "listing", "mirror", "prune"]

#: Local files a mirror into object storage holds open at once.
_OPEN_AT_ONCE = 256
#: A mirror into local files reads objects up to this size whole, with concurrent requests, at most
#: _ROUND_BYTES of them at a time; a larger one is streamed, _PART_SIZE at a time.
_SMALL = 8 << 20
_ROUND_BYTES = 64 << 20
_PART_SIZE = 8 << 20


def copy_many(storage: Storage, pairs: Sequence[tuple[str, str]]) -> list[Optional[BaseException]]:
    """Copy each (source URL, target URL): within one filesystem by the store itself (no byte passes
    through here), across two by reading and writing it whole; None for each one copied."""
    places = [(storage.filesystem(source), storage.filesystem(target)) for source, target in pairs]
    within = [index for index, ((fs, _), (other, _)) in enumerate(places) if other is fs]
    done = each_call([places[i][0] for i in within], "cp_file",
                     lambda _fs, path, n: ((path, places[within[n]][1][1]), {}))
    results: list[Optional[BaseException]] = [None] * len(pairs)
    for index, outcome in zip(within, done):
        if isinstance(outcome, BaseException):
            results[index] = os_error(outcome, "copy", pairs[index][0])
    for index in sorted(set(range(len(pairs))).difference(within)):
        results[index] = _copy_across(storage, *pairs[index])
    return results


def _copy_across(storage: Storage, source: str, target: str) -> Optional[BaseException]:
    """Copy an object to another filesystem a part at a time (a multipart upload where the store has
    one): a few parts in memory, whatever its size. A copy cut short is discarded, never left torn."""
    fs, path = storage.filesystem(source)
    other, target_path = storage.filesystem(target)
    try:
        reader = fs.open(path, "rb", block_size=_PART_SIZE)
    except Exception as exc:  # noqa: BLE001 - each object's failure is its own
        return os_error(exc, "read", source)
    with reader:
        try:
            writer = other.open(target_path, "wb", block_size=_PART_SIZE)
        except Exception as exc:  # noqa: BLE001
            return os_error(exc, "write", target)
        try:
            while part := reader.read(_PART_SIZE):
                writer.write(part)
        except Exception as exc:  # noqa: BLE001
            discard = getattr(writer, "discard", None)
            if discard is not None:
                discard()  # the parts written so far go, and the object stays as it was
            return os_error(exc, "copy", source)
        try:
            writer.close()
        except Exception as exc:  # noqa: BLE001
            return os_error(exc, "write", target)
    return None


def listing(storage: Storage, url: str) -> dict[str, tuple[int, Optional[str]]]:
    """What lies below `url` already, by relative path: (size, ETag); empty when nothing does."""
    try:
        tree = find(storage, url, ())
    except FileNotFoundError:
        return {}
    return {o.relative: (o.size, o.etag) for o in tree.others}


def _put_local(storage: Storage, items: Sequence[tuple[InputFile, str]]) -> list[Optional[BaseException]]:
    """Upload local files, each from the very file the walk found (read through its checked descriptor)."""
    results: list[Optional[BaseException]] = [None] * len(items)
    for start in range(0, len(items), _OPEN_AT_ONCE):
        opened: list[tuple[int, int, str]] = []  # index, descriptor, URL
        try:
            for index in range(start, min(start + _OPEN_AT_ONCE, len(items))):
                source, url = items[index]
                try:
                    fd, _ = open_checked(source.path, follow=source.via_link, identity=source.identity)
                except OSError as exc:
                    results[index] = OSError(exc.errno, f"cannot read it: {exc.strerror or exc}")
                    continue
                opened.append((index, fd, url))
            # Read again through /proc, the descriptor's own name: the file judged, whatever its name is now.
            done = each_call([storage.filesystem(url) for _, _, url in opened], "put_file",
                             lambda fs, path, n: ((f"/proc/self/fd/{opened[n][1]}", path),
                                                  media_type_argument(fs, path)))
            for (index, _, url), outcome in zip(opened, done):
                if isinstance(outcome, BaseException):
                    results[index] = os_error(outcome, "write", url)
        finally:
            for _, fd, _ in opened:
                os.close(fd)
    return results


class Copy(NamedTuple):
    """A file of a mirror that is not a page: from an object or a local file, to an object or a local file."""

    source: Union[ObjectFile, InputFile]
    target: Union[str, Path]

    @property
    def name(self) -> str:
        return escape(self.source.url) if isinstance(self.source, ObjectFile) else display(self.source.path)


def mirror(
    storage: Storage, copies: Sequence[Copy], tree: Optional[str], mirrored: Mirrored, emit: Callable[[Report], None],
) -> None:
    """Make the other files of a site in the output: each copied whole, in rounds of concurrent requests.

    An object already in the output with the source's size and ETag is left as it
    is. `tree` is the resolved local output tree, for copies to local files
    (written as pages are: `writing.BatchWriter`).
    """
    existing: dict[str, dict[str, tuple[int, Optional[str]]]] = {}

    def unchanged(copy: Copy) -> bool:
        source, target = copy.source, copy.target
        if not isinstance(source, ObjectFile) or not isinstance(target, str) or source.etag is None:
            return False
        root, _, name = target.rpartition("/")
        if root not in existing:
            if len(existing) >= _OPEN_AT_ONCE:  # copies come in the order of their paths: a directory's together
                existing.clear()
            existing[root] = listing(storage, root) if root else {}
        return existing[root].get(name) == (source.size, source.etag)

    def outcome(copy: Copy, failure: Optional[BaseException]) -> None:
        if failure is None:
            mirrored.copied += 1
            return
        mirrored.failed += 1
        why = failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure)
        emit(Report(copy.name, False, error=why, input_error=True, data={"mirrored": "file"}))

    each = iter(copies)  # read a round at a time: the copies of a large site are kept on disk
    while next_round := list(itertools.islice(each, _OPEN_AT_ONCE)):
        round_ = []
        for copy in next_round:
            if unchanged(copy):
                mirrored.unchanged += 1
            else:
                round_.append(copy)
        between = [(c, c.source.url, c.target) for c in round_
                   if isinstance(c.source, ObjectFile) and isinstance(c.target, str)]
        for (copy, _, _), failure in zip(between, copy_many(storage, [(s, t) for _, s, t in between])):
            outcome(copy, failure)
        up = [(c, c.source, c.target) for c in round_ if isinstance(c.source, InputFile) and isinstance(c.target, str)]
        for (copy, _, _), failure in zip(up, _put_local(storage, [(s, t) for _, s, t in up])):
            outcome(copy, failure)
        down = [c for c in round_ if isinstance(c.target, Path)]
        if down:
            assert tree is not None
            _download(storage, down, tree, mirrored, outcome)


def _download(storage: Storage, copies: Sequence[Copy], tree: str, mirrored: Mirrored,
              outcome: Callable[[Copy, Optional[BaseException]], None]) -> None:
    """Objects to local files: small ones read whole, a round at a time with concurrent requests (at
    most `_ROUND_BYTES` of them); a large one streamed, a part at a time, so that memory holds a few
    parts whatever the objects' sizes."""
    sized = [(c, c.source) for c in copies if isinstance(c.source, ObjectFile)]
    rounds: list[list[tuple[Copy, ObjectFile]]] = [[]]
    held = 0
    for copy, source in sized:
        if source.size > _SMALL:
            continue
        if rounds[-1] and held + source.size > _ROUND_BYTES:
            rounds.append([])
            held = 0
        rounds[-1].append((copy, source))
        held += source.size
    for round_ in rounds:
        got = read_many(storage, [(s.url, s.size) for _, s in round_], _SMALL, what="the file", flag="")

        def whole(writer: BatchWriter, copy: Copy, number: int) -> Union[bool, BaseException]:
            data = got[number]
            assert isinstance(copy.target, Path)
            return writer.stage(copy, [(copy.target, data)], in_tree=tree) if isinstance(data, bytes) else data

        _stage_round(tree, mirrored, outcome, [c for c, _ in round_], whole)
    large = [c for c, source in sized if source.size > _SMALL]
    _stage_round(tree, mirrored, outcome, large, lambda writer, copy, _: _stream(storage, writer, copy, tree))


def _stream(storage: Storage, writer: BatchWriter, copy: Copy, tree: str) -> Union[bool, BaseException]:
    assert isinstance(copy.source, ObjectFile) and isinstance(copy.target, Path)
    fs, path = storage.filesystem(copy.source.url)
    try:
        source = fs.open(path, "rb", block_size=_PART_SIZE)
    except Exception as exc:  # noqa: BLE001 - each object's failure is its own
        return os_error(exc, "read", copy.source.url)
    with source:
        return writer.stage_stream(copy, source.read, copy.target, tree)


def _stage_round(tree: str, mirrored: Mirrored, outcome: Callable[[Copy, Optional[BaseException]], None],
                 copies: Sequence[Copy], stage: Callable[[BatchWriter, Copy, int], Any]) -> None:
    """Stage each copy (`stage` gives True, False for one already there, or why it could not be read),
    then put them in place together."""
    staged: list[Copy] = []
    with BatchWriter() as writer:
        for number, copy in enumerate(copies):
            assert isinstance(copy.target, Path)
            try:
                done = stage(writer, copy, number)
            except OSError as exc:
                if exc.filename is None and isinstance(exc.strerror, str) and exc.strerror.startswith("cannot "):
                    outcome(copy, exc)  # a read that failed, in its own words
                else:
                    outcome(copy, OSError(exc.errno, f"cannot copy to {display(copy.target)}: "
                                                     f"{exc.strerror or exc}"))
                continue
            if isinstance(done, BaseException):
                outcome(copy, done)
            elif done:
                staged.append(copy)
            else:
                mirrored.unchanged += 1
        failures = writer.commit()
    for copy in staged:
        outcome(copy, failures.get(copy))


def prune(storage: Storage, output: str, in_source: Callable[[str], bool], mirrored: Mirrored,
          emit: Callable[[Report], None]) -> None:
    """`--delete` below an output prefix: every object whose path below it is no longer in the source
    goes (a store beside a page stays with its page), each deleted by its own request, concurrently."""
    try:
        tree = find(storage, output.rstrip("/") + "/", ())
    except FileNotFoundError:
        return  # an empty prefix: nothing to delete
    gone = [found for found in tree.others if not in_source(found.relative) and not (
        found.relative.endswith(STORE_SUFFIX) and in_source(found.relative[: -len(STORE_SUFFIX)]))]
    done = each_call([storage.filesystem(found.url) for found in gone], "rm_file", lambda _fs, path, _n: ((path,), {}))
    for found, failure in zip(gone, done):
        if isinstance(failure, BaseException):
            mirrored.failed += 1
            why = os_error(failure, "delete", found.url)
            emit(Report(escape(found.url), False, error=str(why), input_error=True, data={"mirrored": "deleted"}))
            continue
        mirrored.deleted += 1
        emit(Report(escape(found.url), True, text="deleted: no longer in the source", data={"mirrored": "deleted"}))
