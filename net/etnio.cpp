// Ethernet remote I/O master and its BOOTP server: stations of the
// I/O configuration's remote-I/O record get their addresses by BOOTP, are
// connected on TCP port 502, get their module configuration once and then
// exchange outputs (when changed, or every 3 s) and inputs; each station's
// state goes to its status register.
#include "net/etnio.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/mbpdu.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/image/util.h"
#include "core/storage/memfile.h"
#include "net/dpr.h"
#include "net/enet_proto.h"

std::array<EtnIoConnState, ETNIO_IFACES> EtnIOConnState;
std::array<BootPTable, ETNIO_IFACES> BootPConn;

namespace {

constexpr uint32_t kConnectMs = 1000, kAnswerMs = 2000, kRefreshMs = 3000, kRecords = 38, kSlots = 3;
constexpr uint32_t kRegLow = 1024, kRegHigh = 0x10031000;

// The I/O configuration block: the slot records (an empty one is its id
// alone), then records of a kind, a data length and the data, each padded
// to 4 bytes; a length of 0xFFFF ends the list.
constexpr uint16_t kEmptySlot = 0xFFFF, kListEnd = 0xFFFF;
constexpr uint32_t kRecKind = 0, kRecLength = 2, kRecData = 4;
// The remote-I/O record: its magic, station count, and stations.
constexpr uint32_t kCfgMagic = 0, kCfgCount = 4, kCfgStations = 16;
// A station: address, status register, MAC, the first registers of its
// analog inputs and outputs and its discrete inputs and outputs, its module
// count and modules (a configuration word and a kind each).
constexpr uint32_t kStAddress = 0, kStStatus = 4, kStMac = 8, kStAi = 32, kStAq = 36, kStDi = 40, kStDq = 44,
                   kStModules = 52, kStModule = 64, kModuleBytes = 16, kModConfig = 0, kModKind = 4;
// A BOOTP message: operation, the address given, the server's address, the
// client's MAC, the server name, the options after the magic cookie (the
// subnet mask's, 4 bytes, and the end).
constexpr uint32_t kBootOp = 0, kBootYiaddr = 16, kBootSiaddr = 20, kBootChaddr = 28, kBootSname = 44,
                   kBootOptions = 240;
constexpr uint8_t kBootRequest = 1, kBootReply = 2, kOptSubnetMask = 1, kOptEnd = 255;

struct KindInfo {
    uint8_t in, out;
    uint8_t di_bits, dq_bits, ai_words, aq_words;
};
// Indexed by module kind; in = 0 and out = 0 marks a kind that ends the list.
constexpr std::array<KindInfo, 17> kKinds = {{
    {0, 0, 0, 0, 0, 0},
    {1, 0, 16, 0, 0, 0},
    {2, 0, 16, 0, 0, 0},
    {4, 0, 32, 0, 0, 0},
    {0, 4, 0, 32, 0, 0},
    {0, 1, 0, 16, 0, 0},
    {0, 2, 0, 16, 0, 0},
    {0, 4, 0, 32, 0, 0},
    {0, 1, 0, 16, 0, 0},
    {0, 2, 0, 16, 0, 0},
    {1, 1, 16, 16, 0, 0},
    {8, 0, 0, 0, 4, 0},
    {8, 0, 0, 0, 4, 0},
    {8, 0, 0, 0, 4, 0},
    {4, 4, 0, 0, 2, 2},
    {0, 8, 0, 0, 0, 4},
    {0, 8, 0, 0, 0, 4},
}};

// An IEC variable handle is used only while the IEC application's variables
// are enumerated; its register access packs and unpacks BOOL elements.
bool IecHandle(uint32_t a) { return PlcReg_IsIecHandle(a) && DrevanoRuntime && drevano_variables_enumerateded; }
bool RegOk(uint32_t a) { return (a >= kRegLow && a < kRegHigh) || IecHandle(a); }

// The address bits further on: a register's bit address moves by the bits,
// an IEC variable handle by the elements they fill (its low bits are an
// element index).
uint32_t Further(uint32_t a, uint32_t bits) {
    if (!PlcReg_IsIecHandle(a)) return a + bits;
    static constexpr std::array<uint32_t, 8> kElementBits = {8, 16, 32, 64, 8, 8, 1, 8};
    const uint32_t e = (a & (1u << 29)) ? 8 : kElementBits[(a >> 26) & 7];
    return a + bits / e;
}

void Status(const EtnIoStation &s, int16_t v) {
    if (!RegOk(s.status)) return;
    uint8_t b[2];
    LE_Put16(b, uint16_t(v));
    PlcReg_Set(s.status, b, 16);
}

uint16_t ReadWord(uint32_t a) {
    uint8_t b[2] = {0, 0};
    if (RegOk(a)) PlcReg_Get(b, a, 16);
    return LE_Get16(b);
}
void WriteBytes(uint32_t a, const uint8_t *d, uint32_t n) {
    if (RegOk(a)) PlcReg_Set(a, d, 8 * n);
}

// A variable of 32- or 64-bit elements (DINT, DWORD, LINT, ...) takes the
// modules' 16-bit steps inside its elements, where no handle can address
// them: the station's whole area of it is read and written in one access,
// each module's bytes at their byte offset from the area's start.
bool Wide(uint32_t a) {
    if (!IecHandle(a) || (a & (1u << 29))) return false;
    const uint32_t type = (a >> 26) & 7;
    return type == 2 || type == 3;
}
constexpr uint32_t kAreaMax = 8 * ETNIO_MODULES;  // bytes: at most 8 a module
enum Lane : uint8_t { L_DI, L_DQ, L_AI, L_AQ };
uint32_t LaneBits(const KindInfo &k, Lane l) {
    return l == L_DI ? k.di_bits : l == L_DQ ? k.dq_bits : l == L_AI ? 16u * k.ai_words : 16u * k.aq_words;
}
uint32_t LaneAddr(const EtnIoModule &md, Lane l) {
    return l == L_DI ? md.di : l == L_DQ ? md.dq : l == L_AI ? md.ai : md.aq;
}
// A station's area of lane l at a wide variable: its start and its bits; 0
// when the lane has no area or it is not such a variable.
uint32_t WideArea(const EtnIoStation &s, Lane l, uint32_t *bits) {
    uint32_t start = 0;
    *bits = 0;
    for (uint32_t m = 0; m < s.modules; m++) {
        const uint32_t b = LaneBits(kKinds[s.mod[m].kind], l);
        if (b == 0) continue;
        if (start == 0) start = LaneAddr(s.mod[m], l);
        *bits += b;
    }
    return Wide(start) && *bits <= 8 * kAreaMax ? start : 0;
}
// The area as it stands (zeros where the access is refused).
void ReadArea(uint32_t a, uint32_t bits, uint8_t *buf) {
    std::memset(buf, 0, kAreaMax);
    if (a != 0) PlcReg_Get(buf, a, bits);
}

// Output bytes of a station as the registers hold them now.
void CollectOutputs(const EtnIoStation &s, uint8_t *out) {
    uint32_t qbits = 0, abits = 0, qoff = 0, aoff = 0;
    const uint32_t qwide = WideArea(s, L_DQ, &qbits), awide = WideArea(s, L_AQ, &abits);
    uint8_t qarea[kAreaMax], aarea[kAreaMax];
    ReadArea(qwide, qbits, qarea);
    ReadArea(awide, abits, aarea);
    for (uint32_t m = 0; m < s.modules; m++) {
        const EtnIoModule &md = s.mod[m];
        uint8_t *o = out + md.out_off;
        const KindInfo &k = kKinds[md.kind];
        if (k.dq_bits) {
            if (qwide) {
                std::memcpy(o, qarea + qoff / 8, md.out_len);
            } else {
                for (uint32_t i = 0; i < md.out_len; i += 2) {
                    const uint16_t w = ReadWord(Further(md.dq, 8 * i));
                    o[i] = uint8_t(w);
                    if (i + 1 < md.out_len) o[i + 1] = uint8_t(w >> 8);
                }
            }
        } else if (k.aq_words) {
            if (awide)
                std::memcpy(o, aarea + aoff / 8, 2u * k.aq_words);
            else
                for (uint32_t i = 0; i < k.aq_words; i++) LE_Put16(o + 2 * i, ReadWord(Further(md.aq, 16 * i)));
        }
        qoff += k.dq_bits;
        aoff += 16u * k.aq_words;
    }
}

// Input bytes of an answer into the registers.
void StoreInputs(const EtnIoStation &s, const uint8_t *in) {
    uint32_t dbits = 0, abits = 0, doff = 0, aoff = 0;
    const uint32_t dwide = WideArea(s, L_DI, &dbits), awide = WideArea(s, L_AI, &abits);
    uint8_t darea[kAreaMax], aarea[kAreaMax];
    // A module that fills only part of its area leaves the rest as it was.
    ReadArea(dwide, dbits, darea);
    ReadArea(awide, abits, aarea);
    for (uint32_t m = 0; m < s.modules; m++) {
        const EtnIoModule &md = s.mod[m];
        const KindInfo &k = kKinds[md.kind];
        const uint8_t *p = in + md.in_off;
        if (k.di_bits) {
            if (dwide)
                std::memcpy(darea + doff / 8, p, md.in_len);
            else
                for (uint32_t i = 0; i < md.in_len; i += 2)
                    WriteBytes(Further(md.di, 8 * i), p + i, md.in_len - i >= 2 ? 2 : 1);
        } else if (k.ai_words) {
            if (awide)
                std::memcpy(aarea + aoff / 8, p, 2u * k.ai_words);
            else
                for (uint32_t i = 0; i < k.ai_words; i++) WriteBytes(Further(md.ai, 16 * i), p + 2 * i, 2);
        }
        doff += k.di_bits;
        aoff += 16u * k.ai_words;
    }
    if (dwide) PlcReg_Set(dwide, darea, dbits);
    if (awide) PlcReg_Set(awide, aarea, abits);
}

// The functions a station is sent: its inputs read, its outputs written,
// its modules' configuration written.
constexpr uint8_t kReadInputs = MB_READ_DISCRETE_INPUTS, kWriteOutputs = MB_WRITE_MULTIPLE_COILS,
                  kWriteConfig = MB_WRITE_MULTIPLE_REGISTERS;
// The unit of every request; the register the configuration is written from.
constexpr uint8_t kUnit = 0xFF;
constexpr uint16_t kConfigRegister = 256;
// Each module's configuration word: two registers.
constexpr uint32_t kConfigBytes = 4;

uint32_t FcSlot(uint8_t fc) { return fc == kReadInputs ? 0 : fc == kWriteOutputs ? 1 : 2; }

// Sends station k the request of function code fc: 1 sent, -201 for a code
// other than those three, -106 without a packet or when the send failed.
int32_t EtnIoModTcpTxPacket(EtnIoConnState &c, EtnIoStation &s, uint32_t iface, uint32_t k, uint8_t fc) {
    NX_PACKET *pk = nullptr;
    if (c.pool == nullptr || _nx_packet_allocate(c.pool, &pk, 0, 0) != NX_SUCCESS) return ETNIO_SEND_FAILED;
    const uint32_t room = uint32_t(pk->nx_packet_data_end - pk->nx_packet_prepend_ptr);
    const int32_t n = EtnIo_BuildFrame(iface, k, fc, pk->nx_packet_prepend_ptr, room);
    if (n <= 0) {
        _nx_packet_release(pk);
        return n < 0 ? n : ETNIO_SEND_FAILED;
    }
    pk->nx_packet_length = uint32_t(n);
    pk->nx_packet_append_ptr = pk->nx_packet_prepend_ptr + n;
    if (_nx_tcp_socket_send(&s.socket, pk, 0) != NX_SUCCESS) return ETNIO_SEND_FAILED;
    c.tid_fc[FcSlot(fc)] = c.tid;
    c.tid++;
    s.last_fc = fc;
    s.sent_ms = _tx_time_get();
    return 1;
}

// Answer of station k, if any: 1 taken, 0 nothing yet, else a status value.
int32_t Receive(uint32_t iface, uint32_t k) {
    EtnIoStation &s = EtnIOConnState[iface].st[k];
    if (_tx_time_get() - s.sent_ms > kAnswerMs) return ETNIO_ANSWER_TIMEOUT;
    if (s.socket.state != NX_TCP_ESTABLISHED) return ETNIO_SEND_FAILED;
    NX_PACKET *pk = nullptr;
    if (_nx_tcp_socket_receive(&s.socket, &pk, 0) != NX_SUCCESS || pk == nullptr) return 0;
    const int32_t r = EtnIoModTcpRxPacket(iface, k, pk->nx_packet_prepend_ptr, pk->nx_packet_length);
    _nx_packet_release(pk);
    return r;
}

void Disconnect(EtnIoStation &s) {
    s.t_ms = _tx_time_get();
    _nx_tcp_socket_disconnect(&s.socket, 0);
    s.flags &= uint8_t(~(EIO_CONNECTED | EIO_BOUND));
    s.state = EtnIoState::kClosing;
}

// An exchange failed: its status shown, every output sent again next time.
void Failed(EtnIoStation &s, int32_t r) {
    Status(s, int16_t(r));
    s.shadow_valid = 0;
    s.state = EtnIoState::kChoose;
}

void Step(uint32_t iface, uint32_t k, uint16_t run) {
    EtnIoConnState &c = EtnIOConnState[iface];
    EtnIoStation &s = c.st[k];
    const bool up = c.ip != nullptr && c.ip->nx_ip_link_up;
    const uint32_t now = _tx_time_get();
    switch (s.state) {
    case EtnIoState::kIdle:
        if (s.phase == EtnIoPhase::kNone) {
            Status(s, run ? ETNIO_NOT_STARTED : 0);
        } else if (up) {
            s.flags &= uint8_t(~EIO_TIMED_OUT);
            s.state = EtnIoState::kConnect;
        } else {
            Status(s, ETNIO_DOWN);
        }
        break;
    case EtnIoState::kConnect:
        if (!(s.flags & EIO_BOUND)) {
            const uint32_t st = _nx_tcp_client_socket_bind(&s.socket, 0, 0);
            if (st != NX_SUCCESS && st != NX_ALREADY_BOUND) {
                Status(s, ETNIO_DOWN);
                s.state = EtnIoState::kIdle;
                break;
            }
            s.flags |= EIO_BOUND;
            _nx_tcp_client_socket_connect(&s.socket, s.address, ETNIO_PORT, 0);
            s.t_ms = now;
        }
        if (s.socket.state == NX_TCP_ESTABLISHED) {
            s.flags |= EIO_CONNECTED;
            Status(s, 0);
            s.shadow_valid = 0;  // a new connection sends every output
            if (s.phase == EtnIoPhase::kStart || s.phase == EtnIoPhase::kRestart) {
                s.state = EtnIoState::kSendConfig;
            } else {
                s.state = EtnIoState::kChoose;
                s.phase = EtnIoPhase::kExchange;
            }
        } else if (now - s.t_ms > kConnectMs) {
            s.flags |= EIO_TIMED_OUT;
            _nx_tcp_socket_disconnect(&s.socket, 0);
            s.flags &= uint8_t(~EIO_BOUND);
            Status(s, ETNIO_CONN_TIMEOUT);
            s.state = EtnIoState::kIdle;
        }
        break;
    case EtnIoState::kSendConfig: {
        if (s.modules == 0) {
            Status(s, ETNIO_NO_MODULES);
            break;
        }
        const int32_t r = EtnIoModTcpTxPacket(c, s, iface, k, kWriteConfig);
        if (r == 1)
            s.state = EtnIoState::kConfigAnswer;
        else
            Status(s, ETNIO_CFG_REFUSED);
        break;
    }
    case EtnIoState::kConfigAnswer: {
        const int32_t r = Receive(iface, k);
        if (r == 0) break;
        if (r == 1) {
            Status(s, 0);
            s.phase = EtnIoPhase::kExchange;
            s.state = EtnIoState::kChoose;
        } else {
            Status(s, ETNIO_CFG_REFUSED);
            s.state = EtnIoState::kSendConfig;
        }
        break;
    }
    case EtnIoState::kChoose: {
        if (s.modules == 0) {
            Status(s, ETNIO_NO_MODULES);
            break;
        }
        std::array<uint8_t, ETNIO_SHADOW> now_out{};
        CollectOutputs(s, now_out.data());
        const bool changed =
            s.out_bytes > 0 && (!s.shadow_valid || std::memcmp(now_out.data(), s.shadow.data(), s.out_bytes) != 0);
        if (changed) {
            std::memcpy(s.shadow.data(), now_out.data(), s.out_bytes);
            s.shadow_valid = 1;
            s.state = EtnIoState::kSendOutputs;
        } else if (s.in_bytes > 0) {
            s.state = EtnIoState::kAskInputs;
        } else if (s.out_bytes > 0 && now - s.sent_ms >= kRefreshMs) {
            s.state = EtnIoState::kSendOutputs;
        }
        s.phase = EtnIoPhase::kNone;
        break;
    }
    case EtnIoState::kSendOutputs:
    case EtnIoState::kAskInputs: {
        const bool outputs = s.state == EtnIoState::kSendOutputs;
        const int32_t r = EtnIoModTcpTxPacket(c, s, iface, k, outputs ? kWriteOutputs : kReadInputs);
        s.phase = outputs ? EtnIoPhase::kOutputs : EtnIoPhase::kInputs;
        if (r == 1)
            s.state = EtnIoState::kAnswer;
        else
            Failed(s, r);
        break;
    }
    case EtnIoState::kAnswer: {
        const int32_t r = Receive(iface, k);
        if (r == 0) break;
        if (r == 1) {
            Status(s, 0);
            if (s.last_fc == kWriteOutputs && s.in_bytes > 0) {
                s.state = EtnIoState::kAskInputs;
                s.phase = EtnIoPhase::kInputs;
            } else {
                s.state = EtnIoState::kChoose;
                s.phase = EtnIoPhase::kExchange;
            }
        } else {
            Failed(s, r);
        }
        break;
    }
    case EtnIoState::kDisconnect: Disconnect(s); break;
    case EtnIoState::kClosing:
        if (s.socket.state == NX_TCP_ESTABLISHED) {
            if (now - s.t_ms >= kConnectMs) s.state = EtnIoState::kDisconnect;
            break;
        }
        _nx_tcp_client_socket_unbind(&s.socket);
        s.flags &= uint8_t(~(EIO_BOUND | EIO_CONNECTED));
        s.state = EtnIoState::kIdle;
        s.phase = EtnIoPhase::kNone;
        break;
    default: s.state = EtnIoState::kIdle; break;
    }
}

}  // namespace

