// Modem manager: the modem's shared record, the initialisation machine of a
// GSM/GPRS modem with PAD commands, the answer classifier, the arbitration
// of the single modem between its users and the configuration refresh.
#include <cctype>
#include <cstdio>
#include <cstdlib>
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
uint8_t init_entry;  // state 0: 0 first entry, 1 waiting for the delay, 2 second wait
uint8_t cmd_state;   // the command state whose answer state 25 waits for
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
    cmd_state = GSMGPRSInfo_St.b[kGsmState];
    GSMGPRSInfo_St.follow = follow;
    GSMGPRSInfo_St.b[kGsmState] = kGsmAwaitAnswer;
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
//   24 APN, 32 user name, 40 password, 48 operator, 56 port text, and the
//   texts of configuration items 1, 2, 3 and 6 at 64, 72, 80 and 88, each
//   {u32 offset into the block's data (before the section) or register bit
//   address, u32 length}; a length of 0 (and, with register texts, an
//   address of 0) is an empty text.
// Sections found 48 or 36 bytes before the block's end hold the fields that
// fit; the others read as 0.
constexpr uint32_t kSecFlagsA = 4, kSecFlagsB = 5, kSecHoldTime = 6, kSecHoldReg = 8, kSecHoldTimeReg = 12,
                   kSecStatusReg = 16, kSecDestIp = 20, kSecApn = 24, kSecUser = 32, kSecPassword = 40,
                   kSecOperator = 48, kSecPortText = 56, kSecItem1 = 64, kSecItem2 = 72, kSecItem3 = 80, kSecItem6 = 88;
constexpr uint8_t kSecAKeepCall = 0x02, kSecATelit = 0x04, kSecANoIpWait = 0x20, kSecAHoldOver = 0x40;
constexpr uint8_t kSecBRegTexts = 0x01, kSecBManualOperator = 0x04, kSecBDestInReg = 0x08, kSecBHoldRegs = 0x10,
                  kSecBPortText = 0x20, kSecBDialUp = 0x40;
uint32_t gsm_sec, gsm_sec_len;

uint8_t SecU8(uint32_t off) { return off < gsm_sec_len ? sms_table_bl[gsm_sec + off] : 0; }
uint32_t SecU32(uint32_t off) { return off + 4 <= gsm_sec_len ? LE_Get32(&sms_table_bl[gsm_sec + off]) : 0; }

// A text of the section into out (at most cap - 1 characters); its length.
uint32_t SecText(uint32_t off, char *out, uint32_t cap) {
    const uint32_t where = SecU32(off), len = SecU32(off + 4);
    uint32_t n = 0;
    if (SecU8(kSecFlagsB) & kSecBRegTexts) {
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
        // A field padded with NULs ends at the first: a NUL byte would go
        // into an AT command line, and a padded numeric operator would no
        // longer read as digits only.
        n = uint32_t(strnlen(reinterpret_cast<const char *>(&sms_table_bl[8 + where]), len < cap - 1 ? len : cap - 1));
        std::memcpy(out, &sms_table_bl[8 + where], n);
    }
    out[n] = 0;
    return n;
}

constexpr uint32_t kNever = 0xFFFFFFFFu;

// Hang-up steps.
uint8_t disc_step, disc_tries, disc_prev;
uint8_t listen_wait;

uint32_t PortOf() { return GSMGPRSInfo_St.b[kGsmPort] & kGsmPortMask; }

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
    } kCodes[] = {
        {"OK", kGsmOk},     {"ERROR", kGsmError},      {"CONNECT", kGsmConnect},  {"NO CARRIER", kGsmNoCarrier},
        {"RING", kGsmRing}, {"LISTEN", kGsmListening}, {"AT-Command", kGsmError}, {"Enabler-II", kGsmOk}};
    for (const auto &c : kCodes) {
        const std::size_t n = std::strlen(c.text);
        for (uint32_t i = 0; i + n <= len; i++) {
            if (std::memcmp(buf + i, c.text, n) != 0) continue;
            if (c.text[0] == 'E' && c.text[1] == 'n' && i >= 2 && buf[i - 2] == 13 && buf[i - 1] == 10)
                GSMGPRSInfo_St.b[kGsmRun] |= kGsmRunHwReset;  // the modem with the hardware reset
            return c.code;
        }
    }
    return kGsmNoAnswer;
}

uint32_t GSMGetResult(uint32_t port) {
    while (Msg_CheckRx(port) == 1) {
        const uint8_t b = Msg_GetRx(port);
        // '+' is dropped; line feeds stay, as the hardware-reset modem is told
        // by the CR LF before its "Enabler-II".
        if (b == '+') continue;
        if (GSMindex >= GSMCmdBuf.size() - 1) GSMindex = 0;  // more than the buffer: start again
        GSMCmdBuf[GSMindex++] = char(b);
        GSMCmdBuf[GSMindex] = 0;
        if (b != 13) continue;
        const uint32_t r = GSMResultCode(GSMCmdBuf.data(), GSMindex);
        if (r != kGsmNoAnswer) return r;
    }
    return GSMTimer(0) ? kGsmTimedOut : kGsmNoAnswer;
}

