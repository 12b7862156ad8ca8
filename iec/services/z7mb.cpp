// Runtime Modbus client and server of the application.
// Placeholder until this part of the runtime is built: nothing is configured.
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"

uint32_t Z7MB_GetMemorySizing(uint32_t) { return 0; }
uint32_t Z7MB_Build(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t Z7MB_Link(uint32_t) { return 0; }
uint32_t Z7VM_OpenModbus(uint32_t) { return 0; }
void Z7VM_CloseModbus(uint32_t) {}
void Z7VM_ActivateModbus(uint32_t) {}
void Z7VM_ExchangeModbusData(uint32_t) {}
