// One IR node to its statistics, by class; and the parameter total of a graph
// snapshot, which the linter's size check takes too.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/class_rules.hpp"
#include "ir_interface/numpy_api.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <span>

namespace ondrel::analyze {

namespace {

const Name input_port("input"), output_port("output"), shape("shape"), nbytes("nbytes");

// Config keys that are not field names.
const Name weight_shape_key("weight_shape"), kernel_key("kernel"), depthwise_kernel_key("depthwise_kernel");
const Name pointwise_kernel_key("pointwise_kernel"), tau_mean_key("tau_mean"), threshold_key("threshold");

// Ghost blocks and the encoder downsample by 2 unless they say otherwise.
constexpr long long default_block_stride = 2;

// The layer's settings; without records nothing is kept.
class Config {
public:
    explicit Config(bool records) : dict_(records ? own(PyDict_New()) : nb::object()) {}
    void set(const Name& key, nb::handle value) {
        if (dict_.is_valid()) check(PyDict_SetItem(dict_.ptr(), key.get(), value.ptr()));
    }
    nb::object take() { return std::move(dict_); }

private:
    nb::object dict_;
};

bool has_iter(nb::handle value) {
    if (PyType_GetSlot(Py_TYPE(value.ptr()), Py_tp_iter)) return true;
    static const Name iter_name("__iter__");
    return has_attr(value, iter_name);
}

// tuple(value): for a 1-d numpy array, its elements as numpy scalars, made
// directly rather than through the array's iterator.
nb::object shape_tuple(nb::handle value, ShapeCache* shapes) {
    if (shapes) {
        if (nb::object shared = shapes->find_or_make(value); shared.is_valid()) return shared;
    }
    PyArrayObject* array = exact_ndarray(value);
    if (!array || PyArray_NDIM(array) != 1) return own(PySequence_Tuple(value.ptr()));
    npy_intp length = PyArray_DIM(array, 0), stride = PyArray_STRIDE(array, 0);
    nb::object shape_out = own(PyTuple_New(length));
    char* data = PyArray_BYTES(array);
    for (npy_intp i = 0; i < length; ++i) {
        nb::object scalar = own(PyArray_Scalar(data + i * stride, PyArray_DESCR(array), value.ptr()));
        PyTuple_SET_ITEM(shape_out.ptr(), i, scalar.release().ptr());
    }
    return shape_out;
}

// The shape of one port (`input` of input_type, `output` of output_type).
Port read_port(const NodeView& node, Field attribute, const Name& port, ShapeCache* shapes) {
    nb::object port_type = node.read(attribute);
    if (!truthy(port_type)) return Port();
    nb::object value = get_or_none(port_type, port);
    if (value.is_none()) return Port();
    return Port(value, shapes);
}

// What one rule reads and fills in: the parameter arrays of its row, counted
// as they are read, and then the rule's settings.
struct Layer {
    const NodeView& node;
    LayerFacts& facts;
    Config& config;
    std::array<nb::object, 2> arrays = {};  // the first of the row's arrays, as read, for the settings

