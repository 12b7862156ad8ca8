// The command protocol over TCP beyond single frames, driven by real
// loopback connections; the command processor's side is played through the
// channel functions it calls: multi-part requests cut into command frames,
// multi-part replies gathered into parts, challenge, lock, access filter,
// idle close.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "platform/plat_net.h"
#include "protocols/qncan.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loopback.h"
#include "tests/support/qncan_pump.h"
#include "tests/support/test_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
uint16_t kPort = 18770;

Bytes Frame(const Bytes &payload, uint16_t level = 0, uint16_t cmd = 0, uint32_t access = 0) {
    Bytes f(QNCAN_HDR, 0);
    LE_Put32(&f[0], access);
    LE_Put16(&f[4], level);
    LE_Put16(&f[6], 0x1234);
    LE_Put16(&f[8], 0xABCD);
    LE_Put16(&f[10], cmd);
    LE_Put16(&f[26], uint16_t(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

struct Peer : test_support::QncanPeer {
    Peer() : QncanPeer(kPort, 300) {}
};

using test_support::QncanNext;
using test_support::QncanPass;
using test_support::QncanReceived;
Bytes Payload(const Bytes &r) { return r.size() < QNCAN_HDR ? Bytes{} : Bytes(r.begin() + QNCAN_HDR, r.end()); }
uint8_t SumWithSeed(const Bytes &b) {
    uint8_t s = uint8_t(crc_header[3] & 0x7F);
    for (uint8_t v : b) s = uint8_t(s + v);
    return s;
}
// A command-processor data frame: 255, n, data, checksum.
Bytes DataFrame(const Bytes &data) {
    Bytes f = {255, uint8_t(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(uint8_t(-SumWithSeed(f)));
    return f;
}

class QncanTest : public ::testing::Test {
protected:
    void SetUp() override {
        kPort = test_support::TestPort(18770);
        plat_net = &plat_net_own;
        QncanPort = kPort;
        plc_reg.fill(0);
        crc_header[3] = 0x25;
        Dpr_Init();
        Etn_Reset();
        static std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
        ip_ = {};
        ip_.nx_ip_name = "eth0";
        ip_.nx_ip_default_packet_pool = &pool_;
        ASSERT_EQ(Qncan_Init(&ip_, &pool_), NX_SUCCESS);
    }
    void TearDown() override {
        for (auto &slot : QncanState[0].slots) _nx_tcp_socket_delete(&slot.socket);
        plat_net = nullptr;
        QncanPort = QNCAN_PORT;
    }
    NX_PACKET_POOL pool_{};
    NX_IP ip_{};
};

}  // namespace

TEST_F(QncanTest, MultiPartRequestCutIntoFramesAndRepliesGatheredIntoParts) {
    Peer a;
    QncanPass(5);
    a.Send(Frame({4, 2, 0, 22, 0}));
    EXPECT_EQ(QncanNext().size(), 5u);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});

    // 150 data bytes: frames of 64, 64 and 22, each checksummed with the
    // seed; only the answer to the last reaches the host.
    Bytes data(150);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7);
    Bytes packet = {255, 0};
    packet.insert(packet.end(), data.begin(), data.end());
    packet.push_back(0x5A);
    a.Send(Frame(packet));
    Peer b;  // meanwhile another connection asks
    QncanPass(3);
    size_t pos = 0;
    for (size_t n : {64u, 64u, 22u}) {
        const Bytes f = QncanNext();
        ASSERT_EQ(f.size(), n + 3) << pos;
        EXPECT_EQ(f[1], n);
        EXPECT_EQ(Bytes(f.begin() + 2, f.end() - 1), Bytes(data.begin() + long(pos), data.begin() + long(pos + n)));
        EXPECT_EQ(SumWithSeed(f), 0);
        pos += n;
        if (pos == 64) {
            b.Send(Frame({1, 1, 0, 0}));
            QncanPass(3);
            const Bytes busy = b.Reply();
            EXPECT_EQ(Payload(busy), Bytes{0x60});
            EXPECT_EQ(LE_Get16(&busy[10]), 8);
        }
        Etn_PutTx(0xA0);
        QncanPass(2);
    }
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    EXPECT_TRUE(a.Reply(50).empty());
    // The empty packet closes the file; a packet too short for its own
    // marker and checksum is refused.
    a.Send(Frame({255, 0, 0x11}));
    const Bytes last = QncanNext();
    EXPECT_EQ(last.size(), 3u);
    EXPECT_EQ(SumWithSeed(last), 0);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    a.Send(Frame({4, 2, 0, 22, 0}));
    QncanNext();
    Etn_PutTx(0xA0);
    QncanPass(2);
    a.Reply();
    a.Send(Frame({255, 0}));
    QncanPass(3);
    EXPECT_EQ(Payload(a.Reply()), Bytes{9});
    EXPECT_EQ(QncanState[0].recv_state, QR_SINGLE);
    Etn_PutTx(112);
    QncanPass(2);

    // Upload at level 2 with word 282 = 327: parts of 256 bytes, the frames
    // inside a part accepted by the server itself, each part after a host
    // frame; a short last part, then one with no data.
    PlcWordSet(282, 327);
    EXPECT_EQ(QncanPartSize(), 256u);
    a.Send(Frame({5, 3, 0, 22, 0, 0}, 2));
    EXPECT_EQ(QncanNext().size(), 6u);
    // The answer that announces the parts finds no packet: it is offered
    // again, and still goes out as a frame of its own.
    std::vector<NX_PACKET *> held;
    for (NX_PACKET *pk = nullptr; _nx_packet_allocate(&pool_, &pk, 0, 0) == NX_SUCCESS;) held.push_back(pk);
    ASSERT_FALSE(held.empty());
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_TRUE(a.Reply(50).empty());
    EXPECT_EQ(QncanState[0].send_state, QS_ANNOUNCED);
    for (NX_PACKET *pk : held) _nx_packet_release(pk);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    Bytes file(256 + 128);
    for (size_t i = 0; i < file.size(); i++) file[i] = uint8_t(i ^ 0x3C);
    for (size_t off = 0; off < file.size(); off += 64) {
        const Bytes f = DataFrame(Bytes(file.begin() + long(off), file.begin() + long(off + 64)));
        Etn_PutnTx(f.data(), uint32_t(f.size()));
        QncanPass(2);
        if (off + 64 == 256) {
            const Bytes part = a.Reply();
            ASSERT_EQ(part.size(), QNCAN_HDR + 259);
            EXPECT_EQ(LE_Get16(&part[26]), 259);
            EXPECT_EQ(part[QNCAN_HDR], 255);
            EXPECT_EQ(part[QNCAN_HDR + 1], 0);
            EXPECT_EQ(Bytes(part.begin() + QNCAN_HDR + 2, part.end() - 1), Bytes(file.begin(), file.begin() + 256));
            EXPECT_EQ(SumWithSeed(Payload(part)), 0);
            a.Send(Frame({0xA0}, 2));
        }
        EXPECT_EQ(QncanNext(), Bytes{0xA0}) << off;
    }
    EXPECT_TRUE(a.Reply(50).empty());
    const Bytes empty = DataFrame({});
    Etn_PutnTx(empty.data(), uint32_t(empty.size()));
    QncanPass(2);
    const Bytes part2 = a.Reply();
    ASSERT_EQ(part2.size(), QNCAN_HDR + 131);
    EXPECT_EQ(Bytes(part2.begin() + QNCAN_HDR + 2, part2.end() - 1), Bytes(file.begin() + 256, file.end()));
    EXPECT_EQ(SumWithSeed(Payload(part2)), 0);
    QncanPass(3);
    EXPECT_TRUE(a.Reply(50).empty());  // the empty frame waits for the host
    a.Send(Frame({0xA0}, 2));
    QncanPass(3);
    EXPECT_EQ(Etn_CheckRx(), 0u);  // ... whose frame only lets it go
    const Bytes end = a.Reply();
    EXPECT_EQ(Payload(end), (Bytes{255, 0, uint8_t(-SumWithSeed({255, 0}))}));
    EXPECT_EQ(QncanState[0].send_state, QS_IDLE);
    // A one-byte request 4 has no part count behind it: a single request.
    a.Send(Frame({4}));
    EXPECT_EQ(QncanNext(), Bytes{4});
    EXPECT_EQ(QncanState[0].recv_state, QR_SINGLE);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    // A reply of 66 bytes goes out whole.
    a.Send(Frame({1, 1, 0, 0}));
    EXPECT_EQ(QncanNext().size(), 4u);
    Bytes reply(66);
    for (size_t i = 0; i < reply.size(); i++) reply[i] = uint8_t(0x10 + i);
    Etn_PutnTx(reply.data(), uint32_t(reply.size()));
    QncanPass(2);
    const Bytes whole = a.Reply();
    ASSERT_EQ(whole.size(), QNCAN_HDR + 66);
    EXPECT_EQ(LE_Get16(&whole[26]), 66);
    EXPECT_EQ(Payload(whole), reply);
    // An empty reply is the header alone.
    a.Send(Frame({1, 1, 0, 0}));
    EXPECT_EQ(QncanNext().size(), 4u);
    Etn_PutnTx(reply.data(), 0);
    QncanPass(2);
    const Bytes bare = a.Reply();
    ASSERT_EQ(bare.size(), QNCAN_HDR);
    EXPECT_EQ(LE_Get16(&bare[26]), 0);

    // The last part of an upload whose send fails closes the connection and
    // ends the upload with it: the next frame, from another connection, goes
    // to the command processor rather than being taken for the host's word
    // that lets a last part go.
    a.Send(Frame({5, 3, 0, 22, 0, 0}, 2));
    EXPECT_EQ(QncanNext().size(), 6u);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    const Bytes some = DataFrame(Bytes(file.begin(), file.begin() + 64));
    Etn_PutnTx(some.data(), uint32_t(some.size()));
    QncanPass(2);
    EXPECT_EQ(QncanNext(), Bytes{0xA0});
    const uint8_t owner = QncanState[0].active;
    ASSERT_LT(owner, QNCAN_SLOTS);
    const Bytes none = DataFrame({});
    Etn_PutnTx(none.data(), uint32_t(none.size()));
    QncanState[0].slots[owner].socket.writable = 0;  // the peer's window is full
    QncanPass(2);
    EXPECT_NE(QncanState[0].slots[owner].socket.state, NX_TCP_ESTABLISHED);
    EXPECT_EQ(QncanState[0].send_state, QS_IDLE);
    b.Send(Frame({1, 1, 0, 0}));
    EXPECT_EQ(QncanNext().size(), 4u);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(b.Reply()), Bytes{0xA0});
}

