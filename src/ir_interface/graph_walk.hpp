// Walking graph.nodes and graph.edges as the host's loops would, with owned
// references throughout: a node accessor that changes the mapping mid-walk can
// neither free what is being visited nor go unnoticed.
#pragma once

#include "ir_interface/ir_classes.hpp"

#include <optional>
#include <vector>

namespace ondrel {

// True when `graph` is exactly an ir.Graph whose `_get_rx_graph` is the IR
// layer's own method (neither replaced on the class nor shadowed on the
// instance): its rustworkx view is then exactly its `nodes` in order and one
// edge per entry of `edges`, and may be walked without being built.
bool has_original_rx_view(nb::handle graph);

// For an exact ir.Graph whose `validate` is the IR layer's own: true when
// validate() would return without raising, decided without it and without
// running host code (a plain dict of str names and IR-class nodes, a plain
// list of str pairs). False leaves the call to the caller, which then makes
// it: for anything else, and whenever validate() would raise.
bool validates_natively(nb::handle graph, const IrModule& ir);

// The positions in graph.nodes of the nodes graph.inputs (Input) or
// graph.outputs (Output) holds, found without building the mapping, while
// that property is the IR layer's own and reading it runs no host code;
// otherwise nothing, and the caller reads the property.
std::optional<std::vector<size_t>> port_positions(nb::handle graph, const IrModule& ir, IrClass port_class);

// for name in mapping: visit(name)
template <typename Visit>
void for_each_name(nb::handle mapping, Visit&& visit) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0, expected = PyDict_GET_SIZE(mapping.ptr());
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            nb::object name = nb::borrow(key);
            visit(name);
            if (PyDict_GET_SIZE(mapping.ptr()) != expected)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    for (const nb::object& name : iterate(mapping)) visit(name);
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
