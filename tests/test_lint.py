import dataclasses
import json
import subprocess
import sys
import types

import numpy as np
import pytest
from conftest import chain, ports

from ondrel import ir
from ondrel.sdk import lint
from ondrel.sdk.lint import LintIssue, LintResult, Severity, lint_graph

SHAPED = ports((1, 4), (1, 4))
E, W, I = Severity.ERROR, Severity.WARNING, Severity.INFO


def through(name, node):
    """in -> name -> out, every port shaped."""
    return chain(("in", ir.Input(**SHAPED)), (name, node), ("out", ir.Output(**SHAPED)))


def graph(nodes, edges):
    return ir.Graph(nodes=nodes, edges=edges)


def without(cls, *missing, **attributes):
    """A node of (a subclass of) `cls` on which the attributes named in `missing` do not exist."""

    def absent(name):
        def read(self):
            raise AttributeError(name)

        return property(read)

    node = object.__new__(type(cls.__name__, (cls,), {name: absent(name) for name in missing}))
    vars(node).update(attributes)
    return node


def run(check, g):
    result = LintResult()
    check(g, result)
    return result


def codes(check, g):
    return [issue.code for issue in run(check, g).issues]


# ---- result model ----------------------------------------------------------


def test_new_result_is_empty_and_valid():
    result = LintResult()
    assert (result.issues, result.errors, result.warnings, result.infos) == ([], [], [], [])
    assert result.is_valid is True
    d = result.to_dict()
    assert d == {"total_issues": 0, "errors": 0, "warnings": 0, "infos": 0, "is_valid": True, "issues": []}
    assert list(d) == ["total_issues", "errors", "warnings", "infos", "is_valid", "issues"]


def test_result_is_a_plain_class_with_instance_state():
    result = LintResult()
    assert LintResult.__bases__ == (object,)
    assert list(vars(result)) == ["issues", "_cache_valid", "_errors", "_warnings", "_infos"]
    assert result._cache_valid is False


def test_warning_and_info_round_trip_through_to_dict():
    result = LintResult()
    result.add_warning("W", "m")
    result.add_info("I", "n", node="a")
    assert result.is_valid
    assert [i.code for i in result.warnings] == ["W"] and [i.code for i in result.infos] == ["I"]
    d = result.to_dict()
    assert (d["total_issues"], d["errors"], d["warnings"], d["infos"], d["is_valid"]) == (2, 0, 1, 1, True)
    assert d["issues"] == [
        {"severity": "warning", "code": "W", "message": "m", "node": None, "suggestion": None},
        {"severity": "info", "code": "I", "message": "n", "node": "a", "suggestion": None},
    ]
    assert [list(entry) for entry in d["issues"]] == [["severity", "code", "message", "node", "suggestion"]] * 2
    assert json.loads(json.dumps(d)) == d


def test_category_lists_are_cached_and_replaced_on_addition():
    result = LintResult()
    result.add_error("A", "first", "n1", "fix")
    first = result.errors
    assert result.errors is first
    result.add_error("B", "second")
    second = result.errors
    assert second is not first
    assert [i.code for i in first] == ["A"]
    assert [i.code for i in second] == ["A", "B"]
    assert second[0] == LintIssue(E, "A", "first", "n1", "fix")


def test_issues_keep_insertion_order_within_categories():
    result = LintResult()
    for code, add in [("e1", result.add_error), ("w1", result.add_warning), ("e2", result.add_error),
                      ("i1", result.add_info), ("w2", result.add_warning)]:
        add(code, "m")
    assert [i.code for i in result.issues] == ["e1", "w1", "e2", "i1", "w2"]
    assert [i.code for i in result.errors] == ["e1", "e2"]
    assert [i.code for i in result.warnings] == ["w1", "w2"]
    assert not result.is_valid


