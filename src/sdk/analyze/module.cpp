// ondrel.sdk.analyze: the Python-facing declarations.
#include "sdk/analyze/analyze.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace ondrel::analyze;

NB_MODULE(analyze, m) {
    m.doc() =
        "Graph analysis utilities for ONDREL IR graphs.\n"
        "\n"
        "Provides parameter counting, memory estimation, layer distribution and\n"
        "topological analysis (depth and width) of ONDREL IR graphs.\n"
        "\n"
        "Functions:\n"
        "    analyze_graph(graph) -> GraphStats\n"
        "    analyze_node(name, node) -> LayerStats\n"
        "    summarize(graph, verbose=False) -> str\n"
        "    format_bytes(bytes) -> str\n"
        "    format_number(n) -> str\n"
        "\n"
        "Example:\n"
        "    >>> from ondrel.sdk import analyze_graph, format_bytes, format_number\n"
        "    >>> stats = analyze_graph(\"model.o1c\")\n"
        "    >>> print(f\"Parameters: {format_number(stats.total_params)}\")\n"
        "    Parameters: 235.1K\n"
        "    >>> print(f\"Memory: {format_bytes(stats.total_bytes)}\")\n"
        "    Memory: 918.5 KB\n"
        "    >>> print(stats.lif_count)\n"
        "    >>> for layer in stats.layers:\n"
        "    ...     if layer.params > 0:\n"
        "    ...         print(f\"  {layer.name}: {layer.params:,} params\")\n";

    ondrel::ModuleState<State>::create(m);
    record_rules(m);

    m.def("count_array_params",
          [](nb::handle arr) { auto [count, size] = count_array_params(arr); return nb::make_tuple(count, size); },
          "arr"_a.none(), nb::sig("def count_array_params(arr: numpy.ndarray | None) -> tuple[int, int]"),
          "Count parameters and bytes in an array.\n\n"
          "Returns (element count, byte size); (0, 0) for None.");

    m.def("analyze_node", &analyze_node, "name"_a.none(), "node"_a.none(),
          nb::sig("def analyze_node(name: str, node: typing.Any) -> LayerStats"),
          "Analyze a single node and return its statistics.");

    m.def("analyze_graph", &analyze_graph, "graph"_a.none(),
          nb::sig("def analyze_graph(graph: typing.Any) -> GraphStats"),
          "Analyze a ONDREL IR graph and return comprehensive statistics.\n\n"
          "Args:\n"
          "    graph: ONDREL IR Graph object or path to .o1c file\n\n"
          "Returns:\n"
          "    GraphStats with parameter counts, memory usage, layer distribution, etc.");

    m.def("_total_params", &graph_total_params, "graph"_a.none(), nb::sig("def _total_params(graph: typing.Any) -> int"),
          "analyze_graph(graph).total_params, without building the records (for the linter's size check).");
    m.def("_compute_depth_and_width", &compute_depth_and_width, "graph"_a.none(),
          nb::sig("def _compute_depth_and_width(graph: typing.Any) -> tuple[int | None, int | None]"),
          "Compute depth (longest path) and width (max nodes at same level) in single pass.\n\n"
          "Returns (None, None) for cyclic graphs, since topological depth is\n"
          "undefined in the presence of feedback edges; callers check\n"
          "GraphStats.is_dag. Uses rustworkx for the topological sort and traversal.");

    m.def("_compute_depth", &compute_depth, "graph"_a.none(),
          nb::sig("def _compute_depth(graph: typing.Any) -> int"),
          "Compute the depth (longest path) of the graph.");

    m.def("_compute_width", &compute_width, "graph"_a.none(),
          nb::sig("def _compute_width(graph: typing.Any) -> int"),
          "Compute the width (max nodes at same depth level).");

    m.def("format_bytes", &format_bytes, "b"_a.none(), nb::sig("def format_bytes(b: int) -> str"),
          "Format bytes as human-readable string.");

    m.def("format_number", &format_number, "n"_a.none(), nb::sig("def format_number(n: int) -> str"),
          "Format number with commas and K/M suffix for large numbers.");

    m.def("summarize",
          [](nb::handle graph, nb::handle verbose) { return summarize(graph, ondrel::truthy(verbose)); },
          "graph"_a.none(), "verbose"_a.none() = false,
          nb::sig("def summarize(graph: typing.Any, verbose: bool = False) -> str"),
          "Generate a summary string for a ONDREL IR graph.\n\n"
          "Args:\n"
          "    graph: ONDREL IR Graph or path to .o1c file\n"
          "    verbose: Include per-layer breakdown\n\n"
          "Returns:\n"
          "    Formatted summary string");
}
