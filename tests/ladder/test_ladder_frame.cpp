// Interpreter frame: END work, fault stops, operand decoding in both layouts,
// the layout latch, program flow and the bounds of stacks and targets.
#include "core/storage/nvram.h"
#include "core/image/timebase.h"
#include "tests/ladder/lad_fixture.h"

using namespace la;

TEST_F(LadderTest, EndAloneClearsFirstScanBitsAndWritesScreenWords) {
    plc_reg[65] |= 0x02;
    PlcWordSet(128, 77);
    PlcWordSet(129, 55);
    LadAsm a(true);
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(plc_reg[64] & 1, 0);
    EXPECT_EQ(plc_reg[65] & 2, 0);
    EXPECT_EQ(PlcWord(129), 0);               // no forced screen: request 0xFFFF + 1
    EXPECT_EQ(PlcWord(128), 77);              // no screen switch: not written
    EXPECT_EQ(PlcDword(276), fpga_port.frt);  // the scan's time-base reading
}

TEST_F(LadderTest, InvalidOpcodeStopsWithOffsetAfterIt) {
    LadAsm a(true);
    a.op(10).end();
    EXPECT_EQ(Run(a), 1);
    EXPECT_EQ(plc_reg[64] & 1, 1);  // no END work

    // Every invalid opcode of the first four groups and every opcode with no
    // instruction behind it stops the program right after its word.
    std::vector<uint16_t> invalid;
    for (uint16_t op = 0; op <= 8; op++) invalid.push_back(op);
    for (uint16_t op = 10; op <= 30; op++) invalid.push_back(op);
    for (uint16_t op : {37, 42, 43, 44, 45, 46, 47, 49, 57, 58, 59, 197, 198, 255, 575, 576, 1023})
        invalid.push_back(op);
    // The port instructions (their hook slots are empty here) and the holes
    // of the extended groups.
    for (uint16_t op = 132; op <= 137; op++) invalid.push_back(op);
    for (uint16_t op : {256, 257, 258, 259, 274, 279, 293, 299, 322, 323, 332, 339, 348, 349, 366, 385,
                        448, 449, 456, 457, 464, 465, 472, 473, 480, 481, 488, 497, 504, 510, 521, 522})
        invalid.push_back(op);
    for (uint16_t op = 216; op <= 229; op++) invalid.push_back(op);
    for (uint16_t op = 231; op <= 239; op++) invalid.push_back(op);
    for (uint16_t op = 245; op <= 247; op++) invalid.push_back(op);
    // Group 6 has only 384, 394 and 400; the timer holes of group 7; group 8
    // stops at 544.
    for (uint16_t op = 385; op <= 447; op++)
        if (op != 394 && op != 400) invalid.push_back(op);
    for (uint16_t op = 488; op <= 497; op++) invalid.push_back(op);
    for (uint16_t op = 532; op <= 543; op++) invalid.push_back(op);
    for (uint16_t op = 545; op <= 575; op++) invalid.push_back(op);
    invalid.push_back(371);
    invalid.push_back(380);
    invalid.push_back(527);
    for (uint16_t op : invalid) {
        LadAsm b(true);
        b.contact(LT_ON).contact(LT_ON).op(op).end();
        EXPECT_EQ(Run(b), 3) << "opcode " << op;
    }
}

TEST_F(LadderTest, IgnoredOpcodesAreSkipped) {
    LadAsm a(true);
    for (uint16_t op : {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191}) a.op(op);
    a.contact(LT_ON).coil(Q(1)).end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_TRUE(LT_Bit(Q(1)));
}

TEST_F(LadderTest, OperandDecodingSixteenBitEscapes) {
    LadAsm a(true);
    a.op(92).reg(0x20010).word(0x1111);  // 1777 + 0x0010: word 8129
    a.op(92).reg(0x10000).word(0x2222);  // 1776 + 0: word 4032
    a.op(92).reg(R(5)).word(0x3333);
    a.end();
    EXPECT_EQ(a.w[1], 1777);
    EXPECT_EQ(a.w[2], 0x0010);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(8129), 0x1111);
    EXPECT_EQ(PlcWord(4032), 0x2222);
    EXPECT_EQ(PlcWord(1983 + 5), 0x3333);
    // Byte operands: 1776 + e is byte 8064 + e / 8, 1777 + e byte 16256 + e / 8.
    LadAsm b(true);
    b.op(81).word(0xAB).op(196).reg(0x10010);
    b.op(81).word(0xCD).op(196).reg(0x20008);
    b.end();
    EXPECT_EQ(Run(b), -1);
    EXPECT_EQ(plc_reg[8066], 0xAB);
    EXPECT_EQ(plc_reg[16257], 0xCD);
}

