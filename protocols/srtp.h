// SRTP server: up to 16 sessions per interface on TCP port 18245; the
// connection and session handshake, status and identification requests,
// privilege changes, and register reads and writes by segment selector
// through the register bridge.
#pragma once

#include <array>
#include <cstdint>

#include "net/dpr.h"
#include "net/nx.h"

constexpr unsigned SRTP_SLOTS = 16;
constexpr uint32_t SRTP_HDR = 56;           // header of every message
constexpr uint32_t SRTP_TEXT_MAX = 4096;    // longest text a message may carry
constexpr uint32_t SRTP_PIECE = 1444;       // largest answer piece
constexpr uint32_t SRTP_FIRST_TEXT = 1388;  // text bytes in the first piece
constexpr uint32_t SRTP_IDLE_MS = 60000;
constexpr unsigned SRTP_TEXT_BUFFERS = 4;

// A session's state: connected by the connection message, in mode 1 after
// a session message asking for it.
enum class SrtpState : uint8_t { None = 0, Connected = 1, Mode1 = 2 };

struct SrtpSlot {
    NX_TCP_SOCKET socket;
    uint16_t handle;  // bridge handle of the pending read
    uint8_t read_pending;
    SrtpState state;
    uint32_t reference;  // pending read: bit address (or IEC handle) and length in bits
    uint32_t bits;
    uint8_t reflect[8];  // answer bytes 32-39: request bytes 36-39, then 32-35
    uint16_t sequence;
    uint8_t byte30;
    uint8_t taken;           // a message was taken by this pass's scan step
    uint32_t last_activity;  // ms
    uint32_t last_request;   // ms: the last whole message, or the acceptance
    uint8_t requested;       // a whole message came since the acceptance
    // Bytes of the stream not yet served: messages are framed by 56 + their
    // text length however the reads split or merge them.
    std::array<uint8_t, SRTP_HDR + SRTP_TEXT_MAX + NX_MAX_READ> rx;
    uint32_t rx_len;
};

struct SrtpTextBuffer {
    uint16_t in_use;
    std::array<uint8_t, SRTP_TEXT_MAX> data;
};

struct SrtpServer {
    std::array<SrtpSlot, SRTP_SLOTS> slots;
    std::array<SrtpTextBuffer, SRTP_TEXT_BUFFERS> text;
    NX_IP *ip;
    uint8_t listening;
    // What lets a pass with nothing to do skip the sessions.
    uint8_t reads;      // a read may be waiting for its answer
    uint8_t took;       // a session took a message in this pass
    uint8_t free;       // no record may be listening
    uint8_t busy;       // a session has input unread or a whole message waiting
    uint8_t timed;      // a session is open: an idle time-out falls due at idle_due
    uint8_t served;     // the service was on at the last step
    uint32_t idle_due;  // ms
    uint32_t reports;   // reports of the readiness set on its sessions
    uint32_t filed;     // reports as of the last look after a wait
    uint32_t stepped;   // reports as of the last step of the sessions
    uint32_t listens;   // the listeners' reports as of that step
};

extern std::array<SrtpServer, 2> SrtpConnEth;
extern std::array<uint8_t, SRTP_HDR + SRTP_TEXT_MAX> SrtpRxBuff;  // one whole message
extern std::array<uint8_t, SRTP_PIECE> SrtpTxMsg;
extern NX_PACKET_POOL *SrtpPacketPoolPtr;
extern uint8_t SrtpPlcPriv;
// TCP port served (18245; tests move it).
extern uint16_t SrtpPortNumber;

uint32_t Srtp_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Srtp_Scan(uint32_t iface);
// After the main loop's wait: takes a message from each session that
// reported input and took none in the pass just ended. A read so taken is
// answered right after the next scan.
void Srtp_AfterWait(uint32_t iface);
// Right after the scan: the reads waiting for their answers get them from the
// image the scan left.
void Srtp_AfterScan(uint32_t iface);
uint32_t Srtp_Conn_Cnt(uint32_t iface);
// When the server has work next (ms, now given): now while something waits
// (a record to listen with, a read to answer, input unread), else a
// session's idle time-out, else PASS_IDLE_MS ahead.
uint32_t Srtp_Due(uint32_t iface, uint32_t now);
void Srtp_DeInit(NX_IP *ip);
void SrtpDisconnect(NX_TCP_SOCKET *socket);
void SrtpConnect(NX_TCP_SOCKET *socket, uint32_t port);

// Register blocks of a selector: base bit address (0: no such selector),
// offset and length in bits.
uint32_t SrtpGetToken(uint32_t selector);
uint32_t SrtpGetOffset(uint32_t selector, uint32_t offset);
uint32_t SrtpGetSize(uint32_t selector, uint32_t count);
EtnReq SrtpMkRegBlk(uint32_t selector, uint32_t offset, uint32_t count);
// Nonzero when the selector has no base or offset + length passes its limit.
uint32_t SrtpCheckValid(uint32_t selector, uint32_t offset, uint32_t count);
// IEC mapping: the SRTP table of interface n's configuration (the two
// values of its record kind 0x00100000: the table's size in words, then its
// variable handle).
EtnReq z7SrtpMkRegBlk(uint32_t selector, uint32_t offset, uint32_t count, uint32_t n = 0);
uint32_t z7SrtpCheckValid(uint32_t selector, uint32_t offset, uint32_t count, uint32_t n = 0);

// Length of the whole message at the head of slot k's stream: 0 while it is
// incomplete; 0xFFFFFFFF when its text length is over 4,096.
uint32_t SrtpFrameLength(const SrtpSlot &slot);
// Serves the whole message of len bytes in SrtpRxBuff for slot k of
// interface n; answers go out on the slot's socket.
void SrtpMessage(uint32_t n, unsigned k, uint32_t len);
// Sends slot k's pending read answer: 0 sent (or nothing to send), 1 failed.
uint32_t SrtpReadAnswer(uint32_t n, unsigned k);
