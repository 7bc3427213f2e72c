#include "ir_interface/array_view.hpp"

#include "ir_interface/numpy_api.hpp"

#include <algorithm>

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
    buffer_.format = const_cast<char*>(format);
    copy_layout(PyArray_DIMS(ndarray), PyArray_STRIDES(ndarray));
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
    if (buffer_.ndim > 0) copy_layout(buffer_.shape, buffer_.strides);  // strided requests always get a shape
}

void ArrayView::copy_layout(const Py_ssize_t* shape, const Py_ssize_t* strides) {
    const int ndim = buffer_.ndim;
    if (ndim > inline_dims) {
        large_layout_.resize(2 * static_cast<size_t>(ndim));
        layout_ = large_layout_.data();
    }
    std::copy(shape, shape + ndim, layout_);
    std::copy(strides, strides + ndim, layout_ + ndim);
}

ArrayView::~ArrayView() {
    if (valid_ && !array_.is_valid()) PyBuffer_Release(&buffer_);
}

}  // namespace ondrel
