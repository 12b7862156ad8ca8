// Standard function table.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

uint32_t Z7VMStf_Execute(uint32_t, uint32_t, uint32_t) { return 0; }
