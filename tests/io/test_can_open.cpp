// The CANopen node pass by pass on an in-memory bus: PDO exchange and
// remapping, guarding, EMCY, TIME, status bits, and blocks that lie about
// their own contents.
#include <gtest/gtest.h>

#include "core/image/timebase.h"
#include "tests/io/test_can_support.h"

using namespace can_test;
using test_support::FakeClock;

namespace {

// One expedited SDO request to node 5; the answer's 8 bytes.
std::vector<uint8_t> Sdo(std::vector<uint8_t> req, uint8_t node = 5) {
    req.resize(8, 0);
    CanFixture::Clear();
    Inject(0x600u + node, req);
    CanFixture::Pass();
    auto a = Sent(0x580u + node);
    return a.empty() ? std::vector<uint8_t>{} : a[0].data;
}
uint32_t Abort(const std::vector<uint8_t> &a) { return a.size() == 8 && a[0] == 0x80 ? LE_Get32(&a[4]) : 0; }
std::vector<uint8_t> Write(uint16_t index, uint8_t sub, uint32_t v, unsigned n) {
    std::vector<uint8_t> r{uint8_t(0x23 | ((4 - n) << 2)), uint8_t(index), uint8_t(index >> 8), sub};
    for (unsigned i = 0; i < n; i++) r.push_back(uint8_t(v >> (8 * i)));
    return Sdo(r);
}

class CanOpen : public ::testing::Test {
protected:
    CanFixture fx;
};

TEST_F(CanOpen, PdoExchangeSyncAndRemapping) {
    BlockBuilder b(5, 0, 0);
    b.Put(0x08, 100000);  // SYNC consumed on 0x80
    b.Put(0x04, 0x80);
    b.Put(0x54, R(100));
    std::vector<BlockBuilder::Pdo> tx = {{0x185, 5, {0xA0C40A10}}, {0x285, 0xFE, {0xA0C40B10}, 0, 100}};
    for (uint32_t i = 2; i < 17; i++) tx.push_back({0x300 + i, 0xFD, {0xA0C40C10}});
    b.Pdos(tx, {{0x205, 0xFE, {0xA5441410, 0xA5441510}}, {0x206, 0, {0xA5441610}}});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_EQ(co.NMT_State, NMT_OPER);

    // An RPDO of two 16-bit objects with 3 bytes: the first is written, bit 7.
    Inject(0x205, {0x34, 0x12, 0x78});
    CanFixture::Pass();
    EXPECT_EQ(RWord(20), 0x1234);
    EXPECT_EQ(RWord(21), 0);
    EXPECT_TRUE(co.status & CO_ST_RPDO_SHORT);
    EXPECT_EQ(co.pdo_err, 1u);
    EXPECT_EQ(LE_Get32(&plc_reg[(R(100) - 1024) / 8 + 4]), 1u) << "the PDO word follows the status word";
    Inject(0x205, {0x01, 0x00, 0x02, 0x00});
    CanFixture::Pass();
    EXPECT_EQ(RWord(21), 2);
    EXPECT_FALSE(co.status & CO_ST_RPDO_SHORT) << "a good frame of the faulty PDO clears it";
    // A synchronous RPDO waits for the SYNC.
    Inject(0x206, {0xCD, 0xAB});
    CanFixture::Pass();
    EXPECT_EQ(RWord(22), 0);
    Inject(0x80, {});
    CanFixture::Pass();
    EXPECT_EQ(RWord(22), 0xABCD);

    // Type 5 goes on every fifth SYNC; type 0xFE on change, else on its event time.
    RSet(10, 0x5A5A);
    RSet(11, 7);
    CanFixture::Clear();
    for (int i = 0; i < 10; i++) {
        Inject(0x80, {});
        CanFixture::Pass();
    }
    ASSERT_EQ(Sent(0x185).size(), 2u);
    EXPECT_EQ(Sent(0x185)[0].data, (std::vector<uint8_t>{0x5A, 0x5A}));
    EXPECT_EQ(Sent(0x285).size(), 1u) << "sent once on the change";
    CanFixture::Clear();
    FakeClock::AdvanceMs(50);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x285).size(), 0u);
    FakeClock::AdvanceMs(60);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x285).size(), 1u) << "the event time elapsed";
    // A remote request for a type-0xFD PDO sends it once.
    CanFixture::Clear();
    Inject(0x302 | PLAT_CAN_RTR, {}, 0);
    CanFixture::Pass();
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x302).size(), 1u);

    // Remapping over SDO: 0 unmaps, entries, then the count (checked).
    EXPECT_EQ(Write(0x1A00, 0, 0, 1)[0], 0x60);
    EXPECT_EQ(Write(0x1A00, 1, 0xA0C40D10, 4)[0], 0x60);
    EXPECT_EQ(Write(0x1A00, 2, 0xA0C40E30, 4)[0], 0x60);
    EXPECT_EQ(Write(0x1A00, 3, 0xA0C40F08, 4)[0], 0x60);
    EXPECT_EQ(Abort(Write(0x1A00, 0, 3, 1)), SDO_ABORT_MAP) << "16 + 48 + 8 bits";
    EXPECT_EQ(Write(0x1A00, 0, 2, 1)[0], 0x60) << "64 bits fit";
    EXPECT_EQ(Abort(Write(0x1A00, 0, 65, 1)), SDO_ABORT_MAP);
    EXPECT_EQ(Write(0x1A00, 0, 1, 1)[0], 0x60);
    EXPECT_EQ(LE_Get32(&Sdo({0x40, 0x00, 0x1A, 0x01})[4]), 0xA0C40D10u);
    // 16 blocks of 64 dynamic entries: the 17th remapped PDO is refused.
    for (uint16_t p = 1; p < 16; p++) EXPECT_EQ(Write(uint16_t(0x1A00 + p), 0, 0, 1)[0], 0x60) << p;
    EXPECT_EQ(Abort(Write(0x1A10, 0, 0, 1)), SDO_ABORT_MAP);
    // Communication objects: identifier 0 refused; a new PDO behind the last.
    EXPECT_EQ(Abort(Write(0x1800, 1, 0, 4)), SDO_ABORT_PARAM);
    EXPECT_EQ(Abort(Write(0x1800, 4, 0, 1)), SDO_ABORT_RO);
    EXPECT_EQ(Write(0x1811, 1, 0x80000391u, 4)[0], 0x60);
    EXPECT_EQ(co_ntpdo, 18u);
    EXPECT_EQ(Abort(Write(0x1813, 1, 0x391, 4)), SDO_ABORT_ACCESS);
    EXPECT_EQ(Sdo({0x40, 0x01, 0x14, 0x02}), (std::vector<uint8_t>{0x4F, 0x01, 0x14, 0x02, 0x00, 0, 0, 0}))
        << "the synchronous RPDO 2 reads type 0";
    EXPECT_EQ(Sdo({0x40, 0x00, 0x14, 0x02}), (std::vector<uint8_t>{0x4F, 0x00, 0x14, 0x02, 0xFE, 0, 0, 0}))
        << "the asynchronous RPDO 1 reads 0xFE";
    EXPECT_EQ(Abort(Sdo({0x40, 0x06, 0x14, 0x02})), SDO_ABORT_ACCESS) << "there is no RPDO 7";
    // In the stopped state SDO requests go unanswered.
    Inject(0, {0x02, 0x05});
    CanFixture::Pass();
    EXPECT_TRUE(Sdo({0x40, 0x00, 0x10, 0x00}).empty());
    // A 32-bit value to and from the bytes of a message, low byte first.
    uint8_t dw[5] = {0, 0, 0, 0, 0x5C};
    EXPECT_EQ(CANOpenDWProcess(dw, 0x12345678, 1), 0x12345678u);
    EXPECT_EQ(std::vector<uint8_t>(dw, dw + 5), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0x5C}));
    dw[3] = 0x80;
    EXPECT_EQ(CANOpenDWProcess(dw, 0, 0), 0x80345678u);
}

