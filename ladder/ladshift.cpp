// Multi-register shift and rotate of a run of bits, bytes, words or double
// words. The whole run, the output and the input are checked against the
// register image before anything moves; bits outside a bit run are kept.
#include <algorithm>
#include <cstring>

#include "ladder/ladint.h"

namespace {

enum MultiKind : uint8_t { MK_BITS, MK_BYTES, MK_WORDS, MK_DWORDS };

// A constant written in the reference format (one word, or two low first);
// the 16-bit layout's escape words give 0x10000 + e and 0x20000 + e.
uint32_t ReadConst(LadCursor &c) {
    if (!RegTokLen_16b) return LadDword(c);
    const uint32_t w = LadWord(c);
    if (w == 1776) return 0x10000u + LadWord(c);
    if (w == 1777) return 0x20000u + LadWord(c);
    return w;
}

// A value operand: a reference below 1024 is the value itself, another one
// names the 16-bit register holding it. ok is cleared for a refused register.
uint32_t ReadValue(LadCursor &c, bool &ok) {
    uint32_t idx;
    if (RegTokLen_16b) {
        const uint32_t t = LadWord(c);
        if (t == 1776)
            idx = 4032 + LadWord(c) / 16u;
        else if (t == 1777)
            idx = 8128 + LadWord(c) / 16u;
        else if (t < 1024)
            return t;
        else
            idx = (t - 1024) / 16;
    } else {
        const uint32_t r = LadDword(c);
        if (r < 1024) return r;
        idx = (LadRemap(r) - 1024) / 16;
    }
    if (!LadWordsFit(idx, 1)) {
        ok = false;
        return 0;
    }
    return LadGet16(idx);
}

// Element geometry of a kind: bytes per element (0 for bits).
uint32_t ElemBytes(uint8_t kind) { return kind == MK_BITS ? 0 : (kind == MK_BYTES ? 1 : (kind == MK_WORDS ? 2 : 4)); }
// First byte of the word register holding bit number b.
uint32_t WordByte(uint32_t b) { return 2 * ((b - 1024) / 16); }

// Byte position of a shift output or input of a byte, word or double-word
// run, LAD_NOREF when it does not fit.
uint32_t EndByte(uint8_t kind, uint32_t ref, bool input) {
    if (ref == LAD_NOREF) return LAD_NOREF;
    const uint32_t pos = (kind == MK_BYTES && input) ? (ref - 1024) / 8 : WordByte(ref);
    return LadBytesFit(pos, ElemBytes(kind)) ? pos : LAD_NOREF;
}

// ---- bit runs ---------------------------------------------------------------------------
inline bool BitAt(const MultiPar &m, uint32_t i) { return LadGetBit(m.start + i); }
inline void BitSet(const MultiPar &m, uint32_t i, bool v) { LadSetBit(m.start + i, v); }

void ReverseBits(const MultiPar &m, uint32_t lo, uint32_t hi) {  // [lo, hi)
    while (hi > lo + 1) {
        hi--;
        const bool a = BitAt(m, lo), b = BitAt(m, hi);
        BitSet(m, lo, b);
        BitSet(m, hi, a);
        lo++;
    }
}

// Byte run of n elements of es bytes starting at byte base.
void ShiftBytes(const MultiPar &m, uint32_t es, uint32_t base, uint32_t out, uint32_t in) {
    uint8_t *run = LadByteP(base);
    const uint32_t n = m.length, k = m.count;
    if (k == 0) return;
    if (m.direction) {
        std::memmove(LadByteP(out), run + (n - k) * es, es);
        std::memmove(run + k * es, run, (n - k) * es);
        for (uint32_t i = 0; i < k; i++) std::memmove(run + i * es, LadByteP(in), es);
    } else {
        std::memmove(LadByteP(out), run + (k - 1) * es, es);
        std::memmove(run, run + k * es, (n - k) * es);
        for (uint32_t i = n - k; i < n; i++) std::memmove(run + i * es, LadByteP(in), es);
    }
}
void RotateBytes(const MultiPar &m, uint32_t es, uint32_t base) {
    uint8_t *run = LadByteP(base);
    const uint32_t n = m.length;
    if (n == 0) return;
    const uint32_t k = m.count % n;
    if (k == 0) return;
    if (m.direction)
        std::rotate(run, run + (n - k) * es, run + n * es);
    else
        std::rotate(run, run + k * es, run + n * es);
}

}  // namespace