def test_cache_follows_the_instance_attributes():
    result = LintResult()
    result.add_warning("W", "m")
    assert len(result.warnings) == 1
    # Changing issues in place does not invalidate the cache...
    result.issues.append(LintIssue(W, "X", "direct"))
    assert len(result.warnings) == 1
    # ...until someone says so; a replaced list is read as well.
    result._invalidate_cache()
    assert [i.code for i in result.warnings] == ["W", "X"]
    result.issues = [LintIssue(E, "Y", "new list"), LintIssue("odd", "Z", "no category")]
    result._cache_valid = False
    assert [i.code for i in result.errors] == ["Y"] and result.warnings == [] and result.infos == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1, "m"), {}),
        (("C", 1), {}),
        ((None, "m"), {}),
        (("C", "m"), {"node": 3}),
        (("C", "m"), {"suggestion": b"fix"}),
        ((type("Code", (str,), {})("C"), "m"), {}),
        (("C", type("Text", (str,), {})("m")), {}),
    ],
)
@pytest.mark.parametrize("method", ["add_error", "add_warning", "add_info"])
def test_add_takes_exact_strings_only(method, args, kwargs):
    result = LintResult()
    with pytest.raises(TypeError, match="has incorrect type"):
        getattr(result, method)(*args, **kwargs)
    assert result.issues == []


def test_add_accepts_none_for_node_and_suggestion():
    result = LintResult()
    result.add_error("C", "m", None, None)
    result.add_info(code="C", message="m", suggestion=None)
    assert result.issues == [LintIssue(E, "C", "m"), LintIssue(I, "C", "m")]


def test_records_and_enum():
    assert [(s.name, s.value) for s in Severity] == [("ERROR", "error"), ("WARNING", "warning"), ("INFO", "info")]
    assert [(f.name, f.type) for f in dataclasses.fields(LintIssue)] == [
        ("severity", "Severity"), ("code", "str"), ("message", "str"), ("node", "str | None"),
        ("suggestion", "str | None")]


# ---- the issue catalogue ---------------------------------------------------


def lif(tau=(20.0,), threshold=(1.0,)):
    """A LIF layer whose extremes are the values given, with enough neurons not to be a small model."""

    def values(given, typical):
        return None if given is None else np.array(list(given) + [typical] * 60)

    return ir.LIF(tau=values(tau, 20.0), v_threshold=values(threshold, 1.0), **SHAPED)


def with_orphan():
    g = through("fc", ir.Affine(**SHAPED))
    g.nodes["orphan"] = ir.Flatten(**SHAPED)
    return g


def with_dead_end():
    g = through("fc", ir.Affine(**SHAPED))
    g.nodes["tap"] = ir.Flatten(**SHAPED)
    g.edges.append(("fc", "tap"))
    return g


def two_outputs():
    return graph({"in": ir.Input(**SHAPED), "fc": ir.Affine(**SHAPED), "out_a": ir.Output(**SHAPED),
                  "out_b": ir.Output(**SHAPED)}, [("in", "fc"), ("fc", "out_a"), ("fc", "out_b")])


def passthrough_with_two_inputs():
    return graph({"in": ir.Input(**SHAPED), "a": ir.Affine(**SHAPED), "skip": ir.Skip(**SHAPED),
                  "out": ir.Output(**SHAPED)}, [("in", "a"), ("in", "skip"), ("a", "skip"), ("skip", "out")])


