// Runtime resources of the IEC VM: the resource table with its dynamic
// arrays and the release at stop, parameter files, the parameter tools of
// block handlers, the sampling trace, resource files with property tokens,
// the clone view and the SNMP link.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7clone.h"
#include "iec/vm/z7rc.h"
#include "iec/vm/z7srv.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_asm.h"
#include "tests/support/iec_clock.h"

namespace iec_test {
using test_support::IecImage;

class IecRsc : public IecTest {
protected:
    uint32_t db = 0;
    void StartWith(IecImage img) {
        Z7Svc_InstallVMHooks();
        ASSERT_EQ(Start(img, db), 0u);
    }
    void SetUp() override { IecTest::SetUp(); }
    void TearDown() override {
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    static IecImage Plain() {
        IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
        img.str = {3, 3, 3};
        img.string_sizes = {10, 10, 10};
        img.stamp = 0x5EED;  // a build stamp, so that an on-line change can be checked
        return img;
    }
    void WriteFile(const std::string &rel, const std::string &text) {
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/cfg").c_str(), 0755);
        std::ofstream(root / rel, std::ios::binary) << text;
    }
};

// Platform calls recorded by the release test.
std::vector<uint32_t> closed_files;
std::vector<int32_t> closed_sockets;

TEST_F(IecRsc, ArraysTheirBoundsAndTheReleaseOfEveryKind) {
    StartWith(Plain());
    struct Create {
        int64_t id, count;
        uint32_t esize, want;
    };
    for (const Create &c : std::vector<Create>{{127, 4, 4, 1},
                                               {128, 4, 4, 2},
                                               {127, 4, 4, 2},  // exists
                                               {5, 0, 4, 3},
                                               {0, 4, 4, 2},  // identifier 0 would read as a free item
                                               {-1, 4, 4, 2},
                                               {6, 0x40000000, 8, 4},  // count x size past 32 bits
                                               {7, 0x7FFFFFFF, 0xFFFFFFFF, 4}}) {
        SCOPED_TRACE(testing::Message() << "create " << c.id << " x " << c.count);
        EXPECT_EQ(Z7VMRsc_CreateArray(db, c.id, c.count, c.esize), c.want);
    }
    uint32_t v = 0xDEADBEEF, r = 0;
    struct Access {
        uint32_t id;
        int32_t index;
        uint32_t write_want, read_want;
    };
    for (const Access &a : std::vector<Access>{{127, 4, 3, 0},
                                               {127, -1, 3, 0},
                                               {127, 0x40000000, 3, 0},  // (index + 1) x 4 wraps to 4 in 32 bits
                                               {126, 0, 2, 0},
                                               {127, 3, 1, 1}}) {
        SCOPED_TRACE(testing::Message() << "element " << a.index);
        v++;
        r = 0;
        EXPECT_EQ(Z7VMRsc_WriteArray(db, a.id, a.index, 4, &v), a.write_want);
        EXPECT_EQ(Z7VMRsc_ReadArray(db, a.id, a.index, 4, &r), a.read_want);
        EXPECT_EQ(r, a.read_want ? v : 0u);
    }
    const uint32_t item = Z7VMRsc_FindArray(db, 127);
    ASSERT_NE(item, 0u);
    EXPECT_EQ(Z7Mem_Get32(item + RSC_SIZE), 16u);
    EXPECT_EQ(Z7Mem_Get16(item + RSC_KIND), 3u);
    EXPECT_EQ(Z7Mem_Get32(Z7Mem_Get32(item + RSC_DATA) + 12), 0xDEADBEF4u);

    // one item of every kind; the release closes files and sockets through
    // the platform and frees the blocks
    const Z7StdHooks saved = Z7Std_Hooks;
    closed_files.clear();
    closed_sockets.clear();
    Z7Std_Hooks.file_close = [](uint32_t h) { closed_files.push_back(h); };
    Z7Std_Hooks.socket_close = [](Z7SocketHandle h) { closed_sockets.push_back(h); };
    const uint32_t live = Z7Mem_LiveBlocks();
    Z7VMRsc_Set(Z7VMRsc_GetFreeItem(db), Z7Mem_Alloc(32), 0, 1, RSC_MEMORY);
    Z7VMRsc_Set(Z7VMRsc_GetFreeItem(db), 9, 0, 1, RSC_FILE);
    Z7VMRsc_Set(Z7VMRsc_GetFreeItem(db), 0xFFFFFFFF, 0, 1, RSC_SOCKET);
    Z7VMRsc_Set(Z7VMRsc_GetFreeItem(db), 12, 0, 1, RSC_SOCKET);
    EXPECT_EQ(Z7VMRsc_Exist(db), 1u);
    EXPECT_NE(Z7VMRsc_FindSocket(db, 12), 0u);
    EXPECT_EQ(Z7VMRsc_FindSocket(db, -1), 0u);
    EXPECT_EQ(Z7VMRsc_FindData(db, 9), Z7VMRsc_FindKind(db, 9, RSC_FILE));
    EXPECT_NE(Z7VMRsc_FindData(db, 9), 0u);
    EXPECT_EQ(Z7VMRsc_FindData(db, 10), 0u);
    Z7VMRsc_FreeAll(db);
    Z7Std_Hooks = saved;
    EXPECT_EQ(closed_files, std::vector<uint32_t>{9});
    EXPECT_EQ(closed_sockets, std::vector<int32_t>{12});
    EXPECT_EQ(Z7Mem_LiveBlocks(), live - 1) << "the array and the memory block are freed";
    EXPECT_EQ(Z7VMRsc_Exist(db), 0u);
    uint32_t free_items = 0;
    for (uint32_t i = 0; i < 128; i++) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_RSC, i);
        ASSERT_NE(e, 0u);
        free_items += Z7Mem_Get32(e) == 0 && Z7Mem_Get32(e + 4) == 0 && Z7Mem_Get32(e + 8) == 0;
    }
    EXPECT_EQ(free_items, 128u);
    EXPECT_EQ(Z7Sec_Elem(db, Z7SEC_RSC, 128), 0u);

