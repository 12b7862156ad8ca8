// placeholder until the controller modes and the scan land.
#include "core/plcmode.h"

#include "core/plcreg.h"

uint8_t OLPMode;

void SetPlcMode(uint8_t mode) {
    if (mode <= 4) PlcWordSet(W_MODE, mode);
}
void PlcInit(uint32_t cold) { PlcRegInit(cold); }
void PlcScan() {}
void Plc_NetInit() {}
