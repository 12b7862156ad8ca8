// Runtime heap: allocation and room, compaction through its edges, double
// frees, oversized requests, relocation of a moved or damaged buffer heap,
// and the malloc heap on the VM arena.
#include <gtest/gtest.h>

#include <cstring>

#include "iec/vm/z7heap.h"
#include "iec/vm/z7mem.h"

namespace {

class HeapTest : public ::testing::Test {
protected:
    uint32_t live = 0;
    uint32_t buf = 0;
    void SetUp() override {
        live = Z7Mem_LiveBlocks();
        buf = Z7Mem_Alloc(70000);
    }
    void TearDown() override {
        Z7Mem_Free(buf);
        EXPECT_EQ(Z7Mem_LiveBlocks(), live);
    }
};

TEST_F(HeapTest, AllocationRoomAndCompaction) {
    EXPECT_EQ(Z7Heap_CreateHeapBuffer(buf, 35, 0), 0u);
    uint32_t h = Z7Heap_CreateHeapBuffer(buf, 36, 0);
    EXPECT_EQ(Z7Heap_Alloc(h, 1), 0u);  // capacity 0

    h = Z7Heap_CreateHeapBuffer(buf, 100, 0);
    EXPECT_EQ(Z7Heap_Alloc(h, 5), 1u);
    EXPECT_EQ(Z7Heap_GetFreeSpace(h), 40);
    EXPECT_EQ(Z7Heap_Alloc(h, 40), 2u);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 0u);
    EXPECT_EQ(Z7Heap_Alloc(h, 1u << 30), 0u);
    EXPECT_EQ(Z7Heap_Alloc(h, 0), 0u);
    EXPECT_EQ(Z7Heap_NbAlloc(h), 2u);

    // blocks of 12 and 4, the first freed: two steps, the 4-byte block intact
    h = Z7Heap_CreateHeapBuffer(buf, 100, 0);
    const uint32_t a = Z7Heap_Alloc(h, 12), b = Z7Heap_Alloc(h, 4);
    Z7Mem_Put32(Z7Heap_Lock(h, b), 0x11223344);
    EXPECT_EQ(Z7Heap_Lock(h, b), 0u);  // locked once only
    Z7Heap_Unlock(h, b);
    Z7Heap_Free(h, a);
    Z7Heap_Free(h, a);  // a second free does nothing
    Z7Heap_Free(h, 0);
    Z7Heap_Free(h, 9);
    EXPECT_EQ(Z7Heap_Lock(h, a), 0u);
    EXPECT_EQ(Z7Heap_Compact(h, 32), 2u);
    EXPECT_EQ(Z7Heap_GetFreeSpace(h), 64 - 4 - 3 * 8);
    EXPECT_EQ(Z7Mem_Get32(Z7Heap_Lock(h, b)), 0x11223344u);
    EXPECT_EQ(Z7Heap_Compact(h, 32), 0u);
    Z7Heap_Unlock(h, b);

    // unequal blocks: 4 freed, 12 moved down, then 8 freed: each block keeps its own bytes
    h = Z7Heap_CreateHeapBuffer(buf, 200, 0);
    const uint32_t x = Z7Heap_Alloc(h, 4), y = Z7Heap_Alloc(h, 12), z = Z7Heap_Alloc(h, 8);
    std::memset(Z7Mem_Ptr(Z7Heap_Lock(h, y), 12), 0xAB, 12);
    Z7Heap_Unlock(h, y);
    std::memset(Z7Mem_Ptr(Z7Heap_Lock(h, z), 8), 0xCD, 8);
    Z7Heap_Unlock(h, z);
    Z7Heap_Free(h, x);
    EXPECT_EQ(Z7Heap_Compact(h, 1), 1u);  // y moved down; the hole now lies between y and z
    EXPECT_EQ(Z7Heap_Compact(h, 1), 1u);  // z moved down
    const uint8_t *py = Z7Mem_Ptr(Z7Heap_Lock(h, y), 12), *pz = Z7Mem_Ptr(Z7Heap_Lock(h, z), 8);
    for (int i = 0; i < 12; i++) EXPECT_EQ(py[i], 0xAB);
    for (int i = 0; i < 8; i++) EXPECT_EQ(pz[i], 0xCD);
    EXPECT_EQ(pz, py + 12);
    Z7Heap_Unlock(h, y);
    // two holes merge; a locked neighbour is not moved; a hole at the top is given back
    const uint32_t w = Z7Heap_Alloc(h, 8);
    Z7Heap_Lock(h, w);
    Z7Heap_Free(h, z);
    EXPECT_EQ(Z7Heap_Compact(h, 5), 1u);
    EXPECT_EQ(Z7Heap_Compact(h, 5), 0u);
    Z7Heap_Unlock(h, w);
    EXPECT_EQ(Z7Heap_Compact(h, 5), 2u);
    Z7Heap_Free(h, w);
    Z7Heap_Free(h, y);
    EXPECT_GE(Z7Heap_Compact(h, 0), 1u);  // a maximum of 0 counts as 1
    Z7Heap_Compact(h, 32);
    EXPECT_EQ(Z7Heap_NbAlloc(h), 0u);
    EXPECT_EQ(Z7Heap_GetFreeSpace(h), 200 - 36 - 8);

