// Feeds arbitrary bytes to EGD reception as one datagram, for a consumed
// exchange whose items (kinds and lengths from bytes 0-7) cover every kind,
// then builds a produced exchange of 99 items of those kinds: no item may run
// past the datagram or past 1,400 data bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "protocols/egd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Dpr_Init();
        return true;
    }();
    (void)once;
    if (size < 8) return 0;
    DprConfigRec &c = Dpr_Configuration[0];
    std::memset(c.egd, 0, sizeof c.egd);
    DprEgdExchange &in = c.egd[0];
    in.kind = 0x80000001;
    in.header[0] = 0x202;
    in.header[1] = 0x0A4D0003;
    in.header[3] = 500;
    for (unsigned i = 0; i < 8; i++) {
        in.items[i][0] = 32768 + 16 * 40 * i;
        in.items[i][1] = uint32_t(data[i] << 8) | data[(i + 1) % 8];
    }
    DprEgdExchange &out = c.egd[1];
    out.kind = 0x80000003;
    out.header[0] = 0x101;
    out.header[1] = 0x0A4D0003;
    out.header[2] = 100;
    for (unsigned i = 0; i < DPR_EGD_ITEMS; i++) {
        out.items[i][0] = 32768 + 16 * i;
        out.items[i][1] = in.items[i % 8][1];
    }
    EgdReceive(0, data + 8, uint32_t(size - 8), 0);
    static uint8_t buf[EGD_HDR + EGD_DATA_MAX];
    if (EgdBuild(0, 1, 0x101, 0, buf) > sizeof buf) std::abort();
    return 0;
}
