// Data sockets of the built-in cellular module: six socket records, the
// requests of the rest of the controller, and the socket scripts that carry
// them out, stepped from ModemCycle.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/timebase.h"
#include "media/datalog.h"
#include "messaging/atcmd.h"
#include "messaging/messaging.h"
#include "messaging/talk.h"

std::array<SocketInfo, SOCK_COUNT> socket_info_st;
std::array<uint8_t, SOCK_COUNT * SOCK_ST_SIZE> Globalsocket_st;
uint32_t sock_last_dial;

namespace {

// Transmit buffers for appended sends, one per socket, apart from the
// receive area so that neither overwrites the other.
std::array<std::array<uint8_t, SOCK_TXMAX>, SOCK_COUNT> sock_tx;
std::array<uint8_t, SOCK_COUNT> refusal_logged;
uint32_t send_started;
bool dialled_once;

// Parameter texts of the socket scripts.
struct SockParams {
    std::array<char, 4> id, digit;
    std::array<char, 8> port, udp, count;
    std::array<char, 68> addr;
} sp;

void SetSlot(unsigned k, char *text, std::size_t cap) {
    at_stack_data[k] = AtSlot{uint16_t(std::strlen(text)), text, uint16_t(cap), nullptr};
}

bool SignalOk() { return AT_SignalValid(at_status.signal); }

void Start(uint32_t n, uint32_t state, uint32_t count) {
    SocketInfo &s = socket_info_st[n];
    std::snprintf(sp.id.data(), sp.id.size(), "%u", unsigned(s.conn_id));
    at_stack_data = {};
    SetSlot(0, sp.id.data(), sp.id.size());
    at_status.socket = uint8_t(n);
    at_status.state = state;
    uint8_t *buf = at_status.answer.data();
    uint16_t size = 1024;
    switch (state) {
    case AT_ST_DIAL:
        std::snprintf(sp.digit.data(), sp.digit.size(), "%u", unsigned(s.flags & SOCKF_UDP));
        std::snprintf(sp.port.data(), sp.port.size(), "%u", unsigned(s.port));
        if (s.host_len) {
            std::snprintf(sp.addr.data(), sp.addr.size(), "%s", s.host.data());
        } else {
            std::snprintf(sp.addr.data(), sp.addr.size(), "%u.%u.%u.%u", unsigned(s.ip >> 24),
                          unsigned((s.ip >> 16) & 0xFF), unsigned((s.ip >> 8) & 0xFF), unsigned(s.ip & 0xFF));
        }
        std::snprintf(sp.udp.data(), sp.udp.size(), "%u", (s.flags & SOCKF_UDP) ? unsigned(s.port) : 0u);
        SetSlot(1, sp.digit.data(), sp.digit.size());
        SetSlot(2, sp.port.data(), sp.port.size());
        SetSlot(3, sp.addr.data(), sp.addr.size());
        SetSlot(4, sp.udp.data(), sp.udp.size());
        break;
    case AT_ST_LISTEN:
        std::snprintf(sp.digit.data(), sp.digit.size(), "%u", (s.flags & SOCKF_KEEP) ? 1u : 0u);
        std::snprintf(sp.port.data(), sp.port.size(), "%u", unsigned(s.port));
        SetSlot(1, sp.digit.data(), sp.digit.size());
        SetSlot(2, sp.port.data(), sp.port.size());
        break;
    case AT_ST_RECV:
        std::snprintf(sp.count.data(), sp.count.size(), "1500");
        SetSlot(1, sp.count.data(), sp.count.size());
        buf = s.data.data();
        size = uint16_t(s.data.size());
        break;
    case AT_ST_SEND: {
        const uint32_t c = count;
        std::snprintf(sp.count.data(), sp.count.size(), "%u", unsigned(c));
        SetSlot(1, sp.count.data(), sp.count.size());
        at_stack_data[2] = AtSlot{uint16_t(c), nullptr, 0, s.tx_ptr + s.handed};
        at_status.prompt = uint8_t((at_status.prompt & ~AT_PR_SEEN) | AT_PR_WAITING);
        break;
    }
    default: break;
    }
    static constexpr struct {
        uint32_t state, count;
    } kLen[] = {{AT_ST_LISTEN, 4}, {AT_ST_DIAL, 9}, {AT_ST_RECV, 5},
                {AT_ST_ACCEPT, 3}, {AT_ST_SEND, 4}, {AT_ST_CLOSE, 2}};
    uint32_t entries = 2;
    for (const auto &k : kLen)
        if (k.state == state) entries = k.count;
    AT_Load(at_cmd.data(), state, entries, buf, size);
}

bool Ok() { return at_status.result == AT_R_OK || at_status.result == AT_R_FOUND; }

void Continue(uint32_t n) {
    SocketInfo &s = socket_info_st[n];
    const uint32_t state = at_status.state;
    const uint16_t resets = at_status.resets;
    if (!AT_Step()) return;
    // A module reset inside the step cleared every record and restarted
    // the engine: the operation's end must not write over that (a closing
    // listener would be left "listening" with no request behind it).
    if (at_status.resets != resets) return;
    const bool ok = Ok();
    switch (state) {
    case AT_ST_DIAL:
        ModemTimer(&sock_last_dial, 0);
        dialled_once = true;
        if (s.state == 2) s.state = 3;
        break;
    case AT_ST_LISTEN:
        if (s.state == 2) s.state = 3;
        break;
    case AT_ST_RECV:
        if (ok) {
            const AtSlot &cnt = at_stack_data[2];
            const AtSlot &dat = at_stack_data[3];
            uint32_t c = cnt.ptr ? uint32_t(std::atoi(reinterpret_cast<const char *>(cnt.ptr))) : 0;
            if (dat.ptr == nullptr) c = 0;
            const uint32_t off = dat.ptr ? uint32_t(dat.ptr - s.data.data()) : 0;
            // The module's count never reaches past the bytes it sent.
            const uint32_t present = off < at_status.count ? at_status.count - off : 0;
            if (c > present) c = present;
            s.unread = uint16_t(c);
            s.read_idx = uint16_t(off);
            s.received += c;
            char m[80];
            std::snprintf(m, sizeof m, "\nReceived Data:%u  total:%u  offset:%u \n", unsigned(c), unsigned(s.received),
                          unsigned(off));
            DBG_WriteLog(1, m);
        }
        if (s.state == 8) s.state = 6;
        break;
    case AT_ST_SEND: {
        at_status.prompt &= uint8_t(~(AT_PR_SEEN | AT_PR_WAITING));
        char m[40];
        std::snprintf(m, sizeof m, "Data send time %u mS", unsigned((FPGA_GetFrt() - send_started) / 10));
        DBG_WriteLog(1, m);
        if (s.handed >= s.tx_len) {
            s.tx_len = 0;
            s.handed = 0;
        }
        break;
    }
    case AT_ST_CLOSE:
        if (!(s.flags & SOCKF_DIAL) && (s.flags & SOCKF_KEEP)) {
            s.state = 1;  // a listener listens again
        } else if (!(s.flags & SOCKF_DIAL)) {
            s.state = 1;
        } else {
            s.state = 0;
            s.conn_id = 0;
        }
        break;
    default: break;
    }
    AT_Idle();
}

}  // namespace