// ---- configuration -------------------------------------------------------------------------

const uint8_t *EtnIoConfig(const uint8_t *block, uint32_t len, uint32_t n, uint32_t *data_len) {
    uint32_t pos = 0;
    // The slot records come first: an empty slot is its id 0xFFFF alone.
    for (uint32_t s = 0; s < kSlots; s++) {
        if (pos + kRecLength > len) return nullptr;
        if (LE_Get16(block + pos + kRecKind) == kEmptySlot) {
            pos += kRecLength;
            continue;
        }
        if (pos + kRecData > len) return nullptr;
        pos += kRecData + ((LE_Get16(block + pos + kRecLength) + 3u) & ~3u);
    }
    uint32_t seen = 0;
    for (uint32_t r = 0; r < kRecords; r++) {
        if (pos + kRecData > len) return nullptr;
        const uint16_t kind = LE_Get16(block + pos + kRecKind), dl = LE_Get16(block + pos + kRecLength);
        if (dl == kListEnd) return nullptr;
        if (pos + kRecData + dl > len) return nullptr;
        if (kind == ETNIO_KIND && seen++ == n) {
            *data_len = dl;
            return block + pos + kRecData;
        }
        pos += kRecData + ((dl + 3u) & ~3u);
    }
    return nullptr;
}

