// Main-loop pass and scan times of a started controller on a fresh root
// (no program, no I/O modules, no programming port).
//   BM_IdlePass:  one pass of the main loop in mode 0, with the auto-save that
//                 falls due every 500 ms; median and worst of 100,000 passes.
//   BM_EmptyScan: one scan in mode 2 with the empty application.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "exec/mainloop.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"

namespace {

bool Started() {
    static bool ok = [] {
        static char tmpl[] = "/tmp/plc-bench-exec-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        setenv("PLC_ROOT", tmpl, 1);
        setenv("PLC_RESET", "exit", 1);
        std::atexit([] { std::filesystem::remove_all(tmpl); });
        // Two arguments: no hardware watchdog between the benchmarks.
        static char a0[] = "controller", a1[] = "bench", a2[] = "nowatchdog";
        static char *argv[] = {a0, a1, a2, nullptr};
        return Main_Startup(3, argv) == 0;
    }();
    return ok;
}

int64_t Now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Report(benchmark::State &state, std::vector<int64_t> &ns) {
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    state.counters["median_us"] = double(ns[ns.size() / 2]) / 1000.0;
    state.counters["p99_us"] = double(ns[ns.size() * 99 / 100]) / 1000.0;
    state.counters["worst_us"] = double(ns.back()) / 1000.0;
}

void BM_IdlePass(benchmark::State &state) {
    if (!Started()) {
        state.SkipWithError("start-up failed");
        return;
    }
    SetPlcMode(0);
    std::vector<int64_t> ns;
    ns.reserve(100000);
    for (auto _ : state) {
        const int64_t t0 = Now();
        The_Loop();
        Main_AfterPass();
        ns.push_back(Now() - t0);
    }
    Report(state, ns);
}
BENCHMARK(BM_IdlePass)->Iterations(100000)->Unit(benchmark::kMicrosecond);

void BM_EmptyScan(benchmark::State &state) {
    if (!Started()) {
        state.SkipWithError("start-up failed");
        return;
    }
    SetPlcMode(2);
    std::vector<int64_t> ns;
    ns.reserve(100000);
    for (auto _ : state) {
        const int64_t t0 = Now();
        PlcScan();
        ns.push_back(Now() - t0);
    }
    Report(state, ns);
    SetPlcMode(0);
}
BENCHMARK(BM_EmptyScan)->Iterations(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
