// EGD exchanges: blocks of registers produced periodically to a unicast or
// multicast address and consumed from a given producer over UDP port 18246,
// with a status per exchange written through the register bridge.
#pragma once

#include <array>
#include <cstdint>

#include "net/dpr.h"
#include "net/nx.h"

constexpr unsigned EGD_EXCHANGES = DPR_EGD_MAX;
constexpr uint32_t EGD_HDR = 32;         // message header
constexpr uint32_t EGD_DATA_MAX = 1400;  // data bytes one message carries
constexpr uint8_t EGD_TYPE = 13, EGD_VERSION = 1;

// Exchange record flags.
constexpr uint32_t EGD_DEFINED = 0x1, EGD_PRODUCED = 0x2, EGD_ID_REG = 0x10000, EGD_ADDR_REG = 0x20000,
                   EGD_GROUP_REG = 0x40000;
// Item kinds (bits 13-15 of the control word).
constexpr uint32_t EGD_KIND_DATA = 0, EGD_KIND_TIME = 1, EGD_KIND_STAMP = 2, EGD_KIND_STATUS = 4, EGD_KIND_SKIP = 6;
// Exchange status values and bits.
constexpr uint16_t EGD_ST_START = 0, EGD_ST_OK = 1, EGD_ST_LINK = 2, EGD_ST_FLAGGED = 3, EGD_ST_TIMEOUT = 6,
                   EGD_ST_RECOVERED = 7, EGD_ST_BAD_ID = 0x8, EGD_ST_BAD_GROUP = 0x10;

struct EgdState {
    NX_IP *ip;
    NX_UDP_SOCKET send;                           // "EGD Send Socket"
    NX_UDP_SOCKET receive;                        // "EGD Receive Socket"
    std::array<uint32_t, EGD_EXCHANGES> time;     // last production or reception, ms
    std::array<uint16_t, EGD_EXCHANGES> counter;  // request counter
    std::array<uint16_t, EGD_EXCHANGES> status;
    std::array<uint16_t, EGD_EXCHANGES> group;        // group last read from a register
    std::array<uint16_t, EGD_EXCHANGES> status_base;  // first status entry of the exchange
    std::array<uint32_t, EGD_EXCHANGES> joined;       // groups joined
    uint32_t joined_count;
    uint16_t prev_run;
    uint8_t configure_later;
};

extern std::array<EgdState, 2> EGDConnEth;
extern NX_PACKET_POOL *EgdPacketPoolPtr;
// UDP port of the exchanges (18246; tests move it).
extern uint16_t EgdPortNumber;

uint32_t Egd_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Egd_Config(uint32_t iface);
void Egd_Scan(uint32_t iface);
// When the exchanges of interface iface have work next (ms, now given): the
// earliest production or consumption time-out; every pass when one reads its
// identifier, group or address from a register or datagrams wait unread;
// PASS_IDLE_MS ahead with the service off or waiting for the run flag and the
// link.
uint32_t Egd_Due(uint32_t iface, uint32_t now);
void Egd_DeInit(NX_IP *ip);
uint32_t Egd_ConnCnt();
void EgdFlush(EgdState &s);

// Builds exchange x's message of interface n into buf (room for
// EGD_HDR + EGD_DATA_MAX bytes) with the given exchange ID and seconds; its length.
uint32_t EgdBuild(uint32_t n, unsigned x, uint32_t id, uint32_t seconds, uint8_t *buf);
// Handles one received datagram of len bytes on interface n: 1 when it was
// applied to a consumed exchange, 0 when dropped.
uint32_t EgdReceive(uint32_t n, const uint8_t *msg, uint32_t len, uint32_t now);
// Runs one data item at pos of a message of len bytes (direction 0 produce,
// 1 consume) for exchange x: the next position, or 0 when the item does not
// fit and no further item may run.
uint32_t EgdMoveData(uint8_t *msg, uint32_t len, const uint32_t *item, uint32_t pos, uint32_t dir, unsigned x,
                     uint32_t n);
// Seconds since 1970 of a clock record {second, minute, hour, day, month,
// year}, and back, with milliseconds, as seven words.
uint32_t EgdSecondsOf(const uint16_t *clock);
void EgdClockOf(uint32_t seconds, uint32_t ms, uint16_t *out);
