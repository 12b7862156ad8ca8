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
#include "iec/vm/z7stfs.h"
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
// A base of -0.0 flips the sign of a zero at every step as a negative base
// does; a NaN base leaves a NaN as it is.
double Settle(double r, double base, int64_t remaining) {
    return (std::signbit(base) && !std::isnan(base) && (remaining & 1)) ? -r : r;
}
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

// ACOS / ASIN on REAL: 0 outside [-1, 1]; in degrees when USEDEGREES is on.
uint32_t ArcR(const Z7Ops &o, bool arccos) {
    const bool deg = Degrees(o.db);
    const double x = o.R(1);
    double r = (x < -1 || x > 1) ? 0.0 : arccos ? std::acos(x) : std::asin(x);
    PutF(o, deg ? r * kDegF : r);
    return 1;
}
// ACOSL / ASINL: the same on LREAL.
uint32_t ArcLR(const Z7Ops &o, bool arccos) {
    const bool deg = Degrees(o.db);
    const double x = o.LR(1);
    double r = (x < -1 || x > 1) ? 0.0 : arccos ? std::acos(x) : std::asin(x);
    o.SetLR(0, deg ? r * kDegL : r);
    return 1;
}
// COS / SIN on REAL, in single precision; the angle in degrees when
// USEDEGREES is on.
uint32_t CosSinR(const Z7Ops &o, bool cosine) {
    const bool deg = Degrees(o.db);
    float x = o.R(1);
    if (deg) x = x / float(kDegF);
    PutF(o, cosine ? std::cos(x) : std::sin(x));
    return 1;
}
// COSL / SINL: the same on LREAL.
uint32_t CosSinLR(const Z7Ops &o, bool cosine) {
    const bool deg = Degrees(o.db);
    double x = o.LR(1);
    if (deg) x /= kDegL;
    o.SetLR(0, cosine ? std::cos(x) : std::sin(x));
    return 1;
}
// TAN (single) / TANL: the type's largest value where the cosine is 0.
uint32_t Tan(const Z7Ops &o, bool single) {
    const bool deg = Degrees(o.db);
    double x = single ? double(o.R(1)) : o.LR(1);
    if (deg) x /= single ? kDegF : kDegL;
    const double cs = std::cos(x);
    const double r = (cs > -1.0e-307 && cs < 1.0e-307) ? (single ? 1.0e37 : 1.0e307) : std::tan(x);
    if (single)
        PutF(o, r);
    else
        o.SetLR(0, r);
    return 1;
}
// ATAN2 (single) / ATAN2L of (y, x): 0 at the origin.
uint32_t Atan2(const Z7Ops &o, bool single) {
    const bool deg = Degrees(o.db);
    const double y = single ? double(o.R(1)) : o.LR(1);
    const double x = single ? double(o.R(2)) : o.LR(2);
    double r = (y == 0 && x == 0) ? 0.0 : std::atan2(y, x);
    if (deg) r *= single ? kDegF : kDegL;
    if (single)
        PutF(o, r);
    else
        o.SetLR(0, r);
    return 1;
}
// MAX / MIN of two DINTs.
uint32_t MaxMin(const Z7Ops &o, bool max) {
    const int32_t a = o.D(1), b = o.D(2);
    o.Put32(0, uint32_t(max ? (a > b ? a : b) : (a < b ? a : b)));
    return 1;
}
// MUX4 / MUX8: input k of n (0-based), 0 when k is out of range.
uint32_t Mux(const Z7Ops &o, int32_t n) {
    const int32_t k = o.D(1);
    o.Put32(0, k >= 0 && k < n ? uint32_t(o.D(2 + uint32_t(k))) : 0u);
    return 1;
}

}  // namespace

// ---- REAL and LREAL mathematics ---------------------------------------------------------------

// ABS: the sign bit cleared when the value compares below 0; any other value
// (a NaN included, signalling or not) is stored bit for bit as it came.
uint32_t _STFS_ABS(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const uint32_t bits = o.U32(1);
        o.Put32(0, std::bit_cast<float>(bits) < 0 ? bits & 0x7FFFFFFFu : bits);
        return 1u;
    });
}
// ABSL: the same on LREAL.
uint32_t _STFS_ABSL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        const double x = o.LR(1);
        o.SetLR(0, x < 0 ? -x : x);
        return 1u;
    });
}

