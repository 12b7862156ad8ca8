// Data clone round trip through the card: written whole with its CRC, a
// flipped byte or a short file refused with the image untouched, the
// running system's kernel text and version word kept; program clone files
// refused for their header, table count, CRC and type-99 records; a program
// load from the card with the fail-safe restore and the data clone, reset
// once at its end.
#include <cstring>

#include "core/image/iecrt.h"
#include "core/image/syshook.h"
#include "core/image/util.h"
#include "core/storage/backup.h"
#include "core/storage/memfile.h"
#include "media/backup.h"
#include "media/clone.h"
#include "tests/media/media_fixture.h"

namespace {

using media_test::MediaTest;

using CloneTest = MediaTest;

TEST_F(CloneTest, DataCloneRoundTripAndRefusals) {
    for (std::size_t i = 0; i < plc_reg.size(); ++i) plc_reg[i] = uint8_t(i * 7);
    ASSERT_EQ(MakeDat("A:\\clone.dat"), 0u);
    std::vector<uint8_t> f = media_test::ReadFile(P("mnt/USB0/clone.dat"));
    ASSERT_EQ(f.size(), CLONE_DAT_SIZE);
    EXPECT_EQ(crc16(f.data(), PLC_REG_SIZE), f[PLC_REG_SIZE] | (f[PLC_REG_SIZE + 1] << 8));
    EXPECT_FALSE(Exists("mnt/USB0/clone.dat.TMP"));
    const auto source = plc_reg;

    // The running system's kernel text and start-up version go into the
    // loaded image, also when the image held others before (an older
    // auto-saved image, a program's write).
    const auto kernel = KernelRev;
    const uint16_t initrd = InitRdVer;
    std::memcpy(KernelRev.data(), "2.6.35-42", 10);
    InitRdVer = 0x0102;
    plc_reg.fill(0x11);
    plc_reg[108560] = 'K';
    ASSERT_EQ(LoadDat("A:\\clone.dat"), 0u);
    EXPECT_EQ(std::memcmp(&plc_reg[108560], "2.6.35-42", 10), 0);
    EXPECT_EQ(plc_reg[108558], 0x02);  // word 54279, low byte first
    EXPECT_EQ(plc_reg[108559], 0x01);
    EXPECT_EQ(std::memcmp(plc_reg.data(), source.data(), 2 * 54279), 0);
    EXPECT_EQ(std::memcmp(&plc_reg[108570], &source[108570], PLC_REG_SIZE - 108570), 0);
    KernelRev = kernel;
    InitRdVer = initrd;

    f[5000] ^= 0x40;
    media_test::WriteFile(P("mnt/USB0/clone.dat"), f);
    plc_reg.fill(0x22);
    EXPECT_EQ(LoadDat("A:\\clone.dat"), 73u);
    EXPECT_EQ(plc_reg[5000 - 1], 0x22);
    f.resize(1000);
    media_test::WriteFile(P("mnt/USB0/clone.dat"), f);
    EXPECT_EQ(LoadDat("A:\\clone.dat"), 65535u);
    EXPECT_EQ(plc_reg[0], 0x22);
    EXPECT_EQ(LoadDat("A:\\none.dat"), 4u);
}

std::vector<uint8_t> Section(uint16_t type, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> s(12, 0);
    s[0] = uint8_t(type);
    s[1] = uint8_t(type >> 8);
    const uint32_t n = uint32_t(data.size());
    for (int i = 0; i < 4; ++i) s[8 + i] = uint8_t(n >> (8 * i));
    s.insert(s.end(), data.begin(), data.end());
    const uint16_t c = crc16(data.data(), data.size());
    s.push_back(uint8_t(c));
    s.push_back(uint8_t(c >> 8));
    return s;
}

TEST_F(CloneTest, ProgramCloneFileChecks) {
    std::vector<uint8_t> head(84, 0);
    head[0] = 0x3A, head[1] = 0x02, head[2] = 50, head[3] = 15, head[4] = 2, head[6] = 0x9A, head[7] = 0x1E;
    std::vector<uint8_t> setup(80);
    for (int i = 0; i < 80; ++i) setup[std::size_t(i)] = uint8_t(i + 1);
    const std::vector<uint8_t> rec = {0x00, 0x80, 0, 0, 16, 1, 2, 0, 0};
    auto file = [&](std::vector<uint8_t> h, const std::vector<uint8_t> &s99) {
        std::vector<uint8_t> f = h;
        const std::vector<uint8_t> a = Section(4, setup), b = Section(99, s99);
        f.insert(f.end(), a.begin(), a.end());
        f.insert(f.end(), b.begin(), b.end());
        return f;
    };
    uint8_t out[80], hdr[84];
    auto load = [&](const std::vector<uint8_t> &f) {
        media_test::WriteFile(P("mnt/USB0/P.PGM"), f);
        return CloneReadFile("A:\\P.PGM", out, hdr);
    };
    EXPECT_EQ(load(file(head, rec)), 0u);
    EXPECT_EQ(std::memcmp(out, setup.data(), 80), 0);
    std::vector<uint8_t> h = head;
    h[6] = 0x9B;
    EXPECT_EQ(load(file(h, rec)), 73u);
    h = head;
    h[4] = 81;
    EXPECT_EQ(load(file(h, rec)), 73u);
    std::vector<uint8_t> f = file(head, rec);
    f[84 + 12 + 3] ^= 1;
    EXPECT_EQ(load(f), 73u);
    f = file(head, rec);
    f.resize(f.size() - 1);
    EXPECT_EQ(load(f), 73u);
    std::vector<uint8_t> wide = rec;
    wide[4] = 33;
    EXPECT_EQ(load(file(head, wide)), 73u);
    std::vector<uint8_t> part = rec;
    part.pop_back();
    EXPECT_EQ(load(file(head, part)), 73u);
    // A section too large for the work buffer.
    std::vector<uint8_t> big = head;
    big[4] = 4;
    std::vector<uint8_t> g = big;
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> s(12, 0);
        s[0] = 11;
        s[10] = 0x40;  // 0x400000 bytes announced
        g.insert(g.end(), s.begin(), s.end());
        g.resize(g.size() + (i == 0 ? 0x400000 + 2 : 0));
        if (i == 0) {
            const uint16_t c = crc16(g.data() + 84 + 12, 0x400000);
            g[g.size() - 2] = uint8_t(c);
            g[g.size() - 1] = uint8_t(c >> 8);
        }
    }
    EXPECT_EQ(load(g), 2003u);
}

