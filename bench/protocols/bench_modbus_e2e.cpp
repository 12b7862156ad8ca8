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

namespace {

using Clock = std::chrono::steady_clock;
volatile sig_atomic_t stop_serving;

void OnTerm(int) { stop_serving = 1; }

// One thread, poll over the listening socket and its clients, one request
// answered per readable client (as libmodbus's own multi-client example).
int Serve(int port) {
    signal(SIGTERM, OnTerm);
    signal(SIGINT, OnTerm);
    modbus_t *ctx = modbus_new_tcp(nullptr, port);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 6000, 0);
    const int listener = modbus_tcp_listen(ctx, 64);
    if (ctx == nullptr || map == nullptr || listener < 0) return 1;
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    uint8_t q[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_serving) {
        if (poll(fds.data(), nfds_t(fds.size()), 100) <= 0) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (fds[i].fd == listener) {
                const int c = accept(listener, nullptr, nullptr);
                if (c >= 0) fds.push_back({c, POLLIN, 0});
                continue;
            }
            modbus_set_socket(ctx, fds[i].fd);
            const int rc = modbus_receive(ctx, q);
            if (rc > 0) {
                modbus_reply(ctx, q, rc, map);
            } else if (rc == -1) {
                close(fds[i].fd);
                fds.erase(fds.begin() + long(i));
                i--;
            }
        }
    }
    for (auto &p : fds) close(p.fd);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
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