void MultiShiftBits(const MultiPar &m) {
    const uint32_t n = m.length, k = m.count;
    if (k == 0) return;
    if (m.direction) {
        LadSetBit(m.out_ref, BitAt(m, n - k));
        for (uint32_t i = n; i-- > k;) BitSet(m, i, BitAt(m, i - k));
        for (uint32_t i = 0; i < k; i++) BitSet(m, i, LadGetBit(m.in_ref));
    } else {
        LadSetBit(m.out_ref, BitAt(m, k - 1));
        for (uint32_t i = 0; i + k < n; i++) BitSet(m, i, BitAt(m, i + k));
        for (uint32_t i = n - k; i < n; i++) BitSet(m, i, LadGetBit(m.in_ref));
    }
}
void MultiRotateBits(const MultiPar &m) {
    const uint32_t n = m.length;
    if (n == 0) return;
    const uint32_t k = m.count % n;
    if (k == 0) return;
    // Rotation by reversals: toward higher addresses by k is a left rotation by n - k.
    const uint32_t left = m.direction ? n - k : k;
    ReverseBits(m, 0, left);
    ReverseBits(m, left, n);
    ReverseBits(m, 0, n);
}
void MultiShiftBytes(const MultiPar &m) {
    ShiftBytes(m, 1, WordByte(m.start), EndByte(MK_BYTES, m.out_ref, false), EndByte(MK_BYTES, m.in_ref, true));
}
void MultiShiftWords(const MultiPar &m) {
    ShiftBytes(m, 2, WordByte(m.start), EndByte(MK_WORDS, m.out_ref, false), EndByte(MK_WORDS, m.in_ref, true));
}
void MultiShiftDwords(const MultiPar &m) {
    ShiftBytes(m, 4, WordByte(m.start), EndByte(MK_DWORDS, m.out_ref, false), EndByte(MK_DWORDS, m.in_ref, true));
}
void MultiRotateBytes(const MultiPar &m) { RotateBytes(m, 1, WordByte(m.start)); }
void MultiRotateWords(const MultiPar &m) { RotateBytes(m, 2, WordByte(m.start)); }
void MultiRotateDwords(const MultiPar &m) { RotateBytes(m, 4, WordByte(m.start)); }

namespace {

// Decodes the operands, checks every reference and runs the element routine.
uint32_t MultiRun(LadCursor *pc, bool shift, bool indirect) {
    LadCursor &c = *pc;
    const uint8_t kind = uint8_t(LadWord(c));
    MultiPar m{};
    bool ok = true;
    m.start = LadBitRefX(c);
    m.length = ReadConst(c);
    m.count = ReadValue(c, ok);
    const uint32_t dir = LadBitRefX(c);
    m.out_ref = shift ? LadBitRefX(c) : 0;
    m.in_ref = shift ? LadBitRefX(c) : 0;
    if (!ok || c.bad || dir == LAD_NOREF || m.start == LAD_NOREF) return 0;
    m.direction = LadGetBit(dir) ? 1 : 0;
    if (m.count > m.length) return 0;
    if (kind > MK_DWORDS) return 1;
    if (indirect) {
        const uint32_t pair = (m.start - 1024) / 16;
        if (!LadWordsFit(pair, 2)) return 0;
        const uint32_t b = LadGet32(pair);
        if (b >= LAD_BYTES) return 0;
        m.start = 1024 + 8 * b;
    }
    // The run must lie inside the image.
    if (kind == MK_BITS) {
        if (uint64_t(m.start) + m.length > LAD_BIT_END) return 0;
        if (shift && (m.out_ref == LAD_NOREF || m.in_ref == LAD_NOREF)) return 0;
    } else {
        if (!LadBytesFit(WordByte(m.start), uint64_t(m.length) * ElemBytes(kind))) return 0;
        if (shift && (EndByte(kind, m.out_ref, false) == LAD_NOREF || EndByte(kind, m.in_ref, true) == LAD_NOREF))
            return 0;
    }
    LadCharge(uint64_t(m.length) * (kind == MK_BITS ? 2 : 1));
    static constexpr void (*kShift[4])(const MultiPar &) = {MultiShiftBits, MultiShiftBytes, MultiShiftWords,
                                                            MultiShiftDwords};
    static constexpr void (*kRotate[4])(const MultiPar &) = {MultiRotateBits, MultiRotateBytes, MultiRotateWords,
                                                             MultiRotateDwords};
    (shift ? kShift : kRotate)[kind](m);
    return 1;
}

}  // namespace

uint32_t Multi_Shift(LadCursor *pc) { return MultiRun(pc, true, false); }
uint32_t Multi_Rotate(LadCursor *pc) { return MultiRun(pc, false, false); }
uint32_t IEC_Multi_Shift(LadCursor *pc) { return MultiRun(pc, true, true); }
uint32_t IEC_Multi_Rotate(LadCursor *pc) { return MultiRun(pc, false, true); }
