// ondrel.sdk.analyze: the Python-facing declarations.
#include "ir_interface/host_function.hpp"
#include "sdk/analyze/analyze.hpp"

namespace nb = nanobind;
using namespace ondrel::analyze;
using ondrel::define_function;

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

    State& analysis = ondrel::ModuleState<State>::create(m);
    record_rules(m);
    ondrel::record_ir_fields(m);

    define_function<[](nb::handle arr) {
        auto [count, size] = count_array_params(arr);
        return nb::make_tuple(count, size);
    }>(m, "count_array_params", {"arr"},
       "Count parameters and bytes in an array.\n\n"
       "Returns (element count, byte size); (0, 0) for None.");

    define_function<analyze_node>(m, "analyze_node", {"name", "node"},
                                  "Analyze a single node and return its statistics.");

    define_function<analyze_graph>(m, "analyze_graph", {"graph"},
                                   "Analyze a ONDREL IR graph and return comprehensive statistics.\n\n"
                                   "Args:\n"
                                   "    graph: ONDREL IR Graph object or path to .o1c file\n\n"
                                   "Returns:\n"
                                   "    GraphStats with parameter counts, memory usage, layer distribution, etc.");

    define_function<graph_total_params>(
        m, "_total_params", {"graph"},
        "analyze_graph(graph).total_params, without building the records (for the linter's size check\n"
        "on graphs it reads through the host).");
    define_function<compute_depth_and_width>(
        m, "_compute_depth_and_width", {"graph"},
        "Compute depth (longest path) and width (max nodes at same level) in single pass.\n\n"
        "Returns (None, None) for cyclic graphs, since topological depth is\n"
        "undefined in the presence of feedback edges; callers check\n"
        "GraphStats.is_dag. Uses rustworkx for the topological sort and traversal.");
    analysis.remember_measures();
    define_function<compute_depth>(m, "_compute_depth", {"graph"}, "Compute the depth (longest path) of the graph.");
    define_function<compute_width>(m, "_compute_width", {"graph"},
                                   "Compute the width (max nodes at same depth level).");

    define_function<format_bytes>(m, "format_bytes", {"b"}, "Format bytes as human-readable string.");
    define_function<format_number>(m, "format_number", {"n"},
                                   "Format number with commas and K/M suffix for large numbers.");

    define_function<[](nb::handle graph, nb::handle verbose) { return summarize(graph, ondrel::truthy(verbose)); }>(
        m, "summarize", {"graph", {"verbose", false}},
        "Generate a summary string for a ONDREL IR graph.\n\n"
        "Args:\n"
        "    graph: ONDREL IR Graph or path to .o1c file\n"
        "    verbose: Include per-layer breakdown\n\n"
        "Returns:\n"
        "    Formatted summary string");

    ondrel::set_public_names(m, {"GraphStats", "LayerStats", "analyze_graph", "analyze_node", "count_array_params",
                                 "format_bytes", "format_number", "summarize"});
    // Notebook displays (_repr_html_) are written in Python, beside the other views.
    nb::module_::import_("ondrel.sdk.notebook").attr("install")(m);
}
