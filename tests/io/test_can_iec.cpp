// CANopen for user programs: the ladder instruction 367 on a node started
// from a fresh root, over a bus in memory.
#include <algorithm>
#include <memory>

#include "tests/io/test_can_support.h"
#include "tests/ladder/lad_fixture.h"

using namespace la;

namespace {
class CanLadder : public LadderTest {
protected:
    std::unique_ptr<can_test::CanFixture> can;
    void SetUp() override {
        LadderTest::SetUp();
        can = std::make_unique<can_test::CanFixture>();  // clears the image
        can->Start();
        can->Pass();
        FirstScan();
        LT_SetBit(LT_ON, true);
    }
    void TearDown() override {
        can.reset();
        LadderTest::TearDown();
    }
};

TEST_F(CanLadder, Opcode367BlockFormOnAFreshNode) {
    for (bool l16 : {true, false}) {
        LT_SetW(R(10), 0);
        LT_SetW(R(30), 0);
        LT_SetW(R(40), 255);
        LT_SetW(R(50), 0);
        LT_SetW(R(60), 0);
        LadAsm a(l16);
        a.contact(LT_ON).op(367).word(0x0002).dword(R(1)).dword(R(10)).coil(Q(1));    // own node id
        a.contact(LT_OFF).op(367).word(0x0004).dword(R(20)).dword(R(30)).coil(Q(2));  // NMT, enable off
        a.contact(LT_ON).op(367).word(0x0004).dword(R(20)).dword(R(40)).coil(Q(3));   // NMT, not the master
        a.contact(LT_ON).op(367).word(0x0003).dword(R(50)).dword(R(60)).coil(Q(4));   // own NMT state
        a.contact(LT_ON).op(367).word(0x0009).dword(R(50)).dword(R(70)).coil(Q(6));   // unknown sub-function
        a.contact(LT_ON).coil(Q(5)).end();
        EXPECT_EQ(Run(a), -1) << l16;
        EXPECT_EQ(LT_W(R(10)), 127);
        EXPECT_TRUE(LT_Bit(Q(1)));
        EXPECT_EQ(LT_W(R(30)), 255);
        EXPECT_FALSE(LT_Bit(Q(2)));
        EXPECT_EQ(LT_W(R(40)), 36);
        EXPECT_FALSE(LT_Bit(Q(3)));
        EXPECT_EQ(LT_W(R(60)), 0x7F);
        EXPECT_TRUE(LT_Bit(Q(4)));
        EXPECT_FALSE(LT_Bit(Q(6)));
        EXPECT_TRUE(LT_Bit(Q(5)));  // the rungs after it run
        FirstScan();
        // cut off by the program's end: a fault stop, nothing read past it
        for (int words : {0, 1, 3}) {
            LadAsm f(l16);
            f.contact(LT_ON).op(367).word(0x0002);
            for (int i = 0; i < words; i++) f.word(uint16_t(R(1)));
            EXPECT_GT(Run(f), 0) << words;  // the offset of the stop, not -1
            FirstScan();
        }
        LadAsm g(l16);  // operand form, 17 words, one missing
        g.contact(LT_ON).op(367).word(0x8001);
        for (int i = 0; i < 15; i++) g.word(0x0100);
        EXPECT_GT(Run(g), 0);
        FirstScan();
    }
}
}  // namespace

