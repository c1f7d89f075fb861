"""The `audit` command: a deployed site's pages as served, and what the deployment broke.

Unlike the other commands its pages are not known before it runs (sitemaps
name them, a crawl finds them), so it drives its own run (`Command.drive`):
the URLs are read into pages by `brevane_tools.auditing.crawling`, each page's
lines are printed as it finishes, and --json streams its document, so memory
stays flat however large the site. Exit status: 0 clean; 1 a finding at or
above --fail-on (default: error), or a page that could not be fetched; 2 bad
arguments, a sitemap that cannot be read, or no page audited at all; 3 an
internal error on some page.
"""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Callable, Optional
from urllib.parse import urlsplit

from brevane_tools import sdk
from brevane_tools.auditing.findings import CODES, SEVERITIES, at_least
from brevane_tools.auditing.sitemaps import SitemapError
from brevane_tools.commands import summary
from brevane_tools.commands.base import Command, Report, UsageError, count, parse_size
from brevane_tools.commands.check import add_trust_arguments, trust_policy_from
from brevane_tools.errors import EXIT_FAILED, EXIT_INTERNAL, EXIT_OK, EXIT_USAGE
from brevane_tools.limits import DEFAULT_MAX_PAGE_SIZE, DEFAULT_MAX_STORE_SIZE, DEFAULT_REDIRECTS, DEFAULT_TIMEOUT
from brevane_tools.report import check_report_path, write_report
from brevane_tools.results import Document
from brevane_tools.text import display, escape

if TYPE_CHECKING:  # the crawl loads once the arguments are good: it needs requests, which comes with the SDK
    from brevane_tools.auditing.crawling import AuditSettings, Totals, Visit

__all__ = ["AUDIT"]


@dataclass(frozen=True)
class AuditRun:
    """What `prepare` made of the arguments."""

    urls: tuple[str, ...]
    settings: AuditSettings
    fail_on: str = "error"
    json: bool = False
    quiet: bool = False
    debug: bool = False
    report: Optional[Path] = None


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected requests per second, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be above zero: {text}")
    return value


def _arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("urls", nargs="+", metavar="URL",
                        help="a site root (its robots.txt sitemaps, else /sitemap.xml), a sitemap (.xml, .xml.gz, "
                        "an index too), or a page (with --crawl, where a walk along same-origin links starts)")
    pages = parser.add_argument_group("which pages")
    pages.add_argument("--crawl", action="store_true", help="follow same-origin links from the pages named")
    pages.add_argument("--depth", type=count(0), default=3, metavar="N", help="links followed with --crawl (default 3)")
    pages.add_argument("--max-pages", type=count(1), default=10_000, metavar="N", help="audit at most N pages "
                       "(default 10000)")
    pages.add_argument("--allow-host", action="append", default=[], metavar="HOST",
                       help="also audit pages a sitemap names on this host (repeatable; default: the sitemap's own)")
    polite = parser.add_argument_group("politeness")
    polite.add_argument("--concurrency", type=count(1), default=4, metavar="N", help="fetches at once (default 4)")
    polite.add_argument("--rate", type=_rate, default=0.0, metavar="R",
                        help="requests a second to one host, at most (default: no limit)")
    parser.add_argument("--source", metavar="DIR", help="the signed output tree (its root at the URL path /): "
                        "a served page that fails its binding is compared with the signed one")
    add_trust_arguments(parser)
    web = parser.add_argument_group("fetching")
    web.add_argument("--timeout", type=_rate, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                     help="for each whole fetch (default 20)")
    web.add_argument("--allow-private-hosts", action="store_true",
                     help="fetch stores from loopback, private and link-local addresses too")
    web.add_argument("--max-redirects", type=count(0), default=DEFAULT_REDIRECTS, metavar="N",
                     help=f"default {DEFAULT_REDIRECTS}")
    web.add_argument("--max-page-size", type=parse_size, default=DEFAULT_MAX_PAGE_SIZE, metavar="SIZE",
                     help="larger pages fail (default 256M)")
    web.add_argument("--max-store-size", type=parse_size, default=DEFAULT_MAX_STORE_SIZE, metavar="SIZE",
                     help="larger Manifest Stores fail (default 16M)")
    out = parser.add_argument_group("output")
    out.add_argument("--fail-on", choices=SEVERITIES, default="error",
                     help="exit with status 1 on a finding this severe or worse (default error)")
    out.add_argument("--json", action="store_true", help="one JSON document on standard output")
    out.add_argument("--report", metavar="FILE", help="also write a site report: one HTML file to open in a browser")
    out.add_argument("--quiet", "-q", action="store_true", help="only pages with findings, and the summary")
    out.add_argument("--debug", action="store_true", help="show the traceback of an internal error")


