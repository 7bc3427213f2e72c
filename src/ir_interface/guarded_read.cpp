#include "ir_interface/guarded_read.hpp"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <pthread.h>
#include <sched.h>

namespace ondrel {

namespace {

// The regions open now, each with the thread it runs on. A fixed table rather
// than a thread-local slot: the handler must find its region without calling
// into the dynamic loader (thread-local storage of a module loaded at run time
// is reached through __tls_get_addr, which the sanitizers' bookkeeping cannot
// follow out of a signal handler). Most regions hold the interpreter lock;
// guarded_copy_unlocked's do not, so threads hashing in parallel each hold a
// slot at once.
struct Region {
    std::atomic<pthread_t> owner{};  // zero: free (no thread's id is zero)
    std::atomic<sigjmp_buf*> jump{};  // set while the region runs; read by the handler on the same thread
};
constexpr int region_slots = 64;
Region regions[region_slots];
struct sigaction previous_action;

Region* claim_region() {
    const pthread_t self = pthread_self();
    for (;;) {
        for (Region& region : regions) {
            pthread_t free{};
            if (region.owner.load(std::memory_order_relaxed) == free &&
                region.owner.compare_exchange_strong(free, self, std::memory_order_acquire))
                return &region;
        }
        sched_yield();  // more threads in regions than slots: wait for one to end (regions are short copies)
    }
}

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
    if (info != nullptr && info->si_code > 0) {
        const pthread_t self = pthread_self();
        for (Region& region : regions) {
            sigjmp_buf* jump = region.jump.load(std::memory_order_relaxed);
            if (region.owner.load(std::memory_order_relaxed) != self || jump == nullptr) continue;
            region.jump.store(nullptr, std::memory_order_relaxed);
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
    // needs no saved signal mask, and the next fault is caught again. No
    // SA_ONSTACK: the handler runs on the stack of the region it returns to.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previous_action) == 0;
}

}  // namespace

bool run_guarded(void (*body)(void*), void* context) noexcept {
    static const bool installed = install_handler();
    (void)installed;
    Region* const region = claim_region();
    sigjmp_buf jump;
    const bool completed = sigsetjmp(jump, 0) == 0;
    if (completed) {
        region->jump.store(&jump, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        body(context);
    }
    region->jump.store(nullptr, std::memory_order_relaxed);
    region->owner.store(pthread_t{}, std::memory_order_release);
    return completed;
}

void raise_file_changed() {
    nb::object error = own(PyObject_CallFunction(PyExc_OSError, "is", EFAULT, file_changed_text));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

}  // namespace ondrel
