"""The toolkit's layers hold: a module imports only from its own layer and those below it, without an
import loop, and takes no private names."""

from __future__ import annotations

import ast
from pathlib import Path

import brevane_tools

PACKAGE = Path(brevane_tools.__file__).parent

#: Bottom up; a module may import from its own row and the rows above it.
LAYERS = (
    ("errors", "text", "sdk", "results", "limits", "lazy"),
    ("head", "files", "files.finding", "files.reading", "files.directories", "files.writing", "files.mirroring",
     "files.syncing", "files.objects", "files.object_copies", "files.leftovers", "files.temporaries"),
    ("store_location", "link_header"),
    ("trust", "store_reader", "remote", "signing", "signing.definition", "signing.credentials",
     "signing.pages", "signing.sizes", "signing.serving", "checking", "report"),
    ("auditing", "auditing.findings", "auditing.sitemaps", "auditing.diffing", "auditing.links",
     "auditing.certificates", "auditing.pages", "auditing.crawling"),
    ("commands", "commands.base", "commands.page", "commands.sign", "commands.sign_options", "commands.check",
     "commands.audit"),
    ("batch",),
    ("runner", "object_runs", "cluster", "cli"),
    ("integrations", "integrations.site", "integrations.sphinx", "integrations.mkdocs",
     "integrations.precommit", "integrations.cache_control", "integrations.budget", "integrations.caches",
     "integrations.settings",
     "integrations.dynamic", "integrations.wsgi", "integrations.asgi",
     "sphinx", "mkdocs", "wsgi", "asgi", "__main__"),
)
RANK = {name: rank for rank, names in enumerate(LAYERS) for name in names}


def _modules() -> list[tuple[str, ast.Module]]:
    found = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        if name:
            found.append((name, ast.parse(path.read_text("utf-8"))))
    return found


def _path(name: str) -> str:
    """A module's file below the package, by its dotted name."""
    path = PACKAGE / name.replace(".", "/")
    return str((path / "__init__.py" if path.is_dir() else path.with_suffix(".py")).relative_to(PACKAGE))


def _imports(tree: ast.Module) -> list[tuple[str, list[str]]]:
    """(toolkit module, names taken from it) for every import of the toolkit, lazy ones included."""
    found: list[tuple[str, list[str]]] = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("brevane_tools"):
            module = node.module.removeprefix("brevane_tools").lstrip(".")
            for alias in node.names:
                if module == "":  # `from brevane_tools import checking`: a module by name
                    found.append((alias.name, []))
                else:
                    found.append((module, [alias.name]))
        elif isinstance(node, ast.Import):
            found += [(a.name.removeprefix("brevane_tools."), []) for a in node.names
                      if a.name.startswith("brevane_tools.")]
    return found


def test_every_module_has_a_layer_and_imports_only_downwards_and_nothing_private() -> None:
    wrong = []
    for name, tree in _modules():
        assert name in RANK, f"{name} belongs to no layer"
        for imported, names in _imports(tree):
            if imported not in RANK:
                continue  # a public name of the package itself, loaded lazily
            if RANK[imported] > RANK[name]:
                wrong.append(f"{name} imports {imported}, a layer above it")
            wrong += [f"{name} takes {n} from {imported}" for n in names if n.startswith("_")]
    assert wrong == []


def test_no_import_loops_within_a_layer() -> None:
    modules = dict(_modules())
    edges = {
        name: {f"{imported}.{n}" if f"{imported}.{n}" in modules else imported
               for imported, names in _imports(tree) for n in names or [""]} & modules.keys()
        for name, tree in modules.items()
    }
    loops = []
    state: dict[str, int] = {}  # 1: on the path being walked, 2: done

    def walk(name: str, path: list[str]) -> None:
        state[name] = 1
        for imported in sorted(edges[name]):
            if state.get(imported) == 1:
                loops.append(" -> ".join(_path(n) for n in [*path[path.index(imported):], imported]))
            elif imported not in state:
                walk(imported, [*path, imported])
        state[name] = 2

    for name in sorted(modules):
        if name not in state:
            walk(name, [name])
    assert loops == []


def test_no_module_or_function_is_long() -> None:
    long = []
    for path in PACKAGE.rglob("*.py"):
        text = path.read_text("utf-8")
        name = path.relative_to(PACKAGE)
        if len(text.splitlines()) > 450:
            long.append(f"{name}: {len(text.splitlines())} lines")
        long += [f"{name}:{node.lineno} {node.name}: {node.end_lineno - node.lineno + 1} lines"
                 for node in ast.walk(ast.parse(text)) if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))
                 and node.end_lineno is not None and node.end_lineno - node.lineno + 1 > 60]
    assert long == []


def test_the_package_docstring_shows_these_layers() -> None:
    # A row of the docstring is a line indented by four spaces: names, a package with its "/".
    shown = [sorted(line.strip().split(", ")) for line in (brevane_tools.__doc__ or "").splitlines()
             if line.startswith("    ") and not line.startswith("     ")]
    tops = [{name.split(".")[0] for name in row} for row in LAYERS]
    assert shown == [sorted(t + "/" if (PACKAGE / t).is_dir() else t for t in row) for row in tops]
