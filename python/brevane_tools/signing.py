"""Sign HTML pages with real C2PA manifests.

The brevane module does the byte work (where the manifest element goes, what
the hard binding covers); the C2PA SDK (`c2pa-python`, CPython 3.10 or later)
builds, signs and validates the Manifest Store. Nothing here parses or
re-serialises HTML: every page leaves as the module spliced it.

The SDK knows no HTML container, so it signs the store "beside" the page (its
no-embed, sidecar mode) with the `c2pa.hash.data` assertion that we compute.
Checking a signed page lives in `brevane_tools.checking`.

A signing credential is a picklable value (`SigningKey`, `SigningCommand`,
`SigningCallback`) that makes an SDK signer where it is used, so worker
processes and Dask tasks each make their own.
"""

from __future__ import annotations

import copy
import datetime
import functools
import html as html_text
import io
import json
import re
import shlex
import subprocess
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

import brevane

if TYPE_CHECKING:
    import c2pa

__all__ = [
    "Credential",
    "PageFacts",
    "SdkUnavailableError",
    "Signed",
    "SigningCallback",
    "SigningCommand",
    "SigningError",
    "SigningKey",
    "check_credential",
    "element_overhead",
    "inline_element_length",
    "page_title",
    "render_definition",
    "sign",
    "sign_page",
    "sign_page_with_reference",
]

#: How often `sign` re-signs before it gives up on a stable element length.
#: The length is predicted before the first round and right in the common
#: case; a wrong guess costs one more round (a CBOR integer grows by at most a
#: few bytes when the length it encodes grows), so six is a generous bound.
MAX_SIGNING_ROUNDS = 6

DATA_HASH_LABEL = "c2pa.hash.data"
HTML_FORMAT = "text/html"
PARENT_LABEL = "brevane.parent"

#: The signature algorithms the SDK signs with, and the keys each one needs.
ALGORITHMS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")

Manifest = Union[Mapping[str, Any], str]


class SigningError(ValueError):
    """The signing workflow could not produce a page whose binding holds."""


class SdkUnavailableError(ImportError):
    """The C2PA SDK binding (`c2pa-python`) is not installed here."""


def _sdk() -> Any:
    try:
        import c2pa as sdk
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise SdkUnavailableError(
            "signing and checking need the C2PA SDK's Python binding (CPython 3.10 or later): "
            "pip install 'c2pa-python>=0.38' requests, or install brevane with its c2pa extra "
            "(from a checkout: pip install '.[c2pa]')"
        ) from exc
    return sdk


@functools.lru_cache(maxsize=None)
def element_overhead() -> int:
    """The bytes that `embed` writes around the Base64 text of a store, as measured."""
    page = b"<html><head></head></html>"
    return len(brevane.embed(page, b"")) - len(page)


