// compare_graphs and assert_graphs_equal.
#include "sdk/compare/compare.hpp"

#include <vector>

namespace ondrel::compare {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), keys_name("keys"), summary_name("summary");
const Name status_name("status"), weight_diff_name("weight_diff"), modified_status("modified");
const Name identical_name("identical"), structural_match_name("structural_match");

// set(mapping.keys())
nb::object key_set(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return own(PySet_New(mapping.ptr()));
    return own(PySet_New(call_method(mapping, keys_name).ptr()));
}

nb::object set_minus(nb::handle a, nb::handle b) { return own(PyNumber_Subtract(a.ptr(), b.ptr())); }

bool is_empty(nb::handle list) { return size_of(list) == 0; }

// The names only in b (added), only in a (removed) and in both (their
// positions in each), each in sorted order: what the sorted set differences
// give for exact str names, without host code. `find_b(name)` is a name's
// position in b or nothing, `in_a(name)` whether a holds it.
struct NameDifferences {
    nb::object added = own(PyList_New(0)), removed = own(PyList_New(0));
    struct Common {
        PyObject* name;
        uint32_t a, b;
    };
    std::vector<Common> common;
};

template <typename FindB, typename InA>
NameDifferences name_differences(const std::vector<PyObject*>& names_a, const std::vector<PyObject*>& names_b,
                                 FindB&& find_b, InA&& in_a) {
    // Each entry carries the name's position in a.
    std::vector<TextOrdered> sorted_a;
    sorted_a.reserve(names_a.size());
    for (size_t i = 0; i < names_a.size(); ++i)
        sorted_a.push_back({names_a[i], nullptr, reinterpret_cast<PyObject*>(static_cast<uintptr_t>(i))});
    sort_by_text(sorted_a);
    NameDifferences differences;
    differences.common.reserve(std::min(names_a.size(), names_b.size()));
    for (const TextOrdered& entry : sorted_a) {
        if (std::optional<uint32_t> b = find_b(entry.first))
            differences.common.push_back({entry.first, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(entry.payload)), *b});
        else
            append(differences.removed, entry.first);
    }
    if (differences.common.size() == names_b.size()) return differences;  // every name of b is in a
    std::vector<TextOrdered> added;
    for (PyObject* name : names_b)
        if (!in_a(name)) added.push_back({name, nullptr, nullptr});
    sort_by_text(added);
    for (const TextOrdered& name : added) append(differences.added, name.first);
    return differences;
}

// The same for two plain dicts of exact str keys, found by the dicts themselves.
NameDifferences name_differences(nb::handle nodes_a, const std::vector<PyObject*>& names_a, nb::handle nodes_b,
                                 const std::vector<PyObject*>& names_b) {
    auto contains = [](nb::handle dict, PyObject* name) { return PyDict_Contains(dict.ptr(), name) == 1; };
    return name_differences(
        names_a, names_b, [&](PyObject* name) { return contains(nodes_b, name) ? std::optional<uint32_t>(0) : std::nullopt; },
        [&](PyObject* name) { return contains(nodes_a, name); });
}

