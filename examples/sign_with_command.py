"""A signer command for `brevane sign --signer-command`: the key stays with this program.

brevane writes the bytes to sign to standard input and reads the signature
from standard output; it never sees the key. A real deployment puts a KMS or
HSM client here (`aws kms sign ...`, a PKCS#11 tool, a signing service); this
one signs with a PEM key file, to try the workflow and to test it:

    brevane sign site --in-place --manifest examples/manifest.json --cert chain.pem \\
        --signer-command "python examples/sign_with_command.py signer.key"

ECDSA keys give a DER signature (the SDK takes DER or raw r||s), RSA keys an
RSA-PSS signature, Ed25519 keys a plain one. The hash follows the key: SHA-256
for P-256 and RSA (es256, ps256), SHA-384 for P-384, SHA-512 for P-521.
"""

from __future__ import annotations

import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa


def sign(key_pem: bytes, data: bytes) -> bytes:
    key = serialization.load_pem_private_key(key_pem, password=None)
    if isinstance(key, ec.EllipticCurvePrivateKey):
        digest = {256: hashes.SHA256(), 384: hashes.SHA384(), 521: hashes.SHA512()}[key.curve.key_size]
        return key.sign(data, ec.ECDSA(digest))
    if isinstance(key, rsa.RSAPrivateKey):
        pss = padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=32)
        return key.sign(data, pss, hashes.SHA256())
    if isinstance(key, ed25519.Ed25519PrivateKey):
        return key.sign(data)
    raise SystemExit(f"sign_with_command: unsupported key type {type(key).__name__}")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: sign_with_command.py KEY.pem < data > signature", file=sys.stderr)
        return 2
    with open(argv[1], "rb") as key_file:
        key_pem = key_file.read()
    sys.stdout.buffer.write(sign(key_pem, sys.stdin.buffer.read()))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
