// Connects a test's own TCP socket to a port of this controller on the
// loopback address. Header only: the fuzz and benchmark programs use it
// without the test library.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace test_support {

// connect()'s result for fd towards 127.0.0.1:port.
inline int LoopbackConnect(int fd, uint16_t port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
}

// A new TCP socket that sends without delay (TCP_NODELAY), connected towards
// 127.0.0.1:port; connect()'s result goes to *result.
inline int LoopbackDial(uint16_t port, int *result) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    *result = LoopbackConnect(fd, port);
    return fd;
}

}  // namespace test_support
