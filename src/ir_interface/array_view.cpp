#include "ir_interface/array_view.hpp"

#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <array>

namespace ondrel {

namespace {

const Name ml_dtypes_name("ml_dtypes");
constexpr ElementKind first_low_precision = ElementKind::BFloat16;
constexpr std::array<const char*, 5> low_precision_names = {"bfloat16", "float8_e4m3fn", "float8_e5m2", "int4",
                                                            "uint4"};

// The scalar types of ml_dtypes, in ElementKind order, taken once it has been
// imported and held for the life of the process (as the module itself is).
const std::array<PyTypeObject*, 5>* low_precision_types() {
    static std::array<PyTypeObject*, 5> types{};
    if (types[0]) return &types;
    PyObject* module = PyImport_GetModule(ml_dtypes_name.get());
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    std::array<PyTypeObject*, 5> found{};
    bool complete = true;
    for (size_t i = 0; i < found.size(); ++i) {
        PyObject* type = PyObject_GetAttrString(module, low_precision_names[i]);
        if (type && PyType_Check(type)) {
            found[i] = reinterpret_cast<PyTypeObject*>(type);
            continue;
        }
        Py_XDECREF(type);
        PyErr_Clear();
        complete = false;
    }
    Py_DECREF(module);
    if (!complete) {
        for (PyTypeObject* type : found) Py_XDECREF(type);
        return nullptr;
    }
    types = found;
    return &types;
}

// A low-precision kind, for dtypes registered by ml_dtypes (user-defined
// type numbers) in native byte order; Other for every other dtype.
ElementKind low_precision_kind_of(PyArray_Descr* descr) {
    if (descr->type_num < NPY_USERDEF || (descr->byteorder == '>' && PyDataType_ELSIZE(descr) > 1))
        return ElementKind::Other;
    const std::array<PyTypeObject*, 5>* types = low_precision_types();
    if (!types) return ElementKind::Other;
    for (size_t i = 0; i < types->size(); ++i)
        if ((*types)[i] == descr->typeobj)
            return static_cast<ElementKind>(static_cast<int>(first_low_precision) + static_cast<int>(i));
    return ElementKind::Other;
}

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

// The struct format of a native-order numeric numpy dtype, or null (also for
// dtypes registered by other packages, whatever kind letter they claim).
const char* numeric_format(PyArray_Descr* descr) {
    if (descr->byteorder == '>' || descr->type_num >= NPY_USERDEF) return nullptr;
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

PyTypeObject* low_precision_type(ElementKind kind) {
    const int index = static_cast<int>(kind) - static_cast<int>(first_low_precision);
    if (index < 0 || index >= static_cast<int>(low_precision_names.size())) return nullptr;
    const std::array<PyTypeObject*, 5>* types = low_precision_types();
    return types ? (*types)[static_cast<size_t>(index)] : nullptr;
}

ElementKind low_precision_kind(nb::handle array) {
    PyArrayObject* ndarray = exact_ndarray(array);
    return ndarray ? low_precision_kind_of(PyArray_DESCR(ndarray)) : ElementKind::Other;
}

bool ArrayView::view_numeric_ndarray(nb::handle array) {
    PyArrayObject* ndarray = exact_ndarray(array);
    if (!ndarray) return false;
    PyArray_Descr* descr = PyArray_DESCR(ndarray);
    const char* format = numeric_format(descr);
    if (format) {
        kind_ = kind_of(format, PyArray_ITEMSIZE(ndarray));
    } else {
        kind_ = low_precision_kind_of(descr);
        if (kind_ == ElementKind::Other) return false;
        format = PyDataType_ELSIZE(descr) == 2 ? "H" : "B";
    }
    array_ = nb::borrow(array);
    buffer_.buf = PyArray_DATA(ndarray);
    buffer_.itemsize = PyArray_ITEMSIZE(ndarray);
    buffer_.len = PyArray_NBYTES(ndarray);
    buffer_.ndim = PyArray_NDIM(ndarray);
    buffer_.format = const_cast<char*>(format);
    copy_layout(PyArray_DIMS(ndarray), PyArray_STRIDES(ndarray));
    c_contiguous_ = PyArray_IS_C_CONTIGUOUS(ndarray);
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
