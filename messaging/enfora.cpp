// SMS on the GSM modem of the programming port (the Enfora type): the number
// and text lines, the answer collector and the send steps, with the retry
// count that marks the modem for a new initialisation.
#include <cctype>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/timebase.h"
#include "messaging/atcmd.h"
#include "messaging/msghooks.h"
#include "messaging/sms.h"
#include "messaging/talk.h"

uint8_t TxAction = 20;
uint8_t WaitForPrompt, WaitingForResp, ErrorRespFlag;
uint8_t CmdRetryCnt, InitCount, EnforaInit;
std::array<char, 512> EnforaResp;

namespace {

constexpr uint32_t kPort = 0;
constexpr uint32_t kWait = 100000;  // 10 s
uint32_t tx_timer;
uint16_t resp_len;
uint8_t resp_state;  // recogniser: 0 text, 1 after "OK"/"ERROR", 2 after its CR

bool Expired() { return FPGA_GetFrt() - tx_timer >= kWait; }
void Start() { tx_timer = FPGA_GetFrt(); }

}  // namespace

void SendNO(const char *number) {
    Msg_PutsTx(kPort, "AT");
    Msg_PutsTx(kPort, "+CMGS=");
    Msg_PutTx(kPort, '"');
    Msg_PutsTx(kPort, number);
    Msg_PutTx(kPort, '"');
    Msg_PutTx(kPort, 13);
    Msg_RtuTx(kPort);
    WaitForPrompt = 1;
}

void SendSMS(const char *text) {
    Msg_PutsTx(kPort, text);
    Msg_PutTx(kPort, 26);
    Msg_RtuTx(kPort);
}

void ATCommand(const char *text) {
    Msg_FlushTx(kPort);  // nothing left over from an earlier step goes in front
    Msg_PutsTx(kPort, "AT");
    Msg_PutsTx(kPort, text);
    Msg_PutTx(kPort, 13);
    Msg_PutTx(kPort, 10);
    Msg_RtuTx(kPort);
}

uint32_t GetResponseX(char *buf) {
    while (Msg_CheckRx(kPort) == 1) {
        const char c = char(Msg_GetRx(kPort));
        if (resp_len == 0 && (c == 13 || c == 10)) continue;
        if (resp_len >= 511) {
            // A longer answer keeps its last 510 characters and its end.
            std::memmove(buf, buf + 1, 510);
            resp_len = 510;
        }
        buf[resp_len++] = c;
        buf[resp_len] = 0;
        if (resp_state == 0) {
            const bool ok = resp_len >= 2 && std::memcmp(buf + resp_len - 2, "OK", 2) == 0;
            const bool err = resp_len >= 5 && std::memcmp(buf + resp_len - 5, "ERROR", 5) == 0;
            if (err) ErrorRespFlag = 1;
            if (ok || err) resp_state = 1;
        } else if (resp_state == 1) {
            resp_state = c == 13 ? 2 : 0;
        } else {
            if (c == 10) {
                const uint32_t n = resp_len;
                resp_len = 0;
                resp_state = 0;
                Msg_FlushRx(kPort);
                WaitingForResp = 0;
                return n;
            }
            resp_state = 0;
        }
    }
    return 0;
}

void CommInit() {
    if (CmdRetryCnt < 9) {
        if (EnforaInit) CmdRetryCnt++;
    }
    if (CmdRetryCnt >= 9) {
        // Not initialised: the modem manager's next start configures it in full.
        InitCount++;
        EnforaInit = 0;
        GSMGPRSInfo_St.b[kGsmCall] &= uint8_t(~kGsmCallInitDone);
    }
    WaitingForResp = 0;
    TxAction = 20;
    RxAction = Modem_CellularOption() ? 0 : 13;
    sms.status[0] = CmdRetryCnt;
    sms.status[1] = InitCount;
    Sms_WriteStatus();
    if (!EnforaInit) CmdRetryCnt = 0;
}

uint32_t TransmitSMS(const SmsText &number, const SmsText &text) {
    switch (TxAction) {
    case 20:
        if (number.len) {
            char n[32];
            const uint32_t k = number.len < 31 ? number.len : 31;
            std::memcpy(n, number.text.data(), k);
            n[k] = 0;
            SendNO(n);
        }
        resp_len = 0;
        resp_state = 0;
        Start();
        TxAction = 22;
        return 0;
    case 22: {
        bool prompt = false;
        while (Msg_CheckRx(kPort) == 1) {
            if (Msg_GetRx(kPort) == '>') prompt = true;
        }
        if (prompt) {
            WaitForPrompt = 0;
            char t[1025];
            const uint32_t k = text.len < 1024 ? text.len : 1024;
            std::memcpy(t, text.text.data(), k);
            t[k] = 0;
            SendSMS(t);
            WaitingForResp = 1;
            ErrorRespFlag = 0;
            Start();
            TxAction = 21;
            return 0;
        }
        if (Expired()) {
            Msg_PutTx(kPort, 0x1B);
            Msg_RtuTx(kPort);
            CommInit();
            TxAction = 20;
        }
        return 0;
    }
    case 21: {
        const uint32_t n = GetResponseX(EnforaResp.data());
        if (n == 0) {
            if (!Expired()) return 0;
            TxAction = 20;
            WaitingForResp = 0;
            return 2;
        }
        TxAction = 20;
        const char *p = EnforaResp.data();
        while (*p == ' ') p++;
        char up[8] = {};
        for (int i = 0; i < 7 && p[i]; i++) up[i] = char(std::toupper(uint8_t(p[i])));
        return std::strcmp(up, "+CMGS: ") == 0 ? 1 : 3;
    }
    default: TxAction = 20; return 0;
    }
}

