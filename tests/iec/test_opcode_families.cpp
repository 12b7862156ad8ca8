// Every member of the interpreter's arithmetic, comparison, logic and bit
// families run once on values worked out by hand (REAL and LREAL as their
// IEEE bits), with the substitute and log entry of each division by zero.
#include <cstring>

#include "iec/vm/z7interp.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_asm.h"

namespace iec_test {
namespace {

using test_support::IecAsm;
using test_support::IecImage;

// Operand sections by width: 8, 16, 32, 64 bits, TIME.
enum Kind : uint8_t { B8, B16, B32, B64, TM };
uint32_t SecOf(Kind k) {
    switch (k) {
    case B8: return Z7SEC_D8;
    case B16: return Z7SEC_D16;
    case B32: return Z7SEC_D32;
    case B64: return Z7SEC_D64;
    default: return Z7SEC_TIME;
    }
}

struct Row {
    uint16_t op;
    Kind src, dst;  // operand and destination sections
    uint64_t a, b, want;
    uint16_t log = 0;  // log code of a division by zero (argument: the divisor index 3)
};

class IecFamilies : public IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7VMTic_RunPtr = Z7VMTic_Run;
    }
    void Put(Kind k, uint32_t i, uint64_t v) const {
        const uint32_t a = Z7Sec_Elem(db, SecOf(k), i);
        switch (k) {
        case B8: Z7Mem_Put8(a, uint8_t(v)); break;
        case B16: Z7Mem_Put16(a, uint16_t(v)); break;
        case B64: Z7Mem_Put32(a + 4, uint32_t(v >> 32)); [[fallthrough]];
        default: Z7Mem_Put32(a, uint32_t(v)); break;
        }
    }
    uint64_t Get(Kind k, uint32_t i) const {
        const uint32_t a = Z7Sec_Elem(db, SecOf(k), i);
        switch (k) {
        case B8: return Z7Mem_Get8(a);
        case B16: return Z7Mem_Get16(a);
        case B64: return uint64_t(Z7Mem_Get32(a + 4)) << 32 | Z7Mem_Get32(a);
        default: return Z7Mem_Get32(a);
        }
    }
    // Runs "op 1 2 3" (unary: "op 1 2") once: dst 1, a 2, b 3.
    void Run(const Row &r, bool unary) {
        SCOPED_TRACE(::testing::Message() << "opcode " << r.op);
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 63};
        img.programs = {{IecAsm("OP" + std::to_string(r.op) + (unary ? " 1 2" : " 1 2 3") + "; END"), 0}};
        ASSERT_EQ(Start(img, db), 0u);
        Put(r.src, 2, r.a);
        if (!unary) Put(r.src, 3, r.b);
        Z7Def_Cycle(db, 1000, nullptr);
        EXPECT_EQ(Get(r.dst, 1), r.want) << std::hex << "a " << r.a << " b " << r.b;
        uint16_t code = 0, arg = 0;
        uint32_t pos = 0;
        if (r.log) {
            ASSERT_TRUE(Z7VMLog_Pop(db, &code, &arg, &pos));
            EXPECT_EQ(code, r.log);
            EXPECT_EQ(arg, 3);
            EXPECT_EQ(pos, 1u + 65536u * 2u) << "program 1, the word after the opcode";
        }
        EXPECT_FALSE(Z7VMLog_Pop(db, &code, &arg, &pos)) << "log " << code;
        EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
    void TearDown() override {
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
};

constexpr uint64_t F1_5 = 0x3FC00000, F2_25 = 0x40100000, FNEG0 = 0x80000000, FNAN = 0x7FC00000;
constexpr uint64_t L1_5 = 0x3FF8000000000000, L2_25 = 0x4002000000000000, LNAN = 0x7FF8000000000000;

TEST_F(IecFamilies, ArithmeticEveryOpcodeOnce) {
    const Row unary[] = {
        {377, B8, B8, 5, 0, 0xFB},
        {376, B8, B8, 5, 0, 0xFB},
        {349, B16, B16, 1, 0, 0xFFFF},
        {348, B16, B16, 1, 0, 0xFFFF},
        {1, B32, B32, 5, 0, 0xFFFFFFFB},
        {110, B32, B32, 5, 0, 0xFFFFFFFB},
        {2, B32, B32, F1_5, 0, 0xBFC00000},
        {111, B32, B32, 0, 0, FNEG0},
        {289, B64, B64, 1, 0, ~0ull},
        {288, B64, B64, 1, 0, ~0ull},
        {321, B64, B64, L1_5, 0, 0xBFF8000000000000},
        {320, B64, B64, 0, 0, 0x8000000000000000},
        {3, B8, B8, 0, 0, 1},
        {112, B8, B8, 7, 0, 0},
    };
    for (const Row &r : unary) Run(r, true);
    const Row binary[] = {
        // 8-bit: wrap at 256, unsigned division.
        {383, B8, B8, 200, 100, 44},
        {382, B8, B8, 200, 100, 44},
        {385, B8, B8, 5, 7, 0xFE},
        {384, B8, B8, 5, 7, 0xFE},
        {379, B8, B8, 20, 13, 4},
        {484, B8, B8, 20, 13, 4},
        {378, B8, B8, 20, 13, 4},
        {488, B8, B8, 20, 13, 4},
        {381, B8, B8, 200, 7, 28},
        {380, B8, B8, 200, 7, 28},
        {485, B8, B8, 200, 7, 28},
        {489, B8, B8, 200, 7, 28},
        {381, B8, B8, 200, 0, 127, 21},
        {485, B8, B8, 200, 0, 127, 21},
        // 16-bit
        {355, B16, B16, 0xFFFF, 2, 1},
        {354, B16, B16, 0xFFFF, 2, 1},
        {357, B16, B16, 1000, 3000, 0xF830},
        {356, B16, B16, 1000, 3000, 0xF830},
        {351, B16, B16, 300, 300, 0x5F90},
        {492, B16, B16, 300, 300, 0x5F90},
        {350, B16, B16, 300, 300, 0x5F90},
        {496, B16, B16, 300, 300, 0x5F90},
        {353, B16, B16, 0xFF9C, 7, 0xFFF2},
        {352, B16, B16, 0xFF9C, 7, 0xFFF2},       // -100 / 7 = -14
        {353, B16, B16, 0x8000, 0xFFFF, 0x8000},  // -32768 / -1 wraps
        {493, B16, B16, 0xFF9C, 7, 9348},
        {497, B16, B16, 0xFF9C, 7, 9348},  // 65436 / 7
        {353, B16, B16, 5, 0, 32767, 22},
        {493, B16, B16, 5, 0, 32767, 22},
        // 32-bit
        {8, B32, B32, 0x7FFFFFFF, 1, 0x80000000},
        {117, B32, B32, 0x7FFFFFFF, 1, 0x80000000},
        {12, B32, B32, 10, 3, 7},
        {120, B32, B32, 10, 3, 7},
        {12, B32, B32, 3, 10, 0xFFFFFFF9},
        {120, B32, B32, 3, 10, 0xFFFFFFF9},
        {4, B32, B32, 0x10000, 0x10001, 0x10000},
        {500, B32, B32, 0x10000, 0x10001, 0x10000},
        {113, B32, B32, 0x10000, 0x10001, 0x10000},
        {504, B32, B32, 0x10000, 0x10001, 0x10000},
        {6, B32, B32, 0xFFFFFFF9, 2, 0xFFFFFFFD},
        {115, B32, B32, 0xFFFFFFF9, 2, 0xFFFFFFFD},  // -7 / 2 = -3
        {6, B32, B32, 0x80000000, 0xFFFFFFFF, 0x80000000},
        {501, B32, B32, 0xFFFFFFF9, 2, 0x7FFFFFFC},
        {505, B32, B32, 0xFFFFFFF9, 2, 0x7FFFFFFC},
        {6, B32, B32, 5, 0, 0x7FFFFFFF, 12},
        {501, B32, B32, 5, 0, 0x7FFFFFFF, 12},
        // REAL: 1.5 + 2.25 = 3.75, 1.5 - 2.25 = -0.75, 1.5 * 2.25 = 3.375, 2.25 / 1.5 = 1.5
        {9, B32, B32, F1_5, F2_25, 0x40700000},
        {118, B32, B32, F1_5, F2_25, 0x40700000},
        {13, B32, B32, F1_5, F2_25, 0xBF400000},
        {121, B32, B32, F1_5, F2_25, 0xBF400000},
        {5, B32, B32, F1_5, F2_25, 0x40580000},
        {114, B32, B32, F1_5, F2_25, 0x40580000},
        {7, B32, B32, F2_25, F1_5, F1_5},
        {116, B32, B32, F2_25, F1_5, F1_5},
        {7, B32, B32, F1_5, 0, 0x7CF0BDC2, 12},
        {7, B32, B32, F1_5, FNEG0, 0x7CF0BDC2, 12},
        // 64-bit
        {295, B64, B64, 0xFFFFFFFF, 1, 0x100000000},
        {294, B64, B64, 0xFFFFFFFF, 1, 0x100000000},
        {297, B64, B64, 3, 10, 0xFFFFFFFFFFFFFFF9},
        {296, B64, B64, 3, 10, 0xFFFFFFFFFFFFFFF9},
        {291, B64, B64, 0x100000000, 3, 0x300000000},
        {558, B64, B64, 0x100000000, 3, 0x300000000},
        {290, B64, B64, 0x100000000, 3, 0x300000000},
        {562, B64, B64, 0x100000000, 3, 0x300000000},
        {293, B64, B64, 0xFFFFFFFFFFFFFFF9, 2, 0xFFFFFFFFFFFFFFFD},
        {292, B64, B64, 0xFFFFFFFFFFFFFFF9, 2, 0xFFFFFFFFFFFFFFFD},
        {293, B64, B64, 0x8000000000000000, ~0ull, 0x8000000000000000},
        {559, B64, B64, 0xFFFFFFFFFFFFFFF9, 2, 0x7FFFFFFFFFFFFFFC},
        {563, B64, B64, 0xFFFFFFFFFFFFFFF9, 2, 0x7FFFFFFFFFFFFFFC},
        {293, B64, B64, 5, 0, 0x7FFFFFFFFFFFFFFF, 18},
        {559, B64, B64, 5, 0, ~0ull, 12},
        // LREAL
        {327, B64, B64, L1_5, L2_25, 0x400E000000000000},
        {326, B64, B64, L1_5, L2_25, 0x400E000000000000},
        {329, B64, B64, L1_5, L2_25, 0xBFE8000000000000},
        {328, B64, B64, L1_5, L2_25, 0xBFE8000000000000},
        {323, B64, B64, L1_5, L2_25, 0x400B000000000000},
        {322, B64, B64, L1_5, L2_25, 0x400B000000000000},
        {325, B64, B64, L2_25, L1_5, L1_5},
        {324, B64, B64, L2_25, L1_5, L1_5},
        {325, B64, B64, L1_5, 0, 0x7FAC7B1F3CAC7433, 18},
        // TIME: ADD wraps, SUB stops at 0.
        {10, TM, TM, 0xFFFFFFFF, 2, 1},
        {283, TM, TM, 0xFFFFFFFF, 2, 1},
        {14, TM, TM, 7, 5, 2},
        {284, TM, TM, 7, 5, 2},
        {14, TM, TM, 5, 7, 0},
    };
    for (const Row &r : binary) Run(r, false);
}

TEST_F(IecFamilies, ComparisonsLogicAndBitTestsEveryOpcodeOnce) {
    const Row rows[] = {
        // 8-bit compares unsigned: 200 > 100.
        {389, B8, B8, 200, 100, 1},
        {482, B8, B8, 200, 100, 1},
        {388, B8, B8, 200, 100, 1},
        {486, B8, B8, 200, 100, 1},
        {393, B8, B8, 100, 200, 0},
        {483, B8, B8, 200, 200, 1},
        {392, B8, B8, 200, 200, 1},
        {487, B8, B8, 100, 200, 0},
        {35, B8, B8, 9, 9, 1},
        {395, B8, B8, 9, 8, 0},
        {141, B8, B8, 9, 9, 1},
        {394, B8, B8, 9, 9, 1},
        {40, B8, B8, 9, 8, 1},
        {397, B8, B8, 9, 9, 0},
        {146, B8, B8, 9, 8, 1},
        {396, B8, B8, 9, 8, 1},
        // 16-bit: signed 1 > -1, unsigned 0xFFFF > 1.
        {361, B16, B8, 1, 0xFFFF, 1},
        {360, B16, B8, 1, 0xFFFF, 1},
        {490, B16, B8, 0xFFFF, 1, 1},
        {494, B16, B8, 0xFFFF, 1, 1},
        {365, B16, B8, 0xFFFF, 1, 0},
        {364, B16, B8, 1, 1, 1},
        {491, B16, B8, 0xFFFF, 1, 1},
        {495, B16, B8, 1, 0xFFFF, 0},
        {367, B16, B8, 0x1234, 0x1234, 1},
        {366, B16, B8, 0x1234, 0x1235, 0},
        {369, B16, B8, 0x1234, 0x1235, 1},
        {368, B16, B8, 0x1234, 0x1234, 0},
        // 32-bit
        {19, B32, B8, 1, 0xFFFFFFFF, 1},
        {126, B32, B8, 1, 0xFFFFFFFF, 1},
        {498, B32, B8, 0xFFFFFFFF, 1, 1},
        {502, B32, B8, 0xFFFFFFFF, 1, 1},
        {27, B32, B8, 0xFFFFFFFB, 0xFFFFFFFB, 1},
        {134, B32, B8, 0xFFFFFFFB, 1, 0},
        {499, B32, B8, 0x80000000, 1, 1},
        {503, B32, B8, 1, 0x80000000, 0},
        {31, B32, B8, 77, 77, 1},
        {138, B32, B8, 77, 78, 0},
        {36, B32, B8, 77, 78, 1},
        {143, B32, B8, 77, 77, 0},
        // REAL: -0.0 equals 0.0; NaN is unordered.
        {20, B32, B8, F2_25, F1_5, 1},
        {127, B32, B8, F1_5, F2_25, 0},
        {28, B32, B8, F1_5, F1_5, 1},
        {135, B32, B8, FNAN, F1_5, 0},
        {32, B32, B8, 0, FNEG0, 1},
        {139, B32, B8, FNAN, FNAN, 0},
        {37, B32, B8, FNAN, FNAN, 1},
        {144, B32, B8, F1_5, F1_5, 0},
        // 64-bit
        {301, B64, B8, 1, ~0ull, 1},
        {300, B64, B8, 1, ~0ull, 1},
        {556, B64, B8, ~0ull, 1, 1},
        {560, B64, B8, ~0ull, 1, 1},
        {305, B64, B8, ~0ull, ~0ull, 1},
        {304, B64, B8, ~0ull, 1, 0},
        {557, B64, B8, 0x8000000000000000, 1, 1},
        {561, B64, B8, 1, 0x8000000000000000, 0},
        {307, B64, B8, 0x100000001, 0x100000001, 1},
        {306, B64, B8, 0x100000001, 1, 0},
        {309, B64, B8, 0x100000001, 1, 1},
        {308, B64, B8, 5, 5, 0},
        // LREAL
        {333, B64, B8, L2_25, L1_5, 1},
        {332, B64, B8, L1_5, L2_25, 0},
        {337, B64, B8, L1_5, L1_5, 1},
        {336, B64, B8, LNAN, L1_5, 0},
        {339, B64, B8, L1_5, L1_5, 1},
        {338, B64, B8, LNAN, LNAN, 0},
        {341, B64, B8, LNAN, LNAN, 1},
        {340, B64, B8, L1_5, L1_5, 0},
        // TIME compares unsigned.
        {21, TM, B8, 0xFFFFFFFF, 1, 1},
        {129, TM, B8, 1, 0xFFFFFFFF, 0},
        {29, TM, B8, 0x80000000, 0x80000000, 1},
        {137, TM, B8, 1, 2, 0},
        {33, TM, B8, 500, 500, 1},
        {142, TM, B8, 500, 501, 0},
        {38, TM, B8, 500, 501, 1},
        {147, TM, B8, 500, 500, 0},
        // Greater-than of equal values is false in every width.
        {389, B8, B8, 9, 9, 0},
        {361, B16, B8, 7, 7, 0},
        {490, B16, B8, 7, 7, 0},
        {19, B32, B8, 7, 7, 0},
        {498, B32, B8, 7, 7, 0},
        {20, B32, B8, F1_5, F1_5, 0},
        {301, B64, B8, 7, 7, 0},
        {556, B64, B8, 7, 7, 0},
        {333, B64, B8, L1_5, L1_5, 0},
        {21, TM, B8, 7, 7, 0},
        // Logic on bytes: 0x0C and 0x0A.
        {41, B8, B8, 0x0C, 0x0A, 0x0E},
        {148, B8, B8, 0x0C, 0x0A, 0x0E},
        {42, B8, B8, 0x0C, 0x0A, 0x08},
        {149, B8, B8, 0x0C, 0x0A, 0x08},
        {43, B8, B8, 0x0C, 0x0A, 0x06},
        {150, B8, B8, 0x0C, 0x0A, 0x06},
        // Bit tests: 1 when a AND b is not 0.
        {509, B8, B8, 0x0C, 0x04, 1},
        {517, B8, B8, 0x0C, 0x03, 0},
        {510, B16, B8, 0x1000, 0x1000, 1},
        {518, B16, B8, 0x1000, 0x0FFF, 0},
        {511, B32, B8, 0x80000000, 0x80000000, 1},
        {519, B32, B8, 0x80000000, 0x7FFFFFFF, 0},
    };
    for (const Row &r : rows) Run(r, false);
}

// Every lock-tested twin of the arithmetic, comparison, logic, bit-test and
// move families keeps a locked destination; its plain opcode writes it all
// the same. a = 2, b = 1 in the source section; the destination (index 1)
// starts at a value no operation gives.
TEST_F(IecFamilies, TwinsKeepALockedDestinationPlainOpcodesDoNot) {
    struct Pair {
        uint16_t plain, twin;
        bool unary;
        Kind src, dst;
    };
    const Pair pairs[] = {
        // arithmetic
        {377, 376, true, B8, B8},
        {349, 348, true, B16, B16},
        {1, 110, true, B32, B32},
        {2, 111, true, B32, B32},
        {289, 288, true, B64, B64},
        {321, 320, true, B64, B64},
        {3, 112, true, B8, B8},
        {383, 382, false, B8, B8},
        {385, 384, false, B8, B8},
        {379, 378, false, B8, B8},
        {484, 488, false, B8, B8},
        {381, 380, false, B8, B8},
        {485, 489, false, B8, B8},
        {355, 354, false, B16, B16},
        {357, 356, false, B16, B16},
        {351, 350, false, B16, B16},
        {492, 496, false, B16, B16},
        {353, 352, false, B16, B16},
        {493, 497, false, B16, B16},
        {8, 117, false, B32, B32},
        {12, 120, false, B32, B32},
        {4, 113, false, B32, B32},
        {500, 504, false, B32, B32},
        {6, 115, false, B32, B32},
        {501, 505, false, B32, B32},
        {9, 118, false, B32, B32},
        {13, 121, false, B32, B32},
        {5, 114, false, B32, B32},
        {7, 116, false, B32, B32},
        {295, 294, false, B64, B64},
        {297, 296, false, B64, B64},
        {291, 290, false, B64, B64},
        {558, 562, false, B64, B64},
        {293, 292, false, B64, B64},
        {559, 563, false, B64, B64},
        {327, 326, false, B64, B64},
        {329, 328, false, B64, B64},
        {323, 322, false, B64, B64},
        {325, 324, false, B64, B64},
        {10, 283, false, TM, TM},
        {14, 284, false, TM, TM},
        // comparisons into a BOOL
        {389, 388, false, B8, B8},
        {482, 486, false, B8, B8},
        {361, 360, false, B16, B8},
        {490, 494, false, B16, B8},
        {19, 126, false, B32, B8},
        {498, 502, false, B32, B8},
        {20, 127, false, B32, B8},
        {301, 300, false, B64, B8},
        {556, 560, false, B64, B8},
        {333, 332, false, B64, B8},
        {21, 129, false, TM, B8},
        {393, 392, false, B8, B8},
        {483, 487, false, B8, B8},
        {365, 364, false, B16, B8},
        {491, 495, false, B16, B8},
        {27, 134, false, B32, B8},
        {499, 503, false, B32, B8},
        {28, 135, false, B32, B8},
        {305, 304, false, B64, B8},
        {557, 561, false, B64, B8},
        {337, 336, false, B64, B8},
        {29, 137, false, TM, B8},
        {35, 141, false, B8, B8},
        {395, 394, false, B8, B8},
        {367, 366, false, B16, B8},
        {31, 138, false, B32, B8},
        {32, 139, false, B32, B8},
        {307, 306, false, B64, B8},
        {339, 338, false, B64, B8},
        {33, 142, false, TM, B8},
        {40, 146, false, B8, B8},
        {397, 396, false, B8, B8},
        {369, 368, false, B16, B8},
        {36, 143, false, B32, B8},
        {37, 144, false, B32, B8},
        {309, 308, false, B64, B8},
        {341, 340, false, B64, B8},
        {38, 147, false, TM, B8},
        // logic, bit tests
        {41, 148, false, B8, B8},
        {42, 149, false, B8, B8},
        {43, 150, false, B8, B8},
        {509, 517, false, B8, B8},
        {510, 518, false, B16, B8},
        {511, 519, false, B32, B8},
        // moves
        {44, 151, true, B8, B8},
        {399, 398, true, B8, B8},
        {371, 370, true, B16, B16},
        {45, 152, true, B32, B32},
        {46, 153, true, B32, B32},
        {311, 310, true, B64, B64},
        {343, 342, true, B64, B64},
        {47, 155, true, TM, TM},
    };
    auto lock_bit = [](Kind k) -> uint8_t {
        switch (k) {
        case B8: return 0x01;
        case B16: return 0x02;
        case B32: return 0x04;
        case B64: return 0x08;
        default: return 0x10;
        }
    };
    auto sentinel = [](Kind k) -> uint64_t {
        switch (k) {
        case B8: return 0x5A;
        case B16: return 0x5A5A;
        case B64: return 0x5A5A5A5A5A5A5A5Aull;
        default: return 0x5A5A5A5A;
        }
    };
    for (const Pair &p : pairs) {
        for (const uint16_t op : {p.plain, p.twin}) {
            SCOPED_TRACE(::testing::Message() << "opcode " << op);
            IecImage img;
            img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 63};
            img.programs = {{IecAsm("OP" + std::to_string(op) + (p.unary ? " 1 2" : " 1 2 3") + "; END"), 0}};
            ASSERT_EQ(Start(img, db), 0u);
            Put(p.src, 2, 2);
            if (!p.unary) Put(p.src, 3, 1);
            Put(p.dst, 1, sentinel(p.dst));
            Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 1), lock_bit(p.dst));
            Z7Def_Cycle(db, 1000, nullptr);
            if (op == p.twin)
                EXPECT_EQ(Get(p.dst, 1), sentinel(p.dst));
            else
                EXPECT_NE(Get(p.dst, 1), sentinel(p.dst));
            EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
            Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
            db = 0;
        }
    }
}

