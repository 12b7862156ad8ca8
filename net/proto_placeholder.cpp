// placeholder until the virtual serial ports and remote I/O over Ethernet
// land: their services start without sockets, serve nothing and count no
// connection.
#include "net/enet_proto.h"

uint32_t EtnVComm_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t EtnIo_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }

void EtnVComm_Scan(uint32_t) {}
void EtnIo_Scan(uint32_t) {}

uint32_t EtnVComm_Conn_Cnt(uint32_t) { return 0; }
uint32_t EtnIo_Conn_Cnt(uint32_t) { return 0; }
