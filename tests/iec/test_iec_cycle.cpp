// The VM cycle driven through the entry points: program order, tasks and held
// programs, the execution buffer, the start and end tasks, the runtime clock,
// cycle-time accounting, breakpoints, the log and call-stack slices.
#include "tests/iec/iec_fixture.h"

#include "iec/vm/z7heap.h"

namespace {
using iec_test::IecTest;
using iec_test::Recorder;
using test_support::IecImage;

IecImage ThreePrograms() {
    IecImage img;
    img.programs.assign(3, IecImage::Program{});
    return img;
}

TEST_F(IecTest, ProgramsRunInOrderUntilOneAnswersZero) {
    uint32_t db = 0;
    ASSERT_EQ(Start(ThreePrograms(), db), 0u);
    Recorder::stop_at = 2;
    Z7Def_Cycle(db, 1000, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(St32(db, ST_CYCLES), 1u);

    // paused: nothing runs; one cycle requested: one cycle runs, then the request is gone
    Recorder::runs.clear();
    Recorder::stop_at = 0;
    Z7VM_SetPauseMode(db, 1);
    Z7Def_Cycle(db, 1010, nullptr);
    EXPECT_TRUE(Recorder::runs.empty());
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_ONECYCLE));
    Z7Def_Cycle(db, 1020, nullptr);
    Z7Def_Cycle(db, 1030, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(Flags(db) & Z7F_ONECYCLE, 0);
    // a suspended program is skipped
    Z7VM_SetPauseMode(db, 0);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_PROG, 2) + PG_STATE, Z7P_ACTIVE | Z7P_SUSPENDED);
    Recorder::runs.clear();
    Z7Def_Cycle(db, 1040, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 3}));

    // a stop request stops at the next cycle, which runs nothing
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_STOPREQ));
    Recorder::runs.clear();
    EXPECT_EQ(Z7VM_Cycle(db, 1050), 1u);
    EXPECT_EQ(Flags(db) & (Z7F_RUN | Z7F_STOPPED), Z7F_STOPPED);
    EXPECT_EQ(Z7VM_Cycle(db, 1060), 1u);
    EXPECT_TRUE(Recorder::runs.empty());
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
}

TEST_F(IecTest, TasksHeldProgramsAndTheExecutionBuffer) {
    IecImage img = ThreePrograms();
    img.tasks = {{"MAIN", {1, 2, 3}}, {"@@B", {3}}, {"@@E", {2}}};
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    uint32_t t = 9;
    EXPECT_EQ(Z7VM_FindTask(db, "@@E", &t), 0u);
    EXPECT_EQ(t, 2u);
    EXPECT_EQ(Z7VM_FindTask(db, "MAIN", &t), 1u);  // the cyclic task is not found by name
    EXPECT_EQ(Z7VM_FindTask(db, nullptr, &t), 1u);
    EXPECT_EQ(Z7VM_GetTaskName(db, 3), 0u);

    // "@@B" once, at the first cycle only
    Z7Def_Cycle(db, 100, nullptr);
    Z7Def_Cycle(db, 110, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{3, 1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(St32(db, ST_CYCLES), 2u);

    // program 2 held at a breakpoint: the next cycle resumes there
    Recorder::runs.clear();
    Z7Mem_Put16(Z7VM_Status(db) + ST_BRK_PROG, 2);
    Z7Def_Cycle(db, 120, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{2, 3}));
    // option 0x2 abandons the hold
    Recorder::runs.clear();
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Options(db) | 0x2);
    Z7Def_Cycle(db, 130, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(St16(db, ST_BRK_PROG), 0);

    // the execution buffer runs once after the programs, length + 2 bytes, as program 0
    Recorder::runs.clear();
    Recorder::lengths.clear();
    Z7Mem_Put16(Z7VM_Status(db) + ST_EXECLEN, 10);
    Z7Def_Cycle(db, 140, nullptr);
    Z7Def_Cycle(db, 150, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2, 3, 0, 1, 2, 3}));
    EXPECT_EQ(Recorder::lengths[3], 12u);
    // a length that would run past the 1024-byte buffer runs nothing
    Recorder::runs.clear();
    Z7Mem_Put16(Z7VM_Status(db) + ST_EXECLEN, 1023);
    Z7Def_Cycle(db, 160, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(St16(db, ST_EXECLEN), 0);
    // task numbers at or above the count run nothing
    EXPECT_EQ(Z7VM_PerformTask(db, 3, 170, 0), 1u);
    // a program that clears run ends a cyclic list there: the cycle is
    // counted and option 0x10 cleared; a list that is not cyclic runs whole
    Recorder::runs.clear();
    Z7VMTic_RunPtr = [](uint32_t d, uint32_t s, uint32_t c, uint32_t l, uint32_t p) {
        if (p == 1) Z7St_SetFlags(d, uint16_t(Z7St_Flags(d) & ~Z7F_RUN));
        return Recorder::Run(d, s, c, l, p);
    };
    const uint32_t cycles = St32(db, ST_CYCLES);
    Z7VM_PerformTask(db, 0, 180, 0);
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_RUN));
    Z7Mem_Put32(Z7VM_Status(db) + ST_OPTIONS, Options(db) | Z7O_CHANGED);
    Z7VMPrg_Task(db, 0, 1);
    Z7VMTic_RunPtr = Recorder::Run;
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{1, 2, 3, 1}));
    EXPECT_EQ(St32(db, ST_CYCLES), cycles + 1);
    EXPECT_EQ(Options(db) & Z7O_CHANGED, 0u);
    Z7St_SetFlags(db, uint16_t(Flags(db) | Z7F_RUN));

    // "@@E" once at stop
    Recorder::runs.clear();
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{2}));
}

