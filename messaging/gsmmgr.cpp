// Modem manager: the modem's shared record, the initialisation machine of a
// GSM/GPRS modem with PAD commands, the answer classifier, the arbitration
// of the single modem between its users and the configuration refresh.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "io/io.h"
#include "messaging/atcmd.h"
#include "messaging/msghooks.h"
#include "messaging/sms.h"
#include "messaging/talk.h"

GsmInfo GSMGPRSInfo_St;
std::array<char, 352> GSMCmdBuf;
uint16_t GSMindex;
std::array<char, 23> NWOprtrName;
uint8_t NumericOprtCode;

namespace {

uint32_t gsm_timer_at, gsm_timer_ticks;
uint8_t init_entry;   // state 0: 0 first entry, 1 waiting for the delay, 2 second wait
uint8_t cmd_state;    // the command state whose answer state 25 waits for
uint8_t first_config = 1;
uint8_t op_failures;
uint8_t netip_queries;
uint32_t gsm_last_crc = 0xFFFFFFFFu;

constexpr uint32_t k10s = 100000, k120s = 1200000;

// A command line and CR; the answer buffer restarts.
void SendRaw(uint32_t port, const char *text) {
    Msg_FlushRx(port);
    Msg_PutsTx(port, text);
    Msg_PutTx(port, 13);
    Msg_RtuTx(port);
    GSMindex = 0;
    GSMCmdBuf[0] = 0;
}

// A command whose answer state 25 waits for, then goes on at `follow`.
void Send(uint32_t port, const char *text, uint8_t follow, uint32_t wait) {
    SendRaw(port, text);
    GSMTimer(wait);
    cmd_state = GSMGPRSInfo_St.b[3];
    GSMGPRSInfo_St.follow = follow;
    GSMGPRSInfo_St.b[3] = 25;
}

// The modem section of the messaging block ("EMSG" at its start), laid out
// as the programming tool writes it, u32 little-endian:
//   0 "EMSG"; 4 flags A: bit 1 keep a data call / dial out, bit 2 external
//   Telit module, bit 5 no wait for an IP address, bit 6 hold through
//   hand-overs; 5 flags B: bit 0 texts are register strings, bit 2 manual
//   operator, bit 3 destination address in a register, bit 4 hold registers
//   given, bit 5 destination port text given, bit 6 dial-up call; 6 hold time
//   (s); 8 hold register; 12 hold-time register; 16 status register;
//   20 destination IPv4 (first octet high) or its register;
//   24 APN, 32 user name, 40 password, 48 operator, 56 port text, each
//   {u32 offset into the block's data (before the section) or register bit
//   address, u32 length}.
// Sections found 48 or 36 bytes before the block's end hold the fields that
// fit; the others read as 0.
uint32_t gsm_sec, gsm_sec_len;

uint8_t SecU8(uint32_t off) { return off < gsm_sec_len ? sms_table_bl[gsm_sec + off] : 0; }
uint32_t SecU32(uint32_t off) { return off + 4 <= gsm_sec_len ? LE_Get32(&sms_table_bl[gsm_sec + off]) : 0; }

// A text of the section into out (at most cap - 1 characters); its length.
uint32_t SecText(uint32_t off, char *out, uint32_t cap) {
    const uint32_t where = SecU32(off), len = SecU32(off + 4);
    uint32_t n = 0;
    if (SecU8(5) & 0x01) {
        // A register string ends at a NUL or a double blank.
        for (; where && n + 1 < cap; n++) {
            uint8_t b = 0;
            if (!GSMPlcReg_Get(&b, where + 8 * n, 8) || b == 0) break;
            if (b == ' ' && n > 0 && out[n - 1] == ' ') {
                n--;
                break;
            }
            out[n] = char(b);
        }
    } else if (len && uint64_t(8) + where + len <= gsm_sec) {
        n = len < cap - 1 ? len : cap - 1;
        std::memcpy(out, &sms_table_bl[8 + where], n);
    }
    out[n] = 0;
    return n;
}

constexpr uint32_t kNever = 0xFFFFFFFFu;

// Hang-up steps.
uint8_t disc_step, disc_tries, disc_prev;
uint8_t listen_wait;

uint32_t PortOf() { return GSMGPRSInfo_St.b[4] & 0x0F; }

}  // namespace

