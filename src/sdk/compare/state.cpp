#include "sdk/compare/compare.hpp"

using namespace nanobind::literals;

namespace ondrel::compare {

namespace {

const Name compare_arrays_name("compare_arrays"), compare_nodes_name("compare_nodes");
const Name compare_graphs_name("compare_graphs"), generate_summary_name("_generate_summary");

}  // namespace

State::State(nb::module_& m) : module(m) {
    import_names(m, "dataclasses", {"dataclass", "field"});
    import_names(m, "typing", {"Any", "List", "Optional", "Tuple"});
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    result_type = np.attr("result_type");
    subtract = np.attr("subtract");
    absolute = np.attr("abs");
    max = np.attr("max");
    allclose = np.attr("allclose");
    array_equal = np.attr("array_equal");
    nb::object dtype = np.attr("dtype");
    object_dtype = dtype(nb::module_::import_("builtins").attr("object"));
    float_dtypes = {dtype("float16"), dtype("float32"), dtype("float64")};
    // In NumericType order: bool, int8 ... int64, uint8 ... uint64, float16, float32, float64.
    const char* numeric_codes = "?bhiqBHIQefd";
    for (size_t i = 0; i < numeric_type_count; ++i)
        numeric_dtypes[i] = dtype(text(std::string_view(numeric_codes + i, 1)));
    equal_is_close = truthy(np.attr("isclose")(1.0, 1.0, "rtol"_a = 0.0, "atol"_a = -1.0));

    node_diff = RecordType(m, "NodeDiff", "Difference in a single node between two graphs.",
                           {
                               required_field("name", "str"),
                               required_field("status", "str"),
                               list_field("changes"),
                               field_with_default("weight_diff", "Optional[float]", none()),
                               field_with_default("shape_diff", "Optional[dict]", none()),
                           });
    graph_diff = RecordType(m, "GraphDiff", "Complete diff between two ONDREL IR graphs.",
                            {
                                field_with_default("identical", "bool", boolean(true)),
                                field_with_default("structural_match", "bool", boolean(true)),
                                field_with_default("numerical_match", "bool", boolean(true)),
                                list_field("nodes_added"),
                                list_field("nodes_removed"),
                                list_field("nodes_modified"),
                                list_field("nodes_unchanged"),
                                list_field("edges_added"),
                                list_field("edges_removed"),
                                field_with_default("max_weight_diff", "float", floating(0.0)),
                                field_with_default("mean_weight_diff", "float", floating(0.0)),
                                list_field("node_diffs"),
                                field_with_default("summary", "str", text("")),
                            });
}

void State::remember_entries() {
    entries = std::make_unique<Originals>(
        module, std::vector<const Name*>{&compare_arrays_name, &compare_nodes_name, &compare_graphs_name,
                                         &generate_summary_name});
}

nb::object replacement(Entry entry) { return state().entries->replacement(static_cast<size_t>(entry)); }

}  // namespace ondrel::compare
