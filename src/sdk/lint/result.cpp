// LintResult: a flat issue list, sorted into severities lazily on first read
// after the last addition.
#include "sdk/lint/lint.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace ondrel::lint {

namespace {

const Name issues_name("issues"), cache_valid_name("_cache_valid");
const Name errors_name("_errors"), warnings_name("_warnings"), infos_name("_infos");
// The public properties, also keys of to_dict.
const Name errors_property("errors"), warnings_property("warnings"), infos_property("infos");
const Name is_valid_property("is_valid");
const Name invalidate_cache_name("_invalidate_cache"), rebuild_cache_name("_rebuild_cache");
const Name add_error_name("add_error"), add_warning_name("add_warning"), add_info_name("add_info");
const Name value_name("value");
// Issue fields, also the keys of to_dict's issue entries.
const Name severity_key("severity"), code_key("code"), message_key("message"), node_key("node"),
    suggestion_key("suggestion");
const Name total_issues_key("total_issues");

nb::object new_list() { return own(PyList_New(0)); }

void invalidate_categories(nb::handle self) {
    if (runs_original(self, {ResultMember::InvalidateCache})) set_attr(self, cache_valid_name, boolean(false));
    else call_method(self, invalidate_cache_name);
}

void sort_by_severity(nb::handle self) {
    if (truthy(attr(self, cache_valid_name))) return;
    // New lists, not cleared ones: a caller holding an old list keeps its contents.
    nb::object errors = new_list(), warnings = new_list(), infos = new_list();
    set_attr(self, errors_name, errors);
    set_attr(self, warnings_name, warnings);
    set_attr(self, infos_name, infos);
    nb::handle error = severity_member(Severity::Error), warning = severity_member(Severity::Warning),
               info = severity_member(Severity::Info);
    for (const nb::object& issue : iterate(attr(self, issues_name))) {
        nb::object severity = attr(issue, severity_key);
        if (equal(severity, error)) append(errors, issue);
        else if (equal(severity, warning)) append(warnings, issue);
        else if (equal(severity, info)) append(infos, issue);
    }
    set_attr(self, cache_valid_name, boolean(true));
}

void rebuild_categories(nb::handle self) {
    if (runs_original(self, {ResultMember::RebuildCache})) sort_by_severity(self);
    else call_method(self, rebuild_cache_name);
}

nb::object category(nb::handle self, const Name& cached) {
    rebuild_categories(self);
    return attr(self, cached);
}

void append_issue(nb::handle self, Severity severity, nb::handle code, nb::handle message, nb::handle node,
                  nb::handle suggestion, bool invalidate_directly) {
    require_str(code, "code");
    require_str(message, "message");
    require_str(node, "node", true);
    require_str(suggestion, "suggestion", true);
    nb::object issue = state().lint_issue.make({severity_member(severity), code, message, node, suggestion});
    append(attr(self, issues_name), issue);
    if (invalidate_directly) set_attr(self, cache_valid_name, boolean(false));
    else invalidate_categories(self);
}

const Name& add_method_name(Severity severity) {
    switch (severity) {
        case Severity::Error: return add_error_name;
        case Severity::Warning: return add_warning_name;
        case Severity::Info: break;
    }
    return add_info_name;
}

// `text` with each {name} replaced by the insert of that name.
std::string render(std::string_view text, std::string_view node, std::initializer_list<Insert> inserts) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        size_t close = text.find('}', open);
        std::string_view name = text.substr(open + 1, close - open - 1);
        out.append(text.substr(at, open - at));
        if (name == "node") {
            out.append(node);
        } else {
            const Insert* found = std::find_if(inserts.begin(), inserts.end(), [&](const Insert& insert) { return insert.name == name; });
            if (found == inserts.end()) throw std::logic_error("lint catalogue: nothing inserted for {" + std::string(name) + "}");
            out.append(found->value);
        }
        at = close + 1;
    }
    return out;
}

// The catalogue's fixed texts as host strings, made once each.
nb::handle interned(const char* catalogue_text) {
    static std::unordered_map<const char*, PyObject*> made;
    PyObject*& found = made[catalogue_text];
    if (!found) found = own(PyUnicode_InternFromString(catalogue_text)).release().ptr();
    return found;
}

}  // namespace

