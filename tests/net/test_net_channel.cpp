// The programming-tool byte channel and the TCP service that carries it,
// driven by real loopback connections; the command protocol's side is
// played through the channel functions it calls.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "cmd/cmd.h"
#include "io/vcomm.h"
#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "platform/plat_net.h"
#include "protocols/qncan.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loopback.h"
#include "tests/support/qncan_pump.h"
#include "tests/support/test_port.h"

namespace {

// Each test listens on a port of its own: ctest runs them side by side.
uint16_t kPort = 18621;

using Bytes = std::vector<uint8_t>;

Bytes Header(uint32_t access, uint16_t level, uint16_t w6, uint16_t w8, uint16_t cmd, uint16_t len) {
    Bytes h(QNCAN_HDR, 0);
    LE_Put32(&h[0], access);
    LE_Put16(&h[4], level);
    LE_Put16(&h[6], w6);
    LE_Put16(&h[8], w8);
    LE_Put16(&h[10], cmd);
    LE_Put16(&h[26], len);
    return h;
}
Bytes Frame(const Bytes &payload, uint16_t level = 0, uint16_t cmd = 0) {
    Bytes f = Header(0, level, 0x1234, 0xABCD, cmd, uint16_t(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

struct Peer : test_support::QncanPeer {
    Peer() : QncanPeer(kPort, 1000) {}
};

using test_support::QncanNext;
using test_support::QncanPass;
using test_support::QncanReceived;

Bytes Payload(const Bytes &reply) { return Bytes(reply.begin() + QNCAN_HDR, reply.end()); }

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        kPort = test_support::TestPort(18621);
        plat_net = &plat_net_own;
        QncanPort = kPort;
        Dpr_Init();
        Etn_Reset();
        static std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        test_support::EthIp(ip_, pool_, mem, "Packet Pool");
        ASSERT_EQ(Qncan_Init(&ip_, &pool_), NX_SUCCESS);
    }
    void TearDown() override {
        for (auto &slot : QncanState[0].slots) _nx_tcp_socket_delete(&slot.socket);
        // A port whose records served connections stays listened on after
        // they go: closed here, so that no later test finds it open.
        _nx_tcp_server_socket_unlisten(&ip_, kPort);
        plat_net = nullptr;
        QncanPort = QNCAN_PORT;
    }
    // Accepts a new connection.
    void Accept() { QncanPass(5); }
    NX_PACKET_POOL pool_{};
    NX_IP ip_{};
};

}  // namespace

TEST(NetChannel, HandshakesOfTheMapInBothDirections) {
    Dpr_Init();
    Etn_Reset();
    EXPECT_EQ(Etn_CheckRx(), 0u);
    EXPECT_EQ(Etn_GetRx(), 0);  // never waits
    // A block and a single byte pending together: the byte first.
    DprMap[ETN_RX_DATA] = 'a';
    DprMap[ETN_RX_DATA + 1] = 'b';
    LE_Put16(&DprMap[ETN_RX_COUNT], 2);
    DprMap[ETN_RX_REQ] = 1;
    DprMap[ETN_B_DATA] = 'z';
    DprMap[ETN_B_REQ] = 1;
    EXPECT_EQ(QncanReceived(), (Bytes{'z', 'a', 'b'}));
    EXPECT_EQ(DprMap[ETN_RX_ACK], 1);
    // A count of 0 is acknowledged at once; a count over 68 is clipped.
    LE_Put16(&DprMap[ETN_RX_COUNT], 0);
    DprMap[ETN_RX_REQ] = 0;
    EXPECT_EQ(QncanReceived(), (Bytes{0}));
    LE_Put16(&DprMap[ETN_RX_COUNT], 500);
    DprMap[ETN_RX_REQ] = 1;
    EXPECT_EQ(QncanReceived().size(), ETN_RX_MAX);
    // Flush acknowledges both.
    DprMap[ETN_B_REQ] = 0;
    DprMap[ETN_RX_REQ] = 0;
    LE_Put16(&DprMap[ETN_RX_COUNT], 3);
    EXPECT_EQ(Etn_FlushRx(), 0);
    EXPECT_EQ(Etn_CheckRx(), 0u);

    // 112 only toggles the signal; other bytes are one-byte blocks; a post
    // before the acknowledge is held and goes out after it, in order.
    Etn_PutTx(112);
    EXPECT_EQ(DprMap[ETN_SIG_REQ], 1);
    EXPECT_EQ(DprMap[ETN_TX_REQ], 0);
    Etn_PutTx(0xA0);
    EXPECT_EQ(DprMap[ETN_TX_REQ], 1);
    EXPECT_EQ(LE_Get16(&DprMap[ETN_TX_LEN]), 1);
    const uint8_t frame[4] = {0xFF, 1, 2, 3};
    Etn_PutnTx(frame, 4);
    EXPECT_EQ(DprMap[ETN_TX_DATA], 0xA0);  // not overwritten
    EXPECT_EQ(Etn_TxPending(), 1u);
    DprMap[ETN_TX_ACK] = DprMap[ETN_TX_REQ];
    Etn_TxPump();
    EXPECT_EQ(LE_Get16(&DprMap[ETN_TX_LEN]), 4);
    EXPECT_EQ(DprMap[ETN_TX_DATA + 3], 3);
    DprMap[ETN_TX_ACK] = DprMap[ETN_TX_REQ];
    EXPECT_EQ(Etn_TxPending(), 0u);
    // A reply longer than the 68 bytes before the single-byte handshake is
    // cut there: the handshake, the signal, the access values and flags
    // behind it keep what they hold, posted at once or held first.
    std::array<uint8_t, 2524> big;
    big.fill(0xEE);
    std::array<uint8_t, 28> behind;
    for (size_t i = 0; i < behind.size(); i++) behind[i] = uint8_t(0x40 + i);
    std::memcpy(&DprMap[ETN_B_ACK], behind.data(), behind.size());
    const std::array<uint8_t, 28> kept = behind;
    Etn_PutnTx(big.data(), uint32_t(big.size()));
    EXPECT_EQ(LE_Get16(&DprMap[ETN_TX_LEN]), 68);
    EXPECT_EQ(DprMap[ETN_TX_DATA + 67], 0xEE);
    EXPECT_EQ(0, std::memcmp(&DprMap[ETN_B_ACK], kept.data(), kept.size()));
    Etn_PutnTx(big.data(), 69);
    DprMap[ETN_TX_ACK] = DprMap[ETN_TX_REQ];
    Etn_TxPump();
    EXPECT_EQ(LE_Get16(&DprMap[ETN_TX_LEN]), 68);
    EXPECT_EQ(0, std::memcmp(&DprMap[ETN_B_ACK], kept.data(), kept.size()));
    DprMap[ETN_TX_ACK] = DprMap[ETN_TX_REQ];
    Dpr_Init();

    // The channel as the command protocol's port of host 1.
    Etn_InstallPort();
    ASSERT_EQ(Cmd_HostPort[1], ETN_VCOMM_PORT);
    EXPECT_EQ(Vcomm_Present(ETN_VCOMM_PORT), 1u);
    EXPECT_EQ(Vcomm_Protocol(ETN_VCOMM_PORT), VCOMM_PROTO_CMD);
    Vcomm_Drv[ETN_VCOMM_PORT].PutnTx(ETN_VCOMM_PORT, frame, 3);
    EXPECT_EQ(LE_Get16(&DprMap[ETN_TX_LEN]), 3);
    DprMap[ETN_B_DATA] = 0x42;
    DprMap[ETN_B_REQ] = uint8_t(1 - DprMap[ETN_B_ACK]);
    EXPECT_EQ(Vcomm_Drv[ETN_VCOMM_PORT].CheckRx(ETN_VCOMM_PORT), 1u);
    EXPECT_EQ(Vcomm_Drv[ETN_VCOMM_PORT].GetRx(ETN_VCOMM_PORT), 0x42u);
    DprMap[ETN_TX_ACK] = DprMap[ETN_TX_REQ];

    // Status and access state from the register image.
    plc_reg.fill(0);
    PlcWordSet(SR_WORD(29), 0x7F);
    Etn_UpdateStatus();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_NETID]), 0x7F);
    plc_reg[109088] = 0x3F;
    LE_Put32(&plc_reg[109092], 0xDEADBEEF);
    plc_reg[109096 + 24 + 20] = 5;
    // Each user record: its first four bytes and the low byte of its word at
    // record byte 20; the rest of the record stays out of the map.
    for (unsigned u = 0; u < 3; u++) {
        uint8_t *rec = &plc_reg[109096 + 24 * u];
        for (unsigned i = 0; i < 24; i++) rec[i] = uint8_t(0x10 * (u + 1) + i);
        rec[20] = uint8_t(u + 1);
    }
    DprMap[63108] = 0x99;
    Etn_UpdateSecurity();
    EXPECT_EQ(DprMap[ETN_ACCESS_FLAGS], 0x2F);
    EXPECT_EQ(LE_Get32(&DprMap[ETN_ACCESS]), 0xDEADBEEFu);
    const std::vector<uint8_t> users(&DprMap[63092], &DprMap[63109]);
    EXPECT_EQ(users, (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x30, 0x31, 0x32, 0x33, 0x2F,
                                           1, 2, 3, 0x99}));
}

