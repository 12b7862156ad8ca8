// A stand-in real-time clock for tests: it answers the time last set and
// counts the sets.
#pragma once

#include <ctime>

#include "platform/plat.h"

namespace test_support {
struct FakeRtc {
    static inline int sets = 0;
    static inline struct tm last {};
    static int Get(struct tm *t) {
        *t = last;
        return 0;
    }
    static int Set(const struct tm *t) {
        sets++;
        last = *t;
        return 0;
    }
    static inline const PlatRtcOps ops = {Get, Set};
};
}  // namespace test_support
