// Program and register storage: the files of "/mnt/cfg" byte for byte, round
// trips through them, damaged and oversized stored blocks.
#include <cstdio>
#include <sys/stat.h>

#include "cmd/cmd.h"
#include "core/image/util.h"
#include "iec/services/drevano.h"
#include "tests/core/test_storage_fixture.h"

using namespace storage_test;

namespace {

// "config.pgm" of a first start, built from the default table.
std::vector<uint8_t> DefaultConfigPgm() {
    std::vector<uint8_t> c = StoredBlock(kIoDef);
    Put16(c, 80);
    Put16(c, RefCrc(kSetupDef));
    c.insert(c.end(), kSetupDef.begin(), kSetupDef.end());
    for (int i = 0; i < 3; i++) {  // protocol manager, messaging, data log
        const auto b = StoredBlock(kTableDef);
        c.insert(c.end(), b.begin(), b.end());
    }
    Put32(c, 0);  // parameter table: never written, empty
    Put32(c, 0);
    for (int i = 0; i < 2; i++) {  // CANopen, MQTT
        const auto b = StoredBlock(kTableDef);
        c.insert(c.end(), b.begin(), b.end());
    }
    return c;
}

mode_t ModeOf(const std::string &p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

// A complete application in the memory files and a patterned register image.
struct App {
    std::vector<uint8_t> prog = Program(300, 0x9F);  // every table feature bit
    std::vector<uint8_t> io = Pattern(40, 11), promgr = Pattern(50, 12), sms = Pattern(20, 13), dlog = Pattern(30, 14),
                         parm = Pattern(12, 15), copen = Pattern(16, 16), mqtt = Pattern(24, 17),
                         setup = Pattern(80, 18);
    std::vector<uint8_t> force = {1, 0, 0, 0, 0x10, 0, 0xFF, 0xFE, 0x01, 0x00};

    void Put() const {
        SetArea(ladder_bl.data(), prog);
        SetArea(io_config_bl.data(), io);
        SetArea(promgr_table_bl.data(), promgr);
        SetArea(sms_table_bl.data(), sms);
        SetArea(datalog_table.data(), dlog);
        SetArea(flash_parm_tbl.data(), parm);
        SetArea(copendnet_tbl.data(), copen);
        SetArea(mqtt_tbl.data(), mqtt);
        std::memcpy(&plc_reg[MF_SETUP_BYTE], setup.data(), setup.size());
        PlcDwordSet(W_SETUP_LEN, 80);
        PlcWordSet(W_SETUP_CRC, RefCrc(setup));
        std::memcpy(&plc_reg[MF_FORCE_BYTE], force.data(), force.size());
        PlcDwordSet(W_FORCE_LEN, uint32_t(force.size()));
        PlcWordSet(W_FORCE_CRC, RefCrc(force));
        for (uint32_t w = 2000; w < 2100; w++) PlcWordSet(w, uint16_t(w * 3));
        std::memcpy(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8);
    }
};

void WipeAreas() {
    for (uint8_t *a : {ladder_bl.data(), io_config_bl.data(), promgr_table_bl.data(), sms_table_bl.data(),
                       datalog_table.data(), copendnet_tbl.data(), mqtt_tbl.data(), flash_parm_tbl.data()})
        std::memset(a, 0, 4096);
    plc_reg.fill(0);
}

}  // namespace

TEST_F(StorageTest, FirstStartCreatesDefaultFilesByteForByte) {
    EXPECT_EQ(LoadProgram(), 1u);  // nothing stored: nothing to load
    EXPECT_EQ(AutoLoadRegisters(), 1u);
    EXPECT_EQ(fwload_set_def, 1);
    EXPECT_TRUE(FileExists(Cfg("autoreg.dta")));
    EXPECT_TRUE(FileExists(Cfg("bbram.dta")));

    nv_Startup = 1;
    EXPECT_EQ(nvram_init(0, 0), 1u);
    nv_Startup = 0;
    EXPECT_EQ(fwload_set_def, 0);
    EXPECT_EQ(SaveProgram(), 1u);

    EXPECT_EQ(ReadFile(Cfg("ladder.pgm")), StoredBlock(kLadderDef));
    EXPECT_EQ(ReadFile(Cfg("config.pgm")), DefaultConfigPgm());
    EXPECT_EQ(ReadFile(Cfg("autoreg.dta")).size(), PLC_REG_SIZE);
    for (const char *f : {"ladder.pgm", "config.pgm", "autoreg.dta"}) EXPECT_EQ(ModeOf(Cfg(f)), 0600u) << f;
    EXPECT_FALSE(FileExists(Cfg("ladder.pgm.tmp")));

    // Forced defaults of the retained words and the mirrors.
    EXPECT_EQ(PlcWord(159), 16);
    EXPECT_EQ(PlcWord(264), 500);
    EXPECT_EQ(PlcWord(310), 1);
    EXPECT_EQ(PlcWord(313), 15);
    EXPECT_EQ(PlcWord(296), 0x7FFF);
    EXPECT_EQ(PlcWord(297), 0x8000);
    EXPECT_EQ(PlcWord(150), RefCrc(kLadderDef));
    EXPECT_EQ(PlcDword(138), 2u);
    EXPECT_EQ(PlcWord(153), RefCrc(kIoDef));
    EXPECT_EQ(PlcDword(144), 12u);
    EXPECT_EQ(PlcDword(146), 34u);
    EXPECT_EQ(net_config_bl[MF_HDR + 6], 0x40);
    EXPECT_EQ(PlcDword(272), ~8u);
    EXPECT_EQ(PlcWord(275), uint16_t(~RefCrc(kTableDef)));
    EXPECT_EQ(PlcWord(W_FAULT) & 0x04, 0);
}

TEST_F(StorageTest, RoundTripKeepsProgramBlocksAndRegisters) {
    App app;
    app.Put();
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    const auto image = plc_reg;

    WipeAreas();
    EXPECT_EQ(LoadProgram(), 1u);
    EXPECT_EQ(AutoLoadRegisters(), 0u);  // the file existed
    EXPECT_EQ(AreaData(ladder_bl.data(), 300), app.prog);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 300u);
    EXPECT_EQ(AreaData(io_config_bl.data(), 40), app.io);
    EXPECT_EQ(AreaData(promgr_table_bl.data(), 50), app.promgr);
    EXPECT_EQ(AreaData(sms_table_bl.data(), 20), app.sms);
    EXPECT_EQ(AreaData(datalog_table.data(), 30), app.dlog);
    EXPECT_EQ(AreaData(flash_parm_tbl.data(), 12), app.parm);
    EXPECT_EQ(AreaData(copendnet_tbl.data(), 16), app.copen);
    EXPECT_EQ(AreaData(mqtt_tbl.data(), 24), app.mqtt);
    EXPECT_EQ(MF_Crc(mqtt_tbl.data()), RefCrc(app.mqtt));
    EXPECT_TRUE(plc_reg == image);

