// lint_graph: validation, the seven checks in their fixed order, and strict
// promotion of warnings.
#include "sdk/lint/lint.hpp"

namespace ondrel::lint {

namespace {

const Name result_class_name("LintResult"), validate_name("validate"), issues_name("issues"),
    severity_name("severity");
const Name structure("STRUCTURE"), fix_structure("Fix graph structure before linting");

// Called through the module, so a replaced check is the one that runs.
const Name checks[] = {
    Name("_check_reachability"), Name("_check_multiple_outputs"), Name("_check_node_parameters"),
    Name("_check_skip_nodes"),   Name("_check_naming"),           Name("_check_model_size"),
    Name("_check_shapes"),
};

// The graph the innermost lint_graph call has read; a replaced check may
// lint another graph from inside a call.
const ValidatedGraph* current_graph = nullptr;

class SharedGraph {
public:
    explicit SharedGraph(const ValidatedGraph* graph) : previous_(current_graph) { current_graph = graph; }
    ~SharedGraph() { current_graph = previous_; }
    SharedGraph(const SharedGraph&) = delete;
    SharedGraph& operator=(const SharedGraph&) = delete;

private:
    const ValidatedGraph* previous_;
};

}  // namespace

const ValidatedGraph* shared_graph(nb::handle graph, const IrModule& ir) {
    return current_graph && current_graph->still_describes(graph, ir) ? current_graph : nullptr;
}

nb::object lint_graph(nb::handle graph, bool strict) {
    GcPause no_collections;  // one issue record per finding, on graphs of any size
    nb::object result = call(module_function(state().module, result_class_name), {});

    // Only the IR library's ValueError becomes an issue; anything else propagates.
    // A graph the IR layer's own validate() would pass is known to without
    // the call; what was read on the way serves the checks.
    std::unique_ptr<ValidatedGraph> validated = ValidatedGraph::read(graph, IrModule());
    if (!validated) {
        PyObject* validated = PyObject_CallMethodNoArgs(graph.ptr(), validate_name.get());
        if (!validated) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            nb::python_error error;
            nb::object message = own(PyObject_Str(error.value().ptr()));
            Reporter(result).add(Severity::Error, structure.get(), message, nb::handle(), fix_structure.get());
            return result;
        }
        Py_DECREF(validated);
    }

    {
        SharedGraph shared(validated.get());
        for (const Name& name : checks) call(module_function(state().module, name), {graph, result});
    }

    if (strict) {
        // Nothing has read the categories yet, so rewriting severities in
        // place leaves no stale cache behind.
        nb::handle warning = severity_member(Severity::Warning), error = severity_member(Severity::Error);
        nb::object snapshot = own(PySequence_List(attr(result, issues_name).ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
            nb::handle issue = PyList_GET_ITEM(snapshot.ptr(), i);
            if (equal(attr(issue, severity_name), warning))
                set_attr(issue, severity_name, error);
        }
    }
    return result;
}

}  // namespace ondrel::lint
