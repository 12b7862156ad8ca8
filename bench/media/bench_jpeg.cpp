// JPEG encoder speed: one 320 x 240 frame of 5-6-5 pixels (target: at most
// 5 ms a frame), a smooth gradient and a noisy image.
#include <benchmark/benchmark.h>

#include <vector>

#include "media/jpeg.h"

namespace {

void Run(benchmark::State &state, bool noisy) {
    constexpr uint32_t w = 320, h = 240;
    std::vector<uint16_t> px(w * h);
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            px[y * w + x] = noisy ? uint16_t(seed >> 16)
                                  : uint16_t(((x * 31 / w) << 11) | ((y * 63 / h) << 5) | ((x + y) * 31 / (w + h)));
        }
    std::vector<uint8_t> out(1 << 20);
    uint32_t n = 0;
    for (auto _ : state) {
        n = JpegCompress(out.data(), uint32_t(out.size()), px.data(), w, h, JPEG_FORMAT_565);
        benchmark::DoNotOptimize(n);
    }
    state.counters["bytes"] = n;
}

void BM_Jpeg320x240Gradient(benchmark::State &state) { Run(state, false); }
void BM_Jpeg320x240Noise(benchmark::State &state) { Run(state, true); }
BENCHMARK(BM_Jpeg320x240Gradient)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg320x240Noise)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
