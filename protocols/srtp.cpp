// SRTP server. Each pass: listen one more socket, answer the reads taken on
// an earlier pass from the register image as it is now, then serve at most
// one message per session. A session is a stream: its messages are framed by
// the 56-byte header and the text length it declares; a session with a read
// still to answer takes no further message.
#include "protocols/srtp.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/storage/memfile.h"
#include "net/nx_server.h"
#include "platform/plat_poll.h"
#include "protocols/srtp_layout.h"

std::array<SrtpServer, 2> SrtpConnEth;
std::array<uint8_t, SRTP_HDR + SRTP_TEXT_MAX> SrtpRxBuff;
std::array<uint8_t, SRTP_PIECE> SrtpTxMsg;
NX_PACKET_POOL *SrtpPacketPoolPtr;
uint8_t SrtpPlcPriv = 2;
uint16_t SrtpPortNumber = 18245;

namespace {

constexpr char kModel[] = "TQR300";
constexpr uint32_t kReadBits = 0x7FFFF;  // the pending read's length: its low 19 bits
// Messages are framed by the header's text length.
constexpr NxFraming kFraming{SRTP_HDR, SRTPH_TEXT_LENGTH, 4, false, SRTP_HDR, SRTP_HDR + SRTP_TEXT_MAX};

struct Selector {
    uint8_t code;
    uint8_t unit;    // bits per offset and count step
    uint32_t base;   // 0: the %T or %M base in force
    uint32_t limit;  // offset + length, in bits
};
constexpr std::array<Selector, 11> kSelectors{{
    {SRTP_SEL_R, 16, 32768, 799984},
    {SRTP_SEL_AI, 16, 16384, 8192},
    {SRTP_SEL_AQ, 16, 24576, 8192},
    {SRTP_SEL_I, 8, 8192, 2048},
    {SRTP_SEL_Q, 8, 10240, 2048},
    {SRTP_SEL_T, 8, 0, 16384},
    {SRTP_SEL_M, 8, 0, 16384},
    {SRTP_SEL_I_BIT, 1, 8192, 2048},
    {SRTP_SEL_Q_BIT, 1, 10240, 2048},
    {SRTP_SEL_T_BIT, 1, 0, 16384},
    {SRTP_SEL_M_BIT, 1, 0, 16384},
}};

const Selector *FindSelector(uint32_t code) {
    for (const Selector &s : kSelectors) {
        if (s.code == code) return &s;
    }
    return nullptr;
}

bool IecMapping() { return DrevanoRuntime != 0; }

// Bytes that carry a block's bits: the bridge moves bits in place (bit mode
// 0), so a block that starts inside a byte takes the byte it starts in.
uint32_t CarryBytes(uint32_t reference, uint32_t bits) {
    const uint32_t lead = PlcReg_IsIecHandle(reference) ? 0 : reference % 8;
    return (lead + bits + 7) / 8;
}
bool Running() { return LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0; }

SrtpServer &ServerOf(uint32_t n) { return SrtpConnEth[n == 1 ? 1 : 0]; }
uint32_t IfaceOf(const NX_IP *ip) { return (ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0; }

bool Find(const NX_TCP_SOCKET *s, SrtpSlot *&out) {
    for (auto &server : SrtpConnEth) {
        for (auto &slot : server.slots) {
            if (&slot.socket == s) {
                out = &slot;
                return true;
            }
        }
    }
    return false;
}

// The server whose record socket is, or null.
SrtpServer *ServerOfSocket(const NX_TCP_SOCKET *socket) {
    for (auto &server : SrtpConnEth) {
        if (socket >= &server.slots.front().socket && socket <= &server.slots.back().socket) return &server;
    }
    return nullptr;
}

void ClearSession(SrtpSlot &slot) {
    slot.handle = 0;
    slot.taken = 0;
    slot.read_pending = 0;
    slot.state = SrtpState::None;
    slot.reference = slot.bits = 0;
    std::memset(slot.reflect, 0, sizeof slot.reflect);
    slot.sequence = 0;
    slot.byte30 = 0;
    slot.rx_len = 0;
}

// Service fields of a request: their place depends on the form byte.
struct Service {
    uint8_t code, selector;
    uint16_t offset, count;
};
bool ShortForm(const uint8_t *m) { return m[SRTPH_FORM] == SRTP_FORM_SHORT || m[SRTPH_FORM] == SRTP_FORM_SHORT2; }
Service ServiceOf(const uint8_t *m) {
    const uint8_t *at = m + (ShortForm(m) ? SRTPH_SHORT_SERVICE : SRTPH_LONG_SERVICE);
    return {at[SRTPS_CODE], at[SRTPS_SELECTOR], LE_Get16(at + SRTPS_OFFSET), LE_Get16(at + SRTPS_COUNT)};
}
uint16_t SequenceOf(const uint8_t *m) { return LE_Get16(m + SRTPH_SEQUENCE); }

// Clears the answer header and sets type, sequence, text length and, for
// type 3, bytes 16 and 17.
uint8_t *SrtpInitResponse(uint8_t type, uint16_t sequence, uint32_t text, uint8_t b17) {
    uint8_t *t = SrtpTxMsg.data();
    std::memset(t, 0, SRTP_HDR);
    t[SRTPH_TYPE] = type;
    LE_Put16(t + SRTPH_SEQUENCE, sequence);
    LE_Put32(t + SRTPH_TEXT_LENGTH, text);
    if (type == SRTP_MSG_ANSWER) {
        t[SRTPH_ANSWER16] = 0;
        t[SRTPH_ANSWER17] = b17;
    }
    return t;
}

// The fields every type-3 answer carries: byte 30, the swapped address words,
// privilege and controller status.
void Reflect(uint8_t *t, uint8_t byte30, const uint8_t *reflect, uint8_t kind) {
    t[SRTPH_REFLECTED] = byte30;
    t[SRTPH_KIND] = kind;
    std::memcpy(t + SRTPH_ADDR, reflect, 2 * SRTPH_ADDR_BYTES);
    t[SRTPH_ANSWER_MARK] = SRTP_ANSWER_MARK;
    t[SRTPH_PRIVILEGE] = SrtpPlcPriv;
    LE_Put16(t + SRTPH_SOURCE, SRTP_SOURCE);
    LE_Put16(t + SRTPH_PLC_STATUS, Running() ? 0 : SRTP_NOT_RUNNING);
}

void ReflectOf(const uint8_t *m, uint8_t *out) {
    std::memcpy(out, m + SRTPH_ADDR2, SRTPH_ADDR_BYTES);
    std::memcpy(out + SRTPH_ADDR_BYTES, m + SRTPH_ADDR, SRTPH_ADDR_BYTES);
}

uint8_t *Answer(const uint8_t *m, uint32_t text, uint8_t b17, uint8_t kind) {
    uint8_t reflect[2 * SRTPH_ADDR_BYTES];
    ReflectOf(m, reflect);
    uint8_t *t = SrtpInitResponse(SRTP_MSG_ANSWER, SequenceOf(m), text, b17);
    Reflect(t, m[SRTPH_REFLECTED], reflect, kind);
    if (text != 0) LE_Put16(t + SRTPH_ANSWER_TEXT, uint16_t(text));
    return t;
}

// Sends len bytes from p on the slot's socket in pieces of at most its MSS:
// 0 sent, 1 failed. An answer that does not go out whole closes the
// connection: the peer would get a cut frame, and what followed it would no
// longer be framed.
uint32_t SendBytes(SrtpSlot &slot, const uint8_t *p, uint32_t len) {
    const uint32_t piece = std::max<uint32_t>(1, std::min(slot.socket.mss, SRTP_PIECE));
    const uint32_t r = NxServerSend(&slot.socket, SrtpPacketPoolPtr, p, len, piece);
    if (r == NX_SUCCESS) return 0;
    if (r != NX_NO_PACKET && slot.socket.state == NX_TCP_ESTABLISHED) SrtpDisconnect(&slot.socket);
    return 1;
}

uint32_t SrtpSendResponse(SrtpSlot &slot, uint32_t len) { return SendBytes(slot, SrtpTxMsg.data(), len); }

uint32_t SrtpSendText(SrtpSlot &slot, const SrtpTextBuffer &b, uint32_t offset, uint32_t len) {
    if (offset + len > SRTP_TEXT_MAX) return 1;
    return SendBytes(slot, b.data.data() + offset, len);
}

void SrtpError(SrtpSlot &slot, uint16_t sequence) {
    uint8_t *t = SrtpInitResponse(SRTP_MSG_ERROR, sequence, 0, 0);
    LE_Put16(t + SRTPH_STATUS, 1);
    SrtpSendResponse(slot, SRTP_HDR);
}

uint32_t SrtpBadRequestMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t *t = Answer(m, 0, SRTP_ANSWER_NO_TEXT, SRTP_KIND_REFUSED);
    t[SRTPH_ERROR_CLASS] = SRTP_REFUSAL_CLASS;
    t[SRTPH_ERROR_CODE] = SRTP_REFUSAL_CODE;
    return SrtpSendResponse(slot, SRTP_HDR);
}

// A fixed text answer: the text bytes and their count.
uint32_t TextAnswer(SrtpSlot &slot, const uint8_t *m, const uint8_t *text, uint32_t len) {
    uint8_t *t = Answer(m, len, SRTP_ANSWER_TEXT, SRTP_KIND_DONE_TEXT);
    std::memcpy(t + SRTP_HDR, text, len);
    return SrtpSendResponse(slot, SRTP_HDR + len);
}

uint32_t SrtpLongStatusMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t text[44] = {};
    std::memcpy(text, kModel, 6);
    LE_Put32(text + 8, 1);
    return TextAnswer(slot, m, text, sizeof text);
}

