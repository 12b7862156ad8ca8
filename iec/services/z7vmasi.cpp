// AS-i binding.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"

uint32_t Z7VMAsi_GetSizing(uint32_t) { return 0; }
uint32_t Z7VMAsi_Open(uint32_t, uint32_t, uint32_t) { return 0; }
void Z7VMAsi_Exchange(uint32_t) {}
void Z7VMAsi_Close(uint32_t) {}
uint32_t Z7VMAsi_CanHotStart(uint32_t, uint32_t) { return 0; }
uint32_t Z7VMAsi_HotStart(uint32_t, uint32_t, uint32_t) { return 0; }
void Z7VMAsi_GetMasterProfiles(uint32_t, uint32_t, uint8_t *out) { for (int i = 0; i < 256; i++) out[i] = 0xFF; }
