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

#include "core/image/passwork.h"
#include "net/nx.h"
#include "platform/plat_assert.h"
#include "platform/plat_net.h"

std::array<NX_TCP_SOCKET *, CONN_SOCK_SLOTS> ConnSock;
std::array<NxListener, NX_LISTENERS_MAX> NxListeners;
uint32_t NxListenReports;

namespace {

// Tags of the net layer's items in the readiness set.
enum : uint8_t { kItemConn = 1, kItemListener = 2, kItemUdp = 3 };

int ConnFd(const NX_TCP_SOCKET *s) { return s->client ? s->fd : s->accepted_fd; }

// Descriptor 0 (standard input closed) is never kept: a zeroed record reads
// it as none. It is moved to the lowest other free number.
int NotZero(int fd) {
    if (fd != 0) return fd;
    const int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return d;
}

void Enter(NX_TCP_SOCKET *s) {
    if (s->conn_index != 0 && s->conn_index <= CONN_SOCK_SLOTS && ConnSock[s->conn_index - 1] == s) return;
    for (unsigned i = 0; i < CONN_SOCK_SLOTS; i++) {
        if (ConnSock[i] == s) {
            s->conn_index = i + 1;
            return;
        }
    }
    for (unsigned i = 0; i < CONN_SOCK_SLOTS; i++) {
        if (ConnSock[i] == nullptr) {
            ConnSock[i] = s;
            s->conn_index = i + 1;
            return;
        }
    }
}

void Leave(NX_TCP_SOCKET *s) {
    for (auto &slot : ConnSock) {
        if (slot == s) slot = nullptr;
    }
    s->conn_index = 0;
}

NxListener *ListenerOf(const NX_TCP_SOCKET *s) {
    return s->listener >= 1 && s->listener <= NX_LISTENERS_MAX ? &NxListeners[s->listener - 1] : nullptr;
}

// A connection waits to be taken: one in hand, or a report of the queue.
bool Pending(const NxListener &l) { return l.held.valid() || (l.poll.events & PLAT_POLL_IN) != 0; }

// Whether a connection waits: one in hand, or one in the queue of a listener
// that reported one (the report stays until the queue is empty, so the kernel
// is asked only while the report stands).
bool Waiting(NxListener &l) {
    if (l.held.valid()) return true;
    if (!(l.poll.events & PLAT_POLL_IN)) return false;
    struct pollfd p {
        l.fd.get(), POLLIN, 0
    };
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) return true;
    l.poll.events &= ~PLAT_POLL_IN;
    return false;
}

void CloseListener(NxListener &l) {
    PLAT_PollDel(&l.poll);
    l.held.reset();
    l.fd.reset();
    l.refs = 0;
    l.port = 0;
    l.ip = nullptr;
    l.callback = nullptr;
}

// The open listener of port on ip, NX_LISTENERS_MAX when none.
unsigned FindListener(uint32_t port, const NX_IP *ip) {
    for (unsigned i = 0; i < NX_LISTENERS_MAX; i++) {
        const NxListener &l = NxListeners[i];
        if (l.fd.valid() && l.port == port && l.ip == ip) return i;
    }
    return NX_LISTENERS_MAX;
}

// The record lets its listening descriptor go. The port stays listened on
// while a record of it served a connection (the next one is relistened
// shortly, and connections meanwhile wait in the queue, not refused); the
// last listening record to go closes it, and so does an unlisten.
void DropListener(NX_TCP_SOCKET *s, bool serving) {
    NxListener *l = ListenerOf(s);
    s->listener = 0;
    if (l == nullptr) return;
    s->fd = -1;
    if (l->refs > 0) l->refs--;
    if (l->refs == 0 && !serving) CloseListener(*l);
}

// Gives back every descriptor the record holds.
void ReleaseAll(NX_TCP_SOCKET *s) {
    PLAT_PollDel(&s->poll);
    const bool serving = s->accepted_fd >= 0;
    if (s->accepted_fd >= 0) close(s->accepted_fd);
    s->accepted_fd = -1;
    if (s->listener != 0)
        DropListener(s, serving);
    else if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
}

