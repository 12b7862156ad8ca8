// Ethernet remote I/O master: up to 16 stations per interface, each a
// Modbus TCP server on port 502 with up to 8 I/O modules, configured from a
// record of the I/O configuration, addressed by a small BOOTP server.
#pragma once

#include <array>
#include <cstdint>

#include "net/nx.h"

constexpr unsigned ETNIO_STATIONS = 16, ETNIO_MODULES = 8, ETNIO_IFACES = 2;
constexpr uint16_t ETNIO_KIND = 0xCF01, ETNIO_MAGIC = 0xAA55;
constexpr uint32_t ETNIO_CFG_BYTES = 3088, ETNIO_STATION_BYTES = 192, ETNIO_SHADOW = 64;
constexpr uint32_t ETNIO_PORT = 502, BOOTP_SERVER_PORT = 67, BOOTP_CLIENT_PORT = 68, BOOTP_BYTES = 300;

// Station status values.
constexpr int16_t ETNIO_NOT_STARTED = -101, ETNIO_DOWN = -102, ETNIO_CONN_TIMEOUT = -103, ETNIO_NO_MODULES = -104,
                  ETNIO_CFG_REFUSED = -105, ETNIO_SEND_FAILED = -106, ETNIO_BAD_FC = -201, ETNIO_ANSWER_TIMEOUT = -204,
                  ETNIO_OTHER_FC = -205, ETNIO_EXCEPTION = -208;
// Socket flags of a station.
constexpr uint8_t EIO_USED = 1, EIO_BOUND = 2, EIO_CONNECTED = 4, EIO_TIMED_OUT = 8;

// Steps of a station's exchange.
enum class EtnIoState : uint8_t {
    kIdle,          // waits to be started and for the link
    kConnect,       // bound and connecting
    kSendConfig,    // sends its modules' configuration
    kConfigAnswer,  // awaits the configuration's answer
    kChoose,        // chooses the next exchange
    kSendOutputs,   // writes the outputs
    kAskInputs,     // asks for the inputs
    kAnswer,        // awaits an exchange's answer
    kDisconnect,    // ends the connection
    kClosing,       // waits for its end, then unbinds
};
// What a station does next: not started, started with its configuration
// first (a first start, or again), exchanging, and the outputs or inputs
// under way.
enum class EtnIoPhase : uint16_t {
    kNone = 0,
    kStart = 1,
    kRestart = 2,
    kExchange = 4,
    kOutputs = 16,
    kInputs = 64,
};

struct EtnIoModule {
    uint32_t config;
    uint16_t kind;
    uint8_t in_off, in_len, out_off, out_len;
    uint32_t di, dq, ai, aq;  // register addresses of this module's areas, 0 none
};

struct EtnIoStation {
    uint32_t address;
    uint32_t status;  // bit address of the status register
    std::array<uint8_t, 6> mac;
    uint8_t modules;
    std::array<EtnIoModule, ETNIO_MODULES> mod;
    uint8_t in_bytes, out_bytes;
    std::array<uint8_t, ETNIO_SHADOW> shadow;
    uint8_t shadow_valid;  // 0: every output counts as changed
    EtnIoPhase phase;
    EtnIoState state;
    uint8_t flags;
    uint8_t last_fc;  // function code of the request awaiting its answer
    uint32_t sent_ms;
    uint32_t t_ms;  // connect or disconnect time
    NX_TCP_SOCKET socket;
};

struct EtnIoConnState {
    NX_IP *ip;
    NX_PACKET_POOL *pool;
    std::array<EtnIoStation, ETNIO_STATIONS> st;
    uint8_t count;
    uint16_t tid;
    std::array<uint16_t, 3> tid_fc;  // last identifier of the reads of inputs, writes of outputs, configurations
    const uint8_t *config;
    uint16_t crc;
    uint16_t last_run;
};
extern std::array<EtnIoConnState, ETNIO_IFACES> EtnIOConnState;

struct BootPEntry {
    std::array<uint8_t, 6> mac;
    uint32_t address;
};
struct BootPTable {
    uint8_t count;
    std::array<BootPEntry, ETNIO_STATIONS> entry;
    NX_UDP_SOCKET socket;
    NX_IP *ip;
    NX_PACKET_POOL *pool;
};
extern std::array<BootPTable, ETNIO_IFACES> BootPConn;

uint32_t EtnIo_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void EtnIo_Scan(uint32_t iface);
uint32_t EtnIo_Conn_Cnt(uint32_t iface);
void EtnIo_DeInit(NX_IP *ip);
void EtnIoDisconnect(NX_TCP_SOCKET *s);

// Finds the n-th remote-I/O record of the I/O configuration behind the three
// slot records; its data and length, null when there is none.
const uint8_t *EtnIoConfig(const uint8_t *block, uint32_t len, uint32_t n, uint32_t *data_len);
// Parses a record into interface iface's stations; the station count, or -1
// when nothing is applied.
int32_t EtnIo_Parse(uint32_t iface, const uint8_t *data, uint32_t len);
// Answer handling of station s: 1 taken, 0 nothing yet, else a status value.
int32_t EtnIoModTcpRxPacket(uint32_t iface, uint32_t s, const uint8_t *frame, uint32_t n);
// Builds the request of function code fc for station s into out; its length,
// or a negative status.
int32_t EtnIo_BuildFrame(uint32_t iface, uint32_t s, uint8_t fc, uint8_t *out, uint32_t room);

uint32_t BootPInit(NX_IP *ip, NX_PACKET_POOL *pool);
uint32_t BootPConfig(const uint8_t *mac, uint32_t address, uint32_t number, uint32_t iface);
void BootPScan(uint32_t iface);
// The answer to a request datagram for interface iface into out (300
// bytes); its station's index, or -1 when it gets none.
int32_t BootPAnswer(uint32_t iface, const uint8_t *req, uint32_t n, uint8_t *out);
