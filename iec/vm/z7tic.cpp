// Bytecode interpreter.
// Placeholder until this part of the runtime is built: nothing is configured.
// Every program runs to its end at once.
#include "iec/vm/z7parts.h"

void Z7VMTic_Init(uint32_t) {}
void Z7VMTic_Exit(uint32_t) {}
uint32_t Z7VMTic_Run(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }
Z7VMTic_RunFn Z7VMTic_RunPtr = Z7VMTic_Run;
