"""The README holds what it shows: its Quick start runs as written, every command and
flag of its command-line synopsis exists with help text, and the files its shell
commands name are there. The synopsis is parsed, not copied: a command or flag
added to the README must exist in brevane_tools.cli.build_parser(), and a command
of the parser must be in the README."""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import brevane
import pytest

from brevane_tools.cli import build_parser

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
FLAG = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")


def section(title: str) -> str:
    """The README text under a `## title` heading, up to the next one."""
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", README, re.M | re.S)
    assert match, f"the README has no section {title!r}"
    return match.group(1)


def code_blocks(text: str, language: str = "") -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```", text, re.M | re.S)


def synopsis() -> dict[str, set[str]]:
    """Command name to the flags its synopsis line names, from the block that lists
    `brevane COMMAND ...` lines."""
    commands: dict[str, set[str]] = {}
    for block in code_blocks(section("Command-line tool")):
        for line in block.splitlines():
            words = line.split()
            if len(words) >= 2 and words[0] == "brevane":
                commands[words[1]] = set(FLAG.findall(line))
    assert commands, "no `brevane COMMAND` lines in the README's command-line synopsis"
    return commands


def subparsers() -> dict[str, argparse.ArgumentParser]:
    parser = build_parser()
    (action,) = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    return dict(action.choices)


def flags_with_help(parser: argparse.ArgumentParser) -> dict[str, str]:
    return {flag: action.help or "" for action in parser._actions for flag in action.option_strings}


@pytest.mark.parametrize("command", sorted(synopsis()))
def test_every_documented_flag_exists_with_help(command: str) -> None:
    parsers = subparsers()
    assert command in parsers, f"the README documents `brevane {command}`, which the parser lacks"
    known = flags_with_help(parsers[command])
    missing = sorted(flag for flag in synopsis()[command] if flag not in known)
    assert missing == [], f"`brevane {command}` has no {missing}"
    helpless = sorted(flag for flag in synopsis()[command] if not known[flag].strip())
    assert helpless == [], f"`brevane {command}` flags without help text: {helpless}"


def test_every_command_is_in_the_synopsis() -> None:
    assert sorted(subparsers()) == sorted(synopsis())


def test_flags_in_the_tools_prose_exist_on_some_command() -> None:
    prose = re.sub(r"^```.*?^```", "", section("Command-line tool"), flags=re.M | re.S)
    documented = {flag for quoted in re.findall(r"`([^`]*)`", prose) for flag in FLAG.findall(quoted)}
    known = {flag for parser in subparsers().values() for flag in flags_with_help(parser)}
    assert documented, "no flags found in the prose of the command-line section"
    assert sorted(documented - known) == []


SHELL_BLOCKS = code_blocks(README, "sh")


@pytest.mark.parametrize("block", SHELL_BLOCKS, ids=[b.splitlines()[0][:40] for b in SHELL_BLOCKS])
def test_files_named_by_shell_commands_exist(block: str) -> None:
    named = re.findall(r"(?<![\w/.])((?:scripts|examples|bench|tests|fuzz)/[\w./-]+)", block)
    assert sorted(path for path in named if not (ROOT / path).exists()) == []


def test_module_version_is_the_projects() -> None:
    """The version is written once, in pyproject.toml; the build hands it to the module."""
    declared = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)
    assert declared
    assert brevane.__version__ == declared.group(1)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="the C2PA SDK's Python binding needs CPython 3.10 or later")
def test_quick_start_runs_as_written(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    if "c2pa" not in sys.modules:
        try:
            import c2pa  # noqa: F401
        except ImportError:
            if os.environ.get("CI"):
                raise  # CI installs the c2pa extra on 3.10+: a missing SDK is a broken set-up
            pytest.skip("c2pa-python is not installed: the c2pa extra")
    (block,) = code_blocks(section("Quick start"), "python")
    # As the README says: from the checkout, after make_test_certs.py has made certs/.
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    monkeypatch.chdir(tmp_path)
    subprocess.run([sys.executable, "examples/make_test_certs.py", "certs"], check=True, capture_output=True)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(block, "README.md: Quick start", "exec"), {"__name__": "__readme__"})
    # The printed line is what the comment on the print call promises, as "FIRST (...) LAST".
    (promise,) = re.findall(r"^print\(.*#\s*(\S+) \(.*\) (\S+)\s*$", block, re.M)
    output = printed.getvalue().strip()
    assert (output.split()[0], output.split()[-1]) == promise, output
