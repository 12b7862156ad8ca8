// The VM request of a communication-server channel handed to the VM and its
// answer sent back on the same channel.
#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7srv.h"
#include "iec/vm/z7vm.h"

namespace {
// The channel's VM request served by serve(db, request, length, answer).
template <typename Serve>
void ServeChannel(Z7CSData *cs, uint32_t channel, Serve serve) {
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
    Z7CS_SendVMAnswer(cs, channel, serve(req, present, ans));
}
}  // namespace

void Z7Def_ServeVMRequest(Z7CSData *cs, uint32_t db, uint32_t channel) {
    ServeChannel(cs, channel,
                 [db](const uint8_t *req, uint32_t n, uint8_t *ans) { return Z7VM_Serve(db, req, n, ans); });
}

void Z7Def_ServeVMRequestEx(Z7CSData *cs, uint32_t db, uint32_t channel, uint16_t event_port) {
    ServeChannel(cs, channel, [db, event_port](const uint8_t *req, uint32_t n, uint8_t *ans) {
        return Z7VM_ServeEx(db, req, n, ans, event_port);
    });
}

// A synchronisation request (kind 24): the three big-endian words at frame
// bytes 5, 9 and 13 replace the first three status words taken from the
// application record; 1 without a database, for another kind or a frame too
// short to hold them.
uint32_t Z7Def_ServeSyncRequest(Z7CSData *cs, uint32_t db, uint32_t channel) {
    const uint8_t *frame = Z7CS_GetRequestFrame(cs, channel);
    const uint32_t st = db ? Z7VM_Status(db) : 0;
    if (st == 0 || frame == nullptr || Z7CS_GetRequestLength(cs, channel) < 17 || frame[4] != 24) return 1;
    Z7Mem_Put32(st + ST_APP4, BE_Get32(frame + 5));
    Z7Mem_Put32(st + ST_APP5, BE_Get32(frame + 9));
    Z7Mem_Put32(st + ST_APPPRE7, BE_Get32(frame + 13));
    return 0;
}
