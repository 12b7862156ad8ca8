// Programming tool over TCP: eight connections, one of which owns the
// command protocol's Ethernet channel at a time; single frames in both
// directions (a request's payload is one command frame, a reply carries one
// reply block).
#include "protocols/qncan.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/tx.h"
#include "net/dpr.h"
#include "net/etn_chan.h"
#include "net/net.h"

std::array<QncanConnState, 2> QncanState;
NX_PACKET_POOL *QncanPacketPoolPtr;
uint8_t *QncanDpram;
uint8_t QncanBusy;
uint32_t QncanBusyTimer;
uint32_t QncanPort = QNCAN_PORT;

namespace {

constexpr uint32_t kBusyMs = 30000;
constexpr uint8_t kBusyByte = 0x60;

uint8_t Toggle(uint8_t ack) { return ack <= 1 ? uint8_t(1 - ack) : 0; }

QncanConnState &StateOf(const NX_IP *ip) { return QncanState[(ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0]; }

bool Find(const NX_TCP_SOCKET *s, QncanConnState *&st, unsigned &k) {
    for (auto &state : QncanState) {
        for (unsigned i = 0; i < QNCAN_SLOTS; i++) {
            if (&state.slots[i].socket == s) {
                st = &state;
                k = i;
                return true;
            }
        }
    }
    return false;
}

// Sends header + payload on slot k; 1 when handled, 0 when the send failed
// (the connection is then dropped).
uint32_t PlainSend(QncanConnState &st, unsigned k, uint8_t *frame, uint32_t payload) {
    std::memcpy(frame + QH_CLOCK, &DprMap[DPR_CLOCK], 12);
    QncanSlot &slot = st.slots[k];
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(QncanPacketPoolPtr, &pk, 56, 0) != NX_SUCCESS) return 0;
    if (_nx_packet_data_append(pk, frame, QNCAN_HDR + payload, QncanPacketPoolPtr, 0) != NX_SUCCESS) {
        _nx_packet_release(pk);
        return 0;
    }
    if (_nx_tcp_socket_send(&slot.socket, pk, 0) != NX_SUCCESS) {
        QncanDisconnect(&slot.socket);
        return 0;
    }
    return 1;
}

// A reply frame in st.reply from the slot's saved header words.
uint32_t BuildPak(QncanConnState &st, const uint8_t *data, int32_t length, unsigned k) {
    const QncanSlot &slot = st.slots[k];
    uint8_t *r = st.reply.data();
    std::memset(r, 0, QNCAN_HDR);
    LE_Put32(r + QH_ACCESS, slot.access);
    LE_Put16(r + QH_LEVEL, slot.level);
    LE_Put16(r + QH_W6, slot.w6);
    LE_Put16(r + QH_W8, slot.w8);
    if (length < 0 || length > int32_t(QNCAN_PAYLOAD_MAX - 1)) length = QNCAN_PAYLOAD_MAX;
    LE_Put16(r + QH_LEN, uint16_t(length));
    std::memcpy(r + QNCAN_HDR, data, uint32_t(length));
    return uint32_t(length);
}

// An answer made from the request's own header.
void Answer(QncanConnState &st, unsigned k, const uint8_t *req, uint16_t level, uint16_t status,
            const uint8_t *payload, uint32_t n) {
    uint8_t *r = st.reply.data();
    std::memcpy(r, req, QNCAN_HDR);
    LE_Put16(r + QH_LEVEL, level);
    LE_Put16(r + QH_CMD, status);
    LE_Put16(r + QH_LEN, uint16_t(n));
    if (n) std::memcpy(r + QNCAN_HDR, payload, n);
    st.send_state = st.recv_state = 0;
    PlainSend(st, k, r, n);
}

void Serve(QncanConnState &st, unsigned k, const uint8_t *req, uint32_t payload_len) {
    if (st.active == QNCAN_NONE && !QncanBusy) st.active = st.last = uint8_t(k);
    const uint16_t level = LE_Get16(req + QH_LEVEL);
    const uint16_t cmd = LE_Get16(req + QH_CMD);
    if (cmd == 0x80) {
        st.access_state = 0;
        st.challenge = 0;
        Answer(st, k, req, level, 0, nullptr, 0);
        return;
    }
    if (cmd == 0x20 || cmd == 0x40) {
        // The challenge unlock is not served on this road.
        Answer(st, k, req, level, 1, nullptr, 0);
        return;
    }
    if (level >= 3) {
        Answer(st, k, req, 2, 2, nullptr, 0);
        return;
    }
    if (Etn_CheckRx() || st.active != k || QncanBusy) {
        Answer(st, k, req, level, 8, &kBusyByte, 1);
        return;
    }
    const uint8_t *payload = req + QNCAN_HDR;
    if (payload_len == 1) {
        QncanDpram[ETN_B_DATA - ETN_RX_ACK] = payload[0];
        QncanDpram[ETN_B_REQ - ETN_RX_ACK] = Toggle(QncanDpram[ETN_B_ACK - ETN_RX_ACK]);
    } else {
        const uint32_t n = std::min(payload_len, QNCAN_PAYLOAD_MAX);
        std::memcpy(QncanDpram + (ETN_RX_DATA - ETN_RX_ACK), payload, n);
        LE_Put16(QncanDpram + (ETN_RX_COUNT - ETN_RX_ACK), uint16_t(n));
        QncanDpram[ETN_RX_REQ - ETN_RX_ACK] = Toggle(QncanDpram[0]);
    }
    QncanSlot &slot = st.slots[k];
    slot.access = LE_Get32(req + QH_ACCESS);
    slot.level = level;
    slot.w6 = LE_Get16(req + QH_W6);
    slot.w8 = LE_Get16(req + QH_W8);
}

// Takes what the connection has and serves one whole request when there is one.
void StepSlot(QncanConnState &st, unsigned k) {
    QncanSlot &slot = st.slots[k];
    auto whole = [&slot]() {
        return slot.rx_len >= QNCAN_HDR && slot.rx_len >= QNCAN_HDR + LE_Get16(&slot.rx[QH_LEN]);
    };
    if (!whole()) {
        NX_PACKET *pk = nullptr;
        if (_nx_tcp_socket_receive(&slot.socket, &pk, 0) != NX_SUCCESS) return;
        const uint32_t n = pk->nx_packet_length;
        if (slot.rx_len + n > slot.rx.size()) {  // cannot happen: an incomplete request is shorter
            _nx_packet_release(pk);
            QncanDisconnect(&slot.socket);
            return;
        }
        std::memcpy(&slot.rx[slot.rx_len], pk->nx_packet_prepend_ptr, n);
        slot.rx_len += n;
        _nx_packet_release(pk);
        if (slot.rx_len >= QNCAN_HDR && LE_Get16(&slot.rx[QH_LEN]) > QNCAN_FRAME_MAX) {
            // A request longer than any the tool sends: the stream is not ours.
            QncanDisconnect(&slot.socket);
            return;
        }
        if (!whole()) return;
    }
    const uint32_t payload = LE_Get16(&slot.rx[QH_LEN]);
    uint8_t req[QNCAN_HDR + QNCAN_FRAME_MAX];
    std::memcpy(req, slot.rx.data(), QNCAN_HDR + payload);
    const uint32_t used = QNCAN_HDR + payload;
    std::memmove(slot.rx.data(), slot.rx.data() + used, slot.rx_len - used);
    slot.rx_len -= used;
    Serve(st, k, req, payload);
    slot.last_activity = _tx_time_get();
}

}  // namespace

