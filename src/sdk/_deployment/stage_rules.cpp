// The weighted stages of each node class, one row per class in one table,
// and how each class passes spikes on. A convolution factors per spatial
// axis, so its figures come from the two axes alone: nothing is done per
// element, and synapses are exact at the borders for any stride, padding,
// dilation and groups.
#include "sdk/_deployment/deployment.hpp"

#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <array>
#include <functional>

namespace ondrel::deployment {

namespace {

using Pair = std::array<long long, 2>;

constexpr long long largest_axis = 1LL << 24;  // spatial sizes past this are not feature maps a device holds
constexpr Wide pair_budget = Wide{1} << 28;    // (output, tap) pairs one axis may count one by one

std::string repr_text(nb::handle value) { return str_of(own(PyObject_Repr(value.ptr()))); }

// Dimensions as a Python tuple prints them: (3,), (8, 8, 3, 3).
std::string tuple_text(std::span<const long long> dims) {
    std::string out = "(";
    for (size_t i = 0; i < dims.size(); ++i) out += (i ? ", " : "") + std::to_string(dims[i]);
    return out + (dims.size() == 1 ? ",)" : ")");
}

// An int (bools and numpy integers included), or nullopt.
std::optional<long long> integer_of(nb::handle value, bool bool_allowed) {
    if (!value.is_valid() || (!bool_allowed && PyBool_Check(value.ptr()))) return std::nullopt;
    load_numpy_api();
    if (!PyLong_Check(value.ptr()) && !PyArray_IsScalar(value.ptr(), Integer)) return std::nullopt;
    int overflow = 0;
    nb::object exact = own(PyNumber_Index(value.ptr()));
    long long result = PyLong_AsLongLongAndOverflow(exact.ptr(), &overflow);
    if (overflow) throw Unknown{repr_text(value) + " is out of range"};
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

// A stride, padding or dilation: a setting read from the node, or one the layer fixes.
struct Setting {
    nb::handle value;
    Pair fixed{};
};
Setting fixed(long long both) { return Setting{nb::handle(), {both, both}}; }

// An integer for both axes, or a tuple or list of one or two (the first for
// the height, the last for the width).
Pair pair_of(const Setting& setting, const char* what) {
    if (!setting.value.is_valid()) return setting.fixed;
    nb::handle value = setting.value;
    if (std::optional<long long> one = integer_of(value, false)) return {*one, *one};
    if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
        nb::object items = own(PySequence_Tuple(value.ptr()));
        const Py_ssize_t count = PyTuple_GET_SIZE(items.ptr());
        if (count == 1 || count == 2) {
            std::optional<long long> first = integer_of(PyTuple_GET_ITEM(items.ptr(), 0), false);
            std::optional<long long> last = integer_of(PyTuple_GET_ITEM(items.ptr(), count - 1), false);
            bool all = first && last;
            if (all) return {*first, *last};
        }
    }
    throw Unknown{std::string(what) + " " + repr_text(value) + " is not an integer or a pair of integers"};
}

// The product of sizes, or Unknown when a hostile file's sizes overflow.
Wide product(std::initializer_list<Wide> factors) {
    Wide result = 1;
    for (Wide factor : factors)
        if (__builtin_mul_overflow(result, factor, &result)) throw Unknown{"a figure of this layer overflows 127 bits"};
    return result;
}

long long floor_div(Wide a, Wide b) {
    Wide q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return static_cast<long long>(std::clamp<Wide>(q, -(Wide{1} << 62), Wide{1} << 62));
}

// A numeric ndarray, or Unknown naming what it is instead.
PyArrayObject* numeric_weight(Memo& memo, nb::handle weight) {
    load_numpy_api();
    if (PyArray_Check(weight.ptr())) {
        PyArrayObject* array = reinterpret_cast<PyArrayObject*>(weight.ptr());
        if (memo.is_number(PyArray_DESCR(array))) return array;
    }
    throw Unknown{"a weight that is not a numeric array (" + str_of(type_name_object(weight)) + ")"};
}

Shape dims_of(PyArrayObject* array) { return Shape(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array)); }

// Channels, height, width of the layer's input (channels unknown for a 3-d shape).
struct Chw {
    std::optional<long long> c;
    long long h, w;
};

Chw input_chw(const LayerInput& in) {
    const std::optional<Shape>& shape = in.input;
    if (!shape || shape->size() < 3)
        throw Unknown{"no input shape of at least (batch, H, W) for " + std::string(in.name)};
    const size_t n = shape->size();
    Chw chw{n >= 4 ? std::optional<long long>((*shape)[n - 3]) : std::nullopt, (*shape)[n - 2], (*shape)[n - 1]};
    if ((chw.c && *chw.c < 0) || chw.h < 0 || chw.w < 0 || chw.h > largest_axis || chw.w > largest_axis)
        throw Unknown{"input shape " + tuple_text(*shape) + " of " + std::string(in.name) + " is not a feature map"};
    return chw;
}

// A 2-d convolution of `weight` [C_out, C_in/groups, kh, kw] on an input of
// `chw`: its stage, and its output as the next stage's input.
Chw convolution(const LayerInput& in, nb::handle weight, const Chw& chw, const Setting& stride, const Setting& padding,
                const Setting& dilation, long long groups, bool reads_input, std::vector<Stage>& stages) {
    Shape shape = dims_of(numeric_weight(in.memo, weight));
    if (shape.size() != 4)
        throw Unknown{"convolution weight of shape " + tuple_text(shape) + " is not [C_out, C_in/groups, kh, kw]"};
    const long long c_out = shape[0], per_group = shape[1], kh = shape[2], kw = shape[3];
    const Pair s = pair_of(stride, "stride"), p = pair_of(padding, "padding"), d = pair_of(dilation, "dilation");
    if (std::min({s[0], s[1], d[0], d[1], kh, kw, groups}) < 1 || std::min(p[0], p[1]) < 0)
        throw Unknown{"stride, dilation, kernel and groups must be positive and padding not negative"};
    const Wide c_in = chw.c ? Wide{*chw.c} : product({per_group, groups});
    if (product({per_group, groups}) != c_in || c_out % groups)
        throw Unknown{"a weight of shape " + tuple_text(shape) + " in " + std::to_string(groups) +
                      " group(s) does not take " + wide_text(c_in) + " input channels"};
    const AxisFigures& y = in.memo.axis({chw.h, kh, s[0], p[0], d[0]});
    const AxisFigures& x = in.memo.axis({chw.w, kw, s[1], p[1], d[1]});
    Stage stage;
    stage.weight = nb::borrow(weight);
    Wide taps_y = 0, taps_x = 0;
    for (long long a : y.per_tap) {
        taps_y += a;
        for (long long b : x.per_tap) stage.per_tap.push_back(product({a, b}));
    }
    for (long long b : x.per_tap) taps_x += b;
    stage.synapses = product({c_out, per_group, taps_y, taps_x});
    stage.fan_in_max = y.out && x.out ? product({per_group, y.most_in, x.most_in}) : 0;
    stage.fan_out_max = product({c_out / groups, y.most_out, x.most_out});
    stage.inputs = product({c_in, chw.h, chw.w});
    stage.outputs = product({c_out, y.out, x.out});
    stage.reads_input = reads_input;
    stages.push_back(std::move(stage));
    return Chw{c_out, y.out, x.out};
}

// Padding that keeps the size at stride 1 for an odd kernel: half the kernel, per axis.
Setting same_padding(Memo& memo, nb::handle weight) {
    Shape shape = dims_of(numeric_weight(memo, weight));
    return shape.size() == 4 ? Setting{nb::handle(), {shape[2] / 2, shape[3] / 2}} : fixed(0);
}

long long depthwise_groups(Memo& memo, nb::handle weight, const Chw& chw) {
    if (chw.c) return *chw.c;
    Shape shape = dims_of(numeric_weight(memo, weight));
    if (shape.size() < 2) throw Unknown{"a depthwise weight of shape " + tuple_text(shape) + " has no channel axes"};
    return floor_div(shape[0], std::max(shape[1], 1LL));
}

nb::object optional_weight(const NodeView& node, Field field) { return unless_none(node.read_if_exists(field)); }
nb::object required(const NodeView& node, Field field) { return unless_none(node.read(field)); }

// A ghost convolution: a primary convolution, then a cheap depthwise one
// ("same" padding, stride 1) on its output; their outputs concatenated.
Chw ghost(const LayerInput& in, Field primary_field, Field cheap_field, const Chw& chw, const Setting& stride,
          const Setting& padding, bool reads_input, std::vector<Stage>& stages) {
    nb::object primary = optional_weight(in.node, primary_field), cheap = optional_weight(in.node, cheap_field);
    if (!primary.is_valid()) return chw;
    Shape shape = dims_of(numeric_weight(in.memo, primary));
    const long long groups = chw.c && shape.size() == 4 && shape[1] ? floor_div(*chw.c, shape[1]) : 1;
    Chw out = convolution(in, primary, chw, stride, padding, fixed(1), groups, reads_input, stages);
    if (cheap.is_valid()) {
        Chw cheap_out = convolution(in, cheap, out, fixed(1), same_padding(in.memo, cheap), fixed(1), depthwise_groups(in.memo, cheap, out),
                                    false, stages);
        out.c = *out.c + *cheap_out.c;
    }
    return out;
}

// ---- the rules, one per class -----------------------------------------------

void affine(const LayerInput& in, std::vector<Stage>& stages) {
    nb::object weight = required(in.node, Field::weight);
    if (!weight.is_valid()) return;
    Shape shape = dims_of(numeric_weight(in.memo, weight));
    if (shape.size() != 2) throw Unknown{"affine weight of shape " + tuple_text(shape) + " is not [out, in]"};
    Stage stage;
    stage.weight = weight;
    stage.synapses = product({shape[0], shape[1]});
    stage.fan_in_max = stage.inputs = shape[1];
    stage.fan_out_max = stage.outputs = shape[0];
    stages.push_back(std::move(stage));
}

void conv2d(const LayerInput& in, std::vector<Stage>& stages) {
    nb::object weight = required(in.node, Field::weight);
    if (!weight.is_valid()) return;
    Chw chw = input_chw(in);
    nb::object groups = in.node.read(Field::groups);
    convolution(in, weight, chw, {in.node.read(Field::stride)}, {in.node.read(Field::padding)},
                {in.node.read(Field::dilation)}, integer_of(groups, true).value_or(1), true, stages);
}

void sepconv2d(const LayerInput& in, std::vector<Stage>& stages) {
    Chw chw = input_chw(in);
    nb::object depthwise = required(in.node, Field::depthwise_weight);
    nb::object pointwise = required(in.node, Field::pointwise_weight);
    if (depthwise.is_valid())
        chw = convolution(in, depthwise, chw, {in.node.read(Field::stride)}, {in.node.read(Field::padding)},
                          {in.node.read(Field::dilation)}, depthwise_groups(in.memo, depthwise, chw), true, stages);
    if (pointwise.is_valid())
        convolution(in, pointwise, chw, fixed(1), fixed(0), fixed(1), 1, stages.empty(), stages);
}

void sghost_conv(const LayerInput& in, std::vector<Stage>& stages) {
    Chw chw = input_chw(in);
    ghost(in, Field::primary_weight, Field::cheap_weight, chw, {in.node.read(Field::primary_stride)},
          {in.node.read(Field::primary_padding)}, true, stages);
}

void sghost_encoder(const LayerInput& in, std::vector<Stage>& stages) {
    Chw chw = input_chw(in);
    if (nb::object conv1 = required(in.node, Field::conv1_weight); conv1.is_valid())
        chw = convolution(in, conv1, chw, {in.node.read(Field::stride)}, same_padding(in.memo, conv1), fixed(1), 1, true, stages);
    ghost(in, Field::ghost_primary_weight, Field::ghost_cheap_weight, chw, fixed(1), fixed(0), stages.empty(), stages);
}

void ghost_block1(const LayerInput& in, std::vector<Stage>& stages) {
    Chw chw = input_chw(in);
    nb::object stride = in.node.read(Field::stride);
    ghost(in, Field::cvres_primary_weight, Field::cvres_cheap_weight, chw, {stride}, fixed(0), true, stages);
    Chw mid = ghost(in, Field::cv0_primary_weight, Field::cv0_cheap_weight, chw, {stride}, fixed(0), true, stages);
    ghost(in, Field::cv2_primary_weight, Field::cv2_cheap_weight, mid, fixed(1), fixed(0), false, stages);
}

void ghost_block2(const LayerInput& in, std::vector<Stage>& stages) {
    Chw mid = ghost(in, Field::cv0_primary_weight, Field::cv0_cheap_weight, input_chw(in), fixed(1), fixed(0), true,
                    stages);
    ghost(in, Field::cv2_primary_weight, Field::cv2_cheap_weight, mid, fixed(1), fixed(0), false, stages);
}

// Two branches of up to three convolutions ("same" padding), each reading the layer's input.
void detect(const LayerInput& in, std::vector<Stage>& stages) {
    Chw chw = input_chw(in);
    constexpr std::array<std::array<Field, 3>, 2> branches{{{Field::cv2_w0, Field::cv2_w1, Field::cv2_w2},
                                                            {Field::cv3_w0, Field::cv3_w1, Field::cv3_w2}}};
    for (const auto& branch : branches) {
        Chw current = chw;
        for (size_t i = 0; i < branch.size(); ++i) {
            nb::object weight = optional_weight(in.node, branch[i]);
            if (!weight.is_valid()) break;
            current = convolution(in, weight, current, fixed(1), same_padding(in.memo, weight), fixed(1), 1, i == 0, stages);
        }
    }
}

using enum IrClass;
constexpr auto stage_rows = std::to_array<ClassRow<StageRule>>({
    {Affine, SpikingAffine, Lookup::Required, affine},
    {Conv2d, Conv2d, Lookup::Required, conv2d},
    {SepConv2d, SepConv2d, Lookup::Required, sepconv2d},
    {SGhostConv, SGhostConv, Lookup::Required, sghost_conv},
    {SGhostEncoderLite, SGhostEncoderLite, Lookup::Required, sghost_encoder},
    {GhostBasicBlock1, GhostBasicBlock1, Lookup::Required, ghost_block1},
    {GhostBasicBlock2, GhostBasicBlock2, Lookup::Required, ghost_block2},
    {SDDetect, SDDetect, Lookup::Required, detect},
});
constexpr auto without_stages = std::to_array<IrClass>({Input, Output, LIF, MaxPool2d, AvgPool2d, Flatten, Skip,
                                                         Upsample, ChannelSplit, Concat, DFLDecode, Dist2BBox});
static_assert(covers_every_class(stage_rows, without_stages));

// ---- how each class passes spikes on ----------------------------------------

using SpikeRule = SpikeRole (*)(const NodeView& node);
SpikeRole source(const NodeView&) { return SpikeRole::Source; }
SpikeRole passes(const NodeView&) { return SpikeRole::Passes; }
// A node whose setting names one of `kinds` passes spikes on (it selects, copies or reorders elements).
template <Field field, const char* const*... kinds>
SpikeRole passes_when(const NodeView& node) {
    nb::object value = node.read_if_exists(field);
    if (!value.is_valid() || !PyUnicode_Check(value.ptr())) return SpikeRole::Stops;
    const std::string text = str_of(value);
    return ((text == *kinds) || ...) ? SpikeRole::Passes : SpikeRole::Stops;
}
constexpr const char* passthrough = "passthrough";
constexpr const char* concatenate = "concatenate";
constexpr const char* nearest = "nearest";

constexpr auto spike_rows = std::to_array<ClassRow<SpikeRule>>({
    {LIF, LIF, Lookup::Required, source},
    {Flatten, MaxPool2d, Lookup::Required, passes},
    {ChannelSplit, Concat, Lookup::Required, passes},
    {Skip, Skip, Lookup::Required, passes_when<Field::skip_type, &passthrough, &concatenate>},
    {Upsample, Upsample, Lookup::Required, passes_when<Field::mode, &nearest>},
});
constexpr auto stopping_spikes = std::to_array<IrClass>({Input, Output, Affine, SpikingAffine, Conv2d, SepConv2d,
                                                          AvgPool2d, SGhostConv, SGhostEncoderLite, GhostBasicBlock1,
                                                          GhostBasicBlock2, SDDetect, DFLDecode, Dist2BBox});
static_assert(covers_every_class(spike_rows, stopping_spikes));

}  // namespace

