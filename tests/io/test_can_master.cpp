// The NMT master's boot-up of its slaves, pass by pass on an in-memory bus:
// reset, identity check, configuration download, heartbeat supervision,
// start, optional and mandatory failures.
#include <gtest/gtest.h>

#include <functional>

#include "core/image/timebase.h"
#include "tests/io/test_can_support.h"

using namespace can_test;
using test_support::FakeClock;

namespace {

std::vector<uint8_t> SlaveRecord(uint8_t node, uint8_t assign, uint16_t time_ms, uint32_t device, uint8_t cfg_flags,
                                 uint8_t cfg_err, uint32_t entries, uint32_t entries_off) {
    std::vector<uint8_t> r(56, 0);
    r[0] = assign;
    r[1] = 2;
    r[2] = uint8_t(time_ms);
    r[3] = uint8_t(time_ms >> 8);
    r[4] = cfg_flags;
    r[5] = cfg_err;
    r[7] = node;
    for (unsigned i = 0; i < 4; i++) {
        r[8 + i] = uint8_t(device >> (8 * i));
        r[48 + i] = uint8_t(entries >> (8 * i));
        r[52 + i] = uint8_t(entries_off >> (8 * i));
    }
    return r;
}

std::vector<uint8_t> Entry(uint16_t index, uint8_t sub, uint8_t len, uint32_t v) {
    return {uint8_t(index),   uint8_t(index >> 8), sub, len, uint8_t(v), uint8_t(v >> 8),
            uint8_t(v >> 16), uint8_t(v >> 24)};
}

// Passes (1 ms apart) until pred holds; false after max passes.
bool RunUntil(const std::function<bool()> &pred, int max = 2000) {
    for (int i = 0; i < max; i++) {
        if (pred()) return true;
        CanFixture::Pass();
        FakeClock::AdvanceMs(1);
    }
    return pred();
}

bool HasNmt(uint8_t cmd, uint8_t node) {
    for (const Frame &f : Sent(0)) {
        if (f.data.size() == 2 && f.data[0] == cmd && f.data[1] == node) return true;
    }
    return false;
}

size_t NmtCount(uint8_t cmd, uint8_t node) {
    size_t n = 0;
    for (const Frame &f : Sent(0)) n += f.data == std::vector<uint8_t>{cmd, node};
    return n;
}

// Fills the transmit ring while the socket takes nothing; the frames are
// on id 0x7FF, which no test looks at.
void FillRing() {
    TheBus().write_room = 0;
    const uint8_t one[1] = {1};
    for (int i = 0; i < 300 && CANOpenSend(0x7FF, 1, one, 0) == 1; i++) {
    }
    co.status &= ~CO_ST_TXFULL;
}
void DrainRing() {
    TheBus().write_room = 1 << 30;
    Can_IsrTx();
}

// The slave list of the block: its count, then the records one after the other.
void PutSlaves(BlockBuilder &b, const std::vector<std::vector<uint8_t>> &records) {
    std::vector<uint8_t> all;
    for (const std::vector<uint8_t> &r : records) all.insert(all.end(), r.begin(), r.end());
    b.b[0x13] = uint8_t(records.size());
    b.Put(0x14, b.Add(all));
}

// A heartbeat: the COB-ID it comes on and the state it reports.
struct Beat {
    uint32_t cob;
    uint8_t state;
};

// Rounds of the given heartbeats, each followed by up to `passes` passes,
// until `until` holds; false after `rounds` rounds.
bool BeatUntil(const std::vector<Beat> &beats, int rounds, int passes, const std::function<bool()> &until) {
    for (int i = 0; i < rounds; i++) {
        for (const Beat &h : beats) Inject(h.cob, {h.state});
        if (RunUntil(until, passes)) return true;
    }
    return false;
}
bool BeatUntil(const std::vector<Beat> &beats, const std::function<bool()> &until) {
    return BeatUntil(beats, 40, 20, until);
}

// Both slaves of a two-slave list run.
bool BothRunning() { return co_nodes[0].step == CO_BOOT_RUNNING && co_nodes[1].step == CO_BOOT_RUNNING; }

class CanMaster : public ::testing::Test {
protected:
    CanFixture fx;
};

TEST_F(CanMaster, BootsChecksConfiguresStartsAndSupervises) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    b.Put(0x54, R(100));
    // slave 0x20: configuration entries 0x1017 (heartbeat objects allowed) and
    // 0x1006 (SYNC objects not allowed: skipped); slave 0x21: another device type
    // (not allowed: skipped) and a TPDO mapping written out of order
    std::vector<uint8_t> entries;
    for (const auto &e :
         {Entry(0x1A00, 1, 4, 0x20000110), Entry(0x1017, 0, 2, 100), Entry(0x1A00, 0, 1, 1), Entry(0x1006, 0, 4, 1000)})
        entries.insert(entries.end(), e.begin(), e.end());
    const uint32_t eoff = b.Add(entries);
    // slave 0x20 also asks for remote requests of its TPDOs after its start,
    // which makes the master send each of its own TPDOs once at the start
    PutSlaves(b,
              {SlaveRecord(0x20, 0x01, 500, 0x191, 0x62, 1, 4, eoff), SlaveRecord(0x21, 0x01, 500, 0x192, 0, 0, 0, 0)});
    b.Pdos({{0x181, 0xFE, {0xA0C40A10}}}, {});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_TRUE(co.master);