    // an entry given back below the highest handle is taken by the next
    // allocation: three blocks of 4, the first freed and compacted away
    h = Z7Heap_CreateHeapBuffer(buf, 200, 0);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 1u);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 2u);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 3u);
    Z7Heap_Free(h, 1);
    EXPECT_EQ(Z7Heap_Compact(h, 32), 3u);  // 2 moved down, 3 moved down, the hole given back
    EXPECT_EQ(Z7Heap_GetFreeSpace(h), 164 - 8 - 4 * 8);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 1u);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 4u);
    EXPECT_EQ(Z7Heap_NbAlloc(h), 4u);
}

TEST_F(HeapTest, RelocationMovesBlocksAndRefusesDamage) {
    const uint32_t h = Z7Heap_CreateHeapBuffer(buf, 256, 7);
    const uint32_t a = Z7Heap_Alloc(h, 8);
    std::memcpy(Z7Mem_Ptr(Z7Heap_Lock(h, a), 8), "MOVEDOK", 8);
    Z7Heap_Unlock(h, a);
    // the buffer copied to another address, as a hot-restart image is loaded
    const uint32_t moved = buf + 1000;
    std::memcpy(Z7Mem_Ptr(moved, 256), Z7Mem_Ptr(buf, 256), 256);
    EXPECT_EQ(Z7Heap_RelocateHeapBuffer(moved, 252), 0u);  // another size
    const uint32_t h2 = Z7Heap_RelocateHeapBuffer(moved, 256);
    ASSERT_EQ(h2, moved + 256 - 24);
    const uint32_t pa = Z7Heap_Lock(h2, a);
    EXPECT_STREQ(reinterpret_cast<const char *>(Z7Mem_Ptr(pa, 8)), "MOVEDOK");
    EXPECT_EQ(pa - moved, 12u);

    // damaged fields are refused before anything moves
    const uint32_t copy = buf + 2000;
    struct Damage {
        uint32_t at, value;
    } damages[] = {{256 - 24 + 4, 1000}, {256 - 24 + 16, 100}, {256 - 24 - 8 + 4, 0x7FFFFFF0}, {256 - 24 + 8, 5}};
    for (const Damage &d : damages) {
        std::memcpy(Z7Mem_Ptr(copy, 256), Z7Mem_Ptr(buf, 256), 256);
        Z7Mem_Put32(copy + d.at, d.value);
        EXPECT_EQ(Z7Heap_RelocateHeapBuffer(copy, 256), 0u) << d.at;
    }
    std::memcpy(Z7Mem_Ptr(copy, 4), "XXXX", 4);
    EXPECT_EQ(Z7Heap_RelocateHeapBuffer(copy, 256), 0u);
}

TEST_F(HeapTest, MallocHeapUsesTheArena) {
    const uint32_t h = Z7Heap_CreateHeapMalloc(3, 0);
    uint32_t handles[8];
    for (uint32_t i = 0; i < 8; i++) {
        handles[i] = Z7Heap_Alloc(h, 10 + i);
        EXPECT_EQ(handles[i], i + 1);
        EXPECT_NE(Z7Heap_Lock(h, handles[i]), 0u);
    }
    EXPECT_EQ(Z7Heap_NbAlloc(h), 8u);
    Z7Heap_Free(h, 2);
    Z7Heap_Free(h, 2);
    EXPECT_EQ(Z7Heap_Lock(h, 2), 0u);
    EXPECT_EQ(Z7Heap_Alloc(h, 4), 2u);  // the first empty slot
    EXPECT_EQ(Z7Heap_Alloc(h, 1u << 30), 0u);
    EXPECT_EQ(Z7Heap_GetFreeSpace(h), -1);
    EXPECT_EQ(Z7Heap_Compact(h, 32), 0u);
    Z7Heap_DeleteHeap(h);

    // tables of any size the arena can hold: 5000 slots, then a second table
    const uint32_t wide = Z7Heap_CreateHeapMalloc(5000, 0);
    for (uint32_t i = 1; i <= 5001; i++) ASSERT_EQ(Z7Heap_Alloc(wide, 4), i);
    EXPECT_EQ(Z7Heap_NbAlloc(wide), 5001u);
    EXPECT_NE(Z7Heap_Lock(wide, 5001), 0u);
    Z7Heap_DeleteHeap(wide);
    // a table whose size passes 32 bits is refused, not wrapped to a few bytes
    const uint32_t huge = Z7Heap_CreateHeapMalloc(0x40000000u, 0);
    EXPECT_EQ(Z7Heap_Alloc(huge, 4), 0u);
    Z7Heap_DeleteHeap(huge);
}

}  // namespace
