// Standard function table: numeric, mathematical and selection functions and
// the string functions mapped onto the VM string layer. The other slots are
// handed to the library modules; a slot no module fills stops the
// application with log 17.
//
// Every handler gets (db, address of operand 0, function number); operand 0
// is the result index, operands 1.. the arguments. The result is written only
// when its lock bit is clear.
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr double kDegL = 57.29577951308232;
constexpr double kDegF = 57.295780181884766;

uint16_t Op(uint32_t ops, uint32_t k) { return Z7Mem_Get16(ops + 2 * k); }
bool Locked(uint32_t db, uint32_t idx, uint8_t bit) {
    const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, idx);
    return a != 0 && (Z7Mem_Get8(a) & bit);
}
uint32_t A32(uint32_t db, uint32_t idx) { return Z7Sec_Elem(db, Z7SEC_D32, idx); }
uint32_t A64(uint32_t db, uint32_t idx) { return Z7Sec_Elem(db, Z7SEC_D64, idx); }
int32_t GetD(uint32_t db, uint32_t ops, uint32_t k) { return int32_t(Z7Mem_Get32(A32(db, Op(ops, k)))); }
float GetF(uint32_t db, uint32_t ops, uint32_t k) {
    return std::bit_cast<float>(Z7Mem_Get32(A32(db, Op(ops, k))));
}
double GetL(uint32_t db, uint32_t ops, uint32_t k) {
    const uint32_t a = A64(db, Op(ops, k));
    const uint64_t b = uint64_t(Z7Mem_Get32(a + 4)) << 32 | Z7Mem_Get32(a);
    return std::bit_cast<double>(b);
}
void PutD(uint32_t db, uint32_t ops, uint32_t v) {
    const uint32_t d = Op(ops, 0);
    if (!Locked(db, d, Z7LK_32)) Z7Mem_Put32(A32(db, d), v);
}
void PutF(uint32_t db, uint32_t ops, double v) {
    PutD(db, ops, std::bit_cast<uint32_t>(Z7Cnv_ToFloat(v)));
}
void PutL(uint32_t db, uint32_t ops, double v) {
    const uint32_t d = Op(ops, 0);
    if (Locked(db, d, Z7LK_64)) return;
    const uint64_t b = std::bit_cast<uint64_t>(v);
    const uint32_t a = A64(db, d);
    if (a == 0) return;
    Z7Mem_Put32(a, uint32_t(b));
    Z7Mem_Put32(a + 4, uint32_t(b >> 32));
}
void Put8(uint32_t db, uint32_t ops, uint8_t v) {
    const uint32_t d = Op(ops, 0);
    if (!Locked(db, d, Z7LK_8)) Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, d), v);
}
void Put16(uint32_t db, uint32_t ops, uint16_t v) {
    const uint32_t d = Op(ops, 0);
    if (!Locked(db, d, Z7LK_16)) Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, d), v);
}
// 1-based IEC position as a 0-based one (the lowest DINT stays lowest).
int32_t Pos(uint32_t db, uint32_t ops, uint32_t k) {
    const int32_t p = GetD(db, ops, k);
    return p == INT32_MIN ? p : p - 1;
}
bool Degrees(uint32_t db) { return (Z7St_Flags(db) & Z7F_DEGREES) != 0; }
bool StrLocked(uint32_t db, uint32_t ops) { return Locked(db, Op(ops, 0), Z7LK_STR); }

// Repeated multiplication (or division) as the table gives it. Once r is 0,
// infinite, NaN or the base is +-1, the remaining steps can only flip its sign,
// so they are settled at once instead of looping up to 2^31 times in the scan.
double Settle(double r, double base, int64_t remaining) {
    return (base < 0 && (remaining & 1)) ? -r : r;
}
double Expt(double base, int32_t n) {
    if (n == 0) return 1.0;
    // a count this large would keep the scan for seconds: the power in one step
    // (same limits as the loop)
    if ((n > 4096 || n < -4096) && base != 0.0) {
        double r = std::pow(base, double(n));
        if (std::isnan(r)) r = 0.0;
        if (n > 0) return r > 1.0e307 ? 1.0e307 : r < -1.0e307 ? -1.0e307 : r;
        if (r > 0 && r < 1.0e-307) return 1.0e-307;
        if (r < 0 && r > -1.0e-307) return -1.0e-307;
        return r;
    }
    double r = 1.0;
    const bool unit = std::fabs(base) == 1.0;
    if (n > 0) {
        for (int64_t i = 0; i < n && r > -1.0e307 && r < 1.0e307; i++) {
            r *= base;
            if (r == 0 || unit) return Settle(r, base, n - i - 1);
        }
        if (r > 1.0e307) r = 1.0e307;
        if (r < -1.0e307) r = -1.0e307;
        return r;
    }
    if (base == 0.0) return 1.0e307;
    const int64_t m = -int64_t(n);
    for (int64_t i = 0; i < m && !(r >= -1.0e-307 && r <= 1.0e-307); i++) {
        r /= base;
        if (std::isinf(r) || std::isnan(r) || unit) {
            r = Settle(r, base, m - i - 1);
            break;
        }
    }
    if (r > 0 && r < 1.0e-307) r = 1.0e-307;
    if (r < 0 && r > -1.0e-307) r = -1.0e-307;
    return r;
}
double Trunc(double x) { return x >= 0 ? std::floor(x) : std::ceil(x); }
double Log(double x, bool ln, double low) { return x <= 0 ? low : ln ? std::log(x) : std::log10(x); }

