// Datagrams: host-defined lists of register words read or written in one
// command, each guarded by a key and freed after an idle time-out.
#pragma once

#include <array>
#include <cstdint>

constexpr unsigned DG_COUNT = 64;
constexpr unsigned DG_REFS = 30;
constexpr uint8_t DG_FAIL = 255;

struct DgDef {
    uint8_t in_use;
    uint8_t timeout;  // idle time-out in 100 ms units, 0 never
    uint8_t idle;     // 100 ms periods since the last read or write
    uint8_t count;    // references
    uint16_t key;
    std::array<uint32_t, DG_REFS> refs;  // reference r: the word at bit address 16 r
};
extern std::array<DgDef, DG_COUNT> DgDefTable;

// words: n little-endian 16-bit words; a word 0 is an escape whose next word
// becomes the upper half of every later reference. Answers the id or 255.
uint8_t Datagram_Create(uint8_t timeout, uint16_t key, const uint8_t *words, uint32_t n);
// Reads the referenced words into out (2 bytes each); the count, or 255.
uint8_t Datagram_Read(uint8_t id, uint16_t key, uint8_t *out);
// Writes n little-endian values; the id, or 255.
uint8_t Datagram_Write(uint8_t id, uint16_t key, const uint8_t *values, uint32_t n);
// 255 frees all; the id, 0 for all, or 255.
uint8_t Datagram_Delete(uint8_t id, uint16_t key);
// Ages the datagrams; once per main-loop pass.
void Datagram_Check();

// Command handlers of the command protocol.
void cmd_datagram_delete();
void cmd_datagram_create();
void cmd_datagram_write();
void cmd_datagram_read();
