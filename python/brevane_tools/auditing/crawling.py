"""Which pages of a deployed site an audit visits, and visiting them politely, a few at a time.

The URLs named become pages: a site root through its robots.txt `Sitemap:`
lines (else /sitemap.xml), a sitemap (or an index of them) through its
entries, a page as itself, or with `crawl` as the start of a walk along
same-origin links. Sitemaps are read before any page, so a sitemap that cannot
be read stops the audit before it starts. Entries on other hosts are left out
unless their host is allowed.

Politeness: at most `concurrency` fetches at once (threads), each host at most
`rate` requests a second, robots.txt honoured for the tool's user agent, and
every fetch under the one deadline of `brevane_tools.remote`. Results are
handed out as pages finish and not kept, so memory stays flat however many
pages a site has.
"""

from __future__ import annotations

import threading
import time
import traceback
from collections import deque
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field, replace
from queue import SimpleQueue
from typing import Callable, Optional
from urllib.parse import urlsplit

from brevane_tools import remote
from brevane_tools.auditing.links import origin
from brevane_tools.auditing.pages import PageAudit, PageSettings, audit_page
from brevane_tools.auditing.sitemaps import MAX_ROBOTS_BYTES, MAX_SITEMAP_BYTES, Robots, SitemapError, parse_sitemap

__all__ = ["AuditSettings", "HostPace", "Target", "Totals", "Visit", "run_audit", "targets"]

ROBOTS_AGENT = "brevane"
_MAX_SITEMAPS = 1_000  # sitemaps read for one audit, indexes included
_SITEMAP_SUFFIXES = (".xml", ".xml.gz")


@dataclass(frozen=True)
class AuditSettings:
    page: PageSettings = field(default_factory=PageSettings)
    crawl: bool = False  # page URLs start a walk along same-origin links
    depth: int = 3  # links followed from a start page, at most
    max_pages: int = 10_000
    concurrency: int = 4
    rate: float = 0.0  # requests a second to one host; 0: no limit
    hosts: tuple[str, ...] = ()  # other hosts a sitemap may send the audit to


@dataclass(frozen=True)
class Target:
    url: str
    depth: int = 0
    lastmod: Optional[str] = None  # as the sitemap said


@dataclass
class Visit:
    """One page's audit as it is handed out, or why it was not audited."""

    target: Target
    audit: PageAudit
    internal: Optional[str] = None  # a fault of the tool on this page: its traceback


@dataclass
class Totals:
    """What the audit did not visit, for the summary."""

    off_site: int = 0  # sitemap entries on hosts not allowed
    over_limit: int = 0  # pages left once --max-pages was reached
    crawl_cut: bool = False  # a crawl found more pages than --max-pages allowed
    notes: list[str] = field(default_factory=list)


class HostPace:
    """A token bucket per host, one token deep: requests to a host start at least 1/rate seconds apart."""

    def __init__(self, rate: float, clock: Callable[[], float] = time.monotonic,
                 sleep: Callable[[float], None] = time.sleep) -> None:
        self.interval = 1.0 / rate if rate > 0 else 0.0
        self.next: dict[str, float] = {}
        self.lock = threading.Lock()
        self.clock, self.sleep = clock, sleep

    def __call__(self, url: str) -> None:
        if not self.interval:
            return
        host = urlsplit(url).netloc.lower()
        with self.lock:
            now = self.clock()
            at = max(now, self.next.get(host, now))
            self.next[host] = at + self.interval
        if at > now:
            self.sleep(at - now)  # this request's turn at the host


class _RobotsCache:
    """Each origin's robots.txt, fetched once, as RFC 9309 reads its absence."""

    def __init__(self, settings: PageSettings) -> None:
        self.settings = settings
        self.found: dict[str, Robots] = {}
        self.lock = threading.Lock()
        self.locks: dict[str, threading.Lock] = {}

    def rules(self, url: str) -> Robots:
        site = origin(url)
        with self.lock:
            lock = self.locks.setdefault(site, threading.Lock())
        with lock:  # one fetch per origin, while other origins go on
            if site not in self.found:
                self.found[site] = self._fetch(site)
            return self.found[site]

    def _fetch(self, site: str) -> Robots:
        url = site + "/robots.txt"
        limits = self.settings.limits
        try:
            self.settings.pace(url)
            fetched = remote.fetch(url, "robots.txt", MAX_ROBOTS_BYTES, limits, trusted_host=url)
        except remote.FetchError as exc:
            # No robots.txt (4xx) allows everything; a server that fails or cannot be reached, nothing.
            if isinstance(exc, remote.StatusError) and 400 <= exc.status < 500:
                return Robots()
            return Robots(refusal=f"{exc}: nothing of {site} is fetched until it can be read")
        return Robots.parse(fetched.body.decode("utf-8", "replace"), ROBOTS_AGENT)


def _host(url: str) -> str:
    return (urlsplit(url).hostname or "").rstrip(".").lower()


