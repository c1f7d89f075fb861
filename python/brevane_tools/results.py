"""What a command made of one page (`Outcome`), and what became of it in a batch (`Report`).

Plain records, below the engines and the commands alike: the site report
renders `Report`s, the commands make `Outcome`s, the runner turns one into the other.
"""

from __future__ import annotations

import binascii
import json
import os
import typing
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, Optional, TextIO, TypeVar, Union, overload

from brevane_tools.errors import EXIT_FAILED, EXIT_INTERNAL, EXIT_OK, EXIT_USAGE
from brevane_tools.text import display

__all__ = ["JSON_SCHEMA", "Document", "Outcome", "Report", "Spool", "Tally", "raw_name", "summary"]

T = TypeVar("T")

#: The version of the --json document's layout (docs/json.md); raised when a field changes meaning.
JSON_SCHEMA = 1


class _Record:
    """A plain record: compared and shown by its fields (dataclasses would cost every start of the tool
    the import of `inspect`)."""

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and vars(other) == vars(self)

    __hash__ = None  # type: ignore[assignment]  # mutable, as a dataclass that is not frozen

    def __repr__(self) -> str:
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


class Outcome(_Record):
    """What a command made of one page.

    `text`: one line for people; `data`: the page's fields in --json output;
    `page`: the edited page, written to `Page.destination` (None leaves the page
    as it is); `files`: files written together with the page, all of them or
    none (a referenced store); `files_tree`: the tree (resolved) `files` lie in
    when it is not the page's (a store directory apart from the pages);
    `store`: bytes for `extract -o` (a Manifest Store); `multiline`: `text` is
    several lines, each escaped by the command, else one line, escaped when shown.
    """

    def __init__(
        self, text: str, data: Optional[dict[str, Any]] = None, page: Optional[bytes] = None,
        files: tuple[tuple[Path, bytes], ...] = (), files_tree: Optional[str] = None,
        store: Optional[bytes] = None, multiline: bool = False,
    ) -> None:
        self.text = text
        self.data: dict[str, Any] = {} if data is None else data
        self.page = page
        self.files = files
        self.files_tree = files_tree
        self.store = store
        self.multiline = multiline


class Report(_Record):
    """What became of one page, as the runner reports it (and hands to `on_report` and `finish`).

    `internal`: a fault of the tool, not of the page; `detail`: shown under
    --debug only (a traceback, a signer command's own words); `multiline`: as
    `Outcome.multiline`.
    """

    def __init__(
        self, path: str, ok: bool, text: str = "", error: Optional[str] = None, input_error: bool = False,
        data: Optional[dict[str, Any]] = None, stdout_bytes: Optional[bytes] = None, internal: bool = False,
        detail: Optional[str] = None, multiline: bool = False,
    ) -> None:
        self.path = path
        self.ok = ok
        self.text = text
        self.error = error
        self.input_error = input_error
        self.data: dict[str, Any] = {} if data is None else data
        self.stdout_bytes = stdout_bytes
        self.internal = internal
        self.detail = detail
        self.multiline = multiline

    def copied_to(self, how: str, destination: str) -> None:
        """A failed page of a mirror went to the output as it was ("unsigned", "unchanged"): say where."""
        self.error = f"{self.error}; copied {how} to {destination}"
        self.data.update(output=destination, copied=how)

    def not_copied(self, why: str) -> None:
        """A failed page of a mirror could not even be copied there."""
        self.error = f"{(self.error or '').split('; copied ')[0]}; not copied either: {why}"
        self.data.pop("copied", None)
        self.data.pop("output", None)


class Document:
    """A command's --json document, as `json.dump(..., indent=2)` writes it, streamed a page's entry at a
    time; nothing is written before the first entry or the end."""

    def __init__(self, command: str, out: TextIO) -> None:
        self.command, self.out = command, out
        self.entries = 0

    def add(self, report: Report) -> None:
        entry = {"path": report.path, "ok": report.ok, **({"error": report.error} if report.error else {}),
                 **({"internal": True} if report.internal else {}), **report.data}
        self._write(("," if self.entries else "") + "\n    " + json.dumps(entry, indent=2).replace("\n", "\n    "))
        self.entries += 1

    def close(self, rest: dict[str, Any]) -> None:
        """The end of the list of entries, then `rest`'s fields."""
        self._write(("\n  ]" if self.entries else "]") + ",\n" + json.dumps(rest, indent=2)[2:-2] + "\n}\n")

    def _write(self, text: str) -> None:
        if not self.entries:  # the first entry, or the end of a document without any
            self.out.write(f'{{\n  "schema": {JSON_SCHEMA},\n  "command": {json.dumps(self.command)},\n  "files": [')
        self.out.write(text)


