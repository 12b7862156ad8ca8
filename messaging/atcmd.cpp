// AT command script engine of the cellular module: one interpreter that
// sends a script step, collects the answer without blocking, checks it,
// captures fields and branches; and ModemCycle, which owns the module's port,
// runs the initialisation and status scripts and schedules socket work.
#include "messaging/atcmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "io/io.h"
#include "media/datalog.h"
#include "messaging/msghooks.h"
#include "messaging/sms.h"
#include "messaging/talk.h"

AtStatus at_status;
std::array<AtSlot, 6> at_stack_data;
std::array<uint8_t, 1601> at_resp;
std::array<AtConfigStr, 8> ConfigDataInStr = [] {
    // The PDP address holds "0.0.0.0" from the start and is never changed.
    std::array<AtConfigStr, 8> c{};
    const char pdp[] = "0.0.0.0";
    std::memcpy(c[AT_ITEM_PDP - 1].text.data(), pdp, sizeof pdp);
    c[AT_ITEM_PDP - 1].len = sizeof pdp - 1;
    return c;
}();
uint8_t TelitPowerON, ExternalModem, SigStCSQ, ATPort;
std::array<uint8_t, 6> ComportCfg;
const std::array<int8_t, 32> sigst = {-113, -111, -109, -107, -105, -103, -101, -99, -97, -95, -93,
                                      -91,  -89,  -87,  -85,  -83,  -81,  -79,  -77, -75, -73, -71,
                                      -69,  -67,  -65,  -63,  -61,  -59,  -57,  -55, -53, -51};

