// Module state: imported names, Severity, LintIssue and what is known about
// the LintResult class.
#include "sdk/lint/lint.hpp"

#include <array>

using namespace nanobind::literals;

namespace ondrel::lint {

namespace {

struct State {
    std::array<nb::object, 3> severities;  // ERROR, WARNING, INFO
    RecordType lint_issue;
    nb::object result_class;
    std::array<nb::object, static_cast<size_t>(ResultMember::Count)> original_members;
};

// Created once at load and kept for the life of the process.
State* state = nullptr;
PyObject* lint_module = nullptr;  // borrowed: the module outlives every call

const Name member_names[] = {Name("add_error"), Name("add_warning"), Name("add_info"), Name("_invalidate_cache"),
                             Name("_rebuild_cache")};

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
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    for (size_t i = 0; i < state->original_members.size(); ++i) {
        PyObject* member = PyDict_GetItemWithError(class_dict, member_names[i].get());
        if (!member) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_SystemError, "LintResult lacks %s", member_names[i].text());
        }
        state->original_members[i] = nb::borrow(member);
    }
}

bool runs_original(nb::handle result, std::initializer_list<ResultMember> members) {
    PyTypeObject* type = Py_TYPE(result.ptr());
    if (reinterpret_cast<PyObject*>(type) != state->result_class.ptr()) return false;
    nb::object instance_dict = own(PyObject_GenericGetDict(result.ptr(), nullptr));
    for (ResultMember member : members) {
        size_t i = static_cast<size_t>(member);
        PyObject* name = member_names[i].get();
        PyObject* on_class = PyDict_GetItemWithError(type->tp_dict, name);
        if (!on_class && PyErr_Occurred()) throw nb::python_error();
        if (on_class != state->original_members[i].ptr()) return false;
        PyObject* on_instance = PyDict_GetItemWithError(instance_dict.ptr(), name);
        if (on_instance) return false;
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return true;
}

}  // namespace ondrel::lint
