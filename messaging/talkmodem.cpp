// Modem control on the programming port: the per-port modem record and its
// AT-command steps (initialisation string, dial, answer), the result-code
// reader and the timers.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "io/io.h"
#include "messaging/atcmd.h"
#include "messaging/messaging.h"
#include "messaging/msghooks.h"
#include "messaging/talk.h"
#include "protocols/mbserial.h"

ModemRec modem;
uint32_t modem_idle_start, modem_idle_period;
uint8_t GsmModem;

namespace {

constexpr const char *kInitString = "ATE0S0=0Q0V0X0&C1&D2";
constexpr uint32_t kGuard = 11000, kAfterEscape = 15000, kInitAnswer = 100000, kCommand = 1200000, kRing = 300000,
                   kDtrDrop = 2500, kGprsIdle = 9000000, kIpCall = 3600000;

constexpr uint32_t kWords = PLC_REG_SIZE / 2;

void Status(const ModemReq &r, uint16_t v) { ModemSetStatus(r, v); }
uint16_t StatusOf(const ModemReq &r) { return ModemStatusOf(r); }

void SendLine(uint32_t port, const char *text) {
    Msg_FlushRx(port);
    std::snprintf(modem.cmd.data(), modem.cmd.size(), "%s", text);
    Msg_PutsTx(port, text);
    Msg_PutTx(port, 13);
    Msg_RtuTx(port);
    modem.resp_idx = 0;
    modem.resp[0] = 0;
}

// The number of a dial request: inline text, or text read from registers (up
// to a zero, '.' or blank, at most 35 characters), cut to 22. An address
// (the option board's "a.b.c.d/port") is read from registers through its
// dots: stopped at the first one it would dial another host.
void DialNumber(const ModemReq &r, char *out, std::size_t len, bool address = false) {
    char t[40] = {};
    if (r.length >= 1024) {
        const uint32_t ref = r.text_ref ? r.text_ref : r.length;
        for (unsigned i = 0; i < 35; i++) {
            uint8_t b = 0;
            if (!PlcReg_Get(&b, ref + 8 * i, 8) || b == 0 || (b == '.' && !address) || b == ' ') break;
            t[i] = char(b);
        }
    } else {
        std::memcpy(t, r.text.data(), r.length < 39 ? r.length : 39);
    }
    t[22] = 0;
    std::snprintf(out, len, "%s", t);
}

// Cellular option board: the dial text is "a.b.c.d[/port]" for a data socket.
// False when an octet is above 255 or the port above 65535 (cut to 8 or 16
// bits such a number would reach another host or port), or when a dial has
// no whole address (it would dial 0.0.0.0); an answer needs none.
bool CellularRequest(const ModemReq &r, SockConnInfo &c) {
    char t[48];
    DialNumber(r, t, sizeof t, true);
    c = SockConnInfo{};
    static constexpr unsigned long kMax[5] = {255, 255, 255, 255, 65535};
    static constexpr char kSep[4] = {'.', '.', '.', '/'};
    unsigned long v[5] = {};
    int n = 0;
    const char *p = t;
    while (n < 5 && *p >= '0' && *p <= '9') {
        char *e = nullptr;
        v[n] = std::strtoul(p, &e, 10);  // a number too long for it reads as the largest
        if (v[n] > kMax[n]) return false;
        p = e;
        if (++n == 5 || *p != kSep[n - 1]) break;
        p++;
    }
    if (n < 4 && r.kind == 1) return false;
    if (n >= 4) c.ip = uint32_t(v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3]);
    c.port = uint16_t(n >= 5 ? v[4] : 1001);
    c.socket = 0;
    c.flags = uint8_t((r.option & 1) | (r.kind == 1 ? 2 : 0));
    return true;
}

SockConnInfo cell_req;

// A GSM modem of the modem manager serves this port (configuration present,
// no cellular option board, no external Telit module).
bool GsmManaged(uint32_t port) {
    const GsmInfo &g = GSMGPRSInfo_St;
    return port == 0 && !Modem_CellularOption() && g.marker == GSM_MARKER && (g.b[kGsmCall] & kGsmCallConfigured) &&
           !(g.b[kGsmConfig] & kGsmCfgTelit);
}

