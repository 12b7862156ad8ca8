// Workbench VM requests on a built "VMS" application: connect, object reads,
// on-line code, subscriptions and memory polls, answered byte for byte; the
// on-line change and hot-restart check and rebuild; the saved-image check.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7srv.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_vms.h"

namespace {
using Bytes = std::vector<uint8_t>;
using test_support::VmsImage;

Bytes Hex(const std::string &h) {
    Bytes b;
    std::string d;
    for (char c : h)
        if (c != ' ') d += c;
    for (size_t i = 0; i + 1 < d.size(); i += 2) b.push_back(uint8_t(std::stoul(d.substr(i, 2), nullptr, 16)));
    return b;
}
Bytes Text(const char *s, bool nul) {
    Bytes b(s, s + std::strlen(s));
    if (nul) b.push_back(0);
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class VmRequests : public iec_test::IecTest {
protected:
    uint32_t db = 0, code = 0;
    void SetUp() override {
        IecTest::SetUp();
        Z7VMTic_RunPtr = Z7VMTic_Run;
        Z7Svc_InstallVMHooks();
    }
    void StartVms(const std::string &variant = "") {
        code = Load(VmsImage(variant));
        ASSERT_EQ(Create(code, db), 0u);
        ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    }
    // A request {echo 5C, code, L, data} served; the whole answer.
    Bytes Ask(uint32_t d, uint8_t req_code, const Bytes &data, int l = -1) {
        Bytes req{0x5C, req_code, 0, 0};
        const uint32_t L = l < 0 ? uint32_t(data.size()) : uint32_t(l);
        req[2] = uint8_t(L >> 8);
        req[3] = uint8_t(L);
        req.insert(req.end(), data.begin(), data.end());
        Bytes ans(Z7VM_ANSWER_MAX + 16, 0xCC);
        const uint32_t n = Z7VM_Serve(d, req.data(), uint32_t(req.size()), ans.data());
        EXPECT_LE(n, Z7VM_ANSWER_MAX);
        EXPECT_EQ(ans[Z7VM_ANSWER_MAX], 0xCC) << "answer passed its buffer";
        ans.resize(n);
        return ans;
    }
    void Cycle(uint32_t now) { Z7VM_Cycle(db, now); }
};

TEST_F(VmRequests, AnswersByteForByte) {
    StartVms();
    const Bytes runtime = Cat({Hex("32"), Text("Z7 Multithreaded VM under LINUX (no RT extension)", true)});
    struct Row {
        const char *what;
        uint8_t code;
        Bytes data;
        Bytes answer;
        int l = -1;
    };
    const std::vector<Row> rows = {
        {"connect without password", 1, {}, Hex("5C FF 0006 2328 00000000")},
        {"connect with password", 1, Hex("00C0FFEE"), Hex("5C 00 0006 2328 00000000")},
        {"connect, wrong password", 1, Hex("00C0FFEF"), Hex("5C FF 0006 2328 00000000")},
        {"code 0", 0, {}, Hex("5C FF 0000")},
        {"code 9", 9, {}, Hex("5C FF 0000")},
        {"status objects", 2, Hex("08 000004 030000 010000 040000 050000 060000 060001 000007"),
         Cat({Hex("5C 00 006A 08 000004 0400090101 030000 2E585449 010000 03564D5300 040000 11223344"
                  "050000 55667788 060000 000004D2 060001 0A0B0C0D 000007"),
              runtime})},
        {"flags", 2, Hex("01 020000"), Hex("5C 00 0006 01 020000 8401")},
        {"variables", 2, Hex("06 090002 0A0005 0B0003 0C0001 0D0001 0E0001"),
         Hex("5C 00 0030 06 090002 005A 0A0005 00BEEF 0B0003 00FFFFFFFE 0C0001 000102030405060708"
             "0D0001 0005265BFF 0E0001 0002414200")},
        {"type 8 after a good item", 2, Hex("02 030000 080000"), Hex("5C FF 0000")},
        {"descriptions continue", 2, Hex("01 1C0000"),
         Cat({Hex("5C 00 0054 04 1C0000 000B 0001 0000 0001 0001 07"), Text("Counter", true),
              Hex("1C0001 0002 0001 0000 0001 0001 05"), Text("Total", true), Hex("1C0002 0005 0001 0008 0001 0001 05"),
              Text("Label", true), Hex("1C0003 000B 0005 0000 0001 0001 06"), Text("Const5", true)})},
        {"description without symbol", 2, Hex("01 1C0004"), Hex("5C 00 0010 01 1C0004 000B 0006 0000 0001 0002 0000")},
        {"description past the map", 2, Hex("01 1C0005"), Hex("5C 00 0010 01 1C0005 000000000000000000000000")},
        {"description far past the map", 2, Hex("02 1C7FFF 0A0001"),
         Hex("5C 00 0016 02 1C7FFF 000000000000000000000000 0A0001 00 0000")},
        {"runtime info 4", 2, Hex("01 000004"), Hex("5C 00 0009 01 000004 04 00090101")},
        {"runtime info 1", 2, Hex("01 000001"), Hex("5C 00 0009 01 000001 04 80000004")},
        {"INT past its section", 2, Hex("01 0A0010"), Hex("5C FF 0000")},
        {"STRING without slot", 2, Hex("01 0E0002"), Hex("5C FF 0000")},
        {"unbound XV", 2, Hex("01 140001"), Hex("5C FF 0000")},
        // slot 0 of the program table is no program: its state reads 0
        {"program 0", 2, Hex("01 0F0000"), Hex("5C 00 0006 01 0F0000 0000")},
        {"program 1", 2, Hex("01 0F0001"), Hex("5C 00 0006 01 0F0001 0001")},
        {"SFC step without steps", 2, Hex("01 120001"), Hex("5C FF 0000")},
        {"complex-type prefix without segment", 2, Hex("01 1F0B00000010"), Hex("5C FF 0000")},
        {"break info, no breakpoint", 2, Hex("01 1D0080"), Hex("5C 00 0008 01 1D0080 00000000")},
        {"item cut by L", 2, Hex("02 090002 0A"), Hex("5C FF 0000")},
        {"poll", 8, Hex("07 0000000A 0002 000004D2"), Hex("5C 00 000A 00 07 0000000A 0002 EFBE")},
        {"poll, other build", 8, Hex("07 0000000A 0002 000004D3"), Hex("5C 00 0001 46")},
        {"poll area 40", 8, Hex("28 00000000 0002 000004D2"), Hex("5C 00 0001 06")},
        {"poll 1001 bytes", 8, Hex("FF 00000000 03E9 000004D2"), Hex("5C 00 0001 06")},
        {"poll up to the end of its area", 8, Hex("07 0000001E 0002 000004D2"),
         Hex("5C 00 000A 00 07 0000001E 0002 0000")},
        {"poll past its area", 8, Hex("07 0000001E 0004 000004D2"), Hex("5C 00 0001 06")},
        {"poll offset wraps", 8, Hex("07 FFFFFFFF 0002 000004D2"), Hex("5C 00 0001 06")},
        {"poll cut", 8, Hex("07 0000000A 0002 0000"), Hex("5C FF 0000")},
        // area 254: the image from the offset at byte 24 of its initial-value
        // block (here the string sizes {8}, padded, then an empty list)
        {"poll area 254", 8, Hex("FE 00000000 0006 000004D2"), Hex("5C 00 000E 00 FE 00000000 0006 0800 0000 0000")},
        {"poll area 255 past the database", 8, Hex("FF 00018690 0002 000004D2"), Hex("5C 00 0001 06")},
        {"L above the frame", 2, Hex("01 090002"), Hex("5C FF 0000"), 5},
        {"odd execute", 3, Hex("010B00"), Hex("5C FF 0000")},
    };
    for (const Row &r : rows) EXPECT_EQ(Ask(db, r.code, r.data, r.l), r.answer) << r.what;
    // area 255 from the database's first byte: section 0's address, right
    // behind the 640-byte descriptor table (little-endian, as stored)
    const uint32_t s0 = db + 640;
    EXPECT_EQ(Ask(db, 8, Hex("FF 00000000 0004 000004D2")),
              Cat({Hex("5C 00 000C 00 FF 00000000 0004"),
                   {uint8_t(s0), uint8_t(s0 >> 8), uint8_t(s0 >> 16), uint8_t(s0 >> 24)}}));
    // breakpoint entries: kind 1 as set, a trace point (kind 3) with bit 15,
    // a one-shot (kind 2) as a call-stack index: four zero bytes at depth 0
    const uint32_t bps = Z7VM_Status(db) + ST_BREAKPOINTS;
    const uint16_t entries[3][3] = {{1, 0x0008, 1}, {2, 0x0010, 3}, {1, 0x0006, 2}};
    for (uint32_t e = 0; e < 3; e++)
        for (uint32_t w = 0; w < 3; w++) Z7Mem_Put16(bps + 8 * (3 + e) + 2 * w, entries[e][w]);
    EXPECT_EQ(Ask(db, 2, Hex("03 1D0083 1D0084 1D0085")),
              Hex("5C 00 0016 03 1D0083 00010008 1D0084 80020010 1D0085 00000000"));
    std::memset(Z7Mem_Ptr(bps + 24, 24), 0, 24);
    // without an application
    EXPECT_EQ(Ask(0, 1, {}), Hex("5C 00 0006 2328 00000000"));
    EXPECT_EQ(Ask(0, 8, Hex("07 0000000A 0002 000004D2")), Hex("5C 00 0001 45"));
    EXPECT_EQ(Ask(0, 4, Hex("01 0B0006 0001 00")), Hex("5C FF 0000"));
    EXPECT_EQ(Ask(0, 2, Hex("01 020000")), Hex("5C 00 0006 01 020000 0000"));
    // the block-name enumeration ends with n = 0 and starts again
    Bytes first = Ask(db, 2, Hex("01 000005"));
    ASSERT_GT(first.size(), 9u);
    for (int i = 0; i < 400; i++) {
        const Bytes next = Ask(db, 2, Hex("01 000006"));
        ASSERT_EQ(next.size(), 9u + (next.size() > 9 ? next[8] : 0));
        if (next[8] == 0) break;
    }
    EXPECT_EQ(Ask(db, 2, Hex("01 000006")), Hex("5C 00 0005 01 000006 00"));
    EXPECT_EQ(Ask(db, 2, Hex("01 000005")), first);
}

// Type 29 below the current depth answers the call-stack entry with its
// return offset less 2 (the call's operand word); types 18 and 33 read a
// step's active and break bytes, 33 also its elapsed time.
// A channel's VM request served with the event port given by the caller: the
// connect answer carries it; without a question the channel gets code 1.
TEST_F(VmRequests, ServedFromAChannelWithTheCallersEventPort) {
    static Z7CSData cs;
    cs = {};
    Z7CSChannel &c = cs.ch[0];
    c.number = 1;
    c.flags = Z7CH_USED | Z7CH_SOCKET | Z7CH_QUESTION;
    const Bytes q = Hex("5A 37 00 05 01 5C 01 00 00");
    std::copy(q.begin(), q.end(), c.rx.begin());
    c.received = uint16_t(q.size());
    Z7Def_ServeVMRequestEx(&cs, 0, 1, 0x1234);
    EXPECT_EQ(Bytes(c.tx.begin(), c.tx.begin() + 15), Hex("5A 37 00 0B 01 5C 00 00 06 12 34 00 00 00 00"));
    static Z7CSData idle;
    idle = {};
    idle.ch[0].number = 1;
    idle.ch[0].flags = Z7CH_USED | Z7CH_SOCKET;  // the frame's start came, the question is not complete
    std::copy(q.begin(), q.begin() + 5, idle.ch[0].rx.begin());
    Z7Def_ServeVMRequestEx(&idle, 0, 1, 0x1234);
    EXPECT_EQ(Bytes(idle.ch[0].tx.begin(), idle.ch[0].tx.begin() + 7), Hex("5A 37 00 03 01 00 01"));
}

TEST_F(VmRequests, CallStackEntriesAndStepsReadFromTheirRecords) {
    test_support::IecImage img = VmsImage();
    img.cs_size = 4;
    img.steps = 3;
    code = Load(img);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    Z7Mem_Put16(cs, 1);
    Z7Mem_Put16(cs + 2, 0x0010);
    Z7Mem_Put16(cs + 4, 3);
    Z7Mem_Put16(cs + 6, 0x0024);
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 2);
    EXPECT_EQ(Ask(db, 2, Hex("03 1D0001 1D0002 1D0003")),
              Hex("5C 00 0016 03 1D0001 0001000E 1D0002 00030022 1D0003 00000000"));
    // held in step mode at depth 2: the program is that of the top entry
    // (entry 2, the program running there), not its caller in entry 1
    Z7Mem_Put16(cs + 8, 4);
    Z7Mem_Put16(cs + 10, 0);
    Z7Mem_Put16(Z7VM_Status(db) + ST_BRK_PROG, 1);
    Z7Mem_Put16(Z7VM_Status(db) + ST_BRK_POS, 0x0030);
    const uint16_t flags = Z7St_Flags(db);
    Z7St_SetFlags(db, 0x8408);
    EXPECT_EQ(Ask(db, 2, Hex("01 020000")), Hex("5C 00 000A 01 020000 8408 0004 0030"));
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 0);
    EXPECT_EQ(Ask(db, 2, Hex("01 020000")), Hex("5C 00 000A 01 020000 8408 0001 0030"));
    Z7St_SetFlags(db, flags);
    Z7Mem_Put16(Z7VM_Status(db) + ST_BRK_PROG, 0);
    Z7Mem_Put16(Z7VM_Status(db) + ST_BRK_POS, 0);
    const uint32_t step = Z7Sec_Elem(db, Z7SEC_STEP, 2);
    ASSERT_NE(step, 0u);
    Z7Mem_Put32(step, 0x01020304);
    Z7Mem_Put16(step + 8, 3);
    Z7Mem_Put16(step + 10, 5);
    EXPECT_EQ(Ask(db, 2, Hex("02 120002 210002")), Hex("5C 00 000F 02 120002 0105 210002 0105 01020304"));
    Z7Mem_Put16(step + 8, 2);  // neither 1 nor 3: not active
    EXPECT_EQ(Ask(db, 2, Hex("01 210002")), Hex("5C 00 000A 01 210002 0005 01020304"));
    // step 0 is in the table though no step has that number: it reads as
    // an inactive step, and the rest of the batch is answered
    EXPECT_EQ(Ask(db, 2, Hex("03 120000 210000 0F0001")),
              Hex("5C 00 0014 03 120000 0000 210000 0000 00000000 0F0001 0001"));
}

