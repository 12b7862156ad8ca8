// lua5.4 as the speed peer of the IEC benchmarks: the script prints the
// seconds of one unit of its work, which becomes the iteration's time.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench_lua {

// Runs "lua5.4 -e script" once per iteration; the last figure printed is
// returned (0 and the case skipped when lua5.4 is missing).
inline double Run(benchmark::State &state, const std::string &script) {
    const std::string cmd = "lua5.4 -e '" + script + "' 2>/dev/null";
    double seconds = 0;
    for (auto _ : state) {
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr) {
            state.SkipWithError("lua5.4 not found");
            return 0;
        }
        char buf[64] = {};
        const size_t n = fread(buf, 1, sizeof buf - 1, p);
        pclose(p);
        if (n == 0) {
            state.SkipWithError("lua5.4 not found");
            return 0;
        }
        seconds = std::atof(buf);
        state.SetIterationTime(seconds);
    }
    return seconds;
}

}  // namespace bench_lua