uint32_t SrtpControlInfoMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t text[40] = {};
    std::memcpy(text, kModel, 6);
    text[10] = 1;
    return TextAnswer(slot, m, text, sizeof text);
}

uint32_t SrtpFeaturesMsg(SrtpSlot &slot, const uint8_t *m) {
    const uint8_t text[10] = {10, 2};
    return TextAnswer(slot, m, text, sizeof text);
}

uint32_t SrtpCfgMemAllocDataMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t text[256] = {};
    LE_Put16(text + 4, 512);
    LE_Put16(text + 6, 512);
    LE_Put32(text + 8, 49999);
    return TextAnswer(slot, m, text, sizeof text);
}

uint32_t SrtpPlcVmeModCfgMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t text[256] = {};
    text[55] = text[57] = 'D';
    return TextAnswer(slot, m, text, sizeof text);
}

uint32_t SrtpShortStatusMsg(SrtpSlot &slot, const uint8_t *m) {
    Answer(m, 0, SRTP_ANSWER_NO_TEXT, SRTP_KIND_DONE);
    return SrtpSendResponse(slot, SRTP_HDR);
}

uint32_t SrtpChangePrivLevelMsg(SrtpSlot &slot, const uint8_t *m, uint8_t level) {
    if (level == SRTP_PRIV_ASK_HIGHEST)
        SrtpPlcPriv = SRTP_PRIV_HIGH;
    else if (level >= SRTP_PRIV_LOW && level <= SRTP_PRIV_HIGH)
        SrtpPlcPriv = level;
    else
        SrtpPlcPriv = SRTP_PRIV_LOW;
    Answer(m, 0, SRTP_ANSWER_NO_TEXT, SRTP_KIND_DONE);
    return SrtpSendResponse(slot, SRTP_HDR);
}