// Bodies of 2 bytes need only those 2: the status flags outside step mode
// and an SFC step's two bytes are answered with 5 bytes left after their
// echo; the flags in step mode (6 bytes) are not. 140 runtime kinds (7 bytes
// each) and 6 program states (5 bytes) leave 8 of the 1018 bytes.
TEST_F(VmRequests, ShortBodiesFitTheLastBytesOfTheAnswer) {
    test_support::IecImage img = VmsImage();
    img.steps = 3;
    code = Load(img);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    const uint32_t step = Z7Sec_Elem(db, Z7SEC_STEP, 2);
    ASSERT_NE(step, 0u);
    Z7Mem_Put16(step + 8, 3);
    Z7Mem_Put16(step + 10, 5);
    Bytes fill_req, fill_ans;
    for (int i = 0; i < 140; i++) {
        fill_req.insert(fill_req.end(), {0x03, 0x00, 0x00});
        fill_ans.insert(fill_ans.end(), {0x03, 0x00, 0x00, '.', 'X', 'T', 'I'});
    }
    for (int i = 0; i < 6; i++) {
        fill_req.insert(fill_req.end(), {0x0F, 0x00, 0x01});
        fill_ans.insert(fill_ans.end(), {0x0F, 0x00, 0x01, 0x00, 0x01});
    }
    ASSERT_EQ(fill_ans.size(), 1010u);
    EXPECT_EQ(Ask(db, 2, Cat({Hex("93"), fill_req, Hex("020000")})),
              Cat({Hex("5C 00 03F8 93"), fill_ans, Hex("020000 8401")}));
    EXPECT_EQ(Ask(db, 2, Cat({Hex("93"), fill_req, Hex("120002")})),
              Cat({Hex("5C 00 03F8 93"), fill_ans, Hex("120002 0105")}));
    const uint16_t flags = Z7St_Flags(db);
    Z7St_SetFlags(db, 0x8408);
    EXPECT_EQ(Ask(db, 2, Cat({Hex("93"), fill_req, Hex("020000")})), Hex("5C FF 0000"));
    Z7St_SetFlags(db, flags);
}

