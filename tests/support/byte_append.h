// Appends raw bytes to a byte vector. Grows with resize and copies with
// memcpy: GCC 12 at -O3 reports a false array-bounds fault for
// vector::insert at the end of a vector built with a fixed size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace test_support {

inline void AppendBytes(std::vector<uint8_t> &to, const void *from, std::size_t n) {
    if (n == 0) return;
    const std::size_t at = to.size();
    to.resize(at + n);
    std::memcpy(to.data() + at, from, n);
}

inline void AppendBytes(std::vector<uint8_t> &to, const std::vector<uint8_t> &from) {
    AppendBytes(to, from.data(), from.size());
}

}  // namespace test_support