// Attaches the record to open listener i.
void Attach(NX_TCP_SOCKET *s, unsigned i) {
    NxListener &l = NxListeners[i];
    if (s->listener != i + 1) {
        ReleaseAll(s);
        l.refs++;
        s->listener = i + 1;
    }
    s->fd = l.fd.get();
}

// Puts the connection descriptor into the readiness set: input, room to
// write and the peer's close.
void Watch(NX_TCP_SOCKET *s, int fd) {
    if (PLAT_PollAdd(&s->poll, fd, PLAT_POLL_IN | PLAT_POLL_OUT | PLAT_POLL_RDHUP, PLAT_POLL_NET, s, kItemConn) != 0)
        pass_work.net_poll = 1;  // its input is never reported: the services look every pass
    PLAT_PollTally(&s->poll, s->tally);
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

namespace {
// A non-blocking socket of type (SOCK_STREAM, SOCK_DGRAM) that reuses its
// address and is bound to the interface of ip; -1 when one of them fails.
int OpenSocket(int type, const NX_IP *ip) {
    const int fd = NotZero(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (fd < 0) return -1;
    const int one = 1;
    if (SetNonBlocking(fd) != NX_SUCCESS || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        !BindDevice(fd, ip)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The creation arguments a TCP or UDP socket record keeps (of the fragment
// word, only the don't-fragment bit).
template <class Socket>
void Identify(Socket *s, const char *name, NX_IP *ip, uint32_t tos, uint32_t fragment, uint32_t ttl) {
    s->name = name;
    s->ip = ip;
    s->tos = tos;
    s->ttl = ttl;
    s->fragment = fragment & 0x4000;
}
}  // namespace

uint32_t _nx_tcp_socket_create(NX_IP *ip, NX_TCP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                               uint32_t ttl, uint32_t window, NxTcpCallback urgent, NxTcpCallback disconnect) {
    // A record re-created while it still holds descriptors gives them back;
    // a listening descriptor that other server records share stays open.
    if (name != nullptr) Leave(s);
    ReleaseAll(s);
    const int fd = OpenSocket(SOCK_STREAM, ip);
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    const int one = 1;
    struct timeval tv {
        10, 0
    };
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    if (name != nullptr) {
        Identify(s, name, ip, tos, fragment, ttl);
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
    PLAT_PollDel(&s->poll);
    if (s->fd >= 0) close(s->fd);
    s->fd = -1;
    const int fd = OpenSocket(SOCK_DGRAM, ip);
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    if (name != nullptr) {
        *s = NX_UDP_SOCKET{};
        Identify(s, name, ip, tos, fragment, ttl);
        s->queue_max = queue_max;
    }
    s->fd = fd;
    s->counters[0] = 0;
    return NX_SUCCESS;
}

namespace {
// Binds a TCP client or UDP socket whose descriptor exists to port; 0 leaves
// the choice to the system at the first send or connect.
template <class Socket>
uint32_t BindSocket(Socket *s, uint32_t port) {
    if (port == 0 && s->ip != nullptr && s->ip->nx_ip_next_port != 0) {
        // The instance's next client port; one in use passes to the
        // following ones, and when none of them is free the kernel chooses.
        for (int i = 0; i < 32 && port == 0; i++) {
            const uint32_t p = s->ip->nx_ip_next_port;
            s->ip->nx_ip_next_port = p >= 65535 || p < NX_CLIENT_PORT_MIN ? NX_CLIENT_PORT_MIN : p + 1;
            if (p >= NX_CLIENT_PORT_MIN && BindPort(s->fd, p) == NX_SUCCESS) port = p;
        }
        s->bound = 1;
        if (port != 0) s->port = port;
        return NX_SUCCESS;
    }
    if (port != 0 && BindPort(s->fd, port) != NX_SUCCESS) return NX_NOT_BOUND;
    s->bound = 1;
    if (port != 0) s->port = port;
    return NX_SUCCESS;
}
}  // namespace

uint32_t _nx_tcp_client_socket_bind(NX_TCP_SOCKET *s, uint32_t port, uint32_t) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_tcp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0, nullptr, nullptr) != NX_SUCCESS)
        return NX_NOT_SUCCESSFUL;
    return BindSocket(s, port);
}

uint32_t _nx_udp_socket_bind(NX_UDP_SOCKET *s, uint32_t port, uint32_t) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_udp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0) != NX_SUCCESS) return NX_NOT_SUCCESSFUL;
    const uint32_t r = BindSocket(s, port);
    // A datagram ends the main loop's wait; the owner reads it on its pass.
    if (r == NX_SUCCESS) {
        if (PLAT_PollAdd(&s->poll, s->fd, PLAT_POLL_IN, PLAT_POLL_WAKE, s, kItemUdp) != 0) pass_work.net_poll = 1;
        PLAT_PollTally(&s->poll, &pass_work.net);
    }
    return r;
}

