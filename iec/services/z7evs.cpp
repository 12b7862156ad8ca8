// Event server notifications and the public-variable producer.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

void Z7Evs_OnAppStart(void *, const char *) {}
void Z7Evs_OnAppStop(void *, const char *) {}
void Z7Evs_Activate(void *, uint32_t) {}
uint32_t Z7EA_Open(uint32_t, void *) { return 0; }
void Z7EA_Close(uint32_t, void *) {}
void Z7EA_ManageChangeEvents(uint32_t, void *) {}
