"""Real Sphinx and MkDocs builds signed by the extension and the plugin, and the
pre-commit hook run the way pre-commit runs it, on the pages they signed."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

import brevane
import pytest
from hypothesis import given
from hypothesis import strategies as st

from brevane_tools.integrations import precommit
from brevane_tools.store_reader import StoreError, read_data_hash

ROOT = Path(__file__).resolve().parents[2]
MANIFEST: dict[str, Any] = json.loads((ROOT / "examples" / "manifest.json").read_text())


@pytest.fixture(scope="module")
def certs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """root.pem, chain.pem and signer.key of a fresh test chain; skips where nothing can sign."""
    if sys.version_info < (3, 10):
        pytest.skip("signing needs the C2PA SDK, which needs CPython 3.10 or later")
    try:
        import c2pa  # noqa: F401
    except ImportError:
        if os.environ.get("CI"):
            raise  # CI installs brevane[c2pa] on 3.10 and later
        pytest.skip("c2pa-python is not installed (the c2pa extra: pip install '.[c2pa]')")
    sys.path.insert(0, str(ROOT / "examples"))
    from make_test_certs import write_test_chain

    directory = tmp_path_factory.mktemp("certs")
    write_test_chain(directory)
    return directory


@pytest.fixture(scope="module")
def placeholders(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A chain and a key file for builds that must fail before either is read as PEM (no SDK needed)."""
    directory = tmp_path_factory.mktemp("placeholders")
    for name in ("chain.pem", "signer.key"):
        (directory / name).write_text("placeholder\n")
    return directory