// The dial text for the modem manager: "IPBN" + address (4 bytes) + port (2
// bytes), each low byte first, becomes "a.b.c.d/port"; of any text only
// digits, '.', '/' and '+' are kept. Registers are read whole, not up to a
// '.': the "IPBN" form holds binary bytes, and a '.' marks an IP call.
void GsmDialText(const ModemReq &r, char *out, std::size_t cap) {
    uint8_t raw[40] = {};
    uint32_t n = 0;
    if (r.length >= 1024) {
        const uint32_t ref = r.text_ref ? r.text_ref : r.length;
        for (; n < 35; n++)
            if (!PlcReg_Get(&raw[n], ref + 8 * n, 8)) break;
    } else {
        n = r.length < 39 ? r.length : 39;
        std::memcpy(raw, r.text.data(), n);
    }
    char t[48];
    if (n >= 10 && (raw[0] | 0x20) == 'i' && (raw[1] | 0x20) == 'p' && (raw[2] | 0x20) == 'b' &&
        (raw[3] | 0x20) == 'n') {
        std::snprintf(t, sizeof t, "%u.%u.%u.%u/%u", raw[7], raw[6], raw[5], raw[4], unsigned(raw[8] | raw[9] << 8));
    } else {
        uint32_t k = 0;
        for (uint32_t i = 0; i < n && raw[i] && raw[i] != ' '; i++) t[k++] = char(raw[i]);
        t[k] = 0;
    }
    std::size_t k = 0;
    for (const char *p = t; *p && k + 1 < cap; p++)
        if ((*p >= '0' && *p <= '9') || *p == '.' || *p == '/' || *p == '+') out[k++] = *p;
    out[k] = 0;
}

// A verbose modem's response text (zero-terminated) goes behind the
// caller's status word: into the IEC request record up to its end, or into
// the registers that follow the status register.
void CopyResponse(const ModemReq &r) {
    const char *t = modem.resp.data();
    const std::size_t n = strnlen(t, modem.resp.size() - 1);
    if (r.status_at != nullptr) {
        constexpr std::size_t kRoom = Z7MODEM_TEXT + Z7MODEM_TEXTMAX - 6;  // record bytes behind the status
        const std::size_t k = n < kRoom - 1 ? n : kRoom - 1;
        std::memcpy(r.status_at + 2, t, k);
        r.status_at[2 + k] = 0;
        return;
    }
    if (r.status >= kWords - 1) return;
    const std::size_t room = 2 * std::size_t(kWords - 1 - r.status);
    const std::size_t k = n < room - 1 ? n : room - 1;
    uint8_t *p = &plc_reg[2 * std::size_t(r.status + 1)];
    std::memcpy(p, t, k);
    p[k] = 0;
}

bool GsmIpPending() {
    const GsmInfo &g = GSMGPRSInfo_St;
    return g.ip_call && (g.b[kGsmCall] & (kGsmCallIpOut | kGsmCallIpIn));
}

// The manager holds the modem for an IP call in (listening).
bool GsmListens() {
    const GsmInfo &g = GSMGPRSInfo_St;
    return modem.gsm && g.ip_call && (g.b[kGsmCall] & kGsmCallIpIn);
}

}  // namespace

uint16_t ModemStatusOf(const ModemReq &r) {
    if (r.status_at != nullptr) return LE_Get16(r.status_at);
    // Any register word: a status register in %AI, %M, %T, %I or %Q lies
    // below word 1024 (the operand is a register, checked by its caller).
    return r.status < kWords ? PlcWord(r.status) : 0;
}

void ModemSetStatus(const ModemReq &r, uint16_t v) {
    if (r.status_at != nullptr)
        LE_Put16(r.status_at, v);
    else if (r.status < kWords)
        PlcWordSet(r.status, v);
}

uint32_t Modem_CellularOption() {
    switch (io_init[1]) {
    case 0x6F0F:
    case 0xEF0F:
    case 0x6E0F:
    case 0xEE0F:
    case 0xAF0F:
    case 0xAE0F: return 1;
    default: return 0;
    }
}

void ModemTalkTimer(uint32_t period) {
    modem.t_start = FPGA_GetFrt();
    modem.t_period = period;
}

uint32_t ModemTalkExpired() {
    if (modem.t_period < 1) return 0;
    return FPGA_GetFrt() - modem.t_start >= modem.t_period ? 1 : 0;
}

uint32_t GPRSIdleTimer(uint32_t period) {
    if (period) {
        modem_idle_start = FPGA_GetFrt();
        modem_idle_period = period;
        return 0;
    }
    return (modem_idle_period && FPGA_GetFrt() - modem_idle_start >= modem_idle_period) ? 1 : 0;
}

