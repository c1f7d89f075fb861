"""The signing middleware's settings: `DynamicSigning`, and where a cache plugs in."""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Protocol, cast

from brevane_tools.errors import UsageError
from brevane_tools.files.reading import read_option_file
from brevane_tools.limits import FORMS, HASH_ALGS
from brevane_tools.integrations.caches import DirectoryCache
from brevane_tools.signing.credentials import Credential, SigningKey
from brevane_tools.signing.definition import Manifest

__all__ = ["PRIVATE", "STORE_PREFIX", "BoundedCache", "CacheBackend", "DynamicSigning", "KeyHook", "PlainCache",
           "bounded"]

#: What a private response gets: nothing (the default: it costs no signature per visitor
#: and publishes nothing), or an inline signature that is neither kept nor served apart.
PRIVATE = ("unsigned", "inline")
STORE_PREFIX = "/.well-known/c2pa/"


class CacheBackend(Protocol):
    """Where signed pages and stores are kept: Django's cache or a Redis client fit as they are."""

    def get(self, key: str) -> Optional[bytes]: ...

    def set(self, key: str, value: bytes) -> Any: ...


class BoundedCache(Protocol):
    """A cache that keeps floors and bounds (MemoryCache, DirectoryCache): see `caches`."""

    max_bytes: int
    max_entries: int

    def get(self, key: str) -> Optional[bytes]: ...

    def hold(self, key: str, keep: float) -> bool: ...

    def room(self, size: int) -> bool: ...

    def set(self, key: str, value: bytes, keep: float = 0.0) -> None: ...


class PlainCache:
    """A plain get/set store as the middleware keeps entries: it holds no floors, and its bounds are its own."""

    max_bytes = max_entries = 0  # never full: it evicts by its own rules

    def __init__(self, backend: CacheBackend) -> None:
        self.backend = backend

    def get(self, key: str) -> Optional[bytes]:
        return self.backend.get(key)

    def hold(self, key: str, keep: float) -> bool:
        return self.backend.get(key) is not None

    def room(self, size: int) -> bool:
        return True

    def set(self, key: str, value: bytes, keep: float = 0.0) -> None:
        self.backend.set(key, value)


def bounded(cache: CacheBackend) -> BoundedCache:
    """`cache` itself where it keeps floors and bounds (it has `hold` and `room`), else a PlainCache over it."""
    if callable(getattr(cache, "hold", None)) and callable(getattr(cache, "room", None)):
        return cast(BoundedCache, cache)
    return PlainCache(cache)


#: The key hook: a request's path and query string in, the page's key out (None: leave it unsigned).
KeyHook = Callable[[str, str], Optional[str]]


@dataclass(frozen=True, repr=False)
class DynamicSigning:
    """The middleware's settings."""

    manifest: Manifest  # the definition (a mapping, or JSON text), a template: see signing.definition
    credential: Credential
    form: str = "header"
    alg: str = "sha256"  # the hash of the binding
    max_bytes: int = 8 * 1024 * 1024  # larger pages pass unsigned
    cache: Optional[CacheBackend] = None  # None: a MemoryCache
    fail_closed: bool = False  # a page that cannot be signed is a 503, not sent unsigned
    prefix: str = STORE_PREFIX  # where stores are served, below the application's root
    threads: int = 4  # ASGI: the signing threads, so that the event loop never waits on a signature
    private: str = "unsigned"  # private responses: "unsigned", or "inline" (signed, kept nowhere)
    store_floor: float = 3600.0  # seconds a store stays served after a response named it, at least
    signatures_per_second: Optional[float] = 20.0  # new ones, per process; None: no limit
    key: Optional[KeyHook] = None  # which requests are the same page; None: the URL path
    clock: Callable[[], float] = field(default=time.time, compare=False)  # seconds since the epoch

    def __post_init__(self) -> None:
        """Values the middleware cannot work with are refused when the settings are made."""
        if self.form not in FORMS:
            raise UsageError(f"unknown form {self.form!r}: use one of {', '.join(FORMS)}")
        if self.alg not in HASH_ALGS:
            raise UsageError(f"unknown hash algorithm {self.alg!r}: use {', '.join(HASH_ALGS[:-1])} or {HASH_ALGS[-1]}")
        if not (self.prefix.startswith("/") and self.prefix.endswith("/")):
            raise UsageError(f"the store prefix {self.prefix!r} must start and end with '/'")
        if self.max_bytes <= 0 or self.threads <= 0:
            raise UsageError("max_bytes and threads must be above zero")
        if self.private not in PRIVATE:
            raise UsageError(f"unknown private {self.private!r}: use one of {', '.join(PRIVATE)}")
        rate = self.signatures_per_second
        if not self.store_floor >= 0 or (rate is not None and not rate > 0):
            raise UsageError("store_floor must be zero or more, and signatures_per_second above zero (or None)")

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
