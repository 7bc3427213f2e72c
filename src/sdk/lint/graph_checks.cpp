// Graph-level structure: reachability from inputs and to outputs, and
// graphs with more than one output.
#include "sdk/lint/lint.hpp"

#include <utility>

namespace ondrel::lint {

namespace {

const Name nodes_name("nodes"), edges_name("edges"), inputs_name("inputs"), outputs_name("outputs");
// Issue codes and fixed suggestions, interned once.
const Name unreachable("UNREACHABLE"), dead_end("DEAD_END"), multi_output("MULTI_OUTPUT");
const Name remove_or_connect_input("Remove dead node or connect it to the graph");
const Name remove_or_connect_output("Remove dead node or connect it to an Output");
const Name clear_semantics("Ensure each output has clear semantics");

using Link = ValidatedGraph::Link;
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
// reaches no output; `indices` holds each name's node index.
void report_unreached(nb::handle result, const std::vector<nb::object>& names, const Positions* indices,
                      const std::vector<char>& from_input, const std::vector<char>& to_output) {
    Reporter report(result);
    for (size_t position = 0; position < names.size(); ++position) {
        size_t node = indices ? (*indices)[position] : position;
        const nb::object& name = names[position];
        if (!from_input[node]) {
            report.add(Severity::Warning, unreachable.get(),
                       "Node '" + str_of(name) + "' is not reachable from any Input", name,
                       remove_or_connect_input.get());
        } else if (!to_output[node]) {
            report.add(Severity::Warning, dead_end.get(), "Node '" + str_of(name) + "' does not reach any Output",
                       name, remove_or_connect_output.get());
        }
    }
}

}  // namespace

void check_reachability(nb::handle graph, nb::handle result) {
    IrModule ir;
    if (const ValidatedGraph* read = shared_graph(graph, ir)) {
        std::vector<char> from_input = reached_from(read->inputs(), adjacency(read->size(), read->links(), false));
        std::vector<char> to_output = reached_from(read->outputs(), adjacency(read->size(), read->links(), true));
        report_unreached(result, read->names(), nullptr, from_input, to_output);
        return;
    }
    nb::object nodes = attr(graph, nodes_name);
    NodeIndex index(nodes);
    nb::object edges = attr(graph, edges_name);
    std::vector<Link> links;
    for_each_edge(edges, [&](nb::handle source, nb::handle destination) {
        auto from = static_cast<uint32_t>(index.index_of(source));
        links.emplace_back(from, static_cast<uint32_t>(index.index_of(destination)));
    });
    // Str names of a plain list of edges ran no host code since the index was
    // made, so the positions in the same nodes dict are its indices.
    bool same_nodes = PyList_CheckExact(edges.ptr()) && index.size() == index.names().size();
    auto seeds = [&](IrClass port_class, const Name& property) {
        if (same_nodes) {
            if (auto positions = port_positions(graph, ir, port_class);
                positions && attr(graph, nodes_name).ptr() == nodes.ptr())
                return Positions(positions->begin(), positions->end());
        }
        return seeds_of(attr(graph, property), index);
    };

    // The forward search is done before graph.outputs is read.
    Positions inputs = seeds(IrClass::Input, inputs_name);
    std::vector<char> from_input = reached_from(inputs, adjacency(index.size(), links, false));
    Positions outputs = seeds(IrClass::Output, outputs_name);
    std::vector<char> to_output = reached_from(outputs, adjacency(index.size(), links, true));
    Positions indices(index.indices().begin(), index.indices().end());
    report_unreached(result, index.names(), &indices, from_input, to_output);
}

void check_multiple_outputs(nb::handle graph, nb::handle result) {
    IrModule ir;
    if (const ValidatedGraph* read = shared_graph(graph, ir); read && read->outputs().size() <= 1) return;
    if (auto positions = port_positions(graph, ir, IrClass::Output); positions && positions->size() <= 1) return;
    nb::object outputs = attr(graph, outputs_name);
    Py_ssize_t count = size_of(outputs);
    if (count <= 1) return;
    nb::object names = own(PySequence_List(outputs.ptr()));
    std::string message =
        "Graph has " + std::to_string(count) + " Output nodes: " + str_of(own(PyObject_Repr(names.ptr())));
    Reporter(result).add(Severity::Info, multi_output.get(), message, nb::handle(), clear_semantics.get());
}

}  // namespace ondrel::lint
