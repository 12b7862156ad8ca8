// Block registries and linking (unresolved names, unknown instance classes,
// the external library) and the blocks built in the VM: CTUR, CTUDR, PID,
// driven through the block-call opcode.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "iec/vm/z7interp.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_asm.h"

namespace iec_test {
using test_support::IecAsm;
using test_support::IecImage;

class IecBlocks : public IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7VMTic_RunPtr = Z7VMTic_Run;
    }
    void TearDown() override {
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        Z7Bdll_CloseDynaLinks();
        IecTest::TearDown();
    }
    // Starts img, whose first cycle must stop it before any program runs (an
    // unresolved name, when given, is the first one recorded); stops it after.
    void ExpectFirstCycleStops(const IecImage &img, const char *unresolved = nullptr) {
        ASSERT_EQ(Start(img, db), 0u);
        if (unresolved != nullptr) {
            EXPECT_EQ(Unresolved(0), unresolved);
        }
        Z7Def_Cycle(db, 1000, nullptr);
        EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
        EXPECT_EQ(D(4), 0);
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        db = 0;
    }
    static IecImage Img(const std::string &code) {
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
        img.programs = {{IecAsm(code), 0}};
        return img;
    }
    uint32_t A32(uint32_t i) const { return Z7Sec_Elem(db, Z7SEC_D32, i); }
    int32_t D(uint32_t i) const { return int32_t(Z7Mem_Get32(A32(i))); }
    void SetD(uint32_t i, int32_t v) const { Z7Mem_Put32(A32(i), uint32_t(v)); }
    void SetR(uint32_t i, float f) const {
        uint32_t b;
        std::memcpy(&b, &f, 4);
        Z7Mem_Put32(A32(i), b);
    }
    uint32_t RBits(uint32_t i) const { return Z7Mem_Get32(A32(i)); }
    float R(uint32_t i) const {
        const uint32_t b = RBits(i);
        float f;
        std::memcpy(&f, &b, 4);
        return f;
    }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, i)); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); }
    std::string Unresolved(uint32_t k) const {
        const uint32_t a = Z7VMLog_GetUnresolved(db, k);
        return a ? std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(a, 16))) : std::string("<none>");
    }
};

TEST_F(IecBlocks, RegistryRowsLinkingAndUnresolvedNames) {
    EXPECT_STREQ(Z7Blocks_GetName(0), "TXBMANAGER");
    EXPECT_STREQ(Z7Blocks_GetName(57), "PID");
    EXPECT_STREQ(Z7Blocks_GetName(60), "CTUDR");
    EXPECT_STREQ(Z7Blocks_GetName(202), "CTD");
    EXPECT_STREQ(Z7Blocks_GetName(203), "");  // the empty row that ends the table
    EXPECT_STREQ(Z7Blocks_GetName(204), nullptr);
    EXPECT_EQ(Z7Blocks_Find("SUNPOS"), 188u);
    // rows of blocks built elsewhere are skipped by the walk
    EXPECT_EQ(Z7Blocks_GetFirstID(), 51u);
    EXPECT_EQ(Z7Blocks_GetNextID(60), 0u);
    EXPECT_EQ(Z7Blocks_GetProc(61), nullptr);
    // 46 standard blocks built here, then the 10 rows of the controller registry
    EXPECT_EQ(Z7VMFbl_GetNbClass(0), 56u);

    IecImage img = Img("FB 1 5 1 2 1 3 2; END");
    img.classes = {{5, 1, "CTUR"}, {6, 1, "NOSUCHBLK"}, {7, 1, "ABCDEFGHIJKLMNOP"}, {8, 0, "NOTNEEDED"}};
    img.instances = {{0, 5, 0x1234}};
    ASSERT_EQ(Start(img, db), 0u);
    EXPECT_EQ(St16(db, ST_UNRESCOUNT), 2);
    EXPECT_EQ(Unresolved(0), "NOSUCHBLK");
    EXPECT_EQ(Unresolved(1), "ABCDEFGHIJKLM..");
    EXPECT_EQ(Flags(db) & Z7F_STOPREQ, 0) << "a missing class alone does not stop the application";
    EXPECT_EQ(Z7VMFbl_GetInstanceCount(db, "CTUR"), 1u);
    EXPECT_EQ(Z7VMFbl_GetInstanceCount(db, "PID"), 0u);
    const uint32_t inst = Z7Sec_Elem(db, Z7SEC_INST, 1);
    EXPECT_EQ(Z7Mem_Get32(inst + 16), 0x1234u);
    EXPECT_NE(Z7Mem_Get32(inst + 12), 0u) << "instance data in section 15";
    Z7Def_Cycle(db, 1000, nullptr);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;

    // an instance of an unknown class: the first cycle stops, no program runs
    img = Img("CONST32 4 #1; END");
    img.classes = {{6, 1, "NOSUCHBLK"}};
    img.instances = {{0, 6, 0}};
    ExpectFirstCycleStops(img);

    // a standard-flagged instance is sized through the standard registry (the
    // block of class number 5 is F_TRIG) but linked by class number to CTUR,
    // which answers another class number: it counts as not found
    img = Img("CONST32 4 #1; END");
    img.classes = {{5, 1, "CTUR"}};
    img.instances = {{1, 5, 0}};
    ExpectFirstCycleStops(img);

    // an unknown custom function: recorded, stop requested
    img = Img("CONST32 4 #1; END");
    img.cfuncs = {"NOFUNC"};
    ExpectFirstCycleStops(img, "NOFUNC");
}