// Arc cosine and arc sine.
uint32_t _STFS_ACOS(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) { return ArcR(o, true); });
}
uint32_t _STFS_ASIN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) { return ArcR(o, false); });
}
uint32_t _STFS_ACOSL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) { return ArcLR(o, true); });
}
uint32_t _STFS_ASINL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) { return ArcLR(o, false); });
}

// ATAN: the arc tangent in single precision, in degrees when USEDEGREES is on.
uint32_t _STFS_ATAN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const bool deg = Degrees(o.db);
        const float r = std::atan(o.R(1));
        PutF(o, deg ? r * kDegF : r);
        return 1u;
    });
}
// ATANL: the same on LREAL.
uint32_t _STFS_ATANL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        const bool deg = Degrees(o.db);
        const double r = std::atan(o.LR(1));
        o.SetLR(0, deg ? r * kDegL : r);
        return 1u;
    });
}

// Arc tangent of (y, x).
uint32_t _STFS_ATAN2(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) { return Atan2(o, true); });
}
uint32_t _STFS_ATAN2L(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "666"}, [](const Z7Ops &o) { return Atan2(o, false); });
}

// Cosine and sine.
uint32_t _STFS_COS(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) { return CosSinR(o, true); });
}
uint32_t _STFS_SIN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) { return CosSinR(o, false); });
}
uint32_t _STFS_COSL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) { return CosSinLR(o, true); });
}
uint32_t _STFS_SINL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) { return CosSinLR(o, false); });
}

// Tangent.
uint32_t _STFS_TAN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) { return Tan(o, true); });
}
uint32_t _STFS_TANL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) { return Tan(o, false); });
}

// EXPT: a REAL to a DINT power by repeated multiplication.
uint32_t _STFS_EXPT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        PutF(o, Expt(o.R(1), o.D(2)));
        return 1u;
    });
}
// POW: a REAL to a REAL power; 0 ** 0 gives 0.
uint32_t _STFS_POW(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        const double b = o.R(1), e = o.R(2);
        PutF(o, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1u;
    });
}
// POWL: the same on LREAL.
uint32_t _STFS_POWL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "666"}, [](const Z7Ops &o) {
        const double b = o.LR(1), e = o.LR(2);
        o.SetLR(0, b == 0 && e == 0 ? 0.0 : std::pow(b, e));
        return 1u;
    });
}

// Decimal and natural logarithms: the type's lowest value for x <= 0.
uint32_t _STFS_LOG(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        PutF(o, Log(o.R(1), false, -1.0e37));
        return 1u;
    });
}
uint32_t _STFS_LOGL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        o.SetLR(0, Log(o.LR(1), false, -1.0e307));
        return 1u;
    });
}
uint32_t _STFS_LN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        PutF(o, Log(o.R(1), true, -1.0e37));
        return 1u;
    });
}
uint32_t _STFS_LNL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        o.SetLR(0, Log(o.LR(1), true, -1.0e307));
        return 1u;
    });
}

// EXP / EXPL: the natural exponential.
uint32_t _STFS_EXP(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        PutF(o, std::exp(double(o.R(1))));
        return 1u;
    });
}
uint32_t _STFS_EXPL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        o.SetLR(0, std::exp(o.LR(1)));
        return 1u;
    });
}

// SQRT: the square root, 0 for x <= 0.
uint32_t _STFS_SQRT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const double x = o.R(1);
        PutF(o, x <= 0 ? 0.0 : std::sqrt(x));
        return 1u;
    });
}
// SQRTL: the same on LREAL.
uint32_t _STFS_SQRTL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        const double x = o.LR(1);
        o.SetLR(0, x <= 0 ? 0.0 : std::sqrt(x));
        return 1u;
    });
}

// TRUNC / TRUNCL: the integer part, toward 0.
uint32_t _STFS_TRUNC(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        PutF(o, Trunc(o.R(1)));
        return 1u;
    });
}
uint32_t _STFS_TRUNCL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        o.SetLR(0, Trunc(o.LR(1)));
        return 1u;
    });
}

// MODR: the REAL remainder, -1 for a divisor <= 0.
uint32_t _STFS_MODR(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        const double x = o.R(1), y = o.R(2);
        PutF(o, y > 0 ? std::fmod(x, y) : -1.0);
        return 1u;
    });
}
// MODLR: the same on LREAL.
uint32_t _STFS_MODLR(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "666"}, [](const Z7Ops &o) {
        const double x = o.LR(1), y = o.LR(2);
        o.SetLR(0, y > 0 ? std::fmod(x, y) : -1.0);
        return 1u;
    });
}

