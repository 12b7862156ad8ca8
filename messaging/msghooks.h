// What the messaging service needs from the floors above it: the serial
// driver records of the command protocol's port driver and the port's
// arbitration words. The executive fills msg_hooks at start-up; an empty
// slot behaves as an absent port (nothing received, nothing sent).
#pragma once

#include <cstdint>

// Serial port operations, by driver record number (0 the programming port,
// 2 the cellular module's line).
struct MsgPortOps {
    uint8_t *(*ModeRec)(uint32_t port);                  // current 6-byte mode record
    uint32_t (*Open)(uint32_t port, const uint8_t *mode);
    uint32_t (*CheckRx)(uint32_t port);                  // 1 byte waits, 255 frame end
    void (*FlushRx)(uint32_t port);
    uint32_t (*GetRx)(uint32_t port);
    uint32_t (*CheckTx)(uint32_t port);                  // nonzero: takes a byte
    uint32_t (*PutTx)(uint32_t port, uint8_t byte);
    uint32_t (*PutnTx)(uint32_t port, const uint8_t *data, uint32_t n);
    uint32_t (*PutsTx)(uint32_t port, const char *text);
    uint32_t (*RtuTx)(uint32_t port);
    uint32_t (*GetDCD)(uint32_t port);
    uint32_t (*Enable)(uint32_t port, uint32_t on);
    uint32_t (*InitWait)(uint32_t port, uint32_t us, uint32_t flag);
};

struct MsgHooks {
    MsgPortOps port;
    uint8_t *cmd_override;       // the command processor leaves the port alone
    const uint32_t *vcomm_lock;  // port lock word
    const uint32_t *vcomm_host;  // host code of the lock holder
    const uint8_t *downloading;  // 1 while a download is in progress
    const uint8_t *cmd_mode;     // the command protocol's 6-byte mode record
};
extern MsgHooks msg_hooks;

// Checked calls of the port operations.
uint8_t *Msg_ModeRec(uint32_t port);
uint32_t Msg_Open(uint32_t port, const uint8_t *mode);
uint32_t Msg_CheckRx(uint32_t port);
void Msg_FlushRx(uint32_t port);
uint8_t Msg_GetRx(uint32_t port);
uint32_t Msg_CheckTx(uint32_t port);
void Msg_PutTx(uint32_t port, uint8_t b);
void Msg_PutnTx(uint32_t port, const uint8_t *d, uint32_t n);
void Msg_PutsTx(uint32_t port, const char *text);
void Msg_RtuTx(uint32_t port);
uint32_t Msg_GetDCD(uint32_t port);
void Msg_Enable(uint32_t port, uint32_t on);
void Msg_InitWait(uint32_t port, uint32_t us, uint32_t flag);
// Protocol mode of the port (low nibble of mode byte 5), 0 without a record.
uint8_t Msg_PortMode(uint32_t port);
void Msg_SetCmdOverride(uint8_t v);
uint8_t Msg_CmdOverride();
