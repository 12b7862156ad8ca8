// Registers chosen at run time (indexed elements, byte pointers, masks, bit
// by number), sequence steps, the extended timers and the pointer block
// moves, run over several scans where time matters.
#include "tests/ladder/lad_rungs.h"

using namespace la;

namespace {
constexpr uint32_t RB(uint32_t n) { return 2 * (1983 + n); }
}  // namespace

TEST_F(LadderTest, IndexedPointerAndMaskAccess) {
    for (bool l16 : {false, true}) {
        SetUp();
        PlcWordSet(W_MODE, 2);
        LadRungs r(l16);
        LT_SetW(R(702), 0xBEEF);
        LT_SetW(R(703), 0x5678);
        LT_SetW(R(20), 3);
        LT_SetW(R(21), 50241);
        LT_SetW(R(22), 2);
        LT_SetW(R(23), 5);
        LT_SetW(R(24), 0);
        LT_SetW(R(25), 1);
        LT_SetW(R(26), 25121);
        LT_SetW(R(27), 25120);
        LT_SetD(R(30), 2);
        LT_SetW(R(744), 0x5555);
        LT_SetW(R(741), 0x4444);
        plc_reg[RB(720)] = 0x5A;
        LT_SetD(R(704), 0x12345678);
        // Indexed bit reads reach the linear window only; writes go anywhere
        // a register write may.
        const uint32_t mbase = l16 ? M16(1) : EM(1);
        LT_SetBit(M16(5), true);
        LT_SetBit(EM(5), true);
        auto idx = [](uint16_t op, uint32_t base, uint32_t n) {
            return [=](LadAsm &a) { a.op(op).reg(base).reg(R(n)); };
        };
        r.rung("344 n=3", true, idx(344, R(700), 20), 16, 0xBEEF, true);
        r.rung("344 n=50241", true, idx(344, R(700), 21), 16, 0, false);
        r.rung("346 n=2", true, idx(346, R(702), 22), 32, 0x12345678, true);
        r.rung("346 2n=50242", true, idx(346, R(1), 26), 32, 0, false);
        // From word 0 the limits are the same: n - 1 = 50240 fails, 2n = 50240
        // writes the last two words of the range (%R48255..48256).
        r.rung("344 word 0 n=50241", true, idx(344, 1024, 21), 16, 0, false);
        r.rung(
            "347 word 0 2n=50240", true, [](LadAsm &a) { a.op(84).dword(0xA5A55A5Au).op(347).reg(1024).reg(R(27)); }, 0,
            0, true);
        r.rung("342 n=1", true, idx(342, R(720), 25), 16, 0x5A, true);
        r.rung("342 n=0", true, idx(342, R(720), 24), 16, 0, false);
        r.rung(
            "340 bit 5", false, [=](LadAsm &a) { a.op(340).bit(M16(1)).reg(R(23)).op(36); }, 0, 0, false);
        r.rung(
            "340 bit 5 on", true, [=](LadAsm &a) { a.op(340).bit(M16(1)).reg(R(23)).op(36); }, 0, 0, true);
        if (!l16)
            r.rung(
                "340 extended %M", true, [=](LadAsm &a) { a.op(340).bit(EM(1)).reg(R(23)).op(36); }, 0, 0, false);
        r.rung(
            "347 n=2", true, [](LadAsm &a) { a.op(84).dword(0xCAFEF00D).op(347).reg(R(740)).reg(R(22)); }, 0, 0, true);
        r.rung(
            "345 %SR5 := 7", true, [](LadAsm &a) { a.op(81).word(7).op(345).reg(SR(1)).reg(R(23)); }, 0, 0, false);
        r.rung(
            "345 %R704", true, [](LadAsm &a) { a.op(81).word(0x1234).op(345).reg(R(700)).reg(R(23)); }, 0, 0, true);
        r.rung(
            "343 byte", true, [](LadAsm &a) { a.op(81).word(0x1AB).op(343).reg(R(730)).reg(R(22)); }, 0, 0, true);
        // 341 with n = 0 consumes its power without writing: the rung's own power reaches the coil.
        r.rung(
            "341 n=0", true, [=](LadAsm &a) { a.contact(LT_OFF).op(341).bit(mbase).reg(R(24)); }, 0, 0, true);
        r.rung(
            "341 n=2", true, [=](LadAsm &a) { a.contact(LT_ON).op(341).bit(mbase).reg(R(22)); }, 0, 0, true);
        // Pointers: the power is not looked at.
        r.rung(
            "350", false, [](LadAsm &a) { a.op(350).reg(R(800)).reg(R(100)).word(3); }, 0, 0, false);
        r.rung(
            "359", false, [](LadAsm &a) { a.op(359).reg(R(802)).reg(R(100) + 8).reg(R(30)); }, 0, 0, false);
        LT_SetD(R(804), RB(702) + 1);  // odd pointer into %R702
        LT_SetD(R(806), PLC_REG_SIZE - 3);
        LT_SetD(R(808), RB(850));
        auto ptr = [](uint16_t op, uint32_t p, uint16_t k) { return [=](LadAsm &a) { a.op(op).reg(p).word(k); }; };
        r.rung("351 off", false, ptr(351, R(804), 0), 16, 0xBE, false);
        r.rung("352 odd", false, ptr(352, R(804), 0), 16, 0x78BE, false);
        r.rung("353 odd", true, ptr(353, R(804), 0), 32, 0x345678BEu, true);
        r.rung("353 past the end", true, ptr(353, R(806), 0), 32, 0, false);
        r.rung("352 last word", true, ptr(352, R(806), 1), 16, LE_Get16(&plc_reg[PLC_REG_SIZE - 2]), true);
        r.rung(
            "355", false, [](LadAsm &a) { a.op(81).word(0x77).op(355).reg(R(808)).word(0); }, 0, 0, false);
        r.rung(
            "356 odd", false, [](LadAsm &a) { a.op(81).word(0xA1B2).op(356).reg(R(808)).word(3); }, 0, 0, false);
        r.rung(
            "357", true, [](LadAsm &a) { a.op(84).dword(0x01020304).op(357).reg(R(808)).word(6); }, 0, 0, true);
        r.rung(
            "357 past the end", true, [](LadAsm &a) { a.op(84).dword(1).op(357).reg(R(806)).word(0); }, 0, 0, false);
        r.rung(
            "358", true, [](LadAsm &a) { a.contact(LT_ON).op(358).reg(R(808)).word(10); }, 0, 0, true);
        r.rung(
            "354", false, [](LadAsm &a) { a.op(354).reg(R(808)).word(10).op(35); }, 0, 0, true);
        // Masks.
        LT_SetW(R(900), 0x0F0F);
        LT_SetW(R(901), 0x00F0);
        LT_SetD(R(902), 0x80000000u);
        LT_SetD(R(904), 0x80000001u);
        r.rung(
            "362 no common bit", true, [](LadAsm &a) { a.op(362).reg(R(900)).reg(R(901)).op(36); }, 0, 0, false);
        r.rung(
            "363 common bit", true, [](LadAsm &a) { a.op(363).reg(R(902)).reg(R(904)).op(36); }, 0, 0, true);
        r.rung(
            "364 clear", true, [](LadAsm &a) { a.contact(LT_OFF).op(364).reg(R(901)).reg(R(901)); }, 0, 0, true);
        r.rung(
            "364 set", true, [](LadAsm &a) { a.contact(LT_ON).op(364).reg(R(900)).reg(R(904)); }, 0, 0, true);
        r.rung(
            "365 clear", true, [](LadAsm &a) { a.contact(LT_OFF).op(365).reg(R(904)).reg(R(902)); }, 0, 0, true);
        r.a.end();
        EXPECT_EQ(Run(r.a), -1);
        r.check();
        EXPECT_EQ(PlcWord(W_MODE), 2);
        EXPECT_EQ(LT_W(R(741)), 0x4444);
        EXPECT_EQ(LT_D(R(742)), 0xCAFEF00Du);
        EXPECT_EQ(LT_D(R(48255)), 0xA5A55A5Au);
        EXPECT_EQ(LT_W(R(744)), 0x5555);
        EXPECT_EQ(LT_W(R(704)), 0x1234);
        EXPECT_EQ(plc_reg[RB(730) + 1], 0xAB);
        EXPECT_TRUE(LT_Bit(mbase + 1));
        EXPECT_EQ(LT_D(R(800)), RB(100) + 3);
        EXPECT_EQ(LT_D(R(802)), RB(100) + 1 + 2);
        EXPECT_EQ(plc_reg[RB(850)], 0x77);
        EXPECT_EQ(plc_reg[RB(850) + 3], 0xB2);
        EXPECT_EQ(plc_reg[RB(850) + 4], 0xA1);
        EXPECT_EQ(LE_Get32(&plc_reg[RB(850) + 6]), 0x01020304u);
        EXPECT_EQ(plc_reg[RB(850) + 10], 0xFF);
        EXPECT_EQ(LE_Get16(&plc_reg[PLC_REG_SIZE - 3]), 0u);
        EXPECT_EQ(LT_W(R(900)), 0x0F0F | 1);
        EXPECT_EQ(LT_W(R(901)), 0);
        EXPECT_EQ(LT_D(R(904)), 1u);
    }
}

