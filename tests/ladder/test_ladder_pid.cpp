// PID loops: the instructions' operand handling through LogicUpdate in both
// layouts, the loop's dynamics on simulated time, the relay auto-tune on
// simulated plants, and refused operands.
#include <vector>

#include "ladder/ladpid.h"
#include "tests/ladder/lad_fixture.h"

using namespace la;

namespace {

constexpr uint32_t BLK = 200;  // block at %R200
constexpr uint32_t SP = R(300), PV = R(301), OUT = R(302);

class PidTest : public LadderTest {
protected:
    void SetUp() override {
        LadderTest::SetUp();
        pid_st = {};
        pid_at = {};
        repeat = 0;
    }
    static int16_t B(unsigned k) { return int16_t(LT_W(R(BLK + k))); }
    static void SetB(unsigned k, int v) { LT_SetW(R(BLK + k), uint16_t(v)); }
    // The block of the checks: period 0, gain 250, bias 40, limits +-32000.
    static void Defaults() {
        for (unsigned k = 0; k < 16; k++) SetB(k, 0);
        SetB(PID_GAIN, 250);
        SetB(PID_BIAS, 40);
        SetB(PID_OUT_HI, 32000);
        SetB(PID_OUT_LO, -32000);
    }
    // %I1 - PID(op) - %Q1, then a rung that sets %Q2.
    static LadAsm Prog(bool l16, uint16_t op, uint16_t loop = 0, uint32_t blk = R(BLK), uint32_t o = OUT) {
        LadAsm a(l16);
        a.contact(LT_ON).op(op).word(loop).reg(blk).reg(SP).reg(PV).bitx(M16(1)).bitx(M16(2)).bitx(M16(3));
        const bool tune = op == 242 || op == 243 || op == 525 || op == 526;
        if (tune) a.bitx(M16(4)).word(0);
        a.reg(o);
        if (tune) a.bitx(M16(5));
        a.coil(Q(1)).contact(LT_ON).coil(Q(2)).end();
        return a;
    }
    // Scans n times 10 ms apart; answers how many ended with the PID power on.
    int Scans(int n) {
        int on = 0;
        for (int i = 0; i < n; i++) {
            LA_TimeAdvance(100);
            EXPECT_EQ(Scan(), -1);
            on += LT_Bit(Q(1));
        }
        return on;
    }
};

// Direct calls of one loop on a time of our own.
struct Loop {
    uint16_t w[16]{};
    PidCall call{1000000, 0, 0, 0};
    explicit Loop(std::initializer_list<std::pair<unsigned, int>> set = {}) {
        pid_st[0] = {};
        pid_at[0] = {};
        for (auto [k, v] : set) w[k] = uint16_t(v);
    }
    uint32_t Init() {
        w[PID_CTRL] |= PID_B_INIT;
        const uint32_t r = fbk_pid(&call, w);
        w[PID_CTRL] &= uint16_t(~PID_B_INIT);
        return r;
    }
    uint32_t Step(uint32_t ticks = 100) {
        call.time += ticks;
        return fbk_pid(&call, w);
    }
    int16_t operator[](unsigned k) const { return int16_t(w[k]); }
};

}  // namespace

