// The VM request of a communication-server channel handed to the VM and its
// answer sent back on the same channel.
#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7srv.h"

void Z7Def_ServeVMRequest(Z7CSData *cs, uint32_t db, uint32_t channel) {
    const uint8_t *req = Z7CS_GetVMRequest(cs, channel);
    uint8_t *ans = Z7CS_GetVMAnswerBuffer(cs, channel);
    const uint8_t *frame = Z7CS_GetRequestFrame(cs, channel);
    if (req == nullptr || ans == nullptr || frame == nullptr) {
        Z7CS_SendRC(cs, channel, 1);
        return;
    }
    // the frame's size field counts the kind byte and the request
    const uint32_t size = BE_Get16(frame + 2);
    const uint32_t present = size >= 1 && size <= Z7CS_PAYLOAD ? size - 1 : 0;
    Z7CS_SendVMAnswer(cs, channel, Z7VM_Serve(db, req, present, ans));
}