@pytest.fixture(scope="module")
def env(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    """The environment for generator runs: this toolkit importable, the MkDocs plugin registered.

    An installed brevane registers the plugin itself (CI tests the wheel); a source
    checkout on PYTHONPATH has no installed metadata, so a stand-in declares the same
    entry point.
    """
    from importlib.metadata import entry_points

    # Plain output to compare: a runner that forces colour (nox sets FORCE_COLOR) must not reach it.
    variables = {k: v for k, v in os.environ.items() if k != "FORCE_COLOR"}
    variables["NO_COLOR"] = "1"
    if sys.version_info >= (3, 10):
        plugins = list(entry_points(group="mkdocs.plugins"))
    else:
        plugins = list(entry_points().get("mkdocs.plugins", []))
    if not any(e.name == "brevane" for e in plugins):
        if os.environ.get("CI"):
            pytest.fail("the installed brevane does not register the MkDocs plugin")
        shim = tmp_path_factory.mktemp("entry_point")
        info = shim / "brevane_source_checkout-0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text("Metadata-Version: 2.1\nName: brevane-source-checkout\nVersion: 0\n")
        (info / "entry_points.txt").write_text("[mkdocs.plugins]\nbrevane = brevane_tools.mkdocs:BrevanePlugin\n")
        variables["PYTHONPATH"] = os.pathsep.join([str(shim), *sys.path])
    else:
        variables["PYTHONPATH"] = os.pathsep.join(sys.path)
    return variables


def run(argv: list[str], cwd: Path, env: dict[str, str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *argv], cwd=cwd, env=env, capture_output=True, text=True, timeout=120, check=False
    )


def sphinx_project(root: Path, **settings: Any) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    (root / "index.rst").write_text("Harbour\n=======\n\n.. toctree::\n\n   lights\n")
    (root / "lights.rst").write_text("Lights\n======\n\nThe <b>lights</b> & the caf\u00e9.\n", "utf-8")
    lines = ['project = "Harbour"', 'extensions = ["brevane_tools.sphinx"]']
    lines += [f"brevane_{name} = {value!r}" for name, value in settings.items()]
    (root / "conf.py").write_text("\n".join(lines) + "\n")
    return root


def mkdocs_project(root: Path, **options: Any) -> Path:
    (root / "docs" / "lights").mkdir(parents=True, exist_ok=True)
    (root / "docs" / "index.md").write_text("# Harbour\n\nSee [the lights](lights/index.md).\n")
    (root / "docs" / "lights" / "index.md").write_text("# Lights\n\nThe caf\u00e9.\n", "utf-8")
    config = {"site_name": "Harbour", "plugins": [{"brevane": options}]}
    (root / "mkdocs.yml").write_text(json.dumps(config))  # JSON is YAML
    return root


def credentials(certs: Path, **more: Any) -> dict[str, Any]:
    return {"manifest": MANIFEST, "cert": str(certs / "chain.pem"), "key": str(certs / "signer.key"), **more}


def store_of(page: Path, html: bytes) -> bytes:
    association = brevane.extract(html)
    assert association is not None, f"{page} is not signed"
    if association["kind"] == "embedded":
        return association["store"]
    return (page.parent / association["href"]).read_bytes()


def assert_every_page_valid(site: Path, certs: Path, kind: str) -> list[Path]:
    from brevane_tools import check_page

    pages = sorted(site.rglob("*.html"))
    assert len(pages) >= 3
    for page in pages:
        html = page.read_bytes()
        store = store_of(page, html)
        result = check_page(html, store, trust_anchors=(certs / "root.pem").read_bytes())
        assert (result.state, result.verdict, result.kind) == ("Trusted", "match", kind), (page, result.codes)
        binding = read_data_hash(store)
        brevane.verify_data_hash(html, binding.hash, list(binding.exclusions), binding.alg)
    return pages


@pytest.mark.parametrize(("form", "alg", "kind"), [("inline", "sha256", "embedded"), ("reference", "sha384", "referenced")])
def test_sphinx_build_signs_every_page(
    certs: Path, env: dict[str, str], tmp_path: Path, form: str, alg: str, kind: str
) -> None:
    project = sphinx_project(tmp_path / "docs", **credentials(certs, form=form, alg=alg))
    built = run(["-m", "sphinx", "-b", "html", ".", "_build/html"], project, env)
    assert built.returncode == 0, built.stderr
    assert "signing pages... [100%]" in built.stdout
    pages = assert_every_page_valid(project / "_build" / "html", certs, kind)
    assert read_data_hash(store_of(pages[0], pages[0].read_bytes())).alg == alg

    if form != "inline":
        return
    # A rebuild with nothing changed: Sphinx rewrites only its index pages, and
    # the pages it left alone keep their signatures byte for byte.
    before = {page: page.read_bytes() for page in pages}
    rebuilt = run(["-m", "sphinx", "-b", "html", ".", "_build/html"], project, env)
    assert rebuilt.returncode == 0, rebuilt.stderr
    assert (project / "_build" / "html" / "lights.html").read_bytes() == before[project / "_build" / "html" / "lights.html"]
    assert "left alone (still valid)" in rebuilt.stdout
    assert_every_page_valid(project / "_build" / "html", certs, kind)


def test_sphinx_build_with_a_page_that_cannot_be_signed_fails_and_leaves_it(
    certs: Path, env: dict[str, str], tmp_path: Path
) -> None:
    project = sphinx_project(tmp_path / "docs", **credentials(certs))
    (project / "extra").mkdir()
    (project / "extra" / "fragment.html").write_bytes(b"<p>a fragment, no head</p>")
    with open(project / "conf.py", "a") as conf:
        conf.write('html_extra_path = ["extra"]\n')
    built = run(["-m", "sphinx", "-b", "html", ".", "_build/html"], project, env)
    assert built.returncode == 1
    site = project / "_build" / "html"
    assert [line for line in built.stderr.splitlines() if line.startswith("ERROR")] == [
        "ERROR: brevane: cannot sign fragment.html: the document has no head element to embed into; "
        'to publish it unsigned, add "/fragment.html" to brevane_exclude in conf.py',
    ]
    assert (site / "fragment.html").read_bytes() == b"<p>a fragment, no head</p>"
    assert all(brevane.extract(p.read_bytes()) for p in site.glob("*.html") if p.name != "fragment.html")


@pytest.mark.parametrize(("form", "kind", "options", "status"), [
    # A test certificate and no time-stamp authority: --strict fails on the warning, unless it is silenced.
    ("inline", "embedded", {}, 1),
    ("reference", "referenced", {"warn_without_tsa": False}, 0),
])
def test_mkdocs_build_signs_every_page(
    certs: Path, env: dict[str, str], tmp_path: Path, form: str, kind: str, options: dict[str, Any], status: int
) -> None:
    project = mkdocs_project(tmp_path / "site-src", **credentials(certs, form=form, **options))
    built = run(["-m", "mkdocs", "build", "--strict"], project, env)
    assert built.returncode == status, built.stderr
    warned = [line for line in built.stderr.splitlines() if line.startswith("WARNING")]
    assert [line.split(": ")[1] for line in warned] == ["signed without a time-stamp authority"] * status
    assert_every_page_valid(project / "site", certs, kind)


@pytest.mark.parametrize(("on_serve", "signed"), [(False, False), (True, True)])
def test_mkdocs_serve_signs_only_when_asked(
    certs: Path, env: dict[str, str], tmp_path: Path, on_serve: bool, signed: bool
) -> None:
    # What `mkdocs serve` does before serving: start the plugins as "serve", then build.
    project = mkdocs_project(tmp_path / "site-src", **credentials(certs, on_serve=on_serve))
    script = (
        "from mkdocs.config import load_config\n"
        "from mkdocs.commands.build import build\n"
        "config = load_config('mkdocs.yml')\n"
        "config.plugins.on_startup(command='serve', dirty=False)\n"
        "build(config, serve_url='http://127.0.0.1:8000/')\n"
    )
    built = run(["-c", script], project, env)
    assert built.returncode == 0, built.stderr
    pages = sorted((project / "site").rglob("*.html"))
    assert pages and {brevane.extract(p.read_bytes()) is not None for p in pages} == {signed}


def _sphinx_case(root: Path, certs: Path, **changes: Any) -> Path:
    settings = credentials(certs, **changes)
    return sphinx_project(root, **{k: v for k, v in settings.items() if v is not None})


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"signer_command": "sign-it"}, "brevane: set either a private key file or a signer command, not both and not neither"),
        ({"manifest": None}, "brevane: no manifest definition is set (a dict, or the path of a JSON file)"),
        ({"form": "sidecar"}, "brevane: the form must be 'link', 'inline' or 'header', not 'sidecar'"),
        ({"alg": "md5"}, "brevane: the hash algorithm must be sha256, sha384 or sha512, not 'md5'"),
        ({"form": "inline", "href": "{name}.c2pa"}, "brevane: an href names a store of its own: set the form to 'link' or 'header'"),
    ],
)
def test_sphinx_misconfiguration_fails_before_the_build(
    placeholders: Path, tmp_path: Path, changes: dict[str, Any], message: str
) -> None:
    import io
    import re

    from sphinx.application import Sphinx
    from sphinx.util.docutils import docutils_namespace

    project = _sphinx_case(tmp_path / "docs", placeholders, **changes)
    logged = io.StringIO()
    # One line and exit status 2: an exception would have Sphinx print a bug report around the message.
    with docutils_namespace(), pytest.raises(SystemExit) as raised:
        Sphinx(project, project, project / "_build" / "html", project / "_build" / "doctrees", "html",
               status=None, warning=logged)
    assert raised.value.code == 2
    lines = [re.sub("\x1b\\[[0-9;]*m", "", line) for line in logged.getvalue().splitlines()]
    assert lines == [f"ERROR: {message.format(docs=project)}"]
    assert not (project / "_build" / "html" / "index.html").exists()


