"""Mistakes a type checker must flag: each line marked with the error code expected."""

from pathlib import Path

import numpy as np

from ondrel import ir
from ondrel.sdk import LintResult, analyze_graph, compare_graphs, fingerprint_graph, format_bytes, lint_graph

graph = ir.read("model.o1c")
lint_graph("model.o1c")  # E: arg-type
analyze_graph(Path("model.o1c"))  # E: arg-type
format_bytes("1 KB")  # E: arg-type
compare_graphs(graph, graph, atol="x")  # E: arg-type
fingerprint_graph(graph, True, False, True)  # E: call-arg
ir.Affine(weights=np.zeros(3))  # E: call-arg
ir.read(3)  # E: arg-type
LintResult().add_error(code=1, message="m")  # E: arg-type
lint_graph(graph).errors()  # E: operator
analyze_graph(graph).depth + 1  # E: operator
analyze_graph(graph).layers[0].params.upper()  # E: attr-defined
compare_graphs(graph, graph).nodes_added.append(3)  # E: arg-type
