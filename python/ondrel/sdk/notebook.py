"""How notebooks display the services' results: ``_repr_html_`` of ``GraphStats``, ``LintResult``
and ``GraphDiff`` as compact tables (their ``repr`` and fields stay as they are).

The compiled modules call ``install`` with themselves when they are imported.
"""

from .._tables import html_table, port_text


def _shape(shape):
    return port_text({"port": shape}) if shape else ""


# Each is the method of its record type, so its parameter is ``self``.


def graph_stats_html(self):
    stats = self
    depth = "n/a (cyclic)" if stats.depth is None else stats.depth
    totals = html_table("GraphStats", ("parameters", "bytes", "FLOPs", "nodes", "edges", "depth", "width"),
                        [(f"{stats.total_params:,}", f"{stats.total_bytes:,}", f"{stats.total_flops:,}",
                          stats.node_count, stats.edge_count, depth,
                          "n/a" if stats.width is None else stats.width)])
    layers = html_table(f"{len(stats.layers)} layers", ("layer", "type", "parameters", "output", "FLOPs"),
                        [(layer.name, layer.node_type, f"{layer.params:,}", _shape(layer.output_shape),
                          f"{layer.flops:,}") for layer in stats.layers])
    return totals + layers


def lint_result_html(self):
    issues = self.issues
    counts = {severity: sum(issue.severity.value == severity for issue in issues)
              for severity in ("error", "warning", "info")}
    caption = "LintResult: " + ", ".join(f"{count} {name}{'' if count == 1 else 's'}"
                                         for name, count in counts.items())
    return html_table(caption, ("severity", "code", "node", "message", "suggestion"),
                      [(issue.severity.value, issue.code, "" if issue.node is None else issue.node, issue.message,
                        issue.suggestion or "") for issue in issues])


def graph_diff_html(self):
    diff = self
    state = "identical" if diff.identical else "structure matches" if diff.structural_match else "structure differs"
    rows = [*(("+ node", name, "") for name in diff.nodes_added),
            *(("- node", name, "") for name in diff.nodes_removed),
            *(("+ edge", f"{a} -> {b}", "") for a, b in diff.edges_added),
            *(("- edge", f"{a} -> {b}", "") for a, b in diff.edges_removed),
            *(("~ node", node.name, "; ".join(node.changes)) for node in diff.node_diffs
              if node.status == "modified")]
    return html_table(f"GraphDiff: {state}", ("change", "what", "details"), rows)


_DISPLAYS = {"GraphStats": graph_stats_html, "LintResult": lint_result_html, "GraphDiff": graph_diff_html}


def install(module):
    """Give the result types of a compiled service ``module`` their ``_repr_html_``."""
    for name, display in _DISPLAYS.items():
        kind = getattr(module, name, None)
        if kind is not None:
            kind._repr_html_ = display
