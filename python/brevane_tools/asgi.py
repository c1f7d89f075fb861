"""The ASGI middleware, by its public name: `from brevane_tools.asgi import SigningMiddleware`.

It lives in `brevane_tools.integrations.asgi`; its settings in `brevane_tools.integrations.settings`, its caches in
`brevane_tools.integrations.caches`.
"""

from brevane_tools.integrations.asgi import SigningMiddleware
from brevane_tools.integrations.caches import DirectoryCache, MemoryCache
from brevane_tools.integrations.settings import DynamicSigning

__all__ = ["DirectoryCache", "DynamicSigning", "MemoryCache", "SigningMiddleware"]
