// analyze_graph, its parameter total and the depth/width measures.
#include "sdk/analyze/analyze.hpp"

#include <optional>
#include <string>
#include <unordered_map>

namespace ondrel::analyze {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), get_rx_graph("_get_rx_graph");
const Name predecessor_indices("predecessor_indices"), compute_depth_and_width_name("_compute_depth_and_width");

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
nb::object graph_port_shape(const Port& port) {
    if (!port.present()) return nb::object();
    if (!port.iterable()) {
        // A scalar shape entry: tuple() of it raises the host's TypeError.
        own(PySequence_Tuple(PyTuple_GET_ITEM(port.shape().ptr(), 0)));
    }
    return port.shape();
}

// What analyze_graph adds up over the nodes, in node order; with `records`
// false the per-layer records are not made (everything that can fail is).
class Statistics {
public:
    explicit Statistics(bool records) : records_(records) {}

    void add(nb::handle name, const NodeView& node) {
        LayerFacts facts = analyze_node_facts(node, &shapes_, records_);
        if (records_) {
            append(layers_, state().layer_stats.make({name, facts.node_type, facts.params.object(),
                                                      facts.bytes.object(), facts.input.shape(), facts.output.shape(),
                                                      facts.flops.object(), facts.config}));
        }
        total_params.add(facts.params);
        total_bytes_.add(facts.bytes);
        total_flops_.add(facts.flops);
        TypeTable::Slot& slot = types_.slot_for(node.object(), facts.node_type);
        slot.count += 1;
        switch (slot.category) {
            case Category::Lif: ++lif_count_; break;
            case Category::Affine: ++affine_count_; break;
            case Category::Conv: ++conv_count_; break;
            case Category::None: break;
        }
        if (node.is_a(IrClass::Input)) {
            nb::object shape = graph_port_shape(facts.input);
            if (shape.is_valid()) append(input_shapes_, shape);
        }
        if (node.is_a(IrClass::Output)) {
            nb::object shape = graph_port_shape(facts.output);
            if (shape.is_valid()) append(output_shapes_, shape);
        }
        slot.bytes.add(facts.bytes);
    }

    nb::object record(Py_ssize_t node_count, Py_ssize_t edge_count, const std::vector<nb::object>& depth_width) {
        nb::object type_counts = own(PyDict_New()), memory_breakdown = own(PyDict_New());
        for (const TypeTable::Slot& slot : types_.slots()) {
            set_item(type_counts, slot.name, integer(slot.count));
            set_item(memory_breakdown, slot.name, slot.bytes.object());
        }
        bool is_dag = !depth_width[0].is_none();
        return state().graph_stats.make({total_params.object(), total_bytes_.object(), total_flops_.object(),
                                         integer(node_count), integer(edge_count), depth_width[0], depth_width[1],
                                         boolean(is_dag), type_counts, layers_, input_shapes_, output_shapes_,
                                         memory_breakdown, integer(lif_count_), integer(affine_count_),
                                         integer(conv_count_)});
    }

    ExactInt total_params;

private:
    bool records_;
    ShapeCache shapes_;
    ExactInt total_bytes_, total_flops_;
    long long lif_count_ = 0, affine_count_ = 0, conv_count_ = 0;
    TypeTable types_;
    nb::object layers_ = own(PyList_New(0));
    nb::object input_shapes_ = own(PyList_New(0)), output_shapes_ = own(PyList_New(0));
};

// Longest-path levels over Kahn's order (a node sits one level below its
// deepest predecessor): (depth, width), or nothing when a cycle leaves nodes
// unplaced.
std::optional<std::pair<long long, long long>> depth_and_width(size_t node_count, const std::vector<Link>& links) {
    std::vector<uint32_t> in_degree(node_count, 0), first_out(node_count + 1, 0);
    for (const Link& link : links) ++first_out[link.first + 1], ++in_degree[link.second];
    for (size_t i = 0; i < node_count; ++i) first_out[i + 1] += first_out[i];
    std::vector<uint32_t> successors(links.size()), fill(first_out.begin(), first_out.end() - 1);
    for (const Link& link : links) successors[fill[link.first]++] = link.second;

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
    if (ready.size() != node_count) return std::nullopt;
    if (level_counts.empty()) return std::pair<long long, long long>(0, 0);
    long long width = 0;
    for (long long count : level_counts) width = std::max(width, count);
    return std::pair<long long, long long>(static_cast<long long>(level_counts.size()) - 1, width);
}

nb::object measures_object(const std::optional<std::pair<long long, long long>>& measures) {
    if (!measures) return nb::make_tuple(nb::none(), nb::none());
    return nb::make_tuple(measures->first, measures->second);
}

