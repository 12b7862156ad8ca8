// System services: hardware check and kernel revision, register links and
// pseudo-registers, the battery-backed image bounds, LEDs, the watchdog and
// the watchdog thread's check.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cstring>
#include <algorithm>
#include <fstream>
#include <map>
#include <vector>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "core/image/dpram.h"
#include "exec/mainloop.h"
#include "media/cfm.h"
#include "core/storage/memfile.h"
#include "exec/plcmode.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "exec/sys.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/io.h"
#include "net/dpr.h"
#include "test_exec_support.h"

namespace {

std::string Slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class ExecSys : public ::testing::Test {
protected:
    void SetUp() override {
        root = exec_test::Root();
        setenv("PLC_RESET", "exit", 1);
        plc_reg.fill(0);
        WatchDogDisable = 0;
    }
    void TearDown() override {
        StopWatchdog();
        unsetenv("PLC_UNAME");
    }
    std::string root;
};

TEST_F(ExecSys, HardwareCheckIdentityAndShellOrder) {
    std::remove((root + "/sim/commands.log").c_str());
    uint8_t image[76];
    for (unsigned i = 0; i < sizeof image; i++) image[i] = uint8_t(i + 1);
    {
        std::ofstream f(root + "/mnt/cfg/TINYIMGE.BIN", std::ios::binary);
        f.write(reinterpret_cast<const char *>(image), sizeof image);
    }
    SYS_HardwareCheck();
    EXPECT_EQ(LE_Get16(&tinyImage[4]), 12);
    EXPECT_EQ(tinyImage[8], 9) << "MAC IDs from byte 8";
    EXPECT_EQ(tinyImage[75], 76);
    uint8_t mac[77];
    mac[76] = 0x5C;
    EXPECT_EQ(SYS_GetMACID(mac), 1u);
    EXPECT_EQ(mac[4], 12);
    EXPECT_EQ(mac[5], 0);
    EXPECT_EQ(mac[8], 9);
    EXPECT_EQ(mac[75], 76);
    EXPECT_EQ(mac[76], 0x5C) << "76 bytes, no more";
    // What the shell lines leave behind: inetd stopped before anything
    // else, each kernel setting at its value, and the kernel text where the
    // revision is read from.
    std::istringstream log(Slurp(root + "/sim/commands.log"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(log, l);) lines.push_back(l);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "killall -9 inetd");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "killall -9 inetd"), 1);
    std::map<std::string, std::string> settings;
    for (const std::string &l : lines) {
        std::istringstream w(l);
        std::string echo, value, arrow, path;
        if (w >> echo >> value >> arrow >> path && echo == "echo" && arrow == ">") settings[path] = value;
    }
    const std::map<std::string, std::string> want = {
        {"/proc/sys/vm/dirty_writeback_centisecs", "10"}, {"/proc/sys/vm/dirty_expire_centisecs", "20"},
        {"/proc/sys/net/ipv4/conf/eth0/arp_filter", "0"}, {"/proc/sys/net/ipv4/conf/eth1/arp_filter", "0"},
        {"/proc/sys/net/ipv4/conf/all/arp_ignore", "1"},  {"/proc/sys/net/ipv4/conf/all/proxy_arp", "1"},
        {"/proc/sys/net/ipv4/tcp_retries2", "5"},
    };
    EXPECT_EQ(settings, want);
    EXPECT_EQ(Slurp(root + "/dev/shm/rev.txt"), "Linux controller 2.6.35.3-3544 #1 PREEMPT armv5tejl GNU/Linux\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[108560]), 9), "2.6.35.44");
    std::remove((root + "/mnt/cfg/TINYIMGE.BIN").c_str());
    SYS_HardwareCheck();
    EXPECT_EQ(tinyImage[8], 0) << "a missing file leaves the image zero";
    EXPECT_EQ(LE_Get16(&tinyImage[4]), 12);
}

