// placeholder until the I/O modules and CAN buses land: no expansion module
// is found, no point moves, the CAN node does nothing.
#include <algorithm>
#include <cstring>

#include "core/cmd.h"
#include "core/memfile.h"
#include "core/plcreg.h"
#include "io/io.h"
#include "net/dpr.h"

uint8_t NodeId_Flag;
uint8_t NetStatsClear;

void CANOpenInit(const NetInitRec *) {}
void CANOpenRxMsg() {}
void CANOpenTxMsg() {}
void _Can_SetEvent(uint32_t, uint32_t, CanEventFn) {}