uint32_t ResultToBin(const char *line) {
    if (GsmModem) {
        static constexpr struct {
            const char *text;
            uint32_t code;
        } kVerbose[] = {{"OK", 0},   {"ERROR", 4},  {"CONNECT", 1},   {"NO CARRIER", 3},
                        {"RING", 2}, {"LISTEN", 6}, {"AT-Command", 4}};
        for (const auto &v : kVerbose)
            if (std::strstr(line, v.text)) return v.code;
        return MODEM_BUSY;
    }
    if (line[0] == 0) return MODEM_BUSY;
    if (std::strcmp(line, modem.cmd.data()) == 0) return MODEM_BUSY;  // the echo of our command
    // The echo of a command longer than the response line arrives cut to
    // the line: a full line that starts the command is that echo too (a long
    // initialisation string would otherwise read as an error).
    const std::size_t full = modem.resp.size() - 1;
    if (strnlen(line, full + 1) == full && std::strncmp(line, modem.cmd.data(), full) == 0) return MODEM_BUSY;
    // A '+' restarts the line: the echo of a command holding one arrives as
    // the text behind its last '+' (an international number would otherwise
    // read as a CONNECT, an "AT+..." command as an error).
    const char *tail = std::strrchr(modem.cmd.data(), '+');
    if (tail != nullptr && tail[1] != 0 &&
        (std::strcmp(line, tail + 1) == 0 ||
         (strnlen(line, full + 1) == full && std::strncmp(line, tail + 1, full) == 0)))
        return MODEM_BUSY;
    if (std::strcmp(line, "OK") == 0) return 0;
    bool digits = true;
    for (const char *p = line; *p; p++) digits = digits && *p >= '0' && *p <= '9';
    if (!digits) return 4;
    // Every number of 5 or more is a CONNECT, however many digits it has
    // (leading zeros do not make a number larger).
    const char *v_at = line;
    while (v_at[0] == '0' && v_at[1] != 0) v_at++;
    if (std::strlen(v_at) > 6) return 1;
    const long v = std::strtol(v_at, nullptr, 10);
    if (v == 1 || v >= 5) return 1;
    return uint32_t(v);
}

uint32_t GetResult(uint32_t port) {
    while (Msg_CheckRx(port) == 1) {
        const uint8_t b = Msg_GetRx(port);
        if (b == 10 || b == '+') {
            if (!GsmModem) modem.resp_idx = 0;
            continue;
        }
        if (b == 0 && GsmModem) continue;
        if (b != 13) {
            if (modem.resp_idx < modem.resp.size() - 1) modem.resp[modem.resp_idx++] = char(b);
            continue;
        }
        modem.resp[modem.resp_idx] = 0;
        const uint32_t r = ResultToBin(modem.resp.data());
        if (r == MODEM_BUSY && GsmModem) {
            // A verbose modem's information lines stay in the response line
            // (a CR apart) until a result ends it; room is left for that.
            const uint32_t i = modem.resp_idx;
            if (i == 0 || modem.resp[i - 1] == 13) continue;  // an empty line
            if (i < modem.resp.size() / 2) {
                modem.resp[modem.resp_idx++] = 13;
                continue;
            }
        }
        modem.resp_idx = 0;
        if (r == MODEM_BUSY) continue;
        if (r == 1 && Msg_GetDCD(port)) Msg_FlushRx(port);
        return r;
    }
    return ModemTalkExpired() ? MODEM_TIMEOUT : MODEM_BUSY;
}

void ModemInit(uint32_t port) {
    Msg_Enable(port, 0);
    modem.busy = 0;
    modem.step = {};
    modem.connected = 0;
    modem.hangup = 0;
}

uint32_t ModemStart(uint32_t port, const ModemReq &req) {
    if (modem.busy || req.kind > 2) return 0;
    modem.busy = 1;
    modem.slot[req.kind] = req;
    Status(req, MODEM_BUSY);
    ModemTalkTimer(kGuard);
    modem.step[req.kind] = kModemStart;
    modem.socket_asked = 0;
    // A hang-up the last stop began on the manager's modem (2) is kept: the
    // start finishes it before it takes the modem again, or the call it was
    // ending would stay up.
    if (modem.gsm != 2) modem.gsm = 0;
    modem.counted = 0;
    modem_idle_period = 0;             // an idle time-out belongs to the call that started it
    if (port == 0) GSMGPRSParmInit();  // a modem section read once per block
    GsmModem = GsmManaged(port) ? 1 : 0;
    return 1;
}