// The loop's saturating arithmetic: the exact sum, difference or product,
// or on overflow the limit on the side of the true result, and 1.
TEST_F(PidTest, SaturatingHelpers) {
    struct Row {
        uint32_t (*fn)(int32_t, int32_t, int32_t *);
        int32_t a, b, out;
        uint32_t over;
    };
    const Row rows[] = {
        {adds32_limited, 2000000000, 147483647, 2147483647, 0},
        {adds32_limited, 2000000000, 147483648, 2147483647, 1},
        {adds32_limited, -2000000000, -147483648, -2147483647 - 1, 0},
        {adds32_limited, -2000000000, -147483649, -2147483647 - 1, 1},
        {subs32_limited, -2, 2147483647, -2147483647 - 1, 1},
        {subs32_limited, -1, 2147483647, -2147483647 - 1, 0},
        {subs32_limited, 0, -2147483647 - 1, 2147483647, 1},
        {subs32_limited, 5, 7, -2, 0},
        {muls32_limited, 46341, 46341, 2147483647, 1},
        {muls32_limited, 46340, 46340, 2147395600, 0},
        {muls32_limited, -65536, 32768, -2147483647 - 1, 0},
        {muls32_limited, 65536, -32769, -2147483647 - 1, 1},
        {muls32_limited, -2147483647 - 1, -1, 2147483647, 1},
    };
    for (const Row &r : rows) {
        int32_t out = 7;
        EXPECT_EQ(r.fn(r.a, r.b, &out), r.over) << r.a << " " << r.b;
        EXPECT_EQ(out, r.out) << r.a << " " << r.b;
    }
}

