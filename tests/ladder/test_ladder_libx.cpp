// Time schedules against a set clock image, flow computation against values
// computed independently, and the network-id, selector and alarm-handler
// instructions of the extended encoding.
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "io/io.h"
#include "ladder/ladflow.h"
#include "ladder/ladsched.h"
#include "tests/ladder/lad_fixture.h"

using namespace la;

namespace {

void SetClock(uint16_t min, uint16_t hour, uint16_t day, uint16_t dow) {
    const uint16_t rec[7] = {0, min, hour, day, 5, 2024, dow};
    for (int i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, rec[i]);
}

void PutD(uint32_t ref, double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    LT_SetD(ref, uint32_t(b >> 32));
    LT_SetD(ref + 32, uint32_t(b));
}
double GetD(uint32_t ref) {
    const uint64_t b = (uint64_t(LT_D(ref)) << 32) | LT_D(ref + 32);
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}
void PutBlock(uint32_t ref, std::initializer_list<double> v) {
    for (double d : v) PutD(ref, d), ref += 64;
}

}  // namespace

TEST_F(LadderTest, SchedulesOnTheClockImage) {
    LT_SetW(R(10), 22), LT_SetW(R(11), 0), LT_SetW(R(12), 6), LT_SetW(R(13), 0);
    LT_SetW(R(20), 0x08), LT_SetD(R(21), 1u << 14), LT_SetW(R(23), 0x10);
    LT_SetW(R(24), 2000), LT_SetW(R(25), 2100);
    struct Rung {
        uint16_t op;
        std::vector<uint32_t> v;  // value operands (370), immediates or a register
    };
    const Rung rungs[] = {
        {370, {22, 0, 6, 0}},    {370, {R(10), R(11), R(12), R(13)}},
        {370, {10, 0, 10, 0}},   {370, {22, 0, 24, 0}},
        {370, {23, 31, 23, 29}}, {372, {0x08}},
        {372, {0x04}},           {372, {136}},
        {373, {R(20)}},          {374, {0x4000, 0}},
        {374, {0, 0x4000}},      {374, {0x4000, 0x8000}},
        {375, {R(21)}},          {376, {0x10}},
        {376, {4096 + 0x10}},    {377, {R(23)}},
        {378, {2000, 2100}},     {378, {2024, 2024}},
        {378, {1999, 2100}},     {378, {2000, 2101}},
        {378, {2030, 2020}},     {379, {R(24)}},
    };
    // Wednesday 2024-05-15 23:30.
    const bool want[] = {1, 1, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, 0, 0, 0, 1};
    for (bool l16 : {true, false}) {
        LadAsm a(l16);
        int i = 0;
        for (const Rung &r : rungs) {
            a.contact(LT_ON).op(r.op);
            for (uint32_t v : r.v) {
                const bool reg = r.op == 370 || r.op == 373 || r.op == 375 || r.op == 377 || r.op == 379;
                if (reg)
                    a.reg(v);
                else
                    a.word(uint16_t(v));
            }
            a.coil(Q(++i));
        }
        a.contact(LT_OFF).op(372).word(127).coil(Q(50));  // power off answers 0
        a.end();
        SetClock(30, 23, 15, 4);
        EXPECT_EQ(Run(a), -1);
        for (int k = 0; k < i; k++) EXPECT_EQ(LT_Bit(Q(k + 1)), want[k]) << "layout16 " << l16 << " rung " << k;
        EXPECT_FALSE(LT_Bit(Q(50)));
        SetClock(59, 5, 31, 4);  // 05:59 on the 31st
        EXPECT_EQ(Scan(), -1);
        EXPECT_TRUE(LT_Bit(Q(1)));
        EXPECT_TRUE(LT_Bit(Q(11)));  // day-of-month bit 30
        SetClock(0, 6, 31, 4);
        EXPECT_EQ(Scan(), -1);
        EXPECT_FALSE(LT_Bit(Q(1)));
        FirstScan();
    }
    // The IEC front end: a negative hour arrives as a large unsigned value.
    EXPECT_EQ(Z7Schedule_TimeOfDay(uint32_t(-1), 0, 6, 0), 0u);
    EXPECT_EQ(Z7Schedule_DayOfWeek(127), 1u);
    EXPECT_EQ(Z7Schedule_DayOfMonth(-1), 0u);
}

