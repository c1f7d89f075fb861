"""Fetching over HTTP: one deadline however a server trickles, capped headers, the hosts a page may send a fetch to."""

from __future__ import annotations

import datetime
import http.server
import itertools
import socket
import ssl
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Optional

import pytest

pytest.importorskip("requests")
from brevane_tools.remote import FetchError, FetchLimits, fetch  # noqa: E402

STATUS = b"HTTP/1.1 200 OK\r\n"


@pytest.fixture
def scripted(request: pytest.FixtureRequest) -> Iterator[str]:
    """A loopback server that reads the request, sends `first`, then `unit` over and over, a byte per `pause`."""
    first, unit, pause = request.param
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(5)
    stop = threading.Event()

    def serve() -> None:
        with listener, listener.accept()[0] as conn:
            conn.recv(65536)
            pieces = itertools.cycle([unit[i : i + 1] for i in range(len(unit))] if pause else [unit])
            started = time.monotonic()
            try:
                conn.sendall(first)
                while not stop.wait(pause) and time.monotonic() - started < 10:
                    conn.sendall(next(pieces, b""))
            except OSError:
                pass  # the client gave up, as it should

    threading.Thread(target=serve, daemon=True).start()
    yield f"127.0.0.1:{listener.getsockname()[1]}"
    stop.set()


@pytest.mark.parametrize(
    ("scripted", "scheme", "problem"),
    [
        ((b"", STATUS, 0.2), "http", "did not arrive in time"),
        ((STATUS, b"X-Slow: 1\r\n", 0.05), "http", "did not arrive in time"),
        ((b"", b"", 0.2), "https", "did not arrive in time"),
        ((STATUS, b"X-Many: 1\r\n", 0), "http", "could not be fetched: the response has more than 100 header fields"),
        ((STATUS + b"X-Long: ", b"a" * 1024, 0), "http",
         "could not be fetched: the response headers are larger than 65,536 bytes"),
    ],
    ids=["status line trickled", "headers trickled", "TLS handshake never answered", "endless fields",
         "one endless field"],
    indirect=["scripted"],
)
def test_a_response_head_is_bounded_in_time_and_size(scripted: str, scheme: str, problem: str) -> None:
    url = f"{scheme}://{scripted}/p.html"
    started = time.monotonic()
    with pytest.raises(FetchError) as caught:
        fetch(url, "the page", 1 << 20, FetchLimits(timeout=1.0), trusted_host=url)
    assert str(caught.value) == f"the page at {url} {problem}"
    assert time.monotonic() - started < 3


@pytest.mark.parametrize(
    "scripted", [(STATUS + b"Transfer-Encoding: chunked\r\n\r\n" + b"1\r\na\r\n" * 200 + b"0\r\n\r\n", b"", 0.2)],
    indirect=True,
)
def test_the_header_caps_end_with_the_head(scripted: str) -> None:
    url = f"http://{scripted}/s.c2pa"  # each chunk of the body has a line of its own
    assert fetch(url, "the Manifest Store", 1024, FetchLimits(timeout=5), trusted_host=url).body == b"a" * 200


@pytest.fixture(scope="module")
def stores() -> Iterator[tuple[list[str], dict[str, int]]]:
    """Store servers on 127.0.0.1 and on 127.0.0.2, and the paths they were asked for."""
    asked: list[str] = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            asked.append(self.path)
            away = self.path == "/away"
            self.send_response(302 if away else 200)
            if away:
                self.send_header("Location", "http://10.255.255.1/s.c2pa")
            self.end_headers()
            self.wfile.write(b"" if away else b"store")

        def log_message(self, *_: Any) -> None:
            pass

    servers = [http.server.ThreadingHTTPServer((host, 0), Handler) for host in ("127.0.0.1", "127.0.0.2")]
    for server in servers:
        threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
    yield asked, {"one": servers[0].server_address[1], "two": servers[1].server_address[1]}
    for server in servers:
        server.shutdown()


HINT = "not fetched: pass --allow-private-hosts to allow it"


