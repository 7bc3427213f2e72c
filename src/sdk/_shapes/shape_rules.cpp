// One shape rule per IR class, in one table. Spatial rules act on the last
// two dimensions (channels the third from last) and keep every leading one,
// so a batch dimension passes through; the formulas are the framework ones
// (floor mode): out = floor((in + 2p - d(k-1) - 1) / s) + 1.
#include "sdk/_shapes/shapes.hpp"

#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace ondrel::shapes {

const Name input_port("input"), output_port("output");

namespace {

const Name shape_name("shape");
using Values = std::vector<std::pair<const char*, std::string>>;
using Pair = std::array<long long, 2>;

// ---- reading values, through either route ----------------------------------

// An int (not a bool), or nullopt; leaves no error set.
std::optional<long long> int_value(nb::handle value) {
    if (!value.is_valid() || value.is_none() || PyBool_Check(value.ptr())) return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) return PyErr_Clear(), std::nullopt;
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow || (result == -1 && PyErr_Occurred())) return PyErr_Clear(), std::nullopt;
    return result;
}

// The integers of a tuple or list, or nullopt.
std::optional<Shape> int_sequence(nb::handle value) {
    if (!value.is_valid() || !(PyTuple_Check(value.ptr()) || PyList_Check(value.ptr()))) return std::nullopt;
    nb::object items = nb::steal(PySequence_Tuple(value.ptr()));
    if (!items.is_valid()) return PyErr_Clear(), std::nullopt;
    Shape result;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        std::optional<long long> item = int_value(PyTuple_GET_ITEM(items.ptr(), i));
        if (!item) return std::nullopt;
        result.push_back(*item);
    }
    return result;
}

// An int for both dimensions, or a pair of them.
std::optional<Pair> pair_value(nb::handle value) {
    if (std::optional<long long> one = int_value(value)) return Pair{*one, *one};
    std::optional<Shape> both = int_sequence(value);
    if (both && both->size() == 2) return Pair{(*both)[0], (*both)[1]};
    return std::nullopt;
}

// The integers of a 1-d array or a sequence: a port shape.
std::optional<Shape> dims_value(nb::handle value) {
    if (PyArrayObject* array = exact_ndarray(value)) {
        if (PyArray_NDIM(array) != 1 || !PyArray_ISINTEGER(array)) return std::nullopt;
        Shape result(static_cast<size_t>(PyArray_DIM(array, 0)));
        if (PyArray_TYPE(array) == NPY_INT64 && PyArray_ISNOTSWAPPED(array)) {
            for (size_t i = 0; i < result.size(); ++i)
                result[i] = *static_cast<const int64_t*>(PyArray_GETPTR1(array, static_cast<npy_intp>(i)));
            return result;
        }
        for (size_t i = 0; i < result.size(); ++i) {
            nb::object item = nb::steal(PyArray_GETITEM(array, static_cast<char*>(PyArray_GETPTR1(array, i))));
            if (!item.is_valid()) return PyErr_Clear(), std::nullopt;
            std::optional<long long> number = int_value(item);
            if (!number) return std::nullopt;
            result[i] = *number;
        }
        return result;
    }
    return int_sequence(value);
}

// The shape of an array field: an ndarray's dimensions, or what `.shape` holds.
std::optional<Shape> array_shape(nb::handle value) {
    if (!value.is_valid() || value.is_none()) return std::nullopt;
    if (PyArrayObject* array = exact_ndarray(value))
        return Shape(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array));
    nb::object shape = nb::steal(PyObject_GetAttr(value.ptr(), shape_name.get()));
    if (!shape.is_valid()) return PyErr_Clear(), std::nullopt;
    return int_sequence(shape);
}

// Reads through the host may raise (a duck-typed node lacking a field): the
// rule then sees the field as absent.
nb::object read_field(const NodeView& node, Field field) {
    try {
        return node.read_if_exists(field);
    } catch (nb::python_error&) {
        return nb::object();
    }
}
std::optional<long long> read_int(const NodeView& node, Field field) { return int_value(read_field(node, field)); }
std::optional<Shape> read_array_shape(const NodeView& node, Field field) {
    return array_shape(read_field(node, field));
}

// ---- what rules share ------------------------------------------------------

struct Stop {
    std::string reason;
};

