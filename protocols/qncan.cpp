// Programming tool over TCP: eight connections, one of which owns the
// command protocol's Ethernet channel at a time; single frames in both
// directions (a request's payload is one command frame, a reply carries one
// reply block).
#include "protocols/qncan.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/image/util.h"
#include "net/dpr.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "net/nx_server.h"
#include "platform/plat_poll.h"

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

// The programming-tool channel of the map, from ETN_RX_ACK to the map's end
// (QncanDpram points at its first byte), reached by the map offsets of
// net/dpr.h: a byte, or an area of n bytes.
constexpr std::size_t kBoxLen = DPR_MAP_SIZE - ETN_RX_ACK;
std::span<uint8_t, kBoxLen> Box() { return std::span<uint8_t, kBoxLen>(QncanDpram, kBoxLen); }
uint8_t &BoxByte(std::size_t at) { return Box()[at - ETN_RX_ACK]; }
std::span<uint8_t> BoxArea(std::size_t at, std::size_t n) { return Box().subspan(at - ETN_RX_ACK, n); }
// The access words of the channel: four u32 at ETN_ACCESS, each in force
// while bit 0x10 of its flag byte at ETN_ACCESS_FLAGS is set.
constexpr unsigned kAccessWords = 4;
constexpr uint8_t kAccessOn = 0x10;
bool AccessOn(unsigned i) { return (BoxByte(ETN_ACCESS_FLAGS + i) & kAccessOn) != 0; }
uint32_t AccessWord(unsigned i) { return LE_Get32(BoxArea(ETN_ACCESS + 4 * i, 4).data()); }

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

// Outcome of offering a frame or reply to a slot: sent (handled), or not sent
// (the send failed and the connection was dropped, or the reply is to be
// offered again).
enum QncanSendStatus : uint32_t { QNCAN_NOT_SENT = 0, QNCAN_SENT = 1 };

// Sends header + payload on slot k; QNCAN_NOT_SENT when the send failed (the
// connection is then dropped).
[[nodiscard]] QncanSendStatus PlainSend(QncanConnState &st, unsigned k, uint8_t *frame, uint32_t payload) {
    std::memcpy(frame + QH_CLOCK, &DprMap[DPR_CLOCK], 12);
    QncanSlot &slot = st.slots[k];
    const uint32_t r = NxServerSend(&slot.socket, QncanPacketPoolPtr, frame, QNCAN_HDR + payload, QNCAN_HDR + payload);
    if (r == NX_NO_PACKET) return QNCAN_NOT_SENT;
    if (r != NX_SUCCESS) {
        QncanDisconnect(&slot.socket);
        return QNCAN_NOT_SENT;
    }
    return QNCAN_SENT;
}

void SavedHeader(const QncanSlot &slot, uint8_t *r) {
    std::memset(r, 0, QNCAN_HDR);
    LE_Put32(r + QH_ACCESS, slot.access);
    LE_Put16(r + QH_LEVEL, slot.level);
    LE_Put16(r + QH_W6, slot.w6);
    LE_Put16(r + QH_W8, slot.w8);
}

// A reply frame in st.reply from the slot's saved header words.
uint32_t BuildPak(QncanConnState &st, const uint8_t *data, int32_t length, unsigned k) {
    uint8_t *r = st.reply.data();
    SavedHeader(st.slots[k], r);
    if (length < 0 || length > int32_t(QNCAN_PAYLOAD_MAX - 1)) length = QNCAN_PAYLOAD_MAX;
    LE_Put16(r + QH_LEN, uint16_t(length));
    std::memcpy(r + QNCAN_HDR, data, uint32_t(length));
    return uint32_t(length);
}

uint8_t Seed() { return uint8_t(crc_header[3] & 0x7F); }

void ResetStates(QncanConnState &st) {
    st.send_state = QS_IDLE;
    st.recv_state = QR_SINGLE;
    st.held_active = 0;
    st.held_remaining = 0;
    st.gathered = 0;
    st.gather_started = 0;
}