uint32_t Qncan_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    QncanPacketPoolPtr = pool;
    QncanConnState &st = StateOf(ip);
    st.ip = ip;
    st.listening = 0;
    st.access_state = 0;
    st.challenge = 0;
    st.send_state = st.recv_state = 0;
    st.active = st.last = QNCAN_NONE;
    if (ip == nullptr || ip->nx_ip_interface != 1) {
        QncanBusy = 0;
        QncanDpram = &DprMap[ETN_RX_ACK];
    }
    for (auto &slot : st.slots) {
        slot.access = 0;
        slot.level = slot.w6 = slot.w8 = 0;
        slot.last_activity = 0;
        slot.rx_len = 0;
        const uint32_t r = _nx_tcp_socket_create(ip, &slot.socket, "Qncan Socket", 0, 0, 128, 2048, nullptr,
                                                 QncanDisconnect);
        if (r != NX_SUCCESS) return r;
    }
    QncanRelisten(st);
    return NX_SUCCESS;
}

uint32_t QncanRelisten(QncanConnState &st) {
    for (const auto &slot : st.slots) {
        if (slot.socket.state == NX_TCP_LISTEN) return 0;
    }
    for (unsigned i = 0; i < QNCAN_SLOTS; i++) {
        NX_TCP_SOCKET &s = st.slots[i].socket;
        if (s.state != NX_TCP_CREATED) continue;
        const uint32_t r = st.listening ? _nx_tcp_server_socket_relisten(st.ip, QncanPort, &s)
                                        : _nx_tcp_server_socket_listen(st.ip, QncanPort, &s, 0, QncanConnect);
        if (r == NX_SUCCESS) {
            st.listening = 1;
            return 1;
        }
        if (r == NX_ALREADY_BOUND) {
            _nx_tcp_server_socket_unaccept(&s);
            continue;
        }
        return 1;
    }
    return 0;
}