TEST_F(Channel, RequestsRepliesFramingOwnershipAndLevels) {
    PlcWordSet(171, 30);
    PlcWordSet(176, 2026);
    std::memcpy(&DprMap[DPR_CLOCK], &plc_reg[342], 12);
    Peer a;
    Accept();
    EXPECT_EQ(Qncan_ConnCnt(0), 1u);

    // A request arriving in three pieces is served once whole.
    const Bytes req = Frame({0x09, 0x01, 0x7F, 0x77});
    a.Send(Bytes(req.begin(), req.begin() + 10));
    QncanPass(3);
    EXPECT_EQ(Etn_CheckRx(), 0u);
    a.Send(Bytes(req.begin() + 10, req.begin() + 30));
    QncanPass(3);
    EXPECT_EQ(Etn_CheckRx(), 0u);
    a.Send(Bytes(req.begin() + 30, req.end()));
    QncanPass(3);
    EXPECT_EQ(QncanReceived(), (Bytes{0x09, 0x01, 0x7F, 0x77}));
    const uint8_t answer[4] = {0xFF, 0x01, 0x7F, 0x81};
    Etn_PutnTx(answer, 4);
    QncanPass(2);
    Bytes r = a.Reply();
    ASSERT_EQ(r.size(), QNCAN_HDR + 4);
    EXPECT_EQ(Payload(r), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
    EXPECT_EQ(LE_Get16(&r[6]), 0x1234);
    EXPECT_EQ(LE_Get16(&r[8]), 0xABCD);
    EXPECT_EQ(LE_Get16(&r[10]), 0);
    EXPECT_EQ(LE_Get16(&r[12]), 30);
    EXPECT_EQ(LE_Get16(&r[22]), 2026);

    // Two requests in one read: one per pass, each reaching the channel.
    Bytes two = Frame({0xA0});
    const Bytes second = Frame({0x09, 0x00, 0x09});
    two.insert(two.end(), second.begin(), second.end());
    a.Send(two);
    EXPECT_EQ(QncanNext(), (Bytes{0xA0}));
    EXPECT_EQ(QncanNext(), (Bytes{0x09, 0x00, 0x09}));

    // A second connection while the first owns the channel: busy, status 8.
    Peer b;
    Accept();
    EXPECT_EQ(Qncan_ConnCnt(0), 2u);
    b.Send(Frame({0x09, 0x01, 0x7F, 0x77}));
    QncanPass(3);
    r = b.Reply();
    ASSERT_EQ(r.size(), QNCAN_HDR + 1);
    EXPECT_EQ(r[QNCAN_HDR], 0x60);
    EXPECT_EQ(LE_Get16(&r[10]), 8);
    EXPECT_EQ(Etn_CheckRx(), 0u);

    // Level 3 gets level 2 and status 2.
    b.Send(Frame({0x09}, 3));
    QncanPass(3);
    r = b.Reply();
    ASSERT_EQ(r.size(), QNCAN_HDR);
    EXPECT_EQ(LE_Get16(&r[4]), 2);
    EXPECT_EQ(LE_Get16(&r[10]), 2);

    // The end-of-exchange signal frees the channel for the other connection.
    Etn_PutTx(112);
    QncanPass(2);
    EXPECT_EQ(DprMap[ETN_SIG_ACK], DprMap[ETN_SIG_REQ]);
    b.Send(Frame({0x09, 0x01, 0x7F, 0x77}));
    QncanPass(3);
    EXPECT_EQ(QncanReceived().size(), 4u);
    // ... and replies follow the owner.
    Etn_PutTx(0xA0);
    QncanPass(2);
    r = b.Reply();
    EXPECT_EQ(Payload(r), (Bytes{0xA0}));

    // The owner's disconnect also frees the channel.
    close(b.fd);
    b.fd = -1;
    QncanPass(5);
    EXPECT_EQ(Qncan_ConnCnt(0), 1u);
    a.Send(Frame({0x09, 0x01, 0x7F, 0x77}));
    QncanPass(3);
    EXPECT_EQ(QncanReceived().size(), 4u);
    // Twenty requests in one burst are served one per pass, none lost.
    Bytes burst;
    for (int i = 0; i < 20; i++) {
        const Bytes f = Frame({0x09, 0x01, uint8_t(i), 0x00});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    Etn_PutTx(112);
    QncanPass(2);
    a.Send(burst);
    for (int i = 0; i < 20; i++) {
        const Bytes got = QncanNext();
        ASSERT_EQ(got.size(), 4u) << i;
        EXPECT_EQ(got[2], i);
    }
    EXPECT_EQ(Qncan_ConnCnt(0), 1u);
    // A payload over 67 bytes is posted clipped to 67.
    Etn_PutTx(112);
    QncanPass(2);
    a.Send(Frame(Bytes(90, 0x11)));
    QncanPass(3);
    EXPECT_EQ(QncanReceived().size(), 67u);
}

// Eight connections of one host hold every record. The one that owns the
// command channel asked longest ago, but its request is still with the
// command processor: a ninth connection closes the idlest of the others, and
// the owner gets its reply.
TEST_F(Channel, TheChannelsOwnerIsNeverDisplacedBeforeItsReply) {
    test_support::FakeClock clock;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 8; i++) {
        peers.push_back(std::make_unique<Peer>());
        Accept();
    }
    ASSERT_EQ(Qncan_ConnCnt(0), 8u);
    peers[0]->Send(Frame({0x09, 0x01, 0x7F, 0x77}));
    EXPECT_EQ(test_support::QncanNext(), (Bytes{0x09, 0x01, 0x7F, 0x77}));
    for (int i = 1; i < 8; i++) {
        test_support::FakeClock::AdvanceMs(1000);
        peers[i]->Send(Frame({0x09}));
        QncanPass(3);
        const Bytes r = peers[i]->Reply();
        ASSERT_EQ(r.size(), QNCAN_HDR + 1) << i;
        EXPECT_EQ(LE_Get16(&r[10]), 8) << "busy";
    }
    test_support::FakeClock::AdvanceMs(1000);
    Peer ninth;
    Accept();
    EXPECT_EQ(Qncan_ConnCnt(0), 8u);
    EXPECT_TRUE(peers[1]->Reply(200).empty());
    EXPECT_TRUE(peers[1]->closed) << "the idlest of those at rest gives way";
    const uint8_t answer[4] = {0xFF, 0x01, 0x7F, 0x81};
    Etn_PutnTx(answer, 4);
    QncanPass(2);
    const Bytes r = peers[0]->Reply();
    ASSERT_EQ(r.size(), QNCAN_HDR + 4);
    EXPECT_EQ(Payload(r), (Bytes{0xFF, 0x01, 0x7F, 0x81}));
}

TEST_F(Channel, EightSlotsOneListeningAndGarbageDropped) {
    std::vector<Peer *> peers;
    for (int i = 0; i < 9; i++) {
        peers.push_back(new Peer());
        Accept();
    }
    EXPECT_EQ(Qncan_ConnCnt(0), 8u);
    // A header announcing more than a request can hold drops that connection.
    Bytes bad = Header(0, 0, 0, 0, 0, 0xFFFF);
    peers[0]->Send(bad);
    QncanPass(5);
    EXPECT_EQ(Qncan_ConnCnt(0), 8u);  // the ninth took the freed slot
    for (Peer *p : peers) delete p;
    QncanPass(10);
    EXPECT_EQ(Qncan_ConnCnt(0), 0u);
}
