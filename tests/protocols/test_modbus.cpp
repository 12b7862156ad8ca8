// The Modbus server in-process: the address map through its window edges,
// the IEC map, and the TCP service driven by real loopback connections
// (answers on the next pass, stream framing, idle close, stop and the run
// flag, the idlest connection of the host holding the most displaced when
// every one is taken); one
// table of requests through the three servers of the Modbus core, each in
// its own framing; ASCII over TCP's storing of received bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/image/util.h"
#include "iec/services/drevano.h"
#include "iec/services/z7mb_internal.h"
#include "iec/vm/z7vm.h"
#include "io/vcomm.h"
#include "net/dpr.h"
#include "net/net.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/ascii.h"
#include "protocols/mbserial.h"
#include "protocols/modbus.h"
#include "tests/support/fake_clock.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_mbcfg.h"
#include "tests/support/loop_peer.h"
#include "tests/support/stand_in_port.h"
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
Bytes Hex(const std::string &h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 3) b.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
    return b;
}

struct Peer : test_support::LoopPeer {
    explicit Peer(uint32_t from = 0) : LoopPeer(kPort, from) {}
};

// Waits (5 s at most) until the server's end of peer's connection holds n
// bytes not yet read: what the test sent has arrived.
void Arrived(const Peer &p, int n) {
    sockaddr_in me{};
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
        {1, 0, 1, 10240},
        {1, 2047, 1, 12287},
        {1, 2048, 1, 0},
        {1, 3000, 1, 14336},
        {1, 5999, 1, 14336 + 2999},
        {1, 6000, 1, 12288},
        {1, 8047, 1, 14335},
        {1, 8048, 1, 0},
        {1, 9000, 1, 1280},
        {1, 9255, 1, 1535},
        {1, 9256, 1, 0},
        {1, 10000, 1, 0},
        {2, 0, 1, 8192},
        {2, 2047, 1, 10239},
        {2, 2048, 1, 0},
        {2, 3000, 1, 1024},
        {2, 3255, 1, 1279},
        {2, 3256, 1, 0},
        {2, 3999, 1, 0},
        {2, 4000, 1, 1536},
        {2, 4256, 1, 0},
        {2, 5000, 1, 1792},
        {2, 5255, 1, 2047},
        {2, 5256, 1, 0},
        {3, 0, 1, 24576},
        {3, 511, 1, 24576 + 16 * 511},
        {3, 512, 1, R(1)},
        {3, 2990, 10, R(2479)},
        {3, 2995, 10, 0},
        {3, 3000, 1, R(1)},
        {3, 5999, 1, R(3000)},
        {3, 6000, 1, 2560},
        {3, 6031, 1, 3056},
        {3, 6032, 1, 0},
        {3, 10000, 1, R(1)},
        {3, 20239, 1, R(10240)},
        {3, 20240, 1, 0},
        {6, 3004, 1, R(5)},
        {16, 2999, 2, 0},
        {4, 0, 1, 16384},
        {4, 511, 1, 24560},
        {4, 512, 1, 0},
        {4, 3000, 1, 2048},
        {4, 3031, 1, 2544},
        {4, 3032, 1, 0},
        {4, 4000, 1, 3072},
        {4, 4191, 1, 6128},
        {4, 4192, 1, 0},
        {4, 5000, 1, 0},
        {7, 0, 1, 0},
        {0, 0, 1, 0},
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

// In UDP mode the socket exists while the controller runs: each datagram's
// answer goes to its own sender, a read on the pass after it came; the
// socket closes when the run flag falls and comes back when it rises.
TEST_F(ModbusServerTest, UdpModeAnswersEachSenderAndFollowsTheRunFlag) {
    // A reconfiguration to UDP: the new settings are in force when the stop
    // comes, and the TCP port listened on until then is closed.
    Dpr_Configuration[0].modbus.udp_mode = 1;
    Modbus_Stop(0);
    {
        Peer p;
        EXPECT_FALSE(p.connected) << "the TCP port closes";
    }
    Pass();
    ASSERT_EQ(ModbusConnEth[0].listening, 1);
    EXPECT_EQ(Modbus_Conn_Cnt(0), 1u);
    auto client = [] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me);
        return fd;
    };
    auto send = [](int fd, const Bytes &b) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    auto take = [](int fd) {
        Bytes b(300);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) != 1) return Bytes{};
        const ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    };
    // Waits (5 s at most) until the server's socket has a datagram to read.
    auto arrived = [] {
        pollfd p{ModbusConnEth[0].udp.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "the datagram never arrived";
    };
    const int a = client(), b = client();
    PlcReg_Set(R(5), "\x11\x22", 16);
    const Bytes read = Mbap(1, 9, Pdu(3, 3004, 1));
    ASSERT_EQ(send(a, read), ssize_t(read.size()));
    arrived();
    Pass();
    PlcReg_Set(R(5), "\x33\x44", 16);
    Pass();
    EXPECT_EQ(take(a), Mbap(1, 9, {3, 2, 0x44, 0x33}));
    const Bytes write = Mbap(2, 4, Pdu(6, 3004, 0xBEEF));
    ASSERT_EQ(send(b, write), ssize_t(write.size()));
    arrived();
    Pass();
    EXPECT_EQ(take(b), write);
    EXPECT_TRUE(take(a).empty());
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0xBEEF);
    ASSERT_EQ(send(a, Mbap(3, 1, {8, 0, 0, 0, 0})), 12);
    arrived();
    Pass();
    EXPECT_EQ(take(a), Mbap(3, 1, {0x88, 1}));
    // The enable bit is the TCP server's: the datagram socket serves with
    // it clear.
    Dpr_Configuration[0].enables[0] = 0;
    ASSERT_EQ(send(a, Mbap(10, 3, Pdu(7, 0, 0))), 12);
    arrived();
    Pass();
    EXPECT_EQ(take(a), Mbap(10, 3, {7, 0}));
    Dpr_Configuration[0].enables[0] = EN0_MODBUS;
    // The write-inhibit bit (%M1 here) at 1: every write gets exception 1
    // and changes nothing; reads are still served.
    Dpr_Configuration[0].modbus.map_word = M_token;
    PlcReg_Set(M_token, "\x01", 1);
    Bytes fc16 = Mbap(6, 1, Pdu(16, 3004, 1));
    fc16.insert(fc16.end(), {2, 0x12, 0x34});
    BE_Put16(&fc16[4], uint16_t(fc16.size() - 6));
    for (const Bytes &w : {Mbap(7, 1, Pdu(6, 3004, 0x1234)), Mbap(8, 1, Pdu(5, 0, 0xFF00)), fc16}) {
        ASSERT_EQ(send(b, w), ssize_t(w.size()));
        arrived();
        Pass();
        EXPECT_EQ(take(b), Mbap(BE_Get16(&w[0]), 1, {uint8_t(w[7] | 0x80), 1}));
    }
    ASSERT_EQ(send(b, read), ssize_t(read.size()));
    arrived();
    Pass(2);
    EXPECT_EQ(take(b), Mbap(1, 9, {3, 2, 0xBE, 0xEF}));
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0xBEEF);
    EXPECT_EQ(plc_reg[10240 / 8] & 1, 0);
    Dpr_Configuration[0].modbus.map_word = 0;

    LE_Put16(&DprMap[DPR_RUN], 0);
    Pass();
    EXPECT_EQ(ModbusConnEth[0].listening, 0);
    ASSERT_EQ(send(a, Mbap(4, 1, Pdu(7, 0, 0))), 12);
    Pass(2);
    EXPECT_TRUE(take(a).empty());
    LE_Put16(&DprMap[DPR_RUN], 1);
    Pass();
    ASSERT_EQ(send(a, Mbap(5, 1, Pdu(7, 0, 0))), 12);
    arrived();
    Pass();
    EXPECT_EQ(take(a), Mbap(5, 1, {7, 0}));
    // A read whose answer the network refuses for good (no route back to its
    // sender) is given up like a lost datagram: the datagrams of other
    // senders are still served.
    static uint16_t unreachable;
    sockaddr_in at{};
    socklen_t at_len = sizeof at;
    ASSERT_EQ(getsockname(a, reinterpret_cast<sockaddr *>(&at), &at_len), 0);
    unreachable = ntohs(at.sin_port);
    PlatNetOps refusing = plat_net_own;
    refusing.sendto = [](int fd, const void *buf, std::size_t n, int flags, const sockaddr *sa,
                         socklen_t len) -> ssize_t {
        if (ntohs(reinterpret_cast<const sockaddr_in *>(sa)->sin_port) == unreachable) {
            errno = ENETUNREACH;
            return -1;
        }
        return plat_net_own.sendto(fd, buf, n, flags, sa, len);
    };
    plat_net = &refusing;
    ASSERT_EQ(send(a, read), ssize_t(read.size()));
    arrived();
    Pass(3);
    ASSERT_EQ(send(b, Mbap(9, 2, Pdu(7, 0, 0))), 12);
    arrived();
    Pass(3);
    EXPECT_EQ(take(b), Mbap(9, 2, {7, 0}));
    plat_net = &plat_net_own;
    Pass(2);
    EXPECT_TRUE(take(a).empty());
    close(a);
    close(b);
    // A stop in UDP mode leaves alone a TCP port of the same number, which
    // another server of the interface may listen on.
    // Whether a datagram socket of this process is bound to the port.
    auto udp_port_held = [] {
        for (int fd = 0; fd < 1024; fd++) {
            int type = 0;
            socklen_t type_len = sizeof type;
            sockaddr_in me{};
            socklen_t me_len = sizeof me;
            if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_DGRAM &&
                getsockname(fd, reinterpret_cast<sockaddr *>(&me), &me_len) == 0 && me.sin_family == AF_INET &&
                ntohs(me.sin_port) == kPort)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(udp_port_held());
    NX_TCP_SOCKET other{};
    ASSERT_EQ(_nx_tcp_socket_create(&ip_, &other, "other", 0, 0, 128, 1024, nullptr, nullptr), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip_, kPort, &other, 0, nullptr), NX_SUCCESS);
    Modbus_Stop(0);
    EXPECT_EQ(ModbusConnEth[0].listening, 0);
    EXPECT_EQ(other.state, NX_TCP_LISTEN);
    {
        Peer p;
        EXPECT_TRUE(p.connected) << "the other server's port stays open";
    }
    _nx_tcp_server_socket_unlisten(&ip_, kPort);
    _nx_tcp_socket_delete(&other);
    // The stop gives the datagram port back: with TCP in force after it, no
    // descriptor of the server holds it.
    Dpr_Configuration[0].modbus.udp_mode = 0;
    Pass();
    EXPECT_FALSE(udp_port_held()) << "the datagram port is still held";
}

