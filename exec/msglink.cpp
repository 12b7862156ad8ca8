// Fills the messaging service's hook table with the command protocol's
// serial driver records and arbitration words, and the ladder engine's
// port-block table with the Talk layer.
#include "exec/msglink.h"

#include "cmd/cmd.h"
#include "iec/blocks/blkport.h"
#include "io/vcomm.h"
#include "ladder/ladder.h"
#include "messaging/messaging.h"
#include "messaging/msghooks.h"
#include "messaging/talk.h"

void Exec_LinkMessaging() {
    msg_hooks.cmd_override = &Cmd_Override;
    lad_talk = LadTalkHooks{TalkOpen, IEC_TalkSend, IEC_TalkReceive, TalkClose,
                            TalkModem, TalkModbus,  IEC_TalkModbus,  TalkInit};
    BlkPort_Hooks = BlkPortHooks{Z7TalkOpen, Z7TalkClose, Z7TalkSend, Z7TalkReceive, Z7TalkModem};
}
