// Feeds the result readers of the Talk-port modem control (numeric and
// verbose), of the modem manager and the programming port modem's answer
// collector with a modem's bytes from the input; then the manager's data-call
// states and its hang-up read the same bytes.
#include <cstdint>

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
    GSMGPRSInfo_St.b[3] = uint8_t(27 + (data[0] >> 2) % 5);
    GSMindex = 0;
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) {
        GSMModemInit(0);
        if (GSMindex >= GSMCmdBuf.size()) __builtin_trap();
    }
    msg_fuzz::Install(data + 1, size - 1);
    for (int i = 0; i < 4096 && msg_fuzz::left; i++) GSMSMSDisconnect(0, data[0] & 0x40);
    return 0;
}