// With the enable bit clear the server accepts connections but only drains
// them: nothing is answered, nothing times out, and with every record
// serving, a newcomer closes no connection (it waits). Set again, the
// service answers.
TEST_F(ModbusServerTest, ServiceOffAcceptsButAnswersTimesOutAndClosesNothing) {
    test_support::FakeClock clock;
    Dpr_Configuration[0].enables[0] = 0;
    // The socket the start put to listening takes one connection; with the
    // service off no other record listens, so the next client waits in the
    // port's backlog.
    Peer a;
    ASSERT_TRUE(a.connected);
    for (int k = 0; k < 50 && Modbus_Conn_Cnt(0) < 1; k++) Pass();
    ASSERT_EQ(Modbus_Conn_Cnt(0), 1u);
    Peer late;
    ASSERT_TRUE(late.connected);
    Pass(10);
    EXPECT_EQ(Modbus_Conn_Cnt(0), 1u) << "no record listens while the service is off";
    // A free record does not make the loop run without waiting.
    const uint32_t now = _tx_time_get();
    EXPECT_NE(Modbus_Due(0, now), now);
    a.Send(Mbap(1, 1, Pdu(7, 0, 0)));
    Arrived(a, 12);
    Pass(3);
    EXPECT_TRUE(a.Take(20).empty());
    test_support::FakeClock::AdvanceMs(61000);
    Pass(3);
    EXPECT_EQ(Modbus_Conn_Cnt(0), 1u) << "no idle time-out";
    a.Take(20);
    EXPECT_FALSE(a.closed);
    // On again: the waiting client is accepted and answered (the silent
    // one's idle time-out now counts, and ends it).
    Dpr_Configuration[0].enables[0] = EN0_MODBUS;
    late.Send(Mbap(2, 1, Pdu(7, 0, 0)));
    Bytes got;
    for (int i = 0; i < 50 && got.empty() && !late.closed; i++) {
        Pass();
        got = late.Take(20);
    }
    EXPECT_EQ(got, Mbap(2, 1, {7, 0}));
    // Off again across a stop of the run flag: the stop closes the port and
    // the scans after it listen on nothing while the service stays off.
    Dpr_Configuration[0].enables[0] = 0;
    LE_Put16(&DprMap[DPR_RUN], 0);
    Pass(2);
    LE_Put16(&DprMap[DPR_RUN], 1);
    Pass(3);
    Peer refused;
    Pass(3);
    EXPECT_FALSE(refused.connected) << "the port stays closed";
    EXPECT_EQ(Modbus_Conn_Cnt(0), 0u);
}

