// Runtime heap: buffer heap (packed blocks, handle table growing down from the
// control record at the end of the buffer, compaction) and malloc heap
// (chained handle tables, blocks from the arena).
#include "iec/vm/z7heap.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7mem.h"

namespace {
constexpr uint32_t kHead = 12, kCtrl = 24;
constexpr uint32_t kMallocFlag = 0x80000000u;
constexpr uint32_t kLocked = 0x80000000u, kFreed = 0x40000000u, kSizeMask = 0x3FFFFFFFu;
constexpr uint32_t kMaxSize = 1u << 30;

// Control record fields.
enum : uint32_t { C_DATA = 0, C_USED = 4, C_CAP = 8, C_OPT = 12, C_HIGH = 16, C_FREED = 20 };

bool IsMalloc(uint32_t heap) { return (Z7Mem_Get32(heap + C_OPT) & kMallocFlag) != 0; }

// ---- buffer heap -------------------------------------------------------------------------
// A view of a buffer heap with its fields read once and its table checked to
// lie inside the arena.
struct Buf {
    uint8_t *ctrl = nullptr;
    uint32_t heap = 0;
    bool Open(uint32_t h) {
        heap = h;
        ctrl = Z7Mem_Ptr(h, kCtrl);
        if (ctrl == nullptr || (Get(C_OPT) & kMallocFlag) != 0) return false;
        const uint32_t high = Get(C_HIGH), used = Get(C_USED);
        if (used > Get(C_CAP) || (used != 0 && Z7Mem_Ptr(Get(C_DATA), used) == nullptr)) return false;
        return high <= Get(C_CAP) / 8 && h >= 8 * high && Z7Mem_Ptr(h - 8 * high, 8 * high + kCtrl) != nullptr;
    }
    uint32_t Get(uint32_t f) const { return LE_Get32(ctrl + f); }
    void Put(uint32_t f, uint32_t v) { LE_Put32(ctrl + f, v); }
    uint8_t *Entry(uint32_t h) const { return ctrl - 8 * h; }
    uint32_t ESize(uint32_t h) const { return LE_Get32(Entry(h)); }
    uint32_t EAddr(uint32_t h) const { return LE_Get32(Entry(h) + 4); }
    void SetEntry(uint32_t h, uint32_t size, uint32_t addr) {
        LE_Put32(Entry(h), size);
        LE_Put32(Entry(h) + 4, addr);
    }
    bool Valid(uint32_t h) const { return h != 0 && h <= Get(C_HIGH) && ESize(h) != 0; }
    void DropTrailing() {
        uint32_t high = Get(C_HIGH);
        while (high > 0 && ESize(high) == 0) high--;
        Put(C_HIGH, high);
    }
};

// Lowest handle of a buffer heap that may be free (every entry below it is in
// use), kept for the last heaps used, so that allocating from a long table
// does not scan it from the start. A heap not in the table starts at 1.
struct FreeHint {
    uint32_t heap, from;
};
FreeHint hints[4] = {};
uint32_t hint_next = 0;
uint32_t HintOf(uint32_t heap) {
    for (const FreeHint &f : hints)
        if (f.heap == heap && heap != 0) return f.from;
    return 1;
}
void SetHint(uint32_t heap, uint32_t from) {
    for (FreeHint &f : hints)
        if (f.heap == heap) {
            f.from = from;
            return;
        }
    hints[hint_next] = FreeHint{heap, from};
    hint_next = (hint_next + 1) % 4;
}
// An entry of heap became free.
void LowerHint(uint32_t heap, uint32_t h) {
    for (FreeHint &f : hints)
        if (f.heap == heap && h < f.from) f.from = h;
}
void ForgetHint(uint32_t heap) {
    for (FreeHint &f : hints)
        if (f.heap == heap) f = FreeHint{};
}

// ---- malloc heap ---------------------------------------------------------------------------
// Entries per handle table: any count whose table the arena can hold (its
// byte size taken in 64 bits, so that a huge count is not wrapped small).
bool TableSizeOk(uint32_t per) { return per >= 3 && 4ull * (uint64_t(per) + 1) <= Z7MEM_SIZE / 2; }
// Address of the slot of handle h (creating tables when grow is set); 0 when none.
uint32_t MallocSlot(uint32_t heap, uint32_t h, bool grow) {
    const uint32_t per = Z7Mem_Get32(heap + 4);
    if (h == 0 || !TableSizeOk(per)) return 0;
    uint32_t link = heap;  // field holding the next table address
    uint32_t table = Z7Mem_Get32(heap);
    uint32_t k = h - 1;
    for (;;) {
        if (table == 0) {
            if (!grow) return 0;
            table = Z7Mem_Alloc(4 * (per + 1));
            if (table == 0) return 0;
            Z7Mem_Put32(link, table);
        }
        if (k < per) return table + 4 * k;
        k -= per;
        link = table + 4 * per;
        table = Z7Mem_Get32(link);
    }
}
}  // namespace

