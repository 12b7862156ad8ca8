// Register backup requests of word 291 (store, restore, erase, clone on the
// card).
#pragma once

#include <cstdint>

// Turns the request bits of word 291 into one pending action and carries it
// out; once per main-loop pass each.
void FailSafeFlagCheck();
void ManualRestoreExecute();
// Copies the register image into the backup block and "bkpreg.dta".
uint32_t StoreBBRAM();
// Puts a good backup block back into the register image and resets.
void RestoreBBRAM(uint32_t failsafe);
