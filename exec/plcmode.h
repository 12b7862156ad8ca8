// Controller modes and the scan: the one place that starts and stops the
// application, the I/O, the protocol drivers, messaging and the data logger.
#pragma once

#include <array>
#include <cstdint>

#include "core/image/plcreg.h"
#include "core/storage/nvram.h"

extern uint16_t first_run;   // 1 once the first mode change has completed
extern uint32_t scan_total;  // sixteen times the average scan time

// Network configuration of the CAN node: network id, id count, then 10
// bytes of the configuration; its 16-bit word 3 is the rate code.
extern std::array<uint8_t, 12> net_cfg;

// The application engine run by the scan (the ladder engine, or the IEC
// cycle it starts): -1 when the program ended normally, else the word offset
// of an instruction that cannot be executed.
extern int32_t (*Plc_Engine)();

void SetPlcMode(uint32_t mode);
// The IEC runtime applied an on-line change: in modes 2 and 3 it is armed for
// the scan; otherwise it is stored at once.
void Plc_IecChangeApplied();
void PlcInit(uint32_t cold);
void PlcScan();
void IoStart();
// At start-up: enters the mode saved in the loaded image, from stopped.
void RestoreSavedMode();
// Slot check of the I/O configuration; 1 when a slot is not in order.
bool IoConfig();
// Applies the network configuration block.
void NetConfig();
// Restarts the CAN network node.
void Plc_NetInit();