TEST_F(ExecSys, KernelRevisionText) {
    struct Case {
        const char *uname;
        const char *rev;  // positions 0..9
        uint32_t number;
    };
    const Case cases[] = {
        {"Linux controller 2.6.35.3-3544 #1 PREEMPT armv5tejl GNU/Linux", "2.6.35.44", 3544},
        {"Linux c 2.6.35.3-3543 #1", "2.6.35.43", 3543},
        // Only digits and dots count; a leading '4' is not kept.
        {"Linux c 42.6.35.3-3999 x", "2.6.35.99", 3599},
    };
    for (const Case &c : cases) {
        setenv("PLC_UNAME", c.uname, 1);
        SYS_HardwareCheck();
        EXPECT_STREQ(KernelRev.data(), c.rev) << c.uname;
        EXPECT_EQ(SYS_KernelRevNumber(), c.number) << c.uname;
        EXPECT_EQ(std::memcmp(&plc_reg[108560], KernelRev.data(), 10), 0);
    }
    // A text longer than the 20 bytes stays within them.
    setenv("PLC_UNAME", "Linux x 1234567890123456789012345678901234567890 y", 1);
    SYS_HardwareCheck();
    EXPECT_EQ(KernelRev[9], 0);
    EXPECT_EQ(KernelRev[7], '9');
    EXPECT_EQ(KernelRev[8], '0');
    EXPECT_EQ(KernelRev[19], 0);
    // Fewer than two kept characters.
    setenv("PLC_UNAME", "Linux x 7 y", 1);
    SYS_HardwareCheck();
    EXPECT_EQ(KernelRev[7], '0');
    EXPECT_EQ(KernelRev[8], '7');
    setenv("PLC_UNAME", "Linux", 1);
    SYS_HardwareCheck();
    EXPECT_EQ(SYS_KernelRevNumber(), 0u);
    EXPECT_EQ(KernelRev[0], 0);
}

TEST_F(ExecSys, LinkSpecifications) {
    SYS_ResetRCBs(0);
    EXPECT_EQ(rcbLimit, 400u);
    const SysRcb *a = SYS_LinkReg(BA_R, 0x8004);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->width, 32);
    EXPECT_EQ(a->count, 4);
    const SysRcb *b = SYS_LinkReg(BA_R, 0x0010);
    EXPECT_EQ(b->width, 16);
    EXPECT_EQ(b->count, 2 | RCB_SIGN_FILL);
    const SysRcb *c = SYS_LinkReg(BA_R, 0x00C4);
    EXPECT_EQ(c->width, 32);
    EXPECT_EQ(c->count, 4);
    const SysRcb *d = SYS_LinkReg(BA_R, 0x004C);
    EXPECT_EQ(d->width, 12);
    EXPECT_EQ(d->count, 2);
    EXPECT_EQ(d->base, BA_R);

    SYS_ResetRCBs(2);
    EXPECT_EQ(rcbLimit, 16u);
    for (int i = 0; i < 16; i++) EXPECT_NE(SYS_LinkReg(BA_R, 16), nullptr);
    EXPECT_EQ(SYS_LinkReg(BA_R, 16), nullptr) << "a full table refuses";
    SYS_ResetRCBs(1);
    EXPECT_EQ(rcbLimit, 64u);
}

TEST_F(ExecSys, ReadAndWriteThroughLinks) {
    SYS_ResetRCBs(0);
    const SysRcb *s16 = SYS_LinkReg(BA_R, 0x0010);
    PlcWordSet((BA_R - 1024) / 16, 0x8001);
    uint8_t out[4];
    SYS_ReadReg(out, s16, 4);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x80);
    EXPECT_EQ(out[2], 0xFF) << "sign fill";
    EXPECT_EQ(out[3], 0xFF);
    PlcWordSet((BA_R - 1024) / 16, 0x0001);
    SYS_ReadReg(out, s16, 4);
    EXPECT_EQ(out[2], 0x00);
    // A write is cut to the link's bytes.
    const SysRcb *b4 = SYS_LinkReg(BA_R + 16, 0x8002);
    const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
    SYS_WriteReg(b4, data, 4);
    EXPECT_EQ(PlcWord((BA_R - 1024) / 16 + 1), 0x2211);
    EXPECT_EQ(PlcWord((BA_R - 1024) / 16 + 2), 0);
    // The rogue write goes at base + offset.
    SYS_WriteRogueRCB(b4, 16, 16, data);
    EXPECT_EQ(PlcWord((BA_R - 1024) / 16 + 2), 0x2211);
    SYS_WriteRogueRCB(nullptr, 0, 16, data);  // ignored
}

