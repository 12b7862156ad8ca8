// ANY-typed arithmetic, mask, shift and limit blocks (the first operand is the
// IEC type code, a literal), bit access in INT arrays, and block moves over
// arrays.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/image/bytes.h"
#include "iec/blocks/blkform.h"
#include "iec/vm/z7str.h"

namespace {
enum : uint16_t {
    TY_BOOL = 1,
    TY_DINT = 2,
    TY_REAL = 3,
    TY_TIME = 4,
    TY_STRING = 5,
    TY_SINT = 10,
    TY_INT = 11,
    TY_LINT = 12,
    TY_LREAL = 13,
    TY_USINT = 14,
    TY_UINT = 15,
    TY_UDINT = 16,
    TY_ULINT = 17,
};
enum Class : uint8_t { C_NONE, C_BOOL, C_INT, C_REAL, C_TIME, C_STRING };

struct TypeInfo {
    Class cls;
    uint8_t bits;
    bool sign;
    uint32_t sec;
};
TypeInfo Info(uint16_t t) {
    switch (t) {
    case TY_BOOL: return {C_BOOL, 8, false, Z7SEC_D8};
    case TY_SINT: return {C_INT, 8, true, Z7SEC_D8};
    case TY_USINT: return {C_INT, 8, false, Z7SEC_D8};
    case TY_INT: return {C_INT, 16, true, Z7SEC_D16};
    case TY_UINT: return {C_INT, 16, false, Z7SEC_D16};
    case TY_DINT: return {C_INT, 32, true, Z7SEC_D32};
    case TY_UDINT: return {C_INT, 32, false, Z7SEC_D32};
    case TY_LINT: return {C_INT, 64, true, Z7SEC_D64};
    case TY_ULINT: return {C_INT, 64, false, Z7SEC_D64};
    case TY_REAL: return {C_REAL, 32, true, Z7SEC_D32};
    case TY_LREAL: return {C_REAL, 64, true, Z7SEC_D64};
    case TY_TIME: return {C_TIME, 32, false, Z7SEC_TIME};
    case TY_STRING: return {C_STRING, 0, false, Z7SEC_STRPTR};
    default: return {C_NONE, 0, false, 0};
    }
}
uint64_t Mask(uint8_t bits) { return bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1; }

// Raw bits of an operand of type ti (zero-extended).
uint64_t Raw(const Z7Ops &o, const TypeInfo &ti, uint32_t k) {
    switch (ti.sec) {
    case Z7SEC_D8: return o.U8(k);
    case Z7SEC_D16: return o.U16(k);
    case Z7SEC_D32: return o.U32(k);
    case Z7SEC_D64: return o.U64(k);
    case Z7SEC_TIME: return o.Time(k);
    default: return 0;
    }
}
void PutRaw(const Z7Ops &o, const TypeInfo &ti, uint32_t k, uint64_t v) {
    switch (ti.sec) {
    case Z7SEC_D8: o.Put8(k, uint8_t(v)); break;
    case Z7SEC_D16: o.Put16(k, uint16_t(v)); break;
    case Z7SEC_D32: o.Put32(k, uint32_t(v)); break;
    case Z7SEC_D64: o.Put64(k, v); break;
    case Z7SEC_TIME: o.PutTime(k, uint32_t(v)); break;
    default: break;
    }
}
// Signed or unsigned value of an integer operand.
int64_t Int(const Z7Ops &o, const TypeInfo &ti, uint32_t k) {
    const uint64_t v = Raw(o, ti, k);
    if (!ti.sign || ti.bits == 64) return int64_t(v);
    const uint64_t top = uint64_t(1) << (ti.bits - 1);
    return int64_t((v ^ top) - top);
}
double Real(const Z7Ops &o, const TypeInfo &ti, uint32_t k) { return ti.bits == 32 ? double(o.R(k)) : o.LR(k); }
void PutReal(const Z7Ops &o, const TypeInfo &ti, uint32_t k, double v) {
    if (ti.bits == 32)
        o.SetR(k, float(v));
    else
        o.SetLR(k, v);
}
void Copy(const Z7Ops &o, const TypeInfo &ti, uint32_t from, uint32_t to) {
    if (ti.cls == C_STRING)
        Z7VMStr_Copy(o.db, o.Lit(to), o.Lit(from));
    else
        PutRaw(o, ti, to, Raw(o, ti, from));
}

// Stateless ANY block: the type code is operand 0; codes outside the list do
// nothing.
template <uint32_t Need, void (*Body)(const Z7Ops &, const TypeInfo &)>
void AnyBody(const Z7Ops &o) {
    const TypeInfo ti = Info(o.Lit(0));
    if (ti.cls != C_NONE) Body(o, ti);
}
template <uint32_t Need, void (*Body)(const Z7Ops &, const TypeInfo &)>
constexpr FbHandler Any = Blk_Plain<Need, AnyBody<Need, Body>>;

void Abs(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls == C_INT) {
        const int64_t v = Int(o, ti, 1);
        const int64_t min = ti.bits == 64 ? std::numeric_limits<int64_t>::min() : -(int64_t(1) << (ti.bits - 1));
        PutRaw(o, ti, 2, uint64_t(ti.sign && v < 0 && v != min ? -v : v));
    } else if (ti.cls == C_REAL)
        PutRaw(o, ti, 2, Raw(o, ti, 1) & (Mask(ti.bits) >> 1));
    else
        Copy(o, ti, 1, 2);
}

