"""The commands of the `brevane` tool, one module per family, in one ordered registry.

The help text lists them in the order of `COMMANDS`, and nothing else lists them.
An entry names the module that holds its command and says what the command does:
only the command that a run asks for is imported, so `brevane --help` and a run
of one command load nothing of the others.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Union, cast

if TYPE_CHECKING:
    from brevane_tools.commands.base import Command

__all__ = ["COMMANDS", "Entry", "known", "named", "summary"]


class Entry(NamedTuple):
    """A command of the registry, not yet imported."""

    name: str
    module: str  # the module below brevane_tools.commands that defines it, as NAME in upper case
    summary: str

    def load(self) -> Command[Any]:
        return cast("Command[Any]", getattr(importlib.import_module(f"brevane_tools.commands.{self.module}"),
                                            self.name.upper()))


#: Entries, or commands made elsewhere (a program may add its own).
COMMANDS: tuple[Union[Entry, Command[Any]], ...] = (
    Entry("locate", "page", "print the byte range of every manifest element in the head"),
    Entry("extract", "page", "print the manifest association; with -o, write the store"),
    Entry("remove", "page", "remove every manifest element"),
    Entry("embed", "page", "embed a Manifest Store inline"),
    Entry("reference", "page", "reference an external Manifest Store by a link element"),
    Entry("hash", "page", "compute the c2pa.hash.data binding of a page that carries its manifest"),
    Entry("predict", "page", "the hash that an inline binding will have once a store is embedded"),
    Entry("verify", "page", "verify a c2pa.hash.data binding"),
    Entry("sign", "sign",
          "sign pages with a C2PA manifest: linked (by default), inline, or announced by an HTTP header"),
    Entry("check", "check", "validate signed pages (files, directories or URLs) with the C2PA SDK and with brevane"),
    Entry("show", "check",
          "print what the active manifest of pages (files or URLs) says: signer, time, title, actions"),
    Entry("audit", "audit", "audit a deployed site (a root, sitemaps, or pages with --crawl): every page as served, "
          "and what the deployment broke"),
)


def summary(name: str) -> str:
    """What the registry says the command of that name does."""
    for entry in COMMANDS:
        if entry.name == name:
            return entry.summary if isinstance(entry, Entry) else entry.help
    raise KeyError(name)


def named(name: str) -> Optional[Command[Any]]:
    """The command of that name (imported now if it was not), or None."""
    for entry in COMMANDS:
        if entry.name == name:
            return entry.load() if isinstance(entry, Entry) else entry
    return None


def known(name: str) -> bool:
    """Whether a command of that name exists, without importing it."""
    return any(entry.name == name for entry in COMMANDS)