namespace {

constexpr const char *kModels[7] = {"UNKNOWN", "GE910-QUAD", "GE910-GNSS", "HE910-D", "GE865", "LE910-D", "LE920-D"};
constexpr uint8_t kBuiltinMode[6] = {9, 0, 3, 0, 0, 1};

std::array<char, 32> dbg_line;
uint8_t init_pause;  // the initialisation script waits before its next step

void Log(const char *text) { DBG_WriteLog(1, text); }

bool ContainsN(const uint8_t *hay, uint32_t n, const char *needle, uint32_t nl) {
    if (nl == 0) return true;
    if (nl > n) return false;
    for (uint32_t i = 0; i + nl <= n; i++)
        if (std::memcmp(hay + i, needle, nl) == 0) return true;
    return false;
}
const uint8_t *FindN(const uint8_t *hay, uint32_t n, const char *needle, uint32_t nl) {
    if (nl > n) return nullptr;
    for (uint32_t i = 0; i + nl <= n; i++)
        if (std::memcmp(hay + i, needle, nl) == 0) return hay + i;
    return nullptr;
}

uint32_t PortNo() { return at_status.port; }

void SendBytes(const uint8_t *d, uint32_t n) {
    while (n > 0) {
        const uint32_t k = n > 255 ? 255 : n;
        Msg_PutnTx(PortNo(), d, k);
        d += k;
        n -= k;
    }
}

// Resolves a send-phase pseudo-command: configuration item or capture slot.
bool GetData(const at_cmd_st &e, const uint8_t **data, uint32_t *len) {
    if (e.cmd[0] == '%' && e.cmd[1] >= '1' && e.cmd[1] <= '6') {
        const AtSlot &s = at_stack_data[unsigned(e.cmd[1] - '1')];
        *data = s.ptr ? s.ptr : reinterpret_cast<const uint8_t *>(s.text);
        *len = *data ? s.len : 0;
        return true;
    }
    if (e.item >= 1 && e.item <= 8) {
        const AtConfigStr &c = ConfigDataInStr[e.item - 1];
        *data = reinterpret_cast<const uint8_t *>(c.text.data());
        *len = c.len < c.text.size() ? c.len : 0;
        return true;
    }
    return false;
}

void SendPhase(uint32_t idx) {
    const at_cmd_st *t = at_status.table;
    for (; idx < at_status.end; idx++) {
        const at_cmd_st &e = t[idx];
        if (e.cmd_len == AT_END) break;
        const uint8_t *d = nullptr;
        uint32_t n = 0;
        if (e.cmd_len != AT_PSEUDO) {
            d = reinterpret_cast<const uint8_t *>(e.cmd);
            n = e.cmd_len;
        } else if (!GetData(e, &d, &n)) {
            d = reinterpret_cast<const uint8_t *>(e.cmd);  // a literal piece ("\",\"")
            n = uint32_t(std::strlen(e.cmd));
        }
        SendBytes(d, n);
        Msg_RtuTx(PortNo());
        const uint32_t k = n < 31 ? n : 31;
        std::memcpy(dbg_line.data(), d ? d : reinterpret_cast<const uint8_t *>(""), k);
        dbg_line[k] = 0;
        Log(dbg_line.data());
        Msg_FlushRx(PortNo());
        at_status.count = 0;
        at_status.raw_left = 0;
        at_status.text_line = 0;
        if (e.term) {
            uint8_t b[3];
            uint32_t m = 0;
            if (e.term > 255) b[m++] = uint8_t(e.term >> 8);
            b[m++] = uint8_t(e.term);
            if (e.term == 26) b[m++] = 26;
            Msg_PutnTx(PortNo(), b, m);
            Msg_RtuTx(PortNo());
        }
        if (e.timeout) {
            ModemTimer(&at_status.sent_at, 0);
            at_status.timeout = e.timeout;
            at_status.phase = AT_PH_WAIT;
        }
        if (e.flags & AT_F_LAST) break;
    }
}

// Recogniser of final results over the answer's bytes. "OK" counts only
// as a word opened at the start of a line (or right after a CR), the way
// the module sends it: an "OK" inside a line is a peer's data (a socket
// read of "BOOK"), and taking it for the final result would end the read
// early and cut the bytes before it away.
void Recognise(uint8_t b, uint32_t *res) {
    uint8_t &s = at_status.rstate;
    if (b == 13) {
        s = 1;
        return;
    }
    switch (s) {
    case 1:
        if (b == 10)
            s = 2;
        else
            s = (b == 'O') ? 3 : 0;
        break;
    case 2: s = (b == 'O' || b == 'E' || b == 'S' || b == '+') ? 3 : 0; break;
    case 3:
        if (b == 'K') {
            *res = AT_R_OK;
            s = 0;
        } else {
            s = (b == 'R' || b == 'C') ? 4 : 0;
        }
        break;
    case 4: s = (b == 'R' || b == 'I' || b == 'M') ? 5 : 0; break;
    case 5: s = (b == 'N' || b == 'E' || b == 'O' || b == 'S') ? 6 : 0; break;
    case 6:
        if (b == 'R') {
            *res = AT_R_ERR;
            s = 0;
        } else if (b == 'G') {
            at_status.events |= AT_EV_SOCKET;
            s = 0;
        } else {
            s = b == ' ' ? 2 : 0;
        }
        break;
    default: s = 0; break;
    }
}

// Field n (1..) of the parse text: start and bytes left.
bool Field(uint32_t n, uint16_t sep, const uint8_t **start, uint32_t *left) {
    const uint8_t *p = at_status.parse;
    uint32_t l = at_status.parse_len;
    for (uint32_t k = 1; k < n; k++) {
        const uint8_t *q = sep ? static_cast<const uint8_t *>(std::memchr(p, sep & 0xFF, l)) : nullptr;
        if (q == nullptr) return false;
        l -= uint32_t(q + 1 - p);
        p = q + 1;
    }
    *start = p;
    *left = l;
    return true;
}

// One pseudo-command of the parse phase: 1 take the step, 2 next entry,
// 0 not a parse pseudo-command (the parse ends).
uint32_t ParseOne(const at_cmd_st &e) {
    const char k = e.cmd[0];
    if (k == '=' || k == '!') {
        if (e.exp_len == 0) return 0;
        bool hit;
        if (k == '!' && e.exp_len == 1) {
            hit = at_status.parse_len > 0 && at_status.parse[0] == uint8_t(e.exp[0]);
        } else {
            const uint32_t el = uint32_t(std::strlen(e.exp));
            hit = ContainsN(at_status.parse, at_status.parse_len, e.exp, el);
            if (k == '!') hit = !hit;
        }
        return hit ? 1 : 2;
    }
    if (k == '#') {
        const uint32_t n = (e.cmd[1] >= '1' && e.cmd[1] <= '9') ? uint32_t(e.cmd[1] - '0') : 1;
        const char kind = e.cmd[1] ? e.cmd[2] : 0;
        const char slot = kind ? e.cmd[3] : 0;
        const uint8_t *f;
        uint32_t left;
        if (!Field(n, e.sep, &f, &left)) return 2;
        uint32_t flen = left;
        if (e.sep) {
            const void *q = std::memchr(f, e.sep & 0xFF, left);
            if (q) flen = uint32_t(static_cast<const uint8_t *>(q) - f);
        }
        AtSlot *s = (slot >= '1' && slot <= '6') ? &at_stack_data[unsigned(slot - '1')] : nullptr;
        if (kind == 'S' && s && s->text && s->cap) {
            const uint32_t m = flen < uint32_t(s->cap - 1) ? flen : uint32_t(s->cap - 1);
            std::memcpy(s->text, f, m);
            s->text[m] = 0;
            s->len = uint16_t(m);
            at_status.parse = reinterpret_cast<const uint8_t *>(s->text);
            at_status.parse_len = m;
            return m ? 1 : 2;
        }
        if (kind == 'C' && s && s->text && s->cap) {
            uint32_t maxc = e.term ? e.term : uint32_t(s->cap - 1);
            if (maxc > uint32_t(s->cap - 1)) maxc = s->cap - 1;
            uint32_t i = 0, m = 0;
            while (i < flen && !(f[i] >= 0x21 && f[i] <= 0x7A)) i++;
            while (i < flen && m < maxc && f[i] >= 0x21 && f[i] <= 0x7A) s->text[m++] = char(f[i++]);
            s->text[m] = 0;
            s->len = uint16_t(m);
            if (slot == '3') {
                const void *c = std::memchr(f + i, ',', left - i);
                at_status.access_tech = c ? uint8_t(std::atoi(static_cast<const char *>(c) + 1)) : uint8_t(0);
            }
            return m ? 1 : 2;
        }
        if (kind == 'P' && s) {
            s->ptr = f;
            s->len = uint16_t(left > 0xFFFF ? 0xFFFF : left);
            return left ? 1 : 2;
        }
        // Bare capture: the field becomes the parse text.
        const uint32_t m = flen < at_status.scratch.size() - 1 ? flen : uint32_t(at_status.scratch.size() - 1);
        std::memcpy(at_status.scratch.data(), f, m);
        at_status.scratch[m] = 0;
        at_status.parse = reinterpret_cast<const uint8_t *>(at_status.scratch.data());
        at_status.parse_len = m;
        return m ? 1 : 2;
    }
    if (k == '%' && e.cmd[1] == 'F') {
        const bool set = e.item >= 1 && e.item <= 8 && ConfigDataInStr[e.item - 1].len > 0;
        at_status.scratch[0] = set ? '1' : '0';
        at_status.scratch[1] = 0;
        at_status.parse = reinterpret_cast<const uint8_t *>(at_status.scratch.data());
        at_status.parse_len = 1;
        return set ? 1 : 2;
    }
    if (k == '$' && e.cmd[1] == 'N') {
        AtSlot &s = at_stack_data[0];
        const AtConfigStr &name = ConfigDataInStr[AT_ITEM_OPERATOR - 1];
        uint8_t *b = at_status.buf;
        for (uint32_t i = 0; i < at_status.count; i++)
            if (b[i] >= 'a' && b[i] <= 'z') b[i] = uint8_t(b[i] - 32);
        const uint8_t *hit = name.len ? FindN(b, at_status.count, name.text.data(), name.len) : nullptr;
        // A numeric code configured (digits only) is found only as a whole
        // quoted code of the list, and is then the code itself: the digits
        // after it would be the next operator's code.
        bool numeric = name.len > 0;
        for (uint32_t i = 0; i < name.len; i++) numeric = numeric && name.text[i] >= '0' && name.text[i] <= '9';
        if (numeric) {
            const uint8_t *end = b + at_status.count;
            while (hit && !(hit > b && hit[-1] == '"' && hit + name.len < end && hit[name.len] == '"'))
                hit = FindN(hit + 1, uint32_t(end - hit - 1), name.text.data(), name.len);
            if (hit && s.text && s.cap > 1) {
                const uint32_t m = name.len < uint32_t(s.cap - 1) ? name.len : uint32_t(s.cap - 1);
                std::memcpy(s.text, name.text.data(), m);
                s.text[m] = 0;
                s.len = uint16_t(m);
                return 1;
            }
            if (hit) return 1;
        }
        if (hit && s.text && s.cap) {
            const uint8_t *end = b + at_status.count;
            for (const uint8_t *p = hit + name.len; p < end; p++) {
                if (*p < '0' || *p > '9') continue;
                const uint8_t *q = p;
                while (q < end && *q >= '0' && *q <= '9') q++;
                if (q < end && *q == '"') {
                    const uint32_t m = uint32_t(q - p) < uint32_t(s.cap - 1) ? uint32_t(q - p) : uint32_t(s.cap - 1);
                    std::memcpy(s.text, p, m);
                    s.text[m] = 0;
                    s.len = uint16_t(m);
                    return 1;
                }
                p = q;
            }
        }
        if (s.text && s.cap > 1) {
            s.text[0] = '0';
            s.text[1] = 0;
            s.len = 1;
        }
        at_status.status |= AT_STS_NO_OPERATOR;
        return 2;
    }
    return 0;
}

// Error class of an entry's flags and what an error records.
void ErrorClass(uint16_t flags) {
    const uint32_t cls = (flags >> 5) & 0xFF;
    if (cls == 0) return;
    static constexpr uint8_t kFlagBit[14] = {0, 0, 1, 2, 4, 0, 5, 6, 7, 0, 0, 0, 0, 0};
    static constexpr uint8_t kSockBit[14] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4, 4, 5, 6};
    static constexpr uint8_t kLogNo[14] = {0, 2, 3, 4, 5, 8, 0, 0, 0, 6, 7, 7, 0, 0};
    if (cls >= 14) return;
    if (kFlagBit[cls]) at_status.errors |= uint8_t(1u << kFlagBit[cls]);
    if (kSockBit[cls] && at_status.socket < SOCK_COUNT)
        socket_info_st[at_status.socket].flags |= uint8_t(1u << kSockBit[cls]);
    if (kLogNo[cls]) {
        char t[32];
        std::snprintf(t, sizeof t, "Cirtc Er inc%u %u", unsigned(kLogNo[cls]), unsigned(at_status.errcnt));
        Log(t);
        at_status.errcnt++;
    }
}

