#include "ir_interface/ir_classes.hpp"

namespace ondrel {

namespace {
constexpr std::array<const char*, static_cast<size_t>(IrClass::Count)> class_names = {
    "Input",     "Output",     "Affine",           "SpikingAffine",    "Conv2d",
    "SepConv2d", "LIF",        "MaxPool2d",        "AvgPool2d",        "Flatten",
    "Skip",      "Upsample",   "ChannelSplit",     "Concat",           "SGhostConv",
    "SGhostEncoderLite",       "GhostBasicBlock1", "GhostBasicBlock2", "SDDetect",
    "DFLDecode", "Dist2BBox",
};

const Name name_read("read");
}  // namespace

const char* ir_class_name(IrClass cls) { return class_names[static_cast<size_t>(cls)]; }

IrModule::IrModule() {
    module_ = from_import(nb::handle(), "ondrel", "ir");
    for (size_t i = 0; i < classes_.size(); ++i) {
        nb::object key = own(PyUnicode_InternFromString(class_names[i]));
        PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
        int found = PyObject_GetOptionalAttr(module_.ptr(), key.ptr(), &value);
#else
        int found = _PyObject_LookupAttr(module_.ptr(), key.ptr(), &value);
#endif
        check(found);
        if (found) classes_[i] = nb::steal(value);
    }
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

static bool is_instance_of(nb::handle node, nb::handle cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())) == cls.ptr()) return true;
    int result = PyObject_IsInstance(node.ptr(), cls.ptr());
    check(result);
    return result != 0;
}

bool IrModule::is_a(nb::handle node, IrClass cls) const { return is_instance_of(node, required(cls)); }

bool IrModule::is_a_if_defined(nb::handle node, IrClass cls) const {
    const nb::object& found = classes_[index(cls)];
    return found.is_valid() && is_instance_of(node, found);
}

nb::object IrModule::read(nb::handle path) const {
    nb::object reader = attr(module_, name_read);
    return own(PyObject_CallOneArg(reader.ptr(), path.ptr()));
}

}  // namespace ondrel
