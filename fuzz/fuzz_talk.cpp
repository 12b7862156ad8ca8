// Feeds the Talk layer's ladder port blocks with operand streams from the
// input: byte 0 picks the block (open, send, receive, close, modem, the two
// Modbus forms), the layout and the power; byte 1 the first-scan bit and the
// port mode; the rest is the word stream, also the bytes the port receives.
// Every block must stay inside its stream and the register image.
#include <cstdint>
#include <cstring>

#include "core/image/plcreg.h"
#include "fuzz/msg_fuzz_port.h"
#include "ladder/ladder.h"
#include "messaging/messaging.h"
#include "messaging/talk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // Each input is a program started afresh: a request of the last one (its
    // operands pointed into that input's words) does not run on.
    TalkInit();
    const uint8_t sel = data[0], b1 = data[1];
    const uint8_t *code = data + 2;
    const uint32_t words = uint32_t((size - 2) / 2);
    // Each input is a program of its own: it starts as a program does, with
    // nothing of the one before (whose bytes are gone) left in the Talk state.
    TalkInit();
    msg_fuzz::Install(code, size - 2);
    msg_fuzz::mode[5] = uint8_t(b1 >> 4);
    msg_fuzz::dcd = b1 & 2;
    RegTokLen_16b = (sel >> 3) & 1;
    if (b1 & 1)
        plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    else
        plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
    const uint32_t power = (sel >> 4) & 1;
    LadCursor c{code, 0, words, 0};
    for (int round = 0; round < 3 && c.pos < c.end; round++) {
        const uint32_t before = c.pos;
        switch (sel % 7) {
        case 0: TalkOpen(&c, power); break;
        case 1: IEC_TalkSend(&c, power, (sel >> 5) & 1); break;
        case 2: IEC_TalkReceive(&c, power, (sel >> 5) & 1); break;
        case 3: TalkClose(&c, power); break;
        case 4: TalkModem(&c, power); break;
        case 5: TalkModbus(&c, power); break;
        default: IEC_TalkModbus(&c, power); break;
        }
        if (c.pos > c.end) __builtin_trap();
        if (c.pos <= before) break;
    }
    return 0;
}
