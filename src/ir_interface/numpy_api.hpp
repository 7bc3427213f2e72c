// numpy's C API, for the few array facts read on every node (size, byte size,
// element type, data pointer) without creating Python objects.
#pragma once

#include "ir_interface/python.hpp"

#include <cstdint>
#include <optional>

#ifndef ONDREL_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL ondrel_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

// numpy 2's accessor for a dtype's item size; with numpy 1.x headers, the field itself.
#if NPY_ABI_VERSION < 0x02000000
#define PyDataType_ELSIZE(descr) ((descr)->elsize)
#endif

namespace ondrel {

// Imports numpy's C API table on first use (a pointer test afterwards).
void load_numpy_api();

// Exactly numpy.ndarray: subclasses may override what the services read.
inline PyArrayObject* exact_ndarray(nb::handle value) {
    load_numpy_api();
    return Py_TYPE(value.ptr()) == &PyArray_Type ? reinterpret_cast<PyArrayObject*>(value.ptr()) : nullptr;
}

// The element types the compiled kernels read, in native byte order.
enum class NumericType : uint8_t { Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float16, Float32, Float64 };
inline constexpr size_t numeric_type_count = 12;

// The numeric type of a dtype, or nullopt (another kind, size or byte order).
std::optional<NumericType> numeric_type_of(PyArray_Descr* descr);

}  // namespace ondrel
