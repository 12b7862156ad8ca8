// The protocol manager as seen by the executive: up to two loadable protocol
// drivers delivered with the user program, and their scan lists.
#pragma once

#include <cstdint>

// Protocol-manager table of the user program; its third 32-bit word is the
// number of loaded drivers (served only when 1 or 2). Placeholder: null, no
// drivers.
extern uint8_t *promgr_table;

// One service pass of driver index's command list (index 0 or 1).
// Placeholder: does nothing.
void PMGR_TheLoop(uint32_t index);
// Loads the drivers of the table when the controller leaves mode 0.
// Placeholder: does nothing.
void PMGR_Start();
// Stops every loaded driver when the controller enters mode 0.
// Placeholder: does nothing.
void PMGR_Stop();
// Exchanges the drivers' register blocks once per scan in modes 1 to 4.
// Placeholder: does nothing.
void PMGR_Scan();
