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

// ---- The low-precision floats of ml_dtypes. Their arithmetic, like numpy's
// for half, is single precision rounded to the type; numpy converts a Python
// float into them through single precision too.

// bfloat16 is the upper half of a float: round the lower half away, ties to
// even (a carry into the exponent overflows to infinity, as it should).
inline float round_to_bfloat16(float x) {
    uint32_t bits = std::bit_cast<uint32_t>(x);
    uint32_t rounded = (bits + 0x7fffu + ((bits >> 16) & 1u)) & 0xffff0000u;
    return x != x ? x : std::bit_cast<float>(rounded);
}

constexpr float power_of_two(int exponent) {
    float value = 1.0f;
    for (; exponent > 0; --exponent) value *= 2.0f;
    for (; exponent < 0; ++exponent) value /= 2.0f;
    return value;
}

// The nearest value of a float with `Mantissa` stored bits whose smallest
// normal is 2^MinExponent, ties to even; above the largest finite value (the
// bits of a float) it overflows to infinity (float8_e5m2) or, for a type
// without one, to NaN (float8_e4m3fn).
template <int Mantissa, int MinExponent, uint32_t LargestBits, bool HasInfinity>
inline float round_to_small_float(float x) {
    constexpr int dropped = 23 - Mantissa;
    const float magnitude = std::fabs(x);
    const uint32_t bits = std::bit_cast<uint32_t>(magnitude);
    const float normal = std::bit_cast<float>((bits + ((1u << (dropped - 1)) - 1u) + ((bits >> dropped) & 1u)) &
                                              ~((1u << dropped) - 1u));
    // Below the smallest normal the spacing is fixed: adding a power of two
    // whose own spacing is that one rounds to it (ties to even), exactly.
    constexpr float spacing_maker = power_of_two(MinExponent - Mantissa + 23);
    constexpr float smallest_normal = power_of_two(MinExponent);
    const float subnormal = (magnitude + spacing_maker) - spacing_maker;
    float rounded = magnitude < smallest_normal ? subnormal : normal;
    constexpr float largest = std::bit_cast<float>(LargestBits);
    constexpr float overflow =
        HasInfinity ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    rounded = rounded > largest ? overflow : rounded;
    rounded = magnitude != magnitude ? magnitude : rounded;
    return std::copysign(rounded, x);
}

// float8_e4m3fn: 4 exponent bits (bias 7), 3 mantissa bits, largest 448, NaN but no infinity.
inline float round_to_float8_e4m3(float x) { return round_to_small_float<3, -6, 0x43e00000u, false>(x); }
// float8_e5m2: 5 exponent bits (bias 15), 2 mantissa bits, largest 57344, infinities.
inline float round_to_float8_e5m2(float x) { return round_to_small_float<2, -14, 0x47600000u, true>(x); }

inline float bfloat16_to_float(uint16_t bits) { return std::bit_cast<float>(static_cast<uint32_t>(bits) << 16); }

inline float float8_e4m3_to_float(uint8_t bits) {
    const uint32_t magnitude = bits & 0x7fu;
    const float normal = std::bit_cast<float>((magnitude << 20) + (120u << 23));
    const float subnormal = static_cast<float>(static_cast<int>(magnitude & 7u)) * 0x1p-9f;
    float value = (magnitude >> 3) == 0 ? subnormal : normal;
    value = magnitude == 0x7fu ? std::numeric_limits<float>::quiet_NaN() : value;
    return std::bit_cast<float>(std::bit_cast<uint32_t>(value) | (static_cast<uint32_t>(bits & 0x80u) << 24));
}

// float8_e5m2 is the upper byte of a half.
inline float float8_e5m2_to_float(uint8_t bits) { return half_to_float(static_cast<uint16_t>(bits << 8)); }

// ---- The precisions numpy computes in. Values converted into a precision
// are exact there whenever numpy's promotion chose it, except integers into
// a narrower float (64-bit ones into double, 8-bit ones into float8), which
// round to nearest as numpy's casts do.

enum class Precision : uint8_t { Half, BFloat16, Float8E4M3, Float8E5M2, Single, Double, Exact };

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