SockConnInfo GSMToolConn;

void GSMTimerStop() {
    gsm_timer_at = FPGA_GetFrt();
    gsm_timer_ticks = kNever;
}

uint32_t GSMTimer(uint32_t ticks) {
    if (ticks) {
        gsm_timer_at = FPGA_GetFrt();
        gsm_timer_ticks = ticks;
        return 0;
    }
    if (gsm_timer_ticks == kNever) return 0;
    return FPGA_GetFrt() - gsm_timer_at >= gsm_timer_ticks ? 1 : 0;
}

uint32_t GSMResultCode(const char *buf, uint32_t len) {
    static constexpr struct {
        const char *text;
        uint32_t code;
    } kCodes[] = {{"OK", 0},   {"ERROR", 4},  {"CONNECT", 1},    {"NO CARRIER", 3},
                  {"RING", 2}, {"LISTEN", 6}, {"AT-Command", 4}, {"Enabler-II", 0}};
    for (const auto &c : kCodes) {
        const std::size_t n = std::strlen(c.text);
        for (uint32_t i = 0; i + n <= len; i++) {
            if (std::memcmp(buf + i, c.text, n) != 0) continue;
            if (c.text[0] == 'E' && c.text[1] == 'n' && i >= 2 && buf[i - 2] == 13 && buf[i - 1] == 10)
                GSMGPRSInfo_St.b[5] |= 0x40;  // the modem with the hardware reset
            return c.code;
        }
    }
    return 0xFFFE;
}

uint32_t GSMGetResult(uint32_t port) {
    while (Msg_CheckRx(port) == 1) {
        const uint8_t b = Msg_GetRx(port);
        if (b == '+') continue;
        if (GSMindex >= GSMCmdBuf.size() - 1) GSMindex = 0;  // more than the buffer: start again
        GSMCmdBuf[GSMindex++] = char(b);
        GSMCmdBuf[GSMindex] = 0;
        if (b != 13) continue;
        const uint32_t r = GSMResultCode(GSMCmdBuf.data(), GSMindex);
        if (r != 0xFFFE) return r;
    }
    return GSMTimer(0) ? 0xFFFD : 0xFFFE;
}

void GSMGPRSOprtor() {
    // The configured operator name: from the modem section when it selects
    // one, else configuration string 4 as it stands.
    if (GSMGPRSInfo_St.marker == GSM_MARKER && (SecU8(5) & 0x04)) {
        char t[23];
        const uint32_t n = SecText(48, t, sizeof t);
        AT_SetConfig(4, t, n);
    }
    const AtConfigStr &c = ConfigDataInStr[3];
    char name[23] = {};
    uint32_t k = 0, i = 0;
    while (i < c.len && c.text[i] == ' ') i++;
    for (; i < c.len && k < 22; i++) {
        const char ch = c.text[i];
        if (ch == ' ' && (i + 1 >= c.len || c.text[i + 1] == ' ' || c.text[i + 1] < 0x21 || c.text[i + 1] > 0x7A)) break;
        name[k++] = char(std::toupper(uint8_t(ch)));
    }
    bool digits = k > 0;
    for (uint32_t j = 0; j < k; j++) digits = digits && name[j] >= '0' && name[j] <= '9';
    std::memcpy(NWOprtrName.data(), name, k);
    NWOprtrName[k] = 0;
    NumericOprtCode = digits ? 1 : 0;
    if (digits && k < 22) {
        NWOprtrName[k] = '"';
        NWOprtrName[k + 1] = 0;
    }
    AT_SetConfig(4, name, k);
}

