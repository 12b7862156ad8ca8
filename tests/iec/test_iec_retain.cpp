// Retained variables through the host's stop and cold start: the retain file
// byte for byte, loading it back, foreign or short files, the backup copy and
// the fatal-signal path's save.
#include "tests/iec/iec_fixture.h"

#include <fstream>
#include <iterator>

namespace {
using iec_test::IecTest;
using test_support::IecImage;

IecImage Retaining() {
    IecImage img;
    img.d16 = {3, 3, 0};
    img.init16 = {{2, 0x1234}, {3, 0x5678}};
    img.str = {2, 2, 0};
    img.string_sizes = {4, 6};
    img.init_str = {{1, "AB"}, {2, "XYZ"}};
    img.has_retain = true;
    img.retain.c16 = 2;
    img.retain.f16 = 2;
    img.retain.cs = 2;
    img.retain.fs = 1;
    img.retain.sig = 0x12345678;
    return img;
}

std::vector<uint8_t> ReadFile(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}
void WriteFile(const std::string &p, const std::vector<uint8_t> &d) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(d.data()), std::streamsize(d.size()));
}

const std::vector<uint8_t> kFile = {0x78, 0x56, 0x34, 0x12, 0x34, 0x12, 0x78, 0x56, 0x04, 0x02, 0x41, 0x42,
                                    0x00, 0x00, 0x00, 0x06, 0x03, 0x58, 0x59, 0x5A, 0x00, 0x00, 0x00, 0x00};

TEST_F(IecTest, StopWritesTheRetainFileAndAColdStartLoadsIt) {
    const std::string file = root / "mnt/cfg/z7.ret";
    uint32_t db = 0;
    ASSERT_EQ(Start(Retaining(), db), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(ReadFile(file), kFile);

    // changed values in the file come back at a cold start with retains
    std::vector<uint8_t> changed = kFile;
    changed[4] = 0x99;
    changed[9] = 1;   // 'A' only
    changed[16] = 9;  // a length above the slot's maximum is clipped
    WriteFile(file, changed);
    uint32_t db2 = 0;
    ASSERT_EQ(Start(Retaining(), db2, true), 0u);
    EXPECT_TRUE(Options(db2) & Z7O_RETAINS);
    EXPECT_EQ(Var16(db2, 2), 0x1299);
    EXPECT_EQ(SlotBytes(db2, 1), (std::vector<uint8_t>{4, 1, 'A', 0, 0, 0, 0}));
    EXPECT_EQ(SlotBytes(db2, 2), (std::vector<uint8_t>{6, 6, 'X', 'Y', 'Z', 0, 0, 0, 0}));

    // the backup copy: written whole, read back only on a match
    EXPECT_EQ(Z7VMWarm_SaveToFile(db2, "/mnt/cfg/Z7_BKP.RET"), 1u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/Z7_BKP.RET").size(), kFile.size());
    EXPECT_EQ(Z7VMWarm_SaveToFile(db2, "/mnt/nodir/Z7_BKP.RET"), 0u);
    Z7Mem_Put16(Z7Sec_Elem(db2, Z7SEC_D16, 3), 1);
    EXPECT_EQ(Z7VMWarm_LoadFromFile(db2, "/mnt/cfg/Z7_BKP.RET"), 1u);
    EXPECT_EQ(Var16(db2, 3), 0x5678);
    EXPECT_EQ(Z7VMWarm_LoadFromFile(db2, "/mnt/cfg/none.ret"), 0u);
    // the fatal-signal path's save: the whole image, no temporary file left
    EXPECT_EQ(Z7VMWarm_SaveNow(db2, "/mnt/cfg/z7.ret"), 1u);
    EXPECT_EQ(ReadFile(file),
              (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0x99, 0x12, 0x78, 0x56, 0x04, 0x01, 0x41, 0x00,
                                    0x00, 0x00, 0x00, 0x06, 0x06, 0x58, 0x59, 0x5A, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(std::ifstream(file + ".sig").good());
    EXPECT_EQ(Z7VMWarm_SaveNow(db2, "/mnt/nodir/z7.ret"), 0u);
    EXPECT_EQ(Z7VM_CanLoadRetains(Z7Mem_Get32(Z7VM_Header(db2) + HD_CODE), "/mnt/cfg/z7.ret"), 1u);
    EXPECT_EQ(Z7VMWarm_CheckFile(0x12345679, "/mnt/cfg/z7.ret"), 0u);
    Z7Def_Stop(db2, nullptr, nullptr, "APP");
}

// Every run retained: the file holds 8-bit, 16-bit, 32-bit, 64-bit, TIME
// and string runs in that order (the definition gives them as 8-bit, 32-bit,
// TIME, strings, 16-bit, 64-bit), and a cold start reads each back.
TEST_F(IecTest, EveryRetainedRunInItsPlaceOfTheFile) {
    IecImage img = Retaining();
    img.d8 = img.d32 = img.d64 = img.time = {3, 3, 0};
    img.init8 = {{2, 0xA8}};
    img.init32 = {{1, 0x11223344}};
    img.init64 = {{2, 0x0102030405060708ull}};
    img.init_time = {{1, 1000}, {2, 0x55667788}};
    img.retain.c8 = 1, img.retain.f8 = 2;
    img.retain.c32 = 1, img.retain.f32 = 1;
    img.retain.c64 = 1, img.retain.f64 = 2;
    img.retain.ct = 2, img.retain.ft = 1;
    const std::vector<uint8_t> want = {0x78, 0x56, 0x34, 0x12,                          // signature
                                       0xA8,                                            // 8-bit 2
                                       0x34, 0x12, 0x78, 0x56,                          // 16-bit 2, 3
                                       0x44, 0x33, 0x22, 0x11,                          // 32-bit 1
                                       0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // 64-bit 2
                                       0xE8, 0x03, 0x00, 0x00, 0x88, 0x77, 0x66, 0x55,  // TIME 1, 2
                                       0x04, 0x02, 0x41, 0x42, 0x00, 0x00, 0x00,        // string 1
                                       0x06, 0x03, 0x58, 0x59, 0x5A, 0x00, 0x00, 0x00, 0x00};
    const std::string file = root / "mnt/cfg/z7.ret";
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(ReadFile(file), want);

    std::vector<uint8_t> changed = want;
    changed[4] = 0x5A;   // 8-bit 2
    changed[9] = 0x45;   // 32-bit 1
    changed[13] = 0x09;  // 64-bit 2
    changed[25] = 0x89;  // TIME 2
    WriteFile(file, changed);
    testing::internal::CaptureStdout();
    ASSERT_EQ(Start(img, db, true), 0u);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 2)), 0x5A);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, 1)), 0x11223345u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D64, 2)), 0x05060709u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_TIME, 1)), 1000u);
    EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_TIME, 2)), 0x55667789u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(ReadFile(file), changed);
}

