// Per-node checks: layer parameters, skip-node wiring, names and shapes.
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

const Name nodes_name("nodes"), edges_name("edges");
const Name tau_name("tau"), v_threshold_name("v_threshold"), min_name("min"), max_name("max");
const Name stride_name("stride"), weight_bits_name("weight_bits"), skip_type_name("skip_type");
const Name output_type_name("output_type");

// Issue codes and fixed texts, interned once.
const Name lif_low_tau("LIF_LOW_TAU"), lif_high_tau("LIF_HIGH_TAU");
const Name lif_nonpositive_threshold("LIF_NONPOSITIVE_THRESHOLD"), lif_high_threshold("LIF_HIGH_THRESHOLD");
const Name ghost_unusual_stride("GHOST_UNUSUAL_STRIDE"), detect_unusual_stride("DETECT_UNUSUAL_STRIDE");
const Name low_weight_bits("LOW_WEIGHT_BITS"), high_weight_bits("HIGH_WEIGHT_BITS");
const Name skip_passthrough_inputs("SKIP_PASSTHROUGH_INPUTS"), skip_merge_inputs("SKIP_MERGE_INPUTS");
const Name generic_name("GENERIC_NAME"), python_keyword("PYTHON_KEYWORD");
const Name missing_output_shape("MISSING_OUTPUT_SHAPE");

const Name fast_decay("Low tau means fast decay; check if intentional");
const Name slow_decay("High tau means slow decay; may cause gradient issues");
const Name positive_thresholds("LIF thresholds must be positive");
const Name fewer_spikes("High thresholds may reduce spike activity");
const Name backbone_stride("Paper specifies stride=2 for backbone blocks");
const Name detect_strides_hint("SU-YOLO uses strides 4, 8, 16 for P2/P3/P4 scales");
const Name low_bits_accuracy("Very low bit widths may hurt accuracy");
const Name fewer_bits("Consider lower bits for hardware efficiency");
const Name one_input("Passthrough should have exactly one input");
const Name descriptive_names("Use descriptive names (e.g., 'conv1', 'fc_hidden')");
const Name rename_keyword("May cause issues in code generation; consider renaming");
const Name infer_shapes("Output shapes should be inferred during export");

const Name passthrough("passthrough"), residual("residual"), concatenate("concatenate");

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
    std::optional<Range> range;
    switch (descr->kind) {
        case 'f':
            if (PyDataType_ELSIZE(descr) == 4) range = scan<float>(data, count);
            else if (PyDataType_ELSIZE(descr) == 8) range = scan<double>(data, count);
            break;
        case 'i':
            if (PyDataType_ELSIZE(descr) == 1) range = scan<int8_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 2) range = scan<int16_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 4) range = scan<int32_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 8) range = scan<int64_t>(data, count);
            break;
        case 'u':
        case 'b':
            if (PyDataType_ELSIZE(descr) == 1) range = scan<uint8_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 2) range = scan<uint16_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 4) range = scan<uint32_t>(data, count);
            else if (PyDataType_ELSIZE(descr) == 8) range = scan<uint64_t>(data, count);
            break;
        default:
            break;
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

// Plausibility bounds of layer parameters, with the text the messages quote.
struct Bound {
    double value;
    const char* text;
};
constexpr Bound lowest_tau{1.0, "1.0"}, highest_tau{100, "100"};
constexpr double highest_threshold = 10;   // a threshold at or below zero is an error
constexpr long long lowest_weight_bits = 4, highest_weight_bits = 16;
constexpr std::array<long long, 2> backbone_strides{1, 2};
constexpr const char* backbone_strides_text = "1 or 2";
constexpr std::array<long long, 3> detect_strides{4, 8, 16};
constexpr const char* detect_strides_text = "4, 8, or 16";
constexpr long long default_backbone_stride = 2;  // blocks without a stride downsample by 2

// The node attributes the rules read, each node type's class looked up once per check.
struct Reads {
    AttributeReader tau{tau_name}, v_threshold{v_threshold_name}, stride{stride_name}, weight_bits{weight_bits_name};
};

// What one rule checks: a node of the graph and where its issues go.
struct Checked {
    nb::handle name;
    nb::handle node;
    const Reporter& report;
    Reads& reads;

    std::string quoted_name() const { return str_of(name).insert(0, 1, '\'').append(1, '\''); }
    void add(Severity severity, const Name& code, const std::string& message, const Name& suggestion) const {
        report.add(severity, code.get(), message, name, suggestion.get());
    }
};

