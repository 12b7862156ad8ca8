// A test program that includes this ends with status 3 on a reset a test
// leaves behind (an armed watchdog, a reset command), instead of starting
// again from its beginning.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace test_support {
class ResetExits : public ::testing::Environment {
public:
    void SetUp() override { setenv("PLC_RESET", "exit", 1); }
};
inline const auto *const kResetExits = ::testing::AddGlobalTestEnvironment(new ResetExits);
}  // namespace test_support
