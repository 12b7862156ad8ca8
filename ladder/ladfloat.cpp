// Float arithmetic and functions, 16- and 32-bit absolute value, remainder and
// square root, and the compare instructions that turn two values into power.
#include <cmath>

#include "ladder/ladint.h"

namespace {

// a (below) and b (top) as float bit patterns; the result replaces a.
template <int OP>
int Op_FArith() {  // 128..131, 147, 149
    if (!LadWHas(4)) return LAD_FAULT;
    const uint32_t bb = LadWPop32();
    const uint32_t ab = LadWPop32();
    const float a = LadF(ab), b = LadF(bb);
    bool fail = LadBadFloat(ab) || LadBadFloat(bb);
    float r;
    switch (OP) {
    case LOP_ADD_REAL: r = a + b; break;
    case LOP_SUB_REAL: r = a - b; break;
    case LOP_MUL_REAL: r = a * b; break;
    case LOP_DIV_REAL:
        if (b == 0.0f) {
            fail = true;
            r = a;
        } else {
            r = a / b;
        }
        break;
    case LOP_REM_REAL:
        if (b == 0.0f) fail = true;
        r = float(std::fmod(double(a), double(b)));
        break;
    default: r = float(std::pow(double(a), double(b))); break;  // 149
    }
    LadWPush32(LadBits(r));
    if (fail) LadPowerClear();
    return LAD_GO;
}

// Functions of the top float: the result is stored in every case.
template <int OP>
int Op_FFunc() {  // 146, 148, 150..158
    if (!LadWHas(2)) return LAD_FAULT;
    const uint32_t xb = LadWPop32();
    const double x = LadF(xb);
    bool fail = LadBadFloat(xb);
    uint32_t out;
    switch (OP) {
    case LOP_ABS_REAL: out = xb & 0x7FFFFFFFu; break;
    case LOP_SQRT_REAL:
        if (xb & 0x80000000u) {
            // A negative operand (-0.0 too) stores the fixed pattern 0x4EFF0000
            // with the power cleared. That pattern is the float 2,139,095,040.0,
            // not 2,147,483,648.0 (0x4F000000): the pattern is kept, since it is
            // what programs and tools reading the result as a marker compare.
            fail = true;
            out = 0x4EFF0000u;
        } else {
            out = LadBits(std::sqrt(float(x)));
            if (LadBadFloat(out)) fail = true;
        }
        break;
    case LOP_LOG_REAL:
        if (!(x > 0.0)) fail = true;
        out = LadBits(float(std::log10(x)));
        break;
    case LOP_EXP_REAL:
        if (x > 88.0) fail = true;
        out = LadBits(float(std::exp(x)));
        break;
    case LOP_LN_REAL:
        if (!(x > 0.0)) fail = true;
        out = LadBits(float(std::log(x)));
        break;
    case LOP_SIN_REAL: out = LadBits(float(std::sin(x))); break;
    case LOP_COS_REAL: out = LadBits(float(std::cos(x))); break;
    case LOP_TAN_REAL: out = LadBits(float(std::tan(x))); break;
    case LOP_ASIN_REAL:
        if (x < -1.0 || x > 1.0) fail = true;
        out = LadBits(float(std::asin(x)));
        break;
    case LOP_ACOS_REAL:
        if (x < -1.0 || x > 1.0) fail = true;
        out = LadBits(float(std::acos(x)));
        break;
    default: out = LadBits(float(std::atan(x))); break;  // 158
    }
    LadWPush32(out);
    if (fail) LadPowerClear();
    return LAD_GO;
}

int Op_Abs16() {  // 140
    if (!LadWHas(1)) return LAD_FAULT;
    uint16_t &t = w_stack[lad.wsp - 1];
    if (t & 0x8000) t = uint16_t(0u - t);
    return LAD_GO;
}
int Op_Rem16() {  // 141
    if (!LadWHas(2)) return LAD_FAULT;
    const int32_t b = int16_t(LadWPop());
    uint16_t &t = w_stack[lad.wsp - 1];
    if (b == 0)
        LadPowerClear();
    else
        t = uint16_t(int32_t(int16_t(t)) % b);
    return LAD_GO;
}
int Op_Sqrt16() {  // 142
    if (!LadWHas(1)) return LAD_FAULT;
    uint16_t &t = w_stack[lad.wsp - 1];
    if (t & 0x8000) LadPowerClear();
    t = uint16_t(isqrt(t));
    return LAD_GO;
}
int Op_Abs32() {  // 143
    if (!LadWHas(2)) return LAD_FAULT;
    const uint32_t v = LadWPop32();
    LadWPush32((v & 0x80000000u) ? 0u - v : v);
    return LAD_GO;
}
int Op_Rem32() {  // 144
    if (!LadWHas(4)) return LAD_FAULT;
    const int32_t b = int32_t(LadWPop32());
    const int32_t a = int32_t(LadWPop32());
    if (b == 0) {
        LadWPush32(uint32_t(a));
        LadPowerClear();
    } else {
        // -2147483648 rem -1 traps as a division; its remainder is 0.
        LadWPush32(b == -1 ? 0u : uint32_t(a % b));
    }
    return LAD_GO;
}
int Op_Sqrt32() {  // 145
    if (!LadWHas(2)) return LAD_FAULT;
    const uint32_t v = LadWPop32();
    if (v & 0x80000000u) LadPowerClear();
    LadWPush32(lsqrt(v));
    return LAD_GO;
}

template <typename T>
bool Holds(int rel, T a, T b) {
    switch (rel) {
    case 0: return a == b;
    case 1: return a != b;
    case 2: return a < b;
    case 3: return a > b;
    case 4: return a <= b;
    default: return a >= b;
    }
}

// 160..165: 16-bit, the power becomes the result.
template <int REL>
int Op_Cmp16() {
    if (!LadWHas(2) || lad.lsp < 1) return LAD_FAULT;
    const int16_t b = int16_t(LadWPop()), a = int16_t(LadWPop());
    l_stack[lad.lsp - 1] = Holds(REL, a, b) ? 1 : 0;
    return LAD_GO;
}
// 166..171 (32-bit) and 172..177 (float): the power is only cleared. A float
// compare with NaN holds only for "not equal", as IEEE compares give it.
template <int REL, bool FLOAT>
int Op_Cmp32() {
    if (!LadWHas(4)) return LAD_FAULT;
    const uint32_t b = LadWPop32(), a = LadWPop32();
    const bool ok = FLOAT ? Holds(REL, LadF(a), LadF(b)) : Holds(REL, int32_t(a), int32_t(b));
    if (!ok) LadPowerClear();
    return LAD_GO;
}

void Fill(LadOp *t) {
    t[LOP_ADD_REAL] = Op_FArith<LOP_ADD_REAL>;
    t[LOP_SUB_REAL] = Op_FArith<LOP_SUB_REAL>;
    t[LOP_MUL_REAL] = Op_FArith<LOP_MUL_REAL>;
    t[LOP_DIV_REAL] = Op_FArith<LOP_DIV_REAL>;
    t[LOP_ABS16] = Op_Abs16;
    t[LOP_REM16] = Op_Rem16;
    t[LOP_SQRT16] = Op_Sqrt16;
    t[LOP_ABS32] = Op_Abs32;
    t[LOP_REM32] = Op_Rem32;
    t[LOP_SQRT32] = Op_Sqrt32;
    t[LOP_ABS_REAL] = Op_FFunc<LOP_ABS_REAL>;
    t[LOP_REM_REAL] = Op_FArith<LOP_REM_REAL>;
    t[LOP_SQRT_REAL] = Op_FFunc<LOP_SQRT_REAL>;
    t[LOP_POW_REAL] = Op_FArith<LOP_POW_REAL>;
    t[LOP_LOG_REAL] = Op_FFunc<LOP_LOG_REAL>;
    t[LOP_EXP_REAL] = Op_FFunc<LOP_EXP_REAL>;
    t[LOP_LN_REAL] = Op_FFunc<LOP_LN_REAL>;
    t[LOP_SIN_REAL] = Op_FFunc<LOP_SIN_REAL>;
    t[LOP_COS_REAL] = Op_FFunc<LOP_COS_REAL>;
    t[LOP_TAN_REAL] = Op_FFunc<LOP_TAN_REAL>;
    t[LOP_ASIN_REAL] = Op_FFunc<LOP_ASIN_REAL>;
    t[LOP_ACOS_REAL] = Op_FFunc<LOP_ACOS_REAL>;
    t[LOP_ATAN_REAL] = Op_FFunc<LOP_ATAN_REAL>;
    t[LOP_EQ16] = Op_Cmp16<0>;
    t[LOP_NE16] = Op_Cmp16<1>;
    t[LOP_LT16] = Op_Cmp16<2>;
    t[LOP_GT16] = Op_Cmp16<3>;
    t[LOP_LE16] = Op_Cmp16<4>;
    t[LOP_GE16] = Op_Cmp16<5>;
    t[LOP_EQ32] = Op_Cmp32<0, false>;
    t[LOP_NE32] = Op_Cmp32<1, false>;
    t[LOP_LT32] = Op_Cmp32<2, false>;
    t[LOP_GT32] = Op_Cmp32<3, false>;
    t[LOP_LE32] = Op_Cmp32<4, false>;
    t[LOP_GE32] = Op_Cmp32<5, false>;
    t[LOP_EQ_REAL] = Op_Cmp32<0, true>;
    t[LOP_NE_REAL] = Op_Cmp32<1, true>;
    t[LOP_LT_REAL] = Op_Cmp32<2, true>;
    t[LOP_GT_REAL] = Op_Cmp32<3, true>;
    t[LOP_LE_REAL] = Op_Cmp32<4, true>;
    t[LOP_GE_REAL] = Op_Cmp32<5, true>;
}

}  // namespace

void LadFloat_Fill() {
    Fill(lad_ops16);
    Fill(lad_opsx);
}
