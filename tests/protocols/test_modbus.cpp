// The Modbus server in-process: the address map through its window edges,
// the IEC map, and the TCP service driven by real loopback connections
// (answers on the next pass, stream framing, idle close, stop and the run
// flag, the connection idle longest displaced when every one is taken);
// ASCII over TCP's storing of received bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "iec/services/drevano.h"
#include "net/dpr.h"
#include "net/net.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/ascii.h"
#include "protocols/modbus.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_peer.h"
#include "tests/support/test_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
uint16_t kPort = 18700;

uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }

Bytes Mbap(uint16_t tid, uint8_t unit, const Bytes &pdu) {
    Bytes f(7);
    BE_Put16(&f[0], tid);
    BE_Put16(&f[4], uint16_t(pdu.size() + 1));
    f[6] = unit;
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}
Bytes Pdu(uint8_t fc, uint16_t a, uint16_t q) { return {fc, uint8_t(a >> 8), uint8_t(a), uint8_t(q >> 8), uint8_t(q)}; }

struct Peer : test_support::LoopPeer {
    Peer() : LoopPeer(kPort) {}
};

// Waits (5 s at most) until the server's end of peer's connection holds n
// bytes not yet read: what the test sent has arrived.
void Arrived(const Peer &p, int n) {
    sockaddr_in me {};
    socklen_t len = sizeof me;
    ASSERT_EQ(getsockname(p.fd, reinterpret_cast<sockaddr *>(&me), &len), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        for (const auto &slot : ModbusConnEth[0].slots) {
            int avail = 0;
            if (slot.socket.accepted_fd >= 0 && slot.socket.peer_port == ntohs(me.sin_port) &&
                ioctl(slot.socket.accepted_fd, FIONREAD, &avail) == 0 && avail >= n)
                return;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), end) << n << " bytes never arrived";
        usleep(1000);
    }
}

void Pass(int n = 1) {
    for (int i = 0; i < n; i++) {
        Modbus_Scan(0);
        EnetThread();
        usleep(1000);
    }
}

class ModbusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        kPort = test_support::TestPort(18700);
        plat_net = &plat_net_own;
        plc_reg.fill(0);
        DrevanoRuntime = 0;
        Dpr_Init();
        DprConfigRec &c = Dpr_Configuration[0];
        std::memset(&c, 0, DPR_CONFIG_BYTES);
        c.enables[0] = EN0_MODBUS;
        c.modbus = {0, 1, 0, kPort};
        LE_Put16(&DprMap[DPR_RUN], 1);
        static std::array<uint8_t, 64 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
        ip_ = {};
        ip_.nx_ip_name = "eth0";
        ip_.nx_ip_default_packet_pool = &pool_;
        ASSERT_EQ(Modbus_Init(&ip_, &pool_), 0u);
    }
    void TearDown() override {
        Modbus_Stop(0);
        for (auto &slot : ModbusConnEth[0].slots) _nx_tcp_socket_delete(&slot.socket);
        _nx_udp_socket_delete(&ModbusConnEth[0].udp);
        ModbusConnEth[0].ip = nullptr;
        plat_net = nullptr;
    }
    NX_PACKET_POOL pool_{};
    NX_IP ip_{};
};

}  // namespace