int32_t EtnIo_Parse(uint32_t iface, const uint8_t *d, uint32_t len) {
    if (iface >= ETNIO_IFACES || d == nullptr || len < kCfgStations) return -1;
    EtnIoConnState &c = EtnIOConnState[iface];
    const uint16_t count = LE_Get16(d + kCfgCount);
    if (LE_Get16(d + kCfgMagic) != ETNIO_MAGIC || count > ETNIO_STATIONS) return -1;
    if (kCfgStations + ETNIO_STATION_BYTES * count > len) return -1;  // stations beyond the record
    c.count = uint8_t(count);
    BootPConn[iface].count = 0;
    for (uint32_t k = 0; k < count; k++) {
        const uint8_t *r = d + kCfgStations + ETNIO_STATION_BYTES * k;
        EtnIoStation &s = c.st[k];
        s.address = LE_Get32(r + kStAddress);
        s.status = LE_Get32(r + kStStatus);
        std::memcpy(s.mac.data(), r + kStMac, s.mac.size());
        BootPConfig(s.mac.data(), s.address, k + 1, iface);
        s.state = EtnIoState::kIdle;
        s.phase = EtnIoPhase::kNone;
        s.shadow_valid = 0;
        s.sent_ms = _tx_time_get();
        uint32_t ai = LE_Get32(r + kStAi), aq = LE_Get32(r + kStAq), di = LE_Get32(r + kStDi), dq = LE_Get32(r + kStDq);
        const uint16_t mods = LE_Get16(r + kStModules);
        s.modules = 0;
        uint32_t in = 0, out = 0;
        bool ended = false;
        for (uint32_t m = 0; m < mods && m < ETNIO_MODULES; m++) {
            const uint8_t *e = r + kStModule + kModuleBytes * m;
            const uint16_t kind = LE_Get16(e + kModKind);
            // A kind outside the table ends the configuration: this station
            // keeps the modules before it, and the stations after it are
            // not configured.
            if (kind == 0 || kind >= kKinds.size()) {
                ended = true;
                break;
            }
            const KindInfo &ki = kKinds[kind];
            EtnIoModule &md = s.mod[m];
            md = EtnIoModule{LE_Get32(e + kModConfig), kind, uint8_t(in), ki.in, uint8_t(out), ki.out, 0, 0, 0, 0};
            if (ki.di_bits) md.di = di;
            if (ki.dq_bits) md.dq = dq;
            if (ki.ai_words) md.ai = ai;
            if (ki.aq_words) md.aq = aq;
            di = Further(di, ki.di_bits);
            dq = Further(dq, ki.dq_bits);
            ai = Further(ai, 16u * ki.ai_words);
            aq = Further(aq, 16u * ki.aq_words);
            in += ki.in;
            out += ki.out;
            s.modules = uint8_t(m + 1);
        }
        s.in_bytes = uint8_t(in);
        s.out_bytes = uint8_t(out);
        s.flags = uint8_t((s.flags & (EIO_BOUND | EIO_CONNECTED)) | EIO_USED);
        if (ended) {
            c.count = uint8_t(k + 1);
            return int32_t(k + 1);
        }
    }
    return count;
}