// Sizes are computed wide and must fit comfortably in 64 bits: a file may declare any integers.
constexpr __int128 size_limit = static_cast<__int128>(1) << 62;
long long fits(__int128 value) {
    if (value > size_limit || value < -size_limit) throw Stop{"a size overflows 64 bits"};
    return static_cast<long long>(value);
}

long long product(std::span<const long long> dims) {
    __int128 result = 1;
    for (long long dim : dims) result = fits(result * dim);
    return static_cast<long long>(result);
}

// The one input of a single-input class: every input the same shape.
const Shape& single_input(const RuleInput& in) {
    for (const Shape* other : in.inputs.subspan(1))
        if (*other != *in.inputs[0])
            throw Stop{"its " + std::to_string(in.inputs.size()) + " inputs differ in shape (" +
                       shape_text(*in.inputs[0]) + ", " + shape_text(*other) + ")"};
    return *in.inputs[0];
}

void require_rank(const Shape& x, size_t rank, const char* what) {
    if (x.size() < rank)
        throw Stop{std::string("its input ") + shape_text(x) + " has fewer than " + std::to_string(rank) +
                   " dimensions (" + what + ")"};
}

Shape require_weight(const NodeView& node, Field field, size_t rank) {
    std::optional<Shape> shape = read_array_shape(node, field);
    if (!shape || shape->size() != rank)
        throw Stop{std::string("it has no ") + std::to_string(rank) + "-d " + field_name(field)};
    return *shape;
}

void weight_mismatch(RuleOutcome& out, const char* field, const Shape& weight, std::string expected,
                     const Shape& input) {
    out.findings.push_back({Code::WeightMismatch,
                            {{"field", field}, {"weight", shape_text(weight)}, {"expected", std::move(expected)},
                             {"input", shape_text(input)}}});
}

// The channel count a weight expects against the input's (third from last).
void check_channels(RuleOutcome& out, const char* field, const Shape& weight, long long expected, const Shape& x) {
    long long channels = x[x.size() - 3];
    if (channels != expected)
        weight_mismatch(out, field, weight, std::to_string(expected) + " input channels", x);
}

Pair read_pair(const NodeView& node, Field field, Pair fallback, long long least) {
    nb::object value = read_field(node, field);
    if (!value.is_valid() || value.is_none()) return fallback;
    std::optional<Pair> pair = pair_value(value);
    if (!pair || (*pair)[0] < least || (*pair)[1] < least)
        throw Stop{std::string(field_name(field)) + " must be " + (least > 0 ? "positive" : "non-negative") +
                   " integers (one, or one per spatial dimension)"};
    return *pair;
}

// floor((in + 2p - d(k-1) - 1) / s) + 1 on the last two dimensions, keeping the leading ones.
Shape sliding_window(const Shape& x, long long channels, Pair kernel, Pair stride, Pair padding, Pair dilation) {
    Shape out(x.begin(), x.end() - 3);
    out.push_back(channels);
    for (size_t i = 0; i < 2; ++i) {
        long long size = x[x.size() - 2 + i];
        long long reach = fits(static_cast<__int128>(dilation[i]) * (kernel[i] - 1) + 1);
        long long padded = fits(static_cast<__int128>(size) + 2 * static_cast<__int128>(padding[i]));
        if (padded < reach)
            throw Stop{"its kernel (" + std::to_string(reach) + " wide with dilation) is larger than the padded input " +
                       shape_text(x)};
        out.push_back((padded - reach) / stride[i] + 1);
    }
    return out;
}

// A dimension index of `rank` dims, negative ones counting from the end.
long long dim_index(long long dim, size_t rank, const char* what) {
    long long size = static_cast<long long>(rank);
    long long index = dim < 0 ? dim + size : dim;
    if (index < 0 || index >= size)
        throw Stop{std::string(what) + " " + std::to_string(dim) + " is out of range for " + std::to_string(rank) +
                   " dimensions"};
    return index;
}

// The inputs joined along `dim`; the outcome's merge failure otherwise.
void concatenate(const RuleInput& in, RuleOutcome& out, long long dim) {
    const Shape& first = *in.inputs[0];
    size_t axis = static_cast<size_t>(dim_index(dim, first.size(), "dim"));
    Shape joined = first;
    joined[axis] = 0;
    for (const Shape* x : in.inputs) {
        bool aligned = x->size() == first.size();
        for (size_t i = 0; aligned && i < first.size(); ++i) aligned = i == axis || (*x)[i] == first[i];
        if (!aligned) {
            out.merge_failed = true;
            throw Stop{"all but dimension " + std::to_string(axis) + " must be equal"};
        }
        joined[axis] = fits(static_cast<__int128>(joined[axis]) + (*x)[axis]);
    }
    out.outputs = {joined};
}

