// Configuration validation and defaults of the memory files.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t NV_EditorFeatures;
// Set by start-up around its call of nvram_init: the controller then counts
// as stopped for the mode-2 rule, so a stored program with a bad CRC is never
// run.
extern uint8_t nv_Startup;

// Editor feature bits of NV_EditorFeatures.
constexpr uint32_t NVF_PROMGR = 0x01, NVF_SMS = 0x02, NVF_DATALOG = 0x04, NVF_CANOPEN = 0x08,
                   NVF_MQTT = 0x10 | 0x80;

// Re-reads the editor feature word kept at the end of the ladder program.
uint32_t nv_get_features();
// Copies n bytes into a memory-file area in 16-bit units; an odd n is padded
// with one 0xFF byte.
void nv_write(uint8_t *dst, const uint8_t *src, std::size_t n);
// Validates (or, with defaults, re-creates) every memory file; answers the
// defaults argument, forced to 1 when default settings were asked for.
uint32_t nvram_init(uint32_t defaults, uint32_t invalidate);