CATALOGUE = [
    (with_orphan, W, "UNREACHABLE", "Node 'orphan' is not reachable from any Input", "orphan",
     "Remove dead node or connect it to the graph"),
    (with_dead_end, W, "DEAD_END", "Node 'tap' does not reach any Output", "tap",
     "Remove dead node or connect it to an Output"),
    (two_outputs, I, "MULTI_OUTPUT", "Graph has 2 Output nodes: ['out_a', 'out_b']", None,
     "Ensure each output has clear semantics"),
    (lambda: through("lif1", lif(tau=(0.5, 20))), W, "LIF_LOW_TAU", "Node 'lif1' has very low tau=0.50 (< 1.0)",
     "lif1", "Low tau means fast decay; check if intentional"),
    (lambda: through("lif1", lif(tau=(20, 150))), W, "LIF_HIGH_TAU", "Node 'lif1' has very high tau=150.00 (> 100)",
     "lif1", "High tau means slow decay; may cause gradient issues"),
    (lambda: through("lif1", lif(threshold=(0.0, 1.0))), E, "LIF_NONPOSITIVE_THRESHOLD",
     "Node 'lif1' has non-positive threshold=0.00", "lif1", "LIF thresholds must be positive"),
    (lambda: through("lif1", lif(threshold=(1.0, 10.5))), I, "LIF_HIGH_THRESHOLD",
     "Node 'lif1' has high threshold=10.50", "lif1", "High thresholds may reduce spike activity"),
    (lambda: through("g1", ir.GhostBasicBlock1(stride=3, **SHAPED)), W, "GHOST_UNUSUAL_STRIDE",
     "GhostBasicBlock1 'g1' has stride=3 (expected 1 or 2)", "g1", "Paper specifies stride=2 for backbone blocks"),
    (lambda: through("det", ir.SDDetect(stride=32, **SHAPED)), W, "DETECT_UNUSUAL_STRIDE",
     "SDDetect 'det' has stride=32 (expected 4, 8, or 16)", "det",
     "SU-YOLO uses strides 4, 8, 16 for P2/P3/P4 scales"),
    (lambda: through("fc", ir.SpikingAffine(weight_bits=2, **SHAPED)), W, "LOW_WEIGHT_BITS",
     "Node 'fc' has only 2-bit weights", "fc", "Very low bit widths may hurt accuracy"),
    (lambda: through("fc", ir.SpikingAffine(weight_bits=32, **SHAPED)), I, "HIGH_WEIGHT_BITS",
     "Node 'fc' uses 32-bit weights", "fc", "Consider lower bits for hardware efficiency"),
    (passthrough_with_two_inputs, W, "SKIP_PASSTHROUGH_INPUTS",
     "Skip node 'skip' (passthrough) has 2 inputs (expected 1)", "skip", "Passthrough should have exactly one input"),
    (lambda: through("add1", ir.Skip(skip_type="residual", **SHAPED)), W, "SKIP_MERGE_INPUTS",
     "Skip node 'add1' (residual) has only 1 input(s)", "add1", "residual requires at least 2 inputs to merge"),
    (lambda: through("layer", ir.Affine(**SHAPED)), I, "GENERIC_NAME", "Node has generic name: 'layer'", "layer",
     "Use descriptive names (e.g., 'conv1', 'fc_hidden')"),
    (lambda: through("def", ir.Affine(**SHAPED)), W, "PYTHON_KEYWORD", "Node name 'def' is a Python keyword", "def",
     "May cause issues in code generation; consider renaming"),
    (lambda: through("fc", ir.Affine(weight=np.zeros(10_000_001, np.int8), **SHAPED)), I, "LARGE_MODEL",
     "Graph has 10,000,001 parameters (> 10M)", None, "Large models may require more FPGA resources"),
    (lambda: through("fc", ir.Affine(weight=np.zeros((9, 11)), **SHAPED)), I, "SMALL_MODEL",
     "Graph has only 99 parameters", None, "Very small model; verify this is intentional"),
    (lambda: through("fc", ir.Affine(input_type=SHAPED["input_type"])), W, "MISSING_OUTPUT_SHAPE",
     "Node 'fc' has no output shape", "fc", "Output shapes should be inferred during export"),
]


@pytest.mark.parametrize("build, severity, code, message, node, suggestion", CATALOGUE, ids=[c[2] for c in CATALOGUE])
def test_catalogue_word_for_word(build, severity, code, message, node, suggestion):
    result = lint_graph(build())
    assert result.issues == [LintIssue(severity, code, message, node, suggestion)]


@pytest.mark.parametrize("strict", [False, True])
def test_invalid_structure_is_the_only_issue(strict):
    g = graph({"in": ir.Input(), "fc": ir.Affine(), "out": ir.Output()}, [("in", "fc"), ("fc", "ghost")])
    with pytest.raises(ValueError) as raised:
        g.validate()
    result = lint_graph(g, strict=strict)
    assert result.issues == [LintIssue(E, "STRUCTURE", str(raised.value), None, "Fix graph structure before linting")]
    assert not result.is_valid


def test_validation_error_subclass_becomes_an_issue_and_others_propagate(monkeypatch):
    g = through("fc", ir.Affine(**SHAPED))

    class Broken(ValueError):
        pass

    def raise_(error):
        def validate():
            raise error

        return validate

    monkeypatch.setattr(g, "validate", raise_(Broken("cycle somewhere")))
    assert [(i.code, i.message) for i in lint_graph(g).issues] == [("STRUCTURE", "cycle somewhere")]
    monkeypatch.setattr(g, "validate", raise_(RuntimeError("validator crashed")))
    with pytest.raises(RuntimeError, match="validator crashed"):
        lint_graph(g)


