// Speed of the IEC standard library, called as the interpreter calls it.
//   BM_Shl, BM_BinToBcd, BM_MoveBlock64:  one standard-function call
//                    (targets 20 / 30 / 100 ns).
//   BM_MaskLoop8:    8 mask/shift calls in a row (AND, OR, XOR, NOT, SHL,
//                    SHR, ROL, ROR) as the interpreter runs them in a program.
//   BM_LuaMask8:     lua5.4 doing the same 8 operations on 32-bit values in a
//                    loop, timed inside lua less the empty loop; the peer.
//                    The two run in 3 alternating rounds; BM_LuaMask8 prints
//                    ours_over_peer (target <= 1.5).
//   BM_Ton, BM_Average, BM_CurveLin16: one block execution (30 / 40 / 80 ns).
//   BM_ArSort128:    ARSORT of 128 INT, re-shuffled each time (15 us).
//   BM_PrintfHugeWidth: PRINTF with widths and precisions in the billions;
//                    only what a conversion shows is formatted (20 us).
//   BM_Cycles10k:    10,000 calls of each of the above: no malloc, no arena
//                    block taken (counters).
#include <bit>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "bench/iec/lua_peer.h"
#include "bench/malloc_count.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
struct App {
    uint32_t code = 0, db = 0;
    App() {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {1023, 1023, 1023};
        img.str = {4, 4, 4};
        img.string_sizes = {80, 80, 80, 80};
        code = test_support::IecLoad(img.Build());
        if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "BENCH") != 0) db = 0;
    }
    ~App() {
        if (db) Z7Def_Stop(db, nullptr, nullptr, "BENCH");
        Z7Mem_Free(db);
        Z7Mem_Free(code);
    }
    // {fn, N, ops...} in the arena
    uint32_t Call(uint16_t fn, const std::vector<uint16_t> &ops) const {
        const uint32_t c = Z7Mem_Alloc(4 + 2 * uint32_t(ops.size()));
        Z7Mem_Put16(c, fn);
        Z7Mem_Put16(c + 2, uint16_t(ops.size()));
        for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(c + 4 + 2 * uint32_t(k), ops[k]);
        return c;
    }
    // operand list {N, ops...}; the handler's argument is the address + 2
    uint32_t List(const std::vector<uint16_t> &ops) const {
        const uint32_t c = Z7Mem_Alloc(2 + 2 * uint32_t(ops.size()));
        Z7Mem_Put16(c, uint16_t(ops.size()));
        for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(c + 2 + 2 * uint32_t(k), ops[k]);
        return c + 2;
    }
    void SetD(uint32_t i, uint32_t v) const { Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, i), v); }
    void SetR(uint32_t i, float f) const { SetD(i, std::bit_cast<uint32_t>(f)); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); }
    void SetW(uint32_t i, uint16_t v) const { Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, i), v); }
    void Stamp(uint32_t t) const { Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, t); }
};
FbHandler Std(const char *name) {
    for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
        if (std::strcmp(Z7Stfb_GetName(id), name) == 0) return Z7Stfb_GetProc(id);
    return nullptr;
}

void StfBench(benchmark::State &state, uint16_t fn, const std::vector<uint16_t> &ops) {
    App app;
    app.SetD(1, 0x40000001);
    app.SetD(2, 33);
    app.SetD(3, 12345678);
    for (uint16_t i = 0; i < 64; i++) app.SetW(100 + i, i);
    app.SetD(10, 0);
    app.SetD(11, 0);
    app.SetD(12, 64);
    const uint32_t c = app.Call(fn, ops);
    for (auto _ : state) benchmark::DoNotOptimize(Z7VMStf_Execute(app.db, c));
    Z7Mem_Free(c);
}
void BM_Shl(benchmark::State &s) { StfBench(s, 33, {5, 1, 2}); }
void BM_BinToBcd(benchmark::State &s) { StfBench(s, 78, {5, 3}); }
void BM_MoveBlock64(benchmark::State &s) { StfBench(s, 95, {5, 11, 100, 64, 300, 64, 10, 11, 12}); }
BENCHMARK(BM_Shl);
BENCHMARK(BM_BinToBcd);
BENCHMARK(BM_MoveBlock64);