void GSMGPRSOprtor() {
    // The configured operator name: from the modem section when it selects
    // one, else configuration string 4 as it stands.
    if (GSMGPRSInfo_St.marker == GSM_MARKER) {
        // A section without a manual operator names none: the text of an
        // earlier section must not stay in use.
        char t[23] = {};
        uint32_t n = 0;
        const uint8_t fb = SecU8(kSecFlagsB);
        if ((fb & kSecBManualOperator) && (fb & kSecBRegTexts)) {
            // A register string is read whole (22 characters, up to a NUL):
            // blanks in front of the name are skipped below, where a text
            // read up to a double blank would end before the name.
            const uint32_t where = SecU32(kSecOperator);
            if (where && GSMPlcReg_Get(t, where, 176)) n = uint32_t(strnlen(t, 22));
            t[n] = 0;
        } else if (fb & kSecBManualOperator) {
            n = SecText(kSecOperator, t, sizeof t);
        }
        AT_SetConfig(4, t, n);
    }
    const AtConfigStr &c = ConfigDataInStr[3];
    char name[23] = {};
    uint32_t k = 0, i = 0;
    while (i < c.len && c.text[i] == ' ') i++;
    for (; i < c.len && k < 22; i++) {
        const char ch = c.text[i];
        if (ch == ' ' && (i + 1 >= c.len || c.text[i + 1] == ' ' || c.text[i + 1] < 0x21 || c.text[i + 1] > 0x7A))
            break;
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
        g.b[kGsmCall] &= uint8_t(~kGsmCallConfigured);
        return 0;
    }
    char a[101], b[23];
    switch (item) {
    case 0: return (SecU8(kSecFlagsB) & kSecBDialUp) ? 1 : 0;
    case 1:
    case 2:
    case 3:
    case 6: {
        // Short texts (at most 22 characters), copied NUL-terminated; their
        // answer is 1 whatever the text's length, an empty one included.
        const uint32_t off = item == 1 ? kSecItem1 : item == 2 ? kSecItem2 : item == 3 ? kSecItem3 : kSecItem6;
        SecText(off, out, cap < 23 ? cap : 23);
        return 1;
    }
    case 4: {
        const uint32_t n = SecText(kSecApn, a, sizeof a);
        AT_SetConfig(5, a, n);
        return Fit(cap, std::snprintf(out, cap, "\"%s\"", a));
    }
    case 5: {
        const uint32_t nu = SecText(kSecUser, a, 23), np = SecText(kSecPassword, b, sizeof b);
        AT_SetConfig(7, a, nu);
        AT_SetConfig(8, b, np);
        return Fit(cap, std::snprintf(out, cap, "\"%s,%s\",0", a, b));
    }
    case 7: {
        if (g.owner != 2) return 0;
        if (SecU8(kSecFlagsB) & kSecBDialUp) return Fit(cap, std::snprintf(out, cap, "1"));
        uint32_t ip = SecU32(kSecDestIp);
        if ((SecU8(kSecFlagsB) & kSecBDestInReg) && ip) {
            uint8_t v[4] = {};
            ip = GSMPlcReg_Get(v, ip, 32) ? LE_Get32(v) : 0;
        }
        if (ip == 0) return 0;
        char port[23] = "18501";
        if (SecU8(kSecFlagsB) & kSecBPortText) SecText(kSecPortText, port, sizeof port);
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
        g.b[kGsmCall] &= uint8_t(~(kGsmCallConfigured | kGsmCallNoIpWait));
        g.b[kGsmConfig] &= uint8_t(~(kGsmCfgRead | kGsmCfgKeepCall | kGsmCfgTelit | kGsmCfgHoldOver));
        g.hold_reg = g.hold_time_reg = 0;
        g.hold_time = 0;
        g.owner = g.pending = 0;
        gsm_sec_len = 0;
        // The configuration is gone: a block that comes back, even the same
        // one with the same check word, is read again in full.
        gsm_last_crc = 0xFFFFFFFFu;
        return 0;
    }
    const uint32_t crc = LE_Get16(&sms_table_bl[0]);
    if (crc == gsm_last_crc || crc == 0xFFFF) return 1;
    gsm_last_crc = crc;
    ModemReset();
    // A new configuration is configured in full again, its operator tried anew.
    g.b[kGsmCall] &= uint8_t(~kGsmCallInitDone);
    EnforaInit = 0;
    g.b[kGsmConfig] &= uint8_t(~kGsmCfgOperatorFailed);
    op_failures = 0;
    const uint16_t ctl = PlcWord(W_MODEM_CTL);
    if (ctl != kModemCtlKeepOwner && ctl != kModemCtlHoldPort && ctl != kModemCtlHoldPortMail) g.owner = g.pending = 0;
    g.b[kGsmRun] &= uint8_t(~kGsmRunCfgStale);
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
        const uint8_t fa = SecU8(kSecFlagsA), fb = SecU8(kSecFlagsB);
        constexpr unsigned kFromSection = kGsmCfgKeepCall | kGsmCfgTelit | kGsmCfgHoldOver | kGsmCfgManualOperator;
        g.b[kGsmConfig] = uint8_t((g.b[kGsmConfig] & ~kFromSection) | (fa & (kSecAKeepCall | kSecATelit)) |
                                  ((fa & kSecAHoldOver) ? kGsmCfgHoldOver : 0) |
                                  ((fb & kSecBManualOperator) ? kGsmCfgManualOperator : 0));
        g.b[kGsmCall] =
            uint8_t((g.b[kGsmCall] & ~unsigned(kGsmCallNoIpWait)) | ((fa & kSecANoIpWait) ? kGsmCallNoIpWait : 0));
        g.hold_time = SecU8(kSecHoldTime) < 10 ? 10 : SecU8(kSecHoldTime);
        g.b[kGsmCall] |= kGsmCallConfigured;
        g.b[kGsmConfig] |= kGsmCfgRead;
        g.hold_reg = (fb & kSecBHoldRegs) ? SecU32(kSecHoldReg) : 0;
        g.hold_time_reg = (fb & kSecBHoldRegs) ? SecU32(kSecHoldTimeReg) : 0;
        string_init();
        if (SecU32(kSecStatusReg)) g.status_reg = SecU32(kSecStatusReg);
    } else {
        g.b[kGsmConfig] = uint8_t((g.b[kGsmConfig] | kGsmCfgRead | kGsmCfgTelit) &
                                  ~unsigned(kGsmCfgKeepCall | kGsmCfgHoldOver | kGsmCfgManualOperator));
        g.b[kGsmCall] = uint8_t((g.b[kGsmCall] | kGsmCallConfigured) & ~unsigned(kGsmCallNoIpWait));
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

uint32_t GSMHoldBit() { return HoldBit(); }

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
        if ((user == 1 || user == 2) && (g.b[kGsmRun] & kGsmRunEscaped)) {
            if (!(g.b[kGsmConfig] & kGsmCfgRead)) return 0;
            if (Msg_GetDCD(port)) {
                // Back from command mode to the call's data.
                SendRaw(port, "ATO");
                GSMTimer(k10s);
                g.b[kGsmCall] |= kGsmCallConnected;
                g.conn_status = 1;
                g.b[kGsmState] = kGsmConnected;
            }
            g.b[kGsmRun] &= uint8_t(~kGsmRunEscaped);
        }
        g.owner = uint8_t(user);
        g.pending = 0;
        g.hold_start = 0;
        g.b[kGsmRun] &= uint8_t(~kGsmRunHolding);
        return 1;
    case 4:
        if (user == 3 || user == 4) {
            // The owner is cleared only when it is the caller: a hand-back
            // by SMS or e-mail that no longer (or never) owns the modem must
            // not free it under the user that owns it now, in the middle of
            // that user's work; it is answered as done all the same.
            if (g.owner == user) g.owner = 0;
            return 1;
        }
        // A hang-up already under way (the hold ran out) is finished first:
        // the hold bit still set must not start the hold again meanwhile.
        if (disc_step == 0 && g.pending && g.hold_reg) {
            if (HoldBit()) {
                if (!(g.b[kGsmRun] & kGsmRunHolding)) {
                    g.b[kGsmRun] |= kGsmRunHolding;
                    g.b[kGsmConfig] |= kGsmCfgHoldOver;
                    g.hold_start = FPGA_GetFrt();
                }
            } else if (g.b[kGsmRun] & kGsmRunHolding) {
                g.b[kGsmRun] &= uint8_t(~kGsmRunHolding);
                g.hold_time = 10;
            }
            if (g.b[kGsmRun] & kGsmRunHolding) {
                if (Msg_CheckRx(port) == 1) {
                    g.hold_start = FPGA_GetFrt();  // data still flow: the owner keeps it
                    return 0;
                }
                if (FPGA_GetFrt() - g.hold_start < HoldSeconds() * 10000u) return 0;
                g.b[kGsmRun] &= uint8_t(~kGsmRunHolding);
            }
        }
        if (g.owner != user) return 1;
        if (!GSMSMSDisconnect(port, 1)) return 0;
        g.owner = 0;
        return 1;
    case 5:
        if (g.owner == 0) return 1;
        return GSMSMSDisconnect(port, g.owner != 3 || !(g.b[kGsmRun] & kGsmRunEscaped));
    case 6:
        // Only the caller's own request and ownership are given up: a user
        // that lost the modem meanwhile (a new configuration cleared the
        // owner) must not hang up or free the call of the user owning it now.
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
        disc_prev = g.b[kGsmState];
        disc_tries = 0;
        if (!immediate) {
            if (g.b[kGsmConfig] & kGsmCfgKeepCall) {
                end = true;  // the call is kept through the hand-over
                break;
            }
            // Escape to command mode with the guard times.
            Msg_Enable(port, 0);
            GSMTimer(11000);
            g.b[kGsmState] = kGsmHangEscape;
            disc_step = 1;
            return 0;
        }
        if (!Msg_GetDCD(port)) {
            end = true;
            break;
        }
        GSMTimer(2500);
        g.b[kGsmState] = kGsmHangEscape;
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
        g.b[kGsmRun] |= kGsmRunEscaped;  // left in command mode: escape pending
        end = true;
        break;
    case 4:
        if (!GSMTimer(0)) return 0;
        SendRaw(port, (g.b[kGsmConfig] & kGsmCfgRead) ? "ATHS0=0" : "AT$AREG=0");
        GSMTimer(k10s);
        g.b[kGsmState] = kGsmHangCommand;
        disc_step = 5;
        return 0;
    case 5: {
        const uint32_t r = GSMGetResult(port);
        if (r == kGsmNoAnswer) return 0;
        if (r == kGsmTimedOut) {
            // No answer: drop the line, escape and try again (three times).
            if (++disc_tries >= 3) {
                // Given up so that a silent modem blocks no user, but the call
                // may still be up: no clean hang-up. The status says the
                // hang-up timed out, the start mark stays, and a power cycle
                // is asked for; the machine goes back to its start, which
                // carries it out and so drops the line.
                g.b[kGsmRun] |= kGsmRunReset;
                g.conn_status = uint16_t(kGsmTimedOut);
                disc_prev = kGsmPowerUp;
                end = true;
                break;
            }
            Msg_Enable(port, 0);
            GSMTimer(11000);
            disc_step = 6;
            return 0;
        }
        if (!Msg_GetDCD(port)) {
            g.b[kGsmCall] &= uint8_t(~kGsmCallStarted);
            if (r) g.conn_status = uint16_t(r);
            disc_prev = kGsmPowerUp;
        }
        end = true;
        break;
    }

    case 7:
        if (!GSMTimer(0)) return 0;
        GSMTimer(1);
        disc_step = 4;
        return 0;
    default: end = true; break;
    }
    if (!end) return 0;
    Msg_FlushRx(port);
    g.b[kGsmCall] &= uint8_t(~kGsmCallConnected);
    if (g.b[kGsmState] == kGsmHangEscape || g.b[kGsmState] == kGsmHangCommand) g.b[kGsmState] = disc_prev;
    disc_step = 0;
    return 1;
}