Memo::Memo()
    : is_number_(from_import(nb::handle(), "ondrel.ir._dtypes", "is_number")),
      element_bits_(from_import(nb::handle(), "ondrel.ir._dtypes", "element_bits")) {}

const Memo::DtypeFacts& Memo::facts(PyArray_Descr* dtype) {
    for (const DtypeFacts& known : dtypes_)
        if (known.dtype.ptr() == reinterpret_cast<PyObject*>(dtype)) return known;
    nb::handle handle(reinterpret_cast<PyObject*>(dtype));
    const bool number = truthy(is_number_(handle));
    const int bits = number ? nb::cast<int>(element_bits_(handle)) : 0;
    return dtypes_.emplace_back(DtypeFacts{nb::borrow(handle), number, bits});
}

size_t Memo::Hash::operator()(const AxisKey& k) const {
    size_t h = 0;
    for (long long v : {k.size, k.kernel, k.stride, k.padding, k.dilation}) h = h * 1000003 ^ std::hash<long long>()(v);
    return h;
}

// One spatial axis: the output size, per tap the output positions where it
// lands inside the input, and the two maxima. Outputs whose window misses the
// input entirely are skipped; the rest are counted pair by pair.
const AxisFigures& Memo::axis(const AxisKey& key) {
    if (auto found = axes_.find(key); found != axes_.end()) return found->second;
    const Wide size = key.size, k = key.kernel, s = key.stride, p = key.padding, d = key.dilation;
    AxisFigures figures{std::max<long long>(floor_div(size + 2 * p - d * (k - 1) - 1, s) + 1, 0), {}, 0, 0};
    const Wide out = figures.out;
    // Tap t lands inside for the outputs o with 0 <= o*s - p + t*d < size.
    figures.per_tap.resize(static_cast<size_t>(k));
    Wide pairs = 0;
    for (Wide t = 0; t < k; ++t) {
        const Wide first = std::max<Wide>(-floor_div(t * d - p, s), 0);  // ceil((p - t*d) / s)
        const Wide last = std::min<Wide>(floor_div(size - 1 + p - t * d, s), out - 1);
        const Wide count = std::max<Wide>(last - first + 1, 0);
        figures.per_tap[static_cast<size_t>(t)] = static_cast<long long>(count);
        pairs += count;
    }
    if (pairs > pair_budget) throw Unknown{"a convolution axis of " + std::to_string(key.size) + " positions and " +
                                           std::to_string(key.kernel) + " taps is too large to count"};
    if (pairs > 0) {
        std::vector<long long> per_input(static_cast<size_t>(size));
        // Outputs whose window reaches the input: o*s - p + (k-1)*d >= 0 and o*s - p < size.
        const Wide lowest = std::max<Wide>(-floor_div((k - 1) * d - p, s), 0);  // ceil((p - (k-1)d) / s)
        const Wide highest = std::min<Wide>(floor_div(size - 1 + p, s), out - 1);
        for (Wide o = lowest; o <= highest; ++o) {
            const Wide a = o * s - p;  // where tap 0 lands
            const Wide t_first = std::max<Wide>(-floor_div(a, d), 0), t_last = std::min<Wide>(floor_div(size - 1 - a, d), k - 1);
            if (t_last < t_first) continue;
            figures.most_in = std::max(figures.most_in, static_cast<long long>(t_last - t_first + 1));
            for (Wide t = t_first; t <= t_last; ++t) {
                long long& hits = per_input[static_cast<size_t>(a + t * d)];
                figures.most_out = std::max(figures.most_out, ++hits);
            }
        }
    }
    return axes_.emplace(key, std::move(figures)).first->second;
}

StageRule stage_rule(const NodeView& node) {
    const StageRule* rule = first_rule(stage_rows, node);
    return rule ? *rule : nullptr;
}

SpikeRole spike_role(const NodeView& node) {
    const SpikeRule* rule = first_rule(spike_rows, node);
    return rule ? (*rule)(node) : SpikeRole::Stops;
}

void record_rules(nb::handle module) {
    record_table(module, "stages", stage_rows, without_stages);
    record_table(module, "spikes", spike_rows, stopping_spikes);
}

}  // namespace ondrel::deployment
