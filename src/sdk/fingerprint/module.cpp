// ondrel.sdk.fingerprint: the Python-facing declarations.
#include "sdk/fingerprint/fingerprint.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace ondrel::fingerprint;
using ondrel::truthy;

NB_MODULE(fingerprint, m) {
    m.doc() = "Graph fingerprinting and provenance for ONDREL IR.";

    ondrel::ModuleState<State>::create(m);
    record_rules(m);

    m.def("fingerprint_graph",
          [](nb::handle graph, nb::handle include_weights, nb::handle include_metadata) {
              return fingerprint_graph(graph, truthy(include_weights), truthy(include_metadata));
          },
          "graph"_a.none(), "include_weights"_a.none() = true, "include_metadata"_a.none() = false,
          nb::sig("def fingerprint_graph(graph: ir.Graph, include_weights: bool = True, "
                  "include_metadata: bool = False) -> str"),
          "Generate a deterministic fingerprint (hash) of a graph.\n\n"
          "Args:\n"
          "    graph: ONDREL IR graph to fingerprint\n"
          "    include_weights: If True, include parameter values in hash\n"
          "    include_metadata: If True, include metadata dict in hash\n\n"
          "Returns:\n"
          "    Hexadecimal hash string (SHA256)");

    m.def("fingerprint_graph_dual",
          [](nb::handle graph, nb::handle include_metadata) {
              return fingerprint_graph_dual(graph, truthy(include_metadata));
          },
          "graph"_a.none(), "include_metadata"_a.none() = false,
          nb::sig("def fingerprint_graph_dual(graph: ir.Graph, include_metadata: bool = False) -> tuple[str, str]"),
          "Generate both structure-only and full fingerprints in a single pass.\n\n"
          "More efficient than calling fingerprint_graph twice.\n\n"
          "Args:\n"
          "    graph: ONDREL IR graph to fingerprint\n"
          "    include_metadata: If True, include metadata dict in the full hash\n\n"
          "Returns:\n"
          "    Tuple of (structure_hash, full_hash)");

    m.def("_fingerprint_graph_progress",
          [](nb::handle graph, nb::handle include_weights, nb::handle include_metadata, nb::handle progress) {
              bool weights = truthy(include_weights), metadata = truthy(include_metadata);
              ondrel::ProgressReport report(progress);
              return fingerprint_graph_progress(graph, weights, metadata, report);
          },
          "graph"_a.none(), "include_weights"_a.none(), "include_metadata"_a.none(), "progress"_a.none(),
          nb::sig("def _fingerprint_graph_progress(graph: ir.Graph, include_weights: bool, include_metadata: bool, "
                  "progress: typing.Callable[[int], object]) -> str"),
          "fingerprint_graph, reporting progress.\n\n"
          "progress(n) is called with the number of parameter-array bytes hashed since\n"
          "its previous call, at least every 16 MiB of them and once at the end.\n\n"
          "Returns:\n"
          "    The digest fingerprint_graph returns");

    m.def("verify_fingerprint",
          [](nb::handle graph, nb::handle expected_hash, nb::handle include_weights) {
              return verify_fingerprint(graph, expected_hash, truthy(include_weights));
          },
          "graph"_a.none(), "expected_hash"_a.none(), "include_weights"_a.none() = true,
          nb::sig("def verify_fingerprint(graph: ir.Graph, expected_hash: str, include_weights: bool = True) -> bool"),
          "Verify a graph matches an expected fingerprint.\n\n"
          "Args:\n"
          "    graph: ONDREL IR graph to check\n"
          "    expected_hash: Expected fingerprint (hexadecimal SHA256)\n"
          "    include_weights: If True, the fingerprint includes parameter values\n\n"
          "Returns:\n"
          "    True if hashes match, False otherwise");

    m.def("_hash_graph",
          [](nb::handle graph, nb::handle hasher, nb::handle include_weights) {
              hash_graph(graph, hasher, truthy(include_weights));
          },
          "graph"_a.none(), "hasher"_a.none(), "include_weights"_a.none() = true,
          nb::sig("def _hash_graph(graph: ir.Graph, hasher: hashlib._hashlib.HASH, include_weights: bool = True) "
                  "-> None"),
          "Hash entire graph structure and optionally weights in single pass.");

    m.def("_hash_node_structure", &hash_node_structure, "node_name"_a.none(), "node"_a.none(), "hasher"_a.none(),
          nb::sig("def _hash_node_structure(node_name: str, node: typing.Any, hasher: hashlib._hashlib.HASH) -> None"),
          "Hash a single node's structure (topology, not weights).");

    m.def("_hash_node_weights", &hash_node_weights, "node"_a.none(), "hasher"_a.none(),
          nb::sig("def _hash_node_weights(node: typing.Any, hasher: hashlib._hashlib.HASH) -> None"),
          "Hash a single node's weight values.");

    m.def("stamp_graph", &stamp_graph, "graph"_a.none(), "notes"_a.none() = nb::none(),
          "git_commit"_a.none() = nb::none(), "training_run_id"_a.none() = nb::none(),
          "calibration_config"_a.none() = nb::none(), "quantization_config"_a.none() = nb::none(),
          nb::sig("def stamp_graph(graph: ir.Graph, notes: typing.Optional[str] = None, "
                  "git_commit: typing.Optional[str] = None, training_run_id: typing.Optional[str] = None, "
                  "calibration_config: typing.Optional[typing.Dict[str, typing.Any]] = None, "
                  "quantization_config: typing.Optional[typing.Dict[str, typing.Any]] = None) -> ir.Graph"),
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

    m.def("get_stamp", &get_stamp, "graph"_a.none(),
          nb::sig("def get_stamp(graph: ir.Graph) -> typing.Optional[typing.Dict[str, typing.Any]]"),
          "Extract provenance stamp from a graph's metadata.\n\n"
          "Args:\n"
          "    graph: ONDREL IR graph\n\n"
          "Returns:\n"
          "    Provenance dict if present, None otherwise");
}
