#include "ir_interface/ir_classes.hpp"

namespace ondrel {

namespace {
const Name name_read("read");
const Name class_keys[] = {
#define ONDREL_KEY(name, ...) Name(#name),
    ONDREL_IR_CLASSES(ONDREL_KEY, )
#undef ONDREL_KEY
};
}  // namespace

const Name& field_key(Field field) {
    static const Name keys[] = {
#define ONDREL_KEY(name) Name(#name),
        ONDREL_IR_FIELD_NAMES(ONDREL_KEY)
#undef ONDREL_KEY
    };
    return keys[static_cast<size_t>(field)];
}

void record_ir_fields(nb::handle module) {
    nb::object table = own(PyDict_New());
    for (size_t cls = 0; cls < ir_class_count; ++cls) {
        nb::object fields = own(PyTuple_New(static_cast<Py_ssize_t>(class_fields[cls].size())));
        for (size_t slot = 0; slot < class_fields[cls].size(); ++slot) {
            const FieldSpec& field = class_fields[cls][slot];
            nb::object entry = own(Py_BuildValue("(ss)", field_name(field.field),
                                                 field_kind_names[static_cast<size_t>(field.kind)]));
            PyTuple_SET_ITEM(fields.ptr(), static_cast<Py_ssize_t>(slot), entry.release().ptr());
        }
        set_item(table, text(ir_class_names[cls]), fields);
    }
    check(PyObject_SetAttrString(module.ptr(), "_IR_FIELDS", table.ptr()));
}

IrModule::IrModule() {
    module_ = import_ir();
    for (size_t i = 0; i < classes_.size(); ++i) classes_[i] = attr_if_exists(module_, class_keys[i]);
}

nb::handle IrModule::required(IrClass cls) const {
    const nb::object& found = classes_[index_of(cls)];
    if (found.is_valid()) return found;
    // Let the host word the AttributeError exactly as a plain lookup would.
    PyObject* late = PyObject_GetAttrString(module_.ptr(), ir_class_name(cls));
    if (!late) throw nb::python_error();
    Py_DECREF(late);
    raise(PyExc_AttributeError, "module 'ondrel.ir' has no attribute '%s'", ir_class_name(cls));
}

bool IrModule::is_instance(nb::handle node, nb::handle cls) const {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == cls.ptr()) return true;
    int result = PyObject_IsInstance(node.ptr(), cls.ptr());
    check(result);
    return result != 0;
}

bool IrModule::is_a_if_defined(nb::handle node, IrClass cls) const {
    const nb::object& found = classes_[index_of(cls)];
    return found.is_valid() && is_instance(node, found);
}

nb::object IrModule::read(nb::handle path) const {
    nb::object reader = attr(module_, name_read);
    return own(PyObject_CallOneArg(reader.ptr(), path.ptr()));
}

}  // namespace ondrel
