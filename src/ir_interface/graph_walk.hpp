// Walking graph.nodes and graph.edges as the host's loops would, with owned
// references throughout: a node accessor that changes the mapping mid-walk can
// neither free what is being visited nor go unnoticed.
#pragma once

#include "ir_interface/ir_classes.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondrel {

// True when `graph` is exactly an ir.Graph whose `_get_rx_graph` is the IR
// layer's own method (neither replaced on the class nor shadowed on the
// instance): its rustworkx view is then exactly its `nodes` in order and one
// edge per entry of `edges`, and may be walked without being built.
bool has_original_rx_view(nb::handle graph);

// Positions of exact str names, matched as a dict keyed by them would match
// them (their hash is cached and their equality runs no host code), in one
// flat table. The names are borrowed: the caller keeps them alive.
class TextPositions {
public:
    explicit TextPositions(size_t expected = 0) { rehash(expected); }
    // The position an equal name already has, else `position`, now its own.
    uint32_t insert(PyObject* text, uint32_t position);
    std::optional<uint32_t> find(PyObject* text) const;
    size_t size() const { return size_; }

private:
    struct Slot {
        PyObject* text = nullptr;
        Py_hash_t hash = 0;
        uint32_t position = 0;
    };
    size_t slot_for(PyObject* text, Py_hash_t hash) const;
    void rehash(size_t expected);
    std::vector<Slot> slots_;
    size_t size_ = 0;
};

// An exact ir.Graph that its validate() (the IR layer's own) would pass, as
// read in one pass without running host code: its node names in order, each
// edge as the positions of its ends, and the positions of the nodes its
// `inputs` and `outputs` hold. It keeps what it read alive, so that
// still_describes can tell by identity whether the graph has changed since.
class ValidatedGraph {
public:
    using Link = std::pair<uint32_t, uint32_t>;  // (source position, destination position)

    // Nothing for anything else, and whenever validate() would raise: the
    // caller then makes the call.
    static std::unique_ptr<ValidatedGraph> read(nb::handle graph, const IrModule& ir);

    // `graph` is the graph read, still holding the same nodes (same types)
    // and edges, with its inputs/outputs still the IR layer's own.
    bool still_describes(nb::handle graph, const IrModule& ir) const;

    size_t size() const { return names_.size(); }
    const std::vector<nb::object>& names() const { return names_; }
    std::optional<uint32_t> position_of(nb::handle name) const;  // for exact str names
    const std::vector<Link>& links() const { return links_; }   // in edge order
    const std::vector<uint32_t>& inputs() const { return inputs_; }
    const std::vector<uint32_t>& outputs() const { return outputs_; }

    // for_each_node over the nodes dict this graph read (the caller has just
    // found still_describes true): from what was read while the dict keeps its
    // version, and from the dict itself, where the walk had got to, once a
    // visit has changed it.
    template <typename Visit>
    void for_each_node(Visit&& visit) const;

private:
    struct Edge {
        nb::object item, source, destination;
        bool tuple;  // the same tuple holds the same ends; a list may not
    };
    nb::object graph_, nodes_, edges_;
    std::vector<nb::object> names_, nodes_held_;
    std::vector<PyTypeObject*> types_;
    TextPositions positions_;
    std::optional<DictStamp> nodes_stamp_;
    std::vector<Py_ssize_t> next_positions_;  // PyDict_Next's position after each node
    std::vector<Edge> edges_held_;
    std::vector<Link> links_;
    std::vector<uint32_t> inputs_, outputs_;
    PyTypeObject *input_class_ = nullptr, *output_class_ = nullptr;
};

// The positions in graph.nodes of the nodes graph.inputs (Input) or
// graph.outputs (Output) holds, found without building the mapping, while
// that property is the IR layer's own and reading it runs no host code;
// otherwise nothing, and the caller reads the property.
std::optional<std::vector<size_t>> port_positions(nb::handle graph, const IrModule& ir, IrClass port_class);

