"""The pytest plugin, in throwaway pytest runs: its fixtures, golden fingerprints and their update, and
assertion failures that show the test's line rather than the helper's source."""

import json

import pytest
from test_cli import child_env

from ondrel import ir
from ondrel.sdk import examples

pytest_plugins = ["pytester"]

TESTS = '''
from ondrel.sdk.pytest_plugin import assert_graphs_close

def test_golden(ondrel_model, ondrel_golden):
    ondrel_golden.check(ondrel_model("model.o1c"))

def test_close(ondrel_model):
    assert_graphs_close(ondrel_model("model.o1c"), ondrel_model("other.o1c"))
'''


@pytest.fixture
def project(pytester, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", child_env()["PYTHONPATH"])  # the package under test, from any folder
    ir.write(pytester.path / "model.o1c", examples.classifier())
    ir.write(pytester.path / "other.o1c", examples.classifier_trained())
    pytester.makepyfile(test_models=TESTS)
    return pytester


def installed():
    """Whether pytest finds the plugin by itself (an installed package), as opposed to a source tree on the path."""
    from importlib.metadata import entry_points

    return any(point.value == "ondrel.sdk.pytest_plugin" for point in entry_points().select(group="pytest11"))


def run(pytester, *options):
    plugin = () if installed() else ("-p", "ondrel.sdk.pytest_plugin")
    return pytester.runpytest_subprocess(*plugin, "-p", "no:cacheprovider", *options)


def test_golden_fingerprints_are_recorded_then_checked(project):
    missing = run(project, "-k", "golden")
    missing.assert_outcomes(failed=1)
    missing.stdout.fnmatch_lines(["*no golden fingerprint 'test_golden'*--ondrel-update-golden*"])
    run(project, "-k", "golden", "--ondrel-update-golden").assert_outcomes(passed=1)
    golden = project.path / "golden" / "test_models.json"
    assert list(json.loads(golden.read_text())) == ["test_golden"]
    run(project, "-k", "golden").assert_outcomes(passed=1)
    ir.write(project.path / "model.o1c", examples.classifier_trained())
    changed = run(project, "-k", "golden")
    changed.assert_outcomes(failed=1)
    changed.stdout.fnmatch_lines(["*fingerprint 'test_golden' changed*", "*recorded: *", "*actual: *"])


def test_assertion_failures_hide_the_helpers_frames(project):
    result = run(project, "-k", "close")
    result.assert_outcomes(failed=1)
    output = result.stdout.str()
    assert "assert_graphs_close(ondrel_model(\"model.o1c\"), ondrel_model(\"other.o1c\"))" in output
    assert "Graphs are not close" in output and "compare_graphs(a, b, atol, rtol)" not in output


def test_the_plugin_loads_without_numpy():
    import subprocess
    import sys

    code = "import sys, ondrel.sdk.pytest_plugin\nprint('numpy' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True)
    assert result.stdout == "False\n", result.stderr