void DataConnectionLoop(uint32_t n) {
    if (n >= SOCK_COUNT) return;
    SocketInfo &s = socket_info_st[n];
    if (at_status.state == AT_ST_ACTIVATE ||
        (at_status.state == AT_ST_READY && SignalOk() && !(at_status.status & AT_STS_CONTEXT))) {
        DataContextActivation();
        return;
    }
    if (at_status.socket == n && at_status.loaded) {
        switch (at_status.state) {
        case AT_ST_LISTEN:
        case AT_ST_DIAL:
        case AT_ST_RECV:
        case AT_ST_ACCEPT:
        case AT_ST_SEND:
        case AT_ST_CLOSE: Continue(n); return;
        default: return;
        }
    }
    if (at_status.state != AT_ST_READY || !SignalOk() || !(at_status.status & AT_STS_CONTEXT)) return;
    // A dial is opening (2) from here on, also while it waits out the second
    // after the last dial; outside its script a dialling socket is in state
    // 2 only for that wait.
    if (s.state == 1 || (s.state == 2 && (s.flags & SOCKF_DIAL))) {
        if (s.flags & SOCKF_DIAL) {
            s.state = 2;
            if (dialled_once && !ModemTimer(&sock_last_dial, 10000)) return;
            Start(n, AT_ST_DIAL, 0);
        } else {
            s.state = 2;
            Start(n, AT_ST_LISTEN, 0);
        }
        return;
    }
    if (s.state >= 6 && s.tx_len) {
        const uint32_t c = uint32_t(s.tx_len - s.handed);
        ModemTimer(&send_started, 0);
        Start(n, AT_ST_SEND, c);
        s.handed = s.tx_len;
        s.sent += c;
        return;
    }
    if ((s.flags & SOCKF_KEEP) || s.state < 4) return;
    Start(n, AT_ST_CLOSE, 0);
}

