#define ONDREL_NUMPY_API_DEFINITION
#include "ir_interface/numpy_api.hpp"

namespace ondrel {

std::optional<NumericType> numeric_type_of(PyArray_Descr* descr) {
    using T = NumericType;
    if (descr->byteorder == '>') return std::nullopt;
    constexpr T c_long = sizeof(long) == 8 ? T::Int64 : T::Int32, c_ulong = sizeof(long) == 8 ? T::UInt64 : T::UInt32;
    switch (descr->type_num) {
        case NPY_BOOL: return T::Bool;
        case NPY_BYTE: return T::Int8;
        case NPY_UBYTE: return T::UInt8;
        case NPY_SHORT: return T::Int16;
        case NPY_USHORT: return T::UInt16;
        case NPY_INT: return T::Int32;
        case NPY_UINT: return T::UInt32;
        case NPY_LONG: return c_long;
        case NPY_ULONG: return c_ulong;
        case NPY_LONGLONG: return T::Int64;
        case NPY_ULONGLONG: return T::UInt64;
        case NPY_HALF: return T::Float16;
        case NPY_FLOAT: return T::Float32;
        case NPY_DOUBLE: return T::Float64;
        default: return std::nullopt;
    }
}

void load_numpy_api() {
    if (PyArray_API) [[likely]]
        return;
    if (_import_array() < 0) throw nb::python_error();
}

}  // namespace ondrel