// A read that came during the loop's wait is taken right after it and
// answered right after the next scan, from the image that scan left; the
// pass's own scan step sends it no second time. With the service off the
// answer waits, and a read sent behind it waits its turn.
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
    // A second read sent before the next scan waits behind the one held
    // back: both are answered, in the order they came.
    PlcReg_Set(R(6), "\x55\x66", 16);
    a.Send(Mbap(0x0104, 9, Pdu(3, 3005, 1)));
    Arrived(a, 12);
    PLAT_PollHarvest(false);
    Modbus_AfterWait(0);
    Modbus_AfterScan(0);
    EXPECT_EQ(a.Take(), Bytes({0x01, 0x03, 0, 0, 0, 5, 9, 3, 2, 0x44, 0x33}));
    Pass();
    Modbus_AfterScan(0);
    EXPECT_EQ(a.Take(), Bytes({0x01, 0x04, 0, 0, 0, 5, 9, 3, 2, 0x66, 0x55}));
}

// With every connection taken, a new one displaces a connection of the host
// that holds the most (its own when it is one of them): the one idle longest
// there, by its last whole request or its acceptance without one. A host
// holding fewer keeps its connections, however long they idle. The hosts
// are loopback addresses.
TEST_F(ModbusServerTest, ANewConnectionDisplacesTheIdlestOfTheHostHoldingMost) {
    test_support::FakeClock clock;
    constexpr uint32_t A = 0x7F000002, B = 0x7F000003, C = 0x7F000004;
    std::map<std::string, std::unique_ptr<Peer>> peers;
    std::set<std::string> gone;
    // A peer from host, with a byte that is never a whole request; a second
    // passes before the next one.
    auto open = [&](const std::string &name, uint32_t host) {
        auto &p = peers[name] = std::make_unique<Peer>(host);
        ASSERT_TRUE(p->connected) << name;
        p->Send({0});
        Pass(4);
        test_support::FakeClock::AdvanceMs(1000);
    };
    auto leave = [&](const std::string &name) {
        peers.erase(name);
        Pass(3);
    };
    // The peers the server closed since the last look.
    auto closed = [&] {
        std::vector<std::string> out;
        for (auto &[name, p] : peers) {
            if (gone.count(name) != 0) continue;
            p->Take(5);
            if (p->closed) out.push_back(name);
        }
        gone.insert(out.begin(), out.end());
        return out;
    };
    using Names = std::vector<std::string>;
    auto name = [](char host, int i) {
        std::string n(1, host);
        n += std::to_string(i);
        return n;
    };
    open("a1", A);
    for (int i = 1; i <= 15; i++) open(name('b', i), B);
    ASSERT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
    EXPECT_EQ(closed(), Names{});
    // B holds the most: its own newcomer and one of C's close B's idlest,
    // not a1 that idles longer.
    open("b16", B);
    EXPECT_EQ(closed(), Names{"b1"});
    open("c1", C);
    EXPECT_EQ(closed(), Names{"b2"});
    EXPECT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
    // A then holds eight, B seven: B's newcomer closes A's idlest, and A's
    // newcomer then B's.
    for (int i = 3; i <= 9; i++) leave(name('b', i));
    ASSERT_EQ(Modbus_Conn_Cnt(0), 9u);
    for (int i = 2; i <= 8; i++) open(name('a', i), A);
    EXPECT_EQ(closed(), Names{});
    open("b17", B);
    EXPECT_EQ(closed(), Names{"a1"});
    open("a9", A);
    EXPECT_EQ(closed(), Names{"b10"});
    // Eight each: A's newcomer closes A's idlest (a2, though b11 idles
    // longer); C's closes the idlest of both, b12 once b11 has asked.
    leave("c1");
    open("b18", B);
    EXPECT_EQ(closed(), Names{});
    open("a10", A);
    EXPECT_EQ(closed(), Names{"a2"});
    Peer &b11 = *peers["b11"];
    b11.Send({0, 0, 0, 0, 2, 1, 7});  // the rest of a request after its first byte
    Arrived(b11, 7);
    Pass(2);
    EXPECT_EQ(b11.Take(), Bytes({0x00, 0x00, 0, 0, 0, 3, 1, 7, 0}));
    open("c2", C);
    EXPECT_EQ(closed(), Names{"b12"});
    Peer &c2 = *peers["c2"];
    c2.Send({0x0A, 0, 0, 0, 2, 3, 7});
    Arrived(c2, 7);
    Pass(2);
    EXPECT_EQ(c2.Take(), Bytes({0x00, 0x0A, 0, 0, 0, 3, 3, 7, 0}));
    // A eight, B seven with the idler connections (b13 on): A's idlest goes.
    open("c3", C);
    EXPECT_EQ(closed(), Names{"a3"});
    EXPECT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
}

