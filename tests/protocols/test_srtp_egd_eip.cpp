// SRTP, EGD and EtherNet/IP in-process: the SRTP selector table through its
// edges and the IEC mapping, a session driven over loopback (framing, one
// message per pass, idle close); EGD clock conversions, message building and
// reception limits, and a produce-to-self loop through every status; the
// EPATH parser, the Forward_Open refusals in their order, sequence numbers
// over the wrap, class-3 connected data, data asked of a connection and the
// Connection object.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/storage/memfile.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/net.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/egd.h"
#include "protocols/eip.h"
#include "protocols/srtp.h"
#include "tests/support/byte_append.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_peer.h"
#include "tests/support/test_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }

std::array<uint8_t, 32 * (NX_PACKET_HEADER + 1520)> pool_mem alignas(16);

struct Net {
    NX_IP ip{};
    NX_PACKET_POOL pool{};
    Net() {
        plat_net = &plat_net_own;
        test_support::EthIp(ip, pool, pool_mem, "Packet Pool");
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_network_mask = 0xFF000000;
    }
    ~Net() { plat_net = nullptr; }
};

void Fresh() {
    plc_reg.fill(0);
    DrevanoRuntime = 0;
    Dpr_Init();
    std::memset(&Dpr_Configuration[0], 0, DPR_CONFIG_BYTES);
    LE_Put16(&DprMap[DPR_RUN], 1);
}

// Fresh() as a member, constructed before those that follow it.
struct Cleared {
    Cleared() { Fresh(); }
};

// ---- SRTP --------------------------------------------------------------------------------------------

TEST(SrtpBlocks, EverySelectorThroughItsEdgesAndTheIecMapping) {
    T_token = 12288;
    M_token = 14336;
    struct Case {
        uint32_t sel, off, cnt, ref, bits, bad;
    };
    const Case cases[] = {
        {8, 0, 3, 32768, 48, 0},    {8, 49998, 1, 832736, 16, 0}, {8, 49999, 1, 832752, 16, 1},
        {8, 0, 4096, 32768, 0, 0},  {8, 0, 4097, 32768, 16, 0},   {10, 511, 1, 24560, 16, 0},
        {10, 512, 1, 24576, 16, 1}, {12, 0, 1, 24576, 16, 0},     {12, 511, 2, 32752, 32, 1},
        {16, 255, 1, 10232, 8, 0},  {16, 256, 1, 10240, 8, 1},    {18, 0, 8193, 10240, 8, 0},
        {20, 0, 1, 12288, 8, 0},    {20, 2048, 1, 28672, 8, 1},   {22, 2047, 1, 30712, 8, 0},
        {22, 2048, 1, 30720, 8, 1}, {70, 2047, 1, 10239, 1, 0},   {70, 2048, 1, 10240, 1, 1},
        {72, 5, 3, 10245, 3, 0},    {74, 16383, 1, 28671, 1, 0},  {76, 16383, 2, 30719, 2, 1},
        {9, 0, 1, 0, 0, 1},         {0, 0, 1, 0, 0, 1},           {236, 0, 1, 0, 0, 1},
    };
    for (const Case &c : cases) {
        const EtnReq b = SrtpMkRegBlk(c.sel, c.off, c.cnt);
        EXPECT_EQ(b.reference, c.ref) << c.sel << " " << c.off;
        EXPECT_EQ(b.count, c.bits) << c.sel << " " << c.off;
        EXPECT_EQ(SrtpCheckValid(c.sel, c.off, c.cnt), c.bad) << c.sel << " " << c.off;
    }
    // IEC mapping: the table's handle plus the word offset, bounded by its
    // words; both come from the interface's configuration as its parse
    // leaves them (the two values of record kind 0x00100000: words, handle).
    Dpr_Configuration[0].values[0] = 100;
    Dpr_Configuration[0].values[1] = 0xC4000000;
    EXPECT_EQ(z7SrtpMkRegBlk(8, 99, 1).reference, 0xC4000063u);
    EXPECT_EQ(z7SrtpCheckValid(8, 99, 1), 0u);
    EXPECT_EQ(z7SrtpCheckValid(8, 99, 2), 1u);
    EXPECT_EQ(z7SrtpMkRegBlk(16, 4, 2).reference, 0xC4000002u);
    EXPECT_EQ(z7SrtpCheckValid(9, 0, 1), 1u);
    // The second interface has a table of its own.
    Dpr_Configuration[1].values[0] = 10;
    Dpr_Configuration[1].values[1] = 0xC4000100;
    EXPECT_EQ(z7SrtpMkRegBlk(8, 9, 1, 1).reference, 0xC4000109u);
    EXPECT_EQ(z7SrtpCheckValid(8, 9, 1, 1), 0u);
    EXPECT_EQ(z7SrtpCheckValid(8, 10, 1, 1), 1u);
    Dpr_Configuration[0].values[1] = 0x04000000;
    EXPECT_EQ(z7SrtpCheckValid(8, 0, 1), 1u);
    Dpr_Configuration[0].values[0] = Dpr_Configuration[0].values[1] = 0;
    Dpr_Configuration[1].values[0] = Dpr_Configuration[1].values[1] = 0;
}

Bytes SrtpReq(uint16_t seq, uint8_t code, uint8_t sel, uint16_t off, uint16_t cnt, uint8_t mbox = 0xC0,
              const Bytes &text = {}) {
    Bytes m(56);
    m[0] = 2;
    LE_Put16(&m[2], seq);
    LE_Put32(&m[4], uint32_t(text.size()));
    m[9] = 1;
    m[31] = mbox;
    m[42] = code;
    m[43] = sel;
    LE_Put16(&m[44], off);
    LE_Put16(&m[46], cnt);
    test_support::AppendBytes(m, text);
    return m;
}

using Peer = test_support::LoopPeer;

void SrtpPass(int n = 1) {
    for (int i = 0; i < n; i++) {
        Srtp_Scan(0);
        EnetThread();
        usleep(1000);
    }
}

// The SRTP server of interface 0 on a test port, its records deleted after.
struct SrtpServed {
    test_support::FakeClock clock;
    Cleared cleared;  // the image and configuration, before the network
    Net net;
    explicit SrtpServed(uint16_t port) {
        Dpr_Configuration[0].enables[0] = EN0_B0;
        SrtpPortNumber = test_support::TestPort(port);
        init = Srtp_Init(&net.ip, &net.pool);
    }
    ~SrtpServed() {
        for (auto &slot : SrtpConnEth[0].slots) _nx_tcp_socket_delete(&slot.socket);
        SrtpConnEth[0].ip = nullptr;
    }
    uint32_t init;
};

TEST(SrtpSession, FramingOneMessagePerPassPendingReadsAndIdleClose) {
    SrtpServed served(18300);
    ASSERT_EQ(served.init, 0u);
    Peer a(SrtpPortNumber);
    SrtpPass(3);
    ASSERT_EQ(Srtp_Conn_Cnt(0), 1u);
    PlcReg_Set(R(1), "\x11\x22\x33\x44", 32);
    // Two reads in one write: the first is taken, answered on the next pass
    // from the registers as they are then; the second waits its turn.
    Bytes two = SrtpReq(1, 4, 8, 0, 1);
    const Bytes second = SrtpReq(2, 4, 8, 1, 1);
    two.insert(two.end(), second.begin(), second.end());
    a.Send(two);
    a.WaitDelivered();
    SrtpPass();
    EXPECT_TRUE(a.Take(20).empty());
    EXPECT_EQ(SrtpConnEth[0].slots[0].read_pending + SrtpConnEth[0].slots[1].read_pending, 1);
    PlcReg_Set(R(1), "\x55\x66", 16);
    SrtpPass();
    Bytes got = a.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 50), (Bytes{0x55, 0x66, 0, 0, 0, 0}));
    SrtpPass();
    got = a.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(got[2], 2);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 46), (Bytes{0x33, 0x44}));
    // A long write split at an odd place is taken whole.
    Bytes text(3000);
    for (size_t i = 0; i < text.size(); i++) text[i] = uint8_t(i * 13);
    const Bytes w = SrtpReq(3, 7, 8, 9, 1500, 0x93, text);
    a.Send(Bytes(w.begin(), w.begin() + 1001));
    a.WaitDelivered();
    SrtpPass(2);
    EXPECT_TRUE(a.Take(20).empty());
    a.Send(Bytes(w.begin() + 1001, w.end()));
    a.WaitDelivered();
    SrtpPass(3);
    got = a.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(got[31], 0xD4);
    EXPECT_EQ(Dpr_Get_W_Data(R(10)), LE_Get16(&text[0]));
    EXPECT_EQ(Dpr_Get_W_Data(R(1509)), LE_Get16(&text[2998]));
    // A read of 2,048 words: 56 + 1,388, then the rest of its 4,096 bytes.
    a.Send(SrtpReq(4, 4, 8, 9, 2048));
    a.WaitDelivered();
    SrtpPass(2);
    got = a.Take(100);
    ASSERT_EQ(got.size(), 56u + 4096u);
    EXPECT_EQ(LE_Get32(&got[4]), 4096u);
    EXPECT_EQ(Bytes(got.begin() + 56, got.begin() + 56 + 3000), text);
    // Bits: the bytes that carry them, as they lie (%M4..%M11: bits 3-7, then 0-2).
    PlcReg_Set(M_token, "\xF0\x05", 16);
    Bytes bitreq = SrtpReq(5, 4, 76, 3, 8);
    a.Send(bitreq);
    a.WaitDelivered();
    SrtpPass(2);
    got = a.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 50), (Bytes{0xF0, 0x05, 0, 0, 0, 0}));
    // A bit write takes its carrying bytes from the message, here %M4..%M6 = 1, 0, 1.
    Bytes bitw = SrtpReq(6, 7, 76, 3, 3);
    bitw[48] = 0x28;
    a.Send(bitw);
    a.WaitDelivered();
    SrtpPass(2);
    EXPECT_EQ(a.Take().size(), 56u);
    EXPECT_EQ(Dpr_Get_W_Data(M_token), 0x05E8);
    // Silent for 60 s: still open; past it: closed.
    test_support::FakeClock::AdvanceMs(60000);
    SrtpPass(2);
    EXPECT_EQ(Srtp_Conn_Cnt(0), 1u);
    test_support::FakeClock::AdvanceMs(2);
    SrtpPass(2);
    EXPECT_EQ(Srtp_Conn_Cnt(0), 0u);
    a.Take();
    EXPECT_TRUE(a.closed);
}

TEST(SrtpSession, ReadTakenAfterWaitIsAnsweredAfterTheScan) {
    SrtpServed served(18320);
    ASSERT_EQ(served.init, 0u);
    Peer a(SrtpPortNumber);
    SrtpPass(3);
    ASSERT_EQ(Srtp_Conn_Cnt(0), 1u);
    SrtpPlcPriv = 2;
    // The answer to a read of %R5 with sequence s, the register's bytes as they lie.
    auto answer = [](uint8_t seq, uint8_t lo, uint8_t hi) {
        Bytes t(56);
        t[0] = 3;
        t[2] = seq;
        t[17] = 1;
        t[31] = 0xD4;
        t[44] = lo;
        t[45] = hi;
        t[50] = 0xFF;
        t[51] = 2;
        t[52] = 0x74;
        return t;
    };
    PlcReg_Set(R(5), "\x11\x22", 16);
    a.Send(SrtpReq(7, 4, 8, 4, 1));
    a.WaitDelivered();
    PLAT_PollHarvest(false);  // the readiness set reports the input, as the loop's wait does
    Srtp_AfterWait(0);
    EXPECT_TRUE(a.Take(20).empty());
    PlcReg_Set(R(5), "\x33\x44", 16);  // what the scan writes
    Srtp_AfterScan(0);
    EXPECT_EQ(a.Take(), answer(7, 0x33, 0x44));
    SrtpPass(2);
    EXPECT_TRUE(a.Take(20).empty());
    // With the service off the answer waits for it.
    a.Send(SrtpReq(8, 4, 8, 4, 1));
    a.WaitDelivered();
    PLAT_PollHarvest(false);
    Srtp_AfterWait(0);
    Dpr_Configuration[0].enables[0] = 0;
    Srtp_AfterScan(0);
    EXPECT_TRUE(a.Take(20).empty());
    Dpr_Configuration[0].enables[0] = EN0_B0;
    // A second read sent before the next scan waits behind the one held
    // back: both are answered, in the order they came.
    PlcReg_Set(R(6), "\x55\x66", 16);
    a.Send(SrtpReq(9, 4, 8, 5, 1));
    a.WaitDelivered();
    PLAT_PollHarvest(false);
    Srtp_AfterWait(0);
    Srtp_AfterScan(0);
    EXPECT_EQ(a.Take(), answer(8, 0x33, 0x44));
    SrtpPass();
    Srtp_AfterScan(0);
    EXPECT_EQ(a.Take(), answer(9, 0x55, 0x66));
}

