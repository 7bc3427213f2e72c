"""Each parameter tensor of a graph with its dtype and its size at that dtype's bit width.

``LayerStats.bytes`` and ``GraphStats.total_bytes`` are what numpy reports, ``nbytes``:
storage. ml_dtypes keeps int4 and uint4 one element per byte, so their storage is twice
their size at 4 bits. The summary table, its JSON and the report show each tensor's
dtype and its size at the bit width (an int4 ``[4096, 4096]`` tensor: 8,388,608 bytes).
"""

import dataclasses
from typing import Any, Dict, List, NamedTuple, Tuple

import numpy as np

from ondrel.ir._dtypes import element_bits
from ondrel.ir._nodes import Array


class TensorSize(NamedTuple):
    """One parameter array of a node (a named tuple: reports build one per tensor of large graphs)."""

    node: Any  # the node's name
    attribute: str
    dtype: str  # numpy's name for it: "float32", "bfloat16", "int4", ...
    shape: tuple  # of ints
    bits: int  # per element
    bytes: int  # at that bit width, rounded up to whole bytes
    stored_bytes: int  # in memory (nbytes)


_ARRAY_FIELDS: Dict[type, Tuple[str, ...]] = {}  # node type -> names of its array fields
_DTYPES: Dict[int, tuple] = {}  # id of a dtype -> (the dtype, its name, bits per element): hashing a dtype costs more


def _array_fields(node_type):
    found = _ARRAY_FIELDS.get(node_type)
    if found is None:
        found = _ARRAY_FIELDS[node_type] = tuple(
            field.name for field in dataclasses.fields(node_type) if field.type is Array
        ) if dataclasses.is_dataclass(node_type) else ()
    return found


def _dtype_facts(dtype):
    found = _DTYPES.get(id(dtype))
    if found is None or found[0] is not dtype:
        found = _DTYPES[id(dtype)] = (dtype, str(dtype), element_bits(dtype))
    return found[1:]


def array_key(node):
    """What ``node_tensors`` depends on besides the name, cheap to read and hash: nodes with one key have
    tensors alike (a large graph repeats a few kinds of layer)."""
    key = []
    for attribute in _array_fields(type(node)):
        array = getattr(node, attribute, None)
        if isinstance(array, np.ndarray):
            key.append((attribute, id(array.dtype), array.shape))
    return tuple(key)


def node_tensors(name, node) -> List[TensorSize]:
    """The parameter arrays of a node (the array fields of its IR class), in field order."""
    tensors = []
    for attribute in _array_fields(type(node)):
        array = getattr(node, attribute, None)
        if isinstance(array, np.ndarray):
            dtype, bits = _dtype_facts(array.dtype)
            tensors.append(TensorSize(name, attribute, dtype, array.shape, bits, -(-array.size * bits // 8),
                                      array.nbytes))
    return tensors


def graph_tensors(graph) -> List[TensorSize]:
    """The parameter arrays of every node, in node order."""
    return [tensor for name, node in graph.nodes.items() for tensor in node_tensors(name, node)]


def total_bytes(tensors) -> int:
    """The size of ``tensors`` at their bit widths."""
    return sum(tensor.bytes for tensor in tensors)


def dtype_names(tensors) -> str:
    """The dtypes of ``tensors``, each once, in order: "float32", "int4/float32"; "" for none."""
    return "/".join(dict.fromkeys(tensor.dtype for tensor in tensors))
