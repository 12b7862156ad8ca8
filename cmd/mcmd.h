// Internal command client: the controller's own services play the
// programming tool. Frames are stuffed into the programming port's receive
// queue, the command processor serves them, and the answers are caught on
// the port's transmit side before they reach the wire.
#pragma once

#include <cstdint>

#include "media/clone.h"  // answer codes and MCMD_Errno shared with the clone

// Takes the programming port (a talk-override request on the mailbox with
// the argument, served at once), turns interception on; 0, or 2004 / 2005
// when the port could not be had.
uint32_t MCMD_Init(uint32_t argument);
// Sends a command frame. Commands answered by a frame receive it into
// rx (rx_max bytes, *rx_len out); others answer their single byte.
uint16_t MCMD_SendCmd(uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx = nullptr, uint32_t rx_max = 0,
                      uint32_t *rx_len = nullptr);
// A data frame (0xFF); the answer byte. The empty closing frame waits 30 s.
uint16_t MCMD_SendData(uint8_t length, const uint8_t *data);
// One answer frame into buffer (max bytes): 255 and *length when a data
// frame came, else the byte or code received.
uint16_t MCMD_GetData(uint32_t *length, uint8_t *buffer, uint32_t max);
// One control byte (0xA0 acknowledges an upload frame).
void MCMD_SendCntl(uint8_t byte);
// Interception off; every user of MCMD_Init calls it on every path.
void MCMD_Close();