void Sock_ApplyStatus(uint32_t id, uint32_t mstate, const char *line, uint32_t len) {
    if (id < 1 || id > SOCK_COUNT) return;
    SocketInfo &s = socket_info_st[id - 1];
    if (mstate >= 3) at_status.prompt &= uint8_t(~AT_PR_NO_CARRIER);
    switch (mstate) {
    case 0:
        // A socket whose open command has not been sent yet is closed at the
        // module anyway: its request stays.
        if (s.state < 3) break;
        // A kept listener that had a peer forgets it and listens again; any
        // other socket is free, and its user asks for it again.
        if (!(s.flags & SOCKF_DIAL) && (s.flags & SOCKF_KEEP) && s.host_len) {
            s.host_len = 0;
            s.host[0] = 0;
            s.peer_port[0] = 0;
            s.state = 1;
        } else {
            s.state = 0;
        }
        break;
    case 1: s.state = 6; break;
    case 2:
        s.state = 7;
        at_status.sent += s.sent;
        at_status.received += s.received;
        break;
    case 3:
        // The data is read whether or not a send is pending: the transmit
        // buffer is separate, and a program that keeps a byte queued at
        // every pass would otherwise never get to read.
        if (s.unread == 0 && at_status.state == AT_ST_READY) {
            s.state = 8;
            Start(id - 1, AT_ST_RECV, 0);
        } else {
            at_status.events |= AT_EV_SOCKET;
        }
        break;
    case 4: s.state = 4; break;
    case 5: {
        s.state = 5;
        if (s.host_len == 0) {
            // Fields 5 and 6: the peer's address and port, cut to their records.
            const char *f = line;
            const char *end = line + len;
            for (int k = 1; k < 5 && f; k++) {
                f = static_cast<const char *>(std::memchr(f, ',', size_t(end - f)));
                if (f) f++;
            }
            if (f) {
                const char *c = static_cast<const char *>(std::memchr(f, ',', size_t(end - f)));
                const std::size_t al = size_t((c ? c : end) - f);
                const std::size_t ak = al < s.host.size() - 1 ? al : s.host.size() - 1;
                std::memcpy(s.host.data(), f, ak);
                s.host[ak] = 0;
                s.host_len = uint16_t(ak);
                if (c) {
                    const char *pe = c + 1;
                    std::size_t pl = 0;
                    while (pe + pl < end && pe[pl] >= '0' && pe[pl] <= '9') pl++;
                    if (pl > s.peer_port.size() - 1) pl = s.peer_port.size() - 1;
                    std::memcpy(s.peer_port.data(), pe, pl);
                    s.peer_port[pl] = 0;
                }
            }
            char m[128];
            std::snprintf(m, sizeof m, "Socket Accept %u IP %s,Port %s\n", unsigned(id), s.host.data(),
                          s.peer_port.data());
            DBG_WriteLog(1, m);
        }
        if (at_status.state == AT_ST_READY) Start(id - 1, AT_ST_ACCEPT, 0);
        break;
    }
    default: break;
    }
}