// As many hosts as records, one connection each: a connection that never
// handed on a whole request gives way before a client that polls, however
// long ago that client last asked. A connection whose read waits for its
// answer is never the one closed: the newcomer waits until it is answered.
TEST_F(ModbusServerTest, ANewcomerClosesFirstWhatNeverAskedAndNeverAConnectionAtWork) {
    test_support::FakeClock clock;
    constexpr uint32_t kPoller = 0x7F000002;
    Peer poller(kPoller);
    ASSERT_TRUE(poller.connected);
    Pass(4);
    poller.Send(Mbap(0x0101, 9, Pdu(3, 3000, 1)));
    Arrived(poller, 12);
    Pass(2);
    Modbus_AfterScan(0);
    EXPECT_EQ(poller.Take(), Bytes({0x01, 0x01, 0, 0, 0, 5, 9, 3, 2, 0, 0}));
    std::vector<std::unique_ptr<Peer>> others;
    for (uint32_t i = 1; i < MODBUS_SLOTS; i++) {
        test_support::FakeClock::AdvanceMs(1000);
        others.push_back(std::make_unique<Peer>(kPoller + i));
        ASSERT_TRUE(others.back()->connected);
        others.back()->Send({0});  // never a whole request
        Pass(4);
    }
    ASSERT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
    test_support::FakeClock::AdvanceMs(1000);
    Peer newcomer(kPoller + MODBUS_SLOTS);
    Pass(6);
    others[0]->Take(5);
    EXPECT_TRUE(others[0]->closed) << "the oldest that never asked gives way";
    for (std::size_t i = 1; i < others.size(); i++) {
        others[i]->Take(5);
        EXPECT_FALSE(others[i]->closed) << i;
    }
    poller.Take(5);
    EXPECT_FALSE(poller.closed);
    EXPECT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);

    // The poller's read is taken and waits for its answer on the next pass;
    // a second connection of its host (whose own connection is then the only
    // candidate) waits meanwhile, and the poller gets its answer whole
    // before it gives way.
    poller.Send(Mbap(0x0102, 9, Pdu(3, 3000, 1)));
    Arrived(poller, 12);
    Pass(1);
    test_support::FakeClock::AdvanceMs(5000);
    Peer second(kPoller);
    Pass(6);
    EXPECT_EQ(poller.Take(11), Bytes({0x01, 0x02, 0, 0, 0, 5, 9, 3, 2, 0, 0}));
    poller.Take(5);
    EXPECT_TRUE(poller.closed) << "answered, it gives way to its host's newcomer";
}

// A request that came whole behind one answered in the step that took it
// waits in its connection's buffer for the next pass: that connection is at
// work as well, and a newcomer of its host waits until it is answered.
TEST_F(ModbusServerTest, AWholeRequestWaitingBehindAnAnsweredOneKeepsItsConnection) {
    test_support::FakeClock clock;
    constexpr uint32_t kPoller = 0x7F000002;
    Peer poller(kPoller);
    ASSERT_TRUE(poller.connected);
    Pass(4);
    std::vector<std::unique_ptr<Peer>> others;
    for (uint32_t i = 1; i < MODBUS_SLOTS; i++) {
        others.push_back(std::make_unique<Peer>(kPoller + i));
        ASSERT_TRUE(others.back()->connected);
        Pass(4);
    }
    ASSERT_EQ(Modbus_Conn_Cnt(0), MODBUS_SLOTS);
    const Bytes first = Mbap(0x0201, 1, Pdu(6, 3004, 0x1234));
    const Bytes second = Mbap(0x0202, 1, Pdu(6, 3005, 0x5678));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    poller.Send(both);
    Arrived(poller, int(both.size()));
    Pass(1);
    EXPECT_EQ(poller.Take(), first);
    uint32_t waiting = 0;
    for (const auto &slot : ModbusConnEth[0].slots) waiting += slot.rx_len;
    ASSERT_EQ(waiting, second.size()) << "the second request waits for the next pass";
    test_support::FakeClock::AdvanceMs(5000);
    Peer newcomer(kPoller);
    Pass(6);
    EXPECT_EQ(poller.Take(), second);
    Pass(6);
    poller.Take(5);
    EXPECT_TRUE(poller.closed) << "answered, it gives way to its host's newcomer";
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0x1234);
    EXPECT_EQ(Dpr_Get_W_Data(R(6)), 0x5678);
}

