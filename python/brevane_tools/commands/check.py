"""The `check` and `show` commands: validate signed pages where they live, and say what they carry.

Both take files, directories and http(s) URLs. A page that references its store
is checked with the store its own `href` names (resolved as a browser would);
a URL page may also name its store in an HTTP `Link` header. Nothing is written.
"""

from __future__ import annotations

import argparse
import json
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

from brevane_tools import checking, sdk, trust
from brevane_tools.commands import summary
from brevane_tools.commands.base import Command, Outcome, Page, PageFailed, Report, UsageError, parse_size
from brevane_tools.files import objects
from brevane_tools.files.reading import read_option_file
from brevane_tools.limits import DEFAULT_MAX_STORE_SIZE, DEFAULT_REDIRECTS, DEFAULT_TIMEOUT
from brevane_tools.report import check_report_path, write_report
from brevane_tools.signing.definition import HTML_FORMAT
from brevane_tools.store_location import Site, page_site
from brevane_tools.text import escape

if TYPE_CHECKING:  # remote needs requests, which comes with the SDK's extra (prepare loads it)
    from brevane_tools.remote import FetchLimits


@dataclass(frozen=True)
class CheckSettings:
    store: Optional[bytes] = None
    policy: Optional[trust.TrustPolicy] = None
    site_root: Optional[Path] = None
    #: Where the header form's stores lie, when not beside their pages: a directory, or a prefix in object storage.
    store_dir: Union[Path, Site, None] = None
    limits: Optional[FetchLimits] = None  # None: the defaults
    detailed: bool = False
    report: Optional[Path] = None  # check --report: the site report, written after the batch


def add_trust_arguments(parser: argparse.ArgumentParser) -> None:
    """The trust flags, shared by every command that validates with the SDK."""
    for flag, what in (("--trust-anchors", "PEM root certificates to trust (replace the SDK's anchors)"),
                       ("--allowed-list", "PEM signing certificates (or their hashes) to trust as such"),
                       ("--trust-config", "extended key usages (object identifiers) to accept"),
                       ("--settings", f"the C2PA SDK's settings (JSON); default: the file that ${trust.SETTINGS_ENV} "
                                      "names")):
        parser.add_argument(flag, metavar="FILE", help=what)


def trust_policy_from(args: argparse.Namespace) -> Optional[trust.TrustPolicy]:
    """The trust flags' policy (None: the SDK's defaults); raises UsageError or SdkUnavailableError (exit status 2)."""
    policy = trust.load_trust_policy(trust_anchors=args.trust_anchors, allowed_list=args.allowed_list,
                                     trust_config=args.trust_config, settings=args.settings)
    return None if policy == trust.TrustPolicy() else policy


def _positive(kind: type) -> Any:
    def parse(text: str) -> Any:
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError(f"must be above zero: {text}")
        return value

    return parse


def _arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--store", metavar="FILE", help="the Manifest Store to check one page against, instead of its own"
    )
    parser.add_argument(
        "--site-root",
        metavar="DIR",
        help="where hrefs that start with '/' lead (default: the directory argument, or the page's own)",
    )
    parser.add_argument(
        "--store-dir", metavar="DIR",
        help="where the stores of pages without a manifest element lie (the header form), mirroring the "
        "pages' paths below the site root (default: PAGE.c2pa beside each page)",
    )
    add_trust_arguments(parser)
    web = parser.add_argument_group("fetching over http(s)")
    web.add_argument("--timeout", type=_positive(float), default=DEFAULT_TIMEOUT, metavar="SECONDS",
                     help="for each whole fetch (default 20)")
    web.add_argument("--allow-private-hosts", action="store_true",
                     help="fetch stores from loopback, private and link-local addresses too")
    web.add_argument("--max-redirects", type=int, default=DEFAULT_REDIRECTS, metavar="N",
                     help=f"default {DEFAULT_REDIRECTS}")
    # Fetched pages take the runner's --max-page-size, as pages on disk do.
    web.add_argument("--max-store-size", type=parse_size, default=DEFAULT_MAX_STORE_SIZE, metavar="SIZE",
                     help="larger Manifest Stores fail, on the web or on disk (default 16M)")


def _prepare(args: argparse.Namespace) -> CheckSettings:
    if args.store and (len(args.paths) != 1 or Path(args.paths[0]).is_dir()):
        raise UsageError(
            "--store takes exactly one page (pages that reference their stores are checked with their own)"
        )
    if args.max_redirects < 0:
        raise UsageError("--max-redirects must not be negative")
    store_dir: Union[Path, Site, None] = None
    if args.store_dir and objects.is_object_url(args.store_dir):
        store_dir = Site(prefix=args.store_dir, storage=args.storage)  # the options as the command line read them
    elif args.store_dir:
        store_dir = Path(args.store_dir)
        if not store_dir.is_dir():
            raise UsageError(f"the store directory {escape(args.store_dir)} is not a directory")
    store = read_option_file(args.store, "store") if args.store else None
    policy = trust_policy_from(args)
    report = check_report_path(args.report, args.paths, args.extensions) if vars(args).get("report") else None
    sdk.load()  # what the arguments get wrong is said first; then whether anything can be checked here at all
    from brevane_tools.remote import FetchLimits  # it needs requests, which comes with the SDK

    limits = FetchLimits(args.max_page_size, args.max_store_size, args.timeout, args.max_redirects,
                         args.allow_private_hosts)
    site_root = Path(args.site_root) if args.site_root else None
    return CheckSettings(store, policy, site_root, store_dir, limits, bool(getattr(args, "detailed", False)), report)


