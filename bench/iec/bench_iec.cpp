// Speed of the IEC VM foundation.
//   BM_Build:        sizing, layout and build of an application with 10,000
//                    variables of each numeric kind (all with initial values)
//                    and 1,000 strings (target < 2 ms).
//   BM_Cycle16:      one cycle of 16 programs that only end
//                    (target < 1 us, no arena block taken).
//   BM_HeapCompact:  Z7Heap_Compact(32) on a fragmented 64 KB buffer heap
//                    (target < 20 us).
//   BM_Str* / BM_Cnv*: string and conversion calls (target < 100 ns; REAL
//                    text < 500 ns).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/malloc_count.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7heap.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
using test_support::IecImage;

std::vector<uint8_t> BigImage() {
    IecImage img;
    const uint16_t n = 10000;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {n, n, 0};
    img.str = {1000, 1000, 0};
    img.string_sizes.assign(1000, 32);
    for (uint16_t i = 1; i <= n; i++) {
        img.init8.push_back({i, uint8_t(i)});
        img.init16.push_back({i, i});
        img.init32.push_back({i, i * 3u});
        img.init64.push_back({i, i * 5ull});
        img.init_time.push_back({i, i * 7u});
    }
    for (uint16_t i = 1; i <= 1000; i++) img.init_str.push_back({i, "INITIAL TEXT"});
    img.tasks = {{"MAIN", {1}}};
    return img.Build();
}

void BM_Build(benchmark::State &state) {
    const uint32_t code = test_support::IecLoad(BigImage());
    for (auto _ : state) {
        uint32_t db = 0;
        if (Z7VM_CreateDB(code, &db) != 0 || Z7VM_Build(code, db) != 0) state.SkipWithError("build failed");
        benchmark::DoNotOptimize(db);
        Z7Mem_Free(db);
    }
    Z7Mem_Free(code);
}
BENCHMARK(BM_Build)->Unit(benchmark::kMicrosecond);

void BM_Cycle16(benchmark::State &state) {
    IecImage img;
    img.programs.assign(16, IecImage::Program{});
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "B") != 0)
        state.SkipWithError("start failed");
    const uint32_t live = Z7Mem_LiveBlocks();
    uint32_t now = 1;
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        Z7Def_Cycle(db, now++, nullptr);
        mallocs += malloc_calls - before;
    }
    if (Z7Mem_LiveBlocks() != live) state.SkipWithError("the cycle took arena blocks");
    state.counters["mallocs"] = double(mallocs);
    state.counters["cycles"] = Z7Mem_Get32(Z7VM_Status(db) + ST_CYCLES);
    Z7Def_Stop(db, nullptr, nullptr, "B");
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}
BENCHMARK(BM_Cycle16);

void BM_HeapCompact(benchmark::State &state) {
    const uint32_t size = 64 * 1024;
    const uint32_t buf = Z7Mem_Alloc(size), snap = Z7Mem_Alloc(size);
    const uint32_t heap = Z7Heap_CreateHeapBuffer(buf, size, 0);
    // blocks of 16 to 124 bytes, every third one freed
    for (uint32_t i = 0;; i++) {
        const uint32_t h = Z7Heap_Alloc(heap, 16 + (i * 37) % 112);
        if (h == 0) break;
    }
    for (uint32_t h = 1; h < Z7Heap_NbAlloc(heap); h += 3) Z7Heap_Free(heap, h);
    std::memcpy(Z7Mem_Ptr(snap, size), Z7Mem_Ptr(buf, size), size);
    uint32_t steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(Z7Mem_Ptr(buf, size), Z7Mem_Ptr(snap, size), size);
        state.ResumeTiming();
        steps = Z7Heap_Compact(heap, 32);
    }
    state.counters["steps"] = steps;
    state.counters["blocks"] = Z7Heap_NbAlloc(heap);
    Z7Mem_Free(buf);
    Z7Mem_Free(snap);
}
BENCHMARK(BM_HeapCompact)->Unit(benchmark::kMicrosecond);