# ---- boundaries of the checks ----------------------------------------------


@pytest.mark.parametrize(
    "node, expected",
    [
        (lif(tau=(1.0, 100.0)), []),
        (lif(tau=(0.999, 20)), ["LIF_LOW_TAU"]),
        (lif(tau=(20, 100.01)), ["LIF_HIGH_TAU"]),
        (lif(tau=(0.5, 150)), ["LIF_LOW_TAU", "LIF_HIGH_TAU"]),
        (lif(tau=(np.nan,)), []),
        (lif(threshold=(0.0,)), ["LIF_NONPOSITIVE_THRESHOLD"]),
        (lif(threshold=(-1.0, 10.0)), ["LIF_NONPOSITIVE_THRESHOLD"]),
        (lif(threshold=(1e-9, 10.5)), ["LIF_HIGH_THRESHOLD"]),
        (lif(tau=(0.5,), threshold=(0.0, 11)), ["LIF_LOW_TAU", "LIF_NONPOSITIVE_THRESHOLD", "LIF_HIGH_THRESHOLD"]),
        (lif(tau=None), []),
        (without(ir.LIF, "v_threshold", tau=None, output_type={}), []),
        (ir.GhostBasicBlock1(stride=1), []),
        (ir.GhostBasicBlock1(stride=2.0), []),
        (without(ir.GhostBasicBlock1, "stride"), []),
        (ir.GhostBasicBlock1(stride=(2, 2)), ["GHOST_UNUSUAL_STRIDE"]),
        (ir.SDDetect(stride=4), []),
        (ir.SDDetect(stride=8), []),
        (ir.SDDetect(stride=16.0), []),
        (ir.SDDetect(stride=2), ["DETECT_UNUSUAL_STRIDE"]),
        (ir.SpikingAffine(weight_bits=4), []),
        (ir.SpikingAffine(weight_bits=16), []),
        (ir.SpikingAffine(weight_bits=3.5), ["LOW_WEIGHT_BITS"]),
        (ir.Affine(), []),
    ],
)
def test_node_parameter_bounds(node, expected):
    assert codes(lint._check_node_parameters, through("x", node)) == expected


def test_node_parameter_issues_follow_node_order():
    g = graph({"a": lif(tau=(200,)), "b": ir.SpikingAffine(weight_bits=1), "c": lif(tau=(0.1,))}, [])
    assert [(i.node, i.code) for i in run(lint._check_node_parameters, g).issues] == [
        ("a", "LIF_HIGH_TAU"), ("b", "LOW_WEIGHT_BITS"), ("c", "LIF_LOW_TAU")]


class Spread:
    """Not an array: only its min() and max() methods are asked."""

    def min(self):
        return np.float32(-0.004)

    def max(self):
        return 1e20


@pytest.mark.parametrize(
    "values",
    [
        np.array([0.5, 150.0, 3.0], np.float32),
        np.array([[2.0, 0.25], [101.0, 7.0]]),
        np.array([-3, 120, 5], np.int8),
        np.array([2**64 - 1, 3], np.uint64),
        np.array([True, False]),
        np.array([0.5, 150.0], np.float16),
        np.array([0.5, 7.0, 150.0, 9.0])[::2],
        np.array([0.0, -0.0, 50.0]),
        np.array([-0.0, 0.0, 50.0]),
        np.array([3.0, np.nan, 150.0]),
        np.array(0.75),
        Spread(),
    ],
)
def test_extremes_are_those_of_min_and_max(values):
    low, high = float(values.min()), float(values.max())
    expected = [f"Node 'n' has very low tau={low:.2f} (< 1.0)"] * (low < 1.0)
    expected += [f"Node 'n' has very high tau={high:.2f} (> 100)"] * (high > 100)
    expected += [f"Node 'n' has non-positive threshold={low:.2f}"] * (low <= 0)
    expected += [f"Node 'n' has high threshold={high:.2f}"] * (high > 10)
    node = without(ir.LIF, tau=values, v_threshold=values)
    assert [i.message for i in run(lint._check_node_parameters, through("n", node)).issues] == expected


