// A test's TCP client on a loopback port of the controller: sends whole
// frames and takes what arrives within a time, noting a close.
#pragma once

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "tests/support/loopback.h"

namespace test_support {

struct LoopPeer {
    int fd = -1;
    bool connected = false;
    bool closed = false;
    // from: the loopback address (host order) it comes from, 0 the system's choice.
    explicit LoopPeer(uint16_t port, uint32_t from = 0) {
        int result = -1;
        fd = LoopbackDial(port, &result, from);
        connected = result == 0;
    }
    ~LoopPeer() {
        if (fd >= 0) close(fd);
    }
    LoopPeer(const LoopPeer &) = delete;
    LoopPeer &operator=(const LoopPeer &) = delete;
    // A peer that closed fails the assertion (MSG_NOSIGNAL: no SIGPIPE ends the program).
    void Send(const std::vector<uint8_t> &b) const {
        ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // Waits until the server's side holds every byte sent (none left
    // unacknowledged on the loopback), against a deadline of ms.
    void WaitDelivered(int ms = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int out = -1;
        while (ioctl(fd, SIOCOUTQ, &out) == 0 && out != 0 && std::chrono::steady_clock::now() < end) usleep(200);
        ASSERT_EQ(out, 0) << "bytes the server has not taken";
    }
    // What has arrived within ms (then 5 ms after each piece); closed is set
    // when the server closed.
    std::vector<uint8_t> Take(int ms = 60) {
        std::vector<uint8_t> out;
        struct pollfd p {
            fd, POLLIN, 0
        };
        while (poll(&p, 1, ms) > 0) {
            uint8_t b[5000];
            const ssize_t n = recv(fd, b, sizeof b, MSG_DONTWAIT);
            if (n <= 0) {
                closed = true;
                break;
            }
            out.insert(out.end(), b, b + n);
            ms = 5;
        }
        return out;
    }
};

}  // namespace test_support
