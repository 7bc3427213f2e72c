#include "ir_interface/ir_classes.hpp"


namespace ondrel {

namespace {
const Name name_read("read");
const Name class_keys[] = {
#define ONDREL_KEY(name) Name(#name),
    ONDREL_IR_CLASSES(ONDREL_KEY)
#undef ONDREL_KEY
};
}  // namespace

IrModule::IrModule() {
    module_ = import_ir();
    for (size_t i = 0; i < classes_.size(); ++i) classes_[i] = attr_if_exists(module_, class_keys[i]);
}

nb::handle IrModule::required(IrClass cls) const {
    const nb::object& found = classes_[index(cls)];
    if (found.is_valid()) return found;
    // Let the host word the AttributeError exactly as a plain lookup would.
    PyObject* late = PyObject_GetAttrString(module_.ptr(), ir_class_name(cls));
    if (!late) throw nb::python_error();
    Py_DECREF(late);
    raise(PyExc_AttributeError, "module 'ondrel.ir' has no attribute '%s'", ir_class_name(cls));
}

// For a type that decides isinstance alone, the subclass test is the whole
// answer; isinstance itself would also read the node's __class__.
bool IrModule::is_instance(nb::handle node, nb::handle cls) const {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (reinterpret_cast<PyObject*>(type) == cls.ptr()) return true;
    if (type_decides_isinstance(type)) return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls.ptr())) != 0;
    int result = PyObject_IsInstance(node.ptr(), cls.ptr());
    check(result);
    return result != 0;
}

bool IrModule::is_a_if_defined(nb::handle node, IrClass cls) const {
    const nb::object& found = classes_[index(cls)];
    return found.is_valid() && is_instance(node, found);
}

nb::object IrModule::read(nb::handle path) const {
    nb::object reader = attr(module_, name_read);
    return own(PyObject_CallOneArg(reader.ptr(), path.ptr()));
}

bool IrModule::type_decides_isinstance(PyTypeObject* type) const {
    return decided_.find_or_decide(type, [&] { return decide_isinstance(type); });
}

bool IrModule::decide_isinstance(PyTypeObject* type) const {
    static const Name class_attribute("__class__");
    bool listed = false;
    for (const nb::object& cls : classes_) {
        if (!cls.is_valid()) continue;
        if (Py_TYPE(cls.ptr()) != &PyType_Type) return false;
        listed = listed || cls.ptr() == reinterpret_cast<PyObject*>(type);
    }
    if (!listed || type->tp_getattro != PyObject_GenericGetAttr) return false;
    return _PyType_Lookup(type, class_attribute.get()) == _PyType_Lookup(&PyBaseObject_Type, class_attribute.get());
}

}  // namespace ondrel