// Numeric functions: one switch by slot.
uint32_t Numeric(uint32_t db, uint32_t o, uint32_t fn) {
    const bool deg = Degrees(db);
    switch (fn) {
    case 1: {  // ABS: the sign bit cleared when the value compares below 0
        const float x = GetF(db, o, 1);
        PutF(db, o, x < 0 ? -x : x);
        return 1;
    }
    case 116: { const double x = GetL(db, o, 1); PutL(db, o, x < 0 ? -x : x); return 1; }
    case 2: case 3: {
        const double x = GetF(db, o, 1);
        double r = (x < -1 || x > 1) ? 0.0 : fn == 2 ? std::acos(x) : std::asin(x);
        PutF(db, o, deg ? r * kDegF : r);
        return 1;
    }
    case 109: case 110: {
        const double x = GetL(db, o, 1);
        double r = (x < -1 || x > 1) ? 0.0 : fn == 109 ? std::acos(x) : std::asin(x);
        PutL(db, o, deg ? r * kDegL : r);
        return 1;
    }
    case 4: { const float r = std::atan(GetF(db, o, 1)); PutF(db, o, deg ? r * kDegF : r); return 1; }
    case 111: { const double r = std::atan(GetL(db, o, 1)); PutL(db, o, deg ? r * kDegL : r); return 1; }
    case 5: case 8: {
        float x = GetF(db, o, 1);
        if (deg) x = x / float(kDegF);
        PutF(db, o, fn == 5 ? std::cos(x) : std::sin(x));
        return 1;
    }
    case 106: case 107: {
        double x = GetL(db, o, 1);
        if (deg) x /= kDegL;
        PutL(db, o, fn == 106 ? std::cos(x) : std::sin(x));
        return 1;
    }
    case 10: case 108: {
        double x = fn == 10 ? double(GetF(db, o, 1)) : GetL(db, o, 1);
        if (deg) x /= fn == 10 ? kDegF : kDegL;
        const double cs = std::cos(x);
        const double r = (cs > -1.0e-307 && cs < 1.0e-307) ? (fn == 10 ? 1.0e37 : 1.0e307) : std::tan(x);
        if (fn == 10) PutF(db, o, r);
        else PutL(db, o, r);
        return 1;
    }
    case 6: PutF(db, o, Expt(GetF(db, o, 1), GetD(db, o, 2))); return 1;
    case 12: {
        const double b = GetF(db, o, 1), e = GetF(db, o, 2);
        PutF(db, o, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1;
    }
    case 114: {
        const double b = GetL(db, o, 1), e = GetL(db, o, 2);
        PutL(db, o, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1;
    }
    case 7: PutF(db, o, Log(GetF(db, o, 1), false, -1.0e37)); return 1;
    case 204: PutL(db, o, Log(GetL(db, o, 1), false, -1.0e307)); return 1;
    case 200: PutF(db, o, Log(GetF(db, o, 1), true, -1.0e37)); return 1;
    case 202: PutL(db, o, Log(GetL(db, o, 1), true, -1.0e307)); return 1;
    case 201: PutF(db, o, std::exp(double(GetF(db, o, 1)))); return 1;
    case 203: PutL(db, o, std::exp(GetL(db, o, 1))); return 1;
    case 9: { const double x = GetF(db, o, 1); PutF(db, o, x <= 0 ? 0.0 : std::sqrt(x)); return 1; }
    case 115: { const double x = GetL(db, o, 1); PutL(db, o, x <= 0 ? 0.0 : std::sqrt(x)); return 1; }
    case 11: PutF(db, o, Trunc(GetF(db, o, 1))); return 1;
    case 117: PutL(db, o, Trunc(GetL(db, o, 1))); return 1;
    case 132: {
        const double x = GetF(db, o, 1), y = GetF(db, o, 2);
        PutF(db, o, y > 0 ? std::fmod(x, y) : -1.0);
        return 1;
    }
    case 133: {
        const double x = GetL(db, o, 1), y = GetL(db, o, 2);
        PutL(db, o, y > 0 ? std::fmod(x, y) : -1.0);
        return 1;
    }
    case 92: case 112: {
        const double y = fn == 92 ? double(GetF(db, o, 1)) : GetL(db, o, 1);
        const double x = fn == 92 ? double(GetF(db, o, 2)) : GetL(db, o, 2);
        double r = (y == 0 && x == 0) ? 0.0 : std::atan2(y, x);
        if (deg) r *= fn == 92 ? kDegF : kDegL;
        if (fn == 92) PutF(db, o, r);
        else PutL(db, o, r);
        return 1;
    }
    case 91: {  // USEDEGREES: the previous mode, then the new one
        const uint8_t in = Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, Op(o, 1)));
        Put8(db, o, deg ? 1 : 0);
        const uint16_t f = Z7St_Flags(db);
        Z7St_SetFlags(db, in ? uint16_t(f | Z7F_DEGREES) : uint16_t(f & ~Z7F_DEGREES));
        return 1;
    }
    case 157: {
        const float x = GetF(db, o, 1), imin = GetF(db, o, 2), imax = GetF(db, o, 3);
        const float omin = GetF(db, o, 4), omax = GetF(db, o, 5);
        float r;
        if (imin >= imax) r = x;
        else if (x < imin) r = omin;
        else if (x > imax) r = omax;
        else r = (omin * imax - omax * imin) / (imax - imin) + (omax - omin) * x / (imax - imin);
        PutF(db, o, r);
        return 1;
    }
    case 21: {
        const int32_t mn = GetD(db, o, 1), in = GetD(db, o, 2), mx = GetD(db, o, 3);
        PutD(db, o, uint32_t(mn > in ? mn : in <= mx ? in : mx));
        return 1;
    }
    case 22: case 23: {
        const int32_t a = GetD(db, o, 1), b = GetD(db, o, 2);
        PutD(db, o, uint32_t(fn == 22 ? (a > b ? a : b) : (a < b ? a : b)));
        return 1;
    }
    case 24: {
        const int32_t a = GetD(db, o, 1), b = GetD(db, o, 2);
        PutD(db, o, uint32_t(b > 0 ? a % b : -1));
        return 1;
    }
    case 25: case 26: {
        const int32_t k = GetD(db, o, 1), n = fn == 25 ? 4 : 8;
        PutD(db, o, k >= 0 && k < n ? uint32_t(GetD(db, o, 2 + uint32_t(k))) : 0u);
        return 1;
    }
    case 29: {
        const int32_t n = GetD(db, o, 1);
        PutD(db, o, uint32_t(n == 0 || n == -1 ? 0 : std::rand() % n));
        return 1;
    }
    case 32: {
        const uint8_t g = Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, Op(o, 1)));
        PutD(db, o, uint32_t(GetD(db, o, g ? 3 : 2)));
        return 1;
    }
    case 36: Put8(db, o, uint8_t(GetD(db, o, 1) & 1)); return 1;
    // strings (1-based positions)
    case 40: if (!Locked(db, Op(o, 0), Z7LK_32)) PutD(db, o, Z7VMStr_Ascii(db, Op(o, 1), Pos(db, o, 2))); return 1;
    case 41: if (!StrLocked(db, o)) Z7VMStr_Char(db, Op(o, 0), uint32_t(GetD(db, o, 1))); return 1;
    case 42:
        if (!StrLocked(db, o)) Z7VMStr_Delete(db, Op(o, 0), Op(o, 1), Pos(db, o, 3), GetD(db, o, 2));
        return 1;
    case 43: PutD(db, o, Z7VMStr_Find(db, Op(o, 1), Op(o, 2))); return 1;
    case 44: if (!StrLocked(db, o)) Z7VMStr_Insert(db, Op(o, 0), Op(o, 1), Op(o, 2), Pos(db, o, 3)); return 1;
    case 45: if (!StrLocked(db, o)) Z7VMStr_Left(db, Op(o, 0), Op(o, 1), GetD(db, o, 2)); return 1;
    case 46:
        if (!StrLocked(db, o)) Z7VMStr_Mid(db, Op(o, 0), Op(o, 1), Pos(db, o, 3), GetD(db, o, 2));
        return 1;
    case 47: PutD(db, o, Z7VMStr_GetLength(db, Op(o, 1))); return 1;
    case 48:
        if (!StrLocked(db, o)) {
            Z7VMStr_Delete(db, Op(o, 0), Op(o, 1), Pos(db, o, 4), GetD(db, o, 3));
            Z7VMStr_Insert(db, Op(o, 0), Op(o, 0), Op(o, 2), Pos(db, o, 4));
        }
        return 1;
    case 49: if (!StrLocked(db, o)) Z7VMStr_Right(db, Op(o, 0), Op(o, 1), GetD(db, o, 2)); return 1;
    case 89: PutD(db, o, Z7VMStr_AtoH(db, Op(o, 1))); return 1;
    case 90: if (!StrLocked(db, o)) Z7VMStr_HtoA(db, Op(o, 0), uint32_t(GetD(db, o, 1))); return 1;
    case 93: PutD(db, o, Z7VMStr_Crc16(db, Op(o, 1))); return 1;
    case 205: Put16(db, o, uint16_t(Z7VMStr_GetLength(db, Op(o, 1)))); return 1;
    default: return 0;
    }
}

