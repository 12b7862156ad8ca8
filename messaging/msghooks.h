// The messaging service's use of the serial ports: the port driver's
// operations (io/vcomm.h) under short names, and the one word it needs from
// the floor above it, the command processor's hands-off flag. The executive
// aims msg_hooks at that word at start-up; unset, the flag reads 0 and
// setting it does nothing.
#pragma once

#include <cstdint>

#include "io/vcomm.h"

struct MsgHooks {
    uint8_t *cmd_override;  // the command processor leaves the port alone
};
extern MsgHooks msg_hooks;

// Port operations by driver record number (0 the programming port, 2 the
// cellular module's line); a record without the operation receives nothing
// and sends nothing.
inline uint32_t Msg_Open(uint32_t port, const uint8_t *mode) { return Vcomm_Call(port, &VcommDrv::Open, mode); }
inline uint32_t Msg_CheckRx(uint32_t port) {
    return Vcomm_Call(port, &VcommDrv::CheckRx);
}  // 1 byte waits, 255 frame end
inline void Msg_FlushRx(uint32_t port) { Vcomm_Call(port, &VcommDrv::FlushRx); }
inline void Msg_FlushTx(uint32_t port) { Vcomm_Call(port, &VcommDrv::FlushTx); }
inline uint8_t Msg_GetRx(uint32_t port) { return uint8_t(Vcomm_Call(port, &VcommDrv::GetRx)); }
inline uint32_t Msg_CheckTx(uint32_t port) { return Vcomm_Call(port, &VcommDrv::CheckTx); }  // nonzero: takes a byte
inline void Msg_PutTx(uint32_t port, uint8_t b) { Vcomm_Call(port, &VcommDrv::PutTx, b); }
inline void Msg_PutnTx(uint32_t port, const uint8_t *d, uint32_t n) { Vcomm_Call(port, &VcommDrv::PutnTx, d, n); }
inline void Msg_PutsTx(uint32_t port, const char *text) { Vcomm_Call(port, &VcommDrv::PutsTx, text); }
inline void Msg_RtuTx(uint32_t port) { Vcomm_Call(port, &VcommDrv::RtuTx); }
inline uint32_t Msg_GetDCD(uint32_t port) { return Vcomm_Call(port, &VcommDrv::GetDCD); }
inline void Msg_Enable(uint32_t port, uint32_t on) { Vcomm_Call(port, &VcommDrv::Enable, on); }
inline void Msg_InitWait(uint32_t port, uint32_t us, uint32_t flag) { Vcomm_Call(port, &VcommDrv::InitWait, us, flag); }
void Msg_SetCmdOverride(uint8_t v);
uint8_t Msg_CmdOverride();