// for name in mapping: visit(name); a visit that returns false ends the loop.
template <typename Visit>
void for_each_name(nb::handle mapping, Visit&& visit) {
    auto go_on = [&](nb::handle name) {
        if constexpr (std::is_same_v<decltype(visit(name)), bool>) return visit(name);
        else return visit(name), true;
    };
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0, expected = PyDict_GET_SIZE(mapping.ptr());
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            nb::object name = nb::borrow(key);
            if (!go_on(name)) return;
            if (PyDict_GET_SIZE(mapping.ptr()) != expected)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    for (const nb::object& name : iterate(mapping))
        if (!go_on(name)) return;
}

// for name, node in mapping.items(): visit(name, node)
template <typename Visit>
void for_each_node(nb::handle nodes, Visit&& visit) {
    if (PyDict_CheckExact(nodes.ptr())) {
        Py_ssize_t position = 0, expected = PyDict_GET_SIZE(nodes.ptr());
        PyObject *key, *value;
        while (PyDict_Next(nodes.ptr(), &position, &key, &value)) {
            nb::object name = nb::borrow(key), node = nb::borrow(value);
            visit(name, node);
            if (PyDict_GET_SIZE(nodes.ptr()) != expected)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    static const Name items("items");
    for (const nb::object& item : iterate(call_method(nodes, items))) {
        std::vector<nb::object> pair = unpack_exactly(item, 2);
        visit(pair[0], pair[1]);
    }
}

template <typename Visit>
void ValidatedGraph::for_each_node(Visit&& visit) const {
    PyObject* nodes = nodes_.ptr();
    if (!nodes_stamp_->unchanged()) return ondrel::for_each_node(nodes_, visit);
    Py_ssize_t expected = PyDict_GET_SIZE(nodes);
    for (size_t index = 0; index < nodes_held_.size(); ++index) {
        visit(names_[index], nodes_held_[index]);
        if (PyDict_GET_SIZE(nodes) != expected) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (nodes_stamp_->unchanged()) continue;
        Py_ssize_t position = next_positions_[index];
        PyObject *key, *value;
        while (PyDict_Next(nodes, &position, &key, &value)) {
            nb::object name = nb::borrow(key), node = nb::borrow(value);
            visit(name, node);
            if (PyDict_GET_SIZE(nodes) != expected)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
}

// The two ends of an edge held as an exact tuple or list of two items,
// borrowed from it; false for any other edge.
inline bool exact_pair(PyObject* edge, PyObject*& first, PyObject*& second) {
    if (PyTuple_CheckExact(edge) && PyTuple_GET_SIZE(edge) == 2) {
        first = PyTuple_GET_ITEM(edge, 0), second = PyTuple_GET_ITEM(edge, 1);
        return true;
    }
    if (PyList_CheckExact(edge) && PyList_GET_SIZE(edge) == 2) {
        first = PyList_GET_ITEM(edge, 0), second = PyList_GET_ITEM(edge, 1);
        return true;
    }
    return false;
}

// for source, destination in edges: visit(source, destination)
template <typename Visit>
void for_each_edge(nb::handle edges, Visit&& visit) {
    for (const nb::object& edge : iterate(edges)) {
        PyObject* pair = edge.ptr();
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            visit(nb::handle(PyTuple_GET_ITEM(pair, 0)), nb::handle(PyTuple_GET_ITEM(pair, 1)));  // kept by `edge`
        } else if (PyList_CheckExact(pair) && PyList_GET_SIZE(pair) == 2) {
            nb::object source = nb::borrow(PyList_GET_ITEM(pair, 0));
            nb::object destination = nb::borrow(PyList_GET_ITEM(pair, 1));
            visit(nb::handle(source), nb::handle(destination));
        } else {
            std::vector<nb::object> ends = unpack_exactly(edge, 2);
            visit(nb::handle(ends[0]), nb::handle(ends[1]));
        }
    }
}

}  // namespace ondrel
