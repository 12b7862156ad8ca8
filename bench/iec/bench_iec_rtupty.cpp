// Requests per second a Modbus RTU slave serves on a pseudo-terminal pair
// (socat) to one libmodbus master reading 10 holding registers of slave 17:
// the IEC RTU slave block's handler executed in a loop that waits at most
// 1 ms for the port between executions (as the main loop does), then
// libmodbus's RTU server (modbus_receive and modbus_reply) on the same pair
// and master. The machine is shared, so the two take turns: ten rounds of
// 1 s each, the order swapped every round, and the answers of all rounds are
// summed. Both serve the registers from a table of their own. Counters:
// ours/s, ref/s, ratio of the sums and median_ratio, the median of the
// rounds' ratios, which a load change in the middle of a run moves less
// (target >= 1.0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/spawn.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkser.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSeconds = 1.0;
constexpr int kRounds = 10;
constexpr int kRegs = 10;

using bench_spawn::End;

// The master: FC3 of 10 registers at 0 from slave 17 for kSeconds once the
// first answer came (at most 10 s); answers per second.
void Master(const std::string &dev, std::atomic<bool> *done, double *rate) {
    *rate = 0;
    modbus_t *ctx = modbus_new_rtu(dev.c_str(), 115200, 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, 17) != 0 || modbus_connect(ctx) != 0) {
        done->store(true);
        return;
    }
    modbus_set_response_timeout(ctx, 0, 200000);
    uint16_t r[kRegs];
    for (int i = 0; i < 50 && modbus_read_registers(ctx, 0, kRegs, r) != kRegs; i++) {
    }
    uint64_t n = 0;
    const auto t0 = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - t0).count() < kSeconds) {
        if (modbus_read_registers(ctx, 0, kRegs, r) == kRegs && r[3] == 3) n++;
    }
    *rate = double(n) / std::chrono::duration<double>(Clock::now() - t0).count();
    modbus_close(ctx);
    modbus_free(ctx);
    done->store(true);
}

// ---- ours: the block's handler on a plain descriptor -------------------------------------------
int our_fd = -1;
uint16_t our_regs[kRegs];

void SInit(int32_t *h) { *h = -1; }
bool SValid(int32_t h) { return h != -1; }
void SOpen(int32_t *h, const char *) { *h = our_fd; }
uint32_t SReceive(int32_t *h, uint32_t max, uint8_t *buf) {
    const ssize_t n = read(*h, buf, max);
    return n > 0 ? uint32_t(n) : 0;
}
uint32_t SSend(int32_t h, uint32_t len, const uint8_t *data) {
    const ssize_t n = write(h, data, len);
    return n > 0 ? uint32_t(n) : 0;
}
void SClose(int32_t *h) { *h = -1; }
bool Find(uint32_t, const char *) { return true; }
// FC3 from the table; anything else: exception 1.
uint32_t Serve(uint32_t, const uint8_t *req, uint32_t len, uint8_t *answer, uint32_t size, uint32_t, uint32_t,
               const char *) {
    if (len < 6 || size < 5) return 0;
    answer[0] = req[0];
    const uint32_t start = uint32_t(req[2] << 8 | req[3]), count = uint32_t(req[4] << 8 | req[5]);
    if (req[1] != 3 || count == 0 || start + count > kRegs || 3 + 2 * count > size) {
        answer[1] = uint8_t(req[1] | 0x80);
        answer[2] = req[1] != 3 ? 1 : 2;
        return 3;
    }
    answer[1] = 3;
    answer[2] = uint8_t(2 * count);
    for (uint32_t k = 0; k < count; k++) {
        answer[3 + 2 * k] = uint8_t(our_regs[start + k] >> 8);
        answer[4 + 2 * k] = uint8_t(our_regs[start + k]);
    }
    return 3 + 2 * count;
}

void OurServer(const std::string &dev, std::atomic<bool> *done) {
    our_fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (our_fd < 0) return;
    termios t{};
    tcgetattr(our_fd, &t);
    cfmakeraw(&t);
    tcsetattr(our_fd, TCSANOW, &t);
    for (int k = 0; k < kRegs; k++) our_regs[k] = uint16_t(k);
    BlkSer_Hooks = {SInit, SValid, SOpen, SReceive, SSend, SClose, Find, Serve, nullptr, nullptr, nullptr};
    test_support::IecImage img;
    img.d8 = img.d32 = {7, 7, 0};
    img.str = {2, 2, 0};
    img.string_sizes = {16, 16};
    const uint32_t db = test_support::IecColdDb(img.Build(), "RTU");
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);     // RUN
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), 17);  // SLAVE
    FbHandler fn = BlkSer_StdProc("MBSLAVERTU");
    const uint32_t inst = Z7Mem_Alloc(RTU_SIZE);
    const uint32_t list = Z7Mem_Alloc(2 + 2 * 4);
    const uint16_t ops[5] = {4, 1, 1, 1, 2};  // RUN B1, CONF S1, SLAVE D1; OK B2
    for (uint32_t k = 0; k < 5; k++) Z7Mem_Put16(list + 2 * k, ops[k]);
    fn(FB_INSTINIT, db, 0, inst, list + 2);
    while (!done->load()) {
        fn(FB_EXEC, db, 0, inst, list + 2);
        pollfd pf{our_fd, POLLIN, 0};
        poll(&pf, 1, 1);
    }
    fn(FB_INSTEXIT, db, 0, inst, list + 2);
    Z7Mem_Free(list);
    Z7Mem_Free(inst);
    close(our_fd);
}

void RefServer(const std::string &dev, std::atomic<bool> *done) {
    modbus_t *ctx = modbus_new_rtu(dev.c_str(), 115200, 'N', 8, 1);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, kRegs, 0);
    if (ctx == nullptr || map == nullptr || modbus_set_slave(ctx, 17) != 0 || modbus_connect(ctx) != 0) return;
    for (int k = 0; k < kRegs; k++) map->tab_registers[k] = uint16_t(k);
    modbus_set_indication_timeout(ctx, 0, 100000);
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!done->load()) {
        const int n = modbus_receive(ctx, req);
        if (n > 0) modbus_reply(ctx, req, n, map);
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
}

double Run(void (*server)(const std::string &, std::atomic<bool> *), const std::string &a, const std::string &b) {
    std::atomic<bool> done{false};
    double rate = 0;
    std::thread m(Master, b, &done, &rate);
    server(a, &done);
    m.join();
    return rate;
}

void BM_RtuSlavePty(benchmark::State &state) {
    char tmpl[] = "/tmp/bench-rtupty-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    const std::string a = root + "/slave", b = root + "/master";
    const pid_t soc = bench_spawn::PtyPair(a, b);
    double ours = 0, ref = 0;
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int k = 0; k < kRounds; k++) {
            double r = 0;
            if (k % 2 == 0) r = Run(RefServer, a, b);
            const double o = Run(OurServer, a, b);
            if (k % 2 == 1) r = Run(RefServer, a, b);
            ours += o;
            ref += r;
            ratios.push_back(r > 0 ? o / r : 0);
        }
    }
    ours /= kRounds;
    ref /= kRounds;
    std::sort(ratios.begin(), ratios.end());
    state.counters["median_ratio"] =
        ratios.empty() ? 0 : (ratios[(ratios.size() - 1) / 2] + ratios[ratios.size() / 2]) / 2;
    End(soc);
    state.counters["ours/s"] = ours;
    state.counters["ref/s"] = ref;
    state.counters["ratio"] = ref > 0 ? ours / ref : 0;
    bench_spawn::RemoveTree(root);
}
BENCHMARK(BM_RtuSlavePty)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
