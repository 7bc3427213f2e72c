// Per-node checks: layer parameters, skip-node wiring, names and shapes. Each
// check has one rule per node, run on the nodes as the host walks them or on
// the nodes of a snapshot.
#include "sdk/lint/lint.hpp"

#include "ir_interface/class_rules.hpp"
#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace ondrel::lint {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), min_name("min"), max_name("max");
const Name passthrough("passthrough"), residual("residual"), concatenate("concatenate");

// for name, node in graph.nodes.items(), read through the host
template <typename Visit>
void each_node(nb::handle graph, const IrModule& ir, Visit&& visit) {
    for_each_node(attr(graph, nodes_name), [&](nb::handle name, nb::handle node) { visit(name, HostNode(node, ir)); });
}

// the same over a snapshot
template <typename Visit>
void each_node(const LintContext& lint, Visit&& visit) {
    for (size_t i = 0; i < lint.graph.size(); ++i) visit(nb::handle(lint.graph.node(i).name), SnapshotNode(lint.graph, i));
}

// The smallest and largest value of a parameter, as doubles.
struct Range {
    double low;
    double high;
};

template <typename Element>
Range scan(const std::byte* data, Py_ssize_t count) {
    const Element* values = reinterpret_cast<const Element*>(data);
    double low = static_cast<double>(values[0]), high = low;
    for (Py_ssize_t i = 0; i < count; ++i) {
        double value = static_cast<double>(values[i]);
        if (std::isnan(value)) return {value, value};  // numpy's min and max propagate NaN
        low = std::min(low, value);
        high = std::max(high, value);
    }
    return {low, high};
}

// The range of `count` elements of a native-order numeric type at `data`, or nullopt.
std::optional<Range> scan_memory(PyArray_Descr* descr, const std::byte* data, Py_ssize_t count) {
    std::optional<NumericType> type = numeric_type_of(descr);
    if (!type) return std::nullopt;
    std::optional<Range> range;
    switch (*type) {
        case NumericType::Float32: range = scan<float>(data, count); break;
        case NumericType::Float64: range = scan<double>(data, count); break;
        case NumericType::Int8: range = scan<int8_t>(data, count); break;
        case NumericType::Int16: range = scan<int16_t>(data, count); break;
        case NumericType::Int32: range = scan<int32_t>(data, count); break;
        case NumericType::Int64: range = scan<int64_t>(data, count); break;
        case NumericType::Bool:
        case NumericType::UInt8: range = scan<uint8_t>(data, count); break;
        case NumericType::UInt16: range = scan<uint16_t>(data, count); break;
        case NumericType::UInt32: range = scan<uint32_t>(data, count); break;
        case NumericType::UInt64: range = scan<uint64_t>(data, count); break;
        case NumericType::Float16: break;
    }
    return range;
}

// min() and max() of a plain numpy array of numbers, read in one pass over
// its memory instead of two reductions through the host. Declines (nullopt)
// what it cannot answer exactly: other objects, empty or strided arrays,
// half floats, byte-swapped ones, and zero results, whose sign numpy leaves
// to the order of its reduction.
std::optional<Range> scan_plain_array(nb::handle values) {
    PyArrayObject* array = exact_ndarray(values);
    if (!array || !PyArray_IS_C_CONTIGUOUS(array)) return std::nullopt;
    Py_ssize_t count = PyArray_SIZE(array);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (count == 0 || descr->byteorder == '>') return std::nullopt;
    const std::byte* data = static_cast<const std::byte*>(PyArray_DATA(array));
    std::optional<Range> range;
    guarded_read([&] { range = scan_memory(descr, data, count); });  // the array may be mapped
    if (range && (range->low == 0 || range->high == 0)) return std::nullopt;
    return range;
}

// node.<attribute>.min() and .max(), each converted to a double.
Range value_range(nb::handle values) {
    if (std::optional<Range> range = scan_plain_array(values)) return *range;
    double low = to_double(call_method(values, min_name));
    double high = to_double(call_method(values, max_name));
    return {low, high};
}

std::string two_decimals(double value) { return format_double(value, 'f', 2); }

// Plausibility bounds of layer parameters (the messages quote them).
constexpr double lowest_tau = 1.0, highest_tau = 100, highest_threshold = 10;  // thresholds at or below 0: an error
constexpr long long lowest_weight_bits = 4, highest_weight_bits = 16;
constexpr std::array<long long, 2> backbone_strides{1, 2};
constexpr std::array<long long, 3> detect_strides{4, 8, 16};
constexpr long long default_backbone_stride = 2;  // blocks without a stride downsample by 2