namespace {

constexpr uint32_t kParseWait = 20000;  // 2 s before the list is parsed
uint32_t erx_timer;
uint8_t erx_read;     // the listing alternates: 0 unread, 1 read
uint8_t erx_waiting;  // the receive period runs
std::array<char, 4> erx_index;
std::array<char, 24> erx_sender;
std::array<char, 1025> erx_text;
std::array<uint8_t, 32> erx_groups;
uint32_t erx_ngroups, erx_g, erx_e;
SmsText erx_num, erx_txt;

bool ErxPassed(uint32_t ticks) { return FPGA_GetFrt() - erx_timer >= ticks; }
void ErxStart() { erx_timer = FPGA_GetFrt(); }
void ErxCount(unsigned word) { LE_Put16(&sms.status[2 * word], uint16_t(LE_Get16(&sms.status[2 * word]) + 1)); }
void ErxDelete() {
    char cmd[16];
    std::memcpy(cmd, "+CMGD=", 6);
    std::memcpy(cmd + 6, erx_index.data(), 3);
    cmd[9] = 0;
    Msg_FlushRx(kPort);
    ATCommand(cmd);
    resp_len = 0;
    resp_state = 0;
    WaitingForResp = 1;
    ErxStart();
    RxAction = 20;
}

}  // namespace

uint32_t ReceiveSMSEnfora() {
    if (sms.t.nrx == 0) return 1;
    switch (RxAction) {
    case 13:
        if (!erx_waiting) {
            erx_waiting = 1;  // the receive period starts
            ErxStart();
        }
        if (!ErxPassed(ReceiveSMSDuration)) return 0;
        erx_waiting = 0;
        Msg_FlushRx(kPort);
        ATCommand(erx_read ? "+CMGL= \"REC READ\"" : "+CMGL= \"REC UNREAD\"");
        erx_read ^= 1;
        resp_len = 0;
        resp_state = 0;
        ErrorRespFlag = 0;
        WaitingForResp = 1;
        ErxStart();
        RxAction = 14;
        return 0;
    case 14: {
        const uint32_t n = GetResponseX(EnforaResp.data());
        const bool timeout = n == 0 && ErxPassed(kWait);
        // An "ERROR" inside a listed message's text is the sender's, not the
        // modem's: a listing that holds an entry is no error (else any
        // message saying "ERROR" would stay undeleted, counting retries).
        const bool error = ErrorRespFlag && std::strstr(EnforaResp.data(), "+CMGL: ") == nullptr;
        if ((timeout && resp_len < 2) || ((n || timeout) && error)) {
            // No listing: bit 4, and bit 7 when nothing came in the time.
            const uint8_t bits = uint8_t(timeout && !error ? 0x90 : 0x10);
            CommInit();  // writes the counts into status word 0: the bits go on top
            sms.status[1] |= bits;
            Sms_WriteStatus();
            ErxStart();
            return 1;
        }
        // An answer that began but did not end in the time is taken as one
        // too short to hold a message: the cycle is over, no retry counted.
        if (n == 0 && !timeout) return 0;
        sms.status[1] &= uint8_t(~0x80u);
        Sms_WriteStatus();
        if (n < 6) {
            ErxStart();
            RxAction = 13;
            return 1;
        }
        ErxStart();
        RxAction = 15;
        return 0;
    }
    case 15: {
        if (!ErxPassed(kParseWait)) return 0;
        const char *l = EnforaResp.data();
        if (!Sms_ParseList(l, uint32_t(std::strlen(l)), erx_index.data(), erx_sender.data(), erx_sender.size(),
                           erx_text.data(), erx_text.size())) {
            ErxStart();
            RxAction = 13;
            return 1;
        }
        erx_ngroups = Sms_SenderGroups(erx_sender.data(), erx_groups.data(), erx_groups.size());
        ErxCount(2);
        if (erx_ngroups == 0) {
            ErxCount(3);  // unknown sender: deleted unread
            ErxDelete();
            return 0;
        }
        erx_g = erx_e = 0;
        RxAction = 18;
        return 0;
    }
    case 18: {
        const uint32_t len = uint32_t(std::strlen(erx_text.data()));
        if (!Sms_Commands(erx_groups.data(), erx_ngroups, &erx_g, &erx_e, erx_text.data(), len, erx_sender.data(),
                          erx_num, erx_txt)) {
            ErxDelete();
            return 0;
        }
        TxAction = 20;
        RxAction = 22;
        return 0;
    }
    case 22: {
        // The answer goes out as any message; a missing prompt (the retry
        // counted, the states reset) loses only the answer.
        const uint32_t r = TransmitSMS(erx_num, erx_txt);
        if (RxAction != 22) {
            ErxDelete();
            return 0;
        }
        if (r == 0) return 0;
        ErxCount(5);
        ErxDelete();
        return 0;
    }
    case 20:
        if (GetResponseX(EnforaResp.data()) == 0 && !ErxPassed(kWait)) return 0;
        WaitingForResp = 0;
        ErxStart();
        RxAction = 13;
        return 1;
    default:
        ErxStart();
        RxAction = 13;
        return 0;
    }
}
