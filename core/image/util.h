// CRC-16, two-word registers and the sign-on texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF, no final XOR).
uint16_t crc16(const uint8_t *data, std::size_t len);
uint16_t crc16_next(const uint8_t *data, std::size_t len, uint16_t previous);
inline uint16_t crc16(std::span<const uint8_t> d) { return crc16(d.data(), d.size()); }

// 32-bit values in two 16-bit registers, low word first.
int32_t UTIL_GetDword(const uint16_t *words);
void UTIL_PutDword(uint16_t *words, int32_t value);
float UTIL_GetFloat(const uint16_t *words);

// 4-byte header whose byte 3 is the OEM code ("/mnt/cfg/oeminfo").
extern std::array<uint8_t, 4> crc_header;

struct OemEntry {
    uint16_t identity;
    char text[20];
    uint8_t model_start;
    uint8_t model_len;
};
struct OemRow {
    uint16_t key;
    std::array<OemEntry, 11> entries;
};
using OemTable = std::array<OemRow, 2>;
extern const std::array<OemTable, 5> OemInfo;

struct TavixOem {
    uint8_t model_start;
    uint8_t model_len;
};
extern TavixOem TavixOemPtr;

uint8_t Oem_GetSignon(char *out, uint32_t key, uint32_t identity);
void Oem_GetModel(char *out, uint32_t key, uint32_t identity);

// Unpacks count bits (least significant bit first) into one byte (0 or 1)
// per bit.
void Drevano_Bit_To_Byte(const uint8_t *bits, uint8_t *bytes, uint32_t count);
// Packs count bytes (zero or nonzero) into bits, least significant bit first.
// Only the count bits are written; the rest of the last byte is kept.
void Drevano_Byte_To_Bit(const uint8_t *bytes, uint8_t *bits, uint32_t count);