uint32_t ModemStop(uint32_t port, uint32_t kind) {
    if (kind > 2) return 0;
    ModemReq &r = modem.slot[kind];
    if (modem.step[kind] == kModemIdle) {
        // Nothing runs for this kind (a close stopped it, or it never ran):
        // the stop is done, so the Talk layer takes the falling enable and
        // the next rise starts a new request. A running request is stopped
        // below whatever its status word says.
        Status(r, MODEM_IDLE);
        return 1;
    }
    if (modem.gsm) {
        // The manager owns the modem: give it back (it hangs up first).
        modem.gsm = GSMGPRSRsrcMngr(1, 6) ? 0 : 2;
        modem.connected = 0;
        MOD_TCPInit(0, port);
    } else if (kind != 0) {
        if (Modem_CellularOption()) {
            ModemDataDisConnRequest(0);
            MOD_TCPInit(0, port);
        } else {
            // Hang up: the line drops for 250 ms (raised again by ModemCycle,
            // so the scan never waits).
            Msg_Enable(port, 0);
            modem.hangup = 1;
            modem.hang_at = FPGA_GetFrt();
        }
        modem.connected = 0;
    }
    modem.busy = 0;
    modem.step[kind] = kModemIdle;
    modem_idle_period = 0;
    Status(r, MODEM_IDLE);
    return 1;
}

void ModemHangupPoll() {
    if (modem.gsm == 2 && GSMGPRSRsrcMngr(1, 6)) modem.gsm = 0;
    if (modem.hangup && FPGA_GetFrt() - modem.hang_at >= kDtrDrop) {
        modem.hangup = 0;
        Msg_Enable(0, 1);
        Msg_FlushRx(0);
    }
}

