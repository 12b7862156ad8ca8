// Shared set-up of the executive's in-process tests: a temporary root
// folder and a monotonic clock that moves only when the test says so.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/support/reset_exits.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"

namespace exec_test {

// The executive's root for the whole test program; a reset ends the process.
inline std::string Root() {
    static char tmpl[] = "/tmp/plc-exec-XXXXXX";
    setenv("PLC_RESET", "exit", 1);
    return test_support::KeptRoot(tmpl);
}

// On a tick boundary, near the real clock.
using test_support::FakeClock;

}  // namespace exec_test
