// SMTP e-mail client. The scan and the Ethernet manager call EtnEmailScan;
// each call does one step: configuration from the messaging block, looking
// for a triggered message, or one step of the SMTP machine (DNS, connect,
// optional STARTTLS and login, envelope, data, quit, close). Replies are
// acted on only when whole; progress and errors go to a 32-bit status word.
#include "messaging/email.h"

#include <poll.h>

#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/dpram.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "media/cfm.h"
#include "messaging/atcmd.h"
#include "messaging/messaging.h"
#include "net/dhcp.h"
#include "platform/plat_tls.h"

EmailRec EtnEmailConn;

namespace {

constexpr uint32_t kBlockData = 8;
constexpr uint16_t kTlsPort = 587;

// ---- TLS through the loaded libssl (platform/plat_tls.h) --------------------------------
struct EmailSsl {
    void *ctx, *ssl;  // EtnSSLConn
};
EmailSsl email_ssl;
constexpr int kSslWantRead = 2, kSslWantWrite = 3;

void SslFree() {
    if (email_ssl.ssl) PLAT_SslFree(email_ssl.ssl);
    if (email_ssl.ctx) PLAT_SslCtxFree(email_ssl.ctx);
    email_ssl.ssl = email_ssl.ctx = nullptr;
    EtnEmailConn.tls_up = 0;
}

// ---- block access -----------------------------------------------------------------------------
uint32_t U32(uint32_t off) { return uint64_t(off) + 4 <= SMS_TABLE_BL_SIZE ? LE_Get32(&sms_table_bl[off]) : 0; }
uint16_t U16(uint32_t off) { return uint64_t(off) + 2 <= SMS_TABLE_BL_SIZE ? LE_Get16(&sms_table_bl[off]) : 0; }
uint8_t U8(uint32_t off) { return off < SMS_TABLE_BL_SIZE ? sms_table_bl[off] : 0; }

uint32_t BlockEnd() {
    const uint64_t n = uint64_t(kBlockData) + LE_Get32(&sms_table_bl[4]);
    return n > SMS_TABLE_BL_SIZE ? uint32_t(SMS_TABLE_BL_SIZE) : uint32_t(n);
}

// The e-mail section of the messaging block (offsets from its start, u32
// little-endian unless noted): 0 size; 4 "LAME"; 48 status register;
// string settings as {u32 offset into the string area, or with flag 0x04 a
// register string's bit address} with their u8 lengths at 88..93: 52 domain
// (88), 56 sender (89), 60 user (90), 64 password (91), 72 server address,
// or its name (93) with flag 0x02; 76 DNS server; 84 u16 port; 94 u8 flags
// (kEmFlag*); 96 u8 authentication.
constexpr uint32_t kEmDomain = 52, kEmSender = 56, kEmUser = 60, kEmPassword = 64, kEmServer = 72, kEmDnsServer = 76,
                   kEmPort = 84, kEmDomainLen = 88, kEmSenderLen = 89, kEmUserLen = 90, kEmPasswordLen = 91,
                   kEmServerLen = 93, kEmFlags = 94, kEmAuth = 96;
constexpr uint8_t kEmFlagModem = 0x01, kEmFlagByName = 0x02, kEmFlagRegisters = 0x04, kEmFlagAlt = 0x10;
// A message record of the tables (16 bytes): 0 u32 text offset (body,
// subject and attachment path follow each other); 4 u32 body length; 9 u8
// subject length; 10 u8 path length; 11 u8 attachment kind (1 file, 2
// folder, every file with 2; see EtnEmailAttachStep); 12 u32 trigger bit
// address.
constexpr uint32_t kMsgText = 0, kMsgBodyLen = 4, kMsgSubjectLen = 9, kMsgPathLen = 10, kMsgAttachKind = 11,
                   kMsgTrigger = 12;

void SetStep(uint32_t step) {
    EmailRec &e = EtnEmailConn;
    e.status = (e.status & ~0x000FF000u) | ((step & 0xFF) << 12);
}

void Timer(uint32_t ticks) {
    EtnEmailConn.timer_start = FPGA_GetFrt();
    EtnEmailConn.timer_len = ticks;
}
bool Expired() {
    const EmailRec &e = EtnEmailConn;
    return e.timer_len != 0 && FPGA_GetFrt() - e.timer_start >= e.timer_len;
}

// A string setting of the section (offset field, length byte): from the
// string area, or with flag bit 2 (except the domain) from a register.
uint32_t Setting(uint32_t field, uint32_t len_byte, bool reg_ok, char *out, uint32_t cap) {
    const EmailRec &e = EtnEmailConn;
    out[0] = 0;
    if (reg_ok && (e.cfg_flags & kEmFlagRegisters)) return EtnEmailGetRegStr(U32(e.sec + field), out, cap);
    const uint32_t len = U8(e.sec + len_byte);
    const char *s = Sms_String(e.t, U32(e.sec + field), len);
    if (s == nullptr || len + 1 > cap) return 0;
    std::memcpy(out, s, len);
    out[len] = 0;
    return len;
}

uint32_t SettingWord(uint32_t field, uint32_t width) {
    const EmailRec &e = EtnEmailConn;
    if (!(e.cfg_flags & kEmFlagRegisters)) return width == 16 ? U16(e.sec + field) : U32(e.sec + field);
    uint8_t b[4] = {};
    if (!SMSPlcReg_Get(b, U32(e.sec + field), width)) return 0;
    return width == 16 ? LE_Get16(b) : LE_Get32(b);
}

uint32_t MsgRec(uint32_t i) { return EtnEmailConn.t.tx + 16 * i; }

// ---- configuration -----------------------------------------------------------------------------
bool Configure() {
    EmailRec &e = EtnEmailConn;
    e.configured = 0;
    e.status_reg = 0;
    const uint32_t end = BlockEnd();
    const uint64_t sec = uint64_t(kBlockData) + LE_Get32(&sms_table_bl[kBlockData]);
    if (sec + EM_STATUS_REG + 4 > end || std::memcmp(&sms_table_bl[sec + 4], "LAME", 4) != 0) return false;
    e.sec = uint32_t(sec);
    // An e-mail section names its status register before anything else is
    // checked, so that a refusal below reaches the user there.
    e.status_reg = U32(e.sec + EM_STATUS_REG);
    const uint32_t size = U32(e.sec);
    if (size < EM_SECTION_MIN || sec + size > end) return false;
    if (!Sms_Tables(e.sec, e.t) || !SMSTableCheck(e.t)) return false;
    // Every message's body, subject and attachment path lie inside the limit.
    for (uint32_t i = 0; i < e.t.ntx; i++) {
        const uint32_t rec = MsgRec(i);
        const uint64_t n =
            uint64_t(U32(rec + kMsgText)) + U32(rec + kMsgBodyLen) + U8(rec + kMsgSubjectLen) + U8(rec + kMsgPathLen);
        if (n > e.t.limit) return false;
    }
    e.nmsgs = e.t.ntx;
    e.cfg_flags = U8(e.sec + kEmFlags);
    e.auth = U8(e.sec + kEmAuth);
    e.configured = 1;
    return true;
}

// ---- the cellular modem's data socket 2 ----------------------------------------------------------
constexpr uint32_t kModemSocket = 2;
constexpr uint32_t kModemUser = 4;  // the e-mail client among the modem manager's users
constexpr uint32_t kModemQueue = EM_DATA_CAP + 4096;
std::array<uint8_t, kModemQueue> modem_tx;  // bytes not yet taken by the socket
uint32_t modem_head, modem_len;

bool Modem() { return (EtnEmailConn.flags & EMF_MODEM) != 0; }
bool ModemUp() { return IsModemSocketActive(at_status.port, kModemSocket); }

// Hands queued bytes to the socket as far as its transmit buffer takes them.
void ModemDrain() {
    const SocketInfo &s = socket_info_st[kModemSocket];
    while (modem_len > 0 && ModemUp()) {
        const uint32_t room = s.tx_len + 1u < SOCK_TXMAX ? SOCK_TXMAX - 1u - s.tx_len : 0u;
        uint32_t k = modem_len < room ? modem_len : room;
        if (k > EM_BUF_LIMIT) k = EM_BUF_LIMIT;
        if (k == 0 || ModemDataSend(kModemSocket, &modem_tx[modem_head], k, 1) != 0) return;
        modem_head += k;
        modem_len -= k;
        if (modem_len == 0) modem_head = 0;
    }
}

bool ModemQueue(const char *p, uint32_t n) {
    if (modem_head + modem_len + n > kModemQueue) {
        std::memmove(modem_tx.data(), &modem_tx[modem_head], modem_len);
        modem_head = 0;
    }
    if (modem_len + n > kModemQueue) return false;
    std::memcpy(&modem_tx[modem_head + modem_len], p, n);
    modem_len += n;
    ModemDrain();
    return true;
}

// ---- sending -----------------------------------------------------------------------------------
bool SendBytes(const char *p, uint32_t n) {
    EmailRec &e = EtnEmailConn;
    if (Modem()) {
        if (!ModemQueue(p, n)) {
            e.status |= EM_ST_SEND;
            return false;
        }
        return true;
    }
    if (e.tls_up) {
        while (n > 0) {
            const int w = PLAT_SslWrite(email_ssl.ssl, p, int(n));
            if (w <= 0) {
                e.status |= EM_ST_SEND;
                return false;
            }
            p += w;
            n -= uint32_t(w);
        }
        return true;
    }
    while (n > 0) {
        const uint32_t k = n < EM_BUF_LIMIT ? n : EM_BUF_LIMIT;
        NX_PACKET *pk = nullptr;
        if (e.pool == nullptr || _nx_packet_allocate(e.pool, &pk, 0, 0) != NX_SUCCESS) {
            e.status |= EM_ST_PACKET;
            return false;
        }
        _nx_packet_data_append(pk, p, k, e.pool, 0);
        if (_nx_tcp_socket_send(&e.sock, pk, 0) != NX_SUCCESS) {
            e.status |= EM_ST_SEND;
            return false;
        }
        p += k;
        n -= k;
    }
    return true;
}

// Sends a command and waits for its reply: `next` follows an accepted one.
void Command(const char *text, uint32_t n, uint8_t next) {
    EmailRec &e = EtnEmailConn;
    e.cmd = e.smtp;
    if (!SendBytes(text, n)) {
        SetStep(e.cmd - 7u);
        e.smtp = kSmtpClose;
        return;
    }
    e.next = next;
    e.smtp = kSmtpAwaitReply;
    Timer(EM_TICKS_60S);
}

void CommandStr(const char *a, const char *b, const char *c, uint8_t next) {
    static char line[600];
    const int n = std::snprintf(line, sizeof line, "%s%s%s", a, b, c);
    Command(line, n > 0 ? uint32_t(n) : 0, next);
}

// ---- receiving -----------------------------------------------------------------------------------
void ReadInput() {
    EmailRec &e = EtnEmailConn;
    // A line longer than the buffer (on the modem: its buffer limit) is dropped.
    if (e.rx_len >= (Modem() ? EM_BUF_LIMIT : EM_RX_CAP)) e.rx_len = 0;
    if (Modem()) {
        if (!ModemUp()) {
            e.status |= EM_ST_CONNECT;
            return;
        }
        while (e.rx_len < EM_BUF_LIMIT && ModemCheckRecv(kModemSocket) == 1)
            e.rx[e.rx_len++] = char(ModemDataRecv(kModemSocket));
        return;
    }
    if (e.tls_up) {
        while (e.rx_len < EM_RX_CAP) {
            const int r = PLAT_SslRead(email_ssl.ssl, &e.rx[e.rx_len], int(EM_RX_CAP - e.rx_len));
            if (r <= 0) {
                e.sock.poll.events &= ~PLAT_POLL_IN;
                break;
            }
            e.rx_len += uint32_t(r);
        }
        return;
    }
    NX_PACKET *pk = nullptr;
    if (_nx_tcp_socket_receive(&e.sock, &pk, 0) != NX_SUCCESS || pk == nullptr) return;
    uint32_t n = pk->nx_packet_length;
    if (n > EM_RX_CAP - e.rx_len) {
        // Keep the newest bytes: the reply being awaited ends the input.
        const uint32_t drop = n - (EM_RX_CAP - e.rx_len);
        if (drop >= e.rx_len) {
            e.rx_len = 0;
        } else {
            std::memmove(e.rx.data(), e.rx.data() + drop, e.rx_len - drop);
            e.rx_len -= drop;
        }
        if (n > EM_RX_CAP) {
            std::memcpy(e.rx.data(), pk->nx_packet_prepend_ptr + (n - EM_RX_CAP), EM_RX_CAP);
            e.rx_len = EM_RX_CAP;
            _nx_packet_release(pk);
            return;
        }
    }
    std::memcpy(&e.rx[e.rx_len], pk->nx_packet_prepend_ptr, n);
    e.rx_len += n;
    _nx_packet_release(pk);
}

bool Accepted(uint32_t kind, uint8_t cmd) {
    switch (kind) {
    case 220: return cmd == kSmtpConnect || cmd == kSmtpTlsHandshake || cmd == kSmtpStartTls || cmd == kSmtpQuit;
    case 235: return cmd == kSmtpPassword;
    case 334: return cmd == kSmtpAuth || cmd == kSmtpUser;
    case 354: return cmd == kSmtpData;
    case 250:
        return cmd != kSmtpConnect && cmd != kSmtpAuth && cmd != kSmtpUser && cmd != kSmtpPassword &&
               cmd != kSmtpData && cmd != kSmtpQuit;
    default: return false;
    }
}

void WaitReply() {
    EmailRec &e = EtnEmailConn;
    ReadInput();
    uint32_t used = 0;
    while (const uint32_t code = EtnEmailReply(e.rx.data(), e.rx_len, &used)) {
        std::memmove(e.rx.data(), e.rx.data() + used, e.rx_len - used);
        e.rx_len -= used;
        if (code / 100 == 4 || code / 100 == 5) {
            e.status = (e.status & 0x000007FFu) | EM_ST_REPLY_ERR | (code << 20);
            SetStep(e.cmd - 7u);
            e.smtp = kSmtpClose;
            return;
        }
        static constexpr uint16_t kKinds[][2] = {{22, 220}, {25, 250}, {23, 235}, {35, 354}, {33, 334}};
        for (const auto &k : kKinds) {
            if (code / 10 == k[0] && Accepted(k[1], e.cmd) && e.next != 0) {
                e.smtp = e.next;
                e.timer_len = 0;
                return;
            }
        }
    }
    // Whole lines left over are the continuation lines of a reply not yet
    // ended: they make room for its last line (the modem reads no more than
    // the buffer limit, and a long "250-" list would fill it for good).
    for (uint32_t i = e.rx_len; i > 0; i--) {
        if (e.rx[i - 1] != '\n') continue;
        std::memmove(e.rx.data(), e.rx.data() + i, e.rx_len - i);
        e.rx_len -= i;
        break;
    }
    if (Expired()) {
        e.status |= EM_ST_REPLY_TO;
        SetStep(e.cmd - 7u);
        e.smtp = kSmtpClose;
    }
}

// ---- sockets ------------------------------------------------------------------------------------
void DisconnectCallback(NX_TCP_SOCKET *) { EtnEmailConn.flags &= uint8_t(~EMF_STARTED); }

uint32_t Connect() {
    EmailRec &e = EtnEmailConn;
    if (e.flags & EMF_ALT) {
        // No alternative transport in this client: the data connection
        // counts as refused.
        e.status |= EM_ST_CONNECT | (2u << 20);
        return 0;
    }
    if (Modem()) {
        if (!(e.flags & EMF_STARTED)) {
            e.flags |= EMF_STARTED;
            e.modem_req = 0;
            modem_head = modem_len = 0;
            Timer(EM_TICKS_60S);
        }
        // The modem serves one user at a time: the e-mail client takes it as
        // user 4, or leaves its request pending while another user holds it.
        if (GSMGPRSInfo_St.owner != kModemUser &&
            (GSMGPRSRsrcMngr(kModemUser, 0) == 0 || GSMGPRSRsrcMngr(kModemUser, 3) == 0)) {
            GSMGPRSRsrcMngr(kModemUser, 2);
            if (Expired()) e.status |= EM_ST_CONNECT | (2u << 20);
            return 0;
        }
        // The dial is placed once the module is ready and socket 2 is free.
        if (!e.modem_req && CheckInit() && socket_info_st[kModemSocket].state == 0) {
            SockConnInfo req{};
            req.ip = e.server;
            req.port = e.port;
            req.socket = kModemSocket;
            req.flags = 2;
            EtnEmailServerText(req.host.data(), uint32_t(req.host.size()));
            ModemDataConnRequest(req);
            e.modem_req = 1;
            // A request the modem did not take (its socket left free, e.g. a
            // server name longer than the socket's record) is a refused data
            // connection now, not a time-out 60 s later.
            if (socket_info_st[kModemSocket].state == 0) {
                e.status |= EM_ST_CONNECT | (2u << 20);
                return 0;
            }
        }
        if (ModemUp()) return 1;
        // Not dialled within the time: the modem refused the data connection.
        if (Expired()) e.status |= e.modem_req ? EM_ST_CONN_TO : (EM_ST_CONNECT | (2u << 20));
        return 0;
    }
    if (!(e.flags & EMF_STARTED)) {
        if (e.ip == nullptr || !e.ip->nx_ip_link_up) return 0;
        const uint32_t b = _nx_tcp_client_socket_bind(&e.sock, 0, 0);
        if (b != NX_SUCCESS && b != NX_ALREADY_BOUND) {
            e.status |= EM_ST_CONNECT;
            return 0;
        }
        PlcWordSet(W_CLIENT_PORT, uint16_t(e.ip->nx_ip_next_port));
        const uint32_t c = _nx_tcp_client_socket_connect(&e.sock, e.server, e.port, 0);
        if (c != NX_SUCCESS && c != NX_IN_PROGRESS) {
            e.status |= EM_ST_CONNECT;
            return 0;
        }
        e.flags |= EMF_STARTED;
        Timer(EM_TICKS_60S);
    }
    if (e.sock.state == NX_TCP_ESTABLISHED) return 1;
    if (Expired()) e.status |= EM_ST_CONN_TO;
    return 0;
}

void DnsClose() {
    EmailRec &e = EtnEmailConn;
    if (e.dns_open) _nx_udp_socket_delete(&e.dns);
    e.dns_open = 0;
}

uint32_t Close() {
    EmailRec &e = EtnEmailConn;
    if (Modem()) {
        e.flags &= uint8_t(~EMF_STARTED);
        e.rx_len = 0;
        modem_head = modem_len = 0;
        if (ModemUp() && ModemDataDisConnRequest(kModemSocket) == 0) return 0;
        // Closed: the modem goes back to the manager, and a request still
        // pending is withdrawn (it would keep every other user waiting).
        GSMGPRSRsrcMngr(kModemUser, 4);
        if (GSMGPRSInfo_St.pending == kModemUser) GSMGPRSInfo_St.pending = 0;
        return 1;
    }
    // Without a socket (the Ethernet side never started) there is nothing to close.
    if ((e.flags & EMF_ALT) || e.ip == nullptr) return 1;
    if (e.close_step == 0) {
        _nx_tcp_socket_disconnect(&e.sock, 200);
        Timer(EM_TICKS_60S);
        e.close_step = 1;
    }
    if (e.sock.state == NX_TCP_ESTABLISHED) {
        if (Expired()) e.close_step = 0;
        return 0;
    }
    _nx_tcp_client_socket_unbind(&e.sock);
    e.flags &= uint8_t(~EMF_STARTED);
    DnsClose();
    e.close_step = 0;
    e.rx_len = 0;
    return 1;
}

void DnsSend() {
    EmailRec &e = EtnEmailConn;
    if (e.flags & (EMF_MODEM | EMF_ALT)) {
        e.status |= EM_ST_DNS_SOCK;
        return;
    }
    DnsClose();
    if (_nx_udp_socket_create(e.ip, &e.dns, "DNS Protocol", 0, 0x4000, 128, 5) != NX_SUCCESS ||
        _nx_udp_socket_bind(&e.dns, 0, 0) != NX_SUCCESS) {
        e.status |= EM_ST_DNS_SOCK;
        return;
    }
    e.dns_open = 1;
    char name[260];
    const uint32_t nl = Setting(kEmServer, kEmServerLen, true, name, sizeof name);
    static std::array<uint8_t, 1024> q;
    const uint32_t len = nl ? EtnEmailDnsBuild(name, e.dns_id, q.data()) : 0;
    e.dns_id++;
    NX_PACKET *pk = nullptr;
    if (len == 0 || _nx_packet_allocate(e.pool, &pk, 0, 0) != NX_SUCCESS) {
        e.status |= len == 0 ? EM_ST_DNS_NONE : EM_ST_PACKET;
        return;
    }
    _nx_packet_data_append(pk, q.data(), len, e.pool, 0);
    if (_nx_udp_socket_send(&e.dns, pk, e.dns_server, 53) != NX_SUCCESS) e.status |= EM_ST_SEND;
    Timer(EM_TICKS_60S);
}

// 1 with the server's address known.
uint32_t DnsReceive() {
    EmailRec &e = EtnEmailConn;
    NX_PACKET *pk = nullptr;
    uint32_t from = 0, port = 0;
    if (e.dns_open && _nx_udp_socket_receive_port_detail(&e.dns, &pk, &from, &port) == NX_SUCCESS && pk) {
        uint32_t addr = 0;
        uint32_t got = 0;
        if (from == e.dns_server && port == 53) {
            const uint32_t r =
                EtnEmailDnsAnswer(pk->nx_packet_prepend_ptr, pk->nx_packet_length, uint16_t(e.dns_id - 1), &addr);
            if (r == 2) e.status |= EM_ST_DNS_NONE;
            got = r == 1;
        }
        _nx_packet_release(pk);
        if (got) {
            e.server = addr;
            return 1;
        }
        return 0;
    }
    if (Expired()) e.status |= EM_ST_DNS_TO;
    return 0;
}

// ---- recipients and the message ----------------------------------------------------------------
uint32_t ContactAddress(uint32_t c, char *out, uint32_t cap) {
    const EmailRec &e = EtnEmailConn;
    const uint32_t rec = e.t.contacts + 20 * c;
    const uint32_t off = U32(rec + kMsgText), len = U32(rec + kMsgBodyLen);
    char raw[260];
    uint32_t n = 0;
    if (len == 0) {
        n = EtnEmailGetRegStr(off, raw, sizeof raw);
    } else if (const char *s = Sms_String(e.t, off, len)) {
        n = len < sizeof raw - 1 ? len : uint32_t(sizeof raw - 1);
        std::memcpy(raw, s, n);
    }
    uint32_t k = 0;
    for (uint32_t i = 0; i < n && k + 1 < cap; i++) {
        const char ch = raw[i];
        const bool ok = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '+' ||
                        ch == ',' || ch == '-' || ch == '.' || ch == '@' || ch == '_';
        if (!ok) break;
        out[k++] = ch;
    }
    out[k] = 0;
    return k;
}

uint32_t ContactCount() { return EtnEmailConn.t.ncontacts < 256 ? EtnEmailConn.t.ncontacts : 256; }

// The next address of the message's group from *idx on; 0 when none is left.
uint32_t NextRecipient(uint32_t *idx, char *out, uint32_t cap) {
    const EmailRec &e = EtnEmailConn;
    const uint8_t group = U8(MsgRec(e.msg) + 8);
    for (; *idx < ContactCount(); ++*idx) {
        if (U8(e.t.contacts + 20 * *idx + 16) != group) continue;
        const uint32_t n = ContactAddress(*idx, out, cap);
        if (n) {
            ++*idx;
            return n;
        }
    }
    return 0;
}

const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Text {
    char *p;
    uint32_t cap, n;
    void Add(const char *s, uint32_t k) {
        if (n + k > cap) k = cap - n;
        std::memcpy(p + n, s, k);
        n += k;
    }
    void Add(const char *s) { Add(s, uint32_t(std::strlen(s))); }
};

std::array<char, EM_DATA_CAP> compose_raw;
constexpr uint32_t kBodyMax = 10 * (EM_BUF_LIMIT - 2);

}  // namespace

