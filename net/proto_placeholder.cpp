// placeholder until the field protocols, the register HTTP server and the
// DHCP client land: every service starts without sockets, serves nothing and
// counts no connection; the DHCP client never holds a lease.
#include "net/enet_proto.h"

uint8_t dhcpState = 1;

uint32_t Http_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t EtnVComm_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t EtnIo_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t dhcpInit(NX_IP *, NX_PACKET_POOL *, uint8_t, uint32_t) { return 0; }

void Http_Scan(uint32_t) {}
void EtnVComm_Scan(uint32_t) {}
void EtnIo_Scan(uint32_t) {}

uint32_t Ftp_ConnCnt(uint32_t) { return 0; }
uint32_t Http_ConnCnt(uint32_t) { return 0; }
uint32_t EtnVComm_Conn_Cnt(uint32_t) { return 0; }
uint32_t EtnIo_Conn_Cnt(uint32_t) { return 0; }


void dhcpScan(uint8_t, uint32_t) {}
uint32_t getFromDhcp(uint32_t, uint32_t) { return 0; }
