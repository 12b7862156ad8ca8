// Operand view of an IEC block handler and the lock bits of forced
// variables.
//
// A handler gets (command, database, class data, instance data, operand
// list); the list is an array of u16 entries at arg, its count the u16 before
// it. An entry is an index into its operand's typed section; an array
// operand's entry is the index of its first element, element k lies at
// index + k. Type codes and array sizes are literal entries. Every element
// address is checked against its section: reads outside answer 0, writes
// there (or to a forced variable) do nothing. A section that does not lie
// whole in the arena above its first block is a malformed image: no element
// of it is used.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7mem.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

// Lock byte of a variable (one per index, database lock section): a set bit
// means the workbench forced the variable of that section and nothing else
// writes it.
enum : uint8_t {
    Z7LK_8 = 0x01,
    Z7LK_16 = 0x02,
    Z7LK_32 = 0x04,
    Z7LK_64 = 0x08,
    Z7LK_TIME = 0x10,
    Z7LK_STR = 0x20,
    Z7LK_EXT = 0x80  // external variable
};

struct Z7Ops {
    uint32_t db = 0, arg = 0, n = 0;
    const uint8_t *list = nullptr;  // host view of the n entries
    const uint8_t *desc = nullptr;  // descriptor table (null: no section usable)
    uint8_t *arena = nullptr;       // host address of arena offset 0 (with desc)
    // Bytes of one value of each typed section (lock, 8, 16, 32, 64 bits,
    // TIME).
    static constexpr uint8_t kWidth[6] = {1, 1, 2, 4, 8, 4};

    uint16_t Lit(uint32_t k) const { return k < n ? LE_Get16(list + 2 * k) : 0; }
    // Element count the descriptor of section sec declares.
    uint32_t Count(uint32_t sec) const {
        return desc != nullptr && sec < Z7SEC_COUNT ? LE_Get16(desc + sec * Z7_DESC_SIZE + SD_ALLOC) : 0;
    }
    // Host address of element off of operand k in a typed section (off 0
    // for a plain operand); null outside the section. The whole section
    // lies in the arena, the last element's value included (a section of
    // narrower elements than its values would be read past its end), or no
    // element of it is used.
    uint8_t *At(uint32_t sec, uint32_t k, uint32_t off = 0) const {
        if (k >= n || sec < Z7SEC_LOCK || sec > Z7SEC_TIME || desc == nullptr) return nullptr;
        const uint8_t *d = desc + sec * Z7_DESC_SIZE;
        const uint32_t idx = uint32_t(Lit(k)) + off, alloc = LE_Get16(d + SD_ALLOC);
        if (idx >= alloc) return nullptr;
        const uint32_t elem = LE_Get16(d + SD_ELEM), width = kWidth[sec - Z7SEC_LOCK], addr = LE_Get32(d + SD_ADDR);
        const uint64_t end = uint64_t(addr) + alloc * elem + (elem < width ? width - elem : 0);
        if (addr < Z7MEM_FIRST || end > Z7MEM_SIZE) return nullptr;
        return arena + addr + size_t(idx) * elem;
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
        if (p != nullptr && !Forced(k, off, Z7LK_8)) *p = v;
    }
    void Put16(uint32_t k, uint16_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D16, k, off);
        if (p != nullptr && !Forced(k, off, Z7LK_16)) LE_Put16(p, v);
    }
    void Put32(uint32_t k, uint32_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D32, k, off);
        if (p != nullptr && !Forced(k, off, Z7LK_32)) LE_Put32(p, v);
    }
    void Put64(uint32_t k, uint64_t v, uint32_t off = 0) const {
        uint8_t *p = At(Z7SEC_D64, k, off);
        if (p == nullptr || Forced(k, off, Z7LK_64)) return;
        LE_Put32(p, uint32_t(v));
        LE_Put32(p + 4, uint32_t(v >> 32));
    }
    void PutTime(uint32_t k, uint32_t v) const {
        uint8_t *p = At(Z7SEC_TIME, k);
        if (p != nullptr && !Forced(k, 0, Z7LK_TIME)) LE_Put32(p, v);
    }
    // STRING operand k set to text (cut to its maximum length) unless forced.
    void PutStr(uint32_t k, const char *text) const {
        if (k < n && !Forced(k, 0, Z7LK_STR)) Z7VMStr_AscForceC(db, Lit(k), text);
    }
    void SetB(uint32_t k, bool v) const { Put8(k, v ? 1 : 0); }
    void SetI(uint32_t k, int32_t v, uint32_t off = 0) const { Put16(k, uint16_t(v), off); }
    void SetD(uint32_t k, int32_t v, uint32_t off = 0) const { Put32(k, uint32_t(v), off); }
    void SetR(uint32_t k, float v) const { Put32(k, std::bit_cast<uint32_t>(v)); }
    void SetLR(uint32_t k, double v) const { Put64(k, std::bit_cast<uint64_t>(v)); }
};

// Opens the operand list of a call; false when it holds fewer than need
// entries or does not lie in the arena.
inline bool Z7Ops_Open(uint32_t db, uint32_t arg, uint32_t need, Z7Ops &ops) {
    if (arg < 2) return false;
    ops.db = db;
    ops.arg = arg;
    ops.desc = Z7Mem_Ptr(db, Z7_DESC_TABLE);
    ops.arena = ops.desc != nullptr ? Z7Mem_Base : nullptr;
    const uint8_t *count = Z7Mem_Ptr(arg - 2, 2);
    ops.n = count != nullptr ? LE_Get16(count) : 0;
    ops.list = Z7Mem_Ptr(arg, 2 * ops.n);
    if (ops.list == nullptr) ops.n = 0;
    return ops.n >= need;
}

// Text of the STRING operand k (at most 255 characters) into out,
// terminated at its first NUL; its length.
inline uint32_t Z7Ops_Text(const Z7Ops &o, uint32_t k, char out[256]) {
    uint32_t n = k < o.n ? Z7VMStr_GetLength(o.db, o.Lit(k)) : 0;
    const uint8_t *t = n ? Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(k)), n) : nullptr;
    if (t == nullptr || n > 255) n = 0;
    if (n) std::memcpy(out, t, n);
    out[n] = 0;
    return uint32_t(std::strlen(out));
}
