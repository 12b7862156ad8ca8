// Interpreter timers.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

void Z7VMTmr_UpdateTimers(uint32_t) {}
