// Library calls of the extended encoding that have no routine of their own:
// the communication selector (394) and the setting of the CAN network id (544).
#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "ladder/ladint.h"

namespace {

// 394: selectors 0..3 call the communication blocks of the programming port,
// which this build does not have yet: the program stops there. Any other
// selector consumes its word and changes nothing.
int Op_TalkSelect() {
    const uint16_t sel = LadWord(lad.cur);
    if (lad.cur.bad || sel <= 3) return LAD_FAULT;
    return LAD_GO;
}

// 544: set the CAN network id from a value (up to 1024) or from the register
// a larger value names (read at the reference as written).
template <bool S>
int Op_SetNetId() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint32_t v = S ? LadWord(lad.cur) : LadDword(lad.cur);
    uint8_t &power = l_stack[lad.lsp - 1];
    if (lad.cur.bad || !power) return LAD_GO;
    uint32_t id = v;
    if (v > 1024) {
        uint8_t buf[2];
        if (!PlcReg_Get(buf, v, 16)) {
            power = 0;
            return LAD_GO;
        }
        id = LE_Get16(buf);
    }
    if (id == 0 || int64_t(id) > 128 - int64_t(PlcWord(188))) {
        power = 0;
        return LAD_GO;
    }
    power = 1;
    if (id != PlcWord(W_NETID)) {
        PlcWordSet(W_NETID, uint16_t(id));
        SysHook_NetInit();
    }
    return LAD_GO;
}

}  // namespace

void LadLibX_Fill() {
    lad_ops16[394] = lad_opsx[394] = Op_TalkSelect;
    lad_ops16[544] = Op_SetNetId<true>;
    lad_opsx[544] = Op_SetNetId<false>;
}