TEST_F(IecTest, RuntimeClockAndCycleTimeAccounting) {
    IecImage img = ThreePrograms();
    img.tasks = {{"MAIN", {1}}, {"@@B", {3}}};
    img.period_us = 10000;
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    // a first cycle at 0 ms is a first cycle once only
    Z7Def_Cycle(db, 0, nullptr);
    Z7Def_Cycle(db, 5, nullptr);
    EXPECT_EQ(Recorder::runs, (std::vector<uint32_t>{3, 1, 1}));
    EXPECT_EQ(St32(db, ST_MILLIS), 5u);
    // the day wrap: stamp 86,399,900 then 500 adds 600 ms
    Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, 86399900);
    Z7Mem_Put32(Z7VM_Status(db) + ST_MILLIS, 400);
    Z7Def_Cycle(db, 500, nullptr);
    EXPECT_EQ(St32(db, ST_SECONDS), 1u);
    EXPECT_EQ(St32(db, ST_MILLIS), 0u);
    Z7Def_Cycle(db, 2100, nullptr);  // 1,600 ms more
    EXPECT_EQ(St32(db, ST_SECONDS), 2u);
    EXPECT_EQ(St32(db, ST_MILLIS), 600u);
    EXPECT_EQ(Z7VM_Elapsed(4294967200u, 100), 196u);
    EXPECT_EQ(Z7VM_Elapsed(86399900, 500), 600u);
    // the tick's own wrap reaches 0, stamped as 86,400,000: 100 ms
    EXPECT_EQ(Z7VM_Elapsed(4294967196u, 86400000u), 100u);

    EXPECT_EQ(Z7VM_RegisterCycleTime(db, 25000), 5000u);
    EXPECT_EQ(St32(db, ST_OVERRUNS), 1u);
    uint16_t code = 0, arg = 0;
    uint32_t arg32 = 0;
    EXPECT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 1u);
    EXPECT_EQ(code, 30);
    EXPECT_EQ(Z7VM_RegisterCycleTime(db, 10000), 10000u);
    EXPECT_EQ(Z7VM_RegisterCycleTime(db, 3000), 7000u);
    EXPECT_EQ(St32(db, ST_OVERRUNS), 1u);
    EXPECT_EQ(St32(db, ST_LONGEST), 25000u);
    EXPECT_EQ(St32(db, ST_LAST), 3000u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
}

