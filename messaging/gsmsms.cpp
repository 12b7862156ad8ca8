// Single SMS through the cellular module's scripts: send, list, delete, and
// the receive cycle that checks the sender, applies command messages and
// answers them.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "media/datalog.h"
#include "messaging/atcmd.h"
#include "messaging/sms.h"

uint8_t RxAction;
uint8_t RecvState;
uint32_t ReceiveSMSDuration = 10000;

namespace {

constexpr uint32_t kSendSpacing = 50000;  // 5 s between two sends
uint32_t last_send_end;
bool sent_before;

// Receive cycle.
uint32_t rx_timer;
uint8_t listing;
std::array<uint8_t, 1028> list_buf;  // u16 length + text
uint16_t list_len;
std::array<char, 4> msg_index;
std::array<char, 24> sender;
std::array<char, 1025> msg_text;
uint32_t msg_len;
std::array<uint8_t, 32> groups;
uint8_t ngroups;
uint32_t rx_group, rx_entry;
SmsText answer_num, answer_txt;
std::array<char, 4> del_index;
std::array<char, 1025> send_num, send_txt;

bool SignalOk() { return at_status.signal >= 1 && at_status.signal <= 98; }
bool Ok() { return at_status.result == AT_R_OK || at_status.result == AT_R_FOUND; }

void Count(unsigned word) { LE_Put16(&sms.status[2 * word], uint16_t(LE_Get16(&sms.status[2 * word]) + 1)); }

}  // namespace

uint32_t SendSMSTelit(const SmsText &number, const SmsText &text) {
    AtStatus &s = at_status;
    const uint32_t mine = ExternalModem ? AT_ST_SMS_EXT : AT_ST_SMS;
    if (s.state == AT_ST_READY) {
        if (sent_before && !ModemTimer(&last_send_end, kSendSpacing)) return 0;
        if (!CheckInit() || (!ExternalModem && !SignalOk())) return 0;
        const uint16_t nl = number.len < 1024 ? number.len : 1024;
        const uint16_t tl = text.len < 1024 ? text.len : 1024;
        std::memcpy(send_num.data(), number.text.data(), nl);
        std::memcpy(send_txt.data(), text.text.data(), tl);
        at_stack_data = {};
        at_stack_data[0] = AtSlot{nl, send_num.data(), uint16_t(send_num.size()), nullptr};
        at_stack_data[1] = AtSlot{tl, send_txt.data(), uint16_t(send_txt.size()), nullptr};
        s.prompt = uint8_t((s.prompt & ~AT_PR_SEEN) | AT_PR_WAITING);
        s.state = mine;
        AT_Load(ExternalModem ? at_cmd_ext.data() : at_cmd.data(), ExternalModem ? AT_ST_SMS_EXT : AT_ST_SMS, 3,
                s.answer.data(), AT_ANSWER_SIZE);
    }
    if (s.state != mine) return 0;
    if (!AT_Step()) return 0;
    char m[32];
    std::snprintf(m, sizeof m, "SMS Status:%u,%u\n", unsigned(s.result), 3u);
    DBG_WriteLog(1, m);
    s.events ^= AT_EV_CYCLIC;
    s.prompt &= uint8_t(~(AT_PR_SEEN | AT_PR_WAITING));
    const uint8_t z = 26;
    Send_AT_Command(1, &z);
    uint32_t r;
    if (s.result == AT_R_TIMEOUT) {
        r = 2;
    } else if (!Ok()) {
        r = 3;
    } else {
        r = 1;
        s.prompt &= uint8_t(~AT_PR_NO_CARRIER);
    }
    ModemTimer(&last_send_end, 0);
    sent_before = true;
    AT_Idle();
    if (ExternalModem) s.state = AT_ST_READY;
    return r;
}