TEST_F(PidTest, InstructionOperandsAndOutputsInBothLayouts) {
    using Sets = std::vector<std::pair<unsigned, int>>;
    struct Case {
        uint16_t op;
        Sets set;
        int s, v, o, w11;
        int on = 3;  // scans of 3 with the power on
        uint16_t loop = 0;
        uint32_t blk = R(BLK), out = OUT;
    };
    const Sets db = {{PID_DB_HI, 50}, {PID_DB_LO, -50}};
    const Sets db11 = {{PID_DB_HI, 50}, {PID_DB_LO, -50}, {PID_CTRL, 0x800}};
    const Case cases[] = {
        {240, {}, 1000, 900, 290, 290},                     // e 100 x 250 / 100 + 40
        {240, {{PID_CTRL, 0x100}}, 1000, 900, -210, -210},  // reverse acting
        {240, {{PID_CTRL, 0x200}}, 1000, 900, -290, 290},   // inverted output
        {241, {}, 1000, 900, 290, 290},                     // gain on all terms
        {242, {}, 1000, 900, 290, 290},                     // tune forms, no tune asked
        {243, {}, 1000, 900, 290, 290},
        {240, {{PID_GAIN, 333}, {PID_BIAS, 0}}, 0, 7, -23, -23},  // truncation
        {240, db, 1000, 970, 40, 40},                             // inside the band
        {240, db, 1000, 950, 165, 165},                           // at the band's edge
        {240, db11, 1000, 900, 165, 165},                         // band subtracted
        {240, db11, 900, 1000, -85, -85},
        {240, {{PID_CTRL, 0x001}, {PID_SP, 700}}, 1000, 900, -460, -460},  // set-point from the block
        {240, {{PID_GAIN, 1000}, {PID_OUT_HI, 600}}, 1000, 900, 600, 600},
        {240, {{PID_CTRL, 0x200}, {PID_OUT_LO, -32768}}, 0, 32000, 32767, -32768},
        // Inverted band or limits: power off, words 11 and 14 kept, O := word 14.
        {240, {{PID_DB_HI, -1}, {PID_DB_LO, 1}, {PID_OUT, 123}, {PID_FINAL, 456}}, 1000, 900, 456, 123, 0},
        {240, {{PID_OUT_HI, -1}, {PID_OUT_LO, 1}, {PID_OUT, 123}, {PID_FINAL, 456}}, 1000, 900, 456, 123, 0},
        // Refused: loop 64, block or output outside the image, a pointer to a
        // block past the end. Power off, nothing written.
        {240, {}, 1000, 900, 0, 0, 0, 64},
        {523, {}, 1000, 900, 0, 0, 0, 0, R(400)},
        {240, {}, 1000, 900, 0, 0, 0, 0, ESR(250)},
        {240, {}, 1000, 900, 0, 0, 0, 0, R(BLK), ESR(257)},
    };
    for (bool l16 : {true, false}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "layout16 " << l16 << " op " << c.op << " s " << c.s << " v " << c.v);
            if (l16 && (c.blk > 0xFFFF || c.out > 0xFFFF)) continue;  // extended references only
            SetUp();
            Defaults();
            SetB(PID_CTRL, 0x0080);
            for (auto [k, v] : c.set) SetB(k, k == PID_CTRL ? v | 0x80 : v);
            LT_SetW(SP, uint16_t(c.s));
            LT_SetW(PV, uint16_t(c.v));
            LT_SetD(R(400), PLC_REG_SIZE - 31);
            LadAsm a = Prog(l16, c.op, c.loop, c.blk, c.out);
            EXPECT_EQ(Run(a), -1);
            EXPECT_FALSE(LT_Bit(Q(1)));  // initialising (or refused)
            EXPECT_TRUE(LT_Bit(Q(2)));
            const bool written = c.loop < 64 && c.blk == R(BLK) && c.out == OUT;
            const uint16_t gain_all = (c.op == 241 || c.op == 243) ? 0x80 : 0;  // bit 7 of word 10
            EXPECT_EQ(uint16_t(B(PID_CTRL)) & 0x8084, written ? 0x8004 | gain_all : 0x80);
            EXPECT_EQ(Scans(3), c.on);
            EXPECT_EQ(int16_t(LT_W(OUT)), c.o);
            EXPECT_EQ(B(PID_FINAL), written ? c.o : 0);
            EXPECT_EQ(B(PID_OUT), c.w11);
            EXPECT_EQ(B(PID_PV), written ? c.v : 0);
            EXPECT_EQ(uint16_t(B(PID_CTRL)) & 0x8084, written ? 0x04 | gain_all : 0x80);
            if (c.set.size() == 2 && c.set[1].first == PID_SP) {
                EXPECT_EQ(B(PID_SP), 700);
            }
        }
        // Power off: nothing written, the next rung runs.
        SetUp();
        Defaults();
        LadAsm a(l16);
        a.contact(LT_OFF).op(240).word(0).reg(R(BLK)).reg(SP).reg(PV).bitx(M16(1)).bitx(M16(2)).bitx(M16(3));
        a.reg(OUT).coil(Q(1)).contact(LT_ON).coil(Q(2)).end();
        LT_SetW(PV, 900);
        EXPECT_EQ(Run(a), -1);
        EXPECT_EQ(B(PID_CTRL), 0);
        EXPECT_EQ(B(PID_PV), 0);
        EXPECT_TRUE(LT_Bit(Q(2)));
        // The pointer form at an odd byte offset works like the register form.
        SetUp();
        const uint32_t at = 2 * WordOf(R(BLK)) + 1;
        LT_SetD(R(400), at);
        for (auto [k, v] : Sets{{PID_GAIN, 250}, {PID_BIAS, 40}, {PID_OUT_HI, 32000}, {PID_OUT_LO, -32000}})
            LE_Put16(&plc_reg[at + 2 * k], uint16_t(v));
        LT_SetW(SP, 1000);
        LT_SetW(PV, 900);
        LadAsm p = Prog(l16, 524, 63, R(400));
        EXPECT_EQ(Run(p), -1);
        EXPECT_EQ(Scans(2), 2);
        EXPECT_EQ(LT_W(OUT), 290);
        EXPECT_EQ(LE_Get16(&plc_reg[at + 2 * PID_CTRL]), 0x84);
        // A block in the last bytes of the image, past the register windows
        // the operands name, is reached through the pointer all the same.
        SetUp();
        const uint32_t top = PLC_REG_SIZE - 151;
        LT_SetD(R(400), top);
        for (auto [k, v] : Sets{{PID_GAIN, 250}, {PID_BIAS, 40}, {PID_OUT_HI, 32000}, {PID_OUT_LO, -32000}})
            LE_Put16(&plc_reg[top + 2 * k], uint16_t(v));
        LT_SetW(SP, 1000);
        LT_SetW(PV, 900);
        LadAsm q = Prog(l16, 523, 62, R(400));
        EXPECT_EQ(Run(q), -1);
        EXPECT_EQ(Scans(2), 2);
        EXPECT_EQ(LT_W(OUT), 290);
        EXPECT_EQ(LE_Get16(&plc_reg[top + 2 * PID_FINAL]), 290);
        EXPECT_EQ(LE_Get16(&plc_reg[top + 2 * PID_PV]), 900);
    }
    // Operands cut by the end of the program stop it.
    LadAsm a(true);
    a.contact(LT_ON).op(240).word(0).reg(R(BLK)).reg(SP);
    EXPECT_GT(Run(a), 0);
}

