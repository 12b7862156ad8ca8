// Speed of the controller's IEC blocks, called as the VM calls them.
//   BM_Dispatch:    a block's answer to the usability query (target <= 30 ns).
//   BM_Ton:         one TON100MS call while it runs (target <= 50 ns).
//   BM_IntToAscii:  INTTOASCII with decimals and a width (target <= 300 ns).
//   BM_MultiShift:  MULTISHIFT of 1,000 INT by 3 (target <= 2 us).
// Each reports the heap allocations it made ("mallocs", expected 0).
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/malloc_count.h"
#include "core/image/plcreg.h"
#include "iec/blocks/blkform.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"

namespace {
uint32_t Db() {
    static uint32_t db = [] {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {2047, 2047, 0};
        const uint32_t code = test_support::IecLoad(img.Build());
        uint32_t d = 0;
        if (code == 0 || Z7VM_CreateDB(code, &d) != 0 || Z7Def_ColdStart(code, d, nullptr, nullptr, 0, 0, "B") != 0)
            std::abort();
        BlkLib_Install();
        return d;
    }();
    return db;
}
uint32_t List(const std::vector<uint16_t> &ops) {
    const uint32_t l = Z7Mem_Alloc(uint32_t(2 + 2 * ops.size()));
    Z7Mem_Put16(l, uint16_t(ops.size()));
    for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(l + 2 + 2 * uint32_t(k), ops[k]);
    return l + 2;
}
void Run(benchmark::State &state, const char *name, const std::vector<uint16_t> &ops, uint32_t cmd, uint32_t inst) {
    const uint32_t db = Db();
    FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find(name));
    const uint32_t arg = List(ops);
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        benchmark::DoNotOptimize(h(cmd, db, 0, inst, arg));
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    Z7Mem_Free(arg - 2);
}

void BM_Dispatch(benchmark::State &state) { Run(state, "LIM", {}, FB_AVAIL, 0); }

void BM_Ton(benchmark::State &state) {
    const uint32_t db = Db(), inst = Z7Mem_Alloc(8);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 1), 30000);
    PlcDwordSet(276, 0x40000000);
    Run(state, "TON100MS", {1, 1, 2, 2}, FB_EXEC, inst);
    Z7Mem_Free(inst);
}

void BM_IntToAscii(benchmark::State &state) {
    const uint32_t db = Db();
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 1), 12345);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 2), 2);
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 3), 8);
    Run(state, "INTTOASCII", {1, 10, 16, 2, 3, 4, 5}, FB_EXEC, 0);
}

void BM_MultiShift(benchmark::State &state) {
    const uint32_t db = Db();
    Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_D16, 1), 3);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 1000);
    Run(state, "MULTISHIFT", {11, 1, 10, 1000, 1, 2, 3, 4}, FB_EXEC, 0);
}
}  // namespace

BENCHMARK(BM_Dispatch);
BENCHMARK(BM_Ton);
BENCHMARK(BM_IntToAscii);
BENCHMARK(BM_MultiShift);
BENCHMARK_MAIN();