uint32_t SrtpConnectionMsg(SrtpSlot &slot, const uint8_t *m) {
    uint8_t *t = SrtpInitResponse(SRTP_MSG_CONNECT_ANSWER, SequenceOf(m), 0, 0);
    LE_Put32(t + SRTPH_STATUS, 1);
    slot.state = SrtpState::Connected;
    return SrtpSendResponse(slot, SRTP_HDR);
}

// 0 answered; 1 refused (not a session request) or not sent.
uint32_t SrtpSessionMsg(SrtpSlot &slot, const uint8_t *m) {
    if (m[SRTPH_SESSION_TAG] != SRTP_SESSION_TAG) return 1;
    slot.state = m[SRTPH_SESSION_FLAG] == SRTP_SESSION_MODE1 ? SrtpState::Mode1 : SrtpState::Connected;
    Answer(m, 0, SRTP_ANSWER_NO_TEXT, SRTP_KIND_DONE);
    return SrtpSendResponse(slot, SRTP_HDR);
}

// Checks a register request in the mapping in force: 0 good (block set),
// 1 bad request, 2 refused by the register bridge.
uint32_t CheckRequest(uint32_t n, const Service &s, EtnReq &blk) {
    const bool iec = IecMapping();
    if (iec ? z7SrtpCheckValid(s.selector, s.offset, s.count, n) : SrtpCheckValid(s.selector, s.offset, s.count))
        return 1;
    blk = iec ? z7SrtpMkRegBlk(s.selector, s.offset, s.count, n) : SrtpMkRegBlk(s.selector, s.offset, s.count);
    // No transfer may be longer than a text buffer.
    if ((blk.count + 7) / 8 > SRTP_TEXT_MAX) return 1;
    if (EtnValidateReq(&blk) != 0) return 2;
    return 0;
}

