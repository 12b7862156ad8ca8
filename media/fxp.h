// File-transfer host: carries out the programming tool's file commands on
// the controller's drives. The command protocol hands over command lines and
// data blocks and collects reply codes and data.
// placeholder until the file-transfer host lands (media/fxp_placeholder.cpp).
#pragma once

#include <cstdint>

// Resets the transfer state.
void Fxp_Initialise();
// line: zero-terminated command line, or null to poll for the reply. Returns
// -1 while in progress, else the reply code; *extra gets a 32-bit value that
// comes with some replies, -1 otherwise. Placeholder: 653 (no host).
int32_t Fxp_DoParseCommand(const char *line, int32_t *extra);
// A block of file data to the controller (length 0 ends it): 651 taken, -1
// offer again next pass, other codes refused. Placeholder: 653.
int32_t Fxp_DoWriteData(const uint8_t *data, uint32_t length);
// Up to max bytes of file data from the controller: the count, -1 ask again
// next pass, or a reply code above 1024. Placeholder: 653.
int32_t Fxp_DoReadData(uint8_t *buffer, uint32_t max);
// One step per main-loop pass. Placeholder: does nothing.
void FxpMain(uint32_t arg);
