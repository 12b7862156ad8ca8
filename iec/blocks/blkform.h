// Shared frame of the controller's own IEC blocks: the handler's answers to
// the VM's commands, operand access through the operand list, and the
// library's registration into the controller registry.
//
// A handler gets (command, database, class data, instance data, operand
// list); the list is an array of u16 entries at arg, its count the u16 before
// it. An entry is an index into its operand's typed section; an array
// operand's entry is the index of its first element, element k lies at
// index + k. Type codes and array sizes are literal entries. Every element
// address is checked against its section: reads outside answer 0, writes
// there (or to a forced variable) do nothing.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7mem.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

// Lock bits of a forced variable, per section.
enum : uint8_t { BLK_LK8 = 0x01, BLK_LK16 = 0x02, BLK_LK32 = 0x04, BLK_LK64 = 0x08, BLK_LKT = 0x10 };

struct BlkOps {
    uint32_t db = 0, arg = 0, n = 0;
    const uint8_t *list = nullptr;  // host view of the n entries
    // Host view of the typed sections (lock, 8, 16, 32, 64 bits, TIME),
    // taken on first use: base, element count and element size.
    struct SecView {
        uint8_t *base;
        uint32_t alloc, elem;
    };
    mutable SecView view[6] = {};
    mutable uint8_t loaded = 0;

    uint16_t Lit(uint32_t k) const { return k < n ? LE_Get16(list + 2 * k) : 0; }
    const SecView *View(uint32_t sec) const {
        if (sec < Z7SEC_LOCK || sec > Z7SEC_TIME) return nullptr;
        SecView &v = view[sec - Z7SEC_LOCK];
        if (!(loaded & (1u << (sec - Z7SEC_LOCK)))) {
            loaded |= uint8_t(1u << (sec - Z7SEC_LOCK));
            const uint8_t *d = Z7Mem_Ptr(db + sec * Z7_DESC_SIZE, Z7_DESC_SIZE);
            v.alloc = d ? LE_Get16(d + SD_ALLOC) : 0;
            v.elem = d ? LE_Get16(d + SD_ELEM) : 0;
            v.base = d ? Z7Mem_Ptr(LE_Get32(d + SD_ADDR), v.alloc * v.elem) : nullptr;
            if (v.base == nullptr) v.alloc = 0;
        }
        return &v;
    }
    // Host address of element off of operand k in a section (off 0 for a
    // plain operand); null outside the section.
    uint8_t *At(uint32_t sec, uint32_t k, uint32_t off = 0) const {
        if (k >= n) return nullptr;
        const uint32_t idx = uint32_t(Lit(k)) + off;
        if (sec == Z7SEC_STRPTR) return nullptr;
        const SecView *v = View(sec);
        return v != nullptr && idx < v->alloc ? v->base + size_t(idx) * v->elem : nullptr;
    }
    bool Forced(uint32_t k, uint32_t off, uint8_t bit) const {
        const uint8_t *l = At(Z7SEC_LOCK, k, off);
        return l != nullptr && (*l & bit) != 0;
    }
    // Host view of count elements of width bytes from operand k's first
    // element; null unless all of them lie in the section.
    uint8_t *Span(uint32_t sec, uint32_t k, uint32_t count, uint32_t width) const {
        if (count == 0) return nullptr;
        uint8_t *a = At(sec, k), *last = At(sec, k, count - 1);
        if (a == nullptr || last != a + size_t(count - 1) * width) return nullptr;
        return a;
    }
    uint8_t U8(uint32_t k, uint32_t off = 0) const {
        const uint8_t *p = At(Z7SEC_D8, k, off);
        return p ? *p : 0;
    }
    uint16_t U16(uint32_t k, uint32_t off = 0) const {
        const uint8_t *p = At(Z7SEC_D16, k, off);
        return p ? LE_Get16(p) : 0;
    }
    uint32_t U32(uint32_t k, uint32_t off = 0) const {
        const uint8_t *p = At(Z7SEC_D32, k, off);
        return p ? LE_Get32(p) : 0;
    }
    uint64_t U64(uint32_t k, uint32_t off = 0) const {
        const uint8_t *p = At(Z7SEC_D64, k, off);
        return p ? LE_Get32(p) | (uint64_t(LE_Get32(p + 4)) << 32) : 0;
    }
    uint32_t Time(uint32_t k) const {
        const uint8_t *p = At(Z7SEC_TIME, k);
        return p ? LE_Get32(p) : 0;
    }
    uint8_t B(uint32_t k) const { return U8(k); }
    int16_t I(uint32_t k, uint32_t off = 0) const { return int16_t(U16(k, off)); }
    int32_t D(uint32_t k, uint32_t off = 0) const { return int32_t(U32(k, off)); }
    float R(uint32_t k) const { return std::bit_cast<float>(U32(k)); }
    double LR(uint32_t k) const { return std::bit_cast<double>(U64(k)); }
    void Put8(uint32_t k, uint8_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D8, k, off);
        if (p != nullptr && !Forced(k, off, BLK_LK8)) *p = v;
    }
    void Put16(uint32_t k, uint16_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D16, k, off);
        if (p != nullptr && !Forced(k, off, BLK_LK16)) LE_Put16(p, v);
    }
    void Put32(uint32_t k, uint32_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D32, k, off);
        if (p != nullptr && !Forced(k, off, BLK_LK32)) LE_Put32(p, v);
    }
    void Put64(uint32_t k, uint64_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D64, k, off);
        if (p == nullptr || Forced(k, off, BLK_LK64)) return;
        LE_Put32(p, uint32_t(v));
        LE_Put32(p + 4, uint32_t(v >> 32));
    }
    void PutTime(uint32_t k, uint32_t v) const {
        uint8_t *p = At(Z7SEC_TIME, k);
        if (p != nullptr && !Forced(k, 0, BLK_LKT)) LE_Put32(p, v);
    }
    void SetB(uint32_t k, bool v) const { Put8(k, v ? 1 : 0); }
    void SetI(uint32_t k, int32_t v, uint32_t off = 0) const { Put16(k, uint16_t(v), off); }
    void SetD(uint32_t k, int32_t v, uint32_t off = 0) const { Put32(k, uint32_t(v), off); }
    void SetR(uint32_t k, float v) const {
        uint32_t b;
        std::memcpy(&b, &v, 4);
        Put32(k, b);
    }
    void SetLR(uint32_t k, double v) const {
        uint64_t b;
        std::memcpy(&b, &v, 8);
        Put64(k, b);
    }
};

