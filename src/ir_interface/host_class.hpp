// A plain host class (base object only) whose methods are C functions.
#pragma once

#include "ir_interface/python.hpp"

#include <new>
#include <vector>

namespace ondrel {

// `doc` starts with the text signature ("name($self, /, a, b=None)\n--\n\n"),
// which gives inspect.signature, help() and the stub generator the parameters.
struct MethodDefinition {
    using WithoutArguments = PyObject* (*)(PyObject* self);
    using WithArguments = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
    MethodDefinition(const char* name, WithoutArguments function, const char* doc)
        : name(name), without_arguments(function), doc(doc) {}
    MethodDefinition(const char* name, WithArguments function, const char* doc)
        : name(name), with_arguments(function), doc(doc) {}

    const char* name;
    WithoutArguments without_arguments = nullptr;
    WithArguments with_arguments = nullptr;
    const char* doc;
};
// type(name, (object,), {...}) with the methods and, for the getters, read-only
// builtins.property objects (documented by the getter's doc), registered on
// the module. `constructor_signature` is the text signature of the class
// call, e.g. "()".
nb::object define_host_class(nb::module_& module, const char* name, const char* constructor_signature,
                             const char* doc, const std::vector<MethodDefinition>& methods,
                             const std::vector<MethodDefinition>& getters);


// Runs the body of a C-level method, handing any C++ or host error back to
// the host as the method's exception.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

}  // namespace ondrel