int32_t EtnIo_BuildFrame(uint32_t iface, uint32_t k, uint8_t fc, uint8_t *f, uint32_t room) {
    EtnIoConnState &c = EtnIOConnState[iface];
    const EtnIoStation &s = c.st[k];
    uint8_t *pdu = f + MB_MBAP_PDU;
    uint32_t n;
    if (fc == kWriteConfig) {
        n = MB_MBAP_PDU + MB_PDU_WRITE_HEAD + kConfigBytes * s.modules;
        if (n > room) return ETNIO_SEND_FAILED;
        MbPdu_WriteHead(pdu, fc, kConfigRegister, uint16_t(kConfigBytes / 2 * s.modules));
        for (uint32_t m = 0; m < s.modules; m++) LE_Put32(pdu + MB_PDU_DATA + kConfigBytes * m, s.mod[m].config);
    } else if (fc == kWriteOutputs) {
        n = MB_MBAP_PDU + MB_PDU_WRITE_HEAD + s.out_bytes;
        if (n > room) return ETNIO_SEND_FAILED;
        MbPdu_WriteHead(pdu, fc, 0, uint16_t(8 * s.out_bytes));
        std::memcpy(pdu + MB_PDU_DATA, s.shadow.data(), s.out_bytes);
    } else if (fc == kReadInputs) {
        n = MB_MBAP_PDU + MB_PDU_FIELDS;
        if (n > room) return ETNIO_SEND_FAILED;
        MbPdu_Request(pdu, fc, 0, uint16_t(8 * s.in_bytes));
    } else {
        return ETNIO_BAD_FC;
    }
    BE_Put16(f + MB_MBAP_TRANSACTION, c.tid);
    BE_Put16(f + MB_MBAP_PROTOCOL, 0);
    BE_Put16(f + MB_MBAP_LENGTH, uint16_t(n - MB_MBAP_UNIT));
    f[MB_MBAP_UNIT] = kUnit;
    return int32_t(n);
}

