// Standard functions on bit patterns (masks, shifts, rotations, byte and
// word packing, BCD, single bits, byte swapping, block moves), on the clock
// (date stamps, times of day) and on the VM itself (stop, events, log,
// trace, system information, CSV options, string tables, retain files).
// Operand 0 is the result; it is written only when its lock bit is clear.
#include <array>
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
Sig SigOf(uint32_t fn) {
    switch (fn) {
    case 20:
    case 28:
    case 35: return {3, "444"};
    case 27: return {2, "44"};
    case 96:
    case 97:
    case 98: return {3, "111"};
    case 99: return {2, "11"};
    case 100:
    case 101:
    case 102: return {3, "888"};
    case 103: return {2, "88"};
    case 210:
    case 211:
    case 212: return {3, "666"};
    case 213: return {2, "66"};
    case 30:
    case 31:
    case 33:
    case 34: return {3, "444"};
    case 81:
    case 82:
    case 83:
    case 84: return {3, "111"};
    case 85:
    case 86:
    case 87:
    case 88: return {3, "888"};
    case 206:
    case 207:
    case 208:
    case 209: return {3, "666"};
    case 78:
    case 79: return {2, "44"};
    case 162:
    case 163: return {2, "81"};
    case 166: return {3, "188"};
    case 164:
    case 165: return {2, "14"};
    case 167: return {3, "411"};
    case 168: return {9, "888888888"};
    case 170: return {4, "8la4"};
    case 169: return {5, "ala48"};
    case 219: return {3, "ala"};
    case 161: return {4, "4lll"};
    case 95: return {9, "8lllll444"};
    case 118:
    case 119: return {1, "4"};
    case 120:
    case 121:
    case 122:
    case 123:
    case 124:
    case 125:
    case 126: return {2, "44"};
    case 63: return {2, "s4"};
    case 171: return {2, "ss"};
    case 196: return {5, "sla44"};
    case 135:
    case 136:
    case 156: return {2, "88"};
    case 94: return {4, "8444"};
    case 80: return {6, "8s4444"};
    case 113: return {2, "44"};
    case 198: return {3, "8ss"};
    case 175: return {2, "84"};
    case 176: return {2, "s4"};
    case 216:
    case 217: return {2, "8s"};
    case 218: return {6, "8sssll"};
    case 137:
    case 139:
    case 141: return {4, "4sll"};
    case 138:
    case 140:
    case 142: return {4, "sll4"};
    case 143: return {2, "4s"};
    case 144: return {3, "4ll"};
    case 145:
    case 146:
    case 147: return {2, "s4"};
    case 13:
    case 193: return {3, "8ll"};
    case 189:
    case 191: return {3, "4ll"};
    case 190:
    case 192: return {4, "8ll4"};
    case 187: return {4, "8ll4"};
    case 188: return {5, "8ll48"};
    case 220: return {6, "8lll88"};
    default: return {0, ""};
    }
}
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
    const uint32_t len = Z7VMStr_GetLength(o.db, o.Lit(1));
    const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(1)), len);
    const uint32_t fl = t ? (len < sizeof fmt ? len : uint32_t(sizeof fmt - 1)) : 0;
    if (fl) std::memcpy(fmt, t, fl);
    fmt[fl] = 0;
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
        while (j < fl && fmt[j] >= '0' && fmt[j] <= '9' && j - i < 8) j++;
        if (j < fl && fmt[j] == '.') {
            j++;
            while (j < fl && fmt[j] >= '0' && fmt[j] <= '9' && j - i < 12) j++;
        }
        while (j < fl && (fmt[j] == 'l' || fmt[j] == 'h')) j++;
        if (j < fl && std::strchr("diuxXoc", fmt[j]) && arg < 4) {
            char spec[24], piece[64];
            uint32_t k = 0;
            for (uint32_t p = i; p < j && k < sizeof spec - 2; p++)
                if (fmt[p] != 'l' && fmt[p] != 'h') spec[k++] = fmt[p];
            spec[k++] = fmt[j];
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

constexpr uint32_t kOther = 2;  // not a function of this group (nor of this file)

// Bit patterns: logic, shifts and rotations, BCD, byte and word packing,
// single bits, byte swapping, block moves.
uint32_t RunBits(const Z7Ops &o, uint32_t fn) {
    const uint32_t db = o.db;
    switch (fn) {
    case 27: o.Put32(0, ~o.U32(1)); return 1;
    case 20: o.Put32(0, o.U32(1) & o.U32(2)); return 1;
    case 28: o.Put32(0, o.U32(1) | o.U32(2)); return 1;
    case 35: o.Put32(0, o.U32(1) ^ o.U32(2)); return 1;
    case 99: o.Put16(0, uint16_t(~o.U16(1))); return 1;
    case 96: o.Put16(0, o.U16(1) & o.U16(2)); return 1;
    case 97: o.Put16(0, o.U16(1) | o.U16(2)); return 1;
    case 98: o.Put16(0, o.U16(1) ^ o.U16(2)); return 1;
    case 103: o.Put8(0, uint8_t(~o.U8(1))); return 1;
    case 100: o.Put8(0, o.U8(1) & o.U8(2)); return 1;
    case 101: o.Put8(0, o.U8(1) | o.U8(2)); return 1;
    case 102: o.Put8(0, o.U8(1) ^ o.U8(2)); return 1;
    case 213: o.Put64(0, ~o.U64(1)); return 1;
    case 210: o.Put64(0, o.U64(1) & o.U64(2)); return 1;
    case 211: o.Put64(0, o.U64(1) | o.U64(2)); return 1;
    case 212: o.Put64(0, o.U64(1) ^ o.U64(2)); return 1;
    case 30: o.Put32(0, Rol(o.U32(1), o.U32(2))); return 1;
    case 31: o.Put32(0, Ror(o.U32(1), o.U32(2))); return 1;
    case 33: o.Put32(0, Shl(o.U32(1), o.U32(2))); return 1;
    case 34: o.Put32(0, Shr(o.U32(1), o.U32(2), Logical(db))); return 1;
    case 81: o.Put16(0, Rol(o.U16(1), o.U16(2))); return 1;
    case 82: o.Put16(0, Ror(o.U16(1), o.U16(2))); return 1;
    case 83: o.Put16(0, Shl(o.U16(1), o.U16(2))); return 1;
    case 84: o.Put16(0, Shr(o.U16(1), o.U16(2), Logical(db))); return 1;
    case 85: o.Put8(0, Rol(o.U8(1), o.U8(2))); return 1;
    case 86: o.Put8(0, Ror(o.U8(1), o.U8(2))); return 1;
    case 87: o.Put8(0, Shl(o.U8(1), o.U8(2))); return 1;
    case 88: o.Put8(0, Shr(o.U8(1), o.U8(2), Logical(db))); return 1;
    case 206: o.Put64(0, Rol(o.U64(1), uint32_t(o.U64(2)))); return 1;
    case 207: o.Put64(0, Ror(o.U64(1), uint32_t(o.U64(2)))); return 1;
    case 208: o.Put64(0, Shl(o.U64(1), uint32_t(o.U64(2)))); return 1;
    case 209: o.Put64(0, Shr(o.U64(1), uint32_t(o.U64(2)), Logical(db))); return 1;
    case 78: o.Put32(0, BinToBcd(o.D(1))); return 1;
    case 79: o.Put32(0, BcdToBin(o.D(1))); return 1;
    case 162: o.Put8(0, uint8_t(o.U16(1))); return 1;
    case 163: o.Put8(0, uint8_t(o.U16(1) >> 8)); return 1;
    case 166: o.Put16(0, uint16_t(o.U8(1) << 8 | o.U8(2))); return 1;
    case 164: o.Put16(0, uint16_t(o.U32(1))); return 1;
    case 165: o.Put16(0, uint16_t(o.U32(1) >> 16)); return 1;
    case 167: o.Put32(0, uint32_t(o.U16(1)) << 16 | o.U16(2)); return 1;
    case 168: {
        uint8_t v = 0;
        for (uint32_t i = 0; i < 8; i++)
            if (o.U8(1 + i)) v |= uint8_t(1u << i);
        o.Put8(0, v);
        return 1;
    }
    case 170: {
        const uint32_t type = o.Lit(1), w = IntWidth(type);
        const int32_t bit = o.D(3);
        o.Put8(0, w != 0 && bit >= 0 && uint32_t(bit) < w ? uint8_t((GetAny(o, type, 2) >> bit) & 1) : 0);
        return 1;
    }
    case 169: {
        // SETBIT: a forced result keeps its value like every other result
        const uint32_t type = o.Lit(1), w = IntWidth(type);
        if (type == 0 || type > 17) return 1;
        if (type == 5) {
            if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_Copy(db, o.Lit(0), o.Lit(2));
            return 1;
        }
        uint64_t v = GetAny(o, type, 2);
        const int32_t bit = o.D(3);
        if (w != 0 && bit >= 0 && uint32_t(bit) < w) {
            if (o.U8(4))
                v |= uint64_t(1) << bit;
            else
                v &= ~(uint64_t(1) << bit);
        }
        PutAny(o, type, v);
        return 1;
    }
    case 219: {
        const uint32_t type = o.Lit(1);
        if (type == 0 || type > 17) return 1;
        if (type == 5) {
            if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_Copy(db, o.Lit(0), o.Lit(2));
            return 1;
        }
        uint64_t v = GetAny(o, type, 2);
        if (type == 11 || type == 15)
            v = uint16_t((v << 8) | ((v >> 8) & 0xFF));
        else if (type == 2 || type == 16)
            v = __builtin_bswap32(uint32_t(v));
        PutAny(o, type, v);  // TIME too: a forced TIME keeps its value
        return 1;
    }
    case 161: o.Put32(0, o.Lit(3)); return 1;
    case 95: o.Put8(0, uint8_t(MoveBlock(o))); return 1;
    default: return kOther;
    }
}

// The clock: time and date parts, times of day as text, date stamps.
uint32_t RunClock(const Z7Ops &o, uint32_t fn) {
    const uint32_t db = o.db;
    switch (fn) {
    case 118: {
        uint32_t d = 0, t = 0;
        Z7Std_Clock(0, &d, &t);
        o.Put32(0, t);
        return 1;
    }
    case 119: {
        uint32_t d = 0, t = 0;
        Z7Std_Clock(0, &d, &t);
        o.Put32(0, d);
        return 1;
    }
    case 120: o.Put32(0, o.U32(1) & 0xFF); return 1;
    case 121: o.Put32(0, (o.U32(1) >> 8) & 0xFF); return 1;
    case 122: o.Put32(0, o.U32(1) >> 16); return 1;
    case 123: o.Put32(0, uint32_t(o.D(1) / 1000 % 60)); return 1;
    case 124: o.Put32(0, uint32_t(o.D(1) / 60000 % 60)); return 1;
    case 125: o.Put32(0, uint32_t(o.D(1) / 3600000)); return 1;
    case 126: o.Put32(0, uint32_t(o.D(1) % 1000)); return 1;
    case 63: {
        char text[32] = {};
        DayTime(uint32_t(o.D(1)), text);
        o.PutStr(0, text);
        return 1;
    }
    case 171: {
        uint32_t date = 0, time = 0;
        Z7Std_Clock(0, &date, &time);
        if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_DateFmt(db, o.Lit(0), o.Lit(1), date, time);
        return 1;
    }
    case 196:  // NUMTOSTRING (type literal, value, width, precision)
        if (!o.Forced(0, 0, Z7LK_STR)) Z7VMStr_NumToStr(db, o.Lit(0), o.Lit(1), o.Lit(2), o.D(3), o.D(4));
        return 1;
    default: return kOther;
    }
}

// The VM itself: stop, events, log, trace, system information, CSV
// options, string tables, retain files, the Modbus slave identity.
uint32_t RunVm(const Z7Ops &o, uint32_t fn) {
    const uint32_t db = o.db;
    switch (fn) {
    case 136:
        if (o.U8(1)) Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~(Z7F_RUN | Z7F_STEP)));
        o.Put8(0, 1);
        return 1;
    case 135:
        if (o.U8(1)) return 0;
        o.Put8(0, 0);
        return 1;
    case 156: {
        const bool on = o.U8(1) != 0;
        const uint16_t fl = Z7St_Flags(db);
        Z7St_SetFlags(db, on ? uint16_t(fl & ~Z7F_NOEVENTS) : uint16_t(fl | Z7F_NOEVENTS));
        o.Put8(0, on ? 1 : 0);
        return 1;
    }
    case 94:
        Z7VMLog_Push(db, uint16_t(o.U32(1)), uint16_t(o.U32(2)), o.U32(3));
        o.Put8(0, 1);
        return 1;
    case 80:
        Printf(o);
        o.Put8(0, 0);
        return 1;
    case 113: o.Put32(0, SysInfo(db, o.D(1))); return 1;
    case 198: {
        const bool ok = Z7VMStr_GetLength(db, o.Lit(1)) == 1 && Z7VMStr_GetLength(db, o.Lit(2)) == 1;
        if (ok) {
            const uint32_t st = Z7VM_Status(db);
            Z7Mem_Put8(st + ST_SEP1, Z7Mem_Get8(Z7VMStr_GetText(db, o.Lit(1))));
            Z7Mem_Put8(st + ST_SEP2, Z7Mem_Get8(Z7VMStr_GetText(db, o.Lit(2))));
        }
        o.Put8(0, ok ? 1 : 0);
        return 1;
    }
    case 175: {
        uint32_t code = 0, end = 0;
        const uint32_t t = Image(db, code, end) ? Z7VMCode_GetStringTable(code, o.U32(1)) : 0;
        if (t != 0) {
            Z7Mem_Put32(Z7VM_Header(db) + HD_CURSTRTAB, t);
            Z7Mem_Put32(Z7VM_Header(db) + HD_DEFSTRTAB, o.U32(1));
        }
        o.Put8(0, t != 0 ? 1 : 0);
        return 1;
    }
    case 176: LoadString(o); return 1;
    case 216:
    case 217: {
        char path[256];
        const uint32_t len = Z7VMStr_GetLength(db, o.Lit(1));
        const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(db, o.Lit(1)), len);
        const uint32_t n = t ? (len < sizeof path ? len : uint32_t(sizeof path - 1)) : 0;
        if (n) std::memcpy(path, t, n);
        path[n] = 0;
        // a ".." component is refused; a relative name lies under the root
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
        if (n != 0 && !climbs) ok = fn == 216 ? Z7VMWarm_SaveToFile(db, full) : Z7VMWarm_LoadFromFile(db, full);
        o.Put8(0, ok ? 1 : 0);
        return 1;
    }
    case 218: {
        // MBSLAVEIDENT (vendor, product, revision, 16-bit array, count)
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
        return 1;
    }
    default: return kOther;
    }
}

