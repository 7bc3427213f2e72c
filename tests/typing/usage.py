"""Typical use of the SDK from Python: type-checks without errors (and runs)."""

from pathlib import Path
from typing import Any, Optional

import numpy as np

from ondrel import ir
from ondrel.sdk import (
    GraphStats,
    LintResult,
    Severity,
    analyze_graph,
    analyze_node,
    assert_graphs_equal,
    compare_arrays,
    compare_graphs,
    count_array_params,
    fingerprint_graph,
    fingerprint_graph_dual,
    format_bytes,
    format_number,
    get_stamp,
    lint_graph,
    stamp_graph,
    summarize,
    verify_fingerprint,
)
from ondrel.sdk.signing import (Change, SignedModel, VerificationResult, embed_signature, generate_key, key_id,
                                sign_file, sign_graph, verify_signature)
from ondrel.sdk.testing import array_statistics, assert_graphs_close, assert_lint_clean

weight = np.zeros((4, 8), np.float32)
graph = ir.Graph(
    nodes={
        "in": ir.Input(output_type={"output": np.array([8])}),
        "fc": ir.Affine(weight=weight, bias=np.zeros(4, np.float32), output_type={"output": np.array([4])}),
        "lif": ir.LIF(tau=np.full(4, 10.0, np.float32), v_threshold=np.ones(4, np.float32),
                      output_type={"output": np.array([4])}),
        "out": ir.Output(input_type={"input": np.array([4])}),
    },
    edges=[("in", "fc"), ("fc", "lif"), ("lif", "out")],
)
graph.validate()
ir.write(Path("usage.o1c"), graph)
loaded: ir.Graph = ir.read("usage.o1c", mmap=False)
inputs: dict[str, ir.Input] = loaded.inputs

stats: GraphStats = analyze_graph("usage.o1c")
total: int = stats.total_params + stats.total_bytes
depth: Optional[int] = stats.depth
counts: dict[str, int] = stats.type_counts
for layer in stats.layers:
    shape: tuple[int, ...] = layer.output_shape
    line = f"{layer.name}: {format_number(layer.params)} params, {format_bytes(layer.bytes)}"
single = analyze_node("fc", graph.nodes["fc"])
elements, size = count_array_params(weight)
text: str = summarize(graph, verbose=True)

result: LintResult = lint_graph(graph, strict=True)
valid: bool = result.is_valid
for issue in result.errors + result.warnings + result.infos:
    severity: Severity = issue.severity
    where: Optional[str] = issue.node
report: dict[str, Any] = result.to_dict()
result.add_warning("CUSTOM", "a finding of our own", node="fc")

diff = compare_graphs(graph, loaded, atol=1e-5, rtol=1e-4)
added: list[tuple[str, str]] = diff.edges_added
for node_diff in diff.node_diffs:
    changes: list[str] = node_diff.changes
    worst: Optional[float] = node_diff.weight_diff
match, max_diff = compare_arrays(weight, weight + 1e-7)
assert_graphs_equal(graph, loaded, check_weights=True)

digest: str = fingerprint_graph(graph, include_weights=False)
structure, full = fingerprint_graph_dual(graph)
stamped: ir.Graph = stamp_graph(graph, notes="release", calibration_config={"samples": 128})
stamp = get_stamp(stamped)
if stamp is not None:
    assert verify_fingerprint(stamped, stamp["fingerprint_full"])

statistics = array_statistics(weight, weight, atol=1e-6, rtol=1e-5)
assert_graphs_close(graph, loaded)
assert_lint_clean(loaded)

signing_key = generate_key("p256")
signed: SignedModel = sign_file("usage.o1c", signing_key)
checked: VerificationResult = verify_signature("usage.o1c", [signing_key.public_key()], signature=signed.bundle)
assert checked.verified and checked.key_id == key_id(signing_key.public_key())
signed_changes: list[Change] = checked.changes
with_signature: ir.Graph = embed_signature(graph, sign_graph(graph, signing_key, "usage.o1c"))
