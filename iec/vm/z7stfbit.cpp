// Standard functions on bit patterns (masks, shifts, rotations, byte and
// word packing, BCD, single bits, byte swapping, block moves), on the clock
// (date stamps, times of day) and on the VM itself (stop, events, log,
// trace, system information, CSV options, string tables, retain files).
// Operand 0 is the result; it is written only when its lock bit is clear.
#include <cstdio>
#include <cstring>

#include "iec/vm/z7heap.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7stfs.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
using namespace z7stf;
bool Logical(uint32_t db) { return (Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS) & 0x200) != 0; }

uint32_t BinToBcd(int32_t v) {
    if (v < 1) return 0;
    uint32_t r = 0;
    for (uint32_t sh = 0; v != 0 && sh < 32; sh += 4, v /= 10) r |= uint32_t(v % 10) << sh;
    return r;
}
uint32_t BcdToBin(int32_t v) {
    if (v < 1) return 0;
    uint32_t r = 0, mul = 1;
    for (uint32_t x = uint32_t(v); x != 0; x >>= 4, mul *= 10) {
        if ((x & 0xF) > 9) return 0;
        r += (x & 0xF) * mul;
    }
    return r;
}

// Bit width of an integer type code (0: not an integer of 8, 16 or 32 bits).
uint32_t IntWidth(uint32_t type) {
    switch (type) {
    case 1:
    case 10:
    case 14: return 8;
    case 11:
    case 15: return 16;
    case 2:
    case 16: return 32;
    default: return 0;
    }
}
uint64_t GetAny(const Z7Ops &o, uint32_t type, uint32_t k) {
    switch (SectionOfType(type)) {
    case Z7SEC_D8: return o.U8(k);
    case Z7SEC_D16: return o.U16(k);
    case Z7SEC_D32: return o.U32(k);
    case Z7SEC_D64: return o.U64(k);
    case Z7SEC_TIME: return o.Time(k);
    default: return 0;
    }
}
// Result of an ANY function in the type's section, behind the lock test.
void PutAny(const Z7Ops &o, uint32_t type, uint64_t v) {
    switch (SectionOfType(type)) {
    case Z7SEC_D8: o.Put8(0, uint8_t(v)); break;
    case Z7SEC_D16: o.Put16(0, uint16_t(v)); break;
    case Z7SEC_D32: o.Put32(0, uint32_t(v)); break;
    case Z7SEC_D64: o.Put64(0, v); break;
    case Z7SEC_TIME: o.PutTime(0, uint32_t(v)); break;
    default: break;
    }
}

uint32_t MoveBlock(const Z7Ops &o) {
    const uint32_t type = o.Lit(1);
    const int64_t ssize = o.Lit(3), dsize = o.Lit(5);
    const int64_t spos = o.D(6), dpos = o.D(7), count = o.D(8);
    uint32_t es = 0;
    const uint32_t src = Z7Tools_GetArrayIn(o.db, type, o.Lit(2), ssize, &es);
    const uint32_t dst = Z7Tools_GetArrayIn(o.db, type, o.Lit(4), dsize, nullptr);
    if (type == 5 || es == 0 || src == 0 || dst == 0 || count <= 0 || spos < 0 || dpos < 0 || count + spos > ssize ||
        count + dpos > dsize)
        return 0;
    const uint32_t s = src + uint32_t(spos) * es, d = dst + uint32_t(dpos) * es, bytes = uint32_t(count) * es;
    std::memmove(Z7Mem_Ptr(d, bytes), Z7Mem_Ptr(s, bytes), bytes);
    return 1;
}

uint32_t SysInfo(uint32_t db, int32_t code) {
    const uint32_t st = Z7VM_Status(db);
    auto g = [&](uint32_t off) { return Z7Mem_Get32(st + off); };
    switch (code) {
    case 0: return g(ST_PERIOD);
    case 1: return g(ST_PERIOD) / 1000;
    case 2: return g(ST_LAST);
    case 3: return g(ST_LAST) / 1000;
    case 4: return g(ST_LONGEST);
    case 5: return g(ST_LONGEST) / 1000;
    case 6: return g(ST_STAMP);
    case 7: return g(ST_OVERRUNS);
    case 8: return g(ST_CYCLES);
    case 9: return g(ST_APP4);
    case 10: return g(ST_APP5);
    case 11: return g(ST_APPPRE7);
    case 12: return g(ST_APP34);
    case 13: return (Z7St_Flags(db) & Z7F_STOPPED) ? 1 : 0;
    case 14: {
        const uint32_t heap = Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP);
        return heap ? uint32_t(Z7Heap_GetFreeSpace(heap)) : 0;
    }
    case 15: {
        const uint8_t *t = Z7Mem_Ptr(db, Z7_DESC_TABLE);
        return t ? Z7VM_GetTotalDBSize(t) : 0;
    }
    case 16: return g(ST_SECONDS);
    case 17: return (g(ST_OPTIONS) & 0x10) ? 1 : 0;
    case 18: return (g(ST_OPTIONS) & 0x40) ? 1 : 0;
    case 19: return g(ST_LOCKED);
    case 20: {
        uint32_t n = 0;
        for (uint32_t i = 0; i < 16; i++) {
            const uint16_t kind = Z7Mem_Get16(st + ST_BREAKPOINTS + 8 * i + 4);
            if (kind != 0 && kind != 3) n++;
        }
        return n;
    }
    default: return 0;
    }
}

