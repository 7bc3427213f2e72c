// Graph linting: the issue model, the driver and the seven checks.
#pragma once

#include "ir_interface/graph_walk.hpp"
#include "ir_interface/host_class.hpp"
#include "ir_interface/ir_classes.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/originals.hpp"
#include "ir_interface/records.hpp"

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace ondrel::lint {

enum class Severity { Error, Warning, Info };

// ---- Module state (state.cpp) ----------------------------------------------

// The LintResult members that the checks and the result itself may bypass
// while a result still has the ones defined here.
enum class ResultMember { AddError, AddWarning, AddInfo, InvalidateCache, RebuildCache, Count };

// Built when the module is loaded: its imports, Severity and LintIssue, in
// the order the module sets them up; LintResult is remembered once defined.
struct State {
    explicit State(nb::module_& module);
    void remember_result_class(nb::handle cls);

    nb::handle module;  // for calls through its (replaceable) functions
    std::array<nb::object, 3> severities;  // Severity.ERROR, WARNING, INFO
    RecordType lint_issue;
    nb::object result_class;
    std::unique_ptr<Originals> result_members;  // in ResultMember order
    std::unique_ptr<Originals> analysis;        // the imported analyze_graph; null if not the native one
    nb::object total_params;                    // the analysis module's analyze_graph(...).total_params
};
inline const State& state() { return ModuleState<State>::get(); }
inline nb::handle severity_member(Severity severity) { return state().severities[static_cast<size_t>(severity)]; }

// True when `result` is exactly a LintResult and every member listed is still
// the original one (not replaced on the class, not shadowed on the instance).
bool runs_original(nb::handle result, std::initializer_list<ResultMember> members);

// ---- LintResult behaviour (result.cpp) -------------------------------------

namespace result_methods {
void init(nb::handle self);
void add_error(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion);
void add_warning(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion);
void add_info(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion);
nb::object errors(nb::handle self);
nb::object warnings(nb::handle self);
nb::object infos(nb::handle self);
nb::object is_valid(nb::handle self);
nb::object to_dict(nb::handle self);
void invalidate_cache(nb::handle self);
void rebuild_cache(nb::handle self);
}  // namespace result_methods

// How the checks report: through result.add_error/add_warning/add_info, or
// straight into the result when those are still the original methods (the
// outcome is the same, minus a method dispatch per issue).
class Reporter {
public:
    explicit Reporter(nb::handle result);
    // `node` invalid: a graph-wide issue, reported without a node argument.
    void add(Severity severity, nb::handle code, const std::string& message, nb::handle node,
             nb::handle suggestion) const;
    void add(Severity severity, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) const;

private:
    nb::handle result_;
    bool direct_;
};

// ---- Node indices (graph_walk.cpp) ----------------------------------------

// Node names mapped to dense indices: each name is hashed once here, after
// which edges and searches work on integers. Equal names share an index.
class NodeIndex {
public:
    explicit NodeIndex(nb::handle nodes);
    size_t size() const { return size_; }
    size_t index_of(nb::handle name) const;  // KeyError(name) for a name of no node
    // Per name in mapping order: the name and its index.
    const std::vector<nb::object>& names() const { return names_; }
    const std::vector<size_t>& indices() const { return indices_; }

private:
    nb::object index_;  // dict: name -> int
    size_t size_ = 0;
    std::vector<nb::object> names_;
    std::vector<size_t> indices_;
};

// What lint_graph read of `graph` while validating it, shared with the checks
// it calls while `graph` still holds exactly that (see ValidatedGraph);
// otherwise null, and a check reads the graph itself.
const ValidatedGraph* shared_graph(nb::handle graph, const IrModule& ir);

// for name, node in graph.nodes.items(), from what lint_graph read where it can.
template <typename Visit>
void for_each_node_of(nb::handle graph, const IrModule& ir, Visit&& visit) {
    static const Name nodes_name("nodes");
    if (const ValidatedGraph* read = shared_graph(graph, ir)) return read->for_each_node(visit);
    for_each_node(attr(graph, nodes_name), visit);
}

// ---- The checks (graph_checks.cpp, node_checks.cpp, model_checks.cpp) -----

void check_reachability(nb::handle graph, nb::handle result);
void check_multiple_outputs(nb::handle graph, nb::handle result);
void check_node_parameters(nb::handle graph, nb::handle result);
void record_rules(nb::handle module);  // what the per-class checks cover, for the module's _NODE_RULES
void check_skip_nodes(nb::handle graph, nb::handle result);
void check_naming(nb::handle graph, nb::handle result);
void check_model_size(nb::handle graph, nb::handle result);
void check_shapes(nb::handle graph, nb::handle result);

// ---- Driver (driver.cpp) ---------------------------------------------------

nb::object lint_graph(nb::handle graph, bool strict);

}  // namespace ondrel::lint
