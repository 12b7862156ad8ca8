// Mailbox area and the talk-override channel.
// placeholder until the mailbox clients land: the data-logger and
// debug-logger client functions are not built yet.
#include "core/image/dpram.h"

#include <cstring>

#include "messaging/messaging.h"

std::array<uint8_t, DPRAM_SIZE> dpram;

void Dpram_Init() {
    std::memset(&dpram[0], 0, 268);
    dpram[0] = 1;
    std::memset(&dpram[DP_TALK_REQ], 0, 268);
    std::memset(&dpram[DP_DLOG_REQ], 0, 8752 - DP_DLOG_REQ);
    std::memset(&dpram[DP_MAIL_REQ], 0, 8776 - DP_MAIL_REQ);
    std::memset(&dpram[DP_DBGL_REQ], 0, 74336 - DP_DBGL_REQ);
}

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
