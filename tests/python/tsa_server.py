"""A loopback RFC 3161 time-stamp authority for the signing tests.

It answers a POSTed `application/timestamp-query` with a `TimeStampResp`
whose token is a CMS SignedData over a TSTInfo, signed by a test TSA
certificate (extended key usage timeStamping, critical) issued by its own
test root. The answers are real: the C2PA SDK checks the token's signature,
its message imprint and the certificate's key usage.

    with TimeStampAuthority() as tsa:
        tsa.url, tsa.root_pem, tsa.requests

`fail_after=N` makes it answer every request after the first N with HTTP 500
(0: every request).
"""

from __future__ import annotations

import datetime
import hashlib
import http.server
import threading
from types import TracebackType
from typing import Any, Optional

from asn1crypto import algos, cms, core, tsp, x509 as asn1_x509  # type: ignore[import-untyped]
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

_DIGESTS = {"sha256": hashlib.sha256, "sha384": hashlib.sha384, "sha512": hashlib.sha512}


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, "brevane test TSA")])


def _tsa_chain() -> tuple[ec.EllipticCurvePrivateKey, x509.Certificate, x509.Certificate]:
    now = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=5)
    until = now + datetime.timedelta(days=2)
    root_key = ec.generate_private_key(ec.SECP256R1())
    root = (
        x509.CertificateBuilder().subject_name(_name("TSA TEST root")).issuer_name(_name("TSA TEST root"))
        .public_key(root_key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(now).not_valid_after(until)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(root_key.public_key()), critical=False)
        .sign(root_key, hashes.SHA256())
    )
    key = ec.generate_private_key(ec.SECP256R1())
    usage = x509.KeyUsage(True, False, False, False, False, False, False, False, False)
    leaf = (
        x509.CertificateBuilder().subject_name(_name("TSA TEST signer")).issuer_name(root.subject)
        .public_key(key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(now).not_valid_after(until)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(usage, critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]), critical=True)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(root_key.public_key()), critical=False)
        .sign(root_key, hashes.SHA256())
    )
    return key, leaf, root


class TimeStampAuthority:
    """An HTTP time-stamp server on 127.0.0.1, in a thread of the test process."""

    def __init__(self, fail_after: Optional[int] = None) -> None:
        self.fail_after = fail_after
        self.key, leaf, root = _tsa_chain()
        der = serialization.Encoding.DER
        self.leaf = asn1_x509.Certificate.load(leaf.public_bytes(der))
        self.root = asn1_x509.Certificate.load(root.public_bytes(der))
        self.root_pem = root.public_bytes(serialization.Encoding.PEM)
        self.requests = 0
        self.serial = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802 - the http.server hook's name
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                authority.requests += 1
                failing = authority.fail_after is not None and authority.requests > authority.fail_after
                if failing or self.headers.get("Content-Type") != "application/timestamp-query":
                    self.send_error(500, "time-stamping is down")
                    return
                answer = authority.respond(body)
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/tsa"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self) -> TimeStampAuthority:
        self.thread.start()
        return self

    def __exit__(
        self, kind: Optional[type[BaseException]], error: Optional[BaseException], trace: Optional[TracebackType]
    ) -> None:
        self.server.shutdown()
        self.server.server_close()

    def respond(self, query: bytes) -> bytes:
        """The DER TimeStampResp for a DER TimeStampReq."""
        request = tsp.TimeStampReq.load(query)
        self.serial += 1
        info = tsp.TSTInfo({
            "version": "v1",
            "policy": "1.3.6.1.4.1.99999.1",
            "message_imprint": request["message_imprint"],
            "serial_number": self.serial,
            "gen_time": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0),
            "nonce": request["nonce"].native if request["nonce"].native is not None else core.Void(),
        })
        content = info.dump()
        digest = hashlib.sha256(content).digest()
        attributes = cms.CMSAttributes([
            cms.CMSAttribute({"type": "content_type", "values": ["tst_info"]}),
            cms.CMSAttribute({"type": "message_digest", "values": [digest]}),
            cms.CMSAttribute({
                "type": "signing_certificate_v2",
                "values": [{"certs": [{"cert_hash": hashlib.sha256(self.leaf.dump()).digest()}]}],
            }),
        ])
        signature = self.key.sign(attributes.dump(), ec.ECDSA(hashes.SHA256()))
        signer_info = cms.SignerInfo({
            "version": "v1",
            "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
                "issuer": self.leaf.issuer, "serial_number": self.leaf.serial_number}}),
            "digest_algorithm": algos.DigestAlgorithm({"algorithm": "sha256"}),
            "signed_attrs": attributes,
            "signature_algorithm": algos.SignedDigestAlgorithm({"algorithm": "sha256_ecdsa"}),
            "signature": signature,
        })
        signed_data = cms.SignedData({
            "version": "v3",
            "digest_algorithms": [algos.DigestAlgorithm({"algorithm": "sha256"})],
            "encap_content_info": {"content_type": "tst_info", "content": core.ParsableOctetString(content)},
            "certificates": [self.leaf, self.root] if request["cert_req"].native else [],
            "signer_infos": [signer_info],
        })
        token = cms.ContentInfo({"content_type": "signed_data", "content": signed_data})
        answer: bytes = tsp.TimeStampResp({"status": {"status": "granted"}, "time_stamp_token": token}).dump()
        return answer
