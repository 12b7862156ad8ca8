// Costs of the serial Modbus engine:
//   BM_RtuSlaveFc3x125: one RTU request (FC3, 125 registers) received byte by
//                       byte, its end-of-frame event, the request handled and
//                       the answer's CRC computed, target 5 us; counter
//                       allocs (target 0 per frame).
//   BM_MasterAnswer:    the master's answer to FC3 x 10 received and stored,
//                       no allocation.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/alloc_count.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "protocols/mbserial.h"

namespace {

void Frame(uint8_t *f, uint32_t n) {
    const uint16_t c = crc16(f, n);
    f[n] = uint8_t(c);
    f[n + 1] = uint8_t(c >> 8);
}

void BM_RtuSlaveFc3x125(benchmark::State &state) {
    RegTokLen_16b = 1;
    ModbusPcb &c = pcb[0];
    c = ModbusPcb{};
    c.sys_active = 1;
    c.parm.status = &plc_reg[4000];
    c.proto.station = 0x11;
    uint8_t req[8] = {0x11, 3, 0x0B, 0xB8, 0, 125};
    Frame(req, 6);
    uint64_t crc_sum = 0;
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) {
        for (uint8_t b : req) MOD_RxByte(c.proto, b);
        MOD_RxEnd(c.proto);
        const uint32_t n = MOD_ReqProcess(c);
        crc_sum += crc16(c.proto.buf.data(), n);
    }
    bench_alloc::counting = false;
    benchmark::DoNotOptimize(crc_sum);
    state.counters["allocs"] = double(bench_alloc::count.load());
}
BENCHMARK(BM_RtuSlaveFc3x125);

void BM_MasterAnswer(benchmark::State &state) {
    RegTokLen_16b = 1;
    ModbusPcb &c = pcb[0];
    c = ModbusPcb{};
    c.sys_active = 1;
    c.proto.mode = MOD_MASTER;
    const uint8_t rec[12] = {0x11, 0, 3, 0, 0, 0, 10, 0, 8, 0, 0, 0};
    std::memcpy(c.proto.req.data(), rec, sizeof rec);
    uint8_t ans[25] = {0x11, 3, 20};
    for (int i = 0; i < 20; i++) ans[3 + i] = uint8_t(i);
    Frame(ans, 23);
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) {
        for (uint8_t b : ans) MOD_RxByte(c.proto, b);
        MOD_RxEnd(c.proto);
        benchmark::DoNotOptimize(MOD_RspProcess(c));
    }
    bench_alloc::counting = false;
    state.counters["allocs"] = double(bench_alloc::count.load());
}
BENCHMARK(BM_MasterAnswer);

}  // namespace

BENCHMARK_MAIN();
