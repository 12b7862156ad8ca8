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
    case 128: r = a + b; break;
    case 129: r = a - b; break;
    case 130: r = a * b; break;
    case 131:
        if (b == 0.0f) {
            fail = true;
            r = a;
        } else {
            r = a / b;
        }
        break;
    case 147:
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
    case 146: out = xb & 0x7FFFFFFFu; break;
    case 148:
        if (xb & 0x80000000u) {
            fail = true;
            out = 0x4EFF0000u;
        } else {
            out = LadBits(std::sqrt(float(x)));
            if (LadBadFloat(out)) fail = true;
        }
        break;
    case 150:
        if (!(x > 0.0)) fail = true;
        out = LadBits(float(std::log10(x)));
        break;
    case 151:
        if (x > 88.0) fail = true;
        out = LadBits(float(std::exp(x)));
        break;
    case 152:
        if (!(x > 0.0)) fail = true;
        out = LadBits(float(std::log(x)));
        break;
    case 153: out = LadBits(float(std::sin(x))); break;
    case 154: out = LadBits(float(std::cos(x))); break;
    case 155: out = LadBits(float(std::tan(x))); break;
    case 156:
        if (x < -1.0 || x > 1.0) fail = true;
        out = LadBits(float(std::asin(x)));
        break;
    case 157:
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
    if (b == 0) LadPowerClear();
    else t = uint16_t(int32_t(int16_t(t)) % b);
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
    t[128] = Op_FArith<128>;
    t[129] = Op_FArith<129>;
    t[130] = Op_FArith<130>;
    t[131] = Op_FArith<131>;
    t[140] = Op_Abs16;
    t[141] = Op_Rem16;
    t[142] = Op_Sqrt16;
    t[143] = Op_Abs32;
    t[144] = Op_Rem32;
    t[145] = Op_Sqrt32;
    t[146] = Op_FFunc<146>;
    t[147] = Op_FArith<147>;
    t[148] = Op_FFunc<148>;
    t[149] = Op_FArith<149>;
    t[150] = Op_FFunc<150>;
    t[151] = Op_FFunc<151>;
    t[152] = Op_FFunc<152>;
    t[153] = Op_FFunc<153>;
    t[154] = Op_FFunc<154>;
    t[155] = Op_FFunc<155>;
    t[156] = Op_FFunc<156>;
    t[157] = Op_FFunc<157>;
    t[158] = Op_FFunc<158>;
    t[160] = Op_Cmp16<0>;
    t[161] = Op_Cmp16<1>;
    t[162] = Op_Cmp16<2>;
    t[163] = Op_Cmp16<3>;
    t[164] = Op_Cmp16<4>;
    t[165] = Op_Cmp16<5>;
    t[166] = Op_Cmp32<0, false>;
    t[167] = Op_Cmp32<1, false>;
    t[168] = Op_Cmp32<2, false>;
    t[169] = Op_Cmp32<3, false>;
    t[170] = Op_Cmp32<4, false>;
    t[171] = Op_Cmp32<5, false>;
    t[172] = Op_Cmp32<0, true>;
    t[173] = Op_Cmp32<1, true>;
    t[174] = Op_Cmp32<2, true>;
    t[175] = Op_Cmp32<3, true>;
    t[176] = Op_Cmp32<4, true>;
    t[177] = Op_Cmp32<5, true>;
}

}  // namespace

void LadFloat_Fill() {
    Fill(lad_ops16);
    Fill(lad_opsx);
}