// Lengths to their last byte: data carried in the header, a text shorter
// than the data asked, the longest text, the first read that needs a text.
TEST(SrtpSession, LengthsToTheLastByte) {
    SrtpServed served(18330);
    ASSERT_EQ(served.init, 0u);
    Peer a(SrtpPortNumber);
    SrtpPass(3);
    ASSERT_EQ(Srtp_Conn_Cnt(0), 1u);
    auto ask = [&a](const Bytes &m, size_t want) {
        a.Send(m);
        a.WaitDelivered();
        Bytes got;
        for (int i = 0; i < 1000 && got.size() < want; i++) {
            SrtpPass();
            test_support::AppendBytes(got, a.Take(5));
        }
        EXPECT_EQ(got.size(), want);
        got.resize(std::max(got.size(), size_t(56)));
        return got;
    };
    // Four words in the header (form 1 carries eight bytes there).
    Bytes w = SrtpReq(1, 7, 8, 20, 4);
    for (uint8_t i = 0; i < 8; i++) w[48 + i] = uint8_t(i + 1);
    Bytes got = ask(w, 56);
    EXPECT_EQ(got[0], 3);
    EXPECT_EQ(got[31], 0xD4);
    EXPECT_EQ(Dpr_Get_W_Data(R(21)), 0x0201u);
    EXPECT_EQ(Dpr_Get_W_Data(R(24)), 0x0807u);
    // Two words asked, a text of one: an error answer, nothing written.
    got = ask(SrtpReq(2, 7, 8, 30, 2, 0x80, {0xAA, 0xBB}), 56);
    EXPECT_EQ(got[0], 5);
    EXPECT_EQ(LE_Get16(&got[2]), 2u);
    EXPECT_EQ(LE_Get16(&got[8]), 1u);
    EXPECT_EQ(Dpr_Get_W_Data(R(31)), 0u);
    // The longest text: 2,048 words.
    Bytes text(4096);
    for (size_t i = 0; i < text.size(); i++) text[i] = uint8_t(i * 7);
    got = ask(SrtpReq(3, 7, 8, 0, 2048, 0x93, text), 56);
    EXPECT_EQ(got[31], 0xD4);
    EXPECT_EQ(Dpr_Get_W_Data(R(2048)), LE_Get16(&text[4094]));
    // 56 bits of %M: 7 bytes, a text answer (6 would fit the header).
    M_token = 14336;
    PlcReg_Set(M_token, "\x01\x02\x03\x04\x05\x06\x07", 56);
    got = ask(SrtpReq(4, 4, 76, 0, 56), 63);
    EXPECT_EQ(LE_Get32(&got[4]), 7u);
    EXPECT_EQ(Bytes(got.begin() + 56, got.end()), (Bytes{1, 2, 3, 4, 5, 6, 7}));
    // 48 bits: the six bytes in the header (bytes 44-49), no text.
    got = ask(SrtpReq(5, 4, 76, 0, 48), 56);
    EXPECT_EQ(LE_Get32(&got[4]), 0u);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 50), (Bytes{1, 2, 3, 4, 5, 6}));
    // Bits that do not fill their carrying bytes: %M4..%M53 (50 bits) lie in
    // bits 3-7 of the first byte to bits 0-4 of the seventh; the other bits
    // of those bytes read 0, never what the previous answer held there.
    PlcReg_Set(M_token, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 56);
    got = ask(SrtpReq(6, 4, 76, 0, 56), 63);
    EXPECT_EQ(Bytes(got.begin() + 56, got.end()), Bytes(7, 0xFF));
    PlcReg_Set(M_token, "\x00\x00\x00\x00\x00\x00\x00", 56);
    uint8_t on = 1;
    PlcReg_Set(M_token + 3, &on, 1);   // %M4
    PlcReg_Set(M_token + 52, &on, 1);  // %M53
    got = ask(SrtpReq(7, 4, 76, 3, 50), 63);
    EXPECT_EQ(LE_Get32(&got[4]), 7u);
    EXPECT_EQ(Bytes(got.begin() + 56, got.end()), (Bytes{0x08, 0, 0, 0, 0, 0, 0x10}));

    // Framing: 56 bytes and the text length at byte 4; 4,096 is the longest.
    static SrtpSlot slot;
    slot.rx_len = 56;
    LE_Put32(&slot.rx[4], 10);
    EXPECT_EQ(SrtpFrameLength(slot), 0u);
    slot.rx_len = 66;
    EXPECT_EQ(SrtpFrameLength(slot), 66u);
    LE_Put32(&slot.rx[4], 4096);
    EXPECT_EQ(SrtpFrameLength(slot), 0u);
    LE_Put32(&slot.rx[4], 4097);
    EXPECT_EQ(SrtpFrameLength(slot), 0xFFFFFFFFu);
}

TEST(SrtpSession, AnAnswerThatCannotGoOutWholeClosesTheConnection) {
    SrtpServed served(18310);
    ASSERT_EQ(served.init, 0u);
    Peer a(SrtpPortNumber);
    const int small = 1;
    setsockopt(a.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    SrtpPass(3);
    ASSERT_EQ(Srtp_Conn_Cnt(0), 1u);
    for (auto &slot : SrtpConnEth[0].slots) {
        if (slot.socket.accepted_fd >= 0)
            setsockopt(slot.socket.accepted_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    // Reads of 2,048 words, one after another, from a peer that reads none
    // of the 4,152-byte answers: once the connection is full an answer is cut,
    // and the connection is closed instead of going on unframed. What came
    // is answers in order, only the last one cut.
    Bytes reads;
    for (uint16_t i = 0; i < 100; i++) {
        const Bytes r = SrtpReq(i, 4, 8, 0, 2048);
        reads.insert(reads.end(), r.begin(), r.end());
    }
    a.Send(reads);
    for (int pass = 0; pass < 400 && Srtp_Conn_Cnt(0) != 0; pass++) SrtpPass();
    EXPECT_EQ(Srtp_Conn_Cnt(0), 0u);
    const Bytes got = a.Take(100);
    EXPECT_TRUE(a.closed);
    ASSERT_GT(got.size(), 0u);
    for (size_t k = 0; 4152 * k + 4 <= got.size(); k++) EXPECT_EQ(LE_Get16(&got[4152 * k + 2]), k);
}

// ---- EGD ---------------------------------------------------------------------------------------------

// As many hosts as records, one session each: a session that never handed
// on a whole message gives way before a client that polls, however long ago
// that client last asked. A session whose read waits for its answer is never
// the one closed: the newcomer waits until the answer went out whole.
TEST(SrtpSession, ANewcomerClosesFirstWhatNeverAskedAndNeverASessionAtWork) {
    SrtpServed served(18320);
    ASSERT_EQ(served.init, 0u);
    constexpr uint32_t kPoller = 0x7F000002;
    PlcReg_Set(R(1), "\x12\x34", 16);
    Peer poller(SrtpPortNumber, kPoller);
    ASSERT_TRUE(poller.connected);
    SrtpPass(3);
    poller.Send(SrtpReq(1, 4, 8, 0, 1));
    poller.WaitDelivered();
    SrtpPass(3);
    Bytes got = poller.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(LE_Get16(&got[2]), 1u);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 50), (Bytes{0x12, 0x34, 0, 0, 0, 0}));
    std::vector<std::unique_ptr<Peer>> others;
    for (uint32_t i = 1; i < SRTP_SLOTS; i++) {
        test_support::FakeClock::AdvanceMs(1000);
        others.push_back(std::make_unique<Peer>(SrtpPortNumber, kPoller + i));
        ASSERT_TRUE(others.back()->connected);
        others.back()->Send({2});  // never a whole message
        SrtpPass(3);
    }
    ASSERT_EQ(Srtp_Conn_Cnt(0), SRTP_SLOTS);
    test_support::FakeClock::AdvanceMs(1000);
    Peer newcomer(SrtpPortNumber, kPoller + SRTP_SLOTS);
    SrtpPass(6);
    others[0]->Take(5);
    EXPECT_TRUE(others[0]->closed) << "the oldest that never asked gives way";
    for (std::size_t i = 1; i < others.size(); i++) {
        others[i]->Take(5);
        EXPECT_FALSE(others[i]->closed) << i;
    }
    poller.Take(5);
    EXPECT_FALSE(poller.closed);
    EXPECT_EQ(Srtp_Conn_Cnt(0), SRTP_SLOTS);

    // The poller's read is taken and waits for its answer; a second session
    // of its host (whose own session is then the only candidate) waits
    // meanwhile, and the poller gets its answer whole before it gives way.
    PlcReg_Set(R(1), "\x56\x78", 16);
    poller.Send(SrtpReq(2, 4, 8, 0, 1));
    poller.WaitDelivered();
    auto reading = [] {
        for (const auto &slot : SrtpConnEth[0].slots) {
            if (slot.read_pending) return true;
        }
        return false;
    };
    for (int i = 0; i < 200 && !reading(); i++) {
        Srtp_Scan(0);
        EnetThread();
    }
    ASSERT_TRUE(reading());
    test_support::FakeClock::AdvanceMs(5000);
    Peer second(SrtpPortNumber, kPoller);
    SrtpPass(6);
    got = poller.Take();
    ASSERT_EQ(got.size(), 56u);
    EXPECT_EQ(LE_Get16(&got[2]), 2u);
    EXPECT_EQ(Bytes(got.begin() + 44, got.begin() + 50), (Bytes{0x56, 0x78, 0, 0, 0, 0}));
    EXPECT_TRUE(poller.closed) << "answered, it gives way to its host's newcomer";
}

TEST(EgdClock, SecondsToTheClockRecordAndBack) {
    struct Case {
        uint32_t seconds;
        std::array<uint16_t, 6> clock;
    };
    const Case cases[] = {
        {1710510330, {30, 45, 13, 15, 3, 2024}}, {0, {0, 0, 0, 1, 1, 1970}},
        {951782400, {0, 0, 0, 29, 2, 2000}},     {4294967295u, {15, 28, 6, 7, 2, 2106}},
        {1709164799, {59, 59, 23, 28, 2, 2024}},
    };
    for (const Case &c : cases) {
        uint16_t w[7];
        EgdClockOf(c.seconds, 250, w);
        EXPECT_EQ((std::array<uint16_t, 6>{w[0], w[1], w[2], w[3], w[4], w[5]}), c.clock) << c.seconds;
        EXPECT_EQ(w[6], 250);
        EXPECT_EQ(EgdSecondsOf(c.clock.data()), c.seconds);
    }
    const uint16_t bad[6] = {0, 0, 0, 1, 13, 2024};
    EXPECT_EQ(EgdSecondsOf(bad), 0u);
}

TEST(EgdMessages, BuildStopsAt1400BytesReceptionStopsAtTheEnd) {
    Fresh();
    Net net;
    EGDConnEth[0] = EgdState{};
    EGDConnEth[0].ip = &net.ip;
    net.ip.nx_ip_address = 0x0A4D0002;
    DprConfigRec &c = Dpr_Configuration[0];
    PlcReg_Set(R(1), "\x11\x11\x22\x22\x33\x33", 48);
    c.egd[0] = {};
    c.egd[0].kind = 0x80000003;
    const uint32_t items[][2] = {{R(1), 4},     {R(9), 0xC003}, {R(8), 0x2000}, {R(3), 2},
                                 {R(700), 700}, {R(2), 700},    {R(3), 1}};
    for (unsigned i = 0; i < 7; i++) {
        c.egd[0].items[i][0] = items[i][0];
        c.egd[0].items[i][1] = items[i][1];
    }
    EGDConnEth[0].counter[0] = 0x1234;
    std::array<uint8_t, EGD_HDR + EGD_DATA_MAX> buf{};
    // 4 + 2 + 700 bytes; the second 700 would pass 1,400, so it and what follows stay out.
    ASSERT_EQ(EgdBuild(0, 0, 0x101, 1710510330, buf.data()), 32u + 706u);
    const Bytes head{0x0D, 0x01, 0x34, 0x12, 0x0A, 0x4D, 0x00, 0x02, 0x01, 0x01, 0x00, 0x00, 0xFA, 0x50, 0xF4, 0x65};
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 16), head);
    EXPECT_EQ(Bytes(buf.begin() + 16, buf.begin() + 32), Bytes(16));
    EXPECT_EQ(Bytes(buf.begin() + 32, buf.begin() + 38), (Bytes{0x11, 0x11, 0x22, 0x22, 0x33, 0x33}));
    EXPECT_EQ(EGDConnEth[0].counter[0], 0x1235);

    // Reception: a consumed exchange whose second data item passes the end.
    c.egd[1] = {};
    c.egd[1].kind = 0x80000001;
    c.egd[1].header[0] = 0x202;
    c.egd[1].header[1] = 0x0A4D0003;
    const uint32_t in[][2] = {{R(20), 4}, {R(22), 4}, {R(30), 0x2000}};
    for (unsigned i = 0; i < 3; i++) {
        c.egd[1].items[i][0] = in[i][0];
        c.egd[1].items[i][1] = in[i][1];
    }
    Bytes m(32 + 6);
    m[0] = 13;
    m[1] = 1;
    BE_Put32(&m[4], 0x0A4D0003);
    LE_Put32(&m[8], 0x202);
    LE_Put32(&m[12], 1710510330);
    m[32] = 0xAA;
    m[35] = 0xBB;
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 1u);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(20)), 0xBB0000AAu);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(22)), 0u);
    EXPECT_EQ(Dpr_Get_W_Data(R(30)), 0u);
    EXPECT_EQ(EGDConnEth[0].status[1], EGD_ST_OK);
    // Short, of another type, another producer: dropped.
    EXPECT_EQ(EgdReceive(0, m.data(), 31, 0), 0u);
    m[0] = 14;
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 0u);
    m[0] = 13;
    m[7] = 4;
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 0u);
    // The header alone is a message (no data item fits); a skip item that
    // ends at the last byte lets the time item after it take the stamp.
    m[7] = 3;
    EXPECT_EQ(EgdReceive(0, m.data(), 32, 0), 1u);
    c.egd[2] = {};
    c.egd[2].kind = 0x80000001;
    c.egd[2].header[0] = 0x203;
    c.egd[2].header[1] = 0x0A4D0003;
    c.egd[2].items[0][0] = 1;
    c.egd[2].items[0][1] = 0xC006;
    c.egd[2].items[1][0] = R(40);
    c.egd[2].items[1][1] = 0x2000;
    LE_Put32(&m[8], 0x203);
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 1u);
    EXPECT_EQ(Dpr_Get_W_Data(R(45)), 2024u);  // 2024-03-15 13:45:30
    EXPECT_EQ(Dpr_Get_W_Data(R(42)), 13u);
}

