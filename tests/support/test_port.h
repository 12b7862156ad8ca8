// A TCP port of the running test's own, picked from 64 above base by the
// test's name: ctest runs the tests of one program side by side.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace test_support {
inline uint16_t TestPort(uint16_t base) {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return uint16_t(base + std::hash<std::string>{}(name) % 64);
}
}  // namespace test_support
