import dataclasses
import gc
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from conftest import chain, mlp, ports, rand, shape

from ondrel import ir
from ondrel.sdk import analyze
from ondrel.sdk.analyze import (
    GraphStats,
    LayerStats,
    analyze_graph,
    analyze_node,
    count_array_params,
    format_bytes,
    format_number,
    summarize,
)


class FakeArray:
    def __init__(self, shape, nbytes=0):
        self.shape, self.nbytes = shape, nbytes


@pytest.mark.parametrize(
    "array, expected",
    [
        (None, (0, 0)),
        (np.zeros((10, 20), np.float32), (200, 800)),
        (np.zeros((10, 20), np.float64), (200, 1600)),
        (np.zeros((0, 5), np.float32), (0, 0)),
        (np.array(3.0, np.float64), (1, 8)),
        (np.zeros((4, 6), np.float32)[:, ::2], (12, 48)),
        (FakeArray((2**40, 2**40, 3), 7), (3 * 2**80, 7)),
        (FakeArray((np.int64(2**62), np.int64(4))), (2**64, 0)),
    ],
)
def test_count_array_params_is_exact(array, expected):
    count, size = count_array_params(array)
    assert (count, size) == expected
    assert type(count) is int


def test_count_array_params_needs_shape_and_nbytes():
    with pytest.raises(AttributeError):
        count_array_params([1, 2, 3])


def test_records_are_real_dataclasses():
    layer = LayerStats("a", "LIF")
    assert dataclasses.is_dataclass(layer) and dataclasses.is_dataclass(GraphStats())
    assert [f.name for f in dataclasses.fields(LayerStats)] == [
        "name", "node_type", "params", "bytes", "input_shape", "output_shape", "flops", "config"]
    assert [f.type for f in dataclasses.fields(GraphStats)][5:8] == ["Optional[int]", "Optional[int]", "bool"]
    assert (layer.params, layer.input_shape, layer.config) == (0, (), {})
    layer.config["k"] = 1
    assert LayerStats("b", "LIF").config == {}
    assert repr(LayerStats("a", "X", 1)) == (
        "LayerStats(name='a', node_type='X', params=1, bytes=0, input_shape=(), output_shape=(), flops=0, config={})")
    assert dataclasses.replace(layer, name="z").name == "z"
    assert dataclasses.asdict(GraphStats())["is_dag"] is True
    stats = GraphStats()
    assert (stats.depth, stats.width, stats.is_dag, stats.layers) == (0, 0, True, [])
    assert stats.layers is not GraphStats().layers
    with pytest.raises(TypeError):
        hash(stats)
    assert analyze_node("a", ir.LIF()) == analyze_node("a", ir.LIF())


def test_records_built_in_cpp_equal_constructed_ones():
    built = analyze_node("fc", ir.Affine(weight=np.ones((2, 3), np.float32)))
    assert built == LayerStats("fc", "Affine", 6, 24, (), (), 12, {"weight_shape": (2, 3)})
    assert vars(built) == dataclasses.asdict(built)