def inline_element_length(store_size: int) -> int:
    """Length of the `script` element that `embed` writes for a store of this size."""
    return element_overhead() + 4 * ((store_size + 2) // 3)


# --- Credentials ---------------------------------------------------------


def _sdk_alg(alg: str) -> Any:
    if alg not in ALGORITHMS:
        raise SigningError(f"unknown signing algorithm {alg!r}: use one of {', '.join(ALGORITHMS)}")
    return getattr(_sdk().C2paSigningAlg, alg.upper())


def _callback_signer(
    callback: Callable[[bytes], bytes], alg: str, chain_pem: bytes, tsa_url: Optional[str]
) -> c2pa.Signer:
    sdk = _sdk()
    try:
        return sdk.Signer.from_callback(callback, _sdk_alg(alg), chain_pem.decode("ascii"), tsa_url)
    except (sdk.C2paError, UnicodeDecodeError) as exc:
        raise SigningError(f"the C2PA SDK refused the signer: {exc}") from exc


@dataclass(frozen=True)
class SigningKey:
    """A signing credential as plain PEM texts: the key is in this process."""

    cert_chain_pem: bytes  # end-entity certificate first, then its issuers
    private_key_pem: bytes
    alg: str = "es256"
    tsa_url: Optional[str] = None

    @classmethod
    def from_files(
        cls, cert_path: str, key_path: str, alg: str = "es256", tsa_url: Optional[str] = None
    ) -> SigningKey:
        with open(cert_path, "rb") as cert_file, open(key_path, "rb") as key_file:
            return cls(cert_file.read(), key_file.read(), alg, tsa_url)

    def signer(self) -> c2pa.Signer:
        sdk = _sdk()
        info = sdk.C2paSignerInfo(
            _sdk_alg(self.alg).name.lower().encode("ascii"),
            self.cert_chain_pem,
            self.private_key_pem,
            self.tsa_url.encode("utf-8") if self.tsa_url else None,
        )
        try:
            signer = sdk.Signer.from_info(info)
        except sdk.C2paError as exc:
            raise SigningError(f"the C2PA SDK refused the signing key: {exc}") from exc
        signer._brevane_tsa_url = self.tsa_url  # named in a time-stamp failure
        return signer


@dataclass(frozen=True)
class SigningCommand:
    """A key held elsewhere, reached through a command (a KMS or HSM client, a signing service).

    The command gets the bytes to sign on standard input and writes the
    signature to standard output (for ECDSA, DER or raw r||s; for RSA-PSS and
    Ed25519, the plain signature). It runs without a shell: `command` is the
    program and its arguments.
    """

    cert_chain_pem: bytes
    command: tuple[str, ...]
    alg: str = "es256"
    tsa_url: Optional[str] = None
    timeout: float = 60.0

    @classmethod
    def from_text(
        cls, cert_chain_pem: bytes, command: str, alg: str = "es256", tsa_url: Optional[str] = None
    ) -> SigningCommand:
        """Split a command line the way a POSIX shell would (quotes kept, no expansion)."""
        words = tuple(shlex.split(command))
        if not words:
            raise SigningError("the signer command is empty")
        return cls(cert_chain_pem, words, alg, tsa_url)

    def sign_bytes(self, data: bytes) -> bytes:
        """Run the command once; raise SigningError with its own words when it fails."""
        try:
            done = subprocess.run(
                self.command, input=data, capture_output=True, timeout=self.timeout, check=False
            )
        except OSError as exc:
            raise SigningError(f"cannot run the signer command {self.command[0]}: {exc.strerror or exc}") from None
        except subprocess.TimeoutExpired:
            raise SigningError(f"the signer command gave no signature within {self.timeout:g} s") from None
        if done.returncode != 0 or not done.stdout:
            said = done.stderr.decode("utf-8", "replace").strip().splitlines()
            detail = f": {said[-1]}" if said else ""
            raise SigningError(
                f"the signer command failed (exit status {done.returncode}){detail}"
                if done.returncode
                else "the signer command wrote no signature"
            )
        return done.stdout

    def signer(self) -> c2pa.Signer:
        return _CallbackSigner.make(self.sign_bytes, self.alg, self.cert_chain_pem, self.tsa_url)


@dataclass(frozen=True)
class SigningCallback:
    """A key held elsewhere, reached through a Python function: bytes to sign in, signature out.

    Picklable when the function is (a module-level function): worker
    processes call it in their own process.
    """

    cert_chain_pem: bytes
    callback: Callable[[bytes], bytes]
    alg: str = "es256"
    tsa_url: Optional[str] = None

    def signer(self) -> c2pa.Signer:
        return _CallbackSigner.make(self.callback, self.alg, self.cert_chain_pem, self.tsa_url)


class _CallbackSigner:
    """Keeps the reason a callback failed, which the SDK reduces to a generic error."""

    def __init__(self, callback: Callable[[bytes], bytes]) -> None:
        self.callback = callback
        self.failure: Optional[BaseException] = None

    def __call__(self, data: bytes) -> bytes:
        try:
            signature = self.callback(bytes(data))
        except Exception as exc:
            self.failure = exc
            raise
        if not isinstance(signature, (bytes, bytearray)) or not signature:
            self.failure = SigningError("the signing callback returned no signature bytes")
            raise self.failure
        return bytes(signature)

    @classmethod
    def make(
        cls, callback: Callable[[bytes], bytes], alg: str, chain_pem: bytes, tsa_url: Optional[str]
    ) -> c2pa.Signer:
        keeper = cls(callback)
        signer = _callback_signer(keeper, alg, chain_pem, tsa_url)
        # The SDK reduces a failed callback to a generic error; the signer keeps the reason.
        signer._brevane_callback = keeper
        signer._brevane_tsa_url = tsa_url
        return signer

Credential = Union[SigningKey, SigningCommand, SigningCallback]

#: Extended key usages that C2PA validators accept for a claim signer.
_SIGNING_EKUS = {
    "1.3.6.1.5.5.7.3.4": "emailProtection",
    "1.3.6.1.5.5.7.3.36": "documentSigning",
    "1.3.6.1.5.5.7.3.8": "timeStamping",
    "1.3.6.1.5.5.7.3.9": "OCSPSigning",
    "1.3.6.1.4.1.62558.2.1": "c2pa claimSigning",
}


def check_credential(credential: Credential, now: Optional[datetime.datetime] = None) -> None:
    """Check a credential before anything is signed; raise SigningError with one line.

    Checks what can be seen without signing: the chain parses and is in order
    (each certificate issued by the next), the end-entity certificate is valid
    now and usable for C2PA signing (not a CA, digitalSignature, an accepted
    extended key usage, an authority key identifier), the algorithm fits its
    key, and a PEM private key is the certificate's.
    """
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

    alg = credential.alg
    if alg not in ALGORITHMS:
        raise SigningError(f"unknown signing algorithm {alg!r}: use one of {', '.join(ALGORITHMS)}")
    try:
        chain = x509.load_pem_x509_certificates(credential.cert_chain_pem)
    except ValueError:
        raise SigningError("the certificate chain is not PEM certificates") from None
    leaf = chain[0]
    subject = _who(leaf.subject)
    for cert, issuer in zip(chain, chain[1:]):
        try:
            cert.verify_directly_issued_by(issuer)
        except (ValueError, TypeError, InvalidSignature):
            raise SigningError(
                f"the certificate chain is out of order: {_who(cert.subject)} is not issued by "
                f"the certificate after it ({_who(issuer.subject)}); list the signer first, then each issuer"
            ) from None

    moment = now or datetime.datetime.now(datetime.timezone.utc)
    utc = datetime.timezone.utc
    # cryptography before 42 has only the naive forms, in UTC.
    begins = getattr(leaf, "not_valid_before_utc", None) or leaf.not_valid_before.replace(tzinfo=utc)
    ends = getattr(leaf, "not_valid_after_utc", None) or leaf.not_valid_after.replace(tzinfo=utc)
    if not begins <= moment <= ends:
        raise SigningError(
            f"the signing certificate {subject} is valid from {begins:%Y-%m-%d %H:%M} "
            f"to {ends:%Y-%m-%d %H:%M} UTC, not now"
        )

    def extension(kind: Any) -> Any:
        try:
            return leaf.extensions.get_extension_for_class(kind).value
        except x509.ExtensionNotFound:
            return None

    constraints = extension(x509.BasicConstraints)
    if constraints is not None and constraints.ca:
        raise SigningError(f"the signing certificate {subject} is a CA certificate; C2PA signs with an end-entity one")
    usage = extension(x509.KeyUsage)
    if usage is None or not usage.digital_signature:
        raise SigningError(f"the signing certificate {subject} lacks the digitalSignature key usage")
    ekus = extension(x509.ExtendedKeyUsage)
    if ekus is None or not {e.dotted_string for e in ekus} & set(_SIGNING_EKUS):
        raise SigningError(
            f"the signing certificate {subject} has none of the extended key usages C2PA accepts "
            f"({', '.join(_SIGNING_EKUS.values())})"
        )
    if extension(x509.AuthorityKeyIdentifier) is None:
        raise SigningError(f"the signing certificate {subject} has no authority key identifier")

    public = leaf.public_key()
    curves = {"es256": "secp256r1", "es384": "secp384r1", "es512": "secp521r1"}
    if alg in curves:
        fits = isinstance(public, ec.EllipticCurvePublicKey) and public.curve.name == curves[alg]
    elif alg == "ed25519":
        fits = isinstance(public, ed25519.Ed25519PublicKey)
    else:
        fits = isinstance(public, rsa.RSAPublicKey)
    if not fits:
        raise SigningError(f"the signing algorithm {alg} does not fit the certificate's {_key_kind(public)} key")

    if isinstance(credential, SigningKey):
        try:
            private = serialization.load_pem_private_key(credential.private_key_pem, password=None)
        except (ValueError, TypeError) as exc:
            raise SigningError(f"the private key is not an unencrypted PEM key: {exc}") from None
        raw = serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
        if private.public_key().public_bytes(*raw) != public.public_bytes(*raw):
            raise SigningError(f"the private key does not belong to the signing certificate {subject}")


def _who(name: Any) -> str:
    """A certificate's subject for a message: its common name, else the whole name."""
    from cryptography.x509.oid import NameOID

    common = name.get_attributes_for_oid(NameOID.COMMON_NAME)
    return repr(str(common[0].value)) if common else str(name.rfc4514_string())


def _key_kind(public: Any) -> str:
    curve = getattr(public, "curve", None)
    if curve is not None:
        return f"EC {curve.name}"
    size = getattr(public, "key_size", None)
    return f"RSA {size}-bit" if size else type(public).__name__.replace("PublicKey", "").lstrip("_")


# --- The definition as a template --------------------------------------

_PLACEHOLDER = re.compile(r"\{\{|\}\}|\{([A-Za-z_]+)\}")
PLACEHOLDERS = ("path", "name", "stem", "title")


@dataclass(frozen=True)
class PageFacts:
    """What a manifest definition may say about the page it signs."""

    path: str = ""  # the page's path below the site root, with "/" separators
    name: str = ""  # its file name
    title: Optional[str] = None  # its <title> text; None: `page_title` finds it

    @property
    def stem(self) -> str:
        return self.name.rsplit(".", 1)[0] if "." in self.name else self.name


_TITLE = re.compile(rb"<title\b[^>]*>(.*?)</title\s*>", re.IGNORECASE | re.DOTALL)
_HEAD_END = re.compile(rb"</head\s*>|<body[\s>]", re.IGNORECASE)


def page_title(html: bytes) -> Optional[str]:
    """The text of the page's `<title>` in its head, whitespace collapsed; None if none.

    UTF-8 is assumed, with Windows-1252 as the fallback for older pages.
    """
    end = _HEAD_END.search(html)
    found = _TITLE.search(html, 0, end.start() if end else len(html))
    if found is None:
        return None
    raw = found.group(1)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("cp1252", "replace")
    title = " ".join(html_text.unescape(text).split())
    return title or None


def _substitute(text: str, values: Mapping[str, str]) -> str:
    if "{" not in text and "}" not in text:
        return text
    def one(match: re.Match[str]) -> str:
        word = match.group(1)
        if word is None:
            return match.group(0)[0]
        if word not in values:
            raise SigningError(
                f"unknown placeholder {{{word}}} in the manifest definition: use "
                f"{', '.join('{' + p + '}' for p in PLACEHOLDERS)}, or {{{{ and }}}} for braces"
            )
        return values[word]

    return _PLACEHOLDER.sub(one, text)


def _fill(value: Any, values: Mapping[str, str]) -> Any:
    if isinstance(value, str):
        return _substitute(value, values)
    if isinstance(value, list):
        return [_fill(v, values) for v in value]
    if isinstance(value, dict):
        return {k: _fill(v, values) for k, v in value.items()}
    return value


def load_definition(manifest: Manifest) -> dict[str, Any]:
    """The caller's manifest definition as a fresh dict, checked; raises SigningError.

    A stale `c2pa.hash.data` assertion is dropped (the new binding replaces
    it), and the placeholders are checked.
    """
    if isinstance(manifest, str):
        try:
            loaded = json.loads(manifest)
        except json.JSONDecodeError as exc:
            raise SigningError(f"the manifest definition is not valid JSON: {exc}") from exc
    else:
        loaded = copy.deepcopy(dict(manifest))
    if not isinstance(loaded, dict):
        raise SigningError("the manifest definition must be a JSON object")
    assertions = loaded.get("assertions", [])
    if not isinstance(assertions, list):
        raise SigningError("the manifest definition's assertions must be a list")
    loaded["assertions"] = [
        a for a in assertions if not (isinstance(a, dict) and a.get("label") == DATA_HASH_LABEL)
    ]
    ta_url = loaded.get("ta_url")
    if ta_url is not None and not isinstance(ta_url, str):
        raise SigningError("the manifest definition's ta_url must be a URL text")
    _fill(loaded, {p: "" for p in PLACEHOLDERS})  # raises on an unknown placeholder
    return loaded


@functools.lru_cache(maxsize=16)
def _template(text: str) -> dict[str, Any]:
    return load_definition(text)


def render_definition(template: Manifest, facts: PageFacts, html: bytes = b"") -> dict[str, Any]:
    """One page's definition: placeholders filled, title defaulted, format set.

    Placeholders in any text of the definition: `{path}` (the page's path
    below the site root), `{name}` (its file name), `{stem}` (the name without
    its extension), `{title}` (its `<title>` text, else its file name); `{{`
    and `}}` are literal braces. Without a `title`, the page's own title is
    used. `format` is always `text/html`; `ta_url` is taken out (it belongs
    to the signer: see `SigningKey.tsa_url`).
    """
    # A text template is parsed and checked once per process; filling makes new containers.
    definition = _template(template) if isinstance(template, str) else load_definition(template)
    title = facts.title if facts.title is not None else page_title(html)
    title = title or facts.name or "untitled page"
    values = {"path": facts.path, "name": facts.name, "stem": facts.stem, "title": title}
    definition = {key: _fill(value, values) for key, value in definition.items()}
    definition.setdefault("title", title)
    definition["format"] = HTML_FORMAT
    definition.pop("ta_url", None)
    return definition


# --- Signing -----------------------------------------------------------


def _with_binding(
    definition: dict[str, Any], alg: str, digest: bytes, exclusions: list[tuple[int, int]]
) -> dict[str, Any]:
    signed = dict(definition)
    signed["assertions"] = [
        *definition["assertions"],
        {
            "label": DATA_HASH_LABEL,
            "data": {
                "alg": alg,
                "hash": list(digest),
                "pad": [],
                "exclusions": [{"start": s, "length": n} for s, n in exclusions],
            },
        },
    ]
    return signed


@dataclass(frozen=True)
class _Parent:
    """The manifest a re-signed page carried, kept as its parent ingredient."""

    page: bytes  # the page as it was, its manifest element included
    store: bytes
    ingredient: dict[str, Any]


def _sign_store(
    definition: dict[str, Any], signer: c2pa.Signer, page: bytes, parent: Optional[_Parent] = None
) -> bytes:
    """Sign the definition into a raw Manifest Store, leaving the page alone."""
    sdk = _sdk()
    try:
        builder = sdk.Builder(definition)
        if parent is not None:
            builder.add_resource(PARENT_LABEL, io.BytesIO(parent.store))
            builder.add_ingredient(parent.ingredient, "application/octet-stream", io.BytesIO(parent.page))
        # Sidecar mode: the SDK cannot embed into HTML, and must not try; the
        # store it returns is what brevane splices in.
        builder.set_no_embed()
        store = builder.sign(signer, HTML_FORMAT, io.BytesIO(page), io.BytesIO())
    except sdk.C2paError as exc:
        keeper = getattr(signer, "_brevane_callback", None)
        if isinstance(keeper, _CallbackSigner) and keeper.failure is not None:
            failure, keeper.failure = keeper.failure, None
            raise SigningError(str(failure)) from failure
        message = str(exc)
        if "signature does not match" in message:
            raise SigningError(
                "the signature does not verify with the signing certificate's key: the signer signs "
                "with another key, or with another algorithm than the one given"
            ) from exc
        if "http" in message.lower():
            # Signing itself makes no request: the one HTTP exchange is the time-stamp's.
            url = getattr(signer, "_brevane_tsa_url", None)
            named = f" {url}" if isinstance(url, str) else ""
            raise SigningError(f"the time-stamp authority{named} gave no time-stamp: {message}") from exc
        raise SigningError(f"the C2PA SDK refused to sign: {message}") from exc
    if not isinstance(store, bytes) or not store:
        raise SigningError("the C2PA SDK returned no Manifest Store")
    return store


def _head(n: int) -> int:
    """The size of a CBOR item's head for the number n."""
    return 1 if n < 24 else 2 if n < 0x100 else 3 if n < 0x10000 else 5 if n < 0x100000000 else 9


def _cbor_size(value: Any, shape: Optional[list[str]] = None) -> int:
    """The size of a JSON value encoded as CBOR, as the SDK writes assertions and claims.

    With `shape`, also lists the value's shape: everything but the texts. Definitions
    of one shape sign to stores whose sizes differ by exactly the CBOR sizes of those texts.
    """
    if isinstance(value, str):
        size = len(value.encode("utf-8"))
        return _head(size) + size
    if isinstance(value, dict):
        if shape is not None:
            shape.append(f"{{{len(value)}")
        total = _head(len(value))
        for k in sorted(value) if shape is not None else value:
            if shape is not None:
                shape.append(k)
            total += _cbor_size(k) + _cbor_size(value[k], shape)
        return total
    if isinstance(value, list):
        if shape is not None:
            shape.append(f"[{len(value)}")
        return _head(len(value)) + sum(_cbor_size(v, shape) for v in value)
    if shape is not None:
        shape.append(repr(value))
    if isinstance(value, bool) or value is None:
        return 1
    if isinstance(value, int):
        return _head(-1 - value if value < 0 else value)
    if isinstance(value, float):
        return 9
    return 0


#: Per process: for a definition shape, binding algorithm and signer reserve,
#: the store's size less the variable part (`_cbor_size` of the definition and
#: of the exclusion's numbers). Learnt from each signing; an exact prediction
#: of the next page's element length makes one signing round enough.
_STORE_BASE: dict[str, int] = {}


def _size_key(definition: dict[str, Any], alg: str, signer: Any, parent: Optional[_Parent]) -> tuple[str, int]:
    """The key of the store-size model for this definition, and the definition's variable size."""
    try:
        reserve = int(signer.reserve_size())
    except Exception:  # noqa: BLE001 - an unknown reserve only costs a prediction
        reserve = -1
    shape = [alg, str(reserve), "parent" if parent is not None else ""]
    variable = _cbor_size(definition, shape)
    if parent is not None:
        variable += len(parent.store) + _cbor_size(parent.ingredient)
    return "\x1f".join(shape), variable


@dataclass(frozen=True)
class Signed:
    """A signed page, and what it took."""

    page: bytes
    #: The Manifest Store: inside the page ("embedded") or to publish at `href` ("referenced").
    store: bytes
    kind: str
    rounds: int  # SDK signings it took; 1 when the element's length was predicted right
    href: Optional[str] = None
    parent: Optional[str] = None  # the title of the manifest kept as the parent ingredient
    exclusions: tuple[tuple[int, int], ...] = field(default=())


def sign(
    html: bytes,
    manifest: Manifest,
    signer: c2pa.Signer,
    *,
    alg: str = "sha256",
    href: Optional[str] = None,
    facts: Optional[PageFacts] = None,
    keep_parent: bool = True,
    old_store: Optional[bytes] = None,
) -> Signed:
    """Sign a page: inline by default, or referencing its store at `href`.

    The definition is a template (see `render_definition`). A manifest the page
    already carries becomes the new manifest's parent ingredient, unless
    `keep_parent` is False; a page that references its store needs that store
    as `old_store` for this. Module errors (no head, unsupported algorithm)
    propagate as the module's ValueError; workflow failures raise SigningError.
    """
    definition = render_definition(manifest, facts or PageFacts(), html)
    clean = brevane.remove(html)
    if brevane.locate_all(clean):
        raise SigningError("the bytes around a removed element form a new manifest element")
    parent = _parent_of(html, old_store) if keep_parent else None
    if parent is not None:
        definition = _opened_from_parent(definition)
    if href is not None:
        return _sign_referenced(clean, definition, signer, alg, href, parent)
    return _sign_inline(clean, definition, signer, alg, parent)


def _sign_inline(
    clean: bytes, definition: dict[str, Any], signer: Any, alg: str, parent: Optional[_Parent]
) -> Signed:
    # An empty store shows where the element will land without committing to it.
    placeholder = brevane.embed(clean, b"")
    located = brevane.locate_all(placeholder)
    if len(located) != 1 or located[0][1] != element_overhead():
        raise SigningError(
            "the manifest element would land outside the document head "
            "(a <body> or </html> tag stands before </head>), where readers do not look"
        )
    start = located[0][0]
    digest = brevane.inline_hash_before_embed(clean, alg)

    key, variable = _size_key(definition, alg, signer, parent)
    base = _STORE_BASE.get(key)
    if base is not None:
        # The element's length appears in the store it measures: find the fixed point.
        length = element_overhead()
        for _ in range(4):
            length = inline_element_length(base + variable + _cbor_size(start) + _cbor_size(length))
    else:
        length = element_overhead()

    for rounds in range(1, MAX_SIGNING_ROUNDS + 1):
        store = _sign_store(_with_binding(definition, alg, digest, [(start, length)]), signer, clean, parent)
        _STORE_BASE[key] = len(store) - variable - _cbor_size(start) - _cbor_size(length)
        needed = inline_element_length(len(store))
        if needed == length:
            break
        # Re-signed with the length this store needs, the store changes by the width of that number.
        resized = len(store) - _cbor_size(length) + _cbor_size(needed)
        length = inline_element_length(resized)
    else:
        raise SigningError(
            f"the manifest element's length did not settle within {MAX_SIGNING_ROUNDS} signing rounds"
        )

    page = brevane.embed(clean, store)
    # The module hashes the page around the element exactly as it hashed the
    # clean page (its contract); what is left to confirm is the element's place.
    found = brevane.locate_all(page)
    if found != [(start, length)]:
        raise SigningError(
            f"the signed page does not carry the binding that was signed (expected exclusion "
            f"{(start, length)}, found {found})"
        )
    title = parent.ingredient.get("title") if parent else None
    return Signed(page, store, "embedded", rounds, parent=title, exclusions=((start, length),))


def _sign_referenced(
    clean: bytes, definition: dict[str, Any], signer: Any, alg: str, href: str, parent: Optional[_Parent]
) -> Signed:
    page = brevane.embed_reference(clean, href)
    # Reading the binding back proves that readers find the link (it is in the
    # head, and its href is not empty) before anything is signed.
    binding = brevane.compute_data_hash(page, alg)
    if binding["exclusions"]:
        raise SigningError("a referenced store must bind the whole page")  # pragma: no cover
    store = _sign_store(_with_binding(definition, alg, binding["hash"], []), signer, page, parent)
    brevane.verify_data_hash(page, binding["hash"], [], alg)
    title = parent.ingredient.get("title") if parent else None
    return Signed(page, store, "referenced", 1, href=href, parent=title)


def _parent_of(html: bytes, old_store: Optional[bytes]) -> Optional[_Parent]:
    try:
        association = brevane.extract(html)
    except ValueError as exc:
        raise SigningError(
            f"the page's old manifest cannot be kept as the parent ({exc}): sign with --replace "
            "(keep_parent=False) to drop it"
        ) from None
    if association is None:
        return None
    if association["kind"] == "embedded":
        store = association["store"]
    elif old_store is not None:
        store = old_store
    else:
        raise SigningError(
            f"the page references its Manifest Store at {association['href']!r}, which was not found: "
            "give that store to keep it as the parent, or sign with --replace (keep_parent=False) "
            "to drop it"
        )
    sdk = _sdk()
    try:
        with sdk.Reader(HTML_FORMAT, io.BytesIO(html), store) as reader:
            results = reader.get_validation_results() or {}
            report = json.loads(reader.json())
    except sdk.C2paError as exc:
        raise SigningError(
            f"the page's old Manifest Store cannot be read ({exc}): sign with --replace "
            "(keep_parent=False) to drop it"
        ) from exc
    active = report.get("manifests", {}).get(report.get("active_manifest"), {})
    ingredient = {
        "title": str(active.get("title") or "previous version"),
        "label": PARENT_LABEL,
        "relationship": "parentOf",
        "format": HTML_FORMAT,
        "manifest_data": {"format": "application/c2pa", "identifier": PARENT_LABEL},
        "validation_results": results,
    }
    return _Parent(html, store, ingredient)


def _opened_from_parent(definition: dict[str, Any]) -> dict[str, Any]:
    """Make the first action `c2pa.opened` of the parent (a signed page is edited, not created)."""
    assertions = list(definition["assertions"])
    opened = {"action": "c2pa.opened", "parameters": {"ingredientIds": [PARENT_LABEL]}}
    for index, assertion in enumerate(assertions):
        if isinstance(assertion, dict) and assertion.get("label") in ("c2pa.actions", "c2pa.actions.v2"):
            data = dict(assertion.get("data") or {})
            actions = [a for a in data.get("actions", []) if isinstance(a, dict)]
            first = dict(actions[0]) if actions else {}
            if first.get("action") in ("c2pa.created", "c2pa.opened"):
                first["action"] = "c2pa.opened"
                first.pop("digitalSourceType", None)
                parameters = dict(first.get("parameters") or {})
                parameters["ingredientIds"] = [PARENT_LABEL]
                first["parameters"] = parameters
                actions[0] = first
            else:
                actions.insert(0, opened)
            data["actions"] = actions
            assertions[index] = dict(assertion, data=data)
            return dict(definition, assertions=assertions)
    assertions.insert(0, {"label": "c2pa.actions", "data": {"actions": [opened]}})
    return dict(definition, assertions=assertions)


def sign_page(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, alg: str = "sha256", *, keep_parent: bool = True
) -> bytes:
    """Sign a page and carry its Manifest Store inline; return the signed page.

    Old manifest elements are removed first (an embedded one becomes the
    parent ingredient unless `keep_parent` is False). The store's
    `c2pa.hash.data` assertion excludes exactly the new `script` element. See
    `sign` for the per-page template and the signing rounds.
    """
    return sign(html, manifest, signer, alg=alg, keep_parent=keep_parent).page


def sign_page_with_reference(
    html: bytes, manifest: Manifest, signer: c2pa.Signer, href: str, alg: str = "sha256",
    *, keep_parent: bool = True, old_store: Optional[bytes] = None,
) -> tuple[bytes, bytes]:
    """Sign a page that references its store; return (page, store to publish at href).

    The `link` element is part of the hashed bytes: the binding covers the whole
    page as returned, and excludes nothing.
    """
    signed = sign(html, manifest, signer, alg=alg, href=href, keep_parent=keep_parent, old_store=old_store)
    return signed.page, signed.store


def signer_of(report: Mapping[str, Any]) -> Optional[tuple[str, str]]:
    """(issuer, serial number) of the certificate that signed the active manifest of the SDK's report."""
    info = report.get("manifests", {}).get(report.get("active_manifest"), {}).get("signature_info") or {}
    if "issuer" not in info or "cert_serial_number" not in info:
        return None
    return str(info["issuer"]), str(info["cert_serial_number"])


def certificate_identity(chain_pem: bytes) -> tuple[str, str]:
    """(issuer organisation, serial number) of a chain's signing certificate, as the SDK reports them."""
    from cryptography import x509
    from cryptography.x509.oid import NameOID

    leaf = x509.load_pem_x509_certificates(chain_pem)[0]
    organisation = leaf.issuer.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
    issuer = str(organisation[0].value) if organisation else leaf.issuer.rfc4514_string()
    return issuer, str(leaf.serial_number)


def replace_tsa(credential: Credential, tsa_url: Optional[str]) -> Credential:
    """The same credential with another time-stamp authority (None: none)."""
    return replace(credential, tsa_url=tsa_url)