TEST_F(LadderTest, BitByNumber) {
    LadAsm a(false);
    auto rec = [&](uint32_t q, bool on, uint8_t opn, uint8_t flags, uint32_t base, uint32_t b, uint32_t len) {
        a.contact(on ? LT_ON : LT_OFF).op(384).word(uint16_t(opn | (flags << 8))).dword(base).dword(b).dword(len);
        a.coil(Q(q));
    };
    LT_SetW(R(10), 20);  // B in a register
    LT_SetW(R(11), 2);   // L in a register
    // Relative pointers: the 32-bit value of a register counts bytes from it.
    LT_SetD(R(12), 6);  // to %R15, holding B = 17
    LT_SetW(R(15), 17);
    LT_SetD(R(16), 8);  // to %R20, holding L = 2 words
    LT_SetW(R(20), 2);
    LT_SetD(R(60), RB(950) - RB(60));             // to the string at %R950
    rec(1, true, 1, 0, R(900), 20, 2);            // set bit 20 of %R900.. -> %R901 bit 3
    rec(2, true, 1, 0, R(900), 33, 2);            // past 8L
    rec(3, true, 3, 0x01, R(900), R(10), R(11));  // test bit 20 through registers
    rec(4, false, 1, 0, R(900), 1, 2);            // power 0: skipped
    rec(5, true, 1, 0x02, EM(1), 9, 2);           // extended %M base, bytes: %M9
    rec(6, true, 2, 0, R(900), 0, 2);             // B = 0
    rec(7, true, 1, 0x05, R(60), R(12), R(16));   // all through relative pointers: B = 17
    rec(8, true, 1, 0, R(900), 1, 600);           // L above 512 bytes
    rec(9, true, 9, 0, R(900), 2, 2);             // unknown operation
    // A relative base register high in the system words: its reference plus
    // the string's bits must stay within 0x10030FFF as for a direct base.
    LE_Put32(&plc_reg[109024], 8);            // %ESR241 (0x10030F00) -> byte 109032
    rec(10, true, 1, 0x06, ESR(241), 1, 32);  // 0x10030F00 + 256 = 0x10031000: refused
    rec(11, true, 1, 0x06, ESR(241), 2, 31);  // 0x10030F00 + 248 = 0x10030FF8: bit 1 set
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(901)), 0x0008);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_TRUE(LT_Bit(Q(3)));
    EXPECT_FALSE(LT_Bit(Q(4)));
    EXPECT_TRUE(LT_Bit(EM(9)));
    EXPECT_TRUE(LT_Bit(Q(5)));
    EXPECT_FALSE(LT_Bit(Q(6)));
    EXPECT_EQ(LT_W(R(951)), 0x0001);  // bit 17 = %R951 bit 0
    EXPECT_TRUE(LT_Bit(Q(7)));
    EXPECT_FALSE(LT_Bit(Q(8)));
    EXPECT_FALSE(LT_Bit(Q(9)));
    EXPECT_EQ(LT_W(R(900)), 0);
    EXPECT_FALSE(LT_Bit(Q(10)));
    EXPECT_TRUE(LT_Bit(Q(11)));
    EXPECT_EQ(plc_reg[109032], 0x02);
}

