// The parts every TCP server of the controller shares: a server record takes
// a waiting connection or goes back to listening, a connection waiting while
// every record is taken displaces the one idle longest of the host holding
// the most records, requests are framed out of the byte stream by the length
// in their header however reads split or merge them (each protocol describes
// where that length is), an answer goes out whole or the connection is
// closed. A stream without frames takes the reads and the sending, going on
// after a short send. Small enough to be inline in every server.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/image/bytes.h"
#include "core/image/tx.h"
#include "net/nx.h"
#include "platform/plat_assert.h"

// The framing of one protocol: where its header gives the length of a
// request. A field of width bytes (2 or 4, little- or big-endian) at offset
// at; the whole request is add bytes more than its value. A record of each
// protocol is a constexpr of its module.
struct NxFraming {
    uint32_t header;  // bytes of the header: the length is known once they are in
    uint32_t at;      // the length field's offset
    uint8_t width;    // its size in bytes: 2 or 4
    bool big;         // big-endian
    uint32_t add;     // bytes of the request beyond the field's value
    uint32_t max;     // longest whole request accepted
};

constexpr uint32_t NX_FRAME_TOO_LONG = 0xFFFFFFFF;

// Length of the whole request at the front of rx[0..rx_len): 0 while it is
// incomplete, NX_FRAME_TOO_LONG when its header announces more than max.
[[nodiscard]] inline uint32_t NxFrameLength(const NxFraming &f, const uint8_t *rx, uint32_t rx_len) {
    if (rx_len < f.header) return 0;
    const uint8_t *p = rx + f.at;
    const uint32_t v = f.width == 4 ? (f.big ? BE_Get32(p) : LE_Get32(p)) : (f.big ? BE_Get16(p) : LE_Get16(p));
    if (v > f.max - f.add) return NX_FRAME_TOO_LONG;
    return rx_len >= f.add + v ? f.add + v : 0;
}

enum NxFrameStatus : int {
    NX_FRAME_NONE = 0,   // nothing read, no whole request
    NX_FRAME_PART = 1,   // bytes read, the request is not whole yet
    NX_FRAME_WHOLE = 2,  // a whole request at the front of the buffer
    NX_FRAME_BAD = 3,    // a request no buffer can hold: the stream is not ours
};

// Appends one read of the connection to rx[0..rx_len), only when the
// readiness set reports input and rx has room for a whole read: the bytes
// read, 0 when none.
inline uint32_t NxServerRead(NX_TCP_SOCKET *s, std::span<uint8_t> rx, uint32_t &rx_len) {
    if (rx.size() - rx_len < NX_MAX_READ || !NxRxReady(s)) return 0;
    NX_PACKET *pk = nullptr;
    if (_nx_tcp_socket_receive(s, &pk, 0) != NX_SUCCESS) return 0;
    const uint32_t got = pk->nx_packet_length;
    std::memcpy(&rx[rx_len], pk->nx_packet_prepend_ptr, got);
    rx_len += got;
    _nx_packet_release(pk);
    return got;
}

// Takes what the connection has (only when the readiness set reports input)
// into rx[0..rx_len) and answers whether a whole request is at its front; its
// length goes to *len. *last_activity is set to now when bytes were read.
// rx holds f.max + NX_MAX_READ bytes: an incomplete request leaves room for
// a whole read.
[[nodiscard]] inline NxFrameStatus NxServerTake(NX_TCP_SOCKET *s, const NxFraming &f, std::span<uint8_t> rx,
                                                uint32_t &rx_len, uint32_t *len, uint32_t *last_activity,
                                                uint32_t now) {
    uint32_t n = NxFrameLength(f, rx.data(), rx_len);
    if (n == 0) {
        if (NEVER(rx.size() - rx_len < NX_MAX_READ)) return NX_FRAME_BAD;
        if (NxServerRead(s, rx, rx_len) == 0) return NX_FRAME_NONE;
        if (last_activity != nullptr) *last_activity = now;
        n = NxFrameLength(f, rx.data(), rx_len);
        if (n == 0) return NX_FRAME_PART;
    }
    // A header that announces more than any buffer holds, whether it came
    // with this read or was left behind by the request before it.
    if (n == NX_FRAME_TOO_LONG) return NX_FRAME_BAD;
    *len = n;
    return NX_FRAME_WHOLE;
}

