"""Signing a generator's output directory: what the Sphinx extension and the
MkDocs plugin share.

Both sign as `brevane sign DIR --in-place` would: the settings become the
sign command's options, which its own `prepare` checks with its own messages
(so `check` catches a wrong setting before the generator builds anything),
and the pages run through the runner: same page discovery, same atomic
writes, same worker processes. The run's warnings come back as texts.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any, Callable, Optional, Union

from brevane_tools.commands.base import Report
from brevane_tools.commands.sign import SIGN, SignOptions, finish, prepare
from brevane_tools.errors import SigningFailed, UsageError, run_error
from brevane_tools.files.temporaries import temporaries_removed_on_signals
from brevane_tools.limits import FORMS as CLI_FORMS, HASH_ALGS
from brevane_tools.runner import Plan, plan, run_batch
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

    @classmethod
    def named(cls, setting: Callable[[str], Any], base: Path) -> SiteSigning:
        """The settings as a generator holds them, each asked for by its name here (`setting("form")`)."""
        return cls(**{f.name: setting(f.name) for f in fields(cls) if f.name != "base"}, base=base)


def _options(settings: SiteSigning, site: Path) -> SignOptions:
    """The sign command's options for these settings; raises UsageError for a wrong one."""
    manifest = settings.manifest
    definition = None
    if isinstance(manifest, Mapping):
        try:
            definition = json.dumps(manifest)
        except (TypeError, ValueError) as exc:
            raise UsageError(f"the manifest definition cannot be written as JSON: {exc}") from None
    if manifest is None:
        raise UsageError("no manifest definition is set (a dict, or the path of a JSON file)")
    if not settings.cert:
        raise UsageError("no certificate chain is set (a PEM file, signer first)")
    if bool(settings.key) == bool(settings.signer_command):
        raise UsageError("set either a private key file or a signer command, not both and not neither")
    if settings.form not in FORMS:
        raise UsageError(f"the form must be {', '.join(map(repr, CLI_FORMS[:-1]))} or {CLI_FORMS[-1]!r}, "
                         f"not {settings.form!r}")
    exclude = settings.exclude
    if isinstance(exclude, str) or not all(isinstance(glob, str) for glob in exclude):
        raise UsageError(f"exclude must be a list of globs, not {exclude!r}")
    if settings.alg not in HASH_ALGS:
        raise UsageError(f"the hash algorithm must be {', '.join(HASH_ALGS[:-1])} or {HASH_ALGS[-1]}, "
                         f"not {settings.alg!r}")
    if isinstance(settings.jobs, bool) or not isinstance(settings.jobs, int) or settings.jobs < 0:
        raise UsageError(f"jobs must be a whole number, 0 for one per CPU, not {settings.jobs!r}")
    form = "link" if settings.form == "reference" else settings.form
    if settings.href and form == "inline":
        raise UsageError("an href names a store of its own: set the form to 'link' or 'header'")
    return SignOptions(
        (str(site),), "set in the configuration" if definition is not None else str(settings.base / str(manifest)),
        str(settings.base / settings.cert), key=str(settings.base / settings.key) if settings.key else None,
        signer_command=None if settings.key else settings.signer_command, in_place=True, definition=definition,
        alg=settings.alg, signing_alg=settings.signing_alg, tsa_url=settings.tsa_url or None,
        replace=settings.replace, form=form, href=settings.href or None,
        # Leaving pages alone whose binding still holds makes a rebuild sign only what the generator rewrote.
        skip_valid=settings.skip_valid,
    )


def check(settings: SiteSigning) -> None:
    """Raise UsageError, with the sign command's message, if these settings cannot sign."""
    prepare(_options(settings, Path(".")))


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

    sign = _options(settings, site)
    try:
        prepared = prepare(sign)
        run = Plan(SIGN, prepared, sign.paths, in_place=True, workers=settings.jobs or os.cpu_count() or 1,
                   exclude=tuple(settings.exclude))
        planned = plan(run)
        with temporaries_removed_on_signals():
            run_batch(run, planned, collect)
        warnings = finish(prepared, reports)
    except Exception as exc:  # noqa: BLE001 - what stops a whole run, said in one line as the command says it
        if isinstance(exc, UsageError):
            raise
        raise SigningFailed(run_error(exc)[1]) from None
    for text in warnings:
        for flag, name in names.items():
            text = text.replace(flag, name)
        if on_warning is not None:
            on_warning(text)
    failed = [r for r in reports if not r.ok]
    if failed:
        raise SigningFailed(_failure(failed, len(reports), site, names.get("--exclude", "--exclude")))
    return reports
