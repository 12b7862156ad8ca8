// Counts the calls of the C allocator a benchmark program makes (malloc_calls),
// by replacing malloc, to show that a cycle makes none. Include it in exactly
// one source of a program.
#pragma once

#include <cstddef>

extern "C" void *__libc_malloc(size_t);
namespace {
std::size_t malloc_calls = 0;
}
extern "C" void *malloc(size_t n) {
    malloc_calls++;
    return __libc_malloc(n);
}
