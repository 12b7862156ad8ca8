// Block classes, instances and custom functions of the application.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/vm/z7parts.h"

uint16_t Z7VMFbl_GetNbClass(uint32_t) { return 0; }
uint32_t Z7VMFbl_GetClassDataSize(uint32_t) { return 0; }
uint32_t Z7VMFbl_GetInstanceDataSize(uint32_t) { return 0; }
uint32_t Z7VMFbl_Link(uint32_t, uint32_t) { return 0; }
uint32_t Z7VMFbl_InitInstances(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t Z7VMFbl_InitCustomFunctions(uint32_t, uint32_t) { return 0; }
void Z7VMFbl_KeepAlive(uint32_t) {}
void Z7VMFbl_ShutDown(uint32_t) {}
uint32_t Z7Bdll_OpenDynaLinks() { return 0; }
void Z7Bdll_CloseDynaLinks() {}
