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

import contextlib
import itertools
import json
import mimetypes
import os
import posixpath
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NamedTuple, Optional, Union
from urllib.parse import unquote_to_bytes, urlsplit

from brevane_tools.errors import PageTooLarge, UsageError
from brevane_tools.limits import STORE_MEDIA_TYPE, STORE_SUFFIX
from brevane_tools.text import escape, one_line

__all__ = [
    "ObjectFile", "ObjectPage", "ObjectTree", "Storage", "each_call", "find", "is_object_url", "join", "listed", "local_path",
    "media_type_argument", "os_error", "read_many", "write_groups", "write_many",
]

#: The characters of a URL scheme after its first, a letter.
_SCHEME = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-")
#: Requests one worker keeps in flight at once.
CONCURRENCY = 32
#: Media types the filesystems below are told of, where the name alone does not say it.
_MEDIA_TYPES = {STORE_SUFFIX: STORE_MEDIA_TYPE}
#: How each filesystem takes an object's media type on a write; others keep their default.
_MEDIA_TYPE_ARGUMENT = {"s3": "ContentType", "s3a": "ContentType", "gs": "content_type", "gcs": "content_type"}

def scheme(argument: str) -> Optional[str]:
    """The scheme of a URL (in lower case), or None for a path."""
    name, colon, _ = argument.partition("://")
    if colon and name[:1].isalpha() and name[:1].isascii() and _SCHEME.issuperset(name):
        return name.lower()
    return None


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


class Storage(NamedTuple):
    """The fsspec options of a run (JSON text): handed to every filesystem it opens, in every worker."""

    options: str = "{}"  # may hold a key and a secret: never in the repr

    def __repr__(self) -> str:
        return "Storage()"

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

            options = json.loads(self.options)
            if scheme(url) in ("s3", "s3a"):
                # botocore keeps 10 connections by default: a round of CONCURRENCY requests would queue.
                config = options.setdefault("config_kwargs", {})
                if isinstance(config, dict):
                    config.setdefault("max_pool_connections", CONCURRENCY)
            return url_to_fs(url, **options)  # type: ignore[no-any-return]
        except ImportError as exc:
            raise UsageError(
                f"{escape(url)}: object storage needs fsspec and the package of its filesystem "
                f"(pip install 'brevane[storage]'): {exc}"
            ) from None
        except ValueError as exc:  # an unknown protocol, options it refuses
            raise UsageError(f"{escape(url)}: {exc}") from None


class ObjectFile(NamedTuple):
    """An object found below a prefix."""

    url: str
    relative: str  # below the argument that named it, as a POSIX path
    size: int
    etag: Optional[str] = None


class ObjectTree:
    def __init__(self, root: str) -> None:
        self.root = root
        self.pages: list[ObjectFile] = []
        self.others: list[ObjectFile] = []


class ObjectPage(NamedTuple):
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
    tree = ObjectTree(url)
    for page, found in listed(storage, url, suffixes):
        (tree.pages if page else tree.others).append(found)
    return tree


def listed(storage: Storage, url: str, suffixes: Sequence[str]) -> Iterator[tuple[bool, ObjectFile]]:
    """The objects below `url` in the order of their names, one at a time, each said a page (by its name)
    or not; or the one object it names (a page, whatever its name). FileNotFoundError when there is neither.

    Where the store lists a prefix a page of names at a time (S3, a thousand a request), the names are
    read so, as they are wanted: a prefix of any size is never listed whole in memory."""
    fs, path = storage.filesystem(url)
    path = path.rstrip("/")
    lowered = tuple(s.lower() for s in suffixes)
    try:
        entries = _entries(fs, path)
        first = next(entries, None)
        if first is None or first[0] == path:  # a name sorts before the names below it
            info = first[1] if first is not None else fs.info(path) if fs.isfile(path) else None
            if info is None:
                raise FileNotFoundError
            # The URL names one object: a page, whatever its name, as a file argument is.
            yield True, ObjectFile(url, posixpath.basename(path), int(info.get("size") or 0), _etag(info))
            return
        for name, info in itertools.chain([first], entries):
            relative = name[len(path) + 1:]
            if not name.startswith(path + "/") or not relative or relative.endswith("/") or info.get("type") != "file":
                continue  # a "directory" placeholder some tools make
            found = ObjectFile(join(url, relative), relative, int(info.get("size") or 0), _etag(info))
            yield relative.lower().endswith(lowered), found
    except FileNotFoundError:
        raise FileNotFoundError(f"{escape(url)}: no such object or prefix") from None
    except OSError as exc:
        raise OSError(exc.errno, f"{escape(url)}: cannot list the objects: {exc.strerror or exc}") from None
    except (TypeError, AttributeError) as exc:  # an option of the wrong type, found out at the first request
        raise UsageError(f"{escape(url)}: its filesystem cannot use these --storage-options: {exc}") from None
    except Exception as exc:  # noqa: BLE001 - the filesystem's own: no credentials, no endpoint, no bucket
        raise UsageError(f"{escape(url)}: cannot list the objects: {one_line(str(exc)) or type(exc).__name__}") from None


