// PID blocks' module record: the next loop number a step-block instance takes
// (set to 0 when the IEC runtime starts).
#pragma once

#include <cstdint>

extern uint32_t pid_Instance;
