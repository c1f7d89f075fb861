"""The manifest definition as a template of the page it signs.

Placeholders in any text of the definition: `{path}` (the page's path below
the site root), `{name}` (its file name), `{stem}` (the name without its
extension), `{title}` (its `<title>` text, else its file name); `{{` and `}}`
are literal braces.
"""

from __future__ import annotations

import copy
import functools
import json
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

from brevane_tools.errors import SigningError
from brevane_tools.head import head_facts

__all__ = ["DATA_HASH_LABEL", "HTML_FORMAT", "PLACEHOLDERS", "Manifest", "PageFacts", "load_definition",
           "page_title", "render_definition", "substitute"]

DATA_HASH_LABEL = "c2pa.hash.data"
HTML_FORMAT = "text/html"

Manifest = Union[Mapping[str, Any], str]

_PLACEHOLDER = re.compile(r"\{\{|\}\}|\{([A-Za-z_]+)\}")
PLACEHOLDERS = ("path", "name", "stem", "title")


@dataclass(frozen=True)
class PageFacts:
    """What a manifest definition may say about the page it signs."""

    path: str = ""  # the page's path below the site root, with "/" separators
    name: str = ""  # its file name
    title: Optional[str] = None  # its <title> text; None: `page_title` finds it

    @property
    def stem(self) -> str:
        return self.name.rsplit(".", 1)[0] if "." in self.name else self.name


def page_title(html: bytes) -> Optional[str]:
    """The text of the page's `<title>` in its head, whitespace collapsed; None if none.

    UTF-8 is assumed, with Windows-1252 as the fallback for older pages.
    """
    return head_facts(html).title


def substitute(text: str, values: Mapping[str, str]) -> str:
    if "{" not in text and "}" not in text:
        return text
    def one(match: re.Match[str]) -> str:
        word = match.group(1)
        if word is None:
            return match.group(0)[0]
        if word not in values:
            raise SigningError(
                f"unknown placeholder {{{word}}} in the manifest definition: use "
                f"{', '.join('{' + p + '}' for p in values)}, or {{{{ and }}}} for braces"
            )
        return values[word]

    return _PLACEHOLDER.sub(one, text)


def _fill(value: Any, values: Mapping[str, str]) -> Any:
    if isinstance(value, str):
        return substitute(value, values)
    if isinstance(value, list):
        return [_fill(v, values) for v in value]
    if isinstance(value, dict):
        return {k: _fill(v, values) for k, v in value.items()}
    return value


def load_definition(manifest: Manifest) -> dict[str, Any]:
    """The caller's manifest definition as a fresh dict, checked; raises SigningError.

    A stale `c2pa.hash.data` assertion is dropped (the new binding replaces
    it), and the placeholders are checked.
    """
    if isinstance(manifest, str):
        try:
            loaded = json.loads(manifest)
        except json.JSONDecodeError as exc:
            raise SigningError(f"the manifest definition is not valid JSON: {exc}") from exc
    else:
        loaded = copy.deepcopy(dict(manifest))
    if not isinstance(loaded, dict):
        raise SigningError("the manifest definition must be a JSON object")
    assertions = loaded.get("assertions", [])
    if not isinstance(assertions, list):
        raise SigningError("the manifest definition's assertions must be a list")
    loaded["assertions"] = [
        a for a in assertions if not (isinstance(a, dict) and a.get("label") == DATA_HASH_LABEL)
    ]
    ta_url = loaded.get("ta_url")
    if ta_url is not None and not isinstance(ta_url, str):
        raise SigningError("the manifest definition's ta_url must be a URL text")
    _fill(loaded, {p: "" for p in PLACEHOLDERS})  # raises on an unknown placeholder
    return loaded


@functools.lru_cache(maxsize=16)
def _template(text: str) -> dict[str, Any]:
    return load_definition(text)


def _has_placeholder(value: Any) -> bool:
    if isinstance(value, str):
        return any(match.group(1) for match in _PLACEHOLDER.finditer(value)) if "{" in value else False
    if isinstance(value, dict):
        value = list(value.values())
    return isinstance(value, list) and any(_has_placeholder(v) for v in value)


def same_but_title(template: Manifest) -> bool:
    """Whether every page's definition is the template's but for its title: no placeholder elsewhere."""
    if isinstance(template, str):
        return _same_but_title(template)
    return not any(_has_placeholder(v) for k, v in load_definition(template).items() if k != "title")


@functools.lru_cache(maxsize=16)
def _same_but_title(text: str) -> bool:
    return same_but_title(_template(text))


def render_definition(template: Manifest, facts: PageFacts, html: bytes = b"") -> dict[str, Any]:
    """One page's definition: placeholders filled, title defaulted, format set.

    Placeholders in any text of the definition: `{path}` (the page's path
    below the site root), `{name}` (its file name), `{stem}` (the name without
    its extension), `{title}` (its `<title>` text, else its file name); `{{`
    and `}}` are literal braces. Without a `title`, the page's own title is
    used. `format` is always `text/html`; `ta_url` is taken out (it belongs
    to the signer: see `SigningKey.tsa_url`).
    """
    # A text template is parsed and checked once per process; filling makes new containers.
    definition = _template(template) if isinstance(template, str) else load_definition(template)
    title = facts.title if facts.title is not None else page_title(html)
    title = title or facts.name or "untitled page"
    values = {"path": facts.path, "name": facts.name, "stem": facts.stem, "title": title}
    definition = {key: _fill(value, values) for key, value in definition.items()}
    definition.setdefault("title", title)
    definition["format"] = HTML_FORMAT
    definition.pop("ta_url", None)
    return definition

