// Controller modes and the scan: the mode rules, I/O start, scan-time words,
// free-running clock bits, the fault stop of the engine, forces and the
// on-line change word. The engine is a test double plugged into Plc_Engine.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/storage/memfile.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "iec/services/drevano.h"
#include "test_exec_support.h"
#include "tests/core/test_storage_support.h"

namespace {

using exec_test::FakeClock;

// The engine double: counts its runs, clears the first-scan bits as the
// interpreter's END does, optionally writes a word, answers `answer`.
int engine_runs;
int32_t engine_answer = -1;
uint32_t engine_word;  // 0: writes nothing
uint16_t engine_value;
int32_t Engine() {
    engine_runs++;
    plc_reg[64] &= uint8_t(~0x01);
    plc_reg[65] &= uint8_t(~0x02);
    if (engine_word != 0) PlcWordSet(engine_word, engine_value);
    return engine_answer;
}

class ExecMode : public ::testing::Test {
protected:
    void SetUp() override {
        exec_test::Root();
        plc_reg.fill(0);
        io_force.fill(0);
        OLPMode = 0;
        first_run = 0;
        engine_runs = 0;
        engine_answer = -1;
        engine_word = 0;
        saved_engine = Plc_Engine;
        Plc_Engine = Engine;
    }
    void TearDown() override { Plc_Engine = saved_engine; }
    static uint16_t Mode() { return PlcWord(W_MODE); }
    int32_t (*saved_engine)();
};

TEST_F(ExecMode, RequestsAboveFourAndFaultBits) {
    SetPlcMode(5);
    EXPECT_EQ(Mode(), 0);
    SetPlcMode(2);
    EXPECT_EQ(Mode(), 2);
    SetPlcMode(5);
    EXPECT_EQ(Mode(), 2) << "a request of 5 is ignored";
    SetPlcMode(255);
    EXPECT_EQ(Mode(), 2);

    // With the invalid-instruction bit set, any request but 3 stops.
    PlcWordSet(W_FAULT, FAULT_BADOP);
    SetPlcMode(2);
    EXPECT_EQ(Mode(), 0) << "request 2 with fault 0x100 gives 0";
    SetPlcMode(2);
    EXPECT_EQ(Mode(), 0);
    SetPlcMode(3);
    EXPECT_EQ(Mode(), 3) << "request 3 is allowed with the fault";
    SetPlcMode(1);
    EXPECT_EQ(Mode(), 0);
    for (uint16_t bit : {0x001, 0x002, 0x004, 0x008, 0x100, 0x800}) {
        PlcWordSet(W_FAULT, bit);
        PlcWordSet(W_MODE, 2);
        SetPlcMode(4);
        EXPECT_EQ(Mode(), 0) << "fault bit " << bit;
    }
    PlcWordSet(W_FAULT, 0x40);  // not one of 0x90F
    SetPlcMode(1);
    EXPECT_EQ(Mode(), 1);
}

TEST_F(ExecMode, RunFromStopClearsOutputsKeepsMemory) {
    const std::size_t q = (BA_Q - 1024) / 8, m = (BA_M - 1024) / 8, r = (BA_R - 1024) / 8;
    plc_reg[q] = 0xA5;
    plc_reg[m] = 0x5A;
    plc_reg[r] = 0x77;
    SetPlcMode(2);
    EXPECT_EQ(plc_reg[q], 0) << "%Q cleared on entering run from stop";
    EXPECT_EQ(plc_reg[m], 0x5A) << "%M kept";
    EXPECT_EQ(plc_reg[r], 0x77);
    EXPECT_EQ(plc_reg[64] & 0x01, 0x01) << "%S1 first scan";
    EXPECT_EQ(PlcWord(W_SCAN_MIN), 65535);
    EXPECT_EQ(old_reg[m], 0x5A) << "a fresh old_reg copy";

    // Mode 4 to mode 2 does not restart the I/O: the outputs stay.
    SetPlcMode(4);
    plc_reg[q] = 0x3C;
    SetPlcMode(2);
    EXPECT_EQ(plc_reg[q], 0x3C);
    EXPECT_EQ(plc_reg[65] & 0x02, 0x02) << "first-scan bit of the warm change";
}

TEST_F(ExecMode, StartUpEntersTheSavedModeAndStartsTheIoAboveOne) {
    // The saved mode is the low byte of word 132 in the loaded image; the
    // I/O starts (first-scan bit, fresh scan-time words) in modes 2 to 4.
    const struct {
        uint8_t saved;
        uint16_t mode;
        bool io_started;
    } rows[] = {{0, 0, false}, {1, 1, false}, {2, 2, true}, {3, 3, true}, {4, 4, true}, {7, 0, false}};
    for (const auto &row : rows) {
        plc_reg.fill(0);
        first_run = 0;
        plc_reg[2 * W_MODE] = row.saved;
        plc_reg[2 * W_MODE + 1] = 0x12;  // the high byte is not part of the mode
        PlcWordSet(W_SCAN_MIN, 7);
        RestoreSavedMode();
        EXPECT_EQ(Mode(), row.mode) << "saved " << int(row.saved);
        EXPECT_EQ(plc_reg[SBITS_LO] & S_FIRST_SCAN, row.io_started ? S_FIRST_SCAN : 0) << "saved " << int(row.saved);
        EXPECT_EQ(PlcWord(W_SCAN_MIN), row.io_started ? 65535 : 7) << "saved " << int(row.saved);
    }
}

TEST_F(ExecMode, ScanTimeWordsFromSecondScan) {
    FakeClock clock;
    SetPlcMode(2);
    PlcScan();  // first scan after IoStart: %S1 set, no measurement
    EXPECT_EQ(engine_runs, 1);
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 0);
    EXPECT_EQ(PlcWord(W_SCAN_MIN), 65535);
    EXPECT_EQ(PlcWord(W_SCAN_MAX), 0);
    FakeClock::Advance(30);
    PlcScan();
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 30);
    EXPECT_EQ(PlcWord(W_SCAN_MIN), 30);
    EXPECT_EQ(PlcWord(W_SCAN_MAX), 30);
    FakeClock::Advance(10);
    PlcScan();
    // Sixteen times the average is kept: 480 - 30 + 10 = 460, and 460 / 16 = 28.
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 28);
    EXPECT_EQ(PlcWord(W_SCAN_MIN), 10);
    EXPECT_EQ(PlcWord(W_SCAN_MAX), 30);
    FakeClock::Advance(10);
    PlcScan();
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 27) << "460 - 28 + 10 = 442, / 16";
    FakeClock::Advance(60);
    PlcScan();
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 29) << "442 - 27 + 60 = 475, / 16";
    EXPECT_EQ(PlcWord(W_SCAN_MAX), 60);

    // Mode 1: no application, no measurement.
    SetPlcMode(1);
    const int runs = engine_runs;
    FakeClock::Advance(100);
    PlcScan();
    EXPECT_EQ(engine_runs, runs);
    EXPECT_EQ(PlcWord(W_SCAN_MAX), 60);
    EXPECT_EQ(PlcWord(W_SCAN_AVG), 0) << "leaving run clears the average";
}

