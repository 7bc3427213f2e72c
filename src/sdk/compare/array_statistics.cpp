// array_statistics: for arrays of native numbers, what a test failure should
// say about two equally shaped arrays (how many elements fail the tolerance
// test, the greatest absolute and relative differences and where, the NaN and
// infinity counts), in one pass with numpy's own arithmetic per element.
#include "sdk/compare/element_arithmetic.hpp"

#include "ir_interface/guarded_read.hpp"
#include "ir_interface/numpy_api.hpp"

namespace ondrel::compare {

namespace {

// Blocks of a row are reduced without branches; only a block whose maximum
// beats the running one is read again, from cache, to find where it is.
constexpr Py_ssize_t block_size = 4096;

template <Element A, Element B>
struct StatisticsKernel : PairArithmetic<A, B> {
    using Pair = PairArithmetic<A, B>;
    using typename Pair::Largest;
    using typename Pair::StoredA;
    using typename Pair::StoredB;
    // |a - b| / |b| is computed in the type of a - b, in double for two integer arrays.
    static constexpr Precision relative_precision = Pair::exact ? Precision::Double : Pair::difference;
    using Relative = Arithmetic<relative_precision>;
    using RelativeBits = std::conditional_t<sizeof(typename Relative::Value) == 4, uint32_t, uint64_t>;

    struct Partial {
        uint32_t mismatched = 0, nan_a = 0, nan_b = 0, inf_a = 0, inf_b = 0;
        Largest largest = 0;
        RelativeBits largest_relative = 0;  // 0 while no element of b is nonzero
    };

    template <class Value>
    static Value canonical(Value v) {  // one NaN, so that the first NaN is the one found again
        return v != v ? std::numeric_limits<Value>::quiet_NaN() : v;
    }

    template <class X, class Y>
    static Largest magnitude(X a, Y b) {
        if constexpr (Pair::exact) {
            return Pair::magnitude(a, b);
        } else {
            using Value = typename Arithmetic<Pair::difference>::Value;
            return std::bit_cast<Largest>(canonical(std::bit_cast<Value>(Pair::magnitude(a, b))));
        }
    }

    // The bits of |a - b| / |b| plus one, or 0 where b is zero: excluded, and
    // below every relative difference that exists.
    template <class X, class Y>
    static RelativeBits relative(X a, Y b) {
        using Value = typename Relative::Value;
        Value difference;
        if constexpr (Pair::exact) difference = static_cast<Value>(Pair::value(Pair::magnitude(a, b)));
        else difference = std::bit_cast<Value>(Pair::magnitude(a, b));
        Value divisor = std::fabs(Relative::of(b));
        RelativeBits bits = std::bit_cast<RelativeBits>(canonical(Relative::divide(difference, divisor))) + 1;
        // A mask rather than a choice: the compiler keeps the maximum a plain, vectorisable reduction.
        return bits & (RelativeBits{0} - RelativeBits(divisor != 0));
    }

    template <class Value>
    static void count_special(uint32_t& nan, uint32_t& inf, Value v) {
        if constexpr (std::is_floating_point_v<Value>) {
            nan += v != v;
            inf += std::fabs(v) == std::numeric_limits<Value>::infinity();
        }
    }

