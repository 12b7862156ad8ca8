// Modbus TCP and UDP server: MBAP frames from up to 16 TCP connections or one
// UDP socket, function codes 1 to 7, 15 and 16 onto the register image
// through the register bridge, exceptions 1 and 2.
#pragma once

#include <array>
#include <cstdint>

#include "core/image/mbpdu.h"
#include "net/dpr.h"
#include "net/nx.h"

constexpr unsigned MODBUS_SLOTS = 16;
constexpr uint32_t MODBUS_RX_MAX = 1540;  // request buffer
constexpr uint32_t MODBUS_TX_MAX = 266;   // answer buffer
constexpr uint32_t MODBUS_IDLE_MS = 60000;

struct ModbusSlot {
    NX_TCP_SOCKET socket;
    uint32_t last_activity;  // ms
    uint32_t last_request;   // ms: the last whole request, or the acceptance
    uint8_t requested;       // a whole request came since the acceptance
    uint32_t reference;      // bit address or IEC handle of the pending read
    uint32_t bits;           // its length
    uint16_t transaction;
    uint8_t read_pending;
    uint8_t handle;  // what Dpr_Add_Req answered
    uint8_t function;
    uint8_t unit;
    uint8_t taken;  // a request was taken by this pass's scan step
    // Bytes of the stream not yet served: requests are framed by their MBAP
    // length however the reads split or merge them; room for an incomplete
    // request and one more read.
    std::array<uint8_t, MODBUS_RX_MAX + NX_MAX_READ> rx;
    uint32_t rx_len;
};

struct ModbusServer {
    std::array<ModbusSlot, MODBUS_SLOTS> slots;
    NX_IP *ip;
    NX_UDP_SOCKET udp;
    uint32_t udp_address, udp_port;  // sender of the last datagram
    uint8_t listening;
    uint16_t port;
    // What lets a pass with nothing to do skip the connections.
    uint8_t reads;      // a read may be waiting for its answer
    uint8_t took;       // a connection took a request in this pass
    uint8_t free;       // a record may be free to listen with
    uint8_t busy;       // a connection has input unread or a whole request waiting
    uint8_t timed;      // a connection is open: an idle time-out falls due at idle_due
    uint32_t idle_due;  // ms
    uint32_t reports;   // reports of the readiness set on its connections
    uint32_t filed;     // reports as of the last look after a wait
    uint32_t stepped;   // reports as of the last step of the connections
    uint32_t listens;   // the listeners' reports as of that step
};

extern std::array<ModbusServer, 2> ModbusConnEth;
extern std::array<uint8_t, MODBUS_RX_MAX> ModbusRxBuff;
extern std::array<uint8_t, MODBUS_TX_MAX> ModbusTxMsg;
extern NX_PACKET_POOL *ModbusPacketPoolPtr;

// The copy of the settings in force for interface n (IEC copy while the IEC
// mapping is in force), as {write-inhibit reference, mode, port}.
struct ModbusSettings {
    uint32_t inhibit;
    uint16_t mode;
    uint16_t port;
    bool iec;
};
ModbusSettings ModbusCfg(uint32_t n);

uint32_t Modbus_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Modbus_Scan(uint32_t iface);
// After the main loop's wait: takes a request from each TCP connection that
// reported input and took none in the pass just ended, as that pass's scan
// step would have had the request come sooner. A read so taken is answered
// after the next scan, without waiting for the next pass's receive.
void Modbus_AfterWait(uint32_t iface);
// Right after the scan: the TCP reads waiting for their answers get them
// from the image the scan left, without waiting for the pass's scan step.
void Modbus_AfterScan(uint32_t iface);
void Modbus_Stop(uint32_t iface);
uint32_t Modbus_Conn_Cnt(uint32_t iface);
// When the server of interface iface has work next (ms, now given): now while
// something waits (a record to listen with, a read to answer, input unread),
// with the datagram server or under the IEC runtime's mapping; else a
// connection's idle time-out, else PASS_IDLE_MS ahead (input, a change of
// its settings or of the run flag steps it first).
uint32_t Modbus_Due(uint32_t iface, uint32_t now);
// Whether an interface's server keeps the TCP port: its service on and the
// settings in force a TCP server on that port.
bool Modbus_KeepsPort(uint16_t port);
void Modbus_DeInit(NX_IP *ip);
void ModbusConnect(NX_TCP_SOCKET *socket, uint32_t port);
void ModbusDisconnect(NX_TCP_SOCKET *socket);

// Bit address of a Modbus address, 0 when outside the map.
uint32_t ModbusMapToken(uint32_t function, uint32_t address, uint32_t quantity);
// IEC variable handle of a Modbus address, 0 when outside.
uint32_t Z7_ModbusMap(uint32_t function, uint32_t iface, uint32_t address);

// Handles the frame in ModbusRxBuff (n bytes, one whole MBAP frame) for slot
// k of interface n. Answers that go out at once are left in ModbusTxMsg and
// their length returned; 0 when nothing is to be sent now (no answer, or a
// read whose answer the next pass builds).
uint32_t ModbusRequest(uint32_t iface, unsigned k, uint32_t n);
// Builds slot k's pending read answer in ModbusTxMsg; its length.
uint32_t ModbusReadAnswer(uint32_t iface, unsigned k);
