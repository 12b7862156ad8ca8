// Counts the heap allocations a benchmark program makes while counting is on,
// by replacing the global allocation functions. Include it in exactly one
// source of a program.
#pragma once

// The replaced operators pair malloc with free, which the warning cannot tell
// from a mismatched pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench_alloc {
inline std::atomic<bool> counting{false};
inline std::atomic<uint64_t> count{0};
}  // namespace bench_alloc

void *operator new(std::size_t n) {
    if (bench_alloc::counting) bench_alloc::count++;
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