// What one rule checks: a node of the graph and where its issues go.
struct Checked {
    nb::handle name;
    const NodeView& node;
    Issues& issues;
};

// The host's `value == one of choices`.
template <size_t N>
bool is_one_of(nb::handle value, const std::array<long long, N>& choices) {
    for (long long choice : choices)
        if (equal(value, integer(choice))) return true;
    return false;
}

void check_lif(const Checked& lif) {
    if (nb::object tau = lif.node.present(Field::tau); tau.is_valid()) {
        Range range = value_range(tau);
        if (range.low < lowest_tau) lif.issues.add(Code::LIF_LOW_TAU, lif.name, {{"tau", two_decimals(range.low)}});
        if (range.high > highest_tau) lif.issues.add(Code::LIF_HIGH_TAU, lif.name, {{"tau", two_decimals(range.high)}});
    }
    if (nb::object threshold = lif.node.present(Field::v_threshold); threshold.is_valid()) {
        Range range = value_range(threshold);
        if (range.low <= 0)
            lif.issues.add(Code::LIF_NONPOSITIVE_THRESHOLD, lif.name, {{"threshold", two_decimals(range.low)}});
        if (range.high > highest_threshold)
            lif.issues.add(Code::LIF_HIGH_THRESHOLD, lif.name, {{"threshold", two_decimals(range.high)}});
    }
}

void check_backbone_stride(const Checked& block) {
    nb::object stride = block.node.read_or(Field::stride, integer(default_backbone_stride));
    if (!is_one_of(stride, backbone_strides))
        block.issues.add(Code::GHOST_UNUSUAL_STRIDE, block.name, {{"stride", str_of(stride)}});
}

void check_detect_stride(const Checked& head) {
    nb::object stride = head.node.read(Field::stride);
    if (!is_one_of(stride, detect_strides))
        head.issues.add(Code::DETECT_UNUSUAL_STRIDE, head.name, {{"stride", str_of(stride)}});
}

// Unlike tau and v_threshold, a None bit width is not skipped: it fails the comparison.
void check_weight_bits(const Checked& layer) {
    nb::object bits = layer.node.read_if_exists(Field::weight_bits);
    if (!bits.is_valid()) return;
    if (less(bits, integer(lowest_weight_bits))) layer.issues.add(Code::LOW_WEIGHT_BITS, layer.name, {{"bits", str_of(bits)}});
    if (greater(bits, integer(highest_weight_bits)))
        layer.issues.add(Code::HIGH_WEIGHT_BITS, layer.name, {{"bits", str_of(bits)}});
}

using Rule = void (*)(const Checked&);
using Row = ClassRow<Rule>;

// Per node class, the parameter checks; every row the node matches runs, in
// this order, so one node's issues stand together.
constexpr auto parameter_rules = std::to_array<Row>({
    {IrClass::LIF, IrClass::LIF, Lookup::Required, check_lif},
    {IrClass::GhostBasicBlock1, IrClass::GhostBasicBlock1, Lookup::IfDefined, check_backbone_stride},
    {IrClass::SDDetect, IrClass::SDDetect, Lookup::IfDefined, check_detect_stride},
    {IrClass::SpikingAffine, IrClass::SpikingAffine, Lookup::Required, check_weight_bits},
});
constexpr std::array without_parameter_rule{
    IrClass::Input,      IrClass::Output,           IrClass::Affine,           IrClass::Conv2d,
    IrClass::SepConv2d,  IrClass::MaxPool2d,        IrClass::AvgPool2d,        IrClass::Flatten,
    IrClass::Skip,       IrClass::Upsample,         IrClass::ChannelSplit,     IrClass::Concat,
    IrClass::SGhostConv, IrClass::SGhostEncoderLite, IrClass::GhostBasicBlock2, IrClass::DFLDecode,
    IrClass::Dist2BBox,
};
static_assert(covers_every_class(parameter_rules, without_parameter_rule));

void check_parameters(nb::handle name, const NodeView& node, Issues& issues) {
    for (const Row& row : parameter_rules)
        if (node.is_a(row.first, row.second, row.lookup)) row.rule(Checked{name, node, issues});
}

