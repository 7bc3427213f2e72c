// The canonical byte stream: node structure pieces by class, weight pieces,
// the sorted graph traversal and the metadata piece.
#include "sdk/fingerprint/fingerprint.hpp"

#include "ir_interface/class_rules.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <string>

namespace ondrel::fingerprint {

namespace {

using namespace nb::literals;

const Name keys_name("keys"), shape("shape"), nodes_name("nodes"), edges_name("edges"), empty_format("");

// str() of the values structure pieces hold, written here when its text is
// plain to reproduce: an exact int, an exact tuple of exact ints, the shape
// of an exact ndarray. False for anything else (bool, subclasses, floats,
// ints beyond 64 bits, long tuples), which str() itself then formats.
class PlainText {
public:
    bool write(PyObject* value) {
        if (PyLong_CheckExact(value)) return write_int(value);
        if (!PyTuple_CheckExact(value)) return false;
        return write_items(PyTuple_GET_SIZE(value), [&](Py_ssize_t i) {
            PyObject* item = PyTuple_GET_ITEM(value, i);
            return PyLong_CheckExact(item) && write_int(item);
        });
    }
    // str(array.shape) of an exact ndarray, without making the tuple.
    bool write_shape(PyArrayObject* array) {
        return write_items(PyArray_NDIM(array), [&](Py_ssize_t i) { return write_number(PyArray_DIM(array, i)); });
    }
    std::string_view text() const { return {buffer_, size_}; }

private:
    bool put(char c) {
        if (size_ == sizeof buffer_) return false;
        buffer_[size_++] = c;
        return true;
    }
    // "(a, b)" as a tuple's str(), "(a,)" for one item.
    template <typename WriteItem>
    bool write_items(Py_ssize_t size, WriteItem&& write_item) {
        put('(');
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0 && !(put(',') && put(' '))) return false;
            if (!write_item(i)) return false;
        }
        return (size != 1 || put(',')) && put(')');
    }
    bool write_int(PyObject* value) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);  // cannot fail on an exact int
        return !overflow && write_number(number);
    }
    bool write_number(long long number) {
        auto [end, error] = std::to_chars(buffer_ + size_, buffer_ + sizeof buffer_, number);
        if (error != std::errc()) return false;
        size_ = static_cast<size_t>(end - buffer_);
        return true;
    }
    char buffer_[128];
    size_t size_ = 0;
};

void text_piece(Sink& sink, nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return sink.piece(utf8_view(value));  // str() of it is itself
    PlainText plain;
    if (plain.write(value.ptr())) return sink.piece(plain.text());
    nb::object text = own(PyObject_Str(value.ptr()));
    sink.piece(utf8_view(text));
}

// sorted(mapping.keys()), as a list we alone hold; exact str keys sort
// without the host's compares.
nb::object sorted_keys(nb::handle mapping) {
    if (!PyDict_CheckExact(mapping.ptr())) return sorted_list(call_method(mapping, keys_name));
    std::optional<std::vector<PyObject*>> names = str_keys(mapping);
    if (!names) return sorted_list(mapping);
    std::vector<TextOrdered> entries;
    entries.reserve(names->size());
    for (PyObject* name : *names) entries.push_back({name, nullptr, nullptr});
    sort_by_text(entries);
    nb::object keys = own(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (size_t i = 0; i < entries.size(); ++i)
        PyList_SET_ITEM(keys.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(entries[i].first));
    return keys;
}

// Input/Output ports: the shape arrays of a truthy mapping, by ascending key.
void port_pieces(Sink& sink, const NodeView& node, Field port_attribute) {
    nb::object ports = node.read(port_attribute);
    if (!truthy(ports)) return;
    nb::object keys = sorted_keys(ports);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::object array = own(PyObject_GetItem(ports.ptr(), PyList_GET_ITEM(keys.ptr(), i)));
        sink.array_piece(array);
    }
}

// sorted(edges), as a list we alone hold. A list of exact str pairs sorts
// here, in the order tuple comparison gives them (by source, then by
// destination; str order is code point order), without the host's compares.
nb::object sorted_edges(nb::handle edges) {
    if (!is_str_pair_list(edges)) return sorted_list(edges);
    PyObject* list = edges.ptr();
    std::vector<TextOrdered> entries;
    entries.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* edge = PyList_GET_ITEM(list, i);
        entries.push_back({PyTuple_GET_ITEM(edge, 0), PyTuple_GET_ITEM(edge, 1), edge});
    }
    sort_by_text(entries);
    nb::object sorted = own(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (size_t i = 0; i < entries.size(); ++i)
        PyList_SET_ITEM(sorted.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(entries[i].payload));
    return sorted;
}

