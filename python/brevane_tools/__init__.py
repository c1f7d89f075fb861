"""The publisher's toolkit around the brevane module.

`brevane` splices C2PA manifests into HTML pages byte for byte; this package
does the rest of a publisher's job with it: signing pages with a real C2PA
manifest (through the C2PA SDK, the optional extra `brevane[c2pa]`), checking
them later, and the `brevane` command-line tool for whole directories.

Its layers, bottom up; a module imports only from its own layer and those
below it (tests/python/test_tools_layers.py holds every module to its row):

    errors, text, sdk, results, limits, lazy
        every error and its exit status; text made safe for a terminal; the one
        door to the C2PA SDK; what became of a page; the defaults; lazy names
    head, files/
        the head's <base href> and <title>; finding, reading (one safe reader
        for pages and option files), writing and mirroring files, on disk and
        in object storage
    store_location, link_header
        where a page's store lies: one rule for check, sign and the hook; what a
        Link header names
    trust, store_reader, remote, signing/, checking, report
        the engines: bytes and settings in, results out
    auditing/
        a deployed site's pages as served, and what its deployment did to them
    commands/
        one module per family, one ordered registry
    batch
        the spine of a batch: its plan, its jobs, a chunk of pages run and written
    runner, object_runs, cluster, cli
        planning a batch over local trees and object prefixes, and running it (here,
        in worker processes, on a Dask cluster; --delete); argparse and output
    integrations/, sphinx, mkdocs, wsgi, asgi, __main__
        Sphinx, MkDocs, the pre-commit hook, the WSGI and ASGI middleware

The names below are loaded on first use, so importing the package (and
starting the command-line tool) costs next to nothing.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevane_tools import lazy

if TYPE_CHECKING:
    from brevane_tools.checking import CheckResult, check_file, check_page, check_url
    from brevane_tools.errors import SdkUnavailableError, SigningError
    from brevane_tools.signing import (
        PageFacts,
        Signed,
        SigningCallback,
        SigningCommand,
        SigningKey,
        inline_element_length,
        sign,
        sign_page,
        sign_page_with_reference,
    )
    from brevane_tools.trust import TrustPolicy

# Each name from its module.
_MODULES = {
    "checking": ("CheckResult", "check_file", "check_page", "check_url"),
    "errors": ("SdkUnavailableError", "SigningError"),
    "signing": ("PageFacts", "Signed", "SigningCallback", "SigningCommand", "SigningKey", "inline_element_length",
                "sign", "sign_page", "sign_page_with_reference"),
    "trust": ("TrustPolicy",),
}
_PUBLIC = {name: f"brevane_tools.{module}" for module, names in _MODULES.items() for name in names}

__all__ = [
    "CheckResult",
    "PageFacts",
    "SdkUnavailableError",
    "Signed",
    "SigningCallback",
    "SigningCommand",
    "SigningError",
    "SigningKey",
    "TrustPolicy",
    "check_file",
    "check_page",
    "check_url",
    "inline_element_length",
    "sign",
    "sign_page",
    "sign_page_with_reference",
]


__getattr__ = lazy.attributes(__name__, _PUBLIC)


def __dir__() -> list[str]:
    return sorted([*globals(), *_PUBLIC])