TEST_F(LadderTest, OperandDecodingExtendedLayout) {
    LadAsm a(false);
    a.op(92).reg(0x10008000).word(0x1111);
    a.op(92).reg(0x1001C000).word(0x2222);
    a.op(92).reg(0x10030FF0).word(0x3333);
    a.op(92).reg(R(50240)).word(0x4444);
    a.contact(LT_ON).coil(EM(35));   // extended %M bit
    a.contact(EM(35)).coil(ET(17));  // contact 31 on an extended bit
    a.end();
    EXPECT_EQ(a.w[1], 0x8000);
    EXPECT_EQ(a.w[2], 0x1000);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(RegTokLen_16b, 0);
    EXPECT_EQ(PlcWord(52224), 0x1111);
    EXPECT_EQ(PlcWord(53248), 0x2222);
    EXPECT_EQ(PlcWord(54527), 0x3333);
    EXPECT_EQ(PlcWord(1983 + 50240), 0x4444);
    EXPECT_TRUE(LT_Bit(EM(35)));
    EXPECT_TRUE(LT_Bit(ET(17)));
    EXPECT_EQ(plc_reg[REG_EM_BYTE + 4], 0x04);
    EXPECT_EQ(plc_reg[REG_ET_BYTE + 2], 0x01);
}

TEST_F(LadderTest, LayoutIsLatchedOnlyOnFirstScan) {
    LadAsm a(true);
    a.end();
    const std::vector<uint8_t> block = LA_MemFile(a.w, LA_Features(true));
    EXPECT_EQ(LA_ReadFeatures(block), 0x8000u);
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(NV_EditorFeatures, 0x8000u);  // the validation's reader agrees
    EXPECT_EQ(RegTokLen_16b, 1);
    NV_EditorFeatures = 0;  // a later scan does not look at the features
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(RegTokLen_16b, 1);
    FirstScan();
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(RegTokLen_16b, 0);
    NV_EditorFeatures = 0x8000;
    FirstScan();
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(RegTokLen_16b, 1);
}

TEST_F(LadderTest, RefusedOperandsWriteNothingAndClearPower) {
    LadAsm a(false);
    // A reference outside every window: the coil writes nothing.
    a.contact(LT_ON).op(38).bit(0x50000000);
    // Word store beyond the image: nothing written, the rung's power is cleared.
    a.contact(LT_ON).op(81).word(5).op(82).reg(0x0FF00000).coil(Q(1));
    // Reference below the first bit address.
    a.contact(LT_ON).op(92).reg(100).word(9).coil(Q(2));
    // A contact on a refused bit pushes false.
    a.op(31).bit(0x20000000).coil(Q(3));
    // The marker at the end of the image cannot be reached.
    a.contact(LT_ON).op(92).reg(0xD5400).word(0x5757).coil(Q(4));
    a.end();
    const auto before = plc_reg;
    EXPECT_EQ(Run(a), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    EXPECT_FALSE(LT_Bit(Q(3)));
    EXPECT_FALSE(LT_Bit(Q(4)));
    for (std::size_t i = 100000; i < PLC_REG_SIZE; i++) ASSERT_EQ(plc_reg[i], before[i]) << i;
}

TEST_F(LadderTest, JumpsForwardAndBack) {
    // R1 counts to 5 in a loop closed by a backward jump; a forward jump skips
    // a coil.
    LadAsm a(true);
    a.label("top");
    a.op(80).reg(R(1)).op(81).word(1).op(120).op(82).reg(R(1));
    a.contact(LT_ON).op(81).word(0).op(81).word(4).op(80).reg(R(1)).op(192);
    a.jump(71, "top");
    a.contact(LT_ON).jump(68, "skip");
    a.contact(LT_ON).coil(Q(1));
    a.label("skip");
    a.contact(LT_OFF).jump(71, "top");  // not taken: popped only
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(1984), 5);
    EXPECT_FALSE(LT_Bit(Q(1)));
}

TEST_F(LadderTest, SkipLeavesPowerOnStack) {
    LadAsm a(true);
    a.contact(LT_OFF).op(70).word(3).op(92).reg(R(1)).word(9);  // skipped
    a.coil(Q(1));                                               // the power left by 70
    a.contact(LT_ON).op(70).word(3).op(92).reg(R(2)).word(9);
    a.coil(Q(2));
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(1984), 0);
    EXPECT_EQ(PlcWord(1985), 9);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_TRUE(LT_Bit(Q(2)));
}