// Skips pseudo-commands to the next real command or end entry.
uint32_t SkipPseudo(uint32_t idx) {
    while (idx < at_status.end && at_status.table[idx].cmd_len == AT_PSEUDO) idx++;
    return idx;
}

uint32_t Step(uint32_t from, int32_t by) {
    const int64_t t = int64_t(from) + by;
    return t < 0 ? 0 : uint32_t(t);
}

}  // namespace

uint32_t ModemTimer(uint32_t *stamp, uint32_t ticks) {
    if (ticks == 0) {
        *stamp = FPGA_GetFrt();
        return 1;
    }
    return FPGA_GetFrt() - *stamp >= ticks ? 1 : 0;
}

void Send_AT_Command(uint32_t len, const uint8_t *bytes) {
    SendBytes(bytes, len);
    Msg_RtuTx(PortNo());
}

namespace {
// Start of the line that the LF at buf[end - 1] ends.
uint32_t LineStart(const uint8_t *buf, uint32_t end) {
    uint32_t start = end - 1;
    while (start > 0 && buf[start - 1] != 10) start--;
    return start;
}

// 1 when the line just ended (by the LF at buf[end - 1]) is the head of a
// listed message, "+CMGL: ...": the line after it is the message's text.
uint8_t ListedText(const uint8_t *buf, uint32_t end) {
    static constexpr char kHead[] = "+CMGL:";
    constexpr uint32_t kHeadLen = sizeof kHead - 1;
    const uint32_t start = LineStart(buf, end);
    return end - start > kHeadLen && std::memcmp(buf + start, kHead, kHeadLen) == 0 ? 1 : 0;
}

// The byte count of socket data that the line just ended (by the LF at
// buf[end - 1]) announces: "#SRECV: <id>,<count>" at the start of a line.
// 0 for any other line.
uint16_t AnnouncedData(const uint8_t *buf, uint32_t end) {
    const uint32_t start = LineStart(buf, end);
    static constexpr char kHead[] = "#SRECV:";
    constexpr uint32_t kHeadLen = sizeof kHead - 1;
    if (end - start < kHeadLen + 3 || std::memcmp(buf + start, kHead, kHeadLen) != 0) return 0;
    uint32_t i = start + kHeadLen;
    while (i < end && buf[i] != ',') i++;
    uint32_t n = 0;
    bool digits = false;
    for (i++; i < end && buf[i] >= '0' && buf[i] <= '9'; i++) {
        digits = true;
        n = n * 10 + uint32_t(buf[i] - '0');
        if (n > 0xFFFF) return 0;  // no module reads that much at once: not a header
    }
    return digits ? uint16_t(n) : 0;
}
}  // namespace

