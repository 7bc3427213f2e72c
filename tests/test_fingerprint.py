import array
import collections
import datetime as dt
import hashlib
import re
import types

import numpy as np
import pytest
from conftest import chain, mlp, rand

import ondrel.sdk.version
from ondrel import ir
from ondrel.sdk import fingerprint as fp
from ondrel.sdk.fingerprint import (
    _hash_graph,
    _hash_node_structure,
    _hash_node_weights,
    fingerprint_graph,
    fingerprint_graph_dual,
    get_stamp,
    stamp_graph,
    verify_fingerprint,
)


def sha(*pieces):
    return hashlib.sha256(b"".join(pieces)).hexdigest()


class Recorder:
    """A hasher that keeps every piece it is fed."""

    def __init__(self):
        self.pieces = []

    def update(self, data):
        assert type(data) is bytes
        self.pieces.append(data)


class Custom:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class MyConv(ir.Conv2d):
    pass


def lacking(cls, name, **fields):
    """An instance of a subclass of `cls` on which reading `name` fails."""
    def fail(self):
        raise AttributeError(name)
    return type(cls.__name__, (cls,), {name: property(fail, lambda self, value: None)})(**fields)


class SubArray(np.ndarray):
    pass


def model(metadata=None):
    graph = mlp()
    graph.metadata = {} if metadata is None else metadata
    return graph


def f32(*values):
    return np.array(values, np.float32)


W, B = rand(3, 2), rand(3, seed=1)
DW, PW, DB, PB = rand(3, 1, 3, 3), rand(8, 3, 1, 1), rand(3, seed=2), rand(8, seed=3)
TAU, R, VL, VT = f32(20, 30, 40), f32(1, 1, 2), f32(0, 0, 0), f32(1, 2, 3)
PORT_A, PORT_B, PORT_OUT = np.array([2], np.int32), np.arange(6)[::2], np.array([1, 4], np.int64)

