// Range tests, byte access, clock set, timers and counters, multi-register
// shift and rotate, and the sun position against an independent computation.
#include <cmath>
#include <ctime>

#include "core/storage/nvram.h"
#include "platform/plat.h"
#include "tests/ladder/lad_fixture.h"
#include "tests/support/fake_rtc.h"

using test_support::FakeRtc;

using namespace la;

TEST_F(LadderTest, RangeTestsAscendingAndReversed) {
    struct Case {
        int16_t lo, hi, x;
        bool in;
    };
    const Case cases[] = {{10, 20, 10, true},  {10, 20, 20, true}, {10, 20, 21, false}, {10, 20, 9, false},
                          {20, 10, 15, false}, {20, 10, 20, true}, {20, 10, 5, true},   {-5, 5, -5, true}};
    LadAsm a(true);
    int i = 0;
    for (const Case &c : cases) {
        a.contact(LT_OFF);  // 192 overwrites a false power
        a.op(81).word(uint16_t(c.lo)).op(81).word(uint16_t(c.hi)).op(81).word(uint16_t(c.x)).op(192).coil(Q(++i));
    }
    a.contact(LT_OFF).op(84).dword(uint32_t(-100000)).op(84).dword(100000).op(84).dword(99999).op(193).coil(Q(20));
    a.contact(LT_ON).op(84).dword(100000).op(84).dword(uint32_t(-100000)).op(84).dword(0).op(193).coil(Q(21));
    a.contact(LT_OFF).op(84).dword(LT_FBits(1.5f)).op(84).dword(LT_FBits(2.5f)).op(84).dword(LT_FBits(2.0f));
    a.op(194).coil(Q(22));
    // A NaN limit sends the test to the wrapped form: x >= NaN and x <= 2.5 -> true.
    a.contact(LT_OFF).op(84).dword(0x7FC00000u).op(84).dword(LT_FBits(2.5f)).op(84).dword(LT_FBits(2.0f));
    a.op(194).coil(Q(23));
    a.end();
    EXPECT_EQ(Run(a), -1);
    for (int k = 0; k < i; k++) EXPECT_EQ(LT_Bit(Q(k + 1)), cases[k].in) << k;
    EXPECT_TRUE(LT_Bit(Q(20)));
    EXPECT_FALSE(LT_Bit(Q(21)));
    EXPECT_TRUE(LT_Bit(Q(22)));
    EXPECT_TRUE(LT_Bit(Q(23)));
    EXPECT_EQ(lad.wsp, 0u);
}

TEST_F(LadderTest, ByteLoadAndStore) {
    const uint32_t b = 2 * la::WordOf(R(5)) + 1;
    plc_reg[b] = 0xFF;
    for (bool l16 : {true, false}) {
        LadAsm a(l16);
        a.op(195).reg(R(5) + 8).op(82).reg(R(1));
        a.op(81).word(0x1234).op(196).reg(R(6));
        a.end();
        EXPECT_EQ(Run(a), -1);
        EXPECT_EQ(LT_W(R(1)), 255);
        EXPECT_EQ(LT_W(R(6)), 0x34);
        LT_SetW(R(6), 0);
        FirstScan();
    }
}

TEST_F(LadderTest, ClockSetOnlyWithPower) {
    const PlatRtcOps *saved = plat_rtc;
    plat_rtc = &FakeRtc::ops;
    FakeRtc::sets = 0;
    const uint16_t rec[7] = {30, 45, 12, 24, 12, 2026, 5};
    for (int i = 0; i < 7; i++) LT_SetW(R(10 + i), rec[i]);
    LadAsm a(true);
    a.contact(LT_OFF).op(230).reg(R(10)).coil(Q(1));
    a.contact(LT_ON).op(230).reg(R(10)).coil(Q(2));
    a.contact(LT_ON).op(230).reg(R(20)).coil(Q(3));  // an invalid record: power off
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(FakeRtc::sets, 1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_EQ(FakeRtc::last.tm_year, 2026 - 1900);
    EXPECT_EQ(FakeRtc::last.tm_min, 45);
    plat_rtc = saved;
}

// ---- timers ----------------------------------------------------------------------------------
TEST_F(LadderTest, OnDelayHundredMsPresetTenAtThirtyMsScans) {
    LT_SetBit(I(3), true);
    LadAsm a(true);
    a.contact(I(3)).op(209).reg(R(1)).word(10).coil(Q(1)).end();
    EXPECT_EQ(Run(a), -1);  // first scan: no time added
    int done_at = 0;
    for (int k = 1; k <= 40 && !done_at; k++) {
        LA_TimeAdvance(300);
        EXPECT_EQ(Scan(), -1);
        if (LT_Bit(Q(1))) done_at = k;
        if (k == 33) {
            EXPECT_EQ(LT_W(R(1)), 9);
        }
    }
    EXPECT_EQ(done_at, 34);  // 1.02 s: the first scan at or after 1 s
    EXPECT_EQ(LT_W(R(1)), 10);
    EXPECT_EQ(LT_W(R(2)) & 0xC000, 0xC000);
    LT_SetBit(I(3), false);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(1)), 0);
    EXPECT_EQ(LT_W(R(2)) & 0xC000, 0);
    EXPECT_FALSE(LT_Bit(Q(1)));
}

