// Code image checks, database sizing and layout, and the build: flags and
// options, initial values, program slots, and damaged images refused.
#include "tests/iec/iec_fixture.h"

#include <tuple>

#include "iec/vm/z7code_internal.h"

namespace {
using iec_test::IecTest;
using test_support::IecImage;

TEST_F(IecTest, CheckCodeRefusesFormatSignatureAndVersion) {
    IecImage img;
    img.format = 0x12;
    std::vector<uint8_t> bytes = img.Build();
    IecImage::Put32(bytes, 4, 0xFFFFFFF0);  // never read: the format is checked first
    uint32_t code = test_support::IecLoad(bytes);
    blocks.push_back(code);
    EXPECT_EQ(Z7VMCode_CheckCode(code), 2u);
    uint32_t db = 0;
    EXPECT_EQ(Create(code, db), 1u);

    img.format = 1;
    img.version = "1.1";
    code = Load(img);
    EXPECT_EQ(Z7VMCode_CheckCode(code), 4u);
    img.version = "1.0";
    img.signature = "Z7RTJ";
    code = Load(img);
    EXPECT_EQ(Z7VMCode_CheckCode(code), 3u);
    // a database sized for a good image, then the build of a bad one
    img.signature = "Z7RTI";
    const uint32_t good = Load(img);
    ASSERT_EQ(Create(good, db), 0u);
    EXPECT_EQ(Z7VM_Build(code, db), 1u);
    EXPECT_EQ(Z7VM_Build(good, db), 0u);
}

TEST_F(IecTest, SizingOfSectionsAndTheirBuildCodes) {
    IecImage img;
    img.d16 = {9, 5, 2};
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_ELEM), 2);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_ALLOC), 10);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_USED), 6);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_D16, SD_BOUND), 3);
    // sections follow the table 8-byte aligned; a section of 0 bytes shares
    // its address with the next one
    for (uint32_t s = 0; s + 1 < Z7SEC_COUNT; s++) {
        const uint32_t bytes = Z7Sec_Bytes(db, s);
        EXPECT_EQ(Z7Sec_Addr(db, s + 1), Z7Sec_Addr(db, s) + ((bytes + 7) & ~7u)) << "section " << s;
    }
    EXPECT_EQ(Z7Sec_Addr(db, 0), db + Z7_DESC_TABLE);

    struct Case {
        const char *what;
        void (*edit)(IecImage &);
        uint32_t rc;
    } cases[] = {
        {"16-bit used 10 of 10",
         [](IecImage &i) {
             i.d16 = {9, 10, 0};
         },
         10},
        {"8-bit",
         [](IecImage &i) {
             i.d8 = {3, 4, 0};
         },
         9},
        {"32-bit",
         [](IecImage &i) {
             i.d32 = {3, 4, 0};
         },
         11},
        {"64-bit",
         [](IecImage &i) {
             i.d64 = {3, 4, 0};
         },
         19},
        {"TIME",
         [](IecImage &i) {
             i.time = {3, 4, 0};
         },
         13},
        {"strings",
         [](IecImage &i) {
             i.str = {3, 4, 0};
         },
         20},
        {"XV 2/3",
         [](IecImage &i) {
             i.xv_high = 2;
             i.xv_used = 3;
         },
         34},
        {"9 tasks",
         [](IecImage &i) {
             i.tasks.assign(9, IecImage::Task{"T", {1}});
         },
         36},
        {"4 programs, highest 3",
         [](IecImage &i) {
             i.programs.resize(4);
             i.highest_prog = 3;
         },
         1},
        {"sizing word 65535",
         [](IecImage &i) {
             i.d8 = {0xFFFF, 0, 0};
         },
         1},
        {"programs 65535", [](IecImage &i) { i.highest_prog = 0xFFFF; }, 1},
        {"call stack over 65535",
         [](IecImage &i) {
             i.cs_size = 40000;
             i.programs.resize(2);
         },
         1},
        {"XV index outside its segment",
         [](IecImage &i) {
             i.xv_high = 1;
             i.xvs = {{11, 5}};
         },
         1},
        {"XV type 6",
         [](IecImage &i) {
             i.xv_high = 1;
             i.xvs = {{6, 0}};
         },
         1},
        {"string sizes beyond the table",
         [](IecImage &i) {
             i.str = {1, 0, 0};
             i.string_sizes = {4, 4, 4};
         },
         20},
        {"no published table", [](IecImage &i) { i.has_published = false; }, 1},
        // only TIME index 0 in use is a valid application
        {"TIME index 0 only",
         [](IecImage &i) {
             i.time = {0, 0, 0};
         },
         0},
    };
    for (const Case &c : cases) {
        IecImage bad;
        c.edit(bad);
        uint32_t d = 0;
        EXPECT_EQ(Start(bad, d), c.rc) << c.what;
    }
    IecImage nine;
    nine.tasks.assign(8, IecImage::Task{"T", {1}});
    EXPECT_EQ(Z7VMCode_CanHOTBuildTaskList(Load(nine)), 0u);
    nine.tasks.push_back({"T", {1}});
    EXPECT_EQ(Z7VMCode_CanHOTBuildTaskList(Load(nine)), 36u);

    IecImage cs;
    EXPECT_EQ(Z7VMCode_GetCallStackSize(Load(cs)), 16);
}

