// The standard library of the IEC runtime: the standard blocks offered to
// the linker before the controller registry, the bit, byte, date and system
// standard functions, and the array tools the handlers share.
#pragma once

#include <cstdint>

#include "iec/vm/z7interp.h"

// ---- standard blocks ------------------------------------------------------------------------------
// 54 rows in linker order; a row whose block is not built here has no handler
// and the walk skips it.
constexpr uint32_t Z7STFB_ROWS = 54;
const char *Z7Stfb_GetName(uint32_t id);
FbHandler Z7Stfb_GetProc(uint32_t id);
// Handlers that stand in no list (counters by level).
FbHandler Z7Stfb_Counter(uint32_t which);  // 0 CTU, 1 CTD, 2 CTUD

// ---- array tools ------------------------------------------------------------------------------------
// Address of the first element of the array operand at index for an element
// type code: in the complex-type segment when the database has one (the
// index names a DINT holding the byte offset), else in the typed segment.
uint32_t Z7Tools_GetAnyArray(uint32_t db, uint32_t type, uint32_t index);
// As above, but only when count elements lie inside their segment (count
// below 0 or past the segment: 0). size receives the element size.
uint32_t Z7Tools_GetArrayIn(uint32_t db, uint32_t type, uint32_t index, int64_t count, uint32_t *size);
// Element size of a type code (1, 2, 4, 8; 0 for STRING and unknown codes).
uint32_t Z7Tools_TypeSize(uint32_t type);

// ---- standard functions built in the library ---------------------------------------------------
// Runs slot fn on the operand list (operand 0 = result) with n operands.
// 1 go on, 0 stop the VM; 2 when the slot is not one of this module.
uint32_t Z7VMStfBit_Execute(uint32_t db, uint32_t ops, uint32_t n, uint32_t fn);

// ---- runtime platform layer (clock) ------------------------------------------------------------
uint32_t Z7RtClk_GetCurTimeStamp();
uint32_t Z7RtClk_GetCurDateStamp();
void Z7RtClk_GetCurDateTimeStamp(uint32_t local, uint32_t *date, uint32_t *time, uint32_t *flag);
uint32_t Z7RtClk_GetString(uint32_t kind, char *out);
