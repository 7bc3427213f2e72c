"""Graph comparison utilities for ONDREL IR graphs."""

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from ondrel import ir

__all__ = ["GraphDiff", "NodeDiff", "assert_graphs_equal", "compare_arrays", "compare_graphs", "compare_nodes"]

@dataclass
class NodeDiff:
    """Difference in a single node between two graphs."""

    name: str
    status: str
    changes: list[str] = field(default_factory=list)
    weight_diff: Optional[float] = None
    shape_diff: Optional[dict[str, Any]] = None

@dataclass
class GraphDiff:
    """Complete diff between two ONDREL IR graphs."""

    def _repr_html_(self) -> str: ...  # a compact table, as notebooks display it
    identical: bool = True
    structural_match: bool = True
    numerical_match: bool = True
    nodes_added: list[str] = field(default_factory=list)
    nodes_removed: list[str] = field(default_factory=list)
    nodes_modified: list[str] = field(default_factory=list)
    nodes_unchanged: list[str] = field(default_factory=list)
    edges_added: list[tuple[str, str]] = field(default_factory=list)
    edges_removed: list[tuple[str, str]] = field(default_factory=list)
    max_weight_diff: float = 0.0
    mean_weight_diff: float = 0.0
    node_diffs: list[NodeDiff] = field(default_factory=list)
    summary: str = ""

def compare_arrays(a: np.ndarray | None, b: np.ndarray | None, atol: float = 1e-06,
                   rtol: float = 1e-05) -> tuple[bool, float]:
    """Compare two arrays and return (match, max_diff)."""

def _array_statistics(
    a: np.ndarray, b: np.ndarray, atol: float, rtol: float
) -> tuple[int, int, float | None, int | None, float | None, int | None, int, int, int, int] | None: ...
def compare_nodes(name: str, node_a: ir.Node, node_b: ir.Node, atol: float = 1e-06, rtol: float = 1e-05) -> NodeDiff:
    """Compare two nodes and return their differences."""

def compare_graphs(graph_a: ir.Graph | str | bytes, graph_b: ir.Graph | str | bytes, atol: float = 1e-06,
                   rtol: float = 1e-05) -> GraphDiff:
    """Compare two ONDREL IR graphs and return detailed differences."""

def _compare_graphs_progress(graph_a: ir.Graph | str | bytes, graph_b: ir.Graph | str | bytes, atol: float,
                             rtol: float, progress: Callable[[int], object]) -> GraphDiff: ...
def _generate_summary(diff: GraphDiff) -> str: ...
def assert_graphs_equal(graph_a: ir.Graph | str | bytes, graph_b: ir.Graph | str | bytes, atol: float = 1e-06,
                        rtol: float = 1e-05, check_weights: bool = True) -> None:
    """Assert that two graphs are equal, raising AssertionError if not."""
