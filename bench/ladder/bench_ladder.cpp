// One ladder scan over the programs below: 10,000 contact/coil tokens, 2,000
// arithmetic rungs, 500 timers with 500 counters, and 1,000 rungs each of a
// typed rung, a float rung, number to text (187 and 517) and a 1,000-word
// pointer block move (505, 100 rungs).
//
//   bench_ladder                      Google Benchmark run
//   bench_ladder --scans=NAME[:N]     N plain scans of one program (for
//                                     valgrind --tool=callgrind
//                                     --toggle-collect='LogicUpdate()')
#include <bit>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "ladder/ladder.h"

// Heap allocations made while a scan runs (must stay 0).
#include "bench/alloc_count.h"
#include "bench/plain_run.h"

namespace {

constexpr uint16_t I1 = 8192, I2 = 8193, Q1 = 10240;
constexpr uint16_t R(uint32_t n) { return uint16_t(32768 + 16 * (n - 1)); }

struct Program {
    std::vector<uint16_t> w;
    uint32_t tokens;  // instructions executed per scan
    uint32_t rungs = 0;
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

// 1,000 typed rungs: byte to 32-bit, float to 32-bit, unsigned multiply, store.
Program Typed() {
    Program p;
    for (uint32_t i = 0; i < 1000; i++)
        p.w.insert(p.w.end(), {I1, 301, uint16_t(R(1 + i % 100)), 321, uint16_t(R(201 + 2 * (i % 100))), 264, 85,
                               uint16_t(R(501 + 2 * (i % 100))), 55});
    p.w.push_back(9);
    p.tokens = 1000 * 6;
    p.rungs = 1000;
    return p;
}

// 1,000 float rungs: integer to float, sine, store.
Program Float() {
    Program p;
    for (uint32_t i = 0; i < 1000; i++)
        p.w.insert(p.w.end(), {I1, 79, uint16_t(R(1 + i % 100)), 153, 85, uint16_t(R(501 + 2 * (i % 100))), 55});
    p.w.push_back(9);
    p.tokens = 1000 * 5;
    p.rungs = 1000;
    return p;
}

// The 20-byte format field "%d".
void Format(std::vector<uint16_t> &w) {
    w.push_back(uint16_t('%' | ('d' << 8)));
    for (int i = 1; i < 10; i++) w.push_back(0);
}

// 1,000 rungs of a number-to-text instruction op with 2 decimals and the
// format "%d"; operands(i) gives rung i's text and value references.
template <typename Operands>
Program TextRungs(uint16_t op, Operands operands) {
    Program p;
    for (uint32_t i = 0; i < 1000; i++) {
        const auto [text, value] = operands(i);
        p.w.insert(p.w.end(), {I1, op, uint16_t(text), uint16_t(value), 0, 2, 8});
        Format(p.w);
        p.w.push_back(55);
    }
    p.w.push_back(9);
    p.tokens = 1000 * 3;
    p.rungs = 1000;
    return p;
}

// 1,000 rungs of number to text with 2 decimals (187).
Program NumText() {
    return TextRungs(187, [](uint32_t i) { return std::pair{R(1401 + 5 * (i % 100)), R(1 + i % 100)}; });
}

// 1,000 rungs of number to plain text through pointers (517): %R901.. hold
// pointers to the texts (%R1401..) and to the values (%R1..).
Program NumTextPtr() {
    return TextRungs(517, [](uint32_t i) { return std::pair{R(901 + 4 * (i % 100)), R(903 + 4 * (i % 100))}; });
}

// 100 pointer block moves of 1,000 words (505): %R1301 points to %R5001,
// %R1303 to %R7001.
Program BlockMove() {
    Program p;
    for (uint32_t i = 0; i < 100; i++) p.w.insert(p.w.end(), {I1, 505, R(1303), R(1301), 1000, 55});
    p.w.push_back(9);
    p.tokens = 100 * 3;
    p.rungs = 100;
    return p;
}

// Byte offset of %R n.
constexpr uint32_t RByte(uint32_t n) { return 2 * (1983 + n); }

void PutDword(uint32_t reg, uint32_t v) { LE_Put32(plc_reg.data() + RByte(reg), v); }

// Values and pointers the rungs above use.
void Seed() {
    for (uint32_t i = 0; i < 100; i++) {
        LE_Put16(plc_reg.data() + RByte(1 + i), uint16_t(1234 + 97 * i));
        PutDword(201 + 2 * i, std::bit_cast<uint32_t>(1000.5f + float(i)));
        PutDword(901 + 4 * i, RByte(1401 + 5 * i));
        PutDword(903 + 4 * i, RByte(1 + i));
    }
    PutDword(1301, RByte(5001));
    PutDword(1303, RByte(7001));
}

void Load(const Program &p) {
    plc_reg.fill(0);
    old_reg.fill(0);
    plc_reg[(I1 - 1024) / 8] = 0xFF;
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(2 * p.w.size()));
    for (std::size_t i = 0; i < p.w.size(); i++) LE_Put16(ladder_bl.data() + MF_HDR + 2 * i, p.w[i]);
    NV_EditorFeatures = 0x8000;
    Seed();
    plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    LogicUpdate();  // the first scan latches the layout
}

void RunScans(benchmark::State &state, const Program &p) {
    Load(p);
    bench_alloc::count = 0;
    for (auto _ : state) {
        plc_reg[(I2 - 1024) / 8] ^= uint8_t(1u << (I2 & 7));  // counters see edges
        bench_alloc::counting = true;
        const int32_t r = LogicUpdate();
        bench_alloc::counting = false;
        if (r != -1) {
            state.SkipWithError(("fault stop at " + std::to_string(r)).c_str());
            break;
        }
        benchmark::DoNotOptimize(r);
    }
    state.counters["tokens"] = p.tokens;
    // seconds per token and per rung, printed with their SI prefix and unit
    // (time_per_token=1.25ns)
    state.counters["time_per_token"] = benchmark::Counter(
        double(p.tokens), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs"] = double(bench_alloc::count.load());
    if (p.rungs)
        state.counters["time_per_rung"] = benchmark::Counter(
            double(p.rungs), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ContactCoil10k(benchmark::State &s) { RunScans(s, Contacts()); }
void BM_Arithmetic2kRungs(benchmark::State &s) { RunScans(s, Arithmetic()); }
void BM_Timers500Counters500(benchmark::State &s) { RunScans(s, TimersCounters()); }
BENCHMARK(BM_ContactCoil10k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Arithmetic2kRungs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Timers500Counters500)->Unit(benchmark::kMicrosecond);
void BM_TypedRung1k(benchmark::State &s) { RunScans(s, Typed()); }
void BM_FloatRung1k(benchmark::State &s) { RunScans(s, Float()); }
void BM_NumToText187_1k(benchmark::State &s) { RunScans(s, NumText()); }
void BM_NumToText517_1k(benchmark::State &s) { RunScans(s, NumTextPtr()); }
void BM_BlockMove505_1000w_x100(benchmark::State &s) { RunScans(s, BlockMove()); }
BENCHMARK(BM_TypedRung1k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloatRung1k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NumToText187_1k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NumToText517_1k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BlockMove505_1000w_x100)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    std::string arg;
    uint32_t n = 100;
    if (bench_plain::Option(argc, argv, "--scans=", arg, n)) {
        const Program p = arg == "contacts" ? Contacts()
                          : arg == "arith"  ? Arithmetic()
                          : arg == "typed"  ? Typed()
                          : arg == "float"  ? Float()
                          : arg == "n2t"    ? NumText()
                          : arg == "n2tptr" ? NumTextPtr()
                          : arg == "move"   ? BlockMove()
                                            : TimersCounters();
        Load(p);
        for (uint32_t k = 0; k < n; k++) {
            plc_reg[(I2 - 1024) / 8] ^= uint8_t(1u << (I2 & 7));
            LogicUpdate();
        }
        std::printf("%s: %u scans of %u tokens, %u rungs (plus one first scan)\n", arg.c_str(), n, p.tokens, p.rungs);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
