// One read of a graph that is exactly the IR layer's own, into C++ values:
// per node its class and the values of its fields; the edges as node
// positions. A public entry point reads it once, and the services then work on
// it without the host: nothing host-side runs in between, so nothing needs
// rechecking. Any other graph takes the services' general route, which reads
// the graph through the host as written.
#pragma once

#include "ir_interface/class_rules.hpp"
#include "ir_interface/graph_walk.hpp"

#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ondrel {

// A condition on the arrays one field of one class holds (None always passes).
struct ArrayCondition {
    IrClass cls;
    Field field;
    bool (*holds)(nb::handle array);
};

// What a service asks of a snapshot beyond the IR layer's own field kinds.
struct SnapshotNeeds {
    // `weight` and `bias` of every node, also of classes without those fields
    // (absent unless the instance has them).
    bool weights_of_every_class = false;
    // Arrays the service's kernels read only under a condition.
    std::span<const ArrayCondition> arrays = {};
    // Hold a reference to everything read, for calls that let other threads
    // run (hashing large arrays releases the interpreter lock).
    bool owned = false;
};

// True when `graph` is exactly an ir.Graph of the IR layer whose class is as
// the layer defines it: its validate, inputs, outputs and _get_rx_graph the
// layer's own (and not shadowed on the instance). Then those members mean
// what the snapshot stands in for, and `nodes` and `edges` are plain
// attributes.
bool is_ir_layer_graph(nb::handle graph);

struct ClassReading;  // how one call reads the nodes of one class (graph_snapshot.cpp)

class GraphSnapshot {
public:
    struct Node {
        PyObject* name;    // exact str
        PyObject* object;  // the node
        IrClass cls;
        uint32_t first_value;
    };

    // The snapshot of `graph` when it holds nothing but what the IR layer
    // itself makes, read without running host code: is_ir_layer_graph, `ir`'s
    // classes the layer's own, `nodes` an exact dict with exact str keys whose
    // values are instances of exactly those classes (each unmodified where
    // fields are read: metaclass `type`, generic getattr, no descriptor under a
    // field name), every field value of its declared kind in exact builtin
    // types (None, int, float, bool, str, tuples and lists of them, ndarrays
    // of native-order numbers, dicts of str to 1-d integer ndarrays), and
    // `edges` an exact list of exact (str, str) tuples or lists. Null for any
    // other graph; nothing has then been run.
    static std::unique_ptr<GraphSnapshot> read(nb::handle graph, const IrModule& ir, const SnapshotNeeds& needs = {});
    ~GraphSnapshot();
    GraphSnapshot(const GraphSnapshot&) = delete;
    GraphSnapshot& operator=(const GraphSnapshot&) = delete;

    size_t size() const { return nodes_.size(); }
    const Node& node(size_t index) const { return nodes_[index]; }
    const std::vector<Node>& nodes() const { return nodes_; }
    // The field's value (borrowed); invalid for a probed weight or bias the node lacks.
    nb::handle value(size_t index, Field field) const;
    nb::handle class_name(IrClass cls) const { return class_names_[index_of(cls)]; }
    nb::handle edges() const { return edges_; }  // graph.edges
    // The edges as (source, destination) positions, in edge order; nullopt
    // when an edge names no node.
    const std::optional<std::vector<Link>>& links() const;
    // Positions of the nodes of one class, in node order.
    std::vector<uint32_t> positions_of(IrClass cls) const;
    // The numeric types of the arrays read from Array fields, one bit each.
    uint32_t array_types() const { return array_types_; }

private:
    GraphSnapshot() = default;
    bool read_fields(const Node& node, const ClassReading& reading, const SnapshotNeeds& needs);
    std::vector<Node> nodes_;
    std::vector<PyObject*> values_;
    std::array<nb::object, ir_class_count> class_names_;
    nb::object nodes_dict_, edges_;
    uint32_t array_types_ = 0;
    bool owned_ = false, probing_ = false;
    mutable std::optional<std::optional<std::vector<Link>>> links_;
};

// One node of a snapshot, as the rules read it.
class SnapshotNode final : public NodeView {
public:
    SnapshotNode(const GraphSnapshot& graph, size_t index) : graph_(graph), index_(index) {}
    nb::handle object() const override { return graph_.node(index_).object; }
    nb::object type_name() const override { return nb::borrow(graph_.class_name(graph_.node(index_).cls)); }
    // The classes are the IR layer's, each a direct subclass of its Node: a
    // node is an instance of its own class only.
    using NodeView::is_a;
    bool is_a(IrClass first, IrClass second, Lookup) const override {
        IrClass cls = graph_.node(index_).cls;
        return cls == first || cls == second;
    }
    nb::object read(Field field) const override;
    nb::object read_if_exists(Field field) const override { return nb::borrow(graph_.value(index_, field)); }

private:
    const GraphSnapshot& graph_;
    size_t index_;
};

}  // namespace ondrel
