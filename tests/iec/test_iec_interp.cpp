// The interpreter run for real on assembled programs: faults and the log,
// control flow, calls and the call stack, data operations and their
// substitutes, the CT register, SFC steps, program control and timers.
#include <cmath>
#include <cstring>

#include "iec/vm/z7interp.h"
#include "iec/vm/z7srv.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_asm.h"

namespace iec_test {
using test_support::IecAsm;
using test_support::IecImage;

struct IecLog {
    uint16_t code = 0, arg = 0;
    uint32_t arg32 = 0;
    bool operator==(const IecLog &o) const { return code == o.code && arg == o.arg && arg32 == o.arg32; }
};
inline std::ostream &operator<<(std::ostream &o, const IecLog &l) {
    return o << "{" << l.code << ", " << l.arg << ", " << l.arg32 << "}";
}

class IecRun : public IecTest {
protected:
    using Log = IecLog;
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7VMTic_RunPtr = Z7VMTic_Run;
    }
    static IecImage Img(std::vector<std::string> programs, std::vector<uint16_t> kinds = {}) {
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 63};
        img.steps = 7;
        img.trans = 7;
        img.active_timers = 4;
        img.programs.clear();
        for (size_t i = 0; i < programs.size(); i++)
            img.programs.push_back({IecAsm(programs[i]), uint16_t(i < kinds.size() ? kinds[i] : 0)});
        return img;
    }
    void Boot(const IecImage &img) { ASSERT_EQ(Start(img, db), 0u); }
    uint32_t Addr(uint32_t sec, uint32_t i) const { return Z7Sec_Elem(db, sec, i); }
    int32_t D(uint32_t i) const { return int32_t(Z7Mem_Get32(Addr(Z7SEC_D32, i))); }
    void SetD(uint32_t i, uint32_t v) const { Z7Mem_Put32(Addr(Z7SEC_D32, i), v); }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(Addr(Z7SEC_D8, i)); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(Addr(Z7SEC_D8, i), v); }
    uint32_t T(uint32_t i) const { return Z7Mem_Get32(Addr(Z7SEC_TIME, i)); }
    void SetT(uint32_t i, uint32_t v) const { Z7Mem_Put32(Addr(Z7SEC_TIME, i), v); }
    uint64_t L(uint32_t i) const {
        return uint64_t(Z7Mem_Get32(Addr(Z7SEC_D64, i) + 4)) << 32 | Z7Mem_Get32(Addr(Z7SEC_D64, i));
    }
    void SetL(uint32_t i, uint64_t v) const {
        Z7Mem_Put32(Addr(Z7SEC_D64, i), uint32_t(v));
        Z7Mem_Put32(Addr(Z7SEC_D64, i) + 4, uint32_t(v >> 32));
    }
    void SetR(uint32_t i, float f) const {
        uint32_t b;
        std::memcpy(&b, &f, 4);
        SetD(i, b);
    }
    float R(uint32_t i) const {
        const uint32_t b = uint32_t(D(i));
        float f;
        std::memcpy(&f, &b, 4);
        return f;
    }
    std::vector<Log> Logs() const {
        std::vector<Log> out;
        Log l;
        while (Z7VMLog_Pop(db, &l.code, &l.arg, &l.arg32)) out.push_back(l);
        return out;
    }
    void Cycle(uint32_t now) { Z7Def_Cycle(db, now, nullptr); }
    void Exec(const std::vector<uint16_t> &words) {
        const uint32_t buf = Z7Sec_Addr(db, Z7SEC_EXEC);
        for (size_t i = 0; i < words.size(); i++) Z7Mem_Put16(buf + 2 * uint32_t(i), words[i]);
        Z7Mem_Put16(buf + 2 * uint32_t(words.size()), 68);
        Z7Mem_Put16(Z7VM_Status(db) + ST_EXECLEN, uint16_t(2 * words.size()));
    }
    void TearDown() override {
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    void BreakUnderTask(const std::vector<uint16_t> &list);
};

TEST_F(IecRun, UndefinedOpcodesStopTheApplicationButOnlyEndTheCommandBuffer) {
    for (const char *op : {"OP15", "OP11", "OP119", "OP0", "OP570"}) {
        SCOPED_TRACE(op);
        Boot(Img({op, "CONST32 1 #7; END"}));
        const uint16_t before = Flags(db);
        ASSERT_EQ(before & 0xF, Z7F_RUN);
        Cycle(1000);
        const uint16_t opcode = uint16_t(test_support::IecAsm(op)[0]);
        EXPECT_EQ(Logs(), (std::vector<Log>{{8, opcode, 1 + 65536u * 2}}));
        EXPECT_EQ(Flags(db), uint16_t((before & 0xFFF0) | Z7F_STOPPED));
        EXPECT_EQ(D(1), 0) << "program 2 must not run";
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
    // in the command buffer the opcode ends only the buffer
    Boot(Img({"ADD32 1 1 2; END"}));
    SetD(2, 1);
    Exec({15, 271, 3, 0, 9});
    Cycle(1000);
    Cycle(1010);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    EXPECT_EQ(D(1), 2);
    EXPECT_EQ(D(3), 0) << "nothing after the undefined opcode runs";
    EXPECT_EQ(Logs(), (std::vector<Log>{{8, 15, 2 * 65536u}}));
    // on-line opcodes from the buffer: pause, then one cycle
    Exec({257});
    Cycle(1020);
    EXPECT_EQ(Flags(db) & Z7F_RUN, 0);
    Cycle(1030);
    EXPECT_EQ(D(1), 3);
    Exec({259});
    Cycle(1040);
    Cycle(1050);
    Cycle(1060);
    EXPECT_EQ(D(1), 4);
    Exec({258});
    Cycle(1065);
    // code that lacks operands, names a variable that does not exist or runs
    // past its end is logged and ends the buffer: the application runs on
    struct Row {
        std::vector<uint16_t> words;
        Log log;
        uint16_t int1;
    };
    const std::vector<Row> rows = {
        {{271, 3}, {8, 271, 2 * 65536u}, 0},    // 3 operand words, 2 present
        {{269, 500}, {8, 500, 2 * 65536u}, 0},  // lock of INT 500 of 64
        {{267, 1}, {8, 0, 8 * 65536u}, 68},     // the end opcode taken as the value, then past the end
        {{423, 1}, {8, 423, 2 * 65536u}, 0},    // a call: the buffer has no program to come back to
    };
    for (const Row &r : rows) {
        Z7Mem_Put16(Addr(Z7SEC_D16, 1), 0);
        const int32_t d1 = D(1);
        Exec(r.words);
        Cycle(1070);
        EXPECT_EQ(Logs(), (std::vector<Log>{r.log})) << r.words[0];
        EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN) << r.words[0];
        EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_D16, 1)), r.int1) << r.words[0];
        EXPECT_EQ(D(1), d1 + 1) << r.words[0];
        EXPECT_EQ(St16(db, ST_EXECLEN), 0) << r.words[0];
    }
    // a custom function (536) or block (537) refusing its argument types is
    // fatal even from the command buffer
    Exec({536, 5});
    Cycle(1080);
    EXPECT_EQ(Logs(), (std::vector<Log>{{8, 0, 2 * 65536u}}));
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    Boot(Img({"ADD32 1 1 2; END"}));
    SetD(4, 0);  // DINT 4 holds no complex-type offset: no instance
    Exec({537, 4});
    Cycle(1090);
    EXPECT_EQ(Logs(), (std::vector<Log>{{8, 0, 2 * 65536u}}));
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
}

