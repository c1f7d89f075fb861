"""Hash, sign, embed, verify: one page end to end, step by step, in both forms.

    python examples/hash_sign_embed.py PAGE --cert chain.pem --key signer.key \
        [--trust-anchors root.pem] [--manifest examples/manifest.json] [-o signed.html]

`brevane_tools.sign` signs, and this spells out what it does around the SDK.
Make a throwaway certificate chain with examples/make_test_certs.py.
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Optional

import brevane

from brevane_tools import CheckResult, SigningKey, check_page, sign

HERE = Path(__file__).resolve().parent
TRIAL = b"<!doctype html><html><head><title>trial</title></head><body></body></html>"


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Sign one HTML page end to end.")
    parser.add_argument("page", type=Path)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--trust-anchors", type=Path)
    parser.add_argument("--manifest", type=Path, default=HERE / "manifest.json")
    parser.add_argument("-o", "--output", type=Path)
    args = parser.parse_args(argv)

    page = brevane.remove(args.page.read_bytes())
    definition = json.loads(args.manifest.read_text())
    signer = SigningKey.from_files(args.cert, args.key).signer()

    # 1. Hash: the binding's hash is known before any manifest exists.
    digest = brevane.inline_hash_before_embed(page)
    # An empty store shows where the element lands and how long its tags are.
    start, overhead = brevane.locate_all(brevane.embed(page, b""))[0]
    print(f"1. hash      sha256 {digest.hex()}; the element will start at byte {start}")

    # 2. Sign: the exclusion records the element's length, which depends on the
    #    store that records it. The toolkit predicts that length from what the SDK
    #    made of one page before (`brevane sign` signs a trial page once per run,
    #    as here), so each page then takes a single SDK signing.
    sign(TRIAL, definition, signer)
    signed = sign(page, definition, signer)
    ((start, length),) = signed.exclusions
    print(f"2. sign      {signed.rounds} SDK signing: store {len(signed.store)} bytes, element {length} bytes")

    # 3. Embed: a byte splice, nothing else in the page changes.
    assert brevane.embed(page, signed.store) == signed.page
    assert signed.page[:start] + signed.page[start + length:] == page
    print(f"3. embed     {len(page)} -> {len(signed.page)} bytes, element at {start}:{length}")

    # 4. Verify: brevane recomputes the binding, and the SDK validates the store.
    found = brevane.compute_data_hash(signed.page)
    brevane.verify_data_hash(signed.page, digest, found["exclusions"])
    print(f"4. verify    brevane: hash {found['hash'] == digest}, exclusions {found['exclusions']}")
    anchors = args.trust_anchors.read_bytes() if args.trust_anchors else None
    result = check_page(signed.page, trust_anchors=anchors)
    print(f"   inline:    {result.state}: {explain(result)}")

    # 5. The reference form: the page carries a link element, the store is
    #    published beside it, and the binding covers the whole page.
    out = args.output or args.page
    linked_page = out.with_name(out.stem + ".linked" + out.suffix)
    href = linked_page.name + ".c2pa"  # relative: the store sits beside the page
    linked = sign(page, definition, signer, href=href)
    linked_result = check_page(linked.page, linked.store, trust_anchors=anchors)
    print(f"5. reference {len(page)} -> {len(linked.page)} bytes, store {len(linked.store)} bytes at {href}")
    print(f"   reference: {linked_result.state}: {explain(linked_result)}")
    if args.output:
        args.output.write_bytes(signed.page)
        linked_page.write_bytes(linked.page)
        linked_page.with_name(href).write_bytes(linked.store)
        print(f"   written: {args.output} (inline), {linked_page} and {linked_page.with_name(href)} (reference)")
    return 0 if result.ok and linked_result.ok else 1


def explain(result: CheckResult) -> str:
    """One plain line on what the C2PA SDK reported and why."""
    if not result.ok:
        return f"{', '.join(result.failures) or result.verdict} (brevane: {result.verdict})"
    signer = "a trusted signer" if result.state == "Trusted" else "a valid signature"
    if result.waived:
        return (
            f"the C2PA SDK confirms the hash and {signer}; it cannot place an inline store in "
            "HTML, so brevane checked that the exclusion is exactly the manifest element"
        )
    return f"the C2PA SDK's own verdict, nothing waived: the hash matches, {signer}"


if __name__ == "__main__":
    raise SystemExit(main())
