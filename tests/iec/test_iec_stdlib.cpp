// The standard library: standard blocks called through their handlers with
// operand lists in the arena (one table per family, rows of {stamp, inputs}
// -> outputs), and the bit, byte, date and system standard functions called
// through the standard-function entry.
#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_clock.h"
#include "tests/support/iec_vms.h"
#include "tests/support/loopback.h"

namespace iec_test {
using test_support::IecImage;

class IecStd : public IecTest {
protected:
    uint32_t db = 0;
    std::vector<uint32_t> mine;
    void SetUp() override {
        IecTest::SetUp();
        Z7Svc_InstallVMHooks();
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {127, 127, 127};
        img.str = {7, 7, 7};
        img.string_sizes = {40, 40, 40, 40, 40, 40, 40};
        ASSERT_EQ(Start(img, db), 0u);
    }
    void TearDown() override {
        for (uint32_t b : mine) Z7Mem_Free(b);
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    uint32_t Alloc(uint32_t n) {
        const uint32_t a = Z7Mem_Alloc(n);
        mine.push_back(a);
        return a;
    }
    uint32_t A(uint32_t sec, uint32_t i) const { return Z7Sec_Elem(db, sec, i); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(A(Z7SEC_D8, i), v); }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(A(Z7SEC_D8, i)); }
    void SetW(uint32_t i, uint16_t v) const { Z7Mem_Put16(A(Z7SEC_D16, i), v); }
    uint16_t W(uint32_t i) const { return Z7Mem_Get16(A(Z7SEC_D16, i)); }
    void SetD(uint32_t i, uint32_t v) const { Z7Mem_Put32(A(Z7SEC_D32, i), v); }
    uint32_t D(uint32_t i) const { return Z7Mem_Get32(A(Z7SEC_D32, i)); }
    void SetR(uint32_t i, float f) const {
        uint32_t b;
        std::memcpy(&b, &f, 4);
        SetD(i, b);
    }
    float R(uint32_t i) const {
        const uint32_t b = D(i);
        float f;
        std::memcpy(&f, &b, 4);
        return f;
    }
    void SetT(uint32_t i, uint32_t v) const { Z7Mem_Put32(A(Z7SEC_TIME, i), v); }
    uint32_t T(uint32_t i) const { return Z7Mem_Get32(A(Z7SEC_TIME, i)); }
    void SetL(uint32_t i, uint64_t v) const {
        Z7Mem_Put32(A(Z7SEC_D64, i), uint32_t(v));
        Z7Mem_Put32(A(Z7SEC_D64, i) + 4, uint32_t(v >> 32));
    }
    uint64_t L(uint32_t i) const {
        return uint64_t(Z7Mem_Get32(A(Z7SEC_D64, i) + 4)) << 32 | Z7Mem_Get32(A(Z7SEC_D64, i));
    }
    void SetS(uint32_t i, const std::string &s) const { Z7VMStr_AscForceC(db, i, s.c_str()); }
    std::string S(uint32_t i) const {
        const uint32_t n = Z7VMStr_GetLength(db, i);
        const uint8_t *p = Z7Mem_Ptr(Z7VMStr_GetText(db, i), n + 1);
        return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
    }
    void Stamp(uint32_t now) const { Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, now); }
    void Lock(uint32_t i, uint8_t bit) const {
        Z7Mem_Put8(A(Z7SEC_LOCK, i), uint8_t(Z7Mem_Get8(A(Z7SEC_LOCK, i)) | bit));
    }

    // One block instance: its row handler, zeroed instance data (command 6
    // applied) and its operand list.
    struct Block {
        FbHandler h = nullptr;
        uint32_t inst = 0, arg = 0, db = 0;
        void Run() const { h(FB_EXEC, db, 0, inst, arg); }
    };
    Block Make(const char *name, const std::vector<uint16_t> &ops) {
        Block b;
        b.db = db;
        for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
            if (std::strcmp(Z7Stfb_GetName(id), name) == 0) b.h = Z7Stfb_GetProc(id);
        // the counters stand in no list
        if (std::strcmp(name, "CTD") == 0) b.h = Z7Stfb_Counter(1);
        if (std::strcmp(name, "CTUD") == 0) b.h = Z7Stfb_Counter(2);
        EXPECT_NE(b.h, nullptr) << name;
        if (b.h == nullptr) return b;
        const uint32_t size = b.h(FB_INSTSIZE, 0, 0, 0, 0);
        b.inst = size ? Alloc(size) : 0;
        b.arg = PutOperands(Alloc(2 + 2 * uint32_t(ops.size())), ops);
        b.h(FB_INSTINIT, db, 0, b.inst, 0);
        return b;
    }
    // Bytes appended behind an image, little-endian; at = offset of the first.
    struct Tail {
        std::vector<uint8_t> &b;
        uint32_t at;
        void U8(uint32_t v) const { b.push_back(uint8_t(v)); }
        void U16(uint32_t v) const { U8(v), U8(v >> 8); }
        void U32(uint32_t v) const { U16(v & 0xFFFF), U16(v >> 16); }
        void F32(float f) const {
            uint32_t v;
            std::memcpy(&v, &f, 4);
            U32(v);
        }
    };
    // Replaces the fixture's application by img, whose extension word `word`
    // points at the bytes fill() appends behind it.
    template <typename Fill>
    void RestartWithTail(IecImage img, uint32_t word, Fill fill) {
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
        img.ext.assign(17, 0);  // word 17 present and 0: no CAN definition
        const uint32_t at = uint32_t(img.Build().size());
        img.ext[word - 1] = at;
        std::vector<uint8_t> b = img.Build();
        fill(Tail{b, at});
        const uint32_t code = test_support::IecLoad(b);
        blocks.push_back(code);
        ASSERT_EQ(Create(code, db), 0u);
        ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, false, 0, "APP"), 0u);
    }
    // Standard function fn on operands (operand 0 = result); the entry's answer.
    uint32_t Stf(uint16_t fn, const std::vector<uint16_t> &ops) {
        const uint32_t buf = Alloc(4 + 2 * uint32_t(ops.size()));
        Z7Mem_Put16(buf, fn);
        Z7Mem_Put16(buf + 2, uint16_t(ops.size()));
        for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(buf + 4 + 2 * uint32_t(k), ops[k]);
        return Z7VMStf_Execute(db, buf);
    }
};

TEST_F(IecStd, RegistryOrderClassNumbersSizesAndAbsentRows) {
    struct Row {
        uint32_t id;
        const char *name;
        uint32_t classno, size, avail;
        bool built;
    };
    const Row rows[] = {
        {0, "R_TRIG", 4, 1, 0, true},       {4, "CMP", 13, 4, 0, true},       {6, "TON", 9, 12, 0, true},
        {10, "STACKINT", 14, 524, 0, true}, {11, "SERIO", 0, 0, 0, false},    {13, "AVERAGE", 17, 536, 0, true},
        {20, "CURVELIN", 44, 0, 1, true},   {22, "UNPACK8", 22, 0, 1, true},  {31, "FIFO", 31, 24, 1, true},
        {37, "TMUSEC", 52, 12, 0, true},    {44, "SIGPLAY", 40, 32, 0, true}, {47, "AVERAGEL", 43, 1056, 0, true},
        {48, "HYSTERACC", 54, 24, 0, true}, {49, "CANRCVMSG", 0, 8, 1, true}, {53, "MBSLAVETCPEX", 57, 20260, 1, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(Z7Stfb_GetName(r.id), r.name);
        const FbHandler h = Z7Stfb_GetProc(r.id);
        ASSERT_EQ(h != nullptr, r.built);
        if (!h) continue;
        EXPECT_EQ(h(FB_CLASSNO, 0, 0, 0, 0), r.classno);
        EXPECT_EQ(h(FB_INSTSIZE, 0, 0, 0, 0), r.size);
        EXPECT_EQ(h(FB_CLASSSIZE, 0, 0, 0, 0), 0u);
        EXPECT_EQ(h(FB_AVAIL, 0, 0, 0, 0), r.avail);
        EXPECT_EQ(h(FB_INSTEXIT, 0, 0, 0, 0), 0u);
    }
    EXPECT_EQ(Z7Stfb_GetName(54), nullptr);
    EXPECT_EQ(Z7Stfb_Counter(0)(FB_CLASSNO, 0, 0, 0, 0), 6u);
    EXPECT_EQ(Z7Stfb_Counter(2)(FB_INSTSIZE, 0, 0, 0, 0), 4u);
}

TEST_F(IecStd, LogicBlocksEdgesBistablesAlarmsAndLocks) {
    // CMP(-5, 3); UNPACK8(16#A5); LIM_ALRM; HYSTER
    SetD(1, uint32_t(-5));
    SetD(2, 3);
    Make("CMP", {1, 2, 1, 2, 3}).Run();
    EXPECT_EQ(std::vector<int>({B(1), B(2), B(3)}), std::vector<int>({1, 0, 0}));
    SetB(10, 0xA5);
    Lock(18, 0x01);
    SetB(18, 1);
    Make("UNPACK8", {10, 11, 12, 13, 14, 15, 16, 17, 18}).Run();
    EXPECT_EQ(std::vector<int>({B(11), B(12), B(13), B(14), B(15), B(16), B(17)}),
              std::vector<int>({1, 0, 1, 0, 0, 1, 0}));
    EXPECT_EQ(B(18), 1) << "a forced Q7 keeps its value";
    SetR(10, 10.0f);
    SetR(11, 10.0f);
    SetR(12, 0.0f);
    SetR(13, 1.0f);
    const Block lim = Make("LIM_ALRM", {10, 11, 12, 13, 20, 21, 22});
    lim.Run();
    EXPECT_EQ(std::vector<int>({B(20), B(21), B(22)}), std::vector<int>({0, 0, 0}));
    SetR(11, -0.5f);
    lim.Run();
    EXPECT_EQ(std::vector<int>({B(20), B(21), B(22)}), std::vector<int>({0, 1, 1}));
    SetR(11, 0.5f);  // inside L + EPS: still low
    lim.Run();
    EXPECT_EQ(B(22), 1);
    SetR(11, 1.5f);
    lim.Run();
    EXPECT_EQ(B(22), 0);
    SetR(14, 5.0f);
    SetR(15, 4.0f);
    SetR(16, 0.5f);
    Make("HYSTER", {14, 15, 16, 23}).Run();
    EXPECT_EQ(B(23), 1);

    // %I1 1,0,1,0,1: R_TRIG 3 pulses, F_TRIG 2
    const Block rt = Make("R_TRIG", {30, 31}), ft = Make("F_TRIG", {30, 32});
    int rising = 0, falling = 0;
    for (int v : {1, 0, 1, 0, 1, 1}) {
        SetB(30, uint8_t(v));
        rt.Run();
        ft.Run();
        rising += B(31);
        falling += B(32);
    }
    EXPECT_EQ(rising, 3);
    EXPECT_EQ(falling, 2);

    // bistables, semaphore, flip-flop, alarms: rows of inputs -> outputs
    struct Step {
        uint8_t in0, in1, in2;
        uint8_t out0, out1;
    };
    struct Case {
        const char *name;
        std::vector<uint16_t> ops;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"RS", {40, 41, 43}, {{1, 1, 0, 0, 0}, {1, 0, 0, 1, 0}, {0, 1, 0, 0, 0}}},
        {"SR", {40, 41, 43}, {{1, 1, 0, 1, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}}},
        // SEMA: BUSY FALSE in the claiming execution, TRUE later, free on RELEASE
        {"SEMA", {40, 41, 43}, {{1, 0, 0, 0, 0}, {1, 0, 0, 1, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0, 0}}},
        {"FLIPFLOP",
         {40, 41, 43},
         {{1, 0, 0, 1, 0}, {1, 0, 0, 1, 0}, {0, 0, 0, 1, 0}, {1, 0, 0, 0, 0}, {1, 1, 0, 0, 0}}},
        // ALARM_M: IN, ACK, RST -> active, acknowledged
        {"ALARM_M", {40, 41, 42, 43, 44}, {{1, 0, 0, 1, 0}, {1, 1, 0, 0, 1}, {1, 0, 1, 0, 1}, {0, 0, 1, 0, 0}}},
        // ALARM_A: ACK after IN has gone ends the alarm at once
        {"ALARM_A",
         {40, 41, 43, 44},
         {{1, 0, 0, 1, 0}, {0, 1, 0, 0, 0}, {1, 0, 0, 1, 0}, {1, 1, 0, 0, 1}, {0, 0, 0, 0, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Block b = Make(c.name, c.ops);
        int k = 0;
        for (const Step &s : c.steps) {
            SCOPED_TRACE(k++);
            SetB(40, s.in0);
            SetB(41, s.in1);
            SetB(42, s.in2);
            b.Run();
            EXPECT_EQ(B(43), s.out0);
            if (c.ops.size() > 3 && c.ops.back() == 44) {
                EXPECT_EQ(B(44), s.out1);
            }
        }
    }
    // CTU counts by level up to PV; CTUD's CD counts only while CU is FALSE
    const FbHandler ctu = Z7Stfb_Counter(0);
    const uint32_t inst = Alloc(4), list = Alloc(12);
    const uint16_t ops[] = {5, 50, 51, 52, 53, 54};
    for (uint32_t k = 0; k < 6; k++) Z7Mem_Put16(list + 2 * k, ops[k]);
    SetB(50, 1);
    SetD(52, 2);
    for (int k = 0; k < 3; k++) ctu(FB_EXEC, db, 0, inst, list + 2);
    EXPECT_EQ(D(54), 2u);
    EXPECT_EQ(B(53), 1);
}

// R_TRIG under the image option 0x80 (no edge for a CLK TRUE at start);
// CTD and CTUD (no application links them, a registry may offer them);
// HYSTERACC's band and its accumulation over time.
TEST_F(IecStd, StartEdgeOptionCountersAndHysteresisAccumulation) {
    const uint32_t st = Z7VM_Status(db);
    SetB(30, 1);
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | 0x80);
    const Block quiet = Make("R_TRIG", {30, 31});
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) & ~0x80u);
    const Block plain = Make("R_TRIG", {30, 32});
    quiet.Run();
    plain.Run();
    EXPECT_EQ(B(31), 0) << "option 0x80: TRUE at start is no edge";
    EXPECT_EQ(B(32), 1);
    SetB(30, 0);
    quiet.Run();
    SetB(30, 1);
    quiet.Run();
    EXPECT_EQ(B(31), 1) << "a later edge counts";

    // CTD: CD B40, LOAD B41, PV D5; Q B42, CV D6
    const Block ctd = Make("CTD", {40, 41, 5, 42, 6});
    struct CtdStep {
        uint8_t cd, load;
        int32_t cv;
        uint8_t q;
    };
    SetD(5, 2);
    const CtdStep down[] = {{0, 1, 2, 0}, {1, 0, 1, 0}, {1, 0, 0, 1}, {1, 0, 0, 1}, {1, 1, 2, 0}, {0, 0, 2, 0}};
    for (const CtdStep &c : down) {
        SetB(40, c.cd);
        SetB(41, c.load);
        ctd.Run();
        EXPECT_EQ(int32_t(D(6)), c.cv) << int(c.cd) << int(c.load);
        EXPECT_EQ(B(42), c.q) << int(c.cd) << int(c.load);
    }
    // CTUD: CU B43, CD B44, RESET B45, LOAD B46, PV D7; QU B47, QD B48, CV D8
    const Block ctud = Make("CTUD", {43, 44, 45, 46, 7, 47, 48, 8});
    struct CtudStep {
        uint8_t cu, cd, reset, load;
        int32_t cv;
        uint8_t qu, qd;
    };
    SetD(7, 2);
    const CtudStep updown[] = {
        {1, 0, 0, 0, 1, 0, 0},  //
        {1, 0, 0, 0, 2, 1, 0},  // at PV
        {1, 0, 0, 0, 2, 1, 0},  // no further
        {1, 1, 0, 0, 2, 1, 0},  // CD counts only while CU is FALSE
        {0, 1, 0, 0, 1, 0, 0},  //
        {0, 1, 0, 0, 0, 0, 1},  //
        {0, 1, 0, 0, 0, 0, 1},  // not below 0
        {0, 0, 0, 1, 2, 1, 0},  // LOAD
        {1, 0, 1, 1, 0, 0, 1},  // RESET before LOAD and CU
    };
    for (const CtudStep &c : updown) {
        SetB(43, c.cu);
        SetB(44, c.cd);
        SetB(45, c.reset);
        SetB(46, c.load);
        ctud.Run();
        EXPECT_EQ(int32_t(D(8)), c.cv) << int(c.cu) << int(c.cd) << int(c.reset) << int(c.load);
        EXPECT_EQ(B(47), c.qu);
        EXPECT_EQ(B(48), c.qd);
    }

    // HYSTERACC: X R20, EPS R21 = 1, K R22 = 2; OUT R23. A deviation of 0.5
    // accumulates 0.5 per second: at 4 s it is 2.0, not above EPS x K; 2 ms
    // later the output follows. A deviation above EPS follows at once.
    const Block hy = Make("HYSTERACC", {20, 21, 22, 23});
    SetR(21, 1.0f);
    SetR(22, 2.0f);
    struct HyStep {
        uint32_t now;
        float x, out;
    };
    const HyStep hys[] = {{1000, 10.0f, 10.0f}, {3000, 10.5f, 10.0f}, {5000, 10.5f, 10.0f},
                          {5002, 10.5f, 10.5f}, {5003, 12.0f, 12.0f}, {6000, 11.2f, 12.0f}};
    for (const HyStep &h : hys) {
        Stamp(h.now);
        SetR(20, h.x);
        hy.Run();
        EXPECT_EQ(R(23), h.out) << h.now;
    }
}

// The runtime's millisecond tick wraps at 2^32 (about 49.7 days): TON 300,
// TP 200 and TOF 250 time across it as anywhere else. IN rises 150 ms before
// the wrap (stamp 4,294,967,096), steps of 100 ms through the tick 0 itself,
// IN falls at 200.
TEST_F(IecStd, TimersAcrossTheWrapOfTheMillisecondTick) {
    SetT(1, 300);
    SetT(2, 200);
    SetT(3, 250);
    const Block ton = Make("TON", {1, 1, 10, 10}), tp = Make("TP", {1, 2, 11, 11}), tof = Make("TOF", {1, 3, 12, 12});
    auto run = [&](uint32_t now, uint8_t in) {
        Stamp(now);
        SetB(1, in);
        ton.Run();
        tp.Run();
        tof.Run();
    };
    run(4294967096u, 1);
    run(4294967196u, 1);
    EXPECT_EQ(T(10), 100u);
    EXPECT_EQ(T(11), 100u);
    EXPECT_EQ(B(11), 1);
    run(0, 1);  // the wrap
    EXPECT_EQ(B(10), 0);
    EXPECT_EQ(T(10), 200u);
    EXPECT_EQ(B(11), 0);
    EXPECT_EQ(T(11), 200u);
    EXPECT_EQ(B(12), 1);
    run(100, 1);
    EXPECT_EQ(B(10), 1);
    EXPECT_EQ(T(10), 300u);
    run(200, 0);
    EXPECT_EQ(B(10), 0);
    EXPECT_EQ(T(11), 0u);
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(T(12), 0u);
    run(300, 0);
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(T(12), 100u);
    run(400, 0);
    EXPECT_EQ(T(12), 200u);
    run(500, 0);
    EXPECT_EQ(B(12), 0);
    EXPECT_EQ(T(12), 250u);
}

