// Walking the elements of one array, or of two equally shaped arrays in step,
// row by row: a row is the innermost run of elements (a count and a stride in
// each array), and an odometer moves over the outer dimensions.
#pragma once

#include "ir_interface/array_view.hpp"

#include <array>

namespace ondrel {

inline constexpr int max_array_dims = 64;  // numpy's limit

struct ArrayLayout {
    int ndim = 0;          // after dropping unit dimensions and merging contiguous ones
    Py_ssize_t count = 1;  // elements
    std::array<Py_ssize_t, max_array_dims> shape{}, stride_a{}, stride_b{};
};

enum class WalkOrder {
    RowMajor,     // C order: what tobytes() yields, element by element
    MemoryOrder,  // dimensions sorted by a's strides, for results that do not depend on the order
};

// The layout of `a` and `b` (equal shapes, at most max_array_dims dimensions;
// pass the same view twice to walk one array).
ArrayLayout plan_walk(const ArrayView& a, const ArrayView& b, WalkOrder order);

// row(a, b, count, step_a, step_b) for every row, in the layout's order.
template <typename Row>
void for_each_row(const ArrayLayout& layout, const std::byte* a, const std::byte* b, Row&& row) {
    if (layout.count == 0) return;
    const int inner = layout.ndim - 1;
    const Py_ssize_t count = layout.shape[inner], step_a = layout.stride_a[inner], step_b = layout.stride_b[inner];
    std::array<Py_ssize_t, max_array_dims> index{};
    for (;;) {
        row(a, b, count, step_a, step_b);
        int dim = inner - 1;
        for (; dim >= 0; --dim) {
            a += layout.stride_a[dim];
            b += layout.stride_b[dim];
            if (++index[dim] < layout.shape[dim]) break;
            a -= layout.stride_a[dim] * layout.shape[dim];
            b -= layout.stride_b[dim] * layout.shape[dim];
            index[dim] = 0;
        }
        if (dim < 0) return;
    }
}

}  // namespace ondrel
