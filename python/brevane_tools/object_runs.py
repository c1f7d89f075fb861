"""Runs whose pages lie in object storage, or go there: which objects are pages and where each one goes
(`plan`), reading a round of pages with one round of requests (`rounds`), and writing what they made
(`upload`: each object in one request, a page's store before the page).

Whatever is local keeps the local machinery: a local page is read by the safe reader, and a local
output is written by `files.writing.BatchWriter`, with its guarantees.
"""

from __future__ import annotations

import os
import posixpath
from collections.abc import Iterator, Sequence
from dataclasses import replace
from pathlib import Path
from typing import Optional, Union

from brevane_tools import commands
from brevane_tools.commands.base import Page, Report
from brevane_tools.errors import UsageError
from brevane_tools.files import objects
from brevane_tools.files.finding import excluded_by, inside
from brevane_tools.files.object_copies import Copy
from brevane_tools.files.objects import ObjectFile, ObjectPage, ObjectTree, Storage
from brevane_tools.runner import COMMIT_BYTES, COMMIT_PAGES, Batch, Done, Job, Plan, Planned
from brevane_tools.runner import plan as plan_local
from brevane_tools.results import Spool
from brevane_tools.text import display, escape

__all__ = ["Uploads", "involved", "plan", "readied", "rounds", "upload"]

LINK_WARNING = "a symbolic link, not mirrored: object storage has no links (--follow-outside copies what leads out)"
LINK_PAGE_NOTE = "a symbolic link to a page of the site: object storage has no links, so the page is signed " \
    "here too, as a copy"
Fetched = Optional[Union[bytes, BaseException]]


def involved(run: Plan) -> bool:
    """Whether any of the run's pages lies in object storage, or goes there."""
    return any(objects.is_object_url(a) for a in [*run.paths, run.output or ""])


def _mirrors(run: Plan) -> bool:
    return run.command.output == "edit" and run.output not in (None, "-")


def plan(run: Plan) -> Planned:
    """The jobs of a run over object storage; UsageError or FileNotFoundError before anything is written."""
    sources = [a for a in run.paths if objects.is_object_url(a)]
    if sources and len(sources) != len(run.paths):
        raise UsageError("give object URLs or local paths, not both in one run")
    if (run.workers > 1 or run.dask) and any(objects.scheme(a) == "memory" for a in [*run.paths, run.output or ""]):
        raise UsageError("memory:// objects live in this process only: run them without --jobs or --dask")
    if not sources:
        return _from_local(run)
    storage = run.storage or Storage()
    trees = [objects.find(storage, url, run.extensions) for url in sources]
    if run.command.needs_pages:
        for tree in trees:
            if not tree.pages:
                raise UsageError(f"no pages found under {escape(tree.root)}")
    single = len(trees) == 1 and bool(trees[0].pages) and trees[0].pages[0].url == trees[0].root
    if run.delete and single:
        raise UsageError("--delete takes -o DIR (or a prefix) and directories (or prefixes) to mirror there")
    if run.output == "-" and run.command.output == "edit":
        if run.json or not single:
            raise UsageError("-o - (standard output) takes exactly one page, without --json")
    if _mirrors(run) and objects.is_object_url(str(run.output)):
        _check_overlap(storage, sources, str(run.output))
    planned = Planned()
    taken: dict[str, str] = {}
    for tree in trees:
        others = list(tree.others)
        for page in tree.pages:
            pattern = excluded_by(page.relative, run.exclude)
            if pattern is None:
                planned.jobs.append(_job(run, tree, page, single, taken))
                continue
            kept = "copied unchanged" if _mirrors(run) else "left alone"
            planned.notes.append(Report(escape(page.url), True, text=f"excluded by --exclude {escape(pattern)}, "
                                        f"{kept}", data={"excluded": True}))
            others.append(page)
        if _mirrors(run) and not single:
            planned.copies += [Copy(o, _place(str(run.output), o.relative, o.url, taken)) for o in others]
    return planned


def _place(output: str, relative: str, source: str, taken: dict[str, str]) -> Union[str, Path]:
    """Where `-o` puts a file of the site: below the output prefix, or in the output directory."""
    target: Union[str, Path] = objects.join(output, relative) if objects.is_object_url(output) else \
        Path(output) / relative
    if str(target) in taken:
        raise UsageError(f"{escape(source)} and {escape(taken[str(target)])} would both be written to "
                         f"{escape(str(target))}")
    taken[str(target)] = source
    return target


