// Instruction library: one computing PID step, one PID instruction through a
// scan, a scan of 64 PID loops, schedule instructions and flow sub-functions
// 1 and 6.
//
//   bench_ladder_lib                  Google Benchmark run
//   bench_ladder_lib --calls=NAME[:N] N plain calls of one case (pid_step,
//                                     pid_scan, pid64, sched, flow1, flow6)
//                                     for valgrind --tool=callgrind
#include <bit>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"
#include "ladder/ladflow.h"
#include "ladder/ladpid.h"
#include "tests/support/fake_clock.h"

// Heap allocations made while a measured call runs (must stay 0).
#include "bench/alloc_count.h"
#include "bench/plain_run.h"

namespace {

constexpr uint16_t I1 = 8192, Q1 = 10240, M1 = 14336;
constexpr uint16_t R(uint32_t n) { return uint16_t(32768 + 16 * (n - 1)); }
constexpr uint32_t WordOf(uint32_t ref) { return (ref - 1024) / 16; }

void SetW(uint32_t ref, int v) { PlcWordSet(WordOf(ref), uint16_t(v)); }
void PutD(uint32_t ref, double d) {
    const uint64_t b = std::bit_cast<uint64_t>(d);
    PlcDwordSet(WordOf(ref), uint32_t(b >> 32));
    PlcDwordSet(WordOf(ref) + 2, uint32_t(b));
}

// A PID block with proportional, integral and derivative terms, slew limit
// and time-proportioning, so that every part of the step runs.
void Block(uint16_t *w) {
    std::memset(w, 0, 32);
    w[PID_GAIN] = 250;
    w[PID_DGAIN] = 20;
    w[PID_IRATE] = 5;
    w[PID_BIAS] = 40;
    w[PID_OUT_HI] = 32000;
    w[PID_OUT_LO] = uint16_t(-32000);
    w[PID_SLEW] = 10;
    w[PID_CTRL] = PID_B_TPO | PID_B_DBSUB;
    w[PID_SP] = 1000;
    w[PID_PV] = 900;
    w[PID_CYCLE] = 2;
}

// Programs of n PID loops (blocks %R200 + 16 i) or n schedule rungs.
std::vector<uint16_t> PidProgram(uint32_t n) {
    std::vector<uint16_t> p;
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t b = 200 + 16 * i;
        uint16_t w[16];
        Block(w);
        for (unsigned k = 0; k < 16; k++) SetW(R(b + k), w[k]);
        p.insert(p.end(), {I1, 240, uint16_t(i), R(b), R(100), R(101), M1, uint16_t(M1 + 1), uint16_t(M1 + 2),
                           R(102 + i), 38, uint16_t(Q1 + i)});
    }
    p.push_back(9);
    return p;
}
std::vector<uint16_t> SchedProgram(uint32_t n) {
    std::vector<uint16_t> p;
    for (uint32_t i = 0; i < n; i++) {
        switch (i % 5) {
        case 0: p.insert(p.end(), {I1, 370, 22, 0, 6, 0}); break;
        case 1: p.insert(p.end(), {I1, 372, 0x08}); break;
        case 2: p.insert(p.end(), {I1, 374, 0x4000, 0}); break;
        case 3: p.insert(p.end(), {I1, 376, 0x10}); break;
        default: p.insert(p.end(), {I1, 379, R(50)}); break;
        }
        p.insert(p.end(), {38, uint16_t(Q1 + i % 2048)});
    }
    p.push_back(9);
    return p;
}

void Load(const std::vector<uint16_t> &w) {
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(2 * w.size()));
    for (std::size_t i = 0; i < w.size(); i++) LE_Put16(ladder_bl.data() + MF_HDR + 2 * i, w[i]);
    NV_EditorFeatures = 0x8000;
    plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    LogicUpdate();  // first scan: the layout is latched, the loops initialise
}

void Image() {
    plc_reg.fill(0);
    old_reg.fill(0);
    plc_reg[(I1 - 1024) / 8] = 0xFF;
    SetW(R(100), 1000);
    SetW(R(101), 900);
    SetW(R(50), 2000);
    SetW(R(51), 2100);
    const uint16_t clock[7] = {0, 30, 23, 15, 5, 2024, 4};
    for (int i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, clock[i]);
}