// USEDEGREES: the previous mode, then the new one.
uint32_t _STFS_USEDEGREES(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "88"}, [](const Z7Ops &o) {
        const bool deg = Degrees(o.db);
        const uint8_t in = o.U8(1);
        o.Put8(0, deg ? 1 : 0);
        const uint16_t f = Z7St_Flags(o.db);
        Z7St_SetFlags(o.db, in ? uint16_t(f | Z7F_DEGREES) : uint16_t(f & ~Z7F_DEGREES));
        return 1u;
    });
}

// SCALELIN: x scaled linearly from [imin, imax] to [omin, omax], clamped to
// the ends; x as it is when the input range is empty.
uint32_t _STFS_SCALELIN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {6, "444444"}, [](const Z7Ops &o) {
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
        // stored as the float it is: a value passed on (x, omin, omax) keeps
        // every bit, a signalling NaN included
        o.SetR(0, r);
        return 1u;
    });
}

// ---- DINT selection and arithmetic ------------------------------------------------------------

// LIMIT(mn, in, mx): in held between mn and mx, mn winning.
uint32_t _STFS_LIMIT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "4444"}, [](const Z7Ops &o) {
        const int32_t mn = o.D(1), in = o.D(2), mx = o.D(3);
        o.Put32(0, uint32_t(mn > in ? mn : in <= mx ? in : mx));
        return 1u;
    });
}

// The larger and the smaller of two DINTs.
uint32_t _STFS_MAX(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) { return MaxMin(o, true); });
}
uint32_t _STFS_MIN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) { return MaxMin(o, false); });
}

// MOD: the DINT remainder, -1 for a divisor <= 0.
uint32_t _STFS_MOD(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        const int32_t a = o.D(1), b = o.D(2);
        o.Put32(0, uint32_t(b > 0 ? a % b : -1));
        return 1u;
    });
}

// One of 4 or 8 DINT inputs.
uint32_t _STFS_MUX4(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {6, "444444"}, [](const Z7Ops &o) { return Mux(o, 4); });
}
uint32_t _STFS_MUX8(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {10, "4444444444"}, [](const Z7Ops &o) { return Mux(o, 8); });
}

// RAND: a pseudo-random value below n (0 for n of 0 or -1).
uint32_t _STFS_RAND(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        const int32_t n = o.D(1);
        o.Put32(0, uint32_t(n == 0 || n == -1 ? 0 : std::rand() % n));
        return 1u;
    });
}

// SEL(g, in0, in1): in1 when g is set, else in0.
uint32_t _STFS_SEL(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "4844"}, [](const Z7Ops &o) {
        const uint8_t g = o.U8(1);
        o.Put32(0, uint32_t(o.D(g ? 3 : 2)));
        return 1u;
    });
}

// ODD: TRUE when the DINT is odd.
uint32_t _STFS_ODD(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(o.D(1) & 1));
        return 1u;
    });
}

// ---- strings (1-based positions) --------------------------------------------------------------