TEST_F(LadderTest, TimerStampWindowAndFractions) {
    LT_SetBit(I(3), true);
    LadAsm a(true);
    a.contact(I(3)).op(205).reg(R(1)).word(1000).coil(Q(1)).end();  // 10 ms base
    EXPECT_EQ(Run(a), -1);
    const uint16_t stamp = LT_W(R(2)) & 0x3FFF;
    LA_TimeAdvance(50);  // half a unit: nothing counted, the stamp stays
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(1)), 0);
    EXPECT_EQ(LT_W(R(2)) & 0x3FFF, stamp);
    LA_TimeAdvance(70);  // 12 ms in all: one unit, 2 ms carried
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(1)), 1);
    EXPECT_EQ(LT_W(R(2)) & 0x3FFF, (stamp + 100) & 0x3FFF);
    LA_TimeAdvance(20000);  // 2 s gap: 16384 ticks are lost
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(1)), 1 + (20000 + 20 - 16384) / 100);
}

TEST_F(LadderTest, OffDelayAndRetentiveTimers) {
    // Off-delay, 10 ms base, preset 5: done (output off) at once on a first
    // scan with the rung off.
    // Retentive, 10 ms base, preset 3, reset %I4, on its own rung (%I5).
    LadAsm b(true);
    b.contact(I(3)).op(207).reg(R(1)).word(5).coil(Q(1));
    b.contact(I(5)).op(213).bitx(I(4)).reg(R(3)).word(3).coil(Q(2));
    b.end();
    EXPECT_EQ(Run(b), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(1)), 5);
    LT_SetBit(I(3), true);
    LA_TimeAdvance(100);
    EXPECT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(1)), 0);
    LT_SetBit(I(3), false);  // falls: on for 5 units
    for (int k = 0; k < 4; k++) {
        LA_TimeAdvance(100);
        EXPECT_EQ(Scan(), -1);
        EXPECT_TRUE(LT_Bit(Q(1))) << k;
    }
    LA_TimeAdvance(100);
    EXPECT_EQ(Scan(), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));

    // Retentive: 2 units, off, 1 unit more: done; the reset clears it.
    LT_SetBit(I(5), true);
    EXPECT_EQ(Scan(), -1);
    LA_TimeAdvance(200);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(3)), 2);
    LT_SetBit(I(5), false);
    LA_TimeAdvance(500);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(3)), 2);
    LT_SetBit(I(5), true);
    EXPECT_EQ(Scan(), -1);
    LA_TimeAdvance(100);
    EXPECT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_W(R(3)), 3);
    LT_SetBit(I(4), true);
    EXPECT_EQ(Scan(), -1);
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_W(R(3)), 0);
}

TEST_F(LadderTest, TimerPresetZeroOrBelowIsDoneAtOnce) {
    LT_SetW(R(10), uint16_t(-4));
    LadAsm a(true);
    a.contact(LT_ON).op(204).reg(R(1)).reg(R(10)).coil(Q(1)).end();
    plc_reg[64] = 0;
    LA_Load(a);
    NV_EditorFeatures = 0x8000;
    FirstScan();
    EXPECT_EQ(LogicUpdate(), -1);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_EQ(int16_t(LT_W(R(1))), -4);
}