// Operand count (result included) of each slot built here; 0: empty slot.
// Argument sections: every operand must name an existing variable.
struct Sig {
    uint8_t n;
    const char *types;  // per operand: 8 d8, 1 d16, 4 d32, 6 d64, s string
};
Sig SigOf(uint32_t fn) {
    switch (fn) {
    case 1: case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 10: case 11: case 200: case 201:
        return {2, "44"};
    case 6: case 12: case 132: case 92: return {3, "444"};
    case 106: case 107: case 108: case 109: case 110: case 111: case 115: case 116: case 117: case 202:
    case 203: case 204:
        return {2, "66"};
    case 112: case 114: case 133: return {3, "666"};
    case 91: return {2, "88"};
    case 157: return {6, "444444"};
    case 21: return {4, "4444"};
    case 22: case 23: case 24: return {3, "444"};
    case 25: return {6, "444444"};
    case 26: return {10, "4444444444"};
    case 29: return {2, "44"};
    case 32: return {4, "4844"};
    case 36: return {2, "84"};
    case 40: return {3, "4s4"};
    case 41: return {2, "s4"};
    case 42: return {4, "ss44"};
    case 43: return {3, "4ss"};
    case 44: return {4, "sss4"};
    case 45: case 49: return {3, "ss4"};
    case 46: return {4, "ss44"};
    case 47: return {2, "4s"};
    case 48: return {5, "sss44"};
    case 89: return {2, "4s"};
    case 90: return {2, "s4"};
    case 93: return {2, "4s"};
    case 205: return {2, "1s"};
    default: return {0, ""};
    }
}

