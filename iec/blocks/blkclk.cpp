// Clock, schedule window, screen, scaling, alarm list, text table, CAN id and
// sun position blocks.
#include <algorithm>

#include "core/image/plcreg.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkclk.h"
#include "iec/vm/z7str.h"
#include "ladder/ladder.h"
#include "ladder/ladsched.h"

BlkHooks Blk_Hooks{};
uint16_t BlkClk_AlarmStatus = 0;
BlkForceState BlkClk_Force{};

namespace {
constexpr uint32_t W_SCREEN = 128, W_FORCED = 129, W_NODES = 188;

// SETCLK: INT array {second, minute, hour, day, month, year}, dimension, done.
void SetClk(const Z7Ops &o) {
    uint16_t rec[8] = {};
    // the six words found as every array operand is (complex-type segment
    // when the application has one)
    const uint8_t *a = o.Lit(1) >= 6 ? Blk_Array(o, 0, 11, 6) : nullptr;
    if (a != nullptr)
        for (uint32_t k = 0; k < 6; k++) rec[k] = LE_Get16(a + 2 * k);
    const bool ok = a != nullptr && rec[3] != 0 && rec[4] != 0 && rec[5] != 0 && Blk_Hooks.rtc_set != nullptr &&
                    Blk_Hooks.rtc_set(rec);
    o.SetB(2, ok);
}

void TimeOfDay(const Z7Ops &o) {
    o.SetB(4, Z7Schedule_TimeOfDay(uint16_t(o.I(0)), uint16_t(o.I(1)), uint16_t(o.I(2)), uint16_t(o.I(3))) != 0);
}
void StartEndYear(const Z7Ops &o) {
    const uint32_t w = o.U32(0);
    const uint16_t se[2] = {uint16_t(w), uint16_t(w >> 16)};
    o.SetB(1, Z7Schedule_Year(se) != 0);
}
void MonthsOfYear(const Z7Ops &o) { o.SetB(1, Z7Schedule_MonthOfYear(o.U16(0)) != 0); }
void DaysOfWeek(const Z7Ops &o) { o.SetB(1, Z7Schedule_DayOfWeek(o.U16(0)) != 0); }
void DaysOfMonth(const Z7Ops &o) { o.SetB(1, Z7Schedule_DayOfMonth(o.D(0)) != 0); }

// CHANGESCREEN: screen, current; only while no screen is forced.
void ChangeScreen(const Z7Ops &o) {
    if (PlcWord(W_FORCED) != 0) return;
    const int32_t screen = o.D(0);
    if (PlcWord(W_SCREEN) == uint16_t(screen) && o.D(1) == screen) return;
    PlcWordSet(W_SCREEN, uint16_t(screen));
    o.SetD(1, screen);
}

// FORCESCREEN: enable, screen, current; instance u16 number, u8 enabled.
uint32_t ForceScreen(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    BlkForceState &f = BlkClk_Force;
    uint8_t *p = Z7Mem_Ptr(inst, 4);
    if (cmd == FB_INSTSIZE) {
        f.renumber = 1;
        return 4;
    }
    if (cmd == FB_INSTINIT) {
        if (f.renumber || f.next == 0) {
            // A new numbering: the numbers of a force before mean nothing now.
            f.next = 1;
            f.holder = f.released = 0;
            f.remembered = 0;
        }
        f.renumber = 0;
        if (p != nullptr) {
            LE_Put16(p, f.next++);
            p[2] = 0;
        }
        return 0;
    }
    if (cmd != FB_EXEC) return Blk_Answer(cmd, 4);
    Z7Ops o;
    if (p == nullptr || !Z7Ops_Open(db, arg, 3, o)) return 0;
    const uint16_t no = LE_Get16(p);
    if (o.B(0)) {
        p[2] = 1;
        if (f.holder < no) {
            // The screen before any force is kept: one instance taking over
            // from another would otherwise remember the other's forced screen.
            if (!f.remembered) f.before = PlcWord(W_SCREEN);
            f.remembered = 1;
            const uint16_t screen = uint16_t(o.U32(1));
            PlcWordSet(W_FORCED, screen);
            o.SetD(2, screen);
            f.released = 0;
            f.holder = no;
        }
    } else if (p[2]) {
        p[2] = 0;
        if (f.holder == no) {
            f.released = no;
            f.holder = 0;
            PlcWordSet(W_FORCED, 0);
        }
    }
    // The highest instance keeps the shown screen on the forced one, on each
    // of its calls whatever its own enable: the one below it, and only while
    // enabled, would leave the force of a single instance (or of any but the
    // highest one) never shown.
    if (PlcWord(W_FORCED) != 0 && uint16_t(no + 1) == f.next && PlcWord(W_SCREEN) != PlcWord(W_FORCED))
        PlcWordSet(W_SCREEN, PlcWord(W_FORCED));
    // The screen before comes back once no instance holds the force (on
    // every call it would be lost the moment instance 1 took the force).
    if (f.remembered && f.holder == 0 && (no == f.released + 1 || no == 1)) {
        PlcWordSet(W_SCREEN, f.before);
        f.remembered = 0;
    }
    return 0;
}

// SCALEINT: X, X1, X2, Y1, Y2, OUT; the product in 64 bits, the result
// clamped to INT.
void ScaleInt(const Z7Ops &o) {
    const int64_t x = o.I(0), x1 = o.I(1), x2 = o.I(2), y1 = o.I(3), y2 = o.I(4);
    const int64_t d = x2 == x1 ? 1 : x2 - x1;
    const int64_t v = y1 + (y2 - y1) * (x - x1) / d;
    o.SetI(5, int32_t(std::clamp<int64_t>(v, -32768, 32767)));
}
void ScaleReal(const Z7Ops &o) {
    const float x = o.R(0), x1 = o.R(1), x2 = o.R(2), y1 = o.R(3), y2 = o.R(4);
    const float d = x2 == x1 ? 1.0f : x2 - x1;
    o.SetR(5, (x - x1) * (y2 - y1) / d + y1);
}

// TEXTTABLE: table number (from 1), value, text. Tables: {u16 number, u16
// count, count x {u32 limit, u32 text offset}}, ended by number 0xFFFF.
void TextTable(const Z7Ops &o) {
    const int32_t table = o.I(0);
    if (table <= 0) return;
    const uint8_t *t = Blk_Hooks.text_tables;
    const uint32_t len = t ? Blk_Hooks.text_tables_len : 0;
    const int32_t value = o.I(1);
    for (uint32_t at = 0; at + 4 <= len;) {
        const uint16_t number = LE_Get16(t + at), count = LE_Get16(t + at + 2);
        if (number == 0xFFFF) break;
        const uint32_t entries = at + 4;
        if (entries + 8u * count > len) break;
        if (number == uint32_t(table - 1)) {
            if (count == 0) break;
            uint32_t pick = count - 1;
            for (uint32_t k = 0; k < count; k++)
                if (int32_t(LE_Get32(t + entries + 8 * k)) >= value) {
                    pick = k;
                    break;
                }
            const uint32_t off = LE_Get32(t + entries + 8 * pick + 4);
            const uint8_t *s = Blk_Hooks.strings;
            uint32_t n = 0;
            if (s != nullptr && off < Blk_Hooks.strings_len)
                while (off + n < Blk_Hooks.strings_len && s[off + n] != 0 && n < 255) n++;
            Z7VMStr_AscForce(Z7VMStr_Slot(o.db, o.Lit(2)), n ? reinterpret_cast<const char *>(s + off) : "", n);
            return;
        }
        at = entries + 8u * count;
    }
    Z7VMStr_Empty(o.db, o.Lit(2));
}

// SETCANID: new id.
void SetCanId(const Z7Ops &o) {
    const int32_t id = o.I(0);
    if (id < 1 || id > 254 - int32_t(PlcWord(W_NODES)) || uint16_t(id) == PlcWord(W_NETID)) return;
    PlcWordSet(W_NETID, uint16_t(id));
    if (Blk_Hooks.net_init != nullptr) Blk_Hooks.net_init();
}

// SUNPOS: year, month, day, hour, minute, second (universal time), latitude
// (north positive), longitude (east positive), elevation, azimuth. The sun
// helper takes the location longitude first and answers the zenith angle;
// the block's output is the elevation above the horizon, 90 degrees less
// the zenith angle.
void SunPos(const Z7Ops &o) {
    int32_t tm[6];
    for (uint32_t k = 0; k < 6; k++) tm[k] = o.I(k);
    const double loc[2] = {o.LR(7), o.LR(6)};
    double res[2] = {};
    sunpos(tm, loc, res);
    o.SetLR(9, res[1]);
    o.SetLR(8, 90.0 - res[0]);
}

// ALARM: alarm words, dimension, next, previous, clear, acknowledge, first
// screen, count.
enum : uint16_t { A_COND = 0x100, A_LATCH = 0x200, A_ACK = 0x400, A_ANY = 0x8000, A_UNACK = 0x4000 };
enum : uint16_t { S_SEL = 0x8000, S_FIELD = 0x1FF, L_NEXT = 0x200, L_PREV = 0x400, L_CLEAR = 0x800, L_ACK = 0x1000 };
void Alarm(const Z7Ops &o) {
    uint16_t st = BlkClk_AlarmStatus;
    const uint32_t dim = o.Lit(1);
    if (dim == 0) {
        st &= uint16_t(~S_SEL);
        PlcWordSet(W_FORCED, 0);
    }
    // The alarm words, found as every array operand is (in the complex-type
    // segment when the application has one): an array that does not lie
    // whole in its segment is left alone, as one of no alarms.
    uint8_t *const arr = Blk_Array(o, 0, 11, dim);
    auto word = [&](uint32_t i) { return LE_Get16(arr + 2 * i); };
    auto put = [&](uint32_t i, uint16_t v) { LE_Put16(arr + 2 * i, v); };
    const int32_t cnt = o.D(7), first = o.D(6);
    const uint32_t n = cnt <= 0 || arr == nullptr ? 0 : std::min<uint32_t>(uint32_t(cnt), dim);
    auto latched = [&](uint32_t i) { return (word(i) & A_LATCH) != 0; };
    auto first_latched = [&]() -> int32_t {
        for (uint32_t i = 0; i < n; i++)
            if (latched(i)) return int32_t(i);
        return -1;
    };
    int32_t sel = -1;
    if ((st & S_SEL) && (st & S_FIELD) != S_FIELD) {
        // 64-bit: any first screen of the program, no overflow
        const int64_t i = int64_t(st & S_FIELD) - first;
        sel = i >= 0 && i < int64_t(n) ? int32_t(i) : first_latched();
    } else
        sel = first_latched();
    if (sel >= 0) {
        const bool next = o.B(2), prev = o.B(3), clear = o.B(4), ack = o.B(5);
        if (next && !(st & L_NEXT)) {
            for (uint32_t i = uint32_t(sel) + 1; i < n; i++)
                if (latched(i)) {
                    sel = int32_t(i);
                    break;
                }
            st |= L_NEXT;
        }
        if (prev && !(st & L_PREV)) {
            for (int32_t i = sel - 1; i >= 0; i--)
                if (latched(uint32_t(i))) {
                    sel = i;
                    break;
                }
            st |= L_PREV;
        }
        if (ack && !(st & L_ACK)) {
            put(uint32_t(sel), uint16_t(word(uint32_t(sel)) | A_ACK));
            st |= L_ACK;
        }
        if (clear && !(st & L_CLEAR)) {
            const uint16_t w = word(uint32_t(sel));
            if ((w & A_ACK) || !(w & A_LATCH)) {
                put(uint32_t(sel), uint16_t(w & ~(A_LATCH | A_ACK)));
                sel = first_latched();
            }
            st |= L_CLEAR;
        }
    }
    uint16_t screen = 0xFFFF;
    if (sel >= 0) {
        screen = uint16_t(uint32_t(first) + uint32_t(sel));  // the low 16 bits, without signed overflow
        st = uint16_t((st & (L_NEXT | L_PREV | L_CLEAR | L_ACK)) | S_SEL | (screen & S_FIELD));
    } else
        st = 0xFFFF;
    PlcWordSet(W_FORCED, screen);
    if (!o.B(2)) st &= uint16_t(~L_NEXT);
    if (!o.B(3)) st &= uint16_t(~L_PREV);
    if (!o.B(4)) st &= uint16_t(~L_CLEAR);
    if (!o.B(5)) st &= uint16_t(~L_ACK);
    BlkClk_AlarmStatus = st;
    // word 0's summary bits are worked out again on every call, also with a
    // count of 0 (no alarm looked at: both clear) whenever the array has a
    // word 0
    uint16_t flags = 0;
    if (arr != nullptr) put(0, word(0) & 0x3FFF);
    for (uint32_t i = 0; i < n; i++) {
        uint16_t w = word(i);
        if (w & A_LATCH) flags |= (w & A_ACK) ? uint16_t(A_ANY) : uint16_t(A_ANY | A_UNACK);
        if (w & A_COND) {
            if (!(w & A_LATCH) && (w & 0xFF) < 255) w = uint16_t(w + 1);
            w |= A_LATCH;
        }
        put(i, w);
    }
    if (arr != nullptr) put(0, word(0) | flags);
    PlcWordSet(W_SCREEN, PlcWord(W_FORCED));
}

constexpr BlkRow kRows[] = {
    {"SETCLK", Blk_Plain<3, SetClk>},
    {"TIMEOFDAY", Blk_Plain<5, TimeOfDay>},
    {"STARTENDYEAR", Blk_Plain<2, StartEndYear>},
    {"MONTHSOFYEAR", Blk_Plain<2, MonthsOfYear>},
    {"DAYSOFWEEK", Blk_Plain<2, DaysOfWeek>},
    {"DAYSOFMONTH", Blk_Plain<2, DaysOfMonth>},
    {"CHANGESCREEN", Blk_Plain<2, ChangeScreen>},
    {"FORCESCREEN", ForceScreen},
    {"SCALEINT", Blk_Plain<6, ScaleInt>},
    {"SCALEREAL", Blk_Plain<6, ScaleReal>},
    {"TEXTTABLE", Blk_Plain<3, TextTable>},
    {"SETCANID", Blk_Plain<1, SetCanId>},
    {"SUNPOS", Blk_Plain<10, SunPos>},
    {"ALARM", Blk_Plain<8, Alarm>},
};
}  // namespace

const BlkFamily BlkClk_Family{kRows, sizeof kRows / sizeof kRows[0]};
