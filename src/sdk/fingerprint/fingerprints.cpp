// Fingerprints, their verification, and the stream fed into a caller's hasher.
#include "sdk/fingerprint/fingerprint.hpp"

namespace ondrel::fingerprint {

namespace {

using namespace nb::literals;

const Name metadata_name("metadata"), fingerprint_graph_name("fingerprint_graph");

// The metadata piece goes last, and only for a truthy metadata mapping.
void feed_metadata_if_included(nb::handle graph, bool include_metadata, Sink& sink) {
    if (!include_metadata) return;
    nb::object metadata = attr(graph, metadata_name);
    if (truthy(metadata)) feed_metadata(metadata, sink);
}

// The stream into one hasher, weight pieces through `weights` (the hasher
// itself or a sink in front of it).
nb::object digest(const IrModule& ir, nb::handle graph, BatchingSink& hasher, Sink* weights, bool include_metadata) {
    feed_graph(ir, graph, hasher, weights, true);
    feed_metadata_if_included(graph, include_metadata, hasher);
    return hasher.hexdigest();
}

}  // namespace

nb::object fingerprint_graph(nb::handle graph, bool include_weights, bool include_metadata) {
    IrModule ir;
    BatchingSink hasher;
    return digest(ir, graph, hasher, include_weights ? &hasher : nullptr, include_metadata);
}

nb::object fingerprint_graph_progress(nb::handle graph, bool include_weights, bool include_metadata,
                                      ProgressReport& progress) {
    IrModule ir;
    BatchingSink hasher;
    ReportingSink weights(hasher, progress);
    nb::object result = digest(ir, graph, hasher, include_weights ? &weights : nullptr, include_metadata);
    progress.finish();
    return result;
}

nb::object fingerprint_graph_dual(nb::handle graph, bool include_metadata) {
    IrModule ir;
    BatchingSink struct_hasher, full_hasher;
    TeeSink both(struct_hasher, full_hasher);
    feed_graph(ir, graph, both, &full_hasher, true);
    feed_metadata_if_included(graph, include_metadata, full_hasher);
    nb::object structure = struct_hasher.hexdigest();
    return nb::make_tuple(structure, full_hasher.hexdigest());
}

bool verify_fingerprint(nb::handle graph, nb::handle expected_hash, bool include_weights) {
    require_str(expected_hash, "expected_hash");
    nb::object fingerprint = module_function(state().module, fingerprint_graph_name);
    nb::object actual_hash =
        fingerprint(graph, "include_weights"_a = boolean(include_weights), "include_metadata"_a = false);
    return equal(actual_hash, expected_hash);
}

void hash_graph(nb::handle graph, nb::handle hasher, bool include_weights) {
    IrModule ir;
    HasherSink sink(hasher);
    feed_graph(ir, graph, sink, include_weights ? &sink : nullptr, false);  // the caller's hasher runs host code
}

void hash_node_structure(nb::handle node_name, nb::handle node, nb::handle hasher) {
    IrModule ir;
    HasherSink sink(hasher);
    feed_node_structure(node_name, HostNode(node, ir), sink);
}

void hash_node_weights(nb::handle node, nb::handle hasher) {
    IrModule ir;
    HasherSink sink(hasher);
    feed_node_weights(HostNode(node, ir), sink);
}

}  // namespace ondrel::fingerprint