bool ArgsValid(uint32_t db, uint32_t ops, const Sig &s) {
    for (uint32_t k = 0; k < s.n; k++) {
        uint32_t sec = Z7SEC_D32;
        switch (s.types[k]) {
        case '8': sec = Z7SEC_D8; break;
        case '1': sec = Z7SEC_D16; break;
        case '6': sec = Z7SEC_D64; break;
        case 's': sec = Z7SEC_STRPTR; break;
        default: break;
        }
        if (Op(ops, k) >= Z7Sec_Get(db, sec, SD_ALLOC)) return false;
    }
    return true;
}
}  // namespace

uint32_t Z7VMStf_Execute(uint32_t db, uint32_t operands) {
    if (z7stf::Mask32(db, operands) == 1) return 1;
    const uint16_t fn = Z7Mem_Get16(operands), n = Z7Mem_Get16(operands + 2);
    const uint32_t ops = operands + 4;
    const Sig s = SigOf(fn);
    if (fn < Z7STF_COUNT && s.n == 0) {
        // slots of the bit, date and system module
        const uint32_t rc = Z7VMStfBit_Execute(db, ops, n, fn);
        if (rc == 1) return 1;
        if (rc == 0 && fn == 135) return 0;  // FATALSTOP(TRUE): no log entry
        Z7VMLog_Push(db, 17, fn, 0);
        return 0;
    }
    // an empty slot, too few operands or an operand outside its section: log 17
    if (fn >= Z7STF_COUNT || s.n == 0 || n < s.n || Z7Mem_Ptr(ops, 2u * n) == nullptr || !ArgsValid(db, ops, s) ||
        Numeric(db, ops, fn) == 0) {
        Z7VMLog_Push(db, 17, fn, 0);
        return 0;
    }
    return 1;
}