TEST_F(QncanTest, ChallengeLockAccessFilterAndIdleClose) {
    test_support::FakeClock clock;
    PlcWordSet(171, 17);
    PlcWordSet(176, 2026);
    std::memcpy(&DprMap[DPR_CLOCK], &plc_reg[342], 12);
    Peer a;
    QncanPass(5);
    // 0x40 with no challenge asked, access 0: refused.
    a.Send(Frame({}, 0, 0x40, 0));
    QncanPass(3);
    Bytes r = a.Reply();
    EXPECT_EQ(LE_Get16(&r[10]), 1);
    EXPECT_EQ(LE_Get16(&r[26]), 0);
    // The register set-up does not turn the filter on: its first entry
    // reaches the channel with its enable bit cleared, so a tool with any
    // access word is served.
    plc_reg[REG_ETN_FLAGS_BYTE] = 0x10;
    LE_Put32(&plc_reg[REG_ETN_ACCESS_BYTE], 0x1111);
    Etn_UpdateSecurity();
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
    EXPECT_EQ(QncanNext().size(), 4u);
    Etn_PutTx(112);
    QncanPass(2);
    // The filter: entries 0 and 1 enabled.
    uint8_t *box = &DprMap[ETN_RX_ACK];
    LE_Put32(box + 152, 0x1111);
    LE_Put32(box + 156, 0x2222);
    box[168] = 0x10;
    box[169] = 0x10;
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
    QncanPass(3);
    r = a.Reply();
    EXPECT_EQ(LE_Get16(&r[10]), 1);
    EXPECT_EQ(Etn_CheckRx(), 0u);
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x2222));
    EXPECT_EQ(QncanNext().size(), 4u);
    // A challenge: command 0x20, no payload; answering it unlocks.
    a.Send(Frame({}, 0, 0x20));
    QncanPass(3);
    r = a.Reply();
    EXPECT_EQ(LE_Get16(&r[10]), 0x20);
    EXPECT_EQ(LE_Get16(&r[26]), 0);
    const uint32_t challenge = QncanChallengeOf(LE_Get32(&r[0]));
    EXPECT_EQ(challenge, (17u + 2026u) * 17u * QNCAN_CHALLENGE_FACTOR);
    a.Send(Frame({}, 0, 0x40, challenge + 1));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 1);  // wrong, and the challenge is spent
    a.Send(Frame({}, 0, 0x40, challenge));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 1);
    a.Send(Frame({}, 0, 0x20));
    QncanPass(3);
    const uint32_t c2 = QncanChallengeOf(LE_Get32(&a.Reply()[0]));
    a.Send(Frame({}, 0, 0x40, c2));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 0);
    Etn_PutTx(112);
    QncanPass(2);
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
    EXPECT_EQ(QncanNext().size(), 4u);
    // 0x80 locks again.
    Etn_PutTx(112);
    QncanPass(2);
    a.Send(Frame({}, 0, 0x80));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 0);
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 1);
    // An unlock lasts 60 s.
    a.Send(Frame({}, 0, 0x20));
    QncanPass(3);
    a.Send(Frame({}, 0, 0x40, QncanChallengeOf(LE_Get32(&a.Reply()[0]))));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 0);
    for (int i = 0; i < 2; i++) {  // still open at 58 s (and the connection kept alive)
        test_support::FakeClock::AdvanceMs(29000);
        a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
        EXPECT_EQ(QncanNext().size(), 4u) << i;
        Etn_PutTx(112);
        QncanPass(2);
    }
    test_support::FakeClock::AdvanceMs(3000);
    a.Send(Frame({1, 1, 0, 0}, 0, 0, 0x3333));
    QncanPass(3);
    EXPECT_EQ(LE_Get16(&a.Reply()[10]), 1);

    // 30 s without a frame closes the connection.
    test_support::FakeClock::AdvanceMs(29900);
    QncanPass(2);
    EXPECT_EQ(Qncan_ConnCnt(0), 1u);
    test_support::FakeClock::AdvanceMs(200);
    QncanPass(2);
    EXPECT_EQ(Qncan_ConnCnt(0), 0u);
    a.Reply(50);
    EXPECT_TRUE(a.closed);
}

