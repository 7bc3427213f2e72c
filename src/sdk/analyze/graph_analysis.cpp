// analyze_graph and the depth/width measures.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/graph_walk.hpp"

#include <optional>
#include <string>
#include <unordered_map>

namespace ondrel::analyze {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), get_rx_graph("_get_rx_graph");
const Name predecessor_indices("predecessor_indices"), compute_depth_and_width_name("_compute_depth_and_width");

enum class Category { None, Lif, Affine, Conv };

Category category_of(const std::string& type) {
    if (type == "LIF") return Category::Lif;
    if (type == "Affine" || type == "SpikingAffine") return Category::Affine;
    if (type == "Conv2d" || type == "SepConv2d" || type == "SGhostConv" || type == "SGhostEncoderLite" ||
        type == "GhostBasicBlock1" || type == "GhostBasicBlock2")
        return Category::Conv;
    return Category::None;
}

// Per-type totals, keyed by type name in order of first occurrence. Node
// classes are few, so each is resolved to its slot once.
class TypeTable {
public:
    struct Slot {
        nb::object name;
        long long count = 0;
        ExactInt bytes;
        Category category;
    };

    Slot& slot_for(nb::handle node, const nb::object& type_name) {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(node.ptr()));
        auto cached = by_type_.find(type);
        if (cached != by_type_.end()) return slots_[cached->second.index];
        std::string name = str_of(type_name);
        auto [named, inserted] = by_name_.try_emplace(name, slots_.size());
        if (inserted) slots_.push_back(Slot{type_name, 0, ExactInt(), category_of(name)});
        by_type_.emplace(type, TypeEntry{nb::borrow(type), named->second});
        return slots_[named->second];
    }
    const std::vector<Slot>& slots() const { return slots_; }

private:
    struct TypeEntry {
        nb::object keep_alive;  // the class may not be freed and its address reused mid-call
        size_t index;
    };
    std::vector<Slot> slots_;
    std::unordered_map<std::string, size_t> by_name_;
    std::unordered_map<PyObject*, TypeEntry> by_type_;
};

// tuple(port.get(key)) of a graph input or output; invalid when it has none.
nb::object graph_port_shape(const LayerFacts::Port& port) {
    if (!port.present || port.deferred.is_valid()) return nb::object();  // a deferred tuple is made without fail
    if (!port.iterable) {
        // A scalar shape entry: tuple() of it raises the host's TypeError.
        own(PySequence_Tuple(PyTuple_GET_ITEM(port.shape.ptr(), 0)));
    }
    return port.shape;
}

