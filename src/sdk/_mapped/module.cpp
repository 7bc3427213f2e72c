// ondrel.sdk._mapped: the guarded read of ir_interface/guarded_read.hpp for
// the Python side (the IR layer's writer copies mapped arrays through it,
// signing hashes mapped files through it).
#include "ir_interface/guarded_read.hpp"
#include "ir_interface/host_function.hpp"

namespace nb = nanobind;

namespace {

using namespace ondrel;

// A writable, C-contiguous buffer, released when done.
class WritableBuffer {
public:
    explicit WritableBuffer(nb::handle object) {
        check(PyObject_GetBuffer(object.ptr(), &buffer_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    }
    ~WritableBuffer() { PyBuffer_Release(&buffer_); }
    WritableBuffer(const WritableBuffer&) = delete;
    WritableBuffer& operator=(const WritableBuffer&) = delete;
    std::byte* data() const { return static_cast<std::byte*>(buffer_.buf); }
    size_t size() const { return static_cast<size_t>(buffer_.len); }

private:
    Py_buffer buffer_{};
};

nb::object copy(nb::handle source, nb::handle destination) {
    ArrayView view(source);
    if (!view.valid()) raise(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", ondrel::type_name(source));
    WritableBuffer into(destination);
    const size_t size = static_cast<size_t>(view.size_bytes());
    if (into.size() < size)
        raise(PyExc_ValueError, "the destination holds %zu bytes, the source %zu", into.size(), size);
    MemoryTarget target{into.data(), size};
    copy_array_bytes(view, target);
    return own(PyLong_FromSize_t(size));
}

// Slices a hasher is fed: large enough that hashlib hashes them without the
// interpreter lock, small enough to stay in the core's cache between the copy
// and the hashing.
constexpr size_t hash_slice_bytes = 256 * 1024;
const Name update_name("update");

nb::object hash_into(nb::handle source, nb::handle hasher) {
    ArrayView view(source);
    if (!view.valid()) raise(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", ondrel::type_name(source));
    if (!view.c_contiguous()) raise(PyExc_ValueError, "the source must be C-contiguous");
    const size_t size = static_cast<size_t>(view.size_bytes());
    nb::object update = attr(hasher, update_name);
    // The slices go through memory of a bytearray: the view held of it keeps it
    // from being resized or freed, whatever the hasher does with the slices.
    const size_t scratch_bytes = std::min(size, hash_slice_bytes);
    nb::object scratch = own(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(scratch_bytes)));
    nb::object whole = own(PyMemoryView_FromObject(scratch.ptr()));
    char* into = PyByteArray_AS_STRING(scratch.ptr());
    for (size_t done = 0; done < size;) {
        const size_t count = std::min(scratch_bytes, size - done);
        guarded_copy_unlocked(into, view.data() + done, count);
        nb::object slice =
            count == scratch_bytes ? whole : own(PySequence_GetSlice(whole.ptr(), 0, static_cast<Py_ssize_t>(count)));
        own(PyObject_CallOneArg(update.ptr(), slice.ptr()));
        done += count;
    }
    return own(PyLong_FromSize_t(size));
}

}  // namespace

NB_MODULE(_mapped, m) {
    m.doc() = "Reading arrays whose memory a mapped file backs, so that a file truncated meanwhile is an error.";
    define_function<copy>(m, "copy", {"source", "destination"},
                          "Copy the bytes of source, in row-major order (what tobytes() returns), to the start\n"
                          "of destination, a writable C-contiguous buffer at least as large.\n\n"
                          "A source whose mapped file was truncated meanwhile raises OSError (errno EFAULT,\n"
                          "'file changed while it was being read') instead of killing the process.\n\n"
                          "Returns:\n"
                          "    The number of bytes copied");
    define_function<hash_into>(m, "hash_into", {"source", "hasher"},
                               "Feed the bytes of source, a C-contiguous bytes-like object, to hasher.update in\n"
                               "slices, each copied under the guard into memory of the call's own with the\n"
                               "interpreter lock released, so that threads hashing mapped files run in parallel.\n\n"
                               "A source whose mapped file was truncated meanwhile raises OSError (errno EFAULT,\n"
                               "'file changed while it was being read') instead of killing the process.\n\n"
                               "Returns:\n"
                               "    The number of bytes hashed");
    set_public_names(m, {"copy", "hash_into"});
}