TEST_F(ExecSys, PseudoRegisters) {
    SYS_ResetRCBs(1);
    const SysRcb *tz = SYS_LinkReg(1005, 0x8006);
    PlcWordSet(W_TZ, uint16_t(int16_t(-90)));
    uint8_t out[6];
    SYS_ReadReg(out, tz, 6);
    EXPECT_EQ(int16_t(LE_Get16(out + 2)), -30) << "minutes";
    EXPECT_EQ(int16_t(LE_Get16(out + 4)), -1) << "hours";
    UtcUpdated = 0;
    const uint8_t set[6] = {0, 0, 30, 0, 2, 0};
    SYS_WriteReg(tz, set, 6);
    EXPECT_EQ(PlcWord(W_TZ), 150);
    EXPECT_EQ(UtcUpdated, 1);

    const SysRcb *rev = SYS_LinkReg(1022, 0x8014);
    std::memcpy(KernelRev.data(), "2.6.35.44", 10);
    uint8_t text[20];
    SYS_ReadReg(text, rev, 20);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "2.6.35.44");
    const SysRcb *none = SYS_LinkReg(1009, 0x8004);
    std::memset(out, 0x55, sizeof out);
    SYS_ReadReg(out, none, 4);
    EXPECT_EQ(LE_Get32(out), 0u);
    SYS_WriteReg(none, set, 4);  // ignored
    const SysRcb *utc = SYS_LinkReg(1007, 0x800C);
    const uint8_t rec[12] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 0xE8, 0x07};
    UtcUpdated = 0;
    SYS_WriteReg(utc, rec, 12);
    EXPECT_EQ(std::memcmp(&plc_reg[108582], rec, 12), 0);
    EXPECT_EQ(UtcUpdated, 1);
    UtcUpdated = 0;
    // A new address, mask, gateway or DNS server is a change the Ethernet
    // manager takes on its next pass.
    const uint32_t gen = pass_work.net_gen;
    const uint8_t addr[4] = {0x0A, 0x00, 0x00, 0xC0};
    SYS_WriteReg(SYS_LinkReg(992, 0x8004), addr, 4);
    EXPECT_EQ(Dpr_Configuration[0].address, 0xC000000Au);
    EXPECT_EQ(pass_work.net_gen, gen + 1);
    SYS_WriteReg(SYS_LinkReg(994, 0x8004), addr, 4);
    SYS_WriteReg(SYS_LinkReg(1015, 0x8004), addr, 4);
    SYS_WriteReg(SYS_LinkReg(1016, 0x8004), addr, 4);
    EXPECT_EQ(pass_work.net_gen, gen + 4);
}

TEST_F(ExecSys, BatteryImageBounds) {
    std::vector<uint8_t> big(0x10000, 0xAB);
    bbram.fill(0);
    EXPECT_EQ(SYS_WriteCmd(big.data(), 106495, 4), 0u) << "offset above 106,494 refused";
    // The image is 32 bytes: never written or read past it, whatever the count.
    EXPECT_EQ(SYS_WriteCmd(big.data(), 30, 0xFFFF), 2u);
    EXPECT_EQ(SYS_WriteCmd(big.data(), 4, 3), 3u);
    std::vector<uint8_t> back(0x10000, 0);
    EXPECT_EQ(SYS_ReadCmd(back.data(), 0, 0xFFFF), 32u);
    std::vector<uint8_t> want(32, 0);
    want[4] = want[5] = want[6] = want[30] = want[31] = 0xAB;
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 32), want);
    EXPECT_EQ(back[32], 0) << "nothing copied past the image";
    EXPECT_EQ(SYS_ReadCmd(back.data(), 30, 0xFFFF), 2u);
    EXPECT_EQ(SYS_ReadCmd(back.data(), 32, 4), 0u);
    EXPECT_EQ(SYS_ReadCmd(back.data(), 0xFFFFFFFFu, 4), 0u);
    uint8_t buf[2048];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(SYS_BlockErase(buf, 4096), 1u);
    EXPECT_EQ(buf[1023], 0xFF);
    EXPECT_EQ(buf[1024], 0) << "at most 1024 bytes erased";
}