uint32_t Z7Heap_CreateHeapBuffer(uint32_t buffer, uint32_t size, uint32_t options) {
    size &= ~3u;
    if (size < kHead + kCtrl) return 0;
    uint8_t *p = Z7Mem_Ptr(buffer, size);
    if (p == nullptr) return 0;
    std::memset(p, 0, size);
    std::memcpy(p, "Z7SH", 4);
    LE_Put32(p + 4, size);
    LE_Put32(p + 8, buffer);
    const uint32_t heap = buffer + size - kCtrl;
    ForgetHint(heap);
    Z7Mem_Put32(heap + C_DATA, buffer + kHead);
    Z7Mem_Put32(heap + C_CAP, size - kHead - kCtrl);
    Z7Mem_Put32(heap + C_OPT, options & ~kMallocFlag);
    return heap;
}

uint32_t Z7Heap_CreateHeapMalloc(uint32_t entries_per_table, uint32_t options) {
    const uint32_t heap = Z7Mem_Alloc(kCtrl);
    if (heap == 0) return 0;
    Z7Mem_Put32(heap + 4, entries_per_table < 3 ? 3 : entries_per_table);
    Z7Mem_Put32(heap + C_OPT, options | kMallocFlag);
    return heap;
}

uint32_t Z7Heap_RelocateHeapBuffer(uint32_t buffer, uint32_t size) {
    size &= ~3u;
    const uint8_t *p = Z7Mem_Ptr(buffer, size);
    if (p == nullptr || size < kHead + kCtrl || std::memcmp(p, "Z7SH", 4) != 0 || LE_Get32(p + 4) != size) return 0;
    const uint32_t old = LE_Get32(p + 8);
    const uint32_t heap = buffer + size - kCtrl;
    ForgetHint(heap);
    Buf b;
    b.ctrl = Z7Mem_Ptr(heap, kCtrl);
    const uint32_t cap = size - kHead - kCtrl;
    const uint32_t used = b.Get(C_USED), high = b.Get(C_HIGH);
    // every field must fit the capacity before anything is moved
    if (b.Get(C_CAP) != cap || used > cap || high > (cap - used) / 8 || b.Get(C_FREED) > high ||
        (b.Get(C_OPT) & kMallocFlag) != 0)
        return 0;
    for (uint32_t h = 1; h <= high; h++) {
        if (b.ESize(h) == 0) continue;
        const uint32_t rel = b.EAddr(h) - (old + kHead), sz = b.ESize(h) & kSizeMask;
        if (rel > used || sz > used - rel) return 0;
    }
    for (uint32_t h = 1; h <= high; h++)
        if (b.ESize(h) != 0) b.SetEntry(h, b.ESize(h), b.EAddr(h) - old + buffer);
    b.Put(C_DATA, buffer + kHead);
    Z7Mem_Put32(buffer + 8, buffer);
    return heap;
}

