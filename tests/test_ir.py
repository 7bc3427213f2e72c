import errno
import json
import math
import os
import pathlib
import re
import stat

import numpy as np
import pytest
from safetensors.numpy import save_file

from ondrel import ir
from ondrel.ir import _o1c
from ondrel.ir._nodes import FIELD_KINDS
from ondrel.sdk.version import get_versions


def same(a, b):
    """Equal including types, dtypes (byte order too), shapes and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype.str == b.dtype.str and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, np.generic):
        # x87 extended floats carry padding bytes that numpy does not keep defined
        return a.dtype == b.dtype and (a.tobytes() == b.tobytes() or a.dtype.itemsize > 8 and a.dtype.kind in "fc"
                                       and np.array_equal(a, b, equal_nan=True)
                                       and np.array_equal(np.signbit(np.real(a)), np.signbit(np.real(b))))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return same(list(a), list(b)) and same(list(a.values()), list(b.values()))
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return a == b


def chain(middle=None, metadata=None):
    middle = ir.Conv2d() if middle is None else middle
    return ir.Graph({"in": ir.Input(), "mid": middle, "out": ir.Output()}, [("in", "mid"), ("mid", "out")], metadata)


def roundtrip(graph, tmp_path):
    path = tmp_path / "g.o1c"
    ir.write(path, graph)
    return ir.read(path)


# ---------------------------------------------------------------- round trips

DTYPES = ["f2", "f4", "f8", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?",
          "c8", "c16", ">f4", ">i2", ">c16", "M8[ns]"]


@pytest.mark.parametrize("shape", [(), (0, 3), (2, 3)])
@pytest.mark.parametrize("dtype", DTYPES)
def test_arrays_round_trip_exactly(tmp_path, dtype, shape):
    arr = np.arange(math.prod(shape)).astype(dtype).reshape(shape)
    parameter = arr.dtype.kind != "M"  # datetimes are metadata, never weights
    back = roundtrip(chain(ir.Conv2d(weight=arr) if parameter else ir.Conv2d(), {"calib": [arr]}), tmp_path)
    for value in [back.metadata["calib"][0]] + [back.nodes["mid"].weight] * parameter:
        assert same(value, arr)
        assert value.flags.writeable
        assert value.size == 0 or value.base is not None  # aligned by the writer: a view in place, not a copy


def test_nan_bits_and_strided_arrays_survive(tmp_path):
    nans = np.array([0x7FC00001, 0xFFC00123], dtype=np.uint32).view(np.float32)
    strided = np.arange(24.0).reshape(4, 6)[:, ::2].T
    back = roundtrip(chain(ir.LIF(tau=nans, r=strided)), tmp_path).nodes["mid"]
    assert back.tau.tobytes() == nans.tobytes()
    assert same(back.r, np.ascontiguousarray(strided))


VALUES = [
    0, -1, 2**200, -(2**64), 1.5, -0.0, math.nan, math.inf, -math.inf, True, None,
    "\u00fc\ud800", (), (1, (2, "x")), [[], {}],
    {"tuple": [1]}, {"array": "t0"},  # user dicts that look like tags
    {(1, 2): None, 3: "a", None: 1.5, "k": [1]},
    np.float32(1.5), np.int64(-5), np.bool_(True), np.uint8(255), np.complex128(1 + 2j),
    np.datetime64("2024-01-01"), np.longdouble(1) / 3,
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_metadata_values_round_trip(tmp_path, value):
    back = roundtrip(chain(metadata={"v": value}), tmp_path)
    assert same(back.metadata, {"v": value})


def sample_value(kind, i):
    """A value of ``kind`` that is not a field default."""
    candidates = (np.full(2, i, np.float32), {"input": np.array([1, i])}, i + 3, "s", True)
    return next(value for value in candidates if kind.accepts(value))


@pytest.mark.parametrize("name", sorted(ir.NODE_TYPES))
def test_every_node_class_round_trips(tmp_path, name):
    cls = ir.NODE_TYPES[name]
    node = cls(**{field: sample_value(kind, i) for i, (field, kind) in enumerate(FIELD_KINDS[cls].items())})
    back = roundtrip(chain(node), tmp_path).nodes["mid"]
    assert type(back) is cls
    assert same(vars(back), vars(node))


def test_public_names():
    assert set(ir.__all__) == set(ir.NODE_TYPES) | {"Node", "Graph", "read", "write"}
    assert len(ir.NODE_TYPES) == 21
    assert not issubclass(ir.SpikingAffine, ir.Affine)


def test_order_and_duplicate_edges_are_kept(tmp_path):
    names = ["z", "b", "y", "a"]
    nodes = {n: ir.Input() if n == "z" else ir.Output() if n == "a" else ir.Skip() for n in names}
    edges = [("z", "b"), ("y", "a"), ("z", "b"), ("b", "y")]
    meta = {"z": 1, "a": 2, "m": 3}
    back = roundtrip(ir.Graph(nodes, edges, meta), tmp_path)
    assert list(back.nodes) == names and back.edges == edges and list(back.metadata) == list(meta)


@pytest.mark.parametrize("make", [str, os.fsencode, pathlib.Path])
def test_path_types(tmp_path, make):
    path = make(str(tmp_path / "g.o1c"))
    ir.write(path, chain())
    assert list(ir.read(path).nodes) == ["in", "mid", "out"]


# ---------------------------------------------------------------- write refusals

class MyConv(ir.Conv2d):
    pass


def _with_attr(node, name, value):
    setattr(node, name, value)
    return node


@pytest.mark.parametrize("graph, fragment", [
    (chain(MyConv()), "'mid' is a"),
    (chain(ir.Conv2d(weight=np.array([None]))), "dtype object"),
    (chain(ir.Conv2d(weight=np.array(["a"]))), "dtype <U1"),
    (chain(ir.Conv2d(weight=np.zeros(2, "f4,i4"))), "numeric or bool dtype"),
    (chain(metadata={"m": np.zeros(2, "f4,i4")}), "cannot be stored"),
    (chain(metadata={"m": {1, 2}}), "type builtins.set"),
    (chain(ir.Upsample(size=np.ma.array([1]))), "MaskedArray"),
    (chain(_with_attr(ir.Conv2d(), "extra", 1)), "'extra', which is not a Conv2d field"),
    (ir.Graph({"a": ir.Input()}, [("a", "b")]), "unknown node 'b'"),
    (ir.Graph({1: ir.Input()}), "node name 1"),
])
def test_write_refuses_what_would_not_read_back(tmp_path, graph, fragment):
    with pytest.raises(ValueError, match="mid|node|Edge|metadata") as err:
        ir.write(tmp_path / "g.o1c", graph)
    assert fragment in str(err.value)
    assert os.listdir(tmp_path) == []


def _bools(*values):
    return np.array(values, np.uint8).view(np.bool_)


# (node, attribute, fragment of the refusal); every value here is refused by write and, crafted into a file, by read.
MALFORMED = [
    (ir.Conv2d(stride=np.array([1, 1])), "stride", "an integer or a tuple/list of integers, got ndarray"),
    (ir.Conv2d(padding=(1, 1.0)), "padding", "got tuple (1, 1.0)"),
    (ir.MaxPool2d(kernel_size=True), "kernel_size", "got bool True"),
    (ir.Conv2d(groups=np.bool_(True)), "groups", "expected an integer"),
    (ir.LIF(tau=20.0), "tau", "a numeric or bool dtype, got float 20.0"),
    (ir.Affine(weight=np.array(["2024-01-01"], "M8[D]")), "weight", "got ndarray of dtype datetime64[D]"),
    (ir.SpikingAffine(weight_bits=None), "weight_bits", "expected an integer, got NoneType"),
    (ir.SpikingAffine(spike_mode=1), "spike_mode", "expected a str"),
    (ir.Input(input_type={"input": (1, 2)}), "input_type", "1-d integer numpy arrays, got dict"),
    (ir.Output(output_type={"output": np.array([1.0, 2.0])}), "output_type", "1-d integer"),
    (ir.Output(output_type={"output": np.array([[1, 2]])}), "output_type", "1-d integer"),
    (ir.Output(output_type={0: np.array([1, 2])}), "output_type", "str port names"),
    (ir.AvgPool2d(count_include_pad=1), "count_include_pad", "expected a bool"),
    (ir.Upsample(scale_factor="2"), "scale_factor", "a real number or a tuple/list of real numbers"),
    (ir.Upsample(size=2.5), "size", "None, an integer or a tuple/list of integers"),
    (ir.Upsample(align_corners="yes"), "align_corners", "None or a bool"),
    (ir.ChannelSplit(split_sections=[1, None]), "split_sections", "tuple/list of integers"),
    (ir.SDDetect(stride=(8, 8)), "stride", "expected an integer, got tuple"),
    (ir.Conv2d(weight=_bools(0, 2)), "weight", "bool array holds bytes other than 0 and 1"),
]


@pytest.mark.parametrize("node, attribute, fragment", MALFORMED, ids=lambda v: v if isinstance(v, str) else None)
def test_malformed_attributes_are_refused_by_write_and_read(tmp_path, monkeypatch, node, attribute, fragment):
    path = tmp_path / "g.o1c"
    with pytest.raises(ValueError) as err:
        ir.write(path, chain(node))
    assert str(err.value).startswith(f"{path}: node 'mid', attribute '{attribute}': ")
    assert fragment in str(err.value)
    assert os.listdir(tmp_path) == []

    # The same value in a file, written as the encoder stores any value: read refuses it.
    monkeypatch.setattr(_o1c, "attribute_problem", lambda *args: None)
    monkeypatch.setattr(_o1c, "_bad_bytes", lambda arr: None)
    ir.write(path, chain(node))
    monkeypatch.undo()
    with pytest.raises(ValueError) as err:
        ir.read(path)
    assert str(err.value).startswith(f"{path}: node 'mid', attribute '{attribute}': ")


ACCEPTED = [
    ir.Conv2d(stride=np.int64(2), padding=[np.int32(1), 1], dilation=(np.uint8(1), 2), groups=np.int16(1)),
    ir.Affine(weight=np.ones((2, 2), np.longdouble), bias=np.ones(2, np.complex64)),
    ir.LIF(tau=np.ones(3, bool), r=np.array(2.5), v_leak=np.zeros((0, 2), ">f4")),
    ir.Input(input_type={}, output_type={"output": np.array([1, 2], ">u2")}),
    ir.Upsample(scale_factor=(np.float32(1.5), 2), size=[3, 4], align_corners=np.bool_(False)),
    ir.Upsample(scale_factor=np.float16(2), size=np.int8(3), align_corners=True),
    ir.ChannelSplit(split_sections=()),
    ir.SpikingAffine(weight_bits=10**30, spike_mode="rate"),
]


@pytest.mark.parametrize("node", ACCEPTED, ids=lambda node: type(node).__name__)
def test_every_accepted_kind_round_trips(tmp_path, node):
    back = roundtrip(chain(node), tmp_path).nodes["mid"]
    assert same(vars(back), vars(node))


def test_failed_write_keeps_old_file_and_leaves_no_temp(tmp_path):
    path = tmp_path / "g.o1c"
    old_umask = os.umask(0o027)
    try:
        ir.write(path, chain())
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640  # an ordinary new file, not owner-only
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="nested"):
        ir.write(path, chain(metadata={"loop": loop}))
    assert os.listdir(tmp_path) == ["g.o1c"]
    assert type(ir.read(path).nodes["mid"]) is ir.Conv2d


# ---------------------------------------------------------------- graph

@pytest.mark.parametrize("nodes, edges, message", [
    ({"a": ir.Input(), "o": ir.Output()}, [("a",)], "Edge ('a',) is not a (source, destination) pair"),
    ({"a": ir.Input(), "o": ir.Output()}, ["ao"], "Edge 'ao' is not"),
    ({"a": ir.Input(), "o": ir.Output()}, [("a", "b")], "Edge ('a', 'b') references unknown node 'b'"),
    ({"a": ir.Input(), "o": ir.Output()}, [(["x"], "a")], "unknown node ['x']"),
    ({"a": ir.Input(), "o": ir.Output()}, [("a", "a")], "Self-loop on node 'a'"),
    ({"o": ir.Output()}, [], "Graph has no Input node"),
    ({"a": ir.Input()}, [], "Graph has no Output node"),
    ({"a": ir.Input(), "o": ir.Output(), "x": 3}, [], "Node 'x' is not an IR node"),
])
def test_validate_names_the_problem(nodes, edges, message):
    with pytest.raises(ValueError) as err:
        ir.Graph(nodes, edges).validate()
    assert message in str(err.value)


def test_graph_keeps_given_objects_and_views_follow_nodes():
    nodes, edges, meta = {"o2": ir.Output(), "i": ir.Input(), "o1": ir.Output()}, [], {}
    g = ir.Graph(nodes, edges, meta)
    assert g.nodes is nodes and g.edges is edges and g.metadata is meta
    assert list(g.outputs) == ["o2", "o1"] and list(g.inputs) == ["i"]
    nodes["i2"] = ir.Input()
    assert list(g.inputs) == ["i", "i2"]
    g.validate()
    assert "3 nodes" in repr(ir.Graph({"a": 1, "b": 2, "c": 3}))


def test_rx_graph_follows_node_order_and_keeps_duplicates():
    g = ir.Graph({"c": ir.Input(), "a": ir.Skip(), "b": ir.Output()}, [("c", "a"), ("a", "b"), ("c", "a")])
    rx_graph = g._get_rx_graph()
    assert [rx_graph[i] for i in rx_graph.node_indices()] == ["c", "a", "b"]
    assert list(rx_graph.edge_list()) == [(0, 1), (1, 2), (0, 1)]


@pytest.mark.parametrize("edge, fragment", [(("c", "zz"), "unknown node 'zz'"), ("ca", "not a (source")])
def test_rx_graph_rejects_bad_edges(edge, fragment):
    with pytest.raises(ValueError, match=re.escape(fragment)):
        ir.Graph({"c": ir.Input(), "a": ir.Output()}, [("c", "a"), edge])._get_rx_graph()


# ---------------------------------------------------------------- bad files

@pytest.fixture
def good_file(tmp_path):
    path = tmp_path / "good.o1c"
    weight = np.ones((2, 2), ">f4")  # stored as raw bytes, tensor t0
    ir.write(path, chain(ir.Conv2d(weight=weight, bias=np.zeros(2, "f4"))))
    return path


def rewrite_header(path, edit):
    data = path.read_bytes()
    size = int.from_bytes(data[:8], "little")
    header = json.loads(data[8 : 8 + size])
    edit(header)
    raw = json.dumps(header).encode()
    raw += b" " * (-len(raw) % 8)
    path.write_bytes(len(raw).to_bytes(8, "little") + raw + data[8 + size :])


def edit_doc(edit):
    def apply(header):
        doc = json.loads(header["__metadata__"]["ondrel.graph"])
        edit(doc)
        header["__metadata__"]["ondrel.graph"] = json.dumps(doc)
    return apply


def set_key(key, value):
    return lambda header: header["__metadata__"].__setitem__(key, value)


def first_attrs(doc):
    return doc["nodes"][1][2]


TAMPERING = {
    "bad json": (set_key("ondrel.graph", "{nodes"), "not valid JSON"),
    "no marker": (lambda h: h["__metadata__"].pop("ondrel.format"), "no ondrel format marker"),
    "version": (set_key("ondrel.format_version", "9"), "unsupported .o1c format version '9'"),
    "class": (edit_doc(lambda d: d["nodes"][1].__setitem__(1, "os.system")), "unknown class 'os.system'"),
    "attribute": (edit_doc(lambda d: first_attrs(d).__setitem__("kernel", 1)), "Conv2d has no attribute 'kernel'"),
    "missing tensor": (edit_doc(lambda d: first_attrs(d).__setitem__("bias", {"array": "t9"})), "'t9' names no tensor"),
    "size": (edit_doc(lambda d: d["raw"]["t0"].__setitem__(1, [3, 2])), "holds 16 bytes but >f4 (3, 2) needs 24"),
    "huge": (edit_doc(lambda d: d["raw"]["t0"].__setitem__(1, [10**12] * 3)), "holds 16 bytes"),
    "object dtype": (edit_doc(lambda d: d["raw"]["t0"].__setitem__(0, "|O8")), "bad dtype '|O8'"),
    "bare list": (edit_doc(lambda d: first_attrs(d).__setitem__("groups", [1])), "'groups': malformed value [1]"),
    "unknown tag": (edit_doc(lambda d: first_attrs(d).__setitem__("groups", {"eval": "1"})), "unknown value tag 'eval'"),
    "int tag": (edit_doc(lambda d: first_attrs(d).__setitem__("groups", {"int": "1e9"})), "malformed int"),
    "duplicate key": (edit_doc(lambda d: d.__setitem__("metadata", {"dict": [[1, 2], [1, 3]]})), "metadata: duplicate dict key 1"),
    "edge": (edit_doc(lambda d: d["edges"].append(["in"])), "edge ['in'] is not a pair"),
    "dangling": (edit_doc(lambda d: d["edges"].append(["in", "x"])), "unknown node 'x'"),
    "offsets": (lambda h: h["t1"].__setitem__("data_offsets", [0, 10**9]), "data offsets span 1000000000"),
    "entry": (lambda h: h["t1"].__setitem__("extra", 1), "malformed header entry 't1'"),
    "meta strings": (set_key("x", 1), "__metadata__ is not a map of strings"),
    "kind": (edit_doc(lambda d: first_attrs(d).__setitem__("groups", 1.5)), "'groups': expected an integer, got float"),
    "twice": (edit_doc(lambda d: first_attrs(d).__setitem__("bias", {"array": "t0"})), "'t0' is referenced twice"),
}


@pytest.mark.parametrize("case", TAMPERING)
def test_tampered_header_is_rejected(good_file, case):
    edit, fragment = TAMPERING[case]
    rewrite_header(good_file, edit)
    with pytest.raises(ValueError) as err:
        ir.read(good_file)
    assert str(err.value).startswith(str(good_file))
    assert fragment in str(err.value)


@pytest.mark.parametrize("cut", [0, 5, 8, 40, -200, -9, -1])
def test_truncated_file_is_rejected(good_file, cut):
    data = good_file.read_bytes()
    good_file.write_bytes(data[:cut])
    with pytest.raises(ValueError, match="^" + re.escape(str(good_file))):
        ir.read(good_file)


@pytest.mark.parametrize("data", [np.random.default_rng(0).bytes(4096), b"\xff" * 64, b"\x10" + b"\0" * 7 + b"[]" * 8])
def test_garbage_is_rejected(tmp_path, data):
    path = tmp_path / "junk.o1c"
    path.write_bytes(data)
    with pytest.raises(ValueError, match="^" + re.escape(str(path))):
        ir.read(path)


def test_plain_safetensors_and_missing_files(tmp_path):
    plain = tmp_path / "plain.safetensors"
    save_file({"w": np.zeros(3)}, str(plain))
    with pytest.raises(ValueError, match="no ondrel format marker"):
        ir.read(plain)
    with pytest.raises(FileNotFoundError, match="nope.o1c"):
        ir.read(tmp_path / "nope.o1c")


def _special_files(tmp_path):
    fifo = tmp_path / "fifo.o1c"
    os.mkfifo(fifo)  # opening it for reading would block until a writer comes
    return {"a FIFO": fifo, "a directory": tmp_path, "a character device": pathlib.Path(os.devnull)}


@pytest.mark.parametrize("kind", ["a FIFO", "a directory", "a character device"])
def test_special_files_are_refused_without_blocking(tmp_path, kind):
    path = _special_files(tmp_path)[kind]
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: not a regular file \\({kind}\\)$"):
        ir.read(path)


def test_safetensors_reads_our_files_and_we_read_its_files(tmp_path):
    from safetensors import safe_open

    graph = chain(ir.LIF(tau=np.arange(5, dtype=np.float16), r=np.ones(3, ">f8"), v_leak=np.ones((2, 2), np.int64)),
                  {"flags": np.array([True, False])})
    path = tmp_path / "g.o1c"
    ir.write(path, graph)
    with safe_open(str(path), framework="numpy") as handle:
        tensors = {name: handle.get_tensor(name) for name in handle.keys()}
        header = handle.metadata()
    assert sorted(a.tobytes() for a in tensors.values()) == sorted(
        a.tobytes() for a in (graph.nodes["mid"].tau, graph.nodes["mid"].r, graph.nodes["mid"].v_leak,
                              graph.metadata["flags"]))

    again = tmp_path / "again.o1c"  # its own layout: 8-byte aligned header, tensors sorted by name
    save_file(tensors, str(again), metadata=header)
    for mapped in (True, False):
        back = ir.read(again, mmap=mapped)
        assert same(vars(back.nodes["mid"]), vars(graph.nodes["mid"])) and same(back.metadata, graph.metadata)


@pytest.mark.parametrize("hard_links", [True, False])
def test_overwrite_false_never_replaces_a_file(tmp_path, monkeypatch, hard_links):
    if not hard_links:
        def no_link(source, destination):
            raise OSError(errno.EPERM, "Operation not permitted")
        monkeypatch.setattr(os, "link", no_link)
    path = tmp_path / "g.o1c"
    ir.write(path, chain(), overwrite=False)
    with pytest.raises(FileExistsError, match=re.escape(str(path))):
        ir.write(path, chain(ir.Skip()), overwrite=False)
    assert type(ir.read(path).nodes["mid"]) is ir.Conv2d and os.listdir(tmp_path) == ["g.o1c"]
    if hard_links:  # even a file that appears while the new one is written stays
        monkeypatch.setattr(os.path, "lexists", lambda p: False)
        with pytest.raises(FileExistsError, match=re.escape(str(path))):
            ir.write(path, chain(ir.Skip()), overwrite=False)
        assert type(ir.read(path).nodes["mid"]) is ir.Conv2d and os.listdir(tmp_path) == ["g.o1c"]


def test_versions():
    versions = get_versions()
    assert list(versions) == ["ondrel", "ondrel.ir", "ondrel.bridge", "ondrel.viz"]
    assert versions["ondrel"] == versions["ondrel.ir"] == "0.1.0"
