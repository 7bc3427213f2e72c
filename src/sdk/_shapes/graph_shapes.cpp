// Inference over a graph in topological order (Kahn's): each node's rule sees
// the shapes its predecessors send, in edge order. Where a rule stops, nothing
// downstream of it is inferred; the stop is reported once, where it happens.
#include "sdk/_shapes/shapes.hpp"

#include "ir_interface/graph_views.hpp"

#include <algorithm>

namespace ondrel::shapes {

namespace {

void compare_declared(const NodeView& node, size_t index, Field ports, const Name& port, const Shape& inferred,
                      std::vector<Finding>& findings) {
    std::optional<Shape> declared = declared_shape(node, ports, port);
    if (declared && *declared != inferred)
        findings.push_back({Code::DeclaredMismatch,
                            index,
                            {{"port", port.text()}, {"declared", shape_text(*declared)},
                             {"inferred", shape_text(inferred)}}});
}

}  // namespace

GraphShapes infer(std::span<const NodeView* const> nodes, std::span<const Link> links) {
    const size_t count = nodes.size();
    // Edges grouped by destination and by source, each in edge order.
    std::vector<uint32_t> in_start(count + 1), out_start(count + 1), in_edges(links.size()), out_edges(links.size());
    std::vector<uint32_t> out_position(links.size());  // an edge's position among its source's outgoing edges
    for (const Link& link : links) ++in_start[link.second + 1], ++out_start[link.first + 1];
    for (size_t i = 0; i < count; ++i) in_start[i + 1] += in_start[i], out_start[i + 1] += out_start[i];
    {
        std::vector<uint32_t> in_fill(in_start.begin(), in_start.end() - 1), out_fill(out_start.begin(), out_start.end() - 1);
        for (uint32_t e = 0; e < links.size(); ++e) {
            in_edges[in_fill[links[e].second]++] = e;
            out_position[e] = out_fill[links[e].first] - out_start[links[e].first];
            out_edges[out_fill[links[e].first]++] = e;
        }
    }
    GraphShapes result;
    result.input.resize(count);
    result.output.resize(count);
    std::vector<std::vector<Shape>> sent(count);  // what each node sends: one shape for all edges, or one per edge
    std::vector<bool> stopped(count);             // nothing follows from this node
    std::vector<uint32_t> waiting(count), ready;
    for (size_t i = 0; i < count; ++i) {
        waiting[i] = in_start[i + 1] - in_start[i];
        if (!waiting[i]) ready.push_back(static_cast<uint32_t>(i));
    }
    std::vector<const Shape*> inputs;
    size_t processed = 0;
    while (!ready.empty()) {
        const uint32_t at = ready.back();
        ready.pop_back();
        ++processed;
        for (uint32_t k = out_start[at]; k < out_start[at + 1]; ++k)
            if (--waiting[links[out_edges[k]].second] == 0) ready.push_back(links[out_edges[k]].second);

        const NodeView& node = *nodes[at];
        ShapeRule rule = rule_for(node);
        inputs.clear();
        bool upstream_stopped = false;
        for (uint32_t k = in_start[at]; k < in_start[at + 1]; ++k) {
            const uint32_t source = links[in_edges[k]].first;
            if (stopped[source]) {
                upstream_stopped = true;
                break;
            }
            // A node sending one shape per edge (a split) sends this edge the one at its position.
            const std::vector<Shape>& shapes = sent[source];
            inputs.push_back(&shapes[std::min<size_t>(out_position[in_edges[k]], shapes.size() - 1)]);
        }
        bool is_input = rule == input_rule();
        if (upstream_stopped || (inputs.empty() && !is_input)) {
            stopped[at] = true;  // reported where it stopped, or unreachable (the linter's finding)
            continue;
        }
        RuleOutcome outcome;
        if (!rule) {
            nb::object type = node.type_name();
            outcome.stop = "no shape rule for class " + std::string(utf8_view(type));
        } else {
            rule(RuleInput{node, inputs, out_start[at + 1] - out_start[at]}, outcome);
        }
        for (auto& [code, values] : outcome.findings) result.findings.push_back({code, at, std::move(values)});
        if (!inputs.empty()) {
            result.input[at] = *inputs[0];
            compare_declared(node, at, Field::input_type, input_port, *inputs[0], result.findings);
        }
        if (outcome.outputs.empty()) {
            stopped[at] = true;
            std::string shapes;
            for (const Shape* x : inputs) {
                if (!shapes.empty()) shapes += ", ";
                shapes += shape_text(*x);
            }
            if (outcome.merge_failed)
                result.findings.push_back({Code::MergeMismatch, at, {{"shapes", shapes}, {"reason", outcome.stop}}});
            else if (!outcome.stop.empty())
                result.findings.push_back({Code::Uninferrable, at, {{"reason", outcome.stop}}});
            continue;
        }
        result.output[at] = outcome.outputs[0];
        if (is_input) result.input[at] = outcome.outputs[0];
        if (!is_input) compare_declared(node, at, Field::output_type, output_port, outcome.outputs[0], result.findings);
        sent[at] = std::move(outcome.outputs);
    }
    // Nodes never reached lie on or behind a cycle; reported where known shapes run into one.
    if (processed < count)
        for (size_t i = 0; i < count; ++i) {
            if (!waiting[i]) continue;
            bool fed = false;
            for (uint32_t k = in_start[i]; k < in_start[i + 1] && !fed; ++k) fed = !sent[links[in_edges[k]].first].empty();
            if (fed) result.findings.push_back({Code::Uninferrable, i, {{"reason", "it lies on a cycle"}}});
        }
    std::stable_sort(result.findings.begin(), result.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.node < b.node; });
    return result;
}

namespace {

nb::object result_object(std::span<PyObject* const> names, const GraphShapes& shapes) {
    nb::object by_name = own(PyDict_New());
    for (size_t i = 0; i < names.size(); ++i) {
        nb::object pair = own(PyTuple_Pack(2, shape_object(shapes.input[i]).ptr(), shape_object(shapes.output[i]).ptr()));
        check(PyDict_SetItem(by_name.ptr(), names[i], pair.ptr()));
    }
    nb::object findings = own(PyList_New(0));
    for (const Finding& finding : shapes.findings) {
        nb::object values = own(PyDict_New());
        for (const auto& [key, value] : finding.values) check(PyDict_SetItemString(values.ptr(), key, text(value).ptr()));
        nb::object entry = own(PyTuple_Pack(3, text(code_name(finding.code)).ptr(), names[finding.node], values.ptr()));
        append(findings, entry);
    }
    return nb::make_tuple(by_name, findings);
}

}  // namespace

nb::object shape_object(const std::optional<Shape>& shape) {
    if (!shape) return none();
    nb::object tuple = own(PyTuple_New(static_cast<Py_ssize_t>(shape->size())));
    for (size_t i = 0; i < shape->size(); ++i)
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), integer((*shape)[i]).release().ptr());
    return tuple;
}

nb::object infer_graph(nb::handle graph) {
    GcPause no_collections;  // a few tuples per node, on graphs of any size
    IrModule ir;
    GraphViews views(graph, ir);
    return result_object(views.names(), infer(views.nodes(), views.links()));
}

}  // namespace ondrel::shapes