// The derivative term, worked by hand: gain 1 (100), derivative gain 3,
// 100 ticks a step, set-point 1000. On the error it is d x 3 x 100 / 100
// (3000 for the first step's jump of 1000), with bit 13 d x 3 / 100 (30);
// with bit 10 it follows the process value (0 at the first step, 10 x 300 /
// 100 = 30 when the value rises by 10).
TEST_F(PidTest, DerivativeScaleAndSource) {
    auto loop = [](int ctrl) {
        Loop l({{PID_GAIN, 100},
                {PID_DGAIN, 3},
                {PID_OUT_HI, 32000},
                {PID_OUT_LO, -32000},
                {PID_SP, 1000},
                {PID_CTRL, ctrl}});
        l.Init();
        return l;
    };
    Loop e = loop(0);
    e.Step();
    EXPECT_EQ(e[PID_OUT], 1000 + 3000);
    e.Step();
    EXPECT_EQ(e[PID_OUT], 1000) << "no change of the error: no derivative";
    Loop raw = loop(PID_B_DRAW);
    raw.Step();
    EXPECT_EQ(raw[PID_OUT], 1000 + 30);
    Loop pv = loop(PID_B_DPV);
    pv.Step();
    EXPECT_EQ(pv[PID_OUT], 1000);
    pv.w[PID_PV] = 10;
    pv.Step();
    EXPECT_EQ(pv[PID_OUT], 990 + 30);
}

// The integral rate n: n = 1 adds e x elapsed / 100 / 1000 per step; from 2
// on, (n / 2) x e x elapsed / 100 / 500, so 3 integrates like 2 and 5 like 4.
// Error 1000 for one second (10000 ticks): 1, 2, 2, 4, 4.
TEST_F(PidTest, IntegralRateIsHalvedFromTwoOn) {
    const std::pair<int, int> rows[] = {{1, 1}, {2, 2}, {3, 2}, {4, 4}, {5, 4}};
    for (auto [n, integral] : rows) {
        Loop l({{PID_GAIN, 100}, {PID_IRATE, n}, {PID_OUT_HI, 32000}, {PID_OUT_LO, -32000}, {PID_SP, 1000}});
        l.Init();
        l.Step(10000);
        EXPECT_EQ(l[PID_OUT], 1000 + integral) << n;
    }
}

