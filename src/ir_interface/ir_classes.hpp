// The IR library's node classes, resolved once per service call.
#pragma once

#include "ir_interface/python.hpp"

#include <array>
#include <utility>
#include <vector>

namespace ondrel {

// Every node class of the IR library, in one list: the enum and the class
// names are generated from it, so they cannot fall out of step.
#define ONDREL_IR_CLASSES(X)                                                                                       \
    X(Input) X(Output) X(Affine) X(SpikingAffine) X(Conv2d) X(SepConv2d) X(LIF) X(MaxPool2d) X(AvgPool2d) X(Flatten) \
    X(Skip) X(Upsample) X(ChannelSplit) X(Concat) X(SGhostConv) X(SGhostEncoderLite) X(GhostBasicBlock1)           \
    X(GhostBasicBlock2) X(SDDetect) X(DFLDecode) X(Dist2BBox)

enum class IrClass {
#define ONDREL_ENUMERATOR(name) name,
    ONDREL_IR_CLASSES(ONDREL_ENUMERATOR)
#undef ONDREL_ENUMERATOR
    Count
};

inline constexpr size_t ir_class_count = static_cast<size_t>(IrClass::Count);

inline constexpr std::array<const char*, ir_class_count> ir_class_names = {
#define ONDREL_NAME(name) #name,
    ONDREL_IR_CLASSES(ONDREL_NAME)
#undef ONDREL_NAME
};

constexpr const char* ir_class_name(IrClass cls) { return ir_class_names[static_cast<size_t>(cls)]; }

// `from ondrel import ir` followed by one lookup per node class. Classes the
// module lacks are remembered as missing: a required class raises the host's
// AttributeError only where a rule first needs it, an optional one is simply
// never matched.
class IrModule {
public:
    IrModule();  // imports the IR library; its import errors propagate

    nb::handle module() const { return module_; }
    bool defines(IrClass cls) const { return classes_[index(cls)].is_valid(); }
    nb::handle required(IrClass cls) const;

    // isinstance(node, ir.<cls>); AttributeError when ir lacks the class.
    bool is_a(nb::handle node, IrClass cls) const { return is_instance(node, required(cls)); }
    // isinstance(node, cls) for a class looked up here
    bool is_instance(nb::handle node, nb::handle cls) const;
    // hasattr(ir, "<cls>") and isinstance(node, ir.<cls>)
    bool is_a_if_defined(nb::handle node, IrClass cls) const;

    nb::object read(nb::handle path) const;  // ir.read(path)

    // True when isinstance(x, ir.<class>), for an x of exactly `type`, is
    // decided by the type alone for every class: the type is one of the
    // classes looked up here, every class is a plain one (no metaclass of
    // its own with __instancecheck__), and the type reads __class__, which
    // isinstance also consults, as object does.
    bool type_decides_isinstance(PyTypeObject* type) const;

private:
    static size_t index(IrClass cls) { return static_cast<size_t>(cls); }
    bool decide_isinstance(PyTypeObject* type) const;
    nb::object module_;
    std::array<nb::object, ir_class_count> classes_;
    // What type_decides_isinstance found for the node types seen so far (few).
    mutable TypeMemo<bool> decided_;
};

// True for the str and bytes paths that the entry points read through ir.read.
inline bool is_path(nb::handle graph) { return PyUnicode_Check(graph.ptr()) || PyBytes_Check(graph.ptr()); }

// The class names as a host tuple, in the order of `classes`.
template <size_t N>
nb::object class_name_tuple(const std::array<IrClass, N>& classes) {
    nb::object names = own(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), own(PyUnicode_FromString(ir_class_name(classes[i]))).release().ptr());
    return names;
}

}  // namespace ondrel
