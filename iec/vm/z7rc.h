// Resource files of an application (string tables, screens, bitmaps, fonts:
// indexed records with a checksum) loaded into runtime heap blocks, and the
// typed property tokens that describe them. Addresses are VM arena offsets.
#pragma once

#include <cstdint>

// Kinds 1..4 name "z7.rsc", "z7.rst", "z7.rbm", "z7.rfn" in the runtime folder.
const char *Z7Rc_FileName(uint32_t kind);
// Running CRC-32 (reflected 0xA000A001, no final inversion) of resource files
// and file transfers.
uint32_t Z7Rc_Crc32(uint32_t crc, const uint8_t *p, uint32_t n);

uint32_t Z7Rc_Init_Buffer(uint32_t buffer, uint32_t size, uint32_t options);
uint32_t Z7Rc_Init_Malloc(uint32_t entries_per_table);
void Z7Rc_Release(uint32_t heap);
void Z7Rc_FreeAllRC(uint32_t heap);
void Z7Rc_FreeRC(uint32_t heap, uint32_t handle);
uint32_t Z7Rc_Compact(uint32_t heap);
// 1 when the file of kind exists with a good header (0, kind, stored length
// + 16 = file size) and checksum; size receives the file size.
uint32_t Z7Rc_CheckRCFile(uint32_t kind, uint32_t ignored, uint32_t *size);
// Heap handle of a block with the N directory entries (12 bytes each), N in
// count; 0 and count 0 when the file is missing, empty or damaged.
uint32_t Z7Rc_LoadRCDirectory(uint32_t heap, uint32_t kind, uint32_t *count);
// Heap handle of record n (1..N): {u32 size, u32 data address, data}; 0 for
// a record outside the directory or the stored length, or no heap room.
uint32_t Z7Rc_LoadRCByIndex(uint32_t heap, uint32_t kind, uint32_t n, uint32_t ignored);
// Data address (and size) of a loaded record, locked; 0 when not loaded.
uint32_t Z7Rc_LockRC(uint32_t heap, uint32_t handle, uint32_t *size);
void Z7Rc_UnlockRC(uint32_t heap, uint32_t handle);

// ---- property tokens {u8 property, u8 value type, value} ------------------------------------
// end = first address past the token buffer: a text without NUL ends there.
// Next token; a value type above 17 answers the same token.
uint32_t Z7Rcs_NextToken(uint32_t token, uint32_t end);
uint32_t Z7Rcs_GetProp(uint32_t token, uint32_t *type);
uint32_t Z7Rcs_GetObjType(uint32_t token);
uint32_t Z7RCS_GetStringProp(uint32_t token);
uint32_t Z7RCS_GetPairProp(uint32_t token, uint16_t *a, uint16_t *b);
int32_t Z7RCS_GetSignedProp(uint32_t token);
uint32_t Z7RCS_GetUnsignedProp(uint32_t token);
uint32_t Z7RCS_GetRealProp(uint32_t token);
uint64_t Z7RCS_GetLrealProp(uint32_t token);
int64_t Z7RCS_GetLintProp(uint32_t token);
// Address of the variable of a type 14 or 15 token; 0 otherwise.
uint32_t Z7RCS_GetVarProp(uint32_t db, uint32_t token, uint32_t *type_code);
// First element of the array of a type 16 or 17 token (count elements
// inside their segment); 0 otherwise.
uint32_t Z7RCS_GetArrayProp(uint32_t db, uint32_t token, uint32_t *type_code, uint32_t *count);
