// Graph linting: the issue model, the driver and the seven checks.
#pragma once

#include "ir_interface/graph_walk.hpp"
#include "ir_interface/ir_classes.hpp"
#include "ir_interface/records.hpp"

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace ondrel::lint {

enum class Severity { Error, Warning, Info };

// ---- Module state (state.cpp) ----------------------------------------------

// The module object, for calls that go through its (replaceable) functions.
nb::handle this_module();
// Imports, Severity and LintIssue, in the order the module sets them up.
void load_module_state(nb::module_& module);

nb::handle severity_member(Severity severity);  // Severity.ERROR, ...
const RecordType& lint_issue();

// The LintResult members that the checks and the result itself may bypass
// while a result still has the ones defined here.
enum class ResultMember { AddError, AddWarning, AddInfo, InvalidateCache, RebuildCache, Count };
void remember_result_class(nb::handle cls);
// True when `result` is exactly a LintResult and every member listed is still
// the original one (not replaced on the class, not shadowed on the instance).
bool runs_original(nb::handle result, std::initializer_list<ResultMember> members);

// ---- A host class whose methods are C functions (host_class.cpp) -----------

// `doc` starts with the text signature ("name($self, /, a, b=None)\n--\n\n"),
// which gives inspect.signature, help() and the stub generator the parameters.
struct MethodDefinition {
    using WithoutArguments = PyObject* (*)(PyObject* self);
    using WithArguments = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
    MethodDefinition(const char* name, WithoutArguments function, const char* doc)
        : name(name), without_arguments(function), doc(doc) {}
    MethodDefinition(const char* name, WithArguments function, const char* doc)
        : name(name), with_arguments(function), doc(doc) {}

    const char* name;
    WithoutArguments without_arguments = nullptr;
    WithArguments with_arguments = nullptr;
    const char* doc;
};
// type(name, (object,), {...}) with the methods and, for the getters, read-only
// builtins.property objects (documented by the getter's doc), registered on
// the module. `constructor_signature` is the text signature of the class
// call, e.g. "()".
nb::object define_host_class(nb::module_& module, const char* name, const char* constructor_signature,
                             const char* doc, const std::vector<MethodDefinition>& methods,
                             const std::vector<MethodDefinition>& getters);

// ---- LintResult behaviour (result.cpp) -------------------------------------

namespace result_methods {
PyObject* init(PyObject* self);
PyObject* add_error(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_warning(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_info(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* errors(PyObject* self);
PyObject* warnings(PyObject* self);
PyObject* infos(PyObject* self);
PyObject* is_valid(PyObject* self);
PyObject* to_dict(PyObject* self);
PyObject* invalidate_cache(PyObject* self);
PyObject* rebuild_cache(PyObject* self);
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

// ---- The checks (graph_checks.cpp, node_checks.cpp, model_checks.cpp) -----

void check_reachability(nb::handle graph, nb::handle result);
void check_multiple_outputs(nb::handle graph, nb::handle result);
void check_node_parameters(nb::handle graph, nb::handle result);
void check_skip_nodes(nb::handle graph, nb::handle result);
void check_naming(nb::handle graph, nb::handle result);
void check_model_size(nb::handle graph, nb::handle result);
void check_shapes(nb::handle graph, nb::handle result);

// ---- Driver (driver.cpp) ---------------------------------------------------

nb::object lint_graph(nb::handle graph, bool strict);

}  // namespace ondrel::lint