    // an on-line change waits while anything is open: code 23, also logged
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    EXPECT_EQ(Z7VM_CanHOTStart(code, db), 0u);
    ASSERT_EQ(Z7VMRsc_CreateArray(db, 1, 1, 4), 1u);
    EXPECT_EQ(Z7VM_CanHOTStart(code, db), 23u);
    uint16_t log = 0, arg = 0;
    uint32_t pos = 0;
    ASSERT_TRUE(Z7VMLog_Pop(db, &log, &arg, &pos));
    EXPECT_EQ(log, 23u);
    Z7VMRsc_FreeAll(db);
    EXPECT_EQ(Z7VM_CanHOTStart(code, db), 0u);
}

TEST_F(IecRsc, ParameterFilesBySectionAndKey) {
    StartWith(Plain());
    WriteFile("mnt/cfg/p.ini", "[Net]\r\nKey=Value\r\n[Other]\r\nX=1\n");
    // the tail of an over-long line is no section and no key
    std::string longline =
        "[Long]\n" + std::string(255, 'a') + "[Tail]\nT=2\n" + std::string(250, 'b') + "xxxxxT=9\n[Tail]\nT=3\n";
    WriteFile("mnt/cfg/long.ini", longline);
    struct Row {
        const char *path, *section, *key;
        uint32_t size, want;
        std::string out;
    };
    for (const Row &r : std::vector<Row>{
             {"/mnt/cfg/p.ini", "net", "KEY", 32, 1, "Value"},
             {"/mnt/cfg/p.ini", "net", "KEY", 3, 1, "Va"},
             {"/mnt/cfg/p.ini", "Net", "X", 32, 0, "X"},  // a key of a later section
             {"/mnt/cfg/p.ini", "Other", "x", 32, 1, "1"},
             {"/mnt/cfg/p.ini", "Ne", "Key", 32, 0, "Key"},
             {"/mnt/cfg/none.ini", "Net", "Key", 32, 0, "Key"},
             {"/mnt/cfg/p.ini", "Other", "X", 1, 1, ""},
             {"/mnt/cfg/long.ini", "Tail", "T", 32, 1, "3"},
         }) {
        SCOPED_TRACE(testing::Message() << r.path << " " << r.section << " " << r.key << " " << r.size);
        char out[40];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(Z7Param_Get(0, r.path, r.section, r.key, out, r.size), r.want);
        EXPECT_EQ(std::string(out), r.out);
    }
    char keep = '#';
    EXPECT_EQ(Z7Param_Get(0, "/mnt/cfg/p.ini", "Net", "Key", &keep, 0), 1u);
    EXPECT_EQ(keep, '#') << "size 0 writes nothing";
}

TEST_F(IecRsc, ParameterToolsTypedSegmentsComplexTypesAndCrc) {
    IecImage img = Plain();
    img.init8 = {{5, 0x11}};
    StartWith(img);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 5), 0x01);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 6), 0x3E);
    struct Row {
        uint32_t type, index, sec, lock, size;
    };
    for (const Row &r : std::vector<Row>{{14, 5, Z7SEC_D8, 1, 1},
                                         {1, 6, Z7SEC_D8, 0, 1},
                                         {10, 5, Z7SEC_D8, 1, 1},
                                         {11, 6, Z7SEC_D16, 1, 2},
                                         {15, 5, Z7SEC_D16, 0, 2},
                                         {2, 6, Z7SEC_D32, 1, 4},
                                         {3, 5, Z7SEC_D32, 0, 4},
                                         {16, 6, Z7SEC_D32, 1, 4},
                                         {12, 6, Z7SEC_D64, 1, 8},
                                         {13, 5, Z7SEC_D64, 0, 8},
                                         {17, 6, Z7SEC_D64, 1, 8},
                                         {4, 6, Z7SEC_TIME, 1, 4},
                                         {4, 5, Z7SEC_TIME, 0, 4}}) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " index " << r.index);
        uint32_t lock = 9, size = 0;
        EXPECT_EQ(Z7Tools_GetAnyParam(db, r.type, r.index, &lock, &size), Z7Sec_Addr(db, r.sec) + r.index * r.size);
        EXPECT_EQ(lock, r.lock);
        EXPECT_EQ(size, r.size);
    }
    uint32_t lock = 9, size = 0;
    EXPECT_EQ(Z7Tools_GetAnyParam(db, 5, 2, &lock, &size), Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 2)));
    EXPECT_EQ(size, 13u) << "maximum length 10 + 3";
    EXPECT_EQ(lock, 0u);
    // unknown codes and indexes outside the segment: absent
    for (uint32_t t : {0u, 6u, 7u, 8u, 9u, 18u, 127u}) EXPECT_EQ(Z7Tools_GetAnyParam(db, t, 1), 0u) << t;
    EXPECT_EQ(Z7Tools_GetAnyParam(db, 14, 16), 0u);
    EXPECT_EQ(Z7Tools_GetAnyParam(db, 5, 4), 0u);
    EXPECT_EQ(Z7Tools_GetAnyParam(db, 14, 15), Z7Sec_Addr(db, Z7SEC_D8) + 15);
    // without a complex-type segment arrays are in their typed segments
    EXPECT_EQ(Z7Tools_GetCTParam(db, 2), 0u);
    EXPECT_EQ(Z7Tools_GetD8Array(db, 3), Z7Sec_Addr(db, Z7SEC_D8) + 3);
    EXPECT_EQ(Z7Tools_GetD16Array(db, 3), Z7Sec_Addr(db, Z7SEC_D16) + 6);
    EXPECT_EQ(Z7Tools_GetD32Array(db, 3), Z7Sec_Addr(db, Z7SEC_D32) + 12);
    EXPECT_EQ(Z7Tools_GetD64Array(db, 3), Z7Sec_Addr(db, Z7SEC_D64) + 24);
    EXPECT_EQ(Z7Tools_GetTimeArray(db, 3), Z7Sec_Addr(db, Z7SEC_TIME) + 12);
    uint32_t flag = 9;
    EXPECT_EQ(Z7Tools_GetStringArray(db, 2, &flag), Z7Sec_Addr(db, Z7SEC_STRPTR) + 8);
    EXPECT_EQ(flag, 0u);

    struct Crc {
        std::string bytes;
        uint16_t want;
    };
    for (const Crc &c : std::vector<Crc>{{"abc", 0x5749}, {"123456789", 0x4B37}, {"", 0xFFFF}})
        EXPECT_EQ(Z7Tools_Crc16(reinterpret_cast<const uint8_t *>(c.bytes.data()), uint16_t(c.bytes.size())), c.want)
            << c.bytes;
}