@pytest.mark.parametrize(
    "node, params, nbytes, flops, config",
    [
        (ir.Input(), 0, 0, 0, {}),
        (ir.Affine(weight=np.ones((10, 20), np.float32), bias=np.ones(10, np.float32)), 210, 840, 400,
         {"weight_shape": (10, 20)}),
        (ir.SpikingAffine(weight=np.ones((10, 20), np.float32), bias=np.ones(10, np.float32), weight_bits=4), 210,
         840, 400, {"weight_shape": (10, 20), "spike_mode": "binary", "weight_bits": 4}),
        (ir.Affine(weight=np.ones((10, 20), np.float32)), 200, 800, 400, {"weight_shape": (10, 20)}),
        (ir.Affine(bias=np.ones(10, np.float64)), 10, 80, 0, {"weight_shape": None}),
        (ir.Conv2d(weight=np.ones((8, 3, 3, 3), np.float32), **ports(out=(8, 32))), 216, 864, 2 * 8 * 27 * 8 * 32,
         {"kernel": (3, 3), "stride": (1, 1), "padding": (0, 0), "groups": 1}),
        (ir.Conv2d(weight=np.ones((8, 3, 3, 3), np.float32), **ports(out=(32,))), 216, 864, 0,
         {"kernel": (3, 3), "stride": (1, 1), "padding": (0, 0), "groups": 1}),
        (ir.SepConv2d(depthwise_weight=np.ones((3, 1, 3, 3)), pointwise_weight=np.ones((8, 3, 1, 1)),
                      pointwise_bias=np.ones(8)), 27 + 24 + 8, 59 * 8, 0,
         {"depthwise_kernel": (3, 1, 3, 3), "pointwise_kernel": (8, 3, 1, 1)}),
        (ir.LIF(tau=np.array([10.0, 30.0]), v_leak=np.zeros(2), v_threshold=np.array([1.0, 2.0])), 6, 48, 0,
         {"tau_mean": 20.0, "threshold": 1.5}),
        (ir.LIF(v_threshold=np.ones(3, np.float32)), 3, 12, 0, {"tau_mean": None, "threshold": 1.0}),
        (ir.MaxPool2d(), 0, 0, 0, {"kernel": (2, 2), "stride": (2, 2)}),
        (ir.AvgPool2d(count_include_pad=False), 0, 0, 0, {"kernel": (2, 2), "stride": (2, 2),
                                                          "count_include_pad": False}),
        (ir.Flatten(), 0, 0, 0, {"start_dim": 1, "end_dim": -1}),
        (ir.Skip(skip_type="residual"), 0, 0, 0, {"skip_type": "residual"}),
        (ir.Upsample(), 0, 0, 0, {"scale_factor": 2, "size": None, "mode": "nearest", "align_corners": None}),
        (ir.ChannelSplit(split_sections=(2, 2)), 0, 0, 0, {"split_sections": (2, 2), "dim": 1}),
        (ir.Concat(), 0, 0, 0, {"num_inputs": 2, "dim": 1}),
        (ir.SGhostConv(primary_weight=np.ones(4), cheap_bias=np.ones(2)), 6, 48, 0,
         {"primary_stride": 1, "primary_padding": 0}),
        (ir.SGhostEncoderLite(conv1_weight=np.ones(5, np.int8)), 5, 5, 0, {"stride": 2}),
        (ir.GhostBasicBlock1(cv2_cheap_bias=np.ones(3), in_channels=4, out_channels=8, stride=1), 3, 24, 0,
         {"stride": 1, "in_channels": 4, "out_channels": 8}),
        (ir.GhostBasicBlock2(cv0_primary_weight=np.ones(2)), 2, 16, 0, {"in_channels": 0, "out_channels": 0}),
        (ir.SDDetect(cv3_b2=np.ones(7)), 7, 56, 0, {"num_classes": 80, "reg_max": 16, "stride": 8}),
        (ir.DFLDecode(dfl_weights=np.ones(16)), 16, 128, 0, {"reg_max": 16}),
        (ir.Dist2BBox(stride=16), 0, 0, 0, {"stride": 16}),
    ],
)
def test_analyze_node_rows(node, params, nbytes, flops, config):
    stats = analyze_node("n", node)
    assert (stats.node_type, stats.params, stats.bytes, stats.flops) == (type(node).__name__, params, nbytes, flops)
    assert stats.config == config
    assert list(stats.config) == list(config)


def test_optional_attributes_fall_back_to_defaults(monkeypatch):
    encoder, ghost, dfl, lif = ir.SGhostEncoderLite(stride=5), ir.SGhostConv(), ir.DFLDecode(), ir.LIF(tau=np.ones(2))
    for node, attribute in ((encoder, "stride"), (ghost, "primary_stride"), (dfl, "dfl_weights"), (lif, "r")):
        object.__delattr__(node, attribute)
        if hasattr(type(node), attribute):  # the dataclass default lives on the class
            monkeypatch.delattr(type(node), attribute)
    assert analyze_node("e", encoder).config == {"stride": 2}
    assert analyze_node("g", ghost).config["primary_stride"] is None
    assert analyze_node("d", dfl).params == 0
    assert analyze_node("l", lif).params == 2