void all_equal(const RuleInput& in, RuleOutcome& out) {
    for (const Shape* x : in.inputs)
        if (*x != *in.inputs[0]) {
            out.merge_failed = true;
            throw Stop{"a residual merge needs equal shapes"};
        }
    out.outputs = {*in.inputs[0]};
}

// ---- the rules ---------------------------------------------------------------

void identity(const RuleInput& in, RuleOutcome& out) { out.outputs = {single_input(in)}; }

// weight [out, in] acting on the last dimension.
void affine(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 1, "features last");
    Shape w = require_weight(in.node, Field::weight, 2);
    if (x.back() != w[1]) weight_mismatch(out, "weight", w, std::to_string(w[1]) + " input features", x);
    Shape y = x;
    y.back() = w[0];
    out.outputs = {y};
}

// weight [c_out, c_in / groups, kh, kw].
void conv2d(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    Shape w = require_weight(in.node, Field::weight, 4);
    std::optional<long long> groups = read_int(in.node, Field::groups);
    long long g = groups.value_or(1);
    if (g < 1 || w[0] % g != 0) throw Stop{"groups must be a positive divisor of the weight's output channels"};
    check_channels(out, "weight", w, fits(static_cast<__int128>(w[1]) * g), x);
    out.outputs = {sliding_window(x, w[0], {w[2], w[3]}, read_pair(in.node, Field::stride, {1, 1}, 1),
                                  read_pair(in.node, Field::padding, {0, 0}, 0),
                                  read_pair(in.node, Field::dilation, {1, 1}, 1))};
}

// depthwise [c * m, 1, kh, kw] (groups = input channels), then pointwise [c_out, c * m, 1, 1].
void sep_conv2d(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    Shape dw = require_weight(in.node, Field::depthwise_weight, 4);
    Shape pw = require_weight(in.node, Field::pointwise_weight, 4);
    long long channels = x[x.size() - 3];
    if (dw[1] != 1 || channels == 0 || dw[0] % channels != 0)
        weight_mismatch(out, "depthwise_weight", dw, "a multiple of " + std::to_string(channels) + " outputs of 1 input channel each", x);
    Shape mid = sliding_window(x, dw[0], {dw[2], dw[3]}, read_pair(in.node, Field::stride, {1, 1}, 1),
                               read_pair(in.node, Field::padding, {0, 0}, 0),
                               read_pair(in.node, Field::dilation, {1, 1}, 1));
    if (pw[1] != dw[0]) weight_mismatch(out, "pointwise_weight", pw, std::to_string(pw[1]) + " input channels", mid);
    out.outputs = {sliding_window(mid, pw[0], {pw[2], pw[3]}, {1, 1}, {0, 0}, {1, 1})};
}

// floor mode, dilation 1; the stride defaults to the kernel; padding at most half the kernel.
void pool2d(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    Pair kernel = read_pair(in.node, Field::kernel_size, {2, 2}, 1);
    Pair stride = read_pair(in.node, Field::stride, kernel, 1);
    Pair padding = read_pair(in.node, Field::padding, {0, 0}, 0);
    for (size_t i = 0; i < 2; ++i)
        if (padding[i] > kernel[i] / 2) throw Stop{"its padding is more than half its kernel size"};
    out.outputs = {sliding_window(x, x[x.size() - 3], kernel, stride, padding, {1, 1})};
}

// Dimensions start_dim..end_dim (negative from the end) become their product.
void flatten(const RuleInput& in, RuleOutcome& out) {
    Shape x = single_input(in);
    if (x.empty()) x = {1};
    long long start = dim_index(read_int(in.node, Field::start_dim).value_or(1), x.size(), "start_dim");
    long long end = dim_index(read_int(in.node, Field::end_dim).value_or(-1), x.size(), "end_dim");
    if (start > end) throw Stop{"start_dim comes after end_dim"};
    Shape y(x.begin(), x.begin() + start);
    y.push_back(product(std::span(x).subspan(start, end - start + 1)));
    y.insert(y.end(), x.begin() + end + 1, x.end());
    out.outputs = {y};
}