TEST_F(LadderTest, ThirtyTwoBitTimersThroughTheRoutine) {
    // Off-delay, 10 ms, immediate preset 3 (opcode 487): on a first scan with
    // the rung off it keeps its output on until it has timed out.
    plc_reg[64] |= 1;
    LadAsm a(true);
    a.op(487).reg(R(1)).dword(3);
    const std::vector<uint8_t> bytes = [&] {
        std::vector<uint8_t> v;
        for (uint16_t w : a.w) {
            v.push_back(uint8_t(w));
            v.push_back(uint8_t(w >> 8));
        }
        return v;
    }();
    RegTokLen_16b = 1;
    auto step = [&](uint32_t power, uint16_t now) {
        LadCursor c{bytes.data(), 0, uint32_t(a.w.size()), 0};
        const uint32_t out = Logic32bTimers(&c, power, now);
        EXPECT_EQ(c.pos, a.w.size());
        return out;
    };
    EXPECT_EQ(step(0, 1000), 1u);
    plc_reg[64] = 0;
    EXPECT_EQ(step(0, 1100), 1u);
    EXPECT_EQ(step(0, 1200), 1u);
    EXPECT_EQ(step(0, 1300), 0u);
    EXPECT_EQ(LT_D(R(1)), 3u);
    // 32-bit on-delay, 1 ms base, register preset (opcode 468).
    LadAsm b(true);
    b.op(468).reg(R(5)).reg(R(8));
    LT_SetD(R(8), 1000000);
    std::vector<uint8_t> bb;
    for (uint16_t w : b.w) {
        bb.push_back(uint8_t(w));
        bb.push_back(uint8_t(w >> 8));
    }
    LadCursor c{bb.data(), 0, uint32_t(b.w.size()), 0};
    EXPECT_EQ(Logic32bTimers(&c, 1, 0), 0u);
    for (uint32_t t = 1; t <= 1000; t++) {
        c.pos = 0;
        Logic32bTimers(&c, 1, uint16_t((t * 10000) & 0x3FFF));
    }
    EXPECT_EQ(LT_D(R(5)), 1000u * 1000u);  // each step 1 s = 1000 units: not capped by 16 bits
    EXPECT_EQ(LT_W(R(7)) & 0x8000, 0x8000);
}

TEST_F(LadderTest, CountersUpDownAndReset) {
    LadAsm a(true);
    a.contact(I(3)).op(201).bitx(I(4)).reg(R(1)).word(3).coil(Q(1));              // up, preset 3
    a.contact(I(3)).op(203).bitx(I(5)).reg(R(3)).word(2).coil(Q(2));              // down, preset 2
    a.contact(I(3)).op(201).bitx(I(4)).reg(R(5)).word(40000).coil(Q(3));          // never done
    a.contact(I(3)).op(199).word(1).bitx(I(4)).reg(R(10)).dword(2).coil(Q(4));    // 32-bit up
    a.contact(I(3)).op(199).word(2).bitx(I(5)).reg(R(13)).reg(R(20)).coil(Q(5));  // 32-bit down
    a.end();
    LT_SetD(R(20), 1);
    LT_SetW(R(5), 32766);
    LT_SetBit(I(5), true);  // load the down counters
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(3)), 2);
    EXPECT_EQ(LT_D(R(13)), 1u);
    LT_SetBit(I(5), false);
    std::vector<int> up, down;
    for (bool in : {true, true, false, true, false, true, false, true}) {
        LT_SetBit(I(3), in);
        EXPECT_EQ(Scan(), -1);
        up.push_back(int16_t(LT_W(R(1))));
        down.push_back(LT_Bit(Q(2)));
    }
    EXPECT_EQ(up, (std::vector<int>{1, 1, 1, 2, 2, 3, 3, 4}));
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_EQ(down, (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(int16_t(LT_W(R(3))), -2);
    EXPECT_EQ(LT_W(R(5)), 32767);  // stops at the maximum
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_EQ(LT_D(R(10)), 4u);
    EXPECT_TRUE(LT_Bit(Q(4)));
    EXPECT_EQ(int32_t(LT_D(R(13))), -3);
    EXPECT_TRUE(LT_Bit(Q(5)));
    LT_SetBit(I(4), true);  // reset the up counters
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(1)), 0);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_D(R(10)), 0u);
    // The floors of the down counts: -32768 for the 16-bit form, -2147483647
    // (not -2147483648) for the 32-bit form; three more counts each.
    LT_SetBit(I(4), false);
    LT_SetW(R(3), uint16_t(-32767));
    LT_SetD(R(13), uint32_t(-2147483646));
    for (bool in : {false, true, false, true, false, true}) {
        LT_SetBit(I(3), in);
        EXPECT_EQ(Scan(), -1);
    }
    EXPECT_EQ(int16_t(LT_W(R(3))), -32768);
    EXPECT_EQ(int32_t(LT_D(R(13))), -2147483647);
}

