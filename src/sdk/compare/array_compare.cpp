// compare_arrays: for arrays of native numbers, the maximum difference and
// the tolerance verdict in one pass over both buffers, with numpy's own
// arithmetic reproduced element by element; numpy itself for everything else.
#include "sdk/compare/element_arithmetic.hpp"

#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

using namespace nanobind::literals;

namespace ondrel::compare {

const Name dtype_name("dtype");

namespace {

const Name kind_name("kind"), shape_name("shape"), type_name("type");

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
    static constexpr bool numpy_types_only = !is_low_precision(E);
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

// ---- Two bfloat16 arrays, the common case of low-precision weights, at the
// speed of float32 per byte. A pair of elements is read as one 32-bit word:
// its upper half is the second element's float, the lower half shifted up
// the first's. Each element takes a few single-precision operations:
//   - the largest |x - y| in single precision: numpy rounds each difference
//     to bfloat16, and rounding is monotonic, so rounding the largest once
//     at the end gives numpy's largest (NaN above everything, as before);
//   - a sufficient test of closeness: |x - y| <= (atol + rtol * |y|) less a
//     margin of 2^-5 of itself (subtracted from its bits, which also keeps
//     it below infinity), far beyond what numpy's roundings of the tolerance
//     to bfloat16 can take away. A block where some element fails it is
//     judged again element by element, exactly; once an element is found
//     not close, only the largest difference is still computed.

constexpr uint32_t tolerance_margin = 1u << 18;  // in units of the tolerance's last place: 2^-5 of it
constexpr Py_ssize_t bfloat16_block = 4096;      // elements judged again together

struct BFloat16Sure {
    using StoredA = uint32_t;
    using StoredB = uint32_t;
    float atol, rtol;  // numpy's tolerances in bfloat16

    struct Partial {
        uint32_t largest = 0;  // bits of the largest |x - y|, unrounded
        int32_t unsure = 0;    // nonzero once an element fails the sufficient test
    };

    [[gnu::always_inline]] void element(Partial& partial, uint32_t x_bits, uint32_t y_bits) const {
        const float x = std::bit_cast<float>(x_bits), y = std::bit_cast<float>(y_bits);
        const uint32_t distance = std::bit_cast<uint32_t>(x - y) & 0x7fffffffu;
        partial.largest = distance > partial.largest ? distance : partial.largest;
        const float tolerance = atol + rtol * std::bit_cast<float>(y_bits & 0x7fffffffu);  // atol, rtol >= 0
        const int32_t sure_below = static_cast<int32_t>(std::bit_cast<uint32_t>(tolerance) - tolerance_margin);
        partial.unsure |= static_cast<int32_t>(distance) > sure_below;
    }