// Every dimension after batch and channels: `size` when set, else floor(in * scale_factor).
void upsample(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "batch, channels, then spatial dimensions");
    const size_t spatial = x.size() - 2;
    Shape y = x;
    nb::object size = read_field(in.node, Field::size);
    if (size.is_valid() && !size.is_none()) {
        std::optional<Shape> sizes = int_sequence(size);
        if (std::optional<long long> one = int_value(size)) sizes = Shape(spatial, *one);
        if (!sizes || sizes->size() != spatial)
            throw Stop{"size must be an integer or " + std::to_string(spatial) + " of them"};
        for (size_t i = 0; i < spatial; ++i) y[2 + i] = (*sizes)[i];
    } else {
        nb::object factor = read_field(in.node, Field::scale_factor);
        std::vector<double> scales;
        if (factor.is_valid() && (PyTuple_Check(factor.ptr()) || PyList_Check(factor.ptr()))) {
            nb::object items = nb::steal(PySequence_Tuple(factor.ptr()));
            for (Py_ssize_t i = 0; items.is_valid() && i < PyTuple_GET_SIZE(items.ptr()); ++i)
                scales.push_back(PyFloat_AsDouble(PyTuple_GET_ITEM(items.ptr(), i)));
        } else if (factor.is_valid() && !factor.is_none()) {
            scales.assign(spatial, PyFloat_AsDouble(factor.ptr()));
        }
        if (PyErr_Occurred()) PyErr_Clear(), scales.clear();
        if (scales.size() != spatial) throw Stop{"scale_factor must be a number or " + std::to_string(spatial) + " of them"};
        for (size_t i = 0; i < spatial; ++i) {
            double scaled = std::floor(static_cast<double>(x[2 + i]) * scales[i]);
            if (!(scaled >= 0 && scaled < 9e18)) throw Stop{"scale_factor gives no finite size"};
            y[2 + i] = static_cast<long long>(scaled);
        }
    }
    for (size_t i = 2; i < y.size(); ++i)
        if (y[i] <= 0) throw Stop{"its output " + shape_text(y) + " would be empty"};
    out.outputs = {y};
}

void concat(const RuleInput& in, RuleOutcome& out) { concatenate(in, out, read_int(in.node, Field::dim).value_or(1)); }

// Sections along `dim`, one per outgoing edge in edge order: split_sections
// lists their sizes, or gives one size (the last section takes the rest), or
// is None (equal sections, one per successor).
void channel_split(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    size_t axis = static_cast<size_t>(dim_index(read_int(in.node, Field::dim).value_or(1), x.size(), "dim"));
    long long total = x[axis];
    nb::object sections = read_field(in.node, Field::split_sections);
    Shape sizes;
    if (!sections.is_valid() || sections.is_none()) {
        long long parts = static_cast<long long>(std::max<size_t>(in.successors, 1));
        if (total % parts) throw Stop{"dimension " + std::to_string(axis) + " of " + shape_text(x) +
                                      " does not split into " + std::to_string(parts) + " equal sections"};
        sizes.assign(static_cast<size_t>(parts), total / parts);
    } else if (std::optional<long long> each = int_value(sections)) {
        if (*each <= 0) throw Stop{"split_sections must be positive"};
        // Only the sections that have a successor are made: a size of 1 over a huge dimension costs nothing.
        long long count = total / *each + (total % *each != 0);
        long long made = std::min<long long>(count, static_cast<long long>(std::max<size_t>(in.successors, 1)));
        for (long long i = 0; i < made; ++i) sizes.push_back(std::min(*each, total - i * *each));
    } else if (std::optional<Shape> listed = int_sequence(sections)) {
        sizes = *listed;
        if (std::any_of(sizes.begin(), sizes.end(), [](long long size) { return size < 0; }) ||
            std::accumulate(sizes.begin(), sizes.end(), 0LL) != total)
            throw Stop{"split_sections sum to " + std::to_string(std::accumulate(sizes.begin(), sizes.end(), 0LL)) +
                       ", but dimension " + std::to_string(axis) + " of its input " + shape_text(x) + " has " +
                       std::to_string(total)};
    } else {
        throw Stop{"split_sections must be None, an integer or integers"};
    }
    if (in.successors > sizes.size())
        throw Stop{"it feeds " + std::to_string(in.successors) + " nodes but has " + std::to_string(sizes.size()) +
                   " sections"};
    for (long long size : sizes) {
        Shape section = x;
        section[axis] = size;
        out.outputs.push_back(section);
    }
}

