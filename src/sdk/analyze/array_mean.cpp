// float(np.mean(array)) without a trip through numpy's Python-level mean for
// the arrays LIF layers hold: small, C-contiguous float32/float64 arrays.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/array_view.hpp"
#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"
#include "ir_interface/records.hpp"

namespace ondrel::analyze {

namespace {

// numpy's pairwise summation: 8-way unrolled blocks of up to 128 elements,
// halved recursively (on multiples of 8) above that. Reproducing its order
// reproduces its rounding.
template <typename T>
T pairwise_sum(const T* a, Py_ssize_t n) {
    if (n < 8) {
        T sum = 0;
        for (Py_ssize_t i = 0; i < n; ++i) sum += a[i];
        return sum;
    }
    if (n <= 128) {
        T r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        T sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += a[i];
        return sum;
    }
    Py_ssize_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

// numpy reduces in chunks of its buffer size (8192 elements by default) once an
// array is larger; only single-chunk arrays take the exact path here.
constexpr Py_ssize_t single_chunk = 8192;

// Native-order float32 or float64, C-contiguous, not empty, one chunk.
bool native_mean_fits(PyArrayObject* array) {
    PyArray_Descr* descr = PyArray_DESCR(array);
    Py_ssize_t n = PyArray_SIZE(array);
    return descr->kind == 'f' && descr->byteorder != '>' &&
           (PyDataType_ELSIZE(descr) == 8 || PyDataType_ELSIZE(descr) == 4) && PyArray_IS_C_CONTIGUOUS(array) &&
           n >= 1 && n <= single_chunk;
}

}  // namespace

bool has_native_mean(nb::handle array) {
    PyArrayObject* ndarray = exact_ndarray(array);
    return ndarray && native_mean_fits(ndarray);
}

nb::object array_mean(nb::handle array) {
    if (PyArrayObject* ndarray = exact_ndarray(array); ndarray && native_mean_fits(ndarray)) {
        Py_ssize_t n = PyArray_SIZE(ndarray);
        const void* data = PyArray_DATA(ndarray);
        if (PyArray_ITEMSIZE(ndarray) == 8) {
            double sum = 0.0;
            guarded_read([&] { sum += pairwise_sum(static_cast<const double*>(data), n); });  // may be mapped
            return floating(sum / static_cast<double>(n));
        }
        float sum = 0.0f;
        guarded_read([&] { sum += pairwise_sum(static_cast<const float*>(data), n); });
        // float32 / count: exactly rounded through double, as n < 2**24.
        return floating(static_cast<float>(static_cast<double>(sum) / static_cast<double>(n)));
    }
    static const nb::handle numpy_mean = nb::object(nb::module_::import_("numpy").attr("mean")).release();  // kept for the process
    // numpy's mean adds bfloat16, float8 and int4 values up in their own type,
    // where a sum stops growing (a bfloat16 sum of ones at 256) or wraps around
    // (int4): theirs is taken in double precision, as numpy does for integers.
    if (low_precision_kind(array) != ElementKind::Other)
        return floating(to_double(nb::borrow(numpy_mean)(array, nb::arg("dtype") = "float64")));
    return floating(to_double(call(numpy_mean, {array})));
}

}  // namespace ondrel::analyze
