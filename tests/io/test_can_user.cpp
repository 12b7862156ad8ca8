// The programming channel over CANopen blocks and the user operations (the
// ladder block and the IEC helpers), pass by pass on an in-memory bus.
#include <gtest/gtest.h>

#include "io/vcomm.h"
#include "tests/io/test_can_support.h"

using namespace can_test;
using test_support::FakeClock;

namespace {

class CanUser : public ::testing::Test {
protected:
    CanFixture fx;
    void SetUp() override {
        Vcomm_Lock = 0;
        Vcomm_Mode = 0;
        Net_FlushRx();
        co_blk = CoBlock{};
        SDO_KernelStatus.fill(255);
    }
    void TearDown() override {
        Vcomm_Lock = 0;
        Vcomm_Mode = 0;
    }
    static void StartNode(uint8_t node, uint8_t flags) {
        BlockBuilder b(node, flags, 0);
        CanFixture::SetBlock(b.b);
        CanFixture::Start();
        CanFixture::Clear();
    }
    // Sends a programming block from the tool node to node 5: answers the
    // frames of the node on 0x585.
    static std::vector<Frame> SendBlock(const std::vector<uint8_t> &block) {
        std::vector<uint8_t> init{0xC2, 0x00, 0x50, 0x00};
        for (unsigned i = 0; i < 4; i++) init.push_back(uint8_t(block.size() >> (8 * i)));
        Inject(0x605, init);
        CanFixture::Pass();
        for (size_t pos = 0, seq = 1; pos < block.size(); pos += 7, seq++) {
            std::vector<uint8_t> seg{uint8_t(seq | (pos + 7 >= block.size() ? 0x80 : 0))};
            for (size_t i = pos; i < pos + 7; i++) seg.push_back(i < block.size() ? block[i] : 0);
            Inject(0x605, seg);
            CanFixture::Pass();
        }
        return Sent(0x585);
    }
};

TEST_F(CanUser, ProgrammingChannelBlocksRepliesAndRefusals) {
    StartNode(5, 0);
    // A 20-byte frame from node 3 arrives as a 21-byte block in 3 segments.
    std::vector<uint8_t> block{3};
    for (uint8_t i = 0; i < 20; i++) block.push_back(uint8_t(0x40 + i));
    auto a = SendBlock(block);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].data, (std::vector<uint8_t>{0xA0, 0x00, 0x50, 0x00, 3, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(a[1].data.begin(), a[1].data.begin() + 3), (std::vector<uint8_t>{0xA2, 3, 3}));
    EXPECT_EQ(Vcomm_Mode, 2u) << "the port is claimed for the CAN host";
    std::vector<uint8_t> got;
    while (Net_CheckRx()) got.push_back(Net_GetRx());
    EXPECT_EQ(got, std::vector<uint8_t>(block.begin() + 1, block.end()));

    // The reply goes to 0x603 as a block; segments at least 41 ticks apart.
    CanFixture::Clear();
    const uint8_t reply[10] = {0xFF, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    CANOpen_PutByte(reply, sizeof reply, 2);
    CanFixture::Pass();
    auto init = Sent(0x603);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].data, (std::vector<uint8_t>{0xC2, 0x00, 0x50, 0x00, 11, 0, 0, 0}));
    Inject(0x583, {0xA0, 0x00, 0x50, 0x00, 2, 0, 0, 0});
    uint32_t first_tick = 0, second_tick = 0;
    for (int t = 0; t < 100 && Sent(0x603).size() < 3; t++) {
        CanFixture::Pass();
        if (Sent(0x603).size() == 2 && first_tick == 0) first_tick = uint32_t(t) + 1;
        if (Sent(0x603).size() == 3) second_tick = uint32_t(t) + 1;
        FakeClock::Advance(1);
    }
    auto segs = Sent(0x603);
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[1].data, (std::vector<uint8_t>{0x01, 5, 0xFF, 8, 1, 2, 3, 4}));
    EXPECT_EQ(segs[2].data, (std::vector<uint8_t>{0x82, 5, 6, 7, 8}));
    EXPECT_GE(second_tick - first_tick, 41u);
    // Bytes written during a reply follow as the next block after the tool's A2.
    CANOpen_PutByte(reply, 2, 2);
    Inject(0x583, {0xA2, 2, 2, 0, 0, 0, 0, 0});
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x603).back().data, (std::vector<uint8_t>{0xC2, 0x00, 0x50, 0x00, 3, 0, 0, 0}));
    // No answer of the tool: after 1 s the reply times out and the channel
    // goes on; a slow tool's answer within it still counts.
    FakeClock::AdvanceMs(999);
    CanFixture::Pass();
    EXPECT_EQ(co_blk.tx_state, 1) << "still waiting for the tool's A0";
    FakeClock::AdvanceMs(2);
    CanFixture::Pass();
    EXPECT_EQ(co_blk.tx_state, 0);

    // A 256-byte block: its 32nd segment starts with 0x20 and is data, not a command.
    Net_FlushRx();
    CanFixture::Clear();
    std::vector<uint8_t> big(256, 0x20);
    big[0] = 3;
    a = SendBlock(big);
    ASSERT_EQ(a.size(), 2u) << "A0, then A2 only";
    EXPECT_EQ(a[1].data[0], 0xA2);
    EXPECT_EQ(a[1].data[1], 37);
    int n = 0;
    while (Net_CheckRx()) {
        Net_GetRx();
        n++;
    }
    EXPECT_EQ(n, 255);
    // Refusals: over the buffer or the queue's room, wrong sequence, short
    // last block, bit 7 in the sender's id, another index.
    struct Bad {
        std::vector<uint8_t> init;
        std::vector<std::vector<uint8_t>> segs;
        uint32_t code;
    };
    const Bad bad[] = {
        {{0xC2, 0x00, 0x50, 0x00, 0x03, 0x01, 0, 0}, {}, 0x06070012},
        {{0xC2, 0x00, 0x50, 0x00, 0x00, 0x00, 0, 0}, {}, 0x06070012},
        {{0xC2, 0x00, 0x50, 0x00, 9, 0, 0, 0}, {{0x02, 1, 2, 3, 4, 5, 6, 7}}, 0x05040003},
        {{0xC2, 0x00, 0x50, 0x00, 9, 0, 0, 0}, {{0x81, 1, 2, 3, 4, 5, 6, 7}}, 0x05040002},
        {{0xC2, 0x00, 0x50, 0x00, 2, 0, 0, 0}, {{0x81, 0x83, 1, 0, 0, 0, 0, 0}}, 0x06040043},
        {{0xC2, 0x00, 0x51, 0x00, 2, 0, 0, 0}, {}, 0x06010000},
    };
    for (const Bad &b : bad) {
        CanFixture::Clear();
        Inject(0x605, b.init);
        CanFixture::Pass();
        for (const auto &s : b.segs) {
            Inject(0x605, s);
            CanFixture::Pass();
        }
        auto ans = Sent(0x585);
        ASSERT_FALSE(ans.empty());
        EXPECT_EQ(ans.back().data[0], 0x80);
        EXPECT_EQ(LE_Get32(&ans.back().data[4]), b.code);
        EXPECT_FALSE(Net_CheckRx());
        EXPECT_TRUE(Sent(0).empty());
    }
    // More than the queue's room.
    QnCAN_HostQue.in = 10;
    CanFixture::Clear();
    Inject(0x605, {0xC2, 0x00, 0x50, 0x00, 250, 0, 0, 0});
    CanFixture::Pass();
    EXPECT_EQ(LE_Get32(&Sent(0x585).back().data[4]), 0x06070012u);
    Net_FlushRx();
    // While a conversation forwards to another node, that node's answer block
    // feeds the conversation; a block while another host holds the port is dropped.
    Vcomm_Mode = 1;
    Vcomm_Lock = 1;
    SendBlock({9, 0xA0});
    ASSERT_TRUE(Net_CheckRx());
    EXPECT_EQ(Net_GetRx(), 0xA0);
    EXPECT_EQ(Vcomm_Mode, 1u);
    Vcomm_Mode = 0;
    SendBlock({3, 0x01});
    EXPECT_FALSE(Net_CheckRx());
    Vcomm_Lock = 0;
    // A tool whose sender id is 0: its bytes are taken, the reply goes to 0x600.
    Net_FlushRx();
    co_blk = CoBlock{};
    CanFixture::Clear();
    a = SendBlock({0, 0x11, 0x22});
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(a[1].data.begin(), a[1].data.begin() + 3), (std::vector<uint8_t>{0xA2, 1, 1}));
    got.clear();
    while (Net_CheckRx()) got.push_back(Net_GetRx());
    EXPECT_EQ(got, (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(Vcomm_Mode, 2u);
    CANOpen_PutByte(reply, 2, 2);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x600).size(), 1u);
    EXPECT_EQ(Sent(0x600)[0].data, (std::vector<uint8_t>{0xC2, 0x00, 0x50, 0x00, 3, 0, 0, 0}));
    Vcomm_Lock = 0;
    Vcomm_Mode = 0;
    // Forwarding mode names the target in the frame's third byte.
    CanFixture::Clear();
    co_blk = CoBlock{};
    const uint8_t fwd[4] = {0x01, 0x01, 0x09, 0xF5};
    CANOpen_PutByte(fwd, 4, 1);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x609).size(), 1u);
    // The rest of a forwarded conversation (the host's answer bytes, its data
    // frames) names no target: it goes to the node the command frame named,
    // not to a CAN tool (none has spoken here). Node 9 takes the 5-byte block
    // in one segment and ends it.
    Inject(0x589, {0xA0, 0x00, 0x50, 0x00, 1, 0, 0, 0});
    for (int t = 0; t < 100 && Sent(0x609).size() < 2; t++) {
        CanFixture::Pass();
        FakeClock::Advance(1);
    }
    ASSERT_EQ(Sent(0x609).size(), 2u);
    EXPECT_EQ(Sent(0x609)[1].data, (std::vector<uint8_t>{0x81, 5, 0x01, 0x01, 0x09, 0xF5}));
    Inject(0x589, {0xA2, 1, 1, 0, 0, 0, 0, 0});
    CanFixture::Pass();
    CanFixture::Clear();
    const uint8_t ack = 0xA0;
    CANOpen_PutByte(&ack, 1, 1);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x609).size(), 1u) << "the host's answer byte goes to node 9";
    EXPECT_EQ(Sent(0x609)[0].data, (std::vector<uint8_t>{0xC2, 0x00, 0x50, 0x00, 2, 0, 0, 0}));
    EXPECT_TRUE(Sent(0x600).empty());
    // A command frame of the long form carries the target after its three
    // length bytes: 01 FF 01 00 0C 01 goes to node 12, not to node 1.
    co_blk = CoBlock{};
    CanFixture::Clear();
    const uint8_t fwd_long[6] = {0x01, 0xFF, 0x01, 0x00, 0x0C, 0xF3};
    CANOpen_PutByte(fwd_long, 6, 1);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x60C).size(), 1u);
    EXPECT_TRUE(Sent(0x601).empty());
}

