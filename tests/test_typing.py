"""What editors and type checkers see: stubs that match the compiled modules,
precise types from the public import path, signatures and help() like Python
functions, and the host's wording for argument errors."""

import ast
import importlib
import inspect
import os
import pathlib
import pydoc
import re
import subprocess
import sys

import pytest

import ondrel.sdk
from ondrel.sdk import LintResult
from test_readme import BLOCKS

HERE = pathlib.Path(__file__).resolve().parent
TYPING = HERE / "typing"
SERVICES = ("analyze", "lint", "compare", "fingerprint")
PUBLIC_METHODS = [f"LintResult.{name}" for name in ("add_error", "add_warning", "add_info", "to_dict")]

needs_mypy = pytest.mark.skipif(
    os.environ.get("ONDREL_SANITIZED") == "1", reason="mypy is not run under the sanitizer runtime")


def mypy_config(folder):
    config = folder / "mypy.ini"  # optional extras: untyped, or not installed
    config.write_text("[mypy]\n[mypy-igraph.*,distributed.*]\nignore_missing_imports = True\n")
    return str(config)


def mypy(*arguments, cwd):
    # The package as this interpreter imports it, from any working directory.
    path = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    return subprocess.run([sys.executable, *arguments], cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": path})


@needs_mypy
def test_stubs_match_the_modules(tmp_path):
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("ondrel\\.sdk\\.examples\\._F32.*\n")  # numpy's own stub of float32
    modules = [f"ondrel.sdk.{service}" for service in SERVICES] + ["ondrel.sdk._mapped", "ondrel.sdk._shapes", "ondrel.sdk._deployment"]
    run = mypy("-m", "mypy.stubtest", *modules, "--allowlist", str(allowlist), "--ignore-unused-allowlist",
               "--mypy-config-file", mypy_config(tmp_path), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@needs_mypy
def test_package_type_checks(tmp_path):
    run = mypy("-m", "mypy", "--config-file", mypy_config(tmp_path), "-p", "ondrel", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@needs_mypy
def test_usage_checks_cleanly_and_mistakes_are_flagged(tmp_path):
    for i, block in enumerate(BLOCKS):
        (tmp_path / f"readme_block{i}.py").write_text(block)
    files = sorted(p.name for p in tmp_path.glob("readme_block*.py")) + [str(TYPING / "usage.py"),
                                                                           str(TYPING / "mistakes.py")]
    run = mypy("-m", "mypy", "--no-error-summary", "--show-error-codes", "--config-file", mypy_config(tmp_path),
               *files, cwd=tmp_path)
    found = set(re.findall(r"^(.*?):(\d+): error: .*\[([\w-]+)\]$", run.stdout, re.M))
    expected = {(str(TYPING / "mistakes.py"), str(number), code)
                for number, line in enumerate((TYPING / "mistakes.py").read_text().splitlines(), 1)
                for code in re.findall(r"# E: ([\w-]+)", line)}
    assert found == expected, run.stdout


@needs_mypy
def test_report_views_and_lint_selection_have_no_any(tmp_path):
    run = mypy("-m", "mypy", "--no-error-summary", "--disallow-any-expr", "--config-file", mypy_config(tmp_path),
               str(TYPING / "views.py"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_usage_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile((TYPING / "usage.py").read_text(), "usage.py", "exec"), {"__name__": "usage"})


def test_package_stub_lists_exactly_the_lazy_exports():
    stub = ast.parse(pathlib.Path(ondrel.sdk.__file__).with_name("__init__.pyi").read_text())
    imported = {}
    for statement in stub.body:
        if isinstance(statement, ast.ImportFrom):
            imported.setdefault(statement.module, set()).update(alias.name for alias in statement.names)
    assert imported == {name: set(names) for name, names in ondrel.sdk._EXPORTS.items()}
    for service in SERVICES:
        module = importlib.import_module(f"ondrel.sdk.{service}")
        assert sorted(module.__all__) == sorted(ondrel.sdk._EXPORTS[service])


def public_callables():
    for service in SERVICES:
        module = importlib.import_module(f"ondrel.sdk.{service}")
        for name in module.__all__:
            value = getattr(module, name)
            if inspect.isbuiltin(value):
                yield f"{service}.{name}", value
    for qualified in PUBLIC_METHODS:
        yield qualified, getattr(LintResult, qualified.split(".")[1])


@pytest.mark.parametrize("name,function", list(public_callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_signature_is_the_real_one(name, function):
    parameters = list(inspect.signature(function).parameters.values())
    kinds = {p.kind for p in parameters}
    assert kinds <= {inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.POSITIONAL_ONLY}
    assert parameters and (name.startswith("LintResult.") == (parameters[0].name == "self"))


SIGNATURES = [
    ("analyze.summarize", "(graph, verbose=False)"),
    ("compare.compare_graphs", "(graph_a, graph_b, atol=1e-06, rtol=1e-05)"),
    ("fingerprint.stamp_graph",
     "(graph, notes=None, git_commit=None, training_run_id=None, calibration_config=None, quantization_config=None)"),
    ("lint.LintResult.add_error", "(self, /, code, message, node=None, suggestion=None)"),
]


@pytest.mark.parametrize("path,expected", SIGNATURES)
def test_signature_text(path, expected):
    module, *attributes = path.split(".")
    value = importlib.import_module(f"ondrel.sdk.{module}")
    for attribute in attributes:
        value = getattr(value, attribute)
    assert str(inspect.signature(value)) == expected


ARGUMENT_ERRORS = [
    ("analyze_node('x')", "analyze_node() missing 1 required positional argument: 'node'"),
    ("analyze_node()", "analyze_node() missing 2 required positional arguments: 'name' and 'node'"),
    ("stamp_graph()", "stamp_graph() missing 1 required positional argument: 'graph'"),
    ("compare_nodes(atol=1)", "compare_nodes() missing 3 required positional arguments: 'name', 'node_a', and 'node_b'"),
    ("format_number(1, 2)", "format_number() takes 1 positional argument but 2 were given"),
    ("summarize(1, 2, 3)", "summarize() takes from 1 to 2 positional arguments but 3 were given"),
    ("summarize(verbos=True)", "summarize() got an unexpected keyword argument 'verbos'"),
    ("summarize(1, graph=1)", "summarize() got multiple values for argument 'graph'"),
    ("LintResult().add_info('C')", "LintResult.add_info() missing 1 required positional argument: 'message'"),
    ("LintResult().to_dict(1)", "LintResult.to_dict() takes 1 positional argument but 2 were given"),
    ("LintResult(1)", "LintResult.__init__() takes 1 positional argument but 2 were given"),
    ("LintResult().add_error('C', 'm', None, None, 5)",
     "LintResult.add_error() takes from 3 to 5 positional arguments but 6 were given"),
]


@pytest.mark.parametrize("call,message", ARGUMENT_ERRORS)
def test_argument_errors_use_the_host_wording(call, message):
    with pytest.raises(TypeError) as raised:
        eval(call, vars(ondrel.sdk) | {name: getattr(ondrel.sdk, name) for name in ondrel.sdk.__all__})
    assert str(raised.value) == message


@pytest.mark.parametrize("service", SERVICES)
def test_help_lists_functions_with_signatures(service):
    module = importlib.import_module(f"ondrel.sdk.{service}")
    page = pydoc.render_doc(module, renderer=pydoc.plaintext)
    functions = page.split("\nFUNCTIONS\n")[1].split("\nDATA\n")[0].split("\nFILE\n")[0]
    for name in module.__all__:
        if inspect.isbuiltin(getattr(module, name)):
            assert re.search(rf"^    {name}\(", functions, re.M), name
    assert "typing" not in page and "_SpecialForm" not in page
