// Costs of the field protocols:
//   BM_ModbusRequest:     one MBAP request (FC3, 125 registers) handled and its
//                         answer built, target 2 us;
//   BM_ModbusTcp/N:       requests/s of our server against libmodbus's reference
//                         server, N libmodbus clients reading 125 registers in a
//                         loop, three alternating rounds of 3 s each; the server
//                         thread waits between passes as the main loop does;
//                         counters: ours/s, ref/s, ratio (target >= 1.0 at 1,
//                         >= 1.2 at 16), p50/p99 latency (us), pass time (us),
//                         each round's ratio and load average (ratio_r1, load_r1, ...);
//   BM_QncanDownload:     64 KB multi-part download over TCP port 18501 with a
//                         command processor that accepts every frame, KB/s
//                         (target >= 32).
// One machine, one run: the server's passes run on a thread of their own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/protocols/ref_modbus_server.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "exec/mainloop.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/etn_chan.h"
#include "net/net.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/modbus.h"
#include "protocols/qncan.h"
#include "tests/support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kOurPort = 18851, kRefPort = 18852, kQncanPort = 18853;
NX_PACKET_POOL pool;
NX_IP ip;

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-proto-XXXXXX";
        if (mkdtemp(root) == nullptr) std::abort();
        setenv("PLC_ROOT", root, 1);
        static char arg0[] = "bench";
        static char *argv[] = {arg0, nullptr};
        PLAT_Init(1, argv);
        plat_net = &plat_net_own;
        Dpr_Init();
        static std::array<uint8_t, 200 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
        ip.nx_ip_name = "eth0";
        ip.nx_ip_default_packet_pool = &pool;
        DprConfigRec &c = Dpr_Configuration[0];
        c.enables[0] = EN0_MODBUS;
        c.modbus = {0, 1, 0, kOurPort};
        LE_Put16(&DprMap[DPR_RUN], 1);
        PLAT_PollPace(MAIN_PASS_WAIT_US);  // the main loop's 1 ms between passes
        return true;
    }();
    (void)done;
}

void BM_ModbusRequest(benchmark::State &state) {
    Setup();
    const uint8_t req[12] = {0, 1, 0, 0, 0, 6, 1, 3, 0x0B, 0xB8, 0, 125};
    for (auto _ : state) {
        std::memcpy(ModbusRxBuff.data(), req, sizeof req);
        ModbusRequest(0, 0, sizeof req);
        benchmark::DoNotOptimize(ModbusReadAnswer(0, 0));
        ModbusConnEth[0].slots[0].read_pending = 0;
    }
}
BENCHMARK(BM_ModbusRequest);

struct LoadResult {
    double per_s;
    std::vector<double> lat_us;
};