// The clock bits from the very first scan of a process, so each part runs in
// a fresh process of its own; a mismatch is printed and ends it with 1.
int clock_mismatches;
void Mismatch(const char *what, uint32_t got, uint32_t want) {
    std::fprintf(stderr, "%s: %u, want %u\n", what, unsigned(got), unsigned(want));
    clock_mismatches++;
}

[[noreturn]] void FastScansToggleEveryHalfPeriod() {
    FakeClock clock;
    PlcScan();  // the very first scan sets the three bits
    if ((plc_reg[64] & 0x1C) != 0x1C) Mismatch("first scan bits", plc_reg[64] & 0x1C, 0x1C);
    struct Bit {
        uint8_t mask;
        uint32_t half;
        std::vector<uint32_t> toggles;
    };
    std::vector<Bit> bits = {{0x04, 50, {}}, {0x08, 500, {}}, {0x10, 5000, {}}};
    uint8_t prev = plc_reg[64];
    uint32_t t = 0;
    // 1 ms scans for 3 seconds; bits toggle every half period exactly.
    for (int i = 0; i < 3000; i++) {
        FakeClock::Advance(10);
        t += 10;
        PlcScan();
        for (Bit &b : bits) {
            if ((plc_reg[64] ^ prev) & b.mask) b.toggles.push_back(t);
        }
        prev = plc_reg[64];
    }
    for (const Bit &b : bits) {
        if (b.toggles.size() < 2) {
            Mismatch("toggles", uint32_t(b.toggles.size()), 2);
            continue;
        }
        if (b.toggles.front() != b.half) Mismatch("first toggle", b.toggles.front(), b.half);
        for (std::size_t i = 1; i < b.toggles.size(); i++)
            if (b.toggles[i] - b.toggles[i - 1] != b.half) Mismatch("period", b.toggles[i] - b.toggles[i - 1], b.half);
    }
    _exit(clock_mismatches ? 1 : 0);
}

