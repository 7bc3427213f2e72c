// analyze_node: one IR node to one LayerStats.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/class_rules.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace ondrel::analyze {

namespace {

const Name input_type("input_type"), output_type("output_type"), input_port("input"), output_port("output");
const Name shape("shape"), nbytes("nbytes");
const Name weight("weight"), bias("bias"), spike_mode("spike_mode"), weight_bits("weight_bits");
const Name stride("stride"), padding("padding"), groups("groups"), kernel_size("kernel_size");
const Name depthwise_weight("depthwise_weight"), pointwise_weight("pointwise_weight");
const Name depthwise_bias("depthwise_bias"), pointwise_bias("pointwise_bias");
const Name tau("tau"), r("r"), v_leak("v_leak"), v_threshold("v_threshold");
const Name count_include_pad("count_include_pad"), start_dim("start_dim"), end_dim("end_dim");
const Name skip_type("skip_type"), scale_factor("scale_factor"), size("size"), mode("mode");
const Name align_corners("align_corners"), split_sections("split_sections"), dim("dim"), num_inputs("num_inputs");
const Name primary_stride("primary_stride"), primary_padding("primary_padding");
const Name in_channels("in_channels"), out_channels("out_channels"), num_classes("num_classes");
const Name reg_max("reg_max"), dfl_weights("dfl_weights");

// Config keys.
const Name weight_shape_key("weight_shape"), kernel_key("kernel"), depthwise_kernel_key("depthwise_kernel");
const Name pointwise_kernel_key("pointwise_kernel"), tau_mean_key("tau_mean"), threshold_key("threshold");

// Parameter arrays summed by the accumulation rule, in summation order.
const std::array lif_arrays{&tau, &r, &v_leak, &v_threshold};
const Name primary_weight("primary_weight"), primary_bias("primary_bias");
const Name cheap_weight("cheap_weight"), cheap_bias("cheap_bias");
const std::array sghost_conv_arrays{&primary_weight, &primary_bias, &cheap_weight, &cheap_bias};
const Name conv1_weight("conv1_weight"), conv1_bias("conv1_bias");
const Name ghost_primary_weight("ghost_primary_weight"), ghost_primary_bias("ghost_primary_bias");
const Name ghost_cheap_weight("ghost_cheap_weight"), ghost_cheap_bias("ghost_cheap_bias");
const std::array sghost_encoder_arrays{&conv1_weight,         &conv1_bias,         &ghost_primary_weight,
                                       &ghost_primary_bias,   &ghost_cheap_weight, &ghost_cheap_bias};
const Name cvres_primary_weight("cvres_primary_weight"), cvres_primary_bias("cvres_primary_bias");
const Name cvres_cheap_weight("cvres_cheap_weight"), cvres_cheap_bias("cvres_cheap_bias");
const Name cv0_primary_weight("cv0_primary_weight"), cv0_primary_bias("cv0_primary_bias");
const Name cv0_cheap_weight("cv0_cheap_weight"), cv0_cheap_bias("cv0_cheap_bias");
const Name cv2_primary_weight("cv2_primary_weight"), cv2_primary_bias("cv2_primary_bias");
const Name cv2_cheap_weight("cv2_cheap_weight"), cv2_cheap_bias("cv2_cheap_bias");
const std::array ghost_block1_arrays{&cvres_primary_weight, &cvres_primary_bias, &cvres_cheap_weight,
                                     &cvres_cheap_bias,     &cv0_primary_weight, &cv0_primary_bias,
                                     &cv0_cheap_weight,     &cv0_cheap_bias,     &cv2_primary_weight,
                                     &cv2_primary_bias,     &cv2_cheap_weight,   &cv2_cheap_bias};
const std::array ghost_block2_arrays{&cv0_primary_weight, &cv0_primary_bias, &cv0_cheap_weight, &cv0_cheap_bias,
                                     &cv2_primary_weight, &cv2_primary_bias, &cv2_cheap_weight, &cv2_cheap_bias};
const Name cv2_w0("cv2_w0"), cv2_b0("cv2_b0"), cv2_w1("cv2_w1"), cv2_b1("cv2_b1"), cv2_w2("cv2_w2"), cv2_b2("cv2_b2");
const Name cv3_w0("cv3_w0"), cv3_b0("cv3_b0"), cv3_w1("cv3_w1"), cv3_b1("cv3_b1"), cv3_w2("cv3_w2"), cv3_b2("cv3_b2");
const std::array sddetect_arrays{&cv2_w0, &cv2_b0, &cv2_w1, &cv2_b1, &cv2_w2, &cv2_b2,
                                 &cv3_w0, &cv3_b0, &cv3_w1, &cv3_b1, &cv3_w2, &cv3_b2};

// Ghost blocks and the encoder downsample by 2 unless they say otherwise.
constexpr long long default_block_stride = 2;

// The layer's settings; without records nothing is kept (setting a str key
// cannot fail, so skipping it changes no outcome).
class Config {
public:
    explicit Config(bool records) : dict_(records ? own(PyDict_New()) : nb::object()) {}
    Config& set(const Name& key, nb::handle value) {
        if (dict_.is_valid()) check(PyDict_SetItem(dict_.ptr(), key.get(), value.ptr()));
        return *this;
    }
    // key: node.<attribute> (plain read)
    Config& copy(const Name& key, nb::handle node, const Name& attribute) { return set(key, attr(node, attribute)); }
    Config& copy(nb::handle node, const Name& attribute) { return copy(attribute, node, attribute); }
    bool keeps() const { return dict_.is_valid(); }
    nb::object take() { return std::move(dict_); }

private:
    nb::object dict_;
};

bool has_iter(nb::handle value) {
    if (Py_TYPE(value.ptr())->tp_iter) return true;
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

// The shape of one port (`input` of input_type, `output` of output_type),
// `()` when the port has none; a scalar entry becomes a one-element tuple.
LayerFacts::Port read_port(nb::handle node, const Name& attribute, const Name& port, ShapeCache* shapes, bool records) {
    LayerFacts::Port result;
    nb::object port_type = attr(node, attribute);
    result.shape = own(PyTuple_New(0));
    if (!truthy(port_type)) return result;
    nb::object value = get_or_none(port_type, port);
    if (value.is_none()) return result;
    result.present = true;
    if (PyArrayObject* array = exact_ndarray(value); !records && array && PyArray_NDIM(array) == 1) {
        result.shape = nb::object();
        result.deferred = std::move(value);
        return result;
    }
    result.iterable = has_iter(value);
    result.shape = result.iterable ? shape_tuple(value, shapes) : own(PyTuple_Pack(1, value.ptr()));
    return result;
}

// What one rule reads and fills in.
struct Reading {
    nb::handle node;
    const IrModule& ir;
    LayerFacts& facts;
    Config& config;

    nb::object read(const Name& attribute) const { return attr(node, attribute); }
    bool records() const { return config.keeps(); }
    // node.<attribute> as config[attribute] (a plain read)
    Reading& copy(const Name& attribute) {
        config.copy(node, attribute);
        return *this;
    }
    Reading& copy_as(const Name& key, const Name& attribute) {
        config.copy(key, node, attribute);
        return *this;
    }
    Reading& set(const Name& key, nb::handle value) {
        config.set(key, value);
        return *this;
    }
    // Adds an array's element count and byte size to the layer's; a None array adds nothing.
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
    // Counts getattr(node, name, None) for each listed array.
    void count_each(std::span<const Name* const> arrays) const {
        for (const Name* name : arrays)
            if (nb::object array = attr_if_exists(node, *name); array.is_valid()) count(array);
    }
};

nb::object shape_or_none(nb::handle array) { return array.is_none() ? none() : attr(array, shape); }

// Without records, what is read only for the settings or the FLOPs is not
// read where reading it cannot fail: the shape of None or of an ndarray.
bool shape_read_is_idle(const Reading& layer, nb::handle array) {
    return !layer.records() && (array.is_none() || exact_ndarray(array));
}

// The port's shape tuple, made now if it was deferred.
nb::object port_shape(const LayerFacts::Port& port) {
    return port.deferred.is_valid() ? shape_tuple(port.deferred, nullptr) : port.shape;
}

// Whether the FLOP count of a Conv2d with weight `w` would be computed
// without failing: then, without records, it need not be.
bool conv_flops_cannot_fail(nb::handle w, const LayerFacts::Port& output) {
    if (w.is_none()) return true;
    PyArrayObject* weights = exact_ndarray(w);
    if (!weights) return false;
    if (!output.deferred.is_valid()) return tuple_size(output.shape) < 2;
    PyArrayObject* dims = exact_ndarray(output.deferred);
    if (PyArray_DIM(dims, 0) < 2) return true;
    char kind = PyArray_DESCR(dims)->kind;
    return PyArray_NDIM(weights) == 4 && (kind == 'i' || kind == 'u');
}

nb::object mean_or_none(nb::handle array) { return array.is_none() ? none() : array_mean(array); }

// mean_or_none for the settings; without records only a mean that could fail is taken.
nb::object setting_mean(const Config& config, nb::handle array) {
    if (!config.keeps() && (array.is_none() || has_native_mean(array))) return none();
    return mean_or_none(array);
}

// One multiply and one add per weight; the bias is not counted.
void analyze_affine(Reading& layer) {
    nb::object w = layer.read(weight);
    layer.count(w);
    layer.count(layer.read(bias));
    if (shape_read_is_idle(layer, w)) {
        if (layer.ir.is_a(layer.node, IrClass::SpikingAffine)) layer.copy(spike_mode).copy(weight_bits);
        return;
    }
    nb::object w_shape = shape_or_none(w);
    if (!w.is_none()) {
        layer.facts.flops = ExactInt(2);
        layer.facts.flops.multiply(shape_product(w_shape));
    }
    layer.set(weight_shape_key, w_shape);
    if (layer.ir.is_a(layer.node, IrClass::SpikingAffine)) layer.copy(spike_mode).copy(weight_bits);
}

// 2 * c_out * c_in * kh * kw * h_out * w_out: counted as dense whatever the
// groups, and only once the output shape has a height and a width.
void analyze_conv2d(Reading& layer) {
    nb::object w = layer.read(weight);
    layer.count(w);
    layer.count(layer.read(bias));
    if (!layer.records() && conv_flops_cannot_fail(w, layer.facts.output)) {
        layer.copy(stride).copy(padding).copy(groups);
        return;
    }
    nb::object w_shape = shape_or_none(w);
    const nb::object output = port_shape(layer.facts.output);
    if (!w.is_none() && tuple_size(output) >= 2) {
        ExactInt flops(2);
        for (const nb::object& dim : unpack_exactly(w_shape, 4)) flops.multiply(dim);  // c_out, c_in, kh, kw
        flops.multiply(tuple_item(output, -2));
        flops.multiply(tuple_item(output, -1));
        layer.facts.flops = ExactInt();
        layer.facts.flops.add(as_int(flops.object()));
    }
    layer.set(kernel_key, w.is_none() ? none() : slice_from(w_shape, -2))
        .copy(stride)
        .copy(padding)
        .copy(groups);
}

void analyze_separable(Reading& layer) {
    nb::object depthwise = layer.read(depthwise_weight);
    layer.count(depthwise);
    nb::object pointwise = layer.read(pointwise_weight);
    layer.count(pointwise);
    layer.count(layer.read(depthwise_bias));
    layer.count(layer.read(pointwise_bias));
    if (shape_read_is_idle(layer, depthwise) && shape_read_is_idle(layer, pointwise)) return;
    layer.set(depthwise_kernel_key, shape_or_none(depthwise)).set(pointwise_kernel_key, shape_or_none(pointwise));
}

void analyze_lif(Reading& layer) {
    layer.count_each(lif_arrays);
    nb::object tau_mean = setting_mean(layer.config, layer.read(tau));
    nb::object threshold = setting_mean(layer.config, layer.read(v_threshold));
    layer.set(tau_mean_key, tau_mean).set(threshold_key, threshold);
}

void analyze_dfl_decode(Reading& layer) {
    if (nb::object weights = present_attr(layer.node, dfl_weights); weights.is_valid()) layer.count(weights);
    layer.copy(reg_max);
}

// What the parameter total alone takes from a node of the class when its
// attributes are plain (see plain_params): the arrays counted, every other
// attribute the rule reads, and the values whose use could fail. Classes
// without it always take the whole rule.
enum class Guard { None, ConvFlops, LifMeans };
struct Totals {
    bool known = false;
    std::span<const Name* const> arrays = {};
    std::span<const Name* const> reads = {};
    Guard guard = Guard::None;
};
struct Rule {
    void (*analyze)(Reading&);
    Totals totals;
};
using Row = ClassRow<Rule>;
constexpr Lookup required = Lookup::Required, if_defined = Lookup::IfDefined;

using Names = std::span<const Name* const>;
const std::array weight_and_bias{&weight, &bias};
const std::array separable_arrays{&depthwise_weight, &pointwise_weight, &depthwise_bias, &pointwise_bias};
const std::array conv_reads{&stride, &padding, &groups};
const std::array max_pool_reads{&kernel_size, &stride};
const std::array avg_pool_reads{&kernel_size, &stride, &count_include_pad};
const std::array flatten_reads{&start_dim, &end_dim};
const std::array skip_reads{&skip_type};
const std::array upsample_reads{&scale_factor, &size, &mode, &align_corners};
const std::array spiking_reads{&spike_mode, &weight_bits};
constexpr Totals reads_only(Names reads) { return {true, {}, reads, Guard::None}; }

// Per node class: its parameters, FLOPs and the settings worth reporting. The
// first row the node matches applies; the core classes come first and must
// exist, the detector classes are tested only where the IR library has them.
constexpr std::array<Row, 18> rules{{
    {IrClass::Affine, IrClass::SpikingAffine, required, {analyze_affine, {true, weight_and_bias}}},
    {IrClass::Conv2d, IrClass::Conv2d, required, {analyze_conv2d, {true, weight_and_bias, conv_reads, Guard::ConvFlops}}},
    {IrClass::SepConv2d, IrClass::SepConv2d, required, {analyze_separable, {true, separable_arrays}}},
    {IrClass::LIF, IrClass::LIF, required, {analyze_lif, {true, lif_arrays, {}, Guard::LifMeans}}},
    {IrClass::MaxPool2d, IrClass::MaxPool2d, required,
     {[](Reading& layer) { layer.copy_as(kernel_key, kernel_size).copy(stride); }, reads_only(max_pool_reads)}},
    {IrClass::AvgPool2d, IrClass::AvgPool2d, required,
     {[](Reading& layer) { layer.copy_as(kernel_key, kernel_size).copy(stride).copy(count_include_pad); },
      reads_only(avg_pool_reads)}},
    {IrClass::Flatten, IrClass::Flatten, required,
     {[](Reading& layer) { layer.copy(start_dim).copy(end_dim); }, reads_only(flatten_reads)}},
    {IrClass::Skip, IrClass::Skip, required, {[](Reading& layer) { layer.copy(skip_type); }, reads_only(skip_reads)}},
    {IrClass::Upsample, IrClass::Upsample, required,
     {[](Reading& layer) { layer.copy(scale_factor).copy(size).copy(mode).copy(align_corners); },
      reads_only(upsample_reads)}},
    {IrClass::ChannelSplit, IrClass::ChannelSplit, if_defined,
     {[](Reading& layer) { layer.copy(split_sections).copy(dim); }}},
    {IrClass::Concat, IrClass::Concat, if_defined, {[](Reading& layer) { layer.copy(num_inputs).copy(dim); }}},
    {IrClass::SGhostConv, IrClass::SGhostConv, if_defined,
     {[](Reading& layer) {
         layer.count_each(sghost_conv_arrays);
         layer.set(primary_stride, attr_or(layer.node, primary_stride, Py_None))
             .set(primary_padding, attr_or(layer.node, primary_padding, Py_None));
     }}},
    {IrClass::SGhostEncoderLite, IrClass::SGhostEncoderLite, if_defined,
     {[](Reading& layer) {
         layer.count_each(sghost_encoder_arrays);
         layer.set(stride, attr_or(layer.node, stride, integer(default_block_stride)));
     }}},
    {IrClass::GhostBasicBlock1, IrClass::GhostBasicBlock1, if_defined,
     {[](Reading& layer) {
         layer.count_each(ghost_block1_arrays);
         layer.set(stride, attr_or(layer.node, stride, integer(default_block_stride))).copy(in_channels).copy(out_channels);
     }}},
    {IrClass::GhostBasicBlock2, IrClass::GhostBasicBlock2, if_defined,
     {[](Reading& layer) {
         layer.count_each(ghost_block2_arrays);
         layer.copy(in_channels).copy(out_channels);
     }}},
    {IrClass::SDDetect, IrClass::SDDetect, if_defined,
     {[](Reading& layer) {
         layer.count_each(sddetect_arrays);
         layer.copy(num_classes).copy(reg_max).copy(stride);
     }}},
    {IrClass::DFLDecode, IrClass::DFLDecode, if_defined, {analyze_dfl_decode}},
    {IrClass::Dist2BBox, IrClass::Dist2BBox, if_defined, {[](Reading& layer) { layer.copy(stride); }}},
}};
// Graph inputs and outputs hold no parameters and report no settings.
constexpr std::array<IrClass, 2> without_rule{IrClass::Input, IrClass::Output};
static_assert(covers_every_class(rules, without_rule));

}  // namespace

void record_rules(nb::handle module) { record_table(module, "analyze_node", rules, without_rule); }

std::pair<nb::object, nb::object> count_array_params(nb::handle array) {
    if (array.is_none()) return {integer(0), integer(0)};
    if (PyArrayObject* ndarray = exact_ndarray(array))
        return {integer(PyArray_SIZE(ndarray)), integer(PyArray_NBYTES(ndarray))};
    nb::object count = shape_product(attr(array, shape));
    return {count, attr(array, nbytes)};
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

struct NodeMemo::Rows {
    RowMemo<Rule, rules.size()> memo;
    // Per node type: its row, and whether every attribute its analysis reads is plain.
    struct Plain {
        const Rule* rule;
        bool plain;
    };
    TypeMemo<Plain> plain;
};

namespace {

bool plain_class_values(PyTypeObject* type, std::span<const Name* const> names) {
    return std::all_of(names.begin(), names.end(), [&](const Name* name) { return plain_class_value(type, *name); });
}

// A port entry the analysis uses without fail: none, or a 1-d ndarray (returned).
bool plain_port(nb::handle node, const Name& attribute, const Name& port, nb::object& entry) {
    nb::object ports = plain_read(node, attribute);
    if (ports.is_none()) return true;
    if (!PyDict_CheckExact(ports.ptr())) return false;
    PyObject* value = PyDict_GetItemWithError(ports.ptr(), port.get());  // a str key: no host code
    if (!value || value == Py_None) return !PyErr_Occurred();
    PyArrayObject* array = exact_ndarray(value);
    if (!array || PyArray_NDIM(array) != 1) return false;
    entry = nb::borrow(value);
    return true;
}

}  // namespace

std::optional<long long> plain_params(nb::handle node, const IrModule& ir, NodeMemo& memo) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    NodeMemo::Rows::Plain entry = memo.rows->plain.find_or_decide(type, [&] {
        bool plain = ir.type_decides_isinstance(type) && plain_class_value(type, input_type) &&
                     plain_class_value(type, output_type);
        const Rule* rule = plain ? memo.rows->memo.first(node) : nullptr;
        if (rule) {
            const Totals& totals = rule->totals;
            plain = totals.known && plain_class_values(type, totals.arrays) && plain_class_values(type, totals.reads);
            if (plain && rule == &rules[0].rule && ir.is_a(node, IrClass::SpikingAffine))
                plain = plain_class_values(type, spiking_reads);
        }
        return NodeMemo::Rows::Plain{rule, plain};
    });
    if (!entry.plain) return std::nullopt;
    nb::object input, output;
    if (!plain_port(node, input_type, input_port, input) || !plain_port(node, output_type, output_port, output))
        return std::nullopt;
    if (!entry.rule) return 0;  // Input and Output
    const Totals& totals = entry.rule->totals;
    long long params = 0;
    for (const Name* name : totals.arrays) {
        nb::object array = plain_read(node, *name);
        if (array.is_none()) continue;
        PyArrayObject* ndarray = exact_ndarray(array);
        if (!ndarray) return std::nullopt;
        // The means of tau and v_threshold must come out without fail.
        bool averaged = totals.guard == Guard::LifMeans && (name == &tau || name == &v_threshold);
        if (averaged && !has_native_mean(array)) return std::nullopt;
        params += PyArray_SIZE(ndarray);
    }
    if (totals.guard == Guard::ConvFlops) {
        nb::object w = plain_read(node, weight);
        if (!w.is_none() && output.is_valid()) {
            PyArrayObject* dims = exact_ndarray(output);
            char kind = PyArray_DESCR(dims)->kind;
            if (PyArray_DIM(dims, 0) >= 2 && (PyArray_NDIM(exact_ndarray(w)) != 4 || (kind != 'i' && kind != 'u')))
                return std::nullopt;
        }
    }
    return params;
}

NodeMemo::NodeMemo(const IrModule& ir) : rows(new Rows{{rules, ir}}) {}
NodeMemo::~NodeMemo() = default;

LayerFacts analyze_node_facts(nb::handle node, const IrModule& ir, NodeMemo* memo, bool records) {
    LayerFacts facts;
    facts.node_type = type_name_object(node);
    ShapeCache* shapes = memo ? &memo->shapes : nullptr;
    facts.input = read_port(node, input_type, input_port, shapes, records);
    facts.output = read_port(node, output_type, output_port, shapes, records);
    Config config(records);
    if (const Rule* rule = memo ? memo->rows->memo.first(node) : first_rule(rules, ir, node)) {
        Reading reading{node, ir, facts, config};
        rule->analyze(reading);
    }
    facts.config = config.take();
    return facts;
}

nb::object layer_record(nb::handle name, const LayerFacts& facts) {
    return state().layer_stats.make({name, facts.node_type, facts.params.object(), facts.bytes.object(),
                                       facts.input.shape, facts.output.shape, facts.flops.object(), facts.config});
}

nb::object analyze_node(nb::handle name, nb::handle node) {
    require_str(name, "name");
    IrModule ir;
    return layer_record(name, analyze_node_facts(node, ir));
}

}  // namespace ondrel::analyze
