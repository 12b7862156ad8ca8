// Runtime resources of the IEC VM: the resource table with its dynamic
// arrays and the release at stop, parameter files, the parameter tools of
// block handlers, the sampling trace, resource files with property tokens,
// the clone view and the SNMP link.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7stdlib.h"
#include "tests/iec/iec_fixture.h"

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
                                               {0, 4, 4, 2},    // identifier 0 would read as a free item
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
}

TEST_F(IecRsc, ParameterFilesBySectionAndKey) {
    StartWith(Plain());
    WriteFile("mnt/cfg/p.ini", "[Net]\r\nKey=Value\r\n[Other]\r\nX=1\n");
    // the tail of an over-long line is no section and no key
    std::string longline = "[Long]\n" + std::string(255, 'a') + "[Tail]\nT=2\n" + std::string(250, 'b') + "xxxxxT=9\n[Tail]\nT=3\n";
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
    for (const Row &r : std::vector<Row>{{14, 5, Z7SEC_D8, 1, 1},  {1, 6, Z7SEC_D8, 0, 1},  {10, 5, Z7SEC_D8, 1, 1},
                                         {11, 6, Z7SEC_D16, 1, 2}, {15, 5, Z7SEC_D16, 0, 2}, {2, 6, Z7SEC_D32, 1, 4},
                                         {3, 5, Z7SEC_D32, 0, 4},  {16, 6, Z7SEC_D32, 1, 4}, {12, 6, Z7SEC_D64, 1, 8},
                                         {13, 5, Z7SEC_D64, 0, 8}, {17, 6, Z7SEC_D64, 1, 8}, {4, 6, Z7SEC_TIME, 1, 4},
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

}  // namespace iec_test