// Slow scans (7 ms): %S3 restarts its phase at each toggle instead of
// toggling twice in a row; %S5 keeps its 1 s raster.
[[noreturn]] void SlowScansKeepTheSecondRaster() {
    FakeClock clock;
    PlcScan();
    uint8_t prev = plc_reg[64];
    std::vector<uint32_t> s3, s5;
    uint32_t t = 0;
    for (int i = 0; i < 600; i++) {
        FakeClock::Advance(70);
        t += 70;
        PlcScan();
        if ((plc_reg[64] ^ prev) & 0x04) s3.push_back(t);
        if ((plc_reg[64] ^ prev) & 0x10) s5.push_back(t);
        prev = plc_reg[64];
    }
    if (s3.size() != 600) Mismatch("one toggle per 7 ms scan", uint32_t(s3.size()), 600);
    if (s5.size() < 3)
        Mismatch("%S5 toggles", uint32_t(s5.size()), 3);
    else {
        if (s5[0] != 5040) Mismatch("%S5 first", s5[0], 5040);
        if (s5[1] != 10010) Mismatch("%S5 second", s5[1], 10010);
    }
    _exit(clock_mismatches ? 1 : 0);
}

TEST_F(ExecMode, ClockBitPeriods) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: its first scan
    EXPECT_EXIT(FastScansToggleEveryHalfPeriod(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(SlowScansKeepTheSecondRaster(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ExecMode, EngineFaultStops) {
    FakeClock clock;
    SetPlcMode(2);
    engine_answer = 0x12345;
    PlcScan();
    EXPECT_EQ(PlcWord(W_BADOP), 0x2345);
    EXPECT_EQ(PlcWord(W_BADOP + 1), 0x0001);
    EXPECT_EQ(PlcWord(W_FAULT) & FAULT_BADOP, FAULT_BADOP);
    EXPECT_EQ(Mode(), 0);
    // The fault keeps the controller stopped for a run request.
    SetPlcMode(2);
    EXPECT_EQ(Mode(), 0);
}

TEST_F(ExecMode, EngineFaultDuringOnlineChangeRestoresProgram) {
    FakeClock clock;
    SetPlcMode(2);
    OLPMode = 1;
    PlcWordSet(W_OLC, 0x05);  // request present, new program in the running area
    engine_answer = 7;
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x100);
    EXPECT_EQ(Mode(), 2) << "the controller keeps running the stored program";
    EXPECT_EQ(PlcWord(W_FAULT) & FAULT_BADOP, 0);
}

TEST_F(ExecMode, OnlineChangeSteps) {
    FakeClock clock;
    SetPlcMode(2);
    OLPMode = 1;
    // The new program: 4 bytes with its header.
    const uint8_t pgm[4] = {1, 2, 3, 4};
    MF_SetHeader(ladder_olp.data(), 0xBEEF, 4);
    std::memcpy(&ladder_olp[MF_HDR], pgm, 4);
    PlcWordSet(W_OLC, 0x03);
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x0B) << "acknowledged";
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x17) << "executed, new program current";
    EXPECT_EQ(std::memcmp(&ladder_bl[MF_HDR], pgm, 4), 0);
    EXPECT_EQ(PlcWord(150), 0xBEEF);
    EXPECT_EQ(PlcDword(138), 4u);
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x05) << "0x12 cleared once executed";
    // Leaving the change stores the running program and clears the low byte.
    OLPMode = 0;
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0);
    // Leaving mode 2 disarms the change.
    OLPMode = 1;
    SetPlcMode(3);
    EXPECT_EQ(OLPMode, 0);
}

// Program data of an IEC application: u16 74, "XTI" at 4, the image length
// at 8, the image from 16, then what follows it (the location table).
std::vector<uint8_t> IecProgram(const std::vector<uint8_t> &image, const std::vector<uint8_t> &tail) {
    std::vector<uint8_t> d = {74, 0, 0xA1, 0xA2, 'X', 'T', 'I', 0};
    storage_test::Put32(d, uint32_t(image.size()));
    d.insert(d.end(), {0xB1, 0xB2, 0xB3, 0xB4});
    d.insert(d.end(), image.begin(), image.end());
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
}