// PRINTF: the program's format is taken as text; only integer conversions
// (d i u x X o c, with flags, width and precision) consume the DINT
// arguments, everything else (%s, %n, %f ...) is printed as it stands.
void Printf(const Z7Ops &o) {
    char fmt[256], out[513];
    const uint32_t fl = Text(o, 1, fmt, sizeof fmt);
    uint32_t at = 0, arg = 0;
    auto emit = [&](const char *s, size_t n) {
        for (size_t i = 0; i < n && at < sizeof out - 1; i++) out[at++] = s[i];
    };
    for (uint32_t i = 0; i < fl;) {
        if (fmt[i] != '%') {
            emit(fmt + i, 1);
            i++;
            continue;
        }
        uint32_t j = i + 1;
        if (j < fl && fmt[j] == '%') {
            emit("%", 1);
            i = j + 1;
            continue;
        }
        while (j < fl && std::strchr("-+ #0", fmt[j])) j++;
        const uint32_t flags = j;
        while (j < fl && fmt[j] >= '0' && fmt[j] <= '9' && j - i < 8) j++;
        const uint32_t width = j;
        bool dot = false;
        if (j < fl && fmt[j] == '.') {
            dot = true;
            j++;
            while (j < fl && fmt[j] >= '0' && fmt[j] <= '9' && j - i < 12) j++;
        }
        const uint32_t prec = j;
        while (j < fl && (fmt[j] == 'l' || fmt[j] == 'h')) j++;
        if (j < fl && std::strchr("diuxXoc", fmt[j]) && arg < 4) {
            const char conv = fmt[j];
            auto number = [&](uint32_t from, uint32_t to) {
                uint64_t n = 0;
                for (uint32_t p = from; p < to; p++) n = n * 10 + uint32_t(fmt[p] - '0');
                return n;
            };
            uint64_t w = number(flags, width), p = dot ? number(width + 1, prec) : 0;
            // A conversion shows its first 63 characters. A precision past
            // 80 shows only zeros there: it is cut to 80 and the width by as
            // much (the padding stays as long); a width past 160 shows only
            // padding there: it is cut to 160. The characters shown stay the
            // same, and the library formats a few hundred characters instead
            // of billions in the scan. %c takes no precision.
            if (conv == 'c') dot = false;
            if (dot && p > 80 && p <= INT32_MAX) {
                w = w > p - 80 ? w - (p - 80) : 0;
                p = 80;
            }
            if (w > 160) w = 160;
            char spec[32], piece[64];
            uint32_t k = 0;
            spec[k++] = '%';
            for (uint32_t f = i + 1; f < flags; f++)  // a flag once: repeating it changes nothing
                if (std::memchr(spec + 1, fmt[f], k - 1) == nullptr) spec[k++] = fmt[f];
            if (w != 0) k += uint32_t(std::snprintf(spec + k, sizeof spec - k, "%u", unsigned(w)));
            if (dot)
                k += uint32_t(std::snprintf(spec + k, sizeof spec - k, ".%llu", static_cast<unsigned long long>(p)));
            spec[k++] = conv;
            spec[k] = 0;
            const int32_t v = o.D(2 + arg++);
            const int n = std::snprintf(piece, sizeof piece, spec, v);
            if (n > 0) emit(piece, size_t(n) < sizeof piece ? size_t(n) : sizeof piece - 1);
            i = j + 1;
        } else {
            emit(fmt + i, 1);  // the rest prints as text
            i++;
        }
    }
    out[at] = 0;
    Z7Part_Trace("%s", out);
}

// DAY_TIME: kind 1 the time "hh:mm:ss", 2 the day name, else the date
// "yyyy/mm/dd", all local.
void DayTime(uint32_t kind, char out[32]) {
    static constexpr const char *kDays[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                             "Friday", "Saturday", "Sunday"};
    uint32_t date = 0, ms = 0;
    Z7Std_Clock(0, &date, &ms);
    const uint32_t y = date >> 16, m = (date >> 8) & 0xFF, d = date & 0xFF;
    if (kind == 1) {
        std::snprintf(out, 32, "%02u:%02u:%02u", unsigned(ms / 3600000u % 100), unsigned(ms / 60000u % 60),
                      unsigned(ms / 1000u % 60));
    } else if (kind == 2) {
        // days since 1970-01-01 (a Thursday) by the civil calendar
        const int64_t yy = int64_t(y) - (m <= 2 ? 1 : 0), era = (yy >= 0 ? yy : yy - 399) / 400;
        const int64_t yoe = yy - era * 400, mp = (int64_t(m) + 9) % 12;
        const int64_t doy = (153 * mp + 2) / 5 + int64_t(d) - 1, doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        const int64_t days = era * 146097 + doe - 719468;
        std::snprintf(out, 32, "%s", kDays[((days % 7) + 7 + 3) % 7]);
    } else {
        std::snprintf(out, 32, "%04u/%02u/%02u", unsigned(y % 10000), unsigned(m % 100), unsigned(d % 100));
    }
}

