"""`--delete`, as rsync's: once a mirror's pages and files are in place, what is no longer in the source
goes from the output: below a local output directory (walked through directory descriptors, never
through a link), or below an output prefix. A store beside a page stays for as long as its page does;
a store directory of the run inside the output is never entered.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

from brevane_tools.files import mirroring, object_copies, objects
from brevane_tools.files.finding import inside
from brevane_tools.files.mirroring import Mirrored
from brevane_tools.files.objects import ObjectFile
from brevane_tools.results import Report
from brevane_tools.batch import Plan, Planned

__all__ = ["prune"]


def prune(run: Plan, planned: Planned, mirrored: Mirrored, emit: Callable[[Report], None]) -> None:
    """What no longer exists in the source goes from the output (see `files.mirroring.prune`)."""
    assert run.output is not None
    sources = [p for p in run.paths if not objects.is_object_url(p)]
    if sources:
        in_source = mirroring.in_local_source(sources)
    else:
        listed = _listed(planned)

        def in_source(relative: str) -> bool:
            return relative in listed

    if objects.is_object_url(run.output):
        object_copies.prune(run.storage or objects.Storage(), run.output, in_source, mirrored, emit)
        return
    tree = os.path.realpath(run.output)
    store_dir = getattr(run.settings, "store_dir", None)
    spared = []
    if store_dir is not None and inside(os.path.realpath(store_dir), tree):
        spared.append(os.path.relpath(os.path.realpath(store_dir), tree))
    mirroring.prune(tree, Path(run.output), in_source, spared, mirrored, emit)


def _listed(planned: Planned) -> set[str]:
    """The paths (and the directories above them) of a source in object storage, below its prefix."""
    names = {job.page.relative.as_posix() for job in planned.jobs}
    names.update(copy.source.relative if isinstance(copy.source, ObjectFile) else copy.source.relative.as_posix()
                  for copy in planned.copies)
    for name in list(names):
        while "/" in name:
            name = name.rsplit("/", 1)[0]
            names.add(name)
    return names