TEST_F(IecRun, LoopsCycleDivisionAndCaseTables) {
    Boot(Img({
        // 1: repeat block, 1,000,000 times
        "REPEAT; ADD32 1 1 2; LOOP 3; END",
        // 2: body every third cycle
        "DIVCYC 3 0; ADD32 4 4 2; END",
        // 3: case table on DINT 5: 0 -> +1, 1 -> +10, else falls through to +100
        "CASE 5 2 &c0 &c1; ADD32 6 6 7; JMP @out; c0: ADD32 6 6 2; JMP @out; c1: ADD32 6 6 8; out: END",
        // 4: loop end without its start: DINT := 0 and go on
        "LOOP 9; ADD32 10 10 2; END",
    }));
    SetD(2, 1);
    SetD(3, 55);
    SetD(7, 100);
    SetD(8, 10);
    SetD(9, 77);
    SetD(5, uint32_t(-65535));  // low 16 bits: 1
    Cycle(1000);
    EXPECT_EQ(D(1), 1000000);
    EXPECT_EQ(D(3), 0);
    EXPECT_EQ(D(6), 10);
    EXPECT_EQ(D(9), 0);
    EXPECT_EQ(D(10), 1);
    SetD(5, 2);
    for (uint32_t k = 2; k <= 7; k++) Cycle(1000 + 10 * k);
    EXPECT_EQ(D(4), 3) << "cycles 1, 4 and 7";
    EXPECT_EQ(D(6), 10 + 6 * 100);
    EXPECT_TRUE(Logs().empty());
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

TEST_F(IecRun, NestedCallsReturnInOrderAndTheStackOverflowIsCaughtBeforeWriting) {
    // call-stack size 4: 1 -> 2 -> 3 -> 4 return in order
    auto chain = [](bool deeper) {
        IecImage img = Img({"CALL 2; MUL32 1 1 10; ADD32 1 1 11; END", "CALL 3; MUL32 1 1 10; ADD32 1 1 12; END",
                            "CALL 4; MUL32 1 1 10; ADD32 1 1 13; END",
                            deeper ? "CALL 5; END" : "MUL32 1 1 10; ADD32 1 1 14; END", "END"},
                           {0, 2, 2, 2, 2});
        img.cs_size = 4;
        return img;
    };
    Boot(chain(false));
    SetD(10, 10);
    for (uint32_t k = 1; k <= 4; k++) SetD(10 + k, k);
    Cycle(1000);
    EXPECT_EQ(D(1), 4321);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED), 0);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;

    Boot(chain(true));
    Cycle(1000);
    const std::vector<Log> logs = Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].code, 38);
    EXPECT_EQ(logs[0].arg, 5);
    EXPECT_EQ(logs[0].arg32, 4 + 65536u * 2);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
    // program 1's own slice (entries 4..7) is untouched
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    for (uint32_t e = 4; e < 8; e++) EXPECT_EQ(Z7Mem_Get32(cs + 4 * e), 0u) << e;
}

TEST_F(IecRun, WaitAndBreakInsideASubProgramResumeThereWhileOthersRunNormally) {
    IecImage img =
        Img({"CALL 3; CONST32 1 #1; END", "ADD32 2 2 9; END", "HOLD; WAIT 1; ADD32 3 3 9; BRK 7; ADD32 4 4 9; END"},
            {0, 0, 2});
    img.cs_size = 4;
    Boot(img);
    SetD(9, 1);
    Cycle(1000);
    Cycle(1010);
    EXPECT_EQ(D(1), 0) << "program 1 waits inside program 3";
    EXPECT_EQ(D(2), 2);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED), 0) << "the next program starts at depth 0";
    SetB(1, 1);
    Cycle(1020);
    EXPECT_EQ(D(1), 1);
    EXPECT_EQ(D(3), 1);
    EXPECT_EQ(D(2), 3);

    // step mode: the breakpoint in the sub-program holds program 1 there
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_STEP));
    SetD(1, 0);
    Cycle(1030);
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STEP), Z7F_STEP);
    EXPECT_EQ(St16(db, ST_BRK_PROG), 3);
    EXPECT_EQ(D(3), 2);
    EXPECT_EQ(D(4), 1);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED), 0) << "held frames are saved with program 1";
    // the workbench still reads the held call stack: depth 1, entry 0 the
    // caller at the operand word of its CALL (byte 2); the break at byte 14
    // (HOLD, WAIT 1 and ADD32 before it take 7 words)
    const uint8_t items[] = {3, 2, 0, 0, 29, 0, 1, 29, 0, 2};
    uint8_t answer[64] = {};
    ASSERT_EQ(Z7VM_ReadObjects(db, items, sizeof items, answer, sizeof answer), 24u);
    const std::vector<uint8_t> want = {3,  2, 0, 0, 0x84, 0x08, 0, 3, 0, 14,  // flags, program 3 at 14
                                       29, 0, 1, 0, 1,    0,    2,            // entry 0: program 1, byte 2
                                       29, 0, 2, 0, 0,    0,    0};           // past the depth
    EXPECT_EQ(std::vector<uint8_t>(answer, answer + 24), want);
    // run again: program 1 resumes after the breakpoint inside program 3
    Z7St_SetFlags(db, uint16_t((Flags(db) | Z7F_RUN) & ~(Z7F_STEP | Z7F_ONECYCLE)));
    Cycle(1040);
    EXPECT_EQ(D(4), 2);
    EXPECT_EQ(D(1), 1);
    EXPECT_EQ(D(3), 2);
    EXPECT_TRUE(Logs().empty());
}