void ConnToolTelit() {
    GsmInfo &g = GSMGPRSInfo_St;
    if (Modem_CellularOption() && g.b[kGsmState] == kGsmPowerUp) {
        g.b[kGsmState] = kGsmAwaitConnect;
        return;
    }
    if (ModemDataConnRequest(GSMToolConn) != 0) {
        g.b[kGsmState] = kGsmPowerUp;
        g.b[kGsmCall] &= uint8_t(~(kGsmCallStarted | kGsmCallConnected));
        g.conn_status = 4;
    } else {
        g.conn_status = 1;
        g.b[kGsmState] = kGsmConnected;
        g.b[kGsmCall] |= kGsmCallConnected;
    }
}

void CmdOvrd() {
    Msg_SetCmdOverride(1);
    const uint8_t *m = Vcomm_ModeRec(0);
    if (m == nullptr || m[0] != 9) Msg_Open(0, ComportCfg.data());
}

namespace {

constexpr uint8_t kGsmRetriesBeforeReset = 3;  // steps without an answer before a power cycle

// kGsmPowerUp: the line down and a wait (long after power-up), then the
// escape or a reset of the modem, then a wait for it to settle.
uint32_t InitPowerUp(uint32_t port, GsmInfo &g) {
    if (init_entry == 0) {
        g.b[kGsmCall] &= uint8_t(~kGsmCallConnected);
        g.conn_status = kGsmNoAnswer;
        netip_queries = 0;  // each start asks for the address twice at most
        listen_wait = 0;    // and waits for LISTEN from its own 120 s
        Msg_Enable(port, 0);
        if (!(g.b[kGsmConfig] & kGsmCfgPowerWaited)) {
            GSMTimer(150000);
            g.b[kGsmConfig] |= kGsmCfgPowerWaited;
        } else {
            GSMTimer(11000);
        }
        if ((g.b[kGsmRun] & (kGsmRunReset | kGsmRunHwReset)) == (kGsmRunReset | kGsmRunHwReset)) {
            IoCommReset(port, 1);
            IoCommPwr(port, 0);
        }
        init_entry = 1;
        return 0;
    }
    if (init_entry == 1) {
        if (!GSMTimer(0)) return 0;
        Msg_Enable(port, 1);
        if (!(g.b[kGsmRun] & kGsmRunReset)) {
            Msg_PutsTx(port, "+++");
            Msg_RtuTx(port);
            GSMTimer(45000);
        } else {
            if (!(g.b[kGsmRun] & kGsmRunHwReset)) {
                Msg_PutsTx(port, "AT$RESET");
                Msg_PutTx(port, 13);
                Msg_RtuTx(port);
            } else {
                IoCommReset(port, 0);
                IoCommPwr(port, 1);
            }
            g.b[kGsmRun] &= uint8_t(~kGsmRunReset);
            g.retries = 0;
            GSMTimer(150000);
        }
        init_entry = 2;
        return 0;
    }
    if (!GSMTimer(0)) return 0;
    init_entry = 0;
    g.b[kGsmState] = (g.b[kGsmCall] & kGsmCallInitDone) ? kGsmSetEcho : kGsmSetRate;
    return 0;
}

// The shared timer is started and has not run out yet.
bool GSMTimerRunning() { return gsm_timer_ticks != kNever && !GSMTimer(0); }

// Manual operator selection: configured, and not failed in this
// configuration (a name the network does not offer registers automatically).
bool ManualOper() {
    const uint8_t c = GSMGPRSInfo_St.b[kGsmConfig];
    return (c & kGsmCfgManualOperator) && !(c & kGsmCfgOperatorFailed);
}

// The answer to "AT+COPS=?" (upper case) in GSMCmdBuf: the entry holding the
// operator's name gives its numeric code, the first field of digits alone in
// double quotes up to the entry's closing parenthesis, into oper_code with
// its closing '"'. False when the name or its code is missing.
bool TakeOperatorCode(GsmInfo &g) {
    char *b = GSMCmdBuf.data();
    for (uint32_t i = 0; i < GSMindex; i++) b[i] = char(std::toupper(uint8_t(b[i])));
    const std::size_t n = std::strlen(NWOprtrName.data());
    if (n == 0) return false;
    const char *hit = std::strstr(b, NWOprtrName.data());
    if (hit == nullptr) return false;
    for (const char *p = hit + n; *p && *p != ')';) {
        if (*p != '"') {
            p++;
            continue;
        }
        const char *q = p + 1;
        while (*q >= '0' && *q <= '9') q++;
        if (*q == '"' && q > p + 1) {
            const std::size_t k = std::size_t(q - (p + 1));
            if (k + 2 > g.oper_code.size()) return false;
            std::memcpy(g.oper_code.data(), p + 1, k);
            g.oper_code[k] = '"';
            g.oper_code[k + 1] = 0;
            return true;
        }
        p = q;  // the character that ended the digits is looked at next
    }
    return false;
}

// The command states: each sends its AT line and names the state after
// the answer (the next command, or a short cut once initialised).
uint32_t InitCommand(uint32_t port, GsmInfo &g) {
    char line[160];
    const bool again = g.b[kGsmCall] & kGsmCallInitDone;
    switch (g.b[kGsmState]) {
    case kGsmSetRate: Send(port, "AT+IPR=115200", kGsmSetEcho, k10s); return 0;
    case kGsmSetEcho: {
        // After a start that ended, the running timer first runs out.
        if ((g.b[kGsmCall] & kGsmCallStarted) && GSMTimerRunning()) return 0;
        if (g.b[kGsmConfig] & kGsmCfgManualOperator) {
            // The operator is prepared again: a changed one is selected anew.
            const std::array<char, 23> was = NWOprtrName;
            GSMGPRSOprtor();
            if (NWOprtrName != was) {
                g.b[kGsmCall] &= uint8_t(~kGsmCallInitDone);
                EnforaInit = 0;
                g.b[kGsmConfig] &= uint8_t(~kGsmCfgOperatorFailed);
                op_failures = 0;
            }
        }
        const bool full = !(g.b[kGsmCall] & kGsmCallInitDone);
        Send(port, "ATE0HS0=0Q0V1&C1&D1", full ? kGsmAskModel : kGsmRegOff, k10s);
        return 0;
    }
    case kGsmAskModel: Send(port, "AT+GMM", kGsmAskNetmon, k10s); return 0;
    case kGsmAskNetmon: Send(port, "AT$NETMON=5,2,2,3", kGsmSetFunction, k10s); return 0;
    case kGsmSetFunction:
        if (g.b[kGsmRun] & kGsmRunHwReset) {
            g.b[kGsmState] = kGsmSetClass;
            return 0;
        }
        Send(port, "AT+CFUN=1", kGsmSetClass, k10s);
        return 0;
    case kGsmSetClass: Send(port, "AT+FCLASS=0", kGsmRegOff, k10s); return 0;
    case kGsmRegOff:
        Send(port, "AT$AREG=0", again ? kGsmAskSignal : ManualOper() ? kGsmListOperators : kGsmSelectOperator, k10s);
        return 0;
    case kGsmListOperators:
        if (NumericOprtCode) {
            std::snprintf(g.oper_code.data(), g.oper_code.size(), "%s", NWOprtrName.data());
            g.b[kGsmState] = kGsmSelectOperator;
            return 0;
        }
        g.b[kGsmConfig] |= kGsmCfgOperatorList;
        g.oper_code[0] = 0;
        Send(port, "AT+COPS=?", kGsmSelectOperator, k120s);
        return 0;
    case kGsmSelectOperator:
        if (ManualOper())
            std::snprintf(line, sizeof line, "AT+COPS=1,2,\"%s", g.oper_code.data());
        else
            std::snprintf(line, sizeof line, "AT+COPS=0");
        Send(port, line, kGsmAskSignal, k120s);
        return 0;
    case kGsmAskSignal:
        Send(port, "AT+CSQ", again ? ((g.b[kGsmConfig] & kGsmCfgRead) ? kGsmReady : kGsmHostIf) : kGsmSetBearer, k10s);
        return 0;
    case kGsmSetBearer: Send(port, "AT+CBST=7,0,1", kGsmSetContext, k10s); return 0;
    case kGsmSetContext:
        std::snprintf(line, sizeof line, "AT+CGDCONT=1,\"IP\",\"%.100s\"", ConfigDataInStr[4].text.data());
        Send(port, line, kGsmSetLogin, k10s);
        return 0;
    case kGsmSetLogin:
        std::snprintf(line, sizeof line, "AT%%CGPCO=1,\"%.22s,%.22s\",0", ConfigDataInStr[6].text.data(),
                      ConfigDataInStr[7].text.data());
        Send(port, line, kGsmHostIf, k10s);
        return 0;
    case kGsmHostIf:
        std::snprintf(line, sizeof line, "AT$HOSTIF= %c", (g.b[kGsmCall] & kGsmCallDialUp) ? '2' : '1');
        Send(port, line, kGsmPadBlock, k10s);
        return 0;
    // The PAD settings are the e-mail transport's: the modem section carries
    // no block size, time-out, mode, forwarding character or local port.
    case kGsmPadBlock: Send(port, "AT$PADBLK=512", kGsmPadTimeout, k10s); return 0;
    case kGsmPadTimeout: Send(port, "AT$PADTO=1", kGsmPadCommand, k10s); return 0;
    case kGsmPadCommand: Send(port, "AT$PADCMD=00", kGsmPadForward, k10s); return 0;
    case kGsmPadForward: Send(port, "AT$PADFWD=13", kGsmUdpApi, k10s); return 0;
    case kGsmUdpApi: Send(port, "AT$UDPAPI=,1", kGsmPadSource, k10s); return 0;
    case kGsmPadSource: Send(port, "AT$PADSRC=1001", kGsmPadDest, k10s); return 0;
    case kGsmPadDest: {
        // The tool's connection (owner 2) goes to its configured address and
        // port ("a.b.c.d/port"), any other user to none.
        char dest[48];
        const uint32_t n = GSMGPRSParm(7, dest, sizeof dest);
        const char *slash = n ? std::strchr(dest, '/') : nullptr;
        if (slash != nullptr)
            std::snprintf(line, sizeof line, "AT$PADDST=\"%.*s\",%s", int(slash - dest), dest, slash + 1);
        else
            std::snprintf(line, sizeof line, "AT$PADDST=\"0.0.0.0\"");
        Send(port, line, kGsmActive, k10s);
        return 0;
    }
    case kGsmActive:
        // Always 0: the modem section has no field that would select
        // "AT$ACTIVE=1".
        Send(port, "AT$ACTIVE=0", kGsmRegOn, k10s);
        return 0;
    case kGsmRegOn:
        Send(port, "AT$AREG=2",
             (g.b[kGsmCall] & kGsmCallNoIpWait) ? kGsmReady
             : (g.b[kGsmCall] & kGsmCallDialUp) ? kGsmAskIp
                                                : kGsmEscape,
             k10s);
        return 0;
    case kGsmAskIp:
        netip_queries++;
        Send(port, "AT$NETIP?", kGsmAskIp, 50000);
        return 0;
    default: return 0;
    }
}

// kGsmEscape: the guard time, then "+++" (its answer is awaited, a silence
// goes on to kGsmAskIp).
uint32_t InitEscape(uint32_t port, GsmInfo &g) {
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
    cmd_state = kGsmEscape;
    g.follow = kGsmAskIp;
    g.b[kGsmState] = kGsmAwaitAnswer;
    return 0;
}

// The address of an "AT$NETIP?" answer into allocated_ip; once it looks
// valid (or after the second query) the machine goes on as initialised.
void TakeNetIp(GsmInfo &g) {
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
        g.follow = kGsmReady;
    }
}

