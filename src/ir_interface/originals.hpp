// What a module or class held under some names when it was set up. While a
// name still holds that original, the native implementation behind it may run
// directly; once something has replaced it (a wrapper, a test double), the
// replacement is what must run.
#pragma once

#include "ir_interface/python.hpp"

#include <vector>

namespace ondrel {

class Originals {
public:
    Originals(nb::handle owner, std::vector<const Name*> names);  // records owner.<name> for each name

    // owner.<names[index]> when it is no longer the original, else invalid.
    nb::object replacement(size_t index) const;
    const Name& name(size_t index) const { return *names_[index]; }

private:
    nb::object owner_;
    std::vector<const Name*> names_;
    std::vector<nb::object> originals_;
};

}  // namespace ondrel
