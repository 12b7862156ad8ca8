// The protocol manager in-process with a C test driver whose shared object
// bytes sit in the protocol-manager table: loading into /dev/shm, the service
// table, cyclic reads, a two-way command's changed run, the status area,
// retries into a device fault, refused tables and stop and restart.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <span>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "messaging/talk.h"
#include "io/vcomm.h"
#include "net/dpr.h"
#include "net/etnvcomm.h"
#include "platform/plat_net.h"
#include "protocols/pmgr.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }
uint16_t Word(uint32_t n) { return LE_Get16(PlcReg_Ptr(R(n), 16)); }
void SetWord(uint32_t n, uint16_t v) { LE_Put16(PlcReg_Ptr(R(n), 16), v); }

Bytes ReadFile(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// Element by element: GCC 12 warns falsely about a range insert here.
void Append(Bytes &t, const Bytes &x) {
    for (uint8_t b : x) t.push_back(b);
}

void Put32(Bytes &b, std::size_t at, uint32_t v) { LE_Put32(&b[at], v); }
void Put16(Bytes &b, std::size_t at, uint16_t v) { LE_Put16(&b[at], v); }

struct Cmd {
    uint16_t flags;
    uint32_t reg;
    uint8_t station, fc, dev, count;
    uint16_t addr;
    uint16_t len = 36;
};

// Table: header, one driver record, image, configuration, one device, the
// commands.
Bytes Table(const Bytes &image, const std::vector<Cmd> &cmds, uint32_t drivers = 1, uint16_t dev_len = 28,
            uint16_t retries = 3, uint8_t port = 0, uint32_t dev_addr = 1, uint16_t dev_port = 0,
            uint32_t devices = 1) {
    Bytes t(48);
    const uint32_t img = 48, cfg = img + uint32_t(image.size()), dev = cfg + 48,
                   scan = dev + devices * (dev_len < 28 ? 28 : dev_len);
    Append(t, image);
    Bytes c(48);
    c[1] = port;          // 0: the programming port
    Put16(c, 2, 5);       // 9600 baud
    Put32(c, 8, R(500));  // status area
    Put32(c, 12, 0);      // period: as fast as possible
    Put32(c, 28, 10);     // retry delay 100 ms
    Append(t, c);
    Bytes d(dev_len < 28 ? 28 : dev_len);
    Put32(d, 0, R(800));  // status pair
    Put32(d, 4, dev_addr);
    Put16(d, 24, dev_port);
    Put16(d, 22, retries);
    Put16(d, 26, dev_len);
    for (uint32_t i = 0; i < devices; i++) Append(t, d);
    for (const Cmd &m : cmds) {
        Bytes e(m.len < 36 || m.len > 1000 ? 36 : m.len);  // what the length word claims may differ
        Put16(e, 0, m.flags);
        Put32(e, 4, m.reg);
        Put16(e, 12, m.len);
        e[14] = m.station;
        e[15] = m.fc;
        e[16] = m.dev;
        e[17] = m.count;
        Put16(e, 18, m.addr);
        Append(t, e);
    }
    Put32(t, 0, uint32_t(t.size()));
    Put32(t, 8, drivers);
    Put32(t, 12, 6);
    Put32(t, 16, img);
    Put32(t, 20, cfg);
    Put32(t, 24, dev);
    Put32(t, 28, devices);
    Put32(t, 32, scan);
    Put32(t, 36, uint32_t(cmds.size()));
    Put16(t, 44, 315);
    return t;
}

// Layout of the tables Table() builds: configuration, device, first command.
struct Layout {
    std::size_t cfg, dev, scan;
};
Layout Offsets(const Bytes &image, uint16_t dev_len = 28) {
    const std::size_t cfg = 48 + image.size();
    return {cfg, cfg + 48, cfg + 48 + dev_len};
}

void Install(const Bytes &t) {
    std::copy(t.begin(), t.end(), promgr_table_bl.begin() + MF_HDR);
    MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(t.size()));
    NV_EditorFeatures |= NVF_PROMGR;
}

// Globals of the loaded driver (the library the manager opened).
template <typename T>
T *Sym(const std::string &path, const char *name) {
    void *h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h == nullptr) return nullptr;
    void *p = dlsym(h, name);
    dlclose(h);
    return static_cast<T *>(p);
}

class Pmgr : public ::testing::Test {
protected:
    void SetUp() override {
        plc_reg.fill(0);
        PlcWordSet(W_MODE, 2);
        TalkOverride = 0;
        mkdir((root_ / "dev").c_str(), 0700);
        mkdir((root_ / "dev/shm").c_str(), 0700);
        image_ = ReadFile(PMGR_TEST_DRIVER);
        ASSERT_GT(image_.size(), 1000u);
    }
    void TearDown() override {
        PMGR_Stop();
        TalkOverride = 0;
        promgr_table = nullptr;
    }
    // One scan and one main-loop pass.
    void Cycle(unsigned n = 1) {
        for (unsigned i = 0; i < n; i++) {
            PMGR_Scan();
            PMGR_TheLoop(0);
        }
    }
    std::string Drv0() const { return root_ / "dev/shm/drv0.so"; }
    test_support::TempRoot root_;
    Bytes image_;
};

