// Memory files and program storage in the configuration flash.
#pragma once

#include <cstdint>

extern uint8_t DrevanoRuntime;  // an IEC application is in use

void DrevanoStop();
uint32_t LoadProgram();
uint32_t AutoLoadRegisters();
void AutoSaveRegisters();
void SaveProgram();
