// A monotonic clock for the time seam that moves only when the test says so
// (and, if asked, by a fixed step on every reading), with the offset that
// PLC_FRT_OFFSET would give. Header only: the fuzz and benchmark programs use
// it without the test library.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/plat.h"

namespace test_support {

struct FakeTime {
    int64_t ns;          // the clock's reading
    int64_t step_ns;     // added on every reading
    uint64_t offset;     // the time base's offset
    uint32_t ms_offset;  // the IEC runtime's millisecond tick's offset
};

inline FakeTime &Fake() {
    static FakeTime t{};
    return t;
}
inline void FakeMono(struct timespec *ts) {
    FakeTime &t = Fake();
    t.ns += t.step_ns;
    ts->tv_sec = time_t(t.ns / 1000000000);
    ts->tv_nsec = long(t.ns % 1000000000);
}
inline uint64_t FakeOffset() { return Fake().offset; }
inline uint32_t FakeMsOffset() { return Fake().ms_offset; }
inline const PlatTimeOps kFakeTime = {FakeMono, FakeOffset, FakeMsOffset};

// The real monotonic clock, on a 100 us tick boundary.
inline int64_t NowOnTick() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    return ns - ns % 100000;
}

// Puts the fake clock in force for its lifetime, starting at start_ns.
class FakeClock {
public:
    explicit FakeClock(int64_t start_ns = NowOnTick()) {
        saved_ = plat_time;
        Fake() = FakeTime{start_ns, 0, 0, 0};
        plat_time = &kFakeTime;
    }
    ~FakeClock() { plat_time = saved_; }
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;
    // Moves the clock by ticks of 100 us.
    static void Advance(uint32_t ticks) { Fake().ns += int64_t(ticks) * 100000; }
    static void AdvanceMs(uint32_t ms) { Fake().ns += int64_t(ms) * 1000000; }

private:
    const PlatTimeOps *saved_;
};

}  // namespace test_support