// An answer made from the request's own header, sent at once. A refusal
// byte to the slot that owns the exchange ends its multi-part states; other
// slots never touch them.
void Answer(QncanConnState &st, unsigned k, const uint8_t *req, uint16_t level, uint16_t status, const uint8_t *payload,
            uint32_t n) {
    uint8_t *r = st.reply.data();
    std::memcpy(r, req, QNCAN_HDR);
    LE_Put16(r + QH_LEVEL, level);
    LE_Put16(r + QH_CMD, status);
    LE_Put16(r + QH_LEN, uint16_t(n));
    if (n) std::memcpy(r + QNCAN_HDR, payload, n);
    if (n == 1 && payload[0] != 0xA0 && st.active == k) ResetStates(st);
    static_cast<void>(PlainSend(st, k, r, n));  // a failed send drops the connection
}

bool AccessAllowed(const QncanConnState &st, uint32_t access) {
    if (st.access_state == 'N' || !AccessOn(0) || AccessWord(0) == 0) return true;
    for (unsigned i = 0; i < kAccessWords; i++) {
        if (AccessOn(i) && AccessWord(i) == access) return true;
    }
    return false;
}

void Post(const uint8_t *payload, uint32_t payload_len) {
    if (payload_len == 1) {
        BoxByte(ETN_B_DATA) = payload[0];
        BoxByte(ETN_B_REQ) = Toggle(BoxByte(ETN_B_ACK));
    } else {
        const uint32_t n = std::min(payload_len, QNCAN_PAYLOAD_MAX);
        std::memcpy(BoxArea(ETN_RX_DATA, n).data(), payload, n);
        LE_Put16(BoxArea(ETN_RX_COUNT, 2).data(), uint16_t(n));
        BoxByte(ETN_RX_REQ) = Toggle(BoxByte(ETN_RX_ACK));
    }
    // The command processor takes it on the next pass, and its reply goes
    // out on the one after: neither waits for input.
    PLAT_PollWake();
}

