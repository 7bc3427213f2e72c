#include "ir_interface/originals.hpp"

namespace ondrel {

Originals::Originals(nb::handle owner, std::vector<const Name*> names)
    : owner_(nb::borrow(owner)), names_(std::move(names)) {
    for (const Name* name : names_) originals_.push_back(attr(owner_, *name));
}

nb::object Originals::replacement(size_t index) const {
    nb::object current = attr(owner_, *names_[index]);
    return current.ptr() == originals_[index].ptr() ? nb::object() : current;
}

}  // namespace ondrel
