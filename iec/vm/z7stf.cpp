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

void PutF(const Z7Ops &o, double v) { o.Put32(0, std::bit_cast<uint32_t>(Z7Cnv_ToFloat(v))); }
// 1-based IEC position as a 0-based one (the lowest DINT stays lowest).
int32_t Pos(const Z7Ops &o, uint32_t k) {
    const int32_t p = o.D(k);
    return p == INT32_MIN ? p : p - 1;
}
bool Degrees(uint32_t db) { return (Z7St_Flags(db) & Z7F_DEGREES) != 0; }
bool StrLocked(const Z7Ops &o) { return o.Forced(0, 0, Z7LK_STR); }

// Repeated multiplication (or division) as the table gives it. Once r is 0,
// infinite, NaN or the base is +-1, the remaining steps can only flip its sign,
// so they are settled at once instead of looping up to 2^31 times in the scan.
double Settle(double r, double base, int64_t remaining) { return (base < 0 && (remaining & 1)) ? -r : r; }
// Steps the loop takes one by one; a longer count is finished in one step
// below, with the loop's own stopping rule (the scan is never held for
// seconds by a count near 2^31).
constexpr int64_t kExptSteps = 4096;
// The loop's remaining steps at once: r has not left its range after the
// steps taken, and |r| changes by the factor q per step (base or 1 / base in
// magnitude). The loop stops at the first step whose |r| reaches limit
// (from below when q > 1, from above when q < 1): that step's sign decides.
double ExptRest(double r, double base, int64_t rest, bool up, double limit) {
    const double q = up ? std::fabs(base) : 1.0 / std::fabs(base);
    const double lr = std::log(std::fabs(r)), lq = std::log(q), ll = std::log(limit);
    const bool toward = up ? lq > 0 : lq < 0;  // |r| moves toward the limit
    if (toward) {
        const double steps = std::ceil((ll - lr) / lq);  // first step at or past the limit
        if (steps <= double(rest)) {
            const int64_t j = steps < 1 ? 1 : int64_t(steps);
            const bool neg = (r < 0) != (base < 0 && (j & 1));
            return neg ? -limit : limit;
        }
    }
    // no stop: the power of the rest, one rounding
    return up ? r * std::pow(base, double(rest)) : r / std::pow(base, double(rest));
}
double Expt(double base, int32_t n) {
    if (n == 0) return 1.0;
    double r = 1.0;
    const bool unit = std::fabs(base) == 1.0;
    if (n > 0) {
        int64_t i = 0;
        for (; i < n && i < kExptSteps && r > -1.0e307 && r < 1.0e307; i++) {
            r *= base;
            if (r == 0 || unit) return Settle(r, base, n - i - 1);
        }
        if (i == kExptSteps && i < n && r > -1.0e307 && r < 1.0e307) r = ExptRest(r, base, n - i, true, 1.0e307);
        if (r > 1.0e307) r = 1.0e307;
        if (r < -1.0e307) r = -1.0e307;
        return r;
    }
    if (base == 0.0) return 1.0e307;
    const int64_t m = -int64_t(n);
    int64_t i = 0;
    for (; i < m && i < kExptSteps && !(r >= -1.0e-307 && r <= 1.0e-307); i++) {
        r /= base;
        if (std::isinf(r) || std::isnan(r) || unit) return Settle(r, base, m - i - 1);
    }
    if (i == kExptSteps && i < m && !(r >= -1.0e-307 && r <= 1.0e-307)) r = ExptRest(r, base, m - i, false, 1.0e-307);
    if (r > 0 && r < 1.0e-307) r = 1.0e-307;
    if (r < 0 && r > -1.0e-307) r = -1.0e-307;
    return r;
}
double Trunc(double x) { return x >= 0 ? std::floor(x) : std::ceil(x); }
double Log(double x, bool ln, double low) { return x <= 0 ? low : ln ? std::log(x) : std::log10(x); }

