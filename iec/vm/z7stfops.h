// Operand access shared by the standard-function modules: operand 0 is the
// result, written only when its lock bit is clear; a slot's signature names
// the section of every operand so that none is used outside its section.
#pragma once

#include <cstdint>

#include "iec/vm/z7ops.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace z7stf {

// One call's view of the database: the descriptor table and the operand
// words are resolved once, then every element is a host pointer inside the
// arena (null for an index outside its section; reads of null answer 0 and
// writes there do nothing).
struct F {
    uint32_t db, ops, n;
    const uint8_t *desc = nullptr, *words = nullptr;
    uint8_t *arena = nullptr;  // host address of arena offset 0
    F(uint32_t db_, uint32_t ops_, uint32_t n_) : db(db_), ops(ops_), n(n_) {
        desc = Z7Mem_Ptr(db, Z7_DESC_TABLE);
        words = Z7Mem_Ptr(ops, 2 * n);
        if (desc != nullptr) arena = Z7Mem_Ptr(db, 1) - db;
    }
    static uint32_t Le16(const uint8_t *p) { return uint32_t(p[0] | p[1] << 8); }
    static uint32_t Le32(const uint8_t *p) { return Le16(p) | Le16(p + 2) << 16; }
    uint16_t Op(uint32_t k) const { return words != nullptr && k < n ? uint16_t(Le16(words + 2 * k)) : 0; }
    uint32_t Alloc(uint32_t sec) const { return desc ? Le16(desc + sec * Z7_DESC_SIZE + SD_ALLOC) : 0; }
    uint8_t *Elem(uint32_t sec, uint32_t idx) const {
        if (desc == nullptr) return nullptr;
        const uint8_t *d = desc + sec * Z7_DESC_SIZE;
        const uint32_t addr = Le32(d + SD_ADDR), elem = Le16(d + SD_ELEM);
        if (idx >= Le16(d + SD_ALLOC) || addr == 0) return nullptr;
        const uint64_t at = uint64_t(addr) + uint64_t(elem) * idx;
        return at + 8 <= Z7MEM_SIZE ? arena + at : nullptr;
    }
    uint8_t *E(uint32_t sec, uint32_t k) const { return Elem(sec, Op(k)); }
    bool Locked(uint32_t k, uint8_t bit) const {
        const uint8_t *l = E(Z7SEC_LOCK, k);
        return l != nullptr && (*l & bit);
    }
    uint8_t G8(uint32_t k) const { const uint8_t *p = E(Z7SEC_D8, k); return p ? *p : 0; }
    uint16_t G16(uint32_t k) const { const uint8_t *p = E(Z7SEC_D16, k); return p ? uint16_t(Le16(p)) : 0; }
    uint32_t G32(uint32_t k) const { const uint8_t *p = E(Z7SEC_D32, k); return p ? Le32(p) : 0; }
    int32_t D(uint32_t k) const { return int32_t(G32(k)); }
    uint64_t G64(uint32_t k) const {
        const uint8_t *p = E(Z7SEC_D64, k);
        return p ? uint64_t(Le32(p + 4)) << 32 | Le32(p) : 0;
    }
    void P8(uint8_t v) const {
        if (uint8_t *p = E(Z7SEC_D8, 0); p && !Locked(0, Z7LK_8)) *p = v;
    }
    void P16(uint16_t v) const {
        if (uint8_t *p = E(Z7SEC_D16, 0); p && !Locked(0, Z7LK_16)) {
            p[0] = uint8_t(v);
            p[1] = uint8_t(v >> 8);
        }
    }
    static void Put32(uint8_t *p, uint32_t v) {
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 24);
    }
    void P32(uint32_t v) const {
        if (uint8_t *p = E(Z7SEC_D32, 0); p && !Locked(0, Z7LK_32)) Put32(p, v);
    }
    void P64(uint64_t v) const {
        if (uint8_t *p = E(Z7SEC_D64, 0); p && !Locked(0, Z7LK_64)) {
            Put32(p, uint32_t(v));
            Put32(p + 4, uint32_t(v >> 32));
        }
    }
    void PStr(const char *text) const {
        if (!Locked(0, Z7LK_STR)) Z7VMStr_AscForceC(db, Op(0), text);
    }
};

// Operand kinds of a slot: 8 16 32 64-bit, t TIME, s STRING, l literal,
// a an ANY value typed by the literal operand 1.
struct Sig {
    uint8_t n;
    const char *kinds;
};
inline uint32_t SectionOfType(uint32_t type) {
    switch (type) {
    case 1: case 10: case 14: return Z7SEC_D8;
    case 11: case 15: return Z7SEC_D16;
    case 2: case 3: case 16: return Z7SEC_D32;
    case 12: case 13: case 17: return Z7SEC_D64;
    case 4: return Z7SEC_TIME;
    case 5: return Z7SEC_STRPTR;
    default: return Z7SEC_COUNT;
    }
}
inline bool Valid(const F &f, const Sig &s) {
    for (uint32_t k = 0; k < s.n; k++) {
        uint32_t sec;
        switch (s.kinds[k]) {
        case '8': sec = Z7SEC_D8; break;
        case '1': sec = Z7SEC_D16; break;
        case '6': sec = Z7SEC_D64; break;
        case 't': sec = Z7SEC_TIME; break;
        case 's': sec = Z7SEC_STRPTR; break;
        case 'l': continue;
        case 'a':
            sec = SectionOfType(f.Op(1));
            if (sec == Z7SEC_COUNT) continue;  // the handler refuses the type
            break;
        default: sec = Z7SEC_D32; break;
        }
        if (f.Op(k) >= f.Alloc(sec)) return false;
    }
    return true;
}

