// Virtual serial ports over loopback TCP: port numbers at their edges, the
// next client port from register word 54541, a segment of 1460 bytes with the
// rest pending, receiving, a redial when the destination register changes,
// and the driver set's block, text and count operations.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/etnvcomm.h"
#include "platform/plat_net.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// Word number of %R100 in the image.
constexpr uint32_t R100() { return 2083; }

struct Server {
    int fd = -1, conn = -1;
    uint16_t port = 0;
    Server(const char *addr, uint16_t p) : port(p) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(p);
        inet_pton(AF_INET, addr, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 4), 0);
    }
    ~Server() {
        if (conn >= 0) close(conn);
        close(fd);
    }
    bool Accept() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) return false;
        conn = accept(fd, nullptr, nullptr);
        return conn >= 0;
    }
    // Bytes that arrive within ms milliseconds.
    std::vector<uint8_t> Read(std::size_t want, int ms = 5000) {
        std::vector<uint8_t> out;
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < want && Clock::now() < end) {
            pollfd p{conn, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            uint8_t b[4096];
            const ssize_t n = recv(conn, b, sizeof b, 0);
            if (n <= 0) break;
            out.insert(out.end(), b, b + n);
        }
        return out;
    }
};

// Open record from 3.13 on: address, port, then options in word 10.
std::array<uint8_t, 24> Record(uint32_t addr, uint16_t port, uint16_t options) {
    std::array<uint8_t, 24> r{};
    LE_Put16(&r[0], uint16_t(addr));
    LE_Put16(&r[2], uint16_t(addr >> 16));
    LE_Put16(&r[4], port);
    LE_Put16(&r[20], options);
    return r;
}

class VirtualPorts : public ::testing::Test {
protected:
    void SetUp() override {
        plat_net = &plat_net_own;
        plc_reg.fill(0);
        static std::array<uint8_t, 64 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        test_support::EthIp(ip_, pool_, mem, "vcomm pool");
        ip_.nx_ip_link_up = 1;
        ASSERT_EQ(EtnVComm_Init(&ip_, &pool_), 0u);
    }
    void TearDown() override {
        EtnVComm_DeInit(&ip_);
        plat_net = nullptr;
    }
    // Until the port is connected, passing the socket poll between tries.
    bool Connect(intptr_t port, Server &s) {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            EnetThread();
            s.Accept();
            if (EtnVComm_CheckRx(port) != VCOMM_ETH_NOCONN && s.conn >= 0) return true;
        }
        return false;
    }
    NX_PACKET_POOL pool_{};
    NX_IP ip_{};
};