// ASCII(s, pos): the code of the character at pos.
uint32_t _STFS_ASCII(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "4s4"}, [](const Z7Ops &o) {
        if (!o.Forced(0, 0, Z7LK_32)) o.Put32(0, Z7VMStr_Ascii(o.db, o.Lit(1), Pos(o, 2)));
        return 1u;
    });
}
// CHAR(code): a one-character string.
uint32_t _STFS_CHAR(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "s4"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Char(o.db, o.Lit(0), uint32_t(o.D(1)));
        return 1u;
    });
}
// DELETE(s, n, pos): s without n characters from pos.
uint32_t _STFS_DELETE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "ss44"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Delete(o.db, o.Lit(0), o.Lit(1), Pos(o, 3), o.D(2));
        return 1u;
    });
}
// FIND(s, pattern): the position of pattern in s.
uint32_t _STFS_FIND(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "4ss"}, [](const Z7Ops &o) {
        o.Put32(0, Z7VMStr_Find(o.db, o.Lit(1), o.Lit(2)));
        return 1u;
    });
}
// INSERT(s, part, pos): part put into s after pos.
uint32_t _STFS_INSERT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "sss4"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Insert(o.db, o.Lit(0), o.Lit(1), o.Lit(2), Pos(o, 3));
        return 1u;
    });
}
// LEFT(s, n): the first n characters.
uint32_t _STFS_LEFT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "ss4"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Left(o.db, o.Lit(0), o.Lit(1), o.D(2));
        return 1u;
    });
}
// MID(s, n, pos): n characters from pos.
uint32_t _STFS_MID(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {4, "ss44"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Mid(o.db, o.Lit(0), o.Lit(1), Pos(o, 3), o.D(2));
        return 1u;
    });
}
// MLEN: the length of a string as a DINT.
uint32_t _STFS_MLEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, Z7VMStr_GetLength(o.db, o.Lit(1)));
        return 1u;
    });
}
// REPLACE(s, part, n, pos): n characters from pos deleted, then part put in
// their place. part is taken before the deletion writes the result: the
// result may be part's own variable (s2 := REPLACE(s1, s2, ...)), which would
// otherwise put the shortened s1 in the place of part.
uint32_t _STFS_REPLACE(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {5, "sss44"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) {
            uint8_t part[256];
            uint32_t n = Z7VMStr_GetLength(o.db, o.Lit(2));
            const uint8_t *text = n != 0 ? Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(2)), n) : nullptr;
            if (text == nullptr) n = 0;
            if (n != 0) std::memcpy(part, text, n);
            Z7VMStr_Delete(o.db, o.Lit(0), o.Lit(1), Pos(o, 4), o.D(3));
            Z7VMStr_InsertText(o.db, o.Lit(0), o.Lit(0), part, n, Pos(o, 4));
        }
        return 1u;
    });
}
// RIGHT(s, n): the last n characters.
uint32_t _STFS_RIGHT(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {3, "ss4"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_Right(o.db, o.Lit(0), o.Lit(1), o.D(2));
        return 1u;
    });
}
// ATOH: a hexadecimal string as a DINT.
uint32_t _STFS_ATOH(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, Z7VMStr_AtoH(o.db, o.Lit(1)));
        return 1u;
    });
}
// HTOA: a DINT as a hexadecimal string.
uint32_t _STFS_HTOA(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "s4"}, [](const Z7Ops &o) {
        if (!StrLocked(o)) Z7VMStr_HtoA(o.db, o.Lit(0), uint32_t(o.D(1)));
        return 1u;
    });
}
// CRC16: the checksum of a string's characters.
uint32_t _STFS_CRC16(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        o.Put32(0, Z7VMStr_Crc16(o.db, o.Lit(1)));
        return 1u;
    });
}
// F_LEN: the length of a string as an INT.
uint32_t _STFS_F_LEN(uint32_t db, uint32_t operands, uint32_t) {
    return z7stf::Call(db, operands, {2, "1s"}, [](const Z7Ops &o) {
        o.Put16(0, uint16_t(Z7VMStr_GetLength(o.db, o.Lit(1))));
        return 1u;
    });
}

// ---- registry parameters ----------------------------------------------------------------------