// Runtime information 12 answers what the heap gives as its free space: a
// buffer heap of 200 bytes with no block yet has 200 - 36 (its record) - 8
// (handle 0) = 156 free; a malloc heap gives -1 (it has no fixed size); no
// heap 0.
TEST_F(VmRequests, HeapFreeSpaceAsTheHeapGivesIt) {
    const std::pair<uint32_t, const char *> rows[] = {
        {200, "5C 00 0009 01 00000C 04 0000009C"},
        {uint32_t(-1), "5C 00 0009 01 00000C 04 FFFFFFFF"},
        {0, "5C 00 0009 01 00000C 04 00000000"},
    };
    for (const auto &[heap, answer] : rows) {
        test_support::IecImage img = VmsImage();
        img.ext.resize(18, 0);  // word 0, the password, stays
        img.ext[17] = heap;
        code = Load(img);
        ASSERT_EQ(Create(code, db), 0u);
        ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
        EXPECT_EQ(Ask(db, 2, Hex("01 00000C")), Hex(answer)) << heap;
        Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "VMS");
    }
}

// Runtime information 10, the lock list: the count, then {index, lock byte}
// while fewer than 249 bytes are used (82 entries at most), then FF FF.
TEST_F(VmRequests, LockListStopsBelow249Bytes) {
    test_support::IecImage img = VmsImage();
    img.d8 = {120, 120, 120};
    code = Load(img);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    for (uint32_t i = 1; i <= 90; i++) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, i), 0x01);
    Z7Mem_Put32(Z7VM_Status(db) + ST_LOCKED, 90);
    Bytes want = Hex("5C 00 0101 01 00000A FC 0000005A");
    for (uint32_t i = 1; i <= 82; i++) want.insert(want.end(), {0x00, uint8_t(i), 0x01});
    want.insert(want.end(), {0xFF, 0xFF});
    EXPECT_EQ(Ask(db, 2, Hex("01 00000A")), want);
    // three locks: a short list
    for (uint32_t i = 4; i <= 90; i++) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, i), 0);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 2), 0x24);
    Z7Mem_Put32(Z7VM_Status(db) + ST_LOCKED, 3);
    EXPECT_EQ(Ask(db, 2, Hex("01 00000A")), Hex("5C 00 0014 01 00000A 0F 00000003 000101 000224 000301 FFFF"));
}