void Serve(QncanConnState &st, unsigned k, const uint8_t *req, uint32_t payload_len) {
    const uint32_t now = _tx_time_get();
    if (st.active == QNCAN_NONE && !QncanBusy) st.active = st.last = uint8_t(k);
    if (st.access_state == 'N' && now - st.unlock_time >= QNCAN_UNLOCK_MS) {
        st.access_state = 0;
        st.challenge = 0;
    }
    const uint16_t level = LE_Get16(req + QH_LEVEL);
    const uint16_t cmd = LE_Get16(req + QH_CMD);
    if (cmd == 0x20) {
        uint32_t sum = 0;
        for (unsigned i = 0; i < 6; i++) sum += LE_Get16(&DprMap[DPR_CLOCK + 2 * i]);
        const uint8_t sec = DprMap[DPR_CLOCK];
        if (sec != 0) sum *= sec;
        st.challenge = sum * QNCAN_CHALLENGE_FACTOR;
        uint8_t *r = st.reply.data();
        std::memcpy(r, req, QNCAN_HDR);
        const uint32_t c = st.challenge;
        LE_Put32(r + QH_ACCESS, ((c << 16) | (c >> 16)) ^ QNCAN_CHALLENGE_MASK);
        LE_Put16(r + QH_LEN, 0);
        static_cast<void>(PlainSend(st, k, r, 0));  // a failed send drops the connection
        return;
    }
    if (cmd == 0x40) {
        // A challenge is answered once; none asked for (0) never matches.
        const bool ok = st.challenge != 0 && LE_Get32(req + QH_ACCESS) == st.challenge;
        st.challenge = 0;
        st.access_state = ok ? 'N' : 0;
        if (ok) st.unlock_time = now;
        Answer(st, k, req, level, ok ? 0 : 1, nullptr, 0);
        return;
    }
    if (cmd == 0x80) {
        st.access_state = 0;
        st.challenge = 0;
        Answer(st, k, req, level, 0, nullptr, 0);
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
    if (!AccessAllowed(st, LE_Get32(req + QH_ACCESS))) {
        Answer(st, k, req, level, 1, nullptr, 0);
        return;
    }
    const uint8_t *payload = req + QNCAN_HDR;
    Post(payload, payload_len);
    if (payload_len > 1) {
        if (payload[0] == 3 || payload[0] == 4) {
            st.recv_state = QR_MULTI;
            st.held_active = 0;
            st.held_remaining = 0;
        }
        if ((payload[0] == 5 || payload[0] == 11) && level == 2) {
            st.gathered = 0;
            st.gather_started = 0;
            st.send_state = QS_ANNOUNCED;
        }
    }
    QncanSlot &slot = st.slots[k];
    slot.access = LE_Get32(req + QH_ACCESS);
    slot.level = level;
    slot.w6 = LE_Get16(req + QH_W6);
    slot.w8 = LE_Get16(req + QH_W8);
}

// The header's length field counts the payload after it.
constexpr NxFraming kFraming{QNCAN_HDR, QH_LEN, 2, false, QNCAN_HDR, QNCAN_HDR + QNCAN_FRAME_MAX};

// Takes what connection k has; true with one whole request in req (its
// payload length in len).
bool TakeRequest(QncanConnState &st, unsigned k, uint8_t *req, uint32_t &payload) {
    QncanSlot &slot = st.slots[k];
    uint32_t used = 0;
    switch (NxServerTake(&slot.socket, kFraming, slot.rx, slot.rx_len, &used, &slot.last_activity, _tx_time_get())) {
    case NX_FRAME_WHOLE: break;
    case NX_FRAME_BAD:
        // A request longer than any the tool sends: the stream is not ours.
        QncanDisconnect(&slot.socket);
        return false;
    default: return false;
    }
    slot.last_request = _tx_time_get();
    slot.requested = 1;
    payload = used - QNCAN_HDR;
    std::memcpy(req, slot.rx.data(), used);
    NxServerConsume(slot.rx, slot.rx_len, used);
    return true;
}

// Cuts the next command frame of the held multi-part request and serves it.
void CutChunk(QncanConnState &st, unsigned k) {
    const uint32_t n = std::min(st.held_remaining, QNCAN_CHUNK);
    uint8_t frame[QNCAN_HDR + QNCAN_CHUNK + 3];
    std::memcpy(frame, st.held.data(), QNCAN_HDR);
    uint8_t *f = frame + QNCAN_HDR;
    f[0] = 255;
    f[1] = uint8_t(n);
    std::memcpy(f + 2, st.held.data() + st.held_pos, n);
    uint8_t sum = Seed();
    for (uint32_t i = 0; i < n + 2; i++) sum = uint8_t(sum + f[i]);
    f[n + 2] = uint8_t(-sum);
    LE_Put16(frame + QH_LEN, uint16_t(n + 3));
    st.held_pos += n;
    st.held_remaining -= n;
    if (st.held_remaining == 0) {
        st.held_active = 0;
        st.recv_state = n != 0 ? QR_MULTI : QR_SINGLE;
    } else {
        st.recv_state = QR_BETWEEN;
        st.send_state = QS_SWALLOW;
    }
    Serve(st, k, frame, n + 3);
}

// Steps slot k through the interface's receive state.
void StepSlot(QncanConnState &st, unsigned k) {
    uint8_t req[QNCAN_HDR + QNCAN_FRAME_MAX];
    uint32_t payload = 0;
    // Multi-part exchanges belong to the slot that owns the channel: others
    // are served as single frames (and so get the busy answer).
    const bool owner = st.active == k || st.active == QNCAN_NONE;
    const uint8_t state = owner ? st.recv_state : uint8_t(QR_SINGLE);
    switch (state) {
    case QR_SINGLE:
        if (!TakeRequest(st, k, req, payload)) return;
        if (owner && st.send_state == QS_WAIT_HOST) {
            if (payload == 0 || req[QNCAN_HDR] != 9) {
                // The host's frame only lets the last reply part go.
                st.send_state = QS_GATHER;
                break;
            }
            st.send_state = QS_IDLE;
        }
        Serve(st, k, req, payload);
        break;
    case QR_MULTI:
        if (!st.held_active) {
            if (!TakeRequest(st, k, req, payload)) return;
            if (payload == 0 || req[QNCAN_HDR] != 255) {
                st.recv_state = QR_SINGLE;
                Serve(st, k, req, payload);
                break;
            }
            if (payload < 3) {
                // No room for its own marker and checksum: refused.
                ResetStates(st);
                const uint8_t refused = 9;
                Answer(st, k, req, LE_Get16(req + QH_LEVEL), 0, &refused, 1);
                break;
            }
            std::memcpy(st.held.data(), req, QNCAN_HDR + payload);
            st.held_active = 1;
            st.held_pos = QNCAN_HDR + 2;
            st.held_remaining = payload - 3;
        }
        CutChunk(st, k);
        break;
    case QR_BETWEEN:
        // The answer to the last chunk has been swallowed: the next one goes now.
        if (st.send_state == QS_SWALLOW) return;
        st.recv_state = QR_MULTI;
        if (st.held_active) CutChunk(st, k);
        break;
    case QR_ACCEPT: {
        uint8_t frame[QNCAN_HDR + 1];
        SavedHeader(st.slots[k], frame);
        LE_Put16(frame + QH_LEN, 1);
        frame[QNCAN_HDR] = 0xA0;
        st.recv_state = QR_SINGLE;
        Serve(st, k, frame, 1);
        break;
    }
    default: ResetStates(st); return;
    }
    st.slots[k].last_activity = _tx_time_get();
}

// Offers a reply of the command processor to slot k: QNCAN_SENT handled,
// QNCAN_NOT_SENT to be offered again (or the connection was dropped).
[[nodiscard]] QncanSendStatus QncanSend(QncanConnState &st, unsigned k, const uint8_t *data, uint32_t len) {
    if (len == 1 && data[0] != 0xA0) {
        ResetStates(st);
        const uint32_t n = BuildPak(st, data, int32_t(len), k);
        return PlainSend(st, k, st.reply.data(), n);
    }
    switch (st.send_state) {
    case QS_GATHER: {
        uint8_t *g = st.gather.data();
        if (!st.gather_started) st.gather_part = QncanPartSize();
        const uint32_t part = st.gather_part;
        if (!st.gather_started) {
            SavedHeader(st.slots[k], g);
            g[QNCAN_HDR] = 255;
            g[QNCAN_HDR + 1] = 0;
            st.gather_sum = 255;
            st.gathered = 0;
            st.gather_started = 1;
        }
        // A reply frame: 255, count, data, checksum.
        uint32_t dn = len >= 3 ? data[1] : 0;
        dn = std::min({dn, len >= 3 ? len - 3 : 0u, part - st.gathered});
        const uint8_t sum_before = st.gather_sum;
        std::memcpy(g + QNCAN_HDR + 2 + st.gathered, data + 2, dn);
        for (uint32_t i = 0; i < dn; i++) st.gather_sum = uint8_t(st.gather_sum + data[2 + i]);
        st.gathered += dn;
        if (dn != 0 && st.gathered != part) {
            st.recv_state = QR_ACCEPT;
            PLAT_PollWake();  // the accept byte goes on the next pass, without waiting
            return QNCAN_SENT;
        }
        const uint8_t sum = uint8_t(st.gather_sum + Seed());
        LE_Put16(g + QH_LEN, uint16_t(st.gathered + 3));
        g[QNCAN_HDR + 2 + st.gathered] = uint8_t(-sum);
        const uint32_t had = st.gathered;
        // A part that finds no packet is kept as it was before this frame,
        // and the frame offered again: dropped, it would leave a hole in the
        // upload, with the host waiting for a part that never comes. A
        // failed send drops the connection.
        if (PlainSend(st, k, g, had + 3) == QNCAN_NOT_SENT && st.slots[k].socket.state == NX_TCP_ESTABLISHED) {
            st.gathered -= dn;
            st.gather_sum = sum_before;
            return QNCAN_NOT_SENT;
        }
        st.gathered = 0;
        st.gather_started = 0;
        // A connection the failed send closed took the upload with it: no
        // host is left to let a last part go.
        if (st.slots[k].socket.state != NX_TCP_ESTABLISHED) {
            ResetStates(st);
            return QNCAN_SENT;
        }
        if (dn != 0) return QNCAN_SENT;
        if (had != 0) {
            st.send_state = QS_WAIT_HOST;
            return QNCAN_NOT_SENT;
        }
        st.send_state = QS_IDLE;
        return QNCAN_SENT;
    }
    case QS_WAIT_HOST: return QNCAN_NOT_SENT;
    case QS_SWALLOW:
        st.send_state = QS_IDLE;
        PLAT_PollWake();  // the next chunk goes on the next pass, without waiting
        return QNCAN_SENT;
    default: {
        const uint32_t n = BuildPak(st, data, int32_t(len), k);
        const QncanSendStatus r = PlainSend(st, k, st.reply.data(), n);
        // Only the announcing reply that went out starts the gathering: one
        // that found no packet is offered again, and goes as a frame of its own.
        if (r == QNCAN_SENT && st.send_state == QS_ANNOUNCED) st.send_state = QS_GATHER;
        return r;
    }
    }
}

}  // namespace

