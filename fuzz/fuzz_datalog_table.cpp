// libFuzzer target: the data-log table as downloaded (memory file 22). Byte 0
// of the input seeds the register image (the enable bit and trigger bits),
// the rest is the table; an accepted table is then sampled and stepped for a
// number of scans with the clock moving.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/image/dpram.h"
#include "core/image/plcreg.h"
#include "media/datalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    plc_reg.fill(data[0]);
    dpram.fill(0);
    Dpram_Init();
    if (LOG_Load(std::span<const uint8_t>(data + 1, size - 1), true) != 0) return 0;
    for (uint16_t s = 0; s < 40; s++) {
        PlcWordSet(W_CLOCK, uint16_t(s % 60));
        PlcWordSet(W_CLOCK + 6, uint16_t(1 + s % 7));
        LOG_Update();
        // The channel is answered at once, as the card file manager would.
        dpram[DP_DLOG_ACK] = dpram[DP_DLOG_REQ];
    }
    return 0;
}