# (node, class name, structure pieces after name and class name, weight pieces)
ROWS = {
    "input": (ir.Input(input_type={"b": PORT_B, "a": PORT_A}, output_type={"output": PORT_OUT}), b"Input",
              [PORT_A.tobytes(), PORT_B.tobytes(), PORT_OUT.tobytes()], []),
    "output-no-ports": (ir.Output(input_type=None, output_type={}), b"Output", [], []),
    "conv": (ir.Conv2d(weight=rand(4, 3, 3, 3), bias=B, stride=(2, 2), padding=(1, 1), groups=1), b"Conv2d",
             [b"(2, 2)", b"(1, 1)", b"(1, 1)", b"1", b"(4, 3, 3, 3)"], [rand(4, 3, 3, 3).tobytes(), B.tobytes()]),
    "conv-none": (ir.Conv2d(stride=None, groups=2), b"Conv2d", [b"None", b"(0, 0)", b"(1, 1)", b"2"], []),
    "conv-array-stride": (ir.Conv2d(stride=np.array([2, 2]), dilation=(3,)), b"Conv2d",
                          [b"[2 2]", b"(0, 0)", b"(3,)", b"1"], []),
    "conv-subclass": (MyConv(weight=W), b"MyConv", [b"(1, 1)", b"(0, 0)", b"(1, 1)", b"1", b"(3, 2)"],
                      [W.tobytes()]),
    "sepconv": (ir.SepConv2d(depthwise_weight=DW, pointwise_weight=PW, depthwise_bias=DB, pointwise_bias=PB,
                             padding=(1, 1)), b"SepConv2d",
                [b"(1, 1)", b"(1, 1)", b"(1, 1)", b"(3, 1, 3, 3)", b"(8, 3, 1, 1)"],
                [DW.tobytes(), DB.tobytes(), PW.tobytes(), PB.tobytes()]),
    "sepconv-pointwise-only": (ir.SepConv2d(pointwise_weight=PW), b"SepConv2d",
                               [b"(1, 1)", b"(0, 0)", b"(1, 1)", b"(8, 3, 1, 1)"], [PW.tobytes()]),
    "affine": (ir.Affine(weight=W, bias=B), b"Affine", [b"(3, 2)"], [W.tobytes(), B.tobytes()]),
    "affine-empty": (ir.Affine(), b"Affine", [], []),
    "spiking-no-weight": (ir.SpikingAffine(bias=B), b"SpikingAffine", [b"binary", b"8", b"16"], [B.tobytes()]),
    "spiking": (ir.SpikingAffine(weight=W, spike_mode="graded", weight_bits=np.int64(4)), b"SpikingAffine",
                [b"(3, 2)", b"graded", b"4", b"16"], [W.tobytes()]),
    "lif-r-none": (ir.LIF(tau=TAU, v_leak=VL, v_threshold=VT), b"LIF", [b"(3,)"],
                   [TAU.tobytes(), VL.tobytes(), VT.tobytes()]),
    "lif-tau-none": (ir.LIF(r=R, v_leak=VL, v_threshold=VT), b"LIF", [], [R.tobytes(), VL.tobytes(), VT.tobytes()]),
    "maxpool": (ir.MaxPool2d(kernel_size=(3, 3), stride=(1, 1), padding=(1, 1)), b"MaxPool2d",
                [b"(3, 3)", b"(1, 1)", b"(1, 1)"], []),
    "avgpool": (ir.AvgPool2d(kernel_size=3), b"AvgPool2d", [b"3", b"(2, 2)", b"(0, 0)"], []),
    "flatten": (ir.Flatten(start_dim=0), b"Flatten", [b"0", b"-1"], []),
    "skip": (ir.Skip(skip_type="residual"), b"Skip", [b"residual"], []),
    "class-without-parameters": (ir.Upsample(scale_factor=4), b"Upsample", [], []),
    "unknown-class": (Custom(weight=W, bias=B, stride=(9, 9)), b"Custom", [], [W.tobytes(), B.tobytes()]),
}


@pytest.mark.parametrize("node, cls, structure, weights", ROWS.values(), ids=ROWS.keys())
def test_node_pieces_by_class(node, cls, structure, weights):
    recorder = Recorder()
    _hash_node_structure("n", node, recorder)
    assert recorder.pieces == [b"n", cls, *structure]
    recorder = Recorder()
    _hash_node_weights(node, recorder)
    assert recorder.pieces == weights

    graph = ir.Graph(nodes={"n": node})
    assert fingerprint_graph(graph, include_weights=False) == sha(b"n", cls, *structure)
    assert fingerprint_graph(graph) == sha(b"n", cls, *structure, *weights)
    assert fingerprint_graph_dual(graph) == (sha(b"n", cls, *structure), sha(b"n", cls, *structure, *weights))


WORKED = ir.Graph(nodes={"lif": ir.LIF(tau=TAU, r=R, v_leak=VL, v_threshold=VT), "fc": ir.Affine(weight=W, bias=B)},
                  edges=[("fc", "lif")])
WORKED_FULL = [b"fc", b"Affine", b"(3, 2)", W.tobytes(), B.tobytes(), b"lif", b"LIF", b"(3,)",
               TAU.tobytes(), R.tobytes(), VL.tobytes(), VT.tobytes(), b"fc->lif"]


def test_two_node_stream():
    assert len(b"fcAffine(3, 2)lifLIF(3,)fc->lif") == 31
    assert fingerprint_graph(WORKED, include_weights=False) == sha(b"fcAffine(3, 2)lifLIF(3,)fc->lif")
    assert fingerprint_graph(WORKED) == sha(*WORKED_FULL)
    recorder = Recorder()
    _hash_graph(WORKED, recorder)
    assert recorder.pieces == WORKED_FULL
    recorder = Recorder()
    _hash_graph(WORKED, recorder, include_weights=0)
    assert recorder.pieces == [b"fc", b"Affine", b"(3, 2)", b"lif", b"LIF", b"(3,)", b"fc->lif"]
    real = hashlib.sha256()
    _hash_graph(WORKED, real)
    assert real.hexdigest() == fingerprint_graph(WORKED)