uint32_t EtnEmailComposeMessage() {
    EmailRec &e = EtnEmailConn;
    Text t{compose_raw.data(), uint32_t(compose_raw.size()), 0};
    uint16_t utc[6] = {};
    Utc_ImageGet(utc);
    char line[300];
    const unsigned mon = utc[4] >= 1 && utc[4] <= 12 ? utc[4] - 1u : 0u;
    std::snprintf(line, sizeof line, "Date: %02u %s %04u %02u:%02u:%02u\r\n", unsigned(utc[3] % 100), kMonths[mon],
                  unsigned(utc[5] % 10000), unsigned(utc[2] % 100), unsigned(utc[1] % 100), unsigned(utc[0] % 100));
    t.Add(line);
    Setting(kEmSender, kEmSenderLen, true, line, sizeof line);
    t.Add("From: ");
    t.Add(line);
    t.Add("\r\nTo: ");
    uint32_t idx = 0;
    bool first = true;
    while (NextRecipient(&idx, line, sizeof line)) {
        if (!first) t.Add(";");
        t.Add(line);
        first = false;
    }
    t.Add("\r\n");
    const uint32_t rec = MsgRec(e.msg);
    const uint32_t boff = U32(rec + kMsgText), blen = U32(rec + kMsgBodyLen), slen = U8(rec + kMsgSubjectLen);
    t.Add("Subject: ");
    if (const char *s = Sms_String(e.t, boff + blen, slen)) t.Add(s, slen);
    t.Add("\r\nMIME-Version: 1.0\r\n");
    if (e.att_kind) {
        t.Add("Content-Type: multipart/mixed;\r\n");
        t.Add("\tboundary=\"" EM_BOUNDARY "\"\r\n\r\n");
        t.Add("This is a message with multiple parts in MIME format.\r\n\r\n");
        t.Add("--" EM_BOUNDARY "\r\n");
    }
    t.Add("Content-Type:text/plain; charset=US-ASCII \r\n\r\n");
    // The body with the message's data fields written over their places.
    static std::array<char, kBodyMax> body;
    const uint32_t bl = blen < kBodyMax ? blen : kBodyMax;
    if (const char *s = Sms_String(e.t, boff, bl)) {
        std::memcpy(body.data(), s, bl);
        const char *list = nullptr;
        uint32_t ll = 0;
        if (Sms_List(e.t, true, e.msg, &list, &ll)) {
            uint32_t at = 0, pos = 0, field = 0;
            while (FieldExtractor(list, ll, &at, &pos, &field)) {
                char v[64];
                const uint32_t vl = GetDataFromReg(e.t, field, v, sizeof v);
                DataFormat(body.data(), bl, pos, v, vl, e.t, field);
            }
        }
        t.Add(body.data(), bl);
    }
    if (!e.att_kind) t.Add("\r\n");
    const uint32_t n = EtnEmailDotStuff(t.p, t.n, e.data.data(), uint32_t(e.data.size()), true);
    return n > e.data.size() ? uint32_t(e.data.size()) : n;
}