// A validation that cannot even reach the command processor (the port is
// not to be had) fails like any other: the stored program is loaded again,
// so the controller keeps what it had.
TEST_F(CloneTest, ValidationWithoutAConnectionReloadsTheStoredProgram) {
    MkDir("mnt/cfg");
    // A stored program of 6 bytes: its header, then the bytes.
    const uint8_t prog[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(&ladder_bl[MF_HDR], prog, sizeof prog);
    MF_SetHeader(ladder_bl.data(), crc16(prog, sizeof prog), sizeof prog);
    ASSERT_EQ(SaveLadder(), 1u);
    const std::vector<uint8_t> stored(ladder_bl.begin(), ladder_bl.begin() + MF_HDR + 6);
    std::fill(ladder_bl.begin(), ladder_bl.begin() + 64, uint8_t(0x5A));
    const CloneCmdLink link = clone_cmd_link;
    clone_cmd_link = CloneCmdLink{};  // no command client: 2004
    uint8_t out[80] = {};
    EXPECT_EQ(ValidatePgm("A:\\P.PGM", out), 2004u);
    EXPECT_EQ(std::vector<uint8_t>(ladder_bl.begin(), ladder_bl.begin() + MF_HDR + 6), stored);
    clone_cmd_link = link;
    ladder_bl.fill(0);
}

// A programming tool that accepts every command: the identity 58 and
// firmware 15.50 for command 8, an empty answer for uploads.
uint16_t ToolCmd(uint8_t command, uint8_t, const uint8_t *, uint8_t *rx, uint32_t rx_max, uint32_t *rx_len) {
    if (command != 8) return 0xA0;
    const uint8_t ans[3] = {58, 15, 50};
    std::memcpy(rx, ans, std::min<uint32_t>(rx_max, 3));
    *rx_len = 3;
    return MCMD_FRAME;
}

// A program clone's save locks the controller before it creates its file: a
// refused lock answers 2006 (error number 1) with no file made, also when
// the card could not have taken one.
TEST_F(CloneTest, SaveLocksTheControllerBeforeItCreatesTheFile) {
    const CloneCmdLink link = clone_cmd_link;
    static int commands;
    commands = 0;
    clone_cmd_link = {[](uint32_t) { return 0u; },
                      [](uint8_t command, uint8_t, const uint8_t *, uint8_t *, uint32_t, uint32_t *) -> uint16_t {
                          commands++;
                          return command == 25 ? 0 : 0xA0;  // every lock and release refused
                      },
                      [](uint8_t, const uint8_t *) -> uint16_t { return 0xA0; },
                      [](uint32_t *n, uint8_t *, uint32_t) -> uint16_t {
                          *n = 0;
                          return MCMD_FRAME;
                      },
                      [](uint8_t) {},
                      [] {}};
    MCMD_Errno = 0;
    EXPECT_EQ(SavePgm("A:\\S.PGM"), 2006u);
    EXPECT_EQ(MCMD_Errno, 1u);
    EXPECT_EQ(commands, 1);
    EXPECT_FALSE(Exists("mnt/USB0/S.PGM"));
    EXPECT_FALSE(Exists("mnt/USB0/S.PGM.TMP"));
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    MCMD_Errno = 0;
    commands = 0;
    EXPECT_EQ(SavePgm("A:\\S.PGM"), 2006u);
    EXPECT_EQ(MCMD_Errno, 1u);
    EXPECT_EQ(commands, 1);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    clone_cmd_link = link;
}

// Request 19 releases the connection of a controller-information request
// and answers 0, also when the controller refuses the release (error 80).
TEST_F(CloneTest, ReleaseRequestAnswersZeroWhenTheReleaseIsRefused) {
    const CloneCmdLink link = clone_cmd_link;
    clone_cmd_link = {[](uint32_t) { return 0u; },
                      [](uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx, uint32_t rx_max,
                         uint32_t *rx_len) -> uint16_t {
                          if (command == 25 && data[1] == 0) return 0;  // the release refused
                          return ToolCmd(command, length, data, rx, rx_max, rx_len);
                      },
                      [](uint8_t, const uint8_t *) -> uint16_t { return 0xA0; },
                      [](uint32_t *n, uint8_t *, uint32_t) -> uint16_t {
                          *n = 0;
                          return MCMD_FRAME;
                      },
                      [](uint8_t) {},
                      [] {}};
    uint8_t info[80] = {};
    ASSERT_EQ(CloneGetInfo(info), 0u);
    MCMD_Errno = 0;
    tCFCB *b = &cfcb[6];
    CFM_LoadReq(b, DRIVE_A, 19, nullptr, nullptr);
    int16_t r = -1;
    for (int i = 0; i < 10 && CFM_PollReq(b, &r) != 4; i++) CFM_TheLoop(0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(MCMD_Errno, 80u);
    clone_cmd_link = link;
}

// The register records of a clone (type 99) are written with command 24:
// a reference of %SR1776/1777 as it is, any other behind two zero bytes and
// with bit 7 of its last byte cleared.
std::vector<std::vector<uint8_t>> sent24;
TEST_F(CloneTest, LoadWritesRegisterRecordsWithCommand24) {
    MkDir("mnt/cfg");
    const CloneCmdLink link = clone_cmd_link;
    void (*const reset)() = sys_hooks.warm_reset;
    static int resets;
    resets = 0;
    sys_hooks.warm_reset = [] { resets++; };  // the load's restart, counted
    sent24.clear();
    clone_cmd_link = {[](uint32_t) { return 0u; },
                      [](uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx, uint32_t rx_max,
                         uint32_t *rx_len) -> uint16_t {
                          if (command == 24) sent24.emplace_back(data, data + length);
                          return ToolCmd(command, length, data, rx, rx_max, rx_len);
                      },
                      [](uint8_t, const uint8_t *) -> uint16_t { return 0xA0; },
                      [](uint32_t *n, uint8_t *, uint32_t) -> uint16_t {
                          *n = 0;
                          return MCMD_FRAME;
                      },
                      [](uint8_t) {},
                      [] {}};
    std::vector<uint8_t> pgm(84, 0);
    pgm[0] = 58, pgm[2] = 50, pgm[3] = 15, pgm[4] = 2, pgm[6] = 0x9A, pgm[7] = 0x1E;
    const std::vector<uint8_t> setup = Section(4, std::vector<uint8_t>(80, 7));
    // {reference, low byte first; width; value bytes (4)}.
    const std::vector<uint8_t> recs = {0x10, 0x20, 0x30, 0xC5, 16,   0x34, 0x12, 0,    0,  0xF0, 0x06, 0x00, 0x80, 8,
                                       0x5A, 0,    0,    0,    0x01, 0x00, 0x00, 0x10, 32, 0x78, 0x56, 0x34, 0x12};
    const std::vector<uint8_t> regs = Section(99, recs);
    pgm.insert(pgm.end(), setup.begin(), setup.end());
    pgm.insert(pgm.end(), regs.begin(), regs.end());
    media_test::WriteFile(P("mnt/USB0/R.PGM"), pgm);
    uint8_t out[80] = {};
    ASSERT_EQ(ValidatePgm("A:\\R.PGM", out), 0u);
    ASSERT_EQ(LoadPgm(), 0u);
    const uint8_t t = uint8_t(CFM_RegWord(pNetIdRcb));
    const std::vector<std::vector<uint8_t>> want = {
        {t, 16, 0, 0, 0x10, 0x20, 0x30, 0x45, 0x34, 0x12},
        {t, 8, 0xF0, 0x06, 0x00, 0x80, 0x5A},
        {t, 32, 0, 0, 0x01, 0x00, 0x00, 0x10, 0x78, 0x56, 0x34, 0x12},
    };
    EXPECT_EQ(sent24, want);
    EXPECT_EQ(resets, 1);
    clone_cmd_link = link;
    sys_hooks.warm_reset = reset;
}

// What the controller held when it reset.
struct AtReset {
    int count;
    uint16_t w3000, w3001, w291;
    bool stored;
};
AtReset at_reset;
std::string reset_root;

TEST_F(CloneTest, AutomaticLoadRestoresTheBackupAndTheDataCloneThenResetsOnce) {
    const CloneCmdLink link = clone_cmd_link;
    void (*const reset)() = sys_hooks.warm_reset;
    clone_cmd_link = {[](uint32_t) { return 0u; },
                      ToolCmd,
                      [](uint8_t, const uint8_t *) -> uint16_t { return 0xA0; },
                      [](uint32_t *n, uint8_t *, uint32_t) -> uint16_t {
                          *n = 0;
                          return MCMD_FRAME;
                      },
                      [](uint8_t) {},
                      [] {}};
    at_reset = {};
    reset_root = P("");
    sys_hooks.warm_reset = [] {
        if (at_reset.count++ > 0) return;
        at_reset.w3000 = PlcWord(3000);
        at_reset.w3001 = PlcWord(3001);
        at_reset.w291 = PlcWord(W_BACKUP);
        at_reset.stored = media_test::FileExists(reset_root + "mnt/cfg/ladder.pgm");
    };
    // The backup holds 0x1111; the data clone 0x2222 and 0x3333; the
    // controller 0x4444 and 0x5555.
    MkDir("mnt/cfg");
    PlcWordSet(3000, 0x1111);
    ASSERT_EQ(StoreBBRAM(), 1u);
    PlcWordSet(3000, 0x2222);
    PlcWordSet(3001, 0x3333);
    ASSERT_EQ(MakeDat("A:\\clone.dat"), 0u);
    PlcWordSet(3000, 0x4444);
    PlcWordSet(3001, 0x5555);
    std::vector<uint8_t> pgm(84, 0);
    pgm[0] = 58, pgm[2] = 50, pgm[3] = 15, pgm[4] = 1, pgm[6] = 0x9A, pgm[7] = 0x1E;
    const std::vector<uint8_t> setup = Section(4, std::vector<uint8_t>(80, 7));
    pgm.insert(pgm.end(), setup.begin(), setup.end());
    media_test::WriteFile(P("mnt/USB0/AUTOLOAD.PGM"), pgm);

    // A clone load confirmed while the start-up's automatic load of an IEC
    // application waits for the card.
    auto step = [this](int n) {
        for (int i = 0; i < n && at_reset.count == 0; i++) {
            FailSafeFlagCheck();
            ManualRestoreExecute();
            Pass();
        }
    };
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 1u << 9));
    step(2);
    ASSERT_EQ(PlcWord(W_BACKUP) >> 12 & 1, 1);
    Sys_AutoLoad = 1;
    Sys_AppLoad = 1;
    DrevanoRuntime = 1;
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) & ~(1u << 12)));
    step(40);
    DrevanoRuntime = 0;
    EXPECT_EQ(at_reset.count, 1);
    EXPECT_EQ(at_reset.w3000, 0x2222);  // the backup first, the data clone over it
    EXPECT_EQ(at_reset.w3001, 0x3333);
    EXPECT_TRUE(at_reset.stored);
    EXPECT_EQ(Sys_AutoLoad, 0);
    EXPECT_EQ(Sys_AppLoad, 0);
    // The backup marked as restored by the fail-safe load: restore flag 0 in
    // its file, bit 2 of word 291 shown.
    const std::vector<uint8_t> bkp = media_test::ReadFile(P("mnt/cfg/bkpreg.dta"));
    ASSERT_EQ(bkp.size(), 109192u);
    EXPECT_EQ(bkp[109184], 'Z');
    EXPECT_EQ(bkp[109188], 0);
    for (int i = 0; i < 4; i++) {
        FailSafeFlagCheck();
        ManualRestoreExecute();
    }
    EXPECT_EQ(PlcWord(W_BACKUP) >> 2 & 3, 3);

    // A clone load whose data clone is missing: the program is loaded, the
    // failure shows in bit 11, and the request (bit 9) is over when the
    // controller restarts, not asked again.
    ASSERT_EQ(std::remove(P("mnt/USB0/clone.dat").c_str()), 0);
    at_reset = {};
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 1u << 9));
    step(2);
    ASSERT_EQ(PlcWord(W_BACKUP) >> 12 & 1, 1);
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) & ~(1u << 12)));
    step(40);
    EXPECT_EQ(at_reset.count, 1);
    EXPECT_EQ(at_reset.w291 >> 9 & 0xD, 0x4);  // bit 11 set; bits 9 and 12 clear
    clone_cmd_link = link;
    sys_hooks.warm_reset = reset;
}

