#include "ir_interface/graph_views.hpp"

namespace ondrel {

namespace {
const Name nodes_name("nodes"), edges_name("edges");
}

GraphViews::GraphViews(nb::handle graph, const IrModule& ir, const SnapshotNeeds& needs) {
    snapshot_ = GraphSnapshot::read(graph, ir, needs);
    if (snapshot_ && snapshot_->links()) {
        snapshot_views_.reserve(snapshot_->size());
        for (size_t i = 0; i < snapshot_->size(); ++i) {
            snapshot_views_.emplace_back(*snapshot_, i);
            names_.push_back(snapshot_->node(i).name);
        }
        for (const SnapshotNode& view : snapshot_views_) nodes_.push_back(&view);
        links_ = *snapshot_->links();
        return;
    }
    snapshot_.reset();
    for_each_node(attr(graph, nodes_name), [&](nb::handle name, nb::handle node) {
        host_names_.push_back(nb::borrow(name));
        host_objects_.push_back(nb::borrow(node));
    });
    nb::object positions = own(PyDict_New());
    for (size_t i = 0; i < host_names_.size(); ++i)
        if (!PyDict_Contains(positions.ptr(), host_names_[i].ptr()))
            check(PyDict_SetItem(positions.ptr(), host_names_[i].ptr(), integer(static_cast<long long>(i)).ptr()));
    auto position = [&](nb::handle name) -> std::optional<uint32_t> {
        PyObject* found = PyDict_GetItemWithError(positions.ptr(), name.ptr());
        if (!found) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        return static_cast<uint32_t>(PyLong_AsLong(found));
    };
    unknown_sources_.assign(host_names_.size(), 0);
    for_each_edge(attr(graph, edges_name), [&](nb::handle source, nb::handle destination) {
        std::optional<uint32_t> from = position(source), to = position(destination);
        if (from && to) links_.emplace_back(*from, *to);
        else if (to) ++unknown_sources_[*to];
    });
    host_views_.reserve(host_objects_.size());
    for (const nb::object& object : host_objects_) host_views_.emplace_back(object, ir);
    for (const HostNode& view : host_views_) nodes_.push_back(&view);
    for (const nb::object& name : host_names_) names_.push_back(name.ptr());
}

}  // namespace ondrel
