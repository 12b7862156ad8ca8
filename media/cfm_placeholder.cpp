// placeholder until the card file manager lands: no request is ever taken.
#include "media/cfm.h"

std::array<tCFCB, CFCB_COUNT> cfcb;
tCFCB *pDpramCFCB, *pLoggerCFCB, *pEmailCFCB;

void CFM_Open() {
    cfcb = {};
    pDpramCFCB = &cfcb[1];
    pLoggerCFCB = &cfcb[2];
    pEmailCFCB = &cfcb[8];
}
void CFM_Update() {}
void CFM_TheLoop(uint32_t) {}
uint32_t CFM_LoadDpramReq() { return 0; }
uint32_t CFM_LoadLoggerReq() { return 0; }
uint32_t CFM_LoadEmailReq() { return 0; }
uint32_t CFM_LoadDBGLoggerReq() { return 0; }
uint32_t CFM_PollReq(tCFCB *, int16_t *result) {
    if (result) *result = 97;
    return 4;
}
