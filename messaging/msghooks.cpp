// The command processor's hands-off flag, through the hook the executive set.
#include "messaging/msghooks.h"

MsgHooks msg_hooks;

void Msg_SetCmdOverride(uint8_t v) {
    if (msg_hooks.cmd_override) *msg_hooks.cmd_override = v;
}
uint8_t Msg_CmdOverride() { return msg_hooks.cmd_override ? *msg_hooks.cmd_override : 0; }