TEST_F(IecTest, StatusFlagsAndOptionsFromTheImage) {
    struct Case {
        const char *what;
        void (*edit)(IecImage &);
        uint16_t flags;
        uint32_t options;
    } cases[] = {
        {"plain", [](IecImage &) {}, 0x8401, 0x4},
        {"CT segment", [](IecImage &i) { i.ct_alloc = 8; }, 0x9401, 0x4},
        {"paused", [](IecImage &i) { i.start_mode = 1; }, 0x8400, 0x4},
        {"value-list bits 0b101", [](IecImage &i) { i.init_options = 5; }, 0x8401, 0x20C},
        {"pure code",
         [](IecImage &i) {
             i.ext.assign(12, 0);
             i.ext[11] = 1;
             i.ext_count = 10;
         },
         0x8401, 0},
        {"word 21 = 3 at count 20",
         [](IecImage &i) {
             i.ext.assign(21, 0);
             i.ext[20] = 3;
             i.ext_count = 20;
         },
         0x8401, 0x124},
        {"word 21 = 3 at count 19",
         [](IecImage &i) {
             i.ext.assign(21, 0);
             i.ext[20] = 3;
             i.ext_count = 19;
         },
         0x8401, 0x24},
    };
    for (const Case &c : cases) {
        IecImage img;
        img.name = "PUMPS";
        img.period_us = 10000;
        img.word4 = 4;
        img.word5 = 5;
        img.pre7 = 7;
        img.app34 = 34;
        img.layout = 0x55;
        c.edit(img);
        uint32_t db = 0;
        ASSERT_EQ(Start(img, db), 0u) << c.what;
        EXPECT_EQ(Flags(db), c.flags) << c.what;
        EXPECT_EQ(Options(db), c.options) << c.what;
        EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VM_Status(db), 16)), "PUMPS");
        EXPECT_EQ(St32(db, ST_PERIOD), 10000u);
        EXPECT_EQ(Z7VM_GetTriggerPtr(db), Z7VM_Status(db) + 16);
        EXPECT_EQ(St32(db, ST_APP4) + St32(db, ST_APP5) + St32(db, ST_APPPRE7) + St32(db, ST_APP34), 50u);
        EXPECT_EQ(St32(db, ST_LAYOUT), 0x55u);
        EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(db) + HD_MAGIC), 0x8000026u);
        EXPECT_EQ(Z7Mem_Get8(Z7VM_Status(db) + ST_SEP1), ';');
    }
    // an on-line change keeps the status only for an image of the same application
    IecImage same, other;
    same.name = "PUMPS";
    same.period_us = 20000;
    other.name = "PUMPS2";
    uint32_t db = 0;
    ASSERT_EQ(Start(same, db), 0u);
    same.period_us = 30000;
    EXPECT_EQ(Z7VMCode_UpdateStatus(Load(same), db), 0u);
    EXPECT_EQ(St32(db, ST_PERIOD), 30000u);
    EXPECT_EQ(Z7VMCode_CanUpdateStatus(Load(other), db), 0u);
    EXPECT_EQ(Z7VMCode_UpdateStatus(Load(other), db), 1u);
    // the wrapper of a downloaded program: u16 74, "XTI", the length, the image at 16
    const std::vector<uint8_t> pd = same.ProgramData(), raw = same.Build();
    EXPECT_EQ(pd[0] | pd[1] << 8, 74);
    EXPECT_EQ(std::string(pd.begin() + 4, pd.begin() + 8), std::string("XTI\0", 4));
    EXPECT_EQ(uint32_t(pd[8] | pd[9] << 8 | pd[10] << 16 | pd[11] << 24), raw.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), pd.begin() + 16));
}