// A store request (bit 6) made while a restore waits for its confirmation
// (bits 13 and 14) waits too: the backup the user is about to confirm is
// not overwritten, and the confirmed restore brings back what was stored.
TEST_F(CloneTest, StoreRequestWaitsWhileARestoreAwaitsConfirmation) {
    void (*const reset)() = sys_hooks.warm_reset;
    at_reset = {};
    reset_root = P("");
    sys_hooks.warm_reset = [] {
        at_reset.count++;
        at_reset.w3000 = PlcWord(3000);
        at_reset.w291 = PlcWord(W_BACKUP);
    };
    Manual_test = Mrstate_flag = Clone_Sure_Flag = 0;
    MkDir("mnt/cfg");
    PlcWordSet(3000, 0x1111);
    ASSERT_EQ(StoreBBRAM(), 1u);
    PlcWordSet(3000, 0x2222);
    auto pass = [] {
        FailSafeFlagCheck();
        ManualRestoreExecute();
    };
    // Restore asked: confirmation requested (bit 14).
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 1u << 13));
    pass();
    ASSERT_EQ(PlcWord(W_BACKUP) & 0x6048, 0x6008);  // bits 3, 13, 14; bit 6 clear
    // A store asked meanwhile: nothing happens while the restore waits.
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 1u << 6));
    for (int i = 0; i < 3; i++) pass();
    EXPECT_EQ(PlcWord(W_BACKUP) & 0x6048, 0x6048);
    const std::vector<uint8_t> bkp = media_test::ReadFile(P("mnt/cfg/bkpreg.dta"));
    ASSERT_EQ(bkp.size(), 109192u);
    EXPECT_EQ(bkp[8 + 2 * 3000], 0x11);
    EXPECT_EQ(bkp[8 + 2 * 3000 + 1], 0x11);
    EXPECT_EQ(at_reset.count, 0);
    // Confirmed: the stored image comes back and the controller resets.
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) & ~(1u << 14)));
    pass();
    EXPECT_EQ(at_reset.count, 1);
    EXPECT_EQ(at_reset.w3000, 0x1111);
    sys_hooks.warm_reset = reset;
    Manual_test = Mrstate_flag = 0;
}