// The code image the database was built from, and its end.
bool Image(uint32_t db, uint32_t &code, uint32_t &end) {
    code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    end = code ? code + Z7VMCode_Length(code) : 0;
    return code != 0;
}

void LoadString(const Z7Ops &o) {
    const uint32_t table = Z7Mem_Get32(Z7VM_Header(o.db) + HD_CURSTRTAB);
    uint32_t code = 0, end = 0;
    const int64_t id = o.D(1);
    char text[256];
    text[0] = 0;
    auto in = [&](uint32_t a, uint64_t n) { return a >= code && uint64_t(a) + n <= end; };
    if (table != 0 && Image(o.db, code, end) && in(table, 8)) {
        const int64_t first = Z7Mem_Get32(table), last = Z7Mem_Get32(table + 4);
        if (id >= first && id <= last) {
            const uint64_t slot = uint64_t(table) + 8 + 4 * uint64_t(id - first);
            if (slot + 4 <= end) {
                const uint32_t off = Z7Mem_Get32(uint32_t(slot));
                const uint64_t at = uint64_t(table) + off;
                if (off != 0 && at < end && in(uint32_t(at), 1)) {
                    const uint32_t n = Z7Mem_Get8(uint32_t(at));
                    if (in(uint32_t(at), 1u + n)) {
                        std::memcpy(text, Z7Mem_Ptr(uint32_t(at) + 1, n), n);
                        text[n] = 0;
                    }
                }
            }
        }
    }
    o.PutStr(0, text);
}

// Shifts and rotations of a pattern by a count taken modulo its width; SHR
// copies the top bit in unless the options ask for a logical shift.
enum class ShiftOp : uint8_t { kRol, kRor, kShl, kShr };
template <typename T>
T Shifted(T v, uint32_t n, ShiftOp op, uint32_t db) {
    switch (op) {
    case ShiftOp::kRol: return Rol(v, n);
    case ShiftOp::kRor: return Ror(v, n);
    case ShiftOp::kShl: return Shl(v, n);
    default: return Shr(v, n, Logical(db));
    }
}
uint32_t Shift8(uint32_t db, uint32_t operands, ShiftOp op) {
    return Call(db, operands, {3, "888"}, [op](const Z7Ops &o) {
        o.Put8(0, Shifted(o.U8(1), o.U8(2), op, o.db));
        return 1u;
    });
}
uint32_t Shift16(uint32_t db, uint32_t operands, ShiftOp op) {
    return Call(db, operands, {3, "111"}, [op](const Z7Ops &o) {
        o.Put16(0, Shifted(o.U16(1), o.U16(2), op, o.db));
        return 1u;
    });
}
// The general path of the 32-bit shifts, behind the dispatcher's short one.
uint32_t Shift32(uint32_t db, uint32_t operands, ShiftOp op) {
    return Call(db, operands, {3, "444"}, [op](const Z7Ops &o) {
        o.Put32(0, Shifted(o.U32(1), o.U32(2), op, o.db));
        return 1u;
    });
}
uint32_t Shift64(uint32_t db, uint32_t operands, ShiftOp op) {
    return Call(db, operands, {3, "666"}, [op](const Z7Ops &o) {
        o.Put64(0, Shifted(o.U64(1), uint32_t(o.U64(2)), op, o.db));
        return 1u;
    });
}

// SETBIT and SWAB on a type they leave alone: a code out of range does
// nothing, a STRING is copied as it is (unless forced). True when so done.
bool AnyAside(const Z7Ops &o, uint32_t type) {
    if (type == 0 || type > 17) return true;
    if (type == 5) {
        if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_Copy(o.db, o.Lit(0), o.Lit(2));
        return true;
    }
    return false;
}

// DTCURTIME, DTCURDATE: the time of day in ms or the date of the clock.
uint32_t CurClock(uint32_t db, uint32_t operands, bool date) {
    return Call(db, operands, {1, "4"}, [date](const Z7Ops &o) {
        uint32_t d = 0, t = 0;
        Z7Std_Clock(0, &d, &t);
        o.Put32(0, date ? d : t);
        return 1u;
    });
}

