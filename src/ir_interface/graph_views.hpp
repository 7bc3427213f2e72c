// A graph's nodes as rule views, with its edges as node positions: from one
// snapshot when the graph is exactly the IR layer's own, else read through
// the host as written (edges that name no node are then left out of the
// links, and counted at the node they lead into).
#pragma once

#include "ir_interface/graph_snapshot.hpp"

#include <memory>
#include <span>
#include <vector>

namespace ondrel {

class GraphViews {
public:
    GraphViews(nb::handle graph, const IrModule& ir, const SnapshotNeeds& needs = {});
    GraphViews(const GraphViews&) = delete;
    GraphViews& operator=(const GraphViews&) = delete;

    size_t size() const { return nodes_.size(); }
    std::span<const NodeView* const> nodes() const { return nodes_; }
    const NodeView& node(size_t index) const { return *nodes_[index]; }
    std::span<PyObject* const> names() const { return names_; }  // kept alive by the views
    std::span<const Link> links() const { return links_; }
    // Edges into the node whose source names no node (none on a snapshot).
    uint32_t unknown_sources(size_t index) const { return unknown_sources_.empty() ? 0 : unknown_sources_[index]; }

private:
    std::unique_ptr<GraphSnapshot> snapshot_;
    std::vector<SnapshotNode> snapshot_views_;
    std::vector<nb::object> host_names_, host_objects_;
    std::vector<HostNode> host_views_;
    std::vector<const NodeView*> nodes_;
    std::vector<PyObject*> names_;
    std::vector<Link> links_;
    std::vector<uint32_t> unknown_sources_;
};

}  // namespace ondrel