uint32_t QncanPartSize() {
    // A fresh controller's word is 0: the part is never below one frame of
    // data nor above one packet.
    const int32_t w = int32_t(PlcWord(282)) - 71;
    const uint32_t part = w < int32_t(QNCAN_CHUNK) ? QNCAN_CHUNK : uint32_t(w) / QNCAN_CHUNK * QNCAN_CHUNK;
    return std::min(part, QNCAN_PART_MAX);
}

uint32_t QncanChallengeOf(uint32_t access_word) {
    const uint32_t v = access_word ^ QNCAN_CHALLENGE_MASK;
    return (v << 16) | (v >> 16);
}

uint32_t Qncan_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    QncanPacketPoolPtr = pool;
    QncanConnState &st = StateOf(ip);
    st.ip = ip;
    st.listening = 0;
    st.access_state = 0;
    st.challenge = 0;
    ResetStates(st);
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
        const uint32_t r =
            _nx_tcp_socket_create(ip, &slot.socket, "Qncan Socket", 0, 0, 128, 2048, nullptr, QncanDisconnect);
        if (r != NX_SUCCESS) return r;
        slot.socket.tally = &st.reports;
    }
    st.free = 1;
    QncanRelisten(st);
    // A port another process holds (a second controller in the same network
    // namespace) is a start that failed, named on the console; the scan's
    // retries would otherwise leave the tool port missing without a word.
    return st.listening ? uint32_t(NX_SUCCESS) : 1u;
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
    if (NxServerAccept(socket) && Find(socket, st, k)) {
        st->slots[k].last_activity = st->slots[k].last_request = _tx_time_get();
        st->slots[k].requested = 0;
        st->slots[k].rx_len = 0;
        st->free = 1;  // another record listens in its place
    }
}

