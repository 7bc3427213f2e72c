// ondrel.sdk.lint: the Python-facing declarations.
#include "ir_interface/host_function.hpp"
#include "sdk/lint/lint.hpp"

namespace nb = nanobind;
using namespace ondrel::lint;
using ondrel::define_function;

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

    using ondrel::method;
    nb::object none = nb::none();
    nb::object result_class = ondrel::define_host_class(
        m, "LintResult", "()",
        "Result of linting a graph.\n\n"
        "    Issues are stored in a flat list and categorized by severity on access.\n"
        "    Cached category lists are invalidated when new issues are added.\n    ",
        {
            method<result_methods::init>("LintResult", "__init__", {}, ""),
            method<result_methods::add_error>("LintResult", "add_error",
                                              {"code", "message", {"node", none}, {"suggestion", none}},
                                              "Add an error."),
            method<result_methods::add_warning>("LintResult", "add_warning",
                                                {"code", "message", {"node", none}, {"suggestion", none}},
                                                "Add a warning."),
            method<result_methods::add_info>("LintResult", "add_info",
                                             {"code", "message", {"node", none}, {"suggestion", none}},
                                             "Add an info message."),
            method<result_methods::to_dict>("LintResult", "to_dict", {}, "Convert to JSON-serializable dict."),
            method<result_methods::invalidate_cache>("LintResult", "_invalidate_cache", {}, ""),
            method<result_methods::rebuild_cache>("LintResult", "_rebuild_cache", {}, ""),
        },
        {
            method<result_methods::errors>("LintResult", "errors", {},
                                           "Get all errors. Cached -- O(1) after first access."),
            method<result_methods::warnings>("LintResult", "warnings", {},
                                             "Get all warnings. Cached -- O(1) after first access."),
            method<result_methods::infos>("LintResult", "infos", {},
                                          "Get all info messages. Cached -- O(1) after first access."),
            method<result_methods::is_valid>("LintResult", "is_valid", {},
                                             "Check if graph has no errors (warnings are OK)."),
        });
    record_rules(m);
    ondrel::record_ir_fields(m);

    define_function<[](nb::handle graph, nb::handle strict) { return lint_graph(graph, ondrel::truthy(strict)); }>(
        m, "lint_graph", {"graph", {"strict", false}},
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

    define_function<check_reachability>(
        m, "_check_reachability", {"graph", "result"},
        "Check for unreachable nodes.\n\nUses collections.deque for O(1) popleft instead of O(n) list.pop(0).");
    define_function<check_multiple_outputs>(m, "_check_multiple_outputs", {"graph", "result"},
                                            "Check for multiple output nodes (not necessarily an error).");
    define_function<check_node_parameters>(m, "_check_node_parameters", {"graph", "result"},
                                           "Check node-specific parameters.");
    define_function<check_skip_nodes>(m, "_check_skip_nodes", {"graph", "result"}, "Check Skip node usage patterns.");
    define_function<check_naming>(m, "_check_naming", {"graph", "result"}, "Check naming conventions.");
    define_function<check_model_size>(m, "_check_model_size", {"graph", "result"},
                                      "Check for suspiciously large models.");
    define_function<check_shapes>(m, "_check_shapes", {"graph", "result"},
                                  "Check for incomplete or missing shape information.");

    lint.remember_definitions(result_class);
    ondrel::set_public_names(m, {"LintIssue", "LintResult", "Severity", "lint_graph"});
    // Notebook displays (_repr_html_) are written in Python, beside the other views.
    nb::module_::import_("ondrel.sdk.notebook").attr("install")(m);
}