// The same hold under a task list: the task finds the program that called
// the held sub-program (its frames are saved with it) and resumes there.
TEST_F(IecRun, BreakInsideASubProgramUnderATaskResumesThere) {
    // the sub-program listed too (before its caller; not active itself)
    for (const std::vector<uint16_t> &list : {std::vector<uint16_t>{1, 2}, std::vector<uint16_t>{3, 1, 2}}) {
        SCOPED_TRACE(list.size());
        BreakUnderTask(list);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
}

// A hold inside a sub-program given up through option 0x2: the caller's saved
// frames go with it, so the next cycle runs the caller from its start (the
// addition before the call runs again) instead of behind the call.
TEST_F(IecRun, AbandonedHoldInsideASubProgramRestartsItsCaller) {
    IecImage img =
        Img({"ADD32 5 5 9; CALL 3; CONST32 1 #1; END", "ADD32 2 2 9; END", "BRK 7; ADD32 4 4 9; END"}, {0, 0, 2});
    img.cs_size = 4;
    img.tasks = {{"MAIN", {1, 2}}};
    Boot(img);
    SetD(9, 1);
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_STEP));
    Cycle(1000);
    EXPECT_EQ(St16(db, ST_BRK_PROG), 3);
    EXPECT_EQ(D(5), 1);
    EXPECT_EQ(D(4), 0) << "held before the addition";
    EXPECT_EQ(D(2), 0);
    Z7St_SetFlags(db, uint16_t((Flags(db) | Z7F_RUN) & ~(Z7F_STEP | Z7F_ONECYCLE)));
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Options(db) | Z7O_ABANDON);
    Cycle(1010);
    EXPECT_EQ(St16(db, ST_BRK_PROG), 0);
    EXPECT_EQ(D(5), 2) << "program 1 starts over";
    EXPECT_EQ(D(4), 1);
    EXPECT_EQ(D(1), 1);
    EXPECT_EQ(D(2), 1);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 1) + PG_SAVED), 0);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED), 0);
    EXPECT_TRUE(Logs().empty());
}

void IecRun::BreakUnderTask(const std::vector<uint16_t> &list) {
    IecImage img = Img({"CALL 3; CONST32 1 #1; END", "ADD32 2 2 9; END", "BRK 7; ADD32 4 4 9; END"}, {0, 0, 2});
    img.cs_size = 4;
    img.tasks = {{"MAIN", list}};
    Boot(img);
    SetD(9, 1);
    Cycle(1000);
    EXPECT_EQ(D(1), 1);
    EXPECT_EQ(D(2), 1);
    EXPECT_EQ(D(4), 1);
    SetD(1, 0);
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_STEP));
    Cycle(1010);
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STEP), Z7F_STEP);
    EXPECT_EQ(St16(db, ST_BRK_PROG), 3);
    EXPECT_EQ(St16(db, ST_BRK_POS), 0);
    EXPECT_EQ(D(4), 1) << "held before the addition";
    EXPECT_EQ(D(2), 1) << "program 2 waits behind the hold";
    // run again: program 1 resumes inside program 3, then program 2 runs
    Z7St_SetFlags(db, uint16_t((Flags(db) | Z7F_RUN) & ~(Z7F_STEP | Z7F_ONECYCLE)));
    Cycle(1020);
    EXPECT_EQ(D(4), 2);
    EXPECT_EQ(D(1), 1);
    EXPECT_EQ(D(2), 2);
    EXPECT_EQ(St16(db, ST_BRK_PROG), 0);
    Cycle(1030);
    EXPECT_EQ(D(4), 3);
    EXPECT_EQ(D(2), 3);
    EXPECT_TRUE(Logs().empty());
}

TEST_F(IecRun, ArithmeticEdgesSubstitutesAndLocks) {
    Boot(
        Img({"DIV32 1 2 3; DIV32 4 5 3; DIV8 1 2 3; DIVU8 4 2 3; SUBT 1 2 3; DIVR 6 7 8; DIVL 1 2 3;"
             "DIVU64 4 5 6; GTR 10 11 12; GER 11 11 12; EQR 12 11 12; NER 13 11 12; NEG32 9 2; NOT 14 15;"
             "ADDT 5 5 6; ADDT_L 7 7 6; CONST32 11 #0x12345678; END"}));
    SetD(2, 0x80000000u);
    SetD(3, uint32_t(-1));
    SetD(5, 9);  // 32-bit 9 / 0 below: divisor index 3 is -1, so use index 5 / 3 = -9
    SetB(2, 0xFC);
    SetB(3, 2);
    SetB(15, 2);
    SetT(2, 5);
    SetT(3, 7);
    SetT(5, 4294967000u);
    SetT(6, 1000);
    SetT(7, 40);
    SetR(7, 3.0f);
    SetR(8, -0.0f);
    SetL(2, 0x4000000000000000ull);
    SetL(3, 0);
    SetL(5, 77);
    SetL(6, 0);
    SetR(11, NAN);
    SetR(12, 1.0f);
    Z7VMTic_LockVar(db, 7, 0x10);
    Cycle(1000);
    EXPECT_EQ(uint32_t(D(1)), 0x80000000u) << "-2147483648 / -1, no fault";
    EXPECT_EQ(D(4), -9);
    EXPECT_EQ(B(1), 0x7E);
    EXPECT_EQ(B(4), 0x7E);
    EXPECT_EQ(T(1), 0u);
    EXPECT_EQ(uint32_t(D(6)), 0x7CF0BDC2u);
    EXPECT_EQ(L(1), 0x7FAC7B1F3CAC7433ull);
    EXPECT_EQ(L(4), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(B(10), 0);
    EXPECT_EQ(B(11), 0);
    EXPECT_EQ(B(12), 0);
    EXPECT_EQ(B(13), 1);
    EXPECT_EQ(uint32_t(D(9)), 0x80000000u);
    EXPECT_EQ(B(14), 0);
    EXPECT_EQ(T(5), 4294968000u & 0xFFFFFFFFu) << "TIME ADD wraps at 2^32";
    EXPECT_EQ(T(7), 40u) << "the lock-tested twin skips a locked TIME";
    EXPECT_EQ(uint32_t(D(11)), 0x12345678u);
    const uint32_t pos = 1 + 65536u * 2;
    const std::vector<Log> logs = Logs();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0].code, 12);
    EXPECT_EQ(logs[0].arg, 8);
    EXPECT_EQ(logs[0].arg32, 1 + 65536u * 42);  // the word after the sixth opcode
    EXPECT_EQ(logs[1].code, 18);
    EXPECT_EQ(logs[1].arg, 3);
    EXPECT_EQ(logs[2].code, 12);
    EXPECT_EQ(logs[2].arg, 6);
    (void)pos;
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    // the plain TIME add writes a locked variable
    Exec({10, 7, 7, 6});
    Cycle(1010);
    EXPECT_EQ(T(7), 1040u);
}

