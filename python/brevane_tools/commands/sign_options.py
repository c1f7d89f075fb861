"""What a `sign` run is asked to do, checked once: `SignOptions` in, `SignSettings` out.

`prepare` finds everything that can be wrong for every page before any page
is touched (the credential, the algorithm, the manifest definition, an
unreachable time-stamp authority, where stores and server rules would go) by
checking and then signing a trial page: one UsageError, exit status 2, nothing
written. The command line builds its `SignOptions` from its flags; a program
(the Sphinx and MkDocs integrations) builds them itself, and gets the same
checks and the same messages.
"""

from __future__ import annotations

import argparse
import os
import threading
from dataclasses import dataclass, field, replace
from pathlib import Path, PurePosixPath
from typing import Any, Optional

from brevane_tools import checking, sdk, signing
from brevane_tools.commands.base import UsageError
from brevane_tools.errors import SdkUnavailableError, SigningError
from brevane_tools.files import objects
from brevane_tools.files.finding import inside
from brevane_tools.files.reading import read_option_file
from brevane_tools.limits import FORMS, SIGNING_ALGS
from brevane_tools.signing import serving
from brevane_tools.text import display, escape

__all__ = ["SignOptions", "SignSettings", "add_arguments", "href_for", "options_from", "prepare", "signer"]


@dataclass(frozen=True)
class SignOptions:
    """The options of a `sign` run, as `brevane sign` takes them (paths are files, as given)."""

    paths: tuple[str, ...]  # the pages and directories (or object URLs) to sign
    manifest: str  # the manifest definition's file (JSON), a template
    cert: str  # PEM certificate chain, signer first
    key: Optional[str] = None  # PEM private key; or:
    signer_command: Optional[str] = None  # a command that signs standard input to standard output
    output: Optional[str] = None  # -o: a directory, a file, an object prefix, or "-"
    in_place: bool = False
    definition: Optional[str] = None  # the definition's text, read instead of `manifest`
    alg: str = "sha256"  # the binding's hash algorithm
    signing_alg: str = "es256"
    tsa_url: Optional[str] = None
    replace: bool = False
    skip_valid: bool = False
    form: Optional[str] = None  # link (default), inline or header
    reference: bool = False  # the same as form "link"
    href: Optional[str] = None
    store_dir: Optional[str] = None
    rules_dir: Optional[str] = None
    storage: Optional[objects.Storage] = field(default=None, repr=False)  # the run's fsspec options


