"""When the certificate that signed a Manifest Store ends, read from the store's own bytes.

The C2PA SDK's reports name the signer but not its certificate's validity, and
asking it for a second report would cost another read of the store. The
certificate chain sits in the store as DER, so the signer's certificate is
found there: the last end-entity certificate with the signer's common name
(an ingredient's older manifests come first in a store, the active one last).
Bounded: a hostile store costs at most `_MAX_TRIES` parse attempts. The pages
of a site share their signer, so what a candidate's bytes parse to is kept
(a few hundred entries): each later store costs a lookup per candidate.
"""

from __future__ import annotations

from datetime import datetime, timezone
from typing import Optional

from cryptography import x509
from cryptography.x509.oid import NameOID

__all__ = ["signer_not_after"]

_DER_SEQUENCE = b"\x30\x82"  # a SEQUENCE with a two-byte length: every certificate of a usual size
_MAX_TRIES = 256


def signer_not_after(store: bytes, common_name: Optional[str]) -> Optional[datetime]:
    """The end of validity (UTC) of the store's signing certificate; None when none is found."""
    found: Optional[datetime] = None
    start = store.find(_DER_SEQUENCE)
    tries = 0
    while start >= 0 and tries < _MAX_TRIES:
        tries += 1
        end = start + int.from_bytes(store[start + 2:start + 4], "big") + 4
        parsed = _parsed(store[start:end])
        if parsed is None:
            start = store.find(_DER_SEQUENCE, start + 1)
            continue
        end_entity, names, ends = parsed
        if end_entity and (common_name is None or common_name in names):
            found = ends
        start = store.find(_DER_SEQUENCE, end)
    return found


_Parsed = Optional[tuple[bool, tuple[str, ...], datetime]]
_PARSED: dict[bytes, _Parsed] = {}
_KEPT = 512


def _parsed(der: bytes) -> _Parsed:
    """(an end entity, its common names, the end of its validity) of a DER certificate; None if it is none."""
    if der in _PARSED:
        return _PARSED[der]
    result: _Parsed = None
    try:  # the subject and the extensions are read lazily: a malformed one raises here, not at the load
        cert = x509.load_der_x509_certificate(der)
        names = tuple(str(a.value) for a in cert.subject.get_attributes_for_oid(NameOID.COMMON_NAME))
        ends = getattr(cert, "not_valid_after_utc", None)
        result = (not _is_ca(cert), names, ends if ends is not None else
                  cert.not_valid_after.replace(tzinfo=timezone.utc))
    except ValueError:
        pass
    if len(_PARSED) >= _KEPT:
        _PARSED.clear()  # a fresh start beats bookkeeping: sites have few signers
    _PARSED[der] = result
    return result


def _is_ca(cert: x509.Certificate) -> bool:
    try:
        return bool(cert.extensions.get_extension_for_class(x509.BasicConstraints).value.ca)
    except x509.ExtensionNotFound:
        return False
