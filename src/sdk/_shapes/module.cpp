// ondrel.sdk._shapes: port shape inference and its findings, for ondrel.sdk.shapes.
#include "ir_interface/host_function.hpp"
#include "sdk/_shapes/shapes.hpp"

namespace nb = nanobind;

NB_MODULE(_shapes, m) {
    m.doc() = "Port shape inference over ONDREL IR graphs (the public API is ondrel.sdk.shapes).";
    ondrel::shapes::record_rules(m);
    ondrel::define_function<ondrel::shapes::infer_graph>(
        m, "_infer", {"graph"},
        "Infer every port shape of an IR graph object.\n\n"
        "Returns ({name: (input shape or None, output shape or None)}, [(code, node name, {key: text})]),\n"
        "shapes as tuples of int, the findings in node order.");
    ondrel::set_public_names(m, {});
}