    // Everything is whole: nothing re-created, the tables keep their data.
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_EQ(PlcWord(W_FAULT) & 0x04, 0);
    EXPECT_EQ(AreaData(ladder_bl.data(), 300), app.prog);
    EXPECT_EQ(AreaData(mqtt_tbl.data(), 24), app.mqtt);
    EXPECT_EQ(AreaData(copendnet_tbl.data(), 16), app.copen);
    EXPECT_EQ(MF_Len(copendnet_tbl.data()), 16u);
}

// One block of "config.pgm" read back into its area alone, by file type.
TEST_F(StorageTest, OneStoredBlockComesBackAlone) {
    App app;
    app.Put();
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    struct Row {
        uint32_t type;
        uint8_t *area;
        const std::vector<uint8_t> *data;
    };
    const Row rows[] = {{5, io_config_bl.data(), &app.io},      {20, promgr_table_bl.data(), &app.promgr},
                        {21, sms_table_bl.data(), &app.sms},    {22, datalog_table.data(), &app.dlog},
                        {23, copendnet_tbl.data(), &app.copen}, {33, mqtt_tbl.data(), &app.mqtt}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.type);
        WipeAreas();
        EXPECT_EQ(LoadConfigBlock(r.type), 1u);
        EXPECT_EQ(AreaData(r.area, r.data->size()), *r.data);
        EXPECT_EQ(MF_Crc(r.area), RefCrc(*r.data));
        for (const Row &other : rows)
            EXPECT_EQ(MF_Len(other.area), other.type == r.type ? uint32_t(r.data->size()) : 0u) << other.type;
        EXPECT_EQ(PlcDword(W_SETUP_LEN), 0u);
    }
    WipeAreas();
    EXPECT_EQ(LoadConfigBlock(4), 1u);
    EXPECT_EQ(PlcDword(W_SETUP_LEN), 80u);
    EXPECT_EQ(PlcWord(W_SETUP_CRC), RefCrc(app.setup));
    EXPECT_EQ(std::vector<uint8_t>(&plc_reg[MF_SETUP_BYTE], &plc_reg[MF_SETUP_BYTE] + 80), app.setup);
    EXPECT_EQ(MF_Len(io_config_bl.data()), 0u);
    // Types kept elsewhere, and a stored file cut short.
    for (uint32_t t : {0u, 2u, 6u, 26u}) EXPECT_EQ(LoadConfigBlock(t), 0u) << t;
    auto f = ReadFile(Cfg("config.pgm"));
    f.resize(f.size() - 1);
    WriteFile(Cfg("config.pgm"), f);
    EXPECT_EQ(LoadConfigBlock(21), 1u);
    EXPECT_EQ(LoadConfigBlock(33), 0u);
    ASSERT_EQ(unlink(Cfg("config.pgm").c_str()), 0);
    EXPECT_EQ(LoadConfigBlock(5), 0u);
}