namespace {

void ClearTrigger() {
    uint8_t zero = 0;
    SMSPlcReg_Set(U32(MsgRec(EtnEmailConn.msg) + 12), &zero, 1);
}

// Looks for a message whose trigger bit is 1 from the remembered index on.
uint32_t EtnEmailTrigger() {
    EmailRec &e = EtnEmailConn;
    const uint32_t n = e.nmsgs < 256 ? e.nmsgs : 256;
    for (uint32_t i = e.msg; i < n; i++) {
        uint8_t b = 0;
        if (SMSPlcReg_Get(&b, U32(MsgRec(i) + kMsgTrigger), 1) && (b & 1)) {
            e.msg = i;
            return 1;
        }
    }
    e.msg = 0;
    return 0;
}

bool SslSetUp() {
    EmailRec &e = EtnEmailConn;
    if (!PLAT_TlsReady()) return false;
    SslFree();
    const void *m = PLAT_Tls12ClientMethod();
    email_ssl.ctx = m ? PLAT_SslCtxNew(m) : nullptr;
    email_ssl.ssl = email_ssl.ctx ? PLAT_SslNew(email_ssl.ctx) : nullptr;
    return email_ssl.ssl != nullptr && PLAT_SslSetFd(email_ssl.ssl, e.sock.fd) == 1;
}

// ---- attachments through the mailbox's e-mail channel -------------------------------------
// Reads of a file: 912 bytes on Ethernet; on the modem 342, paced (a 2 s
// pause before the first file, 0.8 s after a part's head, 1 s after each
// read) so that the module's line keeps up.
constexpr uint32_t kReadSize = 912, kModemReadSize = 342;
constexpr uint32_t kPauseFirst = 20000, kPauseHead = 8000, kPauseRead = 10000;

void Pause(uint32_t ticks) {
    EtnEmailConn.att_at = FPGA_GetFrt();
    EtnEmailConn.att_wait = ticks;
}
// The modem transport's pause is over (always on Ethernet).
bool Paced() {
    const EmailRec &e = EtnEmailConn;
    return !Modem() || FPGA_GetFrt() - e.att_at >= e.att_wait;
}
uint32_t ReadSize() { return Modem() ? kModemReadSize : kReadSize; }
constexpr uint8_t kMailOpen = 3, kMailRead = 6, kMailClose = 5, kMailList = 7;

bool MailFree() { return dpram[DP_MAIL_REQ] == dpram[DP_MAIL_ACK]; }
int16_t MailResult() { return int16_t(LE_Get16(&dpram[DP_MAIL_RES])); }

void MailRequest(uint8_t op, uint32_t p1, uint32_t p2, uint32_t p3) {
    dpram[DP_MAIL_REQ + DP_LOG_OP] = op;
    dpram[DP_MAIL_REQ + DP_LOG_ARG] = EtnEmailConn.att_drive;
    LE_Put32(&dpram[DP_MAIL_REQ + DP_LOG_P1], p1);
    LE_Put32(&dpram[DP_MAIL_REQ + DP_LOG_P1 + 4], p2);
    LE_Put32(&dpram[DP_MAIL_REQ + DP_LOG_P1 + 8], p3);
    dpram[DP_MAIL_REQ] = uint8_t(dpram[DP_MAIL_REQ] + 1);
    // An open may leave a file open on the card until its close is posted.
    if (op == kMailOpen) EtnEmailConn.att_open = 1;
    if (op == kMailClose) EtnEmailConn.att_open = 0;
}

void MailPost(uint8_t op, uint32_t p1, uint32_t p2, uint32_t p3) {
    MailRequest(op, p1, p2, p3);
    Timer(EM_TICKS_60S);
}

void MailText(const char *t) {
    const std::size_t n = std::strlen(t);
    const std::size_t k = n < DP_NAME_SIZE - 1 ? n : DP_NAME_SIZE - 1;
    std::memcpy(&dpram[DP_MAIL_TEXT], t, k);
    dpram[DP_MAIL_TEXT + k] = 0;
}

// A mailbox answer is in: true; a channel that stays busy for 60 s fails
// the attachment.
bool MailDone() {
    EmailRec &e = EtnEmailConn;
    if (MailFree()) return true;
    if (Expired()) {
        e.att_result = 1000;
        e.att_sub = kAttEnd;
    }
    return false;
}

// Picks the listing entry to send; false when none is left.
bool PickEntry() {
    EmailRec &e = EtnEmailConn;
    int32_t best = -1;
    uint32_t best_stamp = 0;
    for (uint32_t k = e.att_kind == 2 ? e.att_index : 0; k < nElements && k < CFM_LIST_MAX; k++) {
        const uint8_t *x = cfmList[cfmListOrder[k] % CFM_LIST_MAX].data();
        if (x[271] & 0x10) continue;
        const uint32_t stamp = uint32_t(LE_Get16(x + 276)) << 16 | LE_Get16(x + 274);
        if (e.att_kind == 2) {
            best = int32_t(k);
            e.att_index = k + 1;
            break;
        }
        if (best < 0 || (e.att_kind == 3 ? stamp > best_stamp : stamp < best_stamp)) {
            best = int32_t(k);
            best_stamp = stamp;
        }
    }
    if (best < 0) return false;
    const uint8_t *x = cfmList[cfmListOrder[uint32_t(best)] % CFM_LIST_MAX].data();
    char name[257], ext[16];
    std::memcpy(name, x, 256);
    name[256] = 0;
    std::memcpy(ext, x + 256, 15);
    ext[15] = 0;
    std::snprintf(e.att_file.data(), e.att_file.size(), "%.*s%s%s%s", int(e.att_prefix), e.att_path.data(), name,
                  ext[0] ? "." : "", ext);
    return true;
}

bool SendText(const char *t) { return SendBytes(t, uint32_t(std::strlen(t))); }

// The connection takes the next encoded read: established (or in TLS) and
// its send buffer writable again. A server slow to read fills the buffer,
// and a piece the kernel takes only in part fails the mail; the kernel
// reports room once a third of the buffer is free, far more than the 1.3 KB
// of one encoded read (the stack's "fewer than 2 packets queued").
bool ConnHasRoom() {
    const EmailRec &e = EtnEmailConn;
    if (!e.tls_up && (e.sock.state != NX_TCP_ESTABLISHED || e.sock.writable == 0)) return false;
    if (e.sock.fd < 0) return false;
    // A plain connection also waits for the socket layer's own word: a send
    // that left the buffer full marks it unwritable until the readiness set
    // reports the room, and a send before that is refused as full.
    if (!e.tls_up && e.sock.writable == 0) return false;
    pollfd p{e.sock.fd, POLLOUT, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
}

// The texts between and after the pieces (a part's head, the error line,
// the closing boundary, the data end) wait, like the reads, while the
// connection is up but full (on the modem: while the queue still drains), so
// that a server slow to read does not fail the mail with a send error. A
// connection that is gone does not wait: the send fails as before.
bool SendMustWait() {
    const EmailRec &e = EtnEmailConn;
    if (Modem()) return modem_len != 0 && ModemUp();
    return (e.tls_up || e.sock.state == NX_TCP_ESTABLISHED) && !ConnHasRoom();
}

// A send that must wait for room (`full`) waits with the replies' 60 s
// limit: a server that stays connected but stops reading would otherwise
// hold the mail unsent for ever with a clear status. When the limit runs out
// the mail fails with the send-failure bit at `step`, as a refused send
// would. On the modem the wait is for the whole queue, which a slow line
// may take long to drain: every byte it takes starts the limit again.
// True while the send must wait.
uint32_t room_wait_queue;  // the modem queue's length when last seen waiting
bool WaitForRoom(bool full, uint8_t step) {
    EmailRec &e = EtnEmailConn;
    if (!full) {
        e.room_wait = 0;
        return false;
    }
    if (!e.room_wait || (Modem() && modem_len < room_wait_queue)) {
        e.room_wait = 1;
        room_wait_queue = modem_len;
        Timer(EM_TICKS_60S);
    } else if (Expired()) {
        e.room_wait = 0;
        e.status |= EM_ST_SEND;
        SetStep(EmSmtpStep(step));
        e.smtp = kSmtpClose;
    }
    return true;
}

// A mail that left its attachment steps with a file still open (a failed
// send, a wait for room run out, a close for run mode left or a restart,
// a channel that did not answer) closes it once the channel is free: an
// open file would keep the card from being removed or formatted until the
// next attachment's open. The mail's timer is not touched.
void AttachRelease() {
    const EmailRec &e = EtnEmailConn;
    if (!e.att_open || (e.conn_state == EMC_ACTIVE && e.sub == EMS_SMTP && e.smtp == kSmtpAttach)) return;
    if (MailFree()) MailRequest(kMailClose, 0, 0, 0);
}

void AttachFailed() {
    EmailRec &e = EtnEmailConn;
    SetStep(EmSmtpStep(kSmtpAttach));
    e.smtp = kSmtpClose;
}

}  // namespace

void EtnEmailAttachStep() {
    EmailRec &e = EtnEmailConn;
    static char enc[1400];
    switch (e.att_sub) {
    case kAttStart: {
        // A channel still held by an earlier request that is never answered
        // (a card made safe to remove takes none) fails the attachment after
        // 60 s, as an unanswered request of its own does (MailDone), rather
        // than holding the mail and its connection for ever.
        if (!MailDone() || !Paced()) break;
        const uint32_t rec = MsgRec(e.msg);
        const uint32_t plen = U8(rec + kMsgPathLen);
        const char *p = Sms_String(e.t, U32(rec + kMsgText) + U32(rec + kMsgBodyLen) + U8(rec + kMsgSubjectLen), plen);
        if (p == nullptr) {
            e.att_result = 1000;
            e.att_sub = kAttEnd;
            break;
        }
        std::memcpy(e.att_path.data(), p, plen);
        e.att_path[plen] = 0;
        if (plen > 0 && p[plen - 1] == '\\') std::memcpy(&e.att_path[plen], "*.*", 4);
        e.att_prefix = 0;
        for (uint32_t i = 0; e.att_path[i]; i++)
            if (e.att_path[i] == '\\') e.att_prefix = i + 1;
        e.att_drive = (e.att_path[0] == 'B' || e.att_path[0] == 'b') && e.att_path[1] == ':' ? 1 : 0;
        if (e.att_kind == 1) {
            std::snprintf(e.att_file.data(), e.att_file.size(), "%s", e.att_path.data());
            MailText(e.att_file.data());
            MailPost(kMailOpen, DP_MAIL_TEXT, 0, 0);
            e.att_sub = kAttOpened;
        } else {
            MailText(e.att_path.data());
            MailPost(kMailList, DP_MAIL_TEXT, 0, 0);
            e.att_sub = kAttListed;
        }
        break;
    }
    case kAttListed:
        if (!MailDone()) break;
        if (MailResult() == 0 && PickEntry()) {
            e.att_sub = kAttOpenNext;
        } else {
            // A folder that cannot be listed, or holds no (further) file,
            // ends the attachments without an error line: only a file that
            // cannot be opened is one.
            e.att_sub = kAttEnd;
        }
        break;
    case kAttOpenNext:
        if (!MailFree()) break;
        MailText(e.att_file.data());
        MailPost(kMailOpen, DP_MAIL_TEXT, 0, 0);
        e.att_sub = kAttOpened;
        break;
    case kAttOpened:
        if (!MailDone()) break;
        if (MailResult() == 0) {
            e.att_sub = kAttHead;
        } else {
            e.att_open = 0;
            e.att_result = 1000;
            e.att_sub = kAttEnd;
        }
        break;
    case kAttHead: {
        if (WaitForRoom(SendMustWait(), kSmtpAttach)) break;
        // The name is the path's last component: behind the last backslash,
        // and behind the drive of a path without a folder ("B:R.BIN"); the
        // media read a ":" only there as the drive's, elsewhere it is part
        // of the name.
        const char *const f = e.att_file.data();
        const char *base = f[0] != 0 && f[1] == ':' ? f + 2 : f;
        for (const char *c = base; *c; c++)
            if (*c == '\\') base = c + 1;
        char head[700];
        std::snprintf(head, sizeof head,
                      "\r\n--" EM_BOUNDARY
                      "\r\nContent-Type: application/octet-stream \r\n"
                      "Content-Transfer-Encoding: base64 \r\nContent-Disposition: attachment; \r\n"
                      "\tfilename=\"%.*s\"\r\n\r\n",
                      int(e.att_file.size() - 1), base);
        if (!SendText(head)) {
            AttachFailed();
            break;
        }
        e.att_sent++;
        Pause(kPauseHead);
        e.att_sub = kAttRead;
        break;
    }
    case kAttRead:
        // (The modem's queue must be empty too: a paced read never outruns it.)
        if (!MailFree() || !Paced()) break;
        if (WaitForRoom(Modem() ? modem_len != 0 : !ConnHasRoom(), kSmtpAttach)) break;
        MailPost(kMailRead, 0, DP_MAIL_DATA, ReadSize());
        Pause(kPauseRead);
        e.att_sub = kAttSend;
        break;
    case kAttSend: {
        if (!MailDone() || !Paced()) break;
        const int16_t r = MailResult();
        const uint32_t ask = ReadSize(), n = cfmLogWritten[2] <= ask ? cfmLogWritten[2] : ask;
        if ((r == 0 || r == -1) && n > 0) {
            const uint32_t k = EtnEmailBase64Encd(&dpram[DP_MAIL_DATA], enc, n, 1);
            if (!SendBytes(enc, k)) {
                AttachFailed();
                break;
            }
            e.att_sub = n < ask ? kAttClose : kAttRead;
        } else {
            e.att_sub = kAttClose;
        }
        break;
    }
    case kAttClose:
        if (!MailFree()) break;
        MailPost(kMailClose, 0, 0, 0);
        e.att_sub = kAttClosed;
        break;
    case kAttClosed:
        if (!MailDone()) break;
        e.att_sub = e.att_kind == 2 ? kAttStart : kAttEnd;
        break;
    case kAttEnd:
        if (e.att_result != 0) {
            if (WaitForRoom(SendMustWait(), kSmtpAttach)) break;
            // The code takes the blanks of its line; the line end stays.
            char line[64];
            std::snprintf(line, sizeof line, "\r\n\r\n\r\nAttachment Error:%-3.2d\r\n", int(e.att_result));
            if (!SendText(line)) {
                AttachFailed();
                break;
            }
            // The error line may leave the connection full: the closing
            // boundary waits for room in a step of its own.
            e.att_sub = kAttBoundary;
            break;
        }
        e.att_sub = kAttBoundary;
        [[fallthrough]];
    case kAttBoundary:
        if (WaitForRoom(SendMustWait(), kSmtpAttach)) break;
        if (!SendText("\r\n--" EM_BOUNDARY "--\r\n")) {
            AttachFailed();
            break;
        }
        e.smtp = kSmtpEndData;
        break;
    default: e.att_sub = kAttEnd; break;
    }
}

namespace {

void EtnEmailSmtp() {
    EmailRec &e = EtnEmailConn;
    static char line[600];
    if (Modem()) ModemDrain();
    switch (e.smtp) {
    case kSmtpStart:
        e.valid_rcpt = 0;
        e.rx_len = 0;
        e.tls_up = 0;
        e.room_wait = 0;
        if (!(e.flags & EMF_MODEM) && (e.cfg_flags & kEmFlagByName)) {
            e.dns_server = SettingWord(kEmDnsServer, 32);
            e.port = uint16_t(SettingWord(kEmPort, 16));
            e.server = 0;
            e.smtp = kSmtpDnsSend;
        } else {
            // The modem dials a server name itself (server address 0).
            e.server = (e.cfg_flags & kEmFlagByName) ? 0 : SettingWord(kEmServer, 32);
            e.port = uint16_t(SettingWord(kEmPort, 16));
            e.smtp = kSmtpConnect;
        }
        break;
    case kSmtpDnsSend:
        DnsSend();
        e.smtp = kSmtpDnsWait;
        break;
    case kSmtpDnsWait:
        if (DnsReceive()) {
            DnsClose();
            e.smtp = kSmtpConnect;
        }
        break;
    case kSmtpConnect:
        if ((e.server == 0 && !(Modem() && (e.cfg_flags & kEmFlagByName))) || e.port == 0) {
            e.status |= EM_ST_SERVER;
            break;
        }
        if (Connect()) {
            e.status &= ~EM_ST_SERVER;
            e.cmd = kSmtpConnect;
            if (e.port == kTlsPort) {
                // Without libssl no greeting is accepted and the wait times out.
                e.next = PLAT_TlsReady() ? uint8_t(kSmtpEhlo) : uint8_t(0);
                e.smtp = kSmtpAwaitReply;
                Timer(EM_TICKS_60S);
            } else {
                e.smtp = kSmtpGreeting;
            }
        } else if (e.status & (EM_ST_CONNECT | EM_ST_CONN_TO)) {
            SetStep(EmSmtpStep(kSmtpConnect));
        }
        break;
    case kSmtpGreeting:
        if (e.port == kTlsPort) {
            e.rx_len = 0;
            if (!SslSetUp()) {
                e.status |= EM_ST_CONNECT;
                SetStep(EmSmtpStep(kSmtpGreeting));
                e.smtp = kSmtpClose;
                break;
            }
            // After the handshake the server has forgotten the first EHLO:
            // greet it again over TLS before logging in.
            e.next = kSmtpEhlo;
            e.cmd = kSmtpTlsHandshake;
            e.smtp = kSmtpTlsHandshake;
            Timer(EM_TICKS_60S);
        } else {
            e.rx_len = 0;
            e.cmd = kSmtpConnect;
            e.next = kSmtpEhlo;
            e.smtp = kSmtpAwaitReply;
            Timer(EM_TICKS_60S);
        }
        break;
    case kSmtpTlsDone: e.smtp = e.tls_up ? e.next : uint8_t(kSmtpClose); break;
    case kSmtpTlsHandshake: {
        const int r = PLAT_SslConnect(email_ssl.ssl);
        if (r == 1) {
            e.tls_up = 1;
            e.timer_len = 0;
            e.smtp = kSmtpTlsDone;
            break;
        }
        const int err = PLAT_SslGetError(email_ssl.ssl, r);
        if (err == kSslWantRead || err == kSslWantWrite) {
            // The 60 s limit: a handshake that never ends would otherwise
            // hang the client for ever.
            if (Expired()) {
                e.status |= EM_ST_REPLY_TO;
                SetStep(EmSmtpStep(kSmtpTlsHandshake));
                e.smtp = kSmtpClose;
            }
        } else {
            // A handshake the library gives up on for good (no retry can
            // help) ends the mail as a failed connection, bit 3 at this
            // step: without a bit the mail would end with a clear status as
            // if nothing had failed, and its trigger, still set, would start
            // it over at once.
            e.status |= EM_ST_CONNECT;
            SetStep(EmSmtpStep(kSmtpTlsHandshake));
            e.smtp = kSmtpClose;
        }
        break;
    }
    case kSmtpEhlo: {
        if (e.port == kTlsPort && !e.tls_up) {
            Command("EHLO 587\r\n", 10, kSmtpStartTls);
            break;
        }
        char dom[260];
        Setting(kEmDomain, kEmDomainLen, false, dom, sizeof dom);
        // Port 587 always logs in; elsewhere, with register-held settings,
        // an empty password register text means no login.
        bool login = e.auth != 0 || e.port == kTlsPort;
        if (login && e.port != kTlsPort && (e.cfg_flags & kEmFlagRegisters)) {
            char pw[260];
            login = Setting(kEmPassword, kEmPasswordLen, true, pw, sizeof pw) != 0;
        }
        CommandStr("EHLO ", dom, "\r\n", login ? kSmtpAuth : kSmtpMailFrom);
        break;
    }
    case kSmtpAuth: Command("AUTH LOGIN\r\n", 12, kSmtpUser); break;
    case kSmtpUser:
    case kSmtpPassword: {
        char v[260];
        const uint32_t n = e.smtp == kSmtpUser ? Setting(kEmUser, kEmUserLen, true, v, sizeof v)
                                               : Setting(kEmPassword, kEmPasswordLen, true, v, sizeof v);
        const uint32_t k = EtnEmailBase64Encd(reinterpret_cast<const uint8_t *>(v), line, n, 0);
        line[k] = '\r';
        line[k + 1] = '\n';
        Command(line, k + 2, uint8_t(e.smtp + 1));
        break;
    }
    case kSmtpMailFrom: {
        char from[260];
        Setting(kEmSender, kEmSenderLen, true, from, sizeof from);
        CommandStr("MAIL FROM:<", from, ">\r\n", kSmtpRcptTo);
        break;
    }
    case kSmtpRcptTo: {
        char to[260];
        if (NextRecipient(&e.rcpt, to, sizeof to)) {
            e.valid_rcpt = 1;
            SetStep(EmSmtpStep(kSmtpStart));
            uint32_t look = e.rcpt;
            char more[260];
            CommandStr("RCPT TO:<", to, ">\r\n", NextRecipient(&look, more, sizeof more) ? kSmtpRcptTo : kSmtpData);
        } else {
            if (!e.valid_rcpt) SetStep(EM_STEP_NO_RCPT);
            e.smtp = kSmtpData;
        }
        break;
    }
    case kSmtpData: Command("DATA\r\n", 6, kSmtpMessage); break;
    case kSmtpMessage: {
        const uint32_t rec = MsgRec(e.msg);
        e.att_kind = U8(rec + kMsgPathLen) != 0 && U8(rec + kMsgAttachKind) >= 1 && U8(rec + kMsgAttachKind) <= 4
                         ? U8(rec + kMsgAttachKind)
                         : 0;
        const uint32_t n = EtnEmailComposeMessage();
        e.cmd = kSmtpMessage;
        if (!SendBytes(e.data.data(), n)) {
            SetStep(EmSmtpStep(kSmtpMessage));
            e.smtp = kSmtpClose;
            break;
        }
        e.att_sub = kAttStart;
        e.att_index = 0;
        e.att_result = 0;
        e.att_sent = 0;
        Pause(kPauseFirst);
        Timer(EM_TICKS_60S);  // the mailbox channel's wait (kAttStart)
        e.smtp = e.att_kind ? kSmtpAttach : kSmtpEndData;
        break;
    }
    case kSmtpAttach: EtnEmailAttachStep(); break;
    case kSmtpEndData:
        // The end of the data is answered like a command: a refused message
        // is an error, not a sent one.
        if (WaitForRoom(SendMustWait(), kSmtpEndData)) break;
        Command("\r\n.\r\n", 5, kSmtpQuit);
        break;
    case kSmtpQuit:
        // The server has taken the mail (its data end was answered): QUIT
        // awaits no answer, so that a server that closes without one, or
        // never gives it, does not turn a delivered mail into a time-out.
        ClearTrigger();
        e.cmd = kSmtpQuit;
        Timer(EM_TICKS_60S);
        if (!SendBytes("QUIT\r\n", 6)) SetStep(EmSmtpStep(kSmtpQuit));
        e.smtp = kSmtpClose;
        break;
    case kSmtpAwaitReply: WaitReply(); break;
    case kSmtpClose:
        // On the modem QUIT leaves from the queue and the socket's buffer: it
        // goes out before the disconnect (within the 60 s started with it),
        // not dropped by it.
        if (Modem() && e.cmd == kSmtpQuit && (modem_len > 0 || socket_info_st[kModemSocket].tx_len > 0) && ModemUp() &&
            !Expired())
            break;
        if (PlcWord(W_MODEM_CTL) == kModemCtlHoldPortMail) GSMGPRSInfo_St.mail_close |= 0x01;
        if (Close()) {
            SslFree();
            e.smtp = kSmtpClosed;
        }
        break;
    case kSmtpStartTls: Command("STARTTLS\r\n", 10, kSmtpGreeting); break;
    default: break;
    }
}

}  // namespace

int32_t email_openssl_initialize() { return PLAT_TlsLoad() == PLAT_TLS_READY ? 0 : -1; }

uint32_t EtnEmailInit(NX_IP *ip, NX_PACKET_POOL *pool) {
    EmailRec &e = EtnEmailConn;
    e.ip = ip;
    e.pool = pool;
    e.sock.fd = -1;
    e.dns.fd = -1;
    e.dns_id = 1;
    const uint32_t st =
        _nx_tcp_socket_create(ip, &e.sock, "Email Socket", 0, 0x4000, 128, EM_BUF_LIMIT, nullptr, DisconnectCallback);
    if (st == NX_SUCCESS) {
        _nx_ip_client_port_sync(ip);
        e.conn_state = EMC_IDLE;
        email_openssl_initialize();
    } else {
        e.status |= EM_ST_SOCKET;
    }
    return st;
}

uint32_t EtnEmailConnCnt() { return EtnEmailConn.sock.state == NX_TCP_ESTABLISHED ? 1 : 0; }

bool EtnEmailDiscnt() {
    EmailRec &e = EtnEmailConn;
    static uint8_t armed = 0;
    if (!armed) {
        armed = 1;
        e.smtp = kSmtpClose;
    }
    if (e.smtp == kSmtpClosed) {
        armed = 0;
        return true;
    }
    EtnEmailSmtp();
    if (e.smtp == kSmtpClosed) {
        armed = 0;
        return true;
    }
    return false;
}

void EtnEmailScan(int caller) {
    EmailRec &e = EtnEmailConn;
    const bool ethernet = !(e.flags & (EMF_MODEM | EMF_ALT));
    if (ethernet && caller == 0 && LE_Get16(&sms_table_bl[0]) == e.last_crc) return;
    if (!ethernet && caller == 1) return;
    const bool run = PlcWord(W_MODE) == 2;
    const bool was_run = e.prev_run != 0;
    e.prev_run = run;
    AttachRelease();
    if (run)
        e.flags |= EMF_RUN;
    else
        e.flags &= uint8_t(~EMF_RUN);
    if (!(e.status & EM_ST_SOCKET)) {
        switch (e.conn_state) {
        case EMC_CLOSING:
            if (Close()) {
                SslFree();
                e.conn_state = EMC_IDLE;
                e.status &= EM_ST_SOCKET;
            }
            break;
        case EMC_ACTIVE:
            if ((e.status != 0 && (e.status >> 20) != 1) || !run) {
                e.conn_state = EMC_CLOSING;
                break;
            }
            if (e.sub == EMS_TRIGGER) {
                if (EtnEmailTrigger()) {
                    e.rcpt = 0;
                    e.smtp = kSmtpStart;
                    e.sub = EMS_SMTP;
                } else if (Modem() && GSMGPRSInfo_St.pending == 4) {
                    GSMGPRSInfo_St.pending = 0;
                }
            } else {
                EtnEmailSmtp();
                if (e.smtp == kSmtpClosed) {
                    if (e.status == 0) e.reported = 0;
                    e.sub = EMS_TRIGGER;
                }
            }
            break;
        case EMC_IDLE:
            if (!run) break;
            if (!was_run) {
                e.reported = 0;
                e.status = 0;
            } else if (e.reported != 0 || e.status != 0) {
                break;
            }
            if (!Configure()) {
                e.status |= EM_ST_CONFIG;
                break;
            }
            e.flags = uint8_t((e.flags & (EMF_STARTED | EMF_RUN)) | ((e.cfg_flags & kEmFlagModem) ? EMF_MODEM : 0) |
                              ((e.cfg_flags & kEmFlagAlt) ? EMF_ALT : 0));
            if (e.flags & EMF_MODEM) GSMGPRSParmInit();
            e.last_crc = LE_Get16(&sms_table_bl[0]);
            e.last_size = U32(e.sec);
            e.msg = 0;
            e.sub = EMS_TRIGGER;
            e.conn_state = EMC_ACTIVE;
            break;
        default: break;
        }
    }
    if (!run) return;
    if (e.status != 0 && e.status != e.reported) e.reported = e.status;
    // A refused section reports bit 0 in the register it names; without a
    // section of its own no register is named.
    if (e.status_reg != 0 && (e.configured || (e.status & EM_ST_CONFIG))) {
        uint8_t b[4];
        LE_Put32(b, e.reported);
        SMSPlcReg_Set(e.status_reg, b, 32);
    }
}

uint32_t EtnEmailDue(uint32_t now) {
    const EmailRec &e = EtnEmailConn;
    const uint32_t idle = now + PASS_IDLE_MS;
    if (e.flags & (EMF_MODEM | EMF_ALT)) return idle;  // stepped from the scan alone
    // A mail ended in its attachment closes the file once the mailbox channel
    // is free (AttachRelease): a stopped client is stepped until it has, or
    // the file would stay open on the card while nothing else steps it.
    if (e.att_open) return now;
    if (PlcWord(W_MODE) != 2) return (e.conn_state == EMC_IDLE || (e.status & EM_ST_SOCKET)) ? idle : now;
    if (e.status_reg != 0 && (e.configured || (e.status & EM_ST_CONFIG))) return now;
    if (e.status & EM_ST_SOCKET) return idle;
    if (e.conn_state != EMC_IDLE) return now;
    return (e.reported != 0 || e.status != 0) ? idle : now;
}

// ---- pure helpers ----------------------------------------------------------------------------------

uint32_t EtnEmailBase64Encd(const uint8_t *src, char *dst, uint32_t n, uint32_t wrap) {
    static constexpr char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (n > EM_BUF_LIMIT) n = EM_BUF_LIMIT;
    uint32_t o = 0, col = 0;
    for (uint32_t i = 0; i < n; i += 3) {
        const uint32_t k = n - i < 3 ? n - i : 3;
        const uint32_t v = uint32_t(src[i]) << 16 | (k > 1 ? uint32_t(src[i + 1]) << 8 : 0) | (k > 2 ? src[i + 2] : 0);
        const char q[4] = {kAlpha[(v >> 18) & 63], kAlpha[(v >> 12) & 63], k > 1 ? kAlpha[(v >> 6) & 63] : '=',
                           k > 2 ? kAlpha[v & 63] : '='};
        for (char c : q) {
            dst[o++] = c;
            if (wrap && ++col == 76) {
                dst[o++] = '\r';
                dst[o++] = '\n';
                col = 0;
            }
        }
    }
    dst[o] = 0;
    return o;
}

uint32_t EtnEmailReply(const char *buf, uint32_t len, uint32_t *used) {
    uint32_t start = 0;
    while (start < len) {
        const void *nl = std::memchr(buf + start, '\n', len - start);
        if (nl == nullptr) return 0;
        const uint32_t end = uint32_t(static_cast<const char *>(nl) - buf) + 1;
        const uint32_t ll = end - start;
        const char *l = buf + start;
        const bool digits =
            ll >= 4 && l[0] >= '0' && l[0] <= '9' && l[1] >= '0' && l[1] <= '9' && l[2] >= '0' && l[2] <= '9';
        start = end;
        // "ddd-" continues the reply; "ddd " or "ddd" alone ends it.
        if (digits && (l[3] == ' ' || l[3] == '\r' || l[3] == '\n')) {
            *used = end;
            return uint32_t(l[0] - '0') * 100 + uint32_t(l[1] - '0') * 10 + uint32_t(l[2] - '0');
        }
    }
    return 0;
}

uint32_t EtnEmailDnsBuild(const char *name, uint16_t id, uint8_t *buf) {
    const uint32_t n = DnsBuildQuery(name, id, buf);
    if (n == 0) return 0;
    buf[2] = 0x01;  // recursion desired
    buf[3] = 0x00;
    return n;
}

uint32_t EtnEmailServerText(char *out, uint32_t cap) {
    const EmailRec &e = EtnEmailConn;
    char name[260];
    if ((e.cfg_flags & kEmFlagByName) && Setting(kEmServer, kEmServerLen, true, name, sizeof name))
        return uint32_t(std::snprintf(out, cap, "\"%s\"", name));
    const uint32_t a = e.server;
    return uint32_t(std::snprintf(out, cap, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF));
}

uint32_t EtnEmailDnsAnswer(const uint8_t *b, uint32_t n, uint16_t id, uint32_t *address) {
    if (n < 12 || BE_Get16(b) != id) return 0;
    if (!(b[2] & 0x80) || BE_Get16(b + 6) == 0 || !DnsParseAnswer(b, n, id, address)) return 2;
    return 1;
}

uint32_t EtnEmailDotStuff(const char *text, uint32_t len, char *out, uint32_t cap, bool line_start) {
    uint32_t o = 0;
    for (uint32_t i = 0; i < len; i++) {
        const bool dot = text[i] == '.' && line_start;
        if (o + (dot ? 2u : 1u) > cap) return cap + 1;
        if (dot) out[o++] = '.';
        out[o++] = text[i];
        line_start = text[i] == '\n';
    }
    return o;
}

uint32_t EtnEmailGetRegStr(uint32_t addr, char *out, uint32_t cap) {
    uint32_t n = 0;
    while (n < 256 && n + 1 < cap) {
        uint8_t b = 0;
        if (!SMSPlcReg_Get(&b, addr + 8 * n, 8) || b == 0) break;
        if (b == ' ' && n > 0 && out[n - 1] == ' ') {
            n--;
            break;
        }
        out[n++] = char(b);
    }
    out[n] = 0;
    return n;
}