TEST_F(VmRequests, ExecuteLocksForcesAndRefusesAFullBuffer) {
    StartVms();
    Cycle(1000);
    // lock INT 1 and force 0x4242: the counting program leaves it alone
    EXPECT_EQ(Ask(db, 3, Hex("010D 0001 010B 0001 4242")), Hex("5C 00 0000"));
    Cycle(1010);
    for (uint32_t t : {1020u, 1030u}) {
        EXPECT_EQ(Ask(db, 2, Hex("01 0A0001")), Hex("5C 00 0007 01 0A0001 01 4242"));
        Cycle(t);
    }
    EXPECT_EQ(Ask(db, 2, Hex("01 020000")), Hex("5C 00 0006 01 020000 8441"));
    EXPECT_EQ(Ask(db, 3, Hex("010E 0001")), Hex("5C 00 0000"));
    Cycle(1040);
    Cycle(1050);
    EXPECT_EQ(Ask(db, 2, Hex("01 0A0001")), Hex("5C 00 0007 01 0A0001 00 4243"));
    EXPECT_EQ(Ask(db, 2, Hex("01 020000")), Hex("5C 00 0006 01 020000 8401"));
    // two requests of 8 and 6 bytes wait as 14 bytes and one end opcode
    EXPECT_EQ(Ask(db, 3, Hex("010D 0007 010E 0007")), Hex("5C 00 0000"));
    EXPECT_EQ(Ask(db, 3, Hex("010B 0006 0C0E")), Hex("5C 00 0000"));
    EXPECT_EQ(IecTest::St16(db, ST_EXECLEN), 14u);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_EXEC) + 14), 68u);
    Cycle(1060);
    EXPECT_EQ(Var16(db, 6), 0x0C0Eu);
    // a buffer that cannot take the code refuses it whole
    EXPECT_EQ(Ask(db, 3, Bytes(600, 0)), Hex("5C 00 0000"));
    EXPECT_EQ(Ask(db, 3, Bytes(424, 0)), Hex("5C FF 0000"));
    EXPECT_EQ(IecTest::St16(db, ST_EXECLEN), 600u);
}

TEST_F(VmRequests, SubscriptionsAnswerPerRecordAndStopAtL) {
    StartVms();
    EXPECT_EQ(Ask(db, 4, Hex("01 0B0006 0001 00")), Hex("5C 00 0005 01 0B0006 00"));
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 1u);
    // already subscribed; a hysteresis of 3 bytes; a second client shares the entry
    EXPECT_EQ(Ask(db, 4, Hex("03 0B0006 0001 00 0B0005 0002 03 000001 000001 0B0006 0002 02 0010 0010")),
              Hex("5C 00 000D 03 0B0006 01 0B0005 01 0B0006 00"));
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 1u);
    // a record cut by L, and a count beyond the records
    EXPECT_EQ(Ask(db, 4, Hex("03 0B0002 0003 00 0B00")), Hex("5C 00 000D 03 0B0002 00 0B0000 01 000000 01"));
    // long form with a complex-type offset of 0, unknown type 9
    EXPECT_EQ(Ask(db, 6, Hex("02 020001 00000000 0004 00 090001 00000000 0004 00")),
              Hex("5C 00 0011 02 02000100000000 00 09000100000000 01"));
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 3u);
    // unsubscribe: both clients of INT 6 leave, the entry goes
    EXPECT_EQ(Ask(db, 5, Hex("02 0B0006 0001 0B0006 0002")), Hex("5C 00 0000"));
    EXPECT_EQ(Ask(db, 7, Hex("01 020001 00000000 0004")), Hex("5C 00 0000"));
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 1u);  // INT 2 of client 3
    EXPECT_EQ(Z7EA_UnregisterChangeEvent(db, 3, 11, 2, 0), 0u);
    EXPECT_EQ(Z7EA_UnregisterChangeEvent(db, 3, 11, 2, 0), 1u);
    EXPECT_EQ(Z7EA_RegisterChangeEvent(db, 9, 11, 2, 0, nullptr, nullptr, 0), 0u);
    // hysteresis limits arrive big-endian and are kept in the variable's
    // own byte order: INT 5 with 2-byte limits, DINT 1 with 4-byte ones
    ASSERT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 0u);
    EXPECT_EQ(Ask(db, 4, Hex("02 0B0005 0001 02 0102 0304 020001 0001 04 0A0B0C0D 01020304")),
              Hex("5C 00 0009 02 0B0005 00 020001 00"));
    const uint32_t evt = Z7Sec_Addr(db, Z7SEC_EVT);
    const Bytes limits(Z7Mem_Ptr(evt + 40, 16), Z7Mem_Ptr(evt + 40, 16) + 16);
    EXPECT_EQ(limits, Hex("0201000000000000 0403000000000000"));
    const Bytes limits2(Z7Mem_Ptr(evt + 64 + 40, 16), Z7Mem_Ptr(evt + 64 + 40, 16) + 16);
    EXPECT_EQ(limits2, Hex("0D0C0B0A00000000 0403020100000000"));
    // the long form registers at its complex-type offset: this application
    // has no complex-type segment, so offset 4 is refused where 0 was not
    EXPECT_EQ(Ask(db, 6, Hex("01 020001 00000004 0004 00")), Hex("5C 00 0009 01 02000100000004 01"));
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_EVT, SD_USED), 2u);
}