def _job(run: Plan, tree: ObjectTree, page: ObjectFile, single: bool, taken: dict[str, str]) -> Job:
    # A single object's site root is its prefix: hrefs resolve beside it, as a single file's do.
    found = ObjectPage(source=page.url, source_root=posixpath.dirname(page.url) if single else tree.root,
                       size=page.size)
    name, relative, output = escape(page.url), Path(page.relative), run.output
    if run.in_place:
        found = replace(found, target=page.url, target_root=posixpath.dirname(page.url) if single else tree.root)
    elif output == "-":
        return Job(Page(name, None, relative=relative, objects=found), to_stdout=True)
    elif output is not None and run.command.output == "edit":
        if objects.is_object_url(output):
            # One object to one object: -o names it, unless it ends with "/" (a prefix).
            whole = single and not output.endswith("/")
            target = output if whole else str(_place(output, page.relative, page.url, taken))
            root = posixpath.dirname(output) if whole else output
            found = replace(found, target=target, target_root=root)
            return Job(Page(name, None, relative=relative, objects=found), mirrored=not whole)
        else:
            whole = single and not Path(output).is_dir()
            destination = Path(output) if whole else Path(_place(output, page.relative, page.url, taken))
            tree_root = destination.parent if whole else Path(output)
            return Job(Page(name, None, relative=relative, destination=destination, objects=found),
                       out_tree=os.path.realpath(tree_root), mirrored=not whole)
    return Job(Page(name, None, relative=relative, objects=found))


def _check_overlap(storage: Storage, sources: Sequence[str], output: str) -> None:
    """Refuse an output prefix inside an input one, or the other way round, before anything is written."""
    out_fs, out = storage.filesystem(output)
    for source in sources:
        fs, path = storage.filesystem(source)
        if type(fs) is type(out_fs) and (inside(out.rstrip("/"), path.rstrip("/")) or
                                         inside(path.rstrip("/"), out.rstrip("/"))):
            raise UsageError(f"the output {escape(output)} and the input {escape(source)} overlap: "
                             "use a prefix outside the input (or --in-place)")


def _from_local(run: Plan) -> Planned:
    """Local pages to object storage: the local walk, and each page and other file given its object."""
    assert run.output is not None
    output = run.output
    planned = plan_local(replace(run, output=None, in_place=False, delete=False))
    whole = len(run.paths) == 1 and not Path(run.paths[0]).is_dir() and not output.endswith("/")
    root = posixpath.dirname(output) if whole else output
    taken: dict[str, str] = {}
    local, planned.jobs = planned.jobs, Spool()
    for job in local:
        page = job.page
        target = output if whole else str(_place(output, page.relative.as_posix(), page.name, taken))
        planned.jobs.append(replace(job, page=replace(page, objects=ObjectPage(target=target, target_root=root)),
                                    mirrored=_mirrors(run) and not whole))
    if _mirrors(run):
        others = [*planned.found.others, *(p for p, _ in planned.excluded)]
        planned.copies = [Copy(o, _place(output, o.relative.as_posix(), display(o.path), taken))
                          for o in others if o.root is not None]
        for link in planned.found.links:
            if link.leads == "inside" and link.path.name.lower().endswith(run.extensions) and link.path.is_file():
                # A second name of a page of the site (an index.html): signed again in its own place.
                target = str(_place(output, link.relative.as_posix(), display(link.path), taken))
                page = Page(display(link.path), None, path=link.path, relative=link.relative, site=run.site_root)
                planned.jobs.append(Job(replace(page, objects=ObjectPage(target=target, target_root=root)),
                                        mirrored=True))
                planned.notes.append(Report(display(link.path), True, text=LINK_PAGE_NOTE,
                                            data={"mirrored": "symbolic link", "symlink": link.target,
                                                  "note": LINK_PAGE_NOTE}))
                continue
            planned.notes.append(Report(display(link.path), True, text=LINK_WARNING, data={
                "mirrored": "symbolic link", "symlink": link.target, "warning": LINK_WARNING}))
    return planned


def rounds(batch: Batch, jobs: Sequence[Job]) -> Iterator[list[tuple[Job, Fetched]]]:
    """The jobs in rounds (COMMIT_PAGES pages, COMMIT_BYTES of listed bytes at most), the pages of
    each round that lie in object storage fetched with one round of concurrent requests; the next
    round's requests go out while this one is run, so the store's latency hides behind the work."""
    from concurrent.futures import ThreadPoolExecutor

    command = commands.named(batch.command)
    suffixes = command.reads_back(batch.settings) if command is not None and command.reads_back else ()
    spans, start = [], 0
    while start < len(jobs):
        end, size = start, 0
        while end < len(jobs) and end - start < COMMIT_PAGES and (end == start or size < COMMIT_BYTES):
            found = jobs[end].page.objects
            size += (found.size or 0) if found is not None else 0
            end += 1
        spans.append(jobs[start:end])
        start = end
    with ThreadPoolExecutor(1, thread_name_prefix="brevane-read") as reader:
        coming = reader.submit(_fetched, batch, spans[0], suffixes) if spans else None
        for number in range(len(spans)):
            assert coming is not None
            ready = coming.result()
            if number + 1 < len(spans):
                coming = reader.submit(_fetched, batch, spans[number + 1], suffixes)
            yield ready