    ASSERT_TRUE(RunUntil([] { return HasNmt(0x82, 0); })) << "every slave lacks bit 4: reset all";
    Inject(0x720, {0x00});
    Inject(0x721, {0x00});
    ASSERT_TRUE(RunUntil([] { return !Sent(0x620).empty(); }));
    EXPECT_EQ(Sent(0x620)[0].data, (std::vector<uint8_t>{0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    CanFixture::Clear();
    Inject(0x5A0, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    // The mapping goes count 0, entries, count; then the other entries.
    const std::vector<std::vector<uint8_t>> order = {{0x2F, 0x00, 0x1A, 0x00, 0, 0, 0, 0},
                                                     {0x23, 0x00, 0x1A, 0x01, 0x10, 0x01, 0x00, 0x20},
                                                     {0x2F, 0x00, 0x1A, 0x00, 1, 0, 0, 0},
                                                     {0x2B, 0x17, 0x10, 0x00, 100, 0, 0, 0}};
    // 0x21 does not answer yet: its upload is asked again after each
    // time-out (500 ms) and holds the client meanwhile.
    for (size_t i = 0; i < order.size(); i++) {
        ASSERT_TRUE(RunUntil([i] { return Sent(0x620).size() > i; }, 6000)) << i;
        EXPECT_EQ(Sent(0x620)[i].data, order[i]) << i;
        Inject(0x5A0, {0x60, order[i][1], order[i][2], order[i][3], 0, 0, 0, 0});
    }
    // slave 0x21 answers with 0x191: error 3, bit 19, never started
    ASSERT_TRUE(RunUntil([] { return co.cur == 1 && (SDO_St.flags & SDO_F_CLIENT); }, 3000)) << "its upload under way";
    EXPECT_FALSE(Sent(0x621).empty());
    Inject(0x5A1, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    // slave 0x20 waits for a heartbeat (sent every 100 ms), then is started
    const bool started = BeatUntil({{0x720, 0x7F}}, 20, 100, [] { return HasNmt(0x01, 0x20); });
    ASSERT_TRUE(started);
    ASSERT_TRUE(RunUntil([] { return co_nodes[1].step == 19; }));
    EXPECT_EQ(co.NMT_State, NMT_OPER);
    EXPECT_FALSE(HasNmt(0x01, 0x21));
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co.status & 0x180000u, 0x080000u) << "bit 19 (optional slave failed), not bit 20";
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(RWord(104), 0x2000);
    EXPECT_EQ(RWord(105), 0x2103);
    EXPECT_EQ(Sent(0x620).size(), 4u) << "the SYNC entry was filtered out";
    ASSERT_EQ(Sent(0x181).size(), 1u) << "the master's TPDO once, its data unchanged";
    EXPECT_EQ(Sent(0x181)[0].data, (std::vector<uint8_t>{0, 0}));
    for (uint32_t cob : {0x1A0u, 0x2A0u, 0x3A0u, 0x4A0u}) {
        ASSERT_EQ(Sent(cob).size(), 1u) << std::hex << cob;
        EXPECT_TRUE(Sent(cob)[0].id & PLAT_CAN_RTR) << std::hex << cob;
    }
    // Heartbeats keep the slave; silence for its time is error 11 and bit 18.
    for (int i = 0; i < 5; i++) {
        Inject(0x720, {0x05});
        RunUntil([] { return false; }, 200);
    }
    EXPECT_EQ(co_nodes[0].err, 0);
    RunUntil([] { return co_nodes[0].err == 11; }, 600);
    EXPECT_EQ(co_nodes[0].err, 11);
    EXPECT_EQ(co.status & 0x040000u, 0x040000u) << "bit 18";
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(RWord(104), 0x200B);
    Inject(0x720, {0x05});
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(co_nodes[0].err, 0) << "a heartbeat again clears error 11";
    // The master's own state and the slaves' through the node-state query.
    uint8_t who = 0x20, st = 0;
    void *op[2] = {&who, &st};
    EXPECT_EQ(Z7_get_state(op, 1), 1u);
    EXPECT_EQ(st, 0x05);
    // A state the master's NMT command asked for is no change of the slave's
    // own, also on the reports after the first; one nothing asked for is
    // error 0xFD.
    ASSERT_EQ(CANOpenNMTSend(0x20, 0x80), 1u);
    for (int i = 0; i < 2; i++) {
        Inject(0x720, {0x7F});
        RunUntil([] { return false; }, 4);
        EXPECT_EQ(co_nodes[0].err, 0) << i;
    }
    ASSERT_EQ(CANOpenNMTSend(0x20, 0x01), 1u);
    Inject(0x720, {0x05});
    RunUntil([] { return false; }, 4);
    Inject(0x720, {0x05});
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(co_nodes[0].err, 0);
    Inject(0x720, {0x7F});
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(co_nodes[0].err, 0xFD);
    EXPECT_EQ(RWord(104), 0x20FD);
}

TEST_F(CanMaster, KeptSlavesAreResetWhenNotOperationalAndThenConfigured) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    b.Put(0x54, R(100));
    const uint32_t eoff = b.Add(Entry(0x1017, 0, 2, 100));
    // slaves 0x30 and 0x31 are kept alive when operational (assignment bit 4)
    PutSlaves(b,
              {SlaveRecord(0x30, 0x11, 500, 0, 0x22, 1, 1, eoff), SlaveRecord(0x31, 0x11, 500, 0, 0x22, 1, 1, eoff)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    // Neither has reported: no reset at the start of their boots; then 0x30
    // reports pre-operational, 0x31 operational, each time the master waits.
    RunUntil([] { return false; }, 4);
    ASSERT_EQ(co_nodes[0].step, CO_BOOT_RESET);
    ASSERT_EQ(co_nodes[1].step, CO_BOOT_RESET);
    EXPECT_TRUE(Sent(0).empty());
    const std::vector<Beat> reports = {{0x730, 0x7F}, {0x731, 0x05}};
    ASSERT_TRUE(BeatUntil(reports, 30, 50, [] { return HasNmt(0x82, 0x30); })) << "0x30 is not operational: reset";
    EXPECT_FALSE(HasNmt(0x82, 0));
    EXPECT_FALSE(HasNmt(0x82, 0x31));
    EXPECT_TRUE(Sent(0x630).empty()) << "not configured before its reset";
    // Its boot-up; then its configuration, the heartbeat, and its start.
    Inject(0x730, {0x00});
    ASSERT_TRUE(RunUntil([] { return !Sent(0x630).empty(); }));
    EXPECT_EQ(Sent(0x630)[0].data, (std::vector<uint8_t>{0x2B, 0x17, 0x10, 0x00, 100, 0, 0, 0}));
    Inject(0x5B0, {0x60, 0x17, 0x10, 0x00, 0, 0, 0, 0});
    ASSERT_TRUE(BeatUntil(reports, 30, 50, [] { return HasNmt(0x01, 0x30) && HasNmt(0x01, 0x31); }));
    EXPECT_EQ(Sent(0x630).size(), 1u);
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
    size_t resets = 0;
    for (const Frame &f : Sent(0)) resets += f.data == std::vector<uint8_t>{0x82, 0x30};
    EXPECT_EQ(resets, 1u) << "reset once";
    // 0x31 was operational: kept as it was (error 12), never reset nor configured.
    EXPECT_EQ(co_nodes[1].err, 12);
    EXPECT_FALSE(HasNmt(0x82, 0x31));
    EXPECT_TRUE(Sent(0x631).empty());
}

TEST_F(CanMaster, MandatoryFailureStopsTheNetworkAndRefusedConfigurationNamesTheObject) {
    BlockBuilder b(1, 0x41, 0);  // master; a failed mandatory slave stops the network
    const uint32_t eoff = b.Add(Entry(0x1400, 1, 4, 0x220));
    PutSlaves(b, {SlaveRecord(0x22, 0x09, 0, 0x191, 0x20, 1, 1, eoff)});
    b.Put(0x54, R(100));
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_TRUE(RunUntil([] { return HasNmt(0x82, 0); }));
    ASSERT_TRUE(RunUntil([] { return !Sent(0x622).empty(); }));
    Inject(0x5A2, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    ASSERT_TRUE(RunUntil([] { return Sent(0x622).size() == 2; }));
    EXPECT_EQ(Sent(0x622)[1].data, (std::vector<uint8_t>{0x23, 0x00, 0x14, 0x01, 0x20, 0x02, 0, 0}));
    Inject(0x5A2, {0x80, 0x00, 0x14, 0x01, 0x00, 0x00, 0x01, 0x06});
    ASSERT_TRUE(RunUntil([] { return HasNmt(0x02, 0); }));
    EXPECT_EQ(co_nodes[0].err, 0xF8) << "RPDO communication object refused";
    EXPECT_EQ(co.NMT_State, NMT_STOPPED);
    EXPECT_EQ(co.status & 0x100000u, 0x100000u) << "bit 20 (mandatory slave failed)";
    EXPECT_FALSE(HasNmt(0x01, 0x22));
    // A slave that does not answer its upload within the time-out is asked
    // again (no mismatch, no error); its answer then lets the boot go on.
    BlockBuilder q(1, 0x01, 0);
    PutSlaves(q, {SlaveRecord(0x23, 0x01, 0, 0x191, 0, 0, 0, 0)});
    q.Put(0x2C, q.Add(BlockBuilder::Words({0x650, 0x5D0, 0})));  // the slave's client SDO entry
    CanFixture::SetBlock(q.b);
    CanFixture::Start();
    CanFixture::Clear();
    ASSERT_TRUE(RunUntil([] { return Sent(0x650).size() == 3; }, 3000)) << "requests on the client SDO list's COB-ID";
    for (const Frame &f : Sent(0x650)) EXPECT_EQ(f.data, (std::vector<uint8_t>{0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_DEVICE_TYPE);
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co.status & (CO_ST_OPTFAIL | CO_ST_MANDFAIL), 0u);
    EXPECT_TRUE(Sent(0x623).empty());
    Inject(0x5D0, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_TRUE(HasNmt(0x01, 0x23));
}

TEST_F(CanMaster, RunningSlaveThatLosesItsHeartbeatIsBootedAgainAlone) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    b.Put(0x54, R(100));
    // 0x24 is booted again after an error (assignment bit 2); 0x25 is not
    PutSlaves(b, {SlaveRecord(0x24, 0x05, 100, 0, 0, 0, 0, 0), SlaveRecord(0x25, 0x01, 100, 0, 0, 0, 0, 0)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    const Beat b24{0x724, 0x7F}, b25{0x725, 0x7F};
    ASSERT_TRUE(BeatUntil({b24, b25}, [] { return HasNmt(0x01, 0x24) && HasNmt(0x01, 0x25); }));
    ASSERT_TRUE(RunUntil(BothRunning));
    EXPECT_EQ(NmtCount(0x82, 0), 1u) << "the boot reset all nodes at once";
    CanFixture::Clear();
    // 0x24 falls silent: error 11 while running, status bit 19, and it is
    // reset alone (0x25 runs on) and started again once it reports.
    ASSERT_TRUE(BeatUntil({b25}, [] { return HasNmt(0x82, 0x24); }));
    EXPECT_EQ(NmtCount(0x82, 0), 0u);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RESET);
    EXPECT_EQ(co_nodes[0].err, 11);
    EXPECT_EQ(co.status & 0x180000u, 0x080000u) << "bit 19, not 20: " << std::hex << co.status;
    EXPECT_EQ(co_nodes[1].step, CO_BOOT_RUNNING);
    Inject(0x724, {0x00});
    ASSERT_TRUE(BeatUntil({b24, b25}, [] { return HasNmt(0x01, 0x24); }));
    ASSERT_TRUE(BeatUntil({b24, b25}, [] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(NmtCount(0x01, 0x25), 0u) << "the other slave was not started again";
    // 0x25 falls silent: without assignment bit 2 it is given up, never reset.
    CanFixture::Clear();
    ASSERT_TRUE(BeatUntil({b24}, [] { return co_nodes[1].step == CO_BOOT_STOPPED; }));
    EXPECT_EQ(co_nodes[1].err, 11);
    BeatUntil({b24}, [] { return false; });
    EXPECT_FALSE(HasNmt(0x82, 0x25));
    EXPECT_FALSE(HasNmt(0x82, 0));
}

TEST_F(CanMaster, SlaveBootedAgainAloneIsStartedAlsoWhenAllWereStartedAtOnce) {
    BlockBuilder b(1, 0x83, 0);  // master, consumes heartbeats, starts all slaves at once
    // 0x34 is booted again after an error (assignment bit 2)
    PutSlaves(b, {SlaveRecord(0x34, 0x05, 100, 0, 0, 0, 0, 0), SlaveRecord(0x35, 0x01, 100, 0, 0, 0, 0, 0)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    const Beat b34{0x734, 0x7F}, b35{0x735, 0x05};
    ASSERT_TRUE(BeatUntil({b34, b35}, BothRunning));
    EXPECT_EQ(NmtCount(0x01, 0), 1u) << "one broadcast start";
    EXPECT_EQ(NmtCount(0x01, 0x34), 0u);
    // 0x34 falls silent and is reset alone; after its boot-up (it is then
    // pre-operational) it must be started again: the broadcast that started
    // it the first time does not come again.
    CanFixture::Clear();
    ASSERT_TRUE(BeatUntil({b35}, [] { return HasNmt(0x82, 0x34); }));
    Inject(0x734, {0x00});
    ASSERT_TRUE(BeatUntil({b34, b35}, [] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    EXPECT_EQ(NmtCount(0x01, 0x34), 1u) << "started alone, as it was reset alone";
    EXPECT_EQ(NmtCount(0x01, 0), 0u);
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co_nodes[1].step, CO_BOOT_RUNNING);

    // Slaves kept when operational (assignment bit 4) are reset one by one,
    // or not at all: the one broadcast start still does for all of them.
    BlockBuilder k(1, 0x83, 0);
    PutSlaves(k, {SlaveRecord(0x36, 0x11, 100, 0, 0, 0, 0, 0), SlaveRecord(0x37, 0x11, 100, 0, 0, 0, 0, 0)});
    CanFixture::SetBlock(k.b);
    CanFixture::Start();
    CanFixture::Clear();
    const bool both = BeatUntil({{0x736, 0x05}, {0x737, 0x05}}, BothRunning);
    ASSERT_TRUE(both);
    EXPECT_EQ(NmtCount(0x82, 0x36) + NmtCount(0x82, 0x37) + NmtCount(0x82, 0), 0u) << "operational: kept";
    EXPECT_EQ(NmtCount(0x01, 0), 1u);
    EXPECT_EQ(NmtCount(0x01, 0x36) + NmtCount(0x01, 0x37), 0u) << "one broadcast, no start of each";
}

// A slave given up while running keeps nothing of its last step: when the
// only other slave is booted again and no slave runs, the reset of all nodes
// goes out. 0x39 had its four remote requests sent before it was given up.
TEST_F(CanMaster, SlaveGivenUpAfterItsRemoteRequestsLeavesTheResetOfAllToTheNext) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    // 0x38 is booted again after an error; 0x39 asks for remote requests after its start
    PutSlaves(b, {SlaveRecord(0x38, 0x05, 100, 0, 0, 0, 0, 0), SlaveRecord(0x39, 0x01, 100, 0, 0x40, 0, 0, 0)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    const Beat b38{0x738, 0x05}, b39{0x739, 0x05};
    ASSERT_TRUE(BeatUntil({b38, b39}, BothRunning));
    ASSERT_TRUE(BeatUntil({b38, b39}, [] { return !Sent(0x4B9).empty(); }));
    EXPECT_EQ(NmtCount(0x82, 0), 1u);
    // 0x39 falls silent: given up
    ASSERT_TRUE(BeatUntil({b38}, [] { return co_nodes[1].step == CO_BOOT_STOPPED; }));
    EXPECT_EQ(co_nodes[1].err, 11);
    // 0x38 falls silent: booted again, and with no slave running all nodes are reset
    CanFixture::Clear();
    ASSERT_TRUE(BeatUntil({}, [] { return co_nodes[0].step == CO_BOOT_RESET && co_nodes[0].sub != 0; }));
    EXPECT_EQ(NmtCount(0x82, 0), 1u) << "the reset of all nodes";
    EXPECT_EQ(NmtCount(0x82, 0x38), 0u);
    // both boot again: 0x39, started again, is asked for its transmit PDOs again
    Inject(0x738, {0x00});
    Inject(0x739, {0x00});
    ASSERT_TRUE(BeatUntil({b38, b39}, BothRunning));
    ASSERT_TRUE(BeatUntil({b38, b39}, [] { return !Sent(0x4B9).empty(); }));
    for (uint32_t cob : {0x1B9u, 0x2B9u, 0x3B9u, 0x4B9u}) {
        ASSERT_EQ(Sent(cob).size(), 1u) << std::hex << cob;
        EXPECT_TRUE(Sent(cob)[0].id & PLAT_CAN_RTR) << std::hex << cob;
    }
}

// 0x3A is reset alone while 0x3B runs; 0x3B falls silent during 0x3A's
// wait (0.8 x 200 ms): no slave runs any more, and the reset of all nodes
// goes out, which also resets 0x3B. 0x3A's own reset did not reset it.
TEST_F(CanMaster, SlaveBootedAgainWhileAnotherWaitsForItsOwnResetIsResetToo) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    PutSlaves(b, {SlaveRecord(0x3A, 0x05, 200, 0, 0, 0, 0, 0), SlaveRecord(0x3B, 0x05, 100, 0, 0, 0, 0, 0)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    const Beat b3a{0x73A, 0x05}, b3b{0x73B, 0x05};
    ASSERT_TRUE(BeatUntil({b3a, b3b}, BothRunning));
    CanFixture::Clear();
    ASSERT_TRUE(BeatUntil({b3b}, [] { return HasNmt(0x82, 0x3A); }));
    EXPECT_EQ(NmtCount(0x82, 0), 0u);
    ASSERT_TRUE(RunUntil([] { return co_nodes[1].step == CO_BOOT_RESET && co_nodes[1].sub != 0; }, 150));
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RESET) << "0x3A still waits";
    EXPECT_EQ(NmtCount(0x82, 0), 1u) << "the reset of all nodes";
}

TEST_F(CanMaster, RunningMandatorySlaveThatFailsStopsOrResetsTheNetwork) {
    // A mandatory slave (assignment bit 3) whose watched COB-ID 0x1A6 shows
    // while it runs (configuration flag bit 7): error 0xFE. Start-up bit 6
    // stops the whole network; a full transmit ring holds the stop back.
    auto block = [](uint8_t startup) {
        BlockBuilder b(1, startup, 0);
        b.Put(0x54, R(100));
        std::vector<uint8_t> r = SlaveRecord(0x26, 0x09, 0, 0, 0x80, 0, 0, 0);
        r[44] = 0xA6;
        r[45] = 0x01;
        PutSlaves(b, {r});
        CanFixture::SetBlock(b.b);
        CanFixture::Start();
    };
    block(0x41);
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    EXPECT_TRUE(HasNmt(0x01, 0x26));
    FillRing();
    Inject(0x1A6, {0x01});
    CanFixture::Pass();
    EXPECT_EQ(co_nodes[0].err, 0xFE);
    EXPECT_EQ(co.status & (CO_ST_TXFULL | CO_ST_MANDFAIL), CO_ST_TXFULL | CO_ST_MANDFAIL) << std::hex << co.status;
    EXPECT_EQ(co.NMT_State, NMT_OPER) << "the stop could not be queued: not taken";
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
    DrainRing();
    CanFixture::Clear();
    CanFixture::Pass();
    EXPECT_EQ(NmtCount(0x02, 0), 1u);
    EXPECT_EQ(co.NMT_State, NMT_STOPPED);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_STOPPED);
    EXPECT_EQ(co.status & 0x180000u, 0x100000u) << "bit 20, not 19";

    // Start-up bit 4: reset communication of all nodes, and the master
    // starts again (its boot-up message, the slave back at step 1).
    block(0x11);
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    CanFixture::Clear();
    Inject(0x1A6, {0x01});
    CanFixture::Pass();
    EXPECT_EQ(NmtCount(0x82, 0), 1u);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RESET);
    EXPECT_EQ(co_nodes[0].err, 0xFF);
    ASSERT_EQ(Sent(0x701).size(), 1u);
    EXPECT_EQ(Sent(0x701)[0].data, (std::vector<uint8_t>{0x00})) << "boot-up message of the master";
}

TEST_F(CanMaster, StartAndRemoteRequestsThatCannotBeQueuedWaitForALaterPass) {
    // Start-up bit 2: the slaves are started once %R50's low byte is nonzero.
    BlockBuilder b(1, 0x05, 0);
    b.Put(0x54, R(100));
    b.Put(0x24, R(50));
    PutSlaves(b, {SlaveRecord(0x27, 0x01, 0, 0, 0x40, 0, 0, 0)});  // remote requests after its start
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_START; }));
    RunUntil([] { return false; }, 3);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_START);
    FillRing();
    RSet(50, 1);
    CanFixture::Pass();
    EXPECT_EQ(co.status & CO_ST_TXFULL, CO_ST_TXFULL);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_START) << "not started: the start command was not queued";
    EXPECT_EQ(co.NMT_State, NMT_PREOP);
    DrainRing();
    CanFixture::Clear();
    CanFixture::Pass();
    EXPECT_EQ(NmtCount(0x01, 0x27), 1u);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
    EXPECT_EQ(co.NMT_State, NMT_OPER);
    // The remote requests: the ring takes two of four, the rest follow.
    TheBus().write_room = 0;
    _Can_FlushTx(0);
    const uint8_t one[1] = {1};
    for (int i = 0; i < 198; i++) ASSERT_EQ(CANOpenSend(0x7FF, 1, one, 0), 1u) << i;
    co.status &= ~CO_ST_TXFULL;
    CanFixture::Pass();
    EXPECT_EQ(co.status & CO_ST_TXFULL, CO_ST_TXFULL);
    CanFixture::Clear();
    DrainRing();
    for (int i = 0; i < 3; i++) CanFixture::Pass();
    for (uint32_t cob : {0x1A7u, 0x2A7u, 0x3A7u, 0x4A7u}) {
        ASSERT_EQ(Sent(cob).size(), 1u) << std::hex << cob;
        EXPECT_TRUE(Sent(cob)[0].id & PLAT_CAN_RTR) << std::hex << cob;
    }
}

TEST_F(CanMaster, UserTransferReleaseLeavesTheBootsTransferAlone) {
    BlockBuilder b(1, 0x01, 0);  // master
    const uint32_t eoff = b.Add(Entry(0x1017, 0, 2, 100));
    // a refused configuration write is an error (byte 5 bit 0)
    PutSlaves(b, {SlaveRecord(0x28, 0x01, 0, 0, 0x02, 1, 1, eoff)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    // An IEC read of node 0x29's device type, finished before the boot
    // needs the client; its enable stays on.
    uint8_t node = 0x29, len = 0;
    uint16_t index = 0x1000, sub = 0, status = 255;
    uint32_t abort = 0;
    uint8_t data[8] = {};
    void *op[8] = {&node, &index, &sub, &status, &abort, nullptr, &len, data};
    EXPECT_EQ(Z7_canopen_sdo_read(op, 1, 8), 0u);
    EXPECT_EQ(status, 254);
    CanFixture::Pass();
    ASSERT_EQ(Sent(0x629).size(), 1u);
    Inject(0x5A9, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0, 0});
    CanFixture::Pass();
    EXPECT_EQ(Z7_canopen_sdo_read(op, 1, 8), 1u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(data[0], 0x91);
    // The boot's configuration write goes out, then the user's enable goes
    // off: that releases the user's transfer only, the boot's runs on.
    ASSERT_TRUE(RunUntil([] { return !Sent(0x628).empty(); }));
    EXPECT_EQ(Sent(0x628)[0].data, (std::vector<uint8_t>{0x2B, 0x17, 0x10, 0x00, 100, 0, 0, 0}));
    EXPECT_EQ(Z7_canopen_sdo_read(op, 0, 8), 0u);
    EXPECT_EQ(status, 255);
    CanFixture::Pass();
    EXPECT_EQ(Sent(0x628).size(), 1u);
    // The slave refuses the write: error 0xF4 (heartbeat object), never started.
    Inject(0x5A8, {0x80, 0x17, 0x10, 0x00, 0x00, 0x00, 0x01, 0x06});
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_STOPPED; }));
    EXPECT_EQ(co_nodes[0].err, 0xF4);
    EXPECT_FALSE(HasNmt(0x01, 0x28));
}

TEST_F(CanMaster, GuardsItsRunningSlavesAndGivesUpAfterTheRetryFactor) {
    BlockBuilder b(1, 0x01, 0);  // master, no heartbeat consumption: node guarding
    b.Put(0x54, R(100));
    PutSlaves(b, {SlaveRecord(0x2C, 0x01, 100, 0, 0, 0, 0, 0)});  // guard time 100 ms, retry factor 2
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    auto requests = [] {
        std::vector<Frame> r;
        for (const Frame &f : Sent(0x72C)) {
            if (f.id & PLAT_CAN_RTR) r.push_back(f);
        }
        return r;
    };
    ASSERT_TRUE(RunUntil([] { return HasNmt(0x82, 0); }));
    Inject(0x72C, {0x00});
    ASSERT_TRUE(RunUntil([&] { return !requests().empty(); }));
    EXPECT_EQ(requests()[0].len, 1) << "a guard request is a remote frame of length 1";
    Inject(0x72C, {0x7F});
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    EXPECT_TRUE(HasNmt(0x01, 0x2C));
    // Answered requests, 100 ms apart, keep the slave.
    uint8_t toggle = 0;
    std::vector<uint32_t> at;
    for (int i = 0; i < 5; i++) {
        CanFixture::Clear();
        ASSERT_TRUE(RunUntil([&] { return !requests().empty(); }, 300)) << i;
        at.push_back(FPGA_GetFrt());
        Inject(0x72C, {uint8_t(0x05 | toggle)});
        toggle ^= 0x80;
    }
    // Each answer is taken one pass (1 ms) after its request; the next
    // request follows 100 ms after the answer: 1010 ticks of 100 us apart.
    for (size_t i = 1; i < at.size(); i++) EXPECT_EQ(at[i] - at[i - 1], 1010u) << i;
    RunUntil([] { return false; }, 2);
    EXPECT_EQ(co_nodes[0].err, 0);
    // Silence: three requests go unanswered with no error; with the fourth
    // the retry factor (2) is passed: error 6, and the slave is given up.
    CanFixture::Clear();
    ASSERT_TRUE(RunUntil([&] { return requests().size() == 3; }, 400));
    EXPECT_EQ(co_nodes[0].err, 0);
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].err == 6; }, 150));
    EXPECT_EQ(requests().size(), 4u);
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_STOPPED; }, 10));
    RunUntil([] { return false; }, 500);
    EXPECT_EQ(requests().size(), 4u) << "a slave given up is not guarded";
    RunUntil([] { return false; }, 4);
    EXPECT_EQ(RWord(104), 0x2C06);
}