// The on-line change check: each refusal with its code, the database untouched.
TEST_F(VmRequests, ChangeCheckRefusesWithItsCode) {
    StartVms();
    struct Row {
        const char *what;
        test_support::IecImage img;
        uint32_t code;
    };
    std::vector<Row> rows;
    rows.push_back({"same image", VmsImage(), 0});
    rows.push_back({"change", VmsImage("change"), 0});
    rows.push_back({"other name", VmsImage("other"), 44});
    rows.push_back({"17 INT", VmsImage("alloc17"), 54});
    {
        auto i = VmsImage("change");
        i.string_sizes = {9};
        rows.push_back({"longer STRING", i, 63});
    }
    {
        auto i = VmsImage("change");
        i.d16.bound = 6;
        rows.push_back({"lower boundary", i, 154});
    }
    {
        auto i = VmsImage("change");
        i.stamp = 0x5A370002;
        rows.push_back({"build stamp", i, 26});
    }
    {
        auto i = VmsImage("change");
        i.layout = 0x0101;
        rows.push_back({"layout word", i, 76});
    }
    {
        auto i = VmsImage("change");
        i.map_vars.push_back({11, 7, 1, 0, 0, 1, "More", {}});
        rows.push_back({"more map records than items", i, 48});
    }
    {
        auto i = VmsImage("change");
        i.map_layout = 0x78;
        rows.push_back({"map layout", i, 48});
    }
    {
        auto i = VmsImage("change");
        i.xv_high = 2;
        rows.push_back({"XV count", i, 61});
    }
    auto with = [&](const char *what, uint32_t code, auto edit) {
        auto i = VmsImage("change");
        edit(i);
        rows.push_back({what, i, code});
    };
    using Img = test_support::IecImage;
    with("active timers", 25, [](Img &i) { i.active_timers = 4; });
    with("SFC layout CRC", 27, [](Img &i) { i.sfc_crc = 0x1234; });
    with("complex-type segment used", 46, [](Img &i) { i.ct_alloc = i.ct_used = 64; });
    with("8-bit count", 53, [](Img &i) { i.d8.alloc = 10; });
    with("32-bit count", 55, [](Img &i) { i.d32.alloc = 10; });
    with("64-bit count", 56, [](Img &i) { i.d64.alloc = 4; });
    with("TIME count", 57, [](Img &i) { i.time.alloc = 4; });
    with("8-bit boundary", 153, [](Img &i) { i.d8.bound = 8; });
    with("32-bit boundary", 155, [](Img &i) { i.d32.bound = 8; });
    with("64-bit boundary", 156, [](Img &i) { i.d64.bound = 2; });
    with("TIME boundary", 157, [](Img &i) { i.time.bound = 2; });
    with("instance count", 59, [](Img &i) { i.inst_alloc = 5; });
    with("custom-function count", 60, [](Img &i) { i.cfuncs = {"CF1"}; });
    with("string buffer", 62, [](Img &i) { i.strbuf_min = 4096; });
    with("instance data", 64, [](Img &i) { i.wished_inst_size = 1u << 24; });
    with("program slots", 67, [](Img &i) { i.programs.push_back({{68}, 0}); });
    const Bytes before(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_D8), 256), Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_D8), 256) + 256);
    const Bytes map(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_MAPITEM), 120), Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_MAPITEM), 120) + 120);
    for (const Row &r : rows) {
        const uint32_t c = Load(r.img);
        EXPECT_EQ(Z7VM_CanHOTStart(c, db), r.code) << r.what;
        uint16_t log = 0, a16;
        uint32_t a32;
        Z7VMLog_Pop(db, &log, &a16, &a32);
        EXPECT_EQ(log, r.code == 44 ? 1u : r.code) << r.what;
    }
    EXPECT_EQ(Bytes(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_D8), 256), Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_D8), 256) + 256), before);
    EXPECT_EQ(Bytes(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_MAPITEM), 120), Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_MAPITEM), 120) + 120),
              map);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage()), 0), 1u);
    // a breakpoint set refuses with 72; a corrupt header magic with 29
    Z7VMPrg_SetBreakpoint(db, 1, 4, 1);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 72u);
    Z7VMPrg_SetBreakpoint(db, 1, 4, 0);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_BREAKPOINTS));
    // a program held at a position without breakpoint flags: 73
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_PROG, 1) + PG_HELD, 4);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 73u);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_PROG, 1) + PG_HELD, 0);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 0u);
    // a host I/O system that cannot follow refuses with 45 (this controller has none)
    z7_services.Z7Ios_CanHotRestart = [](uint32_t) -> uint32_t { return 1; };
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 45u);
    z7_services.Z7Ios_CanHotRestart = Z7Ios_CanHotRestart;
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 0u);
    // the driver kit is asked after the complex types and before the retain
    // signature, the tasks and the call stack: an image that both refuse gets 47
    auto deep = VmsImage("change");
    deep.cs_size = 17;  // 17 x 2 > 32 entries
    auto busy = VmsImage("change");
    busy.tasks.assign(9, {"T", {1}});
    auto retained = VmsImage("change");
    retained.has_retain = true;
    retained.retain.sig = 0x5A37A003;
    auto remapped = VmsImage("change");
    remapped.map_layout = 0x78;
    const std::vector<std::pair<test_support::IecImage, uint32_t>> later = {
        {deep, 37}, {busy, 49}, {retained, 28}, {remapped, 48}};
    for (const auto &[img, rc] : later) EXPECT_EQ(Z7VM_CanHOTStart(Load(img), db), rc);
    const auto ddk = z7_services.Z7DDKC_CanBuildHot;
    z7_services.Z7DDKC_CanBuildHot = [](uint32_t, uint32_t) -> uint32_t { return 1; };
    for (const auto &[img, rc] : later) EXPECT_EQ(Z7VM_CanHOTStart(Load(img), db), 47u) << rc;
    z7_services.Z7DDKC_CanBuildHot = ddk;
    Z7Mem_Put32(Z7VM_Header(db) + HD_MAGIC, 0x8000027);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(VmsImage("change")), db), 29u);
}