// REGPARGET / REGPARPUT: no registry in this runtime; the call stops the
// application with log 17.
uint32_t _STFS_REGPARGET(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t _STFS_REGPARPUT(uint32_t, uint32_t, uint32_t) { return 0; }

// Indexed by function number; the numbers are fixed by the compiler that
// builds the code image. Empty slots stay nullptr.
const std::array<Z7StfHandler, Z7STF_COUNT> _STFS = {
    nullptr,                // 0
    _STFS_ABS,              // 1
    _STFS_ACOS,             // 2
    _STFS_ASIN,             // 3
    _STFS_ATAN,             // 4
    _STFS_COS,              // 5
    _STFS_EXPT,             // 6
    _STFS_LOG,              // 7
    _STFS_SIN,              // 8
    _STFS_SQRT,             // 9
    _STFS_TAN,              // 10
    _STFS_TRUNC,            // 11
    _STFS_POW,              // 12
    _STFS_VSISTAMPGMT,      // 13
    _STFS_UDPSENDTOARRAY,   // 14
    _STFS_UDPRCVFROMARRAY,  // 15
    _STFS_FR_READ,          // 16
    _STFS_FR_WRITE,         // 17
    _STFS_F_FLUSH,          // 18
    _STFS_F_SEEK,           // 19
    _STFS_ANDMASK,          // 20
    _STFS_LIMIT,            // 21
    _STFS_MAX,              // 22
    _STFS_MIN,              // 23
    _STFS_MOD,              // 24
    _STFS_MUX4,             // 25
    _STFS_MUX8,             // 26
    _STFS_NOTMASK,          // 27
    _STFS_ORMASK,           // 28
    _STFS_RAND,             // 29
    _STFS_ROL,              // 30
    _STFS_ROR,              // 31
    _STFS_SEL,              // 32
    _STFS_SHL,              // 33
    _STFS_SHR,              // 34
    _STFS_XORMASK,          // 35
    _STFS_ODD,              // 36
    nullptr,                // 37
    nullptr,                // 38
    nullptr,                // 39
    _STFS_ASCII,            // 40
    _STFS_CHAR,             // 41
    _STFS_DELETE,           // 42
    _STFS_FIND,             // 43
    _STFS_INSERT,           // 44
    _STFS_LEFT,             // 45
    _STFS_MID,              // 46
    _STFS_MLEN,             // 47
    _STFS_REPLACE,          // 48
    _STFS_RIGHT,            // 49
    nullptr,                // 50
    nullptr,                // 51
    nullptr,                // 52
    nullptr,                // 53
    nullptr,                // 54
    nullptr,                // 55
    nullptr,                // 56
    nullptr,                // 57
    nullptr,                // 58
    nullptr,                // 59
    _STFS_ARCREATE,         // 60
    _STFS_ARREAD,           // 61
    _STFS_ARWRITE,          // 62
    _STFS_DAY_TIME,         // 63
    nullptr,                // 64
    nullptr,                // 65
    nullptr,                // 66
    nullptr,                // 67
    nullptr,                // 68
    nullptr,                // 69
    _STFS_F_ROPEN,          // 70
    _STFS_F_WOPEN,          // 71
    _STFS_FA_READ,          // 72
    _STFS_FM_READ,          // 73
    _STFS_FA_WRITE,         // 74
    _STFS_FM_WRITE,         // 75
    _STFS_F_CLOSE,          // 76
    _STFS_F_EOF,            // 77
    _STFS_BIN_TO_BCD,       // 78
    _STFS_BCD_TO_BIN,       // 79
    _STFS_PRINTF,           // 80
    _STFS_ROLW,             // 81
    _STFS_RORW,             // 82
    _STFS_SHLW,             // 83
    _STFS_SHRW,             // 84
    _STFS_ROLB,             // 85
    _STFS_RORB,             // 86
    _STFS_SHLB,             // 87
    _STFS_SHRB,             // 88
    _STFS_ATOH,             // 89
    _STFS_HTOA,             // 90
    _STFS_USEDEGREES,       // 91
    _STFS_ATAN2,            // 92
    _STFS_CRC16,            // 93
    _STFS_LOGMESSAGE,       // 94
    _STFS_MOVEBLOCK,        // 95
    _STFS_ANDWORD,          // 96
    _STFS_ORWORD,           // 97
    _STFS_XORWORD,          // 98
    _STFS_NOTWORD,          // 99
    _STFS_ANDBYTE,          // 100
    _STFS_ORBYTE,           // 101
    _STFS_XORBYTE,          // 102
    _STFS_NOTBYTE,          // 103
    _STFS_SERIALIZEOUT,     // 104
    _STFS_SERIALIZEIN,      // 105
    _STFS_COSL,             // 106
    _STFS_SINL,             // 107
    _STFS_TANL,             // 108
    _STFS_ACOSL,            // 109
    _STFS_ASINL,            // 110
    _STFS_ATANL,            // 111
    _STFS_ATAN2L,           // 112
    _STFS_GETSYSINFO,       // 113
    _STFS_POWL,             // 114
    _STFS_SQRTL,            // 115
    _STFS_ABSL,             // 116
    _STFS_TRUNCL,           // 117
    _STFS_DTCURTIME,        // 118
    _STFS_DTCURDATE,        // 119
    _STFS_DTDAY,            // 120
    _STFS_DTMONTH,          // 121
    _STFS_DTYEAR,           // 122
    _STFS_DTSEC,            // 123
    _STFS_DTMIN,            // 124
    _STFS_DTHOUR,           // 125
    _STFS_DTMS,             // 126
    _STFS_ASIREADPP,        // 127
    _STFS_ASIWRITEPP,       // 128
    _STFS_ASISENDPAR,       // 129
    _STFS_ASIREADPI,        // 130
    _STFS_ASISTOREPI,       // 131
    _STFS_MODR,             // 132
    _STFS_MODLR,            // 133
    _STFS_MBSHIFT,          // 134
    _STFS_FATALSTOP,        // 135
    _STFS_CYCLESTOP,        // 136
    _STFS_STRINGTOARRAY,    // 137
    _STFS_ARRAYTOSTRING,    // 138
    _STFS_SRINGTOARRAY32,   // 139
    _STFS_ARRAYTOSTRING32,  // 140
    _STFS_SRINGTOARRAY16,   // 141
    _STFS_ARRAYTOSTRING16,  // 142
    _STFS_GETVARBYNAME,     // 143
    _STFS_GETVARBYADDR,     // 144
    _STFS_GETVARSYMBOL,     // 145
    _STFS_GETVARPROFILE,    // 146
    _STFS_GETVARTYPENAME,   // 147
    _STFS_TCPLISTEN,        // 148
    _STFS_TCPACCEPT,        // 149
    _STFS_TCPCLOSE,         // 150
    _STFS_TCPSEND,          // 151
    _STFS_TCPRECEIVE,       // 152
    _STFS_TCPCONNECT,       // 153
    _STFS_TCPISCONNECTED,   // 154
    _STFS_TCPISVALID,       // 155
    _STFS_ENABLEEVENTS,     // 156
    _STFS_SCALELIN,         // 157
    _STFS_RCPAPPLY,         // 158
    _STFS_SERGETSTRING,     // 159
    _STFS_SERPUTSTRING,     // 160
    _STFS_COUNTOF,          // 161
    _STFS_LOBYTE,           // 162
    _STFS_HIBYTE,           // 163
    _STFS_LOWORD,           // 164
    _STFS_HIWORD,           // 165
    _STFS_MAKEWORD,         // 166
    _STFS_MAKEDWORD,        // 167
    _STFS_PACK8,            // 168
    _STFS_SETBIT,           // 169
    _STFS_TESTBIT,          // 170
    _STFS_DTFORMAT,         // 171
    _STFS_FB_READ,          // 172
    _STFS_FB_WRITE,         // 173
    _STFS_F_AOPEN,          // 174
    _STFS_STRINGTABLE,      // 175
    _STFS_LOADSTRING,       // 176
    _STFS_SIGSCALE,         // 177
    _STFS_F_EXIST,          // 178
    _STFS_F_GETSIZE,        // 179
    _STFS_F_COPY,           // 180
    _STFS_F_DELETE,         // 181
    _STFS_F_RENAME,         // 182
    _STFS_UDPCREATE,        // 183
    _STFS_UDPADDRMAKE,      // 184
    _STFS_UDPSENDTO,        // 185
    _STFS_UDPRCVFROM,       // 186
    _STFS_VSIGETBIT,        // 187
    _STFS_VSISETBIT,        // 188
    _STFS_VSIGETDATE,       // 189
    _STFS_VSISETDATE,       // 190
    _STFS_VSIGETTIME,       // 191
    _STFS_VSISETTIME,       // 192
    _STFS_VSISTAMP,         // 193
    _STFS_REGPARGET,        // 194
    _STFS_REGPARPUT,        // 195
    _STFS_NUMTOSTRING,      // 196
    _STFS_F_ISREADY,        // 197
    _STFS_SETCSVOPT,        // 198
    _STFS_CANSND,           // 199
    _STFS_LN,               // 200
    _STFS_EXP,              // 201
    _STFS_LNL,              // 202
    _STFS_EXPL,             // 203
    _STFS_LOGL,             // 204
    _STFS_F_LEN,            // 205
    _STFS_ROL64,            // 206
    _STFS_ROR64,            // 207
    _STFS_SHL64,            // 208
    _STFS_SHR64,            // 209
    _STFS_AND64,            // 210
    _STFS_OR64,             // 211
    _STFS_XOR64,            // 212
    _STFS_NOT64,            // 213
    _STFS_TCPSENDARRAY,     // 214
    _STFS_TCPRCVARRAY,      // 215
    _STFS_F_SAVERETAIN,     // 216
    _STFS_F_LOADRETAIN,     // 217
    _STFS_MBSLAVEIDENT,     // 218
    _STFS_SWAB,             // 219
    _STFS_VSICOPY,          // 220
    nullptr,                // 221
};

uint32_t Z7VMStf_Execute(uint32_t db, uint32_t operands) {
    // the 32-bit masks first, on a short path of their own
    if (z7stf::Mask32(db, operands) == 1) return 1;
    const uint16_t fn = Z7Mem_Get16(operands);
    const Z7StfHandler h = fn < Z7STF_COUNT ? _STFS[fn] : nullptr;
    if (h != nullptr && h(db, operands + 4, fn) != 0) return 1;
    if (fn == 135) return 0;  // FATALSTOP(TRUE) stops without a log entry
    // a number past the table, an empty slot or a handler that refused
    Z7VMLog_Push(db, 17, fn, 0);
    return 0;
}