uint32_t AT_ReadResponse(uint8_t *buf, uint32_t size) {
    uint32_t res = AT_R_NONE;
    uint32_t first = at_status.count;
    // The bytes read go to the debug log too, a line of 32 characters at a
    // time and what is left at the end of the read.
    std::array<char, 33> seen{};
    uint32_t seen_n = 0;
    while (at_status.count < size && Msg_CheckRx(PortNo()) == 1) {
        const uint8_t b = Msg_GetRx(PortNo());
        buf[at_status.count++] = b;
        seen[seen_n++] = char(b);
        if (seen_n == 32) {
            seen[32] = 0;
            Log(seen.data());
            seen_n = 0;
        }
        // Socket data announced by "#SRECV:" is the peer's, byte for byte:
        // exactly that many bytes are taken as data, none of them looked at
        // for a final result (a peer's "OK\r\n" or "ERROR\r\n" at the start
        // of a line would end the read there and cut the data); the final
        // result follows them.
        if (at_status.raw_left != 0) {
            at_status.raw_left--;
            continue;
        }
        // The text line of a listed message is the sender's too: a message
        // "OK" or "ERROR ..." would end the list there (its text cut away, or
        // every list failing while the message is stored). The module ends
        // it with CR LF; a bare LF is the sender's own line break, and the
        // line after it is still the text.
        if (at_status.text_line) {
            if (b == 10 && at_status.count >= 2 && buf[at_status.count - 2] == 13) {
                at_status.text_line = 0;
                at_status.rstate = 2;
            }
            continue;
        }
        uint32_t r = AT_R_NONE;
        Recognise(b, &r);
        if (r != AT_R_NONE) res = r;
        if (res == AT_R_OK && r == AT_R_OK) at_status.count = at_status.count >= 4 ? uint16_t(at_status.count - 4) : 0;
        if (b == 10 && res == AT_R_NONE) {
            at_status.raw_left = AnnouncedData(buf, at_status.count);
            at_status.text_line = ListedText(buf, at_status.count);
        }
    }
    if (seen_n) {
        seen[seen_n] = 0;
        Log(seen.data());
    }
    const uint32_t n = at_status.count;
    if (res == AT_R_NONE && n >= 4 && buf[n - 4] == 13 && buf[n - 3] == 10 && buf[n - 2] == '>' && buf[n - 1] == ' ' &&
        (at_status.prompt & AT_PR_WAITING) && !(at_status.prompt & AT_PR_SEEN)) {
        res = AT_R_PROMPT;
        at_status.prompt |= AT_PR_SEEN;
    }
    if (first > 10)
        first -= 10;
    else
        first = 0;
    // "NO CARRIER" is looked for over every byte of the read (and the ten
    // before it, for one split between two reads), a peer's socket data
    // included: the flag only records it for the socket and SMS layers, which
    // clear it; nothing ends a connection or a script on it.
    if (n > first && ContainsN(buf + first, n - first, "NO CARRIER", 10)) at_status.prompt |= AT_PR_NO_CARRIER;
    if (res != at_status.last_result) {
        char t[16];
        std::snprintf(t, sizeof t, "RET %u", unsigned(res));
        Log(t);
        at_status.last_result = res;
    }
    return res;
}