// The answer to "AT+CSQ" as the signal word, rssi in the high byte and ber
// in the low byte, into the modem section's status register.
void TakeSignal(const GsmInfo &g) {
    const char *q = std::strstr(GSMCmdBuf.data(), "CSQ:");
    if (q == nullptr || g.status_reg == 0) return;
    char *end = nullptr;
    const unsigned long rssi = std::strtoul(q + 4, &end, 10);
    if (end == q + 4 || *end != ',') return;
    const unsigned long ber = std::strtoul(end + 1, nullptr, 10);
    const uint8_t w[2] = {uint8_t(ber), uint8_t(rssi)};
    GSMPlcReg_Set(g.status_reg, w, 16);
}

// kGsmAwaitAnswer: the answer of the last command; a failure restarts the
// machine (its result code returned), success goes on at `follow`.
uint32_t InitAwaitAnswer(uint32_t port, GsmInfo &g) {
    const uint32_t r = GSMGetResult(port);
    if (r == kGsmNoAnswer) return 0;
    if (r == kGsmTimedOut && g.follow == kGsmAskIp && cmd_state == kGsmEscape) {
        g.b[kGsmState] = kGsmAskIp;  // the escape has no answer of its own
        return 0;
    }
    if (r == kGsmConnect || r == kGsmRing || (r == kGsmNoCarrier && g.follow != kGsmAskIp)) {
        GSMindex = 0;
        return 0;
    }
    uint32_t res = (r == kGsmNoCarrier && g.follow == kGsmAskIp) ? kGsmOk : r;
    if ((g.b[kGsmRun] & kGsmRunHwReset) && res == kGsmError && g.follow == kGsmSetFunction) res = kGsmOk;
    if (g.follow == kGsmAskIp && res == kGsmOk && cmd_state == kGsmAskIp) TakeNetIp(g);
    if (res == kGsmOk && cmd_state == kGsmAskSignal) TakeSignal(g);
    if (res == kGsmOk && cmd_state == kGsmListOperators && !TakeOperatorCode(g)) res = kGsmError;
    if (res != kGsmOk) {
        // A step without an answer counts a retry; the third asks for a power
        // cycle, which the next start carries out ("AT$RESET", or the reset
        // and power lines) and which clears the count. An escape alone would
        // never bring back a modem that stopped answering.
        if (r == kGsmTimedOut && ++g.retries >= kGsmRetriesBeforeReset) g.b[kGsmRun] |= kGsmRunReset;
        // An operator step refused with an error while the modem was never
        // configured. A step left unanswered is no refusal (a slow operator
        // search): it is repeated with the next start, as any silent step.
        if (res == kGsmError && !(g.b[kGsmCall] & kGsmCallInitDone) &&
            (g.follow == kGsmAskSignal || g.follow == kGsmSelectOperator)) {
            if (cmd_state != kGsmSelectOperator || ++op_failures >= 3) g.b[kGsmConfig] |= kGsmCfgOperatorFailed;
        }
        g.conn_status = uint16_t(res);
        g.b[kGsmCall] |= kGsmCallStarted;
        g.b[kGsmState] = kGsmPowerUp;
        init_entry = 0;
        return res;
    }
    g.b[kGsmState] = g.follow;
    if (g.follow == kGsmReady) {
        g.b[kGsmCall] |= kGsmCallInitDone | kGsmCallStarted;
        g.retries = 0;   // the modem answers: earlier time-outs are no run
        EnforaInit = 1;  // the SMS steps on this modem count their retries from now
        if ((g.b[kGsmConfig] & kGsmCfgRead) ||
            ((g.b[kGsmCall] & kGsmCallNoIpWait) && (g.b[kGsmConfig] & kGsmCfgKeepCall)))
            g.b[kGsmCall] |= kGsmCallIpIn;
        else if (g.b[kGsmConfig] & kGsmCfgKeepCall)
            g.b[kGsmCall] |= kGsmCallIpOut;
        g.b[kGsmState] = (g.b[kGsmCall] & kGsmCallIpOut) ? kGsmDial : kGsmListen;
    }
    return 0;
}

