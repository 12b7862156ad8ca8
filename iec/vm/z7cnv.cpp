// Type conversions of the VM (interpreter conversions, binary conversions
// for the exchanges with external data, and decimal text), with the
// float-to-integer primitives (shared with the ladder engine) and the 32-bit
// strtol of the board.
#include "iec/vm/z7cnv.h"

#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/numconv.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

// ---- primitives -------------------------------------------------------------------------------
int32_t Z7Cnv_S32(double v) { return NumCnv_FloatToS32(v); }

uint32_t Z7Cnv_U32(double v) { return NumCnv_FloatToU32(v); }

int64_t Z7Cnv_S64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return int64_t(v);
}

uint64_t Z7Cnv_U64(double v) {
    if (std::isnan(v) || v <= 0) return 0;
    if (v >= 18446744073709551615.0) return UINT64_MAX;
    return uint64_t(v);
}

float Z7Cnv_ToFloat(double v) {
    if (std::isfinite(v) && std::fabs(v) > double(FLT_MAX)) {
        // beyond the largest float by half a unit in the last place: infinity
        const double limit = 0x1.ffffffp127;
        if (std::fabs(v) >= limit) return v > 0 ? INFINITY : -INFINITY;
        return v > 0 ? FLT_MAX : -FLT_MAX;
    }
    return float(v);
}

int32_t Z7Cnv_Strtol32(const char *text) { return text == nullptr ? 0 : NumCnv_Strtol32(text, std::strlen(text)); }