uint32_t GSMGPRSParm(uint32_t item, char *out, uint32_t cap) {
    GsmInfo &g = GSMGPRSInfo_St;
    if (cap < 2) return 0;
    // Length of a text written with snprintf, cut at the buffer.
    const auto Fit = [](uint32_t c, int n) { return n < 0 ? 0u : uint32_t(n) < c ? uint32_t(n) : c - 1; };
    out[0] = 0;
    if (g.marker != GSM_MARKER || gsm_sec_len == 0) {
        out[0] = char(0xFF);
        out[1] = 0;
        g.b[0] &= uint8_t(~0x01u);
        return 0;
    }
    char a[101], b[23];
    switch (item) {
    case 0: return (SecU8(5) & 0x40) ? 1 : 0;
    case 4: {
        const uint32_t n = SecText(24, a, sizeof a);
        AT_SetConfig(5, a, n);
        return Fit(cap, std::snprintf(out, cap, "\"%s\"", a));
    }
    case 5: {
        const uint32_t nu = SecText(32, a, 23), np = SecText(40, b, sizeof b);
        AT_SetConfig(7, a, nu);
        AT_SetConfig(8, b, np);
        return Fit(cap, std::snprintf(out, cap, "\"%s,%s\",0", a, b));
    }
    case 7: {
        if (g.owner != 2) return 0;
        if (SecU8(5) & 0x40) return Fit(cap, std::snprintf(out, cap, "1"));
        uint32_t ip = SecU32(20);
        if ((SecU8(5) & 0x08) && ip) {
            uint8_t v[4] = {};
            ip = GSMPlcReg_Get(v, ip, 32) ? LE_Get32(v) : 0;
        }
        if (ip == 0) return 0;
        char port[23] = "18501";
        if (SecU8(5) & 0x20) SecText(56, port, sizeof port);
        const uint32_t n = Fit(cap, std::snprintf(out, cap, "%u.%u.%u.%u/%s", ip >> 24, (ip >> 16) & 0xFF,
                                                  (ip >> 8) & 0xFF, ip & 0xFF, port));
        std::snprintf(g.dest.data(), g.dest.size(), "%s", out);  // the destination of the tool's call
        return n;
    }
    default: return 0;
    }
}

void string_init() {
    char t[128];
    const bool sec = GSMGPRSInfo_St.marker == GSM_MARKER && gsm_sec_len != 0;
    if (!sec || GSMGPRSParm(4, t, sizeof t) == 0) AT_SetConfig(5, "", 0);
    if (!sec || GSMGPRSParm(5, t, sizeof t) == 0) {
        AT_SetConfig(7, "", 0);
        AT_SetConfig(8, "", 0);
    }
}

uint32_t GSMGPRSParmInit() {
    GsmInfo &g = GSMGPRSInfo_St;
    const bool option = Modem_CellularOption() || io_init[1] == 0xDF0F || io_init[1] == 0xBF0F;
    if (!Sms_MagicIs1VMS() && !option) {
        g.b[0] &= uint8_t(~0x05u);
        g.b[1] &= uint8_t(~0x0Fu);
        g.hold_reg = g.hold_time_reg = 0;
        g.hold_time = 0;
        g.owner = g.pending = 0;
        gsm_sec_len = 0;
        return 0;
    }
    const uint32_t crc = LE_Get16(&sms_table_bl[0]);
    if (crc == gsm_last_crc || crc == 0xFFFF) return 1;
    gsm_last_crc = crc;
    ModemReset();
    g.b[0] &= uint8_t(~0x08u);
    const uint32_t w = PlcWord(290);
    if (w != 7 && w != 11 && w != 13) g.owner = g.pending = 0;
    g.b[5] &= uint8_t(~0x04u);
    // The modem section sits 96, 48 or 36 bytes before the block's end.
    const uint32_t end = 8 + LE_Get32(&sms_table_bl[4]);
    bool found = false;
    gsm_sec = gsm_sec_len = 0;
    for (uint32_t back : {96u, 48u, 36u}) {
        if (end < back + 8 || end > SMS_TABLE_BL_SIZE) continue;
        if (std::memcmp(&sms_table_bl[end - back], "EMSG", 4) == 0) {
            found = true;
            gsm_sec = end - back;
            gsm_sec_len = back;
            break;
        }
    }
    if (found) {
        g.marker = GSM_MARKER;
        const uint8_t fa = SecU8(4), fb = SecU8(5);
        g.b[1] = uint8_t((g.b[1] & ~0x8Eu) | (fa & 0x06) | ((fa & 0x40) ? 0x08 : 0) | ((fb & 0x04) ? 0x80 : 0));
        g.b[0] = uint8_t((g.b[0] & ~0x04u) | ((fa & 0x20) ? 0x04 : 0));
        g.hold_time = SecU8(6) < 10 ? 10 : SecU8(6);
        g.b[0] |= 1;
        g.b[1] |= 1;
        g.hold_reg = (fb & 0x10) ? SecU32(8) : 0;
        g.hold_time_reg = (fb & 0x10) ? SecU32(12) : 0;
        string_init();
        if (SecU32(16)) g.status_reg = SecU32(16);
    } else {
        g.b[1] = uint8_t((g.b[1] | 0x05) & ~0x8Au);
        g.b[0] = uint8_t((g.b[0] | 0x01) & ~0x04u);
        g.hold_time = 0;
        g.hold_reg = g.hold_time_reg = 0;
    }
    return 1;
}