// The host's `value == one of choices`.
template <size_t N>
bool is_one_of(nb::handle value, const std::array<long long, N>& choices) {
    for (long long choice : choices)
        if (equal(value, integer(choice))) return true;
    return false;
}

void check_lif(const Checked& lif) {
    if (nb::object tau = lif.reads.tau.present(lif.node); tau.is_valid()) {
        Range range = value_range(tau);
        if (range.low < lowest_tau.value) {
            lif.add(Severity::Warning, lif_low_tau,
                    "Node " + lif.quoted_name() + " has very low tau=" + two_decimals(range.low) + " (< " +
                        lowest_tau.text + ")",
                    fast_decay);
        }
        if (range.high > highest_tau.value) {
            lif.add(Severity::Warning, lif_high_tau,
                    "Node " + lif.quoted_name() + " has very high tau=" + two_decimals(range.high) + " (> " +
                        highest_tau.text + ")",
                    slow_decay);
        }
    }
    if (nb::object threshold = lif.reads.v_threshold.present(lif.node); threshold.is_valid()) {
        Range range = value_range(threshold);
        if (range.low <= 0) {
            lif.add(Severity::Error, lif_nonpositive_threshold,
                    "Node " + lif.quoted_name() + " has non-positive threshold=" + two_decimals(range.low),
                    positive_thresholds);
        }
        if (range.high > highest_threshold) {
            lif.add(Severity::Info, lif_high_threshold,
                    "Node " + lif.quoted_name() + " has high threshold=" + two_decimals(range.high), fewer_spikes);
        }
    }
}

// A warning when `stride` is none of the strides expected of this kind of block.
template <size_t N>
void check_stride(const Checked& block, nb::handle stride, const char* kind, const std::array<long long, N>& expected,
                  const char* expected_text, const Name& code, const Name& suggestion) {
    if (is_one_of(stride, expected)) return;
    block.add(Severity::Warning, code,
              std::string(kind) + " " + block.quoted_name() + " has stride=" + str_of(stride) + " (expected " +
                  expected_text + ")",
              suggestion);
}

void check_backbone_stride(const Checked& block) {
    nb::object stride = block.reads.stride.if_exists(block.node);
    check_stride(block, stride.is_valid() ? stride : integer(default_backbone_stride), "GhostBasicBlock1",
                 backbone_strides, backbone_strides_text, ghost_unusual_stride, backbone_stride);
}

void check_detect_stride(const Checked& head) {
    check_stride(head, head.reads.stride(head.node), "SDDetect", detect_strides, detect_strides_text,
                 detect_unusual_stride, detect_strides_hint);
}

// Unlike tau and v_threshold, a None bit width is not skipped: it fails the comparison.
void check_weight_bits(const Checked& layer) {
    nb::object bits = layer.reads.weight_bits.if_exists(layer.node);
    if (!bits.is_valid()) return;
    if (less(bits, integer(lowest_weight_bits))) {
        layer.add(Severity::Warning, low_weight_bits,
                  "Node " + layer.quoted_name() + " has only " + str_of(bits) + "-bit weights", low_bits_accuracy);
    }
    if (greater(bits, integer(highest_weight_bits))) {
        layer.add(Severity::Info, high_weight_bits,
                  "Node " + layer.quoted_name() + " uses " + str_of(bits) + "-bit weights", fewer_bits);
    }
}

using Rule = void (*)(const Checked&);
using Row = ClassRow<Rule>;

// Per node class, the parameter checks; every row the node matches runs, in
// this order, so one node's issues stand together.
constexpr std::array<Row, 4> parameter_rules{{
    {IrClass::LIF, IrClass::LIF, Lookup::Required, check_lif},
    {IrClass::GhostBasicBlock1, IrClass::GhostBasicBlock1, Lookup::IfDefined, check_backbone_stride},
    {IrClass::SDDetect, IrClass::SDDetect, Lookup::IfDefined, check_detect_stride},
    {IrClass::SpikingAffine, IrClass::SpikingAffine, Lookup::Required, check_weight_bits},
}};
constexpr std::array<IrClass, 17> without_parameter_rule{
    IrClass::Input,      IrClass::Output,           IrClass::Affine,           IrClass::Conv2d,
    IrClass::SepConv2d,  IrClass::MaxPool2d,        IrClass::AvgPool2d,        IrClass::Flatten,
    IrClass::Skip,       IrClass::Upsample,         IrClass::ChannelSplit,     IrClass::Concat,
    IrClass::SGhostConv, IrClass::SGhostEncoderLite, IrClass::GhostBasicBlock2, IrClass::DFLDecode,
    IrClass::Dist2BBox,
};
static_assert(covers_every_class(parameter_rules, without_parameter_rule));

}  // namespace