BIG = np.random.default_rng(5).standard_normal((700, 600)).astype(np.float32)
ARRAYS = {
    "float32": rand(4, 5),
    "big-endian": np.arange(7, dtype=">f8"),
    "fortran": np.asfortranarray(rand(5, 3)),
    "reversed-strided": np.arange(60, dtype=np.int16).reshape(6, 10)[::-1, ::3],
    "zero-d": np.array(3.5),
    "empty": np.zeros((0, 5), np.float32),
    "empty-strided": np.zeros((4, 0, 3))[::2],
    "float16": np.linspace(0, 1, 9, dtype=np.float16),
    "bool": np.array([True, False, True]),
    "complex": np.arange(4, dtype=np.complex64) * 1j,
    "structured": np.array([(1, 2), (3, 4)], dtype=[("a", "<i4"), ("b", "u1")])[::-1],
    "datetime": np.array(["2020-01-01", "2021-06-30"], dtype="M8[D]"),
    "large": BIG,
    "large-transposed": BIG.T,
    "subclass-transposed": rand(3, 4).view(SubArray).T,
    "masked": np.ma.array([1, 2, 3], mask=[0, 1, 0]),
    "array.array": array.array("i", [1, 2, 3]),
    "tobytes-only": Custom(tobytes=lambda: b"custom bytes"),
}


@pytest.mark.parametrize("value", ARRAYS.values(), ids=ARRAYS.keys())
def test_array_piece_is_tobytes(value):
    node = ir.Affine(bias=value)
    recorder = Recorder()
    _hash_node_weights(node, recorder)
    assert recorder.pieces == [value.tobytes()]
    real = hashlib.sha256()
    _hash_node_weights(node, real)
    assert real.hexdigest() == sha(value.tobytes())

    graph = ir.Graph(nodes={"n": node})
    assert fingerprint_graph(graph) == sha(b"n", b"Affine", value.tobytes())
    # As a port array the piece is structure, fed to both hashers of the dual.
    port = ir.Graph(nodes={"n": ir.Input(input_type={"input": value}, output_type=None)})
    assert fingerprint_graph_dual(port) == (sha(b"n", b"Input", value.tobytes()),) * 2


def test_large_and_small_pieces_keep_their_order():
    nodes = {f"n{i}": ir.Affine(weight=BIG[i:i + 300] if i % 2 else BIG[:i + 1].T, bias=f32(i)) for i in range(8)}
    graph = ir.Graph(nodes=nodes, edges=[(f"n{i}", f"n{i + 1}") for i in range(7)])
    pieces = []
    for name in sorted(nodes):
        pieces += [name.encode(), b"Affine", str(nodes[name].weight.shape).encode(),
                   nodes[name].weight.tobytes(), nodes[name].bias.tobytes()]
    pieces += [f"n{i}->n{i + 1}".encode() for i in range(7)]
    assert fingerprint_graph_dual(graph)[1] == fingerprint_graph(graph) == sha(*pieces)


def test_names_and_edges_are_sorted_by_code_point():
    graph = ir.Graph(nodes={"é": ir.Skip(), "ab": ir.Skip(), "a": ir.Skip(), "B": ir.Skip()},
                     edges=[["é", "a"], ["a", "é"], ["B", "ab"], ["a", "é"]])
    skip = b"Skippassthrough"
    expected = sha(b"B", skip, b"a", skip, b"ab", skip, "é".encode(), skip,
                   b"B->ab", "a->é".encode(), "a->é".encode(), "é->a".encode())
    assert fingerprint_graph(graph) == expected