    void add(Partial& partial, uint32_t a, uint32_t b) const {
        element(partial, a << 16, b << 16);
        element(partial, a & 0xffff0000u, b & 0xffff0000u);
    }
};

struct BFloat16Largest {
    using StoredA = uint32_t;
    using StoredB = uint32_t;
    struct Partial {
        uint32_t largest = 0;
    };
    [[gnu::always_inline]] static void element(Partial& partial, uint32_t x_bits, uint32_t y_bits) {
        const uint32_t distance =
            std::bit_cast<uint32_t>(std::bit_cast<float>(x_bits) - std::bit_cast<float>(y_bits)) & 0x7fffffffu;
        partial.largest = distance > partial.largest ? distance : partial.largest;
    }
    void add(Partial& partial, uint32_t a, uint32_t b) const {
        element(partial, a << 16, b << 16);
        element(partial, a & 0xffff0000u, b & 0xffff0000u);
    }
};

// The two loops above with AVX-512 where the processor has it: twice the
// elements per instruction. (Its fused multiply-add may serve the sufficient
// test, whose margin does not depend on how the tolerance is rounded; the
// exact kernels are never compiled for it.)
template <class Kernel>
[[gnu::target("avx512f,avx512bw")]] void contiguous_avx512(const Kernel& kernel, typename Kernel::Partial& partial,
                                                          const std::byte* a, const std::byte* b, Py_ssize_t count) {
    contiguous_loop(kernel, partial, a, b, count);
}

template <class Kernel>
void run_wide(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
              Py_ssize_t count) {
    static const bool avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    }();
    if (avx512) contiguous_avx512(kernel, partial, a, b, count);
    else run_contiguous(kernel, partial, a, b, count);
}

ArrayComparison compare_bfloat16(const ArrayView& a, const ArrayView& b, const ArrayLayout& layout, double atol,
                                 double rtol, ProgressReport* progress) {
    using Exact = CloseKernel<Element::BFloat16, Element::BFloat16>;
    const Exact exact{PairArithmetic<Element::BFloat16, Element::BFloat16>::with(atol, rtol)};
    const BFloat16Sure sure{exact.atol, exact.rtol};
    const BFloat16Largest largest_only;
    // The sufficient test holds for tolerances that are not negative (nor NaN); others are judged exactly.
    const bool sure_test_holds = exact.atol >= 0 && exact.rtol >= 0;
    bool close = true;
    uint32_t largest = 0;  // as float bits; the exact kernel's values are already rounded, which changes nothing

    // Elements the fast loops do not take (strided rows, a last odd element) go through the exact kernel.
    auto judge_exactly = [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                             Py_ssize_t step_b, bool contiguous) {
        typename Exact::Partial partial;
        run_row(exact, partial, row_a, row_b, count, step_a, step_b, contiguous);
        close &= partial.not_close == 0;
        largest = std::max(largest, partial.largest);
    };
    for_each_row(layout, a.data(), b.data(),
                 [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                     Py_ssize_t step_b) {
                     if (step_a != 2 || step_b != 2) {
                         judge_exactly(row_a, row_b, count, step_a, step_b, false);
                         if (progress) progress->add(static_cast<size_t>(count) * 4);
                         return;
                     }
                     for (Py_ssize_t start = 0; start < count; start += bfloat16_block) {
                         const Py_ssize_t length = std::min(bfloat16_block, count - start), pairs = length / 2;
                         const std::byte *block_a = row_a + 2 * start, *block_b = row_b + 2 * start;
                         if (close && !sure_test_holds) {
                             judge_exactly(block_a, block_b, 2 * pairs, 2, 2, true);
                         } else if (close) {
                             BFloat16Sure::Partial partial;
                             run_wide(sure, partial, block_a, block_b, pairs);
                             largest = std::max(largest, partial.largest);
                             if (partial.unsure) judge_exactly(block_a, block_b, 2 * pairs, 2, 2, true);
                         } else {
                             BFloat16Largest::Partial partial;
                             run_wide(largest_only, partial, block_a, block_b, pairs);
                             largest = std::max(largest, partial.largest);
                         }
                         if (length % 2) judge_exactly(block_a + 2 * (length - 1), block_b + 2 * (length - 1), 1, 2, 2,
                                                       true);
                         if (progress) progress->add(static_cast<size_t>(length) * 4);
                     }
                 });
    return {close, static_cast<double>(round_to_bfloat16(std::bit_cast<float>(largest)))};
}

// ---- float8, int4 or uint4 against a one-byte type: every pair of bytes has
// one answer, so a large comparison looks each pair up in a table of the
// 65,536 answers, built with the exact kernel once per call (decoding and
// rounding these types costs more than a lookup in a table that stays in
// cache). An entry holds the bits of |a - b| (a non-negative float,
// or a small exact integer) with the top bit set when the pair is not close.

constexpr Py_ssize_t byte_pair_table_from = Py_ssize_t{1} << 18;  // elements; below, the table costs more than it saves
constexpr uint32_t not_close_bit = 0x80000000u;

constexpr bool is_low_precision_byte(Element e) {
    return e == Element::Float8E4M3 || e == Element::Float8E5M2 || e == Element::Int4 || e == Element::UInt4;
}

template <Element A, Element B>
constexpr bool takes_byte_pair_table = sizeof(typename Traits<A>::Stored) == 1 &&
                                       sizeof(typename Traits<B>::Stored) == 1 &&
                                       (is_low_precision_byte(A) || is_low_precision_byte(B));

template <Element A, Element B>
ArrayComparison compare_byte_pairs(const ArrayView& a, const ArrayView& b, const ArrayLayout& layout, double atol,
                                   double rtol, ProgressReport* progress) {
    using Kernel = CloseKernel<A, B>;
    const Kernel kernel{PairArithmetic<A, B>::with(atol, rtol)};
    std::vector<uint32_t> table(1u << 16);
    for (unsigned x = 0; x < 256; ++x) {
        for (unsigned y = 0; y < 256; ++y) {
            auto value_a = Traits<A>::load(static_cast<typename Kernel::StoredA>(x));
            auto value_b = Traits<B>::load(static_cast<typename Kernel::StoredB>(y));
            table[x << 8 | y] = static_cast<uint32_t>(Kernel::magnitude(value_a, value_b)) |
                                (kernel.close(value_a, value_b) ? 0u : not_close_bit);
        }
    }
    uint32_t flags = 0, largest = 0;
    for_each_row(layout, a.data(), b.data(),
                 [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                     Py_ssize_t step_b) {
                     for (Py_ssize_t i = 0; i < count; ++i) {
                         const uint32_t entry = table[static_cast<unsigned>(row_a[i * step_a]) << 8 |
                                                      static_cast<unsigned>(row_b[i * step_b])];
                         flags |= entry;
                         largest = std::max(largest, entry & ~not_close_bit);
                     }
                     if (progress) progress->add(static_cast<size_t>(count) * 2);
                 });
    return {(flags & not_close_bit) == 0, Kernel::value(static_cast<typename Kernel::Largest>(largest))};
}

// ---- Dispatch over the element-type pairs.

using CloseRunner = ArrayComparison (*)(const ArrayView&, const ArrayView&, const ArrayLayout&, double, double,
                                        ProgressReport*);

template <Element A, Element B>
ArrayComparison run_close(const ArrayView& a, const ArrayView& b, const ArrayLayout& layout, double atol, double rtol,
                          ProgressReport* progress) {
    if constexpr (A == Element::BFloat16 && B == Element::BFloat16) {
        return compare_bfloat16(a, b, layout, atol, rtol, progress);
    } else {
        if constexpr (takes_byte_pair_table<A, B>)
            if (layout.count >= byte_pair_table_from) return compare_byte_pairs<A, B>(a, b, layout, atol, rtol, progress);
        using Kernel = CloseKernel<A, B>;
        const Kernel kernel{PairArithmetic<A, B>::with(atol, rtol)};
        return kernel.result(run(kernel, layout, a.data(), b.data(), progress));
    }
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

// Whether `dtype` has the scalar type of a low-precision kind.
bool has_scalar_type(nb::handle dtype, ElementKind kind) {
    PyTypeObject* type = low_precision_type(kind);
    return type && attr(dtype, type_name).ptr() == reinterpret_cast<PyObject*>(type);
}

bool is_dtype(nb::handle dtype, Precision precision) {
    const State& np = state();
    switch (precision) {
        case Precision::Half: return equal(dtype, np.float_dtypes[0]);
        case Precision::Single: return equal(dtype, np.float_dtypes[1]);
        case Precision::Double: return equal(dtype, np.float_dtypes[2]);
        case Precision::BFloat16: return has_scalar_type(dtype, ElementKind::BFloat16);
        case Precision::Float8E4M3: return has_scalar_type(dtype, ElementKind::Float8E4M3);
        case Precision::Float8E5M2: return has_scalar_type(dtype, ElementKind::Float8E5M2);
        case Precision::Exact: break;
    }
    return false;
}

// An integer or boolean type: numpy's (dtype.kind in "biu"), int4 or uint4.
bool has_integer_dtype(nb::handle value) {
    nb::object dtype = attr_if_exists(value, dtype_name);
    if (!dtype.is_valid()) return false;
    if (has_scalar_type(dtype, ElementKind::Int4) || has_scalar_type(dtype, ElementKind::UInt4)) return true;
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
        case ElementKind::BFloat16: return Element::BFloat16;
        case ElementKind::Float8E4M3: return Element::Float8E4M3;
        case ElementKind::Float8E5M2: return Element::Float8E5M2;
        case ElementKind::Int4: return Element::Int4;
        case ElementKind::UInt4: return Element::UInt4;
        case ElementKind::Other:
            break;
    }
    return std::nullopt;
}

Element element_of(NumericType type) {
    static constexpr auto elements = std::to_array<Element>({
        Element::Bool, Element::Int8, Element::Int16, Element::Int32, Element::Int64, Element::UInt8,
        Element::UInt16, Element::UInt32, Element::UInt64, Element::Float16, Element::Float32, Element::Float64});
    static_assert(elements.size() == numeric_type_count);
    return elements[static_cast<size_t>(type)];
}

bool Promotions::kernel_agrees(uint32_t types_a, uint32_t types_b) {
    const auto& dtypes = state().numeric_dtypes;
    for (size_t a = 0; a < numeric_type_count; ++a) {
        if (!(types_a >> a & 1)) continue;
        for (size_t b = 0; b < numeric_type_count; ++b)
            if (types_b >> b & 1 && !kernel_agrees(element_of(static_cast<NumericType>(a)),
                                                   element_of(static_cast<NumericType>(b)), dtypes[a], dtypes[b]))
                return false;
    }
    return true;
}

bool Promotions::kernel_agrees(Element a, Element b, nb::handle dtype_a, nb::handle dtype_b) {
    Known& known = known_[pair_index(a, b)];
    if (known == Known::Unasked) {
        const State& np = state();
        bool agrees = false;
        try {
            nb::object tolerance = call(np.result_type, {dtype_b, floating(1.0)});
            agrees = is_dtype(tolerance, tolerance_precision(b)) &&
                     is_dtype(call(np.result_type, {dtype_a, tolerance}), verdict_precision(a, b));
            Precision difference = difference_precision(a, b);
            if (agrees && difference != Precision::Exact)
                agrees = is_dtype(call(np.result_type, {dtype_a, dtype_b}), difference);
        } catch (nb::python_error&) {
            // numpy cannot type this pair (numpy 1.x has no common type for bfloat16
            // and half, say): the numpy spelling raises what numpy raises.
            agrees = false;
        }
        known = agrees ? Known::Agrees : Known::Differs;
    }
    return known == Known::Agrees;
}

ArrayComparison compare_arrays(nb::handle a, nb::handle b, double atol, double rtol, Promotions& promotions,
                               ProgressReport* progress) {
    if (a.is_none() && b.is_none()) return {true, 0.0};
    if (a.is_none() || b.is_none()) return {false, infinity};
    if (exact_ndarray(a) && exact_ndarray(b) && kernels_judge(atol, rtol)) {
        ArrayView view_a(a), view_b(b);
        if (view_a.valid() && view_b.valid()) {
            if (!same_shape(view_a, view_b)) return {false, infinity};
            std::optional<Element> element_a = element_of(view_a), element_b = element_of(view_b);
            if (element_a && element_b &&
                promotions.kernel_agrees(*element_a, *element_b, attr(a, dtype_name), attr(b, dtype_name))) {
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
