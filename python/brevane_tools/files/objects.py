"""Pages and other files in object storage (S3, GCS, Azure Blob, memory...), through fsspec.

- A tree is a URL prefix: every object below it is part of the site. Object
  stores have no directories and no symbolic links; pages are found by their
  names, as on disk.
- Each object is written whole, by one request (a PUT): a reader sees the old
  object or the new one, never part of one, and nothing temporary is ever made.
  The runner writes a page's store before the page that names it.
- Reads are capped: an object over its limit fails by the listed size, before
  any byte is fetched, and again if more arrives than the listing said.
- Credentials come from each filesystem's own environment (AWS_*,
  GOOGLE_APPLICATION_CREDENTIALS, AZURE_STORAGE_*...); `Storage` holds the
  fsspec options of a run (`--storage-options`), such as an endpoint.
- `file://` URLs are local paths (`local_path`): the local reader and writer
  take them, with their guarantees (no link followed, atomic renames).
- Many objects go in one round of concurrent requests where the filesystem is
  asynchronous (s3fs, gcsfs, adlfs), so a worker does not wait out one
  request's latency per object.
"""

from __future__ import annotations

import json
import os
import posixpath
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional, Union
from urllib.parse import unquote_to_bytes, urlsplit

from brevane_tools.errors import PageTooLarge, UsageError
from brevane_tools.files.finding import InputFile
from brevane_tools.files.mirroring import Mirrored
from brevane_tools.files.reading import open_checked
from brevane_tools.files.writing import BatchWriter
from brevane_tools.results import Report
from brevane_tools.text import display, escape, one_line

__all__ = [
    "ObjectFile", "ObjectPage", "ObjectTree", "Storage", "find", "is_object_url", "join", "local_path",
    "read", "read_many", "write_many",
]

_SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")
#: Requests one worker keeps in flight at once.
CONCURRENCY = 32
#: Local files a mirror into object storage holds open at once.
_OPEN_AT_ONCE = 256
#: A mirror into local files reads each object whole: larger ones are refused.
_WHOLE_FILE = 1 << 30
#: Media types the filesystems below are told of, where the name alone does not say it.
_MEDIA_TYPES = {".c2pa": "application/c2pa"}
#: How each filesystem takes an object's media type on a write; others keep their default.
_MEDIA_TYPE_ARGUMENT = {"s3": "ContentType", "s3a": "ContentType", "gs": "content_type", "gcs": "content_type"}

def scheme(argument: str) -> Optional[str]:
    match = _SCHEME.match(argument)
    return match.group(1).lower() if match else None


def is_object_url(argument: str) -> bool:
    """Whether a path argument names objects through fsspec (not http(s), which is fetched, nor file://)."""
    return scheme(argument) not in (None, "http", "https", "file")


def local_path(argument: str) -> str:
    """A `file://` URL as the local path it names (its bytes percent-decoded); any other argument as it is."""
    if scheme(argument) != "file":
        return argument
    parts = urlsplit(argument)
    if parts.netloc not in ("", "localhost"):
        raise UsageError(f"{escape(argument)}: a file:// URL names a file of this machine, not of {parts.netloc}")
    return os.fsdecode(unquote_to_bytes(parts.path)) or "/"


def join(root: str, relative: str) -> str:
    """The URL of `relative` (a POSIX path) below the prefix `root`."""
    return root.rstrip("/") + "/" + relative if relative else root


@dataclass(frozen=True)
class Storage:
    """The fsspec options of a run (JSON text): handed to every filesystem it opens, in every worker."""

    options: str = field(default="{}", repr=False)  # may hold a key and a secret

    @classmethod
    def parse(cls, text: str) -> Storage:
        try:
            options = json.loads(text)
        except ValueError as exc:
            raise UsageError(f"--storage-options is not JSON: {exc}") from None
        if not isinstance(options, dict):
            raise UsageError("--storage-options must be a JSON object of fsspec options")
        return cls(json.dumps(options, sort_keys=True))

    def filesystem(self, url: str) -> tuple[Any, str]:
        """The filesystem `url` lies on (made once per process: fsspec keeps its instances) and its path there."""
        try:
            from fsspec.core import url_to_fs

            return url_to_fs(url, **json.loads(self.options))  # type: ignore[no-any-return]
        except ImportError as exc:
            raise UsageError(
                f"{escape(url)}: object storage needs fsspec and the package of its filesystem "
                f"(pip install 'brevane[storage]'): {exc}"
            ) from None
        except ValueError as exc:  # an unknown protocol, options it refuses
            raise UsageError(f"{escape(url)}: {exc}") from None


@dataclass(frozen=True)
class ObjectFile:
    """An object found below a prefix."""

    url: str
    relative: str  # below the argument that named it, as a POSIX path
    size: int
    etag: Optional[str] = None


