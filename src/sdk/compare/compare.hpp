// Graph comparison: the diff records, the fused array comparison, node and
// graph comparison and the diff summary.
#pragma once

#include "ir_interface/array_view.hpp"
#include "ir_interface/graph_snapshot.hpp"
#include "ir_interface/numpy_api.hpp"
#include "ir_interface/module_state.hpp"
#include "ir_interface/originals.hpp"
#include "ir_interface/records.hpp"
#include "ir_interface/progress.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace ondrel::compare {

inline constexpr double default_atol = 1e-6;
inline constexpr double default_rtol = 1e-5;

// The module functions that other module functions call. A caller looks the
// name up on the module when it starts: while it still holds the function
// defined here, the rule runs natively; a replaced one is called through the
// host, as a module-level name would be.
enum class Entry { CompareArrays, CompareNodes, CompareGraphs, GenerateSummary, Count };

// Built when the module is loaded (state.cpp): the records and what the
// module takes from numpy; the entries are remembered once defined.
struct State {
    explicit State(nb::module_& module);
    void remember_entries();

    nb::handle module;
    RecordType node_diff;
    RecordType graph_diff;
    nb::object result_type;
    nb::object subtract;
    nb::object absolute;
    nb::object max;
    nb::object allclose;
    nb::object array_equal;
    nb::object object_dtype;
    std::array<nb::object, 3> float_dtypes;  // float16, float32, float64
    std::array<nb::object, numeric_type_count> numeric_dtypes;  // of each NumericType
    // numpy 2's isclose finds equal elements close whatever the tolerances; numpy 1.x's
    // not where atol + rtol * |b| is negative (or NaN). The kernels do as numpy 2.
    bool equal_is_close;
    std::unique_ptr<Originals> entries;      // in Entry order
};
inline const State& state() { return ModuleState<State>::get(); }

nb::object replacement(Entry entry);  // invalid while the original is in place

void record_rules(nb::handle module);  // what the per-class table covers, for the module's _NODE_RULES

// --- arrays ---------------------------------------------------------------

struct ArrayComparison {
    bool match;
    double max_diff;
};

// The element types the compiled kernel reads (native byte order): numpy's
// numbers and the low-precision types of ml_dtypes.
enum class Element : uint8_t {
    Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Int4, UInt4,
    Float16, BFloat16, Float8E4M3, Float8E5M2, Float32, Float64
};
inline constexpr size_t element_types = 17;
extern const Name dtype_name;
std::optional<Element> element_of(const ArrayView& view);
Element element_of(NumericType type);

// numpy's promotion answers for the element-type pairs met during one call,
// so a graph of many same-typed arrays asks numpy once per pair.
class Promotions {
public:
    // Whether numpy promotes this pair as the compiled kernel for it assumes.
    bool kernel_agrees(Element a, Element b, nb::handle dtype_a, nb::handle dtype_b);
    // The same for every pair of a NumericType of the first set with one of the second (one bit per type).
    bool kernel_agrees(uint32_t types_a, uint32_t types_b);

private:
    enum class Known : uint8_t { Unasked, Agrees, Differs };
    std::array<Known, element_types * element_types> known_{};
};

// With `progress`, the bytes of both arrays count as processed as they are compared.
ArrayComparison compare_arrays(nb::handle a, nb::handle b, double atol, double rtol, Promotions& promotions,
                               ProgressReport* progress = nullptr);

// Whether the compiled kernels judge these tolerances as this numpy does.
inline bool kernels_judge(double atol, double rtol) { return state().equal_is_close || (atol >= 0 && rtol >= 0); }

// np.array_equal(a, b)
bool arrays_equal(nb::handle a, nb::handle b);

// What a test failure reports about two equally shaped arrays: elements
// failing compare_arrays' tolerance test, the greatest |a - b| and the
// greatest |a - b| / |b| over the elements where b is nonzero (NaN counts as
// greatest), each with the row-major index of its first occurrence (-1 when
// there is none), and the NaN and infinity counts of each array.
struct ArrayStatistics {
    Py_ssize_t size, mismatched;
    double max_abs_diff;
    Py_ssize_t max_abs_index;
    double max_rel_diff;
    Py_ssize_t max_rel_index;
    Py_ssize_t nan_a, nan_b, inf_a, inf_b;
};

// Computed natively when the compiled kernel reads both arrays; nullopt otherwise.
std::optional<ArrayStatistics> array_statistics(nb::handle a, nb::handle b, double atol, double rtol);

// compare_arrays as compare_nodes calls it: natively, or the replacement.
class ArrayComparer {
public:
    explicit ArrayComparer(ProgressReport* progress = nullptr)
        : replaced_(replacement(Entry::CompareArrays)), progress_(progress) {}
    ArrayComparison operator()(nb::handle a, nb::handle b, double atol, double rtol);

private:
    nb::object replaced_;
    Promotions promotions_;
    ProgressReport* progress_;
};

// --- nodes and graphs -----------------------------------------------------

struct NodeComparison {
    nb::object record;  // NodeDiff
    bool modified;
    std::optional<double> weight_diff;
};
NodeComparison compare_nodes(nb::handle name, const NodeView& node_a, const NodeView& node_b, double atol, double rtol,
                             ArrayComparer& compare_arrays);

nb::object compare_graphs(nb::handle graph_a, nb::handle graph_b, double atol, double rtol,
                          ProgressReport* progress = nullptr);
void assert_graphs_equal(nb::handle graph_a, nb::handle graph_b, double atol, double rtol, bool check_weights);

nb::object generate_summary(nb::handle diff);

}  // namespace ondrel::compare
