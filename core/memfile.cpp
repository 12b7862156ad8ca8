// placeholder until program storage lands: nothing is stored or loaded.
#include "core/memfile.h"

uint8_t DrevanoRuntime;

void DrevanoStop() { DrevanoRuntime = 0; }
uint32_t LoadProgram() { return 1; }
uint32_t AutoLoadRegisters() { return 1; }
void AutoSaveRegisters() {}
void SaveProgram() {}
