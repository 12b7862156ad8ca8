// Drives the command-protocol TCP service and the network poll from a test,
// and reads the byte channel as the command processor would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "tests/support/loopback.h"

#include "net/net.h"
#include "net/nx.h"
#include "protocols/qncan.h"

namespace test_support {

// Passes of the service and the poll, as the manager makes them.
inline void QncanPass(int n = 1) {
    for (int i = 0; i < n; i++) {
        Qncan_Scan(0);
        EnetThread();
        usleep(1000);
    }
}

// What the channel received so far.
inline std::vector<uint8_t> QncanReceived() {
    std::vector<uint8_t> b;
    while (Etn_CheckRx()) b.push_back(Etn_GetRx());
    return b;
}

// Passes until the channel holds a request, then reads it.
inline std::vector<uint8_t> QncanNext() {
    for (int i = 0; i < 200 && !Etn_CheckRx(); i++) QncanPass();
    return QncanReceived();
}

// A programming tool's TCP connection to the command service on port.
struct QncanPeer {
    int fd = -1;
    int reply_ms;         // how long Reply waits for each piece by default
    bool closed = false;  // the server closed the connection
    QncanPeer(uint16_t port, int default_ms) : reply_ms(default_ms) {
        int result = -1;
        fd = LoopbackDial(port, &result);
        EXPECT_EQ(result, 0);
    }
    QncanPeer(const QncanPeer &) = delete;
    QncanPeer &operator=(const QncanPeer &) = delete;
    ~QncanPeer() {
        if (fd >= 0) close(fd);
    }
    // A peer that closed fails the assertion (MSG_NOSIGNAL: no SIGPIPE ends the program).
    void Send(const std::vector<uint8_t> &b) const {
        ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // One reply (header and payload), empty when none comes in ms.
    std::vector<uint8_t> Reply(int ms = -1) {
        if (ms < 0) ms = reply_ms;
        std::vector<uint8_t> out;
        while (true) {
            const size_t want = out.size() < QNCAN_HDR ? QNCAN_HDR : QNCAN_HDR + LE_Get16(&out[26]);
            if (out.size() >= QNCAN_HDR && out.size() >= want) return out;
            struct pollfd p {
                fd, POLLIN, 0
            };
            if (poll(&p, 1, ms) <= 0) return {};
            uint8_t b[2048];
            const ssize_t n = recv(fd, b, std::min(sizeof b, want - out.size()), 0);
            if (n <= 0) {
                closed = true;
                return {};
            }
            out.insert(out.end(), b, b + n);
        }
    }
};

}  // namespace test_support
