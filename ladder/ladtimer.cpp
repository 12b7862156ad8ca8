// Timers and counters. A timer or counter keeps its whole state in its
// register block: value (one word, or two low first), then the status word
// (bit 15 done, bit 14 timing or the remembered input, bits 0-13 the timer's
// 14-bit stamp of the 100 us time base).
#include "ladder/ladint.h"

namespace {

enum TimerKind : uint8_t { T_ON, T_OFF, T_RET };

struct TimerDef {
    uint16_t op;  // even opcode of the pair (register preset)
    uint8_t kind;
    uint16_t div;  // 100 us ticks per unit of the time base
};

constexpr TimerDef kTimers16[] = {
    {LOP_TON_10MS, T_ON, 100},    {LOP_TOF_10MS, T_OFF, 100},  {LOP_TON_100MS, T_ON, 1000},
    {LOP_TOF_100MS, T_OFF, 1000}, {LOP_TRET_10MS, T_RET, 100}, {LOP_TRET_100MS, T_RET, 1000},
    {LOP_TRET_1S, T_RET, 10000},  {LOP_TON_1S, T_ON, 10000},   {LOP_TOF_1S, T_OFF, 10000},
    {LOP_TRET_1MS, T_RET, 10},    {LOP_TON_1MS, T_ON, 10},     {LOP_TOF_1MS, T_OFF, 10},
};
constexpr TimerDef kTimers32[] = {
    {LOP_TRET32_1S, T_RET, 10000},   {LOP_TON32_1S, T_ON, 10000},   {LOP_TOF32_1S, T_OFF, 10000},
    {LOP_TRET32_1MS, T_RET, 10},     {LOP_TON32_1MS, T_ON, 10},     {LOP_TOF32_1MS, T_OFF, 10},
    {LOP_TRET32_10MS, T_RET, 100},   {LOP_TON32_10MS, T_ON, 100},   {LOP_TOF32_10MS, T_OFF, 100},
    {LOP_TRET32_100MS, T_RET, 1000}, {LOP_TON32_100MS, T_ON, 1000}, {LOP_TOF32_100MS, T_OFF, 1000},
};

template <std::size_t N>
const TimerDef *FindTimer(const TimerDef (&t)[N], uint16_t op) {
    for (const TimerDef &d : t)
        if (d.op == (op & ~1u)) return &d;
    return nullptr;
}

constexpr uint16_t ST_DONE = 0x8000, ST_BUSY = 0x4000, ST_STAMP = 0x3FFF;

// Reads a preset: register (one word signed, or two words) or immediate (one
// word unsigned, or two words signed). ok is cleared for a refused register.
int64_t ReadPreset(LadCursor &c, bool imm, bool wide, bool &ok) {
    if (imm) return wide ? int64_t(int32_t(LadDword(c))) : int64_t(LadWord(c));
    const uint32_t r = LadWordRef(c, wide ? 2 : 1);
    if (r == LAD_NOREF) {
        ok = false;
        return 0;
    }
    return wide ? int64_t(int32_t(LadGet32(r))) : int64_t(int16_t(LadGet16(r)));
}

uint32_t TimerRun(LadCursor *pc, const TimerDef *d, bool imm, bool wide, uint32_t power, uint16_t now) {
    LadCursor &c = *pc;
    bool ok = true;
    uint32_t reset = LAD_NOREF;
    if (d->kind == T_RET) {
        reset = LadBitRefX(c);
        ok = reset != LAD_NOREF;
    }
    const uint32_t blk = LadWordRef(c, wide ? 3 : 2);
    const int64_t preset = ReadPreset(c, imm, wide, ok);
    if (!ok || blk == LAD_NOREF || c.bad) return 0;

    now &= ST_STAMP;
    const uint32_t stw = blk + (wide ? 2 : 1);
    const uint16_t st = LadGet16(stw);
    int64_t acc = wide ? int64_t(int32_t(LadGet32(blk))) : int64_t(LadGet16(blk));
    auto store = [&](int64_t a, uint16_t status) {
        if (wide)
            LadSet32(blk, uint32_t(a));
        else
            LadSet16(blk, uint16_t(a));
        LadSet16(stw, status);
    };
    if (d->kind == T_RET && LadGetBit(reset)) {
        store(0, now);
        return 0;
    }
    const bool first = LadFirstScan();
    if (d->kind == T_OFF && !wide && first) acc = preset;
    const bool enable = d->kind == T_OFF ? power == 0 : power != 0;
    uint32_t out;
    uint16_t status;
    if (enable) {
        const uint16_t stamp = st & ST_STAMP;
        const bool renew = acc >= preset || first;
        uint32_t ticks = 0, rem = 0;
        if (!renew) {
            const uint32_t elapsed = uint32_t(now - stamp) & ST_STAMP;
            ticks = elapsed / d->div;
            rem = elapsed % d->div;
            acc = wide ? int64_t(int32_t(uint32_t(acc) + ticks)) : int64_t((uint32_t(acc) + ticks) & 0xFFFF);
        }
        status = d->kind == T_OFF ? 0 : ST_BUSY;
        if (acc >= preset) {
            acc = preset;
            out = d->kind == T_OFF ? 0 : 1;
        } else {
            out = d->kind == T_OFF ? 1 : 0;
        }
        if (out) status |= ST_DONE;
        const uint16_t ns = renew ? now : (ticks == 0 ? stamp : uint16_t((now - rem) & ST_STAMP));
        status |= ns;
    } else {
        if (d->kind != T_RET) acc = 0;
        out = d->kind == T_OFF ? 1 : 0;
        status = uint16_t((out ? ST_DONE : 0) | now);
    }
    store(acc, status);
    return out;
}

uint32_t CounterRun(LadCursor &c, bool down, bool imm, bool wide, uint32_t power) {
    bool ok = true;
    const uint32_t reset = LadBitRefX(c);
    const uint32_t blk = LadWordRef(c, wide ? 3 : 2);
    const int64_t preset = ReadPreset(c, imm, wide, ok);
    if (!ok || reset == LAD_NOREF || blk == LAD_NOREF || c.bad) return 0;
    const uint32_t stw = blk + (wide ? 2 : 1);
    uint16_t st = LadGet16(stw);
    int64_t count = wide ? int64_t(int32_t(LadGet32(blk))) : int64_t(int16_t(LadGet16(blk)));
    const int64_t max = wide ? INT32_MAX : INT16_MAX;
    const int64_t min = wide ? -INT32_MAX : INT16_MIN;
    if (power) {
        if (!(st & ST_BUSY)) {
            if (!down && count < max) count++;
            if (down && count > min) count--;
        }
        st |= ST_BUSY;
    } else {
        st &= uint16_t(~ST_BUSY);
    }
    if (LadGetBit(reset)) count = down ? (wide ? int64_t(int32_t(preset)) : int64_t(int16_t(preset))) : 0;
    const bool done = down ? count <= 0 : count >= preset;
    st = done ? uint16_t(st | ST_DONE) : uint16_t(st & ~ST_DONE);
    if (wide)
        LadSet32(blk, uint32_t(count));
    else
        LadSet16(blk, uint16_t(count));
    LadSet16(stw, st);
    return done ? 1 : 0;
}

}  // namespace