TEST(ModbusMap, WindowEdgesOfEveryFunctionCode) {
    T_token = 12288;
    M_token = 14336;
    struct Case {
        uint32_t fc, a, q, want;
    };
    const Case cases[] = {
        {1, 0, 1, 10240},        {1, 2047, 1, 12287},      {1, 2048, 1, 0},        {1, 3000, 1, 14336},
        {1, 5999, 1, 14336 + 2999}, {1, 6000, 1, 12288},   {1, 8047, 1, 14335},    {1, 8048, 1, 0},
        {1, 9000, 1, 1280},      {1, 9255, 1, 1535},       {1, 9256, 1, 0},        {1, 10000, 1, 0},
        {2, 0, 1, 8192},         {2, 2047, 1, 10239},      {2, 2048, 1, 0},        {2, 3000, 1, 1024},
        {2, 3255, 1, 1279},      {2, 3256, 1, 0},          {2, 3999, 1, 0},        {2, 4000, 1, 1536},
        {2, 4256, 1, 0},         {2, 5000, 1, 1792},       {2, 5255, 1, 2047},     {2, 5256, 1, 0},
        {3, 0, 1, 24576},        {3, 511, 1, 24576 + 16 * 511}, {3, 512, 1, R(1)}, {3, 2990, 10, R(2479)},
        {3, 2995, 10, 0},        {3, 3000, 1, R(1)},       {3, 5999, 1, R(3000)},  {3, 6000, 1, 2560},
        {3, 6031, 1, 3056},      {3, 6032, 1, 0},          {3, 10000, 1, R(1)},    {3, 20239, 1, R(10240)},
        {3, 20240, 1, 0},        {6, 3004, 1, R(5)},       {16, 2999, 2, 0},       {4, 0, 1, 16384},
        {4, 511, 1, 24560},      {4, 512, 1, 0},           {4, 3000, 1, 2048},     {4, 3031, 1, 2544},
        {4, 3032, 1, 0},         {4, 4000, 1, 3072},       {4, 4191, 1, 6128},     {4, 4192, 1, 0},
        {4, 5000, 1, 0},         {7, 0, 1, 0},             {0, 0, 1, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(ModbusMapToken(c.fc, c.a, c.q), c.want) << c.fc << " " << c.a;

    // IEC tables: word tables mark their base as an IEC handle; other types are outside.
    DprModbusIec &m = Dpr_Configuration[0].modbus_iec;
    m = {};
    m.words[0] = 1u << 26;  // holding: type 1
    m.words[1] = 3u << 26;  // input: type 3, not a word table
    m.words[2] = 0x00001000;
    EXPECT_EQ(Z7_ModbusMap(3, 0, 5), 0xC4000005u);
    EXPECT_EQ(m.words[0], 0xC4000000u);
    EXPECT_EQ(Z7_ModbusMap(4, 0, 5), 0u);
    EXPECT_EQ(Z7_ModbusMap(1, 0, 7), 0x1007u);
}

TEST_F(ModbusServerTest, ReadsAnsweredNextPassFramingIdleCloseAndStop) {
    test_support::FakeClock clock;
    Peer a;
    ASSERT_TRUE(a.connected);
    Pass(2);
    ASSERT_EQ(Modbus_Conn_Cnt(0), 1u);
    PlcReg_Set(R(5), "\x11\x22", 16);
    // Two requests in one write: one per pass, each read answered on the
    // pass after it came, from the registers as they are then.
    Bytes two = Mbap(1, 9, Pdu(3, 3004, 1));
    const Bytes second = Mbap(2, 9, Pdu(3, 3004, 1));
    two.insert(two.end(), second.begin(), second.end());
    a.Send(two);
    Arrived(a, int(two.size()));
    Pass();
    ASSERT_TRUE(a.Take(20).empty());
    PlcReg_Set(R(5), "\x33\x44", 16);
    Pass();
    EXPECT_EQ(a.Take(), Mbap(1, 9, {3, 2, 0x44, 0x33}));
    // A register-bridge read still pending holds the answer back.
    DprRdReqs1[0] = 1;
    Pass(3);
    EXPECT_TRUE(a.Take(20).empty());
    DprRdReqs1[0] = DprRdReqs1[1];
    Pass();
    EXPECT_EQ(a.Take(), Mbap(2, 9, {3, 2, 0x44, 0x33}));

    // A request split in two is answered once whole; a short write (no
    // data byte count) gets nothing; a write whose data is missing
    // changes nothing.
    const Bytes req = Mbap(3, 1, Pdu(6, 3004, 0xBEEF));
    a.Send(Bytes(req.begin(), req.begin() + 7));
    Pass(3);
    EXPECT_TRUE(a.Take(20).empty());
    a.Send(Bytes(req.begin() + 7, req.end()));
    Arrived(a, int(req.size()) - 7);
    Pass(2);
    EXPECT_EQ(a.Take(), req);
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0xBEEF);
    a.Send(Mbap(4, 1, {6, 0x0B}));
    Arrived(a, 9);
    Pass(2);
    EXPECT_TRUE(a.Take(20).empty());
    Bytes fc16 = Mbap(5, 1, Pdu(16, 3004, 3));
    fc16.insert(fc16.end(), {6, 0x12, 0x34});
    BE_Put16(&fc16[4], uint16_t(fc16.size() - 6));
    a.Send(fc16);
    Arrived(a, int(fc16.size()));
    Pass(2);
    EXPECT_EQ(a.Take(), Mbap(5, 1, {0x90, 2}));
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0xBEEF);

    // Silent for 60 s: open at 59.9 s, closed after.
    Peer b;
    Pass(2);
    EXPECT_EQ(Modbus_Conn_Cnt(0), 2u);
    test_support::FakeClock::AdvanceMs(59900);
    b.Send(Mbap(6, 1, Pdu(7, 0, 0)));
    Arrived(b, 12);
    Pass(2);
    EXPECT_EQ(b.Take(), Mbap(6, 1, {7, 0}));
    test_support::FakeClock::AdvanceMs(200);
    Pass(2);
    EXPECT_EQ(Modbus_Conn_Cnt(0), 1u);
    a.Take(20);
    EXPECT_TRUE(a.closed);

    // A length no buffer holds closes the connection; a read pending there
    // does not outlive it.
    b.Send(Mbap(7, 1, Pdu(3, 3004, 1)));
    Arrived(b, 12);
    Pass();
    Bytes huge = {0, 8, 0, 0, 0xFF, 0xFF, 1, 3};
    b.Send(huge);
    Arrived(b, 8);
    Pass(3);
    b.Take(20);
    EXPECT_TRUE(b.closed);
    for (const auto &slot : ModbusConnEth[0].slots) EXPECT_EQ(slot.read_pending, 0);

    // The run flag falls: the service stops and the port closes; it comes back.
    Peer c;
    Pass(2);
    LE_Put16(&DprMap[DPR_RUN], 0);
    Pass();
    EXPECT_EQ(Modbus_Conn_Cnt(0), 0u);
    c.Take(20);
    EXPECT_TRUE(c.closed);
    Peer refused;
    EXPECT_FALSE(refused.connected);
    LE_Put16(&DprMap[DPR_RUN], 1);
    Pass();
    Peer d;
    EXPECT_TRUE(d.connected);

    // The port it keeps from the IEC slave blocks: the TCP port in force
    // while the service is on; none in UDP mode or with the service off.
    DprConfigRec &cfg = Dpr_Configuration[0];
    EXPECT_TRUE(Modbus_KeepsPort(kPort));
    EXPECT_FALSE(Modbus_KeepsPort(502));
    cfg.modbus.udp_mode = 1;
    EXPECT_FALSE(Modbus_KeepsPort(kPort));
    cfg.modbus.udp_mode = 0;
    cfg.enables[0] = 0;
    EXPECT_FALSE(Modbus_KeepsPort(kPort));
    cfg.enables[0] = EN0_MODBUS;
}

