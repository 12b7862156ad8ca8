// Command protocol of the programming tool: the executive's shared state.
#pragma once

#include <array>
#include <cstdint>

extern uint8_t Cmd_Downloading;  // 1 while a download is in progress
extern uint8_t Cmd_Override;     // the port is lent to the modem or the Talk blocks

// Re-opens the programming port in the given protocol (0 own protocol, 1 other).
void Cmd_PortInit(uint8_t mode);
void Cmd_Init();
void Cmd_Check();

// System information record (upload type 17); its second 16-bit word is the
// identity of I/O slot 0.
extern std::array<uint8_t, 98> Cmd_SS_Info;
