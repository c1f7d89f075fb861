"""The MkDocs plugin, by its public name `brevane_tools.mkdocs:BrevanePlugin`.

It lives in `brevane_tools.integrations.mkdocs`.
"""

from brevane_tools.integrations.mkdocs import BrevanePlugin

__all__ = ["BrevanePlugin"]