uint32_t ModemDataConnRequest(const SockConnInfo &req) {
    if (req.socket >= SOCK_COUNT) return 1;
    SocketInfo &s = socket_info_st[req.socket];
    // The server name without its quotes; one longer than the record holds
    // is refused, as dialling it cut would reach another host.
    const char *h = req.host.data();
    std::size_t hl = strnlen(h, req.host.size());
    if (hl && h[0] == '"') {
        h++;
        hl--;
    }
    if (hl && h[hl - 1] == '"') hl--;
    if (hl > s.host.size() - 1) return 1;
    if (CheckInit() && s.state == 0) {
        s.conn_id = uint8_t(req.socket + 1);
        s.flags = uint8_t((req.flags & (SOCKF_UDP | SOCKF_DIAL)) | SOCKF_KEEP);
        s.port = req.port;
        s.ip = req.ip;
        std::memcpy(s.host.data(), h, hl);
        s.host[hl] = 0;
        s.host_len = uint16_t(hl);
        s.state = 1;
        if (!(at_status.status & AT_STS_CONTEXT)) DataConnectionLoop(req.socket);
    }
    return s.state < 6 ? 1 : 0;
}

uint32_t ModemDataDisConnRequest(uint32_t n) {
    if (n >= SOCK_COUNT) return 0;
    SocketInfo &s = socket_info_st[n];
    s.flags &= uint8_t(~SOCKF_KEEP);
    return s.state != 0 ? 1 : 0;
}

bool IsModemSocketActive(uint32_t port, uint32_t n) {
    // The built-in module sits on its own serial record (2) but carries the
    // programming port's traffic: Talk, the command protocol and serial
    // Modbus ask with the programming port and mean its sockets.
    const bool builtin = Modem_CellularOption() && at_status.port == MSG_CELL_PORT && port == MSG_PROG_PORT;
    if (n >= SOCK_COUNT || !TelitPowerON || (at_status.port != port && !builtin)) return false;
    return socket_info_st[n].state >= 6;
}

uint32_t ModemCheckRecv(uint32_t n) {
    if (n >= SOCK_COUNT) return 0;
    SocketInfo &s = socket_info_st[n];
    if (s.unread) return 1;
    if (n == 0 && s.read_idx != 0) {
        s.read_idx = 0;
        return 255;
    }
    return 0;
}

uint8_t ModemDataRecv(uint32_t n) {
    if (n >= SOCK_COUNT) return 0;
    SocketInfo &s = socket_info_st[n];
    if (s.unread == 0 || s.read_idx >= s.data.size()) return 0;
    s.unread--;
    return s.data[s.read_idx++];
}

uint32_t ModemDataSend(uint32_t n, const uint8_t *data, uint32_t len, uint32_t append) {
    if (n >= SOCK_COUNT || data == nullptr) return 1;
    SocketInfo &s = socket_info_st[n];
    if (s.state < 6) return 1;
    // Appended bytes go behind pending ones only when those are in the
    // transmit buffer too: behind a caller's own pending buffer they would
    // never be sent (that send is refused below instead).
    if (append && uint32_t(s.tx_len) + len < SOCK_TXMAX && (s.tx_len == 0 || s.tx_ptr == sock_tx[n].data())) {
        std::memcpy(sock_tx[n].data() + s.tx_len, data, len);
        s.tx_ptr = sock_tx[n].data();
        s.tx_len = uint16_t(s.tx_len + len);
        refusal_logged[n] = 0;
        return 0;
    }
    if (s.tx_len == 0 && len <= 0xFFFF) {
        s.tx_ptr = data;
        s.tx_len = uint16_t(len);
        refusal_logged[n] = 0;
        return 0;
    }
    s.flags |= SOCKF_REFUSED;
    if (!refusal_logged[n]) {
        DBG_WriteLog(1, "Socket Send ERROR,buffer overflow condition\n");
        refusal_logged[n] = 1;
    }
    return 1;
}

uint32_t ModemGetGPSData() { return 0; }
