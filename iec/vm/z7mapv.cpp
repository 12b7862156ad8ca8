// Values of application variables through map items: reads and writes in the
// caller's type, the lock test of the workbench's forced variables, external
// variable addresses and the variables' status information (VSI).
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "iec/vm/z7hooks.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

Z7VMHooks Z7VM_Hooks{};
uint32_t Z7VMTic_VsiDate = 0, Z7VMTic_VsiTime = 0;

namespace {
constexpr uint8_t kLockBit[18] = {0, Z7LK_8, Z7LK_32, Z7LK_32, Z7LK_TIME, Z7LK_STR, 0,       0,       0,
                                  0, Z7LK_8, Z7LK_16, Z7LK_64, Z7LK_64,   Z7LK_8,   Z7LK_16, Z7LK_32, Z7LK_64};

// Float to integer: truncation, saturated at [lo, hi], NaN 0.
template <typename I>
I Sat(double v) {
    if (std::isnan(v)) return 0;
    if (v <= double(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (v >= double(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return I(v);
}

// One value of a variable, read in its own type.
struct Raw {
    uint32_t type;  // 0: none
    uint64_t bits;  // integer types: the value, sign-extended for signed ones
    double f;       // REAL, LREAL
};

Raw Read(uint32_t item) {
    Raw r{Z7Map_GetType(item) & 0x7F, 0, 0};
    const uint32_t a = Z7Map_GetData(item);
    if (a == 0 || r.type == 0 || r.type > 17) return {0, 0, 0};
    switch (r.type) {
    case 1:
    case 10:
    case 14: r.bits = Z7Mem_Get8(a); break;
    case 11: r.bits = uint64_t(int64_t(int16_t(Z7Mem_Get16(a)))); break;
    case 15: r.bits = Z7Mem_Get16(a); break;
    case 2: r.bits = uint64_t(int64_t(int32_t(Z7Mem_Get32(a)))); break;
    case 4:
    case 16: r.bits = Z7Mem_Get32(a); break;
    case 3: {
        r.f = std::bit_cast<float>(Z7Mem_Get32(a));
        break;
    }
    case 12:
    case 17:
    case 13: {
        const uint64_t u = Z7Mem_Get32(a) | uint64_t(Z7Mem_Get32(a + 4)) << 32;
        if (r.type == 13)
            r.f = std::bit_cast<double>(u);
        else
            r.bits = u;
        break;
    }
    default: return {0, 0, 0};
    }
    return r;
}

bool IsFloat(uint32_t t) { return t == 3 || t == 13; }

uint32_t Locked(uint32_t item) {
    const uint32_t lock = Z7Map_GetLockAddr(item);
    if (lock == 0) return 0;
    const uint32_t t = Z7Map_GetType(item);
    const uint8_t bit = (t & 0x80) ? Z7LK_EXT : (t <= 17 ? kLockBit[t] : 0);
    return (Z7Mem_Get8(lock) & bit) ? 1 : 0;
}

void Put64(uint32_t a, uint64_t v) {
    Z7Mem_Put32(a, uint32_t(v));
    Z7Mem_Put32(a + 4, uint32_t(v >> 32));
}

// Writes an integer (ival, already in the caller's conversion) or a float
// (fval when from_float) into the variable.
uint32_t Write(uint32_t item, int64_t ival, double fval, bool from_float, bool unsigned_src) {
    if (item == 0 || Locked(item)) return 1;
    const uint32_t t = Z7Map_GetType(item) & 0x7F;
    const uint32_t a = Z7Map_GetData(item);
    if (a == 0 || t == 0 || t > 17) return 1;
    switch (t) {
    case 1: Z7Mem_Put8(a, from_float ? fval != 0.0 : ival != 0); return 0;
    case 10:
    case 14: Z7Mem_Put8(a, uint8_t(from_float ? Sat<int32_t>(fval) : ival)); return 0;
    case 11:
    case 15: Z7Mem_Put16(a, uint16_t(from_float ? Sat<int32_t>(fval) : ival)); return 0;
    case 2: Z7Mem_Put32(a, uint32_t(from_float ? Sat<int32_t>(fval) : ival)); return 0;
    case 4:
    case 16: Z7Mem_Put32(a, from_float ? Sat<uint32_t>(fval) : uint32_t(ival)); return 0;
    case 3: {
        const float f = from_float ? float(fval) : unsigned_src ? float(uint64_t(ival)) : float(ival);
        Z7Mem_Put32(a, std::bit_cast<uint32_t>(f));
        return 0;
    }
    case 12: Put64(a, uint64_t(from_float ? Sat<int64_t>(fval) : ival)); return 0;
    case 17: Put64(a, from_float ? Sat<uint64_t>(fval) : uint64_t(ival)); return 0;
    case 13: {
        const double d = from_float ? fval : unsigned_src ? double(uint64_t(ival)) : double(ival);
        Put64(a, std::bit_cast<uint64_t>(d));
        return 0;
    }
    default: return 1;
    }
}

double AsDouble(const Raw &r) {
    if (IsFloat(r.type)) return r.f;
    if (r.type == 17) return double(r.bits);
    return double(int64_t(r.bits));
}

uint32_t Vsi(uint32_t db, uint32_t type, uint32_t index) { return Z7Map_GetVSI(Z7Map_GetByIndex(db, type, index)); }
}  // namespace

int32_t Z7Map_GetLongValue(uint32_t item) {
    const Raw r = Read(item);
    return IsFloat(r.type) ? Sat<int32_t>(r.f) : int32_t(uint32_t(r.bits));
}

uint32_t Z7Map_GetDWordValue(uint32_t item) {
    const Raw r = Read(item);
    return IsFloat(r.type) ? Sat<uint32_t>(r.f) : uint32_t(r.bits);
}

int64_t Z7Map_GetLIntValue(uint32_t item) {
    const Raw r = Read(item);
    return IsFloat(r.type) ? Sat<int64_t>(r.f) : int64_t(r.bits);
}

float Z7Map_GetRealValue(uint32_t item) {
    // a 64-bit integer is rounded to single once (through a double it would
    // be rounded twice, and a value just past a half-way point fall back)
    const Raw r = Read(item);
    if (r.type == 17) return float(r.bits);
    if (r.type == 12) return float(int64_t(r.bits));
    return float(AsDouble(r));
}
double Z7Map_GetLRealValue(uint32_t item) {
    const Raw r = Read(item);
    if (r.type == 3) return double(float(r.f));
    return AsDouble(r);
}

uint32_t Z7Map_GetStringValue(uint32_t item, uint32_t *length) {
    if (length) *length = 0;
    if (Z7Map_GetType(item) != 5) return 0;
    const uint32_t slot = Z7Map_GetData(item);
    if (slot == 0) return 0;
    if (length) *length = Z7Mem_Get8(slot + 1);
    return slot + 2;
}

uint32_t Z7Map_SetLongValue(uint32_t item, int32_t v) { return Write(item, v, 0, false, false); }
uint32_t Z7Map_SetDWordValue(uint32_t item, uint32_t v) { return Write(item, int64_t(v), 0, false, true); }
uint32_t Z7Map_SetLIntValue(uint32_t item, int64_t v) { return Write(item, v, 0, false, false); }
uint32_t Z7Map_SetRealValue(uint32_t item, float v) { return Write(item, 0, double(v), true, false); }
uint32_t Z7Map_SetLRealValue(uint32_t item, double v) { return Write(item, 0, v, true, false); }

uint32_t Z7Map_SetStringValue(uint32_t item, const char *text, uint32_t length) {
    if (text == nullptr || Z7Map_GetType(item) != 5 || Locked(item)) return 1;
    const uint32_t slot = Z7Map_GetData(item);
    if (slot == 0) return 1;
    if (length == 0) length = uint32_t(std::strlen(text)) % 256;
    Z7VMStr_AscForce(slot, text, length);
    return 0;
}

uint32_t Z7Map_IsLocked(uint32_t item) { return item ? Locked(item) : 0; }

uint32_t Z7Map_SetXVAddress(uint32_t db, uint32_t item, uint32_t address) {
    const uint32_t t = Z7Map_GetType(item);
    if (!(t & 0x80) || item == 0) return 1;
    const uint32_t index = Z7Map_GetIndex(item);
    const uint32_t d = Z7Map_GetDim(item) >= 2 ? Z7Map_GetDim(item) : 1;
    if (uint64_t(index) + d > Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC)) return 1;
    uint32_t size = 0;
    switch (t & 0x7F) {
    case 1:
    case 10:
    case 14: size = 1; break;
    case 11:
    case 15: size = 2; break;
    case 2:
    case 3:
    case 4:
    case 16: size = 4; break;
    case 12:
    case 13:
    case 17: size = 8; break;
    case 5: size = Z7Mem_Get16(Z7Map_GetDef(item) + 8) + 3u; break;
    default: size = 0;
    }
    Z7Mem_Put32(item + 4, address);
    for (uint32_t k = 0; k < d; k++) Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_XV, index + k), address + k * size);
    return 0;
}

uint32_t Z7Map_GetVSIBit(uint32_t db, uint32_t type, uint32_t index, uint32_t bit) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0 || bit > 63) return 0;
    const uint32_t word = bit < 32 ? Z7Mem_Get32(v + 4) : Z7Mem_Get32(v);
    return (word >> (bit % 32)) & 1;
}