def test_edge_endpoints_are_formatted():
    graph = ir.Graph(nodes={}, edges=[(2, 10), (2, 3), (1.5, True)])
    assert fingerprint_graph(graph) == sha(b"1.5->True", b"2->3", b"2->10")


def test_metadata_piece_is_sorted_json():
    metadata = {"z": 1, "a": {"y": [1, 2.5], "b": "ü"}, "é": None}
    graph = ir.Graph(nodes={"s": ir.Affine(bias=B)}, metadata=metadata)
    text = b'{"a": {"b": "\\u00fc", "y": [1, 2.5]}, "z": 1, "\\u00e9": null}'
    structure, full = sha(b"s", b"Affine"), sha(b"s", b"Affine", B.tobytes())
    assert fingerprint_graph(graph, include_metadata=True) == sha(b"s", b"Affine", B.tobytes(), text)
    assert fingerprint_graph(graph, include_weights=False, include_metadata=True) == sha(b"s", b"Affine", text)
    assert fingerprint_graph_dual(graph, include_metadata=True) == (structure, sha(b"s", b"Affine", B.tobytes(), text))
    assert fingerprint_graph_dual(graph) == (structure, full)


@pytest.mark.parametrize("metadata", [{}, None])
def test_empty_metadata_adds_nothing(metadata):
    graph = model()
    graph.metadata = metadata
    assert fingerprint_graph(graph, include_metadata=True) == fingerprint_graph(graph)
    assert fingerprint_graph_dual(graph, include_metadata=True) == fingerprint_graph_dual(graph)


def test_empty_graph_is_the_empty_digest():
    empty = sha()
    graph = ir.Graph()
    assert fingerprint_graph(graph) == fingerprint_graph(graph, include_weights=False) == empty
    assert fingerprint_graph_dual(graph, include_metadata=True) == (empty, empty)


def test_order_and_changes():
    graph = mlp()
    reordered = ir.Graph(nodes=dict(reversed(graph.nodes.items())), edges=graph.edges[::-1])
    assert fingerprint_graph_dual(reordered) == fingerprint_graph_dual(graph)

    renamed = ir.Graph(nodes={("hidden" if k == "fc" else k): v for k, v in graph.nodes.items()}, edges=graph.edges)
    assert set(fingerprint_graph_dual(renamed)).isdisjoint(fingerprint_graph_dual(graph))

    structure, full = fingerprint_graph_dual(graph)
    changed = mlp()
    changed.nodes["fc"].weight[0, 0] += 1
    assert fingerprint_graph_dual(changed)[0] == structure and fingerprint_graph_dual(changed)[1] != full

    reshaped = mlp()
    reshaped.nodes["fc"].bias = reshaped.nodes["fc"].bias.reshape(2, 5)
    reshaped.nodes["in"].input_type = {"renamed": reshaped.nodes["in"].input_type["input"]}
    assert fingerprint_graph_dual(reshaped) == (structure, full)

    widened = mlp()
    widened.nodes["fc"].bias = widened.nodes["fc"].bias.astype(np.float64)
    assert fingerprint_graph_dual(widened)[0] == structure and fingerprint_graph_dual(widened)[1] != full

    port_width = mlp()
    port_width.nodes["in"].input_type["input"] = port_width.nodes["in"].input_type["input"].astype(np.int32)
    assert set(fingerprint_graph_dual(port_width)).isdisjoint((structure, full))


@pytest.mark.parametrize("metadata", [False, True])
def test_dual_matches_single(metadata):
    graph = model({"k": "v"})
    assert fingerprint_graph_dual(graph, metadata) == (
        fingerprint_graph(graph, include_weights=False, include_metadata=False),
        fingerprint_graph(graph, include_weights=True, include_metadata=metadata))