@dataclass
class ObjectTree:
    root: str
    pages: list[ObjectFile] = field(default_factory=list)
    others: list[ObjectFile] = field(default_factory=list)


@dataclass(frozen=True)
class ObjectPage:
    """Where a page in object storage is read from, and where it is written to.

    A page read from a local file has no `source`; one written to a local file
    (or not written) has no `target`. The roots are the prefixes the site lies
    under: where an href starting with "/" leads. `storage` travels with the
    run (once per worker), and is set on the page where it runs.
    """

    source: Optional[str] = None
    source_root: Optional[str] = None
    target: Optional[str] = None
    target_root: Optional[str] = None
    size: Optional[int] = None  # as listed; None when not known
    storage: Optional[Storage] = None
    #: Objects read with the page's round, by URL: what the output holds now (None: nothing).
    ahead: tuple[tuple[str, Optional[bytes]], ...] = ()


def _etag(info: dict[str, Any]) -> Optional[str]:
    value = info.get("ETag") or info.get("etag") or info.get("md5")
    return str(value) if value else None


def find(storage: Storage, url: str, suffixes: Sequence[str]) -> ObjectTree:
    """The objects below `url` (pages by name, the others apart), sorted; or the one object it names.

    FileNotFoundError when there is neither."""
    fs, path = storage.filesystem(url)
    path = path.rstrip("/")
    tree = ObjectTree(url)
    lowered = tuple(s.lower() for s in suffixes)
    try:
        listing = fs.find(path, detail=True, withdirs=False)
        if path not in listing and not listing and fs.isfile(path):
            listing = {path: fs.info(path)}
    except FileNotFoundError:
        listing = {}
    except OSError as exc:
        raise OSError(exc.errno, f"{escape(url)}: cannot list the objects: {exc.strerror or exc}") from None
    except (TypeError, AttributeError) as exc:  # an option of the wrong type, found out at the first request
        raise UsageError(f"{escape(url)}: its filesystem cannot use these --storage-options: {exc}") from None
    except Exception as exc:  # noqa: BLE001 - the filesystem's own: no credentials, no endpoint, no bucket
        raise UsageError(f"{escape(url)}: cannot list the objects: {one_line(str(exc)) or type(exc).__name__}") from None
    if not listing:
        raise FileNotFoundError(f"{escape(url)}: no such object or prefix")
    if path in listing:  # the URL names one object: a page, whatever its name, as a file argument is
        info = listing[path]
        tree.pages.append(ObjectFile(url, posixpath.basename(path), int(info.get("size") or 0), _etag(info)))
        return tree
    for name in sorted(listing):
        info = listing[name]
        relative = name[len(path) + 1:]
        if not name.startswith(path + "/") or not relative or relative.endswith("/") or info.get("type") != "file":
            continue  # a "directory" placeholder some tools make
        found = ObjectFile(join(url, relative), relative, int(info.get("size") or 0), _etag(info))
        (tree.pages if relative.lower().endswith(lowered) else tree.others).append(found)
    return tree


#: A call of a filesystem method: its arguments, and its keyword arguments.
_Call = tuple[tuple[Any, ...], dict[str, Any]]


