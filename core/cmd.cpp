// placeholder until the command protocol lands.
#include "core/cmd.h"

uint8_t Cmd_Downloading;
uint8_t Cmd_Override;

void Cmd_PortInit(uint8_t) {}
void Cmd_Init() {}
void Cmd_Check() {}
std::array<uint8_t, 98> Cmd_SS_Info;
