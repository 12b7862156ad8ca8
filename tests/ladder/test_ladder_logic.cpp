// Contacts, coils, transitions against the previous-scan image, power-stack
// logic, screens and the alarm list.
#include <vector>

#include "tests/ladder/lad_fixture.h"

using namespace la;

TEST_F(LadderTest, ContactAndCoilsInBothLayouts) {
    for (bool l16 : {true, false}) {
        plc_reg.fill(0);
        FirstScan();
        LT_SetBit(LT_ON, true);
        LT_SetBit(Q(5), true);
        const uint32_t m = l16 ? M16(3) : EM(3);
        LadAsm a(l16);
        a.contact(LT_ON).coil(Q(1));         // 38
        a.contact(LT_OFF).op(54).bit(Q(2));  // negated coil
        a.contact(LT_ON).op(52).bit(m);      // set
        a.contact(LT_ON).op(53).bit(Q(5));   // reset
        a.contact(LT_OFF).op(52).bit(Q(6));  // set with false power: untouched
        a.op(31).bit(LT_ON).coil(Q(7));      // long-form contact
        a.end();
        EXPECT_EQ(Run(a), -1);
        EXPECT_EQ(lad.lsp, 0u);
        EXPECT_TRUE(LT_Bit(Q(1)));
        EXPECT_TRUE(LT_Bit(Q(2)));
        EXPECT_TRUE(LT_Bit(m));
        EXPECT_FALSE(LT_Bit(Q(5)));
        EXPECT_FALSE(LT_Bit(Q(6)));
        EXPECT_TRUE(LT_Bit(Q(7)));
    }
}

TEST_F(LadderTest, PositiveTransitionOneScanPerRisingPower) {
    LadAsm a(true);
    a.contact(I(3)).op(50).bit(Q(1)).end();
    LT_SetBit(I(3), true);
    std::vector<int> seen;
    EXPECT_EQ(Run(a), -1);
    seen.push_back(LT_Bit(Q(1)));
    for (bool in : {true, true, false, true, true}) {
        LT_SetBit(I(3), in);
        EXPECT_EQ(Scan(), -1);
        seen.push_back(LT_Bit(Q(1)));
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(LT_OldBit(Q(1)));  // the memory lives in the previous-scan image
}

TEST_F(LadderTest, NegativeTransitionOneScanAfterPowerFalls) {
    LadAsm a(true);
    a.contact(I(3)).op(51).bit(Q(1)).end();
    std::vector<int> seen;
    bool first = true;
    for (bool in : {true, true, false, false}) {
        LT_SetBit(I(3), in);
        EXPECT_EQ(first ? Run(a) : Scan(), -1);
        first = false;
        seen.push_back(LT_Bit(Q(1)));
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 0}));
}