def test_verify_fingerprint():
    graph = model({"k": "v"})
    digest = fingerprint_graph(graph)
    assert verify_fingerprint(graph, digest) is True
    assert verify_fingerprint(graph, fingerprint_graph(graph, include_weights=False), include_weights=False)
    assert verify_fingerprint(graph, fingerprint_graph(graph, include_metadata=True)) is False
    assert verify_fingerprint(graph, digest.upper()) is False
    graph.nodes["fc"].bias[0] += 1
    assert verify_fingerprint(graph, digest) is False


@pytest.mark.parametrize("expected", [None, b"ab", 5, type("S", (str,), {})("ab")])
def test_verify_needs_a_plain_string(expected):
    with pytest.raises(TypeError, match="Argument 'expected_hash' has incorrect type"):
        verify_fingerprint(mlp(), expected)


WAYS = {
    "fingerprint_graph": fingerprint_graph,
    "fingerprint_graph_dual": fingerprint_graph_dual,
    "_hash_graph": lambda graph: _hash_graph(graph, hashlib.sha256()),
}


FAILURES = {
    "conv-without-groups": ({"c": lacking(ir.Conv2d, "groups")}, [], AttributeError, "groups"),
    "flatten-without-end-dim": ({"f": lacking(ir.Flatten, "end_dim")}, [], AttributeError, "end_dim"),
    "input-without-output-type": ({"i": lacking(ir.Input, "output_type")}, [], AttributeError, "output_type"),
    "port-without-tobytes": ({"i": ir.Input(input_type={"input": [1, 2]})}, [], AttributeError, "tobytes"),
    "port-keys-unorderable": ({"i": ir.Input(input_type={1: PORT_A, "a": PORT_A})}, [], TypeError, "'<'"),
    "weight-without-shape": ({"a": ir.Affine(weight=[1.0])}, [], AttributeError, "shape"),
    "bias-without-tobytes": ({"a": ir.Affine(bias=[1.0])}, [], AttributeError, "'list' object has no attribute"),
    "int-node-name": ({1: ir.Skip()}, [], TypeError, r"Argument 'node_name' .* got int\)"),
    "str-subclass-name": ({type("Name", (str,), {})("a"): ir.Skip()}, [], TypeError, "'node_name'"),
    "mixed-node-names": ({1: ir.Skip(), "a": ir.Skip()}, [], TypeError, "'<'"),
    "lone-surrogate": ({"\ud800": ir.Skip()}, [], UnicodeEncodeError, "surrogates"),
    "edge-of-three": ({}, [("a", "b", "c")], ValueError, r"too many values to unpack \(expected 2\)"),
    "edge-of-one": ({}, [("a",)], ValueError, "need more than 1 value to unpack"),
    "edge-not-iterable": ({}, [5], TypeError, "cannot unpack non-iterable int object"),
    "lone-surrogate-endpoint": ({}, [("ab", "\ud800")], UnicodeEncodeError, "position 4"),
    "edges-unorderable": ({}, [("a", "b"), (1, 2)], TypeError, "'<'"),
}


@pytest.mark.parametrize("way", WAYS.values(), ids=WAYS.keys())
@pytest.mark.parametrize("nodes, edges, error, message", FAILURES.values(), ids=FAILURES.keys())
def test_bad_graphs_raise_the_host_error(way, nodes, edges, error, message):
    with pytest.raises(error, match=message):
        way(ir.Graph(nodes=nodes, edges=edges))


def test_weights_are_read_only_when_included():
    graph = ir.Graph(nodes={"a": ir.Affine(bias=[1.0])})
    assert fingerprint_graph(graph, include_weights=False) == sha(b"a", b"Affine")


@pytest.mark.parametrize("metadata", [{"s": {1, 2}}, {1: "x", "a": "y"}])
def test_unserialisable_metadata_raises(metadata):
    graph = model(metadata)
    assert fingerprint_graph(graph) == fingerprint_graph(mlp())
    with pytest.raises(TypeError):
        fingerprint_graph(graph, include_metadata=True)
    with pytest.raises(TypeError):
        fingerprint_graph_dual(graph, include_metadata=True)