TEST_F(Pmgr, LoadsExchangesAndStops) {
    Install(Table(image_, {{1, R(600), 1, 3, 0, 4, 100}, {2 | 0x0, R(700), 1, 3, 0, 4, 200}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(ReadFile(Drv0()), image_);
    struct stat st {};
    ASSERT_EQ(stat(Drv0().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(TalkOverride, 1);  // the port was claimed
    auto *seen = Sym<uintptr_t>(Drv0(), "drv_seen");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen[21], 32768u);
    EXPECT_EQ(seen[22], 24576u);
    EXPECT_EQ(seen[27], 50240u);
    EXPECT_EQ(seen[32], 0x10000u);
    EXPECT_EQ(*Sym<int>(Drv0(), "drv_last_control"), 2);
    // First cycle: both commands read.
    Cycle(3);
    // The manager's fields behind the service table, as the driver reads them.
    auto *rs = Sym<uintptr_t>(Drv0(), "drv_read_seen");
    const std::size_t cfg = 48 + image_.size();
    EXPECT_EQ(rs[34], reinterpret_cast<uintptr_t>(promgr_table + cfg + 48 + 28));  // scan list
    EXPECT_EQ(rs[35], reinterpret_cast<uintptr_t>(&mcb[0][0]));
    EXPECT_EQ(rs[36], 2u);
    EXPECT_EQ(rs[37], 0u);  // second group from command 0: all of them
    EXPECT_EQ(rs[38], reinterpret_cast<uintptr_t>(&mcb[0][0]));
    EXPECT_EQ(rs[39], 2u);
    EXPECT_EQ(rs[40], reinterpret_cast<uintptr_t>(&scb[0][0]));
    EXPECT_EQ(rs[41], 1u);
    EXPECT_EQ(rs[45], reinterpret_cast<uintptr_t>(promgr_table + cfg));
    // The device block holds the configuration block's address and its entry.
    EXPECT_EQ(scb[0][0].cfg, promgr_table + cfg);
    EXPECT_EQ(scb[0][0].entry, promgr_table + cfg + 48);
    EXPECT_EQ(rs[46], reinterpret_cast<uintptr_t>(PlcReg_Ptr(R(500), 16)));
    EXPECT_EQ(rs[51], 0u);  // no trigger
    EXPECT_EQ(rs[52], 0u);
    EXPECT_EQ(Word(600), 0x3064);
    EXPECT_EQ(Word(603), 0x3067);
    EXPECT_EQ(Word(700), 0x30C8);
    EXPECT_EQ(Word(703), 0x30CB);
    // The command blocks' routine slots, each taking (control block,
    // command block): a read puts; a two-way command puts by change of
    // value, compares and gets.
    using DataFn = intptr_t (*)(void *, PmgrCommand *);
    PmgrCommand &rd = mcb[0][0], &tw = mcb[0][1];
    ASSERT_NE(rd.put, 0u);
    EXPECT_EQ(rd.cmp, 0u);
    EXPECT_EQ(rd.get, 0u);
    ASSERT_NE(tw.put, 0u);
    ASSERT_NE(tw.cmp, 0u);
    ASSERT_NE(tw.get, 0u);
    const uint16_t kept = rd.in[0];
    rd.in[0] = 0x4242;
    reinterpret_cast<DataFn>(rd.put)(&dcb[0], &rd);
    EXPECT_EQ(Word(600), 0x4242);
    rd.in[0] = kept;
    reinterpret_cast<DataFn>(rd.put)(&dcb[0], &rd);
    EXPECT_EQ(Word(600), 0x3064);
    SetWord(703, 0x5151);
    EXPECT_EQ(reinterpret_cast<DataFn>(tw.cmp)(&dcb[0], &tw), 1);
    EXPECT_EQ(tw.out[3], 0x5151);
    SetWord(703, 0x30CB);
    reinterpret_cast<DataFn>(tw.get)(&dcb[0], &tw);
    EXPECT_EQ(tw.out[3], 0x30CB);
    // The program changes %R702: one run of one word goes to address 202 and stays.
    SetWord(702, 0x7777);
    Cycle(4);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_count"), 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_addr"), 202u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_value"), 0x7777u);
    Cycle(4);
    EXPECT_EQ(Word(702), 0x7777);
    EXPECT_EQ(Word(701), 0x30C9);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 1u);
    // Status area: words 2 and 3 are the driver's, word 1 bit 15 resets.
    EXPECT_EQ(Word(502), 0x1101);
    EXPECT_EQ(Word(503), 0x2222);
    SetWord(501, 0x8000);
    Cycle(2);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_resets"), 1u);
    EXPECT_EQ(Word(501), 0);
    // Word 1 is the driver's second status word, from the high half of its
    // slot 47, without bit 15.
    dcb[0].svc[PMGR_S_CYCLE] |= uintptr_t(0x9234) << 16;
    Cycle(2);
    EXPECT_EQ(Word(501), 0x1234);
    // Stop gives the port back; a new start writes the image again.
    PMGR_Stop();
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(dcb[0].state, 0);
    ASSERT_EQ(unlink(Drv0().c_str()), 0);
    PMGR_Start();
    EXPECT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(ReadFile(Drv0()), image_);
    // The driver's inter-frame wait: at code 5 (9600 baud) 3645 us, eight
    // character times of it (3645 / 35 * 8) / 10 = 83 ticks; a code past
    // the 13 of the table waits as code 5.
    for (uint16_t code : {uint16_t(5), uint16_t(13)}) {
        SCOPED_TRACE(code);
        PMGR_Stop();
        Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
        Put16(t, 48 + image_.size() + 2, code);
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        Cycle(3);
        test_support::FakeClock clock;
        PmgrCommand &c = mcb[0][0];
        c.state = 11;
        c.resume = 9;
        c.wait_start = FPGA_GetFrt();
        test_support::FakeClock::Advance(82);
        PMGR_Scan();
        EXPECT_EQ(c.state, 11);
        test_support::FakeClock::Advance(1);
        PMGR_Scan();
        EXPECT_EQ(c.state, 9);
    }
}

TEST_F(Pmgr, BitRunsSplitAt64) {
    // Two-way bit command over %M1..%M100, device bit address 10.
    constexpr uint32_t M1 = 14336, m_byte = (M1 - 1024) / 8;
    Install(Table(image_, {{2, M1, 1, 1, 0, 100, 10}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    Cycle(3);
    for (uint32_t i = 0; i < 12; i++) plc_reg[m_byte + i] = 0xFF;
    plc_reg[m_byte + 12] = 0x0F;  // %M97..%M100
    Cycle(8);
    auto *n = Sym<unsigned>(Drv0(), "drv_bit_writes");
    auto *runs = Sym<unsigned>(Drv0(), "drv_runs");
    ASSERT_EQ(*n, 2u);
    EXPECT_EQ(runs[0], 64u);  // count, address
    EXPECT_EQ(runs[1], 10u);
    EXPECT_EQ(runs[2], 36u);
    EXPECT_EQ(runs[3], 74u);
    auto *bits = Sym<uint8_t>(Drv0(), "drv_bits");
    for (uint32_t i = 0; i < 100; i++) EXPECT_EQ(bits[10 + i], 1) << i;
    EXPECT_EQ(bits[110], 0);
    EXPECT_EQ(plc_reg[m_byte + 12], 0x0F);
}

TEST_F(Pmgr, PortHandOverBit) {
    // Configuration flags 0x11: the hand-over bit %M50 gives the programming
    // port back to the command protocol and takes it again when it clears.
    constexpr uint32_t M50 = 14336 + 49;
    Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 100}});
    const std::size_t cfg = 48 + image_.size();
    Put16(t, cfg + 20, 0x11);
    Put32(t, cfg + 42, M50);
    Install(t);
    const VcommDrv saved = Vcomm_Drv[0];
    SCI2_Init(0);  // the serial driver's record, without a device
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(TalkOverride, 1);
    auto *inits = Sym<unsigned>(Drv0(), "drv_inits");
    EXPECT_EQ(*inits, 1u);
    Cycle(2);
    EXPECT_EQ(Word(600), 0x3064);
    SetWord(600, 0);
    const uint8_t on = 1, off = 0;
    PlcReg_Set(M50, &on, 1);
    Cycle(3);
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(dcb[0].state, 0);
    EXPECT_EQ(Word(600), 0);  // no exchange while the port is handed back
    ASSERT_NE(Vcomm_ModeRec(0), nullptr);
    EXPECT_EQ(Vcomm_ModeRec(0)[5] & 0x0F, 1);
    PlcReg_Set(M50, &off, 1);
    Cycle(3);
    EXPECT_EQ(TalkOverride, 1);
    EXPECT_EQ(*inits, 2u);
    EXPECT_EQ(Word(600), 0x3064);
    // Handed back, then stopped and started again with the bit still set:
    // the port stays with the command protocol and the driver waits; it
    // claims the port once the bit clears. (A real driver opens the port in
    // its own mode; this one does not, so the test does.)
    auto driver_opens = [] {
        VcommMode rtu = rism_mode;
        rtu[5] = VCOMM_PROTO_RTU;
        Vcomm_Drv[0].Open(0, rtu.data());
    };
    driver_opens();
    PlcReg_Set(M50, &on, 1);
    Cycle(1);
    ASSERT_EQ(TalkOverride, 0);
    PMGR_Stop();
    PMGR_Start();
    inits = Sym<unsigned>(Drv0(), "drv_inits");
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(*inits, 0u);
    EXPECT_EQ(dcb[0].state, 0);
    SetWord(600, 0);
    Cycle(3);
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(Word(600), 0);
    PlcReg_Set(M50, &off, 1);
    Cycle(3);
    EXPECT_EQ(TalkOverride, 1);
    EXPECT_EQ(*inits, 1u);
    EXPECT_EQ(Word(600), 0x3064);
    // Stopped before the driver opened the port in its own mode: the claim
    // still ends, or the next start could not take the port.
    PMGR_Stop();
    EXPECT_EQ(TalkOverride, 0);
    // A free-running driver handed back is still told to stop.
    Put16(t, cfg + 20, 0x8011);
    Install(t);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(TalkOverride, 1);
    driver_opens();
    Cycle(1);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_scans"), 1u);
    PlcReg_Set(M50, &on, 1);
    Cycle(1);
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(dcb[0].state, 0);
    PMGR_Stop();
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_stops"), 1u);
    // Started again while handed back, it takes the port when the bit
    // clears, and is then told to stop like one that took it at its start.
    PMGR_Start();
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_inits"), 0u);
    EXPECT_EQ(TalkOverride, 0);
    PlcReg_Set(M50, &off, 1);
    Cycle(1);
    EXPECT_EQ(TalkOverride, 1);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_inits"), 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_scans"), 1u);
    PMGR_Stop();
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_stops"), 1u);
    EXPECT_EQ(TalkOverride, 0);
    // A driver without a hand-over bit after one that handed the port back
    // takes the port at its start.
    Put16(t, cfg + 20, 0);
    Install(t);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(TalkOverride, 1);
    SetWord(600, 0);
    Cycle(2);
    EXPECT_EQ(Word(600), 0x3064);
    PMGR_Stop();
    // On an Ethernet port the set bit holds the driver's scan too.
    t[cfg + 1] = 3;
    Put16(t, cfg + 20, 0x11);
    PlcReg_Set(M50, &on, 1);
    Install(t);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(TalkOverride, 0);
    driver_opens();  // the programming port, in another user's mode, is not this driver's
    Cycle(3);
    EXPECT_EQ(dcb[0].state, PMGR_CYCLE_START);
    EXPECT_EQ(Vcomm_ModeRec(0)[5] & 0x0F, VCOMM_PROTO_RTU);
    PlcReg_Set(M50, &off, 1);
    Cycle(1);
    EXPECT_EQ(dcb[0].state, PMGR_RUNNING);
    PMGR_Stop();
    // Low byte 0x12 always names the bit; 0x10 only above table revision 5.
    struct Flags {
        uint16_t flags;
        uint32_t revision;
        uint16_t state;  // after three passes with the bit set
    };
    for (const Flags &f : {Flags{0x12, 5, PMGR_CYCLE_START}, Flags{0x10, 6, PMGR_CYCLE_START},
                           Flags{0x10, 5, PMGR_RUNNING}, Flags{0x13, 6, PMGR_RUNNING}}) {
        SCOPED_TRACE(f.flags * 100 + f.revision);
        Put16(t, cfg + 20, f.flags);
        Put32(t, 12, f.revision);
        PlcReg_Set(M50, &on, 1);
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        Cycle(3);
        EXPECT_EQ(dcb[0].state, f.state);
        PMGR_Stop();
    }
    PlcReg_Set(M50, &off, 1);
    Vcomm_Drv[0] = saved;
}