@pytest.mark.parametrize(
    "port_type, expected",
    [(None, ()), ({}, ()), ({"other": shape(1)}, ()), ({"input": None}, ()), ({"input": 7}, (7,)),
     ({"input": shape(1, 28, 28)}, (1, 28, 28)), ({"input": [3, 4]}, (3, 4))],
)
def test_input_shape_reading(port_type, expected):
    stats = analyze_node("in", ir.Input(input_type=port_type))
    assert stats.input_shape == expected and stats.output_shape == ()


def test_shape_entries_stay_numpy_integers():
    stats = analyze_node("in", ir.Input(**ports((1, 28, 28))))
    assert all(type(v) is np.int64 for v in stats.input_shape)


def test_conv_flops_are_exact_python_ints():
    node = ir.Conv2d(weight=FakeArray((np.int64(2**20), np.int64(2**20), np.int64(3), np.int64(3))),
                     output_type={"output": np.array([1, 2**16, 2**16])})
    flops = analyze_node("c", node).flops
    assert type(flops) is int and flops == 2 * 2**40 * 9 * 2**32


@pytest.mark.parametrize("weight_shape, message", [
    ((8, 3, 3), "need more than 3 values to unpack"),
    ((8,), "need more than 1 value to unpack"),
    ((8, 3, 3, 3, 1), "too many values to unpack (expected 4)"),
])
def test_conv_weight_must_have_four_dims(weight_shape, message):
    node = ir.Conv2d(weight=np.ones(weight_shape, np.float32), **ports(out=(8, 32, 32)))
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        analyze_node("c", node)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16, np.int32])
@pytest.mark.parametrize("size", [1, 3, 7, 8, 9, 17, 127, 128, 129, 1000, 8192, 8193, 20000])
def test_lif_means_equal_numpy(dtype, size):
    tau = (np.random.default_rng(size).standard_normal(size) * 50).astype(dtype)
    config = analyze_node("l", ir.LIF(tau=tau, v_threshold=tau[::-1])).config
    assert config["tau_mean"] == float(np.mean(tau))
    assert config["threshold"] == float(np.mean(tau[::-1]))


@pytest.mark.parametrize("bad_name", [None, 1, type("S", (str,), {})("n")])
def test_analyze_node_name_must_be_exactly_str(bad_name):
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got "):
        analyze_node(bad_name, ir.Input())


def test_missing_required_attribute_propagates(monkeypatch):
    node = ir.Conv2d()
    object.__delattr__(node, "groups")
    monkeypatch.delattr(ir.Conv2d, "groups")
    with pytest.raises(AttributeError, match="groups"):
        analyze_node("c", node)
    with pytest.raises(AttributeError, match="input_type"):
        analyze_node("x", object())


def test_ir_without_optional_classes(monkeypatch):
    monkeypatch.delattr(ir, "SDDetect")
    assert analyze_node("d", ir.Dist2BBox()).config == {"stride": 8}
    assert analyze_node("o", object.__new__(type("Plain", (), {"input_type": None, "output_type": None}))).config == {}


def test_ir_without_a_required_class_fails_even_for_later_rows(monkeypatch):
    monkeypatch.delattr(ir, "Upsample")
    with pytest.raises(AttributeError, match="Upsample"):
        analyze_node("d", ir.Dist2BBox())
    assert analyze_node("f", ir.Flatten()).config["start_dim"] == 1  # matched before the missing row


def test_subclasses_match_rows_but_keep_their_own_name():
    class MyConv(ir.Conv2d):
        pass

    stats = analyze_graph(chain(("in", ir.Input()), ("c", MyConv(weight=np.ones((2, 2, 1, 1)))), ("out", ir.Output())))
    assert stats.layers[1].node_type == "MyConv" and stats.layers[1].params == 4
    assert stats.type_counts == {"Input": 1, "MyConv": 1, "Output": 1} and stats.conv_count == 0


