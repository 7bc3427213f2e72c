// ondrel.sdk.compare: the Python-facing declarations.
#include "sdk/compare/compare.hpp"

namespace nb = nanobind;
using namespace nb::literals;
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

    m.def("compare_arrays",
          [](nb::handle a, nb::handle b, nb::handle atol, nb::handle rtol) {
              double atol_value = to_double(atol), rtol_value = to_double(rtol);
              Promotions promotions;
              ArrayComparison result = compare_arrays(a, b, atol_value, rtol_value, promotions);
              return nb::make_tuple(result.match, result.max_diff);
          },
          "a"_a.none(), "b"_a.none(), "atol"_a.none() = default_atol, "rtol"_a.none() = default_rtol,
          nb::sig("def compare_arrays(a: numpy.ndarray | None, b: numpy.ndarray | None, atol: float = 1e-06, "
                  "rtol: float = 1e-05) -> tuple[bool, float]"),
          "Compare two arrays and return (match, max_diff).");

    m.def("_array_statistics",
          [](nb::handle a, nb::handle b, nb::handle atol, nb::handle rtol) -> nb::object {
              std::optional<ArrayStatistics> found = array_statistics(a, b, to_double(atol), to_double(rtol));
              if (!found) return nb::none();
              const ArrayStatistics& s = *found;
              auto index = [](Py_ssize_t at) -> nb::object { return at < 0 ? nb::object(nb::none()) : nb::int_(at); };
              auto value = [](Py_ssize_t at, double x) -> nb::object {
                  return at < 0 ? nb::object(nb::none()) : nb::float_(x);
              };
              return nb::make_tuple(s.size, s.mismatched, value(s.max_abs_index, s.max_abs_diff),
                                    index(s.max_abs_index), value(s.max_rel_index, s.max_rel_diff),
                                    index(s.max_rel_index), s.nan_a, s.nan_b, s.inf_a, s.inf_b);
          },
          "a"_a.none(), "b"_a.none(), "atol"_a.none(), "rtol"_a.none(),
          nb::sig("def _array_statistics(a: numpy.ndarray, b: numpy.ndarray, atol: float, rtol: float) "
                  "-> tuple[int, int, float | None, int | None, float | None, int | None, int, int, int, int] | None"),
          "The statistics of two equally shaped arrays, computed natively.\n\n"
          "Returns:\n"
          "    (size, mismatched, max_abs_diff, max_abs_index, max_rel_diff, max_rel_index,\n"
          "    nan_a, nan_b, inf_a, inf_b), indexes into the arrays flattened in row-major\n"
          "    order; None when the arrays are not plain numpy arrays of native numbers\n"
          "    of one shape (ondrel.sdk.testing.array_statistics computes those with numpy)");

    m.def("compare_nodes",
          [](nb::handle name, nb::handle node_a, nb::handle node_b, nb::handle atol, nb::handle rtol) {
              ondrel::require_str(name, "name");  // before anything else runs
              double atol_value = to_double(atol), rtol_value = to_double(rtol);
              ondrel::IrModule ir;
              ArrayComparer compare_arrays;
              return compare_nodes(name, node_a, node_b, atol_value, rtol_value, ir, compare_arrays).record;
          },
          "name"_a.none(), "node_a"_a.none(), "node_b"_a.none(), "atol"_a.none() = default_atol,
          "rtol"_a.none() = default_rtol,
          nb::sig("def compare_nodes(name: str, node_a: typing.Any, node_b: typing.Any, atol: float = 1e-06, "
                  "rtol: float = 1e-05) -> NodeDiff"),
          "Compare two nodes and return their differences.");

    m.def("compare_graphs",
          [](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol) {
              return compare_graphs(graph_a, graph_b, to_double(atol), to_double(rtol));
          },
          "graph_a"_a.none(), "graph_b"_a.none(), "atol"_a.none() = default_atol, "rtol"_a.none() = default_rtol,
          nb::sig("def compare_graphs(graph_a: typing.Any, graph_b: typing.Any, atol: float = 1e-06, "
                  "rtol: float = 1e-05) -> GraphDiff"),
          "Compare two ONDREL IR graphs and return detailed differences.\n\n"
          "Args:\n"
          "    graph_a: First graph (ONDREL IR Graph or path)\n"
          "    graph_b: Second graph (ONDREL IR Graph or path)\n"
          "    atol: Absolute tolerance for numerical comparison\n"
          "    rtol: Relative tolerance for numerical comparison\n\n"
          "Returns:\n"
          "    GraphDiff with structural and numerical differences");

    m.def("_compare_graphs_progress",
          [](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol, nb::handle progress) {
              double atol_value = to_double(atol), rtol_value = to_double(rtol);
              ondrel::ProgressReport report(progress);
              nb::object diff = compare_graphs(graph_a, graph_b, atol_value, rtol_value, &report);
              report.finish();
              return diff;
          },
          "graph_a"_a.none(), "graph_b"_a.none(), "atol"_a.none(), "rtol"_a.none(), "progress"_a.none(),
          nb::sig("def _compare_graphs_progress(graph_a: typing.Any, graph_b: typing.Any, atol: float, rtol: float, "
                  "progress: typing.Callable[[int], object]) -> GraphDiff"),
          "compare_graphs, reporting progress.\n\n"
          "progress(n) is called with the number of parameter-array bytes compared (both\n"
          "arrays of each pair) since its previous call, at least every 16 MiB of them\n"
          "and once at the end.\n\n"
          "Returns:\n"
          "    The GraphDiff compare_graphs returns");

    m.def("_generate_summary", &generate_summary, "diff"_a.none(),
          nb::sig("def _generate_summary(diff: GraphDiff) -> str"),
          "Generate a human-readable summary of the diff.");

    m.def("assert_graphs_equal",
          [](nb::handle graph_a, nb::handle graph_b, nb::handle atol, nb::handle rtol, nb::handle check_weights) {
              double atol_value = to_double(atol), rtol_value = to_double(rtol);
              assert_graphs_equal(graph_a, graph_b, atol_value, rtol_value, ondrel::truthy(check_weights));
          },
          "graph_a"_a.none(), "graph_b"_a.none(), "atol"_a.none() = default_atol, "rtol"_a.none() = default_rtol,
          "check_weights"_a.none() = true,
          nb::sig("def assert_graphs_equal(graph_a: typing.Any, graph_b: typing.Any, atol: float = 1e-06, "
                  "rtol: float = 1e-05, check_weights: bool = True) -> None"),
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
}
