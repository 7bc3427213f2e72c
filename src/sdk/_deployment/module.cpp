// ondrel.sdk._deployment: per-node deployment figures, for ondrel.sdk.deployment.
#include "ir_interface/host_function.hpp"
#include "sdk/_deployment/deployment.hpp"

namespace nb = nanobind;

NB_MODULE(_deployment, m) {
    m.doc() = "Per-node deployment figures of ONDREL IR graphs (the public API is ondrel.sdk.deployment).";
    ondrel::deployment::record_rules(m);
    ondrel::define_function<ondrel::deployment::figures>(
        m, "_figures", {"graph"},
        "The deployment figures of every node of an IR graph object, as columns:\n"
        "{'names', 'kinds', 'neurons', 'param_bits': lists in node order,\n"
        " 'weighted': {position: (synapses, synapses reading the input, outputs, inputs, fan-in max,\n"
        "              fan-out max, weight bits, non-zero synapses, note, spike sources or None)},\n"
        " 'host_counts': [(position, weight, per-tap output positions or None)]}.");
    ondrel::define_function<ondrel::deployment::port_shapes_of>(
        m, "_port_shapes", {"graph"},
        "Every node's port shapes as deployment figures read them: {name: (input, output)}, each a tuple\n"
        "of int or None: inferred, else declared, else declared at the other end of an edge.");
    ondrel::set_public_names(m, {});
}
