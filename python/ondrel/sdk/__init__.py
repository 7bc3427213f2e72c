"""The ONDREL SDK services.

Four compiled modules, each imported the first time one of its names is used:

- ``ondrel.sdk.analyze``: statistics of a graph and a text summary
- ``ondrel.sdk.lint``: structural and parameter checks
- ``ondrel.sdk.compare``: structural and numerical diffs
- ``ondrel.sdk.fingerprint``: SHA-256 fingerprints and provenance stamps

and ``ondrel.sdk.shapes`` (port shape inference and its checks, on the compiled ``_shapes``).

    from ondrel.sdk import analyze_graph, lint_graph, compare_graphs, fingerprint_graph
"""

import importlib

_EXPORTS = {
    "analyze": (
        "GraphStats", "LayerStats", "analyze_graph", "analyze_node", "count_array_params",
        "format_bytes", "format_number", "summarize",
    ),
    "lint": ("LintIssue", "LintResult", "Severity", "lint_graph"),
    "compare": ("GraphDiff", "NodeDiff", "assert_graphs_equal", "compare_arrays", "compare_graphs", "compare_nodes"),
    "fingerprint": ("fingerprint_graph", "fingerprint_graph_dual", "get_stamp", "stamp_graph", "verify_fingerprint"),
    "shapes": ("check_shapes", "fill_shapes", "infer_shapes"),
}
_MODULE_OF = {name: module for module, names in _EXPORTS.items() for name in names}

__all__ = sorted(_MODULE_OF)


def __getattr__(name):
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