// Opens the operand list of a call; false when it holds fewer than need
// entries or does not lie in the arena.
inline bool Blk_Open(uint32_t db, uint32_t arg, uint32_t need, BlkOps &ops) {
    if (arg < 2) return false;
    ops = BlkOps{};
    ops.db = db;
    ops.arg = arg;
    ops.n = Z7Mem_Get16(arg - 2);
    ops.list = Z7Mem_Ptr(arg, 2 * ops.n);
    if (ops.list == nullptr) ops.n = 0;
    return ops.n >= need;
}

// Text of the STRING operand k (at most 255 characters) into out,
// terminated at its first NUL; its length.
inline uint32_t Blk_StrText(const BlkOps &o, uint32_t k, char out[256]) {
    uint32_t n = k < o.n ? Z7VMStr_GetLength(o.db, o.Lit(k)) : 0;
    const uint8_t *t = n ? Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(k)), n) : nullptr;
    if (t == nullptr || n > 255) n = 0;
    if (n) std::memcpy(out, t, n);
    out[n] = 0;
    return uint32_t(std::strlen(out));
}

// Answer of every command other than execute: the instance size to 3, 1 to 9,
// 0 otherwise.
constexpr uint32_t Blk_Answer(uint32_t cmd, uint32_t size) {
    return cmd == FB_INSTSIZE ? size : cmd == FB_AVAIL ? 1 : 0;
}

// Stateless block with need operands: body(ops) on execute.
template <uint32_t Need, void (*Body)(const BlkOps &)>
uint32_t Blk_Plain(uint32_t cmd, uint32_t db, uint32_t, uint32_t, uint32_t arg) {
    if (cmd != FB_EXEC) return Blk_Answer(cmd, 0);
    BlkOps ops;
    if (Blk_Open(db, arg, Need, ops)) Body(ops);
    return 0;
}

// Block with a Size-byte instance: body(ops, instance bytes) on execute.
template <uint32_t Size, uint32_t Need, void (*Body)(const BlkOps &, uint8_t *)>
uint32_t Blk_Stateful(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd != FB_EXEC) return Blk_Answer(cmd, Size);
    BlkOps ops;
    uint8_t *p = Z7Mem_Ptr(inst, Size);
    if (p != nullptr && Blk_Open(db, arg, Need, ops)) Body(ops, p);
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
extern const BlkFamily BlkEmpty_Family, BlkTmr_Family, BlkAny_Family, BlkStr_Family, BlkClk_Family,
    BlkPid_Family, BlkNet_Family, BlkCan_Family, BlkFile_Family, BlkTxb_Family, BlkXml_Family,
    BlkPort_Family;

// Handler of a controller registry row, or null when the library lacks it.
FbHandler BlkLib_Proc(uint32_t id);
// Fills the VM's library hook with this library (called once at start-up).
void BlkLib_Install();
// Removes the hook again (tests).
void BlkLib_Remove();
