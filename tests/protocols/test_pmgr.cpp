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
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "messaging/talk.h"
#include "io/vcomm.h"
#include "net/dpr.h"
#include "net/etnvcomm.h"
#include "platform/plat_net.h"
#include "protocols/pmgr.h"
#include "tests/support/eth_ip.h"
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
            uint16_t retries = 3, uint8_t port = 0, uint32_t dev_addr = 1, uint16_t dev_port = 0) {
    Bytes t(48);
    const uint32_t img = 48, cfg = img + uint32_t(image.size()), dev = cfg + 48,
                   scan = dev + (dev_len < 28 ? 28 : dev_len);
    Append(t, image);
    Bytes c(48);
    c[1] = port;              // 0: the programming port
    Put16(c, 2, 5);           // 9600 baud
    Put32(c, 8, R(500));      // status area
    Put32(c, 12, 0);          // period: as fast as possible
    Put32(c, 28, 10);         // retry delay 100 ms
    Append(t, c);
    Bytes d(dev_len < 28 ? 28 : dev_len);
    Put32(d, 0, R(800));      // status pair
    Put32(d, 4, dev_addr);
    Put16(d, 24, dev_port);
    Put16(d, 22, retries);
    Put16(d, 26, dev_len);
    Append(t, d);
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
    Put32(t, 28, 1);
    Put32(t, 32, scan);
    Put32(t, 36, uint32_t(cmds.size()));
    Put16(t, 44, 315);
    return t;
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
    EXPECT_EQ(Word(600), 0x3064);
    EXPECT_EQ(Word(603), 0x3067);
    EXPECT_EQ(Word(700), 0x30C8);
    EXPECT_EQ(Word(703), 0x30CB);
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
    // Stop gives the port back; a new start writes the image again.
    PMGR_Stop();
    EXPECT_EQ(TalkOverride, 0);
    EXPECT_EQ(dcb[0].state, 0);
    ASSERT_EQ(unlink(Drv0().c_str()), 0);
    PMGR_Start();
    EXPECT_EQ(PromgrDriversLoaded, 1);
    EXPECT_EQ(ReadFile(Drv0()), image_);
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
    PMGR_Stop();
    Vcomm_Drv[0] = saved;
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
    const std::vector<Case> cases = {
        {"count 3", count3, true},
        {"no magic", Table(nomagic, {{1, R(600), 1, 3, 0, 4, 100}}), true},
        {"feature bit clear", Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}), false},
        {"size word below 48", short_size, true},
        {"configuration past the table", cfg_out, true},
        {"device entry of 27 bytes", Table(image_, {{1, R(600), 1, 3, 0, 4, 100}}, 1, 27), true},
        {"command entry of 35 bytes", Table(image_, {{1, R(600), 1, 3, 0, 4, 100, 35}}), true},
        {"513 commands", cmds513, true},
        {"command past the table", Table(image_, {{1, R(600), 1, 3, 0, 4, 100, 4000}}), true},
        {"no devices", ndev0, true},
        {"device index 1 of 1", Table(image_, {{1, R(600), 1, 3, 1, 4, 100}}), true},
        {"register below the image", Table(image_, {{1, 5, 1, 3, 0, 4, 100}}), true},
        {"data areas beyond the half", area, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Install(c.table);
        if (!c.features) NV_EditorFeatures &= ~NVF_PROMGR;
        PMGR_Start();
        EXPECT_EQ(PromgrDriversLoaded, 0);
        EXPECT_EQ(dcb[0].state, 0);
        EXPECT_EQ(TalkOverride, 0);
        PMGR_Stop();
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
