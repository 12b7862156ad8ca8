// The libmodbus side of the end-to-end Modbus bench (bench_modbus_e2e.py):
// the same libmodbus client drives the controller and libmodbus's own server.
//
//   bench_modbus_e2e serve PORT                  libmodbus's reference server on PORT
//                                                (all addresses) until SIGTERM
//   bench_modbus_e2e load HOST PORT N SECONDS    N clients reading 125 registers at
//                                                3000 in a loop; prints
//                                                "per_s=.. p50_us=.. p99_us=.. n=.."
//   bench_modbus_e2e churn HOST PORT N           N cycles of connect, one read of one
//                                                register, close; prints "cycles_per_s=.."
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/protocols/ref_modbus_server.h"

namespace {

using Clock = std::chrono::steady_clock;
volatile sig_atomic_t stop_serving;

void OnTerm(int) { stop_serving = 1; }

int Serve(int port) {
    signal(SIGTERM, OnTerm);
    signal(SIGINT, OnTerm);
    return BenchRef_ModbusServer(stop_serving, uint16_t(port), nullptr, 64);
}

double Pct(const std::vector<double> &v, double p) { return v.empty() ? 0 : v[size_t(p * double(v.size() - 1))]; }

int Load(const char *host, int port, int clients, double seconds) {
    std::atomic<long> total{0}, failed{0};
    std::vector<std::vector<double>> lat(static_cast<size_t>(clients));
    for (auto &v : lat) v.reserve(size_t(seconds * 100000));
    std::vector<std::thread> th;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (int i = 0; i < clients; i++) {
        th.emplace_back([&, i] {
            modbus_t *ctx = modbus_new_tcp(host, port);
            modbus_set_response_timeout(ctx, 2, 0);
            if (modbus_connect(ctx) != 0) {
                failed++;
                modbus_free(ctx);
                return;
            }
            uint16_t regs[125];
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                if (modbus_read_registers(ctx, 3000, 125, regs) != 125) {
                    failed++;
                    break;
                }
                lat[size_t(i)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                total++;
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    for (auto &t : th) t.join();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto &v : lat) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    std::printf("per_s=%.0f p50_us=%.0f p99_us=%.0f n=%ld failed=%ld\n", double(total) / took, Pct(all, 0.5),
                Pct(all, 0.99), long(total), long(failed));
    return failed == 0 ? 0 : 1;
}

int Churn(const char *host, int port, int n) {
    const auto start = Clock::now();
    int done = 0;
    for (int i = 0; i < n; i++) {
        modbus_t *ctx = modbus_new_tcp(host, port);
        modbus_set_response_timeout(ctx, 5, 0);
        uint16_t reg = 0;
        if (modbus_connect(ctx) == 0 && modbus_read_registers(ctx, 3000, 1, &reg) == 1) done++;
        modbus_close(ctx);
        modbus_free(ctx);
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("cycles_per_s=%.0f done=%d seconds=%.2f\n", double(done) / took, done, took);
    return done == n ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return Serve(std::atoi(argv[2]));
    if (argc == 6 && std::strcmp(argv[1], "load") == 0)
        return Load(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
    if (argc == 5 && std::strcmp(argv[1], "churn") == 0) return Churn(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: %s serve PORT | load HOST PORT N SECONDS | churn HOST PORT N\n", argv[0]);
    return 2;
}