nb::object formatted(nb::handle value) { return own(PyObject_Format(value.ptr(), empty_format.get())); }

// The edge piece: format(source, "") + "->" + format(destination, ""), encoded.
void edge_label(nb::handle edge, std::string& label) {
    nb::object source, destination;
    if (is_str_pair(edge.ptr())) {
        // format(s, "") of an exact str is s
        source = nb::borrow(PyTuple_GET_ITEM(edge.ptr(), 0)), destination = nb::borrow(PyTuple_GET_ITEM(edge.ptr(), 1));
    } else {
        std::vector<nb::object> ends = unpack_exactly(edge, 2);
        source = formatted(ends[0]), destination = formatted(ends[1]);
    }
    Py_ssize_t source_size = 0, destination_size = 0;
    const char* source_bytes = PyUnicode_AsUTF8AndSize(source.ptr(), &source_size);
    const char* destination_bytes = source_bytes ? PyUnicode_AsUTF8AndSize(destination.ptr(), &destination_size) : nullptr;
    if (!destination_bytes) {
        // Encode the whole label, so the host words the error for the label.
        PyErr_Clear();
        nb::object whole = own(PyUnicode_FromFormat("%U->%U", source.ptr(), destination.ptr()));
        nb::object encoded = own(PyUnicode_AsUTF8String(whole.ptr()));
        label.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        return;
    }
    label.assign(source_bytes, static_cast<size_t>(source_size))
        .append("->")
        .append(destination_bytes, static_cast<size_t>(destination_size));
}

// What one rule feeds: a node's pieces, into a sink.
struct Feeding {
    const NodeView& node;
    Sink& sink;

    // Text pieces of attributes that must exist, read and fed one after another.
    void texts(std::initializer_list<Field> attributes) const {
        for (Field attribute : attributes) text_piece(sink, node.read(attribute));
    }
    void shape_if_present(Field array_name) const {
        nb::object array = node.present(array_name);
        if (!array.is_valid()) return;
        // An exact ndarray's shape is its dimensions, read without the host.
        PlainText dims;
        if (PyArrayObject* ndarray = exact_ndarray(array); ndarray && dims.write_shape(ndarray)) return sink.piece(dims.text());
        text_piece(sink, attr(array, shape));
    }
    void arrays_if_present(std::initializer_list<Field> arrays) const {
        for (Field array_name : arrays) {
            nb::object array = node.present(array_name);
            if (array.is_valid()) sink.array_piece(array);
        }
    }
};

using Rule = void (*)(const Feeding&);
using Row = ClassRow<Rule>;
constexpr Lookup required = Lookup::Required;
using enum Field;

// Structure pieces per node class, after the node's name and class name; the
// first row the node matches applies.
constexpr auto structure_rules = std::to_array<Row>({
    {IrClass::Input, IrClass::Output, required,
     [](const Feeding& node) {
         port_pieces(node.sink, node.node, input_type);
         port_pieces(node.sink, node.node, output_type);
     }},
    {IrClass::Conv2d, IrClass::Conv2d, required,
     [](const Feeding& node) {
         node.texts({stride, padding, dilation, groups});
         node.shape_if_present(weight);
     }},
    {IrClass::SepConv2d, IrClass::SepConv2d, required,
     [](const Feeding& node) {
         node.texts({stride, padding, dilation});
         node.shape_if_present(depthwise_weight);
         node.shape_if_present(pointwise_weight);
     }},
    {IrClass::Affine, IrClass::SpikingAffine, required,
     [](const Feeding& node) {
         node.shape_if_present(weight);
         if (node.node.is_a(IrClass::SpikingAffine)) node.texts({spike_mode, weight_bits, accumulator_bits});
     }},
    {IrClass::LIF, IrClass::LIF, required, [](const Feeding& node) { node.shape_if_present(tau); }},
    {IrClass::MaxPool2d, IrClass::AvgPool2d, required,
     [](const Feeding& node) { node.texts({kernel_size, stride, padding}); }},
    {IrClass::Flatten, IrClass::Flatten, required, [](const Feeding& node) { node.texts({start_dim, end_dim}); }},
    {IrClass::Skip, IrClass::Skip, required, [](const Feeding& node) { node.texts({skip_type}); }},
});
// Their name and class name alone stand for them in the structure.
constexpr std::array without_structure_rule{
    IrClass::Upsample,         IrClass::ChannelSplit,     IrClass::Concat,   IrClass::SGhostConv,
    IrClass::SGhostEncoderLite, IrClass::GhostBasicBlock1, IrClass::GhostBasicBlock2, IrClass::SDDetect,
    IrClass::DFLDecode,        IrClass::Dist2BBox,
};
static_assert(covers_every_class(structure_rules, without_structure_rule));

