// The VM arena: one fixed memory area that holds the code images, the VM
// database and the malloc-mode heap. Every address the VM stores in a u32
// field (section addresses, code and string pointers, retain runs, heap
// blocks) is a byte offset into this arena; offset 0 is never a block, so 0
// keeps its meaning "none". The arena is mapped once and never moves.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes reserved for the arena (address space only; pages are taken on use).
constexpr uint32_t Z7MEM_SIZE = 64u << 20;
// Offset of the first payload: nothing below it is ever addressed.
constexpr uint32_t Z7MEM_FIRST = 32;

// Host address of the arena, mapped on first use (null when it cannot be).
extern uint8_t *Z7Mem_Base;
uint8_t *Z7Mem_Map();
// Pointer to len bytes at offset off of the arena, or null when off is 0 (or
// below the first block) or the range does not lie inside the arena.
inline uint8_t *Z7Mem_Ptr(uint32_t off, uint32_t len) {
    if (off < Z7MEM_FIRST || uint64_t(off) + len > Z7MEM_SIZE) return nullptr;
    uint8_t *const b = Z7Mem_Base != nullptr ? Z7Mem_Base : Z7Mem_Map();
    return b != nullptr ? b + off : nullptr;
}
// Offset of a pointer into the arena (0 when it does not point into it).
uint32_t Z7Mem_Off(const void *p);

// Zero-filled block of size bytes (8-byte aligned); 0 when there is no room.
uint32_t Z7Mem_Alloc(uint32_t size);
// Gives a block back; 0 and offsets that are not live blocks are ignored.
void Z7Mem_Free(uint32_t off);
// Size asked for when the live block at off was allocated; 0 when off is not
// the start of a live block.
uint32_t Z7Mem_BlockSize(uint32_t off);
// End (offset past the size asked) of the live block whose payload holds off;
// 0 when off lies in no live block.
uint32_t Z7Mem_BlockEnd(uint32_t off);
// Number of live blocks (tests and leak checks).
uint32_t Z7Mem_LiveBlocks();
// Number of blocks given back so far: a block's bytes can only change owner
// after one is given back (the interpreter's code proofs hold while it stays).
uint32_t Z7Mem_Frees();

// Little-endian field access at arena offsets; reads of a range outside the
// arena answer 0 and writes there do nothing.
uint8_t Z7Mem_Get8(uint32_t off);
uint16_t Z7Mem_Get16(uint32_t off);
uint32_t Z7Mem_Get32(uint32_t off);
void Z7Mem_Put8(uint32_t off, uint8_t v);
void Z7Mem_Put16(uint32_t off, uint16_t v);
void Z7Mem_Put32(uint32_t off, uint32_t v);

// Host function table: u32 fields that hold a function address on the board
// hold an index into this table here (0 = no function).
using Z7Fn = void (*)();
uint32_t Z7Fn_Register(Z7Fn fn);
Z7Fn Z7Fn_Get(uint32_t index);