uint8_t AT_Cmd_Handler(const at_cmd_st *entry) {
    const at_cmd_st *t = at_status.table;
    const uint32_t start = uint32_t(entry - t);
    uint32_t idx = start;
    AtStatus &s = at_status;
    if (s.phase == AT_PH_SEND) {
        s.rstate = 2;
        s.result = AT_R_NONE;
        SendPhase(idx);
        if (s.phase == AT_PH_SEND) {
            // Nothing to wait for: the step is done.
            s.phase = AT_PH_DONE;
            s.result = AT_R_OK;
            idx = Step(idx, t[idx].next);
        } else {
            return 0;
        }
    }
    if (s.phase == AT_PH_WAIT) {
        const uint32_t r = AT_ReadResponse(s.buf, s.buf_size);
        s.buf[s.count < s.buf_size ? s.count : s.buf_size - 1] = 0;
        const at_cmd_st &e = t[idx];
        if (r == AT_R_ERR) {
            s.result = AT_R_ERR;
            s.phase = AT_PH_DONE;
            idx = Step(idx, e.next);
        } else if (r == AT_R_NONE) {
            if (s.count >= s.buf_size) {
                s.phase = AT_PH_DONE;
                s.result = AT_R_ERR;
            } else if (ModemTimer(&s.sent_at, s.timeout)) {
                s.phase = AT_PH_DONE;
                s.result = AT_R_TIMEOUT;
            } else {
                return 0;
            }
            idx = Step(idx, e.next);
        } else {
            s.result = r;
            if (e.exp_len == 0) {
                if (e.flags & AT_F_PARSE) {
                    s.parse = s.buf;
                    s.parse_len = s.count;
                    s.phase = AT_PH_PARSE;
                } else {
                    s.phase = AT_PH_DONE;
                }
                idx = Step(idx, e.next);
            } else {
                const uint32_t el = uint32_t(std::strlen(e.exp));
                const uint8_t *hit = FindN(s.buf, s.count, e.exp, el);
                if (hit == nullptr) {
                    s.phase = AT_PH_DONE;
                    s.result = AT_R_ERR;
                    // A list the module closed with OK but without an entry
                    // is an empty list, not an error of the module.
                    s.skip_ok = r == AT_R_OK && ((e.flags >> 5) & 0xFF) == 5;
                    idx = Step(idx, e.next);
                } else {
                    s.result = AT_R_FOUND;
                    if (e.flags & AT_F_PARSE) {
                        // The parse text runs from right after the expected
                        // answer to the end of what was read, wherever in the
                        // answer it stood (never past the bytes read).
                        s.parse = hit + el;
                        s.parse_len = uint32_t(s.buf + s.count - (hit + el));
                        s.phase = AT_PH_PARSE;
                        idx = Step(idx, e.next);
                    } else if (e.flags & AT_F_RETURN) {
                        s.phase = AT_PH_SEND;
                        return uint8_t(e.next);
                    } else {
                        s.phase = AT_PH_DONE;
                        s.result = AT_R_OK;
                        idx = Step(idx, e.next);
                    }
                }
            }
        }
    }
    if (s.phase == AT_PH_PARSE) {
        while (idx < s.end && t[idx].cmd_len == AT_PSEUDO) {
            const uint32_t r = ParseOne(t[idx]);
            if (r == 0) break;
            s.result = r == 1 ? AT_R_OK : AT_R_ERR;
            idx = r == 1 ? Step(idx, t[idx].next) : idx + 1;
        }
        s.phase = AT_PH_DONE;
    }
    // Completion.
    const bool success = s.result == AT_R_OK || s.result == AT_R_FOUND;
    if (s.result == AT_R_TIMEOUT && s.state != AT_ST_UNSOL) {
        s.errcnt++;
        s.errors |= AT_ERR_TIMEOUT;
        char m[32];
        std::snprintf(m, sizeof m, "Cirtc Er inc1 %u", unsigned(s.errcnt));
        Log(m);
    } else {
        s.errors &= uint8_t(~AT_ERR_TIMEOUT);
    }
    if (s.result == AT_R_ERR && !s.skip_ok) ErrorClass(t[start].flags);
    if (success) s.errcnt = 0;  // a success ends a run of errors
    s.skip_ok = 0;
    if (s.errcnt > 9) {
        // The controller's clock (hour, minute, second), not the host's.
        char m[48];
        std::snprintf(m, sizeof m, "Cirtc Err cnt %u %d:%d:%d", unsigned(s.errcnt), int(RTCTime[2]), int(RTCTime[1]),
                      int(RTCTime[0]));
        Log(m);
        s.errcnt = 0;
        ModemReset();
        return 0;
    }
    idx = SkipPseudo(idx);
    return uint8_t(idx >= start ? idx - start : 0);
}

void AT_Load(const at_cmd_st *table, uint32_t first, uint32_t count, uint8_t *buf, uint16_t size) {
    at_status.table = table;
    at_status.pos = first;
    at_status.end = first + count;
    at_status.buf = buf;
    at_status.buf_size = size;
    at_status.count = 0;
    at_status.raw_left = 0;
    at_status.text_line = 0;
    at_status.phase = AT_PH_SEND;
    at_status.result = AT_R_NONE;
    at_status.loaded = 1;
}

uint32_t AT_Step() {
    AtStatus &s = at_status;
    if (!s.loaded) return 1;
    const uint32_t before = s.pos;
    const uint16_t resets = s.resets;
    s.stepped = 0;
    const uint8_t n = AT_Cmd_Handler(&s.table[s.pos]);
    if (s.resets != resets) return 1;  // the module was reset
    if (s.phase == AT_PH_SEND && n) {
        s.pos += n;  // the caller sends the next piece
        return 0;
    }
    if (s.phase != AT_PH_DONE) return 0;
    s.stepped = 1;
    // A jump back (n 0 with the position unchanged) repeats the command.
    s.pos = before + n;
    s.phase = AT_PH_SEND;
    if (s.pos >= s.end || s.table[s.pos].cmd_len == AT_END) {
        s.loaded = 0;
        return 1;
    }
    return 0;
}

void AT_Idle() {
    at_status.state = (at_status.status & AT_STS_INIT) ? AT_ST_READY : AT_ST_INIT;
    at_status.socket = AT_SOCKET_NONE;
    at_status.loaded = 0;
}

uint32_t CheckInit() { return at_status.status & AT_STS_INIT; }