TEST_F(CanOpen, FurtherSdoServersServeOnlyWithBothCobIdsValid) {
    BlockBuilder b(5, 0, 100);
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    auto ask = [](uint32_t cob) {
        CanFixture::Clear();
        Inject(cob, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
        CanFixture::Pass();
    };
    // Server 1's receive COB-ID first: its transmit COB-ID is not valid yet,
    // so it does not answer (least of all on identifier 0, the NMT's).
    EXPECT_EQ(Write(0x1201, 1, 0x641, 4), (std::vector<uint8_t>{0x60, 0x01, 0x12, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(Sdo({0x40, 0x01, 0x12, 0x02}), (std::vector<uint8_t>{0x42, 0x01, 0x12, 0x02, 0x00, 0x00, 0x00, 0x80}));
    ask(0x641);
    EXPECT_TRUE(TheBus().out.empty()) << "first frame on id " << std::hex
                                      << (TheBus().out.empty() ? 0u : TheBus().out[0].id);
    // Both valid: it answers on its own transmit COB-ID.
    EXPECT_EQ(Write(0x1201, 2, 0x5C1, 4)[0], 0x60);
    ask(0x641);
    ASSERT_EQ(TheBus().out.size(), 1u);
    EXPECT_EQ(TheBus().out[0].id, 0x5C1u);
    EXPECT_EQ(TheBus().out[0].data, (std::vector<uint8_t>{0x42, 0x00, 0x10, 0x00, 0x95, 0x01, 0x00, 0x00}));
    // Its transmit COB-ID marked not valid (bit 31): silent again.
    EXPECT_EQ(Write(0x1201, 2, 0x800005C1u, 4)[0], 0x60);
    ask(0x641);
    EXPECT_TRUE(TheBus().out.empty());
    // Server 0's COB-IDs are fixed (0x600 and 0x580 + node id): read only.
    EXPECT_EQ(Sdo({0x40, 0x00, 0x12, 0x01}), (std::vector<uint8_t>{0x42, 0x00, 0x12, 0x01, 0x05, 0x06, 0x00, 0x00}));
    EXPECT_EQ(Sdo({0x40, 0x00, 0x12, 0x02}), (std::vector<uint8_t>{0x42, 0x00, 0x12, 0x02, 0x85, 0x05, 0x00, 0x00}));
    EXPECT_EQ(Write(0x1200, 1, 0x610, 4), (std::vector<uint8_t>{0x80, 0x00, 0x12, 0x01, 0x02, 0x00, 0x01, 0x06}));
    EXPECT_EQ(Write(0x1200, 2, 0x80000585u, 4), (std::vector<uint8_t>{0x80, 0x00, 0x12, 0x02, 0x02, 0x00, 0x01, 0x06}));
    EXPECT_EQ(Sdo({0x40, 0x00, 0x10, 0x00}), (std::vector<uint8_t>{0x42, 0x00, 0x10, 0x00, 0x95, 0x01, 0x00, 0x00}));
    // A configured server whose transmit COB-ID is 0 does not serve either.
    BlockBuilder c(5, 0, 100);
    c.b[0x21] = 2;
    c.Put(0x28, c.Add(BlockBuilder::Words({0x605, 0x585, 0, 0x642, 0x80000000u, 0})));
    CanFixture::SetBlock(c.b);
    CanFixture::Start();
    ask(0x642);
    EXPECT_TRUE(TheBus().out.empty());
}

TEST_F(CanOpen, OverwidePdoMappingsAreReportedPerPdo) {
    // TPDO 1 maps 32 + 32 + 8 bits, TPDO 2 one object of 33 bits, TPDO 3 is
    // sound: the node runs and serves SDO; each faulty PDO sets its bit as
    // it is composed (bit 11 over 64 bits, bit 12 no such object), and the
    // PDO word names the last one.
    BlockBuilder b(5, 0, 100);
    b.Put(0x54, R(100));
    b.Pdos(
        {{0x185, 0xFE, {0xA0C40A20, 0xA0C40B20, 0xA0C40C08}}, {0x285, 0xFE, {0xA0C40D21}}, {0x385, 0xFE, {0xA0C40E10}}},
        {});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    RSet(14, 0x0A0B);
    CanFixture::Clear();
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x001800u) << std::hex << co.status;
    EXPECT_EQ(co.pdo_err, 2u);
    EXPECT_TRUE(Sent(0x185).empty());
    EXPECT_TRUE(Sent(0x285).empty());
    ASSERT_EQ(Sent(0x385).size(), 1u);
    EXPECT_EQ(Sent(0x385)[0].data, (std::vector<uint8_t>{0x0B, 0x0A}));
    // The mapping is mended over SDO: TPDO 2 goes out.
    RSet(13, 0x0C0D);
    EXPECT_EQ(Write(0x1A01, 1, 0xA0C40D10, 4), (std::vector<uint8_t>{0x60, 0x01, 0x1A, 0x01, 0, 0, 0, 0}));
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x285).size(), 1u);
    EXPECT_EQ(Sent(0x285)[0].data, (std::vector<uint8_t>{0x0D, 0x0C}));

    // RPDO 1 maps one object of 33 bits (bit 6, no such object), RPDO 2
    // 16 + 32 + 32 bits: the first two are written, the third lies beyond
    // the 8 bytes (bit 7).
    BlockBuilder r(5, 0, 100);
    r.Put(0x54, R(100));
    r.Pdos({}, {{0x205, 0xFE, {0xA5441421}}, {0x305, 0xFE, {0xA5441510, 0xA5441620, 0xA5441720}}});
    CanFixture::SetBlock(r.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    EXPECT_EQ(Sdo({0x40, 0x00, 0x10, 0x00}), (std::vector<uint8_t>{0x42, 0x00, 0x10, 0x00, 0x95, 0x01, 0x00, 0x00}));
    Inject(0x205, {1, 2, 3, 4, 5});
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000040u) << std::hex << co.status;
    EXPECT_EQ(co.pdo_err, 1u);
    EXPECT_EQ(RWord(20), 0);
    Inject(0x305, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x0000C0u) << std::hex << co.status;
    EXPECT_EQ(co.pdo_err, 2u);
    EXPECT_EQ(RWord(21), 0x2211);
    EXPECT_EQ(RWord(22), 0x4433);
    EXPECT_EQ(RWord(23), 0);
}

TEST_F(CanOpen, TpdoSyncWindowInhibitTimeEventTimeAndRemoteRefusal) {
    BlockBuilder b(5, 0, 0);
    b.Put(0x04, 0x80);    // SYNC consumed on 0x80,
    b.Put(0x08, 100000);  // every 100 ms,
    b.Put(0x0C, 20000);   // window 20 ms
    b.Put(0x54, R(100));
    b.Pdos({{0x185, 1, {0xA0C40A10}},             // on every SYNC, %R10
            {0x285, 0xFE, {0xA0C40B10}, 100, 0},  // on change, inhibit 100 x 100 us, %R11
            {0x40000385, 0xFD, {0xA0C40C10}},     // bit 30: no remote requests, %R12
            {0x485, 0xFD, {0xA0C40D10}}},         // remote requests allowed, %R13
           {});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    CanFixture::Pass();
    // A synchronous TPDO goes out only inside the window after the SYNC.
    RSet(10, 0x1234);
    auto sync_then_tx = [](int ms) {
        CanFixture::Clear();
        Inject(0x80, {});
        Can_Isr();
        CANOpenRxMsg();
        FakeClock::AdvanceMs(ms);
        CANOpenTxMsg();
        Can_Isr();
    };
    sync_then_tx(19);
    ASSERT_EQ(Sent(0x185).size(), 1u);
    EXPECT_EQ(Sent(0x185)[0].data, (std::vector<uint8_t>{0x34, 0x12}));
    FakeClock::AdvanceMs(81);
    sync_then_tx(20);
    EXPECT_TRUE(Sent(0x185).empty()) << "the 20 ms window has elapsed";
    // The inhibit time (10 ms) between two sends on change.
    CanFixture::Clear();
    RSet(11, 1);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x285).size(), 1u);
    RSet(11, 2);
    FakeClock::AdvanceMs(9);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x285).size(), 1u);
    FakeClock::AdvanceMs(1);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x285).size(), 2u);
    EXPECT_EQ(Sent(0x285)[1].data, (std::vector<uint8_t>{0x02, 0x00}));
    // The event time written over SDO in ms: 200 ms with no change.
    EXPECT_EQ(Write(0x1801, 5, 200, 2), (std::vector<uint8_t>{0x60, 0x01, 0x18, 0x05, 0, 0, 0, 0}));
    EXPECT_EQ(Sdo({0x40, 0x01, 0x18, 0x05}), (std::vector<uint8_t>{0x4B, 0x01, 0x18, 0x05, 200, 0, 0, 0}));
    CanFixture::Clear();
    FakeClock::AdvanceMs(199);
    CanFixture::Pass();
    EXPECT_TRUE(Sent(0x285).empty());
    FakeClock::AdvanceMs(1);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x285).size(), 1u);
    EXPECT_EQ(Sent(0x285)[0].data, (std::vector<uint8_t>{0x02, 0x00}));
    // A remote request for a TPDO with bit 30 is refused; without, it is sent.
    CanFixture::Clear();
    RSet(12, 0x0C0C);
    RSet(13, 0x0D0D);
    Inject(0x385 | PLAT_CAN_RTR, {}, 0);
    Inject(0x485 | PLAT_CAN_RTR, {}, 0);
    CanFixture::Pass();
    CanFixture::Pass();
    EXPECT_TRUE(Sent(0x385).empty());
    ASSERT_EQ(Sent(0x485).size(), 1u);
    EXPECT_EQ(Sent(0x485)[0].data, (std::vector<uint8_t>{0x0D, 0x0D}));
    // A refused request is not kept for later: TPDO 3 allows remote requests
    // again (bit 30 cleared over SDO) in the same pass, and still is not
    // sent; a request pending when bit 30 is set over SDO is dropped.
    CanFixture::Clear();
    Inject(0x385 | PLAT_CAN_RTR, {}, 0);
    Inject(0x605, {0x23, 0x02, 0x18, 0x01, 0x85, 0x03, 0x00, 0x00});
    Inject(0x485 | PLAT_CAN_RTR, {}, 0);
    Inject(0x605, {0x23, 0x03, 0x18, 0x01, 0x85, 0x04, 0x00, 0x40});
    CanFixture::Pass();
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x585).size(), 2u);
    EXPECT_EQ(Sent(0x585)[0].data, (std::vector<uint8_t>{0x60, 0x02, 0x18, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(Sent(0x585)[1].data, (std::vector<uint8_t>{0x60, 0x03, 0x18, 0x01, 0, 0, 0, 0}));
    EXPECT_TRUE(Sent(0x385).empty());
    EXPECT_TRUE(Sent(0x485).empty());
}

TEST_F(CanOpen, GuardingEmcyTimeAndStatusBits) {
    BlockBuilder b(5, 0, 0);
    b.Put(0x10, 100, 2);  // guard time 100 ms, life time factor 3
    b.b[0x12] = 3;
    b.Put(0x18, 0x85);
    b.Put(0x1C, 1000, 2);
    b.Put(0x02, 1, 2);
    b.Put(0x68, 0x40000100);
    b.Put(0x54, R(100));
    b.Pdos({}, {{0x205, 0xFE, {0xA5441410}}});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    // Guard answers toggle bit 7.
    CanFixture::Clear();
    for (int i = 0; i < 3; i++) {
        Inject(0x705 | PLAT_CAN_RTR, {}, 1);
        CanFixture::Pass();
    }
    auto g = Sent(0x705);
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[0].data[0], 0x05);
    EXPECT_EQ(g[1].data[0], 0x85);
    EXPECT_EQ(g[2].data[0], 0x05);
    EXPECT_FALSE(co.status & CO_ST_LIFE);

    // EMCY: raised at once, not repeated within the inhibit time, cleared with code 0.
    CanFixture::Clear();
    Inject(0x205, {0x01});
    CanFixture::Pass();
    auto e = Sent(0x85);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].data, (std::vector<uint8_t>{0x00, 0x10, 0x01, 0x80, 0, 0, 0, 0}));
    Inject(0x205, {0x01, 0x00});
    CanFixture::Pass();
    FakeClock::AdvanceMs(50);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x85).size(), 1u) << "within the inhibit time";
    FakeClock::AdvanceMs(51);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x85).size(), 2u);
    EXPECT_EQ(Sent(0x85)[1].data, std::vector<uint8_t>(8, 0));
    FakeClock::AdvanceMs(200);
    CanFixture::Pass();
    EXPECT_TRUE(co.status & CO_ST_LIFE) << "life time without a guard request";

    // TIME: 12:34:56 on 15 June 2030; the same TIME again leaves the clock alone.
    Inject(0x100, {0x80, 0x29, 0xB3, 0x02, 0x48, 0x42});
    CanFixture::Pass();
    for (uint32_t i = 0; i < 7; i++) {
        const uint16_t want[7] = {56, 34, 12, 15, 6, 2030, 7};
        EXPECT_EQ(PlcWord(W_CLOCK + i), want[i]) << i;
    }
    PlcWordSet(W_CLOCK + 6, 3);
    Inject(0x100, {0x80, 0x29, 0xB3, 0x02, 0x48, 0x42});
    CanFixture::Pass();
    EXPECT_EQ(PlcWord(W_CLOCK + 6), 3);
    Inject(0x100, {0x80, 0x29, 0xB3, 0x02});  // short: ignored
    CanFixture::Pass();

    // The CAN network's receive hook sees frames first and may take them.
    static int hooked;
    hooked = 0;
    CANOpen_NetDataRx = [](const CanMsg &m) -> uint32_t {
        if (m.id != 0x605) return 0;
        hooked++;
        return 1;
    };
    CanFixture::Clear();
    Inject(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
    CanFixture::Pass();
    CANOpen_NetDataRx = nullptr;
    EXPECT_EQ(hooked, 1);
    EXPECT_TRUE(Sent(0x585).empty());
    // Short NMT and SDO frames; CAN bus-off and overflow reach bits 21 to 23.
    Inject(0, {0x01});
    Inject(0x605, {0x40, 0x00, 0x10, 0x00});
    Inject(PLAT_CAN_ERR | 0x40, {0, 0});
    Inject(PLAT_CAN_ERR | 0x04, {0, 0x04});
    CanFixture::Pass();
    EXPECT_TRUE(co.status & CO_ST_NMT_SHORT);
    EXPECT_TRUE(co.status & CO_ST_SDO_SHORT);
    EXPECT_TRUE(co.status & CO_ST_BUSOFF);
    EXPECT_TRUE(co.status & CO_ST_CANWARN);
    const uint32_t word = LE_Get32(&plc_reg[(R(100) - 1024) / 8]);
    EXPECT_EQ(word >> 24, NMT_OPER);
    EXPECT_TRUE(word & CO_ST_BUSOFF) << "the published word shows it";
    CanFixture::Pass();
    EXPECT_FALSE(co.status & CO_ST_BUSOFF) << "gone once the port is clear";

    // TIME produced from the clock image: once per change of the time of day,
    // with the day number counted from 1 January 1984 = 1.
    BlockBuilder p(5, 0, 0);
    p.Put(0x02, 1, 2);
    p.Put(0x68, 0x80000100u);
    CanFixture::SetBlock(p.b);
    CanFixture::Start();
    const uint16_t clock[7] = {56, 34, 12, 15, 6, 2030, 7};
    for (uint32_t i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, clock[i]);
    CanFixture::Clear();
    CanFixture::Pass();
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x100).size(), 1u);
    EXPECT_EQ(Sent(0x100)[0].data, (std::vector<uint8_t>{0x80, 0x29, 0xB3, 0x02, 0x48, 0x42}));
    PlcWordSet(W_CLOCK, 57);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x100).size(), 2u);
    const uint16_t jan84[7] = {0, 0, 0, 1, 1, 1984, 1};
    for (uint32_t i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, jan84[i]);
    const uint16_t mar88[7] = {0, 0, 0, 1, 3, 1988, 1};
    CanFixture::Pass();
    EXPECT_EQ(LE_Get16(&Sent(0x100).back().data[4]), 1);
    for (uint32_t i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, mar88[i]);
    PlcWordSet(W_CLOCK, 1);
    CanFixture::Pass();
    EXPECT_EQ(LE_Get16(&Sent(0x100).back().data[4]), 1522) << "1461 days of 1984..1987, then 31 + 29 + 1";
}