// A read that came during the loop's wait is taken right after it and
// answered right after the next scan, from the image that scan left; the
// pass's own scan step sends it no second time. With the service off the
// answer waits.
TEST_F(ModbusServerTest, ReadTakenAfterWaitIsAnsweredAfterTheScan) {
    Peer a;
    ASSERT_TRUE(a.connected);
    Pass(2);
    ASSERT_EQ(Modbus_Conn_Cnt(0), 1u);
    PlcReg_Set(R(5), "\x11\x22", 16);
    a.Send(Mbap(0x0102, 9, Pdu(3, 3004, 1)));
    Arrived(a, 12);
    PLAT_PollHarvest(false);  // the readiness set reports the input, as the loop's wait does
    Modbus_AfterWait(0);
    EXPECT_TRUE(a.Take(20).empty());
    PlcReg_Set(R(5), "\x33\x44", 16);  // what the scan writes
    Modbus_AfterScan(0);
    EXPECT_EQ(a.Take(), Bytes({0x01, 0x02, 0, 0, 0, 5, 9, 3, 2, 0x44, 0x33}));
    Pass();
    EXPECT_TRUE(a.Take(20).empty());

    a.Send(Mbap(0x0103, 9, Pdu(3, 3004, 1)));
    Arrived(a, 12);
    PLAT_PollHarvest(false);
    Modbus_AfterWait(0);
    Dpr_Configuration[0].enables[0] = 0;
    Modbus_AfterScan(0);
    EXPECT_TRUE(a.Take(20).empty());
    Dpr_Configuration[0].enables[0] = EN0_MODBUS;
    Modbus_AfterScan(0);
    EXPECT_EQ(a.Take(), Bytes({0x01, 0x03, 0, 0, 0, 5, 9, 3, 2, 0x44, 0x33}));
}