uint32_t _nx_tcp_client_socket_unbind(NX_TCP_SOCKET *s) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    if (!s->bound) return NX_NOT_BOUND;
    s->bound = 0;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_unbind(NX_UDP_SOCKET *s) {
    if (!s->bound) return NX_NOT_BOUND;
    // The port goes back with its queued datagrams: a descriptor kept open
    // would hold the port and take datagrams nobody reads. The record stays
    // created; a bind opens a new descriptor.
    PLAT_PollDel(&s->poll);
    if (s->fd >= 0) close(s->fd);
    s->fd = -1;
    s->bound = 0;
    return NX_SUCCESS;
}

// ---- TCP server side -----------------------------------------------------------------------------

uint32_t _nx_tcp_server_socket_listen(NX_IP *, uint32_t port, NX_TCP_SOCKET *s, uint32_t, NxListenCallback cb) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    if (s->bound) return NX_ALREADY_BOUND;
    const unsigned open = FindListener(port, s->ip);
    if (open < NX_LISTENERS_MAX && NxListeners[open].refs == 0) {
        // The port is still listened on (its last record served a
        // connection): this record takes it over.
        Attach(s, open);
        if (cb != nullptr) NxListeners[open].callback = cb;
    } else {
        if (s->fd < 0 && _nx_tcp_socket_create(s->ip, s, nullptr, 0, 0, 0, 0, nullptr, nullptr) != NX_SUCCESS)
            return NX_NOT_SUCCESSFUL;
        if (BindPort(s->fd, port) != NX_SUCCESS) return NX_NOT_BOUND;
        if (listen(s->fd, 16) < 0) return NX_NOT_SUCCESSFUL;
        unsigned i = 0;
        while (i < NX_LISTENERS_MAX && NxListeners[i].fd.valid()) i++;
        if (i == NX_LISTENERS_MAX) return NX_NOT_SUCCESSFUL;
        // The listening descriptor now belongs to the listener table.
        NxListener &l = NxListeners[i];
        l.fd.reset(s->fd);
        l.refs = 1;
        l.port = port;
        l.ip = s->ip;
        l.callback = cb != nullptr ? cb : s->listen_callback;
        if (PLAT_PollAdd(&l.poll, s->fd, PLAT_POLL_IN, PLAT_POLL_NET, &l, kItemListener) != 0) pass_work.net_poll = 1;
        PLAT_PollTally(&l.poll, &NxListenReports);
        s->listener = i + 1;
    }
    s->bound = 1;
    s->port = port;
    s->state = NX_TCP_LISTEN;
    s->queue_size = 16;
    s->client = 0;
    if (cb != nullptr) s->listen_callback = cb;
    Enter(s);
    return NX_SUCCESS;
}

