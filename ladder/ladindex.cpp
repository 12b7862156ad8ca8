// Registers chosen at run time: indexed array elements, byte pointers, bit
// masks, sequence steps and the bit-by-number record.
#include "ladder/ladint.h"

namespace {

constexpr uint32_t IDX_LAST_BYTE = 104448;  // last byte an indexed read may reach

// Element number n of the index register (a word operand), or 0 when the
// operand names no register.
template <bool S>
uint32_t IndexOf(LadCursor &c) {
    const uint32_t r = LadWordOp<S>(c, 1);
    return r == LAD_NOREF ? 0 : LadGet16(r);
}

// 340: push the bit at base - 1 + n.
template <bool S>
int Op_IdxBitGet() {
    if (lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    const uint32_t base = LadBitOp<S>(lad.cur);
    const uint32_t n = IndexOf<S>(lad.cur);
    const uint64_t bit = uint64_t(base) - 1 + n;
    const bool ok = base != LAD_NOREF && n >= 1 && (bit - 1024) / 8 <= IDX_LAST_BYTE;
    l_stack[lad.lsp++] = (ok && LadGetBit(uint32_t(bit))) ? 0xFF : 0;
    return LAD_GO;
}
// 341: pop the power into the bit at base - 1 + n (n = 0 writes nothing).
template <bool S>
int Op_IdxBitSet() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint8_t p = l_stack[--lad.lsp];
    const uint32_t base = LadBitOp<S>(lad.cur);
    const uint32_t n = IndexOf<S>(lad.cur);
    if (LadCut() || n == 0) return LAD_GO;
    const uint64_t bit = uint64_t(base) - 1 + n;
    const uint8_t v = p ? 1 : 0;
    if (base == LAD_NOREF || bit >= LAD_BIT_END || !PlcReg_Set(LadLinToAddr(uint32_t(bit)), &v, 1)) LadPowerClear();
    return LAD_GO;
}

// 342, 344, 346: push element n of a byte, word or 32-bit array.
template <bool S, uint32_t BYTES>
int Op_IdxGet() {
    constexpr uint32_t push = BYTES == 4 ? 2 : 1;
    if (!LadWRoom(push)) return LAD_FAULT;
    const uint32_t base = BYTES == 1 ? LadByteIdx<S>(lad.cur) : LadWordIdx<S>(lad.cur);
    const uint32_t n = IndexOf<S>(lad.cur);
    // First byte of the element.
    const uint64_t at = BYTES == 1 ? uint64_t(base) + n - 1 : 2 * (uint64_t(base) + (BYTES / 2) * (uint64_t(n) - 1));
    const uint32_t limit = BYTES == 1 ? 100480 : (BYTES == 2 ? 50239 : 25119);
    const bool ok = base != LAD_NOREF && n >= 1 && n - 1 <= limit && at <= IDX_LAST_BYTE;
    if (!ok) {
        if (push == 1)
            LadWPush(0);
        else
            LadWPush32(0);
        LadPowerClear();
        return LAD_GO;
    }
    if (BYTES == 1)
        LadWPush(plc_reg[at]);
    else if (BYTES == 2)
        LadWPush(LE_Get16(&plc_reg[at]));
    else
        LadWPush32(LE_Get32(&plc_reg[at]));
    return LAD_GO;
}
// 343, 345, 347: pop a value into element n, through the checked register
// write (system registers keep their ranges and side effects).
template <bool S, uint32_t BYTES>
int Op_IdxSet() {
    constexpr uint32_t pop = BYTES == 4 ? 2 : 1;
    if (!LadWHas(pop)) return LAD_FAULT;
    const uint32_t v = pop == 2 ? LadWPop32() : LadWPop();
    const uint32_t base = BYTES == 1 ? LadByteIdx<S>(lad.cur) : LadWordIdx<S>(lad.cur);
    const uint32_t n = IndexOf<S>(lad.cur);
    if (LadCut()) return LAD_GO;
    const uint32_t limit = BYTES == 1 ? 100480 : (BYTES == 2 ? 50239 : 25119);
    // Bit address of the element: 1024 + 8 x its byte index.
    const uint64_t at = BYTES == 1 ? uint64_t(base) + n - 1 : 2 * (uint64_t(base) + (BYTES / 2) * (uint64_t(n) - 1));
    const uint64_t bit = 1024 + 8 * at;
    uint8_t buf[4];
    LE_Put32(buf, v);
    if (base == LAD_NOREF || n < 1 || n - 1 > limit || bit >= LAD_BIT_END ||
        !PlcReg_Set(LadLinToAddr(uint32_t(bit)), buf, 8 * BYTES))
        LadPowerClear();
    return LAD_GO;
}

// 350: D := byte index of X + k; 359: D := byte index of X + value of R.
template <bool S, bool REG>
int Op_PtrMake() {
    const uint32_t d = LadWordOp<S>(lad.cur, 2);
    const uint32_t x = LadByteIdx<S>(lad.cur);
    uint32_t k;
    bool ok = true;
    if (REG) {
        const uint32_t r = LadWordOp<S>(lad.cur, 2);
        ok = r != LAD_NOREF;
        k = ok ? LadGet32(r) : 0;
    } else {
        k = LadWord(lad.cur);
    }
    if (LadCut()) return LAD_GO;
    if (!ok || d == LAD_NOREF || x == LAD_NOREF) {
        LadPowerClear();
        return LAD_GO;
    }
    LadSet32(d, x + k);
    return LAD_GO;
}

// 351..354: read through P + k; 355..358: write through it. Outside the
// image a read gives 0, a write writes nothing, and both clear the power.
template <bool S, int OP>
int Op_PtrAccess() {
    constexpr uint32_t size =
        (OP == LOP_PTR_LOAD8 || OP == LOP_PTR_LOAD_BIT || OP == LOP_PTR_STORE8 || OP == LOP_PTR_STORE_BIT) ? 1
        : (OP == LOP_PTR_LOAD16 || OP == LOP_PTR_STORE16)                                                  ? 2
                                                                                                           : 4;
    constexpr bool read = OP <= LOP_PTR_LOAD_BIT;
    if (OP == LOP_PTR_LOAD_BIT && lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    if (OP == LOP_PTR_STORE_BIT && lad.lsp < 1) return LAD_FAULT;
    if (read && OP != LOP_PTR_LOAD_BIT && !LadWRoom(size == 4 ? 2 : 1)) return LAD_FAULT;
    if (!read && OP != LOP_PTR_STORE_BIT && !LadWHas(size == 4 ? 2 : 1)) return LAD_FAULT;
    const uint64_t p = LadPtrOp<S>(lad.cur);
    const uint64_t at = p + LadWord(lad.cur);
    const bool ok = LadPtrFits(at, size) && !LadCut();
    uint8_t *m = ok ? &plc_reg[at] : nullptr;
    switch (OP) {
    case LOP_PTR_LOAD8: LadWPush(m ? *m : 0); break;
    case LOP_PTR_LOAD16: LadWPush(m ? LE_Get16(m) : 0); break;
    case LOP_PTR_LOAD32: LadWPush32(m ? LE_Get32(m) : 0); break;
    case LOP_PTR_LOAD_BIT: l_stack[lad.lsp++] = (m && (*m & 1)) ? 0xFF : 0; break;
    case LOP_PTR_STORE8: {
        const uint16_t v = LadWPop();
        if (m) *m = uint8_t(v);
        break;
    }
    case LOP_PTR_STORE16: {
        const uint16_t v = LadWPop();
        if (m) LE_Put16(m, v);
        break;
    }
    case LOP_PTR_STORE32: {
        const uint32_t v = LadWPop32();
        if (m) LE_Put32(m, v);
        break;
    }
    default: {  // 358
        const uint8_t v = l_stack[--lad.lsp];
        if (m) *m = v ? 0xFF : 0;
        break;
    }
    }
    if (!m && OP != LOP_PTR_LOAD_BIT) LadPowerClear();
    return LAD_GO;
}

// 360: push 1 when the state word of the step is 1.
template <bool S>
int Op_StepTest() {
    if (lad.lsp >= LSTACK_SIZE) return LAD_FAULT;
    const uint32_t s = LadWordOp<S>(lad.cur, 1);
    l_stack[lad.lsp++] = (s != LAD_NOREF && LadGet16(s) == 1) ? 1 : 0;
    return LAD_GO;
}
// 361: four-way branch on the state word, keeping the step's elapsed time.
template <bool S>
int Op_Step() {
    const uint32_t s = LadWordOp<S>(lad.cur, 3);
    int64_t target[4];
    for (int64_t &t : target) {
        const int32_t off = int32_t(LadDword(lad.cur));
        t = int64_t(lad.cur.pos) + off;
    }
    if (LadCut()) return LAD_GO;
    const uint16_t st = s == LAD_NOREF ? 0 : LadGet16(s);
    int which = 3;
    if (s != LAD_NOREF) {
        if (st == 2) {
            LadSet16(s, 1);
            LadSet32(s + 1, 0);
            which = 0;
        } else if (st == 1) {
            LadSet32(s + 1, LadGet32(s + 1) + local_scan_time);
            which = 1;
        } else if (st == 3) {
            LadSet16(s, 0);
            which = 2;
        }
    }
    if (target[which] < 0 || target[which] >= int64_t(lad.cur.end)) return LAD_FAULT;
    lad.cur.pos = uint32_t(target[which]);
    return LAD_GO;
}

// 362, 363: push 0xFF when A and M share a 1 bit; 364, 365: pop the power and
// set (true) or clear (false) the bits of M in A.
template <bool S, int OP>
int Op_Mask() {
    constexpr bool wide = OP == LOP_MASK_TEST32 || OP == LOP_MASK_SET32;
    constexpr bool test = OP == LOP_MASK_TEST16 || OP == LOP_MASK_TEST32;
    if (test ? lad.lsp >= LSTACK_SIZE : lad.lsp < 1) return LAD_FAULT;
    const uint32_t a = LadWordOp<S>(lad.cur, wide ? 2 : 1);
    const uint32_t m = LadWordOp<S>(lad.cur, wide ? 2 : 1);
    const bool ok = a != LAD_NOREF && m != LAD_NOREF && !LadCut();
    const uint32_t av = ok ? (wide ? LadGet32(a) : LadGet16(a)) : 0;
    const uint32_t mv = ok ? (wide ? LadGet32(m) : LadGet16(m)) : 0;
    if (test) {
        l_stack[lad.lsp++] = (av & mv) ? 0xFF : 0;
        return LAD_GO;
    }
    const uint8_t p = l_stack[--lad.lsp];
    if (!ok) return LAD_GO;
    const uint32_t r = p ? (av | mv) : (av & ~mv);
    if (wide)
        LadSet32(a, r);
    else
        LadSet16(a, uint16_t(r));
    return LAD_GO;
}

// ---- bit by number (384) ------------------------------------------------------------------
constexpr uint32_t BN_REF_LIMIT = 0x10030BFF;  // reference - 1024 at most this

// Byte offset of the data a record register names: the register itself, or
// with a relative pointer the byte that its 32-bit value counts from it.
// LAD_BADPTR when it is not inside the image.
uint64_t BnLocate(uint32_t ref, uint32_t bytes, bool relative) {
    const uint8_t *p = PlcReg_Ptr(ref, relative ? 32 : 8 * bytes);
    if (!p || p < plc_reg.data() || p >= plc_reg.data() + PLC_REG_SIZE) return LAD_BADPTR;
    const uint64_t at = uint64_t(p - plc_reg.data());
    if (!relative) return at;
    const uint64_t t = at + LE_Get32(p);
    return LadPtrFits(t, bytes) ? t : LAD_BADPTR;
}

int Op_BitNumber() {
    if (lad.lsp < 1) return LAD_FAULT;
    LadCursor &c = lad.cur;
    const uint16_t ctl = LadWord(c);
    const uint32_t base = LadDword(c);
    const uint32_t bref = LadDword(c);
    const uint32_t lref = LadDword(c);
    uint8_t &power = l_stack[lad.lsp - 1];
    if (!power || LadCut()) return LAD_GO;
    const uint8_t opn = uint8_t(ctl), flags = uint8_t(ctl >> 8);
    const bool rel = flags & 0x04;
    power = 0;
    if (base - 1024u > BN_REF_LIMIT) return LAD_GO;
    uint32_t b = bref & 0xFFFF;
    if (flags & 0x01) {
        const uint64_t at = BnLocate(bref, 2, rel);
        if (at == LAD_BADPTR) return LAD_GO;
        b = LE_Get16(&plc_reg[at]);
    }
    uint32_t len = lref & 0xFFFF;
    if (lref - 1024u <= BN_REF_LIMIT) {
        const uint64_t at = BnLocate(lref, 2, rel);
        if (at == LAD_BADPTR) return LAD_GO;
        len = LE_Get16(&plc_reg[at]);
    }
    if (!(flags & 0x02)) len *= 2;
    if (len > 512 || b == 0 || b > 8 * len) return LAD_GO;
    // The string's last bit must lie below reference 0x10031000 counted from
    // the base reference, whether the base is the string or a relative
    // pointer to it (which must then also reach inside the image, below).
    if (uint64_t(base) + 8 * uint64_t(len) > 0x10030FFF) return LAD_GO;
    const uint64_t str = BnLocate(base, 1, rel);
    if (str == LAD_BADPTR || !LadPtrFits(str, len)) return LAD_GO;
    uint8_t &byte = plc_reg[str + (b - 1) / 8];
    const uint8_t mask = uint8_t(1u << ((b - 1) % 8));
    switch (opn) {
    case 1:
        byte |= mask;
        power = 0xFF;
        break;
    case 2:
        byte &= uint8_t(~mask);
        power = 0xFF;
        break;
    case 3: power = (byte & mask) ? 0xFF : 0; break;
    default: break;
    }
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    t[LOP_IDX_BIT_GET] = Op_IdxBitGet<S>;
    t[LOP_IDX_BIT_SET] = Op_IdxBitSet<S>;
    t[LOP_IDX_BYTE_GET] = Op_IdxGet<S, 1>;
    t[LOP_IDX_BYTE_SET] = Op_IdxSet<S, 1>;
    t[LOP_IDX_WORD_GET] = Op_IdxGet<S, 2>;
    t[LOP_IDX_WORD_SET] = Op_IdxSet<S, 2>;
    t[LOP_IDX_D32_GET] = Op_IdxGet<S, 4>;
    t[LOP_IDX_D32_SET] = Op_IdxSet<S, 4>;
    t[LOP_PTR_MAKE_K] = Op_PtrMake<S, false>;
    t[LOP_PTR_LOAD8] = Op_PtrAccess<S, LOP_PTR_LOAD8>;
    t[LOP_PTR_LOAD16] = Op_PtrAccess<S, LOP_PTR_LOAD16>;
    t[LOP_PTR_LOAD32] = Op_PtrAccess<S, LOP_PTR_LOAD32>;
    t[LOP_PTR_LOAD_BIT] = Op_PtrAccess<S, LOP_PTR_LOAD_BIT>;
    t[LOP_PTR_STORE8] = Op_PtrAccess<S, LOP_PTR_STORE8>;
    t[LOP_PTR_STORE16] = Op_PtrAccess<S, LOP_PTR_STORE16>;
    t[LOP_PTR_STORE32] = Op_PtrAccess<S, LOP_PTR_STORE32>;
    t[LOP_PTR_STORE_BIT] = Op_PtrAccess<S, LOP_PTR_STORE_BIT>;
    t[LOP_PTR_MAKE_REG] = Op_PtrMake<S, true>;
    t[LOP_STEP_TEST] = Op_StepTest<S>;
    t[LOP_STEP] = Op_Step<S>;
    t[LOP_MASK_TEST16] = Op_Mask<S, LOP_MASK_TEST16>;
    t[LOP_MASK_TEST32] = Op_Mask<S, LOP_MASK_TEST32>;
    t[LOP_MASK_SET16] = Op_Mask<S, LOP_MASK_SET16>;
    t[LOP_MASK_SET32] = Op_Mask<S, LOP_MASK_SET32>;
    t[LOP_BIT_NUMBER] = Op_BitNumber;
}

}  // namespace

void LadIndex_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