def _fetched(batch: Batch, jobs: Sequence[Job], suffixes: tuple[str, ...]) -> list[tuple[Job, Fetched]]:
    """A round's jobs, with what lies in object storage read by one round of concurrent requests."""
    round_ = [_read_back(job, suffixes) for job in jobs]
    wanted: list[tuple[Job, str, Optional[int]]] = []
    for job in round_:
        found = job.page.objects
        if job.page.html is None and found is not None and found.source is not None:
            wanted.append((job, found.source, found.size))
        if found is not None:
            wanted += [(job, url, None) for url, _ in found.ahead]
    got = objects.read_many(batch.storage or Storage(), [(url, size) for _, url, size in wanted],
                            batch.max_page_size) if wanted else []
    fetched: dict[tuple[int, str], Fetched] = {(id(job), url): data for (job, url, _), data in zip(wanted, got)}
    ready: list[tuple[Job, Fetched]] = []
    for job in round_:
        source = job.page.objects.source if job.page.objects is not None else None
        ready.append((_with_ahead(job, fetched), fetched.get((id(job), source)) if source else None))
    return ready


class Uploads:
    """A round's writes to object storage go on while the next round is run; one round in flight at
    most, and the reports come back in the order of the rounds, each once its writes are done."""

    def __init__(self, batch: Batch) -> None:
        from concurrent.futures import Future, ThreadPoolExecutor

        self.batch = batch
        self.writer = ThreadPoolExecutor(1, thread_name_prefix="brevane-write")
        self.flying: Optional[tuple[Future[None], list[Done]]] = None

    def after(self, group: list[Done]) -> list[Report]:
        """Start writing a round (once the one before it is written); the reports that are final now."""
        final = self._settle()
        if any(done.objects for done in group):
            self.flying = (self.writer.submit(upload, self.batch, group), group)
        else:
            final += [done.report for done in group]
        return final

    def _settle(self) -> list[Report]:
        if self.flying is None:
            return []
        future, group = self.flying
        self.flying = None
        future.result()
        return [done.report for done in group]

    def close(self) -> list[Report]:
        try:
            return self._settle()
        finally:
            self.writer.shutdown(wait=True)


def _read_back(job: Job, suffixes: tuple[str, ...]) -> Job:
    """The job, with the objects its command reads back of its output named (not read yet)."""
    found = job.page.objects
    if not suffixes or found is None or found.target is None or found.target == found.source:
        return job
    ahead = tuple((found.target + suffix, None) for suffix in suffixes)
    return replace(job, page=replace(job.page, objects=replace(found, ahead=ahead)))


def _with_ahead(job: Job, fetched: dict[tuple[int, str], Fetched]) -> Job:
    found = job.page.objects
    if found is None or not found.ahead:
        return job
    ahead = tuple((url, data if isinstance(data, bytes) else None)
                  for url, _ in found.ahead for data in [fetched.get((id(job), url))])
    return replace(job, page=replace(job.page, objects=replace(found, ahead=ahead)))


def readied(batch: Batch, page: Page, fetched: Optional[bytes]) -> Page:
    """A page with a place in object storage, as its command gets it: given the run's storage options
    (which travel once, with the batch), and its bytes (read with its round, or now)."""
    assert page.objects is not None
    found = replace(page.objects, storage=batch.storage or Storage())
    html = page.html
    if html is None and fetched is not None:
        html = fetched
    elif html is None and found.source is not None:
        html = objects.read(found.storage or Storage(), found.source, batch.max_page_size)
    return replace(page, html=html, objects=found)


def upload(batch: Batch, done: Sequence[Done]) -> None:
    """Write what a round made to object storage (each page's store first); each report says where, or why not."""
    writing = [d for d in done if d.objects]
    failures = objects.write_groups(batch.storage or Storage(), [d.objects for d in writing])
    for each, failure in zip(writing, failures):
        target = escape(each.objects[-1][0])
        if failure is not None:
            why = failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure)
            if each.copied is not None:
                each.report.not_copied(why)
            else:
                each.report = Report(each.report.path, False, error=why, input_error=True)
            continue
        if each.copied is not None:
            each.report.copied_to(each.copied, target)
            continue
        each.report.data.update(output=target, written=True)
        each.report.text += f" -> {target}"
