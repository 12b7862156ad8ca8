// In-process fixture of the command-protocol tests: a temporary root, a clock
// that moves only when the test says so, and the programming port running
// intercepted, so that a test stuffs the bytes a host sends and drains the
// controller's answer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/reset_exits.h"
#include "cmd/cmd.h"
#include "core/image/timebase.h"
#include "io/vcomm.h"
#include "exec/sys.h"
#include "platform/plat.h"
#include "tests/support/cmd_port.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"

namespace cmd_test {

using test_support::Bytes;
using test_support::Frame;

class CmdTest : public ::testing::Test {
protected:
    test_support::TempRoot root;
    // After the root: the platform set-up of the root resets the time seam.
    test_support::FakeClock clock{1000000000};

    void SetUp() override {
        Timer_Init(&fpga_port, 100);
        RCT_Init();
        test_support::ClearCmdState();
        SCI2_Init(0);
        test_support::StartInterceptedPort();
    }
    void TearDown() override {
        Vcomm_Drv[0].SetIntrcpt(0, 0);
        // A program saved by a download arms the watchdog; left armed it would
        // reset the test program once a later test stops passing through the loop.
        StopWatchdog();
    }

    static void Advance(uint32_t ms) { test_support::FakeClock::AdvanceMs(ms); }

    static void Stuff(const Bytes &in) { test_support::StuffRx(in); }
    static Bytes Drain() {
        Bytes out;
        test_support::DrainTx(&out);
        return out;
    }
    // The host sends bytes; the controller runs some passes; its answer.
    static Bytes Exchange(const Bytes &in, int passes = 3) {
        Stuff(in);
        for (int i = 0; i < passes; i++) Cmd_Check();
        return Drain();
    }
};

}  // namespace cmd_test
