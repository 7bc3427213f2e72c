// compare_arrays: for arrays of native numbers, the maximum difference and
// the tolerance verdict in one pass over both buffers, with numpy's own
// arithmetic reproduced element by element; numpy itself for everything else.
#include "sdk/compare/element_arithmetic.hpp"

#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

using namespace nanobind::literals;

namespace ondrel::compare {

namespace {

const Name dtype_name("dtype"), kind_name("kind"), shape_name("shape");

// ---- The fused comparison: the verdict and the largest |a - b|; NaN wins.

template <Element A, Element B>
struct CloseKernel : PairArithmetic<A, B> {
    using Pair = PairArithmetic<A, B>;
    using typename Pair::Largest;
    using typename Pair::StoredA;
    using typename Pair::StoredB;

    struct Partial {
        unsigned not_close = 0;  // nonzero once a pair fails the tolerance test
        Largest largest = 0;
    };

    void add(Partial& partial, StoredA stored_a, StoredB stored_b) const {
        auto a = Traits<A>::load(stored_a);
        auto b = Traits<B>::load(stored_b);
        partial.not_close |= !this->close(a, b);
        Largest magnitude = Pair::magnitude(a, b);
        partial.largest = magnitude > partial.largest ? magnitude : partial.largest;
    }

    ArrayComparison result(const Partial& partial) const { return {partial.not_close == 0, Pair::value(partial.largest)}; }
};

// Exact equality of two arrays of one element type, as numpy's a == b.
template <Element E>
struct EqualKernel {
    using StoredA = typename Traits<E>::Stored;
    using StoredB = StoredA;
    struct Partial {
        bool equal = true;
    };
    void add(Partial& partial, StoredA a, StoredB b) const {
        partial.equal &= Traits<E>::load(a) == Traits<E>::load(b);
    }
};

// Visiting order does not change a maximum or an all(), so the walk follows memory.
ArrayLayout plan(const ArrayView& a, const ArrayView& b) { return plan_walk(a, b, WalkOrder::MemoryOrder); }

// A row in slices, each counted as processed once it is done. Only the
// layout and the data pointers are used across the report's host calls,
// which run between the guarded slices.
template <class Kernel>
void run_row_reporting(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
                       Py_ssize_t count, Py_ssize_t step_a, Py_ssize_t step_b, bool contiguous,
                       ProgressReport& progress) {
    constexpr size_t pair_bytes = sizeof(typename Kernel::StoredA) + sizeof(typename Kernel::StoredB);
    while (count > 0) {
        Py_ssize_t slice = std::min(count, static_cast<Py_ssize_t>(std::max<size_t>(1, progress.room() / pair_bytes)));
        guarded_read([&] { run_row(kernel, partial, a, b, slice, step_a, step_b, contiguous); });
        a += slice * step_a;
        b += slice * step_b;
        count -= slice;
        progress.add(static_cast<size_t>(slice) * pair_bytes);
    }
}

// The arrays may be mapped from files that shrink meanwhile: the walk runs
// guarded, whole, or slice by slice between progress reports.
template <class Kernel>
typename Kernel::Partial run(const Kernel& kernel, const ArrayLayout& layout, const std::byte* a, const std::byte* b,
                             ProgressReport* progress) {
    typename Kernel::Partial partial;
    if (!progress) {
        guarded_read([&] {
            for_each_row(layout, a, b,
                         [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                             Py_ssize_t step_b) {
                             const bool contiguous = step_a == sizeof(typename Kernel::StoredA) &&
                                                     step_b == sizeof(typename Kernel::StoredB);
                             run_row(kernel, partial, row_a, row_b, count, step_a, step_b, contiguous);
                         });
        });
        return partial;
    }
    for_each_row(layout, a, b,
                 [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                     Py_ssize_t step_b) {
                     const bool contiguous = step_a == sizeof(typename Kernel::StoredA) &&
                                             step_b == sizeof(typename Kernel::StoredB);
                     run_row_reporting(kernel, partial, row_a, row_b, count, step_a, step_b, contiguous, *progress);
                 });
    return partial;
}

// ---- Dispatch over the element-type pairs.

using CloseRunner = ArrayComparison (*)(const ArrayView&, const ArrayView&, const ArrayLayout&, double, double,
                                        ProgressReport*);

template <Element A, Element B>
ArrayComparison run_close(const ArrayView& a, const ArrayView& b, const ArrayLayout& layout, double atol, double rtol,
                          ProgressReport* progress) {
    using Kernel = CloseKernel<A, B>;
    const Kernel kernel{PairArithmetic<A, B>::with(atol, rtol)};
    return kernel.result(run(kernel, layout, a.data(), b.data(), progress));
}

template <size_t... I>
constexpr auto close_runners(std::index_sequence<I...>) {
    return std::array<CloseRunner, sizeof...(I)>{
        &run_close<static_cast<Element>(I / element_types), static_cast<Element>(I % element_types)>...};
}
constexpr auto close_runner = close_runners(std::make_index_sequence<element_types * element_types>{});

using EqualRunner = bool (*)(const ArrayView&, const ArrayView&, const ArrayLayout&);

template <Element E>
bool run_equal(const ArrayView& a, const ArrayView& b, const ArrayLayout& layout) {
    return run(EqualKernel<E>{}, layout, a.data(), b.data(), nullptr).equal;
}

template <size_t... I>
constexpr auto equal_runners(std::index_sequence<I...>) {
    return std::array<EqualRunner, sizeof...(I)>{&run_equal<static_cast<Element>(I)>...};
}
constexpr auto equal_runner = equal_runners(std::make_index_sequence<element_types>{});

// ---- Host-side helpers.

bool is_dtype(nb::handle dtype, Precision precision) {
    return equal(dtype, state().float_dtypes[static_cast<size_t>(precision)]);
}

// An integer or boolean numpy type (dtype.kind in "biu").
bool has_integer_dtype(nb::handle value) {
    nb::object dtype = attr_if_exists(value, dtype_name);
    if (!dtype.is_valid()) return false;
    nb::object kind = attr_if_exists(dtype, kind_name);
    if (!kind.is_valid() || !PyUnicode_Check(kind.ptr())) return false;
    std::string letter = str_of(kind);
    return letter == "b" || letter == "i" || letter == "u";
}

// The comparison spelled with numpy calls, for whatever the kernel does not
// read: other element types, byte orders, array subclasses, array-likes.
ArrayComparison compare_with_numpy(nb::handle a, nb::handle b, nb::handle shape, double atol, double rtol) {
    const State& np = state();
    // Integers and booleans subtract as host integers: numpy's a - b wraps
    // around for integers and refuses booleans.
    nb::object difference = has_integer_dtype(a) && has_integer_dtype(b)
                                 ? np.subtract(a, b, "dtype"_a = np.object_dtype)
                                 : own(PyNumber_Subtract(a.ptr(), b.ptr()));
    double max_diff = 0.0;  // two empty arrays: nothing differs
    if (truthy(shape_product(shape))) max_diff = to_double(call(np.max, {call(np.absolute, {difference})}));
    bool match = truthy(np.allclose(a, b, "atol"_a = atol, "rtol"_a = rtol));
    return {match, max_diff};
}

}  // namespace

std::optional<Element> element_of(const ArrayView& view) {
    if (!view.valid() || view.ndim() > max_array_dims) return std::nullopt;
    switch (view.kind()) {
        case ElementKind::Bool:
            return Element::Bool;
        case ElementKind::Signed:
            switch (view.itemsize()) {
                case 1: return Element::Int8;
                case 2: return Element::Int16;
                case 4: return Element::Int32;
                case 8: return Element::Int64;
            }
            break;
        case ElementKind::Unsigned:
            switch (view.itemsize()) {
                case 1: return Element::UInt8;
                case 2: return Element::UInt16;
                case 4: return Element::UInt32;
                case 8: return Element::UInt64;
            }
            break;
        case ElementKind::Float:
            switch (view.itemsize()) {
                case 2: return Element::Float16;
                case 4: return Element::Float32;
                case 8: return Element::Float64;
            }
            break;
        case ElementKind::Other:
            break;
    }
    return std::nullopt;
}

bool Promotions::kernel_agrees(Element a, Element b, nb::handle array_a, nb::handle array_b) {
    Known& known = known_[pair_index(a, b)];
    if (known == Known::Unasked) {
        const State& np = state();
        nb::object dtype_a = attr(array_a, dtype_name), dtype_b = attr(array_b, dtype_name);
        nb::object tolerance = call(np.result_type, {dtype_b, floating(1.0)});
        bool agrees = is_dtype(tolerance, tolerance_precision(b)) &&
                      is_dtype(call(np.result_type, {dtype_a, tolerance}), verdict_precision(a, b));
        Precision difference = difference_precision(a, b);
        if (agrees && difference != Precision::Exact)
            agrees = is_dtype(call(np.result_type, {dtype_a, dtype_b}), difference);
        known = agrees ? Known::Agrees : Known::Differs;
    }
    return known == Known::Agrees;
}

ArrayComparison compare_arrays(nb::handle a, nb::handle b, double atol, double rtol, Promotions& promotions,
                               ProgressReport* progress) {
    if (a.is_none() && b.is_none()) return {true, 0.0};
    if (a.is_none() || b.is_none()) return {false, infinity};
    if (exact_ndarray(a) && exact_ndarray(b)) {
        ArrayView view_a(a), view_b(b);
        if (view_a.valid() && view_b.valid()) {
            if (!same_shape(view_a, view_b)) return {false, infinity};
            std::optional<Element> element_a = element_of(view_a), element_b = element_of(view_b);
            if (element_a && element_b && promotions.kernel_agrees(*element_a, *element_b, a, b)) {
                CloseRunner runner = close_runner[pair_index(*element_a, *element_b)];
                return runner(view_a, view_b, plan(view_a, view_b), atol, rtol, progress);
            }
        }
    }
    nb::object shape_a = attr(a, shape_name), shape_b = attr(b, shape_name);
    if (not_equal(shape_a, shape_b)) return {false, infinity};
    ArrayComparison result = compare_with_numpy(a, b, shape_a, atol, rtol);
    PyArrayObject *ndarray_a = exact_ndarray(a), *ndarray_b = exact_ndarray(b);
    if (progress && ndarray_a && ndarray_b)
        progress->add(static_cast<size_t>(PyArray_NBYTES(ndarray_a) + PyArray_NBYTES(ndarray_b)));
    return result;
}

namespace {

// Integer arrays laid out alike (C order, one dtype in native byte order,
// one shape) hold equal elements exactly when they hold equal bytes: port
// shapes, mostly, compared without building views.
std::optional<bool> same_integer_bytes(PyArrayObject* a, PyArrayObject* b) {
    if (!a || !b || PyArray_TYPE(a) != PyArray_TYPE(b) || PyArray_NDIM(a) != PyArray_NDIM(b)) return std::nullopt;
    char kind = PyArray_DESCR(a)->kind;
    if ((kind != 'i' && kind != 'u') || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISNOTSWAPPED(b)) return std::nullopt;
    if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_IS_C_CONTIGUOUS(b)) return std::nullopt;
    if (!std::equal(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a), PyArray_DIMS(b))) return false;
    bool same = false;
    guarded_read([&] { same = std::memcmp(PyArray_DATA(a), PyArray_DATA(b), static_cast<size_t>(PyArray_NBYTES(a))) == 0; });
    return same;
}

}  // namespace

bool arrays_equal(nb::handle a, nb::handle b) {
    if (std::optional<bool> same = same_integer_bytes(exact_ndarray(a), exact_ndarray(b))) return *same;
    if (exact_ndarray(a) && exact_ndarray(b)) {
        ArrayView view_a(a), view_b(b);
        if (view_a.valid() && view_b.valid()) {
            if (!same_shape(view_a, view_b)) return false;
            std::optional<Element> element_a = element_of(view_a), element_b = element_of(view_b);
            if (element_a && element_b && *element_a == *element_b)
                return equal_runner[static_cast<size_t>(*element_a)](view_a, view_b, plan(view_a, view_b));
        }
    }
    return truthy(call(state().array_equal, {a, b}));
}

ArrayComparison ArrayComparer::operator()(nb::handle a, nb::handle b, double atol, double rtol) {
    if (!replaced_.is_valid()) return compare_arrays(a, b, atol, rtol, promotions_, progress_);
    nb::object result = call(replaced_, {a, b, floating(atol), floating(rtol)});
    std::vector<nb::object> pair = unpack_exactly(result, 2);
    return {truthy(pair[0]), to_double(pair[1])};
}

}  // namespace ondrel::compare