TEST_F(IecFamilies, BitMasksSetOrClearTheMaskInTheDestination) {
    // (dst 1, mask 2, bool 3 in the 8-bit section): bool 1 sets, 0 clears.
    struct Mask {
        uint16_t op;
        Kind k;
        uint64_t dst, mask;
        uint8_t on;
        uint64_t want;
    };
    const Mask rows[] = {
        {513, B8, 0x0F, 0x30, 1, 0x3F},
        {521, B8, 0x3F, 0x30, 0, 0x0F},
        {514, B16, 0xFF00, 0x0F00, 0, 0xF000},
        {522, B16, 0x00FF, 0x0F00, 1, 0x0FFF},
        {515, B32, 0x00000001, 0x80000000, 1, 0x80000001},
        {523, B32, 0xFFFFFFFF, 0x0000FFFF, 0, 0xFFFF0000},
    };
    for (const Mask &m : rows) {
        SCOPED_TRACE(m.op);
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 63};
        img.programs = {{IecAsm("OP" + std::to_string(m.op) + " 1 2 3; END"), 0}};
        ASSERT_EQ(Start(img, db), 0u);
        Put(m.k, 1, m.dst);
        Put(m.k, 2, m.mask);
        Put(B8, 3, m.on);
        Z7Def_Cycle(db, 1000, nullptr);
        EXPECT_EQ(Get(m.k, 1), m.want);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
}

}  // namespace
}  // namespace iec_test
