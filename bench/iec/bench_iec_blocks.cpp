// Speed of the controller's IEC blocks, called as the VM calls them.
//   BM_Dispatch:    a block's answer to the usability query (target <= 30 ns).
//   BM_Ton:         one TON100MS call while it runs (target <= 50 ns).
//   BM_IntToAscii:  INTTOASCII with decimals and a width (target <= 300 ns).
//   BM_MultiShift:  MULTISHIFT of 1,000 INT by 3 (target <= 2 us).
//   BM_FbDispatch:  one FB call from the VM to a block that does nothing
//                   (KEYPRESS), as a cycle of 100 such calls (per_call:
//                   the cycle / 100, the cycle's own cost included; target
//                   <= 30 ns).
//   BM_App150Cycle: one cycle of the 149-block application of the black-box
//                   test (tests/support/iec_blkapp.h), inputs at 0; a figure
//                   to report, no target.
// Each reports the heap allocations it made ("mallocs", expected 0).
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/malloc_count.h"
#include "core/image/plcreg.h"
#include "iec/blocks/blkform.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_blkapp.h"
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

// One cycle of a started image; counters per call.
void Cycles(benchmark::State &state, const test_support::IecImage &img, uint32_t calls) {
    Db();  // the library installed
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "A") != 0) {
        state.SkipWithError("start failed");
        return;
    }
    uint32_t now = 1;
    std::size_t mallocs = 0;
    for (auto _ : state) {
        PlcDwordSet(276, 0x40000000u + 10 * now);  // the time base moves 1 ms a cycle
        const std::size_t before = malloc_calls;
        Z7Def_Cycle(db, now++, nullptr);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    state.counters["blocks"] = calls;
    state.counters["cycles"] = Z7Mem_Get32(Z7VM_Status(db) + ST_CYCLES);
    // seconds per block call (printed with its SI prefix, "n" for ns)
    state.counters["per_call"] = benchmark::Counter(double(state.iterations()) * calls,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    Z7Def_Stop(db, nullptr, nullptr, "A");
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}

void BM_FbDispatch(benchmark::State &state) {
    test_support::IecImage img;
    img.classes = {{5, 1, "KEYPRESS"}};
    std::string code;
    for (int k = 0; k < 100; k++) {
        img.instances.push_back({0, 5, 0});
        code += test_support::Cat({"FB ", test_support::N(k + 1), " 0;"});
    }
    code += "END";
    img.programs = {{test_support::IecAsm(code), 0}};
    Cycles(state, img, 100);
}

void BM_App150Cycle(benchmark::State &state) {
    test_support::BlkApp app = test_support::BlkApp_Make();
    Cycles(state, app.Image(), app.ninst);
}
}  // namespace

BENCHMARK(BM_Dispatch);
BENCHMARK(BM_Ton);
BENCHMARK(BM_IntToAscii);
BENCHMARK(BM_MultiShift);
BENCHMARK(BM_FbDispatch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_App150Cycle)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
