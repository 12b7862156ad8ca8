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

namespace {

uint8_t *ModeRec(uint32_t p) { return Vcomm_ModeRec(p); }
uint32_t Open(uint32_t p, const uint8_t *m) { return Vcomm_Call(p, &VcommDrv::Open, m); }
uint32_t CheckRx(uint32_t p) { return Vcomm_Call(p, &VcommDrv::CheckRx); }
void FlushRx(uint32_t p) { Vcomm_Call(p, &VcommDrv::FlushRx); }
uint32_t GetRx(uint32_t p) { return Vcomm_Call(p, &VcommDrv::GetRx); }
uint32_t CheckTx(uint32_t p) { return Vcomm_Call(p, &VcommDrv::CheckTx); }
uint32_t PutTx(uint32_t p, uint8_t b) { return Vcomm_Call(p, &VcommDrv::PutTx, b); }
uint32_t PutnTx(uint32_t p, const uint8_t *b, uint32_t n) { return Vcomm_Call(p, &VcommDrv::PutnTx, b, n); }
uint32_t PutsTx(uint32_t p, const char *t) { return Vcomm_Call(p, &VcommDrv::PutsTx, t); }
uint32_t RtuTx(uint32_t p) { return Vcomm_Call(p, &VcommDrv::RtuTx); }
uint32_t GetDCD(uint32_t p) { return Vcomm_Call(p, &VcommDrv::GetDCD); }
uint32_t Enable(uint32_t p, uint32_t on) { return Vcomm_Call(p, &VcommDrv::Enable, on); }
uint32_t InitWait(uint32_t p, uint32_t us, uint32_t f) { return Vcomm_Call(p, &VcommDrv::InitWait, us, f); }

}  // namespace

void Exec_LinkMessaging() {
    msg_hooks.port = MsgPortOps{ModeRec, Open,   CheckRx, FlushRx, GetRx,  CheckTx, PutTx,
                                PutnTx,  PutsTx, RtuTx,   GetDCD,  Enable, InitWait};
    msg_hooks.cmd_override = &Cmd_Override;
    msg_hooks.vcomm_lock = &Vcomm_Lock;
    msg_hooks.vcomm_host = &Vcomm_Host;
    msg_hooks.downloading = &Cmd_Downloading;
    msg_hooks.cmd_mode = qncan_mode.data();
    lad_talk = LadTalkHooks{TalkOpen, IEC_TalkSend, IEC_TalkReceive, TalkClose,
                            TalkModem, TalkModbus,  IEC_TalkModbus,  TalkInit};
    BlkPort_Hooks = BlkPortHooks{Z7TalkOpen, Z7TalkClose, Z7TalkSend, Z7TalkReceive, Z7TalkModem};
}
