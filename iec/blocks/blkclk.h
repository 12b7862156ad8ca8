// Module records of the screen and alarm blocks.
#pragma once

#include <cstdint>

// Alarm selection: bit 15 selected, bits 0-8 the selected alarm's screen,
// bits 9-12 the latches of next, previous, clear and acknowledge.
extern uint16_t BlkClk_AlarmStatus;

// Screen force: instance numbering, the holder, the last released instance
// and the screen shown before the force.
struct BlkForceState {
    uint16_t next, holder, released, before;
    uint8_t remembered, renumber;
};
extern BlkForceState BlkClk_Force;