    void add(Partial& partial, StoredA stored_a, StoredB stored_b) const {
        auto a = Traits<A>::load(stored_a);
        auto b = Traits<B>::load(stored_b);
        partial.mismatched += !this->close(a, b);
        if constexpr (!Traits<A>::integer) count_special(partial.nan_a, partial.inf_a, a);
        if constexpr (!Traits<B>::integer) count_special(partial.nan_b, partial.inf_b, b);
        Largest m = magnitude(a, b);
        partial.largest = m > partial.largest ? m : partial.largest;
        RelativeBits r = relative(a, b);
        partial.largest_relative = r > partial.largest_relative ? r : partial.largest_relative;
    }
};

struct Totals {
    ArrayStatistics result{};
    Py_ssize_t position = 0;  // row-major index of the next element
};

template <Element A, Element B>
ArrayStatistics run_statistics(const ArrayView& a, const ArrayView& b, double atol, double rtol) {
    using Kernel = StatisticsKernel<A, B>;
    using StoredA = typename Kernel::StoredA;
    using StoredB = typename Kernel::StoredB;
    const Kernel kernel{PairArithmetic<A, B>::with(atol, rtol)};
    typename Kernel::Largest largest = 0;
    typename Kernel::RelativeBits largest_relative = 0;
    Totals totals;
    ArrayStatistics& result = totals.result;
    result.max_abs_index = result.max_rel_index = -1;

    // The first element of the block whose `measure` equals `value`.
    auto find = [](const std::byte* row_a, const std::byte* row_b, Py_ssize_t step_a, Py_ssize_t step_b, auto measure,
                   auto value) {
        for (Py_ssize_t i = 0;; ++i) {
            auto a = Traits<A>::load(load<StoredA>(row_a + i * step_a));
            auto b = Traits<B>::load(load<StoredB>(row_b + i * step_b));
            if (measure(a, b) == value) return i;
        }
    };

    const ArrayLayout layout = plan_walk(a, b, WalkOrder::RowMajor);
    for_each_row(layout, a.data(), b.data(),
                 [&](const std::byte* row_a, const std::byte* row_b, Py_ssize_t count, Py_ssize_t step_a,
                     Py_ssize_t step_b) {
                     const bool contiguous = step_a == sizeof(StoredA) && step_b == sizeof(StoredB);
                     for (Py_ssize_t start = 0; start < count; start += block_size) {
                         const Py_ssize_t length = std::min(block_size, count - start);
                         const std::byte *block_a = row_a + start * step_a, *block_b = row_b + start * step_b;
                         typename Kernel::Partial block;
                         run_row(kernel, block, block_a, block_b, length, step_a, step_b, contiguous);
                         result.mismatched += block.mismatched;
                         result.nan_a += block.nan_a;
                         result.nan_b += block.nan_b;
                         result.inf_a += block.inf_a;
                         result.inf_b += block.inf_b;
                         const Py_ssize_t at = totals.position + start;
                         if (block.largest > largest || result.max_abs_index < 0) {
                             largest = block.largest;
                             result.max_abs_index = at + find(block_a, block_b, step_a, step_b,
                                                              [](auto x, auto y) { return Kernel::magnitude(x, y); },
                                                              block.largest);
                         }
                         if (block.largest_relative > largest_relative) {
                             largest_relative = block.largest_relative;
                             result.max_rel_index = at + find(block_a, block_b, step_a, step_b,
                                                              [](auto x, auto y) { return Kernel::relative(x, y); },
                                                              block.largest_relative);
                         }
                     }
                     totals.position += count;
                 });
    result.size = totals.position;
    result.max_abs_diff = Kernel::value(largest);
    using RelativeValue = typename Kernel::Relative::Value;
    result.max_rel_diff = largest_relative ? static_cast<double>(std::bit_cast<RelativeValue>(
                                                 static_cast<typename Kernel::RelativeBits>(largest_relative - 1)))
                                           : 0.0;
    return result;
}

using StatisticsRunner = ArrayStatistics (*)(const ArrayView&, const ArrayView&, double, double);

template <size_t... I>
constexpr auto statistics_runners(std::index_sequence<I...>) {
    return std::array<StatisticsRunner, sizeof...(I)>{
        &run_statistics<static_cast<Element>(I / element_types), static_cast<Element>(I % element_types)>...};
}
constexpr auto statistics_runner = statistics_runners(std::make_index_sequence<element_types * element_types>{});

}  // namespace

std::optional<ArrayStatistics> array_statistics(nb::handle a, nb::handle b, double atol, double rtol) {
    if (!exact_ndarray(a) || !exact_ndarray(b) || !kernels_judge(atol, rtol)) return std::nullopt;
    ArrayView view_a(a), view_b(b);
    if (!view_a.valid() || !view_b.valid() || !same_shape(view_a, view_b)) return std::nullopt;
    std::optional<Element> element_a = element_of(view_a), element_b = element_of(view_b);
    Promotions promotions;
    if (!element_a || !element_b || !promotions.kernel_agrees(*element_a, *element_b, attr(a, dtype_name), attr(b, dtype_name))) return std::nullopt;
    StatisticsRunner runner = statistics_runner[pair_index(*element_a, *element_b)];
    ArrayStatistics statistics;
    guarded_read([&] { statistics = runner(view_a, view_b, atol, rtol); });  // the arrays may be mapped
    return statistics;
}

}  // namespace ondrel::compare
