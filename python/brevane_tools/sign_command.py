"""The `sign` command: sign pages with a C2PA manifest through the C2PA SDK."""

from __future__ import annotations

import argparse
import json
from dataclasses import dataclass
from typing import Any

import brevane

from brevane_tools import signing
from brevane_tools.command import Command, Outcome, Page, UsageError, register
from brevane_tools.page_commands import read_option_file


@dataclass(frozen=True)
class SignSettings:
    manifest: str
    key: signing.SigningKey
    alg: str


# One signer per process and key: making one parses the key and certificates.
_SIGNERS: dict[signing.SigningKey, Any] = {}


def _signer(key: signing.SigningKey) -> Any:
    if key not in _SIGNERS:
        _SIGNERS[key] = key.signer()
    return _SIGNERS[key]


def _arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--manifest", required=True, metavar="FILE", help="manifest definition (JSON)")
    parser.add_argument("--cert", required=True, metavar="FILE", help="PEM certificate chain, signer first")
    parser.add_argument("--key", required=True, metavar="FILE", help="PEM private key")
    parser.add_argument("--signing-alg", default="es256", help="signature algorithm (default es256)")
    parser.add_argument("--tsa-url", default=None, metavar="URL", help="RFC 3161 time-stamp authority")


def _prepare(args: argparse.Namespace) -> SignSettings:
    manifest = read_option_file(args.manifest, "manifest")
    try:
        text = manifest.decode("utf-8")
        json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise UsageError(f"the manifest {args.manifest} is not JSON: {exc}") from None
    key = signing.SigningKey(
        read_option_file(args.cert, "certificate chain"),
        read_option_file(args.key, "private key"),
        args.signing_alg,
        args.tsa_url,
    )
    return SignSettings(text, key, str(args.alg))


def _sign(page: Page, settings: SignSettings) -> Outcome:
    assert page.html is not None
    signed = signing.sign_page(page.html, settings.manifest, _signer(settings.key), settings.alg)
    ((start, length),) = brevane.locate_all(signed)
    return Outcome(f"signed, manifest element at {start}:{length}", {"start": start, "length": length}, page=signed)


register(
    Command(
        "sign", "sign pages with a C2PA manifest carried inline", _arguments, _prepare, _sign,
        output="edit", hash_alg=True,
    )
)
