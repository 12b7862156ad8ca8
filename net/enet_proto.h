// The entry points of the network protocols and services that the Ethernet
// manager starts and steps: initialisation with (IP instance, packet pool),
// one scan per main-loop pass, a connection count for the status word, the
// removal from an IP instance, and the DHCP client's lease. The field protocol servers (command protocol,
// Modbus, ASCII, EGD, SRTP, EtherNet/IP) are reached through enet_hooks
// (net/enet.h).
#pragma once

#include <cstdint>

#include "net/nx.h"

uint32_t Http_Init(NX_IP *ip, NX_PACKET_POOL *pool);
uint32_t EtnVComm_Init(NX_IP *ip, NX_PACKET_POOL *pool);
uint32_t EtnIo_Init(NX_IP *ip, NX_PACKET_POOL *pool);
uint32_t dhcpInit(NX_IP *ip, NX_PACKET_POOL *pool, uint8_t enable, uint32_t iface);

void Http_Scan(uint32_t iface);
void EtnVComm_Scan(uint32_t iface);
void EtnIo_Scan(uint32_t iface);
// When a scan has work next (ms of _tx_time_get, now given).
uint32_t Http_Due(uint32_t iface, uint32_t now);
uint32_t EtnVComm_Due(uint32_t iface, uint32_t now);

uint32_t Ftp_ConnCnt(uint32_t iface);
uint32_t Http_ConnCnt(uint32_t iface);
uint32_t EtnVComm_Conn_Cnt(uint32_t iface);
uint32_t EtnIo_Conn_Cnt(uint32_t iface);

void Http_DeInit(NX_IP *ip);
void EtnVComm_DeInit(NX_IP *ip);
void EtnIo_DeInit(NX_IP *ip);

// DHCP client (net/dhcp.h): one step per pass; the lease item (0 address, 1 mask,
// 2 gateway, 3 DNS); its state byte, non-zero while it holds no lease.
void dhcpScan(uint8_t enable, uint32_t iface);
uint32_t getFromDhcp(uint32_t item, uint32_t iface);
extern uint8_t dhcpState;