namespace result_methods {

void init(nb::handle self) {
    set_attr(self, issues_name, new_list());
    set_attr(self, cache_valid_name, boolean(false));
    set_attr(self, errors_name, new_list());
    set_attr(self, warnings_name, new_list());
    set_attr(self, infos_name, new_list());
}

void add_error(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) {
    append_issue(self, Severity::Error, code, message, node, suggestion, false);
}
void add_warning(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) {
    append_issue(self, Severity::Warning, code, message, node, suggestion, false);
}
void add_info(nb::handle self, nb::handle code, nb::handle message, nb::handle node, nb::handle suggestion) {
    append_issue(self, Severity::Info, code, message, node, suggestion, false);
}

nb::object errors(nb::handle self) { return category(self, errors_name); }
nb::object warnings(nb::handle self) { return category(self, warnings_name); }
nb::object infos(nb::handle self) { return category(self, infos_name); }

nb::object is_valid(nb::handle self) {
    rebuild_categories(self);
    return boolean(size_of(attr(self, errors_name)) == 0);
}

nb::object to_dict(nb::handle self) {
    auto length = [](nb::handle sequence) { return integer(size_of(sequence)); };
    nb::object summary = own(PyDict_New());
    nb::object issues = attr(self, issues_name);
    set_item(summary, total_issues_key, length(issues));
    set_item(summary, errors_property, length(attr(self, errors_property)));
    set_item(summary, warnings_property, length(attr(self, warnings_property)));
    set_item(summary, infos_property, length(attr(self, infos_property)));
    set_item(summary, is_valid_property, attr(self, is_valid_property));

    nb::object entries = new_list();
    for (const nb::object& issue : iterate(issues)) {
        nb::object entry = own(PyDict_New());
        set_item(entry, severity_key, attr(attr(issue, severity_key), value_name));
        for (const Name* field : {&code_key, &message_key, &node_key, &suggestion_key})
            set_item(entry, *field, attr(issue, *field));
        append(entries, entry);
    }
    set_item(summary, issues_name, entries);
    return summary;
}

void invalidate_cache(nb::handle self) { set_attr(self, cache_valid_name, boolean(false)); }
void rebuild_cache(nb::handle self) { sort_by_severity(self); }

}  // namespace result_methods

void Issues::add(Code code, nb::handle node, std::initializer_list<Insert> inserts) {
    const CatalogueEntry& entry = catalogue[static_cast<size_t>(code)];
    std::string node_text = node.is_valid() ? str_of(node) : std::string();
    nb::object message = text(render(entry.message, node_text, inserts));
    nb::object suggestion = std::strchr(entry.suggestion, '{') ? text(render(entry.suggestion, node_text, inserts))
                                                               : nb::borrow(interned(entry.suggestion));
    append(entry.severity, interned(entry.code), message, node, suggestion);
}

void ResultLists::append(Severity severity, nb::handle code, nb::handle message, nb::handle node,
                         nb::handle suggestion) {
    append_issue(result_, severity, code, message, node.is_valid() ? node : nb::handle(Py_None), suggestion, true);
}

void ResultMethods::append(Severity severity, nb::handle code, nb::handle message, nb::handle node,
                           nb::handle suggestion) {
    // The checks pass node and suggestion by keyword, and no node for a
    // graph-wide issue.
    static PyObject* node_and_suggestion = own(Py_BuildValue("(ss)", "node", "suggestion")).release().ptr();
    static PyObject* suggestion_only = own(Py_BuildValue("(s)", "suggestion")).release().ptr();
    PyObject* name = add_method_name(severity).get();
    if (node.is_valid()) {
        PyObject* args[] = {result_.ptr(), code.ptr(), message.ptr(), node.ptr(), suggestion.ptr()};
        own(PyObject_VectorcallMethod(name, args, 3, node_and_suggestion));
    } else {
        PyObject* args[] = {result_.ptr(), code.ptr(), message.ptr(), suggestion.ptr()};
        own(PyObject_VectorcallMethod(name, args, 3, suggestion_only));
    }
}

}  // namespace ondrel::lint
