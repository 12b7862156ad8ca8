// Runtime platform layer: non-blocking TCP and UDP sockets and the serial
// handle that borrows the programming port. The communication server's reads
// at a frame start watch the first word: the controller's own programming
// frames ('H','R') take the link back at once.
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/plcreg.h"
#include "io/vcomm.h"
#include "iec/services/z7svc.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"

uint8_t IsCommMode_Qncan = 1;
uint8_t z7_rcv = 0;
uint8_t eth_conn = 0;
uint8_t z7runtime_modbusinit = 0;
uint32_t timer_Z7 = 0;
uint8_t new_serial_packet = 0;

namespace {
constexpr uint16_t kZ7 = 0x375A;  // 'Z','7'
constexpr uint16_t kHR = 0x5248;  // 'H','R'

uint16_t FirstWord(const uint8_t *p, uint32_t n) { return n >= 2 ? uint16_t(p[0] | p[1] << 8) : 0xFFFF; }

// Sockets known to be connected (accepted, or whose connect was seen to
// complete): their sends skip the pending-connect check. Indexed by
// descriptor; numbers past the table are always checked.
constexpr int kKnownMax = 1024;
std::array<bool, kKnownMax> known_connected{};
void SetKnown(int fd, bool on) {
    if (fd >= 0 && fd < kKnownMax) known_connected[size_t(fd)] = on;
}
bool Known(int fd) { return fd >= 0 && fd < kKnownMax && known_connected[size_t(fd)]; }

void NonBlocking(int fd) {
    int on = 1;
    ioctl(fd, FIONBIO, &on);
}

void TcpOptions(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A new descriptor moved off 0: a handle of 0 stands for "no socket" in
// records that start zeroed and is never closed, so a socket left there
// (a controller started with standard input closed) could never be closed
// and would keep its port. -1 stays -1.
int OffZero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    close(0);
    return moved;
}

sockaddr_in Addr(uint32_t host_addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(PLAT_NetBindAddr(host_addr));
    return a;
}

bool Listen(uint16_t port, uint32_t backlog, uint32_t host_addr, Z7SocketHandle *h) {
    *h = -1;
    const int fd = OffZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return false;
    SetKnown(fd, false);
    NonBlocking(fd);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = Addr(host_addr, port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 || listen(fd, int(backlog)) != 0) {
        close(fd);
        return false;
    }
    *h = fd;
    PLAT_PollWatch(fd);  // a connection waiting ends the loop's wait
    return true;
}

bool Udp(uint16_t port, uint32_t host_addr, Z7SocketHandle *h) {
    *h = -1;
    const int fd = OffZero(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return false;
    SetKnown(fd, false);
    NonBlocking(fd);
    if (port != 0) {
        const sockaddr_in a = Addr(host_addr, port);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return false;
        }
    }
    *h = fd;
    PLAT_PollWatch(fd);  // a datagram ends the loop's wait
    return true;
}

// The sockets are non-blocking: one recv answers what a zero time-out
// select would (nothing waiting: EAGAIN). While the main loop waits on its
// readiness set, a socket it saw nothing arrive on is not asked at all. A
// descriptor that is not open fails like the select did (closed); any other
// failing recv reports nothing.
int32_t Receive(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed, bool watch) {
    if (closed) *closed = false;
    if (h < 0 || buf == nullptr || len == 0 || !PLAT_PollHasInput(h)) return 0;
    const ssize_t n = recv(h, buf, len, MSG_DONTWAIT);
    if (n == 0) {
        if (closed) *closed = true;
        return 0;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            PLAT_PollInputTaken(h);
        else if (errno == EBADF && closed)
            *closed = true;
        return 0;
    }
    if (uint32_t(n) < len) PLAT_PollInputTaken(h);  // the socket is empty now
    if (watch) {
        const uint16_t w = FirstWord(buf, uint32_t(n));
        if (w == kHR) {
            IsCommMode_Qncan = 1;
            z7_rcv = 1;
            return 0;
        }
        z7_rcv = w == kZ7 ? 1 : 0;
    }
    return int32_t(n);
}
}  // namespace

uint32_t Z7Socket_Initialize(uint32_t) { return 0; }
void Z7Socket_Terminate() {}

bool Z7Socket_CreateListeningSocket(uint16_t port, uint32_t backlog, Z7SocketHandle *h, uint32_t) {
    return Listen(port, backlog, INADDR_ANY, h);
}

bool Z7Socket_CreateListeningSocketOn(uint16_t port, uint32_t backlog, const char *ip, Z7SocketHandle *h) {
    in_addr a{};
    if (ip == nullptr || inet_aton(ip, &a) == 0) {
        *h = -1;
        return false;
    }
    return Listen(port, backlog, ntohl(a.s_addr), h);
}

Z7SocketHandle Z7Socket_Accept(Z7SocketHandle listening, uint32_t) {
    if (listening < 0 || !PLAT_PollHasInput(listening)) return -1;
    const int fd = OffZero(accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) PLAT_PollInputTaken(listening);
        return -1;
    }
    NonBlocking(fd);
    TcpOptions(fd);
    SetKnown(fd, true);
    PLAT_PollWatch(fd);  // input ends the loop's wait
    return fd;
}