TEST_F(VmRequests, ChangeKeepsValuesAndHotStartContinuesASavedDatabase) {
    StartVms();
    for (uint32_t t = 100; t < 150; t += 10) Cycle(t);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 6), 0x1234);
    const uint32_t d1 = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1));
    EXPECT_EQ(d1, 5u);
    const uint32_t next = Load(VmsImage("change"));
    ASSERT_EQ(Z7VM_CanHOTStart(next, db), 0u);
    int module = 0;
    pCounter = pS7 = &module;
    ASSERT_EQ(Z7Def_Change(next, db, nullptr, "VMS", 200), 0u);
    EXPECT_EQ(pCounter, nullptr);  // the I/O layer's hot restart clears its modules
    EXPECT_EQ(pS7, nullptr);
    EXPECT_TRUE(Options(db) & Z7O_CHANGED);
    EXPECT_EQ(Var16(db, 8), 0x0777u);
    EXPECT_EQ(Var16(db, 6), 0x1234u);
    EXPECT_EQ(Var16(db, 5), 0xBEEFu);
    EXPECT_EQ(Var16(db, 3), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_BOUND), 9u);
    Cycle(210);
    EXPECT_EQ(Var16(db, 3), 0x0C0Cu);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1)), 6u);
    EXPECT_FALSE(Options(db) & Z7O_CHANGED);
    EXPECT_EQ(Ask(db, 2, Hex("01 1C0000")).size(), 4u + 84u);  // the map follows the new image

    // the database saved and loaded elsewhere: checked, then continued
    uint8_t table[Z7_DESC_TABLE];
    std::memcpy(table, Z7Mem_Ptr(db, Z7_DESC_TABLE), Z7_DESC_TABLE);
    const uint32_t size = Z7VM_GetTotalDBSize(table);
    const Bytes saved(Z7Mem_Ptr(db, size), Z7Mem_Ptr(db, size) + size);
    // the original is gone: nothing of the copy may still point into it
    std::memset(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_STRBUF), Z7Sec_Bytes(db, Z7SEC_STRBUF)), 0xEE,
                Z7Sec_Bytes(db, Z7SEC_STRBUF));
    std::memset(Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_MAPITEM), Z7Sec_Bytes(db, Z7SEC_MAPITEM)), 0xEE,
                Z7Sec_Bytes(db, Z7SEC_MAPITEM));
    const uint32_t copy = Z7Mem_Alloc(size);
    blocks.push_back(copy);
    std::memcpy(Z7Mem_Ptr(copy, size), saved.data(), size);
    EXPECT_EQ(Z7VM_CheckHotImage(next, copy, size), 0u);
    EXPECT_EQ(Z7VM_CheckHotImage(next, copy, size - 8), 1u);
    EXPECT_EQ(Z7VM_CheckHotImage(Load(VmsImage("alloc17")), copy, size), 1u);
    Z7Mem_Put8(copy + Z7_DESC_TABLE + 8, 0xFF);  // a descriptor that lies
    Bytes broken = saved;
    broken[Z7SEC_D16 * Z7_DESC_SIZE + SD_ALLOC] ^= 1;
    std::memcpy(Z7Mem_Ptr(copy, size), broken.data(), size);
    EXPECT_EQ(Z7VM_CheckHotImage(next, copy, size), 1u);
    std::memcpy(Z7Mem_Ptr(copy, size), saved.data(), size);
    const uint32_t hd_off = Z7VM_Header(db) - db;
    Z7Mem_Put32(copy + hd_off, 0x8000027);
    EXPECT_EQ(Z7VM_CheckHotImage(next, copy, size), 1u);
    std::memcpy(Z7Mem_Ptr(copy, size), saved.data(), size);
    Z7VM_BuildDBMainLinks(copy);
    ASSERT_EQ(Z7Def_HotStart(next, copy, "/mnt/cfg/z7.ret", nullptr, 0, "VMS", 300), 0u);
    EXPECT_EQ(Var16(copy, 6), 0x1234u);
    EXPECT_EQ(Var16(copy, 8), 0x0777u);
    Z7VM_Cycle(copy, 310);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(copy, Z7SEC_D32, 1)), 7u);
    EXPECT_EQ(Ask(copy, 2, Hex("01 0E0001")), Hex("5C 00 0009 01 0E0001 0002414200"));
    EXPECT_EQ(Z7Map_GetData(Z7Map_GetBySymbol(copy, "counter")), Z7Sec_Elem(copy, Z7SEC_D16, 1));
}

// A change to an image with fewer programs: the programs it no longer lists
// stop, their slots are emptied (an SFC child's state too), and nothing runs
// from the previous image once the host has freed it.
TEST_F(VmRequests, ChangeToFewerProgramsStopsTheRemovedOnes) {
    test_support::IecImage three = VmsImage();
    three.programs.push_back({{267, 3, 0x0C0C, 68}, 0});  // INT 3 := 0x0C0C
    three.programs.push_back({{68}, 1});                  // an SFC child
    three.highest_prog = 4;
    const uint32_t first = Load(three);
    ASSERT_EQ(Create(first, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(first, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    Cycle(100);
    ASSERT_EQ(Var16(db, 3), 0x0C0Cu);
    ASSERT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 3) + PG_STATE), Z7P_CHILD);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 3), 0);

    test_support::IecImage one = VmsImage();
    one.highest_prog = 4;
    const uint32_t next = Load(one);
    ASSERT_EQ(Z7VM_CanHOTStart(next, db), 0u);
    ASSERT_EQ(Z7Def_Change(next, db, nullptr, "VMS", 200), 0u);
    // the host frees the previous image right after the change
    Z7Mem_Free(first);
    blocks.erase(std::find(blocks.begin(), blocks.end(), first));
    const uint32_t reuse = Z7Mem_Alloc(8192);
    blocks.push_back(reuse);
    for (uint32_t k = 2; k <= 3; k++) {
        const uint32_t p = Z7Sec_Elem(db, Z7SEC_PROG, k);
        EXPECT_EQ(Z7Mem_Get32(p + PG_CODE), 0u) << k;
        EXPECT_EQ(Z7Mem_Get32(p + PG_LEN), 0u) << k;
        EXPECT_EQ(Z7Mem_Get16(p + PG_STATE), 0u) << k;
        EXPECT_EQ(Z7Mem_Get16(p + PG_KIND), 0u) << k;
    }
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 1) + PG_STATE), Z7P_ACTIVE);
    const uint32_t d1 = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1));
    Cycle(210);
    Cycle(220);
    EXPECT_EQ(Var16(db, 3), 0u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1)), d1 + 2);  // the kept program runs on
}

// An SFC child program keeps its kind (66); the used XV count does not
// shrink (161).
TEST_F(VmRequests, ChangeCheckKeepsChildKindsAndUsedXVs) {
    auto img = [](uint16_t child_kind, uint16_t xv_used) {
        test_support::IecImage i = VmsImage();
        i.programs.push_back({{68}, child_kind});
        i.xv_high = 2;
        i.xv_used = xv_used;
        i.xvs = {{11, 1}, {11, 2}};
        return i;
    };
    code = Load(img(1, 2));
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(img(1, 2)), db), 0u);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(img(2, 2)), db), 66u);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(img(0, 2)), db), 66u);
    EXPECT_EQ(Z7VM_CanHOTStart(Load(img(1, 1)), db), 161u);
    uint16_t log = 0, a16 = 0;
    uint32_t a32 = 0;
    std::vector<uint16_t> logs;
    while (Z7VMLog_Pop(db, &log, &a16, &a32)) logs.push_back(log);
    EXPECT_EQ(logs, (std::vector<uint16_t>{66, 66, 161}));
}

