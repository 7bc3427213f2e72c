// Module state: imported names, Severity, LintIssue and what is known about
// the LintResult class.
#include "sdk/lint/lint.hpp"

using namespace nanobind::literals;

namespace ondrel::lint {

namespace {

const Name init("__init__"), add_error("add_error"), add_warning("add_warning"), add_info("add_info");
const Name invalidate_cache("_invalidate_cache"), rebuild_cache("_rebuild_cache");
const Name check_names[] = {  // in Check order
    Name("_check_reachability"), Name("_check_multiple_outputs"), Name("_check_node_parameters"),
    Name("_check_skip_nodes"),   Name("_check_naming"),           Name("_check_model_size"),
    Name("_check_shapes"),
};
const Name analyze_graph_name("analyze_graph"), measures_name("_compute_depth_and_width");

nb::object define_severity(nb::module_& module) {
    nb::list members;
    members.append(nb::make_tuple("ERROR", "error"));
    members.append(nb::make_tuple("WARNING", "warning"));
    members.append(nb::make_tuple("INFO", "info"));
    nb::object severity = module.attr("Enum")("Severity", members, "module"_a = module.attr("__name__"));
    severity.attr("__doc__") = "Issue severity levels.";
    module.attr("Severity") = severity;
    return severity;
}

}  // namespace

State::State(nb::module_& m) : module(m) {
    import_names(m, "collections", {"deque"});
    import_names(m, "dataclasses", {"dataclass"});
    import_names(m, "enum", {"Enum"});
    import_names(m, "typing", {"Any", "Dict", "List", "Set", "Tuple"});
    m.attr("ir") = import_ir();
    // A failing import here fails the import of the linter: there is no fallback.
    m.attr("analyze_graph") = from_import(m, "analyze", "analyze_graph", 1);
    total_params = from_import(m, "analyze", "_total_params", 1);
    // The native size check stands in for analyze_graph only while it is the
    // analysis module's own function (a double installed before this import
    // is not), and that module's measures its own.
    static const Name dunder_name("__name__");
    nb::object imported = attr(m, analyze_graph_name);
    if (PyCFunction_Check(imported.ptr()) && Py_TYPE(imported.ptr()) == Py_TYPE(total_params.ptr()) &&
        PyCFunction_GET_SELF(imported.ptr()) == PyCFunction_GET_SELF(total_params.ptr()) &&
        str_of(attr(imported, dunder_name)) == "analyze_graph") {
        analysis = std::make_unique<Originals>(m, std::vector<const Name*>{&analyze_graph_name});
        measures = std::make_unique<Originals>(nb::handle(PyCFunction_GET_SELF(imported.ptr())),
                                               std::vector<const Name*>{&measures_name});
    }

    nb::object severity = define_severity(m);
    severities = {severity.attr("ERROR"), severity.attr("WARNING"), severity.attr("INFO")};
    lint_issue = RecordType(m, "LintIssue", "A single linting issue.",
                            {
                                required_field("severity", "Severity"),
                                required_field("code", "str"),
                                required_field("message", "str"),
                                field_with_default("node", "str | None", none()),
                                field_with_default("suggestion", "str | None", none()),
                            });
}

void State::remember_definitions(nb::handle cls) {
    result_class = nb::borrow(cls);
    result_members = std::make_unique<Originals>(
        cls, std::vector<const Name*>{&init, &add_error, &add_warning, &add_info, &invalidate_cache, &rebuild_cache});
    std::vector<const Name*> names;
    for (const Name& name : check_names) names.push_back(&name);
    checks = std::make_unique<Originals>(module, std::move(names));
}

bool runs_original(nb::handle result, std::initializer_list<ResultMember> members) {
    const State& lint = state();
    if (reinterpret_cast<PyObject*>(Py_TYPE(result.ptr())) != lint.result_class.ptr()) return false;
    nb::object instance_dict = own(PyObject_GenericGetDict(result.ptr(), nullptr));
    for (ResultMember listed : members) {
        size_t member = static_cast<size_t>(listed);
        if (lint.result_members->replacement(member).is_valid()) return false;  // replaced on the class
        PyObject* on_instance = PyDict_GetItemWithError(instance_dict.ptr(), lint.result_members->name(member).get());
        if (on_instance) return false;  // shadowed on the instance
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return true;
}

}  // namespace ondrel::lint
