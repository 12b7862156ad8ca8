// Internal command client against the real command processor on the
// intercepted programming port: a command answered by a frame, a data frame
// with a wrong checksum, answers longer than the caller's buffer, and the
// port refused while another user holds it.
#include <gtest/gtest.h>

#include "cmd/mcmd.h"
#include "core/image/dpram.h"
#include "messaging/messaging.h"
#include "messaging/talk.h"
#include "tests/cmd/test_cmd_support.h"

namespace {

using cmd_test::CmdTest;
using McmdTest = CmdTest;

TEST_F(McmdTest, FramesChecksumsAndRefusals) {
    TalkInit();
    PlcWordSet(W_MODE, 2);
    ASSERT_EQ(MCMD_Init(0), 0u);
    uint8_t target = 127, rx[8] = {};
    uint32_t n = 99;
    EXPECT_EQ(MCMD_SendCmd(1, 1, &target, rx, sizeof rx, &n), MCMD_FRAME);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(rx[0], 2);
    // Answer frames put straight on the intercepted transmit side.
    auto put = [](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) Vcomm_Drv[0].PutTx(0, b);
    };
    uint32_t len = 0;
    uint8_t buf[4] = {};
    const uint8_t good = uint8_t(-(Cmd_Seed() + 0xFF + 2 + 0x11 + 0x22));
    put({0xFF, 2, 0x11, 0x22, good});
    EXPECT_EQ(MCMD_GetData(&len, buf, sizeof buf), MCMD_FRAME);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(buf[1], 0x22);
    put({0xFF, 2, 0x11, 0x22, uint8_t(good + 1)});
    EXPECT_EQ(MCMD_GetData(&len, buf, sizeof buf), MCMD_BADSUM);
    // Longer than the buffer: refused, nothing written past it.
    uint8_t small[3] = {0, 0, 0x5C};
    const uint8_t sum6 = uint8_t(-(Cmd_Seed() + 0xFF + 6 + 1 + 2 + 3 + 4 + 5 + 6));
    put({0xFF, 6, 1, 2, 3, 4, 5, 6, sum6});
    EXPECT_EQ(MCMD_GetData(&len, small, 2), MCMD_BADSUM);
    EXPECT_EQ(small[2], 0x5C);
    put({0xA0});
    EXPECT_EQ(MCMD_GetData(&len, buf, sizeof buf), 0xA0);
    MCMD_Close();
    // Closed: no exchange.
    EXPECT_EQ(MCMD_SendCmd(1, 1, &target, rx, sizeof rx, &n), MCMD_TIMEOUT);

    // The port held by another user: refused.
    ASSERT_EQ(Talk_Override(0), 1u);
    EXPECT_EQ(MCMD_Init(0), 2005u);
    Talk_Release(0);
    // A Talk block of the user program holds the port open: the override
    // is given back at once and the channel answers 2 (acknowledged).
    Talk.opened = 1;
    EXPECT_EQ(MCMD_Init(0), 2005u);
    EXPECT_EQ(dpram[DP_TALK_RES], 2);
    EXPECT_EQ(dpram[DP_TALK_ACK], dpram[DP_TALK_REQ]);
    EXPECT_EQ(TalkOverride, 0);
    Talk.opened = 0;
    Vcomm_Drv[0].SetIntrcpt(0, 1);
}

// A wait that spans the wrap of the 32-bit time base (every 4.97 days) still
// lasts its whole 5 s: the clock is put 1 s before the wrap and moves 1 ms on
// every reading, so the silent wait for a data frame ends only after 5,000 ms
// of clock time (a clock taken as time base / 10 ended it after about 1 s).
TEST_F(McmdTest, AWaitAcrossTheWrapOfTheTimeBaseLastsItsWholeTime) {
    TalkInit();
    PlcWordSet(W_MODE, 2);
    ASSERT_EQ(MCMD_Init(0), 0u);
    test_support::Fake().offset = 0;
    test_support::Fake().offset = uint32_t(0xFFFFFFFFu - 10000u + 1u - FPGA_GetFrt());  // 1 s before 2^32
    ASSERT_EQ(FPGA_GetFrt(), 0xFFFFFFFFu - 10000u + 1u);
    test_support::Fake().step_ns = 1000000;
    const int64_t before = test_support::Fake().ns;
    uint32_t len = 0;
    uint8_t buf[4] = {};
    EXPECT_EQ(MCMD_GetData(&len, buf, sizeof buf), MCMD_TIMEOUT);
    const int64_t waited_ms = (test_support::Fake().ns - before) / 1000000;
    test_support::Fake().step_ns = 0;
    EXPECT_GE(waited_ms, 5000);
    EXPECT_LE(waited_ms, 5100);
    EXPECT_EQ(Vcomm_Port[0].VirtualCmd, 1);  // interception stays on until the close
    MCMD_Close();
    EXPECT_EQ(Vcomm_Port[0].VirtualCmd, 0);
    Vcomm_Drv[0].SetIntrcpt(0, 1);
}

}  // namespace