def _entries(fs: Any, path: str) -> Iterator[tuple[str, dict[str, Any]]]:
    """(name, info) of every object below `path`, sorted by name; a page of a paged listing at a time."""
    pager = getattr(getattr(fs, "_iterdir", None), "__code__", None)
    if getattr(fs, "async_impl", False) and hasattr(fs, "split_path") and pager is not None and \
            {"delimiter", "prefix"} <= set(pager.co_varnames):
        # s3fs: one listing without a delimiter, read a page at a time (S3 gives keys in the order
        # of their UTF-8 bytes, which is the order of their code points, as sorted() gives them).
        # Its older releases lack this pager, and list the whole prefix below.
        from fsspec.asyn import sync

        bucket, key, _ = fs.split_path(path)
        pages = fs._iterdir(bucket, delimiter="", prefix=f"{key}/" if key else "")

        async def some() -> list[dict[str, Any]]:
            got: list[dict[str, Any]] = []
            with contextlib.suppress(StopAsyncIteration):
                while len(got) < 1000:
                    got.append(await pages.__anext__())
            return got

        while batch := sync(fs.loop, some):
            yield from ((info["name"], info) for info in batch)
        return
    listing = fs.find(path, detail=True, withdirs=False)
    yield from ((name, listing[name]) for name in sorted(listing))


#: A call of a filesystem method: its arguments, and its keyword arguments.
_Call = tuple[tuple[Any, ...], dict[str, Any]]


def each_call(places: Sequence[tuple[Any, str]], method: str, call: Callable[[Any, str, int], _Call]) -> list[Any]:
    """Call `method` once for each (filesystem, path), with the arguments `call(fs, path, number)` gives:
    each result, or the exception it raised, in order.

    On an asynchronous filesystem the calls run concurrently, CONCURRENCY at a
    time, on the filesystem's own event loop; on another, one after the other."""
    results: list[Any] = [None] * len(places)
    groups: dict[int, list[int]] = {}
    for number, (fs, _) in enumerate(places):
        groups.setdefault(id(fs), []).append(number)
    for numbers in groups.values():
        fs = places[numbers[0]][0]
        for number, result in zip(numbers, _calls(fs, method, [call(fs, places[n][1], n) for n in numbers])):
            results[number] = result
    return results


def _calls(fs: Any, method: str, calls: Sequence[_Call]) -> list[Any]:
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


def os_error(exc: BaseException, doing: str, url: str) -> BaseException:
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
    hint = f" ({flag})" if flag else ""
    within = [index for index, (_, size) in enumerate(wanted) if size is None or size <= limit]
    # One byte past the limit is enough to tell an object that grew since it was listed.
    got = dict(zip(within, each_call([storage.filesystem(wanted[i][0]) for i in within], "cat_file",
                                     lambda _fs, path, _n: ((path,), {"start": 0, "end": limit + 1}))))
    results: list[Union[bytes, BaseException]] = []
    for index, (url, size) in enumerate(wanted):
        data = got.get(index)
        if data is None:
            results.append(PageTooLarge(f"{what} is {size:,} bytes, over the limit of {limit:,}{hint}"))
        elif isinstance(data, BaseException):
            results.append(os_error(data, "read", url))
        elif len(data) > limit:
            results.append(PageTooLarge(f"{what} is over the limit of {limit:,} bytes{hint}"))
        else:
            results.append(bytes(data))
    return results


def media_type(name: str) -> str:
    suffix = posixpath.splitext(name)[1].lower()
    return _MEDIA_TYPES.get(suffix) or mimetypes.guess_type(name)[0] or "application/octet-stream"


def media_type_argument(fs: Any, name: str) -> dict[str, str]:
    protocols = fs.protocol if isinstance(fs.protocol, (tuple, list)) else (fs.protocol,)
    argument = next((_MEDIA_TYPE_ARGUMENT[p] for p in protocols if p in _MEDIA_TYPE_ARGUMENT), None)
    return {argument: media_type(name)} if argument else {}


def write_many(storage: Storage, items: Sequence[tuple[str, bytes]]) -> list[Optional[BaseException]]:
    """Write each (URL, bytes) as one object, in one request each, concurrently; None for each one written."""
    done = each_call([storage.filesystem(url) for url, _ in items], "pipe_file",
                     lambda fs, path, n: ((path, items[n][1]), media_type_argument(fs, path)))
    return [os_error(outcome, "write", url) if isinstance(outcome, BaseException) else None
            for (url, _), outcome in zip(items, done)]


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