// A database with strings 1..4 (STRING(80)) and numeric variables.
struct StrDb {
    uint32_t code = 0, db = 0;
    StrDb() {
        IecImage img;
        img.str = {4, 4, 0};
        img.string_sizes = {80, 80, 80, 80};
        img.d32 = img.d8 = img.d64 = {4, 4, 0};
        code = test_support::IecLoad(img.Build());
        if (Z7VM_CreateDB(code, &db) != 0 || Z7VM_Build(code, db) != 0) std::abort();
        Z7VMStr_AscForceC(db, 1, "The quick brown fox jumps over the lazy dog");
        Z7VMStr_AscForceC(db, 2, "lazy");
        Z7VMStr_AscForceC(db, 4, "-123456");
    }
    ~StrDb() {
        Z7Mem_Free(db);
        Z7Mem_Free(code);
    }
};

void BM_StrCat(benchmark::State &state) {
    StrDb s;
    for (auto _ : state) Z7VMStr_Cat(s.db, 3, 1, 2);
}
BENCHMARK(BM_StrCat);

void BM_StrMid(benchmark::State &state) {
    StrDb s;
    for (auto _ : state) Z7VMStr_Mid(s.db, 3, 1, 4, 15);
}
BENCHMARK(BM_StrMid);

void BM_StrFind(benchmark::State &state) {
    StrDb s;
    for (auto _ : state) benchmark::DoNotOptimize(Z7VMStr_Find(s.db, 1, 2));
}
BENCHMARK(BM_StrFind);

void BM_StrCrc16(benchmark::State &state) {
    StrDb s;
    for (auto _ : state) benchmark::DoNotOptimize(Z7VMStr_Crc16(s.db, 1));
}
BENCHMARK(BM_StrCrc16);

void BM_StrNumToStrReal(benchmark::State &state) {
    StrDb s;
    const float v = -1234.5678f;
    std::memcpy(Z7Mem_Ptr(Z7VMCnv_VarAddr(s.db, IEC_REAL, 1), 4), &v, 4);
    for (auto _ : state) Z7VMStr_NumToStr(s.db, 3, IEC_REAL, 1, 12, 3);
}
BENCHMARK(BM_StrNumToStrReal);

void Ops(uint32_t db, uint16_t dst, uint16_t src, uint16_t dt, uint16_t st) {
    const uint32_t ops = Z7Sec_Addr(db, Z7SEC_EXEC);
    Z7Mem_Put16(ops, dst);
    Z7Mem_Put16(ops + 2, src);
    Z7Mem_Put16(ops + 4, dt);
    Z7Mem_Put16(ops + 6, st);
}

void BM_CnvRealToDint(benchmark::State &state) {
    StrDb s;
    Ops(s.db, 2, 1, IEC_DINT, IEC_REAL);
    for (auto _ : state) Z7VMCnv_Convert(s.db, Z7Sec_Addr(s.db, Z7SEC_EXEC));
}
BENCHMARK(BM_CnvRealToDint);

void BM_CnvStringToDint(benchmark::State &state) {
    StrDb s;
    Ops(s.db, 2, 4, IEC_DINT, IEC_STRING);
    for (auto _ : state) Z7VMCnv_Convert(s.db, Z7Sec_Addr(s.db, Z7SEC_EXEC));
}
BENCHMARK(BM_CnvStringToDint);

void BM_CnvRealToString(benchmark::State &state) {
    StrDb s;
    const float v = 3.14159f;
    std::memcpy(Z7Mem_Ptr(Z7VMCnv_VarAddr(s.db, IEC_REAL, 1), 4), &v, 4);
    Ops(s.db, 3, 1, IEC_STRING, IEC_REAL);
    for (auto _ : state) Z7VMCnv_Convert(s.db, Z7Sec_Addr(s.db, Z7SEC_EXEC));
}
BENCHMARK(BM_CnvRealToString);

void BM_CnvBinLrealToUdint(benchmark::State &state) {
    const double v = 3.0e9;
    uint8_t out[8];
    for (auto _ : state) {
        Z7VMCnv_ConvBin(out, reinterpret_cast<const uint8_t *>(&v), IEC_UDINT, IEC_LREAL);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_CnvBinLrealToUdint);

}  // namespace

BENCHMARK_MAIN();
