// Shared set-up of the executive's in-process tests: a temporary root
// folder and a monotonic clock that moves only when the test says so.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/plat.h"

namespace exec_test {

inline std::string Root() {
    static std::string root = [] {
        if (PLAT_Root()[0] != 0) return std::string(PLAT_Root());
        static char tmpl[] = "/tmp/plc-exec-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d == nullptr) std::abort();
        setenv("PLC_ROOT", d, 1);
        setenv("PLC_RESET", "exit", 1);
        PLAT_Init(0, nullptr);
        PLAT_MakeBoardFolders();
        std::atexit([] { std::filesystem::remove_all(tmpl); });
        return std::string(d);
    }();
    return root;
}

inline int64_t &FakeNs() {
    static int64_t ns;
    return ns;
}
inline void FakeMono(struct timespec *ts) {
    ts->tv_sec = time_t(FakeNs() / 1000000000);
    ts->tv_nsec = long(FakeNs() % 1000000000);
}
inline uint32_t FakeOffset() { return 0; }
inline const PlatTimeOps kFakeTime = {FakeMono, FakeOffset};

// Puts the fake clock in force (on a tick boundary, near the real clock).
class FakeClock {
public:
    FakeClock() {
        saved_ = plat_time;
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        FakeNs() = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        FakeNs() -= FakeNs() % 100000;
        plat_time = &kFakeTime;
    }
    ~FakeClock() { plat_time = saved_; }
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;
    // Moves the clock by ticks of 100 us.
    static void Advance(uint32_t ticks) { FakeNs() += int64_t(ticks) * 100000; }

private:
    const PlatTimeOps *saved_;
};

}  // namespace exec_test
