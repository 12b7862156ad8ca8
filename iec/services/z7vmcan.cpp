// Application CAN messages.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"

uint32_t Z7VMCan_GetDBSize(uint32_t, uint8_t *) { return 0; }
uint32_t Z7VMCan_Build(uint32_t, uint32_t) { return 0; }
void Z7VMCan_Exchange(uint32_t) {}
void Z7VMCan_Close(uint32_t) {}
