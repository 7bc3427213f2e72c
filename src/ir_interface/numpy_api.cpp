#define ONDREL_NUMPY_API_DEFINITION
#include "ir_interface/numpy_api.hpp"

namespace ondrel {

void load_numpy_api() {
    if (PyArray_API) [[likely]]
        return;
    if (_import_array() < 0) throw nb::python_error();
}

}  // namespace ondrel
