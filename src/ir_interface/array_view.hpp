// Read-only access to an array's memory through the buffer protocol, so
// services can hash or compare parameter arrays without copying them.
//
// A view owns a reference to the array and its own copy of the shape and
// strides: while a service reads the memory with the interpreter lock
// released (hashing does), another thread may assign the array's `.shape`,
// which frees the array's own dimension storage, but it can neither free the
// memory nor change the layout this view walks.
#pragma once

#include "ir_interface/python.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace ondrel {

// Numbers of a native-order struct format (Float, Signed, Unsigned, Bool, with
// the item size), and the low-precision types of ml_dtypes, recognised by their
// scalar type: bfloat16, float8_e4m3fn, float8_e5m2, and int4 and uint4 (one
// element per byte, in the low four bits).
enum class ElementKind { Float, Signed, Unsigned, Bool, BFloat16, Float8E4M3, Float8E5M2, Int4, UInt4, Other };

// The ml_dtypes scalar type of a low-precision kind, or null: ml_dtypes is not
// imported (then no array of that kind exists) or the kind is not one of them.
PyTypeObject* low_precision_type(ElementKind kind);

// The low-precision kind of an exact numpy array's dtype; Other for anything else.
ElementKind low_precision_kind(nb::handle array);

class ArrayView {
public:
    // Views `array` if it exports a buffer; otherwise valid() is false and no
    // Python error is left set. Plain numpy arrays of numbers are read through
    // numpy's C API, which is much cheaper than a buffer export; so are those of
    // the low-precision types, which export no buffer (format() is then that of
    // their storage, "H" or "B").
    explicit ArrayView(nb::handle array);
    ~ArrayView();
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ArrayView(ArrayView&&) = delete;

    bool valid() const { return valid_; }
    int ndim() const { return buffer_.ndim; }
    std::span<const Py_ssize_t> shape() const { return {layout_, static_cast<size_t>(ndim())}; }
    std::span<const Py_ssize_t> strides() const { return {layout_ + ndim(), static_cast<size_t>(ndim())}; }
    Py_ssize_t itemsize() const { return buffer_.itemsize; }
    Py_ssize_t size_bytes() const { return buffer_.len; }
    const std::byte* data() const { return static_cast<const std::byte*>(buffer_.buf); }
    const char* format() const { return buffer_.format ? buffer_.format : "B"; }
    bool c_contiguous() const { return c_contiguous_; }

    // The element type: a single native-order number, or a low-precision type.
    ElementKind kind() const { return kind_; }

private:
    bool view_numeric_ndarray(nb::handle array);
    void copy_layout(const Py_ssize_t* shape, const Py_ssize_t* strides);
    // Shape then strides; arrays of up to `inline_dims` dimensions need no allocation.
    static constexpr int inline_dims = 8;
    std::array<Py_ssize_t, 2 * inline_dims> inline_layout_{};
    std::vector<Py_ssize_t> large_layout_;
    Py_ssize_t* layout_ = inline_layout_.data();
    Py_buffer buffer_{};
    nb::object array_;        // set when read through numpy's C API
    bool valid_ = false;
    bool c_contiguous_ = false;
    ElementKind kind_ = ElementKind::Other;
};

}  // namespace ondrel