// STRINGTOARRAY (8-bit), SRINGTOARRAY32, SRINGTOARRAY16: the string's
// characters into the array, their count the result.
uint32_t StringToArray(uint32_t db, uint32_t operands, uint32_t fn) {
    return Call(db, operands, {4, "4sll"}, [fn](const Z7Ops &o) {
        const uint32_t type = fn == 137 ? 14 : fn == 139 ? 16 : 15, declared = o.Lit(3);
        const uint32_t a = Z7Tools_GetArrayIn(o.db, type, o.Lit(2), declared, nullptr);
        uint32_t k = 0;
        if (a != 0)
            k = fn == 137   ? Z7VMStr_ToD8(o.db, o.Lit(1), a, declared)
                : fn == 139 ? Z7VMStr_ToD32(o.db, o.Lit(1), a, declared)
                            : Z7VMStr_ToD16(o.db, o.Lit(1), a, declared);
        o.Put32(0, k);
        return 1u;
    });
}
// ARRAYTOSTRING, ARRAYTOSTRING32, ARRAYTOSTRING16: so many characters of
// the array into the string result.
uint32_t ArrayToString(uint32_t db, uint32_t operands, uint32_t fn) {
    return Call(db, operands, {4, "sll4"}, [fn](const Z7Ops &o) {
        const uint32_t type = fn == 138 ? 14 : fn == 140 ? 16 : 15, declared = o.Lit(2);
        const uint32_t a = Z7Tools_GetArrayIn(o.db, type, o.Lit(1), declared, nullptr);
        if (a == 0 || o.Forced(0, 0, Z7LK_STR)) return 1u;
        if (fn == 138)
            Z7VMStr_FromD8(o.db, a, declared, o.Lit(0), o.D(3));
        else if (fn == 140)
            Z7VMStr_FromD32(o.db, a, declared, o.Lit(0), o.D(3));
        else
            Z7VMStr_FromD16(o.db, a, declared, o.Lit(0), o.D(3));
        return 1u;
    });
}
// GETVARSYMBOL, GETVARPROFILE, GETVARTYPENAME of a handle of the map.
uint32_t VarText(uint32_t db, uint32_t operands, uint32_t fn) {
    return Call(db, operands, {2, "s4"}, [fn](const Z7Ops &o) {
        const uint32_t item = o.U32(1);
        const bool known = item != 0 && Z7Map_CheckPointer(o.db, item) != 0;
        char profile[17] = {};
        const char *text = nullptr;
        if (known && fn == 145) text = Z7Map_GetSymbol(item);
        if (known && fn == 147) text = Z7Map_GetTypeName(item, o.db);
        if (known && fn == 146) {
            if (const uint8_t *p = Z7Mem_Ptr(Z7Map_GetProfileName(item), 16)) {
                std::memcpy(profile, p, 16);
                text = profile;
            }
        }
        o.PutStr(0, text ? text : "");
        return 1u;
    });
}

// F_SAVERETAIN, F_LOADRETAIN: the retain variables to or from the named
// file; a ".." component is refused, a relative name lies under the root.
uint32_t RetainFile(uint32_t db, uint32_t operands, uint32_t fn) {
    return Call(db, operands, {2, "8s"}, [fn](const Z7Ops &o) {
        char path[256];
        const uint32_t n = Text(o, 1, path, sizeof path);
        bool climbs = false;
        for (const char *c = path; *c != 0;) {
            while (*c == '/' || *c == '\\') c++;
            const char *start = c;
            while (*c != 0 && *c != '/' && *c != '\\') c++;
            climbs |= c - start == 2 && start[0] == '.' && start[1] == '.';
        }
        char full[sizeof path + 1] = "/";
        std::memcpy(full + (path[0] == '/' ? 0 : 1), path, n + 1);
        uint32_t ok = 0;
        if (n != 0 && !climbs) ok = fn == 216 ? Z7VMWarm_SaveToFile(o.db, full) : Z7VMWarm_LoadFromFile(o.db, full);
        o.Put8(0, ok ? 1 : 0);
        return 1u;
    });
}
}  // namespace

// ---- bit patterns ------------------------------------------------------------------------------

// Logic on 32-bit masks: the general path of the dispatcher's short one.
uint32_t _STFS_ANDMASK(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        o.Put32(0, o.U32(1) & o.U32(2));
        return 1u;
    });
}
uint32_t _STFS_NOTMASK(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, ~o.U32(1));
        return 1u;
    });
}
uint32_t _STFS_ORMASK(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        o.Put32(0, o.U32(1) | o.U32(2));
        return 1u;
    });
}
uint32_t _STFS_XORMASK(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "444"}, [](const Z7Ops &o) {
        o.Put32(0, o.U32(1) ^ o.U32(2));
        return 1u;
    });
}

// 32-bit shifts and rotations (general path of the short one).
uint32_t _STFS_ROL(uint32_t db, uint32_t operands, uint32_t) { return Shift32(db, operands, ShiftOp::kRol); }
uint32_t _STFS_ROR(uint32_t db, uint32_t operands, uint32_t) { return Shift32(db, operands, ShiftOp::kRor); }
uint32_t _STFS_SHL(uint32_t db, uint32_t operands, uint32_t) { return Shift32(db, operands, ShiftOp::kShl); }
uint32_t _STFS_SHR(uint32_t db, uint32_t operands, uint32_t) { return Shift32(db, operands, ShiftOp::kShr); }