TEST_F(IecStd, TimersPulsesAndChartSteps) {
    // %I6 TRUE for 0.9 s then FALSE; TON 300, TP 200, TOF 250
    SetT(1, 300);
    SetT(2, 200);
    SetT(3, 250);
    const Block ton = Make("TON", {1, 1, 10, 10}), tp = Make("TP", {1, 2, 11, 11}), tof = Make("TOF", {1, 3, 12, 12});
    auto run = [&](uint32_t now, uint8_t in) {
        Stamp(now);
        SetB(1, in);
        ton.Run();
        tp.Run();
        tof.Run();
    };
    for (uint32_t t = 1000; t <= 1900; t += 100) run(t, 1);
    EXPECT_EQ(B(10), 1);
    EXPECT_EQ(T(10), 300u);
    EXPECT_EQ(B(11), 0);
    EXPECT_EQ(T(11), 200u);
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(T(12), 0u);
    run(2000, 0);
    EXPECT_EQ(B(10), 0);
    EXPECT_EQ(T(10), 0u);
    EXPECT_EQ(T(11), 0u);
    EXPECT_EQ(B(12), 1);
    for (uint32_t t = 2100; t <= 2800; t += 100) run(t, 0);
    EXPECT_EQ(B(12), 0);
    EXPECT_EQ(T(12), 250u);

    // rows of {stamp, IN, RST} -> {Q, ET} for the timers with reset and totalisers
    struct Step {
        uint32_t now;
        uint8_t in, rst;
        uint8_t q;
        uint32_t et;
    };
    struct Case {
        const char *name;
        std::vector<uint16_t> ops;  // IN 20, RST 21 (order per block), PT T5, Q 22, ET T6
        uint32_t pt;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"TPR",
         {20, 5, 21, 22, 6},
         500,
         {{100, 1, 0, 1, 0}, {300, 1, 0, 1, 200}, {400, 1, 1, 0, 0}, {500, 1, 0, 1, 0}}},
        {"TOFR",
         {20, 5, 21, 22, 6},
         100,
         {{100, 1, 0, 1, 0}, {200, 0, 0, 1, 0}, {250, 0, 0, 1, 50}, {260, 0, 1, 0, 0}}},
        // TMU counts only time with IN TRUE, holds ET while IN is FALSE
        {"TMU",
         {20, 21, 5, 22, 6},
         300,
         {{100, 1, 0, 0, 0},
          {200, 1, 0, 0, 100},
          {400, 0, 0, 0, 100},
          {500, 1, 0, 0, 200},
          {650, 1, 0, 1, 300},
          {700, 0, 1, 0, 0}}},
        // TMD: RST loads PT; counting down sets Q at 0
        {"TMD",
         {20, 21, 5, 22, 6},
         200,
         {{100, 0, 1, 0, 200}, {200, 1, 0, 0, 100}, {250, 1, 0, 0, 50}, {400, 1, 0, 1, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetT(5, c.pt);
        const Block b = Make(c.name, c.ops);
        for (const Step &s : c.steps) {
            SCOPED_TRACE(s.now);
            Stamp(s.now);
            SetB(20, s.in);
            SetB(21, s.rst);
            b.Run();
            EXPECT_EQ(B(22), s.q);
            EXPECT_EQ(T(6), s.et);
        }
    }
    // BLINK with CYCLE 200 toggles each 100 ms; PLS 300 pulses once per 300 ms;
    // (across midnight: elapsed times count modulo one day)
    SetT(7, 200);
    SetT(8, 300);
    SetB(30, 1);
    const Block blink = Make("BLINK", {30, 7, 31}), pls = Make("PLS", {30, 8, 32});
    std::string seq, pulses;
    for (uint32_t t = 86399900; t != 500; t = (t + 50) % 86400000) {
        Stamp(t);
        blink.Run();
        pls.Run();
        seq += char('0' + B(31));
        pulses += char('0' + B(32));
    }
    EXPECT_EQ(seq, "001100110011");
    EXPECT_EQ(pulses, "000000100000");

    // ISFCINITSTEP starts active; commands 1 1 3 0 3
    SetD(40, 5);
    const Block step = Make("ISFCINITSTEP", {40, 41, 9, 42, 43, 44});
    struct S {
        uint32_t now;
        int32_t cmd;
        uint8_t running, first, active, last;
        uint32_t t;
    };
    for (const S &s : std::vector<S>{{1000, 9, 1, 0, 1, 0, 0},
                                     {1100, 1, 1, 0, 1, 0, 100},
                                     {1150, 0, 0, 0, 0, 1, 100},
                                     {1200, 9, 0, 0, 0, 0, 100},
                                     {1300, 1, 0, 1, 1, 0, 0}}) {
        SCOPED_TRACE(s.now);
        Stamp(s.now);
        SetD(40, uint32_t(s.cmd));
        step.Run();
        EXPECT_EQ(std::vector<int>({B(41), B(42), B(43), B(44)}),
                  std::vector<int>({s.running, s.first, s.active, s.last}));
        EXPECT_EQ(T(9), s.t);
    }
    // ISFCSTEP starts inactive; command 2 keeps everything, the last stamp included
    const Block plain = Make("ISFCSTEP", {45, 46, 10, 47, 48, 49});
    for (const S &s : std::vector<S>{{1000, 9, 0, 0, 0, 0, 0},
                                     {1100, 1, 0, 1, 1, 0, 0},
                                     {1250, 1, 1, 0, 1, 0, 150},
                                     {1300, 2, 1, 0, 1, 0, 150},
                                     {1400, 9, 1, 0, 1, 0, 300},
                                     {1500, 0, 0, 0, 0, 1, 300},
                                     {1600, 9, 0, 0, 0, 0, 300}}) {
        SCOPED_TRACE(s.now);
        Stamp(s.now);
        SetD(45, uint32_t(s.cmd));
        plain.Run();
        EXPECT_EQ(std::vector<int>({B(46), B(47), B(48), B(49)}),
                  std::vector<int>({s.running, s.first, s.active, s.last}));
        EXPECT_EQ(T(10), s.t);
    }

    // rows of {stamp, RUN}; Q of each execution
    struct Wave {
        uint32_t now;
        uint8_t run;
    };
    // BLINKA (RUN B100, low T100, high T101; Q B101): low 200 ms first, then high 100 ms
    SetT(100, 200);
    SetT(101, 100);
    const Block blinka = Make("BLINKA", {100, 100, 101, 101});
    std::string q;
    for (const Wave &w : std::vector<Wave>{
             {1000, 1}, {1100, 1}, {1200, 1}, {1250, 1}, {1300, 1}, {1400, 1}, {1500, 1}, {1550, 0}, {1650, 1}}) {
        Stamp(w.now);
        SetB(100, w.run);
        blinka.Run();
        q += char('0' + B(101));
    }
    EXPECT_EQ(q, "001100100");
    // DTEVERY (RUN B102, DAYS D100, TM T102; Q B103): DAYS 0, TM 300
    SetD(100, 0);
    SetT(102, 300);
    const Block every = Make("DTEVERY", {102, 100, 102, 103});
    q.clear();
    for (const Wave &w : std::vector<Wave>{
             {1000, 1}, {1100, 1}, {1200, 1}, {1300, 1}, {1400, 1}, {1500, 1}, {1600, 1}, {1650, 0}, {1700, 1}}) {
        Stamp(w.now);
        SetB(102, w.run);
        every.Run();
        q += char('0' + B(103));
    }
    EXPECT_EQ(q, "100100101");
    // SIG_GEN (RUN B104, PERIOD T103, MAXCOUNT D101; PULSE B105, UP D102, END B106, SINE R103): PERIOD 100, MAXCOUNT 4;
    // SINE = sin(UP / 4 x 6.2826) in single precision
    SetT(103, 100);
    SetD(101, 4);
    SetB(104, 1);
    const Block gen = Make("SIG_GEN", {104, 103, 101, 105, 102, 106, 103});
    struct Gen {
        uint32_t now;
        uint8_t pulse;
        uint32_t up;
        uint8_t end;
        float sine;
    };
    for (const Gen &g : std::vector<Gen>{{1000, 0, 0, 1, 0.0f},
                                         {1050, 0, 0, 1, 0.0f},
                                         {1100, 1, 1, 0, 1.0f},
                                         {1200, 0, 2, 0, 0.000292690587f},
                                         {1300, 1, 3, 0, -0.999999881f},
                                         {1400, 0, 4, 0, -0.000585381174f},
                                         {1500, 1, 0, 1, 0.0f}}) {
        SCOPED_TRACE(g.now);
        Stamp(g.now);
        gen.Run();
        EXPECT_EQ(B(105), g.pulse);
        EXPECT_EQ(D(102), g.up);
        EXPECT_EQ(B(106), g.end);
        EXPECT_FLOAT_EQ(R(103), g.sine);
    }
    SetB(104, 0);
    gen.Run();
    EXPECT_EQ(std::vector<uint32_t>({B(105), D(102), B(106)}), std::vector<uint32_t>({0, 0, 1}));

    // Calendar blocks on the runtime clock: Sunday 2024-03-10 14:05:09.007 UTC,
    // local time one hour ahead.
    test_support::FixedIecClock clock;
    setenv("TZ", "CET-1", 1);
    tzset();
    // DTCURDATETIME (LOCAL B110; YEAR..MILLISECOND D110..D116, TOD T110, DST B111)
    const Block now = Make("DTCURDATETIME", {110, 110, 111, 112, 113, 114, 115, 116, 110, 111});
    for (const auto &[local, hour] : {std::pair{uint8_t(1), 15u}, std::pair{uint8_t(0), 14u}}) {
        SetB(110, local);
        SetB(111, 1);
        now.Run();
        EXPECT_EQ(std::vector<uint32_t>({D(110), D(111), D(112), D(113), D(114), D(115), D(116)}),
                  std::vector<uint32_t>({2024, 3, 10, hour, 5, 9, 7}));
        EXPECT_EQ(T(110), hour * 3600000 + 309007);
        EXPECT_EQ(B(111), 0);
    }
    // DTAT (YEAR D117, MONTH D118, DAY D119, TOD T111, RST B112; Q B113, DONE B114): rows of
    // {target, RST} -> {Q, DONE}; local 15:05:09
    struct At {
        uint32_t year, month, day, tod;
        uint8_t rst, q, done;
    };
    const Block at = Make("DTAT", {117, 118, 119, 111, 112, 113, 114});
    for (const At &a : std::vector<At>{
             {2024, 3, 10, 54000000, 0, 0, 0},  // arms
             {2024, 3, 10, 54000000, 0, 1, 1},  // 15:00 reached today: one pulse
             {2024, 3, 10, 54000000, 0, 0, 1},  // done held
             {2024, 3, 10, 54400000, 1, 0, 0},  // RST arms again for 15:06:40
             {2024, 3, 10, 54400000, 0, 0, 0},  // not yet
             {0, 3, 11, 0, 1, 0, 0},            // every year on 11 March
             {0, 3, 11, 0, 0, 0, 0},
             {0, 0, 9, 0, 1, 0, 0},  // every month from the 9th
             {0, 0, 9, 0, 0, 1, 1},
             {0, 0, 0, 54000000, 1, 0, 0},  // every day at 15:00
             {0, 0, 0, 54000000, 0, 1, 1},
         }) {
        SCOPED_TRACE(testing::Message() << a.year << "-" << a.month << "-" << a.day << " " << a.tod);
        SetD(117, a.year);
        SetD(118, a.month);
        SetD(119, a.day);
        SetT(111, a.tod);
        SetB(112, a.rst);
        at.Run();
        EXPECT_EQ(B(113), a.q);
        EXPECT_EQ(B(114), a.done);
    }
}

// Command 8 (the instance survives an on-line change) sets the last stamp of
// every block that measures time to the change's stamp, so that the pause of
// the change is not counted: steps at 1000 and 1100, the change at 60000, one
// execution at 60010.
TEST_F(IecStd, TimedBlocksSurvivingAChangeDoNotCountItsPause) {
    SetB(1, 1);
    SetB(3, 0);
    SetT(1, 300);
    SetT(2, 400);
    SetT(3, 200);
    SetT(4, 100);
    SetT(7, 100);
    SetT(8, 0);
    SetD(1, 0);
    SetD(2, 4);
    SetD(6, 9);
    SetD(7, 50);
    SetR(9, 0.5f);
    SetR(10, 10.0f);
    const std::vector<Block> blocks = {
        Make("TON", {1, 1, 10, 10}),
        Make("TP", {1, 1, 11, 11}),
        Make("TOF", {2, 1, 12, 12}),
        Make("TPR", {1, 1, 3, 13, 13}),
        Make("TOFR", {2, 1, 3, 14, 14}),
        Make("TMU", {1, 3, 1, 15, 15}),
        Make("TMD", {1, 4, 1, 16, 16}),
        Make("BLINK", {1, 2, 17}),
        Make("BLINKA", {1, 3, 4, 18}),
        Make("PLS", {1, 2, 19}),
        Make("DTEVERY", {1, 1, 1, 20}),
        Make("SIG_GEN", {1, 2, 2, 21, 3, 22, 4}),
        Make("ISFCSTEP", {5, 23, 5, 24, 25, 26}),
        Make("ISFCINITSTEP", {6, 27, 6, 28, 29, 30}),
        Make("TMUSEC", {1, 3, 7, 31, 8}),
        Make("INTEGRAL", {1, 4, 9, 10, 7, 32, 11}),
        Make("DERIVATE", {1, 12, 8, 13}),
    };
    // {stamp, running seconds, TOF IN, TMD RST and INTEGRAL R1, ISFCSTEP command, DERIVATE XIN}
    struct Step {
        uint32_t now, seconds;
        uint8_t tof_in, rst;
        uint32_t step;
        float x;
    };
    auto run = [&](const Step &s) {
        Stamp(s.now);
        Z7Mem_Put32(Z7VM_Status(db) + ST_SECONDS, s.seconds);
        SetB(2, s.tof_in);
        SetB(4, s.rst);
        SetD(5, s.step);
        SetR(12, s.x);
        for (const Block &b : blocks) b.Run();
    };
    run({1000, 10, 1, 1, 1, 1.0f});
    run({1100, 12, 0, 0, 1, 2.0f});
    Stamp(60000);
    Z7Mem_Put32(Z7VM_Status(db) + ST_SECONDS, 100);
    for (const Block &b : blocks) EXPECT_EQ(b.h(FB_INSTKEEP, db, 0, b.inst, 0), 0u);
    run({60010, 101, 0, 0, 9, 2.0f});
    // {Q, ET} of the timers, totalisers and count-down timer
    EXPECT_EQ(std::vector<uint32_t>(
                  {B(10), T(10), B(11), T(11), B(12), T(12), B(13), T(13), B(14), T(14), B(15), T(15), B(16), T(16)}),
              std::vector<uint32_t>({0, 110, 1, 110, 1, 10, 1, 110, 1, 10, 0, 110, 0, 190}));
    // BLINK, BLINKA, PLS, DTEVERY, SIG_GEN's PULSE, UP and END: no edge yet
    EXPECT_EQ(std::vector<uint32_t>({B(17), B(18), B(19), B(20), B(21), D(3), B(22)}),
              std::vector<uint32_t>({0, 0, 0, 0, 0, 0, 1}));
    // the chart steps: running, T, first cycle, active, last cycle
    EXPECT_EQ(std::vector<uint32_t>({B(23), T(5), B(24), B(25), B(26), B(27), T(6), B(28), B(29), B(30)}),
              std::vector<uint32_t>({1, 110, 0, 1, 0, 1, 110, 0, 1, 0}));
    // TMUSEC: 2 s before the change, 1 s after
    EXPECT_EQ(std::vector<uint32_t>({B(31), D(8)}), std::vector<uint32_t>({0, 3}));
    // INTEGRAL keeps its value (10 ms are not above CYCLE); DERIVATE over
    // the 10 ms after the change: (3 (2 - 1) + 2 - 1) / (10 x 10)
    EXPECT_EQ(B(32), 1);
    EXPECT_EQ(R(11), 10.0f);
    EXPECT_FLOAT_EQ(R(13), 0.04f);
    Stamp(60150);
    blocks[15].Run();
    EXPECT_FLOAT_EQ(R(11), 85.0f) << "150 ms x 0.5 after the change";
    // a DERIVATE that has no sample yet takes its first one after a change
    const Block fresh = Make("DERIVATE", {1, 12, 8, 14});
    SetR(14, 7.0f);
    Stamp(70000);
    fresh.h(FB_INSTKEEP, db, 0, fresh.inst, 0);
    Stamp(70100);
    SetR(12, 5.0f);
    fresh.Run();
    EXPECT_EQ(R(14), 0.0f);
    Stamp(70200);
    SetR(12, 6.0f);
    fresh.Run();
    EXPECT_FLOAT_EQ(R(14), 0.003f) << "(3 (6 - 5) + 5 - 5) / (10 x 100)";
}

TEST_F(IecStd, AveragesInterpolationStacksAndQueues) {
    // AVERAGE: N 4 taken while RUN is FALSE; 1.0/3.0 alternating gives 2.0
    SetB(1, 0);
    SetD(1, 4);
    const Block avg = Make("AVERAGE", {1, 2, 1, 3});
    avg.Run();
    SetB(1, 1);
    for (int k = 0; k < 9; k++) {
        SetR(2, k % 2 ? 3.0f : 1.0f);
        avg.Run();
    }
    EXPECT_EQ(R(3), 2.0f);
    SetB(1, 0);
    SetD(1, 0);
    avg.Run();
    SetB(1, 1);
    avg.Run();
    EXPECT_EQ(R(3), 0.0f);

    // CURVELIN: X axis at D32 20..22, Y at 23..25; operands X, Xarr, n, Yarr, n, Y, OK, ERR
    const float xs[] = {0, 10, 20}, ys[] = {0, 100, 400};
    for (uint32_t i = 0; i < 3; i++) {
        SetR(20 + i, xs[i]);
        SetR(23 + i, ys[i]);
    }
    struct Curve {
        float x;
        uint16_t nx, ny;
        float y;
        uint8_t ok;
        int32_t err;
    };
    for (const Curve &c : std::vector<Curve>{{15, 3, 3, 250.0f, 1, 0},
                                             {0, 3, 3, 0.0f, 1, 0},
                                             {-1, 3, 3, 0.0f, 0, 4},
                                             {25, 3, 3, 400.0f, 0, 5},
                                             {5, 3, 2, 0.0f, 0, 1},
                                             {5, 1, 1, 0.0f, 0, 1},
                                             {5, 3, 200, 0.0f, 0, 1}}) {
        SCOPED_TRACE(c.x);
        SetR(4, c.x);
        SetR(5, -7.0f);
        Make("CURVELIN", {4, 20, c.nx, 23, c.ny, 5, 6, 7}).Run();
        EXPECT_EQ(R(5), c.y);
        EXPECT_EQ(B(6), c.ok);
        EXPECT_EQ(int32_t(D(7)), c.err);
    }
    SetR(22, 10.0f);  // axis (0, 10, 10): ERR 2, Y 0
    SetR(4, 5.0f);
    Make("CURVELIN", {4, 20, 3, 23, 3, 5, 6, 7}).Run();
    EXPECT_EQ(int32_t(D(7)), 2);
    EXPECT_EQ(B(6), 0);
    EXPECT_EQ(R(5), 0.0f);

    // SURFLIN: axes (0, 10) at 30..31 and 32..33, Z (0, 10, 20, 30) at 34..37
    const float zs[] = {0, 10, 20, 30};
    SetR(30, 0);
    SetR(31, 10);
    SetR(32, 0);
    SetR(33, 10);
    for (uint32_t i = 0; i < 4; i++) SetR(34 + i, zs[i]);
    struct Surf {
        float x, y, z;
        int32_t err;
    };
    for (const Surf &s : std::vector<Surf>{{5, 5, 15.0f, 0}, {20, 0, 20.0f, 4}, {0, -5, 0.0f, 5}}) {
        SCOPED_TRACE(s.x);
        SetR(8, s.x);
        SetR(9, s.y);
        Make("SURFLIN", {8, 9, 30, 2, 32, 2, 34, 4, 10, 11, 12}).Run();
        EXPECT_EQ(R(10), s.z);
        EXPECT_EQ(int32_t(D(12)), s.err);
        EXPECT_EQ(B(11), s.err == 0);
    }
    Make("SURFLIN", {8, 9, 30, 2, 32, 2, 34, 3, 10, 11, 12}).Run();
    EXPECT_EQ(int32_t(D(12)), 1) << "Z count unequal to X count x Y count";

    // FIFO INT[3] at D16 10..12: pushes 100, 200, 300, 400, then a POP.
    // operands: type 11, PUSH 50, POP 51, RST 52, NEXTIN W1, NEXTOUT W2,
    // buffer W10 count 3; EMPTY 53, OFLO 54, COUNT D40, read D41, write D42
    const Block fifo = Make("FIFO", {11, 50, 51, 52, 1, 2, 10, 3, 53, 54, 40, 41, 42});
    for (uint16_t v : {100, 200, 300, 400}) {
        SetW(1, v);
        SetB(50, 1);
        fifo.Run();
        SetB(50, 0);
        fifo.Run();
    }
    EXPECT_EQ(D(40), 3u);
    EXPECT_EQ(B(54), 0);
    EXPECT_EQ(W(2), 100);
    EXPECT_EQ(D(41), 0u);
    EXPECT_EQ(D(42), 0u);
    SetB(51, 1);
    fifo.Run();
    EXPECT_EQ(D(40), 2u);
    EXPECT_EQ(W(2), 200);
    EXPECT_EQ(D(41), 1u);
    // a FIFO bound to a buffer that passes the 16-bit segment stays empty
    const Block bad = Make("FIFO", {11, 50, 51, 52, 1, 2, 120, 30, 53, 54, 43, 44, 45});
    SetB(50, 1);
    bad.Run();
    EXPECT_EQ(B(53), 1);
    EXPECT_EQ(D(43), 0u);
    // LIFO: last in, first out
    SetB(50, 0);
    SetB(51, 0);
    const Block lifo = Make("LIFO", {11, 50, 51, 52, 1, 2, 20, 3, 53, 54, 43, 44, 45});
    for (uint16_t v : {7, 8}) {
        SetW(1, v);
        SetB(50, 1);
        lifo.Run();
        SetB(50, 0);
        lifo.Run();
    }
    EXPECT_EQ(W(2), 8);
    SetB(51, 1);
    lifo.Run();
    EXPECT_EQ(W(2), 7);
    EXPECT_EQ(D(43), 1u);
    // a forced NEXTOUT and COUNT keep their values while the queues move
    Lock(2, 0x02);
    Lock(43, 0x04);
    SetW(2, 0x7777);
    SetD(43, 99);
    SetB(51, 0);
    lifo.Run();
    fifo.Run();
    SetB(51, 1);
    lifo.Run();
    fifo.Run();
    EXPECT_EQ(W(2), 0x7777);
    EXPECT_EQ(D(43), 99u);
    EXPECT_EQ(D(40), 1u) << "the FIFO popped";

    // STACKINT of size 2: the third push overflows; POP wins over PUSH
    SetB(60, 0);
    SetB(61, 0);
    SetB(62, 1);
    SetD(60, 2);
    const Block st = Make("STACKINT", {60, 61, 62, 61, 60, 63, 64, 62});
    st.Run();
    SetB(62, 0);
    for (uint32_t v : {11u, 12u, 13u}) {
        SetD(61, v);
        SetB(60, 1);
        st.Run();
        SetB(60, 0);
        st.Run();
    }
    EXPECT_EQ(D(62), 12u);
    EXPECT_EQ(B(64), 1) << "OFLO stays set until the next action";
    SetB(61, 1);
    st.Run();
    EXPECT_EQ(D(62), 11u);

    // rows of {stamp, RUN or RST, X} -> output; operands: B 100.., R 100.., T 100
    struct Rate {
        uint32_t now;
        uint8_t flag;
        float x, out;
    };
    // INTEGRAL (RUN B100, R1 B101, XIN R100, X0 R101, CYCLE T100; Q B102, XOUT R102): XIN 0.5, X0 10, CYCLE 100
    SetR(100, 0.5f);
    SetR(101, 10.0f);
    SetT(100, 100);
    const Block integral = Make("INTEGRAL", {100, 101, 100, 101, 100, 102, 102});
    for (const auto &[now, run, r1, q, out] :
         std::vector<std::tuple<uint32_t, uint8_t, uint8_t, uint8_t, float>>{{1000, 1, 1, 0, 10.0f},
                                                                             {1100, 1, 0, 1, 10.0f},
                                                                             {1150, 1, 0, 1, 85.0f},
                                                                             {1200, 0, 0, 1, 85.0f},
                                                                             {1500, 1, 0, 1, 235.0f}}) {
        SCOPED_TRACE(now);
        Stamp(now);
        SetB(100, run);
        SetB(101, r1);
        integral.Run();
        EXPECT_EQ(B(102), q);
        EXPECT_FLOAT_EQ(R(102), out);
    }
    // DERIVATE (RUN B103, XIN R103, CYCLE T101; XOUT R104), CYCLE 0 then 150:
    // (3 (x - x3) + x1 - x2) / (10 d)
    SetT(101, 0);
    const Block deriv = Make("DERIVATE", {103, 103, 101, 104});
    for (const Rate &r : std::vector<Rate>{{1000, 1, 1, 0.0f},
                                           {1100, 1, 2, 0.003f},
                                           {1200, 1, 4, 0.01f},
                                           {1300, 1, 4, 0.011f},
                                           {1300, 1, 7, 0.011f},
                                           {1400, 0, 10, 0.011f}}) {
        SCOPED_TRACE(r.now);
        Stamp(r.now);
        SetB(103, r.flag);
        SetR(103, r.x);
        deriv.Run();
        EXPECT_FLOAT_EQ(R(104), r.out);
    }
    SetT(101, 150);
    SetB(103, 1);
    Stamp(1440);  // 140 ms since the last sample: not above CYCLE
    deriv.Run();
    EXPECT_FLOAT_EQ(R(104), 0.011f);
    Stamp(1500);
    deriv.Run();
    EXPECT_FLOAT_EQ(R(104), 0.012f);
    // RAMP (X R105, rise R106, fall R107, base T102, RST B104; OUT R108): 10 up and 20 down per 1000 ms;
    // the rates are taken only at a reset
    SetR(106, 10.0f);
    SetR(107, 20.0f);
    SetT(102, 1000);
    const Block ramp = Make("RAMP", {105, 106, 107, 102, 104, 108});
    for (const Rate &r : std::vector<Rate>{{1000, 0, 0, 0.0f},
                                           {1100, 0, 5, 1.0f},
                                           {1300, 0, 5, 3.0f},
                                           {1700, 0, 5, 5.0f},
                                           {1800, 0, 0, 3.0f},
                                           {1900, 0, 10, 4.0f},
                                           {2000, 1, 2, 2.0f},
                                           {2100, 0, 10, 10.0f}}) {
        SCOPED_TRACE(r.now);
        if (r.now == 1900) SetR(106, 100.0f);
        Stamp(r.now);
        SetB(104, r.flag);
        SetR(105, r.x);
        ramp.Run();
        EXPECT_FLOAT_EQ(R(108), r.out);
    }

    // FIFO INT[3] at W30..32 (NEXTIN W34, NEXTOUT W35; PUSH B80, POP B81,
    // RST B82; EMPTY B83, OFLO B84, COUNT D80, read D81, write D82): the
    // fourth push overflows for its own execution only
    const Block q = Make("FIFO", {11, 80, 81, 82, 34, 35, 30, 3, 83, 84, 80, 81, 82});
    for (uint16_t v : {1, 2, 3, 4}) {
        SetW(34, v);
        SetB(80, 1);
        q.Run();
        EXPECT_EQ(B(84), v == 4 ? 1 : 0) << v;
        SetB(80, 0);
        q.Run();
        EXPECT_EQ(B(84), 0) << v;
    }
    EXPECT_EQ(D(80), 3u);
    EXPECT_EQ(W(35), 1);
    EXPECT_EQ(D(82), 0u);
    // the same instance handed another buffer (W36..38) reports empty and
    // does nothing else; back on its own buffer the queue is whole
    Block other = Make("FIFO", {11, 80, 81, 82, 34, 35, 36, 3, 83, 84, 80, 81, 82});
    other.inst = q.inst;
    SetB(81, 1);
    other.Run();
    EXPECT_EQ(B(83), 1);
    EXPECT_EQ(D(80), 0u);
    EXPECT_EQ(D(81), 0u);
    EXPECT_EQ(D(82), 0u);
    SetB(81, 0);
    q.Run();
    EXPECT_EQ(B(83), 0);
    EXPECT_EQ(D(80), 3u);
    EXPECT_EQ(W(35), 1);
}

TEST_F(IecStd, BitFunctionsMasksShiftsBcdPackingAndAnyTypes) {
    // {slot, section of the result and arguments, a, b, expected}
    enum Sec { S8, S16, S32, S64 };
    struct Row {
        uint16_t fn;
        Sec sec;
        uint64_t a, b, want;
    };
    const Row rows[] = {
        {34, S32, 0xFFFFFFF8, 1, 0xFFFFFFFC},   // SHR(-8, 1)
        {33, S32, 0x40000001, 33, 0x80000002},  // SHL
        {30, S32, 0x80000001, 4, 0x18},         // ROL
        {31, S32, 1, 0xFFFFFFFF, 2},            // ROR(1, -1)
        {85, S8, 0x81, 9, 0x03},                // ROLB
        {88, S8, 0x80, 3, 0xF0},                // SHRB
        {84, S16, 0x8000, 1, 0xC000},           // SHRW
        {82, S16, 1, 17, 0x8000},               // RORW
        {98, S16, 0xFF00, 0x0FF0, 0xF0F0},      // XORWORD
        {103, S8, 0x5A, 0, 0xA5},               // NOTBYTE
        {20, S32, 0xF0F0F0F0, 0x3C3C3C3C, 0x30303030},
        {28, S32, 0xF0F0F0F0, 0x3C3C3C3C, 0xFCFCFCFC},  // ORMASK
        {35, S32, 0xF0F0F0F0, 0x3C3C3C3C, 0xCCCCCCCC},  // XORMASK
        {27, S32, 0x0F0F0000, 0, 0xF0F0FFFF},           // NOTMASK
        {78, S32, 1234, 0, 0x1234},
        {78, S32, 0xFFFFFFFB, 0, 0},
        {79, S32, 0x99999, 0, 99999},
        {79, S32, 0x1A, 0, 0},
        {78, S32, 123456789, 0, 0x23456789},  // the ninth digit is lost
        {79, S32, 0x12345678, 0, 12345678},   //
        {79, S32, 0x7FFFFFFF, 0, 0},          // a nibble of 15
        {208, S64, 0x8000000000000001ull, 65, 2},
        {213, S64, 0, 0, ~0ull},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.fn);
        auto set = [&](uint32_t i, uint64_t v) {
            switch (r.sec) {
            case S8: SetB(i, uint8_t(v)); break;
            case S16: SetW(i, uint16_t(v)); break;
            case S32: SetD(i, uint32_t(v)); break;
            case S64: SetL(i, v); break;
            }
        };
        set(1, r.a);
        set(2, r.b);
        const bool unary = r.fn == 103 || r.fn == 78 || r.fn == 79 || r.fn == 213 || r.fn == 27;
        ASSERT_EQ(Stf(r.fn, unary ? std::vector<uint16_t>{3, 1} : std::vector<uint16_t>{3, 1, 2}), 1u);
        const uint64_t got = r.sec == S8 ? B(3) : r.sec == S16 ? W(3) : r.sec == S32 ? D(3) : L(3);
        EXPECT_EQ(got, r.want);
    }
    // the logical-shift option shifts zeros in
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS) | 0x200);
    SetD(1, 0xFFFFFFF8);
    SetD(2, 1);
    Stf(34, {3, 1, 2});
    EXPECT_EQ(D(3), 2147483644u);
    // a forced 32-bit result keeps its value; a 16-bit lock bit does not force it
    Lock(3, 0x02);
    Stf(35, {3, 1, 2});
    EXPECT_EQ(D(3), 0xFFFFFFF9u);
    Lock(3, 0x04);
    for (uint16_t fn : {20, 27, 28, 30, 31, 33, 34, 35}) {
        SetD(3, 0x55);
        Stf(fn, {3, 1, 2});
        EXPECT_EQ(D(3), 0x55u) << fn;
    }

    // packing
    SetW(1, 0x1234);
    Stf(162, {4, 1});
    Stf(163, {5, 1});
    EXPECT_EQ(B(4), 0x34);
    EXPECT_EQ(B(5), 0x12);
    SetB(6, 0x12);
    SetB(7, 0x34);
    Stf(166, {8, 6, 7});
    EXPECT_EQ(W(8), 0x1234);
    SetD(9, 0x12345678);
    Stf(165, {9, 9});
    EXPECT_EQ(W(9), 0x1234);
    SetW(10, 0xABCD);
    SetW(11, 1);
    Stf(167, {10, 10, 11});
    EXPECT_EQ(D(10), 0xABCD0001u);
    const uint8_t bits[] = {1, 0, 1, 0, 0, 0, 0, 1};
    for (uint32_t i = 0; i < 8; i++) SetB(20 + i, bits[i]);
    Stf(168, {28, 20, 21, 22, 23, 24, 25, 26, 27});
    EXPECT_EQ(B(28), 0x85);

    // TESTBIT / SETBIT / SWAB with the type code literal
    SetW(30, 0x8000);
    Stf(170, {40, 11, 30, 41});
    SetD(41, 15);
    Stf(170, {40, 11, 30, 41});
    EXPECT_EQ(B(40), 1);
    SetB(31, 0xFF);
    SetD(41, 8);
    Stf(170, {42, 14, 31, 41});
    EXPECT_EQ(B(42), 0);
    SetD(31, 0xFFFFFFFF);
    SetD(41, 1);
    Stf(170, {43, 3, 31, 41});
    EXPECT_EQ(B(43), 0) << "TESTBIT on a REAL";
    SetD(32, 0);
    SetD(41, 31);
    SetB(44, 1);
    Stf(169, {33, 2, 32, 41, 44});
    EXPECT_EQ(D(33), 0x80000000u);
    SetW(32, 0xFFFF);
    SetD(41, 3);
    SetB(44, 0);
    Stf(169, {33, 15, 32, 41, 44});
    EXPECT_EQ(W(33), 0xFFF7);
    Lock(34, 0x02);
    SetW(34, 0x1111);
    Stf(169, {34, 15, 32, 41, 44});
    EXPECT_EQ(W(34), 0x1111) << "SETBIT keeps a forced result";
    // SETBIT of a STRING copies it unchanged; type code 0 writes nothing
    SetS(1, "BITS");
    SetS(2, "OLD");
    Stf(169, {2, 5, 1, 41, 44});
    EXPECT_EQ(S(2), "BITS");
    SetS(2, "OLD");
    Stf(169, {2, 0, 1, 41, 44});
    EXPECT_EQ(S(2), "OLD");
    SetW(35, 0x1234);
    Stf(219, {36, 11, 35});
    EXPECT_EQ(W(36), 0x3412);
    SetD(35, 0x12345678);
    Stf(219, {36, 2, 35});
    EXPECT_EQ(D(36), 0x78563412u);
    Lock(37, 0x10);
    SetT(37, 5);
    SetT(38, 9);
    Stf(219, {37, 4, 38});
    EXPECT_EQ(T(37), 5u) << "SWAB of a forced TIME";

    // MOVEBLOCK INT [1,2,3,4,5] from 0 to 1, count 3 (overlapping); count 0
    // and a 2-element destination are refused
    for (uint16_t i = 0; i < 5; i++) SetW(50 + i, uint16_t(i + 1));
    SetD(50, 0);
    SetD(51, 1);
    SetD(52, 3);
    EXPECT_EQ(Stf(95, {60, 11, 50, 5, 50, 5, 50, 51, 52}), 1u);
    EXPECT_EQ(B(60), 1);
    EXPECT_EQ(std::vector<int>({W(50), W(51), W(52), W(53), W(54)}), std::vector<int>({1, 1, 2, 3, 5}));
    SetD(52, 0);
    Stf(95, {60, 11, 50, 5, 50, 5, 50, 51, 52});
    EXPECT_EQ(B(60), 0);
    SetD(52, 2);
    Stf(95, {60, 11, 50, 5, 56, 2, 50, 51, 52});
    EXPECT_EQ(B(60), 0);
    Stf(95, {60, 11, 50, 5, 126, 4, 50, 50, 52});
    EXPECT_EQ(B(60), 0) << "a destination past the segment";
    // INT [1,2,3,4,5] from 1 to 0, count 4: the block moves down one place;
    // a negative position, type 0, STRING and 18 are refused
    for (uint16_t i = 0; i < 5; i++) SetW(50 + i, uint16_t(i + 1));
    SetD(50, 1);
    SetD(51, 0);
    SetD(52, 4);
    Stf(95, {60, 11, 50, 5, 50, 5, 50, 51, 52});
    EXPECT_EQ(B(60), 1);
    EXPECT_EQ(std::vector<int>({W(50), W(51), W(52), W(53), W(54)}), std::vector<int>({2, 3, 4, 5, 5}));
    SetD(50, uint32_t(-1));
    Stf(95, {60, 11, 50, 5, 50, 5, 50, 51, 52});
    EXPECT_EQ(B(60), 0);
    SetD(50, 1);
    for (uint16_t type : {0, 5, 18}) {
        SetB(60, 7);
        Stf(95, {60, type, 1, 2, 3, 2, 50, 51, 52});
        EXPECT_EQ(B(60), 0) << type;
    }
    // TIME [100..103] elements 1 and 2 to 2 and 3 of another array
    for (uint32_t i = 0; i < 4; i++) SetT(70 + i, 100 + i);
    SetD(51, 2);
    SetD(52, 2);
    Stf(95, {60, 4, 70, 4, 80, 4, 50, 51, 52});
    EXPECT_EQ(B(60), 1);
    EXPECT_EQ(std::vector<uint32_t>({T(80), T(81), T(82), T(83)}), std::vector<uint32_t>({0, 0, 101, 102}));

    // SWAB copies REAL, USINT and ULINT unchanged; SETBIT leaves REAL, TIME
    // and LINT, and a bit past the width or below 0, as they are
    SetD(1, 0x12345678);
    Stf(219, {2, 3, 1});
    EXPECT_EQ(D(2), 0x12345678u);
    SetB(1, 0x12);
    Stf(219, {2, 14, 1});
    EXPECT_EQ(B(2), 0x12);
    SetL(1, 0x1122334455667788ull);
    Stf(219, {2, 17, 1});
    EXPECT_EQ(L(2), 0x1122334455667788ull);
    SetD(41, 1);
    SetB(44, 1);
    SetD(1, 0x40000000);
    Stf(169, {2, 3, 1, 41, 44});
    EXPECT_EQ(D(2), 0x40000000u);
    SetT(1, 5);
    Stf(169, {2, 4, 1, 41, 44});
    EXPECT_EQ(T(2), 5u);
    SetL(1, 5);
    Stf(169, {2, 12, 1, 41, 44});
    EXPECT_EQ(L(2), 5u);
    SetW(1, 1);
    for (int32_t bit : {16, -1}) {
        SetD(41, uint32_t(bit));
        SetW(2, 0);
        Stf(169, {2, 11, 1, 41, 44});
        EXPECT_EQ(W(2), 1) << bit;
    }
}