// A skip node with `num_inputs` incoming edges.
void check_skip(nb::handle name, const NodeView& node, long long num_inputs, Issues& issues) {
    nb::object skip_type = node.read(Field::skip_type);
    std::string inputs = std::to_string(num_inputs);
    if (equal(skip_type, passthrough.get())) {
        if (num_inputs != 1) issues.add(Code::SKIP_PASSTHROUGH_INPUTS, name, {{"inputs", inputs}});
    } else if (equal(skip_type, residual.get()) || equal(skip_type, concatenate.get())) {
        if (num_inputs < 2) issues.add(Code::SKIP_MERGE_INPUTS, name, {{"skip_type", str_of(skip_type)}, {"inputs", inputs}});
    }
}

void check_name(nb::handle name, Issues& issues) {
    static const nb::handle generic_names = frozen_text_set({"node", "layer", "module"});
    static const nb::handle reserved_names =
        frozen_text_set({"input", "output", "lambda", "class", "def", "return", "for", "if"});
    // A str longer than every listed name is none of them.
    static const Py_ssize_t longest_listed = [] {
        Py_ssize_t longest = 0;
        for (nb::handle names : {generic_names, reserved_names})
            for (const nb::object& listed : iterate(names)) longest = std::max(longest, PyUnicode_GET_LENGTH(listed.ptr()));
        return longest;
    }();
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > longest_listed) return;
    if (set_contains(generic_names, name)) issues.add(Code::GENERIC_NAME, name);
    if (set_contains(reserved_names, name)) issues.add(Code::PYTHON_KEYWORD, name);
}

// Graph inputs and outputs need no inferred shape; both classes are looked up before either test.
void check_shape(nb::handle name, const NodeView& node, Issues& issues) {
    if (node.is_a(IrClass::Input, IrClass::Output, Lookup::Required)) return;
    if (!node.present(Field::output_type).is_valid()) issues.add(Code::MISSING_OUTPUT_SHAPE, name);
}

}  // namespace

void record_rules(nb::handle module) {
    record_table(module, "_check_node_parameters", parameter_rules, without_parameter_rule);
}

void check_node_parameters(nb::handle graph, nb::handle result) {
    IrModule ir;
    ResultMethods issues(result);
    each_node(graph, ir, [&](nb::handle name, const NodeView& node) { check_parameters(name, node, issues); });
}

void native::check_node_parameters(const LintContext& lint) {
    each_node(lint, [&](nb::handle name, const NodeView& node) { check_parameters(name, node, lint.issues); });
}

void check_skip_nodes(nb::handle graph, nb::handle result) {
    IrModule ir;
    ResultMethods issues(result);
    nb::object nodes = attr(graph, nodes_name);
    NodeIndex index(nodes);
    // Every edge counts, parallel ones included.
    std::vector<long long> incoming(index.size(), 0);
    for_each_edge(attr(graph, edges_name), [&](nb::handle, nb::handle destination) { ++incoming[index.index_of(destination)]; });
    for_each_node(nodes, [&](nb::handle name, nb::handle node) {
        HostNode view(node, ir);
        if (view.is_a(IrClass::Skip)) check_skip(name, view, incoming[index.index_of(name)], issues);
    });
}

void native::check_skip_nodes(const LintContext& lint) {
    std::vector<long long> incoming(lint.graph.size(), 0);
    for (const Link& link : lint.links) ++incoming[link.second];
    for (size_t i = 0; i < lint.graph.size(); ++i) {
        if (lint.graph.node(i).cls == IrClass::Skip)
            check_skip(lint.graph.node(i).name, SnapshotNode(lint.graph, i), incoming[i], lint.issues);
    }
}

void check_naming(nb::handle graph, nb::handle result) {
    ResultMethods issues(result);
    for_each_name(attr(graph, nodes_name), [&](nb::handle name) { check_name(name, issues); });
}

void native::check_naming(const LintContext& lint) {
    for (const GraphSnapshot::Node& node : lint.graph.nodes()) check_name(node.name, lint.issues);
}

void check_shapes(nb::handle graph, nb::handle result) {
    IrModule ir;
    ResultMethods issues(result);
    each_node(graph, ir, [&](nb::handle name, const NodeView& node) { check_shape(name, node, issues); });
}

void native::check_shapes(const LintContext& lint) {
    each_node(lint, [&](nb::handle name, const NodeView& node) { check_shape(name, node, lint.issues); });
}

}  // namespace ondrel::lint