// One table through the three servers of the Modbus core, each in its own
// framing: the TCP server's request handling with MBAP (a read answered
// from the image after it was taken), the serial slave at station 7 with
// RTU and its CRC over a stand-in port, the IEC application's server
// (unit 7) on its comm-server channel with MBAP. The same values stand at
// the same addresses in all three: holding registers 3000-3009 (%R1-%R10 in
// the register image), coils 0-15 (%Q1-), discrete inputs 0-15 (%I1-),
// input register 0 (%AI1). Where the servers answer differently, each
// column holds its own.
TEST(ModbusCore, EachServerAnswersTheTableInItsFraming) {
    plc_reg.fill(0);
    RegTokLen_16b = 1;
    DrevanoRuntime = 0;
    Dpr_Init();
    DprConfigRec &cfg = Dpr_Configuration[0];
    std::memset(&cfg, 0, DPR_CONFIG_BYTES);
    cfg.enables[0] = EN0_MODBUS;
    // The TCP server and the serial slave share the image: each goes
    // through the table from these values.
    auto values = [] {
        PlcReg_Set(R(1), "\x34\x12\xCD\xAB", 32);
        for (uint32_t n = 3; n <= 10; n++) PlcReg_Set(R(n), n == 5 ? "\x34\x12" : "\0\0", 16);
        PlcReg_Set(10240, "\x01\x00", 16);  // %Q1
        PlcReg_Set(8192, "\x02\x02", 16);   // %I2, %I10
        PlcReg_Set(16384, "\x0E\x0F", 16);  // %AI1
    };

    // The serial slave on a stand-in port.
    const VcommDrv saved = Vcomm_Drv[0];
    Vcomm_Drv[0] = test_support::FakePortDrv();
    test_support::FakePort &fp = test_support::fake_port;
    fp = test_support::FakePort{};
    ModbusParm parm{};
    parm.station = 7;
    parm.control = PlcReg_Ptr(R(49), 16);
    parm.data = PlcReg_Ptr(R(50), 16);
    parm.status = PlcReg_Ptr(R(51), 16);
    ModbusInit(0, parm);

    // The IEC application's server tables and their values.
    test_support::MbConfig mc;
    mc.Conn(1, 7, 0, 0x100, 0, "SRV")
        .Request({.id = 1, .fn = 3, .addr = 3000, .count = 10, .size = 20})
        .Request({.id = 2, .fn = 1, .addr = 0, .count = 16, .size = 2})
        .Request({.id = 3, .fn = 2, .addr = 0, .count = 16, .size = 2})
        .Request({.id = 4, .fn = 4, .addr = 0, .count = 1, .size = 2});
    test_support::IecImage img;
    img.d16 = {15, 15, 15};
    img.ext_blocks = {{2, mc.Build()}};
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    ASSERT_EQ(Z7VM_CreateDB(code, &db), 0u);
    ASSERT_EQ(Z7VM_Build(code, db), 0u);
    MBState st;
    ASSERT_TRUE(MB_Open(Z7Sec_Addr(db, Z7SEC_MB), st));
    auto table = [&](uint32_t i) { return st.s + LE_Get32(st.Req(i) + MBR_DATA); };
    LE_Put16(table(0), 0x1234);
    LE_Put16(table(0) + 2, 0xABCD);
    LE_Put16(table(0) + 8, 0x1234);
    table(1)[0] = 0x01;
    table(2)[0] = table(2)[1] = 0x02;
    LE_Put16(table(3), 0x0F0E);

    uint16_t tid = 0x0100;
    auto tcp = [&](const Bytes &pdu) {
        const Bytes f = Mbap(tid, 7, pdu);
        std::copy(f.begin(), f.end(), ModbusRxBuff.begin());
        uint32_t n = ModbusRequest(0, 0, uint32_t(f.size()));
        ModbusSlot &slot = ModbusConnEth[0].slots[0];
        if (n == 0 && slot.read_pending) n = ModbusReadAnswer(0, 0);
        slot.read_pending = 0;
        return Bytes(ModbusTxMsg.begin(), ModbusTxMsg.begin() + n);
    };
    auto rtu = [&](const Bytes &pdu) {
        Bytes f = {7};
        f.insert(f.end(), pdu.begin(), pdu.end());
        f = test_support::CrcAppend(f);
        fp.tx.clear();
        for (uint8_t b : f) fp.rx.push_back(b);
        fp.rx.push_back(-1);  // the silence after the frame
        ModbusExecute(0);
        return fp.tx;
    };
    auto iec = [&](const Bytes &pdu) {
        const Bytes f = Mbap(tid, 7, pdu);
        uint8_t ans[300];
        const uint32_t n = Z7VM_ServeModbus(db, 17, f.data(), uint32_t(f.size()), ans);
        return Bytes(ans, ans + n);
    };

    Bytes tcp126 = Hex("03 FC 12 34 AB CD 00 00 00 00 12 34");  // and zeros: 126 registers from %R1
    tcp126.resize(2 + 252, 0);
    Bytes coils2000 = Hex("01 FA 01");  // and zeros: 2,000 coils from %Q1
    coils2000.resize(2 + 250, 0);
    struct Case {
        const char *what;
        Bytes req, tcp, rtu, iec;  // answers' PDUs; empty: no answer
    };
    const Case cases[] = {
        {"2 holding registers", Hex("03 0B B8 00 02"), Hex("03 04 12 34 AB CD"), Hex("03 04 12 34 AB CD"),
         Hex("03 04 12 34 AB CD")},
        {"0 holding registers", Hex("03 0B B8 00 00"), Hex("03 00"), Hex("83 03"), Hex("03 00")},
        {"126 holding registers", Hex("03 0B B8 00 7E"), tcp126, Hex("83 03"), Hex("83 02")},
        {"128 holding registers", Hex("03 0B B8 00 80"), Hex("83 02"), Hex("83 03"), Hex("83 02")},
        {"a holding register past every map", Hex("03 FF FF 00 01"), Hex("83 02"), Hex("83 03"), Hex("83 02")},
        {"a read without all of its quantity", Hex("03 0B B8 00"), {}, Hex("83 03"), {}},
        {"8 coils", Hex("01 00 00 00 08"), Hex("01 01 01"), Hex("01 01 01"), Hex("01 01 01")},
        {"2000 coils", Hex("01 00 00 07 D0"), coils2000, coils2000, Hex("81 02")},
        {"2041 coils", Hex("01 00 00 07 F9"), Hex("81 02"), Hex("81 03"), Hex("81 02")},
        {"16 discrete inputs", Hex("02 00 00 00 10"), Hex("02 02 02 02"), Hex("02 02 02 02"), Hex("02 02 02 02")},
        {"an input register", Hex("04 00 00 00 01"), Hex("04 02 0F 0E"), Hex("04 02 0F 0E"), Hex("04 02 0F 0E")},
        {"function 9", Hex("09 00 00 00 00"), Hex("89 01"), Hex("89 01"), Hex("89 01")},
        {"function 7", Hex("07"), Hex("07 00"), Hex("07 00"), Hex("87 01")},
        {"mask write of 3004", Hex("16 0B BC 00 F2 00 45"), Hex("96 01"), Hex("16 0B BC 00 F2 00 45"), Hex("96 01")},
        {"3004 after it", Hex("03 0B BC 00 01"), Hex("03 02 12 34"), Hex("03 02 00 35"), Hex("03 02 12 34")},
        {"read 3000 and write 3001", Hex("17 0B B8 00 01 0B B9 00 01 02 56 78"), Hex("97 01"), Hex("17 02 12 34"),
         Hex("97 01")},
        {"write 3002", Hex("06 0B BA 01 02"), Hex("06 0B BA 01 02"), Hex("06 0B BA 01 02"), Hex("06 0B BA 01 02")},
        {"3002 after it", Hex("03 0B BA 00 01"), Hex("03 02 01 02"), Hex("03 02 01 02"), Hex("03 02 01 02")},
        {"coil 2 on", Hex("05 00 02 FF 00"), Hex("05 00 02 FF 00"), Hex("05 00 02 FF 00"), Hex("05 00 02 FF 00")},
        {"coil 3 with 0001", Hex("05 00 03 00 01"), Hex("05 00 03 00 00"), Hex("05 00 03 00 01"),
         Hex("05 00 03 00 01")},
        {"the coils after them", Hex("01 00 00 00 08"), Hex("01 01 05"), Hex("01 01 05"), Hex("01 01 0D")},
        {"3003 and 3004", Hex("10 0B BB 00 02 04 00 0A 00 0B"), Hex("10 0B BB 00 02"), Hex("10 0B BB 00 02"),
         Hex("10 0B BB 00 02")},
        // the IEC server takes the quantity alone, as the TCP server does
        {"a byte count short of the quantity", Hex("10 0B BB 00 02 03 00 0C 00 0D"), Hex("10 0B BB 00 02"),
         Hex("90 03"), Hex("10 0B BB 00 02")},
        {"3003 and 3004 after them", Hex("03 0B BB 00 02"), Hex("03 04 00 0C 00 0D"), Hex("03 04 00 0A 00 0B"),
         Hex("03 04 00 0C 00 0D")},
        {"registers without their data", Hex("10 0B BB 00 02 04 00 0A"), Hex("90 02"), Hex("90 03"), Hex("90 03")},
        {"past every map, without data", Hex("10 FF FF 00 02 04 00 0A"), Hex("90 02"), Hex("90 03"), Hex("90 03")},
        {"registers without a byte count", Hex("10 0B BB 00 02"), {}, Hex("90 03"), {}},
        {"10 coils", Hex("0F 00 00 00 0A 02 FF 01"), Hex("0F 00 00 00 0A"), Hex("0F 00 00 00 0A"),
         Hex("0F 00 00 00 0A")},
        {"the coils after them", Hex("01 00 00 00 10"), Hex("01 02 FF 01"), Hex("01 02 FF 01"), Hex("01 02 FF 01")},
    };
    values();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("TCP: ") + c.what);
        tid++;
        EXPECT_EQ(tcp(c.req), c.tcp.empty() ? Bytes{} : Mbap(tid, 7, c.tcp));
    }
    values();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("RTU: ") + c.what);
        Bytes framed = {7};
        framed.insert(framed.end(), c.rtu.begin(), c.rtu.end());
        EXPECT_EQ(rtu(c.req), c.rtu.empty() ? Bytes{} : test_support::CrcAppend(framed));
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("IEC: ") + c.what);
        tid++;
        EXPECT_EQ(iec(c.req), c.iec.empty() ? Bytes{} : Mbap(tid, 7, c.iec));
    }
    Vcomm_Drv[0] = saved;
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}