TEST_F(LadderTest, PowerStackCombinations) {
    LadAsm a(true);
    a.contact(LT_ON).contact(LT_ON).op(62).coil(Q(1));                   // NAND of true, true: 0
    a.contact(LT_OFF).contact(LT_OFF).op(63).coil(Q(2));                 // NOR of false, false: 1
    a.contact(LT_OFF).contact(LT_ON).contact(LT_ON).op(64).coil(Q(3));   // c OR (a AND b)
    a.contact(LT_ON).contact(LT_OFF).contact(LT_OFF).op(64).coil(Q(4));  // c stays true
    a.contact(LT_ON).contact(LT_OFF).contact(LT_OFF).op(65).coil(Q(5));  // c AND (a OR b): 0
    a.contact(LT_ON).contact(LT_ON).op(60).coil(Q(6));                   // AND NOT: 0
    a.contact(LT_OFF).contact(LT_OFF).op(61).coil(Q(7));                 // OR NOT: 1
    a.contact(LT_ON).contact(LT_OFF).op(35).coil(Q(8));                  // OR
    a.contact(LT_ON).contact(LT_OFF).op(36).coil(Q(9));                  // AND
    a.contact(LT_OFF).op(32).coil(Q(10));                                // NOT
    a.contact(LT_OFF).op(33).coil(Q(11));                                // top := on
    a.contact(LT_ON).op(34).coil(Q(12));                                 // top := off
    // 56 brings back the power a coil consumed.
    a.contact(LT_ON).coil(Q(13)).op(56).coil(Q(14));
    a.contact(LT_ON).contact(LT_OFF).op(55).coil(Q(15));  // pop the false entry
    a.end();
    EXPECT_EQ(Run(a), -1);
    const int want[] = {0, 1, 1, 1, 0, 0, 1, 1, 0, 1, 1, 0, 1, 1, 1};
    for (int i = 0; i < 15; i++) EXPECT_EQ(LT_Bit(Q(i + 1)), want[i] != 0) << "Q" << i + 1;
    // 64 leaves the value 1 (not 0xFF) in c and a AND b in the slot above.
    LadAsm b(true);
    b.contact(LT_OFF).contact(LT_ON).contact(LT_ON).op(64).end();
    EXPECT_EQ(Run(b), -1);
    EXPECT_EQ(l_stack[0], 1);
    EXPECT_EQ(l_stack[1], 1);
    // What each combining instruction leaves on the stack and in the slot of
    // the popped entry: {program, depth, l_stack[0], l_stack[1]}.
    struct Case {
        std::vector<uint32_t> contacts;
        uint16_t op;
        uint32_t depth;
        uint8_t s0, s1;
    };
    const Case cases[] = {
        {{LT_ON, LT_ON}, 60, 1, 0, 0},             // AND NOT: slot := NOT a
        {{LT_OFF, LT_OFF}, 61, 1, 1, 1},           // OR NOT: top := 1
        {{LT_OFF, LT_ON}, 35, 1, 0xFF, 0xFF},      // OR writes 0xFF
        {{LT_ON, LT_OFF, LT_ON}, 65, 1, 0xFF, 1},  // c stays, slot of b := a OR b
        {{LT_ON, LT_OFF, LT_OFF}, 65, 1, 0, 0},
        {{LT_OFF, LT_OFF}, 62, 1, 1, 0},  // NAND of false, false
        {{LT_ON, LT_ON}, 63, 1, 0, 0xFF},
        {{LT_ON}, 33, 1, 0xFF, 0},
    };
    for (const Case &c : cases) {
        LadAsm p(true);
        for (uint32_t k : c.contacts) p.contact(k);
        p.op(c.op).end();
        l_stack.fill(0);
        EXPECT_EQ(Run(p), -1) << c.op;
        EXPECT_EQ(lad.lsp, c.depth) << c.op;
        EXPECT_EQ(l_stack[0], c.s0) << c.op;
        EXPECT_EQ(l_stack[1], c.s1) << c.op;
    }
}

