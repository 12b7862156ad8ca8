// Feeds the result readers of the Talk-port modem control (numeric and
// verbose), of the modem manager and the programming port modem's answer
// collector with a modem's bytes from the input; then the manager's data-call
// states or its signal question, and its hang-up, read the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/image/plcreg.h"
#include "fuzz/msg_fuzz_port.h"
#include "messaging/atcmd.h"
#include "messaging/talk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    GsmModem = data[0] & 1;
    msg_fuzz::dcd = (data[0] >> 1) & 1;
    msg_fuzz::Install(data + 1, size - 1);
    modem = ModemRec{};
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) GetResult(0);
    msg_fuzz::Install(data + 1, size - 1);
    GSMindex = 0;
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) GSMGetResult(0);
    msg_fuzz::Install(data + 1, size - 1);
    static char buf[520];
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) {
        const uint32_t n = GetResponseX(buf);
        if (n > 511 || (n && buf[n] != 0)) __builtin_trap();
    }
    msg_fuzz::Install(data + 1, size - 1);
    GSMGPRSInfo_St = GsmInfo{};
    GSMGPRSInfo_St.b[0] = data[0];
    GSMGPRSInfo_St.b[1] = uint8_t(data[0] >> 3);
    // The data-call states, or the signal question whose answer goes to the
    // status register, or the operator list searched for a manual operator.
    GSMGPRSInfo_St.b[3] = (data[0] & 0x80) ? uint8_t((data[0] & 0x40) ? kGsmListOperators : kGsmAskSignal)
                                           : uint8_t(27 + (data[0] >> 2) % 5);
    std::snprintf(NWOprtrName.data(), NWOprtrName.size(), "%s", (data[0] & 0x20) ? "TESTNET" : "");
    NumericOprtCode = 0;
    GSMGPRSInfo_St.status_reg = 32768;
    GSMindex = 0;
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) {
        GSMModemInit(0);
        if (GSMindex >= GSMCmdBuf.size()) __builtin_trap();
        if (strnlen(GSMGPRSInfo_St.oper_code.data(), GSMGPRSInfo_St.oper_code.size()) >=
            GSMGPRSInfo_St.oper_code.size())
            __builtin_trap();
    }
    msg_fuzz::Install(data + 1, size - 1);
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) GSMSMSDisconnect(0, data[0] & 0x40);
    // An initialisation string's answer on a verbose modem: its text goes
    // behind the status word of an IEC request record (exactly its size on
    // the heap) and behind a status register near the image's end.
    GsmModem = 1;
    for (int form = 0; form < 2; form++) {
        msg_fuzz::Install(data + 1, size - 1);
        modem = ModemRec{};
        uint8_t *rec = new uint8_t[Z7MODEM_TEXT + Z7MODEM_TEXTMAX]();
        ModemReq &r = modem.slot[0];
        if (form == 0)
            r.status_at = rec + 4;
        else
            r.status = uint32_t(PLC_REG_SIZE / 2 - 1 - (data[0] & 3));
        modem.busy = 1;
        modem.step[0] = 6;
        ModemTalkTimer(0);
        for (int i = 0; i < 4096 && msg_fuzz::left && modem.step[0] == 6; i++) ModemExecute(0, 0);
        delete[] rec;
    }
    GsmModem = 0;
    return 0;
}
