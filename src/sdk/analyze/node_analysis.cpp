// analyze_node: one IR node to one LayerStats.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/numpy_api.hpp"

#include <array>
#include <span>

namespace ondrel::analyze {

namespace {

const Name input_type("input_type"), output_type("output_type"), input_port("input"), output_port("output");
const Name get_method("get"), shape("shape"), nbytes("nbytes");
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

class Config {
public:
    Config() : dict_(own(PyDict_New())) {}
    Config& set(const Name& key, nb::handle value) {
        check(PyDict_SetItem(dict_.ptr(), key.get(), value.ptr()));
        return *this;
    }
    // key: node.<attribute> (plain read)
    Config& copy(const Name& key, nb::handle node, const Name& attribute) { return set(key, attr(node, attribute)); }
    Config& copy(nb::handle node, const Name& attribute) { return copy(attribute, node, attribute); }
    nb::object take() { return std::move(dict_); }

private:
    nb::object dict_;
};

// mapping.get(key), with a fast path for plain dicts.
nb::object mapping_get(nb::handle mapping, const Name& key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.get());
        if (!value && PyErr_Occurred()) throw nb::python_error();
        return value ? nb::borrow(value) : none();
    }
    nb::object getter = attr(mapping, get_method);
    return call(getter, {key.get()});
}

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

// Step 3/4: the shape of one port, `()` when there is none.
LayerFacts::Port read_port(nb::handle node, const Name& attribute, const Name& port, ShapeCache* shapes) {
    LayerFacts::Port result;
    nb::object port_type = attr(node, attribute);
    result.shape = own(PyTuple_New(0));
    if (!truthy(port_type)) return result;
    nb::object value = mapping_get(port_type, port);
    if (value.is_none()) return result;
    result.present = true;
    result.iterable = has_iter(value);
    result.shape = result.iterable ? shape_tuple(value, shapes) : own(PyTuple_Pack(1, value.ptr()));
    return result;
}

void add_pair(LayerFacts& facts, nb::handle array) {
    auto [count, size] = count_array_params(array);
    facts.params.add(count);
    facts.bytes.add(size);
}

// Step 6: getattr(node, name, None) for each listed array.
void accumulate(LayerFacts& facts, nb::handle node, std::span<const Name* const> arrays) {
    for (const Name* name : arrays) {
        nb::object array = attr_if_exists(node, *name);
        if (array.is_valid() && !array.is_none()) add_pair(facts, array);
    }
}

// Step 7: a required array counts as is (None gives (0, 0)); so does an
// optional one, whose None is skipped before counting.
void count_required(LayerFacts& facts, nb::handle array) { add_pair(facts, array); }
void count_optional(LayerFacts& facts, nb::handle array) {
    if (!array.is_none()) add_pair(facts, array);
}

nb::object shape_or_none(nb::handle array) { return array.is_none() ? none() : attr(array, shape); }

nb::object mean_or_none(nb::handle array) {
    if (array.is_none()) return none();
    return array_mean(array);
}

void analyze_affine(LayerFacts& facts, nb::handle node, bool spiking) {
    nb::object w = attr(node, weight);
    count_required(facts, w);
    count_optional(facts, attr(node, bias));
    nb::object w_shape = shape_or_none(w);
    if (!w.is_none()) {
        facts.flops = ExactInt(2);
        facts.flops.multiply(shape_product(w_shape));
    }
    Config config;
    config.set(weight_shape_key, w_shape);
    if (spiking) config.copy(node, spike_mode).copy(node, weight_bits);
    facts.config = config.take();
}

void analyze_conv2d(LayerFacts& facts, nb::handle node) {
    nb::object w = attr(node, weight);
    count_required(facts, w);
    count_optional(facts, attr(node, bias));
    nb::object w_shape = shape_or_none(w);
    if (!w.is_none() && PyTuple_GET_SIZE(facts.output.shape.ptr()) >= 2) {
        std::vector<nb::object> dims = unpack_exactly(w_shape, 4);  // c_out, c_in, kh, kw
        Py_ssize_t rank = PyTuple_GET_SIZE(facts.output.shape.ptr());
        ExactInt flops(2);
        for (const nb::object& dim_value : dims) flops.multiply(dim_value);
        flops.multiply(nb::handle(PyTuple_GET_ITEM(facts.output.shape.ptr(), rank - 2)));
        flops.multiply(nb::handle(PyTuple_GET_ITEM(facts.output.shape.ptr(), rank - 1)));
        nb::object exact = flops.object();
        facts.flops = ExactInt();
        facts.flops.add(PyLong_CheckExact(exact.ptr()) ? exact : own(PyNumber_Long(exact.ptr())));
    }
    nb::object kernel = none();
    if (!w.is_none()) {
        nb::object last_two = own(PySlice_New(nb::int_(-2).ptr(), nullptr, nullptr));
        kernel = own(PyObject_GetItem(w_shape.ptr(), last_two.ptr()));
    }
    Config config;
    config.set(kernel_key, kernel).copy(node, stride).copy(node, padding).copy(node, groups);
    facts.config = config.take();
}

