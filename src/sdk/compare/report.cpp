// _generate_summary: the diff as text.
#include "sdk/compare/compare.hpp"

#include <string>
#include <vector>

namespace ondrel::compare {

namespace {

const Name identical("identical"), structural_match("structural_match"), nodes_added("nodes_added");
const Name nodes_removed("nodes_removed"), edges_added("edges_added"), edges_removed("edges_removed");
const Name nodes_modified("nodes_modified"), node_diffs("node_diffs"), max_weight_diff("max_weight_diff");
const Name mean_weight_diff("mean_weight_diff"), name("name"), status("status"), changes("changes");
const Name modified_status("modified");

constexpr Py_ssize_t changes_shown = 3;

// ", ".join(names)
std::string joined(nb::handle names) {
    nb::object separator = text(", ");
    return str_of(own(PyUnicode_Join(separator.ptr(), names.ptr())));
}

void node_lines(std::vector<std::string>& lines, nb::handle node) {
    if (!equal(attr(node, status), modified_status.get())) return;
    nb::object node_changes = attr(node, changes);
    if (!truthy(node_changes)) return;
    lines.push_back("  " + format_of(attr(node, name), "") + ":");
    nb::object first = own(PySequence_GetSlice(node_changes.ptr(), 0, changes_shown));
    for (const nb::object& change : iterate(first)) lines.push_back("    - " + format_of(change, ""));
    Py_ssize_t count = size_of(node_changes);
    if (count > changes_shown) lines.push_back("    - ... and " + std::to_string(count - changes_shown) + " more");
}

}  // namespace

nb::object generate_summary(nb::handle diff) {
    if (truthy(attr(diff, identical))) return text("\u2713 Graphs are identical");
    std::vector<std::string> lines{"\u2717 Graphs differ"};

    if (!truthy(attr(diff, structural_match))) {
        lines.push_back("\nStructural differences:");
        nb::object added = attr(diff, nodes_added);
        if (truthy(added)) lines.push_back("  + Nodes added: " + joined(added));
        nb::object removed = attr(diff, nodes_removed);
        if (truthy(removed)) lines.push_back("  - Nodes removed: " + joined(removed));
        nb::object new_edges = attr(diff, edges_added);
        if (truthy(new_edges)) lines.push_back("  + Edges added: " + std::to_string(size_of(new_edges)));
        nb::object lost_edges = attr(diff, edges_removed);
        if (truthy(lost_edges)) lines.push_back("  - Edges removed: " + std::to_string(size_of(lost_edges)));
    }

    nb::object modified = attr(diff, nodes_modified);
    if (truthy(modified)) {
        lines.push_back("\nModified nodes: " + std::to_string(size_of(modified)));
        for (const nb::object& node : iterate(attr(diff, node_diffs))) node_lines(lines, node);
    }

    nb::object largest = attr(diff, max_weight_diff);
    if (greater(largest, integer(0))) {
        lines.push_back("\nMax weight difference: " + format_of(largest, ".2e"));
        lines.push_back("Mean weight difference: " + format_of(attr(diff, mean_weight_diff), ".2e"));
    }

    std::string summary;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) summary += '\n';
        summary += lines[i];
    }
    return text(summary);
}

}  // namespace ondrel::compare
