"""The Sphinx extension, by its public name: `extensions = ["brevane_tools.sphinx"]`.

It lives in `brevane_tools.integrations.sphinx`.
"""

from brevane_tools.integrations.sphinx import setup

__all__ = ["setup"]