TEST_F(IecStd, DateSystemAndTraceFunctions) {
    // DTHOUR(90000000) 25; 3723456 ms: 2 min, 3 s, 456 ms; 16#07EA0C07
    SetD(1, 90000000);
    Stf(125, {2, 1});
    EXPECT_EQ(D(2), 25u);
    SetD(1, 3723456);
    Stf(124, {2, 1});
    Stf(123, {3, 1});
    Stf(126, {4, 1});
    EXPECT_EQ(std::vector<uint32_t>({D(2), D(3), D(4)}), std::vector<uint32_t>({2, 3, 456}));
    SetD(1, 0x07EA0C07);
    Stf(120, {2, 1});
    Stf(121, {3, 1});
    Stf(122, {4, 1});
    EXPECT_EQ(std::vector<uint32_t>({D(2), D(3), D(4)}), std::vector<uint32_t>({7, 12, 2026}));
    // DTCURDATE, DTCURTIME, DAY_TIME(0/1/2) against the runtime clock fixed
    // at Sunday 2024-03-10 14:05:09.007 (local time UTC)
    {
        test_support::FixedIecClock fixed;
        Stf(119, {5});
        Stf(118, {7});
        for (uint32_t kind : {0u, 1u, 2u}) {
            SetD(6, kind);
            Stf(63, {uint16_t(1 + kind), 6});
        }
        SetS(4, "%Y-%m-%d %H:%M:%S");
        Stf(171, {5, 4});
    }
    EXPECT_EQ(S(5), "2024-03-10 14:05:09");
    EXPECT_EQ(S(1), "2024/03/10");
    EXPECT_EQ(S(2), "14:05:09");
    EXPECT_EQ(S(3), "Sunday");
    EXPECT_EQ(D(5), 0x07E8030Au);
    EXPECT_EQ(D(7), 50709007u);  // (14 h 5 min 9 s) in ms, and 7 ms

    // GETSYSINFO(8) grows with the cycles; (13) 0 while running; (21) 0
    SetD(10, 8);
    Stf(113, {11, 10});
    const uint32_t cycles = D(11);
    Z7Def_Cycle(db, 5000, nullptr);
    Stf(113, {11, 10});
    EXPECT_EQ(D(11), cycles + 1);
    SetD(10, 13);
    Stf(113, {11, 10});
    EXPECT_EQ(D(11), 0u);
    SetD(10, 21);
    SetD(11, 9);
    Stf(113, {11, 10});
    EXPECT_EQ(D(11), 0u);

    // SETCSVOPT(',', ',') TRUE; (';;', '.') FALSE
    SetS(1, ",");
    SetS(2, ",");
    Stf(198, {1, 1, 2});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Z7Mem_Get8(Z7VM_Status(db) + ST_SEP1), ',');
    SetS(1, ";;");
    SetS(2, ".");
    Stf(198, {1, 1, 2});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(Z7Mem_Get8(Z7VM_Status(db) + ST_SEP2), ',');
    // ENABLEEVENTS(TRUE) TRUE, flag cleared; FATALSTOP(FALSE) FALSE
    SetB(2, 1);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_NOEVENTS));
    Stf(156, {3, 2});
    EXPECT_EQ(B(3), 1);
    EXPECT_EQ(Z7St_Flags(db) & Z7F_NOEVENTS, 0);
    SetB(2, 0);
    Stf(156, {3, 2});
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(Z7St_Flags(db) & Z7F_NOEVENTS, Z7F_NOEVENTS);
    SetB(2, 0);
    SetB(3, 1);
    EXPECT_EQ(Stf(135, {3, 2}), 1u);
    EXPECT_EQ(B(3), 0);
    // PRINTF: integers only; %s and %n print as text
    SetS(3, "b3 trace %d %d");
    SetD(20, 7);
    SetD(21, uint32_t(-2));
    testing::internal::CaptureStdout();
    Stf(80, {4, 3, 20, 21, 22, 22});
    SetS(3, "x%s%n%5.2f%x");
    SetD(20, 255);
    Stf(80, {4, 3, 20, 20, 20, 20});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "b3 trace 7 -2\nx%s%n%5.2fff\n");
    EXPECT_EQ(B(4), 0);
    // a width or precision far past the 63 characters a conversion shows:
    // the same characters, without formatting the billions cut off (what
    // the call costs the scan is measured in the standard-library bench)
    SetS(3, "[%.2000000000d|%-99999.5x|%99.20000000d]");
    SetD(20, 7);
    SetD(21, 255);
    SetD(22, 3);
    testing::internal::CaptureStdout();
    Stf(80, {4, 3, 20, 21, 22, 22});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[" + std::string(63, '0') + "|000ff" + std::string(58, ' ') + "|" + std::string(63, '0') + "]\n");
    // just past the cut: the padding keeps its length (90 - 81 = 9 places);
    // a precision the library cannot take shows nothing, as it always did
    SetS(3, "[%90.81d|%-.81x|%.2147483648d]");
    testing::internal::CaptureStdout();
    Stf(80, {4, 3, 20, 21, 22, 22});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[" + std::string(9, ' ') + std::string(54, '0') + "|" + std::string(63, '0') + "|]\n");
    // LOGMESSAGE pushes {code, arg, value}
    SetD(30, 0x10063);
    SetD(31, 4);
    SetD(32, 99);
    Stf(94, {5, 30, 31, 32});
    uint16_t code = 0, arg = 0;
    uint32_t value = 0;
    ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 1u);
    EXPECT_EQ(std::vector<uint32_t>({code, arg, value}), std::vector<uint32_t>({0x63, 4, 99}));
    // FATALSTOP(TRUE): stop without a log entry; MBSLAVEIDENT stores the identification
    SetB(2, 1);
    EXPECT_EQ(Stf(135, {3, 2}), 0u);
    EXPECT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 0u);
    SetB(6, 1);
    SetB(6, 0);
    EXPECT_EQ(Stf(218, {6, 1, 2, 3, 40, 2}), 1u);
    EXPECT_EQ(B(6), 1);
    Z7MBSrv_SetDevIdent("", "", "", nullptr, 0);
    // ARRAYTOSTRING of USINT [65, 66, 67] (n 5: the declared 3), STRINGTOARRAY 'XY'
    SetB(100, 65);
    SetB(101, 66);
    SetB(102, 67);
    SetD(40, 5);
    Stf(138, {5, 100, 3, 40});
    EXPECT_EQ(Z7VMStr_GetLength(db, 5), 3u);
    EXPECT_EQ(S(5).substr(0, 3), "ABC");
    // n 0 or negative copies no element: the text becomes empty
    for (int32_t n : {0, -1}) {
        SetS(5, "OLD");
        SetD(40, uint32_t(n));
        Stf(138, {5, 100, 3, 40});
        EXPECT_EQ(Z7VMStr_GetLength(db, 5), 0u) << n;
    }
    SetS(5, "XY");
    Stf(137, {41, 5, 104, 4});
    EXPECT_EQ(D(41), 2u);
    EXPECT_EQ(std::vector<int>({B(104), B(105)}), std::vector<int>({'X', 'Y'}));
    Stf(137, {41, 5, 126, 4});
    EXPECT_EQ(D(41), 0u) << "an array past the segment";
    // GETVARBYNAME of a symbol the application does not have
    SetS(5, "NOSUCH");
    SetD(42, 7);
    Stf(143, {42, 5});
    EXPECT_EQ(D(42), 0u);
    // F_SAVERETAIN with a relative name writes under the root; ".." is refused
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    SetS(5, "mnt/cfg/rel.ret");
    SetB(43, 0);
    Stf(216, {43, 5});
    struct stat st {};
    EXPECT_EQ(B(43), 1);
    EXPECT_EQ(stat((root / "mnt/cfg/rel.ret").c_str(), &st), 0) << "written under the root";
    EXPECT_NE(stat("mnt/cfg/rel.ret", &st), 0) << "not in the working folder";
    SetS(5, "/mnt/cfg/../rel.ret");
    Stf(216, {43, 5});
    EXPECT_EQ(B(43), 0);
    // EXPT with a huge count answers at once (no loop of 2^31 steps)
    SetR(44, 1.0000001f);
    SetD(45, 2147483647);
    Stf(6, {46, 44, 45});
    const uint32_t bits = D(46);
    float big;
    std::memcpy(&big, &bits, 4);
    EXPECT_TRUE(std::isinf(big) && big > 0);
    // long counts keep the loop's rules: the multiplication stops at the
    // first |r| >= 1e307 (its sign decides), the division at the first
    // |r| <= 1e-307, a NaN base stays NaN (values from a plain loop in python)
    struct ExptRow {
        float base;
        int32_t n;
        uint32_t bits;
    };
    const ExptRow expt[] = {
        {-2.0f, 5001, 0x7F800000},        // stops at step 1020: +1e307
        {-2.0f, 5002, 0x7F800000},        //
        {-2.0f, -5001, 0x00000000},       // stops at step 1020: +1e-307
        {-1.01f, 100001, 0xFF800000},     // stops at step 71043: -1e307
        {-1.01f, 100002, 0xFF800000},     //
        {-1.01f, -100001, 0x80000000},    // -1e-307
        {-1.01f, -5001, 0x9B93FA9B},      // no stop
        {1.0001f, 5000, 0x3FD30C6E},      // no stop
        {-1.0001f, 5001, 0xBFD311D5},     //
        {-0.99f, -100001, 0xFF800000},    // grows past the double range
        {-1.0f, 2147483647, 0xBF800000},  //
        {0.0f, 2147483647, 0x00000000},   //
        // -0.0 flips the sign of the zero at every step: -0, +0, -0 ...
        {-0.0f, 2, 0x00000000},           //
        {-0.0f, 3, 0x80000000},           //
        {-0.0f, 2147483646, 0x00000000},  //
        {-0.0f, 2147483647, 0x80000000},  //
    };
    for (const ExptRow &r : expt) {
        SetR(44, r.base);
        SetD(45, uint32_t(r.n));
        Stf(6, {46, 44, 45});
        EXPECT_EQ(D(46), r.bits) << r.base << " " << r.n;
    }
    SetR(44, std::nanf(""));
    SetD(45, 5001);
    Stf(6, {46, 44, 45});
    float nan_result;
    const uint32_t nan_bits = D(46);
    std::memcpy(&nan_result, &nan_bits, 4);
    EXPECT_TRUE(std::isnan(nan_result)) << std::hex << nan_bits;
    // an operand outside its section: log 17
    EXPECT_EQ(Stf(20, {3, 1, 500}), 0u);
    ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 1u);
    EXPECT_EQ(code, 17);
    EXPECT_EQ(arg, 20);
    // every empty slot of the table, REGPARGET (194), REGPARPUT (195) and the
    // numbers past the table: 0 and log 17 with the function number
    for (uint16_t fn : std::initializer_list<uint16_t>{0,  37, 38, 39, 50, 51, 52, 53,  54,  55,  56,  57,  58,
                                                       59, 64, 65, 66, 67, 68, 69, 221, 194, 195, 222, 300, 65535}) {
        SetD(1, 7);
        EXPECT_EQ(Stf(fn, {1, 2, 3}), 0u) << fn;
        EXPECT_EQ(D(1), 7u) << fn;
        ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 1u) << fn;
        EXPECT_EQ(std::vector<uint32_t>({code, arg, value}), std::vector<uint32_t>({17, fn, 0})) << fn;
        EXPECT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 0u) << fn;
    }
}

