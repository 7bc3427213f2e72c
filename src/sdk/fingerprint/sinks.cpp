// How pieces reach a hasher: one update per piece for a caller's hasher, or
// batched into few updates for the hashers a call owns.
#include "sdk/fingerprint/fingerprint.hpp"

#include "ir_interface/array_walk.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <cstring>

namespace ondrel::fingerprint {

namespace {

const Name tobytes_name("tobytes"), update_name("update"), hexdigest_name("hexdigest");

constexpr size_t buffer_bytes = 64 * 1024;
// Pieces this large are hashed from where they lie rather than copied into
// the buffer; hashlib hashes them without holding the interpreter lock.
constexpr size_t direct_bytes = 16 * 1024;

nb::object memory_view(const void* data, size_t size) {
    return own(PyMemoryView_FromMemory(static_cast<char*>(const_cast<void*>(data)), static_cast<Py_ssize_t>(size),
                                       PyBUF_READ));
}

// Calls consume(data, size) with a strided buffer's elements in row-major
// order (what tobytes() returns), through a bounded scratch buffer.
template <typename Consume>
void for_each_row_major_chunk(const ArrayView& view, Consume&& consume) {
    const size_t itemsize = static_cast<size_t>(view.itemsize());
    std::vector<char> chunk(std::max(buffer_bytes, itemsize));
    size_t used = 0;
    for_each_row(plan_walk(view, view, WalkOrder::RowMajor), view.data(), view.data(),
                 [&](const std::byte* row, const std::byte*, Py_ssize_t count, Py_ssize_t step, Py_ssize_t) {
                     for (Py_ssize_t i = 0; i < count; ++i) {
                         if (used + itemsize > chunk.size()) {
                             consume(chunk.data(), used);
                             used = 0;
                         }
                         std::memcpy(chunk.data() + used, row + i * step, itemsize);
                         used += itemsize;
                     }
                 });
    if (used) consume(chunk.data(), used);
}

// Hands the bytes of array.tobytes() to bytes(data, size), possibly in several
// consecutive chunks, or, when they can only be had by calling tobytes(), the
// call's result to object(result).
template <typename Bytes, typename Object>
void read_array_piece(nb::handle array, Bytes&& bytes, Object&& object) {
    ArraySource source(array);
    if (const ArrayView* view = source.buffer()) {
        if (view->c_contiguous())
            bytes(view->data(), static_cast<size_t>(view->size_bytes()));
        else
            for_each_row_major_chunk(*view, bytes);
        return;
    }
    object(source.call_tobytes());
}

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
    if (takes_buffers_ && view && view->c_contiguous()) {
        update(memory_view(view->data(), static_cast<size_t>(view->size_bytes())));
        return;
    }
    update(source.call_tobytes());
}

BatchingSink::BatchingSink()
    : hasher_(call(state().sha256, {})), update_(attr(hasher_, update_name)) {
    buffer_.reserve(buffer_bytes);
}

void BatchingSink::update(const void* data, size_t size) {
    nb::object view = memory_view(data, size);
    own(PyObject_CallOneArg(update_.ptr(), view.ptr()));
}

void BatchingSink::flush() {
    if (buffer_.empty()) return;
    update(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void BatchingSink::append(const void* data, size_t size) {
    if (size >= direct_bytes) {
        flush();
        update(data, size);
        return;
    }
    if (buffer_.size() + size > buffer_bytes) flush();
    const char* bytes = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
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

void BatchingSink::array_piece(nb::handle array) {
    read_array_piece(
        array, [this](const void* data, size_t size) { append(data, size); },
        [this](nb::handle result) { append_object(result); });
}

void ReportingSink::array_piece(nb::handle array) {
    read_array_piece(
        array,
        [this](const void* data, size_t size) {
            const char* at = static_cast<const char*>(data);
            while (size) {
                size_t slice = std::min(size, progress_.room());
                hasher_.append(at, slice);
                progress_.add(slice);
                at += slice;
                size -= slice;
            }
        },
        [this](nb::handle result) {
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
    read_array_piece(
        array,
        [this](const void* data, size_t size) {
            first_.append(data, size);
            second_.append(data, size);
        },
        [this](nb::handle result) {
            first_.append_object(result);
            second_.append_object(result);
        });
}

}  // namespace ondrel::fingerprint
