// Variable map: find an application variable by name, number tag, (type,
// index) or data address, enumerate them, read their descriptions. Items and
// chain heads live in database sections 24 and 25; items point into the code
// image for their definitions. Addresses are arena offsets (0 = none).
#pragma once

#include <cstdint>

uint32_t Z7VMMap_CanHotRestart(uint32_t db, uint32_t code);
uint32_t Z7VMMap_HotRestart(uint32_t db, uint32_t code);
// Case-insensitive symbol hash (before the bucket: mod 17).
uint16_t Z7Map_Hash(const char *name);
uint32_t Z7Map_GetBySymbol(uint32_t db, const char *name);
uint32_t Z7Map_GetByIndex(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_GetByNumTag(uint32_t db, uint32_t tag);
uint32_t Z7Map_GetByData(uint32_t db, uint32_t address);
uint32_t Z7Map_CheckPointer(uint32_t db, uint32_t item);
uint32_t Z7Map_GetFirst(uint32_t db, uint32_t *pos);
uint32_t Z7Map_GetNext(uint32_t db, uint32_t *pos);
// Item accessors (0 for a null item).
const char *Z7Map_GetSymbol(uint32_t item);
uint32_t Z7Map_GetIndex(uint32_t item);
uint32_t Z7Map_GetType(uint32_t item);
uint32_t Z7Map_GetNumTag(uint32_t item);
uint32_t Z7Map_GetDim(uint32_t item);
uint32_t Z7Map_GetStringLenth(uint32_t item);
uint32_t Z7Map_GetData(uint32_t item);
uint32_t Z7Map_GetDescLength(uint32_t db, uint32_t n);
uint32_t Z7Map_GetDesc(uint32_t db, uint32_t n, uint8_t *out);
// Definition record address, lock-byte address and status information (VSI,
// 16 bytes; 0 unless the item is a 40-byte item whose definition has 0x200).
uint32_t Z7Map_GetDef(uint32_t item);
uint32_t Z7Map_GetLockAddr(uint32_t item);
uint32_t Z7Map_GetVSI(uint32_t item);
// Address and size of the properties of the definition (flag 0x4): behind the
// record tail's extended type information (0x100) and profile name (0x8), to
// the record's end; 0 without them.
uint32_t Z7Map_GetProps(uint32_t item);
uint32_t Z7Map_GetPropsSize(uint32_t item);
// Address of the complex-type definition (flag 0x100), 0 without one.
uint32_t Z7Map_GetTypeInfo(uint32_t item, uint32_t db);
// The 16-byte profile name of the definition (flag 0x8), 0 without one.
uint32_t Z7Map_GetProfileName(uint32_t item);
const char *Z7Map_GetTypeName(uint32_t item, uint32_t db);
// Data address of an item that is an array of one elementary type, with its
// element count and element type code (1..17); 0 otherwise. An elementary
// item needs a dimension of 2 or more; a complex one a type name such as
// "INT[2,3]" (count 6). A numeric array must lie whole inside its section.
uint32_t Z7Map_IsArrayOfSingleVar(uint32_t db, uint32_t item, uint32_t *count, uint32_t *type);

// ---- values through an item ----------------------------------------------------------------
// Reads convert to the wanted type; a type outside 1..17 reads 0. Float to
// integer conversions saturate at the target's range and turn NaN into 0.
int32_t Z7Map_GetLongValue(uint32_t item);
uint32_t Z7Map_GetDWordValue(uint32_t item);
int64_t Z7Map_GetLIntValue(uint32_t item);
float Z7Map_GetRealValue(uint32_t item);
double Z7Map_GetLRealValue(uint32_t item);
// Address of the characters and the current length; 0 unless type 5.
uint32_t Z7Map_GetStringValue(uint32_t item, uint32_t *length);
// Writes: 0 written, 1 refused (locked, or a type not handled).
uint32_t Z7Map_SetLongValue(uint32_t item, int32_t v);
uint32_t Z7Map_SetDWordValue(uint32_t item, uint32_t v);
uint32_t Z7Map_SetLIntValue(uint32_t item, int64_t v);
uint32_t Z7Map_SetRealValue(uint32_t item, float v);
uint32_t Z7Map_SetLRealValue(uint32_t item, double v);
uint32_t Z7Map_SetStringValue(uint32_t item, const char *text, uint32_t length);
uint32_t Z7Map_IsLocked(uint32_t item);
// 1 when the item is no XV or the pointers would pass the XV table; else 0.
uint32_t Z7Map_SetXVAddress(uint32_t db, uint32_t item, uint32_t address);

// ---- status information by (type, index) -------------------------------------------------
uint32_t Z7Map_GetVSIBit(uint32_t db, uint32_t type, uint32_t index, uint32_t bit);
uint32_t Z7Map_SetVSIBit(uint32_t db, uint32_t type, uint32_t index, uint32_t bit, uint32_t on);
uint32_t Z7Map_ResetSetVSIBits(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_GetVSIDate(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_GetVSITime(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_SetVSIDate(uint32_t db, uint32_t type, uint32_t index, uint32_t value);
uint32_t Z7Map_SetVSITime(uint32_t db, uint32_t type, uint32_t index, uint32_t value);
uint32_t Z7Map_StampVSI(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_StampVSIGMT(uint32_t db, uint32_t type, uint32_t index);
uint32_t Z7Map_CopyVSI(uint32_t db, uint32_t type, uint32_t dst, uint32_t src, uint32_t bits, uint32_t stamps);
uint32_t Z7Map_GetVSIByData(uint32_t db, uint32_t address);
// Date and time registers of the interpreter (last values of opcode 568).
extern uint32_t Z7VMTic_VsiDate, Z7VMTic_VsiTime;
