// Internals of the ladder engine shared by its modules: the run state of one
// scan, operand decoding in both register layouts, checked register access
// and the two stacks.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "ladder/ladops.h"

// Handler answers.
constexpr int LAD_GO = 0;     // go on with the next word
constexpr int LAD_END = 1;    // END reached
constexpr int LAD_FAULT = 2;  // stop the program (offset in lad.op_pos)

using LadOp = int (*)();

// State of the scan in progress.
struct LadRun {
    LadCursor cur;           // the program counter
    uint32_t op_pos;         // word after the opcode being run (fault offset)
    uint32_t lsp;            // entries on l_stack
    uint32_t wsp;            // entries on w_stack
    uint16_t forced_screen;  // 0xFFFF none
    uint16_t change_screen;  // 0 none
    int64_t budget;          // work units left in this scan (see lad_step_limit)
};
extern LadRun lad;

// Programs of up to lad_cache_words words (at most LAD_CACHE_WORDS) run from
// cells decoded once from their words; longer ones, or all with 0, word by
// word.
constexpr uint32_t LAD_CACHE_WORDS = 1u << 18;
extern uint32_t lad_cache_words;

// Opcode tables, one per register layout (index = opcode 0..575).
constexpr unsigned LAD_OPCODES = 576;
extern LadOp lad_ops16[LAD_OPCODES];
extern LadOp lad_opsx[LAD_OPCODES];
int Lad_Invalid();
int Lad_Ignored();
// Each module enters its handlers into both tables.
void LadFrame_Fill();
void LadLogic_Fill();
void LadArith_Fill();
void LadLib_Fill();
void LadFloat_Fill();
void LadText_Fill();
void LadTyped_Fill();
void LadIndex_Fill();
void LadExt_Fill();
void LadPid_Fill();
void LadSched_Fill();
void LadFlow_Fill();
void LadLibX_Fill();
void LadFile_Fill();

// ---- operand decoding --------------------------------------------------------------
// Operands resolve to the linear numbering: bit numbers in [1024, LAD_BIT_END),
// the extended %T, %M and system areas moved to just after the linear window.
constexpr uint32_t LAD_NOREF = 0xFFFFFFFFu;
constexpr uint32_t LAD_BIT_END = 0xD5400;
constexpr uint32_t LAD_BYTES = (LAD_BIT_END - 1024) / 8;  // 109056
constexpr uint32_t LAD_WORDS = LAD_BYTES / 2;             // 54528

inline uint16_t LadWord(LadCursor &c) {
    if (c.pos >= c.end) {
        c.bad = 1;
        return 0;
    }
    const uint16_t w = LE_Get16(c.code + 2 * std::size_t(c.pos));
    c.pos++;
    return w;
}
inline uint32_t LadDword(LadCursor &c) {
    const uint32_t lo = LadWord(c);
    return lo | (uint32_t(LadWord(c)) << 16);
}

// An extended-layout reference moved into the linear numbering.
inline uint32_t LadRemap(uint32_t r) {
    if (r >= REG_ET_FIRST && r < REG_ET_END) return r - 0x0FF3BC00u;
    if (r >= REG_EM_FIRST && r < REG_EM_END) return r - 0x0FF4BC00u;
    if (r >= REG_ESR_FIRST && r < REG_ESR_END) return r - 0x0FF5BC00u;
    return r;
}
inline uint32_t LadCheckBit(uint32_t r) { return (r >= 1024 && r < LAD_BIT_END) ? r : LAD_NOREF; }