TEST_F(IecRsc, ArrayOperandsInTheComplexTypeSegment) {
    IecImage img = Plain();
    img.ct_alloc = 64;
    img.ct_used = 64;
    img.init32 = {{3, 40}, {4, 64}, {5, 0xFFFFFFF0}};
    StartWith(img);
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    EXPECT_EQ(Z7Sec_Bytes(db, Z7SEC_CT) >= 64u, true);
    const uint32_t bytes = Z7Sec_Bytes(db, Z7SEC_CT);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 4), bytes);  // one past the segment
    EXPECT_EQ(Z7Tools_GetCTParam(db, 3), ct + 40);
    EXPECT_EQ(Z7Tools_GetD16Array(db, 3), ct + 40) << "the 16-bit segment is not looked at";
    EXPECT_EQ(Z7Tools_GetD8Array(db, 3), ct + 40);
    EXPECT_EQ(Z7Tools_GetD64Array(db, 3), ct + 40);
    uint32_t flag = 0;
    EXPECT_EQ(Z7Tools_GetStringArray(db, 3, &flag), ct + 40);
    EXPECT_EQ(flag, 1u);
    for (uint32_t idx : {4u, 5u, 16u}) {
        SCOPED_TRACE(idx);
        EXPECT_EQ(Z7Tools_GetCTParam(db, idx), 0u);
        EXPECT_EQ(Z7Tools_GetD16Array(db, idx), 0u);
        EXPECT_EQ(Z7Tools_GetStringArray(db, idx, &flag), 0u);
    }
}

// Object read of type 26 or 27 through the workbench's VM request; the data
// after {echo, status, length, count, type, sub-index}.
std::vector<uint8_t> TraceObject(uint32_t db, uint8_t type) {
    const uint8_t req[] = {0x5C, 2, 0, 4, 1, type, 0, 0};
    std::vector<uint8_t> ans(Z7VM_ANSWER_MAX, 0);
    const uint32_t n = Z7VM_Serve(db, req, sizeof req, ans.data());
    if (n < 8 || ans[1] != 0 || ans[4] != 1 || ans[5] != type) return {};
    return std::vector<uint8_t>(ans.begin() + 8, ans.begin() + n);
}
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(IecRsc, SamplingTraceRingSetByTheInterpreterAndReadAsObjects) {
    IecImage img = Plain();
    // settings {0x0703, period 0, no triggers, no delays, 3 variables 1 2 3}
    img.programs = {{test_support::IecAsm("OP480 0 0x0703 0 0 0 0 0 0 3 1 2 3; END"), 0}};
    img.init8 = {{1, 1}, {2, 0}, {3, 1}};
    Z7VMTic_RunPtr = Z7VMTic_Run;
    StartWith(img);
    Z7Def_Cycle(db, 1000, nullptr);  // sets up and takes the first sample
    EXPECT_EQ(TraceObject(db, 26), Cat({{0x00, 0x1E, 0x05, 0x03, 0, 0, 0, 0},
                                        std::vector<uint8_t>(8, 0),
                                        {0, 1, 0, 2, 0, 3},
                                        std::vector<uint8_t>(10, 0)}));
    Z7VMTic_RunPtr = Recorder::Run;  // the program is not run again: the settings stay
    for (uint32_t c = 1; c < 905; c++) Z7Def_Cycle(db, 1000 + c, nullptr);
    // while recording the stamps are the date and the time of the read: the
    // runtime clock fixed at 2024-03-10 14:05:09.007 (local time UTC)
    std::vector<uint8_t> data;
    {
        test_support::FixedIecClock fixed;
        data = TraceObject(db, 27);
    }
    ASSERT_EQ(data.size(), 922u);
    EXPECT_EQ(BE_Get32(data.data() + 14), 0x07E8030Au);
    EXPECT_EQ(BE_Get32(data.data() + 18), 50709007u);
    std::fill(data.begin() + 14, data.begin() + 22, 0);
    EXPECT_EQ(data, Cat({{0x03, 0x98, 0, 0, 0, 0, 0, 0, 0x03, 0x89, 0x07, 0x03, 0x00, 0x05},
                         std::vector<uint8_t>(8, 0),
                         std::vector<uint8_t>(900, 0x05)}));
}