def _each(fs: Any, method: str, calls: Sequence[_Call]) -> list[Any]:
    """Call `method` of `fs` once per argument list: each result, or the exception it raised.

    On an asynchronous filesystem the calls run concurrently, CONCURRENCY at a
    time, on the filesystem's own event loop; on another, one after the other."""
    if not getattr(fs, "async_impl", False):
        results: list[Any] = []
        for args, kwargs in calls:
            try:
                results.append(getattr(fs, method)(*args, **kwargs))
            except Exception as exc:  # noqa: BLE001 - each object's failure is its own
                results.append(exc)
        return results
    import asyncio

    from fsspec.asyn import sync

    async def run() -> list[Any]:
        slots = asyncio.Semaphore(CONCURRENCY)

        async def one(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
            async with slots:
                return await getattr(fs, "_" + method)(*args, **kwargs)

        return await asyncio.gather(*(one(a, k) for a, k in calls), return_exceptions=True)

    return sync(fs.loop, run)  # type: ignore[no-any-return]


def _as_os_error(exc: BaseException, doing: str, url: str) -> BaseException:
    """A filesystem's error as one line naming the object; a size over the limit stays what it is."""
    if isinstance(exc, PageTooLarge) or not isinstance(exc, Exception):
        return exc
    if isinstance(exc, FileNotFoundError):
        reason = "its bucket does not exist" if doing == "write" else "no such object"
    elif isinstance(exc, OSError) and exc.strerror:
        reason = exc.strerror
    else:
        reason = str(exc) or type(exc).__name__
    return OSError(f"cannot {doing} {escape(url)}: {reason}")


def read_many(
    storage: Storage, wanted: Sequence[tuple[str, Optional[int]]], limit: int, *,
    what: str = "the page", flag: str = "--max-page-size",
) -> list[Union[bytes, BaseException]]:
    """The bytes of each (URL, listed size), read concurrently: bytes, or why not (OSError, PageTooLarge)."""
    results: list[Union[bytes, BaseException]] = [b""] * len(wanted)
    hint = f" ({flag})" if flag else ""
    by_filesystem: dict[int, tuple[Any, list[tuple[int, str, str]]]] = {}
    for index, (url, size) in enumerate(wanted):
        if size is not None and size > limit:
            results[index] = PageTooLarge(f"{what} is {size:,} bytes, over the limit of {limit:,}{hint}")
            continue
        fs, path = storage.filesystem(url)
        by_filesystem.setdefault(id(fs), (fs, []))[1].append((index, url, path))
    for fs, items in by_filesystem.values():
        # One byte past the limit is enough to tell an object that grew since it was listed.
        got = _each(fs, "cat_file", [((path,), {"start": 0, "end": limit + 1}) for _, _, path in items])
        for (index, url, _), data in zip(items, got):
            if isinstance(data, BaseException):
                results[index] = _as_os_error(data, "read", url)
            elif len(data) > limit:
                results[index] = PageTooLarge(f"{what} is over the limit of {limit:,} bytes{hint}")
            else:
                results[index] = bytes(data)
    return results


def read(storage: Storage, url: str, limit: int, *, what: str = "the page", flag: str = "--max-page-size") -> bytes:
    """One object's bytes, at most `limit` of them; OSError or PageTooLarge."""
    (data,) = read_many(storage, [(url, None)], limit, what=what, flag=flag)
    if isinstance(data, BaseException):
        raise data
    return data


def media_type(name: str) -> str:
    import mimetypes

    suffix = posixpath.splitext(name)[1].lower()
    return _MEDIA_TYPES.get(suffix) or mimetypes.guess_type(name)[0] or "application/octet-stream"


def _type_argument(fs: Any, name: str) -> dict[str, str]:
    protocols = fs.protocol if isinstance(fs.protocol, (tuple, list)) else (fs.protocol,)
    argument = next((_MEDIA_TYPE_ARGUMENT[p] for p in protocols if p in _MEDIA_TYPE_ARGUMENT), None)
    return {argument: media_type(name)} if argument else {}


def write_many(storage: Storage, items: Sequence[tuple[str, bytes]]) -> list[Optional[BaseException]]:
    """Write each (URL, bytes) as one object, in one request each, concurrently; None for each one written."""
    results: list[Optional[BaseException]] = [None] * len(items)
    by_filesystem: dict[int, tuple[Any, list[tuple[int, str, str, bytes]]]] = {}
    for index, (url, data) in enumerate(items):
        fs, path = storage.filesystem(url)
        by_filesystem.setdefault(id(fs), (fs, []))[1].append((index, url, path, data))
    for fs, group in by_filesystem.values():
        done = _each(fs, "pipe_file", [((path, data), _type_argument(fs, path)) for _, _, path, data in group])
        for (index, url, _, _), outcome in zip(group, done):
            if isinstance(outcome, BaseException):
                results[index] = _as_os_error(outcome, "write", url)
    return results


def copy_many(storage: Storage, pairs: Sequence[tuple[str, str]]) -> list[Optional[BaseException]]:
    """Copy each (source URL, target URL): within one filesystem by the store itself (no byte passes
    through here), across two by reading and writing it whole; None for each one copied."""
    results: list[Optional[BaseException]] = [None] * len(pairs)
    across: list[int] = []
    by_filesystem: dict[int, tuple[Any, list[tuple[int, str, str, str]]]] = {}
    for index, (source, target) in enumerate(pairs):
        fs, source_path = storage.filesystem(source)
        other, target_path = storage.filesystem(target)
        if other is not fs:
            across.append(index)
            continue
        by_filesystem.setdefault(id(fs), (fs, []))[1].append((index, target, source_path, target_path))
    for fs, group in by_filesystem.values():
        done = _each(fs, "cp_file", [((source, target), {}) for _, _, source, target in group])
        for (index, _, _, _), outcome in zip(group, done):
            if isinstance(outcome, BaseException):
                results[index] = _as_os_error(outcome, "copy", pairs[index][0])
    for index in across:
        source, target = pairs[index]
        try:
            fs, path = storage.filesystem(source)
            data = fs.cat_file(path)
        except Exception as exc:  # noqa: BLE001
            results[index] = _as_os_error(exc, "read", source)
            continue
        (results[index],) = write_many(storage, [(target, data)])
    return results


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
        opened: list[tuple[int, int, str, Any, str]] = []  # index, descriptor, URL, filesystem, path
        try:
            for index in range(start, min(start + _OPEN_AT_ONCE, len(items))):
                source, url = items[index]
                try:
                    fd, _ = open_checked(source.path, follow=source.via_link, identity=source.identity)
                except OSError as exc:
                    results[index] = OSError(exc.errno, f"cannot read it: {exc.strerror or exc}")
                    continue
                opened.append((index, fd, url, *storage.filesystem(url)))
            groups: dict[int, list[tuple[int, int, str, Any, str]]] = {}
            for item in opened:
                groups.setdefault(id(item[3]), []).append(item)
            for group in groups.values():
                fs = group[0][3]
                # Read again through /proc, the descriptor's own name: the file judged, whatever its name is now.
                calls = [((f"/proc/self/fd/{fd}", path), _type_argument(fs, path)) for _, fd, _, _, path in group]
                done = _each(fs, "put_file", calls)
                for (index, _, url, _, _), outcome in zip(group, done):
                    if isinstance(outcome, BaseException):
                        results[index] = _as_os_error(outcome, "write", url)
        finally:
            for _, fd, _, _, _ in opened:
                os.close(fd)
    return results




@dataclass(frozen=True)
class Copy:
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
            existing[root] = listing(storage, root) if root else {}
        return existing[root].get(name) == (source.size, source.etag)

    def outcome(copy: Copy, failure: Optional[BaseException]) -> None:
        if failure is None:
            mirrored.copied += 1
            return
        mirrored.failed += 1
        why = failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure)
        emit(Report(copy.name, False, error=why, input_error=True, data={"mirrored": "file"}))

    for start in range(0, len(copies), _OPEN_AT_ONCE):
        round_ = []
        for copy in copies[start:start + _OPEN_AT_ONCE]:
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
    writer = BatchWriter()
    staged: list[Copy] = []
    sources = [c.source for c in copies if isinstance(c.source, ObjectFile)]
    got = read_many(storage, [(s.url, s.size) for s in sources], _WHOLE_FILE, what="the file", flag="")
    try:
        for copy, data in zip(copies, got):
            if isinstance(data, BaseException):
                outcome(copy, data)
                continue
            assert isinstance(copy.target, Path)
            try:
                if writer.stage(copy, [(copy.target, data)], in_tree=tree):
                    staged.append(copy)
                else:
                    mirrored.unchanged += 1
            except OSError as exc:
                outcome(copy, OSError(exc.errno, f"cannot copy to {display(copy.target)}: {exc.strerror or exc}"))
        failures = writer.commit()
    except BaseException:
        writer.discard()
        raise
    for copy in staged:
        outcome(copy, failures.get(copy))