TEST_F(LadderTest, StepsAcrossScans) {
    // Step record %R50 (state), %R51-52 (elapsed ms); each branch sets its own
    // coil after all four were cleared. 361 S o1 o2 o3 o4: the offsets count
    // from the word after each.
    LadAsm b(false);
    b.contact(LT_OFF).coil(Q(1)).contact(LT_OFF).coil(Q(2)).contact(LT_OFF).coil(Q(3)).contact(LT_OFF).coil(Q(4));
    b.op(360).reg(R(50)).coil(Q(5));
    b.op(361).reg(R(50));
    const std::size_t offs = b.w.size();
    b.dword(0).dword(0).dword(0).dword(0);
    const std::size_t after[4] = {offs + 2, offs + 4, offs + 6, offs + 8};
    std::size_t target[4];
    for (int i = 0; i < 4; i++) {
        target[i] = b.w.size();
        b.contact(LT_ON).coil(Q(i + 1));
        b.op(9);
    }
    for (int i = 0; i < 4; i++) {
        const uint32_t off = uint32_t(int32_t(target[i]) - int32_t(after[i]));
        b.w[offs + 2 * i] = uint16_t(off);
        b.w[offs + 2 * i + 1] = uint16_t(off >> 16);
    }
    LT_SetW(R(50), 2);
    LT_SetD(R(51), 12345);
    EXPECT_EQ(Run(b), -1);
    EXPECT_EQ(LT_W(R(50)), 1);
    EXPECT_EQ(LT_D(R(51)), 0u);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(5)));  // tested before the step ran
    for (int scan = 1; scan <= 3; scan++) {
        LA_TimeAdvance(5000);  // 500 ms
        EXPECT_EQ(Scan(), -1);
        EXPECT_TRUE(LT_Bit(Q(2))) << scan;
        EXPECT_FALSE(LT_Bit(Q(1)));
        EXPECT_TRUE(LT_Bit(Q(5)));
        EXPECT_EQ(LT_D(R(51)), 500u * scan);
    }
    LT_SetW(R(50), 3);
    EXPECT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(Q(3)));
    EXPECT_EQ(LT_W(R(50)), 0);
    EXPECT_EQ(Scan(), -1);
    EXPECT_TRUE(LT_Bit(Q(4)));
    EXPECT_FALSE(LT_Bit(Q(3)));
}

