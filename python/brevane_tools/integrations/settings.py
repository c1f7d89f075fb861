"""The signing middleware's settings: `DynamicSigning`, and where a cache plugs in."""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Protocol

from brevane_tools.errors import UsageError
from brevane_tools.files.reading import read_option_file
from brevane_tools.integrations.caches import DirectoryCache
from brevane_tools.signing.credentials import Credential, SigningKey
from brevane_tools.signing.definition import Manifest

__all__ = ["FORMS", "PRIVATE", "STORE_PREFIX", "CacheBackend", "DynamicSigning", "KeyHook"]

#: header: the page leaves unchanged, with a Link header to its store; link: the
#: page gets a `<link rel="c2pa-manifest">`; inline: the store goes into the page.
FORMS = ("header", "link", "inline")
#: What a private response gets: nothing (the default: it costs no signature per visitor
#: and publishes nothing), or an inline signature that is neither kept nor served apart.
PRIVATE = ("unsigned", "inline")
STORE_PREFIX = "/.well-known/c2pa/"
DEFAULT_MAX_BYTES = 8 * 1024 * 1024
DEFAULT_STORE_FLOOR = 3600.0
DEFAULT_SIGNATURES_PER_SECOND = 20.0


class CacheBackend(Protocol):
    """Where signed pages and stores are kept: Django's cache or a Redis client fit as they are."""

    def get(self, key: str) -> Optional[bytes]: ...

    def set(self, key: str, value: bytes) -> Any: ...


#: The key hook: a request's path and query string in, the page's key out (None: leave it unsigned).
KeyHook = Callable[[str, str], Optional[str]]


@dataclass(frozen=True, repr=False)
class DynamicSigning:
    """The middleware's settings."""

    manifest: Manifest  # the definition (a mapping, or JSON text), a template: see signing.definition
    credential: Credential
    form: str = "header"
    alg: str = "sha256"  # the hash of the binding
    max_bytes: int = DEFAULT_MAX_BYTES  # larger pages pass unsigned
    cache: Optional[CacheBackend] = None  # None: a MemoryCache
    fail_closed: bool = False  # a page that cannot be signed is a 503, not sent unsigned
    prefix: str = STORE_PREFIX  # where stores are served, below the application's root
    threads: int = 4  # ASGI: the signing threads, so that the event loop never waits on a signature
    private: str = "unsigned"  # private responses: "unsigned", or "inline" (signed, kept nowhere)
    store_floor: float = DEFAULT_STORE_FLOOR  # seconds a store stays served after a response named it, at least
    signatures_per_second: Optional[float] = DEFAULT_SIGNATURES_PER_SECOND  # new ones, per process; None: no limit
    key: Optional[KeyHook] = None  # which requests are the same page; None: the URL path
    clock: Callable[[], float] = field(default=time.time, compare=False)  # seconds since the epoch

    def __repr__(self) -> str:
        # Never the credential's fields (a private key, a callback's closure) nor the whole definition.
        credential = f"{type(self.credential).__name__}(alg={getattr(self.credential, 'alg', None)!r})"
        cache = type(self.cache).__name__ if self.cache is not None else None
        return (f"DynamicSigning(credential={credential}, form={self.form!r}, alg={self.alg!r}, "
                f"cache={cache}, fail_closed={self.fail_closed}, private={self.private!r}, "
                f"signatures_per_second={self.signatures_per_second!r}, store_floor={self.store_floor!r})")

    @classmethod
    def from_environment(cls, environ: Optional[Mapping[str, str]] = None, **settings: Any) -> DynamicSigning:
        """Settings from BREVANE_MANIFEST, BREVANE_CERT and BREVANE_KEY (file paths), and optionally
        BREVANE_FORM and BREVANE_CACHE_DIR (a DirectoryCache); keyword arguments win."""
        env = os.environ if environ is None else environ
        needed = ["BREVANE_MANIFEST"] + ([] if "credential" in settings else ["BREVANE_CERT", "BREVANE_KEY"])
        missing = [name for name in needed if not env.get(name)]
        if missing:
            raise UsageError(
                f"{' and '.join(missing)} not set: the manifest definition (JSON), the certificate "
                "chain and the private key (PEM) are named by BREVANE_MANIFEST, BREVANE_CERT and BREVANE_KEY"
            )
        if "credential" not in settings:
            settings["credential"] = SigningKey.from_files(env["BREVANE_CERT"], env["BREVANE_KEY"])
        if env.get("BREVANE_FORM"):
            settings.setdefault("form", env["BREVANE_FORM"])
        if env.get("BREVANE_CACHE_DIR"):
            settings.setdefault("cache", DirectoryCache(env["BREVANE_CACHE_DIR"]))
        return cls(read_option_file(env["BREVANE_MANIFEST"], "manifest").decode("utf-8"), **settings)