// ABS, TRUNC, MODR and SCALELIN on REAL, and their LREAL twins: the sign of
// zero and of NaN, the direction of truncation, the divisor rule and the
// operand order (bit patterns worked out by hand).
TEST_F(IecStd, RealFunctionsKeepTheirEdgeRules) {
    struct R32 {
        uint16_t fn;
        std::vector<uint32_t> in;  // REAL bit patterns of the operands after the result
        uint32_t out;
        const char *what;
    };
    const R32 rows[] = {
        {1, {0x80000000}, 0x80000000, "ABS(-0.0) keeps its sign"},
        {1, {0xC0200000}, 0x40200000, "ABS(-2.5)"},
        {1, {0xFFC00000}, 0xFFC00000, "ABS of a negative NaN: no compare below 0"},
        {1, {0x7F800001}, 0x7F800001, "ABS of a signalling NaN keeps every bit"},
        {1, {0xFF800001}, 0xFF800001, "ABS of a negative signalling NaN keeps every bit"},
        {11, {0xC0200000}, 0xC0000000, "TRUNC(-2.5) = -2.0"},
        {11, {0x402CCCCD}, 0x40000000, "TRUNC(2.7) = 2.0"},
        {11, {0xBF000000}, 0x80000000, "TRUNC(-0.5) = -0.0"},
        {132, {0x40B00000, 0x40000000}, 0x3FC00000, "MODR(5.5, 2) = 1.5"},
        {132, {0xC0B00000, 0x40000000}, 0xBFC00000, "MODR(-5.5, 2) = -1.5"},
        {132, {0x40B00000, 0x00000000}, 0xBF800000, "MODR(5.5, 0) = -1.0"},
        {132, {0x40B00000, 0xC0000000}, 0xBF800000, "MODR(5.5, -2) = -1.0"},
        // SCALELIN(x, imin, imax, omin, omax)
        {157, {0x40000000, 0x00000000, 0x41200000, 0x42C80000, 0x43480000}, 0x42F00000, "2 in 0..10 to 100..200"},
        {157, {0xBF800000, 0x00000000, 0x41200000, 0x42C80000, 0x43480000}, 0x42C80000, "below imin: omin"},
        {157, {0x41300000, 0x00000000, 0x41200000, 0x42C80000, 0x43480000}, 0x43480000, "above imax: omax"},
        {157, {0x40000000, 0x41200000, 0x00000000, 0x42C80000, 0x43480000}, 0x40000000, "imin >= imax: x"},
        {157, {0x7F800001, 0x41200000, 0x00000000, 0x42C80000, 0x43480000}, 0x7F800001, "imin >= imax: x's bits"},
        {157, {0xBF800000, 0x00000000, 0x41200000, 0x7FA00000, 0x43480000}, 0x7FA00000, "below imin: omin's bits"},
        // the domain rules of the other REAL functions
        {9, {0xC0800000}, 0x00000000, "SQRT(-4.0) = 0"},
        {9, {0x00000000}, 0x00000000, "SQRT(0.0) = 0"},
        {7, {0x00000000}, 0xFCF0BDC2, "LOG(0.0) = -1.0e37"},
        {200, {0xBF800000}, 0xFCF0BDC2, "LN(-1.0) = -1.0e37"},
        {12, {0x00000000, 0x00000000}, 0x00000000, "POW(0, 0) = 0"},
        {12, {0x40000000, 0x40400000}, 0x41000000, "POW(2, 3) = 8"},
        {6, {0x40000000, 0xFFFFFFFE}, 0x3E800000, "EXPT(2.0, -2) = 0.25"},
        {6, {0x00000000, 0x00000000}, 0x3F800000, "EXPT(0.0, 0) = 1.0"},
        {6, {0x00000000, 0xFFFFFFFF}, 0x7F800000, "EXPT(0.0, -1): 1.0e307 as a REAL"},
        // DINT selection and arithmetic (bit patterns of DINTs)
        {22, {0xFFFFFFFB, 3}, 3, "MAX(-5, 3) by signed compare"},
        {23, {0xFFFFFFFB, 3}, 0xFFFFFFFB, "MIN(-5, 3)"},
        {21, {10, 5, 0}, 10, "LIMIT(10, 5, 0): the lower bound wins"},
        {21, {0, 5, 10}, 5, "LIMIT(0, 5, 10)"},
        {21, {0, 15, 10}, 10, "LIMIT(0, 15, 10)"},
        {24, {0xFFFFFFF9, 3}, 0xFFFFFFFF, "MOD(-7, 3) = -1"},
        {24, {7, 3}, 1, "MOD(7, 3) = 1"},
        {24, {7, 0}, 0xFFFFFFFF, "MOD(7, 0) = -1"},
        {24, {7, 0xFFFFFFFD}, 0xFFFFFFFF, "MOD(7, -3) = -1"},
        {25, {2, 10, 11, 12, 13}, 12, "MUX4 input 2"},
        {25, {4, 10, 11, 12, 13}, 0, "MUX4 selector 4"},
        {25, {0xFFFFFFFF, 10, 11, 12, 13}, 0, "MUX4 selector -1"},
        {26, {7, 1, 2, 3, 4, 5, 6, 7, 8}, 8, "MUX8 input 7"},
        {26, {8, 1, 2, 3, 4, 5, 6, 7, 8}, 0, "MUX8 selector 8"},
        {29, {0}, 0, "RAND(0) = 0"},
        {29, {0xFFFFFFFF}, 0, "RAND(-1) = 0"},
        {29, {1}, 0, "RAND(1): a remainder of 1 is 0"},
    };
    for (const R32 &r : rows) {
        std::vector<uint16_t> ops{1};
        for (size_t k = 0; k < r.in.size(); k++) {
            SetD(2 + uint32_t(k), r.in[k]);
            ops.push_back(uint16_t(2 + k));
        }
        SetD(1, 0x12345678);
        Stf(r.fn, ops);
        EXPECT_EQ(D(1), r.out) << r.what;
    }
    struct R64 {
        uint16_t fn;
        std::vector<uint64_t> in;
        uint64_t out;
        const char *what;
    };
    const R64 lrows[] = {
        {116, {0x8000000000000000}, 0x8000000000000000, "ABSL(-0.0)"},
        {116, {0xC004000000000000}, 0x4004000000000000, "ABSL(-2.5)"},
        {116, {0x7FF0000000000001}, 0x7FF0000000000001, "ABSL of a signalling NaN keeps every bit"},
        {116, {0xFFF0000000000001}, 0xFFF0000000000001, "ABSL of a negative signalling NaN keeps every bit"},
        {204, {0x0000000000000000}, 0xFFAC7B1F3CAC7433, "LOGL(0.0) = -1.0e307"},
        {115, {0xBFF0000000000000}, 0x0000000000000000, "SQRTL(-1.0) = 0"},
        {117, {0xC004000000000000}, 0xC000000000000000, "TRUNCL(-2.5) = -2.0"},
        {133, {0x4016000000000000, 0x4000000000000000}, 0x3FF8000000000000, "MODLR(5.5, 2) = 1.5"},
        {133, {0x4016000000000000, 0xC000000000000000}, 0xBFF0000000000000, "MODLR(5.5, -2) = -1.0"},
    };
    for (const R64 &r : lrows) {
        std::vector<uint16_t> ops{1};
        for (size_t k = 0; k < r.in.size(); k++) {
            SetL(2 + uint32_t(k), r.in[k]);
            ops.push_back(uint16_t(2 + k));
        }
        SetL(1, 0x1234567812345678);
        Stf(r.fn, ops);
        EXPECT_EQ(L(1), r.out) << r.what;
    }
    // degrees mode through USEDEGREES(TRUE), which answers the mode before;
    // the arc functions multiplied by the float 180/pi on REAL (atanf(1.0) =
    // 0x3F490FDB times 57.295780181884766 = 45.0000018 rounds to 45.0), by
    // 180/pi on LREAL; the out-of-range 0 and the origin's 0 stay 0
    SetB(2, 1);
    SetB(3, 9);
    ASSERT_EQ(Stf(91, {3, 2}), 1u);
    EXPECT_EQ(B(3), 0);
    EXPECT_NE(Z7St_Flags(db) & Z7F_DEGREES, 0);
    const R32 deg[] = {
        {4, {0x3F800000}, 0x42340000, "ATAN(1.0) = 45 degrees"},
        {2, {0xBF800000}, 0x43340000, "ACOS(-1.0) = 180 degrees"},
        {3, {0x40000000}, 0x00000000, "ASIN(2.0) = 0 in degrees too"},
        {92, {0x00000000, 0x00000000}, 0x00000000, "ATAN2(0, 0) = 0"},
        // the angle divided by the float 57.29578 first: 90 -> 1.5707963f
        {8, {0x42B40000}, 0x3F800000, "SIN(90.0) = 1.0 in degrees"},
        {5, {0x43340000}, 0xBF800000, "COS(180.0) = -1.0 in degrees"},
    };
    for (const R32 &r : deg) {
        std::vector<uint16_t> ops{1};
        for (size_t k = 0; k < r.in.size(); k++) {
            SetD(2 + uint32_t(k), r.in[k]);
            ops.push_back(uint16_t(2 + k));
        }
        SetD(1, 0x12345678);
        Stf(r.fn, ops);
        EXPECT_EQ(D(1), r.out) << r.what;
    }
    SetL(2, 0xBFF0000000000000);
    Stf(109, {1, 2});
    EXPECT_EQ(L(1), 0x4066800000000000u) << "ACOSL(-1.0) = 180 degrees";
    SetL(2, 0x3FF0000000000000);
    SetL(3, 0xBFF0000000000000);
    Stf(112, {1, 2, 3});
    EXPECT_EQ(L(1), 0x4060E00000000000u) << "ATAN2L(1.0, -1.0) = 135 degrees";
    SetB(2, 0);
    Stf(91, {3, 2});
    EXPECT_EQ(B(3), 1) << "USEDEGREES(FALSE) answers the mode before";
    EXPECT_EQ(Z7St_Flags(db) & Z7F_DEGREES, 0);
    // a forced result keeps its value; the mode still changes and the call
    // answers 1
    Lock(3, 0x01);  // the 8-bit slot of index 3
    SetB(2, 1);
    SetB(3, 9);
    EXPECT_EQ(Stf(91, {3, 2}), 1u);
    EXPECT_EQ(B(3), 9);
    EXPECT_NE(Z7St_Flags(db) & Z7F_DEGREES, 0);
}