TEST_F(IecTest, InitialValuesColdAndOnLineFormsAndStringForce) {
    IecImage img;
    img.d16 = {9, 3, 1};  // allocated 10, used 4, boundary 2
    img.init16 = {{1, 11}, {2, 22}, {3, 33}, {4, 44}};
    img.d8 = {4, 4, 0};
    img.init8 = {{4, 0x1FF}};
    img.d32 = {2, 2, 0};
    img.init32 = {{2, 0xDEADBEEF}};
    img.d64 = {1, 1, 0};
    img.init64 = {{1, 0x0102030405060708ull}};
    img.time = {1, 1, 0};
    img.init_time = {{1, 86399999}};
    img.str = {2, 2, 0};
    img.string_sizes = {3, 6};
    img.init_str = {{1, "ABCDE"}, {2, "XY"}};
    img.ct_alloc = 16;
    img.ct_used = 8;
    img.ct_pieces = {{4, {0xAA, 0xBB}}, {15, {1, 2}}};  // the second lies outside: skipped
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    EXPECT_EQ(Var16(db, 1), 11);
    EXPECT_EQ(Var16(db, 2), 22);
    EXPECT_EQ(Var16(db, 3), 33);
    EXPECT_EQ(Var16(db, 4), 0);  // at the used count: not applied
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 4)), 0xFF);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 2)), 0xDEADBEEFu);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D64, 1) + 4), 0x01020304u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_TIME, 1)), 86399999u);
    EXPECT_EQ(SlotBytes(db, 1), (std::vector<uint8_t>{3, 3, 'A', 'B', 'C', 0}));
    EXPECT_EQ(SlotBytes(db, 2), (std::vector<uint8_t>{6, 2, 'X', 'Y', 0, 0, 0, 0, 0}));
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Addr(db, Z7SEC_CT) + 5), 0xBB);
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Addr(db, Z7SEC_CT) + 15), 0);

    // the on-line form writes only from the boundary on
    for (uint32_t i = 1; i < 4; i++) Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, i), 7);
    Z7VMCode_ApplyData16Init(Z7Mem_Get32(Z7VM_Header(db) + HD_CODE), db, 0);
    EXPECT_EQ(Var16(db, 1), 7);
    EXPECT_EQ(Var16(db, 2), 22);
    EXPECT_EQ(Var16(db, 3), 33);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
}

TEST_F(IecTest, ProgramSlotsCallStackSlicesAndStates) {
    IecImage img;
    img.cs_size = 4;
    img.programs = {{{1}, 0}, {{1, 2}, 1}, {{1}, 0}, {{1}, 2}};
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC), 12);
    const uint16_t bases[] = {4, 0, 8, 0}, states[] = {0x01, 0x10, 0x01, 0};
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    for (uint32_t k = 1; k <= 4; k++) {
        const uint32_t p = Z7Sec_Elem(db, Z7SEC_PROG, k);
        EXPECT_EQ(Z7Mem_Get16(p + PG_BASE), bases[k - 1]) << k;
        EXPECT_EQ(Z7Mem_Get16(p + PG_STATE), states[k - 1]) << k;
        EXPECT_GT(Z7Mem_Get32(p + PG_CODE), code);
    }
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_PROG, 2) + PG_LEN), 4u);
}