// Numeric functions: one switch by slot.
uint32_t Numeric(const Z7Ops &o, uint32_t fn) {
    const uint32_t db = o.db;
    const bool deg = Degrees(db);
    switch (fn) {
    case 1: {  // ABS: the sign bit cleared when the value compares below 0
        const float x = o.R(1);
        PutF(o, x < 0 ? -x : x);
        return 1;
    }
    case 116: {
        const double x = o.LR(1);
        o.SetLR(0, x < 0 ? -x : x);
        return 1;
    }
    case 2:
    case 3: {
        const double x = o.R(1);
        double r = (x < -1 || x > 1) ? 0.0 : fn == 2 ? std::acos(x) : std::asin(x);
        PutF(o, deg ? r * kDegF : r);
        return 1;
    }
    case 109:
    case 110: {
        const double x = o.LR(1);
        double r = (x < -1 || x > 1) ? 0.0 : fn == 109 ? std::acos(x) : std::asin(x);
        o.SetLR(0, deg ? r * kDegL : r);
        return 1;
    }
    case 4: {
        const float r = std::atan(o.R(1));
        PutF(o, deg ? r * kDegF : r);
        return 1;
    }
    case 111: {
        const double r = std::atan(o.LR(1));
        o.SetLR(0, deg ? r * kDegL : r);
        return 1;
    }
    case 5:
    case 8: {
        float x = o.R(1);
        if (deg) x = x / float(kDegF);
        PutF(o, fn == 5 ? std::cos(x) : std::sin(x));
        return 1;
    }
    case 106:
    case 107: {
        double x = o.LR(1);
        if (deg) x /= kDegL;
        o.SetLR(0, fn == 106 ? std::cos(x) : std::sin(x));
        return 1;
    }
    case 10:
    case 108: {
        double x = fn == 10 ? double(o.R(1)) : o.LR(1);
        if (deg) x /= fn == 10 ? kDegF : kDegL;
        const double cs = std::cos(x);
        const double r = (cs > -1.0e-307 && cs < 1.0e-307) ? (fn == 10 ? 1.0e37 : 1.0e307) : std::tan(x);
        if (fn == 10)
            PutF(o, r);
        else
            o.SetLR(0, r);
        return 1;
    }
    case 6: PutF(o, Expt(o.R(1), o.D(2))); return 1;
    case 12: {
        const double b = o.R(1), e = o.R(2);
        PutF(o, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1;
    }
    case 114: {
        const double b = o.LR(1), e = o.LR(2);
        o.SetLR(0, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1;
    }
    case 7: PutF(o, Log(o.R(1), false, -1.0e37)); return 1;
    case 204: o.SetLR(0, Log(o.LR(1), false, -1.0e307)); return 1;
    case 200: PutF(o, Log(o.R(1), true, -1.0e37)); return 1;
    case 202: o.SetLR(0, Log(o.LR(1), true, -1.0e307)); return 1;
    case 201: PutF(o, std::exp(double(o.R(1)))); return 1;
    case 203: o.SetLR(0, std::exp(o.LR(1))); return 1;
    case 9: {
        const double x = o.R(1);
        PutF(o, x <= 0 ? 0.0 : std::sqrt(x));
        return 1;
    }
    case 115: {
        const double x = o.LR(1);
        o.SetLR(0, x <= 0 ? 0.0 : std::sqrt(x));
        return 1;
    }
    case 11: PutF(o, Trunc(o.R(1))); return 1;
    case 117: o.SetLR(0, Trunc(o.LR(1))); return 1;
    case 132: {
        const double x = o.R(1), y = o.R(2);
        PutF(o, y > 0 ? std::fmod(x, y) : -1.0);
        return 1;
    }
    case 133: {
        const double x = o.LR(1), y = o.LR(2);
        o.SetLR(0, y > 0 ? std::fmod(x, y) : -1.0);
        return 1;
    }
    case 92:
    case 112: {
        const double y = fn == 92 ? double(o.R(1)) : o.LR(1);
        const double x = fn == 92 ? double(o.R(2)) : o.LR(2);
        double r = (y == 0 && x == 0) ? 0.0 : std::atan2(y, x);
        if (deg) r *= fn == 92 ? kDegF : kDegL;
        if (fn == 92)
            PutF(o, r);
        else
            o.SetLR(0, r);
        return 1;
    }
    case 91: {  // USEDEGREES: the previous mode, then the new one
        const uint8_t in = o.U8(1);
        o.Put8(0, deg ? 1 : 0);
        const uint16_t f = Z7St_Flags(db);
        Z7St_SetFlags(db, in ? uint16_t(f | Z7F_DEGREES) : uint16_t(f & ~Z7F_DEGREES));
        return 1;
    }
    case 157: {
        const float x = o.R(1), imin = o.R(2), imax = o.R(3);
        const float omin = o.R(4), omax = o.R(5);
        float r;
        if (imin >= imax)
            r = x;
        else if (x < imin)
            r = omin;
        else if (x > imax)
            r = omax;
        else
            r = (omin * imax - omax * imin) / (imax - imin) + (omax - omin) * x / (imax - imin);
        PutF(o, r);
        return 1;
    }
    case 21: {
        const int32_t mn = o.D(1), in = o.D(2), mx = o.D(3);
        o.Put32(0, uint32_t(mn > in ? mn : in <= mx ? in : mx));
        return 1;
    }
    case 22:
    case 23: {
        const int32_t a = o.D(1), b = o.D(2);
        o.Put32(0, uint32_t(fn == 22 ? (a > b ? a : b) : (a < b ? a : b)));
        return 1;
    }
    case 24: {
        const int32_t a = o.D(1), b = o.D(2);
        o.Put32(0, uint32_t(b > 0 ? a % b : -1));
        return 1;
    }
    case 25:
    case 26: {
        const int32_t k = o.D(1), n = fn == 25 ? 4 : 8;
        o.Put32(0, k >= 0 && k < n ? uint32_t(o.D(2 + uint32_t(k))) : 0u);
        return 1;
    }
    case 29: {
        const int32_t n = o.D(1);
        o.Put32(0, uint32_t(n == 0 || n == -1 ? 0 : std::rand() % n));
        return 1;
    }
    case 32: {
        const uint8_t g = o.U8(1);
        o.Put32(0, uint32_t(o.D(g ? 3 : 2)));
        return 1;
    }
    case 36: o.Put8(0, uint8_t(o.D(1) & 1)); return 1;
    // strings (1-based positions)
    case 40:
        if (!o.Forced(0, 0, Z7LK_32)) o.Put32(0, Z7VMStr_Ascii(db, o.Lit(1), Pos(o, 2)));
        return 1;
    case 41:
        if (!StrLocked(o)) Z7VMStr_Char(db, o.Lit(0), uint32_t(o.D(1)));
        return 1;
    case 42:
        if (!StrLocked(o)) Z7VMStr_Delete(db, o.Lit(0), o.Lit(1), Pos(o, 3), o.D(2));
        return 1;
    case 43: o.Put32(0, Z7VMStr_Find(db, o.Lit(1), o.Lit(2))); return 1;
    case 44:
        if (!StrLocked(o)) Z7VMStr_Insert(db, o.Lit(0), o.Lit(1), o.Lit(2), Pos(o, 3));
        return 1;
    case 45:
        if (!StrLocked(o)) Z7VMStr_Left(db, o.Lit(0), o.Lit(1), o.D(2));
        return 1;
    case 46:
        if (!StrLocked(o)) Z7VMStr_Mid(db, o.Lit(0), o.Lit(1), Pos(o, 3), o.D(2));
        return 1;
    case 47: o.Put32(0, Z7VMStr_GetLength(db, o.Lit(1))); return 1;
    case 48:
        if (!StrLocked(o)) {
            Z7VMStr_Delete(db, o.Lit(0), o.Lit(1), Pos(o, 4), o.D(3));
            Z7VMStr_Insert(db, o.Lit(0), o.Lit(0), o.Lit(2), Pos(o, 4));
        }
        return 1;
    case 49:
        if (!StrLocked(o)) Z7VMStr_Right(db, o.Lit(0), o.Lit(1), o.D(2));
        return 1;
    case 89: o.Put32(0, Z7VMStr_AtoH(db, o.Lit(1))); return 1;
    case 90:
        if (!StrLocked(o)) Z7VMStr_HtoA(db, o.Lit(0), uint32_t(o.D(1)));
        return 1;
    case 93: o.Put32(0, Z7VMStr_Crc16(db, o.Lit(1))); return 1;
    case 205: o.Put16(0, uint16_t(Z7VMStr_GetLength(db, o.Lit(1)))); return 1;
    default: return 0;
    }
}

// Operand count (result included) and sections of each slot built here
// (8 d8, 1 d16, 4 d32, 6 d64, s string); 0: empty slot.
using z7stf::Sig;
Sig SigOf(uint32_t fn) {
    switch (fn) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 200:
    case 201: return {2, "44"};
    case 6:
    case 12:
    case 132:
    case 92: return {3, "444"};
    case 106:
    case 107:
    case 108:
    case 109:
    case 110:
    case 111:
    case 115:
    case 116:
    case 117:
    case 202:
    case 203:
    case 204: return {2, "66"};
    case 112:
    case 114:
    case 133: return {3, "666"};
    case 91: return {2, "88"};
    case 157: return {6, "444444"};
    case 21: return {4, "4444"};
    case 22:
    case 23:
    case 24: return {3, "444"};
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
    case 45:
    case 49: return {3, "ss4"};
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

// Every call but the 32-bit masks (kept apart so that the mask path stays
// a short leaf).
[[gnu::noinline]] uint32_t General(uint32_t db, uint32_t operands) {
    const uint16_t fn = Z7Mem_Get16(operands);
    Z7Ops o;
    const bool open = z7stf::Open(db, operands + 4, o);
    const Sig s = SigOf(fn);
    if (fn < Z7STF_COUNT && s.n == 0) {
        // slots of the bit, date and system module
        const uint32_t rc = open ? Z7VMStfBit_Execute(o, fn) : 0;
        if (rc == 1) return 1;
        if (rc == 0 && fn == 135) return 0;  // FATALSTOP(TRUE): no log entry
        Z7VMLog_Push(db, 17, fn, 0);
        return 0;
    }
    // an empty slot, too few operands or an operand outside its section: log 17
    if (fn >= Z7STF_COUNT || s.n == 0 || !open || o.n < s.n || !z7stf::Valid(o, s) || Numeric(o, fn) == 0) {
        Z7VMLog_Push(db, 17, fn, 0);
        return 0;
    }
    return 1;
}
}  // namespace

uint32_t Z7VMStf_Execute(uint32_t db, uint32_t operands) {
    return z7stf::Mask32(db, operands) == 1 ? 1 : General(db, operands);
}