// N libmodbus clients reading 125 registers at 3000 as fast as answers come.
LoadResult Load(uint16_t port, int clients, double seconds) {
    std::atomic<long> total{0};
    std::vector<std::vector<double>> lat(static_cast<size_t>(clients));
    std::vector<std::thread> th;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < clients; i++) {
        th.emplace_back([&, i] {
            modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_response_timeout(ctx, 2, 0);
            if (modbus_connect(ctx) != 0) {
                modbus_free(ctx);
                return;
            }
            uint16_t regs[125];
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                if (modbus_read_registers(ctx, 3000, 125, regs) != 125) break;
                lat[size_t(i)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                total++;
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    for (auto &t : th) t.join();
    LoadResult r{double(total) / seconds, {}};
    for (auto &v : lat) r.lat_us.insert(r.lat_us.end(), v.begin(), v.end());
    std::sort(r.lat_us.begin(), r.lat_us.end());
    return r;
}

double Pct(const std::vector<double> &v, double p) { return v.empty() ? 0 : v[size_t(p * double(v.size() - 1))]; }

// Our server and libmodbus's in alternating rounds of the same length.
constexpr int kRounds = 3;
constexpr double kRoundS = 3.0;

void BM_ModbusTcp(benchmark::State &state) {
    Setup();
    const int clients = int(state.range(0));
    for (auto _ : state) {
        LoadResult ours{0, {}}, theirs{0, {}};
        long passes = 0;
        double pass_ns = 0;
        std::vector<double> ratios, loads;
        for (int round = 0; round < kRounds; round++) {
            loads.push_back(BenchRef_Load1());
            if (Modbus_Init(&ip, &pool) != 0) {
                state.SkipWithError("no server");
                return;
            }
            std::atomic<bool> stop{false};
            std::atomic<long> n_passes{0};
            std::atomic<double> sum_ns{0};
            // The server's passes as the main loop runs them: the scan, the
            // socket poll, the loop's wait on the readiness set and what
            // came during it.
            std::thread server([&] {
                long n = 0;
                double sum = 0;
                while (!stop) {
                    const auto t0 = Clock::now();
                    Modbus_Scan(0);
                    EnetThread();
                    sum += double(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
                    n++;
                    PLAT_PollWait(MAIN_PASS_WAIT_US);
                    Modbus_AfterWait(0);
                }
                n_passes = n;
                sum_ns = sum;
            });
            const LoadResult o = Load(kOurPort, clients, kRoundS);
            stop = true;
            server.join();
            Modbus_Stop(0);
            passes += n_passes;
            pass_ns += sum_ns;
            const LoadResult t = BenchRef_Round(kRefPort, [&] { return Load(kRefPort, clients, kRoundS); });
            ratios.push_back(t.per_s > 0 ? o.per_s / t.per_s : 0);
            ours.per_s += o.per_s / kRounds;
            theirs.per_s += t.per_s / kRounds;
            ours.lat_us.insert(ours.lat_us.end(), o.lat_us.begin(), o.lat_us.end());
            theirs.lat_us.insert(theirs.lat_us.end(), t.lat_us.begin(), t.lat_us.end());
        }
        std::sort(ours.lat_us.begin(), ours.lat_us.end());
        std::sort(theirs.lat_us.begin(), theirs.lat_us.end());
        state.counters["ours_per_s"] = ours.per_s;
        state.counters["ref_per_s"] = theirs.per_s;
        state.counters["ratio"] = theirs.per_s > 0 ? ours.per_s / theirs.per_s : 0;
        state.counters["p50_us"] = Pct(ours.lat_us, 0.5);
        state.counters["ref_p50_us"] = Pct(theirs.lat_us, 0.5);
        state.counters["p99_us"] = Pct(ours.lat_us, 0.99);
        state.counters["ref_p99_us"] = Pct(theirs.lat_us, 0.99);
        state.counters["pass_us"] = passes ? pass_ns / double(passes) / 1000.0 : 0;
        state.counters["passes_per_s"] = double(passes) / (kRounds * kRoundS);
        BenchRef_RoundCounters(state, ratios, loads);
    }
}
BENCHMARK(BM_ModbusTcp)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kSecond);

void BM_QncanDownload(benchmark::State &state) {
    Setup();
    QncanPort = kQncanPort;
    Etn_Reset();
    Qncan_Init(&ip, &pool);
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::thread server([&] {
            while (!stop) {
                Qncan_Scan(0);
                EnetThread();
                // A command processor that accepts every frame, and the
                // end of exchange after the closing one.
                if (Etn_CheckRx()) {
                    uint8_t first = 0, second = 0;
                    int n = 0;
                    while (Etn_CheckRx()) {
                        const uint8_t b = Etn_GetRx();
                        if (n == 0) first = b;
                        if (n == 1) second = b;
                        n++;
                    }
                    Etn_PutTx(0xA0);
                    if (first == 255 && second == 0) Etn_PutTx(112);
                }
                PLAT_PollWait(MAIN_PASS_WAIT_US);
            }
        });
        int result = -1;
        const int fd = test_support::LoopbackDial(kQncanPort, &result);
        if (result != 0) std::abort();
        auto request = [&](const std::vector<uint8_t> &payload) {
            std::vector<uint8_t> f(QNCAN_HDR, 0);
            LE_Put16(&f[26], uint16_t(payload.size()));
            f.insert(f.end(), payload.begin(), payload.end());
            if (send(fd, f.data(), f.size(), 0) != ssize_t(f.size())) std::abort();
            uint8_t r[64];
            size_t got = 0;
            while (got < QNCAN_HDR + 1) {
                const ssize_t n = recv(fd, r + got, sizeof r - got, 0);
                if (n <= 0) std::abort();
                got += size_t(n);
            }
        };
        const auto t0 = Clock::now();
        request({4, 2, 0, 22, 0});
        std::vector<uint8_t> packet = {255, 0};
        packet.resize(2 + 1024, 0x5A);
        packet.push_back(0);
        for (int i = 0; i < 64; i++) request(packet);
        request({255, 0, 1});
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        close(fd);
        stop = true;
        server.join();
        state.counters["KB_per_s"] = 64.0 / s;
    }
}
BENCHMARK(BM_QncanDownload)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