TEST_F(LadderTest, NestedCallsUpToEight) {
    // Subroutine k calls k + 1; the deepest one sets a coil. depth calls in all.
    auto program = [](int depth, bool wide) {
        LadAsm a(true);
        a.contact(LT_ON).jump(wide ? 69 : 73, "s1");
        a.contact(LT_ON).coil(Q(2));
        a.end();
        for (int k = 1; k <= depth; k++) {
            a.label("s" + std::to_string(k));
            if (k < depth)
                a.contact(LT_ON).jump(73, "s" + std::to_string(k + 1));
            else
                a.contact(LT_ON).coil(Q(1));
            a.contact(LT_ON).op(74);
        }
        return a;
    };
    for (bool wide : {false, true}) {
        plc_reg.fill(0);
        LT_SetBit(LT_ON, true);
        LadAsm a = program(8, wide);
        EXPECT_EQ(Run(a), -1);
        EXPECT_TRUE(LT_Bit(Q(1)));
        EXPECT_TRUE(LT_Bit(Q(2)));
    }
    LadAsm b = program(9, false);
    ASSERT_TRUE(b.finish());
    // The ninth call stops the program: offset of the word after its opcode.
    std::size_t ninth = b.labels["s8"] + 2;
    EXPECT_EQ(Run(b), int32_t(ninth));
}

TEST_F(LadderTest, ReturnAndCallWithPowerFalseOnlyPop) {
    LadAsm a(true);
    a.contact(LT_OFF).op(74);
    a.contact(LT_OFF).jump(73, "sub");
    a.contact(LT_OFF).jump(69, "sub");
    a.contact(LT_ON).coil(Q(1)).end();
    a.label("sub").contact(LT_ON).coil(Q(2)).end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_TRUE(LT_Bit(Q(1)));
    EXPECT_FALSE(LT_Bit(Q(2)));
    LadAsm b(true);
    b.contact(LT_ON).op(74).end();  // a return at top level stops
    EXPECT_EQ(Run(b), 2);
}

TEST_F(LadderTest, TargetsOutsideTheProgramStop) {
    LadAsm a(true);
    a.contact(LT_ON).op(71).word(uint16_t(-10)).end();
    EXPECT_EQ(Run(a), 2);
    LadAsm b(true);
    b.contact(LT_ON).op(68).dword(1000).end();
    EXPECT_EQ(Run(b), 2);
    LadAsm c(true);
    c.contact(LT_OFF).op(70).word(500).end();
    EXPECT_EQ(Run(c), 2);
    LadAsm d(true);
    d.contact(LT_ON).op(73).word(0x7FFF).end();
    EXPECT_EQ(Run(d), 2);
    EXPECT_EQ(call_stack_index, 0);
    // No END: running past the end of the program stops it.
    LadAsm e(true);
    e.contact(LT_ON).coil(Q(1));
    LA_LoadBare(e);
    EXPECT_EQ(LogicUpdate(), 3);  // the end of the data
    EXPECT_TRUE(LT_Bit(Q(1)));
    // Operands cut off by the end of the program.
    PlcWordSet(1984, 0x5555);
    LadAsm f(true);
    f.op(92).reg(R(1));
    LA_LoadBare(f);
    EXPECT_EQ(LogicUpdate(), 1);
    EXPECT_EQ(PlcWord(1984), 0x5555);  // the instruction wrote nothing
    LadAsm g(false);
    g.contact(LT_ON).op(38).word(uint16_t(Q(9)));  // the high word of the coil's bit is missing
    FirstScan();
    LA_LoadBare(g);
    EXPECT_EQ(LogicUpdate(), 4);
    EXPECT_FALSE(LT_Bit(Q(9)));
    // An empty program.
    LA_LoadRaw(std::vector<uint8_t>(8, 0));
    EXPECT_EQ(LogicUpdate(), 0);
}