bool same_str(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

// b, a list of str pairs equal item by item to `a` (itself one): no edge is
// added or removed, and neither set could have raised.
bool same_str_pairs(nb::handle a, nb::handle b) {
    if (!PyList_CheckExact(b.ptr()) || PyList_GET_SIZE(b.ptr()) != PyList_GET_SIZE(a.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a.ptr()); ++i) {
        PyObject *x = PyList_GET_ITEM(a.ptr(), i), *y = PyList_GET_ITEM(b.ptr(), i);
        if (x == y) continue;
        if (!is_str_pair(y) || !same_str(PyTuple_GET_ITEM(x, 0), PyTuple_GET_ITEM(y, 0)) ||
            !same_str(PyTuple_GET_ITEM(x, 1), PyTuple_GET_ITEM(y, 1)))
            return false;
    }
    return true;
}

// compare_nodes as compare_graphs calls it: natively, or the replacement,
// whose record is read back through its attributes.
class NodeComparer {
public:
    NodeComparer(double atol, double rtol, ProgressReport* progress)
        : atol_(atol), rtol_(rtol), replaced_(replacement(Entry::CompareNodes)), compare_arrays_(progress) {}

    NodeComparison operator()(nb::handle name, const NodeView& node_a, const NodeView& node_b) {
        if (!replaced_.is_valid()) return compare_nodes(name, node_a, node_b, atol_, rtol_, compare_arrays_);
        nb::object record = call(replaced_, {name, node_a.object(), node_b.object(), floating(atol_), floating(rtol_)});
        bool modified = equal(attr(record, status_name), modified_status.get());
        std::optional<double> weight_diff;
        if (modified) {
            nb::object value = attr(record, weight_diff_name);
            if (!value.is_none() && greater(value, integer(0))) weight_diff = to_double(value);
        }
        return {record, modified, weight_diff};
    }

private:
    double atol_, rtol_;
    nb::object replaced_;
    ArrayComparer compare_arrays_;
};

// What compare_graphs gathers over the common nodes, in name order.
class NodeDifferences {
public:
    void add(nb::handle name, const NodeComparison& node) {
        append(node_diffs, node.record);
        if (!node.modified) {
            append(unchanged, name);
            return;
        }
        append(modified, name);
        numerical_match = false;
        if (node.weight_diff) weight_diffs.push_back(*node.weight_diff);
    }

    nb::object modified = own(PyList_New(0)), unchanged = own(PyList_New(0)), node_diffs = own(PyList_New(0));
    std::vector<double> weight_diffs;
    bool numerical_match = true;
};

}  // namespace

