// ASCII over TCP: one server socket per interface on a configured or
// register-held port; the ladder program sends a text from a block of
// registers and finds received bytes in another, cut at an end character.
#pragma once

#include <array>
#include <cstdint>

#include "net/nx.h"

constexpr uint32_t ASCII_SEGMENT = 1380;  // bytes of one send or first part
constexpr uint32_t ASCII_SEND_MAX = 2000;
constexpr uint32_t ASCII_SECOND_MAX = 620;  // taken of a continuation
constexpr uint32_t ASCII_JOIN_TICKS = 500;  // 50 ms in 100 us ticks

// Status word bits.
constexpr uint16_t ASCII_ST_CUT_SECOND = 0x0001, ASCII_ST_CUT_SEND = 0x0002, ASCII_ST_NO_SOCKET = 0x0004,
                   ASCII_ST_SENDING = 0x0018, ASCII_ST_RECEIVED = 0x8000;

struct AsciiTCPConn {
    NX_IP *ip;
    NX_TCP_SOCKET socket;
    uint16_t status;
    uint16_t port;        // port in use
    uint32_t first_time;  // 100 us ticks of a pending first part
    uint32_t last_time;
    uint8_t listening;
    uint8_t first_pending;
    uint16_t sent;  // bytes of the text being sent that went out
    // Bytes read from the stream not yet stored: a first part is cut at 1380
    // bytes and what follows it is its continuation.
    std::array<uint8_t, ASCII_SEGMENT + NX_MAX_READ> rx;
    uint32_t rx_len;
};
extern std::array<AsciiTCPConn, 2> AsciiTCPConnEth;
extern NX_PACKET_POOL *AsciiPacketPoolPtr;

uint32_t Ascii_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Ascii_Scan(uint32_t iface);
uint32_t Ascii_cnn_cnt(uint32_t iface);
// When the channel has work next (ms, now given): every pass while it is on
// and the controller runs, else PASS_IDLE_MS ahead.
uint32_t Ascii_Due(uint32_t iface, uint32_t now);
void Ascii_DeInit(NX_IP *ip);
void AsciiConnect(NX_TCP_SOCKET *socket, uint32_t port);
void AsciiDisconnect(NX_TCP_SOCKET *socket);

// Stores n received bytes into the receive block at byte offset off (0, or
// 1380 for a continuation), cut at the block's end character; the number of
// bytes stored, or 0 when the block is refused (nothing stored).
uint32_t AsciiStore(uint32_t recv_ref, const uint8_t *data, uint32_t n, uint32_t off);
// The text the send block holds, at most 2,000 bytes, into buf (room for
// them); its length, or 0 when the block is refused.
uint32_t AsciiText(uint32_t send_ref, uint8_t *buf);
