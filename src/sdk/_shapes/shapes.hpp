// Port shapes: inferred from the Input shapes through every node in
// topological order, one rule per IR class, with the findings where a graph's
// weights, LIF parameters, merges or declared shapes disagree with them.
#pragma once

#include "ir_interface/class_rules.hpp"
#include "ir_interface/graph_walk.hpp"

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ondrel::shapes {

using Shape = std::vector<long long>;

// The findings, by code (the Python catalogue words them).
enum class Code : uint8_t { WeightMismatch, LifSize, DeclaredMismatch, MergeMismatch, Uninferrable };
const char* code_name(Code code);

struct Finding {
    Code code;
    size_t node;
    std::vector<std::pair<const char*, std::string>> values;
};

// "1x16x32x32"; "()" for a scalar.
std::string shape_text(std::span<const long long> shape);

// What a rule sees of one node: its inputs' shapes in edge order, and how many
// edges leave it.
struct RuleInput {
    const NodeView& node;
    std::span<const Shape* const> inputs;
    size_t successors;
};

// What a rule concludes: the shapes it sends on (one per outgoing edge in edge
// order, or one for all), or the reason inference stops at this node; and any
// findings about the node, which do not stop it.
struct RuleOutcome {
    std::vector<Shape> outputs;
    std::string stop;           // why nothing follows, when outputs is empty
    bool merge_failed = false;  // the stop is a merge of incompatible shapes
    std::vector<std::pair<Code, std::vector<std::pair<const char*, std::string>>>> findings;
};

using ShapeRule = void (*)(const RuleInput& in, RuleOutcome& out);

// The rule of the node's class (or of the IR class its class is named
// after), or null for a class without one.
ShapeRule rule_for(const NodeView& node);
ShapeRule input_rule();  // the rule of Input nodes
void record_rules(nb::handle module);  // the table's coverage, for the module's _NODE_RULES

// The declared shape of a port ("input" of input_type, "output" of
// output_type), when the node declares one readable as integers; with
// `any_port`, a dict of ports without that one gives its first port's.
std::optional<Shape> declared_shape(const NodeView& node, Field ports, const Name& port, bool any_port = false);
extern const Name input_port, output_port;

// The inferred shapes of one graph: per node its first input and first output
// (empty optionals where nothing was inferred), and the findings in node order.
struct GraphShapes {
    std::vector<std::optional<Shape>> input, output;
    std::vector<Finding> findings;
};

// Inference over nodes given as views, with the edges as node positions.
GraphShapes infer(std::span<const NodeView* const> nodes, std::span<const Link> links);

// _infer(graph) -> (names, {name: (input, output)}, [(code, name, {key: text})]).
nb::object infer_graph(nb::handle graph);

// A shape as a tuple of int, or None.
nb::object shape_object(const std::optional<Shape>& shape);

}  // namespace ondrel::shapes
