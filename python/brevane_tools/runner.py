"""Running one command over a batch of pages: planning a job for each page the run names (`plan`),
and running them (`run_batch`): here or on workers (`cluster`), the rest of the site mirrored beside
them, each page reported once.

Local trees and object prefixes are read by their adapters (`files.finding`, `object_runs`); what
--exclude leaves out, where `-o` puts each page and file, and what an output must not overlap are
decided here, once for both. A page's own run is `batch`'s: no page can stop a batch, whatever one
page raises becomes that page's report. How files are found, read and written is described in
`brevane_tools.files`.
"""

from __future__ import annotations

import os
import posixpath
from collections.abc import Callable, Iterable, Iterator, Sequence
from itertools import chain
from pathlib import Path
from typing import Optional, TypeVar, Union

from brevane_tools import cluster, object_runs
from brevane_tools.batch import Batch, Job, Plan, Planned
from brevane_tools.commands.base import Page, Report
from brevane_tools.errors import UsageError
from brevane_tools.files import mirroring, object_copies, objects
from brevane_tools.files.finding import InputFile, excluded_by, find_pages, inside, resolved
from brevane_tools.files.leftovers import trees_written, writing_trees
from brevane_tools.files.mirroring import Mirrored
from brevane_tools.files.object_copies import Copy
from brevane_tools.files.objects import ObjectFile, ObjectPage, Storage
from brevane_tools.limits import STORE_SUFFIX
from brevane_tools.results import Spool, raw_name, summary
from brevane_tools.text import display, escape

__all__ = ["Batch", "Mirrored", "Plan", "Planned", "is_url", "plan", "raw_name", "run_batch", "summary"]

F = TypeVar("F", InputFile, ObjectFile)

DELETE_USAGE = "--delete takes -o DIR (or a prefix) and directories (or prefixes) to mirror there"


def is_url(argument: str) -> bool:
    return argument.lower().startswith(("http://", "https://"))


def plan(run: Plan) -> Planned:
    """The jobs of a run; UsageError or FileNotFoundError (exit status 2) before anything is touched."""
    if run.delete and (not _mirrors(run) or not all(objects.is_object_url(p) or os.path.isdir(p) for p in run.paths)):
        raise UsageError(DELETE_USAGE)
    cluster.start(run.workers, run.dask)
    sources = object_runs.sources(run)
    return _from_objects(run, sources) if sources else _from_local(run)


def _mirrors(run: Plan) -> bool:
    """Whether the run makes whole trees again (`-o DIR` on a command that edits pages)."""
    return run.command.output == "edit" and run.output not in (None, "-")


def _where(found: Union[InputFile, ObjectFile]) -> tuple[str, str]:
    """A file of the site's POSIX path below its argument, and its name as reports give it."""
    if isinstance(found, ObjectFile):
        return found.relative, escape(found.url)
    return found.relative.as_posix(), display(found.path)


def _kept(run: Plan, pages: Iterable[F], notes: Spool[Report], left: Spool[F]) -> Iterator[F]:
    """The pages --exclude leaves in; each one it takes out is said in `notes`, and kept in `left`
    (a page of the site all the same: a mirror copies it as it is)."""
    how = "copied unchanged" if _mirrors(run) else "left alone"
    for page in pages:
        relative, name = _where(page)
        pattern = excluded_by(relative, run.exclude)
        if pattern is None:
            yield page
            continue
        raw: dict[str, str] = raw_name(page.path) if isinstance(page, InputFile) else {}
        notes.append(Report(name, True, text=f"excluded by --exclude {escape(pattern)}, {how}",
                            data={"excluded": True, **raw}))
        left.append(page)


def _places(run: Plan) -> object_runs.Place:
    """Where `-o` puts a file of the site (by its path below its argument, and its name): below the
    output prefix, or in the output directory. Paths below one argument are its own: only several
    arguments can put two files in one place, and only then are places remembered."""
    output = str(run.output)
    taken: Optional[dict[str, str]] = {} if len(run.paths) > 1 else None

    def place(relative: str, name: str) -> Union[str, Path]:
        target: Union[str, Path] = objects.join(output, relative) if objects.is_object_url(output) else \
            Path(output) / relative
        if taken is not None:
            shown = escape(target) if isinstance(target, str) else display(target)
            if shown in taken:
                raise UsageError(f"{name} and {taken[shown]} would both be written to {shown}")
            taken[shown] = name
        return target

    return place


def _one_page_out(run: Plan, single: bool) -> None:
    if run.output == "-" and run.json:
        raise UsageError("-o - (standard output) cannot be combined with --json")
    if run.output == "-" and not single:
        raise UsageError("-o - (standard output) takes exactly one page")


def _overlap(output: str, source: str, outside: str) -> UsageError:
    return UsageError(f"the output {output} and the input {source} overlap: use {outside} (or --in-place)")


def _no_pages(name: str) -> UsageError:
    """A directory or a prefix without a single page is a mistake (a misnamed or empty build), never a pass."""
    return UsageError(f"no pages found under {name}")


