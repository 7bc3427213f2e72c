// Graph analysis: per-node statistics, graph aggregation, topology measures
// and the text summary.
#pragma once

#include "ir_interface/graph_snapshot.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/numpy_api.hpp"
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

    nb::handle module;                    // for calls through its (replaceable) functions
    std::unique_ptr<Originals> measures;  // the module's own _compute_depth_and_width
    RecordType layer_stats;
    RecordType graph_stats;
    nb::object is_directed_acyclic_graph;
    nb::object topological_sort;
};
inline const State& state() { return ModuleState<State>::get(); }

// ---- Node rules (node_rules.cpp; the linter compiles them in too) ---------

// The per-type counters of the graph statistics.
enum class Category : uint8_t { None, Lif, Affine, Conv };

// The counter of a type name: the category of the row holding the IR class of
// that name (a subclass with another name counts in none).
Category category_of(std::string_view type_name);

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

// The shape of one port (`input` of input_type, `output` of output_type): ()
// when the port has none, tuple(entry), or (entry,) for a scalar entry. An
// exact 1-d ndarray entry, whose tuple cannot fail, becomes one only when
// something asks for it.
class Port {
public:
    Port() : shape_(own(PyTuple_New(0))) {}
    Port(nb::handle entry, ShapeCache* shapes);  // a present entry
    const nb::object& shape() const;
    Py_ssize_t length() const;  // len(shape())
    PyArrayObject* entry() const;  // the entry while it is an integer ndarray not yet made a tuple, else null
    bool present() const { return present_; }
    bool iterable() const { return iterable_; }  // the entry has __iter__ (else it was wrapped in a 1-tuple)

private:
    mutable nb::object shape_;
    nb::object entry_;  // until the shape is made
    ShapeCache* shapes_ = nullptr;
    bool present_ = false, iterable_ = true;
};

// What analyze_node learns about one node, before it becomes a LayerStats.
struct LayerFacts {
    nb::object node_type;  // type(node).__name__
    ExactInt params;
    ExactInt bytes;
    ExactInt flops;
    Port input;
    Port output;
    nb::object config;  // dict, or invalid without records
};

// (element count, byte size) of one parameter array; (0, 0) for None.
std::pair<nb::object, nb::object> count_array_params(nb::handle array);

// One node's statistics. Without `records` the settings are not kept (the
// dict they would go to cannot fail to take them); everything else is read
// and computed as with them.
LayerFacts analyze_node_facts(const NodeView& node, ShapeCache* shapes, bool records);
void record_rules(nb::handle module);  // what the per-class table covers, for the module's _NODE_RULES

// What the analysis's kernels need of a snapshot: LIF means taken natively.
const SnapshotNeeds& snapshot_needs();
// analyze_graph(graph).total_params for a snapshot taken with snapshot_needs(),
// raising what its node rules would raise (not what its measures would).
nb::object total_params(const GraphSnapshot& graph);

// float(np.mean(array))
nb::object array_mean(nb::handle array);
// True when array_mean(array) is answered natively, which cannot fail.
bool has_native_mean(nb::handle array);

// ---- The module's functions ----------------------------------------------

nb::object analyze_node(nb::handle name, nb::handle node);
nb::object analyze_graph(nb::handle graph);
nb::object graph_total_params(nb::handle graph);  // analyze_graph(graph).total_params, without the records
nb::object compute_depth_and_width(nb::handle graph);
nb::object compute_depth(nb::handle graph);
nb::object compute_width(nb::handle graph);

nb::object format_bytes(nb::handle value);
nb::object format_number(nb::handle value);
nb::object summarize(nb::handle graph, bool verbose);

}  // namespace ondrel::analyze
