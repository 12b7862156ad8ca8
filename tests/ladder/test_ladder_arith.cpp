// Value stack, conversions, moves and integer arithmetic with their flag rules.
#include <climits>
#include <cmath>

#include "tests/ladder/lad_fixture.h"

using namespace la;

namespace {
// Rung: power on, push a and b (16-bit constants), run op, store into %R out,
// the power goes to %Q out.
void Rung16(LadAsm &a, uint16_t x, uint16_t y, uint16_t op, uint32_t out) {
    a.contact(LT_ON).op(81).word(x).op(81).word(y).op(op).op(82).reg(R(out)).coil(Q(out));
}
void Rung32(LadAsm &a, uint32_t x, uint32_t y, uint16_t op, uint32_t out) {
    a.contact(LT_ON).op(84).dword(x).op(84).dword(y).op(op).op(85).reg(R(out)).coil(Q(out));
}
}  // namespace

TEST_F(LadderTest, SixteenBitArithmeticFlags) {
    LadAsm a(true);
    Rung16(a, 30000, 10000, 120, 1);         // overflow
    Rung16(a, uint16_t(-32768), 1, 121, 2);  // overflow
    Rung16(a, 100, 200, 122, 3);
    Rung16(a, 300, 200, 122, 4);                        // overflow
    Rung16(a, uint16_t(-7), 2, 123, 5);                 // toward zero
    Rung16(a, 1234, 0, 123, 6);                         // by zero: a stays
    Rung16(a, uint16_t(-32768), uint16_t(-1), 123, 7);  // the quotient does not fit
    Rung16(a, 5, uint16_t(-3), 120, 8);
    a.end();
    EXPECT_EQ(Run(a), -1);
    struct {
        uint16_t v;
        bool p;
    } want[] = {{0x9C40, false},      {32767, false}, {20000, true},   {uint16_t(60000), false},
                {uint16_t(-3), true}, {1234, false},  {0x8000, false}, {2, true}};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(LT_W(R(i + 1)), want[i].v) << i;
        EXPECT_EQ(LT_Bit(Q(i + 1)), want[i].p) << i;
    }
}

TEST_F(LadderTest, ThirtyTwoBitArithmeticFlags) {
    LadAsm a(false);
    Rung32(a, 0x7FFFFFFF, 1, 124, 1);
    Rung32(a, uint32_t(INT_MIN), 1, 125, 3);
    Rung32(a, 65536, 65536, 126, 5);
    Rung32(a, uint32_t(-7), 2, 127, 7);
    Rung32(a, 99, 0, 127, 9);
    Rung32(a, 100000, 3, 126, 11);
    Rung32(a, uint32_t(INT_MIN), uint32_t(-1), 127, 13);
    a.end();
    EXPECT_EQ(Run(a), -1);
    struct {
        uint32_t v;
        bool p;
    } want[] = {{0x80000000u, false}, {0x7FFFFFFFu, false}, {0, false},          {uint32_t(-3), true},
                {99, false},          {300000, true},       {0x80000000u, false}};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(LT_D(R(2 * i + 1)), want[i].v) << i;
        EXPECT_EQ(LT_Bit(Q(2 * i + 1)), want[i].p) << i;
    }
}