// ---- shift and rotate ---------------------------------------------------------------------------
namespace {
uint64_t Words48(uint32_t first) {
    return uint64_t(LT_W(R(first))) | uint64_t(LT_W(R(first + 1))) << 16 | uint64_t(LT_W(R(first + 2))) << 32;
}
void SetWords48(uint32_t first, uint64_t v) {
    for (uint32_t i = 0; i < 3; i++) LT_SetW(R(first + i), uint16_t(v >> (16 * i)));
}
}  // namespace

TEST_F(LadderTest, BitRunFromMidWordKeepsNeighbours) {
    const uint64_t init = 0x5A5A'1234'A5A5ull;
    const uint64_t run_mask = 0xFFFFFFull << 12;
    for (bool l16 : {true, false}) {
        FirstScan();
        SetWords48(100, init);
        SetWords48(200, init);
        LT_SetBit(I(6), true);   // input
        LT_SetBit(I(7), true);   // direction 1
        LT_SetBit(I(8), false);  // direction 0
        LadAsm a(l16);
        // Shift the 24 bits from bit 12 of %R100 by 4 toward higher bits.
        a.contact(LT_OFF).op(118).word(0).bitx(R(100) + 12).refconst(24).refconst(4).bitx(I(7)).bitx(Q(1)).bitx(I(6));
        a.coil(Q(2));
        // Rotate the same run of %R200 by 5 toward lower bits.
        a.contact(LT_OFF).op(119).word(0).bitx(R(200) + 12).refconst(24).refconst(5).bitx(I(8)).coil(Q(3));
        a.end();
        EXPECT_EQ(Run(a), -1);
        const uint64_t run = (init >> 12) & 0xFFFFFF;
        const uint64_t shifted = ((run << 4) | 0xF) & 0xFFFFFF;
        const uint64_t rotated = ((run >> 5) | (run << 19)) & 0xFFFFFF;
        EXPECT_EQ(Words48(100), (init & ~run_mask) | (shifted << 12));
        EXPECT_EQ(Words48(200), (init & ~run_mask) | (rotated << 12));
        EXPECT_EQ(LT_Bit(Q(1)), ((run >> 20) & 1) != 0);
        EXPECT_TRUE(LT_Bit(Q(2)));  // the power out replaces a false power
        EXPECT_TRUE(LT_Bit(Q(3)));
    }
}

TEST_F(LadderTest, RunLengthTakesTheEscapeWords) {
    // 16-bit layout: a length of 0x10010 bits is written 1776, 0x0010; the
    // operands after it are read in their places.
    const uint32_t len = 0x10010;
    LT_SetBit(R(1) + len - 1, true);  // last bit of the run
    LT_SetBit(I(7), true);            // direction 1
    LadAsm a(true);
    a.contact(LT_OFF).op(119).word(0).bitx(R(1)).refconst(len).refconst(1).bitx(I(7)).coil(Q(1)).end();
    EXPECT_EQ(a.w[4], 1776);
    EXPECT_EQ(a.w[5], 0x0010);
    EXPECT_EQ(Run(a), -1);
    EXPECT_TRUE(LT_Bit(R(1)));  // the last bit came round to the first
    EXPECT_FALSE(LT_Bit(R(1) + len - 1));
    EXPECT_TRUE(LT_Bit(Q(1)));
}