TEST_F(IecRsc, SamplingTraceTriggersDelaysPeriodsAndRefusedSettings) {
    StartWith(Plain());
    auto set = [&](std::vector<uint16_t> w) {
        std::vector<uint8_t> b;
        for (uint16_t v : w) b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
        return Z7VMBsmp_Set(db, 0, b.data(), uint32_t(w.size()));
    };
    auto setb = [&](uint16_t i, uint8_t v) { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); };
    uint32_t now = 5000;
    auto cycle = [&] {
        Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, now);
        Z7VMBsmp_Activate(db);
    };
    auto data = [&] { return TraceObject(db, 27); };
    auto count = [&] { return BE_Get32(data().data() + 6); };
    auto flags = [&] { return BE_Get16(data().data() + 10); };
    auto pos = [&] { return BE_Get16(data().data() + 12); };

    // stop trigger 4 on a rising edge, stop delay 10, enabled only: Ctl 1 starts
    setb(4, 0);
    setb(1, 1);
    EXPECT_EQ(set({0x0001, 0, 0, 0, 4, 0, 10, 1, 1}), 0u);
    cycle();
    EXPECT_EQ(count(), 0u) << "not started";
    EXPECT_EQ(Z7VMBsmp_Ctl(db, 0, 1), 0u);
    EXPECT_EQ(flags(), 0x0501);
    for (int k = 0; k < 3; k++) cycle();
    setb(4, 1);
    cycle();  // the edge's own sample
    EXPECT_EQ(count(), 4u);
    for (int k = 0; k < 9; k++) cycle();
    EXPECT_EQ(flags() & 0x0100, 0x0100) << "still recording after 9 more";
    cycle();
    EXPECT_EQ(count(), 14u);
    EXPECT_EQ(flags(), 0x0401) << "ended after 10 samples past the edge";
    cycle();
    EXPECT_EQ(count(), 14u);
    EXPECT_EQ(Z7VMBsmp_Ctl(db, 0, 1), 0u);
    EXPECT_EQ(flags(), 0x0401) << "a started recorder is not started again";

    // Ctl on a disabled record does nothing
    EXPECT_EQ(set({0x0000, 0, 0, 0, 0, 0, 0, 1, 1}), 0u);
    Z7VMBsmp_Ctl(db, 0, 1);
    Z7VMBsmp_Ctl(db, 0, 0);
    cycle();
    EXPECT_EQ(flags(), 0x0000);
    EXPECT_EQ(count(), 0u);

    // start trigger 5 falling, start delay 2 in cycle mode: 3 cycles from the
    // edge to the first sample; stop when full (0x0008)
    setb(5, 1);
    EXPECT_EQ(set({0x0019, 0, 0, 5, 0, 2, 0, 2, 1, 5}), 0u);
    cycle();
    setb(5, 0);
    cycle();
    EXPECT_EQ(flags(), 0x0419);
    cycle();
    EXPECT_EQ(count(), 0u);
    cycle();
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(data()[22], 0x01) << "variable 1 set, variable 5 clear";
    for (int k = 0; k < 905; k++) cycle();
    EXPECT_EQ(count(), 900u);
    EXPECT_EQ(flags(), 0x0619) << "filled, recording ended";
    EXPECT_EQ(pos(), 900);

    // period mode, 100 ms: a sample when a period has passed; Ctl 0 stops
    EXPECT_EQ(set({0x0003, 0, 100, 0, 0, 0, 0, 1, 1}), 0u);
    now += 50, cycle();
    EXPECT_EQ(count(), 0u);
    now += 50, cycle();
    now += 99, cycle();
    EXPECT_EQ(count(), 1u);
    now += 1, cycle();
    EXPECT_EQ(count(), 2u);
    Z7VMBsmp_Ctl(db, 0, 0);
    now += 500, cycle();
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(flags(), 0x0403);

    // period mode, 100 ms, start trigger 5 rising with start delay 1, stop
    // trigger 6 rising at once: the stop variable rose while the start delay
    // ran, so the cycle that ends the delay begins recording and its stop
    // step sees the edge and ends it before any sample
    setb(5, 0);
    setb(6, 0);
    EXPECT_EQ(set({0x0001, 0, 100, 5, 6, 1, 0, 1, 1}), 0u);
    cycle();
    setb(5, 1);
    now += 10, cycle();
    EXPECT_EQ(flags(), 0x0401) << "started, the delay runs";
    setb(6, 1);
    now += 100, cycle();
    EXPECT_EQ(flags(), 0x0401) << "recording began and ended in the same cycle";
    now += 100, cycle();
    EXPECT_EQ(count(), 0u);

    // period mode, 100 ms, stop trigger 6 rising with stop delay 2: 200 ms
    // counted down by the time between samples, so two more samples after
    // the edge's own; a cycle without a sample does not count it down
    setb(6, 0);
    EXPECT_EQ(set({0x0003, 0, 100, 0, 6, 0, 2, 1, 1}), 0u);
    EXPECT_EQ(data().size(), 922u) << "all 900 sample bytes before the buffer was filled";
    now += 100, cycle();
    setb(6, 1);
    now += 100, cycle();
    EXPECT_EQ(count(), 2u);
    now += 100, cycle();
    now += 50, cycle();
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(flags(), 0x0503);
    now += 50, cycle();
    EXPECT_EQ(count(), 4u);
    EXPECT_EQ(flags(), 0x0403);

    // period mode, 100 ms, start trigger 5 rising with start delay 2: 200 ms
    // from the edge recording begins; its first sample a period later
    setb(5, 0);
    EXPECT_EQ(set({0x0001, 0, 100, 5, 0, 2, 0, 1, 1}), 0u);
    now += 10, cycle();
    setb(5, 1);
    now += 10, cycle();
    now += 199, cycle();
    EXPECT_EQ(flags(), 0x0401) << "1 ms of the delay left";
    now += 1, cycle();
    EXPECT_EQ(flags(), 0x0501);
    EXPECT_EQ(count(), 0u);
    now += 99, cycle();
    EXPECT_EQ(count(), 0u);
    now += 1, cycle();
    EXPECT_EQ(count(), 1u);

    // the runtime clock fixed at 2024-03-10 14:05:09.007 (UTC) while a
    // recording ends: the data answer after it carries that end's stamps
    auto ended = [&](uint32_t hi, uint32_t lo, uint16_t fl, uint16_t at, uint32_t samples) {
        return Cat({{0x03,
                     0x98,
                     uint8_t(hi >> 24),
                     uint8_t(hi >> 16),
                     uint8_t(hi >> 8),
                     uint8_t(hi),
                     uint8_t(lo >> 24),
                     uint8_t(lo >> 16),
                     uint8_t(lo >> 8),
                     uint8_t(lo),
                     uint8_t(fl >> 8),
                     uint8_t(fl),
                     uint8_t(at >> 8),
                     uint8_t(at),
                     0x07,
                     0xE8,
                     0x03,
                     0x0A,
                     0x03,
                     0x05,
                     0xC2,
                     0x0F},
                    std::vector<uint8_t>(samples, 0x01),
                    std::vector<uint8_t>(900 - samples, 0)});
    };
    // stop trigger 6 on a falling edge (0x0020), at once in cycle mode: a
    // rise is not the selected edge; the fall ends the recording after that
    // cycle's sample
    setb(6, 0);
    EXPECT_EQ(set({0x0023, 0, 0, 0, 6, 0, 0, 1, 1}), 0u);
    cycle();
    setb(6, 1);
    cycle();
    EXPECT_EQ(flags(), 0x0523) << "still recording after the rise";
    setb(6, 0);
    {
        test_support::FixedIecClock fixed;
        cycle();
    }
    EXPECT_EQ(data(), ended(0, 3, 0x0423, 3, 3));

    // start trigger 5 on a falling edge, its value 0 at set-up: the rise is
    // remembered, so the fall after it starts recording; stop trigger 6
    // rising with stop delay 1; the sample count carries into its high word
    setb(5, 0);
    EXPECT_EQ(set({0x0011, 0, 0, 5, 6, 0, 1, 1, 1}), 0u);
    setb(5, 1);
    cycle();
    EXPECT_EQ(flags(), 0x0011);
    setb(5, 0);
    cycle();
    EXPECT_EQ(flags(), 0x0511);
    EXPECT_EQ(count(), 1u);
    Z7Mem_Put32(Z7Sec_Addr(db, Z7SEC_BSMP) + 16, 0xFFFFFFFFu);  // low word of the count
    cycle();
    EXPECT_EQ(BE_Get32(data().data() + 2), 1u);
    EXPECT_EQ(count(), 0u);
    setb(6, 1);
    cycle();  // the edge's own sample; one more follows
    EXPECT_EQ(flags(), 0x0511);
    {
        test_support::FixedIecClock fixed;
        cycle();
    }
    EXPECT_EQ(data(), ended(1, 2, 0x0411, 4, 4));

    // Ctl 0 ends a recording with the stamps of that moment
    EXPECT_EQ(set({0x0003, 0, 0, 0, 0, 0, 0, 1, 1}), 0u);
    cycle();
    cycle();
    {
        test_support::FixedIecClock fixed;
        EXPECT_EQ(Z7VMBsmp_Ctl(db, 0, 0), 0u);
    }
    EXPECT_EQ(data(), ended(0, 2, 0x0403, 2, 2));

    // more than 8 variables keep 8; an index outside the 8-bit segment
    // (15 is the last) refuses the settings and leaves the record cleared
    EXPECT_EQ(set({0x0003, 0, 0, 0, 0, 0, 0, 9, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 0u);
    EXPECT_EQ(
        TraceObject(db, 26),
        Cat({{0x00, 0x1E, 0x05, 0x03}, std::vector<uint8_t>(12, 0), {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}}));
    for (const std::vector<uint16_t> &w : std::vector<std::vector<uint16_t>>{{0x0003, 0, 0, 0, 0, 0, 0, 1, 16},
                                                                             {0x0003, 0, 0, 16, 0, 0, 0, 1, 1},
                                                                             {0x0003, 0, 0, 0, 0xFFFF, 0, 0, 1, 1}}) {
        EXPECT_EQ(set(w), 0u);
        EXPECT_EQ(TraceObject(db, 26), Cat({{0x00, 0x1E}, std::vector<uint8_t>(30, 0)}));
        cycle();
        EXPECT_EQ(count(), 0u);
    }
}

TEST_F(IecRsc, ResourceFilesCheckedDirectoryAndRecordsInHeapBlocks) {
    StartWith(Plain());
    const std::string head("\x00\x00\x02\x00\x1D\x00\x00\x00\x02\x00\x00\x00\xA0\xF3\xE2\x9D", 16);
    const std::string dir(
        "\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x03\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00",
        24);
    WriteFile("mnt/cfg/z7.rst", head + dir + "ABXYZ");
    const uint32_t heap = Z7Rc_Init_Malloc(16);
    ASSERT_NE(heap, 0u);
    uint32_t size = 0, count = 9;
    EXPECT_EQ(Z7Rc_CheckRCFile(2, 0, &size), 1u);
    EXPECT_EQ(size, 45u);
    EXPECT_EQ(Z7Rc_CheckRCFile(1, 0, &size), 0u) << "z7.rsc is missing";
    EXPECT_EQ(size, 0u);
    const uint32_t d = Z7Rc_LoadRCDirectory(heap, 2, &count);
    ASSERT_NE(d, 0u);
    EXPECT_EQ(count, 2u);
    const uint32_t da = Z7Rc_LockRC(heap, d, nullptr) - 8;  // the directory block has no record head
    ASSERT_NE(Z7Mem_Ptr(da, 24), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(da, 24)), 24), dir);
    Z7Rc_UnlockRC(heap, d);
    const uint32_t r2 = Z7Rc_LoadRCByIndex(heap, 2, 2, 0);
    ASSERT_NE(r2, 0u);
    const uint32_t a = Z7Rc_LockRC(heap, r2, &size);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(a, 3)), 3), "XYZ");
    EXPECT_EQ(Z7Mem_Get32(a - 4), a) << "the record's data address";
    Z7Rc_UnlockRC(heap, r2);
    const uint32_t r1 = Z7Rc_LoadRCByIndex(heap, 2, 1, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7Rc_LockRC(heap, r1, &size), 2)), 2), "AB");
    EXPECT_EQ(Z7Rc_LoadRCByIndex(heap, 2, 0, 0), 0u);
    EXPECT_EQ(Z7Rc_LoadRCByIndex(heap, 2, 3, 0), 0u);
    Z7Rc_FreeAllRC(heap);

    // damaged files: each refused before anything outside it is read
    struct Bad {
        const char *what;
        std::string bytes;
    };
    std::string sum = head;
    sum[12] = '\xA1';
    std::string len = head;
    len[4] = 0x1E;
    std::string many = head;
    many[8] = 0x03;  // 3 x 12 > 29
    std::string far = dir;
    far[20] = 0x04;  // record 2 at 4 + 3 > 5 bytes of data
    std::string big = dir;
    big[15] = '\x7F';  // record 2 of 2 GB
    std::string kind = head;
    kind[2] = 1;
    for (const Bad &b : std::vector<Bad>{{"checksum", sum + dir + "ABXYZ"},
                                         {"length 0x1E", len + dir + "ABXYZ"},
                                         {"kind", kind + dir + "ABXYZ"},
                                         {"short", head.substr(0, 10)},
                                         {"count", many + dir + "ABXYZ"}}) {
        SCOPED_TRACE(b.what);
        WriteFile("mnt/cfg/z7.rst", b.bytes);
        EXPECT_EQ(Z7Rc_CheckRCFile(2, 0, &size), 0u);
        if (std::string(b.what) != "checksum") {
            EXPECT_EQ(Z7Rc_LoadRCDirectory(heap, 2, &count), 0u);
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(Z7Rc_LoadRCByIndex(heap, 2, 1, 0), 0u);
        }
    }
    for (const std::string &dd : {far, big}) {
        WriteFile("mnt/cfg/z7.rst", head + dd + "ABXYZ");
        EXPECT_NE(Z7Rc_LoadRCByIndex(heap, 2, 1, 0), 0u);
        EXPECT_EQ(Z7Rc_LoadRCByIndex(heap, 2, 2, 0), 0u) << "a record past the stored length";
    }
    Z7Rc_Release(heap);
}

