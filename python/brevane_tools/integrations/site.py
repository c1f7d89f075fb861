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
from brevane_tools.errors import SigningFailed
from brevane_tools.limits import FORMS as CLI_FORMS, HASH_ALGS
from brevane_tools.text import one_line

__all__ = ["FORMS", "SiteSigning", "SigningFailed", "check", "counts", "sign_site"]

#: The forms of `brevane sign --form`, and "reference", the link form's older name.
FORMS = (*CLI_FORMS, "reference")
#: How many failed pages a failure message names before it counts the rest.
NAMED_FAILURES = 3


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
    form: str = "link"
    href: Optional[str] = None  # the store's URL (link and header forms): a template with {path} and {name}
    alg: str = "sha256"
    signing_alg: str = "es256"
    tsa_url: Optional[str] = None
    jobs: int = 1
    skip_valid: bool = True
    replace: bool = False  # drop a page's old manifest rather than keep it as the parent
    exclude: tuple[str, ...] = ()  # globs of pages published unsigned (`brevane sign --exclude`)
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
        raise UsageError(f"the form must be {', '.join(map(repr, CLI_FORMS[:-1]))} or {CLI_FORMS[-1]!r}, not {settings.form!r}")
    exclude = settings.exclude
    if isinstance(exclude, str) or not all(isinstance(glob, str) for glob in exclude):
        raise UsageError(f"exclude must be a list of globs, not {exclude!r}")
    if settings.alg not in HASH_ALGS:
        raise UsageError(f"the hash algorithm must be {', '.join(HASH_ALGS[:-1])} or {HASH_ALGS[-1]}, not {settings.alg!r}")
    if isinstance(settings.jobs, bool) or not isinstance(settings.jobs, int) or settings.jobs < 0:
        raise UsageError(f"jobs must be a whole number, 0 for one per CPU, not {settings.jobs!r}")
    argv = ["sign", str(site), "--in-place", "--quiet", "--jobs", str(settings.jobs)]
    argv += ["--manifest", manifest_file, "--cert", str(settings.base / settings.cert)]
    argv += ["--alg", settings.alg, "--signing-alg", settings.signing_alg]
    if settings.key:
        argv += ["--key", str(settings.base / settings.key)]
    else:
        argv += ["--signer-command", str(settings.signer_command)]
    form = "link" if settings.form == "reference" else settings.form
    argv += ["--form", form]
    if settings.href:
        if form == "inline":
            raise UsageError("an href names a store of its own: set the form to 'link' or 'header'")
        argv += ["--href", settings.href]
    if settings.tsa_url:
        argv += ["--tsa-url", settings.tsa_url]
    if settings.replace:
        argv += ["--replace"]
    for glob in exclude:
        argv += ["--exclude", glob]
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


def _glob(relative: str) -> str:
    """An --exclude glob that matches this page alone: its path from the root, glob characters quoted."""
    quoted = "".join(f"[{c}]" if c in "*?[" else c for c in relative)
    return quoted if "/" in quoted else "/" + quoted


def _failure(failed: list[Report], total: int, site: Path, exclude: str) -> str:
    """One line for the pages that could not be signed: which, why, and how to publish them unsigned."""
    named = [(os.path.relpath(r.path, site), one_line(r.error or "")) for r in failed[:NAMED_FAILURES]]
    if len(failed) == 1:
        (page, why), = named
        return f"cannot sign {page}: {why}; to publish it unsigned, add {json.dumps(_glob(page))} to {exclude}"
    listed = "; ".join(f"{page}: {why}" for page, why in named)
    more = f"; and {len(failed) - len(named):,} more" if len(failed) > len(named) else ""
    return (
        f"cannot sign {len(failed):,} of {total:,} pages ({listed}{more}); to publish a page unsigned, "
        f"add it to {exclude}"
    )


def counts(reports: list[Report]) -> str:
    """What became of a site's pages, for the generator's log."""
    signed = sum(1 for r in reports if r.ok and "kind" in r.data)
    skipped = sum(1 for r in reports if r.data.get("skipped"))
    excluded = sum(1 for r in reports if r.data.get("excluded"))
    return f"{signed} pages signed, {skipped} left alone (still valid)" + (f", {excluded} excluded" if excluded else "")


def sign_site(
    settings: SiteSigning,
    site: Path,
    on_report: Optional[Callable[[Report], None]] = None,
    on_warning: Optional[Callable[[str], None]] = None,
    names: Optional[Mapping[str, str]] = None,
) -> list[Report]:
    """Sign every page under `site` in place; raise SigningFailed if any page failed.

    A page that fails is left as the generator wrote it; `on_report` hears
    each page, and SigningFailed says in one line which failed and why.
    `on_warning` hears the sign command's warnings, its flags named as
    `names` says (the generator's own settings: {"--replace": "replace: true"}),
    and "--exclude" names the setting a failure message points to.
    """
    names = names or {}
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
    lines = [line.removeprefix("brevane: ") for line in errors.getvalue().splitlines()]
    warning = "warning: "
    for line in lines:
        if line.startswith(warning) and on_warning is not None:
            text = line[len(warning):]
            for flag, name in names.items():
                text = text.replace(flag, name)
            on_warning(text)
    if status == cli.EXIT_OK:
        return reports
    failed = [r for r in reports if not r.ok]
    if not failed:
        problems = [line for line in lines if not line.startswith(warning)]
        raise SigningFailed("; ".join(problems) or f"brevane sign exited with status {status}")
    raise SigningFailed(_failure(failed, len(reports), site, names.get("--exclude", "--exclude")))
