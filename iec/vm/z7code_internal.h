// Bounded reads of a code image: every offset taken from the image is checked
// against the image's length before use, so a damaged image reads as absent
// tables and zero words, never outside itself.
#pragma once

#include <cstdint>

#include "iec/vm/z7mem.h"

struct Z7Img {
    uint32_t base;  // arena offset of byte 0
    uint32_t len;   // 0 when the image is not a live block
    // n bytes from offset off lie inside the image (off 0 = absent).
    bool In(uint32_t off, uint32_t n) const { return off != 0 && off <= len && n <= len - off; }
    uint32_t W32(uint32_t off) const { return off <= len && len - off >= 4 ? Z7Mem_Get32(base + off) : 0; }
    uint16_t W16(uint32_t off) const { return off <= len && len - off >= 2 ? Z7Mem_Get16(base + off) : 0; }
    uint8_t B(uint32_t off) const { return off < len ? Z7Mem_Get8(base + off) : 0; }
    uint32_t Hdr(uint32_t word) const { return W32(4 * word); }
    // Table offset of header word k when at least n bytes of it lie inside; else 0.
    uint32_t Table(uint32_t word, uint32_t n) const {
        const uint32_t off = Hdr(word);
        return In(off, n) ? off : 0;
    }
    // Length of the NUL-terminated text at off, or -1 when it runs past the end.
    int32_t TextLen(uint32_t off) const {
        for (uint32_t i = off; i < len; i++)
            if (B(i) == 0) return int32_t(i - off);
        return -1;
    }
};

Z7Img Z7Img_Of(uint32_t code);
// Sizing block (header word 8): u16 word w; 0 when the block is absent.
uint16_t Z7Img_Sizing(const Z7Img &img, uint32_t w);
// Extension word k when the count passes gate; else 0.
uint32_t Z7Img_Ext(const Z7Img &img, uint32_t k, uint32_t gate);
// Offset (in the image) of the initial-value block, or 0.
uint32_t Z7Img_InitBlock(const Z7Img &img);
// The required tables are inside the image: signature, application record,
// sizing block and program header. 0 or 1.
uint32_t Z7Img_CheckTables(const Z7Img &img);
