// Ladder interpreter frame: start and end of a scan, the instruction loop,
// program flow (jumps, calls, returns) and the opcode tables.
#include "ladder/ladder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/timebase.h"
#include "ladder/ladint.h"
#include "media/fileblk.h"

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
uint32_t lad_cache_words = LAD_CACHE_WORDS;

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
    LadFloat_Fill();
    LadText_Fill();
    LadTyped_Fill();
    LadIndex_Fill();
    LadExt_Fill();
    LadPid_Fill();
    LadSched_Fill();
    LadFlow_Fill();
    LadLibX_Fill();
    LadFile_Fill();
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
    PlcWordSet(W_FORCED_SCREEN, uint16_t(lad.forced_screen + 1));
    plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
    plc_reg[SBITS_HI] &= uint8_t(~S_RES_SCAN);
    if (lad.change_screen != old_change_screen) {
        old_change_screen = lad.change_screen;
        if (lad.change_screen) PlcWordSet(W_SCREEN, lad.change_screen);
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

// The instruction loop, word by word, for programs longer than the decoded
// ones below (it gives the same results as RunCells). The position, the
// budget and the power-stack depth live in registers between instructions
// and go back to lad around each handler, which reads and moves them.
// Contacts and the plain coil, most of any program, are run here without a
// call and spend no budget; the coil does exactly what its handler in the
// opcode table does.
template <bool S>
[[gnu::noinline]] int32_t RunLoop() {
    const LadOp *ops = S ? lad_ops16 : lad_opsx;
    const uint8_t *code = lad.cur.code;
    const uint32_t end = lad.cur.end;
    uint8_t *const ls = l_stack.data();
    uint32_t pos = lad.cur.pos;
    int64_t budget = lad.budget;
    uint32_t lsp = lad.lsp;
    uint16_t group = cmd_group;
    int32_t out;
    for (;;) {
        if (pos >= end) {
            out = int32_t(end);  // ran past the end
            break;
        }
        const uint32_t w = LE_Get16(code + 2 * std::size_t(pos));
        pos++;
        if (w >= 1024) {  // one-word contact
            if (lsp >= LSTACK_SIZE) {
                out = int32_t(pos);
                break;
            }
            ls[lsp++] = uint8_t(0u - ((plc_reg[(w >> 3) - 128] >> (w & 7)) & 1u));
            continue;
        }
        if (w == LOP_COIL) {  // coil, as its handler in the table does it
            uint32_t b;
            if constexpr (S) {
                if (pos >= end) {
                    if (--budget >= 0) group = 0;
                    out = int32_t(pos);
                    break;
                }
                b = LE_Get16(code + 2 * std::size_t(pos));
                b = b >= 1024 ? b : LAD_NOREF;
                pos++;
            } else {
                if (pos + 2 > end) {
                    if (--budget >= 0) group = 0;
                    out = int32_t(pos);
                    break;
                }
                b = LadCheckBit(LadRemap(LE_Get32(code + 2 * std::size_t(pos))));
                pos += 2;
            }
            group = 0;
            if (lsp < 1) {
                out = int32_t(pos - (S ? 1 : 2));
                break;
            }
            const bool p = ls[--lsp] != 0;
            if (b != LAD_NOREF) {
                const uint32_t m = 1u << (b & 7);
                uint8_t &x = plc_reg[(b >> 3) - 128];
                x = uint8_t((x & ~m) | (p ? m : 0));
            }
            continue;
        }
        if (--budget < 0) {
            out = int32_t(pos);
            break;
        }
        group = uint16_t(w >> 6);
        if (w >= LAD_OPCODES) {
            out = int32_t(pos);
            break;
        }
        lad.cur.pos = pos;
        lad.op_pos = pos;
        lad.budget = budget;
        lad.lsp = lsp;
        cmd_group = group;
        const int rc = ops[w]();
        if (rc != LAD_GO || lad.cur.bad) return (rc == LAD_END && !lad.cur.bad) ? -1 : int32_t(lad.op_pos);
        pos = lad.cur.pos;
        budget = lad.budget;
        lsp = lad.lsp;
        if (budget <= 0) {  // spent: the next instruction stops
            out = pos < end ? int32_t(pos + 1) : int32_t(end);
            break;
        }
    }
    lad.lsp = lsp;
    cmd_group = group;
    return out;
}

// ---- decoded programs --------------------------------------------------------------
// A program of up to LAD_CACHE_WORDS words is run from cells decoded from its
// words the first time the loop reaches them: a contact or a plain coil
// keeps its checked byte and bit, every other instruction goes through the
// opcode table as in RunLoop. The cells hold only what the words say, so
// they stay valid while the program's words and layout are those they were
// decoded from; each scan compares the program with the copy kept at the
// last decoding and starts afresh when anything differs.
// The most common value-stack instructions (skip, pop, 16-bit load,
// constant, store, add, subtract, multiply) whose operands check out at
// decoding keep them decoded and run in the loop, spending the budget and
// setting the group as through the table; whatever would fault (a stack too
// shallow or too deep) goes through their handlers, which report it.
enum LadCellKind : uint8_t {
    CELL_NEW,
    CELL_CONTACT,
    CELL_COIL,
    CELL_NOCOIL,
    CELL_TABLE,
    CELL_BEYOND,
    CELL_PAST_END,
    CELL_SKIP,     // LOP_SKIP: byte = the target position
    CELL_POP,      // LOP_POP
    CELL_LOAD16,   // LOP_LOAD16: byte = the word index
    CELL_CONST16,  // LOP_CONST16: byte = the constant
    CELL_STORE16,  // LOP_STORE16: byte = the word index
    CELL_ADD16,    // LOP_ADD16
    CELL_SUB16,    // LOP_SUB16
    CELL_MUL16,    // LOP_MUL16
    CELL_KINDS
};
struct LadCell {
    uint32_t byte;  // image byte of the bit; CELL_TABLE: the position after the opcode; CELL_BEYOND: the opcode
    uint8_t kind;
    uint8_t bit;   // bit mask; value-stack kinds: words of the instruction
    uint16_t len;  // words of the instruction; CELL_TABLE and value-stack kinds: the opcode
};
LadCell lad_cells[LAD_CACHE_WORDS + 1];
uint16_t lad_snap[LAD_CACHE_WORDS];
uint32_t lad_snap_len = 0xFFFFFFFFu;
uint8_t lad_snap_layout;

// Starts the cells afresh when the program differs from the decoded one.
void CacheCheck(const uint8_t *code, uint32_t words, uint8_t layout) {
    if (words == lad_snap_len && layout == lad_snap_layout && std::memcmp(code, lad_snap, 2 * std::size_t(words)) == 0)
        return;
    std::memcpy(lad_snap, code, 2 * std::size_t(words));
    std::memset(lad_cells, 0, sizeof(LadCell) * words);
    lad_cells[words] = {0, CELL_PAST_END, 0, 0};
    lad_snap_len = words;
    lad_snap_layout = layout;
}

// A value-stack instruction with its operands decoded, or a table cell when
// they do not check out (its handler reports what is wrong).
template <bool S>
LadCell DecodeValue(const uint8_t *code, uint32_t pos, uint32_t end, uint32_t w) {
    const LadCell table{pos + 1, CELL_TABLE, 0, uint16_t(w)};
    LadCursor c{code, pos + 1, end, 0};
    uint32_t v = 0;
    uint8_t kind = CELL_TABLE;
    switch (w) {
    case LOP_POP: kind = CELL_POP; break;
    case LOP_SKIP:
        v = LadWord(c);
        v += c.pos;  // counted from the word after the operand
        if (v >= end) return table;
        kind = CELL_SKIP;
        break;
    case LOP_LOAD16:
    case LOP_STORE16:
        v = LadWordOp<S>(c, 1);
        if (v == LAD_NOREF) return table;
        kind = w == LOP_LOAD16 ? CELL_LOAD16 : CELL_STORE16;
        break;
    case LOP_CONST16:
        v = LadWord(c);
        kind = CELL_CONST16;
        break;
    case LOP_ADD16: kind = CELL_ADD16; break;
    case LOP_SUB16: kind = CELL_SUB16; break;
    case LOP_MUL16: kind = CELL_MUL16; break;
    default: return table;
    }
    if (c.bad) return table;
    return {v, kind, uint8_t(c.pos - pos), uint16_t(w)};
}

// Decodes the instruction at pos (pos < end).
template <bool S>
LadCell Decode(const uint8_t *code, uint32_t pos, uint32_t end) {
    const uint32_t w = LE_Get16(code + 2 * std::size_t(pos));
    if (w >= 1024) return {(w - 1024) >> 3, CELL_CONTACT, uint8_t(1u << (w & 7)), 1};
    if (w >= LAD_OPCODES) return {w, CELL_BEYOND, 0, 1};
    if (w != LOP_COIL) return DecodeValue<S>(code, pos, end, w);
    uint32_t b;
    uint16_t len;
    if constexpr (S) {
        if (pos + 2 > end) return {pos + 1, CELL_TABLE, 0, uint16_t(w)};  // the handler reports the cut operand
        b = LE_Get16(code + 2 * std::size_t(pos) + 2);
        b = b >= 1024 ? b : LAD_NOREF;
        len = 2;
    } else {
        if (pos + 3 > end) return {pos + 1, CELL_TABLE, 0, uint16_t(w)};
        b = LadCheckBit(LadRemap(LE_Get32(code + 2 * std::size_t(pos) + 2)));
        len = 3;
    }
    if (b == LAD_NOREF) return {0, CELL_NOCOIL, 0, len};
    return {(b - 1024) >> 3, CELL_COIL, uint8_t(1u << (b & 7)), len};
}

// Contacts and coils only move forward, so they cannot keep a scan going:
// only the instructions of the opcode table and the value-stack cells spend
// the budget, and once it is spent the next instruction of any kind stops
// the program. The budget is therefore above 0 whenever an instruction
// starts. Each cell kind jumps straight to the next cell's code.
template <bool S>
[[gnu::noinline]] int32_t RunCells() {
    const LadOp *ops = S ? lad_ops16 : lad_opsx;
    LadCell *const cells = lad_cells;
    uint8_t *img = plc_reg.data();
    uint8_t *ls = l_stack.data();
    uint16_t *ws = w_stack.data();
    const LadCell *c = cells + lad.cur.pos;
    int64_t budget = lad.budget;
    uint8_t *ls_full = ls + LSTACK_SIZE;
    uint8_t *sp = ls + lad.lsp;  // next free entry of l_stack
    uint32_t wsp = lad.wsp;      // entries on w_stack
    // Keeps these addresses in registers rather than computed again at each use.
    asm("" : "+r"(img), "+r"(ls), "+r"(ls_full), "+r"(ws));
    int32_t out;
    int32_t r16;  // result of a 16-bit add, subtract or multiply
    if (budget <= 0) {
        out = lad.cur.pos < lad.cur.end ? int32_t(lad.cur.pos + 1) : int32_t(lad.cur.end);
        return out;
    }
    // The code of each cell kind, in the order of LadCellKind.
    static void *const kinds[] = {&&new_cell, &&contact, &&coil,    &&nocoil,  &&table, &&beyond, &&past_end, &&skip,
                                  &&pop,      &&load16,  &&const16, &&store16, &&add16, &&sub16,  &&mul16};
    static_assert(std::size(kinds) == CELL_KINDS);
// The next cell: contacts and coils, most of any program, by a test, the
// rest through the table of kinds.
#define LAD_NEXT()                            \
    do {                                      \
        const uint8_t k_ = c->kind;           \
        if (k_ == CELL_CONTACT) goto contact; \
        if (k_ == CELL_COIL) goto coil;       \
        goto *kinds[k_];                      \
    } while (0)
// A value-stack instruction is done: it spends the budget and sets the group
// as through the table, then the cell at target runs.
#define LAD_VALUE_NEXT(target)                                               \
    do {                                                                     \
        const LadCell *next_ = (target);                                     \
        cmd_group = uint16_t(c->len >> 6);                                   \
        if (--budget <= 0) { /* spent: the next instruction stops */         \
            const uint32_t n_ = uint32_t(next_ - cells);                     \
            out = n_ < lad.cur.end ? int32_t(n_ + 1) : int32_t(lad.cur.end); \
            goto done;                                                       \
        }                                                                    \
        c = next_;                                                           \
        LAD_NEXT();                                                          \
    } while (0)
    goto *kinds[c->kind];
new_cell : {
    const uint32_t pos = uint32_t(c - cells);
    cells[pos] = Decode<S>(lad.cur.code, pos, lad.cur.end);
    LAD_NEXT();
}
contact:
    if (sp == ls_full) {
        out = int32_t(c - cells + 1);
        goto done;
    }
    *sp++ = (img[c->byte] & c->bit) ? 0xFF : 0;
    c++;
    LAD_NEXT();
coil:
nocoil:  // a coil of no bit (its mask 0) takes the power and writes nothing
    cmd_group = 0;
    if (sp == ls) {
        out = int32_t(c - cells + 1);
        goto done;
    }
    if (const uint8_t m = c->bit; *--sp && m)
        img[c->byte] = uint8_t(img[c->byte] | m);
    else if (m)
        img[c->byte] = uint8_t(img[c->byte] & ~m);
    c += c->len;
    LAD_NEXT();
beyond:
    cmd_group = uint16_t(c->byte >> 6);
    out = int32_t(c - cells + 1);
    goto done;
past_end:
    out = int32_t(lad.cur.end);
    goto done;
// The value-stack instructions, as their handlers do them; a stack that
// would make the handler fault goes to it.
skip:
    if (sp == ls) goto table;
    LAD_VALUE_NEXT(sp[-1] ? c + c->bit : cells + c->byte);
pop:
    if (sp == ls) goto table;
    sp--;
    LAD_VALUE_NEXT(c + c->bit);
load16:
    if (wsp >= WSTACK_SIZE) goto table;
    ws[wsp++] = LadGet16(c->byte);
    LAD_VALUE_NEXT(c + c->bit);
const16:
    if (wsp >= WSTACK_SIZE) goto table;
    ws[wsp++] = uint16_t(c->byte);
    LAD_VALUE_NEXT(c + c->bit);
store16:
    if (wsp < 1) goto table;
    LadSet16(c->byte, ws[--wsp]);
    LAD_VALUE_NEXT(c + c->bit);
add16:
    if (wsp < 2) goto table;
    r16 = int32_t(int16_t(ws[wsp - 2])) + int16_t(ws[wsp - 1]);
    goto arith16;
sub16:
    if (wsp < 2) goto table;
    r16 = int32_t(int16_t(ws[wsp - 2])) - int16_t(ws[wsp - 1]);
    goto arith16;
mul16:
    if (wsp < 2) goto table;
    r16 = int32_t(int16_t(ws[wsp - 2])) * int16_t(ws[wsp - 1]);
arith16:
    ws[wsp - 2] = uint16_t(r16);
    wsp--;
    if ((r16 < -32768 || r16 > 32767) && sp != ls) sp[-1] = 0;  // out of range: the power clears
    LAD_VALUE_NEXT(c + c->bit);
#undef LAD_VALUE_NEXT
table : {
    // Any other instruction: through the opcode table.
    const uint32_t w = c->len;
    const uint32_t after = uint32_t(c - cells) + 1;  // the word after the opcode
    budget--;
    lad.cur.pos = after;
    lad.op_pos = after;
    lad.budget = budget;
    lad.lsp = uint32_t(sp - ls);
    lad.wsp = wsp;
    cmd_group = uint16_t(w >> 6);
    const int rc = ops[w]();
    if (rc != LAD_GO || lad.cur.bad) return (rc == LAD_END && !lad.cur.bad) ? -1 : int32_t(lad.op_pos);
    budget = lad.budget;
    sp = ls + lad.lsp;
    wsp = lad.wsp;
    const uint32_t next = lad.cur.pos, last = lad.cur.end;
    if (budget <= 0) {  // spent: the next instruction stops
        out = next < last ? int32_t(next + 1) : int32_t(last);
        goto done;
    }
    c = cells + (next < last ? next : last);
    LAD_NEXT();
}
#undef LAD_NEXT
done:
    lad.lsp = uint32_t(sp - ls);
    lad.wsp = wsp;
    return out;
}

}  // namespace

