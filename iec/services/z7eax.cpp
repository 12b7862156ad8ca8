// Remote variable bindings.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"

uint16_t Z7EAX_GetNbCnx(uint32_t) { return 0; }
uint16_t Z7EAX_GetNbVar(uint32_t) { return 0; }
uint32_t Z7EAX_Build(uint32_t, uint32_t) { return 0; }
uint32_t Z7EAX_Link(uint32_t) { return 0; }
uint32_t Z7VM_OpenExtData(uint32_t) { return 0; }
void Z7VM_CloseExtData(uint32_t) {}
void Z7VM_UpdateExtData(uint32_t) {}