TEST_F(LadderTest, FlowComputation) {
    const uint32_t IN = R(100), OUT = R(200);
    auto run = [&](bool l16, std::initializer_list<uint16_t> ops, bool power = true) {
        LadAsm a(l16);
        a.contact(power ? LT_ON : LT_OFF).op(381);
        for (uint16_t w : ops) a.word(w);
        a.coil(Q(1)).contact(LT_ON).coil(Q(2)).end();
        for (int i = 0; i < 64; i++) LT_SetW(OUT + 16 * i, 0xEEEE);
        FirstScan();
        EXPECT_EQ(Run(a), -1);
        EXPECT_TRUE(LT_Bit(Q(2)));
        return LT_Bit(Q(1));
    };
    const uint16_t in = uint16_t(IN), out = uint16_t(OUT);
    for (bool l16 : {true, false}) {
        SCOPED_TRACE(l16);
        // Sub 0: 60 F and 100 C to IPTS-68, doubles then floats.
        PutD(IN, 60.0);
        EXPECT_TRUE(run(l16, {0, in, 1, 0, out}));
        EXPECT_NEAR(GetD(OUT), 15.5593749, 5e-8);
        EXPECT_NEAR(GetD(OUT + 64), 60.0068749, 5e-8);
        PutD(IN, 100.0);
        EXPECT_TRUE(run(l16, {0, in, 0, 1, out}));
        EXPECT_FLOAT_EQ(LT_F(OUT), 100.0256467f);
        EXPECT_FLOAT_EQ(LT_F(OUT + 32), 212.0461640f);
        // Only the scale word's low byte selects Fahrenheit: 0x0100 is Celsius.
        EXPECT_TRUE(run(l16, {0, in, 0x0100, 0, out}));
        EXPECT_NEAR(GetD(OUT), 100.0256467, 5e-8);
        // Sub 7: rounding that truncates the thousandths; 10^10 does not fit.
        const std::pair<double, float> rounds[] = {{1.23456, 1.23f}, {1.2351, 1.24f}, {1.235, 1.23f}, {1.23501, 1.23f}};
        for (auto [x, y] : rounds) {
            PutD(IN, x);
            EXPECT_TRUE(run(l16, {7, in, 2, out}));
            EXPECT_EQ(LT_F(OUT), y) << x;
        }
        PutD(IN, 2.5);
        EXPECT_TRUE(run(l16, {7, in, 0, out}));
        EXPECT_EQ(LT_F(OUT), 2.0f);
        EXPECT_FALSE(run(l16, {7, in, 10, out}));
        // Sub 1: correction factors from base conditions.
        PutBlock(IN, {100, 100, 850, 1000, 341.0957, 0, 0});
        EXPECT_TRUE(run(l16, {1, 0, in, 1, 0, out}));
        const double want1[] = {0.98100812, 0.57096057, 1.00057129, 0.98156855, 834.33327, 981.56857, 4.7210171e-4};
        for (int k = 0; k < 7; k++) EXPECT_NEAR(GetD(OUT + 64 * k), want1[k], std::fabs(want1[k]) * 1e-8) << k;
        // Floats in and out, alpha60 given (alpha word 0) in slot 4.
        for (int k = 0; k < 8; k++)
            LT_SetF(IN + 32 * k, std::array<float, 8>{100, 100, 850, 1000, 0.0005f, 341.0957f}[k]);
        EXPECT_TRUE(run(l16, {1, 1, in, 0, 1, out}));
        const float want1f[] = {0.9798796772956848f, 0.5709605813026428f, 1.0005712509155273f,   0.9804394245147705f,
                                833.37353515625f,    980.439453125f,      0.0005000000237487257f};
        for (int k = 0; k < 7; k++) EXPECT_FLOAT_EQ(LT_F(OUT + 32 * k), want1f[k]) << k;
        PutBlock(IN, {100, 100, 850, 1000, 341.0957, 0, 0});
        PutBlock(IN, {302, 1500});
        EXPECT_TRUE(run(l16, {1, 0, in, 1, 0, out}));
        for (double bad : {302.01, std::numeric_limits<double>::quiet_NaN()}) {
            PutD(IN, bad);
            EXPECT_FALSE(run(l16, {1, 0, in, 1, 0, out}));
            EXPECT_EQ(LT_W(OUT), 0xEEEE);
        }
        PutBlock(IN, {100, -1});
        EXPECT_FALSE(run(l16, {1, 0, in, 1, 0, out}));
        // Sub 6: 850 kg/m3 at 30 C to 15 C.
        PutBlock(IN, {850, 30, 15, 0, 1000, 0, 0, 341.0957, 0, 0});
        EXPECT_TRUE(run(l16, {6, in, 1, 1, out}));
        EXPECT_NEAR(GetD(OUT), 1.01263922, 1e-8);
        EXPECT_NEAR(GetD(OUT + 64 * 4), 860.743290, 1e-6);
        EXPECT_NEAR(GetD(OUT + 64 * 6), 860.346832, 1e-6);
        // The other pressure is given in kPa and limited in psi (6.894757 kPa
        // each): 10342 kPa is 1499.98 psi, within 1500; 10343 kPa is not.
        PutBlock(IN, {850, 30, 15, 10342, 1000, 0, 0, 341.0957, 0, 0});
        EXPECT_TRUE(run(l16, {6, in, 1, 1, out}));
        PutBlock(IN, {850, 30, 15, 10343, 1000, 0, 0, 341.0957, 0, 0});
        EXPECT_FALSE(run(l16, {6, in, 1, 1, out}));
        // Mode word 0: the base density (860) and the observed CTL (0.99)
        // are given after K0..K2; only the other conditions (15 C, 500 kPa)
        // are computed. Values worked out apart from this code.
        PutBlock(IN, {850, 30, 15, 500, 1000, 0, 0, 341.0957, 0, 0, 860, 0.99});
        EXPECT_TRUE(run(l16, {6, in, 1, 0, out}));
        const double want6[] = {1.0105669110004385,
                                1.0003503787299743,
                                0.07005120154381048,
                                1.010920992151269,
                                859.2828512191772,
                                1010.9209921512689,
                                860.0,
                                0.99};
        for (int k = 0; k < 8; k++) EXPECT_NEAR(GetD(OUT + 64 * k), want6[k], std::fabs(want6[k]) * 1e-9) << k;
        // With alpha60 given far too large no pass converges: nothing written.
        PutBlock(IN, {850, 150, 15, 0, 1000, 0, 0, 341.0957, 0, 0, 0.01});
        EXPECT_FALSE(run(l16, {6, in, 0, 1, out}));
        EXPECT_EQ(LT_W(OUT), 0xEEEE);
        // Sub 2..5: conversions, quotient (b = 0 refused) and product.
        PutD(IN, 0.1);
        EXPECT_TRUE(run(l16, {2, in, out}));
        EXPECT_EQ(LT_F(OUT), 0.1f);
        LT_SetF(R(310), 0.1f);
        EXPECT_TRUE(run(l16, {3, uint16_t(R(310)), uint16_t(R(300))}));
        EXPECT_EQ(GetD(R(300)), double(0.1f));
        LT_SetF(IN, 7.0f), LT_SetF(IN + 32, 2.0f);
        EXPECT_TRUE(run(l16, {4, in, 1, 0, out}));
        EXPECT_EQ(GetD(OUT), 3.5);
        EXPECT_TRUE(run(l16, {5, in, 1, 1, out}));
        EXPECT_EQ(LT_F(OUT), 14.0f);
        LT_SetF(IN + 32, 0.0f);
        EXPECT_FALSE(run(l16, {4, in, 1, 0, out}));
        // Power off: 1 (sub 6: 0), nothing written; escaped operands are
        // decoded so the next rung is read correctly.
        EXPECT_TRUE(run(l16, {0, 1777, 16, 1, 0, 1776, 0}, false));
        EXPECT_FALSE(run(l16, {6, in, 1, 1, out}, false));
        EXPECT_EQ(LT_W(OUT), 0xEEEE);
        EXPECT_FALSE(run(l16, {8}));
    }
}