TEST_F(LadderTest, ExtendedTimersOverScans) {
    LadAsm a(false);
    LT_SetBit(M16(1), true);
    a.contact(LT_ON).op(469).reg(R(1)).dword(400).coil(Q(1));               // 32-bit on-delay, 1 ms, preset 400
    a.contact(LT_ON).op(501).reg(R(4)).dword(4).coil(Q(2));                 // 32-bit on-delay, 100 ms, preset 4
    a.contact(LT_ON).op(461).reg(R(7)).word(1).coil(Q(3));                  // 16-bit on-delay, 1 s, preset 1
    a.contact(LT_OFF).op(471).reg(R(10)).dword(500).coil(Q(4));             // 32-bit off-delay, 1 ms, preset 500
    a.contact(LT_OFF).op(466).bitx(I(9)).reg(R(13)).reg(R(20)).coil(Q(5));  // retentive: runs with power 0
    a.end();
    EXPECT_EQ(Run(a), -1);
    int done1 = -1, done2 = -1, done3 = -1, off4 = -1;
    for (int t = 50; t <= 1200; t += 50) {
        LA_TimeAdvance(500);
        EXPECT_EQ(Scan(), -1);
        if (done1 < 0 && LT_Bit(Q(1))) done1 = t;
        if (done2 < 0 && LT_Bit(Q(2))) done2 = t;
        if (done3 < 0 && LT_Bit(Q(3))) done3 = t;
        if (off4 < 0 && !LT_Bit(Q(4))) off4 = t;
    }
    EXPECT_EQ(done1, 400);
    EXPECT_EQ(done2, 400);
    EXPECT_EQ(done3, 1000);
    EXPECT_EQ(off4, 500);
    EXPECT_EQ(LT_D(R(1)), 400u);
    EXPECT_FALSE(LT_Bit(Q(5)));
}

