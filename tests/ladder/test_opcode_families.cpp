// Every member of the ladder's float arithmetic, float function, integer
// function and compare families run once, with values and powers worked out
// by hand (float results as IEEE bits; the transcendental ones from python's
// math module on the same single-precision operand).
#include "tests/ladder/lad_rungs.h"

using namespace la;

namespace {
constexpr uint32_t F7_5 = 0x40F00000, F2 = 0x40000000, FM2_5 = 0xC0200000, F1_5 = 0x3FC00000, F0_5 = 0x3F000000;
constexpr uint32_t NaN = 0x7FC00000;
}  // namespace

TEST_F(LadderTest, FloatAndIntegerFunctionFamiliesEveryOpcodeOnce) {
    LadRungs r(false);
    r.rung("128 7.5+2", true, Push32({F7_5, F2}, 128), 32, 0x41180000, true);
    r.rung("129 7.5-2", true, Push32({F7_5, F2}, 129), 32, 0x40B00000, true);
    r.rung("130 7.5*2", true, Push32({F7_5, F2}, 130), 32, 0x41700000, true);
    r.rung("131 7.5/2", true, Push32({F7_5, F2}, 131), 32, 0x40700000, true);
    r.rung("140 abs -5", true, Push16({0xFFFB}, 140), 16, 5, true);
    r.rung("141 -7 rem 2", true, Push16({0xFFF9, 2}, 141), 16, 0xFFFF, true);
    r.rung("142 sqrt 625", true, Push16({625}, 142), 16, 25, true);
    r.rung("143 abs -70000", true, Push32({0xFFFEEE90}, 143), 32, 70000, true);
    r.rung("144 -7 rem 2", true, Push32({0xFFFFFFF9, 2}, 144), 32, 0xFFFFFFFF, true);
    r.rung("145 sqrt 1000000", true, Push32({1000000}, 145), 32, 1000, true);
    r.rung("146 abs -2.5", true, Push32({FM2_5}, 146), 32, 0x40200000, true);
    r.rung("147 7.5 fmod 2", true, Push32({F7_5, F2}, 147), 32, F1_5, true);
    r.rung("148 sqrt 16", true, Push32({0x41800000}, 148), 32, 0x40800000, true);
    r.rung("149 2^10", true, Push32({F2, 0x41200000}, 149), 32, 0x44800000, true);
    r.rung("150 log10 100", true, Push32({0x42C80000}, 150), 32, F2, true);
    r.rung("151 exp 1", true, Push32({0x3F800000}, 151), 32, 0x402DF854, true);
    r.rung("152 ln e^2", true, Push32({0x40EC7326}, 152), 32, F2, true);
    r.rung("153 sin 0.5", true, Push32({F0_5}, 153), 32, 0x3EF57744, true);
    r.rung("154 cos 0.5", true, Push32({F0_5}, 154), 32, 0x3F60A940, true);
    r.rung("155 tan 0.5", true, Push32({F0_5}, 155), 32, 0x3F0BDA7B, true);
    r.rung("156 asin 0.5", true, Push32({F0_5}, 156), 32, 0x3F060A92, true);
    r.rung("157 acos 0.5", true, Push32({F0_5}, 157), 32, 0x3F860A92, true);
    r.rung("158 atan 0.5", true, Push32({F0_5}, 158), 32, 0x3EED6338, true);
    r.a.end();
    EXPECT_EQ(Run(r.a), -1);
    r.check();
}