def test_private_functions_use_any_hasher_and_need_update():
    with pytest.raises(AttributeError, match="update"):
        _hash_node_structure("n", ir.Skip(), object())
    _hash_graph(ir.Graph(), object())  # an empty stream never calls update
    with pytest.raises(TypeError, match="Argument 'node_name'"):
        _hash_node_structure(None, ir.Skip(), Recorder())


# Provenance stamps

STAMP_KEYS = ["sdk_versions", "timestamp", "fingerprint_structure", "fingerprint_full"]


@pytest.mark.parametrize("empty", [None, ""])
def test_stamp_with_nothing_optional(empty):
    graph = model({"author": "me"})
    before = dict(graph.metadata)
    empty_dict = None if empty is None else {}
    stamped = stamp_graph(graph, empty, empty, empty, empty_dict, empty_dict)
    stamp = get_stamp(stamped)
    assert list(stamp) == STAMP_KEYS
    assert stamp["sdk_versions"] == ondrel.sdk.version.get_versions()
    assert stamp["fingerprint_full"] == fingerprint_graph(graph)
    assert stamp["fingerprint_structure"] == fingerprint_graph(graph, include_weights=False)
    assert verify_fingerprint(stamped, stamp["fingerprint_full"])
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z", stamp["timestamp"])
    now = dt.datetime.now(dt.timezone.utc).replace(tzinfo=None)
    assert abs(dt.datetime.fromisoformat(stamp["timestamp"][:-1]) - now) < dt.timedelta(seconds=30)
    assert graph.metadata == before and "provenance" not in graph.metadata
    assert stamped.nodes is graph.nodes and stamped.edges is graph.edges
    assert stamped.metadata is not graph.metadata and list(stamped.metadata) == ["author", "provenance"]


def test_stamp_with_everything():
    graph, calibration, quantization = mlp(), {"samples": 8}, {"bits": 4}
    stamped = stamp_graph(graph, quantization_config=quantization, notes="n", git_commit="abc",
                          training_run_id="run-1", calibration_config=calibration)
    stamp = get_stamp(stamped)
    assert list(stamp) == STAMP_KEYS + ["notes", "git_commit", "training_run_id", "calibration_config",
                                        "quantization_config"]
    assert stamp["calibration_config"] is calibration and stamp["quantization_config"] is quantization
    calibration["samples"] = 16
    assert get_stamp(stamped)["calibration_config"] == {"samples": 16}
    assert get_stamp(stamped) is stamped.metadata["provenance"]

    restamped = stamp_graph(stamped, notes="again")
    again = get_stamp(restamped)
    assert list(again) == STAMP_KEYS + ["notes"]
    assert again["fingerprint_full"] == stamp["fingerprint_full"] and get_stamp(stamped) is stamp


def test_existing_provenance_keeps_its_place():
    graph = model({"a": 1, "provenance": {"old": True}, "z": 2})
    stamped = stamp_graph(graph)
    assert list(stamped.metadata) == ["a", "provenance", "z"]
    assert "old" not in stamped.metadata["provenance"]
    assert graph.metadata["provenance"] == {"old": True}


@pytest.mark.parametrize("argument, value", [
    ("notes", 5), ("git_commit", b"abc"), ("training_run_id", type("S", (str,), {})("x")),
    ("calibration_config", collections.OrderedDict()), ("quantization_config", [("a", 1)]),
])
def test_stamp_argument_types_are_checked_first(argument, value):
    with pytest.raises(TypeError, match=f"Argument '{argument}' has incorrect type"):
        stamp_graph(object(), **{argument: value})


class FixedClock(dt.datetime):
    moment = None
    zones = []

    @classmethod
    def now(cls, tz=None):
        cls.zones.append(tz)
        return cls.moment