TEST_F(ExecSys, ParameterTableAndBatteryAllocation) {
    uint8_t t[12] = {8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    LE_Put16(t + 2, crc16(t + 4, 8));
    EXPECT_EQ(SYS_ValidateParmTbl(t, sizeof t), 1u);
    t[11] ^= 1;
    EXPECT_EQ(SYS_ValidateParmTbl(t, sizeof t), 0u);
    EXPECT_EQ(SYS_ValidateParmTbl(t, 6), 0u) << "too short";
    SYS_InitBBR();
    EXPECT_EQ(SYS_AllocBBR(3), 128u);
    EXPECT_EQ(SYS_AllocBBR(2), 132u) << "even steps";
    EXPECT_EQ(SYS_ExpandBBR(5), 140u) << "grown by 6, answering the new end";
    EXPECT_EQ(SYS_AllocBBR(1), 140u);
    EXPECT_EQ(SYS_PackRegs(1), 0);
    EXPECT_EQ(SYS_PackRegs(0), 1);
}

TEST_F(ExecSys, SystemRegistersByNumber) {
    EXPECT_EQ(SYS_WriteSys(5, 2), 1u);
    EXPECT_EQ(PlcWord(W_MODE), 2) << "%SR5 goes through the mode change";
    EXPECT_EQ(SYS_ReadSys(5), 2);
    EXPECT_EQ(SYS_RunMode(), 2);
    EXPECT_EQ(SYS_WriteSys(5, 9), 0u);
    SYS_WriteSys(1, 77);
    EXPECT_EQ(SYS_lastLocalUser, 77);
    SetPlcMode(0);
}

// The four mailbox channels handed to the card file manager, each the same
// way: a refused request stays offered, a finished one is acknowledged with
// its result, one in service is polled again, and a stray state is reset.
TEST_F(ExecSys, MailboxHandOverOfTheFourChannels) {
    const struct Channel {
        const char *name;
        uint16_t *state;
        std::size_t req, ack, res;
        tCFCB *block;
    } channels[] = {{"file requests", &cfi_state, 8464, 8465, 8468, pDpramCFCB},
                    {"data logger", &cfdl_state, 8728, 8729, 8732, pLoggerCFCB},
                    {"e-mail", &cfem_state, 8752, 8753, 8756, pEmailCFCB},
                    {"debug logger", &cfdbgl_state, 74312, 74313, 74316, pDbgLoggerCFCB}};
    const uint16_t safe = removeSafe;
    for (const Channel &c : channels) {
        SCOPED_TRACE(c.name);
        for (const Channel &o : channels) *o.state = 0;
        dpram[c.req] = 1;
        dpram[c.ack] = 0;
        dpram[c.res] = dpram[c.res + 1] = 0;
        // The card is released for removal: the manager refuses, the channel
        // stays idle and the request is offered again on the next pass.
        removeSafe = 1;
        SYS_Update();
        EXPECT_EQ(*c.state, 0);
        SYS_Update();
        EXPECT_EQ(*c.state, 0);
        EXPECT_EQ(dpram[c.ack], 0);
        // Taken and still in service: polled, nothing acknowledged.
        *c.state = 2;
        c.block->state = CFCB_SERVICE;
        SYS_Update();
        EXPECT_EQ(*c.state, 2);
        EXPECT_EQ(dpram[c.ack], 0);
        // Done with result 144: the result word, then the acknowledge byte.
        c.block->state = CFCB_DONE;
        c.block->result = 144;
        SYS_Update();
        EXPECT_EQ(*c.state, 0);
        EXPECT_EQ(dpram[c.ack], 1);
        EXPECT_EQ(dpram[c.res], 144);
        EXPECT_EQ(dpram[c.res + 1], 0);
        EXPECT_EQ(c.block->state, CFCB_IDLE);
        // Any other state value becomes 0.
        *c.state = 7;
        SYS_Update();
        EXPECT_EQ(*c.state, 0);
    }
    removeSafe = safe;
}

TEST_F(ExecSys, LedCodes) {
    auto leds = [this] { return Slurp(root + "/sim/leds"); };
    sysFlash = 1;
    SYS_SetStatusLeds(11, 11);
    EXPECT_EQ(leds(), "OK 1 11\nRUN 0 11\n") << "alternating";
    sysFlash = 0;
    SYS_SetStatusLeds(11, 11);
    EXPECT_EQ(leds(), "OK 0 11\nRUN 1 11\n");
    Flash100ms = 1;
    SYS_SetStatusLeds(12, 12);
    EXPECT_EQ(leds(), "OK 1 12\nRUN 1 12\n") << "together";
    Flash100ms = 0;
    SYS_SetStatusLeds(12, 12);
    EXPECT_EQ(leds(), "OK 0 12\nRUN 0 12\n");
    // Code 2 follows the slow flash phase, 1 is on, others off.
    sysFlash = 1;
    SYS_SetStatusLeds(2, 1);
    EXPECT_EQ(leds(), "OK 1 2\nRUN 1 1\n");
    sysFlash = 0;
    SYS_SetStatusLeds(2, 1);
    EXPECT_EQ(leds(), "OK 0 2\nRUN 1 1\n");
    SYS_SetStatusLeds(0, 7);
    EXPECT_EQ(leds(), "OK 0 0\nRUN 0 7\n");
    PlcWordSet(W_PORTPROTO, 1);
    PlcWordSet(182, 0);
    EXPECT_EQ(SYS_GetOkLed(), 1u);
    PlcWordSet(182, 4);
    EXPECT_EQ(SYS_GetOkLed(), 0u);
    plc_reg[65] |= 0x04;
    EXPECT_EQ(SYS_GetOkLed(), 2u) << "forcing active";
    EXPECT_EQ(SYS_GetRunLed(), 0u);
    PlcWordSet(W_MODE, 1);
    EXPECT_EQ(SYS_GetRunLed(), 2u);
    // Mode 2: on (1) while the program's first word is not 9, flashing (2)
    // when it is.
    const uint8_t first[2] = {ladder_bl[MF_HDR], ladder_bl[MF_HDR + 1]};
    PlcWordSet(W_MODE, 2);
    ladder_bl[MF_HDR] = 9;
    ladder_bl[MF_HDR + 1] = 0;
    EXPECT_EQ(SYS_GetRunLed(), 2u);
    ladder_bl[MF_HDR] = 7;
    EXPECT_EQ(SYS_GetRunLed(), 1u);
    ladder_bl[MF_HDR] = 9;
    ladder_bl[MF_HDR + 1] = 1;  // word 0x0109
    EXPECT_EQ(SYS_GetRunLed(), 1u);
    ladder_bl[MF_HDR] = first[0];
    ladder_bl[MF_HDR + 1] = first[1];
    PlcWordSet(W_MODE, 0);
}

TEST_F(ExecSys, WatchdogDisabledNeverOpens) {
    WatchDogDisable = 1;
    StartWatchdog();
    EXPECT_EQ(wdog.load(), -1);
    TickleWatchdogReal();
    EXPECT_EQ(PLAT_WdtTimeLeft(), -1);
    EXPECT_EQ(WatchdogScan_Check(), 0u);
}

TEST_F(ExecSys, WatchdogThreadSavesOnceNearExpiry) {
    StartWatchdog();
    ASSERT_GE(wdog.load(), 0);
    EXPECT_EQ(PLAT_WdtTimeout(), 5);
    EXPECT_GT(PLAT_WdtTimeLeft(), 4000);
    EXPECT_EQ(WatchdogScan_Check(), 0u) << "plenty of time left";
    const std::string reg = root + "/mnt/cfg/autoreg.dta";
    { std::ofstream empty(reg, std::ios::trunc); }  // the save replaces an existing file
    // The end of a whole pass publishes the image; the hung pass then changes it.
    plc_reg[7] = 0x11;
    plc_reg[PLC_REG_SIZE - 1] = 0x22;
    MF_PublishRegisters();
    plc_reg[7] = 0x99;
    set_watchdog_time(1);  // time left now 1000 ms or just below
    const uint32_t saved = WatchdogScan_Check();
    StopWatchdog();  // the magic close: no reset of this test process
    EXPECT_EQ(saved, 1u);
    EXPECT_EQ(wdog.load(), -1);
    EXPECT_EQ(PLAT_WdtTimeLeft(), -1);
    const std::string image = Slurp(reg);
    ASSERT_EQ(image.size(), PLC_REG_SIZE) << "the image was saved";
    EXPECT_EQ(uint8_t(image[7]), 0x11) << "the copy of the last whole pass, not the changing image";
    EXPECT_EQ(uint8_t(image[PLC_REG_SIZE - 1]), 0x22);
}

TEST_F(ExecSys, PersistentStatusBitsOfTwoThreadsAreNeverLost) {
    MF_PersistSet(0);
    std::atomic<int> lost{0}, ready{0};
    auto worker = [&lost, &ready](uint32_t bit) {
        ready++;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < 2000000; i++) {
            MF_PersistOr(bit);
            if (!(MF_PersistGet() & bit)) lost++;
            MF_PersistClear(bit);
        }
        MF_PersistOr(bit);
    };
    std::thread a(worker, PS_SAVE_FAIL), b(worker, PS_LADDER_CRC);
    a.join();
    b.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(MF_PersistGet(), PS_SAVE_FAIL | PS_LADDER_CRC);
    MF_PersistSet(0);
}