namespace {

// Seconds of a hold: the hold-time register, else the configured hold time.
uint32_t HoldSeconds() {
    const GsmInfo &g = GSMGPRSInfo_St;
    uint8_t v[2] = {};
    if (g.hold_time_reg && GSMPlcReg_Get(v, g.hold_time_reg, 16)) return LE_Get16(v);
    return g.hold_time;
}

uint8_t HoldBit() {
    uint8_t bit = 0;
    if (!GSMGPRSInfo_St.hold_reg || !GSMPlcReg_Get(&bit, GSMGPRSInfo_St.hold_reg, 1)) return 0;
    return bit ? 1 : 0;
}

uint32_t sms_hold_at;
uint8_t sms_holding;

}  // namespace

uint32_t GSMHoldKeep() {
    if (!HoldBit()) {
        sms_holding = 0;
        return 0;
    }
    if (!sms_holding) {
        sms_holding = 1;
        sms_hold_at = FPGA_GetFrt();
    }
    if (FPGA_GetFrt() - sms_hold_at < HoldSeconds() * 10000u) return 1;
    const uint8_t zero = 0;
    GSMPlcReg_Set(GSMGPRSInfo_St.hold_reg, &zero, 1);
    sms_holding = 0;
    return 0;
}

uint32_t GSMGPRSRsrcMngr(uint32_t user, uint32_t op) {
    GsmInfo &g = GSMGPRSInfo_St;
    const uint32_t port = PortOf();
    switch (op) {
    case 0: return (g.owner == 0 || g.owner == user) ? 1 : 0;
    case 1: return g.owner == 3 ? 5 : g.owner == 4 ? 7 : g.owner;
    case 2:
        if (g.pending == 0 || (user == 4 && g.owner == 3) || ((user == 1 || user == 2) && g.owner == 4)) {
            g.pending = uint8_t(user);
            return 1;
        }
        return 0;
    case 3:
        if (g.owner == user) return 2;
        if (g.pending != 0 && g.pending != user) return 0;
        if ((user == 1 || user == 2) && (g.b[5] & 0x01)) {
            if (!(g.b[1] & 0x01)) return 0;
            if (Msg_GetDCD(port)) {
                // Back from command mode to the call's data.
                SendRaw(port, "ATO");
                GSMTimer(k10s);
                g.b[0] |= 0x20;
                g.conn_status = 1;
                g.b[3] = 32;
            }
            g.b[5] &= uint8_t(~0x01u);
        }
        g.owner = uint8_t(user);
        g.pending = 0;
        g.hold_start = 0;
        g.b[5] &= uint8_t(~0x10u);
        return 1;
    case 4:
        if (user == 3 || user == 4) {
            if (g.owner == user) g.owner = 0;
            return 1;
        }
        if (g.pending && g.hold_reg) {
            if (HoldBit()) {
                if (!(g.b[5] & 0x10)) {
                    g.b[5] |= 0x10;
                    g.b[1] |= 0x08;
                    g.hold_start = FPGA_GetFrt();
                }
            } else if (g.b[5] & 0x10) {
                g.b[5] &= uint8_t(~0x10u);
                g.hold_time = 10;
            }
            if (g.b[5] & 0x10) {
                if (Msg_CheckRx(port) == 1) {
                    g.hold_start = FPGA_GetFrt();  // data still flow: the owner keeps it
                    return 0;
                }
                if (FPGA_GetFrt() - g.hold_start < HoldSeconds() * 10000u) return 0;
                g.b[5] &= uint8_t(~0x10u);
            }
        }
        if (g.owner != user) return 1;
        if (!GSMSMSDisconnect(port, 1)) return 0;
        g.owner = 0;
        return 1;
    case 5:
        if (g.owner == 0) return 1;
        return GSMSMSDisconnect(port, g.owner != 3 || !(g.b[5] & 0x01));
    case 6:
        if (g.pending == user) g.pending = 0;
        if (g.owner == user) {
            if ((user == 1 || user == 2) && !GSMSMSDisconnect(port, 1)) return 0;
            g.owner = 0;
        }
        return 1;
    default: return 0;
    }
}

