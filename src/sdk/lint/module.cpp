// ondrel.sdk.lint: the Python-facing declarations.
#include "sdk/lint/lint.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace ondrel::lint;

NB_MODULE(lint, m) {
    m.doc() =
        "Graph linting and validation for ONDREL IR.\n"
        "\n"
        "Checks a graph for structural problems (nodes cut off from the inputs or\n"
        "outputs, several outputs), suspicious layer parameters (LIF time constants\n"
        "and thresholds, block and detection-head strides, weight bit widths), skip\n"
        "nodes with the wrong number of inputs, naming, model size and missing\n"
        "output shapes. Findings are issues of three severities, never exceptions.\n"
        "\n"
        "Example:\n"
        "    >>> from ondrel.sdk import lint_graph, Severity\n"
        "    >>> result = lint_graph(graph)\n"
        "    >>> if not result.is_valid:\n"
        "    ...     for issue in result.errors:\n"
        "    ...         print(f\"{issue.code}: {issue.message}\")\n"
        "    >>> lint_graph(graph, strict=True).is_valid  # warnings count as errors\n";

    State& lint = ondrel::ModuleState<State>::create(m);

    nb::object result_class = ondrel::define_host_class(
        m, "LintResult", "()",
        "Result of linting a graph.\n\n"
        "    Issues are stored in a flat list and categorized by severity on access.\n"
        "    Cached category lists are invalidated when new issues are added.\n    ",
        {
            {"__init__", result_methods::init, "__init__($self, /)\n--\n\n"},
            {"add_error", result_methods::add_error,
             "add_error($self, /, code, message, node=None, suggestion=None)\n--\n\nAdd an error."},
            {"add_warning", result_methods::add_warning,
             "add_warning($self, /, code, message, node=None, suggestion=None)\n--\n\nAdd a warning."},
            {"add_info", result_methods::add_info,
             "add_info($self, /, code, message, node=None, suggestion=None)\n--\n\nAdd an info message."},
            {"to_dict", result_methods::to_dict, "to_dict($self, /)\n--\n\nConvert to JSON-serializable dict."},
            {"_invalidate_cache", result_methods::invalidate_cache, "_invalidate_cache($self, /)\n--\n\n"},
            {"_rebuild_cache", result_methods::rebuild_cache, "_rebuild_cache($self, /)\n--\n\n"},
        },
        {
            {"errors", result_methods::errors,
             "errors($self, /)\n--\n\nGet all errors. Cached -- O(1) after first access."},
            {"warnings", result_methods::warnings,
             "warnings($self, /)\n--\n\nGet all warnings. Cached -- O(1) after first access."},
            {"infos", result_methods::infos,
             "infos($self, /)\n--\n\nGet all info messages. Cached -- O(1) after first access."},
            {"is_valid", result_methods::is_valid,
             "is_valid($self, /)\n--\n\nCheck if graph has no errors (warnings are OK)."},
        });
    lint.remember_result_class(result_class);
    record_rules(m);

    m.def(
        "lint_graph", [](nb::handle graph, nb::handle strict) { return lint_graph(graph, ondrel::truthy(strict)); },
        "graph"_a.none(), "strict"_a.none() = false,
        nb::sig("def lint_graph(graph: ir.Graph, strict: bool = False) -> LintResult"),
        "Lint a ONDREL IR graph for common issues.\n\n"
        "Checks:\n"
        "- Basic structure (dangling edges, self-loops, missing I/O)\n"
        "- Unreachable nodes (disconnected from Input/Output)\n"
        "- Multiple outputs without clear semantics\n"
        "- Missing shapes on computational nodes\n"
        "- Suspicious LIF parameters (tau, threshold)\n"
        "- Skip node issues (wrong number of inputs for merge type)\n"
        "- Naming conventions\n"
        "- Large parameter counts\n\n"
        "Args:\n"
        "    graph: Graph to lint\n"
        "    strict: If True, treat warnings as errors\n\n"
        "Returns:\n"
        "    LintResult with all detected issues");

    m.def("_check_reachability", &check_reachability, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_reachability(graph: ir.Graph, result: LintResult) -> None"),
          "Check for unreachable nodes.\n\nUses collections.deque for O(1) popleft instead of O(n) list.pop(0).");

    m.def("_check_multiple_outputs", &check_multiple_outputs, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_multiple_outputs(graph: ir.Graph, result: LintResult) -> None"),
          "Check for multiple output nodes (not necessarily an error).");

    m.def("_check_node_parameters", &check_node_parameters, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_node_parameters(graph: ir.Graph, result: LintResult) -> None"),
          "Check node-specific parameters.");

    m.def("_check_skip_nodes", &check_skip_nodes, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_skip_nodes(graph: ir.Graph, result: LintResult) -> None"),
          "Check Skip node usage patterns.");

    m.def("_check_naming", &check_naming, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_naming(graph: ir.Graph, result: LintResult) -> None"), "Check naming conventions.");

    m.def("_check_model_size", &check_model_size, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_model_size(graph: ir.Graph, result: LintResult) -> None"),
          "Check for suspiciously large models.");

    m.def("_check_shapes", &check_shapes, "graph"_a.none(), "result"_a.none(),
          nb::sig("def _check_shapes(graph: ir.Graph, result: LintResult) -> None"),
          "Check for incomplete or missing shape information.");
}
