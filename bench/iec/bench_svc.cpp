// Speed of the IEC runtime services: the six register synchronisations of a
// scan with every binding table full, eight idle passes of the workbench
// server, and a symbol lookup among 10,000 variables.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "bench/malloc_count.h"
#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "iec/services/drevano.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "platform/plat.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_sync.h"

namespace {
std::vector<uint8_t> loc(6464 * 4, 0);

// A root folder of our own with the stored application: every slot bound
// (bits to BOOL s, words to INT s).
void StartFull() {
    static bool started = false;
    if (started) return;
    started = true;
    char tmpl[] = "/tmp/bench-svc-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    test_support::IecImage img;
    img.d8 = {6463, 6463, 0};
    img.d16 = {6463, 6463, 0};
    const std::vector<uint8_t> b = img.Build();
    std::ofstream(std::string(root) + "/mnt/cfg/z7.cod", std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    for (uint32_t s = 0; s < 6464; s++) {
        const uint32_t a = Drevano_SlotAddress(s);
        const bool bit = a < 2048 || (a >= 8192 && a < 16384);
        LE_Put32(&loc[4 * s], bit ? s : (0x04000000u | s));
    }
    DrevanoI0_VarLoc = loc.data();
    DrevanoI0_VarLocLen = uint32_t(loc.size());
    Drevano_init();
}

void BM_SixSyncsFullTables(benchmark::State &state) {
    StartFull();
    uint8_t *d16 = Z7Mem_Ptr(Z7Sec_Addr(pDB, Z7SEC_D16), 2 * 6464);
    uint8_t *d8 = Z7Mem_Ptr(Z7Sec_Addr(pDB, Z7SEC_D8), 6464);
    uint8_t v = 0;
    std::size_t mallocs = 0;
    for (auto _ : state) {
        // every VM value changes each scan: every entry writes its register
        v ^= 1;
        std::memset(d16, v, 2 * 6464);
        std::memset(d8, v, 6464);
        const std::size_t before = malloc_calls;
        test_support::IecSyncAll();
        mallocs += malloc_calls - before;
    }
    state.counters["entries"] = double(WordInputEntries + WordOutputEntries + BoolInputEntries + BoolOutputEntries +
                                       WordSREntries + BoolSysEntries);
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_SixSyncsFullTables)->Unit(benchmark::kMicrosecond);

void BM_EightIdleServes(benchmark::State &state) {
    StartFull();
    Z7_Connect_Ethernet();
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        Drevano_Comm_service();
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_EightIdleServes)->Unit(benchmark::kMicrosecond);

// An image whose variable table holds n INT variables "var_<i>".
std::vector<uint8_t> MapImage(uint32_t n) {
    test_support::IecImage img;
    img.d16 = {uint16_t(n), uint16_t(n), 0};
    std::vector<uint8_t> b = img.Build();
    while (b.size() % 4) b.push_back(0);
    const uint32_t t = uint32_t(b.size());
    b.resize(t + 16, 0);
    test_support::IecImage::Put16(b, t, 16);
    test_support::IecImage::Put16(b, t + 4, uint16_t(n));
    test_support::IecImage::Put16(b, t + 14, 0x8000);
    for (uint32_t i = 0; i < n; i++) {
        const std::string sym = "var_" + std::to_string(i);
        const uint32_t len = 16 + ((uint32_t(sym.size()) + 2) & ~1u);
        const uint32_t r = uint32_t(b.size());
        b.resize(r + len, 0);
        test_support::IecImage::Put16(b, r, uint16_t(len));
        test_support::IecImage::Put16(b, r + 2, 11);
        test_support::IecImage::Put16(b, r + 4, uint16_t(i));
        test_support::IecImage::Put16(b, r + 6, 1);
        test_support::IecImage::Put16(b, r + 10, uint16_t(len));
        test_support::IecImage::Put16(b, r + 14, 1);
        std::memcpy(&b[r + 16], sym.c_str(), sym.size() + 1);
    }
    b.resize(b.size() + 2, 0);
    test_support::IecImage::Put32(b, 16 * 4, t);
    return b;
}

void BM_GetBySymbol10k(benchmark::State &state) {
    const uint32_t code = test_support::IecLoad(MapImage(10000));
    uint32_t db = 0;
    if (Z7VM_CreateDB(code, &db) != 0) {
        state.SkipWithError("no database");
        return;
    }
    Z7VMMap_Build(db, code);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < 10000; i += 97) names.push_back("VAR_" + std::to_string(i));
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Z7Map_GetBySymbol(db, names[k].c_str()));
        if (++k == names.size()) k = 0;
    }
    if (Z7Map_GetBySymbol(db, "var_9999") == 0) state.SkipWithError("not found");
    Z7Mem_Free(db);
    Z7Mem_Free(code);
}
BENCHMARK(BM_GetBySymbol10k);

}  // namespace

BENCHMARK_MAIN();
