// The byte channel's side towards the network service that carries it.
#pragma once

#include <cstdint>

// Read index into the receive block.
extern uint16_t QncanRxIndx;
// Posts the oldest reply held back while the transmit block was busy.
void Etn_TxPump();
// 1 while a reply is posted or held.
uint32_t Etn_TxPending();
// Forgets held replies and the read index (start-up).
void Etn_Reset();

// Driver record through which the command protocol talks to its Ethernet
// host (host 1): the channel's calls as port operations.
constexpr uint32_t ETN_VCOMM_PORT = 1;
void Etn_InstallPort();