TEST_F(PidTest, AntiWindupSlewManualAndTimeProportioning) {
    // Back-calculation against freezing, integral rate 1, upper limit 500.
    for (int freeze : {0, 0x1000}) {
        Loop l({{PID_GAIN, 100},
                {PID_IRATE, 1},
                {PID_OUT_HI, 500},
                {PID_OUT_LO, -32000},
                {PID_SP, 1000},
                {PID_CTRL, freeze}});
        EXPECT_EQ(l.Init(), 1u);
        EXPECT_EQ(l.Step(99), 0u);  // under 10 ms: nothing computed
        EXPECT_EQ(l[PID_OUT], 0);
        l.Step(1);
        EXPECT_EQ(l[PID_OUT], 500);
        l.w[PID_PV] = 900;
        l.Step();
        EXPECT_EQ(l[PID_OUT], freeze ? 100 : -399);
    }
    // A gap of 3e9 ticks with the gain on all terms: the integral step
    // saturates at +2^31 / 100 / 500 = 42949 instead of wrapping negative
    // (which would give (327670 - 42949) / 100 = 2847).
    Loop gap({{PID_GAIN, 32767},
              {PID_IRATE, 65535},
              {PID_OUT_HI, 32000},
              {PID_OUT_LO, -32000},
              {PID_SP, 1000},
              {PID_PV, 990},
              {PID_CTRL, PID_B_GAINALL}});
    gap.Init();
    gap.Step(3000000000u);
    EXPECT_EQ(gap[PID_OUT], (327670 + 42949) / 100);
    // Slew limit of 10 s for 32000 units: 3200 units a second.
    Loop slew({{PID_GAIN, 10000}, {PID_OUT_HI, 32000}, {PID_OUT_LO, -32000}, {PID_SP, 1000}, {PID_SLEW, 10}});
    slew.Init();
    for (int i = 0; i < 100; i++) slew.Step();
    EXPECT_EQ(slew[PID_OUT], 3200);
    // Manual raise with a 100 ms period: +1 each period; lower stops at -32768.
    Loop man({{PID_PERIOD, 10}, {PID_OUT_HI, 32000}, {PID_OUT_LO, -32768}, {PID_CTRL, PID_B_MANUAL | PID_B_RAISE}});
    man.Init();
    for (int i = 0; i < 100; i++) man.Step();
    EXPECT_EQ(man[PID_OUT], 10);
    man.w[PID_CTRL] = PID_B_MANUAL | PID_B_LOWER;
    man.w[PID_OUT] = uint16_t(-32766);
    for (int i = 0; i < 100; i++) man.Step();
    EXPECT_EQ(man[PID_OUT], -32768);
    EXPECT_EQ(man[PID_FINAL], -32768);
    // Time-proportioned output, 1 s cycle over 0..1000, output 250: on for a
    // quarter of the time (three quarters inverted).
    for (int inv : {0, 0x200}) {
        Loop l({{PID_OUT_HI, 1000}, {PID_CYCLE, 1}, {PID_OUT, 250}, {PID_CTRL, PID_B_TPO | PID_B_MANUAL | inv}});
        l.Init();
        int on = 0;
        for (int i = 0; i < 1000; i++) on += l.Step() == 0;
        EXPECT_NEAR(on, inv ? 750 : 250, 25);
    }
    // On/off output: off for the first 0.5 s, then on; with the decision
    // flipping on every step it changes at most once per 0.5 s.
    Loop onoff({{PID_OUT_HI, 1000}, {PID_OUT, 700}, {PID_CTRL, PID_B_TPO | PID_B_MANUAL}});
    onoff.Init();
    for (int i = 0; i < 49; i++) EXPECT_EQ(onoff.Step(), 1u) << i;
    EXPECT_EQ(onoff.Step(), 0u);
    int changes = 0;
    uint32_t last = 0;
    for (int i = 0; i < 500; i++) {
        onoff.w[PID_OUT] = (i & 1) ? 700 : 300;
        const uint32_t r = onoff.Step();
        changes += r != last;
        last = r;
    }
    EXPECT_GE(changes, 9);
    EXPECT_LE(changes, 10);
}

