// Graph linting: the issue model, the driver and the seven checks.
//
// lint_graph runs the checks one of two ways, decided once per call. On a
// graph snapshot (graph_snapshot.hpp), with none of the seven checks, the
// imported analyze_graph or the LintResult class replaced, it runs them
// natively on a LintContext, writing straight into its own result. Otherwise
// it calls them through the module, and each reads the graph through the host
// and reports through the result's methods.
#pragma once

#include "ir_interface/graph_snapshot.hpp"
#include "ir_interface/host_class.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/originals.hpp"
#include "ir_interface/records.hpp"

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel::lint {

enum class Severity { Error, Warning, Info };

// One code of the lint catalogue (python/ondrel/sdk/lint_rules.py).
struct CatalogueEntry {
    const char* code;
    Severity severity;
    const char* message;     // with {name} where a value of the finding goes
    const char* suggestion;  // likewise
};

}  // namespace ondrel::lint

#include "sdk/lint/lint_catalogue.hpp"  // generated: Code and catalogue[]

namespace ondrel::lint {

// ---- Module state (state.cpp) ----------------------------------------------

// The module functions and LintResult members a native run stands in for.
enum class Check { Reachability, MultipleOutputs, NodeParameters, SkipNodes, Naming, ModelSize, Shapes, Count };
enum class ResultMember { Init, AddError, AddWarning, AddInfo, InvalidateCache, RebuildCache, Count };

// Built when the module is loaded: its imports, Severity and LintIssue, in
// the order the module sets them up; the rest is remembered once defined.
struct State {
    explicit State(nb::module_& module);
    void remember_definitions(nb::handle result_class);

    nb::handle module;                     // for calls through its (replaceable) functions
    std::array<nb::object, 3> severities;  // Severity.ERROR, WARNING, INFO
    RecordType lint_issue;
    nb::object result_class;
    std::unique_ptr<Originals> result_members;  // in ResultMember order
    std::unique_ptr<Originals> checks;          // in Check order
    // The imported analyze_graph and the analysis module's measures, while the
    // import was the analysis module's own function; null otherwise.
    std::unique_ptr<Originals> analysis, measures;
    nb::object total_params;  // the analysis module's _total_params
};
inline const State& state() { return ModuleState<State>::get(); }
inline nb::handle severity_member(Severity severity) { return state().severities[static_cast<size_t>(severity)]; }

// True when `result` is exactly a LintResult and every member listed is still
// this module's own (not replaced on the class, not shadowed on the instance).
bool runs_original(nb::handle result, std::initializer_list<ResultMember> members);

// ---- LintResult behaviour and reporting (result.cpp) -----------------------

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

// A value a finding inserts into its catalogue texts, by name ({node} is the
// node's name, inserted by Issues itself).
struct Insert {
    std::string_view name;
    std::string value;
};

// Where the checks report, each issue as its catalogue entry words it: into
// a LintResult.
class Issues {
public:
    explicit Issues(nb::handle result) : result_(result) {}
    // `node` invalid: a graph-wide issue, reported without a node.
    void add(Code code, nb::handle node, std::initializer_list<Insert> inserts = {});

protected:
    ~Issues() = default;
    virtual void append(Severity severity, nb::handle code, nb::handle message, nb::handle node,
                        nb::handle suggestion) = 0;
    nb::handle result_;
};

// Through result.add_error/add_warning/add_info, node and suggestion by keyword.
class ResultMethods final : public Issues {
public:
    using Issues::Issues;

private:
    void append(Severity, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) override;
};

// Straight into a result for which runs_original holds.
class ResultLists final : public Issues {
public:
    using Issues::Issues;

private:
    void append(Severity, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) override;
};

// ---- The checks (graph_checks.cpp, node_checks.cpp, model_checks.cpp) -----

// What a native run checks: the snapshot of a graph the IR layer's
// validate() passes, and where the issues go.
struct LintContext {
    const GraphSnapshot& graph;
    const std::vector<Link>& links;
    Issues& issues;
};

// The module's checks, reading the graph through the host.
void check_reachability(nb::handle graph, nb::handle result);
void check_multiple_outputs(nb::handle graph, nb::handle result);
void check_node_parameters(nb::handle graph, nb::handle result);
void check_skip_nodes(nb::handle graph, nb::handle result);
void check_naming(nb::handle graph, nb::handle result);
void check_model_size(nb::handle graph, nb::handle result);
void check_shapes(nb::handle graph, nb::handle result);

// The same checks on a LintContext, in the driver's order.
namespace native {
void check_reachability(const LintContext& lint);
void check_multiple_outputs(const LintContext& lint);
void check_node_parameters(const LintContext& lint);
void check_skip_nodes(const LintContext& lint);
void check_naming(const LintContext& lint);
void check_model_size(const LintContext& lint);
void check_shapes(const LintContext& lint);
}  // namespace native

void record_rules(nb::handle module);  // what the per-class checks cover, for the module's _NODE_RULES

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

// ---- Driver (driver.cpp) ---------------------------------------------------

nb::object lint_graph(nb::handle graph, bool strict);

}  // namespace ondrel::lint
