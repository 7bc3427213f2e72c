import dataclasses
import math
import struct
import warnings

import numpy as np
import pytest

from conftest import chain, mlp, ports, rand
from ondrel import ir
from ondrel.sdk import compare
from ondrel.sdk.compare import (
    GraphDiff,
    NodeDiff,
    _generate_summary,
    assert_graphs_equal,
    compare_arrays,
    compare_graphs,
    compare_nodes,
)

INF = math.inf
DTYPES = ["f2", "f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]
TOLERANCES = [(1e-6, 1e-5), (1e-3, 1e-3), (0.0, 0.1), (0.5, 0.0), (0.0, 0.0)]


# ---- reference: the documented numpy computation, with integer differences exact

def reference(a, b, atol=1e-6, rtol=1e-5):
    with np.errstate(all="ignore"):
        match = bool(np.allclose(a, b, atol=atol, rtol=rtol))
        if a.size == 0:
            return match, 0.0
        if a.dtype.kind in "biu" and b.dtype.kind in "biu":
            return match, float(max(abs(int(x) - int(y)) for x, y in zip(a.ravel().tolist(), b.ravel().tolist())))
        return match, float(np.max(np.abs(a - b)))


def same_float(x, y):
    return type(x) is float and ((math.isnan(x) and math.isnan(y)) or struct.pack("<d", x) == struct.pack("<d", y))


def assert_like_reference(a, b, atol=1e-6, rtol=1e-5):
    match, max_diff = compare_arrays(a, b, atol, rtol)
    want_match, want_diff = reference(a, b, atol, rtol)
    assert type(match) is bool and match == want_match, (a, b, atol, rtol)
    assert same_float(max_diff, want_diff), (a, b, max_diff, want_diff)


def special_values(dtype):
    if dtype.kind == "f":
        info = np.finfo(dtype)
        return [0.0, -0.0, INF, -INF, math.nan, float(info.max), -float(info.max), float(info.tiny),
                float(info.smallest_subnormal), -float(info.smallest_subnormal), 1.0, -1.0]
    if dtype.kind == "b":
        return [False, True]
    info = np.iinfo(dtype)
    return [info.min, info.max, 0, 1, info.max - 1, info.min + 1]


def cast(values, dtype):
    """float64 values into dtype; integers clipped to their range."""
    if dtype.kind == "f":
        with np.errstate(all="ignore"):
            return values.astype(dtype)
    if dtype.kind == "b":
        return values > 0.5
    info = np.iinfo(dtype)
    return np.clip(np.nan_to_num(np.round(values)), float(info.min), float(info.max)).astype(dtype)


def random_pair(dtype_a, dtype_b, rng, size, atol, rtol):
    """Pairs near the tolerance boundary, equal pairs, unrelated pairs and special values."""
    base = rng.standard_normal(size) * 10.0 ** rng.integers(-7, 5, size)
    scale = atol + rtol * np.abs(base)
    near = base + scale * rng.uniform(-2, 2, size) + rng.integers(-2, 3, size) * (rng.random(size) < 0.2)
    other = np.where(rng.random(size) < 0.5, near, rng.standard_normal(size) * 10.0 ** rng.integers(-3, 4, size))
    a, b = cast(base, dtype_a), cast(np.where(rng.random(size) < 0.2, base, other), dtype_b)
    specials_a, specials_b = special_values(dtype_a), special_values(dtype_b)
    for i in rng.choice(size, size // 5, replace=False):
        a[i] = specials_a[rng.integers(len(specials_a))]
        b[i] = specials_b[rng.integers(len(specials_b))]
    return a, b


# ---- compare_arrays: the compiled path against numpy

@pytest.mark.parametrize("dtype_a", DTYPES)
@pytest.mark.parametrize("dtype_b", DTYPES)
def test_every_dtype_pair_matches_numpy(dtype_a, dtype_b):
    rng = np.random.default_rng([DTYPES.index(dtype_a), DTYPES.index(dtype_b)])
    for atol, rtol in TOLERANCES:
        a, b = random_pair(np.dtype(dtype_a), np.dtype(dtype_b), rng, 60, atol, rtol)
        assert_like_reference(a, b, atol, rtol)
        # element by element, so each verdict counts, not just the all()
        for i in range(len(a)):
            assert_like_reference(a[i:i + 1], b[i:i + 1], atol, rtol)


@pytest.mark.parametrize("dtype", ["f2", "f4", "f8"])
def test_random_float_tolerances_match_numpy(dtype):
    rng = np.random.default_rng(7)
    for _ in range(300):
        atol, rtol = (float(rng.choice([0.0, 10.0 ** rng.uniform(-9, 1)])) for _ in range(2))
        a, b = random_pair(np.dtype(dtype), np.dtype(dtype), rng, 1, atol, rtol)
        assert_like_reference(a, b, atol, rtol)


def awkward_tolerance(rng):
    """Zero, a random scale, or a value a hair above a half-precision rounding tie."""
    choice = rng.integers(3)
    if choice == 0:
        return 0.0
    if choice == 1:
        return float(10.0 ** rng.uniform(-8, 0))
    tie = 1 + (2 * int(rng.integers(1024)) + 1) * 2.0**-11
    return tie * 2.0 ** int(rng.integers(-20, 0)) * (1 + 2.0**-40)


@pytest.mark.parametrize("dtype", ["f2", "f4", "f8"])
def test_verdict_at_the_tolerance_boundary(dtype):
    """a placed exactly at numpy's own tolerance around b, and one step to either side."""
    rng = np.random.default_rng(11)
    for _ in range(300):
        atol, rtol = awkward_tolerance(rng), awkward_tolerance(rng)
        b = cast(rng.standard_normal(1) * 10.0 ** rng.integers(-4, 4), np.dtype(dtype))
        with np.errstate(all="ignore"):
            edge = atol + rtol * np.abs(b)
            for a in (b + edge, b - edge):
                for toward in (-INF, INF):
                    assert_like_reference(a, b, atol, rtol)
                    assert_like_reference(np.nextafter(a, np.array(toward, a.dtype)), b, atol, rtol)


def test_every_half_pair_subtracts_like_numpy():
    # all halves against a spread of halves: numpy rounds each step to half
    a = np.arange(0, 1 << 16, dtype=np.uint16).view(np.float16)
    for value in [0.0, 1.0, -3.140625, 65504.0, 6.1e-05, 5.96e-08, INF]:
        b = np.full_like(a, value)
        assert_like_reference(a[np.isfinite(a)], b[np.isfinite(a)], 1e-3, 1e-3)


@pytest.mark.parametrize("a, b, expected", [
    (np.array([100], np.int8), np.array([-100], np.int8), 200.0),
    (np.array([0], np.uint8), np.array([1], np.uint8), 1.0),
    (np.array([-2**63], np.int64), np.array([2**63 - 1], np.int64), float(2**64 - 1)),
    (np.array([2**64 - 1], np.uint64), np.array([-2**63], np.int64), float(2**64 - 1 + 2**63)),
    (np.array([2**64 - 1], np.uint64), np.array([0], np.uint64), float(2**64 - 1)),
    (np.array([2**64 - 1], np.uint64), np.array([-2050], np.int64), float(2**64 + 2049)),  # rounds up once
    (np.array([True, False]), np.array([False, False]), 1.0),
    (np.array([100], ">i2"), np.array([-100], ">i2"), 200.0),  # byte-swapped: the numpy route
])
def test_integer_differences_are_exact(a, b, expected):
    assert compare_arrays(a, b) == (False, expected)


@pytest.mark.parametrize("dtype", DTYPES + [">f4", ">i2", "c16"])
def test_empty_arrays_of_one_shape_match(dtype):
    assert compare_arrays(np.zeros((0, 3), dtype), np.zeros((0, 3), dtype)) == (True, 0.0)


def test_layouts_and_strides_match_numpy():
    rng = np.random.default_rng(3)
    base = rng.standard_normal((6, 8)).astype(np.float32)
    other = base + rng.standard_normal((6, 8)).astype(np.float32) * 1e-5
    views = [
        (base, other),
        (base, np.ascontiguousarray(other.T).T),           # C against Fortran order
        (base.T, other.T),
        (base[::-1, ::2], other[::-1, ::2]),
        (base[:, 3], other[:, 3]),
        (base[2:3, 4:5], other[2:3, 4:5]),
        (base.astype(np.float64)[::2], other[::2]),
        (np.broadcast_to(base[0], (6, 8)), other),                # zero strides
        (np.float32(1.5) + np.zeros((), np.float32), np.full((), 1.5, np.float64)),
    ]
    unaligned = np.frombuffer(b"\0" + base.tobytes(), np.float32, count=48, offset=1).reshape(6, 8)
    views.append((unaligned, other))
    for a, b in views:
        assert_like_reference(a, b)
        assert_like_reference(a, b, 0.0, 0.0)


@pytest.mark.parametrize("view", [
    lambda x: x,
    lambda x: x.transpose(2, 0, 1),
    lambda x: x[::-1, ::2, 1:],
    lambda x: x[:, 1, ::-2],
    lambda x: x[1:2],
])
@pytest.mark.parametrize("a_contiguous", [False, True])
def test_every_element_of_a_view_is_visited(view, a_contiguous):
    base = np.arange(60, dtype=np.float64).reshape(3, 4, 5)
    a = view(base)
    a = np.ascontiguousarray(a) if a_contiguous else a
    for index in np.ndindex(a.shape):
        other = base.copy()
        view(other)[index] += 0.5
        assert compare_arrays(a, view(other), 0.0, 0.0) == (False, 0.5), index


@pytest.mark.parametrize("a, b, expected", [
    (None, None, (True, 0.0)),
    (np.ones(3), None, (False, INF)),
    (None, np.ones(3), (False, INF)),
    (np.ones(3), np.ones((1, 3)), (False, INF)),
    (np.ones((2, 2)), np.ones((2, 2)), (True, 0.0)),
    (np.array([0.0]), np.array([2e-6]), (False, 2e-6)),
])
def test_documented_array_cases(a, b, expected):
    assert compare_arrays(a, b) == expected


def test_relative_term_scales_with_second_array():
    assert compare_arrays(np.array([1.0]), np.array([1.105]), 0, 0.1)[0]
    assert not compare_arrays(np.array([1.105]), np.array([1.0]), 0, 0.1)[0]
    match, max_diff = compare_arrays(np.array([1.0]), np.array([1.0000001]))
    assert match and 0 < max_diff < 2e-7


def test_nan_never_matches_and_infinities_compare_by_value():
    nan = np.array([1.0, np.nan])
    match, max_diff = compare_arrays(nan, nan)
    assert not match and math.isnan(max_diff)
    match, max_diff = compare_arrays(np.array([INF]), np.array([INF]))
    assert match and math.isnan(max_diff)  # equal infinities are close; inf - inf is still NaN
    assert compare_arrays(np.array([INF]), np.array([1.0])) == (False, INF)


def test_compiled_path_needs_no_numpy_arithmetic():
    # numpy would warn about the overflowing difference; the kernel computes it silently
    big = np.finfo(np.float32).max
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert compare_arrays(np.array([big], np.float32), np.array([-big], np.float32)) == (False, INF)


def test_other_types_take_numpy():
    assert_like_reference(np.array([1 + 2j, 3]), np.array([1 + 2j, 3.5]))
    assert_like_reference(np.array([1.0, 2.0], ">f8"), np.array([1.0, 2.5], "<f4"))
    with pytest.raises(TypeError, match="isfinite"):  # numpy's own error propagates
        compare_arrays(np.array([1.0, 2.0], object), np.array([1.0, 2.5], object))


@pytest.mark.parametrize("atol", ["x", None, object()])
def test_tolerance_must_be_a_number(atol):
    with pytest.raises(TypeError):
        compare_arrays(np.ones(2), np.ones(2), atol)


def test_value_without_shape_raises_attribute_error():
    with pytest.raises(AttributeError):
        compare_arrays([1.0], np.ones(1))


# ---- records

def test_records_have_fresh_collections_and_documented_fields():
    first, second = NodeDiff(name="x", status="unchanged"), NodeDiff("y", "modified")
    assert (first.changes, first.weight_diff, first.shape_diff) == ([], None, None)
    assert first.changes is not second.changes
    diff = GraphDiff()
    assert diff.identical and diff.structural_match and diff.numerical_match and diff.summary == ""
    assert diff.max_weight_diff == diff.mean_weight_diff == 0.0
    assert GraphDiff().nodes_added is not diff.nodes_added
    assert [f.type for f in dataclasses.fields(NodeDiff)] == ["str", "str", "list", "Optional[float]", "Optional[dict]"]
    assert [f.name for f in dataclasses.fields(GraphDiff)][-2:] == ["node_diffs", "summary"]
    with pytest.raises(TypeError):
        hash(diff)


# ---- compare_nodes

def affine(weight, bias=None, cls=ir.Affine, **extra):
    return cls(weight=weight, bias=bias, **ports((1, 8), (1, 4)), **extra)


def conv(stride=(1, 1), weight=None):
    weight = rand(4, 3, 3, 3) if weight is None else weight
    return ir.Conv2d(weight=weight, bias=rand(4, seed=1), stride=stride, **ports((1, 3, 8, 8), (1, 4, 8, 8)))


def diff_of(node_a, node_b, **kw):
    d = compare_nodes("n", node_a, node_b, **kw)
    return d.status, d.changes, d.weight_diff


W = rand(4, 8)
Z = np.zeros((4, 8))


@pytest.mark.parametrize("node_a, node_b, expected", [
    (conv(), conv(), ("unchanged", [], None)),
    (affine(W), conv(), ("modified", ["type: Affine \u2192 Conv2d"], None)),
    (conv((1, 1)), conv((2, 2)), ("modified", ["stride: (1, 1) \u2192 (2, 2)"], None)),
    (affine(W), affine(W + 0.5), ("modified", ["weight: max_diff=5.00e-01"], 0.5)),
    (affine(rand(4, 8), W[0]), affine(rand(8, 4), W[0]), ("modified", ["weight: shape mismatch"], None)),
    (affine(W, None), affine(W, W[0]), ("modified", ["bias: shape mismatch"], None)),
    (affine(W), affine(W + 1e-7), ("unchanged", [], None)),
    (affine(Z, Z[0]), affine(Z + 0.3, Z[0] + 0.7),
     ("modified", ["weight: max_diff=3.00e-01", "bias: max_diff=7.00e-01"], 0.7)),
    (affine(np.full((2, 2), np.nan)), affine(np.zeros((2, 2))), ("modified", ["weight: max_diff=nan"], None)),
    (ir.Input(**ports((1, 8))), ir.Input(**ports((1, 9))), ("modified", ["input_type differs"], None)),
    (ir.Output(), ir.Output(), ("unchanged", [], None)),
    (ir.MaxPool2d(kernel_size=2), ir.MaxPool2d(kernel_size=3), ("modified", ["kernel_size: 2 \u2192 3"], None)),
    (ir.AvgPool2d(count_include_pad=True), ir.AvgPool2d(count_include_pad=False),
     ("modified", ["count_include_pad: True \u2192 False"], None)),
    (ir.Flatten(start_dim=1, end_dim=-1), ir.Flatten(start_dim=0, end_dim=2),
     ("modified", ["start_dim: 1 \u2192 0", "end_dim: -1 \u2192 2"], None)),
    (ir.Skip(skip_type="residual"), ir.Skip(skip_type="concat"),
     ("modified", ["skip_type: residual \u2192 concat"], None)),
    (ir.SepConv2d(depthwise_weight=W, pointwise_bias=W[0]), ir.SepConv2d(depthwise_weight=W, pointwise_bias=W[0] + 1),
     ("modified", ["pointwise_bias: max_diff=1.00e+00"], 1.0)),
    (ir.LIF(tau=W[0], v_threshold=W[0]), ir.LIF(tau=W[0] + 2, v_threshold=W[0] + 3),
     ("modified", ["tau: max_diff=2.00e+00", "v_threshold: max_diff=3.00e+00"], 3.0)),
])
def test_documented_node_cases(node_a, node_b, expected):
    assert diff_of(node_a, node_b) == expected


def test_spiking_affine_change_order():
    a = affine(W, W[0], ir.SpikingAffine, weight_bits=8)
    b = affine(W, W[0] + 1, ir.SpikingAffine, weight_bits=4)
    b.output_type = {"output": np.array([1, 5])}
    assert diff_of(a, b)[1] == ["output_type differs", "weight_bits: 8 \u2192 4", "bias: max_diff=1.00e+00"]


@pytest.mark.parametrize("a, b", [
    (np.array([INF]), np.array([1.0])),
    (np.array([INF]), np.array([-INF])),
])
def test_infinite_difference_is_not_a_shape_mismatch(a, b):
    assert diff_of(affine(a), affine(b)) == ("modified", ["weight: max_diff=inf"], None)


@pytest.mark.parametrize("a, b, equal", [
    (None, None, True),
    (None, {"input": np.array([1])}, False),
    ({"input": [1, 28, 28]}, {"input": [1, 28, 28]}, True),
    ({"input": np.array([1, 28])}, {"input": np.array([1.0, 28.0])}, True),
    ({"input": [1], "extra": [2]}, {"input": [1], "other": [2]}, False),
    ({"input": [1]}, {"other": [1]}, False),
    ({"a": [1], "b": [2]}, {"b": [2], "a": [1]}, True),
    ({"input": np.array([np.nan])}, {"input": np.array([np.nan])}, False),
    (np.array([1, 2]), np.array([1, 2]), True),
    (np.array([1, 2]), np.array([[1, 2]]), False),
    (np.array([1, 2]), np.array([1, 3]), False),
    (np.array([1, 2]), np.array([1, 2, 3]), False),
    (np.array([1, 2], "<i4"), np.array([1, 2], ">i4"), True),  # same values, other byte order
    (np.array([1, 2], "i4"), np.array([1, 2], "u2"), True),
    (np.array([[1, 2], [3, 4]]), np.array([[1, 3], [2, 4]]).T, True),  # other memory layout
    (np.array([-1], "i8"), np.array([2**64 - 1], "u8"), False),  # the same bytes
    (np.zeros((0, 2), "i8"), np.zeros((0, 2), "i8"), True),
])
def test_port_shapes(a, b, equal):
    status = diff_of(ir.Input(input_type=a), ir.Input(input_type=b))[0]
    assert status == ("unchanged" if equal else "modified")


def test_class_change_reads_nothing_else():
    class Bare:
        pass
    assert diff_of(Bare(), ir.Input())[1] == ["type: Bare \u2192 Input"]


@pytest.mark.parametrize("name", [None, 3, type("Text", (str,), {})("n")])
def test_name_must_be_exactly_str(name):
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        compare_nodes(name, ir.Input(), ir.Input())


def test_missing_attribute_raises():
    class NoPadding(ir.Conv2d):
        def __getattribute__(self, name):
            if name == "padding":
                raise AttributeError("padding")
            return super().__getattribute__(name)
    with pytest.raises(AttributeError, match="padding"):
        compare_nodes("c", NoPadding(), NoPadding())
    with pytest.raises(AttributeError, match="padding"):
        compare_graphs(chain(("c", NoPadding())), chain(("c", NoPadding())))


def test_replaced_compare_arrays_is_used(monkeypatch):
    calls = []

    def fake(a, b, atol, rtol):
        calls.append((atol, rtol))
        return False, 0.25
    monkeypatch.setattr(compare, "compare_arrays", fake)
    assert diff_of(affine(W), affine(W), atol=0.5)[1:] == (["weight: max_diff=2.50e-01", "bias: max_diff=2.50e-01"], 0.25)
    assert calls == [(0.5, 1e-5)] * 2


# ---- compare_graphs, summary, assertion

def test_graph_against_itself_and_its_file(tmp_path):
    graph = mlp()
    path = tmp_path / "model.o1c"
    ir.write(str(path), graph)
    for other in (graph, str(path), bytes(path)):
        diff = compare_graphs(graph, other)
        assert diff.identical and diff.structural_match and diff.numerical_match
        assert diff.nodes_unchanged == ["fc", "in", "lif", "out"] and len(diff.node_diffs) == 4
        assert diff.nodes_added == diff.edges_added == diff.nodes_modified == []
        assert diff.summary == "\u2713 Graphs are identical"
    assert compare_graphs(str(path), bytes(path)).identical
    assert compare_graphs(ir.Graph(), ir.Graph()) == GraphDiff(summary="\u2713 Graphs are identical")


def test_added_node_and_edge():
    a = mlp()
    b = mlp()
    b.nodes["fc2"] = ir.Affine(weight=W)
    b.edges.append(("fc", "fc2"))
    diff = compare_graphs(a, b)
    assert diff.nodes_added == ["fc2"] and diff.edges_added == [("fc", "fc2")]
    assert (diff.identical, diff.structural_match, diff.numerical_match) == (False, False, True)
    assert diff.summary == "\u2717 Graphs differ\n\nStructural differences:\n  + Nodes added: fc2\n  + Edges added: 1"
    reverse = compare_graphs(b, a)
    assert reverse.nodes_removed == ["fc2"] and reverse.edges_removed == [("fc", "fc2")]
    assert reverse.summary.endswith("  - Nodes removed: fc2\n  - Edges removed: 1")


def test_weight_change_summary():
    a, b = mlp(), mlp()
    b.nodes["fc"].weight = a.nodes["fc"].weight + 0.5
    diff = compare_graphs(a, b)
    assert diff.nodes_modified == ["fc"] and (diff.identical, diff.structural_match, diff.numerical_match) == (
        False, True, False)
    assert diff.max_weight_diff == diff.mean_weight_diff == pytest.approx(0.5)
    assert diff.summary == ("\u2717 Graphs differ\n\nModified nodes: 1\n  fc:\n    - weight: max_diff=5.00e-01\n\n"
                            "Max weight difference: 5.00e-01\nMean weight difference: 5.00e-01")


def test_mean_skips_nodes_without_weight_difference():
    a = chain(("c1", conv()), ("c2", conv()), ("c3", conv()), ("c4", conv()))
    b = chain(("c1", conv(weight=conv().weight + 0.2)), ("c2", conv(weight=conv().weight + 0.4)),
              ("c3", conv((2, 2))), ("c4", conv()))
    b.nodes["c4"].weight = rand(4, 3, 1, 1)  # shape change only
    diff = compare_graphs(a, b)
    assert diff.nodes_modified == ["c1", "c2", "c3", "c4"]
    assert diff.max_weight_diff == pytest.approx(0.4) and diff.mean_weight_diff == pytest.approx(0.3)


def test_empty_bias_does_not_break_a_graph():
    a = chain(("fc", affine(W, np.zeros(0, np.float32))))
    assert compare_graphs(a, chain(("fc", affine(W, np.zeros(0, np.float32))))).identical


def test_every_summary_line():
    def node(name, changes, status="modified"):
        return NodeDiff(name, status, changes)
    diff = GraphDiff(
        identical=False, structural_match=False, numerical_match=False,
        nodes_added=["x", "y"], nodes_removed=["z"], nodes_modified=["a", "b", "c"],
        edges_added=[("x", "y"), ("y", "x")], edges_removed=[("z", "a")],
        max_weight_diff=0.25, mean_weight_diff=0.125,
        node_diffs=[node("a", ["1", "2", "3", "4", "5"]), node("b", ["1", "2", "3"]), node("c", []),
                    node("d", ["ignored"], "unchanged")])
    assert _generate_summary(diff).split("\n") == [
        "\u2717 Graphs differ", "", "Structural differences:", "  + Nodes added: x, y", "  - Nodes removed: z",
        "  + Edges added: 2", "  - Edges removed: 1", "", "Modified nodes: 3",
        "  a:", "    - 1", "    - 2", "    - 3", "    - ... and 2 more",
        "  b:", "    - 1", "    - 2", "    - 3",
        "", "Max weight difference: 2.50e-01", "Mean weight difference: 1.25e-01"]
    assert _generate_summary(GraphDiff(identical=False)) == "\u2717 Graphs differ"


def test_assert_graphs_equal():
    a, b = mlp(), mlp()
    b.nodes["fc"].weight = b.nodes["fc"].weight + 1
    assert_graphs_equal(a, mlp())
    assert_graphs_equal(a, b, check_weights=False)
    with pytest.raises(AssertionError) as raised:
        assert_graphs_equal(a, b)
    assert raised.value.args == ("Graphs are not identical:\n" + compare_graphs(a, b).summary,)
    c = mlp()
    c.nodes["lif"] = ir.Affine(**ports((1, 10), (1, 10)))  # a class change is not structural
    assert_graphs_equal(a, c, check_weights=0)
    c.edges.pop()
    with pytest.raises(AssertionError, match="^Graph structures differ:\n\u2717 Graphs differ\n"):
        assert_graphs_equal(a, c, check_weights=False)


def test_bad_graph_arguments(tmp_path):
    with pytest.raises(AttributeError, match="nodes"):
        compare_graphs(42, mlp())
    with pytest.raises(AttributeError, match="edges"):
        compare_graphs(type("G", (), {"nodes": {}})(), mlp())
    junk = tmp_path / "junk.o1c"
    junk.write_bytes(b"not a graph at all")
    with pytest.raises(ValueError, match="junk.o1c"):
        compare_graphs(str(junk), mlp())
    with pytest.raises(FileNotFoundError):
        assert_graphs_equal(str(tmp_path / "missing.o1c"), mlp())
    with pytest.raises(TypeError):
        compare_graphs(ir.Graph(edges=[["in", "out"]]), ir.Graph())  # list edges cannot be set members