void Sel(const Z7Ops &o, const TypeInfo &ti) { Copy(o, ti, o.B(1) ? 3 : 2, 4); }

void Mod(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls == C_INT) {
        if (ti.bits == 8 || !ti.sign) {
            const uint64_t a = Raw(o, ti, 1), b = Raw(o, ti, 2);
            PutRaw(o, ti, 3, b == 0 ? 0 : a % b);
        } else {
            const int64_t a = Int(o, ti, 1), b = Int(o, ti, 2);
            PutRaw(o, ti, 3, uint64_t(b == 0 || b == -1 ? 0 : a % b));
        }
    } else if (ti.cls == C_REAL) {
        const double b = Real(o, ti, 2);
        PutReal(o, ti, 3, b == 0.0 ? 0.0 : std::fmod(Real(o, ti, 1), b));
    } else
        Copy(o, ti, 1, 3);
}

// Exact integer square root (largest r with r * r <= v): a double holds only
// 53 bits, so its root of a 64-bit value can land one above or below.
uint64_t ISqrt(uint64_t v) {
    uint64_t r = 0;
    for (uint64_t bit = uint64_t(1) << 31; bit != 0; bit >>= 1) {
        const uint64_t t = r | bit;
        if (t * t <= v) r = t;
    }
    return r;
}

void Sqrt(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls == C_INT) {
        // unsigned types keep all 64 bits (a ULINT of 2^63 or more is no
        // negative number); a negative signed value gives 0
        if (!ti.sign)
            PutRaw(o, ti, 2, ISqrt(Raw(o, ti, 1)));
        else {
            const int64_t v = Int(o, ti, 1);
            PutRaw(o, ti, 2, v < 0 ? 0 : ISqrt(uint64_t(v)));
        }
    } else if (ti.cls == C_REAL) {
        const double v = Real(o, ti, 1);
        PutReal(o, ti, 2, v < 0 ? 0.0 : ti.bits == 32 ? double(std::sqrt(float(v))) : std::sqrt(v));
    } else
        Copy(o, ti, 1, 2);
}

template <bool Left>
void Shift(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls != C_INT) return Copy(o, ti, 1, 3);
    const uint32_t n = uint32_t(Raw(o, ti, 2) & 0xFF);
    const uint64_t v = Raw(o, ti, 1);
    const uint32_t limit = ti.bits == 64 ? 64 : 32;
    PutRaw(o, ti, 3, n >= limit ? 0 : (Left ? v << n : v >> n) & Mask(ti.bits));
}

template <bool Left>
void Rotate(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls != C_INT) return Copy(o, ti, 1, 3);
    const uint32_t n = uint32_t(Raw(o, ti, 2) % ti.bits);
    const uint64_t v = Raw(o, ti, 1), m = Mask(ti.bits);
    const uint32_t l = Left ? n : (ti.bits - n) % ti.bits;
    PutRaw(o, ti, 3, l == 0 ? v : ((v << l) | (v >> (ti.bits - l))) & m);
}

void NotMask(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls == C_INT)
        PutRaw(o, ti, 2, ~Raw(o, ti, 1) & Mask(ti.bits));
    else if (ti.cls == C_BOOL)
        o.SetB(2, o.B(1) == 0);
    else
        Copy(o, ti, 1, 2);
}

