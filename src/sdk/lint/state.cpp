// Module state: imported names, Severity, LintIssue and what is known about
// the LintResult class.
#include "sdk/lint/lint.hpp"

#include "ir_interface/originals.hpp"

#include <array>
#include <memory>

using namespace nanobind::literals;

namespace ondrel::lint {

namespace {

struct State {
    std::array<nb::object, 3> severities;  // ERROR, WARNING, INFO
    RecordType lint_issue;
    nb::object result_class;
    std::unique_ptr<Originals> result_members;  // in ResultMember order
};

// Created once at load and kept for the life of the process.
State* state = nullptr;
PyObject* lint_module = nullptr;  // borrowed: the module outlives every call

const Name add_error("add_error"), add_warning("add_warning"), add_info("add_info");
const Name invalidate_cache("_invalidate_cache"), rebuild_cache("_rebuild_cache");

}  // namespace

nb::handle this_module() { return lint_module; }
nb::handle severity_member(Severity severity) { return state->severities[static_cast<size_t>(severity)]; }
const RecordType& lint_issue() { return state->lint_issue; }

void load_module_state(nb::module_& module) {
    lint_module = module.ptr();
    import_names(module, "collections", {"deque"});
    import_names(module, "dataclasses", {"dataclass"});
    import_names(module, "enum", {"Enum"});
    nb::object enum_type = module.attr("Enum");
    import_names(module, "typing", {"Any", "Dict", "List", "Set", "Tuple"});
    module.attr("ir") = IrModule().module();
    // A failing import here fails the import of the linter: there is no fallback.
    module.attr("analyze_graph") = from_import(module, "analyze", "analyze_graph", 1);

    nb::list members;
    members.append(nb::make_tuple("ERROR", "error"));
    members.append(nb::make_tuple("WARNING", "warning"));
    members.append(nb::make_tuple("INFO", "info"));
    nb::object severity = enum_type("Severity", members, "module"_a = module.attr("__name__"));
    severity.attr("__doc__") = "Issue severity levels.";
    module.attr("Severity") = severity;

    nb::object no_default = none();
    state = new State{
        {severity.attr("ERROR"), severity.attr("WARNING"), severity.attr("INFO")},
        RecordType(module, "LintIssue", "A single linting issue.",
                   {
                       required_field("severity", "Severity"),
                       required_field("code", "str"),
                       required_field("message", "str"),
                       field_with_default("node", "str | None", no_default),
                       field_with_default("suggestion", "str | None", no_default),
                   }),
        nb::object(),
        {},
    };
}

void remember_result_class(nb::handle cls) {
    state->result_class = nb::borrow(cls);
    state->result_members = std::make_unique<Originals>(
        cls, std::vector<const Name*>{&add_error, &add_warning, &add_info, &invalidate_cache, &rebuild_cache});
}

bool runs_original(nb::handle result, std::initializer_list<ResultMember> members) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(result.ptr())) != state->result_class.ptr()) return false;
    nb::object instance_dict = own(PyObject_GenericGetDict(result.ptr(), nullptr));
    for (ResultMember member : members) {
        size_t index = static_cast<size_t>(member);
        if (state->result_members->replacement(index).is_valid()) return false;  // replaced on the class
        PyObject* on_instance = PyDict_GetItemWithError(instance_dict.ptr(), state->result_members->name(index).get());
        if (on_instance) return false;  // shadowed on the instance
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return true;
}

}  // namespace ondrel::lint