TEST_F(CanOpen, BlocksThatDoNotHoldWhatTheyClaim) {
    // Node list of 200 entries; PDO tables past the end; 29-bit SYNC id on an
    // 11-bit SYNC; status registers outside the image windows. (An object
    // over 32 bits or a PDO over 64 bits is no configuration error: each PDO
    // reports it when it runs, see OverwidePdoMappingsAreReportedPerPdo.)
    struct Case {
        const char *what;
        void (*edit)(BlockBuilder &);
    };
    const Case cases[] = {
        {"node list over 127", [](BlockBuilder &b) { b.b[0x13] = 200; }},
        {"node list past the end",
         [](BlockBuilder &b) {
             b.b[0x13] = 3;
             b.Put(0x14, 0x70);
         }},
        {"PDO count over 63", [](BlockBuilder &b) { b.Put(0x30, 64, 2); }},
        {"PDO tables past the end",
         [](BlockBuilder &b) {
             b.Pdos({{0x185, 1, {0xA0C40A10}}}, {});
             b.Put(0x4C, 0xFFFFFFF0u);
         }},
        {"more than 64 objects",
         [](BlockBuilder &b) {
             std::vector<uint32_t> maps(65, 0xA0C40A01);
             b.Pdos({{0x185, 1, maps}}, {});
         }},
        {"SYNC COB-ID 0",
         [](BlockBuilder &b) {
             b.Put(0x08, 1000);
             b.Put(0x04, 0);
         }},
        {"server SDO list past the end",
         [](BlockBuilder &b) {
             b.b[0x21] = 3;
             b.Put(0x28, 0x70);
         }},
    };
    for (const Case &c : cases) {
        BlockBuilder b(5, 0, 100);
        c.edit(b);
        CanFixture::SetBlock(b.b);
        CanFixture::Start();
        EXPECT_TRUE(co.status & CO_ST_CFG) << c.what;
        CanFixture::Clear();
        Inject(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
        CanFixture::Pass();
        EXPECT_TRUE(Sent(0x585).empty()) << c.what << ": no CANopen work at all";
    }
    // A block shorter than its own header keeps the node from reading past it.
    CanFixture::SetBlock({1, 5, 0, 0});
    CanFixture::Start();
    EXPECT_TRUE(co.status & CO_ST_CFG);
    // A later download with a new checksum starts the node again.
    BlockBuilder good(6, 0, 100);
    CanFixture::SetBlock(good.b);
    LE_Put16(copendnet_tbl.data(), 0x4321);
    CanFixture::Pass();
    EXPECT_EQ(co.status & CO_ST_CFG, 0u);
    EXPECT_EQ(PlcWord(W_NETID), 6);

    // Status registers: the system window start (0x10000000) and a word that
    // runs past the end of the linear window are refused (bit 16).
    for (uint32_t reg : {0x10000000u, REG_LIN_END - 16, REG_ESR_END - 48}) {
        BlockBuilder s(5, 0, 100);
        s.Put(0x54, reg);
        CanFixture::SetBlock(s.b);
        CanFixture::Start();
        CanFixture::Pass();
        EXPECT_TRUE(co.status & CO_ST_REGWRITE) << std::hex << reg;
    }
    BlockBuilder ok(5, 0, 100);
    ok.Put(0x54, REG_ESR_FIRST);
    CanFixture::SetBlock(ok.b);
    CanFixture::Start();
    CanFixture::Pass();
    EXPECT_FALSE(co.status & CO_ST_REGWRITE);
    EXPECT_EQ(plc_reg[REG_ESR_BYTE + 3], NMT_OPER);
    // Defaults: a block id of 0 uses word 156 and stays pre-operational.
    PlcWordSet(W_NETID, 9);
    CanFixture::SetBlock({0, 0});
    NodeId_Flag = 0;
    CanFixture::Start();
    CanFixture::Pass();
    EXPECT_EQ(co.Node_id, 9);
    EXPECT_EQ(co.NMT_State, NMT_PREOP);
    EXPECT_EQ(co.status, CO_ST_NOLIFE | 0u) << std::hex << co.status;
}

}  // namespace