// An item that starts partway into a register byte moves its bits into the
// same bit positions of the message, so it touches one message byte past its
// length: at the 1,400-byte bound that byte lies past the message buffer.
TEST(EgdMessages, AnItemStartingInsideAByteStaysInsideTheMessage) {
    Fresh();
    Net net;
    EGDConnEth[0] = EgdState{};
    EGDConnEth[0].ip = &net.ip;
    DprConfigRec &c = Dpr_Configuration[0];
    const std::vector<uint8_t> ones(1401, 0xFF);
    PlcReg_Set(R(1), ones.data(), 1401 * 8);
    c.egd[0] = {};
    c.egd[0].kind = 0x80000003;
    // %R1 bit 3 on, 1,400 bytes: its bits fill message bytes 32 to 1432.
    c.egd[0].items[0][0] = R(1) + 3;
    c.egd[0].items[0][1] = 1400;
    // The buffer holds one message and a guard byte behind it (a heap block
    // of its exact size for AddressSanitizer's sake).
    std::vector<uint8_t> buf(EGD_HDR + EGD_DATA_MAX + 1, 0x5A);
    EXPECT_EQ(EgdBuild(0, 0, 0x101, 0, buf.data()), 32u) << "the item does not fit and stays out";
    EXPECT_EQ(buf[1432], 0x5A);
    std::vector<uint8_t> exact(EGD_HDR + EGD_DATA_MAX, 0);
    EXPECT_EQ(EgdBuild(0, 0, 0x101, 0, exact.data()), 32u);
    // 1,399 bytes at bit 3 touch bytes 32 to 1431, the last one: they fit.
    c.egd[0].items[0][1] = 1399;
    std::fill(buf.begin(), buf.end() - 1, 0);
    EXPECT_EQ(EgdBuild(0, 0, 0x101, 0, buf.data()), 32u + 1399u);
    EXPECT_EQ(buf[32], 0xF8);
    EXPECT_EQ(buf[1430], 0xFF);
    EXPECT_EQ(buf[1431], 0x07);
    EXPECT_EQ(buf[1432], 0x5A);
    // The same buffer for another message (as the producer's is): the bits
    // an item's first and last bytes do not carry are 0, not what the
    // previous message held there.
    std::fill(buf.begin(), buf.end() - 1, 0xFF);
    c.egd[0].items[0][0] = R(1000) + 3;
    c.egd[0].items[0][1] = 2;
    EXPECT_EQ(EgdBuild(0, 0, 0x101, 0, buf.data()), 32u + 2u);
    EXPECT_EQ(Bytes(buf.begin() + 32, buf.begin() + 34), (Bytes{0, 0}));

    // Consuming: the same item reads one byte past the received message.
    c.egd[1] = {};
    c.egd[1].kind = 0x80000001;
    c.egd[1].header[0] = 0x202;
    c.egd[1].header[1] = 0x0A4D0003;
    c.egd[1].items[0][0] = R(1000) + 3;
    c.egd[1].items[0][1] = 2;
    std::vector<uint8_t> m(32 + 2, 0);
    m[0] = 13;
    m[1] = 1;
    BE_Put32(&m[4], 0x0A4D0003);
    LE_Put32(&m[8], 0x202);
    m[32] = 0xFF;
    m[33] = 0xFF;
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 1u);
    EXPECT_EQ(Dpr_Get_W_Data(R(1000)), 0u) << "the item passes the message's end: nothing moved";
    m.push_back(0x01);
    EXPECT_EQ(EgdReceive(0, m.data(), uint32_t(m.size()), 0), 1u);
    EXPECT_EQ(Dpr_Get_W_Data(R(1000)), 0xFFF8u);
    EXPECT_EQ(Dpr_Get_W_Data(R(1001)), 0x0001u);
}

void EgdPass(int n = 1) {
    for (int i = 0; i < n; i++) {
        Egd_Scan(0);
        usleep(2000);
    }
}

// EGD on interface 0 with a test port, the image and configuration cleared
// first; its sockets deleted and the link down after.
struct EgdServed {
    test_support::FakeClock clock;
    Cleared cleared;  // the image and configuration, before the network
    Net net;
    DprConfigRec &c = Dpr_Configuration[0];
    explicit EgdServed(uint16_t port) {
        EgdPortNumber = test_support::TestPort(port);
        c.enables[0] = EN0_EGD;
    }
    ~EgdServed() {
        _nx_udp_socket_delete(&EGDConnEth[0].send);
        _nx_udp_socket_delete(&EGDConnEth[0].receive);
        EGDConnEth[0].ip = nullptr;
        Enet_LinkUp = 0;
    }
};

// Exchange record x of the configuration: its kind, the header's four
// words and its items (reference, length), the rest zero.
void EgdExchange(DprConfigRec &c, unsigned x, uint32_t kind, uint32_t id, uint32_t addr, uint32_t h2, uint32_t h3,
                 const std::vector<std::array<uint32_t, 2>> &items) {
    c.egd[x] = {};
    c.egd[x].kind = kind;
    c.egd[x].header[0] = id;
    c.egd[x].header[1] = addr;
    c.egd[x].header[2] = h2;
    c.egd[x].header[3] = h3;
    for (size_t i = 0; i < items.size(); i++) {
        c.egd[x].items[i][0] = items[i][0];
        c.egd[x].items[i][1] = items[i][1];
    }
}

TEST(EgdExchanges, ProducedToItselfThroughEveryStatus) {
    EgdServed served(18400);
    DprConfigRec &c = served.c;
    // 0x101 (ID in %R20) to ourselves every 100 ms; consumed back with a 500 ms
    // time-out; 0x999 never comes (300 ms). Status entries in item order.
    EgdExchange(c, 0, 0x80010003, R(20), 0x7F000001, 100, 0, {{R(1), 4}, {R(100), 0x8000}});
    EgdExchange(c, 1, 0x80000001, 0x101, 0x7F000001, 0, 500, {{R(10), 4}, {R(101), 0x8000}, {R(102), 0x8000}});
    EgdExchange(c, 2, 0x80000001, 0x999, 0x7F000001, 0, 300, {{R(103), 0x8000}});
    for (unsigned i = 0; i < 4; i++) Dpr_Add_Egd_Status_Req(R(100 + i), 0x8000, i);
    c.egd_status_count = 4;
    Dpr_Set_W_Data(R(20), 0x101);
    PlcReg_Set(R(1), "\x01\x02\x03\x04", 32);
    for (unsigned i = 0; i < 4; i++) Dpr_Set_W_Data(R(100 + i), 0xFFFF);
    Enet_LinkUp = 1;
    ASSERT_EQ(Egd_Init(&served.net.ip, &served.net.pool), 0u);
    auto st = [] {
        return std::array<uint16_t, 4>{Dpr_Get_W_Data(R(100)), Dpr_Get_W_Data(R(101)), Dpr_Get_W_Data(R(102)),
                                       Dpr_Get_W_Data(R(103))};
    };
    EgdPass();
    EXPECT_EQ(st(), (std::array<uint16_t, 4>{0, 0, 0, 0}));
    test_support::FakeClock::AdvanceMs(100);
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 4>{1, 1, 1, 0}));
    EXPECT_EQ(Dpr_Get_Dw_Data(R(10)), 0x04030201u);
    test_support::FakeClock::AdvanceMs(250);
    EgdPass(2);
    EXPECT_EQ(st()[3], 6);
    // The ID register out of range: status bit 3, nothing sent; the consumer times out.
    Dpr_Set_W_Data(R(20), 0);
    EgdPass();
    EXPECT_EQ(st()[0], 9);
    test_support::FakeClock::AdvanceMs(600);
    EgdPass(2);
    EXPECT_EQ(st(), (std::array<uint16_t, 4>{9, 6, 6, 6}));
    // Back: received after the time-out (7), then 1.
    Dpr_Set_W_Data(R(20), 0x101);
    PlcReg_Set(R(1), "\x05\x06\x07\x08", 32);
    test_support::FakeClock::AdvanceMs(100);
    EgdPass(3);
    EXPECT_EQ(st()[1], 7);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(10)), 0x08070605u);
    test_support::FakeClock::AdvanceMs(100);
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 4>{1, 1, 1, 6}));
    // Stopped: nothing is produced or consumed.
    LE_Put16(&DprMap[DPR_RUN], 0);
    PlcReg_Set(R(1), "\x09\x09\x09\x09", 32);
    test_support::FakeClock::AdvanceMs(1000);
    EgdPass(3);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(10)), 0x08070605u);
    EXPECT_EQ(st(), (std::array<uint16_t, 4>{1, 1, 1, 6}));
    // A produced destination below 33 is a group: 5 becomes 224.0.7.5 in
    // the record itself once the exchanges are configured.
    EgdExchange(c, 3, 0x80000003, 0x404, 5, 100, 0, {{R(1), 4}});
    LE_Put16(&DprMap[DPR_RUN], 1);
    Egd_Config(0);
    EXPECT_EQ(c.egd[3].header[1], 0xE0000705u);
    Egd_Config(0);
    EXPECT_EQ(c.egd[3].header[1], 0xE0000705u) << "converted once";
}