// A guard request that cannot be queued (full transmit ring) was never
// sent: it does not count against the retry factor. The slave missed one
// answer, then the ring stays full for 300 ms: no error 6, and once the ring
// drains the requests go on and an answer keeps the slave.
TEST_F(CanMaster, GuardRequestsThatCannotBeQueuedDoNotCountAsUnanswered) {
    BlockBuilder b(1, 0x01, 0);  // master, node guarding
    b.Put(0x54, R(100));
    PutSlaves(b, {SlaveRecord(0x2D, 0x01, 100, 0, 0, 0, 0, 0)});  // guard time 100 ms, retry factor 2
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    auto requests = [] {
        size_t n = 0;
        for (const Frame &f : Sent(0x72D)) n += (f.id & PLAT_CAN_RTR) ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(RunUntil([] { return HasNmt(0x82, 0); }));
    Inject(0x72D, {0x00});
    ASSERT_TRUE(RunUntil([&] { return requests() == 1; }));
    Inject(0x72D, {0x7F});
    ASSERT_TRUE(RunUntil([] { return co_nodes[0].step == CO_BOOT_RUNNING; }));
    // the first supervision request goes unanswered
    CanFixture::Clear();
    ASSERT_TRUE(RunUntil([&] { return requests() == 1; }, 300));
    FillRing();
    RunUntil([] { return false; }, 300);
    EXPECT_EQ(co.status & CO_ST_TXFULL, CO_ST_TXFULL);
    EXPECT_EQ(co_nodes[0].err, 0) << "requests never sent are not requests without answer";
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
    EXPECT_EQ(co_nodes[0].retry, 0) << "nothing counted before the next request goes";
    DrainRing();
    CanFixture::Clear();
    ASSERT_TRUE(RunUntil([&] { return requests() == 1; }, 5));
    EXPECT_EQ(co_nodes[0].retry, 1) << "the one unanswered request";
    Inject(0x72D, {0x05});
    RunUntil([] { return false; }, 3);
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co_nodes[0].retry, 0);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
}

