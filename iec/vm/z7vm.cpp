// placeholder until the IEC virtual machine lands: no application is ever
// loaded, so there is no database and no retain data.
#include "iec/vm/z7vm.h"

void *pDB = nullptr;

// placeholder until the IEC virtual machine lands
uint32_t Z7VM_PrepareRetains(void *, const char *) { return 0; }

// placeholder until the IEC virtual machine lands
uint32_t Z7VM_LoadRetains(void *, const char *) { return 0; }

// placeholder until the IEC virtual machine lands
uint32_t Z7VMWarm_SaveToFile(void *, const char *) { return 0; }

// placeholder until the IEC virtual machine lands
uint32_t Z7VMWarm_LoadFromFile(void *, const char *) { return 0; }

// placeholder until the IEC virtual machine lands
void Z7VMWarm_ShutDown(void *, const char *) {}