TEST_F(ExecSys, NetworkConfiguration) {
    PlcDwordSet(146, 0);
    NetStatsClear = 0;
    NetConfig();
    EXPECT_EQ(PlcWord(188), 1);
    EXPECT_EQ(PlcWord(W_NETID_CFG), 0);
    EXPECT_EQ(LE_Get16(&net_cfg[6]), 3);
    EXPECT_EQ(NetStatsClear, 1) << "the node restarted";
    // Bit 7 of byte 0 with a zero rate code: the node is not restarted.
    uint8_t *cfg = &net_config_bl[MF_HDR];
    std::memset(cfg, 0, 12);
    cfg[0] = 0x85;
    cfg[1] = 0;
    PlcDwordSet(146, 12);
    NetStatsClear = 0;
    NetConfig();
    EXPECT_EQ(PlcWord(W_NETID_CFG), 5);
    EXPECT_EQ(PlcWord(188), 1);
    EXPECT_EQ(NetStatsClear, 0);
    cfg[6] = 2;
    NetConfig();
    EXPECT_EQ(NetStatsClear, 1);
    EXPECT_EQ(LE_Get16(&net_cfg[6]), 2);
    PlcDwordSet(146, 0);
}

// Link variants: a 32-bit link, one moved to another register, one given
// another specification, and the clock image's link (words 171..177, bit
// address 1024 + 16 x 171 = 3760, fourteen bytes).
TEST_F(ExecSys, LinkVariants) {
    SYS_ResetRCBs(2);
    const uint32_t w = (BA_R - 1024) / 16;  // word of BA_R
    PlcWordSet(w, 0x1234);
    PlcWordSet(w + 1, 0x8765);
    PlcWordSet(w + 2, 0xFFFE);
    SysRcb *l = SYS_32LinkReg(BA_R);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->width, 32);
    EXPECT_EQ(l->count, 4);
    uint8_t out[6];
    SYS_ReadReg(out, l, 6);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0x34, 0x12, 0x65, 0x87, 0, 0}));
    EXPECT_EQ(SYS_ChgLink(l, BA_R + 32), l);
    EXPECT_EQ(l->base, BA_R + 32);
    EXPECT_EQ(l->address, BA_R + 32);
    EXPECT_EQ(l->width, 32);
    SYS_ReadReg(out, l, 6);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0xFE, 0xFF, 0, 0, 0, 0}));
    // 16 bits with sign fill: 0xFFFE reads as -2 in six bytes.
    EXPECT_EQ(SYS_ModLink(l, 0x0010), l);
    EXPECT_EQ(l->width, 16);
    EXPECT_EQ(l->count, 2 | RCB_SIGN_FILL);
    EXPECT_EQ(l->address, BA_R + 32);
    SYS_ReadReg(out, l, 6);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(SYS_ChgLink(nullptr, BA_R), nullptr);
    EXPECT_EQ(SYS_ModLink(nullptr, 0x0010), nullptr);
    // The clock link: the seven clock words as they stand.
    for (uint32_t k = 0; k < 7; k++) PlcWordSet(171 + k, uint16_t(0x0101 * (k + 1)));
    PlcWordSet(178, 0xAAAA);
    const SysRcb *rtc = SYS_InitRTC();
    ASSERT_NE(rtc, nullptr);
    EXPECT_EQ(rtc->address, 3760u);
    EXPECT_EQ(rtc->width, 112);
    EXPECT_EQ(rtc->count, 14);
    uint8_t clk[16];
    SYS_ReadReg(clk, rtc, 16);
    EXPECT_EQ(std::vector<uint8_t>(clk, clk + 16),
              (std::vector<uint8_t>{1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 0, 0}));
    // The new links take table places: the third table holds 16.
    for (int i = 0; i < 14; i++) EXPECT_NE(SYS_32LinkReg(BA_R), nullptr);
    EXPECT_EQ(SYS_32LinkReg(BA_R), nullptr);
    EXPECT_EQ(SYS_InitRTC(), nullptr);
}

