// lint_graph: validation, the seven checks in their fixed order, and strict
// promotion of warnings.
#include "sdk/lint/lint.hpp"

#include "sdk/analyze/analyze.hpp"

namespace ondrel::lint {

namespace {

const Name result_class_name("LintResult"), validate_name("validate"), issues_name("issues"),
    severity_name("severity");

void (*const native_checks[])(const LintContext&) = {
    native::check_reachability, native::check_multiple_outputs, native::check_node_parameters,
    native::check_skip_nodes,   native::check_naming,           native::check_model_size,
    native::check_shapes,
};
static_assert(std::size(native_checks) == static_cast<size_t>(Check::Count));

// The checks may run natively: none of them, the imported analyze_graph, the
// analysis's measures or the result's members replaced.
bool checks_run_natively(nb::handle result) {
    const State& lint = state();
    for (size_t check = 0; check < static_cast<size_t>(Check::Count); ++check)
        if (lint.checks->replacement(check).is_valid()) return false;
    if (!lint.analysis || lint.analysis->replacement(0).is_valid() || lint.measures->replacement(0).is_valid())
        return false;
    return runs_original(result, {ResultMember::Init, ResultMember::AddError, ResultMember::AddWarning,
                                  ResultMember::AddInfo, ResultMember::InvalidateCache, ResultMember::RebuildCache});
}

// graph.validate() of the IR layer passes on this snapshot: every edge joins
// two distinct nodes, and there is an Input and an Output.
bool passes_validation(const GraphSnapshot& graph) {
    const std::optional<std::vector<Link>>& links = graph.links();
    if (!links) return false;
    for (const Link& link : *links)
        if (link.first == link.second) return false;
    return !graph.positions_of(IrClass::Input).empty() && !graph.positions_of(IrClass::Output).empty();
}

}  // namespace

nb::object lint_graph(nb::handle graph, bool strict) {
    GcPause no_collections;  // one issue record per finding, on graphs of any size
    nb::object result = call(module_function(state().module, result_class_name), {});

    std::unique_ptr<GraphSnapshot> snapshot;
    if (checks_run_natively(result)) snapshot = GraphSnapshot::read(graph, IrModule(), analyze::snapshot_needs());
    if (snapshot && passes_validation(*snapshot)) {
        ResultLists issues(result);
        LintContext context{*snapshot, *snapshot->links(), issues};
        for (auto check : native_checks) check(context);
    } else {
        // Only the IR library's ValueError becomes an issue; anything else propagates.
        PyObject* validated = PyObject_CallMethodNoArgs(graph.ptr(), validate_name.get());
        if (!validated) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            nb::python_error error;
            ResultMethods(result).add(Code::STRUCTURE, nb::handle(), {{"error", str_of(error.value())}});
            return result;
        }
        Py_DECREF(validated);
        // Called through the module, so a replaced check is the one that runs.
        for (size_t check = 0; check < static_cast<size_t>(Check::Count); ++check)
            call(module_function(state().module, state().checks->name(check)), {graph, result});
    }

    if (strict) {
        // Nothing has read the categories yet, so rewriting severities in
        // place leaves no stale cache behind.
        nb::handle warning = severity_member(Severity::Warning), error = severity_member(Severity::Error);
        nb::object snapshot_of_issues = own(PySequence_List(attr(result, issues_name).ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot_of_issues.ptr()); ++i) {
            nb::handle issue = PyList_GET_ITEM(snapshot_of_issues.ptr(), i);
            if (equal(attr(issue, severity_name), warning)) set_attr(issue, severity_name, error);
        }
    }
    return result;
}

}  // namespace ondrel::lint
