// How pieces reach a hasher: one update per piece for a caller's hasher, or
// batched into few updates for the hashers a call owns.
#include "sdk/fingerprint/fingerprint.hpp"

#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

namespace ondrel::fingerprint {

namespace {

const Name tobytes_name("tobytes"), update_name("update"), hexdigest_name("hexdigest");

// Array bytes are copied into the buffer (under the guard), then hashed from
// there; hashlib hashes a full buffer without holding the interpreter lock.
constexpr size_t buffer_bytes = 256 * 1024;
// Other pieces this large (texts the call holds) are hashed from where they lie.
constexpr size_t direct_bytes = 16 * 1024;

nb::object memory_view(const void* data, size_t size) {
    return own(PyMemoryView_FromMemory(static_cast<char*>(const_cast<void*>(data)), static_cast<Py_ssize_t>(size),
                                       PyBUF_READ));
}

// The bytes of array.tobytes() go to a sink's private memory, copied under
// the guard (the array may be mapped from a file that shrinks meanwhile), or,
// when they can only be had by calling tobytes(), the call's result to
// object(result).
template <typename Target, typename Object>
void read_array_piece(nb::handle array, Target& target, Object&& object) {
    ArraySource source(array);
    if (const ArrayView* view = source.buffer()) {
        copy_array_bytes(*view, target);
        return;
    }
    object(source.call_tobytes());
}

// A caller's SHA-256 object takes the bytes in slices of a scratch buffer
// (no larger than the array, nor than the sinks' buffer).
class ScratchTarget {
public:
    ScratchTarget(const ArrayView& view, std::function<void(const char*, size_t)> update)
        : update_(std::move(update)),
          chunk_(std::max(static_cast<size_t>(view.itemsize()),
                          std::min(buffer_bytes, static_cast<size_t>(view.size_bytes())))) {}
    std::pair<void*, size_t> room() { return {chunk_.data() + used_, chunk_.size() - used_}; }
    void filled(size_t count) { used_ += count; }
    void drain() {
        if (used_) update_(chunk_.data(), used_);
        used_ = 0;
    }

private:
    std::function<void(const char*, size_t)> update_;
    std::vector<char> chunk_;
    size_t used_ = 0;
};

// A weight piece counted for the progress report as it is copied.
class ReportingTarget {
public:
    ReportingTarget(BatchingSink& hasher, ProgressReport& progress) : hasher_(hasher), progress_(progress) {}
    std::pair<void*, size_t> room() {
        auto [into, room] = hasher_.room();
        return {into, std::min(room, progress_.room())};
    }
    void filled(size_t count) {
        hasher_.filled(count);
        progress_.add(count);
    }
    void drain() { hasher_.drain(); }

private:
    BatchingSink& hasher_;
    ProgressReport& progress_;
};

// A structure piece of the dual fingerprint: copied once into the first
// hasher's buffer, and from there to the second.
class TeeTarget {
public:
    TeeTarget(BatchingSink& first, BatchingSink& second) : first_(first), second_(second) {}
    std::pair<void*, size_t> room() { return first_.room(); }
    void filled(size_t count) {
        const void* copied = first_.room().first;
        first_.filled(count);
        second_.append(copied, count);
    }
    void drain() { first_.drain(); }

private:
    BatchingSink& first_;
    BatchingSink& second_;
};

}  // namespace

ArraySource::ArraySource(nb::handle array) : array_(array) {
    const State& host = state();
    if (!host.ndarray_tobytes) return;  // numpy's tobytes could not be recognised: always call it
    bool numpys_tobytes = exact_ndarray(array) != nullptr;
    if (!numpys_tobytes) {
        tobytes_ = attr(array, tobytes_name);
        PyObject* method = tobytes_.ptr();
        numpys_tobytes = PyCFunction_Check(method) && PyCFunction_GET_SELF(method) == array.ptr() &&
                         reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(method)) == host.ndarray_tobytes;
    }
    if (!numpys_tobytes) return;
    view_.emplace(array);
    if (!view_->valid()) view_.reset();  // e.g. datetimes, which numpy does not export
}