uint32_t CheckSigSt() { return ExternalModem ? SigStCSQ : at_status.signal; }

void AT_SetConfig(unsigned item, const char *text, uint32_t len) {
    if (item < 1 || item > 8) return;
    AtConfigStr &c = ConfigDataInStr[item - 1];
    if (len > c.text.size() - 1) len = uint32_t(c.text.size() - 1);
    if (len) std::memcpy(c.text.data(), text, len);
    c.text[len] = 0;
    c.len = uint16_t(len);
}

void ModemReset() {
    // The Ctrl-Z that ends a half-sent message goes only to a module that was
    // switched on: before that the port may be the programming port.
    const uint8_t z = 26;
    if (TelitPowerON) Send_AT_Command(1, &z);
    Log("Modem Reset\n");
    TelitPowerON = 0;
    SigStCSQ = 0;
    AtStatus &s = at_status;
    s.inits = s.activations = s.lists = 0;
    s.imei = {};
    s.number = {};
    s.oper = {};
    s.version = {};
    s.model_text = {};
    s.model = 0;
    s.access_tech = 0;
    for (SocketInfo &k : socket_info_st) {
        const uint32_t sent = k.sent, recv = k.received;
        k = SocketInfo{};
        k.sent = sent;
        k.received = recv;
    }
    s.status = uint8_t((s.status & ~(AT_STS_INIT | AT_STS_CONTEXT)) | AT_STS_RESET);
    s.prompt &= uint8_t(~AT_PR_NO_CARRIER);
    s.resets++;
    s.state = AT_ST_INIT;
    s.phase = AT_PH_SEND;
    s.signal = 0;
    s.errcnt = 0;
    s.loaded = 0;
    s.socket = AT_SOCKET_NONE;
    init_pause = 0;
}

void ModemCyclicStatus() {
    AtStatus &s = at_status;
    if (s.state == AT_ST_READY) {
        s.state = ExternalModem ? AT_ST_CSQ : AT_ST_MONI;
        at_stack_data[0] = AtSlot{};
        AT_Load(at_cmd.data(), s.state, AT_N_STATUS, s.answer.data(), AT_ANSWER_SIZE);
    }
    if (!AT_Step()) return;
    const AtSlot &p = at_stack_data[0];
    if ((s.result == AT_R_OK || s.result == AT_R_FOUND) && p.ptr) {
        const char *txt = reinterpret_cast<const char *>(p.ptr);
        if (ExternalModem) {
            SigStCSQ = uint8_t(std::atoi(txt));
        } else {
            const uint8_t *pw = FindN(p.ptr, p.len, "PWR", 3);
            if (pw == nullptr) {
                s.signal = AT_SIGNAL_UNKNOWN;
            } else {
                const int dbm = std::atoi(reinterpret_cast<const char *>(pw) + 4);
                uint8_t lvl = 0;
                bool found = false;
                for (unsigned i = 0; i < sigst.size(); i++) {
                    if (sigst[i] == dbm) {
                        lvl = uint8_t(i);
                        found = true;
                        break;
                    }
                }
                if (!found) lvl = dbm < -113 ? 1 : dbm <= -96 ? 5 : dbm <= -75 ? 12 : 25;
                s.signal = lvl;
            }
        }
    }
    s.events &= uint8_t(~AT_EV_CYCLIC);
    AT_Idle();
}

void ModemOnetimeStatus() {
    AtStatus &s = at_status;
    if (s.state == AT_ST_READY) {
        s.state = AT_ST_IDENT;
        at_stack_data[0] = AtSlot{0, s.imei.data(), uint16_t(s.imei.size()), nullptr};
        at_stack_data[1] = AtSlot{0, s.number.data(), uint16_t(s.number.size()), nullptr};
        at_stack_data[2] = AtSlot{0, s.oper.data(), uint16_t(s.oper.size()), nullptr};
        at_stack_data[3] = AtSlot{0, s.version.data(), uint16_t(s.version.size()), nullptr};
        at_stack_data[4] = AtSlot{};
        AT_Load(at_cmd.data(), AT_ST_IDENT, AT_N_IDENT, at_resp.data(), AT_RESP_SIZE);
    }
    if (!AT_Step()) return;
    const AtSlot &m = at_stack_data[4];
    const uint32_t ml = m.ptr ? (m.len < s.model_text.size() - 1 ? m.len : uint32_t(s.model_text.size() - 1)) : 0;
    if (ml) std::memcpy(s.model_text.data(), m.ptr, ml);
    s.model_text[ml] = 0;
    s.model = 0;
    for (uint8_t i = 1; i < 7; i++) {
        if (ml && FindN(reinterpret_cast<const uint8_t *>(s.model_text.data()), ml, kModels[i],
                        uint32_t(std::strlen(kModels[i])))) {
            s.model = i;
            break;
        }
    }
    s.events |= AT_EV_IDENT;
    ModemTimer(&s.tick_at, 0);
    AT_Idle();
}

