// Speed of the IEC runtime services.
//   BM_ReadDescriptions: one description request continuing over 50 map
//                        items of a 200-variable application (target <= 40 us).
//   BM_ChangeEventWalk:  one cycle's walk of 1,024 private change
//                        subscriptions, values unchanged (target <= 60 us per
//                        cycle, no allocation).
//   BM_SybParse:         a three-level symbol path, variable, 2-D index and
//                        member (target <= 1 us).
//   BM_HotCheckAndBuild: Z7VM_CanHOTStart + Z7VM_BuildHOT of a 256 KB image
//                        (target <= 20 ms).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/malloc_count.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7srv.h"
#include "iec/vm/z7syb.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_vms.h"

namespace {
using test_support::IecImage;

// Map variables V0, V1, ...: the name is appended piece by piece (GCC 12 at
// -O3 reports a false overlap for "V" + std::to_string(i)).
void AddMapVars(IecImage &img, uint16_t n) {
    for (uint16_t i = 0; i < n; i++) {
        std::string name = "V";
        name += std::to_string(i);
        img.map_vars.push_back({11, i, 1, 0, 0, 1, name, {}});
    }
}

uint32_t Start(const std::vector<uint8_t> &image) {
    const uint32_t code = test_support::IecLoad(image);
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "B") != 0)
        std::abort();
    return db;
}

void BM_ReadDescriptions(benchmark::State &state) {
    IecImage img;
    img.d16 = {1100, 1100, 1100};
    AddMapVars(img, 200);
    const uint32_t db = Start(img.Build());
    const uint8_t req[] = {0x5C, 2, 0, 4, 1, 28, 0, 0};
    uint8_t ans[Z7VM_ANSWER_MAX];
    uint32_t items = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Z7VM_Serve(db, req, sizeof req, ans));
        items = ans[4];
    }
    state.counters["items"] = items;
}
BENCHMARK(BM_ReadDescriptions);

void BM_ChangeEventWalk(benchmark::State &state) {
    IecImage img;
    img.d16 = {1100, 1100, 1100};
    const uint32_t db = Start(img.Build());
    Z7EvsSettings s{};
    s.capacity = {1024, 0, 8000, 16000};
    std::vector<uint8_t> mem(Z7Evs_GetMemorySize(&s));
    if (Z7Evs_Open(mem.data(), &s) != 0) std::abort();
    sockaddr_in a{};
    socklen_t al = sizeof a;
    getsockname(reinterpret_cast<Z7EvsData *>(mem.data())->listen, reinterpret_cast<sockaddr *>(&a), &al);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) std::abort();
    usleep(2000);
    Z7Evs_Activate(mem.data(), 1000);
    for (uint16_t i = 1; i <= 1024; i++)
        if (Z7EA_RegisterChangeEvent(db, 1, 11, i, 0, nullptr, nullptr, 0) == 0) std::abort();
    Z7EA_ManagePrivateEvents(db, mem.data());  // first values
    const size_t before = malloc_calls;
    uint32_t produced = 0;
    for (auto _ : state) produced += Z7EA_ManagePrivateEvents(db, mem.data());
    state.counters["events"] = produced;
    state.counters["mallocs"] = double(malloc_calls - before);
    close(fd);
    Z7Evs_Close(mem.data());
}
BENCHMARK(BM_ChangeEventWalk);

void BM_SybParse(benchmark::State &state) {
    const uint32_t db = Start(test_support::ValuesImage());
    uint32_t type = 0;
    for (auto _ : state) benchmark::DoNotOptimize(Z7VmSyb_Parse(db, "S1[2,1].xy", &type, nullptr));
    if (type != 11) std::abort();
}
BENCHMARK(BM_SybParse);

void BM_HotCheckAndBuild(benchmark::State &state) {
    IecImage img;
    const uint16_t n = 6500;
    img.stamp = 1;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {n, n, n};
    img.str = {500, 500, 500};
    img.string_sizes.assign(500, 16);
    for (uint16_t i = 1; i < n; i++) {
        img.init8.push_back({i, uint8_t(i)});
        img.init16.push_back({i, i});
        img.init32.push_back({i, i * 3u});
        img.init64.push_back({i, i * 5ull});
        img.init_time.push_back({i, i * 7u});
    }
    for (uint16_t i = 1; i < 500; i++) img.init_str.push_back({i, "INITIAL TEXT"});
    AddMapVars(img, 1000);
    const std::vector<uint8_t> bytes = img.Build();
    const uint32_t db = Start(bytes);
    const uint32_t code = test_support::IecLoad(bytes);
    for (auto _ : state) {
        if (Z7VM_CanHOTStart(code, db) != 0 || Z7VM_BuildHOT(code, db, 1000) != 0) std::abort();
    }
    state.counters["image_kb"] = double(bytes.size()) / 1024;
}
BENCHMARK(BM_HotCheckAndBuild)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