// A part of an upload that finds no packet when it closes is kept whole and
// goes once a packet is free: the reply frame that closed it waits in the
// channel, offered again, and the host gets every byte in order.
TEST_F(QncanTest, AnUploadPartWithoutAPacketGoesWholeOnceOneIsFree) {
    Peer a;
    QncanPass(5);
    PlcWordSet(282, 135);  // parts of 64 bytes
    ASSERT_EQ(QncanPartSize(), 64u);
    a.Send(Frame({5, 3, 0, 22, 0, 0}, 2));
    EXPECT_EQ(QncanNext().size(), 6u);
    Etn_PutTx(0xA0);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), Bytes{0xA0});
    Bytes file(96);
    for (size_t i = 0; i < file.size(); i++) file[i] = uint8_t(0xC3 ^ i);
    auto hold = [&] {
        std::vector<NX_PACKET *> held;
        for (NX_PACKET *pk = nullptr; _nx_packet_allocate(&pool_, &pk, 0, 0) == NX_SUCCESS;) held.push_back(pk);
        return held;
    };
    auto part = [](const Bytes &data) {
        Bytes p = {255, 0};
        p.insert(p.end(), data.begin(), data.end());
        p.push_back(uint8_t(-SumWithSeed(p)));
        return p;
    };
    // A full part: its closing frame finds no packet.
    std::vector<NX_PACKET *> held = hold();
    ASSERT_FALSE(held.empty());
    const Bytes first = DataFrame(Bytes(file.begin(), file.begin() + 64));
    Etn_PutnTx(first.data(), uint32_t(first.size()));
    QncanPass(3);
    EXPECT_TRUE(a.Reply(50).empty());
    EXPECT_EQ(Etn_TxPending(), 1u) << "the frame waits in the channel";
    for (NX_PACKET *pk : held) _nx_packet_release(pk);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), part(Bytes(file.begin(), file.begin() + 64)));
    EXPECT_EQ(Etn_TxPending(), 0u);
    a.Send(Frame({0xA0}, 2));
    EXPECT_EQ(QncanNext(), Bytes{0xA0});
    // A short last part, closed by the empty frame that finds no packet.
    const Bytes second = DataFrame(Bytes(file.begin() + 64, file.end()));
    Etn_PutnTx(second.data(), uint32_t(second.size()));
    QncanPass(2);
    EXPECT_EQ(QncanNext(), Bytes{0xA0});
    held = hold();
    const Bytes empty = DataFrame({});
    Etn_PutnTx(empty.data(), uint32_t(empty.size()));
    QncanPass(3);
    EXPECT_TRUE(a.Reply(50).empty());
    for (NX_PACKET *pk : held) _nx_packet_release(pk);
    QncanPass(2);
    EXPECT_EQ(Payload(a.Reply()), part(Bytes(file.begin() + 64, file.end())));
    a.Send(Frame({0xA0}, 2));
    QncanPass(3);
    EXPECT_EQ(Payload(a.Reply()), part({}));
    EXPECT_EQ(QncanState[0].send_state, QS_IDLE);
}