TEST_F(LadderTest, CompareFamiliesEveryOpcodeOnce) {
    LadRungs r(false);
    // 16-bit, signed, a = -1, b = 1 (and equal pairs): the power becomes the result.
    r.rung("160 -1 = 1", true, Push16({0xFFFF, 1}, 160), 0, 0, false);
    r.rung("161 -1 <> 1", false, Push16({0xFFFF, 1}, 161), 0, 0, true);
    r.rung("162 -1 < 1", true, Push16({0xFFFF, 1}, 162), 0, 0, true);
    r.rung("162 5 < 5", true, Push16({5, 5}, 162), 0, 0, false);
    r.rung("163 -1 > 1", true, Push16({0xFFFF, 1}, 163), 0, 0, false);
    r.rung("163 1 > -1", false, Push16({1, 0xFFFF}, 163), 0, 0, true);
    r.rung("163 5 > 5", true, Push16({5, 5}, 163), 0, 0, false);
    r.rung("164 -1 <= 1", true, Push16({0xFFFF, 1}, 164), 0, 0, true);
    r.rung("164 5 <= 5", true, Push16({5, 5}, 164), 0, 0, true);
    r.rung("164 1 <= -1", true, Push16({1, 0xFFFF}, 164), 0, 0, false);
    r.rung("165 -1 >= 1", true, Push16({0xFFFF, 1}, 165), 0, 0, false);
    r.rung("165 5 >= 5", false, Push16({5, 5}, 165), 0, 0, true);
    // 32-bit, signed: only cleared when the relation fails.
    r.rung("166 -1 = 1", true, Push32({0xFFFFFFFF, 1}, 166), 0, 0, false);
    r.rung("167 -1 <> 1", true, Push32({0xFFFFFFFF, 1}, 167), 0, 0, true);
    r.rung("167 holds but off", false, Push32({0xFFFFFFFF, 1}, 167), 0, 0, false);
    r.rung("168 -1 < 1", true, Push32({0xFFFFFFFF, 1}, 168), 0, 0, true);
    r.rung("168 9 < 9", true, Push32({9, 9}, 168), 0, 0, false);
    r.rung("169 -1 > 1", true, Push32({0xFFFFFFFF, 1}, 169), 0, 0, false);
    r.rung("169 1 > -1", true, Push32({1, 0xFFFFFFFF}, 169), 0, 0, true);
    r.rung("169 9 > 9", true, Push32({9, 9}, 169), 0, 0, false);
    r.rung("170 -1 <= 1", true, Push32({0xFFFFFFFF, 1}, 170), 0, 0, true);
    r.rung("170 9 <= 9", true, Push32({9, 9}, 170), 0, 0, true);
    r.rung("170 1 <= -1", true, Push32({1, 0xFFFFFFFF}, 170), 0, 0, false);
    r.rung("171 -1 >= 1", true, Push32({0xFFFFFFFF, 1}, 171), 0, 0, false);
    r.rung("171 9 >= 9", true, Push32({9, 9}, 171), 0, 0, true);
    // Float: a = -2.5, b = 1.5; a NaN holds only for "not equal".
    r.rung("172 -2.5 = 1.5", true, Push32({FM2_5, F1_5}, 172), 0, 0, false);
    r.rung("172 1.5 = 1.5", true, Push32({F1_5, F1_5}, 172), 0, 0, true);
    r.rung("173 -2.5 <> 1.5", true, Push32({FM2_5, F1_5}, 173), 0, 0, true);
    r.rung("174 -2.5 < 1.5", true, Push32({FM2_5, F1_5}, 174), 0, 0, true);
    r.rung("174 1.5 < -2.5", true, Push32({F1_5, FM2_5}, 174), 0, 0, false);
    r.rung("174 1.5 < 1.5", true, Push32({F1_5, F1_5}, 174), 0, 0, false);
    r.rung("175 -2.5 > 1.5", true, Push32({FM2_5, F1_5}, 175), 0, 0, false);
    r.rung("175 1.5 > -2.5", true, Push32({F1_5, FM2_5}, 175), 0, 0, true);
    r.rung("175 1.5 > 1.5", true, Push32({F1_5, F1_5}, 175), 0, 0, false);
    r.rung("176 -2.5 <= 1.5", true, Push32({FM2_5, F1_5}, 176), 0, 0, true);
    r.rung("176 nan <= 1.5", true, Push32({NaN, F1_5}, 176), 0, 0, false);
    r.rung("176 1.5 <= 1.5", true, Push32({F1_5, F1_5}, 176), 0, 0, true);
    r.rung("177 -2.5 >= 1.5", true, Push32({FM2_5, F1_5}, 177), 0, 0, false);
    r.rung("177 1.5 >= 1.5", true, Push32({F1_5, F1_5}, 177), 0, 0, true);
    r.a.end();
    EXPECT_EQ(Run(r.a), -1);
    r.check();
}