// A driver that its start left stopped (its port claim refused, an address
// that does not resolve) has no say over the programming port: its hand-over
// bit neither takes the port from whoever holds it nor starts the driver.
TEST_F(Pmgr, HandOverBitOfADriverThatDidNotStartDoesNothing) {
    constexpr uint32_t M50 = 14336 + 49;
    const uint8_t on = 1, off = 0;
    const VcommDrv saved = Vcomm_Drv[0];
    SCI2_Init(0);
    auto other_user_opens = [] {
        VcommMode rtu = rism_mode;
        rtu[5] = VCOMM_PROTO_RTU;
        Vcomm_Drv[0].Open(0, rtu.data());
    };
    Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 100}});
    const std::size_t cfg = 48 + image_.size();
    Put16(t, cfg + 20, 0x11);
    Put32(t, cfg + 42, M50);
    Bytes bad_trigger = t;
    Put32(bad_trigger, cfg + 32, 0xFFFFFF00u);  // a trigger bit that resolves to nothing
    // A command register that resolves to nothing: its block has no areas,
    // and a driver fed it would read into a null input area.
    Bytes bad_register = t;
    Put32(bad_register, Offsets(image_).scan + 4, 0xFFFFFF00u);
    struct Case {
        const char *what;
        const Bytes &table;
        uint8_t held;  // the user program holds the port
    };
    const Case cases[] = {{"port claim refused", t, 1},
                          {"trigger address unresolved", bad_trigger, 0},
                          {"command register unresolved", bad_register, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PlcReg_Set(M50, &off, 1);
        Install(c.table);
        TalkOverride = c.held;
        other_user_opens();
        PMGR_Start();
        auto *inits = Sym<unsigned>(Drv0(), "drv_inits");
        ASSERT_NE(inits, nullptr);
        EXPECT_EQ(PromgrDriversLoaded, 0);
        EXPECT_EQ(*inits, 0u);
        EXPECT_EQ(dcb[0].state, PMGR_IDLE);
        PlcReg_Set(M50, &on, 1);
        Cycle(3);
        EXPECT_EQ(TalkOverride, c.held) << "the port stays with its holder";
        EXPECT_EQ(Vcomm_ModeRec(0)[5] & 0x0F, VCOMM_PROTO_RTU) << "and in its mode";
        // The command protocol has the port now; the bit clears.
        Vcomm_Drv[0].Open(0, qncan_mode.data());
        PlcReg_Set(M50, &off, 1);
        SetWord(600, 0);
        Cycle(3);
        EXPECT_EQ(TalkOverride, c.held) << "no claim";
        EXPECT_EQ(*inits, 0u);
        EXPECT_EQ(dcb[0].state, PMGR_IDLE);
        EXPECT_EQ(Word(600), 0);
        PMGR_Stop();
        EXPECT_EQ(TalkOverride, c.held);
    }
    TalkOverride = 0;
    Vcomm_Drv[0] = saved;
}

// A command of data type 0 carries no data: its element count may be 0, and
// nothing moves between its register and the driver's areas.
TEST_F(Pmgr, CommandsWithoutDataLeaveTheirRegisters) {
    Install(Table(image_, {{1, R(600), 1, 3, 0, 2, 100},
                           {1, R(900), 1, 8, 0, 0, 0},
                           {1, R(910), 1, 8, 0, 3, 20},
                           {2, R(920), 1, 8, 0, 2, 30}}));
    for (uint32_t w = 910; w < 913; w++) SetWord(w, uint16_t(0xA000 + w));
    SetWord(920, 0xB920);
    SetWord(921, 0xB921);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1) << "a count of 0 does not stop the driver";
    EXPECT_EQ(dcb[0].state, PMGR_CYCLE_START);
    Cycle(4);
    EXPECT_EQ(Word(600), 0x3064);
    EXPECT_EQ(Word(601), 0x3065);
    for (uint32_t w = 910; w < 913; w++) EXPECT_EQ(Word(w), 0xA000 + w) << w;
    EXPECT_EQ(Word(920), 0xB920);
    EXPECT_EQ(Word(921), 0xB921);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 0u) << "nothing to compare, nothing written";
}

// With period 0 the status area's word 0 is the last cycle's time in
// milliseconds: a cycle of 7 ticks of 10 ms reads 70.
TEST_F(Pmgr, CycleTimeInMilliseconds) {
    Install(Table(image_, {{1, R(600), 1, 3, 0, 2, 100}}));
    sysDTic = 5000;
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    PMGR_Scan();  // the cycle starts at tick 5000
    PMGR_TheLoop(0);
    EXPECT_EQ(dcb[0].state, PMGR_FED);
    sysDTic = 5007;
    PMGR_Scan();
    EXPECT_EQ(Word(500), 70);
    PMGR_Stop();
    // Period 5 ticks: a cycle done early waits for the period; one that
    // took longer counts an overrun in word 0.
    Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 100}});
    Put32(t, Offsets(image_).cfg + 12, 5);
    Install(t);
    sysDTic = 6000;
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    auto *reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 1u);
    sysDTic = 6003;
    PMGR_Scan();
    EXPECT_EQ(dcb[0].state, PMGR_PERIOD_WAIT);
    PMGR_TheLoop(0);
    sysDTic = 6004;
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 1u);
    EXPECT_EQ(dcb[0].state, PMGR_PERIOD_WAIT);
    sysDTic = 6005;
    PMGR_Scan();
    EXPECT_EQ(dcb[0].cycle_start, 6005u);
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 2u);
    EXPECT_EQ(Word(500), 0);
    sysDTic = 6011;
    PMGR_Scan();
    EXPECT_EQ(Word(500), 1);
    EXPECT_EQ(dcb[0].state, PMGR_RUNNING);
    PMGR_TheLoop(0);
    sysDTic = 6016;
    PMGR_Scan();
    EXPECT_EQ(dcb[0].state, PMGR_PERIOD_WAIT);
    EXPECT_EQ(Word(500), 1);
}

// A driver that sets the wait flag at the third of three commands is fed
// that command again in the next pass, and only from it on.
TEST_F(Pmgr, FeedingResumesAtTheCommandThatAskedToWait) {
    Install(
        Table(image_, {{1, R(600), 1, 3, 0, 2, 100}, {1, R(610), 1, 3, 0, 2, 110}, {1, R(620), 0xED, 3, 0, 2, 120}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    auto *reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 3u);
    EXPECT_EQ(dcb[0].resume, 1u);
    EXPECT_EQ(dcb[0].state, PMGR_RUNNING);
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 4u) << "the third command alone";
    EXPECT_EQ(dcb[0].resume, 0u);
    EXPECT_EQ(dcb[0].state, PMGR_FED);
    PMGR_Scan();
    EXPECT_EQ(Word(620), 0x3078);
}

// A two-way command: the program changes %R702 while the read of the
// device's block is under way; the answer takes the words the program left
// alone, %R702 keeps the program's value, and the next cycle writes it.
TEST_F(Pmgr, AValueTheProgramChangesDuringAReadIsKeptAndWritten) {
    Install(Table(image_, {{2, R(700), 1, 3, 0, 4, 200}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    auto *mem = Sym<uint16_t>(Drv0(), "drv_mem");
    Cycle(2);
    PMGR_Scan();
    EXPECT_EQ(Word(701), 0x30C9);
    ASSERT_EQ(mcb[0][0].state, 0);  // the read is pending
    mem[201] = 0x1111;
    mem[202] = 0x2222;
    PMGR_TheLoop(0);
    ASSERT_EQ(mcb[0][0].state, 1);  // answered, not yet put
    SetWord(702, 0x7777);
    PMGR_Scan();
    EXPECT_EQ(Word(700), 0x30C8);
    EXPECT_EQ(Word(701), 0x1111);
    EXPECT_EQ(Word(702), 0x7777);
    EXPECT_EQ(Word(703), 0x30CB);
    PMGR_TheLoop(0);
    PMGR_Scan();
    EXPECT_EQ(mcb[0][0].state, 3);
    PMGR_TheLoop(0);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_addr"), 202u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_count"), 1u);
    EXPECT_EQ(mem[202], 0x7777);
    EXPECT_EQ(mem[201], 0x1111);
}

// A faulted device without trigger comes back once the retry delay (10
// ticks here) has passed since its fault, not a tick before.
TEST_F(Pmgr, AFaultedDeviceComesBackAfterTheRetryDelay) {
    Install(Table(image_, {{1, R(610), 0xEF, 3, 0, 2, 10}}));
    sysDTic = 2000;
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    for (int i = 0; i < 20 && scb[0][0].state != PMGR_DEV_FAULTED; i++) Cycle();
    ASSERT_EQ(scb[0][0].state, PMGR_DEV_FAULTED);
    EXPECT_EQ(scb[0][0].time, 2000u);
    EXPECT_EQ(Word(800), 99);
    sysDTic = 2009;
    PMGR_Scan();
    EXPECT_EQ(scb[0][0].state, PMGR_DEV_FAULTED);
    sysDTic = 2010;
    PMGR_Scan();
    EXPECT_EQ(scb[0][0].state, PMGR_DEV_OK);
    EXPECT_EQ(scb[0][0].latched, 1);
}

TEST_F(Pmgr, TriggeredCommands) {
    // Write on trigger %M60 from %R650 (2 words to address 300), read on
    // trigger %M61 into %R660 (2 words from address 310).
    constexpr uint32_t M60 = 14336 + 59, M61 = 14336 + 60;
    Bytes t = Table(image_, {{8, R(650), 1, 3, 0, 2, 300}, {4, R(660), 1, 3, 0, 2, 310}});
    const std::size_t scan = 48 + image_.size() + 48 + 28;
    Put32(t, scan + 8, M60);
    Put32(t, scan + 36 + 8, M61);
    Install(t);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    // A write on trigger gets, in the compare slot; a read on trigger puts.
    EXPECT_EQ(mcb[0][0].put, 0u);
    EXPECT_NE(mcb[0][0].cmp, 0u);
    EXPECT_EQ(mcb[0][0].get, 0u);
    EXPECT_NE(mcb[0][1].put, 0u);
    EXPECT_EQ(mcb[0][1].cmp, 0u);
    SetWord(650, 0xAAAA);
    SetWord(651, 0xBBBB);
    Cycle(4);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 0u);  // nothing without the trigger
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_reads"), 0u);
    const uint8_t on = 1;
    PlcReg_Set(M60, &on, 1);
    Cycle(4);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_addr"), 300u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_count"), 2u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_value"), 0xAAAAu);
    uint8_t bit = 1;
    PlcReg_Get(&bit, M60, 1);
    EXPECT_EQ(bit, 0);  // the trigger bit is cleared when done
    PlcReg_Set(M61, &on, 1);
    Cycle(4);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_reads"), 1u);
    EXPECT_EQ(Word(660), 0x3136);
    EXPECT_EQ(Word(661), 0x3137);
    PlcReg_Get(&bit, M61, 1);
    EXPECT_EQ(bit, 0);
}