void RegisterRead(uint32_t n, unsigned k, const uint8_t *m, const Service &s) {
    SrtpSlot &slot = ServerOf(n).slots[k];
    EtnReq blk{};
    const uint32_t r = CheckRequest(n, s, blk);
    if (r == 1) {
        if (SrtpBadRequestMsg(slot, m) != 0) SrtpError(slot, SequenceOf(m));
        return;
    }
    if (r == 2) return SrtpError(slot, SequenceOf(m));
    uint32_t handle = 0;
    if (Running()) {
        handle = Dpr_Add_Req(&blk, 0, 0, 0);
        if (handle == 0) return SrtpError(slot, SequenceOf(m));
    }
    slot.handle = uint16_t(handle);
    slot.reference = blk.reference;
    slot.bits = blk.count;
    slot.sequence = SequenceOf(m);
    slot.byte30 = m[SRTPH_REFLECTED];
    ReflectOf(m, slot.reflect);
    slot.read_pending = 1;
    ServerOf(n).reads = 1;
    pass_work.reads = 1;  // answered after the scan
}

void RegisterWrite(uint32_t n, unsigned k, const uint8_t *m, uint32_t len, const Service &s) {
    SrtpSlot &slot = ServerOf(n).slots[k];
    const uint16_t seq = SequenceOf(m);
    EtnReq blk{};
    const uint32_t r = CheckRequest(n, s, blk);
    if (r == 1) {
        if (SrtpBadRequestMsg(slot, m) != 0) SrtpError(slot, seq);
        return;
    }
    if (r == 2) return SrtpError(slot, seq);
    const uint32_t bytes = CarryBytes(blk.reference, blk.count);
    const uint8_t *data = nullptr;
    switch (m[SRTPH_KIND]) {
    case SRTP_KIND_WRITE_HEADER: {
        // Data in the header: bytes 48-55 in forms 1 and 5, only 48-49 otherwise.
        const uint32_t room = ShortForm(m) ? SRTP_HEADER_DATA_SHORT : SRTP_HEADER_DATA_LONG;
        if (bytes > room) return SrtpError(slot, seq);
        data = m + SRTPH_HEADER_DATA;
        break;
    }
    case SRTP_KIND_WRITE_TEXT:
    case SRTP_KIND_WRITE_TEXT2:
        if (bytes > len - SRTP_HDR) return SrtpError(slot, seq);
        data = m + SRTP_HDR;
        break;
    case SRTP_KIND_IGNORED: return;
    default: return SrtpError(slot, seq);
    }
    Dpr_Data_Block(blk.reference, blk.count, const_cast<uint8_t *>(data), 1, 0);
    if (Running() && Dpr_Add_Req(&blk, 1, 0, 0) == 0) return SrtpError(slot, seq);
    Answer(m, 0, SRTP_ANSWER_NO_TEXT, SRTP_KIND_DONE);
    if (SrtpSendResponse(slot, SRTP_HDR) != 0) SrtpError(slot, seq);
}