TEST_F(PidTest, AutoTuneRelayOnPlants) {
    auto tuned = [](Loop &l) {
        l = Loop({{PID_OUT_HI, 1000}, {PID_SP, 600}, {PID_PV, 500}, {PID_IRATE, 77}});
        l.call.mode = PID_M_TUNE;
    };
    // Process value held at 500: the relay goes high; at two thirds of the
    // set-point or with hysteresis 200 it stays low. Word 5 is kept.
    for (uint8_t opt : {0, 1, 2}) {
        Loop l;
        tuned(l);
        if (opt == 1) l.call.mode |= PID_M_TWO3;
        if (opt == 2) l.call.options = 3 << 5;
        l.Init();
        for (int i = 0; i < 20; i++) l.Step();
        EXPECT_EQ(l[PID_OUT], opt == 0 ? 1000 : 0);
        EXPECT_EQ(l[PID_IRATE], 77);
        EXPECT_EQ(l.call.mode & PID_M_DONE, 0);
    }
    // Integrator plant: the tune ends within seconds with new gains; group 2
    // (P only) leaves no derivative or integral.
    for (uint8_t group : {0, 2}) {
        Loop l;
        tuned(l);
        l.call.options = uint8_t(group << 1);
        l.Init();
        double pv = 500;
        int steps = 0;
        for (; steps < 1000 && !(l.call.mode & PID_M_DONE); steps++) {
            pv += (l[PID_FINAL] - 500) / 100.0;
            l.w[PID_PV] = uint16_t(int16_t(pv));
            l.Step();
        }
        EXPECT_LT(steps, 500);  // under 5 s
        EXPECT_EQ(l.call.mode & PID_M_DONE, PID_M_DONE);
        EXPECT_GT(l[PID_GAIN], 0);
        if (group == 0) {
            EXPECT_GT(l[PID_DGAIN], 0);
            EXPECT_GT(uint16_t(l[PID_IRATE]), 0);
        } else {
            EXPECT_EQ(l[PID_DGAIN], 0);
            EXPECT_EQ(l[PID_IRATE], 0);
        }
        EXPECT_EQ(pid_at[0].state, 7);
        l.call.mode = 0;  // request dropped: done cleared, state back to 0
        l.Step();
        EXPECT_EQ(l.call.mode & PID_M_DONE, 0);
        EXPECT_EQ(pid_at[0].state, 0);
    }
    // First-order plant with dead time: after the tune the loop in automatic
    // brings the process value to the set-point.
    {
        Loop l;
        tuned(l);
        std::vector<double> delay(5, 0.0);
        double pv = 500;
        auto plant = [&] {
            delay.push_back(l[PID_FINAL]);
            pv += (delay.front() - pv) / 20.0;
            delay.erase(delay.begin());
            l.w[PID_PV] = uint16_t(int16_t(pv));
        };
        l.Init();
        for (int i = 0; i < 3000 && !(l.call.mode & PID_M_DONE); i++) plant(), l.Step();
        ASSERT_EQ(l.call.mode & PID_M_DONE, PID_M_DONE);
        l.call.mode = 0;
        for (int i = 0; i < 3000; i++) plant(), l.Step();
        EXPECT_NEAR(pv, 600, 5);
    }
}