// With every connection taken, a new one displaces the connection idle
// longest: by its last whole request, or its acceptance without one.
TEST_F(ModbusServerTest, ANewConnectionDisplacesTheOneIdleLongest) {
    test_support::FakeClock clock;
    std::vector<std::unique_ptr<Peer>> held;
    for (unsigned i = 0; i < MODBUS_SLOTS; i++) {
        held.push_back(std::make_unique<Peer>());
        held.back()->Send({0});  // a byte, never a whole request
        Pass(2);
        ASSERT_EQ(Modbus_Conn_Cnt(0), i + 1);
        test_support::FakeClock::AdvanceMs(1000);
    }
    // The first one's request leaves the second idle longest.
    Peer &first = *held[0];
    first.Send({0, 0, 0, 0, 2, 1, 7});  // the rest of a request after its first byte
    Arrived(first, 7);
    Pass(2);
    EXPECT_EQ(first.Take(), Bytes({0x00, 0x00, 0, 0, 0, 3, 1, 7, 0}));
    Peer late;
    Pass(4);
    late.Send(Mbap(0x0A0B, 3, {7}));
    Arrived(late, 8);
    Pass(2);
    EXPECT_EQ(late.Take(), Bytes({0x0A, 0x0B, 0, 0, 0, 3, 3, 7, 0}));
    std::vector<bool> closed;
    for (auto &p : held) {
        p->Take(5);
        closed.push_back(p->closed);
    }
    std::vector<bool> want(MODBUS_SLOTS, false);
    want[1] = true;
    EXPECT_EQ(closed, want);
    EXPECT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
}

TEST(AsciiStoring, EndCharacterPairsContinuationAndRefusedBlocks) {
    plc_reg.fill(0);
    const uint32_t block = R(100);
    Dpr_Set_W_Data(block + 16, 'C');
    Dpr_Set_W_Data(block + 32 + 16, 0x7777);
    // The end character as the second byte of a pair: the first byte alone.
    const uint8_t text[] = {'A', 'B', 'X', 'C', 'D'};
    EXPECT_EQ(AsciiStore(block, text, 5, 0), 3u);
    EXPECT_EQ(Dpr_Get_W_Data(block + 32), 0x4241);
    EXPECT_EQ(Dpr_Get_W_Data(block + 48), 0x7758);
    // 48 stores everything; a continuation lands 1,380 bytes on.
    Dpr_Set_W_Data(block + 16, 48);
    EXPECT_EQ(AsciiStore(block, text, 5, 1380), 5u);
    EXPECT_EQ(Dpr_Get_W_Data(block + 32 + 8 * 1380), 0x4241);
    // A block running past the end of %R stores nothing.
    const uint32_t last = R(50000) - 16;
    std::array<uint8_t, 40> many{};
    many.fill('z');
    EXPECT_EQ(AsciiStore(last, many.data(), many.size(), 0), 0u);
    EXPECT_EQ(AsciiStore(0, many.data(), many.size(), 0), 0u);
    EXPECT_EQ(AsciiStore(block + 3, many.data(), many.size(), 0), 0u);  // not a word register
}