uint32_t Z7Map_SetVSIBit(uint32_t db, uint32_t type, uint32_t index, uint32_t bit, uint32_t on) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0 || bit > 63) return 0;
    const uint32_t at = bit < 32 ? v + 4 : v;
    const uint32_t m = 1u << (bit % 32);
    Z7Mem_Put32(at, on ? Z7Mem_Get32(at) | m : Z7Mem_Get32(at) & ~m);
    return 1;
}

uint32_t Z7Map_ResetSetVSIBits(uint32_t db, uint32_t type, uint32_t index) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0) return 0;
    Z7Mem_Put32(v, 0);
    Z7Mem_Put32(v + 4, 0);
    return 1;
}

uint32_t Z7Map_GetVSIDate(uint32_t db, uint32_t type, uint32_t index) {
    const uint32_t v = Vsi(db, type, index);
    return v ? Z7Mem_Get32(v + 8) : 0;
}
uint32_t Z7Map_GetVSITime(uint32_t db, uint32_t type, uint32_t index) {
    const uint32_t v = Vsi(db, type, index);
    return v ? Z7Mem_Get32(v + 12) : 0;
}
uint32_t Z7Map_SetVSIDate(uint32_t db, uint32_t type, uint32_t index, uint32_t value) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0) return 0;
    Z7Mem_Put32(v + 8, value);
    return 1;
}
uint32_t Z7Map_SetVSITime(uint32_t db, uint32_t type, uint32_t index, uint32_t value) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0) return 0;
    Z7Mem_Put32(v + 12, value);
    return 1;
}