// A type narrower than single precision: each operation in single precision,
// its result rounded to the type.
template <float (*Round)(float)>
struct RoundedArithmetic {
    using Value = float;  // always holds a value of the type
    static Value scalar(double x) { return Round(static_cast<float>(x)); }
    template <class X>
    static Value of(X x) {
        if constexpr (std::is_integral_v<X>) return Round(static_cast<float>(x));
        else return static_cast<float>(x);  // a narrower float: exact
    }
    static Value subtract(Value a, Value b) { return Round(a - b); }
    static Value multiply(Value a, Value b) { return Round(a * b); }
    static Value add(Value a, Value b) { return Round(a + b); }
    static Value divide(Value a, Value b) { return Round(a / b); }
};

inline float round_float_to_half(float x) { return static_cast<float>(round_to_half(x)); }

template <>
struct Arithmetic<Precision::Half> : RoundedArithmetic<round_float_to_half> {
    // numpy converts a Python float into half directly, not through single precision
    static Value scalar(double x) { return static_cast<float>(round_to_half(x)); }
    template <class X>
    static Value of(X x) { return static_cast<float>(x); }  // what numpy promotes to half fits it
};

template <>
struct Arithmetic<Precision::BFloat16> : RoundedArithmetic<round_to_bfloat16> {};
template <>
struct Arithmetic<Precision::Float8E4M3> : RoundedArithmetic<round_to_float8_e4m3> {};
template <>
struct Arithmetic<Precision::Float8E5M2> : RoundedArithmetic<round_to_float8_e5m2> {};

// ---- Element types: how each is stored and read, and how numpy (with
// ml_dtypes' promotion rules) types a pair of them.

// How an element type enters numpy's promotion: integers by their width (at
// most 8 bits, 16, wider; uint4 apart), floats as their own precision.
enum class Rank : uint8_t { Small, UnsignedNibble, Medium, Wide, Float };

template <Element E>
struct Traits;

template <class S, Rank R, Precision Own = Precision::Exact>
struct TraitsOf {
    using Stored = S;
    static constexpr Rank rank = R;
    static constexpr Precision own = Own;
    static constexpr bool integer = R != Rank::Float;
    static S load(S stored) { return stored; }
};

template <> struct Traits<Element::Bool> : TraitsOf<uint8_t, Rank::Small> {
    static int load(uint8_t stored) { return stored != 0; }
};
template <> struct Traits<Element::Int8> : TraitsOf<int8_t, Rank::Small> {};
template <> struct Traits<Element::Int16> : TraitsOf<int16_t, Rank::Medium> {};
template <> struct Traits<Element::Int32> : TraitsOf<int32_t, Rank::Wide> {};
template <> struct Traits<Element::Int64> : TraitsOf<int64_t, Rank::Wide> {};
template <> struct Traits<Element::UInt8> : TraitsOf<uint8_t, Rank::Small> {};
template <> struct Traits<Element::UInt16> : TraitsOf<uint16_t, Rank::Medium> {};
template <> struct Traits<Element::UInt32> : TraitsOf<uint32_t, Rank::Wide> {};
template <> struct Traits<Element::UInt64> : TraitsOf<uint64_t, Rank::Wide> {};
// int4 and uint4: one element per byte, the value in the low four bits (ml_dtypes ignores the high ones).
template <> struct Traits<Element::Int4> : TraitsOf<uint8_t, Rank::Small> {
    static int load(uint8_t stored) { return static_cast<int8_t>(static_cast<uint8_t>(stored << 4)) >> 4; }
};
template <> struct Traits<Element::UInt4> : TraitsOf<uint8_t, Rank::UnsignedNibble> {
    static int load(uint8_t stored) { return stored & 0x0f; }
};
template <> struct Traits<Element::Float16> : TraitsOf<uint16_t, Rank::Float, Precision::Half> {
    static float load(uint16_t stored) { return half_to_float(stored); }
};
template <> struct Traits<Element::BFloat16> : TraitsOf<uint16_t, Rank::Float, Precision::BFloat16> {
    static float load(uint16_t stored) { return bfloat16_to_float(stored); }
};
template <> struct Traits<Element::Float8E4M3> : TraitsOf<uint8_t, Rank::Float, Precision::Float8E4M3> {
    static float load(uint8_t stored) { return float8_e4m3_to_float(stored); }
};
template <> struct Traits<Element::Float8E5M2> : TraitsOf<uint8_t, Rank::Float, Precision::Float8E5M2> {
    static float load(uint8_t stored) { return float8_e5m2_to_float(stored); }
};
template <> struct Traits<Element::Float32> : TraitsOf<float, Rank::Float, Precision::Single> {};
template <> struct Traits<Element::Float64> : TraitsOf<double, Rank::Float, Precision::Double> {};

