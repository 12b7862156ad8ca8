// Feeds arbitrary received bytes to ASCII over TCP's storing into a receive
// block whose reference, end character and offset (first part or
// continuation) come from the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "protocols/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    const uint32_t ref = LE_Get32(data);
    const uint32_t off = (data[4] & 1) ? ASCII_SEGMENT : 0;
    Dpr_Set_W_Data(ref + 16, data[5]);
    const size_t n = std::min<size_t>(size - 6, (data[4] & 1) ? ASCII_SECOND_MAX : ASCII_SEGMENT);
    const uint32_t stored = AsciiStore(ref, data + 6, uint32_t(n), off);
    if (stored > n) std::abort();
    return 0;
}