// Bit operand of the interpreter's own instructions (no escape words).
template <bool S>
inline uint32_t LadBitOp(LadCursor &c) {
    if constexpr (S) {
        const uint32_t w = LadWord(c);
        return w >= 1024 ? w : LAD_NOREF;
    } else {
        return LadCheckBit(LadRemap(LadDword(c)));
    }
}
// Bit operand of the library routines: the 16-bit layout also takes the
// escape words 1776 and 1777 with an extension word.
template <bool S>
inline uint32_t LadBitOpX(LadCursor &c) {
    if constexpr (S) {
        const uint32_t w = LadWord(c);
        if (w == 1776) return 0x10000u + LadWord(c);
        if (w == 1777) return 0x20000u + LadWord(c);
        return w >= 1024 ? w : LAD_NOREF;
    } else {
        return LadCheckBit(LadRemap(LadDword(c)));
    }
}
// Word operand: word index of the register image, unchecked (LAD_NOREF for an
// operand that names no register).
template <bool S>
inline uint32_t LadWordIdx(LadCursor &c) {
    if constexpr (S) {
        const uint32_t t = LadWord(c);
        if (t == 1776) return 4032 + LadWord(c) / 16u;
        if (t == 1777) return 8128 + LadWord(c) / 16u;
        return t >= 1024 ? (t - 1024) / 16 : LAD_NOREF;
    } else {
        const uint32_t r = LadRemap(LadDword(c));
        return r >= 1024 ? (r - 1024) / 16 : LAD_NOREF;
    }
}
// Byte operand: byte index, unchecked.
template <bool S>
inline uint32_t LadByteIdx(LadCursor &c) {
    if constexpr (S) {
        const uint32_t t = LadWord(c);
        if (t == 1776) return 8064 + LadWord(c) / 8u;
        if (t == 1777) return 16256 + LadWord(c) / 8u;
        return t >= 1024 ? (t - 1024) / 8 : LAD_NOREF;
    } else {
        const uint32_t r = LadRemap(LadDword(c));
        return r >= 1024 ? (r - 1024) / 8 : LAD_NOREF;
    }
}
// True when n words (bytes) from idx lie inside the image.
inline bool LadWordsFit(uint32_t idx, uint64_t n) { return idx != LAD_NOREF && uint64_t(idx) + n <= LAD_WORDS; }
inline bool LadBytesFit(uint32_t idx, uint64_t n) { return idx != LAD_NOREF && uint64_t(idx) + n <= LAD_BYTES; }
// Word operand checked for n words.
template <bool S>
inline uint32_t LadWordOp(LadCursor &c, uint32_t n) {
    const uint32_t idx = LadWordIdx<S>(c);
    return LadWordsFit(idx, n) ? idx : LAD_NOREF;
}

// Layout chosen at run time (library routines).
inline uint32_t LadBitRefX(LadCursor &c) { return RegTokLen_16b ? LadBitOpX<true>(c) : LadBitOpX<false>(c); }
inline uint32_t LadWordRef(LadCursor &c, uint32_t n) {
    return RegTokLen_16b ? LadWordOp<true>(c, n) : LadWordOp<false>(c, n);
}

// Bit address (for PlcReg_Set and PlcReg_Ptr) of a bit in the linear
// numbering: the moved extended areas go back to their own windows.
inline uint32_t LadLinToAddr(uint32_t lin) {
    if (lin >= REG_LIN_END && lin < REG_LIN_END + 0x4000) return lin + 0x0FF3BC00u;
    if (lin >= REG_LIN_END + 0x4000 && lin < REG_LIN_END + 0x8000) return lin + 0x0FF4BC00u;
    if (lin >= REG_LIN_END + 0x8000 && lin < LAD_BIT_END) return lin + 0x0FF5BC00u;
    return lin;
}

