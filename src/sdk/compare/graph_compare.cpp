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

bool is_exact_str(PyObject* value) { return PyUnicode_CheckExact(value); }

// A node both graphs hold under one name.
struct CommonNode {
    nb::object name, a, b;
};

// Both node mappings plain dicts with the same str keys: then no name is
// added or removed and the common names are a's keys, sorted once, with the
// nodes taken as they are paired. Str keys make this free of host code (no
// __eq__ or __hash__ of the caller's runs), so when it answers false the
// general route starts from scratch.
bool pair_same_keys(nb::handle nodes_a, nb::handle nodes_b, std::vector<CommonNode>& common) {
    PyObject* b = nodes_b.ptr();
    if (!PyDict_CheckExact(b) || !PyDict_CheckExact(nodes_a.ptr()) || PyDict_GET_SIZE(b) != PyDict_GET_SIZE(nodes_a.ptr()))
        return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(b, &position, &key, &value))
        if (!is_exact_str(key)) return false;
    std::vector<DictItem> items_a;
    if (!sorted_str_items(nodes_a, items_a)) return false;
    common.reserve(items_a.size());
    for (DictItem& item : items_a) {
        PyObject* node_b = PyDict_GetItemWithError(b, item.key.ptr());  // str keys only: cannot fail
        if (!node_b) return false;
        common.push_back({std::move(item.key), std::move(item.value), nb::borrow(node_b)});
    }
    return true;
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
    NodeComparer(const IrModule& ir, double atol, double rtol, ProgressReport* progress)
        : rules_(ir), atol_(atol), rtol_(rtol), replaced_(replacement(Entry::CompareNodes)), compare_arrays_(progress) {}

    NodeComparison operator()(nb::handle name, nb::handle node_a, nb::handle node_b) {
        if (!replaced_.is_valid()) return compare_nodes(name, node_a, node_b, atol_, rtol_, rules_, compare_arrays_);
        nb::object record = call(replaced_, {name, node_a, node_b, floating(atol_), floating(rtol_)});
        bool modified = equal(attr(record, status_name), modified_status.get());
        std::optional<double> weight_diff;
        if (modified) {
            nb::object value = attr(record, weight_diff_name);
            if (!value.is_none() && greater(value, integer(0))) weight_diff = to_double(value);
        }
        return {record, modified, weight_diff};
    }

private:
    NodeRules rules_;
    double atol_, rtol_;
    nb::object replaced_;
    ArrayComparer compare_arrays_;
};

}  // namespace

nb::object compare_graphs(nb::handle graph_a_argument, nb::handle graph_b_argument, double atol, double rtol,
                          ProgressReport* progress) {
    GcPause no_collections;  // one record per common node
    IrModule ir;
    nb::object graph_a = is_path(graph_a_argument) ? ir.read(graph_a_argument) : nb::borrow(graph_a_argument);
    nb::object graph_b = is_path(graph_b_argument) ? ir.read(graph_b_argument) : nb::borrow(graph_b_argument);

    nb::object nodes_a = attr(graph_a, nodes_name), nodes_b = attr(graph_b, nodes_name);
    std::vector<CommonNode> common;
    nb::object nodes_added, nodes_removed, common_names;
    if (pair_same_keys(nodes_a, nodes_b, common)) {
        nodes_added = own(PyList_New(0));
        nodes_removed = own(PyList_New(0));
    } else {
        common.clear();
        nb::object names_a = key_set(nodes_a), names_b = key_set(nodes_b);
        nodes_added = sorted_list(set_minus(names_b, names_a));
        nodes_removed = sorted_list(set_minus(names_a, names_b));
        common_names = sorted_list(own(PyNumber_And(names_a.ptr(), names_b.ptr())));
    }
    bool structural_match = is_empty(nodes_added) && is_empty(nodes_removed);
    bool numerical_match = true;

    nb::object nodes_modified = own(PyList_New(0)), nodes_unchanged = own(PyList_New(0));
    nb::object node_diffs = own(PyList_New(0));
    std::vector<double> weight_diffs;
    NodeComparer compare_node(ir, atol, rtol, progress);
    auto visit = [&](nb::handle name, nb::handle node_a, nb::handle node_b) {
        NodeComparison node = compare_node(name, node_a, node_b);
        append(node_diffs, node.record);
        if (!node.modified) {
            append(nodes_unchanged, name);
            return;
        }
        append(nodes_modified, name);
        numerical_match = false;
        if (node.weight_diff) weight_diffs.push_back(*node.weight_diff);
    };
    // Each pair is looked up at its turn, as nodes[name]: comparing one node
    // may run code that changes the graphs. Until something has, the nodes
    // paired are the ones found.
    if (common_names.is_valid()) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(common_names.ptr()); ++i) {
            nb::object name = nb::borrow(PyList_GET_ITEM(common_names.ptr(), i));
            nb::object node_a = item_of(nodes_a, name);
            nb::object node_b = item_of(nodes_b, name);
            visit(name, node_a, node_b);
        }
    } else {
        DictStamp stamp_a(nodes_a), stamp_b(nodes_b);
        for (const CommonNode& node : common) {
            bool unchanged = stamp_a.unchanged() && stamp_b.unchanged();
            nb::object node_a = unchanged ? node.a : item_of(nodes_a, node.name);
            nb::object node_b = unchanged ? node.b : item_of(nodes_b, node.name);
            visit(node.name, node_a, node_b);
        }
    }

    double max_weight_diff = 0.0, mean_weight_diff = 0.0;
    if (!weight_diffs.empty()) {
        double sum = 0.0;
        max_weight_diff = weight_diffs.front();
        for (double value : weight_diffs) {
            if (value > max_weight_diff) max_weight_diff = value;
            sum += value;
        }
        mean_weight_diff = sum / static_cast<double>(weight_diffs.size());
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

    nb::object diff = state().graph_diff.make({
        boolean(structural_match && numerical_match), boolean(structural_match), boolean(numerical_match),
        nodes_added, nodes_removed, nodes_modified, nodes_unchanged, edges_added, edges_removed,
        floating(max_weight_diff), floating(mean_weight_diff), node_diffs, text("")});
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
