// CANopen for user programs: the ladder instruction 367 on a node started
// from a fresh root, over a bus in memory.
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