nb::object ArraySource::call_tobytes() {
    if (!tobytes_.is_valid()) tobytes_ = attr(array_, tobytes_name);
    return own(PyObject_CallNoArgs(tobytes_.ptr()));
}

HasherSink::HasherSink(nb::handle hasher)
    : hasher_(hasher), takes_buffers_(reinterpret_cast<PyObject*>(Py_TYPE(hasher.ptr())) == state().hash_type.ptr()) {}

void HasherSink::update(nb::handle data) {
    if (!update_.is_valid()) update_ = attr(hasher_, update_name);
    own(PyObject_CallOneArg(update_.ptr(), data.ptr()));
}

void HasherSink::piece(std::string_view bytes) {
    update(own(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

void HasherSink::array_piece(nb::handle array) {
    ArraySource source(array);
    const ArrayView* view = source.buffer();
    if (!view) {
        update(source.call_tobytes());
        return;
    }
    if (takes_buffers_) {  // the same digest from slices as from one update
        ScratchTarget scratch(*view, [this](const char* data, size_t size) { update(memory_view(data, size)); });
        copy_array_bytes(*view, scratch);
        scratch.drain();
        return;
    }
    // What tobytes() would return, copied under the guard: one update per piece.
    nb::object bytes = own(PyBytes_FromStringAndSize(nullptr, view->size_bytes()));
    MemoryTarget target{reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.ptr())),
                        static_cast<size_t>(view->size_bytes())};
    copy_array_bytes(*view, target);
    update(bytes);
}

BatchingSink::BatchingSink()
    : hasher_(call(state().sha256, {})), update_(attr(hasher_, update_name)), buffer_(new char[buffer_bytes]) {}

void BatchingSink::update(const void* data, size_t size) {
    nb::object view = memory_view(data, size);
    own(PyObject_CallOneArg(update_.ptr(), view.ptr()));
}

void BatchingSink::flush() {
    if (used_ == 0) return;
    update(buffer_.get(), used_);
    used_ = 0;
}

void BatchingSink::append(const void* data, size_t size) {
    if (size >= direct_bytes) {
        flush();
        update(data, size);
        return;
    }
    if (used_ + size > buffer_bytes) flush();
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
}

void BatchingSink::append_object(nb::handle data) {
    if (PyBytes_CheckExact(data.ptr())) {
        append(PyBytes_AS_STRING(data.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())));
        return;
    }
    // Anything else goes to the hasher as it is, which accepts or rejects it.
    flush();
    own(PyObject_CallOneArg(update_.ptr(), data.ptr()));
}

std::pair<void*, size_t> BatchingSink::room() { return {buffer_.get() + used_, buffer_bytes - used_}; }

void BatchingSink::array_piece(nb::handle array) {
    read_array_piece(array, *this, [this](nb::handle result) { append_object(result); });
}

void ReportingSink::array_piece(nb::handle array) {
    ReportingTarget target(hasher_, progress_);
    read_array_piece(array, target, [this](nb::handle result) {
        hasher_.append_object(result);
        if (PyBytes_CheckExact(result.ptr())) progress_.add(static_cast<size_t>(PyBytes_GET_SIZE(result.ptr())));
    });
}

nb::object BatchingSink::hexdigest() {
    flush();
    return call_method(hasher_, hexdigest_name);
}

void TeeSink::piece(std::string_view bytes) {
    first_.piece(bytes);
    second_.piece(bytes);
}

void TeeSink::array_piece(nb::handle array) {
    TeeTarget target(first_, second_);
    read_array_piece(array, target, [this](nb::handle result) {
        first_.append_object(result);
        second_.append_object(result);
    });
}

}  // namespace ondrel::fingerprint