// The 64-bit rotations and shifts (count & 63; SHR64 arithmetic unless the
// logical-shift option 0x200 is set), COUNTOF's literal, CYCLESTOP, and
// every GETSYSINFO code on status fields set by hand.
TEST_F(IecStd, SixtyFourBitShiftsCountOfCycleStopAndSystemInformation) {
    struct S64 {
        uint16_t fn;
        uint64_t a, n, want;
    };
    const S64 rows[] = {
        {206, 0x8000000000000001ull, 1, 0x0000000000000003ull},      // ROL64
        {206, 0x0000000000000001ull, ~0ull, 0x8000000000000000ull},  // ROL64 by -1: 63 steps
        {207, 0x8000000000000001ull, 1, 0xC000000000000000ull},      // ROR64
        {207, 0x8000000000000001ull, 64, 0x8000000000000001ull},     // ROR64 by 64: none
        {208, 0x8000000000000001ull, 65, 0x0000000000000002ull},     // SHL64 by 65: one step
        {209, 0x8000000000000000ull, 4, 0xF800000000000000ull},      // SHR64 arithmetic
        {209, 0x4000000000000000ull, 62, 0x0000000000000001ull},     //
    };
    for (const S64 &r : rows) {
        SetL(2, r.a);
        SetL(3, r.n);
        SetL(1, 0x5A5A5A5A5A5A5A5Aull);
        Stf(r.fn, {1, 2, 3});
        EXPECT_EQ(L(1), r.want) << r.fn << " " << std::hex << r.a << " " << r.n;
    }
    const uint32_t st = Z7VM_Status(db);
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | 0x200);
    SetL(2, 0x8000000000000000ull);
    SetL(3, 4);
    Stf(209, {1, 2, 3});
    EXPECT_EQ(L(1), 0x0800000000000000ull) << "logical: zeros shifted in";
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) & ~0x200u);

    // COUNTOF: the literal the compiler placed
    SetD(1, 0);
    Stf(161, {1, 2, 5, 17});
    EXPECT_EQ(D(1), 17u);

    // CYCLESTOP: FALSE leaves the run flag, TRUE clears run and step
    const uint16_t flags = Z7St_Flags(db);
    Z7St_SetFlags(db, uint16_t(flags | Z7F_RUN | Z7F_STEP));
    SetB(2, 0);
    Stf(136, {1, 2});
    EXPECT_EQ(Z7St_Flags(db) & (Z7F_RUN | Z7F_STEP), Z7F_RUN | Z7F_STEP);
    SetB(2, 1);
    SetB(1, 0);
    Stf(136, {1, 2});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Z7St_Flags(db) & (Z7F_RUN | Z7F_STEP), 0);
    Z7St_SetFlags(db, flags);

    // GETSYSINFO
    Z7Mem_Put32(st + ST_PERIOD, 250000);
    Z7Mem_Put32(st + ST_LAST, 12345);
    Z7Mem_Put32(st + ST_LONGEST, 99999);
    Z7Mem_Put32(st + ST_STAMP, 777);
    Z7Mem_Put32(st + ST_OVERRUNS, 3);
    Z7Mem_Put32(st + ST_CYCLES, 42);
    Z7Mem_Put32(st + ST_APP4, 0x11);
    Z7Mem_Put32(st + ST_APP5, 0x22);
    Z7Mem_Put32(st + ST_APPPRE7, 0x33);
    Z7Mem_Put32(st + ST_APP34, 0x44);
    Z7Mem_Put32(st + ST_SECONDS, 3600);
    Z7Mem_Put32(st + ST_LOCKED, 5);
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | Z7O_CHANGED | Z7O_RETAINS);
    const uint16_t bp[3][3] = {{1, 8, 1}, {1, 12, 3}, {2, 0, 2}};  // a breakpoint, a trace point, a one-shot
    for (uint32_t e = 0; e < 3; e++)
        for (uint32_t w = 0; w < 3; w++) Z7Mem_Put16(st + ST_BREAKPOINTS + 8 * e + 2 * w, bp[e][w]);
    const std::pair<int32_t, uint32_t> info[] = {
        {0, 250000}, {1, 250}, {2, 12345}, {3, 12},    {4, 99999}, {5, 99},    {6, 777},
        {7, 3},      {8, 42},  {9, 0x11},  {10, 0x22}, {11, 0x33}, {12, 0x44}, {13, 0},
        {16, 3600},  {17, 1},  {18, 1},    {19, 5},    {20, 2},    {21, 0},    {-1, 0},
    };
    for (const auto &[code, want] : info) {
        SetD(10, uint32_t(code));
        SetD(11, 0xA5A5A5A5);
        Stf(113, {11, 10});
        EXPECT_EQ(D(11), want) << "code " << code;
    }
    std::memset(Z7Mem_Ptr(st + ST_BREAKPOINTS, 24), 0, 24);

    // ARCREATE, ARWRITE, ARREAD: program identifiers 0..126 (the table's 1..127)
    struct Ar {
        uint16_t fn;
        int32_t id, arg, value;
        uint32_t want;
    };
    const Ar ars[] = {
        {60, 0, 10, 0, 1},          // created
        {60, 0, 10, 0, 2},          // used identifier
        {60, 126, 1, 0, 1},         // the last identifier
        {60, 127, 1, 0, 2},         // past it
        {60, -1, 1, 0, 2},          //
        {60, 5, 0, 0, 3},           // size below 1
        {60, 6, 0x7FFFFFFF, 0, 4},  // no memory for it
        {62, 0, 9, 1234, 1},        // written
        {62, 0, 10, 1, 3},          // index out of range
        {62, 7, 0, 1, 2},           // no such array
        {62, -1, 0, 1, 2},          //
        {61, 0, 9, 0, 1234},        //
        {61, 0, 10, 0, 0},          // a failed read
        {61, -1, 0, 0, 0},          //
    };
    for (const Ar &a : ars) {
        SetD(12, uint32_t(a.id));
        SetD(13, uint32_t(a.arg));
        SetD(14, uint32_t(a.value));
        SetD(11, 0xA5A5A5A5);
        EXPECT_EQ(Stf(a.fn, a.fn == 62 ? std::vector<uint16_t>{11, 12, 13, 14} : std::vector<uint16_t>{11, 12, 13}),
                  1u);
        EXPECT_EQ(D(11), a.want) << a.fn << " " << a.id << " " << a.arg;
    }
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) & ~uint32_t(Z7O_CHANGED | Z7O_RETAINS));
    Z7Mem_Put32(st + ST_LOCKED, 0);
    Z7St_SetFlags(db, uint16_t((Z7St_Flags(db) & 0xFFF0) | Z7F_STOPPED));
    SetD(10, 13);
    Stf(113, {11, 10});
    EXPECT_EQ(D(11), 1u) << "stopped";
    Z7St_SetFlags(db, flags);
}

// Binary images of variables through FB_WRITE and FB_READ, F_FLUSH before
// the close, F_AOPEN appending, F_SEEK from the start, the current position
// and the end (file bytes worked out by hand).
TEST_F(IecStd, BinaryFilesAppendFlushAndSeek) {
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    auto file = [&] {
        std::ifstream in(root / "mnt/cfg/bin.dat", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string t = ss.str();
        return std::vector<uint8_t>(t.begin(), t.end());
    };
    SetS(1, "/mnt/cfg/bin.dat");
    Stf(71, {1, 1});
    ASSERT_NE(D(1), 0u);
    SetD(2, 0x11223344);
    SetW(3, 0xBEEF);
    SetS(2, "AB");
    SetB(4, 1);
    SetL(2, 0x0102030405060708ull);
    // {type literal, variable}: DINT, INT, STRING (its characters only), BOOL, LINT
    for (const auto &[type, var] :
         std::vector<std::pair<uint16_t, uint16_t>>{{2, 2}, {11, 3}, {5, 2}, {1, 4}, {12, 2}}) {
        SetB(10, 0);
        Stf(173, {10, type, 1, var});
        EXPECT_EQ(B(10), 1) << type;
    }
    Stf(18, {10, 1});
    EXPECT_EQ(B(10), 1);
    const std::vector<uint8_t> written = {0x44, 0x33, 0x22, 0x11, 0xEF, 0xBE, 'A',  'B', 0x01,
                                          0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(file(), written) << "flushed before the close";
    Stf(76, {10, 1});
    // append: INT 0x1234 behind the rest
    Stf(174, {1, 1});
    ASSERT_NE(D(1), 0u);
    SetW(4, 0x1234);
    Stf(173, {10, 11, 1, 4});
    Stf(76, {10, 1});
    std::vector<uint8_t> appended = written;
    appended.insert(appended.end(), {0x34, 0x12});
    EXPECT_EQ(file(), appended);
    // read back at positions F_SEEK sets
    Stf(70, {1, 1});
    ASSERT_NE(D(1), 0u);
    SetD(20, 4);
    SetD(21, 0);
    Stf(19, {10, 1, 20, 21});
    EXPECT_EQ(B(10), 1);
    Stf(172, {10, 11, 1, 5});
    EXPECT_EQ(W(5), 0xBEEF) << "at 4 from the start";
    SetD(20, 2);
    SetD(21, 1);
    Stf(19, {10, 1, 20, 21});
    Stf(172, {10, 1, 1, 5});
    EXPECT_EQ(B(5), 0x01) << "2 past the current position 6";
    SetD(20, uint32_t(-2));
    SetD(21, 2);
    Stf(19, {10, 1, 20, 21});
    Stf(172, {10, 11, 1, 6});
    EXPECT_EQ(W(6), 0x1234) << "2 before the end";
    SetD(20, 0);
    SetD(21, 0);
    Stf(19, {10, 1, 20, 21});
    Stf(172, {10, 2, 1, 7});
    EXPECT_EQ(D(7), 0x11223344u);
    // a value cut short by the end of the file is not read in part: a DINT 2
    // bytes before the end; DINT[2] 6 bytes before it (04 03 02 01 34 12)
    SetD(20, uint32_t(-2));
    SetD(21, 2);
    Stf(19, {10, 1, 20, 21});
    SetD(9, 0xAAAAAAAA);
    SetB(10, 1);
    Stf(172, {10, 2, 1, 9});
    EXPECT_EQ(B(10), 0);
    EXPECT_EQ(D(9), 0xAAAAAAAAu);
    SetD(20, uint32_t(-6));
    Stf(19, {10, 1, 20, 21});
    SetD(40, 0xAAAAAAAA);
    SetD(41, 0xAAAAAAAA);
    SetD(22, 0);
    SetD(23, 2);
    Stf(16, {24, 2, 1, 40, 2, 22, 23});
    EXPECT_EQ(D(24), 1u);
    EXPECT_EQ(D(40), 0x01020304u);
    EXPECT_EQ(D(41), 0xAAAAAAAAu);
    // a STRING is refused; a forced variable is not read and the result is TRUE
    SetB(10, 1);
    Stf(172, {10, 5, 1, 3});
    EXPECT_EQ(B(10), 0);
    Lock(8, 0x02);
    SetW(8, 0x7777);
    Stf(172, {10, 11, 1, 8});
    EXPECT_EQ(B(10), 1);
    EXPECT_EQ(W(8), 0x7777);
    Stf(76, {10, 1});
    // an unknown handle: FALSE
    SetB(10, 1);
    Stf(18, {10, 1});
    EXPECT_EQ(B(10), 0);
    SetB(10, 1);
    Stf(19, {10, 1, 20, 21});
    EXPECT_EQ(B(10), 0);
    Z7VMRsc_FreeAll(db);
}

// NUMTOSTRING (196): {result, type literal, value, DINT width, DINT precision}.
TEST_F(IecStd, NumToStringThroughTheFunctionTable) {
    SetR(1, -0.5f);
    SetD(2, uint32_t(-42));
    SetB(1, 0xFB);
    SetB(2, 1);
    SetW(1, 65535);
    SetT(1, 1500);
    double pi = 3.14159;
    uint64_t bits;
    std::memcpy(&bits, &pi, 8);
    SetL(1, bits);
    SetL(2, uint64_t(int64_t(-5000000000)));
    struct Row {
        uint16_t type, index;
        int32_t width, precision;
        std::string want;
    };
    const Row rows[] = {
        {3, 1, 6, 2, " -0.50"},               // REAL -0.5, right-aligned
        {3, 1, -6, 2, "-0.50 "},              // left-aligned
        {3, 1, 3, 2, "***"},                  // does not fit: asterisks
        {10, 1, 0, 0, "251"},                 // SINT 16#FB: unsigned
        {2, 2, 5, 1, "-42.0"},                // DINT with a precision: zeros
        {15, 1, 7, 0, "  65535"},             // UINT
        {4, 1, 0, 0, "1500"},                 // TIME in ms
        {1, 2, -3, 0, "1  "},                 // BOOL
        {13, 1, 0, 3, "3.141"},               // LREAL: digits cut, not rounded
        {12, 2, 0, 0, "-5000000000"},         // LINT
        {5, 1, 4, 0, "****"},                 // STRING is not a number
        {2, 2, 41, 0, std::string(40, '*')},  // wider than the result's 40
        {3, 1, 4, 7, "****"},                 // precision above the field + 2
    };
    for (const Row &r : rows) {
        SetD(10, uint32_t(r.width));
        SetD(11, uint32_t(r.precision));
        SetS(1, "old");
        EXPECT_EQ(Stf(196, {1, r.type, r.index, 10, 11}), 1u) << r.want;
        EXPECT_EQ(S(1), r.want) << r.type << " " << r.width << " " << r.precision;
    }
    // a forced result is left as it is
    SetS(1, "kept");
    Lock(1, 0x20);
    SetD(10, 0);
    EXPECT_EQ(Stf(196, {1, 2, 2, 10, 11}), 1u);
    EXPECT_EQ(S(1), "kept");
    // a width operand outside its segment: the call is refused with log code 17
    EXPECT_EQ(Stf(196, {2, 2, 2, 200, 11}), 0u);
    uint16_t code = 0, arg = 0;
    uint32_t value = 0;
    ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &value), 1u);
    EXPECT_EQ(std::vector<uint32_t>({code, arg, value}), std::vector<uint32_t>({17, 196, 0}));
}

TEST_F(IecStd, FilesUnderTheRootTheirResourcesAndRefusedNames) {
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    SetS(1, "/mnt/cfg/b3io.txt");
    Stf(71, {1, 1});
    const uint32_t h = D(1);
    ASSERT_NE(h, 0u);
    SetS(2, "HELLO");
    Stf(75, {1, 1, 2});
    EXPECT_EQ(B(1), 1);
    SetD(2, 0x11223344);
    Stf(74, {2, 1, 2});
    EXPECT_EQ(B(2), 1);
    Stf(76, {3, 1});
    EXPECT_EQ(B(3), 1);
    Stf(76, {3, 1});
    EXPECT_EQ(B(3), 0) << "a closed handle is not a known file";
    {
        std::ifstream in(root / "mnt/cfg/b3io.txt", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), std::string("HELLO\n\x44\x33\x22\x11", 10));
    }
    Stf(70, {1, 1});
    ASSERT_NE(D(1), 0u);
    Stf(73, {3, 1});
    EXPECT_EQ(S(3), "HELLO");
    Stf(72, {4, 1});
    EXPECT_EQ(D(4), 0x11223344u);
    Stf(77, {5, 1});
    Stf(179, {5, 1});
    EXPECT_EQ(D(5), 10u);
    Stf(178, {6, 1});
    EXPECT_EQ(B(6), 1);
    Stf(76, {7, 1});
    // a relative name resolves under the root; ".." is refused; a missing file
    SetS(4, "mnt/cfg/b3io.txt");
    Stf(178, {6, 4});
    EXPECT_EQ(B(6), 1);
    SetS(4, "/mnt/cfg/../cfg/b3io.txt");
    Stf(178, {6, 4});
    EXPECT_EQ(B(6), 0);
    Stf(70, {8, 4});
    EXPECT_EQ(D(8), 0u);
    SetS(4, "/mnt/cfg/none.txt");
    Stf(178, {6, 4});
    EXPECT_EQ(B(6), 0);
    Stf(70, {8, 4});
    EXPECT_EQ(D(8), 0u);
    // the resource table holds 128 items: opening until it is full gives 0,
    // closing one makes room; a stop closes the rest
    for (uint32_t k = 0; k < 128; k++) {
        const uint32_t item = Z7VMRsc_GetFreeItem(db);
        if (item) Z7VMRsc_Set(item, 1000 + k, 0, 1, RSC_FILE);  // files of no platform slot
    }
    Stf(70, {8, 1});
    EXPECT_EQ(D(8), 0u);
    SetD(9, 1000);
    Stf(76, {10, 9});
    EXPECT_EQ(B(10), 1);
    Stf(70, {8, 1});
    EXPECT_NE(D(8), 0u);
    // FM_READ: a handle that is no longer a known file leaves the result as
    // it is; a known file the platform holds no stream for reads the empty
    // line (the stack below is first filled with the text of a line)
    SetS(5, "KEEP");
    Stf(73, {5, 9});
    EXPECT_EQ(S(5), "KEEP");
    SetS(6, "LEFTOVER-LEFTOVER-LEFTOVER-LEFTOVER-LEFT");
    Stf(75, {10, 9, 6});
    EXPECT_EQ(B(10), 0);
    SetD(9, 1001);
    Stf(73, {5, 9});
    EXPECT_EQ(S(5), "");
    Z7VMRsc_FreeAll(db);
    EXPECT_EQ(Z7VMRsc_Exist(db), 0u);
    // FM_READ into a STRING[40]: a line of exactly 40 characters is read
    // with its line feed, so the next call gives the next line and no empty
    // one; a line of 41 gives 40, then its last character
    {
        std::ofstream(root / "mnt/cfg/lines.txt", std::ios::binary) << std::string(40, 'a') << "\nABC\n"
                                                                    << std::string(40, 'b') << "c\nZ";
    }
    SetS(4, "/mnt/cfg/lines.txt");
    Stf(70, {8, 4});
    ASSERT_NE(D(8), 0u);
    for (const std::string &want : {std::string(40, 'a'), std::string("ABC"), std::string(40, 'b'), std::string("c"),
                                    std::string("Z"), std::string("")}) {
        SetS(5, "KEEP");
        Stf(73, {5, 8});
        EXPECT_EQ(S(5), want);
    }
    Stf(76, {10, 8});
    // the line reader skips NUL bytes: a line of exactly 40 characters whose
    // feed comes after NULs is still one line, with no empty one behind it
    {
        std::ofstream(root / "mnt/cfg/lines.txt", std::ios::binary)
            << std::string(40, 'd') << std::string("\0\0\nXY\n", 6) << std::string(40, 'e') << std::string("\0f\n", 3);
    }
    Stf(70, {8, 4});
    ASSERT_NE(D(8), 0u);
    for (const std::string &want :
         {std::string(40, 'd'), std::string("XY"), std::string(40, 'e'), std::string("f"), std::string("")}) {
        SetS(5, "KEEP");
        Stf(73, {5, 8});
        EXPECT_EQ(S(5), want);
    }
    Stf(76, {10, 8});
    // a directory is no file: it does not open, and a copy of it fails and
    // leaves the destination as it was
    mkdir((root / "mnt/cfg/sub").c_str(), 0755);
    std::ofstream(root / "mnt/cfg/dest.txt", std::ios::binary) << "keep";
    SetS(4, "/mnt/cfg/sub");
    SetD(8, 7);
    Stf(70, {8, 4});
    EXPECT_EQ(D(8), 0u);
    // nor does it exist or have a size as a file
    SetB(6, 1);
    Stf(178, {6, 4});
    EXPECT_EQ(B(6), 0);
    SetD(5, 7);
    Stf(179, {5, 4});
    EXPECT_EQ(D(5), 0u);
    SetS(5, "/mnt/cfg/dest.txt");
    SetB(10, 1);
    Stf(180, {10, 4, 5});
    EXPECT_EQ(B(10), 0);
    {
        std::ifstream in(root / "mnt/cfg/dest.txt", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), "keep");
    }

    // dynamic arrays: ids 0-based in the program
    struct Call {
        uint16_t fn;
        std::vector<int32_t> args;
        int32_t want;
    };
    for (const Call &c : std::vector<Call>{{60, {3, 4}, 1},
                                           {60, {3, 4}, 2},
                                           {60, {5, 0}, 3},
                                           {60, {6, 0x40000000}, 4},
                                           {60, {127, 1}, 2},
                                           {60, {-1, 1}, 2},
                                           {60, {7, -2}, 3},
                                           {60, {8, 0x7FFFFFFF}, 4},
                                           {60, {126, 1}, 1},
                                           {61, {126, 0}, 0},
                                           {62, {-5, 0, 1}, 2},
                                           {62, {3, 3, 77}, 1},
                                           {62, {3, 4, 1}, 3},
                                           {62, {9, 0, 1}, 2},
                                           {62, {3, -1, 5}, 3},
                                           {61, {3, 3}, 77},
                                           {61, {3, 4}, 0},
                                           {61, {3, -1}, 0}}) {
        SCOPED_TRACE(testing::Message() << c.fn << " " << c.args[0] << " " << c.args[1]);
        std::vector<uint16_t> ops{20};
        for (size_t k = 0; k < c.args.size(); k++) {
            SetD(21 + uint32_t(k), uint32_t(c.args[k]));
            ops.push_back(uint16_t(21 + k));
        }
        EXPECT_EQ(Stf(c.fn, ops), 1u);
        EXPECT_EQ(int32_t(D(20)), c.want);
    }
    Z7VMRsc_FreeAll(db);

    // a name of 255 characters is taken whole: its first 254 name another
    // file, which it never reaches
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    IecImage img;
    img.d8 = img.d32 = {15, 15, 15};
    img.d16 = img.d64 = img.time = {3, 3, 3};
    img.str = {2, 2, 2};
    img.string_sizes = {255, 255};
    ASSERT_EQ(Start(img, db), 0u);
    const std::string stem = "mnt/cfg/" + std::string(246, 'a');
    std::ofstream(root / stem) << "x";
    SetS(1, stem);
    Stf(178, {1, 1});
    EXPECT_EQ(B(1), 1);
    SetS(1, stem + "b");
    ASSERT_EQ(S(1).size(), 255u);
    SetB(1, 1);
    Stf(178, {1, 1});
    EXPECT_EQ(B(1), 0);
    SetD(2, 7);
    Stf(70, {2, 1});
    EXPECT_EQ(D(2), 0u);
    // a line of 255 characters fills a STRING[255] whole and takes its line
    // feed along
    std::ofstream(root / "mnt/cfg/long.txt", std::ios::binary) << std::string(255, 'L') << "\nN\n";
    SetS(1, "/mnt/cfg/long.txt");
    Stf(70, {2, 1});
    ASSERT_NE(D(2), 0u);
    Stf(73, {1, 2});
    EXPECT_EQ(S(1), std::string(255, 'L'));
    Stf(73, {1, 2});
    EXPECT_EQ(S(1), "N");
    Stf(76, {3, 2});
}

