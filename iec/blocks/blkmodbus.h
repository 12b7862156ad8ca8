// Modbus blocks of the IEC library: the records they hand to the Talk layer
// and the serial Modbus engine, and the hooks through which they reach them
// (both live above this library; the executive fills the hooks at start-up).
#pragma once

#include <cstdint>

// Call record given to Z7_TalkModbus (host form): u16 port, u32 station word
// (its low 16 bits are used), u16 second word (the engine's time-out), then
// three host addresses, 8 bytes each, low half first: the control (flag)
// word, the data area (request or map record) and the status word.
enum : uint32_t {
    TMB_PORT = 0,
    TMB_STATION = 2,
    TMB_SECOND = 6,
    TMB_CONTROL = 8,
    TMB_DATA = 16,
    TMB_STATUS = 24,
    TMB_SIZE = 32,
};

// IEC master request record (u16 words unless said): slave, function code,
// start, quantity, u32 VM arena address of the data array, element offset,
// element code, status word, flag word, enable byte.
enum : uint32_t {
    MBR_SLAVE = 0,
    MBR_FC = 2,
    MBR_START = 4,
    MBR_QTY = 6,
    MBR_DATA = 8,
    MBR_OFFSET = 12,
    MBR_ELEM = 14,
    MBR_STATUS = 16,
    MBR_FLAG = 18,
    MBR_ENABLE = 20,
    MBR_SIZE = 22,
};

// IEC slave map record: u16 status, u16 reserved (the engine's control word:
// always 0, no frames of the program's own), four u32 VM arena addresses
// (coils, discrete inputs, holding registers, input registers), their four
// u32 counts (registers for the register arrays), u16 element code, enable
// byte, u16 extension word.
enum : uint32_t {
    MBM_STATUS = 0,
    MBM_RESERVED = 2,
    MBM_ADDR = 4,
    MBM_COUNT = 20,
    MBM_ELEM = 36,
    MBM_ENABLE = 38,
    MBM_EXT = 40,
    MBM_SIZE = 42,
};
enum : uint32_t { MBM_COILS = 0, MBM_INPUTS = 1, MBM_HOLDING = 2, MBM_INREGS = 3 };

// Element codes: bits or bytes, one register per element, two registers per
// element.
enum : uint16_t { MB_ELEM_BYTE = 0, MB_ELEM_WORD = 1, MB_ELEM_DWORD = 2 };

struct BlkMbHooks {
    // The Talk layer's Modbus entry point: the block's done or status value.
    uint32_t (*talk_modbus)(const uint8_t *rec, uint32_t enable);
    // Store-and-forward table of the engine's port: count u16 entries.
    void (*forward)(uint32_t port, uint32_t count, const uint8_t *table);
};
extern BlkMbHooks BlkMb_Hooks;

// The family's rows (registered by blklib.cpp).
struct BlkFamily;
extern const BlkFamily BlkMb_Family;

// 1 when the VM variable holding arena byte off is forced (locked by the
// workbench): the engine then leaves it unwritten. Answers for the database
// of the Modbus block being called, 0 outside a call.
uint32_t BlkMb_Forced(uint32_t off);