// Over the connection: the longest frame (1,540 bytes) is served; a header
// alone whose length no buffer holds closes the connection at once.
TEST_F(ModbusServerTest, LongestFrameAndAnOverlongHeaderAlone) {
    Peer a;
    ASSERT_TRUE(a.connected);
    Pass(2);
    ASSERT_EQ(Modbus_Conn_Cnt(0), 1u);
    Bytes big = Mbap(1, 9, {7});
    big.resize(MODBUS_RX_MAX);
    BE_Put16(&big[4], uint16_t(MODBUS_RX_MAX - 6));
    a.Send(big);
    Arrived(a, int(big.size()));
    Pass(3);
    EXPECT_EQ(a.Take(), Mbap(1, 9, {7, 0}));
    a.Send({0, 2, 0, 0, 0xFF, 0xFF});
    Arrived(a, 6);
    Pass(2);
    a.Take(20);
    EXPECT_TRUE(a.closed);
}

// Frames handed whole to the request handler: lengths to the last byte of
// the frame and of its data, the largest answer count, the IEC tables' ends.
TEST_F(ModbusServerTest, FramesToTheLastByte) {
    auto req = [](Bytes f, uint32_t size = 0) {
        std::copy(f.begin(), f.end(), ModbusRxBuff.begin());
        const uint32_t n = ModbusRequest(0, 0, size ? size : uint32_t(f.size()));
        return Bytes(ModbusTxMsg.begin(), ModbusTxMsg.begin() + n);
    };
    // Unit and function code alone (length 2): the exception status.
    EXPECT_EQ(req(Mbap(1, 9, {7})), (Bytes{0, 1, 0, 0, 0, 3, 9, 7, 0}));
    // A length one past the bytes received: nothing yet.
    Bytes cut = Mbap(2, 9, {7});
    BE_Put16(&cut[4], 3);
    EXPECT_EQ(req(cut), Bytes{});
    // The largest frame the buffer holds.
    Bytes big = Mbap(3, 9, {7});
    big.resize(MODBUS_RX_MAX);
    BE_Put16(&big[4], uint16_t(MODBUS_RX_MAX - 6));
    EXPECT_EQ(req(big), (Bytes{0, 3, 0, 0, 0, 3, 9, 7, 0}));
    // Write multiple registers: the data ends at the last byte; the byte
    // count alone (length 7) is short of data.
    Bytes fc16 = Mbap(4, 1, Pdu(16, 3004, 1));
    fc16.insert(fc16.end(), {2, 0xCA, 0xFE});
    BE_Put16(&fc16[4], uint16_t(fc16.size() - 6));
    EXPECT_EQ(req(fc16), Mbap(4, 1, Pdu(16, 3004, 1)));
    EXPECT_EQ(Dpr_Get_W_Data(R(5)), 0xCAFEu);
    Bytes bare = Mbap(5, 1, Pdu(16, 3004, 1));
    bare.push_back(2);
    BE_Put16(&bare[4], 7);
    EXPECT_EQ(req(bare), Mbap(5, 1, {0x90, 2}));
    // Read coils: 2,040 coils answer in 255 bytes, 2,041 would take 256.
    EXPECT_EQ(req(Mbap(6, 1, Pdu(1, 0, 2040))), Bytes{});
    EXPECT_EQ(req(Mbap(7, 1, Pdu(1, 0, 2041))), Mbap(7, 1, {0x81, 2}));
    // IEC tables: a holding table of 10 words takes 0..9, not 10.
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    DprModbusIec &m = Dpr_Configuration[0].modbus_iec;
    m = {};
    m.words[0] = 1u << 26;
    m.words[4] = 10;
    EXPECT_EQ(req(Mbap(8, 1, Pdu(3, 0, 10))), Bytes{});
    EXPECT_EQ(req(Mbap(9, 1, Pdu(3, 1, 10))), Mbap(9, 1, {0x83, 2}));
    EXPECT_EQ(req(Mbap(10, 1, Pdu(3, 10, 0))), Mbap(10, 1, {0x83, 2}));
    m = {};
    DrevanoRuntime = drevano_variables_enumerateded = 0;
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

    // IEC blocks while the application's variables are enumerated: a byte
    // array (type 0) holds the length in elements 0-1, the end character in
    // 2-3 and the data from element 4; an INT array (type 1) the length in
    // element 0, the end character in 1 and the data from element 2. The
    // text to send is read from the same places.
    static uint8_t mem[4096];
    auto *saved = PlcReg_IecLocate;
    PlcReg_IecLocate = [](uint32_t h, uint32_t) -> uint8_t * {
        const uint32_t i = h & 0x7FF;
        return ((h >> 26) & 7) == 1 ? &mem[2048 + 2 * i] : &mem[i];
    };
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    constexpr uint32_t kBytes = 0xC0000010, kInts = 0xC4000020;
    mem[0x10 + 2] = 'X';  // end character of the byte block
    EXPECT_EQ(AsciiStore(kBytes, text, 5, 0), 2u);
    EXPECT_EQ(0, std::memcmp(&mem[0x10 + 4], "AB", 2));
    EXPECT_EQ(mem[0x10 + 6], 0);
    EXPECT_EQ(AsciiStore(kBytes, text, 5, 1380), 2u);
    EXPECT_EQ(0, std::memcmp(&mem[0x10 + 4 + 1380], "AB", 2));
    LE_Put16(&mem[2048 + 2 * (0x20 + 1)], 48);  // the INT block stores everything
    EXPECT_EQ(AsciiStore(kInts, text, 5, 0), 5u);
    EXPECT_EQ(0, std::memcmp(&mem[2048 + 2 * (0x20 + 2)], "ABXCD", 5));
    EXPECT_EQ(AsciiStore(kInts, text, 5, 1380), 5u);
    EXPECT_EQ(0, std::memcmp(&mem[2048 + 2 * (0x20 + 2) + 1380], "ABXCD", 5));
    uint8_t out[8] = {};
    LE_Put16(&mem[2048 + 2 * 0x30], 4);
    std::memcpy(&mem[2048 + 2 * (0x30 + 2)], "WXYZ", 4);
    EXPECT_EQ(AsciiText(0xC4000030, out), 4u);
    EXPECT_EQ(0, std::memcmp(out, "WXYZ", 4));
    LE_Put16(&mem[0x40], 3);
    std::memcpy(&mem[0x40 + 4], "pqr", 3);
    EXPECT_EQ(AsciiText(0xC0000040, out), 3u);
    EXPECT_EQ(0, std::memcmp(out, "pqr", 3));
    // Other IEC types are refused: nothing stored, nothing to send.
    EXPECT_EQ(AsciiStore(0xC8000010, text, 5, 0), 0u);
    EXPECT_EQ(AsciiText(0xC8000010, out), 0u);
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    PlcReg_IecLocate = saved;
    // The register block's text, as the ladder program leaves it.
    Dpr_Set_W_Data(block, 3);
    Dpr_Set_W_Data(block + 32, 0x4241);
    Dpr_Set_W_Data(block + 48, 0x0043);
    EXPECT_EQ(AsciiText(block, out), 3u);
    EXPECT_EQ(0, std::memcmp(out, "ABC", 3));
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
        struct pollfd w {
            p.fd, POLLIN, 0
        };
        poll(&w, 1, 100);
        read_some();
    }
    EXPECT_GT(stuck, 0) << "the connection never filled";
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "first difference at "
                             << std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    EXPECT_EQ(Dpr_Get_W_Data(status) & ASCII_ST_CUT_SEND, 0) << "2,000 bytes are sent whole";
    // A text cut back to what of it already went out is done: nothing goes
    // again, and the next text arrives alone.
    got.clear();
    AsciiTCPConnEth[0].sent = 10;
    Dpr_Set_W_Data(send_block, 10);
    Dpr_Set_W_Data(control, 1);
    for (int i = 0; i < 5000 && Dpr_Get_W_Data(control) != 0; i++) pass();
    Dpr_Set_W_Data(send_block, 2);
    Dpr_Set_W_Data(send_block + 32, 0x5958);  // "XY"
    Dpr_Set_W_Data(control, 1);
    for (int i = 0; i < 5000 && Dpr_Get_W_Data(control) != 0; i++) pass();
    ASSERT_EQ(Dpr_Get_W_Data(control), 0);
    for (int i = 0; i < 1000 && got.size() < 2; i++) {
        struct pollfd w {
            p.fd, POLLIN, 0
        };
        poll(&w, 1, 100);
        read_some();
    }
    EXPECT_EQ(got, "XY");

    // Receiving: a first part of exactly 1,380 bytes waits (50 ms, the clock
    // stands still here) for its continuation, whose 620 bytes are taken
    // whole: 2,000 bytes in the block, no cut flag.
    test_support::FakeClock clock;
    Dpr_Set_W_Data(recv_block + 16, 48);  // no end character
    auto arrive = [&](size_t n, char ch) {
        const std::string s(n, ch);
        ASSERT_EQ(send(p.fd, s.data(), s.size(), 0), ssize_t(n));
        int avail = 0;
        for (int i = 0; i < 5000 && avail < int(n); i++) {
            ioctl(AsciiTCPConnEth[0].socket.accepted_fd, FIONREAD, &avail);
            if (avail < int(n)) usleep(1000);
        }
        ASSERT_EQ(avail, int(n));
        pass();
    };
    arrive(1380, 'f');
    EXPECT_EQ(Dpr_Get_W_Data(recv_block), 1380u);
    arrive(620, 's');
    EXPECT_EQ(Dpr_Get_W_Data(recv_block), 2000u);
    EXPECT_EQ(Dpr_Get_W_Data(recv_block + 32 + 8 * 1378), 0x6666u);
    EXPECT_EQ(Dpr_Get_W_Data(recv_block + 32 + 8 * 1380), 0x7373u);
    EXPECT_EQ(Dpr_Get_W_Data(status) & ASCII_ST_CUT_SECOND, 0);
    // The continuation is joined within 50 ms of the first part, not later.
    arrive(1380, 'g');
    test_support::FakeClock::AdvanceMs(50);
    arrive(10, 'h');
    EXPECT_EQ(Dpr_Get_W_Data(recv_block), 1390u);
    EXPECT_EQ(Dpr_Get_W_Data(recv_block + 32 + 8 * 1380), 0x6868u);
    arrive(1380, 'i');
    test_support::FakeClock::AdvanceMs(51);
    arrive(10, 'j');
    EXPECT_EQ(Dpr_Get_W_Data(recv_block), 10u) << "a message of its own";
    EXPECT_EQ(Dpr_Get_W_Data(recv_block + 32), 0x6A6Au);
    // A receive block at an IEC variable of another type than bytes or INTs
    // (a DINT, type 2) is refused: what arrives is dropped and the variable,
    // which the block's length word would overlay, keeps its value.
    static uint8_t dint[8];
    LE_Put32(dint, 0xAABBCCDD);
    auto *saved = PlcReg_IecLocate;
    PlcReg_IecLocate = [](uint32_t, uint32_t) -> uint8_t * { return dint; };
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    cfg.ascii[4] = 0xC8000010;
    arrive(3, 'C');
    EXPECT_EQ(AsciiTCPConnEth[0].rx_len, 0u) << "taken and dropped";
    EXPECT_EQ(LE_Get32(dint), 0xAABBCCDDu);
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    PlcReg_IecLocate = saved;
    cfg.ascii[4] = recv_block;
    AsciiDisconnect(&AsciiTCPConnEth[0].socket);
    _nx_tcp_server_socket_unlisten(&ip, kPort);
    _nx_tcp_socket_delete(&AsciiTCPConnEth[0].socket);
    AsciiTCPConnEth[0].ip = nullptr;
    plat_net = nullptr;
}
