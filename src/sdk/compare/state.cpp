#include "sdk/compare/compare.hpp"

#include "ir_interface/originals.hpp"

namespace ondrel::compare {

namespace {
// Created once at load and kept for the life of the process.
Records* defined_records = nullptr;
Numpy* loaded_numpy = nullptr;
PyObject* compare_module = nullptr;  // borrowed: the module outlives every call

const Name compare_arrays_name("compare_arrays"), compare_nodes_name("compare_nodes");
const Name compare_graphs_name("compare_graphs"), generate_summary_name("_generate_summary");
Originals* entries = nullptr;  // in Entry order
}  // namespace

const Records& records() { return *defined_records; }
const Numpy& numpy() { return *loaded_numpy; }

void load_module_state(nb::module_& module) {
    compare_module = module.ptr();
    nb::module_ np = nb::module_::import_("numpy");
    import_names(module, "dataclasses", {"dataclass", "field"});
    import_names(module, "typing", {"Any", "List", "Optional", "Tuple"});
    module.attr("np") = np;

    nb::object dtype = np.attr("dtype");
    loaded_numpy = new Numpy{
        np.attr("ndarray"),
        np.attr("result_type"),
        np.attr("subtract"),
        np.attr("abs"),
        np.attr("max"),
        np.attr("allclose"),
        np.attr("array_equal"),
        dtype(nb::module_::import_("builtins").attr("object")),
        {dtype("float16"), dtype("float32"), dtype("float64")},
    };

    nb::object none_value = none();
    defined_records = new Records{
        RecordType(module, "NodeDiff", "Difference in a single node between two graphs.",
                   {
                       required_field("name", "str"),
                       required_field("status", "str"),
                       list_field("changes"),
                       field_with_default("weight_diff", "Optional[float]", none_value),
                       field_with_default("shape_diff", "Optional[dict]", none_value),
                   }),
        RecordType(module, "GraphDiff", "Complete diff between two ONDREL IR graphs.",
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
                   }),
    };
}

void remember_entries(nb::module_& module) {
    entries = new Originals(module, {&compare_arrays_name, &compare_nodes_name, &compare_graphs_name,
                                     &generate_summary_name});
}

nb::object replacement(Entry entry) { return entries->replacement(static_cast<size_t>(entry)); }

}  // namespace ondrel::compare
