// System services: hardware identity, LEDs, watchdog, warm reset.
#pragma once

#include <array>
#include <cstdint>

extern std::array<uint8_t, 76> tinyImage;  // "/mnt/cfg/TINYIMGE.BIN"
extern uint8_t Sys_LoadPGM_Status;
extern uint8_t Sys_ManualLoadKey;

void SYS_SetStatusLeds(uint32_t first, uint32_t second);
uint32_t SYS_GetOkLed();
uint32_t SYS_GetRunLed();
void SYS_VDG();
void SYS_WarmReset();
void TickleWatchdogReal();
// Update from the removable media on a LOAD press; 0 while still working.
uint32_t UpdateKernFirmApplic(uint32_t sample, uint32_t tick);
// Starts the status-LED blinker process used during long updates.
void SetStatusLeds_fork();