void ServiceRequest(uint32_t n, unsigned k, const uint8_t *m, uint32_t len) {
    SrtpSlot &slot = ServerOf(n).slots[k];
    const Service s = ServiceOf(m);
    uint32_t r = 0;
    switch (s.code) {
    case SRTP_SVC_SHORT_STATUS: r = SrtpShortStatusMsg(slot, m); break;
    case SRTP_SVC_LONG_STATUS: r = SrtpLongStatusMsg(slot, m); break;
    case SRTP_SVC_READ:
        if (s.selector == SRTP_SEL_MEM_ALLOC)
            r = SrtpCfgMemAllocDataMsg(slot, m);
        else if (s.selector == SRTP_SEL_MODULE_CFG)
            r = SrtpPlcVmeModCfgMsg(slot, m);
        else
            RegisterRead(n, k, m, s);
        break;
    case SRTP_SVC_WRITE: RegisterWrite(n, k, m, len, s); break;
    case SRTP_SVC_PRIVILEGE: r = SrtpChangePrivLevelMsg(slot, m, s.selector); break;
    case SRTP_SVC_CONTROL_INFO: r = SrtpControlInfoMsg(slot, m); break;
    case SRTP_SVC_SESSION: r = SrtpSessionMsg(slot, m); break;
    case SRTP_SVC_FEATURES: r = SrtpFeaturesMsg(slot, m); break;
    default: break;
    }
    if (r != 0) SrtpError(slot, SequenceOf(m));
}

uint32_t SrtpSocketListen(SrtpServer &s) {
    for (const auto &slot : s.slots) {
        if (slot.socket.state == NX_TCP_LISTEN) {
            s.free = 0;
            return 0;
        }
    }
    bool left = false;  // a record that could not listen: tried again next pass
    for (auto &slot : s.slots) {
        NX_TCP_SOCKET &sock = slot.socket;
        if (sock.state != NX_TCP_CREATED) continue;
        const uint32_t r = s.listening ? _nx_tcp_server_socket_relisten(s.ip, SrtpPortNumber, &sock)
                                       : _nx_tcp_server_socket_listen(s.ip, SrtpPortNumber, &sock, 0, SrtpConnect);
        if (r == NX_SUCCESS) {
            s.listening = 1;
            s.free = 0;
            return 0;
        }
        if (r == NX_ALREADY_BOUND) _nx_tcp_server_socket_unaccept(&sock);
        left = true;
    }
    s.free = left ? 1 : 0;
    return 1;
}

// Takes what session k has and serves one whole message when there is one.
void StepSlot(uint32_t n, unsigned k, uint32_t now) {
    SrtpSlot &slot = ServerOf(n).slots[k];
    uint32_t len = 0;
    switch (NxServerTake(&slot.socket, kFraming, slot.rx, slot.rx_len, &len, &slot.last_activity, now)) {
    case NX_FRAME_WHOLE: break;
    case NX_FRAME_NONE:
        if (now - slot.last_activity > SRTP_IDLE_MS) SrtpDisconnect(&slot.socket);
        return;
    case NX_FRAME_BAD:  // a text no buffer can hold: not an SRTP peer
        SrtpError(slot, SequenceOf(slot.rx.data()));
        SrtpDisconnect(&slot.socket);
        return;
    default: return;
    }
    slot.last_request = now;
    slot.requested = 1;
    slot.taken = 1;
    SrtpServer &s = ServerOf(n);
    s.took = 1;
    std::memcpy(SrtpRxBuff.data(), slot.rx.data(), len);
    NxServerConsume(slot.rx, slot.rx_len, len);
    // What follows the message is served by this pass's or the next pass's step.
    if (slot.rx_len > 0 || NxRxReady(&slot.socket)) s.busy = 1;
    SrtpMessage(n, k, len);
}

// Sends the answers of the reads waiting for them, from the image as it is now.
void AnswerReads(uint32_t n, SrtpServer &s) {
    if (!s.reads) return;
    bool waiting = false;
    for (unsigned k = 0; k < SRTP_SLOTS; k++) {
        SrtpSlot &slot = s.slots[k];
        if (!slot.read_pending) continue;
        if (slot.socket.state == NX_TCP_ESTABLISHED && (Dpr_Chk_Rd_Pending() & slot.handle) == 0) SrtpReadAnswer(n, k);
        waiting |= slot.read_pending != 0;
    }
    s.reads = waiting ? 1 : 0;
    if (waiting) pass_work.reads = 1;
}

bool Serving(uint32_t n, const SrtpServer &s) {
    return s.ip != nullptr && (Dpr_Configuration[n == 1 ? 1 : 0].enables[0] & EN0_B0);
}

}  // namespace

