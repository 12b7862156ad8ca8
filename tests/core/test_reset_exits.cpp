// All the core tests share one process: a reset that a test leaves behind
// (an armed watchdog, a reset command) ends the program with status 3 and
// says so, instead of starting the test program again from its beginning.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {
class ResetExits : public ::testing::Environment {
public:
    void SetUp() override { setenv("PLC_RESET", "exit", 1); }
};
const auto *const kResetExits = ::testing::AddGlobalTestEnvironment(new ResetExits);
}  // namespace