namespace {
uint32_t Stamp(uint32_t db, uint32_t type, uint32_t index, uint32_t utc) {
    const uint32_t v = Vsi(db, type, index);
    if (v == 0) return 0;
    uint32_t date = 0, time = 0;
    if (Z7VM_Hooks.date_time) Z7VM_Hooks.date_time(utc, &date, &time);
    Z7Mem_Put32(v + 8, date);
    Z7Mem_Put32(v + 12, time);
    return 1;
}
}  // namespace

uint32_t Z7Map_StampVSI(uint32_t db, uint32_t type, uint32_t index) { return Stamp(db, type, index, 0); }
uint32_t Z7Map_StampVSIGMT(uint32_t db, uint32_t type, uint32_t index) { return Stamp(db, type, index, 1); }

uint32_t Z7Map_CopyVSI(uint32_t db, uint32_t type, uint32_t dst, uint32_t src, uint32_t bits, uint32_t stamps) {
    const uint32_t d = Vsi(db, type, dst), s = Vsi(db, type, src);
    if (d == 0 || s == 0) return 0;
    if (bits) {
        Z7Mem_Put32(d, Z7Mem_Get32(s));
        Z7Mem_Put32(d + 4, Z7Mem_Get32(s + 4));
    }
    if (stamps) {
        Z7Mem_Put32(d + 8, Z7Mem_Get32(s + 8));
        Z7Mem_Put32(d + 12, Z7Mem_Get32(s + 12));
    }
    return 1;
}

uint32_t Z7Map_GetVSIByData(uint32_t db, uint32_t address) { return Z7Map_GetVSI(Z7Map_GetByData(db, address)); }
