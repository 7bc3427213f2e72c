#include "ir_interface/guarded_read.hpp"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>

namespace ondrel {

namespace {

// Regions open on any thread: while there is none, the handler touches no
// thread-local storage (a thread that never opened one may not have it yet).
std::atomic<int> open_regions{0};
thread_local sigjmp_buf* region = nullptr;
struct sigaction previous_action;

void forward(int signal, siginfo_t* info, void* context) {
    if (previous_action.sa_flags & SA_SIGINFO) {
        previous_action.sa_sigaction(signal, info, context);
        return;
    }
    if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(signal);
        return;
    }
    // The default action: a fault repeats once the handler returns and then
    // kills the process; a SIGBUS sent by kill() does so at once. (A fault
    // cannot be ignored: the kernel would only deliver it again.)
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0) ::raise(signal);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    // si_code > 0: the kernel reports a fault (a page past the end of a
    // mapped file), not a signal someone sent.
    if (info != nullptr && info->si_code > 0 && open_regions.load(std::memory_order_relaxed) > 0) {
        if (sigjmp_buf* jump = region) {
            region = nullptr;
            // A handler that chained to this one may have run with SIGBUS blocked.
            sigset_t bus;
            sigemptyset(&bus);
            sigaddset(&bus, SIGBUS);
            pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
            siglongjmp(*jump, 1);
        }
    }
    forward(signal, info, context);
}

bool install_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    // SA_NODEFER: SIGBUS stays unblocked in the handler, so the jump out of it
    // needs no saved signal mask, and the next fault is caught again.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previous_action) == 0;
}

}  // namespace

bool run_guarded(void (*body)(void*), void* context) noexcept {
    static const bool installed = install_handler();
    (void)installed;
    sigjmp_buf jump;
    sigjmp_buf** const slot = &region;  // one thread-local lookup per region (regions do not nest)
    open_regions.fetch_add(1, std::memory_order_relaxed);
    const bool completed = sigsetjmp(jump, 0) == 0;
    if (completed) {
        *slot = &jump;
        body(context);
    }
    *slot = nullptr;
    open_regions.fetch_sub(1, std::memory_order_relaxed);
    return completed;
}

void raise_file_changed() {
    nb::object error = own(PyObject_CallFunction(PyExc_OSError, "is", EFAULT, file_changed_text));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

}  // namespace ondrel