// passthrough: identity; residual: every input the same shape; concatenate: along channels (dim 1).
void skip(const RuleInput& in, RuleOutcome& out) {
    nb::object type = read_field(in.node, Field::skip_type);
    std::string_view kind = type.is_valid() && PyUnicode_Check(type.ptr()) ? utf8_view(type) : "passthrough";
    if (kind == "passthrough") return identity(in, out);
    if (kind == "residual") return all_equal(in, out);
    if (kind == "concatenate") return concatenate(in, out, 1);
    throw Stop{"skip_type " + std::string(kind) + " has no shape rule"};
}

// Identity. Each parameter array holds one value for all neurons, one per
// neuron of a sample (the elements of the input without its batch dimension),
// or a shape broadcastable to the sample's (per channel: [c, 1, 1]).
void lif(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    std::span<const long long> sample = x.size() > 1 ? std::span(x).subspan(1) : std::span(x);
    long long neurons = product(sample);
    for (Field field : {Field::tau, Field::r, Field::v_leak, Field::v_threshold}) {
        std::optional<Shape> shape = read_array_shape(in.node, field);
        if (!shape) continue;
        long long size = product(*shape);
        bool fits = size == 1 || size == neurons;
        if (!fits && shape->size() <= sample.size()) {
            fits = true;
            for (size_t i = 1; i <= shape->size(); ++i) {
                long long have = (*shape)[shape->size() - i], want = sample[sample.size() - i];
                fits = fits && (have == 1 || have == want);
            }
        }
        if (!fits)
            out.findings.push_back({Code::LifSize,
                                    {{"field", field_name(field)}, {"size", std::to_string(size)},
                                     {"input", shape_text(x)}, {"neurons", std::to_string(neurons)}}});
    }
    out.outputs = {x};
}

// Input: its declared shape (output, else input).
void input(const RuleInput& in, RuleOutcome& out) {
    std::optional<Shape> shape = declared_shape(in.node, Field::output_type, output_port);
    if (!shape) shape = declared_shape(in.node, Field::input_type, input_port);
    if (!shape) throw Stop{""};  // nothing to infer from: not a finding (MISSING_OUTPUT_SHAPE covers layers)
    for (long long dim : *shape)
        if (dim < 0 || dim > size_limit) throw Stop{"the Input declares the shape " + shape_text(*shape)};
    out.outputs = {*shape};
}

// A ghost convolution's primary convolution (stride, padding), then its cheap
// depthwise one (same size): channels of both, concatenated.
Shape ghost(RuleOutcome& out, const NodeView& node, const Shape& x, Field primary, Field cheap, Pair stride,
            std::optional<Pair> padding) {
    Shape p = require_weight(node, primary, 4), c = require_weight(node, cheap, 4);
    check_channels(out, field_name(primary), p, p[1], x);
    Pair pad = padding.value_or(Pair{p[2] / 2, p[3] / 2});
    return sliding_window(x, fits(static_cast<__int128>(p[0]) + c[0]), {p[2], p[3]}, stride, pad, {1, 1});
}

void sghost_conv(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    long long stride = read_int(in.node, Field::primary_stride).value_or(1);
    long long padding = read_int(in.node, Field::primary_padding).value_or(0);
    if (stride < 1 || padding < 0) throw Stop{"primary_stride must be positive, primary_padding non-negative"};
    out.outputs = {ghost(out, in.node, x, Field::primary_weight, Field::cheap_weight, {stride, stride},
                         Pair{padding, padding})};
}

// conv1 (stride, padding half its kernel), then a ghost convolution of stride 1.
void sghost_encoder(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    Shape w = require_weight(in.node, Field::conv1_weight, 4);
    long long stride = read_int(in.node, Field::stride).value_or(2);
    if (stride < 1) throw Stop{"stride must be positive"};
    check_channels(out, "conv1_weight", w, w[1], x);
    Shape mid = sliding_window(x, w[0], {w[2], w[3]}, {stride, stride}, {w[2] / 2, w[3] / 2}, {1, 1});
    out.outputs = {ghost(out, in.node, mid, Field::ghost_primary_weight, Field::ghost_cheap_weight, {1, 1},
                         std::nullopt)};
}

