// I/O driver kit.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"

uint32_t Z7DDKC_GetSize(uint32_t) { return 0; }
uint32_t Z7DDKC_Build(uint32_t, uint32_t) { return 0; }
void Z7DDKC_Exchange(uint32_t) {}
void Z7DDKC_Close(uint32_t) {}
uint32_t Z7DDKC_CanBuildHot(uint32_t, uint32_t) { return 0; }
uint32_t Z7DDKC_BuildHot(uint32_t, uint32_t) { return 0; }
