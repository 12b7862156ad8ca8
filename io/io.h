// The I/O subsystem as seen by the main loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "io/candrv.h"
#include "io/copen.h"

// Configuration block of the Ethernet module found in the I/O slots (null
// when there is none); the network layer parses it.
extern const uint8_t *EtnConfp;

// ---- programming channel over CAN and module services of the command protocol
// (io/copen_lad.cpp, io/ioslot.cpp).

// 1 when the CAN host queue holds a command-protocol byte.
uint32_t Net_CheckRx();
// Next byte of the host queue; call only after Net_CheckRx.
uint8_t Net_GetRx();
// Empties the host queue.
void Net_FlushRx();
// Sends command-protocol bytes to the tool's CAN node (mode 1: the node is
// taken from byte 2 of the data); bytes that do not fit the pending reply
// are dropped whole.
void CANOpen_PutByte(const uint8_t *data, uint32_t length, uint32_t mode);
// Calibration pass-through: packet byte 0 is its length L, bytes 1..L the
// command data (byte 2 the slot); on return byte 0 is the answer length and
// bytes 1.. the answer. A packet shorter than 2, a slot above 2 or without a
// module, or data past the 64-byte calibration buffer answers {1, 0x40}.
// Returns 0.
uint32_t IoCal(uint8_t *packet);
// Sends the stop message to the modules of both slots.
void IoStop();

// ---- I/O modules and the CAN node as seen by the controller modes and the scan

// Slot record filled by the slot check, read by the scan.
struct IoSlotRec {
    const uint8_t *config;    // configuration data of the slot, null when none
    char status;              // ' ' present, 'f' faulted, '-' missing, '?', '+', '*'
    char text[11];            // "I/O: " and the 6-character model text, or a slot text
    uint16_t di, dq, ai, aq;  // point counts: digital bits, analog channels
    uint8_t configured;
    uint16_t config_len;  // bytes of configuration data (words past it read 0)
};
constexpr unsigned IO_SLOTS = 3;
extern std::array<IoSlotRec, IO_SLOTS> io_cfg;
// Per slot: type byte (255 unknown or none) and the module id found (255 none).
struct IoSlotInfo {
    uint8_t type;
    uint16_t id;
};
extern std::array<IoSlotInfo, IO_SLOTS> slotinfo;
extern std::array<uint8_t, IO_SLOTS> slot_status;

// Slot check of slots 0..2 (modules probed on the first call only): sets or
// clears the I/O fault bit 0x40 of word 131 and bit 5 of byte 64, stops the
// modules when a slot is not in order, refreshes the slot information
// (Cmd_SS_Info, copied to the image at byte 382). 1 when a slot is not in
// order.
uint32_t Io_SlotCheck();

// One message to the module driver (code, slot, status answered, extra byte,
// first point, count, buffer); the driver answers in it (status 0 done,
// 0x80 no known module, 0xC0 slot above 2, 0x20 unknown code). The init
// message (code 1) carries the ids of slots 0 and 1 in first and count.
struct IoDriverMsg {
    uint8_t code;
    uint8_t slot;
    uint8_t status;
    uint8_t extra;
    uint16_t first;
    uint16_t count;
    uint8_t *buffer;
    std::array<uint16_t, 4> points;
    // Configure (code 4): configuration data in buffer, its length in count,
    // the clock image here. Query (code 2) answers the model text here.
    const uint8_t *clock;
    const char *model;
};
constexpr uint8_t IO_CODE_START = 14;
void io_driver(IoDriverMsg *msg);

// Point transfers of slots 0 and 1 (digital in whole bytes, analog in 16-bit
// channels, buffers in the register image) and the per-scan service.
// Slots above 1 do nothing. All answer 0.
uint32_t IoGetIs(uint8_t *buffer, uint32_t slot, uint32_t first_bit, uint32_t bits);
uint32_t IoPutQs(uint8_t *buffer, uint32_t slot, uint32_t first_bit, uint32_t bits);
uint32_t IoGetAIs(uint8_t *buffer, uint32_t slot, uint32_t first_channel, uint32_t channels);
uint32_t IoPutAQs(uint8_t *buffer, uint32_t slot, uint32_t first_channel, uint32_t channels);
uint32_t IoService(uint32_t slot);

extern uint8_t NodeId_Flag;
extern uint8_t NetStatsClear;

// ---- slot layer (io/ioslot.cpp) ------------------------------------------------
// Module ids found by probing: slots 0, 1 and 64000 for slot 2 (word 1 is the
// id of the option board in slot 1).
extern std::array<uint16_t, IO_SLOTS> io_init;
// Set when slot 1 holds the wide digital module (id 0x1F0F).
extern uint8_t WideIoModulePresent;
// Probes slots 0 and 1 (ids 255 when empty), slot 2 is 64000; returns 3.
uint32_t get_io_info(uint16_t *ids);
// Matches the ids against the identity table, fills slotinfo, sends the init
// message; bit n set when slot n holds a module that is not in the table.
uint32_t IoInit(const uint16_t *ids, uint32_t count);
// Configures and queries slot 0/1 (slot 2: the Ethernet module); returns 0.
uint32_t IoCfg(IoSlotRec &rec, uint32_t slot);
// Forgets the modules probed, so that the next slot check probes again
// (only tests use it: a controller probes once per process).
void Io_ResetProbe();
// Word n of a slot's configuration data; 0 past its end.
uint16_t Io_ConfigWord(const IoSlotRec &rec, unsigned n);
// Digital-output update of slot 0 with value AND 0xF0 as mode.
void IoTermSet(uint32_t value);
// Module EEPROM access (mode 3: device byte in bits 16..23, else bits 7 and up).
uint32_t write_io_eeprom(uint32_t device, uint32_t mem, uint32_t count, uint8_t *buf, uint32_t mode);
uint32_t read_io_eeprom(uint32_t device, uint32_t mem, uint32_t count, uint8_t *buf, uint32_t mode);
char *strmcpy(char *dst, const char *src, std::size_t n);
// Type byte of the identity row with that id, -1 when none.
int32_t get_ident(uint16_t id);
// Modem-control lines of communication modules in slot 1.
void IoCommPwr(uint32_t port, uint32_t on);
void IoCommReset(uint32_t port, uint32_t active);
void IoPutDTR(uint32_t on);
uint32_t IoGetDCD();
void IoCommShdn(uint32_t on);
void IoCommOnOf(uint32_t on);
