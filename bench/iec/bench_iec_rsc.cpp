// Speed of the runtime resources and the SP5 frame layer.
//   BM_BsmpActivate:  one cycle of the sampling trace recording 8 variables
//                     every cycle (target <= 0.2 us, no allocation).
//   BM_Crc16_1K:      Z7Tools_Crc16 over 1 KB (target <= 2 us).
//   BM_ParamGet200:   Z7Param_Get of the last key of a 200-line file
//                     (target <= 50 us).
//   BM_Sp5Find1K:     the frame search over a buffer holding one frame of
//                     1 KB payload, with its CRC check (target <= 3 us, no
//                     allocation).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "bench/malloc_count.h"
#include "iec/services/z7sp5.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"

namespace {
void BM_BsmpActivate(benchmark::State &state) {
    test_support::IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {15, 15, 15};
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "B") != 0) {
        state.SkipWithError("no database");
        return;
    }
    const uint16_t w[] = {0x0003, 0, 0, 0, 9, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t settings[sizeof w];
    for (size_t i = 0; i < 16; i++) settings[2 * i] = uint8_t(w[i]), settings[2 * i + 1] = uint8_t(w[i] >> 8);
    Z7VMBsmp_Set(db, 0, settings, 16);
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        Z7VMBsmp_Activate(db);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_BsmpActivate);

void BM_Crc16_1K(benchmark::State &state) {
    uint8_t buf[1024];
    for (size_t i = 0; i < sizeof buf; i++) buf[i] = uint8_t(i * 31);
    for (auto _ : state) benchmark::DoNotOptimize(Z7Tools_Crc16(buf, sizeof buf));
}
BENCHMARK(BM_Crc16_1K);

void BM_ParamGet200(benchmark::State &state) {
    static const std::string root = [] {
        char tmpl[] = "/tmp/bench-param-XXXXXX";
        const char *d = mkdtemp(tmpl);
        return std::string(d != nullptr ? d : "/tmp");
    }();
    setenv("PLC_ROOT", root.c_str(), 1);
    PLAT_Init(0, nullptr);
    mkdir((root + "/mnt").c_str(), 0755);
    mkdir((root + "/mnt/cfg").c_str(), 0755);
    FILE *f = std::fopen((root + "/mnt/cfg/p.ini").c_str(), "wb");
    if (f == nullptr) {
        state.SkipWithError("no file");
        return;
    }
    for (int s = 0; s < 10; s++) {
        std::fprintf(f, "[Section%d]\r\n", s);
        for (int k = 0; k < 19; k++) std::fprintf(f, "Key%02d=value of key %d in section %d\r\n", k, k, s);
    }
    std::fclose(f);
    Z7Svc_InstallStdHooks();
    char out[64];
    for (auto _ : state) {
        if (!Z7Param_Get(0, "/mnt/cfg/p.ini", "section9", "key18", out, sizeof out)) state.SkipWithError("not found");
    }
}
BENCHMARK(BM_ParamGet200);

void BM_Sp5Find1K(benchmark::State &state) {
    uint8_t payload[1024], frame[SP5_FRAME], buf[SP5_FRAME], h[SP5_HEADER] = {1, 0x23, 'S', 1, 1, 0, 4, 0};
    for (size_t i = 0; i < sizeof payload; i++) payload[i] = uint8_t(i * 7);
    const uint32_t len = Z7SP5Frm_Build(frame, h, payload);
    uint8_t hdr[SP5_HEADER], out[SP5_PAYLOAD];
    std::size_t mallocs = 0;
    for (auto _ : state) {
        std::memcpy(buf, frame, len);
        uint32_t have = len;
        uint16_t crc = 0;
        const std::size_t before = malloc_calls;
        if (!Z7SP5Frm_Find(buf, &have, hdr, out, &crc) || !Z7SP5Frm_CheckCRC(hdr, out, crc))
            state.SkipWithError("no frame");
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_Sp5Find1K);
}  // namespace

BENCHMARK_MAIN();
