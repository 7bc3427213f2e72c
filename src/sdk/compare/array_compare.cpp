// compare_arrays: for arrays of native numbers, the maximum difference and
// the tolerance verdict in one pass over both buffers, with numpy's own
// arithmetic reproduced element by element; numpy itself for everything else.
#include "sdk/compare/compare.hpp"

#include "ir_interface/array_walk.hpp"
#include "ir_interface/numpy_api.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

using namespace nanobind::literals;

namespace ondrel::compare {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

const Name dtype_name("dtype"), kind_name("kind"), shape_name("shape");

// ---- Half precision as numpy computes it: each operation is carried out in
// single precision and its result rounded to half, ties to even.

float half_to_float(uint16_t bits) {
    uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    uint32_t exponent = (bits >> 10) & 0x1fu, mantissa = bits & 0x3ffu;
    if (exponent == 0) {  // zero or subnormal: mantissa * 2^-24, exactly
        float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return sign ? -magnitude : magnitude;
    }
    uint32_t out = exponent == 0x1f ? (sign | 0x7f800000u | (mantissa << 13))
                                    : (sign | ((exponent + 112) << 23) | (mantissa << 13));
    return std::bit_cast<float>(out);
}

// The nearest half-precision value, ties to even; beyond the largest half
// (65504) the value overflows to infinity from 65520 on, the rounding tie.
double round_to_half(double x) {
    double magnitude = std::fabs(x);
    if (!(magnitude < 65520.0)) return std::isnan(x) ? x : std::copysign(infinity, x);
    double unit = 0x1p-24;  // spacing of the subnormal halves
    if (magnitude >= 0x1p-14) {
        int exponent = static_cast<int>(std::bit_cast<uint64_t>(magnitude) >> 52) - 1023;
        unit = std::bit_cast<double>(static_cast<uint64_t>(exponent - 10 + 1023) << 52);
    }
    double steps = magnitude / unit;              // exact: unit is a power of two
    double rounded = (steps + 0x1p52) - 0x1p52;   // to an integer, ties to even (steps < 2^11)
    return std::copysign(rounded * unit, x);
}

// ---- The precisions numpy computes in. Values converted into a precision
// are exact there whenever numpy's promotion chose it, except 64-bit
// integers into double, which round to nearest as numpy's casts do.

enum class Precision : uint8_t { Half, Single, Double, Exact };

template <Precision P>
struct Arithmetic;

template <>
struct Arithmetic<Precision::Double> {
    using Value = double;
    static Value scalar(double x) { return x; }
    template <class X>
    static Value of(X x) { return static_cast<double>(x); }
    static Value subtract(Value a, Value b) { return a - b; }
    static Value multiply(Value a, Value b) { return a * b; }
    static Value add(Value a, Value b) { return a + b; }
};

template <>
struct Arithmetic<Precision::Single> {
    using Value = float;
    static Value scalar(double x) { return static_cast<float>(x); }
    template <class X>
    static Value of(X x) { return static_cast<float>(x); }
    static Value subtract(Value a, Value b) { return a - b; }
    static Value multiply(Value a, Value b) { return a * b; }
    static Value add(Value a, Value b) { return a + b; }
};

template <>
struct Arithmetic<Precision::Half> {
    using Value = float;  // always holds a half-precision value
    static Value round(float x) { return static_cast<float>(round_to_half(x)); }
    static Value scalar(double x) { return static_cast<float>(round_to_half(x)); }
    template <class X>
    static Value of(X x) { return static_cast<float>(x); }
    static Value subtract(Value a, Value b) { return round(a - b); }
    static Value multiply(Value a, Value b) { return round(a * b); }
    static Value add(Value a, Value b) { return round(a + b); }
};

// ---- Element types: how each is stored, read, and which float precision
// is the narrowest numpy promotes it to.

template <Element E>
struct Traits;

template <class S, Precision Narrowest, bool Integer>
struct TraitsOf {
    using Stored = S;
    static constexpr Precision narrowest = Narrowest;
    static constexpr bool integer = Integer;
    static S load(S stored) { return stored; }
};

template <> struct Traits<Element::Bool> : TraitsOf<uint8_t, Precision::Half, true> {
    static int load(uint8_t stored) { return stored != 0; }
};
template <> struct Traits<Element::Int8> : TraitsOf<int8_t, Precision::Half, true> {};
template <> struct Traits<Element::Int16> : TraitsOf<int16_t, Precision::Single, true> {};
template <> struct Traits<Element::Int32> : TraitsOf<int32_t, Precision::Double, true> {};
template <> struct Traits<Element::Int64> : TraitsOf<int64_t, Precision::Double, true> {};
template <> struct Traits<Element::UInt8> : TraitsOf<uint8_t, Precision::Half, true> {};
template <> struct Traits<Element::UInt16> : TraitsOf<uint16_t, Precision::Single, true> {};
template <> struct Traits<Element::UInt32> : TraitsOf<uint32_t, Precision::Double, true> {};
template <> struct Traits<Element::UInt64> : TraitsOf<uint64_t, Precision::Double, true> {};
template <> struct Traits<Element::Float16> : TraitsOf<uint16_t, Precision::Half, false> {
    static float load(uint16_t stored) { return half_to_float(stored); }
};
template <> struct Traits<Element::Float32> : TraitsOf<float, Precision::Single, false> {};
template <> struct Traits<Element::Float64> : TraitsOf<double, Precision::Double, false> {};

template <size_t... I>
constexpr auto element_table(std::index_sequence<I...>) {
    struct Row {
        Precision narrowest;
        bool integer;
    };
    return std::array<Row, sizeof...(I)>{
        Row{Traits<static_cast<Element>(I)>::narrowest, Traits<static_cast<Element>(I)>::integer}...};
}
constexpr auto elements = element_table(std::make_index_sequence<element_types>{});

constexpr Precision wider(Precision a, Precision b) { return a > b ? a : b; }

// What the compiled kernel assumes numpy does; checked against numpy's own
// answer before the kernel runs.
// np.result_type(b, 1.0): the float type that b is judged in.
constexpr Precision tolerance_precision(Element b) {
    const auto& row = elements[static_cast<size_t>(b)];
    return row.integer ? Precision::Double : row.narrowest;
}
// np.result_type(a, <that type>): the type of x - y and x == y.
constexpr Precision verdict_precision(Element a, Element b) {
    return wider(elements[static_cast<size_t>(a)].narrowest, tolerance_precision(b));
}
// np.result_type(a, b), the type of a - b; integers subtract exactly.
constexpr Precision difference_precision(Element a, Element b) {
    const auto& row_a = elements[static_cast<size_t>(a)];
    const auto& row_b = elements[static_cast<size_t>(b)];
    if (row_a.integer && row_b.integer) return Precision::Exact;
    return wider(row_a.narrowest, row_b.narrowest);
}

// The exact value as a double, rounded to nearest once.
double exact_to_double(unsigned __int128 value) {
    uint64_t high = static_cast<uint64_t>(value >> 64);
    if (high == 0) return static_cast<double>(static_cast<uint64_t>(value));
    int shift = 64 - std::countl_zero(high);
    // The dropped bits survive as a sticky bit, so the one rounding below
    // (64 to 53 bits) is the correct one.
    unsigned __int128 dropped = value & ((static_cast<unsigned __int128>(1) << shift) - 1);
    uint64_t kept = static_cast<uint64_t>(value >> shift) | (dropped != 0);
    return std::ldexp(static_cast<double>(kept), shift);
}

// ---- The fused comparison of one element pair:
//   verdict:  numpy's isclose, |x - y| <= atol + rtol * |y| and y finite, or x == y,
//             with y = b in the tolerance type and x - y, x == y in the verdict type;
//   max_diff: |a - b| in numpy's type for a - b, exact for integers; NaN wins.

template <Element A, Element B>
struct CloseKernel {
    using StoredA = typename Traits<A>::Stored;
    using StoredB = typename Traits<B>::Stored;
    static constexpr Precision difference = difference_precision(A, B);
    using Verdict = Arithmetic<verdict_precision(A, B)>;
    using Tolerance = Arithmetic<tolerance_precision(B)>;
    static constexpr bool exact = difference == Precision::Exact;
    static constexpr bool narrow_integers = sizeof(StoredA) <= 4 && sizeof(StoredB) <= 4;
    using Signed = std::conditional_t<narrow_integers, int64_t, __int128>;
    using Magnitude = std::make_unsigned_t<Signed>;