TEST_F(VirtualPorts, NumbersSegmentsAndRedial) {
    const uint16_t p1 = test_support::TestPort(19100), p2 = uint16_t(p1 + 100);
    auto rec = Record(0x7F000001, p1, 0);
    // Port numbers: 3..34 and 0x2000 + 0x100 x interface + port; 16,416 refused.
    EXPECT_EQ(EtnVComm_Open(16416, intptr_t(rec.data())), 0);
    EXPECT_EQ(EtnVComm_Open(0x2020, intptr_t(rec.data())), 0);
    EXPECT_EQ(EtnVComm_Open(0x2200, intptr_t(rec.data())), 0);
    EXPECT_EQ(EtnVComm_Open(35, intptr_t(rec.data())), 0);
    EXPECT_EQ(EtnVComm_Open(0x2105, intptr_t(rec.data())), 1);
    EXPECT_EQ(EtnVComm_Close(0x2105), 37);  // the slot: interface 1 x 32 + port 5
    EXPECT_EQ(EtnVComm_Close(0x2105), 0);   // not open any more
    // The ends of both short ranges: 2 is port 2, 34 port 31 (a close
    // answers the port's slot).
    EXPECT_EQ(EtnVComm_Open(2, intptr_t(rec.data())), 1);
    EXPECT_EQ(EtnVComm_Close(2), 2);
    EXPECT_EQ(EtnVComm_Open(34, intptr_t(rec.data())), 1);
    EXPECT_EQ(EtnVComm_Close(34), 31);
    EXPECT_EQ(EtnVComm_CheckRx(16416), 0);
    EXPECT_EQ(EtnVComm_PutTx(16416, 0x41), 0);

    // Register word 54541 holding a port from 30000 up at initialisation
    // becomes the interface's next client port: the port's connection
    // leaves from it (a port in use passes to the next one), and the bind
    // copies the interface's next port back into the register.
    EtnVComm_DeInit(&ip_);
    const uint16_t first = test_support::TestPort(40000);
    PlcWordSet(W_CLIENT_PORT, first);
    ASSERT_EQ(EtnVComm_Init(&ip_, &pool_), 0u);
    EXPECT_EQ(ip_.nx_ip_next_port, first);
    Server a("127.0.0.1", p1);
    ASSERT_EQ(EtnVComm_Open(3, intptr_t(rec.data())), 1);
    EXPECT_EQ(EtnVComm_GetRts(3), 1);
    ASSERT_TRUE(Connect(3, a));
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    ASSERT_EQ(getpeername(a.conn, reinterpret_cast<sockaddr *>(&peer), &pl), 0);
    EXPECT_GE(ntohs(peer.sin_port), first);
    EXPECT_LT(ntohs(peer.sin_port), first + 32);
    EXPECT_EQ(PlcWord(W_CLIENT_PORT), ntohs(peer.sin_port) + 1);
    EXPECT_EQ(EtnVComm_Conn_Cnt(0), 1u);
    // 1461 bytes: one segment of 1460 goes, one byte stays pending.
    for (int i = 0; i < 1461; i++) ASSERT_EQ(EtnVComm_PutTx(3, i & 0xFF), i & 0xFF);
    EXPECT_EQ(EtnVComm_CountTx(3), 1);
    const auto seg = a.Read(1460);
    ASSERT_EQ(seg.size(), 1460u);
    EXPECT_EQ(seg[1459], 1459 & 0xFF);
    EXPECT_TRUE(a.Read(1, 200).empty());
    EtnVComm_DoTx(3);
    EXPECT_EQ(EtnVComm_CountTx(3), 0);
    EXPECT_EQ(a.Read(1), std::vector<uint8_t>{1460 & 0xFF});
    // Receiving: bytes one by one, then -1.
    ASSERT_EQ(send(a.conn, "OK", 2, 0), 2);
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (EtnVComm_CheckRx(3) != 1 && Clock::now() < end) EnetThread();
    EXPECT_EQ(EtnVComm_GetRx(3), 'O');
    EXPECT_EQ(EtnVComm_GetRx(3), 'K');
    EXPECT_EQ(EtnVComm_GetRx(3), -1);

    // Destination from %R100..%R101: a changed value drops the connection
    // and the next operation dials the new address.
    Server b("127.0.0.1", p2), c("127.0.0.2", p2);
    PlcDwordSet(R100(), 0x7F000001);
    auto rr = Record(32768 + 16 * 99, p2, 1);
    ASSERT_EQ(EtnVComm_Open(4, intptr_t(rr.data())), 1);
    ASSERT_TRUE(Connect(4, b));
    PlcDwordSet(R100(), 0x7F000002);
    ASSERT_TRUE(Connect(4, c));
    EXPECT_EQ(EtnVComm_PutTx(4, 0x55), 0x55);
    EtnVComm_DoTx(4);
    EXPECT_EQ(c.Read(1), std::vector<uint8_t>{0x55});
}

