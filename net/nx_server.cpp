// Slot accept, stream framing, whole sends and close for the TCP servers.
#include "net/nx_server.h"

#include <algorithm>
#include <cstring>

NxFrameStatus NxServerTake(NX_TCP_SOCKET *s, const NxFraming &f, std::span<uint8_t> rx, uint32_t &rx_len,
                           uint32_t *len, uint32_t *last_activity, uint32_t now) {
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

void NxServerConsume(std::span<uint8_t> rx, uint32_t &rx_len, uint32_t used) {
    used = std::min(used, rx_len);
    std::memmove(rx.data(), rx.data() + used, rx_len - used);
    rx_len -= used;
    // Another whole request may be waiting in the buffer: the next pass
    // serves it without waiting for input.
    if (rx_len > 0) PLAT_PollWake();
}

uint32_t NxServerSend(NX_TCP_SOCKET *s, NX_PACKET_POOL *pool, const uint8_t *data, uint32_t len, uint32_t piece) {
    piece = std::max<uint32_t>(1, piece);
    for (uint32_t off = 0; off < len; off += piece) {
        const uint32_t n = std::min(piece, len - off);
        NX_PACKET *pk = nullptr;
        if (_nx_packet_allocate(pool, &pk, 56, 0) != NX_SUCCESS) return NX_NO_PACKET;
        if (_nx_packet_data_append(pk, data + off, n, pool, 0) != NX_SUCCESS) {
            _nx_packet_release(pk);
            return NX_NO_PACKET;
        }
        const uint32_t r = _nx_tcp_socket_send(s, pk, 0);
        if (r != NX_SUCCESS) return r;
    }
    return NX_SUCCESS;
}

bool NxServerAccept(NX_TCP_SOCKET *s) {
    if (_nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS) return true;
    _nx_tcp_server_socket_unaccept(s);
    return false;
}

void NxServerClose(NX_TCP_SOCKET *s) {
    _nx_tcp_socket_disconnect(s, 0);
    _nx_tcp_server_socket_unaccept(s);
}