TEST_F(LadderTest, ShiftAndRotateOfWordsBytesAndDwords) {
    for (uint32_t i = 0; i < 4; i++) LT_SetW(R(10 + i), uint16_t(0x1100 * (i + 1) + i));
    LT_SetW(R(30), 0xEEEE);
    LT_SetW(R(2), 2);  // the count in a register
    LadAsm a(true);
    // Words %R10..%R13 toward lower addresses by the count in %R2.
    a.contact(LT_ON).op(118).word(2).bitx(R(10)).refconst(4).reg(R(2)).bitx(I(8)).bitx(R(31)).bitx(R(30)).coil(Q(1));
    // Count above length: nothing moves, power off.
    a.contact(LT_ON).op(118).word(2).bitx(R(10)).refconst(4).refconst(5).bitx(I(8)).bitx(R(32)).bitx(R(30)).coil(Q(2));
    // Rotate the 4 bytes of %R20..%R21 toward higher addresses by 1.
    a.contact(LT_ON).op(119).word(1).bitx(R(20)).refconst(4).refconst(1).bitx(I(7)).coil(Q(3));
    // Double words: rotate by the length leaves the run as it was.
    a.contact(LT_ON).op(119).word(3).bitx(R(40)).refconst(2).refconst(2).bitx(I(7)).coil(Q(4));
    // Bytes, count equal to length, toward higher addresses: the output (the
    // low byte of %R65) gets the first byte, every byte becomes the input
    // byte, the high byte of %R64.
    a.contact(LT_ON).op(118).word(1).bitx(R(60)).refconst(4).refconst(4).bitx(I(7)).bitx(R(65)).bitx(R(64) + 8);
    a.coil(Q(5));
    // Words toward higher addresses by 1: the output gets the last word.
    a.contact(LT_ON).op(118).word(2).bitx(R(70)).refconst(4).refconst(1).bitx(I(7)).bitx(R(75)).bitx(R(74)).coil(Q(6));
    // Double words toward lower addresses by 1: the output gets the first.
    a.contact(LT_ON).op(118).word(3).bitx(R(80)).refconst(2).refconst(1).bitx(I(8)).bitx(R(85)).bitx(R(87)).coil(Q(7));
    a.end();
    LT_SetD(R(60), 0x22011100u);
    LT_SetW(R(64), 0xAB77);
    LT_SetW(R(65), 0xEEEE);
    for (uint32_t i = 0; i < 5; i++) LT_SetW(R(70 + i), uint16_t(0x1111 * (i + 1)));
    LT_SetD(R(80), 0x11112222u);
    LT_SetD(R(82), 0x33334444u);
    LT_SetD(R(87), 0x99998888u);
    LT_SetD(R(20), 0x44332211u);
    LT_SetD(R(40), 0x11111111u);
    LT_SetD(R(42), 0x22222222u);
    LT_SetBit(I(7), true);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(10)), 0x3302);
    EXPECT_EQ(LT_W(R(11)), 0x4403);
    EXPECT_EQ(LT_W(R(12)), 0xEEEE);
    EXPECT_EQ(LT_W(R(13)), 0xEEEE);
    EXPECT_EQ(LT_W(R(31)), 0x2201);  // the element at position count - 1
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(32)), 0);
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_D(R(20)), 0x33221144u);
    EXPECT_EQ(LT_D(R(40)), 0x11111111u);
    EXPECT_EQ(LT_D(R(42)), 0x22222222u);
    EXPECT_EQ(LT_D(R(60)), 0xABABABABu);
    EXPECT_EQ(LT_W(R(65)), 0xEE00);
    EXPECT_TRUE(LT_Bit(Q(5)));
    EXPECT_EQ(LT_W(R(70)), 0x5555);
    EXPECT_EQ(LT_W(R(71)), 0x1111);
    EXPECT_EQ(LT_W(R(72)), 0x2222);
    EXPECT_EQ(LT_W(R(73)), 0x3333);
    EXPECT_EQ(LT_W(R(75)), 0x4444);
    EXPECT_TRUE(LT_Bit(Q(6)));
    EXPECT_EQ(LT_D(R(80)), 0x33334444u);
    EXPECT_EQ(LT_D(R(82)), 0x99998888u);
    EXPECT_EQ(LT_D(R(85)), 0x11112222u);
    EXPECT_TRUE(LT_Bit(Q(7)));
}

