"""Shared builders: small graphs in a few lines."""

import numpy as np
import pytest

from ondrel import ir
from ondrel.sdk.examples import ports, shape  # noqa: F401  (the builders the tests share)


def rand(*dims, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).standard_normal(dims).astype(dtype)


def chain(*named_nodes, metadata=None):
    """A graph whose nodes are connected in the order given: chain(("in", node), ...)."""
    nodes = dict(named_nodes)
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])), metadata=metadata)


def mlp(hidden=10, features=784, seed=0):
    """Input -> Affine -> LIF -> Output, every port shaped."""
    return chain(
        ("in", ir.Input(**ports((1, features), (1, features)))),
        ("fc", ir.Affine(weight=rand(hidden, features, seed=seed), bias=rand(hidden, seed=seed + 1),
                         **ports((1, features), (1, hidden)))),
        ("lif", ir.LIF(tau=np.full(hidden, 20.0, np.float32), r=np.ones(hidden, np.float32),
                       v_leak=np.zeros(hidden, np.float32), v_threshold=np.ones(hidden, np.float32),
                       **ports((1, hidden), (1, hidden)))),
        ("out", ir.Output(**ports((1, hidden), (1, hidden)))),
    )


@pytest.fixture
def small_mlp():
    return mlp()


SAFETENSORS_DTYPES = {"|b1": "BOOL", "|u1": "U8", "<i8": "I64", "<f4": "F32"}


def craft_o1c(path, nodes, edges=(), tensors=None, raw=None, metadata=None):
    """Write an .o1c file by hand, bypassing every check of ir.write, as a crafted file would.

    ``nodes`` are [name, class name, attributes] in the file's tagged encoding
    (arrays as {"array": "t0"}), ``tensors`` maps tensor names to arrays.
    """
    import json
    import struct

    tensors = tensors or {}
    header, offset, data = {}, 0, b""
    for name, array in tensors.items():
        blob = np.ascontiguousarray(array).tobytes()
        header[name] = {"dtype": SAFETENSORS_DTYPES[array.dtype.str], "shape": list(array.shape),
                        "data_offsets": [offset, offset + len(blob)]}
        offset += len(blob)
        data += blob
    doc = {"nodes": nodes, "edges": [list(edge) for edge in edges], "metadata": metadata or {"dict": []},
           "raw": raw or {}}
    header["__metadata__"] = {"ondrel.format": "o1c", "ondrel.format_version": "1", "ondrel.graph": json.dumps(doc)}
    text = json.dumps(header).encode()
    with open(path, "wb") as handle:
        handle.write(struct.pack("<Q", len(text)) + text + data)