TEST_F(LadderTest, CheckedHelpers) {
    int32_t r;
    uint32_t u;
    EXPECT_EQ(LH_AddInt32(&r, INT_MAX, 1), 1u);
    EXPECT_EQ(r, INT_MIN);
    EXPECT_EQ(LH_AddInt32(&r, -5, 3), 0u);
    EXPECT_EQ(LH_AddUInt32(&u, 0xFFFFFFFFu, 1), 1u);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(LH_SubInt32(&r, INT_MIN, 1), 1u);
    EXPECT_EQ(r, INT_MAX);
    EXPECT_EQ(LH_SubInt32(&r, -1, INT_MAX), 0u);
    EXPECT_EQ(LH_SubUInt32(&u, 3, 4), 1u);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(LH_MulInt32(&r, 46341, 46341), 1u);
    EXPECT_EQ(LH_MulInt32(&r, -46340, 46340), 0u);
    EXPECT_EQ(r, -2147395600);
    EXPECT_EQ(LH_MulInt32(&r, 0, INT_MIN), 0u);
    EXPECT_EQ(LH_MulInt32(&r, -1, 5), 0u);
    EXPECT_EQ(r, -5);
    // 2,147,483,648 does not fit, whichever factor is -1.
    EXPECT_EQ(LH_MulInt32(&r, -1, INT_MIN), 1u);
    EXPECT_EQ(r, INT_MIN);
    EXPECT_EQ(LH_MulInt32(&r, INT_MIN, -1), 1u);
    EXPECT_EQ(LH_MulInt32(&r, -1, INT_MAX), 0u);
    EXPECT_EQ(r, -2147483647);
    EXPECT_EQ(LH_MulInt32(&r, 65536, -32768), 0u);
    EXPECT_EQ(r, INT_MIN);
    EXPECT_EQ(LH_MulInt32(&r, 65536, 32768), 1u);
    EXPECT_EQ(LH_MulUInt32(&u, 65536, 65536), 1u);
    EXPECT_EQ(LH_MulUInt32(&u, 65535, 65537), 0u);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(isqrt(65535), 255u);
    EXPECT_EQ(isqrt(65536 + 17), 4u);  // only the low 16 bits count
    EXPECT_EQ(lsqrt(0xFFFFFFFFu), 65535u);
    EXPECT_EQ(lsqrt(99), 9u);
}

TEST_F(LadderTest, LoadsConversionsAndStores) {
    LT_SetD(R(1), 40000);
    LT_SetD(R(3), 0xFFFFFFFFu);
    LT_SetF(R(5), 32767.5f);
    LT_SetF(R(7), -123.9f);
    LT_SetD(R(9), 0x7F800000u);  // infinity
    LT_SetF(R(11), 3e9f);
    LT_SetW(R(13), uint16_t(-2));
    LadAsm a(true);
    a.contact(LT_ON).op(75).reg(R(1)).op(82).reg(R(21)).coil(Q(1));
    a.contact(LT_ON).op(75).reg(R(3)).op(82).reg(R(22)).coil(Q(2));
    a.contact(LT_ON).op(77).reg(R(5)).op(82).reg(R(23)).coil(Q(3));
    a.contact(LT_ON).op(76).reg(R(7)).op(85).reg(R(24)).coil(Q(4));
    a.contact(LT_ON).op(76).reg(R(9)).op(85).reg(R(26)).coil(Q(5));
    a.contact(LT_ON).op(76).reg(R(11)).op(85).reg(R(28)).coil(Q(6));
    a.contact(LT_ON).op(87).reg(R(13)).op(85).reg(R(30)).coil(Q(7));
    a.contact(LT_ON).op(79).reg(R(13)).op(85).reg(R(32)).coil(Q(8));
    a.contact(LT_ON).op(78).reg(R(3)).op(85).reg(R(34)).coil(Q(9));
    a.contact(LT_ON).op(86).word(uint16_t(-9)).op(85).reg(R(36)).coil(Q(10));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(21)), 0);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(22)), 0xFFFF);
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_W(R(23)), 32767);
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_EQ(int32_t(LT_D(R(24))), -123);
    EXPECT_TRUE(LT_Bit(Q(4)));
    EXPECT_EQ(LT_D(R(26)), 0u);
    EXPECT_FALSE(LT_Bit(Q(5)));
    EXPECT_FALSE(LT_Bit(Q(6)));
    EXPECT_EQ(int32_t(LT_D(R(30))), -2);
    EXPECT_EQ(LT_F(R(32)), -2.0f);
    EXPECT_EQ(LT_F(R(34)), -1.0f);
    EXPECT_EQ(int32_t(LT_D(R(36))), -9);
    EXPECT_TRUE(LT_Bit(Q(10)));
}

