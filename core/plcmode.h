// Controller modes and the scan.
#pragma once

#include <cstdint>

extern uint8_t OLPMode;  // an on-line program change is armed

void SetPlcMode(uint8_t mode);
void PlcInit(uint32_t cold);
void PlcScan();
void Plc_NetInit();
