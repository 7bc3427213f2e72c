"""Regenerates the hostile .o1c files next to this script.

    python tests/corpus/make_corpus.py

Each file is a small, deliberately broken container: the reader must refuse
every one with a ValueError naming the file, whatever the service that asks.
"""

import json
import pathlib
import struct

import numpy as np

from ondrel import ir

HERE = pathlib.Path(__file__).parent


def container(header, data=b""):
    """A safetensors-style file: 8-byte little-endian header length, JSON header, data."""
    blob = json.dumps(header).encode() if not isinstance(header, bytes) else header
    return struct.pack("<Q", len(blob)) + blob + data


def graph_header(doc, tensors=None, marker="o1c", version="1"):
    meta = {"ondrel.format": marker, "ondrel.format_version": version, "ondrel.graph": json.dumps(doc)}
    return {"__metadata__": meta, **(tensors or {})}


def empty_doc(**overrides):
    doc = {"nodes": [], "edges": [], "metadata": {"dict": []}, "raw": {}}
    doc.update(overrides)
    return doc


def valid_file_bytes():
    graph = ir.Graph(
        nodes={"in": ir.Input(input_type={"input": np.array([1, 4])}),
               "fc": ir.Affine(weight=np.arange(8, dtype=np.float32).reshape(2, 4)),
               "out": ir.Output()},
        edges=[("in", "fc"), ("fc", "out")],
        metadata={"origin": "corpus"},
    )
    path = HERE / "_valid.tmp"
    ir.write(path, graph)
    data = path.read_bytes()
    path.unlink()
    return data


def cases():
    valid = valid_file_bytes()
    header_len = struct.unpack("<Q", valid[:8])[0]
    header = json.loads(valid[8:8 + header_len])
    body = valid[8 + header_len:]
    doc = json.loads(header["__metadata__"]["ondrel.graph"])
    tensor = next(k for k in header if k != "__metadata__")

    def with_doc(new_doc):
        h = dict(header, __metadata__=dict(header["__metadata__"], **{"ondrel.graph": json.dumps(new_doc)}))
        return container(h, body)

    def with_tensor(**changes):
        h = dict(header, **{tensor: dict(header[tensor], **changes)})
        return container(h, body)

    yield "empty", b""
    yield "short_prefix", b"\x05\x00\x00"
    yield "plain_text", b"this is not a model file at all, just some text\n" * 4
    yield "huge_header_length", struct.pack("<Q", 2**63 - 1) + b"{}"
    yield "header_longer_than_file", struct.pack("<Q", 4096) + b'{"__metadata__": {}}'
    yield "truncated_data", valid[: len(valid) - 5]
    yield "header_not_json", container(b"{this is not json")
    yield "header_not_object", container([1, 2, 3])
    yield "no_marker", container({"__metadata__": {"producer": "someone else"}})
    yield "wrong_version", container(graph_header(empty_doc(), version="99"))
    yield "graph_not_json", container({"__metadata__": {"ondrel.format": "o1c", "ondrel.format_version": "1",
                                                         "ondrel.graph": "{nodes: ["}})
    yield "graph_deeply_nested", container({"__metadata__": {"ondrel.format": "o1c", "ondrel.format_version": "1",
                                                              "ondrel.graph": "[" * 20000 + "]" * 20000}})
    yield "sections_missing", container(graph_header({"nodes": []}))
    yield "unknown_node_class", with_doc(dict(doc, nodes=doc["nodes"] + [["x", "Transformer", {}]]))
    yield "unknown_attribute", with_doc(dict(doc, nodes=[["in", "Input", {"weights": None}]]))
    yield "edge_not_pair", with_doc(dict(doc, edges=[["in", "fc", "out"]]))
    yield "edge_to_unknown_node", with_doc(dict(doc, edges=[["in", "nowhere"]]))
    yield "bad_value_tag", with_doc(dict(doc, metadata={"dict": [["k", {"pickle": "cos\nsystem"}]]}))
    yield "tuple_tag_not_list", with_doc(dict(doc, metadata={"dict": [["k", {"tuple": 5}]]}))
    yield "array_reference_missing", with_doc(dict(doc, metadata={"dict": [["k", {"array": "t999"}]]}))
    yield "raw_dtype_object", with_doc(dict(doc, raw={tensor: ["|O", [1]]}))
    yield "tensor_wrong_dtype", with_tensor(dtype="X99")
    yield "tensor_offsets_past_end", with_tensor(data_offsets=[0, 2**40])
    yield "tensor_offsets_reversed", with_tensor(data_offsets=[8, 0])
    yield "tensor_huge_shape", with_tensor(shape=[2**40, 2**40])
    yield "tensor_shape_mismatch", with_tensor(shape=[3, 3])
    yield "tensor_data_gap", with_tensor(data_offsets=[offset + 8 for offset in header[tensor]["data_offsets"]])
    yield "tensor_referenced_twice", with_doc(dict(doc, metadata={"dict": [["k", {"array": tensor}]]}))
    yield "header_metadata_not_strings", container(dict(header, __metadata__=dict(header["__metadata__"], n=1)), body)
    yield "attribute_wrong_kind", with_doc(dict(doc, nodes=[doc["nodes"][0], ["fc", "Affine", {"weight": 2.5}],
                                                            doc["nodes"][2]]))
    yield "bool_tensor_not_0_or_1", with_tensor(dtype="BOOL", shape=[16])  # the bytes of int64 [1, 4]
    # The next three hold the bytes of float32 [[0, 1, 2, 3], [4, 5, 6, 7]] (the weight is the last tensor).
    weight = max((k for k in header if k != "__metadata__"), key=lambda k: header[k]["data_offsets"])

    def with_weight(new_doc=doc, **changes):
        h = dict(header, **{weight: dict(header[weight], **changes)})
        h["__metadata__"] = dict(h["__metadata__"], **{"ondrel.graph": json.dumps(new_doc)})
        return container(h, body)

    yield "int4_raw_size_mismatch", with_weight(dict(doc, raw={weight: ["I4", [4, 16]]}), dtype="U8", shape=[32])
    yield "bfloat16_shape_mismatch", with_weight(dtype="BF16", shape=[2, 4])
    yield "raw_dtype_bfloat16", with_weight(dict(doc, raw={weight: ["BF16", [2, 8]]}), dtype="U8", shape=[32])


if __name__ == "__main__":
    for name, data in cases():
        (HERE / f"{name}.o1c").write_bytes(data)
        print(f"{name}.o1c  {len(data)} bytes")