TEST_F(IecRun, ConstantsThroughTheComplexTypeRegister) {
    IecImage img =
        Img({"CTSET 0 8; CONST32 0 #0x12345678; CONST32 0 #0x55555555;"
             "CTSET 0 12; CONSTT 0 #0x01020304; CONSTT 0 #0x0A0B0C0D; END"});
    img.ct_alloc = img.ct_used = 32;
    Boot(img);
    Cycle(1000);
    const uint8_t *ct = Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_CT), 32);
    EXPECT_EQ(std::vector<uint8_t>(ct + 8, ct + 12), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    // the TIME constant keeps the register: the second one overwrites the first
    EXPECT_EQ(std::vector<uint8_t>(ct + 12, ct + 16), (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(ct[16], 0);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    // a register past the segment is a computed-address fault
    Exec({533, 0, 30, 271, 0, 1, 2});
    Cycle(1010);
    Cycle(1020);
    const std::vector<Log> logs = Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].code, 32);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
}

TEST_F(IecRun, IndexesJumpsAndCopiesStayInsideTheirSections) {
    struct Case {
        const char *code;
        uint16_t log;
    };
    const Case cases[] = {
        {"ADD32 1 64 2; END", 8},        // static index past the section
        {"LDEL32 1 62 2; END", 32},      // base + DINT past the section
        {"JMP @far; END; far:", 8},      // jump to the end of the code
        {"JMPA 1; END", 8},              // odd absolute target
        {"CTCOPY 1 2 3; END", 32},       // CT offsets checked with their width
        {"ADD32 1 1", 8},                // operands past the end of the code
        {"CALL 9; END", 8},              // no such program
        {"IDXCHK 3 0 4; END", 32},       // array index check: 5 above 4
        {"OP458 1 1 3; END", 32},        // XV number + DINT past the XV table
        {"ADD32 1 1 1", 8},              // runs off the end of the code
        {"ANYPARAM 1 2 60 2; END", 32},  // ANY parameter past its section: no address 0 for the block
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        IecImage img = Img({c.code});
        img.ct_alloc = img.ct_used = 16;
        Boot(img);
        SetD(2, 5);
        SetD(1, 12);  // CT copy destination 12 + length 5 passes 16
        SetD(3, 5);
        Cycle(1000);
        const std::vector<Log> logs = Logs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].code, c.log);
        EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
    // a negative length copies nothing and is no fault
    IecImage img = Img({"CTCOPY 1 2 3; END"});
    img.ct_alloc = img.ct_used = 16;
    Boot(img);
    SetD(3, uint32_t(-4));
    Cycle(1000);
    EXPECT_TRUE(Logs().empty());
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

TEST_F(IecRun, SfcStepsChildrenAndTimers) {
    // program 1: step 1 active code advances, entry code counts entries, exit code counts exits
    // program 2 (child, kind 1): initial step 2, kill -> exit code then cleared by SFCEND
    Boot(Img({"SFCSTEP 1 @entry @exit @off; STEPT 1 1; JMP @off; entry: ADD32 1 1 9; JMP @off;"
              "exit: ADD32 2 2 9; off: END",
              "SFCINIT 0 1 2; SFCSTEP 2 @en @ex @nx; JMP @nx; en: ADD32 3 3 9; JMP @nx; ex: ADD32 4 4 9;"
              "nx: SFCEND 0",
              "TSTART 3; TSTART 4; TSTART 3; END"},
             {0, 1, 0}));
    SetD(9, 1);
    Z7Mem_Put16(Addr(Z7SEC_STEP, 1) + 8, 2);  // to be activated
    SetT(4, 86399990);
    Cycle(1000);
    EXPECT_EQ(D(1), 1) << "entry code";
    EXPECT_EQ(D(3), 1) << "the child's initial step entered";
    EXPECT_EQ(St16(db, ST_TIMERS), 2) << "a timer started twice keeps one entry";
    Cycle(1250);
    EXPECT_EQ(T(1), 250u) << "elapsed of step 1";
    EXPECT_EQ(T(4), (86399990u + 250u) % 86400000u);
    SetT(4, 86399990);
    Cycle(1270);
    EXPECT_EQ(T(4), 10u) << "a running TIME wraps at one day";
    // kill the child: its active step runs its exit code, then SFCEND clears it
    Exec({189, 2});
    Cycle(1280);
    Cycle(1290);
    EXPECT_EQ(D(4), 1);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_PROG, 2) + PG_STATE), 0);
    // the timer list: stop keeps the order, stopping an absent one changes nothing
    Z7VMTmr_StopTimer(db, Addr(Z7SEC_TIME, 3));
    Z7VMTmr_StopTimer(db, Addr(Z7SEC_TIME, 9));
    EXPECT_EQ(St16(db, ST_TIMERS), 1);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Addr(db, Z7SEC_TIMERS)), Addr(Z7SEC_TIME, 4));
    // 64-bit advance: 4,294,967,000 plus 1,000 ms
    EXPECT_EQ(Z7VMTmr_Advance(4294967000u, 5000, 6000), 61368000u);
    // across the wrap of the millisecond tick (2^32): 100 ms, and 150 ms to
    // a first cycle at the tick 0 (stamped as one day)
    EXPECT_EQ(Z7VMTmr_Advance(1000, 4294967246u, 50), 1100u);
    EXPECT_EQ(Z7VMTmr_Advance(1000, 4294967146u, 86400000u), 1150u);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    // the freed slot is zeroed; the list holds one entry less than its
    // section's 5 elements (highest index 4, plus one): a fifth running
    // timer is refused
    const uint32_t list = Z7Sec_Addr(db, Z7SEC_TIMERS);
    EXPECT_EQ(Z7Mem_Get32(list + 8), 0u);
    EXPECT_EQ(Z7Mem_Get32(list + 12), 0u);
    EXPECT_EQ(Z7VMTmr_StartTimer(db, Addr(Z7SEC_TIME, 5)), 1u);
    EXPECT_EQ(Z7VMTmr_StartTimer(db, Addr(Z7SEC_TIME, 6)), 1u);
    EXPECT_EQ(Z7VMTmr_StartTimer(db, Addr(Z7SEC_TIME, 7)), 1u);
    EXPECT_EQ(Z7VMTmr_StartTimer(db, Addr(Z7SEC_TIME, 8)), 0u);
    EXPECT_EQ(St16(db, ST_TIMERS), 4);
    EXPECT_EQ(Z7VMTmr_StartTimer(db, Addr(Z7SEC_TIME, 6)), 1u) << "running already";
    // after an on-line change every timer stops and an active step's stamp
    // becomes the cycle stamp; an inactive step keeps its own
    const uint32_t step2 = Z7Mem_Get32(Addr(Z7SEC_STEP, 2) + 4);
    Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, 5000);
    Z7VMTmr_HotRestartTimers(db);
    EXPECT_EQ(St16(db, ST_TIMERS), 0);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_STEP, 1) + 8), 1);
    EXPECT_EQ(Z7Mem_Get32(Addr(Z7SEC_STEP, 1) + 4), 5000u);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_STEP, 2) + 8), 0);
    EXPECT_EQ(Z7Mem_Get32(Addr(Z7SEC_STEP, 2) + 4), step2);
    EXPECT_NE(step2, 5000u);
    // 208 and 209 leave a locked destination alone (BOOL 30 and TIME 30
    // share lock byte 30); the free ones get step 1's state and elapsed time
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 30), 0x11);
    SetT(30, 12345);
    SetB(31, 0);
    Exec({208, 30, 1, 208, 31, 1, 209, 30, 1, 209, 31, 1});
    Cycle(5100);
    EXPECT_EQ(B(30), 0);
    EXPECT_EQ(B(31), 1);
    EXPECT_EQ(T(30), 12345u);
    EXPECT_EQ(T(31), Z7Mem_Get32(Addr(Z7SEC_STEP, 1)));
    EXPECT_NE(T(31), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;

    // killing a plain program (kind 0) ends it at once; a killed SFC child's
    // 420 marks only the listed programs that are active, then ends the child
    Boot(Img({"ADD32 1 1 9; END", "SFCEND 2 3 4", "END", "END"}, {0, 1, 1, 1}));
    SetD(9, 1);
    auto pstate = [&](uint32_t p) { return Z7Mem_Get16(Addr(Z7SEC_PROG, p) + PG_STATE); };
    Z7Mem_Put16(Addr(Z7SEC_PROG, 2) + PG_STATE, 1);
    Z7Mem_Put16(Addr(Z7SEC_PROG, 3) + PG_STATE, 1);
    Z7Mem_Put16(Addr(Z7SEC_PROG, 4) + PG_STATE, 0);
    Exec({189, 1, 189, 2});
    Cycle(1000);
    EXPECT_EQ(pstate(1), 0);
    EXPECT_EQ(pstate(2), 0x21);
    Cycle(1010);
    EXPECT_EQ(D(1), 1) << "program 1 ran once";
    EXPECT_EQ(pstate(2), 0);
    EXPECT_EQ(pstate(3), 0x21);
    EXPECT_EQ(pstate(4), 0);
}