TEST_F(Pmgr, RetriesIntoDeviceFault) {
    // Station 0xEF fails every read with 99; retry count 3: three passes, then the fault.
    Install(Table(image_, {{1, R(600), 1, 3, 0, 2, 100}, {1, R(610), 0xEF, 3, 0, 2, 10}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    auto *reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 2u);  // command 0 done, command 1 failed once and owns the device
    PMGR_TheLoop(0);
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 4u);
    EXPECT_EQ(mcb[0][1].state, 7);
    EXPECT_EQ(scb[0][0].state, 2);
    PMGR_Scan();
    EXPECT_EQ(Word(800), 99);
    EXPECT_EQ(Word(801), 1);  // index of the failing command, from 0
    // The device answers again and the user clears the error code: the
    // command index is cleared too and the device serves without a new fault.
    mcb[0][1].entry[14] = 1;
    SetWord(800, 0);
    Cycle(6);
    EXPECT_EQ(Word(800), 0);
    EXPECT_EQ(Word(801), 0);
    EXPECT_EQ(scb[0][0].state, 0);
    EXPECT_EQ(Word(610), 0x300A);
    PMGR_Stop();
    // A command with a trigger bit is asked again at once: all its retries
    // in one pass.
    constexpr uint32_t M61 = 14336 + 60;
    Bytes trig = Table(image_, {{4, R(620), 0xEF, 3, 0, 2, 10}});
    Put32(trig, Offsets(image_).scan + 8, M61);
    Install(trig);
    PMGR_Start();
    reads = Sym<unsigned>(Drv0(), "drv_reads");
    const uint8_t on = 1;
    PlcReg_Set(M61, &on, 1);
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 3u);
    EXPECT_EQ(mcb[0][0].state, 7);
    EXPECT_EQ(scb[0][0].state, 2);
    // Device error 1..50 with a status pair goes to the status word, no retry.
    PMGR_Stop();
    Install(Table(image_, {{1, R(600), 0xEE, 3, 0, 2, 100}}));
    PMGR_Start();
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(Word(800), 7);
    EXPECT_EQ(mcb[0][0].state, 0);
}

TEST_F(Pmgr, RefusedTablesStartNothing) {
    struct Case {
        const char *what;
        Bytes table;
        bool features;
    };
    const Bytes nomagic = ReadFile(PMGR_TEST_DRIVER_NOMAGIC);
    Bytes count3 = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    Put32(count3, 8, 3);
    Bytes short_size = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    Put32(short_size, 0, 47);
    Bytes cfg_out = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    Put32(cfg_out, 20, uint32_t(cfg_out.size()) - 10);
    Bytes ndev0 = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    Put32(ndev0, 28, 0);
    Bytes cmds513 = Table(image_, std::vector<Cmd>(513, Cmd{1, R(600), 1, 3, 0, 1, 100}));
    Cmd big{1, R(600), 1, 3, 0, 0, 100};
    Bytes area = Table(image_, {big});
    Put16(area, area.size() - 36 + 20, 9000);  // 2 x 9000 words: beyond the 32 KB half
    // Device flags low nibble 2 with a 31-byte entry: no room for the 4-byte
    // bit address (bytes 27-30 would read 0x3800, %M1).
    Bytes disable31 = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}, 1, 31);
    const std::size_t dev = 48 + image_.size() + 48;
    Put16(disable31, dev + 20, 0x0002);
    disable31[dev + 28] = 0x38;
    const std::vector<Case> cases = {
        {"count 3", count3, true},
        {"no magic", Table(nomagic, {{1, R(600), 1, 3, 0, 4, 100}}), true},
        {"feature bit clear", Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}), false},
        {"size word below 48", short_size, true},
        {"configuration past the table", cfg_out, true},
        {"device entry of 27 bytes", Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}, 1, 27), true},
        {"disable bit in a device entry of 31 bytes", disable31, true},
        {"command entry of 35 bytes", Table(image_, {{1, R(600), 1, 3, 0, 4, 100, 35}}), true},
        {"513 commands", cmds513, true},
        {"command past the table", Table(image_, {{1, R(600), 1, 3, 0, 4, 100, 4000}}), true},
        {"no devices", ndev0, true},
        {"device index 1 of 1", Table(image_, {{1, R(600), 1, 3, 1, 4, 100}}), true},
        {"register below the image", Table(image_, {{1, 5, 1, 3, 0, 4, 100}}), true},
        {"data areas beyond the half", area, true},
        {"length past the store", Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Install(c.table);
        if (c.what == std::string("length past the store"))
            MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(PROMGR_TABLE_BL_SIZE - MF_HDR + 1));
        if (!c.features) NV_EditorFeatures &= ~NVF_PROMGR;
        PMGR_Start();
        EXPECT_EQ(PromgrDriversLoaded, 0);
        EXPECT_EQ(dcb[0].state, 0);
        EXPECT_EQ(TalkOverride, 0);
        PMGR_Stop();
    }
    // The 48-byte header alone, by its length or by its size word: no driver
    // starts, but its driver record is read (version word 315 at byte 44).
    Bytes whole = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    Bytes head(whole.begin(), whole.begin() + 48);
    Put32(head, 0, 48);
    Install(head);
    PMGR_Start();
    EXPECT_EQ(PromgrDriversLoaded, 0);
    EXPECT_EQ(Pmgr_GroupVersion(0), 315);
    PMGR_Stop();
    promgr_table = nullptr;
    Put32(whole, 0, 48);
    Install(whole);
    PMGR_Start();
    EXPECT_EQ(PromgrDriversLoaded, 0);
    EXPECT_EQ(Pmgr_GroupVersion(0), 315);
    PMGR_Stop();
}

TEST_F(Pmgr, TablesAtTheirBoundsStart) {
    Cmd big{1, R(600), 1, 3, 0, 0, 100};
    Bytes half = Table(image_, {big});
    Put16(half, half.size() - 36 + 20, 8192);  // 2 x 8192 words: the 32 KB half exactly
    Bytes store = Table(image_, {{1, R(600), 1, 3, 0, 4, 100}});
    struct Case {
        const char *what;
        Bytes table;
    };
    const std::vector<Case> cases = {
        {"128 devices", Table(image_, {{1, R(600), 1, 3, 127, 4, 100}}, 1, 28, 3, 0, 1, 0, 128)},
        {"512 commands", Table(image_, std::vector<Cmd>(512, Cmd{1, R(600), 1, 3, 0, 1, 100}))},
        {"data areas filling the half", half},
        {"length word of the whole store", store},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Install(c.table);
        if (c.what == std::string("length word of the whole store"))
            MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(PROMGR_TABLE_BL_SIZE - MF_HDR));
        PMGR_Start();
        EXPECT_EQ(PromgrDriversLoaded, 1);
        EXPECT_EQ(dcb[0].state, PMGR_CYCLE_START);
        PMGR_Stop();
    }
}

