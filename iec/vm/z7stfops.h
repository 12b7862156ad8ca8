// Signatures and bit helpers shared by the standard-function modules. Their
// operands are read through Z7Ops: operand 0 is the result, written only
// when its lock bit is clear; a slot's signature names the section of every
// operand so that none is used outside its section.
#pragma once

#include <cstdint>
#include <cstring>

#include "iec/vm/z7ops.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace z7stf {

// Operand kinds of a slot: 8 16 32 64-bit, t TIME, s STRING, l literal,
// a an ANY value typed by the literal operand 1.
struct Sig {
    uint8_t n;
    const char *kinds;
};
inline uint32_t SectionOfType(uint32_t type) {
    switch (type) {
    case 1:
    case 10:
    case 14: return Z7SEC_D8;
    case 11:
    case 15: return Z7SEC_D16;
    case 2:
    case 3:
    case 16: return Z7SEC_D32;
    case 12:
    case 13:
    case 17: return Z7SEC_D64;
    case 4: return Z7SEC_TIME;
    case 5: return Z7SEC_STRPTR;
    default: return Z7SEC_COUNT;
    }
}
// Every operand of the signature names an element its section declares.
inline bool Valid(const Z7Ops &o, const Sig &s) {
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
            sec = SectionOfType(o.Lit(1));
            if (sec == Z7SEC_COUNT) continue;  // the handler refuses the type
            break;
        default: sec = Z7SEC_D32; break;
        }
        if (o.Lit(k) >= o.Count(sec)) return false;
    }
    return true;
}

// Counts taken modulo the width; Shr copies the top bit in unless logical.
template <typename T>
T Rol(T v, uint32_t n) {
    constexpr uint32_t w = sizeof(T) * 8;
    n &= w - 1;
    return n ? T((v << n) | (v >> (w - n))) : v;
}
template <typename T>
T Ror(T v, uint32_t n) {
    constexpr uint32_t w = sizeof(T) * 8;
    n &= w - 1;
    return n ? T((v >> n) | (v << (w - n))) : v;
}
template <typename T>
T Shl(T v, uint32_t n) {
    return T(v << (n & (sizeof(T) * 8 - 1)));
}
template <typename T>
T Shr(T v, uint32_t n, bool logical) {
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
    case 20:
    case 27:
    case 28:
    case 30:
    case 31:
    case 33:
    case 34:
    case 35: return true;
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

// The text of the STRING operand k as a host string in out, cut to size - 1
// characters and ended by a zero; its length.
inline uint32_t Text(const Z7Ops &o, uint32_t k, char *out, uint32_t size) {
    const uint32_t len = Z7VMStr_GetLength(o.db, o.Lit(k));
    const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(k)), len);
    const uint32_t n = t ? (len < size ? len : size - 1) : 0;
    if (n) std::memcpy(out, t, n);
    out[n] = 0;
    return n;
}

// Operand list of a call at ops (its count the word before) in o, when the
// database's descriptor table lies in the arena.
inline bool Open(uint32_t db, uint32_t ops, Z7Ops &o) { return Z7Ops_Open(db, ops, 0, o) && o.desc != nullptr; }

// A handler's body runs only on a call whose operand list opens and holds the
// signature's operands, each inside its section; otherwise the call answers 0
// and the VM stops with log 17.
template <typename Body>
inline uint32_t Call(uint32_t db, uint32_t ops, const Sig &s, Body &&body) {
    Z7Ops o;
    if (!Open(db, ops, o) || o.n < s.n || !Valid(o, s)) return 0;
    return body(static_cast<const Z7Ops &>(o));
}

// A mask call {fn, n, operands} with one lookup of the sections: 1 done, 2
// anything else (the general path then runs the call and reports what is
// wrong with it). The sections are taken as Z7Ops takes them: whole in the
// arena, above its first block.
inline uint32_t Mask32(uint32_t db, uint32_t call) {
    uint8_t *desc = Z7Mem_Ptr(db, Z7_DESC_TABLE);
    if (desc == nullptr || call < Z7MEM_FIRST || uint64_t(call) + 10 > Z7MEM_SIZE) return 2;
    uint8_t *const arena = desc - db;
    const uint8_t *w = arena + call;
    const uint32_t fn = LE_Get16(w), n = LE_Get16(w + 2), ops = Mask32Operands(fn);
    if (!IsMask32(fn) || n < ops) return 2;
    const uint8_t *d = desc + Z7SEC_D32 * Z7_DESC_SIZE, *l = desc + Z7SEC_LOCK * Z7_DESC_SIZE;
    const uint32_t base = LE_Get32(d + SD_ADDR), count = LE_Get16(d + SD_ALLOC);
    const uint32_t r = LE_Get16(w + 4), a = LE_Get16(w + 6), b = ops == 3 ? LE_Get16(w + 8) : 0;
    if (base < Z7MEM_FIRST || LE_Get16(d + SD_ELEM) != 4 || r >= count || a >= count || b >= count ||
        uint64_t(base) + 4u * count > Z7MEM_SIZE)
        return 2;
    const uint32_t va = LE_Get32(arena + base + 4 * a), vb = LE_Get32(arena + base + 4 * b);
    bool logical = false;
    if (fn == 34) {
        const uint32_t st = LE_Get32(desc + Z7SEC_STATUS * Z7_DESC_SIZE + SD_ADDR);
        const uint8_t *opt = st != 0 ? Z7Mem_Ptr(st + ST_OPTIONS, 4) : nullptr;
        logical = opt != nullptr && (LE_Get32(opt) & 0x200) != 0;
    }
    const uint32_t v = Mask32Value(fn, va, vb, logical);
    // the result stays as it is while forced
    const uint32_t lk = LE_Get32(l + SD_ADDR), locks = LE_Get16(l + SD_ALLOC);
    if (lk != 0 && r < locks) {
        if (LE_Get16(l + SD_ELEM) != 1 || lk < Z7MEM_FIRST || uint64_t(lk) + locks > Z7MEM_SIZE) return 2;
        if (arena[lk + r] & Z7LK_32) return 1;
    }
    LE_Put32(arena + base + 4 * r, v);
    return 1;
}

}  // namespace z7stf