TEST_F(LadderTest, StackOverflowAndUnderflowStop) {
    LadAsm a(true);
    for (int i = 0; i < 20; i++) a.contact(LT_ON);
    a.contact(LT_ON).end();
    EXPECT_EQ(Run(a), 21);
    LadAsm b(true);
    for (int i = 0; i < 40; i++) b.op(81).word(uint16_t(i));
    b.op(81).word(1).end();
    EXPECT_EQ(Run(b), 81);
    LadAsm c(true);
    c.coil(Q(1)).end();
    EXPECT_EQ(Run(c), 1);
    LadAsm d(true);
    d.op(81).word(1).op(120).end();
    EXPECT_EQ(Run(d), 3);
    LadAsm e(true);
    e.op(82).reg(R(1)).end();
    EXPECT_EQ(Run(e), 1);
    LadAsm f(true);
    f.op(84).dword(1).op(81).word(2).op(124).end();  // three entries for a 32-bit add
    EXPECT_EQ(Run(f), 6);
    LadAsm g(true);
    for (int i = 0; i < 20; i++) g.contact(LT_ON);
    g.op(56).end();  // re-push above a full stack
    EXPECT_EQ(Run(g), 21);
}

TEST_F(LadderTest, StepBudgetEndsEndlessLoop) {
    lad_step_limit = 1000;
    LadAsm a(true);
    a.label("top").contact(LT_ON).jump(71, "top").end();
    const int32_t off = Run(a);
    EXPECT_TRUE(off == 1 || off == 2) << off;
    // Bulk work counts by its elements: a loop of large fills ends as well.
    lad_step_limit = 100000;
    LadAsm b(true);
    b.label("top").op(94).reg(R(1)).word(7).word(30000).contact(LT_ON).jump(71, "top").end();
    EXPECT_EQ(Run(b), 5);  // stopped at the instruction after the fill that spent it
    EXPECT_EQ(PlcWord(1984), 7);
}

TEST_F(LadderTest, ScreenSwitchWrittenWhenChanged) {
    old_change_screen = 0;
    LadAsm a(true);
    a.contact(LT_ON).op(48).word(5).end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(PlcWord(128), 5);
    PlcWordSet(128, 9);  // the operator moved on; the same request is not written again
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(128), 9);
    LT_SetBit(LT_ON, false);  // request 0: nothing written but remembered
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(128), 9);
    LT_SetBit(LT_ON, true);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(PlcWord(128), 5);
}

TEST_F(LadderTest, IecRuntimeRunsInsteadOfTheProgram) {
    DrevanoRuntime = 1;
    LadAsm a(true);
    a.contact(LT_ON).coil(Q(1)).end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_FALSE(LT_Bit(Q(1)));
    EXPECT_EQ(plc_reg[64] & 1, 1);  // no END work while the runtime stays in use
    // The runtime clears the first-scan bit only in its second cycle: the
    // Talk reset runs on the first pass of a run, not again on the second.
    static int inits;
    inits = 0;
    const LadTalkHooks saved = lad_talk;
    lad_talk.init = [] { inits++; };
    Lad_TalkInitArm();
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(inits, 1);
    plc_reg[64] &= uint8_t(~1u);
    EXPECT_EQ(Scan(), -1);
    plc_reg[64] |= 1;  // the next run
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(inits, 2);
    Lad_TalkInitArm();  // a run started without a pass in between
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(inits, 3);
    lad_talk = saved;
    DrevanoRuntime = 0;
}

TEST_F(LadderTest, ScanTimeKeepsTheRemainder) {
    LadAsm a(true);
    a.end();
    EXPECT_EQ(Run(a), -1);
    EXPECT_EQ(local_scan_time, 0u);
    LA_TimeAdvance(125);  // 12.5 ms
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(local_scan_time, 12u);
    EXPECT_EQ(local_scan_time_rm, 5u);
    LA_TimeAdvance(125);
    EXPECT_EQ(Scan(), -1);
    EXPECT_EQ(local_scan_time, 13u);
    EXPECT_EQ(local_scan_time_rm, 0u);
    EXPECT_EQ(time_frt_100us, local_frt_100us & 0x3FFF);
}

