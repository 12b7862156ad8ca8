// Time schedules over the clock image (words 171..177: second, minute, hour,
// day, month, year, day of week).
#include "ladder/ladsched.h"

#include "core/image/plcreg.h"
#include "io/copen.h"
#include "ladder/ladint.h"

namespace {

uint32_t ClockWord(uint32_t k) { return PlcWord(W_CLOCK + k); }

// Bit (v - 1) of mask for v in 1..32, else 0.
uint32_t MaskBit(uint32_t mask, uint32_t v) { return (v >= 1 && v <= 32) ? (mask >> (v - 1)) & 1 : 0; }

// Value operand: a reference below 1024 is the value, any other names the
// register holding it. ok is cleared for a register outside the image.
uint32_t ValueOp(LadCursor &c, bool &ok) {
    uint32_t r;
    if (RegTokLen_16b) {
        const uint32_t t = LadWord(c);
        r = t == 1776 ? 0x10000u + LadWord(c) : (t == 1777 ? 0x20000u + LadWord(c) : t);
    } else {
        r = LadRemap(LadDword(c));
    }
    if (r < 1024) return r;
    const uint32_t idx = (r - 1024) / 16;
    if (!LadWordsFit(idx, 1)) {
        ok = false;
        return 0;
    }
    return LadGet16(idx);
}

// Register operand holding n words, or LAD_NOREF.
uint32_t RegOp(LadCursor &c, uint32_t n) { return LadWordRef(c, n); }

}  // namespace

uint32_t Z7Schedule_TimeOfDay(uint32_t start_hour, uint32_t start_minute, uint32_t stop_hour, uint32_t stop_minute) {
    if (start_hour > 23 || stop_hour > 23 || start_minute > 59 || stop_minute > 59) return 0;
    const uint32_t now = ClockWord(2) * 60u + ClockWord(1);
    const uint32_t start = start_hour * 60 + start_minute, stop = stop_hour * 60 + stop_minute;
    if (start <= now && now < stop) return 1;
    if (start <= stop) return 0;
    return (now >= start || now < stop) ? 1 : 0;  // the window runs past midnight
}
uint32_t Z7Schedule_DayOfWeek(uint32_t mask) { return mask >= 128 ? 0 : MaskBit(mask, ClockWord(6)); }
uint32_t Z7Schedule_MonthOfYear(uint32_t mask) { return mask >= 4096 ? 0 : MaskBit(mask, ClockWord(4)); }
uint32_t Z7Schedule_DayOfMonth(int32_t mask) { return mask < 0 ? 0 : MaskBit(uint32_t(mask), ClockWord(3)); }
uint32_t Z7Schedule_Year(const uint16_t *start_end) {
    const uint32_t start = start_end[0], end = start_end[1], year = ClockWord(5);
    if (start < 2000 || end > 2100) return 0;
    return (start <= year && year <= end) ? 1 : 0;
}

uint32_t Schedule_TimeOfDay(LadCursor *pc, uint32_t power) {
    bool ok = true;
    uint32_t v[4];
    for (uint32_t &x : v) x = ValueOp(*pc, ok);
    if (!power || !ok || pc->bad) return 0;
    return Z7Schedule_TimeOfDay(v[0], v[1], v[2], v[3]);
}
uint32_t Schedule_DayOfWeekImm(LadCursor *pc, uint32_t power) {
    const uint16_t mask = LadWord(*pc);
    return (power && !pc->bad) ? Z7Schedule_DayOfWeek(mask) : 0;
}
uint32_t Schedule_DayOfWeekReg(LadCursor *pc, uint32_t power) {
    const uint32_t r = RegOp(*pc, 1);
    return (power && !pc->bad && r != LAD_NOREF) ? Z7Schedule_DayOfWeek(LadGet16(r)) : 0;
}
uint32_t Schedule_DayOfMonthImm(LadCursor *pc, uint32_t power) {
    const uint32_t mask = LadDword(*pc);
    return (power && !pc->bad) ? Z7Schedule_DayOfMonth(int32_t(mask)) : 0;
}
uint32_t Schedule_DayOfMonthReg(LadCursor *pc, uint32_t power) {
    const uint32_t r = RegOp(*pc, 2);
    return (power && !pc->bad && r != LAD_NOREF) ? Z7Schedule_DayOfMonth(int32_t(LadGet32(r))) : 0;
}
uint32_t Schedule_MonthOfYearImm(LadCursor *pc, uint32_t power) {
    const uint16_t mask = LadWord(*pc);
    return (power && !pc->bad) ? Z7Schedule_MonthOfYear(mask) : 0;
}
uint32_t Schedule_MonthOfYearReg(LadCursor *pc, uint32_t power) {
    const uint32_t r = RegOp(*pc, 1);
    return (power && !pc->bad && r != LAD_NOREF) ? Z7Schedule_MonthOfYear(LadGet16(r)) : 0;
}
uint32_t Schedule_YearImm(LadCursor *pc, uint32_t power) {
    const uint16_t years[2] = {LadWord(*pc), LadWord(*pc)};
    return (power && !pc->bad) ? Z7Schedule_Year(years) : 0;
}
uint32_t Schedule_YearReg(LadCursor *pc, uint32_t power) {
    const uint32_t r = RegOp(*pc, 2);
    if (!power || pc->bad || r == LAD_NOREF) return 0;
    const uint16_t years[2] = {LadGet16(r), LadGet16(r + 1)};
    return Z7Schedule_Year(years);
}

namespace {

template <uint32_t (*F)(LadCursor *, uint32_t)>
int Op_Schedule() {
    if (lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(F(&lad.cur, power));
    return LAD_GO;
}

// The CANopen block reads its operands from a copy of its words, taken only
// when the program holds all of them.
int Op_CANOpen() {
    LadCursor &c = lad.cur;
    if (lad.lsp < 1 || c.pos >= c.end) return LAD_FAULT;
    const uint32_t n = CANOpenLadrWords(LE_Get16(c.code + 2 * std::size_t(c.pos)));
    if (c.end - c.pos < n) return LAD_FAULT;
    uint16_t words[17] = {};
    for (uint32_t i = 0; i < n && i < 17; i++) words[i] = LE_Get16(c.code + 2 * std::size_t(c.pos + i));
    const uint16_t *t = words;
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(CANOpenLadrBlock(&t, power) ? 1 : 0);
    c.pos += uint32_t(t - words);
    return LAD_GO;
}

void Set(unsigned op, LadOp f) { lad_ops16[op] = lad_opsx[op] = f; }

}  // namespace

void LadSched_Fill() {
    Set(LOP_CANOPEN, Op_CANOpen);
    Set(LOP_SCHED_TIME_OF_DAY, Op_Schedule<Schedule_TimeOfDay>);
    Set(LOP_SCHED_DOW_K, Op_Schedule<Schedule_DayOfWeekImm>);
    Set(LOP_SCHED_DOW, Op_Schedule<Schedule_DayOfWeekReg>);
    Set(LOP_SCHED_DOM_K, Op_Schedule<Schedule_DayOfMonthImm>);
    Set(LOP_SCHED_DOM, Op_Schedule<Schedule_DayOfMonthReg>);
    Set(LOP_SCHED_MOY_K, Op_Schedule<Schedule_MonthOfYearImm>);
    Set(LOP_SCHED_MOY, Op_Schedule<Schedule_MonthOfYearReg>);
    Set(LOP_SCHED_YEAR_K, Op_Schedule<Schedule_YearImm>);
    Set(LOP_SCHED_YEAR, Op_Schedule<Schedule_YearReg>);
}
