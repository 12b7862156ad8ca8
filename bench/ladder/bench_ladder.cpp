// One ladder scan over three programs: 10,000 contact/coil tokens, 2,000
// arithmetic rungs, 500 timers with 500 counters.
//
//   bench_ladder                      Google Benchmark run
//   bench_ladder --scans=NAME[:N]     N plain scans of one program (for
//                                     valgrind --tool=callgrind
//                                     --toggle-collect='LogicUpdate()')
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

// Heap allocations made while a scan runs (must stay 0). The replaced
// operators pair malloc with free, which the compiler cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<bool> in_scan{false};
static std::atomic<uint64_t> scan_allocs{0};
void *operator new(std::size_t n) {
    if (in_scan) scan_allocs++;
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr uint16_t I1 = 8192, I2 = 8193, Q1 = 10240;
constexpr uint16_t R(uint32_t n) { return uint16_t(32768 + 16 * (n - 1)); }

struct Program {
    std::vector<uint16_t> w;
    uint32_t tokens;  // instructions executed per scan
};

// 5,000 rungs of one contact and one coil.
Program Contacts() {
    Program p;
    for (uint32_t i = 0; i < 5000; i++) {
        p.w.push_back(uint16_t(I1 + (i % 16)));
        p.w.insert(p.w.end(), {38, uint16_t(Q1 + (i % 2048))});
    }
    p.w.push_back(9);
    p.tokens = 10000;
    return p;
}

// 2,000 rungs: contact, skip, load, constant, add, multiply, store, pop.
Program Arithmetic() {
    Program p;
    for (uint32_t i = 0; i < 2000; i++) {
        const uint16_t a = R(1 + i % 1000), b = R(1001 + i % 1000);
        p.w.insert(p.w.end(), {I1, 70, 10, 80, a, 81, 3, 120, 81, 2, 122, 82, b, 55});
    }
    p.w.push_back(9);
    p.tokens = 2000 * 8;
    return p;
}

// 500 on-delay timers and 500 up counters, each on its own rung with a coil.
Program TimersCounters() {
    Program p;
    for (uint32_t i = 0; i < 500; i++) {
        p.w.insert(p.w.end(), {I1, 209, R(1 + 2 * i), 50, 38, uint16_t(Q1 + i)});
        p.w.insert(p.w.end(), {I2, 201, I1, R(1001 + 2 * i), 1000, 38, uint16_t(Q1 + 500 + i)});
    }
    p.w.push_back(9);
    p.tokens = 1000 * 3;
    return p;
}

void Load(const Program &p) {
    plc_reg.fill(0);
    old_reg.fill(0);
    plc_reg[(I1 - 1024) / 8] = 0xFF;
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(2 * p.w.size()));
    for (std::size_t i = 0; i < p.w.size(); i++) LE_Put16(ladder_bl.data() + MF_HDR + 2 * i, p.w[i]);
    NV_EditorFeatures = 0x8000;
    plc_reg[64] |= 1;
    LogicUpdate();  // the first scan latches the layout
}

void RunScans(benchmark::State &state, const Program &p) {
    Load(p);
    scan_allocs = 0;
    for (auto _ : state) {
        plc_reg[(I2 - 1024) / 8] ^= uint8_t(1u << (I2 & 7));  // counters see edges
        in_scan = true;
        const int32_t r = LogicUpdate();
        in_scan = false;
        if (r != -1) {
            state.SkipWithError(("fault stop at " + std::to_string(r)).c_str());
            break;
        }
        benchmark::DoNotOptimize(r);
    }
    state.counters["tokens"] = p.tokens;
    state.counters["ns_per_token"] = benchmark::Counter(
        double(p.tokens) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs"] = double(scan_allocs.load());
}

void BM_ContactCoil10k(benchmark::State &s) { RunScans(s, Contacts()); }
void BM_Arithmetic2kRungs(benchmark::State &s) { RunScans(s, Arithmetic()); }
void BM_Timers500Counters500(benchmark::State &s) { RunScans(s, TimersCounters()); }
BENCHMARK(BM_ContactCoil10k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Arithmetic2kRungs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Timers500Counters500)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--scans=", 8) != 0) continue;
        std::string arg = argv[i] + 8;
        uint32_t n = 100;
        const auto colon = arg.find(':');
        if (colon != std::string::npos) {
            n = uint32_t(std::strtoul(arg.c_str() + colon + 1, nullptr, 10));
            arg.resize(colon);
        }
        const Program p = arg == "contacts" ? Contacts() : arg == "arith" ? Arithmetic() : TimersCounters();
        Load(p);
        for (uint32_t k = 0; k < n; k++) {
            plc_reg[(I2 - 1024) / 8] ^= uint8_t(1u << (I2 & 7));
            LogicUpdate();
        }
        std::printf("%s: %u scans of %u tokens (plus one first scan)\n", arg.c_str(), n, p.tokens);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