TEST_F(IecTest, BreakpointsTraceLogAndUnresolvedNames) {
    uint32_t db = 0;
    ASSERT_EQ(Start(ThreePrograms(), db), 0u);
    Z7VMPrg_SetBreakpoint(db, 3, 0, 2);  // one-shot: a step at any position of program 3
    EXPECT_TRUE(Flags(db) & Z7F_BREAKPOINTS);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 2, 17, 0), 0u);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 3, 17, 0), 1u);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 3, 17, 0), 0u);
    EXPECT_FALSE(Flags(db) & Z7F_BREAKPOINTS);
    // entries {program, position, kind}: a one-shot takes a free entry even
    // where one has its program and position; other kinds reuse that entry;
    // kind 0 frees it
    auto table = [&] {
        std::vector<uint16_t> t;
        for (uint32_t i = 0; i < 3; i++)
            for (uint32_t w = 0; w < 3; w++) t.push_back(Z7Mem_Get16(Z7VM_Status(db) + ST_BREAKPOINTS + 8 * i + 2 * w));
        return t;
    };
    Z7VMPrg_SetBreakpoint(db, 2, 50, 1);
    Z7VMPrg_SetBreakpoint(db, 2, 50, 2);
    EXPECT_EQ(table(), (std::vector<uint16_t>{2, 50, 1, 2, 50, 2, 0, 0, 0}));
    Z7VMPrg_SetBreakpoint(db, 2, 50, 3);
    EXPECT_EQ(table(), (std::vector<uint16_t>{2, 50, 3, 2, 50, 2, 0, 0, 0}));
    Z7VMPrg_SetBreakpoint(db, 2, 50, 0);
    EXPECT_EQ(table(), (std::vector<uint16_t>{0, 0, 0, 2, 50, 2, 0, 0, 0}));
    EXPECT_TRUE(Flags(db) & Z7F_BREAKPOINTS);
    Z7VMPrg_SetBreakpoint(db, 2, 50, 0);  // the one-shot is freed as well
    EXPECT_EQ(table(), (std::vector<uint16_t>{0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(Flags(db) & Z7F_BREAKPOINTS);

    Z7VMPrg_SetBreakpoint(db, 3, 40, 3);  // trace point: logs and goes on
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 3, 40, 0), 0u);
    uint16_t code = 0, arg = 0;
    uint32_t arg32 = 0;
    ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 1u);
    EXPECT_EQ(code, 68);
    EXPECT_EQ(arg32, 0x00280003u);
    Z7VMPrg_SetBreakpoint(db, 65535, 9, 1);  // global position
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 1, 2, 9), 1u);
    EXPECT_EQ(Z7VMPrg_HasBreapointOrStep(db), 1u);
    for (uint16_t i = 0; i < 20; i++) Z7VMPrg_SetBreakpoint(db, 1, uint16_t(100 + i), 1);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 1, 113, 0), 1u);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 1, 114, 0), 0u);  // a 17th entry was never set
    Z7VMPrg_SetBreakpoint(db, 0, 0, 0);
    EXPECT_FALSE(Flags(db) & Z7F_BREAKPOINTS);
    EXPECT_EQ(Z7VMPrg_IsBreakpoint(db, 1, 100, 0), 0u);

    // the log keeps 16 entries, oldest first; the flag stays until it is empty
    for (uint16_t i = 1; i <= 17; i++) Z7VMLog_Push(db, i, i, i);
    for (uint16_t i = 1; i <= 16; i++) {
        EXPECT_TRUE(Flags(db) & Z7F_LOG);
        ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 1u);
        EXPECT_EQ(code, i);
    }
    EXPECT_FALSE(Flags(db) & Z7F_LOG);
    EXPECT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 0u);
    EXPECT_EQ(Z7VMLog_PopSys(&code), 0u);
    // the system log likewise keeps 16, oldest first
    for (uint16_t i = 1; i <= 17; i++) Z7VMLog_PushSys(uint16_t(100 + i));
    for (uint16_t i = 1; i <= 16; i++) {
        ASSERT_EQ(Z7VMLog_PopSys(&code), 1u);
        EXPECT_EQ(code, 100 + i);
    }
    EXPECT_EQ(Z7VMLog_PopSys(&code), 0u);

    Z7VMLog_RegisterUnresolved(db, "SHORT");
    Z7VMLog_RegisterUnresolved(db, "AVERYLONGBLOCKNAME");
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VMLog_GetUnresolved(db, 1), 16)), "AVERYLONGBLOC..");
    EXPECT_EQ(Z7VMLog_GetUnresolved(db, 2), 0u);
    // 15 characters are kept whole, 16 are cut; a 17th name is not kept
    Z7VMLog_RegisterUnresolved(db, "FIFTEEN_CHARS_X");
    Z7VMLog_RegisterUnresolved(db, "SIXTEEN_CHARS_XY");
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VMLog_GetUnresolved(db, 2), 16)), "FIFTEEN_CHARS_X");
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(Z7VMLog_GetUnresolved(db, 3), 16)), "SIXTEEN_CHARS..");
    for (uint32_t i = 4; i < 17; i++) Z7VMLog_RegisterUnresolved(db, "MORE");
    EXPECT_EQ(Z7Mem_Get16(Z7VM_Status(db) + ST_UNRESCOUNT), 16);
    EXPECT_NE(Z7VMLog_GetUnresolved(db, 15), 0u);
    EXPECT_EQ(Z7VMLog_GetUnresolved(db, 16), 0u);

    // a program called while it runs logs 33
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_PROG, 2) + PG_STATE, Z7P_ACTIVE | Z7P_CALLED);
    EXPECT_EQ(Z7VMPrg_Call(db, 2), 0u);
    ASSERT_EQ(Z7VMLog_Pop(db, &code, &arg, &arg32), 1u);
    EXPECT_EQ(code, 33);
    EXPECT_EQ(arg, 2);
    EXPECT_EQ(Z7VMPrg_Call(db, 9), 0u);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
}