TEST_F(Pmgr, DisabledDeviceEndsRetriesAndHoldsItsCommands) {
    // Device flags low nibble 2: the disable bit %M70 in the entry's last 4
    // bytes; retry count 5.
    constexpr uint32_t M70 = 14336 + 69;
    const uint8_t on = 1, off = 0;
    auto table = [&](uint8_t station, uint32_t revision) {
        Bytes t = Table(image_, {{1, R(600), station, 3, 0, 2, 10}}, 1, 32, 5);
        const Layout l = Offsets(image_, 32);
        Put16(t, l.dev + 20, 0x0002);
        Put32(t, l.dev + 28, M70);
        Put32(t, 12, revision);
        return t;
    };
    // Station 0xEF fails with 99: one failed pass leaves four retries; the
    // bit set while the command retries ends them at the next failure.
    Install(table(0xEF, 6));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    auto *reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 1u);
    EXPECT_EQ(mcb[0][0].state, 0);
    EXPECT_EQ(scb[0][0].state, 0);
    PlcReg_Set(M70, &on, 1);
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 2u);
    EXPECT_EQ(mcb[0][0].state, 7);
    EXPECT_EQ(scb[0][0].state, 2);
    EXPECT_EQ(scb[0][0].err, 99);
    PMGR_Stop();
    PlcReg_Set(M70, &off, 1);
    // Clear, the same failure keeps retrying.
    Install(table(0xEF, 6));
    PMGR_Start();
    reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 2u);
    EXPECT_EQ(mcb[0][0].state, 0);
    EXPECT_EQ(scb[0][0].state, 0);
    PMGR_Stop();
    // A disabled device's finished read is not put into the registers until
    // the bit clears.
    Install(table(1, 6));
    PlcReg_Set(M70, &on, 1);
    PMGR_Start();
    Cycle(3);
    EXPECT_EQ(Word(600), 0);
    PlcReg_Set(M70, &off, 1);
    Cycle(2);
    EXPECT_EQ(Word(600), 0x300A);
    PMGR_Stop();
    // Table revision 5: the retry still reads the bit (the first failure
    // ends it), but the scan puts a disabled device's data.
    SetWord(600, 0);
    Install(table(0xEF, 5));
    PlcReg_Set(M70, &on, 1);
    PMGR_Start();
    reads = Sym<unsigned>(Drv0(), "drv_reads");
    PMGR_Scan();
    PMGR_TheLoop(0);
    EXPECT_EQ(*reads, 1u);
    EXPECT_EQ(mcb[0][0].state, 7);
    PMGR_Stop();
    Install(table(1, 5));
    PMGR_Start();
    Cycle(3);
    EXPECT_EQ(Word(600), 0x300A);
    PMGR_Stop();
    PlcReg_Set(M70, &off, 1);
}

// IEC variables as the driver's trigger, a command's trigger and a device's
// disable bit: a BOOL element is one byte whose value is bit 0, whatever the
// element index in the handle's low bits.
namespace {
uint8_t iec_bools[64];
uint8_t *IecBools(uint32_t handle, uint32_t) { return &iec_bools[handle & 0x3F]; }
}  // namespace

TEST_F(Pmgr, TriggersAndDisableBitOnIecVariables) {
    constexpr uint32_t kTrig = 0xC0000003, kCmdTrig = 0xC000000B, kDisable = 0xC0000015;
    auto *saved = PlcReg_IecLocate;
    PlcReg_IecLocate = IecBools;
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    std::fill(std::begin(iec_bools), std::end(iec_bools), 0);
    // The driver's trigger on element 3: a read of two words from 100.
    {
        Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 100}});
        const Layout l = Offsets(image_);
        Put32(t, l.cfg + 32, kTrig);
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        EXPECT_EQ(dcb[0].trig_mask, 1);
        Cycle(3);
        EXPECT_EQ(Word(600), 0);
        iec_bools[2] = iec_bools[4] = 1;
        iec_bools[3] = 1;
        Cycle(3);
        EXPECT_EQ(Word(600), 0x3064);
        EXPECT_EQ(iec_bools[3], 0);  // cleared when the cycle is done
        EXPECT_EQ(iec_bools[2], 1);
        EXPECT_EQ(iec_bools[4], 1);
        PMGR_Stop();
    }
    // A write on the trigger of element 11: the element's value 1 fires it,
    // and the cleared trigger leaves the element's other bits alone.
    {
        Bytes t = Table(image_, {{8, R(650), 1, 3, 0, 1, 300}});
        Put32(t, Offsets(image_).scan + 8, kCmdTrig);
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        EXPECT_EQ(mcb[0][0].trig_mask, 1);
        SetWord(650, 0x5A5A);
        Cycle(3);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 0u);
        iec_bools[11] = 0x09;
        Cycle(3);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_writes"), 1u);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_value"), 0x5A5Au);
        EXPECT_EQ(iec_bools[11], 0x08);
        PMGR_Stop();
    }
    // A device disable bit on element 21 holds its command back.
    {
        Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 10}}, 1, 32);
        const Layout l = Offsets(image_, 32);
        Put16(t, l.dev + 20, 0x0002);
        Put32(t, l.dev + 28, kDisable);
        Install(t);
        SetWord(600, 0);
        iec_bools[21] = 1;
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        EXPECT_EQ(scb[0][0].disable_mask, 1);
        Cycle(3);
        EXPECT_EQ(Word(600), 0);
        iec_bools[21] = 0;
        Cycle(2);
        EXPECT_EQ(Word(600), 0x300A);
        PMGR_Stop();
    }
    // Bit data at IEC BOOL elements, one byte per bit: a read of 5 bits into
    // elements 41..45, a write on trigger of elements 49..53; a handle of
    // kind 2 holds 32-bit values without asking the driver.
    {
        constexpr uint32_t M60 = 14336 + 59;
        Bytes t = Table(
            image_,
            {{1, 0xC0000029, 1, 1, 0, 5, 200}, {8, 0xC0000031, 1, 1, 0, 5, 300}, {1, 0xC8000010, 1, 3, 0, 1, 20}});
        Put32(t, Offsets(image_).scan + 36 + 8, M60);
        Install(t);
        std::fill(std::begin(iec_bools), std::end(iec_bools), 0x77);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        EXPECT_EQ(mcb[0][0].type, 1);
        EXPECT_EQ(mcb[0][0].bit_offset, 0);
        EXPECT_EQ(mcb[0][2].type, 3);
        auto *bits = Sym<uint8_t>(Drv0(), "drv_bits");
        const uint8_t pattern[5] = {1, 0, 1, 1, 0};
        for (uint32_t i = 0; i < 5; i++) bits[200 + i] = pattern[i];
        Cycle(3);
        for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(iec_bools[41 + i], pattern[i]) << i;
        EXPECT_EQ(iec_bools[40], 0x77);
        EXPECT_EQ(iec_bools[46], 0x77);
        const uint8_t out[5] = {1, 1, 0, 0, 2};
        std::copy(std::begin(out), std::end(out), &iec_bools[49]);
        const uint8_t on = 1;
        PlcReg_Set(M60, &on, 1);
        Cycle(3);
        const uint8_t sent[6] = {1, 1, 0, 0, 1, 0};
        for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(bits[300 + i], sent[i]) << i;
        EXPECT_EQ(iec_bools[53], 2);  // the program's value stays as it was
        PMGR_Stop();
    }
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    PlcReg_IecLocate = saved;
}