@pytest.mark.parametrize("moment, text", [
    (dt.datetime(2024, 5, 6, 7, 8, 9, tzinfo=dt.timezone.utc), "2024-05-06T07:08:09Z"),
    (dt.datetime(2024, 5, 6, 7, 8, 9, 1234, tzinfo=dt.timezone.utc), "2024-05-06T07:08:09.001234Z"),
])
def test_timestamp_format(monkeypatch, moment, text):
    monkeypatch.setattr(FixedClock, "moment", moment)
    monkeypatch.setattr(FixedClock, "zones", [])
    monkeypatch.setattr(fp, "datetime", FixedClock)
    assert get_stamp(stamp_graph(mlp()))["timestamp"] == text
    assert FixedClock.zones == [dt.timezone.utc]


def test_stamp_call_order_and_collaborators(monkeypatch):
    calls, versions, graph, real_graph_class = [], object(), mlp(), ir.Graph

    def dual(graph, **kwargs):
        calls.append(("dual", kwargs))
        return fingerprint_graph_dual(graph, **kwargs)

    def get_versions():
        calls.append("versions")
        return versions

    class Clock(FixedClock):
        moment = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)

        @classmethod
        def now(cls, tz=None):
            calls.append("clock")
            return cls.moment

    def graph_class(*args, **kwargs):
        calls.append(("Graph", args, sorted(kwargs)))
        return real_graph_class(**kwargs)

    monkeypatch.setattr(fp, "fingerprint_graph_dual", dual)
    monkeypatch.setattr(ondrel.sdk.version, "get_versions", get_versions)
    monkeypatch.setattr(fp, "datetime", Clock)
    monkeypatch.setattr(ir, "Graph", graph_class)
    stamped = stamp_graph(graph)
    assert calls == [("dual", {"include_metadata": False}), "versions", "clock",
                     ("Graph", (), ["edges", "metadata", "nodes"])]
    assert get_stamp(stamped)["sdk_versions"] is versions


def test_stamp_failures_leave_the_graph_alone(monkeypatch):
    graph = mlp()
    graph.metadata = None
    with pytest.raises(TypeError, match="^argument after \\*\\* must be a mapping, not NoneType$"):
        stamp_graph(graph, notes="x")
    assert graph.metadata is None
    graph.metadata = 5
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        stamp_graph(graph)
    graph.metadata = types.MappingProxyType({"a": 1})
    assert list(stamp_graph(graph).metadata) == ["a", "provenance"]

    def broken():
        raise RuntimeError("no versions")
    graph = model({"a": 1})
    monkeypatch.setattr(ondrel.sdk.version, "get_versions", broken)
    with pytest.raises(RuntimeError, match="no versions"):
        stamp_graph(graph)
    monkeypatch.delattr(ondrel.sdk.version, "get_versions")
    with pytest.raises(ImportError, match="cannot import name 'get_versions'"):
        stamp_graph(graph)
    assert graph.metadata == {"a": 1}


def test_get_stamp_cases():
    assert get_stamp(mlp()) is None
    assert get_stamp(model({"provenance": None})) is None
    for value, name in [([], "list"), (collections.OrderedDict(), "OrderedDict")]:
        with pytest.raises(TypeError, match=f"^Expected dict, got {name}$"):
            get_stamp(model({"provenance": value}))
    graph = mlp()
    graph.metadata = None
    with pytest.raises(TypeError):
        get_stamp(graph)


def test_stamp_survives_a_file_round_trip(tmp_path):
    stamped = stamp_graph(mlp(), notes="ü", calibration_config={"n": [1, 2]})
    ir.write(tmp_path / "m.o1c", stamped)
    read = ir.read(tmp_path / "m.o1c")
    stamp = get_stamp(read)
    assert stamp == get_stamp(stamped)
    assert verify_fingerprint(read, stamp["fingerprint_full"])
    assert verify_fingerprint(read, stamp["fingerprint_structure"], include_weights=False)