TEST(AsciiSending, APartlyTakenSegmentGoesOnFromItsFirstByteNotSent) {
    kPort = test_support::TestPort(18720);
    plat_net = &plat_net_own;
    plc_reg.fill(0);
    Dpr_Init();
    DprConfigRec &cfg = Dpr_Configuration[0];
    std::memset(&cfg, 0, DPR_CONFIG_BYTES);
    cfg.enables[1] = EN1_ASCII;
    const uint32_t send_block = R(100), control = R(2000), recv_block = R(3000), status = R(4000);
    cfg.ascii[1] = kPort;
    cfg.ascii[2] = send_block;
    cfg.ascii[3] = control;
    cfg.ascii[4] = recv_block;
    cfg.ascii[5] = status;
    LE_Put16(&DprMap[DPR_RUN], 1);
    static std::array<uint8_t, 64 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    NX_PACKET_POOL pool{};
    _nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
    NX_IP ip{};
    ip.nx_ip_name = "eth0";
    ip.nx_ip_default_packet_pool = &pool;
    ASSERT_EQ(Ascii_Init(&ip, &pool), 0u);
    auto pass = [] {
        PLAT_PollHarvest(false);  // the readiness the loop's wait would file (room to send again)
        Ascii_Scan(0);
        EnetThread();
        usleep(200);
    };
    pass();
    // The peer asks for small segments, as a real link has them: a send then
    // spans several, and a full connection takes the first ones only.
    struct Dialled {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ~Dialled() { close(fd); }
    } p;
    const int small = 1, some = 16384, seg = 536;
    setsockopt(p.fd, SOL_SOCKET, SO_RCVBUF, &some, sizeof some);
    setsockopt(p.fd, IPPROTO_TCP, TCP_MAXSEG, &seg, sizeof seg);
    ASSERT_EQ(test_support::LoopbackConnect(p.fd, kPort), 0);
    for (int i = 0; i < 20 && Ascii_cnn_cnt(0) == 0; i++) pass();
    ASSERT_EQ(Ascii_cnn_cnt(0), 1u);
    setsockopt(AsciiTCPConnEth[0].socket.accepted_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // A paced connection builds segments of two MSS at most, as on a slow
    // link: a 1,380-byte send spans two, and a full one takes the first only.
    const unsigned rate = 400000;
    setsockopt(AsciiTCPConnEth[0].socket.accepted_fd, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof rate);
    // Texts of 2,000 bytes, each numbered, to a peer that reads only when the
    // sending is stuck: the connection fills, segments are taken in part,
    // and what arrives is every text once, in order.
    std::string want, got;
    auto read_some = [&] {
        char b[65536];
        ssize_t n;
        while ((n = recv(p.fd, b, sizeof b, MSG_DONTWAIT)) > 0) got.append(b, size_t(n));
    };
    int stuck = 0;
    for (int t = 0; t < 60; t++) {
        std::string text(2000, char('a' + t % 26));
        for (size_t k = 0; k < text.size(); k += 50) text[k] = char('0' + k / 50 % 10);
        Dpr_Set_W_Data(send_block, uint16_t(text.size()));
        for (size_t k = 0; k < text.size(); k += 2)
            Dpr_Set_W_Data(send_block + 32 + 8 * uint32_t(k), uint16_t(uint8_t(text[k]) | uint8_t(text[k + 1]) << 8));
        Dpr_Set_W_Data(control, 1);
        want += text;
        for (int i = 0; i < 5000 && Dpr_Get_W_Data(control) != 0; i++) {
            pass();
            if (i % 20 == 19) {
                read_some();
                stuck++;
            }
        }
        ASSERT_EQ(Dpr_Get_W_Data(control), 0) << "text " << t << " never went out";
    }
    for (int i = 0; i < 1000 && got.size() < want.size(); i++) {
        struct pollfd w {p.fd, POLLIN, 0};
        poll(&w, 1, 100);
        read_some();
    }
    EXPECT_GT(stuck, 0) << "the connection never filled";
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "first difference at " << std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    AsciiDisconnect(&AsciiTCPConnEth[0].socket);
    _nx_tcp_server_socket_unlisten(&ip, kPort);
    _nx_tcp_socket_delete(&AsciiTCPConnEth[0].socket);
    AsciiTCPConnEth[0].ip = nullptr;
    plat_net = nullptr;
}