// A dial nobody answers (the server's queue is full, so its SYN goes
// unanswered) is given up after 10 s and dialled again in the same call. A
// closed UDP port is tidied once while the controller is stopped: its
// socket is let go and the reconnect flag clears, so the housekeeping goes
// quiet instead of choosing the port again on every pass.
TEST_F(VirtualPorts, AnUnansweredDialIsRedialledAtOnceAndAClosedUdpPortIsTidiedOnce) {
    test_support::FakeClock clock;
    static_cast<void>(_tx_time_get());
    const uint16_t p1 = test_support::TestPort(19300);
    Server full("127.0.0.1", p1);
    ASSERT_EQ(listen(full.fd, 0), 0);
    // Fill the accept queue with connections nobody takes.
    std::vector<int> fillers;
    for (int i = 0; i < 3; i++) {
        const int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(p1);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(f);
    }
    usleep(50000);
    auto rec = Record(0x7F000001, p1, 0);
    ASSERT_EQ(EtnVComm_Open(3, intptr_t(rec.data())), 1);
    const VCommPort &port = VCommConnEth[0].ports[0];
    EXPECT_EQ(EtnVComm_CheckRx(3), VCOMM_ETH_NOCONN);
    ASSERT_EQ(port.flags & (VCE_CONNECTING | VCE_CONNECTED), VCE_CONNECTING);
    const uint32_t first_try = port.start_ms;
    test_support::FakeClock::AdvanceMs(9999);
    EXPECT_EQ(EtnVComm_CheckRx(3), VCOMM_ETH_NOCONN);
    EXPECT_EQ(port.start_ms, first_try);  // a younger attempt waits
    test_support::FakeClock::AdvanceMs(2);
    EXPECT_EQ(EtnVComm_CheckRx(3), VCOMM_ETH_NOCONN);
    EXPECT_EQ(port.flags & (VCE_BOUND | VCE_CONNECTING), VCE_BOUND | VCE_CONNECTING);
    EXPECT_EQ(port.start_ms, first_try + 10001);  // dialled again in the same call
    EXPECT_EQ(port.tcp.state, NX_TCP_CONNECTING);
    for (int f : fillers) close(f);
    EXPECT_EQ(EtnVComm_Close(3), 0);  // port 0 of interface 0: slot 0

    // UDP port 5: opened, bound by its first operation, closed.
    auto udp = Record(0x7F000001, p1, 0);
    LE_Put16(&udp[12], 1);  // transport UDP
    ASSERT_EQ(EtnVComm_Open(8, intptr_t(udp.data())), 1);
    EXPECT_EQ(EtnVComm_CheckRx(8), 0);
    const VCommPort &u = VCommConnEth[0].ports[5];
    EXPECT_NE(u.usock.bound, 0u);
    EXPECT_EQ(EtnVComm_Close(8), 5);
    for (int i = 0; i < 10; i++) EtnVComm_Scan(0);
    EXPECT_EQ(u.usock.bound, 0u);
    EXPECT_EQ(VCommConnEth[0].reconnect, 0);
    EXPECT_EQ(VCommConnEth[0].hk_state, 0);
}

// The driver set as a protocol driver calls it: a block and a text put and
// sent together, a block longer than a segment, received bytes taken as
// blocks with the receive count, and the answers of a port without a line.
TEST_F(VirtualPorts, DriverSetBlocksTextsCountsAndLineAnswers) {
    const EtnVCommDrv &d = EtnVComm_Drv;
    const uint16_t p1 = test_support::TestPort(19300);
    Server a("127.0.0.1", p1);
    auto rec = Record(0x7F000001, p1, 0);
    ASSERT_EQ(d.Open(5, intptr_t(rec.data())), 1);
    ASSERT_TRUE(Connect(5, a));
    const uint8_t blk[] = {1, 2, 3};
    d.PutnTx(5, intptr_t(blk), 3);
    d.PutsTx(5, intptr_t("AB"));
    EXPECT_EQ(d.CountTx(5), 5);
    d.DoTx(5);
    EXPECT_EQ(a.Read(5), (std::vector<uint8_t>{1, 2, 3, 'A', 'B'}));
    std::vector<uint8_t> big(1461);
    for (std::size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i);
    d.PutnTx(5, intptr_t(big.data()), 1461);
    EXPECT_EQ(d.CountTx(5), 1);
    const auto seg = a.Read(1460);
    ASSERT_EQ(seg.size(), 1460u);
    EXPECT_EQ(seg[1459], 1459 & 0xFF);
    d.DoTx(5);
    EXPECT_EQ(a.Read(1), std::vector<uint8_t>{1460 & 0xFF});

    EXPECT_EQ(d.CountRx(5), 0);
    ASSERT_EQ(send(a.conn, "HELLO", 5, 0), 5);
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (d.CountRx(5) != 1 && Clock::now() < end) EnetThread();
    uint8_t in[8] = {};
    EXPECT_EQ(d.GetNRx(5, intptr_t(in), 3), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(in), 3), "HEL");
    EXPECT_EQ(d.GetNRx(5, intptr_t(in), 8), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(in), 2), "LO");
    EXPECT_EQ(d.CountRx(5), 0);
    EXPECT_EQ(d.GetNRx(5, intptr_t(in), 8), 0);
    EXPECT_EQ(d.GetNRx(16416, intptr_t(in), 8), 0);
    EXPECT_EQ(d.CountRx(16416), 0);

    EXPECT_EQ(d.Test(5), 0);
    EXPECT_EQ(d.StatusRx(5), 0);
    EXPECT_EQ(d.CheckTx(5), 0);
    EXPECT_EQ(d.EmptyTx(5), 1);
    EXPECT_EQ(d.SetCts(5, 1), 5);
    EXPECT_EQ(d.SetDsr(5, 1), 5);
    EXPECT_EQ(d.Close(5), 2);  // port 2 of interface 0
}

}  // namespace
