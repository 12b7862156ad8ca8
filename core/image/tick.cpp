// Service tick: millisecond and 10 ms counters and LED phases; the RUN/LOAD
// buttons and the status LEDs are stepped through the tick hooks.
#include <cstdio>
#include <unistd.h>

#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "platform/plat.h"

uint32_t tchTic;
uint16_t sysTic;
uint32_t sysDTic;
uint8_t sysFlash, Flash100ms, Flashcount;
uint8_t button_hit;
uint8_t button_state;

namespace {
uint32_t ms_step, ten_step;  // time-base values of the last steps
bool steps_started;
uint16_t lFlash, lFlash_100ms;  // sysTic at the last flash-phase changes
}  // namespace

uint32_t ButtonSample() { return PLAT_Buttons() & 3u; }

void TCH_Beep() {}
void TCH_BeepOvrd() {}

// Not an interrupt handler: polled by the main loop and by long waits.
void TimerISR() {
    const uint32_t now = FPGA_GetFrt();
    if (!steps_started) {
        steps_started = true;
        ms_step = ten_step = now;
    }
    const uint32_t el = now - ms_step;
    if (el < 10) return;
    tchTic += el / 10;
    ms_step += el - el % 10;

    const uint32_t el10 = now - ten_step;
    if (el10 < 100) return;
    sysTic = uint16_t(sysTic + el10 / 100);
    sysDTic += el10 / 100;
    ten_step += el10 - el10 % 100;

    TickHook_ButtonStep();

    if (uint16_t(sysTic - lFlash) >= 50) {
        lFlash = sysTic;
        sysFlash = !sysFlash;
    }
    if (uint16_t(sysTic - lFlash_100ms) >= 10) {
        lFlash_100ms = sysTic;
        Flash100ms = !Flash100ms;
    }
    TickHook_LedUpdate();
}

TickHooks tick_hooks;