TEST_F(IecTest, OffsetsOutsideTheImageAreRefusedOrSkipped) {
    // every header word pointing past the end: absent tables or code 1, never a read outside
    IecImage img;
    img.tasks = {{"MAIN", {1}}};
    img.xv_high = 1;
    img.xvs = {{11, 0}};
    img.ext.assign(24, 0xFFFFFF00);  // offsets past the end; a malloc heap
    img.ext[18] = 0;                 // no extra program slots
    const std::vector<uint8_t> good = img.Build();
    // Sizing refuses (1) a missing signature, application record, sizing
    // block, program header or published-variable table; the cold start
    // refuses (1) a task list it cannot read; every other word leaves its
    // table absent and the application starts.
    for (uint32_t w = 1; w <= 16; w++) {
        std::vector<uint8_t> bytes = good;
        IecImage::Put32(bytes, 4 * w, uint32_t(bytes.size()) - 2);
        const uint32_t code = test_support::IecLoad(bytes);
        blocks.push_back(code);
        uint32_t db = 0;
        const bool sizing = w == 1 || w == 2 || w == 8 || w == 12 || w == 16;
        ASSERT_EQ(Create(code, db), sizing ? 1u : 0u) << "word " << w;
        if (sizing) continue;
        EXPECT_EQ(Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "APP"), w == 5 ? 1u : 0u) << "word " << w;
        Z7Def_Cycle(db, 5, nullptr);
        Z7Def_Stop(db, nullptr, nullptr, "APP");
    }
    // a program whose code runs past the end
    std::vector<uint8_t> bytes = good;
    const uint32_t pl = good[56] | good[57] << 8 | good[58] << 16 | uint32_t(good[59]) << 24;
    IecImage::Put32(bytes, pl + 4, 0x10000);
    uint32_t db = 0;
    const uint32_t code = test_support::IecLoad(bytes);
    blocks.push_back(code);
    ASSERT_EQ(Create(code, db), 0u);
    EXPECT_EQ(Z7VM_Build(code, db), 1u);
    // the extension table's count beyond the image: absent features
    const Z7Img im = Z7Img_Of(Load(img));
    EXPECT_EQ(Z7VMCode_GetCanDef(im.base), 0u);
    EXPECT_EQ(Z7VMCode_GetStringTable(im.base, 1), 0u);
    EXPECT_EQ(Z7VMCode_GetHeapSize(im.base), int32_t(0xFFFFFF00));
}

