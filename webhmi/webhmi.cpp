#include "webhmi/webhmi.h"

#include "core/image/plcreg.h"

uint32_t EtnRdsPlcReg_Adr(uint32_t &ref, uint32_t type, uint32_t n, uint32_t b) {
    if (type >= RT_COUNT) return 0;
    const RegTypeInfo &t = reg_types[type];
    if (b < 1 || b > 16) return 0;
    // %SR 193..448 are the words of %ESR 1..256.
    if (type == RT_SR && n >= 193 && n <= 448) {
        ref = REG_ESR_FIRST + 16 * (n - 193) + (b - 1);
        return 1;
    }
    if (n < 1 || n > t.count) return 0;
    if (!t.word) {
        // Bit b counts on from the register; it must stay inside the type.
        if ((n - 1) + (b - 1) >= t.count) return 0;
        ref = t.base + (n - 1) + (b - 1);
        return 1;
    }
    ref = t.base + 16 * (n - 1) + (b - 1);
    return 1;
}