// The confirmation handshakes end without a backup or a confirmation: a
// restore asked with no valid backup clears bits 13 and 14 in the same
// pass; a clone load whose request (bit 9) is taken back while it waits
// for confirmation clears bit 12; an erased backup stays shown as absent.
TEST_F(CloneTest, HandshakesEndWithoutBackupOrConfirmation) {
    Manual_test = Mrstate_flag = Clone_Sure_Flag = 0;
    crcsize_tbl.fill(0);
    auto pass = [] {
        FailSafeFlagCheck();
        ManualRestoreExecute();
    };
    pass();
    PlcWordSet(W_BACKUP, 1u << 13);
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    PlcWordSet(W_BACKUP, 3u << 13);
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    EXPECT_EQ(Mrstate_flag, 0);

    PlcWordSet(W_BACKUP, 1u << 9);
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), (1u << 9) | (1u << 12));
    EXPECT_EQ(Clone_Sure_Flag, 1);
    pass();  // waits for bit 12 to be cleared
    EXPECT_EQ(PlcWord(W_BACKUP), (1u << 9) | (1u << 12));
    PlcWordSet(W_BACKUP, 1u << 12);
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    EXPECT_EQ(Clone_Sure_Flag, 0);
    EXPECT_EQ(Manual_test, 0);

    MkDir("mnt/cfg");
    PlcWordSet(W_BACKUP, 1u << 6);
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 1u << 3);
    EXPECT_TRUE(Exists("mnt/cfg/bkpreg.dta"));
    PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 1u << 7));
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    EXPECT_FALSE(Exists("mnt/cfg/bkpreg.dta"));
    pass();
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
}

