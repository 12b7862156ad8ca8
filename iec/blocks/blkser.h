// Serial-port and Modbus-slave standard blocks: SERIO, SERIO_B, the Modbus
// RTU slave on a serial port and the Modbus slave on UDP. The serial port
// and the runtime's Modbus server live above this library: the executive
// fills BlkSer_Hooks at start-up; an unset entry makes its block idle (no
// port, no server: OK FALSE).
#pragma once

#include <cstdint>

#include "iec/vm/z7interp.h"

struct BlkSerHooks {
    // Serial port of the runtime (handle -1: none).
    void (*serial_init)(int32_t *h);
    bool (*serial_is_valid)(int32_t h);
    void (*serial_open)(int32_t *h, const char *settings);
    uint32_t (*serial_receive)(int32_t *h, uint32_t max, uint8_t *buf);
    uint32_t (*serial_send)(int32_t h, uint32_t len, const uint8_t *data);
    void (*serial_close)(int32_t *h);
    // Runtime Modbus server: true when the server (by name, the default one
    // for an empty name) exists.
    bool (*mb_find_server)(uint32_t db, const char *name);
    // Serves one request (address byte, function, data; no CRC) into answer
    // (at most size bytes, no CRC); the answer length, 0 for none. framing
    // 1 = RTU.
    uint32_t (*mb_serve)(uint32_t db, const uint8_t *req, uint32_t len, uint8_t *answer, uint32_t size,
                         uint32_t framing, uint32_t unit, const char *name);
    // UDP slave socket: open on a port (true done), answer at most one
    // waiting datagram, close.
    bool (*mb_udp_open)(uint16_t port, int32_t *sock);
    void (*mb_udp_activate)(uint32_t db, int32_t sock, uint32_t rtu, uint32_t unit, const char *name);
    void (*mb_udp_close)(int32_t sock);
};
extern BlkSerHooks BlkSer_Hooks;

// Modbus RTU slave instance (556 bytes).
enum : uint32_t {
    RTU_RX = 0,
    RTU_TX = 256,
    RTU_COUNT = 512,
    RTU_REQLEN = 514,
    RTU_RESPLEN = 516,
    RTU_POS = 518,
    RTU_TXLEN = 520,
    RTU_TXDONE = 522,
    RTU_ADDRESSED = 524,
    RTU_GOODCRC = 528,
    RTU_EXCEPTIONS = 532,
    RTU_NORMAL = 536,
    RTU_BROADCASTS = 540,
    RTU_CRCERR = 544,
    RTU_HANDLE = 548,
    RTU_OPEN = 552,
    RTU_SIZE = 556,
};
// Runs the frame recogniser over the receive buffer of an instance for slave
// address own. 1 when a request with a good CRC starts the buffer (its
// length in *len, CRC included); 0 when more bytes are needed. Answers of
// other stations are dropped, CRC errors counted, the buffer resynchronised.
uint32_t BlkRtu_Recognise(uint8_t *inst, uint8_t own, uint32_t *len);

// Handler of a standard row of this file by block name, or null.
FbHandler BlkSer_StdProc(const char *name);