uint32_t LogicTimers(LadCursor *pc, uint32_t power, uint16_t now) {
    const uint16_t op = LadWord(*pc);
    const TimerDef *d = FindTimer(kTimers16, op);
    if (!d) return 0;
    return TimerRun(pc, d, op & 1, false, power, now);
}

uint32_t Logic32bTimers(LadCursor *pc, uint32_t power, uint16_t now) {
    const uint16_t op = LadWord(*pc);
    const TimerDef *d = FindTimer(kTimers32, op);
    if (!d) return 0;
    return TimerRun(pc, d, op & 1, true, power, now);
}

uint32_t LogicCounters(LadCursor *pc, uint32_t power) {
    const uint16_t op = LadWord(*pc);
    if (op < LOP_CTU || op > LOP_CTD_K) return 0;
    return CounterRun(*pc, op >= LOP_CTD, op & 1, false, power);
}

// Kind word: 0 up, register preset; 1 up, immediate; 2 down, register;
// 3 down, immediate. Another kind passes over the operands of the register
// form and changes nothing.
uint32_t Logic32bCounters(LadCursor *pc, uint32_t power) {
    const uint16_t kind = LadWord(*pc);
    if (kind > 3) {
        LadBitRefX(*pc);
        LadWordRef(*pc, 3);
        LadWordRef(*pc, 2);
        return 0;
    }
    return CounterRun(*pc, kind >= 2, kind & 1, true, power);
}
