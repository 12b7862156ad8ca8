// Connects a test's own TCP socket to a port of this controller on the
// loopback address. Header only: the fuzz and benchmark programs use it
// without the test library.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
// 127.0.0.1:port from loopback address from (host order; 0: the system's
// choice), as if from another host; connect()'s result goes to *result.
inline int LoopbackDial(uint16_t port, int *result, uint32_t from = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(from);
    if (from != 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        *result = -1;
        return fd;
    }
    *result = LoopbackConnect(fd, port);
    return fd;
}

// A socket of type bound to 127.0.0.1 on a port the system chose (listening
// when it is a stream socket); the port goes to *port.
inline int LoopbackBind(uint16_t *port, int type = SOCK_STREAM) {
    const int fd = socket(AF_INET, type, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0) ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &l) != 0)
        *port = 0;
    else
        *port = ntohs(a.sin_port);
    return fd;
}

// A loopback TCP port that was free a moment ago.
inline uint16_t LoopbackFreePort() {
    uint16_t port = 0;
    close(LoopbackBind(&port));
    return port;
}

}  // namespace test_support