// kGsmSendDest and kGsmDial: the call command out.
uint32_t InitDial(uint32_t port, GsmInfo &g) {
    if (g.b[kGsmState] == kGsmSendDest) {
        SendRaw(port, g.dest.data());
        GSMTimer(k10s);
        g.b[kGsmState] = kGsmAwaitOk;
        return 0;
    }
    if (Msg_GetDCD(port)) {
        g.b[kGsmCall] &= uint8_t(~kGsmCallStarted);
        g.b[kGsmState] = kGsmPowerUp;
        return 0;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%s%s", (g.b[kGsmCall] & kGsmCallDialUp) ? "ATDT" : "ATDP",
                  (g.b[kGsmCall] & kGsmCallDialUp) ? g.dest.data() : g.allocated_ip.data());
    SendRaw(port, line);
    GSMTimer(k120s);
    g.b[kGsmState] = kGsmAwaitConnect;
    return 0;
}

// kGsmListen: auto-answer on, or (a kept call without an IP wait) LISTEN
// awaited.
uint32_t InitListen(uint32_t port, GsmInfo &g) {
    if (!((g.b[kGsmCall] & kGsmCallNoIpWait) && (g.b[kGsmConfig] & kGsmCfgKeepCall))) {
        SendRaw(port, "ATS0=1");
        GSMTimer(k10s);
        g.b[kGsmState] = kGsmAwaitOk;
        return 0;
    }
    if (!listen_wait) {
        GSMindex = 0;
        GSMTimer(k120s);
        listen_wait = 1;
    }
    const uint32_t r = GSMGetResult(port);
    if (r == kGsmListening) {
        listen_wait = 0;
        g.conn_status = kGsmListening;
        g.b[kGsmCall] |= kGsmCallConnected;
        GSMTimerStop();
        g.b[kGsmState] = kGsmAwaitConnect;
    } else if (r == kGsmTimedOut) {
        listen_wait = 0;
        g.b[kGsmCall] &= uint8_t(~(kGsmCallStarted | kGsmCallConnected));
        g.conn_status = kGsmError;
        g.b[kGsmState] = kGsmPowerUp;
    }
    return 0;
}

