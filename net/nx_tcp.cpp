// TCP and UDP sockets on non-blocking Linux sockets, and the connection poll
// that fires the protocols' callbacks once per main-loop pass.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/nx.h"
#include "platform/plat_net.h"

std::array<NX_TCP_SOCKET *, CONN_SOCK_SLOTS> ConnSock;

namespace {

// Descriptor 0 is never stored: a socket that got it moves to another number.
int NotZero(int fd) {
    if (fd != 0) return fd;
    const int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return d;
}

bool FdValid(int fd) { return fd > 0 && fcntl(fd, F_GETFL) != -1; }

int ConnFd(const NX_TCP_SOCKET *s) { return s->client ? s->fd : s->accepted_fd; }

void Enter(NX_TCP_SOCKET *s) {
    for (auto &slot : ConnSock) {
        if (slot == s) return;
    }
    for (auto &slot : ConnSock) {
        if (slot == nullptr) {
            slot = s;
            return;
        }
    }
}

void Leave(NX_TCP_SOCKET *s) {
    for (auto &slot : ConnSock) {
        if (slot == s) slot = nullptr;
    }
}

// Another registered server socket shares s's listening descriptor.
bool ListenShared(const NX_TCP_SOCKET *s) {
    for (NX_TCP_SOCKET *o : ConnSock) {
        if (o != nullptr && o != s && o->client == 0 && o->fd == s->fd && o->fd > 0) return true;
    }
    return false;
}

uint32_t BindPort(int fd, uint32_t port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(PLAT_NetBindAddr(INADDR_ANY));
    return bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0 ? NX_SUCCESS : NX_NOT_BOUND;
}

void ReadMss(NX_TCP_SOCKET *s, int fd) {
    int mss = 0;
    socklen_t l = sizeof mss;
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &l) == 0 && mss > 0) s->mss = uint32_t(mss);
}

short PollOne(int fd, short events) {
    struct pollfd p {fd, events, 0};
    return poll(&p, 1, 0) > 0 ? p.revents : 0;
}

bool BindDevice(int fd, const NX_IP *ip) {
    if (ip == nullptr || ip->nx_ip_name == nullptr) return true;
    const char *dev = PLAT_NetDevice(ip->nx_ip_name);
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, socklen_t(std::strlen(dev) + 1)) == 0;
}

}  // namespace

uint32_t SetNonBlocking(int fd) {
    const int fl = fcntl(fd, F_GETFL);
    if (fl == -1) return NX_NOT_SUCCESSFUL;
    return fcntl(fd, F_SETFL, fl | 0x2802) == -1 ? NX_NOT_SUCCESSFUL : NX_SUCCESS;
}

// ---- creation and binding ---------------------------------------------------------------------

uint32_t _nx_tcp_socket_create(NX_IP *ip, NX_TCP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                               uint32_t ttl, uint32_t window, NxTcpCallback urgent, NxTcpCallback disconnect) {
    // A record re-created while it still holds descriptors gives them back,
    // except a listening descriptor that other server sockets still use.
    if (name != nullptr) {
        if (s->accepted_fd > 0) close(s->accepted_fd);
        s->accepted_fd = -1;
        if (s->fd > 0 && !(s->client == 0 && ListenShared(s))) close(s->fd);
        if (s->fd > 0) Leave(s);
        s->fd = -1;
    } else if (s->fd > 0) {
        close(s->fd);
        s->fd = -1;
    }
    int fd = NotZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    const int one = 1;
    struct timeval tv {10, 0};
    if (SetNonBlocking(fd) != NX_SUCCESS || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0 || !BindDevice(fd, ip) ||
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    if (name != nullptr) {
        s->name = name;
        s->ip = ip;
        s->tos = tos;
        s->ttl = ttl;
        s->fragment = fragment & 0x4000;
        s->window[0] = s->window[1] = s->window[2] = window;
        s->urgent_callback = urgent;
        s->disconnect_callback = disconnect;
        s->mss = 1536;
        s->writable = 1;
        s->transmit_state = 0;
        s->listen_callback = nullptr;
        s->bound = 0;
        s->port = 0;
        s->receive_pending = 0;
    }
    s->fd = fd;
    s->state = NX_TCP_CREATED;
    s->client = 1;
    s->accepted_fd = -1;
    s->cleared = 0;
    s->receive_callback = nullptr;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_create(NX_IP *ip, NX_UDP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                               uint32_t ttl, uint32_t queue_max) {
    if (s->fd > 0) close(s->fd);
    s->fd = -1;
    int fd = NotZero(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    const int one = 1;
    if (SetNonBlocking(fd) != NX_SUCCESS || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        !BindDevice(fd, ip)) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    if (name != nullptr) {
        std::memset(s, 0, sizeof *s);
        s->name = name;
        s->ip = ip;
        s->tos = tos;
        s->ttl = ttl;
        s->fragment = fragment & 0x4000;
        s->queue_max = queue_max;
    }
    s->fd = fd;
    s->counters[0] = 0;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_client_socket_bind(NX_TCP_SOCKET *s, uint32_t port, uint32_t) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_tcp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0, nullptr, nullptr) != NX_SUCCESS)
        return NX_NOT_SUCCESSFUL;
    if (port == 0) {
        s->bound = 1;
        return NX_SUCCESS;
    }
    if (BindPort(s->fd, port) != NX_SUCCESS) return NX_NOT_BOUND;
    s->bound = 1;
    s->port = port;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_bind(NX_UDP_SOCKET *s, uint32_t port, uint32_t) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_udp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0) != NX_SUCCESS) return NX_NOT_SUCCESSFUL;
    if (port == 0) {
        s->bound = 1;
        return NX_SUCCESS;
    }
    if (BindPort(s->fd, port) != NX_SUCCESS) return NX_NOT_BOUND;
    s->bound = 1;
    s->port = port;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_client_socket_unbind(NX_TCP_SOCKET *s) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    if (!s->bound) return NX_NOT_BOUND;
    s->bound = 0;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_unbind(NX_UDP_SOCKET *s) {
    if (!s->bound) return NX_NOT_BOUND;
    s->bound = 0;
    return NX_SUCCESS;
}