TEST_F(StorageTest, FlippedByteInProgramFailsLoadAndLeavesConfigUnread) {
    App app;
    app.Put();
    CrtAutoSaveRegFile();
    ASSERT_EQ(SaveProgram(), 1u);
    auto f = ReadFile(Cfg("ladder.pgm"));
    f[8 + 100] ^= 0x01;
    WriteFile(Cfg("ladder.pgm"), f);

    WipeAreas();
    EXPECT_EQ(LoadLadder(), 0u);
    EXPECT_EQ(LoadProgram(), 0u);
    EXPECT_EQ(MF_Len(io_config_bl.data()), 0u);  // config.pgm was not read
    EXPECT_TRUE(MF_PersistGet() & PS_LADDER_CRC);
    AutoLoadRegisters();
    EXPECT_TRUE(PlcWord(W_STORFAULT) & PS_LADDER_CRC);

    // Start-up: the program counts as bad even though the saved mode is 2.
    PlcWordSet(W_MODE, 2);
    nv_Startup = 1;
    EXPECT_EQ(nvram_init(0, 0), 0u);
    nv_Startup = 0;
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(AreaData(ladder_bl.data(), 2), kLadderDef);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 0u);
}

// One flipped byte in each stored block of "config.pgm" (offset of the
// block's first data byte in the file, from the layout of App).
TEST_F(StorageTest, FlippedByteInEachConfigBlockIsDetectedAndRecreated) {
    struct Case {
        const char *name;
        std::size_t offset;
    };
    // io 8+40, setup 4+80, promgr 8+50, sms 8+20, datalog 8+30, parm 8+12, copen 8+16, mqtt 8+24
    const std::size_t io = 8, setup = io + 40 + 4, promgr = setup + 80 + 8, sms = promgr + 50 + 8, dlog = sms + 20 + 8,
                      parm = dlog + 30 + 8, copen = parm + 12 + 8, mqtt = copen + 16 + 8;
    (void)setup;
    for (const Case &c : {Case{"io", io}, Case{"promgr", promgr}, Case{"sms", sms}, Case{"datalog", dlog},
                          Case{"canopen", copen}, Case{"mqtt", mqtt}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        App app;
        app.Put();
        CrtAutoSaveRegFile();
        ASSERT_EQ(SaveProgram(), 1u);
        auto f = ReadFile(Cfg("config.pgm"));
        ASSERT_EQ(f.size(), mqtt + 24);
        f[c.offset + 3] ^= 0x20;
        WriteFile(Cfg("config.pgm"), f);

        WipeAreas();
        EXPECT_EQ(LoadProgram(), 1u);  // complete, only the CRC is wrong
        AutoLoadRegisters();
        nv_Startup = 1;
        EXPECT_EQ(nvram_init(0, 0), 0u);
        nv_Startup = 0;
        // Every file re-created with its default, marked invalid, controller stopped.
        EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
        EXPECT_EQ(PlcWord(W_MODE), 0);
        EXPECT_EQ(AreaData(ladder_bl.data(), 2), kLadderDef);
        EXPECT_EQ(AreaData(io_config_bl.data(), 12), kIoDef);
        EXPECT_EQ(AreaData(mqtt_tbl.data(), 8), kTableDef);
        EXPECT_EQ(MF_Len(io_config_bl.data()), 0u);
        EXPECT_EQ(MF_Len(mqtt_tbl.data()), 0u);
        EXPECT_EQ(PlcDword(138), 0u);
        // The force table and the CANopen table stay valid.
        EXPECT_EQ(PlcDword(W_FORCE_LEN), 4u);
        EXPECT_EQ(PlcWord(W_FORCE_CRC), RefCrc(kForceDef));
        EXPECT_EQ(MF_Len(copendnet_tbl.data()), 8u);
        EXPECT_EQ(MF_Crc(copendnet_tbl.data()), RefCrc(kTableDef));
    }
}

TEST_F(StorageTest, MissingProgramStillLoadsConfiguration) {
    App app;
    app.Put();
    CrtAutoSaveRegFile();
    ASSERT_EQ(SaveProgram(), 1u);
    ASSERT_EQ(unlink(Cfg("ladder.pgm").c_str()), 0);
    WipeAreas();
    EXPECT_EQ(LoadProgram(), 1u);
    EXPECT_EQ(AreaData(io_config_bl.data(), 40), app.io);
    EXPECT_EQ(AreaData(mqtt_tbl.data(), 24), app.mqtt);
    EXPECT_EQ(MF_PersistGet(), 0u);
}

TEST_F(StorageTest, OversizedStoredLengthsAreRefused) {
    // Program: the stored length exceeds the program area.
    std::vector<uint8_t> lad;
    Put32(lad, 0);
    Put32(lad, 0xFFFFFFF0u);
    lad.resize(64, 0x55);
    WriteFile(Cfg("ladder.pgm"), lad);
    EXPECT_EQ(LoadLadder(), 0u);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 0u);
    EXPECT_TRUE(MF_PersistGet() & PS_LADDER_CRC);
    ASSERT_EQ(unlink(Cfg("ladder.pgm").c_str()), 0);

    // I/O configuration longer than its area.
    std::vector<uint8_t> cfg;
    Put32(cfg, 0);
    Put32(cfg, uint32_t(IO_CONFIG_BL_SIZE));  // 8 more than the data room
    cfg.resize(64, 0);
    WriteFile(Cfg("config.pgm"), cfg);
    MF_PersistSet(0);
    EXPECT_EQ(LoadProgram(), 0u);
    EXPECT_TRUE(MF_PersistGet() & PS_CONFIG_SHORT);
    EXPECT_EQ(MF_Len(io_config_bl.data()), 0u);

    // Register set-up area longer than its 88 bytes.
    cfg = StoredBlock(kIoDef);
    Put16(cfg, 200);
    Put16(cfg, 0);
    cfg.resize(cfg.size() + 200, 0);
    WriteFile(Cfg("config.pgm"), cfg);
    std::memcpy(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8);
    EXPECT_EQ(LoadProgram(), 0u);
    EXPECT_EQ(PlcDword(W_SETUP_LEN), 0u);
    EXPECT_EQ(std::memcmp(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8), 0);

    // A truncated file is incomplete.
    App app;
    app.Put();
    CrtAutoSaveRegFile();
    ASSERT_EQ(SaveProgram(), 1u);
    auto f = ReadFile(Cfg("config.pgm"));
    f.resize(f.size() - 1);
    WriteFile(Cfg("config.pgm"), f);
    MF_PersistSet(0);
    EXPECT_EQ(LoadProgram(), 0u);
    EXPECT_TRUE(MF_PersistGet() & PS_CONFIG_SHORT);
}