// Instances keep their parameters across a change (65); an undo puts the
// earlier image back over the changed database, keeping every value, and a
// later image taken the same way initialises only what is new to it.
TEST_F(VmRequests, InstanceParametersAndTheUndoOfAChange) {
    auto with_counters = [](const std::string &variant, uint32_t second) {
        test_support::IecImage i = VmsImage(variant);
        i.classes = {{1, 1, "CTUR"}};
        i.instances = {{0, 1, 0x11}, {0, 1, second}};
        return i;
    };
    const uint32_t first = Load(with_counters("", 0x22));
    ASSERT_EQ(Create(first, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(first, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    for (uint32_t t = 100; t < 130; t += 10) Cycle(t);
    const uint32_t cv2 = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_INST, 2) + 12);
    ASSERT_NE(cv2, 0u);
    Z7Mem_Put32(cv2, 41);  // the second counter's CV
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 6), 0x1234);
    uint16_t log = 0, a16 = 0;
    uint32_t a32 = 0;
    const uint32_t changed_param = Load(with_counters("change", 0x23));
    EXPECT_EQ(Z7VM_CanHOTStart(changed_param, db), 65u);
    ASSERT_EQ(Z7VMLog_Pop(db, &log, &a16, &a32), 1u);
    EXPECT_EQ(log, 65u);
    EXPECT_EQ(Z7VM_UndoHOTChange(changed_param, db, 140), 65u);

    const uint32_t change = Load(with_counters("change", 0x22));
    ASSERT_EQ(Z7VM_CanHOTStart(change, db), 0u);
    ASSERT_EQ(Z7Def_Change(change, db, nullptr, "VMS", 150), 0u);
    Cycle(160);
    EXPECT_EQ(Var16(db, 3), 0x0C0Cu);
    EXPECT_EQ(Var16(db, 8), 0x0777u);
    const uint32_t d1 = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1));

    // undo: refusals with the change's codes, then the first image again
    EXPECT_EQ(Z7VM_UndoHOTChange(Load(VmsImage("other")), db, 170), 1u);
    EXPECT_EQ(Z7Def_UndoChange(Load(VmsImage("alloc17")), db, nullptr, "VMS", 170), 54u);
    EXPECT_EQ(Z7Def_UndoChange(0, db, nullptr, "VMS", 170), 1u);
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Options(db) & ~Z7O_CHANGED);  // as a cycle would
    ASSERT_EQ(Z7Def_UndoChange(first, db, nullptr, "VMS", 170), 0u);
    EXPECT_TRUE(Options(db) & Z7O_CHANGED);
    EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(db) + HD_CODE), first);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_BOUND), 8u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_USED), 16u);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 3), 0);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 8), 0x1111);
    Cycle(180);
    EXPECT_EQ(Var16(db, 3), 0u) << "the first image's program runs";
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1)), d1 + 1);
    EXPECT_EQ(Var16(db, 6), 0x1234u);
    EXPECT_EQ(Var16(db, 5), 0xBEEFu);
    EXPECT_EQ(Z7Mem_Get32(cv2), 41u);
    EXPECT_EQ(Flags(db) & 0xF, Z7F_RUN);
    EXPECT_EQ(Ask(db, 2, Hex("01 0E0001")), Hex("5C 00 0009 01 0E0001 0002414200"));
    EXPECT_EQ(Ask(db, 2, Hex("01 1C0000")).size(), 4u + 84u);

    // the change image again by the same way: INT 8 is new to the database
    ASSERT_EQ(Z7VM_UndoHOTChange(change, db, 190), 0u);
    EXPECT_EQ(Var16(db, 8), 0x0777u);
    EXPECT_EQ(Var16(db, 6), 0x1234u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_BOUND), 9u);
    Cycle(200);
    EXPECT_EQ(Var16(db, 3), 0x0C0Cu);
}

// Instances behind the highest used number of the running image are new to
// it: a change that adds one initialises it (command 6: an ISFCINITSTEP
// starts active) and tells the existing one that it survives (command 8: its
// last stamp becomes the change's time); an image with fewer instances than
// the database is refused with 159.
TEST_F(VmRequests, InstancesAddedByAChangeAreInitialised) {
    auto steps = [](const std::string &variant, size_t n) {
        test_support::IecImage i = VmsImage(variant);
        i.classes = {{42, 1, "ISFCINITSTEP"}};
        i.instances.assign(n, {1, 42, 0});
        i.inst_alloc = 3;
        i.wished_inst_size = 64;
        return i;
    };
    const uint32_t first = Load(steps("", 1));
    ASSERT_EQ(Create(first, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(first, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "VMS"), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC), 4u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_INST, SD_USED), 2u);
    auto data = [&](uint32_t k) { return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_INST, k) + 12); };
    EXPECT_EQ(Z7Mem_Get8(data(1) + 8), 1u);
    Cycle(100);
    const uint32_t two = Load(steps("change", 2));
    ASSERT_EQ(Z7VM_CanHOTStart(two, db), 0u);
    ASSERT_EQ(Z7Def_Change(two, db, nullptr, "VMS", 5000), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_INST, SD_USED), 3u);
    ASSERT_NE(data(2), 0u);
    EXPECT_EQ(Bytes(Z7Mem_Ptr(data(1), 12), Z7Mem_Ptr(data(1), 12) + 12), Hex("00000000 88130000 01 000000"));
    EXPECT_EQ(Bytes(Z7Mem_Ptr(data(2), 12), Z7Mem_Ptr(data(2), 12) + 12), Hex("00000000 00000000 01 000000"));
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_INST, 3) + 4), 0u) << "allocated, never used";
    // back to one instance: refused and logged, by the check and by the change
    const uint32_t one = Load(steps("change", 1));
    EXPECT_EQ(Z7VM_CanHOTStart(one, db), 159u);
    uint16_t log = 0, a16 = 0;
    uint32_t a32 = 0;
    ASSERT_EQ(Z7VMLog_Pop(db, &log, &a16, &a32), 1u);
    EXPECT_EQ(log, 159u);
    EXPECT_EQ(Z7Def_Change(one, db, nullptr, "VMS", 6000), 159u);
}

