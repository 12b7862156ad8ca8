// Boolean sampling trace.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

void Z7VMBsmp_Activate(uint32_t) {}