enum Op : uint8_t { OP_AND, OP_OR, OP_XOR };
template <Op P>
void Logic(const Z7Ops &o, const TypeInfo &ti) {
    if (ti.cls != C_INT && ti.cls != C_BOOL) return Copy(o, ti, 1, 3);
    const uint64_t a = Raw(o, ti, 1), b = Raw(o, ti, 2);
    const uint64_t r = P == OP_AND ? a & b : P == OP_OR ? a | b : a ^ b;
    if (ti.cls == C_BOOL)
        o.SetB(3, r != 0);
    else
        PutRaw(o, ti, 3, r);
}

template <typename T>
bool InBand(T mn, T in, T mx, T one) {
    if (mn <= mx) return mn - one < in && in < mx + one;
    return in >= mn + one || in <= mx - one;
}
void Lim(const Z7Ops &o, const TypeInfo &ti) {
    bool q;
    if (ti.cls == C_REAL)
        q = InBand(Real(o, ti, 1), Real(o, ti, 2), Real(o, ti, 3), 1.0);
    else if (ti.cls == C_STRING) {
        auto first = [&](uint32_t k) { return int64_t(Z7Mem_Get8(Z7VMStr_GetText(o.db, o.Lit(k)))); };
        q = InBand(first(1), first(2), first(3), int64_t(1));
    } else if (ti.bits == 64 && !ti.sign) {
        const uint64_t mn = Raw(o, ti, 1), in = Raw(o, ti, 2), mx = Raw(o, ti, 3);
        q = mn <= mx ? (mn <= in && in <= mx) : (in > mn || in < mx);
    } else if (ti.bits == 64) {
        const int64_t mn = Int(o, ti, 1), in = Int(o, ti, 2), mx = Int(o, ti, 3);
        q = mn <= mx ? (mn <= in && in <= mx) : (in > mn || in < mx);
    } else
        q = InBand(Int(o, ti, 1), Int(o, ti, 2), Int(o, ti, 3), int64_t(1));
    o.SetB(4, q);
}

// Bit blocks: INT array, dimension, size in bytes (both literal), bit number
// from 1, OUT.
enum BitOp : uint8_t { BIT_TEST, BIT_SET, BIT_CLEAR };
template <BitOp P>
void Bit(const Z7Ops &o) {
    const uint32_t dim = o.Lit(1), size = o.Lit(2);
    const int32_t bit = o.I(3);
    if (size == 0 || bit <= 0 || uint32_t(bit) > size * 8u || uint32_t(bit - 1) / 16 >= dim) {
        o.SetB(4, false);
        return;
    }
    const uint32_t w = uint32_t(bit - 1) / 16, mask = 1u << (uint32_t(bit - 1) % 16);
    // words 0..w of the array, found as every array operand is
    uint8_t *a = Blk_Array(o, 0, TY_INT, w + 1);
    if (a == nullptr) {
        o.SetB(4, false);
        return;
    }
    const uint16_t v = LE_Get16(a + 2 * w);
    if (P == BIT_TEST) return o.SetB(4, (v & mask) != 0);
    LE_Put16(a + 2 * w, uint16_t(P == BIT_SET ? v | mask : v & ~mask));
    o.SetB(4, true);
}

// Element width in bytes of the array blocks' integer element types.
uint32_t IntWidth(uint16_t t, bool with64) {
    switch (t) {
    case TY_BOOL:
    case TY_SINT:
    case TY_USINT: return 1;
    case TY_INT:
    case TY_UINT: return 2;
    case TY_DINT:
    case TY_UDINT: return 4;
    case TY_LINT:
    case TY_ULINT: return with64 ? 8 : 0;
    default: return 0;
    }
}

// Array operands of the blocks below are found as every array operand is
// (in the complex-type segment when the application has one), the elements
// used lying whole inside it.

// MVB: type, source, dimension, destination, dimension, count (INT).
void Mvb(const Z7Ops &o) {
    const uint32_t w = IntWidth(o.Lit(0), true);
    const int32_t count = o.I(5);
    if (w == 0 || count <= 0) return;
    const uint32_t n = std::min<uint32_t>({uint32_t(count), o.Lit(2), o.Lit(4)});
    uint8_t *src = Blk_Array(o, 1, o.Lit(0), n), *dst = Blk_Array(o, 3, o.Lit(0), n);
    if (src != nullptr && dst != nullptr) std::memmove(dst, src, size_t(n) * w);
}