// A chart through its transitions: step 1 to step 2 by a single-step
// transition (417, 107, 418), step 2 to the parallel steps 1 and 3 (413,
// 414, 415), steps 1 and 3 back to step 2 (413 with two upstream steps); a
// transition's break flag (541) stops the application where it fires, and
// 540 sets the break flag of every step. A child program's initial step is
// activated by 419.
TEST_F(IecRun, SfcTransitionsDivergeConvergeAndBreak) {
    auto step = [](int n) {
        const std::string k = std::to_string(n), e = std::to_string(2 * n - 1), x = std::to_string(2 * n);
        // entry code counts DINT 2n-1, exit code DINT 2n
        return "SFCSTEP " + k + " @e" + k + " @x" + k + " @n" + k + "; JMP @n" + k + "; e" + k + ": ADD32 " + e + " " +
               e + " 9; JMP @n" + k + "; x" + k + ": ADD32 " + x + " " + x + " 9; n" + k + ": ";
    };
    Boot(Img({step(1) + step(2) + step(3) +
                  "SFCTRANS1 @t1 1 1; SFCCOND 1 10; SFCMOVE 1 1 2;"
                  "t1: SFCTRANS @t2 2 1 2; SFCCOND 2 11; SFCDEACT 2 1 2; SFCACT 2 2 1 3;"
                  "t2: SFCTRANS @t3 3 2 1 3; SFCCOND 3 12; SFCDEACT 3 2 1 3; SFCACT 3 1 2; t3: END",
              "SFCINIT1 4; " + step(4) + "SFCEND 0"},
             {0, 1}));
    SetD(9, 1);
    auto state = [&](uint32_t k) { return Z7Mem_Get16(Addr(Z7SEC_STEP, k) + 8); };
    auto states = [&] { return std::vector<uint16_t>{state(1), state(2), state(3)}; };
    auto counts = [&] { return std::vector<int32_t>{D(1), D(2), D(3), D(4), D(5), D(6)}; };
    Z7Mem_Put16(Addr(Z7SEC_STEP, 1) + 8, 2);  // to be activated
    Cycle(1000);
    EXPECT_EQ(states(), (std::vector<uint16_t>{1, 0, 0}));
    EXPECT_EQ(counts(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, 1)), 0) << "condition FALSE";
    EXPECT_EQ(D(7), 1) << "the child's initial step entered";
    EXPECT_EQ(state(4), 1);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_PROG, 2) + PG_STATE), 1);
    SetB(10, 1);
    Cycle(1010);
    EXPECT_EQ(states(), (std::vector<uint16_t>{3, 2, 0}));
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, 1)), 1);
    SetB(10, 0);
    Cycle(1020);
    EXPECT_EQ(states(), (std::vector<uint16_t>{0, 1, 0}));
    EXPECT_EQ(counts(), (std::vector<int32_t>{1, 1, 1, 0, 0, 0}));
    SetB(11, 1);
    Cycle(1030);
    EXPECT_EQ(states(), (std::vector<uint16_t>{2, 3, 2}));
    SetB(11, 0);
    Cycle(1040);
    EXPECT_EQ(states(), (std::vector<uint16_t>{1, 0, 1}));
    EXPECT_EQ(counts(), (std::vector<int32_t>{2, 1, 1, 1, 1, 0}));
    // step 3 alone is not enough for the converging transition
    Z7Mem_Put16(Addr(Z7SEC_STEP, 1) + 8, 0);
    SetB(12, 1);
    Cycle(1050);
    EXPECT_EQ(states(), (std::vector<uint16_t>{0, 0, 1}));
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, 3)), 0);
    Z7Mem_Put16(Addr(Z7SEC_STEP, 1) + 8, 1);
    // transition 3's break flag: it fires, then the application halts
    Exec({541, 3, 1});
    SetB(12, 0);
    Cycle(1060);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, 3) + 2), 1);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, 2) + 2), 0);
    SetB(12, 1);
    Cycle(1070);
    EXPECT_EQ(states(), (std::vector<uint16_t>{3, 2, 3}));
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STEP), 0);
    // 540 with step 0: every step's break flag; 541 with transition 0 clears every transition's
    Exec({540, 0, 1, 541, 0, 0});
    Cycle(1080);
    for (uint32_t k = 1; k <= 7; k++) {
        EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_STEP, k) + 10), 1) << k;
        EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_TRANS, k) + 2), 0) << k;
    }
    EXPECT_TRUE(Logs().empty());
}

