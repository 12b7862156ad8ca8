// placeholder until the field protocols land: no protocol driver is loaded.
#include "protocols/pmgr.h"

uint8_t *promgr_table = nullptr;

// placeholder until the field protocols land
void PMGR_TheLoop(uint32_t) {}
// placeholder until the field protocols land
void PMGR_Start() {}
// placeholder until the field protocols land
void PMGR_Stop() {}
// placeholder until the field protocols land
void PMGR_Scan() {}