TEST_F(Pmgr, FreeRunningAndTriggerValueDrivers) {
    constexpr uint32_t M70 = 14336 + 69, M80 = 14336 + 79;
    const uint8_t on = 1, off = 0;
    // Free-running (configuration flag bit 15): the driver's scan entry once
    // per scan instead of the scan lists; the device list and scan list in
    // service entries 3 and 4; its device's disable bit %M70 (device flags
    // low nibble 2, the entry's last 4 bytes) holds the scan back.
    {
        Bytes t = Table(image_, {{1, R(600), 1, 3, 0, 2, 100}}, 1, 32);
        const Layout l = Offsets(image_, 32);
        Put16(t, l.cfg + 20, 0x8000);
        Put16(t, l.dev + 20, 0x0002);
        Put32(t, l.dev + 28, M70);
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        auto *seen = Sym<uintptr_t>(Drv0(), "drv_seen");
        EXPECT_EQ(seen[3], reinterpret_cast<uintptr_t>(promgr_table + l.dev));
        EXPECT_EQ(seen[4], reinterpret_cast<uintptr_t>(promgr_table + l.scan));
        // Its command blocks are built for it to read, with their count;
        // the manager runs none of them.
        EXPECT_EQ(dcb[0].svc[PMGR_S_NCMD], 1u);
        EXPECT_EQ(dcb[0].svc[PMGR_S_COMMANDS], reinterpret_cast<uintptr_t>(&mcb[0][0]));
        EXPECT_EQ(mcb[0][0].reg, PlcReg_Ptr(R(600), 16));
        EXPECT_EQ(mcb[0][0].entry, promgr_table + l.scan);
        auto *scans = Sym<unsigned>(Drv0(), "drv_scans");
        // The second status word in the high half of slot 47 is the driver's
        // own: the manager's passes leave it as the driver wrote it.
        dcb[0].svc[PMGR_S_CYCLE] |= uintptr_t(0x1234) << 16;
        Cycle(3);
        EXPECT_EQ(*scans, 3u);
        EXPECT_EQ(dcb[0].svc[PMGR_S_CYCLE] >> 16, 0x1234u);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_reads"), 0u);  // no scan list
        EXPECT_EQ(Word(600), 0);
        PlcReg_Set(M70, &on, 1);
        Cycle(2);
        EXPECT_EQ(*scans, 3u);
        PlcReg_Set(M70, &off, 1);
        Cycle(1);
        EXPECT_EQ(*scans, 4u);
        PMGR_Stop();
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_stops"), 1u);
        // Table revision 5: the disable bit is not read.
        Put32(t, 12, 5);
        Install(t);
        PlcReg_Set(M70, &on, 1);
        PMGR_Start();
        scans = Sym<unsigned>(Drv0(), "drv_scans");
        Cycle(2);
        EXPECT_EQ(*scans, 2u);
        PMGR_Stop();
        PlcReg_Set(M70, &off, 1);
        // On an Ethernet port entry 3 holds the device entry of its first
        // command, here the first device: the start of the device list.
        t[l.cfg + 1] = 3;
        Install(t);
        for (PmgrCommand &c : mcb[0]) c = PmgrCommand{};
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        seen = Sym<uintptr_t>(Drv0(), "drv_seen");
        EXPECT_EQ(seen[3], reinterpret_cast<uintptr_t>(promgr_table + l.dev));
        PMGR_Stop();
        // Its first command on the second device: entry 3 holds that
        // device's entry (28 bytes behind the first), as for any Ethernet
        // driver with commands.
        Bytes e = Table(image_, {{1, R(600), 1, 3, 1, 2, 100}}, 1, 28, 3, 3, 1, 0, 2);
        const Layout le = Offsets(image_, 28);
        Put16(e, le.cfg + 20, 0x8000);
        Install(e);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        seen = Sym<uintptr_t>(Drv0(), "drv_seen");
        EXPECT_EQ(seen[3], reinterpret_cast<uintptr_t>(promgr_table + le.dev + 28));
        EXPECT_EQ(seen[4], reinterpret_cast<uintptr_t>(promgr_table + le.dev + 56));
        PMGR_Stop();
    }
    // Trigger-value exchange (flag bit 8): trigger bit %M80, value word
    // %R90; only the station named by the value is asked.
    {
        Bytes t = Table(image_, {{1, R(600), 5, 3, 0, 2, 100}, {1, R(610), 6, 3, 0, 2, 110}}, 1, 32);
        const Layout l = Offsets(image_, 32);
        Put16(t, l.cfg + 20, 0x100);
        Put32(t, l.cfg + 32, M80);
        Put32(t, l.cfg + 36, R(90));
        Install(t);
        PMGR_Start();
        ASSERT_EQ(PromgrDriversLoaded, 1);
        Cycle(3);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_reads"), 0u);  // waits for its trigger
        SetWord(90, 6);
        PlcReg_Set(M80, &on, 1);
        Cycle(3);
        EXPECT_EQ(Word(600), 0);
        EXPECT_EQ(Word(610), 0x306E);
        EXPECT_EQ(Word(611), 0x306F);
        auto *rs = Sym<uintptr_t>(Drv0(), "drv_read_seen");
        EXPECT_EQ(rs[50], 6u | 0x80u << 16);  // saved value, mask of %M80
        EXPECT_EQ(rs[51], reinterpret_cast<uintptr_t>(PlcReg_Ptr(M80, 1)));
        EXPECT_EQ(rs[52], reinterpret_cast<uintptr_t>(PlcReg_Ptr(R(90), 16)));
        uint8_t bit = 1;
        PlcReg_Get(&bit, M80, 1);
        EXPECT_EQ(bit, 0);
        // Value 255: control request 10 with the value; the driver's answer 1
        // writes the value it left back into the word.
        SetWord(90, 255);
        PlcReg_Set(M80, &on, 1);
        Cycle(3);
        EXPECT_EQ(*Sym<int>(Drv0(), "drv_last_control"), 10);
        EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_control_value"), 255u);
        EXPECT_EQ(Word(90), 0x42);
        EXPECT_EQ(Word(600), 0);
        PMGR_Stop();
        // The first device's option bit 0: every command's station is the
        // low byte of its station register %R95.
        t[l.dev + 29] = 1;
        Put32(t, l.dev + 4, R(95));
        Install(t);
        SetWord(95, 0x0105);
        SetWord(610, 0);
        PMGR_Start();
        SetWord(90, 5);
        PlcReg_Set(M80, &on, 1);
        Cycle(3);
        EXPECT_EQ(Word(600), 0x3064);
        EXPECT_EQ(Word(610), 0x306E);
        // The station from the register reaches the driver, but the stored
        // table keeps the byte downloaded: it stays whole under its CRC, so
        // a program saved now is still accepted at the next power-up.
        PMGR_Stop();
        MF_SetHeader(promgr_table_bl.data(), crc16(t.data(), t.size()), uint32_t(t.size()));
        PMGR_Start();
        SetWord(95, 0x0107);
        SetWord(90, 7);
        SetWord(600, 0);
        PlcReg_Set(M80, &on, 1);
        Cycle(3);
        EXPECT_EQ(Word(600), 0x3064);
        EXPECT_EQ(promgr_table[l.scan + 14], 5);
        EXPECT_EQ(crc16(promgr_table_bl.data() + MF_HDR, t.size()), MF_Crc(promgr_table_bl.data()));
    }
}

TEST_F(Pmgr, ChangedRunsOfEveryKind) {
    // Two-way commands: two strings of 86 bytes (byte 21 = 7 beside a count
    // in byte 17) at %R1000 from device string 400; 1793 words by the long
    // count (bytes 20-21 = 01 07, byte 17 = 0: no string) at %R2000 from
    // address 0; 200 32-bit values (function code 4) at %R4000 from 500.
    // And 32-bit pairs counted in words (flag bit 8), an odd count of 7: 3
    // values at %R5000 from 600, while the driver is told 7 words.
    Bytes t = Table(image_, {{2, R(1000), 1, 3, 0, 2, 400},
                             {2, R(2000), 1, 3, 0, 0, 0},
                             {2, R(4000), 1, 4, 0, 200, 500},
                             {0x102, R(5000), 1, 3, 0, 7, 600}});
    const Layout l = Offsets(image_);
    t[l.scan + 21] = 7;
    Put16(t, l.scan + 36 + 20, 0x0701);
    Install(t);
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    Cycle(3);
    EXPECT_EQ(Word(1000), 0x5000);
    EXPECT_EQ(Word(1042), 0x502A);
    EXPECT_EQ(Word(1043), 0x5100);
    EXPECT_EQ(Word(1085), 0x512A);
    EXPECT_EQ(Word(1086), 0);
    EXPECT_EQ(Word(2000), 0x3000);
    EXPECT_EQ(Word(3792), 0x3300);  // word 1792 of a 1024-word memory
    EXPECT_EQ(Word(3793), 0);
    EXPECT_EQ(Word(4000), 0x31F4);
    EXPECT_EQ(Word(4399), 0x3383);
    EXPECT_EQ(Word(5000), 0x3258);  // the seventh word has room of its own
    EXPECT_EQ(Word(5005), 0x325D);
    EXPECT_EQ(Word(5006), 0);
    auto *writes = Sym<unsigned>(Drv0(), "drv_writes");
    auto *str = Sym<uint16_t>(Drv0(), "drv_str");
    auto *mem = Sym<uint16_t>(Drv0(), "drv_mem");
    // One word of the second string: the whole string goes, count 1, string 401.
    SetWord(1048, 0x7777);
    Cycle(4);
    EXPECT_EQ(*writes, 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_count"), 1u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_addr"), 401u);
    EXPECT_EQ(str[43 + 5], 0x7777);
    EXPECT_EQ(str[43 + 0], 0x5100);
    EXPECT_EQ(str[43 + 42], 0x512A);
    EXPECT_EQ(str[5], 0x5005);
    // Both strings changed: one run each.
    SetWord(1000, 0x0101);
    SetWord(1043, 0x0202);
    Cycle(8);
    EXPECT_EQ(*writes, 3u);
    EXPECT_EQ(str[0], 0x0101);
    EXPECT_EQ(str[43], 0x0202);
    EXPECT_EQ(Word(1048), 0x7777);
    // Element 1700 of the long command: address 1700.
    SetWord(3700, 0x8888);
    Cycle(4);
    EXPECT_EQ(*writes, 4u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_addr"), 1700u);
    EXPECT_EQ(*Sym<unsigned>(Drv0(), "drv_last_count"), 1u);
    EXPECT_EQ(mem[1700 % 1024], 0x8888);
    // All 200 32-bit values: runs of 127 (254 words from 500) and 73 (146
    // words from 627).
    for (uint32_t i = 0; i < 400; i++) SetWord(4000 + i, uint16_t(0xD000 + i));
    Cycle(12);
    auto *n = Sym<unsigned>(Drv0(), "drv_dw_writes");
    auto *runs = Sym<unsigned>(Drv0(), "drv_dw_runs");
    ASSERT_EQ(*n, 2u);
    EXPECT_EQ(runs[0], 254u);
    EXPECT_EQ(runs[1], 500u);
    EXPECT_EQ(runs[2], 146u);
    EXPECT_EQ(runs[3], 627u);
    // Code 3: the run's offset is added once, its count doubled: words 0-253
    // went to 500, words 254-399 to 627.
    for (uint32_t i = 0; i < 127; i++) ASSERT_EQ(mem[500 + i], 0xD000 + i) << i;
    for (uint32_t i = 0; i < 146; i++) ASSERT_EQ(mem[627 + i], 0xD000 + 254 + i) << i;
    PMGR_Stop();
    // Two 32-bit values: a run of both ends at the last one, and the next
    // look starts from the first: its change is written at once, no read
    // before it.
    Install(Table(image_, {{2, R(4000), 1, 4, 0, 2, 500}}));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    Cycle(3);
    n = Sym<unsigned>(Drv0(), "drv_dw_writes");
    runs = Sym<unsigned>(Drv0(), "drv_dw_runs");
    const unsigned *reads = Sym<unsigned>(Drv0(), "drv_reads");
    for (uint32_t i = 0; i < 4; i++) SetWord(4000 + i, uint16_t(0xE000 + i));
    for (int i = 0; i < 12 && *n < 1; i++) Cycle();
    ASSERT_EQ(*n, 1u);
    EXPECT_EQ(runs[0], 4u);
    EXPECT_EQ(runs[1], 500u);
    const unsigned before = *reads;
    SetWord(4000, 0xE100);
    for (int i = 0; i < 12 && *n < 2; i++) Cycle();
    ASSERT_EQ(*n, 2u);
    EXPECT_EQ(runs[2], 2u);
    EXPECT_EQ(runs[3], 500u);
    EXPECT_EQ(*reads, before);
}