uint32_t _nx_tcp_server_socket_relisten(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s) {
    if (s->state != NX_TCP_CREATED) return NX_NOT_CREATED;
    const unsigned i = FindListener(port, ip);
    if (i < NX_LISTENERS_MAX) {
        Attach(s, i);
        if (NxListeners[i].callback != nullptr) s->listen_callback = NxListeners[i].callback;
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

namespace {
// Takes the connection that waits first on listening descriptor fd (with
// listener l, when shared): the one in hand, else one off the queue. -1
// when none waits.
int TakeWaiting(int fd, NxListener *l, uint32_t *address, uint32_t *port) {
    if (l != nullptr && l->held.valid()) {
        *address = l->held_address;
        *port = l->held_port;
        return l->held.release();
    }
    struct sockaddr_in peer {};
    socklen_t pl = sizeof peer;
    const int c = NotZero(accept4(fd, reinterpret_cast<struct sockaddr *>(&peer), &pl, SOCK_CLOEXEC));
    if (c < 0) {
        // The queue is empty: the listener is quiet until the next connection.
        if (l != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK)) l->poll.events &= ~PLAT_POLL_IN;
        return -1;
    }
    *address = ntohl(peer.sin_addr.s_addr);
    *port = ntohs(peer.sin_port);
    return c;
}
}  // namespace

uint32_t _nx_tcp_server_socket_accept(NX_TCP_SOCKET *s, uint32_t wait) {
    if (s->state != NX_TCP_LISTEN) return NX_NOT_LISTEN_STATE;
    uint32_t address = 0, port = 0;
    const int fd = TakeWaiting(s->fd, ListenerOf(s), &address, &port);
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    if (SetNonBlocking(fd) != NX_SUCCESS) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    ReadMss(s, fd);
    s->state = NX_TCP_ESTABLISHED;
    s->accepted_fd = fd;
    s->peer_address = address;
    s->peer_port = port;
    s->writable = 1;
    s->transmit_state = 0;
    Watch(s, fd);
    s->poll.events |= PLAT_POLL_IN;  // what came with the connection is read at once
    return wait ? NX_SUCCESS : NX_IN_PROGRESS;
}

bool NxConnectionWaiting(NX_TCP_SOCKET *s) {
    NxListener *l = ListenerOf(s);
    return l != nullptr && l->fd.valid() && Waiting(*l);
}

bool NxWaitingPeer(NX_TCP_SOCKET *s, uint32_t *address) {
    NxListener *l = ListenerOf(s);
    if (l == nullptr || !l->fd.valid() || !Waiting(*l)) return false;
    if (!l->held.valid()) {
        // Linux tells a connection's host only once it is accepted: it is
        // taken off the queue into the listener's hand.
        uint32_t a = 0, p = 0;
        const int fd = TakeWaiting(l->fd.get(), l, &a, &p);
        if (fd < 0) return false;
        l->held.reset(fd);
        l->held_address = a;
        l->held_port = p;
    }
    *address = l->held_address;
    return true;
}

uint32_t _nx_tcp_server_socket_unaccept(NX_TCP_SOCKET *s) {
    if (s->accepted_fd < 0) return NX_NOT_SUCCESSFUL;
    PLAT_PollDel(&s->poll);
    close(s->accepted_fd);
    s->accepted_fd = -1;
    if (s->state != NX_TCP_CREATED) s->state = NX_TCP_LISTEN;
    return NX_SUCCESS;
}

uint32_t NxHandOver(NX_TCP_SOCKET *from, NX_TCP_SOCKET *to) {
    if (from->client || from->accepted_fd < 0 ||
        (from->state != NX_TCP_ESTABLISHED && from->state != NX_TCP_CLOSE_WAIT) || to->client || to->accepted_fd >= 0 ||
        to->state != NX_TCP_LISTEN)
        return NX_NOT_SUCCESSFUL;
    // What the readiness set reported for the connection stays reported.
    const uint32_t events = from->poll.events;
    PLAT_PollDel(&from->poll);
    to->accepted_fd = from->accepted_fd;
    from->accepted_fd = -1;
    to->state = from->state;
    from->state = NX_TCP_LISTEN;
    to->peer_address = from->peer_address;
    to->peer_port = from->peer_port;
    to->mss = from->mss;
    to->writable = from->writable;
    to->transmit_state = from->transmit_state;
    to->receive_pending = from->receive_pending;
    Watch(to, to->accepted_fd);
    to->poll.events |= events;
    return NX_SUCCESS;
}

uint32_t _nx_tcp_server_socket_unlisten(NX_IP *ip, uint32_t port) {
    for (NX_TCP_SOCKET *o : ConnSock) {
        const NxListener *l = o != nullptr && o->client == 0 ? ListenerOf(o) : nullptr;
        if (l != nullptr && l->port == port && l->ip == ip) _nx_tcp_socket_delete(o);
    }
    const unsigned i = FindListener(port, ip);
    if (i < NX_LISTENERS_MAX) CloseListener(NxListeners[i]);
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
    Watch(s, s->fd);
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
    s->last_taken = 0;
    if (packet == nullptr || packet->nx_packet_state != NX_PACKET_ALLOCATED) return NX_INVALID_PACKET;
    uint32_t st = NX_SUCCESS;
    if (!s->bound)
        st = NX_NOT_BOUND;
    else if (s->state != NX_TCP_ESTABLISHED)
        st = NX_NOT_CONNECTED;
    else if (s->writable == 0)
        st = NX_WINDOW_OVERFLOW;
    if (st != NX_SUCCESS) {
        _nx_packet_release(packet);
        return st;
    }
    const int fd = ConnFd(s);
    ssize_t n = -1;
    if (fd >= 0) n = send(fd, packet->nx_packet_prepend_ptr, packet->nx_packet_length, MSG_NOSIGNAL | MSG_DONTWAIT);
    const uint32_t len = packet->nx_packet_length;
    s->last_taken = n > 0 ? uint32_t(n) : 0;
    _nx_packet_release(packet);
    // A send the kernel took only in part is a failed send: the peer would
    // get a cut frame and the rest would never follow. A full send buffer
    // makes the connection not writable until the readiness set reports room.
    if (n < 0 || uint32_t(n) != len) {
        if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            s->writable = 0;
            s->transmit_state = 2;
        }
        return NX_NOT_SUCCESSFUL;
    }
    if (s->ip) s->ip->nx_ip_sent_count++;
    // The poll's writability test: a whole send that left the connection
    // without room makes it not writable, so the next send answers 57 (full)
    // rather than 67 (broken); the readiness set reports the room again (a
    // record outside the set would never hear of it and keeps its flag).
    struct pollfd p {
        fd, POLLOUT, 0
    };
    if (s->poll.owner != nullptr && poll(&p, 1, 0) == 0) {
        s->writable = 0;
        s->transmit_state = 2;
    }
    return NX_SUCCESS;
}

