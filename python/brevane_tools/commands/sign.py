"""The `sign` command: sign pages with a C2PA manifest through the C2PA SDK.

Everything that can be wrong for every page (the credential, the algorithm,
the manifest definition, an unreachable time-stamp authority) is found once,
in `prepare`, by checking and then signing a trial page: one error, exit
status 2, nothing written. What `run` can still get wrong is that page's own.
"""

from __future__ import annotations

import argparse
import json
import os
from dataclasses import dataclass, replace
from pathlib import Path, PurePosixPath
from typing import Any, Optional

import brevane

from brevane_tools import sdk, signing, store_location
from brevane_tools.commands.base import Command, Outcome, Page, UsageError, read_option_file
from brevane_tools.errors import SdkUnavailableError, SigningError, StoreLocationError

STORE_SUFFIX = ".c2pa"
#: Old stores larger than this are not read (and not kept as the parent).
MAX_OLD_STORE = 16 * 1024 * 1024


@dataclass(frozen=True)
class SignSettings:
    """Everything a worker needs to sign its pages; picklable."""

    template: str  # the manifest definition (JSON text)
    credential: signing.Credential
    alg: str  # the binding's hash algorithm
    keep_parent: bool = True
    skip_valid: bool = False
    reference: bool = False
    href: Optional[str] = None  # a template with {path} and {name}; None: relative to the store
    store_dir: Optional[Path] = None
    #: The store-size model learnt from the trial signing (seeds each worker: one round from the first page).
    size_model: tuple[tuple[str, int], ...] = ()


# One signer per process and credential: making one parses the key and certificates.
_SIGNERS: dict[signing.Credential, Any] = {}


def _signer(settings: SignSettings) -> Any:
    if settings.credential not in _SIGNERS:
        _SIGNERS[settings.credential] = settings.credential.signer()
        signing.seed_size_model(settings.size_model)
    return _SIGNERS[settings.credential]


def _arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--manifest", required=True, metavar="FILE", help="manifest definition (JSON), a template")
    parser.add_argument("--cert", required=True, metavar="FILE", help="PEM certificate chain, signer first")
    keys = parser.add_mutually_exclusive_group(required=True)
    keys.add_argument("--key", metavar="FILE", help="PEM private key")
    keys.add_argument(
        "--signer-command", metavar="CMD",
        help="command that signs standard input to standard output with a key held elsewhere",
    )
    parser.add_argument("--signing-alg", default="es256", help=f"signature algorithm: {', '.join(signing.ALGORITHMS)}")
    parser.add_argument(
        "--tsa-url", default=None, metavar="URL", help="RFC 3161 time-stamp authority (overrides ta_url)"
    )
    parser.add_argument("--replace", action="store_true", help="drop a page's old manifest instead of keeping it as the parent")
    parser.add_argument(
        "--skip-valid", action="store_true",
        help="leave pages alone whose binding still holds and that this signer signed",
    )
    parser.add_argument("--reference", action="store_true", help="write the store beside the page, linked from it")
    parser.add_argument("--href", metavar="TEMPLATE", help="the link's href: {path} and {name} of the page (with --reference)")
    parser.add_argument("--store-dir", metavar="DIR", help="where the stores go (with --reference; default beside the pages)")


def _prepare(args: argparse.Namespace) -> SignSettings:
    try:
        sdk.load()
    except SdkUnavailableError as exc:
        raise UsageError(str(exc)) from None
    if (args.href or args.store_dir) and not args.reference:
        raise UsageError("--href and --store-dir go with --reference")
    if args.reference and args.output == "-":
        raise UsageError("--reference writes a store beside each page: give -o DIR or --in-place, not -o -")
    if args.href is not None:
        _href_for(args.href, PurePosixPath("a.html"))  # raises on an unknown placeholder

    raw = read_option_file(args.manifest, "manifest")
    try:
        text = raw.decode("utf-8")
        definition = signing.load_definition(text)
    except UnicodeDecodeError as exc:
        raise UsageError(f"the manifest {args.manifest} is not UTF-8: {exc}") from None
    except SigningError as exc:
        raise UsageError(f"the manifest {args.manifest}: {exc}") from None
    tsa_url = args.tsa_url or definition.get("ta_url")

    chain = read_option_file(args.cert, "certificate chain")
    credential: signing.Credential
    if args.key is not None:
        credential = signing.SigningKey(chain, read_option_file(args.key, "private key"), args.signing_alg, tsa_url)
    else:
        try:
            credential = signing.SigningCommand.from_text(chain, args.signer_command, args.signing_alg, tsa_url)
        except ValueError as exc:
            raise UsageError(f"--signer-command: {exc}") from None
    settings = SignSettings(
        text, credential, str(args.alg), keep_parent=not args.replace, skip_valid=args.skip_valid,
        reference=args.reference, href=args.href,
        store_dir=Path(args.store_dir) if args.store_dir else None,
    )
    try:
        signing.check_credential(credential)
        model = _trial(settings)
    except SigningError as exc:
        raise UsageError(str(exc)) from None
    return replace(settings, size_model=model)


