// What a module builds when it is loaded and keeps for the life of the
// process (extension modules are never unloaded): its record types, what it
// takes from its dependencies, its own module object. Every service keeps its
// state this one way: a `State` struct built from the module object, reached
// through ModuleState<State>::get().
#pragma once

#include "ir_interface/python.hpp"

namespace ondrel {

template <typename State>
class ModuleState {
public:
    static const State& get() { return *instance(); }
    // Builds the state; the module's set-up may still complete it.
    static State& create(nb::module_& module) { return *(instance() = new State(module)); }

private:
    static State*& instance() {
        static State* state = nullptr;
        return state;
    }
};

}  // namespace ondrel
