"""The WSGI middleware, by its public name: `from brevane_tools.wsgi import SigningMiddleware`.

It lives in `brevane_tools.integrations.wsgi`; its settings in `brevane_tools.integrations.settings`, its caches in
`brevane_tools.integrations.caches`.
"""

from brevane_tools.integrations.caches import DirectoryCache, MemoryCache
from brevane_tools.integrations.settings import DynamicSigning
from brevane_tools.integrations.wsgi import SigningMiddleware

__all__ = ["DirectoryCache", "DynamicSigning", "MemoryCache", "SigningMiddleware"]
