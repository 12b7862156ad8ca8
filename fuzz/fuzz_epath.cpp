// Feeds arbitrary bytes to the EPATH parser: it never reads past the size it
// is given and never records more than three application paths.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocols/cip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy lets the address sanitizer see any read past the end.
    std::vector<uint8_t> path(data, data + size);
    EpathResult r;
    if (Epath_Parse(path.data(), &r, uint32_t(path.size())) == 0) {
        if (r.count > 3) std::abort();
        if (r.link_len && r.link_pos + r.link_len > size) std::abort();
    }
    return 0;
}