TEST_F(LadderTest, PointerBlockMoves) {
    LadRungs r(false);
    LT_SetW(R(100), 0x1111);
    LT_SetW(R(101), 0x2222);
    LT_SetW(R(102), 0x3333);
    LT_SetW(R(200), 0xABCD);
    LT_SetW(R(310), 0x7777);
    LT_SetD(R(1), RB(100));
    LT_SetD(R(3), RB(101));
    LT_SetD(R(5), RB(200));
    LT_SetD(R(7), RB(300));
    LT_SetD(R(9), RB(310));
    LT_SetD(R(11), PLC_REG_SIZE - 4);
    LT_SetD(R(13), RB(400) + 1);
    for (uint32_t i = 0; i < 1000; i++) LT_SetW(R(1000 + i), uint16_t(i * 3));
    LT_SetD(R(15), RB(1000));
    LT_SetD(R(17), RB(3000));
    r.rung(
        "505 overlap", false, [](LadAsm &a) { a.op(505).reg(R(3)).reg(R(1)).word(3); }, 0, 0, false);
    r.rung(
        "505 1000", true, [](LadAsm &a) { a.op(505).reg(R(17)).reg(R(15)).word(1000); }, 0, 0, true);
    r.rung(
        "506 fill", true, [](LadAsm &a) { a.op(506).reg(R(7)).reg(R(5)).word(4); }, 0, 0, true);
    r.rung(
        "507 n=0", true, [](LadAsm &a) { a.op(507).reg(R(9)).word(0x9999).word(0); }, 0, 0, true);
    r.rung(
        "507 fill", true, [](LadAsm &a) { a.op(507).reg(R(9)).word(0x4242).word(2).contact(LT_ON).op(36); }, 0, 0,
        true);
    r.rung(
        "505 past the end", true, [](LadAsm &a) { a.op(505).reg(R(11)).reg(R(1)).word(3); }, 0, 0, false);
    r.rung(
        "508", true, [](LadAsm &a) { a.op(508).reg(R(13)).reg(R(15)); }, 0, 0, true);
    r.rung(
        "509", true, [](LadAsm &a) { a.op(509).reg(R(11)).dword(0xDEADBEEF); }, 0, 0, true);
    // 508 onto the 4 bytes two above its source: D takes the 4 bytes S held.
    for (uint32_t i = 0; i < 6; i++) plc_reg[RB(500) + i] = uint8_t(0xA1 + i);
    LT_SetD(R(19), RB(500));
    LT_SetD(R(21), RB(500) + 2);
    r.rung(
        "508 overlap", true, [](LadAsm &a) { a.op(508).reg(R(21)).reg(R(19)); }, 0, 0, true);
    r.a.end();
    EXPECT_EQ(Run(r.a), -1);
    r.check();
    EXPECT_EQ(LT_W(R(101)), 0x1111);
    EXPECT_EQ(LT_W(R(102)), 0x1111);
    EXPECT_EQ(LT_W(R(103)), 0x1111);
    for (uint32_t i = 0; i < 1000; i++) ASSERT_EQ(LT_W(R(3000 + i)), uint16_t(i * 3)) << i;
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(LT_W(R(300 + i)), 0xABCD);
    EXPECT_EQ(LT_W(R(304)), 0);
    EXPECT_EQ(LT_W(R(310)), 0x4242);
    EXPECT_EQ(LT_W(R(311)), 0x4242);
    EXPECT_EQ(LE_Get32(&plc_reg[RB(400) + 1]), 0x00030000u);
    EXPECT_EQ(LE_Get32(&plc_reg[PLC_REG_SIZE - 4]), 0xDEADBEEFu);
    EXPECT_EQ(LE_Get32(&plc_reg[RB(500)]), 0xA2A1A2A1u);
    EXPECT_EQ(LE_Get32(&plc_reg[RB(500) + 2]), 0xA4A3A2A1u);
}