    Layer& copy(Field field) { return set(field_key(field), node.read(field)); }
    Layer& copy_as(const Name& key, Field field) { return set(key, node.read(field)); }
    Layer& set(const Name& key, nb::handle value) {
        config.set(key, value);
        return *this;
    }
    // Adds an array's element count and byte size to the layer's; None adds nothing.
    void count(nb::handle array) const {
        if (array.is_none()) return;
        if (PyArrayObject* ndarray = exact_ndarray(array)) {
            facts.params.add(ExactInt(PyArray_SIZE(ndarray)));
            facts.bytes.add(ExactInt(PyArray_NBYTES(ndarray)));
            return;
        }
        auto [elements, size] = count_array_params(array);
        facts.params.add(elements);
        facts.bytes.add(size);
    }
};

nb::object shape_or_none(nb::handle array) { return array.is_none() ? none() : attr(array, shape); }
nb::object mean_or_none(nb::handle array) { return array.is_none() ? none() : array_mean(array); }

// One multiply and one add per weight; the bias is not counted.
void affine_settings(Layer& layer) {
    const nb::object& w = layer.arrays[0];
    nb::object w_shape = shape_or_none(w);
    if (!w.is_none()) {
        layer.facts.flops = ExactInt(2);
        layer.facts.flops.multiply(shape_product(w_shape));
    }
    layer.set(weight_shape_key, w_shape);
    if (layer.node.is_a(IrClass::SpikingAffine)) layer.copy(Field::spike_mode).copy(Field::weight_bits);
}

// 2 * c_out * c_in * kh * kw * h_out * w_out: counted as dense whatever the
// groups, and only once the output shape has a height and a width. A 4-d
// ndarray weight and an integer ndarray shape are read from their memory.
std::optional<ExactInt> conv2d_flops(nb::handle w, nb::handle w_shape, const Port& output) {
    if (w.is_none() || output.length() < 2) return std::nullopt;
    ExactInt flops(2);
    PyArrayObject *weight = exact_ndarray(w), *dims = output.entry();
    if (weight && PyArray_NDIM(weight) == 4 && dims) {
        for (int i = 0; i < 4; ++i) flops.multiply(static_cast<long long>(PyArray_DIM(weight, i)));
        for (npy_intp i = PyArray_DIM(dims, 0) - 2; i < PyArray_DIM(dims, 0); ++i)
            flops.multiply(own(PyArray_GETITEM(dims, static_cast<const char*>(PyArray_GETPTR1(dims, i)))));
        return flops;
    }
    for (const nb::object& dim : unpack_exactly(w_shape, 4)) flops.multiply(dim);  // c_out, c_in, kh, kw
    flops.multiply(tuple_item(output.shape(), -2));
    flops.multiply(tuple_item(output.shape(), -1));
    return flops;
}

void conv2d_settings(Layer& layer) {
    const nb::object& w = layer.arrays[0];
    nb::object w_shape = shape_or_none(w);
    if (std::optional<ExactInt> flops = conv2d_flops(w, w_shape, layer.facts.output))
        layer.facts.flops.add(as_int(flops->object()));
    layer.set(kernel_key, w.is_none() ? none() : slice_from(w_shape, -2))
        .copy(Field::stride)
        .copy(Field::padding)
        .copy(Field::groups);
}

// On a snapshot, the settings of a Conv2d can fail in its FLOPs only.
void conv2d_snapshot_failure(const NodeView& node) {
    nb::object w = node.read(Field::weight);
    conv2d_flops(w, shape_or_none(w), read_port(node, Field::output_type, output_port, nullptr));
}

void separable_settings(Layer& layer) {
    layer.set(depthwise_kernel_key, shape_or_none(layer.arrays[0]))
        .set(pointwise_kernel_key, shape_or_none(layer.arrays[1]));
}

// The means read tau and v_threshold again, plainly.
void lif_settings(Layer& layer) {
    nb::object tau_mean = mean_or_none(layer.node.read(Field::tau));
    nb::object threshold = mean_or_none(layer.node.read(Field::v_threshold));
    layer.set(tau_mean_key, tau_mean).set(threshold_key, threshold);
}

enum class Reads { Plain, Optional };  // node.<array>, or getattr(node, array, None)

struct Rule {
    Category category;
    Reads reads;
    std::span<const Field> arrays;   // the parameter arrays, in summation order
    void (*settings)(Layer&);        // FLOPs and the settings worth reporting
    void (*snapshot_failure)(const NodeView&) = nullptr;  // what the settings can raise on a snapshot node
};
using Row = ClassRow<Rule>;
constexpr Lookup required = Lookup::Required, if_defined = Lookup::IfDefined;
constexpr Reads plain = Reads::Plain, optional = Reads::Optional;

using enum Field;
constexpr Field weight_and_bias[] = {weight, bias};
constexpr Field separable_arrays[] = {depthwise_weight, pointwise_weight, depthwise_bias, pointwise_bias};
constexpr Field lif_arrays[] = {tau, r, v_leak, v_threshold};
constexpr Field sghost_conv_arrays[] = {primary_weight, primary_bias, cheap_weight, cheap_bias};
constexpr Field sghost_encoder_arrays[] = {conv1_weight,       conv1_bias,         ghost_primary_weight,
                                           ghost_primary_bias, ghost_cheap_weight, ghost_cheap_bias};
constexpr Field ghost_block1_arrays[] = {cvres_primary_weight, cvres_primary_bias, cvres_cheap_weight,
                                         cvres_cheap_bias,     cv0_primary_weight, cv0_primary_bias,
                                         cv0_cheap_weight,     cv0_cheap_bias,     cv2_primary_weight,
                                         cv2_primary_bias,     cv2_cheap_weight,   cv2_cheap_bias};
constexpr Field ghost_block2_arrays[] = {cv0_primary_weight, cv0_primary_bias, cv0_cheap_weight, cv0_cheap_bias,
                                         cv2_primary_weight, cv2_primary_bias, cv2_cheap_weight, cv2_cheap_bias};
constexpr Field sddetect_arrays[] = {cv2_w0, cv2_b0, cv2_w1, cv2_b1, cv2_w2, cv2_b2,
                                     cv3_w0, cv3_b0, cv3_w1, cv3_b1, cv3_w2, cv3_b2};
constexpr Field dfl_arrays[] = {dfl_weights};

// Per node class: its counter, its parameter arrays and its FLOPs and
// settings. The first row the node matches applies; the core classes come
// first and must exist, the detector classes are tested only where the IR
// library has them.
constexpr auto rules = std::to_array<Row>({
    {IrClass::Affine, IrClass::SpikingAffine, required, {Category::Affine, plain, weight_and_bias, affine_settings}},
    {IrClass::Conv2d, IrClass::Conv2d, required,
     {Category::Conv, plain, weight_and_bias, conv2d_settings, conv2d_snapshot_failure}},
    {IrClass::SepConv2d, IrClass::SepConv2d, required, {Category::Conv, plain, separable_arrays, separable_settings}},
    {IrClass::LIF, IrClass::LIF, required, {Category::Lif, optional, lif_arrays, lif_settings}},
    {IrClass::MaxPool2d, IrClass::MaxPool2d, required,
     {Category::None, plain, {}, [](Layer& layer) { layer.copy_as(kernel_key, kernel_size).copy(stride); }}},
    {IrClass::AvgPool2d, IrClass::AvgPool2d, required,
     {Category::None, plain, {},
      [](Layer& layer) { layer.copy_as(kernel_key, kernel_size).copy(stride).copy(count_include_pad); }}},
    {IrClass::Flatten, IrClass::Flatten, required,
     {Category::None, plain, {}, [](Layer& layer) { layer.copy(start_dim).copy(end_dim); }}},
    {IrClass::Skip, IrClass::Skip, required, {Category::None, plain, {}, [](Layer& layer) { layer.copy(skip_type); }}},
    {IrClass::Upsample, IrClass::Upsample, required,
     {Category::None, plain, {},
      [](Layer& layer) { layer.copy(scale_factor).copy(size).copy(mode).copy(align_corners); }}},
    {IrClass::ChannelSplit, IrClass::ChannelSplit, if_defined,
     {Category::None, plain, {}, [](Layer& layer) { layer.copy(split_sections).copy(dim); }}},
    {IrClass::Concat, IrClass::Concat, if_defined,
     {Category::None, plain, {}, [](Layer& layer) { layer.copy(num_inputs).copy(dim); }}},
    {IrClass::SGhostConv, IrClass::SGhostConv, if_defined,
     {Category::Conv, optional, sghost_conv_arrays,
      [](Layer& layer) {
          layer.set(field_key(primary_stride), layer.node.read_or(primary_stride, Py_None))
              .set(field_key(primary_padding), layer.node.read_or(primary_padding, Py_None));
      }}},
    {IrClass::SGhostEncoderLite, IrClass::SGhostEncoderLite, if_defined,
     {Category::Conv, optional, sghost_encoder_arrays,
      [](Layer& layer) { layer.set(field_key(stride), layer.node.read_or(stride, integer(default_block_stride))); }}},
    {IrClass::GhostBasicBlock1, IrClass::GhostBasicBlock1, if_defined,
     {Category::Conv, optional, ghost_block1_arrays,
      [](Layer& layer) {
          layer.set(field_key(stride), layer.node.read_or(stride, integer(default_block_stride)))
              .copy(in_channels)
              .copy(out_channels);
      }}},
    {IrClass::GhostBasicBlock2, IrClass::GhostBasicBlock2, if_defined,
     {Category::Conv, optional, ghost_block2_arrays,
      [](Layer& layer) { layer.copy(in_channels).copy(out_channels); }}},
    {IrClass::SDDetect, IrClass::SDDetect, if_defined,
     {Category::None, optional, sddetect_arrays,
      [](Layer& layer) { layer.copy(num_classes).copy(reg_max).copy(stride); }}},
    {IrClass::DFLDecode, IrClass::DFLDecode, if_defined,
     {Category::None, optional, dfl_arrays, [](Layer& layer) { layer.copy(reg_max); }}},
    {IrClass::Dist2BBox, IrClass::Dist2BBox, if_defined,
     {Category::None, plain, {}, [](Layer& layer) { layer.copy(stride); }}},
});
// Graph inputs and outputs hold no parameters and report no settings.
constexpr std::array without_rule{IrClass::Input, IrClass::Output};
static_assert(covers_every_class(rules, without_rule));

// The row of an IR class (on a snapshot, a node matches its own class's row only).
const Rule* rule_of(IrClass cls) {
    for (const Row& row : rules)
        if (row.first == cls || row.second == cls) return &row.rule;
    return nullptr;
}

// LIF means taken natively, so they cannot fail or warn.
constexpr ArrayCondition native_means[] = {
    {IrClass::LIF, Field::tau, has_native_mean},
    {IrClass::LIF, Field::v_threshold, has_native_mean},
};

}  // namespace

void record_rules(nb::handle module) { record_table(module, "analyze_node", rules, without_rule); }

Category category_of(std::string_view type_name) {
    for (size_t cls = 0; cls < ir_class_count; ++cls) {
        if (type_name != ir_class_names[cls]) continue;
        const Rule* rule = rule_of(static_cast<IrClass>(cls));
        return rule ? rule->category : Category::None;
    }
    return Category::None;
}

std::pair<nb::object, nb::object> count_array_params(nb::handle array) {
    if (array.is_none()) return {integer(0), integer(0)};
    if (PyArrayObject* ndarray = exact_ndarray(array))
        return {integer(PyArray_SIZE(ndarray)), integer(PyArray_NBYTES(ndarray))};
    nb::object count = shape_product(attr(array, shape));
    return {count, attr(array, nbytes)};
}

Port::Port(nb::handle entry, ShapeCache* shapes) : shapes_(shapes), present_(true), iterable_(has_iter(entry)) {
    PyArrayObject* array = exact_ndarray(entry);
    if (array && PyArray_NDIM(array) == 1) entry_ = nb::borrow(entry);
    else shape_ = iterable_ ? shape_tuple(entry, shapes) : own(PyTuple_Pack(1, entry.ptr()));
}

const nb::object& Port::shape() const {
    if (!shape_.is_valid()) shape_ = shape_tuple(entry_, shapes_);
    return shape_;
}

PyArrayObject* Port::entry() const {
    if (!entry_.is_valid()) return nullptr;
    PyArrayObject* array = exact_ndarray(entry_);
    return array && (PyArray_DESCR(array)->kind == 'i' || PyArray_DESCR(array)->kind == 'u') ? array : nullptr;
}

Py_ssize_t Port::length() const {
    if (shape_.is_valid()) return tuple_size(shape_);
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(entry_.ptr()), 0);
}

