// Graph-level structure: reachability from inputs and to outputs, and
// graphs with more than one output.
#include "sdk/lint/lint.hpp"

#include <utility>

namespace ondrel::lint {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), inputs_name("inputs"), outputs_name("outputs");

using Positions = std::vector<uint32_t>;

// Successor lists of every index, packed: the neighbours of v are
// targets[start[v] .. start[v + 1]).
struct Adjacency {
    std::vector<uint32_t> start;
    std::vector<uint32_t> targets;
};

Adjacency adjacency(size_t node_count, const std::vector<Link>& links, bool reverse) {
    Adjacency result;
    result.start.assign(node_count + 1, 0);
    for (const Link& link : links) ++result.start[(reverse ? link.second : link.first) + 1];
    for (size_t v = 0; v < node_count; ++v) result.start[v + 1] += result.start[v];
    result.targets.resize(links.size());
    std::vector<uint32_t> fill(result.start.begin(), result.start.end() - 1);
    for (const Link& link : links) {
        auto [from, to] = reverse ? Link{link.second, link.first} : link;
        result.targets[fill[from]++] = to;
    }
    return result;
}

// Indices of the keys of graph.inputs or graph.outputs; KeyError for a key
// that names no node.
Positions seeds_of(nb::handle ports, const NodeIndex& index) {
    Positions seeds;
    for (const nb::object& name : iterate(ports)) seeds.push_back(static_cast<uint32_t>(index.index_of(name)));
    return seeds;
}

// Breadth-first search: a node is marked when first queued, so each is
// expanded once and the search is linear in nodes plus edges.
std::vector<char> reached_from(const Positions& seeds, const Adjacency& successors) {
    size_t node_count = successors.start.size() - 1;
    std::vector<char> reached(node_count, 0);
    Positions queue;
    queue.reserve(node_count);
    for (uint32_t seed : seeds) {
        if (!reached[seed]) {
            reached[seed] = 1;
            queue.push_back(seed);
        }
    }
    for (size_t head = 0; head < queue.size(); ++head) {
        uint32_t v = queue[head];
        for (uint32_t e = successors.start[v]; e < successors.start[v + 1]; ++e) {
            uint32_t next = successors.targets[e];
            if (!reached[next]) {
                reached[next] = 1;
                queue.push_back(next);
            }
        }
    }
    return reached;
}

// One warning per name whose node no input reaches, or failing that, that
// reaches no output; `node_of(position)` is the index of the name at a position.
template <typename Name, typename NodeOf>
void report_unreached(Issues& issues, const std::vector<Name>& names, NodeOf&& node_of,
                      const std::vector<char>& from_input, const std::vector<char>& to_output) {
    for (size_t position = 0; position < names.size(); ++position) {
        size_t node = node_of(position);
        if (!from_input[node]) issues.add(Code::UNREACHABLE, names[position]);
        else if (!to_output[node]) issues.add(Code::DEAD_END, names[position]);
    }
}

// "Graph has N Output nodes: [...]", for more than one output.
void report_outputs(Issues& issues, Py_ssize_t count, nb::handle names) {
    issues.add(Code::MULTI_OUTPUT, nb::handle(),
               {{"count", std::to_string(count)}, {"names", str_of(own(PyObject_Repr(names.ptr())))}});
}

}  // namespace

void check_reachability(nb::handle graph, nb::handle result) {
    ResultMethods issues(result);
    NodeIndex index(attr(graph, nodes_name));
    std::vector<Link> links;
    for_each_edge(attr(graph, edges_name), [&](nb::handle source, nb::handle destination) {
        auto from = static_cast<uint32_t>(index.index_of(source));
        links.emplace_back(from, static_cast<uint32_t>(index.index_of(destination)));
    });
    // The forward search is done before graph.outputs is read.
    std::vector<char> from_input = reached_from(seeds_of(attr(graph, inputs_name), index),
                                                adjacency(index.size(), links, false));
    std::vector<char> to_output = reached_from(seeds_of(attr(graph, outputs_name), index),
                                               adjacency(index.size(), links, true));
    report_unreached(issues, index.names(), [&](size_t position) { return index.indices()[position]; }, from_input,
                     to_output);
}

void native::check_reachability(const LintContext& lint) {
    const GraphSnapshot& graph = lint.graph;
    std::vector<char> from_input =
        reached_from(graph.positions_of(IrClass::Input), adjacency(graph.size(), lint.links, false));
    std::vector<char> to_output =
        reached_from(graph.positions_of(IrClass::Output), adjacency(graph.size(), lint.links, true));
    std::vector<PyObject*> names;
    names.reserve(graph.size());
    for (const GraphSnapshot::Node& node : graph.nodes()) names.push_back(node.name);
    report_unreached(lint.issues, names, [](size_t position) { return position; }, from_input, to_output);
}

void check_multiple_outputs(nb::handle graph, nb::handle result) {
    ResultMethods issues(result);
    nb::object outputs = attr(graph, outputs_name);
    Py_ssize_t count = size_of(outputs);
    if (count > 1) report_outputs(issues, count, own(PySequence_List(outputs.ptr())));
}

void native::check_multiple_outputs(const LintContext& lint) {
    std::vector<uint32_t> outputs = lint.graph.positions_of(IrClass::Output);
    if (outputs.size() <= 1) return;
    nb::object names = own(PyList_New(0));
    for (uint32_t position : outputs) append(names, lint.graph.node(position).name);
    report_outputs(lint.issues, static_cast<Py_ssize_t>(outputs.size()), names);
}

}  // namespace ondrel::lint