// The link lost while the controller runs: status 2; back again, the
// exchanges go on where they were (the controller never stopped), so the
// next message received reports 7 and the one after 1. A stop while the link
// is down is a start again once both are back: status 0.
TEST(EgdExchanges, ALinkLossReportsTwoThenSevenAndAStopMeanwhileZero) {
    EgdServed served(18420);
    DprConfigRec &c = served.c;
    // 0x303 to ourselves every 100 ms, consumed back with a 500 ms time-out.
    EgdExchange(c, 0, 0x80000003, 0x303, 0x7F000001, 100, 0, {{R(1), 2}, {R(100), 0x8000}});
    EgdExchange(c, 1, 0x80000001, 0x303, 0x7F000001, 0, 500, {{R(10), 2}, {R(101), 0x8000}});
    for (unsigned i = 0; i < 2; i++) Dpr_Add_Egd_Status_Req(R(100 + i), 0x8000, i);
    c.egd_status_count = 2;
    Dpr_Set_W_Data(R(100), 0xFFFF);
    Dpr_Set_W_Data(R(101), 0xFFFF);
    Enet_LinkUp = 1;
    ASSERT_EQ(Egd_Init(&served.net.ip, &served.net.pool), 0u);
    auto st = [] { return std::array<uint16_t, 2>{Dpr_Get_W_Data(R(100)), Dpr_Get_W_Data(R(101))}; };
    EgdPass();
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{0, 0}));
    Dpr_Set_W_Data(R(1), 0x1111);
    test_support::FakeClock::AdvanceMs(100);
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{1, 1}));
    EXPECT_EQ(Dpr_Get_W_Data(R(10)), 0x1111u);
    // The link goes: link down, and nothing moves while it is away.
    Enet_LinkUp = 0;
    EgdPass();
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{2, 2}));
    Dpr_Set_W_Data(R(1), 0x2222);
    test_support::FakeClock::AdvanceMs(200);
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{2, 2}));
    EXPECT_EQ(Dpr_Get_W_Data(R(10)), 0x1111u);
    // Back: produced again (its period passed), received after the loss: 7.
    Enet_LinkUp = 1;
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{1, 7}));
    EXPECT_EQ(Dpr_Get_W_Data(R(10)), 0x2222u);
    test_support::FakeClock::AdvanceMs(100);
    EgdPass(3);
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{1, 1}));
    // Lost again, and the controller stops and runs again meanwhile: once the
    // link is back the exchanges start over with status 0.
    Enet_LinkUp = 0;
    EgdPass();
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{2, 2}));
    LE_Put16(&DprMap[DPR_RUN], 0);
    EgdPass();
    LE_Put16(&DprMap[DPR_RUN], 1);
    EgdPass();
    Enet_LinkUp = 1;
    EgdPass();
    EXPECT_EQ(st(), (std::array<uint16_t, 2>{0, 0}));
}

TEST(EgdExchanges, DatagramsLeftUnreadAreTakenOnTheNextStep) {
    EgdServed served(18410);
    // 0x202 from 127.0.0.1 into %R20, 500 ms time-out.
    EgdExchange(served.c, 0, 0x80000001, 0x202, 0x7F000001, 0, 500, {{R(20), 4}});
    Enet_LinkUp = 1;
    ASSERT_EQ(Egd_Init(&served.net.ip, &served.net.pool), 0u);
    Egd_Scan(0);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(EgdPortNumber);
    to.sin_addr.s_addr = htonl(0x7F000001);
    for (uint8_t k = 1; k <= 3; k++) {
        Bytes m(32 + 4);
        m[0] = 13;
        m[1] = 1;
        m[2] = k;
        BE_Put32(&m[4], 0x7F000001);
        LE_Put32(&m[8], 0x202);
        m[32] = k;
        ASSERT_EQ(sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 36);
    }
    close(fd);
    PLAT_PollHarvest(false);  // one report for the three, as the loop's wait files it
    Egd_Scan(0);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(20)), 1u);
    const uint32_t now = _tx_time_get();
    EXPECT_EQ(Egd_Due(0, now), now) << "two datagrams wait: the next step comes at once";
    Egd_Scan(0);
    Egd_Scan(0);
    EXPECT_EQ(Dpr_Get_Dw_Data(R(20)), 3u);
    Egd_Scan(0);  // finds the queue empty
    EXPECT_EQ(Egd_Due(0, now), now + 500) << "then the consumption time-out";
}

// ---- CIP and EtherNet/IP -----------------------------------------------------------------------------