// Weight pieces per node class, after the `weight` and `bias` every node
// contributes; every row the node matches applies, in this order.
constexpr auto weight_rules = std::to_array<Row>({
    {IrClass::SepConv2d, IrClass::SepConv2d, required,
     [](const Feeding& node) {
         node.arrays_if_present({depthwise_weight, depthwise_bias, pointwise_weight, pointwise_bias});
     }},
    {IrClass::LIF, IrClass::LIF, required,
     [](const Feeding& node) { node.arrays_if_present({tau, r, v_leak, v_threshold}); }},
});
constexpr std::array without_weight_rule{
    IrClass::Input,     IrClass::Output,    IrClass::Affine,       IrClass::SpikingAffine,    IrClass::Conv2d,
    IrClass::MaxPool2d, IrClass::AvgPool2d, IrClass::Flatten,      IrClass::Skip,             IrClass::Upsample,
    IrClass::ChannelSplit, IrClass::Concat, IrClass::SGhostConv,   IrClass::SGhostEncoderLite, IrClass::GhostBasicBlock1,
    IrClass::GhostBasicBlock2, IrClass::SDDetect, IrClass::DFLDecode, IrClass::Dist2BBox,
};
static_assert(covers_every_class(weight_rules, without_weight_rule));

}  // namespace

void record_rules(nb::handle module) {
    record_table(module, "_hash_node_structure", structure_rules, without_structure_rule);
    record_table(module, "_hash_node_weights", weight_rules, without_weight_rule);
}

void feed_node_structure(nb::handle name, const NodeView& node, Sink& sink) {
    require_str(name, "node_name");
    nb::object node_type = node.type_name();
    sink.piece(utf8_view(name));
    sink.piece(utf8_view(node_type));
    if (const Rule* rule = first_rule(structure_rules, node)) (*rule)(Feeding{node, sink});
}

void feed_node_weights(const NodeView& node, Sink& sink) {
    Feeding feeding{node, sink};
    feeding.arrays_if_present({Field::weight, Field::bias});
    for (const Row& row : weight_rules)
        if (node.is_a(row.first, row.second, row.lookup)) row.rule(feeding);
}

void feed_graph(const IrModule& ir, nb::handle graph, Sink& structure, Sink* weights, bool from_snapshot) {
    auto feed_node = [&](nb::handle name, const NodeView& node) {
        feed_node_structure(name, node, structure);
        if (weights) feed_node_weights(node, *weights);
    };
    // Hashing large arrays lets other threads run: the snapshot holds what it read.
    static constexpr SnapshotNeeds needs{true, {}, true};
    if (std::unique_ptr<GraphSnapshot> snapshot = from_snapshot ? GraphSnapshot::read(graph, ir, needs) : nullptr) {
        std::vector<TextOrdered> names;
        names.reserve(snapshot->size());
        for (size_t i = 0; i < snapshot->size(); ++i)
            names.push_back({snapshot->node(i).name, nullptr, reinterpret_cast<PyObject*>(static_cast<uintptr_t>(i))});
        sort_by_text(names);
        for (const TextOrdered& name : names)
            feed_node(name.first, SnapshotNode(*snapshot, reinterpret_cast<uintptr_t>(name.payload)));
    } else {
        nb::object nodes = attr(graph, nodes_name);
        nb::object names = sorted_keys(nodes);
        // Each node is fetched at its turn, as nodes[name]: hashing one node
        // may run code that changes the graph.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
            nb::handle name = PyList_GET_ITEM(names.ptr(), i);
            feed_node(name, HostNode(item_of(nodes, name), ir));
        }
    }

    nb::object edges = sorted_edges(attr(graph, edges_name));
    std::string label;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges.ptr()); ++i) {
        edge_label(PyList_GET_ITEM(edges.ptr(), i), label);
        structure.piece(label);
    }
}

void feed_metadata(nb::handle metadata, Sink& sink) {
    nb::object text = state().json_dumps(metadata, "sort_keys"_a = true);
    sink.piece(utf8_view(text));
}

}  // namespace ondrel::fingerprint
