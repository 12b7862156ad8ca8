// The Ethernet status word's bits and the activity bits behind them.
#include <gtest/gtest.h>

#include "net/enet.h"

TEST(NetStatusWord, EachBitAndTheConnectionCount) {
    struct Case {
        bool link, tx, rx;
        uint32_t speed, duplex, connections;
        uint16_t word;
    };
    const Case cases[] = {
        {false, false, false, 0, 0, 0, 0x0000},
        {true, false, false, 0, 0, 0, 0x0100},
        {false, true, false, 0, 0, 0, 0x0200},
        {false, false, true, 0, 0, 0, 0x0400},
        {false, false, false, 2, 0, 0, 0x4000},  // 1000 Mbit/s
        {false, false, false, 1, 0, 0, 0x1000},  // 100 Mbit/s
        {false, false, false, 3, 0, 0, 0x1000},  // any other nonzero code
        {false, false, false, 0, 1, 0, 0x2000},  // full duplex
        {false, false, false, 0, 5, 0, 0x2000},
        {false, false, false, 0, 0, 3, 0x0003},
        {true, true, true, 2, 1, 0, 0x6700},
        {true, true, true, 2, 1, 3, 0x6703},
        {true, false, true, 1, 0, 2, 0x1502},
        {true, false, false, 1, 1, 2, 0x3102},
        {true, false, false, 0, 0, 255, 0x01FF},
        // Added, then ORed: a 256th connection carries into the bits.
        {true, false, false, 0, 0, 256, 0x0300},
        {true, true, false, 0, 0, 256, 0x0700},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "link " << c.link << " tx " << c.tx << " rx " << c.rx << " speed "
                                          << c.speed << " duplex " << c.duplex << " conns " << c.connections);
        EXPECT_EQ(Enet_StatusBits(c.link, c.tx, c.rx, c.speed, c.duplex, c.connections), c.word);
    }
}

TEST(NetStatusWord, ActivityClearsMoreThan19MsAfterTheLastChange) {
    EnetActivity a{};
    Enet_UpdateActivity(a, 0, 5);
    EXPECT_FALSE(a.on) << "an unchanged count from the start is no activity";
    Enet_UpdateActivity(a, 7, 100);
    EXPECT_TRUE(a.on);
    EXPECT_EQ(a.time, 100u);
    Enet_UpdateActivity(a, 7, 119);
    EXPECT_TRUE(a.on) << "19 ms after the change";
    Enet_UpdateActivity(a, 7, 120);
    EXPECT_FALSE(a.on) << "20 ms after the change";
    Enet_UpdateActivity(a, 7, 500);
    EXPECT_FALSE(a.on);
    Enet_UpdateActivity(a, 8, 501);
    EXPECT_TRUE(a.on);
    EXPECT_EQ(a.count, 8u);
    // Across the millisecond counter's wrap.
    Enet_UpdateActivity(a, 9, 0xFFFFFFF0u);
    Enet_UpdateActivity(a, 9, 3);
    EXPECT_TRUE(a.on);
    Enet_UpdateActivity(a, 9, 4);
    EXPECT_FALSE(a.on);
}
