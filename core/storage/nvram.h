// Configuration validation and defaults of the memory files.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>

// Force table image: u16 input-force count, u16 output-force count, then
// {word, AND mask, OR mask} entries, input forces first. Kept in the
// battery-backed part of the register image and checked at start-up.
extern std::array<uint8_t, 256> io_force;
constexpr unsigned FORCE_MAX_ENTRIES = (256 - 4) / 6;

extern uint32_t NV_EditorFeatures;
// Set by start-up around its call of nvram_init: the controller then counts
// as stopped for the mode-2 rule, so a stored program with a bad CRC is never
// run.
extern uint8_t nv_Startup;

// Editor feature bits of NV_EditorFeatures.
constexpr uint32_t NVF_PROMGR = 0x01, NVF_SMS = 0x02, NVF_DATALOG = 0x04, NVF_CANOPEN = 0x08, NVF_MQTT = 0x10 | 0x80;

// Re-reads the editor feature word kept at the end of the ladder program.
uint32_t nv_get_features();
// Copies n bytes into a memory-file area in 16-bit units; an odd n is padded
// with one 0xFF byte.
void nv_write(uint8_t *dst, const uint8_t *src, std::size_t n);
// Validates (or, with defaults, re-creates) every memory file; answers the
// defaults argument, forced to 1 when default settings were asked for.
uint32_t nvram_init(uint32_t defaults, uint32_t invalidate);

// Flash stand-ins: the block erase sets the first 1,024 bytes (at most) to
// 0xFF; the write copies 16-bit words.
uint32_t SYS_BlockErase(uint8_t *buffer, uint32_t length);
uint32_t SYS_FlashWrite(const uint8_t *source, uint8_t *destination, uint32_t words);
