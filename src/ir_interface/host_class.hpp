// A plain host class (base object only) whose methods are C functions.
#pragma once

#include "ir_interface/host_function.hpp"

#include <vector>

namespace ondrel {

// type(name, (object,), {...}) with the methods (see `method` in
// host_function.hpp) and, for the getters, read-only builtins.property objects
// (documented by the getter's doc), registered on the module.
// `constructor_signature` is the text signature of the class call, e.g. "()".
nb::object define_host_class(nb::module_& module, const char* name, const char* constructor_signature,
                             const char* doc, const std::vector<MethodDefinition>& methods,
                             const std::vector<MethodDefinition>& getters);

}  // namespace ondrel