def test_empty_parameter_array_propagates_numpys_error():
    with pytest.raises(ValueError, match="zero-size array"):
        run(lint._check_node_parameters, through("n", without(ir.LIF, tau=np.array([], np.float32))))


@pytest.mark.parametrize(
    "skip_type, incoming, reported",
    [
        ("passthrough", 0, True),
        ("passthrough", 1, False),
        ("passthrough", 2, True),
        ("residual", 1, True),
        ("residual", 2, False),
        ("concatenate", 0, True),
        ("concatenate", 1, True),
        ("concatenate", 3, False),
        ("gated", 0, False),
        ("gated", 5, False),
    ],
)
def test_skip_node_input_counts(skip_type, incoming, reported):
    # Parallel edges from one source count separately.
    g = graph({"in": ir.Input(), "s": ir.Skip(skip_type=skip_type), "out": ir.Output()},
              [("in", "s")] * incoming + [("s", "out")])
    issues = run(lint._check_skip_nodes, g).issues
    assert [i.node for i in issues] == (["s"] if reported else [])
    if reported:
        assert str(incoming) in issues[0].message


@pytest.mark.parametrize(
    "name, expected",
    [("node", ["GENERIC_NAME"]), ("layer", ["GENERIC_NAME"]), ("module", ["GENERIC_NAME"]),
     ("Layer", []), ("layer1", []), ("input", ["PYTHON_KEYWORD"]), ("output", ["PYTHON_KEYWORD"]),
     ("lambda", ["PYTHON_KEYWORD"]), ("class", ["PYTHON_KEYWORD"]), ("def", ["PYTHON_KEYWORD"]),
     ("return", ["PYTHON_KEYWORD"]), ("for", ["PYTHON_KEYWORD"]), ("if", ["PYTHON_KEYWORD"]),
     ("while", []), ("import", []), ("If", []), (" if", [])],
)
def test_naming(name, expected):
    assert codes(lint._check_naming, graph({name: ir.Flatten()}, [])) == expected


@pytest.mark.parametrize(
    "total, expected",
    [(10_000_000, []), (10_000_001, ["LARGE_MODEL"]), (np.int64(2**40), ["LARGE_MODEL"]), (100, []),
     (99, ["SMALL_MODEL"]), (1, ["SMALL_MODEL"]), (0, []), (-5, [])],
)
def test_model_size_bounds(monkeypatch, total, expected):
    monkeypatch.setattr(lint, "analyze_graph", lambda g: types.SimpleNamespace(total_params=total))
    issues = run(lint._check_model_size, graph({}, [])).issues
    assert [i.code for i in issues] == expected
    if total == 2**40:
        assert issues[0].message == "Graph has 1,099,511,627,776 parameters (> 10M)"


def test_model_size_runs_the_analysis_once_per_lint(monkeypatch):
    calls = []

    def analyze(*args, **kwargs):
        calls.append((args, kwargs))
        return types.SimpleNamespace(total_params=50)

    monkeypatch.setattr(lint, "analyze_graph", analyze)
    g = through("fc", ir.Affine(**SHAPED))
    assert [i.code for i in lint_graph(g).issues] == ["SMALL_MODEL"]
    assert calls == [((g,), {})]


@pytest.mark.parametrize(
    "node, reported",
    [(ir.Input(), False), (ir.Output(), False), (without(ir.Input, "output_type"), False),
     (ir.Affine(output_type={}), False), (ir.Affine(), True), (without(ir.Affine, "output_type"), True),
     (ir.Skip(output_type={"output": None}), False)],
)
def test_shapes(node, reported):
    assert codes(lint._check_shapes, graph({"n": node}, [])) == (["MISSING_OUTPUT_SHAPE"] if reported else [])


# ---- reachability ----------------------------------------------------------