def _prepare(args: argparse.Namespace) -> AuditRun:
    for url in args.urls:
        parts = urlsplit(url)
        if parts.scheme.lower() not in ("http", "https") or not parts.netloc:
            raise UsageError(f"{escape(url)} is not an http or https URL")
    source = Path(args.source) if args.source else None
    if source is not None and not source.is_dir():
        raise UsageError(f"--source {display(source)} is not a directory")
    report = check_report_path(args.report) if args.report else None
    policy = trust_policy_from(args)
    sdk.load()  # what the arguments get wrong is said first; then whether anything can be audited here
    from brevane_tools.auditing.crawling import AuditSettings
    from brevane_tools.auditing.pages import PageSettings
    from brevane_tools.remote import FetchLimits

    limits = FetchLimits(args.max_page_size, args.max_store_size, args.timeout, args.max_redirects,
                         args.allow_private_hosts)
    hosts = tuple(h.lower().rstrip(".") for h in args.allow_host)
    settings = AuditSettings(PageSettings(policy, limits, source), args.crawl, args.depth, args.max_pages,
                             args.concurrency, args.rate, hosts)
    return AuditRun(tuple(args.urls), settings, args.fail_on, args.json, args.quiet, args.debug, report)


def _report(visit: Visit, fail_on: str) -> Report:
    audit = visit.audit
    # The check's own "ok" (trusted, binding a match) gives way to the audit's, which --fail-on decides.
    data: dict[str, Any] = {k: v for k, v in audit.result.items() if k != "ok"}
    data["findings"] = [f.as_dict() for f in audit.findings]
    if visit.target.lastmod is not None:
        data["lastmod"] = visit.target.lastmod
    if audit.final_url and audit.final_url != audit.url:
        data["final_url"] = audit.final_url
    if audit.skipped:
        data["skipped"] = audit.skipped
    if audit.error:
        return Report(audit.url, False, error=audit.error, data=data, internal=visit.internal is not None,
                      detail=visit.internal)
    failing = [f for f in audit.findings if at_least(f.severity, fail_on)]
    head = f"skipped: {audit.skipped}" if audit.skipped else _state(visit)
    if audit.findings:
        head += f", {len(audit.findings)} finding{'s' if len(audit.findings) != 1 else ''}"
    lines = [escape(head)] + [escape(f"  {f.severity} {f.code}: {f.message}") + "\n" + escape(f"    fix: {f.fix}")
                              for f in audit.findings]
    return Report(audit.url, not failing, text="\n".join(lines), data=data, multiline=True)


def _state(visit: Visit) -> str:
    """The check's state; for a page that could not be checked, why: it carries no manifest, or else."""
    if visit.audit.state:
        return visit.audit.state
    return "unsigned" if any(f.code == "unsigned" for f in visit.audit.findings) else "not checked"