// ---- register blocks ----------------------------------------------------------------------------

uint32_t SrtpGetToken(uint32_t selector) {
    const Selector *s = FindSelector(selector);
    if (s == nullptr) return 0;
    if (s->base != 0) return s->base;
    return (selector == SRTP_SEL_T || selector == SRTP_SEL_T_BIT) ? T_token : M_token;
}

uint32_t SrtpGetOffset(uint32_t selector, uint32_t offset) {
    const Selector *s = FindSelector(selector);
    return s ? offset * s->unit : 0;
}

uint32_t SrtpGetSize(uint32_t selector, uint32_t count) {
    const Selector *s = FindSelector(selector);
    if (s == nullptr) return 0;
    if (s->unit == 16)
        count %= 4096;
    else if (s->unit == 8)
        count %= 8192;
    return count * s->unit;
}

EtnReq SrtpMkRegBlk(uint32_t selector, uint32_t offset, uint32_t count) {
    return {SrtpGetToken(selector) + SrtpGetOffset(selector, offset), SrtpGetSize(selector, count)};
}

uint32_t SrtpCheckValid(uint32_t selector, uint32_t offset, uint32_t count) {
    const Selector *s = FindSelector(selector);
    if (s == nullptr || SrtpGetToken(selector) == 0) return 1;
    return uint64_t(SrtpGetOffset(selector, offset)) + SrtpGetSize(selector, count) > s->limit ? 1 : 0;
}

namespace {
// The table as the configuration's parse left it, read afresh on each
// request.
uint32_t IecTableWords(uint32_t n) { return Dpr_Configuration[n == 1 ? 1 : 0].values[0]; }
uint32_t IecTable(uint32_t n) { return Dpr_Configuration[n == 1 ? 1 : 0].values[1]; }
}  // namespace

EtnReq z7SrtpMkRegBlk(uint32_t selector, uint32_t offset, uint32_t count, uint32_t n) {
    return {IecTable(n) + SrtpGetOffset(selector, offset) / 16, SrtpGetSize(selector, count)};
}

uint32_t z7SrtpCheckValid(uint32_t selector, uint32_t offset, uint32_t count, uint32_t n) {
    if (SrtpGetToken(selector) == 0) return 1;
    if (!PlcReg_IsIecHandle(IecTable(n))) return 1;
    return uint64_t(SrtpGetOffset(selector, offset)) + SrtpGetSize(selector, count) > uint64_t(IecTableWords(n)) * 16
               ? 1
               : 0;
}

// ---- messages --------------------------------------------------------------------------------------

uint32_t SrtpFrameLength(const SrtpSlot &slot) { return NxFrameLength(kFraming, slot.rx.data(), slot.rx_len); }

void SrtpMessage(uint32_t n, unsigned k, uint32_t len) {
    SrtpSlot &slot = ServerOf(n).slots[k];
    const uint8_t *m = SrtpRxBuff.data();
    if (len < SRTP_HDR || len > SrtpRxBuff.size()) return;
    switch (m[SRTPH_TYPE]) {
    case SRTP_MSG_CONNECT: SrtpConnectionMsg(slot, m); break;
    case SRTP_MSG_SESSION:
        if (SrtpSessionMsg(slot, m) != 0) SrtpError(slot, SequenceOf(m));
        break;
    case SRTP_MSG_REQUEST: ServiceRequest(n, k, m, len); break;
    default: break;
    }
}