namespace {

// kModemStart with the modem manager's GSM modem: the modem taken from the
// manager and initialised by it; configured, the call is made by the
// manager (IP) or by this request (circuit).
uint32_t StepGsmStart(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    GsmModem = 1;
    GsmInfo &g = GSMGPRSInfo_St;
    if (modem.gsm == 2) {
        // The hang-up of the last stop first; the modem is taken anew on
        // the next pass.
        if (GSMGPRSRsrcMngr(1, 6)) modem.gsm = 0;
        Status(r, MODEM_BUSY);
        return 0;
    }
    if (!modem.gsm) {
        if (GSMGPRSRsrcMngr(1, 0) == 0 || GSMGPRSRsrcMngr(1, 3) == 0) {
            GSMGPRSRsrcMngr(1, 2);
            Status(r, MODEM_BUSY);  // another user still has it
            return 0;
        }
        modem.gsm = 1;
        if (kind == 1)
            GsmDialText(r, g.dest.data(), g.dest.size());
        else
            g.dest[0] = 0;
        g.ip_call = std::strchr(g.dest.data(), '.') ? 1 : 0;
        GSMModemRestart();
    }
    const uint32_t res = GSMModemInit(port);
    if (res == kGsmError || res == MODEM_TIMEOUT) {
        Status(r, uint16_t(res));
        step = kModemFailed;
        return 0;
    }
    Status(r, MODEM_BUSY);
    if (g.b[kGsmState] == kGsmDial || g.b[kGsmState] == kGsmListen) {
        // Configured: an IP call is made by the manager in the
        // direction of the request, a circuit call by this slot.
        if (g.ip_call && kind != 0) {
            g.b[kGsmCall] = uint8_t((g.b[kGsmCall] & ~unsigned(kGsmCallIpOut | kGsmCallIpIn)) |
                                    (kind == 1 ? kGsmCallIpOut : kGsmCallIpIn));
            g.b[kGsmState] = kind == 1 ? kGsmDial : kGsmListen;
        } else {
            g.b[kGsmState] = kGsmReady;
        }
        if (g.ip_call) MOD_TCPInit(1, port);  // serial Modbus frames travel with an MBAP header
        step = kModemCommand;
    }
    return 0;
}

// kModemStart: the option board's socket, the manager's modem, or after the
// guard time the escape of a plain modem.
uint32_t StepStart(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    if (Modem_CellularOption() != 0 && kind != 0) {
        if (!CellularRequest(r, cell_req)) {
            Status(r, 4);  // no address: nothing is asked of the module
            step = kModemFailed;
            return 0;
        }
        MOD_TCPInit(1, port);  // serial Modbus frames travel with an MBAP header
        step = kModemOnline;
        return 0;
    }
    if (GsmManaged(port)) return StepGsmStart(port, kind, r, step);
    if (!ModemTalkExpired()) return 0;
    Msg_Enable(port, 1);
    Msg_PutsTx(port, "+++");
    Msg_RtuTx(port);
    ModemTalkTimer(kAfterEscape);
    step = kModemEscape;
    return 0;
}

// kModemCommand: the request's line (an AT command, auto-answer after N
// rings, or the dial) — or, for the manager's IP call, its wait.
uint32_t StepCommand(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    if (modem.gsm && GsmIpPending()) {
        ModemTalkTimer(kIpCall);
        step = kModemAnswer;
        return 0;
    }
    char line[sizeof modem.cmd];
    if (kind == 0) {
        char t[sizeof r.text] = {};
        std::memcpy(t, r.text.data(), r.length < sizeof t - 1 ? r.length : sizeof t - 1);
        std::snprintf(line, sizeof line, "AT%s", t);
    } else if (kind == 2) {
        std::snprintf(line, sizeof line, "ATS0=%03u", unsigned(r.rings % 1000));
    } else {
        char num[40];
        DialNumber(r, num, sizeof num);
        std::snprintf(line, sizeof line, "ATD%c%s", (r.option & 1) ? 'P' : 'T', num);
    }
    SendLine(port, line);
    ModemTalkTimer(kCommand);
    step = kModemAnswer;
    return 0;
}

// kModemAnswer with the manager making an IP call: its states give the result.
uint32_t StepGsmCall(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    const GsmInfo &g = GSMGPRSInfo_St;
    GSMModemInit(port);
    if (g.b[kGsmState] == kGsmConnected) {
        Status(r, 1);
        modem.connected = 1;
        GPRSIdleTimer(kGprsIdle);
        step = kModemOnline;
    } else if (g.conn_status == kGsmListening && kind == 2) {
        Status(r, 6);
        ModemTalkTimer(0);
    } else if (g.b[kGsmState] == kGsmPowerUp) {
        Status(r, 4);
        step = kModemFailed;
    } else if (ModemTalkExpired()) {
        Status(r, MODEM_TIMEOUT);
        step = kModemFailed;
    }
    return 0;
}

// kModemAnswer: the answer of the request's line.
uint32_t StepAnswer(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    if (modem.gsm && GsmIpPending()) return StepGsmCall(port, kind, r, step);
    const uint32_t res = GetResult(port);
    if (res == MODEM_BUSY) return 0;
    if (res == MODEM_TIMEOUT) {
        Status(r, MODEM_TIMEOUT);
        step = kModemFailed;
        return 0;
    }
    // A verbose dial's other answers (an OK, a RING) leave the status busy
    // until the call's own result, which sets it below.
    if (!GsmModem || kind != 1) Status(r, uint16_t(res));
    if (kind == 0) {
        if (res == 0 && GsmModem) CopyResponse(r);
        step = res ? kModemFailed : kModemOnline;
    } else if (kind == 2) {
        if (res) {
            step = kModemFailed;
        } else {
            ModemTalkTimer(0);
            step = kModemOnline;
        }
    } else if (!GsmModem) {
        if (res == 1) {
            modem.connected = 1;
            step = kModemOnline;
        } else {
            step = kModemFailed;
        }
    } else {
        if (res == 1) {
            modem.connected = 1;
            Status(r, 1);
            step = kModemOnline;
        } else if (res == 3) {
            modem.connected = 0;
            Status(r, 3);
            step = kModemOnline;
        } else if (res == 4) {
            // The call's own result: the status says so on this pass.
            Status(r, 4);
            Msg_FlushRx(port);
            step = kModemFailed;
        }
    }
    return 0;
}

// kModemOnline on the option board: the data socket's state.
uint32_t StepCellularOnline(ModemReq &r) {
    const uint32_t g = ModemDataConnRequest(cell_req);
    if (g == 0) {
        Status(r, 1);
        modem.connected = 1;
        return 1;
    }
    if (socket_info_st[0].state == 4) {
        Status(r, 6);
        modem.connected = 1;
    } else {
        Status(r, MODEM_BUSY);
        modem.connected = 0;
    }
    return 0;
}

// kModemOnline before the call is up: RING, CONNECT and the failures.
uint32_t StepAwaitCall(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    const uint32_t res = GetResult(port);
    if (res != MODEM_BUSY) {
        if (kind == 2) {
            if (res == 2) {
                Status(r, 2);
                ModemTalkTimer(kRing);
            } else if (res == 1) {
                Status(r, 1);
                modem.connected = 1;
            } else {
                Status(r, 3);
                ModemTalkTimer(0);
                Msg_FlushRx(port);
            }
        } else if (!GsmModem) {
            // A numeric modem's word after a lost carrier ends the call with
            // it: "3" (NO CARRIER) stays 3 and silence 65533, so the caller
            // tells a lost carrier from a modem that no longer answers.
            Status(r, uint16_t(res));
            step = kModemFailed;
            Msg_FlushRx(port);
        } else if (res == 1 && Msg_GetDCD(port)) {
            Status(r, 1);
            modem.connected = 1;
            GPRSIdleTimer(kGprsIdle);
        } else if (res == 6) {
            Status(r, 6);
            ModemTalkTimer(0);
        } else if (res == 3) {
            Status(r, 3);
        } else if (res == 4 || res == MODEM_TIMEOUT) {
            Status(r, uint16_t(res));
            step = kModemFailed;
            Msg_FlushRx(port);
        }
        Msg_Enable(port, 1);
    }
    return (modem.connected && Msg_GetDCD(port)) ? 1 : 0;
}

// kModemOnline with the call up: the carrier and the idle time watched.
uint32_t StepConnected(uint32_t port, uint32_t kind, ModemReq &r, uint8_t &step) {
    if (!Msg_GetDCD(port)) {
        if (GsmModem && modem.lost_passes < 4) {
            modem.lost_passes++;
            return 0;
        }
        modem.lost_passes = 0;
        Msg_Enable(port, 0);
        modem.connected = 0;
        if (kind == 2)
            Status(r, 3);
        else if (GsmListens())
            Status(r, 6);
        ModemTalkTimer(kInitAnswer);
        return 0;
    }
    modem.lost_passes = 0;
    const uint32_t c = Msg_CheckRx(port);
    // A byte waiting (re)starts a dialled call's idle time: a numeric modem's
    // call has none running until its first byte, and would otherwise
    // never idle out.
    if (c == 1 && (kind == 1 || modem_idle_period))
        GPRSIdleTimer(kGprsIdle);
    else if (c == 255)
        Msg_InitWait(port, 100, 1);
    if (GPRSIdleTimer(0)) {
        step = kModemFailed;
        modem.connected = 0;
        modem_idle_period = 0;
        return 0;
    }
    return 1;
}

}  // namespace

