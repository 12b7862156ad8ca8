// Extended timers (handed to the timer routines), pointer block moves and
// the multi-register shift and rotate of the extended encoding.
#include <cstring>

#include "ladder/ladint.h"

namespace {

// 450..503: the routine reads the opcode itself.
template <bool WIDE>
int Op_ExtTimer() {
    if (lad.lsp < 1) return LAD_FAULT;
    lad.cur.pos = lad.op_pos - 1;
    uint8_t &power = l_stack[lad.lsp - 1];
    power =
        uint8_t(WIDE ? Logic32bTimers(&lad.cur, power, time_frt_100us) : LogicTimers(&lad.cur, power, time_frt_100us));
    return LAD_GO;
}

// Copies n bytes upward one byte at a time where a destination above the
// source overlaps it (the copied bytes are read again, as a word-by-word
// move does), else in one move.
void CopyUp(uint64_t d, uint64_t s, uint64_t n) {
    uint8_t *img = plc_reg.data();
    if (d > s && d < s + n) {
        for (uint64_t i = 0; i < n; i++) img[d + i] = img[s + i];
    } else {
        std::memmove(img + d, img + s, n);
    }
}

// 505: copy n words; 506: fill n words with the word at S; 507: fill with w.
// These moves leave the power alone, except that a block reaching past the
// image (or a pointer register that names none) is skipped and clears the
// power, as every refused operand of the ladder does.
template <bool S, int OP>
int Op_PtrBlock() {
    const uint64_t d = LadPtrOp<S>(lad.cur);
    uint64_t s = 0;
    uint16_t w = 0;
    if (OP == LOP_PTR_FILL_K)
        w = LadWord(lad.cur);
    else
        s = LadPtrOp<S>(lad.cur);
    const uint64_t n = LadWord(lad.cur);
    if (LadCut()) return LAD_GO;
    if (!LadPtrFits(d, 2 * n) || (OP != LOP_PTR_FILL_K && !LadPtrFits(s, OP == LOP_PTR_BLOCK_MOVE ? 2 * n : 2))) {
        LadPowerClear();
        return LAD_GO;
    }
    LadCharge(n / 8);
    if (OP == LOP_PTR_BLOCK_MOVE) {
        CopyUp(d, s, 2 * n);
        return LAD_GO;
    }
    if (OP == LOP_PTR_FILL) w = LE_Get16(&plc_reg[s]);
    for (uint64_t i = 0; i < n; i++) LE_Put16(&plc_reg[d + 2 * i], w);
    return LAD_GO;
}

// 508: copy 4 bytes S to D; 509: store the immediate v at D.
template <bool S, int OP>
int Op_PtrDword() {
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = OP == LOP_PTR_MOVE32 ? LadPtrOp<S>(lad.cur) : 0;
    const uint32_t v = OP == LOP_PTR_MOVE_K32 ? LadDword(lad.cur) : 0;
    if (LadCut()) return LAD_GO;
    if (!LadPtrFits(d, 4) || (OP == LOP_PTR_MOVE32 && !LadPtrFits(s, 4))) {
        LadPowerClear();
        return LAD_GO;
    }
    // D takes the 4 bytes S held, also where the two overlap (unlike the
    // word-by-word block copy, which reads what it has already written).
    if (OP == LOP_PTR_MOVE32)
        std::memmove(&plc_reg[d], &plc_reg[s], 4);
    else
        LE_Put32(&plc_reg[d], v);
    return LAD_GO;
}

// 511: counted-string copy of min(length of S, capacity of D) characters.
template <bool S>
int Op_CsCopy() {
    const uint64_t d = LadPtrOp<S>(lad.cur);
    const uint64_t s = LadPtrOp<S>(lad.cur);
    if (LadCut()) return LAD_GO;
    if (!LadPtrFits(d, 2) || !LadPtrFits(s, 2)) {
        LadPowerClear();
        return LAD_GO;
    }
    const uint32_t cap = plc_reg[d], slen = plc_reg[s + 1];
    const uint32_t n = slen < cap ? slen : cap;
    if (!LadPtrFits(d + 2, n) || !LadPtrFits(s + 2, n)) {
        LadPowerClear();
        return LAD_GO;
    }
    std::memmove(&plc_reg[d + 2], &plc_reg[s + 2], n);
    plc_reg[d + 1] = uint8_t(n);
    return LAD_GO;
}

// 529, 530: the routine's answer becomes the power, whatever it was.
template <bool SHIFT>
int Op_MultiExt() {
    if (lad.lsp < 1) return LAD_FAULT;
    const uint32_t p = SHIFT ? IEC_Multi_Shift(&lad.cur) : IEC_Multi_Rotate(&lad.cur);
    l_stack[lad.lsp - 1] = uint8_t(p);
    return LAD_GO;
}

template <bool S>
void Fill(LadOp *t) {
    for (unsigned base : {LOP_TRET32_1S, LOP_TRET32_1MS, LOP_TRET32_10MS, LOP_TRET32_100MS})
        for (unsigned i = 0; i < LAD_TIMER_GROUP; i++) t[base + i] = Op_ExtTimer<true>;
    for (unsigned base : {LOP_TRET_1S, LOP_TRET_1MS})
        for (unsigned i = 0; i < LAD_TIMER_GROUP; i++) t[base + i] = Op_ExtTimer<false>;
    t[LOP_PTR_BLOCK_MOVE] = Op_PtrBlock<S, LOP_PTR_BLOCK_MOVE>;
    t[LOP_PTR_FILL] = Op_PtrBlock<S, LOP_PTR_FILL>;
    t[LOP_PTR_FILL_K] = Op_PtrBlock<S, LOP_PTR_FILL_K>;
    t[LOP_PTR_MOVE32] = Op_PtrDword<S, LOP_PTR_MOVE32>;
    t[LOP_PTR_MOVE_K32] = Op_PtrDword<S, LOP_PTR_MOVE_K32>;
    t[LOP_CS_COPY] = Op_CsCopy<S>;
    t[LOP_MULTI_SHIFT_X] = Op_MultiExt<true>;
    t[LOP_MULTI_ROTATE_X] = Op_MultiExt<false>;
}

}  // namespace

void LadExt_Fill() {
    Fill<true>(lad_ops16);
    Fill<false>(lad_opsx);
}
