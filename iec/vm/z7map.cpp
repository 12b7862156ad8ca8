// Variable map. The sizing checks the published-variable table of the image
// (an image without one cannot be built); building the items is a
// placeholder until the map is built: no variable is published.
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

uint32_t Z7VMMap_GetSizing(uint8_t *t, uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = img.Table(16, 16);
    if (off == 0 || img.W16(off) == 0 || img.W16(off + 14) != 0x8000) return 1;
    const uint16_t elem = (img.W16(off + 6) & 0x200) ? 40 : 24;
    const uint16_t count = img.W16(off + 4), layout = img.W16(off + 2);
    uint8_t *d = t + Z7SEC_MAPITEM * Z7_DESC_SIZE;
    d[SD_ELEM] = uint8_t(elem);
    d[SD_ELEM + 1] = 0;
    d[SD_BOUND] = uint8_t(layout);  // the layout identifier is kept with the items
    d[SD_BOUND + 1] = uint8_t(layout >> 8);
    d[SD_ALLOC] = uint8_t(count);
    d[SD_ALLOC + 1] = uint8_t(count >> 8);
    uint8_t *h = t + Z7SEC_MAPHASH * Z7_DESC_SIZE;
    h[SD_ELEM] = 4;
    h[SD_ALLOC] = 49;
    return 0;
}

// Placeholder until the variable map is built: no items.
uint32_t Z7VMMap_Build(uint32_t, uint32_t) { return 0; }