// Ladder block form: parameter block at %R200, result block at %R300.
uint32_t Ladder(uint16_t fn, uint32_t enable, uint32_t p = R(200), uint32_t r = R(300)) {
    const uint16_t tok[5] = {fn, uint16_t(p), uint16_t(p >> 16), uint16_t(r), uint16_t(r >> 16)};
    const uint16_t *t = tok;
    const uint32_t rung = CANOpenLadrBlock(&t, enable);
    EXPECT_EQ(t, tok + 5);
    return rung;
}

TEST_F(CanUser, LadderBlockAndIecHelpers) {
    StartNode(1, 0x01);  // master without slaves
    co.NMT_State = NMT_PREOP;
    // Two SDO reads enabled at once: the second reports 32 until the first is released.
    RSet(200, 0x20);    // node
    RSet(201, 0x1000);  // index
    RSet(202, 0);       // sub-index
    RSet(210, 0x20);
    RSet(211, 0x1018);
    RSet(212, 1);
    RSet(300, 255);
    RSet(310, 255);
    EXPECT_EQ(Ladder(1, 1), 0u);
    EXPECT_EQ(RWord(300), 254);
    EXPECT_EQ(Ladder(1, 1, R(210), R(310)), 0u);
    EXPECT_EQ(RWord(310), 32);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x620).size(), 1u);
    EXPECT_EQ(Sent(0x620)[0].data, (std::vector<uint8_t>{0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    Inject(0x5A0, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    CanFixture::Pass();
    EXPECT_EQ(Ladder(1, 1), 1u);
    EXPECT_EQ(RWord(300), 0);
    EXPECT_EQ(RWord(303), 4) << "length read";
    EXPECT_EQ(RWord(304), 0x0191);
    EXPECT_EQ(Ladder(1, 0), 0u);
    EXPECT_EQ(RWord(300), 255);
    EXPECT_EQ(Ladder(1, 0, R(210), R(310)), 0u);
    EXPECT_EQ(Ladder(1, 1, R(210), R(310)), 0u);
    EXPECT_EQ(RWord(310), 254) << "started once the client is free";
    // No answer: time-out gives 35.
    FakeClock::AdvanceMs(101);
    CanFixture::Pass();
    Ladder(1, 1, R(210), R(310));
    EXPECT_EQ(RWord(310), 35);
    Ladder(1, 0, R(210), R(310));

    // Node 0 reads the own dictionary in the same scan; sub-index 255 is refused.
    RSet(200, 0);
    EXPECT_EQ(Ladder(1, 1), 1u);
    EXPECT_EQ(RWord(300), 0);
    EXPECT_EQ(RWord(304), 0x0195);
    Ladder(1, 0);
    RSet(202, 255);
    Ladder(1, 1);
    EXPECT_EQ(RWord(300), 38);
    Ladder(1, 0);
    // Own node id and states.
    EXPECT_EQ(Ladder(2, 1), 1u);
    EXPECT_EQ(RWord(300), 1);
    RSet(200, 0);
    EXPECT_EQ(Ladder(3, 1), 1u);
    EXPECT_EQ(RWord(300), NMT_PREOP);
    // EMCY wait for node 5 ignores node 6.
    RSet(200, 5);
    RSet(300, 255);
    Ladder(5, 1);
    EXPECT_EQ(RWord(300), 254);
    Inject(0x86, {1, 2, 3, 4, 5, 6, 7, 8});
    CanFixture::Pass();
    Ladder(5, 1);
    EXPECT_EQ(RWord(300), 254);
    Inject(0x85, {8, 7, 6, 5, 4, 3, 2, 1});
    CanFixture::Pass();
    EXPECT_EQ(Ladder(5, 1), 1u);
    EXPECT_EQ(RWord(301), 0x0708);
    Ladder(5, 0);
    // A restart of the node empties the EMCY slot under an armed wait: the
    // wait is armed again at its next call and still takes its node's EMCY.
    RSet(300, 255);
    Ladder(5, 1);
    EXPECT_EQ(RWord(300), 254);
    CanFixture::Start();
    co.NMT_State = NMT_PREOP;
    EXPECT_EQ(Ladder(5, 1), 0u);
    EXPECT_EQ(RWord(300), 254);
    Inject(0x85, {0x10, 0x20, 3, 4, 5, 6, 7, 8});
    CanFixture::Pass();
    co.NMT_State = NMT_PREOP;
    EXPECT_EQ(Ladder(5, 1), 1u);
    EXPECT_EQ(RWord(300), 0);
    EXPECT_EQ(RWord(301), 0x2010);
    Ladder(5, 0);
    EXPECT_EQ(RWord(300), 255);
    // NMT from the block; an unknown sub-function does nothing.
    CanFixture::Clear();
    RSet(200, 0x20);
    RSet(201, 0x01);
    RSet(300, 255);
    EXPECT_EQ(Ladder(4, 1), 1u);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0).size(), 1u);
    EXPECT_EQ(Sent(0)[0].data, (std::vector<uint8_t>{0x01, 0x20}));
    EXPECT_EQ(Ladder(9, 1), 0u);

    // Operand form: an instance above 255 answers rung 0 and touches nothing.
    const uint16_t ops[] = {0x8001,
                            0x20,
                            0x100,
                            0x1000,
                            0x100,
                            0,
                            0x100,  // node, index, sub (constants)
                            uint16_t(R(400)),
                            0,
                            uint16_t(R(402)),
                            0,  // status, abort
                            uint16_t(R(404)),
                            0,
                            uint16_t(R(405)),
                            0,  // length, data
                            300,
                            0x100};  // instance 300
    const uint16_t *t = ops;
    EXPECT_EQ(CANOpenLadrBlock(&t, 1), 0u);
    EXPECT_EQ(t, ops + 17);
    EXPECT_EQ(RWord(400), 0);

    // IEC: a remote write of more than 4 bytes is refused, not truncated.
    uint8_t node = 0x20;
    uint16_t index = 0x2000, sub = 1, status = 255, len = 5;
    uint32_t abort = 0;
    uint8_t data[8] = {1, 2, 3, 4, 5};
    void *op[8] = {&node, &index, &sub, &status, &abort, nullptr, &len, data};
    EXPECT_EQ(Z7_canopen_sdo_write(op, 1), 0u);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(abort, SDO_ABORT_LONG);
    // A sub-index operand above 255 names no sub-index: 38, never its low
    // byte (0x100 is not sub-index 0 of the device type).
    uint8_t own = 0, got_len = 0xAA;
    uint16_t dev_index = 0x1000, wide_sub = 0x100, read_status = 255;
    uint32_t read_abort = 0;
    uint8_t got[8] = {};
    void *rop[8] = {&own, &dev_index, &wide_sub, &read_status, &read_abort, nullptr, &got_len, got};
    EXPECT_EQ(Z7_canopen_sdo_read(rop, 1, sizeof got), 0u);
    EXPECT_EQ(read_status, 38);
    EXPECT_EQ(got_len, 0xAA);
    EXPECT_EQ(got[0], 0);
    Z7_canopen_sdo_read(rop, 0, sizeof got);
    EXPECT_EQ(read_status, 255);
    EXPECT_EQ(Z7_get_node_id(), 1u);
    // A non-master answers rung 0 for another node's state.
    StartNode(5, 0);
    uint8_t who = 9, st = 0xAA;
    void *sop[2] = {&who, &st};
    EXPECT_EQ(Z7_get_state(sop, 1), 0u);
    EXPECT_EQ(st, 0xAA);
    who = 0;
    EXPECT_EQ(Z7_get_state(sop, 1), 1u);
    EXPECT_EQ(st, NMT_OPER);
}

}  // namespace
