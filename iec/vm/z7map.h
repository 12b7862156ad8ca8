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