TEST_F(IecStd, ByteBuffersSerialisationStringsAndShifts) {
    // USINT[8] at D8 70..77: SERIALIZEOUT(DINT 16#11223344) at 4 swapped, at 0, at 5
    for (uint32_t i = 0; i < 8; i++) SetB(70 + i, 0);
    SetD(1, 0x11223344);
    struct Ser {
        int32_t pos;
        uint8_t swap;
        uint32_t want;
    };
    for (const Ser &c : std::vector<Ser>{{4, 1, 8}, {0, 0, 4}, {5, 0, 0}, {-1, 0, 0}}) {
        SetD(2, uint32_t(c.pos));
        SetB(3, c.swap);
        Stf(104, {4, 2, 70, 8, 1, 2, 3});
        EXPECT_EQ(D(4), c.want) << c.pos;
    }
    std::vector<int> bytes;
    for (uint32_t i = 0; i < 8; i++) bytes.push_back(B(70 + i));
    EXPECT_EQ(bytes, std::vector<int>({0x44, 0x33, 0x22, 0x11, 0x11, 0x22, 0x33, 0x44}));
    SetD(2, 4);
    SetB(3, 0);
    Stf(105, {4, 2, 70, 8, 5, 2, 3});
    EXPECT_EQ(D(5), 0x44332211u);
    EXPECT_EQ(D(4), 8u);
    Stf(105, {4, 2, 70, 3, 5, 2, 3});
    EXPECT_EQ(D(4), 0u) << "a buffer smaller than the value";
    Stf(104, {4, 2, 120, 20, 1, 2, 3});
    EXPECT_EQ(D(4), 0u) << "a buffer past the 8-bit segment";

    // MBSHIFT left 1 with rotate over 16#80 16#01 -> 16#00 16#03; 3 bytes of 2
    SetB(80, 0x80);
    SetB(81, 0x01);
    SetD(10, 0);
    SetD(11, 2);
    SetD(12, 1);
    SetB(13, 0);
    SetB(14, 1);
    SetB(15, 0);
    Stf(134, {16, 14, 80, 2, 10, 11, 12, 13, 14, 15});
    EXPECT_EQ(B(16), 1);
    EXPECT_EQ(B(80), 0x00);
    EXPECT_EQ(B(81), 0x03);
    SetB(13, 1);  // right, rotate: back again
    Stf(134, {16, 14, 80, 2, 10, 11, 12, 13, 14, 15});
    EXPECT_EQ(B(80), 0x80);
    EXPECT_EQ(B(81), 0x01);
    SetD(11, 3);
    Stf(134, {16, 14, 80, 2, 10, 11, 12, 13, 14, 15});
    EXPECT_EQ(B(16), 0);

    // SERPUTSTRING('AB', 1, zero-terminated) in USINT[4] at 90..93: 4, 00 41 42 00
    for (uint32_t i = 0; i < 4; i++) SetB(90 + i, 0xEE);
    SetB(90, 0);
    SetS(1, "AB");
    SetD(20, 1);
    SetD(21, 0);
    SetB(22, 1);
    SetB(23, 0);
    Stf(160, {24, 90, 4, 1, 20, 21, 22, 23});
    EXPECT_EQ(D(24), 4u);
    EXPECT_EQ(std::vector<int>({B(90), B(91), B(92), B(93)}), std::vector<int>({0, 0x41, 0x42, 0}));
    SetD(20, 4);
    SetD(21, 6);
    Stf(160, {24, 90, 8, 1, 20, 21, 22, 23});
    EXPECT_EQ(D(24), 0u);
    // SERGETSTRING length-prefixed: 03 'XYZ' -> 4, 'XYZ'
    SetB(90, 3);
    SetB(91, 'X');
    SetB(92, 'Y');
    SetB(93, 'Z');
    SetD(20, 0);
    SetD(21, 0);
    SetB(22, 0);
    SetB(23, 1);
    Stf(159, {24, 90, 4, 2, 20, 21, 22, 23});
    EXPECT_EQ(D(24), 4u);
    EXPECT_EQ(S(2), "XYZ");
    SetB(90, 4);
    Stf(159, {24, 90, 4, 2, 20, 21, 22, 23});
    EXPECT_EQ(D(24), 0u) << "a length byte past the buffer";
    // zero-terminated without a 0 byte takes the rest of the buffer
    SetB(90, 'Q');
    SetD(20, 1);
    SetB(22, 1);
    Stf(159, {24, 90, 4, 2, 20, 21, 22, 23});
    EXPECT_EQ(S(2), "XYZ");
    EXPECT_EQ(D(24), 5u);
    // length-prefixed: the n bytes whole, a 0 byte among them included, as
    // SERPUTSTRING lays a counted string down
    SetB(90, 3);
    SetB(91, 'A');
    SetB(92, 0);
    SetB(93, 'B');
    SetD(20, 0);
    SetB(22, 0);
    Stf(159, {24, 90, 4, 2, 20, 21, 22, 23});
    EXPECT_EQ(D(24), 4u);
    EXPECT_EQ(S(2), std::string("A\0B", 3));

    // REPLACE(IN1, IN2, L 2, P 3) (48): 'ABCDEF' without 'CD', 'xy' in their
    // place; the result may be either input, or both: IN2 is read as it was
    // before the result is written
    struct Repl {
        uint16_t result, in1, in2;
        const char *want;
    };
    SetD(25, 2);
    SetD(26, 3);
    for (const Repl &c :
         std::vector<Repl>{{3, 1, 2, "ABxyEF"}, {1, 1, 2, "ABxyEF"}, {2, 1, 2, "ABxyEF"}, {1, 1, 1, "ABABCDEFEF"}}) {
        SCOPED_TRACE(testing::Message() << c.result << " " << c.in1 << " " << c.in2);
        SetS(1, "ABCDEF");
        SetS(2, "xy");
        SetS(3, "old");
        EXPECT_EQ(Stf(48, {c.result, c.in1, c.in2, 25, 26}), 1u);
        EXPECT_EQ(S(c.result), c.want);
    }
    // a forced result keeps its text
    SetS(1, "ABCDEF");
    SetS(3, "old");
    Lock(3, 0x20);
    EXPECT_EQ(Stf(48, {3, 1, 2, 25, 26}), 1u);
    EXPECT_EQ(S(3), "old");

    // the other string slots through the table, positions 1-based: result
    // string 4, strings 5 and 6, DINT counts and positions 27 and 28
    struct StrRow {
        uint16_t fn;
        std::vector<uint16_t> ops;
        const char *s5, *s6;
        uint32_t d27, d28;
        const char *want;
    };
    const StrRow srows[] = {
        {46, {4, 5, 27, 28}, "ABCDE", "", 2, 4, "DE"},         // MID('ABCDE', 2, 4)
        {46, {4, 5, 27, 28}, "ABCDE", "", 2, 0, "AB"},         // position 0 as the first
        {46, {4, 5, 27, 28}, "ABCDE", "", 0xFFFFFFFF, 1, ""},  // a negative count
        {44, {4, 5, 6, 28}, "ABC", "XY", 0, 2, "AXYBC"},       // INSERT('ABC', 'XY', 2)
        {44, {6, 5, 6, 28}, "ABC", "XY", 0, 4, "ABCXY"},       // into IN2's own variable
        {42, {4, 5, 27, 28}, "ABCDE", "", 2, 2, "ADE"},        // DELETE('ABCDE', 2, 2)
        {42, {5, 5, 27, 28}, "ABCDE", "", 9, 4, "ABC"},        // in place, count clipped
        {45, {4, 5, 27}, "ABCDE", "", 3, 0, "ABC"},            // LEFT
        {49, {4, 5, 27}, "ABCDE", "", 3, 0, "CDE"},            // RIGHT
        {49, {4, 5, 27}, "ABCDE", "", 0xFFFFFFFF, 0, ""},      // RIGHT of a negative count
        {41, {4, 27}, "", "", 0x141, 0, "A"},                  // CHAR: the low byte
        {90, {4, 27}, "", "", 0xABCDE, 0, "0ABCDE"},           // HTOA
    };
    for (const StrRow &r : srows) {
        SCOPED_TRACE(testing::Message() << r.fn << " " << r.want);
        SetS(4, "old");
        SetS(5, r.s5);
        SetS(6, r.s6);
        SetD(27, r.d27);
        SetD(28, r.d28);
        EXPECT_EQ(Stf(r.fn, r.ops), 1u);
        EXPECT_EQ(S(r.ops[0]), r.want);
    }
    // the numeric answers: FIND, ASCII, ATOH, CRC16 (DINT 29), F_LEN (INT 29)
    SetS(5, "ABCABC");
    SetS(6, "CA");
    Stf(43, {29, 5, 6});
    EXPECT_EQ(D(29), 3u) << "FIND('ABCABC', 'CA')";
    SetS(6, "");
    Stf(43, {29, 5, 6});
    EXPECT_EQ(D(29), 0u) << "FIND of an empty pattern";
    SetD(28, 2);
    Stf(40, {29, 5, 28});
    EXPECT_EQ(D(29), uint32_t('B')) << "ASCII('ABCABC', 2)";
    SetD(28, 7);
    Stf(40, {29, 5, 28});
    EXPECT_EQ(D(29), 0u) << "ASCII past the end";
    SetS(5, "1aFz");
    Stf(89, {29, 5});
    EXPECT_EQ(D(29), 0x1AFu) << "ATOH('1aFz')";
    SetS(5, "123456789");
    Stf(93, {29, 5});
    EXPECT_EQ(D(29), 0x4B37u) << "CRC16 of the check text";
    SetW(29, 0xFFFF);
    Stf(205, {29, 5});
    EXPECT_EQ(W(29), 9u) << "F_LEN";
    // forced results: the string (0x20) and the DINT (0x04) keep their values
    Lock(4, 0x20 | 0x04);
    SetS(4, "kept");
    SetD(4, 77);
    SetS(5, "ABCDE");
    SetD(27, 2);
    EXPECT_EQ(Stf(45, {4, 5, 27}), 1u);
    EXPECT_EQ(S(4), "kept");
    EXPECT_EQ(Stf(47, {4, 5}), 1u);
    EXPECT_EQ(D(4), 77u);
}

// Declared array sizes are literal words read unsigned: arrays of 32,768
// elements and more are taken by the block moves, file and buffer functions
// and the interpolation.
TEST_F(IecStd, ArraysOf32768ElementsAndMore) {
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    IecImage img;
    img.d8 = {40009, 40009, 40009};
    img.d32 = {40009, 40009, 40009};
    img.d16 = img.d64 = img.time = {15, 15, 15};
    img.str = {1, 1, 1};
    img.string_sizes = {40};
    ASSERT_EQ(Start(img, db), 0u);
    // USINT[40000] at 1..40000, DINTs from 40001; REAL[40000] at 1..40000
    for (uint32_t i = 0; i < 40000; i++) {
        SetB(1 + i, uint8_t(i));
        SetR(1 + i, float(i));
    }
    // MOVEBLOCK USINT from 39998, count 2, to 0
    SetD(40001, 39998);
    SetD(40002, 0);
    SetD(40003, 2);
    EXPECT_EQ(Stf(95, {40001, 14, 1, 40000, 1, 40000, 40001, 40002, 40003}), 1u);
    EXPECT_EQ(B(40001), 1);
    EXPECT_EQ(std::vector<int>({B(1), B(2)}), std::vector<int>({39998 & 0xFF, 39999 & 0xFF}));
    // SERIALIZEOUT of a DINT at 39996: returns 40000
    SetD(40004, 0x11223344);
    SetD(40005, 39996);
    SetB(40002, 0);
    Stf(104, {40006, 2, 1, 40000, 40004, 40005, 40002});
    EXPECT_EQ(D(40006), 40000u);
    EXPECT_EQ(std::vector<int>({B(39997), B(40000)}), std::vector<int>({0x44, 0x11}));
    // MBSHIFT of the last two bytes left by 4
    SetB(39999, 0x12);
    SetB(40000, 0x34);
    SetD(40005, 39998);
    SetD(40006, 2);
    SetD(40007, 4);
    SetB(40003, 0);
    SetB(40004, 0);
    SetB(40005, 0);
    Stf(134, {40006, 14, 1, 40000, 40005, 40006, 40007, 40003, 40004, 40005});
    EXPECT_EQ(B(40006), 1);
    EXPECT_EQ(std::vector<int>({B(39999), B(40000)}), std::vector<int>({0x23, 0x40}));
    // FR_WRITE of the last 10 elements, FR_READ back at 0
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    SetS(1, "/mnt/cfg/large.bin");
    SetD(40001, 0);
    Stf(71, {40001, 1});
    ASSERT_NE(D(40001), 0u);
    SetD(40002, 39990);
    SetD(40003, 10);
    Stf(17, {40004, 14, 40001, 1, 40000, 40002, 40003});
    EXPECT_EQ(D(40004), 10u);
    Stf(76, {40005, 40001});
    SetD(40001, 0);
    Stf(70, {40001, 1});
    ASSERT_NE(D(40001), 0u);
    SetD(40002, 0);
    Stf(16, {40004, 14, 40001, 1, 40000, 40002, 40003});
    EXPECT_EQ(D(40004), 10u);
    EXPECT_EQ(B(1), 39990 & 0xFF);
    EXPECT_EQ(B(10), 0x40) << "the last byte as MBSHIFT left it";
    Stf(76, {40005, 40001});
    // CURVELIN on the 40000-point axis y = x
    SetR(40001, 39998.5f);
    Make("CURVELIN", {40001, 1, 40000, 1, 40000, 40002, 40003, 40004}).Run();
    EXPECT_EQ(R(40002), 39998.5f);
    EXPECT_EQ(B(40003), 1);
    EXPECT_EQ(D(40004), 0u);
    // ARFIND of the REAL 39999.0 from 32768 on: index 39999
    const uint32_t arg = PutOperands(Alloc(2 + 2 * 6), {3, 1, 40000, 40005, 40006, 40007});
    SetR(40005, 39999.0f);
    SetD(40006, 32768);
    Z7Blocks_GetProc(Z7Blocks_Find("ARFIND"))(FB_EXEC, db, 0, 0, arg);
    EXPECT_EQ(D(40007), 39999u);
}

TEST_F(IecStd, TcpEchoAndUdpEchoThroughTheSocketFunctions) {
    const uint16_t port = test_support::LoopbackFreePort();
    SetD(1, port);
    SetD(2, 4);
    Stf(148, {3, 1, 2});
    const int32_t listening = int32_t(D(3));
    ASSERT_GE(listening, 0);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        const int peer = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(send(peer, "PING-1", 6, 0), 6);
        // accept and receive, polled with a deadline
        int32_t conn = -1;
        std::string got;
        for (int k = 0; k < 500 && got.size() < 6; k++) {
            if (conn == -1) {
                Stf(149, {4, 3});
                conn = int32_t(D(4));
            } else {
                SetD(5, 64);
                Stf(152, {6, 4, 5, 1});
                got += S(1);
            }
            if (got.size() < 6) usleep(10000);
        }
        ASSERT_EQ(got, "PING-1");
        Stf(155, {7, 4});
        EXPECT_EQ(B(7), 1);
        SetS(2, "PING-1");
        SetD(5, 6);  // the current length
        Stf(151, {6, 4, 5, 2});
        EXPECT_EQ(D(6), 6u);
        char buf[16] = {};
        EXPECT_EQ(recv(peer, buf, sizeof buf, 0), 6);
        EXPECT_EQ(std::string(buf, 6), "PING-1");
        SetD(5, uint32_t(-3));
        Stf(151, {6, 4, 5, 2});
        EXPECT_EQ(D(6), 0u) << "a negative count sends nothing";
        close(peer);
        // the peer closed: a receive answers 0 and the socket is forgotten
        for (int k = 0; k < 500; k++) {
            SetD(5, 64);
            Stf(152, {6, 4, 5, 1});
            Stf(155, {7, 4});
            if (B(7) == 0) break;
            usleep(10000);
        }
        EXPECT_EQ(B(7), 0);
        EXPECT_EQ(D(6), 0u);
    }
    Stf(150, {7, 3});
    EXPECT_EQ(B(7), 1);

    // UDP echo of 'abc' from the controller's port
    SetD(1, port + 1);
    Stf(183, {10, 1});
    ASSERT_GE(int32_t(D(10)), 0);
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port + 1));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(peer, "abc", 3, 0, reinterpret_cast<sockaddr *>(&a), sizeof a), 3);
    for (int k = 0; k < 500; k++) {
        SetD(5, 64);
        Stf(186, {11, 10, 5, 100, 16, 3});
        if (D(11) != 0) break;
        usleep(10000);
    }
    ASSERT_EQ(D(11), 3u);
    EXPECT_EQ(S(3), "abc");
    SetD(5, 64);
    Stf(185, {12, 10, 5, 100, 16, 3});
    EXPECT_EQ(B(12), 1);
    char buf[8] = {};
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    EXPECT_EQ(recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(ntohs(from.sin_port), port + 1);
    // UDPRCVFROM into a forced string still takes the datagram, counts its
    // bytes and keeps the sender's address; the string keeps its forced text
    sockaddr_in me{};
    socklen_t ml = sizeof me;
    ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr *>(&me), &ml), 0);
    Lock(3, 0x20);
    for (uint32_t i = 0; i < 16; i++) SetB(100 + i, 0xEE);
    ASSERT_EQ(sendto(peer, "wxyz", 4, 0, reinterpret_cast<sockaddr *>(&a), sizeof a), 4);
    SetD(11, 0);
    for (int k = 0; k < 500 && D(11) == 0; k++) {
        SetD(5, 64);
        Stf(186, {11, 10, 5, 100, 16, 3});
        if (D(11) == 0) usleep(10000);
    }
    EXPECT_EQ(D(11), 4u);
    EXPECT_EQ(S(3), "abc");
    std::vector<int> sender;
    for (uint32_t i = 0; i < 8; i++) sender.push_back(B(100 + i));
    EXPECT_EQ(sender, std::vector<int>({AF_INET, 0, ntohs(me.sin_port) >> 8, ntohs(me.sin_port) & 0xFF, 127, 0, 0, 1}));
    close(peer);
    // an address array below 16 elements is refused with a trace
    testing::internal::CaptureStdout();
    Stf(185, {12, 10, 5, 100, 8, 3});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "UDP address must be USINT[16]\n");
    EXPECT_EQ(B(12), 0);
    Z7VMRsc_FreeAll(db);
}

