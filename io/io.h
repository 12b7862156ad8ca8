// The I/O subsystem as seen by the main loop.
#pragma once

// Moves frames between the CAN message rings of port 0 and its socket; first
// call of every main-loop pass. Placeholder: does nothing.
void Can_Isr();