def _trial(settings: SignSettings) -> tuple[tuple[str, int], ...]:
    """Sign and read back a small page: what fails here would fail on every page."""
    from brevane_tools import checking

    page = b"<!doctype html><html><head><title>trial</title></head><body></body></html>"
    signer = _signer(settings)
    signed = signing.sign(page, settings.template, signer, alg=settings.alg, facts=signing.PageFacts("trial.html", "trial.html"))
    result = checking.check_page(signed.page)
    broken = [c for c in result.failures if c.startswith(("claimSignature", "signingCredential.invalid", "timeStamp"))]
    if broken:
        explanation = result.explanations.get(broken[0], "")
        raise SigningError(
            f"a trial signature does not validate ({broken[0]}{': ' + explanation if explanation else ''}): "
            "the signer does not sign with the certificate's key"
        )
    # The model is per definition shape, not per page: what the trial page taught holds for every page.
    return signing.size_model()


def _href_for(template: str, relative: PurePosixPath) -> str:
    values = {"path": relative.as_posix(), "name": relative.name}
    try:
        return signing.substitute(template, values)
    except SigningError as exc:
        raise UsageError(f"--href: {str(exc).replace('the manifest definition', 'the template')}") from None


def _store_path(page: Page, settings: SignSettings) -> Path:
    assert page.destination is not None
    if settings.store_dir is not None:
        return settings.store_dir / (page.relative.as_posix() + STORE_SUFFIX)
    return page.destination.parent / (page.destination.name + STORE_SUFFIX)


def _output_root(page: Page) -> Path:
    """The root of the tree the page is written to (the output directory, or the site for --in-place)."""
    assert page.destination is not None
    depth = len(page.relative.parts)
    if 0 < depth < len(page.destination.parts) and page.destination.parts[-depth:] == page.relative.parts:
        return Path(*page.destination.parts[:-depth])
    return page.destination.parent


def _href(page: Page, settings: SignSettings, store: Path, html: bytes) -> str:
    if settings.href is not None:
        return _href_for(settings.href, PurePosixPath(page.relative.as_posix()))
    assert page.destination is not None
    href = store_location.href_to(store, html, page=page.destination, site_root=_output_root(page))
    if href is None:
        raise ValueError(
            "no relative href leads from this page to its store (its <base href> leads elsewhere, "
            "or the store lies outside the site): give the store's URL with --href"
        )
    return href


def _old_store(page: Page, settings: SignSettings, html: bytes) -> Optional[bytes]:
    """The store a referenced page links to, where it lies in the site; None when it is not there."""
    association = brevane.extract(html)
    if association is None or association["kind"] != "referenced" or page.path is None:
        return None
    root = page.root
    assert root is not None
    candidates: list[tuple[Path, Path]] = []
    try:
        # Found as `brevane check` finds it; a store elsewhere on the web is not fetched.
        found = store_location.locate(str(association["href"]), html, page=page.path, site_root=root)
        if found.path is not None:
            candidates.append((found.path, root))
    except StoreLocationError:
        pass
    if settings.reference and page.destination is not None:
        candidates.append((_store_path(page, settings), _output_root(page)))
    for candidate, tree in candidates:
        try:
            return store_location.read_store(candidate, tree, MAX_OLD_STORE)
        except ValueError:
            continue
    return None


def _still_valid(html: bytes, old_store: Optional[bytes], settings: SignSettings) -> bool:
    """Whether a page's binding holds and its manifest was signed with this certificate."""
    from brevane_tools import checking

    association = brevane.extract(html)
    if association is None or (association["kind"] == "referenced") != settings.reference:
        return False
    if settings.reference and old_store is None:
        return False
    try:
        # The manifest report names the signer: one reading of the store serves both questions.
        result = checking.check_page(html, old_store if settings.reference else None, report=True)
    except ValueError:
        return False
    # Trust is a reader's setting; what matters here is that nothing else failed.
    if result.verdict != "match" or set(result.failures) - {"signingCredential.untrusted"}:
        return False
    return signing.signer_of(result.report) == signing.certificate_identity(settings.credential.cert_chain_pem)


def _sign(page: Page, settings: SignSettings) -> Outcome:
    assert page.html is not None
    relative = PurePosixPath(page.relative.as_posix())
    old_store = _old_store(page, settings, page.html)
    if settings.skip_valid and _still_valid(page.html, old_store, settings):
        return Outcome("unchanged: still valid, signed by this signer", {"skipped": True, "rounds": 0})
    facts = signing.PageFacts(relative.as_posix(), relative.name or (page.path.name if page.path else ""))
    href = store_path = None
    if settings.reference:
        if page.destination is None:  # pragma: no cover - refused in prepare
            raise ValueError("--reference needs -o DIR or --in-place")
        store_path = _store_path(page, settings)
        href = _href(page, settings, store_path, page.html)
    signed = signing.sign(
        page.html, settings.template, _signer(settings), alg=settings.alg, href=href, facts=facts,
        keep_parent=settings.keep_parent, old_store=old_store,
    )
    data: dict[str, Any] = {"kind": signed.kind, "rounds": signed.rounds, "store_size": len(signed.store)}
    if signed.parent is not None:
        data["parent"] = signed.parent
    if store_path is not None:
        data["href"] = signed.href
        data["store"] = str(store_path)
        text = f"signed, linked to {signed.href}"
        files: tuple[tuple[Path, bytes], ...] = ((store_path, signed.store),)
    else:
        ((start, length),) = signed.exclusions
        data.update(start=start, length=length)
        text = f"signed, manifest element at {start}:{length}"
        files = ()
    if signed.parent is not None:
        text += f", parent {json.dumps(signed.parent)}"
    return Outcome(text, data, page=signed.page, files=files)


SIGN: Command[SignSettings] = Command(
    "sign", "sign pages with a C2PA manifest, inline or by reference", _arguments, _prepare, _sign,
    output="edit", hash_alg=True, done="signed",
)
