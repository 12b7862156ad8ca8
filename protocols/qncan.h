// The programming tool over TCP port 18501: each request is a 28-byte header
// followed by one command-protocol frame, which goes into the byte channel of
// the register bridge's map; replies go back with the header the request
// carried and the controller's clock.
#pragma once

#include <array>
#include <cstdint>

#include "net/nx.h"

constexpr uint32_t QNCAN_PORT = 18501;
// Port listened on (QNCAN_PORT; tests in the machine's namespace move it).
extern uint32_t QncanPort;
constexpr unsigned QNCAN_SLOTS = 8;
constexpr uint32_t QNCAN_HDR = 28;
constexpr uint32_t QNCAN_PAYLOAD_MAX = 67;     // payload of a posted block or a reply
constexpr uint32_t QNCAN_FRAME_MAX = 1500;     // longest request payload accepted on the stream
constexpr uint8_t QNCAN_NONE = 255;
// Header field offsets.
constexpr uint32_t QH_ACCESS = 0, QH_LEVEL = 4, QH_W6 = 6, QH_W8 = 8, QH_CMD = 10, QH_CLOCK = 12, QH_LEN = 26;

struct QncanSlot {
    NX_TCP_SOCKET socket;
    uint32_t access;          // header words saved from the last data request
    uint16_t level, w6, w8;
    uint32_t last_activity;   // ms
    // Bytes of the stream not yet served: requests are framed by their
    // payload length, however the reads split or merge them.
    // Room for an incomplete request and one more read.
    std::array<uint8_t, QNCAN_HDR + QNCAN_FRAME_MAX + NX_MAX_READ> rx;
    uint32_t rx_len;
};

struct QncanConnState {
    NX_IP *ip;
    std::array<QncanSlot, QNCAN_SLOTS> slots;
    uint8_t access_state;     // 'N' while unlocked
    uint8_t listening;
    uint8_t send_state, recv_state;
    std::array<uint8_t, QNCAN_HDR + QNCAN_PAYLOAD_MAX> reply;
    uint8_t active, last;
    uint32_t challenge, unlock_time;
};
extern std::array<QncanConnState, 2> QncanState;
extern NX_PACKET_POOL *QncanPacketPoolPtr;
extern uint8_t *QncanDpram;
extern uint8_t QncanBusy;
extern uint32_t QncanBusyTimer;

uint32_t Qncan_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Qncan_Scan(uint32_t iface);
uint32_t Qncan_ConnCnt(uint32_t iface);
void Qncan_DeInit(NX_IP *ip);
void QncanConnect(NX_TCP_SOCKET *socket, uint32_t port);
void QncanDisconnect(NX_TCP_SOCKET *socket);
uint32_t QncanRelisten(QncanConnState &st);
