// ondrel.sdk._mapped: the guarded read of ir_interface/guarded_read.hpp for
// the Python side (the IR layer's writer copies mapped arrays through it).
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
    set_public_names(m, {"copy"});
}
