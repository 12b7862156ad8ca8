// Runtime heap of the IEC application: blocks addressed by 1-based handles so
// that a buffer heap can be compacted between cycles and moved with the
// database. A buffer heap lives inside a caller's buffer; a malloc heap takes
// its blocks from the VM arena. Heaps and blocks are arena offsets.
#pragma once

#include <cstdint>

uint32_t Z7Heap_CreateHeapBuffer(uint32_t buffer, uint32_t size, uint32_t options);
uint32_t Z7Heap_CreateHeapMalloc(uint32_t entries_per_table, uint32_t options);
uint32_t Z7Heap_RelocateHeapBuffer(uint32_t buffer, uint32_t size);
uint32_t Z7Heap_Alloc(uint32_t heap, uint32_t size);
uint32_t Z7Heap_Lock(uint32_t heap, uint32_t handle);
void Z7Heap_Unlock(uint32_t heap, uint32_t handle);
void Z7Heap_Free(uint32_t heap, uint32_t handle);
void Z7Heap_FreeAll(uint32_t heap);
void Z7Heap_DeleteHeap(uint32_t heap);
int32_t Z7Heap_GetFreeSpace(uint32_t heap);
uint32_t Z7Heap_NbAlloc(uint32_t heap);
uint32_t Z7Heap_Compact(uint32_t heap, uint32_t max_steps);