TEST_F(StorageTest, RegisterFilesDeleteAndRecreateKeepNetworkId) {
    PlcWordSet(W_NETID, 17);
    PlcWordSet(W_CANRATE, 3);
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(DelAutoRegFile(), 1u);
    EXPECT_FALSE(FileExists(Cfg("autoreg.dta")));
    EXPECT_EQ(MF_PersistGet(), PS_REGFILE_DELETED);
    EXPECT_EQ(ReadFile(Cfg("retnreg.dta")), (std::vector<uint8_t>{17, 0, 3, 0}));
    EXPECT_EQ(AutoSaveRegisters(), 0u);  // no register file: nothing saved

    plc_reg.fill(0);
    EXPECT_EQ(AutoLoadRegisters(), 1u);
    EXPECT_EQ(PlcWord(W_NETID), 17);
    EXPECT_EQ(PlcWord(W_CANRATE), 3);
    EXPECT_EQ(MF_PersistGet() & PS_REGFILE_DELETED, 0u);
    EXPECT_EQ(fwload_set_def, 1);

    // A short register file is reported.
    WriteFile(Cfg("autoreg.dta"), std::vector<uint8_t>(100, 1));
    EXPECT_EQ(AutoLoadRegisters(), 0u);
    EXPECT_TRUE(PlcWord(W_STORFAULT) & PS_AUTOREG_SHORT);
}

// Bytes this process has handed to write() so far (the kernel's count).
uint64_t BytesWritten() {
    std::FILE *f = std::fopen("/proc/self/io", "r");
    char line[128];
    uint64_t n = ~uint64_t(0);
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "wchar: %llu", reinterpret_cast<unsigned long long *>(&n)) == 1) break;
    if (f != nullptr) std::fclose(f);
    return n;
}

