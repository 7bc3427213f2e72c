"""Per-node deployment figures of ONDREL IR graphs (the public API is ondrel.sdk.deployment)."""

from typing import Any

__all__: list[str] = []

def _figures(graph: Any) -> dict[str, Any]:
    """The deployment figures of every node of an IR graph object, as columns:
    {'names', 'kinds', 'neurons', 'param_bits': lists in node order,
     'weighted': {position: (synapses, synapses reading the input, outputs, inputs, fan-in max,
                  fan-out max, weight bits, non-zero synapses, note, spike sources or None)},
     'host_counts': [(position, weight, per-tap output positions or None)]}."""

def _port_shapes(graph: Any) -> dict[Any, tuple[tuple[int, ...] | None, tuple[int, ...] | None]]:
    """Every node's port shapes as deployment figures read them: {name: (input, output)}, each a tuple
    of int or None: inferred, else declared, else declared at the other end of an edge."""
