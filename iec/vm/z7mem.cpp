// The VM arena and its block allocator.
//
// Blocks lie one after the other from offset 16; each has a 16-byte header
// {magic, size asked, capacity, live flag} in front of its payload. Freed
// blocks are merged with free neighbours that follow them and reused first
// fit; the end of the used part shrinks when the last block is freed.
#include "iec/vm/z7mem.h"

#include <array>
#include <cstring>
#include <sys/mman.h>

#include "core/image/bytes.h"

uint8_t *Z7Mem_Base = nullptr;

uint8_t *Z7Mem_Map() {
    if (Z7Mem_Base == nullptr) {
        void *p = mmap(nullptr, Z7MEM_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        Z7Mem_Base = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
    }
    return Z7Mem_Base;
}

namespace {

constexpr uint32_t kMagic = 0x4B42375Au;  // "Z7BK"
constexpr uint32_t kHdr = 16;
constexpr uint32_t kFirst = 16;  // first header; payloads start at 32
static_assert(kFirst + kHdr == Z7MEM_FIRST);

uint8_t *&base = Z7Mem_Base;
uint32_t top = kFirst;  // end of the last block
uint32_t live = 0;
uint32_t frees = 0;  // blocks given back (Z7Mem_Frees)

uint8_t *Base() { return base != nullptr ? base : Z7Mem_Map(); }

uint32_t HdrMagic(uint32_t h) { return LE_Get32(base + h); }
uint32_t HdrCap(uint32_t h) { return LE_Get32(base + h + 8); }
uint32_t HdrLive(uint32_t h) { return LE_Get32(base + h + 12); }
void SetHdr(uint32_t h, uint32_t size, uint32_t cap, uint32_t is_live) {
    LE_Put32(base + h, kMagic);
    LE_Put32(base + h + 4, size);
    LE_Put32(base + h + 8, cap);
    LE_Put32(base + h + 12, is_live);
}

// True when h is the header of a block (walks the chain: offsets from outside
// are never trusted).
bool IsHeader(uint32_t h) {
    for (uint32_t p = kFirst; p < top; p += kHdr + HdrCap(p))
        if (p == h) return HdrMagic(p) == kMagic;
    return false;
}

// Merges the free block at h with the free blocks that follow it.
void Merge(uint32_t h) {
    uint32_t next = h + kHdr + HdrCap(h);
    while (next < top && HdrLive(next) == 0) {
        SetHdr(h, 0, HdrCap(h) + kHdr + HdrCap(next), 0);
        next = h + kHdr + HdrCap(h);
    }
    if (next >= top) top = h;
}

std::array<Z7Fn, 256> fn_table{};
uint32_t fn_count = 1;  // index 0 = no function

}  // namespace

uint32_t Z7Mem_Off(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    if (p == nullptr || Base() == nullptr || b < base || b >= base + Z7MEM_SIZE) return 0;
    return uint32_t(b - base);
}

uint32_t Z7Mem_Alloc(uint32_t size) {
    if (size == 0 || size > Z7MEM_SIZE / 2 || Base() == nullptr) return 0;
    const uint32_t need = (size + 15u) & ~15u;
    for (uint32_t h = kFirst; h < top; h += kHdr + HdrCap(h)) {
        if (HdrLive(h) != 0) continue;
        Merge(h);
        if (h >= top) break;  // it was the last block: allocate at the top below
        const uint32_t cap = HdrCap(h);
        if (cap < need) continue;
        if (cap - need >= 2 * kHdr) {  // split: the rest stays free
            SetHdr(h + kHdr + need, 0, cap - need - kHdr, 0);
            SetHdr(h, size, need, 1);
        } else {
            SetHdr(h, size, cap, 1);
        }
        std::memset(base + h + kHdr, 0, HdrCap(h));
        live++;
        return h + kHdr;
    }
    if (uint64_t(top) + kHdr + need > Z7MEM_SIZE) return 0;
    const uint32_t h = top;
    SetHdr(h, size, need, 1);
    std::memset(base + h + kHdr, 0, need);
    top = h + kHdr + need;
    live++;
    return h + kHdr;
}

void Z7Mem_Free(uint32_t off) {
    if (off < kFirst + kHdr || Base() == nullptr) return;
    const uint32_t h = off - kHdr;
    if (!IsHeader(h) || HdrLive(h) == 0) return;
    SetHdr(h, 0, HdrCap(h), 0);
    live--;
    frees++;
    Merge(h);
}

uint32_t Z7Mem_Frees() { return frees; }

uint32_t Z7Mem_BlockSize(uint32_t off) {
    if (off < kFirst + kHdr || Base() == nullptr) return 0;
    const uint32_t h = off - kHdr;
    if (!IsHeader(h) || HdrLive(h) == 0) return 0;
    return LE_Get32(base + h + 4);
}

uint32_t Z7Mem_BlockEnd(uint32_t off) {
    if (Base() == nullptr) return 0;
    for (uint32_t p = kFirst; p < top; p += kHdr + HdrCap(p)) {
        const uint32_t start = p + kHdr, end = start + LE_Get32(base + p + 4);
        if (off >= start && off < end) return HdrLive(p) ? end : 0;
        if (off < start) return 0;
    }
    return 0;
}

uint32_t Z7Mem_LiveBlocks() { return live; }

uint8_t Z7Mem_Get8(uint32_t off) {
    const uint8_t *p = Z7Mem_Ptr(off, 1);
    return p ? *p : 0;
}
uint16_t Z7Mem_Get16(uint32_t off) {
    const uint8_t *p = Z7Mem_Ptr(off, 2);
    return p ? LE_Get16(p) : 0;
}
uint32_t Z7Mem_Get32(uint32_t off) {
    const uint8_t *p = Z7Mem_Ptr(off, 4);
    return p ? LE_Get32(p) : 0;
}
void Z7Mem_Put8(uint32_t off, uint8_t v) {
    if (uint8_t *p = Z7Mem_Ptr(off, 1)) *p = v;
}
void Z7Mem_Put16(uint32_t off, uint16_t v) {
    if (uint8_t *p = Z7Mem_Ptr(off, 2)) LE_Put16(p, v);
}
void Z7Mem_Put32(uint32_t off, uint32_t v) {
    if (uint8_t *p = Z7Mem_Ptr(off, 4)) LE_Put32(p, v);
}

uint32_t Z7Fn_Register(Z7Fn fn) {
    if (fn == nullptr) return 0;
    for (uint32_t i = 1; i < fn_count; i++)
        if (fn_table[i] == fn) return i;
    if (fn_count >= fn_table.size()) return 0;
    fn_table[fn_count] = fn;
    return fn_count++;
}

Z7Fn Z7Fn_Get(uint32_t index) { return index < fn_count ? fn_table[index] : nullptr; }
