// Internal command client against the real command processor on the
// intercepted programming port: a command answered by a frame, a data frame
// with a wrong checksum, answers longer than the caller's buffer, and the
// port refused while another user holds it.
#include <gtest/gtest.h>

#include "cmd/mcmd.h"
#include "messaging/messaging.h"
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
    Vcomm_Drv[0].SetIntrcpt(0, 1);
}

}  // namespace