def _from_objects(run: Plan, sources: Sequence[str]) -> Planned:
    """The jobs of a run whose pages lie in object storage, made as the objects are listed: the jobs and
    the copies go to disk as they come, so a prefix of any size costs the client no memory per object."""
    storage = run.storage or Storage()
    listings = [objects.listed(storage, url, run.extensions) for url in sources]
    first = next(listings[0], None)
    listings[0] = chain([first] if first is not None else [], listings[0])
    single = len(sources) == 1 and first is not None and first[1].url == sources[0]
    mirror = _mirrors(run) and not single
    planned, place, copies = Planned(), _places(run), Spool[Copy]()
    for url, listing in zip(sources, listings):
        found = [0]  # pages listed, excluded ones too

        def pages(listing: Iterable[tuple[bool, ObjectFile]]) -> Iterator[ObjectFile]:
            for page, each in listing:
                if page:
                    found[0] += 1
                    yield each
                elif mirror:
                    copies.append(Copy(each, place(*_where(each))))

        left: Spool[ObjectFile] = Spool()
        planned.jobs.extend(object_runs.job(run, url, page, single, place)
                            for page in _kept(run, pages(listing), planned.notes, left))
        if run.command.needs_pages and not found[0]:
            raise _no_pages(escape(url))
        if mirror:
            copies.extend(Copy(o, place(*_where(o))) for o in left)
    if run.delete and single:
        raise UsageError(DELETE_USAGE)
    _one_page_out(run, single)
    if _mirrors(run) and objects.is_object_url(str(run.output)):
        overlapping = object_runs.overlapping(storage, sources, str(run.output))
        if overlapping is not None:
            raise _overlap(escape(str(run.output)), escape(overlapping), "a prefix outside the input")
    planned.copies = copies
    return planned


def _from_local(run: Plan) -> Planned:
    """The jobs of a run whose pages lie on disk (or on the web, for a command that reads URLs)."""
    command = run.command
    urls = [a for a in run.paths if command.urls and is_url(a)]
    paths = [a for a in run.paths if a not in urls]
    if urls and command.output != "none":
        raise UsageError(f"{escape(urls[0])}: a URL cannot be written to")
    into_objects = objects.is_object_url(run.output or "")
    found = find_pages(paths, run.extensions, run.follow_outside, mirror=_mirrors(run) and not into_objects)
    if command.needs_pages:
        roots = {os.path.realpath(root) for root in {p.root for p in found.pages if p.root is not None}}
        for argument in paths:
            if os.path.isdir(argument) and os.path.realpath(argument) not in roots:
                raise _no_pages(display(argument))
    planned = Planned(found=found)
    left: Spool[InputFile] = Spool()
    if run.exclude:
        pages, found.pages = found.pages, Spool()
        found.pages.extend(_kept(run, pages, planned.notes, left))
    planned.jobs.extend(Job(Page(escape(url), None, url=url)) for url in urls)
    place = _places(run)
    planned.jobs.extend(_jobs(run, paths, found.pages, place))
    if not _mirrors(run):
        return planned
    others = (o for o in chain(found.others, left) if o.root is not None)
    if into_objects:
        planned.copies = Spool()
        planned.copies.extend(Copy(o, place(*_where(o))) for o in others)
        object_runs.links_into_objects(run, found.links, planned, place)
        return planned
    # What `-o DIR` makes besides the pages, so that the output is the whole site: the other files
    # (kept on disk), the symbolic links (as links), and every directory.
    planned.others = Spool()
    planned.others.extend((other, Path(place(*_where(other)))) for other in others)
    planned.links = [(link, Path(place(link.relative.as_posix(), display(link.path)))) for link in found.links]
    planned.directories = [Path(str(run.output)) / directory for directory in found.directories]
    return planned


def _check_overlap(run: Plan, pages: Sequence[InputFile], output: Path) -> None:
    """Refuse a run whose output tree and input trees overlap, before anything is written."""
    real_out = os.path.realpath(output)
    for argument in run.paths:
        real_in = os.path.realpath(argument)
        if Path(argument).is_dir() and (inside(real_out, real_in) or inside(real_in, real_out)):
            raise _overlap(display(output), display(argument), "a directory outside the input tree")
    for page in pages:
        # A page the walk found without following a link lies in its directory argument, checked above;
        # resolving each one's path again would cost the client a handful of system calls per page.
        if (page.root is None or page.via_link) and inside(resolved(page.path), real_out):
            raise UsageError(f"the input {display(page.path)} lies in the output {display(output)}")