// A synchronisation question (kind 24) replaces the first three words the
// status took from the application record with its three big-endian words.
TEST_F(VmRequests, SyncQuestionTakesThreeApplicationWords) {
    StartVms();
    Z7CSData cs{};
    Z7CSChannel &c = cs.ch[0];
    c.number = 1;
    c.flags = Z7CH_USED | Z7CH_QUESTION | Z7CH_SOCKET;
    c.sock = -1;
    const Bytes q = Hex("5A37 000D 18 0A0B0C0D 00000005 FFFFFFFE");
    std::memcpy(c.rx.data(), q.data(), q.size());
    c.received = uint16_t(q.size());
    const uint32_t app34 = St32(db, ST_APP34);
    c.received = 16;  // one byte short
    EXPECT_EQ(Z7Def_ServeSyncRequest(&cs, db, 1), 1u);
    c.received = 17;
    c.rx[4] = 23;
    EXPECT_EQ(Z7Def_ServeSyncRequest(&cs, db, 1), 1u);
    EXPECT_EQ(Z7Def_ServeSyncRequest(&cs, 0, 1), 1u);
    EXPECT_EQ(St32(db, ST_APP4), 0x11223344u);  // the image's own word
    c.rx[4] = 24;
    EXPECT_EQ(Z7Def_ServeSyncRequest(&cs, db, 1), 0u);
    EXPECT_EQ(St32(db, ST_APP4), 0x0A0B0C0Du);
    EXPECT_EQ(St32(db, ST_APP5), 5u);
    EXPECT_EQ(St32(db, ST_APPPRE7), 0xFFFFFFFEu);
    EXPECT_EQ(St32(db, ST_APP34), app34);
}

// The change image becomes the code image only after the code block the
// running services read was taken out of the slot; it is freed by the caller.
TEST_F(VmRequests, RegisterChangeLeavesATakenCodeBlockAlive) {
    Z7MMData mm;
    Z7MM_Open(&mm, "");
    const uint32_t old_code = Z7Mem_Alloc(64), change = Z7Mem_Alloc(32);
    mm.slot[Z7MM_CODE - 1] = {Z7MM_CODE, Z7MMF_ALLOC, 0, 0, 64, 0, old_code};
    mm.slot[Z7MM_CHANGE - 1] = {Z7MM_CHANGE, Z7MMF_ALLOC, 0, 0, 32, 0, change};
    EXPECT_EQ(Z7MM_LinkCode(&mm), old_code);
    EXPECT_EQ(Z7MM_TakeCode(&mm), 0u);  // linked: not taken
    EXPECT_EQ(Z7MM_UnlinkCode(&mm), 0u);
    EXPECT_EQ(Z7MM_TakeCode(&mm), old_code);
    EXPECT_EQ(Z7MM_RegisterChange(&mm), 0u);
    EXPECT_EQ(Z7MM_LinkCode(&mm), change);
    EXPECT_GT(Z7Mem_BlockSize(old_code), 0u);  // still alive for the services closing
    Z7Mem_Free(old_code);
    Z7MM_UnlinkCode(&mm);
    Z7MM_Close(&mm);
}

// Items of an application with a complex-type segment: prefix 31 reads the
// object from the segment at its byte offset, locked 0, echoed as the object
// type and two zero bytes; another object type behind the prefix is refused.
// Type 32 pages the type definitions (75 bytes here) 512 bytes at a time.
TEST_F(VmRequests, ComplexTypeItemsReadTheSegmentAndDefinitionPages) {
    code = test_support::IecLoad(test_support::ValuesImage());
    blocks.push_back(code);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, 0, 0, "APP"), 0u);
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    Z7Mem_Put32(ct + 16, 0xA1B2C3D4);
    const uint8_t str[6] = {6, 3, 'a', 'b', 'c', 0};
    std::memcpy(Z7Mem_Ptr(ct + 32, 6), str, 6);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 0), 0x04);  // not looked at for a segment item
    EXPECT_EQ(Ask(db, 2, Hex("03 1F0B00000010 1F0E00000020 1F0900000012")),
              Hex("5C 00 0017 03 0B0000 00A1B2C3D4 0E0000 0003616263 00 090000 00B2"));
    EXPECT_EQ(Ask(db, 2, Hex("01 1F0200000010")), Hex("5C FF 0000"));
    const Bytes defs = test_support::TypeDefs();
    ASSERT_EQ(defs.size(), 75u);
    EXPECT_EQ(Ask(db, 2, Hex("01 200000")), Cat({Hex("5C 00 0057 01 200000 0000004B 004B 0000"), defs}));
    EXPECT_EQ(Ask(db, 2, Hex("01 200001")), Hex("5C 00 000C 01 200001 0000004B 0000 0000"));
}

// Descriptions continue while one fits with 14 bytes to spare: 26-byte items
// leave 1018 - 26 = 992 bytes for the continuation; the 37th further item
// sees 992 - 36 x 26 = 56 >= 40, the 38th 30 < 40 (without the spare it
// would still fit).
TEST_F(VmRequests, DescriptionsStopWithFourteenBytesToSpare) {
    test_support::IecImage img;
    img.d16 = {300, 300, 300};
    for (uint16_t i = 0; i < 200; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "Variab_%04u", unsigned(i));
        img.map_vars.push_back({11, i, 1, 0, 0, 1, name, {}});
    }
    code = Load(img);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "APP"), 0u);
    const Bytes a = Ask(db, 2, Hex("01 1C0000"));
    ASSERT_EQ(a.size(), 4u + 1 + 38 * 26);
    EXPECT_EQ(a[4], 38u);
    EXPECT_EQ(Bytes(a.end() - 26, a.end()),
              Cat({Hex("1C0025 000B 0025 0000 0001 0001 0B"), Text("Variab_0037", true)}));
    // no password in this application: any connect is accepted
    EXPECT_EQ(Ask(db, 1, Hex("12345678")), Hex("5C 00 0006 2328 00000000"));
    // 50 items at most
    const Bytes b = Ask(db, 2, Hex("01 1C0000"));
    EXPECT_EQ(b, a);
}
}  // namespace