// Program header words: bytes 0x10..0x27 in the first 24 bytes of the
// program area; battery-image clearing; the set-up check.
TEST_F(ExecSys, ProgramHeaderWordsClearCmdAndTest) {
    const std::vector<uint8_t> keep(ladder_bl.begin(), ladder_bl.begin() + 32);
    for (uint32_t i = 0; i < 32; i++) ladder_bl[i] = uint8_t(0x10 + i);
    EXPECT_EQ(SYS_ReadSeg(0, 1), 0x13121110u);
    EXPECT_EQ(SYS_ReadSeg(5, 1), 0x27262524u);
    EXPECT_EQ(SYS_ReadSeg(6, 1), 0u) << "past the header";
    EXPECT_EQ(SYS_ReadSeg(3, 0), 0x1716u);
    EXPECT_EQ(SYS_ReadSeg(11, 0), 0x2726u);
    EXPECT_EQ(SYS_ReadSeg(12, 0), 0u);
    EXPECT_EQ(SYS_WriteSeg(5, 0xAABBCCDD, 1), 1u);
    EXPECT_EQ(SYS_WriteSeg(6, 0x99999999, 1), 0u) << "index above 5";
    EXPECT_EQ(SYS_WriteSeg(6, 0x9999, 0), 0u);
    EXPECT_EQ(SYS_WriteSeg(5, 0x11234, 0), 1u);
    std::vector<uint8_t> want;
    for (uint32_t i = 0; i < 32; i++) want.push_back(uint8_t(0x10 + i));
    want[10] = 0x34, want[11] = 0x12;
    want[20] = 0xDD, want[21] = 0xCC, want[22] = 0xBB, want[23] = 0xAA;
    EXPECT_EQ(std::vector<uint8_t>(ladder_bl.begin(), ladder_bl.begin() + 32), want);
    std::copy(keep.begin(), keep.end(), ladder_bl.begin());

    // Cleared bytes within the image's bounds, and the stored file with them.
    bbram.fill(0x55);
    EXPECT_EQ(SYS_ClearCmd(106495, 4), 0u) << "offset above 106,494 refused";
    EXPECT_EQ(SYS_ClearCmd(32, 4), 0u);
    EXPECT_EQ(SYS_ClearCmd(4, 3), 3u);
    EXPECT_EQ(SYS_ClearCmd(30, 0x10005), 2u) << "a 16-bit count, cut at the image's end";
    std::string img(32, '\x55');
    img[4] = img[5] = img[6] = img[30] = img[31] = 0;
    EXPECT_EQ(std::string(bbram.begin(), bbram.end()), img);
    EXPECT_EQ(Slurp(root + "/mnt/cfg/bbram.dta"), img);
    bbram.fill(0);

    // Set up once the hardware check marked the identity image and the
    // product record is filled.
    productId.fill(0);
    tinyImage.fill(0);
    EXPECT_EQ(SYS_Test(), 0u);
    SYS_HardwareCheck();
    EXPECT_EQ(SYS_Test(), 0u) << "no product record yet";
    std::memcpy(pProduct, "Controller: 15.50", 18);  // as the product record is filled at start-up
    EXPECT_EQ(SYS_Test(), 1u);
    tinyImage[4] = 11;
    EXPECT_EQ(SYS_Test(), 0u);
}

}  // namespace