void record_rules(nb::handle module) {
    record_table(module, "_check_node_parameters", parameter_rules, without_parameter_rule);
}

void check_node_parameters(nb::handle graph, nb::handle result) {
    IrModule ir;
    Reporter report(result);
    RowMemo memo(parameter_rules, ir);
    Reads reads;
    for_each_node_of(graph, ir, [&](nb::handle name, nb::handle node) {
        Checked checked{name, node, report, reads};
        memo.each(node, [&](Rule rule) { rule(checked); });
    });
}

void check_skip_nodes(nb::handle graph, nb::handle result) {
    IrModule ir;
    const ValidatedGraph* read = shared_graph(graph, ir);
    nb::object nodes = attr(graph, nodes_name);
    std::optional<NodeIndex> index;
    // Every edge counts, parallel ones included.
    std::vector<long long> incoming;
    if (read) {
        incoming.assign(read->size(), 0);
        for (const ValidatedGraph::Link& link : read->links()) ++incoming[link.second];
    } else {
        index.emplace(nodes);
        incoming.assign(index->size(), 0);
        for_each_edge(attr(graph, edges_name),
                      [&](nb::handle, nb::handle destination) { ++incoming[index->index_of(destination)]; });
    }
    // Where a name was when the check began, as the index would find it.
    auto incoming_of = [&](nb::handle name) {
        if (!read) return incoming[index->index_of(name)];
        if (std::optional<uint32_t> position = read->position_of(name)) return incoming[*position];
        raise_key_error(name);  // a name added since the check began
    };

    static constexpr std::array<Row, 1> skip_nodes{{{IrClass::Skip, IrClass::Skip, Lookup::Required, nullptr}}};
    RowMemo memo(skip_nodes, ir);
    Reporter report(result);
    auto check = [&](nb::handle name, nb::handle node) {
        if (!memo.first(node)) return;
        long long num_inputs = incoming_of(name);
        nb::object skip_type = attr(node, skip_type_name);
        if (equal(skip_type, passthrough.get())) {
            if (num_inputs != 1) {
                report.add(Severity::Warning, skip_passthrough_inputs.get(),
                           "Skip node '" + str_of(name) + "' (passthrough) has " + std::to_string(num_inputs) +
                               " inputs (expected 1)",
                           name, one_input.get());
            }
        } else if (equal(skip_type, residual.get()) || equal(skip_type, concatenate.get())) {
            if (num_inputs < 2) {
                std::string type_text = str_of(skip_type);
                report.add(Severity::Warning, skip_merge_inputs.get(),
                           "Skip node '" + str_of(name) + "' (" + type_text + ") has only " +
                               std::to_string(num_inputs) + " input(s)",
                           name, text(type_text + " requires at least 2 inputs to merge"));
            }
        }
    };
    if (read) read->for_each_node(check);
    else for_each_node(nodes, check);
}

void check_naming(nb::handle graph, nb::handle result) {
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
    Reporter report(result);
    auto check = [&](nb::handle name) {
        if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > longest_listed) return;
        if (set_contains(generic_names, name)) {
            report.add(Severity::Info, generic_name.get(), "Node has generic name: '" + str_of(name) + "'", name,
                       descriptive_names.get());
        }
        if (set_contains(reserved_names, name)) {
            report.add(Severity::Warning, python_keyword.get(), "Node name '" + str_of(name) + "' is a Python keyword",
                       name, rename_keyword.get());
        }
    };
    if (const ValidatedGraph* read = shared_graph(graph, IrModule()))
        read->for_each_node([&](nb::handle name, nb::handle) { check(name); });
    else
        for_each_name(attr(graph, nodes_name), check);
}

void check_shapes(nb::handle graph, nb::handle result) {
    // Graph inputs and outputs need no inferred shape.
    static constexpr std::array<Row, 1> exempt{{{IrClass::Input, IrClass::Output, Lookup::Required, nullptr}}};
    IrModule ir;
    RowMemo memo(exempt, ir);
    AttributeReader output_type(output_type_name);
    Reporter report(result);
    for_each_node_of(graph, ir, [&](nb::handle name, nb::handle node) {
        // Both classes are looked up before either test.
        ir.required(IrClass::Input);
        ir.required(IrClass::Output);
        if (memo.first(node)) return;
        if (!output_type.present(node).is_valid()) {
            report.add(Severity::Warning, missing_output_shape.get(), "Node '" + str_of(name) + "' has no output shape",
                       name, infer_shapes.get());
        }
    });
}

}  // namespace ondrel::lint