@dataclass(frozen=True)
class SignSettings:
    """Everything a worker needs to sign its pages; picklable."""

    template: str  # the manifest definition (JSON text)
    credential: signing.Credential
    alg: str  # the binding's hash algorithm
    keep_parent: bool = True
    skip_valid: bool = False
    form: str = "link"  # one of FORMS
    href: Optional[str] = None  # a template with {path} and {name}; None: relative to the store
    store_dir: Optional[Path] = None
    #: The store directory, resolved, when it lies outside the output tree: stores are written there too.
    store_tree: Optional[str] = None
    #: The header form: the site root (resolved) its rules are written at, and the
    #: store directory's path below it ("" when the stores lie beside the pages).
    site_root: Optional[Path] = None
    store_prefix: str = ""
    #: The header form: where the server rules go when not at the site root (--rules-dir).
    rules_dir: Optional[Path] = None
    #: The header form, its pages written to object storage: the rules go to the prefix the pages are
    #: written below (as objects), unless --rules-dir takes them.
    rules_in_objects: bool = False
    storage: Optional[objects.Storage] = None  # the run's storage options, for the rules written as objects
    in_place: bool = False
    #: The store-size model learnt from the trial signing (seeds each worker: one round from the first page).
    size_model: tuple[tuple[str, int], ...] = ()

    @property
    def reference(self) -> bool:
        """Whether each store is a file of its own (the link and header forms)."""
        return self.form != "inline"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The flags of `brevane sign`; `options_from` makes them its options."""
    parser.add_argument("--manifest", required=True, metavar="FILE", help="manifest definition (JSON), a template")
    parser.add_argument("--cert", required=True, metavar="FILE", help="PEM certificate chain, signer first")
    keys = parser.add_mutually_exclusive_group(required=True)
    keys.add_argument("--key", metavar="FILE", help="PEM private key")
    keys.add_argument(
        "--signer-command", metavar="CMD",
        help="command that signs standard input to standard output with a key held elsewhere",
    )
    parser.add_argument("--signing-alg", default="es256", help=f"signature algorithm: {', '.join(SIGNING_ALGS)}")
    parser.add_argument(
        "--tsa-url", default=None, metavar="URL", help="RFC 3161 time-stamp authority (overrides ta_url)"
    )
    parser.add_argument("--replace", action="store_true", help="drop a page's old manifest instead of keeping it as the parent")
    parser.add_argument(
        "--skip-valid", action="store_true",
        help="leave pages alone whose binding still holds and that this signer signed",
    )
    parser.add_argument(
        "--form", choices=FORMS, default=None,
        help="link (default): each store in PAGE.c2pa, named by a <link> element; inline: in a <script> element "
        "of the page; header: in PAGE.c2pa, the page untouched, named by an HTTP Link header (server rules "
        "for nginx, Apache, Netlify and Cloudflare Pages are written at the site's root)",
    )
    parser.add_argument("--reference", action="store_true", help="the same as --form link")
    parser.add_argument(
        "--href", metavar="TEMPLATE",
        help="the store's URL, with {path} and {name} of the page (link and header forms; default: "
        "its path in the site)",
    )
    parser.add_argument(
        "--store-dir", metavar="DIR",
        help="where the stores go, mirroring the pages' paths (link and header forms; default beside each page); "
        "outside the output tree it needs --href",
    )
    parser.add_argument(
        "--rules-dir", metavar="DIR",
        help="with --form header: write the server rules in DIR, outside the published tree "
        "(default: at the site's root, denying their own files)",
    )


def options_from(args: argparse.Namespace) -> SignOptions:
    """The options of `brevane sign`'s parsed flags."""
    storage = getattr(args, "storage_options", None)
    return SignOptions(
        tuple(args.paths), args.manifest, args.cert, args.key, args.signer_command, args.output,
        bool(args.in_place), alg=str(args.alg), signing_alg=args.signing_alg, tsa_url=args.tsa_url,
        replace=args.replace, skip_valid=args.skip_valid, form=args.form, reference=args.reference, href=args.href,
        store_dir=args.store_dir, rules_dir=args.rules_dir,
        storage=objects.Storage.parse(storage) if storage is not None else None,
    )


def prepare(options: SignOptions) -> SignSettings:
    """The settings of a run, every page's problems found first; raises UsageError (exit status 2)."""
    try:
        sdk.load()
    except SdkUnavailableError as exc:
        raise UsageError(str(exc)) from None
    if options.reference and options.form not in (None, "link"):
        raise UsageError(f"--reference is --form link: it cannot go with --form {options.form}")
    form = options.form or "link"
    if (options.href or options.store_dir) and form == "inline":
        raise UsageError("--href and --store-dir go with --form link or --form header")
    if form != "inline" and options.output == "-":
        raise UsageError(
            f"--form {form} writes each page's store to a file of its own: give -o DIR or --in-place, "
            "not -o -, or sign with --form inline"
        )
    if options.href is not None:
        example = href_for(options.href, PurePosixPath("a.html"))  # raises on an unknown placeholder
        if form == "header" and not serving.is_link_target(example):
            raise UsageError(
                f"--href: {example} is not a URL a Link header can carry as it is (spaces, quotes, "
                "'$', '<', '>' and the like must be percent-encoded)"
            )
    where = _where_stores_go(options, form)
    rules_dir = _where_rules_go(options, form, where)
    text, definition = _definition(options)
    tsa_url = options.tsa_url or definition.get("ta_url")
    chain = read_option_file(options.cert, "certificate chain")
    credential: signing.Credential
    if options.key is not None:
        credential = signing.SigningKey(chain, read_option_file(options.key, "private key"), options.signing_alg,
                                        tsa_url)
    else:
        try:
            credential = signing.SigningCommand.from_text(chain, options.signer_command or "", options.signing_alg,
                                                          tsa_url)
        except ValueError as exc:
            raise UsageError(f"--signer-command: {exc}") from None
    settings = SignSettings(
        text, credential, options.alg, keep_parent=not options.replace, skip_valid=options.skip_valid,
        form=form, href=options.href, in_place=options.in_place, rules_dir=rules_dir,
        **{"store_dir": Path(options.store_dir) if options.store_dir else None, **where},
    )
    try:
        signing.check_credential(credential)
        model = _trial(settings)
    except SigningError as exc:
        raise UsageError(str(exc)) from None
    return replace(settings, size_model=model)


