"""The pytest plugin of the ONDREL SDK (registered as ``ondrel``; pytest loads it by itself once the package
is installed).

Fixtures:

- ``ondrel_model``: ``ondrel_model("models/net.o1c")`` reads an ``.o1c`` file, a relative path
  taken from the test file's folder.
- ``ondrel_golden``: ``ondrel_golden.check(graph, name=None)`` compares the graph's fingerprint with the
  one recorded under ``name`` (default: the test's name) in ``golden/<test module>.json`` beside the test
  file; ``pytest --ondrel-update-golden`` records the current fingerprints instead of comparing.

Assertions (``ondrel.sdk.testing``, re-exported here): ``assert_graphs_close``, ``assert_lint_clean`` and
``assert_fingerprint``; their frames are hidden from pytest's tracebacks.

Only the standard library and pytest are imported when pytest loads the plugin: the services (and numpy)
load when a fixture is first used.
"""

import json
import os
import pathlib

import pytest

UPDATE_OPTION = "--ondrel-update-golden"
GOLDEN_FOLDER = "golden"


def pytest_addoption(parser):
    group = parser.getgroup("ondrel", "ONDREL SDK")
    group.addoption(UPDATE_OPTION, action="store_true", default=False,
                    help="record the current fingerprints in the golden files instead of comparing with them")


class Golden:
    """The golden fingerprints of one test module, read from and written to one JSON file."""

    def __init__(self, path, test_name, update):
        self.path = pathlib.Path(path)
        self.test_name = test_name
        self.update = update

    def _recorded(self):
        try:
            return json.loads(self.path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as e:
            pytest.fail(f"cannot read the golden fingerprints {self.path}: {e}", pytrace=False)

    def check(self, graph, name=None, include_weights=True):
        """Compare the fingerprint of ``graph`` (an ``ir.Graph`` or an ``.o1c`` path) with the recorded one."""
        __tracebackhide__ = True
        from .fingerprint import fingerprint_graph
        from .testing import _graph

        name = name or self.test_name
        actual = fingerprint_graph(_graph(graph), include_weights=include_weights)
        recorded = self._recorded()
        if self.update:
            if recorded.get(name) != actual:
                recorded[name] = actual
                self.path.parent.mkdir(parents=True, exist_ok=True)
                temporary = self.path.with_name(self.path.name + ".tmp")
                temporary.write_text(json.dumps(recorded, indent=2, sort_keys=True) + "\n", encoding="utf-8")
                os.replace(temporary, self.path)
            return actual
        expected = recorded.get(name)
        if expected is None:
            pytest.fail(f"no golden fingerprint {name!r} in {self.path}; run pytest {UPDATE_OPTION} to record it",
                        pytrace=False)
        assert actual == expected, (f"fingerprint {name!r} changed\n  recorded: {expected}\n  actual:   {actual}\n"
                                    f"(run pytest {UPDATE_OPTION} to accept the change)")
        return actual


def _test_file(request):
    return pathlib.Path(request.node.path if hasattr(request.node, "path") else request.node.fspath)


@pytest.fixture
def ondrel_model(request):
    """A function reading an ``.o1c`` file; a relative path is taken from the test file's folder."""
    folder = _test_file(request).parent

    def load(path):
        from ondrel import ir

        path = pathlib.Path(path)
        return ir.read(path if path.is_absolute() else folder / path)

    return load


@pytest.fixture
def ondrel_golden(request):
    """Golden fingerprints of the test module (``golden/<module>.json``); ``.check(graph, name=None)``."""
    module = _test_file(request)
    return Golden(module.parent / GOLDEN_FOLDER / f"{module.stem}.json", request.node.name,
                  request.config.getoption(UPDATE_OPTION))


def __getattr__(name):  # the assertions, without importing numpy when pytest loads the plugin
    if name in ("assert_graphs_close", "assert_lint_clean", "assert_fingerprint"):
        from . import testing

        return getattr(testing, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