// Logic on 16-bit words.
uint32_t _STFS_ANDWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "111"}, [](const Z7Ops &o) {
        o.Put16(0, o.U16(1) & o.U16(2));
        return 1u;
    });
}
uint32_t _STFS_ORWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "111"}, [](const Z7Ops &o) {
        o.Put16(0, o.U16(1) | o.U16(2));
        return 1u;
    });
}
uint32_t _STFS_XORWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "111"}, [](const Z7Ops &o) {
        o.Put16(0, o.U16(1) ^ o.U16(2));
        return 1u;
    });
}
uint32_t _STFS_NOTWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "11"}, [](const Z7Ops &o) {
        o.Put16(0, uint16_t(~o.U16(1)));
        return 1u;
    });
}

// Logic on bytes.
uint32_t _STFS_ANDBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "888"}, [](const Z7Ops &o) {
        o.Put8(0, o.U8(1) & o.U8(2));
        return 1u;
    });
}
uint32_t _STFS_ORBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "888"}, [](const Z7Ops &o) {
        o.Put8(0, o.U8(1) | o.U8(2));
        return 1u;
    });
}
uint32_t _STFS_XORBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "888"}, [](const Z7Ops &o) {
        o.Put8(0, o.U8(1) ^ o.U8(2));
        return 1u;
    });
}
uint32_t _STFS_NOTBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "88"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(~o.U8(1)));
        return 1u;
    });
}

// Logic on 64-bit patterns.
uint32_t _STFS_AND64(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "666"}, [](const Z7Ops &o) {
        o.Put64(0, o.U64(1) & o.U64(2));
        return 1u;
    });
}
uint32_t _STFS_OR64(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "666"}, [](const Z7Ops &o) {
        o.Put64(0, o.U64(1) | o.U64(2));
        return 1u;
    });
}
uint32_t _STFS_XOR64(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "666"}, [](const Z7Ops &o) {
        o.Put64(0, o.U64(1) ^ o.U64(2));
        return 1u;
    });
}
uint32_t _STFS_NOT64(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "66"}, [](const Z7Ops &o) {
        o.Put64(0, ~o.U64(1));
        return 1u;
    });
}

// Shifts and rotations of words, bytes and 64-bit patterns.
uint32_t _STFS_ROLW(uint32_t db, uint32_t operands, uint32_t) { return Shift16(db, operands, ShiftOp::kRol); }
uint32_t _STFS_RORW(uint32_t db, uint32_t operands, uint32_t) { return Shift16(db, operands, ShiftOp::kRor); }
uint32_t _STFS_SHLW(uint32_t db, uint32_t operands, uint32_t) { return Shift16(db, operands, ShiftOp::kShl); }
uint32_t _STFS_SHRW(uint32_t db, uint32_t operands, uint32_t) { return Shift16(db, operands, ShiftOp::kShr); }
uint32_t _STFS_ROLB(uint32_t db, uint32_t operands, uint32_t) { return Shift8(db, operands, ShiftOp::kRol); }
uint32_t _STFS_RORB(uint32_t db, uint32_t operands, uint32_t) { return Shift8(db, operands, ShiftOp::kRor); }
uint32_t _STFS_SHLB(uint32_t db, uint32_t operands, uint32_t) { return Shift8(db, operands, ShiftOp::kShl); }
uint32_t _STFS_SHRB(uint32_t db, uint32_t operands, uint32_t) { return Shift8(db, operands, ShiftOp::kShr); }
uint32_t _STFS_ROL64(uint32_t db, uint32_t operands, uint32_t) { return Shift64(db, operands, ShiftOp::kRol); }
uint32_t _STFS_ROR64(uint32_t db, uint32_t operands, uint32_t) { return Shift64(db, operands, ShiftOp::kRor); }
uint32_t _STFS_SHL64(uint32_t db, uint32_t operands, uint32_t) { return Shift64(db, operands, ShiftOp::kShl); }
uint32_t _STFS_SHR64(uint32_t db, uint32_t operands, uint32_t) { return Shift64(db, operands, ShiftOp::kShr); }

// BIN_TO_BCD, BCD_TO_BIN: a DINT to packed BCD and back (0 when negative
// or not BCD).
uint32_t _STFS_BIN_TO_BCD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, BinToBcd(o.D(1)));
        return 1u;
    });
}
uint32_t _STFS_BCD_TO_BIN(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, BcdToBin(o.D(1)));
        return 1u;
    });
}

