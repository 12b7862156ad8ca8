// Typed arithmetic (8-, 16- and 32-bit, signed and unsigned), arithmetic with
// a width word, typed compares and the load-and-convert instructions.
#include "ladder/ladint.h"
#include "core/image/numconv.h"

namespace {

// 260..273: two one-entry values, the result replaces a.
template <int OP>
int Op_Arith8() {
    if (!LadWHas(2)) return LAD_FAULT;
    const uint16_t bw = LadWPop();
    uint16_t &aw = w_stack[lad.wsp - 1];
    const uint32_t ua = aw & 0xFF, ub = bw & 0xFF;
    const int32_t sa = int8_t(aw), sb = int8_t(bw);
    bool fail = false;
    switch (OP) {
    case LOP_MUL_U8: {
        const uint32_t p = ua * ub;
        fail = p > 255;
        aw = uint16_t(p & 0xFF);
        break;
    }
    case LOP_DIV_U8:
    case LOP_DIV_S8:
        if ((OP == LOP_DIV_U8 ? ub : uint32_t(sb)) == 0) {
            fail = true;
        } else {
            const uint32_t q = OP == LOP_DIV_U8 ? ua / ub : uint32_t(sa / sb);
            aw = uint16_t((aw & 0xFF00) | (q & 0xFF));  // the quotient goes in the low byte
        }
        break;
    case LOP_MUL_U16: {
        const uint32_t p = uint32_t(aw) * bw;
        fail = p >= 65536;
        aw = uint16_t(p);
        break;
    }
    case LOP_DIV_U16:
        if (bw == 0)
            fail = true;
        else
            aw = uint16_t(aw / bw);
        break;
    case LOP_ADD_S8:
    case LOP_SUB_S8:
    case LOP_MUL_S8: {
        const int32_t r = OP == LOP_ADD_S8 ? sa + sb : (OP == LOP_SUB_S8 ? sa - sb : sa * sb);
        fail = r < -128 || r > 127;
        aw = uint16_t(int16_t(int8_t(uint8_t(r))));
        break;
    }
    case LOP_SHL_U8:
    case LOP_SHR_U8:
        // Both operands are 8-bit: the count is b's low byte.
        aw = ub >= 32 ? 0 : uint16_t((OP == LOP_SHL_U8 ? ua << ub : ua >> ub) & 0xFF);
        if (lad.lsp) l_stack[lad.lsp - 1] = 1;
        break;
    default: {  // 272, 273: rotate within 8 bits
        const uint32_t c = bw & 7;
        const uint32_t r = OP == LOP_ROL_U8 ? (ua << c) | (ua >> (8 - c)) : (ua >> c) | (ua << (8 - c));
        aw = uint16_t(r & 0xFF);
        break;
    }
    }
    if (fail) LadPowerClear();
    return LAD_GO;
}

template <int OP>
int Op_Arith32U() {  // 264, 265
    if (!LadWHas(4)) return LAD_FAULT;
    const uint32_t b = LadWPop32(), a = LadWPop32();
    if (OP == LOP_MUL_U32) {
        uint32_t r;
        const uint32_t ovf = LH_MulUInt32(&r, a, b);
        LadWPush32(r);
        if (ovf) LadPowerClear();
    } else if (b == 0) {
        LadWPush32(a);
        LadPowerClear();
    } else {
        LadWPush32(a / b);
    }
    return LAD_GO;
}

// 289..292 with a width word: 32 unsigned 16-bit, 160 unsigned 32-bit, any
// other width does nothing more.
template <int OP>
int Op_Width() {
    const uint16_t width = LadWord(lad.cur);
    if (LadCut() || (width != 32 && width != 160)) return LAD_GO;
    const bool wide = width == 160;
    const uint32_t entries = (OP == LOP_SQRT_UW ? 1u : 2u) * (wide ? 2u : 1u);
    if (!LadWHas(entries)) return LAD_FAULT;
    if (OP == LOP_SQRT_UW) {
        if (wide)
            LadWPush32(lsqrt(LadWPop32()));
        else
            LadWPush(uint16_t(isqrt(LadWPop())));
        return LAD_GO;
    }
    const uint32_t b = wide ? LadWPop32() : LadWPop();
    const uint32_t a = wide ? LadWPop32() : LadWPop();
    const uint64_t mask = wide ? 0xFFFFFFFFull : 0xFFFFull;
    uint64_t r = a;
    bool fail = false;
    switch (OP) {
    case LOP_ADD_UW:
        r = uint64_t(a) + b;
        fail = r > mask;
        break;
    case LOP_SUB_UW:
        r = uint64_t(a) - b;
        fail = a < b;
        break;
    default:  // 292
        if (b == 0)
            fail = true;
        else
            r = a % b;
        break;
    }
    if (wide)
        LadWPush32(uint32_t(r));
    else
        LadWPush(uint16_t(r));
    if (fail) LadPowerClear();
    return LAD_GO;
}

// 280..288: 8- and 16-bit compares set the power, the 32-bit ones only clear it.
template <int OP>
int Op_TypedCmp() {
    constexpr bool wide = OP == LOP_GT_U32 || OP == LOP_GE_U32;
    if (!LadWHas(wide ? 4 : 2) || lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    if (wide) {
        const uint32_t b = LadWPop32(), a = LadWPop32();
        if (!(OP == LOP_GT_U32 ? a > b : a >= b)) power = 0;
        return LAD_GO;
    }
    const uint16_t bw = LadWPop(), aw = LadWPop();
    bool on;
    switch (OP) {
    case LOP_GT_U8: on = (aw & 0xFF) > (bw & 0xFF); break;
    case LOP_GE_U8: on = (aw & 0xFF) >= (bw & 0xFF); break;
    case LOP_GT_U16: on = aw > bw; break;
    case LOP_GE_U16: on = aw >= bw; break;
    case LOP_EQ_S8: on = int8_t(aw) == int8_t(bw); break;
    case LOP_GT_S8: on = int8_t(aw) > int8_t(bw); break;
    default: on = int8_t(aw) >= int8_t(bw); break;  // 288
    }
    power = on ? 1 : 0;
    return LAD_GO;
}

// ---- load and convert ---------------------------------------------------------------------
enum Src : uint8_t { BYTE, SINT, WORD, INT, DWORD, DINT, REAL };
enum Dst : uint8_t { D16, D32, DREAL };

constexpr int64_t ALL_LO = INT64_MIN, ALL_HI = INT64_MAX;

// Reads the source, pushes it converted, or 0 with the power cleared when it
// lies outside [LO, HI].
template <bool S, Src SRC, Dst DST, int64_t LO, int64_t HI>
int Op_LoadConv() {  // 300..318, 324..330
    const uint32_t push = DST == D16 ? 1 : 2;
    if (!LadWRoom(push)) return LAD_FAULT;
    int64_t v = 0;
    bool ok;
    if (SRC == BYTE || SRC == SINT) {
        const uint32_t b = LadByteIdx<S>(lad.cur);
        ok = LadBytesFit(b, 1);
        if (ok) v = SRC == BYTE ? int64_t(plc_reg[b]) : int64_t(int8_t(plc_reg[b]));
    } else {
        const uint32_t w = LadWordOp<S>(lad.cur, (SRC == WORD || SRC == INT) ? 1 : 2);
        ok = w != LAD_NOREF;
        if (ok) {
            switch (SRC) {
            case WORD: v = LadGet16(w); break;
            case INT: v = int16_t(LadGet16(w)); break;
            case DWORD: v = LadGet32(w); break;
            default: v = int32_t(LadGet32(w)); break;
            }
        }
    }
    if (!ok || v < LO || v > HI) {
        if (push == 1)
            LadWPush(0);
        else
            LadWPush32(0);
        LadPowerClear();
        return LAD_GO;
    }
    if (DST == D16)
        LadWPush(uint16_t(v));
    else if (DST == D32)
        LadWPush32(uint32_t(v));
    else
        LadWPush32(LadBits(float(v)));
    return LAD_GO;
}

// 319, 320, 321, 331: float to integer, truncating and saturating.
template <bool S, int OP>
int Op_LoadReal() {
    const uint32_t push = OP == LOP_CNV_REAL_32 ? 2 : 1;
    if (!LadWRoom(push)) return LAD_FAULT;
    const uint32_t w = LadWordOp<S>(lad.cur, 2);
    if (w == LAD_NOREF) {
        if (push == 1)
            LadWPush(0);
        else
            LadWPush32(0);
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t bits = LadGet32(w);
    const double f = LadF(bits);
    const bool bad = LadBadFloat(bits);
    if (OP == LOP_CNV_REAL_32) {
        LadWPush32(NumCnv_FloatToU32(f));
        if (bad || f > 4294967294.0 || f < 0.0) LadPowerClear();
        return LAD_GO;
    }
    const int32_t t = NumCnv_FloatToS32(f);
    LadWPush(uint16_t(t));
    bool fail;
    if (OP == LOP_CNV_REAL_16_S8)
        fail = t < -128 || t > 127 || f != f;  // NaN fails as well: it is no 0 to pass on as valid
    else
        fail = bad || uint32_t(t) > (OP == LOP_CNV_REAL_16_0_255 ? 255u : 65535u);
    if (fail) LadPowerClear();
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    t[LOP_MUL_U8] = Op_Arith8<LOP_MUL_U8>;
    t[LOP_DIV_U8] = Op_Arith8<LOP_DIV_U8>;
    t[LOP_MUL_U16] = Op_Arith8<LOP_MUL_U16>;
    t[LOP_DIV_U16] = Op_Arith8<LOP_DIV_U16>;
    t[LOP_MUL_U32] = Op_Arith32U<LOP_MUL_U32>;
    t[LOP_DIV_U32] = Op_Arith32U<LOP_DIV_U32>;
    t[LOP_ADD_S8] = Op_Arith8<LOP_ADD_S8>;
    t[LOP_SUB_S8] = Op_Arith8<LOP_SUB_S8>;
    t[LOP_MUL_S8] = Op_Arith8<LOP_MUL_S8>;
    t[LOP_DIV_S8] = Op_Arith8<LOP_DIV_S8>;
    t[LOP_SHL_U8] = Op_Arith8<LOP_SHL_U8>;
    t[LOP_SHR_U8] = Op_Arith8<LOP_SHR_U8>;
    t[LOP_ROL_U8] = Op_Arith8<LOP_ROL_U8>;
    t[LOP_ROR_U8] = Op_Arith8<LOP_ROR_U8>;
    t[LOP_GT_U8] = Op_TypedCmp<LOP_GT_U8>;
    t[LOP_GE_U8] = Op_TypedCmp<LOP_GE_U8>;
    t[LOP_GT_U16] = Op_TypedCmp<LOP_GT_U16>;
    t[LOP_GE_U16] = Op_TypedCmp<LOP_GE_U16>;
    t[LOP_GT_U32] = Op_TypedCmp<LOP_GT_U32>;
    t[LOP_GE_U32] = Op_TypedCmp<LOP_GE_U32>;
    t[LOP_EQ_S8] = Op_TypedCmp<LOP_EQ_S8>;
    t[LOP_GT_S8] = Op_TypedCmp<LOP_GT_S8>;
    t[LOP_GE_S8] = Op_TypedCmp<LOP_GE_S8>;
    t[LOP_ADD_UW] = Op_Width<LOP_ADD_UW>;
    t[LOP_SUB_UW] = Op_Width<LOP_SUB_UW>;
    t[LOP_SQRT_UW] = Op_Width<LOP_SQRT_UW>;
    t[LOP_REM_UW] = Op_Width<LOP_REM_UW>;
    t[LOP_CNV_BYTE_16] = t[LOP_CNV_BYTE_16_2] = Op_LoadConv<S, BYTE, D16, ALL_LO, ALL_HI>;
    t[LOP_CNV_BYTE_32] = t[LOP_CNV_BYTE_32_2] = Op_LoadConv<S, BYTE, D32, ALL_LO, ALL_HI>;
    t[LOP_CNV_BYTE_REAL] = Op_LoadConv<S, BYTE, DREAL, ALL_LO, ALL_HI>;
    t[LOP_CNV_WORD_16_0_127] = Op_LoadConv<S, WORD, D16, 0, 127>;
    t[LOP_CNV_WORD_32] = t[LOP_CNV_WORD_32_2] = Op_LoadConv<S, WORD, D32, ALL_LO, ALL_HI>;
    t[LOP_CNV_WORD_REAL] = Op_LoadConv<S, WORD, DREAL, ALL_LO, ALL_HI>;
    t[LOP_CNV_WORD_16_0_255] = Op_LoadConv<S, WORD, D16, 0, 255>;
    t[LOP_CNV_DWORD_16_0_127] = Op_LoadConv<S, DWORD, D16, 0, 127>;
    t[LOP_CNV_DINT_16] = Op_LoadConv<S, DINT, D16, -32768, 32767>;
    t[LOP_CNV_DWORD_REAL] = Op_LoadConv<S, DWORD, DREAL, ALL_LO, ALL_HI>;
    t[LOP_CNV_DWORD_16_0_255] = t[LOP_CNV_DWORD_16_0_255_2] = Op_LoadConv<S, DWORD, D16, 0, 255>;
    t[LOP_CNV_DWORD_16] = t[LOP_CNV_DWORD_16_2] = Op_LoadConv<S, DWORD, D16, 0, 65535>;
    t[LOP_CNV_INT_16_0_255] = Op_LoadConv<S, INT, D16, 0, 255>;
    t[LOP_CNV_INT_32_0_32767] = Op_LoadConv<S, INT, D32, 0, 32767>;
    t[LOP_CNV_REAL_16_0_255] = Op_LoadReal<S, LOP_CNV_REAL_16_0_255>;
    t[LOP_CNV_REAL_16_0_65535] = Op_LoadReal<S, LOP_CNV_REAL_16_0_65535>;
    t[LOP_CNV_REAL_32] = Op_LoadReal<S, LOP_CNV_REAL_32>;
    t[LOP_CNV_SINT_16] = Op_LoadConv<S, SINT, D16, ALL_LO, ALL_HI>;
    t[LOP_CNV_SINT_32] = Op_LoadConv<S, SINT, D32, ALL_LO, ALL_HI>;
    t[LOP_CNV_SINT_REAL] = Op_LoadConv<S, SINT, DREAL, ALL_LO, ALL_HI>;
    t[LOP_CNV_SINT_16_0_127] = Op_LoadConv<S, SINT, D16, 0, 127>;
    t[LOP_CNV_SINT_32_0_127] = Op_LoadConv<S, SINT, D32, 0, 127>;
    t[LOP_CNV_INT_16_S8] = Op_LoadConv<S, INT, D16, -128, 127>;
    t[LOP_CNV_DINT_16_S8] = Op_LoadConv<S, DINT, D16, -128, 127>;
    t[LOP_CNV_REAL_16_S8] = Op_LoadReal<S, LOP_CNV_REAL_16_S8>;
}

}  // namespace

void LadTyped_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