TEST_F(IecRsc, PropertyTokensLengthsAndValues) {
    IecImage img = Plain();
    img.ct_alloc = 32;
    img.ct_used = 32;
    StartWith(img);
    struct Tok {
        std::vector<uint8_t> bytes;
        uint32_t len, prop, type;
        int64_t value;  // the getter of its type; every other getter answers 0
    };
    const std::vector<Tok> toks = {
        {{7, 0}, 2, 7, 0, 0},
        {{8, 1, 0xFF}, 3, 8, 1, 255},
        {{9, 2, 0xFE, 0xFF}, 4, 9, 2, -2},
        {{10, 3, 0xFE, 0xFF, 0xFF, 0xFF}, 6, 10, 3, -2},
        {{11, 4, 1, 2, 3, 4, 5, 6, 7, 0x88}, 10, 11, 4, int64_t(0x8807060504030201ull)},
        {{255, 5, 0x2A}, 3, 255, 5, 0x2A},
        {{13, 6, 0x34, 0x12}, 4, 13, 6, 0x1234},
        {{14, 7, 1, 2, 3, 4}, 6, 14, 7, 0x04030201},
        {{15, 8, 1, 0, 0, 0, 0, 0, 0, 0}, 10, 15, 8, 1},
        {{16, 9, 0, 0, 0x80, 0x3F}, 6, 16, 9, 0x3F800000},
        {{17, 10, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, 10, 17, 10, 0x3FF0000000000000},
        {{18, 11, 1, 0, 2, 0}, 6, 18, 11, 0},
        {{19, 12, 0}, 3, 19, 12, 0},
        {{20, 12, 'a', 'b', 0}, 5, 20, 12, 0},
        {{21, 13, 0xFF, 0xFF}, 4, 21, 13, 0xFFFF},
        {{22, 14, 14, 5, 0}, 5, 22, 14, 0},
        {{23, 15, 2, 8, 0, 0, 0}, 7, 23, 15, 0},
        {{24, 16, 11, 3, 0, 2, 0}, 7, 24, 16, 0},
        {{25, 17, 2, 2, 0, 4, 0, 0, 0}, 9, 25, 17, 0},
        {{26, 18, 1, 2, 3}, 0, 26, 18, 0},
    };
    const uint32_t buf = Z7Mem_Alloc(64);
    blocks.push_back(buf);
    for (const Tok &t : toks) {
        SCOPED_TRACE(testing::Message() << "type " << t.type);
        std::memset(Z7Mem_Ptr(buf, 64), 0xEE, 64);
        std::memcpy(Z7Mem_Ptr(buf, 64), t.bytes.data(), t.bytes.size());
        const uint32_t end = buf + uint32_t(t.bytes.size());
        EXPECT_EQ(Z7Rcs_NextToken(buf, end), buf + t.len);
        uint32_t type = 99;
        EXPECT_EQ(Z7Rcs_GetProp(buf, &type), t.prop);
        EXPECT_EQ(type, t.type);
        const bool sgn = t.type >= 1 && t.type <= 3, uns = t.type == 5 || t.type == 6 || t.type == 7 || t.type == 13;
        EXPECT_EQ(Z7RCS_GetSignedProp(buf), sgn ? int32_t(t.value) : 0);
        EXPECT_EQ(Z7RCS_GetUnsignedProp(buf), uns ? uint32_t(t.value) : 0u);
        EXPECT_EQ(Z7RCS_GetRealProp(buf), t.type == 9 ? uint32_t(t.value) : 0u);
        EXPECT_EQ(Z7RCS_GetLrealProp(buf), t.type == 10 ? uint64_t(t.value) : 0u);
        EXPECT_EQ(Z7RCS_GetLintProp(buf), t.type == 4 || t.type == 8 ? t.value : 0);
        EXPECT_EQ(Z7RCS_GetStringProp(buf), t.type == 12 ? buf + 2 : 0u);
        uint16_t pa = 0, pb = 0;
        EXPECT_EQ(Z7RCS_GetPairProp(buf, &pa, &pb), t.type == 11 ? 1u : 0u);
        EXPECT_EQ(uint32_t(pa) << 16 | pb, t.type == 11 ? 0x00010002u : 0u);
        EXPECT_EQ(Z7Rcs_GetObjType(buf), t.prop == 255 ? 0x2Au : 0u);
    }
    // a text without NUL ends at the buffer
    std::memcpy(Z7Mem_Ptr(buf, 5),
                "\x01\x0C"
                "abc",
                5);
    EXPECT_EQ(Z7Rcs_NextToken(buf, buf + 5), buf + 5);
    // variables and arrays by index and by complex-type offset
    uint32_t code = 0, count = 0;
    std::memcpy(Z7Mem_Ptr(buf, 5), "\x01\x0E\x0E\x05\x00", 5);
    EXPECT_EQ(Z7RCS_GetVarProp(db, buf, &code), Z7Sec_Addr(db, Z7SEC_D8) + 5);
    EXPECT_EQ(code, 14u);
    std::memcpy(Z7Mem_Ptr(buf, 7), "\x01\x0F\x02\x08\x00\x00\x00", 7);
    EXPECT_EQ(Z7RCS_GetVarProp(db, buf, &code), Z7Sec_Addr(db, Z7SEC_CT) + 8);
    EXPECT_EQ(code, 2u);
    Z7Mem_Put32(buf + 3, Z7Sec_Bytes(db, Z7SEC_CT) - 3);
    EXPECT_EQ(Z7RCS_GetVarProp(db, buf, &code), 0u) << "a DINT crossing the segment's end";
    std::memcpy(Z7Mem_Ptr(buf, 7), "\x01\x10\x0B\x03\x00\x02\x00", 7);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), Z7Sec_Addr(db, Z7SEC_D16) + 4);
    EXPECT_EQ(code, 11u);
    EXPECT_EQ(count, 3u);
    Z7Mem_Put16(buf + 3, 14);  // elements 2..15 fit, 2..16 do not
    EXPECT_NE(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
    Z7Mem_Put16(buf + 3, 15);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
    EXPECT_EQ(count, 0u);
    std::memcpy(Z7Mem_Ptr(buf, 9), "\x01\x11\x02\x02\x00\x04\x00\x00\x00", 9);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), Z7Sec_Addr(db, Z7SEC_CT) + 4);
    EXPECT_EQ(count, 2u);
    Z7Mem_Put32(buf + 5, Z7Sec_Bytes(db, Z7SEC_CT) - 4);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
    // STRING arrays: by index, strings 1..3 (the first slot answered); by
    // offset, slots of the first one's maximum (10: 13 bytes each) inside
    // the 32-byte segment
    std::memcpy(Z7Mem_Ptr(buf, 7), "\x01\x10\x05\x03\x00\x01\x00", 7);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1)));
    EXPECT_EQ(code, 5u);
    EXPECT_EQ(count, 3u);
    Z7Mem_Put16(buf + 3, 4);  // string 4 does not exist
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
    Z7Mem_Put8(Z7Sec_Addr(db, Z7SEC_CT) + 4, 10);
    std::memcpy(Z7Mem_Ptr(buf, 9), "\x01\x11\x05\x02\x00\x04\x00\x00\x00", 9);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), Z7Sec_Addr(db, Z7SEC_CT) + 4);
    EXPECT_EQ(code, 5u);
    EXPECT_EQ(count, 2u);
    Z7Mem_Put16(buf + 3, 3);  // 4 + 3 x 13 passes 32
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
    Z7Mem_Put16(buf + 3, 1);
    Z7Mem_Put32(buf + 5, 32);
    EXPECT_EQ(Z7RCS_GetArrayProp(db, buf, &code, &count), 0u);
}