TEST_F(LadderTest, IndirectShiftAndRotateStartAtAByteOffset) {
    // 529/530: the start names a register pair holding the byte offset of the
    // run: %R10 is byte (32768 + 16 * 9) / 8 - 128 = 3986, %R20 byte 4006.
    for (uint32_t i = 0; i < 4; i++) LT_SetW(R(10 + i), uint16_t(0x1100 * (i + 1) + i));
    LT_SetW(R(30), 0xEEEE);
    LT_SetW(R(2), 2);
    LT_SetD(R(50), 3986);
    LT_SetD(R(52), 4006);
    LT_SetD(R(20), 0x44332211u);
    LadAsm a(true);
    a.contact(LT_OFF).op(529).word(2).bitx(R(50)).refconst(4).reg(R(2)).bitx(I(8)).bitx(R(31)).bitx(R(30)).coil(Q(1));
    a.contact(LT_OFF).op(530).word(1).bitx(R(52)).refconst(4).refconst(1).bitx(I(7)).coil(Q(2));
    a.end();
    LT_SetBit(I(7), true);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(10)), 0x3302);  // runs whatever the rung power
    EXPECT_EQ(LT_W(R(11)), 0x4403);
    EXPECT_EQ(LT_W(R(12)), 0xEEEE);
    EXPECT_EQ(LT_W(R(13)), 0xEEEE);
    EXPECT_EQ(LT_W(R(31)), 0x2201);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_D(R(20)), 0x33221144u);
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_D(R(50)), 3986u);
}