uint32_t ReceiveSMS(uint8_t *list, uint16_t *len) {
    AtStatus &s = at_status;
    const uint32_t mine = ExternalModem ? AT_ST_LIST_EXT : AT_ST_LIST;
    if (s.state == AT_ST_READY) {
        if (!CheckInit() || (!ExternalModem && !SignalOk())) return 1;
        at_stack_data = {};
        s.state = mine;
        AT_Load(ExternalModem ? at_cmd_ext.data() : at_cmd.data(), ExternalModem ? AT_ST_LIST_EXT : AT_ST_LIST, 2, list,
                AT_ANSWER_SIZE);
    }
    if (s.state != mine) return 1;
    if (!AT_Step()) return 1;
    *len = Ok() ? s.count : 0;
    s.lists++;
    AT_Idle();
    if (ExternalModem) s.state = AT_ST_READY;
    return 0;
}

uint32_t SmsConfig() { return 0; }

uint32_t DeleteSMS(const char *index) {
    AtStatus &s = at_status;
    if (s.state == AT_ST_READY) {
        if (!CheckInit()) return 1;
        std::snprintf(del_index.data(), del_index.size(), "%s", index);
        at_stack_data = {};
        at_stack_data[0] =
            AtSlot{uint16_t(std::strlen(del_index.data())), del_index.data(), uint16_t(del_index.size()), nullptr};
        s.state = AT_ST_DELETE;
        // The external table has the same entries 8 places further on.
        AT_Load(ExternalModem ? at_cmd_ext.data() : at_cmd.data(), ExternalModem ? AT_ST_DELETE_EXT : AT_ST_DELETE, 2,
                s.answer.data(), AT_ANSWER_SIZE);
    }
    if (s.state != AT_ST_DELETE) return 1;
    if (!AT_Step()) return 1;
    AT_Idle();
    if (ExternalModem) s.state = AT_ST_READY;
    return 0;
}

uint32_t Sms_NumberMatch(const char *snd, const char *contact) {
    char a[32], b[32];
    std::size_t na = 0, nb = 0;
    for (const char *p = snd; *p && na < sizeof a - 1; p++)
        if (*p >= '0' && *p <= '9') a[na++] = *p;
    bool lead = true;
    for (const char *p = contact; *p && nb < sizeof b - 1; p++) {
        if (*p < '0' || *p > '9') continue;
        if (lead && *p == '0') continue;
        lead = false;
        b[nb++] = *p;
    }
    a[na] = 0;
    b[nb] = 0;
    if (na == 0 || nb == 0) return 0;  // an empty number matches nobody
    return (std::strstr(a, b) || std::strstr(b, a)) ? 1 : 0;
}

uint32_t Sms_ParseList(const char *list, uint32_t len, char *index, char *snd, uint32_t scap, char *text,
                       uint32_t tcap) {
    const char *end = list + len;
    const char *p = nullptr;
    for (const char *q = list; q + 7 <= end; q++) {
        if (std::memcmp(q, "+CMGL: ", 7) == 0) {
            p = q + 7;
            break;
        }
    }
    if (p == nullptr) return 0;
    uint32_t k = 0;
    while (p < end && *p >= '0' && *p <= '9' && k < 2) index[k++] = *p++;
    index[k] = 0;
    if (k == 0) return 0;
    // The sender: the quoted field after the status field.
    const char *q1 = static_cast<const char *>(std::memchr(p, ',', size_t(end - p)));
    if (q1 == nullptr) return 0;
    const char *q2 = static_cast<const char *>(std::memchr(q1 + 1, ',', size_t(end - q1 - 1)));
    if (q2 == nullptr) return 0;
    const char *s = q2 + 1;
    if (s < end && *s == '"') s++;
    k = 0;
    while (s < end && *s != '"' && *s != ',' && *s != '\r' && k + 1 < scap) snd[k++] = *s++;
    snd[k] = 0;
    // The text: the line after the header, up to CR.
    const char *nl = static_cast<const char *>(std::memchr(s, '\n', size_t(end - s)));
    if (nl == nullptr) return 0;
    const char *t = nl + 1;
    k = 0;
    while (t < end && *t != '\r' && *t != '\n' && k + 1 < tcap) text[k++] = *t++;
    text[k] = 0;
    return 1;
}

