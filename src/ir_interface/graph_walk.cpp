#include "ir_interface/graph_walk.hpp"

namespace ondrel {

namespace {

const Name graph_name("Graph"), qualname_name("__qualname__"), module_name("__module__");

struct RxViewOriginal {
    nb::object graph_class;
    nb::object method;  // Graph.__dict__["_get_rx_graph"]
};

// Taken from the IR layer's own module the first time it is needed; a method
// that does not come from there (already replaced) leaves the check failing.
const RxViewOriginal& rx_view_original() {
    static const RxViewOriginal original = [] {
        RxViewOriginal found;
        nb::object module = own(PyImport_ImportModule("ondrel.ir._graph"));
        nb::object graph_class = attr(module, graph_name);
        PyObject* class_dict = reinterpret_cast<PyTypeObject*>(graph_class.ptr())->tp_dict;
        PyObject* defined = PyDict_GetItemString(class_dict, "_get_rx_graph");  // borrowed
        if (!defined) return found;
        nb::object method = nb::borrow(defined);
        nb::object qualname = attr_if_exists(method, qualname_name);
        nb::object owner = attr_if_exists(method, module_name);
        if (PyFunction_Check(method.ptr()) && qualname.is_valid() && owner.is_valid() &&
            str_of(qualname) == "Graph._get_rx_graph" && str_of(owner) == "ondrel.ir._graph") {
            found.graph_class = graph_class;
            found.method = method;
        }
        return found;
    }();
    return original;
}

}  // namespace

bool has_original_rx_view(nb::handle graph) {
    static const Name get_rx_graph("_get_rx_graph");
    const RxViewOriginal& original = rx_view_original();
    if (!original.method.is_valid()) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(graph.ptr())) != original.graph_class.ptr()) return false;
    nb::object bound = attr(graph, get_rx_graph);
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == original.method.ptr() &&
           PyMethod_GET_SELF(bound.ptr()) == graph.ptr();
}

}  // namespace ondrel