nb::object depth_and_width_of(nb::handle graph, bool levels);

// _compute_depth_and_width(graph) as the analysis calls it: through the
// module, unless that is still the module's own function; then from the
// snapshot where there is one, and without the levels when only the call's
// failures matter (`levels` false).
std::vector<nb::object> measures(nb::handle graph, const GraphSnapshot* snapshot, bool levels) {
    if (state().measures->replacement(0).is_valid())
        return unpack_exactly(call(module_function(state().module, compute_depth_and_width_name), {graph}), 2);
    if (snapshot && snapshot->size() == 0) return {integer(0), integer(0)};
    if (snapshot && snapshot->links()) {
        if (!levels) return {none(), none()};
        std::optional<std::pair<long long, long long>> found = depth_and_width(snapshot->size(), *snapshot->links());
        if (!found) return {none(), none()};
        return {integer(found->first), integer(found->second)};
    }
    return unpack_exactly(depth_and_width_of(graph, levels), 2);
}

// analyze_graph, or with `records` false only its parameter total: the same
// reads and calls in the same order (so the same errors), without the
// per-layer records and per-type dicts.
nb::object analyze(nb::handle graph_argument, bool records) {
    GcPause no_collections;
    IrModule ir;
    nb::object graph = is_path(graph_argument) ? ir.read(graph_argument) : nb::borrow(graph_argument);
    Statistics statistics(records);
    Py_ssize_t node_count, edge_count;
    std::unique_ptr<GraphSnapshot> snapshot = GraphSnapshot::read(graph, ir, snapshot_needs());
    if (snapshot && !records) {
        nb::object total = total_params(*snapshot);
        measures(graph, snapshot.get(), false);  // for its failures
        return total;
    }
    if (snapshot) {
        node_count = static_cast<Py_ssize_t>(snapshot->size());
        edge_count = PyList_GET_SIZE(snapshot->edges().ptr());
        for (size_t i = 0; i < snapshot->size(); ++i) statistics.add(snapshot->node(i).name, SnapshotNode(*snapshot, i));
    } else {
        nb::object nodes = attr(graph, nodes_name);
        if (nodes.is_none()) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'items'");
        node_count = size_of(nodes);
        edge_count = size_of(attr(graph, edges_name));
        for_each_node(nodes, [&](const nb::object& name, const nb::object& node) {
            require_str(name, "name");
            statistics.add(name, HostNode(node, ir));
        });
    }
    std::vector<nb::object> depth_width = measures(graph, snapshot.get(), records);
    if (!records) return statistics.total_params.object();
    return statistics.record(node_count, edge_count, depth_width);
}

}  // namespace

nb::object analyze_node(nb::handle name, nb::handle node) {
    require_str(name, "name");
    IrModule ir;
    LayerFacts facts = analyze_node_facts(HostNode(node, ir), nullptr, true);
    return state().layer_stats.make({name, facts.node_type, facts.params.object(), facts.bytes.object(),
                                     facts.input.shape(), facts.output.shape(), facts.flops.object(), facts.config});
}

nb::object analyze_graph(nb::handle graph) { return analyze(graph, true); }
nb::object graph_total_params(nb::handle graph) { return analyze(graph, false); }

nb::object compute_depth_and_width(nb::handle graph) { return depth_and_width_of(graph, true); }

namespace {

nb::object depth_and_width_of(nb::handle graph, bool levels) {
    nb::object nodes = attr(graph, nodes_name);
    if (!truthy(nodes)) return nb::make_tuple(0, 0);
    // The IR layer's own rustworkx view holds exactly `nodes` in order and one
    // edge per entry of `edges`: its levels come from those.
    if (PyDict_CheckExact(nodes.ptr()) && is_ir_layer_graph(graph)) {
        std::vector<PyObject*> names;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(nodes.ptr(), &position, &key, &value) && PyUnicode_CheckExact(key)) names.push_back(key);
        if (names.size() == static_cast<size_t>(PyDict_GET_SIZE(nodes.ptr()))) {
            if (auto links = edge_positions(names, attr(graph, edges_name)))
                return levels ? measures_object(depth_and_width(names.size(), *links)) : nb::make_tuple(0, 0);
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

}  // namespace

static nb::object measure(nb::handle graph, size_t which) {
    nb::object measures = call(module_function(state().module, compute_depth_and_width_name), {graph});
    nb::object value = own(PySequence_GetItem(measures.ptr(), static_cast<Py_ssize_t>(which)));
    return value.is_none() ? value : as_int(value);
}

nb::object compute_depth(nb::handle graph) { return measure(graph, 0); }
nb::object compute_width(nb::handle graph) { return measure(graph, 1); }

}  // namespace ondrel::analyze