TEST_F(LadderTest, NetworkIdSelectorAndAlarmHandler) {
    for (bool l16 : {true, false}) {
        struct Case {
            uint16_t count;  // word 188
            uint32_t v;      // operand
            bool power;
            uint16_t id;  // word 156 afterwards
        };
        LT_SetW(R(5), 100);
        LT_SetW(ESR(3), 90);
        const uint32_t from_reg = l16 ? R(5) : ESR(3);
        const Case cases[] = {{1, 127, true, 127},  {1, 0, false, 127},
                              {1, 128, false, 127}, {1, from_reg, true, uint16_t(l16 ? 100 : 90)},
                              {8, 120, true, 120},  {8, 121, false, 120}};
        PlcWordSet(W_NETID, 127);
        for (const Case &c : cases) {
            PlcWordSet(188, c.count);
            NetStatsClear = 0;
            LadAsm a(l16);
            a.contact(LT_ON).op(544);
            if (l16)
                a.word(uint16_t(c.v));
            else
                a.dword(c.v);
            a.coil(Q(1)).contact(LT_OFF).op(544).refconst(5).coil(Q(2)).end();
            const uint16_t before = PlcWord(W_NETID);
            EXPECT_EQ(Run(a), -1);
            EXPECT_EQ(LT_Bit(Q(1)), c.power) << c.v;
            EXPECT_EQ(PlcWord(W_NETID), c.id) << c.v;
            EXPECT_EQ(NetStatsClear, c.id != before ? 1 : 0) << c.v;  // node restarted only on a change
            FirstScan();
        }
        // 394: selector 7 consumes one word; 0..3 stop the program before it.
        // 528: nine words, power and image unchanged, even for word numbers
        // and bit addresses outside the image.
        LadAsm a(l16);
        a.contact(LT_ON).op(394).word(7).coil(Q(3));
        a.contact(LT_ON)
            .op(528)
            .word(3)
            .word(1)
            .word(2)
            .word(0xFFFF)
            .word(0xFFFE)
            .word(M16(1))
            .word(1)
            .word(0xFFFF)
            .word(M16(2));
        a.coil(Q(4)).contact(LT_OFF).op(528);
        for (int i = 0; i < 9; i++) a.word(0);
        a.coil(Q(5)).end();
        LT_SetBit(M16(1), true);
        const auto image = plc_reg;
        EXPECT_EQ(Run(a), -1);
        EXPECT_TRUE(LT_Bit(Q(3)));
        EXPECT_TRUE(LT_Bit(Q(4)));
        EXPECT_FALSE(LT_Bit(Q(5)));
        EXPECT_EQ(std::memcmp(image.data() + 3968, plc_reg.data() + 3968, 10000), 0);
        for (uint16_t op : {371, 380, 394, 527, 531}) {
            LadAsm f(l16);
            f.word(op).word(0).end();
            EXPECT_EQ(Run(f), 1) << op;
            FirstScan();
        }
    }
    // 394 with the port routines in place: selectors 0 and 1 send, 2 and 3
    // receive, with the third argument 0 or 1 and the cursor after the
    // selector; 531 calls the Modbus routine with the power. Each routine's
    // answer replaces the power.
    static std::vector<uint32_t> calls;
    calls.clear();
    const LadTalkHooks saved = lad_talk;
    lad_talk.send = [](LadCursor *pc, uint32_t power, uint32_t indirect) -> uint32_t {
        calls.insert(calls.end(), {'S', LadWord(*pc), power, indirect});
        return indirect;
    };
    lad_talk.receive = [](LadCursor *pc, uint32_t power, uint32_t indirect) -> uint32_t {
        calls.insert(calls.end(), {'R', LadWord(*pc), power, indirect});
        return indirect;
    };
    lad_talk.modbus_x = [](LadCursor *pc, uint32_t power) -> uint32_t {
        calls.insert(calls.end(), {'M', LadWord(*pc), power, 9});
        return power ? 0 : 1;
    };
    LadAsm t(false);
    t.contact(LT_ON).op(394).word(0).word(0x1111).coil(Q(6));
    t.contact(LT_OFF).op(394).word(1).word(0x2222).coil(Q(7));
    t.contact(LT_ON).op(394).word(2).word(0x3333).coil(Q(8));
    t.contact(LT_ON).op(394).word(3).word(0x4444).coil(Q(9));
    t.contact(LT_ON).op(531).word(0x5555).coil(Q(10)).end();
    EXPECT_EQ(Run(t), -1);
    lad_talk = saved;
    EXPECT_EQ(calls, (std::vector<uint32_t>{'S',  0x1111, 0xFF, 0,      'S',  0x2222, 0,   1,      'R',  0x3333,
                                            0xFF, 0,      'R',  0x4444, 0xFF, 1,      'M', 0x5555, 0xFF, 9}));
    EXPECT_FALSE(LT_Bit(Q(6)));
    EXPECT_TRUE(LT_Bit(Q(7)));
    EXPECT_FALSE(LT_Bit(Q(8)));
    EXPECT_TRUE(LT_Bit(Q(9)));
    EXPECT_FALSE(LT_Bit(Q(10)));
}
