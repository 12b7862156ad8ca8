// Value stack: loads and stores, conversions, moves and fills, bit-wise,
// shift and integer arithmetic instructions, checked 32-bit helpers and the
// integer square roots.
#include <cmath>

#include "ladder/ladint.h"

uint32_t LH_AddInt32(int32_t *r, int32_t a, int32_t b) {
    const int32_t s = int32_t(uint32_t(a) + uint32_t(b));
    *r = s;
    return ((s ^ a) & (s ^ b)) < 0 ? 1 : 0;
}
uint32_t LH_AddUInt32(uint32_t *r, uint32_t a, uint32_t b) {
    *r = a + b;
    return *r < a ? 1 : 0;
}
uint32_t LH_SubInt32(int32_t *r, int32_t a, int32_t b) {
    const int32_t d = int32_t(uint32_t(a) - uint32_t(b));
    *r = d;
    return ((a ^ b) & (a ^ d)) < 0 ? 1 : 0;
}
uint32_t LH_SubUInt32(uint32_t *r, uint32_t a, uint32_t b) {
    *r = a - b;
    return a < b ? 1 : 0;
}
// Overflow when the whole product does not fit in 32 bits. (A check on the
// wrapped product, "p / a differs from b, for a = -1 the negated product
// differs from b", misses (-1) x (-2147483648): that product wraps to itself.)
uint32_t LH_MulInt32(int32_t *r, int32_t a, int32_t b) {
    const int64_t p = int64_t(a) * int64_t(b);
    *r = int32_t(uint32_t(uint64_t(p)));
    return p < INT32_MIN || p > INT32_MAX ? 1 : 0;
}
uint32_t LH_MulUInt32(uint32_t *r, uint32_t a, uint32_t b) {
    const uint64_t p = uint64_t(a) * b;
    *r = uint32_t(p);
    return (p >> 32) ? 1 : 0;
}

uint32_t isqrt(uint32_t x) {
    x &= 0xFFFF;
    uint32_t r = 0;
    for (uint32_t bit = 128; bit; bit >>= 1)
        if ((r | bit) * (r | bit) <= x) r |= bit;
    return r;
}
uint32_t lsqrt(uint32_t x) {
    uint32_t r = 0;
    for (uint32_t bit = 32768; bit; bit >>= 1)
        if ((r | bit) * (r | bit) <= x) r |= bit;
    return r;
}