@pytest.mark.parametrize(
    ("page", "store", "allow", "refusal"),
    [
        ("http://127.0.0.1:{one}/docs/p.html", "http://127.0.0.1:{one}/s.c2pa", False, None),
        ("LOCALHOST.:1", "http://localhost:{one}/s.c2pa", False, None),
        (None, "http://127.0.0.2:{two}/s.c2pa", True, None),
        ("127.0.0.1:{one}", "http://127.0.0.2:{two}/s.c2pa", False, "a loopback address (127.0.0.2)"),
        (None, "http://localhost:{one}/s.c2pa", False, "a loopback address ({localhost})"),
        ("127.0.0.1:{one}", "http://127.0.0.1:{one}/away", False, "a private address (10.255.255.1)"),
        (None, "http://10.255.255.1/s.c2pa", False, "a private address (10.255.255.1)"),
        (None, "http://169.254.1.1/s.c2pa", False, "a link-local address (169.254.1.1)"),
        ("example.org", "http://[::ffff:192.168.1.1]/s.c2pa", False, "a private address (::ffff:192.168.1.1)"),
        (None, "http://[64:ff9b::a00:1]/s.c2pa", False, "a private address (64:ff9b::a00:1)"),
        (None, "http://0.0.0.0:{one}/s.c2pa", False, "a non-public address (0.0.0.0)"),
        (None, "http://224.0.0.1/s.c2pa", False, "a non-public address (224.0.0.1)"),
    ],
    ids=["the page's own host", "its name, another case and port", "allowed", "another loopback address",
         "a name on loopback", "a redirect to a private address", "private", "link-local", "IPv4 in IPv6", "NAT64",
         "unspecified", "multicast"],
)
def test_a_page_reaches_non_public_hosts_only_on_its_own_host_or_when_allowed(
    stores: tuple[list[str], dict[str, int]], page: Optional[str], store: str, allow: bool, refusal: Optional[str]
) -> None:
    asked, ports = stores
    places = dict(ports, localhost=socket.getaddrinfo("localhost", None, type=socket.SOCK_STREAM)[0][4][0])
    url = store.format(**places)
    asked.clear()
    limits = FetchLimits(allow_private_hosts=allow, timeout=5)
    trusted = page.format(**places) if page else None
    if refusal is None:
        assert fetch(url, "the Manifest Store", 1024, limits, trusted_host=trusted).body == b"store"
        return
    with pytest.raises(FetchError) as caught:
        fetch(url, "the Manifest Store", 1024, limits, trusted_host=trusted)
    refused = "http://10.255.255.1/s.c2pa" if url.endswith("/away") else url
    assert str(caught.value) == f"the Manifest Store at {refused} is on {refusal.format(**places)}, {HINT}"
    assert asked == (["/away"] if url.endswith("/away") else [])  # nothing was sent to a refused host


def test_an_https_fetch_connects_to_the_checked_address_and_keeps_the_name_for_tls_and_host(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)
    keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(2)]
    names = [x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, n)]) for n in ("test CA", "localhost")]

    def certificate(subject: int, extensions: list[Any]) -> x509.Certificate:
        builder = x509.CertificateBuilder().subject_name(names[subject]).issuer_name(names[0])
        builder = builder.public_key(keys[subject].public_key()).serial_number(x509.random_serial_number())
        builder = builder.not_valid_before(now - datetime.timedelta(minutes=5))
        builder = builder.not_valid_after(now + datetime.timedelta(days=1))
        builder = builder.add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(keys[0].public_key()), False)
        builder = builder.add_extension(x509.SubjectKeyIdentifier.from_public_key(keys[subject].public_key()), False)
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical)
        return builder.sign(keys[0], hashes.SHA256())

    signs = dict.fromkeys(["content_commitment", "key_encipherment", "data_encipherment", "key_agreement",
                           "encipher_only", "decipher_only"], False)
    ca = certificate(0, [(x509.BasicConstraints(ca=True, path_length=None), True),
                         (x509.KeyUsage(digital_signature=False, key_cert_sign=True, crl_sign=True, **signs), True)])
    leaf = certificate(1, [(x509.BasicConstraints(ca=False, path_length=None), True),
                     (x509.SubjectAlternativeName([x509.DNSName("localhost")]), False),
                     (x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), False)])
    (tmp_path / "ca.pem").write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    (tmp_path / "leaf.pem").write_bytes(leaf.public_bytes(serialization.Encoding.PEM) + keys[1].private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "ca.pem"))

    seen: list[Optional[str]] = []
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(tmp_path / "leaf.pem")
    context.sni_callback = lambda _sock, name, _context: seen.append(name)

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            seen.append(self.headers["Host"])
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"over TLS")

        def log_message(self, *_: Any) -> None:
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
    port = server.server_address[1]
    try:
        url = f"https://localhost:{port}/s.c2pa"
        assert fetch(url, "the Manifest Store", 1024, FetchLimits(timeout=5), trusted_host=url).body == b"over TLS"
        assert seen == ["localhost", f"localhost:{port}"]
        # The certificate names localhost, not the address the connection went to.
        with pytest.raises(FetchError, match="CERTIFICATE_VERIFY_FAILED"):
            fetch(f"https://127.0.0.1:{port}/s.c2pa", "the Manifest Store", 1024,
                  FetchLimits(allow_private_hosts=True))
    finally:
        server.shutdown()