// The one-driver table with a second driver behind it: a second copy of the
// image and of the configuration (port byte port1), sharing devices and
// commands.
Bytes TwoDrivers(const Bytes &one, const Bytes &image, uint8_t port1) {
    Bytes t(one.begin(), one.begin() + 48);
    t.resize(80);
    for (std::size_t i = 48; i < one.size(); i++) t.push_back(one[i]);
    for (std::size_t at : {16u, 20u, 24u, 32u}) Put32(t, at, LE_Get32(&t[at]) + 32);
    const uint32_t cfg0 = LE_Get32(&t[20]), img1 = uint32_t(t.size());
    Append(t, image);
    const uint32_t cfg1 = uint32_t(t.size());
    for (uint32_t i = 0; i < 48; i++) t.push_back(t[cfg0 + i]);
    t[cfg1 + 1] = port1;
    for (std::size_t i = 0; i < 32; i++) t[48 + i] = t[16 + i];
    Put32(t, 48, img1);
    Put32(t, 52, cfg1);
    Put32(t, 0, uint32_t(t.size()));
    Put32(t, 8, 2);
    return t;
}

// Each Ethernet driver reaches a device table of its own through slot 48
// of its control block: per device {address, port, option byte, 0xA5,
// alternate address}, then an entry of zeros.
TEST_F(Pmgr, EachEthernetDriverReachesItsOwnDeviceTable) {
    Bytes t = TwoDrivers(Table(image_, {{1, R(600), 1, 3, 0, 2, 100}}, 1, 28, 3, 3, 0x7F000001, 7001), image_, 3);
    // The second driver's own device list: 10.0.0.9, port 7002.
    const uint32_t dev1 = uint32_t(t.size());
    Bytes d(28);
    Put32(d, 0, R(810));
    Put32(d, 4, 0x0A000009);
    Put16(d, 22, 3);
    Put16(d, 24, 7002);
    Put16(d, 26, 28);
    Append(t, d);
    Put32(t, 48 + 8, dev1);
    Put32(t, 0, uint32_t(t.size()));
    Install(t);
    PMGR_Start();
    ASSERT_EQ(dcb[0].state, PMGR_CYCLE_START);
    ASSERT_EQ(dcb[1].state, PMGR_CYCLE_START);
    const auto *t0 = reinterpret_cast<const uint8_t *>(dcb[0].svc[PMGR_S_DEVTABLE]);
    const auto *t1 = reinterpret_cast<const uint8_t *>(dcb[1].svc[PMGR_S_DEVTABLE]);
    ASSERT_NE(t0, nullptr);
    ASSERT_NE(t1, nullptr);
    Bytes want0 = {0x01, 0, 0, 0x7F, 0x59, 0x1B, 0, 0, 0, 0, 0xA5, 0, 0, 0, 0, 0};
    want0.resize(32, 0);
    Bytes want1 = {0x09, 0, 0, 0x0A, 0x5A, 0x1B, 0, 0, 0, 0, 0xA5, 0, 0, 0, 0, 0};
    want1.resize(32, 0);
    EXPECT_EQ(Bytes(t0, t0 + 32), want0);
    EXPECT_EQ(Bytes(t1, t1 + 32), want1);
    PMGR_Stop();
}

TEST_F(Pmgr, EthernetPortNumbersAndDriverInfo) {
    // Port bytes other than 1 and 3 are renumbered against a mask that
    // starts at 0x20: a shared bit gives (value mod 16) + 1 and starts the
    // mask again, else the mask moves to the next bit for the next driver.
    const std::vector<Cmd> cmds = {{1, R(600), 1, 3, 0, 2, 100}};
    struct Case {
        uint8_t port0, port1;
        uint32_t drivers;
        uint16_t want0, want1;
    };
    const std::vector<Case> cases = {
        {1, 0, 1, 1, 0},       {3, 0, 1, 3, 0},          {0x25, 0, 1, 6, 0},          {0x31, 0, 1, 2, 0},
        {0x20, 0, 1, 1, 0},    {0x10, 0, 1, 0x10, 0},    {0x40, 0, 1, 0x40, 0},       {0x40, 0x40, 2, 0x40, 1},
        {0x25, 0x25, 2, 6, 6}, {0x10, 0x60, 2, 0x10, 1}, {0x10, 0x20, 2, 0x10, 0x20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "ports " << int(c.port0) << " " << int(c.port1));
        Bytes t = Table(image_, cmds, 1, 28, 3, c.port0, 0x7F000001, 7001);
        if (c.drivers == 2) t = TwoDrivers(t, image_, c.port1);
        Install(t);
        PMGR_Start();
        EXPECT_EQ(dcb[0].state, 1);
        EXPECT_EQ(dcb[0].port, c.want0);
        if (c.drivers == 2) {
            EXPECT_EQ(dcb[1].state, 1);
            EXPECT_EQ(dcb[1].port, c.want1);
        }
        PMGR_Stop();
    }
    // Stop closes the 32 virtual ports of each driver's group: 256 x its
    // port byte from 32 on, below it the group of the driver before (the
    // first's: ports 0 to 31), even when that one did not start. Here the
    // first driver's trigger bit does not resolve; the second, on port 5
    // (the first interface's third port), has opened it.
    {
        Bytes t = TwoDrivers(Table(image_, cmds, 1, 28, 3, 5, 0x7F000001, 7001), image_, 5);
        Put32(t, LE_Get32(&t[20]) + 32, 5);
        Install(t);
        PMGR_Start();
        EXPECT_EQ(dcb[0].state, PMGR_IDLE);
        ASSERT_EQ(dcb[1].state, PMGR_CYCLE_START);
        const std::array<uint16_t, 12> rec{};
        ASSERT_EQ(EtnVComm_Open(5, reinterpret_cast<intptr_t>(rec.data())), 1);
        ASSERT_EQ(VCommConnEth[0].ports[2].flags & VCE_OPEN, VCE_OPEN);
        PMGR_Stop();
        EXPECT_EQ(VCommConnEth[0].ports[2].flags & VCE_OPEN, 0);
    }
    // Driver information: the slot of the configured port byte (1) gets the
    // name and "Version %2d.%02d.%04d", the others "(None Loaded)"; the
    // buffer bounds the slots.
    Install(Table(image_, cmds, 1, 28, 3, 1, 0x7F000001, 7001));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    std::array<char, 200> buf;
    auto check = [&](uint32_t slots) {
        for (uint32_t i = 0; i < slots; i++) {
            SCOPED_TRACE(i);
            const char *s = buf.data() + 50 * i;
            EXPECT_EQ(std::string(s), i == 1 ? "TESTDRV" : "(None Loaded)");
            EXPECT_EQ(std::string(s + 25), i == 1 ? "Version  3.15.0042" : " ");
        }
        for (uint32_t i = 50 * slots; i < buf.size(); i++) ASSERT_EQ(buf[i], '#') << i;
    };
    buf.fill('#');
    PMGR_GetDrvInfo(std::span<char>(buf.data(), 160), 3);
    check(3);
    buf.fill('#');
    PMGR_GetDrvInfo(std::span<char>(buf.data(), 120), 5);
    check(2);
    // After a stop the header is unknown: the image is written and opened again.
    PMGR_Stop();
    ASSERT_EQ(unlink(Drv0().c_str()), 0);
    buf.fill('#');
    PMGR_GetDrvInfo(std::span<char>(buf.data(), 100), 2);
    check(2);
    EXPECT_EQ(ReadFile(Drv0()), image_);
    // A port byte not below the count names no slot.
    buf.fill('#');
    PMGR_GetDrvInfo(std::span<char>(buf.data(), 50), 1);
    EXPECT_EQ(std::string(buf.data()), "(None Loaded)");
    PMGR_Stop();
    // The first image is no library, the second driver (port byte 0) runs:
    // asking for the information while it runs leaves its library open and
    // its header as it was (loading the first image again would close it).
    {
        const Bytes junk(4096, 0x5A);
        Install(TwoDrivers(Table(junk, {{1, R(600), 1, 3, 0, 2, 100}}), image_, 0));
        PMGR_Start();
        ASSERT_EQ(dcb[1].state, PMGR_CYCLE_START);
        void *const lib = LibHandle[1];
        uintptr_t *const hdr = pExecHdr_info[1];
        ASSERT_NE(lib, nullptr);
        buf.fill('#');
        PMGR_GetDrvInfo(std::span<char>(buf.data(), 100), 2);
        EXPECT_EQ(std::string(buf.data()), "TESTDRV");
        EXPECT_EQ(std::string(buf.data() + 25), "Version  3.15.0042");
        EXPECT_EQ(std::string(buf.data() + 50), "(None Loaded)");
        EXPECT_EQ(LibHandle[1], lib);
        EXPECT_EQ(pExecHdr_info[1], hdr);
        for (int i = 0; i < 3; i++) {
            PMGR_Scan();
            PMGR_TheLoop(1);
        }
        EXPECT_EQ(Word(600), 0x3064);
    }
}

