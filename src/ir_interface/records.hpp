// Host dataclasses defined and filled from C++.
#pragma once

#include "ir_interface/python.hpp"

#include <initializer_list>
#include <vector>

namespace ondrel {

struct FieldSpec {
    enum class Default { Required, Value, NewList, NewDict };
    const char* name;
    const char* annotation;  // kept as the annotation text
    Default kind = Default::Required;
    nb::object value = {};  // for Default::Value
};

inline FieldSpec required_field(const char* name, const char* annotation) {
    return {name, annotation, FieldSpec::Default::Required, {}};
}
inline FieldSpec field_with_default(const char* name, const char* annotation, nb::object value) {
    return {name, annotation, FieldSpec::Default::Value, std::move(value)};
}
inline FieldSpec list_field(const char* name, const char* annotation = "list") {
    return {name, annotation, FieldSpec::Default::NewList, {}};
}
inline FieldSpec dict_field(const char* name, const char* annotation = "dict") {
    return {name, annotation, FieldSpec::Default::NewDict, {}};
}

// A dataclass (generated __init__, __repr__, __eq__; mutable; unhashable)
// created through dataclasses.make_dataclass and registered on `module`.
// make() builds an instance without running the Python-level __init__: the
// values go straight into the instance dict, in field order.
class RecordType {
public:
    RecordType() = default;
    RecordType(nb::module_& module, const char* name, const char* doc, std::vector<FieldSpec> fields);

    nb::handle type() const { return type_; }
    size_t field_count() const { return field_names_.size(); }
    nb::object make(std::initializer_list<nb::handle> values) const;
    nb::object make(const std::vector<nb::object>& values) const;

private:
    nb::object new_instance(PyObject*& instance_dict) const;
    nb::object type_;
    std::vector<nb::object> field_names_;
};

// Calls a host callable with positional arguments.
nb::object call(nb::handle callable, std::initializer_list<nb::handle> args);

}  // namespace ondrel