TEST_F(IecRsc, CloneOfADatabaseImageReadsItsVariables) {
    IecImage img = Plain();
    img.str = {4, 4, 4};  // five string pointers: 20 bytes, not a multiple of 8
    img.string_sizes = {10, 10, 10, 10};
    img.init8 = {{4, 0x44}};
    img.init_str = {{2, "hello"}};
    StartWith(img);
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    const uint32_t size = Z7Mem_BlockSize(db);
    const uint32_t image = Z7Mem_Alloc(size);
    blocks.push_back(image);
    std::memcpy(Z7Mem_Ptr(image, size), Z7Mem_Ptr(db, size), size);
    const uint32_t csize = Z7VMClone_GetSize(image);
    // the descriptor table, the header and the five sections' own sizes, unrounded
    ASSERT_EQ(Z7Sec_Bytes(db, Z7SEC_STRPTR), 20u);
    const uint32_t want = 640 + 112 + 20 + Z7Sec_Bytes(db, Z7SEC_MAPITEM) + Z7Sec_Bytes(db, Z7SEC_MAPHASH) +
                          Z7Sec_Bytes(db, Z7SEC_XV) + Z7Sec_Bytes(db, Z7SEC_MB);
    EXPECT_EQ(csize, want);
    const uint32_t clone = Z7Mem_Alloc(csize);
    blocks.push_back(clone);
    ASSERT_EQ(Z7VMClone_Build(image, clone, code), 0u);
    EXPECT_EQ(Z7Sec_Addr(clone, Z7SEC_D8), image + (Z7Sec_Addr(db, Z7SEC_D8) - db));
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(clone, Z7SEC_D8, 4)), 0x44);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 4), 0x55);  // the running database is not what the clone reads
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(clone, Z7SEC_D8, 4)), 0x44);
    EXPECT_EQ(Z7VM_Header(clone), clone + 640);
    EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(clone) + HD_MAGIC), 0x8000026u);
    EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(clone) + HD_CODE), code);
    const uint32_t slot = Z7Mem_Get32(Z7Sec_Elem(clone, Z7SEC_STRPTR, 2));
    EXPECT_EQ(slot, image + (Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 2)) - db));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(slot + 2, 5)), 5), "hello");
    EXPECT_GE(Z7Sec_Addr(clone, Z7SEC_STRPTR), clone + 752);
    EXPECT_LT(Z7Sec_Addr(clone, Z7SEC_STRPTR), clone + csize);

    // a damaged magic: no size, and the clone memory is left as it is
    Z7Mem_Put32(image + (Z7VM_Header(db) - db) + HD_MAGIC, 0x8000027);
    std::memset(Z7Mem_Ptr(clone, csize), 0xAB, csize);
    EXPECT_EQ(Z7VMClone_GetSize(image), 0u);
    EXPECT_EQ(Z7VMClone_Build(image, clone, code), 1u);
    const uint8_t *c = Z7Mem_Ptr(clone, csize);
    EXPECT_EQ(std::count(c, c + csize, 0xAB), long(csize));
}