def targets(urls: Iterable[str], settings: AuditSettings, totals: Totals,
            robots: Optional[_RobotsCache] = None) -> list[Target]:
    """The pages the URLs name, sitemaps read; SitemapError when one cannot be read."""
    cache = robots or _RobotsCache(settings.page)
    found: dict[str, Target] = {}
    budget = [_MAX_SITEMAPS]
    for url in urls:
        parts = urlsplit(url)
        if parts.path.lower().endswith(_SITEMAP_SUFFIXES):
            _from_sitemap(url, settings, totals, found, budget, 0, url)
        elif parts.path in ("", "/") and not parts.query and not settings.crawl:
            for sitemap in cache.rules(url).sitemaps or (origin(url) + "/sitemap.xml",):
                # A sitemap that robots.txt names may lie elsewhere (a CDN) and still speak for this host;
                # only this host is trusted for it, so robots.txt cannot send a fetch to a private address.
                _from_sitemap(sitemap, settings, totals, found, budget, 0, url)
        else:
            found.setdefault(url, Target(url))
    return list(found.values())


def _from_sitemap(url: str, settings: AuditSettings, totals: Totals, found: dict[str, Target],
                  budget: list[int], level: int, named_by: str) -> None:
    """Read a sitemap (and an index's sitemaps) into `found`; `named_by` is the URL the user gave."""
    if len(found) >= settings.max_pages:
        return
    if budget[0] <= 0:
        raise SitemapError(f"more than {_MAX_SITEMAPS:,} sitemaps: {url} and those after it are not read")
    budget[0] -= 1
    limits = settings.page.limits
    try:
        settings.page.pace(url)
        fetched = remote.fetch(url, "the sitemap", MAX_SITEMAP_BYTES, limits, trusted_host=named_by, decode=False)
    except remote.FetchError as exc:
        raise SitemapError(str(exc)) from None
    # A coding other than gzip (which the parser undoes under its cap) is refused.
    coding = fetched.headers.get("content-encoding", "").strip().lower()
    if coding not in ("", "identity", "gzip", "x-gzip"):
        raise SitemapError(f"the sitemap {fetched.url} is served with Content-Encoding: {coding}")
    index, entries = parse_sitemap(fetched.body, url)
    allowed = {_host(fetched.url), _host(named_by), *settings.hosts}
    for entry in entries:
        if _host(entry.loc) not in allowed or not remote.is_web_url(entry.loc):
            totals.off_site += 1
        elif index:
            if level >= 1:
                raise SitemapError(f"the sitemap index {url} names another index, {entry.loc}")
            _from_sitemap(entry.loc, settings, totals, found, budget, level + 1, named_by)
        elif len(found) < settings.max_pages:
            found.setdefault(entry.loc, Target(entry.loc, 0, entry.lastmod))
        elif entry.loc not in found:
            totals.over_limit += 1


def run_audit(urls: Iterable[str], settings: AuditSettings, emit: Callable[[Visit], None]) -> Totals:
    """Audit the pages the URLs name, `emit` hearing each as it finishes (in this thread); SitemapError."""
    pace = HostPace(settings.rate)
    settings = replace(settings, page=replace(settings.page, pace=pace))
    totals = Totals()
    robots = _RobotsCache(settings.page)
    queue = deque(targets(urls, settings, totals, robots))
    seen = {t.url for t in queue} if settings.crawl else set()
    started = running = 0
    # Each finished page comes back through one queue: waiting costs the same for 4 pages in flight as for 64.
    finished: SimpleQueue[Future[Visit]] = SimpleQueue()
    with ThreadPoolExecutor(max_workers=settings.concurrency, thread_name_prefix="brevane-audit") as pool:
        while queue or running:
            while queue and running < settings.concurrency * 2 and started < settings.max_pages:
                started += 1
                running += 1
                pool.submit(_visit, queue.popleft(), settings, robots).add_done_callback(finished.put)
            if not running:
                break
            visit = finished.get().result()
            running -= 1
            _follow(visit, settings, queue, seen, settings.max_pages - started - len(queue), totals)
            emit(visit)
    totals.over_limit += len(queue)
    return totals


def _follow(visit: Visit, settings: AuditSettings, queue: deque[Target], seen: set[str], room: int,
            totals: Totals) -> None:
    """Queue a crawled page's new same-origin links, at most `room` of them (what --max-pages leaves),
    so a site of endless links keeps the queue and the set of links seen small."""
    target = visit.target
    if not settings.crawl or target.depth >= settings.depth:
        return
    home = origin(visit.audit.final_url or target.url)
    for link in visit.audit.links:
        if link not in seen and origin(link) == home:
            if room <= 0:
                totals.crawl_cut = True  # not remembered: the crawl's memory stays within --max-pages
                break
            seen.add(link)
            queue.append(Target(link, target.depth + 1))
            room -= 1
    visit.audit.links = []  # handed on; the page's record stays small


def _visit(target: Target, settings: AuditSettings, robots: _RobotsCache) -> Visit:
    try:
        rules = robots.rules(target.url)
        if not rules.allows(target.url):
            why = rules.refusal or f"disallowed by {origin(target.url)}/robots.txt for {ROBOTS_AGENT}"
            return Visit(target, PageAudit(target.url, skipped=why))
        follow = settings.crawl and target.depth < settings.depth
        return Visit(target, audit_page(target.url, settings.page, follow_links=follow))
    except Exception as exc:  # noqa: BLE001 - one page never stops an audit
        audit = PageAudit(target.url, error=f"internal error: {type(exc).__name__}: {exc}")
        return Visit(target, audit, internal=traceback.format_exc())