// Whether a whole request waits at the front of rx[0..rx_len): taken off the
// connection and answered on a later pass (a step serves one request), so
// its connection is at work.
[[nodiscard]] inline bool NxServerRequestWaiting(const NxFraming &f, const uint8_t *rx, uint32_t rx_len) {
    const uint32_t n = NxFrameLength(f, rx, rx_len);
    return n != 0 && n != NX_FRAME_TOO_LONG;
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
// otherwise the caller closes the connection, or, for a stream without
// frames, sends the rest later: *sent (when given) is the count of bytes the
// connection took, the pieces before the failed one and what the kernel took
// of it.
[[nodiscard]] inline uint32_t NxServerSend(NX_TCP_SOCKET *s, NX_PACKET_POOL *pool, const uint8_t *data, uint32_t len,
                                           uint32_t piece, uint32_t *sent = nullptr) {
    piece = std::max<uint32_t>(1, piece);
    for (uint32_t off = 0; off < len; off += piece) {
        if (sent != nullptr) *sent = off;
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
        if (r != NX_SUCCESS) {
            if (sent != nullptr) *sent = off + std::min(s->last_taken, n);
            return r;
        }
    }
    if (sent != nullptr) *sent = len;
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
// one connection gives way to it: of the hosts that hold the most records
// (the newcomer's own when it is one of them), the idlest connection is
// closed through close; its record takes the waiting one on the next passes,
// which come at once. The idlest is one that never handed on a whole request
// (the oldest of those first: a connection that only holds a record never
// looks fresher than a client polling now and then), else the one whose last
// whole request is the oldest. A connection at work (a request being
// answered, a reply pending, a transfer running) is never the one closed:
// its reply would be lost; when every candidate is at work the newcomer
// waits. A host that opens connection after connection so only ever closes
// its own, and a host holding fewer records than another keeps them. Slot: a
// record whose connection is socket_of(slot) (an NX_TCP_SOCKET *), whose last
// whole request (or acceptance) is since_of(slot) (ms), asked_of(slot)
// whether it handed on a whole request, busy_of(slot) whether it is at work.
// NX_DISPLACE_WAITS tells the server to look again on its next pass even
// with nothing else to do: the work that keeps the newcomer out ends without
// any input, and no report comes for the newcomer again.
enum NxDisplaceStatus : int {
    NX_DISPLACE_NONE = 0,    // a record is free, or no connection waits
    NX_DISPLACE_CLOSED = 1,  // a connection was closed for the newcomer
    NX_DISPLACE_WAITS = 2,   // every candidate is at work: the newcomer waits
};
template <class Slot, std::size_t N, class SocketOf, class SinceOf, class AskedOf, class BusyOf>
inline NxDisplaceStatus NxServerDisplaceBy(std::array<Slot, N> &slots, uint32_t now, void (*close)(NX_TCP_SOCKET *),
                                           SocketOf socket_of, SinceOf since_of, AskedOf asked_of, BusyOf busy_of) {
    for (Slot &slot : slots) {
        if (socket_of(slot)->state != NX_TCP_ESTABLISHED) return NX_DISPLACE_NONE;  // a record is free for the next one
    }
    uint32_t newcomer = 0;
    if (N == 0 || !NxWaitingPeer(socket_of(slots[0]), &newcomer)) return NX_DISPLACE_NONE;
    // Records held by the host of each record, the most any host holds, and
    // whether the newcomer's host is one of those that hold that many.
    std::array<uint32_t, N> held{};
    uint32_t most = 0;
    for (std::size_t i = 0; i < N; i++) {
        for (std::size_t j = 0; j < N; j++)
            held[i] += socket_of(slots[j])->peer_address == socket_of(slots[i])->peer_address ? 1 : 0;
        most = std::max(most, held[i]);
    }
    bool own = false;
    for (std::size_t i = 0; i < N; i++) own |= held[i] == most && socket_of(slots[i])->peer_address == newcomer;
    Slot *idle = nullptr;
    for (std::size_t i = 0; i < N; i++) {
        Slot &s = slots[i];
        if (held[i] != most || (own && socket_of(s)->peer_address != newcomer) || busy_of(s)) continue;
        const bool idler = idle == nullptr ||
                           (asked_of(s) != asked_of(*idle) ? !asked_of(s) : now - since_of(s) > now - since_of(*idle));
        if (idler) idle = &s;
    }
    if (idle == nullptr) return NX_DISPLACE_WAITS;
    close(socket_of(*idle));
    PLAT_PollWake();
    return NX_DISPLACE_CLOSED;
}

// The same for records that hold their connection in .socket, the time of
// its last whole request (or acceptance) in .last_request (ms) and whether it
// handed on one in .requested; busy_of(slot) tells a connection at work.
template <class Slot, std::size_t N, class BusyOf>
inline NxDisplaceStatus NxServerDisplace(std::array<Slot, N> &slots, uint32_t now, void (*close)(NX_TCP_SOCKET *),
                                         BusyOf busy_of) {
    return NxServerDisplaceBy(
        slots, now, close, [](Slot &slot) { return &slot.socket; }, [](const Slot &slot) { return slot.last_request; },
        [](const Slot &slot) { return slot.requested != 0; }, busy_of);
}

// A connection's part of the pass step's schedule, after its step: whether
// input waits (received bytes not yet framed, or the socket's), and the
// first ms at which it counts as idle, the earliest of all kept in due.
// Slot: a record with .socket, .rx_len and .last_activity (ms).
template <class Slot>
inline void NxSlotSchedule(Slot &slot, uint32_t idle_ms, bool &busy, bool &timed, uint32_t &due) {
    busy |= slot.rx_len > 0 || NxRxReady(&slot.socket);
    const uint32_t d = slot.last_activity + idle_ms + 1;
    if (!timed || int32_t(d - due) < 0) due = d;
    timed = true;
}

// After the loop's wait: each connection whose input came during the wait
// takes one request at once, through step(k, now), rather than on the next
// pass's step. One request per connection and pass: one that the pass just
// ended took its own (.taken), or whose read waits for its answer
// (.read_pending), or any while the server does not serve, is left for the
// pass's step. Nothing to do when no connection took a request in that pass
// (.took) and none of the server's descriptors reported since the last look
// (.reports against .filed); when every connection with input was served,
// the reports so far leave the pass's step nothing more (.stepped).
template <class Server, class Step>
inline void NxServerAfterWait(Server &s, bool serving, Step step) {
    const uint32_t filed = s.reports;
    if (!s.took && filed == s.filed) return;
    s.filed = filed;
    uint32_t now = 0;
    bool timed = false, left = false;
    for (unsigned k = 0; k < s.slots.size(); k++) {
        auto &slot = s.slots[k];
        const bool skip = slot.taken || slot.read_pending;
        slot.taken = 0;
        if (slot.socket.state != NX_TCP_ESTABLISHED || !NxRxReady(&slot.socket)) continue;
        if (!serving || skip) {
            left = true;
            continue;
        }
        if (!timed) {
            now = _tx_time_get();
            timed = true;
        }
        step(k, now);
        slot.taken = 0;  // the next pass's scan step takes its own
    }
    s.took = 0;
    if (!left) s.stepped = filed;
}
