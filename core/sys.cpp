// System services.
// placeholder parts (hardware check, watchdog, media update) until the
// system-services module lands; the LED codes are complete.
#include "core/sys.h"

#include "core/memfile.h"
#include "core/plcreg.h"
#include "core/timebase.h"
#include "platform/plat.h"

std::array<uint8_t, 76> tinyImage{};
uint8_t Sys_LoadPGM_Status;
uint8_t Sys_ManualLoadKey;

namespace {
unsigned LedState(uint32_t code, bool second) {
    switch (code) {
    case 1: return 1;
    case 2: return sysFlash ? 1 : 0;
    case 11: return second ? (sysFlash ? 0 : 1) : (sysFlash ? 1 : 0);
    case 12: return Flash100ms ? 1 : 0;
    default: return 0;
    }
}
}  // namespace

void SYS_SetStatusLeds(uint32_t first, uint32_t second) {
    PLAT_LedCodes(first, second);
    PLAT_Leds(LedState(first, false), LedState(second, true));
}

uint32_t SYS_GetOkLed() {
    if (PlcWord(W_PORTPROTO) == 0 || (plc_reg[65] & 0x04)) return 2;
    return PlcWord(182) == 0 ? 1 : 0;
}

uint32_t SYS_GetRunLed() {
    const uint16_t mode = PlcWord(W_MODE);
    if (mode == 0) return 0;
    return mode == 2 ? 1 : 2;
}

void SYS_WarmReset() {
    AutoSaveRegisters();
    PLAT_System("sync");
    PLAT_WarmReset();
}

void SYS_VDG() { SYS_WarmReset(); }
void TickleWatchdogReal() {}
uint32_t UpdateKernFirmApplic(uint32_t, uint32_t) { return 0x20; }
void SetStatusLeds_fork() {}
