// The parts every TCP server of the controller shares: a server record takes
// a waiting connection or goes back to listening, a connection waiting while
// every record is taken displaces the one idle longest, requests are framed
// out of the byte stream by the length in their header however reads split
// or merge them, an answer goes out whole or the connection is closed. Small
// enough to be inline in every server.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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
[[nodiscard]] inline NxFrameStatus NxServerTake(NX_TCP_SOCKET *s, const NxFraming &f, std::span<uint8_t> rx,
                                                uint32_t &rx_len, uint32_t *len, uint32_t *last_activity,
                                                uint32_t now) {
    auto whole = [&]() {
        if (rx_len < f.header) return false;
        *len = f.length(rx.data());
        return rx_len >= *len;
    };
    if (whole()) return NX_FRAME_WHOLE;
    if (!NxRxReady(s)) return NX_FRAME_NONE;
    NX_PACKET *pk = nullptr;
    if (_nx_tcp_socket_receive(s, &pk, 0) != NX_SUCCESS) return NX_FRAME_NONE;
    if (last_activity != nullptr) *last_activity = now;
    const uint32_t got = pk->nx_packet_length;
    if (rx_len + got > rx.size()) {  // an incomplete request is always shorter than the room left
        _nx_packet_release(pk);
        return NX_FRAME_BAD;
    }
    std::memcpy(&rx[rx_len], pk->nx_packet_prepend_ptr, got);
    rx_len += got;
    _nx_packet_release(pk);
    if (rx_len >= f.header && f.length(rx.data()) > f.max) return NX_FRAME_BAD;
    return whole() ? NX_FRAME_WHOLE : NX_FRAME_PART;
}

// Removes the first used bytes of rx (the request served).
inline void NxServerConsume(std::span<uint8_t> rx, uint32_t &rx_len, uint32_t used) {
    used = std::min(used, rx_len);
    std::memmove(rx.data(), rx.data() + used, rx_len - used);
    rx_len -= used;
    // Another whole request may be waiting in the buffer: the next pass
    // serves it without waiting for input.
    if (rx_len > 0) PLAT_PollWake();
}

// Sends len bytes in pieces of at most piece bytes: NX_SUCCESS when every
// piece went out whole (NX_NO_PACKET: no packet for it, nothing sent);
// otherwise the caller closes the connection.
[[nodiscard]] inline uint32_t NxServerSend(NX_TCP_SOCKET *s, NX_PACKET_POOL *pool, const uint8_t *data,
                                           uint32_t len, uint32_t piece) {
    piece = std::max<uint32_t>(1, piece);
    for (uint32_t off = 0; off < len; off += piece) {
        const uint32_t n = std::min(piece, len - off);
        NX_PACKET *pk = nullptr;
        // Without a packet for the first piece nothing went out; after it the
        // frame would be cut.
        const uint32_t none = off == 0 ? NX_NO_PACKET : NX_NOT_SUCCESSFUL;
        if (_nx_packet_allocate(pool, &pk, 56, 0) != NX_SUCCESS) return none;
        if (_nx_packet_data_append(pk, data + off, n, pool, 0) != NX_SUCCESS) {
            _nx_packet_release(pk);
            return none;
        }
        const uint32_t r = _nx_tcp_socket_send(s, pk, 0);
        if (r != NX_SUCCESS) return r;
    }
    return NX_SUCCESS;
}

// The listen callback's work: true when a waiting connection was taken; a
// record that took none is back to listening.
inline bool NxServerAccept(NX_TCP_SOCKET *s) {
    if (_nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS) return true;
    _nx_tcp_server_socket_unaccept(s);
    return false;
}

// Closes the record's connection; the record goes back to the pool of free
// server records (created, not listening).
inline void NxServerClose(NX_TCP_SOCKET *s) {
    _nx_tcp_socket_disconnect(s, 0);
    _nx_tcp_server_socket_unaccept(s);
}

// Once a pass, after the server's listen step. With every record of the
// server serving a connection and another connection waiting on its port,
// the connection idle longest (its last whole request, or its acceptance
// when it handed on none, the oldest) is closed through close: its record
// takes the waiting one on the next passes, which come at once. One host's
// idle connections so never keep a client out. Slot: a record with .socket
// and .last_request (ms). True when a connection was closed.
template <class Slot, std::size_t N>
inline bool NxServerDisplace(std::array<Slot, N> &slots, uint32_t now, void (*close)(NX_TCP_SOCKET *)) {
    Slot *idle = nullptr;
    for (Slot &slot : slots) {
        if (slot.socket.state != NX_TCP_ESTABLISHED) return false;  // a record is free for the next one
        if (idle == nullptr || now - slot.last_request > now - idle->last_request) idle = &slot;
    }
    if (idle == nullptr || !NxConnectionWaiting(&slots[0].socket)) return false;
    close(&idle->socket);
    PLAT_PollWake();
    return true;
}