// The program's own state (546, 545), step state and time (547, 548),
// a transition value and break flag read by code (550, 549), the killed
// test (551), a CT address (553) and a TIME in the CT segment run and
// stopped (538, 539).
TEST_F(IecRun, ProgramStateStepTimeTransitionTestsAndCtTimers) {
    IecImage img =
        Img({"OP553 20 21; OP546 5; OP545 4 &a; ADD32 1 1 9; a: OP545 8 &b; ADD32 2 2 9; b: OP546 1;"
             "STEPTIME 1 1; OP550 1 &c; ADD32 3 3 9; c: OP551 4 &d; ADD32 5 5 9; d: OP549 2;"
             "ADD32 6 6 9; END"});
    img.ct_alloc = img.ct_used = 32;
    Boot(img);
    SetD(9, 1);
    SetD(21, 8);
    SetD(22, 4);
    Exec({547, 1, 1, 538, 22});
    Cycle(1000);
    EXPECT_EQ(uint32_t(D(20)), Z7Sec_Addr(db, Z7SEC_CT) + 8);
    EXPECT_EQ(D(1), 1) << "state 5 has 0x4";
    EXPECT_EQ(D(2), 0) << "state 5 lacks 0x8";
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_PROG, 1) + PG_STATE), 1);
    EXPECT_EQ(D(3), 0) << "transition 1 FALSE: jump";
    EXPECT_EQ(D(5), 1) << "not being killed";
    EXPECT_EQ(D(6), 1) << "no break flag";
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_STEP, 1) + 8), 1);
    EXPECT_EQ(St16(db, ST_TIMERS), 1);
    Z7Mem_Put16(Addr(Z7SEC_TRANS, 1), 1);
    Exec({539, 22});
    Cycle(1250);
    EXPECT_EQ(Z7Mem_Get32(Addr(Z7SEC_STEP, 1)), 250u) << "advanced while the flag is set";
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Addr(db, Z7SEC_CT) + 4), 250u);
    EXPECT_EQ(St16(db, ST_TIMERS), 0);
    EXPECT_EQ(D(3), 1);
    Exec({548, 1, 0});  // flag 0: elapsed 0, stamp now
    Cycle(1260);
    EXPECT_EQ(Z7Mem_Get32(Addr(Z7SEC_STEP, 1)), 0u);
    Cycle(1300);
    EXPECT_EQ(Z7Mem_Get32(Addr(Z7SEC_STEP, 1)), 40u) << "from the stamp the command set";
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Addr(db, Z7SEC_CT) + 4), 250u) << "stopped";
    // transition 2's break flag: the program's cycle ends there and the application halts
    Z7Mem_Put16(Addr(Z7SEC_TRANS, 2) + 2, 1);
    Cycle(1500);
    EXPECT_EQ(D(6), 4);
    EXPECT_EQ(D(5), 5);
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STEP), 0);
    EXPECT_TRUE(Logs().empty());
}

TEST_F(IecRun, StandardFunctionsNumericRulesAndRefusals) {
    // 285 fn N result args...
    Boot(
        Img({"STF 6 3 1 2 3; STF 6 3 4 5 6; STF 24 3 7 8 9; STF 24 3 10 11 12; STF 21 4 13 14 15 16;"
             "STF 25 6 17 18 19 20 21 22; STF 9 2 23 24; STF 7 2 25 26; STF 91 2 1 2; STF 8 2 27 28;"
             "STF 9 2 29 24; STF 6 3 30 31 32; STF 6 3 33 34 32; STF 6 3 35 36 37; STF 6 3 38 39 40; END"}));
    // large exponents settle at once (no 2^31-step loop in the scan)
    SetR(31, 1.0f);
    SetD(32, 2147483647);
    SetR(34, -1.0f);
    SetR(36, 0.5f);
    SetD(37, int32_t(-2147483647 - 1));
    SetR(39, -0.5f);
    SetD(40, 3);
    SetR(2, 2.0f);
    SetD(3, uint32_t(-2));
    SetR(5, 0.0f);
    SetD(6, uint32_t(-1));
    SetD(8, uint32_t(-7));
    SetD(9, 3);
    SetD(11, 7);
    SetD(12, 0);
    SetD(14, 10);
    SetD(15, 5);
    SetD(16, 0);
    SetD(18, uint32_t(-1));
    SetD(19, 99);
    SetR(24, -4.0f);
    SetR(26, 0.0f);
    SetB(2, 1);
    SetR(28, 90.0f);
    SetR(29, 5.0f);
    Z7VMTic_LockVar(db, 29, 0x04);
    Cycle(1000);
    EXPECT_EQ(R(1), 0.25f);
    EXPECT_TRUE(std::isinf(R(4)) && R(4) > 0);
    EXPECT_EQ(D(7), -1);
    EXPECT_EQ(D(10), -1);
    EXPECT_EQ(D(13), 10);
    EXPECT_EQ(D(17), 0);
    EXPECT_EQ(R(23), 0.0f);
    EXPECT_EQ(R(25), -1.0e37f);
    EXPECT_EQ(B(1), 0) << "USEDEGREES answers the previous mode";
    EXPECT_EQ(R(27), 1.0f);
    EXPECT_EQ(R(29), 5.0f) << "a forced result is kept";
    EXPECT_EQ(R(30), 1.0f);
    EXPECT_EQ(R(33), -1.0f);
    EXPECT_TRUE(std::isinf(R(35)) && R(35) > 0);
    EXPECT_EQ(R(38), -0.125f);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    EXPECT_TRUE(Logs().empty());
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    // an empty slot, a number past the table, too few operands: log 17 and stop
    for (const char *code : {"STF 37 2 1 2; END", "STF 222 2 1 2; END", "STF 6 2 1 2; END"}) {
        SCOPED_TRACE(code);
        Boot(Img({code, "CONST32 5 #1; END"}));
        Cycle(1000);
        const std::vector<Log> logs = Logs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].code, 17);
        EXPECT_EQ(logs[0].arg, test_support::IecAsm(code)[1]);
        EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
        EXPECT_EQ(D(5), 0);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
}