// kGsmAwaitOk: the OK of a call command.
uint32_t InitAwaitOk(uint32_t port, GsmInfo &g) {
    const uint32_t r = GSMGetResult(port);
    if (r == kGsmNoAnswer) return 0;
    if (r == kGsmError || r == kGsmTimedOut) {
        g.conn_status = uint16_t(r);
        g.b[kGsmCall] &= uint8_t(~(kGsmCallStarted | kGsmCallConnected));
        g.b[kGsmState] = kGsmPowerUp;
        return r;
    }
    if (r == kGsmOk) {
        if ((g.b[kGsmCall] & (kGsmCallIpOut | kGsmCallIpIn)) == kGsmCallIpIn) {
            g.conn_status = kGsmOk;
            g.b[kGsmCall] |= kGsmCallConnected;
        }
        GSMTimerStop();
        GSMindex = 0;
        g.b[kGsmState] = kGsmAwaitConnect;
    }
    return 0;
}

// kGsmAwaitConnect: CONNECT with the carrier up.
uint32_t InitAwaitConnect(uint32_t port, GsmInfo &g) {
    const uint32_t r = GSMGetResult(port);
    if ((r == kGsmConnect || g.conn_status == kGsmConnect) && Msg_GetDCD(port)) {
        g.b[kGsmState] = kGsmConnected;
        g.b[kGsmCall] |= kGsmCallConnected;
        g.conn_status = kGsmConnect;
        return 0;
    }
    if (r == kGsmError || r == kGsmTimedOut) {
        g.b[kGsmState] = kGsmPowerUp;
        g.conn_status = kGsmError;
        g.b[kGsmCall] &= uint8_t(~(kGsmCallStarted | kGsmCallConnected));
        return kGsmError;
    }
    if (r != kGsmNoAnswer) {
        g.conn_status = uint16_t(r);
        GSMindex = 0;
    }
    return 0;
}

}  // namespace

