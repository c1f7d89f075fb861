"""Runs whose pages lie in object storage, or go there: the object adapter of the runner's planning.

It says whether a run can use object storage at all (`sources`), makes the job of a page listed
below a prefix (`job`: read from its object, written to an object or a local file), tells whether an
output prefix overlaps an input one (`overlapping`), and turns a local tree's links into what an
object store can hold (`links_into_objects`). Reading a round of object pages with one round of
requests, and writing what they made, is `batch`'s.

Whatever is local keeps the local machinery: a local page is read by the safe reader, and a local
output is written by `files.writing.BatchWriter`, with its guarantees.
"""

from __future__ import annotations

import os
import posixpath
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Optional, Union

from brevane_tools.batch import Job, Plan, Planned
from brevane_tools.commands.base import Page, Report
from brevane_tools.errors import UsageError
from brevane_tools.files import objects
from brevane_tools.files.finding import Link, inside
from brevane_tools.files.objects import ObjectFile, ObjectPage, Storage
from brevane_tools.text import display, escape

__all__ = ["LINK_PAGE_NOTE", "LINK_WARNING", "job", "links_into_objects", "overlapping", "sources"]

LINK_WARNING = "a symbolic link, not mirrored: object storage has no links (--follow-outside copies what leads out)"
LINK_PAGE_NOTE = "a symbolic link to a page of the site: object storage has no links, so the page is signed " \
    "here too, as a copy"
#: Where `-o` puts a file of the site, by its POSIX path below its argument and its name (see `runner`).
Place = Callable[[str, str], Union[str, Path]]


def sources(run: Plan) -> list[str]:
    """The object URLs the run reads (none when its pages are local); UsageError for a run object storage
    cannot take."""
    if not any(objects.is_object_url(a) for a in [*run.paths, run.output or ""]):
        return []
    found = [a for a in run.paths if objects.is_object_url(a)]
    if found and len(found) != len(run.paths):
        raise UsageError("give object URLs or local paths, not both in one run")
    if (run.workers > 1 or run.dask) and any(objects.scheme(a) == "memory" for a in [*run.paths, run.output or ""]):
        raise UsageError("memory:// objects live in this process only: run them without --jobs or --dask")
    return found


def job(run: Plan, prefix: str, page: ObjectFile, single: bool, place: Place) -> Job:
    """The job of a page listed below a prefix (`single`: the one object its URL names)."""
    # A single object's site root is its prefix: hrefs resolve beside it, as a single file's do.
    root = posixpath.dirname(page.url) if single else prefix
    found = ObjectPage(source=page.url, source_root=root, size=page.size)
    name, relative, output = escape(page.url), Path(page.relative), run.output
    if run.in_place:
        found = found._replace(target=page.url, target_root=root)
    elif output == "-":
        return Job(Page(name, None, relative=relative, objects=found), to_stdout=True)
    elif output is not None and run.command.output == "edit":
        # One object to one object (or file): -o names it, unless it is a prefix (ends with "/") or a directory.
        into_objects = objects.is_object_url(output)
        whole = single and not (output.endswith("/") if into_objects else Path(output).is_dir())
        target = output if whole else place(page.relative, name)
        if into_objects:
            found = found._replace(target=str(target), target_root=posixpath.dirname(output) if whole else output)
            return Job(Page(name, None, relative=relative, objects=found), mirrored=not whole)
        destination = Path(target)
        return Job(Page(name, None, relative=relative, destination=destination, objects=found),
                   out_tree=os.path.realpath(destination.parent if whole else output), mirrored=not whole)
    return Job(Page(name, None, relative=relative, objects=found))


def overlapping(storage: Storage, sources: Sequence[str], output: str) -> Optional[str]:
    """The first input prefix that an output prefix lies in, or that lies in it."""
    out_fs, out = storage.filesystem(output)
    for source in sources:
        fs, path = storage.filesystem(source)
        if type(fs) is type(out_fs) and (inside(out.rstrip("/"), path.rstrip("/")) or
                                         inside(path.rstrip("/"), out.rstrip("/"))):
            return source
    return None


def links_into_objects(run: Plan, links: Sequence[Link], planned: Planned, place: Place) -> None:
    """A local tree's symbolic links, mirrored into object storage, which has no links: a link to a page
    of the tree is signed again in its own place (a second name of a page, an index.html), with a note;
    any other is left out, with a warning."""
    for link in links:
        name = display(link.path)
        said, text = "warning", LINK_WARNING
        if link.leads == "inside" and link.path.name.lower().endswith(run.extensions) and link.path.is_file():
            target = ObjectPage(target=str(place(link.relative.as_posix(), name)), target_root=run.output)
            page = Page(name, None, path=link.path, relative=link.relative, site=run.site_root, objects=target)
            planned.jobs.append(Job(page, mirrored=True))
            said, text = "note", LINK_PAGE_NOTE
        planned.notes.append(Report(name, True, text=text, data={"mirrored": "symbolic link", "symlink": link.target,
                                                                  said: text}))
