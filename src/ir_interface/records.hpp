// Host dataclasses defined and filled from C++.
#pragma once

#include "ir_interface/python.hpp"

#include <initializer_list>
#include <vector>

namespace ondrel {

struct FieldDefinition {
    enum class Default { Required, Value, NewList, NewDict };
    const char* name;
    const char* annotation;  // kept as the annotation text
    Default kind = Default::Required;
    nb::object value = {};  // for Default::Value
};

inline FieldDefinition required_field(const char* name, const char* annotation) {
    return {name, annotation, FieldDefinition::Default::Required, {}};
}
inline FieldDefinition field_with_default(const char* name, const char* annotation, nb::object value) {
    return {name, annotation, FieldDefinition::Default::Value, std::move(value)};
}
inline FieldDefinition list_field(const char* name, const char* annotation = "list") {
    return {name, annotation, FieldDefinition::Default::NewList, {}};
}
inline FieldDefinition dict_field(const char* name, const char* annotation = "dict") {
    return {name, annotation, FieldDefinition::Default::NewDict, {}};
}

// A dataclass (generated __init__, __repr__, __eq__; mutable; unhashable)
// created through dataclasses.make_dataclass and registered on `module`.
// make() builds an instance without running the Python-level __init__: the
// values are stored as plain attributes, in field order.
class RecordType {
public:
    RecordType() = default;
    RecordType(nb::module_& module, const char* name, const char* doc, std::vector<FieldDefinition> fields);

    nb::handle type() const { return type_; }
    nb::object make(std::initializer_list<nb::handle> values) const;

private:
    nb::object new_instance() const;
    void set_field(nb::handle instance, size_t index, nb::handle value) const;
    nb::object type_;
    std::vector<nb::object> field_names_;
};

// Calls a host callable with positional arguments.
nb::object call(nb::handle callable, std::initializer_list<nb::handle> args);

}  // namespace ondrel