class _Printer:
    """What people (or --json readers) see: a block per page as it finishes, a progress line, the summary."""

    def __init__(self, run: AuditRun, on_report: Optional[Callable[[Report], None]]) -> None:
        self.run = run
        self.on_report = on_report
        self.kept: list[Report] = []  # for --report only
        self.codes: Counter[str] = Counter()
        self.states: Counter[str] = Counter()
        self.failed = self.internal = self.audited = self.skipped = self.failing = 0
        self.progress = sys.stderr.isatty() and not run.json
        self.out: IO[str] = sys.stdout
        self.document = Document("audit", self.out)  # a sitemap error writes none

    def emit(self, visit: Visit) -> None:
        report = _report(visit, self.run.fail_on)
        self._count(report, visit)
        self.clear()
        if self.run.json:
            self.document.add(report)
        elif report.error:
            print(f"brevane: {escape(report.path)}: {escape(report.error)}", file=sys.stderr)
            if report.detail and self.run.debug:
                for line in report.detail.splitlines():
                    print(escape(line), file=sys.stderr)
        elif not self.run.quiet or visit.audit.findings:
            print(f"{escape(report.path)}: {report.text}", file=self.out)
        if self.run.report is not None:
            self.kept.append(report)
        if self.progress:
            sys.stderr.write(f"\raudited {self.audited:,} pages, {sum(self.codes.values()):,} findings")
            sys.stderr.flush()
        if self.on_report is not None:
            self.on_report(report)

    def _count(self, report: Report, visit: Visit) -> None:
        self.codes.update(f["code"] for f in report.data["findings"])
        if not report.ok and not report.error:
            self.failing += 1
        if report.internal:
            self.internal += 1
        elif report.error:
            self.failed += 1
        elif visit.audit.skipped:
            self.skipped += 1
        else:
            self.audited += 1
            self.states[_state(visit).lower()] += 1

    def clear(self) -> None:
        if self.progress:
            sys.stderr.write("\r\033[K")

    def summary(self, totals: Totals) -> str:
        states = ", ".join(f"{n:,} {state}" for state, n in self.states.most_common())
        line = f"{self.audited:,} page{'s' if self.audited != 1 else ''} audited" + (f": {states}" if states else "")
        for count, what in ((self.skipped, "skipped"), (self.failed, "not fetched"), (self.internal, "internal errors"),
                            (totals.over_limit, "left by --max-pages"), (totals.off_site, "on other hosts left out")):
            if count:
                line += f"; {count:,} {what}"
        if totals.crawl_cut:
            line += "; the crawl stopped at --max-pages"
        found = [f"  {CODES[code][0]:<8} {code:<21} {self.codes[code]:,}" for code in CODES if self.codes[code]]
        return "\n".join([line + ("; findings:" if found else "; no findings"), *found])

    def close(self, totals: Totals) -> None:
        self.clear()
        text = self.summary(totals)
        if self.run.json:
            self.document.close({"failed": self.failed + self.internal + self.failing,
                                 "summary": text.split("\n", 1)[0], "findings": dict(self.codes)})
        else:
            self.out.flush()
            print(text, file=sys.stderr)


def _drive(run: AuditRun, on_report: Optional[Callable[[Report], None]]) -> int:
    from brevane_tools.auditing.crawling import run_audit

    printer = _Printer(run, on_report)
    try:
        totals = run_audit(run.urls, run.settings, printer.emit)
        printer.close(totals)
    except SitemapError as exc:
        printer.clear()
        print(f"brevane: {escape(str(exc))}", file=sys.stderr)
        return EXIT_USAGE
    if run.report is not None:
        try:
            write_report(run.report, printer.kept, title="audit")
        except OSError as exc:
            print(f"brevane: {display(run.report)}: cannot write the report: {exc.strerror or exc}", file=sys.stderr)
            return EXIT_USAGE
    if printer.internal:
        return EXIT_INTERNAL
    if printer.audited == 0 and not printer.failed:
        raise UsageError("no page was audited")
    return EXIT_FAILED if printer.failed or printer.failing else EXIT_OK


AUDIT: Command[AuditRun] = Command(
    "audit", summary("audit"), _arguments, _prepare, drive=_drive,
)
