#include "ir_interface/records.hpp"

using namespace nanobind::literals;

namespace ondrel {

nb::object call(nb::handle callable, std::initializer_list<nb::handle> args) {
    std::vector<PyObject*> raw;
    raw.reserve(args.size());
    for (nb::handle arg : args) raw.push_back(arg.ptr());
    return own(PyObject_Vectorcall(callable.ptr(), raw.data(), raw.size(), nullptr));
}

RecordType::RecordType(nb::module_& module, const char* name, const char* doc, std::vector<FieldDefinition> fields) {
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::object field_factory = dataclasses.attr("field");
    nb::object builtins = nb::module_::import_("builtins");
    nb::list field_list;
    for (const FieldDefinition& field : fields) {
        field_names_.push_back(own(PyUnicode_InternFromString(field.name)));
        switch (field.kind) {
            case FieldDefinition::Default::Required:
                field_list.append(nb::make_tuple(field.name, field.annotation));
                break;
            case FieldDefinition::Default::Value:
                field_list.append(nb::make_tuple(field.name, field.annotation, field_factory("default"_a = field.value)));
                break;
            case FieldDefinition::Default::NewList:
                field_list.append(nb::make_tuple(field.name, field.annotation,
                                                 field_factory("default_factory"_a = builtins.attr("list"))));
                break;
            case FieldDefinition::Default::NewDict:
                field_list.append(nb::make_tuple(field.name, field.annotation,
                                                 field_factory("default_factory"_a = builtins.attr("dict"))));
                break;
        }
    }
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__doc__"] = doc;
    namespace_["__qualname__"] = name;
    type_ = dataclasses.attr("make_dataclass")(name, field_list, "namespace"_a = namespace_);
    module.attr(name) = type_;
}

// Values are set as attributes, in field order, as the generated __init__
// sets them: the instance then keeps them in the class's shared key table
// (as compact as a Python-built instance) instead of a dict of its own.
nb::object RecordType::new_instance() const {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(type_.ptr());
    nb::object empty = own(PyTuple_New(0));
    return own(type->tp_new(type, empty.ptr(), nullptr));
}

void RecordType::set_field(nb::handle instance, size_t index, nb::handle value) const {
    check(PyObject_GenericSetAttr(instance.ptr(), field_names_[index].ptr(), value.ptr()));
}

nb::object RecordType::make(std::initializer_list<nb::handle> values) const {
    if (values.size() != field_names_.size()) raise(PyExc_SystemError, "record built with the wrong field count");
    nb::object instance = new_instance();
    size_t i = 0;
    for (nb::handle value : values) set_field(instance, i++, value);
    return instance;
}

}  // namespace ondrel