TEST_F(IecTest, CallStackSlicesStayInTheirSlice) {
    IecImage img = ThreePrograms();
    img.cs_size = 4;
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    for (uint32_t i = 0; i < 4; i++) Z7Mem_Put32(cs + 4 * i, 0x100 + i);
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 2);  // depth 2: three frames
    Z7VMPrg_SaveCallStack(db, 2);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 2) + PG_SAVED), 3);
    EXPECT_EQ(Z7Mem_Get32(cs + 4 * 8 + 8), 0x102u);  // program 2's slice starts at 8
    EXPECT_EQ(Z7Mem_Get32(cs + 4 * 12), 0u);         // program 3's slice is untouched
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 4);         // deeper than a slice: nothing saved
    Z7VMPrg_SaveCallStack(db, 3);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 3) + PG_SAVED), 0);
    for (uint32_t i = 0; i < 4; i++) Z7Mem_Put32(cs + 4 * i, 0);
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 0);
    Z7VMPrg_RestoreCallStack(db, 2);
    EXPECT_EQ(Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED), 2);
    EXPECT_EQ(Z7Mem_Get32(cs + 8), 0x102u);
    EXPECT_EQ(Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, 2) + PG_SAVED), 0);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
}

TEST_F(IecTest, BufferHeapIsCompactedAfterEachCycleAndDeletedAtStop) {
    IecImage img;
    img.ext.assign(18, 0);
    img.ext[17] = 200;  // buffer heap of 200 bytes in section 3
    uint32_t db = 0;
    ASSERT_EQ(Start(img, db), 0u);
    const uint32_t heap = Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP);
    ASSERT_NE(heap, 0u);
    const uint32_t a = Z7Heap_Alloc(heap, 12), b = Z7Heap_Alloc(heap, 4);
    const uint32_t pb = Z7Heap_Lock(heap, b);
    Z7Mem_Put32(pb, 0xCAFE);
    Z7Heap_Unlock(heap, b);
    Z7Heap_Free(heap, a);
    Z7Def_Cycle(db, 10, nullptr);
    EXPECT_EQ(Z7Heap_GetFreeSpace(heap), 200 - 36 - 4 - 3 * 8);
    EXPECT_EQ(Z7Mem_Get32(Z7Heap_Lock(heap, b)), 0xCAFEu);
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    EXPECT_EQ(Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP), 0u);

    img.ext[17] = uint32_t(-1);  // malloc heap from the arena
    uint32_t db2 = 0;
    ASSERT_EQ(Start(img, db2), 0u);
    const uint32_t mh = Z7Mem_Get32(Z7VM_Header(db2) + HD_HEAP);
    EXPECT_NE(Z7Heap_Alloc(mh, 100), 0u);
    EXPECT_EQ(Z7Heap_GetFreeSpace(mh), -1);
    Z7Def_Stop(db2, nullptr, "/mnt/cfg/z7.ret", "APP");  // the heap goes back to the arena
}

}  // namespace