// The trace line goes to /dev/null while the calls run.
void BM_PrintfHugeWidth(benchmark::State &state) {
    App app;
    Z7VMStr_AscForceC(app.db, 3, "[%.2000000000d|%-99999.5x|%99.20000000d]");
    app.SetD(20, 7);
    app.SetD(21, 255);
    app.SetD(22, 3);
    const uint32_t c = app.Call(80, {4, 3, 20, 21, 22, 22});
    if (Z7VMStf_Execute(app.db, c) != 1) return state.SkipWithError("PRINTF refused its operands");
    std::fflush(stdout);
    const int saved = dup(1), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (auto _ : state) benchmark::DoNotOptimize(Z7VMStf_Execute(app.db, c));
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    Z7Mem_Free(c);
}
BENCHMARK(BM_PrintfHugeWidth)->Unit(benchmark::kMicrosecond);

// 100 x the 8 mask calls (AND, OR, XOR, NOT, SHL, SHR, ROL, ROR on DINT 1
// and 2 into DINT 1) as opcode 285 in one program, run by the interpreter.
void BM_MaskLoop8(benchmark::State &state) {
    constexpr uint32_t kRepeat = 100;
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {31, 31, 31};
    img.cs_size = 4;
    std::vector<uint16_t> words;
    for (uint32_t k = 0; k < kRepeat; k++)
        for (uint16_t fn : {20, 28, 35, 27, 33, 34, 30, 31}) words.insert(words.end(), {285, fn, 3, 1, 1, 2});
    words.push_back(68);
    img.programs = {{words, 0}};
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "BENCH") != 0)
        return state.SkipWithError("start failed");
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 0x12345678);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 2), 3);
    uint32_t now = 1000;
    const double t0 = bench_lua::CpuSeconds();
    for (auto _ : state) Z7VM_Cycle(db, now += 10);
    const double spent = bench_lua::CpuSeconds() - t0;
    if ((Z7St_Flags(db) & 0xF) != Z7F_RUN) state.SkipWithError("the program faulted");
    // seconds per 8 calls, printed with its SI prefix
    state.counters["time_per_8_calls"] = benchmark::Counter(double(state.iterations()) * kRepeat,
                                                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    bench_lua::SetOurs(spent / (double(state.iterations()) * kRepeat));
    Z7Def_Stop(db, nullptr, nullptr, "BENCH");
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}

void BM_LuaMask8(benchmark::State &state) {
    const double seconds =
        bench_lua::Run(state,
                       "local a, b, x, n = 0x12345678, 3, 0, 10000000"
                       " local t = os.clock() for i = 1, n do x = a & b; x = a | b; x = a ~ b; x = ~a & 0xFFFFFFFF;"
                       " x = (a << (b & 31)) & 0xFFFFFFFF; x = a >> (b & 31);"
                       " x = ((a << (b & 31)) | (a >> (32 - (b & 31)))) & 0xFFFFFFFF;"
                       " x = ((a >> (b & 31)) | (a << (32 - (b & 31)))) & 0xFFFFFFFF end"
                       " local full = os.clock() - t t = os.clock() for i = 1, n do end"
                       " io.write(string.format(\"%.12f\", (full - (os.clock() - t)) / n))");
    bench_lua::ReportRatio(state, seconds);
}

const bool rounds = bench_lua::RegisterRounds(
    3, {{"BM_MaskLoop8", BM_MaskLoop8, nullptr}, {"BM_LuaMask8", BM_LuaMask8, [](benchmark::internal::Benchmark *b) {
                                                      b->UseManualTime()->Iterations(3)->Unit(benchmark::kNanosecond);
                                                  }}});