TEST(Epath, SegmentsPathsAndRefusals) {
    struct Case {
        Bytes path;
        uint32_t bad;
        uint8_t count;
        std::array<uint8_t, 4> first, last;  // class, instance, point, attribute
    };
    const Case cases[] = {
        {{0x20, 0x04, 0x24, 0x65, 0x30, 0x03}, 0, 1, {4, 101, 0, 3}, {4, 101, 0, 3}},
        {{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64, 0x2C, 0x65}, 0, 2, {4, 1, 100, 0}, {4, 0, 101, 0}},
        {{0x01, 0x05, 0x20, 0x06, 0x24, 0x01}, 0, 1, {6, 1, 0, 0}, {6, 1, 0, 0}},
        {{0x12, 0x02, 0x0A, 0x0B, 0x20, 0x01}, 0, 1, {1, 0, 0, 0}, {1, 0, 0, 0}},
        {{0x0F, 0x00, 0x34, 0x12, 0x07, 0x20, 0x02}, 0, 1, {2, 0, 0, 0}, {2, 0, 0, 0}},
        {{0x34, 0x04, 1, 2, 3, 4, 5, 6, 7, 8, 0x20, 0x01}, 0, 1, {1, 0, 0, 0}, {1, 0, 0, 0}},
        {{0x20, 0x01, 0x24, 0x01, 0x20, 0x02, 0x24, 0x02, 0x20, 0x03}, 0, 3, {1, 1, 0, 0}, {3, 0, 0, 0}},
        {{0x20, 0x01, 0x20, 0x02, 0x20, 0x03, 0x20, 0x04}, 1, 0, {}, {}},  // a fourth path
        {{0x20, 0x01, 0x30, 0x01}, 1, 0, {}, {}},                          // attribute without instance
        {{0x28, 0x01}, 1, 0, {}, {}},                                      // member
        {{0x38, 0x01}, 1, 0, {}, {}},                                      // type 6
        {{0x21, 0x00, 0x01}, 1, 0, {}, {}},                                // 16-bit class
        {{0x40, 0x00}, 1, 0, {}, {}},                                      // data segment
        {{0x20}, 1, 0, {}, {}},                                            // truncated
        {{0x34, 0x04, 1, 2, 3}, 1, 0, {}, {}},                             // truncated key
        {{0x12, 0x05, 0x0A}, 1, 0, {}, {}},                                // link address past the end
        // Port segments that end at the last byte, and one byte short.
        {{0x20, 0x05, 0x12, 0x00}, 0, 1, {5, 0, 0, 0}, {5, 0, 0, 0}},
        {{0x20, 0x05, 0x12}, 1, 0, {}, {}},
        {{0x20, 0x05, 0x1F, 0x00, 0x34, 0x12}, 0, 1, {5, 0, 0, 0}, {5, 0, 0, 0}},
        {{0x20, 0x05, 0x1F, 0x00, 0x34}, 1, 0, {}, {}},
        {{0x20, 0x05, 0x12, 0x02, 0x0A, 0x0B}, 0, 1, {5, 0, 0, 0}, {5, 0, 0, 0}},
        {{0x20, 0x05, 0x01, 0x07}, 0, 1, {5, 0, 0, 0}, {5, 0, 0, 0}},
        {{0x20, 0x05, 0x01}, 1, 0, {}, {}},
        {{0x0F, 0x00, 0x34}, 1, 0, {}, {}},
    };
    for (const Case &c : cases) {
        EpathResult r;
        const uint32_t got = Epath_Parse(c.path.data(), &r, uint32_t(c.path.size()));
        EXPECT_EQ(got, c.bad) << testing::PrintToString(c.path);
        if (c.bad) continue;
        EXPECT_EQ(r.count, c.count) << testing::PrintToString(c.path);
        const EpathApp &f = r.app[0], &l = r.app[r.count - 1];
        EXPECT_EQ((std::array<uint8_t, 4>{f.cls, f.instance, f.point, f.attribute}), c.first);
        EXPECT_EQ((std::array<uint8_t, 4>{l.cls, l.instance, l.point, l.attribute}), c.last);
    }
    EpathResult r;
    const Bytes key{0x34, 0x04, 1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(Epath_Parse(key.data(), &r, 10), 0u);
    EXPECT_EQ(Bytes(r.key, r.key + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const Bytes port{0x0F, 0x00, 0x34, 0x12, 0x07};
    ASSERT_EQ(Epath_Parse(port.data(), &r, 5), 0u);
    EXPECT_EQ(r.port, 0x1234);
    EXPECT_EQ(r.link_pos, 4);
}

struct Adapter {
    Net net;
    Adapter() {
        Fresh();
        EipIoPortNumber = test_support::TestPort(18500);
        DprConfigRec &c = Dpr_Configuration[0];
        c.enables[0] = EN0_EIP;
        c.eip[0][0] = R(301);
        c.eip[0][1] = 8;
        c.eip[1][0] = R(311);
        c.eip[1][1] = 8;
        EipConnEth[0].ip = &net.ip;
        EipObjects(0);
    }
    ~Adapter() {
        for (auto &cfg : ConnCfgPool) {
            if (cfg.used) EipConnectionClose(&cfg);
        }
        EipConnEth[0].ip = nullptr;
    }
};

Bytes ForwardOpen(uint16_t serial, uint16_t ot, uint16_t to, uint8_t trigger, const Bytes &path, uint8_t mult = 0) {
    Bytes d(36);
    d[0] = 0x0A;
    d[1] = 0x0E;
    LE_Put32(&d[2], 0x1000 + serial);
    LE_Put32(&d[6], 0x2000 + serial);
    LE_Put16(&d[10], serial);
    LE_Put16(&d[12], 0x4242);
    LE_Put32(&d[14], 0x01020304);
    d[18] = mult;
    LE_Put32(&d[22], 10000);
    LE_Put16(&d[26], ot);
    LE_Put32(&d[28], 20000);
    LE_Put16(&d[32], to);
    d[34] = trigger;
    d[35] = uint8_t(path.size() / 2);
    test_support::AppendBytes(d, path);
    return d;
}

Bytes Serve(uint8_t service, const Bytes &d, uint8_t cls = 6) {
    std::array<uint8_t, CIP_ANSWER_MAX> a{};
    const CipRequest req{service, cls, 1, 0, uint16_t(d.size()), d.data(), 0};
    const uint32_t n = Message_Router_Service(req, a.data());
    return Bytes(a.begin(), a.begin() + n);
}

Bytes OpenError(uint8_t service, uint8_t general, uint16_t ext, uint16_t serial) {
    Bytes e{uint8_t(service | 0x80),
            0,
            general,
            1,
            uint8_t(ext),
            uint8_t(ext >> 8),
            uint8_t(serial),
            uint8_t(serial >> 8),
            0x42,
            0x42,
            4,
            3,
            2,
            1,
            0};
    return e;
}

TEST(ForwardOpen, RefusalsInTheirOrderAndTheSuccessAnswer) {
    Adapter ad;
    const Bytes io{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64, 0x2C, 0x65};
    Bytes d = ForwardOpen(1, 0x400E, 0x400A, 0x01, io);
    EXPECT_EQ(Serve(0x54, Bytes(d.begin(), d.begin() + 35)), (Bytes{0xD4, 0, 0x13, 0}));
    Bytes longer = d;
    longer.push_back(0);
    EXPECT_EQ(Serve(0x54, longer), (Bytes{0xD4, 0, 0x15, 0}));
    // 36 bytes and no path: whole, and refused for its path.
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x400A, 0x01, {})), OpenError(0x54, 1, 0x0315, 1));
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x4009, 0x01, io)), OpenError(0x54, 1, 0x0109, 1));
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400D, 0x400A, 0x01, io)), OpenError(0x54, 1, 0x0109, 1));
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x400A, 0x02, io)), OpenError(0x54, 1, 0x0108, 1));
    const Bytes wrong{0x20, 0x04, 0x24, 0x01, 0x2C, 0x66, 0x2C, 0x65};
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x400A, 0x01, wrong)), OpenError(0x54, 1, 0x0315, 1));
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x400A, 0x01, Bytes(34, 0x20))), OpenError(0x54, 1, 0x0315, 1));
    // Nothing is left open by a refusal.
    for (const auto &cfg : ConnCfgPool) EXPECT_EQ(cfg.used, 0);
    for (const auto &s : EipConnEth[0].slots) EXPECT_EQ(s.used, 0);
    EXPECT_EQ(EipConnEth[0].io_count, 0);
    // Produced data beyond the assembly buffer.
    Dpr_Configuration[0].eip[0][1] = 300;
    EXPECT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0x412E, 0x01, io)), OpenError(0x54, 1, 0x0109, 1));
    Dpr_Configuration[0].eip[0][1] = 8;
    const Bytes ok{0xD4, 0, 0, 0, 0x01, 0x10, 0,    0, 0x01, 0x20, 0,    0, 1, 0, 0x42,
                   0x42, 4, 3, 2, 1,    0x10, 0x27, 0, 0,    0x20, 0x4E, 0, 0, 0, 0};
    EXPECT_EQ(Serve(0x54, d), ok);
    EXPECT_EQ(EipConnEth[0].io_count, 2);
    // Six more T->O-only take the other slots; then none is left: 0x011A.
    const Bytes to_only{0x20, 0x04, 0x24, 0x01, 0x2C, 0x65};
    for (uint16_t i = 2; i <= 7; i++) EXPECT_EQ(Serve(0x54, ForwardOpen(i, 0, 0x400A, 0x01, to_only))[2], 0) << i;
    EXPECT_EQ(EipConnEth[0].io_count, 8);
    EXPECT_EQ(Serve(0x54, ForwardOpen(8, 0, 0x400A, 0x01, to_only)), OpenError(0x54, 1, 0x011A, 8));
    EXPECT_EQ(EipConnEth[0].io_count, 8);
    // A record free but the manager's list full: 0x0113.
    static ObjConnCfg outside{};
    ConnManagerPool[0].list[7] = &outside;
    EXPECT_EQ(Serve(0x54, ForwardOpen(9, 0, 0x400A, 0x01, to_only)), OpenError(0x54, 1, 0x0113, 9));
    ConnManagerPool[0].list[7] = nullptr;
    // Forward_Close: the first one by its triple, then unknown.
    Bytes close_req{0x0A, 0x0E, 1, 0, 0x42, 0x42, 4, 3, 2, 1, 0, 0};
    EXPECT_EQ(Serve(0x4E, close_req), (Bytes{0xCE, 0, 0, 0, 1, 0, 0x42, 0x42, 4, 3, 2, 1, 0, 0}));
    EXPECT_EQ(EipConnEth[0].io_count, 6);
    EXPECT_EQ(Serve(0x4E, close_req), OpenError(0x4E, 1, 0x0107, 1));
    EXPECT_EQ(Serve(0x4E, Bytes(close_req.begin(), close_req.begin() + 10)), OpenError(0x4E, 1, 0x0107, 1));
    EXPECT_EQ(Serve(0x4E, Bytes(9)), (Bytes{0xCE, 0, 0x13, 0}));
    EXPECT_EQ(Serve(0x4C, {}), (Bytes{0xCC, 0, 8, 0}));
    // 256 produced bytes (258 with the sequence count) fit the assembly;
    // a path of 16 words (13 port segments before it) is not too long.
    Dpr_Configuration[0].eip[0][1] = 256;
    EXPECT_EQ(Serve(0x54, ForwardOpen(11, 0, 0x4102, 0x01, to_only)),
              (Bytes{0xD4, 0, 0, 0, 0x0B, 0x10, 0,    0, 0x0B, 0x20, 0,    0, 11, 0, 0x42,
                     0x42, 4, 3, 2, 1,    0x10, 0x27, 0, 0,    0x20, 0x4E, 0, 0,  0, 0}));
    Dpr_Configuration[0].eip[0][1] = 8;
    Bytes sixteen;
    for (int i = 0; i < 13; i++) test_support::AppendBytes(sixteen, Bytes{0x01, 0x00});
    test_support::AppendBytes(sixteen, to_only);
    ASSERT_EQ(sixteen.size(), 32u);
    EXPECT_EQ(Serve(0x54, ForwardOpen(12, 0, 0x400A, 0x01, sixteen)),
              (Bytes{0xD4, 0, 0, 0, 0x0C, 0x10, 0,    0, 0x0C, 0x20, 0,    0, 12, 0, 0x42,
                     0x42, 4, 3, 2, 1,    0x10, 0x27, 0, 0,    0x20, 0x4E, 0, 0,  0, 0}));
    EXPECT_EQ(EipConnEth[0].io_count, 8);
}

// An RPI under a millisecond: the connection still produces at most once a
// millisecond (a period of 0 would send at every pass of the main loop).
TEST(ClassOne, AnRpiUnderAMillisecondProducesOnceAMillisecond) {
    test_support::FakeClock clock;
    Adapter ad;
    Bytes d = ForwardOpen(1, 0, 0x400A, 0x01, {0x20, 0x04, 0x24, 0x01, 0x2C, 0x65});
    LE_Put32(&d[28], 500);  // T->O RPI: 500 us
    ASSERT_EQ(Serve(0x54, d)[2], 0);
    unsigned k = 0;
    while (!EipConnEth[0].slots[k].used || EipConnEth[0].slots[k].consuming) k++;
    EipConnSlot &s = EipConnEth[0].slots[k];
    s.address = 0x7F000001;
    s.port = test_support::TestPort(18530);
    struct Pool {
        NX_PACKET_POOL *was = EipPacketPoolPtr;
        ~Pool() { EipPacketPoolPtr = was; }
    } pool;
    EipPacketPoolPtr = &ad.net.pool;
    test_support::FakeClock::AdvanceMs(5);
    const uint32_t first = s.sequence;
    for (int i = 0; i < 10; i++) Eip_Scan(0);
    EXPECT_EQ(s.sequence - first, 1u);
    test_support::FakeClock::AdvanceMs(1);
    for (int i = 0; i < 10; i++) Eip_Scan(0);
    EXPECT_EQ(s.sequence - first, 2u);
}

// Eight connections fill both the manager's list and the configuration
// records: the list is taken first, so a ninth open answers list full
// (0x0113), not no record (0x011A).
TEST(ForwardOpen, AFullListAnswersListFullBeforeTheRecords) {
    Adapter ad;
    const Bytes to_only{0x20, 0x04, 0x24, 0x01, 0x2C, 0x65};
    for (uint16_t i = 1; i <= 8; i++) ASSERT_EQ(Serve(0x54, ForwardOpen(i, 0, 0x400A, 0x01, to_only))[2], 0) << i;
    EXPECT_EQ(EipConnEth[0].io_count, 8);
    EXPECT_EQ(Serve(0x54, ForwardOpen(9, 0, 0x400A, 0x01, to_only)), OpenError(0x54, 1, 0x0113, 9));
    for (const auto &cfg : ConnCfgPool) EXPECT_EQ(cfg.used, 1);
}

// The eight configuration records serve both interfaces, each manager's list
// eight of its own: four connections on each use up the records with both
// lists half empty, so a ninth on either answers no record (0x011A).
TEST(ForwardOpen, ANinthOverBothInterfacesAnswersNoRecord) {
    Adapter ad;
    Dpr_Configuration[1].eip[0][1] = 8;
    EipConnEth[1].ip = &ad.net.ip;
    ASSERT_EQ(EipObjects(1), 0u);
    auto serve2 = [](const Bytes &d) {
        std::array<uint8_t, CIP_ANSWER_MAX> a{};
        const CipRequest req{0x54, 6, 2, 0, uint16_t(d.size()), d.data(), 1};
        return Bytes(a.begin(), a.begin() + Message_Router_Service(req, a.data()));
    };
    const Bytes to_only{0x20, 0x04, 0x24, 0x01, 0x2C, 0x65};
    for (uint16_t i = 1; i <= 4; i++) {
        ASSERT_EQ(Serve(0x54, ForwardOpen(i, 0, 0x400A, 0x01, to_only))[2], 0) << i;
        ASSERT_EQ(serve2(ForwardOpen(uint16_t(10 + i), 0, 0x400A, 0x01, to_only))[2], 0) << i;
    }
    EXPECT_EQ(EipConnEth[0].io_count, 4);
    EXPECT_EQ(EipConnEth[1].io_count, 4);
    EXPECT_EQ(Serve(0x54, ForwardOpen(9, 0, 0x400A, 0x01, to_only)), OpenError(0x54, 1, 0x011A, 9));
    EXPECT_EQ(serve2(ForwardOpen(19, 0, 0x400A, 0x01, to_only)), OpenError(0x54, 1, 0x011A, 19));
    EXPECT_EQ(EipConnEth[0].io_count, 4);
    EXPECT_EQ(EipConnEth[1].io_count, 4);
    // The second interface's connections close here; its objects go back.
    for (auto &cfg : ConnCfgPool) {
        if (cfg.used && ((cfg.flags >> CIP_CFG_IFACE_SHIFT) & CIP_CFG_IFACE_MASK) == 1) EipConnectionClose(&cfg);
    }
    EXPECT_EQ(EipConnEth[1].io_count, 0);
    EipAdapter &b = EipConnEth[1];
    Identity_Inst_Free(b.identity);
    Message_Router_Inst_Free(b.router);
    Conn_Manager_Inst_Free(b.manager);
    Assembly_Inst_Free(b.produced);
    Assembly_Inst_Free(b.consumed);
    TcpIp_Inst_Free(b.tcpip);
    Enet_Lnk_Inst_Free(b.link);
    b.identity = nullptr;
    b.router = nullptr;
    b.manager = nullptr;
    b.produced = b.consumed = nullptr;
    b.tcpip = nullptr;
    b.link = nullptr;
    b.ip = nullptr;
}