// ---- TCP server side -----------------------------------------------------------------------------

uint32_t _nx_tcp_server_socket_listen(NX_IP *, uint32_t port, NX_TCP_SOCKET *s, uint32_t, NxListenCallback cb) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_tcp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0, nullptr, nullptr) != NX_SUCCESS)
        return NX_NOT_SUCCESSFUL;
    if (BindPort(s->fd, port) != NX_SUCCESS) return NX_NOT_BOUND;
    s->bound = 1;
    s->port = port;
    if (listen(s->fd, 16) < 0) return NX_NOT_SUCCESSFUL;
    s->state = NX_TCP_LISTEN;
    s->queue_size = 16;
    s->client = 0;
    if (cb != nullptr) s->listen_callback = cb;
    Enter(s);
    return NX_SUCCESS;
}

uint32_t _nx_tcp_server_socket_relisten(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    for (NX_TCP_SOCKET *o : ConnSock) {
        if (o == nullptr || o == s || o->client != 0 || !FdValid(o->fd) || o->port != port || o->ip != ip)
            continue;
        if (s->fd > 0 && s->fd != o->fd) close(s->fd);
        s->fd = o->fd;
        s->listen_callback = o->listen_callback;
        s->port = port;
        s->bound = 1;
        s->state = NX_TCP_LISTEN;
        s->client = 0;
        Enter(s);
        return NX_SUCCESS;
    }
    if (_nx_tcp_server_socket_listen(ip, port, s, 0, nullptr) != NX_SUCCESS || s->listen_callback == nullptr)
        return NX_NOT_SUCCESSFUL;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_server_socket_accept(NX_TCP_SOCKET *s, uint32_t wait) {
    if (s->state != NX_TCP_LISTEN) return NX_NOT_LISTEN_STATE;
    struct sockaddr_in peer {};
    socklen_t pl = sizeof peer;
    int fd = accept4(s->fd, reinterpret_cast<struct sockaddr *>(&peer), &pl, SOCK_CLOEXEC);
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    fd = NotZero(fd);
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    if (SetNonBlocking(fd) != NX_SUCCESS) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    ReadMss(s, fd);
    s->state = NX_TCP_ESTABLISHED;
    s->accepted_fd = fd;
    s->peer_address = ntohl(peer.sin_addr.s_addr);
    s->peer_port = ntohs(peer.sin_port);
    s->writable = 1;
    s->transmit_state = 0;
    return wait ? NX_SUCCESS : NX_IN_PROGRESS;
}

uint32_t _nx_tcp_server_socket_unaccept(NX_TCP_SOCKET *s) {
    if (s->accepted_fd < 0) return NX_NOT_SUCCESSFUL;
    close(s->accepted_fd);
    s->accepted_fd = -1;
    if (s->state != NX_TCP_CREATED) s->state = NX_TCP_LISTEN;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_server_socket_unlisten(NX_IP *ip, uint32_t port) {
    for (NX_TCP_SOCKET *o : ConnSock) {
        if (o != nullptr && o->client == 0 && FdValid(o->fd) && o->port == port && o->ip == ip)
            _nx_tcp_socket_delete(o);
    }
    return NX_SUCCESS;
}

// ---- TCP client side -------------------------------------------------------------------------------

uint32_t _nx_tcp_client_socket_connect(NX_TCP_SOCKET *s, uint32_t address, uint32_t port, uint32_t wait) {
    if (!s->bound) return NX_NOT_BOUND;
    if (s->state == NX_TCP_ESTABLISHED) return NX_SUCCESS;
    if (s->state == NX_TCP_CONNECTING) return NX_IN_PROGRESS;
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(address);
    const int r = PLAT_NetConnect(s->fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    const int err = r == 0 ? 0 : errno;
    if (r != 0 && err != EINPROGRESS && err != EALREADY && err != EISCONN) return NX_NOT_CONNECTED;
    s->peer_address = address;
    s->peer_port = port;
    s->client = 1;
    if (err == EINPROGRESS || err == EALREADY) {
        s->state = NX_TCP_CONNECTING;
        Enter(s);
        if (wait == 0) return NX_IN_PROGRESS;
        s->state = NX_TCP_ESTABLISHED;
        return NX_SUCCESS;
    }
    s->state = NX_TCP_ESTABLISHED;
    ReadMss(s, s->fd);
    return NX_SUCCESS;
}

// ---- common TCP --------------------------------------------------------------------------------------

uint32_t _nx_tcp_socket_send(NX_TCP_SOCKET *s, NX_PACKET *packet, uint32_t) {
    if (packet == nullptr || packet->nx_packet_state != NX_PACKET_ALLOCATED) return NX_INVALID_PACKET;
    uint32_t st = NX_SUCCESS;
    if (!s->bound) st = NX_NOT_BOUND;
    else if (s->state != NX_TCP_ESTABLISHED) st = NX_NOT_CONNECTED;
    else if (s->writable == 0) st = NX_WINDOW_OVERFLOW;
    if (st != NX_SUCCESS) {
        _nx_packet_release(packet);
        return st;
    }
    const int fd = ConnFd(s);
    ssize_t n = 0;
    if (FdValid(fd)) n = send(fd, packet->nx_packet_prepend_ptr, packet->nx_packet_length, MSG_NOSIGNAL);
    const uint32_t len = packet->nx_packet_length;
    _nx_packet_release(packet);
    // A send the kernel took only in part is a failed send: the peer would
    // get a cut frame and the rest would never follow.
    if (n < 0 || uint32_t(n) != len) return NX_NOT_SUCCESSFUL;
    if (s->ip) s->ip->nx_ip_sent_count++;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_socket_receive(NX_TCP_SOCKET *s, NX_PACKET **packet, uint32_t) {
    *packet = nullptr;
    if (!s->bound) return NX_NOT_BOUND;
    NX_PACKET *pk = nullptr;
    if (s->ip == nullptr || _nx_packet_allocate(s->ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS)
        return NX_NO_PACKET;
    const int fd = ConnFd(s);
    const std::size_t room = std::min<std::size_t>(NX_MAX_READ, std::size_t(pk->nx_packet_data_end - pk->nx_packet_prepend_ptr));
    const ssize_t n = FdValid(fd) ? recv(fd, pk->nx_packet_prepend_ptr, room, MSG_DONTWAIT) : -1;
    if (n <= 0) {
        _nx_packet_release(pk);
        return NX_NO_PACKET;
    }
    pk->nx_packet_length = uint32_t(n);
    pk->nx_packet_append_ptr = pk->nx_packet_prepend_ptr + n;
    s->receive_pending = 0;
    s->ip->nx_ip_received_count++;
    *packet = pk;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_socket_delete(NX_TCP_SOCKET *s) {
    if (s->fd == -1) return NX_SUCCESS;
    if (s->client) {
        if (s->fd > 0) close(s->fd);
        Leave(s);
    } else {
        bool shared = false;
        for (auto &slot : ConnSock) {
            NX_TCP_SOCKET *o = slot;
            if (o == nullptr) continue;
            if (o == s) {
                slot = nullptr;
                continue;
            }
            if (o->client == 0 && FdValid(o->fd) && o->fd == s->fd && o->port == s->port && o->ip == s->ip) {
                shared = true;
                break;
            }
        }
        Leave(s);
        if (s->accepted_fd > 0) close(s->accepted_fd);
        s->accepted_fd = -1;
        if (!shared && s->fd > 0) close(s->fd);
    }
    s->state = NX_TCP_CREATED;
    s->fd = -1;
    s->bound = 0;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_socket_disconnect(NX_TCP_SOCKET *s, uint32_t) { return _nx_tcp_socket_delete(s); }

uint32_t _nx_tcp_socket_receive_notify(NX_TCP_SOCKET *s, NxTcpCallback cb) {
    s->receive_callback = cb;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_socket_transmit_configure(NX_TCP_SOCKET *, uint32_t, uint32_t, uint32_t, uint32_t) {
    return NX_SUCCESS;
}

// ---- UDP ------------------------------------------------------------------------------------------------

uint32_t _nx_udp_socket_send(NX_UDP_SOCKET *s, NX_PACKET *packet, uint32_t address, uint32_t port) {
    if (packet == nullptr || packet->nx_packet_state != NX_PACKET_ALLOCATED) return NX_INVALID_PACKET;
    if (!s->bound) {
        _nx_packet_release(packet);
        return NX_NOT_BOUND;
    }
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(address);
    ssize_t n = 0;
    if (FdValid(s->fd))
        n = PLAT_NetSendTo(s->fd, packet->nx_packet_prepend_ptr, packet->nx_packet_length, 0,
                           reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    _nx_packet_release(packet);
    if (n < 0) return NX_NOT_SUCCESSFUL;
    if (s->ip) s->ip->nx_ip_sent_count++;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_receive_port_detail(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t *address,
                                            uint32_t *port) {
    *packet = nullptr;
    if (!s->bound) return NX_NOT_BOUND;
    NX_PACKET *pk = nullptr;
    if (s->ip == nullptr || _nx_packet_allocate(s->ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS)
        return NX_NO_PACKET;
    struct sockaddr_in from {};
    socklen_t fl = sizeof from;
    const std::size_t room = std::min<std::size_t>(NX_MAX_READ, std::size_t(pk->nx_packet_data_end - pk->nx_packet_prepend_ptr));
    const ssize_t n = FdValid(s->fd) ? recvfrom(s->fd, pk->nx_packet_prepend_ptr, room, MSG_DONTWAIT,
                                                reinterpret_cast<struct sockaddr *>(&from), &fl)
                                     : -1;
    if (n <= 0) {
        _nx_packet_release(pk);
        return NX_NO_PACKET;
    }
    pk->nx_packet_length = uint32_t(n);
    s->ip->nx_ip_received_count++;
    if (address) *address = ntohl(from.sin_addr.s_addr);
    if (port) *port = ntohs(from.sin_port);
    *packet = pk;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_receive(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t) {
    return _nx_udp_socket_receive_port_detail(s, packet, nullptr, nullptr);
}

uint32_t _nx_udp_socket_delete(NX_UDP_SOCKET *s) {
    if (s->fd == -1) return NX_SUCCESS;
    if (s->fd > 0) close(s->fd);
    s->bound = 0;
    s->fd = -1;
    return NX_SUCCESS;
}

// ---- the connection poll ------------------------------------------------------------------------------

void EnetThread() {
    for (auto &slot : ConnSock) {
        NX_TCP_SOCKET *s = slot;
        if (s == nullptr) continue;
        if (!FdValid(s->fd)) {
            slot = nullptr;
            continue;
        }
        if (s->state == NX_TCP_CONNECTING) {
            int err = -1;
            socklen_t l = sizeof err;
            struct sockaddr_in peer {};
            socklen_t pl = sizeof peer;
            if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &l) == 0 && err == 0 &&
                getpeername(s->fd, reinterpret_cast<struct sockaddr *>(&peer), &pl) == 0) {
                s->state = NX_TCP_ESTABLISHED;
                ReadMss(s, s->fd);
            }
        } else if (s->state == NX_TCP_ESTABLISHED) {
            const int fd = ConnFd(s);
            if (fd <= 0) continue;
            if (s->receive_callback != nullptr && (PollOne(fd, POLLIN) & POLLIN)) {
                int avail = 0;
                if (ioctl(fd, FIONREAD, &avail) == 0 && avail > 0) {
                    s->receive_pending = 1;
                    s->receive_callback(s);
                    continue;
                }
            }
            if (PollOne(fd, POLLOUT) & POLLOUT) {
                s->writable = 1;
                s->transmit_state = 0;
            } else {
                s->writable = 0;
                s->transmit_state = 2;
            }
            if (PollOne(fd, POLLPRI | POLLRDHUP) & (POLLRDHUP | POLLHUP)) {
                s->state = NX_TCP_CLOSE_WAIT;
                if (s->disconnect_callback) s->disconnect_callback(s);
            }
        } else if (s->state == NX_TCP_LISTEN) {
            if ((PollOne(s->fd, POLLIN | POLLPRI | POLLOUT) & POLLIN) && s->listen_callback)
                s->listen_callback(s, s->port);
        }
    }
}
