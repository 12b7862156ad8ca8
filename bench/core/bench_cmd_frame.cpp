// In-process cost of the command protocol: one get_mode exchange, and one
// 1024-byte download data frame, through the intercepted programming port.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "cmd/cmd.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "platform/plat.h"
#include "tests/support/cmd_port.h"
#include "tests/support/proc_root.h"

namespace {

using test_support::Frame;

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-cmd-XXXXXX";
        test_support::ProgramRoot(root, "bench");
        Timer_Init(&fpga_port, 100);
        RCT_Init();
        SCI2_Init(0);
        return true;
    }();
    (void)done;
    test_support::ClearCmdState();
    PlcWordSet(W_MODE, 2);  // the end of a download then stores nothing
    test_support::StartInterceptedPort();
}

size_t Exchange(const std::vector<uint8_t> &in) {
    test_support::StuffRx(in);
    Cmd_Check();
    return test_support::DrainTx();
}

void BM_GetMode(benchmark::State &state) {
    Setup();
    const auto f = Frame(0x01, {0x7F});
    for (auto _ : state) benchmark::DoNotOptimize(Exchange(f));
}
BENCHMARK(BM_GetMode);

void BM_DownloadFrame1024(benchmark::State &state) {
    Setup();
    const auto start = Frame(0x04, {0x7F, 0});
    const auto data = Frame(0xFF, std::vector<uint8_t>(1024, 0x5A));
    const auto end = Frame(0xFF, {});
    Exchange(start);
    uint32_t sent = 0;
    for (auto _ : state) {
        if (sent + 1024 > 2097152) {
            state.PauseTiming();
            Exchange(end);
            Exchange(start);
            sent = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(Exchange(data));
        sent += 1024;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 1024);
    Exchange(end);
}
BENCHMARK(BM_DownloadFrame1024);

}  // namespace

BENCHMARK_MAIN();