// ---- a value read from its variable --------------------------------------------------------
namespace {
enum class K { Int, Real, Str, None };
struct Val {
    K k = K::None;
    uint32_t type = 0;
    int64_t i = 0;      // integers, sign- or zero-extended by type
    double f = 0;       // REAL (widened) and LREAL
    uint32_t slot = 0;  // STRING
    uint32_t len = 0;   // STRING: current length (a NUL character counts)
};

uint32_t Width(uint32_t type) {
    switch (type) {
    case IEC_BOOL:
    case IEC_SINT:
    case IEC_USINT: return 1;
    case IEC_INT:
    case IEC_UINT: return 2;
    case IEC_DINT:
    case IEC_UDINT:
    case IEC_TIME:
    case IEC_REAL: return 4;
    case IEC_LINT:
    case IEC_ULINT:
    case IEC_LREAL: return 8;
    default: return 0;
    }
}

Val Read(const uint8_t *p, uint32_t type) {
    Val v;
    v.type = type;
    if (p == nullptr) return v;
    v.k = K::Int;
    switch (type) {
    case IEC_BOOL:
    case IEC_SINT:
    case IEC_USINT: v.i = p[0]; break;
    case IEC_INT: v.i = int16_t(uint16_t(p[0] | p[1] << 8)); break;
    case IEC_UINT: v.i = uint16_t(p[0] | p[1] << 8); break;
    case IEC_DINT: {
        int32_t x;
        std::memcpy(&x, p, 4);
        v.i = x;
        break;
    }
    case IEC_UDINT:
    case IEC_TIME: {
        uint32_t x;
        std::memcpy(&x, p, 4);
        v.i = x;
        break;
    }
    case IEC_LINT:
    case IEC_ULINT: std::memcpy(&v.i, p, 8); break;
    case IEC_REAL: {
        float x;
        std::memcpy(&x, p, 4);
        v.f = x;
        v.k = K::Real;
        break;
    }
    case IEC_LREAL:
        std::memcpy(&v.f, p, 8);
        v.k = K::Real;
        break;
    default: v.k = K::None; break;
    }
    return v;
}

// Float to the destination's integer through the primitive the rules name.
// bin: the binary-conversion variant (U32 for UDINT, USINT and UINT).
uint64_t FloatToInt(double f, uint32_t dst, bool bin) {
    switch (dst) {
    case IEC_SINT:
    case IEC_TIME: return Z7Cnv_U32(f);
    case IEC_USINT:
    case IEC_UINT:
    case IEC_UDINT: return bin ? Z7Cnv_U32(f) : uint32_t(Z7Cnv_S32(f));
    case IEC_INT:
    case IEC_DINT: return uint32_t(Z7Cnv_S32(f));
    case IEC_LINT: return uint64_t(Z7Cnv_S64(f));
    case IEC_ULINT: return Z7Cnv_U64(f);
    default: return 0;
    }
}

// Writes the value converted to dst_type at out (numeric destinations);
// answers false when nothing was written.
bool WriteNum(uint8_t *out, uint32_t dst_type, const Val &v, bool bin, const char *text) {
    const uint32_t w = Width(dst_type);
    if (w == 0 || out == nullptr) return false;
    uint64_t bits = 0;
    if (dst_type == IEC_BOOL) {
        bool b = false;
        if (v.k == K::Int)
            b = v.i != 0;
        else if (v.k == K::Real)
            b = v.f != 0.0;  // NaN is TRUE
        else if (v.k == K::Str)
            b = v.len != 0;  // not empty, even when its first character is NUL
        out[0] = b ? 1 : 0;
        return true;
    }
    if (dst_type == IEC_REAL || dst_type == IEC_LREAL) {
        double d = 0;
        if (v.k == K::Int) {
            if (v.type == IEC_BOOL && !bin)
                d = v.i ? 1.0 : 0.0;
            else if (v.type == IEC_ULINT)
                d = double(uint64_t(v.i));
            else
                d = double(v.i);
        } else if (v.k == K::Real) {
            d = v.f;
        } else if (v.k == K::Str) {
            d = std::strtod(text, nullptr);
        }
        if (dst_type == IEC_REAL) {
            // a 64-bit integer goes to the nearest float in one rounding (by
            // way of a double it could land on a midpoint and go the wrong way)
            float f = Z7Cnv_ToFloat(d);
            if (v.k == K::Int && v.type == IEC_LINT) f = float(v.i);
            if (v.k == K::Int && v.type == IEC_ULINT) f = float(uint64_t(v.i));
            std::memcpy(out, &f, 4);
        } else {
            std::memcpy(out, &d, 8);
        }
        return true;
    }
    if (v.k == K::Int) {
        // a BOOL is 0 or 1 as a TIME whatever its byte holds (the binary
        // form copies the byte, as for any 8-bit value)
        bits = v.type == IEC_BOOL && dst_type == IEC_TIME && !bin ? uint64_t(v.i != 0) : uint64_t(v.i);
    } else if (v.k == K::Real) {
        bits = FloatToInt(v.f, dst_type, bin);
    } else if (v.k == K::Str) {
        if (dst_type == IEC_UDINT) {
            const char *p = text;
            while (*p == ' ') p++;
            uint32_t u = 0;
            for (; *p >= '0' && *p <= '9'; p++) u = u * 10u + uint32_t(*p - '0');
            bits = u;
        } else if (dst_type == IEC_LINT || dst_type == IEC_ULINT) {
            // as Z7VMStr_AtoLINT: blanks first, then '-' and the digits
            const char *p = text;
            while (*p == ' ') p++;
            bits = uint64_t(Z7VMStr_SZtoLINT(p));
        } else {
            bits = uint64_t(int64_t(Z7Cnv_Strtol32(text)));
        }
    } else {
        return false;
    }
    for (uint32_t b = 0; b < w; b++) out[b] = uint8_t(bits >> (8 * b));
    return true;
}

// Decimal text of an integer or float value as the STRING destination shows it.
void Text(const Val &v, char *out, size_t n) {
    if (v.k == K::Real) {
        std::snprintf(out, n, "%g", v.f);
        return;
    }
    switch (v.type) {
    case IEC_BOOL: std::snprintf(out, n, "%d", v.i ? 1 : 0); break;
    case IEC_DINT:
    case IEC_INT: std::snprintf(out, n, "%" PRId32, int32_t(v.i)); break;
    case IEC_TIME: std::snprintf(out, n, "%" PRId32, int32_t(uint32_t(v.i))); break;
    case IEC_LINT:
    case IEC_ULINT: std::snprintf(out, n, "%" PRId64, v.i); break;
    default: std::snprintf(out, n, "%" PRIu64, uint64_t(v.i)); break;
    }
}
}  // namespace

uint32_t Z7VMCnv_VarAddr(uint32_t db, uint32_t type, uint32_t idx) {
    uint32_t sec;
    switch (type) {
    case IEC_BOOL:
    case IEC_SINT:
    case IEC_USINT: sec = Z7SEC_D8; break;
    case IEC_INT:
    case IEC_UINT: sec = Z7SEC_D16; break;
    case IEC_DINT:
    case IEC_UDINT:
    case IEC_REAL: sec = Z7SEC_D32; break;
    case IEC_TIME: sec = Z7SEC_TIME; break;
    case IEC_LINT:
    case IEC_ULINT:
    case IEC_LREAL: sec = Z7SEC_D64; break;
    default: return 0;
    }
    return Z7Sec_Elem(db, sec, idx);
}