TEST_F(IecTest, ForeignOrShortRetainFilesKeepTheInitialValues) {
    const std::string file = root / "mnt/cfg/z7.ret";
    std::vector<uint8_t> foreign = kFile;
    foreign[0] = 0x79;  // signature + 1
    foreign[4] = 0x99;
    WriteFile(file, foreign);
    uint32_t db = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(Start(Retaining(), db, true), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("dwCrcFile is 305419897 and pRetain->dwCrc is 305419896\n"), std::string::npos) << out;
    EXPECT_TRUE(Options(db) & Z7O_RETAINS);  // a load was asked, whatever its result
    EXPECT_EQ(Var16(db, 2), 0x1234);
    EXPECT_EQ(Z7VM_LoadRetains(db, nullptr), 1u);

    std::vector<uint8_t> shorter = kFile;
    shorter[4] = 0x99;
    shorter.pop_back();
    WriteFile(file, shorter);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Z7VM_LoadRetains(db, "/mnt/cfg/z7.ret"), 1u);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Var16(db, 2), 0x1234);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(ReadFile(file), kFile);
}

TEST_F(IecTest, NothingRetainedRemovesTheFileAndBadRunsAreRefused) {
    const std::string file = root / "mnt/cfg/z7.ret";
    WriteFile(file, kFile);
    IecImage none;
    uint32_t db = 0;
    ASSERT_EQ(Start(none, db), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_TRUE(ReadFile(file).empty());
    EXPECT_EQ(access(file.c_str(), F_OK), -1);

    struct Case {
        const char *what;
        void (*edit)(IecImage &);
    } cases[] = {
        {"16-bit run past its section", [](IecImage &i) { i.retain.c16 = 3; }},
        {"string run past the table", [](IecImage &i) { i.retain.cs = 3; }},
        {"64-bit run over 65,535 bytes",
         [](IecImage &i) {
             i.d64 = {9000, 0, 0};
             i.retain.c64 = 8200;
             i.retain.f64 = 1;
         }},
        {"CT area outside its segment",
         [](IecImage &i) {
             i.ext.assign(11, 0);
             i.ct_alloc = 8;
             i.retain.ct_size = 9;
         }},
    };
    for (const Case &c : cases) {
        IecImage img = Retaining();
        c.edit(img);
        uint32_t d = 0;
        EXPECT_EQ(Start(img, d), 1u) << c.what;
    }
    // retained complex-type bytes follow the runs
    IecImage ct = Retaining();
    ct.ext.assign(11, 0);
    ct.ct_alloc = 8;
    ct.ct_pieces = {{2, {0xC1, 0xC2}}};
    ct.retain.ct_size = 4;
    ct.retain.ct_off = 1;
    ASSERT_EQ(Start(ct, db), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    std::vector<uint8_t> want = kFile;
    want.insert(want.end(), {0, 0xC1, 0xC2, 0});
    EXPECT_EQ(ReadFile(file), want);
}

}  // namespace
