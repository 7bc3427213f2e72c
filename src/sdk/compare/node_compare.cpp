// compare_nodes: one node held under the same name by two graphs.
#include "sdk/compare/compare.hpp"

#include "ir_interface/class_rules.hpp"

#include <cmath>
#include <span>
#include <string>
#include <vector>

namespace ondrel::compare {

namespace {

const Name shape_name("shape"), keys_name("keys"), modified_status("modified"), unchanged_status("unchanged");

constexpr const char* arrow = " \u2192 ";

// What is compared of one node: its parameter arrays, numerically, then its
// hyper-parameters, with the host's !=.
using Fields = std::span<const Field>;
struct Parts {
    Fields arrays;
    Fields hyper_parameters;
};
using Rule = Parts (*)(const NodeView& node);
using Row = ClassRow<Rule>;
constexpr Lookup required = Lookup::Required;

using enum Field;
constexpr Field weight_and_bias[] = {weight, bias};
constexpr Field separable_arrays[] = {depthwise_weight, pointwise_weight, depthwise_bias, pointwise_bias};
constexpr Field lif_arrays[] = {tau, r, v_leak, v_threshold};
constexpr Field spiking_parameters[] = {spike_mode, weight_bits};
constexpr Field conv_parameters[] = {stride, padding};
constexpr Field max_pool_parameters[] = {kernel_size, stride};
constexpr Field avg_pool_parameters[] = {kernel_size, stride, count_include_pad};
constexpr Field flatten_parameters[] = {start_dim, end_dim};
constexpr Field skip_parameters[] = {skip_type};

// Per node class, what the comparison reads; the first row the node of the
// first graph matches applies, and every class here must exist.
constexpr auto rules = std::to_array<Row>({
    {IrClass::Affine, IrClass::SpikingAffine, required,
     [](const NodeView& node) {
         return Parts{weight_and_bias, node.is_a(IrClass::SpikingAffine) ? Fields(spiking_parameters) : Fields()};
     }},
    {IrClass::Conv2d, IrClass::Conv2d, required, [](const NodeView&) { return Parts{weight_and_bias, conv_parameters}; }},
    {IrClass::SepConv2d, IrClass::SepConv2d, required, [](const NodeView&) { return Parts{separable_arrays, {}}; }},
    {IrClass::LIF, IrClass::LIF, required, [](const NodeView&) { return Parts{lif_arrays, {}}; }},
    {IrClass::MaxPool2d, IrClass::MaxPool2d, required, [](const NodeView&) { return Parts{{}, max_pool_parameters}; }},
    {IrClass::AvgPool2d, IrClass::AvgPool2d, required, [](const NodeView&) { return Parts{{}, avg_pool_parameters}; }},
    {IrClass::Flatten, IrClass::Flatten, required, [](const NodeView&) { return Parts{{}, flatten_parameters}; }},
    {IrClass::Skip, IrClass::Skip, required, [](const NodeView&) { return Parts{{}, skip_parameters}; }},
});
// These are compared on their class and ports only.
constexpr std::array without_rule{
    IrClass::Input,      IrClass::Output,           IrClass::Upsample,         IrClass::ChannelSplit,
    IrClass::Concat,     IrClass::SGhostConv,       IrClass::SGhostEncoderLite, IrClass::GhostBasicBlock1,
    IrClass::GhostBasicBlock2, IrClass::SDDetect,   IrClass::DFLDecode,        IrClass::Dist2BBox,
};
static_assert(covers_every_class(rules, without_rule));

bool keys_differ(nb::handle a, nb::handle b) {
    if (PyDict_CheckExact(a.ptr()) && PyDict_CheckExact(b.ptr())) {
        if (PyDict_GET_SIZE(a.ptr()) != PyDict_GET_SIZE(b.ptr())) return true;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(a.ptr(), &position, &key, &value)) {
            int found = PyDict_Contains(b.ptr(), key);
            check(found);
            if (!found) return true;
        }
        return false;
    }
    // set(a.keys()) != set(b.keys()), for mappings that define their own keys()
    nb::object keys_a = own(PySet_New(call_method(a, keys_name).ptr()));
    nb::object keys_b = own(PySet_New(call_method(b, keys_name).ptr()));
    return not_equal(keys_a, keys_b);
}

// Port shapes: None equals only None; dicts need the same keys and, key by
// key in a's order, exactly equal arrays; anything else is one array.
bool shapes_equal(nb::handle a, nb::handle b) {
    if (a.is_none() || b.is_none()) return a.is_none() && b.is_none();
    if (!PyDict_Check(a.ptr()) || !PyDict_Check(b.ptr())) return arrays_equal(a, b);
    // The usual port dict, one str key: the key test and both lookups in one.
    if (PyDict_CheckExact(a.ptr()) && PyDict_CheckExact(b.ptr()) && PyDict_GET_SIZE(a.ptr()) == 1 &&
        PyDict_GET_SIZE(b.ptr()) == 1) {
        Py_ssize_t position = 0;
        PyObject *key, *value_a;
        PyDict_Next(a.ptr(), &position, &key, &value_a);
        if (PyUnicode_CheckExact(key)) {
            PyObject* value_b = PyDict_GetItemWithError(b.ptr(), key);
            if (!value_b) {
                if (PyErr_Occurred()) throw nb::python_error();  // raised by one of b's keys
                return false;
            }
            return arrays_equal(nb::borrow(value_a), nb::borrow(value_b));
        }
    }
    if (keys_differ(a, b)) return false;
    bool equal = true;
    for_each_name(a, [&](nb::handle key) { return equal = arrays_equal(item_of(a, key), item_of(b, key)); });
    return equal;
}

// An array missing on one side, or shaped differently on the two.
bool shape_mismatch(nb::handle a, nb::handle b) {
    return a.is_none() || b.is_none() || not_equal(attr(a, shape_name), attr(b, shape_name));
}

struct WeightArray {
    Field name;
    nb::object a, b;
};

}  // namespace

