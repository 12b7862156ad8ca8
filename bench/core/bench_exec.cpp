// Main-loop pass and scan times of a started controller on a fresh root
// (no program, no I/O modules, no programming port).
//   BM_IdlePass:  one pass of the main loop in mode 0, with the auto-save that
//                 falls due every 500 ms; median and worst of 100,000 passes.
//   BM_EmptyScan: one scan in mode 2 with the empty application.
//   BM_ServingIdlePass: the end-to-end bench's setting (the network configured,
//                 the Modbus server on, the one-rung counter program in mode
//                 2), passes as the loop runs them, with its wait between
//                 them: the work of a pass (wait excluded), median and p99 of
//                 5,000 passes.
//   BM_ServingPassWarm: the same passes back to back (caches warm), median
//                 and p99 of 100,000.
//   BM_ServingRequest: the same with one libmodbus client reading 125
//                 registers in a loop for 3 s: requests/s, p50 latency,
//                 passes per request and the work of a pass.
//   BM_ServingColdPass: the same idle passes on a clock set 1 ms on before
//                 each (what a pass after the loop's wait has to do), with
//                 the caches emptied first (8 MB written, 64 KB of code run):
//                 the work of a pass that finds none of its code or data
//                 cached, median and p99 of 2,000.
// The Modbus server listens on port 18861 of loopback (run it in a network
// namespace of its own beside other runs: tests/blackbox/run_in_netns.sh).
//   tests/blackbox/run_in_netns.sh sh -c 'ip link add eth0 type veth peer name eth0p &&
//       ip link set eth0p up && exec build-rel/bench/bench_exec'
// Instructions per pass, whatever the machine's load: the same under
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='Bench_Pass(long*)'
// with --benchmark_filter=ServingIdle or ServingRequest; the instructions
// divided by Bench_Pass's calls (callgrind_annotate --inclusive=yes).
// The cache lines a pass touches (code and data), step by step:
//   python3 bench/core/cold_lines.py build-rel/bench/bench_exec
// runs BM_ServingColdPass under callgrind with its caches emptied the same
// way, one profile per pass, and prints the median pass's lines per step.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <modbus.h>
#include <thread>
#include <valgrind/callgrind.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "exec/mainloop.h"
#include "exec/plcmode.h"
#include "protocols/modbus.h"
#include "tests/support/fake_clock.h"

namespace {

constexpr uint16_t kModbusPort = 502;

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

// Passes of the loop back to back, each timed (the wait left out), when
// ready; otherwise the benchmark is skipped with why.
void TimedPasses(benchmark::State &state, bool ready, const char *why) {
    if (!ready) {
        state.SkipWithError(why);
        return;
    }
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

void BM_IdlePass(benchmark::State &state) {
    const bool started = Started();
    if (started) SetPlcMode(0);
    TimedPasses(state, started, "start-up failed");
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

// ---- the end-to-end setting in-process -----------------------------------------------------

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }
constexpr uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }
constexpr uint32_t M(uint32_t n) { return 14336 + n - 1; }

// The I/O configuration of the end-to-end bench: the address record (enables
// 0x200005D2, status words from %R50) and a Modbus TCP record on kModbusPort.
std::vector<uint8_t> IoConfigBlock() {
    std::vector<uint32_t> words = {Ip(10, 77, 0, 2),
                                   0xFFFFFF00,
                                   0x20000000,
                                   0,
                                   0x200005D2,
                                   Ip(10, 77, 0, 1),
                                   0,
                                   R(51),
                                   16,
                                   R(50),
                                   16,
                                   R(60),
                                   32,
                                   R(62),
                                   32,
                                   R(64),
                                   32,
                                   0,
                                   0,
                                   0x01000000,
                                   0x40000,
                                   0,
                                   kModbusPort,
                                   M(2000),
                                   0,
                                   0,
                                   0};
    std::vector<uint8_t> block(4 + 4 * words.size());
    LE_Put32(block.data(), uint32_t(block.size()));
    for (std::size_t i = 0; i < words.size(); i++) LE_Put32(block.data() + 4 + 4 * i, words[i]);
    std::vector<uint8_t> data(8);
    LE_Put32(data.data(), 0xFFFFFFFF);
    LE_Put16(data.data() + 4, 0xFA00);
    LE_Put16(data.data() + 6, uint16_t(block.size()));
    data.insert(data.end(), block.begin(), block.end());
    data.resize((data.size() + 3) & ~std::size_t(3), 0);
    return data;
}

// %M1 toggles every scan; the up counter in %R1 counts its rising edges.
constexpr uint16_t kCounter[] = {
    uint16_t(M(1)),   54, uint16_t(M(1)), uint16_t(M(1)), 201, uint16_t(M(3)), uint16_t(R(1)), 32000, 38,
    uint16_t(M(105)), 9};

}  // namespace

// One pass of the loop and the wait after it, as Main_Run runs them; the work
// of the pass (the wait excluded) added to *work_ns. A function of its own so
// that callgrind can count the measured passes alone.
[[gnu::noinline]] void Bench_Pass(int64_t *work_ns) {
    const int64_t t0 = Now();
    The_Loop();
    Main_AfterPass();
    *work_ns += Now() - t0;
    Main_Wait();
}