// Flow operands: sub 1 over %R1000 (7 doubles in), sub 6 over %R1100.
const uint16_t kFlow1[] = {1, 0, R(1000), 1, 0, R(1200)};
const uint16_t kFlow6[] = {6, R(1100), 1, 1, R(1300)};
void FlowImage() {
    const double in1[] = {100, 100, 850, 1000, 341.0957, 0, 0};
    for (int k = 0; k < 7; k++) PutD(R(1000 + 4 * k), in1[k]);
    const double in6[] = {850, 30, 15, 0, 1000, 0, 0, 341.0957, 0, 0};
    for (int k = 0; k < 10; k++) PutD(R(1100 + 4 * k), in6[k]);
}
uint32_t Flow(const uint16_t *ops, uint32_t n) {
    uint8_t code[16];
    for (uint32_t i = 0; i < n; i++) LE_Put16(code + 2 * i, ops[i]);
    LadCursor c{code, 0, n, 0};
    return Flow_Funs(&c, 1);
}

// One case of the table below: set-up, then one measured call.
struct Case {
    const char *name;
    void (*setup)();
    uint32_t (*call)();
    double per;  // instructions per call
};

PidCall step_call;
uint16_t step_blk[16];

uint32_t CallStep() {
    step_call.time += 100;
    return fbk_pid(&step_call, step_blk);
}
void SetupStep() {
    Image();
    Block(step_blk);
    step_call = {1000000, 0, 0, 0};
    step_blk[PID_CTRL] |= PID_B_INIT;
    fbk_pid(&step_call, step_blk);
    step_blk[PID_CTRL] &= uint16_t(~PID_B_INIT);
}
// Scans read the clock twice; 5 ms a reading makes every scan compute.
void SetupScan(uint32_t loops) {
    Image();
    test_support::Fake().step_ns = 5000000;
    Load(PidProgram(loops));
}
uint32_t CallScan() { return uint32_t(LogicUpdate()); }

const Case kCases[] = {
    {"pid_step", SetupStep, CallStep, 1},
    {"pid_scan", [] { SetupScan(1); }, CallScan, 1},
    {"pid64", [] { SetupScan(64); }, CallScan, 64},
    {"sched",
     [] {
         Image();
         Load(SchedProgram(1000));
     },
     CallScan, 1000},
    {"flow1",
     [] {
         Image();
         FlowImage();
     },
     [] { return Flow(kFlow1, 6); }, 1},
    {"flow6",
     [] {
         Image();
         FlowImage();
     },
     [] { return Flow(kFlow6, 5); }, 1},
};

void Run(benchmark::State &state, const Case &k) {
    k.setup();
    bench_alloc::count = 0;
    for (auto _ : state) {
        bench_alloc::counting = true;
        const uint32_t r = k.call();
        bench_alloc::counting = false;
        benchmark::DoNotOptimize(r);
    }
    // time per instruction, printed with its SI prefix (time_per_instruction=16.3ns)
    state.counters["time_per_instruction"] =
        benchmark::Counter(k.per, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs"] = double(bench_alloc::count.load());
}

}  // namespace

int main(int argc, char **argv) {
    test_support::FakeClock clock;  // time moves only as the cases say
    std::string arg;
    uint32_t n = 1000;
    if (bench_plain::Option(argc, argv, "--calls=", arg, n)) {
        for (const Case &k : kCases) {
            if (arg != k.name) continue;
            k.setup();
            uint32_t sum = 0;
            for (uint32_t j = 0; j < n; j++) sum += k.call();
            std::printf("%s: %u calls (%g instructions each), result sum %u, loop 0 computed at %u\n", k.name, n, k.per,
                        sum, pid_st[0].last_time);
            return 0;
        }
        std::fprintf(stderr, "unknown case %s\n", arg.c_str());
        return 2;
    }
    for (const Case &k : kCases)
        benchmark::RegisterBenchmark(k.name, [&k](benchmark::State &s) { Run(s, k); })->Unit(benchmark::kNanosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