def test_analyze_graph_chain():
    stats = analyze_graph(mlp())
    assert (stats.depth, stats.width, stats.is_dag, stats.node_count, stats.edge_count) == (3, 1, True, 4, 3)
    assert stats.type_counts == {"Input": 1, "Affine": 1, "LIF": 1, "Output": 1}
    assert (stats.lif_count, stats.affine_count, stats.conv_count) == (1, 1, 0)
    assert stats.total_params == 7850 + 40 and stats.total_bytes == 4 * stats.total_params
    assert stats.memory_breakdown == {"Input": 0, "Affine": 31400, "LIF": 160, "Output": 0}
    assert stats.input_shapes == [(1, 784)] and stats.output_shapes == [(1, 10)]
    assert [layer.name for layer in stats.layers] == ["in", "fc", "lif", "out"]


def test_analyze_graph_empty_and_cyclic():
    empty = analyze_graph(ir.Graph())
    assert empty == GraphStats()
    g = mlp()
    g.edges.append(("lif", "fc"))
    stats = analyze_graph(g)
    assert (stats.depth, stats.width, stats.is_dag) == (None, None, False)
    assert stats.total_params == 7890 and stats.edge_count == 4


@pytest.mark.parametrize("edges, depth, width", [
    ([], 0, 3), ([("a", "b"), ("b", "c")], 2, 1), ([("a", "c"), ("b", "c")], 1, 2),
    ([("a", "b"), ("a", "b"), ("a", "c"), ("b", "c")], 2, 1),
])
def test_depth_and_width(edges, depth, width):
    g = ir.Graph(nodes={"a": ir.Input(), "b": ir.LIF(), "c": ir.Output()}, edges=edges)
    assert analyze._compute_depth_and_width(g) == (depth, width)
    assert (analyze._compute_depth(g), analyze._compute_width(g)) == (depth, width)


def test_graph_input_with_scalar_shape_raises():
    g = ir.Graph(nodes={"in": ir.Input(input_type={"input": 5})})
    assert analyze_node("in", g.nodes["in"]).input_shape == (5,)
    with pytest.raises(TypeError):
        analyze_graph(g)


def test_graph_inputs_without_shape_are_skipped():
    g = ir.Graph(nodes={"a": ir.Input(), "b": ir.Input(input_type={}), "c": ir.Input(**ports((2,)))})
    stats = analyze_graph(g)
    assert stats.input_shapes == [(2,)] and stats.type_counts == {"Input": 3}


def test_paths_are_read_and_other_objects_used_as_graphs(tmp_path):
    path = tmp_path / "model.o1c"
    ir.write(str(path), mlp())
    assert analyze_graph(str(path)) == analyze_graph(mlp()) == analyze_graph(str(path).encode())
    with pytest.raises(AttributeError, match="nodes"):
        analyze_graph(pathlib.Path(path))
    with pytest.raises(FileNotFoundError):
        analyze_graph(str(tmp_path / "missing.o1c"))


def test_bad_graphs_raise_host_exceptions():
    class NoneNodes:
        nodes, edges = None, []

    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        analyze_graph(NoneNodes())

    class Shrinking(ir.LIF):
        def __getattribute__(self, name):
            if name == "tau":
                graph.nodes.clear()
            return object.__getattribute__(self, name)

    graph = ir.Graph(nodes={"a": Shrinking(), "b": ir.LIF()})
    with pytest.raises(RuntimeError, match="changed size"):
        analyze_graph(graph)