nb::object compare_graphs(nb::handle graph_a_argument, nb::handle graph_b_argument, double atol, double rtol,
                          ProgressReport* progress) {
    GcPause no_collections;  // one record per common node
    IrModule ir;
    nb::object graph_a = is_path(graph_a_argument) ? ir.read(graph_a_argument) : nb::borrow(graph_a_argument);
    nb::object graph_b = is_path(graph_b_argument) ? ir.read(graph_b_argument) : nb::borrow(graph_b_argument);

    // Both graphs the IR layer's own, and every pair of array types one the
    // compiled kernel reads: the nodes compare natively, from the snapshots.
    // (A progress report runs host code between arrays: the snapshots then hold what they read.)
    std::unique_ptr<GraphSnapshot> snapshot_a, snapshot_b;
    Promotions promotions;
    if (!replacement(Entry::CompareNodes).is_valid() && !replacement(Entry::CompareArrays).is_valid()) {
        SnapshotNeeds needs{false, {}, progress != nullptr};
        snapshot_a = GraphSnapshot::read(graph_a, ir, needs);
        if (snapshot_a) snapshot_b = GraphSnapshot::read(graph_b, ir, needs);
        if (!snapshot_b || !promotions.kernel_agrees(snapshot_a->array_types(), snapshot_b->array_types()))
            snapshot_a.reset(), snapshot_b.reset();
    }

    NodeComparer compare_node(atol, rtol, progress);
    NodeDifferences nodes;
    nb::object nodes_added, nodes_removed;
    if (snapshot_a) {
        std::vector<PyObject*> names_a, names_b;
        for (const GraphSnapshot::Node& node : snapshot_a->nodes()) names_a.push_back(node.name);
        for (const GraphSnapshot::Node& node : snapshot_b->nodes()) names_b.push_back(node.name);
        TextPositions positions_a(names_a.size()), positions_b(names_b.size());
        for (size_t i = 0; i < names_b.size(); ++i) positions_b.insert(names_b[i], static_cast<uint32_t>(i));
        NameDifferences differences = name_differences(
            names_a, names_b, [&](PyObject* name) { return positions_b.find(name); },
            [&](PyObject* name) {
                if (positions_a.size() == 0)
                    for (size_t i = 0; i < names_a.size(); ++i) positions_a.insert(names_a[i], static_cast<uint32_t>(i));
                return positions_a.find(name).has_value();
            });
        nodes_added = std::move(differences.added), nodes_removed = std::move(differences.removed);
        for (const NameDifferences::Common& pair : differences.common) {
            nodes.add(pair.name, compare_node(pair.name, SnapshotNode(*snapshot_a, pair.a), SnapshotNode(*snapshot_b, pair.b)));
        }
    } else {
        nb::object nodes_a = attr(graph_a, nodes_name), nodes_b = attr(graph_b, nodes_name);
        nb::object common_names;
        std::optional<std::vector<PyObject*>> names_a = str_keys(nodes_a), names_b = str_keys(nodes_b);
        if (names_a && names_b) {
            NameDifferences differences = name_differences(nodes_a, *names_a, nodes_b, *names_b);
            nodes_added = std::move(differences.added), nodes_removed = std::move(differences.removed);
            common_names = own(PyList_New(0));
            for (const NameDifferences::Common& pair : differences.common) append(common_names, pair.name);
        } else {
            nb::object keys_a = key_set(nodes_a), keys_b = key_set(nodes_b);
            nodes_added = sorted_list(set_minus(keys_b, keys_a));
            nodes_removed = sorted_list(set_minus(keys_a, keys_b));
            common_names = sorted_list(own(PyNumber_And(keys_a.ptr(), keys_b.ptr())));
        }
        // Each pair is looked up at its turn, as nodes[name]: comparing one
        // node may run code that changes the graphs.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(common_names.ptr()); ++i) {
            nb::object name = nb::borrow(PyList_GET_ITEM(common_names.ptr(), i));
            nb::object node_a = item_of(nodes_a, name);
            nb::object node_b = item_of(nodes_b, name);
            nodes.add(name, compare_node(name, HostNode(node_a, ir), HostNode(node_b, ir)));
        }
    }
    bool structural_match = is_empty(nodes_added) && is_empty(nodes_removed);

    double max_weight_diff = 0.0, mean_weight_diff = 0.0;
    if (!nodes.weight_diffs.empty()) {
        double sum = 0.0;
        max_weight_diff = nodes.weight_diffs.front();
        for (double value : nodes.weight_diffs) {
            if (value > max_weight_diff) max_weight_diff = value;
            sum += value;
        }
        mean_weight_diff = sum / static_cast<double>(nodes.weight_diffs.size());
    }

    // The set of a list of str pairs cannot raise, so it may wait until b's
    // edges are read; equal lists need neither set.
    nb::object edges_a = attr(graph_a, edges_name);
    bool plain_edges_a = is_str_pair_list(edges_a);
    nb::object edge_set_a = plain_edges_a ? nb::object() : own(PySet_New(edges_a.ptr()));
    nb::object edges_b = attr(graph_b, edges_name);
    nb::object edges_added, edges_removed;
    if (plain_edges_a && same_str_pairs(edges_a, edges_b)) {
        edges_added = own(PyList_New(0));
        edges_removed = own(PyList_New(0));
    } else {
        if (plain_edges_a) edge_set_a = own(PySet_New(edges_a.ptr()));
        nb::object edge_set_b = own(PySet_New(edges_b.ptr()));
        edges_added = sorted_list(set_minus(edge_set_b, edge_set_a));
        edges_removed = sorted_list(set_minus(edge_set_a, edge_set_b));
    }
    if (!is_empty(edges_added) || !is_empty(edges_removed)) structural_match = false;

    bool numerical_match = nodes.numerical_match;
    nb::object diff = state().graph_diff.make({
        boolean(structural_match && numerical_match), boolean(structural_match), boolean(numerical_match),
        nodes_added, nodes_removed, nodes.modified, nodes.unchanged, edges_added, edges_removed,
        floating(max_weight_diff), floating(mean_weight_diff), nodes.node_diffs, text("")});
    nb::object summarize = replacement(Entry::GenerateSummary);
    nb::object summary = summarize.is_valid() ? call(summarize, {diff}) : generate_summary(diff);
    set_attr(diff, summary_name, summary);
    return diff;
}

void assert_graphs_equal(nb::handle graph_a, nb::handle graph_b, double atol, double rtol, bool check_weights) {
    nb::object compare = replacement(Entry::CompareGraphs);
    nb::object diff = compare.is_valid() ? call(compare, {graph_a, graph_b, floating(atol), floating(rtol)})
                                         : compare_graphs(graph_a, graph_b, atol, rtol);
    const char* heading = nullptr;
    if (check_weights) {
        if (!truthy(attr(diff, identical_name))) heading = "Graphs are not identical:\n";
    } else if (!truthy(attr(diff, structural_match_name))) {
        heading = "Graph structures differ:\n";
    }
    if (!heading) return;
    nb::object message = text(heading + format_of(attr(diff, summary_name), ""));
    PyErr_SetObject(PyExc_AssertionError, message.ptr());
    throw nb::python_error();
}

}  // namespace ondrel::compare