// The pointer forms of the auto-tune instructions run a whole relay tune from
// a ladder program: T requests it, the settings word picks the rule column
// (high byte) and the two-thirds set-point (low byte), D reports it done.
// Scans 100 ms apart; the error against the tuning set-point is fed through
// the process value. Hand-worked: crossings at scans 7 and 11 give
// P2 = 2 x 4000 = 8000 ticks, the errors +200/-200 give A2 = 800,
// K = (9040 x 1000 / 71) / 800 = 127323 / 800 = 159; rule row 1 (1/3):
// gain 159 / 3 = 53; integral 20000000 / 8000 = 2500, derivative
// 8000 / 800 = 10; without the gain on all terms (525) both are scaled by
// 53 / 100: 1325 and 5.
TEST_F(PidTest, PointerFormsRunTheRelayTune) {
    struct Case {
        uint16_t op, settings;
        uint32_t extra;  // byte added to the block's offset
        int tsp;         // tuning set-point: 600, or 2/3 of it
        int gain, irate, dgain;
        uint16_t ctrl;  // word 10 after the tune
    };
    const Case cases[] = {
        {525, 0x0800, 0, 600, 53, 1325, 5, 0x0004},
        {526, 0x0804, 1, 400, 53, 2500, 10, 0x0084},
    };
    for (bool l16 : {true, false}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "layout16 " << l16 << " op " << c.op);
            SetUp();
            const uint32_t at = 2 * WordOf(R(BLK)) + c.extra;
            auto blk = [at](unsigned k) { return int16_t(LE_Get16(&plc_reg[at + 2 * k])); };
            LE_Put16(&plc_reg[at + 2 * PID_GAIN], 250);
            LE_Put16(&plc_reg[at + 2 * PID_IRATE], 77);
            LE_Put16(&plc_reg[at + 2 * PID_OUT_HI], 1000);
            LT_SetD(R(400), at);
            LT_SetW(SP, 600);
            LT_SetBit(M16(4), true);  // T: tune requested
            LadAsm a(l16);
            a.contact(LT_ON).op(c.op).word(0).reg(R(400)).reg(SP).reg(PV);
            a.bitx(M16(1)).bitx(M16(2)).bitx(M16(3)).bitx(M16(4)).word(c.settings).reg(OUT).bitx(M16(5));
            a.coil(Q(1)).end();
            EXPECT_EQ(Run(a), -1);  // first scan: initialising, power off
            EXPECT_FALSE(LT_Bit(Q(1)));
            // Error of each later scan, the output O it gives (the relay in
            // manual between the limits 0 and 1000) and the done bit D.
            const struct {
                int e, o;
                bool done;
            } steps[] = {
                {100, 0, false},     // 2: tune starts at the low limit
                {100, 1000, false},  // 3: above the hysteresis of 25: high
                {-100, 0, false},    // 4: a preliminary half-cycle
                {100, 1000, false},  // 5
                {-100, 0, false},    // 6
                {100, 1000, false},  // 7: first crossing
                {200, 1000, false},  // 8: largest error 200
                {-200, 0, false},    // 9
                {-200, 0, false},    // 10: smallest error -200
                {100, 0, false},     // 11: second crossing, saved output 0
            };
            int scan = 2;
            for (auto s : steps) {
                LT_SetW(PV, uint16_t(c.tsp - s.e));
                LA_TimeAdvance(1000);
                EXPECT_EQ(Scan(), -1);
                EXPECT_EQ(int16_t(LT_W(OUT)), s.o) << "scan " << scan;
                EXPECT_EQ(LT_Bit(M16(5)), s.done) << "scan " << scan;
                EXPECT_TRUE(LT_Bit(Q(1))) << "scan " << scan;
                EXPECT_EQ(blk(PID_IRATE), 77) << "scan " << scan;  // kept while the relay runs
                EXPECT_EQ(blk(PID_GAIN), 250) << "scan " << scan;
                scan++;
            }
            // 12: the tune computes the gains; 13: D reports it done.
            LT_SetW(PV, uint16_t(c.tsp));
            LA_TimeAdvance(1000);
            EXPECT_EQ(Scan(), -1);
            EXPECT_EQ(blk(PID_GAIN), c.gain);
            EXPECT_EQ(blk(PID_IRATE), c.irate);
            EXPECT_EQ(blk(PID_DGAIN), c.dgain);
            EXPECT_FALSE(LT_Bit(M16(5)));
            LA_TimeAdvance(1000);
            EXPECT_EQ(Scan(), -1);
            EXPECT_TRUE(LT_Bit(M16(5)));
            EXPECT_EQ(uint16_t(blk(PID_CTRL)), c.ctrl);
            EXPECT_EQ(blk(PID_SP), 600);
            EXPECT_EQ(blk(PID_PV), c.tsp);
            // The request dropped: D goes off on the next scan.
            LT_SetBit(M16(4), false);
            LA_TimeAdvance(1000);
            EXPECT_EQ(Scan(), -1);
            EXPECT_FALSE(LT_Bit(M16(5)));
            EXPECT_EQ(pid_at[0].state, 0);
        }
    }
}