TEST_F(LadderTest, ShiftRunsPastTheImageAreRefused) {
    LadAsm a(false);
    a.contact(LT_ON).op(119).word(2).bitx(0x10030FF0).refconst(100).refconst(1).bitx(I(7)).coil(Q(1));
    a.contact(LT_ON).op(119).word(0).bitx(R(1)).refconst(0xFFFFFFFF).refconst(3).bitx(I(7)).coil(Q(2));
    a.end();
    const auto before = plc_reg;
    EXPECT_EQ(Run(a), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_TRUE(std::equal(before.begin() + 4000, before.end(), plc_reg.begin() + 4000));
}

// ---- sun position -----------------------------------------------------------------------------
namespace {
// Independent solar position after Meeus' low-accuracy formulas (the NOAA
// calculator): apparent longitude, true obliquity, sidereal time, then the
// topocentric direction from its east, north and up components.
void MeeusSun(int y, int mo, int d, int h, int mi, int s, double lon, double lat, double &zen, double &az) {
    const double kD = M_PI / 180.0;
    int yy = y, mm = mo;
    if (mm <= 2) {
        yy -= 1;
        mm += 12;
    }
    const int a = yy / 100;
    const int b = 2 - a + a / 4;  // Gregorian
    const double jd = std::floor(365.25 * (yy + 4716)) + std::floor(30.6001 * (mm + 1)) + d + b - 1524.5 +
                      (h + mi / 60.0 + s / 3600.0) / 24.0;
    const double t = (jd - 2451545.0) / 36525.0;
    const double l0 = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    const double m = 357.52911 + t * (35999.05029 - 0.0001537 * t);
    const double c = std::sin(m * kD) * (1.914602 - t * (0.004817 + 0.000014 * t)) +
                     std::sin(2 * m * kD) * (0.019993 - 0.000101 * t) + std::sin(3 * m * kD) * 0.000289;
    const double omega = 125.04 - 1934.136 * t;
    const double lambda = l0 + c - 0.00569 - 0.00478 * std::sin(omega * kD);
    const double eps0 = 23.0 + (26.0 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    const double eps = eps0 + 0.00256 * std::cos(omega * kD);
    const double ra = std::atan2(std::cos(eps * kD) * std::sin(lambda * kD), std::cos(lambda * kD));
    const double dec = std::asin(std::sin(eps * kD) * std::sin(lambda * kD));
    const double gmst = 280.46061837 + 360.98564736629 * (jd - 2451545.0) + 0.000387933 * t * t;
    const double ha = (gmst + lon) * kD - ra;
    const double phi = lat * kD;
    const double up = std::sin(phi) * std::sin(dec) + std::cos(phi) * std::cos(dec) * std::cos(ha);
    const double east = -std::cos(dec) * std::sin(ha);
    const double north = std::cos(phi) * std::sin(dec) - std::sin(phi) * std::cos(dec) * std::cos(ha);
    zen = std::acos(up) / kD;
    az = std::fmod(std::atan2(east, north) / kD + 360.0, 360.0);
}
}  // namespace

TEST_F(LadderTest, SunPositionAgreesWithAnIndependentComputation) {
    struct Case {
        int y, mo, d, h, mi, s;
        double lon, lat;
    };
    const Case cases[] = {{2000, 1, 1, 12, 0, 0, 0.0, 0.0},
                          {2021, 6, 21, 10, 30, 0, 11.5, 48.1},
                          {2010, 2, 15, 18, 45, 30, -74.0, 40.7},
                          {2015, 11, 3, 4, 0, 0, 151.2, -33.9}};
    for (const Case &c : cases) {
        const int32_t tm[6] = {c.y, c.mo, c.d, c.h, c.mi, c.s};
        const double loc[2] = {c.lon, c.lat};
        double res[2];
        sunpos(tm, loc, res);
        double zen, az;
        MeeusSun(c.y, c.mo, c.d, c.h, c.mi, c.s, c.lon, c.lat, zen, az);
        EXPECT_NEAR(res[0], zen, 0.05) << c.y;
        EXPECT_NEAR(res[1], az, 0.05) << c.y;
        EXPECT_GE(res[1], 0.0);
        EXPECT_LT(res[1], 360.0);
    }
}

// The published algorithm's own values, worked out apart from this code to
// nine places: close enough to see its smallest steps (the parallax, up to
// 0.0024 degrees, and the 0.0001134 rad aberration term, 0.0065 degrees).
TEST_F(LadderTest, SunPositionMatchesThePublishedAlgorithmClosely) {
    struct Case {
        int32_t t[6];
        double lon, lat, zenith, azimuth;
    };
    const Case cases[] = {{{2021, 6, 21, 10, 30, 0}, 11.5, 48.1, 26.289830005, 155.696536414},
                          {{2015, 11, 3, 4, 0, 0}, 151.2, -33.9, 37.042137463, 292.011288472},
                          {{2010, 2, 15, 18, 45, 30}, -74.0, 40.7, 57.619361433, 207.863850853}};
    for (const Case &c : cases) {
        const double loc[2] = {c.lon, c.lat};
        double res[2];
        sunpos(c.t, loc, res);
        EXPECT_NEAR(res[0], c.zenith, 1e-6) << c.t[0];
        EXPECT_NEAR(res[1], c.azimuth, 1e-6) << c.t[0];
    }
}

// The sun straight overhead (1 June 2024, 05:07 UT, at the place under it):
// rounding puts the cosine of the zenith a hair above 1, where acos gives
// no number; the zenith is 0 (to within rounding) and the azimuth a number
// in [0, 360).
TEST_F(LadderTest, SunOverheadGivesAZenithOfZero) {
    const int32_t tm[6] = {2024, 6, 1, 5, 7, 0};
    const double loc[2] = {102.72191189100886, 22.1203733197706};
    double res[2];
    sunpos(tm, loc, res);
    EXPECT_GE(res[0], 0.0);
    EXPECT_LT(res[0], 1e-6);
    EXPECT_GE(res[1], 0.0);
    EXPECT_LT(res[1], 360.0);
}

TEST_F(LadderTest, SunPositionInstructionRunsWithoutPower) {
    const uint16_t clock[6] = {0, 0, 12, 1, 1, 2000};
    for (int i = 0; i < 6; i++) LT_SetW(R(10 + i), clock[i]);
    LT_SetF(R(20), 0.0f);
    LT_SetF(R(22), 0.0f);
    LadAsm a(true);
    a.contact(LT_OFF).op(244).reg(R(10)).reg(R(20)).reg(R(22)).reg(R(30)).reg(R(32)).coil(Q(1)).end();
    EXPECT_EQ(Run(a), -1);
    double zen, az;
    MeeusSun(2000, 1, 1, 12, 0, 0, 0.0, 0.0, zen, az);
    EXPECT_NEAR(LT_F(R(30)), zen, 0.05);
    EXPECT_NEAR(LT_F(R(32)), az, 0.05);
    EXPECT_FALSE(LT_Bit(Q(1)));  // the power is left as it was
}