nb::object ShapeCache::find_or_make(nb::handle value) {
    PyArrayObject* array = exact_ndarray(value);
    if (!array || PyArray_NDIM(array) != 1 || !PyArray_IS_C_CONTIGUOUS(array)) return nb::object();
    PyArray_Descr* descr = PyArray_DESCR(array);
    if ((descr->kind != 'i' && descr->kind != 'u') || PyArray_NBYTES(array) > 64) return nb::object();
    // Key: the dtype's type character and byte order, then the raw values.
    std::string key{descr->type, descr->byteorder};
    key.append(PyArray_BYTES(array), static_cast<size_t>(PyArray_NBYTES(array)));
    auto [entry, inserted] = tuples_.try_emplace(std::move(key));
    if (inserted) entry->second = shape_tuple(value, nullptr);
    return entry->second;
}

LayerFacts analyze_node_facts(const NodeView& node, ShapeCache* shapes, bool records) {
    LayerFacts facts;
    facts.node_type = node.type_name();
    facts.input = read_port(node, Field::input_type, input_port, shapes);
    facts.output = read_port(node, Field::output_type, output_port, shapes);
    Config config(records);
    if (const Rule* rule = first_rule(rules, node)) {
        Layer layer{node, facts, config};
        for (size_t i = 0; i < rule->arrays.size(); ++i) {
            Field array = rule->arrays[i];
            nb::object value = rule->reads == Reads::Plain ? node.read(array) : node.read_or(array, Py_None);
            layer.count(value);
            if (i < layer.arrays.size()) layer.arrays[i] = std::move(value);
        }
        rule->settings(layer);
    }
    facts.config = config.take();
    return facts;
}

const SnapshotNeeds& snapshot_needs() {
    static const SnapshotNeeds needs{false, native_means, false};
    return needs;
}

nb::object total_params(const GraphSnapshot& graph) {
    ExactInt total;
    for (size_t i = 0; i < graph.size(); ++i) {
        const Rule* rule = rule_of(graph.node(i).cls);
        if (!rule) continue;
        for (Field array : rule->arrays) {
            // A snapshot's arrays are None or exact ndarrays.
            if (PyArrayObject* ndarray = exact_ndarray(graph.value(i, array))) total.add(ExactInt(PyArray_SIZE(ndarray)));
        }
        if (rule->snapshot_failure) rule->snapshot_failure(SnapshotNode(graph, i));
    }
    return total.object();
}

}  // namespace ondrel::analyze