TEST_F(LadderTest, BitwiseShiftsAndRotates) {
    LadAsm a(true);
    Rung16(a, 0x8001, 17, 112, 1);  // rotate left by 17 = by 1
    Rung16(a, 0x8001, 1, 113, 2);
    Rung16(a, 0x00F0, 4, 110, 3);
    Rung16(a, 0x00F0, 16, 110, 4);     // 16 and above give 0
    Rung16(a, 0x00F0, 0x104, 111, 5);  // the count is taken modulo 256
    Rung16(a, 0xF0F0, 0x0FF0, 100, 6);
    Rung16(a, 0xF0F0, 0x0FF0, 101, 7);
    Rung16(a, 0xF0F0, 0x0FF0, 102, 8);
    a.contact(LT_ON).op(81).word(0x1234).op(103).op(82).reg(R(9)).coil(Q(9));
    Rung32(a, 0x80000001u, 33, 116, 11);
    Rung32(a, 0x80000001u, 4, 117, 13);
    Rung32(a, 0x80000001u, 32, 114, 15);
    Rung32(a, 0x80000000u, 31, 115, 17);
    Rung32(a, 0xFF00FF00u, 0x0FF00FF0u, 104, 19);
    Rung32(a, 0xFF00FF00u, 0x0FF00FF0u, 105, 21);
    Rung32(a, 0xFF00FF00u, 0x0FF00FF0u, 106, 23);
    a.contact(LT_ON).op(84).dword(0x12345678).op(107).op(85).reg(R(25)).coil(Q(25));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(1)), 0x0003);
    EXPECT_EQ(LT_W(R(2)), 0xC000);
    EXPECT_EQ(LT_W(R(3)), 0x0F00);
    EXPECT_EQ(LT_W(R(4)), 0);
    EXPECT_EQ(LT_W(R(5)), 0x000F);
    EXPECT_EQ(LT_W(R(6)), 0x00F0);
    EXPECT_EQ(LT_W(R(7)), 0xFFF0);
    EXPECT_EQ(LT_W(R(8)), 0xFF00);
    EXPECT_EQ(LT_W(R(9)), 0xEDCB);
    EXPECT_EQ(LT_D(R(11)), 0x00000003u);
    EXPECT_EQ(LT_D(R(13)), 0x18000000u);
    EXPECT_EQ(LT_D(R(15)), 0u);
    EXPECT_EQ(LT_D(R(17)), 1u);
    EXPECT_EQ(LT_D(R(19)), 0x0F000F00u);
    EXPECT_EQ(LT_D(R(21)), 0xFFF0FFF0u);
    EXPECT_EQ(LT_D(R(23)), 0xF0F0F0F0u);
    EXPECT_EQ(LT_D(R(25)), 0xEDCBA987u);
}

TEST_F(LadderTest, AngleConversions) {
    LadAsm a(true);
    a.contact(LT_ON).op(84).dword(LT_FBits(180.0f)).op(108).op(85).reg(R(1)).coil(Q(1));
    a.contact(LT_ON).op(84).dword(LT_FBits(1.0f)).op(109).op(85).reg(R(3)).coil(Q(2));
    a.contact(LT_ON).op(84).dword(0x7FC00000u).op(108).op(85).reg(R(5)).coil(Q(3));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_F(R(1)), float(M_PI));
    EXPECT_EQ(LT_F(R(3)), float(180.0 / M_PI));
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(3)));
}

