// The talk-override channel of the mailbox.
#include "messaging/messaging.h"

#include "core/image/dpram.h"

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
