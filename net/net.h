// The network layer as seen by the executive: the Ethernet manager, the
// programming-tool byte channel of the network mailbox, the per-interface
// Ethernet configuration and the few bytes shared with main and the web server.
#pragma once

#include <array>
#include <cstdint>

// Ethernet manager, once per main-loop pass (skip-e-mail flag, always 0 here):
// starts and steps every network protocol and service; never blocks.
// Placeholder: does nothing.
void EnetMain(int skip_email);

// Programming-tool byte channel of the network mailbox.
// 1 when the channel holds an unread block or byte. Placeholder: 0.
uint32_t Etn_CheckRx();
// Next received byte; call only after Etn_CheckRx. Placeholder: 0.
uint8_t Etn_GetRx();
// Discards what the channel holds. Placeholder: does nothing.
void Etn_FlushRx();
// Sends one byte as a one-byte block (112 toggles the one-byte signal flag).
// Placeholder: drops the byte.
void Etn_PutTx(uint8_t byte);
// Sends a block of up to 2,524 bytes. Placeholder: drops the bytes.
void Etn_PutnTx(const uint8_t *data, uint32_t length);
// Copies the controller's access state into the network mailbox.
// Placeholder: does nothing.
void Etn_UpdateSecurity();
// Copies the network id (%SR29) into the mailbox's status word.
// Placeholder: does nothing.
void Etn_UpdateStatus();
// Sets the hardware address of "eth0" (interface 0) or "eth1" (1) and its MAC
// text in the hardware-identity image. Placeholder: records nothing.
void Etn_SetMacId(const uint8_t *mac, uint32_t iface);

// Ethernet configuration of one interface. This build holds only the fields
// the system services expose as pseudo-registers; the network layer replaces
// it with the full record parsed from the downloaded configuration.
struct DprConfigRec {
    uint32_t address;    // IP address (host byte order)
    uint32_t mask;       // subnet mask
    uint32_t gateway;    // default gateway
    uint32_t dns;        // DNS server
    uint8_t text[128];   // 128-byte text field
};
// One record per interface, eth0 first. Placeholder: all zero.
extern std::array<DprConfigRec, 2> Dpr_Configuration;

// Address of the Ethernet configuration block (the configuration record of
// I/O slot 2); stored by the I/O slot check. Placeholder: null.
extern uint8_t *EtnConfp;

// Bases of %T and %M in the register layout in force (12288 and 14336 in the
// 16-bit layout, 0x10008000 and 0x1001C000 in the extended one).
extern uint32_t T_token;
extern uint32_t M_token;

// 1 when the Ethernet configuration leaves HTTP to the web HMI server.
extern uint8_t TavixHttp;
// Set to 1 to ask main's web step to restart the web server on a new address.
extern uint8_t TavixUpdateNewIp;
