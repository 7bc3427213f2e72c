// ondrel.sdk.fingerprint: the Python-facing declarations.
#include "ir_interface/host_function.hpp"
#include "sdk/fingerprint/fingerprint.hpp"

namespace nb = nanobind;
using ondrel::define_function;
using namespace ondrel::fingerprint;
using ondrel::truthy;

NB_MODULE(fingerprint, m) {
    m.doc() = "Graph fingerprinting and provenance for ONDREL IR.";

    ondrel::ModuleState<State>::create(m);
    record_rules(m);
    ondrel::record_ir_fields(m);

    nb::object none = nb::none();

    define_function<[](nb::handle graph, nb::handle include_weights, nb::handle include_metadata) {
        return fingerprint_graph(graph, truthy(include_weights), truthy(include_metadata));
    }>(m, "fingerprint_graph", {"graph", {"include_weights", true}, {"include_metadata", false}},
       "Generate a deterministic fingerprint (hash) of a graph.\n\n"
       "Args:\n"
       "    graph: ONDREL IR graph to fingerprint\n"
       "    include_weights: If True, include parameter values in hash\n"
       "    include_metadata: If True, include metadata dict in hash\n\n"
       "Returns:\n"
       "    Hexadecimal hash string (SHA256)");

    define_function<[](nb::handle graph, nb::handle include_metadata) {
        return fingerprint_graph_dual(graph, truthy(include_metadata));
    }>(m, "fingerprint_graph_dual", {"graph", {"include_metadata", false}},
       "Generate both structure-only and full fingerprints in a single pass.\n\n"
       "More efficient than calling fingerprint_graph twice.\n\n"
       "Args:\n"
       "    graph: ONDREL IR graph to fingerprint\n"
       "    include_metadata: If True, include metadata dict in the full hash\n\n"
       "Returns:\n"
       "    Tuple of (structure_hash, full_hash)");

    define_function<[](nb::handle graph, nb::handle include_weights, nb::handle include_metadata,
                       nb::handle progress) {
        bool weights = truthy(include_weights), metadata = truthy(include_metadata);
        ondrel::ProgressReport report(progress);
        return fingerprint_graph_progress(graph, weights, metadata, report);
    }>(m, "_fingerprint_graph_progress", {"graph", "include_weights", "include_metadata", "progress"},
       "fingerprint_graph, reporting progress.\n\n"
       "progress(n) is called with the number of parameter-array bytes hashed since\n"
       "its previous call, at least every 16 MiB of them and once at the end.\n\n"
       "Returns:\n"
       "    The digest fingerprint_graph returns");

    define_function<[](nb::handle graph, nb::handle expected_hash, nb::handle include_weights) {
        return verify_fingerprint(graph, expected_hash, truthy(include_weights));
    }>(m, "verify_fingerprint", {"graph", "expected_hash", {"include_weights", true}},
       "Verify a graph matches an expected fingerprint.\n\n"
       "Args:\n"
       "    graph: ONDREL IR graph to check\n"
       "    expected_hash: Expected fingerprint (hexadecimal SHA256)\n"
       "    include_weights: If True, the fingerprint includes parameter values\n\n"
       "Returns:\n"
       "    True if hashes match, False otherwise");

    define_function<[](nb::handle graph, nb::handle hasher, nb::handle include_weights) {
        hash_graph(graph, hasher, truthy(include_weights));
    }>(m, "_hash_graph", {"graph", "hasher", {"include_weights", true}},
       "Hash entire graph structure and optionally weights in single pass.");

    define_function<hash_node_structure>(m, "_hash_node_structure", {"node_name", "node", "hasher"},
                                         "Hash a single node's structure (topology, not weights).");
    define_function<hash_node_weights>(m, "_hash_node_weights", {"node", "hasher"},
                                       "Hash a single node's weight values.");

    define_function<stamp_graph>(m, "stamp_graph",
                                 {"graph", {"notes", none}, {"git_commit", none}, {"training_run_id", none},
                                  {"calibration_config", none}, {"quantization_config", none}},
                                 "Add provenance metadata to a graph.\n\n"
                                 "Args:\n"
                                 "    graph: Graph to stamp (not modified in-place)\n"
                                 "    notes: Human-readable notes about this graph\n"
                                 "    git_commit: Git commit hash of the training code\n"
                                 "    training_run_id: Training run identifier\n"
                                 "    calibration_config: Calibration configuration dict\n"
                                 "    quantization_config: Quantization configuration dict\n\n"
                                 "Returns:\n"
                                 "    New graph with stamped metadata");

    define_function<get_stamp>(m, "get_stamp", {"graph"},
                               "Extract provenance stamp from a graph's metadata.\n\n"
                               "Args:\n"
                               "    graph: ONDREL IR graph\n\n"
                               "Returns:\n"
                               "    Provenance dict if present, None otherwise");

    ondrel::set_public_names(m, {"fingerprint_graph", "fingerprint_graph_dual", "get_stamp", "stamp_graph",
                                 "verify_fingerprint"});
}
