// Graph analysis: per-node statistics, graph aggregation, topology measures
// and the text summary.
#pragma once

#include "ir_interface/ir_classes.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/originals.hpp"
#include "ir_interface/records.hpp"

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace ondrel::analyze {

// Built when the module is loaded (state.cpp).
struct State {
    explicit State(nb::module_& module);
    void remember_measures();  // once _compute_depth_and_width is defined

    nb::handle module;  // for calls through its (replaceable) functions
    std::unique_ptr<Originals> measures;  // the module's own _compute_depth_and_width
    RecordType layer_stats;
    RecordType graph_stats;
    nb::object numpy_mean;
    nb::object is_directed_acyclic_graph;
    nb::object topological_sort;
};
inline const State& state() { return ModuleState<State>::get(); }

// What analyze_node learns about one node, before it becomes a LayerStats.
struct LayerFacts {
    nb::object node_type;  // type(node).__name__
    ExactInt params;
    ExactInt bytes;
    ExactInt flops;
    struct Port {
        nb::object shape;       // tuple; () when the port has no shape
        bool present = false;   // the port mapping is truthy and holds a non-None entry
        bool iterable = true;   // that entry has __iter__ (else it was wrapped in a 1-tuple)
        // Without records, a 1-d ndarray entry, whose tuple (`shape`, then
        // invalid) cannot fail and is made only where a rule needs it.
        nb::object deferred;
    };
    Port input;
    Port output;
    nb::object config;        // dict
};

// (element count, byte size) of one parameter array; (0, 0) for None.
std::pair<nb::object, nb::object> count_array_params(nb::handle array);

// float(np.mean(array))
nb::object array_mean(nb::handle array);
// True when array_mean(array) is answered natively, which cannot fail.
bool has_native_mean(nb::handle array);

// Port shapes seen during one analysis, by element type and values. Shape
// tuples hold immutable numpy scalars, so nodes with equal port shapes can
// share one tuple instead of each allocating its own.
class ShapeCache {
public:
    // The tuple for a small 1-d integer ndarray, or invalid for anything else.
    nb::object find_or_make(nb::handle array);

private:
    std::unordered_map<std::string, nb::object> tuples_;
};

// What the analysis of many nodes in one call keeps between them: shared
// port shapes and the rule row each node type takes.
class NodeMemo {
public:
    explicit NodeMemo(const IrModule& ir);
    ~NodeMemo();
    ShapeCache shapes;
    struct Rows;
    std::unique_ptr<Rows> rows;
};

// With `records` false only params and bytes are filled in; every read, and
// every computation that can fail, is still made, in the same order.
LayerFacts analyze_node_facts(nb::handle node, const IrModule& ir, NodeMemo* memo = nullptr, bool records = true);
// The parameter count analyze_node_facts would find, for a node whose
// analysis reads only plain attributes (an IR class of dataclass defaults)
// and plain values (None, ndarrays, 1-d port shapes, what the FLOPs and means
// take without fail): then it could not fail, and only the arrays are read.
// Nothing for any other node.
std::optional<long long> plain_params(nb::handle node, const IrModule& ir, NodeMemo& memo);
nb::object layer_record(nb::handle name, const LayerFacts& facts);
nb::object analyze_node(nb::handle name, nb::handle node);
void record_rules(nb::handle module);  // what the per-class table covers, for the module's _NODE_RULES

nb::object analyze_graph(nb::handle graph);
// analyze_graph(graph).total_params, without the records; see measures_cannot_fail for `names_checked`.
nb::object graph_total_params(nb::handle graph, bool names_checked);
nb::object compute_depth_and_width(nb::handle graph);
nb::object compute_depth(nb::handle graph);
nb::object compute_width(nb::handle graph);

nb::object format_bytes(nb::handle value);
nb::object format_number(nb::handle value);
nb::object summarize(nb::handle graph, bool verbose);

}  // namespace ondrel::analyze