// Byte and word packing: the low or high byte of a word, the low or high
// word of a double word, and the reverse.
uint32_t _STFS_LOBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "81"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(o.U16(1)));
        return 1u;
    });
}
uint32_t _STFS_HIBYTE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "81"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(o.U16(1) >> 8));
        return 1u;
    });
}
uint32_t _STFS_LOWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "14"}, [](const Z7Ops &o) {
        o.Put16(0, uint16_t(o.U32(1)));
        return 1u;
    });
}
uint32_t _STFS_HIWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "14"}, [](const Z7Ops &o) {
        o.Put16(0, uint16_t(o.U32(1) >> 16));
        return 1u;
    });
}
uint32_t _STFS_MAKEWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "188"}, [](const Z7Ops &o) {
        o.Put16(0, uint16_t(o.U8(1) << 8 | o.U8(2)));
        return 1u;
    });
}
uint32_t _STFS_MAKEDWORD(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "411"}, [](const Z7Ops &o) {
        o.Put32(0, uint32_t(o.U16(1)) << 16 | o.U16(2));
        return 1u;
    });
}
// PACK8: eight booleans into a byte, the first in bit 0.
uint32_t _STFS_PACK8(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {9, "888888888"}, [](const Z7Ops &o) {
        uint8_t v = 0;
        for (uint32_t i = 0; i < 8; i++)
            if (o.U8(1 + i)) v |= uint8_t(1u << i);
        o.Put8(0, v);
        return 1u;
    });
}

// TESTBIT: one bit of an 8, 16 or 32-bit integer (0 for a bit past its
// width or another type).
uint32_t _STFS_TESTBIT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "8la4"}, [](const Z7Ops &o) {
        const uint32_t type = o.Lit(1), w = IntWidth(type);
        const int32_t bit = o.D(3);
        o.Put8(0, w != 0 && bit >= 0 && uint32_t(bit) < w ? uint8_t((GetAny(o, type, 2) >> bit) & 1) : 0);
        return 1u;
    });
}
// SETBIT: the value with one bit set or cleared; a forced result keeps its
// value like every other result.
uint32_t _STFS_SETBIT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {5, "ala48"}, [](const Z7Ops &o) {
        const uint32_t type = o.Lit(1), w = IntWidth(type);
        if (AnyAside(o, type)) return 1u;
        uint64_t v = GetAny(o, type, 2);
        const int32_t bit = o.D(3);
        if (w != 0 && bit >= 0 && uint32_t(bit) < w) {
            if (o.U8(4))
                v |= uint64_t(1) << bit;
            else
                v &= ~(uint64_t(1) << bit);
        }
        PutAny(o, type, v);
        return 1u;
    });
}
// SWAB: the bytes of a 16 or 32-bit value swapped; other types pass as
// they are.
uint32_t _STFS_SWAB(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "ala"}, [](const Z7Ops &o) {
        const uint32_t type = o.Lit(1);
        if (AnyAside(o, type)) return 1u;
        uint64_t v = GetAny(o, type, 2);
        if (type == 11 || type == 15)
            v = uint16_t((v << 8) | ((v >> 8) & 0xFF));
        else if (type == 2 || type == 16)
            v = __builtin_bswap32(uint32_t(v));
        PutAny(o, type, v);  // TIME too: a forced TIME keeps its value
        return 1u;
    });
}

// COUNTOF: the declared element count of an array operand.
uint32_t _STFS_COUNTOF(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "4lll"}, [](const Z7Ops &o) {
        o.Put32(0, o.Lit(3));
        return 1u;
    });
}
// MOVEBLOCK: elements from one array to another; the result 1 when moved.
uint32_t _STFS_MOVEBLOCK(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {9, "8lllll444"}, [](const Z7Ops &o) {
        o.Put8(0, uint8_t(MoveBlock(o)));
        return 1u;
    });
}

// ---- the clock ---------------------------------------------------------------------------------

uint32_t _STFS_DTCURTIME(uint32_t db, uint32_t operands, uint32_t) { return CurClock(db, operands, false); }
uint32_t _STFS_DTCURDATE(uint32_t db, uint32_t operands, uint32_t) { return CurClock(db, operands, true); }

// Parts of a date (day, month, year) and of a time in ms (seconds,
// minutes, hours, ms).
uint32_t _STFS_DTDAY(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, o.U32(1) & 0xFF);
        return 1u;
    });
}
uint32_t _STFS_DTMONTH(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, (o.U32(1) >> 8) & 0xFF);
        return 1u;
    });
}
uint32_t _STFS_DTYEAR(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, o.U32(1) >> 16);
        return 1u;
    });
}
uint32_t _STFS_DTSEC(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, uint32_t(o.D(1) / 1000 % 60));
        return 1u;
    });
}
uint32_t _STFS_DTMIN(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, uint32_t(o.D(1) / 60000 % 60));
        return 1u;
    });
}
uint32_t _STFS_DTHOUR(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, uint32_t(o.D(1) / 3600000));
        return 1u;
    });
}
uint32_t _STFS_DTMS(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, uint32_t(o.D(1) % 1000));
        return 1u;
    });
}