TEST_F(LadderTest, DirectMovesFillsAndBlockMoves) {
    for (int i = 0; i < 6; i++) LT_SetW(R(40 + i), uint16_t(100 + i));
    LT_SetD(R(50), 0xCAFEBABEu);
    LadAsm a(true);
    a.op(90).reg(R(1)).reg(R(40));
    a.op(92).reg(R(2)).word(0xBEEF);
    a.op(95).reg(R(3)).reg(R(50));
    a.op(96).reg(R(5)).dword(0x01020304);
    a.op(93).reg(R(10)).reg(R(41)).word(3);
    a.op(94).reg(R(14)).word(7).word(2);
    a.op(93).reg(R(17)).reg(R(41)).word(0);  // n = 0 writes nothing
    a.op(94).reg(R(17)).word(7).word(0);
    a.op(91).reg(R(20)).reg(R(40)).word(4);
    a.op(91).reg(R(30)).reg(R(40)).word(0);
    a.op(91).reg(R(41)).reg(R(40)).word(3);  // overlapping, ascending
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(1)), 100);
    EXPECT_EQ(LT_W(R(2)), 0xBEEF);
    EXPECT_EQ(LT_D(R(3)), 0xCAFEBABEu);
    EXPECT_EQ(LT_D(R(5)), 0x01020304u);
    EXPECT_EQ(LT_W(R(10)), 101);
    EXPECT_EQ(LT_W(R(12)), 101);
    EXPECT_EQ(LT_W(R(13)), 0);
    EXPECT_EQ(LT_W(R(14)), 7);
    EXPECT_EQ(LT_W(R(15)), 7);
    EXPECT_EQ(LT_W(R(16)), 0);
    EXPECT_EQ(LT_W(R(17)), 0);
    EXPECT_EQ(LT_W(R(20)), 100);
    EXPECT_EQ(LT_W(R(23)), 103);
    EXPECT_EQ(LT_W(R(30)), 0);
    EXPECT_EQ(LT_W(R(41)), 100);
    EXPECT_EQ(LT_W(R(43)), 100);
    EXPECT_EQ(LT_W(R(44)), 104);
}

TEST_F(LadderTest, BlockMoveLengthsAreChecked) {
    LadAsm a(false);
    // 40000 words from %R 20000 would run past the image: nothing is written.
    a.contact(LT_ON).op(91).reg(R(20000)).reg(R(1)).word(40000).coil(Q(1));
    a.contact(LT_ON).op(94).reg(R(50000)).word(0x5A5A).word(5000).coil(Q(2));
    a.contact(LT_ON).op(93).reg(0x10030FF0).reg(R(1)).word(2).coil(Q(3));
    a.end();
    const auto before = plc_reg;
    EXPECT_EQ(Run(a), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_TRUE(std::equal(before.begin() + 4000, before.end(), plc_reg.begin() + 4000));
}

TEST_F(LadderTest, BlockMoveHeaderForms) {
    for (int i = 0; i < 8; i++) plc_reg[2 * la::WordOf(R(40)) + i] = uint8_t(0x10 + i);
    LadAsm a(true);
    // Kind 1: bytes, with byte operands (bit 8 of %R60 is its second byte).
    a.op(91).word(0).word(0).word(1).word(0).reg(R(60) + 8).reg(R(40)).word(3);
    a.op(91).word(0).word(0).word(2).word(0).reg(R(70)).reg(R(40)).word(2);
    a.op(91).word(0).word(0).word(9).word(0);  // unknown kind: the header only
    a.contact(LT_ON).coil(Q(1)).end();
    EXPECT_EQ(Run(a), -1);
    const uint32_t b60 = 2 * la::WordOf(R(60));
    EXPECT_EQ(plc_reg[b60], 0);
    EXPECT_EQ(plc_reg[b60 + 1], 0x10);
    EXPECT_EQ(plc_reg[b60 + 3], 0x12);
    EXPECT_EQ(LT_W(R(71)), 0x1312);
    EXPECT_TRUE(LT_Bit(Q(1)));
}

TEST_F(LadderTest, PointerMovesCheckTheRegisterRange) {
    LT_SetW(R(50240), 0x7777);
    LT_SetW(R(300), 0x1111);
    LT_SetW(R(301), 0x2222);
    LadAsm a(true);
    a.contact(LT_ON).op(92).reg(R(1)).word(0).op(97).reg(R(10)).reg(R(1)).word(1).coil(Q(1));  // p = 0
    a.contact(LT_ON).op(92).reg(R(2)).word(50240).op(97).reg(R(11)).reg(R(2)).word(1).coil(Q(2));
    a.contact(LT_ON).op(97).reg(R(12)).reg(R(2)).word(2).coil(Q(3));  // ends above %R50240
    a.contact(LT_ON).op(92).reg(R(3)).word(400).op(98).reg(R(300)).reg(R(3)).word(2).coil(Q(4));
    a.contact(LT_ON).op(92).reg(R(4)).word(500).op(99).reg(R(4)).reg(R(3)).word(2).coil(Q(5));
    // n = 0 with p = 50241: p + n - 1 is not above %R50240, nothing moves.
    a.contact(LT_ON).op(92).reg(R(5)).word(50241).op(97).reg(R(13)).reg(R(5)).word(0).coil(Q(6));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(10)), 0);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(11)), 0x7777);
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_W(R(12)), 0);
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_EQ(LT_W(R(400)), 0x1111);
    EXPECT_EQ(LT_W(R(401)), 0x2222);
    EXPECT_EQ(LT_W(R(500)), 0x1111);
    EXPECT_EQ(LT_W(R(501)), 0x2222);
    EXPECT_TRUE(LT_Bit(Q(5)));
    EXPECT_TRUE(LT_Bit(Q(6)));
    EXPECT_EQ(LT_W(R(13)), 0);
}