// The auto-save writes the image (109,176 bytes) only when it changed since
// the last save; the clock records (words 171..177 and 54291..54296) and
// the clock bits %S3..%S5, which move by themselves and are made anew after
// a start, do not count as a change. A file written by anyone else is
// written again.
TEST_F(StorageTest, AutoSaveWritesOnlyAChangedImage) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    for (std::size_t i = 0; i < plc_reg.size(); ++i) plc_reg[i] = uint8_t(i * 13);
    uint64_t before = BytesWritten();
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(BytesWritten() - before, 109176u);
    before = BytesWritten();
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(BytesWritten() - before, 0u) << "unchanged";
    // A quiet hour, one call every 500 ms, the clock records moving on.
    before = BytesWritten();
    for (int i = 0; i < 7200; ++i) {
        PlcWordSet(171, uint16_t(i / 2 % 60));  // second
        PlcWordSet(177, uint16_t(i % 7 + 1));   // day of the week
        PlcWordSet(54291, uint16_t(i / 2 % 60));
        PlcWordSet(54296, uint16_t(2000 + i));  // UTC year
        plc_reg[64] ^= 0x1C;                    // %S3..%S5, the 10 ms, 100 ms and 1 s clock bits
        ASSERT_EQ(AutoSaveRegisters(), 1u);
    }
    EXPECT_EQ(BytesWritten() - before, 0u) << "a quiet controller writes nothing in an hour";
    // A register beside the records changes: one save, with the image.
    plc_reg[64] ^= 0x20;  // %S6, beside the clock bits
    before = BytesWritten();
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(BytesWritten() - before, 109176u);
    PlcWordSet(170, 0x1234);
    before = BytesWritten();
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(BytesWritten() - before, 109176u);
    PlcWordSet(54297, 0x4321);
    before = BytesWritten();
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(BytesWritten() - before, 109176u);
    EXPECT_EQ(ReadFile(Cfg("autoreg.dta")), std::vector<uint8_t>(plc_reg.begin(), plc_reg.begin() + 109176));
    // Another writer replaced the file: the image goes back at the next call.
    WriteFile(Cfg("autoreg.dta"), std::vector<uint8_t>(109176, 0xEE));
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(ReadFile(Cfg("autoreg.dta")), std::vector<uint8_t>(plc_reg.begin(), plc_reg.begin() + 109176));
    // Deleted and created anew (empty): written again.
    EXPECT_EQ(DelAutoRegFile(), 1u);
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    EXPECT_EQ(AutoSaveRegisters(), 1u);
    EXPECT_EQ(ReadFile(Cfg("autoreg.dta")).size(), 109176u);
}

TEST_F(StorageTest, SmallFilesRoundTrip) {
    for (unsigned i = 0; i < bbram.size(); i++) bbram[i] = uint8_t(i + 1);
    EXPECT_EQ(SaveBBRAMFile(), 1u);
    EXPECT_EQ(ReadFile(Cfg("bbram.dta")).size(), 32u);
    WriteFile(Cfg("oeminfo"), {3});
    crc_header[3] = 0;
    bbram.fill(0);
    WriteFile(Cfg("autoreg.dta"), std::vector<uint8_t>(PLC_REG_SIZE, 0));
    AutoLoadRegisters();
    EXPECT_EQ(bbram[31], 32);
    EXPECT_EQ(crc_header[3], 3);

    // Register backup: CRC word, length, image and markers.
    const std::vector<uint8_t> img = Pattern(PLC_REG_SIZE, 9);
    std::memcpy(&crcsize_tbl[MF_HDR], img.data(), img.size());
    MF_SetHeader(crcsize_tbl.data(), RefCrc(img), uint32_t(PLC_REG_SIZE));
    crcsize_tbl[BKP_MARKER] = 'Z';
    EXPECT_EQ(BkpRegisters(), 1u);
    EXPECT_EQ(ReadFile(Cfg("bkpreg.dta")).size(), 109192u);
    crcsize_tbl.fill(0);
    EXPECT_EQ(LoadRegisters(), 1u);
    EXPECT_EQ(crcsize_tbl[BKP_MARKER], 'Z');
    EXPECT_EQ(MF_Crc(crcsize_tbl.data()), RefCrc(img));
    EXPECT_EQ(ClrRegFile(), 1u);
    EXPECT_FALSE(FileExists(Cfg("bkpreg.dta")));
    EXPECT_EQ(crcsize_tbl[BKP_MARKER], 0);
    EXPECT_EQ(LoadRegisters(), 0u);

    // A backup file claiming more than its block is not read.
    std::vector<uint8_t> bad;
    Put32(bad, 0);
    Put32(bad, 0x7FFFFFFF);
    bad.resize(200, 0xAA);
    WriteFile(Cfg("bkpreg.dta"), bad);
    crcsize_tbl.fill(0);
    EXPECT_EQ(LoadRegisters(), 1u);
    EXPECT_EQ(crcsize_tbl[MF_HDR], 0);
}

