"""The report's own provider: each node's parameter tensors with their dtypes and their sizes at the
dtypes' bit widths (int4 at 4 bits, whatever its storage; see ``ondrel.sdk.tensor_sizes``)."""

from ..analyze import format_bytes
from ..tensor_sizes import array_key, dtype_names, node_tensors, total_bytes
from .contributions import Column, Contribution
from .page import display_value


def tensor_text(tensor):
    """"weight int4 (4096, 4096), 8.0 MB at 4 bits (16.0 MB stored)"; the storage only where it differs."""
    size = format_bytes(tensor.bytes)
    if tensor.bytes != tensor.stored_bytes:
        size += f" at {tensor.bits} bits ({format_bytes(tensor.stored_bytes)} stored)"
    return f"{tensor.attribute} {tensor.dtype} {display_value(tensor.shape)}, {size}"


def tensors_provider(graph, scene):
    """Columns Dtype, Memory at bit width and Tensors; the total at the bit widths where it is not the storage."""
    described = {}  # array key -> (dtypes, size, stored size, text): nodes of one kind are described once

    def describe(name):
        node = graph.nodes[name]
        key = array_key(node)
        found = described.get(key)
        if found is None:
            tensors = node_tensors(name, node)
            found = described[key] = (dtype_names(tensors) or None, total_bytes(tensors) if tensors else None,
                                      sum(tensor.stored_bytes for tensor in tensors),
                                      "; ".join(map(tensor_text, tensors)) or None)
        return found

    rows = [describe(node.name) for node in scene.nodes]
    if not any(row[0] for row in rows):
        return None
    size, stored = sum(row[1] or 0 for row in rows), sum(row[2] for row in rows)
    return Contribution(
        title="Tensors",
        columns=[Column("Dtype", [row[0] for row in rows]),
                 Column("Memory at bit width", [row[1] for row in rows], numeric=True, text=format_bytes),
                 Column("Tensors", [row[3] for row in rows])],
        totals=[("Memory at bit widths", f"{format_bytes(size)} ({format_bytes(stored)} stored)")]
        if size != stored else [])