TEST_F(IecRsc, SnmpAgentLibraryLoadedAskedAndUnloaded) {
    StartWith(Plain());
    const std::string dir = IEC_SNMP_DIR;
    // missing library: the loader's line
    Z7RT_SnmpLibrary = "/nonexistent/libz7snmp.so";
    testing::internal::CaptureStdout();
    EXPECT_EQ(Z7RT_LoadSnmp(7, "/mib"), 0u);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("\nLoading Z7snmp lib failed:/nonexistent/libz7snmp.so: cannot open shared object file", 0),
              0u)
        << line;
    // a library lacking an entry point is not kept
    const std::string nostop = dir + "/libz7snmp_nostop.so";
    Z7RT_SnmpLibrary = nostop.c_str();
    EXPECT_EQ(Z7RT_LoadSnmp(7, "/mib"), 0u);
    EXPECT_EQ(dlopen(nostop.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded";

    const std::string full = dir + "/libz7snmp.so";
    Z7RT_SnmpLibrary = full.c_str();
    ASSERT_EQ(Z7RT_LoadSnmp(7, "/mib"), 1u);
    void *lib = dlopen(full.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    using AskFn = uint32_t (*)(uint32_t, uint32_t, char *, uint32_t);
    const auto ask_fn = reinterpret_cast<AskFn>(dlsym(lib, "Z7SNMPTest_Ask"));
    const auto folder = reinterpret_cast<const char *(*)()>(dlsym(lib, "Z7SNMPTest_Folder"));
    const auto arg = reinterpret_cast<uint32_t (*)()>(dlsym(lib, "Z7SNMPTest_Arg"));
    const auto stops = reinterpret_cast<uint32_t (*)()>(dlsym(lib, "Z7SNMPTest_Stops"));
    ASSERT_TRUE(ask_fn && folder && arg && stops);
    EXPECT_STREQ(folder(), "/mib");
    EXPECT_EQ(arg(), 7u);
    struct Q {
        uint32_t instance, item, size, want;
        const char *text;
    };
    auto run = [&](const std::vector<Q> &qs) {
        for (const Q &q : qs) {
            SCOPED_TRACE(testing::Message() << "instance " << q.instance << " item " << q.item);
            char out[32];
            std::memset(out, '#', sizeof out);
            out[31] = 0;
            EXPECT_EQ(ask_fn(q.instance, q.item, out, q.size), q.want);
            EXPECT_STREQ(out, q.text);
        }
    };
    const uint32_t st = Z7VM_Status(db);
    Z7Mem_Put32(st + ST_LONGEST, 12345);
    Z7Mem_Put32(st + ST_PERIOD, 20000);
    Z7Mem_Put32(st + ST_OVERRUNS, 6);
    Z7Mem_Put32(st + ST_APP4, 0x102);
    Z7St_SetFlags(db, 0x0008);
    Z7RT_SetDB(0);
    const std::string untouched(31, '#');
    run({{7, 1, 32, 1, "0"},
         {7, 2, 32, 1, "0"},
         {7, 5, 32, 1, "0"},
         {7, 6, 32, 1, ""},
         {7, 7, 32, 1, ""},
         {7, 8, 32, 0, untouched.c_str()}});
    Z7RT_SetDB(db);
    run({{7, 1, 32, 1, "1"},
         {7, 2, 32, 1, "3"},
         {7, 3, 32, 1, "12"},
         {7, 4, 32, 1, "20"},
         {7, 5, 32, 1, "6"},
         {7, 6, 32, 1, "APP"},
         {7, 6, 3, 1, "AP"},  // cut to the agent's buffer
         {7, 7, 32, 1, "258"},
         {7, 0, 32, 0, untouched.c_str()},
         {7, 8, 32, 0, untouched.c_str()},
         {8, 1, 32, 0, untouched.c_str()}});
    for (const auto &[flags, text] :
         std::vector<std::pair<uint16_t, const char *>>{{0x0001, "1"}, {0x0002, "2"}, {0x0000, "4"}, {0x0100, "4"}}) {
        Z7St_SetFlags(db, flags);
        run({{7, 2, 32, 1, text}});
    }
    EXPECT_EQ(Z7RT_UnloadSnmp(), 1u);
    EXPECT_EQ(stops(), 1u);
    dlclose(lib);
    EXPECT_EQ(dlopen(full.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded";
    EXPECT_EQ(Z7RT_UnloadSnmp(), 1u);
    Z7RT_SetDB(0);
    Z7RT_SnmpLibrary = "libz7snmp.so";
}

}  // namespace iec_test
