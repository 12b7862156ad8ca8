// Every SDO abort code and every status bit of the CANopen node, provoked from
// the bus and checked against the value worked out by hand: whole abort
// frames, the whole status word.
#include <gtest/gtest.h>

#include "tests/io/test_can_support.h"

using namespace can_test;
using test_support::FakeClock;

namespace {

using Bytes = std::vector<uint8_t>;

// One SDO request to node; the answer's 8 bytes (empty when none came).
Bytes Ask(uint8_t node, Bytes req) {
    req.resize(8, 0);
    CanFixture::Clear();
    Inject(0x600u + node, req);
    CanFixture::Pass();
    auto a = Sent(0x580u + node);
    return a.empty() ? Bytes{} : a[0].data;
}

class CanCodes : public ::testing::Test {
protected:
    CanFixture fx;
};

TEST_F(CanCodes, EverySdoAbortCodeAsAWholeFrame) {
    BlockBuilder b(5, 0, 0);
    b.Pdos({{0x185, 1, {0xA0C40A10}}}, {});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & 1u, 0u);
    struct Row {
        const char *what;
        Bytes req, answer;
    };
    const Row rows[] = {
        {"read of the write-only 0x1009", {0x40, 0x09, 0x10, 0x00}, {0x80, 0x09, 0x10, 0x00, 0x00, 0x00, 0x01, 0x06}},
        {"unknown object", {0x40, 0x00, 0x30, 0x00}, {0x80, 0x00, 0x30, 0x00, 0x00, 0x00, 0x01, 0x06}},
        {"write of the device type",
         {0x23, 0x00, 0x10, 0x00, 5, 0, 0, 0},
         {0x80, 0x00, 0x10, 0x00, 0x02, 0x00, 0x01, 0x06}},
        {"SYNC COB-ID 0", {0x23, 0x05, 0x10, 0x00, 0, 0, 0, 0}, {0x80, 0x05, 0x10, 0x00, 0x43, 0x00, 0x04, 0x06}},
        {"4 bytes to the 2-byte heartbeat time",
         {0x23, 0x17, 0x10, 0x00, 100, 0, 0, 0},
         {0x80, 0x17, 0x10, 0x00, 0x12, 0x00, 0x07, 0x06}},
        {"3 bytes to the 2-byte heartbeat time",
         {0x27, 0x17, 0x10, 0x00, 100, 0, 0},
         {0x80, 0x17, 0x10, 0x00, 0x12, 0x00, 0x07, 0x06}},
        {"1 byte to the 2-byte heartbeat time",
         {0x2F, 0x17, 0x10, 0x00, 100},
         {0x80, 0x17, 0x10, 0x00, 0x13, 0x00, 0x07, 0x06}},
        {"1 byte to the 4-byte SYNC period",
         {0x2F, 0x06, 0x10, 0x00, 1},
         {0x80, 0x06, 0x10, 0x00, 0x13, 0x00, 0x07, 0x06}},
        {"sub-index 1 of the device type", {0x40, 0x00, 0x10, 0x01}, {0x80, 0x00, 0x10, 0x01, 0x11, 0x00, 0x09, 0x06}},
        {"identity sub-index 4", {0x40, 0x18, 0x10, 0x04}, {0x80, 0x18, 0x10, 0x04, 0x11, 0x00, 0x09, 0x06}},
        {"TPDO unmapped first", {0x2F, 0x00, 0x1A, 0x00, 0}, {0x60, 0x00, 0x1A, 0x00, 0, 0, 0, 0}},
        {"65 mapped objects", {0x2F, 0x00, 0x1A, 0x00, 65}, {0x80, 0x00, 0x1A, 0x00, 0x41, 0x00, 0x04, 0x06}},
        {"block download to another index",
         {0xC2, 0x00, 0x51, 0x00, 2, 0, 0, 0},
         {0x80, 0x00, 0x51, 0x00, 0x00, 0x00, 0x01, 0x06}},
        // The good answers beside them: expedited, with the count of unused bytes.
        {"heartbeat time written", {0x2B, 0x17, 0x10, 0x00, 100, 0}, {0x60, 0x17, 0x10, 0x00, 0, 0, 0, 0}},
        {"heartbeat time read", {0x40, 0x17, 0x10, 0x00}, {0x4B, 0x17, 0x10, 0x00, 100, 0, 0, 0}},
        {"device type read", {0x40, 0x00, 0x10, 0x00}, {0x42, 0x00, 0x10, 0x00, 0x95, 0x01, 0x00, 0x00}},
    };
    for (const Row &r : rows) EXPECT_EQ(Ask(5, r.req), r.answer) << r.what;

    // A block command at another index while this node's own client runs.
    SDO_St.flags |= SDO_F_CLIENT;
    EXPECT_EQ(Ask(5, {0xC2, 0x00, 0x51, 0x00, 2, 0, 0, 0}), (Bytes{0x80, 0x00, 0x51, 0x00, 0x00, 0x00, 0x00, 0x08}));
    SDO_St.flags &= uint8_t(~SDO_F_CLIENT);

