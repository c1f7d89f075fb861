"""The module object: its contents and their order, the functions' metadata,
one initialisation per process and fault containment (threads: test_concurrency.py)."""

from __future__ import annotations

import inspect
import os
import shutil
import subprocess
import sys
import textwrap
from types import ModuleType
from typing import Any, Callable

import pytest

import brevane

FUNCTIONS = [
    "embed",
    "embed_reference",
    "extract",
    "remove",
    "locate_all",
    "compute_data_hash",
    "verify_data_hash",
    "inline_hash_before_embed",
]

# name -> (__text_signature__, __doc__)
DOCS = {
    "embed": (
        "(html, store)",
        "Embed a Manifest Store inline, as a `script` element in the document head.",
    ),
    "embed_reference": (
        "(html, href)",
        "Reference an external Manifest Store, as a `link` element in the head.",
    ),
    "extract": (
        "(html)",
        "The document's manifest association, or `None` when it carries none.\n"
        "\n"
        'Returns a dict with `kind` (`"embedded"` or `"referenced"`), `start`,\n'
        "`length`, and either `store` (bytes) or `href` (str).",
    ),
    "remove": ("(html)", "Remove every C2PA manifest element from the document."),
    "locate_all": (
        "(html)",
        "The `(start, length)` byte ranges of every C2PA manifest element in the head.\n"
        "\n"
        "More than one means the document is rejected; this is exposed so a caller\n"
        "can report how many were found.",
    ),
    "compute_data_hash": (
        '(html, alg="sha256")',
        "Compute the `c2pa.hash.data` binding for a document that already carries a\n"
        "manifest.\n"
        "\n"
        "`alg` is one of `sha256`, `sha384`, `sha512`. Returns a dict with `alg`,\n"
        "`hash` (bytes), and `exclusions` (a list of `(start, length)`).",
    ),
    "verify_data_hash": (
        '(html, hash, exclusions, alg="sha256")',
        "Verify a `c2pa.hash.data` binding against a document.\n"
        "\n"
        "Raises `ValueError` carrying the status code on mismatch or a malformed\n"
        "exclusion; returns `None` on success.",
    ),
    "inline_hash_before_embed": (
        '(html, alg="sha256")',
        "The hash an inline binding will have once a manifest is embedded, computed\n"
        "before the manifest exists.\n"
        "\n"
        "Because the exclusion covers the whole `script` element and embedding adds\n"
        "no bytes outside it, the covered bytes are the document as it stands. This\n"
        "is what makes the order hash, sign, embed possible.",
    ),
}

EMBEDDED_PAGE = (
    b'<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>'
)


def test_all_lists_every_public_name_in_fill_order() -> None:
    assert brevane.__all__ == [*FUNCTIONS, "SCRIPT_TYPE", "LINK_REL", "__version__"]
    assert type(brevane.__all__) is list


def test_module_doc_is_the_empty_string() -> None:
    assert brevane.__doc__ == ""
    assert brevane.__name__ == "brevane"


@pytest.mark.parametrize(
    ("name", "value"),
    [("SCRIPT_TYPE", "application/c2pa"), ("LINK_REL", "c2pa-manifest"), ("__version__", "0.2.0")],
)
def test_constants(name: str, value: str) -> None:
    constant = getattr(brevane, name)
    assert type(constant) is str
    assert constant == value


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_and_text_signature(name: str) -> None:
    function = getattr(brevane, name)
    signature, doc = DOCS[name]
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity(name: str) -> None:
    function = getattr(brevane, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "brevane"
    assert function.__self__ is brevane
    assert type(function).__name__ == "builtin_function_or_method"


@pytest.mark.parametrize(
    ("name", "parameters"),
    [
        ("embed", [("html", inspect.Parameter.empty), ("store", inspect.Parameter.empty)]),
        ("compute_data_hash", [("html", inspect.Parameter.empty), ("alg", "sha256")]),
        (
            "verify_data_hash",
            [
                ("html", inspect.Parameter.empty),
                ("hash", inspect.Parameter.empty),
                ("exclusions", inspect.Parameter.empty),
                ("alg", "sha256"),
            ],
        ),
        ("inline_hash_before_embed", [("html", inspect.Parameter.empty), ("alg", "sha256")]),
    ],
)
def test_signature_introspection(name: str, parameters: list[tuple[str, Any]]) -> None:
    signature = inspect.signature(getattr(brevane, name))
    assert [(p.name, p.default) for p in signature.parameters.values()] == parameters
    kinds = {p.kind for p in signature.parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_built_for_the_stable_abi() -> None:
    assert brevane.__file__ is not None
    assert ".abi3." in os.path.basename(brevane.__file__)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF symbol table")
def test_only_the_initialisation_function_is_exported() -> None:
    assert brevane.__file__ is not None
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", brevane.__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_brevane"]


def _run_isolated(code: str) -> subprocess.CompletedProcess[str]:
    assert brevane.__file__ is not None
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(brevane.__file__)))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