uint32_t GSMSMSDisconnect(uint32_t port, uint32_t immediate) {
    GsmInfo &g = GSMGPRSInfo_St;
    if (port == 0) Msg_SetCmdOverride(1);
    bool end = false;
    switch (disc_step) {
    case 0:
        disc_prev = g.b[3];
        disc_tries = 0;
        if (!immediate) {
            if (g.b[1] & 0x02) {
                end = true;  // the call is kept through the hand-over
                break;
            }
            // Escape to command mode with the guard times.
            Msg_Enable(port, 0);
            GSMTimer(11000);
            g.b[3] = 33;
            disc_step = 1;
            return 0;
        }
        if (!Msg_GetDCD(port)) {
            end = true;
            break;
        }
        GSMTimer(2500);
        g.b[3] = 33;
        disc_step = 4;
        return 0;
    case 1:
    case 6:
        // After the line's 1.1 s down: up again and the escape, 1.5 s guard.
        if (!GSMTimer(0)) return 0;
        Msg_Enable(port, 1);
        Msg_PutsTx(port, "+++");
        Msg_RtuTx(port);
        GSMTimer(15000);
        disc_step = uint8_t(disc_step + 1);
        return 0;
    case 2:
        if (!GSMTimer(0)) return 0;
        g.b[5] |= 0x01;  // left in command mode: escape pending
        end = true;
        break;
    case 4:
        if (!GSMTimer(0)) return 0;
        SendRaw(port, (g.b[1] & 0x01) ? "ATHS0=0" : "AT$AREG=0");
        GSMTimer(k10s);
        g.b[3] = 34;
        disc_step = 5;
        return 0;
    case 5: {
        const uint32_t r = GSMGetResult(port);
        if (r == 0xFFFE) return 0;
        if (r == 0xFFFD) {
            // No answer: drop the line, escape and try again (three times).
            if (++disc_tries >= 3) {
                end = true;
                break;
            }
            Msg_Enable(port, 0);
            GSMTimer(11000);
            disc_step = 6;
            return 0;
        }
        if (!Msg_GetDCD(port)) {
            g.b[0] &= uint8_t(~0x10u);
            if (r) g.conn_status = uint16_t(r);
            disc_prev = 0;
        }
        end = true;
        break;
    }

    case 7:
        if (!GSMTimer(0)) return 0;
        GSMTimer(1);
        disc_step = 4;
        return 0;
    default:
        end = true;
        break;
    }
    if (!end) return 0;
    Msg_FlushRx(port);
    g.b[0] &= uint8_t(~0x20u);
    if (g.b[3] == 33 || g.b[3] == 34) g.b[3] = disc_prev;
    disc_step = 0;
    return 1;
}

