// Walking graph.nodes and graph.edges as the host's loops would, with owned
// references throughout: a node accessor that changes the mapping mid-walk can
// neither free what is being visited nor go unnoticed. Also the positions of
// names and edges that the graph snapshot and the depth measures share.
#pragma once

#include "ir_interface/python.hpp"

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondrel {

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

using Link = std::pair<uint32_t, uint32_t>;  // (source position, destination position)

// The edges of an exact list of exact (str, str) tuples or lists as positions
// among `names` (exact str, in node order), matched as a dict keyed by the
// names would match them; nullopt for other edges, or when an end names no
// node. Runs no host code.
std::optional<std::vector<Link>> edge_positions(const std::vector<PyObject*>& names, nb::handle edges);

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

// An exact tuple or list of two exact str, whose ends it lends.
inline bool is_str_edge(PyObject* edge, PyObject*& source, PyObject*& destination) {
    if (PyTuple_CheckExact(edge) && PyTuple_GET_SIZE(edge) == 2) {
        source = PyTuple_GET_ITEM(edge, 0), destination = PyTuple_GET_ITEM(edge, 1);
    } else if (PyList_CheckExact(edge) && PyList_GET_SIZE(edge) == 2) {
        source = PyList_GET_ITEM(edge, 0), destination = PyList_GET_ITEM(edge, 1);
    } else {
        return false;
    }
    return PyUnicode_CheckExact(source) && PyUnicode_CheckExact(destination);
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