// Counts and tables the sizing and extension words decide: the lock flags
// cover the largest typed segment (strings included), word 19 asks for
// more program slots, string table n is there up to its count, the
// instance-name list needs a count of 22, and an on-line change cannot
// take a malloc heap or a buffer heap larger than its section (71).
TEST_F(IecTest, SizingAndExtensionWordsCountsTablesAndTheOnLineHeap) {
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {5, 5, 5};
    img.str = {20, 20, 20};
    img.string_sizes.assign(20, 4);
    img.programs = {{}, {}};
    img.ext.assign(19, 0);
    img.ext[18] = 6;                                               // word 19: six program slots
    img.ext_blocks = {{15, {0, 0, 2, 0, 4, 0, 0, 0, 8, 0, 0, 0}},  // two string tables, at 4 and 8
                      {22, {'n', 'a', 'm', 'e', 's', 0}}};
    const uint32_t code = Load(img);
    EXPECT_EQ(Z7VMCode_GetNbLockFlags(code), 21u);
    EXPECT_EQ(Z7VMCode_GetNbProg(code), 3u);  // highest program number + 1
    EXPECT_EQ(Z7VMCode_GetNbProgAlloc(code), 6u);
    EXPECT_EQ(Z7VMCode_GetStringTable(code, 1), code + 4);
    EXPECT_EQ(Z7VMCode_GetStringTable(code, 2), code + 8);
    EXPECT_EQ(Z7VMCode_GetStringTable(code, 3), 0u);
    EXPECT_EQ(Z7VMCode_GetStringTable(code, 0), 0u);
    const uint32_t names = Z7VMCode_GetInstanceNames(code);
    ASSERT_NE(names, 0u);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(names, 6)), "names");
    img.ext_count = 21;
    EXPECT_EQ(Z7VMCode_GetInstanceNames(Load(img)), 0u);
    img.ext_count = -1;
    img.ext[18] = 1;  // fewer than the programs: the program count
    EXPECT_EQ(Z7VMCode_GetNbProgAlloc(Load(img)), 3u);

    // the heap at an on-line change
    IecImage heap;
    heap.ext.assign(18, 0);
    heap.ext[17] = 256;
    uint32_t db = 0;
    ASSERT_EQ(Start(heap, db), 0u);
    heap.ext[17] = uint32_t(-1);  // a malloc heap
    EXPECT_EQ(Z7VMCode_AllocHeap(Load(heap), db, 1), 71u);
    heap.ext[17] = 1u << 20;  // larger than the section holding the buffer
    EXPECT_EQ(Z7VMCode_AllocHeap(Load(heap), db, 1), 71u);
    heap.ext[17] = 0;  // none: the buffer heap stays
    const uint32_t before = Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP);
    ASSERT_NE(before, 0u);
    EXPECT_EQ(Z7VMCode_AllocHeap(Load(heap), db, 1), 0u);
    EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP), before);
    Z7Def_Stop(db, nullptr, nullptr, "APP");
}

TEST_F(IecTest, ExtensionGatesDecideWhatIsPresent) {
    IecImage img;
    img.ext = std::vector<uint32_t>(18, 68);  // every word: offset 68, inside the image
    img.ext_count = 15;                       // a CAN definition (word 17) but no heap (word 18 needs 16)
    const uint32_t code = Load(img);
    EXPECT_EQ(Z7VMCode_GetCanDef(code), code + 68);
    EXPECT_EQ(Z7VMCode_GetHeapSize(code), 0);
    img.ext_count = 4;  // static events and remote bindings, no bus-driver list
    const uint32_t four = Load(img);
    EXPECT_EQ(Z7VMCode_StaticEvents(four), four + 68);
    uint32_t c = 0, v = 0;
    EXPECT_EQ(Z7VMCode_GetEAX(four, &c, &v), 1u);
    EXPECT_EQ(c, four + 68);
    EXPECT_EQ(Z7VMCode_GetBusDrv(four), 0u);
    // the I/O point count from count 6 on, the bus I/O list from 9 on
    for (auto [count, ios, list] : {std::tuple{5, 0u, false}, {6, 68u, false}, {8, 68u, false}, {9, 68u, true}}) {
        img.ext_count = count;
        const uint32_t c = Load(img);
        EXPECT_EQ(Z7VMCode_GetNbIOs(c), ios) << count;
        EXPECT_EQ(Z7VMCode_GetBusIOList(c), list ? c + 68 : 0u) << count;
    }
    // interrupt tasks: 16 from extension count 18, 64 from 20, where the debug bit also counts
    img.ext = std::vector<uint32_t>(22, 68);
    img.ext[20] = 2;  // word 21
    for (auto [count, its, debug] : {std::tuple{17, 0u, 0u}, {18, 16u, 0u}, {20, 64u, 1u}}) {
        img.ext_count = count;
        const uint32_t c = Load(img);
        EXPECT_EQ(Z7VMCode_GetITCount(c), its) << count;
        EXPECT_EQ(Z7VMCode_IsCodeDebug(c), debug) << count;
    }
    img.ext.clear();
    img.ext_count = -1;
    EXPECT_EQ(Z7VMCode_GetPassword(Load(img)), 0u);
}

}  // namespace
