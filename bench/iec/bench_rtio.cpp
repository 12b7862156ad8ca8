// The IEC application's own field I/O per cycle: the CAN exchange of 64
// messages and 256 variables on a bus in memory (idle, and with 32 frames
// arriving), and the AS-i exchange of 4 masters and 248 items. Each run counts
// the allocations it makes (none expected).
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/malloc_count.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_can.h"
#include "tests/support/iec_rtio.h"

namespace {
uint8_t pending[32][16];
uint32_t npending = 0, taken = 0;
int Open(const char *) { return 4; }
int Read(int, uint8_t *f) {
    if (taken >= npending) return -1;
    std::memcpy(f, pending[taken++], 16);
    return 16;
}
int Write(int, const uint8_t *) { return 16; }
int Mask(int, uint32_t) { return 0; }
int Buf(int, int) { return 0; }
void Close(int) {}
const PlatCanOps kBus = {Open, Read, Write, Mask, Buf, Close, nullptr};

uint32_t Start(const std::vector<uint8_t> &bytes) {
    static bool once = [] {
        Z7Svc_Install();
        z7_services.trace = nullptr;
        plat_can = &kBus;
        return true;
    }();
    (void)once;
    uint32_t db = 0;
    const uint32_t code = test_support::IecLoad(bytes);
    if (Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "B") != 0) return 0;
    return db;
}

// 32 receive messages 0x100.. and 32 on-change send messages 0x200.., four
// INT variables on each.
std::vector<uint8_t> CanImage() {
    test_support::CanDefImage d;
    d.ports = {{"can0", 32, 32, 0, 0, 0}};
    d.spare = 2;
    for (uint32_t m = 0; m < 32; m++) {
        d.rcv.push_back({0x100 + m, 0, 0, 0, 8, 0, false, {}});
        d.snd.push_back({0x200 + m, 10, 0, 0, 8, 3, false, {}});
    }
    for (uint32_t send = 0; send < 2; send++)
        for (uint32_t m = 0; m < 32; m++)
            for (uint32_t k = 0; k < 4; k++) {
                test_support::CanVarDef v;
                v.msg = uint16_t(m);
                v.off = uint8_t(2 * k);
                v.kind = send ? 2 : 1;
                v.size = 2;
                v.mtype = v.vtype = test_support::RT_INT;
                v.send = uint8_t(send);
                v.index = uint16_t(1 + send * 128 + 4 * m + k);
                d.vars.push_back(v);
            }
    test_support::IecImage app = test_support::CanTestApp();
    app.d16 = {300, 300, 0};
    return test_support::CanTestImage(d, app);
}

void BM_CanExchangeNoFrame(benchmark::State &state) {
    const uint32_t db = Start(CanImage());
    uint32_t now = 1000;
    std::size_t mallocs = 0;
    Z7VMCan_ExchangeAt(db, now);
    for (auto _ : state) {
        npending = taken = 0;
        const std::size_t before = malloc_calls;
        Z7VMCan_ExchangeAt(db, now += 1);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    Z7VM_ShutDown(db, nullptr);
}
BENCHMARK(BM_CanExchangeNoFrame)->Unit(benchmark::kMicrosecond);

void BM_CanExchange32Frames(benchmark::State &state) {
    const uint32_t db = Start(CanImage());
    uint32_t now = 1000;
    std::size_t mallocs = 0;
    for (uint32_t m = 0; m < 32; m++) {
        std::memset(pending[m], 0, 16);
        pending[m][0] = uint8_t(m);
        pending[m][1] = 0x01;
        pending[m][4] = 8;
    }
    for (auto _ : state) {
        for (uint32_t m = 0; m < 32; m++) pending[m][8] = uint8_t(now + m);
        npending = 32;
        taken = 0;
        const std::size_t before = malloc_calls;
        Z7VMCan_ExchangeAt(db, now += 1);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    Z7VM_ShutDown(db, nullptr);
}
BENCHMARK(BM_CanExchange32Frames)->Unit(benchmark::kMicrosecond);

void BM_AsiExchange4Masters248Items(benchmark::State &state) {
    test_support::AsiDefImage d;
    d.masters = 4;
    for (uint32_t k = 0; k < 248; k++) {
        const uint8_t master = uint8_t(k / 62), slave = uint8_t(1 + k % 31), out = (k % 62) >= 31 ? 0x02 : 0;
        d.items.push_back({test_support::RT_INT, uint16_t(1 + k), master, slave, uint8_t(k % 2 ? 15 : 1), out, 0});
    }
    test_support::IecImage app = test_support::CanTestApp();
    app.d16 = {300, 300, 0};
    const uint32_t db = Start(test_support::AsiTestImage(d, app));
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        Z7VMAsi_Exchange(db);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
    Z7VM_ShutDown(db, nullptr);
}
BENCHMARK(BM_AsiExchange4Masters248Items)->Unit(benchmark::kMicrosecond);
}  // namespace

BENCHMARK_MAIN();
