"""Graph analysis utilities for ONDREL IR graphs."""

from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from ondrel import ir

__all__ = ["GraphStats", "LayerStats", "analyze_graph", "analyze_node", "count_array_params", "format_bytes",
           "format_number", "summarize"]

@dataclass
class LayerStats:
    """Statistics for a single layer/node."""

    name: str
    node_type: str
    params: int = 0
    bytes: int = 0
    input_shape: tuple[int, ...] = ()
    output_shape: tuple[int, ...] = ()
    flops: int = 0
    config: dict[str, Any] = field(default_factory=dict)

@dataclass
class GraphStats:
    """Aggregate statistics for a ONDREL IR graph."""

    def _repr_html_(self) -> str: ...  # a compact table, as notebooks display it
    total_params: int = 0
    total_bytes: int = 0
    total_flops: int = 0
    node_count: int = 0
    edge_count: int = 0
    depth: Optional[int] = 0
    width: Optional[int] = 0
    is_dag: bool = True
    type_counts: dict[str, int] = field(default_factory=dict)
    layers: list[LayerStats] = field(default_factory=list)
    input_shapes: list[tuple[int, ...]] = field(default_factory=list)
    output_shapes: list[tuple[int, ...]] = field(default_factory=list)
    memory_breakdown: dict[str, int] = field(default_factory=dict)
    lif_count: int = 0
    affine_count: int = 0
    conv_count: int = 0

def count_array_params(arr: np.ndarray | None) -> tuple[int, int]:
    """Count parameters and bytes in an array."""

def analyze_node(name: str, node: ir.Node) -> LayerStats:
    """Analyze a single node and return its statistics."""

def analyze_graph(graph: ir.Graph | str | bytes) -> GraphStats:
    """Analyze a ONDREL IR graph and return comprehensive statistics."""

def _total_params(graph: ir.Graph | str | bytes) -> int: ...
def _compute_depth_and_width(graph: ir.Graph) -> tuple[Optional[int], Optional[int]]: ...
def _compute_depth(graph: ir.Graph) -> Optional[int]: ...
def _compute_width(graph: ir.Graph) -> Optional[int]: ...
def format_bytes(b: int | float) -> str:
    """Format bytes as human-readable string."""

def format_number(n: int | float) -> str:
    """Format number with commas and K/M suffix for large numbers."""

def summarize(graph: ir.Graph | str | bytes, verbose: bool = False) -> str:
    """Generate a summary string for a ONDREL IR graph."""