TEST(ClassOne, ConsumedSequenceNumbersCompareOverTheWrap) {
    Adapter ad;
    const Bytes path{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64};
    ASSERT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0, 0x01, path))[2], 0);
    unsigned k = 0;
    while (!EipConnEth[0].slots[k].consuming) k++;
    auto dgram = [](uint32_t seq, uint8_t v) {
        Bytes d(32);
        LE_Put16(&d[0], 2);
        LE_Put16(&d[2], 0x8002);
        LE_Put16(&d[4], 8);
        LE_Put32(&d[6], 0x1001);
        LE_Put32(&d[10], seq);
        LE_Put16(&d[14], 0xB1);
        LE_Put16(&d[16], 14);
        d[20] = 1;
        d[24] = v;
        return d;
    };
    struct Step {
        uint32_t seq;
        uint32_t used;
    };
    const Step steps[] = {{0xFFFFFFFE, 1}, {0xFFFFFFFD, 0}, {0xFFFFFFFF, 1}, {0, 1}, {0xFFFFFFFF, 0}, {5, 1}, {3, 0}};
    uint8_t v = 1;
    for (const Step &s : steps) {
        const Bytes d = dgram(s.seq, v);
        EXPECT_EQ(EipConsume(0, k, d.data(), uint32_t(d.size()), 0), s.used) << s.seq;
        if (s.used) {
            EXPECT_EQ(EipRxData[0], v);
        }
        v++;
    }
    // Wrong length, wrong connection ID.
    Bytes d = dgram(6, 0x77);
    EXPECT_EQ(EipConsume(0, k, d.data(), 31, 0), 0u);
    LE_Put32(&d[6], 0x9999);
    EXPECT_EQ(EipConsume(0, k, d.data(), uint32_t(d.size()), 0), 0u);
    EXPECT_EQ(EipConnEth[0].run_idle[0], 1);
}

// A consumed datagram of `size` bytes for the connection whose O->T ID is
// 0x1001, sequence number 1: the sequenced-address item, then a
// connected-data item of `length` bytes (the sequence count, the run/idle
// header in run, the data from byte 24).
Bytes Consumed(size_t size, uint16_t length) {
    Bytes d(size);
    LE_Put16(&d[0], 2);
    LE_Put16(&d[2], 0x8002);
    LE_Put16(&d[4], 8);
    LE_Put32(&d[6], 0x1001);
    LE_Put32(&d[10], 1);
    LE_Put16(&d[14], 0xB1);
    LE_Put16(&d[16], length);
    d[20] = 1;
    return d;
}

// Sends the datagram to the adapter's I/O port over the loopback and scans
// until its first data byte is in the consumed data (the datagram is there
// at once; the passes poll for it).
void Deliver(const Bytes &d) {
    struct Udp {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ~Udp() { close(fd); }
    } u;
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(EipIoPortNumber);
    ASSERT_EQ(sendto(u.fd, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to),
              ssize_t(d.size()));
    for (int i = 0; i < 5000 && EipRxData[0] != d[24]; i++) {
        Eip_Scan(0);
        if (EipRxData[0] != d[24]) usleep(200);
    }
}

// A consuming connection timed out with action 0 (the default) is in the
// timed-out state, but a datagram that comes after it is still used: the
// consumed data follow the scanner again.
TEST(ClassOne, AConsumingConnectionTakesDataAgainAfterATimeOut) {
    test_support::FakeClock clock;
    Adapter ad;
    const Bytes path{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64};
    // RPI 10 ms, multiplier 0: a time-out of 40 ms.
    ASSERT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0, 0x01, path))[2], 0);
    unsigned k = 0;
    while (!EipConnEth[0].slots[k].consuming) k++;
    const EipConnSlot &s = EipConnEth[0].slots[k];
    ASSERT_NE(s.conn, nullptr);
    EipRxData.fill(0);
    EipConnEth[0].run_idle.fill(0);
    Eip_Scan(0);
    EXPECT_EQ(s.conn->state, CipConnState::Established);
    test_support::FakeClock::AdvanceMs(100);
    Eip_Scan(0);
    ASSERT_EQ(s.conn->state, CipConnState::TimedOut);
    Bytes d = Consumed(32, 14);
    d[24] = 0x5A;
    ASSERT_NO_FATAL_FAILURE(Deliver(d));
    EXPECT_EQ(EipRxData[0], 0x5A);
    EXPECT_EQ(EipConnEth[0].run_idle[0], 1);
}

// The consumed data have one port, UDP 2222, and one consuming connection
// at a time holds it: a second one cannot have the port and is refused with
// general status 2 and no extended status. The first one's datagrams still
// reach it; once it is closed the port is free for another.
TEST(ClassOne, ASecondConsumingConnectionCannotHaveThePort) {
    test_support::FakeClock clock;
    Adapter ad;
    const Bytes path{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64};
    ASSERT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0, 0x01, path))[2], 0);
    const Bytes refused{0xD4, 0, 2, 0, 2, 0, 0x42, 0x42, 4, 3, 2, 1, 0};
    EXPECT_EQ(Serve(0x54, ForwardOpen(2, 0x400E, 0, 0x01, path)), refused);
    unsigned used = 0;
    for (const auto &s : EipConnEth[0].slots) used += s.used;
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(EipConnEth[0].io_count, 1);
    // A datagram of the first connection (O->T ID 0x1001) reaches it.
    Bytes d = Consumed(32, 14);
    d[24] = 0x3C;
    EipRxData.fill(0);
    ASSERT_NO_FATAL_FAILURE(Deliver(d));
    EXPECT_EQ(EipRxData[0], 0x3C);
    // Closed, the first one leaves the port to the next.
    const Bytes close_req{0x0A, 0x0E, 1, 0, 0x42, 0x42, 4, 3, 2, 1, 0, 0};
    EXPECT_EQ(Serve(0x4E, close_req)[2], 0);
    EXPECT_EQ(Serve(0x54, ForwardOpen(3, 0x400E, 0, 0x01, path))[2], 0);
    EXPECT_EQ(EipConnEth[0].io_count, 1);
}

// A consuming connection's time-out is its period times 4 << multiplier:
// RPI 10 ms and multiplier 1 give 80 ms. Past it, action 0 puts the
// connection in the timed-out state, action 2 restarts the timer, and any
// other action (here 1) closes the connection.
TEST(ClassOne, TimeOutAndItsThreeActions) {
    test_support::FakeClock clock;
    Adapter ad;
    const Bytes path{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64};
    for (const uint8_t action : {0, 2, 1}) {
        SCOPED_TRACE(int(action));
        ASSERT_EQ(Serve(0x54, ForwardOpen(1, 0x400E, 0, 0x01, path, 1))[2], 0);
        unsigned k = 0;
        while (!EipConnEth[0].slots[k].used || !EipConnEth[0].slots[k].consuming) k++;
        EipConnSlot &s = EipConnEth[0].slots[k];
        ObjConnCfg *cfg = s.cfg;
        ASSERT_NE(s.conn, nullptr);
        EXPECT_EQ(s.timeout, 80u);
        s.conn->timeout_action = action;
        Eip_Scan(0);
        s.time = _tx_time_get();
        test_support::FakeClock::AdvanceMs(80);
        Eip_Scan(0);
        ASSERT_TRUE(s.used);
        EXPECT_EQ(s.conn->state, CipConnState::Established) << "80 ms is not past the time-out";
        test_support::FakeClock::AdvanceMs(1);
        Eip_Scan(0);
        if (action == 0) {
            EXPECT_TRUE(s.used);
            EXPECT_EQ(s.conn->state, CipConnState::TimedOut);
        } else if (action == 2) {
            EXPECT_TRUE(s.used);
            EXPECT_EQ(s.conn->state, CipConnState::Established);
            EXPECT_EQ(s.time, _tx_time_get());
        } else {
            EXPECT_FALSE(s.used);
            EXPECT_EQ(cfg->used, 0);
        }
        for (auto &c : ConnCfgPool) {
            if (c.used) EipConnectionClose(&c);
        }
    }
}

TEST(ClassOne, TwoHundredFiftySixBytesEachWay) {
    Adapter ad;
    DprConfigRec &c = Dpr_Configuration[0];
    c.eip[0][1] = 256;
    c.eip[1][1] = 256;
    EipObjects(0);
    const Bytes path{0x20, 0x04, 0x24, 0x01, 0x2C, 0x64, 0x2C, 0x65};
    ASSERT_EQ(Serve(0x54, ForwardOpen(1, 0x4106, 0x4102, 0x01, path))[2], 0);
    unsigned in = 0, out = 0;
    while (!EipConnEth[0].slots[in].consuming) in++;
    while (!EipConnEth[0].slots[out].used || EipConnEth[0].slots[out].consuming) out++;
    // The produced assembly answers its 256 bytes.
    EipTxData.fill(0);
    EipTxData[255] = 0x5A;
    std::array<uint8_t, CIP_ANSWER_MAX> a{};
    const CipRequest get{0x0E, 4, 101, 3, 0, nullptr, 0};
    ASSERT_EQ(Message_Router_Service(get, a.data()), 260u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 4), (Bytes{0x8E, 0, 0, 0}));
    EXPECT_EQ(a[259], 0x5A);
    // So does the consumed one, before any scan.
    EipRxData[255] = 0xA5;
    const CipRequest get_consumed{0x0E, 4, 100, 3, 0, nullptr, 0};
    ASSERT_EQ(Message_Router_Service(get_consumed, a.data()), 260u);
    EXPECT_EQ(a[259], 0xA5);
    // Produced datagram: 20 bytes of items, then the data.
    std::array<uint8_t, 300> buf{};
    EXPECT_EQ(EipProduce(0, out, buf.data()), 276u);
    EXPECT_EQ(LE_Get16(&buf[16]), 258u);
    EXPECT_EQ(buf[275], 0x5A);
    // Consumed datagram: 24 bytes of items (sequence count, run/idle) and 256.
    Bytes d = Consumed(280, 262);
    d[278] = 0x34;
    d[279] = 0x12;
    EXPECT_EQ(EipConsume(0, in, d.data(), 280, 0), 1u);
    EXPECT_EQ(EipRxData[255], 0x12);
    // In run mode the scan moves both blocks whole: %R301.. to the produced
    // data, the consumed data to %R311.. (byte 254-255: word 128).
    c.eip[0][0] = R(301);
    c.eip[1][0] = R(311);
    Dpr_Set_W_Data(R(301) + 16 * 127, 0xBEEF);
    Eip_Scan(0);
    EXPECT_EQ(EipTxData[254], 0xEF);
    EXPECT_EQ(EipTxData[255], 0xBE);
    EXPECT_EQ(Dpr_Get_W_Data(R(311) + 16 * 127), 0x1234u);
    // After the scan both assemblies still take and give 256 bytes.
    ASSERT_EQ(Message_Router_Service(get, a.data()), 260u);
    EXPECT_EQ(a[259], 0xBE);
    Bytes set(256, 0);
    set[255] = 0x66;
    const CipRequest put{0x10, 4, 100, 3, 256, set.data(), 0};
    ASSERT_EQ(Message_Router_Service(put, a.data()), 4u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 4), (Bytes{0x90, 0, 0, 0}));
    EXPECT_EQ(EipRxData[255], 0x66);
    // Stopped: the produced data are all zeros, registers or not, and the
    // consumed registers keep what they had.
    LE_Put16(&DprMap[DPR_RUN], 0);
    Eip_Scan(0);
    EXPECT_EQ(EipTxData, (std::array<uint8_t, EIP_DATA_MAX>{}));
    EXPECT_EQ(EipProduce(0, out, buf.data()), 276u);
    EXPECT_EQ(Bytes(buf.begin() + 20, buf.begin() + 276), Bytes(256, 0));
    EXPECT_EQ(Dpr_Get_W_Data(R(311) + 16 * 127), 0x1234u);
    LE_Put16(&DprMap[DPR_RUN], 1);
}

