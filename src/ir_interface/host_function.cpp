#include "ir_interface/host_function.hpp"

#include <algorithm>
#include <stdexcept>

namespace ondrel {

Signature::Signature(std::string qualified_name, std::vector<Parameter> parameters, bool method)
    : qualified_name_(std::move(qualified_name)), required_(0), method_(method) {
    for (Parameter& parameter : parameters) {
        PyObject* name = PyUnicode_InternFromString(parameter.name);
        if (!name) throw nb::python_error();
        names_.push_back(own(name));
        if (!parameter.default_value.is_valid()) {
            if (required_ != defaults_.size())
                throw std::logic_error(qualified_name_ + ": a required parameter after a default");
            ++required_;
        }
        defaults_.push_back(std::move(parameter.default_value));
    }
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    const size_t count = names_.size();
    if (kwnames || nargs < static_cast<Py_ssize_t>(required_) || nargs > static_cast<Py_ssize_t>(count))
        return bind_slowly(args, nargs, kwnames, slots);
    std::copy(args, args + nargs, slots);
    for (size_t i = static_cast<size_t>(nargs); i < count; ++i) slots[i] = defaults_[i].ptr();
    return true;
}

// In the host's order: keyword errors, then too many positional arguments,
// then missing ones.
bool Signature::bind_slowly(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    const size_t count = names_.size();
    std::fill(slots, slots + count, nullptr);
    std::copy(args, args + std::min(nargs, static_cast<Py_ssize_t>(count)), slots);
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", qualified_name_.c_str());
            return false;
        }
        size_t at = 0;
        while (at < count && names_[at].ptr() != keyword) ++at;
        if (at == count) {
            at = 0;
            while (at < count && PyUnicode_Compare(names_[at].ptr(), keyword) != 0) ++at;
        }
        if (at == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualified_name_.c_str(),
                         keyword);
            return false;
        }
        if (slots[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", qualified_name_.c_str(),
                         keyword);
            return false;
        }
        slots[at] = args[nargs + k];
    }
    if (nargs > static_cast<Py_ssize_t>(count)) {
        raise_too_many(nargs);
        return false;
    }
    for (size_t i = 0; i < required_; ++i) {
        if (!slots[i]) {
            raise_missing(slots);
            return false;
        }
    }
    for (size_t i = required_; i < count; ++i)
        if (!slots[i]) slots[i] = defaults_[i].ptr();
    return true;
}

void Signature::raise_too_many(Py_ssize_t given) const {
    Py_ssize_t self = method_ ? 1 : 0;
    Py_ssize_t most = static_cast<Py_ssize_t>(names_.size()) + self;
    Py_ssize_t least = static_cast<Py_ssize_t>(required_) + self;
    given += self;
    std::string takes = least == most ? std::to_string(most) + (most == 1 ? " positional argument"
                                                                           : " positional arguments")
                                      : "from " + std::to_string(least) + " to " + std::to_string(most) +
                                            " positional arguments";
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", qualified_name_.c_str(), takes.c_str(), given,
                 given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the host lists missing names.
void Signature::raise_missing(PyObject** slots) const {
    std::vector<std::string> missing;
    for (size_t i = 0; i < required_; ++i)
        if (!slots[i]) missing.push_back("'" + std::string(PyUnicode_AsUTF8(names_[i].ptr())) + "'");
    std::string names = missing.back();
    if (missing.size() == 2) names = missing[0] + " and " + missing[1];
    if (missing.size() > 2) {
        names.clear();
        for (size_t i = 0; i + 1 < missing.size(); ++i) names += missing[i] + ", ";
        names += "and " + missing.back();
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", qualified_name_.c_str(),
                 missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
}

std::string Signature::documentation(const char* name, const char* doc) const {
    std::string text = std::string(name) + (method_ ? "($self, /" : "(");
    for (size_t i = 0; i < names_.size(); ++i) {
        if (i > 0 || method_) text += ", ";
        text += PyUnicode_AsUTF8(names_[i].ptr());
        if (defaults_[i].is_valid()) text += "=" + std::string(PyUnicode_AsUTF8(nb::repr(defaults_[i]).ptr()));
    }
    return text + ")\n--\n\n" + doc;
}

namespace host_function_detail {

Definition* new_definition(const char* name, std::string qualified_name, std::vector<Parameter> parameters,
                           bool method, const char* doc, void (*entry)(), size_t arity) {
    if (parameters.size() != arity) throw std::logic_error(qualified_name + ": parameters do not match the function");
    auto* definition = new Definition{Signature(std::move(qualified_name), std::move(parameters), method), {}, {}};
    definition->doc = definition->signature.documentation(name, doc);
    definition->method = {name, reinterpret_cast<PyCFunction>(entry), METH_FASTCALL | METH_KEYWORDS,
                          definition->doc.c_str()};
    return definition;
}

void add_function(nb::module_& module, const Definition& definition) {
    nb::object module_name = module.attr("__name__");
    nb::object function = own(
        PyCFunction_NewEx(const_cast<PyMethodDef*>(&definition.method), module.ptr(), module_name.ptr()));
    check(PyObject_SetAttrString(module.ptr(), definition.method.ml_name, function.ptr()));
}

}  // namespace host_function_detail

void set_public_names(nb::module_& module, std::initializer_list<const char*> names) {
    nb::object list = own(PyList_New(0));
    for (const char* name : names) append(list, text(name));
    module.attr("__all__") = list;
}

}  // namespace ondrel