    // The largest |a - b| so far: the exact magnitude for integers; for
    // floats the bit pattern of the (non-negative) magnitude, which orders
    // like the value and puts NaN above every number, so max_diff turns NaN
    // as soon as one difference is NaN and the loop stays free of branches.
    template <Precision P>
    struct FloatBits {
        using Value = typename Arithmetic<P>::Value;
        using type = std::conditional_t<sizeof(Value) == 4, uint32_t, uint64_t>;
    };
    struct ExactOf {
        using type = Magnitude;
    };
    using Largest = typename std::conditional_t<exact, ExactOf, FloatBits<exact ? Precision::Double : difference>>::type;

    struct Partial {
        unsigned not_close = 0;  // nonzero once a pair fails the tolerance test
        Largest largest = 0;
    };

    typename Tolerance::Value atol, rtol;

    template <class Value>
    static bool finite(Value v) {
        return std::fabs(v) <= std::numeric_limits<Value>::max();
    }

    void add(Partial& partial, StoredA stored_a, StoredB stored_b) const {
        auto a = Traits<A>::load(stored_a);
        auto b = Traits<B>::load(stored_b);

        auto y = Tolerance::of(b);
        auto x_v = Verdict::of(a), y_v = Verdict::of(y);
        auto distance = std::fabs(Verdict::subtract(x_v, y_v));
        auto tolerance = Tolerance::add(atol, Tolerance::multiply(rtol, std::fabs(y)));
        bool close = ((distance <= Verdict::of(tolerance)) & finite(y)) | (x_v == y_v);
        partial.not_close |= !close;

        Largest magnitude;
        if constexpr (exact) {
            Signed d = static_cast<Signed>(a) - static_cast<Signed>(b);
            magnitude = d < 0 ? static_cast<Magnitude>(-d) : static_cast<Magnitude>(d);
        } else {
            using Difference = Arithmetic<difference>;
            magnitude = std::bit_cast<Largest>(std::fabs(Difference::subtract(Difference::of(a), Difference::of(b))));
        }
        partial.largest = magnitude > partial.largest ? magnitude : partial.largest;
    }