// DAY_TIME: the local time, day name or date as text.
uint32_t _STFS_DAY_TIME(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "s4"}, [](const Z7Ops &o) {
        char text[32] = {};
        DayTime(uint32_t(o.D(1)), text);
        o.PutStr(0, text);
        return 1u;
    });
}
// DTFORMAT: the clock's date and time by the program's format.
uint32_t _STFS_DTFORMAT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "ss"}, [](const Z7Ops &o) {
        uint32_t date = 0, time = 0;
        Z7Std_Clock(0, &date, &time);
        if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_DateFmt(o.db, o.Lit(0), o.Lit(1), date, time);
        return 1u;
    });
}
// NUMTOSTRING (type literal, value, width, precision)
uint32_t _STFS_NUMTOSTRING(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {5, "sla44"}, [](const Z7Ops &o) {
        if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_NumToStr(o.db, o.Lit(0), o.Lit(1), o.Lit(2), o.D(3), o.D(4));
        return 1u;
    });
}

// ---- the VM itself -----------------------------------------------------------------------------

// CYCLESTOP: on TRUE the VM leaves run and step mode at the end of the cycle.
uint32_t _STFS_CYCLESTOP(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "88"}, [](const Z7Ops &o) {
        if (o.U8(1)) Z7St_SetFlags(o.db, uint16_t(Z7St_Flags(o.db) & ~(Z7F_RUN | Z7F_STEP)));
        o.Put8(0, 1);
        return 1u;
    });
}
// FATALSTOP: on TRUE the VM stops here (0, which the dispatcher logs not).
uint32_t _STFS_FATALSTOP(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "88"}, [](const Z7Ops &o) {
        if (o.U8(1)) return 0u;
        o.Put8(0, 0);
        return 1u;
    });
}
// ENABLEEVENTS: events on or off; the result the new state.
uint32_t _STFS_ENABLEEVENTS(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "88"}, [](const Z7Ops &o) {
        const bool on = o.U8(1) != 0;
        const uint16_t fl = Z7St_Flags(o.db);
        Z7St_SetFlags(o.db, on ? uint16_t(fl & ~Z7F_NOEVENTS) : uint16_t(fl | Z7F_NOEVENTS));
        o.Put8(0, on ? 1 : 0);
        return 1u;
    });
}
// LOGMESSAGE: an entry (code, argument, value) into the VM's log.
uint32_t _STFS_LOGMESSAGE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "8444"}, [](const Z7Ops &o) {
        Z7VMLog_Push(o.db, uint16_t(o.U32(1)), uint16_t(o.U32(2)), o.U32(3));
        o.Put8(0, 1);
        return 1u;
    });
}
// PRINTF: the formatted text to the trace.
uint32_t _STFS_PRINTF(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {6, "8s4444"}, [](const Z7Ops &o) {
        Printf(o);
        o.Put8(0, 0);
        return 1u;
    });
}
// GETSYSINFO: a figure of the VM's status by its code.
uint32_t _STFS_GETSYSINFO(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "44"}, [](const Z7Ops &o) {
        o.Put32(0, SysInfo(o.db, o.D(1)));
        return 1u;
    });
}
// SETCSVOPT: the two CSV separators, one character each.
uint32_t _STFS_SETCSVOPT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "8ss"}, [](const Z7Ops &o) {
        const bool ok = Z7VMStr_GetLength(o.db, o.Lit(1)) == 1 && Z7VMStr_GetLength(o.db, o.Lit(2)) == 1;
        if (ok) {
            const uint32_t st = Z7VM_Status(o.db);
            Z7Mem_Put8(st + ST_SEP1, Z7Mem_Get8(Z7VMStr_GetText(o.db, o.Lit(1))));
            Z7Mem_Put8(st + ST_SEP2, Z7Mem_Get8(Z7VMStr_GetText(o.db, o.Lit(2))));
        }
        o.Put8(0, ok ? 1 : 0);
        return 1u;
    });
}
// STRINGTABLE: the code image's string table of that number becomes the
// current one.
uint32_t _STFS_STRINGTABLE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "84"}, [](const Z7Ops &o) {
        uint32_t code = 0, end = 0;
        const uint32_t t = Image(o.db, code, end) ? Z7VMCode_GetStringTable(code, o.U32(1)) : 0;
        if (t != 0) {
            Z7Mem_Put32(Z7VM_Header(o.db) + HD_CURSTRTAB, t);
            Z7Mem_Put32(Z7VM_Header(o.db) + HD_DEFSTRTAB, o.U32(1));
        }
        o.Put8(0, t != 0 ? 1 : 0);
        return 1u;
    });
}
// LOADSTRING: a string of the current table by its number.
uint32_t _STFS_LOADSTRING(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "s4"}, [](const Z7Ops &o) {
        LoadString(o);
        return 1u;
    });
}
uint32_t _STFS_F_SAVERETAIN(uint32_t db, uint32_t operands, uint32_t fn) { return RetainFile(db, operands, fn); }
uint32_t _STFS_F_LOADRETAIN(uint32_t db, uint32_t operands, uint32_t fn) { return RetainFile(db, operands, fn); }
// MBSLAVEIDENT (vendor, product, revision, 16-bit array, count): the
// identity the Modbus slave answers with.
uint32_t _STFS_MBSLAVEIDENT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {6, "8sssll"}, [](const Z7Ops &o) {
        char text[3][52];
        for (uint32_t k = 0; k < 3; k++) {
            const uint32_t len = Z7VMStr_GetLength(o.db, o.Lit(1 + k)), n = len < 51 ? len : 51;
            const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(1 + k)), n);
            if (t != nullptr && n != 0) std::memcpy(text[k], t, n);
            text[k][t != nullptr ? n : 0] = 0;
        }
        const int32_t count = o.Lit(5);
        const uint32_t a = count > 0 ? Z7Tools_GetArrayIn(o.db, 15, o.Lit(4), count, nullptr) : 0;
        uint16_t words[8] = {};
        for (int32_t i = 0; a != 0 && i < count && i < 8; i++) words[i] = Z7Mem_Get16(a + 2 * uint32_t(i));
        const auto set = Z7Std_Hooks.mb_dev_ident;
        o.Put8(0,
               set != nullptr && set(text[0], text[1], text[2], a ? words : nullptr, a ? uint32_t(count) : 0) ? 1 : 0);
        return 1u;
    });
}

