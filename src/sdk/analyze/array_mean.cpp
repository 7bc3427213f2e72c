// float(np.mean(array)) without a trip through numpy's Python-level mean for
// the arrays LIF layers hold: small, C-contiguous float32/float64 arrays.
#include "sdk/analyze/analyze.hpp"

#include "ir_interface/array_view.hpp"
#include "ir_interface/numpy_api.hpp"

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

bool native_mean_fits(const ArrayView& view) {
    Py_ssize_t n = view.valid() ? view.element_count() : 0;
    return view.kind() == ElementKind::Float && view.c_contiguous() && n >= 1 && n <= single_chunk &&
           (view.itemsize() == 8 || view.itemsize() == 4);
}

}  // namespace

bool has_native_mean(nb::handle array) { return exact_ndarray(array) && native_mean_fits(ArrayView(array)); }

nb::object array_mean(nb::handle array) {
    if (exact_ndarray(array)) {
        ArrayView view(array);
        Py_ssize_t n = view.valid() ? view.element_count() : 0;
        if (native_mean_fits(view)) {
            if (view.itemsize() == 8) {
                double sum = 0.0 + pairwise_sum(reinterpret_cast<const double*>(view.data()), n);
                return floating(sum / static_cast<double>(n));
            }
            if (view.itemsize() == 4) {
                float sum = 0.0f + pairwise_sum(reinterpret_cast<const float*>(view.data()), n);
                // float32 / count: exactly rounded through double, as n < 2**24.
                return floating(static_cast<float>(static_cast<double>(sum) / static_cast<double>(n)));
            }
        }
    }
    return floating(to_double(call(state().numpy_mean, {array})));
}

}  // namespace ondrel::analyze