namespace {
uint8_t last_state = kGsmPowerUp;  // the state the machine was last stepped in
}  // namespace

// A start given up while its power-up or escape was half way leaves its
// entry step behind: a new start takes its own first entry (line down,
// status unknown, a power cycle asked for carried out).
// A hang-up under way is dropped with it (its steps 33 and 34 live in the
// state byte the start takes over): left in place, the next hang-up would
// resume in its old step, take an answer meant for the start as its own and
// end with the call still up. A call its dropped hang-up leaves up (carrier
// present) is ended by a power cycle, which the new start carries out.
void GSMModemRestart() {
    GsmInfo &g = GSMGPRSInfo_St;
    if (disc_step != 0 && Msg_GetDCD(PortOf())) g.b[kGsmRun] |= kGsmRunReset;
    disc_step = 0;
    disc_tries = 0;
    disc_prev = kGsmPowerUp;
    g.b[kGsmState] = kGsmPowerUp;
    init_entry = 0;
    last_state = kGsmPowerUp;
}

uint32_t GSMModemInit(uint32_t port) {
    GSMGPRSParmInit();
    GsmInfo &g = GSMGPRSInfo_St;
    // State 0 set from elsewhere (the escape's guard time running) is a new
    // start from its first entry too.
    if (g.b[kGsmState] == kGsmPowerUp && last_state != kGsmPowerUp) init_entry = 0;
    last_state = g.b[kGsmState];
    switch (g.b[kGsmState]) {
    case kGsmPowerUp: return InitPowerUp(port, g);
    case kGsmEscape: return InitEscape(port, g);
    case kGsmAwaitAnswer: return InitAwaitAnswer(port, g);
    case kGsmSendDest:
    case kGsmDial: return InitDial(port, g);
    case kGsmListen: return InitListen(port, g);
    case kGsmAwaitOk: return InitAwaitOk(port, g);
    case kGsmAwaitConnect: return InitAwaitConnect(port, g);
    case kGsmReady:
    case kGsmConnected:
    case kGsmHangEscape:
    case kGsmHangCommand: return 0;
    default: return InitCommand(port, g);
    }
}

uint32_t GSMPlcReg_Get(void *buf, uint32_t addr, uint32_t width) { return PlcReg_Get(buf, addr, width); }
uint32_t GSMPlcReg_Set(uint32_t addr, const void *buf, uint32_t width) { return PlcReg_Set(addr, buf, width); }
uint32_t SMSPlcReg_Get(void *buf, uint32_t addr, uint32_t width) { return PlcReg_Get(buf, addr, width); }
uint32_t SMSPlcReg_Set(uint32_t addr, const void *buf, uint32_t width) { return PlcReg_Set(addr, buf, width); }