def test_sphinx_build_with_a_missing_key_stops_with_one_message_and_other_builders_run(
    placeholders: Path, env: dict[str, str], tmp_path: Path
) -> None:
    pytest.importorskip("c2pa", reason="without the C2PA SDK, signing says how to install it first")
    project = _sphinx_case(tmp_path / "docs", placeholders, key="missing.key")
    built = run(["-m", "sphinx", "-b", "html", ".", "_build/html"], project, env)
    assert built.returncode == 2
    assert built.stderr.splitlines() == [
        f"ERROR: brevane: cannot read the private key {project}/missing.key: No such file or directory"
    ]
    assert not (project / "_build" / "html" / "index.html").exists()
    # Builders that do not sign do not check either: a text build needs no key.
    text = run(["-m", "sphinx", "-b", "text", ".", "_build/text"], project, env)
    assert text.returncode == 0, text.stderr
    assert (project / "_build" / "text" / "index.txt").exists()


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"key": "missing.key"}, "Config value 'plugins': Plugin 'brevane' option 'key': The path '{root}/missing.key' isn't an existing file."),
        ({"signer_command": "sign-it"}, "brevane: set either a private key file or a signer command, not both and not neither"),
        ({"manifest": None}, "Config value 'plugins': Plugin 'brevane' option 'manifest': Required configuration not provided."),
        ({"alg": "md5"}, "Config value 'plugins': Plugin 'brevane' option 'alg': Expected one of: ('sha256', 'sha384', 'sha512') but received: 'md5'"),
    ],
)
def test_mkdocs_misconfiguration_fails_before_the_build(
    placeholders: Path, env: dict[str, str], tmp_path: Path, changes: dict[str, Any], message: str
) -> None:
    options = {k: v for k, v in credentials(placeholders, **changes).items() if v is not None}
    project = mkdocs_project(tmp_path / "site-src", **options)
    built = run(["-m", "mkdocs", "build"], project, env)
    assert built.returncode == 1
    errors = [line.split("-  ", 1)[-1] for line in built.stderr.splitlines() if line.startswith("ERROR")]
    assert errors == [message.format(root=project)]
    assert not (project / "site" / "index.html").exists()