TEST_F(CanOpen, OverlongTpdoAndFullTransmitRingSetBits11And3) {
    // TPDO 1 maps 32 + 16 bits; TPDO 2 is a 16-bit TPDO on change, TPDO 3
    // one on change with an event time of 100 ms, TPDO 4 one on its trigger
    // bit (bit 0 of %R30).
    BlockBuilder b(5, 0, 0);
    b.Put(0x54, R(100));
    b.Pdos({{0x185, 0xFE, {0xA0C40A20, 0xA0C40B10}},
            {0x285, 0xFE, {0xA0C40D10}},
            {0x385, 0xFE, {0xA0C40F10}, 0, 100},
            {0x485, 0xFF, {0xA0C41010}}},
           {});
    b.Put(LE_Get32(&b.b[0x44]) + 24, 0xFFu | (R(30) << 8));
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000004u) << "bit 2 only: no heartbeat and no guarding";
    // Entry 2 rewritten to 48 bits: the write is refused but the entry is
    // stored, and the compose finds 80 bits: bit 11, PDO word 1.
    EXPECT_EQ(Abort(Write(0x1A00, 2, 0xA0C40B30, 4)), 0x06040041u);
    CanFixture::Clear();
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000804u) << std::hex << co.status;
    EXPECT_EQ(co.pdo_err, 1u);
    EXPECT_EQ(LE_Get32(&plc_reg[(R(100) - 1024) / 8]) & 0x00FFFFFFu, 0x000804u) << "the published word";
    EXPECT_EQ(LE_Get32(&plc_reg[(R(100) - 1024) / 8 + 4]), 1u);
    EXPECT_TRUE(Sent(0x185).empty());
    // Back to 16 bits: the next compose of PDO 1 clears bits 9 to 13.
    EXPECT_EQ(Write(0x1A00, 2, 0xA0C40B10, 4)[0], 0x60);
    RSet(10, 0x1111);
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000004u) << std::hex << co.status;

    // The socket takes nothing: the ring of 200 fills, the 201st message is
    // refused with bit 3.
    TheBus().write_room = 0;
    co.status = 0;
    unsigned queued = 0;
    const uint8_t one[1] = {1};
    while (queued < 300 && CANOpenSend(0x701, 1, one, 0) == 1) queued++;
    EXPECT_EQ(queued, 200u);
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000008u) << std::hex << co.status;
    // A TPDO that falls due while the ring is full sets it as well, and
    // stays due: its trigger bit stays set, its event stays elapsed, its new
    // data are not taken for sent (each ends the pass in its turn).
    co.status = 0;
    RSet(16, 0x0102);
    RSet(30, 1);
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x0Fu, 0x0Cu) << std::hex << co.status;
    EXPECT_EQ(RWord(30), 1) << "the trigger bit is cleared only when the PDO went out";
    FakeClock::AdvanceMs(110);
    CanFixture::Pass();
    RSet(13, 0x4321);
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x0Fu, 0x0Cu) << std::hex << co.status;
    // Room again: the ring drains, and the three PDOs go out once each with
    // the data they fell due with, no register changed and no time passed.
    TheBus().write_room = 1 << 30;
    CanFixture::Clear();
    for (int i = 0; i < 6; i++) CanFixture::Pass();
    EXPECT_EQ(Sent(0x701).size(), 200u);
    ASSERT_EQ(Sent(0x285).size(), 1u);
    EXPECT_EQ(Sent(0x285)[0].data, (std::vector<uint8_t>{0x21, 0x43}));
    ASSERT_EQ(Sent(0x385).size(), 1u) << "the event time elapsed while the ring was full";
    EXPECT_EQ(Sent(0x385)[0].data, (std::vector<uint8_t>{0x00, 0x00}));
    ASSERT_EQ(Sent(0x485).size(), 1u);
    EXPECT_EQ(Sent(0x485)[0].data, (std::vector<uint8_t>{0x02, 0x01}));
    EXPECT_EQ(RWord(30), 0);
    CanFixture::Clear();
    RSet(13, 0x4322);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x285).size(), 1u);
    EXPECT_EQ(Sent(0x285)[0].data, (std::vector<uint8_t>{0x22, 0x43}));
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x00000Cu)
        << "bit 3 stays until the status is cleared: " << std::hex << co.status;
}

