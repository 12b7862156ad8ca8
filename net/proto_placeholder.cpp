// placeholder until the remote I/O over Ethernet lands: its service starts
// without sockets, serves nothing and counts no connection.
#include "net/enet_proto.h"

uint32_t EtnIo_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }

void EtnIo_Scan(uint32_t) {}

uint32_t EtnIo_Conn_Cnt(uint32_t) { return 0; }
