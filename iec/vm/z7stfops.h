// Operand access shared by the standard-function modules: operand 0 is the
// result, written only when its lock bit is clear; a slot's signature names
// the section of every operand so that none is used outside its section.
#pragma once

#include <cstdint>

#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace z7stf {
enum : uint8_t { LK8 = 0x01, LK16 = 0x02, LK32 = 0x04, LK64 = 0x08, LKT = 0x10, LKS = 0x20 };

struct F {
    uint32_t db, ops, n;
    uint16_t Op(uint32_t k) const { return Z7Mem_Get16(ops + 2 * k); }
    bool Locked(uint32_t k, uint8_t bit) const {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, Op(k));
        return a != 0 && (Z7Mem_Get8(a) & bit);
    }
    uint8_t G8(uint32_t k) const { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, Op(k))); }
    uint16_t G16(uint32_t k) const { return Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_D16, Op(k))); }
    uint32_t G32(uint32_t k) const { return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, Op(k))); }
    int32_t D(uint32_t k) const { return int32_t(G32(k)); }
    uint64_t G64(uint32_t k) const {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_D64, Op(k));
        return a ? uint64_t(Z7Mem_Get32(a + 4)) << 32 | Z7Mem_Get32(a) : 0;
    }
    void P8(uint8_t v) const { if (!Locked(0, LK8)) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, Op(0)), v); }
    void P16(uint16_t v) const { if (!Locked(0, LK16)) Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, Op(0)), v); }
    void P32(uint32_t v) const { if (!Locked(0, LK32)) Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, Op(0)), v); }
    void P64(uint64_t v) const {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_D64, Op(0));
        if (a == 0 || Locked(0, LK64)) return;
        Z7Mem_Put32(a, uint32_t(v));
        Z7Mem_Put32(a + 4, uint32_t(v >> 32));
    }
    void PStr(const char *text) const {
        if (!Locked(0, LKS)) Z7VMStr_AscForceC(db, Op(0), text);
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
        if (f.Op(k) >= Z7Sec_Get(f.db, sec, SD_ALLOC)) return false;
    }
    return true;
}

}  // namespace z7stf