// TCPCONNECT to a listening peer, then bytes of USINT arrays both ways:
// TCPSENDARRAY and TCPRCVARRAY move at most min(n, declared size) bytes.
TEST_F(IecStd, TcpConnectAndByteArraysBothWays) {
    const uint16_t port = test_support::LoopbackFreePort();
    const int lis = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lis, 0);
    const int one = 1;
    setsockopt(lis, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lis, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lis, 1), 0);
    SetS(1, "127.0.0.1");
    SetD(1, port);
    Stf(153, {2, 1, 1});
    const int32_t sock = int32_t(D(2));
    ASSERT_GE(sock, 0);
    pollfd pl{lis, POLLIN, 0};
    ASSERT_EQ(poll(&pl, 1, 5000), 1);
    const int peer = accept(lis, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    // the connection completes: TCPISCONNECTED turns TRUE
    for (int k = 0; k < 500; k++) {
        Stf(154, {3, 2});
        if (B(3) == 1) break;
        usleep(10000);
    }
    ASSERT_EQ(B(3), 1);
    // send 5 of an 8-byte array (n 5), then n 20: the 8 declared bytes
    for (uint8_t k = 0; k < 8; k++) SetB(30 + k, uint8_t('a' + k));
    SetD(4, 5);
    Stf(214, {5, 2, 4, 30, 8});
    EXPECT_EQ(D(5), 5u);
    SetD(4, 20);
    Stf(214, {5, 2, 4, 30, 8});
    EXPECT_EQ(D(5), 8u);
    std::string got;
    char buf[32];
    while (got.size() < 13) {
        pollfd pp{peer, POLLIN, 0};
        ASSERT_EQ(poll(&pp, 1, 5000), 1) << "got " << got;
        const ssize_t n = recv(peer, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, "abcdeabcdefgh");
    // receive into a 4-byte array with n 10: 4 bytes, the rest stays queued
    ASSERT_EQ(send(peer, "123456", 6, 0), 6);
    for (uint8_t k = 0; k < 6; k++) SetB(40 + k, '.');
    SetD(4, 10);
    SetD(5, 0);
    for (int k = 0; k < 500 && D(5) == 0; k++) {
        Stf(215, {5, 2, 4, 40, 4});
        if (D(5) == 0) usleep(10000);
    }
    EXPECT_EQ(D(5), 4u);
    std::string in;
    for (uint8_t k = 0; k < 6; k++) in.push_back(char(B(40 + k)));
    EXPECT_EQ(in, "1234..");
    SetD(4, 1);
    Stf(215, {5, 2, 4, 40, 4});
    EXPECT_EQ(D(5), 1u);
    EXPECT_EQ(B(40), '5');
    Stf(215, {5, 2, 4, 40, 4});
    EXPECT_EQ(D(5), 1u);
    EXPECT_EQ(B(40), '6');
    // TCPSEND moves min(n, maximum length) bytes of the string's storage: n
    // 10 past the current text "PING-1" sends its terminator and the bytes
    // an earlier, longer text left there; n 300 stops at the 40 declared
    SetS(3, "0123456789");
    SetS(3, "PING-1");
    for (const auto &[n, want] : std::vector<std::pair<uint32_t, uint32_t>>{{10, 10}, {300, 40}}) {
        SetD(4, n);
        Stf(151, {5, 2, 4, 3});
        EXPECT_EQ(D(5), want) << n;
    }
    std::string sent;
    while (sent.size() < 50) {
        pollfd pp{peer, POLLIN, 0};
        ASSERT_EQ(poll(&pp, 1, 5000), 1) << sent.size();
        const ssize_t n = recv(peer, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        sent.append(buf, size_t(n));
    }
    EXPECT_EQ(sent.substr(0, 21), std::string("PING-1\0"
                                              "789PING-1\0"
                                              "789\0",
                                              21));
    EXPECT_EQ(sent.size(), 50u);
    // TCPRECEIVE into a forced string still takes the bytes and counts them;
    // the string keeps its forced text
    Lock(4, 0x20);
    SetS(4, "FORCED");
    ASSERT_EQ(send(peer, "xyz", 3, 0), 3);
    SetD(4, 10);
    SetD(5, 0);
    for (int k = 0; k < 500 && D(5) == 0; k++) {
        Stf(152, {5, 2, 4, 4});
        if (D(5) == 0) usleep(10000);
    }
    EXPECT_EQ(D(5), 3u);
    EXPECT_EQ(S(4), "FORCED");
    close(peer);
    close(lis);
    Stf(150, {3, 2});
    Z7VMRsc_FreeAll(db);
}

// UDPRCVFROMARRAY and UDPSENDTOARRAY: at most min(n, declared size) bytes
// of a USINT array, the sender's address kept in the address array.
TEST_F(IecStd, UdpByteArraysBothWays) {
    const uint16_t port = test_support::LoopbackFreePort();
    SetD(1, port);
    Stf(183, {10, 1});
    ASSERT_GE(int32_t(D(10)), 0);
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(peer, "abcdef", 6, 0, reinterpret_cast<sockaddr *>(&a), sizeof a), 6);
    for (uint8_t k = 0; k < 6; k++) SetB(60 + k, '.');
    SetD(5, 10);
    SetD(11, 0);
    for (int k = 0; k < 500 && D(11) == 0; k++) {
        Stf(15, {11, 10, 5, 100, 16, 60, 4});
        if (D(11) == 0) usleep(10000);
    }
    ASSERT_EQ(D(11), 4u);
    std::string got;
    for (uint8_t k = 0; k < 6; k++) got.push_back(char(B(60 + k)));
    EXPECT_EQ(got, "abcd..");
    // back to the sender: n 3 of the 4 elements, then n 10: the 4 declared
    for (const auto &[n, want] : std::vector<std::pair<uint32_t, std::string>>{{3, "abc"}, {10, "abcd"}}) {
        SetD(5, n);
        SetB(12, 0);
        Stf(14, {12, 10, 5, 100, 16, 60, 4});
        EXPECT_EQ(B(12), 1) << n;
        pollfd pp{peer, POLLIN, 0};
        ASSERT_EQ(poll(&pp, 1, 5000), 1) << n;
        char buf[16] = {};
        EXPECT_EQ(recv(peer, buf, sizeof buf, 0), ssize_t(want.size())) << n;
        EXPECT_EQ(std::string(buf, want.size()), want) << n;
    }
    close(peer);
    Z7VMRsc_FreeAll(db);
}

TEST_F(IecStd, ArrayBlocksSortSearchFillAndExtremes) {
    auto block = [&](const char *name) { return Z7Blocks_GetProc(Z7Blocks_Find(name)); };
    auto run = [&](const char *name, const std::vector<uint16_t> &ops) {
        const uint32_t arg = PutOperands(Alloc(2 + 2 * uint32_t(ops.size())), ops);
        const FbHandler h = block(name);
        ASSERT_NE(h, nullptr) << name;
        EXPECT_EQ(h(FB_AVAIL, 0, 0, 0, 0), 1u);
        EXPECT_EQ(h(FB_INSTSIZE, 0, 0, 0, 0), 0u);
        h(FB_EXEC, db, 0, 0, arg);
    };
    // rows 51-56 in registry order
    const char *names[] = {"ARCOUNT", "ARFIND", "ARFILL", "ARMIN", "ARMAX", "ARSORT"};
    for (uint32_t k = 0; k < 6; k++) EXPECT_EQ(Z7Blocks_Find(names[k]), 51 + k);

    // ARSORT INT [5, -3, 0, 7, -3] at W10..14, OK B1
    const int16_t ints[] = {5, -3, 0, 7, -3};
    for (uint32_t i = 0; i < 5; i++) SetW(10 + i, uint16_t(ints[i]));
    run("ARSORT", {11, 10, 5, 1});
    EXPECT_EQ(B(1), 1);
    std::vector<int> got;
    for (uint32_t i = 0; i < 5; i++) got.push_back(int16_t(W(10 + i)));
    EXPECT_EQ(got, std::vector<int>({-3, -3, 0, 5, 7}));
    // SINT bytes are unsigned: 16#05, 16#FD, 16#00 -> 16#00, 16#05, 16#FD
    SetB(10, 0x05);
    SetB(11, 0xFD);
    SetB(12, 0x00);
    run("ARSORT", {10, 10, 3, 1});
    EXPECT_EQ(std::vector<int>({B(10), B(11), B(12)}), std::vector<int>({0x00, 0x05, 0xFD}));
    // ULINT with the top bit set sorts last
    SetL(10, 0x8000000000000000ull);
    SetL(11, 1);
    run("ARSORT", {17, 10, 2, 1});
    EXPECT_EQ(L(10), 1u);
    EXPECT_EQ(L(11), 0x8000000000000000ull);
    // an array past its segment: OK FALSE, nothing moves
    run("ARSORT", {11, 125, 5, 1});
    EXPECT_EQ(B(1), 0);
    // STRING[40] ["pear", "apple", "fig"] -> ["apple", "fig", "pear"]
    auto text = [&](uint32_t s) {
        const uint32_t slot = Z7VMStr_Slot(db, s);
        return std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(slot + 2, Z7Mem_Get8(slot + 1))),
                           Z7Mem_Get8(slot + 1));
    };
    const char *fruit[] = {"pear", "apple", "fig"};
    for (uint32_t i = 0; i < 3; i++) Z7VMStr_AscForceC(db, 1 + i, fruit[i]);
    run("ARSORT", {5, 1, 3, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(std::vector<std::string>({text(1), text(2), text(3)}),
              std::vector<std::string>({"apple", "fig", "pear"}));
    // a length byte of 200 in a STRING[40] slot moves 40 characters at most:
    // the string after the array keeps its text
    Z7VMStr_AscForceC(db, 1, "z");
    Z7VMStr_AscForceC(db, 3, "kept");
    Z7Mem_Put8(Z7VMStr_Slot(db, 2) + 1, 200);
    run("ARSORT", {5, 1, 2, 1});
    EXPECT_EQ(Z7Mem_Get8(Z7VMStr_Slot(db, 1) + 1), 40);
    EXPECT_EQ(text(2), "z");
    EXPECT_EQ(text(3), "kept");

    // ARMIN / ARMAX DINT [3, -10, 7]; ARMAX UDINT [3, 16#FFFFFFF6, 7]
    SetD(10, 3);
    SetD(11, uint32_t(-10));
    SetD(12, 7);
    run("ARMIN", {2, 10, 3, 20});
    run("ARMAX", {2, 10, 3, 21});
    EXPECT_EQ(int32_t(D(20)), -10);
    EXPECT_EQ(int32_t(D(21)), 7);
    run("ARMAX", {16, 10, 3, 21});
    EXPECT_EQ(D(21), 0xFFFFFFF6u);
    // a forced (locked) result is not written
    SetD(20, 55);
    Lock(20, 0x04);
    run("ARMIN", {2, 10, 3, 20});
    EXPECT_EQ(D(20), 55u);
    Z7Mem_Put8(A(Z7SEC_LOCK, 20), 0);

    // ARFIND 2 in [1, 2, 3, 2] from 2: 3; from 4: -1; ARCOUNT 2 from 0: 2
    const uint32_t vals[] = {1, 2, 3, 2};
    for (uint32_t i = 0; i < 4; i++) SetD(30 + i, vals[i]);
    SetD(40, 2);
    SetD(41, 2);
    run("ARFIND", {2, 30, 4, 40, 41, 42});
    EXPECT_EQ(int32_t(D(42)), 3);
    SetD(41, 4);
    run("ARFIND", {2, 30, 4, 40, 41, 42});
    EXPECT_EQ(int32_t(D(42)), -1);
    SetD(41, 0);
    run("ARCOUNT", {2, 30, 4, 40, 41, 43});
    EXPECT_EQ(D(43), 2u);
    // REAL 0.0 does not count -0.0
    SetR(30, -0.0f);
    SetR(31, 0.0f);
    SetR(40, 0.0f);
    run("ARCOUNT", {3, 30, 2, 40, 41, 43});
    EXPECT_EQ(D(43), 1u);
    // ARFILL INT[3] with 9, OK TRUE
    SetW(20, 9);
    run("ARFILL", {11, 10, 3, 20, 2});
    EXPECT_EQ(B(2), 1);
    EXPECT_EQ(std::vector<int>({W(10), W(11), W(12)}), std::vector<int>({9, 9, 9}));
    // a value that cannot be resolved: OK FALSE, nothing written
    SetW(10, 1);
    run("ARFILL", {11, 10, 3, 500, 2});
    EXPECT_EQ(B(2), 0);
    EXPECT_EQ(std::vector<int>({W(10), W(11), W(12)}), std::vector<int>({1, 9, 9}));

    // STRING b, ab, a sorts to a, ab, b (a text before the longer one it begins)
    SetS(1, "b");
    SetS(2, "ab");
    SetS(3, "a");
    run("ARSORT", {5, 1, 3, 1});
    EXPECT_EQ(std::vector<std::string>({S(1), S(2), S(3)}), std::vector<std::string>({"a", "ab", "b"}));
    // ARMIN / ARMAX of STRING: "Pear" > "Fig" > "Apple"; the greatest into a
    // STRING[3] result (slot 7 given a maximum of 3) is cut to "Pea"
    SetS(1, "Fig");
    SetS(2, "Pear");
    SetS(3, "Apple");
    SetS(6, "?");
    run("ARMIN", {5, 1, 3, 6});
    EXPECT_EQ(S(6), "Apple");
    Z7Mem_Put8(Z7VMStr_Slot(db, 7), 3);
    run("ARMAX", {5, 1, 3, 7});
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(Z7VMStr_Slot(db, 7), 6), Z7Mem_Ptr(Z7VMStr_Slot(db, 7), 6) + 6),
              std::vector<uint8_t>({3, 3, 'P', 'e', 'a', 0}));
    Z7Mem_Put8(Z7VMStr_Slot(db, 7), 40);
    // ARFIND of a STRING is case-sensitive: "pear" is not "Pear"
    SetS(6, "pear");
    SetD(41, 0);
    run("ARFIND", {5, 1, 3, 6, 41, 42});
    EXPECT_EQ(int32_t(D(42)), -1);
    SetS(6, "Pear");
    run("ARFIND", {5, 1, 3, 6, 41, 42});
    EXPECT_EQ(int32_t(D(42)), 1);
    // ARFILL of a STRING[4] array of three (laid in slot 1) with "abcdefg":
    // each element "abcd", length 4, terminated; the byte behind stays
    uint8_t *s4 = Z7Mem_Ptr(Z7VMStr_Slot(db, 1), 22);
    std::memset(s4, 0xEE, 22);
    for (uint32_t i = 0; i < 3; i++) s4[7 * i] = 4;
    SetS(6, "abcdefg");
    run("ARFILL", {5, 1, 3, 6, 2});
    EXPECT_EQ(B(2), 1);
    EXPECT_EQ(std::vector<uint8_t>(s4, s4 + 22),
              std::vector<uint8_t>(
                  {4, 4, 'a', 'b', 'c', 'd', 0, 4, 4, 'a', 'b', 'c', 'd', 0, 4, 4, 'a', 'b', 'c', 'd', 0, 0xEE}));
    Z7Mem_Put8(Z7VMStr_Slot(db, 1), 40);

    // REAL sorts as numbers: 1.0, -2.0, -0.5 -> -2.0, -0.5, 1.0 (16#C0000000,
    // 16#BF000000, 16#3F800000)
    SetR(30, 1.0f);
    SetR(31, -2.0f);
    SetR(32, -0.5f);
    run("ARSORT", {3, 30, 3, 1});
    EXPECT_EQ(std::vector<uint32_t>({D(30), D(31), D(32)}),
              std::vector<uint32_t>({0xC0000000u, 0xBF000000u, 0x3F800000u}));
    // LREAL likewise: 16#3FF0000000000000 (1.0), 16#C000000000000000 (-2.0)
    SetL(30, 0x3FF0000000000000ull);
    SetL(31, 0xC000000000000000ull);
    run("ARSORT", {13, 30, 2, 1});
    EXPECT_EQ(L(30), 0xC000000000000000ull);
    EXPECT_EQ(L(31), 0x3FF0000000000000ull);
    // LREAL equality is numeric: 0.0 counts -0.0 (16#8000000000000000)
    SetL(30, 0x8000000000000000ull);
    SetL(31, 0);
    SetL(40, 0);
    SetD(41, 0);
    run("ARCOUNT", {13, 30, 2, 40, 41, 43});
    EXPECT_EQ(D(43), 2u);
    // LINT is signed, UINT and TIME unsigned
    SetL(30, 0xFFFFFFFFFFFFFFFFull);
    SetL(31, 1);
    run("ARMAX", {12, 30, 2, 44});
    EXPECT_EQ(L(44), 1u);
    SetW(30, 0xFFFF);
    SetW(31, 2);
    run("ARMIN", {15, 30, 2, 44});
    EXPECT_EQ(W(44), 2);
    SetT(30, 0x80000000u);
    SetT(31, 5);
    run("ARMAX", {4, 30, 2, 44});
    EXPECT_EQ(T(44), 0x80000000u);
}