@pytest.mark.parametrize("enabled", [True, False])
def test_garbage_collector_state_is_restored(enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        analyze_graph(mlp())
        with pytest.raises(AttributeError):
            analyze_graph(object())
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


@pytest.mark.parametrize("value, text", [
    (0, "0 B"), (512, "512 B"), (1023, "1023 B"), (1024, "1.0 KB"), (1536, "1.5 KB"), (940544, "918.5 KB"),
    (1048575, "1024.0 KB"), (1048576, "1.0 MB"), (1073741824, "1.00 GB"), (-5, "-5 B"), (2047.9, "2.0 KB"),
    (np.int64(2048), "2.0 KB"), (10**30, f"{10**30 / 1024**3:.2f} GB"),
])
def test_format_bytes(value, text):
    assert format_bytes(value) == text


@pytest.mark.parametrize("value, text", [
    (999, "999"), (1000, "1,000"), (99999, "99,999"), (100000, "100.0K"), (235100, "235.1K"), (999999, "1000.0K"),
    (1500000, "1.50M"), (-7, "-7"), (1234.9, "1,234"), (True, "True"),
])
def test_format_number(value, text):
    assert format_number(value) == text


@pytest.mark.parametrize("formatter", [format_bytes, format_number])
def test_formatters_refuse_non_numbers(formatter):
    with pytest.raises(TypeError):
        formatter("12")


def test_summary_text():
    g = mlp()
    g.nodes["lif2"] = ir.LIF(**ports((1, 10), (1, 10)))
    g.edges.append(("lif", "lif2"))
    text = summarize(g)
    assert text == "\n".join([
        "ONDREL IR Graph Summary", "=" * 50,
        "Nodes: 5  |  Edges: 4  |  Depth: 3  |  Width: 2",
        "Parameters: 7,890  |  Memory: 30.8 KB  |  FLOPs: 15,680",
        "", "Layer Types:", "  Affine: 1", "  Input: 1", "  LIF: 2", "  Output: 1",
        "", "Input: (1, 784)", "Output: (1, 10)", "", "SNN: 2 LIF neuron layer(s)",
    ])
    verbose = summarize(g, verbose=1)
    assert verbose.startswith(text) and verbose[len(text):] == "\n".join([
        "", "", "=" * 50, "Layer Breakdown:", "  fc: Affine - 7,850 params, 30.7 KB", "  lif: LIF - 40 params, 160 B"])


def test_summary_of_empty_and_cyclic_graphs():
    assert summarize(ir.Graph(), verbose=True) == "\n".join([
        "ONDREL IR Graph Summary", "=" * 50, "Nodes: 0  |  Edges: 0  |  Depth: 0  |  Width: 0",
        "Parameters: 0  |  Memory: 0 B  |  FLOPs: 0", "", "Layer Types:", "", "=" * 50, "Layer Breakdown:"])
    cyclic = ir.Graph(nodes={"a": ir.Skip(), "b": ir.Skip()}, edges=[("a", "b"), ("b", "a")])
    assert "Depth: N/A (cyclic)  |  Width: N/A (cyclic)" in summarize(cyclic)
    assert "Layer Breakdown" not in summarize(cyclic)


def test_docstrings_and_lazy_package():
    assert "Analyze a single node and return its statistics." in analyze_node.__doc__
    assert "ONDREL IR Graph object or path to .o1c file" in analyze_graph.__doc__
    assert analyze.__doc__.startswith("Graph analysis utilities for ONDREL IR graphs.")
    code = ("import sys, ondrel.sdk as s; assert not any(m.startswith('ondrel.sdk.') for m in sys.modules); "
            "s.summarize; assert 'ondrel.sdk.analyze' in sys.modules and 'ondrel.sdk.lint' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_rand_helper_is_deterministic():
    assert np.array_equal(rand(3, seed=4), rand(3, seed=4))


def test_formatters_agree_with_host_formatting_on_random_integers():
    rng = np.random.default_rng(7)
    values = [int(v) for v in rng.integers(-(10**7), 10**7, 3000)] + [int(v) for v in rng.integers(0, 2**62, 3000)]
    values += [2**53 - 1, 2**53, 2**53 + 1, 10**40]
    for v in values:
        number = str(v) if v < 1000 else f"{v:,}" if v < 100000 else f"{v / 1000:.1f}K" if v < 10**6 else f"{v / 10**6:.2f}M"
        size = (f"{v} B" if v < 1024 else f"{v / 1024:.1f} KB" if v < 1024**2 else f"{v / 1024**2:.1f} MB"
                if v < 1024**3 else f"{v / 1024**3:.2f} GB")
        assert (format_number(v), format_bytes(v)) == (number, size)