namespace {
// Reads what the connection holds into pk behind its data, as much as the
// packet still has room for (at most one receive); what does not fit stays
// with the connection for a later read. 0 when nothing came.
uint32_t ReadBehind(NX_TCP_SOCKET *s, NX_PACKET *pk) {
    const int fd = ConnFd(s);
    const std::size_t room =
        std::min<std::size_t>(NX_MAX_READ, std::size_t(pk->nx_packet_data_end - pk->nx_packet_append_ptr));
    if (room == 0) return 0;
    const ssize_t n = fd >= 0 ? recv(fd, pk->nx_packet_append_ptr, room, MSG_DONTWAIT) : -1;
    // A read that did not fill the room emptied the socket: the next input
    // is reported again by the readiness set.
    if (n < ssize_t(room)) s->poll.events &= ~PLAT_POLL_IN;
    if (n <= 0) return 0;
    pk->nx_packet_length += uint32_t(n);
    pk->nx_packet_append_ptr += n;
    s->receive_pending = 0;
    if (s->ip != nullptr) s->ip->nx_ip_received_count++;
    return uint32_t(n);
}
}  // namespace

uint32_t _nx_tcp_socket_receive(NX_TCP_SOCKET *s, NX_PACKET **packet, uint32_t) {
    *packet = nullptr;
    if (!s->bound) return NX_NOT_BOUND;
    NX_PACKET *pk = nullptr;
    if (s->ip == nullptr || _nx_packet_allocate(s->ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS)
        return NX_NO_PACKET;
    if (ReadBehind(s, pk) == 0) {
        _nx_packet_release(pk);
        return NX_NO_PACKET;
    }
    *packet = pk;
    return NX_SUCCESS;
}

uint32_t NxTcpReceiveBehind(NX_TCP_SOCKET *s, NX_PACKET *pk) {
    if (!s->bound) return NX_NOT_BOUND;
    if (pk == nullptr || pk->nx_packet_state != NX_PACKET_ALLOCATED) return NX_INVALID_PACKET;
    return ReadBehind(s, pk) == 0 ? NX_NO_PACKET : NX_SUCCESS;
}

uint32_t _nx_tcp_socket_delete(NX_TCP_SOCKET *s) {
    if (s->fd == -1 && s->accepted_fd < 0 && s->listener == 0) return NX_SUCCESS;
    Leave(s);
    ReleaseAll(s);
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
    ssize_t n = -1;  // no descriptor: nothing sent, and so reported
    if (s->fd >= 0)
        n = PLAT_NetSendTo(s->fd, packet->nx_packet_prepend_ptr, packet->nx_packet_length, 0,
                           reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    _nx_packet_release(packet);
    if (n < 0) return NX_NOT_SUCCESSFUL;
    if (s->ip) s->ip->nx_ip_sent_count++;
    return NX_SUCCESS;
}

uint32_t _nx_udp_socket_receive_port_detail(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t *address, uint32_t *port) {
    *packet = nullptr;
    if (!s->bound) return NX_NOT_BOUND;
    // A bound socket is in the readiness set: while the loop waits on it, no
    // report of input means an empty queue, not worth a read.
    if (s->poll.owner != nullptr && !(s->poll.events & PLAT_POLL_IN) && PLAT_PollLoopWaits()) return NX_NO_PACKET;
    NX_PACKET *pk = nullptr;
    if (s->ip == nullptr || _nx_packet_allocate(s->ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS)
        return NX_NO_PACKET;
    struct sockaddr_in from {};
    socklen_t fl = sizeof from;
    const std::size_t room =
        std::min<std::size_t>(NX_MAX_READ, std::size_t(pk->nx_packet_data_end - pk->nx_packet_prepend_ptr));
    const ssize_t n = s->fd >= 0 ? recvfrom(s->fd, pk->nx_packet_prepend_ptr, room, MSG_DONTWAIT,
                                            reinterpret_cast<struct sockaddr *>(&from), &fl)
                                 : -1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) s->poll.events &= ~PLAT_POLL_IN;  // the queue is empty
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
    PLAT_PollDel(&s->poll);
    if (s->fd >= 0) close(s->fd);
    s->bound = 0;
    s->fd = -1;
    return NX_SUCCESS;
}

// ---- the connection poll ------------------------------------------------------------------------------
//
// Serves only what the readiness set reported: connections with input, room
// or a hang-up, connects that completed, and the server records of a
// listening descriptor with connections waiting. Ready records are served in
// the order of their ConnSock entries; idle connections cost nothing.

namespace {

struct NetPoll {
    // Records to serve this pass (ConnSock order after sorting).
    std::array<NX_TCP_SOCKET *, CONN_SOCK_SLOTS> work;
    unsigned work_count;
    // Records whose receive callback left input unread: looked at again.
    std::array<NX_TCP_SOCKET *, CONN_SOCK_SLOTS> carry;
    unsigned carry_count;
    // The listeners are looked at only while one had a connection waiting
    // or one reported since (filed).
    bool waiting;
    uint32_t filed;
};
NetPoll net_poll;

void AddWork(NX_TCP_SOCKET *s) {
    if (s == nullptr || s->conn_index == 0) return;
    for (unsigned i = 0; i < net_poll.work_count; i++) {
        if (net_poll.work[i] == s) return;
    }
    // Each record in ConnSock comes once: the list always has room.
    if (ALWAYS(net_poll.work_count < net_poll.work.size())) net_poll.work[net_poll.work_count++] = s;
}

// Every server record listening on listener i; false when there is none.
bool AddListeners(unsigned i) {
    bool any = false;
    for (NX_TCP_SOCKET *o : ConnSock) {
        if (o != nullptr && o->listener == i + 1 && o->state == NX_TCP_LISTEN && o->listen_callback != nullptr) {
            AddWork(o);
            any = true;
        }
    }
    return any;
}

void ServeConnecting(NX_TCP_SOCKET *s) {
    if (!(s->poll.events & (PLAT_POLL_OUT | PLAT_POLL_ERR | PLAT_POLL_HUP))) return;
    int err = -1;
    socklen_t l = sizeof err;
    struct sockaddr_in peer {};
    socklen_t pl = sizeof peer;
    if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &l) == 0 && err == 0 &&
        getpeername(s->fd, reinterpret_cast<struct sockaddr *>(&peer), &pl) == 0) {
        s->state = NX_TCP_ESTABLISHED;
        ReadMss(s, s->fd);
        s->poll.events &= ~PLAT_POLL_OUT;
        s->writable = 1;
        s->transmit_state = 0;
    }
}

void ServeEstablished(NX_TCP_SOCKET *s) {
    const int fd = ConnFd(s);
    if (fd < 0) return;
    uint32_t &ev = s->poll.events;
    if (ev & PLAT_POLL_OUT) {
        ev &= ~PLAT_POLL_OUT;
        s->writable = 1;
        s->transmit_state = 0;
    }
    if (s->receive_callback != nullptr && (ev & PLAT_POLL_IN)) {
        int avail = 0;
        if (ioctl(fd, FIONREAD, &avail) == 0 && avail > 0) {
            s->receive_pending = 1;
            s->receive_callback(s);
            // Input left unread, or a close that came with the data (the set
            // reports it once): looked at again on the next pass.
            if ((s->poll.events & (PLAT_POLL_IN | PLAT_POLL_RDHUP | PLAT_POLL_HUP)) &&
                ALWAYS(net_poll.carry_count < net_poll.carry.size()))
                net_poll.carry[net_poll.carry_count++] = s;
            return;
        }
        ev &= ~PLAT_POLL_IN;
    }
    if (ev & (PLAT_POLL_RDHUP | PLAT_POLL_HUP)) {
        ev &= ~(PLAT_POLL_RDHUP | PLAT_POLL_HUP);
        s->state = NX_TCP_CLOSE_WAIT;
        if (s->disconnect_callback) s->disconnect_callback(s);
    }
}

}  // namespace

