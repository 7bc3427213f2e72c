"""Models read in place: mapped and in-memory reads agree, reading touches no
tensor bytes, mapped arrays are private copies on write and outlive a
rewrite of their file."""

import errno
import json
import os

import numpy as np
import pytest
from conftest import mlp

from ondrel import ir
from ondrel.sdk import compare_graphs, fingerprint_graph_dual

MB = 2**20


def arrays_of(graph):
    """Every array of the graph's nodes, in node and field order."""
    found = []
    for node in graph.nodes.values():
        for value in vars(node).values():
            found += list(value.values()) if isinstance(value, dict) else [value]
    return [value for value in found if isinstance(value, np.ndarray)]


def memory_in_use():
    """Anonymous plus file-backed resident memory of this process, in bytes."""
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return sum(int(fields[key].split()[0]) * 1024 for key in ("RssAnon", "RssFile"))


@pytest.fixture
def model(tmp_path):
    graph = mlp(hidden=64, features=300)
    graph.nodes["fc"].weight = graph.nodes["fc"].weight.astype(">f4")  # stored as raw bytes
    graph.nodes["lif"].r = np.arange(64, dtype=np.longdouble)
    path = tmp_path / "model.o1c"
    ir.write(path, graph)
    return path, graph


def test_mapped_and_in_memory_reads_agree(model):
    path, graph = model
    mapped, loaded = ir.read(path), ir.read(path, mmap=False)
    assert fingerprint_graph_dual(mapped) == fingerprint_graph_dual(loaded) == fingerprint_graph_dual(graph)
    assert compare_graphs(mapped, loaded).identical and compare_graphs(graph, mapped).identical
    pairs = list(zip(arrays_of(mapped), arrays_of(loaded)))
    assert len(pairs) == 14
    for in_place, own in pairs:
        assert in_place.dtype == own.dtype and in_place.tobytes() == own.tobytes()
        assert not in_place.flags.owndata and in_place.flags.aligned and in_place.flags.writeable
        assert own.flags.owndata and own.flags.writeable


def test_files_that_cannot_be_mapped_are_read_into_memory(model, monkeypatch):
    from ondrel.ir import _o1c

    def cannot_map(*args, **kwargs):
        raise OSError(errno.ENODEV, os.strerror(errno.ENODEV))

    path, graph = model
    monkeypatch.setattr(_o1c._mmap, "mmap", cannot_map)
    loaded = ir.read(path)
    assert all(array.flags.owndata for array in arrays_of(loaded))
    assert fingerprint_graph_dual(loaded) == fingerprint_graph_dual(graph)


def test_in_memory_graph_survives_its_file(model):
    path, graph = model
    loaded = ir.read(path, mmap=False)
    with open(path, "r+b") as fh:  # rewritten in place, then removed
        fh.write(b"\0" * os.path.getsize(path))
    os.unlink(path)
    assert fingerprint_graph_dual(loaded) == fingerprint_graph_dual(graph)


def test_mapped_arrays_are_private_copies_on_write(model):
    path, graph = model
    before = path.read_bytes()
    weight = ir.read(path).nodes["fc"].weight
    weight[:] = 0
    assert not weight.any() and path.read_bytes() == before
    assert np.array_equal(ir.read(path).nodes["fc"].weight, graph.nodes["fc"].weight)


@pytest.mark.parametrize("replacement", ["another graph", "the mapped graph itself"])
def test_rewriting_a_file_leaves_earlier_maps_intact(model, replacement):
    path, graph = model
    mapped = ir.read(path)
    expected = fingerprint_graph_dual(mapped)
    new = mlp(hidden=8, features=3, seed=5) if replacement == "another graph" else mapped
    ir.write(path, new)
    assert fingerprint_graph_dual(mapped) == expected
    assert fingerprint_graph_dual(ir.read(path)) == fingerprint_graph_dual(new)


def test_reading_does_not_read_tensor_bytes(tmp_path):
    """A 1 GiB tensor in a sparse file: reading it maps the hole, touching none of it."""
    path = tmp_path / "sparse.o1c"
    ir.write(path, ir.Graph({"in": ir.Input(), "fc": ir.Affine(weight=np.zeros((1, 4), np.float32)),
                             "out": ir.Output()}, [("in", "fc"), ("fc", "out")]))
    data = path.read_bytes()
    header = json.loads(data[8 : 8 + int.from_bytes(data[:8], "little")])
    rows = 2**30 // 16
    header["t0"] = {"dtype": "F32", "shape": [rows, 4], "data_offsets": [0, 2**30]}
    text = json.dumps(header).encode()
    text += b" " * (-(8 + len(text)) % 64)
    with open(path, "wb") as fh:
        fh.write(len(text).to_bytes(8, "little") + text)
        fh.truncate(8 + len(text) + 2**30)
    before = memory_in_use()
    weight = ir.read(path).nodes["fc"].weight
    assert weight.shape == (rows, 4)
    assert memory_in_use() - before < 64 * MB


def progress_graph(shift=0.0):
    """A 40 MiB weight, a strided 20 MiB one and a small one the native kernels do not read."""
    weight = np.arange(10 * 2**20, dtype=np.float32).reshape(10, 2**20) + np.float32(shift)
    graph = mlp(hidden=10, features=2**20)
    graph.nodes["fc"].weight = weight
    graph.nodes["lif"].tau = weight[:, ::2]
    graph.nodes["wide"] = ir.Affine(weight=np.arange(1000, dtype=">f4") + np.float32(shift))
    return graph


def parameter_bytes(graph):
    return sum(v.nbytes for node in graph.nodes.values() for v in vars(node).values() if isinstance(v, np.ndarray))


@pytest.mark.parametrize("include_weights", [True, False])
def test_fingerprint_progress_counts_every_parameter_byte(include_weights):
    from ondrel.sdk.fingerprint import _fingerprint_graph_progress, fingerprint_graph

    graph, calls = progress_graph(), []
    digest = _fingerprint_graph_progress(graph, include_weights, True, calls.append)
    assert digest == fingerprint_graph(graph, include_weights=include_weights, include_metadata=True)
    assert sum(calls) == (parameter_bytes(graph) if include_weights else 0)
    assert max(calls[:-1], default=0) <= 16 * MB and len(calls) == sum(calls) // (16 * MB) + 1


def test_compare_progress_counts_both_arrays_of_each_pair():
    from ondrel.sdk.compare import _compare_graphs_progress, compare_graphs

    a, b, calls = progress_graph(), progress_graph(shift=0.5), []
    diff = _compare_graphs_progress(a, b, 1e-6, 1e-5, calls.append)
    assert diff == compare_graphs(a, b) and diff.nodes_modified == ["fc", "lif", "wide"]
    assert sum(calls) == parameter_bytes(a) + parameter_bytes(b)
    assert max(calls[:-1]) <= 16 * MB and len(calls) == sum(calls) // (16 * MB) + 1
    with pytest.raises(TypeError, match="progress must be callable"):
        _compare_graphs_progress(a, b, 1e-6, 1e-5, None)