uint32_t SrtpReadAnswer(uint32_t n, unsigned k) {
    SrtpServer &s = ServerOf(n);
    SrtpSlot &slot = s.slots[k];
    if (!slot.read_pending) return 0;
    // A read of bits rounds up to the bytes that carry them.
    const uint32_t bits = slot.bits & kReadBits;
    const uint32_t bytes = CarryBytes(slot.reference, bits);
    uint32_t r = 0;
    if (bytes <= SRTPH_SHORT_DATA_BYTES) {
        uint8_t *t = SrtpInitResponse(SRTP_MSG_ANSWER, slot.sequence, 0, SRTP_ANSWER_NO_TEXT);
        Reflect(t, slot.byte30, slot.reflect, SRTP_KIND_DONE);
        Dpr_Data_Block(slot.reference, bits, t + SRTPH_SHORT_DATA, 0, 0);
        r = SrtpSendResponse(slot, SRTP_HDR);
    } else if (bytes <= SRTP_FIRST_TEXT) {
        uint8_t *t = SrtpInitResponse(SRTP_MSG_ANSWER, slot.sequence, bytes, SRTP_ANSWER_TEXT);
        Reflect(t, slot.byte30, slot.reflect, SRTP_KIND_DONE_TEXT);
        LE_Put16(t + SRTPH_ANSWER_TEXT, uint16_t(bytes));
        // Bits that do not fill their carrying bytes leave the rest of them
        // as they were: 0, not what the previous answer (perhaps another
        // session's) held there.
        std::memset(t + SRTP_HDR, 0, bytes);
        Dpr_Data_Block(slot.reference, bits, t + SRTP_HDR, 0, 0);
        r = SrtpSendResponse(slot, SRTP_HDR + bytes);
    } else {
        SrtpTextBuffer *b = nullptr;
        for (auto &tb : s.text) {
            if (!tb.in_use) {
                b = &tb;
                break;
            }
        }
        if (b == nullptr) return 1;  // tried again on a later pass
        b->in_use = 1;
        std::memset(b->data.data(), 0, bytes);
        Dpr_Data_Block(slot.reference, bits, b->data.data(), 0, 0);
        uint8_t *t = SrtpInitResponse(SRTP_MSG_ANSWER, slot.sequence, bytes, SRTP_ANSWER_TEXT);
        Reflect(t, slot.byte30, slot.reflect, SRTP_KIND_DONE_TEXT);
        LE_Put16(t + SRTPH_ANSWER_TEXT, uint16_t(bytes));
        std::memcpy(t + SRTP_HDR, b->data.data(), SRTP_FIRST_TEXT);
        r = SrtpSendResponse(slot, SRTP_PIECE);
        if (r == 0) r = SrtpSendText(slot, *b, SRTP_FIRST_TEXT, bytes - SRTP_FIRST_TEXT);
        b->in_use = 0;
    }
    if (r == 0) slot.read_pending = 0;
    return r;
}

// ---- entry points ----------------------------------------------------------------------------------

uint32_t Srtp_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    SrtpPacketPoolPtr = pool;
    SrtpServer &s = ServerOf(IfaceOf(ip));
    s.ip = ip;
    s.listening = 0;
    for (auto &slot : s.slots) {
        ClearSession(slot);
        slot.last_activity = 0;
        if (_nx_tcp_socket_create(ip, &slot.socket, "srtp client", 0, 0, 128, SRTP_PIECE, nullptr, SrtpDisconnect) !=
            NX_SUCCESS)
            return 1;
        slot.socket.tally = &s.reports;
    }
    for (auto &b : s.text) b.in_use = 0;
    s.free = 1;
    // A service turned off does not listen; its scan listens once it is on.
    if (!Serving(IfaceOf(ip), s)) {
        s.free = 0;
        return 0;
    }
    return SrtpSocketListen(s);
}

void SrtpConnect(NX_TCP_SOCKET *socket, uint32_t) {
    SrtpSlot *slot = nullptr;
    if (NxServerAccept(socket) && Find(socket, slot)) {
        ClearSession(*slot);
        slot->last_activity = slot->last_request = _tx_time_get();
        slot->requested = 0;
    }
    // Another record listens in its place.
    if (SrtpServer *s = ServerOfSocket(socket)) s->free = 1;
}

void SrtpDisconnect(NX_TCP_SOCKET *socket) {
    NxServerClose(socket);
    SrtpSlot *slot = nullptr;
    if (Find(socket, slot)) ClearSession(*slot);
    if (SrtpServer *s = ServerOfSocket(socket)) s->free = 1;
}