// Opcode 535 calls the instance whose number the complex-type segment holds
// at the offset in a DINT, as 287 would; a number naming no instance stops
// the application with a trace and no log entry.
TEST_F(IecBlocks, BlockCallThroughTheComplexTypeSegment) {
    IecImage img = Img("OP535 3 5 1 2 1 3 2; END");
    img.classes = {{5, 1, "CTUR"}};
    img.instances = {{0, 5, 0}};
    img.ct_alloc = img.ct_used = 16;
    img.ct_pieces = {{8, {1, 0}}};  // instance 1 at byte 8
    img.init32 = {{3, 8}, {1, 2}};  // DINT 3: the offset; DINT 1: PV 2
    ASSERT_EQ(Start(img, db), 0u);
    // CTUR: CU BOOL 1, RESET BOOL 2, PV DINT 1; Q BOOL 3, CV DINT 2
    for (const auto &[t, cu, cv, q] : std::vector<std::tuple<uint32_t, uint8_t, int32_t, uint8_t>>{
             {1000, 1, 1, 0}, {1010, 0, 1, 0}, {1020, 1, 2, 1}}) {
        SetB(1, cu);
        Z7Def_Cycle(db, t, nullptr);
        EXPECT_EQ(D(2), cv) << t;
        EXPECT_EQ(B(3), q) << t;
    }
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    // instance 7 does not exist
    Z7Mem_Put16(Z7Sec_Addr(db, Z7SEC_CT) + 8, 7);
    testing::internal::CaptureStdout();
    Z7Def_Cycle(db, 1030, nullptr);
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_NE(trace.find("Invalid FB index encoutered: 7"), std::string::npos) << trace;
    EXPECT_EQ(Flags(db) & 0xF, Z7F_STOPPED);
    uint16_t code = 0, arg = 0;
    uint32_t arg32 = 0;
    EXPECT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 0u) << "no log entry";
}

// Opcode 286 calls a custom function's handler with command 0, no class or
// instance data and the address of the word after N, and goes on after the
// N + 1 words; 536 asks the same handler with command 9 and goes on when it
// answers non-zero. The handler stands in for a row of the controller's
// library.
namespace {
struct CfCall {
    uint32_t cmd, db, cls, inst;
    uint16_t w0, w1, w2;
};
std::vector<CfCall> cf_calls;
uint32_t CfRecorder(uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg) {
    cf_calls.push_back({cmd, db, cls, inst, uint16_t(Z7Mem_Get16(arg)), uint16_t(Z7Mem_Get16(arg + 2)),
                        uint16_t(Z7Mem_Get16(arg + 4))});
    return cmd == FB_AVAIL ? 1 : 0;
}
uint32_t cf_row = 0;
FbHandler CfLib(uint32_t id) { return id == cf_row ? CfRecorder : nullptr; }
}  // namespace