def test_second_initialisation_fails_and_first_module_survives() -> None:
    result = _run_isolated(
        """
        import sys
        import brevane
        first = brevane
        page = b'<html><head><script type="application/c2pa">QUJD</script></head>'
        for attempt in range(2):
            del sys.modules["brevane"]
            try:
                import brevane
            except ImportError as error:
                assert type(error) is ImportError, type(error)
                assert error.args == (str(error),), error.args
                print(str(error))
            else:
                raise SystemExit("a second initialisation succeeded")
            assert "brevane" not in sys.modules
            sys.modules["brevane"] = first
        assert first.locate_all(page) == [(12, 45)]
        assert first.extract(page)["store"] == b"ABC"
        assert first.__all__[-1] == "__version__" and len(first.__all__) == 11
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.endswith("may only be initialized once per interpreter process")


def test_initialisation_in_a_sub_interpreter_fails() -> None:
    result = _run_isolated(
        """
        import brevane
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(77)
        code = '''
        try:
            import brevane
        except ImportError as error:
            assert str(error).endswith("may only be initialized once per interpreter process")
            open(PATH, "w").write("refused")
        else:
            open(PATH, "w").write("loaded")
        '''
        import os, tempfile
        path = os.path.join(tempfile.mkdtemp(), "outcome")
        _testcapi.run_in_subinterp("PATH = %r\\n" % path + code.replace("\\n        ", "\\n"))
        print(open(path).read())
        assert brevane.locate_all(b"") == []
        """
    )
    if result.returncode == 77:
        pytest.skip("_testcapi is not available in this interpreter")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"


# --- fault containment, through the test-only probe ---------------------------


def _panic(call: Callable[[], object]) -> BaseException:
    with pytest.raises(BaseException) as excinfo:
        call()
    return excinfo.value


def test_panic_type_is_a_base_exception_not_an_exception(fault_probe: ModuleType) -> None:
    error = _panic(fault_probe.broken_invariant)
    panic_type = type(error)
    assert panic_type.__module__ == "native_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ is not None and "BaseException" in panic_type.__doc__


def test_except_exception_does_not_swallow_a_panic(fault_probe: ModuleType) -> None:
    caught_as_exception = False
    with pytest.raises(BaseException):
        try:
            fault_probe.runtime_error("x")
        except Exception:
            caught_as_exception = True
    assert not caught_as_exception


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda p: p.runtime_error("the described fault"), "the described fault"),
        (lambda p: p.runtime_error("caf\u00e9 \u2603"), "caf\u00e9 \u2603"),
        (lambda p: p.non_std_throw(), "brevane met an internal fault without a description"),
        (lambda p: p.fault_over_pending_error(), "fault after a failed call"),
    ],
)
def test_panic_message_is_the_fault_description(
    fault_probe: ModuleType, call: Callable[[ModuleType], object], expected: str
) -> None:
    error = _panic(lambda: call(fault_probe))
    assert type(error).__name__ == "PanicException"
    assert str(error) == expected
    assert error.args == (expected,)


def test_broken_invariant_names_the_failed_check(fault_probe: ModuleType) -> None:
    message = str(_panic(fault_probe.broken_invariant))
    assert message.startswith("internal fault at ")
    assert message.endswith(": check failed: 1 + 1 == 3")


def test_panic_keeps_a_pending_interpreter_error_as_context(fault_probe: ModuleType) -> None:
    error = _panic(fault_probe.fault_over_pending_error)
    assert type(error.__context__) is KeyError
    assert error.__context__.args == ("pending",)


def test_panic_type_is_created_once_per_process(fault_probe: ModuleType) -> None:
    first = type(_panic(fault_probe.broken_invariant))
    second = type(_panic(fault_probe.non_std_throw))
    assert first is second


def test_failed_allocation_is_memory_error_and_process_goes_on(fault_probe: ModuleType) -> None:
    for _ in range(3):
        with pytest.raises(MemoryError) as excinfo:
            fault_probe.bad_alloc()
        assert type(excinfo.value) is MemoryError
    assert fault_probe.ok() == 7