// Dead band, inverted limits, the inverted final output and a tune whose
// measured amplitude is not positive. Gain 1, no integral or derivative, so
// the output is the error after the band.
TEST_F(PidTest, DeadBandInvertedLimitsAndFinalOutput) {
    struct Row {
        int pv;
        uint16_t ctrl;
        int out;
    };
    const Row rows[] = {
        {960, 0, 0},                 // e = 40 strictly inside -50..50: 0
        {950, 0, 50},                // e = 50 at the upper limit counts
        {1050, 0, -50},              // e = -50 at the lower limit counts
        {950, PID_B_DBSUB, 0},       // 50 - 50
        {900, PID_B_DBSUB, 50},      // 100 - 50
        {1100, PID_B_DBSUB, -50},    // -100 - -50
        {1100, PID_B_REVERSE, 100},  // reverse acting: pv - sp
    };
    for (const Row &r : rows) {
        Loop l({{PID_GAIN, 100},
                {PID_DB_HI, 50},
                {PID_DB_LO, -50},
                {PID_OUT_HI, 32000},
                {PID_OUT_LO, -32000},
                {PID_SP, 1000},
                {PID_PV, r.pv},
                {PID_CTRL, r.ctrl}});
        l.Init();
        EXPECT_EQ(l.Step(), 0u) << r.pv;
        EXPECT_EQ(l[PID_OUT], r.out) << r.pv << " " << r.ctrl;
        EXPECT_EQ(l[PID_FINAL], r.out) << r.pv << " " << r.ctrl;
    }
    // Inverted dead band (2) or output limits (3), 1 for either with
    // time-proportioning; nothing is computed and the words stay as they are.
    struct Bad {
        int db_hi, db_lo, out_hi, out_lo;
        uint16_t ctrl;
        uint32_t result;
    };
    const Bad bad[] = {
        {-1, 0, 1000, 0, 0, 2},
        {0, 0, -1, 0, 0, 3},
        {-1, 0, 1000, 0, PID_B_TPO, 1},
        {0, 0, -1, 0, PID_B_TPO, 1},
    };
    for (const Bad &b : bad) {
        Loop l({{PID_GAIN, 100},
                {PID_DB_HI, b.db_hi},
                {PID_DB_LO, b.db_lo},
                {PID_OUT_HI, b.out_hi},
                {PID_OUT_LO, b.out_lo},
                {PID_SP, 500},
                {PID_OUT, 7},
                {PID_FINAL, 9},
                {PID_CTRL, b.ctrl}});
        l.Init();
        EXPECT_EQ(l.Step(), b.result);
        EXPECT_EQ(l[PID_OUT], 7);
        EXPECT_EQ(l[PID_FINAL], 9);
    }
    // Inverted output: -500 for 500, and -32768 becomes 32767.
    for (auto [manual_out, final_out] : {std::pair{500, -500}, std::pair{-32768, 32767}}) {
        Loop l({{PID_OUT_HI, 32767},
                {PID_OUT_LO, -32768},
                {PID_OUT, manual_out},
                {PID_CTRL, PID_B_MANUAL | PID_B_INVERT}});
        l.Init();
        l.Step();
        EXPECT_EQ(l[PID_FINAL], final_out);
    }
    // A relay cycle whose error never goes above 0 while the relay is high
    // nor below 0 while it is low measures no amplitude: the tune starts over
    // from state 0 (and the next step puts the relay low again).
    Loop t({{PID_GAIN, 250}, {PID_OUT_HI, 1000}, {PID_SP, 600}, {PID_IRATE, 77}});
    t.call.mode = PID_M_TUNE;
    t.Init();
    // The shared preliminary count goes 1 -> 0 and then stays at 0.
    const struct {
        int e;
        uint16_t state;
        uint8_t rep;
    } seq[] = {{0, 1, 1},   {100, 2, 1},  {-100, 1, 0}, {100, 2, 0}, {-100, 3, 0},
               {100, 4, 0}, {-100, 5, 0}, {100, 6, 0},  {0, 0, 0},   {0, 1, 1}};
    for (auto s : seq) {
        t.w[PID_PV] = uint16_t(600 - s.e);
        t.Step();
        EXPECT_EQ(pid_at[0].state, s.state) << s.e;
        EXPECT_EQ(repeat, s.rep) << s.e;
    }
    EXPECT_EQ(t[PID_OUT], 0);
    EXPECT_EQ(t[PID_GAIN], 250);
    EXPECT_EQ(t[PID_IRATE], 77);
    EXPECT_EQ(t.call.mode & PID_M_DONE, 0);
}