void EnetThread() {
    // What arrived during the pass (the loop's wait files most of it); the
    // protocols read it on the next pass, which then does not wait.
    PLAT_PollHarvest(true);
    net_poll.work_count = 0;
    const unsigned carried = net_poll.carry_count;
    net_poll.carry_count = 0;
    for (unsigned i = 0; i < carried; i++) AddWork(net_poll.carry[i]);
    for (PlatPollItem *item : PLAT_PollTake(PLAT_POLL_NET)) {
        if (item->owner == nullptr) continue;
        if (item->kind == kItemConn) AddWork(static_cast<NX_TCP_SOCKET *>(item->owner));
    }
    // A listener keeps its report until its queue is empty: every pass a
    // connection still waits, its listening records are told again (the
    // protocols that accept in their own step take one a step), and a record
    // that becomes free later finds it.
    const uint32_t filed = NxListenReports;
    if (net_poll.waiting || filed != net_poll.filed) {
        net_poll.filed = filed;
        net_poll.waiting = false;
        for (unsigned i = 0; i < NX_LISTENERS_MAX; i++) {
            NxListener &l = NxListeners[i];
            if (!l.fd.valid() || !Pending(l)) continue;
            net_poll.waiting = true;
            const unsigned before = net_poll.work_count;
            if (AddListeners(i) && !Waiting(l)) net_poll.work_count = before;
        }
    }
    // ConnSock order among the ready records.
    auto &w = net_poll.work;
    for (unsigned i = 1; i < net_poll.work_count; i++) {
        NX_TCP_SOCKET *s = w[i];
        unsigned j = i;
        for (; j > 0 && w[j - 1]->conn_index > s->conn_index; j--) w[j] = w[j - 1];
        w[j] = s;
    }
    for (unsigned i = 0; i < net_poll.work_count; i++) {
        NX_TCP_SOCKET *s = w[i];
        if (s->conn_index == 0) continue;  // left ConnSock during this pass
        if (s->state == NX_TCP_CONNECTING) {
            ServeConnecting(s);
        } else if (s->state == NX_TCP_ESTABLISHED) {
            ServeEstablished(s);
        } else if (s->state == NX_TCP_LISTEN) {
            NxListener *l = ListenerOf(s);
            if (l == nullptr || !Pending(*l) || s->listen_callback == nullptr) continue;
            s->listen_callback(s, s->port);
            // Taken in the callback while more may wait: the protocol puts its
            // next free record into listening on its next pass, which then
            // comes at once.
            if (s->state != NX_TCP_LISTEN && Pending(*l)) PLAT_PollWake();
        }
    }
    // A record served may have changed its server's state (a connection
    // taken, closed, writable again): every service steps on the next pass.
    if (net_poll.work_count != 0) pass_work.net_marks = ~0u;
    pass_work.net_thread = net_poll.waiting || net_poll.carry_count != 0 ? 1 : 0;
}