int32_t EtnIoModTcpRxPacket(uint32_t iface, uint32_t k, const uint8_t *f, uint32_t n) {
    EtnIoConnState &c = EtnIOConnState[iface];
    const EtnIoStation &s = c.st[k];
    if (n < MB_MBAP_PDU + MB_ANSWER_DATA) return 0;
    const uint16_t tid = BE_Get16(f + MB_MBAP_TRANSACTION);
    const uint8_t *pdu = f + MB_MBAP_PDU;
    const bool exception = (pdu[0] & MB_EXCEPTION_BIT) != 0;
    // An exception counts whatever transaction it carries.
    if (tid != c.tid_fc[0] && tid != c.tid_fc[1] && tid != c.tid_fc[2]) return exception ? ETNIO_EXCEPTION : 0;
    if (exception) return ETNIO_EXCEPTION;
    // An answer goes by its own function code, not the one last asked: a
    // write's needs nothing more, so a late answer of an earlier request
    // is taken as it is.
    if (pdu[0] == kWriteOutputs || pdu[0] == kWriteConfig) return 1;
    if (pdu[0] != kReadInputs) return ETNIO_OTHER_FC;
    // Inputs: the byte count must cover the station's input bytes, within the frame.
    if (!MbPdu_AnswerData(pdu, n - MB_MBAP_PDU, s.in_bytes, MB_COUNT_AT_LEAST)) return ETNIO_OTHER_FC;
    StoreInputs(s, pdu + MB_ANSWER_DATA);
    return 1;
}

