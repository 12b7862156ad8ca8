// Symbol paths such as prog.var[3].field: a variable of the map, then array
// indexes and structure members down to one value. Answers the data address
// (arena offset) and the IEC type code of the value; 0 when the path does not
// resolve.
#pragma once

#include <cstdint>

// type_name (optional): the type name of an elementary variable, or the type
// definition reached (it begins with the type's name) for a complex path.
uint32_t Z7VmSyb_Parse(uint32_t db, const char *path, uint32_t *type, const char **type_name);
// The same without type names; a path ending on a complex sub-part gives 0.
uint32_t Z7VmSyb_ParseSingle(uint32_t db, const char *path, uint32_t *type);
// Path suffix of every elementary member of a complex variable, reported to
// callback(buffer, type, user); 1 when every member was reported.
using Z7VmSybEnumFn = void (*)(const char *suffix, uint32_t type, void *user);
uint32_t Z7VmSyb_EnumCTMembers(uint32_t db, uint32_t item, char *buffer, uint32_t size, Z7VmSybEnumFn fn, void *user);
// Map item of the first name of a path (the shortest prefix that is a map
// symbol, dots included); the cursor is left behind that name. 0 when none.
uint32_t Z7VmSyb_GetMapItem(uint32_t db, const char **cursor);
