// One accepted TCP connection for the stream fuzz targets: a Unix stream pair
// stands in for the socket, the service owns one end, the script the other.
#pragma once

#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "net/nx.h"

// Makes s an established connection on one end; returns the peer's end.
inline int FuzzStream_Connect(NX_TCP_SOCKET &s, NX_IP *ip) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) std::abort();
    s = {};
    s.fd = sv[0];
    s.accepted_fd = -1;
    s.client = 1;
    s.bound = 1;
    s.writable = 1;
    s.mss = 1460;
    s.ip = ip;
    s.state = NX_TCP_ESTABLISHED;
    return sv[1];
}

// Closes both ends and leaves the socket listening again.
inline void FuzzStream_Close(NX_TCP_SOCKET &s, int peer) {
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
    s.state = NX_TCP_LISTEN;
    close(peer);
}
