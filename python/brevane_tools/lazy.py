"""Names of a package loaded on first use, so that importing the package costs next to nothing."""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping
from typing import Any

__all__ = ["attributes"]


def attributes(package: str, where: Mapping[str, str]) -> Callable[[str], Any]:
    """A module `__getattr__` that imports each name of `where` from its module when first asked for."""

    def load(name: str) -> Any:
        module = where.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(importlib.import_module(module), name)

    return load