    ArrayComparison result(const Partial& partial) const {
        if constexpr (exact) {
            return {partial.not_close == 0, exact_to_double(partial.largest)};
        } else {
            using Value = typename Arithmetic<difference>::Value;
            return {partial.not_close == 0, static_cast<double>(std::bit_cast<Value>(partial.largest))};
        }
    }
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

template <class T>
T load(const std::byte* at) {
    T value;
    std::memcpy(&value, at, sizeof value);  // buffers need not be aligned
    return value;
}

template <class Kernel>
[[gnu::always_inline]] inline void contiguous_loop(const Kernel& kernel, typename Kernel::Partial& partial,
                                                   const std::byte* a, const std::byte* b, Py_ssize_t count) {
    using StoredA = typename Kernel::StoredA;
    using StoredB = typename Kernel::StoredB;
    typename Kernel::Partial local = partial;
    for (Py_ssize_t i = 0; i < count; ++i)
        kernel.add(local, load<StoredA>(a + i * sizeof(StoredA)), load<StoredB>(b + i * sizeof(StoredB)));
    partial = local;
}

// The same loop compiled twice: for any x86-64 (SSE2) and for AVX2, chosen
// at run time. Only vector width changes; the arithmetic is IEEE either way
// (no fused multiply-add is enabled, so no rounding step is skipped).
template <class Kernel>
void contiguous_baseline(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a,
                         const std::byte* b, Py_ssize_t count) {
    contiguous_loop(kernel, partial, a, b, count);
}

template <class Kernel>
[[gnu::target("avx2")]] void contiguous_avx2(const Kernel& kernel, typename Kernel::Partial& partial,
                                             const std::byte* a, const std::byte* b, Py_ssize_t count) {
    contiguous_loop(kernel, partial, a, b, count);
}

bool cpu_has_avx2() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

template <class Kernel>
void run_contiguous(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
                    Py_ssize_t count) {
    if (cpu_has_avx2()) contiguous_avx2(kernel, partial, a, b, count);
    else contiguous_baseline(kernel, partial, a, b, count);
}

template <class Kernel>
void run_strided(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
                 Py_ssize_t count, Py_ssize_t step_a, Py_ssize_t step_b) {
    using StoredA = typename Kernel::StoredA;
    using StoredB = typename Kernel::StoredB;
    typename Kernel::Partial local = partial;
    for (Py_ssize_t i = 0; i < count; ++i) kernel.add(local, load<StoredA>(a + i * step_a), load<StoredB>(b + i * step_b));
    partial = local;
}

template <class Kernel>
void run_row(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
             Py_ssize_t count, Py_ssize_t step_a, Py_ssize_t step_b, bool contiguous) {
    if (contiguous) run_contiguous(kernel, partial, a, b, count);
    else run_strided(kernel, partial, a, b, count, step_a, step_b);
}

// A row in slices, each counted as processed once it is done. Only the
// layout and the data pointers are used across the report's host calls.
template <class Kernel>
void run_row_reporting(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
                       Py_ssize_t count, Py_ssize_t step_a, Py_ssize_t step_b, bool contiguous,
                       ProgressReport& progress) {
    constexpr size_t pair_bytes = sizeof(typename Kernel::StoredA) + sizeof(typename Kernel::StoredB);
    while (count > 0) {
        Py_ssize_t slice = std::min(count, static_cast<Py_ssize_t>(std::max<size_t>(1, progress.room() / pair_bytes)));
        run_row(kernel, partial, a, b, slice, step_a, step_b, contiguous);
        a += slice * step_a;
        b += slice * step_b;
        count -= slice;
        progress.add(static_cast<size_t>(slice) * pair_bytes);
    }
}

template <class Kernel>
typename Kernel::Partial run(const Kernel& kernel, const ArrayLayout& layout, const std::byte* a, const std::byte* b,
                             ProgressReport* progress) {
    typename Kernel::Partial partial;
    for_each_row(layout, a, b,
                 [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                     Py_ssize_t step_b) {
                     const bool contiguous = step_a == sizeof(typename Kernel::StoredA) &&
                                             step_b == sizeof(typename Kernel::StoredB);
                     if (progress)
                         run_row_reporting(kernel, partial, row_a, row_b, count, step_a, step_b, contiguous, *progress);
                     else
                         run_row(kernel, partial, row_a, row_b, count, step_a, step_b, contiguous);
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
    using Tolerance = typename Kernel::Tolerance;
    // atol and rtol enter numpy's arithmetic as Python floats: in b's float type.
    const Kernel kernel{Tolerance::scalar(atol), Tolerance::scalar(rtol)};
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

constexpr size_t pair_index(Element a, Element b) {
    return static_cast<size_t>(a) * element_types + static_cast<size_t>(b);
}

// ---- Host-side helpers.

bool same_shape(const ArrayView& a, const ArrayView& b) {
    if (a.ndim() != b.ndim()) return false;
    for (int i = 0; i < a.ndim(); ++i)
        if (a.shape()[i] != b.shape()[i]) return false;
    return true;
}

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

bool arrays_equal(nb::handle a, nb::handle b) {
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
