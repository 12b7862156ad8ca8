// CAN port driver: receive and transmit rings of 200 messages per port,
// moved to and from the port's endpoint by Can_Isr once per main-loop pass.
#pragma once

#include <array>
#include <cstdint>

constexpr unsigned CAN_RING = 200;
constexpr unsigned CAN_PORTS = 1;  // port 0 ("can0") only

struct CanMsg {
    uint8_t len;  // 0..8
    uint8_t rtr;  // 1 remote-transmission request
    uint32_t id;  // 11 bits, 29 in mode 5, no flag bits
    std::array<uint8_t, 8> data;
};

// Settings handed to _Can_Init; the driver reads the rate code and the mode.
using CanPortConfig = std::array<uint8_t, 12>;
constexpr unsigned CAN_CFG_RATE = 6, CAN_CFG_MODE = 9;

// Status byte bits.
constexpr uint8_t CAN_ST_TXWARN = 4, CAN_ST_RXWARN = 8, CAN_ST_RXOVR = 16, CAN_ST_CTRLOVR = 32, CAN_ST_BIT64 = 64,
                  CAN_ST_BUSOFF = 128;

using CanEventFn = void (*)(uint32_t);
using CanFilterFn = uint32_t (*)(uint32_t id);

struct CanRing {
    std::array<CanMsg, CAN_RING> msg;
    uint16_t in, out, count;
};

struct CanInfo {
    CanPortConfig cfg;
    CanRing rx, tx;
    uint8_t rx_overflow;
    uint8_t status;
    uint8_t status_seen;  // error bits since the CAN node last took them
    uint16_t load_time;   // last bus-load update (low 16 bits of the time base)
    uint8_t open;
    int32_t fd;                        // endpoint of the platform seam
    uint16_t tx_load, rx_load;         // tenths of a percent
    std::array<uint16_t, 6> counters;  // tx warn, rx warn, ring overflow, ctrl overflow, bit 64, bus-off
    uint8_t window_open;
    uint16_t window_start;
    uint32_t tx_bits, rx_bits;
    std::array<CanEventFn, 3> events;
    CanFilterFn filter;
};
extern std::array<CanInfo, CAN_PORTS> CanPort;

// Statistics record of _Can_Data: tx load, rx load, the six counters.
struct CanStats {
    uint16_t tx_load, rx_load;
    std::array<uint16_t, 6> counters;
};

extern const char *const port_str[2];
extern const char *const dev_str[2];
extern const char *const baud_str[5];
extern const uint16_t bpms[5];
extern const uint8_t CanBaud[4][2];

uint32_t CanIdFilterDefault(uint32_t id);

void _Can_Init(uint32_t port, const CanPortConfig &settings);
void Can_Isr();
// The transmit half of Can_Isr: writes the queued messages out now (the CAN
// node calls it after its transmit pass so that answers leave in the same pass).
void Can_IsrTx();
uint32_t _Can_CheckRx(uint32_t port);
uint32_t _Can_CountRx(uint32_t port);
CanMsg *_Can_GetRx(uint32_t port);
void _Can_NextRx(uint32_t port);
void _Can_FlushRx(uint32_t port);
uint32_t _Can_CheckTx(uint32_t port);
uint32_t _Can_CountTx(uint32_t port);
CanMsg *_Can_NextTx(uint32_t port);
void _Can_PutTx(uint32_t port, CanMsg *msg);
void _Can_FlushTx(uint32_t port);
uint32_t _Can_SentTx(uint32_t port);
void _Can_AbortTx(uint32_t port);
void _Can_BusOn(uint32_t port);
void _Can_BusOff(uint32_t port);
uint32_t _Can_Lockup(uint32_t port);
uint32_t _Can_Status(uint32_t port);
// The error bits seen since the last call (16 for a lost message included),
// then cleared: the CAN node reads these so that a bit never slips between
// two of its passes.
uint32_t _Can_StatusTake(uint32_t port);
void _Can_SetEvent(uint32_t port, uint32_t event, CanEventFn callback);
CanEventFn _Can_GetEvent(uint32_t port, uint32_t event);
void _Can_SetSWFilter(uint32_t port, CanFilterFn filter);
const CanStats *_Can_Data(uint32_t port, uint32_t clear);