def _sign_argv(certs: Path) -> list[str]:
    manifest = certs / "manifest.json"
    manifest.write_text(json.dumps(MANIFEST))
    return ["--manifest", str(manifest), "--cert", str(certs / "chain.pem"), "--key", str(certs / "signer.key")]


@pytest.fixture
def signed_tree(certs: Path, tmp_path: Path) -> Path:
    """Pages signed inline and by reference by `brevane sign`, and one not signed."""
    from brevane_tools import cli

    tree = tmp_path / "tree"
    for sub in ("inline", "referenced"):
        (tree / sub).mkdir(parents=True)
        for name in ("a.html", "b.html"):
            (tree / sub / name).write_bytes(b"<html><head><title>" + name.encode() + b"</title></head><body>x</body></html>")
    assert cli.main(["sign", str(tree / "inline"), "--in-place", "-q", "--form", "inline", *_sign_argv(certs)]) == 0
    assert cli.main(["sign", str(tree / "referenced"), "--in-place", "-q", "--reference", *_sign_argv(certs)]) == 0
    (tree / "plain.html").write_bytes(b"<html><head></head><body>not signed</body></html>")
    return tree


def _pages(tree: Path) -> list[str]:
    return sorted(str(p) for p in tree.rglob("*.html"))


def test_hook_passes_on_a_signed_tree_and_names_each_edited_page(
    signed_tree: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    root = ["--site-root", str(signed_tree)]
    assert precommit.main([*_pages(signed_tree), *root]) == 0
    assert capsys.readouterr().out == ""
    for sub in ("inline", "referenced"):
        page = signed_tree / sub / "b.html"
        page.write_bytes(page.read_bytes().replace(b"<body>x", b"<body>y"))
    assert precommit.main([*_pages(signed_tree), *root]) == 1
    assert capsys.readouterr().out.splitlines() == [
        f"{signed_tree}/inline/b.html: no longer matches its signed binding: data hash does not match the document content [assertion.dataHash.mismatch]",
        f"{signed_tree}/referenced/b.html: no longer matches its signed binding: data hash does not match the document content [assertion.dataHash.mismatch]",
        "brevane-check: 2 of 5 pages failed",
    ]


def test_hook_fails_a_page_without_manifest_only_when_asked(signed_tree: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # Where a store lies, and what the hook makes of it, is test_tools_store_location's table.
    plain = str(signed_tree / "plain.html")
    assert precommit.main([plain, "--site-root", str(signed_tree)]) == 0
    assert precommit.main([plain, "--site-root", str(signed_tree), "--require-signed"]) == 1
    assert capsys.readouterr().out.splitlines() == [
        f"{plain}: not signed: no C2PA manifest element in the head", "brevane-check: 1 of 1 page failed"
    ]


def test_pre_commit_runs_the_hook_in_a_git_repository(
    signed_tree: Path, env: dict[str, str], tmp_path: Path
) -> None:
    """The real pre-commit tool, offline: the hook as .pre-commit-hooks.yaml defines it, run locally."""
    yaml = pytest.importorskip("yaml")
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    (hook,) = yaml.safe_load((ROOT / ".pre-commit-hooks.yaml").read_text())
    script = Path(sys.executable).with_name(hook["entry"])
    entry = str(script) if script.exists() else f"{sys.executable} -m brevane_tools.integrations.precommit"
    local = {**hook, "entry": entry, "language": "system"}
    (signed_tree / ".pre-commit-config.yaml").write_text(json.dumps({"repos": [{"repo": "local", "hooks": [local]}]}))
    variables = {**env, "PRE_COMMIT_HOME": str(tmp_path / "cache"), "GIT_CONFIG_GLOBAL": os.devnull}

    def git(*argv: str) -> None:
        subprocess.run(["git", *argv], cwd=signed_tree, env=variables, check=True, capture_output=True)

    git("init", "-q")
    git("add", ".")
    passed = run(["-m", "pre_commit", "run", "--all-files"], signed_tree, variables)
    assert passed.returncode == 0, passed.stdout + passed.stderr
    page = signed_tree / "inline" / "a.html"
    page.write_bytes(page.read_bytes().replace(b"<title>", b"<title>edited "))
    git("add", ".")
    failed = run(["-m", "pre_commit", "run", "--all-files"], signed_tree, variables)
    assert failed.returncode == 1
    # An edit before the manifest element moves it away from the excluded range.
    assert "inline/a.html: no longer matches its signed binding: the page changed before the manifest element " \
        "(the element moved from byte" in failed.stdout


# The reader of stores must never crash on hostile bytes: whatever it is given,
# it returns a binding or raises StoreError.
@pytest.fixture(scope="module")
def real_store(certs: Path) -> bytes:
    from brevane_tools import SigningKey, sign_page

    key = SigningKey.from_files(str(certs / "chain.pem"), str(certs / "signer.key"))
    association = brevane.extract(sign_page(b"<html><head></head><body>x</body></html>", MANIFEST, key.signer()))
    assert association is not None and association["kind"] == "embedded"
    return association["store"]


@given(cut=st.integers(min_value=0, max_value=4000), flips=st.lists(st.tuples(st.integers(0, 3999), st.integers(1, 255)), max_size=4))
def test_store_reader_survives_damaged_stores(real_store: bytes, cut: int, flips: list[tuple[int, int]]) -> None:
    damaged = bytearray(real_store[:cut])
    for where, mask in flips:
        if where < len(damaged):
            damaged[where] ^= mask
    try:
        binding = read_data_hash(bytes(damaged))
    except StoreError:
        return
    assert isinstance(binding.hash, bytes) and all(s >= 0 and n >= 0 for s, n in binding.exclusions)