// Strings into and out of arrays; the variable map: handles, status
// information, symbols.
uint32_t RunMap(const Z7Ops &o, uint32_t fn) {
    const uint32_t db = o.db;
    switch (fn) {
    case 137:
    case 139:
    case 141: {
        // STRINGTOARRAY (8-bit), SRINGTOARRAY32, SRINGTOARRAY16
        const uint32_t type = fn == 137 ? 14 : fn == 139 ? 16 : 15, declared = o.Lit(3);
        const uint32_t a = Z7Tools_GetArrayIn(db, type, o.Lit(2), declared, nullptr);
        uint32_t k = 0;
        if (a != 0)
            k = fn == 137   ? Z7VMStr_ToD8(db, o.Lit(1), a, declared)
                : fn == 139 ? Z7VMStr_ToD32(db, o.Lit(1), a, declared)
                            : Z7VMStr_ToD16(db, o.Lit(1), a, declared);
        o.Put32(0, k);
        return 1;
    }
    case 138:
    case 140:
    case 142: {
        const uint32_t type = fn == 138 ? 14 : fn == 140 ? 16 : 15, declared = o.Lit(2);
        const uint32_t a = Z7Tools_GetArrayIn(db, type, o.Lit(1), declared, nullptr);
        if (a == 0 || o.Forced(0, 0, Z7LK_STR)) return 1;
        if (fn == 138)
            Z7VMStr_FromD8(db, a, declared, o.Lit(0), o.D(3));
        else if (fn == 140)
            Z7VMStr_FromD32(db, a, declared, o.Lit(0), o.D(3));
        else
            Z7VMStr_FromD16(db, a, declared, o.Lit(0), o.D(3));
        return 1;
    }
    case 143: {
        char name[256];
        const uint32_t len = Z7VMStr_GetLength(db, o.Lit(1));
        const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(db, o.Lit(1)), len);
        const uint32_t n = t ? (len < sizeof name ? len : uint32_t(sizeof name - 1)) : 0;
        if (n) std::memcpy(name, t, n);
        name[n] = 0;
        o.Put32(0, n ? Z7Map_GetBySymbol(db, name) : 0);
        return 1;
    }
    case 144: o.Put32(0, Z7Map_GetByIndex(db, o.Lit(1), o.Lit(2))); return 1;
    // status information of the variable named by (type code, index)
    case 193: o.Put8(0, Z7Map_StampVSI(db, o.Lit(1), o.Lit(2)) ? 1 : 0); return 1;
    case 13: o.Put8(0, Z7Map_StampVSIGMT(db, o.Lit(1), o.Lit(2)) ? 1 : 0); return 1;
    case 189: o.Put32(0, Z7Map_GetVSIDate(db, o.Lit(1), o.Lit(2))); return 1;
    case 191: o.Put32(0, Z7Map_GetVSITime(db, o.Lit(1), o.Lit(2))); return 1;
    case 190: o.Put8(0, Z7Map_SetVSIDate(db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0); return 1;
    case 192: o.Put8(0, Z7Map_SetVSITime(db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0); return 1;
    case 187: o.Put8(0, Z7Map_GetVSIBit(db, o.Lit(1), o.Lit(2), o.U32(3)) ? 1 : 0); return 1;
    case 188: o.Put8(0, Z7Map_SetVSIBit(db, o.Lit(1), o.Lit(2), o.U32(3), o.U8(4)) ? 1 : 0); return 1;
    case 220: o.Put8(0, Z7Map_CopyVSI(db, o.Lit(1), o.Lit(2), o.Lit(3), o.U8(4), o.U8(5)) ? 1 : 0); return 1;
    case 145:
    case 146:
    case 147: {
        // GETVARSYMBOL, GETVARPROFILE, GETVARTYPENAME of a handle of the map
        const uint32_t item = o.U32(1);
        const bool known = item != 0 && Z7Map_CheckPointer(db, item) != 0;
        char profile[17] = {};
        const char *text = nullptr;
        if (known && fn == 145) text = Z7Map_GetSymbol(item);
        if (known && fn == 147) text = Z7Map_GetTypeName(item, db);
        if (known && fn == 146) {
            if (const uint8_t *p = Z7Mem_Ptr(Z7Map_GetProfileName(item), 16)) {
                std::memcpy(profile, p, 16);
                text = profile;
            }
        }
        o.PutStr(0, text ? text : "");
        return 1;
    }
    default: return kOther;
    }
}

uint32_t Run(const Z7Ops &o, uint32_t fn) {
    using Group = uint32_t (*)(const Z7Ops &, uint32_t);
    static constexpr std::array<Group, 4> kGroups = {RunBits, RunClock, RunVm, RunMap};
    for (const Group run : kGroups)
        if (const uint32_t r = run(o, fn); r != kOther) return r;
    return kOther;
}
}  // namespace