def _jobs(run: Plan, paths: Sequence[str], pages: Sequence[InputFile], place: object_runs.Place) -> Iterator[Job]:
    """The job of each page, one at a time (a run of any size lists none of them in memory)."""
    output = run.output

    def job(page: InputFile, destination: Optional[Path] = None, out_tree: Optional[str] = None,
            mirrored: bool = False, found: Optional[ObjectPage] = None) -> Job:
        return Job(Page(display(page.path), None, path=page.path, relative=page.relative, destination=destination,
                        site=run.site_root, identity=page.identity, follow=page.via_link, objects=found),
                   out_tree=out_tree, mirrored=mirrored)

    if run.in_place:
        # A page reached through a link (allowed by the link policy) is edited where it lives.
        return (job(p, Path(resolved(p.path))) for p in pages)
    if output is None:
        return (job(p) for p in pages)
    single_argument = len(paths) == 1 and not Path(paths[0]).is_dir()
    if objects.is_object_url(output):
        whole = single_argument and not output.endswith("/")
        root = posixpath.dirname(output) if whole else output
        return (job(p, found=ObjectPage(target=output if whole else str(place(*_where(p))), target_root=root),
                    mirrored=_mirrors(run) and not whole) for p in pages)
    single_file = single_argument and len(pages) == 1
    _one_page_out(run, single_file)
    if output == "-":
        return iter([job(pages[0])._replace(to_stdout=True)])
    if single_file and not Path(output).is_dir():
        target = Path(output)
        if os.path.lexists(target) and os.path.samefile(target, pages[0].path):
            raise UsageError(f"the output {display(target)} is the input page (use --in-place)")
        return iter([job(pages[0], target, out_tree=os.path.realpath(target.parent))])
    _check_overlap(run, pages, Path(output))
    suffix = STORE_SUFFIX if run.command.output == "store" else ""
    tree = os.path.realpath(output)
    # Run through by `plan`, before anything is written.
    return (job(p, Path(place(p.relative.as_posix() + suffix, display(p.path))), out_tree=tree,
                mirrored=_mirrors(run)) for p in pages)


def run_batch(run: Plan, planned: Planned, emit: Callable[[Report], None]) -> Mirrored:
    """Run the jobs and write what they made; `emit` hears each page's report once, when it is final."""
    batch = Batch(run.command.name, run.settings, run.max_page_size, run.debug, run.storage)
    for error in planned.found.errors:
        emit(Report(error.path, False, error=error.message, input_error=True))
    for note in planned.notes:
        emit(note)
    mirrored = Mirrored()
    # Workers (--jobs, --dask) start at once, and come up while this process mirrors.
    written = ([], []) if run.command.output == "none" else trees_written(run.paths, run.output, run.in_place)
    with writing_trees(*written) as trees, \
            cluster.executing(batch, planned.jobs, run.workers, run.dask, run.task_pages) as chunks:
        mirrored.leftovers = trees.removed
        # The other files first: a page's new store replaces the old one the mirror copies, never the reverse.
        _mirror(run, planned, mirrored, emit)
        # Pages are reported once they are durable and in place; whoever ran them wrote them.
        for reports in chunks:
            for report in reports:
                emit(report)
        if run.delete:  # once the output holds everything new: never a moment with less than before
            mirrored.delete = True
            _prune(run, planned, mirrored, emit)
    return mirrored


def _mirror(run: Plan, planned: Planned, mirrored: Mirrored, emit: Callable[[Report], None]) -> None:
    if planned.copies:
        assert run.output is not None
        tree = None if objects.is_object_url(run.output) else os.path.realpath(run.output)
        object_copies.mirror(run.storage or Storage(), planned.copies, tree, mirrored, emit)
    if planned.others or planned.links or planned.directories:
        assert run.output is not None
        mirroring.mirror(planned.others, planned.links, planned.directories, os.path.realpath(run.output), mirrored,
                         emit)


def _prune(run: Plan, planned: Planned, mirrored: Mirrored, emit: Callable[[Report], None]) -> None:
    """`--delete`, as rsync's: what is no longer in the source goes from the output, below a local output
    directory (walked through directory descriptors, never through a link) or below an output prefix
    (see `files.mirroring.prune`). A store beside a page stays for as long as its page does; a store
    directory of the run inside the output is never entered."""
    assert run.output is not None
    sources = [p for p in run.paths if not objects.is_object_url(p)]
    if sources:
        in_source = mirroring.in_local_source(sources)
    else:  # the paths (and the directories above them) of a source in object storage, below its prefix
        listed = {job.page.relative.as_posix() for job in planned.jobs}
        listed.update(_where(copy.source)[0] for copy in planned.copies)
        for name in list(listed):
            while "/" in name:
                name = name.rsplit("/", 1)[0]
                listed.add(name)
        in_source = listed.__contains__
    if objects.is_object_url(run.output):
        object_copies.prune(run.storage or Storage(), run.output, in_source, mirrored, emit)
        return
    tree = os.path.realpath(run.output)
    store_dir = getattr(run.settings, "store_dir", None)
    spared = []
    if store_dir is not None and inside(os.path.realpath(store_dir), tree):
        spared.append(os.path.relpath(os.path.realpath(store_dir), tree))
    mirroring.prune(tree, Path(run.output), in_source, spared, mirrored, emit)
