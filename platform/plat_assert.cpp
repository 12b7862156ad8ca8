// The end of a process whose invariant failed (builds with PLC_INVARIANTS).
#include "platform/plat_assert.h"

#include <cstdio>
#include <cstdlib>

void PLAT_InvariantFailed(const char *file, int line, const char *text) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, text);
    std::abort();
}
