"""Signing a generator's output directory: what the Sphinx extension and the
MkDocs plugin share.

Both hand the work to the `brevane sign` command through the runner
(`brevane_tools.cli.main`), so a site is signed exactly as `brevane sign DIR
--in-place` would sign it: same page discovery, same atomic writes, same
worker processes. The settings become that command's argument list, and
`check` runs the command's own `prepare` on it, so a wrong setting is caught
with the command's own message before the generator builds anything.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import tempfile
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional, Union

from brevane_tools import cli
from brevane_tools.commands.sign import SIGN
from brevane_tools.commands.base import Report, UsageError
from brevane_tools.limits import HASH_ALGS

__all__ = ["FORMS", "SiteSigning", "SigningFailed", "check", "sign_site"]

FORMS = ("inline", "reference")


class SigningFailed(Exception):
    """Some pages of the site could not be signed; the message says how many and why."""


@dataclass(frozen=True)
class SiteSigning:
    """The signing settings of a site, named as in conf.py and mkdocs.yml.

    Relative paths are relative to `base`, the directory of the generator's
    configuration file.
    """

    manifest: Union[str, Mapping[str, Any], None]  # a definition, or the path of its JSON file
    cert: Optional[str]
    key: Optional[str] = None
    signer_command: Optional[str] = None
    form: str = "inline"
    href: Optional[str] = None  # the reference form's link: a template with {path} and {name}
    alg: str = "sha256"
    signing_alg: str = "es256"
    tsa_url: Optional[str] = None
    jobs: int = 1
    skip_valid: bool = True
    base: Path = Path()


@contextlib.contextmanager
def _manifest_file(settings: SiteSigning) -> Iterator[str]:
    """The manifest definition as a file path: the given one, or a temporary copy of a dict."""
    manifest = settings.manifest
    if not isinstance(manifest, Mapping):
        yield str(settings.base / str(manifest))
        return
    try:
        text = json.dumps(manifest)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"the manifest definition cannot be written as JSON: {exc}") from None
    fd, name = tempfile.mkstemp(prefix="brevane-manifest-", suffix=".json")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
        yield name
    finally:
        os.unlink(name)


def _argv(settings: SiteSigning, site: Path, manifest_file: str) -> list[str]:
    """The `brevane sign` arguments for these settings; raises UsageError for a wrong one."""
    if settings.manifest is None:
        raise UsageError("no manifest definition is set (a dict, or the path of a JSON file)")
    if not settings.cert:
        raise UsageError("no certificate chain is set (a PEM file, signer first)")
    if bool(settings.key) == bool(settings.signer_command):
        raise UsageError("set either a private key file or a signer command, not both and not neither")
    if settings.form not in FORMS:
        raise UsageError(f"the form must be 'inline' or 'reference', not {settings.form!r}")
    if settings.alg not in HASH_ALGS:
        raise UsageError(f"the hash algorithm must be sha256, sha384 or sha512, not {settings.alg!r}")
    if isinstance(settings.jobs, bool) or not isinstance(settings.jobs, int) or settings.jobs < 0:
        raise UsageError(f"jobs must be a whole number, 0 for one per CPU, not {settings.jobs!r}")
    argv = ["sign", str(site), "--in-place", "--quiet", "--jobs", str(settings.jobs)]
    argv += ["--manifest", manifest_file, "--cert", str(settings.base / settings.cert)]
    argv += ["--alg", settings.alg, "--signing-alg", settings.signing_alg]
    if settings.key:
        argv += ["--key", str(settings.base / settings.key)]
    else:
        argv += ["--signer-command", str(settings.signer_command)]
    if settings.form == "reference":
        argv += ["--reference"]
        if settings.href:
            argv += ["--href", settings.href]
    elif settings.href:
        raise UsageError("an href is for the reference form: set the form to 'reference'")
    if settings.tsa_url:
        argv += ["--tsa-url", settings.tsa_url]
    # Leaving pages alone whose binding still holds makes a rebuild sign only
    # what the generator rewrote.
    if settings.skip_valid:
        argv += ["--skip-valid"]
    return argv


def _parse(argv: list[str]) -> argparse.Namespace:
    errors = io.StringIO()
    try:
        with contextlib.redirect_stderr(errors):
            return cli.build_parser().parse_args(argv)
    except SystemExit:
        # argparse has printed "usage: ...\nbrevane sign: error: MESSAGE".
        message = errors.getvalue().strip().splitlines()[-1:] or ["invalid settings"]
        raise UsageError(message[0].split(" error: ", 1)[-1]) from None


def check(settings: SiteSigning) -> None:
    """Raise UsageError, with the sign command's message, if these settings cannot sign."""
    with _manifest_file(settings) as manifest_file:
        args = _parse(_argv(settings, Path("."), manifest_file))
        SIGN.prepare(args)


def sign_site(
    settings: SiteSigning, site: Path, on_report: Optional[Callable[[Report], None]] = None
) -> list[Report]:
    """Sign every page under `site` in place; raise SigningFailed if any page failed.

    A page that fails is left as the generator wrote it; `on_report` hears why.
    """
    reports: list[Report] = []

    def collect(report: Report) -> None:
        reports.append(report)
        if on_report is not None:
            on_report(report)

    errors = io.StringIO()
    with _manifest_file(settings) as manifest_file:
        argv = _argv(settings, site, manifest_file)
        # The runner's own lines (one per failed page, usage errors) are kept
        # for the message: the generator's logger tells the pages' fate.
        with contextlib.redirect_stderr(errors):
            status = cli.main(argv, on_report=collect)
    if status == cli.EXIT_OK:
        return reports
    failed = [r for r in reports if not r.ok]
    if not failed:
        lines = [line.removeprefix("brevane: ") for line in errors.getvalue().splitlines()]
        raise SigningFailed("; ".join(lines) or f"brevane sign exited with status {status}")
    # Each page's reason has gone to the caller's on_report already.
    raise SigningFailed(
        f"{len(failed)} of {len(reports)} pages could not be signed and are left as they were built"
    )