void BlockBench(benchmark::State &state, const char *name, const std::vector<uint16_t> &ops,
                void (*setup)(const App &)) {
    App app;
    setup(app);
    const FbHandler h = Std(name);
    const uint32_t arg = app.List(ops), size = h(FB_INSTSIZE, 0, 0, 0, 0);
    const uint32_t inst = size ? Z7Mem_Alloc(size) : 0;
    h(FB_INSTINIT, app.db, 0, inst, 0);
    uint32_t now = 1000;
    for (auto _ : state) {
        app.Stamp(now += 10);
        h(FB_EXEC, app.db, 0, inst, arg);
    }
    Z7Mem_Free(inst);
    Z7Mem_Free(arg - 2);
}
void BM_Ton(benchmark::State &s) {
    BlockBench(s, "TON", {1, 1, 2, 2}, [](const App &a) {
        a.SetB(1, 1);
        Z7Mem_Put32(Z7Sec_Elem(a.db, Z7SEC_TIME, 1), 100000000);
    });
}
void BM_Average(benchmark::State &s) {
    BlockBench(s, "AVERAGE", {1, 1, 2, 2}, [](const App &a) {
        a.SetB(1, 1);
        a.SetR(1, 2.5f);
    });
}
void BM_CurveLin16(benchmark::State &s) {
    BlockBench(s, "CURVELIN", {1, 100, 16, 200, 16, 2, 2, 3}, [](const App &a) {
        for (uint32_t i = 0; i < 16; i++) {
            a.SetR(100 + i, float(i * 10));
            a.SetR(200 + i, float(i * i));
        }
        a.SetR(1, 147.5f);  // the last segment: the longest search
    });
}
BENCHMARK(BM_Ton);
BENCHMARK(BM_Average);
BENCHMARK(BM_CurveLin16);

void BM_ArSort128(benchmark::State &state) {
    App app;
    const FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find("ARSORT"));
    const uint32_t arg = app.List({11, 100, 128, 1});
    uint32_t seed = 12345;
    for (auto _ : state) {
        state.PauseTiming();
        for (uint16_t i = 0; i < 128; i++) {
            seed = seed * 1103515245u + 12345u;
            app.SetW(100 + i, uint16_t(seed >> 16));
        }
        state.ResumeTiming();
        h(FB_EXEC, app.db, 0, 0, arg);
    }
    Z7Mem_Free(arg - 2);
}
BENCHMARK(BM_ArSort128)->Unit(benchmark::kMicrosecond);

void BM_Cycles10k(benchmark::State &state) {
    App app;
    const uint32_t shl = app.Call(33, {5, 1, 2}), bcd = app.Call(78, {5, 3}),
                   mv = app.Call(95, {5, 11, 100, 64, 300, 64, 10, 11, 12});
    app.SetD(12, 64);
    const FbHandler ton = Std("TON"), avg = Std("AVERAGE"), cl = Std("CURVELIN");
    const uint32_t it = Z7Mem_Alloc(16), ia = Z7Mem_Alloc(536);
    const uint32_t at = app.List({1, 1, 2, 2}), aa = app.List({1, 1, 2, 2}),
                   ac = app.List({1, 100, 16, 200, 16, 2, 2, 3});
    const FbHandler sort = Z7Blocks_GetProc(Z7Blocks_Find("ARSORT"));
    const uint32_t as = app.List({11, 100, 128, 1});
    avg(FB_INSTINIT, app.db, 0, ia, 0);
    const uint32_t live = Z7Mem_LiveBlocks();
    size_t mallocs = 0;
    for (auto _ : state) {
        const size_t before = malloc_calls;
        for (uint32_t k = 0; k < 10000; k++) {
            app.Stamp(k);
            Z7VMStf_Execute(app.db, shl);
            Z7VMStf_Execute(app.db, bcd);
            Z7VMStf_Execute(app.db, mv);
            ton(FB_EXEC, app.db, 0, it, at);
            avg(FB_EXEC, app.db, 0, ia, aa);
            cl(FB_EXEC, app.db, 0, 0, ac);
            if (k % 100 == 0) sort(FB_EXEC, app.db, 0, 0, as);
        }
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    state.counters["arena_blocks_taken"] = double(Z7Mem_LiveBlocks() - live);
    for (uint32_t a : {shl, bcd, mv, it, ia, at - 2, aa - 2, ac - 2, as - 2}) Z7Mem_Free(a);
}
BENCHMARK(BM_Cycles10k)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