class Tally:
    """What a batch's summary line and exit status need of its reports, counted as they come: a run
    of any size keeps a few numbers, not its reports."""

    def __init__(self, done: str = "ok") -> None:
        self.done = done
        self.counts: dict[str, int] = {}
        self.total = self.waived = self.failed = 0
        self.stated = self.internal = self.input_error = False

    def add(self, report: Report) -> None:
        if "state" in report.data:
            self.stated = True
            key = str(report.data["state"]).lower()
        elif report.internal:
            key = "internal errors"
        elif not report.ok:
            key = "failed"
        elif report.data.get("excluded"):
            key = "excluded"
        elif report.data.get("skipped"):
            key = "unchanged"
        else:
            key = self.done
        self.counts[key] = self.counts.get(key, 0) + 1
        self.total += 1
        self.waived += bool(report.data.get("waived"))
        self.failed += not report.ok
        self.internal |= report.internal
        self.input_error |= report.input_error

    def line(self) -> str:
        """One line for the batch: states when the command reports them, else what became of the pages.

        `done` names a page the command did its work on; a command that names it
        ("signed") always shows pages done, unchanged (still valid), excluded and
        failed; others show ok and failed, and excluded ones when there are any.
        """
        counts = self.counts
        if not self.stated:
            done = self.done
            order = [done, "unchanged", "excluded", "failed"] if done != "ok" else [done, "failed"]
            counts = {**{key: counts.get(key, 0) for key in order}, **counts}
        parts = ", ".join(f"{n:,} {key}" for key, n in counts.items())
        line = f"{self.total:,} page{'s' if self.total != 1 else ''}: {parts}"
        if self.waived:
            line += f" ({self.waived:,} inline, with the C2PA SDK's failure for inline stores waived)"
        return line

    def exit_code(self) -> int:
        """The run's exit status: internal errors first, then input errors, then failed pages."""
        if self.internal:
            return EXIT_INTERNAL
        if self.input_error:
            return EXIT_USAGE
        return EXIT_FAILED if self.failed else EXIT_OK


def raw_name(path: Optional[Path]) -> dict[str, str]:
    """A name shown with escapes (not UTF-8, or with control characters) also goes in the JSON exactly."""
    if path is None:
        return {}
    raw = os.fsencode(path)
    if display(path) == raw.decode("utf-8", "replace"):
        return {}
    return {"path_base64": binascii.b2a_base64(raw, newline=False).decode("ascii")}


def summary(reports: Iterable[Report], done: str = "ok") -> str:
    """The summary line of these reports (see `Tally.line`)."""
    tally = Tally(done)
    for report in reports:
        tally.add(report)
    return tally.line()


class Spool(typing.Sequence[T]):
    """Records (reports, pages, jobs) kept as they come, read back in order as often as asked: the first
    `HELD` in memory as they are, the rest pickled to a file on disk, so that what a run lists of its
    pages costs it a bounded amount of memory whatever their number, and a site of a few thousand
    pages nothing to pickle and read back."""

    HELD = 4096

    def __init__(self) -> None:
        self._held: list[T] = []
        self._file: Optional[typing.IO[bytes]] = None  # made with the first record past HELD
        self._count = 0

    def append(self, item: T) -> None:
        if self._count < self.HELD:
            self._held.append(item)
        else:
            # Loaded by a spool's first record past HELD: every smaller run (and every start of the
            # tool) spares the milliseconds they cost.
            import pickle
            import tempfile

            if self._file is None:
                self._file = tempfile.TemporaryFile()
            pickle.dump(item, self._file, pickle.HIGHEST_PROTOCOL)
        self._count += 1

    def extend(self, items: Iterable[T]) -> None:
        for item in items:
            self.append(item)

    def __len__(self) -> int:
        return self._count

    def __iter__(self) -> Iterator[T]:
        count, held = self._count, self._held  # what is there now: iterations may overlap with appends
        yield from held[: min(count, len(held))]
        if count > len(held) and self._file is not None:
            import pickle

            self._file.flush()
            reader = _Reader(self._file.fileno())  # an offset of its own: iterations may overlap
            for _ in range(count - len(held)):
                yield pickle.load(reader)  # noqa: S301 - written by this very process, just now

    @overload
    def __getitem__(self, index: int) -> T: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[T]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[T, Sequence[T]]:
        """By position (a walk through the spool: for the odd caller, not for every page)."""
        if isinstance(index, slice):
            return list(self)[index]
        if index < 0:
            index += self._count
        if 0 <= index < len(self._held):
            return self._held[index]
        for number, item in enumerate(self):
            if number == index:
                return item
        raise IndexError(index)

    def close(self) -> None:
        if self._file is not None:
            self._file.close()


class _Reader:
    """A file read from the start at an offset of its own (pread), as pickle reads it."""

    def __init__(self, fd: int) -> None:
        self.fd, self.offset = fd, 0

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            size = os.fstat(self.fd).st_size - self.offset
        data = os.pread(self.fd, size, self.offset)
        self.offset += len(data)
        return data

    def readline(self) -> bytes:
        line = b""
        while not line.endswith(b"\n"):
            chunk = os.pread(self.fd, 256, self.offset)
            if not chunk:
                break
            cut = chunk.find(b"\n") + 1 or len(chunk)
            line += chunk[:cut]
            self.offset += cut
        return line