TEST_F(CanMaster, AnNmtCommandToAllNodesIsNoChangeOfTheSlavesOwn) {
    BlockBuilder b(1, 0x81, 0);  // master that also consumes heartbeats
    PutSlaves(b, {SlaveRecord(0x2A, 0x01, 100, 0, 0, 0, 0, 0), SlaveRecord(0x2B, 0x01, 100, 0, 0, 0, 0, 0)});
    CanFixture::SetBlock(b.b);
    CanFixture::Start();
    auto both = [](uint8_t state) { return std::vector<Beat>{{0x72A, state}, {0x72B, state}}; };
    ASSERT_TRUE(BeatUntil(both(0x7F), BothRunning));
    BeatUntil(both(0x05), [] { return false; });
    ASSERT_EQ(co_nodes[0].err, 0);
    ASSERT_EQ(co_nodes[1].err, 0);
    // The user program sends pre-operational to all nodes: both slaves
    // follow it, which is no change of their own.
    uint8_t node = 0;
    uint16_t cmd = 0x80, status = 255;
    void *op[3] = {&node, &cmd, &status};
    EXPECT_EQ(Z7_set_nmt_state(op, 1), 1u);
    EXPECT_EQ(status, 0);
    BeatUntil(both(0x7F), [] { return false; });
    EXPECT_EQ(co_nodes[0].err, 0);
    EXPECT_EQ(co_nodes[1].err, 0);
    EXPECT_EQ(co_nodes[0].step, CO_BOOT_RUNNING);
    EXPECT_EQ(co_nodes[1].step, CO_BOOT_RUNNING);
    EXPECT_TRUE(HasNmt(0x80, 0));
}

}  // namespace
