// Progress of calls that read many parameter bytes: a host callable is told,
// step by step, how many bytes were processed since it was last called.
#pragma once

#include "ir_interface/python.hpp"

#include <cstddef>

namespace ondrel {

class ProgressReport {
public:
    static constexpr size_t step_bytes = size_t{16} << 20;

    explicit ProgressReport(nb::handle callback) : callback_(callback) {
        if (!PyCallable_Check(callback.ptr()))
            raise(PyExc_TypeError, "progress must be callable, not %.200s", ondrel::type_name(callback));
    }

    // Bytes that can still be processed before the next call is due; callers
    // slice large arrays by it, so a call comes at least every step.
    size_t room() const { return step_bytes - pending_; }

    void add(size_t bytes) {
        pending_ += bytes;
        if (pending_ >= step_bytes) report();
    }

    // The last call, with what is left (possibly nothing).
    void finish() { report(); }

private:
    void report() {
        nb::object count = own(PyLong_FromSize_t(pending_));
        pending_ = 0;
        own(PyObject_CallOneArg(callback_.ptr(), count.ptr()));
    }

    nb::handle callback_;
    size_t pending_ = 0;
};

}  // namespace ondrel
