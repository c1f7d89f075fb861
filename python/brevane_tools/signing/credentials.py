"""Signing credentials: where the signature comes from, checked before anything is signed.

A credential is a picklable value (`SigningKey`, `SigningCommand`,
`SigningCallback`) that makes an SDK signer where it is used, so worker
processes and cluster tasks each make their own; `check_credential` finds
what can be wrong with one without signing.
"""

from __future__ import annotations

import datetime
import shlex
import subprocess
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from brevane_tools import sdk
from brevane_tools.errors import SigningError
from brevane_tools.files.reading import read_option_file
from brevane_tools.limits import SIGNING_ALGS
from brevane_tools.text import escape

if TYPE_CHECKING:
    import c2pa

__all__ = [
    "ALGORITHMS",
    "Credential",
    "SigningCallback",
    "SigningCommand",
    "SigningKey",
    "callback_failure",
    "certificate_end",
    "check_credential",
    "read_back_context",
    "skip_read_back",
    "tsa_url_of",
]

#: The signature algorithms the SDK signs with, and the keys each one needs.
ALGORITHMS = SIGNING_ALGS

#: How much of a failing signer command's standard error --debug shows.
_STDERR_EXCERPT = 2000


def _known(alg: str) -> str:
    if alg not in ALGORITHMS:
        raise SigningError(f"unknown signing algorithm {alg!r}: use one of {', '.join(ALGORITHMS)}")
    return alg


def _sdk_alg(alg: str) -> Any:
    return getattr(sdk.load().C2paSigningAlg, _known(alg).upper())


@dataclass(frozen=True)
class SigningKey:
    """A signing credential as plain PEM texts: the key is in this process."""

    cert_chain_pem: bytes  # end-entity certificate first, then its issuers
    private_key_pem: bytes = field(repr=False)  # never in a log line or a traceback's locals
    alg: str = "es256"
    tsa_url: Optional[str] = None

    @classmethod
    def from_files(
        cls, cert_path: str, key_path: str, alg: str = "es256", tsa_url: Optional[str] = None
    ) -> SigningKey:
        """A key from PEM files, read as every option file is; UsageError (exit status 2) names one that
        cannot be read."""
        return cls(
            read_option_file(cert_path, "certificate chain"), read_option_file(key_path, "private key"), alg, tsa_url
        )

    def signer(self) -> c2pa.Signer:
        c2pa = sdk.load()
        info = c2pa.C2paSignerInfo(
            _sdk_alg(self.alg).name.lower().encode("ascii"),
            self.cert_chain_pem,
            self.private_key_pem,
            self.tsa_url.encode("utf-8") if self.tsa_url else None,
        )
        try:
            signer = c2pa.Signer.from_info(info)
        except c2pa.C2paError as exc:
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
            # Its standard error may carry a secret (a token, a key path): it
            # goes only to --debug output, escaped and cut short.
            raise SigningError(
                f"the signer command failed (exit status {done.returncode})"
                if done.returncode
                else "the signer command wrote no signature",
                detail=escape(done.stderr[-_STDERR_EXCERPT:].decode("utf-8", "replace")) or None,
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
        c2pa = sdk.load()
        try:
            signer = c2pa.Signer.from_callback(keeper, _sdk_alg(alg), chain_pem.decode("ascii"), tsa_url)
        except (c2pa.C2paError, UnicodeDecodeError) as exc:
            raise SigningError(f"the C2PA SDK refused the signer: {exc}") from exc
        # The SDK reduces a failed callback to a generic error; the signer keeps the reason.
        signer._brevane_callback = keeper
        signer._brevane_tsa_url = tsa_url
        return signer


def callback_failure(signer: Any) -> Optional[BaseException]:
    """Why the signer's callback failed last (taken: asked once), or None."""
    keeper = getattr(signer, "_brevane_callback", None)
    if not isinstance(keeper, _CallbackSigner) or keeper.failure is None:
        return None
    failure, keeper.failure = keeper.failure, None
    return failure


def tsa_url_of(signer: Any) -> Optional[str]:
    """The time-stamp authority a signer made here asks, if any."""
    url = getattr(signer, "_brevane_tsa_url", None)
    return url if isinstance(url, str) else None


def skip_read_back(signer: c2pa.Signer, credential: Credential) -> c2pa.Signer:
    """The signer, marked to sign without the SDK's read-back when `credential` is a local key asking no
    time-stamp authority.

    After each signing the SDK reads the manifest back and validates it, which costs twice the
    signing itself. Of what it finds, a local key checked to be its certificate's
    (`check_credential`) leaves nothing that a trial signing, read back once, has not found already:
    the signature is made here, by that key. A command, a callback or a time-stamp authority answers
    from elsewhere, page by page, so their signers keep it.
    """
    if isinstance(credential, SigningKey) and credential.tsa_url is None:
        settings = {"verify": {"verify_after_sign": False}}
        signer._brevane_context = sdk.load().Context.from_dict(settings)
    return signer


def read_back_context(signer: Any) -> Any:
    """The SDK context a signer marked by `skip_read_back` signs in (no read-back); None for the default."""
    return getattr(signer, "_brevane_context", None)

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
    # cryptography comes with the SDK's extra: the credentials load without it.
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

    alg = _known(credential.alg)
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
    begins, ends = _validity(leaf)
    if not begins <= moment <= ends:
        raise SigningError(
            f"the signing certificate {subject} is valid from {begins:%Y-%m-%d %H:%M} "
            f"to {ends:%Y-%m-%d %H:%M} UTC, not now"
        )
    _check_usage(leaf, subject)
    public = leaf.public_key()
    curves = {"es256": "secp256r1", "es384": "secp384r1", "es512": "secp521r1"}
    if alg in curves:
        fits = isinstance(public, ec.EllipticCurvePublicKey) and public.curve.name == curves[alg]
    else:
        fits = isinstance(public, ed25519.Ed25519PublicKey if alg == "ed25519" else rsa.RSAPublicKey)
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


def _check_usage(leaf: Any, subject: str) -> None:
    """Whether the end-entity certificate may sign C2PA claims; SigningError saying what it lacks."""
    from cryptography import x509

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


def _validity(cert: Any) -> tuple[datetime.datetime, datetime.datetime]:
    utc = datetime.timezone.utc
    # cryptography before 42 has only the naive forms, in UTC.
    begins = getattr(cert, "not_valid_before_utc", None) or cert.not_valid_before.replace(tzinfo=utc)
    ends = getattr(cert, "not_valid_after_utc", None) or cert.not_valid_after.replace(tzinfo=utc)
    return begins, ends


def certificate_end(chain_pem: bytes) -> datetime.datetime:
    """When the chain's signing certificate ends (UTC): without a time-stamp, when its signatures stop validating."""
    from cryptography import x509

    return _validity(x509.load_pem_x509_certificates(chain_pem)[0])[1]


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
