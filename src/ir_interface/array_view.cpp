#include "ir_interface/array_view.hpp"

#include <cstring>

namespace ondrel {

namespace {

// Single-character struct formats in native byte order ("@", "=" or none;
// "<" too on this little-endian host).
ElementKind kind_of(const char* format, Py_ssize_t itemsize) {
    if (!format) return ElementKind::Unsigned;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return ElementKind::Other;
    switch (format[0]) {
        case 'e': case 'f': case 'd':
            return ElementKind::Float;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return ElementKind::Signed;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return ElementKind::Unsigned;
        case '?':
            return itemsize == 1 ? ElementKind::Bool : ElementKind::Other;
        default:
            return ElementKind::Other;
    }
}

}  // namespace

ArrayView::ArrayView(nb::handle array) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "'<' formats are treated as native");
    if (PyObject_GetBuffer(array.ptr(), &buffer_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return;
    }
    valid_ = true;
    kind_ = kind_of(buffer_.format, buffer_.itemsize);
}

ArrayView::~ArrayView() {
    if (valid_) PyBuffer_Release(&buffer_);
}

std::span<const Py_ssize_t> ArrayView::shape() const {
    if (!buffer_.shape) return {&buffer_.len, 0};
    return {buffer_.shape, static_cast<size_t>(buffer_.ndim)};
}

std::span<const Py_ssize_t> ArrayView::strides() const {
    if (!buffer_.strides) return {&buffer_.itemsize, 0};
    return {buffer_.strides, static_cast<size_t>(buffer_.ndim)};
}

bool ArrayView::c_contiguous() const { return PyBuffer_IsContiguous(&buffer_, 'C') != 0; }

}  // namespace ondrel