def check(page: Page, settings: CheckSettings, report: bool = False) -> checking.CheckResult:
    """The verdict on one page handed over by the runner (a file's bytes, or a URL)."""
    if page.url is not None:
        return checking.check_url(page.url, settings.store, policy=settings.policy, limits=settings.limits,
                                  report=report)
    assert page.html is not None
    where = page_site(page.objects, page.path, settings.site_root or page.root)
    if settings.store is not None or where is None:
        return checking.check_page(page.html, settings.store, policy=settings.policy, report=report)
    return checking.check_file(where[0], page.html, site_root=where[1], policy=settings.policy,
                               limits=settings.limits, report=report, store_dir=settings.store_dir)


def _check(page: Page, settings: CheckSettings) -> Outcome:
    result = check(page, settings)
    if not result.ok:
        raise PageFailed(result.describe(), result.as_dict())
    return Outcome(result.describe(), result.as_dict())


def _check_arguments(parser: argparse.ArgumentParser) -> None:
    _arguments(parser)
    parser.add_argument(
        "--report", metavar="FILE", help="also write a site report: one HTML file to open in a browser"
    )


def _finish(settings: CheckSettings, reports: Sequence[Report]) -> None:
    if settings.report is not None:
        try:
            write_report(settings.report, reports)
        except OSError as exc:
            raise UsageError(f"{settings.report}: cannot write the report: {exc.strerror or exc}") from None


CHECK: Command[CheckSettings] = Command(
    "check", summary("check"),
    _check_arguments, _prepare, _check, urls=True, finish=_finish, needs_pages=True,
)


def _show_arguments(parser: argparse.ArgumentParser) -> None:
    _arguments(parser)
    parser.add_argument(
        "--detailed", action="store_true", help="also the whole manifest store, as the SDK reads it"
    )


def _show(page: Page, settings: CheckSettings) -> Outcome:
    result = check(page, settings, report=True)
    data = {**result.as_dict(), "manifest_report": result.report}
    text = describe_manifest(result)
    if settings.detailed:
        data["manifest_store"] = result.detailed
        text += "\n" + json.dumps(result.detailed, indent=2)  # JSON escapes every control character itself
    return Outcome(text, data, multiline=True)


def describe_manifest(result: checking.CheckResult) -> str:
    """What the active manifest says, for people: a headline, then one fact per line."""
    detailed = result.detailed
    label = detailed.get("active_manifest")
    manifest = sdk.active_manifest(detailed)
    claim = manifest.get("claim", {})
    assertions = manifest.get("assertion_store", {})
    reported = sdk.active_manifest(result.report)
    where = checking.SOURCE_WORDS.get(result.source, result.source)
    signer = result.signer or {}
    signed_by = f"{signer.get('subject') or '?'}, issued by {signer.get('issuer') or '?'}" if signer else "-"
    facts = [
        ("manifest", str(label)),
        ("title", result.title or "(none)"),
        # A version 2 claim leaves the format out: the page's is the one it was signed and read as.
        ("format", str(reported.get("format") or claim.get("dc:format") or HTML_FORMAT)),
        ("generator", result.claim_generator or "(not stated)"),
        ("signer", signed_by),
        ("signed at", result.signed_at or "(not time-stamped)"),
        ("actions", ", ".join(_actions(assertions)) or "(none)"),
        ("ingredients", ", ".join(_ingredients(reported)) or "(none)"),
        ("store", f"{where} {result.store_location or ''}".rstrip()),
    ]
    # Each line is escaped on its own: a title or a signer's name must not make lines of its own.
    lines = [f"{result.state}"] + [f"  {name:<12} {escape(value)}" for name, value in facts]
    active = detailed.get("validation_results", {}).get("activeManifest", {})
    for kind, mark in (("success", "ok"), ("informational", "info"), ("failure", "FAILED")):
        for entry in active.get(kind, []):
            code = entry.get("code", "")
            shown = "waived" if kind == "failure" and code in result.waived else mark
            lines.append(escape(f"  {shown:<7} {code}: {entry.get('explanation', '')}"))
    if result.verdict != "match":
        lines.append(escape(f"  FAILED  brevane: {result.verdict}"))
    if result.waived:
        lines.append(f"  note    {checking.WAIVER_REASON}")
    lines += [escape(f"  warning {w}") for w in result.warnings]
    return "\n".join(lines)


def _actions(assertions: dict[str, Any]) -> list[str]:
    found: list[str] = []
    for label, data in assertions.items():
        if label.split("__")[0] in ("c2pa.actions", "c2pa.actions.v2") and isinstance(data, dict):
            for action in data.get("actions", []):
                if isinstance(action, dict):
                    when = f" at {action['when']}" if action.get("when") else ""
                    found.append(f"{action.get('action', '?')}{when}")
    return found


def _ingredients(reported: dict[str, Any]) -> list[str]:
    found: list[str] = []
    for ingredient in reported.get("ingredients", []):
        if isinstance(ingredient, dict):
            title = ingredient.get("title") or "untitled"
            relationship = ingredient.get("relationship", "componentOf")
            found.append(f"{title!r} ({relationship}, {ingredient.get('format', 'format not stated')})")
    return found


SHOW: Command[CheckSettings] = Command(
    "show", summary("show"),
    _show_arguments, _prepare, _show, urls=True, needs_pages=True,
)
