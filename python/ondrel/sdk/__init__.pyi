# The names that ondrel.sdk exports lazily from its four compiled modules.
from .analyze import GraphStats as GraphStats
from .analyze import LayerStats as LayerStats
from .analyze import analyze_graph as analyze_graph
from .analyze import analyze_node as analyze_node
from .analyze import count_array_params as count_array_params
from .analyze import format_bytes as format_bytes
from .analyze import format_number as format_number
from .analyze import summarize as summarize
from .compare import GraphDiff as GraphDiff
from .compare import NodeDiff as NodeDiff
from .compare import assert_graphs_equal as assert_graphs_equal
from .compare import compare_arrays as compare_arrays
from .compare import compare_graphs as compare_graphs
from .compare import compare_nodes as compare_nodes
from .fingerprint import fingerprint_graph as fingerprint_graph
from .fingerprint import fingerprint_graph_dual as fingerprint_graph_dual
from .fingerprint import get_stamp as get_stamp
from .fingerprint import stamp_graph as stamp_graph
from .fingerprint import verify_fingerprint as verify_fingerprint
from .lint import LintIssue as LintIssue
from .lint import LintResult as LintResult
from .lint import Severity as Severity
from .lint import lint_graph as lint_graph
from .shapes import check_shapes as check_shapes
from .shapes import fill_shapes as fill_shapes
from .shapes import infer_shapes as infer_shapes

__all__ = [
    "GraphDiff", "GraphStats", "LayerStats", "LintIssue", "LintResult", "NodeDiff", "Severity", "analyze_graph",
    "analyze_node", "assert_graphs_equal", "check_shapes", "compare_arrays", "compare_graphs", "compare_nodes",
    "count_array_params", "fill_shapes", "fingerprint_graph", "fingerprint_graph_dual", "format_bytes", "format_number",
    "get_stamp", "infer_shapes", "lint_graph", "stamp_graph", "summarize", "verify_fingerprint",
]