void Z7VMCnv_Convert(uint32_t db, uint32_t operands) {
    const uint16_t di = Z7Mem_Get16(operands), si = Z7Mem_Get16(operands + 2);
    const uint16_t dt = Z7Mem_Get16(operands + 4), st = Z7Mem_Get16(operands + 6);
    if (dt == 0 || dt > 17 || st == 0 || st > 17) return;
    Val v;
    char text[256] = "";
    if (st == IEC_STRING) {
        v.k = K::Str;
        v.type = st;
        v.slot = Z7VMStr_Slot(db, si);
        const uint8_t *s = Z7Mem_Ptr(v.slot, 2);
        if (s == nullptr) return;
        const uint8_t *t = Z7Mem_Ptr(v.slot, s[0] + 3u);
        if (t == nullptr) return;
        const uint32_t n = std::min(s[0], s[1]);
        std::memcpy(text, t + 2, n);
        text[n] = 0;
        v.len = n;
    } else {
        v = Read(Z7Mem_Ptr(Z7VMCnv_VarAddr(db, st, si), Width(st)), st);
        if (v.k == K::None) return;
    }
    if (dt == IEC_STRING) {
        if (v.k == K::Str) {
            Z7VMStr_Copy(db, di, si);
            return;
        }
        char t[64];
        Text(v, t, sizeof t);
        Z7VMStr_AscForceC(db, di, t);
        return;
    }
    const uint32_t addr = Z7VMCnv_VarAddr(db, dt, di);
    WriteNum(Z7Mem_Ptr(addr, Width(dt)), dt, v, false, text);
}

void Z7VMCnv_ConvBin(uint8_t *out, const uint8_t *src, uint32_t dst_type, uint32_t src_type) {
    if (dst_type == IEC_STRING || src_type == IEC_STRING || dst_type == 0 || dst_type > 17 || src_type == 0 ||
        src_type > 17)
        return;
    const Val v = Read(src, src_type);
    if (v.k != K::None) WriteNum(out, dst_type, v, true, "");
}

void Z7VMCnv_SZToNumPtr(uint8_t *addr, uint32_t type, const char *text) {
    if (addr == nullptr || text == nullptr) return;
    uint64_t bits;
    switch (type) {
    case IEC_BOOL: addr[0] = Z7Cnv_Strtol32(text) != 0 ? 1 : 0; return;
    case IEC_LINT:
    case IEC_ULINT: bits = uint64_t(Z7VMStr_SZtoLINT(text)); break;
    case IEC_REAL: {
        const float f = Z7Cnv_ToFloat(std::strtod(text, nullptr));
        std::memcpy(addr, &f, 4);
        return;
    }
    case IEC_LREAL: {
        const double d = std::strtod(text, nullptr);
        std::memcpy(addr, &d, 8);
        return;
    }
    case IEC_SINT:
    case IEC_USINT:
    case IEC_INT:
    case IEC_UINT:
    case IEC_DINT:
    case IEC_TIME:
    case IEC_UDINT: bits = uint64_t(int64_t(Z7Cnv_Strtol32(text))); break;
    default: return;
    }
    for (uint32_t b = 0; b < Width(type); b++) addr[b] = uint8_t(bits >> (8 * b));
}

void Z7VMCnv_SZToNum(uint32_t db, uint32_t type, uint32_t idx, const char *text) {
    Z7VMCnv_SZToNumPtr(Z7Mem_Ptr(Z7VMCnv_VarAddr(db, type, idx), Width(type)), type, text);
}

void Z7VMCnv_NumToSZPtr(const uint8_t *addr, uint32_t type, char *out) {
    if (out == nullptr) return;
    out[0] = 0;
    if (addr == nullptr || type == IEC_STRING) return;
    const Val v = Read(addr, type);
    if (v.k == K::None) return;
    if (type == IEC_TIME)
        std::snprintf(out, 64, "%" PRIu32, uint32_t(v.i));
    else if (type == IEC_SINT || type == IEC_BOOL)
        std::snprintf(out, 64, "%d", int(v.i));
    else
        Text(v, out, 64);
}

void Z7VMCnv_NumToSZ(uint32_t db, uint32_t type, uint32_t idx, char *out) {
    Z7VMCnv_NumToSZPtr(Z7Mem_Ptr(Z7VMCnv_VarAddr(db, type, idx), Width(type)), type, out);
}