int Lad_Invalid() { return LAD_FAULT; }
int Lad_Ignored() { return LAD_GO; }

void LadFrame_Fill() {
    Set(LOP_END, Op_End);
    Set(LOP_JUMP32, Op_Jump32);
    Set(LOP_CALL32, Op_Call32);
    Set(LOP_SKIP, Op_Skip);
    Set(LOP_JUMP16, Op_Jump16);
    Set(LOP_CALL16, Op_Call16);
    Set(LOP_RETURN, Op_Return);
    for (uint16_t op : LAD_IGNORED_OPS) Set(op, Lad_Ignored);
}

namespace {
// Set once the run's first-scan resets (the Talk layer, the file
// instructions' drive owners) are done under the IEC runtime, which clears
// the first-scan bit only at the start of its second cycle: a second reset
// would wipe what its blocks did in the first cycle.
uint8_t talk_init_done;
}  // namespace

void Lad_TalkInitArm() { talk_init_done = 0; }

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
        if (!talk_init_done) {
            if (lad_talk.init) lad_talk.init();
            // A program downloaded in run mode starts with no drive owned by
            // the instructions of the program it replaced.
            File_Init();
        }
        talk_init_done = DrevanoRuntime ? 1 : 0;
    } else {
        talk_init_done = 0;
    }
    call_stack_index = 0;
    lad.lsp = 0;
    lad.wsp = 0;
    lad.forced_screen = 0xFFFF;
    lad.change_screen = 0;
    if (DrevanoRuntime) {
        IecHook_Cycle();
        if (!DrevanoRuntime) Op_End();
        return -1;
    }
    const uint32_t len = std::min<uint32_t>(MF_Len(ladder_bl.data()), uint32_t(LADDER_BL_SIZE - MF_HDR));
    lad.cur = {ladder_bl.data() + MF_HDR, 0, len / 2, 0};
    lad.op_pos = 0;
    lad.budget = lad_step_limit;
    if (lad.cur.end <= lad_cache_words && lad.cur.end <= LAD_CACHE_WORDS) {
        CacheCheck(lad.cur.code, lad.cur.end, RegTokLen_16b);
        return RegTokLen_16b ? RunCells<true>() : RunCells<false>();
    }
    return RegTokLen_16b ? RunLoop<true>() : RunLoop<false>();
}
