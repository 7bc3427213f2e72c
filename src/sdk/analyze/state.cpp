#include "sdk/analyze/analyze.hpp"

namespace ondrel::analyze {

namespace {

std::vector<FieldDefinition> layer_stats_fields() {
    nb::object zero = integer(0), empty_tuple = own(PyTuple_New(0));
    return {
        required_field("name", "str"),
        required_field("node_type", "str"),
        field_with_default("params", "int", zero),
        field_with_default("bytes", "int", zero),
        field_with_default("input_shape", "tuple", empty_tuple),
        field_with_default("output_shape", "tuple", empty_tuple),
        field_with_default("flops", "int", zero),
        dict_field("config"),
    };
}

std::vector<FieldDefinition> graph_stats_fields() {
    nb::object zero = integer(0);
    return {
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
    };
}

}  // namespace

State::State(nb::module_& m) : module(m) {
    import_names(m, "dataclasses", {"dataclass", "field"});
    import_names(m, "typing", {"Any", "Dict", "Optional", "Tuple"});
    nb::module_ numpy = nb::module_::import_("numpy"), rustworkx = nb::module_::import_("rustworkx");
    m.attr("np") = numpy;
    m.attr("rx") = rustworkx;
    is_directed_acyclic_graph = rustworkx.attr("is_directed_acyclic_graph");
    topological_sort = rustworkx.attr("topological_sort");
    layer_stats = RecordType(m, "LayerStats", "Statistics for a single layer/node.", layer_stats_fields());
    graph_stats = RecordType(m, "GraphStats",
                             "Aggregate statistics for a ONDREL IR graph.\n\n"
                             "    Note: depth and width are None for cyclic (non-DAG) graphs, since\n"
                             "    topological depth is undefined in the presence of cycles. Check\n"
                             "    is_dag before using these fields for comparative analysis.\n    ",
                             graph_stats_fields());
}

void State::remember_measures() {
    static const Name measures_name("_compute_depth_and_width");
    measures = std::make_unique<Originals>(module, std::vector<const Name*>{&measures_name});
}

}  // namespace ondrel::analyze