void record_rules(nb::handle module) { record_table(module, "compare_nodes", rules, without_rule); }

NodeComparison compare_nodes(nb::handle name, const NodeView& node_a, const NodeView& node_b, double atol, double rtol,
                             ArrayComparer& compare_arrays) {
    require_str(name, "name");
    const RecordType& node_diff = state().node_diff;
    nb::object changes = own(PyList_New(0));
    auto record = [&](const std::string& change) { append(changes, text(change)); };

    // Classes are compared by name; a changed class ends the comparison.
    if (Py_TYPE(node_a.object().ptr()) != Py_TYPE(node_b.object().ptr())) {
        nb::object class_a = node_a.type_name(), class_b = node_b.type_name();
        if (not_equal(class_a, class_b)) {
            record("type: " + str_of(class_a) + arrow + str_of(class_b));
            return {node_diff.make({name, modified_status.get(), changes, none(), none()}), true, std::nullopt};
        }
    }

    if (!shapes_equal(node_a.read(Field::input_type), node_b.read(Field::input_type))) record("input_type differs");
    if (!shapes_equal(node_a.read(Field::output_type), node_b.read(Field::output_type))) record("output_type differs");

    const Rule* rule = first_rule(rules, node_a);
    Parts parts = rule ? (*rule)(node_a) : Parts{};
    std::vector<WeightArray> weight_arrays;
    weight_arrays.reserve(parts.arrays.size());
    for (Field array : parts.arrays) weight_arrays.push_back({array, node_a.read(array), node_b.read(array)});
    for (Field parameter : parts.hyper_parameters) {
        if (!not_equal(node_a.read(parameter), node_b.read(parameter))) continue;
        // The values are read again for the text, as the rule states them.
        record(std::string(field_name(parameter)) + ": " + format_of(node_a.read(parameter), "") + arrow +
               format_of(node_b.read(parameter), ""));
    }

    double max_diff = 0.0;
    for (const WeightArray& array : weight_arrays) {
        ArrayComparison result = compare_arrays(array.a, array.b, atol, rtol);
        if (result.match) continue;
        // An infinite difference between arrays of one shape is a difference,
        // not a shape mismatch.
        bool shape_problem = result.max_diff == HUGE_VAL && shape_mismatch(array.a, array.b);
        record(std::string(field_name(array.name)) +
               (shape_problem ? ": shape mismatch" : ": max_diff=" + format_double(result.max_diff, 'e', 2)));
        double candidate = std::isinf(result.max_diff) ? 0.0 : result.max_diff;
        if (candidate > max_diff) max_diff = candidate;
    }

    // Every difference found left a change text behind.
    bool modified = size_of(changes) > 0;
    std::optional<double> weight_diff;
    if (max_diff > 0) weight_diff = max_diff;
    nb::object record_object = node_diff.make({name, (modified ? modified_status : unchanged_status).get(), changes,
                                                weight_diff ? floating(*weight_diff) : none(), none()});
    return {record_object, modified, weight_diff};
}

}  // namespace ondrel::compare
