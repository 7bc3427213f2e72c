// The name-to-index map that lets the searches and counts run on integers.
#include "sdk/lint/lint.hpp"

namespace ondrel::lint {

NodeIndex::NodeIndex(nb::handle nodes) : index_(own(PyDict_New())) {
    Py_ssize_t hint = PyObject_LengthHint(nodes.ptr(), 0);
    if (hint < 0) throw nb::python_error();
    names_.reserve(static_cast<size_t>(hint));
    indices_.reserve(static_cast<size_t>(hint));
    for_each_name(nodes, [&](nb::handle name) {
        nb::object candidate = integer(static_cast<long long>(size_));
        PyObject* stored = PyDict_SetDefault(index_.ptr(), name.ptr(), candidate.ptr());  // borrowed
        if (!stored) throw nb::python_error();
        size_t index = size_;
        if (stored == candidate.ptr()) ++size_;
        else index = PyLong_AsSize_t(stored);  // a name equal to an earlier one
        names_.push_back(nb::borrow(name));
        indices_.push_back(index);
    });
}

size_t NodeIndex::index_of(nb::handle name) const {
    PyObject* stored = PyDict_GetItemWithError(index_.ptr(), name.ptr());
    if (!stored) {
        if (PyErr_Occurred()) throw nb::python_error();
        raise_key_error(name);
    }
    return PyLong_AsSize_t(stored);
}

}  // namespace ondrel::lint
