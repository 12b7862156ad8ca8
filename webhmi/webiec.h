// IEC variable names in web addresses, resolved against the running IEC
// application's variable map into IEC variable handles.
#pragma once

#include <cstdint>

#include "webhmi/webvars.h"

// 1 while an IEC application runs with its variables enumerated.
uint32_t WebIec_Enumerated();
// Fills handle, data type and width of a variable name (member paths and
// array indexes included) with its optional "@count" and ".bit"; 1 when found.
uint32_t WebIec_Resolve(const char *name, uint32_t count, bool has_count, uint32_t bit, bool has_bit, WebVariable *out);
