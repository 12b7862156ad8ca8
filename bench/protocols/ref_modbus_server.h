// libmodbus's reference server for the protocol benchmarks: one thread,
// poll over the listening socket and its clients, one request answered per
// readable client (as libmodbus's own multi-client example), until stop is
// set. stop is an atomic flag or a signal handler's sig_atomic_t; host
// nullptr listens on all addresses. 1 when the server could not be set up.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

template <typename Stop>
int BenchRef_ModbusServer(const Stop &stop, uint16_t port, const char *host = "127.0.0.1", int backlog = 32) {
    modbus_t *ctx = modbus_new_tcp(host, port);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 6000, 0);
    const int listener = ctx == nullptr ? -1 : modbus_tcp_listen(ctx, backlog);
    if (map == nullptr || listener < 0) {
        if (map != nullptr) modbus_mapping_free(map);
        if (ctx != nullptr) modbus_free(ctx);
        return 1;
    }
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    uint8_t q[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop) {
        if (poll(fds.data(), nfds_t(fds.size()), 50) <= 0) continue;
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

// One round of a peer comparison on libmodbus's side: the reference server
// on port while run() drives it; answers what run() answers.
template <typename Run>
auto BenchRef_Round(uint16_t port, Run run) {
    std::atomic<bool> stop{false};
    std::thread ref([&] { BenchRef_ModbusServer(stop, port); });
    usleep(100000);  // listening before the clients dial
    auto result = run();
    stop = true;
    ref.join();
    return result;
}

// The machine's load average over the last minute (-1 when it cannot be read).
inline double BenchRef_Load1() {
    double l[1] = {-1};
    return getloadavg(l, 1) == 1 ? l[0] : -1;
}

// Each round's ratio (ours : libmodbus) and the load average it ran at, as
// counters ratio_r1, load_r1, ratio_r2, ...: the spread between rounds is the
// machine's as much as the code's.
template <class State>
void BenchRef_RoundCounters(State &state, const std::vector<double> &ratios, const std::vector<double> &loads) {
    for (size_t i = 0; i < ratios.size(); i++) state.counters["ratio_r" + std::to_string(i + 1)] = ratios[i];
    for (size_t i = 0; i < loads.size(); i++) state.counters["load_r" + std::to_string(i + 1)] = loads[i];
}
