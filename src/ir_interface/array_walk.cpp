#include "ir_interface/array_walk.hpp"

namespace ondrel {

ArrayLayout plan_walk(const ArrayView& a, const ArrayView& b, WalkOrder order) {
    ArrayLayout layout;
    std::array<int, max_array_dims> dims{};
    int kept = 0;
    for (int i = 0; i < a.ndim(); ++i) {
        Py_ssize_t extent = a.shape()[i];
        layout.count *= extent;
        if (extent != 1) dims[kept++] = i;
    }
    if (layout.count == 0) return layout;
    if (order == WalkOrder::MemoryOrder) {
        auto magnitude = [](Py_ssize_t stride) { return stride < 0 ? -stride : stride; };
        for (int i = 1; i < kept; ++i) {  // insertion sort: outermost (largest stride) first
            int dim = dims[i], j = i;
            for (; j > 0 && magnitude(a.strides()[dims[j - 1]]) < magnitude(a.strides()[dim]); --j) dims[j] = dims[j - 1];
            dims[j] = dim;
        }
    }
    // Dimensions along which both arrays run on contiguously become one.
    for (int k = 0; k < kept; ++k) {
        int dim = dims[k];
        Py_ssize_t extent = a.shape()[dim], step_a = a.strides()[dim], step_b = b.strides()[dim];
        int last = layout.ndim - 1;
        if (last >= 0 && layout.stride_a[last] == step_a * extent && layout.stride_b[last] == step_b * extent) {
            layout.shape[last] *= extent;
            layout.stride_a[last] = step_a;
            layout.stride_b[last] = step_b;
            continue;
        }
        layout.shape[layout.ndim] = extent;
        layout.stride_a[layout.ndim] = step_a;
        layout.stride_b[layout.ndim] = step_b;
        ++layout.ndim;
    }
    if (layout.ndim == 0) {  // a single element
        layout.ndim = 1;
        layout.shape[0] = 1;
        layout.stride_a[0] = a.itemsize();
        layout.stride_b[0] = b.itemsize();
    }
    return layout;
}

}  // namespace ondrel
