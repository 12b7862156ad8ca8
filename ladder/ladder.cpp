// Ladder interpreter frame: start and end of a scan, the instruction loop,
// program flow (jumps, calls, returns) and the opcode tables.
#include "ladder/ladder.h"

#include <algorithm>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/timebase.h"
#include "iec/services/drevano.h"
#include "ladder/ladint.h"
#include "messaging/messaging.h"

uint8_t RegTokLen_16b = 1;

std::array<uint8_t, LSTACK_SIZE> l_stack;
std::array<uint16_t, WSTACK_SIZE> w_stack;
std::array<uint32_t, CALL_STACK_SIZE> call_stack;
uint8_t call_stack_index;
uint32_t local_frt_100us;
uint16_t time_frt_100us;
uint32_t local_scan_time;
uint32_t local_scan_time_rm;
uint16_t old_change_screen;
uint16_t cmd_group;
uint32_t lad_step_limit = LAD_STEP_LIMIT_DEFAULT;

LadRun lad;
LadOp lad_ops16[LAD_OPCODES];
LadOp lad_opsx[LAD_OPCODES];

namespace {

bool tables_ready;

void TablesInit() {
    for (unsigned i = 0; i < LAD_OPCODES; i++) lad_ops16[i] = lad_opsx[i] = Lad_Invalid;
    LadFrame_Fill();
    LadLogic_Fill();
    LadArith_Fill();
    LadLib_Fill();
    LadFile_Fill();
    LadPid_Fill();
    LadSched_Fill();
    LadFlow_Fill();
    LadLibX_Fill();
    tables_ready = true;
}

// Moves the program counter by a signed offset counted from the current
// position; a target outside the program stops it.
bool JumpBy(int64_t off) {
    const int64_t t = int64_t(lad.cur.pos) + off;
    if (t < 0 || t >= int64_t(lad.cur.end)) return false;
    lad.cur.pos = uint32_t(t);
    return true;
}

bool Call(int64_t off) {
    if (call_stack_index >= CALL_STACK_SIZE) return false;
    const uint32_t ret = lad.cur.pos;
    if (!JumpBy(off)) return false;
    call_stack[call_stack_index++] = ret;
    return true;
}

int Op_End() {
    if (DrevanoRuntime) return LAD_END;
    PlcWordSet(129, uint16_t(lad.forced_screen + 1));
    plc_reg[64] &= uint8_t(~0x01);
    plc_reg[65] &= uint8_t(~0x02);
    if (lad.change_screen != old_change_screen) {
        old_change_screen = lad.change_screen;
        if (lad.change_screen) PlcWordSet(128, lad.change_screen);
    }
    return LAD_END;
}

// 68: jump by a 32-bit offset when the popped power is true.
int Op_Jump32() {
    if (!lad.lsp) return LAD_FAULT;
    const int32_t off = int32_t(LadDword(lad.cur));
    if (lad.cur.bad) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) return LAD_GO;
    return JumpBy(off) ? LAD_GO : LAD_FAULT;
}
// 69: call by a 32-bit offset.
int Op_Call32() {
    if (!lad.lsp) return LAD_FAULT;
    const int32_t off = int32_t(LadDword(lad.cur));
    if (lad.cur.bad) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) return LAD_GO;
    return Call(off) ? LAD_GO : LAD_FAULT;
}
// 70: skip forward while the top power is false (not popped).
int Op_Skip() {
    if (!lad.lsp) return LAD_FAULT;
    const uint16_t off = LadWord(lad.cur);
    if (lad.cur.bad) return LAD_FAULT;
    if (l_stack[lad.lsp - 1]) return LAD_GO;
    return JumpBy(off) ? LAD_GO : LAD_FAULT;
}
// 71: jump by a 16-bit signed offset.
int Op_Jump16() {
    if (!lad.lsp) return LAD_FAULT;
    const int16_t off = int16_t(LadWord(lad.cur));
    if (lad.cur.bad) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) return LAD_GO;
    return JumpBy(off) ? LAD_GO : LAD_FAULT;
}
// 73: call by a 16-bit signed offset.
int Op_Call16() {
    if (!lad.lsp) return LAD_FAULT;
    const int16_t off = int16_t(LadWord(lad.cur));
    if (lad.cur.bad) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) return LAD_GO;
    return Call(off) ? LAD_GO : LAD_FAULT;
}
// 74: return when the popped power is true.
int Op_Return() {
    if (!lad.lsp) return LAD_FAULT;
    if (!l_stack[--lad.lsp]) return LAD_GO;
    if (call_stack_index == 0) return LAD_FAULT;
    const uint32_t ret = call_stack[--call_stack_index];
    if (ret >= lad.cur.end) return LAD_FAULT;
    lad.cur.pos = ret;
    return LAD_GO;
}