TEST_F(LadderTest, PointerMoveHeaderForms) {
    for (int i = 0; i < 10; i++) LT_SetW(R(100 + i), uint16_t(0x100 + i));
    LT_SetW(R(1), 3);  // index
    LT_SetW(R(2), 2);  // second index
    LadAsm a(true);
    // Kind 5, 97: n words from S + x to D.
    a.op(97).word(0).word(0).word(5).word(0).reg(R(20)).reg(R(100)).word(2).reg(R(1));
    // Kind 5, 98: n words from S to D + x.
    a.op(98).word(0).word(0).word(5).word(0).reg(R(30)).reg(R(100)).word(2).reg(R(1));
    // Kind 2 indexed by flags bits 2 and 3 (99): steps of two words.
    a.op(99).word(0).word(0).word(2).word(0xC).reg(R(40)).reg(R(100)).word(2).reg(R(1)).reg(R(2));
    // Flags selecting neither form: power cleared, nothing moves.
    a.contact(LT_ON).op(97).word(0).word(0).word(2).word(0).reg(R(60)).reg(R(100)).word(2).coil(Q(1));
    // Pointer forms of kind 2 check p + 2n - 1 <= 50240 and move n words.
    LT_SetW(R(5), 50237);
    LT_SetW(R(6), 50238);
    LT_SetW(R(7), 200);
    LT_SetW(R(50237), 0x5151);
    LT_SetW(R(50238), 0x5252);
    LT_SetW(R(50239), 0x5353);
    a.contact(LT_ON).op(97).word(0).word(0).word(2).word(1).reg(R(70)).reg(R(5)).word(2).coil(Q(2));
    a.contact(LT_ON).op(97).word(0).word(0).word(2).word(1).reg(R(73)).reg(R(6)).word(2).coil(Q(3));
    a.contact(LT_ON).op(98).word(0).word(0).word(3).word(2).reg(R(100)).reg(R(7)).word(2).coil(Q(4));
    // Kind 1 through a pointer: n bytes from the first byte of %R p.
    a.contact(LT_ON).op(97).word(0).word(0).word(1).word(1).reg(R(80)).reg(R(5)).word(3).coil(Q(5));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(20)), 0x103);
    EXPECT_EQ(LT_W(R(21)), 0x104);
    EXPECT_EQ(LT_W(R(33)), 0x100);
    EXPECT_EQ(LT_W(R(34)), 0x101);
    EXPECT_EQ(LT_W(R(44)), 0x106);
    EXPECT_EQ(LT_W(R(45)), 0x107);
    EXPECT_EQ(LT_W(R(60)), 0);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(LT_W(R(70)), 0x5151);
    EXPECT_EQ(LT_W(R(71)), 0x5252);
    EXPECT_EQ(LT_W(R(72)), 0);
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_EQ(LT_W(R(73)), 0);
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_EQ(LT_W(R(200)), 0x100);
    EXPECT_EQ(LT_W(R(201)), 0x101);
    EXPECT_EQ(LT_W(R(202)), 0);
    EXPECT_TRUE(LT_Bit(Q(4)));
    EXPECT_EQ(LT_W(R(80)), 0x5151);
    EXPECT_EQ(LT_W(R(81)), 0x0052);
    EXPECT_TRUE(LT_Bit(Q(5)));
}
