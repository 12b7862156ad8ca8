// libmodbus's reference server for the protocol benchmarks: one thread,
// poll over the listening socket and its clients, one request answered per
// readable client, until stop is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

inline void BenchRef_ModbusServer(std::atomic<bool> &stop, uint16_t port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 6000, 0);
    const int listener = modbus_tcp_listen(ctx, 32);
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    uint8_t q[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop) {
        if (poll(fds.data(), nfds_t(fds.size()), 50) <= 0) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & POLLIN)) continue;
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
}
