// placeholder until the field protocols, the register HTTP server and the
// DHCP client land: every service starts without sockets, serves nothing and
// counts no connection; the DHCP client never holds a lease.
#include "net/enet_proto.h"

uint32_t Egd_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t Srtp_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t Eip_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t EtnVComm_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }
uint32_t EtnIo_Init(NX_IP *, NX_PACKET_POOL *) { return 0; }

void Egd_Scan(uint32_t) {}
void Srtp_Scan(uint32_t) {}
void Eip_Scan(uint32_t) {}
void EtnVComm_Scan(uint32_t) {}
void EtnIo_Scan(uint32_t) {}

uint32_t Egd_ConnCnt() { return 0; }
uint32_t Srtp_Conn_Cnt(uint32_t) { return 0; }
uint32_t Eip_Conn_Cnt(uint32_t) { return 0; }
uint32_t EtnVComm_Conn_Cnt(uint32_t) { return 0; }
uint32_t EtnIo_Conn_Cnt(uint32_t) { return 0; }

void Egd_Config(uint32_t) {}