// Counts taken modulo the width; Shr copies the top bit in unless logical.
template <typename T> T Rol(T v, uint32_t n) {
    constexpr uint32_t w = sizeof(T) * 8;
    n &= w - 1;
    return n ? T((v << n) | (v >> (w - n))) : v;
}
template <typename T> T Ror(T v, uint32_t n) {
    constexpr uint32_t w = sizeof(T) * 8;
    n &= w - 1;
    return n ? T((v >> n) | (v << (w - n))) : v;
}
template <typename T> T Shl(T v, uint32_t n) { return T(v << (n & (sizeof(T) * 8 - 1))); }
template <typename T> T Shr(T v, uint32_t n, bool logical) {
    constexpr uint32_t w = sizeof(T) * 8;
    n &= w - 1;
    const T r = T(v >> n);
    if (logical || n == 0 || !(v >> (w - 1))) return r;
    return T(r | T(~T(0) << (w - n)));  // the top bit copied in
}

// The 32-bit masks, shifts and rotations: AND 20, NOT 27 (one operand), OR
// 28, ROL 30, ROR 31, SHL 33, SHR 34, XOR 35, each (result, a[, b]) in the
// 32-bit section. logical: SHR shifts zeros in (options bit 0x200).
inline bool IsMask32(uint32_t fn) {
    switch (fn) {
    case 20: case 27: case 28: case 30: case 31: case 33: case 34: case 35: return true;
    default: return false;
    }
}
inline uint32_t Mask32Operands(uint32_t fn) { return fn == 27 ? 2 : 3; }
inline uint32_t Mask32Value(uint32_t fn, uint32_t va, uint32_t vb, bool logical) {
    switch (fn) {
    case 20: return va & vb;
    case 28: return va | vb;
    case 35: return va ^ vb;
    case 27: return ~va;
    case 30: return Rol(va, vb);
    case 31: return Ror(va, vb);
    case 33: return Shl(va, vb);
    default: return Shr(va, vb, logical);
    }
}

// A mask call {fn, n, operands} with one lookup of the sections: 1 done, 2
// anything else (the general path then runs the call and reports what is
// wrong with it).
inline uint32_t Mask32(uint32_t db, uint32_t call) {
    uint8_t *desc = Z7Mem_Ptr(db, Z7_DESC_TABLE);
    if (desc == nullptr || call < Z7MEM_FIRST || uint64_t(call) + 10 > Z7MEM_SIZE) return 2;
    uint8_t *const arena = desc - db;
    const uint8_t *w = arena + call;
    const uint32_t fn = F::Le16(w), n = F::Le16(w + 2), ops = Mask32Operands(fn);
    if (!IsMask32(fn) || n < ops) return 2;
    const uint8_t *d = desc + Z7SEC_D32 * Z7_DESC_SIZE, *l = desc + Z7SEC_LOCK * Z7_DESC_SIZE;
    const uint32_t base = F::Le32(d + SD_ADDR), count = F::Le16(d + SD_ALLOC);
    const uint32_t r = F::Le16(w + 4), a = F::Le16(w + 6), b = ops == 3 ? F::Le16(w + 8) : 0;
    if (base == 0 || F::Le16(d + SD_ELEM) != 4 || r >= count || a >= count || b >= count ||
        uint64_t(base) + 4u * count > Z7MEM_SIZE)
        return 2;
    const uint32_t va = F::Le32(arena + base + 4 * a), vb = F::Le32(arena + base + 4 * b);
    bool logical = false;
    if (fn == 34) {
        const uint32_t st = F::Le32(desc + Z7SEC_STATUS * Z7_DESC_SIZE + SD_ADDR);
        logical = st != 0 && uint64_t(st) + ST_OPTIONS + 4 <= Z7MEM_SIZE &&
                  (F::Le32(arena + st + ST_OPTIONS) & 0x200) != 0;
    }
    const uint32_t v = Mask32Value(fn, va, vb, logical);
    // the result stays as it is while forced
    const uint32_t lk = F::Le32(l + SD_ADDR);
    if (lk != 0 && r < F::Le16(l + SD_ALLOC)) {
        if (F::Le16(l + SD_ELEM) != 1 || uint64_t(lk) + r >= Z7MEM_SIZE) return 2;
        if (arena[lk + r] & Z7LK_32) return 1;
    }
    F::Put32(arena + base + 4 * r, v);
    return 1;
}

}  // namespace z7stf