namespace {
using can_test::BlockBuilder;
using can_test::CanFixture;
using can_test::Inject;
using can_test::Sent;

// IEC variables of the tests: INT n at handle 0xC4000000 + n, 40 of them.
std::array<uint8_t, 2 * 40 + 8> iec_ints;
uint8_t *Locate(uint32_t handle, uint32_t width) {
    const uint32_t n = handle - 0xC4000000u;
    if ((handle & 0xFF000000u) != 0xC4000000u || n >= 40 || 2 * n + (width + 7) / 8 > iec_ints.size()) return nullptr;
    return iec_ints.data() + 2 * n;
}
uint16_t Int(uint32_t n) { return uint16_t(iec_ints[2 * n] | iec_ints[2 * n + 1] << 8); }
void SetInt(uint32_t n, uint16_t v) {
    iec_ints[2 * n] = uint8_t(v);
    iec_ints[2 * n + 1] = uint8_t(v >> 8);
}

std::vector<uint8_t> Sdo(std::vector<uint8_t> req) {
    req.resize(8, 0);
    CanFixture::Clear();
    Inject(0x605, req);
    CanFixture::Pass();
    auto a = Sent(0x585);
    return a.empty() ? std::vector<uint8_t>{} : a[0].data;
}

// A block with IEC bindings: 12-byte TPDO communication entries, 8-byte
// mapping entries {mapping word, handle}.
std::vector<uint8_t> IecBlock(uint32_t rpdo_map, uint32_t rpdo_handle) {
    BlockBuilder b(5, 0, 0);
    b.Put(0x54, 0xC400001E);  // status register: INT 30
    b.Put(0x6C, 0xC4000010);  // IEC PDO map at INT 16
    b.Put(0x70, 1);
    b.Put(0x30, 1, 2);
    b.Put(0x32, 1, 2);
    b.Put(0x34, b.Add({1}));
    b.Put(0x38, b.Add({1}));
    b.Put(0x3C, b.Add(BlockBuilder::Words({0x185})));
    b.Put(0x40, b.Add(BlockBuilder::Words({0x205})));
    b.Put(0x44, b.Add({0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    b.Put(0x48, b.Add({0xFE, 0, 0, 0, 0, 0, 0, 0}));
    b.Put(0x4C, b.Add(BlockBuilder::Words({0x20000210, 0xC4000002})));
    b.Put(0x50, b.Add(BlockBuilder::Words({rpdo_map, rpdo_handle})));
    return b.b;
}

class CanIec : public ::testing::Test {
protected:
    CanFixture can;
    uint8_t *(*saved)(uint32_t, uint32_t) = nullptr;
    void SetUp() override {
        saved = PlcReg_IecLocate;
        PlcReg_IecLocate = Locate;
        iec_ints.fill(0);
        DrevanoRuntime = 1;
        drevano_variables_enumerateded = 1;
    }
    void TearDown() override {
        PlcReg_IecLocate = saved;
        DrevanoRuntime = 0;
        drevano_variables_enumerateded = 0;
    }
};

TEST_F(CanIec, PdoObjectsStatusWordsAndMapHandleAtIecVariables) {
    CanFixture::SetBlock(IecBlock(0x20000110, 0xC4000001));
    CanFixture::Start();
    ASSERT_EQ(co.status & CO_ST_CFG, 0u);
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    EXPECT_EQ(co_iec_layout, 1);
    // RPDO into INT 1
    Inject(0x205, {0x34, 0x12});
    CanFixture::Pass();
    EXPECT_EQ(Int(1), 0x1234);
    // TPDO from INT 2, on change
    CanFixture::Clear();
    SetInt(2, 0xBEEF);
    CanFixture::Pass();
    const auto t = Sent(0x185);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back().data, (std::vector<uint8_t>{0xEF, 0xBE}));
    // the status word at the handle, the PDO word two variables on
    EXPECT_EQ(Int(30), uint16_t(co.status & 0xFFFF));
    Inject(0x205, {});  // length 0: PDO 1 noted
    CanFixture::Pass();
    EXPECT_EQ(Int(32), 1);
    // SDO: the IEC PDO map and a mapped object's handle
    SetInt(16, 0x5566);
    EXPECT_EQ(Sdo({0x40, 0x84, 0xA5, 0x01}), (std::vector<uint8_t>{0x4B, 0x84, 0xA5, 0x01, 0x66, 0x55, 0, 0}));
    SetInt(16 + 1, 0x0102);
    EXPECT_EQ(Sdo({0x40, 0x84, 0xA5, 0x02}), (std::vector<uint8_t>{0x4B, 0x84, 0xA5, 0x02, 0x02, 0x01, 0, 0}));
    EXPECT_EQ(Sdo({0x40, 0x83, 0xA5, 0x01}), (std::vector<uint8_t>{0x80, 0x83, 0xA5, 0x01, 0x00, 0x00, 0x01, 0x06}));
    EXPECT_EQ(Sdo({0x40, 0x00, 0x20, 0x01}), (std::vector<uint8_t>{0x4B, 0x00, 0x20, 0x01, 0x34, 0x12, 0, 0}));
    EXPECT_EQ(Sdo({0x40, 0x00, 0x20, 0x05}), (std::vector<uint8_t>{0x80, 0x00, 0x20, 0x05, 0x00, 0x00, 0x01, 0x06}));
    // before the application's variables are enumerated, handles are refused
    drevano_variables_enumerateded = 0;
    co.status &= ~CO_ST_RPDO_OBJ;
    Inject(0x205, {0x78, 0x56});
    CanFixture::Pass();
    EXPECT_EQ(Int(1), 0x1234);
    EXPECT_TRUE(co.status & CO_ST_RPDO_OBJ);
}

TEST_F(CanIec, RegisterObjectsWithoutARunningApplicationAreTheRegisters) {
    // The block has IEC bindings, but no application runs: the register
    // objects are the registers of the object table (%AI1, %AQ2).
    DrevanoRuntime = 0;
    CanFixture::SetBlock(IecBlock(0x20000110, 0xC4000001));
    CanFixture::Start();
    ASSERT_EQ(co.NMT_State, NMT_OPER);
    PlcWordSet((BA_AI - 1024) / 16, 0x2468);
    EXPECT_EQ(Sdo({0x40, 0x24, 0x20, 0x01}), (std::vector<uint8_t>{0x4B, 0x24, 0x20, 0x01, 0x68, 0x24, 0, 0}));
    EXPECT_EQ(Sdo({0x2B, 0x2D, 0x20, 0x02, 0x57, 0x13}), (std::vector<uint8_t>{0x60, 0x2D, 0x20, 0x02, 0, 0, 0, 0}));
    EXPECT_EQ(PlcWord((BA_AQ - 1024) / 16 + 1), 0x1357);
    EXPECT_EQ(Int(1), 0) << "no IEC variable touched";
}

TEST_F(CanIec, TpdoVariableThatCannotBeReadSetsBit10) {
    // The TPDO maps INT 80, which the application does not have: its value
    // cannot be read, so the compose sets status bit 10 (0x400); bit 2 is
    // there as well: no heartbeat and no guarding.
    std::vector<uint8_t> blk = IecBlock(0x20000110, 0xC4000001);
    const uint8_t handle2[] = {0x02, 0x00, 0x00, 0xC4};
    auto at = std::search(blk.begin(), blk.end(), std::begin(handle2), std::end(handle2));
    ASSERT_NE(at, blk.end());
    at[0] = 0x50;
    CanFixture::SetBlock(blk);
    CanFixture::Start();
    CanFixture::Pass();
    EXPECT_EQ(co.status & 0x00FFFFFFu, 0x000404u);
    EXPECT_TRUE(Sent(0x185).empty());
}

TEST_F(CanIec, MapHandleBelowItsBaseIsRefused) {
    // RPDO mappings whose map offset would fall below the handle: 0xA583 and
    // 0xA580 lie below the map's first index, sub-index 0 below its first entry
    for (const uint32_t map : {0xA5830110u, 0xA5800110u, 0xA5840010u}) {
        SCOPED_TRACE(map);
        iec_ints.fill(0);
        CanFixture::SetBlock(IecBlock(map, 0));
        CanFixture::Start();
        Inject(0x205, {0x11, 0x22});
        CanFixture::Pass();
        EXPECT_TRUE(co.status & CO_ST_RPDO_OBJ);
        for (uint32_t n = 0; n < 30; n++) EXPECT_EQ(Int(n), 0) << n;  // nothing below the status words written
        // the SDO of such an object is refused: 0x06010000 (or read-only 254 entries at sub-index 0)
        const uint8_t lo = uint8_t(map >> 16), hi = uint8_t(map >> 24);
        if ((map & 0xFF00) != 0)
            EXPECT_EQ(Sdo({0x40, lo, hi, 0x01}), (std::vector<uint8_t>{0x80, lo, hi, 0x01, 0x00, 0x00, 0x01, 0x06}));
        else
            EXPECT_EQ(Sdo({0x40, lo, hi, 0x00}), (std::vector<uint8_t>{0x4F, lo, hi, 0x00, 0xFE, 0, 0, 0}));
    }
}
}  // namespace