// Bit 8 makes the clone on the card over a few passes: the program clone
// "AUTOLOAD.PGM" and the data clone "clone.dat" (the image with its CRC),
// bit 8 cleared; a save the controller refuses ends with bit 10 and no data
// clone, bit 8 cleared all the same.
TEST_F(CloneTest, DataCloneRequestWritesBothClonesOrShowsTheFailure) {
    const CloneCmdLink link = clone_cmd_link;
    static bool refuse;
    refuse = false;
    clone_cmd_link = {[](uint32_t) { return 0u; },
                      [](uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx, uint32_t rx_max,
                         uint32_t *rx_len) -> uint16_t {
                          if (command == 25 && refuse) return 0x09;
                          return ToolCmd(command, length, data, rx, rx_max, rx_len);
                      },
                      [](uint8_t, const uint8_t *) -> uint16_t { return 0xA0; },
                      [](uint32_t *n, uint8_t *, uint32_t) -> uint16_t {
                          *n = 0;
                          return MCMD_FRAME;
                      },
                      [](uint8_t) {},
                      [] {}};
    Manual_test = Mrstate_flag = Clone_Sure_Flag = 0;
    crcsize_tbl.fill(0);
    auto step = [this](int n) {
        for (int i = 0; i < n; i++) {
            FailSafeFlagCheck();
            ManualRestoreExecute();
            Pass();
        }
    };
    PlcWordSet(3000, 0xBEEF);
    PlcWordSet(W_BACKUP, 1u << 8);
    step(20);
    EXPECT_EQ(Manual_test, 0);
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    EXPECT_TRUE(Exists("mnt/USB0/AUTOLOAD.PGM"));
    const std::vector<uint8_t> dat = media_test::ReadFile(P("mnt/USB0/clone.dat"));
    ASSERT_EQ(dat.size(), CLONE_DAT_SIZE);
    EXPECT_EQ(dat[6000], 0xEF);
    EXPECT_EQ(dat[6001], 0xBE);
    EXPECT_EQ(dat[2 * W_BACKUP + 1] & 1, 0);  // the request is not carried along

    ASSERT_EQ(std::remove(P("mnt/USB0/AUTOLOAD.PGM").c_str()), 0);
    ASSERT_EQ(std::remove(P("mnt/USB0/clone.dat").c_str()), 0);
    refuse = true;
    PlcWordSet(W_BACKUP, 1u << 8);
    step(20);
    EXPECT_EQ(Manual_test, 0);
    EXPECT_EQ(PlcWord(W_BACKUP), 1u << 10);
    EXPECT_FALSE(Exists("mnt/USB0/AUTOLOAD.PGM"));
    EXPECT_FALSE(Exists("mnt/USB0/clone.dat"));
    clone_cmd_link = link;
}

}  // namespace