void Set(unsigned op, LadOp f) { lad_ops16[op] = lad_opsx[op] = f; }

int32_t RunLoop() {
    const LadOp *ops = RegTokLen_16b ? lad_ops16 : lad_opsx;
    const uint8_t *code = lad.cur.code;
    const uint32_t end = lad.cur.end;
    // The position and the budget live in registers between instructions and
    // go back to lad around each handler, which reads and moves them.
    uint32_t pos = lad.cur.pos;
    int64_t budget = lad.budget;
    for (;;) {
        if (pos >= end) return int32_t(end);  // ran past the end
        const uint32_t w = LE_Get16(code + 2 * std::size_t(pos));
        pos++;
        if (--budget < 0 || (w >= 1024 && lad.lsp >= LSTACK_SIZE)) return int32_t(pos);
        if (w >= 1024) {  // one-word contact
            l_stack[lad.lsp++] = LadGetBit(w) ? 0xFF : 0;
            continue;
        }
        cmd_group = uint16_t(w >> 6);
        if (w >= LAD_OPCODES) return int32_t(pos);
        lad.cur.pos = pos;
        lad.op_pos = pos;
        lad.budget = budget;
        const int rc = ops[w]();
        if (rc != LAD_GO || lad.cur.bad) {
            if (rc == LAD_END && !lad.cur.bad) return -1;
            return int32_t(lad.op_pos);
        }
        pos = lad.cur.pos;
        budget = lad.budget;
    }
}

}  // namespace

int Lad_Invalid() { return LAD_FAULT; }
int Lad_Ignored() { return LAD_GO; }

void LadFrame_Fill() {
    Set(9, Op_End);
    Set(68, Op_Jump32);
    Set(69, Op_Call32);
    Set(70, Op_Skip);
    Set(71, Op_Jump16);
    Set(73, Op_Call16);
    Set(74, Op_Return);
    for (unsigned op : {66u, 67u, 72u, 88u, 89u, 138u, 139u, 159u, 180u, 181u, 185u, 186u, 189u, 190u, 191u})
        Set(op, Lad_Ignored);
}

int32_t LogicUpdate() {
    if (!tables_ready) TablesInit();
    const bool first = LadFirstScan();
    if (first) {
        local_scan_time = 0;
        local_scan_time_rm = 0;
    } else {
        const uint32_t e = FPGA_GetFrt() - local_frt_100us + local_scan_time_rm;
        local_scan_time = e / 10;
        local_scan_time_rm = e % 10;
    }
    const uint32_t now = FPGA_GetFrt();
    local_frt_100us = now;
    PlcDwordSet(276, now);
    time_frt_100us = uint16_t(now & 0x3FFF);
    if (first) {
        RegTokLen_16b = uint8_t((NV_EditorFeatures >> 15) & 1);
        TalkInit();
    }
    call_stack_index = 0;
    lad.lsp = 0;
    lad.wsp = 0;
    lad.forced_screen = 0xFFFF;
    lad.change_screen = 0;
    if (DrevanoRuntime) {
        _VMThread();
        if (!DrevanoRuntime) Op_End();
        return -1;
    }
    const uint32_t len = std::min<uint32_t>(MF_Len(ladder_bl.data()), uint32_t(LADDER_BL_SIZE - MF_HDR));
    lad.cur = {ladder_bl.data() + MF_HDR, 0, len / 2, 0};
    lad.op_pos = 0;
    lad.budget = lad_step_limit;
    return RunLoop();
}
