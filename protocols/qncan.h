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
constexpr uint32_t QNCAN_PAYLOAD_MAX = 67;  // payload of a posted block or a reply
constexpr uint32_t QNCAN_FRAME_MAX = 1500;  // longest request payload accepted on the stream
constexpr uint8_t QNCAN_NONE = 255;
// Header field offsets.
constexpr uint32_t QH_ACCESS = 0, QH_LEVEL = 4, QH_W6 = 6, QH_W8 = 8, QH_CMD = 10, QH_CLOCK = 12, QH_LEN = 26;

struct QncanSlot {
    NX_TCP_SOCKET socket;
    uint32_t access;  // header words saved from the last data request
    uint16_t level, w6, w8;
    uint32_t last_activity;  // ms
    uint32_t last_request;   // ms: the last whole request, or the acceptance
    uint8_t requested;       // a whole request came since the acceptance
    // Bytes of the stream not yet served: requests are framed by their
    // payload length, however the reads split or merge them.
    // Room for an incomplete request and one more read.
    std::array<uint8_t, QNCAN_HDR + QNCAN_FRAME_MAX + NX_MAX_READ> rx;
    uint32_t rx_len;
};

// Longest part of a multi-part reply: one packet.
constexpr uint32_t QNCAN_PART_MAX = 1472;
constexpr uint32_t QNCAN_CHUNK = 64;  // data bytes of one command frame cut from a request
constexpr uint32_t QNCAN_IDLE_MS = 30000, QNCAN_UNLOCK_MS = 60000;

// Send states: idle, gathering a multi-part reply, multi-part reply announced,
// waiting for the host before the last part, swallowing answers to chunks.
enum : uint8_t { QS_IDLE = 0, QS_GATHER = 1, QS_ANNOUNCED = 2, QS_WAIT_HOST = 3, QS_SWALLOW = 4 };
// Receive states: single frames, multi-part request, between chunks, accept
// byte on the host's behalf.
enum : uint8_t { QR_SINGLE = 0, QR_MULTI = 1, QR_BETWEEN = 2, QR_ACCEPT = 3 };

struct QncanConnState {
    NX_IP *ip;
    std::array<QncanSlot, QNCAN_SLOTS> slots;
    uint8_t access_state;  // 'N' while unlocked
    uint8_t listening;
    uint8_t send_state, recv_state;
    std::array<uint8_t, QNCAN_HDR + QNCAN_PAYLOAD_MAX> reply;
    // The multi-part request being cut into command frames.
    std::array<uint8_t, QNCAN_HDR + QNCAN_FRAME_MAX> held;
    uint32_t held_pos, held_remaining;
    uint8_t held_active;
    // The multi-part reply part being gathered.
    std::array<uint8_t, QNCAN_HDR + 2 + QNCAN_PART_MAX + 1> gather;
    uint32_t gathered;
    uint32_t gather_part;  // part size, fixed when the part starts
    uint8_t gather_started, gather_sum;
    uint8_t active, last;
    uint32_t challenge, unlock_time;
    // What lets a pass with nothing to do skip the connections.
    uint8_t free;       // no record may be listening
    uint8_t busy;       // a connection has input unread or a whole request waiting
    uint8_t timed;      // a connection is open: an idle time-out falls due at idle_due
    uint32_t idle_due;  // ms
    uint32_t reports;   // reports of the readiness set on its connections
    uint32_t stepped;   // reports as of the last step of the connections
    uint32_t listens;   // the listeners' reports as of that step
};
// Multiplier and mask of the challenge, shared with the programming tool.
constexpr uint32_t QNCAN_CHALLENGE_FACTOR = 77, QNCAN_CHALLENGE_MASK = 0x5A3C96E1;
// The part size of multi-part replies, from system word 282.
uint32_t QncanPartSize();
// The challenge value a 0x20 reply's access word carries.
uint32_t QncanChallengeOf(uint32_t access_word);
extern std::array<QncanConnState, 2> QncanState;
extern NX_PACKET_POOL *QncanPacketPoolPtr;
extern uint8_t *QncanDpram;
extern uint8_t QncanBusy;
extern uint32_t QncanBusyTimer;

uint32_t Qncan_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Qncan_Scan(uint32_t iface);
uint32_t Qncan_ConnCnt(uint32_t iface);
// When the server has work next (ms of _tx_time_get, now given): now while
// something waits (a record to listen with, input or a request unread, a
// reply or a signal for the tool), else an idle time-out or the end of the
// busy hold, else PASS_IDLE_MS ahead: input on its sockets, or a reply
// posted for it, steps it first.
uint32_t Qncan_Due(uint32_t iface, uint32_t now);
void Qncan_DeInit(NX_IP *ip);
void QncanConnect(NX_TCP_SOCKET *socket, uint32_t port);
void QncanDisconnect(NX_TCP_SOCKET *socket);
uint32_t QncanRelisten(QncanConnState &st);
