// ondrel.sdk.compare: the Python-facing declarations.
#include "ir_interface/host_function.hpp"
#include "sdk/compare/compare.hpp"

namespace nb = nanobind;
using ondrel::define_function;
using namespace ondrel::compare;
using ondrel::to_double;

NB_MODULE(compare, m) {
    m.doc() =
        "Graph comparison utilities for ONDREL IR graphs.\n"
        "\n"
        "Compares two ONDREL IR graphs and reports structural and numerical\n"
        "differences. Useful for:\n"
        "- Verifying that a graph comes back unchanged after write -> read\n"
        "- Tracking model changes after training\n"
        "- Validating graph serialization\n"
        "\n"
        "Example:\n"
        "    >>> from ondrel.sdk.compare import compare_graphs\n"
        "    >>> diff = compare_graphs(\"model_before.o1c\", \"model_after.o1c\")\n"
        "    >>> print(diff.summary)\n"
        "    >>> if not diff.identical:\n"
        "    ...     print(f\"Modified nodes: {diff.nodes_modified}\")\n";

    State& compare = ondrel::ModuleState<State>::create(m);
    record_rules(m);
    ondrel::record_ir_fields(m);

    using ondrel::Parameter;
    const Parameter atol("atol", default_atol), rtol("rtol", default_rtol);

    define_function<[](nb::handle a, nb::handle b, nb::handle atol, nb::handle rtol) {
        double atol_value = to_double(atol), rtol_value = to_double(rtol);
        Promotions promotions;
        ArrayComparison result = compare_arrays(a, b, atol_value, rtol_value, promotions);
        return nb::make_tuple(result.match, result.max_diff);
    }>(m, "compare_arrays", {"a", "b", atol, rtol}, "Compare two arrays and return (match, max_diff).");

    define_function<[](nb::handle a, nb::handle b, nb::handle atol, nb::handle rtol) -> nb::object {
        std::optional<ArrayStatistics> found = array_statistics(a, b, to_double(atol), to_double(rtol));
        if (!found) return nb::none();
        const ArrayStatistics& s = *found;
        auto index = [](Py_ssize_t at) -> nb::object { return at < 0 ? nb::object(nb::none()) : nb::int_(at); };
        auto value = [](Py_ssize_t at, double x) -> nb::object {
            return at < 0 ? nb::object(nb::none()) : nb::float_(x);
        };
        return nb::make_tuple(s.size, s.mismatched, value(s.max_abs_index, s.max_abs_diff), index(s.max_abs_index),
                              value(s.max_rel_index, s.max_rel_diff), index(s.max_rel_index), s.nan_a, s.nan_b,
                              s.inf_a, s.inf_b);
    }>(m, "_array_statistics", {"a", "b", "atol", "rtol"},
       "The statistics of two equally shaped arrays, computed natively.\n\n"
       "Returns:\n"
       "    (size, mismatched, max_abs_diff, max_abs_index, max_rel_diff, max_rel_index,\n"
       "    nan_a, nan_b, inf_a, inf_b), indexes into the arrays flattened in row-major\n"
       "    order; None when the arrays are not plain numpy arrays of native numbers\n"
       "    of one shape (ondrel.sdk.testing.array_statistics computes those with numpy)");

    define_function<[](nb::handle name, nb::handle node_a, nb::handle node_b, nb::handle atol, nb::handle rtol) {
        ondrel::require_str(name, "name");  // before anything else runs
        double atol_value = to_double(atol), rtol_value = to_double(rtol);
        ondrel::IrModule ir;
        ArrayComparer compare_arrays;
        return compare_nodes(name, ondrel::HostNode(node_a, ir), ondrel::HostNode(node_b, ir), atol_value, rtol_value,
                             compare_arrays)
            .record;
    }>(m, "compare_nodes", {"name", "node_a", "node_b", atol, rtol}, "Compare two nodes and return their differences.");

    define_function<[](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol) {
        return compare_graphs(graph_a, graph_b, to_double(atol), to_double(rtol));
    }>(m, "compare_graphs", {"graph_a", "graph_b", atol, rtol},
       "Compare two ONDREL IR graphs and return detailed differences.\n\n"
       "Args:\n"
       "    graph_a: First graph (ONDREL IR Graph or path)\n"
       "    graph_b: Second graph (ONDREL IR Graph or path)\n"
       "    atol: Absolute tolerance for numerical comparison\n"
       "    rtol: Relative tolerance for numerical comparison\n\n"
       "Returns:\n"
       "    GraphDiff with structural and numerical differences");

    define_function<[](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol,
                       nb::handle progress) {
        double atol_value = to_double(atol), rtol_value = to_double(rtol);
        ondrel::ProgressReport report(progress);
        nb::object diff = compare_graphs(graph_a, graph_b, atol_value, rtol_value, &report);
        report.finish();
        return diff;
    }>(m, "_compare_graphs_progress", {"graph_a", "graph_b", "atol", "rtol", "progress"},
       "compare_graphs, reporting progress.\n\n"
       "progress(n) is called with the number of parameter-array bytes compared (both\n"
       "arrays of each pair) since its previous call, at least every 16 MiB of them\n"
       "and once at the end.\n\n"
       "Returns:\n"
       "    The GraphDiff compare_graphs returns");

    define_function<generate_summary>(m, "_generate_summary", {"diff"}, "Generate a human-readable summary of the diff.");

    define_function<[](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol,
                       nb::handle check_weights) {
        double atol_value = to_double(atol), rtol_value = to_double(rtol);
        assert_graphs_equal(graph_a, graph_b, atol_value, rtol_value, ondrel::truthy(check_weights));
    }>(m, "assert_graphs_equal", {"graph_a", "graph_b", atol, rtol, {"check_weights", true}},
       "Assert that two graphs are equal, raising AssertionError if not.\n\n"
       "Args:\n"
       "    graph_a: First graph (ONDREL IR Graph or path)\n"
       "    graph_b: Second graph (ONDREL IR Graph or path)\n"
       "    atol: Absolute tolerance for numerical comparison\n"
       "    rtol: Relative tolerance for numerical comparison\n"
       "    check_weights: If True, verify numerical weight equality\n\n"
       "Raises:\n"
       "    AssertionError: If graphs differ");

    compare.remember_entries();
    ondrel::set_public_names(m, {"GraphDiff", "NodeDiff", "assert_graphs_equal", "compare_arrays", "compare_graphs",
                                 "compare_nodes"});
    // Notebook displays (_repr_html_) are written in Python, beside the other views.
    nb::module_::import_("ondrel.sdk.notebook").attr("install")(m);
}