void ConnToolTelit() {
    GsmInfo &g = GSMGPRSInfo_St;
    if (Modem_CellularOption() && g.b[3] == 0) {
        g.b[3] = 31;
        return;
    }
    if (ModemDataConnRequest(GSMToolConn) != 0) {
        g.b[3] = 0;
        g.b[0] &= uint8_t(~0x30u);
        g.conn_status = 4;
    } else {
        g.conn_status = 1;
        g.b[3] = 32;
        g.b[0] |= 0x20;
    }
}

void CmdOvrd() {
    Msg_SetCmdOverride(1);
    const uint8_t *m = Vcomm_ModeRec(0);
    if (m == nullptr || m[0] != 9) Msg_Open(0, ComportCfg.data());
}

uint32_t GSMModemInit(uint32_t port) {
    GSMGPRSParmInit();
    GsmInfo &g = GSMGPRSInfo_St;
    char line[160];
    switch (g.b[3]) {
    case 0:
        if (init_entry == 0) {
            g.b[0] &= uint8_t(~0x20u);
            g.conn_status = 0xFFFE;
            Msg_Enable(port, 0);
            if (!(g.b[1] & 0x10)) {
                GSMTimer(150000);
                g.b[1] |= 0x10;
            } else {
                GSMTimer(11000);
            }
            if ((g.b[5] & 0x60) == 0x60) {
                IoCommReset(port, 1);
                IoCommPwr(port, 0);
            }
            init_entry = 1;
            return 0;
        }
        if (init_entry == 1) {
            if (!GSMTimer(0)) return 0;
            Msg_Enable(port, 1);
            if (!(g.b[5] & 0x20)) {
                Msg_PutsTx(port, "+++");
                Msg_RtuTx(port);
                GSMTimer(45000);
            } else {
                if (!(g.b[5] & 0x40)) {
                    Msg_PutsTx(port, "AT$RESET");
                    Msg_PutTx(port, 13);
                    Msg_RtuTx(port);
                } else {
                    IoCommReset(port, 0);
                    IoCommPwr(port, 1);
                }
                g.b[5] &= uint8_t(~0x20u);
                g.retries = 0;
                GSMTimer(150000);
            }
            init_entry = 2;
            return 0;
        }
        if (!GSMTimer(0)) return 0;
        init_entry = 0;
        g.b[3] = (g.b[0] & 0x08) ? 2 : 1;
        return 0;
    case 1: Send(port, "AT+IPR=115200", 2, k10s); return 0;
    case 2: Send(port, "ATE0HS0=0Q0V1&C1&D1", (g.b[0] & 0x08) ? 6 : 4, k10s); return 0;
    case 4: Send(port, "AT+GMM", 35, k10s); return 0;
    case 35: Send(port, "AT$NETMON=5,2,2,3", 3, k10s); return 0;
    case 3:
        if (g.b[5] & 0x40) {
            g.b[3] = 5;
            return 0;
        }
        Send(port, "AT+CFUN=1", 5, k10s);
        return 0;
    case 5: Send(port, "AT+FCLASS=0", 6, k10s); return 0;
    case 6: Send(port, "AT$AREG=0", (g.b[0] & 0x08) ? 8 : (g.b[1] & 0x80) ? 7 : 9, k10s); return 0;
    case 7:
        if (NumericOprtCode) {
            g.b[3] = 9;
            return 0;
        }
        g.b[1] |= 0x40;
        Send(port, "AT+COPS=?", 9, k120s);
        return 0;
    case 9:
        if (g.b[1] & 0x80) std::snprintf(line, sizeof line, "AT+COPS=1,2,\"%s", NWOprtrName.data());
        else std::snprintf(line, sizeof line, "AT+COPS=0");
        Send(port, line, 8, k120s);
        return 0;
    case 8:
        Send(port, "AT+CSQ", (g.b[0] & 0x08) ? ((g.b[1] & 1) ? 26 : 22) : 10, k10s);
        return 0;
    case 10: Send(port, "AT+CBST=7,0,1", 11, k10s); return 0;
    case 11:
        std::snprintf(line, sizeof line, "AT+CGDCONT=1,\"IP\",\"%.100s\"", ConfigDataInStr[4].text.data());
        Send(port, line, 12, k10s);
        return 0;
    case 12:
        std::snprintf(line, sizeof line, "AT%%CGPCO=1,\"%.22s,%.22s\",0", ConfigDataInStr[6].text.data(),
                      ConfigDataInStr[7].text.data());
        Send(port, line, 22, k10s);
        return 0;
    case 22:
        std::snprintf(line, sizeof line, "AT$HOSTIF= %c", (g.b[0] & 0x02) ? '2' : '1');
        Send(port, line, 13, k10s);
        return 0;
    case 13: Send(port, g.owner == 4 ? "AT$PADBLK=512" : "AT$PADBLK=512", 14, k10s); return 0;
    case 14: Send(port, "AT$PADTO=1", 15, k10s); return 0;
    case 15: Send(port, "AT$PADCMD=00", 16, k10s); return 0;
    case 16: Send(port, "AT$PADFWD=13", 17, k10s); return 0;
    case 17: Send(port, "AT$UDPAPI=,1", 18, k10s); return 0;
    case 18: Send(port, "AT$PADSRC=1001", 19, k10s); return 0;
    case 19: Send(port, "AT$PADDST=\"0.0.0.0\"", 20, k10s); return 0;
    case 20: Send(port, "AT$ACTIVE=0", 21, k10s); return 0;
    case 21: Send(port, "AT$AREG=2", (g.b[0] & 0x04) ? 26 : (g.b[0] & 0x02) ? 24 : 23, k10s); return 0;
    case 23:
        if (init_entry == 0) {
            GSMTimer(11000);
            init_entry = 1;
            return 0;
        }
        if (!GSMTimer(0)) return 0;
        init_entry = 0;
        Msg_FlushRx(port);
        Msg_PutsTx(port, "+++");
        Msg_RtuTx(port);
        GSMindex = 0;
        GSMTimer(15000);
        cmd_state = 23;
        g.follow = 24;
        g.b[3] = 25;
        return 0;
    case 24:
        netip_queries++;
        Send(port, "AT$NETIP?", 24, 50000);
        return 0;
    case 25: {
        const uint32_t r = GSMGetResult(port);
        if (r == 0xFFFE) return 0;
        if (r == 0xFFFD && g.follow == 24 && cmd_state == 23) {
            g.b[3] = 24;  // the escape has no answer of its own
            return 0;
        }
        if (r == 1 || r == 2 || (r == 3 && g.follow != 24)) {
            GSMindex = 0;
            return 0;
        }
        uint32_t res = (r == 3 && g.follow == 24) ? 0 : r;
        if ((g.b[5] & 0x40) && res == 4 && g.follow == 3) res = 0;
        if (g.follow == 24 && res == 0 && cmd_state == 24) {
            const char *n = std::strstr(GSMCmdBuf.data(), "NETIP");
            if (n) {
                const char *d = n + 5;
                while (*d && (*d < '0' || *d > '9')) d++;
                std::size_t k = 0;
                while (k + 1 < g.allocated_ip.size() && ((d[k] >= '0' && d[k] <= '9') || d[k] == '.')) {
                    g.allocated_ip[k] = d[k];
                    k++;
                }
                g.allocated_ip[k] = 0;
            }
            if ((n && g.allocated_ip[0] >= '1' && g.allocated_ip[0] <= '8') || netip_queries >= 2) {
                netip_queries = 0;
                g.follow = 26;
            }
        }
        if (res != 0) {
            if (first_config && (g.follow == 8 || g.follow == 9)) {
                if (cmd_state != 9 || ++op_failures >= 3) g.b[1] |= 0x20;
            }
            g.conn_status = uint16_t(res);
            g.b[0] |= 0x10;
            g.b[3] = 0;
            init_entry = 0;
            return res;
        }
        g.b[3] = g.follow;
        if (g.follow == 26) {
            first_config = 0;
            g.b[0] |= 0x18;
            if ((g.b[1] & 1) || ((g.b[0] & 4) && (g.b[1] & 2))) g.b[0] |= 0x80;
            else if (g.b[1] & 2) g.b[0] |= 0x40;
            g.b[3] = (g.b[0] & 0x40) ? 28 : 29;
        }
        return 0;
    }
    case 27:
        SendRaw(port, g.dest.data());
        GSMTimer(k10s);
        g.b[3] = 30;
        return 0;
    case 28:
        if (Msg_GetDCD(port)) {
            g.b[0] &= uint8_t(~0x10u);
            g.b[3] = 0;
            return 0;
        }
        std::snprintf(line, sizeof line, "%s%s", (g.b[0] & 0x02) ? "ATDT" : "ATDP",
                      (g.b[0] & 0x02) ? g.dest.data() : g.allocated_ip.data());
        SendRaw(port, line);
        GSMTimer(k120s);
        g.b[3] = 31;
        return 0;
    case 29: {
        if (!((g.b[0] & 0x04) && (g.b[1] & 0x02))) {
            SendRaw(port, "ATS0=1");
            GSMTimer(k10s);
            g.b[3] = 30;
            return 0;
        }
        if (!listen_wait) {
            GSMindex = 0;
            GSMTimer(k120s);
            listen_wait = 1;
        }
        const uint32_t r = GSMGetResult(port);
        if (r == 6) {
            listen_wait = 0;
            g.conn_status = 6;
            g.b[0] |= 0x20;
            GSMTimerStop();
            g.b[3] = 31;
        } else if (r == 0xFFFD) {
            listen_wait = 0;
            g.b[0] &= uint8_t(~0x30u);
            g.conn_status = 4;
            g.b[3] = 0;
        }
        return 0;
    }
    case 30: {
        const uint32_t r = GSMGetResult(port);
        if (r == 0xFFFE) return 0;
        if (r == 4 || r == 0xFFFD) {
            g.conn_status = uint16_t(r);
            g.b[0] &= uint8_t(~0x30u);
            g.b[3] = 0;
            return r;
        }
        if (r == 0) {
            if ((g.b[0] & 0xC0) == 0x80) {
                g.conn_status = 0;
                g.b[0] |= 0x20;
            }
            GSMTimerStop();
            GSMindex = 0;
            g.b[3] = 31;
        }
        return 0;
    }
    case 31: {
        const uint32_t r = GSMGetResult(port);
        if ((r == 1 || g.conn_status == 1) && Msg_GetDCD(port)) {
            g.b[3] = 32;
            g.b[0] |= 0x20;
            g.conn_status = 1;
            return 0;
        }
        if (r == 4 || r == 0xFFFD) {
            g.b[3] = 0;
            g.conn_status = 4;
            g.b[0] &= uint8_t(~0x30u);
            return 4;
        }
        if (r != 0xFFFE) {
            g.conn_status = uint16_t(r);
            GSMindex = 0;
        }
        return 0;
    }
    default:
        return 0;
    }
}

uint32_t GSMPlcReg_Get(void *buf, uint32_t addr, uint32_t width) { return PlcReg_Get(buf, addr, width); }
uint32_t GSMPlcReg_Set(uint32_t addr, const void *buf, uint32_t width) { return PlcReg_Set(addr, buf, width); }
uint32_t SMSPlcReg_Get(void *buf, uint32_t addr, uint32_t width) { return PlcReg_Get(buf, addr, width); }
uint32_t SMSPlcReg_Set(uint32_t addr, const void *buf, uint32_t width) { return PlcReg_Set(addr, buf, width); }