TEST_F(CanOpen, ErrorRegisterFollowsTheStatusAlsoWithoutEmcy) {
    // EMCY not produced (COB-ID bit 31): object 0x1001 still shows bit 0
    // while an error bit of the EMCY mask is set. A short NMT command sets
    // bit 15; nothing clears it, so the register stays 1.
    BlockBuilder b(5, 0, 100);
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    EXPECT_EQ(Sdo({0x40, 0x01, 0x10, 0x00}), (std::vector<uint8_t>{0x4F, 0x01, 0x10, 0x00, 0x00, 0, 0, 0}));
    Inject(0, {0x01});
    CanFixture::Pass();
    ASSERT_EQ(co.status & CO_ST_NMT_SHORT, CO_ST_NMT_SHORT);
    EXPECT_EQ(Sdo({0x40, 0x01, 0x10, 0x00}), (std::vector<uint8_t>{0x4F, 0x01, 0x10, 0x00, 0x01, 0, 0, 0}));
    // The same in the stopped state, where no EMCY is sent either.
    Inject(0, {0x02, 0x05});
    CanFixture::Pass();
    ASSERT_EQ(co.NMT_State, NMT_STOPPED);
    EXPECT_EQ(co.errreg, 1);
}

TEST_F(CanOpen, ConsumedHeartbeatLostStaysReportedWhileAnyNodeIsStillSilent) {
    // A slave consuming the heartbeats of nodes 0x10 and 0x11, 100 ms each.
    BlockBuilder b(5, 0, 100);
    b.b[0x13] = 2;
    b.Put(0x14, b.Add(BlockBuilder::Words({0x00100064u, 0x00110064u})));
    b.Put(0x54, R(100));
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_EQ(co.hbcons, 1);
    Inject(0x710, {0x05});
    Inject(0x711, {0x05});
    CanFixture::Pass();
    FakeClock::AdvanceMs(99);
    CanFixture::Pass();
    EXPECT_EQ(co.status & CO_ST_HBLOST, 0u) << "99 ms of 100";
    FakeClock::AdvanceMs(1);
    CanFixture::Pass();
    EXPECT_EQ(co.status & CO_ST_HBLOST, CO_ST_HBLOST);
    EXPECT_EQ(co_nodes[0].err, 11);
    EXPECT_EQ(co_nodes[1].err, 11);
    EXPECT_EQ(co_nodes[1].state, 0xFE);
    // 0x10 is heard again; 0x11 is still lost: bit 18 stays, in the
    // published word as well.
    Inject(0x710, {0x05});
    CanFixture::Pass();
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co.status & CO_ST_HBLOST, CO_ST_HBLOST);
    EXPECT_EQ(LE_Get32(&plc_reg[(R(100) - 1024) / 8]) & CO_ST_HBLOST, CO_ST_HBLOST);
    // 0x11 is heard again: nothing is lost any more.
    Inject(0x711, {0x05});
    CanFixture::Pass();
    EXPECT_EQ(co_nodes[1].err, 0);
    EXPECT_EQ(co.status & CO_ST_HBLOST, 0u);
}
