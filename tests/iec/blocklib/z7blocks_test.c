/* A tiny external block library for the tests: one block EXTINC that adds 1
   to its DINT operand through the handler convention. Built twice: with
   Z7Blocks_IsValid and (Z7BLOCKS_NO_VALID) without it. */
#include <stdint.h>

typedef uint32_t (*Put32Fn)(uint32_t, uint32_t);

#ifndef Z7BLOCKS_NO_VALID
uint32_t Z7Blocks_IsValid(void) { return 1; }
#endif

const char *Z7Blocks_GetBlockName(uint32_t id) { return id == 1 ? "EXTINC" : id == 2 ? "EXTNAMEISTOOLONGXX" : 0; }

/* Counts executions in its 8-byte instance data (class data unused). */
uint32_t EXTINC(uint32_t cmd, uint32_t db, uint32_t cls, uint32_t inst, uint32_t arg) {
    (void)db;
    (void)cls;
    (void)inst;
    (void)arg;
    if (cmd == 3) return 8;
    if (cmd == 9) return 1;
    if (cmd == 1) return 77;
    return 0;
}
