// The port blocks of the programming port (132 to 137, the communication
// selector 394 and 531), reached through the messaging service's table, and
// the setting of the CAN network id (544).
#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "ladder/ladint.h"

LadTalkHooks lad_talk;

namespace {

using TalkFn = uint32_t (*)(LadCursor *, uint32_t);
using TalkFnX = uint32_t (*)(LadCursor *, uint32_t, uint32_t);

// Calls one port routine with the top power; its answer replaces the power.
int TalkCall(TalkFn fn) {
    if (fn == nullptr || lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(fn(&lad.cur, power));
    return LAD_GO;
}
int TalkCallX(TalkFnX fn, uint32_t indirect) {
    if (fn == nullptr || lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(fn(&lad.cur, power, indirect));
    return LAD_GO;
}

int Op_TalkOpen() { return TalkCall(lad_talk.open); }
int Op_TalkSend() { return TalkCallX(lad_talk.send, 0); }
int Op_TalkReceive() { return TalkCallX(lad_talk.receive, 0); }
int Op_TalkClose() { return TalkCall(lad_talk.close); }
int Op_TalkModbus() { return TalkCall(lad_talk.modbus); }
int Op_TalkModbusX() { return TalkCall(lad_talk.modbus_x); }

// 136: a result of 255 is an operand form the routine does not know; the
// program stops where it left the cursor.
int Op_TalkModem() {
    if (lad_talk.modem == nullptr || lad.lsp < 1) return LAD_FAULT;
    uint8_t &power = l_stack[lad.lsp - 1];
    const uint32_t r = lad_talk.modem(&lad.cur, power);
    if (r == 255) {
        lad.op_pos = lad.cur.pos;
        return LAD_FAULT;
    }
    power = uint8_t(r);
    return LAD_GO;
}

// 394: selector 0/1 send (buffer direct/indirect), 2/3 receive; any other
// selector consumes its word and changes nothing.
int Op_TalkSelect() {
    const uint16_t sel = LadWord(lad.cur);
    if (lad.cur.bad) return LAD_FAULT;
    if (sel <= 1) return TalkCallX(lad_talk.send, sel);
    if (sel <= 3) return TalkCallX(lad_talk.receive, sel - 2u);
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
    lad_ops16[LOP_TALK_OPEN] = lad_opsx[LOP_TALK_OPEN] = Op_TalkOpen;
    lad_ops16[LOP_TALK_SEND] = lad_opsx[LOP_TALK_SEND] = Op_TalkSend;
    lad_ops16[LOP_TALK_RECEIVE] = lad_opsx[LOP_TALK_RECEIVE] = Op_TalkReceive;
    lad_ops16[LOP_TALK_CLOSE] = lad_opsx[LOP_TALK_CLOSE] = Op_TalkClose;
    lad_ops16[LOP_TALK_MODEM] = lad_opsx[LOP_TALK_MODEM] = Op_TalkModem;
    lad_ops16[LOP_TALK_MODBUS] = lad_opsx[LOP_TALK_MODBUS] = Op_TalkModbus;
    lad_ops16[LOP_TALK_SELECT] = lad_opsx[LOP_TALK_SELECT] = Op_TalkSelect;
    lad_ops16[LOP_TALK_MODBUS_X] = lad_opsx[LOP_TALK_MODBUS_X] = Op_TalkModbusX;
    lad_ops16[LOP_SET_NET_ID] = Op_SetNetId<true>;
    lad_opsx[LOP_SET_NET_ID] = Op_SetNetId<false>;
}