uint32_t Z7Heap_Alloc(uint32_t heap, uint32_t size) {
    if (heap == 0 || size == 0 || size >= kMaxSize) return 0;
    if (IsMalloc(heap)) {
        for (uint32_t h = 1;; h++) {
            const uint32_t slot = MallocSlot(heap, h, true);
            if (slot == 0) return 0;
            if (Z7Mem_Get32(slot) != 0) continue;
            const uint32_t block = Z7Mem_Alloc(size);
            if (block == 0) return 0;
            Z7Mem_Put32(slot, block);
            return h;
        }
    }
    Buf b;
    if (!b.Open(heap)) return 0;
    size = (size + 3u) & ~3u;
    const uint32_t used = b.Get(C_USED), high = b.Get(C_HIGH);
    if (uint64_t(used) + 8ull * (high + 1) + size > b.Get(C_CAP)) return 0;
    uint32_t h = std::min(std::max(HintOf(heap), 1u), high + 1);
    while (h <= high && b.ESize(h) != 0) h++;
    const uint32_t addr = b.Get(C_DATA) + used;
    uint8_t *p = Z7Mem_Ptr(addr, size);
    if (p == nullptr) return 0;
    std::memset(p, 0, size);
    b.SetEntry(h, size, addr);
    SetHint(heap, h + 1);
    b.Put(C_USED, used + size);
    if (h > high) b.Put(C_HIGH, h);
    return h;
}

uint32_t Z7Heap_Lock(uint32_t heap, uint32_t handle) {
    if (heap == 0) return 0;
    if (IsMalloc(heap)) {
        const uint32_t slot = MallocSlot(heap, handle, false);
        return slot ? Z7Mem_Get32(slot) : 0;
    }
    Buf b;
    if (!b.Open(heap) || !b.Valid(handle)) return 0;
    const uint32_t s = b.ESize(handle);
    if (s & (kLocked | kFreed)) return 0;
    b.SetEntry(handle, s | kLocked, b.EAddr(handle));
    return b.EAddr(handle);
}

void Z7Heap_Unlock(uint32_t heap, uint32_t handle) {
    Buf b;
    if (heap == 0 || IsMalloc(heap) || !b.Open(heap) || !b.Valid(handle)) return;
    const uint32_t s = b.ESize(handle);
    if (!(s & kFreed)) b.SetEntry(handle, s & ~kLocked, b.EAddr(handle));
}

void Z7Heap_Free(uint32_t heap, uint32_t handle) {
    if (heap == 0) return;
    if (IsMalloc(heap)) {
        const uint32_t slot = MallocSlot(heap, handle, false);
        if (slot == 0 || Z7Mem_Get32(slot) == 0) return;
        Z7Mem_Free(Z7Mem_Get32(slot));
        Z7Mem_Put32(slot, 0);
        return;
    }
    Buf b;
    if (!b.Open(heap) || !b.Valid(handle)) return;
    const uint32_t s = b.ESize(handle);
    if (s & kFreed) return;  // freeing twice does nothing
    b.SetEntry(handle, (s & kSizeMask) | kFreed, b.EAddr(handle));
    b.Put(C_FREED, b.Get(C_FREED) + 1);
}

void Z7Heap_FreeAll(uint32_t heap) {
    if (heap == 0) return;
    if (IsMalloc(heap)) {
        const uint32_t per = Z7Mem_Get32(heap + 4);
        uint32_t table = Z7Mem_Get32(heap);
        while (table != 0 && TableSizeOk(per)) {
            for (uint32_t k = 0; k < per; k++) Z7Mem_Free(Z7Mem_Get32(table + 4 * k));
            const uint32_t next = Z7Mem_Get32(table + 4 * per);
            Z7Mem_Free(table);
            table = next;
        }
        Z7Mem_Put32(heap, 0);
        return;
    }
    Buf b;
    if (!b.Open(heap)) return;
    for (uint32_t h = 1; h <= b.Get(C_HIGH); h++) b.SetEntry(h, 0, 0);
    LowerHint(heap, 1);
    b.Put(C_USED, 0);
    b.Put(C_HIGH, 0);
    b.Put(C_FREED, 0);
}