TEST(PmgrTimers, CreateWriteReadClose) {
    // Steps on the driver timers: operation, timer, milliseconds, controller
    // mode, ticks passed before the step, answer, and then the slot's
    // remaining ticks and in-use flag.
    enum Op { CREATE, WRITE, READ, CLOSE };
    struct Step {
        Op op;
        intptr_t t, ms;
        uint16_t mode;
        uint32_t ticks;
        intptr_t answer;
        uint16_t remaining, used;
    };
    const std::vector<Step> steps = {
        {CREATE, 0, 0, 2, 0, 0, 0, 1},   {CREATE, 1, 0, 2, 0, 1, 0, 1},
        {CREATE, 2, 0, 2, 0, 2, 0, 1},   {WRITE, 2, 95, 2, 0, 0, 10, 1},  // (95 + 9) / 10 ticks
        {READ, 2, 0, 2, 3, 7, 7, 1},     {READ, 2, 0, 2, 4, 3, 3, 1},
        {READ, 2, 0, 2, 9, 0, 0, 1},     {WRITE, 2, 1000, 2, 0, 0, 100, 1},
        {READ, 2, 0, 2, 0, 100, 100, 1}, {WRITE, 9, 50, 2, 0, 0, 0, 0},
        {READ, 9, 0, 2, 0, 0, 0, 0},    // above 7: ignored
        {READ, 2, 0, 1, 1, 0, 0, 0},    // outside mode 2: cleared and free
        {CREATE, 2, 0, 2, 0, 2, 0, 1},  // the first free slot again
        {CLOSE, 1, 0, 2, 0, 0, 0, 0},    {CREATE, 1, 0, 2, 0, 1, 0, 1},
        {CREATE, 3, 0, 2, 0, 3, 0, 1},   {CREATE, 4, 0, 2, 0, 4, 0, 1},
        {CREATE, 5, 0, 2, 0, 5, 0, 1},   {CREATE, 6, 0, 2, 0, 6, 0, 1},
        {CREATE, 7, 0, 2, 0, 7, 0, 1},   {WRITE, 0, 30, 2, 0, 0, 3, 1},
        {CREATE, 0, 0, 2, 0, 0, 0, 1},  // all 8 in use: slot 0 again, cleared
        {CLOSE, 8, 0, 2, 0, 0, 0, 0},
    };
    for (PmgrTimer &x : tcb) x = PmgrTimer{};
    for (std::size_t i = 0; i < steps.size(); i++) {
        const Step &s = steps[i];
        SCOPED_TRACE(i);
        PlcWordSet(W_MODE, s.mode);
        sysDTic += s.ticks;
        intptr_t r = 0;
        switch (s.op) {
        case CREATE: r = CreateTimer(); break;
        case WRITE: r = WriteTimer(s.t, s.ms); break;
        case READ: r = ReadTimer(s.t); break;
        case CLOSE: r = CloseTimer(s.t); break;
        }
        EXPECT_EQ(r, s.answer);
        if (s.t < intptr_t(PMGR_TIMERS)) {
            EXPECT_EQ(tcb[size_t(s.t)].remaining, s.remaining);
            EXPECT_EQ(tcb[size_t(s.t)].used, s.used);
        }
    }
}

// A device at the far end of a virtual serial port: answers "R", address,
// count with count words 0x4000 + address + i.
struct NetDevice {
    int fd = -1, conn = -1;
    int closed = 0;
    explicit NetDevice(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(0x7F000001);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        listen(fd, 2);
    }
    ~NetDevice() {
        if (conn >= 0) close(conn);
        close(fd);
    }
    void Serve() {
        pollfd p{fd, POLLIN, 0};
        if (conn < 0 && poll(&p, 1, 0) == 1) conn = accept(fd, nullptr, nullptr);
        if (conn < 0) return;
        pollfd q{conn, POLLIN, 0};
        if (poll(&q, 1, 0) != 1) return;
        uint8_t b[4];
        const ssize_t n = recv(conn, b, 4, MSG_WAITALL);
        if (n <= 0) {
            closed++;
            close(conn);
            conn = -1;
            return;
        }
        ASSERT_EQ(n, 4);
        ASSERT_EQ(b[0], 'R');
        uint8_t out[512];
        for (unsigned i = 0; i < b[3]; i++) LE_Put16(out + 2 * i, uint16_t(0x4000 + LE_Get16(b + 1) + i));
        ASSERT_EQ(send(conn, out, 2u * b[3], 0), ssize_t(2 * b[3]));
    }
};

TEST_F(Pmgr, ReadsThroughAVirtualPort) {
    plat_net = &plat_net_own;
    static std::array<uint8_t, 64 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    NX_IP ip{};
    NX_PACKET_POOL pool{};
    test_support::EthIp(ip, pool, mem, "pmgr pool");
    ip.nx_ip_link_up = 1;
    ASSERT_EQ(EtnVComm_Init(&ip, &pool), 0u);
    const uint16_t port = test_support::TestPort(19300);
    NetDevice dev(port);
    Install(Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}, 1, 28, 3, 3, 0x7F000001, port));
    PMGR_Start();
    ASSERT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(TalkOverride, 0);  // an Ethernet driver leaves the programming port alone
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Word(603) != 0x4067 && std::chrono::steady_clock::now() < end) {
        EnetThread();
        dev.Serve();
        Cycle();
    }
    EXPECT_EQ(Word(600), 0x4064);
    EXPECT_EQ(Word(603), 0x4067);
    EXPECT_EQ(EtnVComm_Conn_Cnt(0), 1u);
    // Stop: the driver's port group is closed and the housekeeping drops it.
    PMGR_Stop();
    if (Dpr_Map_Ptr != nullptr) LE_Put16(Dpr_Map_Ptr + DPR_RUN, 0);  // the controller is stopped
    const auto end2 = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (dev.closed == 0 && std::chrono::steady_clock::now() < end2) {
        EtnVComm_Scan(0);
        EnetThread();
        dev.Serve();
    }
    EXPECT_EQ(dev.closed, 1);
    EtnVComm_DeInit(&ip);
    plat_net = nullptr;
}

}  // namespace