uint32_t ModemExecute(uint32_t port, uint32_t kind) {
    if (kind > 2) return 0;
    ModemReq &r = modem.slot[kind];
    uint8_t &step = modem.step[kind];
    switch (step) {
    case kModemStart: return StepStart(port, kind, r, step);
    case kModemEscape:
        if (!ModemTalkExpired()) return 0;
        SendLine(port, kInitString);
        ModemTalkTimer(kInitAnswer);
        step = kModemInitAnswer;
        return 0;
    case kModemInitAnswer: {
        const uint32_t res = GetResult(port);
        if (res == MODEM_BUSY) return 0;
        if (res == 0) {
            step = kModemCommand;
            return 0;
        }
        Status(r, uint16_t(res));
        step = kModemFailed;
        return 0;
    }
    case kModemCommand: return StepCommand(port, kind, r, step);
    case kModemAnswer: return StepAnswer(port, kind, r, step);
    case kModemFailed: {
        if (GsmModem) {
            Msg_FlushRx(port);
            if (!modem.counted) GSMGPRSInfo_St.calls++;  // once per ended request
            modem.counted = 1;
        }
        const uint16_t s = StatusOf(r);
        if (s != 3 && s != MODEM_TIMEOUT && s != 4) Status(r, 4);
        return 0;
    }
    case kModemOnline:
        if (kind == 0) return 1;
        if (Modem_CellularOption() != 0) return StepCellularOnline(r);
        if (!modem.connected) return StepAwaitCall(port, kind, r, step);
        return StepConnected(port, kind, r, step);
    default: return 0;
    }
}

uint32_t Z7ModemExecute(uint32_t port, uint32_t kind) { return ModemExecute(port, kind); }
