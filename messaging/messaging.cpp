// Remote messaging. No modem, SMS, e-mail or MQTT exists yet; only the
// override flag of the programming port is kept.
#include "messaging/messaging.h"

#include "core/image/dpram.h"

namespace {
uint8_t talk_override = 0;  // programming port taken from the port blocks
}

// placeholder until the remote messaging subsystem lands
void ModemCycle() {}
// placeholder until the remote messaging subsystem lands
void mqttStateLoop() {}
// placeholder until the remote messaging subsystem lands
void SMS_Start() {}
// placeholder until the remote messaging subsystem lands
void SMS_Stop() {}
// placeholder until the remote messaging subsystem lands
void SMS_Scanner() {}
// placeholder until the remote messaging subsystem lands
void EtnEmailScan(int) {}

// placeholder until the remote messaging subsystem lands
uint32_t IsModemSocketActive(uint32_t, uint32_t) { return 1; }
// placeholder until the remote messaging subsystem lands
uint32_t ModemCheckRecv(uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint8_t ModemDataRecv(uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t ModemDataSend(uint32_t, const uint8_t *, uint32_t, uint32_t) { return 1; }

uint32_t Talk_Override(uint32_t port)
{
    if (port != 0 || talk_override)
        return 0;
    talk_override = 1;
    return 1;
}

void Talk_Release(uint32_t port)
{
    if (port == 0)
        talk_override = 0;
}

// placeholder until the remote messaging subsystem lands
uint32_t TalkOpened(uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
void TalkClosed(uint32_t) {}

void TalkInit()
{
    talk_override = 0;
}

// placeholder until the remote messaging subsystem lands
uint32_t TalkOpen(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t IEC_TalkSend(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t IEC_TalkReceive(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t TalkClose(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t TalkModem(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t TalkModbus(LadCursor *, uint32_t) { return 0; }
// placeholder until the remote messaging subsystem lands
uint32_t IEC_TalkModbus(LadCursor *, uint32_t) { return 0; }

void Dpram_Service() {
    if (dpram[DP_TALK_REQ] == dpram[DP_TALK_ACK]) return;
    const uint32_t port = dpram[DP_TALK_ARG];
    uint8_t result = 2;
    if (Talk_Override(port)) {
        Talk_Release(port);
        if (TalkOpened(port) == 0) result = 0;
    }
    dpram[DP_TALK_RES] = result;
    dpram[DP_TALK_ACK] = dpram[DP_TALK_REQ];
}