// Programs run from cells decoded once; a program changed in place (same
// length, same header) is decoded afresh, and the word-by-word loop gives
// the same results as the cells, faults and budget included.
TEST_F(LadderTest, DecodedProgramFollowsChangesAndMatchesWordLoop) {
    for (uint32_t words : {LAD_CACHE_WORDS, uint32_t(0)}) {
        lad_cache_words = words;
        SetUp();
        LadAsm a(true);
        a.contact(LT_ON).coil(Q(1)).contact(LT_OFF).coil(Q(2)).contact(LT_ON).op(38).word(5).end();  // word 5: no bit
        EXPECT_EQ(Run(a), -1);
        EXPECT_TRUE(LT_Bit(Q(1)));
        // The coil's operand changes from %Q1 to %Q3 in place.
        const std::size_t at = MF_HDR + 2 * 2;
        ASSERT_EQ(LE_Get16(ladder_bl.data() + at), Q(1));
        LE_Put16(ladder_bl.data() + at, uint16_t(Q(3)));
        LT_SetBit(Q(1), false);
        EXPECT_EQ(Scan(), -1);
        EXPECT_FALSE(LT_Bit(Q(1)));
        EXPECT_TRUE(LT_Bit(Q(3)));
        // A coil on an empty power stack, and a coil cut by the program's end.
        LadAsm b(true);
        b.contact(LT_ON).coil(Q(1)).coil(Q(2)).end();
        FirstScan();
        EXPECT_EQ(Run(b), 4);
        LadAsm c(false);
        c.contact(LT_ON).op(38).word(uint16_t(Q(1)));  // the contact is opcode 31 and two words
        FirstScan();
        EXPECT_TRUE(c.finish());
        LA_LoadBare(c);
        NV_EditorFeatures = 0;
        EXPECT_EQ(LogicUpdate(), 4);
        // Extended layout, coils on the moved %M area and past its end.
        LadAsm d(false);
        d.contact(LT_ON).coil(EM(3)).contact(LT_ON).coil(0x10031000).end();
        FirstScan();
        EXPECT_EQ(Run(d), -1);
        EXPECT_TRUE(LT_Bit(EM(3)));
    }
    lad_cache_words = LAD_CACHE_WORDS;
}

// The value-stack instructions run from their decoded cells give what their
// handlers give, word loop and cells alike: a skip over the rest of a rung,
// a skip whose target lies past the program, a load of no register, the
// budget spent on them, and the extended layout's store.
TEST_F(LadderTest, DecodedValueInstructionsMatchTheirHandlers) {
    for (uint32_t words : {LAD_CACHE_WORDS, uint32_t(0)}) {
        lad_cache_words = words;
        SetUp();
        // Words: contact 0, skip 1-2, constant 3-4, store 5-6, pop 7.
        LadAsm a(true);
        a.contact(LT_OFF).op(70).word(4).op(81).word(7).op(82).reg(R(1)).op(55);
        a.contact(LT_ON).op(70).word(4).op(81).word(8).op(82).reg(R(2)).op(55).end();
        LT_SetW(R(1), 0x1111);
        EXPECT_EQ(Run(a), -1);
        EXPECT_EQ(LT_W(R(1)), 0x1111) << words;
        EXPECT_EQ(LT_W(R(2)), 8) << words;
        // The skip's target is past the end: only a false power takes it.
        LadAsm b(true);
        b.contact(LT_OFF).op(70).word(100).end();
        FirstScan();
        EXPECT_EQ(Run(b), 2) << words;
        LadAsm c(true);
        c.contact(LT_ON).op(70).word(100).end();
        FirstScan();
        EXPECT_EQ(Run(c), -1) << words;
        // A load of word operand 5 (no register) pushes 0 and clears the power.
        LadAsm d(true);
        d.contact(LT_ON).op(80).word(5).op(82).reg(R(3)).coil(Q(1)).end();
        LT_SetW(R(3), 0x2222);
        FirstScan();
        EXPECT_EQ(Run(d), -1);
        EXPECT_EQ(LT_W(R(3)), 0) << words;
        EXPECT_FALSE(LT_Bit(Q(1))) << words;
        // Five value instructions spend a budget of 5: the one at word 9 stops.
        lad_step_limit = 5;
        LadAsm e(true);
        e.contact(LT_ON).op(81).word(1).op(81).word(2).op(120).op(82).reg(R(4)).op(55);
        e.op(81).word(9).op(82).reg(R(5)).end();
        FirstScan();
        EXPECT_EQ(Run(e), 10) << words;
        EXPECT_EQ(LT_W(R(4)), 3) << words;
        EXPECT_EQ(LT_W(R(5)), 0) << words;
        lad_step_limit = LAD_STEP_LIMIT_DEFAULT;
        // Extended layout: load, constant, subtract, store on 32-bit operands.
        LadAsm f(false);
        LT_SetW(R(6), 50);
        f.contact(LT_ON).op(80).reg(R(6)).op(81).word(8).op(121).op(82).reg(R(7)).op(55).end();
        FirstScan();
        EXPECT_EQ(Run(f), -1);
        EXPECT_EQ(LT_W(R(7)), 42) << words;
    }
    lad_cache_words = LAD_CACHE_WORDS;
}
