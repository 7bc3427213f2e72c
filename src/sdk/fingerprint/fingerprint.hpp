// Graph fingerprints (SHA-256 over one canonical byte stream) and provenance
// stamps kept in a graph's metadata.
#pragma once

#include "ir_interface/array_view.hpp"
#include "ir_interface/graph_snapshot.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/records.hpp"
#include "ir_interface/progress.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace ondrel::fingerprint {

// Built when the module is loaded (state.cpp): what it takes from the host.
struct State {
    explicit State(nb::module_& module);

    nb::handle module;
    nb::object sha256;          // hashlib.sha256
    nb::handle hash_type;       // type(hashlib.sha256()): takes any C-contiguous buffer
    nb::object json_dumps;      // json.dumps
    nb::object utc;             // datetime.timezone.utc
    // The C function behind numpy.ndarray.tobytes, or null when numpy's
    // tobytes is not one (then every array piece comes from calling tobytes).
    void* ndarray_tobytes = nullptr;
};
inline const State& state() { return ModuleState<State>::get(); }

void record_rules(nb::handle module);  // what the per-class tables cover, for the module's _NODE_RULES

// Where the bytes of `array.tobytes()` can be read: in place, from the array's
// own buffer, when tobytes() is numpy's and the array exports a buffer;
// otherwise only by calling tobytes().
class ArraySource {
public:
    explicit ArraySource(nb::handle array);  // a missing tobytes raises AttributeError
    const ArrayView* buffer() const { return view_ ? &*view_ : nullptr; }
    nb::object call_tobytes();

private:
    nb::handle array_;
    nb::object tobytes_;
    std::optional<ArrayView> view_;
};

// Receives the pieces of the stream in order: names, texts, edge labels and
// the metadata text as bytes, arrays as objects. How a piece reaches a hasher
// is the sink's business.
class Sink {
public:
    virtual void piece(std::string_view bytes) = 0;
    virtual void array_piece(nb::handle array) = 0;  // the bytes of array.tobytes()

protected:
    ~Sink() = default;
};

// Feeds a caller's hasher (any object with `update`): one update call per
// piece, with the piece as bytes; a host SHA-256 object is given a contiguous
// array's memory in place instead of a copy.
class HasherSink final : public Sink {
public:
    explicit HasherSink(nb::handle hasher);
    void piece(std::string_view bytes) override;
    void array_piece(nb::handle array) override;

private:
    void update(nb::handle data);
    nb::handle hasher_;
    nb::object update_;  // looked up on first use, as a plain call would
    bool takes_buffers_;  // the hasher is a host SHA-256 object
};

// A SHA-256 object of the host owned by one call. Pieces gather in a buffer
// flushed with one update; array bytes are copied there under the guard
// (guarded_read.hpp), never hashed from memory a file may back.
class BatchingSink final : public Sink {
public:
    BatchingSink();
    void piece(std::string_view bytes) override { append(bytes.data(), bytes.size()); }
    void array_piece(nb::handle array) override;
    void append(const void* data, size_t size);  // memory the caller holds
    void append_object(nb::handle data);  // a tobytes() result, whatever it is
    nb::object hexdigest();

    // The buffer as a target of copy_array_bytes.
    std::pair<void*, size_t> room();
    void filled(size_t count) { used_ += count; }
    void drain() { flush(); }

private:
    void flush();
    void update(const void* data, size_t size);
    nb::object hasher_;
    nb::object update_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};

// Structure pieces of the dual fingerprint: every piece goes to both hashers,
// each built or read once.
class TeeSink final : public Sink {
public:
    TeeSink(BatchingSink& first, BatchingSink& second) : first_(first), second_(second) {}
    void piece(std::string_view bytes) override;
    void array_piece(nb::handle array) override;

private:
    BatchingSink& first_;
    BatchingSink& second_;
};

// Weight pieces on their way to a call's hasher, counted for a progress
// report; arrays go in slices, so the report comes at least every step.
class ReportingSink final : public Sink {
public:
    ReportingSink(BatchingSink& hasher, ProgressReport& progress) : hasher_(hasher), progress_(progress) {}
    void piece(std::string_view bytes) override { hasher_.piece(bytes); }
    void array_piece(nb::handle array) override;

private:
    BatchingSink& hasher_;
    ProgressReport& progress_;
};

// The stream. A node's structure and weight pieces depend on its class; the graph
// stream sends structure pieces and edges to `structure` and, when
// `weights` is given, each node's weight pieces right after its structure.
void feed_node_structure(nb::handle name, const NodeView& node, Sink& sink);
void feed_node_weights(const NodeView& node, Sink& sink);
// With `from_snapshot`, a graph of the IR layer's own is read once into a
// snapshot first (nothing between the pieces may then run host code).
void feed_graph(const IrModule& ir, nb::handle graph, Sink& structure, Sink* weights, bool from_snapshot);
void feed_metadata(nb::handle metadata, Sink& sink);

// The module's functions.
nb::object fingerprint_graph(nb::handle graph, bool include_weights, bool include_metadata);
nb::object fingerprint_graph_progress(nb::handle graph, bool include_weights, bool include_metadata,
                                      ProgressReport& progress);
nb::object fingerprint_graph_dual(nb::handle graph, bool include_metadata);
bool verify_fingerprint(nb::handle graph, nb::handle expected_hash, bool include_weights);
void hash_graph(nb::handle graph, nb::handle hasher, bool include_weights);
void hash_node_structure(nb::handle node_name, nb::handle node, nb::handle hasher);
void hash_node_weights(nb::handle node, nb::handle hasher);

nb::object stamp_graph(nb::handle graph, nb::handle notes, nb::handle git_commit, nb::handle training_run_id,
                       nb::handle calibration_config, nb::handle quantization_config);
nb::object get_stamp(nb::handle graph);

}  // namespace ondrel::fingerprint