void QncanDisconnect(NX_TCP_SOCKET *socket) {
    NxServerClose(socket);
    QncanConnState *st = nullptr;
    unsigned k = 0;
    if (!Find(socket, st, k)) return;
    st->slots[k].rx_len = 0;
    st->free = 1;  // the record listens again
    if (st->active == k) {
        st->active = st->last = QNCAN_NONE;
        ResetStates(*st);
    }
}

// Listens, closes idle connections and steps each connection once.
void StepConnections(QncanConnState &st, uint32_t start) {
    QncanRelisten(st);
    for (auto &slot : st.slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED && start - slot.last_activity >= QNCAN_IDLE_MS)
            QncanDisconnect(&slot.socket);
    }
    // The connection that holds the command channel is at work until the
    // command processor has answered it and the reply went out: closing it
    // would lose that reply.
    const bool reply_pending = BoxByte(ETN_TX_REQ) != BoxByte(ETN_TX_ACK);
    // So is one with a whole request waiting behind the one served. A
    // newcomer that waits for one is looked at again on the next pass.
    const bool waits = NxServerDisplace(st.slots, start, QncanDisconnect, [&st, reply_pending](const QncanSlot &slot) {
                           const auto k = uint8_t(&slot - st.slots.data());
                           return st.active == k || (reply_pending && st.active == QNCAN_NONE && st.last == k) ||
                                  NxServerRequestWaiting(kFraming, slot.rx.data(), slot.rx_len);
                       }) == NX_DISPLACE_WAITS;
    bool listen = false, created = false, busy = false, timed = false;
    uint32_t due = 0;
    for (unsigned k = 0; k < QNCAN_SLOTS; k++) {
        QncanSlot &slot = st.slots[k];
        if (slot.socket.state == NX_TCP_ESTABLISHED) StepSlot(st, k);
        listen |= slot.socket.state == NX_TCP_LISTEN;
        created |= slot.socket.state == NX_TCP_CREATED;
        if (slot.socket.state != NX_TCP_ESTABLISHED) {
            if (st.active == k) {
                st.active = st.last = QNCAN_NONE;
                ResetStates(st);
            }
            continue;
        }
        busy |= slot.rx_len > 0 || NxRxReady(&slot.socket);
        const uint32_t d = slot.last_activity + QNCAN_IDLE_MS;
        if (!timed || int32_t(d - due) < 0) due = d;
        timed = true;
    }
    st.free = !listen && created ? 1 : 0;
    st.busy = busy || waits ? 1 : 0;
    st.timed = timed ? 1 : 0;
    st.idle_due = due;
}

