// Public functions and methods as the host's own builtins: called through
// vectorcall, with a text signature that inspect.signature and help() read,
// and argument errors worded as the host words them for Python functions
// ("f() missing 1 required positional argument: 'node'").
#pragma once

#include "ir_interface/python.hpp"

#include <initializer_list>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondrel {

// Runs the body of a C-level function, handing any C++ or host error back to
// the host as the function's exception.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const nb::cast_error&) {  // a C++ result with no host conversion
        PyErr_SetString(PyExc_TypeError, "unable to convert the result to a host object");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

// A positional-or-keyword parameter, required unless it has a default.
struct Parameter {
    Parameter(const char* name) : name(name) {}  // NOLINT: a bare name is a required parameter
    template <typename Value>
    Parameter(const char* name, Value&& default_value)
        : name(name), default_value(nb::cast(std::forward<Value>(default_value))) {}

    const char* name;
    nb::object default_value;  // empty for a required parameter
};

// The parameters of one function or method and the binding of a call to them.
// Defaults follow the required parameters, as in a Python signature.
class Signature {
public:
    Signature(std::string qualified_name, std::vector<Parameter> parameters, bool method);

    // Fills one slot per parameter from a vectorcall (defaults included); false,
    // with the host's TypeError set, when the arguments do not fit.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
    size_t size() const { return names_.size(); }
    // "name(a, b=1)\n--\n\n" + doc, or "name($self, /, a)..." for a method.
    std::string documentation(const char* name, const char* doc) const;

private:
    bool bind_slowly(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
    void raise_too_many(Py_ssize_t given) const;
    void raise_missing(PyObject** slots) const;

    std::string qualified_name_;
    std::vector<nb::object> names_;     // interned
    std::vector<nb::object> defaults_;  // empty for the required ones
    size_t required_;
    bool method_;  // positional counts include self, as for a Python method
};

namespace host_function_detail {

template <typename Function>
struct Traits : Traits<decltype(&Function::operator())> {};  // a captureless lambda
template <typename Result, typename... Arguments>
struct Traits<Result (*)(Arguments...)> {
    using result = Result;
    static constexpr size_t arity = sizeof...(Arguments);
    static constexpr bool handles_only = (std::is_same_v<Arguments, nb::handle> && ...);
};
template <typename Lambda, typename Result, typename... Arguments>
struct Traits<Result (Lambda::*)(Arguments...) const> : Traits<Result (*)(Arguments...)> {};

template <typename Result>
nb::object as_object(Result&& result) {
    if constexpr (std::is_base_of_v<nb::handle, std::decay_t<Result>>) return nb::object(std::forward<Result>(result));
    else if constexpr (std::is_same_v<std::decay_t<Result>, bool>) return boolean(result);
    else return nb::cast(std::forward<Result>(result));
}

template <auto Implementation, size_t... I>
nb::object invoke(PyObject* const* slots, std::index_sequence<I...>) {
    using Result = typename Traits<decltype(Implementation)>::result;
    if constexpr (std::is_void_v<Result>) {
        Implementation(nb::handle(slots[I])...);
        return none();
    } else {
        return as_object(Implementation(nb::handle(slots[I])...));
    }
}

// Every definition lives as long as the process, as the host's own method
// tables do: the function objects point into it.
struct Definition {
    Signature signature;
    std::string doc;
    PyMethodDef method;
};
Definition* new_definition(const char* name, std::string qualified_name, std::vector<Parameter> parameters,
                           bool method, const char* doc, void (*entry)(), size_t arity);

// One instance per implementation, so that the entry point (a plain C
// function) finds its signature without looking it up.
template <auto Implementation>
struct Entry {
    using traits = Traits<decltype(Implementation)>;
    static_assert(traits::handles_only, "host functions take every argument as nb::handle");
    static inline const Definition* definition = nullptr;

    static PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* slots[traits::arity > 0 ? traits::arity : 1];
        if (!definition->signature.bind(args, nargs, kwnames, slots)) return nullptr;
        return guarded([&] { return invoke<Implementation>(slots, std::make_index_sequence<traits::arity>{}); });
    }

    // The implementation's first argument is self.
    static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* slots[traits::arity];
        slots[0] = self;
        if (!definition->signature.bind(args, nargs, kwnames, slots + 1)) return nullptr;
        return guarded([&] { return invoke<Implementation>(slots, std::make_index_sequence<traits::arity>{}); });
    }

    static const Definition& define(const char* name, std::string qualified_name, std::vector<Parameter> parameters,
                                    bool is_method, const char* doc) {
        auto entry = is_method ? reinterpret_cast<void (*)()>(&Entry::method)
                               : reinterpret_cast<void (*)()>(&Entry::function);
        definition = new_definition(name, std::move(qualified_name), std::move(parameters), is_method, doc, entry,
                                    traits::arity - (is_method ? 1 : 0));
        return *definition;
    }
};

void add_function(nb::module_& module, const Definition& definition);

}  // namespace host_function_detail

// Defines module.name as a builtin function calling `Implementation`, a plain
// function or a captureless lambda taking one nb::handle per parameter.
template <auto Implementation>
void define_function(nb::module_& module, const char* name, std::vector<Parameter> parameters, const char* doc) {
    using host_function_detail::Entry;
    host_function_detail::add_function(module, Entry<Implementation>::define(name, name, std::move(parameters),
                                                                             false, doc));
}

// A method of a host class (see host_class.hpp): `Implementation` takes self
// and then one nb::handle per parameter.
struct MethodDefinition {
    PyMethodDef* method;
};
template <auto Implementation>
MethodDefinition method(const char* class_name, const char* name, std::vector<Parameter> parameters,
                        const char* doc) {
    using host_function_detail::Entry;
    const auto& definition = Entry<Implementation>::define(name, std::string(class_name) + "." + name,
                                                           std::move(parameters), true, doc);
    return {const_cast<PyMethodDef*>(&definition.method)};
}

// module.__all__: what `from module import *` takes and what help() lists.
void set_public_names(nb::module_& module, std::initializer_list<const char*> names);

}  // namespace ondrel