uint32_t Z7VMStfBit_Execute(const Z7Ops &o, uint32_t fn) {
    const Sig s = SigOf(fn);
    if (s.n == 0) return 2;
    if (o.n < s.n || !Valid(o, s)) return 0;
    return Run(o, fn);
}

// Until each function has its own handler: the module's switch behind every
// name.
#define STF_ADAPT(N)                                                                  \
    uint32_t _STFS_##N(uint32_t db, uint32_t operands, uint32_t fn) {                 \
        Z7Ops o;                                                                      \
        return z7stf::Open(db, operands, o) && Z7VMStfBit_Execute(o, fn) == 1 ? 1 : 0;               \
    }
STF_ADAPT(VSISTAMPGMT)
STF_ADAPT(ANDMASK)
STF_ADAPT(NOTMASK)
STF_ADAPT(ORMASK)
STF_ADAPT(ROL)
STF_ADAPT(ROR)
STF_ADAPT(SHL)
STF_ADAPT(SHR)
STF_ADAPT(XORMASK)
STF_ADAPT(DAY_TIME)
STF_ADAPT(BIN_TO_BCD)
STF_ADAPT(BCD_TO_BIN)
STF_ADAPT(PRINTF)
STF_ADAPT(ROLW)
STF_ADAPT(RORW)
STF_ADAPT(SHLW)
STF_ADAPT(SHRW)
STF_ADAPT(ROLB)
STF_ADAPT(RORB)
STF_ADAPT(SHLB)
STF_ADAPT(SHRB)
STF_ADAPT(LOGMESSAGE)
STF_ADAPT(MOVEBLOCK)
STF_ADAPT(ANDWORD)
STF_ADAPT(ORWORD)
STF_ADAPT(XORWORD)
STF_ADAPT(NOTWORD)
STF_ADAPT(ANDBYTE)
STF_ADAPT(ORBYTE)
STF_ADAPT(XORBYTE)
STF_ADAPT(NOTBYTE)
STF_ADAPT(GETSYSINFO)
STF_ADAPT(DTCURTIME)
STF_ADAPT(DTCURDATE)
STF_ADAPT(DTDAY)
STF_ADAPT(DTMONTH)
STF_ADAPT(DTYEAR)
STF_ADAPT(DTSEC)
STF_ADAPT(DTMIN)
STF_ADAPT(DTHOUR)
STF_ADAPT(DTMS)
STF_ADAPT(FATALSTOP)
STF_ADAPT(CYCLESTOP)
STF_ADAPT(STRINGTOARRAY)
STF_ADAPT(ARRAYTOSTRING)
STF_ADAPT(SRINGTOARRAY32)
STF_ADAPT(ARRAYTOSTRING32)
STF_ADAPT(SRINGTOARRAY16)
STF_ADAPT(ARRAYTOSTRING16)
STF_ADAPT(GETVARBYNAME)
STF_ADAPT(GETVARBYADDR)
STF_ADAPT(GETVARSYMBOL)
STF_ADAPT(GETVARPROFILE)
STF_ADAPT(GETVARTYPENAME)
STF_ADAPT(ENABLEEVENTS)
STF_ADAPT(COUNTOF)
STF_ADAPT(LOBYTE)
STF_ADAPT(HIBYTE)
STF_ADAPT(LOWORD)
STF_ADAPT(HIWORD)
STF_ADAPT(MAKEWORD)
STF_ADAPT(MAKEDWORD)
STF_ADAPT(PACK8)
STF_ADAPT(SETBIT)
STF_ADAPT(TESTBIT)
STF_ADAPT(DTFORMAT)
STF_ADAPT(STRINGTABLE)
STF_ADAPT(LOADSTRING)
STF_ADAPT(VSIGETBIT)
STF_ADAPT(VSISETBIT)
STF_ADAPT(VSIGETDATE)
STF_ADAPT(VSISETDATE)
STF_ADAPT(VSIGETTIME)
STF_ADAPT(VSISETTIME)
STF_ADAPT(VSISTAMP)
STF_ADAPT(NUMTOSTRING)
STF_ADAPT(SETCSVOPT)
STF_ADAPT(ROL64)
STF_ADAPT(ROR64)
STF_ADAPT(SHL64)
STF_ADAPT(SHR64)
STF_ADAPT(AND64)
STF_ADAPT(OR64)
STF_ADAPT(XOR64)
STF_ADAPT(NOT64)
STF_ADAPT(F_SAVERETAIN)
STF_ADAPT(F_LOADRETAIN)
STF_ADAPT(MBSLAVEIDENT)
STF_ADAPT(SWAB)
STF_ADAPT(VSICOPY)
#undef STF_ADAPT
