// The parts every TCP server of the controller shares: a server record takes
// a waiting connection or goes back to listening, requests are framed out of
// the byte stream by the length in their header however reads split or merge
// them, an answer goes out whole or the connection is closed.
#pragma once

#include <cstdint>
#include <span>

#include "net/nx.h"

// The framing of one protocol: header bytes, the whole request length that
// a complete header announces, and the longest request accepted.
struct NxFraming {
    uint32_t header;
    uint32_t (*length)(const uint8_t *header);
    uint32_t max;
};

enum NxFrameStatus : int {
    NX_FRAME_NONE = 0,   // nothing read, no whole request
    NX_FRAME_PART = 1,   // bytes read, the request is not whole yet
    NX_FRAME_WHOLE = 2,  // a whole request at the front of the buffer
    NX_FRAME_BAD = 3,    // a request no buffer can hold: the stream is not ours
};

// Takes what the connection has (only when the readiness set reports input)
// into rx[0..rx_len) and answers whether a whole request is at its front; its
// length goes to *len. *last_activity is set to now when bytes were read.
[[nodiscard]] NxFrameStatus NxServerTake(NX_TCP_SOCKET *s, const NxFraming &f, std::span<uint8_t> rx,
                                         uint32_t &rx_len, uint32_t *len, uint32_t *last_activity, uint32_t now);
// Removes the first used bytes of rx (the request served).
void NxServerConsume(std::span<uint8_t> rx, uint32_t &rx_len, uint32_t used);
// Sends len bytes in pieces of at most piece bytes: NX_SUCCESS when every
// piece went out whole; otherwise the caller closes the connection.
[[nodiscard]] uint32_t NxServerSend(NX_TCP_SOCKET *s, NX_PACKET_POOL *pool, const uint8_t *data, uint32_t len,
                                    uint32_t piece);
// The listen callback's work: true when a waiting connection was taken; a
// record that took none is back to listening.
bool NxServerAccept(NX_TCP_SOCKET *s);
// Closes the record's connection; the record goes back to its pool of free
// server records (created, not listening).
void NxServerClose(NX_TCP_SOCKET *s);