Bytes Encap(uint16_t cmd, const Bytes &data) {
    Bytes m(24);
    LE_Put16(&m[0], cmd);
    LE_Put16(&m[2], uint16_t(data.size()));
    LE_Put32(&m[4], 7);
    test_support::AppendBytes(m, data);
    return m;
}

// A socket-address item of type T->O: family 2, port and address big-endian, 8 zeros.
Bytes SockAddr(uint32_t address, uint16_t port) {
    Bytes b{0x01, 0x80, 0x10, 0x00, 0x00, 0x02, uint8_t(port >> 8), uint8_t(port)};
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(uint8_t(address >> shift));
    b.resize(20, 0);
    return b;
}

Bytes Exchange(const Bytes &m) {
    std::memcpy(EipRxBuff.data(), m.data(), m.size());
    if (EncapMsg(0, uint32_t(m.size())) != 1) return {};
    return Bytes(EipTxBuff.begin(), EipTxBuff.begin() + 24 + LE_Get16(&EipTxBuff[2]));
}

// A producing multicast connection opened without a T->O item produces to
// the interface's group: 239.192.1.0 + 32 x ((host part - 1) AND 0x3FF);
// host 10.77.4.5 of a /16 (host part 1029) gives 239.192.1.128.
TEST(ClassOne, TheDefaultMulticastAddress) {
    Adapter ad;
    ad.net.ip.nx_ip_address = 0x0A4D0405;
    ad.net.ip.nx_ip_network_mask = 0xFFFF0000;
    EipConnEth[0].peer = 0x0A4D0003;
    const Bytes to_only{0x20, 0x04, 0x24, 0x01, 0x2C, 0x65};
    Bytes cip{0x54, 0x02, 0x20, 0x06, 0x24, 0x01};
    test_support::AppendBytes(cip, ForwardOpen(1, 0, 0x200A, 0x01, to_only));
    Bytes rr{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, uint8_t(cip.size()), 0};
    test_support::AppendBytes(rr, cip);
    const Bytes a = Exchange(Encap(0x6F, rr));
    ASSERT_GE(a.size(), 40u);
    EXPECT_EQ(LE_Get16(&a[30]), 3u);
    const uint32_t n = LE_Get16(&a[38]);
    ASSERT_EQ(a[40 + 2], 0);  // the open succeeded
    EXPECT_EQ(Bytes(a.begin() + 40 + n, a.end()), SockAddr(0xEFC00180, EipIoPortNumber));
}

// A T->O socket-address item names where the produced data goes: the
// opener's own address and a multicast group are taken, with the item's
// port; another host is refused (extended status 0x0312) and nothing is
// opened.
TEST(ForwardOpen, ProducedDataGoesOnlyToTheOpenerOrAGroup) {
    Adapter ad;
    EipConnEth[0].peer = 0x0A4D0003;  // the host whose message is served
    const Bytes to_only{0x20, 0x04, 0x24, 0x01, 0x2C, 0x65};
    // SendRRData of a Forward_Open with a T->O item {address, port}: the
    // answer's item count, its CIP answer, and the items after it.
    struct Answer {
        uint16_t items;
        Bytes cip, after;
    };
    auto open = [&](uint16_t serial, uint32_t address, uint16_t port) {
        Bytes cip{0x54, 0x02, 0x20, 0x06, 0x24, 0x01};
        test_support::AppendBytes(cip, ForwardOpen(serial, 0, 0x400A, 0x01, to_only));
        Bytes rr{0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0xB2, 0, uint8_t(cip.size()), 0};
        test_support::AppendBytes(rr, cip);
        test_support::AppendBytes(rr, SockAddr(address, port));
        const Bytes a = Exchange(Encap(0x6F, rr));
        EXPECT_GE(a.size(), 40u);
        if (a.size() < 40) return Answer{};
        const uint32_t n = LE_Get16(&a[38]);
        return Answer{LE_Get16(&a[30]), Bytes(a.begin() + 40, a.begin() + 40 + n), Bytes(a.begin() + 40 + n, a.end())};
    };
    auto producing = [] {
        std::vector<std::pair<uint32_t, uint16_t>> out;
        for (const EipConnSlot &s : EipConnEth[0].slots) {
            if (s.used && !s.consuming) out.emplace_back(s.address, s.port);
        }
        return out;
    };
    using Sent = std::vector<std::pair<uint32_t, uint16_t>>;
    Answer third = open(1, 0x0A4D0004, 2222);
    EXPECT_EQ(third.items, 2);
    EXPECT_EQ(third.cip, OpenError(0x54, 1, 0x0312, 1));
    EXPECT_EQ(third.after, Bytes{});
    EXPECT_EQ(producing(), Sent{});
    EXPECT_EQ(EipConnEth[0].io_count, 0);
    for (const auto &cfg : ConnCfgPool) EXPECT_EQ(cfg.used, 0);
    Answer own = open(2, 0x0A4D0003, 2300);
    EXPECT_EQ(own.items, 3);
    EXPECT_EQ(Bytes(own.cip.begin(), own.cip.begin() + 4), (Bytes{0xD4, 0, 0, 0}));
    EXPECT_EQ(own.after, SockAddr(0x0A4D0003, 2300));
    Answer group = open(3, 0xEFC00109, 2222);
    EXPECT_EQ(group.items, 3);
    EXPECT_EQ(group.after, SockAddr(0xEFC00109, 2222));
    EXPECT_EQ(producing(), (Sent{{0x0A4D0003, 2300}, {0xEFC00109, 2222}}));
    // 224.0.0.0 and 239.255.255.255 are groups; 223.255.255.255 and
    // 240.0.0.0 are not.
    EXPECT_EQ(open(4, 0xE0000000, 2222).items, 3);
    EXPECT_EQ(open(5, 0xEFFFFFFF, 2222).items, 3);
    EXPECT_EQ(open(6, 0xDFFFFFFF, 2222).cip, OpenError(0x54, 1, 0x0312, 6));
    EXPECT_EQ(open(7, 0xF0000000, 2222).cip, OpenError(0x54, 1, 0x0312, 7));
    EXPECT_EQ(EipConnEth[0].io_count, 4);
    // A Forward_Open that comes without an item (here straight to the
    // router, as a connected request's) is not held to the last request's.
    EXPECT_EQ(Serve(0x54, ForwardOpen(8, 0, 0x400A, 0x01, to_only))[2], 0);
    EXPECT_EQ(EipConnEth[0].io_count, 5);
}

TEST(ClassThree, ConnectedRequestsTheConnectionObjectAndMalformedPackets) {
    Adapter ad;
    const Bytes path{0x20, 0x02, 0x24, 0x01};
    ASSERT_EQ(Serve(0x54, ForwardOpen(3, 0x43F4, 0x43F4, 0xA3, path, 1))[2], 0);
    const EipConnSlot &slot = EipConnEth[0].slots[0];
    EXPECT_EQ(slot.timeout, 10000u);
    EXPECT_EQ(EipConnEth[0].explicit_count, 1);
    auto unit = [](uint16_t count, const Bytes &req) {
        Bytes d{0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 0x03, 0x10, 0, 0, 0xB1, 0};
        d.push_back(uint8_t(req.size() + 2));
        d.push_back(0);
        d.push_back(uint8_t(count));
        d.push_back(uint8_t(count >> 8));
        d.insert(d.end(), req.begin(), req.end());
        return Encap(0x70, d);
    };
    const Bytes get_product{0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x03};
    Bytes a = Exchange(unit(5, get_product));
    Bytes want{0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 0x03, 0x20, 0, 0, 0xB1, 0, 8, 0, 5, 0, 0x8E, 0, 0, 0, 20, 0};
    ASSERT_EQ(a.size(), 24u + want.size());
    EXPECT_EQ(Bytes(a.begin() + 24, a.end()), want);
    EXPECT_TRUE(Exchange(unit(5, get_product)).empty());  // a repeated count gets no answer
    EXPECT_EQ(Exchange(unit(6, get_product)).size(), 24u + want.size());
    // Short and bad-path connected requests.
    a = Exchange(unit(7, {0x0E}));
    ASSERT_GE(a.size(), 28u);
    EXPECT_EQ(Bytes(a.end() - 4, a.end()), (Bytes{0x8E, 0, 0x13, 0}));
    a = Exchange(unit(8, {0x0E, 0x01, 0x40, 0x00}));
    ASSERT_GE(a.size(), 28u);
    EXPECT_EQ(Bytes(a.end() - 4, a.end()), (Bytes{0x8E, 0, 4, 0}));
    // The sequence count alone (service 0, too short); a request of two
    // bytes and no path; a path word one byte short.
    a = Exchange(unit(9, {}));
    ASSERT_GE(a.size(), 28u);
    EXPECT_EQ(Bytes(a.end() - 4, a.end()), (Bytes{0x80, 0, 0x13, 0}));
    a = Exchange(unit(10, {0x0E, 0x00}));
    ASSERT_GE(a.size(), 28u);
    EXPECT_EQ(Bytes(a.end() - 4, a.end()), (Bytes{0x8E, 0, 4, 0}));
    a = Exchange(unit(11, {0x0E, 0x01, 0x20}));
    ASSERT_GE(a.size(), 28u);
    EXPECT_EQ(Bytes(a.end() - 4, a.end()), (Bytes{0x8E, 0, 0x13, 0}));

    // The Connection object of that connection.
    const uint8_t inst = slot.conn->number;
    auto conn = [inst](uint8_t service, uint8_t attr, const Bytes &d = {}) {
        std::array<uint8_t, CIP_ANSWER_MAX> out{};
        const CipRequest req{service, 5, inst, attr, uint16_t(d.size()), d.data(), 0};
        return Bytes(out.begin(), out.begin() + Connection_Service(req, out.data()));
    };
    EXPECT_EQ(conn(0x0E, 1), (Bytes{0x8E, 0, 0, 0, 3}));
    EXPECT_EQ(conn(0x0E, 10), (Bytes{0x8E, 0, 0, 0, 0x03, 0x20, 0, 0}));
    EXPECT_EQ(conn(0x0E, 18), (Bytes{0x8E, 0, 9, 0}));
    EXPECT_EQ(conn(0x10, 9, {0x20, 0x00}), (Bytes{0x90, 0, 0, 0}));
    EXPECT_EQ(conn(0x0E, 9), (Bytes{0x8E, 0, 0, 0, 0x20, 0}));
    EXPECT_EQ(conn(0x10, 9, {1, 2, 3}), (Bytes{0x90, 0, 0x15, 0}));
    EXPECT_EQ(conn(0x10, 12, {}), (Bytes{0x90, 0, 0x13, 0}));
    EXPECT_EQ(conn(0x10, 3, {1}), (Bytes{0x90, 0, 0x0C, 0}));
    EXPECT_EQ(conn(0x10, 18, {1}), (Bytes{0x90, 0, 0x14, 0}));
    EXPECT_EQ(conn(0x0D, 0), (Bytes{0x8D, 0, 8, 0}));
    EXPECT_EQ(conn(0x4C, 0), (Bytes{0xCC, 0, 8, 0}));
    std::array<uint8_t, CIP_ANSWER_MAX> out{};
    const CipRequest none{0x0E, 5, 8, 1, 0, nullptr, 0};
    EXPECT_EQ(Bytes(out.begin(), out.begin() + Connection_Service(none, out.data())), (Bytes{0x8E, 0, 0x16, 0}));

    // Data asked of the connection: its produced path (the produced
    // assembly, 101, attribute 3) served as a Get_Attribute_Single; a bad
    // path answers 4, a connection not established 0x0C.
    ObjConnection &oc = *slot.conn;
    oc.produced_path = {0x20, 0x04, 0x24, 0x65, 0x30, 0x03};
    EipTxData.fill(0);
    EipTxData[0] = 0x11;
    EipTxData[7] = 0x88;
    auto get = [&oc] {
        std::array<uint8_t, CIP_ANSWER_MAX> a{};
        const CipRequest req{0x0E, 5, oc.number, 0, 0, nullptr, 0};
        return Bytes(a.begin(), a.begin() + Conn_Get_Data(req, a.data(), &oc));
    };
    EXPECT_EQ(get(), (Bytes{0x8E, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0x88}));
    oc.produced_path = {0x60, 0, 0, 0, 0, 0};
    EXPECT_EQ(get(), (Bytes{0x8E, 0, 4, 0}));
    oc.state = CipConnState::TimedOut;
    EXPECT_EQ(get(), (Bytes{0x8E, 0, 0x0C, 0}));
    oc.state = CipConnState::Established;

    // Malformed packets: status 3; an unknown command: status 1.
    auto status = [](const Bytes &m) {
        const Bytes a = Exchange(m);
        return a.size() >= 12 ? LE_Get32(&a[8]) : 0xFFFFFFFFu;
    };
    EXPECT_EQ(status(Encap(0x6F, {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0})), 3u);                    // one item
    EXPECT_EQ(status(Encap(0x6F, {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 9, 0})), 3u);     // past the end
    EXPECT_EQ(status(Encap(0x6F, {0, 0, 0, 0, 0, 0, 2, 0, 0x55, 0, 0, 0, 0xB2, 0, 0, 0})), 3u);  // unknown type
    EXPECT_EQ(status(Encap(0x6F, {0, 0, 0, 0, 0, 0})), 3u);
    EXPECT_EQ(status(Encap(0x63, {})), 1u);
    EXPECT_EQ(Exchange(Encap(0x00, {})).size(), 0u);
    std::memcpy(EipRxBuff.data(), Encap(0x66, {}).data(), 24);
    EXPECT_EQ(EncapMsg(0, 24), 2u);

    // Framing: 24 + length; a length over 1,476 is no encapsulation peer.
    static EipEncap e;
    e.rx_len = 0;
    const Bytes two = Encap(0x04, {});
    std::memcpy(e.rx.data(), two.data(), 24);
    std::memcpy(e.rx.data() + 24, two.data(), 10);
    e.rx_len = 34;
    EXPECT_EQ(EipFrameLength(e), 24u);
    LE_Put16(&e.rx[2], 10);
    EXPECT_EQ(EipFrameLength(e), 34u);
    LE_Put16(&e.rx[2], 11);
    EXPECT_EQ(EipFrameLength(e), 0u);
    LE_Put16(&e.rx[2], 1476);
    EXPECT_EQ(EipFrameLength(e), 0u);
    LE_Put16(&e.rx[2], 1477);
    EXPECT_EQ(EipFrameLength(e), 0xFFFFFFFFu);
    e.rx_len = 24;
    LE_Put16(&e.rx[2], 0);
    EXPECT_EQ(EipFrameLength(e), 24u);
    // The longest frame fills the receive buffer and is served.
    EipRxBuff.fill(0);
    LE_Put16(&EipRxBuff[0], 0x04);
    LE_Put16(&EipRxBuff[2], 1476);
    EXPECT_EQ(EncapMsg(0, 1500), 1u);
    EXPECT_EQ(LE_Get16(&EipTxBuff[2]), 26u);
}

