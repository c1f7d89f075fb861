"""The `check` command: validate signed pages with the C2PA SDK and with brevane."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Optional

from brevane_tools import checking
from brevane_tools.command import Command, Outcome, Page, PageFailed, register
from brevane_tools.page_commands import read_option_file


@dataclass(frozen=True)
class CheckSettings:
    store: Optional[bytes] = None
    trust_anchors: Optional[bytes] = None


def _arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", metavar="FILE", help="the store of pages that reference theirs")
    parser.add_argument("--trust-anchors", metavar="FILE", help="PEM root certificates to trust")


def _prepare(args: argparse.Namespace) -> CheckSettings:
    return CheckSettings(
        store=read_option_file(args.store, "store") if args.store else None,
        trust_anchors=read_option_file(args.trust_anchors, "trust anchors") if args.trust_anchors else None,
    )


def _check(page: Page, settings: CheckSettings) -> Outcome:
    assert page.html is not None
    result = checking.check_page(page.html, settings.store, trust_anchors=settings.trust_anchors)
    text = f"{result.state} ({', '.join(result.codes) or 'no status codes'}; brevane: {result.verdict})"
    if not result.ok:
        raise PageFailed(text, result.as_dict())
    return Outcome(text, result.as_dict())


register(Command("check", "validate signed pages with the C2PA SDK and with brevane", _arguments, _prepare, _check))
