"""Graph fingerprinting and provenance for ONDREL IR."""

from collections.abc import Callable
from typing import Any, Optional, Protocol

from ondrel import ir

__all__ = ["fingerprint_graph", "fingerprint_graph_dual", "get_stamp", "stamp_graph", "verify_fingerprint"]

class _Hasher(Protocol):
    def update(self, data: bytes, /) -> None: ...

def fingerprint_graph(graph: ir.Graph, include_weights: bool = True, include_metadata: bool = False) -> str:
    """Generate a deterministic fingerprint (hash) of a graph."""

def fingerprint_graph_dual(graph: ir.Graph, include_metadata: bool = False) -> tuple[str, str]:
    """Generate both structure-only and full fingerprints in a single pass."""

def _fingerprint_graph_progress(graph: ir.Graph, include_weights: bool, include_metadata: bool,
                                progress: Callable[[int], object]) -> str: ...
def verify_fingerprint(graph: ir.Graph, expected_hash: str, include_weights: bool = True) -> bool:
    """Verify a graph matches an expected fingerprint."""

def _hash_graph(graph: ir.Graph, hasher: _Hasher, include_weights: bool = True) -> None: ...
def _hash_node_structure(node_name: str, node: ir.Node, hasher: _Hasher) -> None: ...
def _hash_node_weights(node: ir.Node, hasher: _Hasher) -> None: ...
def stamp_graph(graph: ir.Graph, notes: Optional[str] = None, git_commit: Optional[str] = None,
                training_run_id: Optional[str] = None, calibration_config: Optional[dict[str, Any]] = None,
                quantization_config: Optional[dict[str, Any]] = None) -> ir.Graph:
    """Add provenance metadata to a graph."""

def get_stamp(graph: ir.Graph) -> Optional[dict[str, Any]]:
    """Extract provenance stamp from a graph's metadata."""