struct ElementRow {
    Rank rank;
    Precision own;  // the element's float precision; Exact for integers
};

template <size_t... I>
constexpr auto element_table(std::index_sequence<I...>) {
    return std::array<ElementRow, sizeof...(I)>{
        ElementRow{Traits<static_cast<Element>(I)>::rank, Traits<static_cast<Element>(I)>::own}...};
}
inline constexpr auto elements = element_table(std::make_index_sequence<element_types>{});

constexpr const ElementRow& row_of(Element e) { return elements[static_cast<size_t>(e)]; }

// The types ml_dtypes adds to numpy.
constexpr bool is_low_precision(Element e) {
    return e == Element::BFloat16 || e == Element::Float8E4M3 || e == Element::Float8E5M2 || e == Element::Int4 ||
           e == Element::UInt4;
}

// np.result_type of a float precision and an integer of that rank.
constexpr Precision promote_float_integer(Precision f, Rank integer) {
    if (integer == Rank::Wide || f == Precision::Double) return Precision::Double;
    if (integer == Rank::Medium || f == Precision::Single) return Precision::Single;
    // ml_dtypes: float8_e5m2 cannot hold every uint4 (9 needs three mantissa bits)
    if (integer == Rank::UnsignedNibble && f == Precision::Float8E5M2) return Precision::Single;
    return f;  // integers of at most 8 bits join any narrower float as that float
}

// np.result_type of two float precisions.
constexpr Precision promote_floats(Precision x, Precision y) {
    if (x == y) return x;
    if (x == Precision::Double || y == Precision::Double) return Precision::Double;
    if (x == Precision::Single || y == Precision::Single) return Precision::Single;
    // Two different types narrower than single: bfloat16 holds either float8; any other pair meets in single.
    const bool x_fp8 = x == Precision::Float8E4M3 || x == Precision::Float8E5M2;
    const bool y_fp8 = y == Precision::Float8E4M3 || y == Precision::Float8E5M2;
    if ((x == Precision::BFloat16 && y_fp8) || (y == Precision::BFloat16 && x_fp8)) return Precision::BFloat16;
    return Precision::Single;
}

// np.result_type of an element and a float precision.
constexpr Precision promote(Element a, Precision f) {
    const ElementRow& row = row_of(a);
    return row.rank == Rank::Float ? promote_floats(row.own, f) : promote_float_integer(f, row.rank);
}

// What the compiled kernel assumes numpy does; checked against numpy's own
// answer before the kernel runs.
// np.result_type(b, 1.0): the float type that b is judged in.
constexpr Precision tolerance_precision(Element b) {
    const ElementRow& row = row_of(b);
    return row.rank == Rank::Float ? row.own : Precision::Double;
}
// np.result_type(a, <that type>): the type of x - y and x == y.
constexpr Precision verdict_precision(Element a, Element b) { return promote(a, tolerance_precision(b)); }
// np.result_type(a, b), the type of a - b; integers subtract exactly.
constexpr Precision difference_precision(Element a, Element b) {
    const ElementRow& row_a = row_of(a);
    const ElementRow& row_b = row_of(b);
    if (row_a.rank != Rank::Float && row_b.rank != Rank::Float) return Precision::Exact;
    return row_b.rank == Rank::Float ? promote(a, row_b.own) : promote_float_integer(row_a.own, row_b.rank);
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
    static constexpr bool numpy_types_only = !is_low_precision(A) && !is_low_precision(B);
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

// Kernels over the low-precision types are compiled once, for any x86-64:
// their decoding and rounding gain little from wider vectors, large arrays of
// them take faster paths of their own, and each pair compiled twice would add
// minutes to every build.
template <class Kernel>
constexpr bool compiled_for_avx2() {
    if constexpr (requires { Kernel::numpy_types_only; }) return Kernel::numpy_types_only;
    else return true;
}

template <class Kernel>
void run_contiguous(const Kernel& kernel, typename Kernel::Partial& partial, const std::byte* a, const std::byte* b,
                    Py_ssize_t count) {
    if constexpr (compiled_for_avx2<Kernel>()) {
        if (cpu_has_avx2()) return contiguous_avx2(kernel, partial, a, b, count);
    }
    contiguous_baseline(kernel, partial, a, b, count);
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
