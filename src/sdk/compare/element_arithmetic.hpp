// numpy's arithmetic on the element types the compiled kernels read, and the
// loops that run a kernel over rows of two arrays: shared by the comparison
// and the statistics of two arrays.
#pragma once

#include "sdk/compare/compare.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace ondrel::compare {

inline constexpr double infinity = std::numeric_limits<double>::infinity();

// ---- Half precision as numpy computes it: each operation is carried out in
// single precision and its result rounded to half, ties to even.

inline float half_to_float(uint16_t bits) {
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
inline double round_to_half(double x) {
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

// Single and double precision: the hardware's IEEE operations, as numpy's.
template <class T>
struct NativeArithmetic {
    using Value = T;
    static Value scalar(double x) { return static_cast<T>(x); }
    template <class X>
    static Value of(X x) { return static_cast<T>(x); }
    static Value subtract(Value a, Value b) { return a - b; }
    static Value multiply(Value a, Value b) { return a * b; }
    static Value add(Value a, Value b) { return a + b; }
    static Value divide(Value a, Value b) { return a / b; }
};

template <>
struct Arithmetic<Precision::Double> : NativeArithmetic<double> {};

template <>
struct Arithmetic<Precision::Single> : NativeArithmetic<float> {};

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
    static Value divide(Value a, Value b) { return round(a / b); }
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
inline constexpr auto elements = element_table(std::make_index_sequence<element_types>{});

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
inline double exact_to_double(unsigned __int128 value) {
    uint64_t high = static_cast<uint64_t>(value >> 64);
    if (high == 0) return static_cast<double>(static_cast<uint64_t>(value));
    int shift = 64 - std::countl_zero(high);
    // The dropped bits survive as a sticky bit, so the one rounding below
    // (64 to 53 bits) is the correct one.
    unsigned __int128 dropped = value & ((static_cast<unsigned __int128>(1) << shift) - 1);
    uint64_t kept = static_cast<uint64_t>(value >> shift) | (dropped != 0);
    return std::ldexp(static_cast<double>(kept), shift);
}

// ---- One element pair as numpy computes it:
//   close:     numpy's isclose, |x - y| <= atol + rtol * |y| and y finite, or x == y,
//              with y = b in the tolerance type and x - y, x == y in the verdict type;
//   magnitude: |a - b| in numpy's type for a - b, exact for integers.

template <Element A, Element B>
struct PairArithmetic {
    using StoredA = typename Traits<A>::Stored;
    using StoredB = typename Traits<B>::Stored;
    static constexpr Precision difference = difference_precision(A, B);
    using Verdict = Arithmetic<verdict_precision(A, B)>;
    using Tolerance = Arithmetic<tolerance_precision(B)>;
    static constexpr bool exact = difference == Precision::Exact;
    static constexpr bool narrow_integers = sizeof(StoredA) <= 4 && sizeof(StoredB) <= 4;
    using Signed = std::conditional_t<narrow_integers, int64_t, __int128>;
    using Magnitude = std::make_unsigned_t<Signed>;

    // |a - b| as an unsigned number that orders like the value: the exact
    // magnitude for integers; for floats the bit pattern of the (non-negative)
    // magnitude, which puts NaN above every number, so a running maximum turns
    // NaN as soon as one difference is NaN and loops stay free of branches.
    template <Precision P>
    struct FloatBits {
        using Value = typename Arithmetic<P>::Value;
        using type = std::conditional_t<sizeof(Value) == 4, uint32_t, uint64_t>;
    };
    struct ExactOf {
        using type = Magnitude;
    };
    using Largest = typename std::conditional_t<exact, ExactOf, FloatBits<exact ? Precision::Double : difference>>::type;

    typename Tolerance::Value atol, rtol;

    // atol and rtol enter numpy's arithmetic as Python floats: in b's float type.
    static PairArithmetic with(double atol, double rtol) {
        return {Tolerance::scalar(atol), Tolerance::scalar(rtol)};
    }

    template <class Value>
    static bool finite(Value v) {
        return std::fabs(v) <= std::numeric_limits<Value>::max();
    }

    template <class X, class Y>
    bool close(X a, Y b) const {
        auto y = Tolerance::of(b);
        auto x_v = Verdict::of(a), y_v = Verdict::of(y);
        auto distance = std::fabs(Verdict::subtract(x_v, y_v));
        auto tolerance = Tolerance::add(atol, Tolerance::multiply(rtol, std::fabs(y)));
        return ((distance <= Verdict::of(tolerance)) & finite(y)) | (x_v == y_v);
    }

    template <class X, class Y>
    static Largest magnitude(X a, Y b) {
        if constexpr (exact) {
            Signed d = static_cast<Signed>(a) - static_cast<Signed>(b);
            return d < 0 ? static_cast<Magnitude>(-d) : static_cast<Magnitude>(d);
        } else {
            using Difference = Arithmetic<difference>;
            return std::bit_cast<Largest>(std::fabs(Difference::subtract(Difference::of(a), Difference::of(b))));
        }
    }

    static double value(Largest largest) {
        if constexpr (exact) return exact_to_double(largest);
        else return static_cast<double>(std::bit_cast<typename Arithmetic<difference>::Value>(largest));
    }
};

// ---- Running a kernel over rows.

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

inline bool cpu_has_avx2() {
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

constexpr size_t pair_index(Element a, Element b) {
    return static_cast<size_t>(a) * element_types + static_cast<size_t>(b);
}

inline bool same_shape(const ArrayView& a, const ArrayView& b) {
    if (a.ndim() != b.ndim()) return false;
    for (int i = 0; i < a.ndim(); ++i)
        if (a.shape()[i] != b.shape()[i]) return false;
    return true;
}

}  // namespace ondrel::compare