void Qncan_Scan(uint32_t iface) {
    PLAT_PollHarvest(false);  // input that came during this pass is read now
    QncanConnState &st = QncanState[iface == 1 ? 1 : 0];
    if (QncanDpram == nullptr || st.ip == nullptr) return;
    const uint32_t now = _tx_time_get();
    // The connections have nothing to do, at the cost of a few branches,
    // with no record free to listen with, nothing left unread, no multi-part
    // exchange under way, no report on its connections or a listener since
    // their last step and no idle time-out due.
    const uint32_t filed = st.reports;
    if (st.free || st.busy || st.recv_state != QR_SINGLE || filed != st.stepped || NxListenReports != st.listens ||
        (st.timed && int32_t(now - st.idle_due) >= 0)) {
        st.stepped = filed;
        st.listens = NxListenReports;
        StepConnections(st, now);
    }

    if (QncanBusy && now - QncanBusyTimer >= kBusyMs) QncanBusy = 0;
    Etn_TxPump();
    const uint8_t reply_slot = st.active != QNCAN_NONE ? st.active : st.last;
    const bool reply_pending = BoxByte(ETN_TX_REQ) != BoxByte(ETN_TX_ACK);
    if (reply_pending) {
        const uint32_t len = std::min<uint32_t>(LE_Get16(BoxArea(ETN_TX_LEN, 2).data()), ETN_TX_MAX);
        const uint8_t *data = BoxArea(ETN_TX_DATA, len).data();
        bool done = true;
        if (reply_slot != QNCAN_NONE && st.slots[reply_slot].socket.state == NX_TCP_ESTABLISHED) {
            done = QncanSend(st, reply_slot, data, len) == QNCAN_SENT ||
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
            BoxByte(ETN_TX_ACK) = BoxByte(ETN_TX_REQ);
            Etn_TxPump();
        }
    }
    if (BoxByte(ETN_SIG_REQ) != BoxByte(ETN_SIG_ACK)) {
        const bool waiting = Etn_CheckRx() != 0;
        const bool pending = Etn_TxPending() != 0;
        if (!waiting && !pending) {
            QncanBusy = 0;
            if (st.active != QNCAN_NONE) {
                st.last = st.active;
                st.active = QNCAN_NONE;
            }
        }
        if (!(pending && !waiting)) BoxByte(ETN_SIG_ACK) = BoxByte(ETN_SIG_REQ);
    }
}

uint32_t Qncan_Due(uint32_t iface, uint32_t now) {
    const QncanConnState &st = QncanState[iface == 1 ? 1 : 0];
    if (QncanDpram == nullptr || st.ip == nullptr) return now + PASS_IDLE_MS;
    if (st.free || st.busy || st.recv_state != QR_SINGLE || Etn_TxPending() ||
        BoxByte(ETN_SIG_REQ) != BoxByte(ETN_SIG_ACK))
        return now;
    uint32_t due = st.timed ? st.idle_due : now + PASS_IDLE_MS;
    if (QncanBusy && int32_t(QncanBusyTimer + kBusyMs - due) < 0) due = QncanBusyTimer + kBusyMs;
    return due;
}

uint32_t Qncan_ConnCnt(uint32_t iface) {
    uint32_t n = 0;
    for (const auto &slot : QncanState[iface == 1 ? 1 : 0].slots) n += slot.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

void Qncan_DeInit(NX_IP *ip) {
    if (ip == nullptr || ip->nx_ip_interface == 0) return;
    QncanConnState &st = StateOf(ip);
    if (st.ip == nullptr) return;
    // Every connection ends and every socket goes, the port with them.
    for (auto &slot : st.slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED) QncanDisconnect(&slot.socket);
        _nx_tcp_socket_delete(&slot.socket);
    }
    _nx_tcp_server_socket_unlisten(st.ip, QncanPort);
    st.listening = 0;
    st.ip = nullptr;
}