// The same, for the passes of BM_ServingColdPass (profiled on their own).
[[gnu::noinline]] void Bench_ColdPass(int64_t *work_ns) {
    const int64_t t0 = Now();
    The_Loop();
    Main_AfterPass();
    *work_ns += Now() - t0;
}

namespace {

void RunPasses(int n) {
    for (int i = 0; i < n; i++) {
        The_Loop();
        Main_AfterPass();
        Main_Wait();
    }
}

bool Serving() {
    static bool ok = [] {
        if (!Started()) return false;
        SetPlcMode(0);
        const std::vector<uint8_t> cfg = IoConfigBlock();
        if (MF_HDR + cfg.size() > io_config_bl.size()) return false;
        MF_SetHeader(io_config_bl.data(), 0x5A5A, uint32_t(cfg.size()));
        std::copy(cfg.begin(), cfg.end(), io_config_bl.begin() + MF_HDR);
        IoConfig();  // as after a download of the block
        MF_SetHeader(ladder_bl.data(), 0, uint32_t(sizeof kCounter));
        for (std::size_t i = 0; i < std::size(kCounter); i++) LE_Put16(ladder_bl.data() + MF_HDR + 2 * i, kCounter[i]);
        NV_EditorFeatures = 0x8000;
        SetPlcMode(2);
        // The configuration is taken and the server listens within passes.
        for (int i = 0; i < 3000 && !ModbusConnEth[0].listening; i++) RunPasses(1);
        RunPasses(200);
        return ModbusConnEth[0].listening != 0 && PlcWord(W_MODE) == 2;
    }();
    return ok;
}

void BM_ServingIdlePass(benchmark::State &state) {
    if (!Serving()) {
        state.SkipWithError("the server did not start");
        return;
    }
    std::vector<int64_t> ns;
    ns.reserve(5000);
    const int64_t start = Now();
    for (auto _ : state) {
        int64_t work = 0;
        Bench_Pass(&work);
        ns.push_back(work);
    }
    state.counters["passes_per_s"] = double(ns.size()) * 1e9 / double(Now() - start);
    Report(state, ns);
}
BENCHMARK(BM_ServingIdlePass)->Iterations(5000)->Unit(benchmark::kMicrosecond);

// The same passes back to back, without the wait: the work of a pass with
// warm caches.
void BM_ServingPassWarm(benchmark::State &state) { TimedPasses(state, Serving(), "the server did not start"); }
BENCHMARK(BM_ServingPassWarm)->Iterations(100000)->Unit(benchmark::kMicrosecond);

void BM_ServingRequest(benchmark::State &state) {
    if (!Serving()) {
        state.SkipWithError("the server did not start");
        return;
    }
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::atomic<long> requests{0};
        std::vector<double> lat;
        lat.reserve(400000);
        std::thread client([&] {
            modbus_t *ctx = modbus_new_tcp("10.77.0.2", kModbusPort);
            modbus_set_response_timeout(ctx, 2, 0);
            if (modbus_connect(ctx) == 0) {
                uint16_t regs[125];
                const int64_t end = Now() + 3000000000;
                while (Now() < end) {
                    const int64_t t0 = Now();
                    if (modbus_read_registers(ctx, 3000, 125, regs) != 125) break;
                    lat.push_back(double(Now() - t0) / 1000.0);
                    requests++;
                }
                modbus_close(ctx);
            }
            modbus_free(ctx);
            done = true;
        });
        std::vector<int64_t> ns;
        ns.reserve(400000);
        while (!done) {
            int64_t work = 0;
            Bench_Pass(&work);
            ns.push_back(work);
        }
        client.join();
        std::sort(lat.begin(), lat.end());
        state.counters["req_per_s"] = double(requests) / 3.0;
        state.counters["p50_us"] = lat.empty() ? 0 : lat[lat.size() / 2];
        state.counters["passes_per_req"] = requests ? double(ns.size()) / double(requests) : 0;
        Report(state, ns);
    }
}
BENCHMARK(BM_ServingRequest)->Iterations(1)->Unit(benchmark::kMillisecond);

// Empties the caches of what the last pass left there: every line of a
// buffer larger than the last-level cache is written, and 64 KB of code
// (twice the instruction cache) is run.
void EmptyCaches() {
    static std::vector<uint8_t> evict(8u << 20);
    for (std::size_t i = 0; i < evict.size(); i += 64) evict[i]++;
    asm volatile(".rept 65536\n nop\n .endr");
}

void BM_ServingColdPass(benchmark::State &state) {
    if (!Serving()) {
        state.SkipWithError("the server did not start");
        return;
    }
    // The clock moves only here: each pass has a millisecond's timers due,
    // as after the loop's wait, even when the pass itself runs slower
    // (under callgrind).
    test_support::FakeClock clock;
    std::vector<int64_t> ns;
    ns.reserve(2000);
    for (auto _ : state) {
        Main_Wait();
        test_support::FakeClock::AdvanceMs(1);
        EmptyCaches();
        int64_t work = 0;
        CALLGRIND_ZERO_STATS;
        Bench_ColdPass(&work);
        CALLGRIND_DUMP_STATS_AT("cold pass");
        ns.push_back(work);
    }
    Report(state, ns);
}
BENCHMARK(BM_ServingColdPass)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