uint32_t Sms_SenderGroups(const char *from, uint8_t *out, uint32_t cap) {
    const SmsTables &t = sms.t;
    uint32_t n = 0;
    for (uint32_t c = 0; c < t.ncontacts; c++) {
        char num[24];
        const uint32_t rec = t.contacts + 20 * c;
        const uint32_t off = LE_Get32(&sms_table_bl[rec]);
        const uint32_t len = LE_Get32(&sms_table_bl[rec + 4]) & 0xFF;
        if (len == 0) {
            // The number is held in registers.
            Sms_ContactNumber(c, num, sizeof num);
        } else {
            const char *src = Sms_String(t, off, len);
            if (src == nullptr) continue;
            const uint32_t m = len < 23 ? len : 23;
            std::memcpy(num, src, m);
            num[m] = 0;
        }
        if (Sms_NumberMatch(from, num) && n < cap) out[n++] = sms_table_bl[rec + 16];
    }
    return n;
}

uint32_t Sms_Commands(const uint8_t *grp, uint32_t ngrp, uint32_t *gi, uint32_t *ei, const char *text, uint32_t len,
                      const char *from, SmsText &num, SmsText &txt) {
    const SmsTables &t = sms.t;
    for (; *gi < ngrp; (*gi)++, *ei = 0) {
        for (; *ei < t.nrx; (*ei)++) {
            const uint32_t e = t.rx + 16 * *ei;
            if (sms_table_bl[e + 9] != grp[*gi]) continue;
            uint8_t rv = 0;
            char reply[168];
            sms.reply = 0;
            if (!ParseSMS(*ei, text, len, reply, sizeof reply, &rv)) continue;
            Sms_WriteStorage("R-", text, len);
            const uint8_t one = 1;
            SMSPlcReg_Set(LE_Get32(&sms_table_bl[e + 12]), &one, 1);
            if (sms_table_bl[e + 8] || sms.reply) {
                const std::size_t sl = std::strlen(from);
                num.len = uint16_t(sl < num.text.size() ? sl : num.text.size());
                std::memcpy(num.text.data(), from, num.len);
                const char *a = rv ? reply : "ACK";
                txt.len = uint16_t(std::strlen(a));
                std::memcpy(txt.text.data(), a, txt.len);
                (*ei)++;
                return 1;
            }
        }
    }
    return 0;
}

uint32_t ReceiveSMSTelit() {
    const SmsTables &t = sms.t;
    RecvState = 0;
    if (t.nrx == 0) {
        RecvState = 1;
        return 1;
    }
    switch (RxAction) {
    case 0:
        ModemTimer(&rx_timer, 0);
        listing = 0;
        RxAction = 1;
        return 0;
    case 1: {
        if (!listing && !ModemTimer(&rx_timer, ReceiveSMSDuration)) return 0;
        listing = 1;
        uint16_t n = 0;
        if (ReceiveSMS(list_buf.data() + 2, &n) != 0) return 0;
        listing = 0;
        list_len = n;
        LE_Put16(list_buf.data(), n);
        if (n > 6) {
            RxAction = 2;
            return 0;
        }
        RxAction = 0;
        RecvState = 1;
        return 1;
    }
    case 2: {
        // The list ends where the engine cut its final "OK".
        const char *l = reinterpret_cast<const char *>(list_buf.data() + 2);
        if (!Sms_ParseList(l, list_len, msg_index.data(), sender.data(), sender.size(), msg_text.data(),
                           msg_text.size())) {
            RxAction = 0;
            RecvState = 1;
            return 1;
        }
        msg_len = uint32_t(std::strlen(msg_text.data()));
        ngroups = uint8_t(Sms_SenderGroups(sender.data(), groups.data(), groups.size()));
        Count(2);
        if (ngroups == 0) {
            Count(3);
            RxAction = 3;
        } else {
            RxAction = 4;
            rx_group = 0;
            rx_entry = 0;
        }
        return 0;
    }
    case 4:
        RxAction = Sms_Commands(groups.data(), ngroups, &rx_group, &rx_entry, msg_text.data(), msg_len, sender.data(),
                                answer_num, answer_txt)
                       ? 5
                       : 3;
        return 0;
    case 5:
        if (SendSMSTelit(answer_num, answer_txt) == 0) return 0;
        Count(5);
        RxAction = 3;
        return 0;
    case 3:
        if (DeleteSMS(msg_index.data()) != 0) return 0;
        RxAction = 0;
        RecvState = 1;
        return 1;
    default: RxAction = 0; return 0;
    }
}
