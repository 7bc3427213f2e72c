// The IR library's node classes, resolved once per service call.
#pragma once

#include "ir_interface/python.hpp"

#include <array>

namespace ondrel {

enum class IrClass {
    Input,
    Output,
    Affine,
    SpikingAffine,
    Conv2d,
    SepConv2d,
    LIF,
    MaxPool2d,
    AvgPool2d,
    Flatten,
    Skip,
    Upsample,
    ChannelSplit,
    Concat,
    SGhostConv,
    SGhostEncoderLite,
    GhostBasicBlock1,
    GhostBasicBlock2,
    SDDetect,
    DFLDecode,
    Dist2BBox,
    Count
};

const char* ir_class_name(IrClass cls);

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
    bool is_a(nb::handle node, IrClass cls) const;
    // hasattr(ir, "<cls>") and isinstance(node, ir.<cls>)
    bool is_a_if_defined(nb::handle node, IrClass cls) const;

    nb::object read(nb::handle path) const;  // ir.read(path)

private:
    static size_t index(IrClass cls) { return static_cast<size_t>(cls); }
    nb::object module_;
    std::array<nb::object, static_cast<size_t>(IrClass::Count)> classes_;
};

// True for the str and bytes paths that the entry points read through ir.read.
inline bool is_path(nb::handle graph) { return PyUnicode_Check(graph.ptr()) || PyBytes_Check(graph.ptr()); }

}  // namespace ondrel
