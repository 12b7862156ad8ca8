// Speed of the IEC bytecode interpreter.
//   BM_InterpLoop:  ns per executed bytecode of
//                   "s := s + i; i := i + one; c := n > i; jump back on c"
//                   (4 bytecodes per turn).
//   BM_Lua:         lua5.4 running "while i < n do s = s + i; i = i + 1 end",
//                   timed inside lua, ns per bytecode (4 per turn); target:
//                   ours_over_peer <= 0.8.
//   BM_LuaJitInterp: the same loop under "luajit -joff" (its interpreter, no
//                   compiler); target: ours_over_peer <= 1.2.
//                   The three run in 3 alternating rounds; each peer case
//                   prints ours_over_peer, our time per turn over its own.
//   BM_Sqrt:        ns per standard function call 285 SQRT.
//   BM_Ctur:        ns per block call 287 CTUR.
//   BM_MixedCycle:  one cycle with a sub-program call, a block and a running
//                   timer; counts system allocations over 10,000 cycles
//                   (target 0).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/iec/lua_peer.h"
#include "bench/malloc_count.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
using test_support::IecImage;
constexpr uint32_t kTurns = 1000000;

IecImage Base() {
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
    img.active_timers = 4;
    img.cs_size = 4;
    return img;
}

uint32_t Start(const IecImage &img) {
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "APP") != 0) return 0;
    return db;
}
void SetD(uint32_t db, uint32_t i, uint32_t v) { Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, i), v); }

void BM_InterpLoop(benchmark::State &state) {
    // s = 1, i = 2, one = 3, n = 4, c (8-bit) = 1
    IecImage img = Base();
    img.programs = {{{8, 1, 1, 2, 8, 2, 2, 3, 19, 1, 4, 2, 65, 1, uint16_t(-30), 68}, 0}};
    const uint32_t db = Start(img);
    if (db == 0) return state.SkipWithError("start failed");
    uint32_t now = 1000;
    const double t0 = bench_lua::CpuSeconds();
    for (auto _ : state) {
        SetD(db, 1, 0);
        SetD(db, 2, 0);
        SetD(db, 3, 1);
        SetD(db, 4, kTurns);
        Z7VM_Cycle(db, now += 10);
    }
    if ((Z7St_Flags(db) & 0xF) != Z7F_RUN) state.SkipWithError("the program faulted");
    // time per bytecode (printed with its SI prefix: time_per_bytecode=1.2ns)
    state.counters["time_per_bytecode"] = benchmark::Counter(double(state.iterations()) * kTurns * 4,
                                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    const double spent = bench_lua::CpuSeconds() - t0;
    bench_lua::SetOurs(spent / double(state.iterations()));
}

// The peers' loop, timed inside the interpreter: seconds per turn of 20 runs.
std::string PeerLoop() {
    return "local s, i, n = 0, 0, " + std::to_string(kTurns) +
           " local t = os.clock() for r = 1, 20 do s, i = 0, 0 while i < n do s = s + i; i = i + 1 end end "
           "io.write(string.format(\"%.6f\", (os.clock() - t) / 20))";
}
void PeerCase(benchmark::State &state, const char *interpreter) {
    const double seconds = bench_lua::Run(state, PeerLoop(), interpreter);
    state.counters["ns_per_bytecode"] = seconds * 1e9 / (kTurns * 4.0);
    bench_lua::ReportRatio(state, seconds);
}
void BM_Lua(benchmark::State &state) { PeerCase(state, "lua5.4"); }
void BM_LuaJitInterp(benchmark::State &state) { PeerCase(state, "luajit -joff"); }

void PeerSetup(benchmark::internal::Benchmark *b) { b->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond); }
const bool rounds = bench_lua::RegisterRounds(
    3, {{"BM_InterpLoop", BM_InterpLoop, [](benchmark::internal::Benchmark *b) { b->Unit(benchmark::kMillisecond); }},
        {"BM_Lua", BM_Lua, PeerSetup},
        {"BM_LuaJitInterp", BM_LuaJitInterp, PeerSetup}});

// 100 calls of one kind per cycle
std::vector<uint16_t> Repeat(const std::vector<uint16_t> &one, uint32_t n) {
    std::vector<uint16_t> w;
    for (uint32_t k = 0; k < n; k++) w.insert(w.end(), one.begin(), one.end());
    w.push_back(68);
    return w;
}

void BM_Sqrt(benchmark::State &state) {
    IecImage img = Base();
    img.programs = {{Repeat({285, 9, 2, 1, 2}, 100), 0}};
    const uint32_t db = Start(img);
    if (db == 0) return state.SkipWithError("start failed");
    SetD(db, 2, 0x40800000);  // 4.0
    uint32_t now = 1000;
    for (auto _ : state) Z7VM_Cycle(db, now += 10);
    if ((Z7St_Flags(db) & 0xF) != Z7F_RUN) state.SkipWithError("the program faulted");
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_Sqrt);

void BM_Ctur(benchmark::State &state) {
    IecImage img = Base();
    img.classes = {{5, 1, "CTUR"}};
    img.instances = {{0, 5, 0}};
    img.programs = {{Repeat({287, 1, 5, 1, 2, 1, 3, 2}, 100), 0}};
    const uint32_t db = Start(img);
    if (db == 0) return state.SkipWithError("start failed");
    uint32_t now = 1000;
    for (auto _ : state) Z7VM_Cycle(db, now += 10);
    if ((Z7St_Flags(db) & 0xF) != Z7F_RUN) state.SkipWithError("the program faulted");
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_Ctur);

void BM_MixedCycle(benchmark::State &state) {
    IecImage img = Base();
    img.classes = {{5, 1, "CTUR"}};
    img.instances = {{0, 5, 0}};
    // program 1: start timer 1, call program 2, CTUR, SQRT; program 2: add and return
    img.programs = {{{275, 1, 423, 2, 287, 1, 5, 1, 2, 1, 3, 2, 285, 9, 2, 5, 6, 68}, 0}, {{8, 7, 7, 3, 68}, 2}};
    const uint32_t db = Start(img);
    if (db == 0) return state.SkipWithError("start failed");
    uint32_t now = 1000;
    const std::size_t before = malloc_calls;
    for (int k = 0; k < 10000; k++) Z7VM_Cycle(db, now += 10);
    const std::size_t allocations = malloc_calls - before;
    for (auto _ : state) Z7VM_Cycle(db, now += 10);
    if ((Z7St_Flags(db) & 0xF) != Z7F_RUN) state.SkipWithError("the program faulted");
    state.counters["allocs_in_10000_cycles"] = double(allocations);
}
BENCHMARK(BM_MixedCycle);

}  // namespace

BENCHMARK_MAIN();