// The 32-bit masks through 285 run in the interpreter's fast tier, with and
// without a proof of the code (a jump budget leaves the code unproven); the
// results are worked out by hand from the operands.
TEST_F(IecRun, MaskCallsRunInPlaceWithTheLibrarysRules) {
    const char *code =
        "ADD32 20 20 21; STF 20 3 3 1 2; STF 28 3 5 1 2; STF 35 3 6 1 2; STF 27 2 7 1;"
        "STF 33 3 8 1 4; STF 34 3 9 10 4; STF 30 3 11 1 4; STF 31 3 12 1 4; STF 20 3 13 1 2; END";
    for (uint32_t budget : {0u, 1000u}) {
        SCOPED_TRACE(budget);
        Z7VMTic_JumpBudget = budget;
        Boot(Img({code}));
        SetD(1, 0x12345678);
        SetD(2, 0x0F0F0F0F);
        SetD(4, 4);
        SetD(10, 0x80000010);
        SetD(13, 77);
        SetD(21, 1);
        Z7VMTic_LockVar(db, 13, 0x04);
        Cycle(1000);
        EXPECT_EQ(uint32_t(D(3)), 0x02040608u);
        EXPECT_EQ(uint32_t(D(5)), 0x1F3F5F7Fu);
        EXPECT_EQ(uint32_t(D(6)), 0x1D3B5977u);
        EXPECT_EQ(uint32_t(D(7)), 0xEDCBA987u);
        EXPECT_EQ(uint32_t(D(8)), 0x23456780u);
        EXPECT_EQ(uint32_t(D(9)), 0xF8000001u) << "SHR copies the top bit in";
        EXPECT_EQ(uint32_t(D(11)), 0x23456781u);
        EXPECT_EQ(uint32_t(D(12)), 0x81234567u);
        EXPECT_EQ(D(13), 77) << "a forced result is kept";
        EXPECT_EQ(D(20), 1);
        // logical mode: SHR shifts zeros in
        Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS) | 0x200);
        Cycle(1010);
        EXPECT_EQ(uint32_t(D(9)), 0x08000001u);
        EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
        EXPECT_TRUE(Logs().empty());
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
        // too few operands for AND, or a result past the section: the library's
        // refusal, log 17 and a stop
        for (const char *refused : {"ADD32 20 20 21; STF 20 2 14 1; END", "ADD32 20 20 21; STF 28 3 64 1 2; END"}) {
            SCOPED_TRACE(refused);
            Boot(Img({refused}));
            SetD(20, 5);
            Cycle(1000);
            EXPECT_EQ(Logs(), (std::vector<Log>{{17, test_support::IecAsm(refused)[5], 0}}));
            EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
            Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
            db = 0;
        }
    }
    Z7VMTic_JumpBudget = 0;
}

// Proven code skips the checks that its proof made; what the proof cannot
// hold stays checked: a jump into the operands of an instruction runs those
// words as code, and a new image in the place of a proven one is proven anew.
TEST_F(IecRun, ProvenCodeRunsAsCheckedCodeDoes) {
    // words: 0 JMPA 6 | 2 ADD32 1 1 2 | 6 END; byte 6 is word 3, the ADD's
    // first operand 1 = NEG32 of (1, 2), then END
    Boot(Img({"JMPA 6; ADD32 1 1 2; END"}));
    SetD(1, 40);
    SetD(2, 5);
    Cycle(1000);
    EXPECT_EQ(D(1), -5);
    EXPECT_TRUE(Logs().empty());
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    // the same program shape twice, the second naming DINT 64 of 64
    Boot(Img({"ADD32 1 1 2; JMPT 1 @end; ADD32 3 3 2; end: END"}));
    SetD(2, 7);
    Cycle(1000);
    EXPECT_EQ(D(1), 7);
    EXPECT_EQ(D(3), 7);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    Boot(Img({"ADD32 1 1 2; JMPT 1 @end; ADD32 3 3 64; end: END"}));
    SetD(2, 7);
    Cycle(1000);
    EXPECT_EQ(Logs(), (std::vector<Log>{{8, 64, 1 + 65536u * 2 * 8}}));
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
    EXPECT_EQ(D(1), 7);
}

