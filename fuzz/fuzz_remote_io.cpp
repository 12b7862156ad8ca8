// Feeds arbitrary bytes to the remote-I/O master's walk of the I/O
// configuration (slot records, then the record chain), parses what it finds,
// builds every frame of every station, hands the rest of the input to the
// answer handling of each station, and to the BOOTP server as a datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "net/etnio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint32_t split = (uint32_t(data[0]) << 8 | data[1]) % uint32_t(size);
    const uint8_t *block = data + 2;
    const uint32_t blen = split > 2 ? split - 2 : 0;
    const uint8_t *rest = data + 2 + blen;
    const uint32_t rlen = uint32_t(size) - 2 - blen;
    uint32_t dl = 0;
    const uint8_t *rec = EtnIoConfig(block, blen, data[0] & 1, &dl);
    if (rec != nullptr && rec + dl > block + blen) std::abort();
    if (rec != nullptr && EtnIo_Parse(0, rec, dl) >= 0) {
        EtnIoConnState &c = EtnIOConnState[0];
        c.tid_fc = {0, 0, 0};
        for (uint32_t k = 0; k < c.count; k++) {
            uint8_t f[1600];
            for (uint8_t fc : {2, 15, 16}) {
                const int32_t n = EtnIo_BuildFrame(0, k, fc, f, sizeof f);
                if (n > int32_t(sizeof f)) std::abort();
            }
            c.st[k].last_fc = (rlen && (rest[0] & 1)) ? 2 : 15;
            EtnIoModTcpRxPacket(0, k, rest, rlen);
        }
    }
    static uint8_t out[BOOTP_BYTES];
    BootPAnswer(0, rest, rlen, out);
    return 0;
}