TEST_F(StorageTest, DeleteProgramCountsMissingFilesAsDeleted) {
    EXPECT_EQ(DeleteProgram(), 1u);
    App app;
    app.Put();
    SaveProgram();
    EXPECT_EQ(DeleteProgram(), 1u);
    EXPECT_FALSE(FileExists(Cfg("ladder.pgm")));
    EXPECT_FALSE(FileExists(Cfg("config.pgm")));
}

// A stored file that is there but cannot be read is not a missing one: the
// start-up check names it and fails, and the loads neither take it for
// missing nor replace it. Folders of their own and dangling links beside the
// files are no error.
TEST_F(StorageTest, StoredFileThatCannotBeReadIsNeverTakenForMissing) {
    App app;
    app.Put();
    CrtAutoSaveRegFile();
    ASSERT_EQ(SaveProgram(), 1u);
    EXPECT_TRUE(MF_CheckStoredFiles());
    ASSERT_EQ(mkdir(Cfg("LOGS").c_str(), 0755), 0);
    ASSERT_EQ(symlink("gone", Cfg("old.lnk").c_str()), 0);
    EXPECT_TRUE(MF_CheckStoredFiles());

    for (const char *name : {"ladder.pgm", "autoreg.dta", "z7.ret"}) {
        SCOPED_TRACE(name);
        const std::string keep = Cfg(name) + ".kept";
        if (FileExists(Cfg(name))) {
            ASSERT_EQ(rename(Cfg(name).c_str(), keep.c_str()), 0);
        }
        ASSERT_EQ(mkdir(Cfg(name).c_str(), 0755), 0);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(MF_CheckStoredFiles());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Cannot read " + Cfg(name) +
                      " (Is a directory): the controller stops and changes no stored file; start it as the user who "
                      "owns its data folder, or mend the file\n");
        rmdir(Cfg(name).c_str());
        if (FileExists(keep)) {
            ASSERT_EQ(rename(keep.c_str(), Cfg(name).c_str()), 0);
        }
    }

    // The loads: a folder in place of the program or the register file is a
    // failed load (its fault bit), never a fresh start that writes defaults.
    ASSERT_EQ(rename(Cfg("autoreg.dta").c_str(), Cfg("autoreg.kept").c_str()), 0);
    ASSERT_EQ(mkdir(Cfg("autoreg.dta").c_str(), 0755), 0);
    MF_PersistSet(0);
    EXPECT_EQ(AutoLoadRegisters(), 0u);
    EXPECT_EQ(MF_PersistGet(), PS_AUTOREG_SHORT);
    EXPECT_FALSE(FileExists(Cfg("bbram.dta.tmp")));
    ASSERT_EQ(rename(Cfg("ladder.pgm").c_str(), Cfg("ladder.kept").c_str()), 0);
    ASSERT_EQ(mkdir(Cfg("ladder.pgm").c_str(), 0755), 0);
    MF_PersistSet(0);
    EXPECT_EQ(LoadLadder(), 0u);
    EXPECT_EQ(MF_PersistGet(), PS_LADDER_CRC);
}

// A store that cannot be written (its temporary name taken by a folder) shows
// in word 54278 at once, not only after the next start; the file stored
// before stays.
TEST_F(StorageTest, FailedStoresShowInTheStorageWordAtOnce) {
    struct Row {
        const char *blocked;
        uint32_t result;  // of SaveProgram
        uint16_t word;    // 54278 afterwards
    };
    App app;
    app.Put();
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    const auto stored = ReadFile(Cfg("config.pgm"));
    for (const Row &r : {Row{"ladder.pgm", 1, 0x20}, Row{"config.pgm", 0, 0x80}, Row{"autoreg.dta", 0, 0x80}}) {
        SCOPED_TRACE(r.blocked);
        MF_PersistSet(0);
        PlcWordSet(W_STORFAULT, 0);
        const std::string tmp = Cfg(r.blocked) + ".tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        EXPECT_EQ(SaveProgram(), r.result);
        EXPECT_EQ(PlcWord(W_STORFAULT), r.word);
        EXPECT_EQ(MF_PersistGet(), r.word);
        rmdir(tmp.c_str());
    }
    EXPECT_EQ(ReadFile(Cfg("config.pgm")), stored);
    // The register auto-save alone.
    MF_PersistSet(PS_REGFILE_DELETED);
    PlcWordSet(W_STORFAULT, 0);
    ASSERT_EQ(mkdir(Cfg("autoreg.dta.tmp").c_str(), 0700), 0);
    EXPECT_EQ(AutoSaveRegisters(), 0u);
    EXPECT_EQ(PlcWord(W_STORFAULT), 0x8080);
    rmdir(Cfg("autoreg.dta.tmp").c_str());
}