// With an IEC application in use, the change the runtime applied (set aside as "z7.apl")
// becomes the program: its code section is rebuilt around the change image,
// stored, and the change ends in the scan that executes it.
TEST_F(ExecMode, OnlineChangeOfTheIecApplication) {
    using storage_test::ReadFile;
    using storage_test::RefCrc;
    using storage_test::StoredBlock;
    using storage_test::WriteFile;
    FakeClock clock;
    const std::string cfg = exec_test::Root() + "/mnt/cfg/";
    const std::vector<uint8_t> old_image = {1, 2, 3, 4, 5, 6}, new_image = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    const std::vector<uint8_t> tail = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const std::vector<uint8_t> old_pgm = IecProgram(old_image, tail);
    std::vector<uint8_t> applied;  // what the runtime set aside at each apply
    auto start = [&](const std::vector<uint8_t> &received) {
        if (applied.empty())
            std::remove((cfg + "z7.apl").c_str());
        else
            WriteFile(cfg + "z7.apl", applied);
        DrevanoRuntime = 0;  // the mode changes start no runtime here
        SetPlcMode(0);
        SetPlcMode(2);
        std::memcpy(&ladder_bl[MF_HDR], old_pgm.data(), old_pgm.size());
        MF_SetHeader(ladder_bl.data(), RefCrc(old_pgm), uint32_t(old_pgm.size()));
        WriteFile(cfg + "ladder.pgm", StoredBlock(old_pgm));
        if (!received.empty()) std::memcpy(&ladder_olp[MF_HDR], received.data(), received.size());
        MF_SetHeader(ladder_olp.data(), RefCrc(received), uint32_t(received.size()));
        std::remove((cfg + "z7.cod").c_str());
        DrevanoRuntime = 1;
        OLPMode = 1;
        PlcWordSet(W_OLC, 0x5503);  // the workbench's change: request present, apply
    };

    // Nothing received: the program keeps its location table behind the new image.
    applied = new_image;
    start({});
    const uint32_t gen = Drevano_StartGen;
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x550B) << "acknowledged";
    PlcScan();
    const std::vector<uint8_t> want = IecProgram(new_image, tail);
    EXPECT_EQ(MF_Len(ladder_bl.data()), want.size());
    EXPECT_EQ(std::vector<uint8_t>(&ladder_bl[MF_HDR], &ladder_bl[MF_HDR + want.size()]), want);
    EXPECT_EQ(MF_Crc(ladder_bl.data()), RefCrc(want));
    EXPECT_EQ(PlcWord(150), RefCrc(want));
    EXPECT_EQ(PlcDword(138), want.size());
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(want)) << "the program is stored";
    EXPECT_EQ(ReadFile(cfg + "z7.cod"), new_image);
    EXPECT_FALSE(storage_test::FileExists(cfg + "z7.apl")) << "taken once";
    EXPECT_EQ(OLPMode, 0) << "the change has ended";
    EXPECT_EQ(PlcWord(W_OLC), 0x5500);
    EXPECT_EQ(DrevanoRuntime, 1);
    EXPECT_EQ(DrevanoI0_VarLoc, &ladder_bl[MF_HDR + 16 + new_image.size()]);
    EXPECT_EQ(DrevanoI0_VarLocLen, tail.size());
    EXPECT_EQ(Drevano_StartGen, gen + 1) << "the bindings are built again from the table";
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x5500) << "nothing more to store";
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(want));

    // A program received with the change brings its own location table.
    const std::vector<uint8_t> new_tail = {0xC1, 0xC2, 0xC3, 0xC4};
    const std::vector<uint8_t> received = IecProgram({7, 7}, new_tail);
    start(received);
    PlcScan();
    PlcScan();
    std::vector<uint8_t> want2 = received;
    want2.resize(16);
    want2[8] = uint8_t(new_image.size());
    want2.insert(want2.end(), new_image.begin(), new_image.end());
    want2.insert(want2.end(), new_tail.begin(), new_tail.end());
    EXPECT_EQ(std::vector<uint8_t>(&ladder_bl[MF_HDR], &ladder_bl[MF_HDR + want2.size()]), want2);
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(want2));
    EXPECT_EQ(OLPMode, 0);
    EXPECT_EQ(MF_Len(ladder_olp.data()), 0u) << "taken once, never by a later change";

    // The runtime's report of the change arms it for the scan in run mode,
    // and stores it at once when no scan runs the application.
    start({});
    OLPMode = 0;
    Drevano_OnChangeApplied();
    EXPECT_EQ(OLPMode, 1);
    EXPECT_EQ(MF_Len(ladder_bl.data()), old_pgm.size());
    start({});
    OLPMode = 0;
    SetPlcMode(0);
    Drevano_OnChangeApplied();
    EXPECT_EQ(OLPMode, 0);
    EXPECT_EQ(PlcWord(W_OLC), 0x5500);
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(want)) << "stored without a scan";

    // No change image: the change fails and the stored program stays.
    applied.clear();
    start({});
    PlcScan();
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x100);
    EXPECT_EQ(OLPMode, 0);
    EXPECT_EQ(std::vector<uint8_t>(&ladder_bl[MF_HDR], &ladder_bl[MF_HDR + old_pgm.size()]), old_pgm);
    EXPECT_EQ(MF_Len(ladder_bl.data()), old_pgm.size());
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(old_pgm));
    EXPECT_EQ(PlcWord(150), RefCrc(old_pgm));

    // A program up to a start's bound (2 MB) is taken; one byte more is not.
    applied = std::vector<uint8_t>(2097152 - 16 - tail.size(), 0x5A);
    start({});
    PlcScan();
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x5500);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 2097152u);
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm").size(), 2097152u + 8);
    applied = std::vector<uint8_t>(2097152 - 16 - tail.size() + 1, 0x5A);
    start({});
    PlcScan();
    PlcScan();
    EXPECT_EQ(PlcWord(W_OLC), 0x100);
    EXPECT_EQ(MF_Len(ladder_bl.data()), old_pgm.size());
    EXPECT_EQ(ReadFile(cfg + "ladder.pgm"), StoredBlock(old_pgm));
    std::remove((cfg + "z7.apl").c_str());
    DrevanoRuntime = 0;
}