TEST_F(IecRun, MovesExternalVariablesStringsEdgesLocksAndProgramControl) {
    IecImage img =
        Img({"XVRD32 1 6; XVWR32 1 7; LOCKXV 1; OP450 1 8; XVC32 1 #0x01020304; UNLOCKXV 1;"
             "CONSTS 1 3 65 66 67; CONSTS 3 6 65 66 67 68 69 70; MOVS 2 1; GTS 9 1 3; GTS 10 3 1;"
             "RTRIG 20 21 22; LOCK32 11; LOCK32 11; CONST32_L 11 #5; ANYPARAM 12 2 3 13;"
             "CTSET 0 0; CTPUT 2 7 14; CTGET 2 15 14; PSUSPEND 2; PSTATE 16 2; PRESUME 2; PSTATE 17 2;"
             "STF 46 4 2 1 23 24; END",
             "ADD32 18 18 19; END"});
    img.str = {3, 3, 3};
    img.string_sizes = {8, 8, 4};
    img.xv_high = img.xv_used = 1;
    img.xvs = {{2, 5}};
    img.ct_alloc = img.ct_used = 16;
    Boot(img);
    SetD(5, 55);
    SetD(7, 77);
    SetD(8, 88);
    SetD(13, 4);
    SetD(14, 8);
    SetD(19, 1);
    SetB(21, 1);
    SetD(23, 2);
    SetD(24, 0x80000000u);  // MID position: the lowest DINT counts as the first character
    Cycle(1000);
    EXPECT_EQ(D(6), 55);
    EXPECT_EQ(D(5), 0x01020304) << "the locked XV kept 77 from the twin write; the constant is written";
    EXPECT_EQ(SlotBytes(db, 1), (std::vector<uint8_t>{8, 3, 'A', 'B', 'C', 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SlotBytes(db, 2), (std::vector<uint8_t>{8, 2, 'A', 'B', 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SlotBytes(db, 3), (std::vector<uint8_t>{4, 4, 'A', 'B', 'C', 'D', 0}));
    EXPECT_EQ(B(9), 0);
    EXPECT_EQ(B(10), 1);
    EXPECT_EQ(B(20), 1);
    EXPECT_EQ(B(22), 1);
    EXPECT_EQ(D(11), 0) << "a locked DINT keeps its value under the twin";
    EXPECT_EQ(St32(db, ST_LOCKED), 1u) << "locking twice counts once";
    EXPECT_EQ(uint32_t(D(12)), Z7Sec_Elem(db, Z7SEC_D32, 7));
    EXPECT_EQ(D(15), 77);
    EXPECT_EQ(D(16), 2);
    EXPECT_EQ(D(17), 1);
    EXPECT_EQ(D(18), 1);
    // no rising edge while the input stays; none in the first cycle after a change
    Cycle(1010);
    EXPECT_EQ(B(20), 0);
    SetB(21, 0);
    Cycle(1020);
    SetB(21, 1);
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Options(db) | Z7O_CHANGED);
    Cycle(1030);
    EXPECT_EQ(B(20), 0);
    EXPECT_EQ(B(22), 1);
    // unlock: the count reaches 0 and the flag goes
    Exec({274, 11, 274, 11});
    Cycle(1040);
    EXPECT_EQ(St32(db, ST_LOCKED), 0u);
    EXPECT_EQ(Flags(db) & Z7F_LOCKED, 0);
    EXPECT_TRUE(Logs().empty());
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;

    // which lock byte each twin tests: an XV write the XV number's (also
    // when computed), a store element the base's (60/62/168) or the
    // element's own (61/167), a conversion the bit of its destination type
    // (LREAL: 0x08)
    IecImage two =
        Img({"LOCKXV 1; OP450 1 8; OP476 0 9 24; OP450 2 10; OP168 30 21 22; OP168 60 21 22;"
             "OP167 40 21 22; OP167 50 21 22; OP207 3 23 13 2; OP207 4 23 13 2; END"});
    two.xv_high = two.xv_used = 2;
    two.xvs = {{2, 5}, {2, 6}};
    Boot(two);
    const std::pair<uint32_t, uint32_t> dints[] = {{5, 55}, {6, 66},   {8, 88}, {9, 99}, {10, 100},
                                                   {21, 2}, {22, 222}, {23, 7}, {24, 1}};
    for (const auto &[i, v] : dints) SetD(i, v);
    for (const uint32_t i : {30u, 40u, 52u, 62u}) Z7Mem_Put8(Addr(Z7SEC_LOCK, i), 0x04);
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 3), 0x08);
    SetL(3, 0x5A5A5A5A5A5A5A5Aull);
    Cycle(1000);
    EXPECT_EQ(D(5), 55) << "XV 1 locked: neither write through it";
    EXPECT_EQ(D(6), 100);
    EXPECT_EQ(D(32), 0) << "base 30 locked";
    EXPECT_EQ(D(62), 222) << "base 60 free, the element's own lock not tested";
    EXPECT_EQ(D(42), 222) << "element 42 free, the base's lock not tested";
    EXPECT_EQ(D(52), 0) << "element 52 locked";
    EXPECT_EQ(L(3), 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(L(4), 0x401C000000000000ull) << "7.0 as LREAL";
    EXPECT_TRUE(Logs().empty());
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;

    // a STRING constant to index 0 fills the slot at the CT register and
    // uses the register up: the second is dropped; GE of equal strings is 1;
    // a locked STRING keeps its text under 447; a STRING element and an ANY
    // parameter take their index modulo 65536; 204 with a locked output
    // still remembers its input
    IecImage three =
        Img({"CTSET 0 4; CONSTS 0 2 65 66; CONSTS 0 2 67 68; CONSTS 1 2 65 66; CONSTS 2 2 65 66;"
             "OP30 10 1 2; OP30 11 1 5; CONSTS 3 1 90; OP447 1 3; OP59 4 1 20; OP204 12 13 14;"
             "ANYPARAM 15 2 1 16; OP441 1 2 88 89; CTGET 11 7 17; CTGET 11 8 17; CTGET 5 4 18; END"});
    three.str = {5, 5, 5};
    three.string_sizes = {8, 8, 8, 8, 8};
    three.xv_high = three.xv_used = 1;
    three.xvs = {{5, 2}};
    three.ct_alloc = three.ct_used = 32;
    Boot(three);
    const uint32_t ctseg = Z7Sec_Addr(db, Z7SEC_CT);
    Z7Mem_Put8(ctseg + 4, 6);  // a slot of at most 6 characters
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 3), 0x20);
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 12), 0x01);
    SetB(12, 0);
    SetB(13, 1);
    SetB(14, 0);
    SetD(20, 65537);  // string 1 + 65537 -> 2
    SetD(16, 65538);  // DINT 1 + 65538 -> 3
    // CT items: a string slot {6, 3, "QRS"} at 16 and an INT 0x1234 at 24,
    // read into the locked INT 7 and STRING 4 and the free INT 8
    const uint8_t items[] = {6, 3, 'Q', 'R', 'S', 0, 0, 0, 0x34, 0x12};
    std::memcpy(Z7Mem_Ptr(ctseg + 16, sizeof items), items, sizeof items);
    SetD(17, 24);
    SetD(18, 16);
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 7), 0x02);
    Z7Mem_Put8(Addr(Z7SEC_LOCK, 4), 0x20);
    Cycle(1000);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(ctseg + 4, 6), Z7Mem_Ptr(ctseg + 4, 6) + 6),
              (std::vector<uint8_t>{6, 2, 'A', 'B', 0, 0}));
    EXPECT_EQ(B(10), 1) << "AB >= AB";
    EXPECT_EQ(B(11), 1) << "AB >= the empty string 5";
    EXPECT_EQ(SlotBytes(db, 3), (std::vector<uint8_t>{8, 1, 'Z', 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SlotBytes(db, 4), (std::vector<uint8_t>{8, 2, 'A', 'B', 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(B(12), 0);
    EXPECT_EQ(B(14), 1);
    EXPECT_EQ(uint32_t(D(15)), Addr(Z7SEC_D32, 3));
    EXPECT_EQ(SlotBytes(db, 2), (std::vector<uint8_t>{8, 2, 'X', 'Y', 0, 0, 0, 0, 0, 0, 0})) << "441 through XV 1";
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_D16, 7)), 0u);
    EXPECT_EQ(Z7Mem_Get16(Addr(Z7SEC_D16, 8)), 0x1234u);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    EXPECT_TRUE(Logs().empty());
}

}  // namespace iec_test
