#include "ir_interface/array_view.hpp"

#include "ir_interface/numpy_api.hpp"

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

// The struct format of a native-order numeric numpy dtype, or null.
const char* numeric_format(PyArray_Descr* descr) {
    if (descr->byteorder == '>') return nullptr;
    Py_ssize_t size = PyDataType_ELSIZE(descr);
    switch (descr->kind) {
        case 'f': return size == 2 ? "e" : size == 4 ? "f" : size == 8 ? "d" : nullptr;
        case 'i': return size == 1 ? "b" : size == 2 ? "h" : size == 4 ? "i" : size == 8 ? "q" : nullptr;
        case 'u': return size == 1 ? "B" : size == 2 ? "H" : size == 4 ? "I" : size == 8 ? "Q" : nullptr;
        case 'b': return size == 1 ? "?" : nullptr;
        default: return nullptr;
    }
}

}  // namespace

bool ArrayView::view_numeric_ndarray(nb::handle array) {
    PyArrayObject* ndarray = exact_ndarray(array);
    if (!ndarray) return false;
    const char* format = numeric_format(PyArray_DESCR(ndarray));
    if (!format) return false;
    array_ = nb::borrow(array);
    buffer_.buf = PyArray_DATA(ndarray);
    buffer_.itemsize = PyArray_ITEMSIZE(ndarray);
    buffer_.len = PyArray_NBYTES(ndarray);
    buffer_.ndim = PyArray_NDIM(ndarray);
    buffer_.shape = PyArray_DIMS(ndarray);
    buffer_.strides = PyArray_STRIDES(ndarray);
    buffer_.format = const_cast<char*>(format);
    c_contiguous_ = PyArray_IS_C_CONTIGUOUS(ndarray);
    kind_ = kind_of(format, buffer_.itemsize);
    valid_ = true;
    return true;
}

ArrayView::ArrayView(nb::handle array) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "'<' formats are treated as native");
    if (view_numeric_ndarray(array)) return;
    if (PyObject_GetBuffer(array.ptr(), &buffer_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return;
    }
    valid_ = true;
    c_contiguous_ = PyBuffer_IsContiguous(&buffer_, 'C') != 0;
    kind_ = kind_of(buffer_.format, buffer_.itemsize);
}

ArrayView::~ArrayView() {
    if (valid_ && !array_.is_valid()) PyBuffer_Release(&buffer_);
}

std::span<const Py_ssize_t> ArrayView::shape() const {
    if (!buffer_.shape) return {&buffer_.len, 0};
    return {buffer_.shape, static_cast<size_t>(buffer_.ndim)};
}

std::span<const Py_ssize_t> ArrayView::strides() const {
    if (!buffer_.strides) return {&buffer_.itemsize, 0};
    return {buffer_.strides, static_cast<size_t>(buffer_.ndim)};
}

}  // namespace ondrel