// ---- interface entry points -----------------------------------------------------------------

uint32_t EtnIo_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    const uint32_t i = ip ? ip->nx_ip_interface : 0;
    if (i >= ETNIO_IFACES) return 1;
    EtnIoConnState &c = EtnIOConnState[i];
    c.ip = ip;
    c.pool = pool;
    c.config = nullptr;
    c.count = 0;
    for (EtnIoStation &s : c.st) {
        s.flags = 0;
        s.state = EtnIoState::kIdle;
        if (_nx_tcp_socket_create(ip, &s.socket, "EtnIO Socket", 0, 0x4000, 128, 512, nullptr, EtnIoDisconnect) !=
            NX_SUCCESS)
            return 1;
        _nx_tcp_socket_delete(&s.socket);  // its descriptor comes with the first bind
    }
    const uint32_t st = BootPInit(ip, pool);
    if (st == 0) _nx_ip_client_port_sync(ip);
    return st;
}

void EtnIo_DeInit(NX_IP *ip) {
    for (EtnIoConnState &c : EtnIOConnState) {
        if (c.ip != ip) continue;
        for (EtnIoStation &s : c.st) {
            _nx_tcp_socket_disconnect(&s.socket, 0);
            s.flags &= uint8_t(~(EIO_CONNECTED | EIO_BOUND));
            s.state = EtnIoState::kIdle;
        }
        c.ip = nullptr;
    }
    // The BOOTP server goes with the master.
    for (BootPTable &b : BootPConn) {
        if (b.ip != ip) continue;
        _nx_udp_socket_delete(&b.socket);
        b.count = 0;
        b.ip = nullptr;
    }
}

