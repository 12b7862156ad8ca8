// placeholder until configuration validation lands.
#include "core/nvram.h"

#include <cstring>

uint32_t NV_EditorFeatures;

uint32_t nv_get_features() { return NV_EditorFeatures; }
void nv_write(uint8_t *dst, const uint8_t *src, std::size_t n) {
    std::memcpy(dst, src, n);
    if (n & 1) dst[n] = 0xFF;
}
uint32_t nvram_init(uint32_t defaults, uint32_t) { return defaults; }
