// Storage timings: the start-up load of a stored application with a 2 MB
// program (LoadProgram, AutoLoadRegisters and nvram_init in-process, as the
// start-up runs them before the first main-loop pass) and one register
// auto-save (written aside, flushed, renamed, folder flushed).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "exec/mainloop.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "platform/plat.h"

namespace {
constexpr std::size_t kProgram = 2 * 1024 * 1024;

std::string MakeRoot() {
    char tmpl[] = "/tmp/plc-bench-storage-XXXXXX";
    const char *d = mkdtemp(tmpl);
    const std::string root = d != nullptr ? d : "/tmp";
    setenv("PLC_ROOT", root.c_str(), 1);
    static char arg0[] = "bench";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    PLAT_MakeBoardFolders();
    WatchDogDisable = 1;
    return root;
}

void RemoveRoot(const std::string &root) {
    nftw(
        root.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void Fill(uint8_t *area, std::size_t n, uint8_t seed) {
    for (std::size_t i = 0; i < n; i++) area[MF_HDR + i] = uint8_t(seed + i * 13 + (i >> 10));
    MF_SetHeader(area, crc16(area + MF_HDR, n), uint32_t(n));
}

// A stored application: 2 MB program with all table features, configuration
// blocks and the register image.
void StoreApplication() {
    Fill(ladder_bl.data(), kProgram, 1);
    LE_Put32(&ladder_bl[MF_HDR + kProgram - 9], 0x1F);
    ladder_bl[MF_HDR + kProgram - 1] = 0;
    MF_SetHeader(ladder_bl.data(), crc16(&ladder_bl[MF_HDR], kProgram), uint32_t(kProgram));
    Fill(io_config_bl.data(), 4096, 2);
    Fill(promgr_table_bl.data(), 65536, 3);
    Fill(sms_table_bl.data(), 4096, 4);
    Fill(datalog_table.data(), 4096, 5);
    Fill(copendnet_tbl.data(), 4096, 6);
    Fill(mqtt_tbl.data(), 65536, 7);
    std::memset(&plc_reg[MF_FORCE_BYTE], 0, 4);
    PlcDwordSet(W_FORCE_LEN, 4);
    PlcWordSet(W_FORCE_CRC, crc16(&plc_reg[MF_FORCE_BYTE], 4));
    PlcDwordSet(W_SETUP_LEN, 80);
    PlcWordSet(W_SETUP_CRC, crc16(&plc_reg[MF_SETUP_BYTE], 80));
    PlcWordSet(W_NETID, 1);
    std::memcpy(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8);
    CrtAutoSaveRegFile();
    SaveProgram();
}

void BM_StartupLoad2MB(benchmark::State &state) {
    const std::string root = MakeRoot();
    StoreApplication();
    for (auto _ : state) {
        MF_SetHeader(ladder_bl.data(), 0, 0);
        uint32_t ok = 0;
        for (int i = 0; i < 10 && (ok = LoadProgram()) == 0; i++) {
        }
        for (int i = 0; i < 10 && AutoLoadRegisters() == 0; i++) {
        }
        nv_Startup = 1;
        const uint32_t recreated = nvram_init(0, 0);
        nv_Startup = 0;
        if (!ok || recreated || (PlcWord(W_FAULT) & 0x04)) state.SkipWithError("stored application not whole");
        benchmark::DoNotOptimize(recreated);
    }
    RemoveRoot(root);
}
BENCHMARK(BM_StartupLoad2MB)->Unit(benchmark::kMillisecond);

void BM_AutoSaveRegisters(benchmark::State &state) {
    const std::string root = MakeRoot();
    CrtAutoSaveRegFile();
    for (auto _ : state) {
        if (AutoSaveRegisters() != 1) state.SkipWithError("register file not written");
    }
    RemoveRoot(root);
}
BENCHMARK(BM_AutoSaveRegisters)->Unit(benchmark::kMillisecond);

void BM_SaveProgram2MB(benchmark::State &state) {
    const std::string root = MakeRoot();
    StoreApplication();
    for (auto _ : state) {
        if (SaveProgram() != 1) state.SkipWithError("program not stored");
    }
    RemoveRoot(root);
}
BENCHMARK(BM_SaveProgram2MB)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
