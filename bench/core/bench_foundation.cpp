// Speed of the CRC-16 and of register access through the bit-address space.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "core/image/plcreg.h"
#include "core/image/util.h"

namespace {

void BM_Crc16(benchmark::State &state) {
    std::vector<uint8_t> data(size_t(state.range(0)));
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 131 + 7);
    for (auto _ : state) {
        uint16_t c = crc16(data.data(), data.size());
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Crc16)->Arg(64)->Arg(1024)->Arg(65536);

// Walks a run of registers so that the address is not a constant.
constexpr uint32_t kSpan = 256;

uint32_t BaseFor(int64_t width) { return width == 1 ? BA_M : BA_R; }

void BM_PlcReg_Get(benchmark::State &state) {
    const uint32_t width = uint32_t(state.range(0));
    const uint32_t base = BaseFor(width);
    const uint32_t step = width == 1 ? 1 : width;
    uint8_t buf[4] = {};
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PlcReg_Get(buf, base + step * (i++ % kSpan), width));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlcReg_Get)->Arg(1)->Arg(16)->Arg(32);

void BM_PlcReg_Set(benchmark::State &state) {
    const uint32_t width = uint32_t(state.range(0));
    const uint32_t base = BaseFor(width);
    const uint32_t step = width == 1 ? 1 : width;
    uint8_t buf[4] = {1, 2, 3, 4};
    uint32_t i = 0;
    for (auto _ : state) {
        buf[0] = uint8_t(i);
        benchmark::DoNotOptimize(PlcReg_Set(base + step * (i++ % kSpan), buf, width));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlcReg_Set)->Arg(1)->Arg(16)->Arg(32);

// A validated system-register write (%SR3, 16 bits, range 0 .. 25).
void BM_PlcReg_Set_SystemRegister(benchmark::State &state) {
    uint8_t buf[2] = {0, 0};
    uint32_t i = 0;
    for (auto _ : state) {
        buf[0] = uint8_t(i++ % 26);
        benchmark::DoNotOptimize(PlcReg_Set(SR_ADDR(3), buf, 16));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlcReg_Set_SystemRegister);

}  // namespace

BENCHMARK_MAIN();
