// Connection dispatcher of the web server. One cycle polls every socket with
// a zero time-out (poll, so descriptors above 1023 are served too), accepts,
// receives, sends and drops; the web thread paces the cycles.
#include "tavIXsdk/tavixsdk/tavix_comm.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/plat_net.h"
#include "platform/plat_tls.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_comm_state_t tavix_comm_state;

namespace {

bool cert_loaded, cert_reported;

constexpr int kSslWantRead = 2, kSslWantWrite = 3, kSslSyscall = 5, kSslZeroReturn = 6;
constexpr int kPemFile = 1;

tavix_comm_state_t &S = tavix_comm_state;

int PasswordCb(char *buf, int size, int, void *) {
    const char *p = tavix_global_options.passphrase;
    const int n = p != nullptr ? int(std::strlen(p)) : 0;
    if (n >= size) return 0;
    std::memcpy(buf, p, std::size_t(n));
    return n;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int tavix_comm_open_listening_port(uint32_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        tavix_util_error("open_listening_port(%d): %s", int(port), std::strerror(errno));
        return -1;
    }
    const int one = 1, nodelay = tavix_global_options.tcp_nodelay ? 1 : 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
    // Bound to the controller's interface, as every other service of the
    // controller is, not to every interface of the machine.
    const char *dev = PLAT_NetDevice("eth0");
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, socklen_t(std::strlen(dev) + 1)) != 0) {
        tavix_util_error("open_listening_port(%d): %s", int(port), std::strerror(errno));
        close(fd);
        return -1;
    }
    SetNonBlocking(fd);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(PLAT_NetBindAddr(INADDR_ANY));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 32) != 0) {
        tavix_util_error("open_listening_port(%d): %s", int(port), std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t NextId() {
    const uint32_t id = S.next_id;
    S.next_id = S.next_id == 0xFFFFFFFF ? 1 : S.next_id + 1;
    return id;
}

// A free record with the next id. Records are taken and given back under
// the connection lock, which the workers' answers by id look them up under.
tavix_connection *tavix_connection_info_get() {
    pthread_mutex_lock(&S.lock);
    for (tavix_connection &c : S.conns) {
        if (!c.in_use) {
            c = tavix_connection{};
            c.in_use = 1;
            c.sock = -1;
            c.remote_index = -1;
            c.id = NextId();
            pthread_mutex_unlock(&S.lock);
            return &c;
        }
    }
    pthread_mutex_unlock(&S.lock);
    return nullptr;
}

void tavix_connection_info_return(tavix_connection *c) {
    tavix_buffer_return(c->recv);
    tavix_buffer_return(c->pending);
    pthread_mutex_lock(&S.lock);
    for (tavix_buffer *b = c->send_head; b != nullptr;) {
        tavix_buffer *next = b->send_next;
        b->send_next = nullptr;
        if (b->held)
            b->queued = 0;
        else
            tavix_buffer_return(b);
        b = next;
    }
    c->send_head = c->send_tail = nullptr;
    c->in_use = 0;
    c->id = 0;
    pthread_mutex_unlock(&S.lock);
    if (c->cleanup != nullptr) c->cleanup(c->cleanup_arg);
    *c = tavix_connection{};
    c->sock = -1;
}

void ShutWrite(tavix_connection *c) {
    if (!c->write_shut) shutdown(c->sock, SHUT_WR);
    c->write_shut = 1;
    c->closing = 0;
    c->interest &= ~TAVIX_WANT_WRITE;
}

// Up to this many connections open, a cycle takes one from a readable
// listener: it stays readable while more wait, so the next poll brings them
// without an accept that only answers EAGAIN. With more open, each cycle
// takes every waiting one.
constexpr nfds_t kFewConnections = 2;

void tavix_comm_accept_connection(int listener, bool tls, nfds_t open) {
    const nfds_t most = open <= kFewConnections ? 1 : TAVIX_MAX_CONNECTIONS;
    for (nfds_t k = 0; k < most; k++) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        tavix_connection *c = tavix_comm_take_record();
        if (c == nullptr) {
            close(fd);  // no record: refused rather than left open unused
            continue;
        }
        c->sock = fd;
        c->kind = 0;
        c->tls = tls ? 1 : 0;
        c->last_request = tavix_sys_get_current_monotonous_time();
        c->accept_seq = ++S.accept_count;
        c->fresh = 1;
        if (tls) {
            // The handshake is the first part of a TLS connection's request.
            c->receiving = 1;
            c->request_start = c->last_request;
            c->ssl = PLAT_SslNew(S.ssl_ctx);
            if (c->ssl == nullptr) {
                tavix_util_error("Cannot do SSL_new");
                close(fd);
                tavix_connection_info_return(c);
                continue;
            }
            PLAT_SslSetFd(c->ssl, fd);
            PLAT_SslSetAcceptState(c->ssl);
        }
        c->interest = TAVIX_WANT_READ | TAVIX_WANT_EXCEPT;
        c->recv = tavix_buffer_get(TAVIX_BUF_DATA, TAVIX_RECV_SIZE, TAVIX_RECV_SIZE, false);
        if (c->recv == nullptr) tavix_comm_drop_connection(c);
    }
}

void Deliver(tavix_connection *c, uint32_t n) {
    c->connecting = 0;
    // A browser connection whose write side is shut can answer nothing more:
    // what its client still sends is read (so that the close is no reset)
    // and let go. It queues no answers, and it does not keep the connection
    // from its idle time-out.
    if (c->kind == 0 && c->write_shut) return;
    c->recv->length = n;
    c->recv->read_pos = 0;
    c->last_request = tavix_sys_get_current_monotonous_time();
    // A request's clock starts with its first byte; later bytes leave it.
    if (c->kind == 0 && !c->receiving) {
        c->receiving = 1;
        c->request_start = c->last_request;
    }
    if (S.receive != nullptr) S.receive(c, c->recv);
    // Nothing held back: every byte went into whole requests.
    if (c->kind == 0 && c->pending == nullptr) {
        c->receiving = 0;
        c->served = 1;
    }
}

// TLS problem lines: the first at once, then at most one a minute carrying
// how many it stands for; the rest is printed by the tick.
void SslReportFlush(uint64_t now) {
    if (S.ssl_held == 0 || now - S.ssl_report_time < TAVIX_SSL_REPORT_UNITS) return;
    char text[96];
    std::snprintf(text, sizeof text, "%s (%u times)", S.ssl_text, unsigned(S.ssl_held));
    tavix_util_error(text, S.ssl_result, S.ssl_error);
    S.ssl_held = 0;
    S.ssl_report_time = now;
}

void SslProblem(const char *text, int result, int error) {
    const uint64_t now = tavix_sys_get_current_monotonous_time();
    S.ssl_text = text;
    S.ssl_result = result;
    S.ssl_error = error;
    S.ssl_held++;
    if (S.ssl_reported && now - S.ssl_report_time < TAVIX_SSL_REPORT_UNITS) return;
    if (S.ssl_held == 1) {
        tavix_util_error(text, result, error);
        S.ssl_held = 0;
        S.ssl_report_time = now;
    } else {
        SslReportFlush(now);
    }
    S.ssl_reported = 1;
}

void PlainRead(tavix_connection *c) {
    const ssize_t r = recv(c->sock, c->recv->data, c->recv->capacity, 0);
    if (r == 0) {
        if (!c->write_shut) {
            c->recv->length = 0;
            c->recv->read_pos = 0;
            if (c->pending != nullptr && S.receive != nullptr) S.receive(c, c->recv);
        }
        // A client may shut only its write side after its request (a legal
        // TCP half-close) and still read: an answer in the send chain goes
        // out whole first, and the connection is closed once it is out.
        if (!c->write_shut && c->send_head != nullptr) {
            c->peer_shut = 1;
            c->keep_alive = 0;
            c->interest &= ~TAVIX_WANT_READ;
            return;
        }
        c->drop = 1;
        return;
    }
    if (r < 0) {
        const int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return;  // nothing lost: try again later
        if (e != ECONNRESET && !c->write_shut && !(c->connecting && e == ENOTCONN))
            tavix_util_error(c->connecting ? "connect problem (read): %d, %d" : "read problem: %d, %d", int(r), e);
        c->drop = 1;
        return;
    }
    // Fewer bytes than asked for: the socket held no more at this moment.
    c->read_drained = uint32_t(r) < c->recv->capacity ? 1 : 0;
    Deliver(c, uint32_t(r));
    if (c->closing) c->drop = 1;
}

void TlsRead(tavix_connection *c) {
    c->read_wants_read = c->read_wants_write = c->write_wants_read = c->write_wants_write = 0;
    for (;;) {
        const int r = PLAT_SslRead(c->ssl, c->recv->data, int(c->recv->capacity));
        if (r > 0) {
            if (c->closing) {
                c->drop = 1;
                continue;
            }
            Deliver(c, uint32_t(r));
            continue;
        }
        const int e = PLAT_SslGetError(c->ssl, r);
        if (e == 0) return;
        if (e == kSslWantRead)
            c->read_wants_read = 1;
        else if (e == kSslWantWrite)
            c->read_wants_write = 1;
        else if (e == kSslZeroReturn)
            c->drop = 1;
        else if (e == kSslSyscall && r == 0)
            c->drop = c->silent_drop = 1;
        else {
            SslProblem(c->connecting ? "SSL connect problem: %d, %d" : "SSL read problem: %d, %d", r, e);
            c->drop = 1;
        }
        return;
    }
}

// After a piece went out: unlink finished buffers; an empty chain ends the answer.
void AfterSend(tavix_connection *c) {
    pthread_mutex_lock(&S.lock);
    while (c->send_head != nullptr && tavix_buffer_available_data(c->send_head) == 0) {
        tavix_buffer *b = c->send_head;
        c->send_head = b->send_next;
        if (c->send_head == nullptr) c->send_tail = nullptr;
        b->send_next = nullptr;
        if (b->held)
            b->queued = 0;
        else
            tavix_buffer_return(b);
    }
    if (c->send_head == nullptr) {
        if (c->kind == 1 || c->keep_alive) {
            c->interest &= ~TAVIX_WANT_WRITE;
            if (c->keep_alive) c->interest |= TAVIX_WANT_READ;
        } else {
            c->closing = 1;
        }
    }
    pthread_mutex_unlock(&S.lock);
}

// Pieces in memory sent together in one call.
constexpr uint32_t kGather = 8;

// What a send left: everything offered went, the socket is full, or the
// connection is to be dropped.
enum SendResult { kSentAll, kSocketFull, kSendFailed };

SendResult SendFailure(tavix_connection *c, ssize_t w) {
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return kSocketFull;  // a later cycle
    if (w == 0) tavix_util_error("write problem: %d, %d", int(w), errno);
    c->drop = 1;
    return kSendFailed;
}

// A file part through the scratch buffer, where the file cannot be sent by sendfile.
SendResult SendFileByCopy(tavix_connection *c, tavix_buffer *owner) {
    const uint8_t *piece = nullptr;
    const long n = tavix_buffer_get_data(owner, &piece, S.scratch, TAVIX_SCRATCH_SIZE, nullptr, 0);
    if (n <= 0) {
        tavix_util_error("file read problem: %d, %d", int(n), errno);
        c->drop = 1;
        return kSendFailed;
    }
    const ssize_t w = send(c->sock, piece, std::size_t(n), MSG_NOSIGNAL);
    if (w <= 0) return SendFailure(c, w);
    tavix_buffer_get_advance(owner, uint32_t(w));
    return w < n ? kSocketFull : kSentAll;
}

// A file part straight from the file (no copy through the server).
SendResult SendFilePart(tavix_connection *c, tavix_buffer *owner, const tavix_buffer_file_part &part) {
    off_t at = off_t(part.offset);
    const ssize_t w = sendfile(c->sock, part.fd, &at, part.count);
    if (w < 0 && (errno == EINVAL || errno == ENOSYS)) return SendFileByCopy(c, owner);
    if (w == 0) {
        // The file ended before the length its answer announced.
        tavix_util_error("file read problem: %d, %d", 0, 0);
        c->drop = 1;
        return kSendFailed;
    }
    if (w < 0) return SendFailure(c, w);
    tavix_buffer_get_advance(owner, uint32_t(w));
    return uint32_t(w) < part.count ? kSocketFull : kSentAll;
}

// Sends the plain connection's answers as far as the socket takes them: the
// pieces in memory gathered into one call (held with MSG_MORE when a file
// part follows, so that header and body share their segments), a file's part
// by sendfile. A full socket leaves the rest to a later cycle.
void WritePlain(tavix_connection *c) {
    for (;;) {
        struct iovec iov[kGather];
        tavix_buffer *owner[kGather];
        tavix_buffer_file_part file{-1, 0, 0};
        tavix_buffer *file_owner = nullptr;
        uint32_t n = 0;
        std::size_t total = 0;
        pthread_mutex_lock(&S.lock);
        for (tavix_buffer *b = c->send_head; b != nullptr && n < kGather && file.count == 0; b = b->send_next) {
            if (tavix_buffer_is_overflowed(b)) break;  // Write refuses it once it is at the head
            const uint32_t k = tavix_buffer_gather(b, iov + n, kGather - n, &file);
            for (uint32_t i = n; i < n + k; i++) {
                owner[i] = b;
                total += iov[i].iov_len;
            }
            n += k;
            if (file.count != 0) file_owner = b;
        }
        pthread_mutex_unlock(&S.lock);
        SendResult r = kSentAll;
        if (n > 0) {
            struct msghdr m {};
            m.msg_iov = iov;
            m.msg_iovlen = n;
            const ssize_t w = sendmsg(c->sock, &m, MSG_NOSIGNAL | (file.count != 0 ? MSG_MORE : 0));
            if (w <= 0) {
                r = SendFailure(c, w);
            } else {
                std::size_t left = std::size_t(w);
                for (uint32_t i = 0; i < n && left > 0; i++) {
                    const std::size_t a = left < iov[i].iov_len ? left : iov[i].iov_len;
                    tavix_buffer_get_advance(owner[i], uint32_t(a));
                    left -= a;
                }
                if (std::size_t(w) < total) r = kSocketFull;
            }
        } else if (file.count != 0) {
            r = SendFilePart(c, file_owner, file);
        } else {
            AfterSend(c);  // empty buffers unlinked; an overflowed one is refused by Write at the head
            return;
        }
        if (r == kSendFailed) return;
        AfterSend(c);
        if (r == kSocketFull || c->send_head == nullptr) return;
    }
}

void Write(tavix_connection *c) {
    if (c->closing) {
        ShutWrite(c);
        return;
    }
    c->connecting = 0;
    if (c->send_head == nullptr) {
        AfterSend(c);
        return;
    }
    if (tavix_buffer_is_overflowed(c->send_head)) {
        if (!c->write_shut) tavix_util_error("Tried to send an overflowed buffer, dropping the connection");
        ShutWrite(c);
        return;
    }
    if (!c->tls) {
        WritePlain(c);
        return;
    }
    // No zero-length read goes before the write: a peer that closed shows in
    // the write's own error, and the read would take the next request's bytes.
    const uint8_t *piece = nullptr;
    const long n = tavix_buffer_get_data(c->send_head, &piece, S.scratch, TAVIX_SCRATCH_SIZE, nullptr, 0);
    if (n < 0 && tavix_buffer_available_data(c->send_head) > 0) {
        // The file ended (or failed) before the length its answer announced.
        tavix_util_error("file read problem: %d, %d", int(n), errno);
        c->drop = 1;
        return;
    }
    if (n > 0) {
        c->write_wants_read = c->write_wants_write = 0;
        const int w = PLAT_SslWrite(c->ssl, piece, int(n));
        if (w > 0) {
            tavix_buffer_get_advance(c->send_head, uint32_t(w));
        } else {
            const int e = PLAT_SslGetError(c->ssl, w);
            if (e == kSslWantRead)
                c->write_wants_read = 1;
            else if (e == kSslWantWrite)
                c->write_wants_write = 1;
            else {
                SslProblem(c->connecting ? "SSL connect problem: %d, %d" : "SSL write problem: %d, %d", w, e);
                c->drop = 1;
                return;
            }
        }
    }
    AfterSend(c);
}

// Said to a client whose request missed its deadline, just before the close.
constexpr char kTimeoutAnswer[] = "HTTP/1.0 408 Request Timeout\r\nContent-Length: 0\r\n\r\n";

bool DropIfMarked(tavix_connection *c) {
    if (!c->in_use || !c->drop) return false;
    if (c->timed_out && !c->tls && !c->write_shut && c->sock >= 0)
        (void)!send(c->sock, kTimeoutAnswer, sizeof kTimeoutAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (!c->write_shut && c->sock >= 0) shutdown(c->sock, SHUT_WR);
    c->write_shut = 1;
    tavix_comm_drop_connection(c);
    return true;
}

}  // namespace

uint64_t tavix_sys_get_current_monotonous_time() { return tavix_timer_elapsed_imp(&S.timer); }

int tavix_comm_state_initialize() {
    if (S.scratch == nullptr) {
        S.scratch = static_cast<uint8_t *>(std::malloc(TAVIX_SCRATCH_SIZE));
        if (S.scratch == nullptr) return -1;
        pthread_mutex_init(&S.lock, nullptr);
    }
    S.receive = nullptr;
    S.dropped = nullptr;
    S.tick = nullptr;
    S.http_listener = S.https_listener = -1;
    S.shutdown = 0;
    S.next_id = 1;
    S.set_fresh = 0;
    S.idle_cycles = S.active_cycles = 0;
    S.accept_count = 0;
    S.ssl_reported = S.ssl_held = 0;
    S.ssl_report_time = 0;
    if (S.connection_timeout == 0) S.connection_timeout = 60;
    for (tavix_connection &c : S.conns) {
        c = tavix_connection{};
        c.sock = -1;
    }
    tavix_timer_init_imp(&S.timer);
    return 0;
}

void tavix_comm_set_cb(tavix_receive_cb receive, tavix_dropped_cb dropped, tavix_tick_cb tick) {
    S.receive = receive;
    S.dropped = dropped;
    S.tick = tick;
}

int tavix_comm_initialize() { return 0; }

int tavix_comm_tls_ready() { return S.ssl_ctx != nullptr ? 1 : 0; }

int tavix_comm_prepare() {
    const char *file = tavix_global_options.certificate;
    if (file == nullptr) return 0;
    switch (PLAT_TlsLoad()) {
    case PLAT_TLS_NO_LIBRARY: tavix_util_error("Cannot load SSL library"); return -1;
    case PLAT_TLS_NO_ENTRY: tavix_util_error("Cannot find SSL methods in the DLL"); return -1;
    default: break;
    }
    if (S.ssl_ctx == nullptr) S.ssl_ctx = PLAT_SslCtxNew(PLAT_TlsServerMethod());
    if (S.ssl_ctx == nullptr) {
        tavix_util_error("SSL_CTX_new error");
        return 0;
    }
    if (tavix_global_options.passphrase != nullptr) PLAT_SslCtxSetPasswordCb(S.ssl_ctx, PasswordCb);
    // Without a certificate HTTPS stays closed; the failure is said once until
    // a certificate loads (the server restarts when the address is set).
    cert_loaded = PLAT_SslCtxUseCertificateFile(S.ssl_ctx, file, kPemFile) == 1 &&
                  PLAT_SslCtxUsePrivateKeyFile(S.ssl_ctx, file, kPemFile) == 1;
    if (!cert_loaded && !cert_reported) tavix_util_error("cannot open %s", file);
    cert_reported = !cert_loaded;
    return 0;
}

int tavix_comm_mainloop() {
    // The clock runs and the stop flag is clear before the listeners open: a
    // listener that cannot be opened answers -1, yet the web thread serves the
    // one that did, whose connections, sessions and logins end by this clock.
    S.shutdown = 0;
    tavix_timer_start_imp(&S.timer);
    if (tavix_global_options.http_port >= 1) {
        S.http_listener = tavix_comm_open_listening_port(tavix_global_options.http_port);
        if (S.http_listener < 0) return -1;
    }
    if (tavix_global_options.https_port > 0 && S.ssl_ctx != nullptr && cert_loaded) {
        S.https_listener = tavix_comm_open_listening_port(tavix_global_options.https_port);
        if (S.https_listener < 0) return -1;
    }
    return 0;
}

namespace {

// The poll set of the listeners and every connection, by interest.
nfds_t BuildSet(struct pollfd *fds, tavix_connection **who, uint32_t *ids, bool expire) {
    nfds_t n = 0;
    for (int l : {S.http_listener, S.https_listener}) {
        if (l >= 0) {
            fds[n] = {l, POLLIN, 0};
            ids[n] = 0;
            who[n++] = nullptr;
        }
    }
    if (expire) tavix_comm_expire(tavix_sys_get_current_monotonous_time());
    pthread_mutex_lock(&S.lock);
    for (tavix_connection &c : S.conns) {
        if (!c.in_use || c.sock < 0) continue;
        short ev = 0;
        if (c.interest & TAVIX_WANT_READ) ev |= POLLIN;
        if ((c.interest & TAVIX_WANT_WRITE) || c.read_wants_write || c.write_wants_write) ev |= POLLOUT;
        if (c.read_wants_read || c.write_wants_read) ev |= POLLIN;
        fds[n] = {c.sock, ev, 0};
        ids[n] = c.id;
        who[n++] = &c;
    }
    pthread_mutex_unlock(&S.lock);
    return n;
}

// Reads what a connection has, and sends an answer it produced at once.
void Serve(tavix_connection *c, short re) {
    if (re & (POLLIN | POLLHUP | POLLERR)) {
        if (c->connecting && (re & POLLERR))
            c->drop = 1;
        else if (c->tls && c->write_wants_read)
            Write(c);
        else if (c->tls)
            TlsRead(c);
        else if ((c->interest & TAVIX_WANT_READ) || (re & (POLLHUP | POLLERR)))
            PlainRead(c);
        if (DropIfMarked(c)) return;
        if (c->send_head != nullptr && !c->write_shut) re |= POLLOUT;  // a fresh answer: try the socket now
    }
    if (re & POLLOUT) {
        if (c->tls && c->read_wants_write)
            TlsRead(c);
        else
            Write(c);
        // The last answer went out. With every byte its client sent read
        // into whole requests, the connection is closed at once (the close
        // ends it with a FIN behind the answer); otherwise its write side is
        // shut and it is read to its end.
        if (c->in_use && c->closing && c->send_head == nullptr && !c->tls) {
            if (c->kind == 0 && c->served && !c->receiving && c->pending == nullptr && c->read_drained) {
                c->write_shut = 1;  // the close sends the FIN
                c->drop = 1;
            } else {
                Write(c);
            }
        }
        // A half-closed client's answer is all out: nothing more can come.
        if (c->in_use && c->peer_shut && c->send_head == nullptr) c->drop = 1;
        DropIfMarked(c);
    }
}

}  // namespace

void tavix_comm_mainloop_accept_conn() {
    struct pollfd *fds = S.set_fds;
    tavix_connection **who = S.set_who;
    const uint32_t *ids = S.set_ids;
    nfds_t n = S.set_count;
    int ready = S.set_ready;
    const bool fresh = S.set_fresh != 0;
    if (fresh) {
        // The wait's answer stands: what it found ready still is (only this
        // thread reads, accepts and sends); what came after wakes the next wait.
        S.set_fresh = 0;
        tavix_comm_expire(tavix_sys_get_current_monotonous_time());
    } else {
        n = BuildSet(fds, who, S.set_ids, true);
    }
    for (nfds_t i = 0; i < n; i++)
        if (who[i] != nullptr) DropIfMarked(who[i]);
    if (!fresh) ready = poll(fds, n, 0);
    if (ready == 0) S.idle_cycles++;
    if (ready > 0) {
        S.active_cycles++;
        bool accepted = false;
        nfds_t listeners = 0;
        while (listeners < n && who[listeners] == nullptr) listeners++;
        for (nfds_t i = 0; i < n; i++) {
            if (who[i] == nullptr && (fds[i].revents & POLLIN)) {
                tavix_comm_accept_connection(fds[i].fd, fds[i].fd == S.https_listener && S.https_listener >= 0,
                                             n - listeners);
                accepted = true;
            }
        }
        // A connection accepted now usually has its request waiting already:
        // it is answered first, its client being the one that waits.
        if (accepted) {
            for (tavix_connection &c : S.conns) {
                if (c.in_use && c.fresh && c.sock >= 0 && c.recv != nullptr) {
                    c.fresh = 0;
                    Serve(&c, POLLIN);
                }
            }
        }
        for (nfds_t i = 0; i < n; i++) {
            tavix_connection *c = who[i];
            // A record dropped, or displaced and taken again, in this cycle is not served with its old events.
            if (c != nullptr && c->in_use && c->id == ids[i] && c->sock == fds[i].fd && fds[i].revents != 0)
                Serve(c, fds[i].revents);
        }
    }
    if (S.idle_cycles > 2 || S.active_cycles >= 21) {
        const uint64_t now = tavix_sys_get_current_monotonous_time();
        SslReportFlush(now);
        if (S.tick != nullptr) S.tick(now);
        S.idle_cycles = S.active_cycles = 0;
    }
}

int tavix_comm_wait(int ms) {
    S.set_count = uint32_t(BuildSet(S.set_fds, S.set_who, S.set_ids, false));
    S.set_ready = poll(S.set_fds, S.set_count, ms);
    S.set_fresh = S.set_ready >= 0 ? 1 : 0;
    return S.set_ready;
}

namespace {

// Appends to a connection's send chain; the caller holds the connection lock.
void Queue(tavix_connection *c, tavix_buffer *b) {
    b->queued = 1;
    b->send_next = nullptr;
    if (c->send_tail != nullptr)
        c->send_tail->send_next = b;
    else
        c->send_head = b;
    c->send_tail = b;
    c->interest |= TAVIX_WANT_WRITE;
}

}  // namespace

int tavix_comm_send(tavix_connection *c, tavix_buffer *b) {
    pthread_mutex_lock(&S.lock);
    Queue(c, b);
    pthread_mutex_unlock(&S.lock);
    return 0;
}

int tavix_comm_send_id(uint32_t id, tavix_buffer *b) {
    // Found and queued under the lock that guards the records' reuse, so an
    // answer never lands on a connection that took over the record.
    pthread_mutex_lock(&S.lock);
    for (tavix_connection &c : S.conns) {
        if (c.in_use && c.id == id) {
            Queue(&c, b);
            pthread_mutex_unlock(&S.lock);
            return 0;
        }
    }
    pthread_mutex_unlock(&S.lock);
    tavix_buffer_free(b);
    return -1;
}

int tavix_comm_connect(uint32_t address, uint16_t port, bool tls, int32_t remote_index, tavix_connection **out) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        tavix_util_error("open_connect_port: %s", std::strerror(errno));
        return -1;
    }
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    const int r = PLAT_NetConnect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS && errno != EAGAIN) {
        tavix_util_error("connect failed: %s", std::strerror(errno));
        close(fd);
        return -1;
    }
    tavix_connection *c = tavix_connection_info_get();
    if (c == nullptr) {
        close(fd);
        return -1;
    }
    c->sock = fd;
    c->kind = 1;
    c->connecting = r != 0 ? 1 : 0;
    c->remote_index = remote_index;
    c->connect_time = c->last_request = tavix_sys_get_current_monotonous_time();
    if (tls) {
        c->tls = 1;
        c->ssl = S.ssl_ctx != nullptr ? PLAT_SslNew(S.ssl_ctx) : nullptr;
        if (c->ssl == nullptr) {
            tavix_util_error("Cannot do SSL_new");
            close(fd);
            tavix_connection_info_return(c);
            return -1;
        }
        PLAT_SslSetFd(c->ssl, fd);
        PLAT_SslSetConnectState(c->ssl);
    }
    c->interest = TAVIX_WANT_READ | TAVIX_WANT_WRITE | TAVIX_WANT_EXCEPT;
    c->recv = tavix_buffer_get(TAVIX_BUF_DATA, TAVIX_RECV_SIZE, TAVIX_RECV_SIZE, false);
    if (c->recv == nullptr) {
        tavix_comm_drop_connection(c);
        return -1;
    }
    if (out != nullptr) *out = c;
    return fd;
}

