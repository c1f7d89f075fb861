"""Make a throwaway certificate chain for trying out and testing the signer.

FOR EXAMPLES AND TESTS ONLY. The keys are written unencrypted, the root is
made up on the spot, and nothing here is fit to sign anything that a real
reader should trust.

The chain has the shape that C2PA validators check for: a self-signed root
CA, and an ES256 (P-256) end-entity certificate issued by it with the
digitalSignature key usage, the emailProtection and documentSigning extended
key usages, and an Authority Key Identifier. The signer signs with the
end-entity key; the chain file lists the end-entity certificate first and the
root after it, and the root alone goes into a validator's trust anchors.

    python examples/make_test_certs.py OUT_DIR

writes OUT_DIR/root.pem, OUT_DIR/chain.pem and OUT_DIR/signer.key.
"""

from __future__ import annotations

import argparse
import datetime
import os
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

# documentSigning (RFC 9336); spelled out because older cryptography lacks it.
DOCUMENT_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.36")


@dataclass(frozen=True)
class CertChain:
    """PEM texts of one freshly made test chain."""

    root_pem: bytes
    chain_pem: bytes  # end-entity certificate first, then the root
    key_pem: bytes  # the end-entity's private key, PKCS#8, unencrypted


def _name(common_name: str) -> x509.Name:
    return x509.Name(
        [
            x509.NameAttribute(NameOID.COMMON_NAME, common_name),
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "brevane test certificates"),
            x509.NameAttribute(NameOID.COUNTRY_NAME, "ZZ"),
        ]
    )


def make_test_chain(valid_days: int = 30) -> CertChain:
    """Make a new root CA and an end-entity certificate signed by it."""
    # Backdated a little so that a clock a few minutes behind still accepts it.
    now = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=5)
    until = now + datetime.timedelta(days=valid_days)

    root_key = ec.generate_private_key(ec.SECP256R1())
    root_ski = x509.SubjectKeyIdentifier.from_public_key(root_key.public_key())
    root_cert = (
        x509.CertificateBuilder()
        .subject_name(_name("brevane TEST root CA"))
        .issuer_name(_name("brevane TEST root CA"))
        .public_key(root_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now)
        .not_valid_after(until)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=False,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=True,
                crl_sign=True,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(root_ski, critical=False)
        .sign(root_key, hashes.SHA256())
    )

    leaf_key = ec.generate_private_key(ec.SECP256R1())
    leaf_cert = (
        x509.CertificateBuilder()
        .subject_name(_name("brevane TEST signer"))
        .issuer_name(root_cert.subject)
        .public_key(leaf_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now)
        .not_valid_after(until)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=False,
                crl_sign=False,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(
            x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION, DOCUMENT_SIGNING]),
            critical=False,
        )
        .add_extension(
            x509.SubjectKeyIdentifier.from_public_key(leaf_key.public_key()), critical=False
        )
        .add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(root_ski),
            critical=False,
        )
        .sign(root_key, hashes.SHA256())
    )

    pem = serialization.Encoding.PEM
    return CertChain(
        root_pem=root_cert.public_bytes(pem),
        chain_pem=leaf_cert.public_bytes(pem) + root_cert.public_bytes(pem),
        key_pem=leaf_key.private_bytes(
            pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        ),
    )


def write_test_chain(out_dir: Path, valid_days: int = 30) -> CertChain:
    """Make a chain and write root.pem, chain.pem and signer.key into out_dir."""
    chain = make_test_chain(valid_days)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "root.pem").write_bytes(chain.root_pem)
    (out_dir / "chain.pem").write_bytes(chain.chain_pem)
    key_path = out_dir / "signer.key"
    # The key is a throwaway, but keep it private to its owner all the same.
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as key_file:
        key_file.write(chain.key_pem)
    return chain


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Make a TEST-ONLY root CA and ES256 signing certificate."
    )
    parser.add_argument("out_dir", type=Path, help="directory for root.pem, chain.pem, signer.key")
    parser.add_argument("--days", type=int, default=30, help="validity in days (default 30)")
    args = parser.parse_args(argv)
    write_test_chain(args.out_dir, args.days)
    print(f"test certificates written to {args.out_dir} (for examples and tests only)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
