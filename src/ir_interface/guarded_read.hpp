// Reading array memory that a mapped file backs. When another program
// truncates the file, touching a page past its new end raises SIGBUS, which
// would kill the process. The SDK's own loops over such memory run in a
// guarded region instead: a fault there leaves the region by a jump and
// becomes an OSError (errno EFAULT) "file changed while it was being read"
// for the call, so a batch goes on with its other files.
//
// Only this library's own code may run inside a region: no host calls, no
// allocation, no object with a destructor, nothing that releases the
// interpreter lock (the jump skips whatever the region was doing). Hand the
// bytes to the host (hashlib, numpy) only after copying them out under the
// guard.
#pragma once

#include "ir_interface/array_walk.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace ondrel {

inline constexpr const char* file_changed_text = "file changed while it was being read";

// Runs body(context); false when a SIGBUS on this thread cut it short. The
// first call installs the process's handler, which hands every other SIGBUS
// on to the handler that was there before (faulthandler's, or the default).
bool run_guarded(void (*body)(void*), void* context) noexcept;

// The OSError a fault in a guarded region becomes.
[[noreturn]] void raise_file_changed();

// body() in a guarded region; a fault raises the OSError above.
template <typename Body>
void guarded_read(Body&& body) {
    using Callable = std::remove_reference_t<Body>;
    if (!run_guarded([](void* context) { (*static_cast<Callable*>(context))(); }, &body)) raise_file_changed();
}

inline void guarded_copy(void* destination, const void* source, size_t size) {
    guarded_read([&] { std::memcpy(destination, source, size); });
}

// guarded_copy with the interpreter lock released around the region, so that
// other threads run meanwhile (the region itself still calls nothing). Only
// for memory that nothing can free or resize while the lock is away: a source
// the caller holds a buffer export of (or a reference to its array), a
// destination the caller owns.
inline void guarded_copy_unlocked(void* destination, const void* source, size_t size) {
    auto body = [&] { std::memcpy(destination, source, size); };
    bool completed;
    {
        nb::gil_scoped_release unlocked;
        completed = run_guarded([](void* context) { (*static_cast<decltype(body)*>(context))(); }, &body);
    }
    if (!completed) raise_file_changed();
}

// Streams the bytes of `view` in row-major order (what tobytes() returns)
// into memory of the target's own, each copy made under the guard:
// target.room() is where the next bytes go and how many fit (room for one
// element at least, or none: then target.drain() makes room), and
// target.filled(n) is told after n bytes were copied there. drain() and
// filled() run outside the guard, so they may call the host.
template <typename Target>
void copy_array_bytes(const ArrayView& view, Target& target) {
    const size_t itemsize = static_cast<size_t>(view.itemsize());
    if (view.c_contiguous()) {
        const std::byte* at = view.data();
        for (size_t left = static_cast<size_t>(view.size_bytes()); left > 0;) {
            auto [into, room] = target.room();
            if (room == 0) {
                target.drain();
                continue;
            }
            const size_t count = std::min(room, left);
            guarded_copy(into, at, count);
            target.filled(count);
            at += count;
            left -= count;
        }
        return;
    }
    if (itemsize == 0) return;
    for_each_row(plan_walk(view, view, WalkOrder::RowMajor), view.data(), view.data(),
                 [&](const std::byte* row, const std::byte*, Py_ssize_t count, Py_ssize_t step, Py_ssize_t) {
                     while (count > 0) {
                         auto [into, room] = target.room();
                         const Py_ssize_t fit = std::min(count, static_cast<Py_ssize_t>(room / itemsize));
                         if (fit == 0) {
                             target.drain();
                             continue;
                         }
                         std::byte* out = static_cast<std::byte*>(into);
                         guarded_read([&] {
                             for (Py_ssize_t i = 0; i < fit; ++i) std::memcpy(out + i * itemsize, row + i * step, itemsize);
                         });
                         target.filled(static_cast<size_t>(fit) * itemsize);
                         row += fit * step;
                         count -= fit;
                     }
                 });
}

// A block of memory as copy_array_bytes' target, for an array that fits in it.
struct MemoryTarget {
    std::byte* at;
    size_t left;
    std::pair<void*, size_t> room() const { return {at, left}; }
    void filled(size_t count) {
        at += count;
        left -= count;
    }
    [[noreturn]] void drain() { raise(PyExc_ValueError, "the destination is smaller than the array"); }
};

}  // namespace ondrel