TEST_F(IecStd, SignalsOfTheImagePlayedAndScaled) {
    // an image whose extension word 16 points at a signal table behind it:
    // signal 1 (0, 0.0) (1000, 10.0) (2000, 0.0); signal 2 one point; signal
    // 3 claims more points than the image holds
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
    RestartWithTail(img, 16, [](const Tail &t) {
        const uint32_t at = t.at;
        t.U32(3u << 16);  // u16 0, u16 count 3
        t.U32(at + 16);
        t.U32(at + 16 + 28);
        t.U32(at + 16 + 28 + 12);
        t.U32(3);
        t.U32(0), t.F32(0.0f), t.U32(1000), t.F32(10.0f), t.U32(2000), t.F32(0.0f);
        t.U32(1);
        t.U32(0), t.F32(7.0f);
        t.U32(1000);
    });
    ASSERT_NE(db, 0u);

    struct Scale {
        int32_t id;
        uint32_t t;
        float want;
    };
    for (const Scale &c : std::vector<Scale>{{1, 500, 5.0f},
                                             {1, 1500, 5.0f},
                                             {1, 3000, 0.0f},
                                             {1, 0, 0.0f},
                                             {2, 900, 7.0f},
                                             {3, 10, 0.0f},
                                             {9, 10, 0.0f},
                                             {-1, 10, 0.0f}}) {
        SCOPED_TRACE(c.id);
        SetD(1, uint32_t(c.id));
        SetT(1, c.t);
        SetR(2, -1.0f);
        Stf(177, {2, 1, 1});
        EXPECT_EQ(R(2), c.want);
    }
    // SIGPLAY: IN B1, ID D3, RST B2, TMIN T2; END B3, Y D4, ET T3
    SetB(1, 1);
    SetD(3, 1);
    SetT(2, 0);
    const Block play = Make("SIGPLAY", {1, 3, 2, 2, 3, 4, 3});
    struct Step {
        uint32_t now;
        uint8_t end;
        float y;
        uint32_t et;
    };
    for (const Step &s : std::vector<Step>{{1000, 0, 0.0f, 0},
                                           {1500, 0, 5.0f, 500},
                                           {2000, 0, 10.0f, 1000},
                                           {3000, 1, 0.0f, 2000},
                                           {3500, 1, 0.0f, 2000}}) {
        SCOPED_TRACE(s.now);
        Stamp(s.now);
        play.Run();
        EXPECT_EQ(B(3), s.end);
        EXPECT_EQ(R(4), s.y);
        EXPECT_EQ(T(3), s.et);
    }
    // RST clears the instance; then a signal of one point: idle, END FALSE,
    // Y and ET kept
    SetB(2, 1);
    Stamp(3600);
    play.Run();
    EXPECT_EQ(T(3), 0u);
    SetB(2, 0);
    SetD(3, 2);
    SetR(4, 42.0f);
    SetT(3, 2000);
    Stamp(4000);
    play.Run();
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(R(4), 42.0f);
    EXPECT_EQ(T(3), 2000u);
    // command 8 (an on-line change): the pause is not counted, the next
    // output comes at once despite TMIN, and the signal is found again by
    // its number (END B5, Y D5, ET T5; TMIN 1000)
    SetD(3, 1);
    SetT(4, 1000);
    const Block kept = Make("SIGPLAY", {1, 3, 2, 4, 5, 5, 5});
    for (uint32_t now : {5000u, 5500u}) {
        Stamp(now);
        kept.Run();
    }
    EXPECT_EQ(R(5), 5.0f);
    Z7Mem_Put32(kept.inst, 0);  // the signal's address as an older image had it
    Stamp(5600);
    kept.h(FB_INSTKEEP, db, 0, kept.inst, 0);
    Stamp(5700);
    kept.Run();
    EXPECT_EQ(B(5), 0);
    EXPECT_EQ(R(5), 6.0f);
    EXPECT_EQ(T(5), 600u);
}

TEST_F(IecStd, RecipeColumnsApplied) {
    // extension word 13 points at a recipe table behind the image: recipe 0,
    // 2 columns, variables DINT 5 {111, 222}, BOOL 6 {0, 1}, DINT 7 (forced)
    // {1, 2}, DINT 500 (outside the segment), a record past the image, and
    // through external variables: XV 1 = INT 9 {0x0101, 0x0202}, XV 2 = DINT
    // 10 (forced) {3, 4}, XV 9 (no such pointer) {1, 2}
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
    img.xvs = {{11, 9}, {2, 10}};
    img.xv_high = img.xv_used = 2;
    RestartWithTail(img, 13, [](const Tail &t) {
        const uint32_t rcp = t.at + 8, v1 = rcp + 4 + 8 * 4, v2 = v1 + 16, v3 = v2 + 10, v4 = v3 + 16, v5 = v4 + 16,
                       v6 = v5 + 12, v7 = v6 + 16;
        t.U16(0), t.U16(1), t.U32(rcp);
        t.U16(8), t.U16(2);
        for (uint32_t v : {v1, v2, v3, v4, 0x7FFFFFF0u, v5, v6, v7}) t.U32(v);
        t.U16(2), t.U16(5), t.U32(0), t.U32(111), t.U32(222);
        t.U16(1), t.U16(6), t.U32(0), t.U8(0), t.U8(1);
        t.U16(2), t.U16(7), t.U32(0), t.U32(1), t.U32(2);
        t.U16(2), t.U16(500), t.U32(0), t.U32(9), t.U32(9);
        t.U16(0x8B), t.U16(1), t.U32(0), t.U16(0x0101), t.U16(0x0202);
        t.U16(0x82), t.U16(2), t.U32(0), t.U32(3), t.U32(4);
        t.U16(0x8B), t.U16(9), t.U32(0), t.U16(1), t.U16(2);
    });
    ASSERT_NE(db, 0u);
    Lock(7, 0x04);
    SetD(7, 77);
    Lock(2, 0x80);  // XV 2
    SetD(10, 88);
    struct Case {
        int32_t recipe, column;
        uint8_t ok;
    };
    for (const Case &c : std::vector<Case>{{0, 2, 0}, {1, 0, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 1, 1}}) {
        SCOPED_TRACE(c.column);
        SetD(1, uint32_t(c.recipe));
        SetD(2, uint32_t(c.column));
        Stf(158, {3, 1, 2});
        EXPECT_EQ(B(3), c.ok);
    }
    EXPECT_EQ(D(5), 222u);
    EXPECT_EQ(B(6), 1);
    EXPECT_EQ(D(7), 77u) << "a forced variable keeps its value";
    EXPECT_EQ(W(9), 0x0202u) << "written through its pointer";
    EXPECT_EQ(D(10), 88u) << "a forced pointer writes nothing";
    // the pointer moved elsewhere by the host: the recipe follows it
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_XV, 1), A(Z7SEC_D16, 11));
    SetD(2, 0);
    Stf(158, {3, 1, 2});
    EXPECT_EQ(B(3), 1);
    EXPECT_EQ(W(11), 0x0101u);
    EXPECT_EQ(W(9), 0x0202u);
}

// STRINGTABLE and LOADSTRING on the string tables of the image (extension
// word 15): table 1 holds ids 10..12 (10 "TEN", 11 without text, 12 past the
// image), table 2 id 1 whose count passes the image, table 3 lies past it.
TEST_F(IecStd, StringTablesSelectedAndRead) {
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
    img.str = {3, 3, 3};
    img.string_sizes = {40, 40, 40};
    RestartWithTail(img, 15, [](const Tail &t) {
        const uint32_t t1 = t.at + 16, t2 = t1 + 20 + 4;
        t.U16(0), t.U16(3), t.U32(t1), t.U32(t2), t.U32(0x7FFFFFF0);
        t.U32(10), t.U32(12), t.U32(20), t.U32(0), t.U32(0x7FFFFFF0);  // table 1
        t.U8(3), t.U8('T'), t.U8('E'), t.U8('N');
        t.U32(1), t.U32(1), t.U32(12), t.U8(200), t.U8('X');  // table 2: its text runs past the end
    });
    ASSERT_NE(db, 0u);
    // {slot, argument} -> string 1 (LOADSTRING's result), BOOL 1 (STRINGTABLE's)
    struct Row {
        uint16_t fn;
        int32_t arg;
        const char *text;
        uint8_t ok;
    };
    const std::vector<Row> rows = {
        {176, 10, "TEN", 7}, {176, 11, "", 7},   {176, 12, "", 7}, {176, 9, "", 7},    {176, 13, "", 7},
        {176, -1, "", 7},    {175, 2, "old", 1}, {176, 1, "", 7},  {176, 10, "", 7},   {175, 3, "old", 0},
        {175, 0, "old", 0},  {175, 4, "old", 0}, {176, 1, "", 7},  {175, 1, "old", 1}, {176, 10, "TEN", 7},
    };
    for (const Row &r : rows) {
        SetD(1, uint32_t(r.arg));
        SetS(1, "old");
        SetB(1, 7);
        EXPECT_EQ(Stf(r.fn, {1, 1}), 1u);
        EXPECT_EQ(S(1), r.text) << r.fn << " " << r.arg;
        EXPECT_EQ(B(1), r.ok) << r.fn << " " << r.arg;
    }
}

TEST_F(IecStd, StatusInformationOfMappedVariables) {
    // the application of the map tests: INT 7 and INT 9 are mapped, INT 6 is not
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    const uint32_t code = test_support::IecLoad(test_support::ValuesImage());
    blocks.push_back(code);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "APP"), 0u);
    ASSERT_GT(Z7Sec_Get(db, Z7SEC_D32, SD_ALLOC), 4u);
    ASSERT_GT(Z7Sec_Get(db, Z7SEC_D8, SD_ALLOC), 4u);
    // VSISETBIT(INT 7, bit 40, TRUE); VSIGETBIT; VSICOPY to INT 9; a variable without map item
    SetD(1, 40);
    SetB(1, 1);
    Stf(188, {2, 11, 7, 1, 1});
    EXPECT_EQ(B(2), 1);
    Stf(187, {3, 11, 7, 1});
    EXPECT_EQ(B(3), 1);
    Stf(187, {3, 11, 6, 1});
    EXPECT_EQ(B(3), 0);
    SetB(4, 0);
    Stf(220, {2, 11, 9, 7, 1, 4});
    EXPECT_EQ(B(2), 1);
    Stf(187, {3, 11, 9, 1});
    EXPECT_EQ(B(3), 1);
    // dates and times set and read back; a stamp of the local clock
    SetD(2, 0x07EA0C07);
    Stf(190, {2, 11, 7, 2});
    Stf(189, {3, 11, 7});
    EXPECT_EQ(D(3), 0x07EA0C07u);
    SetD(2, 0x1000);
    Stf(192, {2, 11, 7, 2});
    Stf(191, {3, 11, 7});
    EXPECT_EQ(D(3), 0x1000u);
    Stf(193, {2, 11, 9});
    EXPECT_EQ(B(2), 1);
    Stf(189, {3, 11, 9});
    EXPECT_NE(D(3) >> 16, 0u);
    Stf(13, {2, 11, 6});
    EXPECT_EQ(B(2), 0);

    // handles by name and by address; symbol, profile name and type name of a handle
    SetS(1, "prof");
    Stf(143, {8, 1});
    const uint32_t prof = D(8);
    EXPECT_NE(prof, 0u);
    Stf(144, {9, 11, 7});
    const uint32_t int7 = D(9);
    EXPECT_NE(int7, 0u);
    SetS(1, "sp");
    Stf(143, {9, 1});
    const uint32_t sp = D(9);
    EXPECT_NE(sp, 0u);
    struct Row {
        uint32_t handle;
        uint16_t fn;
        const char *text;
    };
    const std::vector<Row> rows = {
        {prof, 145, "Prof"},
        {prof, 146, "MotorProfile"},
        {prof, 147, "DINT"},
        {sp, 145, "SP"},
        {sp, 146, "ABCDEFGHIJKLMNOP"},
        {sp, 147, "ARR"},
        {int7, 145, "I"},
        {int7, 146, ""},
        {int7, 147, "INT"},
        {prof + 4, 145, ""},
        {prof + 4, 146, ""},
        {prof + 4, 147, ""},
        {0, 147, ""},
    };
    for (const Row &r : rows) {
        SetS(2, "old");
        SetD(8, r.handle);
        EXPECT_EQ(Stf(r.fn, {2, 8}), 1u);
        EXPECT_EQ(S(2), r.text) << r.fn << " of " << r.handle;
    }
    // a forced result is left as it is
    SetS(2, "old");
    Lock(2, 0x20);
    SetD(8, prof);
    Stf(147, {2, 8});
    EXPECT_EQ(S(2), "old");
}

}  // namespace iec_test

namespace iec_test {
// Sections of a malformed image: a section that runs past the arena's end,
// or that starts below its first block, is refused whole by the functions
// and the blocks alike (reads answer 0, writes do nothing), even where
// single elements of it would lie inside. A BOOL byte of 2 reads as TRUE.
class IecStdSections : public IecStd {
protected:
    uint32_t desc = 0;
    uint8_t saved[16] = {};
    void SetUp() override {
        IecStd::SetUp();
        desc = db + Z7SEC_D32 * 16;  // descriptor of the 32-bit section
        std::memcpy(saved, Z7Mem_Ptr(desc, 16), 16);
    }
    void TearDown() override {
        std::memcpy(Z7Mem_Ptr(desc, 16), saved, 16);
        for (auto k = kept.rbegin(); k != kept.rend(); ++k)
            std::memcpy(Raw(k->first), k->second.data(), k->second.size());
        IecStd::TearDown();
    }
    // Arena bytes a test overwrites outside any block, put back at the end.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> kept;
    void Keep(uint32_t off, uint32_t len) { kept.emplace_back(off, std::vector<uint8_t>(Raw(off), Raw(off) + len)); }
    // The 32-bit section moved to addr with count elements of elem bytes.
    void MoveD32(uint32_t addr, uint16_t count, uint8_t elem = 4) const {
        uint8_t *d = Z7Mem_Ptr(desc, 16);
        d[0] = uint8_t(addr), d[1] = uint8_t(addr >> 8), d[2] = uint8_t(addr >> 16), d[3] = uint8_t(addr >> 24);
        d[8] = elem, d[9] = 0;                                // element size
        d[14] = uint8_t(count), d[15] = uint8_t(count >> 8);  // elements
    }
    // Host bytes of arena offset off (below the first block included).
    static uint8_t *Raw(uint32_t off) { return Z7Mem_Base + off; }
    static void Put(uint32_t off, uint32_t v) {
        Raw(off)[0] = uint8_t(v), Raw(off)[1] = uint8_t(v >> 8), Raw(off)[2] = uint8_t(v >> 16),
        Raw(off)[3] = uint8_t(v >> 24);
    }
    static uint32_t Get(uint32_t off) {
        return uint32_t(Raw(off)[0] | Raw(off)[1] << 8 | Raw(off)[2] << 16) | uint32_t(Raw(off)[3]) << 24;
    }
};

TEST_F(IecStdSections, SectionRunningOffTheArenaIsRefusedWhole) {
    // 100 DINTs from 64 MiB - 392: elements 0..97 lie inside, 98 and 99 do not
    constexpr uint32_t kAt = (64u << 20) - 392;
    ASSERT_NE(Z7Mem_Ptr(kAt, 392), nullptr);
    Keep(kAt, 392);
    MoveD32(kAt, 100);
    Put(kAt + 4, 7);            // DINT 1
    Put(kAt + 8, 0xDEADBEEF);   // DINT 2: the results
    Put(kAt + 12, 3);           // DINT 3
    Put(kAt + 16, 0xCAFEF00D);  // DINT 4
    // ODD(DINT 1) into BOOL 5: DINT 1 reads 0
    SetB(5, 9);
    EXPECT_EQ(Stf(36, {5, 1}), 1u);
    EXPECT_EQ(B(5), 0);
    // LEN("abc") into DINT 2; AND(DINT 1, DINT 3) into DINT 2 (the mask
    // path hands the section over and the general path refuses it too)
    SetS(0, "abc");
    EXPECT_EQ(Stf(47, {2, 0}), 1u);
    EXPECT_EQ(Stf(20, {2, 1, 3}), 1u);
    EXPECT_EQ(Get(kAt + 8), 0xDEADBEEFu);
    // CMP(DINT 1, DINT 3): 0 against 0
    Make("CMP", {1, 3, 10, 11, 12}).Run();
    EXPECT_EQ(std::vector<int>({B(10), B(11), B(12)}), std::vector<int>({0, 1, 0}));
    // CTU with PV in DINT 3 and CV in DINT 4: PV reads 0, so Q at once; CV
    // is not written
    SetB(20, 1);
    SetB(21, 0);
    Block ctu;
    ctu.db = db;
    ctu.h = Z7Stfb_Counter(0);
    ctu.inst = Alloc(4);
    ctu.arg = PutOperands(Alloc(2 + 2 * 5), {20, 21, 3, 22, 4});
    ctu.Run();
    EXPECT_EQ(B(22), 1);
    EXPECT_EQ(Get(kAt + 16), 0xCAFEF00Du);
    // the other sections are untouched: SHL on INTs still works
    SetW(1, 0x0003);
    SetW(2, 4);
    EXPECT_EQ(Stf(83, {3, 1, 2}), 1u);
    EXPECT_EQ(W(3), 0x0030);
}

TEST_F(IecStdSections, SectionBelowTheFirstBlockIsRefused) {
    // two DINTs at arena offset 16 and 20
    Keep(16, 8);
    MoveD32(16, 2);
    Put(16, 5);
    Put(20, 0x11223344);
    SetB(5, 9);
    EXPECT_EQ(Stf(36, {5, 0}), 1u);
    EXPECT_EQ(B(5), 0);
    EXPECT_EQ(Stf(20, {1, 0, 0}), 1u);  // AND(DINT 0, DINT 0) into DINT 1
    EXPECT_EQ(Stf(27, {1, 0}), 1u);     // NOT(DINT 0) into DINT 1
    EXPECT_EQ(Get(20), 0x11223344u);
    Make("CMP", {0, 1, 10, 11, 12}).Run();
    EXPECT_EQ(std::vector<int>({B(10), B(11), B(12)}), std::vector<int>({0, 1, 0}));
}

TEST_F(IecStdSections, SectionOfNarrowElementsEndingAtTheArenaEndIsRefused) {
    // four 1-byte elements in the last 4 bytes of the arena: the DINT of the
    // last would end 3 bytes past it, so none is used
    constexpr uint32_t kAt = (64u << 20) - 4;
    Keep(kAt, 4);
    MoveD32(kAt, 4, 1);
    Raw(kAt)[0] = 1, Raw(kAt)[1] = 0x5A, Raw(kAt)[2] = 0, Raw(kAt)[3] = 0;
    SetB(5, 9);
    EXPECT_EQ(Stf(36, {5, 0}), 1u);  // ODD(DINT 0): 0
    EXPECT_EQ(B(5), 0);
    SetB(6, 9);
    EXPECT_EQ(Stf(36, {6, 3}), 1u);  // ODD(DINT 3): 0, nothing read past the end
    EXPECT_EQ(B(6), 0);
    EXPECT_EQ(Stf(27, {3, 0}), 1u);  // NOT(DINT 0) into DINT 3: not written
    EXPECT_EQ(std::vector<int>({Raw(kAt)[0], Raw(kAt)[1], Raw(kAt)[2], Raw(kAt)[3]}),
              std::vector<int>({1, 0x5A, 0, 0}));
}

TEST_F(IecStdSections, BoolOperandHoldingTwoIsTrue) {
    // R_TRIG and F_TRIG on CLK = 2, 2, 0, 2: rising at the first and the
    // last, falling at the third; the edge memory holds 1, not the byte
    const Block rt = Make("R_TRIG", {30, 31}), ft = Make("F_TRIG", {30, 32});
    const uint8_t clk[4] = {2, 2, 0, 2};
    const int rise[4] = {1, 0, 0, 1}, fall[4] = {0, 0, 1, 0};
    for (int i = 0; i < 4; i++) {
        SetB(30, clk[i]);
        rt.Run();
        ft.Run();
        EXPECT_EQ(B(31), rise[i]) << i;
        EXPECT_EQ(B(32), fall[i]) << i;
        EXPECT_EQ(Z7Mem_Get8(rt.inst), clk[i] ? 1 : 0) << i;
        EXPECT_EQ(Z7Mem_Get8(ft.inst), clk[i] ? 1 : 0) << i;
    }
    // TON with IN = 2 and PT 100 ms: Q after 100 ms, ET 100
    SetT(5, 100);
    SetB(40, 2);
    const Block ton = Make("TON", {40, 5, 41, 6});
    Stamp(5000);
    ton.Run();
    EXPECT_EQ(B(41), 0);
    EXPECT_EQ(T(6), 0u);
    Stamp(5060);
    ton.Run();
    EXPECT_EQ(B(41), 0);
    EXPECT_EQ(T(6), 60u);
    Stamp(5100);
    ton.Run();
    EXPECT_EQ(B(41), 1);
    EXPECT_EQ(T(6), 100u);
}
}  // namespace iec_test
