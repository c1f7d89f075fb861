"""The ASGI middleware, by its public name: `from brevane_tools.asgi import SigningMiddleware`.

It lives in `brevane_tools.integrations.asgi`; its settings and caches in `brevane_tools.integrations.dynamic`.
"""

from brevane_tools.integrations.asgi import SigningMiddleware
from brevane_tools.integrations.dynamic import DirectoryCache, DynamicSigning, MemoryCache

__all__ = ["DirectoryCache", "DynamicSigning", "MemoryCache", "SigningMiddleware"]
