// Mailbox area: the request and answer channels (talk, data logger, e-mail,
// debug logger) between the controller and the media services that serve
// them; Dpram_Init clears them.
#include "core/image/dpram.h"

#include <cstring>

std::array<uint8_t, DPRAM_SIZE> dpram;

void Dpram_Init() {
    std::memset(&dpram[0], 0, 268);
    dpram[0] = 1;
    std::memset(&dpram[DP_TALK_REQ], 0, 268);
    std::memset(&dpram[DP_DLOG_REQ], 0, 8752 - DP_DLOG_REQ);
    std::memset(&dpram[DP_MAIL_REQ], 0, 8776 - DP_MAIL_REQ);
    std::memset(&dpram[DP_DBGL_REQ], 0, 74336 - DP_DBGL_REQ);
}