// ---- byte pointers (offsets into the whole image) ------------------------------------
// True when n bytes from byte offset p lie inside the image.
inline bool LadPtrFits(uint64_t p, uint64_t n) { return p + n <= PLC_REG_SIZE; }
// A pointer that fits nothing (its register operand named no register).
constexpr uint64_t LAD_BADPTR = uint64_t(1) << 40;
// Value of a pointer register named by a word operand (two words).
template <bool S>
inline uint64_t LadPtrOp(LadCursor &c) {
    const uint32_t r = LadWordOp<S>(c, 2);
    return r == LAD_NOREF ? LAD_BADPTR : LE_Get32(plc_reg.data() + 2 * std::size_t(r));
}
// Inline bytes of the stream (n bytes in (n + 1) / 2 words): their first byte,
// or null when the stream ends first (the cursor is then bad).
inline const uint8_t *LadInline(LadCursor &c, uint32_t n) {
    const uint32_t words = (n + 1) / 2;
    if (uint64_t(c.pos) + words > c.end) {
        c.pos = c.end;
        c.bad = 1;
        return nullptr;
    }
    const uint8_t *p = c.code + 2 * std::size_t(c.pos);
    c.pos += words;
    return p;
}

// ---- register access (indexes already checked) -----------------------------------
inline uint8_t *LadByteP(uint32_t byte) { return plc_reg.data() + byte; }
inline uint16_t LadGet16(uint32_t w) { return LE_Get16(plc_reg.data() + 2 * std::size_t(w)); }
inline void LadSet16(uint32_t w, uint16_t v) { LE_Put16(plc_reg.data() + 2 * std::size_t(w), v); }
inline uint32_t LadGet32(uint32_t w) { return LE_Get32(plc_reg.data() + 2 * std::size_t(w)); }
inline void LadSet32(uint32_t w, uint32_t v) { LE_Put32(plc_reg.data() + 2 * std::size_t(w), v); }
inline bool LadGetBit(uint32_t b) { return (plc_reg[(b - 1024) >> 3] >> (b & 7)) & 1; }
inline void LadSetBit(uint32_t b, bool v) {
    uint8_t &x = plc_reg[(b - 1024) >> 3];
    const uint8_t m = uint8_t(1u << (b & 7));
    x = v ? uint8_t(x | m) : uint8_t(x & ~m);
}
inline bool LadGetOldBit(uint32_t b) { return (old_reg[(b - 1024) >> 3] >> (b & 7)) & 1; }
inline void LadSetOldBit(uint32_t b, bool v) {
    uint8_t &x = old_reg[(b - 1024) >> 3];
    const uint8_t m = uint8_t(1u << (b & 7));
    x = v ? uint8_t(x | m) : uint8_t(x & ~m);
}
inline float LadF(uint32_t bits) { return std::bit_cast<float>(bits); }
inline uint32_t LadBits(float f) { return std::bit_cast<uint32_t>(f); }
inline bool LadBadFloat(uint32_t bits) { return (bits & 0x7F800000u) == 0x7F800000u; }

// First-scan bit (bit 0 of byte 64).
inline bool LadFirstScan() { return plc_reg[SBITS_LO] & S_FIRST_SCAN; }

// True when the current instruction's operands ran past the end of the
// program: it must write nothing (the loop then stops the program).
inline bool LadCut() { return lad.cur.bad != 0; }

// Charges an instruction's bulk work (elements moved, alarms walked) to the
// scan's budget; the loop stops the program once it is spent.
inline void LadCharge(uint64_t units) { lad.budget -= int64_t(units); }

// ---- stacks (callers check the depth first) ----------------------------------------
inline void LadPowerClear() {
    if (lad.lsp) l_stack[lad.lsp - 1] = 0;
}
inline uint16_t LadWPop() { return w_stack[--lad.wsp]; }
inline void LadWPush(uint16_t v) { w_stack[lad.wsp++] = v; }
inline uint32_t LadWPop32() {
    const uint32_t hi = w_stack[--lad.wsp];
    return (hi << 16) | w_stack[--lad.wsp];
}
inline void LadWPush32(uint32_t v) {
    w_stack[lad.wsp++] = uint16_t(v);
    w_stack[lad.wsp++] = uint16_t(v >> 16);
}
inline bool LadWHas(uint32_t n) { return lad.wsp >= n; }
inline bool LadWRoom(uint32_t n) { return lad.wsp + n <= WSTACK_SIZE; }
