// Time base, software timers and receive-character timers.
#include "core/image/timebase.h"

#include <ctime>

#include "core/image/passwork.h"
#include "platform/plat.h"

FpgaPort fpga_port;
std::array<Timer, TIMER_COUNT> Timers;
FpgaPort *TimerFrt = &fpga_port;
uint32_t TimerTick = 100;

namespace {
bool frt_based = false;
int64_t frt_base_sec = 0;
}  // namespace

uint64_t FPGA_GetFrt64() {
    struct timespec ts {};
    PLAT_MonoTime(&ts);
    if (!frt_based) {
        frt_based = true;
        frt_base_sec = ts.tv_sec;
    }
    const uint64_t ticks = uint64_t(ts.tv_sec - frt_base_sec) * 10000u + uint64_t(ts.tv_nsec) / 100000u;
    const uint64_t full = ticks + PLAT_FrtOffset();
    fpga_port.frt = uint32_t(full);
    return full;
}

uint32_t FPGA_GetFrt() { return uint32_t(FPGA_GetFrt64()); }

void Delay(uint32_t ms) {
    const uint32_t start = FPGA_GetFrt();
    const uint64_t span = uint64_t(ms) * 10;
    while (uint32_t(FPGA_GetFrt() - start) < span) {
    }
}

void SYS_Wait(uint32_t n) {
    const uint32_t start = FPGA_GetFrt();
    const uint64_t span = uint64_t(n) * 100;
    while (uint32_t(FPGA_GetFrt() - start) < span) {
    }
}

// The FPGA's SPI device is never given a bus, so a transfer sends nothing and
// answers its value unchanged.
uint32_t spi_data_RD_nWR(uint32_t value, uint32_t, uint32_t, uint32_t) { return value; }
void Fpga_Init() { fpga_port.spi_open = 0; }
uint32_t Fpga_Close() { return 0; }

// ---- software timers -------------------------------------------------------------

void Timer_Init(FpgaPort *port, uint32_t tick_us) {
    TimerFrt = port;
    TimerTick = tick_us ? tick_us : 100;
    Timers = {};
}

uint32_t Timer_Allocate(uint32_t count) {
    if (count == 0 || count > TIMER_COUNT) return 255;
    for (uint32_t first = 0; first + count <= TIMER_COUNT; first++) {
        uint32_t k = 0;
        while (k < count && !Timers[first + k].allocated) k++;
        if (k == count) {
            for (k = 0; k < count; k++) Timers[first + k].allocated = 1;
            return first;
        }
    }
    return 255;
}

uint32_t Timer_Start(uint32_t n, uint32_t ms) {
    if (n >= TIMER_COUNT) return 0;
    Timer &t = Timers[n];
    if (ms != 0) {
        // In 64 bits: long periods must not wrap (the longest is 2^32 - 1 ticks).
        const uint64_t ticks = uint64_t(ms) * 1000u / TimerTick;
        t.period = ticks > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(ticks);
    }
    if (t.period == 0) return 0;
    t.start = TimerFrt->frt;
    t.running = 1;
    return t.period;
}

void Timer_Stop(uint32_t n) {
    if (n < TIMER_COUNT) Timers[n].running = 0;
}

uint32_t Timer_Status(uint32_t n) {
    if (n >= TIMER_COUNT) return 0;
    Timer &t = Timers[n];
    if (!t.allocated) return 1;
    if (!t.running) return 2;
    if (uint32_t(FPGA_GetFrt() - t.start) >= t.period) {
        t.running = 0;
        return 4;
    }
    return 3;
}

void Timer_Release(uint32_t n) {
    if (n < TIMER_COUNT) Timers[n] = {};
}

// ---- receive-character timers ------------------------------------------------------
// Intervals come from the monotonic time base, never from the wall clock.

std::array<Rct, RCT_COUNT> tmr;
const std::array<uint32_t, 13> cnt_table = {150000, 150000, 150000, 150000, 150000, 26666, 26666,
                                            26666,  26666,  26666,  26666,  26666,  26730};

void RCT_Init() {
    tmr = {};
    pass_work.rct = 0;
}

uint32_t RCT_Allocate(RctCallback cb) {
    for (uint32_t i = 0; i < RCT_COUNT; i++) {
        if (tmr[i].state == 0) {
            tmr[i] = {1, 1, 0, 0, 0, cb};
            return i + 1;
        }
    }
    return 0;
}

void RCT_Release(uint32_t h) {
    if (h >= 1 && h <= RCT_COUNT) tmr[h - 1] = {};
}

void RCT_Set(uint32_t h, uint32_t value, uint32_t kind) {
    if (h < 1 || h > RCT_COUNT) return;
    Rct &t = tmr[h - 1];
    if (kind == 1) {
        t.period = cnt_table[value < cnt_table.size() ? value : cnt_table.size() - 1] / 100;
        t.kind = 1;
    } else if (kind == 2) {
        t.period = value / 100;
        t.kind = 2;
    } else {
        t.period = value / 100;
        t.kind = 1;
    }
}

void RCT_Stop(uint32_t h) {
    if (h >= 1 && h <= RCT_COUNT && tmr[h - 1].state != 0) tmr[h - 1].state = 1;
}

void RCT_Start(uint32_t h) {
    if (h < 1 || h > RCT_COUNT) return;
    Rct &t = tmr[h - 1];
    if (t.period == 0 || t.state == 0) return;
    const uint32_t now = FPGA_GetFrt();
    if (pass_work.rct) {
        // Bring every running timer up to now before this one starts.
        for (Rct &o : tmr) {
            if (o.state != 2) continue;
            const uint32_t el = now - o.start;
            o.remaining = (uint64_t(o.remaining) > uint64_t(el) + 8) ? o.remaining - el : 8;
            o.start = now;
        }
    }
    t.state = 2;
    t.start = now;
    t.remaining = t.period;
    pass_work.rct = 1;
}

uint32_t RCT_WaitUs(uint32_t max_us) {
    if (!pass_work.rct) return max_us;
    const uint32_t now = FPGA_GetFrt();
    uint32_t wait = max_us;
    for (const Rct &t : tmr) {
        if (t.state != 2) continue;
        const uint32_t elapsed = now - t.start;
        if (t.remaining < elapsed) return 0;
        const uint64_t us = (uint64_t(t.remaining) + 1 - elapsed) * 100;
        if (us < wait) wait = uint32_t(us);
    }
    return wait;
}

// Not an interrupt handler: polled once per main-loop pass and by the serial waits.
void RctISR(uint32_t arg) {
    if (!pass_work.rct) return;
    uint8_t any = 0;
    for (Rct &t : tmr) {
        if (t.state != 2) continue;
        const uint32_t now = FPGA_GetFrt();
        const uint32_t elapsed = now - t.start;
        if (t.remaining < elapsed) {
            if (t.callback) t.callback(arg, elapsed, t.remaining);
            if (t.state == 2) {
                t.state = t.kind;  // a one-shot stops, a periodic timer runs on
                if (t.kind == 2) {
                    // Re-arm from the time it fired.
                    t.start = now;
                    t.remaining = t.period;
                }
            }
        } else {
            t.remaining -= elapsed;
            t.start = now;
        }
        // Still running (even with nothing left: it fires on the next pass).
        if (t.state == 2) any = 1;
    }
    pass_work.rct = any;
}
