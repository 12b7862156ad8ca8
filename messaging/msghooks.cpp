// Checked access to the port operations the executive installed.
#include "messaging/msghooks.h"

MsgHooks msg_hooks;

uint8_t *Msg_ModeRec(uint32_t port) { return msg_hooks.port.ModeRec ? msg_hooks.port.ModeRec(port) : nullptr; }
uint32_t Msg_Open(uint32_t port, const uint8_t *mode) {
    return msg_hooks.port.Open ? msg_hooks.port.Open(port, mode) : 0;
}
uint32_t Msg_CheckRx(uint32_t port) { return msg_hooks.port.CheckRx ? msg_hooks.port.CheckRx(port) : 0; }
void Msg_FlushRx(uint32_t port) {
    if (msg_hooks.port.FlushRx) msg_hooks.port.FlushRx(port);
}
uint8_t Msg_GetRx(uint32_t port) { return msg_hooks.port.GetRx ? uint8_t(msg_hooks.port.GetRx(port)) : 0; }
uint32_t Msg_CheckTx(uint32_t port) { return msg_hooks.port.CheckTx ? msg_hooks.port.CheckTx(port) : 0; }
void Msg_PutTx(uint32_t port, uint8_t b) {
    if (msg_hooks.port.PutTx) msg_hooks.port.PutTx(port, b);
}
void Msg_PutnTx(uint32_t port, const uint8_t *d, uint32_t n) {
    if (msg_hooks.port.PutnTx) msg_hooks.port.PutnTx(port, d, n);
}
void Msg_PutsTx(uint32_t port, const char *text) {
    if (msg_hooks.port.PutsTx) msg_hooks.port.PutsTx(port, text);
}
void Msg_RtuTx(uint32_t port) {
    if (msg_hooks.port.RtuTx) msg_hooks.port.RtuTx(port);
}
uint32_t Msg_GetDCD(uint32_t port) { return msg_hooks.port.GetDCD ? msg_hooks.port.GetDCD(port) : 0; }
void Msg_Enable(uint32_t port, uint32_t on) {
    if (msg_hooks.port.Enable) msg_hooks.port.Enable(port, on);
}
void Msg_InitWait(uint32_t port, uint32_t us, uint32_t flag) {
    if (msg_hooks.port.InitWait) msg_hooks.port.InitWait(port, us, flag);
}
uint8_t Msg_PortMode(uint32_t port) {
    const uint8_t *m = Msg_ModeRec(port);
    return m ? uint8_t(m[5] & 0x0F) : 0;
}
void Msg_SetCmdOverride(uint8_t v) {
    if (msg_hooks.cmd_override) *msg_hooks.cmd_override = v;
}
uint8_t Msg_CmdOverride() { return msg_hooks.cmd_override ? *msg_hooks.cmd_override : 0; }
