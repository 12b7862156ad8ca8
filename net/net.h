// The network layer as seen by the executive: the Ethernet manager, the
// programming-tool byte channel of the network mailbox, the per-interface
// Ethernet configuration and the few bytes shared with main and the web server.
#pragma once

#include <array>
#include <cstdint>

#include "net/dpr.h"

// Ethernet manager, once per main-loop pass (skip-e-mail flag, always 0 here):
// starts and steps every network protocol and service; never blocks.
void EnetMain(int skip_email);

// Programming-tool byte channel of the network mailbox.
// 1 when the channel holds an unread block or byte.
uint32_t Etn_CheckRx();
// Next received byte; 0 when nothing is pending.
uint8_t Etn_GetRx();
// Discards what the channel holds; answers the single-byte request toggle.
uint8_t Etn_FlushRx();
// Sends one byte as a one-byte block (112 toggles the end-of-exchange signal).
uint8_t Etn_PutTx(uint8_t byte);
// Sends a block of up to 2,524 bytes.
void Etn_PutnTx(const uint8_t *data, uint32_t length);
// Copies the controller's access state into the network mailbox.
void Etn_UpdateSecurity();
// Copies the network id (%SR29) into the map's network-id word.
void Etn_UpdateStatus();
// Sets the hardware address of "eth0" (interface 0) or "eth1" (1) and its MAC
// text in the hardware-identity image.
void Etn_SetMacId(const uint8_t *mac, uint32_t iface);

// 1 when the Ethernet configuration leaves HTTP to the web HMI server.
extern uint8_t TavixHttp;
// Set to 1 to ask main's web step to restart the web server on a new address.
extern uint8_t TavixUpdateNewIp;
