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
    LT_SetD(R(900), 0x12345678);
    r.rung(
        "83 push R as 32 bits", true, [](LadAsm &a) { a.op(83).reg(R(900)); }, 32, 0x12345678, true);
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

// Every timer opcode, 16- and 32-bit, every base, register and immediate
// preset: five units of its own base time it out, and the four counters.
TEST_F(LadderTest, EveryTimerAndCounterOpcodeOnce) {
    enum Kind { ON, OFF, RET };
    struct Row {
        uint16_t op;
        bool wide;
        Kind kind;
        uint32_t div;  // 100 us ticks per unit
    };
    const Row rows[] = {
        {204, false, ON, 100},    {205, false, ON, 100},    {206, false, OFF, 100},  {207, false, OFF, 100},
        {208, false, ON, 1000},   {209, false, ON, 1000},   {210, false, OFF, 1000}, {211, false, OFF, 1000},
        {212, false, RET, 100},   {213, false, RET, 100},   {214, false, RET, 1000}, {215, false, RET, 1000},
        {458, false, RET, 10000}, {459, false, RET, 10000}, {460, false, ON, 10000}, {461, false, ON, 10000},
        {462, false, OFF, 10000}, {463, false, OFF, 10000}, {474, false, RET, 10},   {475, false, RET, 10},
        {476, false, ON, 10},     {477, false, ON, 10},     {478, false, OFF, 10},   {479, false, OFF, 10},
        {450, true, RET, 10000},  {451, true, RET, 10000},  {452, true, ON, 10000},  {453, true, ON, 10000},
        {454, true, OFF, 10000},  {455, true, OFF, 10000},  {466, true, RET, 10},    {467, true, RET, 10},
        {468, true, ON, 10},      {469, true, ON, 10},      {470, true, OFF, 10},    {471, true, OFF, 10},
        {482, true, RET, 100},    {483, true, RET, 100},    {484, true, ON, 100},    {485, true, ON, 100},
        {486, true, OFF, 100},    {487, true, OFF, 100},    {498, true, RET, 1000},  {499, true, RET, 1000},
        {500, true, ON, 1000},    {501, true, ON, 1000},    {502, true, OFF, 1000},  {503, true, OFF, 1000},
    };
    // Each row in both register layouts (operands of one word, or of two in
    // the extended layout; an immediate preset keeps its own width).
    for (int n = 0; n < 2 * int(std::size(rows)); n++) {
        const Row &row = rows[n / 2];
        const bool l16 = n % 2 == 0;
        SetUp();
        const std::string what = std::to_string(row.op) + (l16 ? "" : " extended");
        LadAsm a(l16);
        a.contact(la::I(3)).op(row.op);
        if (row.kind == RET) a.bitx(la::I(4));
        a.reg(la::R(1));
        if (row.op & 1) {
            if (row.wide)
                a.dword(5);
            else
                a.word(5);
        } else {
            a.reg(la::R(20));
            if (row.wide)
                LT_SetD(la::R(20), 5);
            else
                LT_SetW(la::R(20), 5);
        }
        a.coil(la::Q(1)).end();
        const uint32_t status = row.wide ? la::R(3) : la::R(2);
        auto acc = [&] { return row.wide ? LT_D(la::R(1)) : uint32_t(LT_W(la::R(1))); };
        // Power on for the first scan: no time is added.
        LT_SetBit(la::I(3), true);
        EXPECT_EQ(Run(a), -1) << what;
        EXPECT_EQ(acc(), 0u) << what;
        EXPECT_EQ(LT_Bit(la::Q(1)), row.kind == OFF) << what;
        plc_reg[64] &= uint8_t(~1u);
        if (row.kind == OFF) LT_SetBit(la::I(3), false);  // the off-delay times from the fall
        for (uint32_t k = 1; k <= 4; k++) {
            LA_TimeAdvance(row.div);
            EXPECT_EQ(Scan(), -1);
            EXPECT_EQ(acc(), k) << what;
            EXPECT_EQ(LT_Bit(la::Q(1)), row.kind == OFF) << what << " unit " << k;
        }
        LA_TimeAdvance(row.div - 1);  // a tick short of the fifth unit
        EXPECT_EQ(Scan(), -1);
        EXPECT_EQ(acc(), 4u) << what;
        LA_TimeAdvance(1);
        EXPECT_EQ(Scan(), -1);
        EXPECT_EQ(acc(), 5u) << what;
        EXPECT_EQ(LT_Bit(la::Q(1)), row.kind != OFF) << what;
        // Done sets bit 15 and timing bit 14 for on-delay and retentive timers;
        // a timed-out off-delay timer has both clear.
        EXPECT_EQ(LT_W(status) & 0xC000, row.kind == OFF ? 0u : 0xC000u) << what;
        if (row.kind == RET) {
            LT_SetBit(la::I(4), true);
            EXPECT_EQ(Scan(), -1);
            EXPECT_EQ(acc(), 0u) << what;
            EXPECT_FALSE(LT_Bit(la::Q(1))) << what;
            EXPECT_EQ(LT_W(status) & 0xC000, 0u) << what;
        }
    }

    // Counters with a register preset of 2 (200 up, 202 down) and an
    // immediate one (201, 203): the reset loads or clears, rising edges count.
    for (bool l16 : {true, false}) {
        SetUp();
        LadAsm c(l16);
        c.contact(la::I(3)).op(200).bitx(la::I(4)).reg(la::R(1)).reg(la::R(20)).coil(la::Q(1));
        c.contact(la::I(3)).op(201).bitx(la::I(4)).reg(la::R(3)).word(2).coil(la::Q(2));
        c.contact(la::I(3)).op(202).bitx(la::I(5)).reg(la::R(5)).reg(la::R(20)).coil(la::Q(3));
        c.contact(la::I(3)).op(203).bitx(la::I(5)).reg(la::R(7)).word(2).coil(la::Q(4));
        c.end();
        LT_SetW(la::R(20), 2);
        LT_SetBit(la::I(5), true);
        EXPECT_EQ(Run(c), -1);
        EXPECT_EQ(LT_W(la::R(5)), 2);
        EXPECT_EQ(LT_W(la::R(7)), 2);
        LT_SetBit(la::I(5), false);
        std::vector<uint16_t> seen;
        for (bool in : {true, true, false, true}) {
            LT_SetBit(la::I(3), in);
            EXPECT_EQ(Scan(), -1);
            seen.insert(seen.end(), {LT_W(la::R(1)), LT_W(la::R(3)), LT_W(la::R(5)), LT_W(la::R(7))});
            seen.push_back(
                uint16_t(LT_Bit(la::Q(1)) | LT_Bit(la::Q(2)) << 1 | LT_Bit(la::Q(3)) << 2 | LT_Bit(la::Q(4)) << 3));
        }
        EXPECT_EQ(seen, (std::vector<uint16_t>{1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 2, 2, 0, 0, 15})) << l16;
    }
}