void QncanConnect(NX_TCP_SOCKET *socket, uint32_t) {
    QncanConnState *st = nullptr;
    unsigned k = 0;
    if (_nx_tcp_server_socket_accept(socket, 0) == NX_IN_PROGRESS) {
        if (Find(socket, st, k)) {
            st->slots[k].last_activity = _tx_time_get();
            st->slots[k].rx_len = 0;
        }
    } else {
        _nx_tcp_server_socket_unaccept(socket);
    }
}

void QncanDisconnect(NX_TCP_SOCKET *socket) {
    _nx_tcp_socket_disconnect(socket, 0);
    _nx_tcp_server_socket_unaccept(socket);
    QncanConnState *st = nullptr;
    unsigned k = 0;
    if (!Find(socket, st, k)) return;
    st->slots[k].rx_len = 0;
    if (st->active == k) st->active = st->last = QNCAN_NONE;
}

void Qncan_Scan(uint32_t iface) {
    QncanConnState &st = QncanState[iface == 1 ? 1 : 0];
    if (QncanDpram == nullptr || st.ip == nullptr) return;
    QncanRelisten(st);
    for (unsigned k = 0; k < QNCAN_SLOTS; k++) {
        if (st.slots[k].socket.state != NX_TCP_ESTABLISHED) {
            if (st.active == k) st.active = st.last = QNCAN_NONE;
            continue;
        }
        StepSlot(st, k);
    }

    const uint32_t now = _tx_time_get();
    if (QncanBusy && now - QncanBusyTimer >= kBusyMs) QncanBusy = 0;
    Etn_TxPump();
    const uint8_t reply_slot = st.active != QNCAN_NONE ? st.active : st.last;
    uint8_t *box = QncanDpram;
    const bool reply_pending = box[ETN_TX_REQ - ETN_RX_ACK] != box[ETN_TX_ACK - ETN_RX_ACK];
    if (reply_pending) {
        const uint32_t len = LE_Get16(box + (ETN_TX_LEN - ETN_RX_ACK));
        const uint8_t *data = box + (ETN_TX_DATA - ETN_RX_ACK);
        bool done = true;
        if (reply_slot != QNCAN_NONE && st.slots[reply_slot].socket.state == NX_TCP_ESTABLISHED) {
            const uint32_t n = BuildPak(st, data, int32_t(std::min<uint32_t>(len, ETN_TX_MAX)), reply_slot);
            done = PlainSend(st, reply_slot, st.reply.data(), n) != 0 ||
                   st.slots[reply_slot].socket.state != NX_TCP_ESTABLISHED;
        }
        // With nobody left to take it the reply is dropped, so that the
        // channel does not stay jammed for the next connection.
        if (done) {
            if (len == 1 && data[0] == kBusyByte) {
                QncanBusy = 1;
                QncanBusyTimer = now;
                st.active = st.last = QNCAN_NONE;
            }
            box[ETN_TX_ACK - ETN_RX_ACK] = box[ETN_TX_REQ - ETN_RX_ACK];
            Etn_TxPump();
        }
    }
    if (box[ETN_SIG_REQ - ETN_RX_ACK] != box[ETN_SIG_ACK - ETN_RX_ACK]) {
        const bool waiting = Etn_CheckRx() != 0;
        const bool pending = Etn_TxPending() != 0;
        if (!waiting && !pending) {
            QncanBusy = 0;
            if (st.active != QNCAN_NONE) {
                st.last = st.active;
                st.active = QNCAN_NONE;
            }
        }
        if (!(pending && !waiting)) box[ETN_SIG_ACK - ETN_RX_ACK] = box[ETN_SIG_REQ - ETN_RX_ACK];
    }
}

uint32_t Qncan_ConnCnt(uint32_t iface) {
    uint32_t n = 0;
    for (const auto &slot : QncanState[iface == 1 ? 1 : 0].slots) n += slot.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

void Qncan_DeInit(NX_IP *ip) {
    if (ip == nullptr || ip->nx_ip_interface == 0) return;
    for (auto &slot : StateOf(ip).slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED) QncanDisconnect(&slot.socket);
    }
}