TEST_F(ExecMode, ForcesAroundTheApplication) {
    FakeClock clock;
    const uint32_t in_word = (BA_I - 1024) / 16, out_word = (BA_Q - 1024) / 16;
    LE_Put16(&io_force[0], 1);
    LE_Put16(&io_force[2], 1);
    const uint16_t entries[2][3] = {{uint16_t(in_word), 0x00FF, 0x0100}, {uint16_t(out_word), 0, 0xFFFF}};
    for (int i = 0; i < 2; i++)
        for (int k = 0; k < 3; k++) LE_Put16(&io_force[4 + 6 * i + 2 * k], entries[i][k]);
    plc_reg[65] |= 0x08;  // forcing enabled
    SetPlcMode(2);
    PlcWordSet(in_word, 0x1234);
    engine_word = out_word;
    engine_value = 0x0001;
    PlcScan();
    EXPECT_EQ(PlcWord(in_word), 0x0134);
    EXPECT_EQ(PlcWord(out_word), 0xFFFF) << "output forces are reapplied after the logic";
}

TEST_F(ExecMode, DownloadedForceCountsClamped) {
    FakeClock clock;
    std::array<uint8_t, PLC_REG_SIZE> before{};
    LE_Put16(&io_force[0], 0xFFFF);
    LE_Put16(&io_force[2], 0xFFFF);
    for (unsigned i = 0; i < FORCE_MAX_ENTRIES; i++) {
        LE_Put16(&io_force[4 + 6 * i], 0xFFFF);  // past the image: skipped
        LE_Put16(&io_force[4 + 6 * i + 2], 0);
        LE_Put16(&io_force[4 + 6 * i + 4], 0xFFFF);
    }
    LE_Put16(&io_force[4], 300);  // the first entry is real
    plc_reg[65] |= 0x08;
    SetPlcMode(1);
    before = plc_reg;
    PlcScan();
    EXPECT_EQ(PlcWord(300), 0xFFFF);
    for (std::size_t i = 0; i < PLC_REG_SIZE; i++) {
        if (before[i] == plc_reg[i]) continue;
        // Only the forced word, the clock and UTC records and the status
        // bytes may change in this scan.
        const bool allowed = i == 600 || i == 601 || (i >= 2 * W_CLOCK && i < 2 * W_CLOCK + 14) ||
                             (i >= 2 * W_UTC && i < 2 * W_UTC + 12) || i == 64 || i == 65;
        EXPECT_TRUE(allowed) << "byte " << i;
    }
}

}  // namespace