void EtnIoDisconnect(NX_TCP_SOCKET *sock) {
    for (EtnIoConnState &c : EtnIOConnState) {
        for (EtnIoStation &s : c.st) {
            if (&s.socket != sock) continue;
            _nx_tcp_socket_disconnect(sock, 0);
            s.flags &= uint8_t(~(EIO_CONNECTED | EIO_BOUND));
        }
    }
}

uint32_t EtnIo_Conn_Cnt(uint32_t iface) {
    if (iface >= ETNIO_IFACES) return 0;
    uint32_t n = 0;
    for (const EtnIoStation &s : EtnIOConnState[iface].st) n += (s.flags & EIO_CONNECTED) ? 1 : 0;
    return n;
}

void EtnIo_Scan(uint32_t iface) {
    if (iface >= ETNIO_IFACES) return;
    EtnIoConnState &c = EtnIOConnState[iface];
    if (c.ip == nullptr) return;
    BootPScan(iface);
    const uint16_t run = Dpr_Map_Ptr ? LE_Get16(Dpr_Map_Ptr + DPR_RUN) : 0;
    bool fresh = false;
    if (run) {
        uint32_t dl = 0;
        const uint32_t len = uint32_t(std::min<std::size_t>(MF_Len(io_config_bl.data()), IO_CONFIG_BL_SIZE - MF_HDR));
        const uint8_t *d = EtnIoConfig(io_config_bl.data() + MF_HDR, len, iface, &dl);
        const uint16_t crc = d ? crc16(d, dl) : 0;
        if (d != nullptr && (c.config != d || crc != c.crc)) {
            c.config = d;
            c.crc = crc;
            if (EtnIo_Parse(iface, d, dl) < 0) c.count = 0;
            c.tid_fc = {0xFFFF, 0xFFFF, 0xFFFF};
            fresh = true;
        }
    }
    for (uint32_t k = 0; k < c.count; k++) {
        EtnIoStation &s = c.st[k];
        // A station still connecting or closing is left to finish: restarted
        // on every pass it would never get past its connect.
        const bool busy =
            s.state == EtnIoState::kConnect || s.state == EtnIoState::kDisconnect || s.state == EtnIoState::kClosing;
        if (!run) {
            // A stop disconnects every station; a station still connected
            // while stopped is disconnected too.
            if ((c.last_run || (s.flags & EIO_CONNECTED)) && s.state != EtnIoState::kDisconnect &&
                s.state != EtnIoState::kClosing)
                s.state = EtnIoState::kDisconnect;
        } else if (fresh || (!(s.flags & EIO_CONNECTED) && !busy)) {
            s.state = EtnIoState::kIdle;
            s.phase = EtnIoPhase::kStart;
            s.shadow_valid = 0;
        }
        Step(iface, k, run);
    }
    // Stations an earlier record had beyond the present one's (fewer
    // stations, or none applied) are taken down: their connections would
    // otherwise stay open and counted.
    for (uint32_t k = c.count; k < ETNIO_STATIONS; k++) {
        EtnIoStation &s = c.st[k];
        const bool closing = s.state == EtnIoState::kDisconnect || s.state == EtnIoState::kClosing;
        if (!closing && !(s.flags & (EIO_CONNECTED | EIO_BOUND))) continue;
        if (!closing) s.state = EtnIoState::kDisconnect;
        Step(iface, k, run);
    }
    c.last_run = run;
}

