#include "sdk/analyze/analyze.hpp"

namespace ondrel::analyze {

namespace {
// Created once at load and kept for the life of the process.
Records* defined_records = nullptr;
Dependencies* loaded_dependencies = nullptr;
PyObject* analyze_module = nullptr;  // borrowed: the module outlives every call
}  // namespace

const Records& records() { return *defined_records; }
const Dependencies& dependencies() { return *loaded_dependencies; }
nb::handle this_module() { return analyze_module; }

void load_module_state(nb::module_& module) {
    analyze_module = module.ptr();
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::module_ rustworkx = nb::module_::import_("rustworkx");
    import_names(module, "dataclasses", {"dataclass", "field"});
    import_names(module, "typing", {"Any", "Dict", "Optional", "Tuple"});
    module.attr("np") = numpy;
    module.attr("rx") = rustworkx;
    loaded_dependencies = new Dependencies{
        numpy.attr("mean"),
        reinterpret_cast<PyTypeObject*>(numpy.attr("ndarray").ptr()),
        rustworkx.attr("is_directed_acyclic_graph"),
        rustworkx.attr("topological_sort"),
    };

    nb::object zero = integer(0);
    nb::object empty_tuple = own(PyTuple_New(0));
    defined_records = new Records{
        RecordType(module, "LayerStats", "Statistics for a single layer/node.",
                   {
                       required_field("name", "str"),
                       required_field("node_type", "str"),
                       field_with_default("params", "int", zero),
                       field_with_default("bytes", "int", zero),
                       field_with_default("input_shape", "tuple", empty_tuple),
                       field_with_default("output_shape", "tuple", empty_tuple),
                       field_with_default("flops", "int", zero),
                       dict_field("config"),
                   }),
        RecordType(module, "GraphStats",
                   "Aggregate statistics for a ONDREL IR graph.\n\n"
                   "    Note: depth and width are None for cyclic (non-DAG) graphs, since\n"
                   "    topological depth is undefined in the presence of cycles. Check\n"
                   "    is_dag before using these fields for comparative analysis.\n    ",
                   {
                       field_with_default("total_params", "int", zero),
                       field_with_default("total_bytes", "int", zero),
                       field_with_default("total_flops", "int", zero),
                       field_with_default("node_count", "int", zero),
                       field_with_default("edge_count", "int", zero),
                       field_with_default("depth", "Optional[int]", zero),
                       field_with_default("width", "Optional[int]", zero),
                       field_with_default("is_dag", "bool", boolean(true)),
                       dict_field("type_counts"),
                       list_field("layers"),
                       list_field("input_shapes"),
                       list_field("output_shapes"),
                       dict_field("memory_breakdown"),
                       field_with_default("lif_count", "int", zero),
                       field_with_default("affine_count", "int", zero),
                       field_with_default("conv_count", "int", zero),
                   }),
    };
}

}  // namespace ondrel::analyze