bool Z7Socket_CreateConnectedSocket(const char *ip, uint16_t port, Z7SocketHandle *h, bool *pending, uint32_t) {
    *h = -1;
    if (pending) *pending = false;
    in_addr ia{};
    if (ip == nullptr || inet_aton(ip, &ia) == 0) return false;
    const int fd = OffZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return false;
    SetKnown(fd, false);
    NonBlocking(fd);
    TcpOptions(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = ia;
    if (PLAT_NetConnect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) {
        *h = fd;
        PLAT_PollWatch(fd);  // input ends the loop's wait
        return true;
    }
    if (errno == EINPROGRESS) {
        *h = fd;
        PLAT_PollWatch(fd);
        if (pending) *pending = true;
        return true;
    }
    close(fd);
    return false;
}

Z7Connect Z7Socket_CheckPendingConnect(Z7SocketHandle h) {
    if (h < 0) return Z7Connect::kBroken;
    // poll, not select: any descriptor number (select stops at 1,024)
    pollfd p{h, POLLOUT, 0};
    const int r = poll(&p, 1, 0);
    if (r < 0 || (p.revents & POLLNVAL)) return Z7Connect::kBroken;
    int err = 0;
    socklen_t len = sizeof err;
    if ((p.revents & (POLLOUT | POLLERR)) && (getsockopt(h, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err))
        return Z7Connect::kBroken;
    if (!(p.revents & POLLOUT)) return Z7Connect::kPending;
    SetKnown(h, true);
    return Z7Connect::kUp;
}

int32_t Z7Socket_Send(Z7SocketHandle h, uint32_t len, const uint8_t *data, bool *closed) {
    if (closed) *closed = false;
    const Z7Connect c = Known(h) ? Z7Connect::kUp : Z7Socket_CheckPendingConnect(h);
    // a connect still pending sends nothing and answers 0 bytes, never the
    // check's own 1, which the caller would take for a byte sent
    if (c != Z7Connect::kUp) {
        if (closed) *closed = c == Z7Connect::kBroken;
        return 0;
    }
    if (len == 0) return 0;
    const ssize_t n = send(h, data, len, MSG_NOSIGNAL);
    if (n < 0) {
        // a full send buffer is not a broken connection: nothing went out
        // this time, the caller tries again
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (closed) *closed = true;
        return 0;
    }
    return int32_t(n);
}

int32_t Z7Socket_Receive(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed) {
    return Receive(h, len, buf, closed, false);
}

int32_t Z7Socket_ReceiveFrameStart(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed) {
    return Receive(h, len, buf, closed, true);
}

void Z7Socket_CloseSocket(Z7SocketHandle h) {
    if (h <= 0) return;
    linger l{1, 0};
    setsockopt(h, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    PLAT_PollUnwatch(h);
    SetKnown(h, false);
    close(h);
}

bool Z7Socket_UdpCreate(uint16_t port, Z7SocketHandle *h) { return Udp(port, INADDR_ANY, h); }

bool Z7Socket_UdpCreateOn(uint16_t port, const char *ip, Z7SocketHandle *h) {
    in_addr a{};
    if (ip == nullptr || inet_aton(ip, &a) == 0) {
        *h = -1;
        return false;
    }
    return Udp(port, ntohl(a.s_addr), h);
}

bool Z7Socket_AcceptBroadcast(Z7SocketHandle h) {
    int on = 1;
    return h >= 0 && setsockopt(h, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

uint32_t Z7Socket_UdpRecvFrom(Z7SocketHandle h, uint8_t *buf, uint32_t size, uint8_t addr[16]) {
    if (h < 0) return 1;
    if (!PLAT_PollHasInput(h)) return 0;
    sockaddr_in a{};
    socklen_t al = sizeof a;
    const ssize_t n = recvfrom(h, buf, size, 0, reinterpret_cast<sockaddr *>(&a), &al);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) PLAT_PollInputTaken(h);
        return 0;
    }
    std::memcpy(addr, &a, 16);
    return uint32_t(n);
}

bool Z7Socket_UdpSendTo(Z7SocketHandle h, const uint8_t addr[16], const uint8_t *data, uint32_t len) {
    if (h < 0) return false;
    sockaddr_in a{};
    std::memcpy(&a, addr, 16);
    const ssize_t n = PLAT_NetSendTo(h, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    return n == ssize_t(len);
}

void Z7Socket_UdpAddrMake(uint8_t addr[16], const char *text, uint16_t default_port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(default_port);
    char host[256];
    const size_t len = text ? strnlen(text, 255) : 0;
    std::memcpy(host, text ? text : "", len);
    host[len] = 0;
    const char *colon = std::strchr(host, ':');
    if (colon != nullptr && len < 64) {
        a.sin_port = htons(uint16_t(std::strtoul(colon + 1, nullptr, 10)));
        host[colon - host] = 0;
    }
    a.sin_addr.s_addr = inet_addr(host);
    std::memcpy(addr, &a, 16);
}

// ---- serial handle ------------------------------------------------------------------------------

void Z7Serial_Initialize(Z7SerialHandle *h) { *h = -1; }
bool Z7Serial_IsValid(Z7SerialHandle h) { return h != -1; }

namespace {
// A serial block holds the programming port: the port's protocol is the
// runtime's, so the command driver leaves its bytes alone.
bool serial_held = false;
// The controller's frame start took the port back: no block takes it again
// until the link is handed to the runtime anew.
bool serial_taken_back = false;

int PortFd() { return Vcomm_Port[ProgrammingPort].fd; }

// A block's handle on the programming port whose hold was given back is dead.
bool Lost(Z7SerialHandle h) { return h >= 0 && h == PortFd() && !serial_held; }
}  // namespace

uint32_t Z7Serial_Open(Z7SerialHandle *h, const char *) {
    if (*h == -1 && PlcWord(290) == 0) *h = PortFd();
    return 1;
}

void Z7Serial_HandBack() {
    serial_held = false;
    VcommDrv &d = Vcomm_Drv[ProgrammingPort];
    if (d.ModeRec == nullptr || d.Open == nullptr) return;
    uint8_t *mode = d.ModeRec(ProgrammingPort);
    if (mode == nullptr) return;
    mode[5] = uint8_t((mode[5] & ~0x0E) | 0x01);
    uint8_t copy[6];
    std::memcpy(copy, mode, 6);
    copy[0] = 5;
    d.Open(ProgrammingPort, copy);
}

uint32_t Z7Serial_Receive(Z7SerialHandle *h, uint32_t max, uint8_t *buf, bool frame_start) {
    if (*h < 0 || buf == nullptr || max == 0) return 0;
    int waiting = 0;
    if (ioctl(*h, FIONREAD, &waiting) != 0 || waiting <= 0) return 0;
    if (max == 4 && new_serial_packet == 1) {
        if (waiting < 4) return 0;
        new_serial_packet = 0;
    }
    const uint32_t want = uint32_t(waiting) < max ? uint32_t(waiting) : max;
    const ssize_t n = read(*h, buf, want);
    if (n <= 0) return 0;
    if (frame_start) {
        const uint16_t w = FirstWord(buf, uint32_t(n));
        if (w == kHR) {
            z7_rcv = 0;
            IsCommMode_Qncan = 1;
            if (Vcomm_Host == 0) {
                Z7Serial_HandBack();
                z7runtime_modbusinit = 1;
            }
            if (*h == PortFd()) {
                serial_held = false;
                serial_taken_back = true;
            }
            *h = -1;
            is_z7protocol = 0;
            return 0;
        }
        z7_rcv = w == kZ7 ? 1 : 0;
    }
    return uint32_t(n);
}

// ---- the serial blocks' hold of the programming port ------------------------------------------

void Z7Serial_HoldOpen(Z7SerialHandle *h, const char *settings) {
    if (*h != -1 || serial_taken_back || PortFd() < 0) return;
    Z7Serial_Open(h, settings);
    if (*h == -1) return;
    serial_held = true;
    if (uint8_t *mode = Vcomm_ModeRec(ProgrammingPort)) mode[5] = uint8_t((mode[5] & ~0x09) | 0x06);
}

uint32_t Z7Serial_HoldRead(Z7SerialHandle *h, uint32_t max, uint8_t *buf, bool frame_start) {
    if (Lost(*h)) *h = -1;
    return Z7Serial_Receive(h, max, buf, frame_start);
}

uint32_t Z7Serial_HoldReceive(Z7SerialHandle *h, uint32_t max, uint8_t *buf) {
    return Z7Serial_HoldRead(h, max, buf, true);
}

bool Z7Serial_HoldAlive(Z7SerialHandle h) { return h >= 0 && !Lost(h); }

uint32_t Z7Serial_HoldSend(Z7SerialHandle h, uint32_t len, const uint8_t *data) {
    return Lost(h) ? 0 : Z7Serial_Send(h, len, data);
}

void Z7Serial_HoldClose(Z7SerialHandle *h) {
    // unless the link is the workbench's (handed over by the switch command)
    if (*h >= 0 && *h == PortFd() && IsCommMode_Qncan) Z7Serial_Release();
    Z7Serial_Close(h);
}

void Z7Serial_Release() {
    if (serial_held) Z7Serial_HandBack();
}

void Z7Serial_Rearm() { serial_taken_back = false; }

bool Z7Serial_Held() { return serial_held; }

uint32_t Z7Serial_Send(Z7SerialHandle h, uint32_t len, const uint8_t *data) {
    if (h < 0) return 0;
    uint32_t done = 0;
    for (uint32_t i = 0; i < len; i++) {
        if (write(h, data + done, 1) == 1) done++;
    }
    return done;
}

uint32_t Z7Serial_Write(Z7SerialHandle h, uint32_t len, const uint8_t *data) {
    if (h < 0 || len == 0) return 0;
    const ssize_t n = write(h, data, len);
    return n > 0 ? uint32_t(n) : 0;
}

void Z7Serial_Close(Z7SerialHandle *h) {
    // The descriptor belongs to the controller's serial driver: only forget it.
    *h = -1;
}