def _definition(options: SignOptions) -> tuple[str, dict[str, Any]]:
    """The manifest definition's text, and what it says, checked as a template."""
    name = options.manifest
    try:
        text = options.definition
        if text is None:
            text = read_option_file(name, "manifest").decode("utf-8")
        return text, signing.load_definition(text)
    except UnicodeDecodeError as exc:
        raise UsageError(f"the manifest {name} is not UTF-8: {exc}") from None
    except SigningError as exc:
        raise UsageError(f"the manifest {name}: {exc}") from None


# One signer per process, thread and credential: making one parses the key and certificates,
# and a Dask worker may run tasks on several threads, while the SDK's signer is not shared.
_SIGNERS: dict[tuple[signing.Credential, int], Any] = {}


def signer(settings: SignSettings) -> Any:
    """The SDK signer of the settings' credential, made once per process and thread."""
    key = (settings.credential, threading.get_ident())
    if key not in _SIGNERS:
        _SIGNERS[key] = signing.skip_read_back(settings.credential.signer(), settings.credential)
        signing.seed_size_model(settings.size_model)
    return _SIGNERS[key]


def _trial(settings: SignSettings) -> tuple[tuple[str, int], ...]:
    """Sign and read back a small page: what fails here would fail on every page. The SDK reads it back
    too (`skip_read_back`): the pages after it may leave that out."""
    page = b"<!doctype html><html><head><title>trial</title></head><body></body></html>"
    signed = signing.sign(page, settings.template, settings.credential.signer(), alg=settings.alg,
                          facts=signing.PageFacts("trial.html", "trial.html"))
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


def href_for(template: str, relative: PurePosixPath) -> str:
    """The --href template's URL for the page at `relative`; UsageError for an unknown placeholder."""
    values = {"path": relative.as_posix(), "name": relative.name}
    try:
        return signing.substitute(template, values)
    except SigningError as exc:
        raise UsageError(f"--href: {str(exc).replace('the manifest definition', 'the template')}") from None


def _where_stores_go(options: SignOptions, form: str) -> dict[str, Any]:
    """Where stores and server rules go, checked once: one usage error up front rather than one per page."""
    sources = [p for p in options.paths if objects.is_object_url(p)]
    if objects.is_object_url(options.output or "") or (options.in_place and sources):
        stores = _store_prefix(options, sources) if options.store_dir else {}
        if form != "header":
            return stores
        if options.in_place and len(sources) != 1:
            raise UsageError(
                "--form header writes the server rules at the site's root: sign one prefix, "
                "or pages of one prefix, at a time"
            )
        # The site's prefix is the one its pages are written below, known once they are planned.
        return {**stores, "rules_in_objects": True, "storage": options.storage}
    if options.store_dir and objects.is_object_url(options.store_dir):
        raise UsageError(f"--store-dir {escape(options.store_dir)} is in object storage, and the pages are "
                         "written to local files: give a directory")
    real_roots = sorted({os.path.realpath(r) for r in _output_roots(options, bool(sources))})
    places: dict[str, Any] = {}
    store_below: Optional[str] = None
    if options.store_dir:
        store_dir = Path(options.store_dir)
        real = os.path.realpath(store_dir)
        for source in [] if options.in_place else [Path(p) for p in options.paths]:
            if source.is_dir() and inside(real, os.path.realpath(source)):
                raise UsageError(
                    f"the store directory {display(store_dir)} lies in the input {display(source)}: "
                    "give one outside the pages' source"
                )
        _check_writable(store_dir, "store directory")
        if all(inside(real, root) for root in real_roots):
            store_below = real
        elif options.href is None:
            shown = ", ".join(display(Path(r)) for r in real_roots)
            raise UsageError(
                f"the store directory {display(store_dir)} lies outside the output tree {shown}, "
                "so no path in the site leads to it: give the URL its stores are served at with "
                "--href TEMPLATE (e.g. --href 'https://cdn.example/c2pa/{path}.c2pa')"
            )
        else:
            places["store_tree"] = real
    if form == "header":
        if len(real_roots) != 1:
            raise UsageError(
                "--form header writes the server rules at the site's root: sign one directory, "
                "or pages of one directory, at a time"
            )
        places["site_root"] = Path(real_roots[0])
        if store_below is not None:
            places["store_prefix"] = os.path.relpath(store_below, real_roots[0]).replace(os.sep, "/")
    return places