@pytest.mark.parametrize(
    "nodes, edges, expected",
    [
        ("in h out", [("in", "h"), ("h", "out")], []),
        ("in h out x", [("in", "h"), ("h", "out")], [("x", "UNREACHABLE")]),
        ("in h d out", [("in", "h"), ("h", "out"), ("h", "d")], [("d", "DEAD_END")]),
        ("in a b out", [("in", "a"), ("a", "b"), ("b", "a"), ("in", "out")], [("a", "DEAD_END"), ("b", "DEAD_END")]),
        ("in x y out", [("x", "y"), ("y", "out"), ("in", "out")], [("x", "UNREACHABLE"), ("y", "UNREACHABLE")]),
        ("in h out", [("in", "h"), ("in", "h"), ("h", "out"), ("h", "out")], []),
        ("in out", [], [("in", "DEAD_END"), ("out", "UNREACHABLE")]),
    ],
)
def test_reachability(nodes, edges, expected):
    def node(name):
        return ir.Input() if name == "in" else ir.Output() if name == "out" else ir.Flatten()

    g = graph({name: node(name) for name in nodes.split()}, edges)
    assert [(i.node, i.code) for i in run(lint._check_reachability, g).issues] == expected


def test_multiple_outputs_listed_in_graph_order():
    g = graph({"in": ir.Input(), "z": ir.Output(), "a": ir.Output(), "m": ir.Output()}, [])
    assert [i.message for i in run(lint._check_multiple_outputs, g).issues] == [
        "Graph has 3 Output nodes: ['z', 'a', 'm']"]
    assert run(lint._check_multiple_outputs, through("h", ir.Flatten())).issues == []


# ---- driver ----------------------------------------------------------------


def troubled():
    return graph(
        {"in": ir.Input(**SHAPED), "layer": lif(tau=(0.5,), threshold=(0.0,)), "for": ir.Flatten(**SHAPED),
         "out": ir.Output(**SHAPED), "orphan": ir.Flatten()},
        [("in", "layer"), ("layer", "for"), ("for", "out")])


def test_strict_promotes_warnings_in_place():
    relaxed, strict = lint_graph(troubled()), lint_graph(troubled(), strict=1)
    assert [i.code for i in relaxed.issues] == ["UNREACHABLE", "LIF_LOW_TAU", "LIF_NONPOSITIVE_THRESHOLD",
                                               "GENERIC_NAME", "PYTHON_KEYWORD", "MISSING_OUTPUT_SHAPE"]
    assert [i.severity for i in relaxed.issues] == [W, W, E, I, W, W]
    assert len(strict.issues) == len(relaxed.issues)
    for plain, promoted in zip(relaxed.issues, strict.issues):
        assert promoted == dataclasses.replace(plain, severity=E if plain.severity is W else plain.severity)
    assert strict.warnings == [] and strict.infos == relaxed.infos
    assert len(strict.errors) == 5 and not strict.is_valid
    assert not lint_graph(through("for", ir.Flatten(**SHAPED)), strict=True).is_valid
    assert lint_graph(through("for", ir.Flatten(**SHAPED))).is_valid


def test_repeated_lints_are_independent():
    g = troubled()
    first, second = lint_graph(g), lint_graph(g)
    assert first.issues == second.issues and first.issues is not second.issues
    first.add_error("X", "extra")
    assert len(second.issues) == len(first.issues) - 1


def test_checks_run_in_order_through_the_module(monkeypatch):
    order = []
    names = ["_check_reachability", "_check_multiple_outputs", "_check_node_parameters", "_check_skip_nodes",
             "_check_naming", "_check_model_size", "_check_shapes"]
    for name in names:
        monkeypatch.setattr(lint, name, lambda g, result, name=name: order.append((name, type(result))))
    assert lint_graph(troubled()).issues == []
    assert order == [(name, LintResult) for name in names]


def test_checks_report_through_replaced_methods(monkeypatch):
    calls = []

    class Recording(LintResult):
        def add_warning(self, *args, **kwargs):
            calls.append(("warning", args, kwargs))
            super().add_warning(*args, **kwargs)

    result = Recording()
    lint._check_naming(graph({"def": ir.Flatten(), "layer": ir.Flatten()}, []), result)
    assert calls == [("warning", ("PYTHON_KEYWORD", "Node name 'def' is a Python keyword"),
                      {"node": "def", "suggestion": "May cause issues in code generation; consider renaming"})]
    assert [i.code for i in result.issues] == ["PYTHON_KEYWORD", "GENERIC_NAME"]

    plain = LintResult()
    plain.add_info = lambda *args, **kwargs: calls.append(("info", args, kwargs))
    lint._check_multiple_outputs(two_outputs(), plain)
    assert calls[-1] == ("info", ("MULTI_OUTPUT", "Graph has 2 Output nodes: ['out_a', 'out_b']"),
                         {"suggestion": "Ensure each output has clear semantics"})
    assert plain.issues == []

    original = LintResult._invalidate_cache
    monkeypatch.setattr(LintResult, "_invalidate_cache", lambda self: calls.append("invalidate") or original(self))
    patched = lint_graph(through("if", ir.Flatten(**SHAPED)))
    assert calls[-1] == "invalidate" and patched.warnings[0].node == "if"