// A store writes aside under NAME.tmp and renames. Whatever stands at the
// temporary name is never written through: a symbolic link leaves its target
// as it was, a FIFO does not hold the store up, and a folder there fails the
// store with one console line for all the failures that follow.
TEST_F(StorageTest, StoresWriteOnlyARegularFileOfTheirOwn) {
    App app;
    app.Put();
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    ASSERT_EQ(SaveBBRAMFile(), 1u);
    const std::string victim = root / "victim.txt";
    const std::vector<uint8_t> kept = {'k', 'e', 'e', 'p'};
    struct Row {
        const char *name, *aside;
        uint32_t (*store)();
    };
    for (const Row &r : {Row{"autoreg.dta", ".tmp", AutoSaveRegisters},
                         Row{"autoreg.dta", ".sig", AutoSaveRegistersNow}, Row{"config.pgm", ".tmp", SaveProgram},
                         Row{"ladder.pgm", ".tmp", SaveLadder}, Row{"bbram.dta", ".tmp", SaveBBRAMFile}}) {
        SCOPED_TRACE(std::string(r.name) + r.aside);
        const std::string tmp = Cfg(r.name) + r.aside;
        WriteFile(victim, kept);
        ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
        plc_reg[2000]++;  // the register auto-save writes a changed image only
        EXPECT_EQ(r.store(), 1u);
        EXPECT_EQ(ReadFile(victim), kept);
        struct stat st {};
        ASSERT_EQ(lstat(Cfg(r.name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_FALSE(FileExists(tmp));
        // A FIFO nobody reads: the store goes on at once and replaces it.
        ASSERT_EQ(mkfifo(tmp.c_str(), 0600), 0);
        plc_reg[2000]++;
        EXPECT_EQ(r.store(), 1u);
        ASSERT_EQ(lstat(Cfg(r.name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_FALSE(FileExists(tmp));
    }
    // The crash log is written where it stands, also never through a link.
    WriteFile(victim, kept);
    ASSERT_EQ(symlink(victim.c_str(), Cfg("logfile").c_str()), 0);
    GenLogFile();
    EXPECT_EQ(ReadFile(victim), kept);
    EXPECT_GT(ReadFile(Cfg("logfile")).size(), 10u);

    // A folder at the temporary name: the store fails, said on the console.
    const std::string dir = Cfg("bbram.dta.tmp");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaveBBRAMFile(), 0u);
    EXPECT_EQ(SaveBBRAMFile(), 0u);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Cannot create " + dir + " (File exists)"), std::string::npos) << said;
    rmdir(dir.c_str());
}

// A stored file that fails to open for another reason than being missing (a
// symbolic-link loop fails even for root) is a failed load, during operation
// as at the start, never a fresh start that writes defaults over it.
TEST_F(StorageTest, AFileThatFailsToOpenIsAFailedLoadNeverAMissingOne) {
    App app;
    app.Put();
    ASSERT_EQ(CrtAutoSaveRegFile(), 1u);
    ASSERT_EQ(SaveProgram(), 1u);
    struct Row {
        const char *name;
        uint32_t (*load)();
        uint16_t fault;  // the persistence flag its failed load sets
    };
    for (const Row &r :
         {Row{"ladder.pgm", LoadLadder, PS_LADDER_CRC}, Row{"autoreg.dta", AutoLoadRegisters, PS_AUTOREG_SHORT}}) {
        const char *name = r.name;
        SCOPED_TRACE(name);
        const std::string keep = Cfg(name) + ".kept";
        ASSERT_EQ(rename(Cfg(name).c_str(), keep.c_str()), 0);
        ASSERT_EQ(symlink(name, Cfg(name).c_str()), 0);  // points at itself: ELOOP
        testing::internal::CaptureStderr();
        EXPECT_FALSE(MF_CheckStoredFiles());
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot read " + Cfg(name)), std::string::npos);
        MF_PersistSet(0);
        EXPECT_EQ(r.load(), 0u);
        EXPECT_EQ(MF_PersistGet(), r.fault);
        struct stat st {};
        ASSERT_EQ(lstat(Cfg(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));  // nothing written in its place
        unlink(Cfg(name).c_str());
        ASSERT_EQ(rename(keep.c_str(), Cfg(name).c_str()), 0);
    }
}

TEST_F(StorageTest, IecApplicationIsHandedToTheRuntime) {
    // Program: u16 74, two bytes, "XTI\0", u32 image length, 4 bytes, image, locations.
    std::vector<uint8_t> prog = {74, 0, 0, 0, 'X', 'T', 'I', 0};
    Put32(prog, 40);
    Put32(prog, 0);
    const std::vector<uint8_t> image = Pattern(40, 77);
    prog.insert(prog.end(), image.begin(), image.end());
    const std::vector<uint8_t> tail = Program(20, 0);
    prog.insert(prog.end(), tail.begin(), tail.end());
    SetArea(ladder_bl.data(), prog);

    CmdConfigChanged = 1;  // a change pending: the hand-off applies it, nothing stays pending
    DrevanoStart();
    EXPECT_EQ(DrevanoRuntime, 1);
    EXPECT_EQ(CmdConfigChanged, 0);
    EXPECT_EQ(ReadFile(Cfg("z7.cod")), image);
    EXPECT_EQ(ModeOf(Cfg("z7.cod")), 0600u);
    EXPECT_EQ(DrevanoI0_VarLoc, &ladder_bl[MF_HDR + 16 + 40]);
    DrevanoStop();
    EXPECT_EQ(DrevanoRuntime, 0);

    // An image length beyond the program is not an IEC application.
    unlink(Cfg("z7.cod").c_str());
    LE_Put32(&ladder_bl[MF_HDR + 8], 0x10000000);
    DrevanoStart();
    EXPECT_EQ(DrevanoRuntime, 0);
    EXPECT_EQ(DrevanoI0_VarLoc, nullptr);
    EXPECT_FALSE(FileExists(Cfg("z7.cod")));

    // Storing a program with an application already handed over restarts it.
    LE_Put32(&ladder_bl[MF_HDR + 8], 40);
    DrevanoStart();
    ASSERT_EQ(DrevanoRuntime, 1);
    EXPECT_EQ(SaveLadder(), 1u);
    EXPECT_EQ(DrevanoRuntime, 1);
    EXPECT_EQ(ReadFile(Cfg("z7.cod")), image);
    DrevanoStop();

    // The runtime's own store writes the same file and hands nothing over.
    const auto by_save = ReadFile(Cfg("ladder.pgm"));
    unlink(Cfg("ladder.pgm").c_str());
    unlink(Cfg("z7.cod").c_str());
    EXPECT_EQ(Z7SaveLadderPgm(), 1u);
    EXPECT_EQ(ReadFile(Cfg("ladder.pgm")), by_save);
    EXPECT_EQ(DrevanoRuntime, 0);
    EXPECT_FALSE(FileExists(Cfg("z7.cod")));
    ASSERT_EQ(mkdir(Cfg("ladder.pgm.tmp").c_str(), 0700), 0);
    EXPECT_EQ(Z7SaveLadderPgm(), 0u);
    rmdir(Cfg("ladder.pgm.tmp").c_str());
}

TEST_F(StorageTest, CrashLogHoldsTheBacktrace) {
    GenLogFile();
    const auto log = ReadFile(Cfg("logfile"));
    EXPECT_GT(log.size(), 10u);
    EXPECT_EQ(ModeOf(Cfg("logfile")), 0600u);
    EXPECT_NE(std::string(log.begin(), log.end()).find('\n'), std::string::npos);
}

// The IEC retain restore of a backup: the file replaces the runtime's retain
// file only when the running application took it; the copy goes in
// 1,024-byte pieces and holds every byte, also of a last short piece.
TEST_F(StorageTest, IecRetainRestoreCopiesOnlyWhatTheApplicationTook) {
    const IecHooks saved = iec_hooks;
    static bool takes;
    static std::string asked;
    static IecRetainForm asked_form;
    iec_hooks.retain_load = [](const char *path, IecRetainForm form) {
        asked = path;
        asked_form = form;
        return takes;
    };
    const std::vector<uint8_t> old = Pattern(10, 1), bkp = Pattern(2500, 7);
    WriteFile(Cfg("z7.ret"), old);
    WriteFile(Cfg("Z7_BKP.RET"), bkp);
    takes = false;
    EXPECT_FALSE(z7_reg_load_backup());
    EXPECT_EQ(asked, "/mnt/cfg/Z7_BKP.RET");
    EXPECT_EQ(asked_form, IecRetainForm::Backup);
    EXPECT_EQ(ReadFile(Cfg("z7.ret")), old);
    takes = true;
    EXPECT_TRUE(z7_reg_load_backup());
    EXPECT_EQ(ReadFile(Cfg("z7.ret")), bkp);
    EXPECT_EQ(ModeOf(Cfg("z7.ret")), 0600u);
    // No file to copy: nothing replaced.
    unlink(Cfg("Z7_BKP.RET").c_str());
    EXPECT_FALSE(z7_reg_load_backup());
    EXPECT_EQ(ReadFile(Cfg("z7.ret")), bkp);
    iec_hooks = saved;
}
