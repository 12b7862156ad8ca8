// Ladder logic engine: runs the downloaded ladder program once per scan.
#pragma once

#include <cstdint>

// 1 when programs use the 16-bit register layout, 0 for the extended layout;
// latched on a first scan from bit 15 of the editor features.
extern uint8_t RegTokLen_16b;

// One scan of the ladder program: -1 when the program ran to its end, else
// the word offset of an instruction that could not be executed.
int32_t LogicUpdate();
