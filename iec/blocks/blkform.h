// Shared frame of the controller's own IEC blocks: the handler's answers to
// the VM's commands, operand access through the operand view (iec/vm/z7ops.h),
// and the library's registration into the controller registry.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7mem.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

// Answer of every command other than execute: the instance size to 3, 1 to 9,
// 0 otherwise.
constexpr uint32_t Blk_Answer(uint32_t cmd, uint32_t size) {
    return cmd == FB_INSTSIZE ? size : cmd == FB_AVAIL ? 1 : 0;
}

// Host view of count elements of array operand k (followed by its literal
// element count) of IEC type code type: in the complex-type segment when the
// application has one (the operand names a DINT holding the offset), else
// at its index in the typed segment of the element type, as every array
// operand is found; null unless all count elements lie inside that segment.
inline uint8_t *Blk_Array(const Z7Ops &o, uint32_t k, uint32_t type, uint32_t count) {
    uint32_t width = 0;
    if (count == 0 || k >= o.n) return nullptr;
    const uint32_t a = Z7Tools_GetArrayIn(o.db, type, o.Lit(k), count, &width);
    return a != 0 ? Z7Mem_Ptr(a, count * width) : nullptr;
}
// The same for a byte array (8-bit elements).
inline uint8_t *Blk_ByteArray(const Z7Ops &o, uint32_t k, uint32_t count) { return Blk_Array(o, k, 14, count); }

// Stateless block with need operands: body(ops) on execute.
template <uint32_t Need, void (*Body)(const Z7Ops &)>
uint32_t Blk_Plain(uint32_t cmd, uint32_t db, uint32_t, uint32_t, uint32_t arg) {
    if (cmd != FB_EXEC) return Blk_Answer(cmd, 0);
    Z7Ops ops;
    if (Z7Ops_Open(db, arg, Need, ops)) Body(ops);
    return 0;
}

// Block with a Size-byte instance: body(ops, instance bytes) on execute.
template <uint32_t Size, uint32_t Need, void (*Body)(const Z7Ops &, uint8_t *)>
uint32_t Blk_Stateful(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd != FB_EXEC) return Blk_Answer(cmd, Size);
    Z7Ops ops;
    uint8_t *p = Z7Mem_Ptr(inst, Size);
    if (p != nullptr && Z7Ops_Open(db, arg, Need, ops)) Body(ops, p);
    return 0;
}

// Services of the executive the blocks reach; filled at start-up, a null
// entry makes its block do nothing (or report failure).
struct BlkHooks {
    // Sets the clock from {second, minute, hour, day, month, year}; true when set.
    bool (*rtc_set)(const uint16_t *rec);
    // Restarts the CAN network with the id now in the register image.
    void (*net_init)();
    // The user program's text tables and its string area (pointer and length).
    const uint8_t *text_tables;
    uint32_t text_tables_len;
    const uint8_t *strings;
    uint32_t strings_len;
    // Writes one line to the runtime's trace.
    void (*trace)(const char *line);
};
extern BlkHooks Blk_Hooks;

// One library row: block name and handler.
struct BlkRow {
    const char *name;
    FbHandler fn;
};

// Family tables (each file of the library defines one).
struct BlkFamily {
    const BlkRow *rows;
    uint32_t count;
};
extern const BlkFamily BlkEmpty_Family, BlkTmr_Family, BlkAny_Family, BlkStr_Family, BlkClk_Family, BlkPid_Family,
    BlkNet_Family, BlkCan_Family, BlkFile_Family, BlkTxb_Family, BlkXml_Family, BlkPort_Family;

// Handler of a controller registry row, or null when the library lacks it.
FbHandler BlkLib_Proc(uint32_t id);
// Fills the VM's library hook with this library (called once at start-up).
void BlkLib_Install();
// Removes the hook again (tests).
void BlkLib_Remove();
