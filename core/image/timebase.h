// Time base of 100 us ticks, software timers, service tick and the
// receive-character timers.
#pragma once

#include <array>
#include <cstdint>

// ---- time base -------------------------------------------------------------
struct FpgaPort {
    uint32_t frt;  // the count as of the last FPGA_GetFrt
    uint8_t spi_open;
};
extern FpgaPort fpga_port;
uint32_t FPGA_GetFrt();
// The same count before it is cut to 32 bits: the millisecond clock
// (_tx_time_get) is taken from it so that it wraps at 2^32 ms, not at the
// time base's 2^32 ticks (429,496,729 ms).
uint64_t FPGA_GetFrt64();
void Delay(uint32_t ms);
void SYS_Wait(uint32_t n10ms);
uint32_t spi_data_RD_nWR(uint32_t value, uint32_t reg, uint32_t len, uint32_t read);
void Fpga_Init();
uint32_t Fpga_Close();

// ---- software timers -------------------------------------------------------
struct Timer {
    uint32_t start;
    uint32_t period;
    uint8_t running;
    uint8_t allocated;
};
constexpr unsigned TIMER_COUNT = 8;
extern std::array<Timer, TIMER_COUNT> Timers;
extern FpgaPort *TimerFrt;
extern uint32_t TimerTick;
void Timer_Init(FpgaPort *port, uint32_t tick_us);
uint32_t Timer_Allocate(uint32_t count);
uint32_t Timer_Start(uint32_t n, uint32_t ms);
void Timer_Stop(uint32_t n);
uint32_t Timer_Status(uint32_t n);
void Timer_Release(uint32_t n);

// ---- service tick --------------------------------------------------------------
extern uint32_t tchTic;   // milliseconds
extern uint16_t sysTic;   // 10 ms units
extern uint32_t sysDTic;  // 10 ms units
extern uint8_t sysFlash, Flash100ms, Flashcount;
extern uint8_t button_hit;
extern uint8_t button_state;
void TimerISR();
uint32_t ButtonSample();
void TCH_Beep();
void TCH_BeepOvrd();
// The front panel stepped by TimerISR every 10 ms: the executive aims these
// at its buttons and LEDs at start-up; unset, the buttons are not looked at
// and the LEDs keep their state.
struct TickHooks {
    void (*button_step)();
    void (*led_update)();
};
extern TickHooks tick_hooks;
inline void TickHook_ButtonStep() {
    if (tick_hooks.button_step) tick_hooks.button_step();
}
inline void TickHook_LedUpdate() {
    if (tick_hooks.led_update) tick_hooks.led_update();
}

// ---- receive-character timers -------------------------------------------------
using RctCallback = void (*)(uint32_t arg, uint32_t elapsed, uint32_t remaining);
struct Rct {
    uint16_t state;  // 0 free, 1 stopped, 2 running
    uint16_t kind;   // 1 one-shot, 2 periodic
    uint32_t remaining;
    uint32_t period;
    uint32_t start;
    RctCallback callback;
};
constexpr unsigned RCT_COUNT = 5;
extern std::array<Rct, RCT_COUNT> tmr;
extern const std::array<uint32_t, 13> cnt_table;
void RCT_Init();
uint32_t RCT_Allocate(RctCallback cb);
void RCT_Release(uint32_t handle);
void RCT_Set(uint32_t handle, uint32_t value, uint32_t kind);
void RCT_Stop(uint32_t handle);
void RCT_Start(uint32_t handle);
void RctISR(uint32_t arg);
// Microseconds until the first running timer fires (it fires once more than
// its remaining ticks passed), at most max_us; max_us when none runs.
uint32_t RCT_WaitUs(uint32_t max_us);