void Z7Heap_DeleteHeap(uint32_t heap) {
    if (heap == 0) return;
    ForgetHint(heap);
    Z7Heap_FreeAll(heap);
    if (IsMalloc(heap)) Z7Mem_Free(heap);
}

int32_t Z7Heap_GetFreeSpace(uint32_t heap) {
    if (heap == 0) return 0;
    if (IsMalloc(heap)) return -1;
    Buf b;
    if (!b.Open(heap)) return 0;
    const int64_t free = int64_t(b.Get(C_CAP)) - (int64_t(b.Get(C_USED)) + 8 * (int64_t(b.Get(C_HIGH)) + 1));
    return free > 0 ? int32_t(free) : 0;
}

uint32_t Z7Heap_NbAlloc(uint32_t heap) {
    if (heap == 0) return 0;
    uint32_t n = 0;
    if (IsMalloc(heap)) {
        for (uint32_t h = 1;; h++) {
            const uint32_t slot = MallocSlot(heap, h, false);
            if (slot == 0) return n;
            if (Z7Mem_Get32(slot) != 0) n++;
        }
    }
    Buf b;
    if (!b.Open(heap)) return 0;
    for (uint32_t h = 1; h <= b.Get(C_HIGH); h++)
        if (b.ESize(h) != 0 && !(b.ESize(h) & kFreed)) n++;
    return n;
}

namespace {
// One compaction step; true when something was done.
bool CompactStep(Buf &b) {
    const uint32_t high = b.Get(C_HIGH), data = b.Get(C_DATA), used = b.Get(C_USED);
    for (uint32_t f = 1; f <= high; f++) {
        const uint32_t fs = b.ESize(f);
        if (fs == 0 || !(fs & kFreed)) continue;
        const uint32_t start = b.EAddr(f), size = fs & kSizeMask, end = start + size;
        if (start < data || start - data > used || size > used - (start - data)) continue;  // damaged entry
        if (end == data + used) {                                                           // at the top: give it back
            b.Put(C_USED, start - data);
            b.SetEntry(f, 0, 0);
            LowerHint(b.heap, f);
            b.Put(C_FREED, b.Get(C_FREED) - 1);
            return true;
        }
        uint32_t n = 1;
        while (n <= high && !(b.ESize(n) != 0 && b.EAddr(n) == end)) n++;
        if (n > high) continue;
        const uint32_t ns = b.ESize(n), nsize = ns & kSizeMask;
        if (nsize > used - (end - data)) continue;
        if (ns & kFreed) {  // merge two holes
            b.SetEntry(f, (size + nsize) | kFreed, start);
            b.SetEntry(n, 0, 0);
            LowerHint(b.heap, n);
            b.Put(C_FREED, b.Get(C_FREED) - 1);
            return true;
        }
        if (ns & kLocked) continue;
        std::memmove(Z7Mem_Ptr(start, nsize), Z7Mem_Ptr(end, nsize), nsize);
        b.SetEntry(n, ns, start);
        b.SetEntry(f, fs, start + nsize);  // the hole moves up behind the moved block
        return true;
    }
    return false;
}
}  // namespace

uint32_t Z7Heap_Compact(uint32_t heap, uint32_t max_steps) {
    Buf b;
    if (heap == 0 || IsMalloc(heap) || !b.Open(heap)) return 0;
    if (max_steps == 0) max_steps = 1;
    uint32_t steps = 0;
    while (steps < max_steps && b.Get(C_FREED) != 0 && CompactStep(b)) {
        steps++;
        b.DropTrailing();
    }
    return steps;
}