void Srtp_Scan(uint32_t n) {
    SrtpServer &s = ServerOf(n);
    if (s.ip == nullptr) return;
    PLAT_PollHarvest(false);  // input that came during this pass is read now
    const bool on = (Dpr_Configuration[n == 1 ? 1 : 0].enables[0] & EN0_B0) != 0;
    // Nothing to do, at the cost of a few branches: the service as it was,
    // no record free to listen with, no read waiting for its answer, nothing
    // left unread, no report on its sessions or a listener since the
    // sessions' last step, and no session's idle time-out due.
    const uint32_t filed = s.reports;
    if (on == (s.served != 0) && (on || !s.listening) && !s.free && !s.reads && !s.busy && filed == s.stepped &&
        NxListenReports == s.listens && (!s.timed || int32_t(_tx_time_get() - s.idle_due) < 0))
        return;
    s.stepped = filed;
    s.listens = NxListenReports;
    s.served = on ? 1 : 0;
    if (!on) {
        // Turned off: the sessions end and the port closes (a port that
        // takes connections nobody answers leaves a client waiting).
        for (auto &slot : s.slots) {
            if (slot.socket.state == NX_TCP_ESTABLISHED) SrtpDisconnect(&slot.socket);
            _nx_tcp_socket_delete(&slot.socket);
        }
        if (s.listening) _nx_tcp_server_socket_unlisten(s.ip, SrtpPortNumber);
        s.listening = 0;
        s.free = s.busy = s.timed = s.reads = 0;
        return;
    }
    SrtpSocketListen(s);
    // A read waiting for its answer, or a whole message waiting behind the
    // one served, is a reply the client would lose.
    // A newcomer that waits for one is looked at again on the next pass.
    const bool waits =
        NxServerDisplace(s.slots, _tx_time_get(), SrtpDisconnect, [](const SrtpSlot &slot) {
            return slot.read_pending != 0 || NxServerRequestWaiting(kFraming, slot.rx.data(), slot.rx_len);
        }) == NX_DISPLACE_WAITS;
    AnswerReads(n, s);
    const uint32_t now = _tx_time_get();
    bool busy = false, timed = false;
    uint32_t due = 0;
    for (unsigned k = 0; k < SRTP_SLOTS; k++) {
        SrtpSlot &slot = s.slots[k];
        if (slot.socket.state != NX_TCP_ESTABLISHED) continue;
        if (slot.read_pending) {
            if (now - slot.last_activity > SRTP_IDLE_MS) SrtpDisconnect(&slot.socket);
            continue;
        }
        StepSlot(n, k, now);
        // A read taken during the pass is answered on the next one, which
        // does not wait for input.
        if (slot.read_pending) PLAT_PollWake();
        if (slot.socket.state != NX_TCP_ESTABLISHED) continue;
        NxSlotSchedule(slot, SRTP_IDLE_MS, busy, timed, due);
    }
    s.busy = busy || waits ? 1 : 0;
    s.timed = timed ? 1 : 0;
    s.idle_due = due;
}

uint32_t Srtp_Due(uint32_t n, uint32_t now) {
    const SrtpServer &s = ServerOf(n);
    if (s.ip == nullptr) return now + PASS_IDLE_MS;
    if (s.free || s.reads || s.busy) return now;
    return s.timed ? s.idle_due : now + PASS_IDLE_MS;
}

void Srtp_AfterScan(uint32_t n) {
    SrtpServer &s = ServerOf(n);
    if (s.reads && Serving(n, s)) AnswerReads(n, s);
    if (s.reads) pass_work.reads = 1;  // still waiting: looked at again after the next scan
}

void Srtp_AfterWait(uint32_t n) {
    SrtpServer &s = ServerOf(n);
    if (s.ip == nullptr) return;
    NxServerAfterWait(s, Serving(n, s), [n](unsigned k, uint32_t now) { StepSlot(n, k, now); });
}

uint32_t Srtp_Conn_Cnt(uint32_t n) {
    uint32_t c = 0;
    for (const auto &slot : ServerOf(n).slots) c += slot.socket.state == NX_TCP_ESTABLISHED;
    return c;
}

void Srtp_DeInit(NX_IP *ip) {
    if (IfaceOf(ip) == 0) return;
    SrtpServer &s = ServerOf(1);
    if (s.ip == nullptr) return;
    // Every connection ends and every socket goes, the port with them.
    for (auto &slot : s.slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED) SrtpDisconnect(&slot.socket);
        _nx_tcp_socket_delete(&slot.socket);
    }
    _nx_tcp_server_socket_unlisten(s.ip, SrtpPortNumber);
    s.listening = 0;
    s.ip = nullptr;
}
