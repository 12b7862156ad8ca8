// Invariants: conditions the code keeps itself (a slot index a caller found,
// a ring's count, a state the machine set, a length checked before), as
// opposed to input from outside, which is refused with its own code.
//
// ALWAYS(x) and NEVER(x) answer x and stand inside the condition of the
// defensive branch, which stays:
//     if (NEVER(slot >= kSlots)) return;
// In a build with PLC_INVARIANTS (Debug, sanitizer and fuzz builds, and a
// build configured without a build type: see CMakeLists.txt) a condition
// that does not hold ends the process with its file, line and text, so that
// tests and fuzz targets find the fault. In Release and RelWithDebInfo they
// are the bare condition and the branch is taken quietly.
#pragma once

// Prints "invariant failed" with file, line and condition, then aborts.
[[noreturn]] void PLAT_InvariantFailed(const char *file, int line, const char *text);

#if defined(PLC_INVARIANTS)
#define ALWAYS(x) (static_cast<bool>(x) ? true : (PLAT_InvariantFailed(__FILE__, __LINE__, "ALWAYS(" #x ")"), false))
#define NEVER(x) (static_cast<bool>(x) ? (PLAT_InvariantFailed(__FILE__, __LINE__, "NEVER(" #x ")"), true) : false)
#else
#define ALWAYS(x) (static_cast<bool>(x))
#define NEVER(x) (static_cast<bool>(x))
#endif