void tavix_comm_disconnect(tavix_connection *c) {
    if (c->connecting) {
        tavix_comm_drop_connection(c);
        return;
    }
    c->closing = 1;
    c->interest |= TAVIX_WANT_WRITE;
}

void tavix_comm_drop_connection(tavix_connection *c) {
    if (!c->in_use) return;
    if (c->sock >= 0) close(c->sock);
    c->sock = -1;
    if (!c->silent_drop && S.dropped != nullptr) S.dropped(c);
    if (c->ssl != nullptr) PLAT_SslFree(c->ssl);
    c->ssl = nullptr;
    tavix_connection_info_return(c);
}

tavix_connection *tavix_comm_take_record() {
    if (tavix_connection *c = tavix_connection_info_get()) return c;
    tavix_connection *oldest = nullptr;
    for (tavix_connection &c : S.conns) {
        if (c.in_use && c.kind == 0 && !c.served && c.send_head == nullptr && !c.long_poll &&
            (oldest == nullptr || c.accept_seq < oldest->accept_seq))
            oldest = &c;
    }
    if (oldest == nullptr) return nullptr;
    oldest->drop = 1;
    DropIfMarked(oldest);
    return tavix_connection_info_get();
}

void tavix_comm_expire(uint64_t now) {
    pthread_mutex_lock(&S.lock);  // worker threads queue answers under it
    for (tavix_connection &c : S.conns) {
        if (!c.in_use || c.sock < 0 || c.drop) continue;
        // A connection that sends no request for the time-out is dropped; one
        // whose answer still goes out is not, unless its write side is shut
        // (an overflowed answer): then nothing of its chain can go out.
        if ((c.send_head == nullptr || c.write_shut) && now - c.last_request > 2ull * S.connection_timeout) c.drop = 1;
        if (c.kind == 0 && c.receiving && now - c.request_start >= TAVIX_REQUEST_DEADLINE) c.drop = c.timed_out = 1;
    }
    pthread_mutex_unlock(&S.lock);
}

uint32_t tavix_comm_next_id() {
    pthread_mutex_lock(&S.lock);
    const uint32_t id = NextId();
    pthread_mutex_unlock(&S.lock);
    return id;
}

void tavix_comm_signal_shutdown() { S.shutdown = 1; }

void tavix_comm_mainloop_exit() {
    S.set_fresh = 0;
    for (tavix_connection &c : S.conns) {
        if (c.in_use) {
            c.silent_drop = 1;
            tavix_comm_drop_connection(&c);
        }
    }
    for (int *l : {&S.http_listener, &S.https_listener}) {
        if (*l >= 0) close(*l);
        *l = -1;
    }
    tavix_timer_stop_imp(&S.timer);
}

void tavix_comm_thread_stop() {
    // libcrypto keeps per-thread state (its error queue) until the thread says it ends.
    PLAT_TlsThreadStop();
}

void tavix_comm_free() {
    if (S.ssl_ctx != nullptr) PLAT_SslCtxFree(S.ssl_ctx);
    S.ssl_ctx = nullptr;
    std::free(S.scratch);
    if (S.scratch != nullptr) pthread_mutex_destroy(&S.lock);
    S.scratch = nullptr;
}