// A ghost block: in_channels (and cv0's primary weight) against the input;
// out_channels (else cv2's two halves); spatially a 3x3 window of padding 1
// at the block's stride: floor((in - 1) / stride) + 1.
void ghost_block(const RuleInput& in, RuleOutcome& out, long long stride) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    if (stride < 1) throw Stop{"stride must be positive"};
    long long declared_in = read_int(in.node, Field::in_channels).value_or(0);
    if (declared_in > 0 && declared_in != x[x.size() - 3])
        weight_mismatch(out, "in_channels", {declared_in}, std::to_string(declared_in) + " input channels", x);
    if (std::optional<Shape> cv0 = read_array_shape(in.node, Field::cv0_primary_weight); cv0 && cv0->size() == 4)
        check_channels(out, "cv0_primary_weight", *cv0, (*cv0)[1], x);
    long long channels = read_int(in.node, Field::out_channels).value_or(0);
    if (channels <= 0) {
        std::optional<Shape> p = read_array_shape(in.node, Field::cv2_primary_weight);
        std::optional<Shape> c = read_array_shape(in.node, Field::cv2_cheap_weight);
        if (!p || !c || p->empty() || c->empty()) throw Stop{"it has neither out_channels nor cv2 weights"};
        channels = fits(static_cast<__int128>((*p)[0]) + (*c)[0]);
    }
    out.outputs = {sliding_window(x, channels, {3, 3}, {stride, stride}, {1, 1}, {1, 1})};
}
void ghost_block1(const RuleInput& in, RuleOutcome& out) {
    ghost_block(in, out, read_int(in.node, Field::stride).value_or(2));
}
void ghost_block2(const RuleInput& in, RuleOutcome& out) { ghost_block(in, out, 1); }

// [..., c, h, w] -> [..., 4 * reg_max + num_classes, h * w] (the last cv2 and
// cv3 weights' channels where present); cv2_w0 and cv3_w0 take the input's channels.
void sd_detect(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 3, "channels, height, width");
    for (Field first : {Field::cv2_w0, Field::cv3_w0})
        if (std::optional<Shape> w = read_array_shape(in.node, first); w && w->size() == 4)
            check_channels(out, field_name(first), *w, (*w)[1], x);
    std::optional<Shape> box = read_array_shape(in.node, Field::cv2_w2), cls = read_array_shape(in.node, Field::cv3_w2);
    long long channels;
    if (box && cls && !box->empty() && !cls->empty()) {
        channels = fits(static_cast<__int128>((*box)[0]) + (*cls)[0]);
    } else {
        std::optional<long long> reg_max = read_int(in.node, Field::reg_max), classes = read_int(in.node, Field::num_classes);
        if (!reg_max || !classes) throw Stop{"it has neither cv2/cv3 weights nor reg_max and num_classes"};
        channels = fits(4 * static_cast<__int128>(*reg_max) + *classes);
    }
    Shape y(x.begin(), x.end() - 3);
    y.push_back(channels);
    y.push_back(fits(static_cast<__int128>(x[x.size() - 2]) * x.back()));
    out.outputs = {y};
}

// [..., 4 * reg_max, anchors] -> [..., 4, anchors].
void dfl_decode(const RuleInput& in, RuleOutcome& out) {
    const Shape& x = single_input(in);
    require_rank(x, 2, "channels, anchors");
    long long reg_max = read_int(in.node, Field::reg_max).value_or(16);
    long long channels = fits(4 * static_cast<__int128>(reg_max));
    if (x[x.size() - 2] != channels)
        weight_mismatch(out, "reg_max", {reg_max}, std::to_string(channels) + " channels (4 * reg_max)", x);
    Shape y = x;
    y[y.size() - 2] = 4;
    out.outputs = {y};
}

template <void (*rule)(const RuleInput&, RuleOutcome&)>
void guarded(const RuleInput& in, RuleOutcome& out) {
    try {
        rule(in, out);
    } catch (Stop& stop) {
        out.outputs.clear();
        out.stop = std::move(stop.reason);
    }
}