void DataContextActivation() {
    AtStatus &s = at_status;
    if (s.state == AT_ST_READY) {
        if (!AT_SignalValid(s.signal) || (s.status & AT_STS_CONTEXT)) return;
        s.state = AT_ST_ACTIVATE;
        s.errors &= uint8_t(~AT_ERR_ACTIVATION);
        string_init();
        at_stack_data[0] = AtSlot{0, s.ip_text.data(), uint16_t(s.ip_text.size()), nullptr};
        AT_Load(at_cmd.data(), AT_ST_ACTIVATE, AT_N_ACTIVATE, at_resp.data(), AT_RESP_SIZE);
    }
    if (s.state != AT_ST_ACTIVATE) return;
    const uint16_t resets = s.resets;
    if (!AT_Step()) return;
    if (s.resets != resets) return;  // the tenth error in a row reset the module already
    if (s.result == AT_R_OK || s.result == AT_R_FOUND) {
        unsigned a[4] = {};
        if (std::sscanf(s.ip_text.data(), "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]) == 4)
            s.local_ip = (a[0] & 0xFF) << 24 | (a[1] & 0xFF) << 16 | (a[2] & 0xFF) << 8 | (a[3] & 0xFF);
        char m[48];
        // The log line shows the packed address as a signed number.
        std::snprintf(m, sizeof m, "IP:%s %d\n", s.ip_text.data(), int(int32_t(s.local_ip)));
        Log(m);
    }
    // A last step that got no answer (the activation itself) failed as well:
    // the context is not up.
    if (s.errors & (AT_ERR_ACTIVATION | AT_ERR_TIMEOUT)) {
        ModemReset();
        return;
    }
    s.activations++;
    s.errcnt = 0;
    s.status |= AT_STS_CONTEXT;
    AT_Idle();
}

namespace {

std::array<char, AT_ANSWER_SIZE + 1> ss_text;

bool ModemAttached() {
    if (GSMGPRSInfo_St.marker == GSM_MARKER) return true;
    return Sms_MagicIs1VMS();
}

}  // namespace

void AT_ApplySocketStatus(const char *text, uint32_t len) {
    if (len <= 55 || text == nullptr) return;
    const char *p = text;
    const char *end = text + len;
    for (int lines = 0; lines < 6 && p < end; lines++) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *le = eol ? eol : end;
        const char *comma = static_cast<const char *>(std::memchr(p, ',', size_t(le - p)));
        if (comma && comma > p && comma + 1 < le) {
            const uint32_t id = uint32_t(comma[-1] - '0');
            const uint32_t st = uint32_t(comma[1] - '0');
            if (id >= 1 && id <= 6 && st <= 5) Sock_ApplyStatus(id, st, p, uint32_t(le - p));
        }
        if (!eol) break;
        p = eol + 1;
        const char *ss = static_cast<const char *>(std::memchr(p, '#', size_t(end - p)));
        if (ss == nullptr) break;
        p = ss;
    }
}

namespace {

// The module's port, claimed for this pass: the built-in module on its own
// serial record, or an external one on ATPort while no download runs.
// False when the module cannot be served this pass.
bool ModemClaimPort(AtStatus &s) {
    if (Modem_CellularOption()) {
        s.port = MSG_CELL_PORT;
        ExternalModem = 0;
        const uint16_t ctl = PlcWord(W_MODEM_CTL);
        if (ctl == kModemCtlHoldPortMail || ctl == kModemCtlHoldPort) Msg_SetCmdOverride(1);
        const uint8_t *m = Vcomm_ModeRec(s.port);
        if (m == nullptr) return false;
        if (m[0] != kBuiltinMode[0]) {
            Msg_Open(s.port, kBuiltinMode);
            Msg_FlushRx(s.port);
        }
        if (!TelitPowerON) {
            // The built-in module is switched on here, once per reset.
            IoCommPwr(s.port, 1);
            TelitPowerON = 1;
        }
        return true;
    }
    if (!(GSMGPRSInfo_St.b[kGsmConfig] & kGsmCfgTelit)) return false;
    if (Cmd_Downloading) return false;
    s.port = ATPort;
    TelitPowerON = 1;
    ExternalModem = 1;
    const uint8_t *m = Vcomm_ModeRec(s.port);
    if (m == nullptr) return false;
    if (m[0] != ComportCfg[0]) {
        Msg_Open(s.port, ComportCfg.data());
        Msg_FlushRx(s.port);
        if (s.port == MSG_PROG_PORT) Msg_SetCmdOverride(1);
    }
    return true;
}

// One step of the initialisation script: the pause after a step that asks
// for one, the step itself, and at the end the outcome (ready, or a reset
// and a new start).
void ModemInitStep(AtStatus &s) {
    if (!TelitPowerON) return;
    if (init_pause) {
        if (!ModemTimer(&s.done_at, s.done_wait)) return;
        init_pause = 0;
    }
    if (!s.loaded) {
        if (ExternalModem) {
            AT_Load(at_cmd_ext.data(), AT_ST_INIT, AT_N_INIT_EXT, at_resp.data(), AT_RESP_SIZE);
        } else {
            AT_Load(at_cmd.data(), AT_ST_INIT, AT_N_INIT, at_resp.data(), AT_RESP_SIZE);
            GSMGPRSOprtor();
        }
        static std::array<char, 24> netcode_rec;
        at_stack_data[0] = AtSlot{0, netcode_rec.data(), uint16_t(netcode_rec.size()), nullptr};
    }
    const uint16_t resets = s.resets;
    const uint32_t from = s.pos;
    const at_cmd_st *table = s.table;
    uint32_t done = AT_Step();
    if (s.resets != resets || !s.stepped) return;
    char m[32];
    std::snprintf(m, sizeof m, "Status:%u %u\n", unsigned(s.result), unsigned(s.pos - from));
    Log(m);
    if (table[from].wait) {
        ModemTimer(&s.done_at, 0);
        s.done_wait = table[from].wait;
        init_pause = 1;
    }
    if (!done && s.table[s.pos].cmd == at_cmd[AT_IX_CSCA].cmd && ConfigDataInStr[AT_ITEM_SMS_CENTRE - 1].len == 0) {
        s.pos += AT_N_CSCA;  // no SMS centre number: "AT+CSCA=" is skipped
        if (s.pos >= s.end) {
            s.loaded = 0;
            done = 1;
        }
    }
    if (!done) return;
    s.loaded = 0;
    s.state = AT_ST_READY;
    if ((!ExternalModem && (s.errors & AT_ERR_INIT)) || (ExternalModem && (s.errors & AT_ERR_TIMEOUT))) {
        if (!ExternalModem) ModemReset();
        s.state = AT_ST_INIT;
        s.errors = 0;  // the failed run's errors go with it: the next run is judged on its own
        return;
    }
    s.status = uint8_t((s.status | AT_STS_INIT) & ~AT_STS_RESET);
    s.inits++;
    s.errcnt = 0;
    init_pause = 0;
    if (!ExternalModem) ModemOnetimeStatus();
}

// The 1-s tick: the cyclic status every AT_CYCLIC_TICKS ticks; with a good
// signal a socket poll (and the signal bit with a data context), unless the
// context is up on a bad signal.
void ModemTick(AtStatus &s) {
    if (!ModemTimer(&s.tick_at, AT_TICK_1S)) return;
    ModemTimer(&s.tick_at, 0);
    if (++s.ticks >= AT_CYCLIC_TICKS) {
        s.events |= AT_EV_CYCLIC;
        s.ticks = 0;
    }
    const bool context = (s.status & AT_STS_CONTEXT) != 0;
    if (context && !AT_SignalValid(s.signal)) return;
    if (AT_SignalValid(s.signal)) {
        s.events |= AT_EV_SOCKET;
        if (context) s.events |= AT_EV_SIGNAL;
    }
}

// Steps every socket in use; true when any is.
bool ModemStepSockets() {
    bool used = false;
    for (uint32_t n = 0; n < SOCK_COUNT; n++) {
        if (socket_info_st[n].state != 0) {
            used = true;
            DataConnectionLoop(n);
        }
    }
    return used;
}

// Drains what the module sent unasked; an "SRING" sets the socket event.
void ModemDrainUnsolicited(AtStatus &s) {
    if (s.state == AT_ST_READY) {
        s.state = AT_ST_UNSOL;
        s.buf = s.answer.data();
        s.buf_size = AT_ANSWER_SIZE;
        s.count = 0;
        s.raw_left = 0;
        s.text_line = 0;
    }
    AT_ReadResponse(s.buf, s.buf_size);
    s.count = 0;
    s.raw_left = 0;
    s.text_line = 0;
    AT_Idle();
}

// The socket-status script and, when it completes, its "#SS:" lines.
void ModemSocketStatus(AtStatus &s) {
    if (s.state == AT_ST_READY) {
        s.state = AT_ST_SS;
        at_stack_data[0] = AtSlot{0, ss_text.data(), uint16_t(ss_text.size()), nullptr};
        AT_Load(at_cmd.data(), AT_ST_SS, AT_N_SS, s.answer.data(), AT_ANSWER_SIZE);
    }
    if (AT_Step()) {
        AT_Idle();
        s.events &= uint8_t(~AT_EV_SOCKET);
        AT_ApplySocketStatus(at_stack_data[0].text, at_stack_data[0].len);
    }
}

// The sockets' status records for the status readers.
void ModemPublishSockets() {
    for (uint32_t n = 0; n < SOCK_COUNT; n++) {
        const SocketInfo &k = socket_info_st[n];
        uint8_t *g = &Globalsocket_st[SOCK_ST_SIZE * n];
        g[SOCK_ST_CONN] = k.conn_id;
        g[SOCK_ST_FLAGS] = k.flags;
        g[SOCK_ST_STATE] = k.state;
        g[SOCK_ST_PAD] = 0;
        LE_Put32(g + SOCK_ST_SENT, k.sent);
        LE_Put32(g + SOCK_ST_RECEIVED, k.received);
    }
}

}  // namespace

void ModemCycle() {
    ModemHangupPoll();
    if (!ModemAttached()) return;
    AtStatus &s = at_status;
    if (!ModemClaimPort(s)) return;
    // The scripts ModemCycle owns run to their end before anything else.
    switch (s.state) {
    case AT_ST_INIT: ModemInitStep(s); return;
    case AT_ST_CALLER:
        if (AT_Step()) AT_Idle();
        return;
    case AT_ST_IDENT: ModemOnetimeStatus(); return;
    case AT_ST_CSQ:
    case AT_ST_MONI: ModemCyclicStatus(); return;
    default: break;
    }
    ModemTick(s);
    const bool used = ModemStepSockets();
    if (!used) s.events &= uint8_t(~AT_EV_SOCKET);
    if (used && !(s.events & AT_EV_SOCKET) && (s.state == AT_ST_READY || s.state == AT_ST_UNSOL))
        ModemDrainUnsolicited(s);
    if ((s.events & AT_EV_SOCKET) && (s.state == AT_ST_READY || s.state == AT_ST_SS))
        ModemSocketStatus(s);
    else if ((s.events & AT_EV_CYCLIC) && s.state == AT_ST_READY)
        ModemCyclicStatus();
    ModemPublishSockets();
}
