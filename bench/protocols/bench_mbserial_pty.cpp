// Master polls per second on a pseudo-terminal at 115,200 baud against a
// pymodbus RTU server (FC3, 10 registers): the engine on the real serial
// driver of port 0, then a libmodbus modbus_read_registers loop on the same
// line, 5 s each, one run. Counters: ours/s, ref/s, ratio (target >= 1.0).
// Between passes the engine's loop waits for the port at most 0.5 ms or
// until the end-of-frame timer is due, as the main loop does. Starts socat and the server itself and ends both by
// process id.
#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <modbus.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/spawn.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "io/vcomm.h"
#include "platform/plat.h"
#include "protocols/mbserial.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSeconds = 5.0;

using bench_spawn::End;
using bench_spawn::Spawn;

double LibmodbusRate(const std::string &dev) {
    modbus_t *ctx = modbus_new_rtu(dev.c_str(), 115200, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 0x11) != 0 || modbus_connect(ctx) != 0) return 0;
    uint16_t regs[10];
    // the server may still be starting: first answer within 10 s
    for (int i = 0; i < 100 && modbus_read_registers(ctx, 0x6B, 10, regs) != 10; i++) usleep(100000);
    uint64_t n = 0;
    const auto t0 = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - t0).count() < kSeconds) {
        if (modbus_read_registers(ctx, 0x6B, 10, regs) == 10) n++;
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    modbus_close(ctx);
    modbus_free(ctx);
    return double(n) / s;
}

double OurRate() {
    if (!SCI2_Init(0)) return 0;
    const VcommMode mode{9, 0, 3, 0, 0, 3};
    Vcomm_Drv[0].Open(0, mode.data());
    uint8_t *rec = PlcReg_Ptr(32768 + 16 * 59, 16);  // %R60
    const uint16_t words[6] = {0x11, 3, 0x6B, 10, 8, 199};
    for (int i = 0; i < 6; i++) LE_Put16(rec + 2 * i, words[i]);
    uint8_t *ctl = PlcReg_Ptr(32768 + 16 * 39, 16);
    uint8_t *status = PlcReg_Ptr(32768 + 16 * 40, 16);
    ModbusParm p{};
    p.timeout = 10;
    p.control = ctl;
    p.data = rec;
    p.status = status;
    ModbusInit(0, p);
    uint64_t n = 0;
    const auto t0 = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - t0).count() < kSeconds) {
        LE_Put16(ctl, 1);
        while (pcb[0].state != ModState::kDone) {
            ModbusExecute(0);
            // the main loop's wait for the port between passes
            if (pcb[0].state == ModState::kWaiting) {
                pollfd pf{Vcomm_Port[0].fd, POLLIN, 0};
                const uint32_t us = RCT_WaitUs(500);
                const timespec ts{0, long(us) * 1000};
                ppoll(&pf, 1, &ts, nullptr);
            } else if (pcb[0].state == ModState::kSending) {
                sched_yield();
            }
        }
        if (LE_Get16(status) == 1) n++;
        LE_Put16(ctl, 0);
        ModbusExecute(0);
    }
    return double(n) / std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_MasterPollsPty(benchmark::State &state) {
    char tmpl[] = "/tmp/bench-mbs-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    mkdir((root + "/dev").c_str(), 0700);
    setenv("PLC_ROOT", root.c_str(), 1);
    static char arg0[] = "bench";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    const std::string a = root + "/dev/ttySP0", b = root + "/peer";
    const pid_t soc = bench_spawn::PtyPair(a, b);
    const pid_t srv = Spawn({"/usr/bin/python3", std::string(PLC_BENCH_DIR) + "/mbserial_peer.py", b});
    double ours = 0, ref = 0;
    for (auto _ : state) {
        ref = LibmodbusRate(a);
        ours = OurRate();
    }
    End(srv);
    End(soc);
    state.counters["ours/s"] = ours;
    state.counters["ref/s"] = ref;
    state.counters["ratio"] = ref > 0 ? ours / ref : 0;
    bench_spawn::RemoveTree(root);
}
BENCHMARK(BM_MasterPollsPty)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
