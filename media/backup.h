// Register backup requests of word 291 (store, restore, erase, clone on the
// card).
#pragma once

#include <cstdint>

// Turns the request bits of word 291 into one pending action and carries it
// out; once per main-loop pass each.
void FailSafeFlagCheck();
// Pending action (0 none), restore handshake state (0 idle, 1 waiting for
// confirmation, 'c' an action chosen) and clone-load confirmation asked.
extern uint8_t Manual_test;
extern uint8_t Mrstate_flag;
extern uint8_t Clone_Sure_Flag;
void ManualRestoreExecute();
// Copies the register image into the backup block and "bkpreg.dta".
uint32_t StoreBBRAM();
// Puts a good backup block back into the register image (the controller
// mode kept) with the IEC application's retained values and sets bit 3 of
// word 291; with the fail-safe flag 1 also marks the backup as restored by
// the fail-safe load (bit 2, restore flag 0, "bkpreg.dta" rewritten). False
// for a bad backup, which changes nothing.
bool RestoreBBRAMImage(uint32_t failsafe);
// The same, then the registers are saved and the controller resets.
void RestoreBBRAM(uint32_t failsafe);