def _output_roots(options: SignOptions, from_objects: bool) -> list[Path]:
    """The trees a run writes its pages to, on this machine."""
    paths = [Path(p) for p in options.paths]
    if options.in_place:
        return [p if p.is_dir() else p.parent for p in paths]
    output = Path(options.output or "")
    single = len(paths) == 1 and not output.is_dir() and (
        _one_object(options) if from_objects else not paths[0].is_dir())
    return [output.parent if single else output]


def _store_prefix(options: SignOptions, sources: list[str]) -> dict[str, Any]:
    """--store-dir for pages written to object storage: a prefix below the one they are written below,
    where each page's store is written at the page's path; its path there, as `store_prefix`."""
    assert options.store_dir is not None
    prefix = options.output if not options.in_place else sources[0] if len(sources) == 1 else None
    if prefix is None:
        raise UsageError("--store-dir with --in-place in object storage takes the pages of one prefix at a time")
    if not prefix.endswith("/") and (_one_object(options) if sources else not Path(options.paths[0]).is_dir()):
        prefix = prefix.rsplit("/", 1)[0]  # one page to one object: its prefix is the object's own
    root, store_dir = prefix.rstrip("/") + "/", options.store_dir.rstrip("/")
    if not store_dir.startswith(root) or store_dir == root.rstrip("/"):
        raise UsageError(
            f"--store-dir {escape(options.store_dir)}: pages written to object storage keep their stores "
            f"below the prefix they are written below, {escape(root)}: give a prefix there"
        )
    return {"store_prefix": store_dir[len(root):], "store_dir": None}


def _one_object(options: SignOptions) -> bool:
    """Whether the one object URL given names an object (a page to one file), not a prefix."""
    fs, path = (options.storage or objects.Storage()).filesystem(options.paths[0])
    try:
        return bool(fs.isfile(path.rstrip("/")))
    except Exception:  # noqa: BLE001 - the listing that follows says what is wrong, in its own words
        return False


def _where_rules_go(options: SignOptions, form: str, where: dict[str, Any]) -> Optional[Path]:
    """--rules-dir, checked: outside every input and the site, which are published (and, for the header
    form, a store directory whose path the Apache rules can name)."""
    if form == "header" and options.href is None:
        problem = _store_prefix_error(where.get("store_prefix"))
        if problem is not None:
            raise UsageError(problem)
    if options.rules_dir is None:
        return None
    if form != "header":
        raise UsageError("--rules-dir goes with --form header")
    directory = Path(options.rules_dir)
    real = os.path.realpath(directory)
    published = [(Path(p), "input") for p in options.paths if not objects.is_object_url(p)]
    for tree, what in published + ([(where["site_root"], "output tree")] if "site_root" in where else []):
        if inside(real, os.path.realpath(tree if what != "input" or tree.is_dir() else tree.parent)):
            raise UsageError(
                f"the rules directory {display(directory)} lies in the {what} {display(tree)}: "
                "give one outside the published tree"
            )
    _check_writable(directory, "rules directory")
    return directory


def _check_writable(directory: Path, what: str) -> None:
    existing = Path(os.path.abspath(directory))
    while not os.path.lexists(existing):
        existing = existing.parent
    if what == "rules directory" and (not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK)):
        raise UsageError(f"the rules directory {display(directory)} cannot be written: {display(existing)} "
                         f"is {'not writable' if existing.is_dir() else 'not a directory'}")
    if not existing.is_dir():
        raise UsageError(f"the {what} {display(directory)} cannot be made: {display(existing)} is not a directory")
    if not os.access(existing, os.W_OK | os.X_OK):
        where = "" if existing == Path(os.path.abspath(directory)) else f" (nor is {display(existing)}, to make it in)"
        raise UsageError(f"the {what} {display(directory)} is not writable{where}")


def _store_prefix_error(prefix: Optional[str]) -> Optional[str]:
    """Why the Apache rules cannot name a store directory at this path in the site; None when they can."""
    if prefix and not serving.is_plain_path(prefix):
        return (
            f"the store directory's path in the site, {prefix}, holds characters the server rules would have "
            "to quote: name it with letters, digits and '-._~' only"
        )
    return None