    // A master refuses heartbeat consumer entries written over SDO.
    BlockBuilder m(5, 0x01, 0);
    CanFixture::SetBlock(m.b);
    CanFixture::Start();
    ASSERT_TRUE(co.master);
    EXPECT_EQ(Ask(5, {0x23, 0x16, 0x10, 0x01, 0x64, 0x00, 0x20, 0x00}),
              (Bytes{0x80, 0x16, 0x10, 0x01, 0x22, 0x00, 0x00, 0x08}));
}

TEST_F(CanCodes, EachStatusBitAloneInTheWholeWord) {
    struct Row {
        const char *what;
        std::vector<BlockBuilder::Pdo> tx, rx;
        void (*provoke)();
        uint32_t word;  // the status word after it, without the NMT state
    };
    const Row rows[] = {
        {"nothing", {}, {}, [] {}, 0x000000},
        {"RPDO object not writable (bit 5)",
         {},
         {{0x205, 0xFE, {0xA0C40A10}}},
         [] {
             Inject(0x205, {1, 2});
         },
         0x000020},
        {"RPDO object not in the dictionary (bit 6)",
         {},
         {{0x205, 0xFE, {0x60000110}}},
         [] {
             Inject(0x205, {1, 2});
         },
         0x000040},
        {"RPDO shorter than its mapping (bit 7)",
         {},
         {{0x205, 0xFE, {0xA5441410}}},
         [] { Inject(0x205, {1}); },
         0x000080},
        {"RPDO without data (bit 7)", {}, {{0x205, 0xFE, {0xA5441410}}}, [] { Inject(0x205, {}); }, 0x000080},
        {"RPDO of no objects (bit 8)", {}, {{0x205, 0xFE, {}}}, [] { Inject(0x205, {1}); }, 0x000100},
        {"TPDO object not in the dictionary (bit 12)", {{0x185, 0xFE, {0x60000110}}}, {}, [] {}, 0x001000},
        {"TPDO of no objects (bit 13)", {{0x185, 0xFE, {}}}, {}, [] {}, 0x002000},
        {"SDO request of 4 bytes (bit 14)",
         {},
         {},
         [] {
             Inject(0x605, {0x40, 0x00, 0x10, 0x00});
         },
         0x004000},
        {"NMT command of 1 byte (bit 15)", {}, {}, [] { Inject(0, {0x01}); }, 0x008000},
        {"controller overrun (bit 21)",
         {},
         {},
         [] {
             Inject(PLAT_CAN_ERR | 0x04, {0, 0x01});
         },
         0x200000},
        {"bus off (bit 22)",
         {},
         {},
         [] {
             Inject(PLAT_CAN_ERR | 0x40, {0, 0});
         },
         0x400000},
        {"error warning (bit 23)",
         {},
         {},
         [] {
             Inject(PLAT_CAN_ERR | 0x04, {0, 0x04});
         },
         0x800000},
    };
    for (const Row &r : rows) {
        BlockBuilder b(5, 0, 100);
        b.Put(0x54, R(100));
        b.Pdos(r.tx, r.rx);
        CanFixture::SetBlock(b.b);
        CanFixture::Start();
        r.provoke();
        CanFixture::Pass();
        EXPECT_EQ(co.status, r.word) << r.what;
        // Published: the status word with the NMT state (5, operational) on top.
        EXPECT_EQ(LE_Get32(&plc_reg[(R(100) - 1024) / 8]), r.word | 0x05000000u) << r.what;
    }

    // Bit 0: a block that does not hold what it claims (65 PDOs).
    BlockBuilder cfg(5, 0, 100);
    cfg.Put(0x30, 64, 2);
    CanFixture::SetBlock(cfg.b);
    CanFixture::Start();
    EXPECT_EQ(co.status, 0x000001u);
    // Bit 3: nothing leaves the port, so the 200-frame transmit ring fills
    // with SDO answers; the 201st cannot be queued. Bit 2 as well: no
    // heartbeat and no guarding.
    BlockBuilder full(5, 0, 0);
    full.Put(0x54, R(100));
    CanFixture::SetBlock(full.b);
    CanFixture::Start();
    TheBus().write_room = 0;
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 150; i++) Inject(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
        CanFixture::Pass();
    }
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x00000Cu);
    TheBus().write_room = 1 << 30;
    // Bit 16: a status register outside every register window.
    BlockBuilder reg(5, 0, 100);
    reg.Put(0x54, 0x10000000u);
    CanFixture::SetBlock(reg.b);
    CanFixture::Start();
    CanFixture::Pass();
    EXPECT_EQ(co.status, 0x010000u);
    // Bits 2 and 17: guarded, the life time (100 ms x 3) runs out without a
    // guard request; no guarding at all reads bit 2 alone.
    BlockBuilder life(5, 0, 0);
    life.Put(0x10, 100, 2);
    life.b[0x12] = 3;
    CanFixture::SetBlock(life.b);
    CanFixture::Start();
    Inject(0x705 | PLAT_CAN_RTR, {}, 1);
    CanFixture::Pass();
    EXPECT_EQ(co.status, 0x000000u) << "guarded";
    FakeClock::AdvanceMs(301);
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x020000u, 0x020000u) << std::hex << co.status;
    BlockBuilder none(5, 0, 0);
    CanFixture::SetBlock(none.b);
    CanFixture::Start();
    CanFixture::Pass();
    EXPECT_EQ(co.status, 0x000004u);
}

}  // namespace
