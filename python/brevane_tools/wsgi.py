"""The WSGI middleware, by its public name: `from brevane_tools.wsgi import SigningMiddleware`.

It lives in `brevane_tools.integrations.wsgi`; its settings and caches in `brevane_tools.integrations.dynamic`.
"""

from brevane_tools.integrations.dynamic import DirectoryCache, DynamicSigning, MemoryCache
from brevane_tools.integrations.wsgi import SigningMiddleware

__all__ = ["DirectoryCache", "DynamicSigning", "MemoryCache", "SigningMiddleware"]
