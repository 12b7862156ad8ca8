// Resource table.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

void Z7VMRsc_FreeAll(uint32_t) {}