TEST_F(LadderTest, ScreenInstructions) {
    LadAsm a(true);
    a.contact(LT_ON).op(39).word(4);  // forced screen 4
    a.op(40).word(4).coil(Q(1));      // screen contact: the request of this scan
    a.op(40).word(7).coil(Q(2));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_EQ(PlcWord(129), 5);
    // Without a request this scan the contact compares with words 129 and 128.
    LadAsm b(true);
    b.op(40).word(4).coil(Q(1)).op(40).word(8).coil(Q(2)).op(40).word(1).coil(Q(3)).end();
    PlcWordSet(128, 9);
    EXPECT_EQ(Run(b), -1);  // word 129 is 5 from before
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_TRUE(LT_Bit(Q(2)));
    EXPECT_FALSE(LT_Bit(Q(3)));
    PlcWordSet(130, 1);  // word 130 nonzero: always false
    PlcWordSet(129, 5);
    EXPECT_EQ(Scan(), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
}

namespace {
// Alarm list with n alarms at %R10, time stamps at %R50, screen base s0, and
// the four control inputs %I11..%I14 (next, previous, clear, acknowledge).
LadAsm AlarmProgram(bool l16, uint16_t n, uint16_t s0, uint16_t mode, uint32_t power) {
    LadAsm a(l16);
    a.contact(power).op(41).word(n).word(s0).word(mode).reg(R(10)).reg(R(50));
    a.bit(I(11)).bit(I(12)).bit(I(13)).bit(I(14));
    a.op(55).end();
    return a;
}
}  // namespace

TEST_F(LadderTest, AlarmLatchesOnceWithTimeStampEvenWithoutPower) {
    for (uint16_t w = 171; w <= 176; w++) PlcWordSet(w, uint16_t(w - 160));
    LT_SetW(R(11), 0x100);  // alarm 1 present
    LadAsm a = AlarmProgram(true, 3, 20, 2, LT_OFF);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(LT_W(R(11)), 0x301);    // latched, count 1
    EXPECT_EQ(LT_W(R(50 + 6)), 11);   // second of the clock image
    EXPECT_EQ(LT_W(R(50 + 11)), 16);  // year
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(11)), 0x301);            // not counted again
    EXPECT_EQ(LT_W(R(10)) & 0xC000, 0xC000);  // any latched, not acknowledged

    // Mode 1: three words (second, minute, hour) per alarm at T + 3i; a count
    // of 255 stays there; mode 0 takes no stamp.
    plc_reg.fill(0);
    FirstScan();
    for (uint16_t w = 171; w <= 176; w++) PlcWordSet(w, uint16_t(w - 160));
    LT_SetW(R(12), 0x1FF);  // alarm 2 present, counted 255 times already
    LadAsm b = AlarmProgram(true, 3, 20, 0x101, LT_OFF);
    EXPECT_EQ(Run(b), -1);
    EXPECT_EQ(LT_W(R(12)), 0x3FF);
    EXPECT_EQ(LT_W(R(56)), 11);
    EXPECT_EQ(LT_W(R(57)), 12);
    EXPECT_EQ(LT_W(R(58)), 13);
    EXPECT_EQ(LT_W(R(59)), 0);
    EXPECT_EQ(LT_W(R(10)), 0);  // latched only in this walk: seen by the next one
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(10)), 0xC000);
    plc_reg.fill(0);
    FirstScan();
    LT_SetW(R(10), 0x100);
    for (uint16_t w = 171; w <= 176; w++) PlcWordSet(w, 7);
    LadAsm c = AlarmProgram(true, 3, 20, 0x200, LT_OFF);  // low byte 0
    EXPECT_EQ(Run(c), -1);
    EXPECT_EQ(LT_W(R(10)), 0x301);
    for (uint32_t i = 0; i < 18; i++) EXPECT_EQ(LT_W(R(50 + i)), 0) << i;
}

TEST_F(LadderTest, AlarmNavigationAcknowledgeAndClear) {
    alarm_status = 0x01FF;
    LT_SetW(R(10), 0x200);
    LT_SetW(R(12), 0x200);
    LadAsm a = AlarmProgram(false, 3, 20, 0, LT_ON);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(129), 20);  // alarm 0 on screen s0
    LT_SetBit(I(11), true);       // next
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(129), 22);
    EXPECT_EQ(Scan(), -1);  // held: no further
    EXPECT_EQ(PlcWord(129), 22);
    LT_SetBit(I(11), false);
    LT_SetBit(I(12), true);  // previous
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(129), 20);
    LT_SetBit(I(12), false);
    LT_SetBit(I(14), true);  // acknowledge alarm 0
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(10)) & 0x400, 0x400);
    LT_SetBit(I(13), true);  // clear it: moves to alarm 2
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(10)) & 0x600, 0);
    EXPECT_EQ(PlcWord(129), 22);
    LT_SetBit(I(13), false);
    LT_SetBit(I(14), false);
    EXPECT_EQ(Scan(), -1);
    LT_SetBit(I(14), true);
    LT_SetBit(I(13), true);
    EXPECT_EQ(Scan(), -1);  // acknowledged and cleared in one go: none left
    EXPECT_EQ(LT_W(R(12)) & 0x600, 0);
    EXPECT_EQ(PlcWord(129), 0);
    EXPECT_EQ(LT_W(R(10)) & 0xC000, 0);
}

TEST_F(LadderTest, AlarmListRefusesBlocksOutsideTheImage) {
    LadAsm a(false);
    a.contact(LT_ON).op(41).word(100).word(1).word(2).reg(0x10030FF0).reg(R(1));
    a.bit(I(11)).bit(I(12)).bit(I(13)).bit(I(14));
    a.coil(Q(1)).end();
    const auto before = plc_reg;
    EXPECT_EQ(Run(a), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_TRUE(std::equal(before.begin() + 2000, before.end(), plc_reg.begin() + 2000));
}