// ---- strings and arrays, the variable map ------------------------------------------------------

uint32_t _STFS_STRINGTOARRAY(uint32_t db, uint32_t operands, uint32_t fn) { return StringToArray(db, operands, fn); }
uint32_t _STFS_SRINGTOARRAY32(uint32_t db, uint32_t operands, uint32_t fn) { return StringToArray(db, operands, fn); }
uint32_t _STFS_SRINGTOARRAY16(uint32_t db, uint32_t operands, uint32_t fn) { return StringToArray(db, operands, fn); }
uint32_t _STFS_ARRAYTOSTRING(uint32_t db, uint32_t operands, uint32_t fn) { return ArrayToString(db, operands, fn); }
uint32_t _STFS_ARRAYTOSTRING32(uint32_t db, uint32_t operands, uint32_t fn) { return ArrayToString(db, operands, fn); }
uint32_t _STFS_ARRAYTOSTRING16(uint32_t db, uint32_t operands, uint32_t fn) { return ArrayToString(db, operands, fn); }

// GETVARBYNAME: the map's handle of a variable by its symbol (0 if none).
uint32_t _STFS_GETVARBYNAME(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {2, "4s"}, [](const Z7Ops &o) {
        char name[256];
        const uint32_t n = Text(o, 1, name, sizeof name);
        o.Put32(0, n ? Z7Map_GetBySymbol(o.db, name) : 0);
        return 1u;
    });
}
// GETVARBYADDR: the map's handle of the variable named by (type code, index).
uint32_t _STFS_GETVARBYADDR(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "4ll"}, [](const Z7Ops &o) {
        o.Put32(0, Z7Map_GetByIndex(o.db, o.Lit(1), o.Lit(2)));
        return 1u;
    });
}
uint32_t _STFS_GETVARSYMBOL(uint32_t db, uint32_t operands, uint32_t fn) { return VarText(db, operands, fn); }
uint32_t _STFS_GETVARPROFILE(uint32_t db, uint32_t operands, uint32_t fn) { return VarText(db, operands, fn); }
uint32_t _STFS_GETVARTYPENAME(uint32_t db, uint32_t operands, uint32_t fn) { return VarText(db, operands, fn); }

// Status information of the variable named by (type code, index): stamps,
// its date and time, its bits, a copy to another variable.
uint32_t _STFS_VSISTAMP(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "8ll"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_StampVSI(o.db, o.Lit(1), o.Lit(2)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSISTAMPGMT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "8ll"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_StampVSIGMT(o.db, o.Lit(1), o.Lit(2)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSIGETDATE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "4ll"}, [](const Z7Ops &o) {
        o.Put32(0, Z7Map_GetVSIDate(o.db, o.Lit(1), o.Lit(2)));
        return 1u;
    });
}
uint32_t _STFS_VSIGETTIME(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {3, "4ll"}, [](const Z7Ops &o) {
        o.Put32(0, Z7Map_GetVSITime(o.db, o.Lit(1), o.Lit(2)));
        return 1u;
    });
}
uint32_t _STFS_VSISETDATE(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "8ll4"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_SetVSIDate(o.db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSISETTIME(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "8ll4"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_SetVSITime(o.db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSIGETBIT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {4, "8ll4"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_GetVSIBit(o.db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSISETBIT(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {5, "8ll48"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_SetVSIBit(o.db, o.Lit(1), o.Lit(2), o.U32(3), o.U8(4)) ? 1 : 0);
        return 1u;
    });
}
uint32_t _STFS_VSICOPY(uint32_t db, uint32_t operands, uint32_t) {
    return Call(db, operands, {6, "8lll88"}, [](const Z7Ops &o) {
        o.Put8(0, Z7Map_CopyVSI(o.db, o.Lit(1), o.Lit(2), o.Lit(3), o.U8(4), o.U8(5)) ? 1 : 0);
        return 1u;
    });
}
