// Cost of one scan's module exchange (row 4 in slot 0, row 18 in slot 1) on
// the simulated module table, with the bus transfers and heap allocations it
// makes; and the thermocouple lookup and cold-junction computation.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <new>

#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/io.h"
#include "io/iodrv.h"
#include "io/iotemp.h"
#include "bench/alloc_count.h"
#include "platform/plat.h"
#include "tests/support/proc_root.h"

namespace {
uint64_t transfers = 0;

int CProbe(uint8_t a) { return transfers++, plat_i2c_host.probe(a); }
int CRead(uint8_t a, uint8_t *b, std::size_t n) { return transfers++, plat_i2c_host.read(a, b, n); }
int CWrite(uint8_t a, const uint8_t *b, std::size_t n) { return transfers++, plat_i2c_host.write(a, b, n); }
void CSpeed(unsigned c) { plat_i2c_host.speed(c); }
const PlatI2cOps kCounting = {CProbe, CRead, CWrite, CSpeed};

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-io-XXXXXX";
        test_support::ProgramRoot(root, "bench");
        test_support::PutRootFile(root, "sim/io.json", R"({"slot0": [{"addr": "0xA2", "type": "eeprom"},
            {"addr": "0x40", "type": "expander", "pins": [200, 255]},
            {"addr": "0x42", "type": "expander", "ports": 1},
            {"addr": "0x90", "type": "registers", "width": 2, "registers": {"0": [128, 10], "1": [127, 200]}},
            {"addr": "0x96", "type": "registers", "width": 2, "registers": {"0": [12, 128]}},
            {"addr": "0x98", "type": "expander"}, {"addr": "0x9A", "type": "expander"}],
          "slot1": [{"addr": "0x4E", "type": "expander", "pins": [255, 143]},
            {"addr": "0x20", "type": "registers", "width": 2},
            {"addr": "0x22", "type": "registers", "width": 2}]})");
        // Slot 0: row 4 with thermocouple channels J and K; slot 1: row 18.
        const uint8_t cfg[] = {0x0F, 0xA2, 16, 0, 24, 25, 0,    0,    0, 0, 0,    0,    0,    0,
                               0,    0,    0,  0, 0,  0,  0x0F, 0x8F, 0, 0, 0x00, 0xFA, 0x00, 0x00};
        MF_SetHeader(io_config_bl.data(), 0, sizeof cfg);
        std::copy(std::begin(cfg), std::end(cfg), io_config_bl.begin() + MF_HDR);
        plat_i2c = &kCounting;
        return Io_SlotCheck() == 0;
    }();
    if (!done) std::abort();
}

void Scan() {
    uint8_t *in = &plc_reg[(BA_I - REG_LIN_FIRST) / 8], *q = &plc_reg[(BA_Q - REG_LIN_FIRST) / 8];
    uint8_t *ai = &plc_reg[(BA_AI - REG_LIN_FIRST) / 8], *aq = &plc_reg[(BA_AQ - REG_LIN_FIRST) / 8];
    uint32_t dbit = 0, ach = 0;
    for (uint32_t s = 0; s < 2; s++) {
        const IoSlotRec &r = io_cfg[s];
        const uint32_t di = (r.di + 7u) & ~7u, dq = (r.dq + 7u) & ~7u;
        if (di) IoGetIs(in + dbit / 8, s, 0, di);
        if (r.ai) IoGetAIs(ai + 2 * ach, s, 0, r.ai);
        if (dq) IoPutQs(q + dbit / 8, s, 0, dq);
        if (r.aq) IoPutAQs(aq + 2 * ach, s, 0, r.aq);
        IoService(s);
        dbit += std::max(di, dq);
        ach += std::max<uint32_t>(r.ai, r.aq);
    }
}

void BM_ScanExchange(benchmark::State &state) {
    Setup();
    Scan();
    transfers = 0;
    bench_alloc::counting = true;
    const uint64_t a0 = bench_alloc::count.load();
    for (auto _ : state) {
        Scan();
        plc_reg[(BA_Q - REG_LIN_FIRST) / 8] ^= 1;  // outputs change every scan
        benchmark::ClobberMemory();
    }
    state.counters["transfers/scan"] = double(transfers) / double(state.iterations());
    state.counters["allocs/scan"] = double(bench_alloc::count.load() - a0) / double(state.iterations());
}
BENCHMARK(BM_ScanExchange);

void BM_TcTable(benchmark::State &state) {
    uint32_t r = 12345;
    for (auto _ : state) {
        r = r * 1103515245u + 12345u;
        benchmark::DoNotOptimize(tc_table(r & 0xFFFF, k_tab.data()));
    }
}
BENCHMARK(BM_TcTable);

void BM_CjComp(benchmark::State &state) {
    int32_t comp[8];
    int32_t t = 1000;
    for (auto _ : state) {
        cj_comp(comp, t);
        t ^= 1;
        benchmark::DoNotOptimize(comp);
    }
}
BENCHMARK(BM_CjComp);

}  // namespace

BENCHMARK_MAIN();
