"""The commands that use the module alone: locate, extract, remove, embed,
reference, hash, predict and verify. None of them needs the C2PA SDK."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

import brevane

from brevane_tools.commands.base import Command, Outcome, Page, PageFailed
from brevane_tools.commands import summary
from brevane_tools.files.reading import read_option_file


def ranges_text(ranges: Sequence[tuple[int, int]]) -> str:
    return ", ".join(f"{start}:{length}" for start, length in ranges) or "none"


def _html(page: Page) -> bytes:
    assert page.html is not None
    return page.html


def _nothing(_: object) -> None:
    """No flags of its own, or no settings."""


def _alg(args: argparse.Namespace) -> str:
    return str(args.alg)


#: When cutting an element joins the bytes around it into a new one, the module's one pass
#: leaves that element; the tool says so instead of reporting success.
JOINED = "the bytes around a removed element form a new manifest element"


def only_new_element(edited: bytes, expected: int) -> bytes:
    """`edited`, when it carries exactly the `expected` number of manifest elements; else the page fails."""
    if len(brevane.locate_all(edited)) != expected:
        raise PageFailed(JOINED)
    return edited


def _locate(page: Page, _: None) -> Outcome:
    ranges = brevane.locate_all(_html(page))
    return Outcome(ranges_text(ranges), {"ranges": [list(r) for r in ranges]})


def _extract_settings(args: argparse.Namespace) -> bool:
    return args.output is not None  # the store is to be written


def _extract(page: Page, writing: bool) -> Outcome:
    html = _html(page)
    association = brevane.extract(html)
    if association is None:
        # The module's message for a page without a manifest, raised its own way.
        brevane.compute_data_hash(html)
        raise AssertionError("unreachable")  # pragma: no cover
    data: dict[str, Any] = {"kind": association["kind"], "start": association["start"], "length": association["length"]}
    if association["kind"] == "embedded":
        import hashlib  # here alone: locate and the other commands of this module start without it

        store = association["store"]
        data["store_size"] = len(store)
        data["store_sha256"] = hashlib.sha256(store).hexdigest()
        text = (
            f"embedded at {association['start']}:{association['length']}, "
            f"store {len(store)} bytes, sha256 {data['store_sha256']}"
        )
        return Outcome(text, data, store=store)
    data["href"] = association["href"]
    if writing:
        raise PageFailed(f"the store is not in the page: the page references it at {association['href']}", data)
    text = f"referenced at {association['start']}:{association['length']}, href {association['href']}"
    return Outcome(text, data)


def _remove(page: Page, _: None) -> Outcome:
    html = _html(page)
    count = len(brevane.locate_all(html))
    return Outcome(f"removed {count} element(s)", {"removed": count}, page=only_new_element(brevane.remove(html), 0))


def _embed_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", required=True, metavar="FILE", help="the Manifest Store to embed")


def _embed_settings(args: argparse.Namespace) -> bytes:
    return read_option_file(args.store, "store")


def _embed(page: Page, store: bytes) -> Outcome:
    edited = only_new_element(brevane.embed(_html(page), store), 1)
    located = brevane.locate_all(edited)
    text = f"embedded a {len(store)}-byte store at {ranges_text(located)}"
    return Outcome(text, {"ranges": [list(r) for r in located]}, page=edited)


def _reference_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--href", required=True, metavar="URL", help="where the Manifest Store is published")


def _reference_settings(args: argparse.Namespace) -> str:
    return str(args.href)


def _reference(page: Page, href: str) -> Outcome:
    edited = only_new_element(brevane.embed_reference(_html(page), href), 1)
    return Outcome(f"referenced {href}", {"href": href}, page=edited)


def _hash(page: Page, alg: str) -> Outcome:
    binding = brevane.compute_data_hash(_html(page), alg)
    digest = binding["hash"].hex()
    text = f"{binding['alg']} {digest} exclusions {ranges_text(binding['exclusions'])}"
    return Outcome(text, {"alg": binding["alg"], "hash": digest, "exclusions": [list(r) for r in binding["exclusions"]]})


def _predict(page: Page, alg: str) -> Outcome:
    digest = brevane.inline_hash_before_embed(_html(page), alg).hex()
    return Outcome(f"{alg} {digest}", {"alg": alg, "hash": digest})


def _parse_exclusion(text: str) -> tuple[int, int]:
    start, sep, length = text.partition(":")
    try:
        if not sep:
            raise ValueError
        pair = (int(start), int(length))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected START:LENGTH, got {text!r}") from None
    if pair[0] < 0 or pair[1] < 0:
        raise argparse.ArgumentTypeError(f"START and LENGTH must not be negative: {text!r}")
    if max(pair) >= 1 << 64:  # the module's offsets are 64-bit
        raise argparse.ArgumentTypeError(f"START and LENGTH must be below 2**64: {text!r}")
    return pair


def _parse_hex(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hexadecimal hash: {text!r}") from None


def _verify_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--hash", required=True, type=_parse_hex, metavar="HEX", dest="expected_hash",
        help="the binding's hash, in hexadecimal",
    )
    parser.add_argument(
        "--exclusion", action="append", default=[], type=_parse_exclusion, metavar="START:LENGTH",
        help="an excluded byte range (repeat for several)",
    )


def _verify_settings(args: argparse.Namespace) -> tuple[str, bytes, tuple[tuple[int, int], ...]]:
    return str(args.alg), args.expected_hash, tuple(args.exclusion)


def _verify(page: Page, settings: tuple[str, bytes, tuple[tuple[int, int], ...]]) -> Outcome:
    alg, expected, exclusions = settings
    brevane.verify_data_hash(_html(page), expected, list(exclusions), alg)
    return Outcome("match", {"verdict": "match"})


LOCATE: Command[None] = Command("locate", summary("locate"), _nothing, _nothing, _locate)
EXTRACT: Command[bool] = Command("extract", summary("extract"), _nothing, _extract_settings, _extract, output="store")
REMOVE: Command[None] = Command("remove", summary("remove"), _nothing, _nothing, _remove, output="edit")
EMBED: Command[bytes] = Command("embed", summary("embed"), _embed_arguments, _embed_settings, _embed, output="edit")
REFERENCE: Command[str] = Command(
    "reference", summary("reference"), _reference_arguments, _reference_settings, _reference, output="edit"
)
HASH: Command[str] = Command("hash", summary("hash"), _nothing, _alg, _hash, hash_alg=True)
PREDICT: Command[str] = Command("predict", summary("predict"), _nothing, _alg, _predict, hash_alg=True)
VERIFY: Command[tuple[str, bytes, tuple[tuple[int, int], ...]]] = Command(
    "verify", summary("verify"), _verify_arguments, _verify_settings, _verify, hash_alg=True
)