namespace {

constexpr uint32_t R_WORD0 = 1983;  // %R n is word 1983 + n
constexpr uint32_t R_LAST = 50240;

// ---- loads and stores ------------------------------------------------------------------
template <bool S>
int Op_Load32As16() {  // 75
    if (!LadWRoom(1)) return LAD_FAULT;
    const uint32_t r = LadWordOp<S>(lad.cur, 2);
    const int32_t v = r == LAD_NOREF ? 0 : int32_t(LadGet32(r));
    if (r == LAD_NOREF || v < -32768 || v > 32767) {
        LadWPush(0);
        LadPowerClear();
    } else {
        LadWPush(uint16_t(v));
    }
    return LAD_GO;
}
template <bool S>
int Op_LoadFloatAs32() {  // 76
    if (!LadWRoom(2)) return LAD_FAULT;
    const uint32_t r = LadWordOp<S>(lad.cur, 2);
    if (r == LAD_NOREF) {
        LadWPush32(0);
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t bits = LadGet32(r);
    const double f = LadF(bits);
    if (LadBadFloat(bits) || f > 2147483647.0 || f < -2147483648.0) {
        LadWPush32(0);
        LadPowerClear();
    } else {
        LadWPush32(uint32_t(int32_t(f)));
    }
    return LAD_GO;
}
template <bool S>
int Op_LoadFloatAs16() {  // 77
    if (!LadWRoom(1)) return LAD_FAULT;
    const uint32_t r = LadWordOp<S>(lad.cur, 2);
    if (r == LAD_NOREF) {
        LadWPush(0);
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t bits = LadGet32(r);
    const double f = LadF(bits);
    if (LadBadFloat(bits)) {
        LadWPush(0);
        LadPowerClear();
        return LAD_GO;
    }
    const double t = std::trunc(f);
    LadWPush((t >= -32768.0 && t <= 32767.0) ? uint16_t(int32_t(t)) : 0);
    if (f > 32767.0 || f < -32768.0) LadPowerClear();
    return LAD_GO;
}
template <bool S, int OP>
int Op_Load() {  // 78, 79, 80, 83, 87
    constexpr uint32_t push = (OP == LOP_LOAD16) ? 1 : 2;
    constexpr uint32_t width = (OP == LOP_LOAD32_AS_REAL || OP == LOP_LOAD32) ? 2 : 1;
    if (!LadWRoom(push)) return LAD_FAULT;
    const uint32_t r = LadWordOp<S>(lad.cur, width);
    if (r == LAD_NOREF) {
        if (push == 1)
            LadWPush(0);
        else
            LadWPush32(0);
        LadPowerClear();
        return LAD_GO;
    }
    switch (OP) {
    case LOP_LOAD32_AS_REAL: LadWPush32(LadBits(float(int32_t(LadGet32(r))))); break;
    case LOP_LOAD16_AS_REAL: LadWPush32(LadBits(float(int16_t(LadGet16(r))))); break;
    case LOP_LOAD16: LadWPush(LadGet16(r)); break;
    case LOP_LOAD32: LadWPush32(LadGet32(r)); break;
    case LOP_LOAD16_AS32: LadWPush32(uint32_t(int32_t(int16_t(LadGet16(r))))); break;
    default: break;
    }
    return LAD_GO;
}
int Op_Const16() {  // 81
    if (!LadWRoom(1)) return LAD_FAULT;
    LadWPush(LadWord(lad.cur));
    return LAD_GO;
}
int Op_Const32() {  // 84
    if (!LadWRoom(2)) return LAD_FAULT;
    LadWPush32(LadDword(lad.cur));
    return LAD_GO;
}
int Op_Const16As32() {  // 86
    if (!LadWRoom(2)) return LAD_FAULT;
    LadWPush32(uint32_t(int32_t(int16_t(LadWord(lad.cur)))));
    return LAD_GO;
}
template <bool S>
int Op_Store16() {  // 82
    if (!LadWHas(1)) return LAD_FAULT;
    const uint16_t v = LadWPop();
    const uint32_t r = LadWordOp<S>(lad.cur, 1);
    if (r == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet16(r, v);
    return LAD_GO;
}
template <bool S>
int Op_Store32() {  // 85
    if (!LadWHas(2)) return LAD_FAULT;
    const uint32_t v = LadWPop32();
    const uint32_t r = LadWordOp<S>(lad.cur, 2);
    if (r == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet32(r, v);
    return LAD_GO;
}

// ---- direct moves and fills ---------------------------------------------------------------
template <bool S>
int Op_Move16() {  // 90
    const uint32_t d = LadWordOp<S>(lad.cur, 1);
    const uint32_t s = LadWordOp<S>(lad.cur, 1);
    if (d == LAD_NOREF || s == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet16(d, LadGet16(s));
    return LAD_GO;
}
template <bool S>
int Op_MoveK16() {  // 92
    const uint32_t d = LadWordOp<S>(lad.cur, 1);
    const uint16_t k = LadWord(lad.cur);
    if (d == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet16(d, k);
    return LAD_GO;
}
template <bool S>
int Op_Move32() {  // 95
    const uint32_t d = LadWordOp<S>(lad.cur, 2);
    const uint32_t s = LadWordOp<S>(lad.cur, 2);
    if (d == LAD_NOREF || s == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet32(d, LadGet32(s));
    return LAD_GO;
}
template <bool S>
int Op_MoveK32() {  // 96
    const uint32_t d = LadWordOp<S>(lad.cur, 2);
    const uint32_t k = LadDword(lad.cur);
    if (d == LAD_NOREF || LadCut())
        LadPowerClear();
    else
        LadSet32(d, k);
    return LAD_GO;
}
template <bool S>
int Op_Fill() {  // 93
    const uint32_t d = LadWordIdx<S>(lad.cur);
    const uint32_t s = LadWordOp<S>(lad.cur, 1);
    const uint32_t n = LadWord(lad.cur);
    if (s == LAD_NOREF || !LadWordsFit(d, n) || LadCut()) {
        LadPowerClear();
        return LAD_GO;
    }
    LadCharge(n);
    const uint16_t v = LadGet16(s);
    for (uint32_t i = 0; i < n; i++) LadSet16(d + i, v);
    return LAD_GO;
}
template <bool S>
int Op_FillK() {  // 94
    const uint32_t d = LadWordIdx<S>(lad.cur);
    const uint16_t v = LadWord(lad.cur);
    const uint32_t n = LadWord(lad.cur);
    if (!LadWordsFit(d, n) || LadCut()) {
        LadPowerClear();
        return LAD_GO;
    }
    LadCharge(n);
    for (uint32_t i = 0; i < n; i++) LadSet16(d + i, v);
    return LAD_GO;
}

// Ascending copies (an overlapping move repeats its first elements, as a
// word-by-word move does).
void CopyWords(uint32_t d, uint32_t s, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) LadSet16(d + i, LadGet16(s + i));
}
void CopyBytes(uint32_t d, uint32_t s, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) plc_reg[d + i] = plc_reg[s + i];
}

// True when the next two words are 0: the instruction carries a header.
bool HasHeader() {
    const LadCursor &c = lad.cur;
    if (c.pos + 2 > c.end) return false;
    return LE_Get16(c.code + 2 * std::size_t(c.pos)) == 0 && LE_Get16(c.code + 2 * std::size_t(c.pos) + 2) == 0;
}

// Copies n elements (bytes when bytes, else words) after checking both ends.
void Copy(bool bytes, uint32_t d, uint32_t s, uint64_t n) {
    const bool ok = bytes ? (LadBytesFit(d, n) && LadBytesFit(s, n)) : (LadWordsFit(d, n) && LadWordsFit(s, n));
    if (LadCut()) return;
    if (!ok) {
        LadPowerClear();
        return;
    }
    LadCharge(n);
    if (bytes)
        CopyBytes(d, s, uint32_t(n));
    else
        CopyWords(d, s, uint32_t(n));
}

template <bool S>
int Op_BlockMove() {  // 91
    if (HasHeader()) {
        lad.cur.pos += 2;
        const uint16_t kind = LadWord(lad.cur);
        LadWord(lad.cur);  // flags: not used by this instruction
        if (kind == 1) {
            const uint32_t d = LadByteIdx<S>(lad.cur);
            const uint32_t s = LadByteIdx<S>(lad.cur);
            const uint32_t n = LadWord(lad.cur);
            Copy(true, d, s, n);
        } else if (kind >= 2 && kind <= 4) {
            const uint32_t d = LadWordIdx<S>(lad.cur);
            const uint32_t s = LadWordIdx<S>(lad.cur);
            const uint32_t n = LadWord(lad.cur);
            Copy(false, d, s, n);
        }
        return LAD_GO;
    }
    const uint32_t d = LadWordIdx<S>(lad.cur);
    const uint32_t s = LadWordIdx<S>(lad.cur);
    const uint32_t n = LadWord(lad.cur);
    Copy(false, d, s, n);
    return LAD_GO;
}

// Word index of %R p for a block of words %R p .. %R (p + span - 1), or
// LAD_NOREF when p is 0 or the block ends above the last %R (an empty block
// from p ends at p - 1, so it is refused only from p = 50242 on).
uint32_t RBlock(uint32_t p, uint64_t span) {
    if (p == 0 || uint64_t(p) + span - 1 > R_LAST) return LAD_NOREF;
    return R_WORD0 + p;
}

// Element step of a header kind in units of the element (bytes for kind 1,
// words otherwise).
uint32_t KindStep(uint32_t kind) {
    switch (kind) {
    case 1: return 1;
    case 2:
    case 3: return 2;
    case 4: return 4;
    default: return 1;
    }
}
// Span in %R words that the pointer form checks for n elements of a kind.
// An odd count of bytes is rounded up to whole words: n / 2 words would let
// the last byte lie past %R50240, and the pointer forms reach %R only.
uint64_t KindPtrSpan(uint32_t kind, uint32_t n) {
    switch (kind) {
    case 1: return (uint64_t(n) + 1) / 2;
    case 2:
    case 3: return 2 * uint64_t(n);
    default: return n;
    }
}
// Base index plus x steps, LAD_NOREF when the base is.
uint32_t Indexed(uint32_t base, uint32_t x, uint32_t kind) {
    if (base == LAD_NOREF) return LAD_NOREF;
    const uint64_t v = uint64_t(base) + uint64_t(x) * KindStep(kind);
    return v >= LAD_NOREF ? LAD_NOREF : uint32_t(v);
}

// Operand of an element side: a byte operand for kind 1, a word operand else.
template <bool S>
uint32_t ElemOp(uint32_t kind) {
    return kind == 1 ? LadByteIdx<S>(lad.cur) : LadWordIdx<S>(lad.cur);
}
// Pointer value of P as an element index of %R (byte index for kind 1).
uint32_t PtrElem(uint32_t p, uint32_t kind, uint32_t n) {
    const uint32_t w = RBlock(p, KindPtrSpan(kind, n));
    if (w == LAD_NOREF) return LAD_NOREF;
    return kind == 1 ? 2 * w : w;
}

// 97, 98, 99: pointer-addressed moves.
template <bool S, int OP>
int Op_Indirect() {
    if (HasHeader()) {
        lad.cur.pos += 2;
        const uint32_t kind = LadWord(lad.cur);
        const uint32_t flags = LadWord(lad.cur);
        if (kind < 1 || kind > 5) {
            LadPowerClear();
            return LAD_GO;
        }
        const bool bytes = kind == 1;
        bool indexed, pointer;
        switch (OP) {
        case LOP_IND_READ:
            indexed = kind == 5 || (flags & 4);
            pointer = (flags & 1) != 0;
            break;
        case LOP_IND_WRITE:
            indexed = kind == 5 || (flags & 8);
            pointer = (flags & 2) != 0;
            break;
        default:
            indexed = kind == 5 || (flags & 0xC) == 0xC;
            pointer = (flags & 3) == 3;
            break;
        }
        if (indexed) {
            const uint32_t d = ElemOp<S>(kind);
            const uint32_t s = ElemOp<S>(kind);
            const uint32_t n = LadWord(lad.cur);
            const uint32_t xr = LadWordOp<S>(lad.cur, 1);
            uint32_t yr = 0;
            if (OP == LOP_IND_COPY) yr = LadWordOp<S>(lad.cur, 1);
            if (xr == LAD_NOREF || yr == LAD_NOREF) {
                LadPowerClear();
                return LAD_GO;
            }
            const uint32_t x = LadGet16(xr);
            const uint32_t y = OP == LOP_IND_COPY ? LadGet16(yr) : 0;
            uint32_t dd = d, ss = s;
            if (OP == LOP_IND_READ) ss = Indexed(s, x, kind);
            if (OP == LOP_IND_WRITE) dd = Indexed(d, x, kind);
            if (OP == LOP_IND_COPY) {
                ss = Indexed(s, x, kind);
                dd = Indexed(d, y, kind);
            }
            Copy(bytes, dd, ss, n);
            return LAD_GO;
        }
        if (pointer) {
            const uint32_t a = OP == LOP_IND_READ    ? ElemOp<S>(kind)
                               : OP == LOP_IND_WRITE ? ElemOp<S>(kind)
                                                     : LadWordOp<S>(lad.cur, 1);
            const uint32_t pr = LadWordOp<S>(lad.cur, 1);
            const uint32_t n = LadWord(lad.cur);
            if (pr == LAD_NOREF || a == LAD_NOREF) {
                LadPowerClear();
                return LAD_GO;
            }
            const uint32_t p = PtrElem(LadGet16(pr), kind, n);
            if (p == LAD_NOREF) {
                LadPowerClear();
                return LAD_GO;
            }
            if (OP == LOP_IND_READ) Copy(bytes, a, p, n);
            if (OP == LOP_IND_WRITE) Copy(bytes, p, a, n);
            if (OP == LOP_IND_COPY) {
                const uint32_t q = PtrElem(LadGet16(a), kind, n);
                if (q == LAD_NOREF)
                    LadPowerClear();
                else
                    Copy(bytes, q, p, n);
            }
            return LAD_GO;
        }
        // Neither form selected: the operands are passed over, nothing moves.
        LadWordIdx<S>(lad.cur);
        LadWordIdx<S>(lad.cur);
        LadWord(lad.cur);
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t a = LadWordIdx<S>(lad.cur);
    const uint32_t pr = LadWordOp<S>(lad.cur, 1);
    const uint32_t n = LadWord(lad.cur);
    if (pr == LAD_NOREF || a == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t p = RBlock(LadGet16(pr), n);
    if (p == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    if (OP == LOP_IND_READ) Copy(false, a, p, n);
    if (OP == LOP_IND_WRITE) Copy(false, p, a, n);
    if (OP == LOP_IND_COPY) {
        if (!LadWordsFit(a, 1)) {
            LadPowerClear();
            return LAD_GO;
        }
        const uint32_t q = RBlock(LadGet16(a), n);
        if (q == LAD_NOREF)
            LadPowerClear();
        else
            Copy(false, q, p, n);
    }
    return LAD_GO;
}

// ---- bit-wise, shift and rotate ----------------------------------------------------------
template <int OP>
int Op_Logic16() {  // 100..103, 110..113
    if (OP == LOP_NOT16) {
        if (!LadWHas(1)) return LAD_FAULT;
        w_stack[lad.wsp - 1] = uint16_t(~w_stack[lad.wsp - 1]);
        return LAD_GO;
    }
    if (!LadWHas(2)) return LAD_FAULT;
    const uint16_t b = LadWPop();
    uint16_t &a = w_stack[lad.wsp - 1];
    const uint32_t c8 = b & 0xFF, c4 = b & 15;
    switch (OP) {
    case LOP_AND16: a &= b; break;
    case LOP_OR16: a |= b; break;
    case LOP_XOR16: a ^= b; break;
    case LOP_SHL16: a = c8 >= 16 ? 0 : uint16_t(a << c8); break;
    case LOP_SHR16: a = c8 >= 16 ? 0 : uint16_t(a >> c8); break;
    case LOP_ROL16: a = uint16_t((a << c4) | (a >> ((16 - c4) & 15))); break;
    case LOP_ROR16: a = uint16_t((a >> c4) | (a << ((16 - c4) & 15))); break;
    default: break;
    }
    return LAD_GO;
}
template <int OP>
int Op_Logic32() {  // 104..107, 114..117
    if (OP == LOP_NOT32) {
        if (!LadWHas(2)) return LAD_FAULT;
        const uint32_t a = LadWPop32();
        LadWPush32(~a);
        return LAD_GO;
    }
    if (!LadWHas(4)) return LAD_FAULT;
    const uint32_t b = LadWPop32();
    uint32_t a = LadWPop32();
    const uint32_t c8 = b & 0xFF, c5 = b & 31;
    switch (OP) {
    case LOP_AND32: a &= b; break;
    case LOP_OR32: a |= b; break;
    case LOP_XOR32: a ^= b; break;
    case LOP_SHL32: a = c8 >= 32 ? 0 : a << c8; break;
    case LOP_SHR32: a = c8 >= 32 ? 0 : a >> c8; break;
    case LOP_ROL32: a = (a << c5) | (a >> ((32 - c5) & 31)); break;
    case LOP_ROR32: a = (a >> c5) | (a << ((32 - c5) & 31)); break;
    default: break;
    }
    LadWPush32(a);
    return LAD_GO;
}

// 108, 109: angle conversion of the float on top.
template <int OP>
int Op_Angle() {
    if (!LadWHas(2)) return LAD_FAULT;
    const uint32_t bits = LadWPop32();
    if (LadBadFloat(bits)) LadPowerClear();
    const double f = LadF(bits);
    constexpr double kTwoPi = 6.28318530717958647692;
    const double r = OP == LOP_DEG_TO_RAD ? f * kTwoPi / 360.0 : f * 360.0 / kTwoPi;
    LadWPush32(LadBits(float(r)));
    return LAD_GO;
}

// ---- arithmetic ---------------------------------------------------------------------------
template <int OP>
int Op_Arith16() {  // 120..123
    if (!LadWHas(2)) return LAD_FAULT;
    const int32_t b = int16_t(LadWPop());
    uint16_t &top = w_stack[lad.wsp - 1];
    const int32_t a = int16_t(top);
    int32_t r;
    switch (OP) {
    case LOP_ADD16: r = a + b; break;
    case LOP_SUB16: r = a - b; break;
    case LOP_MUL16: r = a * b; break;
    default:
        if (b == 0) {
            LadPowerClear();
            return LAD_GO;
        }
        r = a / b;
        break;
    }
    top = uint16_t(r);
    if (r < -32768 || r > 32767) LadPowerClear();
    return LAD_GO;
}
template <int OP>
int Op_Arith32() {  // 124..127
    if (!LadWHas(4)) return LAD_FAULT;
    const int32_t b = int32_t(LadWPop32());
    const int32_t a = int32_t(LadWPop32());
    int32_t r = a;
    uint32_t ovf = 0;
    switch (OP) {
    case LOP_ADD32: ovf = LH_AddInt32(&r, a, b); break;
    case LOP_SUB32: ovf = LH_SubInt32(&r, a, b); break;
    case LOP_MUL32: ovf = LH_MulInt32(&r, a, b); break;
    default:
        if (b == 0)
            ovf = 1;
        else if (a == INT32_MIN && b == -1)
            ovf = 1;  // the quotient does not fit; it wraps
        else
            r = a / b;
        break;
    }
    LadWPush32(uint32_t(r));
    if (ovf) LadPowerClear();
    return LAD_GO;
}

// 118, 119: multi-register shift and rotate; the result replaces the top power.
template <int OP>
int Op_Multi() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint32_t p = OP == LOP_MULTI_SHIFT ? Multi_Shift(&lad.cur) : Multi_Rotate(&lad.cur);
    l_stack[lad.lsp - 1] = uint8_t(p);
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    t[LOP_LOAD32_AS16] = Op_Load32As16<S>;
    t[LOP_LOAD_REAL_AS32] = Op_LoadFloatAs32<S>;
    t[LOP_LOAD_REAL_AS16] = Op_LoadFloatAs16<S>;
    t[LOP_LOAD32_AS_REAL] = Op_Load<S, LOP_LOAD32_AS_REAL>;
    t[LOP_LOAD16_AS_REAL] = Op_Load<S, LOP_LOAD16_AS_REAL>;
    t[LOP_LOAD16] = Op_Load<S, LOP_LOAD16>;
    t[LOP_CONST16] = Op_Const16;
    t[LOP_STORE16] = Op_Store16<S>;
    t[LOP_LOAD32] = Op_Load<S, LOP_LOAD32>;
    t[LOP_CONST32] = Op_Const32;
    t[LOP_STORE32] = Op_Store32<S>;
    t[LOP_CONST16_AS32] = Op_Const16As32;
    t[LOP_LOAD16_AS32] = Op_Load<S, LOP_LOAD16_AS32>;
    t[LOP_MOVE16] = Op_Move16<S>;
    t[LOP_BLOCK_MOVE] = Op_BlockMove<S>;
    t[LOP_MOVE_K16] = Op_MoveK16<S>;
    t[LOP_FILL] = Op_Fill<S>;
    t[LOP_FILL_K] = Op_FillK<S>;
    t[LOP_MOVE32] = Op_Move32<S>;
    t[LOP_MOVE_K32] = Op_MoveK32<S>;
    t[LOP_IND_READ] = Op_Indirect<S, LOP_IND_READ>;
    t[LOP_IND_WRITE] = Op_Indirect<S, LOP_IND_WRITE>;
    t[LOP_IND_COPY] = Op_Indirect<S, LOP_IND_COPY>;
    t[LOP_AND16] = Op_Logic16<LOP_AND16>;
    t[LOP_OR16] = Op_Logic16<LOP_OR16>;
    t[LOP_XOR16] = Op_Logic16<LOP_XOR16>;
    t[LOP_NOT16] = Op_Logic16<LOP_NOT16>;
    t[LOP_AND32] = Op_Logic32<LOP_AND32>;
    t[LOP_OR32] = Op_Logic32<LOP_OR32>;
    t[LOP_XOR32] = Op_Logic32<LOP_XOR32>;
    t[LOP_NOT32] = Op_Logic32<LOP_NOT32>;
    t[LOP_DEG_TO_RAD] = Op_Angle<LOP_DEG_TO_RAD>;
    t[LOP_RAD_TO_DEG] = Op_Angle<LOP_RAD_TO_DEG>;
    t[LOP_SHL16] = Op_Logic16<LOP_SHL16>;
    t[LOP_SHR16] = Op_Logic16<LOP_SHR16>;
    t[LOP_ROL16] = Op_Logic16<LOP_ROL16>;
    t[LOP_ROR16] = Op_Logic16<LOP_ROR16>;
    t[LOP_SHL32] = Op_Logic32<LOP_SHL32>;
    t[LOP_SHR32] = Op_Logic32<LOP_SHR32>;
    t[LOP_ROL32] = Op_Logic32<LOP_ROL32>;
    t[LOP_ROR32] = Op_Logic32<LOP_ROR32>;
    t[LOP_MULTI_SHIFT] = Op_Multi<LOP_MULTI_SHIFT>;
    t[LOP_MULTI_ROTATE] = Op_Multi<LOP_MULTI_ROTATE>;
    t[LOP_ADD16] = Op_Arith16<LOP_ADD16>;
    t[LOP_SUB16] = Op_Arith16<LOP_SUB16>;
    t[LOP_MUL16] = Op_Arith16<LOP_MUL16>;
    t[LOP_DIV16] = Op_Arith16<LOP_DIV16>;
    t[LOP_ADD32] = Op_Arith32<LOP_ADD32>;
    t[LOP_SUB32] = Op_Arith32<LOP_SUB32>;
    t[LOP_MUL32] = Op_Arith32<LOP_MUL32>;
    t[LOP_DIV32] = Op_Arith32<LOP_DIV32>;
}

}  // namespace

void LadArith_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
