// Modbus of the IEC application: the configuration block compiled into the
// code image (connections, requests and server tables, variable bindings),
// built into database section 30; the per-cycle exchange between variables
// and request data; the client engine (TCP, UDP, RTU, ASCII); the server that
// answers remote masters from the tables (comm-server channels, slave blocks,
// UDP sockets); the device identification of function 43.
#pragma once

#include <cstdint>

#include "iec/services/z7svc.h"

// ---- configuration, build and exchange ----------------------------------------------------------
// Bytes section 30 needs for the image's Modbus configuration (36 without one).
uint32_t Z7MB_GetMemorySizing(uint32_t code);
// Sizing of a configuration block at an arena address (0: none).
uint32_t Z7MB_ConfigSizing(uint32_t config);
// Nonzero when the built section at state is too small for config.
uint32_t Z7MB_CanBuildHOT(uint32_t config, uint32_t state);
uint32_t Z7MB_BuildHOT(uint32_t config, uint32_t state);
// Clears the section and builds the records of config into it; 0.
uint32_t Z7MB_Build(uint32_t config, uint32_t state, uint32_t size);
// Binds every variable record of the database's section 30; 0.
uint32_t Z7MB_Link(uint32_t db);
void Z7MB_Exchange(uint32_t state, uint32_t db);
void Z7MB_ExchangeClientOnly(uint32_t state, uint32_t db);
void Z7MB_ExchangeServerOnly(uint32_t state, uint32_t db);
void Z7VM_ExchangeModbusDataClient(uint32_t db);
void Z7VM_ExchangeModbusDataServer(uint32_t db);

// ---- client engine ------------------------------------------------------------------------------
uint32_t Z7MB_Open(uint32_t state);
void Z7MB_Close(uint32_t state);
// One step of every client connection; now = ms of the day.
void Z7MB_Activate(uint32_t state, uint32_t now);

// ---- server -------------------------------------------------------------------------------------
// Connection record of the server with that name (default server for null or
// ""); 0 when none.
uint32_t Z7MB_FindServer(uint32_t state, const char *name);
// Serves one request of len bytes (MBAP header first when tcp); the answer
// length written to answer (at most 260 bytes + header), 0 for no answer.
uint32_t Z7MB_ServeExID(uint32_t state, const uint8_t *request, uint32_t len, uint8_t *answer, uint32_t tcp,
                        uint32_t unit, const char *name);
uint32_t Z7MB_ServeEx(uint32_t state, const uint8_t *request, uint32_t len, uint8_t *answer, uint32_t tcp,
                      uint32_t unit);
uint32_t Z7MB_Serve(uint32_t state, const uint8_t *request, uint32_t len, uint8_t *answer, uint32_t tcp);
// Serves one PDU (unit byte first) of len bytes from the server connection
// record; the answer PDU length.
uint32_t Z7MBSrv_Serve(uint32_t server, const uint8_t *pdu, uint32_t len, uint8_t *answer);
// Answer length for a request of a comm-server question (kind 16 RTU, 17
// TCP); 0 while the application is stopped.
uint32_t Z7VM_ServeModbus(uint32_t db, uint32_t kind, const uint8_t *request, uint32_t len, uint8_t *answer);
// Answers the Modbus question waiting on a comm-server channel.
void Z7Def_ServeModbusRequest(Z7CSData *cs, uint32_t db, uint32_t kind, uint32_t channel);
// UDP serving for slave blocks: socket bound to port (true done).
bool Z7MBSrv_UdpOpen(uint16_t port, Z7SocketHandle *sock);
void Z7MBSrv_UdpClose(Z7SocketHandle sock);
// Serves one waiting datagram on the database's section 30: framing 0
// Modbus TCP, else RTU (CRC appended to the answer).
void Z7MBSrv_UdpActivate(uint32_t db, Z7SocketHandle sock, uint32_t framing, uint32_t unit, const char *name);
// For the block library's slave blocks: true when the database has the
// server of that name (the default one for null or ""); one request served
// from the database's section 30, RTU (framing 1) without its CRC or Modbus
// TCP (framing 0), its answer (at most size bytes, no CRC) written to answer:
// the answer length, 0 for none.
bool Z7MB_HasServer(uint32_t db, const char *name);
uint32_t Z7MB_ServeBlockRequest(uint32_t db, const uint8_t *req, uint32_t len, uint8_t *answer, uint32_t size,
                                uint32_t framing, uint32_t unit, const char *name);
// Device identification of function 43 (empty texts: the defaults); true.
bool Z7MBSrv_SetDevIdent(const char *vendor, const char *product, const char *revision, const uint16_t *words,
                         uint32_t count);

// Gives the standard registry its Modbus master and slave blocks.
void Z7MB_InstallBlocks();
// Filled at start-up: true while the controller's own Modbus TCP server
// keeps the port (its service on, listening there). A slave block asking for
// port 502 while it is kept gets no socket and tries again on its next call.
// Unset: nothing is kept.
extern bool (*Z7MB_PortKept)(uint16_t port);
constexpr uint16_t Z7MB_LADDER_PORT = 502;

// ---- serial line of the client engine (Modbus ASCII layer) -------------------------------------
// mode: bit 31 ASCII line, bit 30 half a byte pending (its digit in bits 0-3).
// Open borrows the programming port; sends and reads go through the port's
// hold (a dead hold sends and reads nothing), the close gives the hold back.
uint32_t Z7SerialAsc_Open(Z7SerialHandle *h, const char *settings, uint32_t *mode);
uint32_t Z7SerialAsc_Send(Z7SerialHandle h, uint32_t len, const uint8_t *data, uint32_t mode);
// frame_start: the read begins an answer, so the controller's frame start
// ('H','R') gives the port back (the handle becomes -1).
uint32_t Z7SerialAsc_Receive(Z7SerialHandle *h, uint32_t count, uint8_t *buf, uint32_t *mode, bool frame_start = false);
void Z7SerialAsc_Flush(Z7SerialHandle *h, uint32_t *mode);
void Z7SerialAsc_Close(Z7SerialHandle *h, uint32_t *mode);
