// lua5.4 and luajit as the speed peers of the IEC benchmarks: the script
// prints the seconds of one unit of its work, which becomes the iteration's
// time. The cases of one comparison run in alternating rounds (ours, peer,
// ours, peer, ...) so that a change of the machine's load hits both alike,
// and each peer case prints the ratio of our latest figure to its own.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace bench_lua {

// Runs "interpreter -e script" once per iteration; the last figure printed is
// returned (0 and the case skipped when the interpreter is missing).
inline double Run(benchmark::State &state, const std::string &script, const char *interpreter = "lua5.4") {
    const std::string cmd = std::string(interpreter) + " -e '" + script + "' 2>/dev/null";
    double seconds = 0;
    for (auto _ : state) {
        FILE *p = popen(cmd.c_str(), "r");
        char buf[64] = {};
        const size_t n = p != nullptr ? fread(buf, 1, sizeof buf - 1, p) : 0;
        if (p != nullptr) pclose(p);
        if (n == 0) {
            state.SkipWithError((std::string(interpreter) + " not found").c_str());
            return 0;
        }
        seconds = std::atof(buf);
        state.SetIterationTime(seconds);
    }
    return seconds;
}

// Processor seconds of this process, the clock that os.clock reads in the
// peers: a loaded machine's waits count for neither side.
inline double CpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

// Seconds of one unit of our own work in the latest round.
inline double &OursSeconds() {
    static double seconds = 0;
    return seconds;
}
// Our case records its figure; a peer case prints ours / its own (time: below
// 1 is faster than the peer).
inline void SetOurs(double seconds) { OursSeconds() = seconds; }
inline void ReportRatio(benchmark::State &state, double peer_seconds) {
    if (OursSeconds() > 0 && peer_seconds > 0) state.counters["ours_over_peer"] = OursSeconds() / peer_seconds;
}

// Registers rounds x the cases in order, named NAME/round:K.
struct Case {
    const char *name;
    void (*fn)(benchmark::State &);
    void (*setup)(benchmark::internal::Benchmark *);
};
template <std::size_t N>
bool RegisterRounds(int rounds, const Case (&cases)[N]) {
    for (int r = 1; r <= rounds; r++)
        for (const Case &c : cases) {
            benchmark::internal::Benchmark *b =
                benchmark::RegisterBenchmark((std::string(c.name) + "/round:" + std::to_string(r)).c_str(), c.fn);
            if (c.setup != nullptr) c.setup(b);
        }
    return true;
}

}  // namespace bench_lua