TEST_F(IecBlocks, CustomFunctionCallsItsHandlerWithTheWordsAfterN) {
    cf_row = 0;
    for (uint32_t k = 1; Z7Blocks_GetName(k) != nullptr && Z7Blocks_GetName(k)[0]; k++)
        if (std::strcmp(Z7Blocks_GetName(k), "TXBGETLENGTH") == 0) cf_row = k;
    ASSERT_NE(cf_row, 0u);
    struct LibProcBack {
        FbHandler (*const saved)(uint32_t) = Z7Blocks_LibProc;
        ~LibProcBack() { Z7Blocks_LibProc = saved; }
    } back;
    Z7Blocks_LibProc = CfLib;
    IecImage img = Img("OP536 1; CFN 1 2 7 8 9; ADD32 4 4 5; END");
    img.cfuncs = {"TXBGETLENGTH"};
    ASSERT_EQ(Start(img, db), 0u);
    cf_calls.clear();  // the calls of the cycle alone
    SetD(5, 1);
    Z7Def_Cycle(db, 1000, nullptr);
    ASSERT_EQ(cf_calls.size(), 2u);
    EXPECT_EQ(cf_calls[0].cmd, uint32_t(FB_AVAIL));
    EXPECT_EQ(cf_calls[1].cmd, uint32_t(FB_EXEC));
    EXPECT_EQ(cf_calls[1].db, db);
    EXPECT_EQ(cf_calls[1].cls, 0u);
    EXPECT_EQ(cf_calls[1].inst, 0u);
    EXPECT_EQ(cf_calls[1].w0, 7);
    EXPECT_EQ(cf_calls[1].w1, 8);
    EXPECT_EQ(cf_calls[1].w2, 9);
    EXPECT_EQ(D(4), 1) << "the code after the N + 1 words ran";
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

TEST_F(IecBlocks, ExternalLibraryIsLoadedOnlyWhenItSaysItIsValid) {
    const std::string dir = IEC_BLOCKLIB_DIR;
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(root.path());
    std::filesystem::copy_file(dir + "/libz7blocks_novalid.so", "libz7blocks.so");
    EXPECT_EQ(Z7Bdll_OpenDynaLinks(), 0u);
    EXPECT_EQ(Z7VMFbl_GetNbClass(0), 56u);
    std::filesystem::copy_file(dir + "/libz7blocks_valid.so", "libz7blocks.so",
                               std::filesystem::copy_options::overwrite_existing);
    // the driver kit's links open before the library and close after it
    static std::vector<std::string> links;
    links.clear();
    const Z7Services saved = z7_services;
    z7_services.Z7DDKC_OpenLinks = []() -> uint32_t {
        links.push_back(Z7Bdll_StartEnumerate() ? "open after the library" : "open");
        return 0;
    };
    z7_services.Z7DDKC_CloseLinks = [] {
        links.push_back(Z7Bdll_StartEnumerate() ? "close" : "close after the library");
    };
    EXPECT_EQ(Z7VM_OpenDynaLinks(), 1u);
    std::filesystem::current_path(here);
    EXPECT_STREQ(Z7Bdll_GetName(1), "EXTINC");
    EXPECT_NE(Z7Bdll_GetProc(1), nullptr);
    // a library name of 16 characters or more is skipped
    EXPECT_EQ(Z7VMFbl_GetNbClass(0), 57u);

    IecImage img = Img("FB 1 1 3; END");
    img.classes = {{9, 1, "EXTINC"}};
    img.instances = {{0, 9, 0}};
    ASSERT_EQ(Start(img, db), 0u);
    EXPECT_EQ(St16(db, ST_UNRESCOUNT), 0);
    EXPECT_EQ(Z7VMFbl_GetInstanceCount(db, "EXTINC"), 1u);
    Z7Def_Cycle(db, 1000, nullptr);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    Z7VM_CloseDynaLinks(1);
    Z7VM_CloseDynaLinks(0);  // no library: the links close all the same
    EXPECT_EQ(links, (std::vector<std::string>{"open", "close after the library", "close after the library"}));
    z7_services = saved;
}

TEST_F(IecBlocks, CountersWithResetCountOnEdges) {
    // CTUR: CU 1, RESET 2, PV D1, Q 3, CV D2;
    // CTUDR: CU 4, CD 5, RESET 6, LOAD 7, PV D3, QU 8, QD 9, CV D4
    IecImage img = Img("FB 1 5 1 2 1 3 2; FB 2 8 4 5 6 7 3 8 9 4; FB 1 4 1 2 1 3; END");
    img.classes = {{5, 1, "CTUR"}, {6, 1, "CTUDR"}};
    img.instances = {{0, 5, 0}, {0, 6, 0}};
    ASSERT_EQ(Start(img, db), 0u);
    SetD(1, 3);
    SetD(3, 5);
    uint32_t now = 1000;
    auto cycle = [&] { Z7Def_Cycle(db, now += 10, nullptr); };
    // the third call (N 4) is refused by the handler: CTUR counts once per cycle
    for (int k = 0; k < 4; k++) {
        SetB(1, 1);
        cycle();
        SetB(1, 0);
        cycle();
    }
    EXPECT_EQ(D(2), 3);
    EXPECT_EQ(B(3), 1);
    // RESET edge together with a CU edge: cleared, the CU edge ignored
    SetB(1, 1);
    SetB(2, 1);
    cycle();
    EXPECT_EQ(D(2), 0);
    EXPECT_EQ(B(3), 0);
    // RESET held: CU counts again
    SetB(1, 0);
    cycle();
    SetB(1, 1);
    cycle();
    EXPECT_EQ(D(2), 1);
    // CTUDR: RESET, LOAD and CU rising together give 0
    SetB(4, 1);
    SetB(6, 1);
    SetB(7, 1);
    cycle();
    EXPECT_EQ(D(4), 0);
    EXPECT_EQ(B(8), 0);
    EXPECT_EQ(B(9), 1);
    // LOAD alone loads PV; CD counts down
    SetB(4, 0);
    SetB(6, 0);
    SetB(7, 0);
    cycle();
    SetB(7, 1);
    cycle();
    EXPECT_EQ(D(4), 5);
    EXPECT_EQ(B(8), 1);
    SetB(5, 1);
    cycle();
    EXPECT_EQ(D(4), 4);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

TEST_F(IecBlocks, CtdrLoadsCountsDownAndSetsQBelowOne) {
    // CTDR: CD 1, LOAD 2, PV D1, Q 3, CV D2
    IecImage img = Img("FB 1 5 1 2 1 3 2; END");
    img.classes = {{5, 1, "CTDR"}};
    img.instances = {{0, 5, 0}};
    ASSERT_EQ(Start(img, db), 0u);
    SetD(1, 3);
    uint32_t now = 1000;
    auto cycle = [&] { Z7Def_Cycle(db, now += 10, nullptr); };
    cycle();
    EXPECT_EQ(D(2), 0);
    EXPECT_EQ(B(3), 1) << "CV 0 is below 1";
    // LOAD edge: CV := PV = 3, Q off; a CD edge in the same call is ignored
    SetB(1, 1);
    SetB(2, 1);
    cycle();
    EXPECT_EQ(D(2), 3);
    EXPECT_EQ(B(3), 0);
    // each CD edge takes one off; Q stays off at 2 and 1 (compared with 1, not with PV)
    const int32_t cv[] = {2, 1, 0, 0};
    const uint8_t q[] = {0, 0, 1, 1};
    SetB(2, 0);
    for (int k = 0; k < 4; k++) {
        SetB(1, 0);
        cycle();
        SetB(1, 1);
        cycle();
        EXPECT_EQ(D(2), cv[k]) << "edge " << k;
        EXPECT_EQ(B(3), q[k]) << "edge " << k;
    }
    // CD held high: no further edge, nothing changes; LOAD held high loads once
    SetB(2, 1);
    cycle();
    cycle();
    EXPECT_EQ(D(2), 3);
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

TEST_F(IecBlocks, PidSamplesIntegratesAndClamps) {
    // operands: AUTO b1, PV r1, SP r2, MAN r3, KP r4, TI r5, TD r6, TS t1, LO r7, HI r8, IEN b2, IHOLD b3,
    // IPRE b4, IVAL r9, BAND r10, BIAS r11, OUT r12, ERR r13, P r14, I r15, D r16, QHI b5, QLO b6
    IecImage img = Img("FB 1 23 1 1 2 3 4 5 6 1 7 8 2 3 4 9 10 11 12 13 14 15 16 5 6; END");
    img.classes = {{3, 1, "PID"}};
    img.instances = {{0, 3, 0}};
    ASSERT_EQ(Start(img, db), 0u);
    SetB(1, 1);
    SetR(1, 40.0f);
    SetR(2, 50.0f);
    SetR(4, 2.0f);
    SetR(5, 10.0f);
    SetR(6, 0.0f);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_TIME, 1), 100);
    SetR(7, 0.0f);
    SetR(8, 100.0f);
    SetB(2, 1);
    SetR(10, -1.0f);
    Z7Def_Cycle(db, 1000, nullptr);
    EXPECT_EQ(RBits(12), 0u) << "the first call only takes the stamp";
    Z7Def_Cycle(db, 1100, nullptr);
    EXPECT_EQ(RBits(12), 0x41A1999Au);
    EXPECT_EQ(R(13), 10.0f);
    EXPECT_EQ(R(14), 20.0f);
    EXPECT_FLOAT_EQ(R(15), 0.2f);
    Z7Def_Cycle(db, 1150, nullptr);
    EXPECT_EQ(RBits(12), 0x41A1999Au) << "below the sample period nothing is written";
    Z7Def_Cycle(db, 1200, nullptr);
    EXPECT_FLOAT_EQ(R(12), 20.4f);
    // KP 20: clamped at the high limit, the integral holds while limited
    SetR(4, 20.0f);
    Z7Def_Cycle(db, 1300, nullptr);
    EXPECT_EQ(R(12), 100.0f);
    EXPECT_EQ(B(5), 1);
    EXPECT_EQ(B(6), 0);
    const float held = R(15);
    EXPECT_FLOAT_EQ(held, 2.4f);
    Z7Def_Cycle(db, 1400, nullptr);
    EXPECT_EQ(R(15), held);
    // KP 2 again: the limit is left, then the integral moves 0.2 per sample
    SetR(4, 2.0f);
    Z7Def_Cycle(db, 1500, nullptr);
    Z7Def_Cycle(db, 1600, nullptr);
    EXPECT_FLOAT_EQ(R(15), 2.6f);
    EXPECT_FLOAT_EQ(R(12), 22.6f);
    // command 8 (an on-line change at 60000) restarts it: the first call
    // after it only takes the stamp, the pause is not integrated
    Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, 60000);
    Z7VMFbl_InitNewInstances(db, 1);
    Z7Def_Cycle(db, 60000, nullptr);
    EXPECT_FLOAT_EQ(R(12), 22.6f);
    Z7Def_Cycle(db, 60100, nullptr);
    EXPECT_FLOAT_EQ(R(15), 2.8f);
    EXPECT_FLOAT_EQ(R(12), 22.8f);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

// The PID's sample time across the wrap of the runtime's millisecond tick
// (2^32 ms): each 100 ms sample adds 0.2 to the integral (KP 2, TI 10 s,
// error 10), the one that spans the wrap as well.
TEST_F(IecBlocks, PidSamplesAcrossTheWrapOfTheMillisecondTick) {
    IecImage img = Img("FB 1 23 1 1 2 3 4 5 6 1 7 8 2 3 4 9 10 11 12 13 14 15 16 5 6; END");
    img.classes = {{3, 1, "PID"}};
    img.instances = {{0, 3, 0}};
    ASSERT_EQ(Start(img, db), 0u);
    SetB(1, 1);
    SetR(1, 40.0f);
    SetR(2, 50.0f);
    SetR(4, 2.0f);
    SetR(5, 10.0f);
    SetR(6, 0.0f);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_TIME, 1), 100);
    SetR(7, 0.0f);
    SetR(8, 100.0f);
    SetB(2, 1);
    SetR(10, -1.0f);
    Z7Def_Cycle(db, 4294967096u, nullptr);
    EXPECT_EQ(RBits(12), 0u) << "the first call only takes the stamp";
    Z7Def_Cycle(db, 4294967196u, nullptr);
    EXPECT_FLOAT_EQ(R(15), 0.2f);
    EXPECT_EQ(RBits(12), 0x41A1999Au);  // 20.2
    Z7Def_Cycle(db, 4294967250u, nullptr);
    EXPECT_EQ(RBits(12), 0x41A1999Au) << "below the sample period nothing is written";
    Z7Def_Cycle(db, 0, nullptr);  // 2^32: 100 ms after the last sample
    EXPECT_FLOAT_EQ(R(15), 0.4f);
    EXPECT_FLOAT_EQ(R(12), 20.4f);
    EXPECT_EQ(B(5), 0);
    Z7Def_Cycle(db, 100, nullptr);
    EXPECT_FLOAT_EQ(R(15), 0.6f);
    EXPECT_FLOAT_EQ(R(12), 20.6f);
    Z7Def_Cycle(db, 200, nullptr);
    EXPECT_FLOAT_EQ(R(15), 0.8f);
    EXPECT_FLOAT_EQ(R(12), 20.8f);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
}

}  // namespace iec_test