// FILL: type, value (INT), array, dimension, count (INT): the value in every
// 16-bit half of the first count elements.
void Fill(const Z7Ops &o) {
    const uint16_t t = o.Lit(0);
    const uint32_t w = t == TY_INT || t == TY_UINT     ? 2
                       : t == TY_DINT || t == TY_UDINT ? 4
                       : t == TY_LINT || t == TY_ULINT ? 8
                                                       : 0;
    const int32_t count = o.I(4);
    if (w == 0 || count <= 0) return;
    const uint32_t n = std::min<uint32_t>(uint32_t(count), o.Lit(3));
    uint8_t *p = Blk_Array(o, 2, t, n);
    if (p == nullptr) return;
    const uint16_t v = o.U16(1);
    for (uint32_t k = 0; k < n * w / 2; k++) LE_Put16(p + 2 * k, v);
}

// MULTISHIFT: type, count (INT), array, dimension, length (DINT), direction,
// fill, shifted-out value. A count above the length, or a length above the
// dimension, moves nothing.
void MultiShift(const Z7Ops &o) {
    const uint32_t w = IntWidth(o.Lit(0), false);
    const int32_t cnt = o.I(1), len = o.D(4);
    if (w == 0 || cnt <= 0 || len <= 0 || cnt > len || uint32_t(len) > o.Lit(3)) return;
    const uint32_t n = uint32_t(cnt), l = uint32_t(len);
    uint8_t *p = Blk_Array(o, 2, o.Lit(0), l);
    if (p == nullptr) return;
    const uint64_t fill = w == 1 ? o.U8(6) : w == 2 ? o.U16(6) : o.U32(6);
    const bool up = o.B(5) != 0;
    const uint32_t out_i = up ? l - n : n - 1;
    uint64_t out = 0;
    std::memcpy(&out, p + size_t(out_i) * w, w);
    if (up)
        std::memmove(p + size_t(n) * w, p, size_t(l - n) * w);
    else
        std::memmove(p, p + size_t(n) * w, size_t(l - n) * w);
    uint8_t *f = up ? p : p + size_t(l - n) * w;
    for (uint32_t k = 0; k < n; k++) std::memcpy(f + size_t(k) * w, &fill, w);
    if (w == 1)
        o.Put8(7, uint8_t(out));
    else if (w == 2)
        o.Put16(7, uint16_t(out));
    else
        o.Put32(7, uint32_t(out));
}

// MULTIROT: type, count (INT), array, dimension, length (DINT), direction.
void MultiRot(const Z7Ops &o) {
    const uint32_t w = IntWidth(o.Lit(0), true);
    const int32_t cnt = o.I(1), len = o.D(4);
    if (w == 0 || cnt <= 0 || len <= 0 || cnt > len || uint32_t(len) > o.Lit(3)) return;
    const uint32_t l = uint32_t(len), n = uint32_t(cnt) % l;
    uint8_t *p = Blk_Array(o, 2, o.Lit(0), l);
    if (p == nullptr || n == 0) return;
    const uint32_t mid = o.B(5) ? l - n : n;
    std::rotate(p, p + size_t(mid) * w, p + size_t(l) * w);
}

constexpr BlkRow kRows[] = {
    {"LIM", Any<5, Lim>},
    {"ABS", Any<3, Abs>},
    {"SHL", Any<4, Shift<true>>},
    {"SHR", Any<4, Shift<false>>},
    {"ROL", Any<4, Rotate<true>>},
    {"ROR", Any<4, Rotate<false>>},
    {"NOT_MASK", Any<3, NotMask>},
    {"AND_MASK", Any<4, Logic<OP_AND>>},
    {"OR_MASK", Any<4, Logic<OP_OR>>},
    {"XOR_MASK", Any<4, Logic<OP_XOR>>},
    {"SEL", Any<5, Sel>},
    {"MOD", Any<4, Mod>},
    {"SQRT", Any<3, Sqrt>},
    {"BITTEST", Blk_Plain<5, Bit<BIT_TEST>>},
    {"BITSET", Blk_Plain<5, Bit<BIT_SET>>},
    {"BITCLEAR", Blk_Plain<5, Bit<BIT_CLEAR>>},
    {"MVB", Blk_Plain<6, Mvb>},
    {"FILL", Blk_Plain<5, Fill>},
    {"MULTISHIFT", Blk_Plain<8, MultiShift>},
    {"MULTIROT", Blk_Plain<6, MultiRot>},
};
}  // namespace

const BlkFamily BlkAny_Family{kRows, sizeof kRows / sizeof kRows[0]};
