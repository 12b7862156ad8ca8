// Boolean sampling trace of the IEC VM (database section 27).
#pragma once

#include <cstdint>
#include <cstring>

enum : uint16_t {
    BSMP_ENABLED = 0x0001,
    BSMP_ATONCE = 0x0002,
    BSMP_STOPFULL = 0x0008,
    BSMP_STARTFALL = 0x0010,
    BSMP_STOPFALL = 0x0020,
    BSMP_RECORDING = 0x0100,
    BSMP_FILLED = 0x0200,
    BSMP_STARTED = 0x0400,
};
// Clears the record, then applies settings (little-endian words: flags,
// period high, period low, start trigger, stop trigger, start delay, stop
// delay, N, N variable indexes; words = words present). More than 8
// variables keep 8; an index outside the 8-bit segment refuses the settings
// and leaves the record cleared. Always 0.
uint32_t Z7VMBsmp_Set(uint32_t db, uint32_t arg, const uint8_t *settings, uint32_t words);
uint32_t Z7VMBsmp_ResetContent(uint32_t db);
// on 0 stops a recording, 1 starts one not yet started; only when enabled.
uint32_t Z7VMBsmp_Ctl(uint32_t db, uint32_t arg, uint32_t on);
uint32_t Z7VMBsmp_GetSettingsSize(uint32_t db);
uint32_t Z7VMBsmp_GetDataSize(uint32_t db);
// Big-endian answers of 32 and 922 bytes; the bytes written (0 without record).
uint32_t Z7VMBsmp_GetSettings(uint32_t db, uint8_t *out);
uint32_t Z7VMBsmp_GetData(uint32_t db, uint8_t *out);
