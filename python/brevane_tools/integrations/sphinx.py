"""Sphinx extension: sign every page of an HTML build with a C2PA manifest.

In conf.py:

    extensions = ["brevane_tools.sphinx"]
    brevane_manifest = "c2pa/manifest.json"   # or the definition itself, as a dict
    brevane_cert = "c2pa/chain.pem"
    brevane_key = "c2pa/signer.key"           # or brevane_signer_command

After a successful build by the html, dirhtml or singlehtml builder, the output
directory is signed in place by `brevane sign` (see docs/integrations/sphinx.md
for every setting). Settings are checked when the builder starts, before any
document is read: a wrong one stops the build with one line and exit status 2
(an exception would have Sphinx print a bug report around it). Other
builders (latex, linkcheck, epub...) neither check nor sign, so they run on
machines without the signing key. A failed build is never signed; a page that
cannot be signed fails the build with one line naming it and `brevane_exclude`.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Optional

from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.display import status_iterator

import brevane

from brevane_tools.commands.base import Report, UsageError
from brevane_tools.files.finding import find_pages
from brevane_tools.integrations.site import SigningFailed, SiteSigning, check, counts, sign_site

logger = logging.getLogger(__name__)

#: The builders whose output is a directory of HTML pages served as they are.
HTML_BUILDERS = ("html", "dirhtml", "singlehtml")

#: conf.py name, default, and the types Sphinx accepts for it.
_CONFIG: dict[str, tuple[Any, Any]] = {
    "brevane_enabled": (True, (bool,)),
    "brevane_manifest": (None, (str, dict, type(None))),
    "brevane_cert": (None, (str, type(None))),
    "brevane_key": (None, (str, type(None))),
    "brevane_signer_command": (None, (str, type(None))),
    "brevane_form": ("link", (str,)),
    "brevane_href": (None, (str, type(None))),
    "brevane_alg": ("sha256", (str,)),
    "brevane_signing_alg": ("es256", (str,)),
    "brevane_tsa_url": (None, (str, type(None))),
    "brevane_jobs": (1, (int,)),
    "brevane_skip_valid": (True, (bool,)),
    "brevane_replace": (False, (bool,)),
    "brevane_exclude": ((), (list, tuple)),
}

#: How the sign command's flags are set in conf.py, for its messages.
_NAMES = {
    "--exclude": "brevane_exclude in conf.py",
    "--replace": "brevane_replace = True",
    "--tsa-url URL (or ta_url in the manifest definition)": "brevane_tsa_url (or ta_url in the manifest definition)",
}


def _settings(app: Sphinx) -> SiteSigning:
    return SiteSigning.named(lambda name: getattr(app.config, f"brevane_{name}"), Path(app.confdir))


def _signs(app: Sphinx) -> bool:
    return bool(app.config.brevane_enabled) and app.builder.name in HTML_BUILDERS


def _check_settings(app: Sphinx) -> None:
    if not _signs(app):
        return
    try:
        check(_settings(app))
    except UsageError as exc:
        logger.error("brevane: %s", exc)
        raise SystemExit(2) from None


class _Progress:
    """Sphinx's own progress line, fed one page at a time as the runner finishes it.

    `status_iterator` pulls from an iterable; the runner pushes reports. The
    feed below hands it the latest report each time it is advanced.
    """

    def __init__(self, site: Path, total: int, verbosity: int) -> None:
        self._latest: Optional[Report] = None
        self._open = True
        self._lines = status_iterator(self._feed(), "signing pages... ", "darkgreen", total, verbosity,
                                      lambda report: os.path.relpath(report.path, site))

    def _feed(self) -> Iterator[Report]:
        while self._open:
            assert self._latest is not None
            yield self._latest

    def __call__(self, report: Report) -> None:
        self._latest = report
        next(self._lines)

    def close(self) -> None:
        self._open = False
        next(self._lines, None)  # ends the line


def _sign_output(app: Sphinx, exception: Optional[BaseException]) -> None:
    if exception is not None or not _signs(app):
        return
    site = Path(app.outdir)
    total = sum(1 for _ in find_pages([str(site)]))
    if total == 0:
        return
    progress = _Progress(site, total, app.verbosity)
    try:
        reports = sign_site(_settings(app), site, progress, _warn, _NAMES)
    except (SigningFailed, UsageError) as exc:
        progress.close()
        # An error and a failing status, as for a broken document: no traceback.
        logger.error("brevane: %s", exc)
        app.statuscode = 1
        return
    progress.close()
    logger.info("brevane: %s in %s", counts(reports), site)


def _warn(text: str) -> None:
    # suppress_warnings = ["brevane"] silences them, as any other kind of warning.
    logger.warning("brevane: %s", text, type="brevane", subtype="signing")


def setup(app: Sphinx) -> dict[str, Any]:
    for name, (default, types) in _CONFIG.items():
        # "" : changing how pages are signed needs no re-read of the sources.
        app.add_config_value(name, default, "", types)
    app.connect("builder-inited", _check_settings)
    app.connect("build-finished", _sign_output)
    return {"version": brevane.__version__, "parallel_read_safe": True, "parallel_write_safe": True}