void analyze_sepconv2d(LayerFacts& facts, nb::handle node) {
    nb::object depthwise = attr(node, depthwise_weight);
    count_required(facts, depthwise);
    nb::object pointwise = attr(node, pointwise_weight);
    count_required(facts, pointwise);
    count_optional(facts, attr(node, depthwise_bias));
    count_optional(facts, attr(node, pointwise_bias));
    Config config;
    config.set(depthwise_kernel_key, shape_or_none(depthwise)).set(pointwise_kernel_key, shape_or_none(pointwise));
    facts.config = config.take();
}

void analyze_lif(LayerFacts& facts, nb::handle node) {
    accumulate(facts, node, lif_arrays);
    nb::object tau_mean = mean_or_none(attr(node, tau));
    nb::object threshold = mean_or_none(attr(node, v_threshold));
    Config config;
    config.set(tau_mean_key, tau_mean).set(threshold_key, threshold);
    facts.config = config.take();
}

// Rows 1 to 9 look their classes up unguarded, rows 10 to 18 only when the IR
// library defines them; the first matching row wins.
void dispatch(LayerFacts& facts, nb::handle node, const IrModule& ir) {
    Config config;
    if (ir.is_a(node, IrClass::Affine) || ir.is_a(node, IrClass::SpikingAffine)) {
        analyze_affine(facts, node, ir.is_a(node, IrClass::SpikingAffine));
        return;
    }
    if (ir.is_a(node, IrClass::Conv2d)) return analyze_conv2d(facts, node);
    if (ir.is_a(node, IrClass::SepConv2d)) return analyze_sepconv2d(facts, node);
    if (ir.is_a(node, IrClass::LIF)) return analyze_lif(facts, node);
    if (ir.is_a(node, IrClass::MaxPool2d)) {
        config.copy(kernel_key, node, kernel_size).copy(node, stride);
    } else if (ir.is_a(node, IrClass::AvgPool2d)) {
        config.copy(kernel_key, node, kernel_size).copy(node, stride).copy(node, count_include_pad);
    } else if (ir.is_a(node, IrClass::Flatten)) {
        config.copy(node, start_dim).copy(node, end_dim);
    } else if (ir.is_a(node, IrClass::Skip)) {
        config.copy(node, skip_type);
    } else if (ir.is_a(node, IrClass::Upsample)) {
        config.copy(node, scale_factor).copy(node, size).copy(node, mode).copy(node, align_corners);
    } else if (ir.is_a_if_defined(node, IrClass::ChannelSplit)) {
        config.copy(node, split_sections).copy(node, dim);
    } else if (ir.is_a_if_defined(node, IrClass::Concat)) {
        config.copy(node, num_inputs).copy(node, dim);
    } else if (ir.is_a_if_defined(node, IrClass::SGhostConv)) {
        accumulate(facts, node, sghost_conv_arrays);
        config.set(primary_stride, attr_or(node, primary_stride, Py_None))
            .set(primary_padding, attr_or(node, primary_padding, Py_None));
    } else if (ir.is_a_if_defined(node, IrClass::SGhostEncoderLite)) {
        accumulate(facts, node, sghost_encoder_arrays);
        config.set(stride, attr_or(node, stride, integer(2)));
    } else if (ir.is_a_if_defined(node, IrClass::GhostBasicBlock1)) {
        accumulate(facts, node, ghost_block1_arrays);
        config.set(stride, attr_or(node, stride, integer(2))).copy(node, in_channels).copy(node, out_channels);
    } else if (ir.is_a_if_defined(node, IrClass::GhostBasicBlock2)) {
        accumulate(facts, node, ghost_block2_arrays);
        config.copy(node, in_channels).copy(node, out_channels);
    } else if (ir.is_a_if_defined(node, IrClass::SDDetect)) {
        accumulate(facts, node, sddetect_arrays);
        config.copy(node, num_classes).copy(node, reg_max).copy(node, stride);
    } else if (ir.is_a_if_defined(node, IrClass::DFLDecode)) {
        nb::object weights = attr_if_exists(node, dfl_weights);
        if (weights.is_valid() && !weights.is_none()) add_pair(facts, weights);
        config.copy(node, reg_max);
    } else if (ir.is_a_if_defined(node, IrClass::Dist2BBox)) {
        config.copy(node, stride);
    }
    facts.config = config.take();
}

}  // namespace

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

LayerFacts analyze_node_facts(nb::handle node, const IrModule& ir, ShapeCache* shapes) {
    LayerFacts facts;
    facts.node_type = type_name_object(node);
    facts.input = read_port(node, input_type, input_port, shapes);
    facts.output = read_port(node, output_type, output_port, shapes);
    dispatch(facts, node, ir);
    return facts;
}

nb::object layer_record(nb::handle name, const LayerFacts& facts) {
    return records().layer_stats.make({name, facts.node_type, facts.params.object(), facts.bytes.object(),
                                       facts.input.shape, facts.output.shape, facts.flops.object(), facts.config});
}

nb::object analyze_node(nb::handle name, nb::handle node) {
    require_str(name, "name");
    IrModule ir;
    return layer_record(name, analyze_node_facts(node, ir));
}

}  // namespace ondrel::analyze
