// Interpreter helpers, timers, block handlers, registries and standard
// functions: the operations that the bytecode interpreter, the block linker
// and the block handlers share.
//
// Handler fields of the class, instance and custom-function tables hold
// handler ids (Z7Fbl_*), never host pointers, so a saved database works in
// any process that has the same registries.
#pragma once

#include <cstdint>

#include "iec/vm/z7map.h"  // status information of opcodes 568 and 569

// ---- block handlers ---------------------------------------------------------------------------
// handler(command, db, class data, instance data, argument) -> answer.
using FbHandler = uint32_t (*)(uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg);
enum : uint32_t {
    FB_EXEC = 0,
    FB_CLASSNO = 1,
    FB_CLASSSIZE = 2,
    FB_INSTSIZE = 3,
    FB_CLASSINIT = 4,
    FB_CLASSEXIT = 5,
    FB_INSTINIT = 6,
    FB_INSTEXIT = 7,
    FB_INSTKEEP = 8,
    FB_AVAIL = 9,
    FB_KEEPALIVE = 10,
    FB_WANTKEEP = 11,
    FB_INSTINFO = 12,
};
// Handler ids: registry in the high half, row in the low half.
enum : uint32_t {
    Z7H_NONE = 0,
    Z7H_NULLBLK = 1,
    Z7H_NULLFN = 2,
    Z7H_PFB = 0x10000,
    Z7H_EXT = 0x20000,
    Z7H_STD = 0x30000
};
FbHandler Z7Fbl_Handler(uint32_t id);
// Calls the handler of id (0 when there is none).
uint32_t Z7Fbl_Call(uint32_t id, uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg);

// Controller registry: 204 rows, ids 0..203; the walk skips a row without a
// handler (row 203 ends it).
constexpr uint32_t Z7PFB_ROWS = 204;
const char *Z7Blocks_GetName(uint32_t id);
FbHandler Z7Blocks_GetProc(uint32_t id);
// Rows past CTUDR come from the controller's block library above the VM,
// which fills this hook at start-up (null: those rows are absent).
extern FbHandler (*Z7Blocks_LibProc)(uint32_t id);
uint32_t Z7Blocks_GetFirstID();            // first row with a handler (203 when none)
uint32_t Z7Blocks_GetNextID(uint32_t id);  // 0 past the last row with a handler
uint32_t Z7Blocks_Find(const char *name);  // row id or 203

// External block library "./libz7blocks.so".
uint32_t Z7Bdll_StartEnumerate();
void Z7Bdll_StopEnumerate();
uint32_t Z7Bdll_GetFirstID();
uint32_t Z7Bdll_GetNextID(uint32_t id);
const char *Z7Bdll_GetName(uint32_t id);
FbHandler Z7Bdll_GetProc(uint32_t id);

// Registry walk: standard = 1 the standard blocks, 0 the controller registry
// then the external library. 0 when a row ended the walk, 1 otherwise.
enum : uint32_t { FBL_COUNT = 0, FBL_REGISTER = 1, FBL_CLASSDATA = 2, FBL_INSTSIZE = 3, FBL_FIND = 4 };
struct Z7FblCtx {
    uint32_t db = 0, count = 0, size = 0;
    uint16_t classno = 0, standard = 0;
    const char *name = nullptr;
    uint32_t handler = 0;
};
uint32_t Z7VMFbl_List(uint32_t command, Z7FblCtx *ctx, uint32_t standard);
uint32_t Z7VMFbl_GetInstanceDataSizeExact(uint32_t code);
// Command 8 to instances 1..old_count (those that existed), 6 to the later ones.
uint32_t Z7VMFbl_InitNewInstances(uint32_t db, uint32_t old_count);
// 65 when an instance 1..old_count - 1 of the database has another parameter
// in the image's instance list, else 0.
uint32_t Z7VMFbl_SameParameters(uint32_t code, uint32_t db, uint32_t old_count);
uint32_t Z7VMFbl_GetInstanceCount(uint32_t db, const char *class_name);

// Parameter access for handlers: address of the variable of type (IEC type
// code) at index; lock flag and size optional. 0 for an unknown type or an
// index outside its section.
uint32_t Z7Tools_GetAnyParam(uint32_t db, uint32_t type, uint32_t index, uint32_t *locked = nullptr,
                             uint32_t *size = nullptr);

// ---- interpreter helpers ------------------------------------------------------------------------
void Z7VMTic_ExeCtrl();
// Backward jumps one run may take before it stops as a fault (log 8); 0, the
// default, sets no limit. Fuzzing sets one so that a looping program ends.
extern uint32_t Z7VMTic_JumpBudget;
void Z7VMTic_LockVar(uint32_t db, uint32_t index, uint8_t bit);
void Z7VMTic_UnlockVar(uint32_t db, uint32_t index, uint8_t bit, uint32_t ct);
void Z7VMTic_UnlockAllVars(uint32_t db);
// CT segment helpers: 1 done, 0 an offset outside the segment.
uint32_t Z7VMTic_CTMemcpy(uint32_t db, int32_t dst, int32_t src, int32_t len);
uint32_t Z7VMTic_SetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off);
uint32_t Z7VMTic_GetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off);
void Z7VMTic_SetSfcBreakS(uint32_t db, uint32_t step, uint16_t value);
void Z7VMTic_SetSfcBreakT(uint32_t db, uint32_t trans, uint16_t value);

// ---- timers ---------------------------------------------------------------------------------
// address = arena address of a TIME variable (in the TIME section or the CT
// segment). Start: 1 running or appended, 0 list full or bad address.
uint32_t Z7VMTmr_StartTimer(uint32_t db, uint32_t address);
void Z7VMTmr_StopTimer(uint32_t db, uint32_t address);
void Z7VMTmr_HotRestartTimers(uint32_t db);
// (now + one day + value - stamp) mod one day, in 64 bits.
uint32_t Z7VMTmr_Advance(uint32_t value, uint32_t stamp, uint32_t now);

// ---- standard functions ------------------------------------------------------------------------
// Standard function handler: (db, operand list from operand 0, function number) -> 0 stop.
using Z7StfFn = uint32_t (*)(uint32_t db, uint32_t operands, uint32_t fn);
constexpr uint32_t Z7STF_COUNT = 222;