// (depth, width) straight from `nodes` and `edges`, with the levels the
// rustworkx route gives; nothing when the graph holds anything that route
// would treat otherwise (a non-str name, a malformed or dangling edge), so
// that it runs and reports it. Runs no host code, so borrowed items stay alive.
std::optional<std::pair<long long, long long>> native_depth_and_width(nb::handle graph, bool& cyclic) {
    nb::object nodes = attr(graph, nodes_name), edges = attr(graph, edges_name);
    if (!PyDict_CheckExact(nodes.ptr()) || !PyList_CheckExact(edges.ptr())) return std::nullopt;
    size_t node_count = static_cast<size_t>(PyDict_GET_SIZE(nodes.ptr()));
    TextPositions index(node_count);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(nodes.ptr(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
        index.insert(key, static_cast<uint32_t>(index.size()));
    }
    Py_ssize_t edge_count = PyList_GET_SIZE(edges.ptr());
    std::vector<uint32_t> sources(edge_count), targets(edge_count);
    std::vector<uint32_t> in_degree(node_count, 0), first_out(node_count + 1, 0);
    for (Py_ssize_t e = 0; e < edge_count; ++e) {
        PyObject* edge = PyList_GET_ITEM(edges.ptr(), e);
        PyObject *source, *target;
        if (!exact_pair(edge, source, target)) return std::nullopt;
        if (!PyUnicode_CheckExact(source) || !PyUnicode_CheckExact(target)) return std::nullopt;
        std::optional<uint32_t> from = index.find(source), to = index.find(target);
        if (!from || !to) return std::nullopt;
        sources[e] = *from, targets[e] = *to;
        ++first_out[*from + 1];
        ++in_degree[*to];
    }
    for (size_t i = 0; i < node_count; ++i) first_out[i + 1] += first_out[i];
    std::vector<uint32_t> successors(edge_count), fill(first_out.begin(), first_out.end() - 1);
    for (Py_ssize_t e = 0; e < edge_count; ++e) successors[fill[sources[e]]++] = targets[e];

    // Kahn's order: a node is placed once all its predecessors are, one level
    // below the deepest of them. Nodes left unplaced lie on a cycle.
    std::vector<uint32_t> ready, level(node_count, 0);
    ready.reserve(node_count);
    for (size_t i = 0; i < node_count; ++i)
        if (in_degree[i] == 0) ready.push_back(static_cast<uint32_t>(i));
    std::vector<long long> level_counts;
    for (size_t next = 0; next < ready.size(); ++next) {
        uint32_t node = ready[next];
        if (level[node] >= level_counts.size()) level_counts.resize(level[node] + 1, 0);
        ++level_counts[level[node]];
        for (uint32_t s = first_out[node]; s < first_out[node + 1]; ++s) {
            uint32_t successor = successors[s];
            level[successor] = std::max(level[successor], level[node] + 1);
            if (--in_degree[successor] == 0) ready.push_back(successor);
        }
    }
    cyclic = ready.size() != node_count;
    if (cyclic || level_counts.empty()) return std::pair<long long, long long>(0, 0);
    long long width = 0;
    for (long long count : level_counts) width = std::max(width, count);
    return std::pair<long long, long long>(static_cast<long long>(level_counts.size()) - 1, width);
}

// True when _compute_depth_and_width(graph) would answer without failing
// and without running host code: it is still this module's own function,
// and the graph is one native_depth_and_width takes (or has no nodes).
// `names_checked`: the caller has just found graph.nodes an exact dict of
// exact str names and graph.edges an exact list of exact pairs of them.
bool measures_cannot_fail(nb::handle graph, bool names_checked) {
    if (state().measures->replacement(0).is_valid()) return false;
    nb::object nodes = attr(graph, nodes_name);
    if (!PyDict_CheckExact(nodes.ptr())) return false;
    if (PyDict_GET_SIZE(nodes.ptr()) == 0) return true;
    if (!has_original_rx_view(graph)) return false;
    nb::object edges = attr(graph, edges_name);
    if (!PyList_CheckExact(edges.ptr())) return false;
    if (names_checked) return true;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(nodes.ptr(), &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    for (Py_ssize_t e = 0; e < PyList_GET_SIZE(edges.ptr()); ++e) {
        PyObject *source, *target;
        if (!exact_pair(PyList_GET_ITEM(edges.ptr(), e), source, target)) return false;
        for (PyObject* name : {source, target})
            if (!PyUnicode_CheckExact(name) || PyDict_Contains(nodes.ptr(), name) != 1) return false;
    }
    return true;
}

}  // namespace

// analyze_graph, or with `records` false only its parameter total: the same
// reads and calls in the same order (so the same errors), without the
// per-layer records and per-type dicts.
static nb::object analyze(nb::handle graph_argument, bool records, bool names_checked = false) {
    GcPause no_collections;
    IrModule ir;
    nb::object graph = is_path(graph_argument) ? ir.read(graph_argument) : nb::borrow(graph_argument);

    nb::object nodes = attr(graph, nodes_name);
    if (nodes.is_none()) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'items'");
    Py_ssize_t node_count = size_of(nodes);
    Py_ssize_t edge_count = size_of(attr(graph, edges_name));

    ExactInt total_params, total_bytes, total_flops;
    long long lif_count = 0, affine_count = 0, conv_count = 0;
    TypeTable types;
    NodeMemo memo(ir);
    nb::object layers = own(PyList_New(0));
    nb::object input_shapes = own(PyList_New(0));
    nb::object output_shapes = own(PyList_New(0));

    bool ran_host_code = false;  // while reading nodes; plain reads run none
    for_each_node(nodes, [&](const nb::object& name, const nb::object& node) {
        require_str(name, "name");
        if (!records) {
            if (std::optional<long long> params = plain_params(node, ir, memo)) {
                total_params.add(ExactInt(*params));
                return;
            }
        }
        ran_host_code = true;
        LayerFacts facts = analyze_node_facts(node, ir, &memo, records);
        if (records) append(layers, layer_record(name, facts));
        total_params.add(facts.params);
        total_bytes.add(facts.bytes);
        total_flops.add(facts.flops);
        TypeTable::Slot& slot = types.slot_for(node, facts.node_type);
        slot.count += 1;
        switch (slot.category) {
            case Category::Lif: ++lif_count; break;
            case Category::Affine: ++affine_count; break;
            case Category::Conv: ++conv_count; break;
            case Category::None: break;
        }
        if (ir.is_a(node, IrClass::Input)) {
            nb::object shape = graph_port_shape(facts.input);
            if (shape.is_valid()) append(input_shapes, shape);
        }
        if (ir.is_a(node, IrClass::Output)) {
            nb::object shape = graph_port_shape(facts.output);
            if (shape.is_valid()) append(output_shapes, shape);
        }
        slot.bytes.add(facts.bytes);
    });

    // The parameter total needs no measures, only their failures.
    if (!records && measures_cannot_fail(graph, names_checked && !ran_host_code)) return total_params.object();
    nb::object measures = call(module_function(state().module, compute_depth_and_width_name), {graph});
    std::vector<nb::object> depth_width = unpack_exactly(measures, 2);
    if (!records) return total_params.object();

    nb::object type_counts = own(PyDict_New());
    nb::object memory_breakdown = own(PyDict_New());
    for (const TypeTable::Slot& slot : types.slots()) {
        set_item(type_counts, slot.name, integer(slot.count));
        set_item(memory_breakdown, slot.name, slot.bytes.object());
    }

    bool is_dag = !depth_width[0].is_none();

    return state().graph_stats.make({
        total_params.object(), total_bytes.object(), total_flops.object(), integer(node_count), integer(edge_count),
        depth_width[0], depth_width[1], boolean(is_dag), type_counts, layers, input_shapes, output_shapes,
        memory_breakdown, integer(lif_count), integer(affine_count), integer(conv_count)});
}

nb::object analyze_graph(nb::handle graph) { return analyze(graph, true); }
nb::object graph_total_params(nb::handle graph, bool names_checked) { return analyze(graph, false, names_checked); }

nb::object compute_depth_and_width(nb::handle graph) {
    nb::object nodes = attr(graph, nodes_name);
    if (!truthy(nodes)) return nb::make_tuple(0, 0);
    // The topology analysis (rustworkx) sees nothing that the nodes and edges do not hold.
    if (has_original_rx_view(graph)) {
        bool cyclic = false;
        if (auto measures = native_depth_and_width(graph, cyclic)) {
            if (cyclic) return nb::make_tuple(nb::none(), nb::none());
            return nb::make_tuple(measures->first, measures->second);
        }
    }
    nb::object rx_graph = call_method(graph, get_rx_graph);
    if (!truthy(call(state().is_directed_acyclic_graph, {rx_graph}))) return nb::make_tuple(nb::none(), nb::none());

    nb::object order = call(state().topological_sort, {rx_graph});
    nb::object predecessors_of = attr(rx_graph, predecessor_indices);
    // Longest-path level per node index; -1 marks an index not yet seen.
    std::vector<long long> level;
    std::vector<long long> level_counts;
    long long max_depth = 0;
    size_t placed = 0;

    auto index_of = [](nb::handle value) {
        Py_ssize_t index = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
        if (index == -1 && PyErr_Occurred()) throw nb::python_error();
        if (index < 0) raise(PyExc_ValueError, "negative node index %zd", index);
        return static_cast<size_t>(index);
    };

    for (const nb::object& index_object : iterate(order)) {
        size_t index = index_of(index_object);
        nb::object predecessors = call(predecessors_of, {index_object});
        long long node_level = 0;
        bool has_predecessor = false;
        for (const nb::object& pred_object : iterate(predecessors)) {
            size_t pred = index_of(pred_object);
            if (pred >= level.size() || level[pred] < 0)
                raise(PyExc_KeyError, "predecessor %zu precedes node %zu in no topological order", pred, index);
            node_level = has_predecessor ? std::max(node_level, level[pred] + 1) : level[pred] + 1;
            has_predecessor = true;
        }
        if (index >= level.size()) level.resize(index + 1, -1);
        if (level[index] < 0) ++placed;
        else --level_counts[level[index]];  // a repeated index keeps its last level, as a dict would
        level[index] = node_level;
        if (static_cast<size_t>(node_level) >= level_counts.size()) level_counts.resize(node_level + 1, 0);
        ++level_counts[node_level];
        max_depth = std::max(max_depth, node_level);
    }
    if (placed == 0) return nb::make_tuple(0, 0);

    long long max_width = 0;
    for (long long count : level_counts) max_width = std::max(max_width, count);
    // With repeated indices an earlier level may have emptied; depth is the
    // highest level still held.
    long long depth = max_depth;
    while (depth > 0 && level_counts[depth] == 0) --depth;
    return nb::make_tuple(depth, max_width);
}

static nb::object measure(nb::handle graph, size_t which) {
    nb::object measures = call(module_function(state().module, compute_depth_and_width_name), {graph});
    nb::object value = own(PySequence_GetItem(measures.ptr(), static_cast<Py_ssize_t>(which)));
    return value.is_none() ? value : as_int(value);
}

nb::object compute_depth(nb::handle graph) { return measure(graph, 0); }
nb::object compute_width(nb::handle graph) { return measure(graph, 1); }

}  // namespace ondrel::analyze
