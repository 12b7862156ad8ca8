// libFuzzer target: random word streams run as ladder programs in both
// register layouts, and fed to the library routines directly.
//
// Input: byte 0 selects the layout (bit 0: 16-bit), the first-scan bit (bit 1)
// and a direct library call (bits 2-4, 0 = run the program); byte 1 seeds
// some registers; the rest is the word stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "platform/plat.h"

namespace {

int RtcGet(struct tm *t) {
    std::memset(t, 0, sizeof *t);
    t->tm_mday = 1;
    t->tm_year = 100;
    return 0;
}
int RtcSetNothing(const struct tm *) { return 0; }
const PlatRtcOps kRtc = {RtcGet, RtcSetNothing};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    plat_rtc = &kRtc;  // the clock instruction must not touch the host's clock file
    lad_step_limit = 200000;
    const uint8_t mode = data[0];
    plc_reg.fill(0);
    old_reg.fill(0);
    // A few set bits and words so that contacts and counts vary.
    for (uint32_t i = 0; i < 64; i++) plc_reg[1024 + 37 * i] = uint8_t(data[1] * (i + 1));
    const std::size_t len = std::min<std::size_t>(size - 2, LADDER_BL_SIZE - MF_HDR);
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(len));
    std::memcpy(ladder_bl.data() + MF_HDR, data + 2, len);
    NV_EditorFeatures = (mode & 1) ? 0x8000u : 0u;
    RegTokLen_16b = mode & 1;

    const uint32_t call = (mode >> 2) & 7;
    if (call == 0) {
        plc_reg[64] = (mode & 2) ? 1 : 0;
        const int32_t r = LogicUpdate();
        if (r != -1 && (r < 0 || uint32_t(r) > len / 2)) __builtin_trap();
        LogicUpdate();  // a second scan over the state the first one left
        return 0;
    }
    LadCursor c{ladder_bl.data() + MF_HDR, 0, uint32_t(len / 2), 0};
    for (int round = 0; round < 4 && c.pos < c.end && !c.bad; round++) {
        const uint32_t before = c.pos;
        switch (call) {
        case 1: Logic32bTimers(&c, round & 1, uint16_t(round * 5000)); break;
        case 2: LogicTimers(&c, round & 1, uint16_t(round * 5000)); break;
        case 3: LogicCounters(&c, round & 1); break;
        case 4: Logic32bCounters(&c, round & 1); break;
        case 5: IEC_Multi_Shift(&c); break;
        case 6: IEC_Multi_Rotate(&c); break;
        default: Multi_Shift(&c); break;
        }
        if (c.pos > c.end) __builtin_trap();
        if (c.pos == before) break;
    }
    return 0;
}