TEST(ClassThree, ItemListsAndUnconnectedRequestsToTheLastByte) {
    struct Case {
        Bytes items;
        uint32_t bad;
        uint16_t data_len;
    };
    const Case cases[] = {
        {{2, 0, 0xB2, 0, 2, 0, 0x0E, 0x01, 0, 0, 0, 0}, 0, 2},  // the null item ends at the last byte
        {{2, 0, 0, 0, 0, 0, 0xB2, 0}, 1, 0},                    // item header cut
        {{2, 0, 0, 0, 0, 0, 0xB2, 0, 2, 0, 0x0E}, 1, 0},        // item data cut
    };
    for (const Case &c : cases) {
        EipCpf cpf;
        EXPECT_EQ(EipCpfParse(c.items.data(), uint32_t(c.items.size()), &cpf), c.bad)
            << testing::PrintToString(c.items);
        EXPECT_EQ(cpf.data_len, c.data_len);
    }
    Adapter ad;
    auto ucmm = [](uint32_t n, Bytes req) {
        std::array<uint8_t, CIP_ANSWER_MAX> a{};
        return Bytes(a.begin(), a.begin() + Ucmm_Msg(n, req.data(), uint32_t(req.size()), a.data()));
    };
    // The product code (20) by a path that ends at the last byte; a path
    // one word past it.
    EXPECT_EQ(ucmm(0, {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x03}), (Bytes{0x8E, 0, 0, 0, 20, 0}));
    EXPECT_EQ(ucmm(0, {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01}), (Bytes{0x8E, 0, 4, 0}));
    // Service and path size alone, no path: a service it does not have is
    // refused as such (0x08), one it has by its empty path (0x04).
    EXPECT_EQ(ucmm(0, {0x01, 0x00}), (Bytes{0x81, 0, 0x08, 0}));
    EXPECT_EQ(ucmm(0, {0x0E, 0x00}), (Bytes{0x8E, 0, 0x04, 0}));
    EXPECT_EQ(ucmm(0, {0x0E}), (Bytes{0x8E, 0, 0x04, 0}));
    // The second interface rewrites byte 5 (the instance) only when there is one.
    EXPECT_EQ(ucmm(1, {0x0E, 0x01, 0x20, 0x01, 0x24}), (Bytes{0x8E, 0, 0x16, 0}));
}

// The adapter's EtherNet/IP sessions on a test port, their sockets deleted
// after.
struct EipServed {
    test_support::FakeClock clock;
    Adapter ad;
    explicit EipServed(uint16_t port) {
        EipPortNumber = test_support::TestPort(port);
        init = Eip_Init(&ad.net.ip, &ad.net.pool);
    }
    ~EipServed() {
        for (auto &e : EipConnEth[0].encap) _nx_tcp_socket_delete(&e.socket);
    }
    uint32_t init;
};

// One pass of the adapter's sessions and of the network.
void EipPass() {
    Eip_Scan(0);
    EnetThread();
    usleep(1000);
}

TEST(EipSession, AnAnswerThatCannotGoOutWholeClosesTheConnection) {
    EipServed served(18510);
    ASSERT_EQ(served.init, 0u);
    const Bytes identity = Encap(0x63, {});
    const size_t answer = Exchange(identity).size();
    ASSERT_GE(answer, 24u);
    Peer a(EipPortNumber);
    const int small = 1;
    setsockopt(a.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    for (int i = 0; i < 3; i++) EipPass();
    ASSERT_EQ(Eip_Conn_Cnt(0), 1u);
    for (auto &e : EipConnEth[0].encap) {
        if (e.socket.accepted_fd >= 0) setsockopt(e.socket.accepted_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    // List Identity again and again from a peer that reads none of the
    // answers: once the connection is full, the connection is closed rather
    // than an answer dropped or cut with others after it.
    Bytes many;
    for (int i = 0; i < 400; i++) many.insert(many.end(), identity.begin(), identity.end());
    a.Send(many);
    for (int i = 0; i < 2000 && Eip_Conn_Cnt(0) != 0; i++) EipPass();
    EXPECT_EQ(Eip_Conn_Cnt(0), 0u);
    const Bytes got = a.Take(100);
    EXPECT_TRUE(a.closed);
    ASSERT_GT(got.size(), 0u);
    for (size_t k = 0; answer * k + 2 <= got.size(); k++) EXPECT_EQ(LE_Get16(&got[answer * k]), 0x63u) << k;
}

// A point-to-point connection produces to the host whose message opened
// it, also when that message waited in its session's stream behind another
// while a second session's host sent something.
TEST(EipSession, APointToPointConnectionProducesToTheHostThatOpenedIt) {
    EipServed served(18512);
    ASSERT_EQ(served.init, 0u);
    Peer a(EipPortNumber);
    for (int i = 0; i < 200 && Eip_Conn_Cnt(0) < 1; i++) EipPass();
    struct Other {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ~Other() { close(fd); }
    } b;
    struct sockaddr_in from {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(bind(b.fd, reinterpret_cast<struct sockaddr *>(&from), sizeof from), 0);
    ASSERT_EQ(test_support::LoopbackConnect(b.fd, EipPortNumber), 0);
    for (int i = 0; i < 200 && Eip_Conn_Cnt(0) < 2; i++) EipPass();
    ASSERT_EQ(Eip_Conn_Cnt(0), 2u);
    // 127.0.0.1: a NOP and a Forward_Open of a T->O point-to-point
    // connection in one write; 127.0.0.2: a NOP.
    Bytes cip{0x54, 0x02, 0x20, 0x06, 0x24, 0x01};
    test_support::AppendBytes(cip, ForwardOpen(1, 0, 0x400A, 0x01, {0x20, 0x04, 0x24, 0x01, 0x2C, 0x65}));
    Bytes rr{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, uint8_t(cip.size()), 0};
    test_support::AppendBytes(rr, cip);
    Bytes both = Encap(0x00, {});
    test_support::AppendBytes(both, Encap(0x6F, rr));
    a.Send(both);
    a.WaitDelivered();
    const Bytes nop = Encap(0x00, {});
    ASSERT_EQ(send(b.fd, nop.data(), nop.size(), 0), ssize_t(nop.size()));
    for (int out = 1, i = 0; out != 0 && i < 5000; i++) {
        ASSERT_EQ(ioctl(b.fd, SIOCOUTQ, &out), 0);
        usleep(200);
    }
    EnetThread();
    Eip_Scan(0);  // the first session's NOP; the second's NOP
    Eip_Scan(0);  // the Forward_Open left in the first session's stream
    unsigned producing = 0;
    for (const EipConnSlot &s : EipConnEth[0].slots) {
        if (!s.used || s.consuming) continue;
        producing++;
        EXPECT_EQ(s.address, 0x7F000001u);
    }
    EXPECT_EQ(producing, 1u);
}

// Two sessions from two hosts: the one that never handed on a whole message
// gives way to a third host, not the client that polls, however long ago
// that client last asked; the poller's next answer comes whole.
TEST(EipSession, ANewcomerClosesTheSessionThatNeverAskedNotTheOneThatPolls) {
    EipServed served(18514);
    ASSERT_EQ(served.init, 0u);
    const Bytes identity = Encap(0x63, {});
    const Bytes answer = Exchange(identity);
    ASSERT_GE(answer.size(), 24u);
    auto asked = [&](Peer &p) {
        p.Send(identity);
        Bytes got;
        for (int i = 0; i < 200 && got.size() < answer.size(); i++) {
            EipPass();
            test_support::AppendBytes(got, p.Take(1));
        }
        return got;
    };
    Peer poller(EipPortNumber, 0x7F000002);
    for (int i = 0; i < 200 && Eip_Conn_Cnt(0) < 1; i++) EipPass();
    EXPECT_EQ(asked(poller), answer);
    test_support::FakeClock::AdvanceMs(1000);
    Peer silent(EipPortNumber, 0x7F000003);
    for (int i = 0; i < 200 && Eip_Conn_Cnt(0) < 2; i++) EipPass();
    ASSERT_EQ(Eip_Conn_Cnt(0), 2u);
    silent.Send({0x63});  // never a whole message
    test_support::FakeClock::AdvanceMs(1000);
    Peer newcomer(EipPortNumber, 0x7F000004);
    for (int i = 0; i < 20; i++) EipPass();
    silent.Take(5);
    EXPECT_TRUE(silent.closed) << "the session that never asked gives way";
    poller.Take(5);
    EXPECT_FALSE(poller.closed);
    EXPECT_EQ(Eip_Conn_Cnt(0), 2u);
    EXPECT_EQ(asked(poller), answer);
    EXPECT_EQ(asked(newcomer), answer);
}

}  // namespace
