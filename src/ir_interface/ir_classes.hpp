// The IR layer's node classes and their fields, in one list, and the IR
// module as one service call sees it.
#pragma once

#include "ir_interface/python.hpp"

#include <array>
#include <cstdint>
#include <span>

namespace ondrel {

// Every field name the IR layer's node classes use.
#define ONDREL_IR_FIELD_NAMES(X)                                                                                   \
    X(input_type) X(output_type) X(weight) X(bias) X(spike_mode) X(weight_bits) X(accumulator_bits) X(stride)      \
    X(padding) X(dilation) X(groups) X(depthwise_weight) X(pointwise_weight) X(depthwise_bias) X(pointwise_bias)   \
    X(tau) X(r) X(v_leak) X(v_threshold) X(kernel_size) X(count_include_pad) X(start_dim) X(end_dim) X(skip_type)  \
    X(scale_factor) X(size) X(mode) X(align_corners) X(split_sections) X(dim) X(num_inputs) X(primary_weight)      \
    X(primary_bias) X(cheap_weight) X(cheap_bias) X(primary_stride) X(primary_padding) X(conv1_weight)            \
    X(conv1_bias) X(ghost_primary_weight) X(ghost_primary_bias) X(ghost_cheap_weight) X(ghost_cheap_bias)         \
    X(cvres_primary_weight) X(cvres_primary_bias) X(cvres_cheap_weight) X(cvres_cheap_bias) X(cv0_primary_weight) \
    X(cv0_primary_bias) X(cv0_cheap_weight) X(cv0_cheap_bias) X(cv2_primary_weight) X(cv2_primary_bias)           \
    X(cv2_cheap_weight) X(cv2_cheap_bias) X(in_channels) X(out_channels) X(cv2_w0) X(cv2_b0) X(cv2_w1) X(cv2_b1)  \
    X(cv2_w2) X(cv2_b2) X(cv3_w0) X(cv3_b0) X(cv3_w1) X(cv3_b1) X(cv3_w2) X(cv3_b2) X(num_classes) X(reg_max)    \
    X(dfl_weights)

// What a field holds, as the IR layer's FIELD_KINDS declares it (one kind per
// field annotation there).
#define ONDREL_FIELD_KINDS(X) X(Array) X(Ports) X(Int) X(Ints) X(OptionalInts) X(Reals) X(Str) X(Bool) X(OptionalBool)

// Every node class of the IR layer, with its fields after the input_type and
// output_type (Ports) that every node has, in declaration order. The class
// enum, the names and the field table are generated from it; tests hold it to
// the IR layer's dataclasses and FIELD_KINDS.
#define ONDREL_IR_CLASSES(CLASS, F)                                                                                \
    CLASS(Input)                                                                                                   \
    CLASS(Output)                                                                                                  \
    CLASS(Affine, F(weight, Array) F(bias, Array))                                                                 \
    CLASS(SpikingAffine, F(weight, Array) F(bias, Array) F(spike_mode, Str) F(weight_bits, Int)                    \
                             F(accumulator_bits, Int))                                                             \
    CLASS(Conv2d, F(weight, Array) F(bias, Array) F(stride, Ints) F(padding, Ints) F(dilation, Ints) F(groups, Int)) \
    CLASS(SepConv2d, F(depthwise_weight, Array) F(pointwise_weight, Array) F(depthwise_bias, Array)                \
                         F(pointwise_bias, Array) F(stride, Ints) F(padding, Ints) F(dilation, Ints))              \
    CLASS(LIF, F(tau, Array) F(r, Array) F(v_leak, Array) F(v_threshold, Array))                                   \
    CLASS(MaxPool2d, F(kernel_size, Ints) F(stride, Ints) F(padding, Ints))                                        \
    CLASS(AvgPool2d, F(kernel_size, Ints) F(stride, Ints) F(padding, Ints) F(count_include_pad, Bool))            \
    CLASS(Flatten, F(start_dim, Int) F(end_dim, Int))                                                              \
    CLASS(Skip, F(skip_type, Str))                                                                                 \
    CLASS(Upsample, F(scale_factor, Reals) F(size, OptionalInts) F(mode, Str) F(align_corners, OptionalBool))     \
    CLASS(ChannelSplit, F(split_sections, OptionalInts) F(dim, Int))                                               \
    CLASS(Concat, F(num_inputs, Int) F(dim, Int))                                                                  \
    CLASS(SGhostConv, F(primary_weight, Array) F(primary_bias, Array) F(cheap_weight, Array) F(cheap_bias, Array)  \
                          F(primary_stride, Int) F(primary_padding, Int))                                          \
    CLASS(SGhostEncoderLite, F(conv1_weight, Array) F(conv1_bias, Array) F(ghost_primary_weight, Array)            \
                                 F(ghost_primary_bias, Array) F(ghost_cheap_weight, Array)                         \
                                     F(ghost_cheap_bias, Array) F(stride, Int))                                    \
    CLASS(GhostBasicBlock1, F(cvres_primary_weight, Array) F(cvres_primary_bias, Array)                            \
                                F(cvres_cheap_weight, Array) F(cvres_cheap_bias, Array) F(cv0_primary_weight, Array) \
                                    F(cv0_primary_bias, Array) F(cv0_cheap_weight, Array) F(cv0_cheap_bias, Array) \
                                        F(cv2_primary_weight, Array) F(cv2_primary_bias, Array)                    \
                                            F(cv2_cheap_weight, Array) F(cv2_cheap_bias, Array) F(stride, Int)     \
                                                F(in_channels, Int) F(out_channels, Int))                          \
    CLASS(GhostBasicBlock2, F(cv0_primary_weight, Array) F(cv0_primary_bias, Array) F(cv0_cheap_weight, Array)     \
                                F(cv0_cheap_bias, Array) F(cv2_primary_weight, Array) F(cv2_primary_bias, Array)   \
                                    F(cv2_cheap_weight, Array) F(cv2_cheap_bias, Array) F(in_channels, Int)        \
                                        F(out_channels, Int))                                                      \
    CLASS(SDDetect, F(cv2_w0, Array) F(cv2_b0, Array) F(cv2_w1, Array) F(cv2_b1, Array) F(cv2_w2, Array)           \
                        F(cv2_b2, Array) F(cv3_w0, Array) F(cv3_b0, Array) F(cv3_w1, Array) F(cv3_b1, Array)       \
                            F(cv3_w2, Array) F(cv3_b2, Array) F(num_classes, Int) F(reg_max, Int) F(stride, Int))  \
    CLASS(DFLDecode, F(dfl_weights, Array) F(reg_max, Int))                                                        \
    CLASS(Dist2BBox, F(stride, Int))

enum class Field : uint8_t {
#define ONDREL_ENUMERATOR(name) name,
    ONDREL_IR_FIELD_NAMES(ONDREL_ENUMERATOR)
#undef ONDREL_ENUMERATOR
};
enum class FieldKind : uint8_t {
#define ONDREL_ENUMERATOR(name) name,
    ONDREL_FIELD_KINDS(ONDREL_ENUMERATOR)
#undef ONDREL_ENUMERATOR
};
enum class IrClass : uint8_t {
#define ONDREL_ENUMERATOR(name, ...) name,
    ONDREL_IR_CLASSES(ONDREL_ENUMERATOR, )
#undef ONDREL_ENUMERATOR
};

#define ONDREL_TEXT(name, ...) #name,
inline constexpr std::array field_names{ONDREL_IR_FIELD_NAMES(ONDREL_TEXT)};
inline constexpr std::array field_kind_names{ONDREL_FIELD_KINDS(ONDREL_TEXT)};
inline constexpr std::array ir_class_names{ONDREL_IR_CLASSES(ONDREL_TEXT, )};
#undef ONDREL_TEXT
inline constexpr size_t field_count = field_names.size();
inline constexpr size_t ir_class_count = ir_class_names.size();

constexpr const char* field_name(Field field) { return field_names[static_cast<size_t>(field)]; }
constexpr const char* ir_class_name(IrClass cls) { return ir_class_names[static_cast<size_t>(cls)]; }
constexpr size_t index_of(IrClass cls) { return static_cast<size_t>(cls); }

struct FieldSpec {
    Field field;
    FieldKind kind;
};

namespace ir_fields_detail {
#define ONDREL_FIELD(name, kind) FieldSpec{Field::name, FieldKind::kind},
#define ONDREL_CLASS_FIELDS(name, ...)                                                                             \
    inline constexpr FieldSpec name[] = {FieldSpec{Field::input_type, FieldKind::Ports},                           \
                                         FieldSpec{Field::output_type, FieldKind::Ports}, __VA_ARGS__};
ONDREL_IR_CLASSES(ONDREL_CLASS_FIELDS, ONDREL_FIELD)
#undef ONDREL_CLASS_FIELDS
#undef ONDREL_FIELD
}  // namespace ir_fields_detail

// Each class's fields, in declaration order.
inline constexpr std::array<std::span<const FieldSpec>, ir_class_count> class_fields{
#define ONDREL_SPAN(name, ...) std::span<const FieldSpec>(ir_fields_detail::name),
    ONDREL_IR_CLASSES(ONDREL_SPAN, )
#undef ONDREL_SPAN
};

inline constexpr int8_t no_slot = -1;
// slot_of[cls][field]: the field's position among its class's fields, or no_slot.
inline constexpr auto field_slots = [] {
    std::array<std::array<int8_t, field_count>, ir_class_count> slots{};
    for (auto& row : slots) row.fill(no_slot);
    for (size_t cls = 0; cls < ir_class_count; ++cls)
        for (size_t slot = 0; slot < class_fields[cls].size(); ++slot)
            slots[cls][static_cast<size_t>(class_fields[cls][slot].field)] = static_cast<int8_t>(slot);
    return slots;
}();
constexpr int slot_of(IrClass cls, Field field) { return field_slots[index_of(cls)][static_cast<size_t>(field)]; }

// No class names a field twice, and every listed name is some class's field.
static_assert([] {
    std::array<bool, field_count> used{};
    for (size_t cls = 0; cls < ir_class_count; ++cls) {
        std::array<bool, field_count> seen{};
        for (const FieldSpec& entry : class_fields[cls]) {
            if (seen[static_cast<size_t>(entry.field)]) return false;
            seen[static_cast<size_t>(entry.field)] = used[static_cast<size_t>(entry.field)] = true;
        }
    }
    for (bool field_used : used)
        if (!field_used) return false;
    return true;
}());

// The field's name, interned.
const Name& field_key(Field field);

// module._IR_FIELDS = {class name: ((field name, kind name), ...)}, for the
// test that holds this table to the IR layer.
void record_ir_fields(nb::handle module);

// `from ondrel import ir` followed by one lookup per node class. Classes the
// module lacks are remembered as missing: a required class raises the host's
// AttributeError only where a rule first needs it, an optional one is simply
// never matched.
class IrModule {
public:
    IrModule();  // imports the IR library; its import errors propagate

    nb::handle module() const { return module_; }
    // ir.<cls>, or an invalid handle when the module lacks it
    nb::handle found(IrClass cls) const { return classes_[index_of(cls)]; }
    nb::handle required(IrClass cls) const;  // ir.<cls>; AttributeError when ir lacks it

    // isinstance(node, cls) for a class looked up here
    bool is_instance(nb::handle node, nb::handle cls) const;
    // hasattr(ir, "<cls>") and isinstance(node, ir.<cls>)
    bool is_a_if_defined(nb::handle node, IrClass cls) const;

    nb::object read(nb::handle path) const;  // ir.read(path)

private:
    nb::object module_;
    std::array<nb::object, ir_class_count> classes_;
};

// True for the str and bytes paths that the entry points read through ir.read.
inline bool is_path(nb::handle graph) { return PyUnicode_Check(graph.ptr()) || PyBytes_Check(graph.ptr()); }

}  // namespace ondrel