def write_groups(storage: Storage, groups: Sequence[Sequence[tuple[str, bytes]]]) -> list[Optional[BaseException]]:
    """Write groups of objects (a page's store, then the page): each group's last object only once the
    others are written, so that a page never names a store that is not there yet. Each group's first
    failure, or None."""
    failed: list[Optional[BaseException]] = [None] * len(groups)
    first = [(number, item) for number, group in enumerate(groups) for item in group[:-1]]
    for (number, _), failure in zip(first, write_many(storage, [item for _, item in first])):
        failed[number] = failed[number] or failure
    last = [number for number, group in enumerate(groups) if group and failed[number] is None]
    for number, failure in zip(last, write_many(storage, [groups[n][-1] for n in last])):
        failed[number] = failure
    return failed


def prune(storage: Storage, output: str, in_source: Callable[[str], bool], mirrored: Mirrored,
          emit: Callable[[Report], None]) -> None:
    """`--delete` below an output prefix: every object whose path below it is no longer in the source
    goes (a store beside a page stays with its page), each deleted by its own request, concurrently."""
    from brevane_tools.files.mirroring import STORE_SUFFIX

    try:
        tree = find(storage, output.rstrip("/") + "/", ())
    except FileNotFoundError:
        return  # an empty prefix: nothing to delete
    fs, _ = storage.filesystem(output)
    gone = [found for found in tree.others if not in_source(found.relative) and not (
        found.relative.endswith(STORE_SUFFIX) and in_source(found.relative[: -len(STORE_SUFFIX)]))]
    paths = [storage.filesystem(found.url)[1] for found in gone]
    for found, failure in zip(gone, _each(fs, "rm_file", [((path,), {}) for path in paths])):
        if isinstance(failure, BaseException):
            mirrored.failed += 1
            why = _as_os_error(failure, "delete", found.url)
            emit(Report(escape(found.url), False, error=str(why), input_error=True, data={"mirrored": "deleted"}))
            continue
        mirrored.deleted += 1
        emit(Report(escape(found.url), True, text="deleted: no longer in the source", data={"mirrored": "deleted"}))
