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

const VcommDrv *Drv(uint32_t port) { return port < VCOMM_PORTS ? &Vcomm_Drv[port] : nullptr; }

uint8_t *ModeRec(uint32_t p) { return Vcomm_ModeRec(p); }
uint32_t Open(uint32_t p, const uint8_t *m) {
    const VcommDrv *d = Drv(p);
    return d && d->Open ? d->Open(p, m) : 0;
}
uint32_t CheckRx(uint32_t p) {
    const VcommDrv *d = Drv(p);
    return d && d->CheckRx ? d->CheckRx(p) : 0;
}
void FlushRx(uint32_t p) {
    const VcommDrv *d = Drv(p);
    if (d && d->FlushRx) d->FlushRx(p);
}
uint32_t GetRx(uint32_t p) {
    const VcommDrv *d = Drv(p);
    return d && d->GetRx ? d->GetRx(p) : 0;
}
uint32_t CheckTx(uint32_t p) {
    const VcommDrv *d = Drv(p);
    return d && d->CheckTx ? d->CheckTx(p) : 0;
}
uint32_t PutTx(uint32_t p, uint8_t b) {
    const VcommDrv *d = Drv(p);
    return d && d->PutTx ? d->PutTx(p, b) : 0;
}
uint32_t PutnTx(uint32_t p, const uint8_t *b, uint32_t n) {
    const VcommDrv *d = Drv(p);
    return d && d->PutnTx ? d->PutnTx(p, b, n) : 0;
}
uint32_t PutsTx(uint32_t p, const char *t) {
    const VcommDrv *d = Drv(p);
    return d && d->PutsTx ? d->PutsTx(p, t) : 0;
}
uint32_t RtuTx(uint32_t p) {
    const VcommDrv *d = Drv(p);
    return d && d->RtuTx ? d->RtuTx(p) : 0;
}
uint32_t GetDCD(uint32_t p) {
    const VcommDrv *d = Drv(p);
    return d && d->GetDCD ? d->GetDCD(p) : 0;
}
uint32_t Enable(uint32_t p, uint32_t on) {
    const VcommDrv *d = Drv(p);
    return d && d->Enable ? d->Enable(p, on) : 0;
}
uint32_t InitWait(uint32_t p, uint32_t us, uint32_t f) {
    const VcommDrv *d = Drv(p);
    return d && d->InitWait ? d->InitWait(p, us, f) : 0;
}

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