# ---- bad input -------------------------------------------------------------


def bypassed(g):
    g.validate = lambda: None
    return g


@pytest.mark.parametrize(
    "build, error, match",
    [
        (lambda: bypassed(graph({"in": ir.Input(), "out": ir.Output()}, [("in", "ghost"), ("in", "out")])),
         KeyError, "ghost"),
        (lambda: bypassed(graph({"in": ir.Input(), "out": ir.Output()}, [("in", "out", "x")])),
         ValueError, r"too many values to unpack \(expected 2\)"),
        (lambda: bypassed(graph({"in": ir.Input(), "out": ir.Output()}, [("in",)])),
         ValueError, "need more than 1 value to unpack"),
        (lambda: through("det", without(ir.SDDetect, "stride", output_type={})), AttributeError, "stride"),
        (lambda: through("s", without(ir.Skip, "skip_type", output_type={})), AttributeError, "skip_type"),
        (lambda: through("fc", ir.SpikingAffine(weight_bits=None, **SHAPED)), TypeError, "'<' not supported"),
        (lambda: through("lif", without(ir.LIF, tau=np.array(["a"], dtype=object), output_type={})), TypeError,
         "must be real number"),
    ],
)
def test_host_errors_propagate(build, error, match):
    with pytest.raises(error, match=match):
        lint_graph(build())


def test_checks_on_their_own_need_known_names():
    g = graph({"in": ir.Input(), "out": ir.Output()}, [("in", "out"), ("out", "nowhere")])
    with pytest.raises(KeyError, match="nowhere"):
        lint._check_reachability(g, LintResult())
    with pytest.raises(KeyError, match="nowhere"):
        lint._check_skip_nodes(g, LintResult())
    unhashable = graph({"in": ir.Input(), "out": ir.Output()}, [("in", ["out"])])
    with pytest.raises(TypeError, match="unhashable"):
        lint._check_reachability(unhashable, LintResult())


def test_unorderable_total_propagates(monkeypatch):
    monkeypatch.setattr(lint, "analyze_graph", lambda g: types.SimpleNamespace(total_params=None))
    with pytest.raises(TypeError):
        lint_graph(through("fc", ir.Affine(**SHAPED)))


@pytest.mark.parametrize("missing, error", [("LIF", AttributeError), ("Skip", AttributeError),
                                            ("SpikingAffine", AttributeError), ("Output", AttributeError),
                                            ("GhostBasicBlock1", None), ("SDDetect", None)])
def test_ir_library_without_a_class(monkeypatch, missing, error):
    g = through("g", ir.GhostBasicBlock1(stride=3, **SHAPED))
    monkeypatch.setattr(g, "validate", lambda: None)
    monkeypatch.delattr(ir, missing)
    if error:
        with pytest.raises(error, match=missing):
            lint_graph(g)
    else:
        codes_found = [i.code for i in lint_graph(g).issues]
        assert ("GHOST_UNUSUAL_STRIDE" in codes_found) == (missing != "GhostBasicBlock1")


def test_failing_analysis_import_fails_the_linter_import():
    script = ("import sys; sys.modules['ondrel.sdk.analyze'] = None\n"
              "try:\n    import ondrel.sdk.lint\nexcept ImportError as e:\n    print('refused')\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "refused"


def test_million_node_chain():
    names = [f"n{i}" for i in range(1_000_000)]
    shared = ir.Skip(output_type={})  # one node object under every name keeps the build cheap
    nodes = dict.fromkeys(names, shared)
    nodes[names[0]], nodes[names[-1]] = ir.Input(), ir.Output()
    nodes["stray"] = ir.Flatten(output_type={})
    result = lint_graph(graph(nodes, list(zip(names, names[1:]))))
    assert [(i.code, i.node) for i in result.issues] == [("UNREACHABLE", "stray")]