// ---- BOOTP -----------------------------------------------------------------------------------

uint32_t BootPInit(NX_IP *ip, NX_PACKET_POOL *pool) {
    const uint32_t i = ip ? ip->nx_ip_interface : 0;
    if (i >= ETNIO_IFACES) return 1;
    BootPTable &b = BootPConn[i];
    b.ip = ip;
    b.pool = pool;
    b.count = 0;
    if (_nx_udp_socket_create(ip, &b.socket, "BOOTP Socket", 0, 16384, 128, 5) != NX_SUCCESS) return 1;
    const uint32_t st = _nx_udp_socket_bind(&b.socket, BOOTP_SERVER_PORT, 0);
    return st == NX_SUCCESS || st == NX_ALREADY_BOUND ? 0 : 1;
}

uint32_t BootPConfig(const uint8_t *mac, uint32_t address, uint32_t number, uint32_t iface) {
    if (iface >= ETNIO_IFACES || number < 1 || number > ETNIO_STATIONS) return 0;
    BootPTable &b = BootPConn[iface];
    if (number > uint32_t(b.count) + 1) return 0;
    std::memcpy(b.entry[number - 1].mac.data(), mac, 6);
    b.entry[number - 1].address = address;
    if (number > b.count) b.count = uint8_t(number);
    return 1;
}

int32_t BootPAnswer(uint32_t iface, const uint8_t *req, uint32_t n, uint8_t *out) {
    if (iface >= ETNIO_IFACES || n < BOOTP_BYTES || req[kBootOp] != kBootRequest) return -1;
    const BootPTable &b = BootPConn[iface];
    for (uint32_t k = 0; k < b.count; k++) {
        if (std::memcmp(req + kBootChaddr, b.entry[k].mac.data(), b.entry[k].mac.size()) != 0) continue;
        std::memcpy(out, req, BOOTP_BYTES);
        out[kBootOp] = kBootReply;
        BE_Put32(out + kBootYiaddr, b.entry[k].address);
        BE_Put32(out + kBootSiaddr, b.ip ? b.ip->nx_ip_address : 0);
        std::memcpy(out + kBootSname, "QDR", 3);
        uint8_t *o = out + kBootOptions;
        o[0] = kOptSubnetMask;
        o[1] = 4;
        BE_Put32(o + 2, b.ip ? b.ip->nx_ip_network_mask : 0);
        o[6] = kOptEnd;
        return int32_t(k);
    }
    return -1;
}

void BootPScan(uint32_t iface) {
    if (iface >= ETNIO_IFACES) return;
    BootPTable &b = BootPConn[iface];
    if (b.count == 0 || b.ip == nullptr || !b.socket.bound) return;
    NX_PACKET *pk = nullptr;
    if (_nx_udp_socket_receive(&b.socket, &pk, 0) != NX_SUCCESS || pk == nullptr) return;
    NX_PACKET *ans = nullptr;
    if (_nx_packet_allocate(b.pool, &ans, 0, 0) != NX_SUCCESS ||
        uint32_t(ans->nx_packet_data_end - ans->nx_packet_prepend_ptr) < BOOTP_BYTES) {
        if (ans) _nx_packet_release(ans);
        _nx_packet_release(pk);
        return;
    }
    const int32_t k = BootPAnswer(iface, pk->nx_packet_prepend_ptr, pk->nx_packet_length, ans->nx_packet_prepend_ptr);
    _nx_packet_release(pk);
    if (k < 0) {
        _nx_packet_release(ans);
        return;
    }
    const BootPEntry &e = b.entry[uint32_t(k)];
    _nx_arp_dynamic_entry_set(b.ip, e.address, uint32_t(e.mac[0]) << 8 | e.mac[1],
                              uint32_t(e.mac[2]) << 24 | uint32_t(e.mac[3]) << 16 | uint32_t(e.mac[4]) << 8 | e.mac[5]);
    ans->nx_packet_length = BOOTP_BYTES;
    ans->nx_packet_append_ptr = ans->nx_packet_prepend_ptr + BOOTP_BYTES;
    _nx_udp_socket_send(&b.socket, ans, e.address, BOOTP_CLIENT_PORT);
}
