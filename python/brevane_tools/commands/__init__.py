"""The commands of the `brevane` tool, one module per family, in one ordered registry.

The help text lists them in the order of `COMMANDS`, and nothing else lists them.
"""

from __future__ import annotations

from typing import Any, Optional

from brevane_tools.commands.audit import AUDIT
from brevane_tools.commands.base import Command
from brevane_tools.commands.check import CHECK, SHOW
from brevane_tools.commands.page import EMBED, EXTRACT, HASH, LOCATE, PREDICT, REFERENCE, REMOVE, VERIFY
from brevane_tools.commands.sign import SIGN

__all__ = ["COMMANDS", "named"]

COMMANDS: tuple[Command[Any], ...] = (
    LOCATE, EXTRACT, REMOVE, EMBED, REFERENCE, HASH, PREDICT, VERIFY, SIGN, CHECK, SHOW, AUDIT,
)


def named(name: str) -> Optional[Command[Any]]:
    """The command of that name, or None."""
    for command in COMMANDS:
        if command.name == name:
            return command
    return None