using enum IrClass;
constexpr std::array rules{
    ClassRow<ShapeRule>{Input, Input, Lookup::Required, guarded<input>},
    ClassRow<ShapeRule>{Output, Dist2BBox, Lookup::Required, guarded<identity>},
    ClassRow<ShapeRule>{Affine, SpikingAffine, Lookup::Required, guarded<affine>},
    ClassRow<ShapeRule>{Conv2d, Conv2d, Lookup::Required, guarded<conv2d>},
    ClassRow<ShapeRule>{SepConv2d, SepConv2d, Lookup::Required, guarded<sep_conv2d>},
    ClassRow<ShapeRule>{LIF, LIF, Lookup::Required, guarded<lif>},
    ClassRow<ShapeRule>{MaxPool2d, AvgPool2d, Lookup::Required, guarded<pool2d>},
    ClassRow<ShapeRule>{Flatten, Flatten, Lookup::Required, guarded<flatten>},
    ClassRow<ShapeRule>{Skip, Skip, Lookup::Required, guarded<skip>},
    ClassRow<ShapeRule>{Upsample, Upsample, Lookup::Required, guarded<upsample>},
    ClassRow<ShapeRule>{ChannelSplit, ChannelSplit, Lookup::Required, guarded<channel_split>},
    ClassRow<ShapeRule>{Concat, Concat, Lookup::Required, guarded<concat>},
    ClassRow<ShapeRule>{SGhostConv, SGhostConv, Lookup::Required, guarded<sghost_conv>},
    ClassRow<ShapeRule>{SGhostEncoderLite, SGhostEncoderLite, Lookup::Required, guarded<sghost_encoder>},
    ClassRow<ShapeRule>{GhostBasicBlock1, GhostBasicBlock1, Lookup::Required, guarded<ghost_block1>},
    ClassRow<ShapeRule>{GhostBasicBlock2, GhostBasicBlock2, Lookup::Required, guarded<ghost_block2>},
    ClassRow<ShapeRule>{SDDetect, SDDetect, Lookup::Required, guarded<sd_detect>},
    ClassRow<ShapeRule>{DFLDecode, DFLDecode, Lookup::Required, guarded<dfl_decode>},
};
constexpr std::array<IrClass, 0> without_rule{};
static_assert(covers_every_class(rules, without_rule));

}  // namespace

const char* code_name(Code code) {
    static constexpr const char* names[] = {"SHAPE_WEIGHT_MISMATCH", "SHAPE_LIF_SIZE", "SHAPE_DECLARED_MISMATCH",
                                            "SHAPE_MERGE_MISMATCH", "SHAPE_UNINFERRABLE"};
    return names[static_cast<size_t>(code)];
}

std::string shape_text(std::span<const long long> shape) {
    if (shape.empty()) return "()";
    std::string text;
    for (long long dim : shape) {
        if (!text.empty()) text += 'x';
        text += std::to_string(dim);
    }
    return text;
}

std::optional<Shape> declared_shape(const NodeView& node, Field ports, const Name& port, bool any_port) {
    nb::object declared = read_field(node, ports);
    if (!declared.is_valid() || declared.is_none()) return std::nullopt;
    nb::object entry;
    if (PyDict_CheckExact(declared.ptr())) {
        entry = nb::borrow(PyDict_GetItemWithError(declared.ptr(), port.get()));
    } else {
        entry = nb::steal(PyObject_GetItem(declared.ptr(), port.get()));
    }
    if (!entry.is_valid()) PyErr_Clear();
    if (any_port && (!entry.is_valid() || entry.is_none()) && PyDict_Check(declared.ptr())) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        if (PyDict_Next(declared.ptr(), &position, &key, &value)) entry = nb::borrow(value);
    }
    if (!entry.is_valid()) return std::nullopt;
    return dims_value(entry);
}

// The row of the node's class; for a node of no IR class, the row of the IR
// class of its class's name (duck typing: its attributes are read as the
// rule reads them, and a missing one stops inference with the reason).
ShapeRule rule_for(const NodeView& node) {
    if (const ShapeRule* rule = first_rule(rules, node)) return *rule;
    nb::object type = node.type_name();
    if (!PyUnicode_Check(type.ptr())) return nullptr;
    std::string_view name = utf8_view(type);
    for (const ClassRow<ShapeRule>& row : rules)
        if (name == ir_class_name(row.first) || name == ir_class_name(row.second)) return row.rule;
    return nullptr;
}

ShapeRule input_rule() { return guarded<input>; }

void record_rules(nb::handle module) { record_table(module, "shapes", rules, without_rule); }

}  // namespace ondrel::shapes
